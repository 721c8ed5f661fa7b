#include "net/kbvIdStackLinux.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/Ticks.h"

int TranslateErrno(int AErrno) {
    switch (AErrno) {
    case EINTR: return Id_WSAEINTR;
    // A handle that was closed is no socket any more, as with the classic
    // socket interface; callers tell that case by EIdNotASocket.
    case EBADF: return Id_WSAENOTSOCK;
    case EACCES:
    case EPERM: return Id_WSAEACCES;
    case EFAULT: return Id_WSAEFAULT;
    case EINVAL: return Id_WSAEINVAL;
    case EMFILE:
    case ENFILE: return Id_WSAEMFILE;
    case EAGAIN: return Id_WSAEWOULDBLOCK;
    case EINPROGRESS: return Id_WSAEINPROGRESS;
    case EALREADY: return Id_WSAEALREADY;
    case ENOTSOCK: return Id_WSAENOTSOCK;
    case EDESTADDRREQ: return Id_WSAEDESTADDRREQ;
    case EMSGSIZE: return Id_WSAEMSGSIZE;
    case EPROTOTYPE: return Id_WSAEPROTOTYPE;
    case ENOPROTOOPT: return Id_WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return Id_WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return Id_WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return Id_WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return Id_WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return Id_WSAEAFNOSUPPORT;
    case EADDRINUSE: return Id_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return Id_WSAEADDRNOTAVAIL;
    case ENETDOWN: return Id_WSAENETDOWN;
    case ENETUNREACH: return Id_WSAENETUNREACH;
    case ENETRESET: return Id_WSAENETRESET;
    case ECONNABORTED: return Id_WSAECONNABORTED;
    case ECONNRESET: return Id_WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return Id_WSAENOBUFS;
    case EISCONN: return Id_WSAEISCONN;
    case ENOTCONN: return Id_WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN: return Id_WSAESHUTDOWN;
    case ETOOMANYREFS: return Id_WSAETOOMANYREFS;
    case ETIMEDOUT: return Id_WSAETIMEDOUT;
    case ECONNREFUSED: return Id_WSAECONNREFUSED;
    case ELOOP: return Id_WSAELOOP;
    case ENAMETOOLONG: return Id_WSAENAMETOOLONG;
    case EHOSTDOWN: return Id_WSAEHOSTDOWN;
    case EHOSTUNREACH: return Id_WSAEHOSTUNREACH;
    case ENOTEMPTY: return Id_WSAENOTEMPTY;
    default: return AErrno;
    }
}

namespace {

[[noreturn]] void RaiseErrno(int AErrno) { TIdStack::RaiseSocketError(TranslateErrno(AErrno)); }

int TranslateResolverError(int AResult, int AErrno) {
    switch (AResult) {
    case EAI_AGAIN: return Id_WSATRY_AGAIN;
    case EAI_FAIL: return Id_WSANO_RECOVERY;
    case EAI_MEMORY: return Id_WSAENOBUFS;
    case EAI_FAMILY: return Id_WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return Id_WSAESOCKTNOSUPPORT;
    case EAI_SERVICE: return Id_WSATYPE_NOT_FOUND;
    case EAI_BADFLAGS: return Id_WSAEINVAL;
    case EAI_SYSTEM: return TranslateErrno(AErrno);
    // EAI_NONAME, EAI_NODATA, EAI_ADDRFAMILY, EAI_IDN_ENCODE: no address for that name.
    default: return Id_WSAHOST_NOT_FOUND;
    }
}

int FamilyOf(TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
    case Id_IPv4: return AF_INET;
    case Id_IPv6: return AF_INET6;
    default: throw EIdIPVersionUnsupported();
    }
}

// poll, resumed with the time left after a signal; negative ATimeoutMS waits
// forever. Returns the count of ready entries.
int PollWithin(pollfd* AFds, size_t ACount, int ATimeoutMS) {
    const uint64_t Start = GetTickCount64();
    for (;;) {
        int Wait = -1;
        if (ATimeoutMS >= 0) {
            uint64_t Elapsed = GetTickDiff64(Start, GetTickCount64());
            Wait = ATimeoutMS - static_cast<int>(std::min<uint64_t>(Elapsed, static_cast<uint64_t>(ATimeoutMS)));
        }
        int Count = ::poll(AFds, ACount, Wait);
        if (Count >= 0)
            return Count;
        if (errno != EINTR)
            RaiseErrno(errno);
    }
}

// Waits for a connect in progress: 0 when connected, -1 when the time ran
// out, else the errno of the failure.
int AwaitConnect(TIdStackSocketHandle ASocket, int ATimeoutMS) {
    pollfd Fd{ASocket, POLLOUT, 0};
    if (PollWithin(&Fd, 1, ATimeoutMS) == 0)
        return -1;
    int Error = 0;
    socklen_t Length = sizeof Error;
    if (::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0)
        return errno;
    return Error;
}

bool CanCreateSocket(int AFamily) {
    int Socket = ::socket(AFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Socket < 0)
        return false;
    ::close(Socket);
    return true;
}

int SecondsRoundedUp(int AMS) { return std::max(1, (AMS + 999) / 1000); }

}  // namespace

TIdStackSocketHandle TIdStackLinux::NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion,
                                                    bool /*AOverlapped*/) {
    return CheckForSocketError(::socket(FamilyOf(AIPVersion), ASocketType | SOCK_CLOEXEC, AProtocol));
}

void TIdStackLinux::Bind(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                         TIdIPVersion AIPVersion) {
    sockaddr_storage Addr;
    socklen_t Length = MakeSockAddr(AIP, APort, AIPVersion, Addr);
    CheckForSocketError(::bind(ASocket, reinterpret_cast<sockaddr*>(&Addr), Length));
}

void TIdStackLinux::Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                            TIdIPVersion AIPVersion) {
    sockaddr_storage Addr;
    socklen_t Length = MakeSockAddr(AIP, APort, AIPVersion, Addr);
    if (::connect(ASocket, reinterpret_cast<sockaddr*>(&Addr), Length) == 0)
        return;
    int Error = errno;
    // After a signal the connect goes on in the background; wait for its end.
    if (Error == EINTR)
        Error = AwaitConnect(ASocket, -2);
    if (Error != 0)
        RaiseErrno(Error);
}

bool TIdStackLinux::Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                            TIdIPVersion AIPVersion, int ATimeoutMS) {
    sockaddr_storage Addr;
    socklen_t Length = MakeSockAddr(AIP, APort, AIPVersion, Addr);
    const int Flags = CheckForSocketError(::fcntl(ASocket, F_GETFL));
    CheckForSocketError(::fcntl(ASocket, F_SETFL, Flags | O_NONBLOCK));
    int Error = ::connect(ASocket, reinterpret_cast<sockaddr*>(&Addr), Length) == 0 ? 0 : errno;
    if (Error == EINPROGRESS || Error == EINTR)
        Error = AwaitConnect(ASocket, ATimeoutMS);
    ::fcntl(ASocket, F_SETFL, Flags);
    if (Error == -1)
        return false;
    if (Error != 0)
        RaiseErrno(Error);
    return true;
}

void TIdStackLinux::Disconnect(TIdStackSocketHandle ASocket) {
    // Failures are ignored: a socket that never connected has nothing to
    // shut down, and the handle is released either way.
    linger Value{};
    socklen_t Length = sizeof Value;
    if (::getsockopt(ASocket, SOL_SOCKET, SO_LINGER, &Value, &Length) != 0 || Value.l_onoff == 0)
        ::shutdown(ASocket, SHUT_WR);
    ::close(ASocket);
}

void TIdStackLinux::SetLingerState(TIdStackSocketHandle ASocket, int AValue) {
    // The setting lives in the socket, so each socket closes its own way.
    linger Value{AValue >= 0 ? 1 : 0, AValue >= 0 ? AValue : 0};
    CheckForSocketError(::setsockopt(ASocket, SOL_SOCKET, SO_LINGER, &Value, sizeof Value));
}

int TIdStackLinux::Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) {
    ssize_t Count;
    do
        Count = ::recv(ASocket, VBuffer.data(), VBuffer.size(), 0);
    while (Count < 0 && errno == EINTR);
    return CheckForSocketError(static_cast<int>(Count));
}

int TIdStackLinux::Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int AOffset, int ASize) {
    if (AOffset < 0)
        RaiseSocketError(Id_WSAEFAULT);
    const int Length = IdLength(ABuffer, ASize, AOffset);
    if (Length == 0)
        return 0;
    // MSG_NOSIGNAL: a closed peer gives EPIPE instead of killing the process.
    ssize_t Count;
    do
        Count = ::send(ASocket, ABuffer.data() + AOffset, static_cast<size_t>(Length), MSG_NOSIGNAL);
    while (Count < 0 && errno == EINTR);
    return CheckForSocketError(static_cast<int>(Count));
}

void TIdStackLinux::GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                                  TIdIPVersion& VIPVersion) {
    sockaddr_storage Addr{};
    socklen_t Length = sizeof Addr;
    CheckForSocketError(::getsockname(ASocket, reinterpret_cast<sockaddr*>(&Addr), &Length));
    ReadSockAddr(reinterpret_cast<sockaddr*>(&Addr), VIP, VPort, VIPVersion);
}

void TIdStackLinux::GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                                TIdIPVersion& VIPVersion) {
    sockaddr_storage Addr{};
    socklen_t Length = sizeof Addr;
    CheckForSocketError(::getpeername(ASocket, reinterpret_cast<sockaddr*>(&Addr), &Length));
    ReadSockAddr(reinterpret_cast<sockaddr*>(&Addr), VIP, VPort, VIPVersion);
}

int TIdStackLinux::GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName) {
    int Value = 0;
    socklen_t Length = sizeof Value;
    CheckForSocketError(::getsockopt(ASocket, ALevel, AOptName, &Value, &Length));
    return Value;
}

void TIdStackLinux::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) {
    CheckForSocketError(::setsockopt(ASocket, ALevel, AOptName, &AOptVal, sizeof AOptVal));
}

void TIdStackLinux::SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS, int AInterval) {
    SetSocketOption(ASocket, SOL_SOCKET, SO_KEEPALIVE, AEnabled ? 1 : 0);
    if (AEnabled) {
        SetSocketOption(ASocket, IPPROTO_TCP, TCP_KEEPIDLE, SecondsRoundedUp(ATimeMS));
        SetSocketOption(ASocket, IPPROTO_TCP, TCP_KEEPINTVL, SecondsRoundedUp(AInterval));
    }
}

bool TIdStackLinux::SupportsIPv4() { return CanCreateSocket(AF_INET); }

bool TIdStackLinux::SupportsIPv6() { return CanCreateSocket(AF_INET6); }

void TIdStackLinux::GetLocalAddressList(TIdStackLocalAddressList& AList) {
    ifaddrs* First = nullptr;
    CheckForSocketError(::getifaddrs(&First));
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> Guard(First, &::freeifaddrs);
    AList.Clear();
    for (const ifaddrs* If = First; If; If = If->ifa_next) {
        if (!If->ifa_addr || !(If->ifa_flags & IFF_UP) || (If->ifa_flags & IFF_LOOPBACK))
            continue;
        const int Family = If->ifa_addr->sa_family;
        if (Family != AF_INET && Family != AF_INET6)
            continue;
        std::string IP, Mask;
        uint16_t Port;
        TIdIPVersion Version;
        ReadSockAddr(If->ifa_addr, IP, Port, Version);
        const uint32_t Index = ::if_nametoindex(If->ifa_name);
        if (Family == AF_INET6) {
            AList.Add(std::make_unique<TIdStackLocalAddressIPv6>(IP, If->ifa_name, Index));
            continue;
        }
        if (If->ifa_netmask && If->ifa_netmask->sa_family == AF_INET)
            ReadSockAddr(If->ifa_netmask, Mask, Port, Version);
        AList.Add(std::make_unique<TIdStackLocalAddressIPv4>(IP, Mask, If->ifa_name, Index));
    }
}

int TIdStackLinux::WSGetLastError() { return TranslateErrno(errno); }

std::string TIdStackLinux::HostByName(const std::string& AHost, TIdIPVersion AIPVersion) {
    addrinfo Hints{};
    Hints.ai_family = FamilyOf(AIPVersion);
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_IDN;  // an internationalised name is looked up in its ASCII form
    addrinfo* First = nullptr;
    const int Result = ::getaddrinfo(AHost.c_str(), nullptr, &Hints, &First);
    if (Result != 0)
        RaiseSocketError(TranslateResolverError(Result, errno));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> Guard(First, &::freeaddrinfo);
    std::string IP;
    uint16_t Port;
    TIdIPVersion Version;
    ReadSockAddr(First->ai_addr, IP, Port, Version);
    return IP;
}

// ---------------------------------------------------------------------------
// Readiness waits of TIdSocketList

namespace {

std::vector<pollfd> PollSet(const std::vector<TIdStackSocketHandle>& AHandles, short AEvents) {
    std::vector<pollfd> Result;
    for (TIdStackSocketHandle Handle : AHandles)
        Result.push_back(pollfd{Handle, AEvents, 0});
    return Result;
}

// A handle that is no open descriptor raises EIdNotASocket, as a wait on it
// would with the classic socket interface.
bool PollSockets(std::vector<pollfd>& AFds, int ATimeoutMS) {
    const int Count = PollWithin(AFds.data(), AFds.size(), ATimeoutMS);
    for (const pollfd& Fd : AFds)
        if (Fd.revents & POLLNVAL)
            TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
    return Count > 0;
}

// The handles of AFds[AFirst, AFirst + ACount) that reported one of AMask.
std::vector<TIdStackSocketHandle> ReadyHandles(const std::vector<pollfd>& AFds, size_t AFirst, size_t ACount,
                                               short AMask) {
    std::vector<TIdStackSocketHandle> Result;
    for (size_t I = AFirst; I < AFirst + ACount; ++I)
        if (AFds[I].revents & AMask)
            Result.push_back(AFds[I].fd);
    return Result;
}

// Closed and failed connections count as ready: the next call reports them.
constexpr short ReadReady = POLLIN | POLLHUP | POLLERR;
constexpr short WriteReady = POLLOUT | POLLHUP | POLLERR;

}  // namespace

bool TIdSocketList::SelectRead(int ATimeoutMS) {
    std::vector<pollfd> Fds = PollSet(Snapshot(), POLLIN);
    return PollSockets(Fds, ATimeoutMS);
}

bool TIdSocketList::SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList, int ATimeoutMS) {
    std::vector<pollfd> Fds = PollSet(Snapshot(), POLLIN);
    const bool Result = PollSockets(Fds, ATimeoutMS);
    if (!VSocketList)
        VSocketList = std::make_unique<TIdSocketList>();
    VSocketList->Assign(ReadyHandles(Fds, 0, Fds.size(), ReadReady));
    return Result;
}

bool TIdSocketList::Select(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                           int ATimeoutMS) {
    struct TPart {
        TIdSocketList* List;
        short Events, Ready;
        size_t First = 0, Count = 0;
    };
    TPart Parts[] = {{AReadList, POLLIN, ReadReady}, {AWriteList, POLLOUT, WriteReady}, {AExceptList, POLLPRI, POLLPRI}};
    std::vector<pollfd> Fds;
    for (TPart& Part : Parts) {
        if (!Part.List)
            continue;
        std::vector<pollfd> Set = PollSet(Part.List->Snapshot(), Part.Events);
        Part.First = Fds.size();
        Part.Count = Set.size();
        Fds.insert(Fds.end(), Set.begin(), Set.end());
    }
    const bool Result = PollSockets(Fds, ATimeoutMS);
    for (TPart& Part : Parts)
        if (Part.List)
            Part.List->Assign(ReadyHandles(Fds, Part.First, Part.Count, Part.Ready));
    return Result;
}
