#include "KvTestSupport.h"
#include "engines/kv/ComponentPackKv.h"

namespace {

class KvStructTest : public KvTest {
 protected:
  template <class F>
  static F* Add(TDataSet* d, const char16_t* name, int size = 0) {
    auto* f = new F(d);
    if (size) f->SetSize(size);
    f->SetFieldName(name);
    f->SetDataSet(d);
    return f;
  }
};

}  // namespace

TEST_F(KvStructTest, AutoIncrementFieldFromPersistentFieldsCountsByItself) {
  TMemTableKv t(nullptr);
  auto* id = Add<TIntegerField>(&t, u"Id");
  auto* other = Add<TIntegerField>(&t, u"Other");
  Add<TStringField>(&t, u"Name", 10);
  other->SetAutoGenerateValue(arAutoInc);
  id->SetAutoGenerateValue(arAutoInc);  // the last one marked wins
  other->SetAutoGenerateValue(arDefault);
  t.CreateDataSet();
  const TMTDataStructKv* s = t.MemTableData()->DataStruct();
  EXPECT_TRUE(s->FieldByName(u"Id")->AutoIncrement());
  EXPECT_FALSE(s->FieldByName(u"Other")->AutoIncrement());
  std::vector<int> ids;
  for (const char16_t* name : {u"a", u"b", u"c"}) {
    t.Append();
    t.FieldByName(u"Name")->SetAsString(name);
    t.Post();
    ids.push_back(t.FieldByName(u"Id")->AsInteger());
    EXPECT_TRUE(t.FieldByName(u"Other")->IsNull());
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(ids[2] - ids[1], ids[1] - ids[0]);

  // Definitions given without fields mark nothing: the name noted before does not linger.
  TMemTableKv plain(nullptr);
  plain.FieldDefs().Add(u"Id", ftInteger);
  plain.CreateDataSet();
  EXPECT_FALSE(plain.MemTableData()->DataStruct()->FieldByName(u"Id")->AutoIncrement());
  t.Close();
  t.Fields().Clear();
  t.FieldDefs().Clear();
  t.FieldDefs().Add(u"Id", ftInteger);
  t.CreateDataSet();
  EXPECT_FALSE(t.MemTableData()->DataStruct()->FieldByName(u"Id")->AutoIncrement());
}

namespace {
// A dataset class of its own, whose fields the features registry builds.
class TFeaturedTable : public TMemTableKv {
 public:
  using TMemTableKv::TMemTableKv;
};
}  // namespace

TEST_F(KvStructTest, StructureFromFieldsKeepsTheirAttributesAndTheFieldsGetThemBack) {
  TMemTableKv t(nullptr);
  auto* id = Add<TIntegerField>(&t, u"Id");
  id->SetDisplayLabel(u"Number");
  id->SetMaxValue(500);
  id->SetMinValue(1);
  id->SetAutoGenerateValue(arAutoInc);
  auto* name = Add<TStringField>(&t, u"Name", 12);
  name->SetFixedChar(true);
  name->SetVisible(false);
  name->SetDisplayWidth(7);
  auto* salary = Add<TFloatField>(&t, u"Salary");
  salary->SetDisplayFormat(u"0.00");
  salary->SetCurrency(true);
  salary->SetPrecision(9);
  auto* married = Add<TBooleanField>(&t, u"Married");
  married->SetDisplayValues(u"Y;N");
  auto* upper = Add<TStringField>(&t, u"Upper", 12);
  upper->SetFieldKind(fkInternalCalc);
  auto* shown = Add<TIntegerField>(&t, u"Shown");
  shown->SetFieldKind(fkCalculated);  // not stored: no descriptor

  TMTDataStructKv* s = t.MemTableData()->DataStruct();
  s->BuildStructFromFields(t.Fields());
  ASSERT_EQ(s->Count(), 5);
  const auto* d = dynamic_cast<const TMTNumericDataFieldKv*>(s->FieldByName(u"Id"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->DisplayLabel(), u"Number");
  EXPECT_EQ(d->MaxValue(), 500);
  EXPECT_EQ(d->MinValue(), 1);
  EXPECT_TRUE(d->AutoIncrement());
  const auto* n = dynamic_cast<const TMTStringDataFieldKv*>(s->FieldByName(u"Name"));
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->Size(), 12);
  EXPECT_TRUE(n->FixedChar());
  EXPECT_FALSE(n->Visible());
  EXPECT_EQ(n->DisplayLabel(), u"");  // a field showing its own name gives no label
  EXPECT_TRUE(s->FieldByName(u"Upper")->Calculated());
  EXPECT_EQ(s->FindField(u"Shown"), nullptr);

  // Saved and read by a table without fields: the fields it makes show what the descriptors hold.
  TMemoryStream stream;
  t.SaveToStream(&stream);
  stream.SetPosition(0);
  TMemTableKv other(nullptr);
  other.LoadFromStream(&stream);
  other.Open();
  TField* oid = other.FieldByName(u"Id");
  EXPECT_EQ(oid->DisplayLabel(), u"Number");
  EXPECT_EQ(oid->AutoGenerateValue(), arAutoInc);
  EXPECT_EQ(dynamic_cast<TIntegerField*>(oid)->MaxValue(), 500);
  EXPECT_EQ(dynamic_cast<TIntegerField*>(oid)->MinValue(), 1);
  EXPECT_FALSE(other.FieldByName(u"Name")->Visible());
  EXPECT_EQ(other.FieldByName(u"Name")->DisplayWidth(), 7);
  EXPECT_TRUE(dynamic_cast<TStringField*>(other.FieldByName(u"Name"))->FixedChar());
  auto* osalary = dynamic_cast<TFloatField*>(other.FieldByName(u"Salary"));
  ASSERT_NE(osalary, nullptr);
  EXPECT_EQ(osalary->DisplayFormat(), u"0.00");
  EXPECT_TRUE(osalary->IsCurrency());
  EXPECT_EQ(osalary->Precision(), 9);
  EXPECT_EQ(dynamic_cast<TBooleanField*>(other.FieldByName(u"Married"))->DisplayValues(), u"Y;N");
  EXPECT_EQ(other.FieldByName(u"Id")->Alignment(), TIntegerField(nullptr).Alignment());  // its own default kept
}

TEST_F(KvStructTest, FeaturesRegistryBuildsTheDescriptorsOfItsDatasetClass) {
  int built = 0;
  RegisterDataSetFeaturesKv<TFeaturedTable>([&built](TMTDataStructKv* Struct, TField* Field) -> TMTDataFieldKv* {
    ++built;
    if (Field->FieldName() == u"Plain") return nullptr;  // left to the default copy
    TMTDataFieldKv* f = Struct->CreateField(ClassOf<TMTStringDataFieldKv>());
    f->AssignDataType(ftWideString);
    f->SetFieldName(Field->FieldName());
    f->SetSize(30);
    return f;
  });
  struct Case {
    const char* name;
    bool featured;
    TFieldType code;  // the type Code's descriptor gets
  };
  for (const Case& c : {Case{"registered class", true, ftWideString}, Case{"other class", false, ftInteger}}) {
    SCOPED_TRACE(c.name);
    built = 0;
    std::unique_ptr<TMemTableKv> t = c.featured ? std::make_unique<TFeaturedTable>(nullptr) : std::make_unique<TMemTableKv>(nullptr);
    Add<TIntegerField>(t.get(), u"Code");
    Add<TIntegerField>(t.get(), u"Plain");
    TMTDataStructKv* s = t->MemTableData()->DataStruct();
    s->BuildStructFromFields(t->Fields());
    EXPECT_EQ(built, c.featured ? 2 : 0);
    EXPECT_EQ(s->FieldByName(u"Code")->DataType(), c.code);
    EXPECT_EQ(s->FieldByName(u"Plain")->DataType(), ftInteger);
  }
  UnregisterDataSetFeaturesKv<TFeaturedTable>();
}

TEST_F(KvStructTest, DriverTableWithPersistentFieldsTakesItsStructureFromThem) {
  TMemTableKv provider(nullptr);
  provider.FieldDefs().Add(u"Id", ftInteger);
  provider.FieldDefs().Add(u"Dept", ftInteger);
  provider.FieldDefs().Add(u"Name", ftString, 10);
  provider.CreateDataSet();
  for (int id : {1, 2, 3}) {
    provider.Append();
    provider.FieldByName(u"Id")->SetAsInteger(id);
    provider.FieldByName(u"Dept")->SetAsInteger(id * 10);
    provider.FieldByName(u"Name")->SetAsString(u"n" + IntToStr(id));
    provider.Post();
  }
  TDataDriverKv driver(nullptr);
  driver.SetProviderDataSet(&provider);
  TMemTableKv t(nullptr);
  Add<TIntegerField>(&t, u"Id")->SetDisplayLabel(u"No");
  Add<TStringField>(&t, u"Name", 10);
  t.SetDataDriver(&driver);
  t.SetFetchAllOnOpen(true);
  for (int pass = 0; pass < 2; ++pass) {  // the structure is made again on every opening
    t.Open();
    const TMTDataStructKv* s = t.MemTableData()->DataStruct();
    ASSERT_EQ(s->Count(), 2);
    EXPECT_EQ(s->FieldByName(u"Id")->DisplayLabel(), u"No");
    EXPECT_EQ(s->FindField(u"Dept"), nullptr);
    std::vector<String> rows;
    for (t.First(); !t.Eof(); t.Next()) rows.push_back(IntToStr(t.FieldByName(u"Id")->AsInteger()) + t.FieldByName(u"Name")->AsString());
    EXPECT_EQ(rows, (std::vector<String>{u"1n1", u"2n2", u"3n3"}));
    t.Close();
  }
}

TEST_F(KvStructTest, VariantFieldsTakeTheValueAsGivenAndRefuseOutsideAnEdit) {
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Id", ftInteger);
  t.FieldDefs().Add(u"Any", ftVariant);
  t.CreateDataSet();
  TField* any = t.FieldByName(u"Any");
  for (const Variant& v : {Variant(7), Variant(String(u"text")), Variant(2.5)}) {
    t.Append();
    any->SetAsVariant(v);
    t.Post();
    EXPECT_EQ(any->AsVariant().VType(), v.VType());
    EXPECT_EQ(any->AsString(), VarToStr(v));
  }
  EXPECT_THROW(any->SetAsVariant(Variant(1)), EDatabaseError);  // browsing
  t.Edit();
  any->Clear();
  t.Post();
  EXPECT_TRUE(any->IsNull());
}
