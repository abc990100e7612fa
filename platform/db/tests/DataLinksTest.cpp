#include <gtest/gtest.h>

#include "platform/db/tests/TestSupport.h"

using dbtest::AddField;
using dbtest::CountingLink;
using dbtest::Ids;
using dbtest::Linked;
using dbtest::OpenWithIds;

namespace {

TEST(DisableControls, NestedCallsHoldNotificationsUntilTheLastEnable) {
  Linked l({1, 2, 3});
  EXPECT_TRUE(l.link.Active());
  l.link.Changes = l.link.Scrolls = 0;
  l.ds.DisableControls();
  l.ds.DisableControls();
  EXPECT_TRUE(l.ds.ControlsDisabled());
  l.ds.Next();
  l.ds.Append();
  l.ds.FieldByName(u"ID")->SetAsInteger(9);
  l.ds.Post();
  l.ds.EnableControls();
  EXPECT_TRUE(l.ds.ControlsDisabled());
  EXPECT_EQ(l.link.Changes + l.link.Scrolls + l.link.RecordChanges, 0);
  l.ds.EnableControls();
  EXPECT_FALSE(l.ds.ControlsDisabled());
  EXPECT_EQ(l.link.Changes, 1) << "one data-set change for everything that happened meanwhile";
  // An unbalanced extra EnableControls is harmless.
  l.ds.EnableControls();
  EXPECT_EQ(l.link.Changes, 1);
}

TEST(DisableControls, StateChangeDuringTheDisabledSpanIsReported) {
  Linked l({1});
  int stateChanges = 0;
  l.src.OnStateChange = [&](TObject*) { ++stateChanges; };
  l.ds.DisableControls();
  l.ds.Edit();
  EXPECT_EQ(stateChanges, 0);
  l.ds.EnableControls();
  EXPECT_EQ(stateChanges, 1);
  EXPECT_EQ(l.src.State(), dsEdit);
  l.ds.Cancel();
}

TEST(DataLinks, SeeScrollsFieldChangesAndState) {
  Linked l({1, 2, 3});
  l.link.Changes = l.link.Scrolls = l.link.RecordChanges = 0;
  l.ds.Next();
  EXPECT_EQ(l.link.Scrolls, 1);
  l.ds.Edit();
  EXPECT_TRUE(l.link.Editing());
  l.ds.FieldByName(u"ID")->SetAsInteger(7);
  EXPECT_GE(l.link.RecordChanges, 1);
  l.ds.Post();
  EXPECT_FALSE(l.link.Editing());
  l.ds.Close();
  EXPECT_FALSE(l.link.Active());
}

TEST(DataLinks, ALinkWindowWidensTheBufferWindow) {
  Linked l({1, 2, 3, 4, 5, 6});
  l.link.SetBufferCount(4);
  EXPECT_EQ(l.ds.BufferCount(), 4);
  l.ds.First();
  EXPECT_EQ(l.link.RecordCount(), 4);
  l.ds.MoveBy(5);
  EXPECT_EQ(l.ds.FieldByName(u"ID")->AsInteger(), 6);
  EXPECT_EQ(l.link.ActiveRecord(), 3);
  l.link.SetBufferCount(1);
  EXPECT_EQ(l.ds.BufferCount(), 1);
  EXPECT_EQ(l.ds.FieldByName(u"ID")->AsInteger(), 6) << "the active row stays when the window shrinks";
}

TEST(DataSource, RefusesACircularLink) {
  TVectorDataSet master(nullptr);
  TVectorDataSet detail(nullptr);
  TDataSource ms(nullptr);
  TDataSource ds(nullptr);
  ms.SetDataSet(&master);
  detail.SetMasterSource(&ms);
  ds.SetDataSet(&detail);
  // The master would now follow its own detail.
  EXPECT_TRUE(master.IsLinkedTo(&ds));
  EXPECT_THROW(master.SetMasterSource(&ds), EDatabaseError);
  EXPECT_EQ(master.DataSource(), nullptr);
  EXPECT_TRUE(master.IsLinkedTo(&ms));
  EXPECT_FALSE(detail.IsLinkedTo(&ms)) << "a master does not follow its detail";
  detail.SetMasterSource(nullptr);
}

// ---- master/detail ------------------------------------------------------------------------------------------

TEST(MasterDetail, DetailFollowsTheMasterRow) {
  TVectorDataSet master(nullptr);
  OpenWithIds(master, {1, 2, 3});
  TVectorDataSet detail(nullptr);
  detail.FieldDefs().Add(u"ID", ftInteger);
  detail.FieldDefs().Add(u"MasterID", ftInteger);
  detail.Open();
  struct Row {
    int id, master;
  };
  for (const Row r : {Row{10, 1}, Row{11, 2}, Row{12, 1}, Row{13, 3}, Row{14, 2}}) {
    detail.Append();
    detail.FieldByName(u"ID")->SetAsInteger(r.id);
    detail.FieldByName(u"MasterID")->SetAsInteger(r.master);
    detail.Post();
  }
  TDataSource ms(nullptr);
  ms.SetDataSet(&master);
  detail.SetDetailFields(u"MasterID");
  detail.SetMasterFields(u"ID");
  detail.SetMasterSource(&ms);
  EXPECT_EQ(detail.DataSource(), &ms);

  struct Case {
    int masterRow;
    std::vector<int> details;
  };
  const Case cases[] = {{1, {10, 12}}, {2, {11, 14}}, {3, {13}}, {1, {10, 12}}};
  for (const Case& c : cases) {
    master.First();
    for (int i = 1; i < c.masterRow; ++i) master.Next();
    EXPECT_EQ(Ids(detail), c.details) << "master row " << c.masterRow;
    EXPECT_EQ(detail.RecordCount(), static_cast<int>(c.details.size()));
  }
  // Changing the master's key field moves the detail too.
  master.First();
  master.Edit();
  master.FieldByName(u"ID")->SetAsInteger(3);
  EXPECT_EQ(Ids(detail), (std::vector<int>{13}));
  master.Cancel();
  // A closed master releases the detail.
  master.Close();
  EXPECT_EQ(detail.RecordCount(), 5);
  detail.SetMasterSource(nullptr);
}

// ---- calculated and lookup fields --------------------------------------------------------------------------

TEST(CalculatedFields, AreComputedPerRowAndInTheirOwnArea) {
  TVectorDataSet ds(nullptr);
  auto* id = AddField<TIntegerField>(ds, u"ID");
  auto* twice = AddField<TIntegerField>(ds, u"Twice", fkCalculated);
  auto* label = AddField<TStringField>(ds, u"Label", fkCalculated, 8);
  int calcs = 0;
  ds.OnCalcFields = [&](TDataSet& d) {
    ++calcs;
    if (d.FieldByName(u"ID")->IsNull()) return;
    d.FieldByName(u"Twice")->SetAsInteger(d.FieldByName(u"ID")->AsInteger() * 2);
    d.FieldByName(u"Label")->SetAsString(u"row" + d.FieldByName(u"ID")->AsString());
  };
  ds.Open();
  // Layout: per calculated field a has-value byte and its native value, in field order.
  EXPECT_EQ(ds.CalcFieldsSize(), (1 + 4) + (1 + 9));
  EXPECT_EQ(twice->Offset(), 0);
  EXPECT_EQ(label->Offset(), 5);
  EXPECT_EQ(twice->FieldNo(), 0);
  EXPECT_EQ(id->FieldNo(), 1);
  for (int v : {3, 5}) {
    ds.Append();
    id->SetAsInteger(v);
    EXPECT_EQ(twice->AsInteger(), v * 2) << "recomputed when a data field changes while editing";
    ds.Post();
  }
  ds.First();
  EXPECT_EQ(twice->AsInteger(), 6);
  EXPECT_EQ(label->AsString(), u"row3");
  ds.Next();
  EXPECT_EQ(twice->AsInteger(), 10);
  EXPECT_EQ(label->AsString(), u"row5");
  EXPECT_GT(calcs, 0);
  EXPECT_THROW(twice->SetAsInteger(1), EDatabaseError) << "not writable outside calculation";
}

TEST(LookupFields, ShowTheLookedUpValue) {
  TVectorDataSet customers(nullptr);
  customers.FieldDefs().Add(u"ID", ftInteger);
  customers.FieldDefs().Add(u"Name", ftString, 10);
  customers.Open();
  for (const auto& [id, name] : {std::pair{1, u"Ann"}, std::pair{2, u"Bo"}}) {
    customers.Append();
    customers.FieldByName(u"ID")->SetAsInteger(id);
    customers.FieldByName(u"Name")->SetAsString(name);
    customers.Post();
  }

  TVectorDataSet orders(nullptr);
  auto* cust = AddField<TIntegerField>(orders, u"CustID");
  auto* name = AddField<TStringField>(orders, u"CustName", fkLookup, 10);
  name->SetLookupDataSet(&customers);
  name->SetKeyFields(u"CustID");
  name->SetLookupKeyFields(u"ID");
  name->SetLookupResultField(u"Name");
  orders.Open();
  for (int c : {2, 1, 7}) {
    orders.Append();
    cust->SetAsInteger(c);
    orders.Post();
  }
  orders.First();
  EXPECT_EQ(name->AsString(), u"Bo");
  orders.Next();
  EXPECT_EQ(name->AsString(), u"Ann");
  orders.Next();
  EXPECT_TRUE(name->IsNull()) << "no customer 7";
  EXPECT_EQ(customers.FieldByName(u"ID")->AsInteger(), 2) << "a lookup does not move the lookup dataset";
}

TEST(LookupFields, IncompleteInformationIsReported) {
  TVectorDataSet other(nullptr);
  OpenWithIds(other, {1});
  TVectorDataSet ds(nullptr);
  auto* key = AddField<TIntegerField>(ds, u"K");
  auto* look = AddField<TStringField>(ds, u"L", fkLookup);
  look->SetLookupDataSet(&other);
  ds.Open();
  try {
    ds.Append();
    key->SetAsInteger(1);
    ds.Post();
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Lookup information for field 'L' is incomplete");
  }
  ds.Cancel();
}

TEST(LookupFields, ALookupDataSetFreedFirstIsForgotten) {
  auto other = std::make_unique<TVectorDataSet>(nullptr);
  TVectorDataSet ds(nullptr);
  auto* look = AddField<TStringField>(ds, u"L", fkLookup);
  look->SetLookupDataSet(other.get());
  other.reset();
  EXPECT_EQ(look->LookupDataSet(), nullptr);
}

// ---- definitions ------------------------------------------------------------------------------------------------

TEST(FieldDefs, NamesMustBePresentAndUnique) {
  struct Case {
    const char16_t* name;
    const char* expect;
  };
  const Case cases[] = {
      {u"", "T: Field name missing"},
      {u"ID", "T: Duplicate field name 'ID'"},
      {u"id", "T: Duplicate field name 'id'"},
  };
  for (const Case& c : cases) {
    TVectorDataSet ds(nullptr);
    ds.SetName(u"T");
    ds.FieldDefs().Add(u"ID", ftInteger);
    try {
      ds.FieldDefs().Add(c.name, ftInteger);
      ADD_FAILURE() << c.expect;
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.expect);
    }
    EXPECT_EQ(ds.FieldDefs().Count(), 1);
  }
}

TEST(FieldDefs, DescribeTheBenchmarkSchema) {
  TVectorDataSet ds(nullptr);
  auto& defs = ds.FieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  defs.Add(u"Comment", ftWideMemo);
  ds.Open();
  struct Case {
    const char16_t* name;
    const char16_t* cls;
    int fieldNo;
    int dataSize;
  };
  const Case cases[] = {
      {u"CustomerID", u"TIntegerField", 1, 4},  {u"ContactName", u"TStringField", 2, 11},
      {u"Birthdate", u"TDateTimeField", 3, 8},  {u"MaritalStatus", u"TBooleanField", 4, 2},
      {u"Salary", u"TFloatField", 5, 8},        {u"Address", u"TWideStringField", 6, 42},
      {u"Comment", u"TWideMemoField", 7, 0},
  };
  ASSERT_EQ(ds.FieldCount(), 7);
  for (const Case& c : cases) {
    TField* f = ds.FieldByName(c.name);
    EXPECT_EQ(f->ClassName(), String(c.cls));
    EXPECT_EQ(f->FieldNo(), c.fieldNo);
    EXPECT_EQ(f->DataSize(), c.dataSize);
    EXPECT_FALSE(f->Required());
  }
}

TEST(FieldDefs, ChildDefinitionsAndHiddenFields) {
  TVectorDataSet ds(nullptr);
  TFieldDef* adr = ds.FieldDefs().Add(u"Adr", ftADT);
  adr->ChildDefs().Add(u"Street", ftString, 20);
  adr->ChildDefs().Add(u"City", ftString, 20);
  EXPECT_TRUE(adr->HasChildDefs());
  EXPECT_EQ(adr->ChildDefs()[1]->ParentDef(), adr);
  TFieldDef* hidden = ds.FieldDefs().Add(u"Secret", ftInteger);
  hidden->SetAttributes(faHiddenCol);
  TFieldDefs copy(nullptr);
  copy.Assign(&ds.FieldDefs());
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy[0]->ChildDefs().Count(), 2);
  EXPECT_TRUE(copy[1]->Hidden());
}

TEST(IndexDefs, FindByLeadingFields) {
  TVectorDataSet ds(nullptr);
  ds.IndexDefs().Add(u"ByName", u"Name;ID", ixCaseInsensitive);
  ds.IndexDefs().Add(u"ByID", u"ID", ixPrimary | ixUnique);
  EXPECT_EQ(ds.IndexDefs().GetIndexForFields(u"id", false)->Name(), u"ByID");
  EXPECT_EQ(ds.IndexDefs().GetIndexForFields(u"Name", true)->Name(), u"ByName");
  EXPECT_EQ(ds.IndexDefs().GetIndexForFields(u"Nam", true), nullptr);
  EXPECT_THROW(ds.IndexDefs().FindIndexForFields(u"Other"), EDatabaseError);
  EXPECT_THROW(ds.IndexDefs().Find(u"Nope"), EDatabaseError);
}

TEST(Params, ByNameAndByValue) {
  TParams params;
  params.CreateParam(ftInteger, u"ID", ptInput)->SetAsInteger(5);
  params.CreateParam(ftString, u"Name", ptInput)->SetAsString(u"x");
  EXPECT_EQ(params.ParamByName(u"id")->AsInteger(), 5);
  EXPECT_EQ(VarArrayLength(params.ParamValues(u"ID;Name")), 2);
  try {
    params.ParamByName(u"Nope");
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'Nope' not found");
  }
}

}  // namespace

namespace {

TEST(DataLinks, ADataSetFreedFirstLeavesItsSourceAndLinksInactive) {
  TDataSource src(nullptr);
  dbtest::CountingLink link;
  {
    TVectorDataSet ds(nullptr);
    OpenWithIds(ds, {1, 2});
    src.SetDataSet(&ds);
    link.SetDataSource(&src);
    EXPECT_TRUE(link.Active());
  }
  EXPECT_EQ(src.DataSet(), nullptr);
  EXPECT_EQ(src.State(), dsInactive);
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(link.DataSet(), nullptr);
  link.SetDataSource(nullptr);
}

TEST(DataLinks, ASourceFreedFirstDetachesItsLinks) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1});
  dbtest::CountingLink link;
  {
    TDataSource src(nullptr);
    src.SetDataSet(&ds);
    link.SetDataSource(&src);
    link.SetBufferCount(3);
    EXPECT_EQ(ds.BufferCount(), 3);
  }
  EXPECT_EQ(link.DataSource(), nullptr);
  EXPECT_FALSE(link.Active());
  ds.Next();  // the dataset no longer knows the source
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 1);
}

}  // namespace

namespace {

// An engine that sums the IDs of its rows for every aggregate field.
class SummingDataSet : public TVectorDataSet {
 public:
  using TVectorDataSet::TVectorDataSet;
  Variant ReadAggregateValue(TField*) override {
    int sum = 0;
    for (const int id : dbtest::Ids(*this)) sum += id;
    return Variant(sum);
  }
};

TEST(AggregateFields, LiveApartFromTheRowFieldsAndAskTheEngine) {
  SummingDataSet ds(nullptr);
  auto* total = new TAggregateField(&ds);
  total->SetFieldName(u"Total");
  total->SetExpression(u"SUM(ID)");
  total->SetDataSet(&ds);
  OpenWithIds(ds, {1, 2, 4});
  EXPECT_EQ(ds.AggFields().Count(), 1);
  EXPECT_EQ(ds.Fields().IndexOf(total), -1);
  EXPECT_EQ(ds.FindField(u"Total"), total);
  EXPECT_TRUE(total->IsNull()) << "inactive aggregates have no value";
  total->SetActive(true);
  EXPECT_EQ(total->AsInteger(), 7);
}

}  // namespace

namespace {

TEST(FieldDefs, NestedDefinitionsMakeFlatOrObjectFields) {
  auto build = [](TVectorDataSet& ds) {
    TFieldDef* adr = ds.FieldDefs().Add(u"Adr", ftADT);
    adr->ChildDefs().Add(u"Street", ftString, 20);
    adr->ChildDefs().Add(u"City", ftString, 20);
    ds.FieldDefs().Add(u"Secret", ftInteger)->SetAttributes(faHiddenCol);
    ds.FieldDefs().Add(u"ID", ftInteger);
  };
  {
    TVectorDataSet ds(nullptr);
    build(ds);
    ds.BuildFieldDefList();
    ASSERT_EQ(ds.FieldDefList().Count(), 5);
    EXPECT_EQ(ds.FieldDefList().Items(1).Name, u"Adr.Street");
    EXPECT_NE(ds.FieldDefList().Find(u"adr.city"), nullptr);
  }
  {
    TVectorDataSet flat(nullptr);
    build(flat);
    flat.Open();
    std::vector<String> names;
    flat.GetFieldNames(names);
    EXPECT_EQ(names, (std::vector<String>{u"Adr.Street", u"Adr.City", u"ID"}));
  }
  {
    TVectorDataSet objects(nullptr);
    build(objects);
    objects.SetObjectView(true);
    objects.FieldDefs().SetHiddenFields(true);
    objects.Open();
    std::vector<String> names;
    objects.GetFieldNames(names);
    EXPECT_EQ(names, (std::vector<String>{u"Adr", u"Street", u"City", u"Secret", u"ID"}));
    auto* adr = dynamic_cast<TObjectField*>(objects.FieldByName(u"Adr"));
    ASSERT_NE(adr, nullptr);
    EXPECT_EQ(adr->FieldCount(), 2);
    EXPECT_EQ(adr->ChildFields()[1]->FullName(), u"Adr.City");
    objects.Close();
    EXPECT_EQ(objects.FieldCount(), 0);
  }
}

}  // namespace
