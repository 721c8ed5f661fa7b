#include "net/kbvIdStack.h"

#include <endian.h>

#include <algorithm>
#include <cstring>

#include "core/Format.h"
#include "net/kbvIdStackLinux.h"

// ---------------------------------------------------------------------------
// Usage counting

namespace {

std::unique_ptr<TIdStack> NewPlatformStack() { return std::make_unique<TIdStackLinux>(); }

// All constant-initialised, so usable from other units' static initialisers.
std::mutex GStackCriticalSection;
TIdStack::TIdStackClass GStackClass = &NewPlatformStack;
std::unique_ptr<TIdStack> GStackInstance;
int GStackUsage = 0;
// Published separately so that GStack() needs no lock.
std::atomic<TIdStack*> GStackPointer{nullptr};

}  // namespace

TIdStack* GStack() { return GStackPointer.load(std::memory_order_acquire); }

void TIdStack::IncUsage() {
    std::lock_guard Lock(GStackCriticalSection);
    if (GStackUsage == 0) {
        if (!GStackClass)
            throw EIdStackError("Stack Class is undefined.");
        GStackInstance = GStackClass();
        GStackPointer.store(GStackInstance.get(), std::memory_order_release);
    }
    ++GStackUsage;
}

void TIdStack::DecUsage() {
    std::lock_guard Lock(GStackCriticalSection);
    if (GStackUsage == 0)
        return;
    if (--GStackUsage == 0) {
        GStackPointer.store(nullptr, std::memory_order_release);
        GStackInstance.reset();
    }
}

TIdStack::TIdStackClass TIdStack::StackClass() {
    std::lock_guard Lock(GStackCriticalSection);
    return GStackClass;
}

void TIdStack::SetStackClass(TIdStackClass AClass) {
    std::lock_guard Lock(GStackCriticalSection);
    GStackClass = AClass;
}

// ---------------------------------------------------------------------------
// Names and addresses

std::string TIdStack::ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
    case Id_IPv4:
        if (TextIsSame(AHost, "LOCALHOST"))
            return "127.0.0.1";
        if (IsIP(AHost))
            return AHost;
        break;
    case Id_IPv6:
        if (TextIsSame(AHost, "LOCALHOST"))
            return "::1";
        if (IsValidIPv6(AHost))
            return MakeCanonicalIPv6Address(AHost);
        break;
    default:
        throw EIdIPVersionUnsupported();
    }
    return HostByName(AHost, AIPVersion);
}

namespace {

// Parses IsIP's format into the four address bytes.
bool TryStrToIPv4(const std::string& AIP, uint8_t (&VBytes)[4]) {
    size_t Pos = 0;
    for (int Part = 0; Part < 4; ++Part) {
        if (Part > 0 && (Pos >= AIP.size() || AIP[Pos++] != '.'))
            return false;
        size_t Start = Pos;
        unsigned Value = 0;
        while (Pos < AIP.size() && AIP[Pos] >= '0' && AIP[Pos] <= '9') {
            Value = Value * 10 + static_cast<unsigned>(AIP[Pos++] - '0');
            if (Value > 255)
                return false;
        }
        if (Pos == Start)
            return false;
        VBytes[Part] = static_cast<uint8_t>(Value);
    }
    return Pos == AIP.size();
}

}  // namespace

bool TIdStack::IsIP(const std::string& AIP) {
    uint8_t Bytes[4];
    return TryStrToIPv4(AIP, Bytes);
}

bool TIdStack::IsValidIPv6(const std::string& AIP) {
    TIdIPv6Address Address;
    return TryStrToIPv6(AIP, Address);
}

std::string TIdStack::MakeCanonicalIPv6Address(const std::string& AIP) { return ::MakeCanonicalIPv6Address(AIP); }

TStringList TIdStack::LocalAddresses() {
    TIdStackLocalAddressList List;
    GetLocalAddressList(List);
    TStringList Result;
    for (int I = 0; I < List.Count(); ++I)
        if (List.Addresses(I).IPVersion() == Id_IPv4)
            Result.Add(List.Addresses(I).IPAddress());
    return Result;
}

std::string TIdStack::LocalAddress() {
    TStringList Addresses = LocalAddresses();
    return Addresses.Count() > 0 ? Addresses.Strings(0) : std::string();
}

// ---------------------------------------------------------------------------
// Byte order

uint16_t TIdStack::HostToNetwork(uint16_t AValue) { return htobe16(AValue); }
uint32_t TIdStack::HostToNetwork(uint32_t AValue) { return htobe32(AValue); }
uint64_t TIdStack::HostToNetwork(uint64_t AValue) { return htobe64(AValue); }
uint16_t TIdStack::NetworkToHost(uint16_t AValue) { return be16toh(AValue); }
uint32_t TIdStack::NetworkToHost(uint32_t AValue) { return be32toh(AValue); }
uint64_t TIdStack::NetworkToHost(uint64_t AValue) { return be64toh(AValue); }

TIdIPv6Address TIdStack::HostToNetwork(const TIdIPv6Address& AValue) {
    TIdIPv6Address Result;
    std::transform(AValue.begin(), AValue.end(), Result.begin(), [](uint16_t W) { return htobe16(W); });
    return Result;
}

TIdIPv6Address TIdStack::NetworkToHost(const TIdIPv6Address& AValue) {
    TIdIPv6Address Result;
    std::transform(AValue.begin(), AValue.end(), Result.begin(), [](uint16_t W) { return be16toh(W); });
    return Result;
}

// ---------------------------------------------------------------------------
// Errors

int TIdStack::CheckForSocketError(int AResult) {
    if (AResult == Id_SOCKET_ERROR)
        RaiseLastSocketError();
    return AResult;
}

int TIdStack::CheckForSocketError(int AResult, std::initializer_list<int> AIgnore) {
    if (AResult != Id_SOCKET_ERROR)
        return AResult;
    int Code = WSGetLastError();
    if (std::find(AIgnore.begin(), AIgnore.end(), Code) == AIgnore.end())
        RaiseSocketError(Code);
    return Code;
}

void TIdStack::RaiseLastSocketError() { RaiseSocketError(WSGetLastError()); }

void TIdStack::RaiseSocketError(int ACode) {
    if (ACode == Id_WSAENOTSOCK)
        throw EIdNotASocket(ACode, WSTranslateSocketErrorMsg(ACode));
    throw EIdSocketError(ACode, WSTranslateSocketErrorMsg(ACode));
}

namespace {

struct TIdSocketErrorText {
    int Code;
    const char* Text;
};

constexpr TIdSocketErrorText SocketErrorTexts[] = {
    {Id_WSAEINTR, "Interrupted system call."},
    {Id_WSAEBADF, "Bad file number."},
    {Id_WSAEACCES, "Access denied."},
    {Id_WSAEFAULT, "Buffer fault."},
    {Id_WSAEINVAL, "Invalid argument."},
    {Id_WSAEMFILE, "Too many open files."},
    {Id_WSAEWOULDBLOCK, "Operation would block."},
    {Id_WSAEINPROGRESS, "Operation now in progress."},
    {Id_WSAEALREADY, "Operation already in progress."},
    {Id_WSAENOTSOCK, "Socket operation on non-socket."},
    {Id_WSAEDESTADDRREQ, "Destination address required."},
    {Id_WSAEMSGSIZE, "Message too long."},
    {Id_WSAEPROTOTYPE, "Protocol wrong type for socket."},
    {Id_WSAENOPROTOOPT, "Bad protocol option."},
    {Id_WSAEPROTONOSUPPORT, "Protocol not supported."},
    {Id_WSAESOCKTNOSUPPORT, "Socket type not supported."},
    {Id_WSAEOPNOTSUPP, "Operation not supported on socket."},
    {Id_WSAEPFNOSUPPORT, "Protocol family not supported."},
    {Id_WSAEAFNOSUPPORT, "Address family not supported by protocol family."},
    {Id_WSAEADDRINUSE, "Address already in use."},
    {Id_WSAEADDRNOTAVAIL, "Cannot assign requested address."},
    {Id_WSAENETDOWN, "Network is down."},
    {Id_WSAENETUNREACH, "Network is unreachable."},
    {Id_WSAENETRESET, "Net dropped connection or reset."},
    {Id_WSAECONNABORTED, "Software caused connection abort."},
    {Id_WSAECONNRESET, "Connection reset by peer."},
    {Id_WSAENOBUFS, "No buffer space available."},
    {Id_WSAEISCONN, "Socket is already connected."},
    {Id_WSAENOTCONN, "Socket is not connected."},
    {Id_WSAESHUTDOWN, "Cannot send or receive after socket is closed."},
    {Id_WSAETOOMANYREFS, "Too many references, cannot splice."},
    {Id_WSAETIMEDOUT, "Connection timed out."},
    {Id_WSAECONNREFUSED, "Connection refused."},
    {Id_WSAELOOP, "Too many levels of symbolic links."},
    {Id_WSAENAMETOOLONG, "File name too long."},
    {Id_WSAEHOSTDOWN, "Host is down."},
    {Id_WSAEHOSTUNREACH, "No route to host."},
    {Id_WSAENOTEMPTY, "Directory not empty"},
    {Id_WSAHOST_NOT_FOUND, "Host not found."},
};

}  // namespace

std::string TIdStack::WSTranslateSocketErrorMsg(int ACode) {
    const char* Text = "";
    for (const TIdSocketErrorText& Entry : SocketErrorTexts)
        if (Entry.Code == ACode)
            Text = Entry.Text;
    return Format("Socket Error # %d\r\n%s", ACode, Text);
}

// ---------------------------------------------------------------------------
// Berkeley-style addresses

socklen_t TIdStackBSDBase::MakeSockAddr(const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion,
                                        sockaddr_storage& VAddr) {
    std::memset(&VAddr, 0, sizeof VAddr);
    switch (AIPVersion) {
    case Id_IPv4: {
        auto& Addr = reinterpret_cast<sockaddr_in&>(VAddr);
        Addr.sin_family = AF_INET;
        Addr.sin_port = HostToNetwork(APort);
        uint8_t Bytes[4] = {0, 0, 0, 0};  // empty text: any address
        if (!AIP.empty() && !TryStrToIPv4(AIP, Bytes))
            RaiseSocketError(Id_WSAEINVAL);
        std::memcpy(&Addr.sin_addr, Bytes, 4);
        return sizeof Addr;
    }
    case Id_IPv6: {
        auto& Addr = reinterpret_cast<sockaddr_in6&>(VAddr);
        Addr.sin6_family = AF_INET6;
        Addr.sin6_port = HostToNetwork(APort);
        TIdIPv6Address Groups{};  // empty text: any address
        if (!AIP.empty() && !TryStrToIPv6(AIP, Groups))
            RaiseSocketError(Id_WSAEINVAL);
        Groups = HostToNetwork(Groups);
        std::memcpy(&Addr.sin6_addr, Groups.data(), sizeof Addr.sin6_addr);
        return sizeof Addr;
    }
    default:
        throw EIdIPVersionUnsupported();
    }
}

void TIdStackBSDBase::ReadSockAddr(const sockaddr* AAddr, std::string& VIP, uint16_t& VPort,
                                   TIdIPVersion& VIPVersion) {
    switch (AAddr->sa_family) {
    case AF_INET: {
        sockaddr_in Addr;
        std::memcpy(&Addr, AAddr, sizeof Addr);
        uint8_t B[4];
        std::memcpy(B, &Addr.sin_addr, 4);
        VIP = Format("%u.%u.%u.%u", B[0], B[1], B[2], B[3]);
        VPort = NetworkToHost(Addr.sin_port);
        VIPVersion = Id_IPv4;
        break;
    }
    case AF_INET6: {
        sockaddr_in6 Addr;
        std::memcpy(&Addr, AAddr, sizeof Addr);
        TIdIPv6Address Groups;
        std::memcpy(Groups.data(), &Addr.sin6_addr, sizeof Addr.sin6_addr);
        Groups = NetworkToHost(Groups);
        VIP.clear();
        for (size_t I = 0; I < Groups.size(); ++I)
            VIP += Format(I == 0 ? "%X" : ":%X", unsigned{Groups[I]});
        VPort = NetworkToHost(Addr.sin6_port);
        VIPVersion = Id_IPv6;
        break;
    }
    default:
        RaiseSocketError(Id_WSAEAFNOSUPPORT);
    }
}

// ---------------------------------------------------------------------------
// Local addresses

TIdStackLocalAddress::TIdStackLocalAddress(TIdIPVersion AIPVersion, std::string AIPAddress,
                                           std::string AInterfaceName, uint32_t AInterfaceIndex)
    : FIPVersion(AIPVersion),
      FIPAddress(std::move(AIPAddress)),
      FInterfaceName(std::move(AInterfaceName)),
      FInterfaceIndex(AInterfaceIndex) {}

TIdStackLocalAddressIPv4::TIdStackLocalAddressIPv4(std::string AIPAddress, std::string ASubNetMask,
                                                   std::string AInterfaceName, uint32_t AInterfaceIndex)
    : TIdStackLocalAddress(Id_IPv4, std::move(AIPAddress), std::move(AInterfaceName), AInterfaceIndex),
      FSubNetMask(std::move(ASubNetMask)) {}

TIdStackLocalAddressIPv6::TIdStackLocalAddressIPv6(std::string AIPAddress, std::string AInterfaceName,
                                                   uint32_t AInterfaceIndex)
    : TIdStackLocalAddress(Id_IPv6, std::move(AIPAddress), std::move(AInterfaceName), AInterfaceIndex) {}

const TIdStackLocalAddress& TIdStackLocalAddressList::Addresses(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        RaiseListIndexError(AIndex);
    return *FAddresses[static_cast<size_t>(AIndex)];
}

int TIdStackLocalAddressList::IndexOfIP(const std::string& AIP) const {
    for (int I = 0; I < Count(); ++I)
        if (Addresses(I).IPAddress() == AIP)
            return I;
    return -1;
}

int TIdStackLocalAddressList::IndexOfIP(const std::string& AIP, TIdIPVersion AIPVersion) const {
    for (int I = 0; I < Count(); ++I)
        if (Addresses(I).IPVersion() == AIPVersion && Addresses(I).IPAddress() == AIP)
            return I;
    return -1;
}

// ---------------------------------------------------------------------------
// Socket lists (the waits are platform code, in kbvIdStackLinux.cpp)

TIdSocketList::TIdSocketList(const TIdSocketList& ASource) : TObject(), FSockets(ASource.Snapshot()) {}

void TIdSocketList::Add(TIdStackSocketHandle AHandle) {
    std::lock_guard Lock(FLock);
    if (std::find(FSockets.begin(), FSockets.end(), AHandle) == FSockets.end())
        FSockets.push_back(AHandle);
}

void TIdSocketList::Remove(TIdStackSocketHandle AHandle) {
    std::lock_guard Lock(FLock);
    std::erase(FSockets, AHandle);
}

void TIdSocketList::Clear() {
    std::lock_guard Lock(FLock);
    FSockets.clear();
}

int TIdSocketList::Count() const {
    std::lock_guard Lock(FLock);
    return static_cast<int>(FSockets.size());
}

TIdStackSocketHandle TIdSocketList::Items(int AIndex) const {
    std::lock_guard Lock(FLock);
    if (AIndex < 0 || AIndex >= static_cast<int>(FSockets.size()))
        RaiseListIndexError(AIndex);
    return FSockets[static_cast<size_t>(AIndex)];
}

bool TIdSocketList::ContainsSocket(TIdStackSocketHandle AHandle) const {
    std::lock_guard Lock(FLock);
    return std::find(FSockets.begin(), FSockets.end(), AHandle) != FSockets.end();
}

std::unique_ptr<TIdSocketList> TIdSocketList::Clone() const { return std::make_unique<TIdSocketList>(*this); }

std::vector<TIdStackSocketHandle> TIdSocketList::Snapshot() const {
    std::lock_guard Lock(FLock);
    return FSockets;
}

void TIdSocketList::Assign(std::vector<TIdStackSocketHandle> AHandles) {
    std::lock_guard Lock(FLock);
    FSockets = std::move(AHandles);
}
