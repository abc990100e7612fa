// The dataset over the store: fields from VirtualFieldDefs, placement of appended and inserted rows,
// fetching, deleting, bookmarks and blob sharing with record buffers.
#include "engines/fieldlist/tests/IdTestSupport.h"

#include <cstring>

namespace {

using idtest::DataSetTest;
using idtest::Row;

TEST_F(DataSetTest, CreateDataSetMakesTheVirtualFields) {
  ASSERT_EQ(DS->FieldCount(), 7);
  EXPECT_EQ(DS->Fields()[1]->FieldName(), u"ContactName");
  EXPECT_EQ(DS->Fields()[1]->Name(), u"IdMemDataSet1_ContactName1");
  EXPECT_EQ(DS->RecordSize(), 85);
  EXPECT_EQ(DS->Store()->BlockSize(), 90);
  EXPECT_EQ(DS->IdFieldByName(u"Salary")->OffSet(), 34);
  EXPECT_THROW(DS->IdFieldByName(u"Nope"), EDatabaseError);
  AddAll({{1, u"赵一", 4000}});
  DS->CreateDataSet();  // closes and makes them again, without rows
  EXPECT_EQ(DS->FieldCount(), 7);
  EXPECT_EQ(DS->Fields()[1]->Name(), u"IdMemDataSet1_ContactName1");
  EXPECT_EQ(DS->RecordCount(), 0);
}

TEST_F(DataSetTest, ValuesReadBackThroughTheFields) {
  Add({7, u"赵钱孙李周", 4000.5});  // 10 bytes in GBK: fits exactly
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 7);
  EXPECT_EQ(F(u"ContactName")->AsString(), u"赵钱孙李周");
  EXPECT_EQ(F(u"Salary")->AsFloat(), 4000.5);
  EXPECT_EQ(F(u"Address")->AsString(), u"Address for 赵钱孙李周");
  EXPECT_EQ(F(u"Comment")->AsString(), u"Comment for 赵钱孙李周");
  EXPECT_EQ(F(u"Birthdate")->AsDateTime(), 30007);
  EXPECT_FALSE(F(u"MaritalStatus")->AsBoolean());
  const TIdField* name = DS->IdFieldByName(u"ContactName");
  EXPECT_EQ(name->GetAsString(0), u"赵钱孙李周");
}

TEST_F(DataSetTest, AppendAndInsertPlaceRows) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, bool>> steps;  // id, append
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"appends in order", {{1, true}, {2, true}, {3, true}}, {1, 2, 3}},
      {"insert into empty", {{1, false}}, {1}},
      {"inserts stay at the cursor", {{1, false}, {2, false}, {3, false}}, {3, 2, 1}},
      {"insert after appends", {{1, true}, {2, true}, {3, false}}, {1, 3, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DS->EmptyDataSet();
    for (auto [id, append] : c.steps) Add({id, u"n", 1}, append);
    EXPECT_EQ(Ids(), c.expected);
  }
}

TEST_F(DataSetTest, InsertBeforeTheFirstRowGoesFirst) {
  AddAll({{1, u"a", 1}, {2, u"b", 1}});
  TRecordBuffer buffer = DS->Store()->AllocRecordBlock();
  const std::int32_t id = 9;
  DS->IdFieldByName(u"CustomerID")->SetRecordData(buffer, reinterpret_cast<const Byte*>(&id), 4);
  DS->CursorFirst();
  DS->CursorAddRecord(buffer, false);
  DS->Store()->FreeRecordBlock(buffer);
  DS->Resync(0);
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 9);
  EXPECT_EQ(Ids(), (std::vector<int>{9, 1, 2}));
}

TEST_F(DataSetTest, FetchTable) {
  TRecordBuffer buffer = DS->Store()->AllocRecordBlock();
  EXPECT_EQ(DS->FetchRecord(buffer, fmNext, false), frEOF);
  EXPECT_EQ(DS->FetchRecord(buffer, fmPrior, false), frEOF);
  EXPECT_EQ(DS->FetchRecord(buffer, fmCurrent, false), frEOF);
  AddAll({{1, u"a", 1}, {2, u"b", 1}});
  struct Step {
    TFetchMode mode;
    TFetchResult result;
    int id;  // the buffer's CustomerID after the step, 0 when not fetched
  };
  DS->CursorFirst();
  const Step steps[] = {{fmCurrent, frError, 0}, {fmPrior, frBOF, 0}, {fmNext, frOK, 1},   {fmNext, frOK, 2},
                        {fmNext, frEOF, 0},      {fmCurrent, frOK, 2}, {fmPrior, frOK, 1}, {fmPrior, frBOF, 0}};
  for (const Step& s : steps) {
    std::memset(buffer + 5, 0, 5);
    EXPECT_EQ(DS->FetchRecord(buffer, s.mode, false), s.result);
    std::int32_t id = 0;
    if (s.result == frOK) std::memcpy(&id, buffer + 6, 4);
    EXPECT_EQ(id, s.id);
  }
  DS->CursorFirst();
  EXPECT_THROW(DS->FetchRecord(buffer, fmCurrent, true), EDatabaseError) << "cursor before the first row";
  DS->Store()->FreeRecordBlock(buffer);
}

TEST_F(DataSetTest, DeletingTheLastRowShowsTheNewLast) {
  AddAll({{1, u"a", 1}, {2, u"b", 1}, {3, u"c", 1}});
  DS->Last();
  DS->Delete();
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 2);
  DS->First();
  DS->Delete();
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 2);
  DS->Delete();
  EXPECT_TRUE(DS->IsEmpty());
  EXPECT_EQ(DS->RecordCount(), 0);
}

TEST_F(DataSetTest, EmptyDataSetRestartsBookmarksAndCreatesWhenClosed) {
  AddAll({{1, u"a", 1}, {2, u"b", 1}});
  DS->EmptyDataSet();
  EXPECT_EQ(DS->RecordCount(), 0);
  Add({3, u"c", 1});
  EXPECT_EQ(DS->GetBookmark(), (TBookmark{1, 0, 0, 0}));
  DS->Close();
  EXPECT_EQ(DS->FieldCount(), 0);
  DS->EmptyDataSet();
  EXPECT_TRUE(DS->Active());
  EXPECT_EQ(DS->FieldCount(), 7);
}

TEST_F(DataSetTest, EmptyingDropsTheBlobTableWholeWhileBuffersShareValues) {
  // The rows' memos are shared with the record buffers, one row is left in edit, and one value is
  // shared by two rows; emptying drops every value at once, and nothing a buffer held is released later.
  AddAll({{1, u"a", 1}, {2, u"b", 1}, {3, u"c", 1}});
  DS->First();
  DS->Edit();
  F(u"Comment")->SetAsString(u"pending");
  DS->EmptyDataSet();
  EXPECT_EQ(DS->Blobs().LiveCount(), 0u);
  AddAll({{4, u"d", 1}, {5, u"e", 1}});
  DS->Last();
  DS->Edit();
  F(u"Comment")->SetAsString(u"changed");
  DS->Post();
  EXPECT_EQ(DS->Blobs().LiveCount(), 2u);
  DS->First();
  EXPECT_EQ(F(u"Comment")->AsString(), u"Comment for d");
  DS->Next();
  EXPECT_EQ(F(u"Comment")->AsString(), u"changed");
  DS->EmptyDataSet();
  DS->Close();
  EXPECT_EQ(DS->Blobs().LiveCount(), 0u);
}

TEST_F(DataSetTest, BookmarksFollowPositionsAfterSort) {
  AddAll({{1, u"a", 300}, {2, u"b", 100}, {3, u"c", 200}});
  DS->First();
  const TBookmark first = DS->GetBookmark();  // row 1
  DS->Last();
  const TBookmark last = DS->GetBookmark();  // row 3
  EXPECT_EQ(DS->CompareBookmarks(first, last), -1);
  DS->SetSort(u"Salary");
  EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 1}));
  EXPECT_EQ(DS->CompareBookmarks(first, last), 1);  // bookmark 1 now stands after bookmark 3
  EXPECT_EQ(DS->CompareBookmarks(TBookmark{}, last), -1);
  EXPECT_EQ(DS->CompareBookmarks(first, TBookmark{}), 1);
  DS->GotoBookmark(first);
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 1);
  EXPECT_EQ(DS->RecNo(), 3);
  EXPECT_TRUE(DS->BookmarkValid(last));
  EXPECT_FALSE(DS->BookmarkValid(TBookmark{9, 0, 0, 0}));
  EXPECT_FALSE(DS->BookmarkValid(TBookmark{1, 0}));
  DS->EmptyDataSet();
  EXPECT_FALSE(DS->BookmarkValid(first));
  EXPECT_THROW(DS->GotoBookmark(first), EDatabaseError);
}

TEST_F(DataSetTest, FilteredViewHidesRowsFromBookmarksAndRecNo) {
  AddAll({{1, u"a", 1}, {2, u"b", 1}, {3, u"c", 1}, {4, u"d", 1}, {5, u"e", 1}, {6, u"f", 1}});
  DS->First();
  const TBookmark one = DS->GetBookmark();
  DS->SetOnFilterData([](TDataSet&, int index, bool& accept) { accept = index % 2 == 1; });
  DS->SetFiltered(true);
  EXPECT_EQ(Ids(), (std::vector<int>{2, 4, 6}));
  EXPECT_EQ(DS->RecordCount(), 3);
  DS->SetRecNo(3);
  EXPECT_EQ(F(u"CustomerID")->AsInteger(), 6);
  EXPECT_EQ(DS->DataIndex(), 5);
  EXPECT_THROW(DS->GotoBookmark(one), EDatabaseError);
  // Deleting in the view keeps the view's entries on the right rows.
  DS->SetRecNo(2);
  DS->Delete();
  EXPECT_EQ(Ids(), (std::vector<int>{2, 6}));
  DS->SetFiltered(false);
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 3, 5, 6}));
}

TEST_F(DataSetTest, FilterRecordEventAndRejectedInsert) {
  AddAll({{1, u"a", 100}, {2, u"b", 200}, {3, u"c", 300}});
  DS->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName(u"Salary")->AsFloat() >= 200; });
  DS->SetFiltered(true);
  EXPECT_EQ(Ids(), (std::vector<int>{2, 3}));
  Add({4, u"d", 50});  // rejected: stays stored, leaves the view
  EXPECT_EQ(Ids(), (std::vector<int>{2, 3}));
  EXPECT_EQ(DS->DataCount(), 4);
  Add({5, u"e", 500});
  EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 5}));
  DS->SetFiltered(false);
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(DataSetTest, ShownRowSharesItsBlobWithTheBuffer) {
  Add({1, u"a", 1});
  const TIdField* comment = DS->IdFieldByName(u"Comment");
  std::uint32_t handle;
  std::memcpy(&handle, DS->Store()->Row(0) + comment->OffSet(), 4);
  // The row, the active buffer and possibly the framework's spare buffer hold it; none copied it.
  EXPECT_GE(DS->Blobs().RefCount(handle), 2u);
  EXPECT_EQ(DS->Blobs().LiveCount(), 1u);
  DS->Edit();
  F(u"Comment")->SetAsString(u"changed");
  EXPECT_EQ(comment->GetAsString(0), u"Comment for a");
  DS->Cancel();
  EXPECT_EQ(F(u"Comment")->AsString(), u"Comment for a");
  DS->Edit();
  F(u"Comment")->SetAsString(u"changed");
  DS->Post();
  EXPECT_EQ(comment->GetAsString(0), u"changed");
  EXPECT_EQ(DS->Blobs().LiveCount(), 1u);
  DS->Close();
  EXPECT_EQ(DS->Blobs().LiveCount(), 0u);
  DS->CreateDataSet();
  Add({1, u"a", 1});
  EXPECT_THROW(F(u"Comment")->SetAsString(u""), EDatabaseError);  // outside edit state
}

TEST_F(DataSetTest, BlobStreamsLargeAndSideBySide) {
  DS->Close();
  DS->VirtualFieldDefs().Add(u"Picture", ftBlob);
  DS->CreateDataSet();
  DS->Append();
  TField* comment = F(u"Comment");
  TField* picture = F(u"Picture");
  {
    // Two streams at once, and one that grows past what the reusable scratch memory takes.
    auto first = DS->CreateBlobStream(comment, bmWrite);
    auto second = DS->CreateBlobStream(picture, bmWrite);
    const std::vector<Byte> piece(300 * 1024, 0x5A);
    for (int i = 0; i < 5; ++i) second->WriteBuffer(piece.data(), static_cast<Int64>(piece.size()));
    const char16_t text[] = u"side by side";
    first->WriteBuffer(text, sizeof text - 2);
  }
  DS->Post();
  EXPECT_EQ(comment->AsString(), u"side by side");
  auto read = DS->CreateBlobStream(picture, bmRead);
  EXPECT_EQ(read->Size(), 5 * 300 * 1024);
  Byte last = 0;
  read->Seek(-1, TSeekOrigin::soEnd);
  read->ReadBuffer(&last, 1);
  EXPECT_EQ(last, 0x5A);
}

TEST_F(DataSetTest, ClosedDatasetRefusesToSave) {
  DS->Close();
  TBytesStream s;
  EXPECT_THROW(DS->SaveToStream(&s), EDatabaseError);
  EXPECT_EQ(s.Size(), 0);
}

}  // namespace

namespace {

using idtest::DataSetTest;

TEST_F(DataSetTest, CalculatedFieldsLiveInTheBuffersAndSurviveReopening) {
  DS->Close();
  auto* doubled = new TFloatField(DS.get());
  doubled->SetFieldName(u"Doubled");
  doubled->SetFieldKind(fkCalculated);
  doubled->SetDataSet(DS.get());
  DS->OnCalcFields = [](TDataSet& d) {
    d.FieldByName(u"Doubled")->SetAsFloat(d.FieldByName(u"Salary")->AsFloat() * 2);
  };
  DS->CreateDataSet();
  AddAll({{1, u"a", 10}, {2, u"b", 20}});
  EXPECT_EQ(DS->RecordSize(), 85);  // no slot for the calculated field
  DS->First();
  EXPECT_EQ(F(u"Doubled")->AsFloat(), 20);
  DS->Next();
  EXPECT_EQ(F(u"Doubled")->AsFloat(), 40);
  const TBytes saved = Saved();
  EXPECT_EQ(saved.size(), Saved().size());
  // Saved streams hold stored fields only; a load keeps the calculated field.
  DS->Close();
  TBytesStream s(saved);
  DS->LoadFromStream(&s);
  EXPECT_EQ(DS->FieldCount(), 8);
  DS->Last();
  EXPECT_EQ(F(u"Doubled")->AsFloat(), 40);
}

}  // namespace

namespace {

// Appending into a filtered view grows the list of filtered rows; the new row's place in it must be
// taken after the list moved.
TEST(IdDataSetFilter, AppendIntoAFilteredViewThatGrows) {
  TIdMemDataSet ds(nullptr);
  ds.VirtualFieldDefs().Add(u"N", ftInteger);
  ds.CreateDataSet();
  ds.SetOnFilterData([](TDataSet&, int, bool& accept) { accept = true; });
  ds.SetFiltered(true);
  for (int i = 1; i <= 9; ++i) {
    ds.Append();
    ds.FieldByName(u"N")->SetAsInteger(i);
    ds.Post();
    EXPECT_EQ(ds.FieldByName(u"N")->AsInteger(), i);
  }
  EXPECT_EQ(ds.RecordCount(), 9);
  std::vector<int> seen;
  for (ds.First(); !ds.Eof(); ds.Next()) seen.push_back(ds.FieldByName(u"N")->AsInteger());
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

}  // namespace

namespace {

using idtest::DataSetTest;

// A blob stream marks its field modified; once the edit ends the mark is gone, so a later stream on a
// field made read-only meanwhile is refused.
TEST_F(DataSetTest, BlobStreamReadOnlyCheckHoldsAfterAnEarlierWrite) {
  Add({1, u"a", 1});
  TField* comment = F(u"Comment");
  DS->Edit();
  {
    const auto s = DS->CreateBlobStream(comment, bmWrite);
    s->WriteBuffer("x\0", 2);
  }
  DS->Post();
  comment->SetReadOnly(true);
  DS->Edit();
  EXPECT_THROW(DS->CreateBlobStream(comment, bmWrite), EDatabaseError);
  DS->Cancel();
  EXPECT_EQ(comment->AsString(), u"x");
}

}  // namespace
