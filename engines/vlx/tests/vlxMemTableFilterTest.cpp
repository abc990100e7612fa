// The table's Filter text, index filter expressions, FindRecord, master/detail, Locate and Lookup.
#include "engines/vlx/tests/vlxTestSupport.h"

using namespace vlxtest;

namespace {

class VlxFilter : public VlxTest {};

TEST_F(VlxFilter, FilterTextSelectsRecordsOnEveryPath) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 20);
  t->Last();
  t->Edit();
  t->FieldByName(u"Address")->SetAsString(u"北京路");
  t->FieldByName(u"ContactName")->Clear();
  t->Post();
  struct Case {
    const char16_t* Text;
    TFilterOptions Options;
    std::vector<int> Ids;
  };
  const Case cases[] = {
      {u"CustomerID > 10 and CustomerID <= 13", 0, {11, 12, 13}},
      {u"MaritalStatus and CustomerID < 7", 0, {2, 4, 6}},
      {u"ContactName = 'Name1*'", 0, {1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
      {u"ContactName = 'name2'", foCaseInsensitive, {2}},
      {u"ContactName = NULL", 0, {20}},
      {u"UPPER(Address) = '北京路'", 0, {20}},
      {u"Address IN ('北京路')", 0, {20}},
      {u"SUBSTRING(Address, 1, 2) = '北京'", 0, {20}},
      {u"Salary + 1 > 4020", 0, {19, 20}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.Text));
    t->SetFiltered(false);
    t->SetFilterOptions(c.Options);
    t->SetFilterText(c.Text);
    t->SetFiltered(true);
    EXPECT_EQ(Ids(*t), c.Ids);
    EXPECT_EQ(t->RecordCount(), static_cast<int>(c.Ids.size()));
    t->Last();
    EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), c.Ids.back());
  }
  // A filter text that does not compile leaves no filter behind.
  t->SetFiltered(false);
  EXPECT_THROW(t->SetFilterText(u"CustomerID >"), Exception);
  EXPECT_EQ(t->FilterParser(), nullptr);
  EXPECT_THROW(t->SetFiltered(true), Exception);
  EXPECT_FALSE(t->Filtered());
  EXPECT_EQ(t->RecordCount(), 20);
}

TEST_F(VlxFilter, FilterSetBeforeOpeningAppliesAfterIt) {
  auto t = MakeBenchmarkTable(false);
  t->SetFilterText(u"CustomerID >= 3");
  t->SetFiltered(true);
  t->Open();
  AppendRows(*t, 1, 5);
  EXPECT_EQ(Ids(*t), (std::vector<int>{3, 4, 5}));
  t->Close();
  t->Open();
  EXPECT_NE(t->FilterParser(), nullptr);
}

TEST_F(VlxFilter, FindRecordUsesTheFilterWithoutHidingOthers) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 10);
  t->SetFilterText(u"CustomerID = 4 or CustomerID = 7");
  EXPECT_TRUE(t->FindFirst());
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 4);
  EXPECT_TRUE(t->FindNext());
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 7);
  EXPECT_FALSE(t->FindNext());
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 7);
  EXPECT_TRUE(t->FindLast());
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 7);
  EXPECT_TRUE(t->FindPrior());
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 4);
  EXPECT_EQ(t->RecordCount(), 10);
}

TEST_F(VlxFilter, IndexFilterExpressionKeepsRecordsOut) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 10);
  TvlxIndex* ix = t->Indexes().AddIndex(
      std::make_unique<TvlxIndex>(nullptr, u"Married", t.get(), u"CustomerID", mtcoDescending, mtitSorted));
  ix->SetFilter(u"MaritalStatus");
  t->SetIndexName(u"Married");
  EXPECT_EQ(Ids(*t), (std::vector<int>{10, 8, 6, 4, 2}));
  // Posts go through the same test.
  t->Append();
  FillRow(*t, 12);
  t->Post();
  t->Append();
  FillRow(*t, 13);
  t->Post();
  EXPECT_EQ(Ids(*t), (std::vector<int>{12, 10, 8, 6, 4, 2}));
  // A record outside the current index is not found, even when another index holds it.
  EXPECT_FALSE(t->Locate(u"CustomerID", Variant(3), 0));
  EXPECT_TRUE(t->Locate(u"CustomerID", Variant(6), 0));
  EXPECT_EQ(t->RecNo(), 4);
}

TEST_F(VlxFilter, LocateAndLookup) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 30);
  EXPECT_TRUE(t->Locate(u"ContactName", Variant(u"name2"), loCaseInsensitive | loPartialKey));
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 2);
  EXPECT_FALSE(t->Locate(u"ContactName", Variant(u"name2"), loPartialKey));
  EXPECT_TRUE(t->Locate(u"ContactName;CustomerID", VarArrayOf({Variant(u"Name25"), Variant(25)}), 0));
  EXPECT_EQ(t->RecNo(), 25);
  // A missing key: Null, and the cursor stays.
  EXPECT_TRUE(VarIsNull(t->Lookup(u"CustomerID", Variant(99), u"ContactName")));
  EXPECT_EQ(t->RecNo(), 25);
  EXPECT_EQ(t->Lookup(u"CustomerID", Variant(7), u"ContactName").AsString(), u"Name7");
  EXPECT_EQ(t->RecNo(), 25);
  // With AutoAddIndexes a search makes an index it can search by halves.
  const int before = t->Indexes().Count();
  t->SetAutoAddIndexes(true);
  EXPECT_TRUE(t->Locate(u"CustomerID", Variant(17), 0));
  EXPECT_EQ(t->Indexes().Count(), before + 1);
  EXPECT_EQ(t->RecNo(), 17);
  EXPECT_THROW(t->Locate(u"CustomerID;ContactName", Variant(1), 0), EMemTableError);
}

TEST_F(VlxFilter, LookupComputesCalculatedFieldsOfTheFoundRecord) {
  auto t = MakeBenchmarkTable(false);
  for (int i = 0; i < t->FieldDefs().Count(); ++i) t->FieldDefs()[i]->CreateField(t.get());
  auto* twice = new TFloatField(t.get());
  twice->SetFieldName(u"Twice");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(t.get());
  t->OnCalcFields = [](TDataSet& D) {
    D.FieldByName(u"Twice")->SetAsFloat(2 * D.FieldByName(u"Salary")->AsFloat());
  };
  t->Open();
  AppendRows(*t, 1, 5);
  t->First();
  EXPECT_DOUBLE_EQ(t->Lookup(u"CustomerID", Variant(4), u"Twice").AsDouble(), 2 * 4004.25);
  EXPECT_EQ(t->RecNo(), 1);
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Twice")->AsFloat(), 2 * 4001.25);
  // With RecalcOnIndex a filter sees calculated values of the record under test.
  t->SetRecalcOnIndex(true);
  t->SetFilterText(u"Twice > 8006");
  t->SetFiltered(true);
  EXPECT_EQ(Ids(*t), (std::vector<int>{3, 4, 5}));
}

TEST_F(VlxFilter, DetailFollowsItsMaster) {
  auto master = MakeBenchmarkTable();
  AppendRows(*master, 1, 3);
  master->Append();
  master->FieldByName(u"ContactName")->SetAsString(u"no id");
  master->Post();
  TDataSource ds(nullptr);
  ds.SetDataSet(master.get());
  auto detail = MakeBenchmarkTable();
  for (int id : {3, 1, 2, 3, 1, 3}) {
    detail->Append();
    detail->FieldByName(u"CustomerID")->SetAsInteger(id);
    detail->Post();
  }
  detail->SetMasterFields(u"CustomerID");
  detail->SetDetailFields(u"CustomerID");
  detail->SetMasterSource(&ds);
  master->First();
  EXPECT_EQ(Ids(*detail), (std::vector<int>{1, 1}));
  master->Next();
  EXPECT_EQ(Ids(*detail), (std::vector<int>{2}));
  master->Next();
  EXPECT_EQ(detail->RecordCount(), 3);
  // A new detail record takes the master's value.
  detail->Append();
  detail->FieldByName(u"Salary")->SetAsFloat(1);
  detail->Post();
  EXPECT_EQ(detail->FieldByName(u"CustomerID")->AsInteger(), 3);
  EXPECT_EQ(detail->RecordCount(), 4);
  // A master without a value leaves the key unrestricted.
  master->Last();
  EXPECT_EQ(detail->RecordCount(), 7);
  // Dropping the master shows everything.
  master->First();
  detail->SetMasterSource(nullptr);
  detail->MasterChanged();
  EXPECT_EQ(detail->RecordCount(), 7);
  // A table cannot be its own master.
  TDataSource self(nullptr);
  self.SetDataSet(detail.get());
  EXPECT_THROW(detail->SetMasterSource(&self), EDatabaseError);
}

}  // namespace
