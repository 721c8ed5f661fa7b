// Server-sent events: a stream that hands every block written to it to a
// callback, and the parser that cuts such blocks into whole events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/Streams.h"

// A write-only stream: each block goes to OnWrite as it arrives.
class TIdEventStream : public TStream {
public:
    using TWriteEvent = std::function<void(std::string_view AData)>;
    void SetOnWrite(TWriteEvent AValue) { FOnWrite = std::move(AValue); }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t, TSeekOrigin) override { return FSize; }
    int64_t Size() override { return FSize; }

private:
    TWriteEvent FOnWrite;
    int64_t FSize = 0;
};

// Cuts an event stream into events: lines end with LF, CR LF or CR (also
// when a block ends between CR and LF); a blank line ends an event; its
// "data:" lines are joined with LF; comments, "retry:" and other fields are
// skipped. An event is delivered once, whole, however the blocks cut it.
class TkbvSSEParser {
public:
    using TEventHandler = std::function<void(const std::string& AData)>;
    explicit TkbvSSEParser(TEventHandler AOnEvent) : FOnEvent(std::move(AOnEvent)) {}
    // An event larger than this raises rather than growing without end.
    static constexpr size_t MaxEventSize = 16u << 20;
    void Feed(std::string_view ABlock);

private:
    void Line(std::string_view ALine);

    TEventHandler FOnEvent;
    std::string FLine;     // the line being read
    std::string FData;     // the data of the event being read
    bool FHasData = false;
    bool FAfterCR = false;  // the last block ended with CR: an LF first is its end
};
