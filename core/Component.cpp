#include "core/Component.h"

#include <algorithm>

#include "core/Exceptions.h"

namespace {
void Erase(std::vector<TComponent*>& AList, TComponent* AComponent) {
    auto It = std::find(AList.begin(), AList.end(), AComponent);
    if (It != AList.end())
        AList.erase(It);
}
}  // namespace

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner)
        AOwner->InsertComponent(this);
}

// The bookkeeping below does not depend on Notification overrides calling the
// base, so a careless override cannot leave a dangling pointer behind.
TComponent::~TComponent() {
    FDestroying = true;
    SendFreeNotifications();
    DestroyComponents();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int AIndex) const {
    if (AIndex < 0 || AIndex >= ComponentCount())
        RaiseListIndexError(AIndex);
    return FComponents[static_cast<size_t>(AIndex)];
}

void TComponent::InsertComponent(TComponent* AComponent) {
    if (!AComponent || AComponent == this || AComponent->FOwner == this)
        return;
    if (AComponent->FOwner)
        AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner != this)
        return;
    Erase(FComponents, AComponent);
    AComponent->FOwner = nullptr;
    Notification(AComponent, opRemove);
}

void TComponent::FreeNotification(TComponent* AComponent) {
    // A component on its way out takes no new registrations: it could not
    // honour them, and its notification loop would never end.
    if (!AComponent || AComponent == this || FDestroying || AComponent->FDestroying)
        return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) != FFreeNotifies.end())
        return;
    FFreeNotifies.push_back(AComponent);
    AComponent->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (!AComponent)
        return;
    Erase(FFreeNotifies, AComponent);
    Erase(AComponent->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove)
        RemoveFreeNotification(AComponent);
    // A child may destroy components while it is notified; keep the index
    // inside the list as it shrinks.
    size_t I = FComponents.size();
    while (I > 0) {
        --I;
        FComponents[I]->Notification(AComponent, Operation);
        I = std::min(I, FComponents.size());
    }
}

void TComponent::DestroyComponents() {
    // Detach before destroying, so the owner's notification reaches a child
    // that is still whole.
    while (!FComponents.empty()) {
        TComponent* Child = FComponents.back();
        RemoveComponent(Child);
        delete Child;
    }
}

void TComponent::SendFreeNotifications() {
    while (!FFreeNotifies.empty()) {
        TComponent* Other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        Erase(Other->FFreeNotifies, this);
        Other->Notification(this, opRemove);
    }
}
