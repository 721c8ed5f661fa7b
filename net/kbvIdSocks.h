// SOCKS 4, 4A and 5 as a transparent proxy: the connect command, with no
// authentication or with a user name and password (SOCKS 5).
#pragma once

#include <cstdint>
#include <string>

#include "net/kbvIdCustomTransparentProxy.h"

class EIdSocksError : public EIdException {
public:
    using EIdException::EIdException;
};

#define KBV_SOCKS_ERROR(Name, Text)                \
    class Name : public EIdSocksError {            \
    public:                                        \
        Name() : EIdSocksError(Text) {}            \
    }
KBV_SOCKS_ERROR(EIdSocksRequestFailed, "Request rejected or failed.");
KBV_SOCKS_ERROR(EIdSocksRequestServerFailed, "Request rejected because SOCKS server cannot connect.");
KBV_SOCKS_ERROR(EIdSocksRequestIdentFailed,
                "Request rejected because the client program and identd report different user-ids.");
KBV_SOCKS_ERROR(EIdSocksUnknownError, "Unknown socks error.");
KBV_SOCKS_ERROR(EIdSocksAuthMethodError, "Invalid socks authentication method.");
KBV_SOCKS_ERROR(EIdSocksAuthError, "Authentication error to socks server.");
KBV_SOCKS_ERROR(EIdSocksServerGeneralError, "General SOCKS server failure.");
KBV_SOCKS_ERROR(EIdSocksServerPermissionError, "Connection not allowed by ruleset.");
KBV_SOCKS_ERROR(EIdSocksServerNetUnreachableError, "Network unreachable.");
KBV_SOCKS_ERROR(EIdSocksServerHostUnreachableError, "Host unreachable.");
KBV_SOCKS_ERROR(EIdSocksServerConnectionRefusedError, "Connection refused.");
KBV_SOCKS_ERROR(EIdSocksServerTTLExpiredError, "TTL expired.");
KBV_SOCKS_ERROR(EIdSocksServerCommandError, "Command not supported.");
KBV_SOCKS_ERROR(EIdSocksServerAddressError, "Address type not supported.");
#undef KBV_SOCKS_ERROR

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

class TIdSocksInfo : public TIdCustomTransparentProxy {
public:
    explicit TIdSocksInfo(TComponent* AOwner = nullptr);
    TIdCustomTransparentProxy* NewLike(TComponent* AOwner) const override;

    TSocksAuthentication Authentication() const { return FAuthentication; }
    void SetAuthentication(TSocksAuthentication AValue) { FAuthentication = AValue; }
    TSocksVersion Version() const { return FVersion; }
    void SetVersion(TSocksVersion AValue) { FVersion = AValue; }
    // True exactly when a SOCKS version is set; switching on without one
    // chooses SOCKS 5, switching off clears the version.
    bool Enabled() const override { return FVersion != svNoSocks; }
    void SetEnabled(bool AValue) override;

    // Also copies the authentication and the version.
    void Assign(const TPersistent& ASource) override;

protected:
    void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                    TIdIPVersion AIPVersion) override;

private:
    void MakeSocks4Request(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort, TIdIPVersion AIPVersion);
    void MakeSocks5Request(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort);
    TIdBytes LoginRequest(TIdIOHandler* AIOHandler) const;

    TSocksAuthentication FAuthentication = saNoAuthentication;
    TSocksVersion FVersion = svNoSocks;
};
