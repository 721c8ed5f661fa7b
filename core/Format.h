// printf-style formatting that accepts std::string arguments for %s.
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>

namespace format_detail {
template <typename T>
decltype(auto) Arg(const T& Value) {
    if constexpr (std::is_same_v<T, std::string>)
        return Value.c_str();
    else
        return Value;
}
}  // namespace format_detail

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
template <typename... Args>
std::string Format(const char* AFormat, const Args&... AArgs) {
    int Length = std::snprintf(nullptr, 0, AFormat, format_detail::Arg(AArgs)...);
    if (Length <= 0)
        return {};
    std::string Result(static_cast<size_t>(Length), '\0');
    std::snprintf(Result.data(), Result.size() + 1, AFormat, format_detail::Arg(AArgs)...);
    return Result;
}
#pragma GCC diagnostic pop
