// The HTTP client beside curl against the same nginx in the same run: a
// 100 MiB download, 1000 kept-alive 1 KiB GETs and a 200 MiB multipart
// upload. Client and curl alternate within each iteration, so the shared
// machine's drift hits both; the ratio ours/curl is the figure to watch.
//
// The peers come from tests/peers/start.sh (stopped at exit), or from the
// env file KBV_PEERS_ENV names when its nginx serves the 100 MiB file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/BenchSupport.h"
#include "http/kbvIdHTTP.h"
#include "http/kbvIdMultipartFormData.h"

namespace {
constexpr int64_t DownloadSize = 104857600;
constexpr int64_t UploadSize = int64_t(200) << 20;
constexpr int SmallRequests = 1000;

TBenchPeers* Peers = nullptr;

bool NginxUp(benchmark::State& State) { return PeersUp(State, Peers, "nginx peer"); }

void BM_Download100MiB(benchmark::State& State) {
    if (!NginxUp(State))
        return;
    TIdHTTP HTTP;
    const std::string URL = Peers->NginxBase() + "/files/size-" + std::to_string(DownloadSize) + ".bin";
    CompareDownload(State, HTTP, URL, DownloadSize, {});
}
BENCHMARK(BM_Download100MiB)->Apply(BesideCurl);

void BM_Get1KiBx1000KeepAlive(benchmark::State& State) {
    if (!NginxUp(State))
        return;
    TIdHTTP HTTP;
    CompareKeepAliveGets(State, HTTP, Peers->NginxBase() + "/files/size-1024.bin", 1024, SmallRequests, {});
}
BENCHMARK(BM_Get1KiBx1000KeepAlive)->Apply(BesideCurl);

void BM_Upload200MiBMultipart(benchmark::State& State) {
    if (!NginxUp(State))
        return;
    // Zeros: the same bytes for both sides.
    const std::string FileName = MakeSparseFile("kbv_bench_http_upload", UploadSize);
    if (FileName.empty()) {
        State.SkipWithError("cannot make the upload file");
        return;
    }
    const std::string URL = Peers->NginxBase() + "/sink";
    TIdHTTP HTTP;
    auto Ours = [&] {
        TIdMultiPartFormDataStream Body;
        Body.AddFile("file", FileName);
        TStringStream Reply;
        HTTP.Post(URL, &Body, &Reply);
        return HTTP.ResponseCode() == 200 && Body.Position() == Body.Size();
    };
    CompareWithCurl(State, Ours, CurlArgs({"-F", "file=@" + FileName, URL}));
    std::remove(FileName.c_str());
    State.SetBytesProcessed(State.iterations() * UploadSize);
}
BENCHMARK(BM_Upload200MiBMultipart)->Apply(BesideCurl);
}  // namespace

int main(int argc, char** argv) {
    return RunWithPeers(argc, argv, {"kbv_bench_http", "0 1 1024 65536 1048576", DownloadSize, {"NGINX_HTTP_PORT"}},
                        Peers);
}
