// A small security provider in the shape of the Windows SSPI "Schannel"
// package, over GnuTLS: credentials are acquired once, a client context is
// stepped through the handshake with tokens in and tokens out, records are
// encrypted and decrypted in the caller's buffers with header and trailer
// space, and the context is asked for its attributes. Nothing here touches a
// socket: the caller moves the bytes, so it decides every wait and limit.
//
// Input is taken one whole TLS record at a time. A buffer that ends inside
// a record is SEC_E_INCOMPLETE_MESSAGE (nothing consumed); what follows the
// records a step needed comes back as a SECBUFFER_EXTRA buffer. A record
// header that no TLS peer sends (unknown type, length over 2^14 + 2048) is
// SEC_E_ILLEGAL_MESSAGE at once.
//
// One difference from the platform: GnuTLS asks for the client certificate
// in a callback it cannot pause, so instead of returning
// SEC_I_INCOMPLETE_CREDENTIALS the context calls the credentials query set
// with SetCredentialsQuery at that moment, and carries on with what it
// acquires.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/kbvIdGlobal.h"

namespace kbvSSPI {

using SECURITY_STATUS = uint32_t;
inline bool Failed(SECURITY_STATUS AStatus) { return (AStatus & 0x80000000u) != 0; }

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = 0x80090301;
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = 0x80090302;
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = 0x80090304;
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = 0x80090308;
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = 0x8009030D;
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = 0x8009030E;
constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = 0x80090318;
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = 0x80090321;
constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = 0x80090326;
constexpr SECURITY_STATUS SEC_E_CERT_UNKNOWN = 0x80090327;
constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = 0x80090330;
constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = 0x80090331;

// Chain policy results.
constexpr SECURITY_STATUS CERT_E_EXPIRED = 0x800B0101;
constexpr SECURITY_STATUS CERT_E_ROLE = 0x800B0103;
constexpr SECURITY_STATUS CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr SECURITY_STATUS CERT_E_CHAINING = 0x800B010A;
constexpr SECURITY_STATUS CERT_E_REVOKED = 0x800B010C;
constexpr SECURITY_STATUS CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr SECURITY_STATUS CERT_E_WRONG_USAGE = 0x800B0110;
constexpr SECURITY_STATUS TRUST_E_CERT_SIGNATURE = 0x80096004;

constexpr uint32_t SECBUFFER_EMPTY = 0;
constexpr uint32_t SECBUFFER_DATA = 1;
constexpr uint32_t SECBUFFER_TOKEN = 2;
constexpr uint32_t SECBUFFER_MISSING = 4;
constexpr uint32_t SECBUFFER_EXTRA = 5;
constexpr uint32_t SECBUFFER_STREAM_TRAILER = 6;
constexpr uint32_t SECBUFFER_STREAM_HEADER = 7;
constexpr uint32_t SECBUFFER_APPLICATION_PROTOCOLS = 18;

// Protocol bits (client and server bit of each version).
constexpr uint32_t SP_PROT_SSL3 = 0x30;
constexpr uint32_t SP_PROT_TLS1_0 = 0xC0;
constexpr uint32_t SP_PROT_TLS1_1 = 0x300;
constexpr uint32_t SP_PROT_TLS1_2 = 0xC00;
constexpr uint32_t SP_PROT_TLS1_3 = 0x3000;
constexpr uint32_t SP_PROT_TLS1_0_CLIENT = 0x80;
constexpr uint32_t SP_PROT_TLS1_1_CLIENT = 0x200;
constexpr uint32_t SP_PROT_TLS1_2_CLIENT = 0x800;
constexpr uint32_t SP_PROT_TLS1_3_CLIENT = 0x2000;

constexpr uint32_t SCH_CRED_MANUAL_CRED_VALIDATION = 0x08;
constexpr uint32_t SCH_CRED_NO_DEFAULT_CREDS = 0x10;
constexpr uint32_t SCHANNEL_CRED_VERSION = 4;
constexpr uint32_t SCH_CREDENTIALS_VERSION = 5;

// The ALPN entry of an application-protocols buffer.
constexpr uint32_t SecApplicationProtocolNegotiationExt_ALPN = 2;

using ALG_ID = uint32_t;
constexpr ALG_ID CALG_3DES = 0x6603;
constexpr ALG_ID CALG_AES_128 = 0x660E;
constexpr ALG_ID CALG_AES_256 = 0x6610;
constexpr ALG_ID CALG_AES = 0x6611;
constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr ALG_ID CALG_SHA_384 = 0x800D;
constexpr ALG_ID CALG_SHA_512 = 0x800E;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
constexpr ALG_ID CALG_DH_EPHEM = 0xAA02;
constexpr ALG_ID CALG_ECDH = 0xAA05;
constexpr ALG_ID CALG_ECDH_EPHEM = 0xAE06;

struct SecBuffer {
    uint32_t cbBuffer = 0;
    uint32_t BufferType = SECBUFFER_EMPTY;
    uint8_t* pvBuffer = nullptr;
};

struct SecBufferDesc {
    uint32_t cBuffers = 0;
    SecBuffer* pBuffers = nullptr;
};

// A certificate with its private key: the chain as DER, leaf first, and the
// key as unencrypted DER (PKCS#8, PKCS#1 or SEC1).
struct CERT_CONTEXT {
    std::vector<TIdBytes> Chain;
    TIdBytes PrivateKey;
};
using PCCERT_CONTEXT = std::shared_ptr<const CERT_CONTEXT>;

// What credentials are acquired with. grbitEnabledProtocols 0 takes every
// version the library offers; palgSupportedAlgs restricts each kind of
// algorithm (cipher, hash, key exchange) it names, and leaves kinds it does
// not name at the library's defaults.
struct SCHANNEL_CRED {
    uint32_t dwVersion = SCH_CREDENTIALS_VERSION;
    std::vector<PCCERT_CONTEXT> paCred;  // the first is the client certificate
    std::vector<ALG_ID> palgSupportedAlgs;
    uint32_t grbitEnabledProtocols = 0;
    uint32_t dwFlags = 0;
};

struct TSspiCredentials;
struct TSspiContext;
using CredHandle = std::shared_ptr<TSspiCredentials>;
using CtxtHandle = std::shared_ptr<TSspiContext>;

SECURITY_STATUS AcquireCredentialsHandle(const SCHANNEL_CRED& AAuthData, CredHandle& VCredential);
void FreeCredentialsHandle(CredHandle& VCredential);

// The first call (VContext empty) makes the context and returns the
// ClientHello as its output token with SEC_I_CONTINUE_NEEDED; AInput may
// then carry a SECBUFFER_APPLICATION_PROTOCOLS buffer. Later calls take the
// peer's bytes in AInput's first buffer (a second, empty one comes back as
// SECBUFFER_EXTRA with the unused tail). The output token stays valid until
// the next call on the context or FreeContextBuffer.
SECURITY_STATUS InitializeSecurityContext(const CredHandle& ACredential, CtxtHandle& VContext,
                                          const std::string& ATargetName, SecBufferDesc* AInput,
                                          SecBufferDesc* AOutput);
void DeleteSecurityContext(CtxtHandle& VContext);
void FreeContextBuffer(SecBuffer& VBuffer);

// Asked, during the handshake, for the client certificate the server wants
// when the context's credentials have none; it may acquire new credentials
// into VCredential (left empty: no certificate is sent). A failed status
// fails the handshake with it.
using TCredentialsQuery = std::function<SECURITY_STATUS(CredHandle& VCredential)>;
void SetCredentialsQuery(const CtxtHandle& AContext, TCredentialsQuery AQuery);

// Buffers: header, data, trailer, empty. The record goes out as header +
// data + trailer bytes (the trailer's size is set).
SECURITY_STATUS EncryptMessage(const CtxtHandle& AContext, SecBufferDesc& VMessage);
// Buffers: data (the ciphertext), three empty. One record is decrypted in
// place: header, data (the plaintext, possibly empty), trailer, and the
// unread tail as extra. SEC_I_CONTEXT_EXPIRED: the peer sent close_notify;
// SEC_I_RENEGOTIATE: the handshake must run again (its first step without
// input).
SECURITY_STATUS DecryptMessage(const CtxtHandle& AContext, SecBufferDesc& VMessage);

struct SecPkgContext_StreamSizes {
    uint32_t cbHeader = 0;
    uint32_t cbTrailer = 0;
    uint32_t cbMaximumMessage = 0;
    uint32_t cBuffers = 4;
    uint32_t cbBlockSize = 0;
};

struct SecPkgContext_ConnectionInfo {
    uint32_t dwProtocol = 0;  // SP_PROT_*_CLIENT
    ALG_ID aiCipher = 0;
    uint32_t dwCipherStrength = 0;
    ALG_ID aiHash = 0;
    uint32_t dwHashStrength = 0;
    ALG_ID aiExch = 0;
    uint32_t dwExchStrength = 0;
};

// The library's names of what was agreed ("TLS1.3", "AES-256-GCM", ...).
struct SecPkgContext_CipherInfo {
    std::string szProtocol;
    std::string szCipherSuite;
    std::string szCipher;
    std::string szHash;
    std::string szExchange;
};

struct SecPkgContext_ApplicationProtocol {
    bool Negotiated = false;
    std::string ProtocolId;
};

// The distinguished names (DER) of the certificate authorities the server
// named when it asked for a client certificate.
struct SecPkgContext_IssuerListInfoEx {
    std::vector<TIdBytes> aIssuers;
};

// The server's certificate chain as it was sent (DER, leaf first).
struct SecPkgContext_RemoteCertificate {
    std::vector<TIdBytes> Chain;
};

SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_StreamSizes& VSizes);
SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_ConnectionInfo& VInfo);
SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_CipherInfo& VInfo);
SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_ApplicationProtocol& VProtocol);
SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_IssuerListInfoEx& VIssuers);
SECURITY_STATUS QueryContextAttributes(const CtxtHandle& AContext, SecPkgContext_RemoteCertificate& VCertificate);

// The largest record a peer may send: 2^14 bytes plus 2048 of expansion,
// after the 5-byte header.
constexpr size_t MaxRecordSize = 5 + 16384 + 2048;

}  // namespace kbvSSPI
