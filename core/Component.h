// Components: objects that own the components created with them and tell
// each other when one goes away, so references never dangle.
#pragma once

#include <string>
#include <vector>

#include "core/Persistent.h"

enum TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
public:
    // A non-null owner takes ownership: it destroys this component with itself.
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    // Raises EListError outside 0..ComponentCount()-1.
    TComponent* Components(int AIndex) const;

    // Moves ownership of AComponent to this component (from any former owner).
    void InsertComponent(TComponent* AComponent);
    // Gives up ownership of AComponent; the caller must destroy it.
    void RemoveComponent(TComponent* AComponent);

    // Registers AComponent and this component with each other: whichever is
    // destroyed first sends Notification(itself, opRemove) to the other.
    void FreeNotification(TComponent* AComponent);
    // Undoes FreeNotification in both directions.
    void RemoveFreeNotification(TComponent* AComponent);

    const std::string& Name() const { return FName; }
    void SetName(std::string Value) { FName = std::move(Value); }

protected:
    // Called with opInsert/opRemove when a component joins or leaves this
    // owner, and with opRemove when a free-notified component is destroyed.
    // The base forwards the call to every owned component, so siblings hear
    // of each other; overrides clear their references and call the base.
    // On opInsert the new component is still being constructed: only its
    // TComponent part exists.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Points AField at AValue, moving the free notification from the old
    // component to the new one, so that Notification can clear the field.
    template <class T>
    void SetReference(T*& AField, T* AValue) {
        if (AField == AValue)
            return;
        if (AField)
            RemoveFreeNotification(AField);
        AField = AValue;
        if (AField)
            FreeNotification(AField);
    }

    // Destroys the owned components, the newest first. A derived destructor
    // calls it when their removal must still reach its own Notification.
    void DestroyComponents();

private:
    void SendFreeNotifications();

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;   // owned, in order of creation
    std::vector<TComponent*> FFreeNotifies; // not owned, kept symmetric
    std::string FName;
    bool FDestroying = false;
};
