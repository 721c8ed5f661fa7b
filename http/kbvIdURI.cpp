#include "http/kbvIdURI.h"

namespace {
constexpr std::string_view ParamsUnsafe = "*<>#%\"{}|\\^[]`";
constexpr std::string_view PathUnsafe = "*<>#%\"{}|\\^[]`+";
constexpr char HexDigits[] = "0123456789ABCDEF";

int HexValue(char16_t C) {
    if (C >= u'0' && C <= u'9')
        return C - u'0';
    if (C >= u'A' && C <= u'F')
        return C - u'A' + 10;
    if (C >= u'a' && C <= u'f')
        return C - u'a' + 10;
    return -1;
}

// The value of ACount hex digits at AIndex of AChars; -1 when one is missing or not hex.
int HexAt(const TIdWideChars& AChars, size_t AIndex, size_t ACount) {
    if (AIndex + ACount > AChars.size())
        return -1;
    int Value = 0;
    for (size_t I = AIndex; I < AIndex + ACount; ++I) {
        int Digit = HexValue(AChars[I]);
        if (Digit < 0)
            return -1;
        Value = Value * 16 + Digit;
    }
    return Value;
}

IIdTextEncodingPtr EncodingOrUTF8(const IIdTextEncodingPtr& AEncoding) {
    return AEncoding ? AEncoding : IdTextEncoding(encUTF8);
}

bool IsHighSurrogate(char16_t C) { return C >= 0xD800 && C <= 0xDBFF; }
bool IsLowSurrogate(char16_t C) { return C >= 0xDC00 && C <= 0xDFFF; }

// Counts characters as UTF-16 code units, a surrogate pair being one character.
std::string EncodeComponent(std::string_view ASrc, std::string_view AUnsafe, const IIdTextEncodingPtr& AEncoding) {
    IIdTextEncodingPtr Encoding = EncodingOrUTF8(AEncoding);
    TIdWideChars Chars = UTF8ToUTF16(ASrc);
    std::string Result;
    Result.reserve(ASrc.size());
    for (size_t I = 0; I < Chars.size(); ++I) {
        char16_t C = Chars[I];
        if (C == u'%' && HexAt(Chars, I + 1, 2) >= 0) {  // already encoded: keep it
            Result.append({'%', static_cast<char>(Chars[I + 1]), static_cast<char>(Chars[I + 2])});
            I += 2;
        } else if (C > 32 && C < 128 && AUnsafe.find(static_cast<char>(C)) == std::string_view::npos) {
            Result.push_back(static_cast<char>(C));
        } else {
            size_t Count = IsHighSurrogate(C) && I + 1 < Chars.size() && IsLowSurrogate(Chars[I + 1]) ? 2 : 1;
            for (uint8_t Byte : Encoding->GetBytes(TIdWideChars(Chars, I, Count)))
                Result.append({'%', HexDigits[Byte >> 4], HexDigits[Byte & 15]});
            I += Count - 1;
        }
    }
    return Result;
}

// Cuts VText at the first ADelim: returns what follows it and keeps what precedes it.
bool SplitOffAfter(std::string& VText, char ADelim, std::string& VAfter) {
    size_t Pos = VText.find(ADelim);
    if (Pos == std::string::npos)
        return false;
    VAfter = VText.substr(Pos + 1);
    VText.erase(Pos);
    return true;
}

bool IsSlash(char C) { return C == '/' || C == '\\'; }
}  // namespace

TIdURI::TIdURI(const std::string& AURI) {
    if (!AURI.empty())
        SetURI(AURI);
}

void TIdURI::Clear() {
    FDocument.clear();
    FProtocol.clear();
    FURI.clear();
    FPort.clear();
    Fpath.clear();
    FHost.clear();
    FBookmark.clear();
    FUserName.clear();
    FPassword.clear();
    FParams.clear();
    FIPVersion = Id_IPv4;
}

void TIdURI::NormalizePath(std::string& APath) {
    size_t Start = APath.find(':');
    if (Start == std::string::npos) {
        Start = 0;
    } else {
        ++Start;
        if (Start + 1 < APath.size() && IsSlash(APath[Start]) && IsSlash(APath[Start + 1]))
            Start += 2;
    }
    for (size_t I = Start; I < APath.size() && APath[I] != '?' && APath[I] != '#'; ++I)
        if (APath[I] == '\\')
            APath[I] = '/';
}

// "?" ends the path; a "#" inside the query ends the query, and without a
// query the first "#" ends the path.
void TIdURI::SplitQueryAndFragment(std::string& VRest) {
    if (SplitOffAfter(VRest, '?', FParams))
        SplitOffAfter(FParams, '#', FBookmark);
    else
        SplitOffAfter(VRest, '#', FBookmark);
}

void TIdURI::SplitAuthority(std::string AAuthority) {
    size_t At = AAuthority.rfind('@');
    if (At != std::string::npos) {
        FUserName = AAuthority.substr(0, At);
        SplitOffAfter(FUserName, ':', FPassword);
        if (FUserName.empty())
            FPassword.clear();
        AAuthority.erase(0, At + 1);
    }
    size_t Open = AAuthority.find('[');
    size_t Close = Open == std::string::npos ? std::string::npos : AAuthority.find(']', Open);
    if (Close != std::string::npos) {
        FHost = AAuthority.substr(Open + 1, Close - Open - 1);
        size_t Colon = AAuthority.find(':', Close);
        if (Colon != std::string::npos)
            FPort = AAuthority.substr(Colon + 1);
        FIPVersion = Id_IPv6;
    } else {
        FHost = AAuthority;
        SplitOffAfter(FHost, ':', FPort);
    }
}

void TIdURI::SetURI(const std::string& AValue) {
    Clear();
    FURI = AValue;
    NormalizePath(FURI);
    std::string Rest = FURI;
    size_t Separator = Rest.find("://");
    if (Separator != std::string::npos) {
        FProtocol = Rest.substr(0, Separator);
        Rest.erase(0, Separator + 3);
    } else if (Rest.starts_with("//")) {  // scheme-relative: an authority without a protocol
        Rest.erase(0, 2);
    } else {  // a relative reference: path, document, query and fragment only
        SplitQueryAndFragment(Rest);
        size_t LastSlash = Rest.rfind('/');
        if (LastSlash != std::string::npos) {
            Fpath = Rest.substr(0, LastSlash + 1);
            Rest.erase(0, LastSlash + 1);
        }
        FDocument = std::move(Rest);
        return;
    }
    SplitQueryAndFragment(Rest);
    size_t Slash = Rest.find('/');
    SplitAuthority(Rest.substr(0, Slash));
    // The path keeps its leading slash; without one it is "/".
    std::string PathAndDocument = Slash == std::string::npos ? std::string("/") : Rest.substr(Slash);
    size_t LastSlash = PathAndDocument.rfind('/');
    Fpath = PathAndDocument.substr(0, LastSlash + 1);
    FDocument = PathAndDocument.substr(LastSlash + 1);
}

std::string TIdURI::URI() {
    FURI = GetFullURI({ofAuthInfo, ofBookmark});
    return GetFullURI({});
}

std::string TIdURI::GetPathAndParams() const {
    std::string Result = Fpath + FDocument;
    if (!FParams.empty())
        Result += "?" + FParams;
    return Result;
}

std::string TIdURI::GetFullURI(TIdURIOptionalFieldsSet AOptionalFields) const {
    if (FProtocol.empty())
        throw EIdURIException("Protocol field is empty");
    if (FHost.empty())
        throw EIdURIException("Host field is empty");
    std::string Result = FProtocol + "://";
    if (AOptionalFields.Contains(ofAuthInfo) && !FUserName.empty()) {
        Result += FUserName;
        if (!FPassword.empty())
            Result += ":" + FPassword;
        Result += "@";
    }
    Result += FIPVersion == Id_IPv6 ? "[" + FHost + "]" : FHost;
    bool DefaultPort = (TextIsSame(FProtocol, "http") && FPort == "80") ||
                       (TextIsSame(FProtocol, "https") && FPort == "443") ||
                       (TextIsSame(FProtocol, "ftp") && FPort == "21");
    if (!FPort.empty() && !DefaultPort)
        Result += ":" + FPort;
    Result += GetPathAndParams();
    if (AOptionalFields.Contains(ofBookmark) && !FBookmark.empty())
        Result += "#" + FBookmark;
    return Result;
}

std::string TIdURI::PathEncode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding) {
    return EncodeComponent(ASrc, PathUnsafe, AByteEncoding);
}

std::string TIdURI::ParamsEncode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding) {
    return EncodeComponent(ASrc, ParamsUnsafe, AByteEncoding);
}

std::string TIdURI::URLEncode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding) {
    TIdURI URI{std::string(ASrc)};
    URI.SetPath(PathEncode(URI.Path(), AByteEncoding));
    URI.SetDocument(PathEncode(URI.Document(), AByteEncoding));
    URI.SetParams(ParamsEncode(URI.Params(), AByteEncoding));
    return URI.URI();
}

std::string TIdURI::URLDecode(std::string_view ASrc, const IIdTextEncodingPtr& AByteEncoding) {
    IIdTextEncodingPtr Encoding = EncodingOrUTF8(AByteEncoding);
    TIdWideChars Chars = UTF8ToUTF16(ASrc);
    TIdBytes Bytes;
    // Consecutive "%uXXXX" units are encoded together, so an escaped surrogate
    // pair becomes the bytes of its one character.
    TIdWideChars Units;
    auto FlushUnits = [&] {
        if (!Units.empty())
            AppendBytes(Bytes, Encoding->GetBytes(Units));
        Units.clear();
    };
    for (size_t I = 0; I < Chars.size();) {
        char16_t C = Chars[I];
        if (C != u'%') {
            FlushUnits();
            Bytes.push_back(static_cast<uint8_t>(C & 0xFF));
            ++I;
        } else if (I + 1 < Chars.size() && (Chars[I + 1] == u'u' || Chars[I + 1] == u'U')) {
            int Unit = HexAt(Chars, I + 2, 4);
            if (Unit >= 0)
                Units.push_back(static_cast<char16_t>(Unit));
            I += 6;
        } else {
            FlushUnits();
            int Byte = HexAt(Chars, I + 1, 2);
            if (Byte >= 0)
                Bytes.push_back(static_cast<uint8_t>(Byte));
            I += 3;
        }
    }
    FlushUnits();
    return Encoding->GetString(Bytes);
}
