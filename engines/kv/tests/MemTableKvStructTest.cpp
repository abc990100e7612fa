#include "KvTestSupport.h"

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
