#include "httpapi/kbvHTTP_API.h"

#include "core/Streams.h"
#include "httpapi/kbvHTTP_Client.h"

const char* TkbvComponent_Base::Version() { return kbvLibraryVersion; }

TkbvHTTPAPI_client::TkbvHTTPAPI_client(TComponent* AOwner)
    : TkbvHTTPComponentClient_Base(AOwner), FTLSOptions(std::make_unique<TkbvIdHTTPTLS_Options>()) {
    FTLSOptions->SetVersion(tls1_2);
    FTLSOptions->SetVerifyCertificate(true);
}

TkbvHTTPAPI_client::~TkbvHTTPAPI_client() { FDestroying = true; }

std::string TkbvHTTPAPI_client::Get(const std::string& aURL, const TStringList* aHeaders) {
    return DoGet(aURL, aHeaders);
}

std::string TkbvHTTPAPI_client::Post(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders,
                                     TIdMultiPartFormDataStream* aMultipartFormData) {
    return DoPost(aURL, aBody, aHeaders, aMultipartFormData);
}

std::string TkbvHTTPAPI_client::Delete(const std::string& aURL, const TStringList* aHeader, const std::string& aBody) {
    return DoDelete(aURL, aHeader, aBody);
}

std::string TkbvHTTPAPI_client::Patch(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders) {
    return DoPatch(aURL, aBody, aHeaders);
}

std::string TkbvHTTPAPI_client::Put(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders) {
    return DoPut(aURL, aBody, aHeaders);
}

std::string TkbvHTTPAPI_client::DoGet(const std::string& aURL, const TStringList* aHeaders) {
    return Call(aHeaders, [&](TkbvIdHTTP& AHTTP) { return AHTTP.Get(aURL); });
}

std::string TkbvHTTPAPI_client::DoPost(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders,
                                       TIdMultiPartFormDataStream* aMultipartFormData) {
    return Call(aHeaders, [&](TkbvIdHTTP& AHTTP) {
        if (aMultipartFormData)
            return AHTTP.Post(aURL, aMultipartFormData);
        TStringStream Body(aBody);  // text goes out as UTF-8
        return AHTTP.Post(aURL, &Body);
    });
}

std::string TkbvHTTPAPI_client::DoDelete(const std::string& aURL, const TStringList* aHeader, const std::string& aBody) {
    return Call(aHeader, [&](TkbvIdHTTP& AHTTP) { return aBody.empty() ? AHTTP.Delete(aURL) : AHTTP.Delete(aURL, aBody); });
}

std::string TkbvHTTPAPI_client::DoPatch(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders) {
    return Call(aHeaders, [&](TkbvIdHTTP& AHTTP) {
        TStringStream Body(aBody);
        return AHTTP.Patch(aURL, &Body);
    });
}

std::string TkbvHTTPAPI_client::DoPut(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders) {
    return Call(aHeaders, [&](TkbvIdHTTP& AHTTP) {
        TStringStream Body(aBody);
        return AHTTP.Put(aURL, &Body);
    });
}

std::string TkbvHTTPAPI_client::Call(const TStringList* AHeaders, const std::function<std::string(TkbvIdHTTP&)>& AVerb) {
    try {
        TkbvIdHTTP HTTP;  // this call's alone: nothing survives it
        HTTP.SetTLSOptions(*FTLSOptions);
        HTTP.SetLog(FLog);
        HTTP.LogOptions().SetFileName(FLogFileName);
        if (AHeaders)
            HTTP.Request().CustomHeaders().SetText(AHeaders->Text());
        return AVerb(HTTP);
    } catch (EIdHTTPProtocolException& E) {
        E.SetMessage(E.Message() + ". " + E.ErrorMessage());
        if (!FOnHTTPAPIException)
            throw;
        FOnHTTPAPIException(this, E);
    } catch (Exception& E) {
        if (!FOnHTTPAPIException)
            throw;
        FOnHTTPAPIException(this, E);
    }
    return "";
}
