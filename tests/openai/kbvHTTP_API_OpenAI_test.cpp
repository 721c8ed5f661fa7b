// The OpenAI client's own state: options and their copies, the log switch,
// the service origin, percent-encoding. The calls themselves are tested
// against the tests' server (peer/).
#include "openai/kbvHTTP_API_OpenAI.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/support/MessageOf.h"

namespace {

// Exposes what the client keeps for its calls.
class TProbe : public TkbvHTTP_API_OpenAI {
public:
    using TkbvHTTP_API_OpenAI::SyncLogOptions;
    std::string URL() { return GetBaseURL(); }
    bool LogOn() const { return FLog; }
    const std::string& LogFile() const { return FLogFileName; }
};

TEST(OpenAIClient, OptionsAreCopiedNeverShared) {
    TkbvHTTPOpenAI_Options Given;
    Given.SetApiKey("sk-1");
    Given.SetOrganization("org-1");
    Given.LogOptions().SetEnabled(true);
    Given.LogOptions().SetFileName("a.log");
    TProbe Client;
    Client.SetOpenAIOptions(Given);
    Given.SetApiKey("sk-2");
    Given.LogOptions().SetFileName("b.log");
    EXPECT_EQ(Client.OpenAIOptions().ApiKey(), "sk-1");
    EXPECT_EQ(Client.OpenAIOptions().Organization(), "org-1");
    EXPECT_EQ(Client.OpenAIOptions().LogOptions().FileName(), "a.log");
    EXPECT_EQ(MessageOf<EConvertError>([&] { Client.OpenAIOptions().Assign(Given.LogOptions()); }),
              "Cannot assign a TkbvHTTPOpenAILog_Options to a TkbvHTTPOpenAI_Options");
}

TEST(OpenAIClient, TheLogFileChangesOnlyWithTheSwitch) {
    TProbe Client;
    auto& Log = Client.OpenAIOptions().LogOptions();
    Log.SetFileName("first.log");
    Log.SetEnabled(true);
    Client.SyncLogOptions();
    EXPECT_TRUE(Client.LogOn());
    Log.SetFileName("second.log");
    Client.SyncLogOptions();
    EXPECT_EQ(Client.LogFile(), "first.log");
    Log.SetEnabled(false);
    Client.SyncLogOptions();
    Log.SetEnabled(true);
    Client.SyncLogOptions();
    EXPECT_EQ(Client.LogFile(), "second.log");
}

TEST(OpenAIClient, TheServiceOriginComesFromTheEnvironmentOrIsSet) {
    const struct {
        const char* Given;
        const char* Kept;
    } Cases[] = {
        {nullptr, "https://api.openai.com"},
        {"", "https://api.openai.com"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"http://127.0.0.1:8080/v1", "http://127.0.0.1:8080"},
        {"http://127.0.0.1:8080/v1//", "http://127.0.0.1:8080"},
        {"https://gw.example/openai/", "https://gw.example/openai"},
        {" https://gw.example/v1/ ", "https://gw.example"},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Given ? Case.Given : "(unset)");
        if (Case.Given)
            setenv("OPENAI_BASE_URL", Case.Given, 1);
        else
            unsetenv("OPENAI_BASE_URL");
        TProbe FromEnvironment;
        EXPECT_EQ(FromEnvironment.BaseURL(), Case.Kept);
        EXPECT_EQ(FromEnvironment.URL(), std::string(Case.Kept) + "/v1");
        TProbe Set;
        Set.SetBaseURL(Case.Given ? Case.Given : "");
        EXPECT_EQ(Set.BaseURL(), Case.Kept);
    }
    unsetenv("OPENAI_BASE_URL");
}

TEST(OpenAIClient, PercentEncodeWritesUTF16CodeUnits) {
    EXPECT_EQ(TkbvHTTP_API_OpenAI::PercentEncode(""), "");
    EXPECT_EQ(TkbvHTTP_API_OpenAI::PercentEncode("A cute cat"), "A%20cute%20cat");
    EXPECT_EQ(TkbvHTTP_API_OpenAI::PercentEncode("az-._~09/"), "az-._~09%2F");
    EXPECT_EQ(TkbvHTTP_API_OpenAI::PercentEncode("é€"), "%E9%20AC");
}

}  // namespace
