#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/classes/Files.h"
#include "platform/engines/Engines.h"
#include "platform/sys/CodePage.h"

namespace {

namespace fs = std::filesystem;

// The benchmark's seven columns.
void AddFieldDefs(TDataSet& ds) {
  ds.FieldDefs().Add(u"CustomerID", ftInteger, 0, false);
  ds.FieldDefs().Add(u"ContactName", ftString, 10, false);
  ds.FieldDefs().Add(u"Birthdate", ftDateTime, 0, false);
  ds.FieldDefs().Add(u"MaritalStatus", ftBoolean, 0, false);
  ds.FieldDefs().Add(u"Salary", ftFloat, 0, false);
  ds.FieldDefs().Add(u"Address", ftWideString, 20, false);
  ds.FieldDefs().Add(u"Comment", ftWideMemo, 0, false);
}

struct Row {
  int Id;
  String Name;
  double Birth;
  bool Married;
  double Salary;
  String Address;
  String Comment;
  bool NullSalary = false;
  friend bool operator==(const Row&, const Row&) = default;
};

std::vector<Row> SampleRows(int n) {
  std::vector<Row> rows;
  const String names[] = {u"赵一", u"欧阳明月", u"Li", u""};
  for (int i = 0; i < n; ++i) {
    const String name = names[i % 4];
    rows.push_back({i + 2, name, 30000.5 + i, i % 3 == 0, 4000.25 * (i + 1), u"Address for " + name,
                    i % 5 == 4 ? String() : u"Comment for " + name, i % 7 == 6});
  }
  return rows;
}

// One row through the same calls as the benchmark: the fields looked up once, then setters and Post.
struct FieldSet {
  explicit FieldSet(TDataSet& ds)
      : Id(ds.FieldByName(u"CustomerID")), Name(ds.FieldByName(u"ContactName")), Birth(ds.FieldByName(u"Birthdate")),
        Married(ds.FieldByName(u"MaritalStatus")), Salary(ds.FieldByName(u"Salary")), Address(ds.FieldByName(u"Address")),
        Comment(ds.FieldByName(u"Comment")) {}
  void Write(const Row& r) const {
    Id->SetAsInteger(r.Id);
    Name->SetAsString(r.Name);
    Birth->SetAsDateTime(r.Birth);
    Married->SetAsBoolean(r.Married);
    if (!r.NullSalary) Salary->SetAsFloat(r.Salary);
    Address->SetAsString(u"Address for " + Name->AsString());
    Comment->SetAsString(r.Comment);
  }
  Row Read() const {
    return {Id->AsInteger(), Name->AsString(), Birth->AsDateTime(), Married->AsBoolean(), Salary->AsFloat(),
            Address->AsString(), Comment->AsString(), Salary->IsNull()};
  }
  TField *Id, *Name, *Birth, *Married, *Salary, *Address, *Comment;
};

std::vector<Row> ReadAll(TDataSet& ds) {
  FieldSet f(ds);
  std::vector<Row> rows;
  ds.First();
  while (!ds.Eof()) {
    rows.push_back(f.Read());
    ds.Next();
  }
  return rows;
}

void AppendRows(TDataSet& ds, const std::vector<Row>& rows) {
  FieldSet f(ds);
  for (const Row& r : rows) {
    ds.Append();
    f.Write(r);
    ds.Post();
  }
}

// Salary reads 0 when null; a null comment reads empty.
std::vector<Row> Expected(std::vector<Row> rows) {
  for (Row& r : rows)
    if (r.NullSalary) r.Salary = 0;
  return rows;
}

// The three classes, each with its own save and load calls as the benchmark makes them.
struct Engine {
  const char* Name;
  std::function<TMemEngineDataSet*(TComponent*)> Make;
  std::function<void(TMemEngineDataSet&)> Create;
  std::function<void(TMemEngineDataSet&, const String&)> SaveFile;
  std::function<void(TMemEngineDataSet&, const String&)> LoadFile;
  std::function<void(TMemEngineDataSet&, TStream&)> SaveStream;
  std::function<void(TMemEngineDataSet&, TStream&)> LoadStream;
  std::function<void(TMemEngineDataSet&)> Empty;
};

// The TFDMemTable as the benchmark creates it: the columns, then its speed settings.
void CreateAsTheBenchmark(TFDMemTable& t) {
  AddFieldDefs(t);
  t.CreateDataSet();
  t.SetLogChanges(false);
  t.FetchOptions().SetRecsMax(300000);
  t.ResourceOptions().SetSilentMode(true);
  t.UpdateOptions().SetLockMode(lmNone);
  t.UpdateOptions().SetLockPoint(lpDeferred);
  t.UpdateOptions().SetFetchGeneratorsPoint(gpImmediate);
}

void EmptyByDeleting(TMemEngineDataSet& ds) {
  ds.First();
  while (!ds.Eof()) ds.Delete();
}

const std::vector<Engine>& Engines() {
  static const std::vector<Engine> engines = {
      {"TFDMemTable", [](TComponent* o) -> TMemEngineDataSet* { return new TFDMemTable(o); },
       [](TMemEngineDataSet& d) { CreateAsTheBenchmark(dynamic_cast<TFDMemTable&>(d)); },
       [](TMemEngineDataSet& d, const String& n) { dynamic_cast<TFDMemTable&>(d).SaveToFile(n, sfAuto); },
       [](TMemEngineDataSet& d, const String& n) { dynamic_cast<TFDMemTable&>(d).LoadFromFile(n, sfAuto); },
       [](TMemEngineDataSet& d, TStream& s) { dynamic_cast<TFDMemTable&>(d).SaveToStream(&s, sfAuto); },
       [](TMemEngineDataSet& d, TStream& s) { dynamic_cast<TFDMemTable&>(d).LoadFromStream(&s, sfAuto); },
       [](TMemEngineDataSet& d) { d.EmptyDataSet(); }},
      {"TClientDataSet", [](TComponent* o) -> TMemEngineDataSet* { return new TClientDataSet(o); },
       [](TMemEngineDataSet& d) {
         AddFieldDefs(d);
         d.CreateDataSet();
         d.SetLogChanges(false);
       },
       [](TMemEngineDataSet& d, const String& n) { dynamic_cast<TClientDataSet&>(d).SaveToFile(n, dfBinary); },
       [](TMemEngineDataSet& d, const String& n) { dynamic_cast<TClientDataSet&>(d).LoadFromFile(n); },
       [](TMemEngineDataSet& d, TStream& s) { dynamic_cast<TClientDataSet&>(d).SaveToStream(&s, dfBinary); },
       [](TMemEngineDataSet& d, TStream& s) { dynamic_cast<TClientDataSet&>(d).LoadFromStream(&s); },
       [](TMemEngineDataSet& d) { d.EmptyDataSet(); }},
      {"TADODataSet", [](TComponent* o) -> TMemEngineDataSet* { return new TADODataSet(o); },
       [](TMemEngineDataSet& d) {
         AddFieldDefs(d);
         d.CreateDataSet();
       },
       [](TMemEngineDataSet& d, const String& n) { dynamic_cast<TADODataSet&>(d).SaveToFile(n, pfADTG); },
       [](TMemEngineDataSet& d, const String& n) { dynamic_cast<TADODataSet&>(d).LoadFromFile(n); },
       [](TMemEngineDataSet& d, TStream& s) {
         // As the benchmark does: the recordset saves through a non-owning adapter.
         TStreamAdapter adapter(&s, soReference);
         dynamic_cast<TADODataSet&>(d).Recordset()->Save(&adapter, adPersistADTG);
       },
       [](TMemEngineDataSet& d, TStream& s) {
         if (s.Size() <= 0) return;
         auto rs = std::make_shared<TADORecordset>();
         s.SetPosition(0);
         TStreamAdapter adapter(&s, soReference);
         OleCheck(rs->Open(&adapter, EmptyParam(), adOpenUnspecified, adLockUnspecified, adCmdUnspecified));
         dynamic_cast<TADODataSet&>(d).SetRecordset(rs);
       },
       EmptyByDeleting},
  };
  return engines;
}

class EnginesTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    Owner = std::make_unique<TComponent>(nullptr);
    Folder = fs::temp_directory_path() / ("vellum_engines_" + std::to_string(::getpid()) + "_" + std::to_string(GetParam()));
    fs::remove_all(Folder);
    fs::create_directories(Folder);
  }
  void TearDown() override {
    Owner.reset();
    fs::remove_all(Folder);
  }
  const Engine& E() const { return Engines()[GetParam()]; }
  TMemEngineDataSet& Make() { return *E().Make(Owner.get()); }
  TMemEngineDataSet& MakeCreated() {
    TMemEngineDataSet& ds = Make();
    E().Create(ds);
    return ds;
  }
  String FileName() const { return UTF8ToString((Folder / (std::string(E().Name) + ".dat")).string()); }

  std::unique_ptr<TComponent> Owner;
  fs::path Folder;
};

TEST_P(EnginesTest, ClassNameNamesTheDataFile) {
  TMemEngineDataSet& ds = Make();
  EXPECT_EQ(StringToUTF8(ds.ClassName()), E().Name);
}

TEST_P(EnginesTest, CreationLeavesAnOpenEmptyDatasetWithTheSevenFields) {
  TMemEngineDataSet& ds = MakeCreated();
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 7);
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldByName(u"ContactName")->Size(), 10);
  EXPECT_EQ(ds.FieldByName(u"Comment")->DataType(), ftWideMemo);
}

TEST_P(EnginesTest, AppendedRowsReadBack) {
  TMemEngineDataSet& ds = MakeCreated();
  const std::vector<Row> rows = SampleRows(40);
  ds.DisableControls();
  AppendRows(ds, rows);
  ds.EnableControls();
  EXPECT_EQ(ds.RecordCount(), 40);
  EXPECT_EQ(ReadAll(ds), Expected(rows));
}

TEST_P(EnginesTest, AnsiTextIsCutAtItsSizeInBytesWithoutSplittingACharacter) {
  TMemEngineDataSet& ds = MakeCreated();
  TField* name = ds.FieldByName(u"ContactName");
  struct Case {
    String Written;
    String Read;
  };
  // Two bytes per ideograph in code page 936: ten bytes hold five.
  const Case cases[] = {{u"欧阳明月", u"欧阳明月"}, {u"一二三四五六", u"一二三四五"}, {u"abcdefghijkl", u"abcdefghij"}, {u"a一二三四五", u"a一二三四"}};
  for (const Case& c : cases) {
    ds.Append();
    name->SetAsString(c.Written);
    EXPECT_EQ(name->AsString(), c.Read) << StringToUTF8(c.Written);
    ds.Post();
    EXPECT_EQ(name->AsString(), c.Read) << StringToUTF8(c.Written);
  }
}

TEST_P(EnginesTest, SaveAndLoadRoundTripThroughFileAndStream) {
  const std::vector<Row> rows = SampleRows(25);
  TMemEngineDataSet& source = MakeCreated();
  AppendRows(source, rows);

  E().SaveFile(source, FileName());
  TMemEngineDataSet& fromFile = Make();  // never created: the load opens it
  E().LoadFile(fromFile, FileName());
  EXPECT_TRUE(fromFile.Active());
  EXPECT_EQ(ReadAll(fromFile), Expected(rows));

  TMemoryStream stream;
  E().SaveStream(source, stream);
  stream.SetPosition(0);
  TMemEngineDataSet& fromStream = MakeCreated();
  AppendRows(fromStream, SampleRows(3));  // replaced by the load
  E().LoadStream(fromStream, stream);
  EXPECT_EQ(ReadAll(fromStream), Expected(rows));
  EXPECT_EQ(fromStream.FieldByName(u"Address")->Size(), 20);

  // Saving an empty dataset and loading it gives the columns and no rows.
  E().Empty(source);
  E().SaveFile(source, FileName());
  E().LoadFile(fromFile, FileName());
  EXPECT_EQ(fromFile.RecordCount(), 0);
  EXPECT_EQ(fromFile.FieldCount(), 7);
}

TEST_P(EnginesTest, SavingTwiceReplacesTheFile) {
  TMemEngineDataSet& ds = MakeCreated();
  AppendRows(ds, SampleRows(30));
  E().SaveFile(ds, FileName());
  const auto big = fs::file_size(FileName());
  E().Empty(ds);
  AppendRows(ds, SampleRows(2));
  E().SaveFile(ds, FileName());
  EXPECT_LT(fs::file_size(FileName()), big);
  TMemEngineDataSet& back = Make();
  E().LoadFile(back, FileName());
  EXPECT_EQ(back.RecordCount(), 2);
}

TEST_P(EnginesTest, EmptyingByDeletingTheFirstRowUntilEof) {
  TMemEngineDataSet& ds = MakeCreated();
  AppendRows(ds, SampleRows(2000));
  EmptyByDeleting(ds);
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.Eof());
  // The dataset works on after being emptied.
  AppendRows(ds, SampleRows(2));
  EXPECT_EQ(ReadAll(ds), Expected(SampleRows(2)));
}

TEST_P(EnginesTest, EmptyOperationRemovesEveryRow) {
  TMemEngineDataSet& ds = MakeCreated();
  AppendRows(ds, SampleRows(50));
  E().Empty(ds);
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.Bof());
}

TEST_P(EnginesTest, DeletingInTheMiddleLeavesTheCursorOnTheNextRow) {
  TMemEngineDataSet& ds = MakeCreated();
  AppendRows(ds, SampleRows(5));  // ids 2..6
  TField* id = ds.FieldByName(u"CustomerID");
  ds.First();
  ds.Next();
  ds.Next();
  ds.Delete();
  EXPECT_EQ(id->AsInteger(), 5);
  ds.Last();
  ds.Delete();
  EXPECT_EQ(id->AsInteger(), 5);
  EXPECT_EQ(ds.RecordCount(), 3);
}

TEST_P(EnginesTest, InsertPlacesEachRowBeforeTheActiveRow) {
  TMemEngineDataSet& ds = MakeCreated();
  TField* id = ds.FieldByName(u"CustomerID");
  auto insert = [&](int v) {
    ds.Insert();
    id->SetAsInteger(v);
    ds.Post();
  };
  // As an Insert run does: every row goes before the row just posted.
  for (int v = 1; v <= 5; ++v) insert(v);
  auto ids = [&] {
    std::vector<int> out;
    for (const Row& r : ReadAll(ds)) out.push_back(r.Id);
    return out;
  };
  EXPECT_EQ(ids(), (std::vector<int>{5, 4, 3, 2, 1}));
  ds.First();
  ds.Next();
  ds.Next();  // on 3
  insert(30);
  EXPECT_EQ(ds.RecNo(), 3);
  ds.Last();
  insert(10);  // before the last row, not after it
  ds.Append();
  id->SetAsInteger(99);
  ds.Post();
  EXPECT_EQ(ids(), (std::vector<int>{5, 4, 30, 3, 2, 10, 1, 99}));
}

TEST_P(EnginesTest, MemoEditsReachTheRowOnlyOnPost) {
  TMemEngineDataSet& ds = MakeCreated();
  AppendRows(ds, SampleRows(1));
  TField* comment = ds.FieldByName(u"Comment");
  const String before = comment->AsString();
  ds.Edit();
  comment->SetAsString(u"changed");
  EXPECT_EQ(comment->AsString(), u"changed");
  ds.Cancel();
  EXPECT_EQ(comment->AsString(), before);
  ds.Edit();
  comment->SetAsString(u"kept");
  ds.Post();
  ds.First();
  EXPECT_EQ(comment->AsString(), u"kept");
  ds.Edit();
  comment->Clear();
  ds.Post();
  EXPECT_TRUE(comment->IsNull());
}

TEST_P(EnginesTest, BadInputRaisesAndKeepsTheRows) {
  TMemEngineDataSet& ds = MakeCreated();
  const std::vector<Row> rows = SampleRows(6);
  AppendRows(ds, rows);
  TBytesStream good;
  E().SaveStream(ds, good);
  const std::vector<Byte> bytes = good.Bytes();

  struct Case {
    const char* What;
    std::vector<Byte> Bytes;
  };
  std::vector<Byte> wrong_magic = bytes;
  wrong_magic[3] ^= 0x20;
  std::vector<Byte> bad_length = bytes;
  bad_length[12] = 0xFF;  // column count
  const Case cases[] = {
      {"truncated in the rows", std::vector<Byte>(bytes.begin(), bytes.end() - 9)},
      {"truncated in the header", std::vector<Byte>(bytes.begin(), bytes.begin() + 10)},
      {"one byte", std::vector<Byte>(1, 'V')},
      {"another signature", wrong_magic},
      {"hostile column count", bad_length},
  };
  for (const Case& c : cases) {
    TBytesStream in(c.Bytes);
    EXPECT_ANY_THROW(E().LoadStream(ds, in)) << c.What;
    EXPECT_TRUE(ds.Active()) << c.What;
    EXPECT_EQ(ReadAll(ds), Expected(rows)) << c.What;

    {
      std::ofstream f(StringToUTF8(FileName()), std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(c.Bytes.data()), static_cast<std::streamsize>(c.Bytes.size()));
    }
    EXPECT_THROW(E().LoadFile(ds, FileName()), EMemDataFileError) << c.What;
    EXPECT_EQ(ReadAll(ds), Expected(rows)) << c.What;
  }
}

TEST_P(EnginesTest, AnotherEnginesFileIsRefused) {
  TMemEngineDataSet& ds = MakeCreated();
  AppendRows(ds, SampleRows(2));
  for (const Engine& other : Engines()) {
    if (&other == &E()) continue;
    TMemEngineDataSet& foreign = *other.Make(Owner.get());
    other.Create(foreign);
    AppendRows(foreign, SampleRows(4));
    const String name = FileName() + u".foreign";
    other.SaveFile(foreign, name);
    EXPECT_THROW(E().LoadFile(ds, name), EMemDataFileError) << other.Name;
    EXPECT_EQ(ds.RecordCount(), 2) << other.Name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllEngines, EnginesTest, ::testing::Values(0u, 1u, 2u),
                         [](const ::testing::TestParamInfo<std::size_t>& info) { return std::string(Engines()[info.param].Name); });

// ---- engine-specific calls ----

TEST(FDMemTableTest, SettingsAreKeptAndBatchModeHoldsControlsBack) {
  TFDMemTable t(nullptr);
  CreateAsTheBenchmark(t);
  EXPECT_FALSE(t.LogChanges());
  EXPECT_EQ(t.FetchOptions().RecsMax(), 300000);
  EXPECT_TRUE(t.ResourceOptions().SilentMode());
  EXPECT_EQ(t.UpdateOptions().LockMode(), lmNone);
  EXPECT_EQ(t.UpdateOptions().LockPoint(), lpDeferred);
  EXPECT_EQ(t.UpdateOptions().FetchGeneratorsPoint(), gpImmediate);

  t.BeginBatch(false);
  EXPECT_TRUE(t.ControlsDisabled());
  EXPECT_FALSE(t.BatchWithDelete());
  AppendRows(t, SampleRows(3));
  t.EndBatch();
  EXPECT_FALSE(t.ControlsDisabled());
  t.EndBatch();  // an unmatched end changes nothing
  EXPECT_FALSE(t.ControlsDisabled());
  EXPECT_EQ(t.RecordCount(), 3);
  t.Close();
}

TEST(FormatArgumentTest, OnlyTheBinaryFormatsAreAccepted) {
  TMemoryStream s;
  TFDMemTable fd(nullptr);
  AddFieldDefs(fd);
  fd.CreateDataSet();
  EXPECT_THROW(fd.SaveToStream(&s, sfXML), EDatabaseError);
  EXPECT_THROW(fd.SaveToStream(&s, sfJSON), EDatabaseError);
  fd.SaveToStream(&s, sfBinary);
  TClientDataSet cds(nullptr);
  AddFieldDefs(cds);
  cds.CreateDataSet();
  EXPECT_THROW(cds.SaveToStream(&s, dfXML), EDatabaseError);
  TADODataSet ado(nullptr);
  AddFieldDefs(ado);
  ado.CreateDataSet();
  EXPECT_THROW(ado.SaveToFile(u"/nonexistent/x.dat", pfXML), EDatabaseError);
}

TEST(ADORecordsetTest, OpenFailuresLeaveTheDatasetAlone) {
  TADODataSet ado(nullptr);
  AddFieldDefs(ado);
  ado.CreateDataSet();
  AppendRows(ado, SampleRows(3));
  const std::shared_ptr<TADORecordset> own = ado.Recordset();
  ASSERT_TRUE(own);
  EXPECT_EQ(own->RecordCount(), 3);

  TBytesStream junk(std::vector<Byte>{'n', 'o', 't', ' ', 'r', 'o', 'w', 's'});
  TStreamAdapter adapter(&junk);
  auto rs = std::make_shared<TADORecordset>();
  const HRESULT hr = rs->Open(&adapter, EmptyParam(), adOpenUnspecified, adLockUnspecified, adCmdUnspecified);
  EXPECT_TRUE(Failed(hr));
  EXPECT_THROW(OleCheck(hr), EOleException);
  EXPECT_FALSE(rs->IsOpen());
  EXPECT_THROW(ado.SetRecordset(rs), EDatabaseError);
  EXPECT_EQ(ado.RecordCount(), 3);

  // A source that is no stream, and an open recordset asked to open again.
  EXPECT_EQ(rs->Open(rs.get(), EmptyParam(), -1, -1, -1), E_INVALIDARG);
  TBytesStream saved;
  TStreamAdapter out(&saved);
  own->Save(&out, adPersistADTG);
  saved.SetPosition(0);
  TStreamAdapter in(&saved);
  EXPECT_EQ(own->Open(&in, EmptyParam(), -1, -1, -1), E_FAIL);
  EXPECT_THROW(own->Save(&out, adPersistXML), EOleException);
  ado.Close();
}

TEST(ADORecordsetTest, SetRecordsetMovesTheRowsInAndDetachesTheOldOne) {
  TADODataSet a(nullptr);
  AddFieldDefs(a);
  a.CreateDataSet();
  AppendRows(a, SampleRows(4));
  TBytesStream saved;
  {
    TStreamAdapter out(&saved, soReference);
    a.Recordset()->Save(&out, adPersistADTG);
  }
  EXPECT_GT(saved.Size(), 0);  // the adapter did not free or empty the stream

  TADODataSet b(nullptr);
  AddFieldDefs(b);
  b.CreateDataSet();
  const std::shared_ptr<TADORecordset> old = b.Recordset();
  auto rs = std::make_shared<TADORecordset>();
  saved.SetPosition(0);
  TStreamAdapter in(&saved);
  OleCheck(rs->Open(&in, EmptyParam(), -1, -1, -1));
  b.SetRecordset(rs);
  EXPECT_EQ(b.Recordset(), rs);
  EXPECT_EQ(rs->DataSet(), &b);
  EXPECT_EQ(b.RecordCount(), 4);
  EXPECT_EQ(ReadAll(b), Expected(SampleRows(4)));
  EXPECT_EQ(old->DataSet(), nullptr);
  EXPECT_FALSE(old->IsOpen());
  EXPECT_THROW(a.SetRecordset(rs), EDatabaseError);  // it belongs to b
  a.Close();
  b.Close();
}

TEST(ADORecordsetTest, RecordsetOutlivingItsDatasetIsClosed) {
  std::shared_ptr<TADORecordset> rs;
  {
    TADODataSet ado(nullptr);
    AddFieldDefs(ado);
    ado.CreateDataSet();
    rs = ado.Recordset();
    EXPECT_TRUE(rs->IsOpen());
  }
  EXPECT_FALSE(rs->IsOpen());
  EXPECT_EQ(rs->DataSet(), nullptr);
}

TEST(StreamAdapterTest, OwnershipDecidesWhoFreesTheStream) {
  TBytesStream kept(std::vector<Byte>{1, 2, 3});
  {
    TStreamAdapter a(&kept, soReference);
    std::uint8_t b[8];
    std::uint32_t got = 0;
    EXPECT_EQ(a.Read(b, 8, &got), S_FALSE);
    EXPECT_EQ(got, 3u);
    UInt64 pos = 99;
    EXPECT_EQ(a.Seek(1, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, 1u);
  }
  EXPECT_EQ(kept.Size(), 3);  // still alive and whole
  // An owning adapter frees its stream (the leak checker would see it otherwise).
  TStreamAdapter owning(new TMemoryStream, soOwned);
  std::uint32_t put = 0;
  EXPECT_EQ(owning.Write("ab", 2, &put), S_OK);
  EXPECT_EQ(put, 2u);
}

}  // namespace
