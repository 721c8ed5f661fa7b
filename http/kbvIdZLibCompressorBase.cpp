#include "http/kbvIdZLibCompressorBase.h"

#include <algorithm>

namespace {

// Up to two bytes at the position, which stays where it was.
int PeekTwo(TStream& AStream, uint8_t (&ABytes)[2]) {
    int64_t Start = AStream.Position();
    int Count = static_cast<int>(AStream.Read(ABytes, 2));
    AStream.SetPosition(Start);
    return Count;
}

constexpr int GZipWindowBits = 15 + 16;  // zlib's gzip mode: header, CRC-32 and length checked

}  // namespace

bool IsZLibHeader(uint8_t ACMF, uint8_t AFLG) {
    return (ACMF & 0x0F) == 8 && (ACMF >> 4) <= 7 && (ACMF * 256 + AFLG) % 31 == 0;
}

void TIdZLibCompressorBase::DecompressDeflateStream(TStream& AInStream, TStream& AOutStream) {
    uint8_t Head[2];
    bool Complete = PeekTwo(AInStream, Head) == 2;
    if (Complete && Head[0] == GZipMagic[0] && Head[1] == GZipMagic[1])
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
    uint8_t Head[2];
    do
        DecompressStream(AInStream, AOutStream, GZipWindowBits);
    while (PeekTwo(AInStream, Head) == 2 && Head[0] == GZipMagic[0] && Head[1] == GZipMagic[1]);
}

namespace {

// Gathers the compressed body in memory and decodes it at the end.
class TGatheringDecoder : public TIdBodyDecoder {
public:
    TGatheringDecoder(TIdZLibCompressorBase& ACompressor, bool AGZip, TStream& AOutStream)
        : FCompressor(ACompressor), FGZip(AGZip), FOutStream(AOutStream) {}
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        FTaken += ACount;
        return FData.Write(ABuffer, ACount);
    }
    void Finish() override {
        if (FTaken == 0)
            return;  // no body at all decodes to none
        FData.SetPosition(0);
        if (FGZip)
            FCompressor.DecompressGZipStream(FData, FOutStream);
        else
            FCompressor.DecompressDeflateStream(FData, FOutStream);
    }

private:
    TIdZLibCompressorBase& FCompressor;
    bool FGZip;
    TStream& FOutStream;
    TMemoryStream FData;
};

}  // namespace

std::unique_ptr<TIdBodyDecoder> TIdZLibCompressorBase::MakeBodyDecoder(const std::string& ACoding, TStream& AOutStream) {
    return std::make_unique<TGatheringDecoder>(*this, ACoding == "gzip", AOutStream);
}
