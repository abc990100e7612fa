// Values in record slots through dynamic values, small blobs kept packed, item memory given back, and
// the dataset service with its number ranges.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "VtTestSupport.h"
#include "engines/virttable/VtData.h"
#include "platform/rtl/Exceptions.h"

using namespace vt;
using namespace vttest;

namespace {

class OneTable : public TMemData {
 public:
  std::function<void(TMemData&)> Build;

 protected:
  void InternalOpen() override { InitFields(); }
  void InternalInitFields() override {
    if (Build) Build(*this);
  }
};

TFieldDesc* Desc(TData& Data, const char16_t* Name, Word Type, int Size, int Length = 0, int Scale = 0) {
  auto d = Data.CreateFieldDesc();
  d->Name = Name;
  d->SetDataType(Type);
  d->Size = Size;
  d->Length = static_cast<Word>(Length);
  d->Scale = static_cast<Word>(Scale);
  d->FieldNo = static_cast<Word>(Data.Fields().Count() + 1);
  return Data.Fields().Add(std::move(d));
}

class Values : public CodePage936 {
 protected:
  void SetUp() override {
    CodePage936::SetUp();
    data.Build = [](TMemData& d) {
      Desc(d, u"W", dtWideString, 12, 5);
      Desc(d, u"F", dtFloat, 8, 0, 2);
      Desc(d, u"F0", dtFloat, 8);
      Desc(d, u"I64", dtInt64, 8);
      Desc(d, u"U64", dtUInt64, 8);
      Desc(d, u"DT", dtDateTime, 8);
      Desc(d, u"BL", dtBlob, 4);
      Desc(d, u"ME", dtMemo, 4);
      Desc(d, u"FS", dtString, 6, 5)->Fixed = true;
      Desc(d, u"XS", dtExtString, 4, 3);
    };
    data.Open();
    rec.assign(static_cast<std::size_t>(data.RecordSize()), 0);
    data.InitRecord(rec.data());
    data.CreateComplexFields(rec.data(), true);
  }
  void TearDown() override {
    data.FreeComplexFields(rec.data(), true);
    CodePage936::TearDown();
  }
  const TFieldDesc& F(const char16_t* Name) { return *data.FieldByName(Name); }
  OneTable data;
  std::vector<Byte> rec;
};

TEST_F(Values, DynamicValuesGoInAndComeOutAsTheFieldHoldsThem) {
  // Null and Empty both make a field null.
  data.PutFieldAsVariant(F(u"F0"), rec.data(), Variant(1.0));
  data.PutFieldAsVariant(F(u"F0"), rec.data(), Variant());
  EXPECT_TRUE(data.GetNull(F(u"F0"), rec.data()));
  data.PutFieldAsVariant(F(u"F0"), rec.data(), Variant(1.0));
  data.PutFieldAsVariant(F(u"F0"), rec.data(), Null());
  EXPECT_TRUE(data.GetNull(F(u"F0"), rec.data()));

  data.SetEmptyStrToNull = true;
  const Byte none[2] = {0, 0};
  data.PutField(F(u"W"), rec.data(), none, 2);
  EXPECT_TRUE(data.GetNull(F(u"W"), rec.data()));
  data.SetEmptyStrToNull = false;

  // Scale rounds a value from outside, never one from the database, and Scale 0 never rounds.
  data.PutFieldAsVariant(F(u"F"), rec.data(), Variant(3.14159));
  EXPECT_EQ(data.GetFieldAsVariant(F(u"F"), rec.data()).AsDouble(), 3.14);
  data.PutFieldAsVariant(F(u"F"), rec.data(), Variant(3.14159), true);
  EXPECT_EQ(data.GetFieldAsVariant(F(u"F"), rec.data()).AsDouble(), 3.14159);
  data.PutFieldAsVariant(F(u"F0"), rec.data(), Variant(3.14159));
  EXPECT_EQ(data.GetFieldAsVariant(F(u"F0"), rec.data()).AsDouble(), 3.14159);

  EXPECT_THROW(data.PutFieldAsVariant(F(u"I64"), rec.data(), Variant(String(u"4294967296"))), Exception)
      << "text is parsed as a 32-bit integer";
  EXPECT_THROW(data.PutFieldAsVariant(F(u"U64"), rec.data(), Variant(5)), EConvertError);

  Byte half[8];
  std::memcpy(half, "\0\0\0\0\0\0\xe0\x3f", 8);  // 0.5
  std::memcpy(rec.data() + F(u"DT").Offset, half, 8);
  data.SetNull(F(u"DT"), rec.data(), false);
  EXPECT_EQ(data.GetFieldAsVariant(F(u"DT"), rec.data()).AsDateTime(), EncodeDateTime(1899, 12, 30, 12, 0, 0, 0));

  EXPECT_TRUE(data.GetFieldAsVariant(F(u"BL"), rec.data()).IsNull());
  data.GetObject(F(u"ME"), rec.data())->Write(0, 0, "");
  EXPECT_EQ(data.GetFieldAsVariant(F(u"ME"), rec.data()).AsString(), String());

  // A fixed text gives its trailing blanks only when asked to keep them.
  std::memcpy(rec.data() + F(u"FS").Offset, "ab   ", 6);
  data.SetNull(F(u"FS"), rec.data(), false);
  char out[8] = {};
  bool blank = true;
  data.TrimFixedChar = true;
  data.GetField(F(u"FS"), rec.data(), reinterpret_cast<Byte*>(out), blank);
  EXPECT_STREQ(out, "ab");
  data.TrimFixedChar = false;
  data.GetField(F(u"FS"), rec.data(), reinterpret_cast<Byte*>(out), blank);
  EXPECT_STREQ(out, "ab   ");

  // An out-of-record text longer than its field is read up to the field's Length.
  const std::uint32_t h = data.StringHeap().AllocStr("abcdef");
  std::memcpy(rec.data() + F(u"XS").Offset, &h, 4);
  data.SetNull(F(u"XS"), rec.data(), false);
  EXPECT_EQ(data.GetFieldAsVariant(F(u"XS"), rec.data()).AsString(), String(u"abc"));
  std::memset(out, 0, sizeof out);
  data.GetField(F(u"XS"), rec.data(), reinterpret_cast<Byte*>(out), blank);
  EXPECT_STREQ(out, "abc");
}

TEST_F(Values, SmallBlobsArePackedAndComeBackAsTheyWere) {
  TSharedObjectTable& objects = data.Objects();
  const TFieldDesc& memo = F(u"ME");
  auto handle = [&](const Byte* r) {
    std::uint32_t h;
    std::memcpy(&h, r + memo.Offset, 4);
    return h;
  };
  // A new record's blob is a packed null: no object until one is asked for.
  EXPECT_TRUE(objects.IsPacked(handle(rec.data())));
  EXPECT_TRUE(data.GetNull(memo, rec.data()));

  // Written and appended, small content is packed again; big (compressed) content keeps its object.
  data.GetObject(memo, rec.data())->Write(0, 5, "small");
  data.SetNull(memo, rec.data(), false);
  data.AppendRecord(rec.data());
  const std::uint32_t small = handle(data.CurrentItem()->Record());
  EXPECT_TRUE(objects.IsPacked(small));
  EXPECT_EQ(objects.BlobSize(small), 5);

  std::vector<Byte> rec2(rec.size());
  data.InitRecord(rec2.data());
  data.CreateComplexFields(rec2.data(), true);
  const std::string thousand(1000, 'x');
  data.GetObject(memo, rec2.data())->Write(0, 1000, thousand.data());
  data.AppendRecord(rec2.data());
  const std::uint32_t big = handle(data.CurrentItem()->Record());
  EXPECT_FALSE(objects.IsPacked(big));
  EXPECT_TRUE(static_cast<TCompressedBlob*>(objects.Get(big))->Compressed());

  // Asked for, the packed blob is an object again: its content, rollback on, nothing to roll back.
  data.SetToBegin();
  data.GetNextRecord(rec2.data());
  TBlob* blob = data.GetObject(memo, rec2.data());
  ASSERT_NE(blob, nullptr);
  EXPECT_FALSE(objects.IsPacked(small));
  EXPECT_EQ(blob->AsAnsiString(), "small");
  EXPECT_TRUE(blob->RollbackEnabled());
  EXPECT_FALSE(blob->CanRollback());
  // An edit of it rolls back to what was packed.
  data.EditRecord(rec2.data());
  blob->Write(0, 5, "EDITS");
  data.CancelRecord(rec2.data());
  EXPECT_EQ(data.GetObject(memo, rec2.data())->AsAnsiString(), "small");
  // Posted, it is packed once more; deleting the rows leaves no object behind.
  data.PostRecord(rec2.data());
  EXPECT_TRUE(objects.IsPacked(small));
  data.DeleteRecord();
  data.DeleteRecord();
  EXPECT_EQ(objects.LiveCount(), 0u);
  // The records handed over held the only references; the test's copies are dropped unreleased.
  std::memset(rec.data() + memo.Offset, 0, 4);
  std::memset(rec.data() + F(u"BL").Offset, 0, 4);
}

// Wide rows, so that a few thousand fill slabs of their own: emptying the table keeps those for the
// next fill, and a load's staging set takes them too.
TEST(VtItems, EmptiedRowsLeaveTheirSlabsForTheNextFill) {
  TVirtTable t(nullptr);
  t.FieldDefs().Add(u"N", ftInteger);
  t.FieldDefs().Add(u"S", ftString, 1000);
  t.Open();
  const int rows = 6000;
  auto fill = [&] {
    for (int i = 0; i < rows; ++i) {
      t.Append();
      t.FieldByName(u"N")->SetAsInteger(i);
      t.FieldByName(u"S")->SetAsString(String(static_cast<std::size_t>(1 + i % 900), u'a' + i % 26));
      t.Post();
    }
  };
  auto check = [&] {
    ASSERT_EQ(t.RecordCount(), rows);
    t.First();
    for (int i = 0; i < rows; ++i, t.Next()) {
      ASSERT_EQ(t.FieldByName(u"N")->AsInteger(), i);
      ASSERT_EQ(t.FieldByName(u"S")->AsString(), String(static_cast<std::size_t>(1 + i % 900), u'a' + i % 26));
    }
  };
  fill();
  const TBlobPool& pool = *t.Data()->Objects().Pool;
  EXPECT_EQ(pool.SpareSlabBytes(), 0u);
  t.Clear();
  const std::size_t spare = pool.SpareSlabBytes();
  EXPECT_GT(spare, 0u);
  fill();
  EXPECT_EQ(pool.SpareSlabBytes(), 0u);
  check();
  TMemoryStream s;
  t.SaveToStream(&s);
  t.LoadFromStream(&s);
  EXPECT_EQ(pool.SpareSlabBytes(), spare) << "the replaced rows' slabs";
  check();
}

TEST(VtItems, DeletingEveryRowGivesEveryBlockBack) {
  OneTable data;
  data.Build = [](TMemData& d) { Desc(d, u"N", dtInt32, 4); };
  data.Open();
  std::vector<Byte> rec(static_cast<std::size_t>(data.RecordSize()));
  // Enough rows for several slabs; then delete from the middle outwards, refill, and empty.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3000; ++i) {
      data.InitRecord(rec.data());
      std::memcpy(rec.data(), &i, 4);
      data.SetNull(*data.Fields()[0], rec.data(), false);
      data.AppendRecord(rec.data());
    }
    EXPECT_EQ(data.BlockMan().BlockCount(), 120u);
    while (data.RecordCount() > 0) {
      data.SetRecordNo((data.RecordCount() + 1) / 2);
      data.DeleteRecord();
    }
    EXPECT_EQ(data.BlockMan().BlockCount(), 0u);
  }
}

class Service : public CodePage936 {};

TEST_F(Service, NumberRangesComeFromTheDescriptors) {
  TVirtTable t(nullptr);
  t.FieldDefs().Add(u"S", ftSmallint);
  t.FieldDefs()[0]->SetPrecision(4);
  t.FieldDefs().Add(u"F", ftFloat);
  t.FieldDefs()[1]->SetPrecision(5);
  t.FieldDefs().Add(u"I", ftInteger);
  t.FieldDefs().Add(u"L", ftLargeint);
  t.FieldDefs()[3]->SetPrecision(10);
  t.SetNumberRange(true);
  t.Open();
  t.Append();
  t.FieldByName(u"L")->SetAsLargeInt(9999999999);
  t.FieldByName(u"L")->SetAsLargeInt(-9999999999);
  EXPECT_THROW(t.FieldByName(u"L")->SetAsLargeInt(10000000000), EDatabaseError);
  EXPECT_THROW(t.FieldByName(u"L")->SetAsString(u"-10000000000"), EDatabaseError);
  t.FieldByName(u"S")->SetAsInteger(9999);
  t.FieldByName(u"S")->SetAsInteger(-9999);
  EXPECT_THROW(t.FieldByName(u"S")->SetAsInteger(10000), Exception);
  EXPECT_THROW(t.FieldByName(u"F")->SetAsFloat(100000), Exception);
  t.FieldByName(u"F")->SetAsFloat(99999);
  t.FieldByName(u"I")->SetAsInteger(2000000000) ;  // no Precision: no limit
  t.Post();

  TVirtTable plain(nullptr);
  plain.FieldDefs().Add(u"S", ftSmallint);
  plain.FieldDefs()[0]->SetPrecision(4);
  plain.Open();
  plain.Append();
  plain.FieldByName(u"S")->SetAsInteger(10000);  // ranges only when asked for
  plain.Post();
}

TEST_F(Service, ClassesUpdaterAndProperties) {
  TVirtTable t(nullptr);
  TDataSetService* service = t.DataSetService();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->DataSet(), &t);
  EXPECT_TRUE(service->FieldClassForType(ftInteger, dtInt8) == DefaultFieldClass(ftInteger));
  ASSERT_NE(service->Updater(), nullptr);
  EXPECT_TRUE(service->Updater()->ApplyAppend());
  EXPECT_FALSE(service->Updater()->UsesBatch());
  EXPECT_THROW(TDataSetUpdater(&t, nullptr), Exception);
  Variant v;
  EXPECT_THROW(service->GetProp(1, v), Exception);
  EXPECT_THROW(service->SetProp(1, v), Exception);

  // With persistent fields, a descriptor is updateable exactly when a field shows it.
  t.FieldDefs().Add(u"A", ftInteger);
  t.FieldDefs().Add(u"B", ftInteger);
  TField* a = t.FieldDefs()[0]->CreateField(&t);
  (void)a;
  t.Open();
  EXPECT_TRUE(t.Data()->FieldByName(u"A")->Updateable);
  EXPECT_FALSE(t.Data()->FieldByName(u"B")->Updateable);
}

}  // namespace
