// The HTTP client beside curl against the same nginx in the same run: a
// 100 MiB download, 1000 kept-alive 1 KiB GETs and a 200 MiB multipart
// upload. Client and curl alternate within each iteration, so the shared
// machine's drift hits both; the ratio ours/curl is the figure to watch.
//
// The peers come from tests/peers/start.sh (stopped at exit), or from the
// env file KBV_PEERS_ENV names when its nginx serves the 100 MiB file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "http/kbvIdHTTP.h"
#include "http/kbvIdMultipartFormData.h"

namespace {
constexpr int64_t DownloadSize = 104857600;
constexpr int64_t UploadSize = int64_t(200) << 20;
constexpr int SmallRequests = 1000;

TBenchPeers* Peers = nullptr;

// "http://127.0.0.1:<port>" of nginx, empty when no peer is up.
std::string Base() { return Peers && Peers->Up() ? "http://127.0.0.1:" + Peers->Setting("NGINX_HTTP_PORT") : ""; }

// curl's wall time, -1 when it failed; its peak RSS raises VPeakKiB.
double RunCurl(const std::vector<std::string>& AArgs, long& VPeakKiB) {
    const TRun Run = RunTimed(AArgs);
    VPeakKiB = std::max(VPeakKiB, Run.PeakKiB);
    return Run.Seconds;
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
    if (Base().empty()) {
        State.SkipWithError("no nginx peer (tests/peers/start.sh failed?)");
        return;
    }
    long CurlPeakKiB = 0;
    if (!RunOurs() || RunCurl(ACurl, CurlPeakKiB) < 0) {
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
        Curl.push_back(RunCurl(ACurl, CurlPeakKiB));
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
    State.counters["ours_peak_rss_MiB"] = static_cast<double>(PeakRSSKiB()) / 1024;
    State.counters["curl_peak_rss_MiB"] = static_cast<double>(CurlPeakKiB) / 1024;
}

std::vector<std::string> CurlArgs(std::vector<std::string> AMore) {
    std::vector<std::string> Args{"curl", "-s", "-f", "-o", "/dev/null"};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return Args;
}

void BM_Download100MiB(benchmark::State& State) {
    const std::string URL = Base() + "/files/size-" + std::to_string(DownloadSize) + ".bin";
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
    const std::string URL = Base() + "/files/size-1024.bin";
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
    // Zeros: the same bytes for both sides.
    const std::string FileName = MakeSparseFile("kbv_bench_http_upload", UploadSize);
    if (FileName.empty()) {
        State.SkipWithError("cannot make the upload file");
        return;
    }
    const std::string URL = Base() + "/sink";
    TIdHTTP HTTP;
    auto Ours = [&] {
        TIdMultiPartFormDataStream Body;
        Body.AddFile("file", FileName);
        TStringStream Reply;
        HTTP.Post(URL, &Body, &Reply);
        return HTTP.ResponseCode() == 200 && Body.Position() == Body.Size();
    };
    Compare(State, Ours, CurlArgs({"-F", "file=@" + FileName, URL}));
    std::remove(FileName.c_str());
    State.SetBytesProcessed(State.iterations() * UploadSize);
}
BENCHMARK(BM_Upload200MiBMultipart)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}  // namespace

int main(int argc, char** argv) {
    return RunWithPeers(argc, argv, {"kbv_bench_http", "0 1 1024 65536 1048576", DownloadSize, {"NGINX_HTTP_PORT"}},
                        Peers);
}
