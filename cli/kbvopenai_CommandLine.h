// The command line of kbvopenai: options (before or after the command, as
// "--name value" or "--name=value"), then the command and its arguments.
// Parsing only: what the options mean, and the environment, are the
// caller's business.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/Exceptions.h"

// The user asked for something the program does not understand; nothing
// has been sent. The program exits with status 2.
class EkbvUsageError : public Exception {
public:
    using Exception::Exception;
};

struct TkbvOptionDef {
    const char* Name;       // without the leading "--"
    const char* ValueName;  // nullptr for a flag
    std::string Description;
};

struct TkbvCommandLine {
    // By option name; a flag given has the empty value. The last one given wins.
    std::map<std::string, std::string> Options;
    // The command name and its arguments, in order.
    std::vector<std::string> Words;

    bool Has(const std::string& AName) const { return Options.count(AName) != 0; }
};

// "-h" is "--help"; "--" ends the options, so that a prompt may start with "-".
TkbvCommandLine ParseCommandLine(const std::vector<std::string>& AArgs, const std::vector<TkbvOptionDef>& AOptions);

// The values of options and arguments that are numbers; AWhat names the
// value in the message of the EkbvUsageError raised for anything else.
int ParseRetryCount(const std::string& AText, const std::string& AWhat);
// Seconds, fractions allowed, as whole milliseconds (at least 1).
int ParseSecondsAsMilliseconds(const std::string& AText, const std::string& AWhat);
uint32_t ParseMilliseconds(const std::string& AText, const std::string& AWhat);
