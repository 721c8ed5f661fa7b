#include "http/kbvIdAuthenticationNTLM.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/Format.h"
#include "core/Text.h"
#include "net/kbvIdSSLOpenSSLHeaders.h"

namespace {

constexpr uint8_t Signature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr size_t NegotiateHeaderSize = 32;
constexpr size_t AuthenticateHeaderSize = 64;
constexpr size_t MinChallengeSize = 32;
constexpr size_t ChallengeTargetInfoEnd = 48;  // where the target information field ends

// --- MD4 and DES from the legacy provider --------------------------------

struct TLegacyCrypto {
    OSSL_LIB_CTX* Context = nullptr;
    EVP_MD* MD4 = nullptr;
    EVP_CIPHER* DES = nullptr;
};

[[noreturn]] void RaiseLegacyNotLoaded() {
    const char* Folder = std::getenv("OPENSSL_MODULES");  // how OpenSSL itself chooses
    if (!Folder)
        Folder = OPENSSL_info(OPENSSL_INFO_MODULES_DIR);
    std::string Message = std::string(EIdOSSLCouldNotLoadSSLLibrary::DefaultMessage) +
                          "\r\nThe OpenSSL legacy provider (MD4 and DES, which NTLM needs) could not be loaded from " +
                          (Folder ? Folder : "OpenSSL's module folder") + ".";
    if (const std::string Reason = OpenSSLErrorText(TakeOldestError()); !Reason.empty())
        Message += "\r\n" + Reason;
    throw EIdOSSLCouldNotLoadLegacyProvider(Message);
}

// Loaded once and never freed: freeing it from a static destructor could run
// after OpenSSL's own clean-up at exit. A failed load is tried again later.
const TLegacyCrypto& LegacyCrypto() {
    static std::mutex Lock;
    static TLegacyCrypto Loaded;  // plain pointers: nothing runs at exit
    std::lock_guard<std::mutex> Guard(Lock);
    if (Loaded.Context)
        return Loaded;
    TLegacyCrypto Crypto;
    Crypto.Context = OSSL_LIB_CTX_new();
    if (!Crypto.Context)
        RaiseLegacyNotLoaded();
    if (!OSSL_PROVIDER_load(Crypto.Context, "legacy")) {
        OSSL_LIB_CTX_free(Crypto.Context);
        RaiseLegacyNotLoaded();
    }
    Crypto.MD4 = EVP_MD_fetch(Crypto.Context, "MD4", nullptr);
    Crypto.DES = EVP_CIPHER_fetch(Crypto.Context, "DES-ECB", nullptr);
    if (!Crypto.MD4 || !Crypto.DES) {
        EVP_MD_free(Crypto.MD4);
        EVP_CIPHER_free(Crypto.DES);
        OSSL_LIB_CTX_free(Crypto.Context);  // unloads the provider with it
        RaiseLegacyNotLoaded();
    }
    Loaded = Crypto;
    return Loaded;
}

TIdBytes MD4(const TIdBytes& AData) {
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Length = 0;
    if (EVP_Digest(AData.data(), AData.size(), Digest, &Length, LegacyCrypto().MD4, nullptr) != 1)
        RaiseCryptoError<EIdOSSLUnderlyingCryptoError>("Could not compute an MD4 hash.");
    return TIdBytes(Digest, Digest + Length);
}

// Spreads 56 key bits over eight bytes of seven bits each; the low bit of
// each byte is set for odd parity, as DES keys carry it.
void ExpandDESKey(const uint8_t* AKey7, uint8_t* VKey8) {
    VKey8[0] = AKey7[0];
    for (int I = 1; I < 7; ++I)
        VKey8[I] = static_cast<uint8_t>((AKey7[I - 1] << (8 - I)) | (AKey7[I] >> I));
    VKey8[7] = static_cast<uint8_t>(AKey7[6] << 1);
    for (int I = 0; I < 8; ++I) {
        uint8_t Byte = VKey8[I] & 0xFE;
        const int Ones = __builtin_popcount(Byte);
        VKey8[I] = static_cast<uint8_t>(Byte | (Ones % 2 == 0 ? 1 : 0));
    }
}

// One DES-ECB block under a 7-byte key.
void DESEncrypt(const uint8_t* AKey7, const uint8_t* AData, uint8_t* VOut) {
    uint8_t Key[8];
    ExpandDESKey(AKey7, Key);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> Context(EVP_CIPHER_CTX_new(),
                                                                           EVP_CIPHER_CTX_free);
    int Length = 0;
    if (!Context || EVP_EncryptInit_ex2(Context.get(), LegacyCrypto().DES, Key, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(Context.get(), 0) != 1 ||
        EVP_EncryptUpdate(Context.get(), VOut, &Length, AData, 8) != 1 || Length != 8)
        RaiseCryptoError<EIdOSSLUnderlyingCryptoError>("Could not compute a DES block.");
}

// --- message bytes ---------------------------------------------------------

uint16_t Get16(const TIdBytes& AMessage, size_t AAt) {
    return static_cast<uint16_t>(AMessage[AAt] | AMessage[AAt + 1] << 8);
}

uint32_t Get32(const TIdBytes& AMessage, size_t AAt) {
    return static_cast<uint32_t>(Get16(AMessage, AAt)) | static_cast<uint32_t>(Get16(AMessage, AAt + 2)) << 16;
}

void Put16(TIdBytes& VMessage, size_t AAt, size_t AValue) {
    VMessage[AAt] = static_cast<uint8_t>(AValue);
    VMessage[AAt + 1] = static_cast<uint8_t>(AValue >> 8);
}

void Put32(TIdBytes& VMessage, size_t AAt, size_t AValue) {
    Put16(VMessage, AAt, AValue & 0xFFFF);
    Put16(VMessage, AAt + 2, AValue >> 16);
}

TIdBytes NewMessage(uint32_t AType, size_t AHeaderSize) {
    TIdBytes Result(AHeaderSize, 0);
    std::memcpy(Result.data(), Signature, sizeof Signature);
    Put32(Result, 8, AType);
    return Result;
}

// Appends APayload and points the security buffer at AField to it.
void AppendBuffer(TIdBytes& VMessage, size_t AField, const TIdBytes& APayload, const char* AName) {
    if (APayload.size() > 0xFFFF)
        throw EIdException(Format("The NTLM %s is too long.", AName));
    Put16(VMessage, AField, APayload.size());
    Put16(VMessage, AField + 2, APayload.size());
    Put32(VMessage, AField + 4, VMessage.size());
    VMessage.insert(VMessage.end(), APayload.begin(), APayload.end());
}

TIdBytes OEMBytes(const std::string& AText) { return IdTextEncoding(enc8Bit)->GetBytes(AText); }

TIdBytes UnicodeBytes(const std::string& AText) { return IdTextEncoding(encUTF16LE)->GetBytes(AText); }

[[noreturn]] void RaiseMalformed(const std::string& AWhy) {
    throw EIdNTLMChallengeError("The server's NTLM challenge is malformed: " + AWhy);
}

// The payload a security buffer at AField points to, checked against the message's end.
TIdBytes ReadBuffer(const TIdBytes& AMessage, size_t AField, const char* AName) {
    const uint64_t Length = Get16(AMessage, AField);
    const uint64_t Offset = Get32(AMessage, AField + 4);
    if (Offset + Length > AMessage.size())
        RaiseMalformed(Format("its %s lies outside the message.", AName));
    return TIdBytes(AMessage.begin() + static_cast<ptrdiff_t>(Offset),
                    AMessage.begin() + static_cast<ptrdiff_t>(Offset + Length));
}

std::string ComputerName() {
    char Name[256] = {};
    if (gethostname(Name, sizeof Name - 1) != 0)
        return {};
    std::string Result(Name);
    return Result.substr(0, Result.find('.'));
}

}  // namespace

// --- NTLM v1 ---------------------------------------------------------------

TIdBytes NTLMNTOWFv1(const std::string& APassword) { return MD4(UnicodeBytes(APassword)); }

TIdBytes NTLMLMOWFv1(const std::string& APassword) {
    static constexpr uint8_t Magic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    TIdBytes Key = OEMBytes(UpperCase(APassword));
    Key.resize(14, 0);
    TIdBytes Result(16);
    DESEncrypt(Key.data(), Magic, Result.data());
    DESEncrypt(Key.data() + 7, Magic, Result.data() + 8);
    return Result;
}

TIdBytes NTLMDESL(const TIdBytes& AKey, const std::array<uint8_t, 8>& AData) {
    TIdBytes Key = AKey;
    Key.resize(21, 0);
    TIdBytes Result(24);
    for (size_t I = 0; I < 3; ++I)
        DESEncrypt(Key.data() + 7 * I, AData.data(), Result.data() + 8 * I);
    return Result;
}

TIdNTLMChallenge ParseNTLMChallenge(const TIdBytes& AMessage) {
    if (AMessage.size() < MinChallengeSize)
        RaiseMalformed(Format("it is %d bytes long, shorter than %d.", static_cast<int>(AMessage.size()),
                              static_cast<int>(MinChallengeSize)));
    if (std::memcmp(AMessage.data(), Signature, sizeof Signature) != 0)
        RaiseMalformed("it does not start with the NTLMSSP signature.");
    if (const uint32_t Type = Get32(AMessage, 8); Type != 2)
        RaiseMalformed(Format("its message type is %u, not 2.", Type));
    TIdNTLMChallenge Result;
    // No answer here uses the target name, and squid's test helper fills its
    // offset with junk: a name outside the message is taken as none, never read.
    if (const uint64_t End = uint64_t{Get32(AMessage, 16)} + Get16(AMessage, 12); End <= AMessage.size())
        Result.TargetName = ReadBuffer(AMessage, 12, "target name");
    Result.Flags = Get32(AMessage, 20);
    std::memcpy(Result.ServerChallenge.data(), AMessage.data() + 24, Result.ServerChallenge.size());
    // Without the flag the field may not be there at all: older servers
    // start the payload at offset 40.
    if (Result.Flags & NTLMSSP_NEGOTIATE_TARGET_INFO) {
        if (AMessage.size() < ChallengeTargetInfoEnd)
            RaiseMalformed("it announces target information but is too short to hold its field.");
        Result.TargetInfo = ReadBuffer(AMessage, 40, "target information");
    }
    return Result;
}

TIdNTLMChallenge DecodeNTLMChallenge(std::string_view ABase64) {
    if (ABase64.size() > NTLMMaxChallengeLength)
        RaiseMalformed(Format("it is longer than %d characters.", static_cast<int>(NTLMMaxChallengeLength)));
    TIdBytes Message;
    if (!AuthBase64Decode(ABase64, Message))
        RaiseMalformed("it is not valid base64.");
    return ParseNTLMChallenge(Message);
}

TIdBytes BuildNTLMNegotiate(const std::string& ADomain, const std::string& AHost) {
    uint32_t Flags = NTLMSSP_NEGOTIATE_UNICODE | NTLM_NEGOTIATE_OEM | NTLMSSP_REQUEST_TARGET |
                     NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_ALWAYS_SIGN;
    if (!ADomain.empty())
        Flags |= NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED;
    if (!AHost.empty())
        Flags |= NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED;
    TIdBytes Result = NewMessage(1, NegotiateHeaderSize);
    Put32(Result, 12, Flags);
    AppendBuffer(Result, 16, OEMBytes(ADomain), "domain");
    AppendBuffer(Result, 24, OEMBytes(AHost), "workstation name");
    return Result;
}

TIdBytes BuildNTLMAuthenticate(const TIdNTLMChallenge& AChallenge, const std::string& ADomain,
                               const std::string& AUser, const std::string& AHost, const std::string& APassword) {
    const bool Unicode = AChallenge.Flags & NTLMSSP_NEGOTIATE_UNICODE;
    auto Text = [&](const std::string& AText) { return Unicode ? UnicodeBytes(AText) : OEMBytes(AText); };
    const TIdBytes NtResponse = NTLMDESL(NTLMNTOWFv1(APassword), AChallenge.ServerChallenge);
    // The LM hash covers 14 characters only; a longer password would have
    // it computed from a cut-down one, so the NT response stands in for it.
    const TIdBytes LmResponse = OEMBytes(APassword).size() > 14
                                    ? NtResponse
                                    : NTLMDESL(NTLMLMOWFv1(APassword), AChallenge.ServerChallenge);
    const uint32_t Flags = (Unicode ? NTLMSSP_NEGOTIATE_UNICODE : NTLM_NEGOTIATE_OEM) | NTLMSSP_REQUEST_TARGET |
                           NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_ALWAYS_SIGN;

    TIdBytes Result = NewMessage(3, AuthenticateHeaderSize);
    AppendBuffer(Result, 28, Text(ADomain), "domain");
    AppendBuffer(Result, 36, Text(AUser), "user name");
    AppendBuffer(Result, 44, Text(AHost), "workstation name");
    AppendBuffer(Result, 12, LmResponse, "LM response");
    AppendBuffer(Result, 20, NtResponse, "NT response");
    AppendBuffer(Result, 52, {}, "session key");
    Put32(Result, 60, Flags);
    return Result;
}

// --- TIdNTLMAuthentication ---------------------------------------------------

TIdNTLMAuthentication::TIdNTLMAuthentication() {
    if (!LoadOpenSSLLibrary())
        throw EIdOSSLCouldNotLoadSSLLibrary(CouldNotLoadSSLLibraryMessage());
    LegacyCrypto();
}

std::unique_ptr<TIdAuthentication> TIdNTLMAuthentication::Create() {
    return std::make_unique<TIdNTLMAuthentication>();
}

std::string TIdNTLMAuthentication::Domain() const {
    const std::string Name = Username();
    const size_t Slash = Name.find('\\');
    return Slash == std::string::npos ? " " : Name.substr(0, Slash);
}

std::string TIdNTLMAuthentication::User() const {
    const std::string Name = Username();
    const size_t Slash = Name.find('\\');
    return Slash == std::string::npos ? Name : Name.substr(Slash + 1);
}

void TIdNTLMAuthentication::Reset() {
    TIdAuthentication::Reset();
    FNTLMInfo.clear();
}

TIdAuthWhatsNext TIdNTLMAuthentication::DoNext() {
    switch (FCurrentStep) {
    case 0:
        if (Username().empty())
            return wnAskTheProgram;
        FCurrentStep = 1;
        return wnDoRequest;
    case 1:
    case 2:
        ++FCurrentStep;
        return wnDoRequest;
    default:
        Reset();  // the authenticate message was refused
        return wnFail;
    }
}

std::string TIdNTLMAuthentication::Authentication() {
    if (FCurrentStep == 1) {
        FHost = ComputerName();
        FNTLMInfo.clear();
        return "NTLM " + AuthBase64Encode(BuildNTLMNegotiate(Domain(), FHost));
    }
    if (FCurrentStep != 2)
        return {};
    if (FNTLMInfo.empty()) {
        // The text after the scheme: "NTLM <base64>".
        const std::string Line = FindChallengeLine("NTLM");
        const std::string_view Rest = TrimLeft(Line);
        FNTLMInfo = Trim(Rest.substr(std::min(Rest.size(), sizeof "NTLM" - 1)));
    }
    if (FNTLMInfo.empty()) {
        Reset();
        throw EIdNTLMNoChallenge("The server sent no NTLM challenge to answer.");
    }
    try {
        const TIdNTLMChallenge Challenge = DecodeNTLMChallenge(FNTLMInfo);
        return "NTLM " + AuthBase64Encode(BuildNTLMAuthenticate(Challenge, Domain(), User(), FHost, Password()));
    } catch (const EIdNTLMChallengeError&) {
        Reset();
        throw;
    }
}
