// The TCP client: target, time-outs, binding options and the connect sequence.
#pragma once

#include <cstdint>
#include <string>

#include "net/kbvIdTCPConnection.h"

class EIdAlreadyConnected : public EIdException {
public:
    EIdAlreadyConnected() : EIdException("Already connected.") {}
};

class EIdHostRequired : public EIdException {
public:
    EIdHostRequired() : EIdException("A Host is required") {}
};

class EIdPortRequired : public EIdException {
public:
    EIdPortRequired() : EIdException("A Port is required") {}
};

class TIdTCPClientCustom : public TIdTCPConnection {
public:
    explicit TIdTCPClientCustom(TComponent* AOwner = nullptr);

    // Opens the IO handler (an implicit managed one when none is set) and
    // connects; on failure the handler is closed and a managed one freed.
    virtual void Connect();
    void Connect(const std::string& AHost);
    void Connect(const std::string& AHost, uint16_t APort);
    // Connects, reads until the peer closes, disconnects; returns what came.
    std::string ConnectAndGetAll();

    void SetIOHandler(TIdIOHandler* AValue) override;

    // Setters also reach the current IO handler (socket options: a socket handler).
    const std::string& Host() const { return FHost; }
    virtual void SetHost(const std::string& AValue);
    uint16_t Port() const { return FPort; }
    virtual void SetPort(uint16_t AValue);
    TIdIPVersion IPVersion() const { return FIPVersion; }
    // Raises EIdCannotSetIPVersionWhenConnected for a change while connected.
    virtual void SetIPVersion(TIdIPVersion AValue);
    int ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(int AValue);
    int ReadTimeout() const;
    void SetReadTimeout(int AValue);
    const std::string& BoundIP() const { return FBoundIP; }
    void SetBoundIP(const std::string& AValue);
    uint16_t BoundPort() const { return FBoundPort; }
    void SetBoundPort(uint16_t AValue);
    uint16_t BoundPortMin() const { return FBoundPortMin; }
    void SetBoundPortMin(uint16_t AValue);
    uint16_t BoundPortMax() const { return FBoundPortMax; }
    void SetBoundPortMax(uint16_t AValue);
    TIdReuseSocket ReuseSocket() const;
    void SetReuseSocket(TIdReuseSocket AValue);
    bool UseNagle() const;
    void SetUseNagle(bool AValue);
    // Seconds that closing this client's socket lingers (-1: not at all);
    // each connect gives it to the new socket, and no other socket.
    int LingerState() const { return FLingerState; }
    void SetLingerState(int AValue);
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& AValue) { FUsername = AValue; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& AValue) { FPassword = AValue; }
    // Given to the IO handler at connect time, before Host and Port.
    const std::string& Destination() const { return FDestination; }
    void SetDestination(const std::string& AValue) { FDestination = AValue; }

    void SetOnConnected(TNotifyEvent AValue) { FOnConnected = std::move(AValue); }
    void SetOnBeforeBind(TNotifyEvent AValue);
    void SetOnAfterBind(TNotifyEvent AValue);
    void SetOnSocketAllocated(TNotifyEvent AValue);

protected:
    virtual void NotifyConnected();
    // A new instance of the default IO handler class, owned by this client.
    virtual TIdIOHandler* CreateImplicitIOHandler();
    // Copies the target, the time-outs and the socket options to the handler.
    void CopySettingsToIOHandler();

    std::string FBoundIP;
    uint16_t FBoundPort = 0;
    uint16_t FBoundPortMax = 0;
    uint16_t FBoundPortMin = 0;
    int FConnectTimeout = 0;
    std::string FDestination;
    std::string FHost;
    TIdIPVersion FIPVersion = Id_IPv4;
    TNotifyEvent FOnConnected;
    std::string FPassword;
    uint16_t FPort = 0;
    int FReadTimeout = IdTimeoutDefault;
    std::string FUsername;
    TIdReuseSocket FReuseSocket = rsOSDependent;
    bool FUseNagle = true;
    TNotifyEvent FOnBeforeBind;
    TNotifyEvent FOnAfterBind;
    TNotifyEvent FOnSocketAllocated;
    int FLingerState = -1;
};

class TIdTCPClient : public TIdTCPClientCustom {
public:
    using TIdTCPClientCustom::TIdTCPClientCustom;
};
