// Certificate stores as folders. A store is a folder named "MY", "Root",
// "Trust" or "CA" under one of two locations:
//
//   current user   $XDG_DATA_HOME/kbvOpenAI/certstores/<name>
//                  ($XDG_DATA_HOME unset: ~/.local/share/kbvOpenAI/certstores/<name>)
//   local machine  /etc/kbvOpenAI/certstores/<name>
//
// Each holds PEM files (.pem, .crt, .cer: certificates, and for a client
// certificate its private key in the same file or in <stem>.key beside it),
// DER certificates (.der, .cer) and PKCS#12 files (.p12, .pfx, opened with an
// empty password or the one given). "MY" holds client certificates with
// their keys, "Root" trusted roots, "CA" intermediates, "Trust" certificates
// pinned as trusted whatever their chain.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/kbvIdSSPI.h"
#include "net/kbvIdTLSTypes.h"

const char* CertStoreNameText(TkbvSChannelCertStoreName AName);
std::string CertStoreFolder(TkbvSChannelCertStorePath APath, TkbvSChannelCertStoreName AName);

struct TkbvStoreCertificate {
    TIdBytes Der;
    TIdBytes SubjectDN, IssuerDN;  // raw DER names
    TIdBytes PrivateKey;           // unencrypted DER; empty without a key
    std::vector<TIdBytes> Chain;   // the other certificates of its file
    bool ClientAuthentication = false;  // no key usage list, or one that allows it
    std::string File;
};

class TkbvCertStore {
public:
    // Null when the folder does not exist. Unreadable files are skipped.
    static std::unique_ptr<TkbvCertStore> Open(const std::string& AFolder, const std::string& APassword = "");

    const std::vector<TkbvStoreCertificate>& Certificates() const { return FCertificates; }
    // By the SHA-1 hash of its DER form.
    const TkbvStoreCertificate* FindBySHA1(const TIdBytes& AHash) const;

private:
    std::vector<TkbvStoreCertificate> FCertificates;
};

TIdBytes CertificateSHA1(const TIdBytes& ADer);

// A certificate file with its key: PKCS#12 (.p12, .pfx) or PEM. False when
// it cannot be read, the password is wrong or no key belongs to it.
bool ImportCertificateFile(const std::string& AFile, const std::string& APassword, kbvSSPI::CERT_CONTEXT& VCertificate);

// The client certificate with its chain for a certificate that has a key.
kbvSSPI::CERT_CONTEXT CertContextOf(const TkbvStoreCertificate& ACertificate);

// Client certificates of the current user's "MY" store, with a key and fit
// for client authentication, whose chain (through the file's own
// certificates and the "CA" and "Root" stores of both locations) reaches
// one of AIssuers (DER names; an empty list takes any), in file-name order.
std::vector<kbvSSPI::CERT_CONTEXT> FindClientChains(const std::vector<TIdBytes>& AIssuers, const std::string& APassword);

// Every certificate of a store name in both locations (a missing folder
// adds none), e.g. the trusted roots.
std::vector<TkbvStoreCertificate> CertificatesOfStores(TkbvSChannelCertStoreName AName);
