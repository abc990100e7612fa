// Copying tables and datasets, the rows a save writes, the persistent-field block and the "Data"
// property of the component stream.
#include <gtest/gtest.h>

#include "VtTestSupport.h"
#include "platform/db/Fields.h"
#include "platform/rtl/Exceptions.h"

using namespace vttest;

namespace {

std::unique_ptr<TVirtTable> NumbersTable() {
  auto t = std::make_unique<TVirtTable>(nullptr);
  t->FieldDefs().Add(u"ID", ftInteger, 0, false);
  t->FieldDefs().Add(u"Big", ftLargeint, 0, false);
  t->FieldDefs().Add(u"Name", ftString, 10, false);
  t->Open();
  for (int i = 1; i <= 5; ++i) {
    t->Append();
    t->FieldByName(u"ID")->SetAsInteger(i);
    t->FieldByName(u"Big")->SetAsLargeInt(9007199254740993LL + i);  // beyond a double's exact range
    if (i != 3) t->FieldByName(u"Name")->SetAsString(u"n" + String(1, static_cast<char16_t>(u'0' + i)));
    t->Post();
  }
  return t;
}

class VtAssign : public CodePage936 {};

TEST_F(VtAssign, SavesVisibleRowsUnlessAllAreAsked) {
  auto t = NumbersTable();
  t->SetFilterText(u"ID > 2");
  t->SetFiltered(true);
  TMemoryStream visible, all;
  t->SaveToStream(&visible, true, false);
  t->SaveToStream(&all, true, true);
  EXPECT_TRUE(t->Filtered());
  auto u = std::make_unique<TVirtTable>(nullptr);
  u->LoadFromStream(&visible);
  u->Open();
  EXPECT_EQ(u->RecordCount(), 3);
  u->LoadFromStream(&all);
  EXPECT_EQ(u->RecordCount(), 5);
}

TEST_F(VtAssign, AssignFromATableAndFromAnyDataSet) {
  auto source = NumbersTable();
  auto a = std::make_unique<TVirtTable>(nullptr);
  a->Assign(source.get());
  a->Open();
  EXPECT_EQ(a->RecordCount(), 5);
  auto b = std::make_unique<TVirtTable>(nullptr);
  source->SetRecNo(4);
  b->AssignFromDataSet(source.get());
  EXPECT_EQ(source->RecNo(), 4);  // the source keeps its row
  b->Open();
  ASSERT_EQ(b->RecordCount(), 5);
  int i = 0;
  for (b->First(); !b->Eof(); b->Next()) {
    ++i;
    EXPECT_EQ(b->FieldByName(u"Big")->AsLargeInt(), 9007199254740993LL + i);
    EXPECT_EQ(b->FieldByName(u"Name")->IsNull(), i == 3);
  }
  EXPECT_EQ(b->FieldDefs().Count(), 3);
}

TEST_F(VtAssign, PersistentFieldsTravelWithTheStreamExceptLookups) {
  auto t = std::make_unique<TVirtTable>(nullptr);
  auto* id = new TIntegerField(nullptr);
  id->SetFieldName(u"ID");
  id->SetDataSet(t.get());
  auto* name = new TStringField(nullptr);
  name->SetFieldName(u"Name");
  name->SetSize(12);
  name->SetDataSet(t.get());
  auto* look = new TStringField(nullptr);
  look->SetFieldName(u"Look");
  look->SetFieldKind(fkLookup);
  auto names = NumbersTable();
  look->SetLookupDataSet(names.get());
  look->SetKeyFields(u"ID");
  look->SetLookupKeyFields(u"ID");
  look->SetLookupResultField(u"Name");
  look->SetDataSet(t.get());
  t->FieldDefs().Add(u"ID", ftInteger, 0, false);
  t->FieldDefs().Add(u"Name", ftString, 12, false);
  t->Open();
  t->Append();
  t->FieldByName(u"ID")->SetAsInteger(7);
  t->FieldByName(u"Name")->SetAsString(u"seven");
  t->Post();
  TMemoryStream s;
  t->SaveToStream(&s, true, false);
  auto u = std::make_unique<TVirtTable>(nullptr);
  u->LoadFromStream(&s, true);
  EXPECT_FALSE(u->DefaultFields());
  ASSERT_EQ(u->FieldCount(), 2);
  EXPECT_EQ(u->Fields()[1]->FieldName(), u"Name");
  EXPECT_EQ(u->Fields()[1]->Size(), 12);
  u->Open();
  EXPECT_EQ(u->FieldByName(u"Name")->AsString(), u"seven");
  EXPECT_EQ(t->FieldByName(u"Look")->AsString(), u"");  // no row 7 in the lookup table
  (void)id;  // the table frees its fields
}

TEST_F(VtAssign, DataPropertyRoundTripsThroughTheComponentStream) {
  auto t = NumbersTable();
  t->SetName(u"Table1");
  TMemoryStream s;
  s.WriteComponent(t.get());
  s.SetPosition(0);
  auto u = std::make_unique<TVirtTable>(nullptr);
  u->FieldDefs().Add(u"ID", ftInteger, 0, false);
  u->FieldDefs().Add(u"Big", ftLargeint, 0, false);
  u->FieldDefs().Add(u"Name", ftString, 10, false);
  s.ReadComponent(u.get());
  u->Open();
  ASSERT_EQ(u->RecordCount(), 5);
  u->Last();
  EXPECT_EQ(u->FieldByName(u"Big")->AsLargeInt(), 9007199254740998LL);
  // Without voStored nothing is written.
  t->SetOptions(t->Options() & ~(1u << voStored));
  TMemoryStream none;
  none.WriteComponent(t.get());
  EXPECT_LT(none.Size(), s.Size());
}

}  // namespace
