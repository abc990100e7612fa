#include <algorithm>
#include <map>
#include <random>

#include "KvTestSupport.h"
#include "engines/kv/IndexesKv.h"
#include "engines/kv/KvValues.h"

namespace {

// A table data of two fields, Id (integer) and Name (8-bit text), with one key index.
struct IndexFixture {
  TMemTableDataKv Data{nullptr};
  TMTIndexKv* Index;
  IndexFixture(const String& Fields, bool Unique) {
    auto* id = Data.DataStruct()->CreateField(ClassOf<TMTNumericDataFieldKv>());
    id->AssignDataType(ftInteger);
    id->SetFieldName(u"Id");
    auto* name = Data.DataStruct()->CreateField(ClassOf<TMTStringDataFieldKv>());
    name->AssignDataType(ftString);
    name->SetSize(10);
    name->SetFieldName(u"Name");
    Index = List().Indexes()->Add();
    Index->SetUnical(Unique);
    Index->SetFields(Fields);
    Index->SetActive(true);
  }
  TRecordsListKv& List() { return *Data.RecordsList(); }
  TMemoryRecordKv* Add(int Id, const char* Name = "x", int At = -1) {
    TMemoryRecordKv* r = List().NewRecord();
    r->SetDataValue(0, dvvValueKv, Id < 0 ? Null() : Variant(Id));
    r->SetDataValue(1, dvvValueKv, VarFromAnsi(Name));
    try {
      if (At < 0) List().AddRecord(r);
      else List().InsertRecord(At, r);
    } catch (...) {
      List().FreeRecord(r);
      throw;
    }
    return r;
  }
  void Edit(TMemoryRecordKv* r, int Id) {
    r->Edit();
    r->SetDataValue(0, dvvValueKv, Variant(Id));
    try {
      r->Post();
    } catch (...) {
      r->Cancel();
      throw;
    }
  }
  // Entries are in key order, one per record, each naming its record's current position.
  void Check(const char* where) {
    ASSERT_EQ(Index->Count(), List().Count()) << where;
    std::vector<bool> seen(static_cast<size_t>(List().Count()));
    for (int i = 0; i < Index->Count(); ++i) {
      const TIndexItemKv e = Index->GetItems(i);
      const int at = e.RecIndex();
      ASSERT_TRUE(at >= 0 && at < List().Count()) << where;
      ASSERT_FALSE(seen[static_cast<size_t>(at)]) << where;
      seen[static_cast<size_t>(at)] = true;
      ASSERT_EQ(KvVarCompare(e.Value, List().Rec(at)->GetDataValue(0)), vrEqual) << where;
      if (i > 0) {
        ASSERT_NE(KvVarCompare(Index->GetKeyValue(i - 1), e.Value), vrGreaterThan) << where;
      }
    }
  }
};

}  // namespace

TEST_F(KvTest, IndexFollowsRandomChangesOfItsRecordsList) {
  IndexFixture fx(u"Id", false);
  std::mt19937 rng(11);
  for (int step = 0; step < 2000; ++step) {
    const int n = fx.List().Count();
    const unsigned op = rng() % 10;
    if (op < 4 || n == 0) {
      fx.Add(static_cast<int>(rng() % 50), "x", n == 0 ? -1 : static_cast<int>(rng() % static_cast<unsigned>(n + 1)));
    } else if (op < 6) {
      fx.List().DeleteRecord(static_cast<int>(rng() % static_cast<unsigned>(n)));
    } else if (op < 8) {
      fx.Edit(fx.List().Rec(static_cast<int>(rng() % static_cast<unsigned>(n))), static_cast<int>(rng() % 50));
    } else {
      fx.List().Move(static_cast<int>(rng() % static_cast<unsigned>(n)), static_cast<int>(rng() % static_cast<unsigned>(n)));
    }
    if (step % 50 == 0) fx.Check("step");
    if (HasFatalFailure()) return;
  }
  fx.Check("end");
  // A search gives a record of the key, at its current position; every record of a key is matched.
  const int wanted = fx.List().Rec(0)->GetDataValue(0).AsInteger();
  int pos = -1;
  ASSERT_TRUE(fx.Index->FindRecordIndexByKey(Variant(wanted), pos));
  EXPECT_EQ(fx.List().Rec(pos)->GetDataValue(0).AsInteger(), wanted);
  std::vector<TMemoryRecordKv*> all;
  fx.Index->FillMatchedRecsList(Variant(wanted), all);
  int expected = 0;
  for (int i = 0; i < fx.List().Count(); ++i) expected += fx.List().Rec(i)->GetDataValue(0).AsInteger() == wanted;
  EXPECT_EQ(static_cast<int>(all.size()), expected);
  fx.List().Clear();
  EXPECT_EQ(fx.Index->Count(), 0);
}

TEST_F(KvTest, UniqueIndexRefusesDuplicatesBeforeTheStoreChanges) {
  IndexFixture fx(u"Id", true);
  TMemoryRecordKv* one = fx.Add(1);
  fx.Add(2);
  fx.Add(-1);  // Null
  // Adding a duplicate: refused with the violation text, nothing added.
  try {
    fx.Add(2);
    FAIL() << "no violation";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), String(u"Unique key violation \r\n FieldNames: Id\r\n Value: \"2\""));
  }
  EXPECT_EQ(fx.List().Count(), 3);
  EXPECT_THROW(fx.Add(-1), EDatabaseError);  // two Nulls are equal keys
  // Posting its own key again passes; moving onto another's key is refused and the value stays.
  EXPECT_NO_THROW(fx.Edit(one, 1));
  EXPECT_THROW(fx.Edit(one, 2), EDatabaseError);
  EXPECT_EQ(one->GetDataValue(0).AsInteger(), 1);
  EXPECT_NO_THROW(fx.Edit(one, 5));
  fx.Check("after edits");
  int at = -1;
  EXPECT_TRUE(fx.Index->FindRecordIndexByKey(Variant(5), at));
  EXPECT_EQ(at, 0);
}

TEST_F(KvTest, IndexOfTwoFieldsAndLookupByFieldNames) {
  IndexFixture fx(u"Id;Name", false);
  fx.Add(1, "b");
  fx.Add(1, "a");
  fx.Add(0, "z");
  EXPECT_EQ(KvVarToText(fx.Index->GetKeyValue(0)), String(u"[0, z]"));
  EXPECT_EQ(KvVarToText(fx.Index->GetKeyValue(1)), String(u"[1, a]"));
  int at = -1;
  EXPECT_TRUE(fx.Index->FindRecordIndexByKey(VarArrayOf({Variant(1), Variant(String(u"a"))}), at));
  EXPECT_EQ(at, 1);
  EXPECT_THROW(fx.Index->FindKeyValueIndex(Variant(1), at), Exception);  // single value against arrays
  TMTIndexesKv* indexes = fx.List().Indexes();
  EXPECT_EQ(indexes->GetIndexForFields(u"ID;NAME"), fx.Index);
  EXPECT_EQ(indexes->GetIndexForFields(u"Id"), nullptr);
  EXPECT_EQ(indexes->GetIndexForFields(u"Id;Name "), nullptr);
}

TEST_F(KvTest, RefreshingIndexDefinitionsEmptiesThemOnlyOnAnOpenTable) {
  auto t = std::make_unique<TMemTableKv>(nullptr);
  t->FieldDefs().Add(u"Id", ftInteger);
  t->IndexDefs().Add(u"ById", u"Id", ixUnique);
  // Closed: the user's definitions stay.
  t->IndexDefs().Update();
  EXPECT_EQ(t->IndexDefs().Count(), 1);
  t->CreateDataSet();
  t->Append();
  t->FieldByName(u"Id")->SetAsInteger(7);
  t->Post();
  // Open: nothing is derived from the key indexes, which keep working.
  t->IndexDefs().SetUpdated(false);
  t->IndexDefs().Update();
  EXPECT_EQ(t->IndexDefs().Count(), 0);
  EXPECT_TRUE(t->IndexDefs().Updated());
  EXPECT_EQ(t->MemTableData()->RecordsList()->Indexes()->Count(), 1);
  EXPECT_TRUE(t->Locate(u"Id", Variant(7), 0));
}

TEST_F(KvTest, TableBuildsIndexesFromDefinitionsAndSearchesThem) {
  auto t = std::make_unique<TMemTableKv>(nullptr);
  t->FieldDefs().Add(u"Id", ftInteger);
  t->FieldDefs().Add(u"Name", ftString, 10);
  t->IndexDefs().Add(u"ById", u"Id", ixUnique);
  t->CreateDataSet();
  for (int i = 1; i <= 5; ++i) {
    t->Append();
    t->FieldByName(u"Id")->SetAsInteger(i * 10);
    t->FieldByName(u"Name")->SetAsString(u"n" + IntToStr(i));
    t->Post();
  }
  TMTIndexesKv* indexes = t->MemTableData()->RecordsList()->Indexes();
  ASSERT_EQ(indexes->Count(), 1);
  EXPECT_TRUE(indexes->GetItem(0)->Active());
  EXPECT_TRUE(t->Locate(u"Id", Variant(30), 0));
  EXPECT_EQ(t->FieldByName(u"Name")->AsString(), String(u"n3"));
  EXPECT_FALSE(t->Locate(u"Id", Variant(31), 0));
  // A duplicate key: the post fails, the store keeps five rows, the buffer keeps the values.
  t->Append();
  t->FieldByName(u"Id")->SetAsInteger(20);
  EXPECT_THROW(t->Post(), EDatabaseError);
  EXPECT_EQ(t->State(), dsInsert);
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 5);
  // Reopening replaces the indexes made from the definitions instead of adding more.
  t->Close();
  t->Open();
  EXPECT_EQ(indexes->Count(), 1);
  EXPECT_TRUE(t->Locate(u"Id", Variant(50), 0));
  // Loaded records are indexed too.
  TMemoryStream s;
  t->SaveToStream(&s);
  t->EmptyTable();
  EXPECT_FALSE(t->Locate(u"Id", Variant(50), 0));
  s.SetPosition(0);
  t->LoadFromStream(&s);
  EXPECT_TRUE(t->Locate(u"Id", Variant(50), 0));
  EXPECT_EQ(t->FieldByName(u"Name")->AsString(), String(u"n5"));
}
