// A byte queue with a moving head: the IO handler's input and write buffers.
// Reads take bytes from the head without moving the rest; the unread bytes
// are moved to the front only when the head has passed the growth factor, or
// when a write needs the room.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/Persistent.h"
#include "net/kbvIdGlobal.h"

class TStream;

class EIdTooMuchDataInBuffer : public EIdException {
public:
    EIdTooMuchDataInBuffer() : EIdException("Too much data in buffer.") {}
};

// "Not enough data in buffer. (<requested>/<size>)"
class EIdNotEnoughDataInBuffer : public EIdException {
public:
    EIdNotEnoughDataInBuffer(int ARequested, int ASize);
};

using TIdBufferBytesRemoved = std::function<void(TObject* ASender, int ACount)>;

// Extract operations take AIndex < 0 to mean "from the head, removing what
// they take"; AIndex >= 0 copies from that offset past the head and removes
// nothing. A byte count of -1 (any negative count) means all there is.
// A buffer holds at most 2147483647 bytes; writing more raises
// EIdTooMuchDataInBuffer. It holds one usage of the socket stack for its
// lifetime, for the byte-order conversions of its integer operations.
class TIdBuffer : public TObject {
public:
    explicit TIdBuffer(int AGrowthFactor = 2048);
    explicit TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved, int AGrowthFactor = 2048);
    // Adopts all of ABytes as unread data.
    explicit TIdBuffer(TIdBytes ABytes);
    // Copies the first ALength bytes of ABytes (all when negative).
    TIdBuffer(const TIdBytes& ABytes, int ALength);
    ~TIdBuffer() override;
    TIdBuffer(const TIdBuffer&) = delete;
    TIdBuffer& operator=(const TIdBuffer&) = delete;

    // Writes ALength bytes (all when negative) of ABytes from AOffset; they
    // are appended when ADestIndex < 0, else inserted ADestIndex bytes past the head.
    void Write(const TIdBytes& ABytes, int ALength = -1, int AOffset = 0, int ADestIndex = -1);
    // The text in AByteEncoding, else the buffer's ByteEncoding, else the library default.
    void Write(std::string_view AText, const IIdTextEncodingPtr& AByteEncoding = nullptr, int ADestIndex = -1);
    // AByteCount bytes from the stream's position; 0: the whole stream from
    // its beginning; negative: the rest from its position.
    void Write(TStream& AStream, int64_t AByteCount = 0);
    // Integers and IPv6 addresses go in network byte order.
    void WriteUInt8(uint8_t AValue, int ADestIndex = -1);
    void WriteUInt16(uint16_t AValue, int ADestIndex = -1);
    void WriteUInt32(uint32_t AValue, int ADestIndex = -1);
    void WriteUInt64(uint64_t AValue, int ADestIndex = -1);
    void WriteIPv6(const TIdIPv6Address& AValue, int ADestIndex = -1);

    // Appends the bytes to VBytes, or replaces its content when not AAppend.
    void ExtractToBytes(TIdBytes& VBytes, int AByteCount = -1, bool AAppend = true, int AIndex = -1);
    std::string ExtractToString(int AByteCount = -1, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string Extract(int AByteCount = -1, const IIdTextEncodingPtr& AByteEncoding = nullptr) {
        return ExtractToString(AByteCount, AByteEncoding);
    }
    void ExtractToStream(TStream& AStream, int AByteCount = -1, int AIndex = -1);
    void ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount = -1, int AIndex = -1);
    // Integers are converted from network byte order when AConvert is set.
    uint8_t ExtractToUInt8(int AIndex = -1);
    uint16_t ExtractToUInt16(int AIndex = -1, bool AConvert = true);
    uint32_t ExtractToUInt32(int AIndex = -1, bool AConvert = true);
    uint64_t ExtractToUInt64(int AIndex = -1, bool AConvert = true);
    TIdIPv6Address ExtractToIPv6(int AIndex = -1, bool AConvert = true);

    // Drops AByteCount bytes from the head (all when at least Size) and tells OnBytesRemoved.
    void Remove(int AByteCount);
    // Empties the buffer and releases its storage.
    void Clear();
    // Moves the unread bytes to the front; with ACanShrink, cuts the storage
    // to Size + GrowthFactor when more than GrowthFactor is free.
    void CompactHead(bool ACanShrink = true);

    // Offset from the head of the first occurrence at or after AStartPos, -1
    // when none. An empty buffer answers -1 without looking at the arguments.
    int IndexOf(const TIdBytes& ABytes, int AStartPos = 0);
    int IndexOf(std::string_view AText, int AStartPos = 0, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    int IndexOf(uint8_t AByte, int AStartPos = 0);
    // The byte AIndex past the head.
    uint8_t PeekByte(int AIndex);
    // Writes all unread bytes to the stream without removing them.
    void SaveToStream(TStream& AStream);
    // All unread bytes as text in the buffer's ByteEncoding (else the library default).
    std::string AsString();

    int Size() const { return FSize; }
    int Capacity() const { return static_cast<int>(FBytes.size()); }
    void SetCapacity(int AValue);
    int GrowthFactor() const { return FGrowthFactor; }
    void SetGrowthFactor(int AValue) { FGrowthFactor = AValue; }
    const IIdTextEncodingPtr& ByteEncoding() const { return FByteEncoding; }
    void SetByteEncoding(IIdTextEncodingPtr AValue) { FByteEncoding = std::move(AValue); }

private:
    // Makes room for ACount bytes at ADestIndex (< 0: the end) and returns
    // where they go; the caller fills them and then calls Commit.
    uint8_t* Reserve(int ACount, int ADestIndex);
    void Commit(int ACount) { FSize += ACount; }
    // The checked count of an extraction from AIndex; raises EIdNotEnoughDataInBuffer.
    int CheckByteCount(int AByteCount, int AIndex) const;
    // Where an extraction from AIndex starts in FBytes.
    int StartOf(int AIndex) const { return FHeadIndex + (AIndex < 0 ? 0 : AIndex); }
    template <typename T>
    T ExtractValue(int AIndex);
    template <typename T>
    void WriteValue(const T& AValue, int ADestIndex);
    IIdTextEncodingPtr EncodingFor(const IIdTextEncodingPtr& AByteEncoding) const;
    int Find(const uint8_t* APattern, size_t ALength, int AStartPos) const;

    TIdBytes FBytes;
    IIdTextEncodingPtr FByteEncoding;
    int FGrowthFactor = 2048;
    int FHeadIndex = 0;
    TIdBufferBytesRemoved FOnBytesRemoved;
    int FSize = 0;
};
