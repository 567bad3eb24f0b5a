#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/classes.h"

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
  auto* a = new TProbe(root, &log, "a");
  new TProbe(a, &log, "a1");
  new TProbe(root, &log, "b");
  EXPECT_EQ(root->ComponentCount(), 2) << "a grandchild belongs to its own owner only";
  log.clear();
  delete root;
  EXPECT_EQ(log, (Log{"free b", "free a1", "free a", "free root"}));
}

TEST(Component, OneFreedAloneLeavesItsOwnersList) {
  Log log;
  TProbe root(nullptr, &log, "root");
  auto* a = new TProbe(&root, &log, "a");
  auto* b = new TProbe(&root, &log, "b");
  new TProbe(&root, &log, "c");
  log.clear();
  delete b;
  EXPECT_EQ(log, (Log{"free b", "remove from root: b"})) << "the owner should be told";
  ASSERT_EQ(root.ComponentCount(), 2);
  EXPECT_EQ(root.Components(0), a);
  EXPECT_EQ(root.Components(1)->Name(), "c");
  EXPECT_EQ(root.FindComponent("b"), nullptr);
}

TEST(Component, OwnerIsToldOfInsertionAndRemoval) {
  Log log;
  TProbe first(nullptr, &log, "first");
  TProbe second(nullptr, &log, "second");
  rtl::TComponent child(&first);
  child.SetName("child");
  second.InsertComponent(&child);
  EXPECT_EQ(log,
            (Log{"insert into first", "remove from first: child", "insert into second: child"}));
  EXPECT_EQ(child.Owner(), &second);
  EXPECT_EQ(first.ComponentCount(), 0) << "moving to a new owner leaves the old one";
  second.RemoveComponent(&child);
  EXPECT_EQ(child.Owner(), nullptr);
  EXPECT_THROW(second.RemoveComponent(&child), rtl::Exception) << "it is no longer owned there";
}

TEST(Component, ADestructorMayFreeASibling) {
  Log log;
  auto* root = new TProbe(nullptr, &log, "root");
  auto* victim = new TProbe(root, &log, "victim");
  new TProbe(root, &log, "middle");
  auto* killer = new TPartnerKiller(root, &log, "killer");
  killer->partner = victim;
  log.clear();
  delete root;
  EXPECT_EQ(log, (Log{"free victim", "remove from root: victim", "free killer", "free middle",
                      "free root"}))
      << "the sibling should be freed once, leaving its owner's list before the owner reaches it";
}

TEST(Component, NamesAreUniqueAmongSiblings) {
  rtl::TComponent owner(nullptr);
  rtl::TComponent a(&owner), b(&owner), c(nullptr);
  a.SetName("Button1");
  EXPECT_NO_THROW(a.SetName("Button1")) << "keeping one's own name is no clash";
  EXPECT_THROW(b.SetName("Button1"), rtl::Exception) << "a sibling already has that name";
  EXPECT_EQ(b.Name(), "") << "a refused name is not taken";
  EXPECT_NO_THROW(b.SetName("button1")) << "names differing in case are different";
  a.SetName("");
  b.SetName("");
  EXPECT_EQ(owner.FindComponent(""), nullptr) << "empty names are never found";
  c.SetName("Button1");
  b.SetName("Button1");
  EXPECT_THROW(owner.InsertComponent(&c), rtl::Exception) << "inserting a clashing name raises";
  EXPECT_EQ(c.Owner(), nullptr);
  EXPECT_EQ(owner.FindComponent("Button1"), &b);
}

TEST(Component, RefusesBadOwnership) {
  rtl::TComponent root(nullptr);
  rtl::TComponent child(&root);
  EXPECT_THROW(child.InsertComponent(&child), rtl::Exception);
  EXPECT_THROW(child.InsertComponent(&root), rtl::Exception) << "an owner cannot be owned below";
  EXPECT_THROW(root.InsertComponent(nullptr), rtl::Exception);
  EXPECT_EQ(child.Owner(), &root);
  for (int bad : {-1, 1, 5}) {
    try {
      root.Components(bad);
      ADD_FAILURE() << "index " << bad << " should raise";
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
}

}  // namespace
