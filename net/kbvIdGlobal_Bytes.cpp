// The global unit's byte-array routines.
#include "net/kbvIdGlobal.h"

#include <climits>
#include <cstring>

namespace {
void CheckRange(size_t ASize, int AIndex, int ACount) {
    if (AIndex < 0 || ACount < 0 || static_cast<size_t>(AIndex) + static_cast<size_t>(ACount) > ASize)
        throw EIdException("Index out of bounds.");
}

template <typename T>
TIdBytes ValueToBytes(const T& AValue) {
    TIdBytes Result(sizeof(T));
    std::memcpy(Result.data(), &AValue, sizeof(T));
    return Result;
}

template <typename T>
T BytesToValue(const TIdBytes& ABytes, int AIndex) {
    CheckRange(ABytes.size(), AIndex, sizeof(T));
    T Result;
    std::memcpy(&Result, ABytes.data() + AIndex, sizeof(T));
    return Result;
}
}  // namespace

// ---------------------------------------------------------------------------
// Byte arrays

TIdBytes ToBytes(uint16_t AValue) { return ValueToBytes(AValue); }
TIdBytes ToBytes(uint32_t AValue) { return ValueToBytes(AValue); }
TIdBytes ToBytes(uint64_t AValue) { return ValueToBytes(AValue); }
TIdBytes ToBytes(const TIdIPv6Address& AValue) { return ValueToBytes(AValue); }

uint16_t BytesToUInt16(const TIdBytes& ABytes, int AIndex) { return BytesToValue<uint16_t>(ABytes, AIndex); }
uint32_t BytesToUInt32(const TIdBytes& ABytes, int AIndex) { return BytesToValue<uint32_t>(ABytes, AIndex); }
uint64_t BytesToUInt64(const TIdBytes& ABytes, int AIndex) { return BytesToValue<uint64_t>(ABytes, AIndex); }
TIdIPv6Address BytesToIPv6(const TIdBytes& ABytes, int AIndex) { return BytesToValue<TIdIPv6Address>(ABytes, AIndex); }

void CopyTIdBytes(const TIdBytes& ASource, int ASourceIndex, TIdBytes& VDest, int ADestIndex, int ACount) {
    CheckRange(ASource.size(), ASourceIndex, ACount);
    CheckRange(VDest.size(), ADestIndex, ACount);
    if (ACount > 0)
        std::memmove(VDest.data() + ADestIndex, ASource.data() + ASourceIndex, static_cast<size_t>(ACount));
}

void AppendBytes(TIdBytes& VBytes, const TIdBytes& ASource, int AIndex, int ALength) {
    const int64_t Count = IdLength64(ASource, ALength, AIndex);
    if (Count > 0)
        VBytes.insert(VBytes.end(), ASource.begin() + AIndex, ASource.begin() + AIndex + Count);
}

void AppendByte(TIdBytes& VBytes, uint8_t AByte) { VBytes.push_back(AByte); }

void RemoveBytes(TIdBytes& VBytes, int ACount, int AIndex) {
    const int64_t Count = IdLength64(VBytes, ACount, AIndex);
    if (Count > 0)
        VBytes.erase(VBytes.begin() + AIndex, VBytes.begin() + AIndex + Count);
}

int IdLength(const TIdBytes& ABytes, int ALength, int AIndex) {
    return static_cast<int>(IdMin(IdLength64(ABytes, ALength, AIndex), int64_t{INT_MAX}));
}

int64_t IdLength64(const TIdBytes& ABytes, int64_t ALength, int64_t AIndex) {
    const int64_t Available = IdMax(static_cast<int64_t>(ABytes.size()) - IdMax(AIndex, int64_t{0}), int64_t{0});
    return ALength < 0 ? Available : IdMin(ALength, Available);
}
