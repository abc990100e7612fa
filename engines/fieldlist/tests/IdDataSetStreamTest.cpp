// Saving and loading whole datasets: the view is what is saved, a load replaces fields and rows, and a
// load that fails (or a rows-only stream that cannot be taken) leaves the dataset exactly as it was.
#include "engines/fieldlist/tests/IdTestSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <tuple>

#include "platform/classes/Files.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/rtl/SysUtils.h"

namespace {

using idtest::DataSetTest;
using idtest::Row;

TBytes Bytes(std::initializer_list<int> b) {
  TBytes out;
  for (int v : b) out.push_back(static_cast<Byte>(v));
  return out;
}

void Load(TIdMemDataSet& ds, const TBytes& bytes) {
  TBytesStream s(bytes);
  ds.LoadFromStream(&s);
}

TEST_F(DataSetTest, EmptyBenchmarkDatasetSavesTheSevenDescriptors) {
  const TBytes saved = Saved();
  ASSERT_EQ(saved.size(), 183u);
  EXPECT_EQ(TBytes(saved.begin(), saved.begin() + 8), Bytes({0x54, 0x44, 1, 0, 7, 0, 0, 0}));
  // "CustomerID": size 4, type 3, name length 20.
  EXPECT_EQ(TBytes(saved.begin() + 8, saved.begin() + 15), Bytes({4, 0, 0, 0, 3, 20, 0}));
}

TEST_F(DataSetTest, RoundTripKeepsValuesNullsAndEmptyTexts) {
  AddAll({{2, u"赵一", 4000.5}, {3, u"", 5000}, {4, u"x", 6000, true}});
  const TBytes first = Saved();
  // A benchmark row: 5 + (5 + name bytes, or 1 when null) + 9 + 3 + 9 + (5 + 2 × address) + (4 + 2 × comment).
  EXPECT_EQ(first.size(), 183u + (5 + 9 + 9 + 3 + 9 + 33 + 32) + (5 + 5 + 9 + 3 + 9 + 29 + 28) +
                              (5 + 1 + 9 + 3 + 9 + 31 + 30));
  DS->Close();
  Load(*DS, first);
  ASSERT_TRUE(DS->Active());
  EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(Saved(), first);
  DS->First();
  EXPECT_EQ(F(u"ContactName")->AsString(), u"赵一");
  EXPECT_EQ(F(u"Comment")->AsString(), u"Comment for 赵一");
  DS->Next();
  EXPECT_FALSE(F(u"ContactName")->IsNull());
  DS->Next();
  EXPECT_TRUE(F(u"ContactName")->IsNull());
  // Bookmarks are numbered afresh.
  EXPECT_EQ(DS->GetBookmark(), (TBookmark{3, 0, 0, 0}));
}

TEST_F(DataSetTest, SaveWritesTheViewSortedAndFiltered) {
  AddAll({{1, u"a", 300}, {2, u"b", 100}, {3, u"c", 200}});
  DS->SetSort(u"Salary DESC");
  DS->SetOnFilterData([](TDataSet&, int index, bool& accept) { accept = index != 1; });  // hides 300's neighbour
  DS->SetFiltered(true);
  const std::vector<int> view = Ids();
  const TBytes saved = Saved();
  auto other = std::make_unique<TIdMemDataSet>(nullptr);
  Load(*other, saved);
  std::vector<int> loaded;
  for (other->First(); !other->Eof(); other->Next()) loaded.push_back(other->FieldByName(u"CustomerID")->AsInteger());
  EXPECT_EQ(loaded, view);
  EXPECT_EQ(loaded, (std::vector<int>{1, 2}));
}

TEST_F(DataSetTest, FileRoundTripAndMissingFile) {
  AddAll({{1, u"a", 1}, {2, u"b", 2}});
  // Comments of 0.6 and 1.4 MB: a file is read in blocks of 1 MB, so rows, lengths and values straddle
  // the block ends and one value is longer than a block.
  for (const auto& [id, length] : {std::pair{3, 300000}, std::pair{4, 700000}}) {
    DS->Append();
    F(u"CustomerID")->SetAsInteger(id);
    F(u"Comment")->SetAsString(String(static_cast<std::size_t>(length), static_cast<char16_t>(u'a' + id)));
    DS->Post();
  }
  AddAll({{5, u"e", 5}});
  const TBytes saved = Saved();
  // A name of this process and test alone: parallel test runs (ctest -j, two worktrees) never share it.
  const String name = UTF8ToString(testing::TempDir()) + u"fieldlist_roundtrip_" + IntToStr(static_cast<int>(::getpid())) +
                      u"_" + UTF8ToString(testing::UnitTest::GetInstance()->current_test_info()->name()) + u".dat";
  DS->SaveToFile(name);
  DS->Close();
  DS->LoadFromFile(name);
  EXPECT_EQ(Saved(), saved);
  // A file cut inside its second block: the load raises and the rows stay.
  {
    TFileStream cut(name, fmCreate);
    cut.WriteBuffer(saved.data(), 1500000);
  }
  try {
    DS->LoadFromFile(name);
    ADD_FAILURE() << "a cut file loaded";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), idstream::SStreamIncorrect);
  }
  EXPECT_EQ(Saved(), saved);
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 3, 4, 5}));
  DeleteFile(name);
  DS->LoadFromFile(name);  // missing: nothing changes, nothing raised
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 3, 4, 5}));
  DS->Close();
  EXPECT_THROW(DS->SaveToFile(name), EDatabaseError);
  EXPECT_FALSE(FileExists(name));
}

TEST_F(DataSetTest, LoadAddsVirtualFieldsTheStreamLacks) {
  AddAll({{1, u"a", 1}});
  const TBytes saved = Saved();
  DS->Close();
  DS->VirtualFieldDefs().Add(u"Extra", ftInteger);
  DS->VirtualFieldDefs().Add(u"Note", ftString, 5);
  DS->VirtualFieldDefs().Add(u"Serial", ftAutoInc);
  Load(*DS, saved);
  ASSERT_EQ(DS->FieldCount(), 10);
  DS->First();
  EXPECT_FALSE(F(u"Extra")->IsNull());
  EXPECT_EQ(F(u"Extra")->AsInteger(), 0);
  EXPECT_TRUE(F(u"Note")->IsNull());
  EXPECT_EQ(F(u"Serial")->AsInteger(), 1);
  // Saving without the virtual fields gives back the stream that was loaded.
  TBytesStream s;
  DS->SaveToStream(&s, true);
  EXPECT_EQ(s.Bytes(), saved);
}

// Every kind of bad input: the load raises, and fields, rows, sort and state are what they were.
TEST_F(DataSetTest, FailedLoadsLeaveTheDatasetAsItWas) {
  AddAll({{1, u"a", 300}, {2, u"b", 100}});
  DS->SetSort(u"Salary");
  DS->Last();
  const TBytes before = Saved();

  auto other = std::make_unique<TIdMemDataSet>(nullptr);
  other->VirtualFieldDefs().Add(u"N", ftInteger);
  other->VirtualFieldDefs().Add(u"S", ftString, 4);
  other->CreateDataSet();
  for (int i = 0; i < 2; ++i) {
    other->Append();
    other->FieldByName(u"N")->SetAsInteger(7 + i);
    other->FieldByName(u"S")->SetAsString(u"ab");
    other->Post();
  }
  TBytesStream good;
  other->SaveToStream(&good);
  const TBytes valid = good.Bytes();

  struct Case {
    std::string name;
    TBytes stream;
    const char16_t* message;
  };
  std::vector<Case> cases;
  for (std::size_t cut = 0; cut < valid.size(); ++cut) {
    // Cuts between rows (rows of 12 bytes after 26 bytes of header and descriptors) leave a shorter
    // but valid stream.
    if (cut >= 26 && (cut - 26) % 12 == 0) continue;
    cases.push_back({"truncated at " + std::to_string(cut), TBytes(valid.begin(), valid.begin() + cut),
                     cut < 8 ? u"The stream is incorrect" : nullptr});
  }
  cases.push_back({"bad magic", Bytes({0x41, 0x42, 1, 0, 0, 0, 0, 0}), u"The stream is incorrect"});
  cases.push_back({"name length 257", Bytes({0x54, 0x44, 1, 0, 1, 0, 0, 0, 4, 0, 0, 0, 3, 1, 1}), u"The data is incorrect"});
  TBytes hostile = valid;
  hostile.resize(valid.size() - 24);  // keep the descriptors, drop both rows
  for (int b : {1, 7, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0x7F, 0x61}) hostile.push_back(static_cast<Byte>(b));
  cases.push_back({"hostile text length", hostile, u"The stream is incorrect"});
  TBytes negative = valid;
  negative.resize(valid.size() - 24);
  for (int b : {1, 7, 0, 0, 0, 1, 0xFE, 0xFF, 0xFF, 0xFF}) negative.push_back(static_cast<Byte>(b));
  cases.push_back({"negative text length", negative, u"The stream is incorrect"});
  cases.push_back({"rows only on a closed dataset", Bytes({0x54, 0x52, 1, 0}), nullptr});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool closeFirst = c.name == "rows only on a closed dataset";
    if (closeFirst) DS->Close();
    bool raised = false;
    try {
      Load(*DS, c.stream);
    } catch (const Exception& e) {
      raised = true;
      if (c.message != nullptr) {
        EXPECT_EQ(e.Message(), c.message);
      }
    }
    EXPECT_TRUE(raised);
    if (closeFirst) {
      EXPECT_FALSE(DS->Active());
      DS->CreateDataSet();
      AddAll({{1, u"a", 300}, {2, u"b", 100}});
      DS->SetSort(u"");
      DS->SetSort(u"Salary");
      DS->Last();
      continue;
    }
    ASSERT_TRUE(DS->Active());
    EXPECT_EQ(DS->FieldCount(), 7);
    EXPECT_EQ(DS->Sort(), u"Salary");
    EXPECT_EQ(F(u"CustomerID")->AsInteger(), 1);  // still on the last row of the view
    EXPECT_EQ(Saved(), before);
  }
}

TEST_F(DataSetTest, ALoadIntoAnOpenDatasetKeepsTheStagedValues) {
  // The staged rows share the blob table with the rows the load drops when it closes the dataset:
  // those go value by value, the staged ones stay.
  AddAll({{3, u"c", 1}, {4, u"d", 1}});
  const TBytes saved = Saved();
  DS->EmptyDataSet();
  AddAll({{1, u"a", 1}, {2, u"b", 1}});
  DS->First();
  Load(*DS, saved);
  EXPECT_EQ(Ids(), (std::vector<int>{3, 4}));
  DS->Last();
  EXPECT_EQ(F(u"Comment")->AsString(), u"Comment for d");
  EXPECT_EQ(DS->Blobs().LiveCount(), 2u);
  EXPECT_EQ(Saved(), saved);
}

TEST_F(DataSetTest, RowsOnlyStreamReplacesTheRowsOfTheOpenDataset) {
  // Rows are read into the fields a stream brought (fields made from VirtualFieldDefs are not read).
  DS->Close();
  DS->VirtualFieldDefs().Clear();
  auto source = std::make_unique<TIdMemDataSet>(nullptr);
  source->VirtualFieldDefs().Add(u"N", ftInteger);
  source->CreateDataSet();
  source->Append();
  source->FieldByName(u"N")->SetAsInteger(5);
  source->Post();
  TBytesStream s;
  source->SaveToStream(&s);
  DS->LoadFromStream(&s);
  ASSERT_EQ(DS->FieldCount(), 1);
  // "TR", then two rows of N.
  Load(*DS, Bytes({0x54, 0x52, 1, 0, 1, 8, 0, 0, 0, 1, 9, 0, 0, 0}));
  std::vector<int> values;
  for (DS->First(); !DS->Eof(); DS->Next()) values.push_back(DS->FieldByName(u"N")->AsInteger());
  EXPECT_EQ(values, (std::vector<int>{8, 9}));
  // A broken one, or one without rows, changes nothing.
  EXPECT_THROW(Load(*DS, Bytes({0x54, 0x52, 1, 0, 1, 8, 0})), Exception);
  EXPECT_EQ(DS->RecordCount(), 2);
  Load(*DS, Bytes({0x54, 0x52, 1, 0}));
  EXPECT_EQ(DS->RecordCount(), 2);
  EXPECT_TRUE(DS->Active());
}

TEST_F(DataSetTest, RowsOnlyStreamWithoutFieldsToReadIsRefused) {
  // Every field of a CreateDataSet dataset comes from VirtualFieldDefs: no field reads stream rows.
  AddAll({{1, u"a", 1}});
  const TBytes before = Saved();
  try {
    Load(*DS, Bytes({0x54, 0x52, 1, 0, 1, 8, 0, 0, 0}));
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"The stream is incorrect");
  }
  EXPECT_EQ(Saved(), before);
}

TEST_F(DataSetTest, KeyFlagAndVarBytesSurviveALoad) {
  // One ftInteger key field "K" (type byte 0x83) and one ftVarBytes field "V" of Size 3 (stored 5).
  const TBytes stream = Bytes({0x54, 0x44, 1, 0, 2, 0, 0, 0, 4, 0, 0, 0, 0x83, 2, 0, 'K', 0, 5, 0, 0, 0, 13, 2, 0, 'V', 0,
                                 1, 1, 0, 0, 0, 1, 2, 0, 0xAA, 0xBB, 0});
  Load(*DS, stream);
  ASSERT_EQ(DS->FieldCount(), 9);  // the two of the stream, then the seven virtual ones
  EXPECT_NE(F(u"K")->ProviderFlags() & pfInKey, 0u);
  EXPECT_EQ(F(u"V")->Size(), 3);
  TBytes resaved;
  {
    TBytesStream s;
    DS->SaveToStream(&s, true);
    resaved = s.Bytes();
  }
  // Saved again (without the virtual fields), the stream is the same but for the key bit.
  TBytes expected = stream;
  expected[12] = 3;
  EXPECT_EQ(resaved, expected);
}

}  // namespace

namespace {

// The blob types that share a field class with ftMemo or ftBlob: a field keeps its definition's type, so
// the layout of the rows read matches the fields made, and the stream round-trips.
TEST(IdDataSetStream, BlobSubtypesRoundTrip) {
  const TFieldType types[] = {ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftGraphic, ftMemo, ftBlob};
  TIdMemDataSet source(nullptr);
  for (std::size_t i = 0; i < std::size(types); ++i)
    source.VirtualFieldDefs().Add(u"B" + IntToStr(static_cast<int>(i)), types[i]);
  source.CreateDataSet();
  for (std::size_t i = 0; i < std::size(types); ++i)
    EXPECT_EQ(source.Fields()[static_cast<int>(i)]->DataType(), types[i]) << static_cast<int>(types[i]);
  source.Append();
  for (std::size_t i = 0; i < std::size(types); ++i)
    source.Fields()[static_cast<int>(i)]->SetAsString(u"v" + IntToStr(static_cast<int>(i)));
  source.Post();
  TBytesStream saved;
  source.SaveToStream(&saved);

  TIdMemDataSet target(nullptr);
  target.VirtualFieldDefs().Add(u"Old", ftInteger);
  target.CreateDataSet();
  target.Append();
  target.FieldByName(u"Old")->SetAsInteger(1);
  target.Post();
  saved.SetPosition(0);
  target.LoadFromStream(&saved);
  ASSERT_EQ(target.FieldCount(), static_cast<int>(std::size(types)) + 1);
  ASSERT_EQ(target.RecordCount(), 1);
  target.First();
  for (std::size_t i = 0; i < std::size(types); ++i) {
    TField* f = target.Fields()[static_cast<int>(i)];
    EXPECT_EQ(f->DataType(), types[i]);
    EXPECT_EQ(f->AsString(), u"v" + IntToStr(static_cast<int>(i)));
  }
  TBytesStream again;
  target.SaveToStream(&again, true);
  EXPECT_EQ(again.Bytes(), saved.Bytes());
}

}  // namespace

namespace {

// A "TD" stream of the given descriptors (name, type, stored size) and trailing bytes.
TBytes TdStream(const std::vector<std::tuple<std::u16string, int, int>>& descriptors, const TBytes& rest = {}) {
  TBytes b = {0x54, 0x44, 1, 0};
  const auto put32 = [&b](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<Byte>(v >> (8 * i)));
  };
  put32(static_cast<std::uint32_t>(descriptors.size()));
  for (const auto& [name, type, size] : descriptors) {
    put32(static_cast<std::uint32_t>(size));
    b.push_back(static_cast<Byte>(type));
    b.push_back(static_cast<Byte>(name.size() * 2));
    b.push_back(0);
    for (char16_t c : name) {
      b.push_back(static_cast<Byte>(c));
      b.push_back(static_cast<Byte>(c >> 8));
    }
  }
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

// Every check making the fields could raise runs before the dataset is touched: a refused load leaves
// fields, rows and state exactly as they were.
TEST(IdDataSetStream, LoadsRefusedByTheFieldsLeaveTheDatasetAsItWas) {
  sys::SetSystemCodePage(936);
  struct Case {
    const char* name;
    TBytes stream;
    const char16_t* message;
  };
  const Case cases[] = {
      // What SaveToStream writes for a dataset whose every field was left out.
      {"no descriptors, no virtual fields", TdStream({}), u"Kept: No Records"},
      {"no descriptors, then bytes", TdStream({}, {1, 5, 0, 0, 0}), u"The data is incorrect"},
      {"control character in a name", TdStream({{u"a\x01", 3, 4}}), u"The data is incorrect"},
      {"NUL in a name", TdStream({{std::u16string(u"a\0b", 3), 3, 4}}), u"The data is incorrect"},
      {"names equal to the field list", TdStream({{u"a", 3, 4}, {u"\uFF21", 3, 4}}), u"The data is incorrect"},
      {"GUID of size 0", TdStream({{u"g", 35, 0}}), u"The data is incorrect"},
      {"GUID of size 10", TdStream({{u"g", 35, 10}}), u"The data is incorrect"},
      {"GUID of size 39", TdStream({{u"g", 35, 39}}), u"The data is incorrect"},
      // Native dates outside the calendar would raise at every read: the reader refuses them.
      {"date INT_MIN", TdStream({{u"d", 9, 4}}, {1, 0, 0, 0, 0x80}), u"The data is incorrect"},
      {"date 0", TdStream({{u"d", 9, 4}}, {1, 0, 0, 0, 0}), u"The data is incorrect"},
      {"time of a whole day", TdStream({{u"t", 10, 4}}, {1, 0x00, 0x5C, 0x26, 0x05}), u"The data is incorrect"},
      {"date-time 1.2e292", TdStream({{u"dt", 11, 8}}, {1, 0xF9, 0x65, 0x92, 0xB4, 0x71, 0x3D, 0x93, 0x7C}),
       u"The data is incorrect"},
  };
  TIdMemDataSet ds(nullptr);
  ds.SetName(u"Kept");
  Load(ds, TdStream({{u"N", 3, 4}, {u"S", 1, 4}}, {1, 7, 0, 0, 0, 1, 2, 0, 0, 0, 'a', 'b', 0, 0}));
  ds.Last();
  TBytesStream before;
  ds.SaveToStream(&before);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Load(ds, c.stream);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    ASSERT_TRUE(ds.Active());
    EXPECT_EQ(ds.State(), dsBrowse);
    ASSERT_EQ(ds.FieldCount(), 2);
    EXPECT_EQ(ds.Fields()[0]->FieldName(), u"N");
    EXPECT_EQ(ds.Fields()[1]->FieldName(), u"S");
    EXPECT_EQ(ds.RecordCount(), 2);
    EXPECT_EQ(ds.RecNo(), 2);
    EXPECT_TRUE(ds.FieldByName(u"N")->IsNull());
    TBytesStream after;
    ds.SaveToStream(&after);
    EXPECT_EQ(after.Bytes(), before.Bytes());
  }
  // A GUID of its proper size still loads.
  Load(ds, TdStream({{u"g", 35, 38}}));
  EXPECT_EQ(ds.FieldByName(u"g")->Size(), 38);
}

// A virtual field whose name the field list takes for a stream field's is not made a second time.
TEST(IdDataSetStream, VirtualFieldNamesCompareAsTheFieldListDoes) {
  TIdMemDataSet ds(nullptr);
  ds.VirtualFieldDefs().Add(u"\uFF21", ftInteger);
  ds.VirtualFieldDefs().Add(u"Extra", ftInteger);
  ds.CreateDataSet();
  Load(ds, TdStream({{u"a", 3, 4}}, {1, 9, 0, 0, 0}));
  ASSERT_EQ(ds.FieldCount(), 2);
  EXPECT_EQ(ds.Fields()[0]->FieldName(), u"a");
  EXPECT_EQ(ds.Fields()[1]->FieldName(), u"Extra");
  EXPECT_EQ(ds.FieldByName(u"a")->AsInteger(), 9);
}

}  // namespace

namespace {

// Holds the memory a load may take at Bytes for one test.
struct TLoadMemoryLimit {
  explicit TLoadMemoryLimit(std::size_t Bytes) { SetLoadMemoryLimit(Bytes); }
  ~TLoadMemoryLimit() { SetLoadMemoryLimit(0); }
};

// 32 KB of one-byte null rows of a 65,533-character text field ask for 2 GB of rows: past what the load
// may take, it stops with a clear error before allocating, and the dataset keeps what it held.
TEST(IdDataSetStream, ALoadAskingForMoreMemoryThanItMayTakeIsRefused) {
  sys::SetSystemCodePage(936);
  TIdMemDataSet ds(nullptr);
  Load(ds, TdStream({{u"N", 3, 4}}, {1, 7, 0, 0, 0}));
  const TBytes hostile = TdStream({{u"T", 1, 65533}}, TBytes(32768, 0));
  const TLoadMemoryLimit limit(16 << 20);
  for (bool rowsOnly : {false, true}) {
    TBytes stream = hostile;
    if (rowsOnly) {
      // The same rows after a "TR" header, into a dataset of that wide field.
      TIdMemDataSet wide(nullptr);
      Load(wide, TdStream({{u"T", 1, 65533}}, {1, 1, 0, 0, 0, 'x'}));
      stream = {0x54, 0x52, 1, 0};
      stream.insert(stream.end(), 32768, 0);
      try {
        Load(wide, stream);
        ADD_FAILURE() << "no error";
      } catch (const EOutOfMemory& e) {
        EXPECT_EQ(e.Message(), u"Out of memory");
      }
      ASSERT_EQ(wide.RecordCount(), 1);
      EXPECT_EQ(wide.FieldByName(u"T")->AsString(), u"x");
      continue;
    }
    try {
      Load(ds, stream);
      ADD_FAILURE() << "no error";
    } catch (const EOutOfMemory& e) {
      EXPECT_EQ(e.Message(), u"Out of memory");
    }
    ASSERT_TRUE(ds.Active());
    ASSERT_EQ(ds.FieldCount(), 1);
    ASSERT_EQ(ds.RecordCount(), 1);
    EXPECT_EQ(ds.FieldByName(u"N")->AsInteger(), 7);
  }
  // Within the limit the same field loads.
  Load(ds, TdStream({{u"T", 1, 65533}}, TBytes(100, 0)));
  EXPECT_EQ(ds.RecordCount(), 100);
}

}  // namespace
