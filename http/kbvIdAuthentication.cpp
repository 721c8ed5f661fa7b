#include "http/kbvIdAuthentication.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "core/Text.h"
#include "http/kbvIdAuthenticationDigest.h"
#include "http/kbvIdAuthenticationNTLM.h"
#include "net/kbvIdCharsets.h"

namespace {

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

// The first word of a challenge line (the scheme) and where its rest starts.
std::string_view SchemeOf(std::string_view ALine, size_t& VRest) {
    ALine = TrimLeft(ALine);
    size_t End = 0;
    while (End < ALine.size() && !IsBlank(ALine[End]))
        ++End;
    VRest = End;
    return ALine.substr(0, End);
}

}  // namespace

// TIdAuthentication

TIdAuthentication::TIdAuthentication() {
    // Folding would trim the end of a value, and a password keeps its blanks.
    FParams.SetFoldLines(false);
}

TIdAuthentication::~TIdAuthentication() = default;

bool TIdAuthentication::KeepAlive() const { return false; }

TIdAuthWhatsNext TIdAuthentication::Next() { return DoNext(); }

void TIdAuthentication::Reset() { FCurrentStep = 0; }

void TIdAuthentication::SetRequest(const std::string&, const std::string&, TStream*) {}

void TIdAuthentication::SetAuthParams(const TIdHeaderList& AValue) {
    if (&AValue != &FAuthParams)
        FAuthParams.Assign(AValue);
}

std::string TIdAuthentication::ParamValue(const std::string& AName) const {
    const int Index = FParams.IndexOfName(AName);
    if (Index < 0)
        return {};
    const std::string& Line = FParams.Strings(Index);
    size_t Start = Line.find(':') + 1;  // IndexOfName found the name before a ":"
    if (Start < Line.size() && Line[Start] == ' ')
        ++Start;
    return Line.substr(Start);
}

std::string TIdAuthentication::Username() const { return ParamValue("Username"); }

void TIdAuthentication::SetUsername(const std::string& AValue) { FParams.SetValues("Username", AValue); }

std::string TIdAuthentication::Password() const { return ParamValue("Password"); }

void TIdAuthentication::SetPassword(const std::string& AValue) { FParams.SetValues("Password", AValue); }

std::string TIdAuthentication::FindChallengeLine(const std::string& AScheme) const {
    for (int I = 0; I < FAuthParams.Count(); ++I) {
        size_t Rest = 0;
        if (TextIsSame(SchemeOf(FAuthParams.Strings(I), Rest), AScheme))
            return FAuthParams.Strings(I);
    }
    return {};
}

// The registry

namespace {

struct TAuthSchemeRegistry {
    std::mutex Lock;
    std::vector<std::pair<std::string, TIdAuthenticationClass>> Entries;
};

// Built on first use, so no registration depends on the order in which
// static objects start or on the linker keeping a unit nothing names.
TAuthSchemeRegistry& Registry() {
    static TAuthSchemeRegistry Instance{
        {},
        {{"Basic", &TIdBasicAuthentication::Create},
         {"NTLM", &TIdNTLMAuthentication::Create},
         {"Digest", &TIdDigestAuthentication::Create}}};
    return Instance;
}

}  // namespace

void RegisterAuthScheme(const std::string& AName, TIdAuthenticationClass AClass) {
    TAuthSchemeRegistry& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    for (auto& Entry : R.Entries)
        if (TextIsSame(Entry.first, AName)) {
            Entry.second = AClass;
            return;
        }
    R.Entries.emplace_back(AName, AClass);
}

void UnregisterAuthScheme(const std::string& AName) {
    TAuthSchemeRegistry& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    std::erase_if(R.Entries, [&](const auto& Entry) { return TextIsSame(Entry.first, AName); });
}

TIdAuthenticationClass FindAuthSchemeClass(const std::string& AName) {
    TAuthSchemeRegistry& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    for (const auto& Entry : R.Entries)
        if (TextIsSame(Entry.first, AName))
            return Entry.second;
    return nullptr;
}

void GetRegisteredAuthSchemes(TStringList& VNames) {
    TAuthSchemeRegistry& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    for (const auto& Entry : R.Entries)
        VNames.Add(Entry.first);
}

// Challenge parameters

namespace {

// Reads a quoted string from after its opening quote to its closing one (or
// the end), removing the back-slash of each escaped character.
std::string ReadQuoted(std::string_view S, size_t& VPos) {
    std::string Value;
    while (VPos < S.size()) {
        char C = S[VPos++];
        if (C == '"')
            break;
        if (C == '\\' && VPos < S.size())
            C = S[VPos++];
        Value += C;
    }
    return Value;
}

// The position of the next comma, or the end.
size_t NextComma(std::string_view S, size_t APos) { return std::min(S.find(',', APos), S.size()); }

}  // namespace

void ParseAuthChallenge(std::string_view AChallenge, TStringList& VParams) {
    size_t Pos = 0;
    const std::string_view S = TrimLeft(AChallenge);
    SchemeOf(S, Pos);
    while (Pos < S.size()) {
        while (Pos < S.size() && (IsBlank(S[Pos]) || S[Pos] == ','))
            ++Pos;
        // Every pass moves past a "=" or a ",", so the line is read once.
        const size_t Stop = S.find_first_of("=,", Pos);
        if (Stop == std::string_view::npos)
            break;
        if (S[Stop] == ',') {  // a part without a value
            Pos = Stop + 1;
            continue;
        }
        const std::string Name(Trim(S.substr(Pos, Stop - Pos)));
        Pos = Stop + 1;
        while (Pos < S.size() && IsBlank(S[Pos]))
            ++Pos;
        std::string Value;
        if (Pos < S.size() && S[Pos] == '"') {
            ++Pos;
            Value = ReadQuoted(S, Pos);
            Pos = NextComma(S, Pos);  // whatever follows the quotes is dropped
        } else {
            const size_t End = NextComma(S, Pos);
            Value = std::string(Trim(S.substr(Pos, End - Pos)));
            Pos = End;
        }
        if (!Name.empty())
            VParams.Add(Name + "=" + Value);
    }
}

// Base64

namespace {

constexpr char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char C) {
    if (C >= 'A' && C <= 'Z')
        return C - 'A';
    if (C >= 'a' && C <= 'z')
        return C - 'a' + 26;
    if (C >= '0' && C <= '9')
        return C - '0' + 52;
    if (C == '+')
        return 62;
    if (C == '/')
        return 63;
    return -1;
}

}  // namespace

std::string AuthBase64Encode(const TIdBytes& ABytes) {
    std::string Result;
    Result.reserve((ABytes.size() + 2) / 3 * 4);
    for (size_t I = 0; I < ABytes.size(); I += 3) {
        const size_t Left = ABytes.size() - I;
        uint32_t Group = static_cast<uint32_t>(ABytes[I]) << 16;
        if (Left > 1)
            Group |= static_cast<uint32_t>(ABytes[I + 1]) << 8;
        if (Left > 2)
            Group |= ABytes[I + 2];
        Result += Base64Chars[(Group >> 18) & 63];
        Result += Base64Chars[(Group >> 12) & 63];
        Result += Left > 1 ? Base64Chars[(Group >> 6) & 63] : '=';
        Result += Left > 2 ? Base64Chars[Group & 63] : '=';
    }
    return Result;
}

bool AuthBase64Decode(std::string_view AText, TIdBytes& VBytes) {
    VBytes.clear();
    size_t Padding = 0;
    while (Padding < 2 && Padding < AText.size() && AText[AText.size() - 1 - Padding] == '=')
        ++Padding;
    const std::string_view Digits = AText.substr(0, AText.size() - Padding);
    if (Digits.size() % 4 == 1 || (Padding > 0 && (Digits.size() + Padding) % 4 != 0))
        return false;
    VBytes.reserve(Digits.size() / 4 * 3 + 2);
    uint32_t Group = 0;
    int Bits = 0;
    for (char C : Digits) {
        const int Value = Base64Value(C);
        if (Value < 0)
            return false;
        Group = (Group << 6) | static_cast<uint32_t>(Value);
        Bits += 6;
        if (Bits >= 8) {
            Bits -= 8;
            VBytes.push_back(static_cast<uint8_t>(Group >> Bits));
        }
    }
    return true;
}

// TIdBasicAuthentication

namespace {

// The encoding of a charset name; anything unknown converts as 8-bit
// characters, as it does before any challenge named one.
IIdTextEncodingPtr CredentialEncoding(const std::string& ACharset) {
    if (!ACharset.empty()) {
        try {
            if (IIdTextEncodingPtr Encoding = CharsetToEncoding(ACharset))
                return Encoding;
        } catch (const EIdException&) {
            // a code page without a converter here
        }
    }
    return IdTextEncoding(enc8Bit);
}

}  // namespace

std::unique_ptr<TIdAuthentication> TIdBasicAuthentication::Create() {
    return std::make_unique<TIdBasicAuthentication>();
}

std::string TIdBasicAuthentication::Authentication() {
    const IIdTextEncodingPtr Encoding = CredentialEncoding(FCharset);
    return "Basic " + AuthBase64Encode(Encoding->GetBytes(Username() + ":" + Password()));
}

TIdAuthWhatsNext TIdBasicAuthentication::DoNext() {
    TStringList Challenge;
    ParseAuthChallenge(FindChallengeLine("Basic"), Challenge);
    FRealm = Challenge.Values("realm");
    FCharset = "ISO-8859-1";
    for (const char* Name : {"charset", "accept-charset", "encoding", "enc"})
        if (std::string Value = Challenge.Values(Name); !Value.empty()) {
            FCharset = Value;
            break;
        }
    // Basic never advances: refused credentials are sent again until the
    // exchange's MaxAuthRetries ends it.
    if (FCurrentStep != 0)
        return wnFail;
    return Username().empty() ? wnAskTheProgram : wnDoRequest;
}
