#include "net/kbvIdGlobal.h"

#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "core/Format.h"
#include "core/Streams.h"
#include "core/Ticks.h"
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
void CheckSourceSlice(size_t ALength, int AIndex, int ACount, int AIndexBase = 0) {
    int Length = static_cast<int>(ALength);
    if (ACount > 0 && Length == 0)
        RaiseInvalidSourceArray();
    if (AIndex < 0 || AIndex > Length)
        throw EIdException(Format("Character index out of bounds (%d)", AIndex + AIndexBase));
    if (ACount < 0 || ACount > Length - AIndex)
        throw EIdException(Format("Invalid count (%d)", ACount));
}

// Room for ANeeded items from AIndex in a destination of ASize items.
void CheckDestination(size_t ASize, int AIndex, int ANeeded) {
    int Size = static_cast<int>(ASize);
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

const std::thread::id GMainThreadId = std::this_thread::get_id();

int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// Parses colon-separated groups; AAllowIPv4 lets the last one be a dotted quad.
bool ParseIPv6Groups(std::string_view AText, bool AAllowIPv4, std::vector<uint16_t>& VWords) {
    if (AText.empty())
        return true;
    size_t Start = 0;
    for (;;) {
        size_t Colon = AText.find(':', Start);
        std::string_view Group = AText.substr(Start, Colon == std::string_view::npos ? std::string_view::npos : Colon - Start);
        if (Colon == std::string_view::npos && AAllowIPv4 && Group.find('.') != std::string_view::npos) {
            uint32_t Address = 0;
            int Parts = 0;
            size_t P = 0;
            while (P <= Group.size()) {
                size_t Dot = std::min(Group.find('.', P), Group.size());
                std::string_view Part = Group.substr(P, Dot - P);
                if (Part.empty() || Part.size() > 3 || !IsNumeric(Part) || (Part.size() > 1 && Part[0] == '0'))
                    return false;
                int Value = std::stoi(std::string(Part));
                if (Value > 255)
                    return false;
                Address = (Address << 8) | static_cast<uint32_t>(Value);
                ++Parts;
                P = Dot + 1;
            }
            if (Parts != 4)
                return false;
            VWords.push_back(static_cast<uint16_t>(Address >> 16));
            VWords.push_back(static_cast<uint16_t>(Address & 0xFFFF));
            return true;
        }
        if (Group.empty() || Group.size() > 4)
            return false;
        unsigned Value = 0;
        for (char C : Group) {
            int H = HexValue(C);
            if (H < 0)
                return false;
            Value = (Value << 4) | static_cast<unsigned>(H);
        }
        VWords.push_back(static_cast<uint16_t>(Value));
        if (Colon == std::string_view::npos)
            return true;
        Start = Colon + 1;
    }
}

void CheckRange(size_t ASize, int AIndex, int ACount) {
    if (AIndex < 0 || ACount < 0 || static_cast<size_t>(AIndex) + static_cast<size_t>(ACount) > ASize)
        throw EIdException("Index out of bounds.");
}

template <typename T>
TIdBytes ValueToBytes(const T& AValue) {
    TIdBytes Result(sizeof(T));
    std::memcpy(Result.data(), &AValue, sizeof(T));
    return Result;
}

template <typename T>
T BytesToValue(const TIdBytes& ABytes, int AIndex) {
    CheckRange(ABytes.size(), AIndex, sizeof(T));
    T Result;
    std::memcpy(&Result, ABytes.data() + AIndex, sizeof(T));
    return Result;
}

char LowerASCII(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + ('a' - 'A')) : C; }
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
    int Count = IdLength(ABytes, ALength, AStartIndex);
    if (Count == 0)
        return {};
    return (AEncoding ? AEncoding : IdTextEncoding())->GetString(ABytes, AStartIndex, Count);
}

std::string BytesToString(const TIdBytes& ABytes, const IIdTextEncodingPtr& AEncoding) {
    return BytesToString(ABytes, 0, -1, AEncoding);
}

// ---------------------------------------------------------------------------
// Byte arrays

TIdBytes ToBytes(uint16_t AValue) { return ValueToBytes(AValue); }
TIdBytes ToBytes(uint32_t AValue) { return ValueToBytes(AValue); }
TIdBytes ToBytes(uint64_t AValue) { return ValueToBytes(AValue); }
TIdBytes ToBytes(const TIdIPv6Address& AValue) { return ValueToBytes(AValue); }

uint16_t BytesToUInt16(const TIdBytes& ABytes, int AIndex) { return BytesToValue<uint16_t>(ABytes, AIndex); }
uint32_t BytesToUInt32(const TIdBytes& ABytes, int AIndex) { return BytesToValue<uint32_t>(ABytes, AIndex); }
uint64_t BytesToUInt64(const TIdBytes& ABytes, int AIndex) { return BytesToValue<uint64_t>(ABytes, AIndex); }
TIdIPv6Address BytesToIPv6(const TIdBytes& ABytes, int AIndex) { return BytesToValue<TIdIPv6Address>(ABytes, AIndex); }

void CopyTIdBytes(const TIdBytes& ASource, int ASourceIndex, TIdBytes& VDest, int ADestIndex, int ACount) {
    CheckRange(ASource.size(), ASourceIndex, ACount);
    CheckRange(VDest.size(), ADestIndex, ACount);
    if (ACount > 0)
        std::memmove(VDest.data() + ADestIndex, ASource.data() + ASourceIndex, static_cast<size_t>(ACount));
}

void AppendBytes(TIdBytes& VBytes, const TIdBytes& ASource, int AIndex, int ALength) {
    int Count = IdLength(ASource, ALength, AIndex);
    if (Count > 0)
        VBytes.insert(VBytes.end(), ASource.begin() + AIndex, ASource.begin() + AIndex + Count);
}

void AppendByte(TIdBytes& VBytes, uint8_t AByte) { VBytes.push_back(AByte); }

void RemoveBytes(TIdBytes& VBytes, int ACount, int AIndex) {
    int Count = IdLength(VBytes, ACount, AIndex);
    if (Count > 0)
        VBytes.erase(VBytes.begin() + AIndex, VBytes.begin() + AIndex + Count);
}

int IdLength(const TIdBytes& ABytes, int ALength, int AIndex) {
    int Available = IdMax(static_cast<int>(ABytes.size()) - IdMax(AIndex, 0), 0);
    return ALength < 0 ? Available : IdMin(ALength, Available);
}

// ---------------------------------------------------------------------------
// Small routines

uint32_t GetElapsedTicks(uint64_t AStartTicks) {
    return static_cast<uint32_t>(GetTickDiff64(AStartTicks, GetTickCount64()));
}

bool TextIsSame(std::string_view A, std::string_view B) {
    return A.size() == B.size() &&
           std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) { return LowerASCII(X) == LowerASCII(Y); });
}

bool TextStartsWith(std::string_view AText, std::string_view AStart) {
    return AText.size() >= AStart.size() && TextIsSame(AText.substr(0, AStart.size()), AStart);
}

bool TextEndsWith(std::string_view AText, std::string_view AEnd) {
    return AText.size() >= AEnd.size() && TextIsSame(AText.substr(AText.size() - AEnd.size()), AEnd);
}

bool CharIsInSet(std::string_view AText, int ACharPos, std::string_view ASet) {
    if (ACharPos < 1 || ACharPos > static_cast<int>(AText.size()))
        return false;
    return ASet.find(AText[static_cast<size_t>(ACharPos - 1)]) != std::string_view::npos;
}

int PosInStrArray(std::string_view ASearch, std::initializer_list<std::string_view> AList, bool ACaseSensitive) {
    int Index = 0;
    for (std::string_view Item : AList) {
        if (ACaseSensitive ? Item == ASearch : TextIsSame(Item, ASearch))
            return Index;
        ++Index;
    }
    return -1;
}

int PosInStrArray(std::string_view ASearch, const std::vector<std::string>& AList, bool ACaseSensitive) {
    for (size_t I = 0; I < AList.size(); ++I)
        if (ACaseSensitive ? AList[I] == ASearch : TextIsSame(AList[I], ASearch))
            return static_cast<int>(I);
    return -1;
}

int PosInSmallIntArray(int16_t ASearch, std::initializer_list<int16_t> AList) {
    auto It = std::find(AList.begin(), AList.end(), ASearch);
    return It == AList.end() ? -1 : static_cast<int>(It - AList.begin());
}

bool IsNumeric(std::string_view AText) {
    return !AText.empty() && std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; });
}

bool CheckWindowsVersion(int, int) { return true; }

bool InMainThread() { return std::this_thread::get_id() == GMainThreadId; }

std::string IPv6AddressToStr(const TIdIPv6Address& AValue) {
    // The longest run of two or more zero words (the first of equals) becomes "::".
    int BestStart = -1, BestLength = 1;
    for (int I = 0; I < 8;) {
        int J = I;
        while (J < 8 && AValue[static_cast<size_t>(J)] == 0)
            ++J;
        if (J - I > BestLength)
            BestStart = I, BestLength = J - I;
        I = J > I ? J : I + 1;
    }
    std::string Result;
    for (int I = 0; I < 8; ++I) {
        if (I == BestStart) {
            Result += "::";
            I += BestLength - 1;
            continue;
        }
        if (!Result.empty() && Result.back() != ':')
            Result += ':';
        Result += Format("%x", AValue[static_cast<size_t>(I)]);
    }
    return Result;
}

bool TryStrToIPv6(std::string_view AText, TIdIPv6Address& VValue) {
    size_t Gap = AText.find("::");
    std::vector<uint16_t> Head, Tail;
    if (Gap == std::string_view::npos) {
        if (!ParseIPv6Groups(AText, true, Head) || Head.size() != 8)
            return false;
    } else {
        std::string_view Right = AText.substr(Gap + 2);
        if (Right.find("::") != std::string_view::npos || !ParseIPv6Groups(AText.substr(0, Gap), false, Head) ||
            !ParseIPv6Groups(Right, true, Tail) || Head.size() + Tail.size() > 7)
            return false;
    }
    VValue.fill(0);
    std::copy(Head.begin(), Head.end(), VValue.begin());
    std::copy(Tail.begin(), Tail.end(), VValue.end() - static_cast<std::ptrdiff_t>(Tail.size()));
    return true;
}

std::string MakeCanonicalIPv6Address(std::string_view AText) {
    TIdIPv6Address Address;
    if (!TryStrToIPv6(AText, Address))
        return {};
    std::string Result;
    for (uint16_t Word : Address) {
        if (!Result.empty())
            Result += ':';
        Result += Format("%04X", Word);
    }
    return Result;
}

bool ReadLnFromStream(TStream& AStream, std::string& VLine, int AMaxLineLength, const IIdTextEncodingPtr& AEncoding) {
    const int64_t Start = AStream.Position();
    TIdBytes Line;
    int EndOfLine = 0;  // length of the end of line found
    bool AtEnd = false;
    uint8_t Chunk[512];
    while (!EndOfLine && !AtEnd && (AMaxLineLength <= 0 || static_cast<int>(Line.size()) < AMaxLineLength)) {
        int64_t Count = AStream.Read(Chunk, sizeof(Chunk));
        AtEnd = Count <= 0;
        for (int64_t I = 0; I < Count; ++I) {
            if (Chunk[I] == '\n' || Chunk[I] == '\r') {
                EndOfLine = 1;
                uint8_t Next = 0;
                if (Chunk[I] == '\r' && (I + 1 < Count ? (Next = Chunk[I + 1], true) : AStream.Read(&Next, 1) == 1) &&
                    Next == '\n')
                    EndOfLine = 2;
                break;
            }
            if (AMaxLineLength > 0 && static_cast<int>(Line.size()) == AMaxLineLength)
                break;
            Line.push_back(Chunk[I]);
        }
    }
    if (Line.empty() && !EndOfLine && AtEnd) {
        AStream.SetPosition(Start);
        VLine.clear();
        return false;
    }
    AStream.SetPosition(Start + static_cast<int64_t>(Line.size()) + EndOfLine);
    VLine = BytesToString(Line, AEncoding);
    return true;
}
