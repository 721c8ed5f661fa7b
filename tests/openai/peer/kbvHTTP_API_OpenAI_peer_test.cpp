// The OpenAI client against the tests' OpenAI-compatible server, which
// records every request it gets: verbs, paths, headers and bodies of all
// three layers as the server saw them, the typed replies, errors, retries,
// streams and recordings.
#include "openai/kbvHTTP_API_OpenAI.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/Format.h"
#include "httpapi/kbvHTTP_Client.h"
#include "tests/support/Base64.h"
#include "tests/support/Files.h"
#include "tests/support/MessageOf.h"
#include "tests/support/Peers.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string QueryEncode(const std::string& AText) {
    std::string Result;
    for (unsigned char C : AText)
        Result += isalnum(C) ? std::string(1, static_cast<char>(C)) : Format("%%%.2X", C);
    return Result;
}

std::string ServerOrigin(bool ATLS) {
    return ATLS ? "https://localhost:" + PeerPortText("OPENAI_HTTPS_PORT")
                : "http://127.0.0.1:" + PeerPortText("OPENAI_HTTP_PORT");
}

// The server's record of every request that carried AKey.
json Requests(const std::string& AKey) {
    TkbvIdHTTP HTTP;
    return json::parse(HTTP.Get(ServerOrigin(false) + "/_test/requests?key=" + QueryEncode(AKey)));
}

void Release(const std::string& AKey) {
    TkbvIdHTTP HTTP;
    HTTP.Get(ServerOrigin(false) + "/_test/release?key=" + QueryEncode(AKey));
}

std::string Header(const json& ARecord, const std::string& AName) {
    for (const auto& Line : ARecord["headers"])
        if (strcasecmp(Line[0].get<std::string>().c_str(), AName.c_str()) == 0)
            return Line[1];
    return "(none)";
}

std::vector<std::string> HeaderNames(const json& ARecord) {
    std::vector<std::string> Names;
    for (const auto& Line : ARecord["headers"])
        Names.push_back(Line[0]);
    return Names;
}

// The bytes of a part as the server received them.
std::string PartData(const json& APart) { return DecodeBase64(APart["data_b64"].get<std::string>()); }

class OpenAIPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerPort("OPENAI_HTTP_PORT"))
            GTEST_SKIP() << "no peers: run through ctest (-L peer)";
        Folder = fs::temp_directory_path() / ("kbv-openai-" + std::to_string(getpid()) + "-" + TestName());
        fs::create_directories(Folder);
        Client.SetBaseURL(ServerOrigin(false));
        Client.TLSOptions().SetRootCertFile(*PeerSetting("NGINX_CA_FILE"));
        UseKey("");
    }
    void TearDown() override { fs::remove_all(Folder); }

    static std::string TestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

    // A key of this test alone, with the server's directives after "+".
    std::string UseKey(const std::string& ADirectives) {
        Key = "sk-" + TestName() + "-" + std::to_string(getpid()) + "-" + std::to_string(++Keys) + ADirectives;
        Client.OpenAIOptions().SetApiKey(Key);
        return Key;
    }
    json Last() {
        json All = Requests(Key);
        return All.empty() ? json() : All.back();
    }
    std::string MakeFile(const std::string& AName, const std::string& AContent) {
        const fs::path Path = Folder / AName;
        std::ofstream(Path, std::ios::binary) << AContent;
        return Path.string();
    }

    TkbvHTTP_API_OpenAI Client;
    std::string Key;
    fs::path Folder;
    int Keys = 0;
};

// --- every operation on the wire ----------------------------------------------------

TEST_F(OpenAIPeer, EveryPlainOperationSendsItsVerbPathAndBody) {
    const std::string Image = MakeFile("cat.png", "\x89PNG image bytes");
    const std::string Audio = MakeFile("talk.wav", "RIFF audio bytes");
    struct TCase {
        std::function<std::string()> Call;
        const char* Method;
        const char* Target;
        std::string Body;  // the JSON text, or "" for no body
    };
    const std::vector<TCase> Cases = {
        {[&] { return Client._GetModels(); }, "GET", "/v1/models", ""},
        {[&] { return Client._GetModel("gpt-4"); }, "GET", "/v1/models/gpt-4", ""},
        {[&] { return Client._CreateCompletion("text-davinci-003", "Say this is a test"); }, "POST",
         "/v1/completions", R"({"model":"text-davinci-003","prompt":"Say this is a test"})"},
        {[&] { return Client._CreateChatCompletion("gpt-3.5-turbo", "Hello!", "user"); }, "POST",
         "/v1/chat/completions", R"({"model":"gpt-3.5-turbo","messages":[{"role":"user","content":"Hello!"}]})"},
        {[&] { return Client._CreateEdit("text-davinci-edit-001", "Fix the spelling", "What day of the wek is it?"); },
         "POST", "/v1/edits",
         R"({"model":"text-davinci-edit-001","instruction":"Fix the spelling","input":"What day of the wek is it?"})"},
        {[&] { return Client._CreateEdit("m", "Fix", ""); }, "POST", "/v1/edits", R"({"model":"m","instruction":"Fix"})"},
        {[&] { return Client._CreateImage("A cute baby sea otter"); }, "POST", "/v1/images/generations",
         R"({"prompt":"A cute baby sea otter"})"},
        {[&] { return Client._CreateEmbeddings("text-embedding-ada-002", "The food was delicious"); }, "POST",
         "/v1/embeddings", R"({"model":"text-embedding-ada-002","input":"The food was delicious"})"},
        {[&] { return Client._ListFiles(); }, "GET", "/v1/files", ""},
        {[&] { return Client._DeleteFile("file-abc123"); }, "DELETE", "/v1/files/file-abc123", ""},
        {[&] { return Client._RetrieveFile("file-abc123"); }, "GET", "/v1/files/file-abc123", ""},
        {[&] { return Client._RetrieveFileContent("file-abc123"); }, "GET", "/v1/files/file-abc123/content", ""},
        {[&] { return Client._CreateFineTune("file-XGinujblHPwGLSztz8cPS8XY"); }, "POST", "/v1/fine-tunes",
         R"({"training_file":"file-XGinujblHPwGLSztz8cPS8XY"})"},
        {[&] { return Client._ListFineTunes(); }, "GET", "/v1/fine-tunes", ""},
        {[&] { return Client._RetrieveFineTune("ft-AF1WoRqd3aJ"); }, "GET", "/v1/fine-tunes/ft-AF1WoRqd3aJ", ""},
        {[&] { return Client._CancelFineTune("ft-AF1WoRqd3aJ"); }, "POST", "/v1/fine-tunes/ft-AF1WoRqd3aJ/cancel", ""},
        {[&] { return Client._ListFineTuneEvents("ft-AF1WoRqd3aJ"); }, "GET",
         "/v1/fine-tunes/ft-AF1WoRqd3aJ/events", ""},
        {[&] { return Client._DeleteFineTuneModel("curie:ft-acmeco-2021"); }, "DELETE",
         "/v1/models/curie%3Aft-acmeco-2021", ""},
        {[&] { return Client._CreateModeration("I want to kill them."); }, "POST", "/v1/moderations",
         R"({"input":"I want to kill them."})"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Method) + " " + Case.Target);
        const std::string Reply = Case.Call();
        EXPECT_FALSE(Reply.empty());
        const json Got = Last();
        EXPECT_EQ(Got["method"], Case.Method);
        EXPECT_EQ(Got["target"], Case.Target);
        EXPECT_EQ(Got["body"], Case.Body);
        EXPECT_EQ(Header(Got, "Authorization"), "Bearer " + Key);
        EXPECT_EQ(Header(Got, "OpenAI-Organization"), "(none)");
        // A JSON POST says so even with an empty body (cancel); nothing else does.
        EXPECT_EQ(Header(Got, "Content-Type"), Case.Method == std::string("POST") ? "application/json" : "(none)");
    }

    // The multipart operations: file parts from the named paths, the rest text fields.
    struct TFormCase {
        std::function<std::string()> Call;
        const char* Target;
        std::vector<std::pair<std::string, std::string>> Parts;  // name, content
    };
    const std::vector<TFormCase> Forms = {
        {[&] { return Client._CreateImageEdit(Image, "A cute cat"); }, "/v1/images/edits",
         {{"image", "\x89PNG image bytes"}, {"prompt", "A cute cat"}}},
        {[&] { return Client._CreateImageVariations(Image); }, "/v1/images/variations", {{"image", "\x89PNG image bytes"}}},
        {[&] { return Client._CreateTranscriptionFromFile("whisper-1", Audio); }, "/v1/audio/transcriptions",
         {{"file", "RIFF audio bytes"}, {"model", "whisper-1"}}},
        {[&] { return Client._CreateTranslationFromFile("whisper-1", Audio); }, "/v1/audio/translations",
         {{"file", "RIFF audio bytes"}, {"model", "whisper-1"}}},
        {[&] { return Client._UploadFile(Audio, "fine-tune"); }, "/v1/files",
         {{"file", "RIFF audio bytes"}, {"purpose", "fine-tune"}}},
    };
    for (const TFormCase& Case : Forms) {
        SCOPED_TRACE(Case.Target);
        Case.Call();
        const json Got = Last();
        EXPECT_EQ(Got["method"], "POST");
        EXPECT_EQ(Got["target"], Case.Target);
        EXPECT_EQ(Header(Got, "Content-Type").rfind("multipart/form-data; boundary=", 0), 0u);
        EXPECT_TRUE(Got["multipart_defects"].empty()) << Got["multipart_defects"];
        ASSERT_EQ(Got["parts"].size(), Case.Parts.size());
        for (size_t I = 0; I < Case.Parts.size(); ++I) {
            EXPECT_EQ(Got["parts"][I]["name"], Case.Parts[I].first);
            EXPECT_EQ(PartData(Got["parts"][I]), Case.Parts[I].second);
        }
    }
}

// The same client through the SChannel-style TLS handler: the server is
// verified against the test CA among the user's trusted roots (a "Root"
// store folder under $XDG_DATA_HOME), and refused without it.
TEST_F(OpenAIPeer, CallsOverTLSThroughSChannel) {
    const fs::path Data = Folder / "data";
    ::setenv("XDG_DATA_HOME", Data.c_str(), 1);
    Client.TLSOptions().SetIOHandler(iohSChannel);
    Client.TLSOptions().SetVerifyCertificate(true);
    Client.TLSOptions().SetVersion(tls1_3);
    Client.SetBaseURL(ServerOrigin(true) + "/v1/");
    EXPECT_NE(MessageOf([&] { Client._GetModels(); }).find("SChannel initialization error: "), std::string::npos);

    fs::create_directories(Data / "kbvOpenAI/certstores/Root");
    fs::copy_file(*PeerSetting("NGINX_CA_FILE"), Data / "kbvOpenAI/certstores/Root/ca.crt");
    Client._GetModels();
    EXPECT_EQ(Header(Last(), "Authorization"), "Bearer " + Key);
    Client._CreateChatCompletion("gpt-3.5-turbo", "Hello", "user");
    EXPECT_EQ(Last()["target"], "/v1/chat/completions");
    ::unsetenv("XDG_DATA_HOME");
}

TEST_F(OpenAIPeer, CredentialLinesOverTLS) {
    Client.SetBaseURL(ServerOrigin(true) + "/v1/");
    Client._GetModels();
    json Got = Last();
    EXPECT_EQ(Header(Got, "Authorization"), "Bearer " + Key);
    EXPECT_EQ(Header(Got, "OpenAI-Organization"), "(none)");

    // The organization comes after the key and before the content type; cleared, it is gone.
    Client.OpenAIOptions().SetOrganization("org-ab12");
    Client._CreateModeration("x");
    Got = Last();
    EXPECT_EQ(Header(Got, "OpenAI-Organization"), "org-ab12");
    const std::vector<std::string> Names = HeaderNames(Got);
    const auto Position = [&](const char* AName) { return std::find(Names.begin(), Names.end(), AName) - Names.begin(); };
    EXPECT_LT(Position("Authorization"), Position("OpenAI-Organization"));
    EXPECT_LT(Position("OpenAI-Organization"), Position("Content-Type"));
    Client.OpenAIOptions().SetOrganization("");
    Client._ListFiles();
    EXPECT_EQ(Header(Last(), "OpenAI-Organization"), "(none)");

    // An empty key still sends the line.
    Client.OpenAIOptions().SetApiKey("");
    Client._ListFiles();
    EXPECT_EQ(Header(Requests("").back(), "Authorization"), "Bearer ");

    // A key with a line break never reaches the wire as a header of its own.
    Client.OpenAIOptions().SetApiKey("sk-x\r\nX-Injected: 1");
    EXPECT_NE(MessageOf([&] { Client._ListFiles(); }).find("CR, LF or NUL"), std::string::npos);
}

TEST_F(OpenAIPeer, TypedOperationsFillTheirResponses) {
    const std::string Image = MakeFile("otter.png", "png");
    auto Models = Client.GetModels();
    ASSERT_FALSE(Models->Data().empty());
    EXPECT_FALSE(Models->Data()[0]->Id().empty());
    EXPECT_EQ(Client.GetModel("a/b c")->Id(), "a/b c");

    TkbvOpenAIClass_Request_ChatCompletion Chat;
    Chat.SetModel("gpt-3.5-turbo");
    Chat.Messages().push_back(std::make_unique<TkbvOpenAIClass_Request_Completion_Message>());
    Chat.Messages()[0]->SetContent("Hi \"there\"");
    auto ChatReply = Client.CreateChatCompletion(Chat);
    ASSERT_EQ(ChatReply->Choices().size(), 1u);
    EXPECT_EQ(ChatReply->Choices()[0]->_Message().Content(), "You said: Hi \"there\"");
    EXPECT_GT(ChatReply->Usage().TotalTokens(), 0);

    TkbvOpenAIClass_Request_Completion Completion;
    Completion.SetModel("text-davinci-003");
    Completion.SetPrompt("Once");
    EXPECT_EQ(Client.CreateCompletion(Completion)->Choices()[0]->Text(), "You wrote: Once");

    TkbvOpenAIClass_Request_Image_Edit Edit;
    Edit.SetImage(Image);
    Edit.SetMask(Image);
    Edit.SetPrompt("sunlit");
    Edit.SetN(2);
    EXPECT_EQ(Client.CreateImageEdit(Edit)->Data().size(), 2u);

    TkbvOpenAIClass_Request_UploadFile Upload;
    Upload.SetFilename(Image);
    Upload.SetPurpose("fine-tune");
    auto File = Client.UploadFile(Upload);
    EXPECT_EQ(File->Filename(), "otter.png");
    EXPECT_EQ(File->Bytes(), 3);
    EXPECT_TRUE(Client.DeleteFile(File->Id())->Deleted());

    TkbvOpenAIClass_Request_Embeddings Embeddings;
    Embeddings.SetModel("text-embedding-ada-002");
    Embeddings.SetInput("food");
    EXPECT_FALSE(Client.CreateEmbeddings(Embeddings)->Data()[0]->Embedding().empty());

    TkbvOpenAIClass_Request_Moderation Moderation;
    Moderation.SetInput("hello");
    EXPECT_EQ(Client.CreateModeration(Moderation)->Results().size(), 1u);

    TkbvOpenAIClass_Request_FineTune FineTune;
    FineTune.SetTrainingFile("file-1");
    const std::string Id = Client.CreateFineTune(FineTune)->Id();
    EXPECT_EQ(Client.RetrieveFineTune(Id)->Id(), Id);
    EXPECT_EQ(Client.CancelFineTune(Id)->Status(), "cancelled");
    EXPECT_FALSE(Client.ListFineTuneEvents(Id)->Data().empty());
    EXPECT_FALSE(Client.ListFineTunes()->Data().empty());
    EXPECT_FALSE(Client.ListFiles()->Data().empty());
    EXPECT_TRUE(Client.DeleteFineTuneModel("curie:ft-1")->Deleted());

    // File content comes back as the bytes that were sent, UTF-8 intact.
    EXPECT_NE(Client.RetrieveFileContent("file-1").find("héllo €"), std::string::npos);
}

// --- what the client mends -----------------------------------------------------------

TEST_F(OpenAIPeer, EveryBodyIsValidJSONWhateverTheArgumentsHold) {
    const std::vector<std::string> Texts = {"say \"hi\"", "C:\\temp\\new", "line 1\nline 2\r\n\ttab",
                                            std::string("nul\x01\x1f end"), "{not an object", "[1,2]", "héllo €"};
    for (const std::string& Text : Texts) {
        SCOPED_TRACE(Text);
        Client._CreateChatCompletion("gpt", Text, "user");
        json Got = Last();
        ASSERT_TRUE(Got["json"].is_object()) << Got["body"];
        EXPECT_EQ(Got["json"]["messages"][0]["content"], Text);
        Client._CreateEdit("m", Text, Text);
        Got = Last();
        ASSERT_TRUE(Got["json"].is_object()) << Got["body"];
        EXPECT_EQ(Got["json"]["input"], Text);
    }
}

TEST_F(OpenAIPeer, MultipartFieldsAndFilesArriveAsWritten) {
    // A path with a backslash names the file it says, and text fields go as
    // UTF-8, 8bit, not percent-encoded nor quoted-printable.
    const std::string Image = MakeFile("back\\slash.png", "image");
    const std::string Prompt = "A cute cat, \"fluffy\" & 100% héllo €\nnext line";
    Client._CreateImageEdit(Image, Prompt);
    json Got = Last();
    ASSERT_EQ(Got["parts"].size(), 2u);
    EXPECT_EQ(PartData(Got["parts"][0]), "image");
    const json& Field = Got["parts"][1];
    EXPECT_EQ(Field["text"], Prompt);
    EXPECT_EQ(Field["transfer_encoding"], "8bit");
    EXPECT_EQ(Field["charset"], "utf-8");

    // A mask is a file part like the image.
    const std::string Mask = MakeFile("mask.png", "mask bytes");
    TkbvOpenAIClass_Request_Image_Edit Edit;
    Edit.SetImage(Image);
    Edit.SetMask(Mask);
    Edit.SetPrompt("p");
    Client.CreateImageEdit(Edit);
    Got = Last();
    bool SawMask = false;
    for (const json& Part : Got["parts"])
        if (Part["name"] == "mask") {
            SawMask = true;
            EXPECT_EQ(Part["filename"], "mask.png");
            EXPECT_EQ(PartData(Part), "mask bytes");
        }
    EXPECT_TRUE(SawMask);

    // A file that cannot be read fails before anything is sent.
    const size_t Before = Requests(Key).size();
    EXPECT_NE(MessageOf([&] { Client._CreateImageVariations((Folder / "missing.png").string()); }),
              "(no exception)");
    EXPECT_EQ(Requests(Key).size(), Before);
}

TEST_F(OpenAIPeer, IdentifiersStayOneSegmentOfTheirOwnPath) {
    struct TCase {
        std::string Id;
        const char* Target;
    };
    const std::vector<TCase> Cases = {
        {"../models", "/v1/files/..%2Fmodels"},
        {"..", "/v1/files/%2E%2E"},
        {"a b", "/v1/files/a%20b"},
        {"x\r\nHost: evil", "/v1/files/x%0D%0AHost%3A%20evil"},
        {"é", "/v1/files/%C3%A9"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Target);
        auto File = Client.RetrieveFile(Case.Id);
        EXPECT_EQ(Last()["target"], Case.Target);
        EXPECT_EQ(File->Id(), Case.Id);  // the server decoded it back
    }
    EXPECT_EQ(MessageOf([&] { Client._RetrieveFile(""); }), "The identifier is empty.");
}

// --- failures ------------------------------------------------------------------------

TEST_F(OpenAIPeer, ErrorsCarryTheStatusLineAndTheServiceBody) {
    UseKey("+status=401");
    const std::string Message = MessageOf([&] { Client._GetModels(); });
    EXPECT_EQ(Message.rfind("HTTP/1.1 401 Unauthorized. {", 0), 0u) << Message;
    EXPECT_NE(Message.find("\"invalid_api_key\""), std::string::npos);
    EXPECT_EQ(Message.find(Key), std::string::npos);

    // With the exception event the call returns empty text, and a typed call
    // still gives an (empty) response object.
    std::string Seen;
    Client.SetOnHTTPAPIException([&](TObject*, Exception& AE) { Seen = AE.Message(); });
    EXPECT_EQ(Client._GetModels(), "");
    EXPECT_EQ(Seen, Message);
    auto Models = Client.GetModels();
    ASSERT_TRUE(Models);
    EXPECT_TRUE(Models->Data().empty());
}

TEST_F(OpenAIPeer, RetriesHonourTheirLimitAndTheReply) {
    struct TCase {
        const char* Directives;
        int MaxRetries;
        bool Succeeds;
        size_t Requests;
    };
    const std::vector<TCase> Cases = {
        {"+fail=429x2", 2, true, 3},  {"+fail=429x2", 0, false, 1},       {"+fail=429x2+retrydate", 2, true, 3},
        {"+fail=503x1", 1, true, 2},  {"+fail=409x1", 1, true, 2},        {"+fail=400x1", 3, false, 1},
        {"+drop=1", 1, true, 2},      {"+fail=500x5", 2, false, 3},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Directives + std::string(" retries ") + std::to_string(Case.MaxRetries));
        UseKey(Case.Directives);
        Client.SetMaxRetries(Case.MaxRetries);
        const std::string Message = MessageOf([&] { Client._CreateModeration("x"); });
        EXPECT_EQ(Message == "(no exception)", Case.Succeeds) << Message;
        EXPECT_EQ(Requests(Key).size(), Case.Requests);
    }

    // A server that never answers ends in the read time-out, tried again too.
    UseKey("+stall");
    Client.SetMaxRetries(1);
    Client.SetReadTimeout(300);
    EXPECT_EQ(MessageOf([&] { Client._GetModels(); }), "Read timed out.");
    EXPECT_EQ(Requests(Key).size(), 2u);
}

// --- streams -------------------------------------------------------------------------

TEST_F(OpenAIPeer, StreamsDeliverEachDeltaAsItArrives) {
    // The server holds the last delta back until released, or for 10 s: a
    // client that delivered nothing before the end would take that long.
    UseKey("+hold");
    std::vector<std::string> Deltas;
    const auto Start = std::chrono::steady_clock::now();
    const std::string Whole = Client._CreateChatCompletionStream("gpt", "stream me please", "user",
                                                                 [&](const std::string& ADelta, bool&) {
                                                                     Deltas.push_back(ADelta);
                                                                     if (Deltas.size() == 1)
                                                                         Release(Key);
                                                                 });
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
    EXPECT_EQ(Whole, "You said: stream me please");
    EXPECT_GE(Deltas.size(), 4u);
    std::string Joined;
    for (const std::string& Delta : Deltas)
        Joined += Delta;
    EXPECT_EQ(Joined, Whole);
    EXPECT_EQ(Last()["json"]["stream"], true);

    // Completions, typed, over TLS.
    UseKey("");
    Client.SetBaseURL(ServerOrigin(true));
    TkbvOpenAIClass_Request_Completion Request;
    Request.SetModel("text-davinci-003");
    Request.SetPrompt("tell me");
    std::string Pieces;
    EXPECT_EQ(Client.CreateCompletionStream(Request, [&](const std::string& D, bool&) { Pieces += D; }),
              "You wrote: tell me");
    EXPECT_EQ(Pieces, "You wrote: tell me");

    // A cancel ends the stream quietly with what came so far.
    int Calls = 0;
    const std::string Part = Client._CreateCompletionStream("m", "a b c d e", [&](const std::string&, bool& VCancel) {
        VCancel = ++Calls == 2;
    });
    EXPECT_EQ(Calls, 2);
    EXPECT_LT(Part.size(), std::string("You wrote: a b c d e").size());
}

TEST_F(OpenAIPeer, BrokenStreamsFail) {
    struct TCase {
        const char* Directives;
        bool TLS;
        const char* Message;  // its beginning
    };
    const std::vector<TCase> Cases = {
        {"+cut", false, "The event stream ended before \"data: [DONE]\"."},
        {"+cut", true, "EOF was observed that violates the protocol"},
        {"+streamerror", false, "The event stream reported an error. {\"error\":"},
        {"+status=401", false, "HTTP/1.1 401 Unauthorized. {"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Directives + std::string(Case.TLS ? " over TLS" : ""));
        UseKey(Case.Directives);
        Client.SetBaseURL(ServerOrigin(Case.TLS));
        std::string Got;
        const std::string Message = MessageOf([&] {
            Client._CreateChatCompletionStream("m", "x y z", "user", [&](const std::string& D, bool&) { Got += D; });
        });
        EXPECT_EQ(Message.rfind(Case.Message, 0), 0u) << Message;
        EXPECT_NE(Got, "You said: x y z");
    }
}

// --- recordings ----------------------------------------------------------------------

TEST_F(OpenAIPeer, RecordingsAreUploadedAsTheFilePart) {
    setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" KBV_RECORDER_ALSA_CONF, 1);
    setenv("TEMP", Folder.c_str(), 1);
    Client.SetAudioDevice("default");
    Client._CreateTranscription("whisper-1", 500);
    json Got = Last();
    ASSERT_EQ(Got["parts"].size(), 2u);
    EXPECT_EQ(Got["parts"][0]["name"], "file");
    const std::string Wav = PartData(Got["parts"][0]);
    EXPECT_EQ(Wav.size(), 44u + 500 * 32);
    EXPECT_EQ(Wav.substr(0, 4), "RIFF");
    EXPECT_TRUE(fs::is_empty(Folder));  // the plain call leaves no recording behind

    // The typed call records into a new owner-only file the request keeps.
    TkbvOpenAIClass_Request_Translation Translation;
    Translation.SetModel("whisper-1");
    Client.CreateTranslation(Translation, 100);
    EXPECT_EQ(fs::path(Translation.Filename()).parent_path(), Folder);
    struct stat Info;
    ASSERT_EQ(stat(Translation.Filename().c_str(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 0777, 0600u);
    EXPECT_EQ(Info.st_size, 44 + 100 * 32);

    Client.SetAudioDevice("nosuchdevice");
    const size_t Before = Requests(Key).size();
    EXPECT_EQ(MessageOf([&] { Client._CreateTranslation("whisper-1", 100); }),
              "MCI error. No microphone connected to the computer?");
    EXPECT_EQ(Requests(Key).size(), Before);
    unsetenv("TEMP");
}

TEST_F(OpenAIPeer, TheLogRecordsCallsWithoutTheKey) {
    const std::string Log = (Folder / "calls.log").string();
    Client.OpenAIOptions().LogOptions().SetFileName(Log);
    Client.OpenAIOptions().LogOptions().SetEnabled(true);
    Client._GetModels();
    const std::string Text = FileText(Log);
    EXPECT_NE(Text.find("GET /v1/models"), std::string::npos);
    EXPECT_EQ(Text.find(Key), std::string::npos);
}

}  // namespace
