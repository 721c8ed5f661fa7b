#include "httpapi/kbvHTTP_Client.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/Format.h"
#include "core/Text.h"
#include "core/Ticks.h"
#include "net/kbvIdConnectThroughHttpProxy.h"
#include "net/kbvIdSSLOpenSSL.h"
#include "net/kbvIdSSLSChannel.h"
#include "net/kbvIdSocks.h"

namespace {

// The handler's cancel: a quiet end of the event stream.
class EkbvSSECancelled : public EIdSilentException {
public:
    EkbvSSECancelled() : EIdSilentException("The event stream was cancelled") {}
};

std::string ExecutableFolder() {
    std::error_code Error;
    const std::filesystem::path Program = std::filesystem::read_symlink("/proc/self/exe", Error);
    return Error ? "" : Program.parent_path().string();
}

}  // namespace

TkbvIdHTTP::TkbvIdHTTP(TComponent* AOwner)
    : TIdHTTP(AOwner),
      FLogOptions(std::make_unique<TkbvHttpLogFile>()),
      FTLSOptions(std::make_unique<TkbvIdHTTPTLS_Options>()),
      FAuthentication(std::make_unique<TkbvIdHTTPAuthentication_Options>()),
      FProxy(std::make_unique<TkbvHTTPProxy_Options>()) {
    Request().SetUserAgent(std::string("Mozilla/5.0 (kbvWebSockets ") + kbvLibraryVersion + ")");
}

TkbvIdHTTP::~TkbvIdHTTP() {
    try {
        Disconnect();
    } catch (...) {
    }
    DetachLog();
    // The children (TLS handler, proxy handler and objects) go with the
    // component; the references to them must not outlive it.
    DestroyComponents();
}

void TkbvIdHTTP::SetLog(bool AValue) {
    if (FLog && !AValue)
        DetachLog();
    FLog = AValue;
}

void TkbvIdHTTP::SetAuthToken(const std::string& AToken, const std::string& ATokenType, TDateTime AExpiry) {
    std::lock_guard Guard(FTokenLock);
    FAuthToken = AToken;
    FAuthTokenType = ATokenType;
    FAuthTokenExpiry = AExpiry;
}

void TkbvIdHTTP::RunRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                            TStream* AResponseContent, const TIdReplyCodes& AIgnoreReplies) {
    DoBeforeRequestToken();
    if (FLog)
        AttachLog();
    else
        DetachLog();
    if (TextIsSame(std::string_view(AURL).substr(0, 5), "HTTPS")) {
        EnsureTLSHandler();
        if (FProxy->Enabled())
            SetUpProxy(true);
    } else {
        DropIOHandler();
        if (FProxy->Enabled())
            SetUpProxy(false);
    }
    TIdHTTP::RunRequest(AMethod, AURL, ASource, AResponseContent, AIgnoreReplies);
}

void TkbvIdHTTP::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove) {
        if (AComponent == FTLSHandler)
            FTLSHandler = nullptr;
        if (AComponent == FProxyIOHandler)
            FProxyIOHandler = nullptr;
        if (AComponent == FProxyHTTP)
            FProxyHTTP = nullptr;
        if (AComponent == FProxySocks)
            FProxySocks = nullptr;
    }
    TIdHTTP::Notification(AComponent, Operation);
}

// --- logging ------------------------------------------------------------------

void TkbvIdHTTP::AttachLog() {
    if (FLogIntercept)
        return;
    auto Log = std::make_unique<TkbvIdLogFileClient>();
    Log->SetFilename(FLogOptions->FileName());
    Log->SetReplaceCRLF(false);
    Log->SetActive(true);  // a file that cannot be opened stops the request here
    SetIntercept(Log.get());
    FLogIntercept = std::move(Log);
}

void TkbvIdHTTP::DetachLog() {
    if (!FLogIntercept)
        return;
    if (IOHandler() && IOHandler()->Intercept() == FLogIntercept.get())
        IOHandler()->SetIntercept(nullptr);
    SetIntercept(nullptr);
    FLogIntercept.reset();
}

// --- transport -------------------------------------------------------------------

void TkbvIdHTTP::DropIOHandler() {
    TIdIOHandler* Current = IOHandler();
    if (!Current)
        return;
    const bool Ours = !ManagedIOHandler() && Current->Owner() == this;
    SetIOHandler(nullptr);  // frees a handler the connection made itself
    if (Ours)
        delete Current;     // the notification clears FTLSHandler or FProxyIOHandler
}

void TkbvIdHTTP::EnsureTLSHandler() {
    if (!FTLSHandler) {
        if (FTLSOptions->IOHandler() == iohSChannel)
            MakeSChannelHandler();
        else
            MakeOpenSSLHandler();
    }
    if (IOHandler() != FTLSHandler)
        SetIOHandler(FTLSHandler);
}

// The OpenSSL options, RootCertFile and KeyFile do not apply: trust comes
// from the system and the store folders, the key with its certificate.
void TkbvIdHTTP::MakeSChannelHandler() {
    auto* Handler = new TkbvIdSSLIOHandlerSocketSChannel(this);
    FTLSHandler = Handler;
    FreeNotification(Handler);
    Handler->SetPassThrough(false);
    const TkbvSChannel_Options& SChannel = FTLSOptions->SChannel_Options();
    Handler->SetTLSVersion(FTLSOptions->Version());
    TkbvSChannelCertificate& Certificate = Handler->Certificate();
    Certificate.SetVerifyCertificate(FTLSOptions->VerifyCertificate());
    Certificate.SetCertHash(SChannel.CertHash());
    Certificate.SetCertStorePath(SChannel.CertStorePath());
    Certificate.SetCertStoreName(SChannel.CertStoreName());
    Handler->SetCipherList(SChannel.CipherList());
    Certificate.SetCertFile(FTLSOptions->CertFile());
    Certificate.SetPassword(FTLSOptions->Password());
    Handler->ALPNProtocols().Assign(FTLSOptions->ALPNProtocols());
}

void TkbvIdHTTP::MakeOpenSSLHandler() {
    auto* Handler = new TIdSSLIOHandlerSocketOpenSSL(this);
    FTLSHandler = Handler;
    FreeNotification(Handler);
    Handler->SetPassThrough(false);
    static constexpr TIdOpenSSLAPIGeneration Generations[] = {osgAPI_1_0, osgAPI_1_1, osgAPI_3_0};
    const TkbvOpenSSL_Options& Library = FTLSOptions->OpenSSL_Options();
    IdOpenSSLSetAPIGeneration(Generations[Library.APIVersion()]);
    if (Library.LibPath() == oslpDefaultFolder)
        IdOpenSSLSetLibPath(ExecutableFolder());
    else if (Library.LibPath() == oslpCustomPath)
        IdOpenSSLSetLibPath(Library.LibPathCustom());

    TIdSSLOptions& SSL = Handler->SSLOptions();
    static constexpr TIdSSLVersion Methods[] = {sslvSSLv23, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3};
    if (FTLSOptions->Version() == tlsUndefined)
        SSL.SetSSLVersions({sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3});
    else
        SSL.SetMethod(Methods[FTLSOptions->Version()]);
    Handler->ALPNProtocols().Assign(FTLSOptions->ALPNProtocols());
    SSL.SetMode(sslmClient);
    SSL.SetRootCertFile(FTLSOptions->RootCertFile());
    SSL.SetCertFile(FTLSOptions->CertFile());
    SSL.SetKeyFile(FTLSOptions->KeyFile());
    SSL.SetVerifyMode(FTLSOptions->VerifyCertificate() ? TIdSSLVerifyMode{sslvrfPeer} : TIdSSLVerifyMode{});
    Handler->SetOnGetPassword([this](std::string& VPassword) { VPassword = DoGetTLSPassword(); });
}

void TkbvIdHTTP::SetUpProxy(bool ATLS) {
    TIdIOHandlerSocket* Handler = FTLSHandler;
    if (!ATLS) {
        if (!FProxyIOHandler) {
            FProxyIOHandler = new TIdIOHandlerStack(this);
            FreeNotification(FProxyIOHandler);
        }
        Handler = FProxyIOHandler;
    }
    if (IOHandler() != Handler)
        SetIOHandler(Handler);
    const uint16_t Port = static_cast<uint16_t>(FProxy->Port());
    if (FProxy->ProxyType() == pxyHTTP) {
        if (!FProxyHTTP) {
            FProxyHTTP = new TIdConnectThroughHttpProxy(this);
            FreeNotification(FProxyHTTP);
        }
        FProxyHTTP->SetHost(FProxy->Host());
        FProxyHTTP->SetPort(Port);
        FProxyHTTP->SetUsername(FProxy->Username());
        FProxyHTTP->SetPassword(FProxy->Password());
        FProxyHTTP->SetEnabled(FProxy->Enabled());
        Handler->SetTransparentProxy(FProxyHTTP);
        delete FProxySocks;  // the notification clears the reference
    } else {
        if (!FProxySocks) {
            FProxySocks = new TIdSocksInfo(this);
            FreeNotification(FProxySocks);
        }
        FProxySocks->SetHost(FProxy->Host());
        FProxySocks->SetPort(Port);
        FProxySocks->SetAuthentication(FProxy->Username().empty() ? saNoAuthentication : saUsernamePassword);
        FProxySocks->SetUsername(FProxy->Username());
        FProxySocks->SetPassword(FProxy->Password());
        static constexpr TSocksVersion Versions[] = {svNoSocks, svSocks4, svSocks4A, svSocks5};
        FProxySocks->SetVersion(Versions[FProxy->ProxyType()]);
        Handler->SetTransparentProxy(FProxySocks);
        delete FProxyHTTP;
    }
    if (ATLS && FTLSOptions->VerifyCertificate())
        FTLSHandler->SetURIToCheck("http://" + Request().Host());
}

// --- token ------------------------------------------------------------------------

std::string TkbvIdHTTP::DoGetTLSPassword() { return FTLSOptions->Password(); }

void TkbvIdHTTP::DoAuthToken(const std::string& ATokenType, const std::string& AToken) {
    TDateTime Expiry = 0;
    if (TkbvHTTPComponentClient_JWT* JWT = FAuthentication->Token().JWT(); JWT && !AToken.empty())
        Expiry = Now() + JWT->RefreshAfter() / 86400.0;
    std::lock_guard Guard(FTokenLock);
    FAuthTokenType = ATokenType;
    FAuthToken = AToken;
    if (Expiry != 0)
        FAuthTokenExpiry = Expiry;
}

void TkbvIdHTTP::DoAuthTokenError(const std::string& AError, const std::string& ADescription) {
    throw EIdException(Format("Error %s. %s", AError.c_str(), ADescription.c_str()));
}

void TkbvIdHTTP::DoBeforeRequestToken() {
    TkbvHTTPAuthentication_Token& Token = FAuthentication->Token();
    TkbvHTTPTokenProvider* Provider = Token.OAuth();
    if (!Provider)
        Provider = Token.JWT();
    if (!Provider)
        return;
    std::string AuthToken;
    std::string AuthTokenType;
    {
        std::lock_guard Guard(FTokenLock);
        if (Token.JWT() && Now() > FAuthTokenExpiry)
            FAuthToken.clear();
        AuthToken = FAuthToken;
    }
    if (AuthToken.empty()) {
        Provider->SetOnToken([this](const std::string& AType, const std::string& AValue) { DoAuthToken(AType, AValue); });
        Provider->SetOnTokenError(
            [this](const std::string& AError, const std::string& ADescription) { DoAuthTokenError(AError, ADescription); });
        const uint64_t Start = GetTickCount64();
        Provider->Start();
        for (;;) {
            {
                std::lock_guard Guard(FTokenLock);
                AuthToken = FAuthToken;
            }
            if (!AuthToken.empty() || GetTickCount64() - Start >= static_cast<uint64_t>(Token.ReadTimeout()))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (AuthToken.empty())
        return;  // no token in time: the request goes without one
    {
        std::lock_guard Guard(FTokenLock);
        AuthToken = FAuthToken;
        AuthTokenType = FAuthTokenType;
    }
    TIdHeaderList& Headers = Request().CustomHeaders();
    for (int I = Headers.Count() - 1; I >= 0; --I)
        if (LowerCase(Headers.Strings(I).substr(0, 13)) == "authorization")
            Headers.Delete(I);
    Headers.Add("Authorization: " + AuthTokenType + " " + AuthToken);
}

// --- server-sent events ------------------------------------------------------------

void TkbvIdHTTP::GetSSE(const std::string& AURL, const std::string& ACharset) {
    try {
        ReceiveEvents(ACharset, [&](TStream* AEvents) { Get(AURL, AEvents); });
    } catch (const EIdSilentException&) {
        // the server's close at the end of the stream
    }
}

void TkbvIdHTTP::PostSSE(const std::string& AURL, TStream* ASource, const std::string& ACharset) {
    ReceiveEvents(ACharset, [&](TStream* AEvents) { Post(AURL, ASource, AEvents); });
}

void TkbvIdHTTP::ReceiveEvents(const std::string& ACharset, const std::function<void(TStream*)>& ARequest) {
    Request().SetAccept(ACharset.empty() ? "text/event-stream" : "text/event-stream;charset=UTF-8");
    Request().SetCacheControl("no-store");
    if (!FEventStream) {
        FEventStream = std::make_unique<TIdEventStream>();
        FEventStream->SetOnWrite([this](std::string_view AData) { DoSSEWrite(AData); });
    }
    FSSEParser = std::make_unique<TkbvSSEParser>([this](const std::string& AData) {
        bool Cancel = false;
        if (FOnSSEMessage)
            FOnSSEMessage(this, AData, Cancel);
        if (Cancel) {
            Disconnect();
            throw EkbvSSECancelled();
        }
    });
    try {
        ARequest(FEventStream.get());
    } catch (const EkbvSSECancelled&) {
        // the handler's cancel
    }
}

void TkbvIdHTTP::DoSSEWrite(std::string_view AData) {
    if (FSSEParser)
        FSSEParser->Feed(AData);
}
