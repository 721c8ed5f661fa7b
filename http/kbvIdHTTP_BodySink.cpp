#include "http/kbvIdHTTP_BodySink.h"

#include <algorithm>

#include "core/Format.h"
#include "http/kbvIdHTTP.h"

TIdHTTPBodySink::TIdHTTPBodySink(TStream* ATarget, int64_t ALimit, bool AStop, int64_t AKeep)
    : FTarget(ATarget), FLimit(ALimit), FStop(AStop), FKeep(std::max<int64_t>(AKeep, 0)) {}

int64_t TIdHTTPBodySink::Admit(int64_t ACount) {
    if (FLimit <= 0 || ACount <= FLimit - FCount) {
        FCount += ACount;
        return ACount;
    }
    if (!FStop)
        throw EIdHTTPResponseTooLarge(
            Format("The response body is larger than the bound of %lld bytes", static_cast<long long>(FLimit)));
    const int64_t Allowed = FLimit - FCount;
    FCount = FLimit;
    return Allowed;
}

int64_t TIdHTTPBodySink::Write(const void* ABuffer, int64_t ACount) {
    const int64_t Allowed = Admit(ACount);
    if (const int64_t Room = FKeep - FKept.Size(); Room > 0)
        FKept.WriteBuffer(ABuffer, std::min(Room, Allowed));
    if (FTarget)
        FTarget->WriteBuffer(ABuffer, Allowed);
    if (Allowed < ACount)
        throw TBoundReached();
    return ACount;
}
