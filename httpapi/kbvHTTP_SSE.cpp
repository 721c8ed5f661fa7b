#include "httpapi/kbvHTTP_SSE.h"

#include "net/kbvIdException.h"

int64_t TIdEventStream::Write(const void* ABuffer, int64_t ACount) {
    if (FOnWrite && ACount > 0)
        FOnWrite(std::string_view(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount)));
    FSize += ACount;
    return ACount;
}

void TkbvSSEParser::Feed(std::string_view ABlock) {
    for (char C : ABlock) {
        const bool LFAfterCR = FAfterCR && C == '\n';
        FAfterCR = C == '\r';
        if (LFAfterCR)
            continue;
        if (C == '\r' || C == '\n') {
            Line(FLine);
            FLine.clear();
            continue;
        }
        FLine += C;
        if (FLine.size() + FData.size() > MaxEventSize)
            throw EIdException("A server-sent event is larger than 16 MiB");
    }
}

void TkbvSSEParser::Line(std::string_view ALine) {
    if (ALine.empty()) {
        if (FHasData)
            FOnEvent(FData);
        FData.clear();
        FHasData = false;
        return;
    }
    const auto Colon = ALine.find(':');
    if (Colon == 0 || ALine.substr(0, Colon) != "data")
        return;  // a comment, or a field other than data
    std::string_view Value = Colon == std::string_view::npos ? std::string_view() : ALine.substr(Colon + 1);
    if (Value.starts_with(' '))
        Value.remove_prefix(1);
    if (FHasData)
        FData += '\n';
    FData += Value;
    FHasData = true;
}
