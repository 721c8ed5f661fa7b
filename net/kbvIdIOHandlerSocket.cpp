#include "net/kbvIdIOHandlerSocket.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

#include "core/Text.h"
#include "net/kbvIdAntiFreezeBase.h"
#include "net/kbvIdSocks.h"

namespace {

// The plain socket handler is what a connection makes when given none.
[[maybe_unused]] const bool DefaultClassRegistered = [] {
    TIdIOHandler::SetDefaultClass<TIdIOHandlerStack>();
    return true;
}();

// A connect without a time-out still ends when the anti-freeze hook runs.
constexpr int AntiFreezeConnectLimitMS = 120000;

}  // namespace

// --- TIdIOHandlerSocket -----------------------------------------------------

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
    if (FOpened) {
        try {
            Close();
        } catch (...) {
        }
    }
    SetTransparentProxy(nullptr);
}

void TIdIOHandlerSocket::Open() {
    TIdIOHandler::Open();
    if (FBinding)
        FBinding->Reset(true);
    else
        FBinding = std::make_unique<TIdSocketHandle>();
    FBinding->SetClientPortMin(FBoundPortMin);
    FBinding->SetClientPortMax(FBoundPortMax);
    if (!FHost.empty() && FPort > 0)
        ConnectToPeer();
}

void TIdIOHandlerSocket::Close() {
    if (FBinding)
        FBinding->CloseSocket();
    TIdIOHandler::Close();
}

void TIdIOHandlerSocket::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
    bool Disconnected;
    if (FClosedGracefully) {
        if (BindingAllocated()) {
            Close();
            ReportStatus(hsDisconnected);
        }
        Disconnected = true;
    } else {
        Disconnected = !BindingAllocated();
    }
    if (Disconnected && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty()))
        throw EIdConnClosedGracefully();
}

void TIdIOHandlerSocket::AfterAccept() {
    if (FBinding)
        FIPVersion = FBinding->IPVersion();
}

int64_t TIdIOHandlerSocket::WriteFile(const std::string& AFile, bool AEnableTransferFile) {
    std::error_code Error;
    if (!std::filesystem::is_regular_file(AFile, Error))
        return 0;
    return TIdIOHandler::WriteFile(AFile, AEnableTransferFile);
}

std::string TIdIOHandlerSocket::Destination() const {
    if (FPort > 0 && FPort != FDefaultPort)
        return FHost + ":" + std::to_string(FPort);
    return FHost;
}

void TIdIOHandlerSocket::SetDestination(const std::string& AValue) {
    const auto Colon = AValue.rfind(':');
    if (Colon == std::string::npos)
        return;
    SetHost(AValue.substr(0, Colon));
    const std::string_view PortText = Trim(std::string_view(AValue).substr(Colon + 1, 255));
    int Port = FDefaultPort;
    int Parsed = 0;
    const char* End = PortText.data() + PortText.size();
    if (auto [Ptr, Error] = std::from_chars(PortText.data(), End, Parsed); Error == std::errc() && Ptr == End)
        Port = Parsed;
    SetPort(Port);
}

TIdCustomTransparentProxy* TIdIOHandlerSocket::TransparentProxy() {
    if (!FTransparentProxy) {
        FTransparentProxy = new TIdSocksInfo(this);
        FImplicitTransparentProxy = true;
    }
    return FTransparentProxy;
}

void TIdIOHandlerSocket::SetTransparentProxy(TIdCustomTransparentProxy* AValue) {
    if (AValue && !AValue->Owner()) {
        // A proxy nobody owns is copied: its caller may free it at any time.
        if (FImplicitTransparentProxy && typeid(*FTransparentProxy) == typeid(*AValue)) {
            FTransparentProxy->Assign(*AValue);
            FTransparentProxy->SetChainedProxy(AValue->ChainedProxy());
            return;
        }
        SetTransparentProxy(nullptr);
        FTransparentProxy = AValue->NewLike(this);
        FTransparentProxy->SetChainedProxy(AValue->ChainedProxy());
        FImplicitTransparentProxy = true;
        return;
    }
    if (FImplicitTransparentProxy) {
        TIdCustomTransparentProxy* Owned = FTransparentProxy;
        FTransparentProxy = nullptr;
        FImplicitTransparentProxy = false;
        delete Owned;
    }
    SetReference(FTransparentProxy, AValue);
}

TIdCustomTransparentProxy* TIdIOHandlerSocket::EnabledProxy() const {
    return FTransparentProxy && FTransparentProxy->Enabled() ? FTransparentProxy : nullptr;
}

TIdIPVersion TIdIOHandlerSocket::FirstHopIPVersion() const {
    const TIdCustomTransparentProxy* Proxy = EnabledProxy();
    if (!Proxy)
        return FIPVersion;
    // The socket goes to the proxy, whatever the target's family.
    return TIdStack::IsValidIPv6(Proxy->Host()) ? Id_IPv6 : Proxy->IPVersion();
}

void TIdIOHandlerSocket::ConnectToPeer() {
    NotifyBeforeBind();
    FBinding->SetIPVersion(FirstHopIPVersion());
    FBinding->AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
    NotifySocketAllocated();
    if (!FBoundIP.empty())
        FBinding->SetIP(FBoundIP);
    FBinding->SetPort(FBoundPort);
    FBinding->SetClientPortMin(FBoundPortMin);
    FBinding->SetClientPortMax(FBoundPortMax);
    FBinding->SetReuseSocket(FReuseSocket);
    FBinding->Bind();
    FBinding->SetUseNagle(FUseNagle);
    FBinding->SetLingerState(FLingerState);
    NotifyAfterBind();
}

void TIdIOHandlerSocket::NotifyBeforeBind() {
    if (FOnBeforeBind)
        FOnBeforeBind(this);
}

void TIdIOHandlerSocket::NotifyAfterBind() {
    if (FOnAfterBind)
        FOnAfterBind(this);
}

void TIdIOHandlerSocket::NotifySocketAllocated() {
    if (FOnSocketAllocated)
        FOnSocketAllocated(this);
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FTransparentProxy) {
        FTransparentProxy = nullptr;
        FImplicitTransparentProxy = false;
    }
    TIdIOHandler::Notification(AComponent, Operation);
}

// --- TIdIOHandlerStack --------------------------------------------------------

void TIdIOHandlerStack::ConnectToPeer() {
    TIdIOHandlerSocket::ConnectToPeer();
    TIdCustomTransparentProxy* Proxy = EnabledProxy();
    const std::string Host = Proxy ? Proxy->Host() : FHost;
    const uint16_t Port = Proxy ? Proxy->Port() : static_cast<uint16_t>(FPort);
    const TIdIPVersion IPVersion = FirstHopIPVersion();

    std::string IP;
    if (IPVersion == Id_IPv6 && TIdStack::IsValidIPv6(Host)) {
        IP = TIdStack::MakeCanonicalIPv6Address(Host);
    } else if (IPVersion == Id_IPv4 && TIdStack::IsIP(Host)) {
        IP = Host;
    } else {
        ReportStatus(hsResolving, Host);
        IP = GStack()->ResolveHost(Host, IPVersion);
    }
    FBinding->SetPeer(IP, Port, IPVersion);
    ReportStatus(hsConnecting, IP);

    int Timeout = FConnectTimeout == 0 || FConnectTimeout == -1 ? IdTimeoutInfinite : FConnectTimeout;
    if (Timeout == IdTimeoutInfinite && TIdAntiFreezeBase::ShouldUse())
        Timeout = AntiFreezeConnectLimitMS;
    if (!FBinding->Connect(Timeout)) {
        Close();
        throw EIdConnectTimeout();
    }
    if (!Proxy)
        return;
    try {
        Proxy->Connect(this, FHost, static_cast<uint16_t>(FPort), FIPVersion);
    } catch (...) {
        // Half a negotiation is no connection to the target: nothing of it
        // stays readable.
        FInputBuffer->Clear();
        Close();
        throw;
    }
}

bool TIdIOHandlerStack::Connected() {
    try {
        FillInputBuffer(false, 0, false);
    } catch (const EIdSocketError& E) {
        const int Code = E.LastError();
        if (Code == Id_WSAECONNABORTED || Code == Id_WSAECONNRESET || Code == Id_WSAESHUTDOWN)
            return false;
        throw;
    }
    return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

bool TIdIOHandlerStack::Readable(int AMSec) { return FBinding && FBinding->Readable(AMSec); }

int TIdIOHandlerStack::ReadDataFromSource(TIdBytes& ABuffer) {
    if (!FBinding)
        throw EIdNotConnected();
    return GStack()->Receive(FBinding->Handle(), ABuffer);
}

int TIdIOHandlerStack::WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) {
    if (!FBinding)
        throw EIdNotConnected();
    return GStack()->Send(FBinding->Handle(), ABuffer, AOffset, ALength);
}

int TIdIOHandlerStack::GetSocketErrorCode(int AResult) {
    return GStack()->CheckForSocketError(
        AResult, {Id_WSAESHUTDOWN, Id_WSAECONNABORTED, Id_WSAECONNRESET, Id_WSAETIMEDOUT});
}

void TIdIOHandlerStack::RaiseSocketError(int AErrorCode) { TIdStack::RaiseSocketError(AErrorCode); }
