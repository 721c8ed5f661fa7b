// The process-wide socket stack: every socket operation of the library goes
// through it, and every socket failure leaves it as EIdSocketError carrying
// the library's error code (the classic socket codes, 10004..11004) and text.
//
// TIdStack holds what does not depend on the platform (usage counting, error
// texts, the resolution order, address texts, byte order); TIdStackBSDBase
// adds what all Berkeley-style interfaces share; the platform class
// (TIdStackLinux, kbvIdStackLinux.h) makes the system calls.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Persistent.h"
#include "core/StringList.h"
#include "net/kbvIdException.h"
#include "net/kbvIdGlobal.h"

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;

enum TIdIPVersion : uint8_t { Id_IPv4 = 0, Id_IPv6 = 1 };

// Socket types, levels and options, with the system's values.
constexpr int Id_SOCK_STREAM = SOCK_STREAM;
constexpr int Id_SOCK_DGRAM = SOCK_DGRAM;
constexpr int Id_IPPROTO_IP = IPPROTO_IP;
constexpr int Id_IPPROTO_TCP = IPPROTO_TCP;
constexpr int Id_IPPROTO_UDP = IPPROTO_UDP;
constexpr int Id_SOL_SOCKET = SOL_SOCKET;
constexpr int Id_SO_REUSEADDR = SO_REUSEADDR;
constexpr int Id_SO_KEEPALIVE = SO_KEEPALIVE;
constexpr int Id_SO_LINGER = SO_LINGER;
constexpr int Id_SO_RCVBUF = SO_RCVBUF;
constexpr int Id_SO_SNDBUF = SO_SNDBUF;
constexpr int Id_SO_TYPE = SO_TYPE;
constexpr int Id_SO_ERROR = SO_ERROR;
constexpr int Id_TCP_NODELAY = TCP_NODELAY;

// The library's socket error codes; system errors are translated to these.
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEBADF = 10009;
constexpr int Id_WSAEACCES = 10013;
constexpr int Id_WSAEFAULT = 10014;
constexpr int Id_WSAEINVAL = 10022;
constexpr int Id_WSAEMFILE = 10024;
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAEINPROGRESS = 10036;
constexpr int Id_WSAEALREADY = 10037;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEDESTADDRREQ = 10039;
constexpr int Id_WSAEMSGSIZE = 10040;
constexpr int Id_WSAEPROTOTYPE = 10041;
constexpr int Id_WSAENOPROTOOPT = 10042;
constexpr int Id_WSAEPROTONOSUPPORT = 10043;
constexpr int Id_WSAESOCKTNOSUPPORT = 10044;
constexpr int Id_WSAEOPNOTSUPP = 10045;
constexpr int Id_WSAEPFNOSUPPORT = 10046;
constexpr int Id_WSAEAFNOSUPPORT = 10047;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAEADDRNOTAVAIL = 10049;
constexpr int Id_WSAENETDOWN = 10050;
constexpr int Id_WSAENETUNREACH = 10051;
constexpr int Id_WSAENETRESET = 10052;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAENOBUFS = 10055;
constexpr int Id_WSAEISCONN = 10056;
constexpr int Id_WSAENOTCONN = 10057;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETOOMANYREFS = 10059;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAELOOP = 10062;
constexpr int Id_WSAENAMETOOLONG = 10063;
constexpr int Id_WSAEHOSTDOWN = 10064;
constexpr int Id_WSAEHOSTUNREACH = 10065;
constexpr int Id_WSAENOTEMPTY = 10066;
constexpr int Id_WSATYPE_NOT_FOUND = 10109;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;
constexpr int Id_WSATRY_AGAIN = 11002;
constexpr int Id_WSANO_RECOVERY = 11003;
constexpr int Id_WSANO_DATA = 11004;

// A failed socket call; LastError is the library's code, the message
// "Socket Error # <code>\r\n<text>".
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int AErr, std::string AMessage) : EIdException(std::move(AMessage)), FLastError(AErr) {}
    int LastError() const { return FLastError; }

private:
    int FLastError;
};

// Code 10038: the handle is not a socket (any more).
class EIdNotASocket : public EIdSocketError {
public:
    using EIdSocketError::EIdSocketError;
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdIPVersionUnsupported : public EIdStackError {
public:
    EIdIPVersionUnsupported() : EIdStackError("The requested IPVersion / Address family is not supported.") {}
};

// ---------------------------------------------------------------------------
// Local addresses

class TIdStackLocalAddress : public TObject {
public:
    TIdIPVersion IPVersion() const { return FIPVersion; }
    const std::string& IPAddress() const { return FIPAddress; }
    const std::string& InterfaceName() const { return FInterfaceName; }
    uint32_t InterfaceIndex() const { return FInterfaceIndex; }

protected:
    TIdStackLocalAddress(TIdIPVersion AIPVersion, std::string AIPAddress, std::string AInterfaceName,
                         uint32_t AInterfaceIndex);

private:
    TIdIPVersion FIPVersion;
    std::string FIPAddress;
    std::string FInterfaceName;
    uint32_t FInterfaceIndex;
};

class TIdStackLocalAddressIPv4 : public TIdStackLocalAddress {
public:
    TIdStackLocalAddressIPv4(std::string AIPAddress, std::string ASubNetMask, std::string AInterfaceName = "",
                             uint32_t AInterfaceIndex = 0);
    const std::string& SubNetMask() const { return FSubNetMask; }

private:
    std::string FSubNetMask;
};

class TIdStackLocalAddressIPv6 : public TIdStackLocalAddress {
public:
    explicit TIdStackLocalAddressIPv6(std::string AIPAddress, std::string AInterfaceName = "",
                                      uint32_t AInterfaceIndex = 0);
};

class TIdStackLocalAddressList : public TObject {
public:
    int Count() const { return static_cast<int>(FAddresses.size()); }
    // Raises EListError outside 0..Count()-1.
    const TIdStackLocalAddress& Addresses(int AIndex) const;
    void Add(std::unique_ptr<TIdStackLocalAddress> AAddress) { FAddresses.push_back(std::move(AAddress)); }
    void Clear() { FAddresses.clear(); }
    // -1 when absent.
    int IndexOfIP(const std::string& AIP) const;
    int IndexOfIP(const std::string& AIP, TIdIPVersion AIPVersion) const;

private:
    std::vector<std::unique_ptr<TIdStackLocalAddress>> FAddresses;
};

// ---------------------------------------------------------------------------
// Socket lists and readiness waits. Time-outs are in ms; -2 (any negative
// value) waits forever. A handle that is no socket raises EIdNotASocket.

class TIdSocketList : public TObject {
public:
    TIdSocketList() = default;
    TIdSocketList(const TIdSocketList& ASource);
    TIdSocketList& operator=(const TIdSocketList&) = delete;

    void Add(TIdStackSocketHandle AHandle);  // a handle already present is not added again
    void Remove(TIdStackSocketHandle AHandle);
    void Clear();
    int Count() const;
    TIdStackSocketHandle Items(int AIndex) const;  // raises EListError outside the list
    bool ContainsSocket(TIdStackSocketHandle AHandle) const;
    std::unique_ptr<TIdSocketList> Clone() const;
    // Holds the list still across several calls (the calls lock on their own too).
    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

    // True when a socket of the list became readable within the time.
    bool SelectRead(int ATimeoutMS = -2);
    // Like SelectRead; VSocketList (created when empty) receives the readable sockets.
    bool SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList, int ATimeoutMS = -2);
    // Waits until a socket of any list is ready (readable, writable, has
    // urgent data) and leaves only the ready sockets in each list given.
    static bool Select(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                       int ATimeoutMS = -2);

private:
    std::vector<TIdStackSocketHandle> Snapshot() const;
    void Assign(std::vector<TIdStackSocketHandle> AHandles);

    mutable std::recursive_mutex FLock;
    std::vector<TIdStackSocketHandle> FSockets;
};

// ---------------------------------------------------------------------------
// The stack

class TIdStack : public TObject {
public:
    // What the first IncUsage creates; TIdStackLinux unless changed.
    using TIdStackClass = std::unique_ptr<TIdStack> (*)();

    // The first user creates the global instance (GStack), the last frees it.
    static void IncUsage();
    static void DecUsage();
    static TIdStackClass StackClass();
    // Takes effect at the next creation; nullptr makes IncUsage raise
    // EIdStackError "Stack Class is undefined.".
    static void SetStackClass(TIdStackClass AClass);

    // Sockets. Every failure raises EIdSocketError.
    // AOverlapped has no meaning here: sockets are always plain blocking ones.
    virtual TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion = Id_IPv4,
                                                 bool AOverlapped = false) = 0;
    // An empty AIP binds to any address.
    virtual void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                      TIdIPVersion AIPVersion) = 0;
    virtual void Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                         TIdIPVersion AIPVersion) = 0;
    // Connects within ATimeoutMS (negative: no limit); returns false when the
    // time ran out, leaving the socket (blocking again) for the caller to close.
    virtual bool Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                         TIdIPVersion AIPVersion, int ATimeoutMS) = 0;
    // Closes the socket: lingers for the time given to it with SetLingerState,
    // or, without one, shuts down sending first. Never raises.
    virtual void Disconnect(TIdStackSocketHandle ASocket) = 0;
    // Receives up to VBuffer.size() bytes; 0 when the peer closed.
    virtual int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) = 0;
    // Sends up to ASize bytes (all when negative, clamped to what follows
    // AOffset); returns the count sent. A closed peer raises, never signals.
    virtual int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int AOffset = 0, int ASize = -1) = 0;
    virtual void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                               TIdIPVersion& VIPVersion) = 0;
    virtual void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                             TIdIPVersion& VIPVersion) = 0;
    virtual int GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName) = 0;
    virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) = 0;
    // ATimeMS: idle time before the first probe; AInterval: ms between probes.
    virtual void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS, int AInterval) = 0;
    // Seconds that Disconnect lingers for this one socket; -1: shut down without lingering.
    virtual void SetLingerState(TIdStackSocketHandle ASocket, int AValue) = 0;

    // Names and addresses
    // "localhost" and address texts are answered without a lookup. An IP
    // version other than Id_IPv4/Id_IPv6 raises EIdIPVersionUnsupported; a
    // name that does not resolve raises EIdSocketError 11001.
    std::string ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion = Id_IPv4);
    // Exactly four "."-separated decimal numbers, each 0..255.
    static bool IsIP(const std::string& AIP);
    static bool IsValidIPv6(const std::string& AIP);
    // "" for an invalid address.
    static std::string MakeCanonicalIPv6Address(const std::string& AIP);
    virtual bool SupportsIPv4() = 0;
    virtual bool SupportsIPv6() = 0;
    // Replaces AList's content with the addresses of the interfaces that are
    // up, loopback interfaces excepted.
    virtual void GetLocalAddressList(TIdStackLocalAddressList& AList) = 0;
    // The IPv4 entries of GetLocalAddressList, and the first of them ("" when none).
    TStringList LocalAddresses();
    std::string LocalAddress();

    // Byte order
    static uint16_t HostToNetwork(uint16_t AValue);
    static uint32_t HostToNetwork(uint32_t AValue);
    static uint64_t HostToNetwork(uint64_t AValue);
    static TIdIPv6Address HostToNetwork(const TIdIPv6Address& AValue);
    static uint16_t NetworkToHost(uint16_t AValue);
    static uint32_t NetworkToHost(uint32_t AValue);
    static uint64_t NetworkToHost(uint64_t AValue);
    static TIdIPv6Address NetworkToHost(const TIdIPv6Address& AValue);

    // Errors
    // The library code for the last failed call of the calling thread.
    virtual int WSGetLastError() = 0;
    // Id_SOCKET_ERROR raises the last error; anything else is returned.
    int CheckForSocketError(int AResult);
    // Like the above, except that a last error in AIgnore is returned instead of raised.
    int CheckForSocketError(int AResult, std::initializer_list<int> AIgnore);
    [[noreturn]] void RaiseLastSocketError();
    // 10038 raises EIdNotASocket, every other code EIdSocketError.
    [[noreturn]] static void RaiseSocketError(int ACode);
    // "Socket Error # <code>\r\n<text>"; the text is empty for unknown codes.
    static std::string WSTranslateSocketErrorMsg(int ACode);

protected:
    TIdStack() = default;
    // The system resolver: the first address of the family, as text.
    virtual std::string HostByName(const std::string& AHost, TIdIPVersion AIPVersion) = 0;
};

// Berkeley-style socket addresses.
class TIdStackBSDBase : public TIdStack {
protected:
    // Builds the address for AIP (empty: any address) and APort; returns its
    // length. A text that is no address of the version raises 10022.
    static socklen_t MakeSockAddr(const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion,
                                  sockaddr_storage& VAddr);
    // IPv4 as four decimal numbers joined by "."; IPv6 as eight upper-case
    // hex groups without leading zeros joined by ":", never shortened.
    // Another family raises 10047.
    static void ReadSockAddr(const sockaddr* AAddr, std::string& VIP, uint16_t& VPort, TIdIPVersion& VIPVersion);
};

// The global instance while at least one usage exists, else nullptr.
TIdStack* GStack();
