// The OpenAI client component. Every call travels through four request
// primitives (GET, JSON POST, multipart POST built from a JSON description,
// DELETE) that add the credentials and hand the call to the HTTP API client.
// Above them, three layers know the endpoints:
//   TkbvHTTP_API_OpenAI_Base_Methods        one operation per endpoint: body text in, reply text out
//   TkbvHTTP_API_OpenAI_Base_Methods_Basic  plain arguments in, reply text out (_CreateCompletion, ...)
//   TkbvHTTP_API_OpenAI                     request objects in, response objects out
// and the streamed forms of completions and chat completions, which deliver
// each piece of the reply text as it arrives.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Persistent.h"
#include "httpapi/kbvHTTP_API.h"
#include "openai/kbvHTTP_API_OpenAI_Requests.h"
#include "openai/kbvHTTP_API_OpenAI_Responses.h"

// The public service; OPENAI_BASE_URL in the environment takes its place.
inline constexpr const char* kbvOpenAIDefaultBaseURL = "https://api.openai.com";

// A streamed reply failed after its head: the service reported an error in
// the stream, or the stream ended before its end mark.
class EkbvOpenAIStreamError : public Exception {
public:
    using Exception::Exception;
};

class TkbvHTTPOpenAILog_Options : public TPersistent {
public:
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool AValue) { FEnabled = AValue; }
    const std::string& FileName() const { return FFileName; }
    void SetFileName(std::string AValue) { FFileName = std::move(AValue); }
    void Assign(const TPersistent& ASource) override;

private:
    bool FEnabled = false;
    std::string FFileName;
};

class TkbvHTTPOpenAI_Options : public TPersistent {
public:
    TkbvHTTPOpenAI_Options();
    ~TkbvHTTPOpenAI_Options() override;

    const std::string& ApiKey() const { return FApiKey; }
    void SetApiKey(std::string AValue) { FApiKey = std::move(AValue); }
    const std::string& Organization() const { return FOrganization; }
    void SetOrganization(std::string AValue) { FOrganization = std::move(AValue); }
    TkbvHTTPOpenAILog_Options& LogOptions() { return *FLogOptions; }
    const TkbvHTTPOpenAILog_Options& LogOptions() const { return *FLogOptions; }
    void SetLogOptions(const TkbvHTTPOpenAILog_Options& AValue) { FLogOptions->Assign(AValue); }
    void Assign(const TPersistent& ASource) override;

private:
    std::string FApiKey;
    std::unique_ptr<TkbvHTTPOpenAILog_Options> FLogOptions;
    std::string FOrganization;
};

// One piece of a streamed reply's text; setting VCancel ends the stream.
using TkbvOpenAIDeltaEvent = std::function<void(const std::string& ADelta, bool& VCancel)>;

class TkbvHTTP_API_OpenAI_Base : public TkbvHTTPAPI_client {
public:
    // The service origin comes from OPENAI_BASE_URL when that is set.
    explicit TkbvHTTP_API_OpenAI_Base(TComponent* AOwner = nullptr);
    ~TkbvHTTP_API_OpenAI_Base() override;

    TkbvHTTPOpenAI_Options& OpenAIOptions() { return *FOpenAIOptions; }
    void SetOpenAIOptions(const TkbvHTTPOpenAI_Options& AValue) { FOpenAIOptions->Assign(AValue); }

    // The service origin (with a path prefix for gateways), kept without
    // trailing slashes and without a final "/v1", which the endpoints add:
    // "http://127.0.0.1:8080/v1/" is kept as "http://127.0.0.1:8080".
    const std::string& BaseURL() const { return FBaseURL; }
    void SetBaseURL(const std::string& AValue);

    // Every character but A-Z, a-z, 0-9, "-", ".", "_" and "~" as "%" and its
    // UTF-16 code unit in upper-case hexadecimal, at least two digits.
    static std::string PercentEncode(const std::string& AText);

protected:
    virtual std::string GetBaseURL();
    virtual std::string DoGetEndpoint(const std::string& aPath, const std::string& aQuery = "");
    virtual std::string DoPostEndpoint(const std::string& aPath, const std::string& aBody,
                                       const std::string& aQuery = "");
    // aBody describes the form: "image", "mask" and "file" name local files
    // sent as file parts; every other item becomes a UTF-8 text field.
    virtual std::string DoPostEndpointMultipart(const std::string& aPath, const std::string& aBody,
                                                const std::string& aQuery = "");
    virtual std::string DoDeleteEndpoint(const std::string& aPath, const std::string& aQuery = "");
    // A GET whose reply body comes back as the bytes that were sent.
    virtual std::string DoGetEndpointContent(const std::string& aPath, const std::string& aQuery = "");
    // A JSON POST answered with server-sent events: each event's data goes to
    // aOnEvent as it arrives.
    virtual void DoPostEndpointEvents(const std::string& aPath, const std::string& aBody,
                                      const TkbvHTTPAPIEventHandler& aOnEvent, const std::string& aQuery = "");

    void SyncLogOptions();

private:
    std::string EndpointURL(const std::string& aPath, const std::string& aQuery);
    TStringList CredentialHeaders() const;

    std::unique_ptr<TkbvHTTPOpenAI_Options> FOpenAIOptions;
    std::string FBaseURL;
};

// Layer 1: one operation per endpoint; identifiers go into the path as one
// percent-encoded segment.
class TkbvHTTP_API_OpenAI_Base_Methods : public TkbvHTTP_API_OpenAI_Base {
public:
    using TkbvHTTP_API_OpenAI_Base::TkbvHTTP_API_OpenAI_Base;

    // The ALSA capture device recordings come from.
    const std::string& AudioDevice() const { return FAudioDevice; }
    void SetAudioDevice(std::string AValue) { FAudioDevice = std::move(AValue); }

protected:
    std::string GetBaseURL() override;

    // About aTime milliseconds of microphone input as a WAV file at aFileName.
    virtual void DoRecordAudio(const std::string& aFileName, uint32_t aTime);

    virtual std::string DoGetModels();
    virtual std::string DoGetModel(const std::string& aModel);
    virtual std::string DoCreateCompletion(const std::string& aBody);
    std::string DoCreateChatCompletion(const std::string& aBody);
    virtual std::string DoCreateEdit(const std::string& aBody);
    virtual std::string DoCreateImage(const std::string& aBody);
    virtual std::string DoCreateImageEdit(const std::string& aBody);
    virtual std::string DoCreateImageVariation(const std::string& aBody);
    virtual std::string DoCreateEmbeddings(const std::string& aBody);
    virtual std::string DoCreateTranscription(const std::string& aBody);
    virtual std::string DoCreateTranslation(const std::string& aBody);
    virtual std::string DoListFiles();
    virtual std::string DoUploadFile(const std::string& aBody);
    virtual std::string DoDeleteFile(const std::string& aFileId);
    virtual std::string DoRetrieveFile(const std::string& aFileId);
    virtual std::string DoRetrieveFileContent(const std::string& aFileId);
    virtual std::string DoCreateFineTune(const std::string& aBody);
    virtual std::string DoListFineTunes();
    virtual std::string DoRetrieveFineTune(const std::string& aFineTuneId);
    virtual std::string DoCancelFineTune(const std::string& aFineTuneId);
    virtual std::string DoListFineTuneEvents(const std::string& aFineTuneId);
    virtual std::string DoDeleteFineTuneModel(const std::string& aModel);
    virtual std::string DoCreateModeration(const std::string& aBody);

    // The streamed forms: aBody asks for a stream ("stream": true). Each
    // piece of text of the first choice goes to aOnDelta as it arrives; the
    // result is the whole text. An error event, or an end before
    // "data: [DONE]", raises EkbvOpenAIStreamError.
    std::string DoCreateCompletionStream(const std::string& aBody, const TkbvOpenAIDeltaEvent& aOnDelta);
    std::string DoCreateChatCompletionStream(const std::string& aBody, const TkbvOpenAIDeltaEvent& aOnDelta);

    // A new owner-only file for a recording, in TEMP, else TMPDIR, else
    // /tmp, named after aPrefix ("kbvTranscription") and ending in ".wav".
    static std::string NewRecordingFile(const std::string& aPrefix);
    // Records aTime milliseconds into aFileName (made when empty); raises
    // when no file came of it.
    void Record(std::string& aFileName, const std::string& aPrefix, uint32_t aTime);

private:
    // aTextPath leads from a chunk's first choice to its text.
    std::string StreamDeltas(const std::string& aPath, const std::string& aBody,
                             const std::vector<const char*>& aTextPath, const TkbvOpenAIDeltaEvent& aOnDelta);

    std::string FAudioDevice = "default";
};

// Layer 2: plain arguments; every body is valid JSON whatever they hold.
class TkbvHTTP_API_OpenAI_Base_Methods_Basic : public TkbvHTTP_API_OpenAI_Base_Methods {
public:
    using TkbvHTTP_API_OpenAI_Base_Methods::TkbvHTTP_API_OpenAI_Base_Methods;

    std::string _GetModels();
    std::string _GetModel(const std::string& aModel);
    std::string _CreateCompletion(const std::string& aModel, const std::string& aPrompt);
    std::string _CreateChatCompletion(const std::string& aModel, const std::string& aMessage,
                                      const std::string& aRole = "user");
    // Without an input only "model" and "instruction" are sent.
    virtual std::string _CreateEdit(const std::string& aModel, const std::string& aInstruction,
                                    const std::string& aInput);
    std::string _CreateImage(const std::string& aPrompt);
    std::string _CreateImageEdit(const std::string& aImage, const std::string& aPrompt);
    std::string _CreateImageVariations(const std::string& aImage);
    std::string _CreateEmbeddings(const std::string& aModel, const std::string& aInput);
    std::string _CreateTranscriptionFromFile(const std::string& aModel, const std::string& aFilename);
    // Records aTime milliseconds, uploads the recording and removes it.
    std::string _CreateTranscription(const std::string& aModel, uint32_t aTime);
    std::string _CreateTranslationFromFile(const std::string& aModel, const std::string& aFilename);
    std::string _CreateTranslation(const std::string& aModel, uint32_t aTime);
    std::string _ListFiles();
    std::string _UploadFile(const std::string& aFilename, const std::string& aPurpose);
    std::string _DeleteFile(const std::string& aFileId);
    std::string _RetrieveFile(const std::string& aFileId);
    std::string _RetrieveFileContent(const std::string& aFileId);
    std::string _CreateFineTune(const std::string& aTrainingFile);
    std::string _ListFineTunes();
    std::string _RetrieveFineTune(const std::string& aFineTuneId);
    std::string _CancelFineTune(const std::string& aFineTuneId);
    std::string _ListFineTuneEvents(const std::string& aFineTuneId);
    std::string _DeleteFineTuneModel(const std::string& aModel);
    std::string _CreateModeration(const std::string& aInput);

    // Streamed: the reply text piece by piece to aOnDelta; returns it whole.
    std::string _CreateCompletionStream(const std::string& aModel, const std::string& aPrompt,
                                        const TkbvOpenAIDeltaEvent& aOnDelta);
    std::string _CreateChatCompletionStream(const std::string& aModel, const std::string& aMessage,
                                            const std::string& aRole, const TkbvOpenAIDeltaEvent& aOnDelta);

private:
    std::string RecordAndSend(const std::string& aModel, uint32_t aTime, const char* aPrefix,
                              std::string (TkbvHTTP_API_OpenAI_Base_Methods_Basic::*aSend)(const std::string&,
                                                                                           const std::string&));
};

// Layer 3: request objects in, response objects (owned by the caller) out.
class TkbvHTTP_API_OpenAI : public TkbvHTTP_API_OpenAI_Base_Methods_Basic {
public:
    using TkbvHTTP_API_OpenAI_Base_Methods_Basic::TkbvHTTP_API_OpenAI_Base_Methods_Basic;

    std::unique_ptr<TkbvOpenAIClass_Response_Models> GetModels();
    std::unique_ptr<TkbvOpenAI_Response_Model_Class> GetModel(const std::string& aModel);
    std::unique_ptr<TkbvOpenAIClass_Response_Completion> CreateCompletion(
        TkbvOpenAIClass_Request_Completion& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_ChatCompletion> CreateChatCompletion(
        TkbvOpenAIClass_Request_ChatCompletion& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Edit> CreateEdit(TkbvOpenAIClass_Request_Edit& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Image> CreateImage(TkbvOpenAIClass_Request_Image& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Image_Edit> CreateImageEdit(
        TkbvOpenAIClass_Request_Image_Edit& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Image_Variation> CreateImageVariation(
        TkbvOpenAIClass_Request_Image_Variation& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Embeddings> CreateEmbeddings(
        TkbvOpenAIClass_Request_Embeddings& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Transcription> CreateTranscriptionFromFile(
        TkbvOpenAIClass_Request_Transcription& aRequest);
    // Records aTime milliseconds into the request's Filename (a new temporary
    // file when it is empty; the request keeps its name), then uploads it.
    std::unique_ptr<TkbvOpenAIClass_Response_Transcription> CreateTranscription(
        TkbvOpenAIClass_Request_Transcription& aRequest, uint32_t aTime);
    std::unique_ptr<TkbvOpenAIClass_Response_Translation> CreateTranslationFromFile(
        TkbvOpenAIClass_Request_Translation& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Translation> CreateTranslation(
        TkbvOpenAIClass_Request_Translation& aRequest, uint32_t aTime);
    std::unique_ptr<TkbvOpenAIClass_Response_Files> ListFiles();
    std::unique_ptr<TkbvOpenAIClass_Response_File> UploadFile(TkbvOpenAIClass_Request_UploadFile& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_Delete> DeleteFile(const std::string& aFileId);
    std::unique_ptr<TkbvOpenAIClass_Response_File> RetrieveFile(const std::string& aFileId);
    std::string RetrieveFileContent(const std::string& aFileId);
    std::unique_ptr<TkbvOpenAIClass_Response_FineTune> CreateFineTune(TkbvOpenAIClass_Request_FineTune& aRequest);
    std::unique_ptr<TkbvOpenAIClass_Response_FineTunes> ListFineTunes();
    std::unique_ptr<TkbvOpenAIClass_Response_FineTune> RetrieveFineTune(const std::string& aFineTuneId);
    std::unique_ptr<TkbvOpenAIClass_Response_FineTune> CancelFineTune(const std::string& aFineTuneId);
    std::unique_ptr<TkbvOpenAIClass_Response_FineTune_Events> ListFineTuneEvents(const std::string& aFineTuneId);
    std::unique_ptr<TkbvOpenAIClass_Response_Delete> DeleteFineTuneModel(const std::string& aModel);
    std::unique_ptr<TkbvOpenAIClass_Response_Moderation> CreateModeration(
        TkbvOpenAIClass_Request_Moderation& aRequest);

    // Streamed: sets the request's Stream, delivers the reply text piece by
    // piece to aOnDelta and returns it whole.
    std::string CreateCompletionStream(TkbvOpenAIClass_Request_Completion& aRequest,
                                       const TkbvOpenAIDeltaEvent& aOnDelta);
    std::string CreateChatCompletionStream(TkbvOpenAIClass_Request_ChatCompletion& aRequest,
                                           const TkbvOpenAIDeltaEvent& aOnDelta);
};
