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

class TkbvHTTPAPI_client : public TkbvHTTPComponentClient_Base {
public:
    // TLS 1.2, and the server verified: the API key goes to no unchecked peer.
    explicit TkbvHTTPAPI_client(TComponent* AOwner = nullptr);
    ~TkbvHTTPAPI_client() override;

    TkbvIdHTTPTLS_Options& TLSOptions() { return *FTLSOptions; }
    void SetTLSOptions(const TkbvIdHTTPTLS_Options& AValue) { FTLSOptions->Assign(AValue); }
    void SetOnHTTPAPIException(TkbvHTTPAPIExceptionEvent AValue) { FOnHTTPAPIException = std::move(AValue); }

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
    // Makes and configures the call's component, runs AVerb on it and
    // reports a failure as the client does.
    std::string Call(const TStringList* AHeaders, const std::function<std::string(TkbvIdHTTP&)>& AVerb);

    std::unique_ptr<TkbvIdHTTPTLS_Options> FTLSOptions;
    TkbvHTTPAPIExceptionEvent FOnHTTPAPIException;
};
