// Sort texts, keeping rows in order after edits, and Locate / Lookup by binary search and by scan.
#include "engines/fieldlist/tests/IdTestSupport.h"

#include "engines/fieldlist/IdSorting.h"

namespace {

using idtest::DataSetTest;
using idtest::Row;

TEST_F(DataSetTest, SortTextTable) {
  AddAll({{1, u"Bob", 200}, {2, u"Amy", 100}, {3, u"amy", 200}, {4, u"bob", 200}, {5, u"carl", 100}});
  struct Case {
    const char16_t* sort;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {u"Salary DESC;ContactName CASE", {3, 1, 4, 2, 5}},  // Bob and bob tie: insertion order
      {u"salary desc , contactname", {3, 4, 1, 2, 5}},      // case-sensitive: bob before Bob
      {u"CustomerID DESC", {5, 4, 3, 2, 1}},
      {u"  ;Salary\x07" u"DESC;;", {1, 3, 4, 2, 5}},
      {u"Missing;Comment", {1, 2, 3, 4, 5}},  // no keys: back to insertion order
      {u"Salary;Salary DESC", {2, 5, 1, 3, 4}},  // the first mention counts
      {u"", {1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.sort));
    DS->SetSort(c.sort);
    EXPECT_EQ(Ids(), c.expected);
  }
}

TEST_F(DataSetTest, SettingTheSameSortTextDoesNothing) {
  AddAll({{1, u"a", 2}, {2, u"b", 1}});
  DS->SetSort(u"Salary");
  EXPECT_EQ(Ids(), (std::vector<int>{2, 1}));
  // Reorder the row list behind the sort's back: the same text must not sort again.
  DS->Store()->Records().Move(0, 1);
  DS->SetSort(u"Salary");
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2}));
}

TEST_F(DataSetTest, SmallintKeysOrderSigned) {
  DS->Close();
  DS->VirtualFieldDefs().Add(u"Small", ftSmallint);
  DS->VirtualFieldDefs().Add(u"Tiny", ftShortint);
  DS->CreateDataSet();
  for (int v : {1, -1, 0, -300}) {
    DS->Append();
    F(u"CustomerID")->SetAsInteger(v);
    F(u"Small")->SetAsInteger(v);
    F(u"Tiny")->SetAsInteger(v < -128 ? -128 : v);
    DS->Post();
  }
  DS->SetSort(u"Small");
  EXPECT_EQ(Ids(), (std::vector<int>{-300, -1, 0, 1}));
  DS->SetSort(u"Tiny DESC");
  EXPECT_EQ(Ids(), (std::vector<int>{1, 0, -1, -300}));
  DS->First();
  EXPECT_EQ(DS->IdFieldByName(u"Small")->GetAsString(DS->DataIndex()), u"1");
  DS->Last();
  EXPECT_EQ(DS->IdFieldByName(u"Small")->GetAsString(DS->DataIndex()), u"-300");
}

TEST_F(DataSetTest, PostedEditsMoveOnlyWhenTheKeyChanged) {
  AddAll({{1, u"a", 100}, {2, u"b", 200}, {3, u"c", 300}});
  DS->SetSort(u"Salary");
  DS->First();
  DS->Edit();
  F(u"Salary")->SetAsFloat(250);
  DS->Post();
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 1);  // the cursor follows the row
  EXPECT_EQ(DS->RecNo(), 2);
  EXPECT_EQ(Ids(), (std::vector<int>{2, 1, 3}));
  DS->Last();
  DS->Edit();
  F(u"ContactName")->SetAsString(u"z");
  DS->Post();
  EXPECT_EQ(Ids(), (std::vector<int>{2, 1, 3}));
  Add({4, u"d", 10});  // a new row goes to its place at once
  EXPECT_EQ(Ids(), (std::vector<int>{4, 2, 1, 3}));
}

// A dataset sorted by Salary with random values (many duplicates and some nulls); Locate by the first
// key takes the binary search, the same search with a filter that passes everything takes the scan.
TEST_F(DataSetTest, LocateFastPathAndScanAgree) {
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  for (int i = 1; i <= 300; ++i) {
    DS->Append();
    F(u"CustomerID")->SetAsInteger(i);
    if (next() % 10 != 0) F(u"Salary")->SetAsFloat(static_cast<double>(next() % 40));
    if (next() % 10 != 0) F(u"ContactName")->SetAsString(String(1, static_cast<char16_t>(u'a' + next() % 5)) + u"x");
    DS->Post();
  }
  struct Probe {
    const char16_t* field;
    Variant value;
    TLocateOptions options;
  };
  std::vector<Probe> probes;
  for (int s = -1; s <= 41; ++s) probes.push_back({u"Salary", Variant(static_cast<double>(s)), 0});
  probes.push_back({u"Salary", Null(), 0});
  for (const char16_t* t : {u"a", u"Ax", u"cx", u"e", u"zz", u""}) {
    probes.push_back({u"ContactName", Variant(t), 0});
    probes.push_back({u"ContactName", Variant(t), loPartialKey});
  }
  for (const char16_t* sort : {u"Salary", u"Salary DESC", u"ContactName", u"ContactName DESC"}) {
    DS->SetSort(sort);
    for (const Probe& p : probes) {
      if (std::u16string_view(sort).find(p.field) != 0) continue;
      SCOPED_TRACE(StringToUTF8(sort) + " / " + StringToUTF8(VarToStr(p.value)) + " / " + std::to_string(p.options));
      DS->SetFiltered(false);
      const bool fast = DS->Locate(p.field, p.value, p.options);
      const int fastId = fast ? F(u"CustomerID")->AsInteger() : 0;
      DS->SetOnFilterData([](TDataSet&, int, bool& accept) { accept = true; });
      DS->SetFiltered(true);
      const bool scan = DS->Locate(p.field, p.value, p.options);
      const int scanId = scan ? F(u"CustomerID")->AsInteger() : 0;
      DS->SetFiltered(false);
      DS->SetOnFilterData(nullptr);
      EXPECT_EQ(fast, scan);
      EXPECT_EQ(fastId, scanId);
    }
  }
}

TEST_F(DataSetTest, LocateCases) {
  AddAll({{1, u"Amy", 100}, {2, u"Bob", 200}, {3, u"Bobby", 300}, {4, u"", 200}, {5, u"", 100, true}});
  struct Case {
    const char* name;
    const char16_t* sort;
    const char16_t* keys;
    Variant values;
    TLocateOptions options;
    int expectedId;  // 0: not found
  };
  const Case cases[] = {
      {"exact", u"", u"ContactName", Variant(u"Bob"), 0, 2},
      {"partial sorted", u"ContactName", u"ContactName", Variant(u"Bo"), loPartialKey, 2},
      {"partial unsorted", u"", u"ContactName", Variant(u"Bobb"), loPartialKey, 3},
      {"case insensitive", u"", u"ContactName", Variant(u"bobby"), loCaseInsensitive, 3},
      {"case sensitive miss", u"ContactName", u"ContactName", Variant(u"bobby"), 0, 0},
      {"two fields", u"", u"CustomerID;Salary", VarArrayOf({Variant(4), Variant(200.0)}), 0, 4},
      {"two fields miss", u"", u"CustomerID;Salary", VarArrayOf({Variant(4), Variant(100.0)}), 0, 0},
      {"null finds null", u"", u"ContactName", Null(), 0, 5},
      {"null sorted", u"ContactName", u"ContactName", Null(), 0, 5},
      {"empty text is not null", u"", u"ContactName", Variant(u""), 0, 4},
      {"number sorted desc", u"Salary DESC", u"Salary", Variant(200), 0, 2},
      {"array for one field", u"", u"CustomerID", VarArrayOf({Variant(3)}), 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DS->SetSort(c.sort);
    DS->First();
    const bool found = DS->Locate(c.keys, c.values, c.options);
    EXPECT_EQ(found, c.expectedId != 0);
    if (found) {
      EXPECT_EQ(F(u"CustomerID")->AsInteger(), c.expectedId);
    }
  }
}

TEST_F(DataSetTest, LocateOnOneSortedRowAndErrors) {
  Add({1, u"Amy", 100});
  DS->SetSort(u"ContactName");
  EXPECT_TRUE(DS->Locate(u"ContactName", Variant(u"Am"), loPartialKey));
  EXPECT_FALSE(DS->Locate(u"ContactName", Variant(u"B"), loPartialKey));
  try {
    DS->Locate(u"", Variant(1), 0);
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError&) {
    ADD_FAILURE() << "a plain exception was expected";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Field '' not found");
  }
  EXPECT_THROW(DS->Locate(u"Nope", Variant(1), 0), EDatabaseError);
}

TEST_F(DataSetTest, LookupCases) {
  AddAll({{1, u"Amy", 100}, {2, u"Bob", 200}});
  DS->Last();
  EXPECT_TRUE(VarIsNull(DS->Lookup(u"CustomerID", Variant(9), u"ContactName")));
  EXPECT_EQ(VarToStr(DS->Lookup(u"CustomerID", Variant(1), u"ContactName")), u"Amy");
  EXPECT_EQ(VarToStr(DS->Lookup(u"CustomerID", Variant(1), u"ContactName;")), u"Amy");
  const Variant both = DS->Lookup(u"CustomerID", Variant(2), u"Address;Comment");
  ASSERT_TRUE(both.IsArray());
  EXPECT_EQ(VarToStr(VarArrayGet(both, 0)), u"Address for Bob");
  EXPECT_TRUE(VarIsByteArray(VarArrayGet(both, 1)));
  EXPECT_TRUE(VarIsNull(DS->Lookup(u"CustomerID", Variant(1), u"Nope")));
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 2);  // the cursor did not move
}

}  // namespace
