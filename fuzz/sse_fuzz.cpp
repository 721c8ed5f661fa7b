// Server-sent event streams (streamed completions) through the event parser.
// Besides crashes, a finding is a stream whose events depend on how the
// transport cut it into blocks: the first byte of the input picks block
// sizes, and the events must equal those of the stream fed whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "httpapi/kbvHTTP_SSE.h"

namespace {

std::vector<std::string> Events(std::string_view AStream, size_t ABlockSeed) {
    std::vector<std::string> Result;
    TkbvSSEParser Parser([&](const std::string& AData) { Result.push_back(AData); });
    size_t Block = ABlockSeed;
    Try([&] {
        for (size_t At = 0; At < AStream.size();) {
            Parser.Feed(AStream.substr(At, Block));
            At += Block;
            Block = Block % 7 + 1;  // 1 to 7 bytes, varying
        }
    });
    return Result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize == 0)
        return 0;
    const std::string_view Stream(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
    const std::vector<std::string> Whole = Events(Stream, Stream.size() + 1);
    if (Events(Stream, AData[0] % 7 + 1) != Whole) {
        std::fprintf(stderr, "the events depend on where the stream was cut\n");
        std::abort();
    }
    return 0;
}
