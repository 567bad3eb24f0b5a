#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/classes.h"
#include "test_support.h"

namespace {

using Log = std::vector<std::string>;

// Writes its name to a log when freed, and what it is told about owned components.
class TProbe : public rtl::TComponent {
  RTL_CLASS(TProbe, rtl::TComponent)
 public:
  TProbe(rtl::TComponent* owner, Log* log, const std::string& name) : TComponent(owner), log_(log) {
    SetName(name);
  }
  ~TProbe() override {
    DestroyComponents();
    log_->push_back("free " + Name());
  }
  // Freed together with this one, from inside this one's destructor.
  rtl::TComponent* partner = nullptr;

 protected:
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override {
    log_->push_back((operation == rtl::TOperation::opInsert ? "insert into " : "remove from ") +
                    Name() + (component->Name().empty() ? "" : ": " + component->Name()));
  }

 private:
  Log* log_;
};
RTL_DEFINE_CLASS(TProbe)

class TPartnerKiller : public TProbe {
  RTL_CLASS(TPartnerKiller, TProbe)
 public:
  using TProbe::TProbe;
  ~TPartnerKiller() override { delete partner; }
};
RTL_DEFINE_CLASS(TPartnerKiller)

TEST(Component, FreeingTheOwnerFreesWhatItOwnsLastFirst) {
  Log log;
  auto* root = new TProbe(nullptr, &log, "root");
  new TProbe(new TProbe(root, &log, "a"), &log, "a1");
  new TProbe(root, &log, "b");
  EXPECT_EQ(root->ComponentCount(), 2) << "a grandchild belongs to its own owner only";
  log.clear();
  delete root;
  EXPECT_EQ(log, (Log{"free b", "free a1", "free a", "free root"}))
      << "owned components should be freed last added first, each before its owner";
}

TEST(Component, ADestructorMayFreeASibling) {
  Log log;
  auto* root = new TProbe(nullptr, &log, "root");
  auto* victim = new TProbe(root, &log, "victim");
  new TProbe(root, &log, "middle");
  (new TPartnerKiller(root, &log, "killer"))->partner = victim;
  log.clear();
  delete root;
  EXPECT_EQ(log, (Log{"free victim", "remove from root: victim", "free killer", "free middle",
                      "free root"}))
      << "the sibling should be freed once, leaving its owner's list before the owner reaches it";
}

TEST(Component, OwnerIsToldOfInsertionAndRemoval) {
  Log log;
  TProbe first(nullptr, &log, "first");
  TProbe second(nullptr, &log, "second");
  auto* a = new TProbe(&first, &log, "a");
  auto* freed = new TProbe(&first, &log, "freed");
  auto* c = new TProbe(&first, &log, "c");
  log.clear();
  rtl::TComponent child(&first);
  child.SetName("child");
  second.InsertComponent(&child);
  delete freed;
  EXPECT_EQ(log, (Log{"insert into first", "remove from first: child", "insert into second: child",
                      "free freed", "remove from first: freed"}))
      << "each owner should be told of every component it gains or loses";
  ASSERT_EQ(first.ComponentCount(), 2) << "moved and freed components should leave the old owner";
  EXPECT_EQ(first.Components(0), a) << "the others should keep their order";
  EXPECT_EQ(first.Components(1), c) << "the others should keep their order";
  second.RemoveComponent(&child);
  EXPECT_EQ(child.Owner(), nullptr) << "a removed component has no owner";
  EXPECT_THROW(second.RemoveComponent(&child), rtl::Exception) << "it is no longer owned there";
}

TEST(Component, RefusesClashingNamesAndBadOwnersChangingNothing) {
  rtl::TComponent owner(nullptr);
  rtl::TComponent a(&owner), b(&owner), c(nullptr);
  a.SetName("Button1");
  EXPECT_NO_THROW(a.SetName("Button1")) << "keeping one's own name is no clash";
  EXPECT_THROW(b.SetName("Button1"), rtl::Exception) << "a sibling already has that name";
  EXPECT_EQ(b.Name(), "") << "a refused name is not taken";
  EXPECT_NO_THROW(b.SetName("button1")) << "names differing in case are different";
  c.SetName("Button1");
  EXPECT_THROW(owner.InsertComponent(&c), rtl::Exception) << "inserting a clashing name raises";
  EXPECT_EQ(c.Owner(), nullptr) << "a refused insertion leaves the component unowned";
  EXPECT_THROW(a.InsertComponent(&a), rtl::Exception) << "nothing owns itself";
  EXPECT_THROW(a.InsertComponent(&owner), rtl::Exception) << "an owner cannot be owned below";
  EXPECT_EQ(a.Owner(), &owner) << "a refused insertion changes no owner";
  EXPECT_EQ(testsupport::MessageOf([&] { owner.Components(-1); }), "List index out of bounds (-1)")
      << "a bad index should raise naming it";
}

}  // namespace
