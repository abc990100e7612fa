#include "KvTestSupport.h"

namespace {

class KvExtrasTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    t = std::make_unique<TMemTableKv>(nullptr);
    t->FieldDefs().Add(u"Id", ftInteger);
    t->FieldDefs().Add(u"Name", ftString, 20);
    t->FieldDefs().Add(u"Salary", ftFloat);
    t->CreateDataSet();
    const struct {
      int id;
      const char16_t* name;
      double salary;
    } rows[] = {{10, u"A", 100}, {2, u"b", 0}, {10, u"A", 300}, {7, u"B", 200}};
    for (const auto& r : rows) {
      t->Append();
      t->FieldByName(u"Id")->SetAsInteger(r.id);
      t->FieldByName(u"Name")->SetAsString(r.name);
      if (r.salary) t->FieldByName(u"Salary")->SetAsFloat(r.salary);
      t->Post();
    }
  }
  std::vector<int> Ids() {
    std::vector<int> ids;
    t->First();
    while (!t->Eof()) {
      ids.push_back(t->FieldByName(u"Id")->AsInteger());
      t->Next();
    }
    return ids;
  }
  static std::vector<String> V(std::initializer_list<const char16_t*> l) {
    std::vector<String> v;
    for (auto* s : l) v.emplace_back(s);
    return v;
  }
  std::unique_ptr<TMemTableKv> t;
};

}  // namespace

TEST_F(KvExtrasTest, ExtraFiltersLayerOverTheTablesFilter) {
  TMemTableFilterItemKv* big = t->AddExtraFilter(u"Id > 5", nullptr);
  EXPECT_EQ(Ids(), (std::vector<int>{10, 10, 7}));
  TMemTableFilterItemKv* ev = t->AddExtraFilter(u"", [](TDataSet& d, bool& accept) {
    accept = accept && d.FieldByName(u"Name")->AsString() == u"A";
  });
  EXPECT_EQ(Ids(), (std::vector<int>{10, 10}));
  t->SetFilterText(u"Salary > 200");
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 1);
  t->SetFiltered(false);
  EXPECT_TRUE(t->UpdateExtraFilter(big, u"Id < 5", nullptr));
  EXPECT_EQ(Ids(), (std::vector<int>{}));
  EXPECT_TRUE(t->RemoveExtraFilter(ev));
  EXPECT_EQ(Ids(), (std::vector<int>{2}));
  big->SetActive(false);
  EXPECT_EQ(t->RecordCount(), 4);
  TMemTableKv other(nullptr);
  EXPECT_FALSE(other.RemoveExtraFilter(big));
  EXPECT_FALSE(other.UpdateExtraFilter(big, u"", nullptr));
  EXPECT_THROW(t->AddExtraFilter(u"Id >", nullptr), Exception);
  EXPECT_EQ(t->ExtraFilters().Count(), 1);
}

TEST_F(KvExtrasTest, FieldValueLists) {
  auto names = t->GetFieldValueList(u"Name");
  ASSERT_TRUE(names);
  EXPECT_EQ(names->Values(), V({u"A", u"b", u"B"}));
  t->SetFilterOptions(foCaseInsensitive);
  names->SetDataObsolete();
  EXPECT_EQ(names->Values(), V({u"A", u"b"}));
  auto ids = t->GetFieldValueList(u"Id");
  EXPECT_EQ(ids->Values(), V({u"2", u"7", u"10"}));
  ids->SetFilter(u"Salary > 150");
  EXPECT_EQ(ids->Values(), V({u"7", u"10"}));
  // A change of the records rebuilds the list on its next read.
  t->Append();
  t->FieldByName(u"Id")->SetAsInteger(1);
  t->FieldByName(u"Salary")->SetAsFloat(999);
  t->Post();
  EXPECT_EQ(ids->Values(), V({u"1", u"7", u"10"}));
  EXPECT_EQ(t->GetFieldValueList(u"Nope"), nullptr);
}

TEST_F(KvExtrasTest, RangeAggregates) {
  std::array<Variant, 5> r;
  t->GetAggregatedValuesForRange({}, {}, u"Salary", r, afSumKv | afCountKv | afAvgKv | afMinKv | afMaxKv);
  EXPECT_EQ(VarToStr(r[0]), u"600");
  EXPECT_EQ(r[1].AsInteger(), 3);  // the Null salary takes no part
  EXPECT_EQ(VarToStr(r[2]), u"200");
  EXPECT_EQ(VarToStr(r[3]), u"100");
  EXPECT_EQ(VarToStr(r[4]), u"300");
  t->GetAggregatedValuesForRange({}, {}, u"", r, afCountKv);
  EXPECT_EQ(r[1].AsInteger(), 4);
  // From the second to the third row.
  t->First();
  t->Next();
  const TBookmark from = t->GetBookmark();
  t->Next();
  const TBookmark to = t->GetBookmark();
  t->GetAggregatedValuesForRange(from, to, u"Id", r, afSumKv | afMaxKv);
  EXPECT_EQ(VarToStr(r[0]), u"12");
  EXPECT_EQ(VarToStr(r[4]), u"10");
  EXPECT_TRUE(r[3].IsNull());
  t->GetAggregatedValuesForRange(to, from, u"Id", r, afSumKv);
  EXPECT_TRUE(r[0].IsNull());
  t->GetAggregatedValuesForRange({}, {}, u"Nope", r, afSumKv);
  EXPECT_TRUE(r[0].IsNull());
}
