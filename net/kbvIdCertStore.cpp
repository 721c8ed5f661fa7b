#include "net/kbvIdCertStore.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs12.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

#include "core/Text.h"

namespace fs = std::filesystem;

namespace {

// Files larger than this are not certificates.
constexpr uintmax_t MaxStoreFileSize = 1 << 20;
// The longest chain followed from a client certificate to an issuer.
constexpr int MaxChainDepth = 8;

struct TDatum {
    gnutls_datum_t Value{};
    ~TDatum() { gnutls_free(Value.data); }
    TIdBytes Bytes() const { return TIdBytes(Value.data, Value.data + Value.size); }
};

struct TCrt {
    gnutls_x509_crt_t Value = nullptr;
    TCrt() { gnutls_x509_crt_init(&Value); }
    explicit TCrt(gnutls_x509_crt_t AValue) : Value(AValue) {}
    TCrt(const TCrt&) = delete;
    TCrt& operator=(const TCrt&) = delete;
    TCrt(TCrt&& AOther) noexcept : Value(std::exchange(AOther.Value, nullptr)) {}
    ~TCrt() {
        if (Value)
            gnutls_x509_crt_deinit(Value);
    }
};

struct TKey {
    gnutls_x509_privkey_t Value = nullptr;
    ~TKey() {
        if (Value)
            gnutls_x509_privkey_deinit(Value);
    }
};

gnutls_datum_t DatumOf(const std::string& AData) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(AData.data())), static_cast<unsigned>(AData.size())};
}

bool ReadSmallFile(const fs::path& AFile, std::string& VData) {
    std::error_code Error;
    const uintmax_t Size = fs::file_size(AFile, Error);
    if (Error || Size > MaxStoreFileSize)
        return false;
    std::ifstream In(AFile, std::ios::binary);
    VData.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    return static_cast<bool>(In) || In.eof();
}

bool HasExtension(const fs::path& AFile, std::initializer_list<const char*> AExtensions) {
    const std::string Extension = LowerCase(AFile.extension().string());
    return std::any_of(AExtensions.begin(), AExtensions.end(), [&](const char* A) { return Extension == A; });
}

TIdBytes KeyId(gnutls_x509_crt_t ACert) {
    TIdBytes Id(64);
    size_t Size = Id.size();
    if (gnutls_x509_crt_get_key_id(ACert, 0, Id.data(), &Size) < 0)
        return {};
    Id.resize(Size);
    return Id;
}

TIdBytes KeyId(gnutls_x509_privkey_t AKey) {
    TIdBytes Id(64);
    size_t Size = Id.size();
    if (gnutls_x509_privkey_get_key_id(AKey, 0, Id.data(), &Size) < 0)
        return {};
    Id.resize(Size);
    return Id;
}

bool AllowsClientAuthentication(gnutls_x509_crt_t ACert) {
    for (unsigned Index = 0;; ++Index) {
        char Oid[128];
        size_t Size = sizeof Oid;
        const int Result = gnutls_x509_crt_get_key_purpose_oid(ACert, Index, Oid, &Size, nullptr);
        if (Result < 0)
            return Index == 0;  // no list at all allows every use
        const std::string Purpose(Oid);
        if (Purpose == GNUTLS_KP_TLS_WWW_CLIENT || Purpose == GNUTLS_KP_ANY)
            return true;
    }
}

// The store's entries for a file's certificates and, when it matches one of
// them, its key.
void AddCertificates(std::vector<TCrt>& ACerts, gnutls_x509_privkey_t AKey, const std::string& AFile,
                     std::vector<TkbvStoreCertificate>& VInto) {
    std::vector<TIdBytes> Ders;
    for (const TCrt& Cert : ACerts) {
        TDatum Der;
        Ders.push_back(gnutls_x509_crt_export2(Cert.Value, GNUTLS_X509_FMT_DER, &Der.Value) == 0 ? Der.Bytes()
                                                                                                : TIdBytes());
    }
    TIdBytes KeyDer;
    const TIdBytes KeyIdentity = AKey ? KeyId(AKey) : TIdBytes();
    if (AKey) {
        TDatum Der;
        if (gnutls_x509_privkey_export2_pkcs8(AKey, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN, &Der.Value) == 0)
            KeyDer = Der.Bytes();
    }
    for (size_t I = 0; I < ACerts.size(); ++I) {
        if (Ders[I].empty())
            continue;
        TkbvStoreCertificate Entry;
        Entry.Der = Ders[I];
        Entry.File = AFile;
        TDatum Subject, Issuer;
        if (gnutls_x509_crt_get_raw_dn(ACerts[I].Value, &Subject.Value) == 0)
            Entry.SubjectDN = Subject.Bytes();
        if (gnutls_x509_crt_get_raw_issuer_dn(ACerts[I].Value, &Issuer.Value) == 0)
            Entry.IssuerDN = Issuer.Bytes();
        Entry.ClientAuthentication = AllowsClientAuthentication(ACerts[I].Value);
        if (!KeyIdentity.empty() && KeyId(ACerts[I].Value) == KeyIdentity)
            Entry.PrivateKey = KeyDer;
        for (size_t J = 0; J < Ders.size(); ++J)
            if (J != I && !Ders[J].empty())
                Entry.Chain.push_back(Ders[J]);
        VInto.push_back(std::move(Entry));
    }
}

bool LoadPKCS12(const std::string& AData, const std::string& APassword, const std::string& AFile,
                std::vector<TkbvStoreCertificate>& VInto) {
    gnutls_pkcs12_t Pkcs12 = nullptr;
    if (gnutls_pkcs12_init(&Pkcs12) < 0)
        return false;
    const gnutls_datum_t Data = DatumOf(AData);
    bool Result = gnutls_pkcs12_import(Pkcs12, &Data, GNUTLS_X509_FMT_DER, 0) == 0;
    if (Result) {
        TKey Key;
        gnutls_x509_crt_t* Chain = nullptr;
        unsigned ChainLength = 0;
        gnutls_x509_crt_t* Extra = nullptr;
        unsigned ExtraLength = 0;
        Result = gnutls_pkcs12_simple_parse(Pkcs12, APassword.c_str(), &Key.Value, &Chain, &ChainLength, &Extra,
                                            &ExtraLength, nullptr, 0) == 0;
        std::vector<TCrt> Certs;
        for (unsigned I = 0; I < ChainLength; ++I)
            Certs.emplace_back(Chain[I]);
        for (unsigned I = 0; I < ExtraLength; ++I)
            Certs.emplace_back(Extra[I]);
        gnutls_free(Chain);
        gnutls_free(Extra);
        if (Result)
            AddCertificates(Certs, Key.Value, AFile, VInto);
    }
    gnutls_pkcs12_deinit(Pkcs12);
    return Result;
}

// PEM certificates with a key in the same file or beside it as <stem>.key;
// without PEM, one DER certificate.
bool LoadPEMOrDER(const fs::path& AFile, const std::string& AData, const std::string& APassword,
                  std::vector<TkbvStoreCertificate>& VInto) {
    std::vector<TCrt> Certs;
    const bool PEM = AData.find("-----BEGIN") != std::string::npos;
    const gnutls_datum_t Data = DatumOf(AData);
    if (PEM) {
        gnutls_x509_crt_t* List = nullptr;
        unsigned Count = 0;
        if (gnutls_x509_crt_list_import2(&List, &Count, &Data, GNUTLS_X509_FMT_PEM, 0) < 0)
            return false;
        for (unsigned I = 0; I < Count; ++I)
            Certs.emplace_back(List[I]);
        gnutls_free(List);
    } else {
        TCrt Cert;
        if (gnutls_x509_crt_import(Cert.Value, &Data, GNUTLS_X509_FMT_DER) < 0)
            return false;
        Certs.push_back(std::move(Cert));
    }
    TKey Key;
    std::string KeyText;
    if (PEM && AData.find("PRIVATE KEY-----") != std::string::npos)
        KeyText = AData;
    else if (fs::path KeyFile = fs::path(AFile).replace_extension(".key"); KeyFile != AFile)
        ReadSmallFile(KeyFile, KeyText);
    if (!KeyText.empty()) {
        const gnutls_datum_t KeyData = DatumOf(KeyText);
        if (gnutls_x509_privkey_init(&Key.Value) < 0 ||
            gnutls_x509_privkey_import2(Key.Value, &KeyData, GNUTLS_X509_FMT_PEM, APassword.c_str(), 0) < 0) {
            gnutls_x509_privkey_deinit(Key.Value);
            Key.Value = nullptr;
        }
    }
    AddCertificates(Certs, Key.Value, AFile.string(), VInto);
    return true;
}

bool LoadFile(const fs::path& AFile, const std::string& APassword, std::vector<TkbvStoreCertificate>& VInto) {
    std::string Data;
    if (!ReadSmallFile(AFile, Data))
        return false;
    if (HasExtension(AFile, {".p12", ".pfx"}))
        return LoadPKCS12(Data, "", AFile.string(), VInto) ||
               (!APassword.empty() && LoadPKCS12(Data, APassword, AFile.string(), VInto));
    if (HasExtension(AFile, {".pem", ".crt", ".cer", ".der"}))
        return LoadPEMOrDER(AFile, Data, APassword, VInto);
    return false;
}

std::string UserStoreLocation() {
    if (const char* Data = std::getenv("XDG_DATA_HOME"); Data && *Data == '/')
        return std::string(Data) + "/kbvOpenAI/certstores";
    const char* Home = std::getenv("HOME");
    return std::string(Home ? Home : "") + "/.local/share/kbvOpenAI/certstores";
}

}  // namespace

const char* CertStoreNameText(TkbvSChannelCertStoreName AName) {
    static constexpr const char* Names[] = {"MY", "Root", "Trust", "CA"};
    return Names[AName];
}

std::string CertStoreFolder(TkbvSChannelCertStorePath APath, TkbvSChannelCertStoreName AName) {
    const std::string Location =
        APath == scspStoreLocalMachine ? std::string("/etc/kbvOpenAI/certstores") : UserStoreLocation();
    return Location + "/" + CertStoreNameText(AName);
}

std::unique_ptr<TkbvCertStore> TkbvCertStore::Open(const std::string& AFolder, const std::string& APassword) {
    std::error_code Error;
    if (!fs::is_directory(AFolder, Error))
        return nullptr;
    std::vector<fs::path> Files;
    for (const fs::directory_entry& Entry : fs::directory_iterator(AFolder, Error))
        if (Entry.is_regular_file(Error))
            Files.push_back(Entry.path());
    std::sort(Files.begin(), Files.end());
    auto Store = std::unique_ptr<TkbvCertStore>(new TkbvCertStore);
    for (const fs::path& File : Files)
        LoadFile(File, APassword, Store->FCertificates);
    return Store;
}

const TkbvStoreCertificate* TkbvCertStore::FindBySHA1(const TIdBytes& AHash) const {
    for (const TkbvStoreCertificate& Certificate : FCertificates)
        if (CertificateSHA1(Certificate.Der) == AHash)
            return &Certificate;
    return nullptr;
}

TIdBytes CertificateSHA1(const TIdBytes& ADer) {
    TIdBytes Hash(20);
    gnutls_hash_fast(GNUTLS_DIG_SHA1, ADer.data(), ADer.size(), Hash.data());
    return Hash;
}

kbvSSPI::CERT_CONTEXT CertContextOf(const TkbvStoreCertificate& ACertificate) {
    kbvSSPI::CERT_CONTEXT Result;
    Result.Chain.push_back(ACertificate.Der);
    // The issuers of the file, in its order, after the certificate itself.
    Result.Chain.insert(Result.Chain.end(), ACertificate.Chain.begin(), ACertificate.Chain.end());
    Result.PrivateKey = ACertificate.PrivateKey;
    return Result;
}

bool ImportCertificateFile(const std::string& AFile, const std::string& APassword,
                           kbvSSPI::CERT_CONTEXT& VCertificate) {
    std::string Data;
    if (!ReadSmallFile(AFile, Data))
        return false;
    std::vector<TkbvStoreCertificate> Found;
    const bool PKCS12 = HasExtension(AFile, {".p12", ".pfx"}) || Data.find("-----BEGIN") == std::string::npos;
    if (PKCS12 ? !LoadPKCS12(Data, APassword, AFile, Found) : !LoadPEMOrDER(AFile, Data, APassword, Found))
        return false;
    const auto WithKey = std::find_if(Found.begin(), Found.end(),
                                      [](const TkbvStoreCertificate& A) { return !A.PrivateKey.empty(); });
    if (WithKey == Found.end())
        return false;
    VCertificate = CertContextOf(*WithKey);
    return true;
}

std::vector<TkbvStoreCertificate> CertificatesOfStores(TkbvSChannelCertStoreName AName) {
    std::vector<TkbvStoreCertificate> All;
    for (TkbvSChannelCertStorePath Path : {scspStoreCurrentUser, scspStoreLocalMachine})
        if (auto Store = TkbvCertStore::Open(CertStoreFolder(Path, AName)))
            All.insert(All.end(), Store->Certificates().begin(), Store->Certificates().end());
    return All;
}

std::vector<kbvSSPI::CERT_CONTEXT> FindClientChains(const std::vector<TIdBytes>& AIssuers,
                                                    const std::string& APassword) {
    std::vector<kbvSSPI::CERT_CONTEXT> Result;
    auto Mine = TkbvCertStore::Open(CertStoreFolder(scspStoreCurrentUser, scsnMY), APassword);
    if (!Mine)
        return Result;
    std::vector<TkbvStoreCertificate> Pool = Mine->Certificates();
    for (TkbvSChannelCertStoreName Name : {scsnCA, scsnRoot}) {
        std::vector<TkbvStoreCertificate> More = CertificatesOfStores(Name);
        Pool.insert(Pool.end(), More.begin(), More.end());
    }
    const std::set<TIdBytes> Wanted(AIssuers.begin(), AIssuers.end());
    auto Issued = [&](const TkbvStoreCertificate& ACert) {
        // Up the chain by names: the certificate's issuer, then its issuer's, ...
        TIdBytes Issuer = ACert.IssuerDN;
        TIdBytes Subject = ACert.SubjectDN;
        for (int Depth = 0; Depth < MaxChainDepth; ++Depth) {
            if (Wanted.count(Issuer))
                return true;
            if (Issuer == Subject)
                return false;  // a root
            const auto Parent = std::find_if(Pool.begin(), Pool.end(),
                                             [&](const TkbvStoreCertificate& A) { return A.SubjectDN == Issuer; });
            if (Parent == Pool.end())
                return false;
            Subject = Parent->SubjectDN;
            Issuer = Parent->IssuerDN;
        }
        return false;
    };
    for (const TkbvStoreCertificate& Certificate : Mine->Certificates())
        if (!Certificate.PrivateKey.empty() && Certificate.ClientAuthentication &&
            (Wanted.empty() || Issued(Certificate)))
            Result.push_back(CertContextOf(Certificate));
    return Result;
}
