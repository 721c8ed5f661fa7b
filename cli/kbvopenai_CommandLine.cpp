#include "cli/kbvopenai_CommandLine.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

namespace {

const TkbvOptionDef* FindOption(const std::vector<TkbvOptionDef>& AOptions, const std::string& AName) {
    for (const TkbvOptionDef& Option : AOptions)
        if (AName == Option.Name)
            return &Option;
    return nullptr;
}

// from_chars over the whole text: no blanks, signs or trailing rest slip by.
template <typename T>
bool ParseWhole(const std::string& AText, T& VValue) {
    const char* End = AText.data() + AText.size();
    auto [Ptr, Error] = std::from_chars(AText.data(), End, VValue);
    return !AText.empty() && Error == std::errc() && Ptr == End;
}

}  // namespace

TkbvCommandLine ParseCommandLine(const std::vector<std::string>& AArgs, const std::vector<TkbvOptionDef>& AOptions) {
    TkbvCommandLine Result;
    bool OptionsEnded = false;
    for (size_t I = 0; I < AArgs.size(); ++I) {
        const std::string& Arg = AArgs[I];
        if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {  // "-" alone is a word too
            Result.Words.push_back(Arg);
            continue;
        }
        if (Arg == "--") {
            OptionsEnded = true;
            continue;
        }
        if (Arg == "-h") {
            Result.Options["help"] = "";
            continue;
        }
        if (Arg.rfind("--", 0) != 0)
            throw EkbvUsageError("unknown option '" + Arg + "'");
        size_t Equals = Arg.find('=');
        std::string Name = Arg.substr(2, Equals == std::string::npos ? std::string::npos : Equals - 2);
        const TkbvOptionDef* Option = FindOption(AOptions, Name);
        if (!Option)
            throw EkbvUsageError("unknown option '--" + Name + "'");
        if (!Option->ValueName) {
            if (Equals != std::string::npos)
                throw EkbvUsageError("option '--" + Name + "' takes no value");
            Result.Options[Name] = "";
        } else if (Equals != std::string::npos) {
            Result.Options[Name] = Arg.substr(Equals + 1);
        } else if (I + 1 < AArgs.size()) {
            Result.Options[Name] = AArgs[++I];
        } else {
            throw EkbvUsageError("option '--" + Name + "' needs a value (" + Option->ValueName + ")");
        }
    }
    return Result;
}

int ParseRetryCount(const std::string& AText, const std::string& AWhat) {
    int Value = 0;
    if (!ParseWhole(AText, Value) || Value < 0)
        throw EkbvUsageError(AWhat + " must be a whole number of 0 or more, not '" + AText + "'");
    return Value;
}

int ParseSecondsAsMilliseconds(const std::string& AText, const std::string& AWhat) {
    double Seconds = 0;
    if (!ParseWhole(AText, Seconds) || !std::isfinite(Seconds) || Seconds <= 0 ||
        std::round(Seconds * 1000) > INT_MAX)
        throw EkbvUsageError(AWhat + " must be a number of seconds above 0, not '" + AText + "'");
    return std::max(1, static_cast<int>(std::round(Seconds * 1000)));
}

uint32_t ParseMilliseconds(const std::string& AText, const std::string& AWhat) {
    uint32_t Value = 0;
    if (!ParseWhole(AText, Value) || Value == 0)
        throw EkbvUsageError(AWhat + " must be a whole number of milliseconds above 0, not '" + AText + "'");
    return Value;
}
