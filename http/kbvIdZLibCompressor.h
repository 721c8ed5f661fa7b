// The compressor on zlib.
#pragma once

#include "http/kbvIdZLibCompressorBase.h"

// A failure of zlib: corrupt or cut-short input, or parameters it rejects.
class EIdZLibError : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdZLibCompressor : public TIdZLibCompressorBase {
public:
    using TIdZLibCompressorBase::TIdZLibCompressorBase;

    void DeflateStream(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel = 6) override;
    // Stops at the end of the deflate data. The Adler-32 trailer is checked
    // when it is there and may be missing (as in a rewritten gzip member).
    void InflateStream(TStream& AInStream, TStream& AOutStream) override;
    void CompressStream(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel, int AWindowBits,
                        int AMemLevel, int AStrategy) override;
    // Checks the trailer the format has. Leaves the input just past the compressed data.
    void DecompressStream(TStream& AInStream, TStream& AOutStream, int AWindowBits) override;
    void CompressFTPToIO(TStream& AInStream, TIdIOHandler& AIOHandler, TIdCompressionLevel ALevel, int AWindowBits,
                         int AMemLevel, int AStrategy) override;
    void DecompressFTPFromIO(TIdIOHandler& AIOHandler, TStream& AOutputStream, int AWindowBits) override;

    // Decodes as the body arrives, never holding it whole.
    std::unique_ptr<TIdBodyDecoder> MakeBodyDecoder(const std::string& ACoding, TStream& AOutStream) override;

    // The zlib library loaded matches the one built against.
    bool IsReady() const override;
};
