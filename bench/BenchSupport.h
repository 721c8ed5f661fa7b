// What the benchmarks share: timing, a sink stream, child processes measured
// by wait4, the real peers of tests/peers/start.sh, and the HTTP client run
// beside curl.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/Streams.h"

class TIdHTTP;

using Clock = std::chrono::steady_clock;

// Seconds since AStart.
double Since(Clock::time_point AStart);

// The middle value (the upper one of an even count); 0 for none.
double Median(std::vector<double> AValues);

// This process's peak RSS so far, in KiB.
long PeakRSSKiB();

// A file of ASize zeros named /tmp/<AName>_XXXXXX; sparse, so it costs no
// disk traffic. Empty when it cannot be made.
std::string MakeSparseFile(const std::string& AName, int64_t ASize);

// Counts what is written and keeps nothing; its position is that count.
class TNullStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t ACount) override {
        FSize += ACount;
        return ACount;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return FSize; }
    int64_t Size() override { return FSize; }

private:
    int64_t FSize = 0;
};

struct TRun {
    double Seconds = -1;  // wall time; -1 when the program failed
    double CPUSeconds = 0;
    long PeakKiB = 0;
};

// Runs a program (searched in PATH) with stdin on /dev/null and stdout on
// AOutput, and waits for it.
TRun RunTimed(const std::vector<std::string>& AArgs, const std::string& AOutput = "/dev/null");

// What a benchmark program needs of the peers.
struct TPeerNeeds {
    std::string Name;                   // of the scratch directory: /tmp/<Name>_XXXXXX
    std::string SmallSizes;             // the sizes of start.sh's other files, "1024 65536"
    int64_t BigSize = 0;                // the file that peers reused must already serve
    std::vector<std::string> Settings;  // names in the env file that must have a value
};

// The nginx of tests/peers/start.sh: reused from the env file KBV_PEERS_ENV
// names when it meets the needs, else started here and stopped at
// destruction. It also holds a scratch directory.
class TBenchPeers {
public:
    explicit TBenchPeers(const TPeerNeeds& ANeeds);
    ~TBenchPeers();
    TBenchPeers(const TBenchPeers&) = delete;
    TBenchPeers& operator=(const TBenchPeers&) = delete;

    bool Up() const { return !FSettings.empty(); }
    // A value of the env file; empty when the peers are not up.
    std::string Setting(const std::string& AName) const;
    const std::string& TempDir() const { return FTempDir; }
    // nginx's plain HTTP by address, so that no side looks a name up.
    std::string NginxBase() const { return "http://127.0.0.1:" + Setting("NGINX_HTTP_PORT"); }

private:
    bool Use(const std::string& AEnvFile, const TPeerNeeds& ANeeds);

    std::map<std::string, std::string> FSettings;
    std::string FTempDir;
    std::string FEnvFile;
    bool FStarted = false;
};

// The main of a benchmark program against the peers: VPeers points at them
// while the benchmarks run, and they are stopped before it returns.
int RunWithPeers(int argc, char** argv, const TPeerNeeds& ANeeds, TBenchPeers*& VPeers);

// Whether APeers are up; when not, State is skipped with "no <AWhat> (...)".
bool PeersUp(benchmark::State& State, const TBenchPeers* APeers, const std::string& AWhat);

// The registration of a run beside curl: five iterations timed by hand, in ms.
void BesideCurl(benchmark::internal::Benchmark* ABenchmark);

// curl, quiet, failing on an HTTP error and dropping the body, then AMore.
std::vector<std::string> CurlArgs(const std::vector<std::string>& AMore);

// One warm-up pair, then per iteration our run and curl's (ACurl); the
// iteration time is ours. AOurs returns false when the exchange went wrong; a
// throw counts as that too, so that the peers are still stopped at exit.
// Counters: the medians ours_s and curl_s, their ratio, and both peak RSS.
void CompareWithCurl(benchmark::State& State, const std::function<bool()>& AOurs,
                     const std::vector<std::string>& ACurl);

// AHTTP GETs AURL, a body of ASize bytes, beside curl with ACurlOptions.
void CompareDownload(benchmark::State& State, TIdHTTP& AHTTP, const std::string& AURL, int64_t ASize,
                     const std::vector<std::string>& ACurlOptions);

// AHTTP GETs AURL?1 to AURL?<ACount>, bodies of ASize bytes, on one kept-alive
// connection, beside curl with ACurlOptions. Counter ours_connects: one for
// all runs (warm-up included) when the connection is kept alive.
void CompareKeepAliveGets(benchmark::State& State, TIdHTTP& AHTTP, const std::string& AURL, int64_t ASize,
                          int ACount, const std::vector<std::string>& ACurlOptions);
