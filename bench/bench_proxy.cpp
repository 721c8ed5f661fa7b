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

// What has curl go through the same proxy.
std::vector<std::string> CurlProxy(TProxyKind AKind) {
    const std::string Proxy = "127.0.0.1:" + std::to_string(ProxyPort(AKind));
    if (AKind == pkSquid)
        return {"-x", "http://" + Proxy};
    return {"--socks5", Proxy};
}

void BM_Proxy_Download100MiB(benchmark::State& State, TProxyKind AKind) {
    if (!PeersUp(State, Peers, "peers"))
        return;
    TIdHTTP HTTP;
    UseProxy(HTTP, AKind);
    const std::string URL = Peers->NginxBase() + "/files/size-" + std::to_string(DownloadSize) + ".bin";
    CompareDownload(State, HTTP, URL, DownloadSize, CurlProxy(AKind));
}
BENCHMARK_CAPTURE(BM_Proxy_Download100MiB, squid, pkSquid)->Apply(BesideCurl);
BENCHMARK_CAPTURE(BM_Proxy_Download100MiB, dante_socks5, pkDante)->Apply(BesideCurl);

void BM_Proxy_Get1KiBx1000KeepAlive(benchmark::State& State, TProxyKind AKind) {
    if (!PeersUp(State, Peers, "peers"))
        return;
    TIdHTTP HTTP;
    UseProxy(HTTP, AKind);
    CompareKeepAliveGets(State, HTTP, Peers->NginxBase() + "/files/size-1024.bin", 1024, SmallRequests,
                         CurlProxy(AKind));
}
BENCHMARK_CAPTURE(BM_Proxy_Get1KiBx1000KeepAlive, squid, pkSquid)->Apply(BesideCurl);
BENCHMARK_CAPTURE(BM_Proxy_Get1KiBx1000KeepAlive, dante_socks5, pkDante)->Apply(BesideCurl);
}  // namespace

int main(int argc, char** argv) {
    const TPeerNeeds Needs{
        "kbv_bench_proxy", "1024", DownloadSize, {"NGINX_HTTP_PORT", "SQUID_PORT", "DANTE_PORT"}};
    return RunWithPeers(argc, argv, Needs, Peers);
}
