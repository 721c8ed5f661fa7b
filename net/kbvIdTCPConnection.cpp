#include "net/kbvIdTCPConnection.h"

namespace {
const char* const DifferentInterceptMessage = "The IOHandler already has a different Intercept assigned";
}

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdTCPConnection::~TIdTCPConnection() {
    // Before the base destructor: releasing a managed handler must still
    // reach this class's Notification.
    if (FIOHandler) {
        try {
            if (FIOHandler->Opened())
                FIOHandler->Close();
        } catch (...) {
        }
        SetIOHandler(nullptr);
    }
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
    if (AValue == FIOHandler)
        return;
    if (FIntercept && AValue && AValue->Intercept() && AValue->Intercept() != FIntercept)
        throw EIdException(DifferentInterceptMessage);
    TIdIOHandler* Old = FIOHandler;
    const bool OldManaged = FManagedIOHandler;
    FIOHandler = nullptr;
    FSocket = nullptr;
    FManagedIOHandler = false;
    if (Old) {
        if (OldManaged) {
            delete Old;  // the connection made it, so it frees it
        } else {
            if (Old->WorkTarget() == this)
                Old->SetWorkTarget(nullptr);
            RemoveFreeNotification(Old);
        }
    }
    if (AValue) {
        FreeNotification(AValue);
        AValue->SetWorkTarget(this);
        if (FIntercept)
            AValue->SetIntercept(FIntercept);
        FSocket = dynamic_cast<TIdIOHandlerSocket*>(AValue);
    }
    FIOHandler = AValue;
}

TIdConnectionIntercept* TIdTCPConnection::Intercept() const {
    return FIOHandler ? FIOHandler->Intercept() : FIntercept;
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
    // A handler's intercept that did not come from this connection is not replaced.
    if (FIOHandler && FIOHandler->Intercept() && FIOHandler->Intercept() != AValue &&
        FIOHandler->Intercept() != FIntercept)
        throw EIdException(DifferentInterceptMessage);
    SetReference(FIntercept, AValue);
    if (FIOHandler)
        FIOHandler->SetIntercept(AValue);
}

bool TIdTCPConnection::Connected() { return FIOHandler && FIOHandler->Connected(); }

void TIdTCPConnection::Disconnect(bool ANotifyPeer) {
    try {
        if (ANotifyPeer && Connected())
            DisconnectNotifyPeer();
    } catch (const std::exception&) {
        // The peer may be gone already; closing our side is what counts.
    }
    if (FIOHandler && FIOHandler->Opened()) {
        ReportStatus(hsDisconnecting);
        FIOHandler->Close();
        NotifyDisconnected();
        ReportStatus(hsDisconnected);
    }
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected) {
    if (FIOHandler)
        FIOHandler->CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    else if (ARaiseExceptionIfDisconnected)
        throw EIdNotConnected();
}

void TIdTCPConnection::WriteHeader(const TStringList& AHeader) {
    if (!FIOHandler)
        throw EIdNotConnected();
    FIOHandler->WriteBufferOpen();
    try {
        for (int I = 0; I < AHeader.Count(); ++I) {
            std::string Line = AHeader.Strings(I);
            if (auto Pos = Line.find('='); Pos != std::string::npos)
                Line.replace(Pos, 1, ": ");
            FIOHandler->WriteLn(Line);
        }
        FIOHandler->WriteLn();
    } catch (...) {
        FIOHandler->WriteBufferCancel();
        throw;
    }
    FIOHandler->WriteBufferClose();
}

void TIdTCPConnection::NotifyDisconnected() {
    if (FOnDisconnected)
        FOnDisconnected(this);
}

void TIdTCPConnection::CheckNotConnected() {
    if (Connected())
        throw EIdException("Cannot change a connected IOHandler.");
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove) {
        if (AComponent == FIOHandler) {
            FIOHandler = nullptr;
            FSocket = nullptr;
            FManagedIOHandler = false;
        }
        if (AComponent == FIntercept)
            FIntercept = nullptr;
    }
    TIdComponent::Notification(AComponent, Operation);
}
