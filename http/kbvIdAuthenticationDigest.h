// Digest access authentication (RFC 2617, with the quoting of RFC 7616):
// MD5 and MD5-sess, qop "auth-int" (preferred) or "auth", or none.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/StringList.h"
#include "http/kbvIdAuthentication.h"

// A challenge naming a hash other than MD5 or MD5-sess.
class EIdInvalidAlgorithm : public EIdException {
public:
    using EIdException::EIdException;
};

// MD5 is refused while OpenSSL runs in FIPS mode.
class EIdFIPSAlgorithmNotAllowed : public EIdException {
public:
    using EIdException::EIdException;
};

// A value that would break the Authorization line: CR, LF or NUL.
class EIdDigestInvalidValue : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdDigestAuthentication : public TIdAuthentication {
public:
    // Raises EIdFIPSAlgorithmNotAllowed in FIPS mode.
    TIdDigestAuthentication();
    static std::unique_ptr<TIdAuthentication> Create();

    // "" before a challenge was read; then the Digest credentials for the
    // request last given to SetRequest, after which the step returns to 0 and
    // the nonce count goes up. Raises EIdDigestInvalidValue for a user name,
    // realm, nonce, URI or opaque value holding CR, LF or NUL.
    std::string Authentication() override;
    int Steps() const override { return 1; }
    // Keeps method and target; hashes the body when the challenge offered auth-int.
    void SetRequest(const std::string& AMethod, const std::string& AUri, TStream* ABody) override;

    const std::string& Realm() const { return FRealm; }
    bool Stale() const { return FStale; }
    const std::string& Opaque() const { return FOpaque; }
    const std::string& Nonce() const { return FNonce; }
    uint32_t NonceCount() const { return FNonceCount; }
    const std::string& Algorithm() const { return FAlgorithm; }
    const TStringList& Domain() const { return FDomain; }
    const TStringList& QopOptions() const { return FQopOptions; }
    const std::string& Method() const { return FMethod; }
    const std::string& Uri() const { return FUri; }

protected:
    // At step 0 reads the challenge (raising EIdInvalidAlgorithm for a hash
    // other than MD5 and MD5-sess) and, with a user name, moves to step 1.
    TIdAuthWhatsNext DoNext() override;
    // The client nonce of one answer: 16 random bytes as 32 hex digits.
    virtual std::string NewCNonce();

private:
    void ReadChallenge();

    std::string FRealm;
    bool FStale = false;
    std::string FOpaque;
    TStringList FDomain;
    std::string FNonce;
    uint32_t FNonceCount = 0;
    std::string FAlgorithm;
    std::string FMethod;
    std::string FUri;
    std::string FEntityBodyHash;  // H(body) of the last request, when auth-int was offered
    TStringList FQopOptions;
};
