// The component model: ownership and destruction order, names, notifications, and the
// display of errors that are shown rather than raised.
#include <gtest/gtest.h>

#include "toolkit/component.h"

namespace veldor {
namespace {

std::vector<std::string>* gLog = nullptr;

class TProbe : public TComponent {
 public:
  explicit TProbe(TComponent* owner, std::string tag = "") : TComponent(owner), Tag(std::move(tag)) {}
  ~TProbe() override {
    if (gLog) gLog->push_back("destroy " + Tag);
  }
  std::string Tag;
  std::vector<std::string> Heard;
  TComponent* Watched = nullptr;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    // A removed component is already down to its TComponent part: compare, never use it.
    if (op == opInsert)
      Heard.push_back("insert " + dynamic_cast<TProbe*>(c)->Tag);
    else
      Heard.push_back(c == Watched ? "remove watched" : "remove");
    if (op == opRemove && c == Watched) Watched = nullptr;
    TComponent::Notification(c, op);
  }
};

TEST(ComponentTest, OwnersDestroyWhatTheyOwnLastMadeFirst) {
  std::vector<std::string> log;
  gLog = &log;
  {
    TProbe owner(nullptr, "owner");
    owner.CreateOwned<TProbe>("a");
    TProbe* b = owner.CreateOwned<TProbe>("b");
    b->CreateOwned<TProbe>("b1");
    TProbe listed(&owner, "listed");  // listed, not owned
    EXPECT_EQ(owner.ComponentCount(), 3);
    EXPECT_EQ(listed.Owner(), &owner);
    EXPECT_EQ(owner.Heard, (std::vector<std::string>{"insert a", "insert b"}));
  }
  EXPECT_EQ(log, (std::vector<std::string>{"destroy listed", "destroy owner", "destroy b",
                                           "destroy b1", "destroy a"}));
  gLog = nullptr;
}

TEST(ComponentTest, DestroyOwnedAndRemovalNotices) {
  TProbe owner(nullptr, "owner");
  TProbe* a = owner.CreateOwned<TProbe>("a");
  TProbe* b = owner.CreateOwned<TProbe>("b");
  a->Heard.clear();
  a->Watched = b;
  EXPECT_TRUE(owner.DestroyOwned(b));
  EXPECT_FALSE(owner.DestroyOwned(b));
  EXPECT_EQ(a->Heard, (std::vector<std::string>{"remove watched"}));  // siblings hear it
  EXPECT_EQ(a->Watched, nullptr);
  EXPECT_EQ(owner.ComponentCount(), 1);
  TProbe stranger(nullptr, "stranger");
  EXPECT_FALSE(owner.DestroyOwned(&stranger));
}

TEST(ComponentTest, FreeNotificationWorksBothWays) {
  TProbe keeper(nullptr, "keeper");
  {
    TProbe target(nullptr, "target");
    keeper.Watched = &target;
    keeper.FreeNotification(&target);
  }
  EXPECT_EQ(keeper.Watched, nullptr);
  // The watcher going first leaves nothing dangling in the watched one.
  TProbe target(nullptr, "target2");
  {
    TProbe watcher(nullptr, "watcher");
    watcher.FreeNotification(&target);
  }
  SUCCEED();  // target2's destructor at scope end must not reach the gone watcher (ASan)
}

TEST(ComponentTest, NamesAreIdentifiersUniqueUnderOneOwner) {
  TProbe owner(nullptr, "owner");
  TProbe* a = owner.CreateOwned<TProbe>("a");
  TProbe* b = owner.CreateOwned<TProbe>("b");
  a->SetName("Table1");
  EXPECT_THROW(b->SetName("table1"), EComponentError);
  EXPECT_THROW(b->SetName("1Table"), EComponentError);
  EXPECT_THROW(b->SetName("Ta ble"), EComponentError);
  b->SetName("_Table2");
  EXPECT_EQ(owner.FindComponent("TABLE1"), a);
  EXPECT_EQ(owner.FindComponent(""), nullptr);
  a->SetName("");
  b->SetName("Table1");
}

TEST(ComponentTest, ShownErrorsGoToTheHandlerButAbortIsSilent) {
  std::vector<std::string> shown;
  SetApplicationExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  try {
    throw EDatabaseError("visible");
  } catch (...) {
    ApplicationHandleException();
  }
  try {
    Abort();
  } catch (...) {
    ApplicationHandleException();
  }
  SetApplicationExceptionHandler([](const std::exception&) { throw std::runtime_error("display broke"); });
  try {
    throw EDatabaseError("still handled");
  } catch (...) {
    EXPECT_NO_THROW(ApplicationHandleException());
  }
  SetApplicationExceptionHandler(nullptr);
  EXPECT_EQ(shown, (std::vector<std::string>{"visible"}));
}

TEST(ComponentTest, LoadingDefersUntilLoaded) {
  struct TLoadable : TComponent {
    using TComponent::TComponent;
    int LoadedCalls = 0;
    void Loaded() override {
      ++LoadedCalls;
      TComponent::Loaded();
    }
  } c;
  c.BeginLoading();
  EXPECT_TRUE(c.Loading());
  c.EndLoading();
  EXPECT_FALSE(c.Loading());
  EXPECT_EQ(c.LoadedCalls, 1);
}

}  // namespace
}  // namespace veldor
