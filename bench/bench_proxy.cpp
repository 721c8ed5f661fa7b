// The HTTP client through proxies beside curl through the same ones in the
// same run: squid as the client's forward proxy (absolute-URI requests) and
// dante as a SOCKS 5 transparent proxy, each for a 100 MiB download and for
// 1000 kept-alive GETs of 1 KiB. Client and curl alternate within each
// iteration, so the shared machine's drift hits both; the ratio ours/curl is
// the figure to watch.
//
// The peers come from tests/peers/start.sh (stopped at exit), or from the
// env file KBV_PEERS_ENV names when its nginx serves the 100 MiB file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "http/kbvIdHTTP.h"
#include "net/kbvIdIOHandlerSocket.h"
#include "net/kbvIdSocks.h"

namespace {
constexpr int64_t DownloadSize = 104857600;
constexpr int SmallRequests = 1000;

TBenchPeers* Peers = nullptr;

enum TProxyKind { pkSquid, pkDante };

bool Up() { return Peers && Peers->Up(); }

// nginx by address, so that neither side looks a name up.
std::string Base() { return "http://127.0.0.1:" + Peers->Setting("NGINX_HTTP_PORT"); }

uint16_t ProxyPort(TProxyKind AKind) {
    return static_cast<uint16_t>(std::stoi(Peers->Setting(AKind == pkSquid ? "SQUID_PORT" : "DANTE_PORT")));
}

// A client that goes through the proxy: squid as its own proxy, dante as
// the handler's SOCKS 5 proxy.
void UseProxy(TIdHTTP& AHTTP, TProxyKind AKind) {
    AHTTP.SetConnectTimeout(10000);
    AHTTP.SetReadTimeout(10000);
    if (AKind == pkSquid) {
        AHTTP.ProxyParams().SetProxyServer("127.0.0.1");
        AHTTP.ProxyParams().SetProxyPort(ProxyPort(AKind));
        return;
    }
    auto* Handler = new TIdIOHandlerStack(&AHTTP);
    auto* Socks = new TIdSocksInfo(&AHTTP);
    Socks->SetHost("127.0.0.1");
    Socks->SetPort(ProxyPort(AKind));
    Socks->SetVersion(svSocks5);
    Handler->SetTransparentProxy(Socks);
    AHTTP.SetIOHandler(Handler);
}

std::vector<std::string> CurlArgs(TProxyKind AKind, const std::string& AURL) {
    const std::string Proxy = "127.0.0.1:" + std::to_string(ProxyPort(AKind));
    std::vector<std::string> Args{"curl", "-s", "-f", "-o", "/dev/null"};
    if (AKind == pkSquid)
        Args.insert(Args.end(), {"-x", "http://" + Proxy});
    else
        Args.insert(Args.end(), {"--socks5", Proxy});
    Args.push_back(AURL);
    return Args;
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
    long CurlPeakKiB = 0;
    auto RunCurl = [&] {
        const TRun Run = RunTimed(ACurl);
        CurlPeakKiB = std::max(CurlPeakKiB, Run.PeakKiB);
        return Run.Seconds;
    };
    if (!RunOurs() || RunCurl() < 0) {
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
        Curl.push_back(RunCurl());
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

void BM_Proxy_Download100MiB(benchmark::State& State, TProxyKind AKind) {
    if (!Up()) {
        State.SkipWithError("no peers (tests/peers/start.sh failed?)");
        return;
    }
    const std::string URL = Base() + "/files/size-" + std::to_string(DownloadSize) + ".bin";
    TIdHTTP HTTP;
    UseProxy(HTTP, AKind);
    auto Ours = [&] {
        TNullStream Sink;
        HTTP.Get(URL, &Sink);
        return Sink.Size() == DownloadSize;
    };
    Compare(State, Ours, CurlArgs(AKind, URL));
    State.SetBytesProcessed(State.iterations() * DownloadSize);
}
BENCHMARK_CAPTURE(BM_Proxy_Download100MiB, squid, pkSquid)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_Proxy_Download100MiB, dante_socks5, pkDante)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_Proxy_Get1KiBx1000KeepAlive(benchmark::State& State, TProxyKind AKind) {
    if (!Up()) {
        State.SkipWithError("no peers (tests/peers/start.sh failed?)");
        return;
    }
    const std::string URL = Base() + "/files/size-1024.bin";
    TIdHTTP HTTP;
    UseProxy(HTTP, AKind);
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
    Compare(State, Ours, CurlArgs(AKind, URL + "?[1-" + std::to_string(SmallRequests) + "]"));
    State.SetItemsProcessed(State.iterations() * SmallRequests);
    // One for all runs (warm-up included) when the connection is kept alive.
    State.counters["ours_connects"] = Connects;
}
BENCHMARK_CAPTURE(BM_Proxy_Get1KiBx1000KeepAlive, squid, pkSquid)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_Proxy_Get1KiBx1000KeepAlive, dante_socks5, pkDante)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
}  // namespace

int main(int argc, char** argv) {
    const TPeerNeeds Needs{
        "kbv_bench_proxy", "1024", DownloadSize, {"NGINX_HTTP_PORT", "SQUID_PORT", "DANTE_PORT"}};
    return RunWithPeers(argc, argv, Needs, Peers);
}
