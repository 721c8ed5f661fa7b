#include "http/kbvIdHTTP.h"

#include <algorithm>

#include "core/Format.h"
#include "core/Text.h"
#include "http/kbvIdAuthenticationManager.h"
#include "http/kbvIdCookieManager.h"
#include "http/kbvIdZLibCompressorBase.h"
#include "net/kbvIdSSLOpenSSL_Errors.h"
#include "net/kbvIdSSLSChannel.h"
#include "net/kbvIdStack.h"

const char* const ProtocolVersionString[2] = {"1.0", "1.1"};

namespace {

bool IsInCodes(int ACode, const TIdReplyCodes& ACodes) {
    return std::find(ACodes.begin(), ACodes.end(), ACode) != ACodes.end();
}

// RFC 9110 token characters: what a method or a header name may hold.
bool IsToken(std::string_view AText) {
    static constexpr std::string_view Marks = "!#$%&'*+-.^_`|~";
    return !AText.empty() && std::all_of(AText.begin(), AText.end(), [](char C) {
        return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') ||
               Marks.find(C) != std::string_view::npos;
    });
}

// CR, LF or NUL would end a line of the request, or the request, early.
bool HoldsLineBreak(std::string_view AText) {
    return AText.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A space cannot stand in a request target; everything else goes as given.
std::string EncodeSpaces(const std::string& ATarget) {
    std::string Result;
    for (char C : ATarget)
        Result += C == ' ' ? std::string("%20") : std::string(1, C);
    return Result;
}

// Scheme, host and port: what a credential is bound to.
std::string OriginOf(TIdURI& AURI) {
    return LowerCase(AURI.Protocol()) + "://" + LowerCase(AURI.Host()) + ":" + AURI.Port();
}

bool IsHTTPScheme(std::string_view AProtocol) { return TextIsSame(AProtocol, "http") || TextIsSame(AProtocol, "https"); }

// A failure that shows a kept-alive connection was closed by the server
// while it lay idle: closed or reset before any byte of the answer.
bool IsStaleConnectionError(const std::exception& AError) {
    if (dynamic_cast<const EIdConnClosedGracefully*>(&AError) || dynamic_cast<const EIdClosedSocket*>(&AError) ||
        dynamic_cast<const EIdOSSLUnexpectedEOF*>(&AError) || dynamic_cast<const EkbvSChannelUnexpectedEOF*>(&AError))
        return true;
    const auto* Socket = dynamic_cast<const EIdSocketError*>(&AError);
    return Socket && (Socket->LastError() == Id_WSAECONNRESET || Socket->LastError() == Id_WSAECONNABORTED ||
                      Socket->LastError() == Id_WSAESHUTDOWN);
}

// Restores a stream reference when the scope ends, also by an exception.
class TContentStreamSwap {
public:
    TContentStreamSwap(TIdHTTPResponse& AResponse, TStream* ATemporary)
        : FResponse(AResponse), FSaved(AResponse.ContentStream()) {
        AResponse.SetContentStream(ATemporary);
    }
    ~TContentStreamSwap() { FResponse.SetContentStream(FSaved); }

private:
    TIdHTTPResponse& FResponse;
    TStream* FSaved;
};

}  // namespace

// --- TIdHTTPRequest -------------------------------------------------------------

TIdHTTPRequest::TIdHTTPRequest(TIdCustomHTTP* AHTTP) : TIdRequestHeaderInfo(AHTTP), FHTTP(AHTTP) {}

bool TIdHTTPRequest::MethodIs(std::string_view AMethod) const {
    return TextIsSame(FMethod, AMethod) || TextIsSame(MethodOverride(), AMethod);
}

// --- TIdHTTPResponse ------------------------------------------------------------

TIdHTTPResponse::TIdHTTPResponse(TIdCustomHTTP* AHTTP) : TIdResponseHeaderInfo(AHTTP), FHTTP(AHTTP) {}

void TIdHTTPResponse::Clear() {
    TIdResponseHeaderInfo::Clear();
    FMetaHTTPEquiv.Clear();
}

void TIdHTTPResponse::SetResponseText(const std::string& Value) {
    FResponseText = Value;
    FResponseCode = -1;
    FResponseVersion = pv1_0;
    if (Value.size() >= 8) {
        std::string_view Digits = std::string_view(Value).substr(5, 3);
        if (TextIsSame(Digits, "1.1"))
            FResponseVersion = pv1_1;
    }
}

int TIdHTTPResponse::ResponseCode() {
    if (FResponseCode == -1) {
        size_t Space = FResponseText.find(' ');
        std::string Rest(Space == std::string::npos ? "" : Trim(std::string_view(FResponseText).substr(Space + 1)));
        Rest = Rest.substr(0, Rest.find(' '));
        Rest = Rest.substr(0, Rest.find('.'));
        FResponseCode = IsNumeric(Rest) && !Rest.empty() && Rest.size() < 10 ? std::stoi(Rest) : -1;
    }
    return FResponseCode;
}

// Keep-alive: the connection must still be up; the request may ask to
// close; then the client's version decides what the response must say.
bool TIdHTTPResponse::KeepAlive() {
    if (FHTTP->Connected())
        FHTTP->IOHandler()->CheckForDisconnect(false);
    FKeepAlive = FHTTP->Connected();
    if (!FKeepAlive)
        return false;
    TIdHTTPRequest& Request = FHTTP->Request();
    const bool ByProxy = Request.UseProxy() == ctProxy || Request.UseProxy() == ctSSLProxy;
    if (TextIsSame(Trim(Request.Connection()), "CLOSE") ||
        (ByProxy && TextIsSame(Trim(Request.ProxyConnection()), "CLOSE")))
        FKeepAlive = false;
    else if (FHTTP->ProtocolVersion() == pv1_0)
        FKeepAlive = TextIsSame(Trim(Connection()), "KEEP-ALIVE") &&
                     (!ByProxy || TextIsSame(Trim(ProxyConnection()), "KEEP-ALIVE"));
    else
        FKeepAlive = !TextIsSame(Trim(Connection()), "CLOSE") &&
                     !(ByProxy && TextIsSame(Trim(ProxyConnection()), "CLOSE"));
    return FKeepAlive;
}

// --- TIdHTTPProtocol ------------------------------------------------------------

TIdHTTPProtocol::TIdHTTPProtocol(TIdCustomHTTP* AHTTP)
    : FHTTP(AHTTP), FRequest(std::make_unique<TIdHTTPRequest>(AHTTP)),
      FResponse(std::make_unique<TIdHTTPResponse>(AHTTP)) {}

void TIdHTTPProtocol::BuildAndSendRequest(TIdURI* AURI) {
    // Proxy credentials go to the proxy only, never through a tunnel.
    const bool ToProxy = FRequest->MethodIs("CONNECT") ||
                         (FRequest->UseProxy() == ctProxy && !FHTTP->HTTPOptions().Contains(hoNonSSLProxyUseConnectVerb));
    // Digest signs the method and target (and for auth-int the body) it answers for.
    if (TIdAuthentication* Auth = FRequest->Authentication())
        Auth->SetRequest(FRequest->Method(), FRequest->URL(), FRequest->Source());
    if (TIdAuthentication* Auth = FHTTP->ProxyParams().Authentication(); Auth && ToProxy)
        Auth->SetRequest(FRequest->Method(), FRequest->URL(), FRequest->Source());
    FRequest->SetHeaders();
    TIdHeaderList& Raw = FRequest->RawHeaders();
    if (!FHTTP->CredentialsAllowed()) {
        for (const char* Name : {"Authorization", "Cookie"})
            while (Raw.IndexOfName(Name) >= 0)
                Raw.SetValues(Name, "");
    }
    // The stored cookies apply by their own domain and path rules.
    if (AURI && FHTTP->AllowCookies())
        FHTTP->AttachClientCookies(*AURI);
    if (ToProxy)
        FHTTP->ProxyParams().SetHeaders(Raw);
    FRequest->SetURL(EncodeSpaces(FRequest->URL()));
    CheckRequestIsSafe();
    TIdIOHandler& IO = *FHTTP->IOHandler();
    const bool OpenedBuffer = !IO.WriteBufferingActive();
    if (OpenedBuffer)
        IO.WriteBufferOpen();
    try {
        IO.WriteLn(FRequest->Method() + " " + FRequest->URL() + " HTTP/" +
                   ProtocolVersionString[FHTTP->ProtocolVersion()]);
        const TIdHeaderList& Headers = FRequest->RawHeaders();
        for (int I = 0; I < Headers.Count(); ++I)
            if (!Headers.Strings(I).empty())
                IO.WriteLn(Headers.Strings(I));
        IO.WriteLn();
        if (OpenedBuffer)
            IO.WriteBufferClose();
    } catch (...) {
        if (OpenedBuffer)
            IO.WriteBufferCancel();
        throw;
    }
}

// Text from the caller becomes protocol on the wire: a CR, LF or NUL in it
// would end a line early and start a header or a request of its own.
void TIdHTTPProtocol::CheckRequestIsSafe() {
    if (!IsToken(FRequest->Method()))
        throw EIdHTTPInvalidRequest("The request method is not a valid HTTP token");
    if (HoldsLineBreak(FRequest->URL()))
        throw EIdHTTPInvalidRequest("The request target holds a CR, LF or NUL character");
    const TIdHeaderList& Headers = FRequest->RawHeaders();
    for (int I = 0; I < Headers.Count(); ++I) {
        const std::string& Line = Headers.Strings(I);
        const std::string Name = Headers.Names(I);
        const bool Continuation = !Line.empty() && (Line[0] == ' ' || Line[0] == '\t');
        if (!Continuation && !IsToken(Trim(Name)))
            throw EIdHTTPInvalidRequest("A request header has a name that is not a valid HTTP token");
        if (HoldsLineBreak(Line))
            throw EIdHTTPInvalidRequest(Format("The request header \"%s\" holds a CR, LF or NUL character",
                                               IsToken(Trim(Name)) ? std::string(Trim(Name)).c_str() : "?"));
    }
}

void TIdHTTPProtocol::RetrieveHeaders(int AMaxHeaderCount) {
    FResponse->Clear();
    TIdHeaderList& Raw = FResponse->RawHeaders();
    try {
        for (;;) {
            std::string Line = FHTTP->ReadProtocolLine();
            if (Line.empty())
                break;
            if (AMaxHeaderCount > 0 && Raw.Count() >= AMaxHeaderCount)
                throw EIdHTTPResponseTooLarge(Format("The response has more than %d header lines", AMaxHeaderCount));
            Raw.Add(std::move(Line));
        }
    } catch (const EIdConnClosedGracefully&) {
        FHTTP->Disconnect();
        throw EIdHTTPResponseIncomplete("The connection closed before the end of the response headers");
    } catch (...) {
        FHTTP->Disconnect();
        throw;
    }
    FResponse->ParseRawHeaders();
    FHTTP->CheckFraming(*FResponse);
}

bool TIdHTTPProtocol::HeadersAllowContinue() {
    bool Continue = true;
    if (FHTTP->FOnHeadersAvailable)
        FHTTP->FOnHeadersAvailable(FHTTP, FResponse->RawHeaders(), Continue);
    return Continue;
}

TIdHTTPWhatsNext TIdHTTPProtocol::ProcessResponse(const TIdReplyCodes& AIgnoreReplies) {
    if (!HeadersAllowContinue()) {
        FResponse->SetKeepAlive(false);
        FResponse->SetConnection("close");
        return wnJustExit;
    }
    const int Code = FResponse->ResponseCode();
    if (Code / 100 == 3 && Code != 304) {
        if (FResponse->Location().empty()) {
            RaiseOrKeepError(AIgnoreReplies);
            return wnJustExit;
        }
        std::string Location = FResponse->Location();
        std::string Method = FRequest->Method();
        ++FHTTP->FRedirectCount;
        if (!FHTTP->AskRedirect(Location, Method, FHTTP->FRedirectCount)) {
            RaiseOrKeepError(AIgnoreReplies);
            return wnJustExit;
        }
        TIdHTTPWhatsNext Result = wnJustExit;
        if (FHTTP->HandleRedirects() && FHTTP->FRedirectCount < FHTTP->RedirectMaximum()) {
            Result = wnGoToURL;
            FRequest->SetURL(Location);
            if (Code == 303 || (Code == 302 && FHTTP->HTTPOptions().Contains(hoTreat302Like303))) {
                FRequest->SetSource(nullptr);
                FRequest->SetMethod("GET");
            } else {
                FRequest->SetMethod(Method);
            }
            FRequest->SetMethodOverride("");
        } else {
            FResponse->SetLocation(Location);
        }
        if (FHTTP->Connected())
            DiscardBody();
        return Result;
    }
    bool Answered = false;
    if (Code / 100 != 2) {
        if (Code == 101) {
            if (FRequest->CustomHeaders().Values("Upgrade").empty())
                throw EIdHTTPBadResponse("The server switched protocols (101) though no upgrade was asked for");
            FResponse->SetKeepAlive(true);
            return wnJustExit;
        }
        if (Code == 401 || Code == 407) {
            const bool Proxy = Code == 407;
            int& Retries = Proxy ? FHTTP->FAuthProxyRetries : FHTTP->FAuthRetries;
            if (Retries >= FHTTP->MaxAuthRetries() ||
                !(Proxy ? FHTTP->AnswerProxyAuthChallenge(*FRequest, *FResponse)
                        : FHTTP->AnswerAuthChallenge(*FRequest, *FResponse))) {
                if (TIdAuthentication* Auth =
                        Proxy ? FHTTP->ProxyParams().Authentication() : FRequest->Authentication())
                    Auth->Reset();
                RaiseOrKeepError(AIgnoreReplies);
                return wnJustExit;
            }
            Answered = FHTTP->HTTPOptions().Contains(hoInProcessAuth);
        } else {
            RaiseOrKeepError(AIgnoreReplies);
            return wnJustExit;
        }
    }
    if (Answered) {
        DiscardBody();
        return wnAuthRequest;
    }
    if (FRequest->MethodIs("HEAD") || Code == 204)
        DiscardBody();
    else
        FHTTP->ReadBody(*FResponse);
    return wnJustExit;
}

void TIdHTTPProtocol::RaiseOrKeepError(const TIdReplyCodes& AIgnoreReplies) {
    bool Raise = true, Discard = true;
    const TIdHTTPOptions Options = FHTTP->HTTPOptions();
    if (Options.Contains(hoNoProtocolErrorException) || IsInCodes(FResponse->ResponseCode(), AIgnoreReplies)) {
        Raise = false;
        Discard = !Options.Contains(hoWantProtocolErrorContent);
    }
    TMemoryStream Body;
    if (Raise)
        ReadBodyInto(&Body, FHTTP->FLimits.ErrorBodyKept);  // a longer rest is not worth reading
    else if (Discard)
        DiscardBody();
    else
        ReadBodyInto(FResponse->ContentStream());
    if (Raise) {
        Body.SetPosition(0);
        throw EIdHTTPProtocolException::CreateError(FResponse->ResponseCode(), FResponse->ResponseText(),
                                                    TIdCustomHTTP::ReadTextWithCharset(Body, FHTTP->ResponseTextCharset()));
    }
}

void TIdHTTPProtocol::DiscardBody() { ReadBodyInto(nullptr, FHTTP->FLimits.DiscardedBodyRead); }

// A connection that failed while reading cannot carry another exchange, so
// it is closed.
void TIdHTTPProtocol::ReadBodyInto(TStream* ATarget, int64_t AStopAfter) {
    TContentStreamSwap Swap(*FResponse, ATarget);
    try {
        if (AStopAfter >= 0)
            FHTTP->ReadBodyWithin(*FResponse, AStopAfter, true);
        else
            FHTTP->ReadBody(*FResponse);
    } catch (const EIdConnClosedGracefully&) {
        FHTTP->Disconnect();
    } catch (...) {
        FHTTP->Disconnect();
        throw;
    }
}

// --- TIdCustomHTTP: life and properties ---------------------------------------

TIdCustomHTTP::TIdCustomHTTP(TComponent* AOwner)
    : TIdTCPClientCustom(AOwner), FURI(std::make_unique<TIdURI>()),
      FProxyParameters(std::make_unique<TIdProxyConnectionInfo>()) {
    FHTTPProto = MakeProtocolObject();
    // A request goes out as its head and then its body: with Nagle's rule a
    // small body would wait for the server's delayed acknowledgement of the
    // head, some 40 ms on every POST.
    SetUseNagle(false);
}

TIdCustomHTTP::~TIdCustomHTTP() {
    SetCompressor(nullptr);
    SetCookieManager(nullptr);
    SetAuthenticationManager(nullptr);
}

std::unique_ptr<TIdHTTPProtocol> TIdCustomHTTP::MakeProtocolObject() { return std::make_unique<TIdHTTPProtocol>(this); }

void TIdCustomHTTP::SetCompressor(TIdZLibCompressorBase* Value) { SetReference(FCompressor, Value); }

void TIdCustomHTTP::SetCookieManager(TIdCookieManager* Value) {
    if (FImplicitCookieManager) {
        FCookieManager = nullptr;  // never free-notified: it is our own
        FImplicitCookieManager.reset();
    }
    SetReference(FCookieManager, Value);
}

void TIdCustomHTTP::SetAuthenticationManager(TIdAuthenticationManager* Value) {
    SetReference(FAuthenticationManager, Value);
}

void TIdCustomHTTP::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove) {
        if (AComponent == FCompressor)
            FCompressor = nullptr;
        if (AComponent == FCookieManager)
            FCookieManager = nullptr;
        if (AComponent == FAuthenticationManager)
            FAuthenticationManager = nullptr;
    }
    TIdTCPClientCustom::Notification(AComponent, Operation);
}

void TIdCustomHTTP::Disconnect(bool ANotifyPeer) {
    TIdTCPClientCustom::Disconnect(ANotifyPeer);
    if (IOHandler())
        IOHandler()->InputBuffer()->Clear();
    FinishAuthentications();
}

void TIdCustomHTTP::FinishAuthentications() {
    if (!FHTTPProto)
        return;
    TIdHTTPRequest& Req = Request();
    if (TIdAuthentication* Auth = Req.Authentication(); Auth && Auth->CurrentStep() == Auth->Steps()) {
        if (FAuthenticationManager)
            FAuthenticationManager->AddAuthentication(Auth, *FURI);
        Req.SetAuthentication(nullptr);
    }
    if (TIdAuthentication* Auth = FProxyParameters->Authentication(); Auth && Auth->CurrentStep() == Auth->Steps())
        Auth->Reset();
}

std::unique_ptr<TIdAuthentication> TIdCustomHTTP::MakeAuthentication(TIdHeaderList& AChallenges,
                                                                     const TIdSelectAuthorizationEvent& AOnSelect) {
    TIdAuthenticationClass Class = nullptr;
    for (int I = 0; I < AChallenges.Count() && !Class; ++I) {
        const std::string& Line = AChallenges.Strings(I);
        Class = FindAuthSchemeClass(Line.substr(0, Line.find(' ')));
    }
    if (AOnSelect)
        AOnSelect(this, Class, AChallenges);
    return Class ? Class() : nullptr;
}

bool TIdCustomHTTP::DriveAuthentication(TIdAuthentication& AAuth, const TIdAuthorizationEvent& AOnAsk,
                                        std::string& VUsername, std::string& VPassword) {
    for (;;) {
        switch (AAuth.Next()) {
        case wnDoRequest:
            return true;
        case wnFail:
            return false;
        case wnAskTheProgram: {
            if (!AOnAsk)
                return false;
            AAuth.SetUsername(VUsername);
            AAuth.SetPassword(VPassword);
            bool Handled = false;
            AOnAsk(this, &AAuth, Handled);
            // A handler that gives no user name would be asked for ever.
            if (!Handled || AAuth.Username().empty())
                return false;
            VUsername = AAuth.Username();
            VPassword = AAuth.Password();
            break;
        }
        }
    }
}

bool TIdCustomHTTP::AnswerAuthChallenge(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
    ++FAuthRetries;
    // Credentials belong to the origin the call started with: a server that
    // a redirect led to is not answered with them.
    if (!CredentialsAllowed())
        return false;
    if (!ARequest.Authentication()) {
        std::unique_ptr<TIdAuthentication> Made = MakeAuthentication(AResponse.WWWAuthenticate(), FOnSelectAuthorization);
        if (!Made)
            return false;
        ARequest.SetAuthentication(std::move(Made));
    }
    TIdAuthentication& Auth = *ARequest.Authentication();
    Auth.SetUsername(ARequest.Username());
    Auth.SetPassword(ARequest.Password());
    Auth.Params().SetValues("Authorization", Auth.Authentication());
    Auth.SetAuthParams(AResponse.WWWAuthenticate());
    std::string Username = ARequest.Username(), Password = ARequest.Password();
    const bool Answered = DriveAuthentication(Auth, FOnAuthorization, Username, Password);
    if (Username != ARequest.Username() || Password != ARequest.Password()) {
        ARequest.SetBasicAuthentication(true);
        ARequest.SetUsername(Username);
        ARequest.SetPassword(Password);
    }
    return Answered;
}

bool TIdCustomHTTP::AnswerProxyAuthChallenge(TIdHTTPRequest&, TIdHTTPResponse& AResponse) {
    ++FAuthProxyRetries;
    TIdProxyConnectionInfo& Proxy = *FProxyParameters;
    if (!Proxy.Authentication()) {
        std::unique_ptr<TIdAuthentication> Made =
            MakeAuthentication(AResponse.ProxyAuthenticate(), FOnSelectProxyAuthorization);
        if (!Made)
            return false;
        Proxy.SetAuthentication(std::move(Made));
    }
    TIdAuthentication& Auth = *Proxy.Authentication();
    Auth.SetUsername(Proxy.ProxyUsername());
    Auth.SetPassword(Proxy.ProxyPassword());
    Auth.SetAuthParams(AResponse.ProxyAuthenticate());
    std::string Username = Proxy.ProxyUsername(), Password = Proxy.ProxyPassword();
    const bool Answered = DriveAuthentication(Auth, FOnProxyAuthorization, Username, Password);
    Proxy.SetProxyUsername(Username);
    Proxy.SetProxyPassword(Password);
    return Answered;
}

bool TIdCustomHTTP::AskRedirect(std::string& VDest, std::string& VMethod, int ANumRedirect) {
    bool Handled = FHandleRedirects;
    if (FOnRedirect)
        FOnRedirect(this, VDest, ANumRedirect, Handled, VMethod);
    return Handled;
}

void TIdCustomHTTP::ApplyServerCookies(TIdHTTPRequest&, TIdHTTPResponse& AResponse) {
    if (!FAllowCookies)
        return;
    if (!FCookieManager) {
        FImplicitCookieManager = std::make_unique<TIdCookieManager>();
        FCookieManager = FImplicitCookieManager.get();
    }
    TStringList Cookies;
    AResponse.RawHeaders().Extract("Set-Cookie", Cookies);
    AResponse.MetaHTTPEquiv().RawHeaders().Extract("Set-Cookie", Cookies);
    if (Cookies.Count() > 0)
        FCookieManager->AddServerCookies(Cookies, *FURI);
}

void TIdCustomHTTP::AttachClientCookies(TIdURI& AURI) {
    if (FCookieManager)
        FCookieManager->GenerateClientCookies(AURI, TextIsSame(AURI.Protocol(), "HTTPS"), Request().RawHeaders());
}

// --- TIdCustomHTTP: the exchange ---------------------------------------------------

bool TIdCustomHTTP::LeaveConnectionOpen() {
    TIdHTTPResponse& R = Response();
    return R.KeepAlive() ||
           (FOptions.Contains(hoNoReadMultipartMIME) && IsHeaderMediaType(R.ContentType(), "multipart")) ||
           (FOptions.Contains(hoNoReadChunked) && IsChunked(R));
}

void TIdCustomHTTP::RunRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                               TStream* AResponseContent, const TIdReplyCodes& AIgnoreReplies) {
    FRedirectCount = 0;
    FAuthRetries = 0;
    FAuthProxyRetries = 0;
    FCredentialOrigin.clear();
    const int64_t RestartPosition = AResponseContent ? AResponseContent->Position() : 0;
    TIdHTTPRequest& Req = Request();
    TIdHTTPResponse& Resp = Response();
    Req.SetURL(AURL);
    Req.SetMethod(AMethod);
    Req.SetSource(ASource);
    Resp.SetContentStream(AResponseContent);
    auto Restart = [&] {
        if (AResponseContent) {
            AResponseContent->SetPosition(RestartPosition);
            AResponseContent->SetSize(RestartPosition);
        }
        FAuthRetries = 0;
        FAuthProxyRetries = 0;
    };
    // The caller's streams belong to this call only.
    auto Finish = [&] {
        Req.SetSource(nullptr);
        Resp.SetContentStream(nullptr);
    };
    try {
        for (bool Done = false; !Done;) {
            PrepareTarget(Req);
            if (FCredentialOrigin.empty())
                FCredentialOrigin = OriginOf(*FURI);
            else if (!CredentialsAllowed())
                Req.SetAuthentication(nullptr);  // made for the origin the call started with
            if (auto* TLS = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler()))
                TLS->SetURIToCheck(FURI->URI());
            SendAndReadHead(Req, Resp);
            switch (FHTTPProto->ProcessResponse(AIgnoreReplies)) {
            case wnGoToURL:
                Restart();
                break;
            case wnReadAndGo:
                ReadBody(Resp);
                Restart();
                break;
            case wnAuthRequest:
                Req.SetURL(AURL);
                break;
            case wnJustExit:
                Done = true;
                break;
            case wnDontKnow:
                throw EIdException("Not Acceptable");
            }
        }
    } catch (const EIdHTTPProtocolException&) {
        // The error's body was read to its end, or the connection is closed.
        if (!LeaveConnectionOpen())
            Disconnect();
        Finish();
        throw;
    } catch (...) {
        // Any other failure may leave the rest of a response on the
        // connection, which the next request would take for its own.
        Disconnect();
        Finish();
        throw;
    }
    if (!LeaveConnectionOpen())
        Disconnect();
    Finish();
}

void TIdCustomHTTP::SendAndReadHead(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
    // RFC 9110 section 9.2.2: these may be sent again without changing the outcome.
    const bool Idempotent = ARequest.MethodIs("GET") || ARequest.MethodIs("HEAD") || ARequest.MethodIs("PUT") ||
                            ARequest.MethodIs("DELETE") || ARequest.MethodIs("OPTIONS") || ARequest.MethodIs("TRACE");
    for (int Attempt = 1;; ++Attempt) {
        try {
            OpenAndSend(ARequest, AResponse);
            AResponse.SetResponseText(ReadProtocolLine());
            break;
        } catch (const std::exception& Error) {
            if (!IsStaleConnectionError(Error))
                throw;
            const bool NothingArrived = !IOHandler() || IOHandler()->InputBufferIsEmpty();
            Disconnect();
            // Before the request went out (a proxy that hung up while opening
            // the way) the failure is the connect's own.
            if (!FRequestWritten)
                throw;
            if (NothingArrived && FReusedConnection && Idempotent && Attempt == 1)
                continue;
            if (dynamic_cast<const EIdSilentException*>(&Error))
                throw EIdHTTPResponseIncomplete(NothingArrived
                                                    ? "The server closed the connection without sending a response"
                                                    : "The connection closed before the end of the status line");
            throw;
        }
    }
    ReadResponseHead(ARequest, AResponse);
}

// The status line is read; its headers follow, then any further status
// line while the response is an interim one (1xx other than 101).
void TIdCustomHTTP::ReadResponseHead(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
    for (int Interim = 0;; ++Interim) {
        if (Interim > 0)
            AResponse.SetResponseText(ReadProtocolLine());
        FHTTPProto->RetrieveHeaders(FLimits.MaxHeaderLines);
        ApplyServerCookies(ARequest, AResponse);
        const int Code = AResponse.ResponseCode();
        if (Code / 100 != 1 || Code == 101)
            return;
        if (Interim >= FLimits.MaxInterimResponses)
            throw EIdHTTPResponseTooLarge(
                Format("The response has more than %d interim (1xx) responses", FLimits.MaxInterimResponses));
    }
}

bool TIdCustomHTTP::CredentialsAllowed() const {
    return FCredentialOrigin.empty() || OriginOf(*FURI) == FCredentialOrigin;
}

std::string TIdCustomHTTP::ResolvePath(const std::string& ABase, const std::string& APath, char ADelimiter) {
    if (!APath.empty() && APath[0] == ADelimiter)
        return APath;
    std::string Joined = ABase;
    if (!Joined.empty() && Joined.back() != ADelimiter)
        Joined += ADelimiter;
    Joined += APath;
    std::string Result;
    for (size_t I = 0; I < Joined.size(); ++I) {
        const char C = Joined[I];
        if (C == ADelimiter) {
            if (I == 0 || Result.empty() || Result.back() != ADelimiter)
                Result += C;
        } else if (C == '.' && !Result.empty() && Result.back() == ADelimiter &&
                   Joined.compare(I, 2, "..") == 0) {
            Result.pop_back();
            size_t Cut = Result.rfind(ADelimiter);
            Result.erase(Cut == std::string::npos ? 0 : Cut + 1);
            if (Result.empty())
                Result += ADelimiter;
            ++I;  // both dots
        } else {
            Result += C;
        }
    }
    if (Result.size() > 1 && Result.back() == ADelimiter && !APath.empty() && APath.back() != ADelimiter)
        Result.pop_back();
    return Result;
}

void TIdCustomHTTP::PrepareTarget(TIdHTTPRequest& ARequest) {
    if (HoldsLineBreak(ARequest.URL()))
        throw EIdHTTPInvalidRequest("The URL holds a CR, LF or NUL character");
    TIdURI New(ARequest.URL());
    // A redirect leads only to another http or https resource.
    if (FRedirectCount > 0 && !New.Protocol().empty() && !IsHTTPScheme(New.Protocol()))
        throw EIdUnknownProtocol();
    if (!New.Port().empty() && !(IsNumeric(New.Port()) && New.Port().size() <= 5 && std::stoi(New.Port()) >= 1 &&
                                 std::stoi(New.Port()) <= 65535))
        throw EIdHTTPInvalidRequest(Format("The port \"%s\" of the URL is not a number from 1 to 65535",
                                           New.Port().c_str()));
    if (!New.Username().empty()) {
        ARequest.SetUsername(New.Username());
        ARequest.SetPassword(New.Password());
    }
    FURI->SetUsername(ARequest.Username());
    FURI->SetPassword(ARequest.Password());
    FURI->SetPath(ResolvePath(FURI->Path(), New.Path()));
    FURI->SetDocument(New.Document());
    FURI->SetParams(New.Params());
    if (!New.Host().empty())
        FURI->SetHost(New.Host());
    if (!New.Protocol().empty())
        FURI->SetProtocol(New.Protocol());
    else
        FURI->SetProtocol(TextIsSame(FURI->Protocol(), "https") ? "https" : "http");
    if (!New.Port().empty())
        FURI->SetPort(New.Port());
    else if (TextIsSame(New.Protocol(), "http"))
        FURI->SetPort("80");
    else if (TextIsSame(New.Protocol(), "https"))
        FURI->SetPort("443");
    else if (FURI->Port().empty())
        throw EIdUnknownProtocol();

    if (ARequest.MethodIs("OPTIONS") && New.Document() == "*")
        ARequest.SetURL("*");
    else
        ARequest.SetURL(FURI->GetPathAndParams());
    if (!New.Host().empty()) {  // a relative URL keeps the server and its address family
        ARequest.SetIPVersion(New.IPVersion());
        FURI->SetIPVersion(New.IPVersion());
    }
    if ((ARequest.MethodIs("TRACE") || ARequest.MethodIs("PUT") || ARequest.MethodIs("OPTIONS") ||
         ARequest.MethodIs("DELETE")) &&
        FProtocolVersion != pv1_1)
        throw EIdException("Request method requires HTTP version 1.1");

    if (ARequest.Source())
        ARequest.SetContentLength(ARequest.Source()->Size());
    else
        ARequest.SetContentLength(TextIsSame(ARequest.Method(), "POST") ? 0 : -1);

    std::string Host = FURI->Host();
    if (FURI->IPVersion() == Id_IPv6 && TIdStack::IsValidIPv6(Host))
        Host = "[" + Host + "]";
    const bool DefaultPort = (TextIsSame(FURI->Protocol(), "http") && FURI->Port() == "80") ||
                             (TextIsSame(FURI->Protocol(), "https") && FURI->Port() == "443");
    ARequest.SetHost(DefaultPort ? Host : Host + ":" + FURI->Port());
}

TIdHTTPConnectionType TIdCustomHTTP::SelectEndpoint() {
    if (!FProxyParameters->ProxyServer().empty()) {
        if (Connected() && (FHost != FProxyParameters->ProxyServer() || FPort != FProxyParameters->ProxyPort()))
            Disconnect();
        SetHost(FProxyParameters->ProxyServer());
        SetPort(static_cast<uint16_t>(FProxyParameters->ProxyPort()));
        return TextIsSame(FURI->Protocol(), "HTTPS") ? ctSSLProxy : ctProxy;
    }
    const int Port = std::stoi(FURI->Port());  // checked by PrepareTarget
    if (Connected() && (FIPVersion != FURI->IPVersion() || FHost != FURI->Host() || FPort != Port))
        Disconnect();
    SetIPVersion(FURI->IPVersion());
    SetHost(FURI->Host());
    SetPort(static_cast<uint16_t>(Port));
    return TextIsSame(FURI->Protocol(), "HTTPS") ? ctSSL : ctNormal;
}

void TIdCustomHTTP::OpenAndSend(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
    if (IOHandler())
        IOHandler()->InputBuffer()->Clear();
    // The CONNECT target: an IPv6 address in brackets, or the line is ambiguous.
    const std::string Host = TIdStack::IsValidIPv6(FURI->Host()) ? "[" + FURI->Host() + "]" : FURI->Host();
    const std::string Destination = Host + ":" + FURI->Port();
    const TIdHTTPConnectionType Previous = ARequest.UseProxy();
    ARequest.SetUseProxy(SelectEndpoint());
    if (ARequest.UseProxy() != Previous ||
        (ARequest.UseProxy() == ctSSLProxy && ARequest.Destination() != Destination))
        Disconnect();
    ARequest.SetDestination(Destination);

    bool Tunnel = false;
    switch (ARequest.UseProxy()) {
    case ctNormal:
    case ctSSL:
        if (FProtocolVersion == pv1_0 && ARequest.Connection().empty())
            ARequest.SetConnection("keep-alive");
        break;
    case ctProxy:
        ARequest.SetURL(FURI->URI());
        if (FProtocolVersion == pv1_0 && ARequest.Connection().empty())
            ARequest.SetProxyConnection("keep-alive");
        Tunnel = FOptions.Contains(hoNonSSLProxyUseConnectVerb) && !Connected();
        break;
    case ctSSLProxy:
        Tunnel = !Connected();
        break;
    }

    std::string Accept = ARequest.AcceptEncoding();
    if (FCompressor && FCompressor->IsReady()) {
        for (const char* Coding : {"deflate", "gzip"})
            if (Accept.find(Coding) == std::string::npos)
                Accept += Accept.empty() ? std::string(Coding) : std::string(", ") + Coding;
    }
    if (!Accept.empty() && Accept.find("identity") == std::string::npos)
        Accept += ", identity";
    ARequest.SetAcceptEncoding(Accept);

    FRequestWritten = false;
    if (Tunnel)
        OpenTunnel(ARequest);
    else
        EnsureConnected(ARequest, AResponse);
    FRequestWritten = true;  // from here on the server has (part of) the request
    FHTTPProto->BuildAndSendRequest(FURI.get());
    if (ARequest.Source())
        IOHandler()->Write(*ARequest.Source(), 0, false);
}

// Asks the proxy with CONNECT for a tunnel to the destination; the request
// then goes through it on the same connection. Proxy challenges are answered
// as for any request.
void TIdCustomHTTP::OpenTunnel(TIdHTTPRequest& ARequest) {
    const std::unique_ptr<TIdHTTPProtocol> Tunnel = MakeProtocolObject();
    TIdHTTPRequest& Req = Tunnel->Request();
    TIdHTTPResponse& Resp = Tunnel->Response();
    Req.SetUserAgent(ARequest.UserAgent());
    Req.SetHost(ARequest.Host());
    Req.SetPragma("no-cache");
    Req.SetURL(ARequest.Destination());
    Req.SetMethod("CONNECT");
    Req.SetProxyConnection("keep-alive");
    Req.SetUseProxy(ARequest.UseProxy());
    for (;;) {
        EnsureConnected(Req, Resp);
        Tunnel->BuildAndSendRequest(nullptr);  // cookies belong to the destination, not the proxy
        const std::string StatusLine = ReadProtocolLine();
        if (StatusLine.empty()) {  // a bare empty line from the proxy means the tunnel is up
            Resp.SetResponseText("HTTP/1.0 200 OK");
            Resp.SetConnection("close");
        } else {
            Resp.SetResponseText(StatusLine);
            // The proxy's cookies are not the target's: none are stored.
            Tunnel->RetrieveHeaders(FLimits.MaxHeaderLines);
        }
        if (Resp.ResponseCode() / 100 == 2) {
            if (ARequest.UseProxy() == ctSSLProxy)
                StartTLSInTunnel();
            return;
        }
        switch (Tunnel->ProcessResponse({})) {
        case wnAuthRequest:
            Req.SetURL(ARequest.Destination());
            break;
        case wnReadAndGo:
            ReadBody(Resp);
            FAuthRetries = 0;
            FAuthProxyRetries = 0;
            break;
        case wnGoToURL:
            FAuthRetries = 0;
            FAuthProxyRetries = 0;
            break;
        case wnJustExit:
            return;
        case wnDontKnow:
            throw EIdException("Not Acceptable");
        }
    }
}

void TIdCustomHTTP::EnsureConnected(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
    if (!AResponse.KeepAlive())
        Disconnect();
    if (IOHandler()) {
        IOHandler()->InputBuffer()->Clear();
        IOHandler()->CheckForDisconnect(false);
    }
    FReusedConnection = Connected();
    if (FReusedConnection)
        return;
    // Through a proxy the socket goes to the proxy, whatever the target's family.
    const bool ByProxy = ARequest.UseProxy() == ctProxy || ARequest.UseProxy() == ctSSLProxy;
    SetIPVersion(!ByProxy ? FURI->IPVersion()
                 : TIdStack::IsValidIPv6(FProxyParameters->ProxyServer()) ? Id_IPv6
                                                                           : Id_IPv4);
    const bool Secure = ARequest.UseProxy() == ctSSL || ARequest.UseProxy() == ctSSLProxy;
    if (Secure && !IOHandler()) {
        if (TIdIOHandler* Made = TIdIOHandler::TryMakeIOHandler<TIdSSLIOHandlerSocketBase>(this)) {
            SetIOHandler(Made);
            SetManagedIOHandler(true);
            Made->SetOnStatus(OnStatus());
        }
    }
    auto* TLS = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
    if (Secure && !TLS)
        throw EIdIOHandlerPropInvalid();
    if (TLS) {
        TLS->SetURIToCheck(FURI->URI());
        // Through a proxy TLS waits for the tunnel; a plain target has none.
        TLS->SetPassThrough(ARequest.UseProxy() != ctSSL);
    }
    Connect();
}

// The proxy's tunnel is open: TLS with the destination starts on it.
void TIdCustomHTTP::StartTLSInTunnel() {
    auto* TLS = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
    if (!TLS)
        return;
    // Bytes after the proxy's answer would be read by nobody: TLS reads the socket.
    if (!TLS->InputBufferIsEmpty())
        throw EIdHTTPBadResponse("The proxy sent data after its answer to CONNECT");
    TLS->SetPassThrough(false);
}

std::string TIdCustomHTTP::ReadProtocolLine() {
    std::string Line = IOHandler()->ReadLn("\n");
    if (IOHandler()->ReadLnTimedout())
        throw EIdReadTimeout();
    return Line;
}

// --- TIdCustomHTTP: verbs ----------------------------------------------------------

std::string TIdCustomHTTP::AsText(const std::function<void(TStream*)>& AVerb) {
    TMemoryStream Body;
    AVerb(&Body);
    Body.SetPosition(0);
    return ReadTextWithCharset(Body, ResponseTextCharset());
}

void TIdCustomHTTP::Get(const std::string& AURL, TStream* AResponseContent) { Get(AURL, AResponseContent, {}); }

void TIdCustomHTTP::Get(const std::string& AURL, TStream* AResponseContent, const TIdReplyCodes& AIgnoreReplies) {
    RunRequest("GET", AURL, nullptr, AResponseContent, AIgnoreReplies);
}

std::string TIdCustomHTTP::Get(const std::string& AURL) { return Get(AURL, TIdReplyCodes{}); }

std::string TIdCustomHTTP::Get(const std::string& AURL, const TIdReplyCodes& AIgnoreReplies) {
    return AsText([&](TStream* S) { Get(AURL, S, AIgnoreReplies); });
}

void TIdCustomHTTP::Head(const std::string& AURL) { RunRequest("HEAD", AURL, nullptr, nullptr, {}); }

void TIdCustomHTTP::Options(const std::string& AURL, TStream* AResponseContent) {
    RunRequest("OPTIONS", AURL, nullptr, AResponseContent, {});
}

std::string TIdCustomHTTP::Options(const std::string& AURL) {
    return AsText([&](TStream* S) { Options(AURL, S); });
}

void TIdCustomHTTP::Trace(const std::string& AURL, TStream* AResponseContent) {
    RunRequest("TRACE", AURL, nullptr, AResponseContent, {});
}

std::string TIdCustomHTTP::Trace(const std::string& AURL) {
    return AsText([&](TStream* S) { Trace(AURL, S); });
}

void TIdCustomHTTP::Delete(const std::string& AURL, TStream* AResponseContent) {
    RunRequest("DELETE", AURL, nullptr, AResponseContent, {});
}

std::string TIdCustomHTTP::Delete(const std::string& AURL) {
    return AsText([&](TStream* S) { Delete(AURL, S); });
}

std::string TIdCustomHTTP::Delete(const std::string& AURL, const std::string& aBody) {
    TStringStream Source(aBody);  // text is UTF-8, the system code page here
    return AsText([&](TStream* S) { RunRequest("DELETE", AURL, &Source, S, {}); });
}

void TIdCustomHTTP::Put(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
    RunRequest("PUT", AURL, ASource, AResponseContent, {});
}

std::string TIdCustomHTTP::Put(const std::string& AURL, TStream* ASource) {
    return AsText([&](TStream* S) { Put(AURL, ASource, S); });
}

void TIdCustomHTTP::Patch(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
    RunRequest("PATCH", AURL, ASource, AResponseContent, {});
}

std::string TIdCustomHTTP::Patch(const std::string& AURL, TStream* ASource) {
    return AsText([&](TStream* S) { Patch(AURL, ASource, S); });
}

// The POST rule: unless told to keep the protocol, a POST starts on a fresh
// connection and goes out as HTTP/1.0.
void TIdCustomHTTP::DoPost(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
    const TIdHTTPProtocolVersion Saved = FProtocolVersion;
    if (!FOptions.Contains(hoKeepOrigProtocol)) {
        if (Connected())
            Disconnect();
        FProtocolVersion = pv1_0;
    }
    try {
        RunRequest("POST", AURL, ASource, AResponseContent, {});
    } catch (...) {
        FProtocolVersion = Saved;
        throw;
    }
    FProtocolVersion = Saved;
}

void TIdCustomHTTP::Post(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
    DoPost(AURL, ASource, AResponseContent);
}

std::string TIdCustomHTTP::Post(const std::string& AURL, TStream* ASource) {
    return AsText([&](TStream* S) { DoPost(AURL, ASource, S); });
}

void TIdCustomHTTP::Post(const std::string& AURL, const std::string& ASourceFile, TStream* AResponseContent) {
    TFileStream Source(ASourceFile, fmOpenRead | fmShareDenyWrite);
    DoPost(AURL, &Source, AResponseContent);
}

std::string TIdCustomHTTP::Post(const std::string& AURL, const std::string& ASourceFile) {
    return AsText([&](TStream* S) { Post(AURL, ASourceFile, S); });
}

void TIdCustomHTTP::Post(const std::string& AURL, TStringList* ASource, TStream* AResponseContent,
                         const IIdTextEncodingPtr& AByteEncoding) {
    if (Request().ContentType().empty() || IsHtmlContentType())
        Request().SetContentType("application/x-www-form-urlencoded");
    if (!ASource) {
        DoPost(AURL, nullptr, AResponseContent);
        return;
    }
    TMemoryStream Source;
    const TIdBytes Bytes = ToBytes(BuildFormParams(*ASource, AByteEncoding), IdTextEncoding(encDefault));
    Source.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    Source.SetPosition(0);
    DoPost(AURL, &Source, AResponseContent);
}

std::string TIdCustomHTTP::Post(const std::string& AURL, TStringList* ASource, const IIdTextEncodingPtr& AByteEncoding) {
    return AsText([&](TStream* S) { Post(AURL, ASource, S, AByteEncoding); });
}

void TIdCustomHTTP::Post(const std::string& AURL, TIdMultiPartFormDataStream* ASource, TStream* AResponseContent) {
    if (!ASource)
        throw EIdException("Assertion failure");
    Request().SetContentType(ASource->RequestContentType());
    DoPost(AURL, ASource, AResponseContent);
}

std::string TIdCustomHTTP::Post(const std::string& AURL, TIdMultiPartFormDataStream* ASource) {
    return AsText([&](TStream* S) { Post(AURL, ASource, S); });
}

// --- form encoding -------------------------------------------------------------------

std::string TIdCustomHTTP::BuildFormParams(TStringList& ASource, const IIdTextEncodingPtr& AByteEncoding) {
    TStringList Lines;
    Lines.Assign(ASource);
    if (FOptions.Contains(hoForceEncodeParams)) {
        for (int I = 0; I < Lines.Count(); ++I) {
            const std::string& Line = Lines.Strings(I);
            if (Line.find(Lines.NameValueSeparator()) == std::string::npos)
                Lines.SetStrings(I, EncodeFormValue(Line, AByteEncoding));
            else
                Lines.SetStrings(I, EncodeFormValue(Lines.Names(I), AByteEncoding) + "=" +
                                        EncodeFormValue(Lines.ValueFromIndex(I), AByteEncoding));
        }
    }
    std::string Text(Trim(Lines.Text()));
    if (Lines.Count() < 2)
        return Text;
    std::string Result;
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Text.compare(I, 2, "\r\n") == 0) {
            Result += '&';
            ++I;
        } else {
            Result += Text[I];
        }
    }
    return Result;
}

std::string TIdCustomHTTP::EncodeFormValue(const std::string& AText, const IIdTextEncodingPtr& AByteEncoding) {
    static constexpr std::string_view Safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789*-._";
    static constexpr char Hex[] = "0123456789ABCDEF";
    const IIdTextEncodingPtr Encoding = AByteEncoding ? AByteEncoding : IdTextEncoding(encUTF8);
    const TIdWideChars Chars = UTF8ToUTF16(AText);
    std::string Result;
    for (size_t I = 0; I < Chars.size(); ++I) {
        const char16_t C = Chars[I];
        if (C == u' ') {
            Result += '+';
            continue;
        }
        if (C < 0x80 && Safe.find(static_cast<char>(C)) != std::string_view::npos) {
            Result += static_cast<char>(C);
            continue;
        }
        const int Length = C >= 0xD800 && C < 0xDC00 && I + 1 < Chars.size() ? 2 : 1;
        const TIdBytes Bytes = Encoding->GetBytes(Chars, static_cast<int>(I), Length);
        if (C != u'?' && std::find(Bytes.begin(), Bytes.end(), '?') != Bytes.end()) {
            const char32_t CodePoint = Length == 2 ? 0x10000 + ((C - 0xD800) << 10) + (Chars[I + 1] - 0xDC00) : C;
            Result += "&#" + std::to_string(static_cast<uint32_t>(CodePoint)) + ";";
        } else {
            for (uint8_t B : Bytes)
                Result += {'%', Hex[B >> 4], Hex[B & 15]};
        }
        I += static_cast<size_t>(Length - 1);
    }
    return Result;
}
