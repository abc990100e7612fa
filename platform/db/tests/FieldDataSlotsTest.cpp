// The framework's share of field data: the state's buffer, the two virtual slots, and the one splitter
// of Locate and Lookup.
#include <gtest/gtest.h>

#include "platform/db/tests/TestSupport.h"

using dbtest::OpenWithIds;

namespace {

// An engine that left GetFieldData to the framework.
class TForgetfulDataSet : public TVectorDataSet {
  VELLUM_CLASS(TForgetfulDataSet)
 public:
  using TVectorDataSet::TVectorDataSet;
  using TDataSet::GetFieldData;
  bool GetFieldData(TField* Field, TValueBuffer Buffer) override { return TDataSet::GetFieldData(Field, Buffer); }
};

TEST(FieldDataSlots, AMissingGetFieldDataRaisesInsteadOfReadingNull) {
  TForgetfulDataSet ds(nullptr);
  OpenWithIds(ds, {1});
  try {
    (void)ds.FieldByName(u"ID")->AsInteger();
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"TForgetfulDataSet does not read field values");
  }
  EXPECT_THROW((void)ds.FieldByName(u"ID")->IsNull(), EDatabaseError);
}

// Every form of GetFieldData / WriteFieldData reaches the one virtual slot of its direction.
TEST(FieldDataSlots, EveryFormLandsOnTheSlot) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {7});
  TField* id = ds.FieldByName(u"ID");
  TDataSet& base = ds;
  std::int32_t v = 0;
  EXPECT_TRUE(base.GetFieldData(id, reinterpret_cast<Byte*>(&v)));
  EXPECT_EQ(v, 7);
  v = 0;
  EXPECT_TRUE(base.GetFieldData(id->FieldNo(), TValueBuffer(reinterpret_cast<Byte*>(&v), 4)));
  EXPECT_EQ(v, 7);
  ds.Edit();
  const std::int32_t nine = 9;
  base.WriteFieldData(id, reinterpret_cast<const Byte*>(&nine));
  EXPECT_EQ(id->AsInteger(), 9);
  base.WriteFieldData(id, static_cast<const Byte*>(nullptr));
  EXPECT_TRUE(id->IsNull());
  ds.Cancel();
  EXPECT_EQ(id->AsInteger(), 7);
}

TEST(FieldDataSlots, WritesOutsideAWritableStateRaise) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1});
  EXPECT_THROW(ds.FieldByName(u"ID")->SetAsInteger(2), EDatabaseError);  // browsing
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 1);
}

TEST(FieldDataSlots, BrowsingAnEmptyWindowReadsNull) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {});
  EXPECT_TRUE(ds.FieldByName(u"ID")->IsNull());
}

// ---- the splitter: one policy for every engine --------------------------------------------------------

TEST(LocateSplitter, KeysAndValuesPairUpOrFailClearly) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2, 3});
  ds.Edit();
  ds.FieldByName(u"Name")->SetAsString(u"three");
  ds.Post();
  struct Case {
    const char* name;
    const char16_t* keys;
    Variant values;
    int found;  // ID of the row found, 0 for none
  };
  const Case cases[] = {
      {"one key, one value", u"ID", Variant(2), 2},
      {"one key, an array takes its first element", u"ID", VarArrayOf({Variant(2), Variant(99)}), 2},
      {"two keys, an array", u"ID;Name", VarArrayOf({Variant(3), Variant(u"three")}), 3},
      {"spaces around names", u" ID ; Name ", VarArrayOf({Variant(3), Variant(u"three")}), 3},
      {"two keys, one plain value matches nothing", u"ID;Name", Variant(3), 0},
      {"no such row", u"ID", Variant(9), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ds.First();
    EXPECT_EQ(ds.Locate(c.keys, c.values, 0), c.found != 0);
    if (c.found != 0) {
      EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), c.found);
    }
  }
}

TEST(LocateSplitter, BadKeyListsRaise) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1});
  EXPECT_THROW(ds.Locate(u"Nope", Variant(1), 0), EDatabaseError);
  try {
    ds.Locate(u"", Variant(1), 0);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Field '' not found");
  }
  try {
    ds.Locate(u"ID;Name", VarArrayOf({Variant(1)}), 0);
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"2 key values are needed for 'ID;Name'");
  }
}

TEST(LocateSplitter, LookupResultNames) {
  TVectorDataSet ds(nullptr);
  OpenWithIds(ds, {1, 2});
  ds.Edit();
  ds.FieldByName(u"Name")->SetAsString(u"two");
  ds.Post();
  ds.First();
  EXPECT_EQ(VarToStr(ds.Lookup(u"ID", Variant(2), u"Name")), u"two");
  EXPECT_EQ(VarToStr(ds.Lookup(u"ID", Variant(2), u"Name;")), u"two");
  const Variant both = ds.Lookup(u"ID", Variant(2), u"ID;Name");
  ASSERT_TRUE(VarIsArray(both));
  EXPECT_EQ(VarArrayGet(both, 0).AsInteger(), 2);
  EXPECT_EQ(VarToStr(VarArrayGet(both, 1)), u"two");
  EXPECT_TRUE(VarIsNull(ds.Lookup(u"ID", Variant(2), u"Nope")));  // a name no field bears reads Null
  EXPECT_TRUE(VarIsNull(ds.Lookup(u"ID", Variant(9), u"Name")));
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 1);  // Lookup does not move
}

}  // namespace
