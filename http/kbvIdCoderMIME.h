// MIME content encoders: base64 and quoted-printable. Both work
// incrementally, so a body of any size can be encoded a chunk at a time and
// measured by running the same encoder that produces it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/Streams.h"
#include "net/kbvIdGlobal.h"

// Bytes in, encoded text out. Any split of the input gives the same output.
class TIdEncoder : public TObject {
public:
    // Forgets the input seen so far.
    virtual void Reset() = 0;
    // Appends the encoding of the bytes to VOut; a tail may be held back
    // until more input or Finish comes.
    virtual void Update(const uint8_t* AData, size_t ALength, std::string& VOut) = 0;
    // Appends what was held back and the end of the encoding, then resets.
    virtual void Finish(std::string& VOut) = 0;

    std::string EncodeBytes(const TIdBytes& ABytes);
    std::string EncodeString(std::string_view AText);  // the text's bytes as they are
    // Encodes ASource from its position to its end into ADest.
    void Encode(TStream& ASource, TStream& ADest);
    // The length of the encoding of ASource from its position to its end,
    // produced and counted a chunk at a time; the position is restored.
    int64_t EncodedSize(TStream& ASource);
};

// Base64 in lines of 76 characters separated by CR LF; the last line has no
// line break of its own.
class TIdEncoderMIME : public TIdEncoder {
public:
    void Reset() override;
    void Update(const uint8_t* AData, size_t ALength, std::string& VOut) override;
    void Finish(std::string& VOut) override;

private:
    void EncodeGroup(const uint8_t* AGroup, size_t ALength, std::string& VOut);

    uint8_t FPending[3] = {};
    size_t FPendingCount = 0;
    int FLineLength = 0;
};

// Quoted-printable (RFC 2045) of binary data: CR LF pairs are the hard line
// breaks, lone CR and LF are escaped, lines are broken softly before 76
// characters, and white space before a line break is escaped. Every output
// line ends with CR LF, the last one included, so the encoding of "" is CR
// LF: the line break that a following MIME boundary needs in front of it.
class TIdEncoderQuotedPrintable : public TIdEncoder {
public:
    void Reset() override;
    void Update(const uint8_t* AData, size_t ALength, std::string& VOut) override;
    void Finish(std::string& VOut) override;

private:
    void AddByte(uint8_t AByte, std::string& VOut);
    void FlushSpace(std::string& VOut);  // writes a held space or tab as it is
    void Emit(std::string_view APiece, std::string& VOut);
    void EndLine(std::string& VOut);

    std::string FLine;          // the current output line
    bool FPendingCR = false;    // a CR that may start a hard line break
    int FPendingSpace = -1;     // a space or tab that is escaped if a line break follows
};

// A read-only, forward-only stream of the encoding of another stream, from
// that stream's position to its end, made as it is read. Owns the encoder
// and, when given so, the source. Seek only reports the position; anything
// else (and so Size) raises EStreamError.
class TIdEncodedReadStream : public TStream {
public:
    TIdEncodedReadStream(TStream& ASource, std::unique_ptr<TIdEncoder> AEncoder);
    TIdEncodedReadStream(std::unique_ptr<TStream> ASource, std::unique_ptr<TIdEncoder> AEncoder);

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;  // raises EStreamError
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;

private:
    void Refill();

    std::unique_ptr<TStream> FOwnedSource;
    TStream& FSource;
    std::unique_ptr<TIdEncoder> FEncoder;
    std::string FOutput;         // encoded, not yet read
    size_t FOutputPos = 0;
    bool FFinished = false;
    int64_t FPosition = 0;
};
