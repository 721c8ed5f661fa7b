#include "httpapi/kbvHTTP_API.h"

#include <thread>

#include "core/Streams.h"
#include "httpapi/kbvHTTP_Client.h"
#include "httpapi/kbvHTTP_Retry.h"

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

std::string TkbvHTTPAPI_client::GetContent(const std::string& aURL, const TStringList* aHeaders) {
    return Call(aHeaders, [&](TkbvIdHTTP& AHTTP) {
        TStringStream Body;
        AHTTP.Get(aURL, &Body);
        return Body.DataString();
    });
}

void TkbvHTTPAPI_client::PostEvents(const std::string& aURL, const std::string& aBody, const TStringList* aHeaders,
                                    const TkbvHTTPAPIEventHandler& aOnEvent) {
    bool Delivered = false;
    Call(
        aHeaders,
        [&](TkbvIdHTTP& AHTTP) {
            AHTTP.SetOnSSEMessage([&](TObject*, const std::string& AData, bool& VCancel) {
                Delivered = true;
                aOnEvent(AData, VCancel);
            });
            TStringStream Body(aBody);
            AHTTP.PostSSE(aURL, &Body);
            return std::string();
        },
        [&] { return !Delivered; });
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

void TkbvHTTPAPI_client::Configure(TkbvIdHTTP& AHTTP, const TStringList* AHeaders) const {
    AHTTP.SetTLSOptions(*FTLSOptions);
    AHTTP.SetLog(FLog);
    AHTTP.LogOptions().SetFileName(FLogFileName);
    AHTTP.SetReadTimeout(FReadTimeout);
    if (AHeaders) {
        // Line by line: a line break inside a value must reach the
        // exchange's check as it is, not split into a header of its own.
        TIdHeaderList& Custom = AHTTP.Request().CustomHeaders();
        Custom.Clear();
        for (int I = 0; I < AHeaders->Count(); ++I)
            Custom.Add(AHeaders->Strings(I));
    }
}

std::string TkbvHTTPAPI_client::Call(const TStringList* AHeaders, const TVerb& AVerb,
                                     const std::function<bool()>& AMayRetry) {
    for (int Attempt = 0;; ++Attempt) {
        TkbvIdHTTP HTTP;  // this attempt's alone: nothing survives it
        Configure(HTTP, AHeaders);
        try {
            return AVerb(HTTP);
        } catch (Exception& E) {
            std::optional<std::chrono::milliseconds> Delay;
            if (Attempt < FMaxRetries && (!AMayRetry || AMayRetry()))
                Delay = RetryDelay(E, HTTP.Response().RawHeaders().Values("Retry-After"), Attempt);
            if (!Delay) {
                ReportFailure(E);
                return "";
            }
            std::this_thread::sleep_for(*Delay);
        }
    }
}

void TkbvHTTPAPI_client::ReportFailure(Exception& AE) {
    if (auto* HTTPError = dynamic_cast<EIdHTTPProtocolException*>(&AE))
        HTTPError->SetMessage(HTTPError->Message() + ". " + HTTPError->ErrorMessage());
    if (!FOnHTTPAPIException)
        throw;
    FOnHTTPAPIException(this, AE);
}
