#include <cmath>

#include "KvTestSupport.h"
#include "platform/classes/Files.h"

namespace {

void AddRows(TDataSet& t, int Count, bool Append) {
  TField* id = t.FieldByName(u"CustomerID");
  TField* name = t.FieldByName(u"ContactName");
  TField* address = t.FieldByName(u"Address");
  TField* comment = t.FieldByName(u"Comment");
  for (int i = 1; i <= Count - 1; ++i) {
    if (Append) t.Append();
    else t.Insert();
    id->SetAsInteger(i + 1);
    name->SetAsString(u"名字" + IntToStr(i));
    address->SetAsString(u"Address for " + name->AsString());
    comment->SetAsString(u"Comment for " + name->AsString());
    t.Post();
  }
}

std::vector<int> Ids(TDataSet& t) {
  std::vector<int> ids;
  t.First();
  while (!t.Eof()) {
    ids.push_back(t.FieldByName(u"CustomerID")->AsInteger());
    t.Next();
  }
  return ids;
}

}  // namespace

TEST_F(KvTest, AppendedRowsReadBackInFull) {
  auto t = MakeBenchmarkTable();
  AddRows(*t, 301, true);
  ASSERT_EQ(t->RecordCount(), 300);
  t->First();
  for (int i = 1; i <= 300; ++i, t->Next()) {
    ASSERT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), i + 1);
    // Two Chinese characters and the number, cut at 10 bytes without splitting a character.
    const String name = t->FieldByName(u"ContactName")->AsString();
    EXPECT_EQ(name, String(u"名字" + IntToStr(i)).substr(0, std::min<size_t>(2 + IntToStr(i).size(), 8)));
    EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"Comment for " + name);
    EXPECT_EQ(t->RecNo(), i);
  }
  EXPECT_TRUE(t->Eof());
}

TEST_F(KvTest, InsertedRowsStandInReverse) {
  auto t = MakeBenchmarkTable();
  AddRows(*t, 200, false);
  const auto ids = Ids(*t);
  ASSERT_EQ(ids.size(), 199u);
  for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], 200 - static_cast<int>(i));
}

TEST_F(KvTest, EditCancelDeleteAndBookmarks) {
  auto t = MakeBenchmarkTable();
  AddRows(*t, 6, true);  // ids 2..6
  t->First();
  t->Next();
  const TBookmark third = (t->Next(), t->GetBookmark());
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 4);
  t->Edit();
  t->FieldByName(u"CustomerID")->SetAsInteger(40);
  t->FieldByName(u"ContactName")->SetAsString(u"x");
  t->Cancel();
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 4);
  t->Edit();
  t->FieldByName(u"CustomerID")->SetAsInteger(40);
  t->Post();
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 3, 40, 5, 6}));
  t->GotoBookmark(third);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 40);
  t->Delete();
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 5);
  EXPECT_FALSE(t->BookmarkValid(third));
  EXPECT_THROW(t->GotoBookmark(third), EDatabaseError);
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 3, 5, 6}));
  t->SetRecNo(3);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 5);
}

TEST_F(KvTest, CloseKeepsRowsEmptyTableKeepsStructureDestroyTableDropsIt) {
  auto t = MakeBenchmarkTable();
  AddRows(*t, 4, true);
  t->Close();
  t->EmptyTable();  // closed: nothing happens
  t->Open();
  EXPECT_EQ(t->RecordCount(), 3);
  t->EmptyTable();
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_TRUE(t->Eof());
  AddRows(*t, 3, true);
  EXPECT_EQ(t->RecordCount(), 2);
  t->DestroyTable();
  EXPECT_FALSE(t->Active());
  try {
    t->Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(String(e.Message()), u"MemTable doesn't have data.");
  }
}

TEST_F(KvTest, LoadKeepsActiveStateAndShowsTheLoadedRows) {
  auto a = MakeBenchmarkTable();
  AddRows(*a, 11, true);
  TMemoryStream s;
  a->SaveToStream(&s);
  auto b = MakeBenchmarkTable();
  b->Close();
  s.SetPosition(0);
  b->LoadFromStream(&s);
  EXPECT_FALSE(b->Active());
  b->Open();
  EXPECT_EQ(Ids(*b), Ids(*a));
  s.SetPosition(0);
  b->LoadFromStream(&s);
  EXPECT_TRUE(b->Active());
  EXPECT_EQ(b->RecordCount(), 10);
}

TEST_F(KvTest, WideMemoOfAnOddByteCountKeepsWholeCharacters) {
  auto t = MakeBenchmarkTable();
  t->Append();
  {
    auto blob = t->CreateBlobStream(t->FieldByName(u"Comment"), bmWrite);
    const char16_t text[] = u"abc";
    blob->WriteBuffer(text, 5);
  }
  t->Post();
  EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"ab");
}

TEST_F(KvTest, BcdRoundsThenChecksThePrecision) {
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Amount", ftBCD, 2);
  t.CreateDataSet();
  auto* f = static_cast<TBCDField*>(t.FieldByName(u"Amount"));
  f->SetPrecision(4);
  struct Case {
    double Value;
    bool Accepted;
    double Stored;
  };
  // Ties go to the even neighbour; the range is checked on the rounded value.
  const Case cases[] = {{12.345, true, 12.34}, {12.355, true, 12.36}, {99.99, true, 99.99},
                        {99.995, false, 0}, {100.01, false, 0}, {-99.99, true, -99.99}};
  for (const Case& c : cases) {
    Variant v = Variant(Currency::FromScaled(static_cast<Int64>(std::llround(c.Value * 10000))));
    if (c.Accepted) {
      t.CheckFieldDataVarValue(f, v);
      EXPECT_DOUBLE_EQ(v.AsDouble(), c.Stored) << c.Value;
    } else {
      EXPECT_THROW(t.CheckFieldDataVarValue(f, v), EBcdOverflowException) << c.Value;
    }
  }
}

TEST_F(KvTest, BenchmarkTextFileLoadsBack) {
  auto t = MakeBenchmarkTable();
  AddRows(*t, 51, true);
  const String name = u"/tmp/kv_bench_text.dat";
  t->SaveToFile(name, dfmTextKv);
  auto back = MakeBenchmarkTable();
  back->LoadFromFile(name);
  EXPECT_EQ(Ids(*back), Ids(*t));
  DeleteFile(name);
}

TEST_F(KvTest, AFailingPostLeavesTheStoreAsItWasAndTheBufferAsTyped) {
  auto t = MakeBenchmarkTable();
  AddRows(*t, 3, true);  // ids 2, 3
  TRecordsListNotificatorKv listener(nullptr);
  TRecordsListNotification failOn = rlnRecMarkingForDelKv;  // none of this test's events
  listener.OnDataEvent = [&](TMemoryRecordKv*, int, TRecordsListNotification a) {
    if (a == failOn) throw Exception(u"refused");
  };
  listener.SetDataObject(t->MemTableData());

  // An edit refused while the record is changing: the stored row keeps its value, the buffer the typed one.
  failOn = rlnRecChangingKv;
  t->First();
  t->Edit();
  t->FieldByName(u"CustomerID")->SetAsInteger(20);
  EXPECT_THROW(t->Post(), Exception);
  EXPECT_EQ(t->State(), dsEdit);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 20);
  EXPECT_EQ(t->MemTableData()->RecordsList()->Rec(0)->GetDataValue(0).AsInteger(), 2);
  t->Cancel();

  // A new row refused before it joins the list is freed; one refused after it joined stays in the list.
  failOn = rlnRecAddingKv;
  t->Append();
  t->FieldByName(u"CustomerID")->SetAsInteger(9);
  EXPECT_THROW(t->Post(), Exception);
  t->Cancel();
  EXPECT_EQ(t->MemTableData()->RecordsList()->Count(), 2);
  failOn = rlnRecAddedKv;
  t->Append();
  t->FieldByName(u"CustomerID")->SetAsInteger(10);
  EXPECT_THROW(t->Post(), Exception);
  t->Cancel();
  failOn = rlnRecMarkingForDelKv;
  EXPECT_EQ(t->MemTableData()->RecordsList()->Count(), 3);
  listener.SetDataObject(nullptr);
}
