#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#include "http/kbvIdHTTP.h"

extern char** environ;

namespace {
double ToSeconds(const timeval& AValue) { return static_cast<double>(AValue.tv_sec) + AValue.tv_usec / 1e6; }

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
}  // namespace

double Since(Clock::time_point AStart) { return std::chrono::duration<double>(Clock::now() - AStart).count(); }

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0 : AValues[AValues.size() / 2];
}

long PeakRSSKiB() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_maxrss;  // KiB on Linux
}

std::string MakeSparseFile(const std::string& AName, int64_t ASize) {
    std::string Name = "/tmp/" + AName + "_XXXXXX";
    const int Fd = mkstemp(Name.data());
    if (Fd < 0)
        return "";
    const bool Sized = ftruncate(Fd, ASize) == 0;
    close(Fd);
    if (!Sized)
        std::remove(Name.c_str());
    return Sized ? Name : "";
}

TRun RunTimed(const std::vector<std::string>& AArgs, const std::string& AOutput) {
    std::vector<char*> Argv;
    for (const std::string& Arg : AArgs)
        Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, AOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const Clock::time_point Start = Clock::now();
    pid_t Pid = 0;
    const int Error = posix_spawnp(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    TRun Run;
    if (Error != 0)
        return Run;
    int Status = 0;
    rusage Usage{};
    wait4(Pid, &Status, 0, &Usage);
    const double Seconds = Since(Start);
    Run.CPUSeconds = ToSeconds(Usage.ru_utime) + ToSeconds(Usage.ru_stime);
    Run.PeakKiB = Usage.ru_maxrss;  // KiB on Linux
    if (WIFEXITED(Status) && WEXITSTATUS(Status) == 0)
        Run.Seconds = Seconds;
    return Run;
}

TBenchPeers::TBenchPeers(const TPeerNeeds& ANeeds) {
    std::string Dir = "/tmp/" + ANeeds.Name + "_XXXXXX";
    if (!mkdtemp(Dir.data()))
        return;
    FTempDir = Dir;
    if (const char* Given = std::getenv("KBV_PEERS_ENV"); Given && Use(Given, ANeeds))
        return;
    FEnvFile = FTempDir + "/peers.env";
    const std::string Start = "FILE_SIZES='" + ANeeds.SmallSizes + " " + std::to_string(ANeeds.BigSize) + "' " +
                              KBV_SOURCE_DIR "/tests/peers/start.sh " + FEnvFile + " >&2";
    FStarted = true;
    if (RunShell(Start) == 0)
        Use(FEnvFile, ANeeds);
}

TBenchPeers::~TBenchPeers() {
    if (FStarted)
        RunShell(KBV_SOURCE_DIR "/tests/peers/stop.sh " + FEnvFile + " >&2");
    if (!FTempDir.empty())
        std::filesystem::remove_all(FTempDir);
}

std::string TBenchPeers::Setting(const std::string& AName) const {
    const auto Found = FSettings.find(AName);
    return Found == FSettings.end() ? "" : Found->second;
}

bool TBenchPeers::Use(const std::string& AEnvFile, const TPeerNeeds& ANeeds) {
    auto Values = ReadEnvFile(AEnvFile);
    const std::string Big = Values["PEER_DIR"] + "/nginx/www/files/size-" + std::to_string(ANeeds.BigSize) + ".bin";
    if (!std::filesystem::exists(Big))
        return false;
    for (const std::string& Name : ANeeds.Settings)
        if (Values[Name].empty())
            return false;
    FSettings = std::move(Values);
    return true;
}

int RunWithPeers(int argc, char** argv, const TPeerNeeds& ANeeds, TBenchPeers*& VPeers) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TBenchPeers Started(ANeeds);
    VPeers = &Started;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    VPeers = nullptr;
    return 0;
}

bool PeersUp(benchmark::State& State, const TBenchPeers* APeers, const std::string& AWhat) {
    if (APeers && APeers->Up())
        return true;
    State.SkipWithError(("no " + AWhat + " (tests/peers/start.sh failed?)").c_str());
    return false;
}

void BesideCurl(benchmark::internal::Benchmark* ABenchmark) {
    ABenchmark->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}

std::vector<std::string> CurlArgs(const std::vector<std::string>& AMore) {
    std::vector<std::string> Args{"curl", "-s", "-f", "-o", "/dev/null"};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return Args;
}

void CompareWithCurl(benchmark::State& State, const std::function<bool()>& AOurs,
                     const std::vector<std::string>& ACurl) {
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

void CompareDownload(benchmark::State& State, TIdHTTP& AHTTP, const std::string& AURL, int64_t ASize,
                     const std::vector<std::string>& ACurlOptions) {
    auto Ours = [&] {
        TNullStream Sink;
        AHTTP.Get(AURL, &Sink);
        return Sink.Size() == ASize;
    };
    std::vector<std::string> Curl = ACurlOptions;
    Curl.push_back(AURL);
    CompareWithCurl(State, Ours, CurlArgs(Curl));
    State.SetBytesProcessed(State.iterations() * ASize);
}

void CompareKeepAliveGets(benchmark::State& State, TIdHTTP& AHTTP, const std::string& AURL, int64_t ASize,
                          int ACount, const std::vector<std::string>& ACurlOptions) {
    int Connects = 0;
    AHTTP.SetOnConnected([&](TObject*) { ++Connects; });
    auto Ours = [&] {
        int64_t Total = 0;
        for (int I = 1; I <= ACount; ++I) {
            TNullStream Sink;
            AHTTP.Get(AURL + "?" + std::to_string(I), &Sink);
            Total += Sink.Size();
        }
        return Total == ASize * ACount;
    };
    std::vector<std::string> Curl = ACurlOptions;
    Curl.push_back(AURL + "?[1-" + std::to_string(ACount) + "]");
    CompareWithCurl(State, Ours, CurlArgs(Curl));
    State.SetItemsProcessed(State.iterations() * ACount);
    State.counters["ours_connects"] = Connects;
}
