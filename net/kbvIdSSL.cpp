#include "net/kbvIdSSL.h"

std::string HostOfURI(const std::string& AURI) {
    std::string_view Rest(AURI);
    if (const auto Scheme = Rest.find("://"); Scheme != std::string_view::npos)
        Rest.remove_prefix(Scheme + 3);
    Rest = Rest.substr(0, Rest.find_first_of("/?#"));
    if (const auto At = Rest.rfind('@'); At != std::string_view::npos)
        Rest.remove_prefix(At + 1);
    if (Rest.starts_with('[')) {
        const auto Close = Rest.find(']');
        return std::string(Rest.substr(1, Close == std::string_view::npos ? std::string_view::npos : Close - 1));
    }
    return std::string(Rest.substr(0, Rest.find(':')));
}
