// An HTTP proxy's CONNECT method as a transparent proxy, with the proxy's
// own Basic login when it asks for one (407).
#pragma once

#include <cstdint>
#include <string>

#include "net/kbvIdCustomTransparentProxy.h"

// The proxy refused the tunnel: the message is its status line.
class EIdHttpProxyError : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdConnectThroughHttpProxy : public TIdCustomTransparentProxy {
public:
    using TIdCustomTransparentProxy::TIdCustomTransparentProxy;
    TIdCustomTransparentProxy* NewLike(TComponent* AOwner) const override;

    bool Enabled() const override { return FEnabled; }
    void SetEnabled(bool AValue) override { FEnabled = AValue; }
    // Set while a reconnect sends the credentials from the start.
    bool AuthorizationRequired() const { return FAuthorizationRequired; }

    // Also copies Enabled.
    void Assign(const TPersistent& ASource) override;

protected:
    void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                    TIdIPVersion AIPVersion) override;

private:
    void MakeConnectRequest(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort, bool ALogin);

    bool FAuthorizationRequired = false;
    bool FEnabled = false;
};
