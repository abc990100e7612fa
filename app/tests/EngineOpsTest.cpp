#include <algorithm>
#include <fstream>

#include "app/tests/AppTestSupport.h"
#include "engines/fieldlist/IdDataSet.h"
#include "platform/classes/Files.h"
#include "platform/db/DB.h"
#include "platform/engines/Engines.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Random.h"
#include "platform/sys/CodePage.h"

namespace {

// One engine column that runs in this build: its dataset and the buttons the tests press.
struct Column {
  const char* engine;
  TDataSet* (*dataSet)(TForm1&);
  const char16_t* append;
  const char16_t* insert;
  const char16_t* saveToFile;
  const char16_t* saveToStream;
  const char16_t* empty;
  const char16_t* loadFromFile;
  const char16_t* loadFromStream;
};

const Column kColumns[] = {
    {"TFDMemTable", [](TForm1& f) -> TDataSet* { return f.FDMemTable(); }, u"btnFDAppend", u"btnFDInsert",
     u"btnFDSaveToFile", u"btnFDSaveToStream", u"btnFDEmptyDataSet", u"btnFDLoadFromFile", u"btnFDLoadFromStream"},
    {"TClientDataSet", [](TForm1& f) -> TDataSet* { return f.ClientDataSet(); }, u"btnAppend", u"btnCDSInsert",
     u"btnSaveToFile", u"btnSaveToStream", u"btnEmptyDataSet", u"btnLoadFromFile", u"btnLoadFromStream"},
    {"TADODataSet", [](TForm1& f) -> TDataSet* { return f.ADODataSet(); }, u"btnADOAppend", u"btnADOInsert",
     u"btnADOSaveToFile", u"btnADOSaveToStream", u"btnADOEmptyDataSet", u"btnADOLoadFromFile",
     u"btnADOLoadFromStream"},
    {"TIdMemDataSet", [](TForm1& f) -> TDataSet* { return f.IdMemTable(); }, u"Button1", u"Button7", u"Button3",
     u"Button5", u"Button2", u"Button4", u"Button6"},
    {"TvlxMemTable", [](TForm1& f) -> TDataSet* { return f.vlxMemTable(); }, u"btnvlxAppend", u"btnvlxInsert",
     u"btnvlxSaveToFile", u"btnvlxSaveToStream", u"btnvlxEmptyDataSet", u"btnvlxLoadFromFile",
     u"btnvlxLoadFromStream"},
    {"TMemTableKv", [](TForm1& f) -> TDataSet* { return f.MemTableKv(); }, u"btnMemTableKvAppend",
     u"btnMemTableKvInsert", u"btnKvSaveToFile", u"btnMemTableKvSaveToStream", u"btnMemTableKvEmptyDataSet",
     u"btnMemTableKvLoadFromFile", u"btnMemTableKvLoadFromStream"},
    {"TVirtTable", [](TForm1& f) -> TDataSet* { return f.VirtTable(); }, u"btnVtAppend", u"btnVtInsert",
     u"btnVtSaveToFile", u"btnVtSaveToStream", u"btnVtEmptyDataSet", u"btnVtLoadFromFile", u"btnVtLoadFromStream"},
};

class EngineOps : public AppTest {
 protected:
  void SetUp() override {
    savedCodePage = sys::GetSystemCodePage();
    sys::SetSystemCodePage(936);
    AppTest::SetUp();
  }
  void TearDown() override {
    AppTest::TearDown();
    SetNowClock(nullptr);
    sys::SetSystemCodePage(savedCodePage);
  }

  void Press(const char16_t* name) {
    TButton* b = GridButton(name);
    ASSERT_NE(b, nullptr) << StringToUTF8(name);
    b->Click();
  }
  void AddRows(const Column& c, int count) {
    form->seAppend->SetValue(count);
    Press(c.append);
  }
  static std::vector<int> CustomerIDs(TDataSet* ds) {
    std::vector<int> ids;
    ds->First();
    while (!ds->Eof()) {
      ids.push_back(ds->FieldByName(u"CustomerID")->AsInteger());
      ds->Next();
    }
    return ids;
  }

  unsigned savedCodePage = 0;
};

TEST_F(EngineOps, AtStartEveryBuiltDatasetIsOpenWithTheSchemaAndNoRows) {
  struct Def {
    const char16_t* name;
    TFieldType type;
    int size;
  };
  const Def schema[] = {{u"CustomerID", ftInteger, 0},   {u"ContactName", ftString, 10}, {u"Birthdate", ftDateTime, 0},
                        {u"MaritalStatus", ftBoolean, 0}, {u"Salary", ftFloat, 0},        {u"Address", ftWideString, 20},
                        {u"Comment", ftWideMemo, 0}};
  for (const Column& c : kColumns) {
    TDataSet* ds = c.dataSet(*form);
    ASSERT_NE(ds, nullptr) << c.engine;
    EXPECT_EQ(ds->ClassName(), UTF8ToString(c.engine));
    EXPECT_EQ(ds->Owner(), form) << c.engine;
    EXPECT_TRUE(ds->Active()) << c.engine;
    EXPECT_EQ(ds->RecordCount(), 0) << c.engine;
    ASSERT_EQ(ds->FieldCount(), 7) << c.engine;
    for (int i = 0; i < 7; ++i) {
      TField* f = ds->Fields().Fields(i);
      EXPECT_EQ(f->FieldName(), schema[i].name) << c.engine << " field " << i;
      EXPECT_EQ(f->DataType(), schema[i].type) << c.engine << " field " << i;
      if (schema[i].size != 0) {
        EXPECT_EQ(f->Size(), schema[i].size) << c.engine << " field " << i;
      }
      EXPECT_FALSE(f->Required()) << c.engine << " field " << i;
    }
  }
  // Engines not in this build: no dataset, and their columns cannot be pressed.
  EXPECT_EQ(form->MdbTable(), nullptr);
  for (const char16_t* name : {u"btnMdbAppend"})
    EXPECT_FALSE(GridButton(name)->Enabled()) << StringToUTF8(name);
}

TEST_F(EngineOps, TheDataFolderIsMadeOnFirstStartAndFoundLater) {
  const std::filesystem::path dir = DataDir();
  ASSERT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(form->FilePath(), UTF8ToString(dir.string()) + u"/");
  std::ofstream(dir / "kept.dat") << "x";
  delete form;
  form = NewForm();
  EXPECT_TRUE(std::filesystem::exists(dir / "kept.dat")) << "a later start reuses the folder";
  EXPECT_EQ(form->FilePath(), UTF8ToString(dir.string()) + u"/");
}

TEST_F(EngineOps, DataFilesAreNamedAfterTheDatasetsClass) {
  for (const Column& c : kColumns)
    EXPECT_EQ(form->DataFileName(c.dataSet(*form)), form->FilePath() + UTF8ToString(c.engine) + u".dat");
}

TEST_F(EngineOps, ACountAddsOneRowFewerWithIdsFromTwo) {
  struct Case {
    int count;
    int rows;
  };
  const Case cases[] = {{50000, 49999}, {2, 1}, {1, 0}, {0, 0}, {-5, 0}};
  for (const Case& k : cases) {
    TIdMemDataSet* ds = form->IdMemTable();
    ds->EmptyDataSet();
    AddRows(kColumns[3], k.count);
    ASSERT_EQ(ds->RecordCount(), k.rows) << k.count;
    std::vector<int> ids = CustomerIDs(ds);
    for (int i = 0; i < k.rows; ++i)
      if (ids[static_cast<std::size_t>(i)] != i + 2) FAIL() << "count " << k.count << " row " << i;
    EXPECT_TRUE(ShowsTime(form->Button1->Caption(), "Append")) << k.count;
  }
}

TEST_F(EngineOps, InsertRunsUseTheInsertCountAndRowsAccumulate) {
  for (const Column& c : kColumns) {
    form->seAppend->SetValue(4);
    form->seInsert->SetValue(3);
    Press(c.append);
    Press(c.insert);
    Press(c.append);  // identifiers start again at 2
    TDataSet* ds = c.dataSet(*form);
    EXPECT_EQ(ds->RecordCount(), 3 + 2 + 3) << c.engine;
    std::vector<int> ids = CustomerIDs(ds);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{2, 2, 2, 3, 3, 3, 4, 4})) << c.engine;
    EXPECT_TRUE(ShowsTime(GridButton(c.insert)->Caption(), "Insert")) << c.engine;
  }
}

TEST_F(EngineOps, ASeededRunGeneratesThePinnedFirstRow) {
  const TDateTime now = EncodeDate(2026, 3, 15) + EncodeTime(10, 20, 30, 0);
  SetNowClock([now] { return now; });
  SetRandSeed(20261210);
  form->seAppend->SetValue(2);
  Press(u"btnFDAppend");

  TDataSet* ds = form->FDMemTable();
  ASSERT_EQ(ds->RecordCount(), 1);
  ds->First();
  // Draws: 2 given-name characters, U+4E00 + 6302 and + 10927, surname 420 (a two-character one),
  // 15 + 11 years back, not married, 4000 + 4482 + 3516671890 / 2^32.
  const String name = u"澹台暞碯";
  EXPECT_EQ(ds->FieldByName(u"CustomerID")->AsInteger(), 2);
  EXPECT_EQ(ds->FieldByName(u"ContactName")->AsString(), name);
  EXPECT_EQ(ds->FieldByName(u"Birthdate")->AsDateTime(), EncodeDate(2000, 3, 15) + EncodeTime(10, 20, 30, 0));
  EXPECT_FALSE(ds->FieldByName(u"MaritalStatus")->AsBoolean());
  EXPECT_DOUBLE_EQ(ds->FieldByName(u"Salary")->AsFloat(), 8482.0 + 3516671890.0 / 4294967296.0);
  EXPECT_EQ(ds->FieldByName(u"Address")->AsString(), u"Address for " + name);
  EXPECT_EQ(ds->FieldByName(u"Comment")->AsString(), u"Comment for " + name);
}

TEST_F(EngineOps, GeneratedRowsStayWithinTheirRanges) {
  const TDateTime now = EncodeDate(2026, 7, 1) + EncodeTime(8, 0, 0, 0);
  SetNowClock([now] { return now; });
  SetRandSeed(7);
  form->seAppend->SetValue(400);
  Press(u"Button1");
  TDataSet* ds = form->IdMemTable();
  int married = 0;
  ds->First();
  while (!ds->Eof()) {
    const String name = ds->FieldByName(u"ContactName")->AsString();
    bool surnameFound = false;
    for (const char16_t* s : SurnameTable) {
      const String surname = s;
      const std::size_t rest = name.size() - surname.size();
      if (name.compare(0, surname.size(), surname) == 0 && (rest == 1 || rest == 2) &&
          std::all_of(name.begin() + static_cast<std::ptrdiff_t>(surname.size()), name.end(),
                      [](char16_t ch) { return ch >= 0x4E00 && ch <= 0x9FA5; }))
        surnameFound = true;
    }
    EXPECT_TRUE(surnameFound) << StringToUTF8(name);
    const double salary = ds->FieldByName(u"Salary")->AsFloat();
    EXPECT_GE(salary, 4000.0);
    EXPECT_LT(salary, 14000.0);
    std::uint16_t y, m, d, h, mi, s, ms;
    DecodeDateTime(ds->FieldByName(u"Birthdate")->AsDateTime(), y, m, d, h, mi, s, ms);
    EXPECT_TRUE(y >= 2026 - 44 && y <= 2026 - 15 && m == 7 && d == 1 && h == 8 && mi == 0) << y;
    married += ds->FieldByName(u"MaritalStatus")->AsBoolean() ? 1 : 0;
    EXPECT_LE(ds->FieldByName(u"Address")->AsString().size(), 16u);
    ds->Next();
  }
  EXPECT_GT(married, 100);
  EXPECT_LT(married, 300);
}

TEST_F(EngineOps, EveryBuiltEngineRoundTripsThroughItsFileAndStream) {
  for (const Column& c : kColumns) {
    TDataSet* ds = c.dataSet(*form);
    AddRows(c, 6);
    Press(c.saveToFile);
    EXPECT_TRUE(FileExists(form->DataFileName(ds))) << c.engine;
    Press(c.saveToStream);
    Press(c.empty);
    EXPECT_EQ(ds->RecordCount(), 0) << c.engine;
    Press(c.loadFromFile);
    EXPECT_EQ(ds->RecordCount(), 5) << c.engine;
    Press(c.empty);
    Press(c.loadFromStream);
    EXPECT_EQ(ds->RecordCount(), 5) << c.engine;
    EXPECT_TRUE(ds->Active()) << c.engine;
    std::vector<int> ids = CustomerIDs(ds);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{2, 3, 4, 5, 6})) << c.engine;
    const std::pair<const char16_t*, const char*> pressed[] = {{c.saveToFile, "SaveToFile"},
                                                               {c.saveToStream, "SaveToStream"},
                                                               {c.empty, "EmptyDataSet"},
                                                               {c.loadFromFile, "LoadFromFile"},
                                                               {c.loadFromStream, "LoadFromStream"}};
    for (const auto& [name, operation] : pressed) {
      EXPECT_TRUE(GridButton(name)->Enabled()) << c.engine << " " << operation;
      EXPECT_TRUE(ShowsTime(GridButton(name)->Caption(), operation)) << c.engine << " " << operation;
    }
  }
  EXPECT_TRUE(shown.empty());
}

TEST_F(EngineOps, AMissingDataFileLoadsNothingAndShowsATime) {
  for (const Column& c : kColumns) {
    AddRows(c, 3);
    Press(c.loadFromFile);
    EXPECT_EQ(c.dataSet(*form)->RecordCount(), 2) << c.engine;
    EXPECT_TRUE(ShowsTime(GridButton(c.loadFromFile)->Caption(), "LoadFromFile")) << c.engine;
  }
}

TEST_F(EngineOps, WithTheBoxCheckedAMissingArchiveRaisesAndStillShowsATime) {
  form->chkCompressionDecompressionFile->SetChecked(true);
  TButton* load = form->btnFDLoadFromFile;
  EXPECT_THROW(load->Click(), EZipException);
  EXPECT_TRUE(load->Enabled());
  EXPECT_TRUE(ShowsTime(load->Caption(), "LoadFromFile"));
}

TEST_F(EngineOps, WithTheBoxCheckedTheArchiveIsWrittenAndExtractedOverTheDataFile) {
  form->chkCompressionDecompressionFile->SetChecked(true);
  const Column& fd = kColumns[0];
  AddRows(fd, 11);
  Press(fd.saveToFile);
  const std::filesystem::path dat = DataDir() / "TFDMemTable.dat";
  ASSERT_TRUE(std::filesystem::exists(dat));
  ASSERT_TRUE(std::filesystem::exists(DataDir() / "TFDMemTable.zip"));

  std::ofstream(dat, std::ios::trunc) << "not a data file";
  Press(fd.empty);
  Press(fd.loadFromFile);
  EXPECT_EQ(form->FDMemTable()->RecordCount(), 10);
  EXPECT_TRUE(shown.empty());
}

TEST_F(EngineOps, SavingTwiceReplacesTheFile) {
  const Column& cds = kColumns[1];
  AddRows(cds, 4);
  Press(cds.saveToFile);
  Press(cds.empty);
  AddRows(cds, 2);
  Press(cds.saveToFile);
  Press(cds.empty);
  Press(cds.loadFromFile);
  EXPECT_EQ(form->ClientDataSet()->RecordCount(), 1);
}

TEST_F(EngineOps, AnEmptyADOStreamLeavesTheDatasetAsItIs) {
  const Column& ado = kColumns[2];
  AddRows(ado, 3);
  ASSERT_EQ(form->ADOStream()->Size(), 0);
  Press(ado.loadFromStream);
  EXPECT_EQ(form->ADODataSet()->RecordCount(), 2);
}

TEST_F(EngineOps, ACorruptADOStreamRaisesAndKeepsTheRows) {
  const Column& ado = kColumns[2];
  AddRows(ado, 4);
  const char garbage[] = "not a recordset at all";
  form->ADOStream()->WriteBuffer(garbage, sizeof garbage);
  EXPECT_THROW(form->btnADOLoadFromStream->Click(), EOleException);
  EXPECT_EQ(form->ADODataSet()->RecordCount(), 3);
  EXPECT_TRUE(form->btnADOLoadFromStream->Enabled());
  EXPECT_TRUE(ShowsTime(form->btnADOLoadFromStream->Caption(), "LoadFromStream"));
}

// Dispatch tests a dataset's class in a fixed order; descendants match their engine.
class TMyClientDataSet : public TClientDataSet {
  VELLUM_CLASS(TMyClientDataSet)
 public:
  using TClientDataSet::TClientDataSet;
};
class TMyFDMemTable : public TFDMemTable {
  VELLUM_CLASS(TMyFDMemTable)
 public:
  using TFDMemTable::TFDMemTable;
};
// A dataset of the shared engine that none of the dispatch tests names.
class TStrangeDataSet : public TMemEngineDataSet {
  VELLUM_CLASS(TStrangeDataSet)
 public:
  explicit TStrangeDataSet(TComponent* AOwner) : TMemEngineDataSet(AOwner, kFDMemTableMagic) {}
};

TEST_F(EngineOps, DispatchFollowsTheClassOrderAndAcceptsDescendants) {
  struct Case {
    TDataSet* dataSet;
    TEngineKind kind;
  };
  const Case cases[] = {
      {form->ADODataSet(), TEngineKind::ekADO},
      {form->ClientDataSet(), TEngineKind::ekClientDataSet},
      {form->FDMemTable(), TEngineKind::ekFDMemTable},
      {form->IdMemTable(), TEngineKind::ekIdMem},
      {form->MemTableKv(), TEngineKind::ekKv},
      {new TMyClientDataSet(form), TEngineKind::ekClientDataSet},
      {new TMyFDMemTable(form), TEngineKind::ekFDMemTable},
      {new TStrangeDataSet(form), TEngineKind::ekNone},
      {nullptr, TEngineKind::ekNone},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EngineKindOf(c.dataSet), c.kind) << (c.dataSet ? StringToUTF8(c.dataSet->ClassName()) : "null");
  static_assert(TEngineKind::ekADO < TEngineKind::ekClientDataSet && TEngineKind::ekClientDataSet < TEngineKind::ekFDMemTable &&
                TEngineKind::ekFDMemTable < TEngineKind::ekvlx && TEngineKind::ekvlx < TEngineKind::ekMdb &&
                TEngineKind::ekMdb < TEngineKind::ekKv && TEngineKind::ekKv < TEngineKind::ekVirtTable &&
                TEngineKind::ekVirtTable < TEngineKind::ekIdMem);
}

TEST_F(EngineOps, ADatasetOfAnUnknownClassGetsNoOperationButATime) {
  auto* strange = new TStrangeDataSet(form);
  TButton* b = form->btnFDSaveToStream;
  form->SaveEngineToStream(b, strange, form->FDStream());
  EXPECT_EQ(form->FDStream()->Size(), 0);
  EXPECT_TRUE(ShowsTime(b->Caption(), "SaveToStream"));
  form->EmptyEngine(b, strange);
  EXPECT_TRUE(b->Enabled());
}

// A watcher that fails when the dataset's controls are enabled again, the last step of a run.
class TFailingLink : public TDataLink {
 public:
  bool armed = false;

 protected:
  void DataSetChanged() override {
    if (armed) throw EDatabaseError(u"link failed");
  }
};

TEST_F(EngineOps, AFailureWhileReenablingControlsStillRestoresTheButton) {
  auto* source = new TDataSource(form);
  source->SetDataSet(form->ClientDataSet());
  TFailingLink link;
  link.SetDataSource(source);
  link.armed = true;

  TButton* b = form->btnAppend;
  form->seAppend->SetValue(3);
  EXPECT_THROW(b->Click(), EDatabaseError);
  link.armed = false;
  EXPECT_TRUE(b->Enabled()) << "the button must not stay disabled for good";
  EXPECT_TRUE(ShowsTime(b->Caption(), "Append"));
  EXPECT_EQ(form->ClientDataSet()->RecordCount(), 2) << "rows posted before the failure stay";
  EXPECT_FALSE(form->ClientDataSet()->ControlsDisabled());
}

TEST_F(EngineOps, AFailingRowStopsTheRunAndRestoresTheButton) {
  // A dataset that is closed cannot take rows: the first Append raises.
  form->ClientDataSet()->Close();
  TButton* b = form->btnAppend;
  form->seAppend->SetValue(5);
  EXPECT_THROW(b->Click(), EDatabaseError);
  EXPECT_TRUE(b->Enabled());
  EXPECT_TRUE(ShowsTime(b->Caption(), "Append"));
  EXPECT_FALSE(form->ClientDataSet()->ControlsDisabled());
}

TEST_F(EngineOps, TestAllRunsTheBuiltColumnsEndToEnd) {
  form->seAppend->SetValue(30);
  form->seInsert->SetValue(20);
  form->btnTestAll->Click();
  EXPECT_TRUE(shown.empty());
  EXPECT_TRUE(ShowsTotal(form->btnTestAll->Caption()));
  for (const Column& c : kColumns) {
    // Append 29 + Insert 19, saved; emptied; loaded from file; loaded from stream over it.
    EXPECT_EQ(c.dataSet(*form)->RecordCount(), 48) << c.engine;
    for (const char16_t* name : {c.append, c.insert, c.saveToFile, c.saveToStream, c.empty, c.loadFromFile,
                                 c.loadFromStream})
      EXPECT_NE(GridButton(name)->Caption().find(u" ms"), String::npos) << c.engine << " " << StringToUTF8(name);
  }
}

}  // namespace

namespace {

// The engine table is the window's only knowledge of engines: every row fills its column with a
// dataset its own class test recognises, the columns without a row stay empty, and no two rows
// claim one column.
TEST_F(EngineOps, EveryEngineRowFillsItsColumnAndRecognisesItsDataSet) {
  std::vector<TEngineKind> seen;
  for (const TEngineRow* row : EngineRows()) {
    EXPECT_EQ(std::count(seen.begin(), seen.end(), row->Kind), 0);
    seen.push_back(row->Kind);
    TDataSet* ds = form->DataSetOf(row->Kind);
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(EngineRowOf(ds), row);
    EXPECT_EQ(EngineRowFor(row->Kind), row);
    EXPECT_TRUE(ds->Active());
    EXPECT_EQ(ds->FieldCount(), 7);
  }
  for (int k = 0; k < static_cast<int>(TEngineKind::ekNone); ++k) {
    const auto kind = static_cast<TEngineKind>(k);
    if (EngineRowFor(kind) == nullptr) {
      EXPECT_EQ(form->DataSetOf(kind), nullptr);
    }
  }
}

}  // namespace
