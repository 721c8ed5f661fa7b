// The HTTP client beside curl against the same nginx in the same run: a
// 100 MiB download, 1000 kept-alive 1 KiB GETs and a 200 MiB multipart
// upload. Client and curl alternate within each iteration, so the shared
// machine's drift hits both; the ratio ours/curl is the figure to watch.
//
// The peers come from tests/peers/start.sh (stopped at exit), or from the
// env file KBV_PEERS_ENV names when its nginx serves the 100 MiB file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "http/kbvIdHTTP.h"
#include "http/kbvIdMultipartFormData.h"

extern char** environ;

namespace {
constexpr int64_t DownloadSize = 104857600;
constexpr int64_t UploadSize = int64_t(200) << 20;
constexpr int SmallRequests = 1000;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point AStart) { return std::chrono::duration<double>(Clock::now() - AStart).count(); }

// Counts what is written and keeps nothing.
class TNullStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t Count) override {
        FSize += Count;
        return Count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return FSize; }
    int64_t Size() override { return FSize; }

private:
    int64_t FSize = 0;
};

// Runs a program with stdin and stdout on /dev/null and waits for it.
// Returns its wall time; its peak RSS in KiB lands in VPeakKiB.
double RunTimed(const std::vector<std::string>& AArgs, long& VPeakKiB) {
    std::vector<char*> Argv;
    for (const std::string& Arg : AArgs)
        Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    const Clock::time_point Start = Clock::now();
    pid_t Pid = 0;
    const int Error = posix_spawnp(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Error != 0)
        return -1;
    int Status = 0;
    rusage Usage{};
    wait4(Pid, &Status, 0, &Usage);
    const double Seconds = Since(Start);
    VPeakKiB = std::max(VPeakKiB, Usage.ru_maxrss);
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0 ? Seconds : -1;
}

int RunShell(const std::string& ACommand) {
    const int Status = std::system(ACommand.c_str());
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

std::map<std::string, std::string> ReadEnvFile(const std::string& AFile) {
    std::map<std::string, std::string> Values;
    std::ifstream In(AFile);
    for (std::string Line; std::getline(In, Line);)
        if (const size_t Eq = Line.find('='); Eq != std::string::npos)
            Values[Line.substr(0, Eq)] = Line.substr(Eq + 1);
    return Values;
}

// The nginx the benchmarks talk to: reused from KBV_PEERS_ENV when it has the
// big file, else started here and stopped at destruction.
class TPeers {
public:
    TPeers() {
        if (const char* Given = std::getenv("KBV_PEERS_ENV"); Given && Use(Given))
            return;
        char Dir[] = "/tmp/kbv_bench_http_XXXXXX";
        if (!mkdtemp(Dir))
            return;
        FTempDir = Dir;
        FEnvFile = FTempDir + "/peers.env";
        const std::string Start = "FILE_SIZES='0 1 1024 65536 1048576 " + std::to_string(DownloadSize) + "' " +
                                  KBV_SOURCE_DIR "/tests/peers/start.sh " + FEnvFile + " >&2";
        FStarted = true;
        if (RunShell(Start) == 0)
            Use(FEnvFile);
    }
    ~TPeers() {
        if (FStarted)
            RunShell(KBV_SOURCE_DIR "/tests/peers/stop.sh " + FEnvFile + " >&2");
        if (!FTempDir.empty())
            std::filesystem::remove_all(FTempDir);
    }
    TPeers(const TPeers&) = delete;
    TPeers& operator=(const TPeers&) = delete;

    // "http://127.0.0.1:<port>", empty when no peer is up.
    const std::string& Base() const { return FBase; }

private:
    bool Use(const std::string& AEnvFile) {
        auto Values = ReadEnvFile(AEnvFile);
        const std::string Big = Values["PEER_DIR"] + "/nginx/www/files/size-" + std::to_string(DownloadSize) + ".bin";
        if (Values["NGINX_HTTP_PORT"].empty() || !std::filesystem::exists(Big))
            return false;
        FBase = "http://127.0.0.1:" + Values["NGINX_HTTP_PORT"];
        return true;
    }

    std::string FTempDir;
    std::string FEnvFile;
    std::string FBase;
    bool FStarted = false;
};

TPeers* Peers = nullptr;

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0 : AValues[AValues.size() / 2];
}

double PeakRSSMiB() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return static_cast<double>(Usage.ru_maxrss) / 1024;  // ru_maxrss is in KiB on Linux
}

// One warm-up pair, then per iteration our run and curl's; the iteration time
// is ours. AOurs returns false when the exchange went wrong; a throw counts
// as that too, so that the peers are still stopped at exit.
template <typename TOurs>
void Compare(benchmark::State& State, TOurs AOurs, const std::vector<std::string>& ACurl) {
    auto RunOurs = [&] {
        try {
            return AOurs();
        } catch (...) {
            return false;
        }
    };
    if (!Peers || Peers->Base().empty()) {
        State.SkipWithError("no nginx peer (tests/peers/start.sh failed?)");
        return;
    }
    long CurlPeakKiB = 0;
    if (!RunOurs() || RunTimed(ACurl, CurlPeakKiB) < 0) {
        State.SkipWithError("warm-up exchange failed");
        return;
    }
    std::vector<double> Ours;
    std::vector<double> Curl;
    for (auto _ : State) {
        const Clock::time_point Start = Clock::now();
        const bool Ok = RunOurs();
        Ours.push_back(Since(Start));
        State.SetIterationTime(Ours.back());
        Curl.push_back(RunTimed(ACurl, CurlPeakKiB));
        if (!Ok || Curl.back() < 0) {
            State.SkipWithError("exchange failed");
            return;
        }
    }
    const double OursMedian = Median(Ours);
    const double CurlMedian = Median(Curl);
    State.counters["ours_s"] = OursMedian;
    State.counters["curl_s"] = CurlMedian;
    State.counters["ratio"] = OursMedian / CurlMedian;
    State.counters["ours_peak_rss_MiB"] = PeakRSSMiB();
    State.counters["curl_peak_rss_MiB"] = static_cast<double>(CurlPeakKiB) / 1024;
}

std::vector<std::string> CurlArgs(std::vector<std::string> AMore) {
    std::vector<std::string> Args{"curl", "-s", "-f", "-o", "/dev/null"};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return Args;
}

void BM_Download100MiB(benchmark::State& State) {
    const std::string URL = (Peers ? Peers->Base() : "") + "/files/size-" + std::to_string(DownloadSize) + ".bin";
    TIdHTTP HTTP;
    auto Ours = [&] {
        TNullStream Sink;
        HTTP.Get(URL, &Sink);
        return Sink.Size() == DownloadSize;
    };
    Compare(State, Ours, CurlArgs({URL}));
    State.SetBytesProcessed(State.iterations() * DownloadSize);
}
BENCHMARK(BM_Download100MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Get1KiBx1000KeepAlive(benchmark::State& State) {
    const std::string URL = (Peers ? Peers->Base() : "") + "/files/size-1024.bin";
    TIdHTTP HTTP;
    int Connects = 0;
    HTTP.SetOnConnected([&](TObject*) { ++Connects; });
    auto Ours = [&] {
        int64_t Total = 0;
        for (int I = 1; I <= SmallRequests; ++I) {
            TNullStream Sink;
            HTTP.Get(URL + "?" + std::to_string(I), &Sink);
            Total += Sink.Size();
        }
        return Total == 1024 * SmallRequests;
    };
    Compare(State, Ours, CurlArgs({URL + "?[1-" + std::to_string(SmallRequests) + "]"}));
    State.SetItemsProcessed(State.iterations() * SmallRequests);
    // One per run of 1000 (warm-up included) when the connection is kept alive.
    State.counters["ours_connects"] = Connects;
}
BENCHMARK(BM_Get1KiBx1000KeepAlive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Upload200MiBMultipart(benchmark::State& State) {
    // A sparse file of zeros: no disk traffic, the same bytes for both sides.
    char FileName[] = "/tmp/kbv_bench_http_upload_XXXXXX";
    const int Fd = mkstemp(FileName);
    if (Fd < 0 || ftruncate(Fd, UploadSize) != 0) {
        State.SkipWithError("cannot make the upload file");
        return;
    }
    close(Fd);
    const std::string URL = (Peers ? Peers->Base() : "") + "/sink";
    TIdHTTP HTTP;
    auto Ours = [&] {
        TIdMultiPartFormDataStream Body;
        Body.AddFile("file", FileName);
        TStringStream Reply;
        HTTP.Post(URL, &Body, &Reply);
        return HTTP.ResponseCode() == 200 && Body.Position() == Body.Size();
    };
    Compare(State, Ours, CurlArgs({"-F", std::string("file=@") + FileName, URL}));
    std::remove(FileName);
    State.SetBytesProcessed(State.iterations() * UploadSize);
}
BENCHMARK(BM_Upload200MiBMultipart)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TPeers Started;
    Peers = &Started;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Peers = nullptr;
    return 0;
}
