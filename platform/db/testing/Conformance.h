// The engine conformance suite: the dataset contract of DataSet.h as every engine must honour it, as one
// parameterised GoogleTest suite an engine runs from its own tests/ with a factory.
//
// Covered: where Append and Insert put rows (empty set, first, middle, last), where the cursor rests
// after Delete and Cancel, the refetch after Post, RecNo read and write, bookmarks (valid, compared,
// invalid after delete and after emptying), rows hidden by OnFilterRecord, blob write-back and
// read-back, fields across Close/Open, DisableControls nesting, Locate/Lookup basics; and, for an engine
// with a stream format, save -> load -> save gives the same bytes, and a load cut at every byte or with
// a flipped byte raises (or, for a flip, may load) and a failed load leaves the engine exactly as it was.
//
// The suite works on the benchmark schema (BenchmarkSchema.h) with fixed, deterministic rows.
//
// Using it from an engine's tests (include this header in exactly one .cpp of the test executable, and
// link vellum_db_testing):
//
//   #include "platform/db/testing/Conformance.h"
//   #include "engines/kv/MemTableKv.h"
//
//   namespace {
//   const conformance::TEngine kKv{
//       .Name = "Kv",
//       .Create = [](TComponent* Owner) -> TDataSet* {     // open, empty, the benchmark schema
//         auto* t = new TMemTableKv(Owner);
//         AddBenchmarkSchema(t->FieldDefs());
//         t->Open();
//         return t;
//       },
//       .Empty = [](TDataSet& d) { static_cast<TMemTableKv&>(d).EmptyTable(); },
//       .Save = [](TDataSet& d, TStream& s) { static_cast<TMemTableKv&>(d).SaveToStream(&s); },
//       .Load = [](TDataSet& d, TStream& s) { static_cast<TMemTableKv&>(d).LoadFromStream(&s); },
//   };
//   }  // namespace
//   INSTANTIATE_TEST_SUITE_P(Kv, DataSetConformance, ::testing::Values(kKv), conformance::EngineName);
//
// Save and Load are optional (the stream tests then skip). Load starts with the stream at position 0.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/classes/Streams.h"
#include "platform/db/DB.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace conformance {

struct TEngine {
  const char* Name = "";
  // A new dataset owned by Owner, holding the benchmark schema, open and empty.
  std::function<TDataSet*(TComponent* Owner)> Create = {};
  // Removes every row, the engine's own way (empty: deleting from the first row until Eof).
  std::function<void(TDataSet&)> Empty = {};
  // The engine's stream format, when it has one.
  std::function<void(TDataSet&, TStream&)> Save = {};
  std::function<void(TDataSet&, TStream&)> Load = {};
  // How the engine opens again after Close (empty: Open).
  std::function<void(TDataSet&)> Reopen = {};
  // The format keeps no row count: a stream cut between two rows is a valid, shorter stream. A cut load
  // that succeeds must then hold the first rows of the saved ones.
  bool CutBetweenRowsLoads = false;
  // Runs the flipped-byte half of the stream test (an engine turns it off only while a known fault of
  // its reader is being mended, with a note saying which).
  bool FlippedBytes = true;
};

inline void PrintTo(const TEngine& Engine, std::ostream* Out) { *Out << Engine.Name; }

inline std::string EngineName(const ::testing::TestParamInfo<TEngine>& Info) { return Info.param.Name; }

// ---- rows -------------------------------------------------------------------------------------------

// Fills the record being edited with the fixed values of row Id (a null salary every seventh row, no
// comment every fifth).
inline void WriteRow(const TBenchmarkFields& F, int Id) {
  F.CustomerID->SetAsInteger(Id);
  F.ContactName->SetAsString(u"N" + IntToStr(Id));
  F.Birthdate->SetAsDateTime(30000.25 + Id);
  F.MaritalStatus->SetAsBoolean(Id % 2 == 0);
  if (Id % 7 != 0) F.Salary->SetAsFloat(1000.5 * Id);
  F.Address->SetAsString(u"地址 " + IntToStr(Id));
  if (Id % 5 != 0) F.Comment->SetAsString(u"备注 " + IntToStr(Id) + String(static_cast<std::size_t>(Id % 40), u'x'));
}

inline void AppendRows(TDataSet& DS, const std::vector<int>& Ids) {
  const TBenchmarkFields f(DS);
  for (int id : Ids) {
    DS.Append();
    WriteRow(f, id);
    DS.Post();
  }
}

// The CustomerIDs in row order (First .. Eof), the cursor brought back to where it stood.
inline std::vector<int> Ids(TDataSet& DS) {
  std::vector<int> out;
  const TBookmark keep = DS.GetBookmark();
  TField* id = DS.FieldByName(u"CustomerID");
  for (DS.First(); !DS.Eof(); DS.Next()) out.push_back(id->AsInteger());
  if (!keep.empty() && DS.BookmarkValid(keep)) DS.GotoBookmark(keep);
  return out;
}

inline int ActiveId(TDataSet& DS) { return DS.FieldByName(u"CustomerID")->AsInteger(); }

// Everything a failed load must leave as it was: open or not, state, fields, every value of every row,
// and the active row.
struct TSnapshot {
  bool Active = false;
  TDataSetState State = dsInactive;
  std::vector<std::string> Fields;
  std::vector<std::vector<std::string>> Rows;
  std::vector<std::string> ActiveRow;
  friend bool operator==(const TSnapshot&, const TSnapshot&) = default;
};

inline void PrintTo(const TSnapshot& S, std::ostream* Out) {
  *Out << (S.Active ? "open" : "closed") << ", state " << static_cast<int>(S.State) << ", fields";
  for (const std::string& f : S.Fields) *Out << " " << f;
  *Out << "\n  rows:";
  for (const auto& row : S.Rows) {
    *Out << "\n   ";
    for (const std::string& v : row) *Out << " [" << v << "]";
  }
  *Out << "\n  active:";
  for (const std::string& v : S.ActiveRow) *Out << " [" << v << "]";
}

inline std::vector<std::string> RowValues(TDataSet& DS) {
  std::vector<std::string> row;
  for (TField* f : DS.Fields()) row.push_back(f->IsNull() ? std::string("<null>") : StringToUTF8(f->AsString()));
  return row;
}

inline TSnapshot Snapshot(TDataSet& DS) {
  TSnapshot s;
  s.Active = DS.Active();
  s.State = DS.State();
  for (TField* f : DS.Fields())
    s.Fields.push_back(StringToUTF8(f->FieldName()) + ":" + std::to_string(static_cast<int>(f->DataType())) + ":" +
                       std::to_string(f->Size()));
  if (!s.Active) return s;
  if (!DS.IsEmpty()) s.ActiveRow = RowValues(DS);
  const TBookmark keep = DS.GetBookmark();
  for (DS.First(); !DS.Eof(); DS.Next()) s.Rows.push_back(RowValues(DS));
  if (!keep.empty() && DS.BookmarkValid(keep)) DS.GotoBookmark(keep);
  return s;
}

// Counts what the data links are told.
class TCountingLink : public TDataLink {
 public:
  int Changes = 0;

 protected:
  void DataSetChanged() override { ++Changes; }
  void DataSetScrolled(int) override { ++Changes; }
  void RecordChanged(TField*) override { ++Changes; }
};

}  // namespace conformance

// ---- the suite --------------------------------------------------------------------------------------

class DataSetConformance : public ::testing::TestWithParam<conformance::TEngine> {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    FOwner = std::make_unique<TComponent>(nullptr);
  }
  void TearDown() override { FOwner.reset(); }

  // A new dataset of the engine, holding rows with the given IDs, the first row active.
  TDataSet& Make(const std::vector<int>& Ids = {}) {
    TDataSet* ds = GetParam().Create(FOwner.get());
    if (ds == nullptr || !ds->Active()) throw std::runtime_error("the factory must return an open dataset");
    conformance::AppendRows(*ds, Ids);
    ds->First();
    return *ds;
  }
  void Empty(TDataSet& DS) {
    if (GetParam().Empty) {
      GetParam().Empty(DS);
      return;
    }
    DS.First();
    while (!DS.Eof()) DS.Delete();
  }
  bool HasStream() const { return GetParam().Save && GetParam().Load; }
  TBytes Saved(TDataSet& DS) {
    TMemoryStream s;
    GetParam().Save(DS, s);
    TBytes bytes(static_cast<std::size_t>(s.Size()));
    s.SetPosition(0);
    if (!bytes.empty()) s.ReadBuffer(bytes.data(), static_cast<Int64>(bytes.size()));
    return bytes;
  }
  void LoadBytes(TDataSet& DS, const TBytes& Bytes) {
    TMemoryStream s;
    if (!Bytes.empty()) s.WriteBuffer(Bytes.data(), static_cast<Int64>(Bytes.size()));
    s.SetPosition(0);
    GetParam().Load(DS, s);
  }

  std::unique_ptr<TComponent> FOwner;
};

using conformance::ActiveId;
using conformance::Ids;

TEST_P(DataSetConformance, AppendAndInsertPutRowsWhereTheContractSays) {
  struct Case {
    const char* name;
    std::vector<int> start;
    int recNo;  // row to stand on first (1-based; 0: stay on the first row)
    bool insert;
    std::vector<int> expect;
  };
  const Case cases[] = {
      {"append to empty", {}, 0, false, {9}},
      {"insert into empty", {}, 0, true, {9}},
      {"append after last", {1, 2, 3}, 2, false, {1, 2, 3, 9}},
      {"insert before first", {1, 2, 3}, 1, true, {9, 1, 2, 3}},
      {"insert in the middle", {1, 2, 3}, 2, true, {1, 9, 2, 3}},
      {"insert before last", {1, 2, 3}, 3, true, {1, 2, 9, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TDataSet& ds = Make(c.start);
    for (int i = 1; i < c.recNo; ++i) ds.Next();
    if (c.insert) ds.Insert();
    else ds.Append();
    conformance::WriteRow(TBenchmarkFields(ds), 9);
    ds.Post();
    EXPECT_EQ(ActiveId(ds), 9);  // the refetch after Post shows the stored row
    EXPECT_EQ(Ids(ds), c.expect);
    EXPECT_EQ(ds.RecordCount(), static_cast<int>(c.expect.size()));
  }
}

TEST_P(DataSetConformance, DeleteAndCancelLeaveTheCursorWhereTheContractSays) {
  TDataSet& ds = Make({1, 2, 3, 4});
  ds.Next();  // on 2
  ds.Delete();
  EXPECT_EQ(ActiveId(ds), 3);  // the row after
  ds.Last();
  ds.Delete();
  EXPECT_EQ(ActiveId(ds), 3);  // the new last row
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 3}));

  ds.First();
  ds.Insert();
  ds.FieldByName(u"CustomerID")->SetAsInteger(8);
  ds.Cancel();
  EXPECT_EQ(ActiveId(ds), 1);  // back on the row the insert stood before
  ds.Append();
  ds.Cancel();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 3}));

  ds.First();
  ds.Edit();
  ds.FieldByName(u"ContactName")->SetAsString(u"changed");
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName(u"ContactName")->AsString(), u"N1");
}

TEST_P(DataSetConformance, EditPostRefetchesTheStoredRow) {
  TDataSet& ds = Make({1, 2, 3});
  ds.Next();
  ds.Edit();
  ds.FieldByName(u"ContactName")->SetAsString(u"Zed");
  ds.FieldByName(u"Salary")->Clear();
  ds.Post();
  EXPECT_EQ(ActiveId(ds), 2);
  EXPECT_EQ(ds.FieldByName(u"ContactName")->AsString(), u"Zed");
  EXPECT_TRUE(ds.FieldByName(u"Salary")->IsNull());
  ds.First();
  ds.Next();
  EXPECT_EQ(ds.FieldByName(u"ContactName")->AsString(), u"Zed");
}

TEST_P(DataSetConformance, RecNoReadsAndMoves) {
  TDataSet& ds = Make({10, 20, 30, 40});
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Last();
  EXPECT_EQ(ds.RecNo(), 4);
  for (int n : {2, 4, 1, 3}) {
    ds.SetRecNo(n);
    EXPECT_EQ(ds.RecNo(), n);
    EXPECT_EQ(ActiveId(ds), n * 10);
  }
}

TEST_P(DataSetConformance, BookmarksReturnCompareAndExpire) {
  TDataSet& ds = Make({1, 2, 3});
  ds.Next();
  const TBookmark two = ds.GetBookmark();
  ds.Next();
  const TBookmark three = ds.GetBookmark();
  ASSERT_FALSE(two.empty());
  EXPECT_TRUE(ds.BookmarkValid(two));
  EXPECT_EQ(ds.CompareBookmarks(two, three), -1);
  EXPECT_EQ(ds.CompareBookmarks(three, two), 1);
  EXPECT_EQ(ds.CompareBookmarks(two, two), 0);
  ds.First();
  ds.GotoBookmark(two);
  EXPECT_EQ(ActiveId(ds), 2);
  ds.Delete();
  EXPECT_FALSE(ds.BookmarkValid(two));
  EXPECT_TRUE(ds.BookmarkValid(three));
  Empty(ds);
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_FALSE(ds.BookmarkValid(three));
}

TEST_P(DataSetConformance, OnFilterRecordHidesRows) {
  TDataSet& ds = Make({1, 2, 3, 4, 5});
  ds.SetOnFilterRecord([](TDataSet& d, bool& Accept) { Accept = d.FieldByName(u"CustomerID")->AsInteger() % 2 == 1; });
  ds.SetFiltered(true);
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 3, 5}));
  ds.Last();
  EXPECT_EQ(ActiveId(ds), 5);
  ds.Prior();
  EXPECT_EQ(ActiveId(ds), 3);
  ds.SetFiltered(false);
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_P(DataSetConformance, BlobsWriteBackAndReadBack) {
  TDataSet& ds = Make({1, 5});
  TField* comment = ds.FieldByName(u"Comment");
  EXPECT_EQ(comment->AsString(), u"备注 1x");
  ds.Next();
  EXPECT_TRUE(comment->IsNull());
  const String big(70000, u'長');
  ds.Edit();
  comment->SetAsString(big);
  ds.Post();
  ds.First();
  ds.Last();
  EXPECT_EQ(comment->AsString(), big);
  // Through a blob stream: written in edit, kept by Post, read back by a read stream.
  ds.First();
  ds.Edit();
  {
    std::unique_ptr<TStream> w = ds.CreateBlobStream(comment, bmWrite);
    const char16_t text[] = u"streamed";
    w->WriteBuffer(text, 16);
  }
  ds.Post();
  ds.Last();
  ds.First();
  EXPECT_EQ(comment->AsString(), u"streamed");
  std::unique_ptr<TStream> r = ds.CreateBlobStream(comment, bmRead);
  EXPECT_EQ(r->Size(), 16);
}

TEST_P(DataSetConformance, FieldsSurviveCloseAndOpen) {
  TDataSet& ds = Make({1});
  std::vector<String> before;
  ds.GetFieldNames(before);
  ds.Close();
  EXPECT_FALSE(ds.Active());
  if (GetParam().Reopen) GetParam().Reopen(ds);
  else ds.Open();
  std::vector<String> after;
  ds.GetFieldNames(after);
  EXPECT_EQ(after, before);
  EXPECT_EQ(ds.FieldCount(), 7);
}

TEST_P(DataSetConformance, DisableControlsNests) {
  TDataSet& ds = Make({1, 2, 3});
  TDataSource source(nullptr);
  source.SetDataSet(&ds);
  conformance::TCountingLink link;
  link.SetDataSource(&source);
  link.Changes = 0;
  ds.DisableControls();
  ds.DisableControls();
  ds.Next();
  ds.Edit();
  ds.FieldByName(u"ContactName")->SetAsString(u"quiet");
  ds.Post();
  ds.EnableControls();
  EXPECT_TRUE(ds.ControlsDisabled());
  EXPECT_EQ(link.Changes, 0);
  ds.EnableControls();
  EXPECT_FALSE(ds.ControlsDisabled());
  EXPECT_EQ(link.Changes, 1);
  link.SetDataSource(nullptr);
  source.SetDataSet(nullptr);
}

TEST_P(DataSetConformance, LocateAndLookupFindRows) {
  TDataSet& ds = Make({1, 2, 3, 4});
  EXPECT_TRUE(ds.Locate(u"ContactName", Variant(u"N3"), 0));
  EXPECT_EQ(ActiveId(ds), 3);
  EXPECT_TRUE(ds.Locate(u"ContactName", Variant(u"n2"), loCaseInsensitive));
  EXPECT_EQ(ActiveId(ds), 2);
  EXPECT_TRUE(ds.Locate(u"CustomerID;ContactName", VarArrayOf({Variant(4), Variant(u"N4")}), 0));
  EXPECT_EQ(ActiveId(ds), 4);
  EXPECT_FALSE(ds.Locate(u"CustomerID", Variant(99), 0));
  EXPECT_EQ(ActiveId(ds), 4);  // a miss does not move
  EXPECT_THROW(ds.Locate(u"Nope", Variant(1), 0), EDatabaseError);
  ds.First();
  EXPECT_EQ(VarToStr(ds.Lookup(u"CustomerID", Variant(3), u"ContactName")), u"N3");
  const Variant both = ds.Lookup(u"CustomerID", Variant(2), u"ContactName;Address");
  ASSERT_TRUE(VarIsArray(both));
  EXPECT_EQ(VarToStr(VarArrayGet(both, 1)), u"地址 2");
  EXPECT_TRUE(VarIsNull(ds.Lookup(u"CustomerID", Variant(99), u"ContactName")));
  EXPECT_EQ(ActiveId(ds), 1);  // Lookup does not move
}

// ---- the stream format ----------------------------------------------------------------------------

TEST_P(DataSetConformance, SaveLoadSaveGivesTheSameBytes) {
  if (!HasStream()) GTEST_SKIP() << "no stream format";
  TDataSet& ds = Make({1, 2, 3, 5, 7});
  const TBytes first = Saved(ds);
  TDataSet& other = Make({42});
  LoadBytes(other, first);
  EXPECT_EQ(Ids(other), (std::vector<int>{1, 2, 3, 5, 7}));
  EXPECT_EQ(conformance::Snapshot(other).Rows, conformance::Snapshot(ds).Rows);
  EXPECT_EQ(Saved(other), first);
}

TEST_P(DataSetConformance, ACutOrFlippedStreamRaisesAndChangesNothing) {
  if (!HasStream()) GTEST_SKIP() << "no stream format";
  TDataSet& source = Make({1, 2, 5});
  const TBytes good = Saved(source);
  const std::vector<std::vector<std::string>> savedRows = conformance::Snapshot(source).Rows;
  TDataSet& ds = Make({3, 4});
  ds.Next();
  const conformance::TSnapshot before = conformance::Snapshot(ds);
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    const TBytes bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    TDataSet& target = Make({3, 4});
    target.Next();
    try {
      LoadBytes(target, bytes);
      ASSERT_TRUE(GetParam().CutBetweenRowsLoads) << "a stream cut at byte " << cut << " of " << good.size() << " loaded";
      const conformance::TSnapshot loaded = conformance::Snapshot(target);
      ASSERT_LT(loaded.Rows.size(), savedRows.size()) << "cut at " << cut;
      ASSERT_TRUE(std::equal(loaded.Rows.begin(), loaded.Rows.end(), savedRows.begin()))
          << "a stream cut at byte " << cut << " loaded rows that were not saved";
    } catch (const Exception&) {
      ASSERT_EQ(conformance::Snapshot(target), before) << "a failed load at cut " << cut << " changed the dataset";
    }
    delete &target;
  }
  if (!GetParam().FlippedBytes) return;
  // A flipped byte may still make a valid stream (a changed value): then it loads. Otherwise it must
  // raise and keep everything.
  for (std::size_t at = 0; at < good.size(); ++at) {
    TBytes bytes = good;
    bytes[at] ^= 0xFF;
    TDataSet& target = Make({3, 4});
    target.Next();
    try {
      LoadBytes(target, bytes);
    } catch (const Exception&) {
      ASSERT_EQ(conformance::Snapshot(target), before) << "a failed load with byte " << at << " flipped changed the dataset";
    }
    delete &target;
  }
}
