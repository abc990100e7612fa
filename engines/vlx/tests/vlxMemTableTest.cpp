#include <algorithm>
#include <random>

#include "engines/vlx/tests/vlxTestSupport.h"

using namespace vlxtest;

namespace {

class VlxMemTable : public VlxTest {};

TEST_F(VlxMemTable, BenchmarkSequenceStoresEveryRow) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 2, 50000);
  EXPECT_EQ(t->RecordCount(), 49999);
  t->Last();
  EXPECT_EQ(t->RecNo(), 49999);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 50000);
  EXPECT_EQ(t->FieldByName(u"ContactName")->AsString(), u"Name50000");
  EXPECT_EQ(t->FieldByName(u"Address")->AsString(), u"Address 50000");
  EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"Comment for 50000");
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 54000.25);
  EXPECT_TRUE(t->FieldByName(u"MaritalStatus")->AsBoolean());
  t->EmptyTable();
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(t->Common()->Blocks().LiveCount(), 0u);
}

TEST_F(VlxMemTable, InsertAtTheCursorPutsTheRowBeforeTheCurrentOne) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 5);
  t->First();
  t->Next();
  t->Next();  // the third row
  t->Insert();
  FillRow(*t, 99);
  t->Post();
  EXPECT_EQ(t->RecNo(), 3);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 99, 3, 4, 5}));
}

// Append, Insert and Delete at random positions, against a model list.
TEST_F(VlxMemTable, EditingMatchesAModelList) {
  auto t = MakeBenchmarkTable();
  std::vector<int> model;
  std::mt19937 rng(3);
  int next = 1;
  for (int step = 0; step < 400; ++step) {
    const int op = static_cast<int>(rng() % 4);
    if (op == 0 || model.empty()) {
      t->Append();
      FillRow(*t, next);
      t->Post();
      model.push_back(next++);
    } else if (op == 1) {
      const int pos = static_cast<int>(rng() % model.size());
      t->SetRecNo(pos + 1);
      t->Insert();
      FillRow(*t, next);
      t->Post();
      model.insert(model.begin() + pos, next++);
    } else if (op == 2) {
      const int pos = static_cast<int>(rng() % model.size());
      t->SetRecNo(pos + 1);
      ASSERT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), model[static_cast<std::size_t>(pos)]);
      t->Delete();
      model.erase(model.begin() + pos);
    } else {
      const int pos = static_cast<int>(rng() % model.size());
      t->SetRecNo(pos + 1);
      t->Edit();
      t->FieldByName(u"Comment")->SetAsString(u"edited " + IntToStr(step));
      t->Post();
      ASSERT_EQ(t->RecNo(), pos + 1);
    }
    ASSERT_EQ(t->RecordCount(), static_cast<int>(model.size()));
  }
  EXPECT_EQ(Ids(*t), model);
}

TEST_F(VlxMemTable, InsertRunsAtTheCursorAsTheBenchmarkDoes) {
  auto t = MakeBenchmarkTable();
  for (int i = 1; i <= 2000; ++i) {
    t->Insert();
    FillRow(*t, i);
    t->Post();
  }
  const std::vector<int> ids = Ids(*t);
  ASSERT_EQ(ids.size(), 2000u);
  EXPECT_EQ(ids.front(), 2000);
  EXPECT_EQ(ids.back(), 1);
  EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend()));
}

TEST_F(VlxMemTable, IndexFieldNamesOrdersAndKeepsTheCurrentRecord) {
  auto t = MakeBenchmarkTable();
  const int ids[] = {5, 3, 9, 1, 7};
  for (int id : ids) {
    t->Append();
    FillRow(*t, id);
    t->FieldByName(u"ContactName")->SetAsString(String(1, static_cast<char16_t>(u'a' + id)));
    t->Post();
  }
  t->First();
  t->Next();  // id 3
  t->SetIndexFieldNames(u"CustomerID");
  EXPECT_EQ(t->CurIndex()->Name(), kDefaultIndexName);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 3);
  EXPECT_EQ(t->RecNo(), 2);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 3, 5, 7, 9}));
  // Rows posted now go to their key's place.
  t->Append();
  FillRow(*t, 4);
  t->FieldByName(u"ContactName")->SetAsString(u"e");
  t->Post();
  EXPECT_EQ(t->RecNo(), 3);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 3, 4, 5, 7, 9}));
  t->SetIndexFieldNames(u"ContactName:D");
  EXPECT_EQ(Ids(*t), (std::vector<int>{9, 7, 5, 4, 3, 1}));
  t->SetRecNo(2);
  t->SetIndexFieldNames(u"");
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 7);
  EXPECT_EQ(Ids(*t), (std::vector<int>{5, 3, 9, 1, 7, 4}));
  t->SetIndexName(u"no such index");
  EXPECT_TRUE(t->CurIndex()->IsRowOrder());
}

TEST_F(VlxMemTable, StaleBookmarksAreRecognised) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  t->First();
  const TBookmark first = t->GetBookmark();
  t->Next();
  const TBookmark second = t->GetBookmark();
  EXPECT_TRUE(t->BookmarkValid(first));
  EXPECT_EQ(t->CompareBookmarks(first, second), -1);
  EXPECT_EQ(t->CompareBookmarks(second, first), 1);
  EXPECT_EQ(t->CompareBookmarks(first, first), 0);
  // Deleting the first row frees its slot; the next append reuses the slot with a new unique id.
  t->First();
  t->Delete();
  EXPECT_FALSE(t->BookmarkValid(first));
  AppendRows(*t, 10, 10);
  EXPECT_FALSE(t->BookmarkValid(first));
  EXPECT_EQ(t->CompareBookmarks(first, second), 2);
  t->GotoBookmark(second);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 2);
  // Emptying invalidates every bookmark, also once rows exist again.
  t->EmptyTable();
  AppendRows(*t, 1, 3);
  EXPECT_FALSE(t->BookmarkValid(second));
}

TEST_F(VlxMemTable, EditPostsIntoTheBuffersOwnRecord) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  t->SetRecNo(2);
  t->Edit();
  t->FieldByName(u"ContactName")->SetAsString(u"changed");
  t->FieldByName(u"Comment")->SetAsString(u"new comment");
  t->Post();
  t->First();
  EXPECT_EQ(t->FieldByName(u"ContactName")->AsString(), u"Name1");
  t->Next();
  EXPECT_EQ(t->FieldByName(u"ContactName")->AsString(), u"changed");
  EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"new comment");
  // Nulls go back to null, and a null memo frees its block.
  const std::size_t blocks = t->Common()->Blocks().LiveCount();
  t->Edit();
  t->FieldByName(u"Comment")->Clear();
  t->FieldByName(u"Address")->Clear();
  t->Post();
  EXPECT_TRUE(t->FieldByName(u"Comment")->IsNull());
  EXPECT_TRUE(t->FieldByName(u"Address")->IsNull());
  EXPECT_EQ(t->Common()->Blocks().LiveCount(), blocks - 1);
}

TEST_F(VlxMemTable, FieldReadsAndWritesHonourSizes) {
  auto t = MakeBenchmarkTable();
  t->Append();
  t->FieldByName(u"ContactName")->SetAsString(u"0123456789ABCDEF");
  t->FieldByName(u"Address")->SetAsString(u"中文地址");
  t->Post();
  EXPECT_EQ(t->FieldByName(u"ContactName")->AsString(), u"0123456789");
  EXPECT_EQ(t->FieldByName(u"Address")->AsString(), u"中文地址");
  Byte four[4] = {};
  ASSERT_TRUE(t->GetFieldData(t->FieldByName(u"ContactName"), TValueBuffer(four, 4)));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(four), 4), "0123");
  t->SetReadOnly(true);
  EXPECT_FALSE(t->CanModify());
}

TEST_F(VlxMemTable, FailingValidationLeavesTheOldValue) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 1);
  TField* id = t->FieldByName(u"CustomerID");
  id->OnValidate = [](TField&) { throw EDatabaseError(String(u"refused")); };
  t->Edit();
  EXPECT_THROW(id->SetAsInteger(77), EDatabaseError);
  EXPECT_EQ(id->AsInteger(), 1);
  t->Cancel();
}

TEST_F(VlxMemTable, WritesOutsideEditingAreRefused) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 1);
  try {
    t->WriteFieldData(t->FieldByName(u"CustomerID"), TConstValueBuffer());
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Dataset is not in edit mode.");
  }
  t->SetReadOnly(true);
  t->SetIgnoreReadOnly(true);
  EXPECT_TRUE(t->CanModify());
}

TEST_F(VlxMemTable, BlobStreamModes) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 1);
  TField* memo = t->FieldByName(u"Comment");
  const std::size_t blocks = t->Common()->Blocks().LiveCount();
  {
    auto s = t->CreateBlobStream(memo, bmRead);
    EXPECT_EQ(s->Size(), static_cast<Int64>(2 * String(u"Comment for 1").size()));
    const char16_t x = u'x';
    s->Write(&x, 2);  // a read stream changes its copy only
  }
  EXPECT_EQ(memo->AsString(), u"Comment for 1");
  EXPECT_THROW(t->CreateBlobStream(memo, bmWrite), EDatabaseError);  // not editing
  t->Edit();
  { auto s = t->CreateBlobStream(memo, bmWrite); }  // opened for writing, nothing written: null
  t->Post();
  EXPECT_TRUE(memo->IsNull());
  EXPECT_EQ(t->Common()->Blocks().LiveCount(), blocks - 1);
  t->Edit();
  {
    auto s = t->CreateBlobStream(memo, bmReadWrite);
    const char16_t text[] = u"abc";
    s->Write(text, 6);
  }
  t->Post();
  EXPECT_EQ(memo->AsString(), u"abc");
}

TEST_F(VlxMemTable, AThrowingCompressCallbackIsRaisedByTheNextPost) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 1);
  t->OnCompressBlobStream = [](TDataSet&, TStream*, TStream*) { throw EDatabaseError(String(u"no space")); };
  t->Edit();
  {
    auto s = t->CreateBlobStream(t->FieldByName(u"Comment"), bmWrite);
    const char16_t text[] = u"zz";
    s->Write(text, 4);
  }
  EXPECT_THROW(t->Post(), EDatabaseError);
  t->Cancel();
  t->OnCompressBlobStream = nullptr;
  EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"Comment for 1");
}

TEST_F(VlxMemTable, StatusFilterAndFilterEvent) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 6);
  t->SetOnFilterRecord([](TDataSet& D, bool& Accept) { Accept = D.FieldByName(u"CustomerID")->AsInteger() % 2 == 0; });
  t->SetFiltered(true);
  EXPECT_FALSE(t->IsSequenced());
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 4, 6}));
  EXPECT_EQ(t->RecordCount(), 3);
  t->SetFiltered(false);
  EXPECT_EQ(t->RecordCount(), 6);
}

TEST_F(VlxMemTable, ClosingTheOwnerDiscardsRecordsAndKeepsFields) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  t->Close();
  t->Open();
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_EQ(t->FieldCount(), 7);
  EXPECT_EQ(t->DeleteRecords(), 0);
  AppendRows(*t, 1, 4);
  EXPECT_EQ(t->DeleteRecords(), 4);
}

TEST_F(VlxMemTable, UniqueIndexRefusesADuplicateAndKeepsTheInsert) {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  AddBenchmarkSchema(t->FieldDefs());
  t->IndexDefs().Add(u"ById", u"CustomerID", ixUnique);
  t->CreateTable();
  t->Open();
  AppendRows(*t, 1, 3);
  t->Append();
  FillRow(*t, 2);
  EXPECT_THROW(t->Post(), EMemTableDupKey);
  EXPECT_EQ(t->State(), dsInsert);
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 3);
}

}  // namespace
