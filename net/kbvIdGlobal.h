// Byte arrays, text encodings and the small byte and text routines that the
// transport and the HTTP code share.
//
// Text is UTF-8 (std::string). Where an encoding counts or indexes
// "characters", it means UTF-16 code units of that text: a character outside
// the Basic Multilingual Plane counts as two, so byte and character counts
// are those of the UTF-16 text the conversion formulas are made for.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/kbvIdException.h"

class TStream;

using TIdBytes = std::vector<uint8_t>;
using TIdWideChars = std::u16string;         // UTF-16 code units
using TIdIPv6Address = std::array<uint16_t, 8>;  // eight 16-bit words, in host order

// ---------------------------------------------------------------------------
// UTF-8 <-> UTF-16. Invalid UTF-8 (each maximal ill-formed subsequence) and
// unpaired surrogates become U+FFFD.

TIdWideChars UTF8ToUTF16(std::string_view AText);
std::string UTF16ToUTF8(std::u16string_view AChars);

// ---------------------------------------------------------------------------
// Text encodings

// Kinds of shared encoding instances.
enum TIdTextEncodingType {
    encDefault = 0,    // the library default (see SetDefaultTextEncodingType), ASCII unless changed
    encOSDefault = 1,  // the code-page encoding on the system's ANSI code page (UTF-8 here)
    enc8Bit = 2,       // ISO-8859-1: byte n is character U+00nn
    encASCII = 3,
    encUTF16BE = 4,
    encUTF16LE = 5,
    encUTF7 = 6,
    encUTF8 = 7
};

// An immutable, thread-safe text encoding, shared through IIdTextEncodingPtr.
// Array slices are 0-based; text slices count characters from 1. Bad
// arguments raise EIdException: "Invalid source array", "Invalid destination
// array", "Character index out of bounds (%d)", "Invalid count (%d)",
// "Invalid destination index (%d)".
class IIdTextEncoding {
public:
    virtual ~IIdTextEncoding() = default;

    virtual int GetByteCount(std::string_view AText) const = 0;
    virtual int GetByteCount(std::string_view AText, int ACharIndex, int ACharCount) const = 0;
    virtual int GetByteCount(const TIdWideChars& AChars) const = 0;
    virtual int GetByteCount(const TIdWideChars& AChars, int ACharIndex, int ACharCount) const = 0;

    virtual TIdBytes GetBytes(std::string_view AText) const = 0;
    virtual TIdBytes GetBytes(const TIdWideChars& AChars) const = 0;
    virtual TIdBytes GetBytes(const TIdWideChars& AChars, int ACharIndex, int ACharCount) const = 0;
    // Write into VBytes from AByteIndex, which must have room for all of
    // them; return the number of bytes written.
    virtual int GetBytes(std::string_view AText, int ACharIndex, int ACharCount, TIdBytes& VBytes,
                         int AByteIndex) const = 0;
    virtual int GetBytes(const TIdWideChars& AChars, int ACharIndex, int ACharCount, TIdBytes& VBytes,
                         int AByteIndex) const = 0;

    virtual int GetCharCount(const TIdBytes& ABytes) const = 0;
    virtual int GetCharCount(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const = 0;

    virtual TIdWideChars GetChars(const TIdBytes& ABytes) const = 0;
    virtual TIdWideChars GetChars(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const = 0;
    // Write into VChars from ACharIndex, which must have room for all of
    // them; return the number of characters written.
    virtual int GetChars(const TIdBytes& ABytes, int AByteIndex, int AByteCount, TIdWideChars& VChars,
                         int ACharIndex) const = 0;

    virtual int GetMaxByteCount(int ACharCount) const = 0;
    virtual int GetMaxCharCount(int AByteCount) const = 0;
    virtual TIdBytes GetPreamble() const = 0;

    virtual std::string GetString(const TIdBytes& ABytes) const = 0;
    virtual std::string GetString(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const = 0;

    virtual bool GetIsSingleByte() const = 0;
};

using IIdTextEncodingPtr = std::shared_ptr<IIdTextEncoding>;

// Implements the overloads and their argument checks on two conversions that
// each encoding supplies; the counts default to converting and measuring.
class TIdTextEncodingBase : public IIdTextEncoding {
public:
    int GetByteCount(std::string_view AText) const override;
    int GetByteCount(std::string_view AText, int ACharIndex, int ACharCount) const override;
    int GetByteCount(const TIdWideChars& AChars) const override;
    int GetByteCount(const TIdWideChars& AChars, int ACharIndex, int ACharCount) const override;
    TIdBytes GetBytes(std::string_view AText) const override;
    TIdBytes GetBytes(const TIdWideChars& AChars) const override;
    TIdBytes GetBytes(const TIdWideChars& AChars, int ACharIndex, int ACharCount) const override;
    int GetBytes(std::string_view AText, int ACharIndex, int ACharCount, TIdBytes& VBytes,
                 int AByteIndex) const override;
    int GetBytes(const TIdWideChars& AChars, int ACharIndex, int ACharCount, TIdBytes& VBytes,
                 int AByteIndex) const override;
    int GetCharCount(const TIdBytes& ABytes) const override;
    int GetCharCount(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const override;
    TIdWideChars GetChars(const TIdBytes& ABytes) const override;
    TIdWideChars GetChars(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const override;
    int GetChars(const TIdBytes& ABytes, int AByteIndex, int AByteCount, TIdWideChars& VChars,
                 int ACharIndex) const override;
    TIdBytes GetPreamble() const override { return {}; }
    std::string GetString(const TIdBytes& ABytes) const override;
    std::string GetString(const TIdBytes& ABytes, int AByteIndex, int AByteCount) const override;
    bool GetIsSingleByte() const override { return FIsSingleByte; }

protected:
    // Append the encoded form of AChars to VBytes / the decoded ABytes to VChars.
    virtual void Encode(std::u16string_view AChars, TIdBytes& VBytes) const = 0;
    virtual void Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const = 0;
    virtual int ByteCountOf(std::u16string_view AChars) const;
    virtual int CharCountOf(std::span<const uint8_t> ABytes) const;
    // UTF-8 text to bytes and back; encodings with a direct route override them.
    virtual void EncodeText(std::string_view AText, TIdBytes& VBytes) const;
    virtual std::string DecodeToText(std::span<const uint8_t> ABytes) const;

    bool FIsSingleByte = false;
    int FMaxCharSize = 1;
    // ASCII text and bytes are the same in this encoding, so pure ASCII, the
    // common case on the wire, is copied rather than converted.
    bool FKeepsASCII = false;
};

// One byte per character: characters >= 128 become '?', bytes >= 128 U+FFFD.
class TIdASCIIEncoding : public TIdTextEncodingBase {
public:
    TIdASCIIEncoding();
    int GetMaxByteCount(int ACharCount) const override { return ACharCount; }
    int GetMaxCharCount(int AByteCount) const override { return AByteCount; }

protected:
    void Encode(std::u16string_view AChars, TIdBytes& VBytes) const override;
    void Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const override;
    int ByteCountOf(std::u16string_view AChars) const override { return static_cast<int>(AChars.size()); }
    int CharCountOf(std::span<const uint8_t> ABytes) const override { return static_cast<int>(ABytes.size()); }
};

// One byte per character, byte n being U+00nn; characters >= 256 become '?'.
class TId8BitEncoding : public TIdTextEncodingBase {
public:
    TId8BitEncoding();
    int GetMaxByteCount(int ACharCount) const override { return ACharCount; }
    int GetMaxCharCount(int AByteCount) const override { return AByteCount; }

protected:
    void Encode(std::u16string_view AChars, TIdBytes& VBytes) const override;
    void Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const override;
    int ByteCountOf(std::u16string_view AChars) const override { return static_cast<int>(AChars.size()); }
    int CharCountOf(std::span<const uint8_t> ABytes) const override { return static_cast<int>(ABytes.size()); }
};

// Two bytes per code unit, low byte first; an odd last byte is ignored.
class TIdUTF16LittleEndianEncoding : public TIdTextEncodingBase {
public:
    TIdUTF16LittleEndianEncoding();
    int GetMaxByteCount(int ACharCount) const override { return 2 * ACharCount + 2; }
    int GetMaxCharCount(int AByteCount) const override { return AByteCount / 2 + AByteCount % 2 + 1; }
    TIdBytes GetPreamble() const override { return {0xFF, 0xFE}; }

protected:
    void Encode(std::u16string_view AChars, TIdBytes& VBytes) const override;
    void Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const override;
    int ByteCountOf(std::u16string_view AChars) const override { return 2 * static_cast<int>(AChars.size()); }
    int CharCountOf(std::span<const uint8_t> ABytes) const override { return static_cast<int>(ABytes.size() / 2); }

    bool FBigEndian = false;
};

// High byte first.
class TIdUTF16BigEndianEncoding : public TIdUTF16LittleEndianEncoding {
public:
    TIdUTF16BigEndianEncoding() { FBigEndian = true; }
    TIdBytes GetPreamble() const override { return {0xFE, 0xFF}; }
};

// A Windows code page, converted with iconv (UTF-8 directly). Unconvertible
// characters become the code page's '?', undecodable bytes U+FFFD. An
// unknown code page raises EIdException "Invalid codepage (%d)"; 20127 falls
// back to 1252 and then 437 when unknown.
class TIdMBCSEncoding : public TIdTextEncodingBase {
public:
    // Code page 0 is the system's ANSI code page: 65001 here.
    explicit TIdMBCSEncoding(int ACodePage = 0, unsigned AMBToWCharFlags = 0, unsigned AWCharToMBFlags = 0);

    int CodePage() const { return FCodePage; }
    int GetMaxByteCount(int ACharCount) const override { return (ACharCount + 1) * FMaxCharSize; }
    int GetMaxCharCount(int AByteCount) const override { return AByteCount; }
    TIdBytes GetPreamble() const override;

protected:
    void Encode(std::u16string_view AChars, TIdBytes& VBytes) const override;
    void Decode(std::span<const uint8_t> ABytes, TIdWideChars& VChars) const override;
    void EncodeText(std::string_view AText, TIdBytes& VBytes) const override;
    std::string DecodeToText(std::span<const uint8_t> ABytes) const override;

    int FCodePage = 0;
    // Kept for the converter interface; iconv takes no flags.
    unsigned FMBToWCharFlags = 0;
    unsigned FWCharToMBFlags = 0;

private:
    const char* FIconvName = nullptr;  // null: UTF-8, converted directly
};

class TIdUTF7Encoding : public TIdMBCSEncoding {
public:
    TIdUTF7Encoding() : TIdMBCSEncoding(65000) {}
    int GetMaxByteCount(int ACharCount) const override { return 3 * ACharCount + 2; }
    int GetMaxCharCount(int AByteCount) const override { return AByteCount; }
};

class TIdUTF8Encoding : public TIdMBCSEncoding {
public:
    TIdUTF8Encoding() : TIdMBCSEncoding(65001) {}
    int GetMaxByteCount(int ACharCount) const override { return 3 * ACharCount + 3; }
    int GetMaxCharCount(int AByteCount) const override { return AByteCount + 1; }
};

// The shared instance of a kind; encDefault resolves to the library default.
IIdTextEncodingPtr IdTextEncoding(TIdTextEncodingType AType = encDefault);
// 1200, 1201, 20127, 65000, 65001 give shared instances, other code pages a
// new TIdMBCSEncoding.
IIdTextEncodingPtr IdTextEncodingForCodePage(int ACodePage);
// Fills an empty reference with the shared instance of AType.
void EnsureEncoding(IIdTextEncodingPtr& AEncoding, TIdTextEncodingType AType = encDefault);

// The process-wide library default kind (initially encDefault, meaning ASCII).
TIdTextEncodingType DefaultTextEncodingType();
void SetDefaultTextEncodingType(TIdTextEncodingType AType);

// ---------------------------------------------------------------------------
// Text <-> bytes. A missing encoding means the library default.

TIdBytes ToBytes(std::string_view AText, const IIdTextEncodingPtr& AEncoding = nullptr);
// At most ALength characters (all when negative) from the 1-based AIndex.
TIdBytes ToBytes(std::string_view AText, int ALength, int AIndex = 1, const IIdTextEncodingPtr& AEncoding = nullptr);
// At most ALength bytes from the 0-based AStartIndex; when ALength is
// negative, all that follow, however many (2 GiB and more too).
std::string BytesToString(const TIdBytes& ABytes, int AStartIndex = 0, int ALength = -1,
                          const IIdTextEncodingPtr& AEncoding = nullptr);
std::string BytesToString(const TIdBytes& ABytes, const IIdTextEncodingPtr& AEncoding);

// ---------------------------------------------------------------------------
// Byte arrays. Integers go in and out in host byte order; converting to
// network order is the caller's business (TIdStack::HostToNetwork).

TIdBytes ToBytes(uint16_t AValue);
TIdBytes ToBytes(uint32_t AValue);
TIdBytes ToBytes(uint64_t AValue);
TIdBytes ToBytes(const TIdIPv6Address& AValue);
// Read a value from AIndex; raise EIdException "Index out of bounds." when it
// does not fit.
uint16_t BytesToUInt16(const TIdBytes& ABytes, int AIndex = 0);
uint32_t BytesToUInt32(const TIdBytes& ABytes, int AIndex = 0);
uint64_t BytesToUInt64(const TIdBytes& ABytes, int AIndex = 0);
TIdIPv6Address BytesToIPv6(const TIdBytes& ABytes, int AIndex = 0);

// Copies ACount bytes; both ranges must lie inside their arrays.
void CopyTIdBytes(const TIdBytes& ASource, int ASourceIndex, TIdBytes& VDest, int ADestIndex, int ACount);
// Appends at most ALength bytes (all when negative) of ASource from AIndex.
void AppendBytes(TIdBytes& VBytes, const TIdBytes& ASource, int AIndex = 0, int ALength = -1);
void AppendByte(TIdBytes& VBytes, uint8_t AByte);
// Removes ACount bytes (clamped to what is there) from AIndex.
void RemoveBytes(TIdBytes& VBytes, int ACount, int AIndex = 0);
// ALength (all when negative) clamped to what follows AIndex, never below 0.
// An array can hold more than an int counts: IdLength stops at 2147483647,
// and the whole-array forms above count with IdLength64 so as not to cut.
int IdLength(const TIdBytes& ABytes, int ALength = -1, int AIndex = 0);
int64_t IdLength64(const TIdBytes& ABytes, int64_t ALength = -1, int64_t AIndex = 0);

// ---------------------------------------------------------------------------
// Small routines

inline int IdMin(int A, int B) { return A < B ? A : B; }
inline int IdMax(int A, int B) { return A > B ? A : B; }
inline int64_t IdMin(int64_t A, int64_t B) { return A < B ? A : B; }
inline int64_t IdMax(int64_t A, int64_t B) { return A > B ? A : B; }

// Milliseconds since AStartTicks (a GetTickCount64 value), as a 32-bit value.
uint32_t GetElapsedTicks(uint64_t AStartTicks);

// Case-insensitive comparisons; case folds for ASCII letters only.
bool TextIsSame(std::string_view A, std::string_view B);
bool TextStartsWith(std::string_view AText, std::string_view AStart);
bool TextEndsWith(std::string_view AText, std::string_view AEnd);
// Whether the byte at the 1-based ACharPos is one of ASet (false outside the text).
bool CharIsInSet(std::string_view AText, int ACharPos, std::string_view ASet);
// Index of ASearch in the list, -1 when absent.
int PosInStrArray(std::string_view ASearch, std::initializer_list<std::string_view> AList, bool ACaseSensitive = true);
int PosInStrArray(std::string_view ASearch, const std::vector<std::string>& AList, bool ACaseSensitive = true);
int PosInSmallIntArray(int16_t ASearch, std::initializer_list<int16_t> AList);
// Non-empty and all decimal digits.
bool IsNumeric(std::string_view AText);

// True when the running Windows is at least AMajor.AMinor: on this platform
// the newest branch is always taken.
bool CheckWindowsVersion(int AMajor, int AMinor = 0);
// Whether the caller runs on the thread that started the program.
bool InMainThread();

// The eight words as lower-case hex, with the longest run of zero words
// shortened to "::".
std::string IPv6AddressToStr(const TIdIPv6Address& AValue);
// Parses an IPv6 address (with "::" and an embedded IPv4 tail); false when invalid.
bool TryStrToIPv6(std::string_view AText, TIdIPv6Address& VValue);
// The full form: eight groups of four upper-case hex digits; "" when invalid.
std::string MakeCanonicalIPv6Address(std::string_view AText);

// Reads one line from the stream's position and leaves the position after
// its end of line (CR LF, LF or CR). At most AMaxLineLength bytes (no limit
// when 0 or negative) are taken when no end of line comes first. Returns false
// when the stream was already at its end.
bool ReadLnFromStream(TStream& AStream, std::string& VLine, int AMaxLineLength = -1,
                      const IIdTextEncodingPtr& AEncoding = nullptr);
