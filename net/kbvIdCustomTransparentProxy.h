// A proxy that a socket IO handler goes through: the socket connects to the
// proxy, which then opens, over that connection and in plain text, the way
// to the real target (or to the next proxy of a chain). TLS, if any, starts
// afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/kbvIdComponent.h"
#include "net/kbvIdException.h"
#include "net/kbvIdGlobal.h"
#include "net/kbvIdStack.h"

class TIdIOHandler;

class EIdTransparentProxyCantBind : public EIdException {
public:
    EIdTransparentProxyCantBind() : EIdException("Transparent proxy cannot bind.") {}
};

class EIdTransparentProxyUDPNotSupported : public EIdException {
public:
    EIdTransparentProxyUDPNotSupported() : EIdException("UDP Not supported by this proxy.") {}
};

class EIdTransparentProxyCircularLink : public EIdException {
public:
    explicit EIdTransparentProxyCircularLink(const std::string& AClassName)
        : EIdException(AClassName + ": Circular links are not allowed") {}
};

class TIdCustomTransparentProxy : public TIdComponent {
public:
    using TIdComponent::TIdComponent;
    ~TIdCustomTransparentProxy() override;

    // An object of the same class, owned by AOwner, with this one's settings.
    virtual TIdCustomTransparentProxy* NewLike(TComponent* AOwner) const = 0;

    const std::string& Host() const { return FHost; }
    void SetHost(std::string AValue) { FHost = std::move(AValue); }
    uint16_t Port() const { return FPort; }
    void SetPort(uint16_t AValue) { FPort = AValue; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(std::string AValue) { FUsername = std::move(AValue); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string AValue) { FPassword = std::move(AValue); }
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool AValue) = 0;
    // The next proxy of a chain: this one opens the way to it. Raises
    // EIdTransparentProxyCircularLink when the chain would come back here.
    TIdCustomTransparentProxy* ChainedProxy() const { return FChainedProxy; }
    void SetChainedProxy(TIdCustomTransparentProxy* AValue);

    // Copies host, port, IP version, user name and password.
    void Assign(const TPersistent& ASource) override;

    // Over AIOHandler's connection to this proxy, opens the way to the final
    // target: through the chained proxy when there is an enabled one.
    virtual void Connect(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                         TIdIPVersion AIPVersion);
    // Neither listening nor datagrams go through this kind of proxy.
    virtual void Listen(TIdIOHandler* AIOHandler, int ATimeout);
    virtual void Bind(TIdIOHandler* AIOHandler, uint16_t APort);
    virtual void OpenUDP(TIdIOHandler* AIOHandler, const std::string& AHost = "", uint16_t APort = 0,
                         TIdIPVersion AIPVersion = Id_IPv4);
    virtual void CloseUDP(TIdIOHandler* AIOHandler);
    virtual int RecvFromUDP(TIdIOHandler* AIOHandler, TIdBytes& ABuffer, std::string& VPeerIP,
                            uint16_t& VPeerPort, TIdIPVersion& VIPVersion, int ATimeout = -1);
    virtual void SendToUDP(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                           TIdIPVersion AIPVersion, const TIdBytes& ABuffer);

protected:
    // The kind's own negotiation of the way to AHost:APort.
    virtual void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                            TIdIPVersion AIPVersion) = 0;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    std::string FHost;
    std::string FPassword;
    uint16_t FPort = 0;
    TIdIPVersion FIPVersion = Id_IPv4;
    std::string FUsername;
    TIdCustomTransparentProxy* FChainedProxy = nullptr;
};
