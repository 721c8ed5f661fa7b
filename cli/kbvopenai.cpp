// kbvopenai: the OpenAI REST API from the command line, one command per
// operation of the OpenAI client. The reply text goes to standard output;
// a failed call exits with 1, a command line it cannot run with 2, before
// anything is sent.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/kbvopenai_CommandLine.h"
#include "cli/kbvopenai_Commands.h"
#include "openai/kbvHTTP_API_OpenAI.h"

namespace {

constexpr const char* kProgram = "kbvopenai";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultMaxRetries = 2;  // as the official SDKs

// Everything the command line and the environment say, checked.
struct TkbvSettings {
    std::optional<std::string> ApiKey;  // an empty key given on the command line is a key
    std::string Organization;
    std::string BaseURL;
    std::string LogFile;
    std::string CAFile;
    std::string Device;
    std::string Role = "user";
    int MaxRetries = kDefaultMaxRetries;
    std::optional<int> ReadTimeoutMs;
    bool Stream = false;
};

std::vector<TkbvOptionDef> AllOptions() {
    std::vector<TkbvOptionDef> Result = GlobalOptions();
    Result.insert(Result.end(), CommandOptions().begin(), CommandOptions().end());
    return Result;
}

// Set and not empty: an empty variable counts as unset, as in the shells' "VAR= cmd".
std::optional<std::string> EnvironmentValue(const char* AName) {
    const char* Value = std::getenv(AName);
    if (!Value || !*Value)
        return std::nullopt;
    return std::string(Value);
}

std::string OptionOrEnvironment(const TkbvCommandLine& ALine, const char* AOption, const char* AVariable) {
    auto Given = ALine.Options.find(AOption);
    if (Given != ALine.Options.end())
        return Given->second;
    return EnvironmentValue(AVariable).value_or("");
}

std::string OptionValue(const TkbvCommandLine& ALine, const char* AOption) {
    auto Given = ALine.Options.find(AOption);
    return Given == ALine.Options.end() ? "" : Given->second;
}

TkbvSettings ReadSettings(const TkbvCommandLine& ALine) {
    TkbvSettings Result;
    if (ALine.Has("api-key"))
        Result.ApiKey = OptionValue(ALine, "api-key");
    else
        Result.ApiKey = EnvironmentValue("OPENAI_API_KEY");
    Result.Organization = OptionOrEnvironment(ALine, "organization", "OPENAI_ORG_ID");
    Result.BaseURL = OptionValue(ALine, "base-url");  // the client reads OPENAI_BASE_URL itself
    Result.LogFile = OptionValue(ALine, "log");
    Result.CAFile = OptionValue(ALine, "ca-file");
    Result.Device = OptionValue(ALine, "device");
    if (ALine.Has("role"))
        Result.Role = OptionValue(ALine, "role");
    if (ALine.Has("max-retries"))
        Result.MaxRetries = ParseRetryCount(OptionValue(ALine, "max-retries"), "--max-retries");
    if (ALine.Has("timeout"))
        Result.ReadTimeoutMs = ParseSecondsAsMilliseconds(OptionValue(ALine, "timeout"), "--timeout");
    Result.Stream = ALine.Has("stream");
    return Result;
}

// --- help ---------------------------------------------------------------------

std::string Padded(std::string AText, size_t AWidth) {
    AText.resize(std::max(AWidth, AText.size() + 2), ' ');
    return AText;
}

std::string OptionLines(const std::vector<TkbvOptionDef>& AOptions, const TkbvCommand* AOnlyFor = nullptr) {
    std::string Result;
    for (const TkbvOptionDef& Option : AOptions) {
        if (AOnlyFor && !AOnlyFor->Accepts(Option.Name))
            continue;
        std::string Synopsis = std::string("  --") + Option.Name;
        if (Option.ValueName)
            Synopsis += std::string(" ") + Option.ValueName;
        Result += Padded(Synopsis, 26) + Option.Description + "\n";
    }
    return Result;
}

constexpr const char* kHelpFooter =
    "\nEnvironment: OPENAI_API_KEY, OPENAI_ORG_ID, OPENAI_BASE_URL (the options take precedence).\n"
    "Exit status: 0 on success, 1 when the call fails, 2 for a command line that cannot run.\n";

std::string ProgramHelp() {
    std::string Result = std::string("Usage: ") + kProgram + " [options] <command> [arguments]\n" +
                         "Calls the OpenAI REST API and prints the reply.\n\nCommands:\n";
    size_t Width = 0;
    for (const TkbvCommand& Command : Commands())
        Width = std::max(Width, Command.Synopsis().size());
    for (const TkbvCommand& Command : Commands())
        Result += Padded("  " + Command.Synopsis(), Width + 4) + Command.Description + "\n";
    Result += "\nOptions (before or after the command):\n" + OptionLines(GlobalOptions());
    Result += "\nOptions of some commands (see '" + std::string(kProgram) + " <command> --help'):\n" +
              OptionLines(CommandOptions());
    return Result + kHelpFooter;
}

std::string CommandHelp(const TkbvCommand& ACommand) {
    std::string Result = std::string("Usage: ") + kProgram + " [options] " + ACommand.Synopsis() + "\n" +
                         ACommand.Description + "\n";
    std::string Own = OptionLines(CommandOptions(), &ACommand);
    if (!Own.empty())
        Result += "\nOptions of " + std::string(ACommand.Name) + ":\n" + Own;
    Result += "\nOptions:\n" + OptionLines(GlobalOptions());
    return Result + kHelpFooter;
}

// --- checks before anything is sent -----------------------------------------------

const TkbvCommand& NamedCommand(const TkbvCommandLine& ALine) {
    if (ALine.Words.empty())
        throw EkbvUsageError("no command given");
    const TkbvCommand* Command = FindCommand(ALine.Words[0]);
    if (!Command)
        throw EkbvUsageError("unknown command '" + ALine.Words[0] + "'");
    return *Command;
}

std::string ArgumentCountText(size_t ACount) {
    return ACount == 1 ? "1 argument" : std::to_string(ACount) + " arguments";
}

void CheckCall(const TkbvCommand& ACommand, const TkbvCommandLine& ALine) {
    for (const TkbvOptionDef& Option : CommandOptions())
        if (ALine.Has(Option.Name) && !ACommand.Accepts(Option.Name))
            throw EkbvUsageError("option '--" + std::string(Option.Name) + "' does not apply to " + ACommand.Name);
    size_t Given = ALine.Words.size() - 1;
    if (Given < ACommand.RequiredArguments() || Given > ACommand.Arguments.size())
        throw EkbvUsageError(std::string(ACommand.Name) + " takes " +
                             (ACommand.RequiredArguments() == ACommand.Arguments.size() ? "" : "at least ") +
                             ArgumentCountText(ACommand.RequiredArguments()) + ", got " + std::to_string(Given) +
                             "\nUsage: " + kProgram + " [options] " + ACommand.Synopsis());
    for (size_t I = 0; I < Given; ++I)
        if (ACommand.Arguments[I] == kbvMillisecondsArgument)
            ParseMilliseconds(ALine.Words[I + 1], kbvMillisecondsArgument);
}

// --- the call ----------------------------------------------------------------------

void WriteOut(std::string_view AText) { std::fwrite(AText.data(), 1, AText.size(), stdout); }

void PrintReply(const std::string& AText) {
    WriteOut(AText);
    if (!AText.empty() && AText.back() != '\n')
        WriteOut("\n");
}

// Each piece is printed and flushed as it arrives; the line is ended also
// when the stream breaks, so that the error message stands on its own.
void RunStreamed(const TkbvCommand& ACommand, TkbvCommandCall& ACall) {
    bool LineOpen = false;
    ACall.OnDelta = [&LineOpen](const std::string& APiece, bool&) {
        WriteOut(APiece);
        std::fflush(stdout);
        if (!APiece.empty())
            LineOpen = APiece.back() != '\n';
    };
    try {
        ACommand.RunStreamed(ACall);
    } catch (...) {
        if (LineOpen)
            WriteOut("\n");
        throw;
    }
    if (LineOpen)
        WriteOut("\n");
}

void Configure(TkbvHTTP_API_OpenAI& AClient, const TkbvSettings& ASettings) {
    AClient.OpenAIOptions().SetApiKey(ASettings.ApiKey.value_or(""));
    AClient.OpenAIOptions().SetOrganization(ASettings.Organization);
    if (!ASettings.BaseURL.empty())
        AClient.SetBaseURL(ASettings.BaseURL);
    if (!ASettings.LogFile.empty()) {
        AClient.OpenAIOptions().LogOptions().SetEnabled(true);
        AClient.OpenAIOptions().LogOptions().SetFileName(ASettings.LogFile);
    }
    if (!ASettings.CAFile.empty())
        AClient.TLSOptions().SetRootCertFile(ASettings.CAFile);
    if (!ASettings.Device.empty())
        AClient.SetAudioDevice(ASettings.Device);
    AClient.SetMaxRetries(ASettings.MaxRetries);
    if (ASettings.ReadTimeoutMs)
        AClient.SetReadTimeout(*ASettings.ReadTimeoutMs);
}

// A server may quote the key it refused; it is not ours to print. Keys too
// short to be secrets are left alone: masking them would garble the message.
std::string WithoutSecret(std::string AMessage, const std::string& ASecret) {
    constexpr size_t kShortestSecret = 8;
    if (ASecret.size() < kShortestSecret)
        return AMessage;
    for (size_t At = AMessage.find(ASecret); At != std::string::npos; At = AMessage.find(ASecret, At + 4))
        AMessage.replace(At, ASecret.size(), "****");
    return AMessage;
}

// An error body often ends in a line break of its own.
void ReportError(std::string AMessage) {
    while (!AMessage.empty() && (AMessage.back() == '\n' || AMessage.back() == '\r'))
        AMessage.pop_back();
    std::fprintf(stderr, "%s: %s\n", kProgram, AMessage.c_str());
}

int Execute(const TkbvCommand& ACommand, const TkbvCommandLine& ALine, const TkbvSettings& ASettings) {
    const std::string Key = ASettings.ApiKey.value_or("");
    std::vector<std::string> Args(ALine.Words.begin() + 1, ALine.Words.end());
    Args.resize(ACommand.Arguments.size());  // optional arguments not given are empty
    try {
        TkbvHTTP_API_OpenAI Client;
        Configure(Client, ASettings);
        TkbvCommandCall Call{Client, Args, ASettings.Role, {}};
        if (ASettings.Stream)
            RunStreamed(ACommand, Call);
        else
            PrintReply(ACommand.Run(Call));
    } catch (const std::exception& E) {  // Exception, and the standard library's
        std::fflush(stdout);
        ReportError(WithoutSecret(E.what(), Key));
        return kExitFailure;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        ReportError("could not write the reply to standard output");
        return kExitFailure;
    }
    return EXIT_SUCCESS;
}

int Main(const std::vector<std::string>& AArgs) {
    TkbvCommandLine Line = ParseCommandLine(AArgs, AllOptions());
    if (Line.Has("help")) {
        std::fputs(Line.Words.empty() ? ProgramHelp().c_str() : CommandHelp(NamedCommand(Line)).c_str(), stdout);
        return EXIT_SUCCESS;
    }
    if (Line.Has("version")) {
        std::printf("%s %s\n", kProgram, TkbvHTTP_API_OpenAI::Version());
        return EXIT_SUCCESS;
    }
    const TkbvCommand& Command = NamedCommand(Line);
    CheckCall(Command, Line);
    TkbvSettings Settings = ReadSettings(Line);
    if (!Settings.ApiKey)
        throw EkbvUsageError("no API key: set OPENAI_API_KEY or pass --api-key KEY");
    return Execute(Command, Line, Settings);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EkbvUsageError& E) {
        ReportError(E.Message());
        std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
        return kExitUsage;
    } catch (const Exception& E) {
        ReportError(E.Message());
    } catch (const std::exception& E) {
        ReportError(E.what());
    } catch (...) {
        ReportError("unexpected failure");
    }
    return kExitFailure;
}
