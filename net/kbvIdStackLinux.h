// The socket stack over POSIX sockets: poll for readiness, getaddrinfo (with
// IDN) for names, getifaddrs for local addresses, errno translated to the
// library's error codes.
#pragma once

#include "net/kbvIdStack.h"

// errno as the library's socket error code.
int TranslateErrno(int AErrno);

class TIdStackLinux : public TIdStackBSDBase {
public:
    TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion = Id_IPv4,
                                         bool AOverlapped = false) override;
    void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
              TIdIPVersion AIPVersion) override;
    void Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort,
                 TIdIPVersion AIPVersion) override;
    bool Connect(TIdStackSocketHandle ASocket, const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion,
                 int ATimeoutMS) override;
    void Disconnect(TIdStackSocketHandle ASocket) override;
    void SetLingerState(TIdStackSocketHandle ASocket, int AValue) override;
    int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) override;
    int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int AOffset = 0, int ASize = -1) override;
    void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                       TIdIPVersion& VIPVersion) override;
    void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, uint16_t& VPort,
                     TIdIPVersion& VIPVersion) override;
    int GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName) override;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) override;
    // TCP_KEEPIDLE and TCP_KEEPINTVL count whole seconds: the times are rounded up.
    void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS, int AInterval) override;
    bool SupportsIPv4() override;
    bool SupportsIPv6() override;
    void GetLocalAddressList(TIdStackLocalAddressList& AList) override;
    // errno translated; codes without a counterpart pass unchanged.
    int WSGetLastError() override;

protected:
    std::string HostByName(const std::string& AHost, TIdIPVersion AIPVersion) override;
};
