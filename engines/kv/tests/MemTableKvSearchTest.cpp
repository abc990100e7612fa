#include "KvTestSupport.h"

#include <random>

#include "platform/classes/ExceptionRoute.h"
#include "platform/sys/Utf.h"

namespace {

class KvSearchTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    t = Make();
  }
  static std::unique_ptr<TMemTableKv> Make() {
    auto m = std::make_unique<TMemTableKv>(nullptr);
    m->FieldDefs().Add(u"Id", ftInteger);
    m->FieldDefs().Add(u"Name", ftString, 20);
    m->FieldDefs().Add(u"Dept", ftInteger);
    m->FieldDefs().Add(u"Salary", ftFloat);
    m->CreateDataSet();
    return m;
  }
  static void Add(TDataSet& d, int id, const char16_t* name, int dept, double salary) {
    d.Append();
    d.FieldByName(u"Id")->SetAsInteger(id);
    d.FieldByName(u"Name")->SetAsString(name);
    d.FieldByName(u"Dept")->SetAsInteger(dept);
    d.FieldByName(u"Salary")->SetAsFloat(salary);
    d.Post();
  }
  void Fill() {
    Add(*t, 1, u"Zhang", 10, 300);
    Add(*t, 2, u"Li", 20, 100);
    Add(*t, 3, u"Wang", 10, 200);
    Add(*t, 4, u"zhao", 20, 200);
    Add(*t, 5, u"Li", 30, 500);
  }
  static std::vector<int> Ids(TDataSet& d) {
    std::vector<int> ids;
    d.First();
    while (!d.Eof()) {
      ids.push_back(d.FieldByName(u"Id")->AsInteger());
      d.Next();
    }
    return ids;
  }
  int Current() { return t->FieldByName(u"Id")->AsInteger(); }
  std::unique_ptr<TMemTableKv> t;
};

}  // namespace

TEST_F(KvSearchTest, LocateLookupAndFindRec) {
  EXPECT_FALSE(t->Locate(u"Id", Variant(1), 0));  // empty table
  EXPECT_EQ(t->FindRec(u"Id", Variant(1), true, 0, 0), -1);
  Fill();
  struct Case {
    const char16_t* fields;
    Variant key;
    TLocateOptions options;
    int id;  // 0: not found
  } cases[] = {
      {u"Id", Variant(3), 0, 3},
      {u"Name", Variant(u"Li"), 0, 2},
      {u"Name", Variant(u"Zha"), loPartialKey, 1},
      {u"Name", Variant(u"zhang"), loCaseInsensitive, 1},
      {u"Name", Variant(u"zhang"), 0, 0},
      {u"Name", Variant(u"ZHA"), loPartialKey | loCaseInsensitive, 1},
      {u"Name;Dept", VarArrayOf({Variant(u"Li"), Variant(30)}), 0, 5},
      {u"Dept;Salary", VarArrayOf({Variant(20), Variant(200.0)}), 0, 4},
      {u"Id", Variant(99), 0, 0},
  };
  for (const Case& c : cases) {
    t->First();
    EXPECT_EQ(t->Locate(c.fields, c.key, c.options), c.id != 0) << sys::Utf16ToUtf8(c.fields);
    if (c.id) EXPECT_EQ(Current(), c.id) << sys::Utf16ToUtf8(c.fields);
    else EXPECT_EQ(Current(), 1);
  }
  // FindRec from a start row: the first match at or after it.
  EXPECT_EQ(t->FindRec(u"Name", Variant(u"Li"), true, 2, 0), 4);
  EXPECT_EQ(t->FindRec(u"Name", Variant(u"Li"), true, 5, 0), -1);
  EXPECT_THROW(t->FindRec(u"Nope", Variant(1), true, 0, 0), EDatabaseError);
  // Lookup does not move the cursor.
  t->First();
  EXPECT_EQ(VarToStr(t->Lookup(u"Id", Variant(4), u"Name")), u"zhao");
  EXPECT_TRUE(VarIsNull(t->Lookup(u"Id", Variant(44), u"Name")));
  EXPECT_EQ(Current(), 1);
}

TEST_F(KvSearchTest, SearchesSkipFilteredRowsAndCalculatedKeysWork) {
  Fill();
  t->Close();
  auto* calc = new TIntegerField(t.get());
  calc->SetFieldName(u"Twice");
  calc->SetFieldKind(fkCalculated);
  calc->SetDataSet(t.get());
  for (const char16_t* n : {u"Id", u"Name", u"Dept", u"Salary"}) {
    TField* f = n == std::u16string_view(u"Name") ? static_cast<TField*>(new TStringField(t.get())) : nullptr;
    if (!f) f = n == std::u16string_view(u"Salary") ? static_cast<TField*>(new TFloatField(t.get())) : new TIntegerField(t.get());
    if (auto* s = dynamic_cast<TStringField*>(f)) s->SetSize(20);
    f->SetFieldName(n);
    f->SetDataSet(t.get());
  }
  t->OnCalcFields = [](TDataSet& d) { d.FieldByName(u"Twice")->SetAsInteger(d.FieldByName(u"Id")->AsInteger() * 2); };
  t->Open();
  EXPECT_TRUE(t->Locate(u"Twice", Variant(8), 0));
  EXPECT_EQ(Current(), 4);
  // The first row with the key is filtered out: the next visible one is found.
  t->SetFilterText(u"Dept <> 20");
  t->SetFiltered(true);
  EXPECT_EQ(t->FindRec(u"Name", Variant(u"Li"), true, 0, 0), 4);
  EXPECT_FALSE(t->Locate(u"Id", Variant(4), 0));
  EXPECT_TRUE(t->Locate(u"Name", Variant(u"Li"), 0));
  EXPECT_EQ(Current(), 5);
  // A filter on a calculated field reads it through the candidate's buffer.
  t->SetFilterText(u"Twice > 6");
  EXPECT_EQ(Ids(*t), (std::vector<int>{4, 5}));
}

TEST_F(KvSearchTest, FilterTextEventAndOptions) {
  Fill();
  t->SetFilterText(u"Salary >= 200 AND Name LIKE 'Z%'");
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 3, 4, 5}));  // not yet Filtered
  t->SetFiltered(true);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1}));
  t->SetFilterOptions(foCaseInsensitive);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 4}));
  EXPECT_EQ(t->RecordCount(), 2);
  // OnFilterRecord sees the expression's verdict and may change it.
  std::vector<bool> seen;
  t->SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    seen.push_back(accept);
    if (d.FieldByName(u"Id")->AsInteger() == 5) accept = true;
  });
  seen.clear();
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 4, 5}));
  EXPECT_FALSE(seen.empty());
  t->SetOnFilterRecord(nullptr);
  // A text that does not compile leaves the filter in force.
  EXPECT_THROW(t->SetFilterText(u"Salary >"), Exception);
  EXPECT_EQ(t->Filter(), u"Salary >= 200 AND Name LIKE 'Z%'");
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 4}));
  t->SetFiltered(false);
  EXPECT_EQ(t->RecordCount(), 5);
  // Filter set while closed takes effect on open.
  t->Close();
  t->SetFilterText(u"Dept = 10");
  t->SetFiltered(true);
  t->Open();
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 3}));
  EXPECT_EQ(t->RecNo(), 2);
  t->First();
  EXPECT_EQ(t->RecNo(), 1);
  t->SetRecNo(2);
  EXPECT_EQ(Current(), 3);
}

TEST_F(KvSearchTest, AFailingFilterIsReportedOnceAndHidesTheRows) {
  Fill();
  std::vector<String> reported;
  TExceptionHandler old = SetDefaultExceptionHandler([&](TObject*, const std::exception& e) {
    if (auto* x = dynamic_cast<const Exception*>(&e)) reported.push_back(x->Message());
  });
  t->SetFilterText(u"Salary * Name > 3");  // a number times a text: the first record's evaluation fails
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_TRUE(t->IsEmpty());
  EXPECT_EQ(reported.size(), 1u);
  t->SetFilterText(u"Id > 3");
  EXPECT_EQ(Ids(*t), (std::vector<int>{4, 5}));
  EXPECT_EQ(reported.size(), 1u);
  SetDefaultExceptionHandler(old);
}

TEST_F(KvSearchTest, BookmarksFollowTheirRecord) {
  Fill();
  t->Locate(u"Id", Variant(4), 0);
  const TBookmark b4 = t->GetBookmark();
  t->Locate(u"Id", Variant(2), 0);
  const TBookmark b2 = t->GetBookmark();
  EXPECT_EQ(t->CompareBookmarks(b2, b4), -1);
  t->First();
  t->Insert();
  t->FieldByName(u"Id")->SetAsInteger(9);
  t->Post();
  t->GotoBookmark(b4);
  EXPECT_EQ(Current(), 4);
  EXPECT_EQ(t->BookmarkToRecNo(b4), 5);
  t->SortByOrderString(u"Id DESC");
  EXPECT_EQ(t->CompareBookmarks(b2, b4), 1);
  t->GotoBookmark(b2);
  EXPECT_EQ(Current(), 2);
  t->Delete();
  EXPECT_FALSE(t->BookmarkValid(b2));
  EXPECT_TRUE(t->BookmarkValid(b4));
  EXPECT_THROW(t->GotoBookmark(b2), EDatabaseError);
}

TEST_F(KvSearchTest, SortTexts) {
  Fill();
  t->SortByOrderString(u"Salary DESC; Name");
  EXPECT_EQ(Ids(*t), (std::vector<int>{5, 1, 3, 4, 2}));
  t->SortByOrderString(u"Dept DESC ASC, Id DESC");
  EXPECT_EQ(Ids(*t), (std::vector<int>{5, 4, 2, 3, 1}));
  t->SortByOrderString(u"Salary;");  // equal keys keep the stored order
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 4, 3, 1, 5}));
  t->SortByOrderString(u"Name");
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 5, 3, 1, 4}));  // locale order, case-sensitive
  try {
    t->SortByOrderString(u"Salary X");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u" Invalid token - \"X\"");
  }
  try {
    t->SortByOrderString(u"Pay");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u" Field - \"Pay\" not found.");
  }
}

TEST_F(KvSearchTest, DetailFollowsItsMaster) {
  auto master = std::make_unique<TMemTableKv>(nullptr);
  master->FieldDefs().Add(u"Dept", ftInteger);
  master->CreateDataSet();
  for (int d : {10, 20, 40}) {
    master->Append();
    master->FieldByName(u"Dept")->SetAsInteger(d);
    master->Post();
  }
  Fill();
  TDataSource source(nullptr);
  source.SetDataSet(master.get());
  master->First();
  t->SetMasterSource(&source);
  t->SetMasterFields(u"Dept");
  t->SetDetailFields(u"Dept");
  EXPECT_TRUE(t->DetailMode());
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 3}));
  master->Next();
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 4}));
  master->Next();
  EXPECT_EQ(Ids(*t), (std::vector<int>{}));
  EXPECT_THROW(t->SetDetailFields(u"Nope"), EDatabaseError);
  EXPECT_EQ(t->DetailFields(), u"Dept");
  t->SetMasterSource(nullptr);
  EXPECT_FALSE(t->DetailMode());
  EXPECT_EQ(t->RecordCount(), 5);
}

// A detail table whose DetailFields have a key index takes its rows from the index's matches; at
// every step it must show exactly what the same detail without the index shows.
TEST_F(KvSearchTest, IndexedDetailShowsWhatTheUnindexedDetailShows) {
  auto master = std::make_unique<TMemTableKv>(nullptr);
  master->FieldDefs().Add(u"Dept", ftInteger);
  master->CreateDataSet();
  for (int d : {10, 20, 30, 40, -1}) {  // 40: no detail rows; -1: a Null master value
    master->Append();
    if (d >= 0) master->FieldByName(u"Dept")->SetAsInteger(d);
    master->Post();
  }
  auto indexed = Make();
  indexed->Close();
  indexed->IndexDefs().Add(u"ByDept", u"Dept", TIndexOptions{});
  indexed->Open();
  auto plain = Make();
  std::mt19937 rnd(17);
  for (int id = 1; id <= 300; ++id) {
    const int dept = static_cast<int>(rnd() % 5) * 10;  // 0 (no master) .. 40
    const double salary = static_cast<double>(rnd() % 1000);
    for (TMemTableKv* d : {indexed.get(), plain.get()}) {
      d->Append();
      d->FieldByName(u"Id")->SetAsInteger(id);
      if (id % 23 != 0) d->FieldByName(u"Dept")->SetAsInteger(dept == 40 ? 50 : dept);
      d->FieldByName(u"Salary")->SetAsFloat(salary);
      d->Post();
    }
  }
  TDataSource source(nullptr);
  source.SetDataSet(master.get());
  master->First();
  int asked = 0;
  for (TMemTableKv* d : {indexed.get(), plain.get()}) {
    d->SetMasterSource(&source);
    d->SetMasterFields(u"Dept");
    d->SetDetailFields(u"Dept");
  }
  // Forward and backward rows, counts and row numbers.
  auto rows = [](TMemTableKv& d) {
    std::vector<int> v = Ids(d);
    v.push_back(-d.RecordCount());
    for (d.Last(); !d.Bof(); d.Prior()) v.push_back(d.FieldByName(u"Id")->AsInteger() * 1000 + d.RecNo());
    return v;
  };
  auto same = [&](const char* step) {
    for (master->First(); !master->Eof(); master->Next())
      EXPECT_EQ(rows(*indexed), rows(*plain)) << step << ", master row " << master->RecNo();
  };
  same("plain");
  EXPECT_GT(indexed->RecordCount(), 0);
  // The filters still decide among the index's rows; the event sees only the master's rows.
  for (TMemTableKv* d : {indexed.get(), plain.get()}) {
    d->SetFilterText(u"Salary > 400");
    d->SetFiltered(true);
  }
  same("filter");
  indexed->SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    ++asked;
    accept = accept && d.FieldByName(u"Id")->AsInteger() % 2 == 0;
  });
  plain->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = accept && d.FieldByName(u"Id")->AsInteger() % 2 == 0; });
  master->First();
  asked = 0;
  EXPECT_EQ(Ids(*indexed), Ids(*plain));
  EXPECT_LT(asked, 120);  // about 60 rows of Dept 10 pass "Salary > 400" or not; 300 without the index
  for (TMemTableKv* d : {indexed.get(), plain.get()}) {
    d->SetFiltered(false);
    d->SetSortOrder(u"Salary DESC");
  }
  same("sorted");
  // Inserts, edits and deletes in the detail, and a record moved to another master.
  master->First();
  for (TMemTableKv* d : {indexed.get(), plain.get()}) {
    d->First();
    d->Insert();
    d->FieldByName(u"Id")->SetAsInteger(1000);
    d->FieldByName(u"Salary")->SetAsFloat(999);
    d->Post();
    d->Last();
    d->Delete();
    d->First();
    d->Edit();
    d->FieldByName(u"Dept")->SetAsInteger(20);
    d->Post();
  }
  same("changed");
  for (TMemTableKv* d : {indexed.get(), plain.get()}) d->SetSortOrder(u"");
  same("unsorted");
  // The records themselves reordered.
  for (TMemTableKv* d : {indexed.get(), plain.get()}) d->SortByOrderString(u"Salary");
  same("records sorted");
}

TEST(KvSortedVarlist, KeepsOrderAndFindsValues) {
  TSortedVarlistKv list;
  for (int v : {5, 1, 3, 3, 9}) list.Add(Variant(v));
  std::vector<int> got;
  for (int i = 0; i < list.Count(); ++i) got.push_back(list.Items(i).AsInteger());
  EXPECT_EQ(got, (std::vector<int>{1, 3, 3, 5, 9}));
  int at = -1;
  EXPECT_TRUE(list.FindKeyValueIndex(Variant(3), at));
  EXPECT_EQ(list.Items(at).AsInteger(), 3);
  EXPECT_FALSE(list.Contains(Variant(4)));
  EXPECT_TRUE(list.Contains(Variant(9)));
  EXPECT_THROW(list.Contains(VarArrayOf({Variant(1)})), Exception);
}

TEST(KvVarValuesEqual, Table) {
  EXPECT_TRUE(TCustomMemTableKv::VarValuesEqual(Variant(3), Variant(3)));
  EXPECT_TRUE(TCustomMemTableKv::VarValuesEqual(Null(), Null()));
  EXPECT_FALSE(TCustomMemTableKv::VarValuesEqual(Null(), Variant(0)));
  EXPECT_TRUE(TCustomMemTableKv::VarValuesEqual(VarArrayOf({Variant(1), Variant(u"a")}), VarArrayOf({Variant(1), Variant(u"a")})));
  EXPECT_FALSE(TCustomMemTableKv::VarValuesEqual(VarArrayOf({Variant(1)}), Variant(1)));
  EXPECT_FALSE(TCustomMemTableKv::VarValuesEqual(VarArrayOf({Variant(1)}), VarArrayOf({Variant(1), Variant(2)})));
  EXPECT_FALSE(TCustomMemTableKv::VarValuesEqual(Variant(u"abc"), Variant(1)));  // conversion error: not equal
}

TEST_F(KvSearchTest, MoveRecordBoundsAndOrder) {
  Fill();  // ids 1..5
  struct Case {
    int from, to;
    bool ok;
    std::vector<int> ids;
  } cases[] = {
      {0, 2, true, {2, 3, 1, 4, 5}},
      {4, 0, true, {5, 2, 3, 1, 4}},
      {1, 5, true, {5, 3, 1, 4, 2}},  // to the end: the count itself
      {5, 0, false, {5, 3, 1, 4, 2}},
      {-1, 0, false, {5, 3, 1, 4, 2}},
      {0, 6, false, {5, 3, 1, 4, 2}},
      {0, -1, false, {5, 3, 1, 4, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(t->MoveRecord(c.from, c.to, -1, true), c.ok) << c.from << "->" << c.to;
    EXPECT_EQ(t->MoveRecord(c.from, c.to), c.ok) << c.from << "->" << c.to;
    EXPECT_EQ(Ids(*t), c.ids) << c.from << "->" << c.to;
  }
  // Two bookmarked records moved before the first row, in their order.
  t->Locate(u"Id", Variant(4), 0);
  std::vector<TBookmark> marks{t->GetBookmark()};
  t->Locate(u"Id", Variant(1), 0);
  marks.push_back(t->GetBookmark());
  EXPECT_TRUE(t->MoveRecords(marks, 1));
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 4, 5, 3, 2}));
  ASSERT_EQ(marks.size(), 2u);
  t->GotoBookmark(marks[0]);
  EXPECT_EQ(Current(), 1);
}
