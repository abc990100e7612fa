#include <gtest/gtest.h>

#include "platform/engines/Engines.h"
#include "platform/sys/CodePage.h"

namespace {

// Id, Name (8-bit text), Note (wide text); rows 1 "Alpha" "x", 2 "beta" null, 3 "Alphabet" "y", 4 "gamma" "x".
class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    T.FieldDefs().Add(u"Id", ftInteger, 0, false);
    T.FieldDefs().Add(u"Name", ftString, 12, false);
    T.FieldDefs().Add(u"Note", ftWideString, 5, false);
    T.CreateDataSet();
    const struct {
      int Id;
      const char16_t* Name;
      const char16_t* Note;
    } rows[] = {{1, u"Alpha", u"x"}, {2, u"beta", nullptr}, {3, u"Alphabet", u"y"}, {4, u"gamma", u"x"}};
    for (const auto& r : rows) {
      T.Append();
      T.FieldByName(u"Id")->SetAsInteger(r.Id);
      T.FieldByName(u"Name")->SetAsString(r.Name);
      if (r.Note) T.FieldByName(u"Note")->SetAsString(r.Note);
      T.Post();
    }
    T.First();
  }
  void TearDown() override { T.Close(); }
  int Id() { return T.FieldByName(u"Id")->AsInteger(); }

  TClientDataSet T{nullptr};
};

TEST_F(SearchTest, LocateFindsTheFirstMatchingRowAndMovesThere) {
  struct Case {
    const char16_t* Fields;
    Variant Keys;
    TLocateOptions Options;
    int Expected;  // 0: not found, the cursor stays
  };
  const Case cases[] = {
      {u"Name", Variant(u"Alpha"), 0, 1},
      {u"Name", Variant(u"alpha"), 0, 0},
      {u"Name", Variant(u"alpha"), loCaseInsensitive, 1},
      {u"Name", Variant(u"Alphab"), loPartialKey, 3},
      {u"Name", Variant(u"GAM"), loPartialKey | loCaseInsensitive, 4},
      {u"Id", Variant(3), 0, 3},
      {u"Note", Null(), 0, 2},
      {u"Note;Id", VarArrayOf({Variant(u"x"), Variant(4)}), 0, 4},
      {u"Note;Id", VarArrayOf({Variant(u"y"), Variant(4)}), 0, 0},
  };
  for (const Case& c : cases) {
    T.Last();
    EXPECT_EQ(T.Locate(c.Fields, c.Keys, c.Options), c.Expected != 0) << StringToUTF8(c.Fields);
    EXPECT_EQ(Id(), c.Expected != 0 ? c.Expected : 4) << StringToUTF8(c.Fields);
  }
  EXPECT_THROW(T.Locate(u"Missing", Variant(1), 0), EDatabaseError);
  // The framework's one policy for every engine: one plain value for two keys matches no row, an array
  // too short for the keys raises.
  EXPECT_FALSE(T.Locate(u"Id;Name", Variant(1), 0));
  EXPECT_THROW(T.Locate(u"Id;Name", VarArrayOf({Variant(1)}), 0), EDatabaseError);
}

TEST_F(SearchTest, LookupAnswersWithoutMoving) {
  T.Last();
  EXPECT_EQ(VarToStr(T.Lookup(u"Id", Variant(2), u"Name")), u"beta");
  EXPECT_TRUE(VarIsNull(T.Lookup(u"Id", Variant(9), u"Name")));
  const Variant both = T.Lookup(u"Name", Variant(u"gamma"), u"Id;Note");
  ASSERT_TRUE(VarIsArray(both));
  EXPECT_EQ(VarToStr(VarArrayGet(both, 1)), u"x");
  EXPECT_EQ(Id(), 4);
}

TEST_F(SearchTest, FilterEventHidesRowsFromNavigationCountAndSearch) {
  T.SetOnFilterRecord([](TDataSet& ds, bool& accept) { accept = ds.FieldByName(u"Id")->AsInteger() % 2 == 0; });
  T.SetFiltered(true);
  std::vector<int> seen;
  for (T.First(); !T.Eof(); T.Next()) seen.push_back(Id());
  EXPECT_EQ(seen, (std::vector<int>{2, 4}));
  EXPECT_EQ(T.RecordCount(), 2);
  EXPECT_FALSE(T.Locate(u"Id", Variant(3), 0));
  EXPECT_TRUE(T.Locate(u"Id", Variant(4), 0));
  // A posted row the filter hides leaves the cursor on a visible one.
  T.Edit();
  T.FieldByName(u"Id")->SetAsInteger(5);
  T.Post();
  EXPECT_EQ(Id() % 2, 0);
  EXPECT_EQ(T.RecordCount(), 1);
  T.SetFiltered(false);
  EXPECT_EQ(T.RecordCount(), 4);
  T.SetFilterText(u"Id > 1");
  EXPECT_THROW(T.SetFiltered(true), EDatabaseError);
}

TEST_F(SearchTest, RecNoFollowsTheRowAndMovesTheCursor) {
  T.SetRecNo(3);
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(T.RecNo(), 3);
  T.SetRecNo(99);  // out of range: nothing moves
  EXPECT_EQ(Id(), 3);
  std::vector<Byte> record(static_cast<std::size_t>(T.RecordSize()));
  EXPECT_TRUE(T.GetCurrentRecord(record.data()));
}

}  // namespace
