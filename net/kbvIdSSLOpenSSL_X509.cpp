#include "net/kbvIdSSLOpenSSL_X509.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>

#include "core/Format.h"

namespace {

std::string HexPairs(const unsigned char* AData, size_t ALength, const char* ASeparator) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string Result;
    for (size_t I = 0; I < ALength; ++I) {
        if (I > 0)
            Result += ASeparator;
        Result += Digits[AData[I] >> 4];
        Result += Digits[AData[I] & 15];
    }
    return Result;
}

TDateTime DateTimeOf(const ASN1_TIME* ATime) {
    tm Parts{};
    if (!ATime || ASN1_TIME_to_tm(ATime, &Parts) != 1)
        return 0;
    return static_cast<double>(timegm(&Parts)) / 86400.0 + UnixDateDelta;
}

}  // namespace

std::string TIdX509Name::OneLine() const {
    if (!FName)
        return "";
    char* Text = X509_NAME_oneline(FName, nullptr, 0);
    std::string Result = Text ? Text : "";
    OPENSSL_free(Text);
    return Result;
}

uint32_t TIdX509Name::Hash() const {
    return FName ? static_cast<uint32_t>(X509_NAME_hash_ex(FName, nullptr, nullptr, nullptr)) : 0;
}

TIdX509Fingerprint TIdX509Fingerprints::Digest(const char* AName) const {
    unsigned char Buffer[EVP_MAX_MD_SIZE];
    unsigned Length = 0;
    EVP_MD* Digest = EVP_MD_fetch(nullptr, AName, nullptr);
    const bool Done = Digest && X509_digest(FCert, Digest, Buffer, &Length) == 1;
    EVP_MD_free(Digest);
    if (!Done)
        return {};
    return {TIdBytes(Buffer, Buffer + Length), HexPairs(Buffer, Length, ":")};
}

std::string TIdX509SigInfo::Signature() const {
    const ASN1_BIT_STRING* Signature = nullptr;
    X509_get0_signature(&Signature, nullptr, FCert);
    return Signature ? HexPairs(ASN1_STRING_get0_data(Signature), static_cast<size_t>(ASN1_STRING_length(Signature)), "")
                     : "";
}

std::string TIdX509SigInfo::SigTypeAsString() const {
    const int Nid = X509_get_signature_nid(FCert);
    return Nid == NID_undef ? "" : OBJ_nid2ln(Nid);
}

TIdX509::TIdX509(X509* ACert) : FCert(ACert) { X509_up_ref(FCert); }

TIdX509::~TIdX509() { X509_free(FCert); }

TIdX509Name TIdX509::Subject() const { return TIdX509Name(X509_get_subject_name(FCert)); }

TIdX509Name TIdX509::Issuer() const { return TIdX509Name(X509_get_issuer_name(FCert)); }

std::string TIdX509::SerialNumber() const {
    const ASN1_INTEGER* Serial = X509_get0_serialNumber(FCert);
    return HexPairs(ASN1_STRING_get0_data(Serial), static_cast<size_t>(ASN1_STRING_length(Serial)), "");
}

int TIdX509::Version() const { return static_cast<int>(X509_get_version(FCert)); }

TDateTime TIdX509::notBefore() const { return DateTimeOf(X509_get0_notBefore(FCert)); }

TDateTime TIdX509::notAfter() const { return DateTimeOf(X509_get0_notAfter(FCert)); }

std::string TIdX509::DisplayInfo() const {
    auto Line = [](const char* AName, const ASN1_TIME* ATime) {
        tm Parts{};
        if (!ATime || ASN1_TIME_to_tm(ATime, &Parts) != 1)
            return std::string();
        char Text[32];
        std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &Parts);
        return std::string(AName) + Text + "\n";
    };
    return "Subject: " + Subject().OneLine() + "\nIssuer: " + Issuer().OneLine() + "\n" +
           Line("Not before: ", X509_get0_notBefore(FCert)) + Line("Not after: ", X509_get0_notAfter(FCert)) +
           "SHA-256: " + Fingerprints().SHA256().AsString + "\n";
}

std::string TIdSSLCipher::Name() const { return FCipher ? SSL_CIPHER_get_name(FCipher) : ""; }

std::string TIdSSLCipher::Description() const {
    char Buffer[256] = "";
    if (FCipher)
        SSL_CIPHER_description(FCipher, Buffer, sizeof Buffer);
    std::string Result = Buffer;
    while (!Result.empty() && (Result.back() == '\n' || Result.back() == ' '))
        Result.pop_back();
    return Result;
}

int TIdSSLCipher::Bits() const { return FCipher ? SSL_CIPHER_get_bits(FCipher, nullptr) : 0; }

std::string TIdSSLCipher::Version() const { return FCipher ? SSL_CIPHER_get_version(FCipher) : ""; }
