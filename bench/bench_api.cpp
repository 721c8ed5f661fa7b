// The HTTP API client beside curl against the same nginx in the same run:
// 200 API-style calls, each a small JSON POST over https (TLS 1.2, server
// verified) on a connection of its own with a full handshake, as the API
// client makes every call. curl runs them twice: one process per call, and
// one process for all calls that reuses neither connections nor sessions.
//
// All three sides run as fresh processes (ours is this program started
// again with --api-client), so wall time, CPU time and peak RSS come from
// the same wait4. The runs alternate within each iteration; the ratios
// ours/curl are the figures to watch.
//
// The peers come from tests/peers/start.sh (stopped at exit), or from the
// env file KBV_PEERS_ENV names.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/StringList.h"
#include "httpapi/kbvHTTP_API.h"
#include "tests/support/Files.h"

namespace {
constexpr int Calls = 200;
constexpr const char* ClientFlag = "--api-client";
constexpr const char* Body = "{\"model\":\"gpt-4o-mini\",\"messages\":[{\"role\":\"user\",\"content\":\"Say hi\"}]}";
constexpr const char* ContentType = "Content-Type: application/json";
constexpr const char* Authorization = "Authorization: Bearer sk-bench-0123456789";

// bench_api --api-client URL CA_FILE COUNT
// POSTs the body to URL COUNT times, each through the API client, and
// writes "echoed=N" to stdout: the calls whose reply was the body.
int RunClient(int argc, char** argv) {
    if (argc < 5)
        return 2;
    TkbvHTTPAPI_client Client;
    Client.TLSOptions().SetRootCertFile(argv[3]);
    TStringList Headers;
    Headers.Add(ContentType);
    Headers.Add(Authorization);
    int Echoed = 0;
    try {
        for (int I = std::atoi(argv[4]); I > 0; --I)
            Echoed += Client.Post(argv[2], Body, &Headers) == Body;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_api client: %s\n", E.what());
        return 1;
    }
    std::printf("echoed=%d\n", Echoed);
    return 0;
}

TBenchPeers* Peers = nullptr;
std::string Self;  // this program, for our client's runs

// By address: no side looks a name up, and neither sends SNI.
std::string URL() { return "https://127.0.0.1:" + Peers->Setting("NGINX_HTTPS_PORT") + "/echo/body"; }

std::string ReportFile() { return Peers->TempDir() + "/report.txt"; }

std::vector<std::string> OursArgs(int ACount) {
    return {Self, ClientFlag, URL(), Peers->Setting("NGINX_CA_FILE"), std::to_string(ACount)};
}

// One transfer as the API client makes it: TLS 1.2, verified, HTTP/1.1,
// no session offered, the connection closed after the reply. Writes the
// transfer's new connections as a line.
std::vector<std::string> CurlTransfer() {
    return {"-s", "-f", "-o", "/dev/null", "-w", "%{num_connects}\\n", "--cacert", Peers->Setting("NGINX_CA_FILE"),
            "--tlsv1.2", "--tls-max", "1.2", "--http1.1", "--no-sessionid", "--no-keepalive", "-H", "Connection: close",
            "-H", ContentType, "-H", Authorization, "-d", Body, URL()};
}

std::vector<std::string> CurlOneCall() {
    std::vector<std::string> Args{"curl"};
    const std::vector<std::string> Transfer = CurlTransfer();
    Args.insert(Args.end(), Transfer.begin(), Transfer.end());
    return Args;
}

// All transfers in one curl, separated by --next: each a connection of its own.
std::vector<std::string> CurlAllCalls(int ACount) {
    std::vector<std::string> Args{"curl"};
    const std::vector<std::string> Transfer = CurlTransfer();
    for (int I = 0; I < ACount; ++I) {
        if (I > 0)
            Args.push_back("--next");
        Args.insert(Args.end(), Transfer.begin(), Transfer.end());
    }
    return Args;
}

// The sum of the numbers on the lines of AText.
long SumOfLines(const std::string& AText) {
    long Sum = 0;
    for (size_t At = 0; At < AText.size();) {
        Sum += std::atol(AText.c_str() + At);
        const size_t End = AText.find('\n', At);
        At = End == std::string::npos ? AText.size() : End + 1;
    }
    return Sum;
}

// The runs of one side: medians of wall and CPU seconds, and the peak RSS.
struct TSide {
    std::vector<double> Wall, CPU;
    long PeakKiB = 0;
    bool Add(const TRun& ARun) {
        if (ARun.Seconds < 0)
            return false;
        Wall.push_back(ARun.Seconds);
        CPU.push_back(ARun.CPUSeconds);
        PeakKiB = std::max(PeakKiB, ARun.PeakKiB);
        return true;
    }
    double WallMedian() const { return Median(Wall); }
    double CPUMedian() const { return Median(CPU); }
};

// curl once per call: 200 processes one after the other.
TRun RunCurlPerCall(int ACount) {
    TRun Total;
    Total.Seconds = 0;
    const std::vector<std::string> Args = CurlOneCall();
    for (int I = 0; I < ACount; ++I) {
        const TRun Run = RunTimed(Args);
        if (Run.Seconds < 0)
            return Run;
        Total.Seconds += Run.Seconds;
        Total.CPUSeconds += Run.CPUSeconds;
        Total.PeakKiB = std::max(Total.PeakKiB, Run.PeakKiB);
    }
    return Total;
}

void BM_API_JsonPostx200NewConnection(benchmark::State& State) {
    if (!PeersUp(State, Peers, "nginx peer"))
        return;
    const std::string Report = ReportFile();
    const std::string Expected = "echoed=" + std::to_string(Calls) + "\n";
    const std::vector<std::string> Ours = OursArgs(Calls);
    const std::vector<std::string> CurlAll = CurlAllCalls(Calls);
    // Warm-up: one call each way, which also proves the exchange.
    if (RunTimed(OursArgs(1), Report).Seconds < 0 || FileText(Report) != "echoed=1\n" ||
        RunTimed(CurlOneCall()).Seconds < 0) {
        State.SkipWithError("warm-up exchange failed");
        return;
    }
    TSide Mine, PerCall, OneProcess;
    long CurlConnects = 0;
    for (auto _ : State) {
        const TRun Run = RunTimed(Ours, Report);
        const bool Ok = Mine.Add(Run) && FileText(Report) == Expected && PerCall.Add(RunCurlPerCall(Calls)) &&
                        OneProcess.Add(RunTimed(CurlAll, Report));
        if (!Ok) {
            State.SkipWithError("exchange failed");
            return;
        }
        CurlConnects = SumOfLines(FileText(Report));
        State.SetIterationTime(Run.Seconds);
    }
    State.counters["ours_s"] = Mine.WallMedian();
    State.counters["curl_per_call_s"] = PerCall.WallMedian();
    State.counters["curl_one_process_s"] = OneProcess.WallMedian();
    State.counters["ratio_per_call"] = Mine.WallMedian() / PerCall.WallMedian();
    State.counters["ratio_one_process"] = Mine.WallMedian() / OneProcess.WallMedian();
    State.counters["ours_cpu_s"] = Mine.CPUMedian();
    State.counters["curl_per_call_cpu_s"] = PerCall.CPUMedian();
    State.counters["curl_one_process_cpu_s"] = OneProcess.CPUMedian();
    State.counters["cpu_ratio_one_process"] = Mine.CPUMedian() / OneProcess.CPUMedian();
    State.counters["ours_peak_rss_MiB"] = static_cast<double>(Mine.PeakKiB) / 1024;
    State.counters["curl_one_process_peak_rss_MiB"] = static_cast<double>(OneProcess.PeakKiB) / 1024;
    // Of the last one-process run: every transfer made its own connection.
    State.counters["curl_one_process_connects"] = static_cast<double>(CurlConnects);
    State.SetItemsProcessed(State.iterations() * Calls);
}
BENCHMARK(BM_API_JsonPostx200NewConnection)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], ClientFlag) == 0)
        return RunClient(argc, argv);
    Self = std::filesystem::read_symlink("/proc/self/exe").string();
    const TPeerNeeds Needs{"kbv_bench_api", "0", 1024, {"NGINX_HTTPS_PORT", "NGINX_CA_FILE"}};
    return RunWithPeers(argc, argv, Needs, Peers);
}
