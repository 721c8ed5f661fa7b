// TLS in the manner of the Windows security provider ("SChannel"), over the
// SSPI-shaped layer of kbvIdSSPI.h (GnuTLS beneath): a token loop for the
// handshake, a ciphertext buffer with extra and incomplete data, a
// plaintext buffer, renegotiation, and SChannelError with CertStatus for a
// failed start.
//
// Client certificates, asked for only when the server wants one: by SHA-1
// thumbprint (Certificate.CertHash, 40 hex digits) from a store folder, by
// file (Certificate.CertFile, PKCS#12 or PEM, with Certificate.Password),
// or else one of the current user's "MY" store whose chain reaches an
// issuer the server named. The store folders are (see kbvIdCertStore.h):
//
//   current user   $XDG_DATA_HOME/kbvOpenAI/certstores/{MY,Root,Trust,CA}
//                  (default ~/.local/share/kbvOpenAI/certstores/...)
//   local machine  /etc/kbvOpenAI/certstores/{MY,Root,Trust,CA}
//
// With Certificate.VerifyCertificate the server's chain is checked against
// the system's trust store and the "Root" folders, and its name against the
// host (a wildcard only as the whole left-most label); a chain that ends in
// an untrusted root still passes when a registered trust checker accepts it
// (one is built in: a chain holding a certificate of a "Trust" folder).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Persistent.h"
#include "core/StringList.h"
#include "net/kbvIdSSL.h"
#include "net/kbvIdSSPI.h"
#include "net/kbvIdTLSTypes.h"

class TkbvSChannelCertificate : public TPersistent {
public:
    // Of the certificate file (and of PKCS#12 files in store folders).
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string AValue) { FPassword = std::move(AValue); }
    // SHA-1 thumbprint, 40 hexadecimal digits.
    const std::string& CertHash() const { return FCertHash; }
    void SetCertHash(std::string AValue) { FCertHash = std::move(AValue); }
    const std::string& CertFile() const { return FCertFile; }
    void SetCertFile(std::string AValue) { FCertFile = std::move(AValue); }
    TkbvSChannelCertStoreName CertStoreName() const { return FCertStoreName; }
    void SetCertStoreName(TkbvSChannelCertStoreName AValue) { FCertStoreName = AValue; }
    TkbvSChannelCertStorePath CertStorePath() const { return FCertStorePath; }
    void SetCertStorePath(TkbvSChannelCertStorePath AValue) { FCertStorePath = AValue; }
    bool VerifyCertificate() const { return FVerifyCertificate; }
    void SetVerifyCertificate(bool AValue) { FVerifyCertificate = AValue; }

    void Assign(const TPersistent& ASource) override;

private:
    std::string FPassword;
    std::string FCertHash;
    std::string FCertFile;
    TkbvSChannelCertStoreName FCertStoreName = scsnMY;
    TkbvSChannelCertStorePath FCertStorePath = scspStoreCurrentUser;
    bool FVerifyCertificate = false;
};

// What the handshake agreed on: the provider's identifiers and strengths,
// and the library's names.
struct TkbvSChannelConnectionInfo {
    uint32_t Protocol = 0;  // SP_PROT_TLS1_x_CLIENT
    uint32_t Cipher = 0;    // ALG_ID (0: none known, e.g. ChaCha20)
    uint32_t CipherStrength = 0;
    uint32_t Hash = 0;
    uint32_t HashStrength = 0;
    uint32_t Exchange = 0;
    uint32_t ExchangeStrength = 0;
    std::string ProtocolName;  // "TLSv1.3", as the OpenSSL handler names it
    std::string CipherName;
    std::string HashName;
    std::string ExchangeName;
    std::string Description;  // the whole suite, e.g. "(TLS1.3)-(ECDHE-SECP256R1)-..."
};

// A failed start: "SChannel initialization error: " and the reason.
class SChannelError : public Exception {
public:
    SChannelError(const std::string& AText, uint32_t ACertStatus)
        : Exception("SChannel initialization error: " + AText), FCertStatus(ACertStatus) {}
    uint32_t CertStatus() const { return FCertStatus; }

private:
    uint32_t FCertStatus;
};

// A TLS stream that broke after the start: a record that did not decrypt
// or parse, or a peer that closed the connection without ending TLS.
class EkbvSChannelStreamError : public EIdException {
public:
    using EIdException::EIdException;
};

class EkbvSChannelUnexpectedEOF : public EkbvSChannelStreamError {
public:
    EkbvSChannelUnexpectedEOF() : EkbvSChannelStreamError("The peer closed the connection without a close notification") {}
};

// Asked, when the server wants a client certificate and neither CertHash
// nor CertFile is set, with the issuers the server named (their names as
// text); it may set CertHash or CertFile. Otherwise a certificate of the
// "MY" store is chosen by those issuers.
using TkbvSChannelCredentialsEvent =
    std::function<void(TObject* ASender, const TStringList& AIssuers, TkbvSChannelCertificate& VCertificate)>;

// Accepts (true) a chain (DER, leaf first) that ends in an untrusted root.
using TkbvSChannelTrustChecker = std::function<bool(const std::vector<TIdBytes>& AChain, const std::string& AHost)>;
// Returns a key for UnregisterSChannelTrustChecker.
int RegisterSChannelTrustChecker(TkbvSChannelTrustChecker AChecker);
void UnregisterSChannelTrustChecker(int AKey);

// The cipher names CipherList takes ("CALG_AES_256" or "AES_256", any
// case) and their algorithm identifiers; 0 for an unknown name.
uint32_t SChannelAlgorithmOfName(const std::string& AName);

// Whether a certificate name (a DNS name, possibly "*.example.com") covers
// AHost: a wildcard stands for exactly one whole left-most label.
bool CertificateNameMatches(const std::string& APattern, const std::string& AHost);

struct TkbvSChannelState;

class TkbvIdSSLIOHandlerSocketSChannel : public TIdSSLIOHandlerSocketBase {
public:
    explicit TkbvIdSSLIOHandlerSocketSChannel(TComponent* AOwner = nullptr);
    ~TkbvIdSSLIOHandlerSocketSChannel() override;

    // The versions offered: tlsUndefined all the library has, any other
    // exactly that one.
    TwsTLSVersions TLSVersion() const { return FTLSVersion; }
    void SetTLSVersion(TwsTLSVersions AValue) { FTLSVersion = AValue; }
    TkbvSChannelCertificate& Certificate() { return *FCertificate; }
    const TkbvSChannelCertificate& Certificate() const { return *FCertificate; }
    void SetCertificate(const TkbvSChannelCertificate& AValue) { FCertificate->Assign(AValue); }
    // Algorithm names separated by ":"; names without an identifier are skipped.
    const std::string& CipherList() const { return FCipherList; }
    void SetCipherList(std::string AValue) { FCipherList = std::move(AValue); }
    TStringList& ALPNProtocols() { return FALPNProtocols; }
    const TStringList& ALPNProtocols() const { return FALPNProtocols; }
    void SetALPNProtocols(const TStringList& AValue) { FALPNProtocols.Assign(AValue); }
    // The protocol the server chose ("" when none or without TLS).
    std::string ALPNProtocol() const;
    // Of the running TLS connection (all empty without one).
    TkbvSChannelConnectionInfo Info() const;
    void SetOnCredentials(TkbvSChannelCredentialsEvent AValue) { FOnCredentials = std::move(AValue); }

    void SetPassThrough(bool AValue) override;
    void StartSSL() override;
    std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const override;
    void Close() override;
    bool Connected() override;
    bool Readable(int AMSec = IdTimeoutDefault) override;

protected:
    void ConnectToPeer() override;
    int RecvEnc(TIdBytes& VBuffer) override;
    int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) override;
    int GetSocketErrorCode(int AResult) override;
    [[noreturn]] void RaiseSocketError(int AErrorCode) override;

private:
    friend struct TkbvSChannelHandshake;
    // The handshake and the checks after it; raises SChannelError, or a
    // time-out, and leaves no state behind when it fails.
    void OpenEncodedConnection();
    // Decrypts until plaintext is waiting: 1, 0 when ADeadline (a tick
    // count, 0: none) passed first, -1 when the stream failed or ended.
    int DecryptUntilPlain(uint64_t ADeadline);
    // Waits for the socket until ADeadline; false when it passed.
    bool WaitReadable(uint64_t ADeadline);
    void ReleaseState();

    // How the last receive or send failed.
    enum class TFailure { None, TimedOut, Closed, EndOfFile, Socket, Broken };

    TwsTLSVersions FTLSVersion = tls1_0;
    std::unique_ptr<TkbvSChannelCertificate> FCertificate;
    std::string FCipherList;
    TStringList FALPNProtocols;
    TkbvSChannelCredentialsEvent FOnCredentials;
    std::unique_ptr<TkbvSChannelState> FState;
    TFailure FFailure = TFailure::None;
    int FFailureErrno = 0;
    std::string FFailureText;
    // Set by Readable: until when the receive that follows may wait.
    uint64_t FReadDeadline = 0;
    bool FReadDeadlineSet = false;
};
