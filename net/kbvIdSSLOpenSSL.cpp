#include "net/kbvIdSSLOpenSSL.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>

#include "core/Format.h"
#include "core/Ticks.h"
#include "net/kbvIdStackLinux.h"

namespace {

// The library calls these from whatever thread drives a session.
std::mutex StatusLock;
std::mutex PasswordLock;
std::mutex VerifyLock;

// errno as it was before a callback ran.
class TErrnoKeeper {
public:
    TErrnoKeeper() : FSaved(errno) {}
    ~TErrnoKeeper() { errno = FSaved; }

private:
    int FSaved;
};

int SocketIndex() {
    static const int Index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return Index;
}

TIdSSLIOHandlerSocketOpenSSL* HandlerOf(const SSL* ASSL) {
    auto* Socket = static_cast<TIdSSLSocket*>(SSL_get_ex_data(ASSL, SocketIndex()));
    return Socket ? static_cast<TIdSSLIOHandlerSocketOpenSSL*>(Socket->Parent()) : nullptr;
}

// --- the socket under TLS ------------------------------------------------------
// OpenSSL's own socket transport writes with write(2), which raises SIGPIPE
// on a closed peer; this one sends with MSG_NOSIGNAL like the plain path.

int SocketOf(BIO* ABio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(ABio))); }

int SocketWrite(BIO* ABio, const char* AData, int ALength) {
    ssize_t Count;
    do
        Count = ::send(SocketOf(ABio), AData, static_cast<size_t>(ALength), MSG_NOSIGNAL);
    while (Count < 0 && errno == EINTR);
    BIO_clear_retry_flags(ABio);
    if (Count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_write(ABio);
    return static_cast<int>(Count);
}

int SocketRead(BIO* ABio, char* AData, int ALength) {
    ssize_t Count;
    do
        Count = ::recv(SocketOf(ABio), AData, static_cast<size_t>(ALength), 0);
    while (Count < 0 && errno == EINTR);
    BIO_clear_retry_flags(ABio);
    if (Count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(ABio);
    return static_cast<int>(Count);
}

long SocketCtrl(BIO* ABio, int ACommand, long, void* APointer) {
    switch (ACommand) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_C_GET_FD:
        if (APointer)
            *static_cast<int*>(APointer) = SocketOf(ABio);
        return SocketOf(ABio);
    default:
        return 0;
    }
}

BIO* NewSocketBIO(int ASocket) {
    static BIO_METHOD* const Method = [] {
        BIO_METHOD* Result = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                          "kbv socket");
        BIO_meth_set_write(Result, SocketWrite);
        BIO_meth_set_read(Result, SocketRead);
        BIO_meth_set_ctrl(Result, SocketCtrl);
        return Result;
    }();
    BIO* Bio = BIO_new(Method);
    if (Bio) {
        BIO_set_data(Bio, reinterpret_cast<void*>(static_cast<intptr_t>(ASocket)));
        BIO_set_init(Bio, 1);
    }
    return Bio;
}

// Why the server's certificate was refused, for the handshake's message.
std::string VerificationFailure(long AResult, const std::string& AHost) {
    if (AResult == X509_V_ERR_HOSTNAME_MISMATCH || AResult == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return Format("The server's certificate is not valid for \"%s\"", AHost.c_str());
    return std::string("Certificate verification failed: ") + X509_verify_cert_error_string(AResult);
}

}  // namespace

// The library's callbacks, turned into the handler's events.
struct TIdSSLCallbacks {
    static void Info(const SSL* ASSL, int AWhere, int ARet) {
        std::lock_guard Guard(StatusLock);
        TErrnoKeeper Keeper;
        TIdSSLIOHandlerSocketOpenSSL* Handler = HandlerOf(ASSL);
        if (!Handler)
            return;
        const std::string State = SSL_state_string_long(ASSL);
        Handler->DoStatusInfo(Format("SSL status: \"%s\"", State.c_str()));
        if (!Handler->FOnStatusInfoEx)
            return;
        auto Outcome = [ARet](const char* ASide) {
            return std::string(ASide) + (ARet < 0 ? " Error" : ARet > 0 ? " Exit" : " Failed");
        };
        std::string Type;
        std::string Message = State;
        switch (AWhere) {
        case SSL_CB_HANDSHAKE_START: Type = "Handshake Start"; break;
        case SSL_CB_HANDSHAKE_DONE: Type = "Handshake Done"; break;
        case SSL_CB_CONNECT_LOOP: Type = "Connect Loop"; break;
        case SSL_CB_CONNECT_EXIT: Type = Outcome("Connect"); break;
        case SSL_CB_ACCEPT_LOOP: Type = "Accept Loop"; break;
        case SSL_CB_ACCEPT_EXIT: Type = Outcome("Accept"); break;
        case SSL_CB_ALERT:
        case SSL_CB_READ_ALERT:
        case SSL_CB_WRITE_ALERT: {
            const char* Pattern = AWhere == SSL_CB_ALERT ? "%s Alert" : AWhere == SSL_CB_READ_ALERT ? "%s Read Alert"
                                                                                                 : "%s Write Alert";
            Type = Format(Pattern, SSL_alert_type_string_long(ARet));
            Message = SSL_alert_desc_string_long(ARet);
            break;
        }
        default: break;
        }
        Handler->DoStatusInfoEx(const_cast<SSL*>(ASSL), AWhere, ARet, Type, Message);
    }

    static int Verify(int AOk, X509_STORE_CTX* AStore) {
        std::lock_guard Guard(VerifyLock);
        TErrnoKeeper Keeper;
        auto* Session = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(AStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
        TIdSSLIOHandlerSocketOpenSSL* Handler = Session ? HandlerOf(Session) : nullptr;
        if (!Handler)
            return AOk;
        const int Error = X509_STORE_CTX_get_error(AStore);
        const int Depth = X509_STORE_CTX_get_error_depth(AStore);
        const int Limit = Handler->SSLContext() ? Handler->SSLContext()->VerifyDepth() : 0;
        bool Accept = false;
        try {
            TIdX509 Certificate(X509_STORE_CTX_get_current_cert(AStore));
            Accept = Handler->DoVerifyPeer(&Certificate, AOk == 1 && (Limit <= 0 || Depth <= Limit), Depth, Error);
        } catch (...) {
            Accept = false;
        }
        if (!Accept && Error == X509_V_OK)
            X509_STORE_CTX_set_error(AStore, X509_V_ERR_APPLICATION_VERIFICATION);
        return Accept ? 1 : 0;
    }

    static int NewSession(SSL* ASSL, SSL_SESSION* ASession) {
        TIdSSLIOHandlerSocketOpenSSL* Handler = HandlerOf(ASSL);
        if (!Handler || !SSL_SESSION_is_resumable(ASession))
            return 0;
        Handler->SaveSession(ASession);
        return 1;  // the handler holds the reference now
    }
};

// --- TIdSSLContext: the password ------------------------------------------------

std::string TIdSSLContext::AskPassword(bool AIsWrite) {
    std::lock_guard Guard(PasswordLock);
    TErrnoKeeper Keeper;
    std::string Password;
    if (FParent) {
        FParent->DoGetPasswordEx(Password, AIsWrite);
        if (Password.empty())
            FParent->DoGetPassword(Password);
    }
    return Password;
}

// --- TIdSSLSocket ---------------------------------------------------------------

TIdSSLSocket::TIdSSLSocket(TIdSSLIOHandlerSocketOpenSSL* AParent, std::shared_ptr<TIdSSLContext> AContext)
    : fParent(AParent), fSSLContext(std::move(AContext)) {}

TIdSSLSocket::~TIdSSLSocket() {
    if (!fSSL)
        return;
    // Sends close_notify when the socket takes it at once; the peer's own is not awaited.
    if (SSL_is_init_finished(fSSL))
        SSL_shutdown(fSSL);
    SSL_free(fSSL);
    ERR_clear_error();
}

TIdX509* TIdSSLSocket::PeerCert() {
    if (!fPeerCert && fSSL)
        if (X509* Cert = SSL_get1_peer_certificate(fSSL)) {
            fPeerCert = std::make_unique<TIdX509>(Cert);
            X509_free(Cert);
        }
    return fPeerCert.get();
}

TIdSSLCipher* TIdSSLSocket::Cipher() {
    if (!fSSLCipher && fSSL)
        if (const SSL_CIPHER* Current = SSL_get_current_cipher(fSSL))
            fSSLCipher = std::make_unique<TIdSSLCipher>(Current);
    return fSSLCipher.get();
}

std::string TIdSSLSocket::ALPNProtocol() const {
    if (!fSSL)
        return "";
    const unsigned char* Data = nullptr;
    unsigned Length = 0;
    SSL_get0_alpn_selected(fSSL, &Data, &Length);
    return Data ? std::string(reinterpret_cast<const char*>(Data), Length) : "";
}

std::string TIdSSLSocket::SSLProtocolVersion() const { return fSSL ? SSL_get_version(fSSL) : ""; }

bool TIdSSLSocket::SessionReused() const { return fSSL && SSL_session_reused(fSSL) == 1; }

// --- TIdSSLIOHandlerSocketOpenSSL ----------------------------------------------

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner), fxSSLOptions(std::make_unique<TIdSSLOptions>()) {}

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
    try {
        if (FOpened)
            Close();
    } catch (...) {
    }
    if (fSSLContext && fSSLContext->Parent() == this)
        fSSLContext->ForgetParent();
}

std::string TIdSSLIOHandlerSocketOpenSSL::ALPNProtocol() const {
    return fSSLSocket ? fSSLSocket->ALPNProtocol() : "";
}

std::string TIdSSLIOHandlerSocketOpenSSL::SSLVersion() const {
    return fSSLSocket ? fSSLSocket->SSLProtocolVersion() : "";
}

void TIdSSLIOHandlerSocketOpenSSL::Init() {
    if (fSSLContext && fSSLContext->Parent() != this)
        return;  // a clone runs on the context of the handler it was made from
    if (fSSLContext)
        fSSLContext->ForgetParent();
    fSSLContext.reset();
    auto Context = std::make_shared<TIdSSLContext>(this, *fxSSLOptions, FALPNProtocols);
    Context->InitContext(FIsPeer);
    SSL_CTX* Raw = Context->Context();
    if (fOnStatusInfo || FOnStatusInfoEx)
        SSL_CTX_set_info_callback(Raw, &TIdSSLCallbacks::Info);
    if (fOnVerifyPeer && !Context->VerifyMode().Empty())
        SSL_CTX_set_verify(Raw, static_cast<int>(Context->VerifyMode().Bits()), &TIdSSLCallbacks::Verify);
    if (Context->Mode() != sslmServer) {
        SSL_CTX_set_session_cache_mode(Raw, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(Raw, &TIdSSLCallbacks::NewSession);
    }
    fSSLContext = std::move(Context);
}

void TIdSSLIOHandlerSocketOpenSSL::ConnectToPeer() {
    try {
        Init();
    } catch (const EIdOSSLCouldNotLoadSSLLibrary&) {
        if (!FPassThrough)
            throw;
    }
    ConnectInPlainText();
    DoBeforeConnect();
    StartSSL();
}

void TIdSSLIOHandlerSocketOpenSSL::StartSSL() {
    if (!FPassThrough)
        OpenEncodedConnection();
}

void TIdSSLIOHandlerSocketOpenSSL::SetPassThrough(bool AValue) {
    if (AValue == FPassThrough)
        return;
    if (!AValue) {
        if (BindingAllocated()) {
            if (!fSSLContext)
                throw EIdOSSLCouldNotLoadSSLLibrary(CouldNotLoadSSLLibraryMessage());
            FPassThrough = false;
            OpenEncodedConnection();
        } else {
            FPassThrough = false;
        }
        return;
    }
    if (fSSLSocket && fSSLSocket->fSSL) {
        if (SSL_shutdown(fSSLSocket->fSSL) == 0)
            SSL_shutdown(fSSLSocket->fSSL);
        ERR_clear_error();
    }
    fSSLSocket.reset();
    if (BindingAllocated())
        SetNonBlocking(false);
    FPassThrough = true;
}

std::string TIdSSLIOHandlerSocketOpenSSL::ServerName() const { return HostToCheck(FURIToCheck, FHost); }

void TIdSSLIOHandlerSocketOpenSSL::OpenEncodedConnection() {
    if (!fSSLContext)
        throw EIdOSSLCouldNotLoadSSLLibrary(CouldNotLoadSSLLibraryMessage());
    try {
        fSSLSocket = std::make_unique<TIdSSLSocket>(this, fSSLContext);
        const TIdSSLMode Mode = fSSLContext->Mode();
        const bool Server = Mode == sslmServer || (Mode != sslmClient && FIsPeer);
        SSL* Session = SSL_new(fSSLContext->Context());
        if (!Session)
            throw EIdOSSLCreatingSessionError();
        fSSLSocket->fSSL = Session;
        if (SSL_set_ex_data(Session, SocketIndex(), fSSLSocket.get()) < 1)
            throw EIdOSSLDataBindingError();
        BIO* Bio = NewSocketBIO(FBinding->Handle());
        if (!Bio)
            throw EIdOSSLFDSetError();
        SSL_set_bio(Session, Bio, Bio);
        SSL_set_read_ahead(Session, 1);
        if (!Server) {
            const std::string Host = ServerName();
            fSSLSocket->fHostName = IsAddress(Host) ? "" : Host;
            // RFC 6066: the server name is a host name, never an address.
            if (!fSSLSocket->fHostName.empty())
                SSL_set_tlsext_host_name(Session, fSSLSocket->fHostName.c_str());
            if (fSSLContext->VerifyMode().Contains(sslvrfPeer) && !Host.empty()) {
                if (IsAddress(Host))
                    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Session), Host.c_str());
                else
                    SSL_set1_host(Session, Host.c_str());
                SSL_set_hostflags(Session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            }
            TIdSSLIOHandlerSocketOpenSSL* Origin = fSSLContext->Parent();
            if (Origin && Origin != this && Origin->fSSLSocket && Origin->fSSLSocket->fSSL)
                SSL_copy_session_id(Session, Origin->fSSLSocket->fSSL);
            else if (FResumeSessions && FSavedSession && FSavedSessionKey == SessionKey())
                SSL_set_session(Session, FSavedSession.get());
        }
        SetNonBlocking(true);
        RunHandshake(Server);
    } catch (...) {
        Close();
        throw;
    }
    FPassThrough = false;
    ReportCipher();
}

std::string TIdSSLIOHandlerSocketOpenSSL::SessionKey() const {
    // Through a proxy the handler's own port is the proxy's: the URI names the server.
    const std::string Server = FURIToCheck.empty() ? FHost + ":" + std::to_string(FPort) : OriginOfURI(FURIToCheck);
    return Server + "|" + fSSLContext->VerificationKey();
}

void TIdSSLIOHandlerSocketOpenSSL::RunHandshake(bool AServer) {
    SSL* Session = fSSLSocket->fSSL;
    const int WaitMS = FReadTimeOut > 0 ? FReadTimeOut : TLSHandshakeWaitDefaultMS;
    const uint64_t Deadline = FConnectTimeout > 0 ? GetTickCount64() + static_cast<uint64_t>(FConnectTimeout) : 0;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int Ret = AServer ? SSL_accept(Session) : SSL_connect(Session);
        if (Ret == 1)
            return;
        const int Kind = SSL_get_error(Session, Ret);
        const int SysError = errno;
        if (Kind == SSL_ERROR_WANT_READ || Kind == SSL_ERROR_WANT_WRITE) {
            int Budget = WaitMS;
            bool ConnectLimit = false;
            if (Deadline != 0) {
                const int Left = MillisecondsUntil(Deadline);
                if (Left <= Budget) {
                    Budget = Left;
                    ConnectLimit = true;
                }
            }
            if (!WaitSocket(Kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, Budget)) {
                if (ConnectLimit)
                    throw EIdConnectTimeout();
                throw EIdReadTimeout();
            }
            continue;
        }
        const long Verified = SSL_get_verify_result(Session);
        const bool Refused = !AServer && fSSLContext->VerifyMode().Contains(sslvrfPeer) && Verified != X509_V_OK;
        try {
            if (AServer)
                RaiseSSLError<EIdOSSLAcceptError>(Kind, Ret, SysError);
            RaiseSSLError<EIdOSSLConnectError>(Kind, Ret, SysError);
        } catch (Exception& E) {
            if (Refused)
                E.SetMessage(E.Message() + "\r\n" + VerificationFailure(Verified, ServerName()));
            throw;
        }
    }
}

bool TIdSSLIOHandlerSocketOpenSSL::WaitSocket(short AEvents, int AMSec) {
    return WaitForSocket(FBinding->Handle(), AEvents, AMSec);
}

void TIdSSLIOHandlerSocketOpenSSL::SetNonBlocking(bool AValue) {
    const int Socket = FBinding->Handle();
    const int Flags = ::fcntl(Socket, F_GETFL);
    if (Flags >= 0)
        ::fcntl(Socket, F_SETFL, AValue ? Flags | O_NONBLOCK : Flags & ~O_NONBLOCK);
}

void TIdSSLIOHandlerSocketOpenSSL::ReportCipher() {
    if (!fOnStatusInfo)
        return;
    if (TIdSSLCipher* Cipher = fSSLSocket->Cipher())
        DoStatusInfo(Format("Cipher: name = %s; description = %s; bits = %d; version = %s; ", Cipher->Name().c_str(),
                            Cipher->Description().c_str(), Cipher->Bits(), Cipher->Version().c_str()));
}

void TIdSSLIOHandlerSocketOpenSSL::SaveSession(SSL_SESSION* ASession) {
    FSavedSession.reset(ASession, SSL_SESSION_free);
    FSavedSessionKey = SessionKey();
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> TIdSSLIOHandlerSocketOpenSSL::Clone() const {
    auto Result = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
    CopySettingsTo(*Result);
    return Result;
}

void TIdSSLIOHandlerSocketOpenSSL::CopySettingsTo(TIdSSLIOHandlerSocketOpenSSL& ADest) const {
    ADest.fxSSLOptions->Assign(*fxSSLOptions);
    ADest.FALPNProtocols.Assign(FALPNProtocols);
    ADest.fOnStatusInfo = fOnStatusInfo;
    ADest.FOnStatusInfoEx = FOnStatusInfoEx;
    ADest.fOnGetPassword = fOnGetPassword;
    ADest.fOnGetPasswordEx = fOnGetPasswordEx;
    ADest.fOnVerifyPeer = fOnVerifyPeer;
    ADest.fOnBeforeConnect = fOnBeforeConnect;
    ADest.FResumeSessions = FResumeSessions;
    ADest.FReadTimeOut = FReadTimeOut;
    ADest.FConnectTimeout = FConnectTimeout;
    ADest.FIPVersion = FIPVersion;
    ADest.FIsPeer = FIsPeer;
    ADest.fSSLContext = fSSLContext;
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
    fSSLSocket.reset();
    if (fSSLContext && fSSLContext->Parent() == this) {
        fSSLContext->ForgetParent();
        fSSLContext.reset();
    }
    TIdIOHandlerStack::Close();
}

bool TIdSSLIOHandlerSocketOpenSSL::Connected() {
    try {
        return TIdIOHandlerStack::Connected();
    } catch (const EIdOpenSSLError&) {
        // A dead idle connection is just not connected; one that broke off
        // in the middle of what it sent is a failure for its reader.
        Close();
        if (!InputBufferIsEmpty())
            throw;
        return false;
    }
}

bool TIdSSLIOHandlerSocketOpenSSL::Readable(int AMSec) {
    if (FPassThrough)
        return TIdIOHandlerStack::Readable(AMSec);
    if (!fSSLSocket || !fSSLSocket->fSSL)
        return false;
    FReadDeadline = AMSec >= 0 ? GetTickCount64() + static_cast<uint64_t>(AMSec) : 0;
    FReadDeadlineSet = true;
    return SSL_has_pending(fSSLSocket->fSSL) == 1 || FBinding->Readable(AMSec);
}

int TIdSSLIOHandlerSocketOpenSSL::RecvEnc(TIdBytes& VBuffer) {
    SSL* Session = fSSLSocket ? fSSLSocket->fSSL : nullptr;
    if (!Session)
        throw EIdNotConnected();
    // The receive may wait as long as the Readable before it had left.
    uint64_t Deadline = FReadDeadline;
    if (!FReadDeadlineSet)
        Deadline = FReadTimeOut > 0 ? GetTickCount64() + static_cast<uint64_t>(FReadTimeOut) : 0;
    FReadDeadlineSet = false;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int Ret = SSL_read(Session, VBuffer.data(), static_cast<int>(VBuffer.size()));
        if (Ret > 0)
            return Ret;
        const int Kind = SSL_get_error(Session, Ret);
        if (Kind == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (Kind == SSL_ERROR_WANT_READ || Kind == SSL_ERROR_WANT_WRITE) {
            // A record without data (a session ticket) or part of one.
            const int Left = Deadline != 0 ? MillisecondsUntil(Deadline) : IdTimeoutInfinite;
            if (!WaitSocket(Kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, Left)) {
                FLastErrorKind = ReadTimedOut;
                return -1;
            }
            continue;
        }
        FLastErrorKind = Kind;
        FLastRet = Ret;
        FLastErrno = errno;
        return -1;
    }
}

int TIdSSLIOHandlerSocketOpenSSL::SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) {
    SSL* Session = fSSLSocket ? fSSLSocket->fSSL : nullptr;
    if (!Session)
        throw EIdNotConnected();
    int Sent = 0;
    while (Sent < ALength) {
        ERR_clear_error();
        errno = 0;
        const int Ret = SSL_write(Session, ABuffer.data() + AOffset + Sent, ALength - Sent);
        if (Ret > 0) {
            Sent += Ret;
            continue;
        }
        const int Kind = SSL_get_error(Session, Ret);
        if (Kind == SSL_ERROR_WANT_READ || Kind == SSL_ERROR_WANT_WRITE) {
            WaitSocket(Kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, IdTimeoutInfinite);  // as a plain send blocks
            continue;
        }
        if (Kind == SSL_ERROR_ZERO_RETURN)
            return Sent;
        FLastErrorKind = Kind;
        FLastRet = Ret;
        FLastErrno = errno;
        return -1;
    }
    return Sent;
}

int TIdSSLIOHandlerSocketOpenSSL::GetSocketErrorCode(int AResult) {
    if (FPassThrough)
        return TIdIOHandlerStack::GetSocketErrorCode(AResult);
    if (FLastErrorKind == ReadTimedOut)
        return Id_WSAETIMEDOUT;
    if (FLastErrorKind == SSL_ERROR_NONE)
        return 0;
    if (FLastErrorKind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && FLastErrno != 0) {
        const int Code = TranslateErrno(FLastErrno);
        if (Code == Id_WSAECONNABORTED || Code == Id_WSAECONNRESET || Code == Id_WSAESHUTDOWN ||
            Code == Id_WSAETIMEDOUT)
            return Code;
        TIdStack::RaiseSocketError(Code);
    }
    RaiseSSLError<EIdOpenSSLAPISSLError>(FLastErrorKind, FLastRet, FLastErrno, "");
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseSocketError(int AErrorCode) {
    if (FPassThrough || AErrorCode == Id_WSAECONNABORTED || AErrorCode == Id_WSAECONNRESET ||
        AErrorCode == Id_WSAESHUTDOWN || FLastErrorKind == ReadTimedOut)
        TIdStack::RaiseSocketError(AErrorCode);
    RaiseSSLError<EIdOpenSSLAPISSLError>(FLastErrorKind, FLastRet, FLastErrno, "");
}

void TIdSSLIOHandlerSocketOpenSSL::DoBeforeConnect() {
    if (fOnBeforeConnect)
        fOnBeforeConnect(this);
}

void TIdSSLIOHandlerSocketOpenSSL::DoStatusInfo(const std::string& AMsg) {
    if (fOnStatusInfo)
        fOnStatusInfo(AMsg);
}

void TIdSSLIOHandlerSocketOpenSSL::DoStatusInfoEx(SSL* ASSL, int AWhere, int ARet, const std::string& AType,
                                                  const std::string& AMsg) {
    if (FOnStatusInfoEx)
        FOnStatusInfoEx(this, ASSL, AWhere, ARet, AType, AMsg);
}

void TIdSSLIOHandlerSocketOpenSSL::DoGetPassword(std::string& VPassword) {
    if (fOnGetPassword)
        fOnGetPassword(VPassword);
}

void TIdSSLIOHandlerSocketOpenSSL::DoGetPasswordEx(std::string& VPassword, bool AIsWrite) {
    if (fOnGetPasswordEx)
        fOnGetPasswordEx(this, VPassword, AIsWrite);
}

bool TIdSSLIOHandlerSocketOpenSSL::DoVerifyPeer(TIdX509* ACertificate, bool AOk, int ADepth, int AError) {
    return fOnVerifyPeer ? fOnVerifyPeer(ACertificate, AOk, ADepth, AError) : true;
}

// --- TkbvIdSSLIOHandlerSocketOpenSSL --------------------------------------------

std::unique_ptr<TIdSSLIOHandlerSocketBase> TkbvIdSSLIOHandlerSocketOpenSSL::Clone() const {
    auto Result = std::make_unique<TkbvIdSSLIOHandlerSocketOpenSSL>();
    CopySettingsTo(*Result);
    return Result;
}

int TkbvIdSSLIOHandlerSocketOpenSSL::RecvEnc(TIdBytes& VBuffer) {
    std::lock_guard Guard(FLock);
    return TIdSSLIOHandlerSocketOpenSSL::RecvEnc(VBuffer);
}

int TkbvIdSSLIOHandlerSocketOpenSSL::SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) {
    std::lock_guard Guard(FLock);
    return TIdSSLIOHandlerSocketOpenSSL::SendEnc(ABuffer, AOffset, ALength);
}

// The TLS handler is what a connection makes for https when given none. The
// build forces this symbol to be linked, so a static program keeps it.
extern "C" {
extern const bool kbvIdSSLOpenSSLRegistered;
const bool kbvIdSSLOpenSSLRegistered = [] {
    TIdIOHandler::RegisterIOHandler<TIdSSLIOHandlerSocketOpenSSL>();
    return true;
}();
}
