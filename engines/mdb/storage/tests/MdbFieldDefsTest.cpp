#include "engines/mdb/storage/MdbFieldDefs.h"

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

using MdbFieldDefsTest = MdbStorageTest;

namespace {
TMdbFieldDef* AddField(TMdbFieldDefs& Defs, const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
  TMdbFieldDef* F = Defs.AddCreated();
  F->SetName(Name);
  F->SetFieldDefDataType(Type, Size);
  return F;
}
// The benchmark table: integer, string(10), date-time, Boolean, currency, wide string(20), memo.
void BenchmarkRow(TMdbFieldDefs& Defs) {
  AddField(Defs, u"ID", aftInteger);
  AddField(Defs, u"Name", aftString, 10);
  AddField(Defs, u"Birth", aftDateTime);
  AddField(Defs, u"Active", aftBoolean);
  AddField(Defs, u"Salary", aftCurrency);
  AddField(Defs, u"Address", aftWideString, 20);
  AddField(Defs, u"Comment", aftMemo);
  Defs.RecalcFieldOffsets();
}
}  // namespace

TEST_F(MdbFieldDefsTest, BenchmarkRowLayout) {
  TMdbFieldDefs Defs;
  BenchmarkRow(Defs);
  std::vector<std::int32_t> Offsets;
  for (int i = 0; i < Defs.Count(); ++i) Offsets.push_back(Defs.GetDef(i)->FMemoryOffset);
  EXPECT_EQ(Offsets, (std::vector<std::int32_t>{1, 5, 16, 24, 26, 34, 76}));
  EXPECT_EQ(Defs.RecordSize(), 84);
  EXPECT_TRUE(Defs.VarcharOrBLOBFieldsExists);
  EXPECT_EQ(Defs.GetDef(6)->FDiskDataSize, 6);

  TMdbFieldDefs Nine;
  for (int i = 0; i < 9; ++i) AddField(Nine, String(1, char16_t(u'A' + i)).c_str(), aftSmallint);
  Nine.RecalcFieldOffsets();
  EXPECT_EQ(Nine.GetDef(0)->FMemoryOffset, 2);
}

TEST_F(MdbFieldDefsTest, NewFieldDefinitionBytesAndAutoincWithoutDefault) {
  TMdbFieldDef F;
  TMdbMemoryStream S;
  F.SaveToStream(&S);
  EXPECT_EQ(StreamBytes(S), HexBytesOf("00000000 FFFFFFFF 00 00 00000000 00 FF"));

  TMdbFieldDef A;
  A.SetName(u"N");
  A.SetFieldDefDataType(aftAutoInc, 0);
  A.FDefaultValue->SetAsInteger(5);  // never written for an autoincrement column
  TMdbMemoryStream S2;
  A.SaveToStream(&S2);
  EXPECT_EQ(S2.Size(), 4 + 2 + 4 + 1 + 1 + 4 + 4 + 8 * 4 + 1);
  S2.SetPosition(0);
  TMdbFieldDef L;
  L.LoadFromStream(&S2);
  EXPECT_TRUE(L.FDefaultValue->IsNull());
  EXPECT_EQ(L.FAdvancedFieldType, aftAutoInc);
  EXPECT_EQ(L.FAutoincMaxValue, INT64_MAX);
}

TEST_F(MdbFieldDefsTest, SequencesCycleOrOverflow) {
  for (bool Cycled : {true, false}) {
    TMdbSequenceDef S;
    S.SetName(u"SEQ");
    S.FMaxValue = 3;
    S.FMinValue = 0;
    S.FCycled = Cycled;
    EXPECT_EQ(S.GetNextVal(), 1);
    EXPECT_EQ(S.GetNextVal(), 2);
    EXPECT_EQ(S.GetNextVal(), 3);
    if (Cycled) {
      EXPECT_EQ(S.GetNextVal(), 0);
    } else {
      EXPECT_EQ(NativeCodeOf([&] { S.GetNextVal(); }), 30009);
    }
  }
  TMdbSequenceDef S;
  S.SetName(u"Q");
  S.FLastValue = 41;
  TMdbMemoryStream M;
  S.SaveToStream(&M);
  M.SetPosition(0);
  TMdbSequenceDef L;
  L.LoadFromStream(&M);
  EXPECT_EQ(L.GetNextVal(), 42);
  EXPECT_EQ(L.Name(), u"Q");
}

TEST_F(MdbFieldDefsTest, NamesMatchByUpperCaseCrcAndAssignRefusesDuplicates) {
  TMdbFieldDefs Defs;
  AddField(Defs, u"ABC", aftInteger);
  AddField(Defs, u"Other", aftInteger)->SetObjectID(17);
  EXPECT_EQ(Defs.GetDefNumberByName(u"abc"), 0);
  EXPECT_EQ(Defs.GetDefNumberByName(u"abd"), -1);
  EXPECT_EQ(Defs.GetDefNumberByObjectId(17), 1);
  EXPECT_EQ(Defs.GetDefByObjectId(18), nullptr);
  AddField(Defs, u"abc", aftSmallint);
  TMdbFieldDefs Copy;
  EXPECT_EQ(NativeCodeOf([&] { Copy.Assign(Defs); }), 10424);
  EXPECT_EQ(Copy.Count(), 2);
  EXPECT_EQ(Copy.GetDef(1)->ObjectID(), 17);
}

TEST_F(MdbFieldDefsTest, FieldWriteAndReadTable) {
  TMdbFieldDefs Defs;
  AddField(Defs, u"C", aftString, 5);
  AddField(Defs, u"W", aftWideString, 5);
  AddField(Defs, u"I", aftInteger);
  AddField(Defs, u"B", aftBlob);
  Defs.RecalcFieldOffsets();
  std::vector<Byte> Rec(static_cast<std::size_t>(Defs.RecordSize()), 0xAB);
  Rec[0] = 0;

  WriteRecordField(0, Defs, "0123456789", Rec.data());
  char Out[16];
  std::memset(Out, 'x', sizeof Out);
  EXPECT_TRUE(ReadRecordField(0, Defs, Out, Rec.data()));
  EXPECT_STREQ(Out, "01234");
  WriteRecordField(0, Defs, "ab", Rec.data());
  EXPECT_EQ(std::memcmp(Rec.data() + 1, "ab\0\0\0\0", 6), 0);  // the rest of the slot is cleared
  WriteRecordField(1, Defs, u"abcdefgh", Rec.data());
  char16_t WOut[8] = {};
  EXPECT_TRUE(ReadRecordField(1, Defs, WOut, Rec.data()));
  EXPECT_EQ(String(WOut), u"abcde");
  // An empty string is NULL; a NULL read copies nothing; a nil destination tests for NULL.
  WriteRecordField(0, Defs, "", Rec.data());
  std::memset(Out, 'x', sizeof Out);
  EXPECT_FALSE(ReadRecordField(0, Defs, Out, Rec.data()));
  EXPECT_EQ(Out[0], 'x');
  const std::int32_t V = 77;
  WriteRecordField(2, Defs, &V, Rec.data());
  EXPECT_TRUE(ReadRecordField(2, Defs, nullptr, Rec.data()));
  std::int32_t Got = 0;
  EXPECT_TRUE(ReadRecordField(2, Defs, &Got, Rec.data()));
  EXPECT_EQ(Got, 77);
  WriteRecordField(2, Defs, nullptr, Rec.data());
  EXPECT_FALSE(ReadRecordField(2, Defs, nullptr, Rec.data()));
  for (int Bad : {-1, 4, 1000}) {
    EXPECT_EQ(NativeCodeOf([&] { ReadRecordField(Bad, Defs, &Got, Rec.data()); }), 10000) << Bad;
    EXPECT_EQ(NativeCodeOf([&] { WriteRecordField(Bad, Defs, &V, Rec.data()); }), 10004) << Bad;
  }
}

TEST_F(MdbFieldDefsTest, DefaultsFillTheirColumnsOnly) {
  TMdbFieldDefs Defs;
  AddField(Defs, u"I", aftInteger)->FDefaultValue->SetAsInteger(0x01020304);
  AddField(Defs, u"S", aftString, 3)->FDefaultValue->SetAsString("toolong");
  AddField(Defs, u"After", aftSmallint);
  Defs.RecalcFieldOffsets();
  EXPECT_TRUE(Defs.DefaultValuesExists);
  std::vector<Byte> Rec(static_cast<std::size_t>(Defs.RecordSize()), 0);
  Rec[0] = 0xFF;
  Defs.ApplyDefaultValuesToRecordBuffer(Rec.data());
  std::int32_t I = 0;
  EXPECT_TRUE(ReadRecordField(0, Defs, &I, Rec.data()));
  EXPECT_EQ(I, 0x01020304);
  EXPECT_EQ(Rec[Defs.GetDef(2)->FMemoryOffset], 0);  // nothing spilled into the next column
  EXPECT_EQ(Rec[Defs.GetDef(2)->FMemoryOffset + 1], 0);
  EXPECT_TRUE(IsRecordFieldNull(Rec.data(), 2));
}

TEST_F(MdbFieldDefsTest, ListRoundTripAndDamagedListsRaise) {
  TMdbFieldDefs Defs;
  BenchmarkRow(Defs);
  Defs.GetDef(0)->SetObjectID(3);
  Defs.GetDef(1)->FDefaultValue->SetAsString("abc");
  Defs.GetDef(6)->FBLOBCompressionAlgorithm = acaZLIB;
  Defs.GetDef(6)->FBLOBBlockSize = 4096;
  TMdbMemoryStream S;
  Defs.SaveToStream(&S);
  const auto Good = StreamBytes(S);
  S.SetPosition(0);
  TMdbFieldDefs L;
  L.LoadFromStream(&S);
  L.RecalcFieldOffsets();
  ASSERT_EQ(L.Count(), 7);
  for (int i = 0; i < 7; ++i) {
    const auto &A = *Defs.GetDef(i), &B = *L.GetDef(i);
    EXPECT_EQ(A.Name(), B.Name());
    EXPECT_EQ(A.NameCRC(), B.NameCRC());
    EXPECT_EQ(A.ObjectID(), B.ObjectID());
    EXPECT_EQ(A.FBaseFieldType, B.FBaseFieldType);
    EXPECT_EQ(A.FAdvancedFieldType, B.FAdvancedFieldType);
    EXPECT_EQ(A.FFieldSize, B.FFieldSize);
    EXPECT_EQ(A.FMemoryOffset, B.FMemoryOffset);
    EXPECT_EQ(A.FDiskDataSize, B.FDiskDataSize);
    EXPECT_EQ(A.FBLOBCompressionAlgorithm, B.FBLOBCompressionAlgorithm);
    EXPECT_EQ(A.FBLOBBlockSize, B.FBLOBBlockSize);
    EXPECT_EQ(A.FDefaultValue->IsNull(), B.FDefaultValue->IsNull());
  }
  EXPECT_EQ(L.GetDef(1)->FDefaultValue->DataSize(), Defs.GetDef(1)->FDefaultValue->DataSize());

  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    TByteViewStream V(Good, static_cast<Int64>(Cut));
    ASSERT_NE(NativeCodeOf([&] { L.LoadFromStream(&V); }), -1) << Cut;
    ASSERT_EQ(L.Count(), 7);
  }
  std::mt19937 Rng(116);
  for (int i = 0; i < 500; ++i) {
    auto Bad = Good;
    Bad[Rng() % Bad.size()] ^= static_cast<Byte>(1 + Rng() % 255);
    TByteViewStream V(Bad, static_cast<Int64>(Bad.size()));
    TMdbFieldDefs F;
    try {
      F.LoadFromStream(&V);
      F.RecalcFieldOffsets();
    } catch (const EMdbException&) {
      ASSERT_EQ(F.Count(), 0);
    } catch (const Exception&) {
    }
  }
}
