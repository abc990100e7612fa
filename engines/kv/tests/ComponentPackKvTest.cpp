#include "KvTestSupport.h"
#include "engines/kv/ComponentPackKv.h"
#include "engines/kv/DataStructKv.h"

namespace {

class KvPackTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    t = std::make_unique<TMemTableKv>(nullptr);
    t->FieldDefs().Add(u"Id", ftInteger);
    t->CreateDataSet();
    for (int i = 1; i <= 5; ++i) {
      t->Append();
      t->Fields()[0]->SetAsInteger(i);
      t->Post();
    }
  }
  std::vector<int> Selected(TBookmarkListKv& List) {
    std::vector<int> ids;
    for (int i = 0; i < List.Count(); ++i) {
      t->GotoBookmark(List.Items(i));
      ids.push_back(t->Fields()[0]->AsInteger());
    }
    return ids;
  }
  std::unique_ptr<TMemTableKv> t;
};

}  // namespace

TEST_F(KvPackTest, BookmarkListKeepsTheDatasetsOrder) {
  TBookmarkListKv list(t.get());
  for (int id : {4, 2, 5, 2}) {
    ASSERT_TRUE(t->Locate(u"Id", Variant(id), 0));
    list.SetCurrentRowSelected(true);
  }
  EXPECT_EQ(Selected(list), (std::vector<int>{2, 4, 5}));
  ASSERT_TRUE(t->Locate(u"Id", Variant(4), 0));
  EXPECT_TRUE(list.CurrentRowSelected());
  list.SetCurrentRowSelected(false);
  EXPECT_FALSE(list.CurrentRowSelected());
  ASSERT_TRUE(t->Locate(u"Id", Variant(5), 0));
  t->Delete();
  EXPECT_TRUE(list.Validate());
  EXPECT_EQ(Selected(list), (std::vector<int>{2}));
  EXPECT_FALSE(list.Validate());
}

TEST_F(KvPackTest, StringVarsAndTheFeaturesRegistry) {
  TStringVarsKv vars;
  int changes = 0;
  vars.OnChange = [&] { ++changes; };
  vars.SetValue(u"A", u"1");
  vars.SetValue(u"b", u"2");
  vars.SetValue(u"a", u"3");  // names ignore case: A changes
  EXPECT_EQ(vars.Count(), 2);
  EXPECT_EQ(vars.Value(u"A"), u"3");
  EXPECT_EQ(vars.Value(u"none"), u"");
  vars.Delete(vars.IndexOf(u"B"));
  EXPECT_EQ(vars.Count(), 1);
  EXPECT_EQ(changes, 4);

  // Empty by default; the registered class nearest to the dataset's wins; registering again replaces.
  EXPECT_EQ(DataSetFeaturesKv(t.get()), nullptr);
  std::vector<std::string> used;
  RegisterDataSetFeaturesKv<TDataSet>([&](TMTDataStructKv*, TField*) -> TMTDataFieldKv* {
    used.push_back("dataset");
    return nullptr;
  });
  RegisterDataSetFeaturesKv<TCustomMemTableKv>([&](TMTDataStructKv*, TField*) -> TMTDataFieldKv* {
    used.push_back("kv");
    return nullptr;
  });
  RegisterDataSetFeaturesKv<TDataSet>([&](TMTDataStructKv*, TField*) -> TMTDataFieldKv* {
    used.push_back("dataset again");
    return nullptr;
  });
  (*DataSetFeaturesKv(t.get()))(nullptr, nullptr);
  UnregisterDataSetFeaturesKv<TCustomMemTableKv>();
  (*DataSetFeaturesKv(t.get()))(nullptr, nullptr);
  UnregisterDataSetFeaturesKv<TDataSet>();
  EXPECT_EQ(DataSetFeaturesKv(t.get()), nullptr);
  EXPECT_EQ(used, (std::vector<std::string>{"kv", "dataset again"}));
}
