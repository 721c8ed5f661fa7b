// Streaming a 1 GiB file field through the multipart body: throughput and
// peak memory, which must stay far below the file's size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/kbvIdMultipartFormData.h"

namespace {
constexpr int64_t FileSize = int64_t(1) << 30;

// A sparse file: its size on disk stays near zero.
std::string MakeSparseFile() {
    char Name[] = "/tmp/kbv_bench_multipart_XXXXXX";
    int Fd = mkstemp(Name);
    if (Fd < 0 || ftruncate(Fd, FileSize) != 0)
        std::abort();
    close(Fd);
    return Name;
}

double PeakRSSBytes() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return static_cast<double>(Usage.ru_maxrss) * 1024;  // ru_maxrss is in KiB on Linux
}

void BM_MultipartFile1GiB(benchmark::State& State) {
    std::string FileName = MakeSparseFile();
    std::vector<char> Buffer(64 * 1024);
    int64_t Total = 0;
    for (auto _ : State) {
        TIdMultiPartFormDataStream Stream;
        Stream.AddFormField("purpose", "fine-tune");
        Stream.AddFile("file", FileName);
        int64_t Size = Stream.Size();
        int64_t Read = 0;
        while (int64_t Got = Stream.Read(Buffer.data(), static_cast<int64_t>(Buffer.size())))
            Read += Got;
        if (Read != Size)
            State.SkipWithError("body length differs from Size");
        Total += Read;
    }
    std::remove(FileName.c_str());
    State.SetBytesProcessed(Total);
    State.counters["bytes_per_second"] = benchmark::Counter(static_cast<double>(Total), benchmark::Counter::kIsRate);
    State.counters["peak_rss_bytes"] = PeakRSSBytes();
}
BENCHMARK(BM_MultipartFile1GiB)->Unit(benchmark::kMillisecond)->Iterations(3);
}  // namespace

BENCHMARK_MAIN();
