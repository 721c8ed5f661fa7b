// Small text routines every layer needs. Blanks are the bytes up to and
// including the space (control characters too); case folds ASCII letters only.
#pragma once

#include <string>
#include <string_view>

std::string_view TrimLeft(std::string_view AText);
std::string_view TrimRight(std::string_view AText);
std::string_view Trim(std::string_view AText);
std::string LowerCase(std::string_view AText);
std::string UpperCase(std::string_view AText);
