#include "KvTestSupport.h"

namespace {

// A provider whose rows depend on its "Dept" parameter, as a parameterised query's would.
class TParamTable : public TMemTableKv, public IProviderParamsKv {
 public:
  explicit TParamTable(TComponent* AOwner) : TMemTableKv(AOwner) {
    Params.CreateParam(ftInteger, u"Dept", ptInput);
    SetOnFilterRecord([this](TDataSet& d, bool& accept) {
      accept = d.FieldByName(u"Dept")->AsInteger() == Params.ParamByName(u"Dept")->AsInteger();
    });
    SetFiltered(true);
  }
  TParams* ProviderParams() override { return &Params; }
  TParams Params;
};

class KvLinksTest : public KvTest {
 protected:
  static std::unique_ptr<TMemTableKv> Make(std::initializer_list<std::pair<int, int>> rows) {
    auto m = std::make_unique<TMemTableKv>(nullptr);
    m->FieldDefs().Add(u"Id", ftInteger);
    m->FieldDefs().Add(u"Dept", ftInteger);
    m->FieldDefs().Add(u"Name", ftString, 10);
    m->CreateDataSet();
    for (auto [id, dept] : rows) Add(*m, id, dept);
    return m;
  }
  static void Add(TDataSet& d, int id, int dept) {
    d.Append();
    d.FieldByName(u"Id")->SetAsInteger(id);
    d.FieldByName(u"Dept")->SetAsInteger(dept);
    d.FieldByName(u"Name")->SetAsString(id % 2 ? u"Li" : u"li");
    d.Post();
  }
  static std::vector<int> Ids(TDataSet& d) {
    std::vector<int> ids;
    for (d.First(); !d.Eof(); d.Next()) ids.push_back(d.FieldByName(u"Id")->AsInteger());
    return ids;
  }
};

}  // namespace

TEST_F(KvLinksTest, RowsDeletedThroughTheOtherTableLeaveNothingDangling) {
  auto a = Make({{1, 10}, {2, 20}, {3, 30}});
  auto b = Make({});
  b->SetExternalMemData(a.get());
  b->First();
  a->First();
  a->Delete();  // the row b stands on
  EXPECT_EQ(b->FieldByName(u"Id")->AsInteger(), 2);  // refetched: the row that took its place
  EXPECT_EQ(Ids(*b), (std::vector<int>{2, 3}));
  b->Last();
  a->EmptyTable();
  EXPECT_TRUE(b->FieldByName(u"Id")->IsNull());
  EXPECT_EQ(Ids(*b), (std::vector<int>{}));
}

// A window of rows as a grid keeps it, refreshed by the table's data events.
class TWindowLink : public TDataLink {
 public:
  int Changes = 0;
  void DataSetChanged() override { ++Changes; }
};

TEST_F(KvLinksTest, ChangesMadeThroughTheOtherTableRefetchThisOne) {
  struct Case {
    const char* name;
    std::function<void(TMemTableKv&)> change;  // made through the table that owns the data
    int current;                               // the row b then shows
    std::vector<int> window;                   // b's buffered rows, as its grid sees them
  };
  auto insertFirst = [](TMemTableKv& a) {
    a.First();
    a.Insert();
    a.FieldByName(u"Id")->SetAsInteger(9);
    a.Post();
  };
  auto deleteId = [](int id) {
    return [id](TMemTableKv& a) {
      ASSERT_TRUE(a.Locate(u"Id", Variant(id), 0));
      a.Delete();
    };
  };
  const Case cases[] = {
      {"append", [](TMemTableKv& a) { Add(a, 4, 40); }, 2, {1, 2, 3, 4}},
      {"insert before b's row", insertFirst, 2, {9, 1, 2, 3}},
      {"delete b's row", deleteId(2), 3, {1, 3}},
      {"delete a row before it", deleteId(1), 2, {2, 3}},
      {"edit b's row",
       [](TMemTableKv& a) {
         ASSERT_TRUE(a.Locate(u"Id", Variant(2), 0));
         a.Edit();
         a.FieldByName(u"Id")->SetAsInteger(20);
         a.Post();
       },
       20, {1, 20, 3}},
      {"empty", [](TMemTableKv& a) { a.EmptyTable(); }, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = Make({{1, 10}, {2, 20}, {3, 30}});
    auto b = Make({});
    b->SetExternalMemData(a.get());
    TDataSource source(nullptr);
    source.SetDataSet(b.get());
    TWindowLink link;
    link.SetBufferCount(5);
    link.SetDataSource(&source);
    ASSERT_TRUE(b->Locate(u"Id", Variant(2), 0));
    const int before = link.Changes;
    c.change(*a);
    EXPECT_GT(link.Changes, before);
    if (c.window.empty()) {
      EXPECT_TRUE(b->IsEmpty());
    } else {
      EXPECT_EQ(b->FieldByName(u"Id")->AsInteger(), c.current);
    }
    std::vector<int> window;
    const int active = link.ActiveRecord();
    for (int i = 0; i < link.RecordCount(); ++i) {
      link.SetActiveRecord(i);
      window.push_back(b->FieldByName(u"Id")->AsInteger());
    }
    if (link.RecordCount() > 0) link.SetActiveRecord(active);
    EXPECT_EQ(window, c.window);
    link.SetDataSource(nullptr);
  }
}

TEST_F(KvLinksTest, ExternalMemDataShowsAnotherTablesRows) {
  auto a = Make({{1, 10}, {2, 20}});
  auto b = Make({{7, 70}});
  EXPECT_THROW(b->SetExternalMemData(b.get()), Exception);
  b->SetExternalMemData(a.get());
  EXPECT_TRUE(b->Active());  // reopened over the other data
  EXPECT_EQ(Ids(*b), (std::vector<int>{1, 2}));
  Add(*b, 3, 30);  // rows added through either table are the same rows
  EXPECT_EQ(Ids(*a), (std::vector<int>{1, 2, 3}));
  TDataDriverKv driver(nullptr);
  EXPECT_THROW(b->SetDataDriver(&driver), Exception);
  // The other table goes: this one closes and has its own data again.
  a.reset();
  EXPECT_FALSE(b->Active());
  EXPECT_EQ(b->ExternalMemData(), nullptr);
  b->Open();
  EXPECT_EQ(Ids(*b), (std::vector<int>{7}));
}

TEST_F(KvLinksTest, CaseInsensitiveOptionReachesFiltersAndSorting) {
  auto t = Make({{1, 10}, {2, 10}, {3, 10}});
  t->SetFilterText(u"Name = 'li'");
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 1);
  t->SetOptions(MemTableOptionBit(mtoTextFieldsCaseInsensitive));
  EXPECT_NE(t->FilterOptions() & foCaseInsensitive, 0u);
  EXPECT_TRUE(t->RecordsView()->SortOrderCaseInsensitive());
  EXPECT_EQ(t->RecordCount(), 3);
}

TEST_F(KvLinksTest, MasterDetailThroughTheProvidersParameters) {
  auto master = Make({{10, 10}, {20, 20}});
  TParamTable provider(nullptr);
  provider.FieldDefs().Add(u"Id", ftInteger);
  provider.FieldDefs().Add(u"Dept", ftInteger);
  provider.CreateDataSet();
  provider.SetFiltered(false);
  for (auto [id, dept] : {std::pair{1, 10}, {2, 20}, {3, 10}}) {
    provider.Append();
    provider.FieldByName(u"Id")->SetAsInteger(id);
    provider.FieldByName(u"Dept")->SetAsInteger(dept);
    provider.Post();
  }
  provider.SetFiltered(true);
  TDataDriverKv driver(nullptr);
  driver.SetProviderDataSet(&provider);
  TDataSource source(nullptr);
  source.SetDataSet(master.get());
  master->First();

  // Provider side: the detail reopens with the master's values as parameters.
  TMemTableKv detail(nullptr);
  detail.SetDataDriver(&driver);
  detail.SetFetchAllOnOpen(true);
  detail.SetMasterDetailSide(mdsOnProviderKv);
  detail.SetMasterSource(&source);
  detail.SetMasterFields(u"Dept");  // the master fields whose change refreshes the detail
  detail.Open();
  EXPECT_EQ(Ids(detail), (std::vector<int>{1, 3}));
  master->Next();
  EXPECT_EQ(Ids(detail), (std::vector<int>{2}));
  detail.Close();

  // Self after provider: rows of every master value read so far stay and are filtered locally.
  master->First();
  detail.SetMasterDetailSide(mdsOnSelfAfterProviderKv);
  detail.SetDetailFields(u"Dept");
  detail.Open();
  EXPECT_EQ(Ids(detail), (std::vector<int>{1, 3}));
  master->Next();
  EXPECT_EQ(Ids(detail), (std::vector<int>{2}));
  master->First();
  EXPECT_EQ(Ids(detail), (std::vector<int>{1, 3}));
  EXPECT_EQ(detail.MemTableData()->RecordsList()->Count(), 3);  // nothing read twice
  detail.Close();
}

TEST_F(KvLinksTest, ObjectFieldsCarryHandlesAndAggregateFieldsReadTheView) {
  auto t = std::make_unique<TMemTableKv>(nullptr);
  t->FieldDefs().Add(u"Id", ftInteger);
  t->FieldDefs().Add(u"Obj", ftUnknown);
  auto* total = new TAggregateField(t.get());
  total->SetFieldName(u"Total");
  total->SetExpression(u"SUM(Id)");
  total->SetActive(true);
  total->SetDataSet(t.get());
  t->CreateDataSet();
  auto* obj = dynamic_cast<TRefObjectField*>(t->FieldByName(u"Obj"));
  ASSERT_NE(obj, nullptr);
  TComponent thing(nullptr);
  for (int id : {1, 2, 4}) {
    t->Append();
    t->FieldByName(u"Id")->SetAsInteger(id);
    obj->SetValue(id == 2 ? &thing : nullptr);
    t->Post();
  }
  t->First();
  EXPECT_EQ(obj->Value(), nullptr);
  EXPECT_TRUE(obj->IsNull());
  t->Next();
  EXPECT_EQ(obj->Value(), &thing);
  EXPECT_EQ(KvObjectOfHandle(obj->AsVariant().AsInteger()), &thing);
  t->Edit();
  obj->SetValue(nullptr);  // nil makes the field Null
  t->Post();
  EXPECT_TRUE(obj->IsNull());
  TRefObjectField loose(nullptr);
  EXPECT_THROW(loose.Value(), Exception);

  EXPECT_TRUE(total->IsNull()) << "aggregates are off until AggregatesActive";
  t->SetAggregatesActive(true);
  EXPECT_EQ(total->AsInteger(), 7);
  t->Append();
  t->FieldByName(u"Id")->SetAsInteger(10);
  t->Post();
  EXPECT_EQ(total->AsInteger(), 17);
}

TEST_F(KvLinksTest, NewDetailRowTakesTheMastersValuesAndTheDefaults) {
  auto master = Make({{10, 10}, {20, 20}});
  auto detail = Make({{1, 10}, {2, 20}});
  detail->FieldByName(u"Name")->SetDefaultExpression(u"new");
  TDataSource source(nullptr);
  source.SetDataSet(master.get());
  detail->SetMasterSource(&source);
  detail->SetMasterFields(u"Dept");
  detail->SetDetailFields(u"Dept");
  ASSERT_TRUE(master->Locate(u"Id", Variant(20), 0));
  EXPECT_EQ(Ids(*detail), (std::vector<int>{2}));
  detail->Append();
  EXPECT_EQ(detail->FieldByName(u"Dept")->AsInteger(), 20);
  EXPECT_EQ(detail->FieldByName(u"Name")->AsString(), u"new");
  detail->FieldByName(u"Id")->SetAsInteger(3);
  detail->Post();
  EXPECT_EQ(detail->FieldByName(u"Id")->AsInteger(), 3);  // the posted row is one the detail shows
  EXPECT_EQ(Ids(*detail), (std::vector<int>{2, 3}));
}

TEST_F(KvLinksTest, AppendWaitsForEveryProviderRowAndSortWaitsForInstantRead) {
  auto provider = Make({{1, 10}, {2, 20}, {3, 30}});
  TDataDriverKv driver(nullptr);
  driver.SetProviderDataSet(provider.get());
  TMemTableKv t(nullptr);
  t.SetDataDriver(&driver);
  t.Open();  // one row read so far
  try {
    t.Append();
    FAIL() << "appended before the provider was read";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Attempt to append a record before all records have been read from DataDriver.");
  }
  EXPECT_EQ(t.State(), dsBrowse);
  EXPECT_EQ(t.FieldByName(u"Id")->AsInteger(), 1);
  t.Last();
  t.Append();
  t.FieldByName(u"Id")->SetAsInteger(4);
  t.Post();
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3, 4}));

  t.InstantReadEnter(0);
  try {
    t.SortByOrderString(u"Id DESC");
    FAIL() << "sorted in instant read";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Sort data in InstantReadMode is not allowed.");
  }
  t.InstantReadLeave();
  t.SortByOrderString(u"Id DESC");
  EXPECT_EQ(Ids(t), (std::vector<int>{4, 3, 2, 1}));
}
