// The HTTP API client: one REST call per method call, each over a freshly
// made and configured HTTP client component, with the server's reply body
// added to the message of an HTTP error.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/Component.h"
#include "core/Exceptions.h"
#include "core/StringList.h"
#include "httpapi/kbvHTTP_Options.h"

class TIdMultiPartFormDataStream;
class TkbvIdHTTP;

class TkbvComponent_Base : public TComponent {
public:
    using TComponent::TComponent;
    static const char* Version();
    // Components here are made in code: never designed nor loaded.
    bool ComponentDesigning() const { return false; }
    bool ComponentDestroying() const { return FDestroying; }
    bool ComponentLoading() const { return false; }

protected:
    bool FDestroying = false;
};

class TkbvHTTPComponent_Base : public TkbvComponent_Base {
public:
    using TkbvComponent_Base::TkbvComponent_Base;
};

class TkbvHTTPComponentClient_Base : public TkbvHTTPComponent_Base {
public:
    using TkbvHTTPComponent_Base::TkbvHTTPComponent_Base;
};

// AE is the failure; after the event the call returns the empty text.
using TkbvHTTPAPIExceptionEvent = std::function<void(TObject* ASender, Exception& AE)>;
// The data of one server-sent event; setting VCancel ends the stream.
using TkbvHTTPAPIEventHandler = std::function<void(const std::string& AData, bool& VCancel)>;

class TkbvHTTPAPI_client : public TkbvHTTPComponentClient_Base {
public:
    // TLS 1.2, and the server verified: the API key goes to no unchecked peer.
    explicit TkbvHTTPAPI_client(TComponent* AOwner = nullptr);
    ~TkbvHTTPAPI_client() override;

    TkbvIdHTTPTLS_Options& TLSOptions() { return *FTLSOptions; }
    void SetTLSOptions(const TkbvIdHTTPTLS_Options& AValue) { FTLSOptions->Assign(AValue); }
    void SetOnHTTPAPIException(TkbvHTTPAPIExceptionEvent AValue) { FOnHTTPAPIException = std::move(AValue); }

    // How often a failed call is tried again (0, the default: never): after
    // a connection failure or time-out, or a 408, 409, 429 or 5xx reply,
    // with exponential back-off and jitter, or after the reply's
    // Retry-After when that is at most a minute.
    int MaxRetries() const { return FMaxRetries; }
    void SetMaxRetries(int AValue) { FMaxRetries = AValue < 0 ? 0 : AValue; }
    // Milliseconds a call waits for the server (0: no limit). Ten minutes
    // by default: long replies take time, a server that never answers must not hang the caller.
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int AValue) { FReadTimeout = AValue; }

    // AHeaders: "Name: value" lines that replace the custom headers; the
    // caller keeps them, and the multipart body.
    std::string Get(const std::string& aURL, const TStringList* aHeaders = nullptr);
    // With a multipart body aBody is not sent.
    std::string Post(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders = nullptr,
                     TIdMultiPartFormDataStream* aMultipartFormData = nullptr);
    // An empty aBody sends no body.
    std::string Delete(const std::string& aURL, const TStringList* aHeader = nullptr, const std::string& aBody = "");
    std::string Patch(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders = nullptr);
    std::string Put(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders = nullptr);
    // The reply body's bytes as they came, whatever its type: files, audio.
    std::string GetContent(const std::string& aURL, const TStringList* aHeaders = nullptr);
    // POSTs aBody (JSON) and reads the reply as server-sent events, each
    // event's data to aOnEvent as it arrives. Not tried again once an event
    // has been delivered.
    void PostEvents(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders,
                    const TkbvHTTPAPIEventHandler& aOnEvent);

protected:
    virtual std::string DoGet(const std::string& aURL, const TStringList* aHeaders);
    virtual std::string DoPost(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders,
                               TIdMultiPartFormDataStream* aMultipartFormData);
    virtual std::string DoDelete(const std::string& aURL, const TStringList* aHeader, const std::string& aBody);
    virtual std::string DoPatch(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders);
    virtual std::string DoPut(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders);

    bool FLog = false;
    std::string FLogFileName;

private:
    using TVerb = std::function<std::string(TkbvIdHTTP&)>;
    // Runs AVerb on a component made and configured for this attempt alone,
    // tries again as MaxRetries allows (and AMayRetry, when given, agrees),
    // and reports the last failure.
    std::string Call(const TStringList* AHeaders, const TVerb& AVerb, const std::function<bool()>& AMayRetry = {});
    void Configure(TkbvIdHTTP& AHTTP, const TStringList* AHeaders) const;
    // Rethrows the failure being handled, or hands it to the event.
    void ReportFailure(Exception& AE);

    std::unique_ptr<TkbvIdHTTPTLS_Options> FTLSOptions;
    TkbvHTTPAPIExceptionEvent FOnHTTPAPIException;
    int FMaxRetries = 0;
    int FReadTimeout = 600000;
};
