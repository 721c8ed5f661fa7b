// Response body reading: whether a body comes, its framing, decompression,
// and the charset inspection of HTML and XML bodies.
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/Format.h"
#include "core/Text.h"
#include "http/kbvIdHTTP.h"
#include "http/kbvIdHTTP_BodySink.h"
#include "http/kbvIdZLibCompressorBase.h"
#include "net/kbvIdCharsets.h"

namespace {

// A chunk-size line: extensions after ";" are ignored; the size is a
// hexadecimal number that fits in 60 bits, or the framing is lost.
int64_t ParseChunkSize(const std::string& ALine) {
    std::string_view Text = Trim(std::string_view(ALine).substr(0, ALine.find(';')));
    while (Text.size() > 1 && Text.front() == '0')
        Text.remove_prefix(1);
    int64_t Size = 0;
    for (char C : Text) {
        const int Digit = C >= '0' && C <= '9' ? C - '0' : C >= 'a' && C <= 'f' ? C - 'a' + 10
                        : C >= 'A' && C <= 'F' ? C - 'A' + 10 : -1;
        if (Digit < 0 || Text.size() > 15)
            throw EIdHTTPBadResponse("The response has an invalid chunk size");
        Size = Size * 16 + Digit;
    }
    if (Text.empty())
        throw EIdHTTPBadResponse("The response has an invalid chunk size");
    return Size;
}

// Raises for a header or trailer line a response must not hold.
void CheckResponseLine(const std::string& ALine) {
    if (ALine.find_first_of(std::string_view("\0\r", 2)) != std::string::npos)
        throw EIdHTTPBadResponse("A header line of the response holds a NUL or CR character");
}

// The values of every line named AName, split at commas and trimmed; empty
// items are dropped.
std::vector<std::string> ListValues(const TIdHeaderList& AHeaders, const std::string& AName) {
    TStringList Lines;
    AHeaders.Extract(AName, Lines);
    std::vector<std::string> Result;
    for (int I = 0; I < Lines.Count(); ++I) {
        std::string_view Rest = Lines.Strings(I);
        while (!Rest.empty()) {
            const size_t Comma = std::min(Rest.find(','), Rest.size());
            if (std::string_view Item = Trim(Rest.substr(0, Comma)); !Item.empty())
                Result.emplace_back(Item);
            Rest.remove_prefix(std::min(Comma + 1, Rest.size()));
        }
    }
    return Result;
}

// Moves ACount buffered bytes into AStream; a sink that only drops counts
// them and they are removed in place, without a copy.
void TakeBuffered(TIdBuffer& ABuffer, TStream& AStream, int ACount) {
    if (auto* Sink = dynamic_cast<TIdHTTPBodySink*>(&AStream); Sink && Sink->Drops()) {
        Sink->Account(ACount);
        ABuffer.Remove(ACount);
    } else {
        ABuffer.ExtractToStream(AStream, ACount);
    }
}

// EBCDIC (code page 37) letters, digits and the few marks an XML declaration
// uses; everything else becomes U+0001.
char EbcdicToAscii(uint8_t AByte) {
    static const struct { uint8_t From; char To; } Marks[] = {
        {0x40, ' '}, {0x05, '\t'}, {0x0D, '\r'}, {0x25, '\n'}, {0x15, '\n'}, {0x4B, '.'}, {0x4C, '<'}, {0x60, '-'},
        {0x6D, '_'}, {0x6E, '>'}, {0x6F, '?'}, {0x7E, '='}, {0x7F, '"'}, {0x7D, '\''}};
    for (const auto& M : Marks)
        if (M.From == AByte)
            return M.To;
    const auto Range = [&](uint8_t AFirst, uint8_t ALast, char ATo) -> int {
        return AByte >= AFirst && AByte <= ALast ? ATo + (AByte - AFirst) : 0;
    };
    for (int C : {Range(0x81, 0x89, 'a'), Range(0x91, 0x99, 'j'), Range(0xA2, 0xA9, 's'), Range(0xC1, 0xC9, 'A'),
                  Range(0xD1, 0xD9, 'J'), Range(0xE2, 0xE9, 'S'), Range(0xF0, 0xF9, '0')})
        if (C)
            return static_cast<char>(C);
    return '\x01';
}

// The value of encoding="..." in an XML declaration; empty when absent or unquoted.
std::string DeclaredEncoding(const std::string& ADeclaration) {
    size_t I = ADeclaration.find("encoding");
    if (I == std::string::npos)
        return "";
    I += 8;
    auto SkipBlanks = [&] {
        while (I < ADeclaration.size() && static_cast<unsigned char>(ADeclaration[I]) <= ' ')
            ++I;
    };
    SkipBlanks();
    if (I < ADeclaration.size() && ADeclaration[I] == '=') {
        ++I;
        SkipBlanks();
    }
    if (I >= ADeclaration.size() || (ADeclaration[I] != '"' && ADeclaration[I] != '\''))
        return "";
    size_t End = ADeclaration.find(ADeclaration[I], I + 1);
    if (End == std::string::npos)
        return "";
    std::string Value = ADeclaration.substr(I + 1, End - I - 1);
    size_t First = Value.find_first_not_of(" \t\r\n"), Last = Value.find_last_not_of(" \t\r\n");
    return First == std::string::npos ? "" : Value.substr(First, Last - First + 1);
}

}  // namespace

// --- media types and charsets -----------------------------------------------

bool TIdCustomHTTP::IsChunked(TIdHTTPResponse& AResponse) {
    std::string_view Codings = AResponse.TransferEncoding();
    const size_t Comma = Codings.rfind(',');
    std::string_view Last = Comma == std::string_view::npos ? Codings : Codings.substr(Comma + 1);
    return TextIsSame(Trim(Last.substr(0, Last.find(';'))), "chunked");
}

// RFC 9112 section 6.3: Transfer-Encoding overrides Content-Length, and a
// response that carries both is not trusted with the connection afterwards;
// Content-Length values must agree and be plain decimal numbers.
void TIdCustomHTTP::CheckFraming(TIdHTTPResponse& AResponse) {
    TIdHeaderList& Raw = AResponse.RawHeaders();
    for (int I = 0; I < Raw.Count(); ++I)
        CheckResponseLine(Raw.Strings(I));
    const std::vector<std::string> Codings = ListValues(Raw, "Transfer-Encoding");
    const std::vector<std::string> Lengths = ListValues(Raw, "Content-Length");
    if (!Codings.empty()) {
        std::string Joined;
        for (const std::string& Coding : Codings)
            Joined += (Joined.empty() ? "" : ", ") + Coding;
        AResponse.SetTransferEncoding(Joined);
        if (!Lengths.empty() || !IsChunked(AResponse)) {  // the body then ends where the connection does
            AResponse.SetContentLength(-1);
            AResponse.SetConnection("close");
        }
        return;
    }
    if (Lengths.empty())
        return;
    for (const std::string& Length : Lengths)
        if (!IsNumeric(Length) || Length.size() > 18)
            throw EIdHTTPBadResponse("The response has an invalid Content-Length");
    for (const std::string& Length : Lengths)
        if (std::stoll(Length) != std::stoll(Lengths.front()))
            throw EIdHTTPBadResponse("The response has several different Content-Length values");
    AResponse.SetContentLength(std::stoll(Lengths.front()));
}

bool TIdCustomHTTP::IsHtmlContentType() {
    return PosInStrArray(ExtractHeaderItem(Response().ContentType()), {"text/html", "text/html-sandboxed", "application/xhtml+xml"},
                         false) >= 0;
}

bool TIdCustomHTTP::IsXmlContentType() {
    const std::string Type = ExtractHeaderItem(Response().ContentType());
    if (PosInStrArray(Type, {"application/xml", "application/xml-external-parsed-entity", "application/xml-dtd"},
                      false) >= 0)
        return true;
    return !IsHeaderMediaType(Type, "text") && TextEndsWith(ExtractHeaderMediaSubType(Type), "+xml");
}

bool TIdCustomHTTP::IsJsonContentType() {
    const std::string Type = ExtractHeaderItem(Response().ContentType());
    return TextIsSame(Type, "application/json") || TextEndsWith(ExtractHeaderMediaSubType(Type), "+json");
}

// JSON is UTF-8 by definition: without a charset it is not decoded byte by byte.
std::string TIdCustomHTTP::ResponseTextCharset() {
    if (Response().CharSet().empty() && IsJsonContentType())
        return "UTF-8";
    return Response().CharSet();
}

std::string TIdCustomHTTP::ReadTextWithCharset(TStream& AStream, const std::string& ACharset) {
    const int64_t Count = AStream.Size() - AStream.Position();
    if (Count <= 0)
        return "";
    TIdBytes Bytes(static_cast<size_t>(Count));
    AStream.ReadBuffer(Bytes.data(), Count);
    IIdTextEncodingPtr Encoding;
    if (!ACharset.empty()) {
        try {
            Encoding = CharsetToEncoding(ACharset);
        } catch (const EIdException&) {
            // a code page without a converter decodes byte by byte too
        }
    }
    return BytesToString(Bytes, Encoding ? Encoding : IdTextEncoding(enc8Bit));
}

std::string TIdCustomHTTP::XmlBodyCharset(TStream& AStream) {
    const int64_t Saved = AStream.Position();
    int64_t Restore = Saved;
    std::string Result = "UTF-8";
    AStream.SetPosition(0);
    uint8_t Head[4] = {0, 0, 0, 0};
    const int64_t Got = AStream.Read(Head, 4);
    const uint32_t B = (uint32_t(Head[0]) << 24) | (uint32_t(Head[1]) << 16) | (uint32_t(Head[2]) << 8) | Head[3];
    struct TMark { const char* Charset; int Length; uint32_t Value, Mask; };
    static const TMark Marks[] = {{"UCS-4BE", 4, 0x0000FEFF, 0xFFFFFFFF}, {"", 4, 0x0000FFFE, 0xFFFFFFFF},
                                  {"UCS-4LE", 4, 0xFFFE0000, 0xFFFFFFFF}, {"", 4, 0xFEFF0000, 0xFFFFFFFF},
                                  {"UTF-16BE", 2, 0xFEFF0000, 0xFFFF0000}, {"UTF-16LE", 2, 0xFFFE0000, 0xFFFF0000},
                                  {"UTF-8", 3, 0xEFBBBF00, 0xFFFFFF00}};
    bool Marked = false;
    if (Got >= 3) {
        for (const TMark& M : Marks)
            if ((B & M.Mask) == M.Value) {
                Result = M.Charset;
                Restore = M.Length;
                Marked = true;
                break;
            }
    }
    if (!Marked && Got == 4) {
        struct TLayout { int Unit; uint32_t Start, Close, Mask; };
        static const TLayout Layouts[] = {
            {4, 0x0000003C, 0x0000003E, 0xFFFFFFFF}, {4, 0x00003C00, 0x00003E00, 0xFFFFFFFF},
            {4, 0x3C000000, 0x3E000000, 0xFFFFFFFF}, {4, 0x003C0000, 0x003E0000, 0xFFFFFFFF},
            {2, 0x003C003F, 0x003E0000, 0xFFFF0000}, {2, 0x3C003F00, 0x3E000000, 0xFFFF0000},
            {1, 0x3C3F786D, 0x3E000000, 0xFF000000}, {1, 0x4C6FA794, 0x6E000000, 0xFF000000}};
        for (int L = 0; L < 8; ++L) {
            if (B != Layouts[L].Start)
                continue;
            const TLayout& Layout = Layouts[L];
            // Units until the one that closes the declaration.
            AStream.SetPosition(0);
            TIdBytes Declaration;
            uint8_t Unit[4];
            while (Declaration.size() < 4096 && AStream.Read(Unit, Layout.Unit) == Layout.Unit) {
                Declaration.insert(Declaration.end(), Unit, Unit + Layout.Unit);
                uint32_t Value = 0;
                for (int I = 0; I < Layout.Unit; ++I)
                    Value |= uint32_t(Unit[I]) << (24 - 8 * I);
                if ((Value & Layout.Mask) == Layout.Close)
                    break;
            }
            std::string Text;
            if (L < 4) {
                static const int Byte[4] = {3, 2, 0, 1};
                for (size_t I = Byte[L]; I < Declaration.size(); I += 4)
                    Text += static_cast<char>(Declaration[I]);
            } else if (L == 4) {
                Text = IdTextEncoding(encUTF16BE)->GetString(Declaration);
            } else if (L == 5) {
                Text = IdTextEncoding(encUTF16LE)->GetString(Declaration);
            } else if (L == 6) {
                Text.assign(Declaration.begin(), Declaration.end());
            } else {
                for (uint8_t Byte : Declaration)
                    Text += EbcdicToAscii(Byte);
            }
            std::string Declared = DeclaredEncoding(Text);
            if (!Declared.empty())
                Result = Declared;
            break;
        }
    }
    AStream.SetPosition(Restore);
    return Result;
}

// --- reading ----------------------------------------------------------------------

bool TIdCustomHTTP::WaitForBodyData(int AMSec) {
    return !IOHandler()->InputBufferIsEmpty() || IOHandler()->CheckForDataOnSource(AMSec);
}

// A redirect's body is waited for at most five seconds, and never longer
// than a read may take.
int TIdCustomHTTP::RedirectBodyWait() const {
    constexpr int Wait = 5000;
    const int ReadTimeout = IOHandler() ? IOHandler()->ReadTimeout() : 0;
    return ReadTimeout > 0 ? std::min(Wait, ReadTimeout) : Wait;
}

bool TIdCustomHTTP::DecideBodyPresent(TIdHTTPResponse& AResponse) {
    bool Readable;
    if (IsChunked(AResponse))
        Readable = !FOptions.Contains(hoNoReadChunked);
    else if (AResponse.HasContentLength())
        Readable = AResponse.ContentLength() > 0;
    else if (IsHeaderMediaType(AResponse.ContentType(), "multipart"))
        Readable = !FOptions.Contains(hoNoReadMultipartMIME);
    else
        Readable = true;
    if (!Readable || !IOHandler())
        return false;
    const int Code = AResponse.ResponseCode();
    if (Request().MethodIs("HEAD") || Code / 100 == 1 || Code == 204 || Code == 304)
        return FOptions.Contains(hoWaitForUnexpectedData) && WaitForBodyData(100);
    if (Code / 100 == 3)
        return WaitForBodyData(RedirectBodyWait());
    return true;
}

void TIdCustomHTTP::ReadBody(TIdHTTPResponse& AResponse) { ReadBodyWithin(AResponse, FLimits.MaxBodySize, false); }

// The body flows from its framing through the decoder of its content coding
// into a sink that bounds it, keeps a prefix for charset inspection and
// writes the rest through to the caller's stream: nothing is held whole.
bool TIdCustomHTTP::ReadBodyWithin(TIdHTTPResponse& AResponse, int64_t ALimit, bool AStop) {
    if (!DecideBodyPresent(AResponse))
        return true;
    TStream* const Target = AResponse.ContentStream();
    enum { ppNone, ppMeta, ppXml } Post = ppNone;
    if (Target) {
        if (IsHtmlContentType() && !FOptions.Contains(hoNoParseMetaHTTPEquiv))
            Post = ppMeta;
        else if (IsXmlContentType() && !FOptions.Contains(hoNoParseXmlCharset))
            Post = ppXml;
    }
    TIdHTTPBodySink Sink(Target, ALimit, AStop, Post == ppNone ? 0 : FLimits.CharsetPrefix);
    const std::string Coding = LowerCase(AResponse.ContentEncoding());
    std::unique_ptr<TIdBodyDecoder> Decoder;
    if (Target && FCompressor && FCompressor->IsReady() && (Coding == "deflate" || Coding == "gzip"))
        Decoder = FCompressor->MakeBodyDecoder(Coding, Sink);
    try {
        ReadFramedBody(AResponse, Decoder ? static_cast<TStream&>(*Decoder) : Sink);
        if (Decoder)
            Decoder->Finish();
    } catch (const TIdHTTPBodySink::TBoundReached&) {
        Disconnect();
        return false;
    }
    if (Post == ppMeta) {
        AResponse.MetaHTTPEquiv().ProcessMetaHTTPEquiv(Sink.Kept());
        if (!AResponse.MetaHTTPEquiv().CharSet().empty())
            AResponse.SetCharSet(AResponse.MetaHTTPEquiv().CharSet());
    } else if (Post == ppXml) {
        AResponse.SetCharSet(XmlBodyCharset(Sink.Kept()));
    }
    return true;
}

void TIdCustomHTTP::ReadFramedBody(TIdHTTPResponse& AResponse, TStream& AStream) {
    if (IsChunked(AResponse))
        ReadChunkedBody(AResponse, AStream);
    else if (AResponse.HasContentLength() && AResponse.ContentLength() > 0)
        ReadCountedBody(AStream, AResponse.ContentLength());
    else if (IsHeaderMediaType(AResponse.ContentType(), "multipart"))
        ReadMultipartBody(AResponse, AStream);
    else
        IOHandler()->ReadStream(&AStream, -1, true);
}

// Moves ACount bytes from the connection to AStream, counting them in VDone;
// memory follows what arrives, never what was announced. The input buffer
// reports the bytes as read work.
void TIdCustomHTTP::MoveBodyBytes(TStream& AStream, int64_t ACount, int64_t& VDone) {
    TIdIOHandler& IO = *IOHandler();
    for (int64_t Left = ACount; Left > 0;) {
        if (IO.InputBufferIsEmpty())
            IO.FillInputBuffer(true, IdTimeoutDefault, true);
        const int Take = static_cast<int>(std::min<int64_t>(IO.InputBuffer()->Size(), Left));
        TakeBuffered(*IO.InputBuffer(), AStream, Take);
        Left -= Take;
        VDone += Take;
    }
}

// A Content-Length body that ends early is an error.
void TIdCustomHTTP::ReadCountedBody(TStream& AStream, int64_t ACount) {
    int64_t Done = 0;
    BeginWork(wmRead, ACount);
    try {
        MoveBodyBytes(AStream, ACount, Done);
    } catch (const EIdConnClosedGracefully&) {
        EndWork(wmRead);
        throw EIdHTTPResponseIncomplete(
            Format("The connection closed after %lld of %lld bytes of the response body", static_cast<long long>(Done),
                   static_cast<long long>(ACount)));
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
}

// Every line of the chunked framing must arrive whole and well formed: a
// time-out, a bad size or a missing line end raises, never ends the body.
void TIdCustomHTTP::ReadChunkedBody(TIdHTTPResponse& AResponse, TStream& AStream) {
    // Chunks pass through memory only for the event, a bounded piece at a time.
    constexpr int64_t EventPiece = 1 << 20;
    auto* Sink = dynamic_cast<TIdHTTPBodySink*>(&AStream);
    const bool ToEvent = FOnChunkReceived && !(Sink && Sink->Drops());
    ReportStatus(hsStatusText, "Chunk Started");
    BeginWork(wmRead);
    try {
        int64_t Done = 0;
        for (int64_t Size = ParseChunkSize(ReadProtocolLine()); Size > 0; Size = ParseChunkSize(ReadProtocolLine())) {
            for (int64_t Left = Size; Left > 0 && ToEvent;) {
                TMemoryStream Piece;
                MoveBodyBytes(Piece, std::min(Left, EventPiece), Done);
                Left -= Piece.Size();
                const auto* Bytes = static_cast<const uint8_t*>(Piece.Memory());
                TIdBytes Chunk(Bytes, Bytes + Piece.Size());
                FOnChunkReceived(this, Chunk);
                AStream.WriteBuffer(Chunk.data(), static_cast<int64_t>(Chunk.size()));
            }
            if (!ToEvent)
                MoveBodyBytes(AStream, Size, Done);
            if (!ReadProtocolLine().empty())
                throw EIdHTTPBadResponse("A chunk of the response body is not followed by CR LF");
        }
        ReadTrailers(AResponse);
    } catch (const EIdConnClosedGracefully&) {
        EndWork(wmRead);
        throw EIdHTTPResponseIncomplete("The connection closed before the end of the chunked response body");
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
}

void TIdCustomHTTP::ReadTrailers(TIdHTTPResponse& AResponse) {
    TIdHeaderList& Raw = AResponse.RawHeaders();
    int Trailers = 0;
    for (std::string Line = ReadProtocolLine(); !Line.empty(); Line = ReadProtocolLine()) {
        if (FLimits.MaxHeaderLines > 0 && ++Trailers > FLimits.MaxHeaderLines)
            throw EIdHTTPResponseTooLarge(Format("The response has more than %d trailer lines", FLimits.MaxHeaderLines));
        CheckResponseLine(Line);
        Raw.Add(std::move(Line));
    }
}

void TIdCustomHTTP::ReadMultipartBody(TIdHTTPResponse& AResponse, TStream& AStream) {
    TIdIOHandler& IO = *IOHandler();
    const std::string Terminator =
        "--" + ExtractHeaderSubItem(AResponse.RawHeaders().Values("Content-Type"), "boundary", QuoteHTTP) + "--";
    const TIdBytes Bytes = ToBytes(Terminator, IdTextEncoding(enc8Bit));
    const int Keep = static_cast<int>(Bytes.size()) - 1;
    auto Move = [&](int ACount) {
        if (ACount > 0)
            TakeBuffered(*IO.InputBuffer(), AStream, ACount);
    };
    BeginWork(wmRead);
    try {
        for (;;) {
            const int At = IO.InputBuffer()->IndexOf(Bytes);
            if (At >= 0) {
                Move(At + static_cast<int>(Bytes.size()));
                try {
                    ReadProtocolLine();  // the rest of the closing line
                } catch (const EIdConnClosedGracefully&) {
                }
                break;
            }
            Move(IO.InputBuffer()->Size() - Keep);
            try {
                IO.FillInputBuffer(true, IdTimeoutDefault, true);
                IO.CheckForDisconnect(true, true);
            } catch (const EIdConnClosedGracefully&) {
                Move(IO.InputBuffer()->Size());
                break;
            }
        }
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
}
