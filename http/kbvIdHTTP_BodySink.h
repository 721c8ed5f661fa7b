// Where the bytes of one response body go: the caller's stream, or nowhere.
// The sink counts them against a bound and keeps the first ones for charset
// inspection, so that neither needs the whole body in memory.
#pragma once

#include <cstdint>

#include "core/Streams.h"

class TIdHTTPBodySink : public TStream {
public:
    // Thrown at a bound that ends the read quietly.
    struct TBoundReached {};

    // ALimit <= 0: no bound. At the bound AStop keeps the bytes up to it and
    // throws TBoundReached; otherwise EIdHTTPResponseTooLarge names the bound.
    // The first AKeep bytes are also kept in Kept().
    TIdHTTPBodySink(TStream* ATarget, int64_t ALimit, bool AStop, int64_t AKeep);

    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Read(void*, int64_t) override { return 0; }
    // Write-only: the position is the count of bytes taken.
    int64_t Seek(int64_t, TSeekOrigin) override { return FCount; }

    // Nothing is kept: bytes may be dropped in place and only counted.
    bool Drops() const { return !FTarget && FKeep == 0; }
    void Account(int64_t ACount) {
        if (Admit(ACount) < ACount)
            throw TBoundReached();
    }
    TMemoryStream& Kept() { return FKept; }

private:
    // The part of ACount within the bound; the rest raises after it is taken.
    int64_t Admit(int64_t ACount);

    TStream* FTarget;
    int64_t FLimit;
    bool FStop;
    int64_t FKeep;
    int64_t FCount = 0;
    TMemoryStream FKept;
};
