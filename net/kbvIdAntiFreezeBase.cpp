#include "net/kbvIdAntiFreezeBase.h"

#include <atomic>

#include "net/kbvIdGlobal.h"

namespace {
std::atomic<TIdAntiFreezeBase*> GAntiFreeze{nullptr};
}  // namespace

TIdAntiFreezeBase::TIdAntiFreezeBase(TComponent* AOwner) : TIdBaseComponent(AOwner) {
    TIdAntiFreezeBase* Expected = nullptr;
    if (!GAntiFreeze.compare_exchange_strong(Expected, this))
        throw EIdException("Only one TIdAntiFreeze can exist per application.");
}

TIdAntiFreezeBase::~TIdAntiFreezeBase() {
    TIdAntiFreezeBase* Expected = this;
    GAntiFreeze.compare_exchange_strong(Expected, nullptr);
}

bool TIdAntiFreezeBase::ShouldUse() {
    TIdAntiFreezeBase* Instance = GAntiFreeze.load();
    return Instance && Instance->FActive && InMainThread();
}

void TIdAntiFreezeBase::DoProcess(bool AIdle, bool AOverride) {
    if (!ShouldUse())
        return;
    TIdAntiFreezeBase* Instance = GAntiFreeze.load();
    if (AIdle || !Instance->FOnlyWhenIdle || AOverride)
        Instance->Process();
}
