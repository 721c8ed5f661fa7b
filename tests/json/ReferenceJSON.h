// A second opinion on whether a text is JSON, from a widely used parser, for
// tests and the fuzz target of the JSON unit.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace reference_json {

// Takes every event and remembers why a parse stopped.
class TAcceptor : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& Error) override {
        NumberOverflow = Error.id == 406;
        return false;
    }
    bool NumberOverflow = false;
};

// Whether Text is one JSON text (RFC 8259); none when the reference cannot
// tell. Its quirks: it refuses numbers beyond the range of a double, which
// the grammar allows; it skips a leading byte order mark, which the strict
// check of this library refuses; it takes a NUL byte for the end of the
// text, where JSON allows none.
inline std::optional<bool> Accepts(std::string_view Text) {
    if (Text.substr(0, 3) == "\xEF\xBB\xBF" || Text.find('\0') != std::string_view::npos)
        return false;
    TAcceptor Acceptor;
    bool Accepted = nlohmann::json::sax_parse(Text.begin(), Text.end(), &Acceptor);
    if (!Accepted && Acceptor.NumberOverflow)
        return std::nullopt;
    return Accepted;
}

}  // namespace reference_json
