#include "net/kbvIdBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/Format.h"
#include "core/Streams.h"
#include "net/kbvIdStack.h"

namespace {
[[noreturn]] void RaiseIndexOutOfBounds() { throw EIdException("Index out of bounds."); }

// A byte count for the buffer, which holds at most 2147483647 bytes.
int CheckedCount(int64_t ACount) {
    if (ACount > INT_MAX)
        throw EIdTooMuchDataInBuffer();
    return static_cast<int>(ACount);
}
}  // namespace

EIdNotEnoughDataInBuffer::EIdNotEnoughDataInBuffer(int ARequested, int ASize)
    : EIdException(Format("%s (%d/%d)", "Not enough data in buffer.", ARequested, ASize)) {}

// ---------------------------------------------------------------------------
// Construction

TIdBuffer::TIdBuffer(int AGrowthFactor) : FGrowthFactor(AGrowthFactor) { TIdStack::IncUsage(); }

TIdBuffer::TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved, int AGrowthFactor) : TIdBuffer(AGrowthFactor) {
    FOnBytesRemoved = std::move(AOnBytesRemoved);
}

TIdBuffer::TIdBuffer(TIdBytes ABytes) : TIdBuffer() {
    FSize = CheckedCount(IdLength64(ABytes));
    FBytes = std::move(ABytes);
}

TIdBuffer::TIdBuffer(const TIdBytes& ABytes, int ALength) : TIdBuffer() {
    FSize = CheckedCount(IdLength64(ABytes, ALength));
    FBytes.assign(ABytes.begin(), ABytes.begin() + FSize);
}

TIdBuffer::~TIdBuffer() { TIdStack::DecUsage(); }

// ---------------------------------------------------------------------------
// Storage

uint8_t* TIdBuffer::Reserve(int ACount, int ADestIndex) {
    if (ADestIndex > FSize)
        RaiseIndexOutOfBounds();
    if (int64_t{INT_MAX} - ACount < int64_t{IdMax(ADestIndex, 0)} + FSize)
        throw EIdTooMuchDataInBuffer();
    if (FSize == 0) {
        FHeadIndex = 0;
        FBytes = TIdBytes(static_cast<size_t>(ACount));
        return FBytes.data();
    }
    CompactHead(false);
    if (Capacity() - FSize < ACount) {
        // Exactly the new size, so that Capacity stays what the growth rule says.
        int64_t NewSize = int64_t{ACount} + FSize + FGrowthFactor;
        TIdBytes Grown(static_cast<size_t>(std::min<int64_t>(NewSize, INT_MAX)));
        std::memcpy(Grown.data(), FBytes.data(), static_cast<size_t>(FSize));
        FBytes.swap(Grown);
    }
    int Dest = ADestIndex < 0 ? FSize : ADestIndex;
    std::memmove(FBytes.data() + Dest + ACount, FBytes.data() + Dest, static_cast<size_t>(FSize - Dest));
    return FBytes.data() + Dest;
}

void TIdBuffer::Clear() {
    TIdBytes().swap(FBytes);
    FHeadIndex = 0;
    FSize = 0;
}

void TIdBuffer::CompactHead(bool ACanShrink) {
    if (FHeadIndex == 0)
        return;
    std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
    FHeadIndex = 0;
    if (ACanShrink && Capacity() - FSize > FGrowthFactor)
        TIdBytes(FBytes.begin(), FBytes.begin() + FSize + FGrowthFactor).swap(FBytes);
}

void TIdBuffer::SetCapacity(int AValue) {
    if (AValue < FSize)
        throw EIdException("Capacity cannot be smaller than Size");
    CompactHead(true);
    TIdBytes Resized(static_cast<size_t>(AValue));
    std::memcpy(Resized.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
    FBytes.swap(Resized);
}

void TIdBuffer::Remove(int AByteCount) {
    if (AByteCount < 0)
        return;
    if (AByteCount >= FSize) {
        Clear();
    } else {
        FHeadIndex += AByteCount;
        FSize -= AByteCount;
        // Compacting only once the consumed head outgrows what is left keeps
        // the bytes moved per byte read bounded, however small the reads.
        if (FHeadIndex > FGrowthFactor && FHeadIndex >= FSize)
            CompactHead(true);
    }
    if (FOnBytesRemoved)
        FOnBytesRemoved(this, AByteCount);
}

// ---------------------------------------------------------------------------
// Writing

void TIdBuffer::Write(const TIdBytes& ABytes, int ALength, int AOffset, int ADestIndex) {
    if (AOffset < 0)
        RaiseIndexOutOfBounds();
    const int Count = CheckedCount(IdLength64(ABytes, ALength, AOffset));
    if (Count == 0)
        return;
    std::memcpy(Reserve(Count, ADestIndex), ABytes.data() + AOffset, static_cast<size_t>(Count));
    Commit(Count);
}

void TIdBuffer::Write(std::string_view AText, const IIdTextEncodingPtr& AByteEncoding, int ADestIndex) {
    if (!AText.empty())
        Write(EncodingFor(AByteEncoding)->GetBytes(AText), -1, 0, ADestIndex);
}

void TIdBuffer::Write(TStream& AStream, int64_t AByteCount) {
    if (AByteCount == 0) {
        AStream.SetPosition(0);
        AByteCount = AStream.Size();
    } else if (AByteCount < 0) {
        AByteCount = AStream.Size() - AStream.Position();
    }
    if (AByteCount <= 0)
        return;
    const int Count = CheckedCount(AByteCount);
    AStream.ReadBuffer(Reserve(Count, -1), Count);
    Commit(Count);
}

template <typename T>
void TIdBuffer::WriteValue(const T& AValue, int ADestIndex) {
    std::memcpy(Reserve(sizeof(T), ADestIndex), &AValue, sizeof(T));
    Commit(sizeof(T));
}

void TIdBuffer::WriteUInt8(uint8_t AValue, int ADestIndex) { WriteValue(AValue, ADestIndex); }
void TIdBuffer::WriteUInt16(uint16_t AValue, int ADestIndex) { WriteValue(TIdStack::HostToNetwork(AValue), ADestIndex); }
void TIdBuffer::WriteUInt32(uint32_t AValue, int ADestIndex) { WriteValue(TIdStack::HostToNetwork(AValue), ADestIndex); }
void TIdBuffer::WriteUInt64(uint64_t AValue, int ADestIndex) { WriteValue(TIdStack::HostToNetwork(AValue), ADestIndex); }
void TIdBuffer::WriteIPv6(const TIdIPv6Address& AValue, int ADestIndex) {
    WriteValue(TIdStack::HostToNetwork(AValue), ADestIndex);
}

// ---------------------------------------------------------------------------
// Extracting

int TIdBuffer::CheckByteCount(int AByteCount, int AIndex) const {
    int Available = FSize;
    if (AIndex >= 0) {
        if (AIndex > FSize)
            RaiseIndexOutOfBounds();
        Available -= AIndex;
    }
    if (AByteCount < 0)
        return Available;
    if (AByteCount > Available)
        throw EIdNotEnoughDataInBuffer(AByteCount, Available);
    return AByteCount;
}

IIdTextEncodingPtr TIdBuffer::EncodingFor(const IIdTextEncodingPtr& AByteEncoding) const {
    if (AByteEncoding)
        return AByteEncoding;
    return FByteEncoding ? FByteEncoding : IdTextEncoding();
}

void TIdBuffer::ExtractToBytes(TIdBytes& VBytes, int AByteCount, bool AAppend, int AIndex) {
    int Count = CheckByteCount(AByteCount, AIndex);
    if (Count == 0)
        return;
    auto First = FBytes.begin() + StartOf(AIndex);
    if (AAppend)
        VBytes.insert(VBytes.end(), First, First + Count);
    else
        VBytes.assign(First, First + Count);
    if (AIndex < 0)
        Remove(Count);
}

std::string TIdBuffer::ExtractToString(int AByteCount, const IIdTextEncodingPtr& AByteEncoding) {
    int Count = CheckByteCount(AByteCount, -1);
    if (Count == 0)
        return {};
    std::string Result = EncodingFor(AByteEncoding)->GetString(FBytes, FHeadIndex, Count);
    Remove(Count);
    return Result;
}

void TIdBuffer::ExtractToStream(TStream& AStream, int AByteCount, int AIndex) {
    int Count = CheckByteCount(AByteCount, AIndex);
    if (Count == 0)
        return;
    AStream.WriteBuffer(FBytes.data() + StartOf(AIndex), Count);
    if (AIndex < 0)
        Remove(Count);
}

void TIdBuffer::ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount, int AIndex) {
    int Count = CheckByteCount(AByteCount, AIndex);
    if (Count == 0)
        return;
    if (&ABuffer == this) {  // the source storage moves while it is written
        TIdBytes Bytes(FBytes.begin() + StartOf(AIndex), FBytes.begin() + StartOf(AIndex) + Count);
        ABuffer.Write(Bytes);
    } else {
        ABuffer.Write(FBytes, Count, StartOf(AIndex));
    }
    if (AIndex < 0)
        Remove(Count);
}

template <typename T>
T TIdBuffer::ExtractValue(int AIndex) {
    CheckByteCount(sizeof(T), AIndex);
    T Result;
    std::memcpy(&Result, FBytes.data() + StartOf(AIndex), sizeof(T));
    if (AIndex < 0)
        Remove(sizeof(T));
    return Result;
}

uint8_t TIdBuffer::ExtractToUInt8(int AIndex) { return ExtractValue<uint8_t>(AIndex); }

uint16_t TIdBuffer::ExtractToUInt16(int AIndex, bool AConvert) {
    uint16_t Value = ExtractValue<uint16_t>(AIndex);
    return AConvert ? TIdStack::NetworkToHost(Value) : Value;
}

uint32_t TIdBuffer::ExtractToUInt32(int AIndex, bool AConvert) {
    uint32_t Value = ExtractValue<uint32_t>(AIndex);
    return AConvert ? TIdStack::NetworkToHost(Value) : Value;
}

uint64_t TIdBuffer::ExtractToUInt64(int AIndex, bool AConvert) {
    uint64_t Value = ExtractValue<uint64_t>(AIndex);
    return AConvert ? TIdStack::NetworkToHost(Value) : Value;
}

TIdIPv6Address TIdBuffer::ExtractToIPv6(int AIndex, bool AConvert) {
    TIdIPv6Address Value = ExtractValue<TIdIPv6Address>(AIndex);
    return AConvert ? TIdStack::NetworkToHost(Value) : Value;
}

// ---------------------------------------------------------------------------
// Looking

int TIdBuffer::Find(const uint8_t* APattern, size_t ALength, int AStartPos) const {
    if (FSize == 0)
        return -1;
    if (ALength == 0)
        throw EIdException("Buffer terminator must be specified.");
    if (AStartPos < 0 || AStartPos >= FSize)
        throw EIdException("Buffer start position is invalid.");
    const uint8_t* Head = FBytes.data() + FHeadIndex;
    const uint8_t* Found = std::search(Head + AStartPos, Head + FSize, APattern, APattern + ALength);
    return Found == Head + FSize ? -1 : static_cast<int>(Found - Head);
}

int TIdBuffer::IndexOf(const TIdBytes& ABytes, int AStartPos) { return Find(ABytes.data(), ABytes.size(), AStartPos); }

int TIdBuffer::IndexOf(std::string_view AText, int AStartPos, const IIdTextEncodingPtr& AByteEncoding) {
    if (FSize == 0)
        return -1;
    return IndexOf(AText.empty() ? TIdBytes() : EncodingFor(AByteEncoding)->GetBytes(AText), AStartPos);
}

int TIdBuffer::IndexOf(uint8_t AByte, int AStartPos) { return Find(&AByte, 1, AStartPos); }

uint8_t TIdBuffer::PeekByte(int AIndex) {
    if (FSize == 0)
        throw EIdException("No bytes in buffer.");
    if (AIndex < 0 || AIndex >= FSize)
        RaiseIndexOutOfBounds();
    return FBytes[static_cast<size_t>(FHeadIndex + AIndex)];
}

void TIdBuffer::SaveToStream(TStream& AStream) {
    if (FSize > 0)
        AStream.WriteBuffer(FBytes.data() + FHeadIndex, FSize);
}

std::string TIdBuffer::AsString() {
    return FSize == 0 ? std::string() : EncodingFor(nullptr)->GetString(FBytes, FHeadIndex, FSize);
}
