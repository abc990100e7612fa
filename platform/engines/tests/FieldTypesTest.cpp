#include <gtest/gtest.h>

#include <functional>

#include "platform/engines/Engines.h"
#include "platform/sys/CodePage.h"

namespace {

// Every column type the engine keeps: a value is written, read back, saved, loaded and read again.
struct Column {
  const char16_t* Name;
  TFieldType Type;
  int Size;
  std::function<void(TField&)> Write;
  const char16_t* Text;  // the field's AsString afterwards
};

const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = {
      {u"fShortint", ftShortint, 0, [](TField& f) { f.SetAsInteger(-100); }, u"-100"},
      {u"fByte", ftByte, 0, [](TField& f) { f.SetAsInteger(200); }, u"200"},
      {u"fSmallint", ftSmallint, 0, [](TField& f) { f.SetAsInteger(-30000); }, u"-30000"},
      {u"fWord", ftWord, 0, [](TField& f) { f.SetAsInteger(60000); }, u"60000"},
      {u"fInteger", ftInteger, 0, [](TField& f) { f.SetAsInteger(-2000000000); }, u"-2000000000"},
      {u"fLongWord", ftLongWord, 0, [](TField& f) { f.SetAsLongWord(4000000000u); }, u"4000000000"},
      {u"fLargeint", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(-9000000000000000000LL); }, u"-9000000000000000000"},
      {u"fBoolean", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, u"True"},
      {u"fFloat", ftFloat, 0, [](TField& f) { f.SetAsFloat(1.5); }, u"1.5"},
      {u"fSingle", ftSingle, 0, [](TField& f) { f.SetAsFloat(2.25); }, u"2.25"},
      {u"fString", ftString, 8, [](TField& f) { f.SetAsString(u"abc"); }, u"abc"},
      {u"fFixedChar", ftFixedChar, 4, [](TField& f) { f.SetAsString(u"xy"); }, nullptr},
      {u"fWideString", ftWideString, 6, [](TField& f) { f.SetAsString(u"宽字符"); }, u"宽字符"},
      {u"fMemo", ftMemo, 0, [](TField& f) { f.SetAsString(u"memo text"); }, u"memo text"},
      {u"fWideMemo", ftWideMemo, 0, [](TField& f) { f.SetAsString(u"宽备注"); }, u"宽备注"},
      {u"fBlob", ftBlob, 0, [](TField& f) { f.SetAsBytes({0, 1, 2, 255}); }, nullptr},
      {u"fBytes", ftBytes, 3, [](TField& f) { f.SetAsBytes({7, 8, 9}); }, nullptr},
      {u"fVarBytes", ftVarBytes, 5, [](TField& f) { f.SetAsBytes({1, 2}); }, nullptr},
      {u"fDate", ftDate, 0, [](TField& f) { f.SetAsDateTime(45000); }, nullptr},
      {u"fTime", ftTime, 0, [](TField& f) { f.SetAsDateTime(0.5); }, nullptr},
      {u"fDateTime", ftDateTime, 0, [](TField& f) { f.SetAsDateTime(45000.25); }, nullptr},
      {u"fCurrency", ftCurrency, 0, [](TField& f) { f.SetAsFloat(12.5); }, nullptr},
  };
  return columns;
}

struct Snapshot {
  std::vector<String> Texts;
  std::vector<TBytes> Bytes;
  std::vector<bool> Nulls;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot Take(TDataSet& ds) {
  Snapshot s;
  for (const Column& c : Columns()) {
    TField* f = ds.FieldByName(c.Name);
    s.Nulls.push_back(f->IsNull());
    s.Texts.push_back(f->AsString());
    s.Bytes.push_back(c.Type == ftBlob || c.Type == ftBytes || c.Type == ftVarBytes ? f->AsBytes() : TBytes());
  }
  return s;
}

TEST(FieldTypesTest, EveryColumnTypeKeepsItsValueThroughSaveAndLoad) {
  sys::SetSystemCodePage(936);
  TFDMemTable t(nullptr);
  for (const Column& c : Columns()) t.FieldDefs().Add(c.Name, c.Type, c.Size, false);
  t.CreateDataSet();

  t.Append();
  for (const Column& c : Columns()) c.Write(*t.FieldByName(c.Name));
  t.Post();
  t.Append();  // a row of nulls
  t.Post();

  t.First();
  const Snapshot values = Take(t);
  for (std::size_t i = 0; i < Columns().size(); ++i) {
    const Column& c = Columns()[i];
    EXPECT_FALSE(values.Nulls[i]) << StringToUTF8(c.Name);
    if (c.Text) {
      EXPECT_EQ(values.Texts[i], c.Text) << StringToUTF8(c.Name);
    }
  }
  EXPECT_EQ(values.Bytes[15], (TBytes{0, 1, 2, 255}));
  EXPECT_EQ(values.Bytes[16], (TBytes{7, 8, 9}));
  EXPECT_EQ(values.Bytes[17], (TBytes{1, 2}));
  t.Next();
  const Snapshot nulls = Take(t);
  for (std::size_t i = 0; i < Columns().size(); ++i) EXPECT_TRUE(nulls.Nulls[i]) << StringToUTF8(Columns()[i].Name);

  TMemoryStream stream;
  t.SaveToStream(&stream);
  stream.SetPosition(0);
  TFDMemTable back(nullptr);
  back.LoadFromStream(&stream);
  ASSERT_EQ(back.FieldCount(), static_cast<int>(Columns().size()));
  for (std::size_t i = 0; i < Columns().size(); ++i) {
    EXPECT_EQ(back.FieldDefs()[static_cast<int>(i)]->DataType(), Columns()[i].Type);
    EXPECT_EQ(back.FieldDefs()[static_cast<int>(i)]->Size(), Columns()[i].Type == ftMemo || Columns()[i].Type == ftWideMemo || Columns()[i].Type == ftBlob ? 0 : Columns()[i].Size);
  }
  back.First();
  EXPECT_EQ(Take(back), values);
  back.Next();
  EXPECT_EQ(Take(back), nulls);
  back.Close();
  t.Close();
}

TEST(FieldTypesTest, ColumnsTheEngineCannotHoldAreRefusedAtCreation) {
  const TFieldType refused[] = {ftVariant, ftADT, ftDataSet, ftInterface};
  for (TFieldType type : refused) {
    TClientDataSet t(nullptr);
    t.FieldDefs().Add(u"A", ftInteger, 0, false);
    t.FieldDefs().Add(u"X", type, 0, false);
    EXPECT_THROW(t.CreateDataSet(), EDatabaseError) << static_cast<int>(type);
    EXPECT_FALSE(t.Active());
  }
  TClientDataSet none(nullptr);
  EXPECT_THROW(none.CreateDataSet(), EDatabaseError);
}

}  // namespace

namespace {

TEST(PersistentFieldsTest, ALoadThatDoesNotFitThePersistentFieldsKeepsTheRows) {
  // A file whose column A holds text.
  TClientDataSet other(nullptr);
  other.FieldDefs().Add(u"A", ftString, 5, false);
  other.CreateDataSet();
  other.Append();
  other.FieldByName(u"A")->SetAsString(u"text");
  other.Post();
  TMemoryStream file;
  other.SaveToStream(&file);
  other.Close();

  TClientDataSet t(nullptr);
  auto* a = new TIntegerField(&t);  // persistent: owned by the dataset as its component owner
  a->SetFieldName(u"A");
  a->SetDataSet(&t);
  t.FieldDefs().Add(u"A", ftInteger, 0, false);
  t.CreateDataSet();
  t.Append();
  a->SetAsInteger(42);
  t.Post();

  file.SetPosition(0);
  EXPECT_THROW(t.LoadFromStream(&file), EDatabaseError);
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(a->AsInteger(), 42);
  t.Close();
}

}  // namespace
