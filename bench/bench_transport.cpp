// Receiving over loopback from an in-process peer: through the IO handler
// (a stream read until the peer closes, many small counted stream reads,
// and many short lines) beside plain recv loops on the same data. Compare
// the pairs' bytes_per_second as ratios. peak_rss_MiB is the process's
// high-water mark so far: streaming a GiB must not raise it by more than a
// few buffers.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/Streams.h"
#include "net/kbvIdIOHandlerSocket.h"
#include "tests/net/support/LoopbackPeer.h"

namespace {

constexpr uint64_t StreamBytes = uint64_t(1) << 30;
constexpr uint64_t SmallReadsBytes = uint64_t(1) << 26;
constexpr int SmallReadSize = 16;  // as the small chunks of a chunked body
constexpr int LineCount = 1 << 20;
constexpr int RecvBlock = 32768;  // the IO handler's RecvBufferSize

// About 32 bytes a line, CR LF terminated.
const std::string& Lines() {
    static const std::string Text = [] {
        std::string Result;
        for (int I = 0; I < LineCount; ++I)
            Result += "line " + std::to_string(1000000 + I) + " of the benchmark\r\n";
        return Result;
    }();
    return Text;
}

void ReportPeakRSS(benchmark::State& State) {
    State.counters["peak_rss_MiB"] = static_cast<double>(PeakRSSKiB()) / 1024.0;
}

std::unique_ptr<TIdIOHandlerStack> ConnectHandler(const TLoopbackPeer& APeer) {
    auto Handler = std::make_unique<TIdIOHandlerStack>();
    Handler->SetHost(APeer.Host());
    Handler->SetPort(APeer.Port());
    Handler->SetReadTimeout(10000);
    Handler->Open();
    return Handler;
}

int ConnectPlain(const TLoopbackPeer& APeer) {
    int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Addr.sin_port = htons(APeer.Port());
    if (::connect(Socket, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0) {
        ::close(Socket);
        return -1;
    }
    return Socket;
}

// Runs AReceive against a fresh peer that sends AScript's data and closes.
template <class FScript, class FReceive>
void RunAgainstPeer(benchmark::State& State, FScript&& AScript, FReceive&& AReceive, uint64_t ABytes) {
    for (auto _ : State) {
        State.PauseTiming();
        TLoopbackPeer Peer;
        AScript(Peer);
        Peer.Close();
        Peer.Start();
        State.ResumeTiming();
        if (!AReceive(Peer)) {
            State.SkipWithError("receive failed");
            break;
        }
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * ABytes));
    ReportPeakRSS(State);
}

void BM_IOHandlerReadStream(benchmark::State& State) {
    RunAgainstPeer(
        State, [](TLoopbackPeer& APeer) { APeer.SendStream(StreamBytes); },
        [](TLoopbackPeer& APeer) {
            auto Handler = ConnectHandler(APeer);
            TNullStream Null;
            Handler->ReadStream(&Null, -1, true);
            return Null.Position() == static_cast<int64_t>(StreamBytes);
        },
        StreamBytes);
}

// Many small counted reads: each takes a few bytes off a full input buffer,
// which must not move the rest of it every time.
void BM_IOHandlerReadStreamSmallCounts(benchmark::State& State) {
    RunAgainstPeer(
        State, [](TLoopbackPeer& APeer) { APeer.SendStream(SmallReadsBytes); },
        [](TLoopbackPeer& APeer) {
            auto Handler = ConnectHandler(APeer);
            TNullStream Null;
            for (uint64_t Read = 0; Read < SmallReadsBytes; Read += SmallReadSize)
                Handler->ReadStream(&Null, SmallReadSize);
            return Null.Position() == static_cast<int64_t>(SmallReadsBytes);
        },
        SmallReadsBytes);
}

void BM_PlainRecvStream(benchmark::State& State) {
    RunAgainstPeer(
        State, [](TLoopbackPeer& APeer) { APeer.SendStream(StreamBytes); },
        [](TLoopbackPeer& APeer) {
            int Socket = ConnectPlain(APeer);
            std::vector<char> Buffer(RecvBlock);
            uint64_t Total = 0;
            for (ssize_t N; (N = ::recv(Socket, Buffer.data(), Buffer.size(), 0)) > 0;)
                Total += static_cast<uint64_t>(N);
            ::close(Socket);
            return Total == StreamBytes;
        },
        StreamBytes);
}

void BM_IOHandlerReadLn(benchmark::State& State) {
    RunAgainstPeer(
        State, [](TLoopbackPeer& APeer) { APeer.Send(Lines()); },
        [](TLoopbackPeer& APeer) {
            auto Handler = ConnectHandler(APeer);
            size_t Bytes = 0;
            for (int I = 0; I < LineCount; ++I)
                Bytes += Handler->ReadLn().size() + 2;
            return Bytes == Lines().size();
        },
        Lines().size());
}

// The same lines cut out of the received blocks by hand.
void BM_PlainRecvLines(benchmark::State& State) {
    RunAgainstPeer(
        State, [](TLoopbackPeer& APeer) { APeer.Send(Lines()); },
        [](TLoopbackPeer& APeer) {
            int Socket = ConnectPlain(APeer);
            std::vector<char> Buffer(RecvBlock);
            std::string Pending;
            size_t Bytes = 0;
            for (ssize_t N; (N = ::recv(Socket, Buffer.data(), Buffer.size(), 0)) > 0;) {
                Pending.append(Buffer.data(), static_cast<size_t>(N));
                size_t Start = 0;
                for (const char* End; (End = static_cast<const char*>(
                                           std::memchr(Pending.data() + Start, '\n', Pending.size() - Start)));) {
                    size_t Stop = static_cast<size_t>(End - Pending.data());
                    std::string Line = Pending.substr(Start, Stop - Start - (Stop > Start && Pending[Stop - 1] == '\r'));
                    benchmark::DoNotOptimize(Line);
                    Bytes += Line.size() + 2;
                    Start = Stop + 1;
                }
                Pending.erase(0, Start);
            }
            ::close(Socket);
            return Bytes == Lines().size();
        },
        Lines().size());
}

}  // namespace

// Streams first, so their peak RSS is not the line text's.
BENCHMARK(BM_IOHandlerReadStream)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IOHandlerReadStreamSmallCounts)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainRecvStream)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IOHandlerReadLn)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainRecvLines)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
