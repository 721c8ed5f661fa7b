// The HTTP client component of one API call: the HTTP client with option
// groups for TLS, protocol logging, proxy and token authentication, applied
// right before each request, and server-sent-event reception.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/DateTime.h"
#include "http/kbvIdHTTP.h"
#include "httpapi/kbvHTTP_Options.h"
#include "httpapi/kbvHTTP_SSE.h"
#include "httpapi/kbvIdLogFile.h"

class TIdSSLIOHandlerSocketBase;
class TIdIOHandlerStack;
class TIdConnectThroughHttpProxy;
class TIdSocksInfo;

// AMessage is the data of one event; setting VCancel ends the stream.
using TkbvHTTPSSEMessageEvent = std::function<void(TObject* ASender, const std::string& AMessage, bool& VCancel)>;

// The library's version, as the components report it.
inline constexpr const char* kbvLibraryVersion = "2023.3.0";

class TkbvIdHTTP : public TIdHTTP {
public:
    explicit TkbvIdHTTP(TComponent* AOwner = nullptr);
    ~TkbvIdHTTP() override;

    bool Log() const { return FLog; }
    // Switching it off detaches and frees the log intercept.
    void SetLog(bool AValue);
    TkbvHttpLogFile& LogOptions() { return *FLogOptions; }
    void SetLogOptions(const TkbvHttpLogFile& AValue) { FLogOptions->Assign(AValue); }
    TkbvIdHTTPTLS_Options& TLSOptions() { return *FTLSOptions; }
    void SetTLSOptions(const TkbvIdHTTPTLS_Options& AValue) { FTLSOptions->Assign(AValue); }
    TkbvIdHTTPAuthentication_Options& Authentication() { return *FAuthentication; }
    void SetAuthentication(const TkbvIdHTTPAuthentication_Options& AValue) { FAuthentication->Assign(AValue); }
    TkbvHTTPProxy_Options& Proxy() { return *FProxy; }
    void SetProxy(const TkbvHTTPProxy_Options& AValue) { FProxy->Assign(AValue); }
    static const char* Version() { return kbvLibraryVersion; }
    void SetOnSSEMessage(TkbvHTTPSSEMessageEvent AValue) { FOnSSEMessage = std::move(AValue); }

    // GETs an event stream; each event's data goes to OnSSEMessage as it
    // arrives. A cancel from the handler ends the call quietly.
    void GetSSE(const std::string& AURL, const std::string& ACharset = "");
    // POSTs ASource and reads the reply as an event stream, as GetSSE does;
    // a reply that ends before it is complete raises.
    void PostSSE(const std::string& AURL, TStream* ASource, const std::string& ACharset = "");

    // Sets the token, its type and when it must be renewed.
    virtual void SetAuthToken(const std::string& AToken, const std::string& ATokenType, TDateTime AExpiry);

    TIdSSLIOHandlerSocketBase* TLSHandler() const { return FTLSHandler; }

protected:
    void RunRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                    TStream* AResponseContent, const TIdReplyCodes& AIgnoreReplies) override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    virtual std::string DoGetTLSPassword();
    virtual void DoAuthToken(const std::string& ATokenType, const std::string& AToken);
    virtual void DoAuthTokenError(const std::string& AError, const std::string& ADescription);
    // Gets or renews the token and installs its Authorization header.
    virtual void DoBeforeRequestToken();
    virtual void DoSSEWrite(std::string_view AData);

private:
    void AttachLog();
    void DetachLog();
    void EnsureTLSHandler();
    void MakeOpenSSLHandler();
    void MakeSChannelHandler();
    void SetUpProxy(bool ATLS);
    void DropIOHandler();
    // Runs ARequest with a stream that parses what it receives into events.
    void ReceiveEvents(const std::string& ACharset, const std::function<void(TStream*)>& ARequest);

    TIdSSLIOHandlerSocketBase* FTLSHandler = nullptr;  // a component child
    std::unique_ptr<TkbvIdLogFileClient> FLogIntercept;
    bool FLog = false;
    std::unique_ptr<TkbvHttpLogFile> FLogOptions;
    std::unique_ptr<TkbvIdHTTPTLS_Options> FTLSOptions;
    // The token hand-over: a provider may answer from its own thread.
    std::mutex FTokenLock;
    std::string FAuthToken;
    std::string FAuthTokenType;
    TDateTime FAuthTokenExpiry = 0;
    std::unique_ptr<TkbvIdHTTPAuthentication_Options> FAuthentication;
    std::unique_ptr<TkbvHTTPProxy_Options> FProxy;
    TIdIOHandlerStack* FProxyIOHandler = nullptr;       // component children
    TIdConnectThroughHttpProxy* FProxyHTTP = nullptr;
    TIdSocksInfo* FProxySocks = nullptr;
    std::unique_ptr<TIdEventStream> FEventStream;
    std::unique_ptr<TkbvSSEParser> FSSEParser;
    TkbvHTTPSSEMessageEvent FOnSSEMessage;
};
