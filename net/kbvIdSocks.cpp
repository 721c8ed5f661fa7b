#include "net/kbvIdSocks.h"

#include <arpa/inet.h>

#include "core/Format.h"
#include "net/kbvIdIOHandler.h"
#include "net/kbvIdStack.h"

namespace {

constexpr uint8_t CommandConnect = 1;
constexpr uint8_t Socks5NoAuthentication = 0;
constexpr uint8_t Socks5UsernamePassword = 2;
constexpr uint8_t Socks5NoAcceptableMethod = 0xFF;
constexpr size_t Socks5FieldLimit = 255;  // one length byte

void AppendPort(TIdBytes& ARequest, uint16_t APort) {
    ARequest.push_back(static_cast<uint8_t>(APort >> 8));
    ARequest.push_back(static_cast<uint8_t>(APort & 0xFF));
}

// A text that the request ends with a zero byte, or gives a length byte:
// cutting it or letting a NUL through would name something else.
TIdBytes FieldBytes(TIdIOHandler* AIOHandler, const std::string& AText, const char* AWhat, size_t ALimit) {
    if (AText.find('\0') != std::string::npos)
        throw EIdSocksError(Format("The SOCKS %s holds a NUL character", AWhat));
    TIdBytes Bytes = AIOHandler->DefStringEncoding()->GetBytes(AText);
    if (Bytes.size() > ALimit)
        throw EIdSocksError(Format("The SOCKS %s is longer than %d bytes", AWhat, static_cast<int>(ALimit)));
    return Bytes;
}

// The address bytes of an IP literal (4 or 16), or none for a name.
TIdBytes AddressBytes(const std::string& AHost) {
    uint8_t Buffer[16];
    if (::inet_pton(AF_INET, AHost.c_str(), Buffer) == 1)
        return TIdBytes(Buffer, Buffer + 4);
    if (::inet_pton(AF_INET6, AHost.c_str(), Buffer) == 1)
        return TIdBytes(Buffer, Buffer + 16);
    return {};
}

TIdBytes ReadExactly(TIdIOHandler* AIOHandler, int ACount) {
    TIdBytes Reply;
    AIOHandler->ReadBytes(Reply, ACount, false);
    return Reply;
}

[[noreturn]] void RaiseSocks4Reply(uint8_t AStatus) {
    switch (AStatus) {
    case 91: throw EIdSocksRequestFailed();
    case 92: throw EIdSocksRequestServerFailed();
    case 93: throw EIdSocksRequestIdentFailed();
    default: throw EIdSocksUnknownError();
    }
}

[[noreturn]] void RaiseSocks5Reply(uint8_t AStatus) {
    switch (AStatus) {
    case 1: throw EIdSocksServerGeneralError();
    case 2: throw EIdSocksServerPermissionError();
    case 3: throw EIdSocksServerNetUnreachableError();
    case 4: throw EIdSocksServerHostUnreachableError();
    case 5: throw EIdSocksServerConnectionRefusedError();
    case 6: throw EIdSocksServerTTLExpiredError();
    case 7: throw EIdSocksServerCommandError();
    case 8: throw EIdSocksServerAddressError();
    default: throw EIdSocksUnknownError();
    }
}

}  // namespace

TIdSocksInfo::TIdSocksInfo(TComponent* AOwner) : TIdCustomTransparentProxy(AOwner) { FPort = 1080; }

TIdCustomTransparentProxy* TIdSocksInfo::NewLike(TComponent* AOwner) const {
    auto* Result = new TIdSocksInfo(AOwner);
    Result->Assign(*this);
    return Result;
}

void TIdSocksInfo::SetEnabled(bool AValue) {
    if (!AValue)
        FVersion = svNoSocks;
    else if (FVersion == svNoSocks)
        FVersion = svSocks5;
}

void TIdSocksInfo::Assign(const TPersistent& ASource) {
    TIdCustomTransparentProxy::Assign(ASource);
    if (const auto* Source = dynamic_cast<const TIdSocksInfo*>(&ASource)) {
        FAuthentication = Source->FAuthentication;
        FVersion = Source->FVersion;
    }
}

void TIdSocksInfo::OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                              TIdIPVersion AIPVersion) {
    switch (FVersion) {
    case svSocks4:
    case svSocks4A:
        MakeSocks4Request(AIOHandler, AHost, APort, AIPVersion);
        break;
    case svSocks5:
        MakeSocks5Request(AIOHandler, AHost, APort);
        break;
    case svNoSocks:
        break;
    }
}

void TIdSocksInfo::MakeSocks4Request(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                                     TIdIPVersion AIPVersion) {
    TIdBytes Request;
    Request.reserve(8 + 2 * 256);  // header, user name, host name, their zero bytes
    Request.push_back(4);
    Request.push_back(CommandConnect);
    AppendPort(Request, APort);
    if (FVersion == svSocks4A) {
        Request.insert(Request.end(), {0, 0, 0, 1});  // "the proxy resolves the name that follows"
    } else {
        // SOCKS 4 carries four address bytes: an IPv6 target cannot be written.
        if (AIPVersion == Id_IPv6 || TIdStack::IsValidIPv6(AHost))
            throw EIdSocksError(Format("SOCKS 4 reaches IPv4 addresses only, not \"%s\"", AHost.c_str()));
        std::string IP = AHost;
        if (!TIdStack::IsIP(AHost)) {
            try {
                IP = GStack()->ResolveHost(AHost, Id_IPv4);
            } catch (const EIdException& E) {
                throw EIdSocksError(Format("SOCKS 4 needs an IPv4 address for \"%s\": %s", AHost.c_str(),
                                           E.Message().c_str()));
            }
        }
        const TIdBytes Address = AddressBytes(IP);
        Request.insert(Request.end(), Address.begin(), Address.end());
    }
    const TIdBytes User = FieldBytes(AIOHandler, FUsername, "user name", 255);
    Request.insert(Request.end(), User.begin(), User.end());
    Request.push_back(0);
    if (FVersion == svSocks4A) {
        const TIdBytes Host = FieldBytes(AIOHandler, AHost, "host name", 255);
        Request.insert(Request.end(), Host.begin(), Host.end());
        Request.push_back(0);
    }
    AIOHandler->Write(Request);
    const TIdBytes Reply = ReadExactly(AIOHandler, 8);
    if (Reply[1] != 90)
        RaiseSocks4Reply(Reply[1]);
}

void TIdSocksInfo::MakeSocks5Request(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort) {
    // Built first, so that a name that cannot be sent stops before any byte.
    // The longest request: 4 bytes, a length byte, 255 name bytes, the port.
    TIdBytes Request;
    Request.reserve(4 + 1 + Socks5FieldLimit + 2);
    Request.insert(Request.end(), {5, CommandConnect, 0});
    const TIdBytes Address = AddressBytes(AHost);
    if (Address.size() == 4 || Address.size() == 16) {
        Request.push_back(Address.size() == 4 ? 1 : 4);
        Request.insert(Request.end(), Address.begin(), Address.end());
    } else {
        const TIdBytes Name = FieldBytes(AIOHandler, AHost, "host name", Socks5FieldLimit);
        Request.push_back(3);
        Request.push_back(static_cast<uint8_t>(Name.size()));
        Request.insert(Request.end(), Name.begin(), Name.end());
    }
    AppendPort(Request, APort);
    const bool Login = FAuthentication == saUsernamePassword;
    const TIdBytes Credentials = Login ? LoginRequest(AIOHandler) : TIdBytes();

    const uint8_t Method = Login ? Socks5UsernamePassword : Socks5NoAuthentication;
    AIOHandler->Write(TIdBytes{5, 1, Method});
    const TIdBytes Chosen = ReadExactly(AIOHandler, 2);
    if (Chosen[0] != 5)
        throw EIdSocksUnknownError();
    if (Chosen[1] != Method || Chosen[1] == Socks5NoAcceptableMethod)
        throw EIdSocksAuthMethodError();
    if (Login) {
        AIOHandler->Write(Credentials);
        if (ReadExactly(AIOHandler, 2)[1] != 0)
            throw EIdSocksAuthError();
    }
    AIOHandler->Write(Request);

    // Version, status, reserved, address type and the address's first byte;
    // the rest of the bound address is read and dropped.
    const TIdBytes Reply = ReadExactly(AIOHandler, 5);
    if (Reply[1] != 0)
        RaiseSocks5Reply(Reply[1]);
    switch (Reply[3]) {
    case 1: ReadExactly(AIOHandler, 3 + 2); break;
    case 3: ReadExactly(AIOHandler, Reply[4] + 2); break;
    case 4: ReadExactly(AIOHandler, 15 + 2); break;
    default: throw EIdSocksServerAddressError();
    }
}

// Version 1 of the user name/password sub-negotiation (RFC 1929).
TIdBytes TIdSocksInfo::LoginRequest(TIdIOHandler* AIOHandler) const {
    const TIdBytes User = FieldBytes(AIOHandler, FUsername, "user name", Socks5FieldLimit);
    const TIdBytes Password = FieldBytes(AIOHandler, FPassword, "password", Socks5FieldLimit);
    TIdBytes Request;
    Request.reserve(3 + User.size() + Password.size());
    Request.push_back(1);
    Request.push_back(static_cast<uint8_t>(User.size()));
    Request.insert(Request.end(), User.begin(), User.end());
    Request.push_back(static_cast<uint8_t>(Password.size()));
    Request.insert(Request.end(), Password.begin(), Password.end());
    return Request;
}
