// The options and the OpenSSL context a connection is made with.
#define OPENSSL_SUPPRESS_DEPRECATED  // the fixed-version methods stay selectable

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "core/Text.h"
#include "net/kbvIdSSLOpenSSL.h"

// --- TIdSSLOptions -------------------------------------------------------------

void TIdSSLOptions::SetMethod(TIdSSLVersion AValue) {
    fMethod = AValue;
    fSSLVersions = AValue == sslvSSLv23 ? AllSSLVersions : TIdSSLVersions{AValue};
}

void TIdSSLOptions::SetSSLVersions(TIdSSLVersions AValue) {
    if (AValue == TIdSSLVersions{sslvSSLv23})
        AValue = AllSSLVersions;
    for (int Version = sslvSSLv2; Version <= sslvTLSv1_3; ++Version)
        if (AValue == TIdSSLVersions{static_cast<TIdSSLVersion>(Version)}) {
            fSSLVersions = AValue;
            fMethod = static_cast<TIdSSLVersion>(Version);
            return;
        }
    AValue.Exclude(sslvSSLv23);
    fSSLVersions = AValue;
    fMethod = sslvSSLv23;
}

void TIdSSLOptions::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TIdSSLOptions*>(&ASource);
    if (!Source) {
        TPersistent::Assign(ASource);
        return;
    }
    fsRootCertFile = Source->fsRootCertFile;
    fsCertFile = Source->fsCertFile;
    fsKeyFile = Source->fsKeyFile;
    fsDHParamsFile = Source->fsDHParamsFile;
    fMethod = Source->fMethod;
    fSSLVersions = Source->fSSLVersions;
    fMode = Source->fMode;
    fVerifyMode = Source->fVerifyMode;
    fVerifyDepth = Source->fVerifyDepth;
    fVerifyDirs = Source->fVerifyDirs;
    fCipherList = Source->fCipherList;
}

// --- TIdSSLContext ----------------------------------------------------------

namespace {

bool IsPKCS12File(const std::string& AFile) {
    const std::string Lower = LowerCase(AFile);
    return Lower.ends_with(".p12") || Lower.ends_with(".pfx");
}

// The OpenSSL method for a version and mode; null when the library has none.
const SSL_METHOD* MethodFor(TIdSSLVersion AMethod, TIdSSLMode AMode) {
    auto Pick = [AMode](const SSL_METHOD* (*AGeneric)(), const SSL_METHOD* (*AServer)(),
                        const SSL_METHOD* (*AClient)()) {
        return AMode == sslmClient ? AClient() : AMode == sslmServer ? AServer() : AGeneric();
    };
    switch (AMethod) {
    case sslvSSLv23:
        return Pick(TLS_method, TLS_server_method, TLS_client_method);
    case sslvTLSv1:
        return Pick(TLSv1_method, TLSv1_server_method, TLSv1_client_method);
    case sslvTLSv1_1:
        return Pick(TLSv1_1_method, TLSv1_1_server_method, TLSv1_1_client_method);
    case sslvTLSv1_2:
        return Pick(TLSv1_2_method, TLSv1_2_server_method, TLSv1_2_client_method);
    case sslvTLSv1_3:
        return TLS_method();
    default:
        return nullptr;
    }
}

struct TVersionOption {
    TIdSSLVersion Version;
    uint64_t NoOption;  // the option that excludes the version
};
// The versions whose method functions this library has: only those are excluded.
constexpr TVersionOption ExcludableVersions[] = {
    {sslvTLSv1, SSL_OP_NO_TLSv1},
    {sslvTLSv1_1, SSL_OP_NO_TLSv1_1},
    {sslvTLSv1_2, SSL_OP_NO_TLSv1_2},
    {sslvTLSv1_3, SSL_OP_NO_TLSv1_3},
};

// The time and size of a file, so that a changed file makes a new key.
std::string FileStamp(const std::string& AFile) {
    std::error_code Error;
    const auto Time = std::filesystem::last_write_time(AFile, Error);
    const auto Size = std::filesystem::file_size(AFile, Error);
    return Error ? "" : std::to_string(Time.time_since_epoch().count()) + "/" + std::to_string(Size);
}

// The trusted certificates: the system's store, plus a given file and
// folders. Parsing the system's bundle costs some 40 ms, so each set of
// trust settings is read once per process and its store shared by every
// context (OpenSSL locks a store for that). Returns a reference of the
// caller's own, or null with the error queued.
X509_STORE* SharedTrustStore(const std::string& ARootCertFile, const std::string& AVerifyDirs) {
    using TStore = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;
    static std::mutex Lock;
    // Made after the library's start-up, so freed at exit before its clean-up.
    static std::map<std::string, TStore> Stores;
    constexpr size_t MaxStores = 8;  // a program that keeps making new settings stays bounded
    const std::string Key = ARootCertFile + '\n' + FileStamp(ARootCertFile) + '\n' + AVerifyDirs;
    std::lock_guard Guard(Lock);
    if (auto Found = Stores.find(Key); Found != Stores.end()) {
        X509_STORE_up_ref(Found->second.get());
        return Found->second.get();
    }
    X509_STORE* Store = X509_STORE_new();
    if (!Store)
        return nullptr;
    X509_STORE_set_default_paths(Store);
    ERR_clear_error();  // a system without a default file or folder trusts only what is given
    if ((!ARootCertFile.empty() && X509_STORE_load_file(Store, ARootCertFile.c_str()) != 1) ||
        (!AVerifyDirs.empty() && X509_STORE_load_path(Store, AVerifyDirs.c_str()) != 1)) {
        X509_STORE_free(Store);
        return nullptr;
    }
    if (Stores.size() >= MaxStores)
        Stores.clear();
    Stores.emplace(Key, TStore(Store, X509_STORE_free));
    X509_STORE_up_ref(Store);
    return Store;
}

}  // namespace

TIdSSLContext::TIdSSLContext(TIdSSLIOHandlerSocketOpenSSL* AParent, const TIdSSLOptions& AOptions,
                             const TStringList& AALPNProtocols)
    : fMethod(AOptions.Method()),
      fSSLVersions(AOptions.SSLVersions()),
      fMode(AOptions.Mode()),
      fsRootCertFile(AOptions.RootCertFile()),
      fsCertFile(AOptions.CertFile()),
      fsKeyFile(AOptions.KeyFile()),
      fsDHParamsFile(AOptions.DHParamsFile()),
      fVerifyDepth(AOptions.VerifyDepth()),
      fVerifyMode(AOptions.VerifyMode()),
      fVerifyDirs(AOptions.VerifyDirs()),
      fCipherList(AOptions.CipherList()),
      FParent(AParent) {
    FALPNProtocols.Assign(AALPNProtocols);
}

TIdSSLContext::~TIdSSLContext() { SSL_CTX_free(fContext); }

std::string TIdSSLContext::VerificationKey() const {
    return std::to_string(fVerifyMode.Bits()) + "|" + std::to_string(fVerifyDepth) + "|" + fsRootCertFile + "|" +
           fVerifyDirs + "|" + fsCertFile + "|" + fsKeyFile;
}

void TIdSSLContext::InitContext(bool AServer) {
    SSL_CTX_free(fContext);
    fContext = nullptr;
    if (fMode == sslmUnassigned)
        fMode = AServer ? sslmServer : sslmClient;
    if (!LoadOpenSSLLibrary())
        throw EIdOSSLCouldNotLoadSSLLibrary(CouldNotLoadSSLLibraryMessage());
    // This library has no SSL 2 or 3: a method below TLS 1.0 is the
    // version-flexible one, held to TLS 1.2 and up by the version bounds (a
    // fixed TLS 1.2 method would ignore the bounds and never offer TLS 1.3).
    const SSL_METHOD* Method = MethodFor(fMethod < sslvTLSv1 ? sslvSSLv23 : fMethod, fMode);
    if (!Method)
        throw EIdOSSLGetMethodError();
    fContext = SSL_CTX_new(Method);
    if (!fContext)
        RaiseCryptoError<EIdOSSLCreatingContextError>();
    SetProtocolVersions();
    SSL_CTX_set_mode(fContext, SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_default_passwd_cb(fContext, &PasswordCallback);
    SSL_CTX_set_default_passwd_cb_userdata(fContext, this);
    LoadTrustAndCertificates();
    if (!fCipherList.empty() && SSL_CTX_set_cipher_list(fContext, fCipherList.c_str()) < 1) {
        ERR_clear_error();
        throw EIdOSSLSettingCipherError();
    }
    if (!fVerifyMode.Empty()) {
        SSL_CTX_set_verify(fContext, static_cast<int>(fVerifyMode.Bits()), nullptr);  // the handler adds its callback
        // A limit of 0 would refuse every chain with an intermediate CA,
        // which is most of them: 0 keeps the library's limit.
        if (fVerifyDepth > 0)
            SSL_CTX_set_verify_depth(fContext, fVerifyDepth);
    }
    if (fMode == sslmServer) {
        static const unsigned char SessionIdContext[4] = {1, 0, 0, 0};
        SSL_CTX_set_session_id_context(fContext, SessionIdContext, sizeof SessionIdContext);
    }
    // The names a server asks client certificates for; a client sends none.
    if (!fsRootCertFile.empty() && fMode != sslmClient)
        if (STACK_OF(X509_NAME)* CAList = SSL_load_client_CA_file(fsRootCertFile.c_str()))
            SSL_CTX_set_client_CA_list(fContext, CAList);
    ERR_clear_error();
    if (fMode != sslmServer)
        SetALPN();
}

void TIdSSLContext::SetProtocolVersions() {
    for (const TVersionOption& Option : ExcludableVersions) {
        if (!fSSLVersions.Contains(Option.Version))
            SSL_CTX_set_options(fContext, Option.NoOption);
        else if (fMethod == sslvSSLv23)
            SSL_CTX_clear_options(fContext, Option.NoOption);
    }
    const int Minimum = fSSLVersions.Contains(sslvTLSv1_3) || fSSLVersions.Contains(sslvTLSv1_2) ? TLS1_2_VERSION
                        : fSSLVersions.Contains(sslvTLSv1_1)                                      ? TLS1_1_VERSION
                                                                                                  : TLS1_VERSION;
    SSL_CTX_set_min_proto_version(fContext, Minimum);
    SSL_CTX_set_max_proto_version(fContext, TLS1_3_VERSION);
}

void TIdSSLContext::LoadTrustAndCertificates() {
    // The system's trust store always; a given file or folder adds to it.
    X509_STORE* Trust = SharedTrustStore(fsRootCertFile, fVerifyDirs);
    if (!Trust)
        RaiseCryptoError<EIdOSSLLoadingRootCertError>();
    SSL_CTX_set1_cert_store(fContext, Trust);
    X509_STORE_free(Trust);
    if (!fsCertFile.empty()) {
        if (IsPKCS12File(fsCertFile))
            LoadPKCS12(fsCertFile, true);
        else if (SSL_CTX_use_certificate_chain_file(fContext, fsCertFile.c_str()) != 1)
            RaiseCryptoError<EIdOSSLLoadingCertError>();
    }
    // A PKCS#12 certificate file holds its key too; a separate key file wins.
    const std::string KeyFile = !fsKeyFile.empty() ? fsKeyFile : IsPKCS12File(fsCertFile) ? fsCertFile : "";
    if (!KeyFile.empty()) {
        if (IsPKCS12File(KeyFile))
            LoadPKCS12(KeyFile, false);
        else if (SSL_CTX_use_PrivateKey_file(fContext, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            RaiseCryptoError<EIdOSSLLoadingKeyError>();
        if (SSL_CTX_check_private_key(fContext) != 1)
            RaiseCryptoError<EIdOSSLLoadingKeyError>();
    }
    if (!fsDHParamsFile.empty()) {
        BIO* File = BIO_new_file(fsDHParamsFile.c_str(), "r");
        EVP_PKEY* Params = File ? PEM_read_bio_Parameters(File, nullptr) : nullptr;
        BIO_free(File);
        const bool Set = Params && SSL_CTX_set0_tmp_dh_pkey(fContext, Params) == 1;
        if (!Set) {
            EVP_PKEY_free(Params);
            RaiseCryptoError<EIdOSSLLoadingDHParamsError>();
        }
    }
}

// The certificate (with its chain) or the key of a PKCS#12 file, opened
// with the password the handler gives.
void TIdSSLContext::LoadPKCS12(const std::string& AFile, bool ACertificate) {
    auto Fail = [ACertificate]() {
        if (ACertificate)
            RaiseCryptoError<EIdOSSLLoadingCertError>();
        RaiseCryptoError<EIdOSSLLoadingKeyError>();
    };
    FILE* File = std::fopen(AFile.c_str(), "rb");
    if (!File) {
        ERR_raise_data(ERR_LIB_SYS, errno, "calling fopen(%s, rb)", AFile.c_str());
        Fail();
    }
    PKCS12* Bundle = d2i_PKCS12_fp(File, nullptr);
    std::fclose(File);
    if (!Bundle)
        Fail();
    std::string Password = AskPassword(false);
    EVP_PKEY* Key = nullptr;
    X509* Cert = nullptr;
    STACK_OF(X509)* Chain = nullptr;
    const bool Parsed = PKCS12_parse(Bundle, Password.c_str(), &Key, &Cert, &Chain) == 1;
    OPENSSL_cleanse(Password.data(), Password.size());
    PKCS12_free(Bundle);
    bool Used = false;
    if (Parsed) {
        if (ACertificate) {
            Used = Cert && SSL_CTX_use_certificate(fContext, Cert) == 1;
            for (int I = 0; Used && I < sk_X509_num(Chain); ++I)
                Used = SSL_CTX_add1_chain_cert(fContext, sk_X509_value(Chain, I)) == 1;
        } else {
            Used = Key && SSL_CTX_use_PrivateKey(fContext, Key) == 1;
        }
    }
    EVP_PKEY_free(Key);
    X509_free(Cert);
    sk_X509_pop_free(Chain, X509_free);
    if (!Used)
        Fail();
}

void TIdSSLContext::SetALPN() {
    if (FALPNProtocols.Count() == 0)
        return;
    std::string Wire;
    for (int I = 0; I < FALPNProtocols.Count(); ++I) {
        const std::string& Name = FALPNProtocols.Strings(I);
        if (Name.empty())
            continue;
        if (Name.size() > 255)  // one length byte per name
            throw EIdOSSLALPNError();
        Wire += static_cast<char>(Name.size());
        Wire += Name;
    }
    if (SSL_CTX_set_alpn_protos(fContext, reinterpret_cast<const unsigned char*>(Wire.data()),
                                static_cast<unsigned>(Wire.size())) != 0)
        throw EIdOSSLALPNError();
}

int TIdSSLContext::PasswordCallback(char* ABuffer, int ASize, int ARWFlag, void* AUserData) {
    auto* Self = static_cast<TIdSSLContext*>(AUserData);
    std::string Password;
    try {
        Password = Self->AskPassword(ARWFlag != 0);
    } catch (...) {
        return 0;  // the load fails with the library's message
    }
    const int Length = std::min<int>(static_cast<int>(Password.size()), ASize - 1);
    std::memcpy(ABuffer, Password.data(), static_cast<size_t>(Length));
    ABuffer[Length] = '\0';
    OPENSSL_cleanse(Password.data(), Password.size());
    return Length;
}
