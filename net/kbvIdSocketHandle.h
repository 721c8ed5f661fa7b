// One socket with its local and peer addresses, options and a read wait,
// all through the global socket stack.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/Persistent.h"
#include "net/kbvIdException.h"
#include "net/kbvIdStack.h"

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdInvalidPortRange : public EIdSocketHandleError {
public:
    EIdInvalidPortRange(int AMin, int AMax);
};

class EIdCanNotBindPortInRange : public EIdSocketHandleError {
public:
    EIdCanNotBindPortInRange(int AMin, int AMax);
};

class EIdCannotSetIPVersionWhenConnected : public EIdSocketHandleError {
public:
    EIdCannotSetIPVersionWhenConnected() : EIdSocketHandleError("Cannot change IPVersion when connected") {}
};

enum TIdReuseSocket { rsOSDependent = 0, rsTrue = 1, rsFalse = 2 };

class TIdSocketHandle : public TObject {
public:
    TIdSocketHandle();
    ~TIdSocketHandle() override;  // closes the socket
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Creates a socket of the handle's IP version, closing any existing one
    // first, and reads back its type and Nagle setting.
    void AllocateSocket(int ASocketType = 1 /* stream */, int AProtocol = 0);
    // Binds to IP and Port, or to the first free port of the client port
    // range (from the top) when Port is 0 and both range bounds are set.
    void Bind();
    // Connects to the peer set with SetPeer; ATimeoutMS -2 waits as long as
    // the system does. Returns false when the time ran out.
    virtual bool Connect(int ATimeoutMS = -2);
    virtual void CloseSocket();
    // Waits up to AMSec ms (-1 and -2: forever) until the socket is readable;
    // raises EIdConnClosedGracefully without a socket.
    bool Readable(int AMSec = -1);
    // Forgets the socket handle and the addresses (the local ones when AResetLocal).
    void Reset(bool AResetLocal = true);
    void SetPeer(const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion);
    void UpdateBindingLocal();
    void UpdateBindingPeer();
    int GetSockOpt(int ALevel, int AOptName);
    void SetSockOpt(int ALevel, int AOptName, int AOptVal);

    TIdStackSocketHandle Handle() const { return FHandle; }
    bool HandleAllocated() const { return FHandleAllocated; }
    const std::string& IP() const { return FIP; }
    void SetIP(const std::string& AValue) { FIP = AValue; }
    uint16_t Port() const { return FPort; }
    void SetPort(uint16_t AValue) { FPort = AValue; }
    const std::string& PeerIP() const { return FPeerIP; }
    uint16_t PeerPort() const { return FPeerPort; }
    uint16_t ClientPortMin() const { return FClientPortMin; }
    void SetClientPortMin(uint16_t AValue) { FClientPortMin = AValue; }
    uint16_t ClientPortMax() const { return FClientPortMax; }
    void SetClientPortMax(uint16_t AValue) { FClientPortMax = AValue; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    // Raises EIdCannotSetIPVersionWhenConnected while a socket exists.
    void SetIPVersion(TIdIPVersion AValue);
    int SocketType() const { return FSocketType; }
    bool Overlapped() const { return FOverLapped; }
    void SetOverlapped(bool AValue) { FOverLapped = AValue; }
    bool UseNagle() const { return FUseNagle; }
    // Sets TCP_NODELAY on an allocated stream socket when the value changes.
    void SetUseNagle(bool AValue);
    TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
    void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
    int LingerState() const { return FLingerState; }
    // Seconds that closing this handle's socket lingers (-1: not at all); set
    // on the socket now and on every socket the handle allocates later.
    void SetLingerState(int AValue);
    const std::string& Name() const { return FName; }
    void SetName(const std::string& AValue) { FName = AValue; }

protected:
    // The stack-level close of the socket.
    virtual void DisconnectSocket();

private:
    bool TryBind(uint16_t APort);

    int FLingerState = -1;
    std::string FName;
    uint16_t FClientPortMin = 0;
    uint16_t FClientPortMax = 0;
    TIdStackSocketHandle FHandle = Id_INVALID_SOCKET;
    bool FHandleAllocated = false;
    std::string FIP;
    std::string FPeerIP;
    uint16_t FPort = 0;
    uint16_t FPeerPort = 0;
    TIdSocketList FReadSocketList;
    int FSocketType = 0;
    bool FOverLapped = false;
    TIdIPVersion FIPVersion = Id_IPv4;
    std::mutex FConnectionHandle;  // closing against the end of a connect
    bool FUseNagle = true;
    TIdReuseSocket FReuseSocket = rsOSDependent;
};
