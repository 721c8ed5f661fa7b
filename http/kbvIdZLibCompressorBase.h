// The compressor interface through which the HTTP exchange decodes gzip and
// deflate bodies. The base adapts the stream formats (gzip header removal,
// zlib header check); a concrete compressor does the inflating and deflating.
#pragma once

#include "core/Streams.h"
#include "net/kbvIdComponent.h"
#include "net/kbvIdException.h"

class TIdIOHandler;

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
    // Inflates a gzip member (RFC 1952). It rewrites the input in place: the
    // last two header bytes become a zlib header, the 8-byte trailer is cut
    // off, so the inflater must do without the Adler-32 trailer.
    void DecompressGZipStream(TStream& AInStream, TStream& AOutStream);

    // Whether the compressor can work; the exchange uses only a ready one.
    virtual bool IsReady() const { return true; }
};

// True for two bytes that form a zlib header (RFC 1950): deflate with a
// window of at most 32 KiB, and a check value that makes them a multiple of 31.
bool IsZLibHeader(uint8_t ACMF, uint8_t AFLG);
