// Random, truncated and mutated texts: the reader must never crash, leak or
// hang, and whatever it keeps must write back as a stable text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "json/kbvJSON.h"
#include "tests/json/ReferenceJSON.h"

namespace {

const std::string Seeds[] = {
    R"({"id":"cmpl-1","object":"text_completion","created":1,"choices":[{"text":"\n\nThis is a \"test\"\\","index":0,"logprobs":null,"finish_reason":"length"}],"usage":{"prompt_tokens":5,"completion_tokens":7,"total_tokens":12}})",
    R"({"data":[{"embedding":[-0.006929283,-0.005336422,1.5e-7],"index":0,"object":"embedding"}],"model":"m","object":"list"})",
    R"([1,[2,[3,[4,{"a":"\u00e9\ud83d\ude00"}]]],true,false,null,-0.5E+10])",
    R"({"results":[{"categories":{"hate":false,"self-harm":true,"violence/graphic":false},"category_scores":{"hate":0.18}}]})",
};

// Writes must be stable: reading what was written gives the same text again.
void ExpectStable(const std::string& Input) {
    TkbvJSON Doc;
    Doc.Read(Input);
    std::string Written = Doc.Text();
    TkbvJSON Again;
    Again.Read(Written);
    ASSERT_EQ(Again.Text(), Written) << "input: " << Input;
}

std::string Mutate(std::string Text, std::mt19937& Random) {
    static const char Specials[] = "\"\\{}[],:#u0.-+eE \n\t\x01\xC3\xFF";
    std::uniform_int_distribution<int> Kind(0, 5);
    int Mutations = 1 + static_cast<int>(Random() % 4);
    for (int I = 0; I < Mutations && !Text.empty(); ++I) {
        size_t Pos = Random() % Text.size();
        char Special = Specials[Random() % (sizeof Specials - 1)];
        switch (Kind(Random)) {
            case 0: Text.resize(Pos); break;                       // truncate
            case 1: Text[Pos] = Special; break;                     // replace
            case 2: Text.insert(Pos, 1, Special); break;            // insert
            case 3: Text.erase(Pos, 1 + Random() % 8); break;       // delete
            case 4: Text.insert(Pos, Text.substr(Pos, Random() % 64)); break;  // duplicate
            default: Text[Pos] = static_cast<char>(Random()); break;  // random byte
        }
    }
    return Text;
}

}  // namespace

TEST(kbvJSONHostile, MutatedRepliesReadWithoutFault) {
    std::mt19937 Random(20261208);
    for (int Round = 0; Round < 20000; ++Round) {
        const std::string& Seed = Seeds[Round % std::size(Seeds)];
        ExpectStable(Mutate(Seed, Random));
    }
}

TEST(kbvJSONHostile, EveryTruncationOfAReplyReadsWithoutFault) {
    for (const auto& Seed : Seeds)
        for (size_t Length = 0; Length <= Seed.size(); ++Length)
            ExpectStable(Seed.substr(0, Length));
}

TEST(kbvJSONHostile, RandomBytesReadWithoutFault) {
    std::mt19937 Random(7);
    const char Alphabet[] = "{}[]\",:\\#tfnu0123456789.+-eE \n\r\ttruefalsenull";
    for (int Round = 0; Round < 3000; ++Round) {
        std::string Text(Random() % 200, '\0');
        bool Structured = Round % 2 == 0;
        for (char& C : Text)
            C = Structured ? Alphabet[Random() % (sizeof Alphabet - 1)] : static_cast<char>(Random());
        if (Structured && Round % 4 == 0)
            Text.insert(0, 1, '{');
        ExpectStable(Text);
    }
}

TEST(kbvJSONHostile, PathologicalShapesStayBounded) {
    std::string LoneBackslashes = "{\"s\":\"" + std::string(100'000, '\\');
    std::string StrayQuotes = "{" + std::string(100'000, '"');
    std::string Comments = "{" + std::string(50'000, '#');
    std::string DeepMixed;
    for (int I = 0; I < 50'000; ++I)
        DeepMixed += I % 2 ? "{\"k\":" : "[";
    std::string WideArray = "[" + std::string(200'000, ',') + "]";
    std::string ManyMembers = "{";
    for (int I = 0; I < 100'000; ++I)
        ManyMembers += "\"k\":1 ";
    for (const auto* Text : {&LoneBackslashes, &StrayQuotes, &Comments, &DeepMixed, &WideArray, &ManyMembers})
        ExpectStable(*Text);
}

TEST(kbvJSONHostile, ValidDocumentsOfRandomShapeKeepTheirMeaning) {
    std::mt19937 Random(42);
    std::function<nlohmann::json(int)> Generate = [&](int Depth) -> nlohmann::json {
        switch (Depth > 4 ? Random() % 4 : Random() % 6) {
            case 0: return nlohmann::json(static_cast<int64_t>(Random()) - (1LL << 31));
            case 1: return nlohmann::json(std::string(1 + Random() % 5, static_cast<char>(' ' + Random() % 95)));
            case 2: return nlohmann::json(Random() % 2 == 0);
            case 3: return nlohmann::json(nullptr);
            case 4: {
                auto Array = nlohmann::json::array();
                for (unsigned I = Random() % 4; I > 0; --I)
                    Array.push_back(Generate(Depth + 1));
                return Array;
            }
            default: {
                auto Object = nlohmann::json::object();
                for (unsigned I = Random() % 4; I > 0; --I)
                    Object["k" + std::to_string(Random() % 10)] = Generate(Depth + 1);
                return Object;
            }
        }
    };
    for (int Round = 0; Round < 500; ++Round) {
        nlohmann::json Original = nlohmann::json::object();
        Original["root"] = Generate(0);
        std::string Source = Original.dump(Round % 3 == 0 ? 2 : -1);
        TkbvJSON Doc;
        Doc.Read(Source);
        ASSERT_EQ(nlohmann::json::parse(Doc.Text()), Original) << Source;
    }
}

TEST(kbvJSONHostile, StrictCheckAgreesWithAReferenceParser) {
    std::mt19937 Random(1208);
    int Compared = 0, Valid = 0;
    for (int Round = 0; Round < 20000; ++Round) {
        std::string Text = Round < 8 ? Seeds[Round % std::size(Seeds)] : Mutate(Seeds[Round % std::size(Seeds)], Random);
        auto Verdict = TkbvJSON::Validate(Text);
        auto Reference = reference_json::Accepts(Text);
        if (!Reference)
            continue;
        ++Compared;
        Valid += Verdict.Ok;
        ASSERT_EQ(Verdict.Ok, *Reference) << Text << "\n" << Verdict.Reason << " at " << Verdict.Offset;
    }
    // The mutations must leave enough valid texts for the comparison to mean something.
    EXPECT_GT(Compared, 19000);
    EXPECT_GT(Valid, 1000);
}
