#include <tuple>

#include "KvTestSupport.h"

namespace {

// Fields: Id, Parent, Name (data), Upper (internal-calc: Name upper-cased), Twice (calculated: Id * k).
class KvCalcTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    t = std::make_unique<TMemTableKv>(nullptr);
    Add(new TIntegerField(t.get()), u"Id", fkData);
    Add(new TIntegerField(t.get()), u"Parent", fkData);
    Add(new TStringField(t.get()), u"Name", fkData);
    Add(new TStringField(t.get()), u"Upper", fkInternalCalc);
    twice = Add(new TIntegerField(t.get()), u"Twice", fkCalculated);
    t->OnCalcFields = [this](TDataSet& d) {
      if (d.State() == dsInternalCalc) {
        ++internalCalls;
        String upper = UpperCase(d.FieldByName(u"Name")->AsString());
        upper.append(suffix);
        d.FieldByName(u"Upper")->SetAsString(upper);
      } else {
        d.FieldByName(u"Twice")->SetAsInteger(d.FieldByName(u"Id")->AsInteger() * factor);
      }
    };
    t->CreateDataSet();
    for (auto [id, parent, name] : std::vector<std::tuple<int, int, const char16_t*>>{{3, 0, u"b"}, {1, 3, u"c"}, {2, 0, u"a"}}) {
      t->Append();
      t->FieldByName(u"Id")->SetAsInteger(id);
      if (parent) t->FieldByName(u"Parent")->SetAsInteger(parent);
      t->FieldByName(u"Name")->SetAsString(name);
      t->Post();
    }
  }
  TField* Add(TField* f, const char16_t* name, TFieldKind kind) {
    if (auto* s = dynamic_cast<TStringField*>(f)) s->SetSize(10);
    f->SetFieldName(name);
    f->SetFieldKind(kind);
    f->SetDataSet(t.get());
    return f;
  }
  // The stored internal-calc values, in records-list order.
  std::vector<String> Stored() {
    std::vector<String> out;
    const int i = t->FieldByName(u"Upper")->FieldNo() - 1;
    TRecordsListKv* list = t->RecordsView()->List();
    for (int r = 0; r < list->Count(); ++r) out.push_back(VarToStr(list->GetRec(r)->GetDataValue(i, dvvValueKv)));
    return out;
  }
  std::vector<int> Ids() {
    std::vector<int> ids;
    for (t->First(); !t->Eof(); t->Next()) ids.push_back(t->FieldByName(u"Id")->AsInteger());
    return ids;
  }
  std::unique_ptr<TMemTableKv> t;
  TField* twice = nullptr;
  int internalCalls = 0;
  int factor = 2;
  String suffix;
};

}  // namespace

TEST_F(KvCalcTest, InternalCalcValuesLiveInTheRecords) {
  EXPECT_EQ(Stored(), (std::vector<String>{u"B", u"C", u"A"}));
  // Stored values sort and filter like data fields.
  t->SetSortOrder(u"Upper");
  EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 1}));
  t->SetFilterText(u"Upper = 'C'");
  t->SetFiltered(true);
  EXPECT_EQ(Ids(), (std::vector<int>{1}));
  t->SetFiltered(false);
  // A post computes them again for that record only.
  ASSERT_TRUE(t->Locate(u"Id", Variant(2), 0));
  const int before = internalCalls;
  t->Edit();
  t->FieldByName(u"Name")->SetAsString(u"z");
  t->Post();
  EXPECT_EQ(internalCalls - before, 1);
  EXPECT_EQ(Stored(), (std::vector<String>{u"B", u"C", u"Z"}));
  EXPECT_EQ(t->FieldByName(u"Upper")->AsString(), u"Z");
  EXPECT_EQ(t->FieldByName(u"Twice")->AsInteger(), 4);
  // Opening computes every record; a closed table computes nothing.
  t->Close();
  suffix.push_back(u'!');
  EXPECT_EQ(Stored(), (std::vector<String>{u"B", u"C", u"Z"}));
  t->Open();
  EXPECT_EQ(Stored(), (std::vector<String>{u"B!", u"C!", u"Z!"}));
}

TEST_F(KvCalcTest, TreeRowsKeepTheirCalculatedValues) {
  t->TreeList().SetKeyFieldName(u"Id");
  t->TreeList().SetRefParentFieldName(u"Parent");
  t->TreeList().SetActive(true);
  TMemoryTreeListKv* tree = t->RecordsView()->MemoryTreeList();
  auto kept = [&](int id) {
    TRecordsListKv* list = t->RecordsView()->List();
    for (int r = 0; r < list->Count(); ++r)
      if (list->GetRec(r)->GetDataValue(0, dvvValueKv).AsInteger() == id) {
        TMemRecViewKv* node = tree->GetNode(nullptr, list->GetRec(r));
        return node->LookupBuffer.at(static_cast<size_t>(twice->Index())).AsInteger();
      }
    return -1;
  };
  EXPECT_EQ(kept(1), 2);
  EXPECT_EQ(kept(3), 6);
  // A layout change computes them again.
  factor = 10;
  t->FieldByName(u"Name")->SetReadOnly(true);
  EXPECT_EQ(kept(1), 10);
  EXPECT_EQ(kept(2), 20);
}

TEST_F(KvCalcTest, CalculatedValueLeftUnsetIsNullNotTheRowBefore) {
  t->OnCalcFields = [this](TDataSet& d) {
    if (d.State() == dsInternalCalc) return;
    const int id = d.FieldByName(u"Id")->AsInteger();
    if (id != 1) twice->SetAsInteger(id * 2);  // row 1 gets no value
  };
  t->Refresh();
  std::vector<String> seen;
  for (t->First(); !t->Eof(); t->Next()) seen.push_back(twice->IsNull() ? String(u"null") : twice->AsString());
  EXPECT_EQ(seen, (std::vector<String>{u"6", u"null", u"4"}));
  ASSERT_TRUE(t->Locate(u"Id", Variant(1), 0));
  EXPECT_TRUE(twice->IsNull());
}

TEST(KvCalcLookupValue, ReadsTheLookupDatasetOrGivesNull) {
  sys::SetSystemCodePage(936);
  InitializeMemTableDataKv();
  TMemTableKv names(nullptr);
  names.FieldDefs().Add(u"Code", ftInteger);
  names.FieldDefs().Add(u"Text", ftString, 10);
  names.CreateDataSet();
  for (auto [code, text] : {std::pair{1, u"one"}, {2, u"two"}}) {
    names.Append();
    names.FieldByName(u"Code")->SetAsInteger(code);
    names.FieldByName(u"Text")->SetAsString(text);
    names.Post();
  }
  TMemTableKv t(nullptr);
  auto* code = new TIntegerField(&t);
  code->SetFieldName(u"Code");
  code->SetDataSet(&t);
  auto* text = new TStringField(&t);
  text->SetFieldName(u"Text");
  text->SetFieldKind(fkLookup);
  text->SetLookupDataSet(&names);
  text->SetKeyFields(u"Code");
  text->SetLookupKeyFields(u"Code");
  text->SetLookupResultField(u"Text");
  text->SetDataSet(&t);
  t.CreateDataSet();
  for (int c : {2, 3}) {
    t.Append();
    code->SetAsInteger(c);
    t.Post();
  }
  t.First();
  EXPECT_EQ(t.CalcLookupValue(text).AsString(), u"two");
  EXPECT_EQ(text->AsString(), u"two");
  t.Next();
  EXPECT_TRUE(t.CalcLookupValue(text).IsNull());  // no such key
  names.Close();
  t.First();
  EXPECT_TRUE(t.CalcLookupValue(text).IsNull());  // the lookup dataset is closed
  EXPECT_TRUE(t.CalcLookupValue(nullptr).IsNull());
}

TEST(KvLookupValueField, TreeRowsKeepTheValuesWrittenOnThem) {
  sys::SetSystemCodePage(936);
  InitializeMemTableDataKv();
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Id", ftInteger);
  t.FieldDefs().Add(u"Parent", ftInteger);
  auto* mark = new TLookupValueFieldKv(&t);
  mark->SetFieldName(u"Mark");
  mark->SetDataSet(&t);
  int calcs = 0;
  t.OnCalcFields = [&](TDataSet&) { ++calcs; };  // never sets Mark
  auto* id = new TIntegerField(&t);
  id->SetFieldName(u"Id");
  id->SetDataSet(&t);
  auto* parent = new TIntegerField(&t);
  parent->SetFieldName(u"Parent");
  parent->SetDataSet(&t);
  t.CreateDataSet();
  for (auto [i, p] : {std::pair{1, 0}, {2, 1}, {3, 0}}) {
    t.Append();
    id->SetAsInteger(i);
    if (p) parent->SetAsInteger(p);
    t.Post();
  }
  t.TreeList().SetKeyFieldName(u"Id");
  t.TreeList().SetRefParentFieldName(u"Parent");
  t.TreeList().SetDefaultNodeExpanded(true);
  t.TreeList().SetActive(true);
  t.TreeList().FullExpand();
  auto marks = [&] {
    std::vector<String> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(IntToStr(id->AsInteger()) + u"=" + (mark->IsNull() ? String(u"-") : mark->AsString()));
    return out;
  };
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=-", u"3=-"}));
  ASSERT_TRUE(t.Locate(u"Id", Variant(2), 0));
  mark->SetAsString(u"x");  // while browsing: straight into the row
  ASSERT_TRUE(t.Locate(u"Id", Variant(3), 0));
  t.Edit();
  mark->SetAsString(u"y");  // with an edit: kept once posted
  t.Post();
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=x", u"3=y"}));
  // A layout change computes the calculated values again; the kept ones stay.
  id->SetDisplayLabel(u"No");
  t.FieldByName(u"Parent")->SetReadOnly(true);
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=x", u"3=y"}));
  EXPECT_GT(calcs, 0);
  // Moving fields while open: each kept value stays with its field.
  mark->SetIndex(2);
  EXPECT_EQ(t.Fields()[2], mark);
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=x", u"3=y"}));
  id->SetIndex(2);
  mark->SetIndex(0);
  t.FieldByName(u"Parent")->SetReadOnly(false);
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=x", u"3=y"}));
  // The rows keep their values across closing and opening, also when a field moved meanwhile.
  t.Close();
  mark->SetIndex(1);
  t.Open();
  t.TreeList().FullExpand();
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=x", u"3=y"}));
  // Without storing, the field is an ordinary calculated one: nothing kept, nothing stale.
  t.Close();
  mark->SetStoreValue(false);
  t.Open();
  EXPECT_EQ(marks(), (std::vector<String>{u"1=-", u"2=-", u"3=-"}));
}
