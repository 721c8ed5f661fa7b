#include "cli/kbvopenai_Commands.h"

#include <algorithm>

namespace {

using TCall = TkbvCommandCall;

uint32_t Milliseconds(const TCall& C, size_t AIndex) {
    return ParseMilliseconds(C.Args[AIndex], kbvMillisecondsArgument);
}

}  // namespace

const std::vector<TkbvCommand>& Commands() {
    static const std::vector<TkbvCommand> Table = {
        {"get-models", {}, "List the models.", {},
         [](TCall& C) { return C.Client._GetModels(); }},
        {"get-model", {"MODEL"}, "Describe one model.", {},
         [](TCall& C) { return C.Client._GetModel(C.Args[0]); }},
        {"create-completion", {"MODEL", "PROMPT"}, "Complete PROMPT with MODEL.", {},
         [](TCall& C) { return C.Client._CreateCompletion(C.Args[0], C.Args[1]); },
         [](TCall& C) { return C.Client._CreateCompletionStream(C.Args[0], C.Args[1], C.OnDelta); }},
        {"create-chat-completion", {"MODEL", "MESSAGE"}, "Answer one chat MESSAGE with MODEL.", {"role"},
         [](TCall& C) { return C.Client._CreateChatCompletion(C.Args[0], C.Args[1], C.Role); },
         [](TCall& C) { return C.Client._CreateChatCompletionStream(C.Args[0], C.Args[1], C.Role, C.OnDelta); }},
        {"create-edit", {"MODEL", "INSTRUCTION", "[INPUT]"}, "Edit INPUT (or nothing) as INSTRUCTION says.", {},
         [](TCall& C) { return C.Client._CreateEdit(C.Args[0], C.Args[1], C.Args[2]); }},
        {"create-image", {"PROMPT"}, "Create an image from PROMPT.", {},
         [](TCall& C) { return C.Client._CreateImage(C.Args[0]); }},
        {"create-image-edit", {"IMAGE", "PROMPT"}, "Edit the PNG file IMAGE as PROMPT says.", {},
         [](TCall& C) { return C.Client._CreateImageEdit(C.Args[0], C.Args[1]); }},
        {"create-image-variations", {"IMAGE"}, "Create a variation of the PNG file IMAGE.", {},
         [](TCall& C) { return C.Client._CreateImageVariations(C.Args[0]); }},
        {"create-embeddings", {"MODEL", "INPUT"}, "Embed the text INPUT with MODEL.", {},
         [](TCall& C) { return C.Client._CreateEmbeddings(C.Args[0], C.Args[1]); }},
        {"create-transcription-from-file", {"MODEL", "FILE"}, "Transcribe the audio FILE.", {},
         [](TCall& C) { return C.Client._CreateTranscriptionFromFile(C.Args[0], C.Args[1]); }},
        {"create-transcription", {"MODEL", kbvMillisecondsArgument}, "Record from the microphone, then transcribe.",
         {"device"}, [](TCall& C) { return C.Client._CreateTranscription(C.Args[0], Milliseconds(C, 1)); }},
        {"create-translation-from-file", {"MODEL", "FILE"}, "Translate the audio FILE into English.", {},
         [](TCall& C) { return C.Client._CreateTranslationFromFile(C.Args[0], C.Args[1]); }},
        {"create-translation", {"MODEL", kbvMillisecondsArgument},
         "Record from the microphone, then translate into English.", {"device"},
         [](TCall& C) { return C.Client._CreateTranslation(C.Args[0], Milliseconds(C, 1)); }},
        {"list-files", {}, "List the uploaded files.", {},
         [](TCall& C) { return C.Client._ListFiles(); }},
        {"upload-file", {"FILE", "PURPOSE"}, "Upload FILE for PURPOSE (e.g. fine-tune).", {},
         [](TCall& C) { return C.Client._UploadFile(C.Args[0], C.Args[1]); }},
        {"delete-file", {"FILE_ID"}, "Delete an uploaded file.", {},
         [](TCall& C) { return C.Client._DeleteFile(C.Args[0]); }},
        {"retrieve-file", {"FILE_ID"}, "Describe an uploaded file.", {},
         [](TCall& C) { return C.Client._RetrieveFile(C.Args[0]); }},
        {"retrieve-file-content", {"FILE_ID"}, "Print the content of an uploaded file.", {},
         [](TCall& C) { return C.Client._RetrieveFileContent(C.Args[0]); }},
        {"create-fine-tune", {"TRAINING_FILE"}, "Start fine-tuning on an uploaded file.", {},
         [](TCall& C) { return C.Client._CreateFineTune(C.Args[0]); }},
        {"list-fine-tunes", {}, "List the fine-tuning jobs.", {},
         [](TCall& C) { return C.Client._ListFineTunes(); }},
        {"retrieve-fine-tune", {"FINE_TUNE_ID"}, "Describe a fine-tuning job.", {},
         [](TCall& C) { return C.Client._RetrieveFineTune(C.Args[0]); }},
        {"cancel-fine-tune", {"FINE_TUNE_ID"}, "Cancel a fine-tuning job.", {},
         [](TCall& C) { return C.Client._CancelFineTune(C.Args[0]); }},
        {"list-fine-tune-events", {"FINE_TUNE_ID"}, "List the events of a fine-tuning job.", {},
         [](TCall& C) { return C.Client._ListFineTuneEvents(C.Args[0]); }},
        {"delete-fine-tune-model", {"MODEL"}, "Delete a fine-tuned model.", {},
         [](TCall& C) { return C.Client._DeleteFineTuneModel(C.Args[0]); }},
        {"create-moderation", {"INPUT"}, "Classify the text INPUT against the usage policies.", {},
         [](TCall& C) { return C.Client._CreateModeration(C.Args[0]); }},
    };
    return Table;
}

const TkbvCommand* FindCommand(const std::string& AName) {
    for (const TkbvCommand& Command : Commands())
        if (AName == Command.Name)
            return &Command;
    return nullptr;
}

size_t TkbvCommand::RequiredArguments() const {
    return std::count_if(Arguments.begin(), Arguments.end(), [](const std::string& A) { return A[0] != '['; });
}

bool TkbvCommand::Accepts(const std::string& AOption) const {
    if (AOption == "stream")
        return RunStreamed != nullptr;
    return std::find(Options.begin(), Options.end(), AOption) != Options.end();
}

std::string TkbvCommand::Synopsis() const {
    std::string Result = Name;
    for (const std::string& Argument : Arguments)
        Result += " " + Argument;
    return Result;
}

const std::vector<TkbvOptionDef>& GlobalOptions() {
    static const std::vector<TkbvOptionDef> Options = {
        {"api-key", "KEY", "API key (default: $OPENAI_API_KEY)"},
        {"organization", "ORG", "organization to bill (default: $OPENAI_ORG_ID)"},
        {"base-url", "URL",
         std::string("service address (default: $OPENAI_BASE_URL, else ") + kbvOpenAIDefaultBaseURL + ")"},
        {"log", "FILE", "append the protocol log to FILE (credentials masked)"},
        {"max-retries", "N", "retries of failed connections, 408, 409, 429 and 5xx (default: 2)"},
        {"timeout", "SECONDS", "how long to wait for the server's next bytes"},
        {"ca-file", "FILE", "also trust the CA certificates in FILE (PEM) for https"},
        {"help", nullptr, "show this help, or a command's after its name (also -h)"},
        {"version", nullptr, "show the version"},
    };
    return Options;
}

const std::vector<TkbvOptionDef>& CommandOptions() {
    static const std::vector<TkbvOptionDef> Options = {
        {"stream", nullptr, "print the reply text piece by piece as it arrives"},
        {"role", "ROLE", "role of the message: user (default), system or assistant"},
        {"device", "ALSA_DEVICE", "ALSA capture device to record from (default: default)"},
    };
    return Options;
}
