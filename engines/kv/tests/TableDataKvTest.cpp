#include "KvTestSupport.h"
#include "engines/kv/AggregatesKv.h"
#include "engines/kv/IndexesKv.h"

namespace {

// Table data of Id (integer), Name (8-bit text) and Twice (integer, calculated as 2 x Id).
struct DataFixture {
  TMemTableDataKv Data{nullptr};
  DataFixture() {
    auto* id = Data.DataStruct()->CreateField(ClassOf<TMTNumericDataFieldKv>());
    id->AssignDataType(ftInteger);
    id->SetFieldName(u"Id");
    auto* name = Data.DataStruct()->CreateField(ClassOf<TMTStringDataFieldKv>());
    name->AssignDataType(ftString);
    name->SetSize(10);
    name->SetFieldName(u"Name");
    auto* twice = Data.DataStruct()->CreateField(ClassOf<TMTNumericDataFieldKv>());
    twice->AssignDataType(ftInteger);
    twice->SetFieldName(u"Twice");
    twice->SetCalculated(true);
  }
  TRecordsListKv& List() { return *Data.RecordsList(); }
  TMemoryRecordKv* Add(int Id, const char* Name) {
    TMemoryRecordKv* r = List().NewRecord();
    r->SetDataValue(0, dvvValueKv, Variant(Id));
    r->SetDataValue(1, dvvValueKv, VarFromAnsi(Name));
    try {
      List().AddRecord(r);
    } catch (...) {
      List().FreeRecord(r);
      throw;
    }
    return r;
  }
};

}  // namespace

TEST_F(KvTest, CalculatedValuesAreInPlaceBeforeAnyoneHearsOfTheRecord) {
  DataFixture fx;
  fx.Data.SetOnFieldCalculation([](TMemoryRecordKv* rec, std::vector<Variant>& values) {
    if (rec->GetDataValue(0).AsInteger() != 7) values[2] = Variant(rec->GetDataValue(0).AsInteger() * 2);
  });
  // A unique index over the calculated field refuses a duplicate on the adding notification: the
  // value it checks is the computed one.
  TMTIndexKv* index = fx.List().Indexes()->Add();
  index->SetUnical(true);
  index->SetFields(u"Twice");
  index->SetActive(true);
  std::vector<int> seenOnAdding;
  TRecordsListNotificatorKv listener(nullptr);
  listener.OnDataEvent = [&](TMemoryRecordKv* rec, int, TRecordsListNotification action) {
    if (action == rlnRecAddingKv) seenOnAdding.push_back(rec->GetDataValue(2).IsNull() ? -1 : rec->GetDataValue(2).AsInteger());
  };
  listener.SetDataObject(&fx.Data);
  TMemoryRecordKv* one = fx.Add(1, "a");
  fx.Add(7, "left");  // the handler leaves it Empty: Null
  EXPECT_EQ(seenOnAdding, (std::vector<int>{2, -1}));
  EXPECT_TRUE(fx.List().Rec(1)->GetDataValue(2).IsNull());
  // A post recomputes before the changing notification; a clash with another record's computed key is
  // refused and the record keeps its values.
  fx.Add(3, "c");
  one->Edit();
  one->SetDataValue(0, dvvValueKv, Variant(3));
  EXPECT_THROW(one->Post(), EDatabaseError);
  one->Cancel();
  EXPECT_EQ(one->GetDataValue(0).AsInteger(), 1);
  EXPECT_EQ(one->GetDataValue(2).AsInteger(), 2);
  one->Edit();
  one->SetDataValue(0, dvvValueKv, Variant(5));
  one->Post();
  EXPECT_EQ(one->GetDataValue(2).AsInteger(), 10);
  listener.SetDataObject(nullptr);
}

TEST_F(KvTest, RestructureCarriesRecordsOverByFieldName) {
  DataFixture fx;
  TMemoryRecordKv* first = fx.Add(1, "12");
  fx.Add(2, "ab");
  const int serial = first->HashCode();
  TMTDataStructKv* next = fx.Data.BeginRestruct();
  EXPECT_THROW(fx.Data.BeginRestruct(), Exception);
  // Name becomes an integer field, Twice goes, Note (wide text) is new. A removed descriptor is the
  // caller's to free.
  for (const char16_t* gone : {u"Twice", u"Name"}) {
    std::unique_ptr<TMTDataFieldKv> field(next->FieldByName(gone));
    next->RemoveField(field.get());
  }
  auto* name = next->CreateField(ClassOf<TMTNumericDataFieldKv>());
  name->AssignDataType(ftInteger);
  name->SetFieldName(u"Name");
  auto* note = next->CreateField(ClassOf<TMTStringDataFieldKv>());
  note->AssignDataType(ftWideString);
  note->SetSize(5);
  note->SetFieldName(u"Note");
  fx.Data.CommitRestruct();
  EXPECT_FALSE(fx.Data.RestructMode());
  ASSERT_EQ(fx.Data.DataStruct()->Count(), 3);
  ASSERT_EQ(fx.List().Count(), 2);
  TMemoryRecordKv* r0 = fx.List().Rec(0);
  EXPECT_EQ(r0->ValueCount(), 3);
  EXPECT_EQ(r0->GetDataValue(0).AsInteger(), 1);
  EXPECT_EQ(r0->GetDataValue(1).AsInteger(), 12);
  EXPECT_TRUE(r0->GetDataValue(2).IsNull());
  EXPECT_TRUE(fx.List().Rec(1)->GetDataValue(1).IsNull());  // "ab" is no integer
  EXPECT_EQ(fx.List().RecordBySerial(serial), r0);           // bookmarks still find it
  // Cancel drops the scratch structure; the table is untouched.
  fx.Data.BeginRestruct()->Clear();
  fx.Data.CancelRestruct();
  EXPECT_EQ(fx.Data.DataStruct()->Count(), 3);
}

TEST_F(KvTest, TableStoredInAFormKeepsStructureAndRecords) {
  auto t = MakeBenchmarkTable();
  t->SetName(u"Table1");
  for (int i = 1; i <= 3; ++i) {
    t->Append();
    t->FieldByName(u"CustomerID")->SetAsInteger(i);
    t->FieldByName(u"Address")->SetAsString(u"\u4E2D" + IntToStr(i));
    t->Post();
  }
  TMemoryStream form;
  {
    TWriter w(&form);
    w.WriteRootComponent(t.get());
    w.FlushBuffer();
  }
  // Read into a closed table that had a structure of its own: the stored one replaces it.
  auto back = std::make_unique<TMemTableKv>(nullptr);
  back->FieldDefs().Add(u"Other", ftInteger);
  back->CreateDataSet();
  back->Close();
  back->FieldDefs().Clear();
  form.SetPosition(0);
  {
    TReader r(&form);
    r.ReadRootComponent(back.get());
  }
  back->Open();
  ASSERT_EQ(back->RecordCount(), 3);
  EXPECT_EQ(back->FieldCount(), 7);
  back->Last();
  EXPECT_EQ(back->FieldByName(u"CustomerID")->AsInteger(), 3);
  EXPECT_EQ(back->FieldByName(u"Address")->AsString(), u"\u4E2D" + IntToStr(3));
}

TEST_F(KvTest, AnOpenTableRefusesAStoredState) {
  auto t = MakeBenchmarkTable();
  TMemoryStream form;
  {
    TWriter w(&form);
    w.WriteRootComponent(t.get());
    w.FlushBuffer();
  }
  form.SetPosition(0);
  TReader r(&form);
  EXPECT_THROW(r.ReadRootComponent(t.get()), Exception);
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(t->FieldCount(), 7);
}

TEST_F(KvTest, ViewAggregatesFollowTheRows) {
  auto t = MakeBenchmarkTable();
  TMTAggregatesKv* aggregates = t->RecordsView()->Aggregates();
  TMTAggregateKv* sum = aggregates->Add();
  sum->SetExpression(u"SUM(Salary)");
  sum->SetActive(true);
  EXPECT_TRUE(sum->Value().IsNull());  // the collection is not active yet
  aggregates->SetActive(true);         // rebuilt from the table's aggregate fields: none
  EXPECT_EQ(aggregates->Count(), 0);
  sum = aggregates->Add();
  sum->SetExpression(u"SUM(Salary)");
  sum->SetActive(true);
  for (int i = 1; i <= 3; ++i) {
    t->Append();
    t->FieldByName(u"Salary")->SetAsFloat(100.0 * i);
    t->Post();
  }
  EXPECT_DOUBLE_EQ(sum->Value().AsDouble(), 600.0);
  t->First();
  t->Delete();
  EXPECT_DOUBLE_EQ(sum->Value().AsDouble(), 500.0);
  t->Close();
  sum->Reset();
  EXPECT_TRUE(sum->Value().IsNull());
}
