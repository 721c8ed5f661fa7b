// Read-only views of a certificate and of a session's cipher, for events
// and for callers that want to show or check what the peer presented.
#pragma once

#include <cstdint>
#include <string>

#include "core/DateTime.h"
#include "net/kbvIdGlobal.h"

typedef struct x509_st X509;
typedef struct X509_name_st X509_NAME;
typedef struct ssl_cipher_st SSL_CIPHER;

class TIdX509Name {
public:
    explicit TIdX509Name(X509_NAME* AName) : FName(AName) {}
    // "/C=../O=../CN=.." as OpenSSL writes a name on one line.
    std::string OneLine() const;
    uint32_t Hash() const;

private:
    X509_NAME* FName;  // belongs to the certificate
};

struct TIdX509Fingerprint {
    TIdBytes Bytes;
    std::string AsString;  // upper-case hex pairs joined by ':'
};

class TIdX509Fingerprints {
public:
    explicit TIdX509Fingerprints(X509* ACert) : FCert(ACert) {}
    TIdX509Fingerprint MD5() const { return Digest("MD5"); }
    TIdX509Fingerprint SHA1() const { return Digest("SHA1"); }
    TIdX509Fingerprint SHA224() const { return Digest("SHA224"); }
    TIdX509Fingerprint SHA256() const { return Digest("SHA256"); }
    TIdX509Fingerprint SHA384() const { return Digest("SHA384"); }
    TIdX509Fingerprint SHA512() const { return Digest("SHA512"); }

private:
    TIdX509Fingerprint Digest(const char* AName) const;
    X509* FCert;
};

class TIdX509SigInfo {
public:
    explicit TIdX509SigInfo(X509* ACert) : FCert(ACert) {}
    std::string Signature() const;  // hex pairs
    std::string SigTypeAsString() const;

private:
    X509* FCert;
};

// A certificate. The view takes its own reference, so it stays valid after
// the session that showed it is gone.
class TIdX509 {
public:
    explicit TIdX509(X509* ACert);  // takes a reference of its own
    ~TIdX509();
    TIdX509(const TIdX509&) = delete;
    TIdX509& operator=(const TIdX509&) = delete;

    TIdX509Name Subject() const;
    TIdX509Name Issuer() const;
    TIdX509Fingerprints Fingerprints() const { return TIdX509Fingerprints(FCert); }
    TIdX509SigInfo SigInfo() const { return TIdX509SigInfo(FCert); }
    std::string SerialNumber() const;  // hex
    int Version() const;               // 0 for v1, 2 for v3, as stored
    TDateTime notBefore() const;       // UTC
    TDateTime notAfter() const;
    // Subject, issuer, validity and SHA-256 fingerprint, a line each.
    std::string DisplayInfo() const;
    X509* Certificate() const { return FCert; }

private:
    X509* FCert;
};

class TIdSSLCipher {
public:
    explicit TIdSSLCipher(const SSL_CIPHER* ACipher) : FCipher(ACipher) {}
    std::string Name() const;
    std::string Description() const;
    int Bits() const;
    std::string Version() const;

private:
    const SSL_CIPHER* FCipher;  // a static table entry of the library
};
