#include "http/kbvIdAuthenticationDigest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/Format.h"
#include "core/Streams.h"
#include "core/Text.h"
#include "net/kbvIdSSLOpenSSL_Errors.h"

namespace {

constexpr char HexDigits[] = "0123456789abcdef";
constexpr int64_t BodyChunkSize = 64 * 1024;

std::string Hex(const uint8_t* AData, size_t ALength) {
    std::string Result;
    Result.reserve(ALength * 2);
    for (size_t I = 0; I < ALength; ++I) {
        Result += HexDigits[AData[I] >> 4];
        Result += HexDigits[AData[I] & 0x0F];
    }
    return Result;
}

// An MD5 computed a piece at a time.
class TMD5 {
public:
    TMD5() : FContext(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (!FContext || EVP_DigestInit_ex(FContext.get(), EVP_md5(), nullptr) != 1)
            RaiseCryptoError<EIdOSSLUnderlyingCryptoError>("Could not start an MD5 hash.");
    }
    void Update(const void* AData, size_t ALength) {
        if (EVP_DigestUpdate(FContext.get(), AData, ALength) != 1)
            RaiseCryptoError<EIdOSSLUnderlyingCryptoError>("Could not compute an MD5 hash.");
    }
    // Lower-case hexadecimal.
    std::string Final() {
        unsigned char Digest[EVP_MAX_MD_SIZE];
        unsigned int Length = 0;
        if (EVP_DigestFinal_ex(FContext.get(), Digest, &Length) != 1)
            RaiseCryptoError<EIdOSSLUnderlyingCryptoError>("Could not compute an MD5 hash.");
        return Hex(Digest, Length);
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> FContext;
};

std::string HashBytes(const TIdBytes& ABytes) {
    TMD5 MD5;
    MD5.Update(ABytes.data(), ABytes.size());
    return MD5.Final();
}

// H(body) from the stream's start; the stream is left where it was.
std::string HashBody(TStream* ABody) {
    TMD5 MD5;
    if (!ABody)
        return MD5.Final();
    const int64_t Start = ABody->Position();
    try {
        ABody->SetPosition(0);
        std::vector<uint8_t> Chunk(static_cast<size_t>(BodyChunkSize));
        while (const int64_t Got = ABody->Read(Chunk.data(), BodyChunkSize))
            MD5.Update(Chunk.data(), static_cast<size_t>(Got));
    } catch (...) {
        ABody->SetPosition(Start);
        throw;
    }
    ABody->SetPosition(Start);
    return MD5.Final();
}

// A value between double quotes, a quote or back-slash in it escaped (RFC 7616).
std::string Quoted(const std::string& AValue) {
    std::string Result = "\"";
    for (char C : AValue) {
        if (C == '"' || C == '\\')
            Result += '\\';
        Result += C;
    }
    return Result + '"';
}

// CR or LF would end the header line, NUL cuts it short: a peer's realm,
// nonce or opaque value holding one is refused rather than written.
void CheckValue(const char* AName, const std::string& AValue) {
    if (AValue.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw EIdDigestInvalidValue(
            Format("The Digest %s holds a CR, LF or NUL character and cannot be sent.", AName));
}

void SplitInto(const std::string& AText, char ASeparator, TStringList& VList) {
    size_t Start = 0;
    while (Start <= AText.size()) {
        const size_t End = std::min(AText.find(ASeparator, Start), AText.size());
        if (std::string_view Item = Trim(std::string_view(AText).substr(Start, End - Start)); !Item.empty())
            VList.Add(std::string(Item));
        Start = End + 1;
    }
}

bool Contains(const TStringList& AList, std::string_view AItem) {
    for (int I = 0; I < AList.Count(); ++I)
        if (TextIsSame(AList.Strings(I), AItem))
            return true;
    return false;
}

}  // namespace

TIdDigestAuthentication::TIdDigestAuthentication() {
    if (EVP_default_properties_is_fips_enabled(nullptr))
        throw EIdFIPSAlgorithmNotAllowed(Format("Algorithm %s not permitted in FIPS mode", "MD5"));
}

std::unique_ptr<TIdAuthentication> TIdDigestAuthentication::Create() {
    return std::make_unique<TIdDigestAuthentication>();
}

void TIdDigestAuthentication::SetRequest(const std::string& AMethod, const std::string& AUri, TStream* ABody) {
    FMethod = AMethod;
    FUri = AUri;
    // Hashed now rather than kept: the body may be gone by the next request.
    FEntityBodyHash = Contains(FQopOptions, "auth-int") ? HashBody(ABody) : std::string();
}

std::string TIdDigestAuthentication::NewCNonce() {
    unsigned char Bytes[16];
    if (RAND_bytes(Bytes, sizeof Bytes) != 1)
        RaiseCryptoError<EIdOSSLUnderlyingCryptoError>("Could not make a client nonce.");
    return Hex(Bytes, sizeof Bytes);
}

void TIdDigestAuthentication::ReadChallenge() {
    FDomain.Clear();
    FQopOptions.Clear();
    TStringList Challenge;
    ParseAuthChallenge(FindChallengeLine("Digest"), Challenge);
    FRealm = Challenge.Values("realm");
    if (const std::string Nonce = Challenge.Values("nonce"); Nonce != FNonce || FNonceCount == 0) {
        FNonce = Nonce;
        FNonceCount = 1;
    }
    SplitInto(Challenge.Values("domain"), ' ', FDomain);
    FOpaque = Challenge.Values("opaque");
    FStale = TextIsSame(Challenge.Values("stale"), "true");
    FAlgorithm = Challenge.Values("algorithm");
    if (FAlgorithm.empty())
        FAlgorithm = "MD5";
    if (!TextIsSame(FAlgorithm, "MD5") && !TextIsSame(FAlgorithm, "MD5-sess"))
        throw EIdInvalidAlgorithm("Unsupported hash algorithm. This implementation supports only MD5 encoding.");
    SplitInto(Challenge.Values("qop"), ',', FQopOptions);
    FCharset = Challenge.Values("charset");  // RFC 7616: only "UTF-8" is defined
}

TIdAuthWhatsNext TIdDigestAuthentication::DoNext() {
    if (FCurrentStep != 0)
        return wnDoRequest;
    ReadChallenge();
    if (Username().empty())
        return wnAskTheProgram;
    FCurrentStep = 1;
    return wnDoRequest;
}

std::string TIdDigestAuthentication::Authentication() {
    // Before a challenge there is nothing to answer, and a bare "Digest" is
    // a malformed credential some servers answer with 400.
    if (FCurrentStep != 1)
        return {};
    const std::string User = Username();
    CheckValue("user name", User);
    CheckValue("realm", FRealm);
    CheckValue("nonce", FNonce);
    CheckValue("URI", FUri);
    CheckValue("opaque value", FOpaque);
    const std::string CNonce = NewCNonce();
    CheckValue("client nonce", CNonce);

    // RFC 7616 lets the server ask for UTF-8; otherwise the library default.
    const IIdTextEncodingPtr Encoding = TextIsSame(FCharset, "UTF-8") ? IdTextEncoding(encUTF8) : nullptr;
    auto H = [&](const std::string& AText) { return HashBytes(ToBytes(AText, Encoding)); };

    const bool Session = TextIsSame(FAlgorithm, "MD5-sess");
    std::string A1 = User + ":" + FRealm + ":" + Password();
    if (Session)
        A1 = H(A1) + ":" + FNonce + ":" + CNonce;
    std::string A2 = FMethod + ":" + FUri;
    std::string Qop;
    if (Contains(FQopOptions, "auth-int")) {
        Qop = "auth-int";
        A2 += ":" + (FEntityBodyHash.empty() ? HashBody(nullptr) : FEntityBodyHash);
    } else if (Contains(FQopOptions, "auth")) {
        Qop = "auth";
    }
    const std::string NC = Format("%08x", FNonceCount);
    const std::string Response = Qop.empty()
                                     ? H(H(A1) + ":" + FNonce + ":" + H(A2))
                                     : H(H(A1) + ":" + FNonce + ":" + NC + ":" + CNonce + ":" + Qop + ":" + H(A2));

    // qop, algorithm and nc are tokens, written without quotes.
    std::string Result = "Digest username=" + Quoted(User) + ", realm=" + Quoted(FRealm) +
                         ", nonce=" + Quoted(FNonce) + ", algorithm=" + FAlgorithm + ", uri=" + Quoted(FUri);
    if (!Qop.empty())
        Result += ", qop=" + Qop + ", nc=" + NC + ", cnonce=" + Quoted(CNonce);
    else if (Session)
        Result += ", cnonce=" + Quoted(CNonce);  // the server needs it for A1
    Result += ", response=" + Quoted(Response);
    if (!FOpaque.empty())
        Result += ", opaque=" + Quoted(FOpaque);
    ++FNonceCount;
    FCurrentStep = 0;
    return Result;
}
