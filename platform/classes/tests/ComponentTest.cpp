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
