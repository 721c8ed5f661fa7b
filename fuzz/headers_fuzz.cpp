// A header block from a peer into the header list and the header records,
// and the parameter helpers on each of its lines. The first byte chooses the
// quoting rules and the fold length; the rest is the block. Besides crashes,
// a finding is a parameter that does not read back as it was written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/Exceptions.h"
#include "http/kbvIdHTTPHeaderInfo.h"
#include "http/kbvIdHeaderList.h"

namespace {

void ExerciseList(TIdHeaderList& AList) {
    TStringList Values;
    for (int I = 0; I < AList.Count(); ++I) {
        const std::string Name = AList.Names(I);
        if (Name.empty())
            continue;
        AList.Values(Name);
        AList.GetParam(Name, "charset");
        AList.GetAllParams(Name);
        AList.Extract(Name, Values);
    }
    AList.ConvertToStdValues(Values);
    TIdHeaderList Copy(AList.QuoteType());
    Copy.AddStdValues(Values);
    Copy.AddStrings(AList);
    if (Copy.Count() > 0) {
        const std::string Name = Copy.Names(0);
        Copy.SetParam(Name, "boundary", "b\"1;2");
        Copy.SetAllParams(Name, "q=0.5; level=\"1\"");
        Copy.SetValues(Name, "");
    }
}

void ExerciseRecords(const std::string& ABlock) {
    TIdResponseHeaderInfo Response(nullptr);
    Response.RawHeaders().SetText(ABlock);
    Response.ParseRawHeaders();
    Response.SetHeaders();
    Response.ParseRawHeaders();
    TIdRequestHeaderInfo Request(nullptr);
    Request.RawHeaders().SetText(ABlock);
    Request.ParseRawHeaders();
    Request.SetHeaders();
}

// A parameter written by ReplaceHeaderSubItem reads back with ExtractHeaderSubItem.
void CheckParameterRoundTrip(std::string_view ALine, std::string_view AValue, TIdHeaderQuotingType AQuoteType) {
    if (ExtractHeaderItem(ALine).empty() || AValue.empty())
        return;
    const std::string Replaced = ReplaceHeaderSubItem(ALine, "boundary", AValue, AQuoteType);
    const std::string Read = ExtractHeaderSubItem(Replaced, "boundary", AQuoteType);
    if (Read != AValue) {
        std::fprintf(stderr, "parameter does not read back\nline: %.*s\nvalue: %.*s\nwritten: %s\nread: %s\n",
                     static_cast<int>(ALine.size()), ALine.data(), static_cast<int>(AValue.size()), AValue.data(),
                     Replaced.c_str(), Read.c_str());
        std::abort();
    }
}

void ExerciseLine(std::string_view ALine, TIdHeaderQuotingType AQuoteType, int AFoldLength) {
    const size_t Colon = ALine.find(':');
    const std::string_view Value = Colon == std::string_view::npos ? ALine : ALine.substr(Colon + 1);
    ExtractHeaderItem(Value);
    for (const char* SubItem : {"charset", "boundary", "q", ""})
        ExtractHeaderSubItem(Value, SubItem, AQuoteType);
    ReplaceHeaderSubItem(Value, "charset", "", AQuoteType);
    IsHeaderMediaType(Value, "multipart");
    ExtractHeaderMediaType(Value);
    ExtractHeaderMediaSubType(Value);
    TStringList Folded;
    FoldHeaderLine(std::string(ALine), AFoldLength, Folded);
    // What follows the last "=" of the line, as a parameter value to write.
    if (const size_t Equals = ALine.rfind('='); Equals != std::string_view::npos)
        CheckParameterRoundTrip(Value, ALine.substr(Equals + 1), AQuoteType);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1)
        return 0;
    const auto QuoteType = static_cast<TIdHeaderQuotingType>(AData[0] & 3);
    const int FoldLength = AData[0] >> 2;  // 0..63, short lengths included
    const std::string Block(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
    try {
        TIdHeaderList List(QuoteType);
        List.SetFoldLength(FoldLength);
        List.SetText(Block);
        ExerciseList(List);
        ExerciseRecords(Block);
        for (int I = 0; I < List.Count(); ++I)
            ExerciseLine(List.Strings(I), QuoteType, FoldLength);
    } catch (const Exception&) {
        // The library's own refusal (a conversion error, a list index).
    }
    return 0;
}
