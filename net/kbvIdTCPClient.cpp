#include "net/kbvIdTCPClient.h"

TIdTCPClientCustom::TIdTCPClientCustom(TComponent* AOwner) : TIdTCPConnection(AOwner) {}

void TIdTCPClientCustom::Connect() {
    if (Connected())
        throw EIdAlreadyConnected();
    if (FHost.empty())
        throw EIdHostRequired();
    if (FPort == 0)
        throw EIdPortRequired();
    if (!FIOHandler) {
        SetIOHandler(CreateImplicitIOHandler());
        FManagedIOHandler = true;
        FIOHandler->SetOnStatus(OnStatus());
    }
    try {
        if (!FDestination.empty())
            FIOHandler->SetDestination(FDestination);
        CopySettingsToIOHandler();
        FIOHandler->Open();
        if (FIOHandler->Intercept())
            FIOHandler->Intercept()->Connect(this);
        ReportStatus(hsConnected, FHost);
        NotifyConnected();
    } catch (...) {
        if (FIOHandler) {
            try {
                FIOHandler->Close();
            } catch (...) {
                // The failure that brought us here is the one to report.
            }
            if (FManagedIOHandler)
                SetIOHandler(nullptr);
        }
        throw;
    }
}

void TIdTCPClientCustom::Connect(const std::string& AHost) {
    SetHost(AHost);
    Connect();
}

void TIdTCPClientCustom::Connect(const std::string& AHost, uint16_t APort) {
    SetHost(AHost);
    SetPort(APort);
    Connect();
}

std::string TIdTCPClientCustom::ConnectAndGetAll() {
    Connect();
    std::string Result;
    try {
        Result = FIOHandler->AllData();
    } catch (...) {
        Disconnect();
        throw;
    }
    Disconnect();
    return Result;
}

void TIdTCPClientCustom::SetIOHandler(TIdIOHandler* AValue) {
    TIdTCPConnection::SetIOHandler(AValue);
    if (FIOHandler)
        CopySettingsToIOHandler();
}

void TIdTCPClientCustom::CopySettingsToIOHandler() {
    FIOHandler->SetPort(FPort);
    FIOHandler->SetHost(FHost);
    FIOHandler->SetConnectTimeout(FConnectTimeout);
    FIOHandler->SetReadTimeout(FReadTimeout);
    if (FSocket) {
        FSocket->SetBoundIP(FBoundIP);
        FSocket->SetBoundPort(FBoundPort);
        FSocket->SetBoundPortMin(FBoundPortMin);
        FSocket->SetBoundPortMax(FBoundPortMax);
        FSocket->SetIPVersion(FIPVersion);
        FSocket->SetReuseSocket(FReuseSocket);
        FSocket->SetUseNagle(FUseNagle);
        FSocket->SetLingerState(FLingerState);
        FSocket->SetOnBeforeBind(FOnBeforeBind);
        FSocket->SetOnAfterBind(FOnAfterBind);
        FSocket->SetOnSocketAllocated(FOnSocketAllocated);
    }
}

void TIdTCPClientCustom::NotifyConnected() {
    if (FOnConnected)
        FOnConnected(this);
}

TIdIOHandler* TIdTCPClientCustom::CreateImplicitIOHandler() { return TIdIOHandler::MakeDefaultIOHandler(this); }

void TIdTCPClientCustom::SetHost(const std::string& AValue) {
    FHost = AValue;
    if (FIOHandler)
        FIOHandler->SetHost(AValue);
}

void TIdTCPClientCustom::SetPort(uint16_t AValue) {
    FPort = AValue;
    if (FIOHandler)
        FIOHandler->SetPort(AValue);
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion AValue) {
    if (AValue != FIPVersion && Connected())
        throw EIdCannotSetIPVersionWhenConnected();
    FIPVersion = AValue;
    if (FSocket)
        FSocket->SetIPVersion(AValue);
}

void TIdTCPClientCustom::SetConnectTimeout(int AValue) {
    FConnectTimeout = AValue;
    if (FIOHandler)
        FIOHandler->SetConnectTimeout(AValue);
}

int TIdTCPClientCustom::ReadTimeout() const { return FIOHandler ? FIOHandler->ReadTimeout() : FReadTimeout; }

void TIdTCPClientCustom::SetReadTimeout(int AValue) {
    FReadTimeout = AValue;
    if (FIOHandler)
        FIOHandler->SetReadTimeout(AValue);
}

void TIdTCPClientCustom::SetBoundIP(const std::string& AValue) {
    FBoundIP = AValue;
    if (FSocket)
        FSocket->SetBoundIP(AValue);
}

void TIdTCPClientCustom::SetBoundPort(uint16_t AValue) {
    FBoundPort = AValue;
    if (FSocket)
        FSocket->SetBoundPort(AValue);
}

void TIdTCPClientCustom::SetBoundPortMin(uint16_t AValue) {
    FBoundPortMin = AValue;
    if (FSocket)
        FSocket->SetBoundPortMin(AValue);
}

void TIdTCPClientCustom::SetBoundPortMax(uint16_t AValue) {
    FBoundPortMax = AValue;
    if (FSocket)
        FSocket->SetBoundPortMax(AValue);
}

TIdReuseSocket TIdTCPClientCustom::ReuseSocket() const { return FSocket ? FSocket->ReuseSocket() : FReuseSocket; }

void TIdTCPClientCustom::SetReuseSocket(TIdReuseSocket AValue) {
    FReuseSocket = AValue;
    if (FSocket)
        FSocket->SetReuseSocket(AValue);
}

bool TIdTCPClientCustom::UseNagle() const { return FSocket ? FSocket->UseNagle() : FUseNagle; }

void TIdTCPClientCustom::SetUseNagle(bool AValue) {
    FUseNagle = AValue;
    if (FSocket)
        FSocket->SetUseNagle(AValue);
}

void TIdTCPClientCustom::SetLingerState(int AValue) {
    FLingerState = AValue;
    if (FSocket)
        FSocket->SetLingerState(AValue);
}

void TIdTCPClientCustom::SetOnBeforeBind(TNotifyEvent AValue) {
    FOnBeforeBind = std::move(AValue);
    if (FSocket)
        FSocket->SetOnBeforeBind(FOnBeforeBind);
}

void TIdTCPClientCustom::SetOnAfterBind(TNotifyEvent AValue) {
    FOnAfterBind = std::move(AValue);
    if (FSocket)
        FSocket->SetOnAfterBind(FOnAfterBind);
}

void TIdTCPClientCustom::SetOnSocketAllocated(TNotifyEvent AValue) {
    FOnSocketAllocated = std::move(AValue);
    if (FSocket)
        FSocket->SetOnSocketAllocated(FOnSocketAllocated);
}
