#include "net/kbvIdCustomTransparentProxy.h"

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() { SetChainedProxy(nullptr); }

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy* AValue) {
    for (TIdCustomTransparentProxy* Link = AValue; Link; Link = Link->ChainedProxy())
        if (Link == this)
            throw EIdTransparentProxyCircularLink(ClassName());
    SetReference(FChainedProxy, AValue);
}

void TIdCustomTransparentProxy::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TIdCustomTransparentProxy*>(&ASource);
    if (!Source) {
        TIdComponent::Assign(ASource);
        return;
    }
    FHost = Source->FHost;
    FPassword = Source->FPassword;
    FPort = Source->FPort;
    FIPVersion = Source->FIPVersion;
    FUsername = Source->FUsername;
}

void TIdCustomTransparentProxy::Connect(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                                        TIdIPVersion AIPVersion) {
    if (FChainedProxy && FChainedProxy->Enabled()) {
        OpenTunnel(AIOHandler, FChainedProxy->Host(), FChainedProxy->Port(), FChainedProxy->IPVersion());
        FChainedProxy->Connect(AIOHandler, AHost, APort, AIPVersion);
    } else {
        OpenTunnel(AIOHandler, AHost, APort, AIPVersion);
    }
}

void TIdCustomTransparentProxy::Listen(TIdIOHandler*, int) { throw EIdTransparentProxyCantBind(); }

void TIdCustomTransparentProxy::Bind(TIdIOHandler*, uint16_t) { throw EIdTransparentProxyCantBind(); }

void TIdCustomTransparentProxy::OpenUDP(TIdIOHandler*, const std::string&, uint16_t, TIdIPVersion) {
    throw EIdTransparentProxyUDPNotSupported();
}

void TIdCustomTransparentProxy::CloseUDP(TIdIOHandler*) { throw EIdTransparentProxyUDPNotSupported(); }

int TIdCustomTransparentProxy::RecvFromUDP(TIdIOHandler*, TIdBytes&, std::string&, uint16_t&, TIdIPVersion&, int) {
    throw EIdTransparentProxyUDPNotSupported();
}

void TIdCustomTransparentProxy::SendToUDP(TIdIOHandler*, const std::string&, uint16_t, TIdIPVersion,
                                          const TIdBytes&) {
    throw EIdTransparentProxyUDPNotSupported();
}

void TIdCustomTransparentProxy::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FChainedProxy)
        FChainedProxy = nullptr;
    TIdComponent::Notification(AComponent, Operation);
}
