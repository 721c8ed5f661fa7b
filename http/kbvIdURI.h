// A URL split into its parts and rebuilt from them, and the percent-encoding
// of URL text. Parsing is purely textual: nothing is decoded, case-folded or
// resolved, so a URL that is parsed and rebuilt keeps its spelling.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/Persistent.h"
#include "net/kbvIdException.h"
#include "net/kbvIdGlobal.h"
#include "net/kbvIdStack.h"

// A URL that cannot be rebuilt (no protocol or no host).
class EIdURIException : public EIdException {
public:
    using EIdException::EIdException;
};

// The parts GetFullURI leaves out unless asked for.
enum TIdURIOptionalFields : uint8_t { ofAuthInfo, ofBookmark };

// A set of TIdURIOptionalFields; bit n stands for ordinal n.
class TIdURIOptionalFieldsSet {
public:
    constexpr TIdURIOptionalFieldsSet() = default;
    constexpr TIdURIOptionalFieldsSet(std::initializer_list<TIdURIOptionalFields> AFields) {
        for (TIdURIOptionalFields Field : AFields)
            FBits = static_cast<uint8_t>(FBits | (1u << Field));
    }
    constexpr bool Contains(TIdURIOptionalFields AField) const { return (FBits >> AField) & 1u; }

private:
    uint8_t FBits = 0;
};

class TIdURI : public TObject {
public:
    explicit TIdURI(const std::string& AURI = "");

    // Parses AValue into the fields (every field is cleared first).
    void SetURI(const std::string& AValue);
    // Keeps the full text (credentials and fragment) as the stored URI and
    // returns it without them. Raises EIdURIException when it cannot be rebuilt.
    std::string URI();

    // Raises EIdURIException "Protocol field is empty" / "Host field is empty".
    std::string GetFullURI(TIdURIOptionalFieldsSet AOptionalFields = {ofAuthInfo, ofBookmark}) const;
    // Path + Document, then "?" + Params when there are params.
    std::string GetPathAndParams() const;

    const std::string& Protocol() const { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    const std::string& Username() const { return FUserName; }
    void SetUsername(std::string Value) { FUserName = std::move(Value); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string Value) { FPassword = std::move(Value); }
    const std::string& Host() const { return FHost; }
    void SetHost(std::string Value) { FHost = std::move(Value); }
    const std::string& Port() const { return FPort; }
    void SetPort(std::string Value) { FPort = std::move(Value); }
    const std::string& Path() const { return Fpath; }
    void SetPath(std::string Value) { Fpath = std::move(Value); }
    const std::string& Document() const { return FDocument; }
    void SetDocument(std::string Value) { FDocument = std::move(Value); }
    const std::string& Params() const { return FParams; }
    void SetParams(std::string Value) { FParams = std::move(Value); }
    const std::string& Bookmark() const { return FBookmark; }
    void SetBookmark(std::string Value) { FBookmark = std::move(Value); }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TIdIPVersion Value) { FIPVersion = Value; }

    // Back-slashes become slashes from after the scheme's ":" (and a "//" or
    // "\\" right after it) up to the first "?" or "#".
    static void NormalizePath(std::string& APath);

    // A null encoding means UTF-8 in all four. URLDecode takes characters other
    // than escapes as single bytes (their low 8 bits), "%XX" as a byte and
    // "%uXXXX" as a UTF-16 code unit; malformed escapes are dropped.
    static std::string URLDecode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // ASrc parsed, its path, document and query encoded, and rebuilt without
    // credentials and fragment; raises EIdURIException like URI().
    static std::string URLEncode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // Existing "%XX" escapes are kept; spaces, controls, non-ASCII and the
    // unsafe characters become "%XX" per byte of the encoded character.
    static std::string PathEncode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    static std::string ParamsEncode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding = nullptr);

private:
    void Clear();
    void SplitQueryAndFragment(std::string& VRest);
    void SplitAuthority(std::string AAuthority);

    std::string FDocument;
    std::string FProtocol;
    std::string FURI;
    std::string FPort;
    std::string Fpath;
    std::string FHost;
    std::string FBookmark;
    std::string FUserName;
    std::string FPassword;
    std::string FParams;
    TIdIPVersion FIPVersion = Id_IPv4;
};
