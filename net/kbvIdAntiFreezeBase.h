// An optional process-wide hook that the blocking loops of the transport
// call, so that a user interface on the main thread can keep processing its
// messages while it waits.
#pragma once

#include "net/kbvIdComponent.h"

// At most one exists at a time; a second raises EIdException "Only one
// TIdAntiFreeze can exist per application.".
class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    explicit TIdAntiFreezeBase(TComponent* AOwner = nullptr);
    ~TIdAntiFreezeBase() override;

    // Calls Process of the instance when ShouldUse, and then only when
    // AIdle, or not OnlyWhenIdle, or AOverride.
    static void DoProcess(bool AIdle = true, bool AOverride = false);
    // An instance exists, is active, and the caller is the main thread.
    static bool ShouldUse();

    // Lets the user interface process what waits.
    virtual void Process() = 0;

    bool Active() const { return FActive; }
    void SetActive(bool AValue) { FActive = AValue; }
    // Milliseconds a loop may wait between two calls.
    int IdleTimeOut() const { return FIdleTimeOut; }
    void SetIdleTimeOut(int AValue) { FIdleTimeOut = AValue; }
    bool OnlyWhenIdle() const { return FOnlyWhenIdle; }
    void SetOnlyWhenIdle(bool AValue) { FOnlyWhenIdle = AValue; }

private:
    bool FActive = true;
    int FIdleTimeOut = 250;
    bool FOnlyWhenIdle = true;
};
