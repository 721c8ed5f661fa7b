// The HTTP/1.1 client: one verb call becomes one or more request/response
// exchanges on a kept-alive connection, with redirects, interim responses,
// error statuses raised as EIdHTTPProtocolException, and response bodies read
// by their framing (Content-Length, chunked, multipart boundary, close).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/EnumSet.h"
#include "core/Streams.h"
#include "core/StringList.h"
#include "http/kbvIdHTTPHeaderInfo.h"
#include "http/kbvIdMultipartFormData.h"
#include "http/kbvIdURI.h"
#include "net/kbvIdSSL.h"
#include "net/kbvIdTCPClient.h"

class TIdZLibCompressorBase;
class TIdCustomHTTP;
class TIdCookieManager;
class TIdAuthenticationManager;

enum TIdHTTPProtocolVersion { pv1_0, pv1_1 };
enum TIdHTTPConnectionType { ctNormal, ctSSL, ctProxy, ctSSLProxy };
enum TIdHTTPWhatsNext { wnGoToURL, wnJustExit, wnDontKnow, wnReadAndGo, wnAuthRequest };
enum TIdHTTPOption {
    hoInProcessAuth,
    hoKeepOrigProtocol,
    hoForceEncodeParams,
    hoNonSSLProxyUseConnectVerb,
    hoNoParseMetaHTTPEquiv,
    hoWaitForUnexpectedData,
    hoTreat302Like303,
    hoNoProtocolErrorException,
    hoNoReadMultipartMIME,
    hoNoParseXmlCharset,
    hoWantProtocolErrorContent,
    hoNoReadChunked
};

using TIdHTTPOptions = TEnumSet<TIdHTTPOption>;

// Status codes that do not raise.
using TIdReplyCodes = std::vector<int16_t>;

extern const char* const ProtocolVersionString[2];

class EIdUnknownProtocol : public EIdException {
public:
    EIdUnknownProtocol() : EIdException("Unknown Protocol") {}
};

class EIdIOHandlerPropInvalid : public EIdException {
public:
    EIdIOHandlerPropInvalid() : EIdException("IOHandler value is not valid") {}
};

// A status the client does not accept: the message is the status line, the
// error message the reply body.
class EIdHTTPProtocolException : public EIdReplyRFCError {
public:
    EIdHTTPProtocolException(int AErrorCode, const std::string& AReplyMessage, std::string AErrorMessage)
        : EIdReplyRFCError(AErrorCode, AReplyMessage), FErrorMessage(std::move(AErrorMessage)) {}
    static EIdHTTPProtocolException CreateError(int AErrCode, const std::string& AReplyMessage,
                                                const std::string& AErrorMessage) {
        return EIdHTTPProtocolException(AErrCode, AReplyMessage, AErrorMessage);
    }
    const std::string& ErrorMessage() const { return FErrorMessage; }

private:
    std::string FErrorMessage;
};

// The response cannot be taken as HTTP: its framing is broken or ambiguous,
// or it goes past a bound of TIdHTTPResponseLimits. The connection is closed,
// since what is left on it can no longer be told apart from the next response.
class EIdHTTPBadResponse : public EIdException {
public:
    using EIdException::EIdException;
};

// The connection closed before the response was complete.
class EIdHTTPResponseIncomplete : public EIdHTTPBadResponse {
public:
    using EIdHTTPBadResponse::EIdHTTPBadResponse;
};

// The response goes past a bound; the message names it.
class EIdHTTPResponseTooLarge : public EIdHTTPBadResponse {
public:
    using EIdHTTPBadResponse::EIdHTTPBadResponse;
};

// A request refused before anything is written: a URL, method or header
// that would put CR, LF or NUL on the wire, or a URL the client cannot reach.
class EIdHTTPInvalidRequest : public EIdException {
public:
    using EIdException::EIdException;
};

// What one response may make the client read or hold. Every bound exceeded
// raises EIdHTTPResponseTooLarge naming it, except the two that only decide
// how much of an unwanted body is read before the connection is closed.
struct TIdHTTPResponseLimits {
    int MaxHeaderLines = 255;              // header lines, and trailer lines; 0 or below: no bound
    int MaxInterimResponses = 16;          // 1xx responses before the final one
    int64_t MaxBodySize = 0;               // body bytes delivered to the caller, decoded; 0 or below: no bound
    int64_t ErrorBodyKept = 64 * 1024;     // prefix of an error body kept for ErrorMessage; the rest is not read
    int64_t DiscardedBodyRead = 64 * 1024; // a dropped body longer than this closes the connection instead
    int64_t CharsetPrefix = 64 * 1024;     // bytes of an HTML or XML body searched for its charset
};

class TIdHTTPRequest : public TIdRequestHeaderInfo {
public:
    explicit TIdHTTPRequest(TIdCustomHTTP* AHTTP);

    const std::string& URL() const { return FURL; }
    void SetURL(std::string Value) { FURL = std::move(Value); }
    const std::string& Method() const { return FMethod; }
    void SetMethod(std::string Value) { FMethod = std::move(Value); }
    TStream* Source() const { return FSourceStream; }
    void SetSource(TStream* Value) { FSourceStream = Value; }
    TIdHTTPConnectionType UseProxy() const { return FUseProxy; }
    void SetUseProxy(TIdHTTPConnectionType Value) { FUseProxy = Value; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TIdIPVersion Value) { FIPVersion = Value; }
    const std::string& Destination() const { return FDestination; }
    void SetDestination(std::string Value) { FDestination = std::move(Value); }
    // The method, or the method override when there is one, tested without case.
    bool MethodIs(std::string_view AMethod) const;

private:
    TIdCustomHTTP* FHTTP;
    std::string FURL;
    std::string FMethod;
    TStream* FSourceStream = nullptr;
    TIdHTTPConnectionType FUseProxy = ctNormal;
    TIdIPVersion FIPVersion = Id_IPv4;
    std::string FDestination;
};

class TIdHTTPResponse : public TIdResponseHeaderInfo {
public:
    explicit TIdHTTPResponse(TIdCustomHTTP* AHTTP);

    void Clear() override;

    // Evaluated on every read: see the keep-alive rule in the source.
    bool KeepAlive();
    void SetKeepAlive(bool Value) { FKeepAlive = Value; }
    // Setting the status line resets the code (parsed on first use) and the version.
    const std::string& ResponseText() const { return FResponseText; }
    void SetResponseText(const std::string& Value);
    int ResponseCode();
    void SetResponseCode(int Value) { FResponseCode = Value; }
    TIdHTTPProtocolVersion ResponseVersion() const { return FResponseVersion; }
    TStream* ContentStream() const { return FContentStream; }
    void SetContentStream(TStream* Value) { FContentStream = Value; }
    TIdMetaHTTPEquiv& MetaHTTPEquiv() { return FMetaHTTPEquiv; }

private:
    TIdCustomHTTP* FHTTP;
    int FResponseCode = -1;
    std::string FResponseText;
    bool FKeepAlive = false;
    TStream* FContentStream = nullptr;
    TIdHTTPProtocolVersion FResponseVersion = pv1_0;
    TIdMetaHTTPEquiv FMetaHTTPEquiv{this};
};

// One request and its response, bound to the client that sends them.
class TIdHTTPProtocol : public TObject {
public:
    explicit TIdHTTPProtocol(TIdCustomHTTP* AHTTP);

    void BuildAndSendRequest(TIdURI* AURI);
    void RetrieveHeaders(int AMaxHeaderCount);
    TIdHTTPWhatsNext ProcessResponse(const TIdReplyCodes& AIgnoreReplies);

    TIdHTTPRequest& Request() { return *FRequest; }
    TIdHTTPResponse& Response() { return *FResponse; }

private:
    bool HeadersAllowContinue();
    void RaiseOrKeepError(const TIdReplyCodes& AIgnoreReplies);
    void DiscardBody();
    // Reads the body into ATarget (none drops it). With AStopAfter >= 0 a
    // longer body is not read on: the connection is closed instead.
    void ReadBodyInto(TStream* ATarget, int64_t AStopAfter = -1);
    void CheckRequestIsSafe();

    TIdCustomHTTP* FHTTP;
    std::unique_ptr<TIdHTTPRequest> FRequest;
    std::unique_ptr<TIdHTTPResponse> FResponse;
};

using TIdHTTPOnRedirectEvent = std::function<void(TObject* Sender, std::string& dest, int& NumRedirect,
                                                  bool& Handled, std::string& VMethod)>;
using TIdHTTPOnHeadersAvailable = std::function<void(TObject* Sender, TIdHeaderList& AHeaders, bool& VContinue)>;
using TIdChunkReceivedEvent = std::function<void(TObject* Sender, TIdBytes& Chunk)>;
// May change (or set) the scheme chosen for the challenges in AuthInfo.
using TIdSelectAuthorizationEvent =
    std::function<void(TObject* Sender, TIdAuthenticationClass& AuthenticationClass, TIdHeaderList& AuthInfo)>;
// Asked for credentials: sets them on Authentication and Handled to answer.
using TIdAuthorizationEvent = std::function<void(TObject* Sender, TIdAuthentication* Authentication, bool& Handled)>;

class TIdCustomHTTP : public TIdTCPClientCustom {
    friend class TIdHTTPProtocol;
    friend class TIdHTTPResponse;

public:
    explicit TIdCustomHTTP(TComponent* AOwner = nullptr);
    ~TIdCustomHTTP() override;

    // --- verbs ---------------------------------------------------------------
    // A null response stream drops the body; the string forms decode it.
    void Get(const std::string& AURL, TStream* AResponseContent);
    void Get(const std::string& AURL, TStream* AResponseContent, const TIdReplyCodes& AIgnoreReplies);
    std::string Get(const std::string& AURL);
    std::string Get(const std::string& AURL, const TIdReplyCodes& AIgnoreReplies);
    void Head(const std::string& AURL);
    void Options(const std::string& AURL, TStream* AResponseContent);
    std::string Options(const std::string& AURL);
    void Trace(const std::string& AURL, TStream* AResponseContent);
    std::string Trace(const std::string& AURL);
    void Delete(const std::string& AURL, TStream* AResponseContent);
    std::string Delete(const std::string& AURL);
    std::string Delete(const std::string& AURL, const std::string& aBody);
    void Put(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
    std::string Put(const std::string& AURL, TStream* ASource);
    void Patch(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
    std::string Patch(const std::string& AURL, TStream* ASource);
    void Post(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
    std::string Post(const std::string& AURL, TStream* ASource);
    void Post(const std::string& AURL, const std::string& ASourceFile, TStream* AResponseContent);
    std::string Post(const std::string& AURL, const std::string& ASourceFile);
    void Post(const std::string& AURL, TStringList* ASource, TStream* AResponseContent,
              const IIdTextEncodingPtr& AByteEncoding = nullptr);
    std::string Post(const std::string& AURL, TStringList* ASource, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    void Post(const std::string& AURL, TIdMultiPartFormDataStream* ASource, TStream* AResponseContent);
    std::string Post(const std::string& AURL, TIdMultiPartFormDataStream* ASource);

    // Form encoding of one name or value (UTF-8 unless AByteEncoding is given).
    static std::string EncodeFormValue(const std::string& AText, const IIdTextEncodingPtr& AByteEncoding = nullptr);
    // Joins path onto base: absolute paths win, "//" collapses, ".." climbs.
    static std::string ResolvePath(const std::string& ABase, const std::string& APath, char ADelimiter = '/');

    // Also drops what was buffered: bytes of a dropped connection must not
    // make it look connected.
    void Disconnect(bool ANotifyPeer = true) override;

    // --- media types and charsets ------------------------------------------
    bool IsHtmlContentType();
    bool IsXmlContentType();
    // application/json or a "+json" subtype.
    bool IsJsonContentType();
    // The charset the text verbs decode the body with: the response charset,
    // UTF-8 for JSON without one.
    std::string ResponseTextCharset();
    // The bytes from the position to the end, decoded with ACharset; an empty
    // or unknown charset decodes byte by byte.
    static std::string ReadTextWithCharset(TStream& AStream, const std::string& ACharset);
    // The charset of an XML body by its byte-order mark or declaration; "UTF-8" by default.
    static std::string XmlBodyCharset(TStream& AStream);

    // --- properties -----------------------------------------------------------
    TIdHTTPRequest& Request() { return FHTTPProto->Request(); }
    void SetRequest(const TIdHTTPRequest& Value) { Request().Assign(Value); }
    TIdHTTPResponse& Response() { return FHTTPProto->Response(); }
    int ResponseCode() { return Response().ResponseCode(); }
    const std::string& ResponseText() { return Response().ResponseText(); }
    TIdMetaHTTPEquiv& MetaHTTPEquiv() { return Response().MetaHTTPEquiv(); }
    TIdProxyConnectionInfo& ProxyParams() { return *FProxyParameters; }
    void SetProxyParams(const TIdProxyConnectionInfo& Value) { FProxyParameters->Assign(Value); }
    TIdURI& URL() { return *FURI; }

    int MaxAuthRetries() const { return FMaxAuthRetries; }
    void SetMaxAuthRetries(int Value) { FMaxAuthRetries = Value; }
    int AuthRetries() const { return FAuthRetries; }
    int AuthProxyRetries() const { return FAuthProxyRetries; }
    // Bound on the header lines of one response; 0 or below: no bound.
    int MaxHeaderLines() const { return FLimits.MaxHeaderLines; }
    void SetMaxHeaderLines(int Value) { FLimits.MaxHeaderLines = Value; }
    // Bound on the body bytes delivered to the caller's stream; 0 or below: no bound.
    int64_t MaxBodySize() const { return FLimits.MaxBodySize; }
    void SetMaxBodySize(int64_t Value) { FLimits.MaxBodySize = Value; }
    TIdHTTPResponseLimits& ResponseLimits() { return FLimits; }
    bool AllowCookies() const { return FAllowCookies; }
    void SetAllowCookies(bool Value) { FAllowCookies = Value; }
    bool HandleRedirects() const { return FHandleRedirects; }
    void SetHandleRedirects(bool Value) { FHandleRedirects = Value; }
    TIdHTTPProtocolVersion ProtocolVersion() const { return FProtocolVersion; }
    void SetProtocolVersion(TIdHTTPProtocolVersion Value) { FProtocolVersion = Value; }
    int RedirectMaximum() const { return FRedirectMax; }
    void SetRedirectMaximum(int Value) { FRedirectMax = Value; }
    int RedirectCount() const { return FRedirectCount; }
    TIdHTTPOptions HTTPOptions() const { return FOptions; }
    void SetHTTPOptions(TIdHTTPOptions Value) { FOptions = Value; }
    TIdZLibCompressorBase* Compressor() const { return FCompressor; }
    void SetCompressor(TIdZLibCompressorBase* Value);
    // Linked, or made by the client on the first response when cookies are
    // allowed and none is linked (then owned by the client).
    TIdCookieManager* CookieManager() const { return FCookieManager; }
    void SetCookieManager(TIdCookieManager* Value);
    TIdAuthenticationManager* AuthenticationManager() const { return FAuthenticationManager; }
    void SetAuthenticationManager(TIdAuthenticationManager* Value);

    void SetOnHeadersAvailable(TIdHTTPOnHeadersAvailable Value) { FOnHeadersAvailable = std::move(Value); }
    void SetOnRedirect(TIdHTTPOnRedirectEvent Value) { FOnRedirect = std::move(Value); }
    void SetOnChunkReceived(TIdChunkReceivedEvent Value) { FOnChunkReceived = std::move(Value); }
    void SetOnSelectAuthorization(TIdSelectAuthorizationEvent Value) { FOnSelectAuthorization = std::move(Value); }
    void SetOnSelectProxyAuthorization(TIdSelectAuthorizationEvent Value) {
        FOnSelectProxyAuthorization = std::move(Value);
    }
    void SetOnAuthorization(TIdAuthorizationEvent Value) { FOnAuthorization = std::move(Value); }
    void SetOnProxyAuthorization(TIdAuthorizationEvent Value) { FOnProxyAuthorization = std::move(Value); }

protected:
    virtual void RunRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                            TStream* AResponseContent, const TIdReplyCodes& AIgnoreReplies);
    virtual std::unique_ptr<TIdHTTPProtocol> MakeProtocolObject();
    // Whether a 401 (407) is answered: by the request's (the proxy's)
    // authentication object, made for the first registered scheme the
    // challenges name, with the credentials set or asked for by event.
    virtual bool AnswerAuthChallenge(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    virtual bool AnswerProxyAuthChallenge(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    virtual bool AskRedirect(std::string& VDest, std::string& VMethod, int ANumRedirect);
    void Notification(TComponent* AComponent, TOperation Operation) override;

    void PrepareTarget(TIdHTTPRequest& ARequest);
    TIdHTTPConnectionType SelectEndpoint();
    void OpenAndSend(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    void OpenTunnel(TIdHTTPRequest& ARequest);
    void StartTLSInTunnel();
    void EnsureConnected(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    // Sends the request and reads the head of the final response, interim
    // responses skipped; a stale kept-alive connection is retried once.
    void SendAndReadHead(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    std::string ReadProtocolLine();
    // Whether credentials (Authorization lines, the request's user name and
    // password, the caller's Cookie lines) may go to the current target:
    // only to the origin the call started with.
    bool CredentialsAllowed() const;
    // Stores the response's cookies (and its meta http-equiv ones) for FURI.
    virtual void ApplyServerCookies(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    // Adds the Cookie line of the stored cookies that apply to AURI.
    virtual void AttachClientCookies(TIdURI& AURI);

    // --- body reading --------------------------------------------------------
    // "chunked" is the final transfer coding (a token of the list, without case).
    static bool IsChunked(TIdHTTPResponse& AResponse);
    // Raises EIdHTTPBadResponse when the framing headers contradict each other.
    void CheckFraming(TIdHTTPResponse& AResponse);
    void ReadBody(TIdHTTPResponse& AResponse);
    bool DecideBodyPresent(TIdHTTPResponse& AResponse);
    void MoveBodyBytes(TStream& AStream, int64_t ACount, int64_t& VDone);
    void ReadCountedBody(TStream& AStream, int64_t ACount);
    void ReadChunkedBody(TIdHTTPResponse& AResponse, TStream& AStream);
    void ReadMultipartBody(TIdHTTPResponse& AResponse, TStream& AStream);
    bool WaitForBodyData(int AMSec);

private:
    std::string BuildFormParams(TStringList& ASource, const IIdTextEncodingPtr& AByteEncoding);
    void DoPost(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
    std::string AsText(const std::function<void(TStream*)>& AVerb);
    bool LeaveConnectionOpen();
    void ReadResponseHead(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
    // ReadBody with a bound on the bytes delivered: at ALimit (> 0) AStop
    // ends the read quietly, closes the connection and returns false; else
    // EIdHTTPResponseTooLarge.
    bool ReadBodyWithin(TIdHTTPResponse& AResponse, int64_t ALimit, bool AStop);
    void ReadFramedBody(TIdHTTPResponse& AResponse, TStream& AStream);
    void ReadTrailers(TIdHTTPResponse& AResponse);
    int RedirectBodyWait() const;
    // An object of the first registered scheme the challenges name, as the
    // selection event leaves it; none when no scheme applies.
    std::unique_ptr<TIdAuthentication> MakeAuthentication(TIdHeaderList& AChallenges,
                                                          const TIdSelectAuthorizationEvent& AOnSelect);
    // Runs AAuth's steps with the credentials VUsername/VPassword, asking
    // AOnAsk when it needs others (which then come back in them). Whether
    // the request is to be sent again.
    bool DriveAuthentication(TIdAuthentication& AAuth, const TIdAuthorizationEvent& AOnAsk, std::string& VUsername,
                             std::string& VPassword);
    // Ends the request's authentication once its handshake is complete.
    void FinishAuthentications();

    std::unique_ptr<TIdURI> FURI;
    std::unique_ptr<TIdHTTPProtocol> FHTTPProto;
    std::unique_ptr<TIdProxyConnectionInfo> FProxyParameters;
    int FAuthRetries = 0;
    int FAuthProxyRetries = 0;
    int FMaxAuthRetries = 3;
    TIdHTTPResponseLimits FLimits;
    std::string FCredentialOrigin;  // scheme, host and port the call started with
    bool FReusedConnection = false; // the last request went out on a kept-alive connection
    bool FRequestWritten = false;   // the connection is up and the request is being written
    bool FAllowCookies = true;
    TIdZLibCompressorBase* FCompressor = nullptr;
    TIdCookieManager* FCookieManager = nullptr;
    std::unique_ptr<TIdCookieManager> FImplicitCookieManager;  // made by the client; FCookieManager then points at it
    TIdAuthenticationManager* FAuthenticationManager = nullptr;
    TIdHTTPProtocolVersion FProtocolVersion = pv1_1;
    int FRedirectCount = 0;
    int FRedirectMax = 15;
    bool FHandleRedirects = false;
    TIdHTTPOptions FOptions{hoForceEncodeParams};
    TIdHTTPOnHeadersAvailable FOnHeadersAvailable;
    TIdHTTPOnRedirectEvent FOnRedirect;
    TIdChunkReceivedEvent FOnChunkReceived;
    TIdSelectAuthorizationEvent FOnSelectAuthorization;
    TIdSelectAuthorizationEvent FOnSelectProxyAuthorization;
    TIdAuthorizationEvent FOnAuthorization;
    TIdAuthorizationEvent FOnProxyAuthorization;
};

// Publishes the properties of TIdCustomHTTP.
class TIdHTTP : public TIdCustomHTTP {
public:
    using TIdCustomHTTP::TIdCustomHTTP;
};
