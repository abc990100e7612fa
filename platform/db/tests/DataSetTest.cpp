#include <gtest/gtest.h>

#include "platform/db/tests/TestSupport.h"

using dbtest::Ids;
using dbtest::OpenWithIds;

namespace {

// ---- Append and Insert placement -------------------------------------------------------------------------

struct PlacementCase {
  const char* name;
  std::vector<int> start;   // rows before the run
  int moveTo;               // 1-based row to stand on before the run (0: stay where Open left us)
  bool insert;              // Insert instead of Append
  std::vector<int> added;   // rows added, one Append/Insert + Post each
  std::vector<int> expect;  // row order afterwards
  int expectActive;         // ID of the active row afterwards
};

class Placement : public ::testing::TestWithParam<std::tuple<PlacementCase, int>> {};

TEST_P(Placement, RowsLandWhereTheContractSays) {
  const auto& [c, window] = GetParam();
  dbtest::Linked l(c.start);
  TVectorDataSet& ds = l.ds;
  // A wider window (as grids make it) must not change where rows land.
  l.link.SetBufferCount(window);

  ds.First();
  for (int i = 1; i < c.moveTo; ++i) ds.Next();
  TField* id = ds.FieldByName(u"ID");
  for (int v : c.added) {
    if (c.insert)
      ds.Insert();
    else
      ds.Append();
    id->SetAsInteger(v);
    ds.Post();
    EXPECT_EQ(id->AsInteger(), v) << c.name << ": the posted row is the active row";
  }
  EXPECT_EQ(id->AsInteger(), c.expectActive) << c.name;
  EXPECT_EQ(Ids(ds), c.expect) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    AppendInsert, Placement,
    ::testing::Combine(
        ::testing::Values(
            PlacementCase{"append to empty", {}, 0, false, {1, 2, 3}, {1, 2, 3}, 3},
            PlacementCase{"append from the middle", {1, 2, 3}, 2, false, {4}, {1, 2, 3, 4}, 4},
            PlacementCase{"insert into empty", {}, 0, true, {7}, {7}, 7},
            PlacementCase{"insert in the middle", {1, 2, 3}, 2, true, {9}, {1, 9, 2, 3}, 9},
            PlacementCase{"insert at the first row", {1, 2, 3}, 1, true, {9}, {9, 1, 2, 3}, 9},
            // After every Post the cursor rests on the posted row, so each insert goes before it.
            PlacementCase{"insert run after a post", {1, 2}, 2, true, {7, 8, 9}, {1, 9, 8, 7, 2}, 9},
            PlacementCase{"insert run into empty", {}, 0, true, {1, 2, 3}, {3, 2, 1}, 3},
            // More rows than the widest window: inserting pushes a buffered row out of the window.
            PlacementCase{"insert with a full window", {1, 2, 3, 4, 5, 6}, 3, true, {7, 8}, {1, 2, 8, 7, 3, 4, 5, 6}, 8},
            PlacementCase{"insert at the last row", {1, 2, 3, 4, 5, 6}, 6, true, {7}, {1, 2, 3, 4, 5, 7, 6}, 7},
            PlacementCase{"append with a full window", {1, 2, 3, 4, 5, 6}, 2, false, {7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}, 8}),
        ::testing::Values(1, 4)));

// With a wide window filled from the end, the engine cursor stands on another buffer than the active
// one: Post must first bring it to the row the inserted buffer names.
TEST(DataSet, InsertAfterScrollingInsideAWideWindow) {
  dbtest::Linked l({1, 2, 3, 4, 5, 6});
  TVectorDataSet& ds = l.ds;
  l.link.SetBufferCount(4);
  ds.Last();
  ds.Prior();
  ds.Prior();
  ASSERT_EQ(ds.FieldByName(u"ID")->AsInteger(), 4);
  EXPECT_NE(ds.CurrentRecord(), ds.ActiveRecord());
  ds.Insert();
  ds.FieldByName(u"ID")->SetAsInteger(9);
  ds.Post();
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 9);
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 2, 3, 9, 4, 5, 6}));
}

TEST(DataSet, EofHoldsForTheWholeAppend) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2});
  ds.First();
  ds.Append();
  EXPECT_TRUE(ds.Eof());
  ds.FieldByName(u"ID")->SetAsInteger(5);
  ds.FieldByName(u"Name")->SetAsString(u"x");
  EXPECT_TRUE(ds.Eof());
  ds.Post();
  EXPECT_FALSE(ds.Eof());
}

TEST(DataSet, AppendAndInsertRunsDoNotSearchTheEngine) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3});
  ds.ResetCallCounts();
  TField* id = ds.FieldByName(u"ID");
  for (int i = 0; i < 50; ++i) {
    ds.Append();
    id->SetAsInteger(100 + i);
    ds.Post();
  }
  EXPECT_EQ(ds.SetToRecordCalls(), 0);
  ds.First();
  ds.ResetCallCounts();
  for (int i = 0; i < 50; ++i) {
    ds.Insert();
    id->SetAsInteger(200 + i);
    ds.Post();
  }
  EXPECT_EQ(ds.SetToRecordCalls(), 0);
  EXPECT_EQ(ds.RecordCount(), 103);
}

TEST(DataSet, CancelledAppendLeavesTheLastRowActive) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3});
  ds.First();
  ds.Append();
  ds.FieldByName(u"ID")->SetAsInteger(9);
  ds.Cancel();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 3);
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 2, 3}));
}

TEST(DataSet, EditPostReplacesTheActiveRow) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3});
  ds.First();
  ds.Next();
  ds.Edit();
  EXPECT_EQ(ds.State(), dsEdit);
  ds.FieldByName(u"ID")->SetAsInteger(20);
  EXPECT_TRUE(ds.Modified());
  ds.Post();
  EXPECT_EQ(Ids(ds), (std::vector<int>{1, 20, 3}));
}

TEST(DataSet, FieldModifiedMarksLastOneEdit) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2});
  TField* id = ds.FieldByName(u"ID");
  for (bool post : {true, false}) {
    ds.Edit();
    id->SetModified(true);  // as a blob stream marks the field it wrote
    if (post)
      ds.Post();
    else
      ds.Cancel();
    EXPECT_FALSE(id->Modified()) << (post ? "after Post" : "after Cancel");
  }
  ds.Append();
  id->SetModified(true);
  ds.Cancel();
  ds.Edit();
  EXPECT_FALSE(id->Modified()) << "a new edit starts unmarked";
  ds.Cancel();
}

TEST(DataSet, PostOutsideEditRaises) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1});
  EXPECT_THROW(ds.Post(), EDatabaseError);
  EXPECT_THROW(ds.FieldByName(u"ID")->SetAsInteger(3), EDatabaseError);
}

// ---- navigation, Delete, bookmarks -----------------------------------------------------------------------

TEST(DataSet, NavigationSetsBofAndEof) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3});
  ds.First();
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(ds.MoveBy(5), 2);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 3);
  EXPECT_EQ(ds.MoveBy(-5), -2);
  EXPECT_TRUE(ds.Bof());
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 3);
}

TEST(DataSet, EmptyDataSetIsBofAndEof) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {});
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.GetBookmark().empty());
  EXPECT_THROW(ds.Delete(), EDatabaseError);
}

TEST(DataSet, DeleteUntilEofEmptiesTheDataSet) {
  for (const int window : {1, 3}) {
    dbtest::Linked l({1, 2, 3, 4, 5});
    TVectorDataSet& ds = l.ds;
    l.link.SetBufferCount(window);
    ds.First();
    int deleted = 0;
    while (!ds.Eof() && deleted < 10) {
      ds.Delete();
      ++deleted;
    }
    EXPECT_EQ(deleted, 5) << "window " << window;
    EXPECT_EQ(ds.RecordCount(), 0);
    EXPECT_TRUE(ds.IsEmpty());
  }
}

TEST(DataSet, DeleteMovesToTheFollowingRow) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3});
  ds.First();
  ds.Next();
  ds.Delete();
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 3);
  ds.Delete();
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 1);
}

TEST(DataSet, BookmarksReturnToTheirRow) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3, 4});
  ds.First();
  ds.Next();
  const TBookmark two = ds.GetBookmark();
  ASSERT_EQ(two.size(), 4u);
  ds.Last();
  const TBookmark four = ds.GetBookmark();
  ds.GotoBookmark(two);
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 2);
  EXPECT_EQ(ds.CompareBookmarks(two, four), -1);
  EXPECT_EQ(ds.CompareBookmarks(four, two), 1);
  EXPECT_EQ(ds.CompareBookmarks(two, two), 0);
  EXPECT_TRUE(ds.BookmarkValid(two));
  ds.Delete();
  EXPECT_FALSE(ds.BookmarkValid(two));
  EXPECT_THROW(ds.GotoBookmark(two), EDatabaseError);
  // No bookmark while a new row is being inserted.
  ds.Append();
  EXPECT_TRUE(ds.GetBookmark().empty());
  ds.Cancel();
}

// ---- filters ----------------------------------------------------------------------------------------------

TEST(DataSet, RowHiddenByTheFilterAfterPostIsLeft) {
  struct Case {
    const char* name;
    bool edit;         // edit the active row instead of appending one
    int standOn;       // 1-based row to stand on first
    int expectActive;  // the visible row the cursor goes to
  };
  const Case cases[] = {
      {"appended row hidden: prior row", false, 2, 3},
      {"edited row hidden: next row", true, 2, 3},
      {"edited last row hidden: prior row", true, 3, 2},
  };
  for (const Case& c : cases)
  for (const bool laxEngine : {false, true}) {
    TVectorDataSet ds(nullptr);
    // A lax engine hands back its current row without testing the filter: the framework must still
    // move off a hidden row.
    ds.SetCurrentIgnoresFilter(laxEngine);
    OpenWithIds(ds, {1, 2, 3});
    ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName(u"ID")->AsInteger() != 99; });
    ds.SetFiltered(true);
    ds.First();
    for (int i = 1; i < c.standOn; ++i) ds.Next();
    if (c.edit)
      ds.Edit();
    else
      ds.Append();
    ds.FieldByName(u"ID")->SetAsInteger(99);
    ds.Post();
    EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), c.expectActive) << c.name;
    EXPECT_EQ(ds.RecordCount(), c.edit ? 2 : 3) << c.name;
    // And an Insert from here lands next to a visible row, not the hidden one.
    ds.Insert();
    ds.FieldByName(u"ID")->SetAsInteger(50);
    ds.Post();
    EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 50) << c.name;
  }
}

TEST(DataSet, FilterHidesRowsFromNavigation) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3, 4});
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName(u"ID")->AsInteger() % 2 == 0; });
  ds.SetFiltered(true);
  ds.First();
  EXPECT_EQ(Ids(ds), (std::vector<int>{2, 4}));
  EXPECT_EQ(ds.RecordCount(), 2);
}

// ---- errors and retry events -------------------------------------------------------------------------------

TEST(DataSet, FieldByNameOnAMissingName) {
  struct Case {
    const char16_t* datasetName;
    const char* expect;
  };
  const Case cases[] = {
      {u"", "Field 'Nope' not found"},
      {u"Customers", "Customers: Field 'Nope' not found"},
  };
  for (const Case& c : cases) {
    TVectorDataSet ds(nullptr);
    if (*c.datasetName) ds.SetName(c.datasetName);
    OpenWithIds(ds, {1});
    EXPECT_EQ(ds.FindField(u"Nope"), nullptr);
    EXPECT_EQ(ds.FindField(u"id"), ds.FieldByName(u"ID")) << "names compare without case";
    try {
      ds.FieldByName(u"Nope");
      ADD_FAILURE() << "no exception";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.expect);
    }
  }
}

// An engine whose CursorPost fails a given number of times.
class FlakyDataSet : public TVectorDataSet {
 public:
  using TVectorDataSet::TVectorDataSet;
  int FailuresLeft = 0;

 protected:
  void CursorPost() override {
    if (FailuresLeft > 0) {
      --FailuresLeft;
      throw EDatabaseError(u"busy");
    }
    TVectorDataSet::CursorPost();
  }
};

TEST(DataSet, PostErrorEventDecides) {
  struct Case {
    TDataAction action;
    int failures;
    const char* expect;  // "ok", "EDatabaseError" or "EAbort"
    TDataSetState stateAfter;
  };
  const Case cases[] = {
      {daRetry, 2, "ok", dsBrowse},
      {daFail, 1, "EDatabaseError", dsInsert},
      {daAbort, 1, "EAbort", dsInsert},
  };
  for (const Case& c : cases) {
    FlakyDataSet ds(nullptr);
    OpenWithIds(ds, {1});
    int calls = 0;
    ds.OnPostError = [&](TDataSet&, EDatabaseError&, TDataAction& action) {
      ++calls;
      action = c.action;
    };
    ds.FailuresLeft = c.failures;
    ds.Append();
    ds.FieldByName(u"ID")->SetAsInteger(2);
    std::string got = "ok";
    try {
      ds.Post();
    } catch (const EAbort&) {
      got = "EAbort";
    } catch (const EDatabaseError&) {
      got = "EDatabaseError";
    }
    EXPECT_EQ(got, c.expect);
    EXPECT_EQ(calls, c.failures);
    EXPECT_EQ(ds.State(), c.stateAfter);
  }
}

TEST(DataSet, RequiredFieldIsCheckedOnPost) {
  TVectorDataSet ds(nullptr);
  ds.SetName(u"T");
  ds.FieldDefs().Add(u"ID", ftInteger, 0, true);
  ds.Open();
  ds.Append();
  try {
    ds.Post();
    ADD_FAILURE() << "no exception";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'ID' must have a value");
  }
  ds.FieldByName(u"ID")->SetAsInteger(1);
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(DataSet, OperationsOnAClosedDataSetRaise) {
  TVectorDataSet ds(nullptr);
  ds.SetName(u"T");
  ds.FieldDefs().Add(u"ID", ftInteger);
  try {
    ds.Append();
    ADD_FAILURE() << "no exception";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "T: Cannot perform this operation on a closed dataset");
  }
}

// ---- events --------------------------------------------------------------------------------------------------

TEST(DataSet, EventsOfAnAppendRunInOrder) {
  TVectorDataSet ds(nullptr);
  ds.FieldDefs().Add(u"ID", ftInteger);
  std::vector<std::string> log;
  auto note = [&log](const char* what) { return [&log, what](TDataSet&) { log.push_back(what); }; };
  ds.BeforeOpen = note("BeforeOpen");
  ds.AfterOpen = note("AfterOpen");
  ds.BeforeInsert = note("BeforeInsert");
  ds.OnNewRecord = [&log](TDataSet& d) {
    log.push_back("OnNewRecord");
    d.FieldByName(u"ID")->SetAsInteger(42);
  };
  ds.AfterInsert = note("AfterInsert");
  ds.BeforePost = note("BeforePost");
  ds.AfterPost = note("AfterPost");
  ds.BeforeClose = note("BeforeClose");
  ds.AfterClose = note("AfterClose");
  ds.Open();
  ds.Append();
  ds.Post();
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 42);
  ds.Close();
  const std::vector<std::string> expect = {"BeforeOpen",  "AfterOpen",  "BeforeInsert", "OnNewRecord", "AfterInsert",
                                           "BeforePost",  "AfterPost",  "BeforeClose",  "AfterClose"};
  EXPECT_EQ(log, expect);
}

// ---- automatic fields ------------------------------------------------------------------------------------------

// An engine that makes its own fields at open, named the way memory tables name them (dataset name,
// "_", field name, the first free number).
class SelfFieldingDataSet : public TVectorDataSet {
 public:
  using TVectorDataSet::TVectorDataSet;

 protected:
  void CursorOpen() override {
    for (const char16_t* name : {u"A", u"B"}) {
      TField* f = new TIntegerField(this);
      f->SetFieldName(name);
      for (int n = 1;; ++n) {
        const String candidate = Name() + u"_" + name + Str(std::to_string(n));
        if (!FindComponent(candidate)) {
          f->SetName(candidate);
          break;
        }
      }
      f->SetLifeCycle(lcAutomatic);
      f->SetDataSet(this);
    }
    TVectorDataSet::CursorOpen();
  }
};

TEST(DataSet, OpenCloseCyclesNeitherLeakFieldsNorDriftNames) {
  TVectorDataSet plain(nullptr);
  plain.FieldDefs().Add(u"ID", ftInteger);
  plain.FieldDefs().Add(u"Memo", ftWideMemo);
  SelfFieldingDataSet own(nullptr);
  own.SetName(u"T");
  for (int cycle = 0; cycle < 3; ++cycle) {
    plain.Open();
    EXPECT_EQ(plain.FieldCount(), 2);
    EXPECT_EQ(plain.ComponentCount(), 2);
    plain.Close();
    EXPECT_EQ(plain.FieldCount(), 0) << "automatic fields go with the close";
    EXPECT_EQ(plain.ComponentCount(), 0);

    own.Open();
    ASSERT_EQ(own.FieldCount(), 2);
    EXPECT_EQ(own.Fields()[0]->Name(), u"T_A1");
    EXPECT_EQ(own.Fields()[1]->Name(), u"T_B1");
    own.Close();
    EXPECT_EQ(own.ComponentCount(), 0);
  }
}

TEST(DataSet, PersistentFieldsSurviveClose) {
  TVectorDataSet ds(nullptr);
  auto* id = dbtest::AddField<TIntegerField>(ds, u"ID");
  ds.Open();
  ds.Append();
  id->SetAsInteger(3);
  ds.Post();
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 1);
  EXPECT_EQ(ds.FindField(u"ID"), id);
  ds.Open();
  EXPECT_EQ(ds.FieldByName(u"ID"), id);
}

TEST(DataSet, FieldFreedFirstLeavesTheDataSet) {
  TVectorDataSet ds(nullptr);
  auto* id = dbtest::AddField<TIntegerField>(ds, u"ID");
  delete id;
  EXPECT_EQ(ds.FieldCount(), 0);
  EXPECT_EQ(ds.ComponentCount(), 0);
}

// ---- the default exception route -------------------------------------------------------------------------------

TEST(ExceptionRoute, GoesToTheInstalledHandlerElseToStderr) {
  std::string seen;
  auto previous = SetDefaultExceptionHandler([&seen](TObject*, const std::exception& e) { seen = e.what(); });
  HandleDefaultException(nullptr, EDatabaseError(u"first"));
  EXPECT_EQ(seen, "first");
  SetDefaultExceptionHandler(previous);

  testing::internal::CaptureStderr();
  try {
    throw EDatabaseError(u"second");
  } catch (...) {
    HandleCurrentException(nullptr);
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("second"), std::string::npos);
}

TEST(ExceptionRoute, AFailingBlobStoreIsReportedNotSwallowed) {
  TVectorDataSet ds(nullptr);
  ds.FieldDefs().Add(u"ID", ftInteger);
  ds.FieldDefs().Add(u"Memo", ftMemo);
  ds.Open();
  ds.Append();
  TField* memo = ds.FieldByName(u"Memo");
  memo->OnChange = [](TField&) { throw EDatabaseError(u"rejected"); };
  std::string seen;
  auto previous = SetDefaultExceptionHandler([&seen](TObject*, const std::exception& e) { seen = e.what(); });
  memo->SetAsString(u"text");
  SetDefaultExceptionHandler(previous);
  EXPECT_EQ(seen, "rejected");
  ds.Cancel();
}

}  // namespace
