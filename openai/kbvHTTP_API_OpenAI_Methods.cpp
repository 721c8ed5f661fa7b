// The endpoint layers of the OpenAI client: paths and verbs (layer 1), bodies
// from plain arguments (layer 2), request and response objects (layer 3),
// the streamed completions and the recordings behind the audio endpoints.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/Format.h"
#include "openai/kbvHTTP_API_OpenAI.h"
#include "openai/kbvHTTP_API_OpenAI_Recorder.h"

namespace {

// An identifier as one path segment, percent-encoded byte by byte, so that
// "/", "..", blanks and line breaks can neither reach another endpoint nor
// break the request line.
std::string Segment(const std::string& AIdentifier) {
    if (AIdentifier.empty())
        throw Exception("The identifier is empty.");
    std::string Result;
    const bool DotSegment = AIdentifier == "." || AIdentifier == "..";
    for (unsigned char C : AIdentifier) {
        const bool Unreserved = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') ||
                                C == '-' || C == '_' || C == '~' || (C == '.' && !DotSegment);
        Result += Unreserved ? std::string(1, static_cast<char>(C)) : Format("%%%.2X", C);
    }
    return Result;
}

std::string IdentifierPath(const char* APrefix, const std::string& AIdentifier, const char* ASuffix = "") {
    return APrefix + Segment(AIdentifier) + ASuffix;
}

// A body of string pairs in the given order; every value is a JSON string,
// whatever characters it holds.
class TBody {
public:
    TBody& Add(const std::string& AKey, const std::string& AValue) {
        TkbvOpenAIClass::AddString(*FJSON, AKey, AValue);
        return *this;
    }
    TBody& AddStream() {
        FJSON->AddPair("stream", true);
        return *this;
    }
    TkbvJSON& JSON() { return *FJSON; }
    std::string Text() const { return FJSON->Text(); }

private:
    std::unique_ptr<TkbvJSON> FJSON = std::make_unique<TkbvJSON>();
};

TBody ChatBody(const std::string& aModel, const std::string& aMessage, const std::string& aRole) {
    TBody Body;
    Body.Add("model", aModel);
    IkbvJSONPtr Messages = Body.JSON().AddArray("messages", "[]")->JSONObject();
    IkbvJSONPtr Message = Messages->AddObject("message", "{}")->JSONObject();
    TkbvOpenAIClass::AddString(*Message, "role", aRole);
    TkbvOpenAIClass::AddString(*Message, "content", aMessage);
    return Body;
}

// The text a stream chunk carries for its first choice, found by APath
// ("text", or "delta" then "content"); empty when it carries none.
std::string ChunkText(const TkbvJSON& AChunk, const std::vector<const char*>& APath) {
    IkbvObjectJSONPtr Choices = AChunk.GetNode("choices");
    IkbvObjectJSONPtr Node = Choices ? Choices->GetItem(0) : nullptr;
    for (const char* Key : APath)
        Node = Node ? Node->GetNode(Key) : nullptr;
    return Node && Node->JSONType() == kbvJSONString ? UnescapeString(Node->Value()) : "";
}

std::string TempFolder() {
    for (const char* Name : {"TEMP", "TMPDIR"})
        if (const char* Value = std::getenv(Name); Value && *Value)
            return Value;
    return "/tmp";
}

bool FileExists(const std::string& AFileName) {
    struct stat Info;
    return ::stat(AFileName.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

// Removes a recording once its upload has ended, however it ended.
class TRemoveOnExit {
public:
    explicit TRemoveOnExit(std::string AFileName) : FFileName(std::move(AFileName)) {}
    ~TRemoveOnExit() { ::unlink(FFileName.c_str()); }
    TRemoveOnExit(const TRemoveOnExit&) = delete;
    TRemoveOnExit& operator=(const TRemoveOnExit&) = delete;

private:
    std::string FFileName;
};

}  // namespace

// --- layer 1: paths and verbs ------------------------------------------------------

std::string TkbvHTTP_API_OpenAI_Base_Methods::GetBaseURL() { return TkbvHTTP_API_OpenAI_Base::GetBaseURL() + "/v1"; }

void TkbvHTTP_API_OpenAI_Base_Methods::DoRecordAudio(const std::string& aFileName, uint32_t aTime) {
    kbvRecordAudio(FAudioDevice, aFileName, aTime);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoGetModels() { return DoGetEndpoint("/models"); }

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoGetModel(const std::string& aModel) {
    return DoGetEndpoint(IdentifierPath("/models/", aModel));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateCompletion(const std::string& aBody) {
    return DoPostEndpoint("/completions", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateChatCompletion(const std::string& aBody) {
    return DoPostEndpoint("/chat/completions", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateEdit(const std::string& aBody) {
    return DoPostEndpoint("/edits", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateImage(const std::string& aBody) {
    return DoPostEndpoint("/images/generations", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateImageEdit(const std::string& aBody) {
    return DoPostEndpointMultipart("/images/edits", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateImageVariation(const std::string& aBody) {
    return DoPostEndpointMultipart("/images/variations", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateEmbeddings(const std::string& aBody) {
    return DoPostEndpoint("/embeddings", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateTranscription(const std::string& aBody) {
    return DoPostEndpointMultipart("/audio/transcriptions", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateTranslation(const std::string& aBody) {
    return DoPostEndpointMultipart("/audio/translations", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoListFiles() { return DoGetEndpoint("/files"); }

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoUploadFile(const std::string& aBody) {
    return DoPostEndpointMultipart("/files", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoDeleteFile(const std::string& aFileId) {
    return DoDeleteEndpoint(IdentifierPath("/files/", aFileId));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoRetrieveFile(const std::string& aFileId) {
    return DoGetEndpoint(IdentifierPath("/files/", aFileId));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoRetrieveFileContent(const std::string& aFileId) {
    return DoGetEndpointContent(IdentifierPath("/files/", aFileId, "/content"));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateFineTune(const std::string& aBody) {
    return DoPostEndpoint("/fine-tunes", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoListFineTunes() { return DoGetEndpoint("/fine-tunes"); }

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoRetrieveFineTune(const std::string& aFineTuneId) {
    return DoGetEndpoint(IdentifierPath("/fine-tunes/", aFineTuneId));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCancelFineTune(const std::string& aFineTuneId) {
    return DoPostEndpoint(IdentifierPath("/fine-tunes/", aFineTuneId, "/cancel"), "");
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoListFineTuneEvents(const std::string& aFineTuneId) {
    return DoGetEndpoint(IdentifierPath("/fine-tunes/", aFineTuneId, "/events"));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoDeleteFineTuneModel(const std::string& aModel) {
    return DoDeleteEndpoint(IdentifierPath("/models/", aModel));
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateModeration(const std::string& aBody) {
    return DoPostEndpoint("/moderations", aBody);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateCompletionStream(const std::string& aBody,
                                                                       const TkbvOpenAIDeltaEvent& aOnDelta) {
    return StreamDeltas("/completions", aBody, {"text"}, aOnDelta);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::DoCreateChatCompletionStream(const std::string& aBody,
                                                                           const TkbvOpenAIDeltaEvent& aOnDelta) {
    return StreamDeltas("/chat/completions", aBody, {"delta", "content"}, aOnDelta);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::StreamDeltas(const std::string& aPath, const std::string& aBody,
                                                           const std::vector<const char*>& aTextPath,
                                                           const TkbvOpenAIDeltaEvent& aOnDelta) {
    std::string Whole;
    bool Ended = false;  // by the end mark, or by the caller's cancel
    DoPostEndpointEvents(aPath, aBody, [&](const std::string& AData, bool& VCancel) {
        if (Ended)
            return;
        if (AData == "[DONE]") {
            Ended = true;
            return;
        }
        TkbvJSON Chunk;
        Chunk.Read(AData);
        if (Chunk.GetNode("error"))
            throw EkbvOpenAIStreamError("The event stream reported an error. " + AData);
        const std::string Delta = ChunkText(Chunk, aTextPath);
        if (Delta.empty())
            return;
        Whole += Delta;
        if (aOnDelta)
            aOnDelta(Delta, VCancel);
        Ended = VCancel;
    });
    if (!Ended)
        throw EkbvOpenAIStreamError("The event stream ended before \"data: [DONE]\".");
    return Whole;
}

std::string TkbvHTTP_API_OpenAI_Base_Methods::NewRecordingFile(const std::string& aPrefix) {
    std::string Folder = TempFolder();
    if (Folder.back() != '/')
        Folder += '/';
    std::string Name = Folder + aPrefix + "-XXXXXX.wav";
    // mkstemps makes the file owner-only under a name nobody could have planted.
    const int Handle = ::mkstemps(Name.data(), 4);
    if (Handle < 0)
        throw EFCreateError(Format("Cannot create file \"%s\". %s", Name, SystemErrorText(errno)));
    ::close(Handle);
    return Name;
}

void TkbvHTTP_API_OpenAI_Base_Methods::Record(std::string& aFileName, const std::string& aPrefix, uint32_t aTime) {
    if (aFileName.empty())
        aFileName = NewRecordingFile(aPrefix);
    DoRecordAudio(aFileName, aTime);
    if (!FileExists(aFileName))
        throw Exception("The audio file has not been created.");
}

// --- layer 2: plain arguments ------------------------------------------------------

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_GetModels() { return DoGetModels(); }

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_GetModel(const std::string& aModel) { return DoGetModel(aModel); }

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateCompletion(const std::string& aModel,
                                                                      const std::string& aPrompt) {
    return DoCreateCompletion(TBody().Add("model", aModel).Add("prompt", aPrompt).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateChatCompletion(const std::string& aModel,
                                                                          const std::string& aMessage,
                                                                          const std::string& aRole) {
    return DoCreateChatCompletion(ChatBody(aModel, aMessage, aRole).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateEdit(const std::string& aModel,
                                                                const std::string& aInstruction,
                                                                const std::string& aInput) {
    TBody Body;
    Body.Add("model", aModel).Add("instruction", aInstruction);
    if (!aInput.empty())
        Body.Add("input", aInput);
    return DoCreateEdit(Body.Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateImage(const std::string& aPrompt) {
    return DoCreateImage(TBody().Add("prompt", aPrompt).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateImageEdit(const std::string& aImage,
                                                                     const std::string& aPrompt) {
    return DoCreateImageEdit(TBody().Add("image", aImage).Add("prompt", aPrompt).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateImageVariations(const std::string& aImage) {
    return DoCreateImageVariation(TBody().Add("image", aImage).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateEmbeddings(const std::string& aModel,
                                                                      const std::string& aInput) {
    return DoCreateEmbeddings(TBody().Add("model", aModel).Add("input", aInput).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateTranscriptionFromFile(const std::string& aModel,
                                                                                 const std::string& aFilename) {
    return DoCreateTranscription(TBody().Add("file", aFilename).Add("model", aModel).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateTranscription(const std::string& aModel, uint32_t aTime) {
    return RecordAndSend(aModel, aTime, "kbvTranscription",
                         &TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateTranscriptionFromFile);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateTranslationFromFile(const std::string& aModel,
                                                                               const std::string& aFilename) {
    return DoCreateTranslation(TBody().Add("file", aFilename).Add("model", aModel).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateTranslation(const std::string& aModel, uint32_t aTime) {
    return RecordAndSend(aModel, aTime, "kbvTranslation",
                         &TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateTranslationFromFile);
}

// The caller never learns the recording's name, so it goes once uploaded.
std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::RecordAndSend(
    const std::string& aModel, uint32_t aTime, const char* aPrefix,
    std::string (TkbvHTTP_API_OpenAI_Base_Methods_Basic::*aSend)(const std::string&, const std::string&)) {
    std::string FileName = NewRecordingFile(aPrefix);
    TRemoveOnExit Recording(FileName);
    Record(FileName, aPrefix, aTime);
    return (this->*aSend)(aModel, FileName);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_ListFiles() { return DoListFiles(); }

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_UploadFile(const std::string& aFilename,
                                                                const std::string& aPurpose) {
    return DoUploadFile(TBody().Add("file", aFilename).Add("purpose", aPurpose).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_DeleteFile(const std::string& aFileId) {
    return DoDeleteFile(aFileId);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_RetrieveFile(const std::string& aFileId) {
    return DoRetrieveFile(aFileId);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_RetrieveFileContent(const std::string& aFileId) {
    return DoRetrieveFileContent(aFileId);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateFineTune(const std::string& aTrainingFile) {
    return DoCreateFineTune(TBody().Add("training_file", aTrainingFile).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_ListFineTunes() { return DoListFineTunes(); }

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_RetrieveFineTune(const std::string& aFineTuneId) {
    return DoRetrieveFineTune(aFineTuneId);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CancelFineTune(const std::string& aFineTuneId) {
    return DoCancelFineTune(aFineTuneId);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_ListFineTuneEvents(const std::string& aFineTuneId) {
    return DoListFineTuneEvents(aFineTuneId);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_DeleteFineTuneModel(const std::string& aModel) {
    return DoDeleteFineTuneModel(aModel);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateModeration(const std::string& aInput) {
    return DoCreateModeration(TBody().Add("input", aInput).Text());
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateCompletionStream(const std::string& aModel,
                                                                            const std::string& aPrompt,
                                                                            const TkbvOpenAIDeltaEvent& aOnDelta) {
    return DoCreateCompletionStream(TBody().Add("model", aModel).Add("prompt", aPrompt).AddStream().Text(),
                                    aOnDelta);
}

std::string TkbvHTTP_API_OpenAI_Base_Methods_Basic::_CreateChatCompletionStream(
    const std::string& aModel, const std::string& aMessage, const std::string& aRole,
    const TkbvOpenAIDeltaEvent& aOnDelta) {
    return DoCreateChatCompletionStream(ChatBody(aModel, aMessage, aRole).AddStream().Text(), aOnDelta);
}

// --- layer 3: request and response objects -----------------------------------------

namespace {

template <class T>
std::unique_ptr<T> Response(const std::string& AReply) {
    return TkbvOpenAIClass::Create<T>(AReply);
}

}  // namespace

std::unique_ptr<TkbvOpenAIClass_Response_Models> TkbvHTTP_API_OpenAI::GetModels() {
    return Response<TkbvOpenAIClass_Response_Models>(DoGetModels());
}

std::unique_ptr<TkbvOpenAI_Response_Model_Class> TkbvHTTP_API_OpenAI::GetModel(const std::string& aModel) {
    return Response<TkbvOpenAI_Response_Model_Class>(DoGetModel(aModel));
}

std::unique_ptr<TkbvOpenAIClass_Response_Completion> TkbvHTTP_API_OpenAI::CreateCompletion(
    TkbvOpenAIClass_Request_Completion& aRequest) {
    return Response<TkbvOpenAIClass_Response_Completion>(DoCreateCompletion(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_ChatCompletion> TkbvHTTP_API_OpenAI::CreateChatCompletion(
    TkbvOpenAIClass_Request_ChatCompletion& aRequest) {
    return Response<TkbvOpenAIClass_Response_ChatCompletion>(DoCreateChatCompletion(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Edit> TkbvHTTP_API_OpenAI::CreateEdit(TkbvOpenAIClass_Request_Edit& aRequest) {
    return Response<TkbvOpenAIClass_Response_Edit>(DoCreateEdit(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Image> TkbvHTTP_API_OpenAI::CreateImage(
    TkbvOpenAIClass_Request_Image& aRequest) {
    return Response<TkbvOpenAIClass_Response_Image>(DoCreateImage(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Image_Edit> TkbvHTTP_API_OpenAI::CreateImageEdit(
    TkbvOpenAIClass_Request_Image_Edit& aRequest) {
    return Response<TkbvOpenAIClass_Response_Image_Edit>(DoCreateImageEdit(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Image_Variation> TkbvHTTP_API_OpenAI::CreateImageVariation(
    TkbvOpenAIClass_Request_Image_Variation& aRequest) {
    return Response<TkbvOpenAIClass_Response_Image_Variation>(DoCreateImageVariation(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Embeddings> TkbvHTTP_API_OpenAI::CreateEmbeddings(
    TkbvOpenAIClass_Request_Embeddings& aRequest) {
    return Response<TkbvOpenAIClass_Response_Embeddings>(DoCreateEmbeddings(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Transcription> TkbvHTTP_API_OpenAI::CreateTranscriptionFromFile(
    TkbvOpenAIClass_Request_Transcription& aRequest) {
    return Response<TkbvOpenAIClass_Response_Transcription>(DoCreateTranscription(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Transcription> TkbvHTTP_API_OpenAI::CreateTranscription(
    TkbvOpenAIClass_Request_Transcription& aRequest, uint32_t aTime) {
    std::string FileName = aRequest.Filename();
    Record(FileName, "kbvTranscription", aTime);
    aRequest.SetFilename(FileName);
    return CreateTranscriptionFromFile(aRequest);
}

std::unique_ptr<TkbvOpenAIClass_Response_Translation> TkbvHTTP_API_OpenAI::CreateTranslationFromFile(
    TkbvOpenAIClass_Request_Translation& aRequest) {
    return Response<TkbvOpenAIClass_Response_Translation>(DoCreateTranslation(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Translation> TkbvHTTP_API_OpenAI::CreateTranslation(
    TkbvOpenAIClass_Request_Translation& aRequest, uint32_t aTime) {
    std::string FileName = aRequest.Filename();
    Record(FileName, "kbvTranslation", aTime);
    aRequest.SetFilename(FileName);
    return CreateTranslationFromFile(aRequest);
}

std::unique_ptr<TkbvOpenAIClass_Response_Files> TkbvHTTP_API_OpenAI::ListFiles() {
    return Response<TkbvOpenAIClass_Response_Files>(DoListFiles());
}

std::unique_ptr<TkbvOpenAIClass_Response_File> TkbvHTTP_API_OpenAI::UploadFile(
    TkbvOpenAIClass_Request_UploadFile& aRequest) {
    return Response<TkbvOpenAIClass_Response_File>(DoUploadFile(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_Delete> TkbvHTTP_API_OpenAI::DeleteFile(const std::string& aFileId) {
    return Response<TkbvOpenAIClass_Response_Delete>(DoDeleteFile(aFileId));
}

std::unique_ptr<TkbvOpenAIClass_Response_File> TkbvHTTP_API_OpenAI::RetrieveFile(const std::string& aFileId) {
    return Response<TkbvOpenAIClass_Response_File>(DoRetrieveFile(aFileId));
}

std::string TkbvHTTP_API_OpenAI::RetrieveFileContent(const std::string& aFileId) {
    return DoRetrieveFileContent(aFileId);
}

std::unique_ptr<TkbvOpenAIClass_Response_FineTune> TkbvHTTP_API_OpenAI::CreateFineTune(
    TkbvOpenAIClass_Request_FineTune& aRequest) {
    return Response<TkbvOpenAIClass_Response_FineTune>(DoCreateFineTune(aRequest.AsString()));
}

std::unique_ptr<TkbvOpenAIClass_Response_FineTunes> TkbvHTTP_API_OpenAI::ListFineTunes() {
    return Response<TkbvOpenAIClass_Response_FineTunes>(DoListFineTunes());
}

std::unique_ptr<TkbvOpenAIClass_Response_FineTune> TkbvHTTP_API_OpenAI::RetrieveFineTune(
    const std::string& aFineTuneId) {
    return Response<TkbvOpenAIClass_Response_FineTune>(DoRetrieveFineTune(aFineTuneId));
}

std::unique_ptr<TkbvOpenAIClass_Response_FineTune> TkbvHTTP_API_OpenAI::CancelFineTune(
    const std::string& aFineTuneId) {
    return Response<TkbvOpenAIClass_Response_FineTune>(DoCancelFineTune(aFineTuneId));
}

std::unique_ptr<TkbvOpenAIClass_Response_FineTune_Events> TkbvHTTP_API_OpenAI::ListFineTuneEvents(
    const std::string& aFineTuneId) {
    return Response<TkbvOpenAIClass_Response_FineTune_Events>(DoListFineTuneEvents(aFineTuneId));
}

std::unique_ptr<TkbvOpenAIClass_Response_Delete> TkbvHTTP_API_OpenAI::DeleteFineTuneModel(const std::string& aModel) {
    return Response<TkbvOpenAIClass_Response_Delete>(DoDeleteFineTuneModel(aModel));
}

std::unique_ptr<TkbvOpenAIClass_Response_Moderation> TkbvHTTP_API_OpenAI::CreateModeration(
    TkbvOpenAIClass_Request_Moderation& aRequest) {
    return Response<TkbvOpenAIClass_Response_Moderation>(DoCreateModeration(aRequest.AsString()));
}

std::string TkbvHTTP_API_OpenAI::CreateCompletionStream(TkbvOpenAIClass_Request_Completion& aRequest,
                                                        const TkbvOpenAIDeltaEvent& aOnDelta) {
    aRequest.SetStream(true);
    return DoCreateCompletionStream(aRequest.AsString(), aOnDelta);
}

std::string TkbvHTTP_API_OpenAI::CreateChatCompletionStream(TkbvOpenAIClass_Request_ChatCompletion& aRequest,
                                                            const TkbvOpenAIDeltaEvent& aOnDelta) {
    aRequest.SetStream(true);
    return DoCreateChatCompletionStream(aRequest.AsString(), aOnDelta);
}
