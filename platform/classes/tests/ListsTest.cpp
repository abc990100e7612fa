#include "platform/classes/Lists.h"

#include <gtest/gtest.h>

namespace {

class Tracked : public TObject {
 public:
  explicit Tracked(int& live) : FLive(live) { ++FLive; }
  ~Tracked() override { --FLive; }

 private:
  int& FLive;
};

TEST(Lists, IndexErrorsNameTheIndex) {
  TList list;
  int a = 1;
  list.Add(&a);
  struct Case {
    std::function<void()> call;
    const char16_t* message;
  };
  const Case cases[] = {
      {[&] { list.Get(1); }, u"List index out of bounds (1)"},
      {[&] { list.Get(-1); }, u"List index out of bounds (-1)"},
      {[&] { list.Delete(5); }, u"List index out of bounds (5)"},
      {[&] { list.Insert(3, nullptr); }, u"List index out of bounds (3)"},
      {[&] { list.Exchange(0, 2); }, u"List index out of bounds (2)"},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << StringToUTF8(c.message);
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(Lists, PointerListBasics) {
  int v[4] = {0, 1, 2, 3};
  TList list;
  for (int& x : v) list.Add(&x);
  list.Move(0, 3);
  EXPECT_EQ(list.Items(3), &v[0]);
  list.Exchange(0, 1);
  EXPECT_EQ(list.First(), &v[2]);
  EXPECT_EQ(list.Remove(&v[3]), 2);
  EXPECT_EQ(list.IndexOf(&v[3]), -1);
  list.Add(nullptr);
  list.Pack();
  EXPECT_EQ(list.Count(), 3);
  list.Sort([](void* a, void* b) { return *static_cast<int*>(a) - *static_cast<int*>(b); });
  EXPECT_EQ(list.First(), &v[0]);
  EXPECT_EQ(list.Last(), &v[2]);
  list.SetCount(5);
  EXPECT_EQ(list.Items(4), nullptr);
}

TEST(Lists, OwningObjectListFreesWhatItDeletesButNotWhatItExtracts) {
  int live = 0;
  {
    TObjectList list;  // owns
    for (int i = 0; i < 4; ++i) list.Add(new Tracked(live));
    EXPECT_EQ(live, 4);
    list.Delete(0);
    EXPECT_EQ(live, 3);
    std::unique_ptr<TObject> taken(list.Extract(list.Items(0)));
    EXPECT_EQ(live, 3);
    list.SetItem(0, new Tracked(live));  // replacing frees the old one
    EXPECT_EQ(live, 3);
    taken.reset();
    EXPECT_EQ(live, 2);
  }
  EXPECT_EQ(live, 0);

  Tracked kept(live);
  {
    TObjectList borrowed(false);
    borrowed.Add(&kept);
    borrowed.Add(nullptr);
    borrowed.Clear();
  }
  EXPECT_EQ(live, 1);
}

}  // namespace
