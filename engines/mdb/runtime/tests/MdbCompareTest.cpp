#include <gtest/gtest.h>

#include <memory>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"

namespace {

using MdbCompareTest = MdbRuntimeTest;

TEST_F(MdbCompareTest, NullsFoldedOrReported) {
  TMdbVariant Null(bftSignedInt32), Five;
  Five.SetAsInteger(5);
  EXPECT_EQ(Null.Compare(&Five, false, false, false), cmprLower);
  EXPECT_EQ(Five.Compare(&Null, false, false, false), cmprGreater);
  EXPECT_EQ(Null.Compare(&Null, false, false, false), cmprEqual);
  EXPECT_EQ(Null.Compare(&Five, true, false, false), cmprLeftNull);
  EXPECT_EQ(Five.Compare(&Null, true, false, false), cmprRightNull);
  EXPECT_EQ(Null.Compare(&Null, true, false, false), cmprBothNull);
}

TEST_F(MdbCompareTest, MixedTypes) {
  auto Int = [](std::int32_t V) { auto* P = new TMdbVariant; P->SetAsInteger(V); return std::unique_ptr<TMdbVariant>(P); };
  auto Dbl = [](double V) { auto* P = new TMdbVariant; P->SetAsDouble(V); return std::unique_ptr<TMdbVariant>(P); };
  auto Txt = [](const char* V) { auto* P = new TMdbVariant; P->SetAsString(V); return std::unique_ptr<TMdbVariant>(P); };
  auto Wide = [](const char16_t* V) { auto* P = new TMdbVariant; P->SetAsWideString(V); return std::unique_ptr<TMdbVariant>(P); };
  EXPECT_EQ(Int(3)->Compare(Dbl(3.0).get(), false, false, false), cmprEqual);
  EXPECT_EQ(Dbl(2.5)->Compare(Int(3).get(), false, false, false), cmprLower);
  TMdbVariant Big, One;
  Big.SetAsCardinal(4000000000u);
  One.SetAsCardinal(1);
  EXPECT_EQ(Big.Compare(&One, false, false, false), cmprGreater);
  EXPECT_EQ(Txt("abc")->Compare(Wide(u"ABC").get(), false, true, false), cmprEqual);
  EXPECT_NE(Txt("abc")->Compare(Wide(u"ABC").get(), false, false, false), cmprEqual);
  EXPECT_EQ(Txt("abcdef")->Compare(Txt("abc").get(), false, false, true), cmprEqual);
  EXPECT_EQ(Txt("abcdef")->Compare(Txt("abc").get(), false, false, false), cmprGreater);
  EXPECT_NE(Txt("ab")->Compare(Txt("abc").get(), false, false, true), cmprEqual);
  EXPECT_EQ(Txt("10")->Compare(Int(9).get(), false, false, false), cmprLower);
  EXPECT_EQ(Txt("a")->Compare(Txt("b").get(), false, false, false), cmprLower);
  EXPECT_EQ(Txt("1")->Compare(Txt("a").get(), false, false, false), cmprLower);
  EXPECT_EQ(Txt("b")->Compare(Txt("A").get(), false, true, false), cmprGreater);
}

TEST_F(MdbCompareTest, DatesTimesAndLogicals) {
  TMdbVariant D, DT, T;
  D.SetAsMdbDate(738000);
  DT.SetAsMdbDateTime({738000, 5000});
  T.SetAsMdbTime(5000);
  EXPECT_EQ(D.Compare(&DT, false, false, false), cmprEqual);
  EXPECT_EQ(DT.Compare(&D, false, false, false), cmprEqual);
  EXPECT_EQ(T.Compare(&DT, false, false, false), cmprEqual);
  TMdbVariant A, B;
  A.SetAsMdbDateTime({10, 5});
  B.SetAsMdbDateTime({10, 6});
  EXPECT_EQ(A.Compare(&B, false, false, false), cmprLower);
  TMdbVariant F, Tr;
  F.SetAsBoolean(false);
  Tr.SetAsBoolean(true);
  EXPECT_EQ(F.Compare(&Tr, false, false, false), cmprLower);
  EXPECT_EQ(Tr.Compare(&Tr, false, false, false), cmprEqual);
}

TEST_F(MdbCompareTest, Errors) {
  TMdbVariant B1, B2, L, D;
  B1.SetData("x", 1, bftBlob, true, false);
  B2.SetData("x", 1, bftBlob, true, false);
  EXPECT_EQ(NativeCodeOf([&] { B1.Compare(&B2, false, false, false); }), 30047);
  L.SetAsBoolean(true);
  D.SetAsMdbDate(1);
  EXPECT_EQ(NativeCodeOf([&] { L.Compare(&D, false, false, false); }), 30044);
  TMdbVariant Bytes1, Bytes2;
  Bytes1.SetData("a", 1, bftBytes, true, false);
  Bytes2.SetData("a", 1, bftBytes, true, false);
  // Equal types of no ordering reach the type check of the comparison itself.
  EXPECT_EQ(NativeCodeOf([&] { Bytes1.Compare(&Bytes2, false, false, false); }), 30047);
}

TEST_F(MdbCompareTest, ClobAgainstText) {
  TMdbVariant Clob, Txt;
  Clob.SetData("xyz", 3, bftClob, true, false);
  Txt.SetAsString("xyz");
  EXPECT_EQ(Clob.Compare(&Txt, false, false, false), cmprEqual);
  EXPECT_EQ(Txt.Compare(&Clob, false, false, false), cmprEqual);
  TMdbVariant Less;
  Less.SetAsString("xya");
  EXPECT_EQ(Clob.Compare(&Less, false, false, false), cmprGreater);
  EXPECT_EQ(Less.Compare(&Clob, false, false, false), cmprLower);
  TMdbVariant NullClob(bftClob);
  EXPECT_EQ(Txt.Compare(&NullClob, false, false, false), cmprGreater);
}

TEST_F(MdbCompareTest, Hashes) {
  TMdbVariant Null(bftDouble);
  EXPECT_EQ(Null.GetBinaryHash(), 0x73B58EAFu);
  TMdbVariant Empty;
  const char Zero[1] = {0};
  Empty.SetData(Zero, 1, bftVarchar, true, false);
  EXPECT_EQ(Empty.GetBinaryHash(), 0xDE3C6A08u);
  TMdbVariant A, B, C;
  A.SetData("abc\0zz", 6, bftVarchar, true, false);
  B.SetData("abc\0qq", 6, bftVarchar, true, false);
  C.SetData("abc", 4, bftChar, true, false);
  EXPECT_EQ(A.GetBinaryHash(), B.GetBinaryHash());
  EXPECT_EQ(A.GetBinaryHash(), C.GetBinaryHash());
  TMdbVariant I32, I64;
  I32.SetAsInteger(7);
  I64.SetAsInt64(7);
  EXPECT_NE(I32.GetBinaryHash(), I64.GetBinaryHash());
  // Short values add their bytes to the CRC.
  EXPECT_EQ(I32.GetBinaryHash(), CalcCRC32(0xDE3C6A08u, I32.PData(), 4) + 7u);
}

}  // namespace
