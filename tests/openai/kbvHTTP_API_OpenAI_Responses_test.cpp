#include <gtest/gtest.h>

#include <charconv>

#include "core/Exceptions.h"
#include "openai/kbvHTTP_API_OpenAI_Responses.h"

template <class T>
static std::unique_ptr<T> From(const std::string& Reply) {
    return TkbvOpenAIClass::Create<T>(Reply);
}

TEST(OpenAIResponses, ModelsListWithPermissions) {
    const std::string Reply =
        R"({"object":"list","data":[)"
        R"({"id":"babbage","object":"model","created":1649358449,"owned_by":"openai","permission":[)"
        R"({"id":"modelperm-49FUp5v084tBB49tC4z8LPH5","object":"model_permission","created":1669085501,)"
        R"("allow_create_engine":false,"allow_sampling":true,"allow_logprobs":true,"allow_search_indices":false,)"
        R"("allow_view":true,"allow_fine_tuning":false,"organization":"*","group":null,"is_blocking":false}],)"
        R"("root":"babbage","parent":null},)"
        R"({"id":"davinci","object":"model","created":1649359874,"owned_by":"openai","permission":[)"
        R"({"id":"p1","allow_create_engine":true,"allow_search_indices":true,"is_blocking":true,"allow_fine_tuning":true},)"
        R"({"id":"p2","created":-1}],"root":"davinci"},)"
        R"({"id":"whisper-1","object":"model","created":1677532384,"owned_by":"openai-internal","permission":[],"root":"whisper-1"}]})";
    auto Models = From<TkbvOpenAIClass_Response_Models>(Reply);
    EXPECT_EQ(Models->_Object(), "list");
    ASSERT_EQ(Models->Data().size(), 3u);

    auto& Babbage = *Models->Data()[0];
    EXPECT_EQ(Babbage.Id(), "babbage");
    EXPECT_EQ(Babbage._Object(), "model");
    EXPECT_EQ(Babbage.Created(), 1649358449);
    EXPECT_EQ(Babbage.OwnedBy(), "openai");
    EXPECT_EQ(Babbage.Root(), "babbage");
    ASSERT_EQ(Babbage.Permission().size(), 1u);
    auto& Permission = *Babbage.Permission()[0];
    EXPECT_EQ(Permission.Id(), "modelperm-49FUp5v084tBB49tC4z8LPH5");
    EXPECT_EQ(Permission._Object(), "model_permission");
    EXPECT_EQ(Permission.Created(), 1669085501);
    EXPECT_TRUE(Permission.AllowView());
    EXPECT_EQ(Permission.Organization(), "*");
    EXPECT_FALSE(Permission.AllowLogprobs());  // never read
    EXPECT_FALSE(Permission.AllowSampling());

    auto& Davinci = *Models->Data()[1];
    EXPECT_EQ(Davinci.Id(), "davinci");
    ASSERT_EQ(Davinci.Permission().size(), 2u);
    EXPECT_TRUE(Davinci.Permission()[0]->AllowCreateEngine());
    EXPECT_TRUE(Davinci.Permission()[0]->AllowSearchIndices());
    EXPECT_TRUE(Davinci.Permission()[0]->AllowFineTuning());
    EXPECT_TRUE(Davinci.Permission()[0]->IsBlocking());
    EXPECT_EQ(Davinci.Permission()[1]->Id(), "p2");
    EXPECT_EQ(Davinci.Permission()[1]->Created(), -1);

    EXPECT_EQ(Models->Data()[2]->OwnedBy(), "openai-internal");
    EXPECT_TRUE(Models->Data()[2]->Permission().empty());
    EXPECT_EQ(Models->AsString(), Reply);
}

TEST(OpenAIResponses, CompletionWithAndWithoutUsage) {
    const std::string Reply =
        R"({"id":"cmpl-uqkvlQyYK7bGYrRHQ0eXlWi7","object":"text_completion","created":1589478378,)"
        R"("model":"text-davinci-003","choices":[{"text":"\n\nThis is indeed a test","index":0,"logprobs":null,)"
        R"("finish_reason":"length"},{"text":"Yes \"it\" is","index":1,"finish_reason":"stop"}],)"
        R"("usage":{"prompt_tokens":5,"completion_tokens":7,"total_tokens":12}})";
    auto Completion = From<TkbvOpenAIClass_Response_Completion>(Reply);
    EXPECT_EQ(Completion->Id(), "cmpl-uqkvlQyYK7bGYrRHQ0eXlWi7");
    EXPECT_EQ(Completion->_Object(), "text_completion");
    EXPECT_EQ(Completion->Created(), 1589478378);
    EXPECT_EQ(Completion->Model(), "text-davinci-003");
    ASSERT_EQ(Completion->Choices().size(), 2u);
    EXPECT_EQ(Completion->Choices()[0]->Text(), "\n\nThis is indeed a test");
    EXPECT_EQ(Completion->Choices()[0]->FinishReason(), "length");
    EXPECT_EQ(Completion->Choices()[1]->Text(), "Yes \"it\" is");
    EXPECT_EQ(Completion->Choices()[1]->_Index(), 1);
    EXPECT_EQ(Completion->Usage().PromptTokens(), 5);
    EXPECT_EQ(Completion->Usage().CompletionTokens(), 7);
    EXPECT_EQ(Completion->Usage().TotalTokens(), 12);
    // The document keeps the reply's escapes: written back unchanged.
    EXPECT_EQ(Completion->AsString(), Reply);

    auto Bare = From<TkbvOpenAIClass_Response_Completion>(R"({"id":"x","choices":[]})");
    EXPECT_TRUE(Bare->Choices().empty());
    EXPECT_EQ(Bare->Usage().TotalTokens(), 0);
}

TEST(OpenAIResponses, ChatCompletion) {
    const std::string Reply =
        R"({"id":"c1","object":"o","created":100,"choices":[{"index":0,"message":{"role":"r","content":"t"},)"
        R"("finish_reason":"f"},{"index":1,"message":{"role":"assistant","content":"line\nbreak \u00e9\ud83d\ude00 \/"},)"
        R"("finish_reason":"stop"},{"index":2,"finish_reason":"length"}],)"
        R"("usage":{"prompt_tokens":9,"completion_tokens":12,"total_tokens":21}})";
    auto Chat = From<TkbvOpenAIClass_Response_ChatCompletion>(Reply);
    EXPECT_EQ(Chat->Id(), "c1");
    EXPECT_EQ(Chat->_Object(), "o");
    EXPECT_EQ(Chat->Created(), 100);
    ASSERT_EQ(Chat->Choices().size(), 3u);
    auto& First = *Chat->Choices()[0];
    EXPECT_EQ(First._Index(), 0);
    EXPECT_EQ(First.FinishReason(), "f");
    EXPECT_EQ(First._Message().Role(), "r");
    EXPECT_EQ(First._Message().Content(), "t");
    EXPECT_EQ(First._Message().AsString(), R"({"role":"r","content":"t"})");
    EXPECT_EQ(Chat->Choices()[1]->_Message().Content(), "line\nbreak \u00e9\U0001F600 /");
    // A choice without a message holds an empty one.
    EXPECT_EQ(Chat->Choices()[2]->_Message().Content(), "");
    EXPECT_EQ(Chat->Choices()[2]->FinishReason(), "length");
    EXPECT_EQ(Chat->Usage().PromptTokens(), 9);
    EXPECT_EQ(Chat->Usage().CompletionTokens(), 12);
    EXPECT_EQ(Chat->Usage().TotalTokens(), 21);
    EXPECT_EQ(Chat->AsString(), Reply);
}

TEST(OpenAIResponses, EditsAndImages) {
    auto Edit = From<TkbvOpenAIClass_Response_Edit>(
        R"({"object":"edit","created":1589478378,"choices":[{"text":"What day of the week is it?\n","index":0}],)"
        R"("usage":{"prompt_tokens":25,"completion_tokens":32,"total_tokens":57}})");
    EXPECT_EQ(Edit->_Object(), "edit");
    EXPECT_EQ(Edit->Created(), 1589478378);
    ASSERT_EQ(Edit->Choices().size(), 1u);
    EXPECT_EQ(Edit->Choices()[0]->Text(), "What day of the week is it?\n");
    EXPECT_EQ(Edit->Usage().TotalTokens(), 57);

    auto Urls = From<TkbvOpenAIClass_Response_Image>(
        R"({"created":1589478378,"data":[{"url":"https:\/\/example.net\/img-1.png?st=2023&sig=a%2Bb"},)"
        R"({"url":"https://example.net/img-2.png"}]})");
    EXPECT_EQ(Urls->Created(), 1589478378);
    ASSERT_EQ(Urls->Data().size(), 2u);
    EXPECT_EQ(Urls->Data()[0]->Url(), "https://example.net/img-1.png?st=2023&sig=a%2Bb");
    EXPECT_EQ(Urls->Data()[1]->Url(), "https://example.net/img-2.png");

    auto Encoded = From<TkbvOpenAIClass_Response_Image_Variation>(
        R"({"created":-5,"data":[{"b64_json":"iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4nGNgYGD4DwABBAEAwS2OUAAAAABJRU5ErkJggg=="}]})");
    EXPECT_EQ(Encoded->Created(), -5);
    EXPECT_EQ(Encoded->Data()[0]->B64_json(),
              "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4nGNgYGD4DwABBAEAwS2OUAAAAABJRU5ErkJggg==");
    EXPECT_EQ(From<TkbvOpenAIClass_Response_Image_Edit>(R"({"data":[{"url":"u"}]})")->Data()[0]->Url(), "u");
}

TEST(OpenAIResponses, EmbeddingsVectorsKeepEveryNumber) {
    constexpr int Dimensions = 1536;
    std::vector<std::vector<double>> Vectors(2);
    std::string Reply = R"({"object":"list","data":[)";
    for (int Entry = 0; Entry < 2; ++Entry) {
        Reply += Entry ? "," : "";
        Reply += R"({"object":"embedding","index":)" + std::to_string(Entry) + R"(,"embedding":[)";
        for (int i = 0; i < Dimensions; ++i) {
            double Value = (i - 768 + Entry * 0.5) * 1.2345e-5;
            Vectors[Entry].push_back(Value);
            char Text[32];
            // Shortest form: plain and exponent notation both occur.
            auto End = std::to_chars(Text, Text + sizeof Text, Value).ptr;
            Reply += (i ? "," : "") + std::string(Text, End);
        }
        Reply += "]}";
    }
    Reply += R"(],"model":"text-embedding-ada-002-v2","usage":{"prompt_tokens":8,"total_tokens":8}})";

    auto Embeddings = From<TkbvOpenAIClass_Response_Embeddings>(Reply);
    EXPECT_EQ(Embeddings->_Object(), "list");
    EXPECT_EQ(Embeddings->Model(), "text-embedding-ada-002-v2");
    EXPECT_EQ(Embeddings->Usage().PromptTokens(), 8);
    EXPECT_EQ(Embeddings->Usage().TotalTokens(), 8);
    ASSERT_EQ(Embeddings->Data().size(), 2u);
    for (size_t Entry = 0; Entry < 2; ++Entry) {
        EXPECT_EQ(Embeddings->Data()[Entry]->_Index(), static_cast<int32_t>(Entry));
        EXPECT_EQ(Embeddings->Data()[Entry]->_Object(), "embedding");
        EXPECT_EQ(Embeddings->Data()[Entry]->Embedding(), Vectors[Entry]);
    }
    EXPECT_EQ(Embeddings->AsString(), Reply);
}

TEST(OpenAIResponses, FilesAndDelete) {
    auto Files = From<TkbvOpenAIClass_Response_Files>(
        R"({"data":[{"id":"file-ccdDZrC3iZVNiQVeEA6Z66wf","object":"file","bytes":175,"created_at":1613677385,)"
        R"("filename":"train.jsonl","purpose":"search"},{"id":"file-XjGxS3KTG0uNmNOK362iJua3","object":"file",)"
        R"("bytes":140,"created_at":1613779121,"filename":"C:\\data\\puppy.jsonl","purpose":"fine-tune"}],"object":"list"})");
    EXPECT_EQ(Files->_Object(), "list");
    ASSERT_EQ(Files->Data().size(), 2u);
    auto& Second = *Files->Data()[1];
    EXPECT_EQ(Second.Id(), "file-XjGxS3KTG0uNmNOK362iJua3");
    EXPECT_EQ(Second._Object(), "file");
    EXPECT_EQ(Second.Bytes(), 140);
    EXPECT_EQ(Second.CreatedAt(), 1613779121);
    EXPECT_EQ(Second.Filename(), "C:\\data\\puppy.jsonl");
    EXPECT_EQ(Second.Purpose(), "fine-tune");

    auto Deleted = From<TkbvOpenAIClass_Response_Delete>(R"({"id":"file-XjGxS3KTG0uNmNOK362iJua3","object":"file","deleted":true})");
    EXPECT_EQ(Deleted->Id(), "file-XjGxS3KTG0uNmNOK362iJua3");
    EXPECT_EQ(Deleted->_Object(), "file");
    EXPECT_TRUE(Deleted->Deleted());
}

static const char* const FineTuneReply =
    R"({"id":"ft-AF1WoRqd3aJAHsqc9NY7iL8F","object":"fine-tune","model":"curie","created_at":1614807352,)"
    R"("events":[{"object":"fine-tune-event","created_at":1614807352,"level":"info",)"
    R"("message":"Job enqueued. Waiting for jobs ahead to complete. Queue number: 0."},)"
    R"({"object":"fine-tune-event","created_at":1614807356,"level":"warn","message":"Job started."}],)"
    R"("fine_tuned_model":null,"hyperparams":{"batch_size":4,"learning_rate_multiplier":0.1,"n_epochs":4,)"
    R"("prompt_loss_weight":0.01},"organization_id":"org-abc","result_files":[{"id":"file-r","bytes":81509}],)"
    R"("status":"pending","validation_files":[],"training_files":[{"id":"file-XGinujblHPwGLSztz8cPS8XY",)"
    R"("object":"file","bytes":1547276,"created_at":1610062281,"filename":"my-data-train.jsonl",)"
    R"("purpose":"fine-tune-train"}],"updated_at":1614807865})";

TEST(OpenAIResponses, FineTunesWithEventsHyperparamsAndFiles) {
    auto FineTune = From<TkbvOpenAIClass_Response_FineTune>(FineTuneReply);
    EXPECT_EQ(FineTune->Id(), "ft-AF1WoRqd3aJAHsqc9NY7iL8F");
    EXPECT_EQ(FineTune->_Object(), "fine-tune");
    EXPECT_EQ(FineTune->Model(), "curie");
    EXPECT_EQ(FineTune->CreatedAt(), 1614807352);
    EXPECT_EQ(FineTune->UpdatedAt(), 1614807865);
    EXPECT_EQ(FineTune->OrganizationId(), "org-abc");
    EXPECT_EQ(FineTune->Status(), "pending");
    ASSERT_EQ(FineTune->Events().size(), 2u);
    EXPECT_EQ(FineTune->Events()[0]->_Message(), "Job enqueued. Waiting for jobs ahead to complete. Queue number: 0.");
    EXPECT_EQ(FineTune->Events()[1]->Level(), "warn");
    EXPECT_EQ(FineTune->Events()[1]->CreatedAt(), 1614807356);
    EXPECT_EQ(FineTune->Hyperparams().BatchSize(), 4);
    EXPECT_EQ(FineTune->Hyperparams().NEpochs(), 4);
    EXPECT_DOUBLE_EQ(FineTune->Hyperparams().LearningRateMultiplier(), 0.1);
    EXPECT_DOUBLE_EQ(FineTune->Hyperparams().PromptLossWeight(), 0.01);
    ASSERT_EQ(FineTune->ResultFiles().size(), 1u);
    EXPECT_EQ(FineTune->ResultFiles()[0]->Bytes(), 81509);
    ASSERT_EQ(FineTune->TrainingFiles().size(), 1u);
    EXPECT_EQ(FineTune->TrainingFiles()[0]->Filename(), "my-data-train.jsonl");
    EXPECT_EQ(FineTune->TrainingFiles()[0]->Purpose(), "fine-tune-train");
    EXPECT_TRUE(FineTune->ValidationFiles().empty());

    auto List = From<TkbvOpenAIClass_Response_FineTunes>(std::string(R"({"object":"list","data":[)") + FineTuneReply +
                                                          R"(,{"id":"ft-2","status":"succeeded"}]})");
    EXPECT_EQ(List->_Object(), "list");
    ASSERT_EQ(List->Data().size(), 2u);
    EXPECT_EQ(List->Data()[0]->TrainingFiles()[0]->Bytes(), 1547276);
    EXPECT_EQ(List->Data()[1]->Status(), "succeeded");
    EXPECT_EQ(List->Data()[1]->Hyperparams().NEpochs(), 0);

    auto Events = From<TkbvOpenAIClass_Response_FineTune_Events>(
        R"({"object":"list","data":[{"object":"fine-tune-event","created_at":1614807352,"level":"info",)"
        R"("message":"Job enqueued."},{"object":"fine-tune-event","created_at":1614807399,"level":"info",)"
        R"("message":"Uploaded model: curie:ft-acmeco-2021-03-03-21-44-20"}]})");
    EXPECT_EQ(Events->_Object(), "list");
    ASSERT_EQ(Events->Data().size(), 2u);
    EXPECT_EQ(Events->Data()[1]->_Message(), "Uploaded model: curie:ft-acmeco-2021-03-03-21-44-20");
}

TEST(OpenAIResponses, ModerationReadsSlashAndHyphenKeys) {
    auto Moderation = From<TkbvOpenAIClass_Response_Moderation>(
        R"({"id":"modr-5MWoLO","model":"text-moderation-001","results":[{"categories":{"hate":false,)"
        R"("hate/threatening":true,"self-harm":true,"sexual":false,"sexual/minors":true,"violence":true,)"
        R"("violence/graphic":false},"category_scores":{"hate":0.22714105248451233,)"
        R"("hate/threatening":0.4132447838783264,"self-harm":0.005232391878962517,"sexual":0.01407341007143259,)"
        R"("sexual/minors":0.0038522258400917053,"violence":0.9223177433013916,"violence/graphic":3.6865197e-05},)"
        R"("flagged":true}]})");
    EXPECT_EQ(Moderation->Id(), "modr-5MWoLO");
    EXPECT_EQ(Moderation->Model(), "text-moderation-001");
    ASSERT_EQ(Moderation->Results().size(), 1u);
    auto& Result = *Moderation->Results()[0];
    EXPECT_TRUE(Result.Flagged());
    auto& Categories = Result.Categories();
    EXPECT_FALSE(Categories.Hate());
    EXPECT_TRUE(Categories.HateThreatening());
    EXPECT_TRUE(Categories.SelfHarm());
    EXPECT_FALSE(Categories.Sexual());
    EXPECT_TRUE(Categories.SexualMinors());
    EXPECT_TRUE(Categories.Violence());
    EXPECT_FALSE(Categories.ViolenceGraphic());
    auto& Scores = Result.CategoryScores();
    EXPECT_EQ(Scores.Hate(), 0.22714105248451233);
    EXPECT_EQ(Scores.HateThreatening(), 0.4132447838783264);
    EXPECT_EQ(Scores.SelfHarm(), 0.005232391878962517);
    EXPECT_EQ(Scores.Sexual(), 0.01407341007143259);
    EXPECT_EQ(Scores.SexualMinors(), 0.0038522258400917053);
    EXPECT_EQ(Scores.Violence(), 0.9223177433013916);
    EXPECT_EQ(Scores.ViolenceGraphic(), 3.6865197e-05);
}

TEST(OpenAIResponses, AudioText) {
    auto Transcription = From<TkbvOpenAIClass_Response_Transcription>(
        R"({"text":"Imagine the wildest idea that you've ever had, and you're curious about how it might scale."})");
    EXPECT_EQ(Transcription->Text(), "Imagine the wildest idea that you've ever had, and you're curious about how it might scale.");

    auto Translation = From<TkbvOpenAIClass_Response_Translation>(R"({"text":"Caf\u00e9 \"Zur Post\"\n"})");
    EXPECT_EQ(Translation->Text(), "Café \"Zur Post\"\n");

    // A plain-text response format is no JSON at all.
    auto Plain = From<TkbvOpenAIClass_Response_Transcription>("Hello there.\n");
    EXPECT_EQ(Plain->Text(), "");
    EXPECT_EQ(Plain->AsString(), "{}");
}

TEST(OpenAIResponses, MissingKeysGiveDefaults) {
    const std::string Error =
        R"({"error":{"message":"Incorrect API key provided.","type":"invalid_request_error","param":null,"code":"invalid_api_key"}})";
    auto Completion = From<TkbvOpenAIClass_Response_Completion>(Error);
    EXPECT_EQ(Completion->Id(), "");
    EXPECT_EQ(Completion->Created(), 0);
    EXPECT_TRUE(Completion->Choices().empty());
    EXPECT_EQ(Completion->Usage().TotalTokens(), 0);
    EXPECT_EQ(Completion->AsString(), Error);

    auto FineTune = From<TkbvOpenAIClass_Response_FineTune>(Error);
    EXPECT_EQ(FineTune->CreatedAt(), 0);
    EXPECT_TRUE(FineTune->Events().empty());
    EXPECT_DOUBLE_EQ(FineTune->Hyperparams().PromptLossWeight(), 0);

    auto Moderation = From<TkbvOpenAIClass_Response_Moderation>(R"({"results":[{}]})");
    ASSERT_EQ(Moderation->Results().size(), 1u);
    EXPECT_FALSE(Moderation->Results()[0]->Flagged());
    EXPECT_FALSE(Moderation->Results()[0]->Categories().SelfHarm());

    // Malformed text fills what was reached.
    auto Cut = From<TkbvOpenAIClass_Response_Delete>(R"({"id":"file-1","deleted":true,"object":)");
    EXPECT_EQ(Cut->Id(), "file-1");
    EXPECT_TRUE(Cut->Deleted());
    EXPECT_EQ(Cut->_Object(), "");

    // Blanks go, key order stays.
    EXPECT_EQ(From<TkbvOpenAIClass_Response_Delete>("{ \"object\" : \"file\",\n \"id\": \"f\" }")->AsString(),
              R"({"object":"file","id":"f"})");
}

TEST(OpenAIResponses, ValuesConvertFromTheirText) {
    auto Deleted = [](const std::string& Value) {
        return From<TkbvOpenAIClass_Response_Delete>(R"({"deleted":)" + Value + "}")->Deleted();
    };
    EXPECT_TRUE(Deleted(R"("TRUE")"));
    EXPECT_FALSE(Deleted(R"("False")"));
    EXPECT_FALSE(Deleted("0"));
    EXPECT_TRUE(Deleted("2"));
    EXPECT_FALSE(Deleted("0.0"));

    auto Created = [](const std::string& Value) {
        return From<TkbvOpenAIClass_Response_Model_Data>(R"({"created":)" + Value + "}")->Created();
    };
    EXPECT_EQ(Created("12"), 12);
    EXPECT_EQ(Created(R"("12")"), 12);
    EXPECT_EQ(Created("+7"), 7);
    EXPECT_EQ(Created("true"), 1);
    EXPECT_EQ(Created("-2147483648"), INT32_MIN);

    auto Weight = [](const std::string& Value) {
        return From<TkbvOpenAIClass_Response_FineTune_HyperParams>(R"({"prompt_loss_weight":)" + Value + "}")
            ->PromptLossWeight();
    };
    EXPECT_EQ(Weight("1e-3"), 0.001);
    EXPECT_EQ(Weight("-2.5E+2"), -250);
    EXPECT_EQ(Weight(R"("0.25")"), 0.25);
    EXPECT_EQ(Weight("true"), 1);

    // Strings are decoded; other values read as strings keep their text.
    auto Root = [](const std::string& Value) {
        return From<TkbvOpenAIClass_Response_Model_Data>(R"({"root":)" + Value + "}")->Root();
    };
    EXPECT_EQ(Root("null"), "null");
    EXPECT_EQ(Root("1.50"), "1.50");
    EXPECT_EQ(Root(R"({"a": [1, "\n"]})"), R"({"a":[1,"\n"]})");
    EXPECT_EQ(Root(R"("tab\tquote\"back\\slash\/")"), "tab\tquote\"back\\slash/");
}

TEST(OpenAIResponses, UnconvertibleValuesRaiseOutOfConstruction) {
    auto Message = [](auto Construct) -> std::string {
        try {
            Construct();
        } catch (const EConvertError& E) {
            return E.Message();
        }
        return "no exception";
    };
    EXPECT_EQ(Message([] { From<TkbvOpenAIClass_Response_Models>(R"({"data":[{"created":null}]})"); }),
              R"(Cannot read "created" as an integer: null)");
    EXPECT_EQ(Message([] { From<TkbvOpenAIClass_Response_Model_Data>(R"({"created":2147483648})"); }),
              R"(Cannot read "created" as an integer: 2147483648)");
    EXPECT_EQ(Message([] { From<TkbvOpenAIClass_Response_Image>(R"({"created":1e3})"); }),
              R"(Cannot read "created" as an integer: 1e3)");
    EXPECT_EQ(Message([] { From<TkbvOpenAIClass_Response_Delete>(R"({"deleted":"yes"})"); }),
              R"(Cannot read "deleted" as a Boolean: yes)");
    EXPECT_EQ(Message([] {
                  From<TkbvOpenAIClass_Response_Moderation>(R"({"results":[{"category_scores":{"self-harm":"nan"}}]})");
              }),
              R"(Cannot read "self-harm" as a number: nan)");
    EXPECT_EQ(Message([] { From<TkbvOpenAIClass_Response_FineTune_HyperParams>(R"({"learning_rate_multiplier":"inf"})"); }),
              R"(Cannot read "learning_rate_multiplier" as a number: inf)");
    EXPECT_EQ(Message([] { From<TkbvOpenAIClass_Response_Embeddings>(R"({"data":[{"embedding":[0.5,"x"]}]})"); }),
              R"(Cannot read "embedding" as a number: x)");
    EXPECT_EQ(Message([] {
                  From<TkbvOpenAIClass_Response_ChatCompletion>(R"({"id":"c","usage":{"total_tokens":[1,2]}})");
              }),
              R"(Cannot read "total_tokens" as an integer: [1,2])");

    std::string Long(200, 'x');
    EXPECT_EQ(Message([&] { From<TkbvOpenAIClass_Response_File>(R"({"bytes":")" + Long + R"("})"); }),
              R"(Cannot read "bytes" as an integer: )" + std::string(60, 'x') + "...");
}
