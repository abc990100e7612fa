#include <gtest/gtest.h>

#include "platform/classes/Classes.h"

TEST(Component, FreeingAnOwnedChildFirstDetachesIt) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* child = new TComponent(owner.get());
  auto* other = new TComponent(owner.get());
  child->SetName(u"Child");
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete child;  // leaves its owner; the owner must not free it again
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), other);
  EXPECT_EQ(owner->FindComponent(u"Child"), nullptr);
}

TEST(Component, NamesAreIdentifiersAndUniqueAmongSiblings) {
  TComponent owner(nullptr);
  auto* a = new TComponent(&owner);
  auto* b = new TComponent(&owner);
  a->SetName(u"Table1");
  EXPECT_THROW(b->SetName(u"table1"), EComponentError);
  EXPECT_THROW(b->SetName(u"1Table"), EComponentError);
  b->SetName(u"Table2");
  EXPECT_EQ(owner.FindComponent(u"TABLE2"), b);
}

namespace {

// Records what it hears, so the tests can see who was told about what.
class TListener : public TComponent {
  VELLUM_CLASS(TListener)
 public:
  using TComponent::TComponent;
  std::vector<std::pair<TComponent*, TOperation>> Heard;
  TComponent* Watched = nullptr;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    Heard.emplace_back(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == Watched) Watched = nullptr;
  }
};

}  // namespace

TEST(Component, FreeNotificationClearsReferencesToAFreedComponent) {
  TListener listener(nullptr);
  auto* watched = new TComponent(nullptr);
  listener.Watched = watched;
  watched->FreeNotification(&listener);
  delete watched;
  EXPECT_EQ(listener.Watched, nullptr);
  // The listener going first must not leave a dangling entry in the other component.
  auto other = std::make_unique<TComponent>(nullptr);
  {
    TListener short_lived(nullptr);
    other->FreeNotification(&short_lived);
  }
  other.reset();  // would notify freed memory if the entry were left behind
}

TEST(Component, SiblingsHearOfArrivalsAndRemovals) {
  TComponent owner(nullptr);
  auto* listener = new TListener(&owner);
  auto* other = new TComponent(&owner);
  ASSERT_FALSE(listener->Heard.empty());
  EXPECT_EQ(listener->Heard.back(), std::make_pair(other, TOperation::opInsert));
  delete other;
  EXPECT_EQ(listener->Heard.back(), std::make_pair(other, TOperation::opRemove));
}

TEST(Component, OwnerFreesWhatItOwnsAndMarksItDestroying) {
  struct Probe : TComponent {
    Probe(TComponent* owner, bool& destroying_seen) : TComponent(owner), Seen(destroying_seen) {}
    ~Probe() override { Seen = HasState(csDestroying); }
    bool& Seen;
  };
  bool seen = false;
  {
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* mid = new TComponent(owner.get());
    new Probe(mid, seen);
    new TComponent(owner.get());
  }
  EXPECT_TRUE(seen);
}

TEST(Component, MovingToAnotherOwnerDetachesFromTheFirst) {
  TComponent a(nullptr);
  TComponent b(nullptr);
  auto* child = new TComponent(&a);
  child->SetName(u"X");
  b.InsertComponent(child);
  EXPECT_EQ(a.ComponentCount(), 0);
  EXPECT_EQ(b.FindComponent(u"x"), child);
  auto* clash = new TComponent(&a);
  clash->SetName(u"X");
  EXPECT_THROW(b.InsertComponent(clash), EComponentError);
  EXPECT_EQ(clash->Owner(), &a);
}
