// The JSON reader, the compact writer and the strict check on any text.
// Findings: a crash or sanitizer report, a write that does not read back as
// itself, a strict check that disagrees with a reference parser, or valid
// JSON whose meaning the reader and writer change.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/kbvJSON.h"
#include "tests/json/ReferenceJSON.h"

namespace {

[[noreturn]] void Finding(const char* AWhat, std::string_view AFirst, std::string_view ASecond) {
    std::fprintf(stderr, "%s\n--- first (%zu bytes):\n%.*s\n--- second (%zu bytes):\n%.*s\n", AWhat, AFirst.size(),
                 static_cast<int>(std::min<size_t>(AFirst.size(), 2000)), AFirst.data(), ASecond.size(),
                 static_cast<int>(std::min<size_t>(ASecond.size(), 2000)), ASecond.data());
    std::abort();
}

bool StartsWithContainer(std::string_view AText) {
    size_t First = AText.find_first_not_of(" \t\r\n");
    return First != std::string_view::npos && (AText[First] == '{' || AText[First] == '[');
}

// Reads, writes, reads the written text and writes again: both writes agree.
// Every node is asked for its value on the way, as the response objects do.
std::string CheckRoundTrip(std::string_view AInput) {
    TkbvJSON First;
    First.Read(AInput);
    for (int I = 0; I < First.Count(); ++I) {
        IkbvObjectJSONPtr Node = First.GetItem(I);
        Node->Value();
        if (Node->Name().size() > 0 && First.GetNode(Node->Name()) == nullptr)
            Finding("a node is not found by its own name", AInput, Node->Name());
    }
    std::string Written = First.Text();
    TkbvJSON Second;
    Second.Read(Written);
    if (std::string Again = Second.Text(); Again != Written)
        Finding("writing what was written and read again gives other text", Written, Again);
    return Written;
}

void CheckStrictVerdict(std::string_view AInput, const std::string& AWritten) {
    TkbvJSONValidation Verdict = TkbvJSON::Validate(AInput);
    if (!Verdict.Ok && (Verdict.Offset > AInput.size() || Verdict.Reason.empty()))
        Finding("a fault without a place in the text or a reason", AInput, Verdict.Reason);
    const bool TooDeep = Verdict.Reason.starts_with("nesting deeper");
    if (auto Reference = reference_json::Accepts(AInput); Reference && !TooDeep && *Reference != Verdict.Ok)
        Finding(Verdict.Ok ? "the strict check accepts what the reference refuses"
                           : "the strict check refuses what the reference accepts",
                AInput, Verdict.Reason);
    if (!Verdict.Ok)
        return;
    // Valid JSON stays valid JSON of the same meaning through Read and Text.
    if (TkbvJSONValidation Written = TkbvJSON::Validate(AWritten); !Written.Ok)
        Finding("the writer made invalid JSON of valid JSON", AInput, AWritten + "\n" + Written.Reason);
    if (!StartsWithContainer(AInput))
        return;
    try {
        if (nlohmann::json::parse(AInput) != nlohmann::json::parse(AWritten))
            Finding("valid JSON means something else after Read and Text", AInput, AWritten);
    } catch (const nlohmann::json::out_of_range&) {
        // A number beyond a double: the reference cannot compare.
    }
}

// Escaped text is always a valid JSON string, and decoding and escaping it
// again gives the same text.
void CheckEscaping(std::string_view AInput) {
    std::string Escaped = EscapeString(AInput);
    if (!TkbvJSON::Validate("\"" + Escaped + "\"").Ok)
        Finding("escaped text is no valid JSON string", AInput, Escaped);
    if (std::string Again = EscapeString(UnescapeString(Escaped)); Again != Escaped)
        Finding("escaping what was unescaped gives other text", Escaped, Again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::string_view Input(reinterpret_cast<const char*>(AData), ASize);
    std::string Written = CheckRoundTrip(Input);
    CheckStrictVerdict(Input, Written);
    CheckEscaping(Input);
    return 0;
}
