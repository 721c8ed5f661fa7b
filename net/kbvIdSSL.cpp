#include "net/kbvIdSSL.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "core/Ticks.h"
#include "net/kbvIdStackLinux.h"

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

int MillisecondsUntil(uint64_t ADeadline) {
    const uint64_t Now = GetTickCount64();
    return Now >= ADeadline ? 0 : static_cast<int>(ADeadline - Now);
}

bool IsAddress(const std::string& AHost) { return TIdStack::IsIP(AHost) || TIdStack::IsValidIPv6(AHost); }

bool WaitForSocket(int ASocket, short AEvents, int AMSec) {
    const uint64_t Deadline = GetTickCount64() + static_cast<uint64_t>(std::max(AMSec, 0));
    for (;;) {
        const int Wait = AMSec >= 0 ? MillisecondsUntil(Deadline) : -1;
        pollfd Poll{ASocket, AEvents, 0};
        const int Ready = ::poll(&Poll, 1, Wait);
        if (Ready > 0)
            return true;
        if (Ready == 0)
            return false;
        if (errno != EINTR)
            TIdStack::RaiseSocketError(TranslateErrno(errno));
    }
}

std::string HostToCheck(const std::string& AURIToCheck, const std::string& AHost) {
    if (!AURIToCheck.empty()) {
        std::string Host = HostOfURI(AURIToCheck);
        if (!Host.empty())
            return Host;
    }
    return AHost;
}

void TIdSSLIOHandlerSocketBase::ConnectInPlainText() {
    const bool PassThroughWas = FPassThrough;
    FPassThrough = true;
    try {
        TIdIOHandlerStack::ConnectToPeer();
    } catch (...) {
        FPassThrough = PassThroughWas;
        throw;
    }
    FPassThrough = PassThroughWas;
}
