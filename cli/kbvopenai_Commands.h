// The commands of kbvopenai, as data: one per plain-argument operation of
// the OpenAI client, named after it in kebab case (_CreateImageEdit is
// create-image-edit), with its arguments, a one-line description and the call.
#pragma once

#include <string>
#include <vector>

#include "cli/kbvopenai_CommandLine.h"
#include "openai/kbvHTTP_API_OpenAI.h"

// What a command's call gets: the configured client and the command's
// arguments, one per name it lists (an optional one not given is empty).
struct TkbvCommandCall {
    TkbvHTTP_API_OpenAI& Client;
    const std::vector<std::string>& Args;
    std::string Role;
    TkbvOpenAIDeltaEvent OnDelta;  // for the streamed call
};

using TkbvCommandRun = std::string (*)(TkbvCommandCall& ACall);

// An argument of this name is a number, checked before anything is sent.
inline constexpr const char* kbvMillisecondsArgument = "MILLISECONDS";

struct TkbvCommand {
    const char* Name;
    std::vector<std::string> Arguments;  // "[INPUT]": optional, after the others
    const char* Description;
    std::vector<std::string> Options;  // its own options ("role", "device"), "stream" implied by RunStreamed
    TkbvCommandRun Run;
    TkbvCommandRun RunStreamed = nullptr;  // with --stream: the reply text to ACall.OnDelta as it arrives

    size_t RequiredArguments() const;
    bool Accepts(const std::string& AOption) const;
    std::string Synopsis() const;  // "create-edit MODEL INSTRUCTION [INPUT]"
};

const std::vector<TkbvCommand>& Commands();
const TkbvCommand* FindCommand(const std::string& AName);

// Options for every command, and those only some commands take.
const std::vector<TkbvOptionDef>& GlobalOptions();
const std::vector<TkbvOptionDef>& CommandOptions();
