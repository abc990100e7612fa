#include <gtest/gtest.h>

#include <cstring>

#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"
#include "platform/rtl/FormatSettings.h"

namespace {

using MdbConvertTest = MdbRuntimeTest;

TEST_F(MdbConvertTest, CommonTypes) {
  struct Case {
    TMdbBaseFieldType A, B, Expected;
  };
  const Case Cases[] = {
      {bftSignedInt8, bftUnsignedInt16, bftUnsignedInt16}, {bftUnsignedInt16, bftSignedInt8, bftSignedInt32},
      {bftSignedInt32, bftCurrency, bftCurrency},          {bftCurrency, bftSignedInt32, bftSignedInt32},
      {bftDate, bftTime, bftDateTime},                     {bftDateTime, bftDate, bftDate},
      {bftTime, bftDateTime, bftTime},                     {bftVarchar, bftClob, bftChar},
      {bftClob, bftVarchar, bftVarchar},                   {bftWideClob, bftVarchar, bftWideVarchar},
      {bftWideClob, bftChar, bftWideChar},                 {bftClob, bftWideClob, bftWideClob},
      {bftBlob, bftBlob, bftUnknown},                      {bftBytes, bftBytes, bftUnknown},
      {bftVarchar, bftWideChar, bftWideChar},              {bftVarchar, bftDate, bftDate},
      {bftSignedInt32, bftVarchar, bftVarchar},            {bftDate, bftLogical, bftUnknown},
      {bftLogical, bftCurrency, bftUnknown},               {bftLogical, bftSingle, bftSingle},
      {bftDouble, bftSingle, bftDouble},                   {bftUnsignedInt32, bftSignedInt8, bftSignedInt64},
      {bftClob, bftSignedInt32, bftUnknown},               {bftDate, bftDouble, bftDate},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(CommonBaseFieldType(C.A, C.B), C.Expected) << int(C.A) << " " << int(C.B);
  EXPECT_EQ(CommonAdvancedFieldType(aftAutoInc, aftSmallint), aftAutoInc);
  EXPECT_EQ(CommonAdvancedFieldType(aftShortint, aftWord), aftWord);
  EXPECT_EQ(CommonAdvancedFieldType(aftWord, aftShortint), aftInteger);
  EXPECT_EQ(CommonAdvancedFieldType(aftBlob, aftBlob), aftUnknown);
}

TEST_F(MdbConvertTest, CastTable) {
  struct Case {
    const char* Text;
    TMdbBaseFieldType To;
    int Code;  // -1: converts
  };
  const Case Cases[] = {
      {"12", bftSignedInt8, -1},     {"300", bftSignedInt8, 30051}, {"abc", bftSignedInt8, 30051},
      {"-1", bftUnsignedInt32, 30051}, {"2147483647", bftUnsignedInt32, -1}, {"1.5", bftDouble, -1},
      {"9223372036854775807", bftSignedInt64, -1}, {"x", bftBytes, 30052}, {"x", bftBFile, 30052},
  };
  for (const auto& C : Cases) {
    TMdbVariant V;
    V.SetAsString(C.Text);
    EXPECT_EQ(NativeCodeOf([&] { V.Cast(C.To); }), C.Code) << C.Text;
    EXPECT_EQ(V.DataType(), C.Code == -1 ? C.To : bftVarchar) << C.Text;
  }
  TMdbVariant V;
  V.SetAsString("9223372036854775807");
  V.Cast(bftSignedInt64);
  EXPECT_EQ(V.AsInt64(), INT64_MAX);
}

TEST_F(MdbConvertTest, NumbersAndFlags) {
  TMdbVariant V;
  V.SetAsString("true");
  V.Cast(bftLogical);
  EXPECT_TRUE(V.AsBoolean());
  V.Clear(bftUnknown);
  V.SetAsString("yes");
  V.Cast(bftLogical);
  EXPECT_FALSE(V.AsBoolean());

  struct Case {
    double X;
    std::int32_t Expected;
  };
  for (const Case& C : {Case{2.99, 2}, Case{-2.99, -2}}) {
    TMdbVariant D;
    D.SetAsDouble(C.X);
    D.Cast(bftSignedInt32);
    EXPECT_EQ(D.AsInteger(), C.Expected);
  }
  TMdbVariant I;
  I.SetAsInteger(300);
  I.Cast(bftUnsignedInt8);
  EXPECT_EQ(I.AsByte(), 44);
  TMdbVariant M;
  M.SetAsInteger(-1);
  M.Cast(bftUnsignedInt16);
  EXPECT_EQ(M.AsWord(), 65535);
  TMdbVariant W;
  W.SetAsWord(300);
  EXPECT_EQ(NativeCodeOf([&] { W.Cast(bftUnsignedInt8); }), 30051);
  EXPECT_EQ(W.AsWord(), 300);
  TMdbVariant U;
  U.SetAsCardinal(3000000000u);
  EXPECT_EQ(NativeCodeOf([&] { U.Cast(bftSignedInt32); }), 30051);
  U.Cast(bftVarchar);
  EXPECT_EQ(U.AsString(), "3000000000");
  TMdbVariant B;
  B.SetAsInteger(1);
  EXPECT_EQ(NativeCodeOf([&] { B.Cast(bftClob); }), 30052);
}

TEST_F(MdbConvertTest, DecimalSeparator) {
  TFormatSettings Saved = FormatSettings();
  FormatSettings().DecimalSeparator = u',';
  TMdbVariant V;
  V.SetAsString("1.5");
  V.Cast(bftDouble);
  EXPECT_EQ(V.AsDouble(), 1.5);
  V.Cast(bftVarchar);
  EXPECT_EQ(V.AsString(), "1,5");
  FormatSettings() = Saved;
}

TEST_F(MdbConvertTest, DatesAndTimes) {
  for (TMdbBaseFieldType T : {bftDouble, bftExtended}) {
    TMdbVariant V;
    V.SetAsMdbDateTime({738000, 43200000});
    V.Cast(T);
    EXPECT_DOUBLE_EQ(T == bftDouble ? V.AsDouble() : V.AsExtended(), 738000.5);
  }
  // A day number cast to a time is taken modulo a day's milliseconds, and a time cast to a date is the
  // milliseconds as a day number; both are kept as they always were.
  TMdbVariant D;
  D.SetAsMdbDate(86400005);
  D.Cast(bftTime);
  EXPECT_EQ(D.AsMdbTime(), 5);
  TMdbVariant T;
  T.SetAsMdbTime(1234);
  T.Cast(bftDate);
  EXPECT_EQ(T.AsMdbDate(), 1234);
  TMdbVariant N;
  N.SetAsMdbDate(kMdbNoDate);
  EXPECT_EQ(NativeCodeOf([&] { N.Cast(bftVarchar); }), 30052);
  TMdbVariant F;
  F.SetAsDouble(10.25);
  F.Cast(bftDateTime);
  EXPECT_EQ(F.AsMdbDateTime().Date, 10);
  EXPECT_EQ(F.AsMdbDateTime().Time, 21600000);
  TMdbVariant I;
  I.SetAsInt64(0x100000005LL);
  I.Cast(bftDate);
  EXPECT_EQ(I.AsMdbDate(), 5);
}

TEST_F(MdbConvertTest, TextAndBlobs) {
  TMdbVariant V;
  V.SetAsString("xyz");
  V.Cast(bftClob);
  EXPECT_EQ(V.DataType(), bftClob);
  EXPECT_TRUE(V.IsBlob());
  ASSERT_EQ(V.DataSize(), 4);
  EXPECT_EQ(std::memcmp(V.PData(), "xyz", 4), 0);
  TMdbVariant Bytes;
  const Byte Raw[2] = {1, 2};
  Bytes.SetData(Raw, 2, bftBytes, true, false);
  for (TMdbBaseFieldType T : {bftVarchar, bftSignedInt32, bftBlob})
    EXPECT_EQ(NativeCodeOf([&] { Bytes.Cast(T); }), 30052);
  // A char / varchar switch keeps the bytes.
  TMdbVariant C;
  C.SetAsString("ab");
  Byte* Before = C.PData();
  C.Cast(bftChar);
  EXPECT_EQ(C.PData(), Before);
  // A BLOB without a terminator is read no further than its size.
  TMdbVariant Blob;
  Blob.SetData("abc", 3, bftBlob, true, false);
  Blob.Cast(bftVarchar);
  EXPECT_EQ(Blob.AsString(), "abc");
}

}  // namespace
