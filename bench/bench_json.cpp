// Reading and writing back service-sized replies with kbvJSON, beside
// RapidJSON's DOM on the same texts. Compare the pairs as ratios; the
// size argument (1, 2, 4 times the base size) shows whether time grows
// linearly.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <random>
#include <string>

#include "json/kbvJSON.h"

namespace {

// An embeddings reply: `Entries` vectors of 1536 numbers (~5 MB for 220).
std::string EmbeddingsReply(int Entries) {
    std::mt19937 Random(1);
    std::uniform_real_distribution<double> Value(-0.05, 0.05);
    std::string Text = R"({"object":"list","data":[)";
    char Number[32];
    for (int E = 0; E < Entries; ++E) {
        Text += E ? ",{" : "{";
        Text += R"("object":"embedding","index":)" + std::to_string(E) + R"(,"embedding":[)";
        for (int I = 0; I < 1536; ++I) {
            snprintf(Number, sizeof Number, I ? ",%.9f" : "%.9f", Value(Random));
            Text += Number;
        }
        Text += "]}";
    }
    Text += R"(],"model":"text-embedding-ada-002-v2","usage":{"prompt_tokens":8,"total_tokens":8}})";
    return Text;
}

// A chat-style document: many messages with escaped text (~1 MB for 1500).
std::string ChatDocument(int Messages) {
    std::string Text = R"({"id":"chatcmpl-7","object":"chat.completion","created":1677652288,"choices":[)";
    for (int M = 0; M < Messages; ++M) {
        Text += M ? ",{" : "{";
        Text += R"("index":)" + std::to_string(M) +
                R"(,"message":{"role":"assistant","content":"Line one of the answer, with \"quotes\",\n)"
                R"(a tab\tand unicode \u00e9\u65e5\u672c \ud83d\ude00; the rest is ordinary prose that )"
                R"(goes on for a while so the strings dominate the document as in real replies.\n\n)"
                R"(- item one\n- item two\n- item three\n\nA closing sentence follows here."},)"
                R"("finish_reason":"stop","logprobs":null,"flags":[true,false,null]})";
    }
    Text += R"(],"usage":{"prompt_tokens":9,"completion_tokens":12,"total_tokens":21}})";
    return Text;
}

const std::string& Sample(int Kind, int Scale) {
    static std::string Cache[2][5];
    std::string& Text = Cache[Kind][Scale];
    if (Text.empty())
        Text = Kind == 0 ? EmbeddingsReply(220 * Scale) : ChatDocument(1500 * Scale);
    return Text;
}

void Report(benchmark::State& State, const std::string& Text) {
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Text.size()));
    State.counters["MB"] = static_cast<double>(Text.size()) / 1e6;
}

void BM_kbvJSON_Read(benchmark::State& State) {
    const std::string& Text = Sample(static_cast<int>(State.range(0)), static_cast<int>(State.range(1)));
    for (auto _ : State) {
        TkbvJSON Doc;
        Doc.Read(Text);
        benchmark::DoNotOptimize(Doc.Count());
    }
    Report(State, Text);
}

void BM_RapidJSON_Read(benchmark::State& State) {
    const std::string& Text = Sample(static_cast<int>(State.range(0)), static_cast<int>(State.range(1)));
    for (auto _ : State) {
        rapidjson::Document Doc;
        Doc.Parse(Text.data(), Text.size());
        benchmark::DoNotOptimize(Doc.MemberCount());
    }
    Report(State, Text);
}

void BM_kbvJSON_ReadWrite(benchmark::State& State) {
    const std::string& Text = Sample(static_cast<int>(State.range(0)), static_cast<int>(State.range(1)));
    for (auto _ : State) {
        TkbvJSON Doc;
        Doc.Read(Text);
        std::string Out = Doc.Text();
        benchmark::DoNotOptimize(Out.data());
    }
    Report(State, Text);
}

void BM_RapidJSON_ReadWrite(benchmark::State& State) {
    const std::string& Text = Sample(static_cast<int>(State.range(0)), static_cast<int>(State.range(1)));
    for (auto _ : State) {
        rapidjson::Document Doc;
        Doc.Parse(Text.data(), Text.size());
        rapidjson::StringBuffer Buffer;
        rapidjson::Writer<rapidjson::StringBuffer> Writer(Buffer);
        Doc.Accept(Writer);
        benchmark::DoNotOptimize(Buffer.GetString());
    }
    Report(State, Text);
}

// Arguments: kind (0 embeddings ~5 MB, 1 chat ~1 MB), size multiplier.
void Sizes(benchmark::internal::Benchmark* Bench) {
    Bench->ArgNames({"kind", "scale"})->Unit(benchmark::kMillisecond);
    for (int Kind : {0, 1})
        for (int Scale : {1, 2, 4})
            Bench->Args({Kind, Scale});
}

}  // namespace

BENCHMARK(BM_kbvJSON_Read)->Apply(Sizes);
BENCHMARK(BM_RapidJSON_Read)->Apply(Sizes);
BENCHMARK(BM_kbvJSON_ReadWrite)->Apply(Sizes);
BENCHMARK(BM_RapidJSON_ReadWrite)->Apply(Sizes);

BENCHMARK_MAIN();
