#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "openai/kbvHTTP_API_OpenAI_Requests.h"

static std::unique_ptr<TkbvOpenAIClass_Request_Completion_Message> Message(std::string Role, std::string Content) {
    auto Result = std::make_unique<TkbvOpenAIClass_Request_Completion_Message>();
    Result->SetRole(std::move(Role));
    Result->SetContent(std::move(Content));
    return Result;
}

TEST(OpenAIRequests, DefaultsWriteTheKnownBodies) {
    TkbvOpenAIClass_Request_ChatCompletion Chat;
    Chat.SetModel("gpt-3.5-turbo");
    Chat.Messages().push_back(Message("user", "Hello!"));
    EXPECT_EQ(Chat.AsString(),
              R"({"model":"gpt-3.5-turbo","messages":[{"role":"user","content":"Hello!"}],"n":1,"temperature":1,"top_p":1})");

    TkbvOpenAIClass_Request_Completion Completion;
    Completion.SetModel("text-davinci-003");
    Completion.SetPrompt("Say this is a test");
    EXPECT_EQ(Completion.AsString(),
              R"({"best_of":1,"model":"text-davinci-003","prompt":"Say this is a test","n":1,"temperature":1,"top_p":1})");

    TkbvOpenAIClass_Request_Edit Edit;
    Edit.SetModel("text-davinci-edit-001");
    Edit.SetInput("What day of the wek is it?");
    Edit.SetInstruction("Fix the spelling mistakes");
    EXPECT_EQ(Edit.AsString(),
              R"({"model":"text-davinci-edit-001","input":"What day of the wek is it?",)"
              R"("instruction":"Fix the spelling mistakes","n":1,"temperature":1,"top_p":1})");

    TkbvOpenAIClass_Request_Image Image;
    Image.SetSize("1024x1024");
    Image.SetPrompt("A cute baby sea otter");
    EXPECT_EQ(Image.AsString(), R"({"n":1,"response_format":"url","size":"1024x1024","prompt":"A cute baby sea otter"})");

    TkbvOpenAIClass_Request_Image_Edit ImageEdit;
    ImageEdit.SetSize("512x512");
    ImageEdit.SetPrompt("An otter wearing a beret");
    ImageEdit.SetImage("otter.png");
    ImageEdit.SetMask("mask.png");
    EXPECT_EQ(ImageEdit.AsString(), R"({"n":1,"response_format":"url","size":"512x512",)"
                                    R"("prompt":"An otter wearing a beret","image":"otter.png","mask":"mask.png"})");

    TkbvOpenAIClass_Request_Image_Variation Variation;
    Variation.SetN(2);
    Variation.SetResponseFormat("b64_json");
    Variation.SetImage("otter.png");
    EXPECT_EQ(Variation.AsString(), R"({"n":2,"response_format":"b64_json","image":"otter.png"})");

    TkbvOpenAIClass_Request_Embeddings Embeddings;
    Embeddings.SetModel("text-embedding-ada-002");
    Embeddings.SetInput("The food was delicious and the waiter...");
    EXPECT_EQ(Embeddings.AsString(),
              R"({"model":"text-embedding-ada-002","input":"The food was delicious and the waiter..."})");

    TkbvOpenAIClass_Request_Transcription Transcription;
    Transcription.SetModel("whisper-1");
    Transcription.SetPrompt("Kubernetes, kubectl");
    Transcription.SetFilename("audio.mp3");
    Transcription.SetLanguage("de");
    Transcription.SetTemperature("0.2");
    Transcription.SetResponseFormat("json");
    EXPECT_EQ(Transcription.AsString(), R"({"model":"whisper-1","prompt":"Kubernetes, kubectl","file":"audio.mp3",)"
                                        R"("language":"de","temperature":"0.2","response_format":"json"})");

    TkbvOpenAIClass_Request_Translation Translation;
    Translation.SetModel("whisper-1");
    Translation.SetFilename("german.m4a");
    Translation.SetResponseFormat("text");
    EXPECT_EQ(Translation.AsString(), R"({"model":"whisper-1","file":"german.m4a","response_format":"text"})");

    TkbvOpenAIClass_Request_FineTune FineTune;
    FineTune.SetTrainingFile("file-XGinujblHPwGLSztz8cPS8XY");
    EXPECT_EQ(FineTune.AsString(), R"({"compute_classification_metrics":false,"n_epochs":4,)"
                                   R"("prompt_loss_weight":0.01,"training_file":"file-XGinujblHPwGLSztz8cPS8XY"})");

    TkbvOpenAIClass_Request_UploadFile Upload;
    Upload.SetFilename("mydata.jsonl");
    Upload.SetPurpose("fine-tune");
    EXPECT_EQ(Upload.AsString(), R"({"file":"mydata.jsonl","purpose":"fine-tune"})");

    TkbvOpenAIClass_Request_Moderation Moderation;
    Moderation.SetModel("text-moderation-latest");
    Moderation.SetInput("I want to hug them.");
    EXPECT_EQ(Moderation.AsString(), R"({"model":"text-moderation-latest","input":"I want to hug them."})");

    EXPECT_EQ(Message("user", "Hi")->AsString(), R"({"content":"Hi","role":"user"})");
    EXPECT_EQ(TkbvOpenAIClass_Request_Completion_Message().AsString(), R"({"role":"user"})");
}

TEST(OpenAIRequests, EveryOptionInItsPlace) {
    TkbvOpenAIClass_Request_ChatCompletion Chat;
    Chat.SetModel("gpt-4");
    Chat.Messages().push_back(Message("system", "Be brief."));
    Chat.Messages().push_back(Message("user", ""));
    Chat.Messages().push_back(Message("assistant", "Yes."));
    Chat.SetFrequency_penalty(0.5);
    Chat.SetLogit_bias(R"({"50256":-100})");
    Chat.SetMaxTokens(7);
    Chat.SetN(2);
    Chat.SetPresence_penalty(-0.25);
    Chat.Stop() = {"END", "\n", "END", "\n"};
    Chat.SetStream(true);
    Chat.SetTemperature(0.7);
    Chat.SetTop_p(0.1);
    Chat.SetUser("user-1");
    EXPECT_EQ(Chat.AsString(),
              R"({"frequency_penalty":0.5,"logit_bias":{"50256":-100},"max_tokens":7,"model":"gpt-4",)"
              R"("messages":[{"role":"system","content":"Be brief."},{"role":"user","content":""},)"
              R"({"role":"assistant","content":"Yes."}],"n":2,"presence_penalty":-0.25,"stop":["END","\n"],)"
              R"("stream":true,"temperature":0.7,"top_p":0.1,"user":"user-1"})");

    TkbvOpenAIClass_Request_FineTune FineTune;
    FineTune.SetBatchSize(8);
    FineTune.ClassificationBetas() = {0.6, 1, 1.5};
    FineTune.SetClassificationPositiveClass(" yes");
    FineTune.SetClassificationNClasses(2);
    FineTune.SetComputeClassificationMetrics(true);
    FineTune.SetLearningRateMultiplier(0.05);
    FineTune.SetModel("curie");
    FineTune.SetNEpochs(0);
    FineTune.SetPromptLossWeight(0);
    FineTune.SetSuffix("custom");
    FineTune.SetTrainingFile("file-t");
    FineTune.SetValidationFile("file-v");
    EXPECT_EQ(FineTune.AsString(),
              R"({"batch_size":8,"classification_betas":[0.6,1,1.5],"classification_positive_class":" yes",)"
              R"("classification_n_classes":2,"compute_classification_metrics":true,"learning_rate_multiplier":0.05,)"
              R"("model":"curie","suffix":"custom","training_file":"file-t","validation_file":"file-v"})");

    // The embeddings request inherits the image keys but never writes them.
    TkbvOpenAIClass_Request_Embeddings Embeddings;
    Embeddings.SetSize("256x256");
    Embeddings.SetPrompt("unused");
    Embeddings.SetN(3);
    Embeddings.SetModel("m");
    Embeddings.SetUser("u");
    EXPECT_EQ(Embeddings.AsString(), R"({"model":"m","user":"u"})");
}

TEST(OpenAIRequests, UnsetValuesAreLeftOutButModelIsRequired) {
    TkbvOpenAIClass_Request_Completion Completion;
    Completion.SetTemperature(0);
    Completion.SetBestOf(0);
    EXPECT_EQ(Completion.AsString(), R"({"model":"","n":1,"top_p":1})");

    TkbvOpenAIClass_Request_ChatCompletion Chat;
    Chat.SetN(0);
    Chat.SetTop_p(0);
    EXPECT_EQ(Chat.AsString(), R"({"model":"","temperature":1})");

    TkbvOpenAIClass_Request_Edit Edit;
    Edit.SetN(0);
    Edit.SetTemperature(0);
    Edit.SetTopP(0);
    EXPECT_EQ(Edit.AsString(), "{}");

    TkbvOpenAIClass_Request_Image_Base Image;
    Image.SetN(0);
    Image.SetResponseFormat("");
    EXPECT_EQ(Image.AsString(), "{}");
    EXPECT_EQ(TkbvOpenAIClass_Request_Transcription().AsString(), "{}");
    EXPECT_EQ(TkbvOpenAIClass_Request_Embeddings().AsString(), "{}");
}

TEST(OpenAIRequests, LogitBiasIsRawOnlyWhenItIsJSON) {
    TkbvOpenAIClass_Request_Completion Completion;
    Completion.SetLogit_bias(R"({"123":-100})");
    EXPECT_NE(Completion.AsString().find(R"("logit_bias":{"123":-100})"), std::string::npos);

    // Text that is no JSON value is written as a string, escaped.
    Completion.SetLogit_bias("\"123\": -100\n");
    auto Body = nlohmann::json::parse(Completion.AsString());
    EXPECT_EQ(Body["logit_bias"], "\"123\": -100\n");

    TkbvOpenAIClass_Request_ChatCompletion Chat;
    Chat.SetLogit_bias("x");
    Chat.AsString();
    Chat.SetLogit_bias(R"({"7":1})");  // was a quoted string before
    EXPECT_NE(Chat.AsString().find(R"("logit_bias":{"7":1})"), std::string::npos);
}

TEST(OpenAIRequests, WritingAgainReplacesTheFirstWrite) {
    TkbvOpenAIClass_Request_Completion Completion;
    Completion.SetModel("a");
    Completion.Stop() = {"x", "y"};
    std::string First = Completion.AsString();
    EXPECT_EQ(Completion.AsString(), First);

    Completion.SetModel("b");
    Completion.Stop() = {"z"};
    EXPECT_EQ(Completion.AsString(), R"({"best_of":1,"model":"b","n":1,"stop":["z"],"temperature":1,"top_p":1})");

    TkbvOpenAIClass_Request_ChatCompletion Chat;
    Chat.Messages().push_back(Message("user", "one"));
    Chat.Messages().push_back(Message("user", "two"));
    Chat.AsString();
    Chat.Messages().pop_back();
    Chat.Messages()[0]->SetContent("three");
    EXPECT_EQ(Chat.AsString(), R"({"model":"","messages":[{"role":"user","content":"three"}],"n":1,"temperature":1,"top_p":1})");

    // A key skipped the second time keeps its first value.
    TkbvOpenAIClass_Request_Moderation Moderation;
    Moderation.SetInput("first");
    Moderation.AsString();
    Moderation.SetInput("");
    EXPECT_EQ(Moderation.AsString(), R"({"input":"first"})");

    // Read loads the document, not the fields; the fields' keys replace or follow.
    Moderation.Read(R"({"input":"old","extra":[1,2]})");
    EXPECT_EQ(Moderation.Input(), "");
    Moderation.SetModel("m");
    EXPECT_EQ(Moderation.AsString(), R"({"input":"old","extra":[1,2],"model":"m"})");

    // Keys read with another kind of value still get the kind they are written as.
    TkbvOpenAIClass_Request_ChatCompletion Chat2;
    Chat2.Read(R"({"model":5,"stop":"x","messages":{"a":1}})");
    Chat2.SetModel("gpt");
    Chat2.Stop() = {"s"};
    Chat2.Messages().push_back(Message("user", "hi"));
    EXPECT_EQ(nlohmann::json::parse(Chat2.AsString()),
              nlohmann::json::parse(R"({"model":"gpt","stop":["s"],"messages":[{"role":"user","content":"hi"}],)"
                                    R"("n":1,"temperature":1,"top_p":1})"));
}

// Every free-text field of every request, filled with hostile text, must give
// a body a strict parser accepts and that decodes to exactly the text set.
// Each field gets its own value (the text plus its JSON pointer), so that a
// field written under the wrong key shows too.
using TFill = std::function<std::string(const std::string& Pointer)>;

struct TTextFieldsCase {
    const char* Name;
    std::vector<std::string> Pointers;
    std::function<std::string(const TFill& Fill)> Write;
};

static std::vector<TTextFieldsCase> TextFieldsCases() {
    // One line of setters per class: the table, not the statements, matters here.
    return {
        {"message", {"/content", "/role"}, [](const TFill& F) { return Message(F("/role"), F("/content"))->AsString(); }},
        {"chat", {"/model", "/messages/0/role", "/messages/0/content", "/messages/1/content", "/stop/0", "/user"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_ChatCompletion R;
             R.Messages().push_back(Message(F("/messages/0/role"), F("/messages/0/content")));
             R.Messages().push_back(Message("user", F("/messages/1/content")));
             R.SetModel(F("/model")); R.Stop() = {F("/stop/0")}; R.SetUser(F("/user"));
             return R.AsString();
         }},
        {"completion", {"/model", "/prompt", "/stop/0", "/stop/1", "/user"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Completion R;
             R.SetModel(F("/model")); R.SetPrompt(F("/prompt")); R.Stop() = {F("/stop/0"), F("/stop/1")};
             R.SetUser(F("/user"));
             return R.AsString();
         }},
        {"edit", {"/model", "/input", "/instruction"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Edit R;
             R.SetModel(F("/model")); R.SetInput(F("/input")); R.SetInstruction(F("/instruction"));
             return R.AsString();
         }},
        {"image edit", {"/response_format", "/size", "/user", "/prompt", "/image", "/mask"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Image_Edit R;
             R.SetResponseFormat(F("/response_format")); R.SetSize(F("/size")); R.SetUser(F("/user"));
             R.SetPrompt(F("/prompt")); R.SetImage(F("/image")); R.SetMask(F("/mask"));
             return R.AsString();
         }},
        {"image variation", {"/response_format", "/size", "/user", "/image"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Image_Variation R;
             R.SetResponseFormat(F("/response_format")); R.SetSize(F("/size")); R.SetUser(F("/user"));
             R.SetImage(F("/image"));
             return R.AsString();
         }},
        {"embeddings", {"/model", "/input", "/user"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Embeddings R;
             R.SetModel(F("/model")); R.SetInput(F("/input")); R.SetUser(F("/user"));
             return R.AsString();
         }},
        {"transcription", {"/model", "/prompt", "/file", "/language", "/temperature", "/response_format"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Transcription R;
             R.SetModel(F("/model")); R.SetPrompt(F("/prompt")); R.SetFilename(F("/file"));
             R.SetLanguage(F("/language")); R.SetTemperature(F("/temperature"));
             R.SetResponseFormat(F("/response_format"));
             return R.AsString();
         }},
        {"translation", {"/model", "/prompt", "/file", "/temperature", "/response_format"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Translation R;
             R.SetModel(F("/model")); R.SetPrompt(F("/prompt")); R.SetFilename(F("/file"));
             R.SetTemperature(F("/temperature")); R.SetResponseFormat(F("/response_format"));
             return R.AsString();
         }},
        {"fine-tune", {"/classification_positive_class", "/model", "/suffix", "/training_file", "/validation_file"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_FineTune R;
             R.SetClassificationPositiveClass(F("/classification_positive_class")); R.SetModel(F("/model"));
             R.SetSuffix(F("/suffix")); R.SetTrainingFile(F("/training_file"));
             R.SetValidationFile(F("/validation_file"));
             return R.AsString();
         }},
        {"upload file", {"/file", "/purpose"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_UploadFile R;
             R.SetFilename(F("/file")); R.SetPurpose(F("/purpose"));
             return R.AsString();
         }},
        {"moderation", {"/model", "/input"},
         [](const TFill& F) {
             TkbvOpenAIClass_Request_Moderation R;
             R.SetModel(F("/model")); R.SetInput(F("/input"));
             return R.AsString();
         }},
    };
}

TEST(OpenAIRequests, AnyTextGivesValidJSONThatDecodesToIt) {
    const std::vector<std::string> Texts = {
        "say \"hi\" \\ C:\\Users\\me\\a.wav / line\nbreak\r\ttab \x01\x1f\x7f \b\f é 日本 😀",
        "{\"looks\":\"like an object\"}",
        "[1, 2]",
        "\"starts with a quote",
        "\\",
    };
    for (const auto& Case : TextFieldsCases())
        for (const auto& Text : Texts) {
            SCOPED_TRACE(std::string(Case.Name) + " with " + Text);
            auto Fill = [&](const std::string& Pointer) { return Text + Pointer; };
            std::string Body = Case.Write(Fill);
            nlohmann::json Parsed;
            ASSERT_NO_THROW(Parsed = nlohmann::json::parse(Body)) << Body;
            for (const auto& Pointer : Case.Pointers) {
                const auto& Value = Parsed.at(nlohmann::json::json_pointer(Pointer));
                ASSERT_TRUE(Value.is_string()) << Pointer << " in " << Body;
                EXPECT_EQ(Value.get<std::string>(), Fill(Pointer)) << Pointer;
            }
        }
}
