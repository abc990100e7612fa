// TVirtTable through the dataset framework: Append and Insert at every position, field writes by
// state, blob streams, Cancel, Clear, closing with persistent data, and bookmarks.
#include "engines/virttable/VirtTable.h"

#include <gtest/gtest.h>

#include "VtTestSupport.h"
#include "platform/rtl/Exceptions.h"

using namespace vttest;

namespace {

const TDateTime kBirth = EncodeDateTime(1985, 1, 2, 3, 4, 5, 6);

class VirtTableTest : public CodePage936 {
 protected:
  void SetUp() override {
    CodePage936::SetUp();
    t = BenchmarkTable();
  }
  void Add(int Id) { AppendBenchmarkRow(*t, Id, u"周五", kBirth, true, 1.5); }
  void InsertId(int Id) {
    t->Insert();
    t->FieldByName(u"CustomerID")->SetAsInteger(Id);
    t->Post();
  }
  std::unique_ptr<TVirtTable> t;
};

TEST_F(VirtTableTest, AppendAndInsertPlaceRowsWhereTheFrameworkAsks) {
  InsertId(1);  // into the empty table
  EXPECT_EQ(Ids(*t), (std::vector<int>{1}));
  t->First();
  InsertId(0);  // at Bof
  EXPECT_EQ(t->RecNo(), 1);
  Add(3);
  Add(4);
  EXPECT_EQ(t->RecNo(), 4);
  t->SetRecNo(3);
  InsertId(2);  // in the middle
  EXPECT_EQ(t->RecNo(), 3);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 2);
  t->Last();
  InsertId(35);  // after Appends: before the last row
  EXPECT_EQ(Ids(*t), (std::vector<int>{0, 1, 2, 3, 35, 4}));
  EXPECT_EQ(t->RecordCount(), 6);
  for (int i = 1; i <= 6; ++i) {
    t->SetRecNo(i);
    EXPECT_EQ(t->RecNo(), i);
  }
}

TEST_F(VirtTableTest, FieldWritesFollowTheState) {
  Add(1);
  struct Case {
    const char* what;
    std::function<void()> prepare;
    bool raises;
  };
  const Case cases[] = {
      {"browse", [] {}, true},
      {"edit", [&] { t->Edit(); }, false},
      {"insert", [&] { t->Insert(); }, false},
      {"append", [&] { t->Append(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    if (c.raises) EXPECT_THROW(t->FieldByName(u"CustomerID")->SetAsInteger(9), EDatabaseError);
    else EXPECT_NO_THROW(t->FieldByName(u"CustomerID")->SetAsInteger(9));
    t->Cancel();
  }
  EXPECT_EQ(Ids(*t), (std::vector<int>{1}));
  t->FieldByName(u"CustomerID")->SetReadOnly(true);
  t->Edit();
  EXPECT_THROW(t->FieldByName(u"CustomerID")->SetAsInteger(9), EDatabaseError);
  t->Cancel();
}

TEST_F(VirtTableTest, MemoEditsCancelAndPost) {
  Add(1);
  TField* memo = t->FieldByName(u"Comment");
  const String before = memo->AsString();
  t->Edit();
  memo->SetAsString(u"changed");
  EXPECT_EQ(memo->AsString(), u"changed");
  t->Cancel();
  EXPECT_EQ(memo->AsString(), before);
  t->Edit();
  memo->SetAsString(std::u16string(3000, u'长'));
  t->Post();
  EXPECT_EQ(memo->AsString(), std::u16string(3000, u'长'));

  // A wide memo's stream carries UTF-16LE; a partial read and a seek from the end work on it.
  auto stream = t->CreateBlobStream(memo, bmRead);
  EXPECT_EQ(stream->Size(), 6000);
  stream->Seek(-4, TSeekOrigin::soEnd);
  char16_t tail[2] = {};
  EXPECT_EQ(stream->Read(tail, 4), 4);
  EXPECT_EQ(tail[1], u'长');
  EXPECT_THROW(t->CreateBlobStream(memo, bmWrite), EDatabaseError) << "writing needs edit or insert";
}

// The new row's memo writes: small content goes straight into its packed form, anything else takes the
// blob object; either way the posted row, a cancel and a save read back the same.
TEST_F(VirtTableTest, MemoWritesOfANewRow) {
  const String big(3000, u'长');
  struct Case {
    const char* what;
    std::function<void(TField*)> write;
    String expected;  // empty: null
  };
  const std::vector<Case> cases = {
      {"small", [](TField* m) { m->SetAsString(u"abc"); }, u"abc"},
      {"written twice", [](TField* m) { m->SetAsString(u"first"); m->SetAsString(u"second"); }, u"second"},
      {"emptied", [](TField* m) { m->SetAsString(u"gone"); m->SetAsString(u""); }, u""},
      {"large", [&](TField* m) { m->SetAsString(big); }, big},
      {"small then large", [&](TField* m) { m->SetAsString(u"x"); m->SetAsString(big); }, big},
      {"large then small", [&](TField* m) { m->SetAsString(big); m->SetAsString(u"y"); }, u"y"},
      {"two stream pieces",
       [&](TField* m) {
         auto s = t->CreateBlobStream(m, bmWrite);
         s->Write(u"0123456789", 20);
         s->Write(u"abcdefghij", 20);
       },
       u"0123456789abcdefghij"},
  };
  int id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    t->Append();
    t->FieldByName(u"CustomerID")->SetAsInteger(++id);
    c.write(t->FieldByName(u"Comment"));
    t->Post();
    EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), c.expected);
    EXPECT_EQ(t->FieldByName(u"Comment")->IsNull(), c.expected.empty());
  }
  const std::size_t live = t->Data()->Objects().LiveCount();
  t->Append();
  t->FieldByName(u"Comment")->SetAsString(u"cancelled");
  t->Cancel();
  EXPECT_EQ(t->Data()->Objects().LiveCount(), live) << "a cancelled row leaves no blob behind";

  TMemoryStream s;
  t->SaveToStream(&s);
  auto u = BenchmarkTable();
  u->LoadFromStream(&s);
  ASSERT_EQ(u->RecordCount(), static_cast<int>(cases.size()));
  u->First();
  for (const Case& c : cases) {
    EXPECT_EQ(u->FieldByName(u"Comment")->AsString(), c.expected) << c.what;
    u->Next();
  }
}

TEST_F(VirtTableTest, ClearKeepsTheStructureAndClosingKeepsTheRows) {
  Add(1);
  Add(2);
  t->Close();
  t->Open();
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2})) << "persistent data survives closing";
  t->Clear();
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_EQ(t->FieldCount(), 7);
  Add(3);
  EXPECT_EQ(Ids(*t), (std::vector<int>{3}));
  t->SetOptions(0);
  t->Close();
  t->Open();
  EXPECT_EQ(t->RecordCount(), 0) << "without persistent data closing frees the rows";
}

// A load into an emptied table builds its rows in the tables the emptied rows left; a failed one
// leaves the table empty and usable.
TEST_F(VirtTableTest, LoadIntoAnEmptiedTable) {
  for (int i = 1; i <= 30; ++i) Add(i);
  TMemoryStream saved;
  t->SaveToStream(&saved);
  t->Clear();
  TMemoryStream cut;
  cut.WriteBuffer(saved.Memory(), saved.Size() - 3);
  EXPECT_THROW(t->LoadFromStream(&cut), EReadError);
  EXPECT_EQ(t->RecordCount(), 0);
  t->LoadFromStream(&saved);
  t->Last();
  Add(31);
  std::vector<int> want;
  for (int i = 1; i <= 31; ++i) want.push_back(i);
  EXPECT_EQ(Ids(*t), want);
  t->Clear();
  t->LoadFromStream(&saved);
  t->SetRecNo(30);
  EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"Comment for 周五");
  EXPECT_EQ(t->Data()->Objects().LiveCount(), 30u);
}

TEST_F(VirtTableTest, BookmarksSurviveInsertsAndDeletes) {
  for (int i = 1; i <= 40; ++i) Add(i);
  t->SetRecNo(20);
  const TBookmark bm = t->GetBookmark();
  t->First();
  InsertId(0);
  t->GotoBookmark(bm);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 20);
  EXPECT_EQ(t->RecNo(), 21);
  EXPECT_TRUE(t->BookmarkValid(bm));
  t->SetRecNo(5);
  EXPECT_EQ(t->CompareBookmarks(t->GetBookmark(), bm), -1);
  t->GotoBookmark(bm);
  t->Delete();
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 21);
}

TEST_F(VirtTableTest, ProgressIsReportedWhileSavingAndLoading) {
  for (int i = 1; i <= 4; ++i) Add(i);
  std::vector<int> seen;
  t->OnProgress = [&](TObject*, int Percent) { seen.push_back(Percent); };
  TMemoryStream s;
  t->SaveToStream(&s);
  EXPECT_EQ(seen, (std::vector<int>{0, 25, 50, 75, 100}));
  seen.clear();
  t->LoadFromStream(&s);
  EXPECT_EQ(seen, (std::vector<int>{0, 0, 25, 50, 75}));
}

}  // namespace
