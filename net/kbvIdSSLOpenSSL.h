// TLS over OpenSSL: the options a connection is secured with, one OpenSSL
// context per connection, the session on the socket, and the IO handler
// that runs it. The socket is connected in plain text (so name resolution
// and any proxy run first); then the handshake starts, bounded by the
// handler's time-outs like every read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/EnumSet.h"
#include "core/Persistent.h"
#include "core/StringList.h"
#include "net/kbvIdSSL.h"
#include "net/kbvIdSSLOpenSSLHeaders.h"
#include "net/kbvIdSSLOpenSSL_Errors.h"
#include "net/kbvIdSSLOpenSSL_X509.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

enum TIdSSLVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3 };
using TIdSSLVersions = TEnumSet<TIdSSLVersion>;
enum TIdSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum TIdSSLVerifyModeFlag { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };
using TIdSSLVerifyMode = TEnumSet<TIdSSLVerifyModeFlag>;

// Every version but sslvSSLv23 (the set value 125).
constexpr TIdSSLVersions AllSSLVersions = TIdSSLVersions::FromBits(125);

class TIdSSLOptions : public TPersistent {
public:
    const std::string& RootCertFile() const { return fsRootCertFile; }
    void SetRootCertFile(std::string AValue) { fsRootCertFile = std::move(AValue); }
    // A ".p12" or ".pfx" file is read as PKCS#12, anything else as PEM.
    const std::string& CertFile() const { return fsCertFile; }
    void SetCertFile(std::string AValue) { fsCertFile = std::move(AValue); }
    const std::string& KeyFile() const { return fsKeyFile; }
    void SetKeyFile(std::string AValue) { fsKeyFile = std::move(AValue); }
    const std::string& DHParamsFile() const { return fsDHParamsFile; }
    void SetDHParamsFile(std::string AValue) { fsDHParamsFile = std::move(AValue); }
    // sslvSSLv23 allows every version; any other method that one alone.
    TIdSSLVersion Method() const { return fMethod; }
    void SetMethod(TIdSSLVersion AValue);
    // A single version sets Method to it; several set Method to sslvSSLv23.
    TIdSSLVersions SSLVersions() const { return fSSLVersions; }
    void SetSSLVersions(TIdSSLVersions AValue);
    TIdSSLMode Mode() const { return fMode; }
    void SetMode(TIdSSLMode AValue) { fMode = AValue; }
    // The most intermediate certificates a chain may hold; 0 or less leaves
    // the library's limit.
    int VerifyDepth() const { return fVerifyDepth; }
    void SetVerifyDepth(int AValue) { fVerifyDepth = AValue; }
    // With sslvrfPeer the server's chain is checked against the system's
    // trust store (plus RootCertFile and VerifyDirs), and its name against
    // the host connected to.
    TIdSSLVerifyMode VerifyMode() const { return fVerifyMode; }
    void SetVerifyMode(TIdSSLVerifyMode AValue) { fVerifyMode = AValue; }
    const std::string& VerifyDirs() const { return fVerifyDirs; }
    void SetVerifyDirs(std::string AValue) { fVerifyDirs = std::move(AValue); }
    const std::string& CipherList() const { return fCipherList; }
    void SetCipherList(std::string AValue) { fCipherList = std::move(AValue); }

    void Assign(const TPersistent& ASource) override;

private:
    std::string fsRootCertFile;
    std::string fsCertFile;
    std::string fsKeyFile;
    std::string fsDHParamsFile;
    TIdSSLVersion fMethod = sslvTLSv1;
    TIdSSLVersions fSSLVersions{sslvTLSv1};
    TIdSSLMode fMode = sslmUnassigned;
    int fVerifyDepth = 0;
    TIdSSLVerifyMode fVerifyMode;
    std::string fVerifyDirs;
    std::string fCipherList;
};

class TIdSSLIOHandlerSocketOpenSSL;

// One OpenSSL context, set up from a copy of the options. The handler that
// made it is its Parent; clones of that handler share it.
class TIdSSLContext : public TObject {
public:
    explicit TIdSSLContext(TIdSSLIOHandlerSocketOpenSSL* AParent, const TIdSSLOptions& AOptions,
                           const TStringList& AALPNProtocols);
    ~TIdSSLContext() override;
    TIdSSLContext(const TIdSSLContext&) = delete;
    TIdSSLContext& operator=(const TIdSSLContext&) = delete;

    // Makes the OpenSSL context for the mode (an unassigned one becomes
    // AServer ? sslmServer : sslmClient) and loads certificates and keys.
    void InitContext(bool AServer);

    SSL_CTX* Context() const { return fContext; }
    TIdSSLMode Mode() const { return fMode; }
    TIdSSLVerifyMode VerifyMode() const { return fVerifyMode; }
    int VerifyDepth() const { return fVerifyDepth; }
    TIdSSLIOHandlerSocketOpenSSL* Parent() const { return FParent; }
    void ForgetParent() { FParent = nullptr; }
    // What a resumed session must have been verified with.
    std::string VerificationKey() const;

private:
    void SetProtocolVersions();
    void LoadTrustAndCertificates();
    void LoadPKCS12(const std::string& AFile, bool ACertificate);
    void SetALPN();
    std::string AskPassword(bool AIsWrite);
    static int PasswordCallback(char* ABuffer, int ASize, int ARWFlag, void* AUserData);

    TIdSSLVersion fMethod;
    TIdSSLVersions fSSLVersions;
    TIdSSLMode fMode;
    std::string fsRootCertFile, fsCertFile, fsKeyFile, fsDHParamsFile;
    int fVerifyDepth;
    TIdSSLVerifyMode fVerifyMode;
    std::string fVerifyDirs;
    std::string fCipherList;
    SSL_CTX* fContext = nullptr;
    TStringList FALPNProtocols;
    TIdSSLIOHandlerSocketOpenSSL* FParent;
};

// One TLS session over a socket.
class TIdSSLSocket : public TObject {
public:
    TIdSSLSocket(TIdSSLIOHandlerSocketOpenSSL* AParent, std::shared_ptr<TIdSSLContext> AContext);
    ~TIdSSLSocket() override;  // SSL_shutdown once, then frees the session
    TIdSSLSocket(const TIdSSLSocket&) = delete;
    TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

    SSL* Session() const { return fSSL; }
    TIdSSLIOHandlerSocketOpenSSL* Parent() const { return fParent; }
    // The name sent in the server-name extension ("" for an address).
    const std::string& HostName() const { return fHostName; }
    // The certificate the peer presented (null without one).
    TIdX509* PeerCert();
    TIdSSLCipher* Cipher();
    std::string ALPNProtocol() const;
    std::string SSLProtocolVersion() const;  // "TLSv1.3", ...
    bool SessionReused() const;

private:
    friend class TIdSSLIOHandlerSocketOpenSSL;
    TIdSSLIOHandlerSocketOpenSSL* fParent;
    std::shared_ptr<TIdSSLContext> fSSLContext;
    SSL* fSSL = nullptr;
    std::string fHostName;
    std::unique_ptr<TIdX509> fPeerCert;
    std::unique_ptr<TIdSSLCipher> fSSLCipher;
};

using TCallbackEvent = std::function<void(const std::string& AMsg)>;
using TCallbackExEvent = std::function<void(TObject* ASender, SSL* AsslSocket, int AWhere, int Aret,
                                            const std::string& AType, const std::string& AMsg)>;
using TPasswordEvent = std::function<void(std::string& VPassword)>;
using TPasswordEventEx = std::function<void(TObject* ASender, std::string& VPassword, bool AIsWrite)>;
// AOk arrives preset: the chain checked out at this depth (and within VerifyDepth).
using TVerifyPeerEvent = std::function<bool(TIdX509* ACertificate, bool AOk, int ADepth, int AError)>;

class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase {
public:
    explicit TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner = nullptr);
    ~TIdSSLIOHandlerSocketOpenSSL() override;

    TIdSSLOptions& SSLOptions() { return *fxSSLOptions; }
    const TIdSSLOptions& SSLOptions() const { return *fxSSLOptions; }
    void SetSSLOptions(const TIdSSLOptions& AValue) { fxSSLOptions->Assign(AValue); }
    // Protocol names offered in the handshake, in order of preference.
    TStringList& ALPNProtocols() { return FALPNProtocols; }
    const TStringList& ALPNProtocols() const { return FALPNProtocols; }
    // The protocol the server chose ("" when none).
    std::string ALPNProtocol() const;
    // The session's protocol version ("" without a session).
    std::string SSLVersion() const;
    TIdSSLSocket* SSLSocket() const { return fSSLSocket.get(); }
    TIdSSLContext* SSLContext() const { return fSSLContext.get(); }
    // A session of an earlier connection to the same server (with the same
    // verification) is offered again, so the handshake can be shortened.
    bool ResumeSessions() const { return FResumeSessions; }
    void SetResumeSessions(bool AValue) { FResumeSessions = AValue; }

    void SetPassThrough(bool AValue) override;
    void StartSSL() override;
    std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const override;
    void Close() override;
    // A peer that ended TLS, vanished or broke it counts as disconnected;
    // when it broke off with received data still unread, the failure raises.
    bool Connected() override;
    bool Readable(int AMSec = IdTimeoutDefault) override;

    void SetOnStatusInfo(TCallbackEvent AValue) { fOnStatusInfo = std::move(AValue); }
    void SetOnStatusInfoEx(TCallbackExEvent AValue) { FOnStatusInfoEx = std::move(AValue); }
    void SetOnGetPassword(TPasswordEvent AValue) { fOnGetPassword = std::move(AValue); }
    void SetOnGetPasswordEx(TPasswordEventEx AValue) { fOnGetPasswordEx = std::move(AValue); }
    void SetOnVerifyPeer(TVerifyPeerEvent AValue) { fOnVerifyPeer = std::move(AValue); }
    void SetOnBeforeConnect(std::function<void(TIdSSLIOHandlerSocketOpenSSL*)> AValue) {
        fOnBeforeConnect = std::move(AValue);
    }

protected:
    void ConnectToPeer() override;
    int RecvEnc(TIdBytes& VBuffer) override;
    int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) override;
    int GetSocketErrorCode(int AResult) override;
    [[noreturn]] void RaiseSocketError(int AErrorCode) override;

    virtual void DoBeforeConnect();
    virtual void DoStatusInfo(const std::string& AMsg);
    virtual void DoStatusInfoEx(SSL* ASSL, int AWhere, int ARet, const std::string& AType, const std::string& AMsg);
    virtual void DoGetPassword(std::string& VPassword);
    virtual void DoGetPasswordEx(std::string& VPassword, bool AIsWrite);
    virtual bool DoVerifyPeer(TIdX509* ACertificate, bool AOk, int ADepth, int AError);
    // Makes the session on the connected socket and runs the handshake.
    virtual void OpenEncodedConnection();
    // Options, protocols, events, time-outs and the context, for Clone.
    void CopySettingsTo(TIdSSLIOHandlerSocketOpenSSL& ADest) const;

private:
    friend class TIdSSLContext;
    friend struct TIdSSLCallbacks;
    // Makes this handler's own context (a clone keeps its parent's).
    void Init();
    // The name the server's certificate must carry and that is sent to it.
    std::string ServerName() const;
    // Drives a handshake step until done; each wait for the peer is bounded.
    void RunHandshake(bool AServer);
    // Waits until the socket can be read (AEvents POLLIN) or written
    // (POLLOUT); false when AMSec ran out (-2: forever).
    bool WaitSocket(short AEvents, int AMSec);
    void SetNonBlocking(bool AValue);
    void ReportCipher();
    void SaveSession(SSL_SESSION* ASession);
    // The server, port and verification a saved session belongs to.
    std::string SessionKey() const;

    // FLastErrorKind of a receive whose wait ran out.
    static constexpr int ReadTimedOut = -1;

    std::shared_ptr<TIdSSLContext> fSSLContext;
    std::unique_ptr<TIdSSLOptions> fxSSLOptions;
    std::unique_ptr<TIdSSLSocket> fSSLSocket;
    TStringList FALPNProtocols;
    TCallbackEvent fOnStatusInfo;
    TCallbackExEvent FOnStatusInfoEx;
    TPasswordEvent fOnGetPassword;
    TPasswordEventEx fOnGetPasswordEx;
    TVerifyPeerEvent fOnVerifyPeer;
    std::function<void(TIdSSLIOHandlerSocketOpenSSL*)> fOnBeforeConnect;
    bool FResumeSessions = true;
    // The last session offered by the server, and what it is valid for.
    std::shared_ptr<SSL_SESSION> FSavedSession;
    std::string FSavedSessionKey;
    // The failed TLS call of the last receive or send: error kind, result, errno.
    int FLastErrorKind = 0;
    int FLastRet = 0;
    int FLastErrno = 0;
    // Set by Readable: until when the receive that follows may wait (0: forever).
    uint64_t FReadDeadline = 0;
    bool FReadDeadlineSet = false;
};

// The handler for a component that reads and writes from two threads: each
// TLS receive and send holds the handler's lock.
class TkbvIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketOpenSSL {
public:
    using TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL;
    std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const override;

protected:
    int RecvEnc(TIdBytes& VBuffer) override;
    int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) override;

private:
    std::mutex FLock;
};
