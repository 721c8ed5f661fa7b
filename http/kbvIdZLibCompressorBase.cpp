#include "http/kbvIdZLibCompressorBase.h"

#include <algorithm>

namespace {

uint8_t ReadByte(TStream& AStream) {
    uint8_t Result;
    AStream.ReadBuffer(&Result, 1);
    return Result;
}

void Skip(TStream& AStream, int64_t ACount) {
    AStream.Seek(ACount, soCurrent);
}

// Skips a zero-terminated field (file name, comment).
void SkipZeroTerminated(TStream& AStream) {
    while (ReadByte(AStream) != 0) {
    }
}

// Up to two bytes at the position, which stays where it was.
int PeekTwo(TStream& AStream, uint8_t (&ABytes)[2]) {
    int64_t Start = AStream.Position();
    int Count = static_cast<int>(AStream.Read(ABytes, 2));
    AStream.SetPosition(Start);
    return Count;
}

constexpr uint8_t GZipFlagExtra = 0x04;
constexpr uint8_t GZipFlagName = 0x08;
constexpr uint8_t GZipFlagComment = 0x10;
constexpr uint8_t GZipFlagHeaderCRC = 0x02;
constexpr int GZipTrailerSize = 8;  // CRC-32 and size of the input

}  // namespace

bool IsZLibHeader(uint8_t ACMF, uint8_t AFLG) {
    return (ACMF & 0x0F) == 8 && (ACMF >> 4) <= 7 && (ACMF * 256 + AFLG) % 31 == 0;
}

void TIdZLibCompressorBase::DecompressDeflateStream(TStream& AInStream, TStream& AOutStream) {
    uint8_t Head[2];
    bool Complete = PeekTwo(AInStream, Head) == 2;
    if (Complete && Head[0] == 0x1F && Head[1] == 0x8B)
        DecompressGZipStream(AInStream, AOutStream);
    else if (Complete && IsZLibHeader(Head[0], Head[1]))
        InflateStream(AInStream, AOutStream);
    else
        DecompressStream(AInStream, AOutStream, -15);
}

void TIdZLibCompressorBase::CompressFTPDeflate(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel,
                                               int AWindowBits, int AMemLevel, int AStrategy) {
    CompressStream(AInStream, AOutStream, ALevel, AWindowBits, AMemLevel, AStrategy);
}

void TIdZLibCompressorBase::DecompressFTPDeflate(TStream& AInStream, TStream& AOutStream, int AWindowBits) {
    DecompressStream(AInStream, AOutStream, AWindowBits > 0 ? AWindowBits + 32 : AWindowBits);
}

void TIdZLibCompressorBase::CompressHTTPDeflate(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel) {
    DeflateStream(AInStream, AOutStream, ALevel);
}

void TIdZLibCompressorBase::DecompressHTTPDeflate(TStream& AInStream, TStream& AOutStream) {
    int64_t Start = AInStream.Position();
    uint8_t Header[2];
    if (AInStream.Read(Header, 2) != 2 || (Header[0] * 256 + Header[1]) % 31 != 0)
        throw EIdException("Error - invalid header");
    uint8_t DictionaryId[4];
    AInStream.Read(DictionaryId, 4);  // not used
    AInStream.SetPosition(Start);
    InflateStream(AInStream, AOutStream);
    AInStream.SetPosition(Start);
}

void TIdZLibCompressorBase::DecompressGZipStream(TStream& AInStream, TStream& AOutStream) {
    Skip(AInStream, 3);  // ID1, ID2, CM
    uint8_t Flags = ReadByte(AInStream);
    Skip(AInStream, 6);  // MTIME, XFL, OS
    if (Flags & GZipFlagExtra) {
        uint8_t Length[2];
        AInStream.ReadBuffer(Length, 2);
        Skip(AInStream, Length[0] | Length[1] << 8);
    }
    if (Flags & GZipFlagName)
        SkipZeroTerminated(AInStream);
    if (Flags & GZipFlagComment)
        SkipZeroTerminated(AInStream);
    if (Flags & GZipFlagHeaderCRC)
        Skip(AInStream, 2);

    // The deflate data starts here: put a zlib header in front of it.
    Skip(AInStream, -2);
    const uint8_t ZLibHeader[2] = {0x78, 0x9C};
    AInStream.WriteBuffer(ZLibHeader, 2);
    Skip(AInStream, -2);
    int64_t HeaderAt = AInStream.Position();
    // Without the trailer; a member too short for one keeps the header, and
    // the inflater reports the data as cut short.
    AInStream.SetSize(std::max(AInStream.Size() - GZipTrailerSize, HeaderAt + 2));
    AInStream.SetPosition(HeaderAt);
    InflateStream(AInStream, AOutStream);
}
