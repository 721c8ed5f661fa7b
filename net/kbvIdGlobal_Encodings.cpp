// The global unit's text encodings: UTF-8 and UTF-16 conversion, the
// encoding classes, their shared instances, and text to and from bytes.
#include "net/kbvIdGlobal.h"

#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "core/Format.h"
#include "net/kbvIdCharsets.h"

namespace {
constexpr char16_t ReplacementChar = 0xFFFD;

bool IsHighSurrogate(char32_t C) { return C >= 0xD800 && C <= 0xDBFF; }
bool IsLowSurrogate(char32_t C) { return C >= 0xDC00 && C <= 0xDFFF; }

template <typename TOut>
void AppendUTF8(TOut& VOut, char32_t C) {
    using T = typename TOut::value_type;
    if (C < 0x80) {
        VOut.push_back(static_cast<T>(C));
    } else if (C < 0x800) {
        VOut.push_back(static_cast<T>(0xC0 | (C >> 6)));
        VOut.push_back(static_cast<T>(0x80 | (C & 0x3F)));
    } else if (C < 0x10000) {
        VOut.push_back(static_cast<T>(0xE0 | (C >> 12)));
        VOut.push_back(static_cast<T>(0x80 | ((C >> 6) & 0x3F)));
        VOut.push_back(static_cast<T>(0x80 | (C & 0x3F)));
    } else {
        VOut.push_back(static_cast<T>(0xF0 | (C >> 18)));
        VOut.push_back(static_cast<T>(0x80 | ((C >> 12) & 0x3F)));
        VOut.push_back(static_cast<T>(0x80 | ((C >> 6) & 0x3F)));
        VOut.push_back(static_cast<T>(0x80 | (C & 0x3F)));
    }
}

void AppendUTF16(TIdWideChars& VOut, char32_t C) {
    if (C < 0x10000) {
        VOut.push_back(static_cast<char16_t>(C));
    } else {
        C -= 0x10000;
        VOut.push_back(static_cast<char16_t>(0xD800 + (C >> 10)));
        VOut.push_back(static_cast<char16_t>(0xDC00 + (C & 0x3FF)));
    }
}

// Calls AEmit with each code point of UTF-8 bytes; each maximal ill-formed
// subsequence gives one U+FFFD.
template <typename TEmit>
void DecodeUTF8(const uint8_t* P, size_t ALength, TEmit&& AEmit) {
    const uint8_t* End = P + ALength;
    while (P < End) {
        uint8_t B = *P++;
        if (B < 0x80) {
            AEmit(B);
            continue;
        }
        int Trail;
        char32_t C;
        uint8_t Lo = 0x80, Hi = 0xBF;  // range of the first trail byte
        if (B >= 0xC2 && B <= 0xDF) {
            Trail = 1, C = B & 0x1F;
        } else if (B >= 0xE0 && B <= 0xEF) {
            Trail = 2, C = B & 0x0F;
            if (B == 0xE0) Lo = 0xA0;
            if (B == 0xED) Hi = 0x9F;  // no surrogates
        } else if (B >= 0xF0 && B <= 0xF4) {
            Trail = 3, C = B & 0x07;
            if (B == 0xF0) Lo = 0x90;
            if (B == 0xF4) Hi = 0x8F;  // nothing above U+10FFFF
        } else {
            AEmit(ReplacementChar);
            continue;
        }
        bool Ok = true;
        for (int I = 0; I < Trail; ++I) {
            if (P == End || *P < Lo || *P > Hi) {
                Ok = false;
                break;
            }
            C = (C << 6) | (*P++ & 0x3F);
            Lo = 0x80, Hi = 0xBF;
        }
        AEmit(Ok ? C : char32_t(ReplacementChar));
    }
}

// Calls AEmit with each code point of UTF-16 units; unpaired surrogates give U+FFFD.
template <typename TEmit>
void DecodeUTF16(std::u16string_view AChars, TEmit&& AEmit) {
    for (size_t I = 0; I < AChars.size(); ++I) {
        char32_t C = AChars[I];
        if (IsHighSurrogate(C) && I + 1 < AChars.size() && IsLowSurrogate(AChars[I + 1]))
            AEmit(0x10000 + ((C - 0xD800) << 10) + (AChars[++I] - 0xDC00));
        else
            AEmit(IsHighSurrogate(C) || IsLowSurrogate(C) ? char32_t(ReplacementChar) : C);
    }
}

// ---------------------------------------------------------------------------
// Argument checks

[[noreturn]] void RaiseInvalidSourceArray() { throw EIdException("Invalid source array"); }
[[noreturn]] void RaiseInvalidDestArray() { throw EIdException("Invalid destination array"); }

// A source slice of ACount items from the 0-based AIndex of ALength items;
// AIndexBase is added to the index reported in the message.
// Lengths are compared in 64 bits: an array may hold more than an int counts.
void CheckSourceSlice(size_t ALength, int AIndex, int ACount, int AIndexBase = 0) {
    const int64_t Length = static_cast<int64_t>(ALength);
    if (ACount > 0 && Length == 0)
        RaiseInvalidSourceArray();
    if (AIndex < 0 || AIndex > Length)
        throw EIdException(Format("Character index out of bounds (%d)", AIndex + AIndexBase));
    if (ACount < 0 || ACount > Length - AIndex)
        throw EIdException(Format("Invalid count (%d)", ACount));
}

// Room for ANeeded items from AIndex in a destination of ASize items.
void CheckDestination(size_t ASize, int AIndex, int ANeeded) {
    const int64_t Size = static_cast<int64_t>(ASize);
    if (Size == 0)
        RaiseInvalidDestArray();
    if (AIndex < 0 || AIndex >= Size)
        throw EIdException(Format("Invalid destination index (%d)", AIndex));
    if (Size - AIndex < ANeeded)
        RaiseInvalidDestArray();
}

std::span<const uint8_t> ByteSlice(const TIdBytes& ABytes, int AIndex, int ACount) {
    CheckSourceSlice(ABytes.size(), AIndex, ACount);
    return {ABytes.data() + AIndex, static_cast<size_t>(ACount)};
}

std::u16string_view CharSlice(std::u16string_view AChars, int AIndex, int ACount, int AIndexBase = 0) {
    CheckSourceSlice(AChars.size(), AIndex, ACount, AIndexBase);
    return AChars.substr(static_cast<size_t>(AIndex), static_cast<size_t>(ACount));
}

// ---------------------------------------------------------------------------
// iconv

class TIconv {
public:
    TIconv(const char* ATo, const char* AFrom) : FHandle(iconv_open(ATo, AFrom)) {}
    ~TIconv() {
        if (Valid())
            iconv_close(FHandle);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }

    // Converts as much of [VIn, VIn + VInLeft) as it can and appends the
    // output; a null VIn flushes the shift state. Returns 0 or the errno that
    // stopped it (EILSEQ, EINVAL).
    template <typename TOut>
    int Convert(const char*& VIn, size_t& VInLeft, TOut& VOut) {
        char Chunk[1024];
        for (;;) {
            char* Out = Chunk;
            size_t OutLeft = sizeof(Chunk);
            size_t R = iconv(FHandle, VIn ? const_cast<char**>(&VIn) : nullptr, VIn ? &VInLeft : nullptr, &Out,
                             &OutLeft);
            int Error = R == static_cast<size_t>(-1) ? errno : 0;
            VOut.insert(VOut.end(), Chunk, Out);
            if (Error != E2BIG)
                return Error;
        }
    }

private:
    iconv_t FHandle;
};

std::string ToUTF16LE(std::u16string_view AChars) {
    std::string Result;
    Result.reserve(AChars.size() * 2);
    for (char16_t C : AChars) {
        Result.push_back(static_cast<char>(C & 0xFF));
        Result.push_back(static_cast<char>(C >> 8));
    }
    return Result;
}

// ---------------------------------------------------------------------------
// Shared instances

std::atomic<int> GDefaultTextEncodingType{encDefault};
std::atomic<std::shared_ptr<IIdTextEncoding>> GEncodings[encUTF8 + 1];

IIdTextEncodingPtr NewEncoding(TIdTextEncodingType AType) {
    switch (AType) {
        case encOSDefault: return std::make_shared<TIdMBCSEncoding>();
        case enc8Bit: return std::make_shared<TId8BitEncoding>();
        case encUTF16BE: return std::make_shared<TIdUTF16BigEndianEncoding>();
        case encUTF16LE: return std::make_shared<TIdUTF16LittleEndianEncoding>();
        case encUTF7: return std::make_shared<TIdUTF7Encoding>();
        case encUTF8: return std::make_shared<TIdUTF8Encoding>();
        default: return std::make_shared<TIdASCIIEncoding>();
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// UTF-8 <-> UTF-16

TIdWideChars UTF8ToUTF16(std::string_view AText) {
    TIdWideChars Result;
    Result.reserve(AText.size());
    DecodeUTF8(reinterpret_cast<const uint8_t*>(AText.data()), AText.size(),
               [&](char32_t C) { AppendUTF16(Result, C); });
    return Result;
}

std::string UTF16ToUTF8(std::u16string_view AChars) {
    std::string Result;
    Result.reserve(AChars.size());
    DecodeUTF16(AChars, [&](char32_t C) { AppendUTF8(Result, C); });
    return Result;
}

// ---------------------------------------------------------------------------
// TIdTextEncodingBase

int TIdTextEncodingBase::ByteCountOf(std::u16string_view AChars) const {
    TIdBytes Bytes;
    Encode(AChars, Bytes);
    return static_cast<int>(Bytes.size());
}

int TIdTextEncodingBase::CharCountOf(std::span<const uint8_t> ABytes) const {
    TIdWideChars Chars;
    Decode(ABytes, Chars);
    return static_cast<int>(Chars.size());
}

namespace {
template <typename Bytes>
bool IsPureASCII(const Bytes& AText) {
    return std::all_of(AText.begin(), AText.end(), [](auto C) { return static_cast<uint8_t>(C) < 0x80; });
}
}  // namespace

void TIdTextEncodingBase::EncodeText(std::string_view AText, TIdBytes& VBytes) const {
    if (FKeepsASCII && IsPureASCII(AText)) {
        VBytes.insert(VBytes.end(), AText.begin(), AText.end());
        return;
    }
    Encode(UTF8ToUTF16(AText), VBytes);
}

std::string TIdTextEncodingBase::DecodeToText(std::span<const uint8_t> ABytes) const {
    if (FKeepsASCII && IsPureASCII(ABytes))
        return std::string(ABytes.begin(), ABytes.end());
    TIdWideChars Chars;
    Decode(ABytes, Chars);
    return UTF16ToUTF8(Chars);
}

int TIdTextEncodingBase::GetByteCount(std::string_view AText) const {
    TIdBytes Bytes;
    EncodeText(AText, Bytes);
    return static_cast<int>(Bytes.size());
}

int TIdTextEncodingBase::GetByteCount(std::string_view AText, int ACharIndex, int ACharCount) const {
    return ByteCountOf(CharSlice(UTF8ToUTF16(AText), ACharIndex - 1, ACharCount, 1));
}

int TIdTextEncodingBase::GetByteCount(const TIdWideChars& AChars) const { return ByteCountOf(AChars); }

int TIdTextEncodingBase::GetByteCount(const TIdWideChars& AChars, int ACharIndex, int ACharCount) const {
    return ByteCountOf(CharSlice(AChars, ACharIndex, ACharCount));
}

TIdBytes TIdTextEncodingBase::GetBytes(std::string_view AText) const {
    TIdBytes Result;
    EncodeText(AText, Result);
    return Result;
}

TIdBytes TIdTextEncodingBase::GetBytes(const TIdWideChars& AChars) const {
    TIdBytes Result;
    Encode(AChars, Result);
    return Result;
}

TIdBytes TIdTextEncodingBase::GetBytes(const TIdWideChars& AChars, int ACharIndex, int ACharCount) const {
    TIdBytes Result;
    Encode(CharSlice(AChars, ACharIndex, ACharCount), Result);
    return Result;
}

int TIdTextEncodingBase::GetBytes(std::string_view AText, int ACharIndex, int ACharCount, TIdBytes& VBytes,
                                  int AByteIndex) const {
    TIdWideChars Chars = UTF8ToUTF16(AText);
    CharSlice(Chars, ACharIndex - 1, ACharCount, 1);
    return GetBytes(Chars, ACharIndex - 1, ACharCount, VBytes, AByteIndex);
}

int TIdTextEncodingBase::GetBytes(const TIdWideChars& AChars, int ACharIndex, int ACharCount, TIdBytes& VBytes,
                                  int AByteIndex) const {
    std::u16string_view Slice = CharSlice(AChars, ACharIndex, ACharCount);
    TIdBytes Bytes;
    Encode(Slice, Bytes);
    if (Bytes.empty())
        return 0;
    CheckDestination(VBytes.size(), AByteIndex, static_cast<int>(Bytes.size()));
    std::copy(Bytes.begin(), Bytes.end(), VBytes.begin() + AByteIndex);
    return static_cast<int>(Bytes.size());
}

int TIdTextEncodingBase::GetCharCount(const TIdBytes& ABytes) const { return CharCountOf(ABytes); }

int TIdTextEncodingBase::GetCharCount(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const {
    return CharCountOf(ByteSlice(ABytes, AByteIndex, AByteCount));
}

TIdWideChars TIdTextEncodingBase::GetChars(const TIdBytes& ABytes) const {
    TIdWideChars Result;
    Decode(ABytes, Result);
    return Result;
}

TIdWideChars TIdTextEncodingBase::GetChars(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const {
    TIdWideChars Result;
    Decode(ByteSlice(ABytes, AByteIndex, AByteCount), Result);
    return Result;
}

int TIdTextEncodingBase::GetChars(const TIdBytes& ABytes, int AByteIndex, int AByteCount, TIdWideChars& VChars,
                                  int ACharIndex) const {
    TIdWideChars Chars = GetChars(ABytes, AByteIndex, AByteCount);
    if (Chars.empty())
        return 0;
    CheckDestination(VChars.size(), ACharIndex, static_cast<int>(Chars.size()));
    std::copy(Chars.begin(), Chars.end(), VChars.begin() + ACharIndex);
    return static_cast<int>(Chars.size());
}

std::string TIdTextEncodingBase::GetString(const TIdBytes& ABytes) const { return DecodeToText(ABytes); }

std::string TIdTextEncodingBase::GetString(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const {
    return DecodeToText(ByteSlice(ABytes, AByteIndex, AByteCount));
}

// ---------------------------------------------------------------------------
// Single-byte and UTF-16 encodings

TIdASCIIEncoding::TIdASCIIEncoding() {
    FIsSingleByte = true;
    FKeepsASCII = true;
}

void TIdASCIIEncoding::Encode(std::u16string_view AChars, TIdBytes& VBytes) const {
    for (char16_t C : AChars)
        VBytes.push_back(C < 0x80 ? static_cast<uint8_t>(C) : '?');
}

void TIdASCIIEncoding::Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const {
    for (uint8_t B : ABytes)
        VChars.push_back(B < 0x80 ? B : ReplacementChar);
}

TId8BitEncoding::TId8BitEncoding() {
    FIsSingleByte = true;
    FKeepsASCII = true;
}

void TId8BitEncoding::Encode(std::u16string_view AChars, TIdBytes& VBytes) const {
    for (char16_t C : AChars)
        VBytes.push_back(C < 0x100 ? static_cast<uint8_t>(C) : '?');
}

void TId8BitEncoding::Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const {
    VChars.append(ABytes.begin(), ABytes.end());
}

TIdUTF16LittleEndianEncoding::TIdUTF16LittleEndianEncoding() { FMaxCharSize = 4; }

void TIdUTF16LittleEndianEncoding::Encode(std::u16string_view AChars, TIdBytes& VBytes) const {
    for (char16_t C : AChars) {
        uint8_t Lo = static_cast<uint8_t>(C & 0xFF), Hi = static_cast<uint8_t>(C >> 8);
        VBytes.push_back(FBigEndian ? Hi : Lo);
        VBytes.push_back(FBigEndian ? Lo : Hi);
    }
}

void TIdUTF16LittleEndianEncoding::Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const {
    for (size_t I = 0; I + 1 < ABytes.size(); I += 2) {
        uint8_t First = ABytes[I], Second = ABytes[I + 1];
        VChars.push_back(static_cast<char16_t>(FBigEndian ? (First << 8) | Second : (Second << 8) | First));
    }
}

// ---------------------------------------------------------------------------
// TIdMBCSEncoding

TIdMBCSEncoding::TIdMBCSEncoding(int ACodePage, unsigned AMBToWCharFlags, unsigned AWCharToMBFlags)
    : FMBToWCharFlags(AMBToWCharFlags), FWCharToMBFlags(AWCharToMBFlags) {
    std::vector<int> Candidates{ACodePage};
    if (ACodePage == 20127)
        Candidates.insert(Candidates.end(), {1252, 437});
    for (int Candidate : Candidates) {
        const TIdCodePageInfo* Info = CodePageInfo(Candidate);
        if (!Info)
            continue;
        bool Direct = Info->CodePage == 65001;
        if (!Direct && !TIconv(Info->IconvName, "UTF-16LE").Valid())
            continue;
        FCodePage = Info->CodePage;
        FIconvName = Direct ? nullptr : Info->IconvName;
        FMaxCharSize = Info->MaxCharSize;
        FIsSingleByte = FMaxCharSize == 1;
        return;
    }
    throw EIdException(Format("Invalid codepage (%d)", ACodePage));
}

TIdBytes TIdMBCSEncoding::GetPreamble() const {
    switch (FCodePage) {
        case 1200: return {0xFF, 0xFE};
        case 1201: return {0xFE, 0xFF};
        case 12000: return {0xFF, 0xFE, 0x00, 0x00};
        case 12001: return {0x00, 0x00, 0xFE, 0xFF};
        case 65001: return {0xEF, 0xBB, 0xBF};
        default: return {};
    }
}

void TIdMBCSEncoding::Encode(std::u16string_view AChars, TIdBytes& VBytes) const {
    if (!FIconvName) {
        DecodeUTF16(AChars, [&](char32_t C) { AppendUTF8(VBytes, C); });
        return;
    }
    TIconv Converter(FIconvName, "UTF-16LE");
    std::string Input = ToUTF16LE(AChars);
    const char* In = Input.data();
    size_t InLeft = Input.size();
    // What the code page cannot take (or an unpaired surrogate) becomes its
    // own '?', converted in the current shift state.
    while (Converter.Convert(In, InLeft, VBytes) != 0 && InLeft > 0) {
        size_t Pos = static_cast<size_t>(In - Input.data()) / 2;
        bool Pair = IsHighSurrogate(AChars[Pos]) && Pos + 1 < AChars.size() && IsLowSurrogate(AChars[Pos + 1]);
        size_t Skip = std::min<size_t>(Pair ? 4 : 2, InLeft);
        In += Skip, InLeft -= Skip;
        const char* Question = "?\0";
        size_t QuestionLeft = 2;
        Converter.Convert(Question, QuestionLeft, VBytes);
    }
    const char* Flush = nullptr;
    size_t FlushLeft = 0;
    Converter.Convert(Flush, FlushLeft, VBytes);
}

void TIdMBCSEncoding::Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const {
    if (!FIconvName) {
        DecodeUTF8(ABytes.data(), ABytes.size(), [&](char32_t C) { AppendUTF16(VChars, C); });
        return;
    }
    TIconv Converter("UTF-16LE", FIconvName);
    std::string Output;
    const char* In = reinterpret_cast<const char*>(ABytes.data());
    size_t InLeft = ABytes.size();
    // A byte that starts no valid sequence becomes U+FFFD.
    while (Converter.Convert(In, InLeft, Output) != 0 && InLeft > 0) {
        ++In, --InLeft;
        Output.append("\xFD\xFF", 2);
    }
    VChars.reserve(VChars.size() + Output.size() / 2);
    for (size_t I = 0; I + 1 < Output.size(); I += 2)
        VChars.push_back(static_cast<char16_t>(static_cast<uint8_t>(Output[I]) | static_cast<uint8_t>(Output[I + 1]) << 8));
}

void TIdMBCSEncoding::EncodeText(std::string_view AText, TIdBytes& VBytes) const {
    if (FIconvName) {
        TIdTextEncodingBase::EncodeText(AText, VBytes);
        return;
    }
    VBytes.reserve(VBytes.size() + AText.size());
    DecodeUTF8(reinterpret_cast<const uint8_t*>(AText.data()), AText.size(), [&](char32_t C) { AppendUTF8(VBytes, C); });
}

std::string TIdMBCSEncoding::DecodeToText(std::span<const uint8_t> ABytes) const {
    if (FIconvName)
        return TIdTextEncodingBase::DecodeToText(ABytes);
    std::string Result;
    Result.reserve(ABytes.size());
    DecodeUTF8(ABytes.data(), ABytes.size(), [&](char32_t C) { AppendUTF8(Result, C); });
    return Result;
}

// ---------------------------------------------------------------------------
// Shared instances

IIdTextEncodingPtr IdTextEncoding(TIdTextEncodingType AType) {
    if (AType == encDefault)
        AType = DefaultTextEncodingType();
    if (AType <= encDefault || AType > encUTF8)
        AType = encASCII;
    std::atomic<std::shared_ptr<IIdTextEncoding>>& Slot = GEncodings[AType];
    IIdTextEncodingPtr Current = Slot.load();
    if (Current)
        return Current;
    IIdTextEncodingPtr Created = NewEncoding(AType);
    // A thread that lost the race drops its own object and takes the winner's.
    if (Slot.compare_exchange_strong(Current, Created))
        return Created;
    return Current;
}

IIdTextEncodingPtr IdTextEncodingForCodePage(int ACodePage) {
    switch (ACodePage) {
        case 1200: return IdTextEncoding(encUTF16LE);
        case 1201: return IdTextEncoding(encUTF16BE);
        case 20127: return IdTextEncoding(encASCII);
        case 65000: return IdTextEncoding(encUTF7);
        case 65001: return IdTextEncoding(encUTF8);
        default: return std::make_shared<TIdMBCSEncoding>(ACodePage);
    }
}

void EnsureEncoding(IIdTextEncodingPtr& AEncoding, TIdTextEncodingType AType) {
    if (!AEncoding)
        AEncoding = IdTextEncoding(AType);
}

TIdTextEncodingType DefaultTextEncodingType() { return static_cast<TIdTextEncodingType>(GDefaultTextEncodingType.load()); }

void SetDefaultTextEncodingType(TIdTextEncodingType AType) { GDefaultTextEncodingType = AType; }

// ---------------------------------------------------------------------------
// Text <-> bytes

TIdBytes ToBytes(std::string_view AText, const IIdTextEncodingPtr& AEncoding) {
    if (AText.empty())
        return {};
    return (AEncoding ? AEncoding : IdTextEncoding())->GetBytes(AText);
}

TIdBytes ToBytes(std::string_view AText, int ALength, int AIndex, const IIdTextEncodingPtr& AEncoding) {
    if (AIndex < 1)
        throw EIdException(Format("Character index out of bounds (%d)", AIndex));
    if (ALength < 0 && AIndex == 1)
        return ToBytes(AText, AEncoding);
    TIdWideChars Chars = UTF8ToUTF16(AText);
    int Left = IdMax(static_cast<int>(Chars.size()) - (AIndex - 1), 0);
    int Count = ALength < 0 ? Left : IdMin(ALength, Left);
    if (Count == 0)
        return {};
    return (AEncoding ? AEncoding : IdTextEncoding())->GetBytes(Chars, AIndex - 1, Count);
}

std::string BytesToString(const TIdBytes& ABytes, int AStartIndex, int ALength, const IIdTextEncodingPtr& AEncoding) {
    if (AStartIndex < 0)
        throw EIdException(Format("Character index out of bounds (%d)", AStartIndex));
    const int64_t Count = IdLength64(ABytes, ALength, AStartIndex);
    if (Count == 0)
        return {};
    const IIdTextEncodingPtr Encoding = AEncoding ? AEncoding : IdTextEncoding();
    // A body of 2 GiB and more is decoded whole, past the int count of a slice.
    if (Count == static_cast<int64_t>(ABytes.size()))
        return Encoding->GetString(ABytes);
    if (Count > INT_MAX)
        return Encoding->GetString(TIdBytes(ABytes.begin() + AStartIndex, ABytes.begin() + AStartIndex + Count));
    return Encoding->GetString(ABytes, AStartIndex, static_cast<int>(Count));
}

std::string BytesToString(const TIdBytes& ABytes, const IIdTextEncodingPtr& AEncoding) {
    return BytesToString(ABytes, 0, -1, AEncoding);
}

