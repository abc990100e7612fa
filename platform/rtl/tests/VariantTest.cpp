#include "platform/rtl/Variant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/VariantText.h"

namespace {

std::string U8(const String& s) { return StringToUTF8(s); }

// Every test runs with the default settings (locale 2048: '.' decimals, "yyyy/M/d", "h:mm:ss").
class VariantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FormatSettings();
    FormatSettings() = TFormatSettings::Create(2048);
  }
  void TearDown() override { FormatSettings() = saved_; }

 private:
  TFormatSettings saved_;
};

TDateTime MakeDate(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  TDateTime value = 0;
  EXPECT_TRUE(TryEncodeDateTime(y, m, d, h, n, s, ms, value));
  return value;
}

TBcd Bcd(const char* text) {
  variant_text::Decimal d;
  EXPECT_TRUE(variant_text::ParseDecimal(Str(text), d, false)) << text;
  TBcd b;
  EXPECT_TRUE(variant_text::DecimalToBcd(d, b));
  return b;
}

// Runs f and returns the message of the EVariantError-family (or other platform) exception it raised;
// "<none>" when it raised nothing. `kind` receives a short name of the exception class.
std::string Raised(const std::function<void()>& f, std::string* kind = nullptr) {
  auto set = [&](const char* k) {
    if (kind) *kind = k;
  };
  try {
    f();
  } catch (const EVariantTypeCastError& e) {
    set("cast");
    return e.what();
  } catch (const EVariantOverflowError& e) {
    set("overflow");
    return e.what();
  } catch (const EVariantInvalidOpError& e) {
    set("invalidop");
    return e.what();
  } catch (const EVariantBadIndexError& e) {
    set("badindex");
    return e.what();
  } catch (const EVariantError& e) {
    set("variant");
    return e.what();
  } catch (const EDivByZero& e) {
    set("divbyzero");
    return e.what();
  } catch (const EZeroDivide& e) {
    set("zerodivide");
    return e.what();
  } catch (const EInvalidOp& e) {
    set("invalidfp");
    return e.what();
  } catch (const EOverflow& e) {
    set("fpoverflow");
    return e.what();
  }
  set("none");
  return "<none>";
}

// ---- kinds ----------------------------------------------------------------------------------------

TEST_F(VariantTest, ConstructorsPickTheKindOfTheCppType) {
  struct Case {
    Variant value;
    TVarType type;
    const char* typeText;
  };
  const Case cases[] = {
      {Variant(), varEmpty, "Empty"},
      {Null(), varNull, "Null"},
      {Variant(short{-2}), varSmallint, "Smallint"},
      {Variant(7), varInteger, "Integer"},
      {Variant(1.5f), varSingle, "Single"},
      {Variant(1.5), varDouble, "Double"},
      {Variant(Currency::FromScaled(15000)), varCurrency, "Currency"},
      {VarFromDateTime(45000.5), varDate, "Date"},
      {VarFromOleStr(u"x"), varOleStr, "OleStr"},
      {Variant(true), varBoolean, "Boolean"},
      {Variant(static_cast<signed char>(-3)), varShortInt, "ShortInt"},
      {Variant(static_cast<unsigned char>(200)), varByte, "Byte"},
      {Variant(static_cast<unsigned short>(60000)), varWord, "Word"},
      {Variant(4000000000u), varLongWord, "LongWord"},
      {Variant(Int64{1} << 40), varInt64, "Int64"},
      {Variant(5LL), varInt64, "Int64"},
      {Variant(std::numeric_limits<UInt64>::max()), varUInt64, "UInt64"},
      {VarFromAnsi("abc"), varString, "String"},
      {Variant(u"abc"), varUString, "UnicodeString"},
      {Variant::MakeError(5), varError, "Error"},
      {Variant::MakeDispatch(nullptr), varDispatch, "Dispatch"},
      {Variant::MakeUnknown(nullptr), varUnknown, "Unknown"},
      {Variant(TSQLTimeStamp{2024, 1, 5, 10, 30, 0, 0}), varSQLTimeStamp, "SQLTimeStamp"},
      {Variant(TSQLTimeStampOffset{2024, 1, 5, 10, 30, 0, 0, 8, 0}), varSQLTimeStampOffset, "SQLTimeStampOffset"},
      {Variant(Bcd("12.5")), varFMTBcd, "FMTBcd"},
      {VarFromBytes(std::vector<Byte>{1, 2}), varArray | varByte, "Array Byte"},
      {VarArrayOf({1, 2}), varArray | varVariant, "Array Variant"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VarType(c.value), c.type) << c.typeText;
    EXPECT_EQ(U8(VarTypeAsText(VarType(c.value))), c.typeText);
  }
  // The platform's fixed codes.
  EXPECT_EQ(varString, 256);
  EXPECT_EQ(varUString, 258);
  EXPECT_EQ(varArray, 0x2000);
  EXPECT_EQ(varSQLTimeStamp, VarSQLTimeStamp());
  EXPECT_EQ(U8(VarTypeAsText(0x0FF0)), "$0FF0");
}

TEST_F(VariantTest, Predicates) {
  struct Case {
    Variant value;
    bool clear, str, ordinal, floating, numeric, array;
  };
  const Case cases[] = {
      {Variant(), true, false, false, false, false, false},
      {Null(), false, false, false, false, false, false},
      {Variant(1), false, false, true, false, true, false},
      {Variant(true), false, false, true, false, true, false},
      {Variant(1.0), false, false, false, true, true, false},
      {Variant(Currency{}), false, false, false, true, true, false},
      {VarFromDateTime(1), false, false, false, false, false, false},
      {Variant(u"1"), false, true, false, false, false, false},
      {VarFromAnsi("1"), false, true, false, false, false, false},
      {VarFromOleStr(u"1"), false, true, false, false, false, false},
      {VarFromBytes(nullptr, 0), false, false, false, false, false, true},
      {Variant::MakeDispatch(nullptr), true, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(VarTypeAsText(VarType(c.value))));
    EXPECT_EQ(VarIsClear(c.value), c.clear);
    EXPECT_EQ(VarIsStr(c.value), c.str);
    EXPECT_EQ(VarIsOrdinal(c.value), c.ordinal);
    EXPECT_EQ(VarIsFloat(c.value), c.floating);
    EXPECT_EQ(VarIsNumeric(c.value), c.numeric);
    EXPECT_EQ(VarIsArray(c.value), c.array);
  }
  EXPECT_TRUE(VarIsNull(Null()));
  EXPECT_FALSE(VarIsNull(Variant()));
  EXPECT_TRUE(VarIsEmpty(Variant()));
  EXPECT_FALSE(VarIsEmpty(Null()));
}

// ---- conversions ----------------------------------------------------------------------------------

TEST_F(VariantTest, TextForms) {
  struct Case {
    Variant value;
    const char16_t* text;
  };
  const Case cases[] = {
      {Variant(), u""},
      {Null(), u""},
      {Variant(-42), u"-42"},
      {Variant(std::numeric_limits<UInt64>::max()), u"18446744073709551615"},
      {Variant(true), u"True"},
      {Variant(false), u"False"},
      {Variant(0.1), u"0.1"},
      {Variant(1.0 / 3), u"0.333333333333333"},
      {Variant(1e15), u"1E15"},
      {Variant(123456789012345.0), u"123456789012345"},
      {Variant(0.0001), u"0.0001"},
      {Variant(0.00001), u"1E-5"},
      {Variant(-2.5e-7), u"-2.5E-7"},
      {Variant(0.1f), u"0.1"},
      {Variant(Currency::FromScaled(15000)), u"1.5"},
      {Variant(Currency::FromScaled(-20000)), u"-2"},
      {Variant(Currency::FromScaled(1)), u"0.0001"},
      {VarFromDateTime(MakeDate(2024, 1, 5)), u"2024/1/5"},
      {VarFromDateTime(MakeDate(2024, 1, 5, 9, 5, 3)), u"2024/1/5 9:05:03"},
      {VarFromDateTime(-1.25), u"1899/12/29 6:00:00"},
      {VarFromAnsi("\xD6\xD0"), u"中"},  // code page 936
      {Variant(Bcd("-0012.500")), u"-12.5"},
      {Variant(TSQLTimeStamp{2024, 1, 5, 10, 30, 0, 0}), u"2024/1/5 10:30:00"},
      {Variant(TSQLTimeStampOffset{2024, 1, 5, 10, 30, 0, 0, -5, -30}), u"2024/1/5 10:30:00 -05:30"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(VarToStr(c.value)), U8(c.text)) << U8(VarTypeAsText(VarType(c.value)));

  EXPECT_EQ(U8(VarToStrDef(Null(), u"-")), "-");
  EXPECT_EQ(U8(VarToStrDef(Variant(), u"-")), "");
  EXPECT_EQ(U8(VarToStrDef(Variant(u""), u"-")), "");
  EXPECT_EQ(Variant(u"中").AsAnsiString(), "\xD6\xD0");
}

TEST_F(VariantTest, CastsSucceed) {
  struct Case {
    Variant from;
    TVarType to;
    const char16_t* text;  // VarToStr of the result
  };
  const Case cases[] = {
      {Variant(1.5), varInteger, u"2"},  // ties to even
      {Variant(2.5), varInteger, u"2"},
      {Variant(-2.5), varInt64, u"-2"},
      {Variant(u" 42 "), varInteger, u"42"},
      {Variant(u"1.5"), varInteger, u"2"},
      {Variant(u"1.5"), varDouble, u"1.5"},
      {Variant(u"-1E3"), varDouble, u"-1000"},
      {Variant(u"12.34565"), varCurrency, u"12.3456"},  // exact decimal, ties to even
      {Variant(u"true"), varBoolean, u"True"},
      {Variant(u"0"), varBoolean, u"False"},
      {Variant(true), varInteger, u"-1"},
      {Variant(false), varInteger, u"0"},
      {Variant(), varInteger, u"0"},
      {Variant(), varOleStr, u""},
      {Variant(), varNull, u""},
      {Variant(300), varDouble, u"300"},
      {Variant(300), varSmallint, u"300"},
      {Variant(255), varByte, u"255"},
      {Variant(Currency::FromScaled(25000)), varInteger, u"2"},
      {Variant(Currency::FromScaled(35000)), varInteger, u"4"},
      {Variant(u"2024/1/5 10:30"), varDate, u"2024/1/5 10:30:00"},
      {Variant(u"2024/1/5 10:30:15.250"), varDate, u"2024/1/5 10:30:15"},
      {Variant(u"10:30"), varDate, u"1899/12/30 10:30:00"},
      {Variant(45296.5), varDate, u"2024/1/5 12:00:00"},
      {VarFromDateTime(MakeDate(2024, 1, 5)), varDouble, u"45296"},
      {Variant(12), varOleStr, u"12"},
      {Variant(u"abc"), varString, u"abc"},
      {Variant(u"12.5"), varFMTBcd, u"12.5"},
      {Variant(Bcd("12.345")), varCurrency, u"12.345"},
      {Variant(Bcd("12.5")), varDouble, u"12.5"},
      {Variant(Bcd("12.5")), varInteger, u"12"},
      {Variant(0.1), varFMTBcd, u"0.1"},
      {Variant(Currency::FromScaled(-12345)), varFMTBcd, u"-1.2345"},
      {VarFromDateTime(MakeDate(2024, 1, 5, 10, 30, 0, 500)), varSQLTimeStamp, u"2024/1/5 10:30:00"},
      {Variant(u"2024/1/5 10:30 +08:00"), varSQLTimeStampOffset, u"2024/1/5 10:30:00 +08:00"},
      {Variant(5), varVariant, u"5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(VarToStr(c.from)) + " -> " + U8(VarTypeAsText(c.to)));
    Variant r;
    ASSERT_NO_THROW(r = VarAsType(c.from, c.to));
    EXPECT_EQ(VarType(r), c.to == varVariant ? VarType(c.from) : c.to);
    EXPECT_EQ(U8(VarToStr(r)), U8(c.text));
  }
  // Accessors agree with the casts.
  EXPECT_EQ(Variant(u"7").AsInteger(), 7);
  EXPECT_EQ(Variant(3.75).AsCurrency(), Currency::FromScaled(37500));
  EXPECT_EQ(Variant(Int64{1} << 40).AsDouble(), std::ldexp(1.0, 40));
  EXPECT_EQ(Variant(TSQLTimeStamp{2024, 1, 5, 0, 0, 0, 0}).AsDateTime(), MakeDate(2024, 1, 5));
  EXPECT_TRUE(Variant(2).AsBoolean());
  EXPECT_EQ(VarFromAnsi("x").AsString(), u"x");
}

TEST_F(VariantTest, CastsFailWithThePlatformsTexts) {
  struct Case {
    std::function<void()> action;
    const char* kind;
    const char* text;
  };
  const Variant bytes = VarFromBytes(std::vector<Byte>{1});
  const Case cases[] = {
      {[] { VarAsType(Variant(u"abc"), varInteger); }, "cast",
       "Could not convert variant of type (UnicodeString) into type (Integer)"},
      {[] { VarAsType(VarFromAnsi("1,5"), varDouble); }, "cast",
       "Could not convert variant of type (String) into type (Double)"},
      {[] { VarAsType(Variant(u"abc"), varDate); }, "cast", "Could not convert variant of type (UnicodeString) into type (Date)"},
      {[] { VarAsType(Variant(u"2024/2/30"), varDate); }, "cast", "Could not convert variant of type (UnicodeString) into type (Date)"},
      {[] { VarAsType(Variant(u"maybe"), varBoolean); }, "cast", "Could not convert variant of type (UnicodeString) into type (Boolean)"},
      {[] { VarAsType(Null(), varInteger); }, "cast", "Could not convert variant of type (Null) into type (Integer)"},
      {[] { VarAsType(Null(), varOleStr); }, "cast", "Could not convert variant of type (Null) into type (OleStr)"},
      {[] { Null().AsDouble(); }, "cast", "Could not convert variant of type (Null) into type (Double)"},
      {[&] { bytes.AsInteger(); }, "cast", "Could not convert variant of type (Array Byte) into type (Integer)"},
      {[&] { VarToStr(bytes); }, "cast", "Could not convert variant of type (Array Byte) into type (UnicodeString)"},
      {[] { VarAsType(Variant(70000), varSmallint); }, "overflow",
       "Overflow while converting variant of type (Integer) into type (Smallint)"},
      {[] { VarAsType(Variant(-1), varByte); }, "overflow", "Overflow while converting variant of type (Integer) into type (Byte)"},
      {[] { VarAsType(Variant(std::numeric_limits<UInt64>::max()), varInt64); }, "overflow",
       "Overflow while converting variant of type (UInt64) into type (Int64)"},
      {[] { VarAsType(Variant(1e300), varCurrency); }, "overflow",
       "Overflow while converting variant of type (Double) into type (Currency)"},
      {[] { VarAsType(Variant(1e300), varSingle); }, "overflow", "Overflow while converting variant of type (Double) into type (Single)"},
      {[] { VarAsType(Variant(std::nan("")), varInteger); }, "overflow",
       "Overflow while converting variant of type (Double) into type (Integer)"},
      {[] { VarAsType(Variant(1e300), varDate).AsSQLTimeStamp(); }, "overflow",
       "Overflow while converting variant of type (Date) into type (SQLTimeStamp)"},
      {[] { VarAsType(Variant::MakeDispatch(nullptr), varInteger); }, "cast",
       "Could not convert variant of type (Dispatch) into type (Integer)"},
      {[] { Variant(5).VUString(); }, "cast", "Could not convert variant of type (Integer) into type (UnicodeString)"},
      {[] { VarAsType(Variant(5), 0x0FF0); }, "variant", "Invalid variant type"},
      {[] { VarAsType(Variant(TSQLTimeStamp{2024, 13, 1, 0, 0, 0, 0}), varDate); }, "cast",
       "Could not convert variant of type (SQLTimeStamp) into type (Date)"},
  };
  for (const Case& c : cases) {
    std::string kind;
    EXPECT_EQ(Raised(c.action, &kind), c.text);
    EXPECT_EQ(kind, c.kind) << c.text;
  }
}

TEST_F(VariantTest, TextConversionsFollowTheFormatSettings) {
  FormatSettings().DecimalSeparator = u',';
  FormatSettings().ShortDateFormat = u"dd.MM.yyyy";
  FormatSettings().DateSeparator = u'.';
  EXPECT_EQ(VarAsType(Variant(u"1,5"), varDouble).VDouble(), 1.5);
  EXPECT_EQ(U8(VarToStr(Variant(2.25))), "2,25");
  EXPECT_EQ(U8(VarToStr(Variant(Currency::FromScaled(12500)))), "1,25");
  EXPECT_EQ(Raised([] { VarAsType(Variant(u"1.5"), varDouble); }), "Could not convert variant of type (UnicodeString) into type (Double)");
  EXPECT_EQ(VarAsType(Variant(u"05.01.2024"), varDate).VDate(), MakeDate(2024, 1, 5));
  EXPECT_EQ(U8(VarToStr(VarFromDateTime(MakeDate(2024, 1, 5)))), "05.01.2024");
}

// ---- comparison -----------------------------------------------------------------------------------

TEST_F(VariantTest, CompareValueTable) {
  struct Case {
    Variant a, b;
    TVariantRelationship expected;
  };
  const Case cases[] = {
      {Null(), Null(), vrEqual},
      {Variant(), Variant(), vrEqual},
      {Null(), Variant(5), vrNotEqual},
      {Variant(5), Null(), vrNotEqual},
      {Variant(), Null(), vrNotEqual},
      {Variant(), Variant(0), vrNotEqual},
      {Variant(1), Variant(2), vrLessThan},
      {Variant(short{3}), Variant(Int64{3}), vrEqual},
      {Variant(1), Variant(1.0), vrEqual},
      {Variant(1), Variant(1.5), vrLessThan},
      {Variant(-1), Variant(std::numeric_limits<UInt64>::max()), vrLessThan},
      {Variant(std::numeric_limits<Int64>::max()), Variant(std::numeric_limits<Int64>::max() - 1), vrGreaterThan},
      {Variant(Currency::FromScaled(15000)), Variant(1.5), vrEqual},
      {Variant(Currency::FromScaled(10001)), Variant(1), vrGreaterThan},
      {Variant(u"a"), Variant(u"b"), vrLessThan},
      {Variant(u"a"), Variant(u"B"), vrLessThan},     // the locale's order, not the code units'
      {Variant(u"张"), Variant(u"李"), vrGreaterThan},  // pinyin: zhang after li
      {Variant(u"a"), Variant(u"A"), vrLessThan},     // case-sensitive
      {Variant(u"b"), VarFromAnsi("a"), vrGreaterThan},
      {Variant(u"abc"), VarFromOleStr(u"abc"), vrEqual},
      {Variant(u"10"), Variant(9), vrGreaterThan},  // a text against a number is a number
      {Variant(9), Variant(u"10"), vrLessThan},
      {Variant(u"1.5"), Variant(Currency::FromScaled(15000)), vrEqual},
      {Variant(false), Variant(true), vrLessThan},
      {Variant(true), Variant(u"True"), vrEqual},
      {VarFromDateTime(MakeDate(2024, 1, 5)), Variant(45296), vrEqual},
      {VarFromDateTime(MakeDate(2024, 1, 5)), Variant(u"2024/1/6"), vrLessThan},
      {Variant(std::nan("")), Variant(1.0), vrNotEqual},
      {Variant(TSQLTimeStamp{2024, 1, 5, 10, 0, 0, 1}), Variant(TSQLTimeStamp{2024, 1, 5, 10, 0, 0, 0}), vrGreaterThan},
      {Variant(TSQLTimeStamp{2024, 1, 5, 0, 0, 0, 0}), VarFromDateTime(MakeDate(2024, 1, 5)), vrEqual},
      // 10:00 at +08:00 is 02:00 UTC, earlier than 03:00 at +00:00.
      {Variant(TSQLTimeStampOffset{2024, 1, 5, 10, 0, 0, 0, 8, 0}), Variant(TSQLTimeStampOffset{2024, 1, 5, 3, 0, 0, 0, 0, 0}),
       vrLessThan},
      {Variant(Bcd("0.3")), Variant(Bcd("0.30")), vrEqual},
      {Variant(Bcd("12345678901234567890.1")), Variant(Bcd("12345678901234567890.2")), vrLessThan},
      {Variant(Bcd("-1")), Variant(0), vrLessThan},
      {Variant(Bcd("1.5")), Variant(1.5), vrEqual},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VarCompareValue(c.a, c.b), c.expected)
        << U8(VarTypeAsText(VarType(c.a))) << " " << U8(VarToStr(c.a)) << " vs " << U8(VarTypeAsText(VarType(c.b)))
        << " " << U8(VarToStr(c.b));
  }
}

TEST_F(VariantTest, CompareRaisesForValuesWithoutOrder) {
  const Variant arr = VarArrayOf({1});
  EXPECT_EQ(Raised([&] { VarCompareValue(arr, arr); }), "Invalid variant operation");
  EXPECT_EQ(Raised([] { VarCompareValue(Variant(u"abc"), Variant(1)); }),
            "Could not convert variant of type (UnicodeString) into type (Double)");
  EXPECT_EQ(Raised([] { (void)(Variant(u"abc") == Variant(1)); }),
            "Could not convert variant of type (UnicodeString) into type (Double)");
}

TEST_F(VariantTest, OperatorsOrderEmptyAndNullFirst) {
  EXPECT_TRUE(Null() == Null());
  EXPECT_FALSE(Null() == Variant(0));
  EXPECT_FALSE(Null() == Variant());
  EXPECT_TRUE(Variant(2) == Variant(2.0));
  EXPECT_TRUE(Null() < Variant(-5));
  EXPECT_FALSE(Variant(-5) < Null());
  EXPECT_FALSE(Null() < Null());
  EXPECT_TRUE(Null() <= Null());
  EXPECT_TRUE(Variant(3) > Variant(u"2"));
  EXPECT_FALSE(Variant(std::nan("")) < Variant(1.0));

  std::vector<Variant> values = {Variant(3), Null(), Variant(1.5), Variant(), Variant(-7), Null()};
  std::sort(values.begin(), values.end());
  std::vector<std::string> texts;
  for (const Variant& v : values) texts.push_back(U8(VarTypeAsText(VarType(v))) + ":" + U8(VarToStr(v)));
  EXPECT_EQ(texts, (std::vector<std::string>{"Empty:", "Null:", "Null:", "Integer:-7", "Double:1.5", "Integer:3"}));
}

// ---- arithmetic and logic -------------------------------------------------------------------------

enum class Op { Add, Sub, Mul, Div, IntDiv, Mod, And, Or, Xor };

Variant Apply(const Variant& a, Op op, const Variant& b) {
  switch (op) {
    case Op::Add: return a + b;
    case Op::Sub: return a - b;
    case Op::Mul: return a * b;
    case Op::Div: return a / b;
    case Op::IntDiv: return VarIntDiv(a, b);
    case Op::Mod: return a % b;
    case Op::And: return a & b;
    case Op::Or: return a | b;
    case Op::Xor: return a ^ b;
  }
  return Variant();
}

TEST_F(VariantTest, ArithmeticPromotionTable) {
  const Int64 maxInt64 = std::numeric_limits<Int64>::max();
  const Variant day = VarFromDateTime(MakeDate(2024, 1, 5));
  struct Case {
    Variant a;
    Op op;
    Variant b;
    TVarType type;
    const char16_t* text;
  };
  const Case cases[] = {
      {Variant(2), Op::Add, Variant(3), varInteger, u"5"},
      {Variant(short{2}), Op::Mul, Variant(static_cast<unsigned char>(3)), varInteger, u"6"},
      {Variant(2147483647), Op::Add, Variant(1), varInt64, u"2147483648"},  // integer grows into Int64
      {Variant(-2147483647 - 1), Op::Sub, Variant(1), varInt64, u"-2147483649"},
      {Variant(65536), Op::Mul, Variant(65536), varInt64, u"4294967296"},
      {Variant(Int64{5}), Op::Add, Variant(1), varInt64, u"6"},  // Int64 stays Int64
      {Variant(4000000000u), Op::Add, Variant(1), varInt64, u"4000000001"},
      {Variant(maxInt64), Op::Add, Variant(1), varDouble, u"9.22337203685478E18"},  // Int64 grows into double
      {Variant(std::numeric_limits<UInt64>::max()), Op::Add, Variant(1), varDouble, u"1.84467440737096E19"},
      {Variant(2), Op::Add, Variant(0.5), varDouble, u"2.5"},
      {Variant(2), Op::Add, Variant(0.5f), varDouble, u"2.5"},
      {Variant(7), Op::Div, Variant(2), varDouble, u"3.5"},
      {Variant(Currency::FromScaled(15000)), Op::Add, Variant(2), varCurrency, u"3.5"},
      {Variant(Currency::FromScaled(15000)), Op::Mul, Variant(Currency::FromScaled(15000)), varCurrency, u"2.25"},
      {Variant(Currency::FromScaled(10000)), Op::Div, Variant(3), varCurrency, u"0.3333"},
      {Variant(Currency::FromScaled(15000)), Op::Add, Variant(0.25), varDouble, u"1.75"},
      {day, Op::Add, Variant(1), varDate, u"2024/1/6"},
      {day, Op::Add, Variant(0.5), varDate, u"2024/1/5 12:00:00"},
      {day, Op::Sub, Variant(5), varDate, u"2023/12/31"},
      {day, Op::Sub, VarFromDateTime(MakeDate(2024, 1, 1)), varDouble, u"4"},
      {day, Op::Add, Variant(u"2"), varDate, u"2024/1/7"},  // a text that is no date reads as days
      {Variant(u"ab"), Op::Add, Variant(u"cd"), varUString, u"abcd"},
      {VarFromAnsi("ab"), Op::Add, VarFromAnsi("cd"), varString, u"abcd"},
      {VarFromAnsi("ab"), Op::Add, VarFromOleStr(u"中"), varUString, u"ab中"},
      {Variant(u"ab"), Op::Add, Variant(), varUString, u"ab"},
      {Variant(u"2"), Op::Add, Variant(3), varDouble, u"5"},  // a number and a numeric text add as numbers
      {Variant(3), Op::Mul, Variant(u"1.5"), varDouble, u"4.5"},
      {Variant(u"6"), Op::Sub, Variant(u"2"), varDouble, u"4"},
      {Null(), Op::Add, Variant(1), varNull, u""},
      {Variant(u"a"), Op::Add, Null(), varNull, u""},
      {Variant(), Op::Add, Variant(1), varInteger, u"1"},
      {Variant(true), Op::Add, Variant(1), varInteger, u"0"},  // True reads as -1
      {Variant(Bcd("0.1")), Op::Add, Variant(Bcd("0.2")), varFMTBcd, u"0.3"},
      {Variant(Bcd("12345678901234567890.5")), Op::Mul, Variant(2), varFMTBcd, u"24691357802469135781"},
      {Variant(Bcd("1.5")), Op::Sub, Variant(Currency::FromScaled(5)), varFMTBcd, u"1.4995"},
      {Variant(Bcd("1")), Op::Div, Variant(4), varFMTBcd, u"0.25"},
      {Variant(7), Op::IntDiv, Variant(2), varInteger, u"3"},
      {Variant(-7), Op::IntDiv, Variant(2), varInteger, u"-3"},
      {Variant(7.6), Op::IntDiv, Variant(2), varInt64, u"4"},  // floats round first
      {Variant(7), Op::Mod, Variant(-2), varInteger, u"1"},
      {Variant(-7), Op::Mod, Variant(2), varInteger, u"-1"},
      {Variant(std::numeric_limits<Int64>::min()), Op::IntDiv, Variant(-1), varInt64, u"-9223372036854775808"},
      {Variant(6), Op::And, Variant(3), varInteger, u"2"},
      {Variant(6), Op::Or, Variant(3), varInteger, u"7"},
      {Variant(6), Op::Xor, Variant(3), varInteger, u"5"},
      {Variant(true), Op::And, Variant(false), varBoolean, u"False"},
      {Variant(true), Op::Or, Variant(false), varBoolean, u"True"},
      {Variant(true), Op::Xor, Variant(true), varBoolean, u"False"},
      {Variant(true), Op::And, Variant(u"True"), varBoolean, u"True"},
      {Variant(true), Op::And, Variant(5), varBoolean, u"True"},
      {Null(), Op::And, Variant(false), varNull, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(VarTypeAsText(VarType(c.a))) + " " + U8(VarToStr(c.a)) + " op#" + std::to_string(static_cast<int>(c.op)) +
                 " " + U8(VarTypeAsText(VarType(c.b))) + " " + U8(VarToStr(c.b)));
    Variant r;
    ASSERT_NO_THROW(r = Apply(c.a, c.op, c.b));
    EXPECT_EQ(U8(VarTypeAsText(VarType(r))), U8(VarTypeAsText(c.type)));
    EXPECT_EQ(U8(VarToStr(r)), U8(c.text));
  }
}

TEST_F(VariantTest, UnaryOperators) {
  struct Case {
    Variant value;
    bool negate;  // else not
    TVarType type;
    const char16_t* text;
  };
  const Case cases[] = {
      {Variant(5), true, varInteger, u"-5"},
      {Variant(-2147483647 - 1), true, varInt64, u"2147483648"},
      {Variant(std::numeric_limits<Int64>::min()), true, varDouble, u"9.22337203685478E18"},
      {Variant(1.5), true, varDouble, u"-1.5"},
      {Variant(Currency::FromScaled(15000)), true, varCurrency, u"-1.5"},
      {Variant(u"2.5"), true, varDouble, u"-2.5"},
      {Variant(Bcd("2.5")), true, varFMTBcd, u"-2.5"},
      {Null(), true, varNull, u""},
      {Variant(true), false, varBoolean, u"False"},
      {Variant(0), false, varInteger, u"-1"},
      {Variant(Int64{5}), false, varInt64, u"-6"},
      {Variant(u"false"), false, varBoolean, u"True"},
      {Null(), false, varNull, u""},
  };
  for (const Case& c : cases) {
    const Variant r = c.negate ? -c.value : !c.value;
    EXPECT_EQ(VarType(r), c.type) << U8(VarToStr(c.value));
    EXPECT_EQ(U8(VarToStr(r)), U8(c.text));
  }
}

TEST_F(VariantTest, ArithmeticErrors) {
  const Variant arr = VarArrayOf({1});
  struct Case {
    std::function<void()> action;
    const char* kind;
    const char* text;
  };
  const Case cases[] = {
      {[] { VarIntDiv(Variant(1), Variant(0)); }, "divbyzero", "Division by zero"},
      {[] { (void)(Variant(1) % Variant(0)); }, "divbyzero", "Division by zero"},
      {[] { (void)(Variant(1) / Variant(0)); }, "zerodivide", "Floating point division by zero"},
      {[] { (void)(Variant(0.0) / Variant(0)); }, "invalidfp", "Invalid floating point operation"},
      {[] { (void)(Variant(Currency::FromScaled(1)) / Variant(0)); }, "zerodivide", "Floating point division by zero"},
      {[] { (void)(Variant(1e308) * Variant(10)); }, "fpoverflow", "Floating point overflow"},
      {[] { (void)(Variant(Currency::FromScaled(std::numeric_limits<Int64>::max())) + Variant(1)); }, "fpoverflow",
       "Floating point overflow"},
      // A date and a text that is no number do not add.
      {[] { (void)(VarFromDateTime(1) + Variant(u"abc")); }, "cast",
       "Could not convert variant of type (UnicodeString) into type (Date)"},
      {[] { (void)(Variant(1) + Variant(u"abc")); }, "cast",
       "Could not convert variant of type (UnicodeString) into type (Double)"},
      {[&] { (void)(arr + Variant(1)); }, "invalidop", "Invalid variant operation"},
      {[] { (void)(Variant::MakeDispatch(nullptr) * Variant(1)); }, "invalidop", "Invalid variant operation"},
  };
  for (const Case& c : cases) {
    std::string kind;
    EXPECT_EQ(Raised(c.action, &kind), c.text);
    EXPECT_EQ(kind, c.kind) << c.text;
  }
}

// ---- arrays ---------------------------------------------------------------------------------------

TEST_F(VariantTest, ArrayBoundsAndElements) {
  Variant a = VarArrayCreate({1, 3}, varInteger);
  EXPECT_EQ(VarType(a), varArray | varInteger);
  EXPECT_EQ(VarArrayDimCount(a), 1);
  EXPECT_EQ(VarArrayLowBound(a, 1), 1);
  EXPECT_EQ(VarArrayHighBound(a, 1), 3);
  EXPECT_EQ(VarType(VarArrayGet(a, 2)), varInteger);
  EXPECT_EQ(VarArrayGet(a, 2).VInteger(), 0);
  VarArrayPut(a, Variant(u"5"), 3);  // cast to the element type
  EXPECT_EQ(VarArrayGet(a, 3).VInteger(), 5);
  EXPECT_FALSE(VarIsByteArray(a));

  const Variant of = VarArrayOf({Variant(1), Variant(u"A"), Null()});
  EXPECT_EQ(VarArrayLowBound(of, 1), 0);
  EXPECT_EQ(VarArrayHighBound(of, 1), 2);
  EXPECT_EQ(VarType(of.GetElement(1)), varUString);
  EXPECT_TRUE(VarIsNull(of.GetElement(2)));
  EXPECT_EQ(VarArrayDimCount(Variant(1)), 0);

  const Variant empty = VarArrayCreate({0, -1}, varByte);
  EXPECT_TRUE(VarIsByteArray(empty));
  EXPECT_EQ(VarArrayHighBound(empty, 1), -1);

  struct Case {
    std::function<void()> action;
    const char* kind;
    const char* text;
  };
  const Case errors[] = {
      {[&] { VarArrayGet(a, 0); }, "badindex", "Variant or safe array index out of bounds"},
      {[&] { VarArrayGet(a, 4); }, "badindex", "Variant or safe array index out of bounds"},
      {[&] { VarArrayPut(a, Variant(1), -2147483647 - 1); }, "badindex", "Variant or safe array index out of bounds"},
      {[&] { VarArrayGet(empty, 0); }, "badindex", "Variant or safe array index out of bounds"},
      {[&] { VarArrayPut(a, Variant(u"x"), 1); }, "cast", "Could not convert variant of type (UnicodeString) into type (Integer)"},
      {[] { VarArrayGet(Variant(1), 0); }, "variant", "Variant is not an array"},
      {[&] { VarArrayLowBound(a, 2); }, "variant", "Invalid argument"},
      {[] { VarArrayCreate({0, 1, 0, 1}, varVariant); }, "variant", "Error creating variant or safe array"},
      {[] { VarArrayCreate({5, 3}, varVariant); }, "variant", "Error creating variant or safe array"},
      {[] { VarArrayCreate({0, 1}, varSQLTimeStamp); }, "variant", "Error creating variant or safe array"},
  };
  for (const Case& c : errors) {
    std::string kind;
    EXPECT_EQ(Raised(c.action, &kind), c.text);
    EXPECT_EQ(kind, c.kind) << c.text;
  }
  // A failed put leaves the element as it was.
  EXPECT_EQ(VarArrayGet(a, 1).VInteger(), 0);
}

TEST_F(VariantTest, ByteArraysLockAndConvert) {
  Variant bytes = VarArrayCreate({0, 3}, varByte);
  ASSERT_TRUE(VarIsByteArray(bytes));
  auto* p = static_cast<Byte*>(VarArrayLock(bytes));
  p[0] = 0xDE;
  p[3] = 0xEF;
  EXPECT_EQ(Raised([&] { VarArrayRedim(bytes, 10); }), "Variant or safe array is locked");
  VarArrayUnlock(bytes);
  EXPECT_EQ(VarToBytes(bytes), (std::vector<Byte>{0xDE, 0, 0, 0xEF}));
  EXPECT_EQ(VarArrayGet(bytes, 3).VByte(), 0xEF);
  EXPECT_EQ(Raised([&] { VarArrayUnlock(bytes); }), "Invalid variant operation");

  VarArrayRedim(bytes, 5);
  EXPECT_EQ(VarToBytes(bytes), (std::vector<Byte>{0xDE, 0, 0, 0xEF, 0, 0}));

  const std::vector<Byte> raw = {1, 171};
  const Variant fromRaw = VarFromBytes(raw);
  EXPECT_TRUE(VarIsByteArray(fromRaw));
  EXPECT_EQ(VarToBytes(fromRaw), raw);
  EXPECT_EQ(VarToBytes(VarFromAnsi("ab")), (std::vector<Byte>{'a', 'b'}));
  EXPECT_EQ(VarToBytes(Variant(u"中")), (std::vector<Byte>{0xD6, 0xD0}));
  EXPECT_EQ(Raised([] { VarToBytes(Variant(5)); }), "Could not convert variant of type (Integer) into type (Array Byte)");

  // An array of variants locks as its Variant elements.
  Variant items = VarArrayOf({Variant(1), Variant(2)});
  auto* v = static_cast<Variant*>(VarArrayLock(items));
  v[1] = Variant(u"two");
  VarArrayUnlock(items);
  EXPECT_EQ(U8(VarToStr(VarArrayGet(items, 1))), "two");
}

TEST_F(VariantTest, ArrayCopiesAreIndependent) {
  Variant a = VarArrayOf({Variant(1), Variant(2)});
  Variant b = a;
  b.SetElement(0, Variant(9));
  EXPECT_EQ(a.GetElement(0).VInteger(), 1);
  EXPECT_EQ(b.GetElement(0).VInteger(), 9);
  // A copy of a locked array is not locked.
  VarArrayLock(a);
  Variant c = a;
  EXPECT_NO_THROW(VarArrayRedim(c, 5));
  VarArrayUnlock(a);
  EXPECT_EQ(VarArrayHighBound(a, 1), 1);
}

// ---- ownership ------------------------------------------------------------------------------------

// Run under ASan with leak detection: every payload kind copied, moved, self-assigned and overwritten
// by every other must leave nothing behind.
TEST_F(VariantTest, CopyMoveAndReassignEveryKindWithoutLeaks) {
  const std::vector<Variant> samples = {
      Variant(),
      Null(),
      Variant(42),
      Variant(2.5),
      Variant(u"a text long enough to leave the small-string buffer of std::u16string"),
      VarFromOleStr(u"ole"),
      VarFromAnsi(std::string(100, 'x')),
      Variant(TSQLTimeStamp{2024, 1, 5, 10, 30, 0, 0}),
      Variant(TSQLTimeStampOffset{2024, 1, 5, 10, 30, 0, 0, 8, 0}),
      Variant(Bcd("123.456")),
      VarFromBytes(std::vector<Byte>(50, 7)),
      VarArrayOf({Variant(u"nested"), VarArrayOf({Variant(1), VarFromAnsi("deep")})}),
  };
  for (const Variant& x : samples) {
    for (const Variant& y : samples) {
      Variant a = x;
      Variant b = y;
      a = b;  // copy over another kind
      EXPECT_EQ(VarType(a), VarType(y));
      Variant c = std::move(a);
      EXPECT_TRUE(VarIsEmpty(a));  // NOLINT(bugprone-use-after-move): moved-from is Empty
      a = std::move(c);
      b = x;
      b = b;  // self-assignment
      Variant& self = b;
      b = std::move(self);
      EXPECT_EQ(VarType(b), VarType(x));
    }
  }
  // Shared texts: a copy reads the same text after the original is gone.
  Variant copy;
  {
    Variant original(u"shared");
    copy = original;
  }
  EXPECT_EQ(U8(copy.VUString()), "shared");

  std::vector<Variant> many(samples.begin(), samples.end());
  many.insert(many.end(), samples.begin(), samples.end());
  many.erase(many.begin() + 3, many.begin() + 9);
  many.clear();
}

TEST_F(VariantTest, NumbersStayInline) {
  static_assert(sizeof(Variant) == 16);
  static_assert(std::is_nothrow_move_constructible_v<Variant>);
  static_assert(std::is_nothrow_move_assignable_v<Variant>);
  // Raw reads check the kind.
  EXPECT_EQ(Variant(short{-2}).VSmallint(), -2);
  EXPECT_EQ(Variant(4000000000u).VLongWord(), 4000000000u);
  EXPECT_EQ(Raised([] { Variant(1).VDouble(); }), "Could not convert variant of type (Integer) into type (Double)");
}

// ---- custom kinds ---------------------------------------------------------------------------------

TEST_F(VariantTest, CustomKindsRoundTrip) {
  const TSQLTimeStamp ts{2024, 2, 29, 23, 59, 59, 999};
  const Variant vts(ts);
  // Time stamp → date → time stamp keeps every field, the milliseconds included.
  const Variant asDate = VarAsType(vts, varDate);
  const TSQLTimeStamp back = VarAsType(asDate, varSQLTimeStamp).VSQLTimeStamp();
  EXPECT_EQ(std::memcmp(&back, &ts, sizeof ts), 0);
  EXPECT_EQ(VarCompareValue(vts, asDate), vrEqual);

  // Before 1899-12-30 as well.
  const TSQLTimeStamp old{1850, 6, 1, 6, 0, 0, 0};
  const TSQLTimeStamp oldBack = VarAsType(VarAsType(Variant(old), varDate), varSQLTimeStamp).VSQLTimeStamp();
  EXPECT_EQ(std::memcmp(&oldBack, &old, sizeof old), 0);

  // With offset: through its text and back.
  const TSQLTimeStampOffset tso{2024, 1, 5, 10, 30, 15, 0, -5, -30};
  const Variant text = VarAsType(Variant(tso), varUString);
  const TSQLTimeStampOffset tsoBack = VarAsType(text, varSQLTimeStampOffset).VSQLTimeStampOffset();
  EXPECT_EQ(std::memcmp(&tsoBack, &tso, sizeof tso), 0) << U8(VarToStr(text));
  const TSQLTimeStamp plain = Variant(tso).AsSQLTimeStamp();
  EXPECT_EQ(plain.Hour, 10);

  // BCD: text, double and currency round trips, exact.
  struct BcdCase {
    const char* text;
    int precision;
    int places;
  };
  const BcdCase bcds[] = {{"0", 1, 0}, {"-12.5", 3, 1}, {"0.05", 2, 2}, {"123456789012345678901234567890.123456789", 39, 9}};
  for (const BcdCase& c : bcds) {
    const Variant v = VarAsType(Variant(Str(c.text)), varFMTBcd);
    EXPECT_EQ(v.VBcd().Precision, c.precision) << c.text;
    EXPECT_EQ(v.VBcd().SignSpecialPlaces & 0x3F, c.places) << c.text;
    EXPECT_EQ(U8(VarToStr(v)), c.text);
    EXPECT_EQ(VarCompareValue(VarAsType(VarAsType(v, varUString), varFMTBcd), v), vrEqual);
  }
  EXPECT_EQ(VarAsType(Variant(0.1), varFMTBcd).AsDouble(), 0.1);
  EXPECT_EQ(VarAsType(Variant(Currency::FromScaled(-12345)), varFMTBcd).AsCurrency(), Currency::FromScaled(-12345));
  // More decimals than a currency holds round half to even.
  EXPECT_EQ(Variant(Bcd("0.00005")).AsCurrency(), Currency::FromScaled(0));
  EXPECT_EQ(Variant(Bcd("0.00015")).AsCurrency(), Currency::FromScaled(2));
  EXPECT_EQ(Raised([] { Variant(Bcd("1e30")).AsCurrency(); }),
            "Overflow while converting variant of type (FMTBcd) into type (Currency)");
  // Dates convert through their serial number.
  EXPECT_EQ(U8(VarToStr(VarAsType(VarFromDateTime(45296.25), varFMTBcd))), "45296.25");
}

TEST_F(VariantTest, MalformedBcdIsRejectedNotRead) {
  TBcd bad;
  bad.Precision = 65;  // more digits than the record holds
  EXPECT_EQ(Raised([&] { VarToStr(Variant(bad)); }), "Could not convert variant of type (FMTBcd) into type (UnicodeString)");
  TBcd nibble;
  nibble.Precision = 2;
  nibble.Fraction[0] = 0x1A;  // second digit is not a digit
  EXPECT_EQ(Raised([&] { Variant(nibble).AsDouble(); }), "Could not convert variant of type (FMTBcd) into type (Double)");
  TBcd places;
  places.Precision = 2;
  places.SignSpecialPlaces = 5;  // more places than digits
  EXPECT_EQ(Raised([&] { VarCompareValue(Variant(places), Variant(1)); }),
            "Could not convert variant of type (FMTBcd) into type (FMTBcd)");
}

}  // namespace
