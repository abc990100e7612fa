#include <gtest/gtest.h>

#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "platform/rtl/SysUtils.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"
#include "platform/rtl/DateTime.h"

namespace {

using MdbTypeTableTest = MdbRuntimeTest;

TEST_F(MdbTypeTableTest, LookupsTakeTheFirstMatchingRow) {
  EXPECT_EQ(BaseToAdvancedFieldType(bftSignedInt32), aftInteger);
  EXPECT_EQ(BaseToAdvancedFieldType(bftDateTime), aftDateTime);
  EXPECT_EQ(BaseToAdvancedFieldType(bftBFile), aftUnknown);
  EXPECT_EQ(AdvancedFieldTypeName(aftSmallint), "SIGNEDINT16");
  EXPECT_EQ(AdvancedFieldTypeName(aftUnknown), "Unknown");
  EXPECT_EQ(BaseFieldTypeName(bftSignedInt32), "INTEGER");
  EXPECT_EQ(BaseFieldTypeName(bftBFile), "Unknown");
  EXPECT_EQ(FieldTypeToAdvancedFieldType(ftAutoInc), aftAutoInc);
  EXPECT_EQ(FieldTypeToAdvancedFieldType(ftFloat), aftDouble);
  EXPECT_EQ(FieldTypeToAdvancedFieldType(ftWideString), aftWideChar);
  EXPECT_EQ(FieldTypeToAdvancedFieldType(ftGuid), aftChar);
  for (TFieldType T : {ftParadoxOle, ftTypedBinary, ftDBaseOle}) EXPECT_EQ(FieldTypeToAdvancedFieldType(T), aftBlob);
  EXPECT_EQ(AdvancedFieldTypeToFieldType(aftWideChar), ftWideString);
  EXPECT_EQ(AdvancedFieldTypeToFieldType(aftBlob), ftBlob);
  EXPECT_EQ(AdvancedFieldTypeToFieldType(aftAutoIncLargeint), ftLargeint);
  EXPECT_EQ(AdvancedFieldTypeToFieldType(aftUnknown), ftUnknown);
  EXPECT_EQ(AdvancedToBaseFieldType(aftAutoIncLargeint), bftSignedInt64);
  EXPECT_EQ(AdvancedToBaseFieldType(aftUnknown), bftUnknown);
}

TEST_F(MdbTypeTableTest, PlatformTypesWithoutARowRaise30289) {
  for (TFieldType T : {ftBCD, ftFMTBcd, ftVariant, ftSingle, ftExtended}) {
    try {
      FieldTypeToAdvancedFieldType(T);
      FAIL() << "no error for " << int(T);
    } catch (const EMdbException& E) {
      EXPECT_EQ(E.NativeError, 30289);
      EXPECT_NE(E.Message().find(u"Unknown DataType: '" + IntToStr(int(T)) + u"'"), String::npos);
    }
  }
}

TEST_F(MdbTypeTableTest, SqlNamesHashUpperCased) {
  EXPECT_EQ(SQLTypeNameToBaseFieldType("varchar2"), bftVarchar);
  EXPECT_EQ(SQLTypeNameToBaseFieldType("BLOB"), bftBlob);
  EXPECT_EQ(SQLTypeNameToBaseFieldType("Money"), bftCurrency);
  EXPECT_EQ(SQLTypeNameToBaseFieldType("NUMBERISH"), bftUnknown);
  EXPECT_EQ(SQLTypeNameToBaseFieldType(""), bftUnknown);
  for (int i = 0; i < kSQLFieldTypeCount; ++i) EXPECT_EQ(SQLTypeNameCRCs[i], NameCRC32Ansi(SQLFieldTypes[i].SqlName, true));
}

TEST_F(MdbTypeTableTest, TypesToTypeNameTakesTheFirstRowOrNothing) {
  EXPECT_EQ(TypesToTypeName(aftBlob), "BLOB");
  EXPECT_EQ(TypesToTypeName(aftString), "STRING");
  EXPECT_EQ(TypesToTypeName(aftChar), "CHAR");
  EXPECT_EQ(TypesToTypeName(aftUnknown), "");
}

TEST_F(MdbTypeTableTest, Predicates) {
  EXPECT_TRUE(IsNumericBaseType(bftCurrency));
  EXPECT_FALSE(IsNumericBaseType(bftLogical));
  EXPECT_TRUE(IsStringBaseType(bftWideClob));
  EXPECT_FALSE(IsStringBaseType(bftBlob));
  EXPECT_TRUE(IsAutoIncAdvancedType(aftAutoIncCardinal));
  EXPECT_FALSE(IsAutoIncAdvancedType(aftSingle));
  EXPECT_TRUE(IsScalarAdvancedType(aftTimeStamp));
  EXPECT_FALSE(IsScalarAdvancedType(aftBytes));
  EXPECT_TRUE(IsWideStringAdvancedType(aftWideMemo));
}

TEST_F(MdbTypeTableTest, DateConversions) {
  EXPECT_EQ(DateTimeToMdbDate(0), 693594);
  EXPECT_EQ(DateTimeToMdbDate(EncodeDate(1, 1, 1)), 1);
  EXPECT_EQ(DateTimeToMdbTime(0.5), 43200000);
  // Before 1899-12-30 the fraction is negative and so is the time.
  EXPECT_EQ(DateTimeToMdbTime(-1.25), -21600000);
  EXPECT_EQ(DateTimeToMdbDate(-1.25), 693593);
  EXPECT_DOUBLE_EQ(MdbDateTimeToDateTime({693595, -1}), 1.0);
  EXPECT_DOUBLE_EQ(MdbDateTimeToDateTime({693595, 43200000}), 1.5);
  EXPECT_DOUBLE_EQ(MdbDateToDateTime(kMdbNoDate), 0.0);
  EXPECT_DOUBLE_EQ(MdbTimeToDateTime(kMdbNoTime), 0.0);
  const TMdbDateTime Back = DateTimeToMdbDateTime(EncodeDateTime(2021, 3, 1, 0, 30, 0, 0));
  EXPECT_EQ(Back.Time, 30 * 60 * 1000);
  EXPECT_THROW(DateTimeToMdbDate(3e12), ERangeError);
}

TEST_F(MdbTypeTableTest, StrDataByteLength) {
  const char16_t AB[] = u"AB";
  EXPECT_EQ(StrDataByteLength(AB, aftWideString), 4);
  EXPECT_EQ(StrDataByteLength(AB, aftString), 1);
  EXPECT_EQ(StrDataByteLength(nullptr, aftString), 0);
  const char NoEnd[3] = {'x', 'y', 'z'};
  EXPECT_EQ(StrDataByteLength(NoEnd, aftString, 3), 3);
}

TEST_F(MdbTypeTableTest, BaseTypeDataSizes) {
  EXPECT_EQ(GetBaseTypeDataSize(bftWideVarchar, 20), 42);
  EXPECT_EQ(GetBaseTypeDataSize(bftVarBytes, 100), 100);
  EXPECT_EQ(GetBaseTypeDataSize(bftLogical, 0), 2);
  EXPECT_EQ(GetBaseTypeDataSize(bftExtended, 0), 10);
  EXPECT_EQ(NativeCodeOf([] { GetBaseTypeDataSize(bftUnknown, 0); }), 30050);
  EXPECT_EQ(NativeCodeOf([] { GetBaseTypeDataSize(bftBFile, 0); }), 30050);
  EXPECT_THROW(GetBaseTypeDataSize(bftChar, INT32_MAX), EIntOverflow);
  EXPECT_THROW(GetBaseTypeDataSize(bftWideChar, INT32_MAX / 2), EIntOverflow);
}

TEST_F(MdbTypeTableTest, CopyValueToNewMemory) {
  void* Buffer = reinterpret_cast<void*>(1);
  std::int32_t Size = -7;
  CopyValueToNewMemory(bftVarchar, "", Buffer, Size);
  EXPECT_EQ(Buffer, nullptr);
  EXPECT_EQ(Size, 0);

  CopyValueToNewMemory(bftVarchar, "abc", Buffer, Size);
  ASSERT_NE(Buffer, nullptr);
  EXPECT_EQ(Size, 4);
  EXPECT_EQ(std::memcmp(Buffer, "abc\0", 4), 0);
  MdbMemoryManager->FreeAndNilMem(Buffer);

  CopyValueToNewMemory(bftWideChar, u"ab", Buffer, Size);
  EXPECT_EQ(Size, 6);
  EXPECT_EQ(std::memcmp(Buffer, u"ab\0", 6), 0);
  MdbMemoryManager->FreeAndNilMem(Buffer);

  const Byte Ext[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  CopyValueToNewMemory(bftExtended, Ext, Buffer, Size);
  EXPECT_EQ(Size, 10);
  EXPECT_EQ(std::memcmp(Buffer, Ext, 10), 0);
  MdbMemoryManager->FreeAndNilMem(Buffer);

  // A type of size 0 is refused by the memory manager; the failure is not reported.
  Size = 5;
  CopyValueToNewMemory(bftBytes, Ext, Buffer, Size);
  EXPECT_EQ(Buffer, nullptr);
  EXPECT_EQ(Size, 0);
}

}  // namespace
