// The base of the transport and protocol components: progress of reads and
// writes ("work") and connection status, reported through events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/Component.h"

enum TIdStatus { hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected, hsStatusText };

enum TWorkMode { wmRead = 0, wmWrite = 1 };

using TIdStatusEvent = std::function<void(TObject* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode)>;

// The status text format of AStatus: "Resolving hostname %s.", "Connecting
// to %s.", "Connected.", "Disconnecting.", "Disconnected.", "%s".
const char* IdStatusFormat(TIdStatus AStatus);

class TIdBaseComponent : public TComponent {
public:
    explicit TIdBaseComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
};

// Holds one usage of the socket stack for its lifetime.
class TIdComponent : public TIdBaseComponent {
public:
    explicit TIdComponent(TComponent* AOwner = nullptr);
    ~TIdComponent() override;

    // Work is counted per mode. Begin/End nest: only the outermost pair
    // fires OnWorkBegin/OnWorkEnd, and DoWork fires OnWork (with the running
    // total) only inside a pair. With a WorkTarget set, all three go to it.
    void BeginWork(TWorkMode AWorkMode, int64_t ASize = 0);
    void DoWork(TWorkMode AWorkMode, int64_t ACount);
    void EndWork(TWorkMode AWorkMode);

    // Fires OnStatus with the status text filled with AArgument.
    void ReportStatus(TIdStatus AStatus, const std::string& AArgument = "");

    TIdComponent* WorkTarget() const { return FWorkTarget; }
    // Cleared when the target is destroyed.
    void SetWorkTarget(TIdComponent* AValue);

    const TIdStatusEvent& OnStatus() const { return FOnStatus; }
    void SetOnStatus(TIdStatusEvent AValue) { FOnStatus = std::move(AValue); }
    const TWorkBeginEvent& OnWorkBegin() const { return FOnWorkBegin; }
    void SetOnWorkBegin(TWorkBeginEvent AValue) { FOnWorkBegin = std::move(AValue); }
    const TWorkEvent& OnWork() const { return FOnWork; }
    void SetOnWork(TWorkEvent AValue) { FOnWork = std::move(AValue); }
    const TWorkEndEvent& OnWorkEnd() const { return FOnWorkEnd; }
    void SetOnWorkEnd(TWorkEndEvent AValue) { FOnWorkEnd = std::move(AValue); }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    struct TWorkInfo {
        int64_t Count = 0;     // running count since the outermost BeginWork
        int64_t CountMax = 0;  // the total it announced
        int Level = 0;         // nesting depth
    };

    TIdStatusEvent FOnStatus;
    TWorkBeginEvent FOnWorkBegin;
    TWorkEvent FOnWork;
    TWorkEndEvent FOnWorkEnd;
    TIdComponent* FWorkTarget = nullptr;
    TWorkInfo FWorkInfos[2];
};
