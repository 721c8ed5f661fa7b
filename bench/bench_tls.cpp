// The HTTP client over TLS beside curl against the same nginx in the same
// run: a 100 MiB download over TLS 1.3 and over TLS 1.2, and 1000 GETs of
// 1 KiB each on a new TLS connection, with session resumption on both sides
// and off on both sides. Client and curl alternate within each iteration;
// the ratio ours/curl is the figure to watch. The TLS 1.3 download and the
// 1000 full handshakes also run the SChannel-style handler (GnuTLS beneath)
// as a third column: schannel_ratio against curl, schannel_vs_openssl
// against the OpenSSL handler.
//
// Both sides run as a fresh process (our client is this program started
// again with --tls-client), so wall time, CPU time and peak RSS come from
// the same wait4 and count the same things: start-up, loading the trust
// store, the exchange.
//
// The peers come from tests/peers/start.sh (stopped at exit), or from the
// env file KBV_PEERS_ENV names when its nginx serves the 100 MiB file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/BenchSupport.h"
#include "http/kbvIdHTTP.h"
#include "net/kbvIdCertStore.h"
#include "net/kbvIdSSLOpenSSL.h"
#include "net/kbvIdSSLSChannel.h"
#include "tests/support/Files.h"

namespace {
constexpr int64_t DownloadSize = 104857600;
constexpr int SmallRequests = 1000;
constexpr const char* ClientFlag = "--tls-client";
// The same client over the SChannel-style handler; it trusts the test CA
// through the "Root" store folder under the $XDG_DATA_HOME it inherits.
constexpr const char* SChannelClientFlag = "--tls-client-schannel";

// --- our client, in its own process ---------------------------------------------

// bench_tls --tls-client URL CA_FILE 1.2|1.3 COUNT resume|no-resume [print]
// GETs URL COUNT times (each on a new connection when COUNT > 1) and writes
// "bytes=B connects=C reused=R" to stdout; with "print" the bodies too.
int RunClient(int argc, char** argv) {
    if (argc < 7)
        return 2;
    const std::string URL = argv[2];
    const int Count = std::atoi(argv[5]);
    const bool Print = argc > 7 && std::strcmp(argv[7], "print") == 0;
    TIdHTTP HTTP;
    TIdSSLIOHandlerSocketOpenSSL* TLS = nullptr;
    if (std::strcmp(argv[1], SChannelClientFlag) == 0) {
        auto* SChannel = new TkbvIdSSLIOHandlerSocketSChannel(&HTTP);
        SChannel->SetTLSVersion(std::strcmp(argv[4], "1.2") == 0 ? tls1_2 : tls1_3);
        SChannel->Certificate().SetVerifyCertificate(true);
        SChannel->SetPassThrough(false);
        HTTP.SetIOHandler(SChannel);
    } else {
        TLS = new TIdSSLIOHandlerSocketOpenSSL(&HTTP);
        TLS->SSLOptions().SetMethod(std::strcmp(argv[4], "1.2") == 0 ? sslvTLSv1_2 : sslvTLSv1_3);
        TLS->SSLOptions().SetVerifyMode({sslvrfPeer});
        TLS->SSLOptions().SetRootCertFile(argv[3]);
        TLS->SetResumeSessions(std::strcmp(argv[6], "resume") == 0);
        HTTP.SetIOHandler(TLS);
    }
    if (Count > 1)
        HTTP.Request().SetConnection("close");
    int Connects = 0;
    int Reused = 0;
    HTTP.SetOnConnected([&](TObject*) {
        ++Connects;
        if (TLS && TLS->SSLSocket() && TLS->SSLSocket()->SessionReused())
            ++Reused;
    });
    int64_t Bytes = 0;
    std::string Bodies;
    try {
        for (int I = 1; I <= Count; ++I) {
            const std::string Target = Count > 1 ? URL + "?" + std::to_string(I) : URL;
            if (Print) {
                TStringStream Body;
                HTTP.Get(Target, &Body);
                Bytes += static_cast<int64_t>(Body.DataString().size());
                Bodies += Body.DataString();
            } else {
                TNullStream Sink;
                HTTP.Get(Target, &Sink);
                Bytes += Sink.Size();
            }
            if (HTTP.ResponseCode() != 200)
                return 1;
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_tls client: %s\n", E.what());
        return 1;
    }
    std::printf("bytes=%lld connects=%d reused=%d\n%s", static_cast<long long>(Bytes), Connects, Reused,
                Bodies.c_str());
    return 0;
}

// --- processes ------------------------------------------------------------------

// "key=N" out of our client's report line; -1 when missing.
long long ReportValue(const std::string& AReport, const std::string& AKey) {
    const size_t At = AReport.find(AKey + "=");
    return At == std::string::npos ? -1 : std::atoll(AReport.c_str() + At + AKey.size() + 1);
}

int Occurrences(const std::string& AText, const std::string& AWhat) {
    int Count = 0;
    for (size_t At = AText.find(AWhat); At != std::string::npos; At = AText.find(AWhat, At + 1))
        ++Count;
    return Count;
}

// The nginx's TLS servers, and a scratch directory for the clients' reports.
TBenchPeers* Peers = nullptr;
std::string Self;  // this program, for our client's runs

// "https://localhost:<port>" of the server that speaks only that version.
std::string Base(const std::string& AVersion) {
    return "https://localhost:" + Peers->Setting(AVersion == "1.2" ? "NGINX_TLS12_PORT" : "NGINX_TLS13_PORT");
}

std::string CAFile() { return Peers->Setting("NGINX_CA_FILE"); }

std::string ReportFile() { return Peers->TempDir() + "/report.txt"; }

struct TCase {
    std::string Version;  // "1.2" or "1.3"
    std::string Path;
    int Count = 1;  // GETs, each on a new connection when more than one
    bool Resume = true;
    int64_t ExpectedBytes = 0;
    bool SChannel = false;  // the SChannel-style handler runs too
};

std::vector<std::string> OursArgs(const TCase& ACase, const std::string& APath, int ACount, bool APrint,
                                  const char* AFlag = ClientFlag) {
    std::vector<std::string> Args{Self,
                                  AFlag,
                                  Base(ACase.Version) + APath,
                                  CAFile(),
                                  ACase.Version,
                                  std::to_string(ACount),
                                  ACase.Resume ? "resume" : "no-resume"};
    if (APrint)
        Args.push_back("print");
    return Args;
}

std::vector<std::string> CurlArgs(const TCase& ACase, const std::string& APath, int ACount) {
    const std::string Pin = "--tlsv" + ACase.Version;
    std::vector<std::string> Args{"curl", "-s", "-f", "--cacert", CAFile(), Pin, "--tls-max", ACase.Version};
    if (!ACase.Resume)
        Args.push_back("--no-sessionid");
    const std::string URL = Base(ACase.Version) + APath;
    if (ACount > 1) {
        Args.insert(Args.end(), {"-H", "Connection: close", URL + "?[1-" + std::to_string(ACount) + "]"});
    } else {
        Args.insert(Args.end(), {"-o", "/dev/null", URL});
    }
    return Args;
}

// What the server saw on the second of two new connections, for each side:
// 1 when it reports a resumed session, 0 when not, -1 when the check failed.
void CheckResumption(benchmark::State& State, const TCase& ACase) {
    const std::string Report = ReportFile();
    double Ours = -1;
    if (RunTimed(OursArgs(ACase, "/tls", 2, true), Report).Seconds >= 0) {
        const std::string Text = FileText(Report);
        Ours = Occurrences(Text, "session_reused=r") == 1 && ReportValue(Text, "reused") == 1 ? 1 : 0;
    }
    double Curl = -1;
    if (RunTimed(CurlArgs(ACase, "/tls", 2), Report).Seconds >= 0)
        Curl = Occurrences(FileText(Report), "session_reused=r") == 1 ? 1 : 0;
    State.counters["ours_tls_resumed"] = Ours;
    State.counters["curl_tls_resumed"] = Curl;
}

// One warm-up pair of a single GET each (it fills the page cache and proves
// the exchange), then per iteration our run and curl's; the iteration time
// is ours.
void Compare(benchmark::State& State, const TCase& ACase) {
    if (!PeersUp(State, Peers, "nginx peer"))
        return;
    if (ACase.SChannel) {
        const std::filesystem::path Root = CertStoreFolder(scspStoreCurrentUser, scsnRoot);
        std::filesystem::create_directories(Root);
        std::filesystem::copy_file(CAFile(), Root / "ca.crt", std::filesystem::copy_options::overwrite_existing);
    }
    const std::vector<std::string> Ours = OursArgs(ACase, ACase.Path, ACase.Count, false);
    const std::vector<std::string> Curl = CurlArgs(ACase, ACase.Path, ACase.Count);
    const std::string Report = ReportFile();
    if (RunTimed(OursArgs(ACase, ACase.Path, 1, false), Report).Seconds < 0 ||
        RunTimed(CurlArgs(ACase, ACase.Path, 1)).Seconds < 0) {
        State.SkipWithError("warm-up exchange failed");
        return;
    }
    const std::vector<std::string> SChannel = OursArgs(ACase, ACase.Path, ACase.Count, false, SChannelClientFlag);
    if (ACase.SChannel && RunTimed(OursArgs(ACase, ACase.Path, 1, false, SChannelClientFlag), Report).Seconds < 0) {
        State.SkipWithError("warm-up exchange of the SChannel-style handler failed");
        return;
    }
    std::vector<double> OursWall, OursCPU, CurlWall, CurlCPU, SChannelWall, SChannelCPU;
    long OursPeakKiB = 0;
    long CurlPeakKiB = 0;
    std::string LastReport;
    for (auto _ : State) {
        const TRun Mine = RunTimed(Ours, Report);
        const TRun Theirs = RunTimed(Curl);
        LastReport = FileText(Report);
        if (Mine.Seconds < 0 || Theirs.Seconds < 0 || ReportValue(LastReport, "bytes") != ACase.ExpectedBytes) {
            State.SkipWithError("exchange failed");
            return;
        }
        if (ACase.SChannel) {
            const TRun Third = RunTimed(SChannel, Report);
            if (Third.Seconds < 0 || ReportValue(FileText(Report), "bytes") != ACase.ExpectedBytes) {
                State.SkipWithError("exchange of the SChannel-style handler failed");
                return;
            }
            SChannelWall.push_back(Third.Seconds);
            SChannelCPU.push_back(Third.CPUSeconds);
        }
        State.SetIterationTime(Mine.Seconds);
        OursWall.push_back(Mine.Seconds);
        OursCPU.push_back(Mine.CPUSeconds);
        CurlWall.push_back(Theirs.Seconds);
        CurlCPU.push_back(Theirs.CPUSeconds);
        OursPeakKiB = std::max(OursPeakKiB, Mine.PeakKiB);
        CurlPeakKiB = std::max(CurlPeakKiB, Theirs.PeakKiB);
    }
    State.counters["ours_s"] = Median(OursWall);
    State.counters["curl_s"] = Median(CurlWall);
    State.counters["ratio"] = Median(OursWall) / Median(CurlWall);
    State.counters["ours_cpu_s"] = Median(OursCPU);
    State.counters["curl_cpu_s"] = Median(CurlCPU);
    State.counters["ours_peak_rss_MiB"] = static_cast<double>(OursPeakKiB) / 1024;
    State.counters["curl_peak_rss_MiB"] = static_cast<double>(CurlPeakKiB) / 1024;
    State.counters["rss_ratio"] = static_cast<double>(OursPeakKiB) / static_cast<double>(CurlPeakKiB);
    if (ACase.SChannel) {
        State.counters["schannel_s"] = Median(SChannelWall);
        State.counters["schannel_cpu_s"] = Median(SChannelCPU);
        State.counters["schannel_ratio"] = Median(SChannelWall) / Median(CurlWall);
        State.counters["schannel_vs_openssl"] = Median(SChannelWall) / Median(OursWall);
    }
    if (ACase.Count > 1) {
        // Of the last run: every GET its own connection, and how many resumed.
        State.counters["ours_connects"] = static_cast<double>(ReportValue(LastReport, "connects"));
        State.counters["ours_reused"] = static_cast<double>(ReportValue(LastReport, "reused"));
        CheckResumption(State, ACase);
    }
}

void BM_TLS_Download100MiB(benchmark::State& State, const std::string& AVersion) {
    const TCase Case{AVersion, "/files/size-" + std::to_string(DownloadSize) + ".bin", 1, true, DownloadSize,
                     AVersion == "1.3"};
    Compare(State, Case);
    State.SetBytesProcessed(State.iterations() * DownloadSize);
}
BENCHMARK_CAPTURE(BM_TLS_Download100MiB, TLSv1_3, std::string("1.3"))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_TLS_Download100MiB, TLSv1_2, std::string("1.2"))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Each run spans 1000 handshakes; three runs keep the program within a
// minute or two.
void BM_TLS_Get1KiBx1000NewConnection(benchmark::State& State, const std::string& AVersion, bool AResume) {
    // The SChannel-style handler resumes no sessions: it runs beside the full handshakes.
    const TCase Case{AVersion, "/files/size-1024.bin", SmallRequests, AResume, int64_t(1024) * SmallRequests, !AResume};
    Compare(State, Case);
    State.SetItemsProcessed(State.iterations() * SmallRequests);
}
BENCHMARK_CAPTURE(BM_TLS_Get1KiBx1000NewConnection, TLSv1_3_Resumed, std::string("1.3"), true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_TLS_Get1KiBx1000NewConnection, TLSv1_3_Full, std::string("1.3"), false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], ClientFlag) == 0 || std::strcmp(argv[1], SChannelClientFlag) == 0))
        return RunClient(argc, argv);
    Self = std::filesystem::read_symlink("/proc/self/exe").string();
    // A scratch store location whose "Root" folder the SChannel-style client
    // process trusts the peers' CA from.
    const std::filesystem::path Stores =
        std::filesystem::temp_directory_path() / ("kbv-bench-tls-stores-" + std::to_string(::getpid()));
    ::setenv("XDG_DATA_HOME", Stores.c_str(), 1);
    const TPeerNeeds Needs{
        "kbv_bench_tls", "1024", DownloadSize, {"NGINX_TLS12_PORT", "NGINX_TLS13_PORT", "NGINX_CA_FILE"}};
    const int Result = RunWithPeers(argc, argv, Needs, Peers);
    std::filesystem::remove_all(Stores);
    return Result;
}
