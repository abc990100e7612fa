#include <random>

#include "KvTestSupport.h"
#include "engines/kv/KvValues.h"

namespace {

struct ListFixture {
  TMemTableDataKv Data{nullptr};
  ListFixture() {
    TMTDataFieldKv* f = Data.DataStruct()->CreateField(ClassOf<TMTNumericDataFieldKv>());
    f->AssignDataType(ftInteger);
    f->SetFieldName(u"Id");
  }
  TRecordsListKv& List() { return *Data.RecordsList(); }
  TMemoryRecordKv* Make(int Id) {
    TMemoryRecordKv* r = List().NewRecord();
    r->SetDataValue(0, dvvValueKv, Variant(Id));
    return r;
  }
  std::vector<int> Ids() {
    std::vector<int> ids;
    for (int i = 0; i < List().Count(); ++i) ids.push_back(List().Rec(i)->GetDataValue(0).AsInteger());
    return ids;
  }
};

}  // namespace

TEST_F(KvTest, RecordsListPositionsFollowAModel) {
  ListFixture fx;
  std::vector<int> model;
  std::mt19937 rng(7);
  int next = 0;
  for (int step = 0; step < 3000; ++step) {
    const int n = static_cast<int>(model.size());
    const int op = static_cast<int>(rng() % 10);
    if (op < 5 || n == 0) {
      const int at = n == 0 ? 0 : static_cast<int>(rng() % static_cast<unsigned>(n + 1));
      fx.List().InsertRecord(at, fx.Make(next));
      model.insert(model.begin() + at, next++);
    } else if (op < 8) {
      const int at = static_cast<int>(rng() % static_cast<unsigned>(n));
      fx.List().DeleteRecord(at);
      model.erase(model.begin() + at);
    } else {
      const int from = static_cast<int>(rng() % static_cast<unsigned>(n));
      const int to = static_cast<int>(rng() % static_cast<unsigned>(n));
      fx.List().Move(from, to);
      const int v = model[static_cast<size_t>(from)];
      model.erase(model.begin() + from);
      model.insert(model.begin() + to, v);
    }
    if (step % 100 == 0 || step == 2999) {
      ASSERT_EQ(fx.Ids(), model) << "step " << step;
      for (int i = 0; i < fx.List().Count(); ++i) ASSERT_EQ(fx.List().Rec(i)->Index(), i);
    }
  }
}

TEST_F(KvTest, CachedUpdatesCancelRestoresAndMergeKeeps) {
  ListFixture fx;
  for (int i = 0; i < 3; ++i) fx.List().AddRecord(fx.Make(i));
  fx.List().SetCachedUpdates(true);
  TMemoryRecordKv* r1 = fx.List().Rec(1);
  r1->Edit();
  r1->SetDataValue(0, dvvValueKv, Variant(10));
  r1->Post();
  r1->Edit();
  r1->SetDataValue(0, dvvValueKv, Variant(11));
  r1->Post();
  EXPECT_EQ(r1->GetDataValue(0, dvvOldValueKv).AsInteger(), 1);
  // A modified record deleted under cached updates keeps its first values for CancelUpdates.
  fx.List().DeleteRecord(1);
  EXPECT_EQ(r1->UpdateStatus(), usDeleted);
  EXPECT_THROW(fx.List().DeleteRecord(1), Exception);
  fx.List().AddRecord(fx.Make(7));
  // An inserted record deleted again leaves a nil slot that nothing counts.
  fx.List().DeleteRecord(3);
  EXPECT_TRUE(fx.List().HasCachedChanges());
  fx.List().CancelUpdates();
  EXPECT_EQ(fx.Ids(), (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(fx.List().HasCachedChanges());

  fx.List().DeleteRecord(0);
  fx.List().AddRecord(fx.Make(9));
  fx.List().MergeChangeLog();
  EXPECT_EQ(fx.Ids(), (std::vector<int>{1, 2, 9}));
  EXPECT_EQ(fx.List().Rec(2)->UpdateStatus(), usUnmodified);
}

TEST_F(KvTest, AutoIncrementValuesArriveBeforeTheAddNotification) {
  ListFixture fx;
  TMTDataFieldKv* f = fx.Data.DataStruct()->CreateField(ClassOf<TMTNumericDataFieldKv>());
  f->AssignDataType(ftAutoInc);
  f->SetAutoIncrement(true);
  f->SetFieldName(u"Auto");
  std::vector<int> seen;
  TRecordsListNotificatorKv listener(nullptr);
  listener.OnDataEvent = [&](TMemoryRecordKv* r, int, TRecordsListNotification a) {
    if (a == rlnRecAddingKv || a == rlnRecAddedKv) seen.push_back(r->GetDataValue(1).AsInteger());
  };
  listener.SetDataObject(&fx.Data);
  for (int i = 0; i < 3; ++i) fx.List().AddRecord(fx.Make(i));
  EXPECT_EQ(seen, (std::vector<int>{-1, -1, -2, -2, -3, -3}));
  EXPECT_EQ(fx.Data.AutoIncrement().CurValue(), -4);
  fx.Data.DestroyTable();
  EXPECT_EQ(fx.Data.AutoIncrement().CurValue(), -1);
}

TEST_F(KvTest, RecordValueAccessChecksItsArguments) {
  ListFixture fx;
  TMemoryRecordKv* r = fx.Make(1);
  EXPECT_THROW(r->GetDataValue(1), EListError);
  try {
    (void)r->GetDataValue(0, dvvOldValueKv);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(String(e.Message()), u"TMemoryRecordKv.GetDataValues: Old values is not accessible.");
  }
  EXPECT_EQ(r->GetDataValue(0, dvvOldestValue).AsInteger(), 1);
  fx.List().FreeRecord(r);
}

TEST_F(KvTest, ValueHelpersAndSortTexts) {
  EXPECT_TRUE(KvVarEquals(VarArrayOf({Variant(1), Variant(2)}), VarArrayOf({Variant(1), Variant(2)})));
  EXPECT_FALSE(KvVarEquals(VarArrayOf({Variant(1)}), Variant(1)));
  EXPECT_FALSE(KvVarEquals(Null(), Variant()));
  EXPECT_EQ(KvVarCompare(Null(), Variant(5)), vrLessThan);
  EXPECT_EQ(KvVarCompare(Variant(5), Null()), vrGreaterThan);
  EXPECT_EQ(KvVarCompare(Null(), Null()), vrEqual);
  EXPECT_EQ(KvVarCompare(VarArrayOf({Variant(1), Variant(3)}), VarArrayOf({Variant(1), Variant(2)})), vrGreaterThan);
  EXPECT_EQ(KvVarToText(VarArrayOf({Variant(1), Variant(u"A")})), u"[1, A]");

  struct Names : TOrderByList {
    int FieldPosition(const String& Name) const override {
      if (Name == u"Name") return 0;
      if (Name == u"Id") return 1;
      if (Name == u"Order Date") return 2;
      return -1;
    }
  } list;
  struct Case {
    const char16_t* Text;
    const char16_t* Error;
    std::vector<std::pair<int, bool>> Items;
  };
  const Case cases[] = {
      {u"Name DESC, Id", nullptr, {{0, true}, {1, false}}},
      {u"[Order Date] ASC", nullptr, {{2, false}}},
      {u"Id,", nullptr, {{1, false}}},
      {u"   ", nullptr, {}},
      {u"Name Id", u" Invalid token - \"Id\"", {}},
      {u"Nope", u" Field - \"Nope\" not found.", {}},
  };
  for (const Case& c : cases) {
    list.ParseOrderByStr(u"Id DESC");
    try {
      list.ParseOrderByStr(c.Text);
      ASSERT_EQ(c.Error, nullptr) << String(c.Text).size();
      ASSERT_EQ(list.Count(), static_cast<int>(c.Items.size()));
      for (int i = 0; i < list.Count(); ++i) {
        EXPECT_EQ(list.Items(i).FieldIndex, c.Items[static_cast<size_t>(i)].first);
        EXPECT_EQ(list.Items(i).Desc, c.Items[static_cast<size_t>(i)].second);
      }
    } catch (const Exception& e) {
      ASSERT_NE(c.Error, nullptr);
      EXPECT_EQ(String(e.Message()), c.Error);
      ASSERT_EQ(list.Count(), 1);  // the previous items stay
    }
  }
}
