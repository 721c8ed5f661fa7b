// The option groups of the HTTP client component: TLS, proxy and token
// authentication. Each copies itself with Assign; a component's property
// setter copies into the group it owns.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "core/Component.h"
#include "core/Persistent.h"
#include "core/StringList.h"
#include "net/kbvIdTLSTypes.h"

// --- TLS ------------------------------------------------------------------------

enum TwsTLSIOHandler { iohOpenSSL, iohSChannel };
enum TkbvOpenSSLAPIVersion { oslAPI_1_0, oslAPI_1_1, oslAPI_3_0 };
enum TkbvOpenSSLLibPath { oslpNone, oslpDefaultFolder, oslpCustomPath };

class TkbvOpenSSL_Options : public TPersistent {
public:
    // The generation the build links (3.x) is the default.
    TkbvOpenSSLAPIVersion APIVersion() const { return FAPIVersion; }
    void SetAPIVersion(TkbvOpenSSLAPIVersion AValue) { FAPIVersion = AValue; }
    const std::string& LibPathCustom() const { return FLibPathCustom; }
    void SetLibPathCustom(std::string AValue) { FLibPathCustom = std::move(AValue); }
    TkbvOpenSSLLibPath LibPath() const { return FLibPath; }
    void SetLibPath(TkbvOpenSSLLibPath AValue) { FLibPath = AValue; }
    bool UnixSymLinks() const { return FUnixSymLinks; }
    void SetUnixSymLinks(bool AValue) { FUnixSymLinks = AValue; }
    void Assign(const TPersistent& ASource) override;

private:
    TkbvOpenSSLAPIVersion FAPIVersion = oslAPI_3_0;
    std::string FLibPathCustom;
    TkbvOpenSSLLibPath FLibPath = oslpNone;
    bool FUnixSymLinks = false;
};

class TkbvSChannel_Options : public TPersistent {
public:
    TkbvSChannelCertStoreName CertStoreName() const { return FCertStoreName; }
    void SetCertStoreName(TkbvSChannelCertStoreName AValue) { FCertStoreName = AValue; }
    TkbvSChannelCertStorePath CertStorePath() const { return FCertStorePath; }
    void SetCertStorePath(TkbvSChannelCertStorePath AValue) { FCertStorePath = AValue; }
    const std::string& CertHash() const { return FCertHash; }
    void SetCertHash(std::string AValue) { FCertHash = std::move(AValue); }
    const std::string& CipherList() const { return FCipherList; }
    void SetCipherList(std::string AValue) { FCipherList = std::move(AValue); }
    void Assign(const TPersistent& ASource) override;

private:
    TkbvSChannelCertStoreName FCertStoreName = scsnMY;
    TkbvSChannelCertStorePath FCertStorePath = scspStoreCurrentUser;
    std::string FCertHash;
    std::string FCipherList;
};

class TkbvSocketTLS_Options_Base : public TPersistent {
public:
    const std::string& CertFile() const { return FCertFile; }
    void SetCertFile(std::string AValue) { FCertFile = std::move(AValue); }
    const std::string& KeyFile() const { return FKeyFile; }
    void SetKeyFile(std::string AValue) { FKeyFile = std::move(AValue); }
    // Of the client certificate's key or PKCS#12 file.
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string AValue) { FPassword = std::move(AValue); }
    const std::string& RootCertFile() const { return FRootCertFile; }
    void SetRootCertFile(std::string AValue) { FRootCertFile = std::move(AValue); }
    // The server's chain and name are checked.
    bool VerifyCertificate() const { return FVerifyCertificate; }
    void SetVerifyCertificate(bool AValue) { FVerifyCertificate = AValue; }
    int VerifyDepth() const { return FVerifyDepth; }
    void SetVerifyDepth(int AValue) { FVerifyDepth = AValue; }
    TwsTLSVersions Version() const { return FVersion; }
    void SetVersion(TwsTLSVersions AValue) { FVersion = AValue; }
    // Copies every field from any TLS option group.
    void Assign(const TPersistent& ASource) override;

protected:
    std::string FCertFile;
    std::string FKeyFile;
    std::string FPassword;
    std::string FRootCertFile;
    bool FVerifyCertificate = false;
    int FVerifyDepth = 0;
    TwsTLSVersions FVersion = tlsUndefined;
};

class TkbvSocketTLS_Options : public TkbvSocketTLS_Options_Base {};

class TkbvTCPTLS_Options : public TkbvSocketTLS_Options {
public:
    TStringList& ALPNProtocols() { return FALPNProtocols; }
    const TStringList& ALPNProtocols() const { return FALPNProtocols; }
    TwsTLSIOHandler IOHandler() const { return FIOHandler; }
    void SetIOHandler(TwsTLSIOHandler AValue) { FIOHandler = AValue; }
    TkbvOpenSSL_Options& OpenSSL_Options() { return FOpenSSL_Options; }
    const TkbvOpenSSL_Options& OpenSSL_Options() const { return FOpenSSL_Options; }
    TkbvSChannel_Options& SChannel_Options() { return FSChannel_Options; }
    const TkbvSChannel_Options& SChannel_Options() const { return FSChannel_Options; }
    // From another TCP TLS group: everything but VerifyDepth.
    void Assign(const TPersistent& ASource) override;

private:
    TStringList FALPNProtocols;
    TwsTLSIOHandler FIOHandler = iohOpenSSL;
    TkbvOpenSSL_Options FOpenSSL_Options;
    TkbvSChannel_Options FSChannel_Options;
};

class TkbvIdHTTPTLS_Options : public TkbvTCPTLS_Options {};

// --- proxy --------------------------------------------------------------------

enum TwsProxy { pxyHTTP, pxySocks4, pxySocks4A, pxySocks5 };

class TkbvSocketProxy_Options : public TPersistent {
public:
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool AValue) { FEnabled = AValue; }
    const std::string& Host() const { return FHost; }
    void SetHost(std::string AValue) { FHost = std::move(AValue); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string AValue) { FPassword = std::move(AValue); }
    int Port() const { return FPort; }
    void SetPort(int AValue) { FPort = AValue; }
    TwsProxy ProxyType() const { return FProxyType; }
    void SetProxyType(TwsProxy AValue) { FProxyType = AValue; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(std::string AValue) { FUsername = std::move(AValue); }
    void Assign(const TPersistent& ASource) override;

private:
    bool FEnabled = false;
    std::string FHost;
    std::string FPassword;
    int FPort = 0;
    TwsProxy FProxyType = pxyHTTP;
    std::string FUsername;
};

class TkbvTCPProxy_Options : public TkbvSocketProxy_Options {};
class TkbvHTTPProxy_Options : public TkbvTCPProxy_Options {};

// --- token authentication -------------------------------------------------------

using TkbvTokenEvent = std::function<void(const std::string& ATokenType, const std::string& AToken)>;
using TkbvTokenErrorEvent = std::function<void(const std::string& AError, const std::string& ADescription)>;

// A source of bearer-style tokens. Start asks for one; the answer comes
// through OnToken or OnTokenError, on this thread or on another.
class TkbvHTTPTokenProvider : public TComponent {
public:
    using TComponent::TComponent;
    virtual void Start() = 0;
    void SetOnToken(TkbvTokenEvent AValue) { FOnToken = std::move(AValue); }
    void SetOnTokenError(TkbvTokenErrorEvent AValue) { FOnTokenError = std::move(AValue); }

protected:
    void DoToken(const std::string& ATokenType, const std::string& AToken) const {
        if (FOnToken)
            FOnToken(ATokenType, AToken);
    }
    void DoTokenError(const std::string& AError, const std::string& ADescription) const {
        if (FOnTokenError)
            FOnTokenError(AError, ADescription);
    }

private:
    TkbvTokenEvent FOnToken;
    TkbvTokenErrorEvent FOnTokenError;
};

class TkbvHTTPComponentClient_OAuth : public TkbvHTTPTokenProvider {
public:
    using TkbvHTTPTokenProvider::TkbvHTTPTokenProvider;
};

class TkbvHTTPComponentClient_JWT : public TkbvHTTPTokenProvider {
public:
    using TkbvHTTPTokenProvider::TkbvHTTPTokenProvider;
    // After how many seconds a token must be renewed.
    virtual int RefreshAfter() const = 0;
};

class TkbvHTTPAuthentication_Token : public TPersistent {
public:
    // Referenced, not owned.
    TkbvHTTPComponentClient_OAuth* OAuth() const { return FOAuth; }
    void SetOAuth(TkbvHTTPComponentClient_OAuth* AValue) { FOAuth = AValue; }
    TkbvHTTPComponentClient_JWT* JWT() const { return FJWT; }
    void SetJWT(TkbvHTTPComponentClient_JWT* AValue) { FJWT = AValue; }
    // How long a request waits for a token, in milliseconds.
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int AValue) { FReadTimeout = AValue; }
    void Assign(const TPersistent& ASource) override;

private:
    TkbvHTTPComponentClient_OAuth* FOAuth = nullptr;
    TkbvHTTPComponentClient_JWT* FJWT = nullptr;
    int FReadTimeout = 60000;
};

class TkbvIdHTTPAuthentication_Options : public TPersistent {
public:
    TkbvHTTPAuthentication_Token& Token() { return FToken; }
    const TkbvHTTPAuthentication_Token& Token() const { return FToken; }
    void SetToken(const TkbvHTTPAuthentication_Token& AValue) { FToken.Assign(AValue); }
    void Assign(const TPersistent& ASource) override;

private:
    TkbvHTTPAuthentication_Token FToken;
};
