#include "core/Component.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/Exceptions.h"

namespace {
using TLog = std::vector<std::string>;

// Logs what it hears ("O -A": O heard that A goes) and its death ("~A"). It
// reads its links when it dies, so ASan reports a link left dangling.
class TProbe : public TComponent {
public:
    TProbe(TComponent* AOwner, std::string AName, TLog& ALog) : TComponent(AOwner), FLog(ALog) { SetName(AName); }
    ~TProbe() override {
        for (TComponent* Link : FLinks)
            FLog.push_back(Name() + " saw " + Link->Name());
        FLog.push_back("~" + Name());
    }
    void Link(TComponent* AOther, bool ARegister = true) {
        FLinks.push_back(AOther);
        if (ARegister)
            AOther->FreeNotification(this);
    }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        if (Operation == opRemove)
            std::erase(FLinks, AComponent);
        FLog.push_back(Name() + (Operation == opInsert ? " +" : " -") + AComponent->Name());
        TComponent::Notification(AComponent, Operation);
    }

    TLog& FLog;
    std::vector<TComponent*> FLinks;
};

// Destroys its children itself, so their removal still reaches its override.
struct TEarlyOwner : TProbe {
    using TProbe::TProbe;
    ~TEarlyOwner() override { DestroyComponents(); }
};

int Count(const TLog& ALog, const std::string& AEntry) {
    return static_cast<int>(std::count(ALog.begin(), ALog.end(), AEntry));
}
}  // namespace

TEST(Component, OwnerTracksAndDestroysChildrenNewestFirst) {
    TLog Log;
    auto* Owner = new TEarlyOwner(nullptr, "O", Log);
    for (const char* Name : {"A", "B", "C", "D"})
        new TProbe(Owner, Name, Log);
    EXPECT_EQ(Count(Log, "O +"), 4);  // announced before the child is named
    EXPECT_THROW(Owner->Components(4), EListError);
    delete Owner->Components(3);  // destroyed elsewhere: leaves its owner
    TEarlyOwner Other(nullptr, "P", Log);
    Other.InsertComponent(Owner->Components(0));
    EXPECT_EQ(Count(Log, "O -D") + Count(Log, "O -A") + Count(Log, "P +A"), 3);
    ASSERT_EQ(Owner->ComponentCount(), 2);

    Log.clear();
    delete Owner;
    std::erase_if(Log, [](const std::string& E) { return E[0] != 'O' && E[0] != '~'; });
    EXPECT_EQ(Log, (TLog{"O -C", "~C", "O -B", "~B", "~O"}));
}

TEST(Component, NotificationsReachSiblingsAndFreeNotifiedComponents) {
    TLog Log;
    TProbe Owner(nullptr, "O", Log);
    auto* A = new TProbe(&Owner, "A", Log);
    A->Link(new TProbe(&Owner, "B", Log), false);  // siblings hear through the owner
    delete Owner.Components(1);
    EXPECT_EQ(Count(Log, "A -B"), 1);

    auto* X = new TProbe(nullptr, "X", Log);
    auto* Y = new TProbe(nullptr, "Y", Log);
    Y->FreeNotification(X);
    Y->FreeNotification(X);
    delete X;  // the registration holds both ways, once
    EXPECT_EQ(Count(Log, "Y -X"), 1);
    auto* Z = new TProbe(nullptr, "Z", Log);
    Z->FreeNotification(Y);
    Y->RemoveFreeNotification(Z);  // forgotten both ways
    delete Y;
    delete Z;
    EXPECT_EQ(Count(Log, "Z -Y") + Count(Log, "Y -Z"), 0);

    // An override that skips the base must not leave a dangling entry either.
    struct TCareless : TComponent {
        using TComponent::TComponent;
        void Notification(TComponent*, TOperation) override {}
    };
    auto* Careless = new TCareless(nullptr);
    auto* Other = new TComponent(nullptr);
    Other->FreeNotification(Careless);
    delete Other;
    delete Careless;
}

// Everything linked to everything: in any order of deletion no link may
// dangle and each component dies exactly once.
TEST(Component, CrossLinkedComponentsDieInAnyOrder) {
    const TLog Names = {"A", "B", "O", "X"};  // O owns A and B
    std::vector<size_t> Order = {0, 1, 2, 3};
    do {
        TLog Log;
        auto* Owner = new TProbe(nullptr, "O", Log);
        std::vector<TProbe*> All = {new TProbe(Owner, "A", Log), new TProbe(Owner, "B", Log), Owner,
                                    new TProbe(nullptr, "X", Log)};
        for (TProbe* From : All)
            for (TProbe* To : All)
                if (From != To)
                    From->Link(To);
        for (size_t I : Order)
            if (Count(Log, "~" + Names[I]) == 0)
                delete All[I];
        for (const std::string& Name : Names)
            EXPECT_EQ(Count(Log, "~" + Name), 1) << Name;
    } while (std::next_permutation(Order.begin(), Order.end()));
}
