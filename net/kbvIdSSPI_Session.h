// Inside the SSPI-shaped provider: what a credentials handle and a context
// handle hold on the GnuTLS side. Only the provider's own files include this.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include "net/kbvIdSSPI.h"

namespace kbvSSPI {

struct TSspiCredentials {
    TSspiCredentials() = default;
    TSspiCredentials(const TSspiCredentials&) = delete;
    TSspiCredentials& operator=(const TSspiCredentials&) = delete;
    ~TSspiCredentials();

    gnutls_certificate_credentials_t Certificates = nullptr;
    gnutls_priority_t Priority = nullptr;
    // The client certificate chain and its key (none: empty, null).
    std::vector<gnutls_pcert_st> ClientChain;
    gnutls_privkey_t ClientKey = nullptr;
};

struct TSspiContext {
    TSspiContext() = default;
    TSspiContext(const TSspiContext&) = delete;
    TSspiContext& operator=(const TSspiContext&) = delete;
    ~TSspiContext();

    gnutls_session_t Session = nullptr;
    CredHandle Credential;
    // Acquired by the credentials query; its chain is what was sent.
    CredHandle Supplied;
    TCredentialsQuery Query;
    SECURITY_STATUS QueryStatus = SEC_E_OK;
    std::vector<TIdBytes> Issuers;

    // What GnuTLS may read now (one record at most), and what it wrote.
    const uint8_t* In = nullptr;
    size_t InLeft = 0;
    TIdBytes Out;
    TIdBytes Token;  // the output token handed to the caller
    TIdBytes Plain;  // one record's plaintext
    TIdBytes Early, EarlyOut;  // data that came during a renegotiation
    bool HandshakeDone = false;
    bool Rehandshake = false;  // the server asked for a new handshake
};

}  // namespace kbvSSPI
