// Streaming a 1 GiB file field through the multipart body: throughput and
// peak memory, which must stay far below the file's size.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "http/kbvIdMultipartFormData.h"

namespace {
constexpr int64_t FileSize = int64_t(1) << 30;

void BM_MultipartFile1GiB(benchmark::State& State) {
    const std::string FileName = MakeSparseFile("kbv_bench_multipart", FileSize);
    if (FileName.empty())
        std::abort();
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
    State.counters["peak_rss_bytes"] = static_cast<double>(PeakRSSKiB()) * 1024;
}
BENCHMARK(BM_MultipartFile1GiB)->Unit(benchmark::kMillisecond)->Iterations(3);
}  // namespace

BENCHMARK_MAIN();
