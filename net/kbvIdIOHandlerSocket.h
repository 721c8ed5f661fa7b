// The IO handler over a TCP socket: binding, name resolution, connect with
// a time-out, and the transport operations on the socket. TIdIOHandlerStack
// is the default IO handler class.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/kbvIdCustomTransparentProxy.h"
#include "net/kbvIdIOHandler.h"
#include "net/kbvIdSocketHandle.h"
#include "net/kbvIdStack.h"

class EIdConnectTimeout : public EIdException {
public:
    EIdConnectTimeout() : EIdException("Connect timed out.") {}
};

// A connect that failed without telling why.
class EIdConnectException : public EIdException {
public:
    EIdConnectException() : EIdException("") {}
};

using TNotifyEvent = std::function<void(TObject* ASender)>;

class TIdIOHandlerSocket : public TIdIOHandler {
public:
    explicit TIdIOHandlerSocket(TComponent* AOwner = nullptr);
    ~TIdIOHandlerSocket() override;

    // Prepares the socket handle and connects when Host and Port are set.
    void Open() override;
    void Close() override;
    void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) override;
    void AfterAccept() override;
    // 0 for a missing file.
    int64_t WriteFile(const std::string& AFile, bool AEnableTransferFile = false) override;

    // Host, and ":" with the port when it is set and not the default port.
    std::string Destination() const override;
    // "host:port" sets both; a text without ":" changes nothing.
    void SetDestination(const std::string& AValue) override;

    TIdSocketHandle* Binding() const { return FBinding.get(); }
    bool BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }

    const std::string& BoundIP() const { return FBoundIP; }
    void SetBoundIP(const std::string& AValue) { FBoundIP = AValue; }
    uint16_t BoundPort() const { return FBoundPort; }
    void SetBoundPort(uint16_t AValue) { FBoundPort = AValue; }
    uint16_t BoundPortMin() const { return FBoundPortMin; }
    void SetBoundPortMin(uint16_t AValue) { FBoundPortMin = AValue; }
    uint16_t BoundPortMax() const { return FBoundPortMax; }
    void SetBoundPortMax(uint16_t AValue) { FBoundPortMax = AValue; }
    uint16_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(uint16_t AValue) { FDefaultPort = AValue; }
    bool UseNagle() const { return FUseNagle; }
    void SetUseNagle(bool AValue) { FUseNagle = AValue; }
    TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
    void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
    int LingerState() const { return FLingerState; }
    void SetLingerState(int AValue) { FLingerState = AValue; }
    // Creates an owned SOCKS proxy object (disabled) on first use.
    TIdCustomTransparentProxy* TransparentProxy();
    // A proxy with an owner is referenced (freeing it clears the reference);
    // one without is copied into an owned proxy of its class; null drops it.
    virtual void SetTransparentProxy(TIdCustomTransparentProxy* AValue);

    const TNotifyEvent& OnBeforeBind() const { return FOnBeforeBind; }
    void SetOnBeforeBind(TNotifyEvent AValue) { FOnBeforeBind = std::move(AValue); }
    const TNotifyEvent& OnAfterBind() const { return FOnAfterBind; }
    void SetOnAfterBind(TNotifyEvent AValue) { FOnAfterBind = std::move(AValue); }
    const TNotifyEvent& OnSocketAllocated() const { return FOnSocketAllocated; }
    void SetOnSocketAllocated(TNotifyEvent AValue) { FOnSocketAllocated = std::move(AValue); }

protected:
    TIdCustomTransparentProxy* EnabledProxy() const;
    // The family of the socket: the first proxy's when there is one.
    TIdIPVersion FirstHopIPVersion() const;
    // Allocates and binds the socket; TIdIOHandlerStack adds the connect.
    virtual void ConnectToPeer();
    virtual void NotifyBeforeBind();
    virtual void NotifyAfterBind();
    virtual void NotifySocketAllocated();
    bool SourceIsAvailable() override { return BindingAllocated(); }
    void Notification(TComponent* AComponent, TOperation Operation) override;

    std::unique_ptr<TIdSocketHandle> FBinding;
    std::string FBoundIP;
    uint16_t FBoundPort = 0;
    uint16_t FBoundPortMax = 0;
    uint16_t FBoundPortMin = 0;
    uint16_t FDefaultPort = 0;
    TNotifyEvent FOnBeforeBind;
    TNotifyEvent FOnAfterBind;
    TNotifyEvent FOnSocketAllocated;
    TIdCustomTransparentProxy* FTransparentProxy = nullptr;
    bool FImplicitTransparentProxy = false;  // FTransparentProxy is owned
    bool FUseNagle = true;
    TIdReuseSocket FReuseSocket = rsOSDependent;
    TIdIPVersion FIPVersion = Id_IPv4;
    int FLingerState = -1;
};

// The socket handler on the global socket stack: resolves, connects (with
// ConnectTimeout) and moves the bytes.
class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
    using TIdIOHandlerSocket::TIdIOHandlerSocket;

    // Polls first, so a close or pending bytes are noticed; a reset or abort
    // counts as not connected. Buffered bytes keep it connected.
    bool Connected() override;
    bool Readable(int AMSec = IdTimeoutDefault) override;

protected:
    void ConnectToPeer() override;
    int ReadDataFromSource(TIdBytes& ABuffer) override;
    int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) override;
    int GetSocketErrorCode(int AResult) override;
    [[noreturn]] void RaiseSocketError(int AErrorCode) override;
};
