#include "openai/kbvHTTP_API_OpenAI.h"

#include <cstdio>
#include <cstdlib>

#include "core/Format.h"
#include "core/Text.h"
#include "http/kbvIdMultipartFormData.h"
#include "json/kbvJSON.h"
#include "net/kbvIdGlobal.h"

// --- options -----------------------------------------------------------------------

void TkbvHTTPOpenAILog_Options::Assign(const TPersistent& ASource) {
    if (const auto* Source = dynamic_cast<const TkbvHTTPOpenAILog_Options*>(&ASource)) {
        FEnabled = Source->FEnabled;
        FFileName = Source->FFileName;
        return;
    }
    TPersistent::Assign(ASource);
}

TkbvHTTPOpenAI_Options::TkbvHTTPOpenAI_Options() : FLogOptions(std::make_unique<TkbvHTTPOpenAILog_Options>()) {}

TkbvHTTPOpenAI_Options::~TkbvHTTPOpenAI_Options() = default;

void TkbvHTTPOpenAI_Options::Assign(const TPersistent& ASource) {
    if (const auto* Source = dynamic_cast<const TkbvHTTPOpenAI_Options*>(&ASource)) {
        SetApiKey(Source->ApiKey());
        SetOrganization(Source->Organization());
        SetLogOptions(Source->LogOptions());
        return;
    }
    TPersistent::Assign(ASource);
}

// --- the client and its primitives -------------------------------------------------

namespace {

// The parts of a multipart description that name local files.
bool IsFilePart(std::string_view AName) { return AName == "image" || AName == "mask" || AName == "file"; }

std::string Environment(const char* AName) {
    const char* Value = std::getenv(AName);
    return Value ? Value : "";
}

}  // namespace

TkbvHTTP_API_OpenAI_Base::TkbvHTTP_API_OpenAI_Base(TComponent* AOwner)
    : TkbvHTTPAPI_client(AOwner), FOpenAIOptions(std::make_unique<TkbvHTTPOpenAI_Options>()) {
    SetBaseURL(Environment("OPENAI_BASE_URL"));
}

TkbvHTTP_API_OpenAI_Base::~TkbvHTTP_API_OpenAI_Base() = default;

void TkbvHTTP_API_OpenAI_Base::SetBaseURL(const std::string& AValue) {
    std::string URL(Trim(AValue));
    auto DropTrailingSlashes = [&URL] {
        while (!URL.empty() && URL.back() == '/')
            URL.pop_back();
    };
    DropTrailingSlashes();
    if (URL.size() >= 3 && URL.compare(URL.size() - 3, 3, "/v1") == 0) {
        URL.resize(URL.size() - 3);
        DropTrailingSlashes();
    }
    FBaseURL = URL.empty() ? kbvOpenAIDefaultBaseURL : URL;
}

std::string TkbvHTTP_API_OpenAI_Base::PercentEncode(const std::string& AText) {
    std::string Result;
    for (char16_t Unit : UTF8ToUTF16(AText)) {
        const bool Unreserved = (Unit >= 'A' && Unit <= 'Z') || (Unit >= 'a' && Unit <= 'z') ||
                                (Unit >= '0' && Unit <= '9') || Unit == '-' || Unit == '.' || Unit == '_' ||
                                Unit == '~';
        if (Unreserved)
            Result += static_cast<char>(Unit);
        else
            Result += Format("%%%.2X", static_cast<unsigned>(Unit));
    }
    return Result;
}

std::string TkbvHTTP_API_OpenAI_Base::GetBaseURL() { return FBaseURL; }

void TkbvHTTP_API_OpenAI_Base::SyncLogOptions() {
    const TkbvHTTPOpenAILog_Options& Log = FOpenAIOptions->LogOptions();
    if (FLog != Log.Enabled()) {
        FLogFileName = Log.FileName();
        FLog = Log.Enabled();
    }
}

std::string TkbvHTTP_API_OpenAI_Base::EndpointURL(const std::string& aPath, const std::string& aQuery) {
    return GetBaseURL() + aPath + (aQuery.empty() ? "" : "?" + aQuery);
}

TStringList TkbvHTTP_API_OpenAI_Base::CredentialHeaders() const {
    TStringList Headers;
    Headers.Add("Authorization: Bearer " + FOpenAIOptions->ApiKey());
    if (!FOpenAIOptions->Organization().empty())
        Headers.Add("OpenAI-Organization: " + FOpenAIOptions->Organization());
    return Headers;
}

std::string TkbvHTTP_API_OpenAI_Base::DoGetEndpoint(const std::string& aPath, const std::string& aQuery) {
    SyncLogOptions();
    const std::string URL = EndpointURL(aPath, aQuery);
    const TStringList Headers = CredentialHeaders();
    return Get(URL, &Headers);
}

std::string TkbvHTTP_API_OpenAI_Base::DoGetEndpointContent(const std::string& aPath, const std::string& aQuery) {
    SyncLogOptions();
    const std::string URL = EndpointURL(aPath, aQuery);
    const TStringList Headers = CredentialHeaders();
    return GetContent(URL, &Headers);
}

std::string TkbvHTTP_API_OpenAI_Base::DoDeleteEndpoint(const std::string& aPath, const std::string& aQuery) {
    SyncLogOptions();
    const std::string URL = EndpointURL(aPath, aQuery);
    const TStringList Headers = CredentialHeaders();
    return Delete(URL, &Headers, "");
}

std::string TkbvHTTP_API_OpenAI_Base::DoPostEndpoint(const std::string& aPath, const std::string& aBody,
                                                     const std::string& aQuery) {
    SyncLogOptions();
    const std::string URL = EndpointURL(aPath, aQuery);
    TStringList Headers = CredentialHeaders();
    Headers.Add("Content-Type: application/json");
    return Post(URL, aBody, &Headers);
}

std::string TkbvHTTP_API_OpenAI_Base::DoPostEndpointMultipart(const std::string& aPath, const std::string& aBody,
                                                              const std::string& aQuery) {
    SyncLogOptions();
    const std::string URL = EndpointURL(aPath, aQuery);
    const TStringList Headers = CredentialHeaders();
    TkbvJSON Description;
    Description.Read(aBody);
    TIdMultiPartFormDataStream Form;
    for (int I = 0; I < Description.Count(); ++I) {
        const IkbvObjectJSONPtr Item = Description.GetItem(I);
        const std::string Name(Item->Name());
        // The description holds JSON string text; the part gets the text itself.
        const std::string Value = Item->JSONType() == kbvJSONString ? UnescapeString(Item->Value()) : Item->Value();
        if (IsFilePart(Name)) {
            Form.AddFile(Name, Value, "");
        } else {
            // Sent as written: the service reads neither percent-encoding nor quoted-printable.
            TIdFormDataField* Field = Form.AddFormField(Name, Value, "utf-8", "", "");
            Field->SetContentTransfer("8bit");
        }
    }
    return Post(URL, "", &Headers, &Form);
}

void TkbvHTTP_API_OpenAI_Base::DoPostEndpointEvents(const std::string& aPath, const std::string& aBody,
                                                    const TkbvHTTPAPIEventHandler& aOnEvent,
                                                    const std::string& aQuery) {
    SyncLogOptions();
    const std::string URL = EndpointURL(aPath, aQuery);
    TStringList Headers = CredentialHeaders();
    Headers.Add("Content-Type: application/json");
    PostEvents(URL, aBody, &Headers, aOnEvent);
}
