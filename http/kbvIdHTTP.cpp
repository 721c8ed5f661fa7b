#include "http/kbvIdHTTP.h"

#include <algorithm>

#include "core/Format.h"
#include "http/kbvIdZLibCompressorBase.h"
#include "net/kbvIdStack.h"

const char* const ProtocolVersionString[2] = {"1.0", "1.1"};

namespace {

std::string Trimmed(std::string_view AText) {
    size_t First = 0, Last = AText.size();
    while (First < Last && static_cast<unsigned char>(AText[First]) <= ' ')
        ++First;
    while (Last > First && static_cast<unsigned char>(AText[Last - 1]) <= ' ')
        --Last;
    return std::string(AText.substr(First, Last - First));
}

bool IsInCodes(int ACode, const TIdReplyCodes& ACodes) {
    return std::find(ACodes.begin(), ACodes.end(), ACode) != ACodes.end();
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
        std::string Rest = Space == std::string::npos ? "" : Trimmed(FResponseText.substr(Space + 1));
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
    if (TextIsSame(Trimmed(Request.Connection()), "CLOSE") ||
        (ByProxy && TextIsSame(Trimmed(Request.ProxyConnection()), "CLOSE")))
        FKeepAlive = false;
    else if (FHTTP->ProtocolVersion() == pv1_0)
        FKeepAlive = TextIsSame(Trimmed(Connection()), "KEEP-ALIVE") &&
                     (!ByProxy || TextIsSame(Trimmed(ProxyConnection()), "KEEP-ALIVE"));
    else
        FKeepAlive = !TextIsSame(Trimmed(Connection()), "CLOSE") &&
                     !(ByProxy && TextIsSame(Trimmed(ProxyConnection()), "CLOSE"));
    return FKeepAlive;
}

// --- TIdHTTPProtocol ------------------------------------------------------------

TIdHTTPProtocol::TIdHTTPProtocol(TIdCustomHTTP* AHTTP)
    : FHTTP(AHTTP), FRequest(std::make_unique<TIdHTTPRequest>(AHTTP)),
      FResponse(std::make_unique<TIdHTTPResponse>(AHTTP)) {}

void TIdHTTPProtocol::BuildAndSendRequest(TIdURI* AURI) {
    // Authentication objects get method and target here once schemes exist.
    FRequest->SetHeaders();
    // Proxy headers: Proxy-Authorization comes with the authentication schemes.
    if (AURI && FHTTP->AllowCookies())
        FHTTP->AttachClientCookies(*AURI);
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

void TIdHTTPProtocol::RetrieveHeaders(int AMaxHeaderCount) {
    FResponse->Clear();
    TIdHeaderList& Raw = FResponse->RawHeaders();
    try {
        for (;;) {
            std::string Line = FHTTP->ReadProtocolLine();
            if (Line.empty())
                break;
            if (AMaxHeaderCount > 0 && Raw.Count() >= AMaxHeaderCount)
                throw EIdHTTPResponseIncomplete(
                    Format("The response has more than %d header lines", AMaxHeaderCount));
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
            FResponse->SetKeepAlive(true);
            return wnJustExit;
        }
        if (Code == 401 || Code == 407) {
            const bool Proxy = Code == 407;
            int& Retries = Proxy ? FHTTP->FAuthProxyRetries : FHTTP->FAuthRetries;
            if (Retries >= FHTTP->MaxAuthRetries() ||
                !(Proxy ? FHTTP->AnswerProxyAuthChallenge(*FRequest, *FResponse)
                        : FHTTP->AnswerAuthChallenge(*FRequest, *FResponse))) {
                // Resetting the authentication object comes with the schemes.
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
    ReadBodyInto(Raise ? &Body : Discard ? nullptr : FResponse->ContentStream());
    if (Raise) {
        Body.SetPosition(0);
        throw EIdHTTPProtocolException::CreateError(FResponse->ResponseCode(), FResponse->ResponseText(),
                                                    TIdCustomHTTP::ReadTextWithCharset(Body, FHTTP->ResponseTextCharset()));
    }
}

void TIdHTTPProtocol::DiscardBody() { ReadBodyInto(nullptr); }

// Reads the body into ATarget (none drops it); a connection that failed
// while reading cannot carry another exchange, so it is closed.
void TIdHTTPProtocol::ReadBodyInto(TStream* ATarget) {
    TContentStreamSwap Swap(*FResponse, ATarget);
    try {
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
}

TIdCustomHTTP::~TIdCustomHTTP() { SetCompressor(nullptr); }

std::unique_ptr<TIdHTTPProtocol> TIdCustomHTTP::MakeProtocolObject() { return std::make_unique<TIdHTTPProtocol>(this); }

void TIdCustomHTTP::SetCompressor(TIdZLibCompressorBase* Value) { SetReference(FCompressor, Value); }

void TIdCustomHTTP::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FCompressor)
        FCompressor = nullptr;
    TIdTCPClientCustom::Notification(AComponent, Operation);
}

void TIdCustomHTTP::Disconnect(bool ANotifyPeer) {
    TIdTCPClientCustom::Disconnect(ANotifyPeer);
    if (IOHandler())
        IOHandler()->InputBuffer()->Clear();
    // Finished request authentications go to the authentication manager here
    // once schemes exist.
}

bool TIdCustomHTTP::AnswerAuthChallenge(TIdHTTPRequest&, TIdHTTPResponse&) {
    ++FAuthRetries;
    return false;  // the authentication registry has no schemes yet
}

bool TIdCustomHTTP::AnswerProxyAuthChallenge(TIdHTTPRequest&, TIdHTTPResponse&) {
    ++FAuthProxyRetries;
    return false;
}

bool TIdCustomHTTP::AskRedirect(std::string& VDest, std::string& VMethod, int ANumRedirect) {
    bool Handled = FHandleRedirects;
    if (FOnRedirect)
        FOnRedirect(this, VDest, ANumRedirect, Handled, VMethod);
    return Handled;
}

void TIdCustomHTTP::ApplyServerCookies(TIdHTTPRequest&, TIdHTTPResponse&) {}

void TIdCustomHTTP::AttachClientCookies(TIdURI&) {}

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
    try {
        for (bool Done = false; !Done;) {
            PrepareTarget(Req);
            // A TLS IO handler gets URIToCheck here once TLS exists.
            OpenAndSend(Req, Resp);
            do {
                Resp.SetResponseText(ReadProtocolLine());
                FHTTPProto->RetrieveHeaders(FMaxHeaderLines);
                ApplyServerCookies(Req, Resp);
            } while (Resp.ResponseCode() / 100 == 1 && Resp.ResponseCode() != 101);
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
    } catch (...) {
        if (!LeaveConnectionOpen())
            Disconnect();
        throw;
    }
    if (!LeaveConnectionOpen())
        Disconnect();
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
    TIdURI New(ARequest.URL());
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
    const int Port = IsNumeric(FURI->Port()) && !FURI->Port().empty() && FURI->Port().size() < 6
                         ? std::stoi(FURI->Port()) : 80;
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
    const std::string Destination = FURI->Host() + ":" + FURI->Port();
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

    if (Tunnel)
        OpenTunnel(ARequest);
    else
        EnsureConnected(ARequest, AResponse);
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
            Tunnel->RetrieveHeaders(FMaxHeaderLines);
            ApplyServerCookies(Req, Resp);
        }
        // For ctSSLProxy the TLS IO handler's PassThrough goes off here once TLS
        // exists, so that TLS starts inside the tunnel.
        if (Resp.ResponseCode() / 100 == 2)
            return;
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
    if (Connected())
        return;
    SetIPVersion(FURI->IPVersion());
    if (ARequest.UseProxy() == ctSSL || ARequest.UseProxy() == ctSSLProxy)
        throw EIdIOHandlerPropInvalid();  // no TLS IO handler class exists yet
    Connect();
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
    std::string Text = Trimmed(Lines.Text());
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
