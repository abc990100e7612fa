#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"
#include "platform/classes/Streams.h"
#include "platform/sys/CodePage.h"

namespace {

using MdbVariantTest = MdbRuntimeTest;

std::vector<Byte> Saved(const TMdbVariant& V) {
  TMemoryStream S;
  V.SaveToStream(&S);
  std::vector<Byte> Out(static_cast<std::size_t>(S.Size()));
  std::memcpy(Out.data(), S.Memory(), Out.size());
  return Out;
}

void LoadBytes(TMdbVariant& V, const std::vector<Byte>& Bytes) {
  TMemoryStream S;
  if (!Bytes.empty()) S.WriteBuffer(Bytes.data(), static_cast<Int64>(Bytes.size()));
  S.SetPosition(0);
  V.LoadFromStream(&S);
}

TEST_F(MdbVariantTest, TypedValueKeepsItsTypeThroughOtherAccessors) {
  TMdbVariant V(bftSignedInt32);
  V.SetAsString("42");
  EXPECT_EQ(V.DataType(), bftSignedInt32);
  EXPECT_EQ(V.AsInteger(), 42);
  EXPECT_EQ(V.DataSize(), 4);
  V.SetAsString("");
  EXPECT_EQ(V.DataType(), bftVarchar);
  EXPECT_TRUE(V.IsNull());

  TMdbVariant U;
  U.SetAsDouble(2.5);
  EXPECT_EQ(U.DataType(), bftDouble);
  EXPECT_EQ(U.AsString(), "2.5");
  EXPECT_EQ(U.AsInteger(), 2);

  TMdbVariant C(bftClob);
  C.SetAsString("abc");
  EXPECT_EQ(C.DataType(), bftVarchar);
  EXPECT_FALSE(C.IsBlob());
}

TEST_F(MdbVariantTest, NullReads) {
  TMdbVariant V(bftSignedInt32);
  EXPECT_EQ(NativeCodeOf([&] { V.AsInteger(); }), 30016);
  EXPECT_EQ(V.AsString(), "");
  EXPECT_EQ(V.AsWideString(), u"");
  TMdbVariant B(bftBytes);
  EXPECT_TRUE(VarIsEmpty(B.AsVariant()));
  TMdbVariant C(bftClob);
  EXPECT_TRUE(VarIsNull(C.AsVariant()));
  EXPECT_EQ(NativeCodeOf([&] { V.AsVariant(); }), 30016);
}

TEST_F(MdbVariantTest, StringReadStopsAtTheTerminator) {
  TMdbVariant V;
  const char Bytes[6] = {'a', 'b', 0, 'x', 'y', 0};
  V.SetData(Bytes, 6, bftVarchar, true, false);
  EXPECT_EQ(V.AsString(), "ab");
  EXPECT_EQ(V.StrLen(), 2);
  // A buffer handed over without a terminator is never read past its size.
  const char Loose[3] = {'x', 'y', 'z'};
  V.SetData(Loose, 3, bftVarchar, false, false);
  EXPECT_EQ(V.StrLen(), 3);
  EXPECT_EQ(V.AsString(), "xy");
  EXPECT_EQ(V.AsWideString(), u"xyz");
  EXPECT_TRUE(V.IsDataLinked());
}

TEST_F(MdbVariantTest, StreamFormGolden) {
  TMdbVariant V(bftSignedInt32);
  EXPECT_EQ(Saved(V), HexBytes("07FF"));
  V.SetAsInteger(0x01020304);
  EXPECT_EQ(Saved(V), HexBytes("070004000000 04030201"));
  TMdbVariant S;
  S.SetAsString("ab");
  EXPECT_EQ(Saved(S), HexBytes("030003000000616200"));
  // A present value whose size field is 0 loads as null.
  TMdbVariant L;
  LoadBytes(L, HexBytes("070000000000"));
  EXPECT_TRUE(L.IsNull());
  EXPECT_EQ(L.DataType(), bftSignedInt32);
  EXPECT_EQ(L.DataSize(), 0);
}

TEST_F(MdbVariantTest, MaxStrLenCutsAndOwns) {
  TMdbVariant Src;
  Src.SetAsString("abcdef");
  TMdbVariant V;
  V.SetMaxStrLen(3);
  V.Assign(&Src, false, false);
  EXPECT_EQ(V.AsString(), "abc");
  EXPECT_EQ(V.DataSize(), 4);
  EXPECT_FALSE(V.IsDataLinked());
  // A double-byte character is never cut in half.
  TMdbVariant Cn;
  Cn.SetAsString(sys::Utf16ToAnsi(u"a中文"));
  TMdbVariant W;
  W.SetMaxStrLen(2);
  W.Assign(&Cn, true, false);
  EXPECT_EQ(W.AsString(), "a");
  EXPECT_EQ(NativeCodeOf([&] { W.Assign(nullptr, true, false); }), 12442);
}

TEST_F(MdbVariantTest, AssignLinksOrCopies) {
  TMdbVariant Src;
  Src.SetAsInteger(7);
  TMdbVariant L, C;
  L.Assign(&Src, false, false);
  C.Assign(&Src, true, false);
  EXPECT_TRUE(L.IsDataLinked());
  EXPECT_EQ(L.PData(), Src.PData());
  EXPECT_FALSE(C.IsDataLinked());
  EXPECT_NE(C.PData(), Src.PData());
  EXPECT_EQ(C.AsInteger(), 7);
}

TEST_F(MdbVariantTest, WideToAnsiNarrowing) {
  TMdbVariant V;
  V.SetAsWideString(u"abc");
  V.ConvertWideStringToAnsiStringIfNotUnicode();
  EXPECT_EQ(V.DataType(), bftChar);
  EXPECT_EQ(V.AsString(), "abc");
  TMdbVariant Latin;
  Latin.SetAsWideString(u"\u00DEorn");
  Latin.ConvertWideStringToAnsiStringIfNotUnicode();
  EXPECT_EQ(Latin.DataType(), bftWideVarchar);
  EXPECT_EQ(Latin.AsWideString(), u"\u00DEorn");
  TMdbVariant Cn;
  Cn.SetAsWideString(u"中文");
  Cn.ConvertWideStringToAnsiStringIfNotUnicode();
  EXPECT_EQ(Cn.DataType(), bftWideVarchar);
  // Reading wide text as 8-bit narrows through code page 936: two bytes a character.
  EXPECT_EQ(Cn.AsString(), "\xD6\xD0\xCE\xC4");
  TMdbVariant A;
  A.SetAsString("\xD6\xD0\xCE\xC4");
  EXPECT_EQ(A.AsWideString(), u"中文");
}

TEST_F(MdbVariantTest, PlatformVariantsBothWays) {
  TMdbVariant V;
  V.SetAsVariant(Variant(5));
  EXPECT_EQ(V.DataType(), bftSignedInt32);
  EXPECT_EQ(V.AsVariant().AsInteger(), 5);
  V.Clear(bftUnknown);
  V.SetAsVariant(Variant(u"xyz"));
  EXPECT_EQ(V.DataType(), bftWideVarchar);
  Variant Bytes = VarArrayCreate({0, 2}, varByte);
  for (int i = 0; i < 3; ++i) VarArrayPut(Bytes, Variant(static_cast<unsigned char>(i + 1)), i);
  V.SetAsVariant(Bytes);
  EXPECT_EQ(V.DataType(), bftBytes);
  EXPECT_EQ(V.DataSize(), 3);
  EXPECT_EQ(V.PData()[2], 3);
  EXPECT_EQ(VarArrayLength(V.AsVariant()), 3);
  EXPECT_EQ(NativeCodeOf([&] { V.SetAsVariant(Variant()); }), 30113);
  TMdbVariant Clob;
  Clob.SetData("x", 2, bftClob, true, false);
  EXPECT_EQ(NativeCodeOf([&] { Clob.AsVariant(); }), 30114);
}

TEST_F(MdbVariantTest, SetDataTypeCastsOrClears) {
  TMdbVariant V;
  V.SetAsString("12");
  V.SetDataType(bftSignedInt8);
  EXPECT_EQ(V.AsShortint(), 12);
  // A text that does not parse raises and leaves the value as it was.
  EXPECT_EQ(NativeCodeOf([&] { V.SetAsString("abc"); }), 30051);
  EXPECT_EQ(V.DataType(), bftSignedInt8);
  EXPECT_EQ(V.AsShortint(), 12);
  TMdbVariant T;
  T.SetAsString("abc");
  T.SetDataType(bftSignedInt32);
  EXPECT_TRUE(T.IsNull());
  EXPECT_EQ(T.DataType(), bftSignedInt32);
}

// Random values of every base type with a storage form survive their stream form byte for byte.
TEST_F(MdbVariantTest, StreamRoundTripOfRandomValues) {
  std::mt19937 Rng(7);
  for (int Round = 0; Round < 300; ++Round) {
    const auto T = static_cast<TMdbBaseFieldType>(1 + Rng() % 24);
    TMdbVariant V(T);
    if (Rng() % 5 != 0) {
      std::int32_t Size = 0;
      std::vector<Byte> Bytes;
      if (IsStringBaseType(T) && !IsBLOBBaseType(T)) {
        const int W = IsWideStringBaseType(T) ? 2 : 1;
        const int N = 1 + Rng() % 12;
        Bytes.assign(static_cast<std::size_t>((N + 1) * W), 0);
        for (int i = 0; i < N * W; ++i) Bytes[i] = static_cast<Byte>('a' + Rng() % 26);
      } else if (IsBLOBBaseType(T) || T == bftBytes || T == bftVarBytes) {
        Bytes.resize(1 + Rng() % 40);
        for (auto& B : Bytes) B = static_cast<Byte>(Rng());
      } else {
        Size = GetBaseTypeDataSize(T, 0);
        Bytes.resize(static_cast<std::size_t>(Size));
        for (auto& B : Bytes) B = static_cast<Byte>(Rng());
      }
      V.SetData(Bytes.data(), static_cast<std::int32_t>(Bytes.size()), T, true, false);
    }
    const auto Form = Saved(V);
    TMdbVariant L(bftSignedInt8);
    LoadBytes(L, Form);
    ASSERT_EQ(L.DataType(), T);
    ASSERT_EQ(L.IsNull(), V.IsNull());
    ASSERT_EQ(L.DataSize(), V.DataSize());
    if (!V.IsNull()) {
      ASSERT_EQ(std::memcmp(L.PData(), V.PData(), static_cast<std::size_t>(V.DataSize())), 0);
    }
    ASSERT_EQ(Saved(L), Form);
  }
}

// Every cut of a saved value and every hostile header raises the field's read code and leaves a
// null value behind.
TEST_F(MdbVariantTest, HostileStreamForms) {
  std::vector<std::vector<Byte>> Goods;
  TMdbVariant V;
  V.SetAsInteger(-5);
  Goods.push_back(Saved(V));
  V.Clear(bftUnknown);
  V.SetAsWideString(u"wide");
  Goods.push_back(Saved(V));
  V.Clear(bftUnknown);
  V.SetAsExtended(1.25);
  Goods.push_back(Saved(V));
  for (const auto& Good : Goods) {
    for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
      TMdbVariant L;
      L.SetAsInteger(1);
      const int Code = NativeCodeOf([&] { LoadBytes(L, std::vector<Byte>(Good.begin(), Good.begin() + Cut)); });
      EXPECT_GE(Code, 10183);
      EXPECT_LE(Code, 10186);
      EXPECT_TRUE(L.IsNull());
    }
  }
  struct Case {
    const char* Hex;
    int Code;
  };
  const Case Cases[] = {
      {"1A00 04000000 00000000", 10183},        // no such type
      {"0700 02000000 0102", 10185},            // Int32 of two bytes
      {"0700 08000000 0102030405060708", 10185},  // Int32 of eight bytes
      {"0E00 08000000 0102030405060708", 10185},  // Extended needs ten
      {"0300 03000000 616263", 10186},          // varchar without its terminator
      {"0400 04000000 61006200", 10186},        // wide text without its terminator
      {"0400 03000000 610000", 10186},          // odd wide size: no whole zero unit
      {"0300 FFFFFF7F 6100", 10185},            // size far beyond the bytes left
      {"0000 01000000 00", 10185},              // a present untyped value
      {"1900 01000000 00", 10185},              // a present BFile
  };
  for (const auto& C : Cases) {
    TMdbVariant L;
    EXPECT_EQ(NativeCodeOf([&] { LoadBytes(L, HexBytes(C.Hex)); }), C.Code) << C.Hex;
    EXPECT_TRUE(L.IsNull()) << C.Hex;
  }
}

}  // namespace
