#include "net/kbvIdSSL.h"

namespace {

// "host:port" of a URI, without user name and password; AScheme gets what
// comes before "://".
std::string_view AuthorityOf(std::string_view AURI, std::string_view& AScheme) {
    std::string_view Rest = AURI;
    AScheme = {};
    if (const auto Scheme = Rest.find("://"); Scheme != std::string_view::npos) {
        AScheme = Rest.substr(0, Scheme);
        Rest.remove_prefix(Scheme + 3);
    }
    Rest = Rest.substr(0, Rest.find_first_of("/?#"));
    if (const auto At = Rest.rfind('@'); At != std::string_view::npos)
        Rest.remove_prefix(At + 1);
    return Rest;
}

}  // namespace

std::string OriginOfURI(const std::string& AURI) {
    std::string_view Scheme;
    const std::string_view Authority = AuthorityOf(AURI, Scheme);
    return std::string(Scheme) + "://" + std::string(Authority);
}

std::string HostOfURI(const std::string& AURI) {
    std::string_view Scheme;
    std::string_view Rest = AuthorityOf(AURI, Scheme);
    if (Rest.starts_with('[')) {
        const auto Close = Rest.find(']');
        return std::string(Rest.substr(1, Close == std::string_view::npos ? std::string_view::npos : Close - 1));
    }
    return std::string(Rest.substr(0, Rest.find(':')));
}
