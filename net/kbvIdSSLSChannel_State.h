// Inside the SChannel-style handler: the record of one TLS connection, and
// the steps of its handshake. Only the handler's own files include this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/kbvIdSSLSChannel.h"

struct TkbvSChannelState {
    int Socket = -1;
    std::string TargetName;  // the host the certificate must name
    kbvSSPI::SECURITY_STATUS LastStatus = kbvSSPI::SEC_E_OK;
    kbvSSPI::CredHandle Credentials;
    bool CredentialsAcquired = false;
    bool ContextCreated = false;
    kbvSSPI::CtxtHandle Context;
    kbvSSPI::SCHANNEL_CRED Cred;
    std::vector<kbvSSPI::ALG_ID> Algorithms;
    kbvSSPI::SecPkgContext_StreamSizes Sizes;
    // Ciphertext as received, not yet decrypted.
    TIdBytes Received;
    size_t ReceivedCount = 0;
    // Decrypted bytes not yet taken.
    TIdBytes Plain;
    size_t PlainCount = 0;
    size_t PlainPos = 0;
    TIdBytes SendBuffer;
    TIdBytes ALPN;  // an application-protocols buffer; empty without ALPN
    // The client certificate options.
    bool VerifyCertificate = false;
    std::string CertHash, CertFile, Password;
    TkbvSChannelCertStorePath CertStorePath = scspStoreCurrentUser;
    TkbvSChannelCertStoreName CertStoreName = scsnMY;
    std::string CipherList;
    TkbvSChannelCredentialsEvent OnCredentials;
    TObject* Sender = nullptr;
    // The bounds of every wait of the handshake: each at most WaitMS, all
    // before ConnectDeadline (a tick count, 0: none).
    int WaitMS = TLSHandshakeWaitDefaultMS;
    uint64_t ConnectDeadline = 0;
    // The client certificate could not be had: the error text says why.
    bool CredentialsFailed = false;
    // errno of the last failed recv or send.
    int LastErrno = 0;

    size_t PlainWaiting() const { return PlainCount - PlainPos; }
};

// The process's last failure of the provider layer, which a failed start
// reports (one per thread: a handler is used by one thread at a time).
kbvSSPI::SECURITY_STATUS SChannelLastStatus();
const std::string& SChannelLastError();
void SetSChannelLastError(kbvSSPI::SECURITY_STATUS AStatus, std::string AText);

// The protocol bits TLSVersion enables.
uint32_t SChannelProtocolsOf(TwsTLSVersions AVersion);
// The identifiers of a ":"-separated cipher list, unknown names left out.
std::vector<kbvSSPI::ALG_ID> SChannelAlgorithmsOf(const std::string& ACipherList);

// Credentials, the first token and the token loop, the server check, the
// stream sizes; false with the last error set when a step failed. Raises
// EIdReadTimeout or EIdConnectTimeout when a wait ran out.
bool SChannelHandshake(TkbvSChannelState& AState);
// The token loop: reads first when AInitialRead. Also what renegotiation runs.
bool SChannelHandshakeLoop(TkbvSChannelState& AState, bool AInitialRead);
// Checks the server's chain and name; false with the last error set.
bool SChannelVerifyServer(TkbvSChannelState& AState);
// Sends all of AData; false with the last error set.
bool SChannelSendAll(TkbvSChannelState& AState, const uint8_t* AData, size_t ASize);
