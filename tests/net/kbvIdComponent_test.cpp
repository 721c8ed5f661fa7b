#include "net/kbvIdComponent.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "net/kbvIdAntiFreezeBase.h"
#include "net/kbvIdStack.h"

namespace {
// Records every event of a component as "<name> <event> <mode> <value>".
struct TWorkLog {
    std::vector<std::string> Entries;

    void Attach(TIdComponent& AComponent, const std::string& AName) {
        AComponent.SetOnWorkBegin([this, AName](TObject*, TWorkMode AMode, int64_t AMax) {
            Entries.push_back(AName + " begin " + std::to_string(AMode) + " " + std::to_string(AMax));
        });
        AComponent.SetOnWork([this, AName](TObject*, TWorkMode AMode, int64_t ACount) {
            Entries.push_back(AName + " work " + std::to_string(AMode) + " " + std::to_string(ACount));
        });
        AComponent.SetOnWorkEnd([this, AName](TObject*, TWorkMode AMode) {
            Entries.push_back(AName + " end " + std::to_string(AMode));
        });
    }
};

using TLines = std::vector<std::string>;
}  // namespace

TEST(Component, OnlyTheOutermostWorkPairFiresBeginAndEnd) {
    TIdComponent Component;
    TWorkLog Log;
    Log.Attach(Component, "c");
    Component.DoWork(wmRead, 7);  // outside a pair: ignored
    Component.BeginWork(wmRead, 100);
    Component.BeginWork(wmRead, 5);
    Component.DoWork(wmRead, 10);
    Component.BeginWork(wmWrite);  // modes count apart
    Component.DoWork(wmWrite, 3);
    Component.EndWork(wmWrite);
    Component.DoWork(wmRead, 5);
    Component.EndWork(wmRead);
    Component.EndWork(wmRead);
    Component.EndWork(wmRead);  // unmatched: ignored
    Component.DoWork(wmRead, 1);
    Component.BeginWork(wmRead, 2);  // a new pair starts counting from 0
    Component.DoWork(wmRead, 1);
    Component.EndWork(wmRead);
    EXPECT_EQ(Log.Entries, (TLines{"c begin 0 100", "c work 0 10", "c begin 1 0", "c work 1 3", "c end 1",
                                   "c work 0 15", "c end 0", "c begin 0 2", "c work 0 1", "c end 0"}));
}

TEST(Component, WorkGoesToTheWorkTargetUntilItIsDestroyed) {
    TIdComponent Source;
    auto Target = std::make_unique<TIdComponent>();
    TWorkLog Log;
    Log.Attach(Source, "source");
    Log.Attach(*Target, "target");
    TObject* Sender = nullptr;
    Target->SetOnWork([&](TObject* ASender, TWorkMode, int64_t) { Sender = ASender; });

    Source.SetWorkTarget(Target.get());
    Source.BeginWork(wmWrite, 10);
    Source.DoWork(wmWrite, 4);
    Source.EndWork(wmWrite);
    EXPECT_EQ(Log.Entries, (TLines{"target begin 1 10", "target end 1"}));
    EXPECT_EQ(Sender, Target.get());

    Target.reset();
    EXPECT_EQ(Source.WorkTarget(), nullptr);
    Source.BeginWork(wmRead);
    EXPECT_EQ(Log.Entries.back(), "source begin 0 0");
}

TEST(Component, ChangingTheWorkTargetDropsTheOldLink) {
    auto Owner = std::make_unique<TIdComponent>();
    auto* First = new TIdComponent(Owner.get());
    TIdComponent Second, Source;
    Source.SetWorkTarget(First);
    Source.SetWorkTarget(&Second);
    Owner.reset();  // destroys First: must not reach Source any more
    EXPECT_EQ(Source.WorkTarget(), &Second);
    Source.SetWorkTarget(nullptr);
    EXPECT_EQ(Source.WorkTarget(), nullptr);
}

TEST(Component, StatusTexts) {
    TIdComponent Component;
    Component.ReportStatus(hsConnected);  // no handler: nothing happens
    TLines Texts;
    std::vector<TIdStatus> Codes;
    Component.SetOnStatus([&](TObject* ASender, TIdStatus AStatus, const std::string& AText) {
        EXPECT_EQ(ASender, &Component);
        Codes.push_back(AStatus);
        Texts.push_back(AText);
    });
    Component.ReportStatus(hsResolving, "example.com");
    Component.ReportStatus(hsConnecting, "127.0.0.1");
    Component.ReportStatus(hsConnected);
    Component.ReportStatus(hsDisconnecting);
    Component.ReportStatus(hsDisconnected);
    Component.ReportStatus(hsStatusText, "50% done");
    EXPECT_EQ(Texts, (TLines{"Resolving hostname example.com.", "Connecting to 127.0.0.1.", "Connected.",
                             "Disconnecting.", "Disconnected.", "50% done"}));
    EXPECT_EQ(Codes.front(), hsResolving);
    EXPECT_EQ(Codes.back(), hsStatusText);
    EXPECT_TRUE(static_cast<bool>(Component.OnStatus()));
}

TEST(Component, HoldsAStackUsageForItsLifetime) {
    bool HadStack = GStack() != nullptr;
    {
        TIdComponent Component;
        EXPECT_NE(GStack(), nullptr);
    }
    EXPECT_EQ(GStack() != nullptr, HadStack);
}

namespace {
class TCountingAntiFreeze : public TIdAntiFreezeBase {
public:
    using TIdAntiFreezeBase::TIdAntiFreezeBase;
    void Process() override { ++FCalls; }
    int FCalls = 0;
};
}  // namespace

TEST(AntiFreeze, ProcessesOnlyWhenItShould) {
    TIdAntiFreezeBase::DoProcess();  // none exists: nothing to call
    EXPECT_FALSE(TIdAntiFreezeBase::ShouldUse());
    {
        TCountingAntiFreeze AntiFreeze;
        EXPECT_TRUE(AntiFreeze.Active());
        EXPECT_EQ(AntiFreeze.IdleTimeOut(), 250);
        EXPECT_TRUE(AntiFreeze.OnlyWhenIdle());
        EXPECT_TRUE(TIdAntiFreezeBase::ShouldUse());

        TIdAntiFreezeBase::DoProcess();
        TIdAntiFreezeBase::DoProcess(false);  // busy, and only when idle
        TIdAntiFreezeBase::DoProcess(false, true);
        EXPECT_EQ(AntiFreeze.FCalls, 2);
        AntiFreeze.SetOnlyWhenIdle(false);
        TIdAntiFreezeBase::DoProcess(false);
        EXPECT_EQ(AntiFreeze.FCalls, 3);

        std::thread([] { TIdAntiFreezeBase::DoProcess(true, true); }).join();  // not the main thread
        EXPECT_EQ(AntiFreeze.FCalls, 3);
        AntiFreeze.SetActive(false);
        EXPECT_FALSE(TIdAntiFreezeBase::ShouldUse());
        TIdAntiFreezeBase::DoProcess();
        EXPECT_EQ(AntiFreeze.FCalls, 3);
    }
    EXPECT_FALSE(TIdAntiFreezeBase::ShouldUse());
}

TEST(AntiFreeze, OnlyOnePerProcess) {
    auto First = std::make_unique<TCountingAntiFreeze>();
    try {
        TCountingAntiFreeze Second;
        FAIL() << "a second instance was created";
    } catch (const EIdException& E) {
        EXPECT_STREQ(E.what(), "Only one TIdAntiFreeze can exist per application.");
    }
    EXPECT_TRUE(TIdAntiFreezeBase::ShouldUse());  // the first is still the one
    First.reset();
    EXPECT_NO_THROW(TCountingAntiFreeze Again);
}
