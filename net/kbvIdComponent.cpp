#include "net/kbvIdComponent.h"

#include "core/Format.h"
#include "net/kbvIdStack.h"

const char* IdStatusFormat(TIdStatus AStatus) {
    switch (AStatus) {
        case hsResolving: return "Resolving hostname %s.";
        case hsConnecting: return "Connecting to %s.";
        case hsConnected: return "Connected.";
        case hsDisconnecting: return "Disconnecting.";
        case hsDisconnected: return "Disconnected.";
        default: return "%s";
    }
}

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) { TIdStack::IncUsage(); }

TIdComponent::~TIdComponent() { TIdStack::DecUsage(); }

void TIdComponent::BeginWork(TWorkMode AWorkMode, int64_t ASize) {
    if (FWorkTarget) {
        FWorkTarget->BeginWork(AWorkMode, ASize);
        return;
    }
    TWorkInfo& Info = FWorkInfos[AWorkMode];
    if (++Info.Level == 1) {
        Info.Count = 0;
        Info.CountMax = ASize;
        if (FOnWorkBegin)
            FOnWorkBegin(this, AWorkMode, ASize);
    }
}

void TIdComponent::DoWork(TWorkMode AWorkMode, int64_t ACount) {
    if (FWorkTarget) {
        FWorkTarget->DoWork(AWorkMode, ACount);
        return;
    }
    TWorkInfo& Info = FWorkInfos[AWorkMode];
    if (Info.Level >= 1) {
        Info.Count += ACount;
        if (FOnWork)
            FOnWork(this, AWorkMode, Info.Count);
    }
}

void TIdComponent::EndWork(TWorkMode AWorkMode) {
    if (FWorkTarget) {
        FWorkTarget->EndWork(AWorkMode);
        return;
    }
    TWorkInfo& Info = FWorkInfos[AWorkMode];
    if (Info.Level == 1 && FOnWorkEnd)
        FOnWorkEnd(this, AWorkMode);
    if (Info.Level > 0)  // an unmatched EndWork must not unbalance the next pair
        --Info.Level;
}

void TIdComponent::ReportStatus(TIdStatus AStatus, const std::string& AArgument) {
    if (FOnStatus)
        FOnStatus(this, AStatus, Format(IdStatusFormat(AStatus), AArgument));
}

void TIdComponent::SetWorkTarget(TIdComponent* AValue) {
    SetReference(FWorkTarget, AValue);
}

void TIdComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FWorkTarget)
        FWorkTarget = nullptr;
    TIdBaseComponent::Notification(AComponent, Operation);
}
