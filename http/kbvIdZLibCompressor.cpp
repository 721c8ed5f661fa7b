#include "http/kbvIdZLibCompressor.h"

#include <zlib.h>

#include <algorithm>
#include <functional>

#include "net/kbvIdIOHandler.h"

namespace {

constexpr size_t ChunkSize = 64 * 1024;

// Receives the bytes a compressor or decompressor produces.
using TSink = std::function<void(const uint8_t* ABytes, size_t ACount)>;

// Where compressed input comes from.
class TSource {
public:
    virtual ~TSource() = default;
    // The next bytes; empty at the end of the input.
    virtual const TIdBytes& Take() = 0;
    // Returns the last ACount bytes of what Take gave last: they follow the compressed data.
    virtual void PutBack(size_t ACount) = 0;
};

class TStreamSource : public TSource {
public:
    explicit TStreamSource(TStream& AStream) : FStream(AStream) {}
    const TIdBytes& Take() override {
        FChunk.resize(ChunkSize);
        FChunk.resize(static_cast<size_t>(FStream.Read(FChunk.data(), ChunkSize)));
        return FChunk;
    }
    void PutBack(size_t ACount) override { FStream.Seek(-static_cast<int64_t>(ACount), soCurrent); }

private:
    TStream& FStream;
    TIdBytes FChunk;
};

// Takes what the IO handler has buffered, waiting (ReadTimeout) when it has nothing;
// a closed connection raises as any read does.
class TIOHandlerSource : public TSource {
public:
    explicit TIOHandlerSource(TIdIOHandler& AIOHandler) : FIOHandler(AIOHandler) {}
    const TIdBytes& Take() override {
        FIOHandler.AwaitInputBytes(1);
        FIOHandler.InputBuffer()->ExtractToBytes(FChunk, -1, false);
        return FChunk;
    }
    void PutBack(size_t ACount) override {
        FIOHandler.InputBuffer()->Write(FChunk, static_cast<int>(ACount), static_cast<int>(FChunk.size() - ACount), 0);
    }

private:
    TIdIOHandler& FIOHandler;
    TIdBytes FChunk;
};

TSink StreamSink(TStream& AStream) {
    return [&AStream](const uint8_t* ABytes, size_t ACount) { AStream.WriteBuffer(ABytes, static_cast<int64_t>(ACount)); };
}

[[noreturn]] void RaiseZLibError(const z_stream& AZ, int AResult) {
    if (AResult == Z_NEED_DICT)
        throw EIdZLibError("zlib: a preset dictionary is needed");
    throw EIdZLibError(std::string("zlib: ") + (AZ.msg ? AZ.msg : zError(AResult)));
}

[[noreturn]] void RaiseCutShort() {
    throw EIdZLibError("zlib: unexpected end of compressed data");
}

// A z_stream that is ended however its use ends.
template <int (*End)(z_streamp)>
struct TZStream {
    z_stream Z{};
    TZStream() = default;
    TZStream(const TZStream&) = delete;
    TZStream& operator=(const TZStream&) = delete;
    ~TZStream() { End(&Z); }
};

void Deflate(TStream& AIn, const TSink& ASink, int ALevel, int AWindowBits, int AMemLevel, int AStrategy) {
    TZStream<deflateEnd> Stream;
    z_stream& Z = Stream.Z;
    if (int Result = deflateInit2(&Z, ALevel, Z_DEFLATED, AWindowBits, AMemLevel, AStrategy); Result != Z_OK)
        RaiseZLibError(Z, Result);
    TIdBytes In(ChunkSize), Out(ChunkSize);
    for (int Flush = Z_NO_FLUSH; Flush != Z_FINISH;) {
        Z.avail_in = static_cast<uInt>(AIn.Read(In.data(), ChunkSize));
        Z.next_in = In.data();
        Flush = Z.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {  // until deflate has room to spare: then it has taken all input
            Z.next_out = Out.data();
            Z.avail_out = ChunkSize;
            deflate(&Z, Flush);
            ASink(Out.data(), ChunkSize - Z.avail_out);
        } while (Z.avail_out == 0);
    }
}

// Inflates until the end of the compressed data, which must come; what
// follows it goes back to the source.
void Inflate(TSource& ASource, const TSink& ASink, int AWindowBits) {
    TZStream<inflateEnd> Stream;
    z_stream& Z = Stream.Z;
    if (int Result = inflateInit2(&Z, AWindowBits); Result != Z_OK)
        RaiseZLibError(Z, Result);
    TIdBytes Out(ChunkSize);
    for (int Result = Z_OK; Result != Z_STREAM_END;) {
        if (Z.avail_in == 0) {
            const TIdBytes& In = ASource.Take();
            if (In.empty())
                RaiseCutShort();
            Z.next_in = const_cast<Bytef*>(In.data());
            Z.avail_in = static_cast<uInt>(In.size());
        }
        Z.next_out = Out.data();
        Z.avail_out = ChunkSize;
        Result = inflate(&Z, Z_NO_FLUSH);
        // Z_BUF_ERROR only says that more input is needed.
        if (Result != Z_OK && Result != Z_STREAM_END && !(Result == Z_BUF_ERROR && Z.avail_in == 0))
            RaiseZLibError(Z, Result);
        ASink(Out.data(), ChunkSize - Z.avail_out);
    }
    if (Z.avail_in > 0)
        ASource.PutBack(Z.avail_in);
}

constexpr int ZLibWindowBits = 15;
constexpr int RawWindowBits = -15;
constexpr int DefaultMemLevel = 8;
constexpr uint8_t PresetDictionaryFlag = 0x20;
constexpr int GZipWindowBits = 15 + 16;

// Decodes a gzip or deflate body as it arrives. gzip members are checked by
// zlib against their trailers and may follow one another. A "deflate" body
// is a zlib stream, raw deflate data or a gzip member, told apart by its
// first two bytes; a zlib stream's Adler-32 trailer is checked when it comes.
// Bytes after the compressed data that do not begin a gzip member are ignored.
class TZLibBodyDecoder : public TIdBodyDecoder {
public:
    TZLibBodyDecoder(bool AGZip, TStream& AOutStream) : FGZip(AGZip), FOutStream(AOutStream), FOut(ChunkSize) {}

    int64_t Write(const void* ABuffer, int64_t ACount) override {
        FTaken += ACount;
        const auto* Bytes = static_cast<const uint8_t*>(ABuffer);
        for (int64_t Done = 0; Done < ACount;) {
            const size_t Piece = static_cast<size_t>(std::min<int64_t>(ACount - Done, ChunkSize));
            const size_t Used = Take(Bytes + Done, Piece);
            if (Used == 0)
                throw EIdZLibError("zlib: the compressed data makes no progress");
            Done += static_cast<int64_t>(Used);
        }
        return ACount;
    }

    void Finish() override {
        const bool Empty = FTaken == 0;
        if ((FState == sHead && !Empty) || FState == sInflating || (FState == sTrailer && !FTrailer.empty()))
            RaiseCutShort();
    }

private:
    enum TState { sHead, sInflating, sTrailer, sAfter };

    // Consumes up to ACount bytes; returns how many.
    size_t Take(const uint8_t* ABytes, size_t ACount) {
        switch (FState) {
        case sHead:
        case sAfter:
            return TakeHead(ABytes, ACount);
        case sInflating:
            return Inflate(ABytes, ACount);
        case sTrailer:
            return TakeTrailer(ABytes, ACount);
        }
        return ACount;
    }

    // The first two bytes of the body, or of what follows a gzip member.
    size_t TakeHead(const uint8_t* ABytes, size_t ACount) {
        if (FState == sAfter && FIgnoreRest)
            return ACount;
        const size_t Used = std::min(ACount, 2 - FHead.size());
        FHead.insert(FHead.end(), ABytes, ABytes + Used);
        if (FHead.size() < 2)
            return Used;
        const bool GZipMember = FHead[0] == GZipMagic[0] && FHead[1] == GZipMagic[1];
        if (FState == sAfter && !GZipMember) {
            FIgnoreRest = true;
            return ACount;
        }
        TIdBytes Head;
        Head.swap(FHead);
        if (GZipMember || FGZip) {
            Start(GZipWindowBits, false);
        } else if (IsZLibHeader(Head[0], Head[1])) {
            if (Head[1] & PresetDictionaryFlag)
                throw EIdZLibError("zlib: a preset dictionary is needed");
            Start(RawWindowBits, true);
            Head.clear();  // the header is checked; raw inflating starts after it
        } else {
            Start(RawWindowBits, false);
        }
        if (!Head.empty())
            Inflate(Head.data(), Head.size());
        return Used;
    }

    void Start(int AWindowBits, bool AAdler) {
        if (FStarted) {
            inflateReset(&FZ.Z);
        } else if (int Result = inflateInit2(&FZ.Z, AWindowBits); Result != Z_OK) {
            RaiseZLibError(FZ.Z, Result);
        }
        FStarted = true;
        FWindowBits = AWindowBits;
        FAdler = AAdler ? adler32(0, nullptr, 0) : 0;
        FCheckAdler = AAdler;
        FState = sInflating;
    }

    size_t Inflate(const uint8_t* ABytes, size_t ACount) {
        z_stream& Z = FZ.Z;
        Z.next_in = const_cast<Bytef*>(ABytes);
        Z.avail_in = static_cast<uInt>(ACount);
        int Result;
        do {
            Z.next_out = FOut.data();
            Z.avail_out = ChunkSize;
            Result = inflate(&Z, Z_NO_FLUSH);
            if (Result != Z_OK && Result != Z_STREAM_END && Result != Z_BUF_ERROR)
                RaiseZLibError(Z, Result);
            const size_t Produced = ChunkSize - Z.avail_out;
            if (FCheckAdler)
                FAdler = adler32(FAdler, FOut.data(), static_cast<uInt>(Produced));
            FOutStream.WriteBuffer(FOut.data(), static_cast<int64_t>(Produced));
        } while (Result == Z_OK && (Z.avail_in > 0 || Z.avail_out == 0));
        if (Result == Z_STREAM_END && FCheckAdler) {
            FState = sTrailer;
        } else if (Result == Z_STREAM_END) {
            FState = sAfter;
            FIgnoreRest = FWindowBits != GZipWindowBits;  // only a gzip member may follow
        }
        return ACount - Z.avail_in;
    }

    size_t TakeTrailer(const uint8_t* ABytes, size_t ACount) {
        const size_t Used = std::min(ACount, 4 - FTrailer.size());
        FTrailer.insert(FTrailer.end(), ABytes, ABytes + Used);
        if (FTrailer.size() == 4) {
            const uLong Expected = uLong(FTrailer[0]) << 24 | uLong(FTrailer[1]) << 16 | uLong(FTrailer[2]) << 8 | FTrailer[3];
            if (Expected != FAdler)
                throw EIdZLibError("zlib: incorrect data check");
            FTrailer.clear();
            FIgnoreRest = true;
            FState = sAfter;
        }
        return Used;
    }

    bool FGZip;
    TStream& FOutStream;
    TIdBytes FOut;
    TZStream<inflateEnd> FZ;
    bool FStarted = false;
    int FWindowBits = 0;
    TState FState = sHead;
    TIdBytes FHead;
    TIdBytes FTrailer;
    bool FCheckAdler = false;
    uLong FAdler = 0;
    bool FIgnoreRest = false;
};

}  // namespace

void TIdZLibCompressor::DeflateStream(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel) {
    CompressStream(AInStream, AOutStream, ALevel, ZLibWindowBits, DefaultMemLevel, Z_DEFAULT_STRATEGY);
}

// The zlib header is checked here and the deflate data inflated raw, so that
// the end of the deflate data ends the stream whether a trailer follows or not.
void TIdZLibCompressor::InflateStream(TStream& AInStream, TStream& AOutStream) {
    uint8_t Header[2];
    if (AInStream.Read(Header, 2) != 2)
        RaiseCutShort();
    if (!IsZLibHeader(Header[0], Header[1]))
        throw EIdZLibError("zlib: incorrect header check");
    if (Header[1] & PresetDictionaryFlag)
        throw EIdZLibError("zlib: a preset dictionary is needed");

    uLong Adler = adler32(0, nullptr, 0);
    TSink Write = StreamSink(AOutStream);
    TStreamSource Source(AInStream);
    Inflate(Source, [&](const uint8_t* ABytes, size_t ACount) {
        Adler = adler32(Adler, ABytes, static_cast<uInt>(ACount));
        Write(ABytes, ACount);
    }, RawWindowBits);

    uint8_t Trailer[4];
    int64_t TrailerSize = AInStream.Read(Trailer, 4);
    if (TrailerSize == 0)
        return;
    if (TrailerSize < 4)
        RaiseCutShort();
    uLong Expected = uLong(Trailer[0]) << 24 | uLong(Trailer[1]) << 16 | uLong(Trailer[2]) << 8 | Trailer[3];
    if (Expected != Adler)
        throw EIdZLibError("zlib: incorrect data check");
}

void TIdZLibCompressor::CompressStream(TStream& AInStream, TStream& AOutStream, TIdCompressionLevel ALevel,
                                       int AWindowBits, int AMemLevel, int AStrategy) {
    Deflate(AInStream, StreamSink(AOutStream), ALevel, AWindowBits, AMemLevel, AStrategy);
}

void TIdZLibCompressor::DecompressStream(TStream& AInStream, TStream& AOutStream, int AWindowBits) {
    TStreamSource Source(AInStream);
    Inflate(Source, StreamSink(AOutStream), AWindowBits);
}

void TIdZLibCompressor::CompressFTPToIO(TStream& AInStream, TIdIOHandler& AIOHandler, TIdCompressionLevel ALevel,
                                        int AWindowBits, int AMemLevel, int AStrategy) {
    TIdBytes Block;
    Deflate(AInStream, [&](const uint8_t* ABytes, size_t ACount) {
        if (ACount == 0)
            return;
        Block.assign(ABytes, ABytes + ACount);
        AIOHandler.Write(Block);
    }, ALevel, AWindowBits, AMemLevel, AStrategy);
}

void TIdZLibCompressor::DecompressFTPFromIO(TIdIOHandler& AIOHandler, TStream& AOutputStream, int AWindowBits) {
    TIOHandlerSource Source(AIOHandler);
    Inflate(Source, StreamSink(AOutputStream), AWindowBits);
}

std::unique_ptr<TIdBodyDecoder> TIdZLibCompressor::MakeBodyDecoder(const std::string& ACoding, TStream& AOutStream) {
    return std::make_unique<TZLibBodyDecoder>(ACoding == "gzip", AOutStream);
}

bool TIdZLibCompressor::IsReady() const {
    return zlibVersion()[0] == ZLIB_VERSION[0];
}
