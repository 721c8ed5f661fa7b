#include "http/kbvIdCoderMIME.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/Exceptions.h"

namespace {
// Source bytes taken per step: whole base64 lines (57 bytes make 76 characters).
constexpr size_t ChunkSize = 57 * 1024;
constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int Base64LineLength = 76;
// Characters of a quoted-printable line before its soft break "=".
constexpr size_t QPLineLength = 75;

std::string Escaped(uint8_t AByte) {
    return {'=', HexDigits[AByte >> 4], HexDigits[AByte & 0x0F]};
}
}  // namespace

// TIdEncoder

std::string TIdEncoder::EncodeBytes(const TIdBytes& ABytes) {
    std::string Result;
    Reset();
    Update(ABytes.data(), ABytes.size(), Result);
    Finish(Result);
    return Result;
}

std::string TIdEncoder::EncodeString(std::string_view AText) {
    std::string Result;
    Reset();
    Update(reinterpret_cast<const uint8_t*>(AText.data()), AText.size(), Result);
    Finish(Result);
    return Result;
}

void TIdEncoder::Encode(TStream& ASource, TStream& ADest) {
    std::vector<uint8_t> Chunk(ChunkSize);
    std::string Out;
    Reset();
    while (int64_t Got = ASource.Read(Chunk.data(), static_cast<int64_t>(Chunk.size()))) {
        Update(Chunk.data(), static_cast<size_t>(Got), Out);
        ADest.WriteBuffer(Out.data(), static_cast<int64_t>(Out.size()));
        Out.clear();
    }
    Finish(Out);
    ADest.WriteBuffer(Out.data(), static_cast<int64_t>(Out.size()));
}

int64_t TIdEncoder::EncodedSize(TStream& ASource) {
    int64_t Start = ASource.Position();
    std::vector<uint8_t> Chunk(ChunkSize);
    std::string Out;
    int64_t Result = 0;
    Reset();
    while (int64_t Got = ASource.Read(Chunk.data(), static_cast<int64_t>(Chunk.size()))) {
        Update(Chunk.data(), static_cast<size_t>(Got), Out);
        Result += static_cast<int64_t>(Out.size());
        Out.clear();
    }
    Finish(Out);
    ASource.SetPosition(Start);
    return Result + static_cast<int64_t>(Out.size());
}

// TIdEncoderMIME

void TIdEncoderMIME::Reset() {
    FPendingCount = 0;
    FLineLength = 0;
}

void TIdEncoderMIME::EncodeGroup(const uint8_t* AGroup, size_t ALength, std::string& VOut) {
    if (FLineLength == Base64LineLength) {
        VOut += "\r\n";
        FLineLength = 0;
    }
    uint32_t Bits = uint32_t(AGroup[0]) << 16;
    if (ALength > 1)
        Bits |= uint32_t(AGroup[1]) << 8;
    if (ALength > 2)
        Bits |= AGroup[2];
    VOut += Base64Chars[(Bits >> 18) & 63];
    VOut += Base64Chars[(Bits >> 12) & 63];
    VOut += ALength > 1 ? Base64Chars[(Bits >> 6) & 63] : '=';
    VOut += ALength > 2 ? Base64Chars[Bits & 63] : '=';
    FLineLength += 4;
}

void TIdEncoderMIME::Update(const uint8_t* AData, size_t ALength, std::string& VOut) {
    VOut.reserve(VOut.size() + ALength / 3 * 4 + ALength / 57 * 2 + 8);
    while (ALength > 0 && (FPendingCount > 0 || ALength < 3)) {
        FPending[FPendingCount++] = *AData++;
        --ALength;
        if (FPendingCount == 3) {
            EncodeGroup(FPending, 3, VOut);
            FPendingCount = 0;
        }
    }
    for (; ALength >= 3; AData += 3, ALength -= 3)
        EncodeGroup(AData, 3, VOut);
    for (; ALength > 0; --ALength)
        FPending[FPendingCount++] = *AData++;
}

void TIdEncoderMIME::Finish(std::string& VOut) {
    if (FPendingCount > 0)
        EncodeGroup(FPending, FPendingCount, VOut);
    Reset();
}

// TIdEncoderQuotedPrintable

void TIdEncoderQuotedPrintable::Reset() {
    FLine.clear();
    FPendingCR = false;
    FPendingSpace = -1;
}

void TIdEncoderQuotedPrintable::Emit(std::string_view APiece, std::string& VOut) {
    if (FLine.size() + APiece.size() > QPLineLength) {
        VOut += FLine;
        VOut += "=\r\n";
        FLine.clear();
    }
    FLine += APiece;
}

void TIdEncoderQuotedPrintable::EndLine(std::string& VOut) {
    if (FPendingSpace >= 0)  // white space at the end of a line would be lost in transport
        Emit(Escaped(static_cast<uint8_t>(FPendingSpace)), VOut);
    FPendingSpace = -1;
    VOut += FLine;
    VOut += "\r\n";
    FLine.clear();
}

void TIdEncoderQuotedPrintable::FlushSpace(std::string& VOut) {
    if (FPendingSpace >= 0)
        Emit(std::string(1, static_cast<char>(FPendingSpace)), VOut);
    FPendingSpace = -1;
}

void TIdEncoderQuotedPrintable::AddByte(uint8_t AByte, std::string& VOut) {
    if (FPendingCR) {
        FPendingCR = false;
        if (AByte == '\n') {
            EndLine(VOut);
            return;
        }
        FlushSpace(VOut);
        Emit(Escaped('\r'), VOut);  // a lone CR is data, not a line break
    }
    if (AByte == '\r') {
        FPendingCR = true;
        return;
    }
    FlushSpace(VOut);
    if (AByte == ' ' || AByte == '\t')
        FPendingSpace = AByte;
    else if (AByte >= 33 && AByte <= 126 && AByte != '=')
        Emit(std::string_view(reinterpret_cast<const char*>(&AByte), 1), VOut);
    else
        Emit(Escaped(AByte), VOut);
}

void TIdEncoderQuotedPrintable::Update(const uint8_t* AData, size_t ALength, std::string& VOut) {
    for (size_t I = 0; I < ALength; ++I)
        AddByte(AData[I], VOut);
}

void TIdEncoderQuotedPrintable::Finish(std::string& VOut) {
    if (FPendingCR) {
        FPendingCR = false;
        FlushSpace(VOut);
        Emit(Escaped('\r'), VOut);
    }
    EndLine(VOut);
    Reset();
}

// TIdEncodedReadStream

TIdEncodedReadStream::TIdEncodedReadStream(TStream& ASource, std::unique_ptr<TIdEncoder> AEncoder)
    : FSource(ASource), FEncoder(std::move(AEncoder)) {
    FEncoder->Reset();
}

TIdEncodedReadStream::TIdEncodedReadStream(std::unique_ptr<TStream> ASource, std::unique_ptr<TIdEncoder> AEncoder)
    : FOwnedSource(std::move(ASource)), FSource(*FOwnedSource), FEncoder(std::move(AEncoder)) {
    FEncoder->Reset();
}

void TIdEncodedReadStream::Refill() {
    std::vector<uint8_t> Chunk(ChunkSize);
    FOutput.clear();
    FOutputPos = 0;
    int64_t Got = FSource.Read(Chunk.data(), static_cast<int64_t>(Chunk.size()));
    if (Got > 0) {
        FEncoder->Update(Chunk.data(), static_cast<size_t>(Got), FOutput);
    } else {
        FEncoder->Finish(FOutput);
        FFinished = true;
    }
}

int64_t TIdEncodedReadStream::Read(void* Buffer, int64_t Count) {
    auto* Dest = static_cast<char*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        if (FOutputPos == FOutput.size()) {
            if (FFinished)
                break;
            Refill();
            continue;
        }
        size_t Take = std::min(FOutput.size() - FOutputPos, static_cast<size_t>(Count - Done));
        std::memcpy(Dest + Done, FOutput.data() + FOutputPos, Take);
        FOutputPos += Take;
        Done += static_cast<int64_t>(Take);
    }
    FPosition += Done;
    return Done;
}

int64_t TIdEncodedReadStream::Write(const void*, int64_t) {
    throw EStreamError("Stream write error");
}

int64_t TIdEncodedReadStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (Offset != 0 || Origin != soCurrent)
        throw EStreamError("Stream seek error");
    return FPosition;
}
