#include "core/Text.h"

namespace {

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

}  // namespace

std::string_view TrimLeft(std::string_view AText) {
    while (!AText.empty() && IsBlank(AText.front()))
        AText.remove_prefix(1);
    return AText;
}

std::string_view TrimRight(std::string_view AText) {
    while (!AText.empty() && IsBlank(AText.back()))
        AText.remove_suffix(1);
    return AText;
}

std::string_view Trim(std::string_view AText) { return TrimLeft(TrimRight(AText)); }

std::string LowerCase(std::string_view AText) {
    std::string Result(AText);
    for (char& C : Result)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C - 'A' + 'a');
    return Result;
}

std::string UpperCase(std::string_view AText) {
    std::string Result(AText);
    for (char& C : Result)
        if (C >= 'a' && C <= 'z')
            C = static_cast<char>(C - 'a' + 'A');
    return Result;
}
