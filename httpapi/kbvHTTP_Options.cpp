#include "httpapi/kbvHTTP_Options.h"

// Each Assign takes its own class (or a relative the comment names) and
// leaves anything else to TPersistent, which raises.

void TkbvOpenSSL_Options::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvOpenSSL_Options*>(&ASource);
    if (!Source)
        return TPersistent::Assign(ASource);
    FAPIVersion = Source->FAPIVersion;
    FLibPathCustom = Source->FLibPathCustom;
    FLibPath = Source->FLibPath;
    FUnixSymLinks = Source->FUnixSymLinks;
}

void TkbvSChannel_Options::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvSChannel_Options*>(&ASource);
    if (!Source)
        return TPersistent::Assign(ASource);
    FCertStoreName = Source->FCertStoreName;
    FCertStorePath = Source->FCertStorePath;
    FCertHash = Source->FCertHash;
    FCipherList = Source->FCipherList;
}

void TkbvSocketTLS_Options_Base::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvSocketTLS_Options_Base*>(&ASource);
    if (!Source)
        return TPersistent::Assign(ASource);
    FCertFile = Source->FCertFile;
    FKeyFile = Source->FKeyFile;
    FPassword = Source->FPassword;
    FRootCertFile = Source->FRootCertFile;
    FVerifyCertificate = Source->FVerifyCertificate;
    FVerifyDepth = Source->FVerifyDepth;
    FVersion = Source->FVersion;
}

void TkbvTCPTLS_Options::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvTCPTLS_Options*>(&ASource);
    if (!Source)
        return TkbvSocketTLS_Options_Base::Assign(ASource);
    FCertFile = Source->FCertFile;
    FKeyFile = Source->FKeyFile;
    FPassword = Source->FPassword;
    FRootCertFile = Source->FRootCertFile;
    FVersion = Source->FVersion;
    FVerifyCertificate = Source->FVerifyCertificate;
    FIOHandler = Source->FIOHandler;
    FALPNProtocols.Assign(Source->FALPNProtocols);
    FOpenSSL_Options.Assign(Source->FOpenSSL_Options);
    FSChannel_Options.Assign(Source->FSChannel_Options);
}

void TkbvSocketProxy_Options::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvSocketProxy_Options*>(&ASource);
    if (!Source)
        return TPersistent::Assign(ASource);
    FEnabled = Source->FEnabled;
    FHost = Source->FHost;
    FPassword = Source->FPassword;
    FPort = Source->FPort;
    FProxyType = Source->FProxyType;
    FUsername = Source->FUsername;
}

void TkbvHTTPAuthentication_Token::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvHTTPAuthentication_Token*>(&ASource);
    if (!Source)
        return TPersistent::Assign(ASource);
    FOAuth = Source->FOAuth;
    FJWT = Source->FJWT;
    FReadTimeout = Source->FReadTimeout;
}

void TkbvIdHTTPAuthentication_Options::Assign(const TPersistent& ASource) {
    const auto* Source = dynamic_cast<const TkbvIdHTTPAuthentication_Options*>(&ASource);
    if (!Source)
        return TPersistent::Assign(ASource);
    FToken.Assign(Source->FToken);
}
