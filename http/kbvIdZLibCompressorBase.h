// The compressor interface through which the HTTP exchange decodes gzip and
// deflate bodies. The base adapts the stream formats (gzip header removal,
// zlib header check); a concrete compressor does the inflating and deflating.
#pragma once

#include <memory>
#include <string>

#include "core/Streams.h"
#include "net/kbvIdComponent.h"
#include "net/kbvIdException.h"

class TIdIOHandler;

// Decodes a compressed response body as it arrives: what is written to it
// is the compressed data, the decoded bytes go on to an output stream.
class TIdBodyDecoder : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    // Write-only: the position is the count of compressed bytes taken.
    int64_t Seek(int64_t, TSeekOrigin) override { return FTaken; }
    // After the last byte: raises when the compressed data did not end.
    virtual void Finish() = 0;

protected:
    int64_t FTaken = 0;
};

using TIdCompressionLevel = int;  // zlib levels: 0 (store) .. 9 (smallest), -1 default

class TIdZLibCompressorBase : public TIdBaseComponent {
public:
    explicit TIdZLibCompressorBase(TComponent* AOwner = nullptr) : TIdBaseComponent(AOwner) {}

    // Every operation reads its input from the stream's position to the end
    // and writes at the output's position.
    // A zlib stream (RFC 1950) of AInStream.
    virtual void DeflateStream(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel = 6) = 0;
    // Decodes a zlib stream (RFC 1950 header first).
    virtual void InflateStream(TStream& AInStream, TStream& AOutStream) = 0;
    // With zlib's own parameters: AWindowBits 8..15 zlib format, -8..-15 raw
    // deflate, +16 gzip; for decompressing also +32 (zlib or gzip, detected).
    virtual void CompressStream(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel,
                                int AWindowBits, int AMemLevel, int AStrategy) = 0;
    virtual void DecompressStream(TStream& AInStream, TStream& AOutStream, int AWindowBits) = 0;
    virtual void CompressFTPToIO(TStream& AInStream, TIdIOHandler& AIOHandler, TIdCompressionLevel ALevel,
                                 int AWindowBits, int AMemLevel, int AStrategy) = 0;
    // Reads exactly the compressed stream from the IO handler: what follows stays buffered.
    virtual void DecompressFTPFromIO(TIdIOHandler& AIOHandler, TStream& AOutputStream, int AWindowBits) = 0;

    // A body sent as "deflate": a zlib stream as RFC 9110 means it, raw
    // deflate data as some servers send it, or a gzip member under the
    // wrong label; told apart by their first bytes.
    void DecompressDeflateStream(TStream& AInStream, TStream& AOutStream);
    void CompressFTPDeflate(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel, int AWindowBits,
                            int AMemLevel, int AStrategy);
    // A positive AWindowBits also accepts a gzip header (zlib's detection).
    void DecompressFTPDeflate(TStream& AInStream, TStream& AOutStream, int AWindowBits);
    void CompressHTTPDeflate(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel);
    // Checks the zlib header (EIdException "Error - invalid header"), inflates,
    // and leaves the input at the position it had.
    void DecompressHTTPDeflate(TStream& AInStream, TStream& AOutStream);
    // Inflates gzip members (RFC 1952), one after another, each checked
    // against its CRC-32 and length trailer (zlib's gzip mode of
    // DecompressStream); bytes after the last member that do not begin
    // another one are left unread.
    void DecompressGZipStream(TStream& AInStream, TStream& AOutStream);

    // A decoder for a body of Content-Encoding ACoding ("gzip" or "deflate")
    // that writes to AOutStream. This one gathers the compressed body and
    // decodes it at Finish with the operations above; a compressor that can
    // decode as the data arrives overrides it.
    virtual std::unique_ptr<TIdBodyDecoder> MakeBodyDecoder(const std::string& ACoding, TStream& AOutStream);

    // Whether the compressor can work; the exchange uses only a ready one.
    virtual bool IsReady() const { return true; }
};

// True for two bytes that form a zlib header (RFC 1950): deflate with a
// window of at most 32 KiB, and a check value that makes them a multiple of 31.
bool IsZLibHeader(uint8_t ACMF, uint8_t AFLG);

// The first two bytes of a gzip member.
constexpr uint8_t GZipMagic[2] = {0x1F, 0x8B};
