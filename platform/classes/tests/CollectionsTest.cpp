#include "platform/classes/Collections.h"

#include <gtest/gtest.h>

namespace {

class TNamedItem : public TCollectionItem {
  VELLUM_CLASS(TNamedItem)
 public:
  using TCollectionItem::TCollectionItem;
  String Text;
  void Assign(const TPersistent* Source) override {
    if (auto* other = dynamic_cast<const TNamedItem*>(Source)) {
      Text = other->Text;
      return;
    }
    TCollectionItem::Assign(Source);
  }
};

class TCountingCollection : public TCollection {
 public:
  using TCollection::TCollection;
  int Updates = 0;

 protected:
  void Update(TCollectionItem*) override { ++Updates; }
};

TNamedItem* AddItem(TCollection& c, const char16_t* text) {
  auto* item = static_cast<TNamedItem*>(c.Add());
  item->Text = text;
  return item;
}

TEST(Collections, ItemsJoinLeaveAndMove) {
  TCollection c(&CollectionItemOf<TNamedItem>);
  TNamedItem* a = AddItem(c, u"a");
  TNamedItem* b = AddItem(c, u"b");
  auto* inserted = static_cast<TNamedItem*>(c.Insert(0));
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Items(0), inserted);
  EXPECT_EQ(a->Index(), 1);
  EXPECT_EQ(a->Collection(), &c);
  EXPECT_EQ(c.FindItemID(b->ID()), b);
  b->SetIndex(0);
  EXPECT_EQ(c.Items(0), b);
  delete a;  // an item freed first leaves its collection
  EXPECT_EQ(c.Count(), 2);
  c.Delete(0);
  EXPECT_EQ(c.Items(0), inserted);
  EXPECT_THROW(c.Items(1), EListError);
  EXPECT_THROW(c.Insert(5), EListError);
}

TEST(Collections, AssignCopiesItemsAndUpdatesOnce) {
  TCollection source(&CollectionItemOf<TNamedItem>);
  AddItem(source, u"x");
  AddItem(source, u"y");
  TCountingCollection target(&CollectionItemOf<TNamedItem>);
  AddItem(target, u"old");
  target.Updates = 0;
  target.Assign(&source);
  ASSERT_EQ(target.Count(), 2);
  EXPECT_EQ(static_cast<TNamedItem*>(target.Items(1))->Text, u"y");
  EXPECT_EQ(target.Updates, 1);
  TPersistent other;
  EXPECT_THROW(target.Assign(&other), EConvertError);
}

}  // namespace
