// Copying between datasets, persistence files, CommaText and AllData, grouping and aggregation.
#include <unistd.h>

#include <filesystem>

#include "engines/vlx/tests/vlxTestSupport.h"
#include "platform/classes/Files.h"

using namespace vlxtest;

namespace {

class VlxCopy : public VlxTest {};

TEST_F(VlxCopy, CopyRecordsCountsOnlyRecordsPosted) {
  auto src = MakeBenchmarkTable();
  AppendRows(*src, 1, 20);
  auto dst = MakeBenchmarkTable();
  src->First();
  EXPECT_EQ(dst->CopyRecords(src.get(), dst.get(), 10, false), 10);
  EXPECT_FALSE(dst->LoadedCompletely());
  EXPECT_EQ(Ids(*dst), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  // A unique index refuses the ids already there: those posts fail and are not counted.
  auto idx = std::make_unique<TvlxIndex>(nullptr, u"Unique", dst.get(), u"CustomerID", mtcoUnique, mtitSorted);
  dst->Indexes().AddIndex(std::move(idx))->Rebuild();
  src->First();
  EXPECT_THROW(dst->CopyRecords(src.get(), dst.get(), 0, false), EMemTableDupKey);
  EXPECT_EQ(dst->State(), dsBrowse);
  src->First();
  EXPECT_EQ(dst->CopyRecords(src.get(), dst.get(), 0, true), 10);
  EXPECT_TRUE(dst->LoadedCompletely());
  EXPECT_EQ(dst->RecordCount(), 20);
}

TEST_F(VlxCopy, LoadFromDataSetStructureAppendAndMapping) {
  auto src = MakeBenchmarkTable();
  AppendRows(*src, 1, 5);
  TvlxMemTable t(nullptr);
  t.LoadFromDataSet(src.get(), mtcpoStructure);
  EXPECT_EQ(t.FieldDefs().Count(), 7);
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(t.LoadCount(), 5);
  t.Last();
  EXPECT_EQ(t.FieldByName(u"Comment")->AsString(), u"Comment for 5");
  t.LoadFromDataSet(src.get(), mtcpoAppend);
  EXPECT_EQ(t.RecordCount(), 10);
  t.LoadFromDataSet(src.get(), 0);
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_THROW(t.LoadFromDataSet(src.get(), mtcpoAppend | mtcpoStructure), EMemTableError);
  // Mapping: the destination's Name takes the source's ContactName.
  TvlxMemTable m(nullptr);
  m.FieldDefs().Add(u"CustomerID", ftInteger);
  m.FieldDefs().Add(u"Name", ftWideString, 20);
  m.CreateTable();
  m.Open();
  m.LoadFromDataSet(src.get(), 0, u"Name=ContactName");
  m.First();
  EXPECT_EQ(m.FieldByName(u"Name")->AsString(), u"Name1");
  // SaveToDataSet goes the other way.
  auto back = MakeBenchmarkTable();
  t.SaveToDataSet(back.get(), 0);
  EXPECT_EQ(t.SaveCount(), 5);
  EXPECT_EQ(Ids(*back), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(VlxCopy, StructureWithCalculatedFieldsAsData) {
  auto src = MakeBenchmarkTable(false);
  for (int i = 0; i < src->FieldDefs().Count(); ++i) src->FieldDefs()[i]->CreateField(src.get());
  auto* twice = new TFloatField(src.get());
  twice->SetFieldName(u"Twice");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(src.get());
  src->OnCalcFields = [](TDataSet& D) {
    D.FieldByName(u"Twice")->SetAsFloat(2 * D.FieldByName(u"Salary")->AsFloat());
  };
  src->Open();
  AppendRows(*src, 1, 3);
  TvlxMemTable t(nullptr);
  t.LoadFromDataSet(src.get(), mtcpoStructure | mtcpoCalculated | mtcpoCalculatedAsData);
  ASSERT_NE(t.FindField(u"Twice"), nullptr);
  EXPECT_EQ(t.FieldByName(u"Twice")->FieldKind(), fkData);
  t.Last();
  EXPECT_DOUBLE_EQ(t.FieldByName(u"Twice")->AsFloat(), 2 * 4003.25);
  EXPECT_EQ(t.FieldByName(u"Address")->AsString(), u"Address 3");
  t.Close();
  t.Open();
  EXPECT_NE(t.FindField(u"CustomerID"), nullptr);
}

TEST_F(VlxCopy, UpdateToDataSetEditsMatchesAndAppendsTheRest) {
  auto dst = MakeBenchmarkTable();
  AppendRows(*dst, 1, 3);
  auto src = MakeBenchmarkTable();
  for (int id = 2; id <= 5; ++id) {
    src->Append();
    FillRow(*src, id);
    src->FieldByName(u"Salary")->SetAsFloat(id * 100);
    src->Post();
  }
  src->UpdateToDataSet(dst.get(), u"CustomerID");
  EXPECT_EQ(Ids(*dst), (std::vector<int>{1, 2, 3, 4, 5}));
  std::vector<double> salaries;
  for (dst->First(); !dst->Eof(); dst->Next()) salaries.push_back(dst->FieldByName(u"Salary")->AsFloat());
  EXPECT_EQ(salaries, (std::vector<double>{4001.25, 200, 300, 400, 500}));
  // Edit only: nothing appended.
  auto only = MakeBenchmarkTable();
  AppendRows(*only, 1, 2);
  src->UpdateToDataSet(only.get(), u"CustomerID", mtufEdit);
  EXPECT_EQ(only->RecordCount(), 2);
  only->Last();
  EXPECT_DOUBLE_EQ(only->FieldByName(u"Salary")->AsFloat(), 200);
}

class TempDir {
 public:
  TempDir() {
    FPath = std::filesystem::path(testing::TempDir()) / ("vlx_persist_" + std::to_string(::getpid()));
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  String operator/(const char* Name) const { return UTF8ToString((FPath / Name).string()); }
  std::filesystem::path Path(const char* Name) const { return FPath / Name; }

 private:
  std::filesystem::path FPath;
};

TEST_F(VlxCopy, PersistentTableKeepsItsRecordsAcrossActivations) {
  TempDir dir;
  TvlxBinaryStreamFormat fmt;
  auto t = MakeBenchmarkTable(false);
  t->SetPersistent(true);
  t->SetPersistentFile(dir / "data.bin");
  t->SetPersistentFormat(&fmt);
  t->SetPersistentBackup(true);
  t->SetPersistentBackupExt(u".bak");
  t->Open();
  AppendRows(*t, 1, 3);
  t->Close();
  EXPECT_TRUE(std::filesystem::exists(dir.Path("data.bin")));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("data.$$$")));
  t->Open();
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 3}));
  AppendRows(*t, 4, 4);
  t->Close();
  ASSERT_TRUE(std::filesystem::exists(dir.Path("data.bak")));
  t->Open();
  EXPECT_EQ(t->RecordCount(), 4);
  // The previous file is the backup.
  auto old = MakeBenchmarkTable();
  old->LoadFromFileViaFormat(dir / "data.bak", &fmt);
  EXPECT_EQ(old->RecordCount(), 3);
  // A final rename that fails raises and the table does not count as saved.
  t->Close();
  t->SetPersistentFile(dir / "blocked.bin");
  t->Open();
  AppendRows(*t, 1, 1);
  std::filesystem::create_directories(dir.Path("blocked.bin") / "inside");
  t->SetPersistentBackup(false);
  EXPECT_THROW(t->SavePersistent(), EMemTableError);
  EXPECT_FALSE(t->PersistentSaved());
  // A backup that would take the file's own name is refused before anything is written.
  t->SetPersistentFile(dir / "plain");
  t->SetPersistentBackup(true);
  t->SetPersistentBackupExt(u"");
  EXPECT_THROW(t->SavePersistent(), EMemTableError);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("plain.$$$")));
  t->SetPersistent(false);
}

TEST_F(VlxCopy, CommaTextAndAllDataRoundTrip) {
  TvlxBinaryStreamFormat fmt;
  auto a = MakeBenchmarkTable();
  AppendRows(*a, 1, 3);
  a->First();
  a->Edit();
  a->FieldByName(u"Address")->SetAsString(u"上海市南京路");
  a->FieldByName(u"ContactName")->SetAsString(u"王小明");
  a->Post();
  a->SetCommaTextFormat(&fmt);
  a->SetAllDataFormat(&fmt);
  const String text = a->CommaText();
  auto b = MakeBenchmarkTable();
  b->SetCommaTextFormat(&fmt);
  b->SetCommaText(text);
  b->First();
  EXPECT_EQ(b->FieldByName(u"Address")->AsString(), u"上海市南京路");
  EXPECT_EQ(b->FieldByName(u"ContactName")->AsString(), u"王小明");
  EXPECT_EQ(b->RecordCount(), 3);
  auto c = MakeBenchmarkTable();
  c->SetAllDataFormat(&fmt);
  c->SetAllData(a->AllData());
  EXPECT_EQ(Ids(*c), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(VarIsEmpty(MakeBenchmarkTable(false)->AllData()));
}

TEST_F(VlxCopy, GroupByAndAggregate) {
  auto t = MakeBenchmarkTable();
  const struct {
    int Id;
    bool Married;
    double Salary;
    const char16_t* Name;
  } rows[] = {{1, true, 1, u"b"}, {2, false, 10, u""}, {3, true, 2, u"a"}, {4, false, 30, nullptr}, {5, true, 3, u"c"}};
  for (const auto& r : rows) {
    t->Append();
    t->FieldByName(u"CustomerID")->SetAsInteger(r.Id);
    t->FieldByName(u"MaritalStatus")->SetAsBoolean(r.Married);
    t->FieldByName(u"Salary")->SetAsFloat(r.Salary);
    if (r.Name) t->FieldByName(u"ContactName")->SetAsString(r.Name);
    t->Post();
  }
  TvlxMemTable g(nullptr);
  t->GroupBy(&g, u"MaritalStatus", u"MaritalStatus;Salary:SUM;Salary:AVG;Salary:COUNT;ContactName:MIN;Salary:STDDEV");
  ASSERT_EQ(g.RecordCount(), 2);
  EXPECT_EQ(g.FieldByName(u"Salary_COUNT")->DataType(), ftInteger);
  EXPECT_EQ(g.FieldByName(u"Salary_AVG")->DataType(), ftFloat);
  g.First();
  EXPECT_FALSE(g.FieldByName(u"MaritalStatus")->AsBoolean());
  EXPECT_DOUBLE_EQ(g.FieldByName(u"Salary_SUM")->AsFloat(), 40);
  EXPECT_EQ(g.FieldByName(u"Salary_COUNT")->AsInteger(), 2);
  // The empty text is a value and the smallest.
  EXPECT_FALSE(g.FieldByName(u"ContactName_MIN")->IsNull());
  EXPECT_EQ(g.FieldByName(u"ContactName_MIN")->AsString(), u"");
  g.Next();
  EXPECT_TRUE(g.FieldByName(u"MaritalStatus")->AsBoolean());
  EXPECT_DOUBLE_EQ(g.FieldByName(u"Salary_AVG")->AsFloat(), 2);
  EXPECT_DOUBLE_EQ(g.FieldByName(u"Salary_STDDEV")->AsFloat(), 1);
  EXPECT_EQ(g.FieldByName(u"ContactName_MIN")->AsString(), u"a");
  EXPECT_THROW(t->GroupBy(&g, u"MaritalStatus", u"Salary"), Exception);
  EXPECT_THROW(t->GroupBy(t.get(), u"MaritalStatus", u"Salary:SUM"), EMemTableError);
  // Aggregate over the current index.
  t->SetFilterText(u"MaritalStatus");
  EXPECT_DOUBLE_EQ(t->Aggregate(u"Salary:AVG").AsDouble(), 46.0 / 5);
  t->SetIndexFieldNames(u"MaritalStatus");
  const Variant both = t->Aggregate(u"Salary:SUM;Salary:MAX");
  ASSERT_TRUE(VarIsArray(both));
  EXPECT_DOUBLE_EQ(VarArrayGet(both, 0).AsDouble(), 46);
  EXPECT_DOUBLE_EQ(VarArrayGet(both, 1).AsDouble(), 30);
  EXPECT_EQ(t->Aggregate(u"MaritalStatus:COUNT").AsInteger(), 5);
  EXPECT_TRUE(VarIsNull(t->Aggregate(u"")));
  // User functions accumulate through the holder's callback; without one the result stays empty.
  EXPECT_TRUE(VarIsNull(t->Aggregate(u"Salary:USR1")));
  t->OnUserAggregate = [](TDataSet&, int Fn, int Count, double Value, double& Acc) {
    EXPECT_EQ(Fn, 2);
    Acc = (Count == 0 ? 0 : Acc) + Value * Value;
  };
  EXPECT_DOUBLE_EQ(t->Aggregate(u"Salary:usr2").AsDouble(), 1 + 100 + 4 + 900 + 9);
  // The group index made for a grouping goes with the table's other indexes on closing.
  t->OnUserAggregate = nullptr;
  t->GroupBy(&g, u"ContactName", u"ContactName;Salary:SUM");
  EXPECT_NE(t->Indexes().Get(u"__MT__GROUP_"), nullptr);
  EXPECT_EQ(g.RecordCount(), 5);
  t->Close();
  t->Open();
  AppendRows(*t, 1, 2);
  t->GroupBy(&g, u"ContactName", u"ContactName;Salary:COUNT");
  EXPECT_EQ(g.RecordCount(), 2);
}

}  // namespace
