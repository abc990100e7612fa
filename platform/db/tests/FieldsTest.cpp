#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "platform/db/tests/TestSupport.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

// Switches the system code page for one test and puts it back.
class CodePageScope {
 public:
  explicit CodePageScope(unsigned cp) : FOld(sys::GetSystemCodePage()) { sys::SetSystemCodePage(cp); }
  ~CodePageScope() { sys::SetSystemCodePage(FOld); }

 private:
  unsigned FOld;
};

// One open dataset with one field of the given type, in insert state.
struct OneField {
  TVectorDataSet ds{nullptr};
  TField* field = nullptr;
  OneField(TFieldType type, int size) {
    ds.FieldDefs().Add(u"F", type, size);
    ds.Open();
    ds.Append();
    field = ds.FieldByName(u"F");
  }
  std::vector<Byte> Native() {
    std::vector<Byte> b(static_cast<std::size_t>(field->DataSize()));
    EXPECT_TRUE(field->GetData(b));
    return b;
  }
};

// ---- typed setters and getters, per type ----------------------------------------------------------------

struct AccessCase {
  const char* name;
  TFieldType type;
  int size;
  std::function<void(TField&)> set;
  std::function<void(const TField&)> check;  // after Post, reading back
  String (*text)();                          // AsString afterwards (the platform's own formatting)
};

class Access : public ::testing::TestWithParam<AccessCase> {};

TEST_P(Access, SetPostReadBack) {
  const AccessCase& c = GetParam();
  OneField f(c.type, c.size);
  EXPECT_TRUE(f.field->IsNull());
  c.set(*f.field);
  EXPECT_FALSE(f.field->IsNull());
  f.ds.Post();
  c.check(*f.field);
  EXPECT_EQ(f.field->AsString(), c.text());
  // The dynamic value goes back in unchanged.
  const Variant v = f.field->AsVariant();
  f.ds.Edit();
  f.field->Clear();
  EXPECT_TRUE(f.field->IsNull());
  f.field->SetAsVariant(v);
  f.ds.Post();
  EXPECT_EQ(f.field->AsString(), c.text());
}

const TDateTime kNoon = 45000.5;  // 2023-03-15 12:00

INSTANTIATE_TEST_SUITE_P(
    PerType, Access,
    ::testing::Values(
        AccessCase{"String", ftString, 10, [](TField& f) { f.SetAsString(u"hello"); },
                   [](const TField& f) { EXPECT_EQ(f.AsAnsiString(), "hello"); }, [] { return String(u"hello"); }},
        AccessCase{"WideString", ftWideString, 20, [](TField& f) { f.SetAsString(u"Address for x"); },
                   [](const TField& f) { EXPECT_EQ(f.AsWideString(), u"Address for x"); }, [] { return String(u"Address for x"); }},
        AccessCase{"Smallint", ftSmallint, 0, [](TField& f) { f.SetAsInteger(-12345); },
                   [](const TField& f) { EXPECT_EQ(f.AsInteger(), -12345); }, [] { return String(u"-12345"); }},
        AccessCase{"Integer", ftInteger, 0, [](TField& f) { f.SetAsInteger(50000); },
                   [](const TField& f) { EXPECT_EQ(f.AsLargeInt(), 50000); }, [] { return String(u"50000"); }},
        AccessCase{"Word", ftWord, 0, [](TField& f) { f.SetAsInteger(65535); },
                   [](const TField& f) { EXPECT_EQ(f.AsInteger(), 65535); }, [] { return String(u"65535"); }},
        AccessCase{"AutoInc", ftAutoInc, 0, [](TField& f) { f.SetAsInteger(7); },
                   [](const TField& f) { EXPECT_EQ(f.AsInteger(), 7); }, [] { return String(u"7"); }},
        AccessCase{"Shortint", ftShortint, 0, [](TField& f) { f.SetAsInteger(-1); },
                   [](const TField& f) { EXPECT_EQ(f.AsInteger(), -1); }, [] { return String(u"-1"); }},
        AccessCase{"Byte", ftByte, 0, [](TField& f) { f.SetAsInteger(255); },
                   [](const TField& f) { EXPECT_EQ(f.AsInteger(), 255); }, [] { return String(u"255"); }},
        AccessCase{"LongWord", ftLongWord, 0, [](TField& f) { f.SetAsLargeInt(4000000000LL); },
                   [](const TField& f) { EXPECT_EQ(f.AsLongWord(), 4000000000u); }, [] { return String(u"4000000000"); }},
        AccessCase{"Largeint", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(-9000000000LL); },
                   [](const TField& f) { EXPECT_EQ(f.AsLargeInt(), -9000000000LL); }, [] { return String(u"-9000000000"); }},
        AccessCase{"Boolean", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); },
                   [](const TField& f) { EXPECT_TRUE(f.AsBoolean()); }, [] { return String(u"True"); }},
        AccessCase{"Float", ftFloat, 0, [](TField& f) { f.SetAsFloat(4000.25); },
                   [](const TField& f) { EXPECT_DOUBLE_EQ(f.AsFloat(), 4000.25); }, [] { return String(u"4000.25"); }},
        AccessCase{"Single", ftSingle, 0, [](TField& f) { f.SetAsSingle(1.5f); },
                   [](const TField& f) { EXPECT_FLOAT_EQ(f.AsSingle(), 1.5f); }, [] { return String(u"1.5"); }},
        AccessCase{"Extended", ftExtended, 0, [](TField& f) { f.SetAsExtended(-2.75); },
                   [](const TField& f) { EXPECT_DOUBLE_EQ(f.AsExtended(), -2.75); }, [] { return String(u"-2.75"); }},
        AccessCase{"Currency", ftCurrency, 0, [](TField& f) { f.SetAsCurrency(Currency::FromScaled(123456)); },
                   [](const TField& f) { EXPECT_EQ(f.AsCurrency().Scaled, 123456); }, [] { return String(u"12.3456"); }},
        AccessCase{"BCD", ftBCD, 4, [](TField& f) { f.SetAsCurrency(Currency::FromScaled(-15000)); },
                   [](const TField& f) { EXPECT_EQ(f.AsCurrency().Scaled, -15000); }, [] { return String(u"-1.5"); }},
        AccessCase{"FMTBcd", ftFMTBcd, 4, [](TField& f) { f.SetAsString(u"12.5"); },
                   [](const TField& f) { EXPECT_DOUBLE_EQ(f.AsFloat(), 12.5); }, [] { return String(u"12.5"); }},
        AccessCase{"Date", ftDate, 0, [](TField& f) { f.SetAsDateTime(EncodeDate(2023, 3, 15)); },
                   [](const TField& f) { EXPECT_EQ(f.AsDateTime(), EncodeDate(2023, 3, 15)); }, [] { return DateToStr(EncodeDate(2023, 3, 15)); }},
        AccessCase{"Time", ftTime, 0, [](TField& f) { f.SetAsDateTime(EncodeTime(13, 14, 15, 0)); },
                   [](const TField& f) { EXPECT_DOUBLE_EQ(f.AsDateTime(), EncodeTime(13, 14, 15, 0)); }, [] { return TimeToStr(EncodeTime(13, 14, 15, 0)); }},
        AccessCase{"DateTime", ftDateTime, 0, [](TField& f) { f.SetAsDateTime(kNoon); },
                   [](const TField& f) { EXPECT_DOUBLE_EQ(f.AsDateTime(), kNoon); }, [] { return DateTimeToStr(kNoon); }},
        AccessCase{"TimeStamp", ftTimeStamp, 0, [](TField& f) { f.SetAsDateTime(kNoon); },
                   [](const TField& f) { EXPECT_EQ(f.AsSQLTimeStamp().Hour, 12); }, [] { return DateTimeToStr(kNoon); }},
        AccessCase{"TimeStampOffset", ftTimeStampOffset, 0, [](TField& f) { f.SetAsDateTime(kNoon); },
                   [](const TField& f) { EXPECT_EQ(f.AsSQLTimeStampOffset().Day, 15); }, [] { return DateTimeToStr(kNoon); }},
        AccessCase{"Bytes", ftBytes, 3, [](TField& f) { f.SetAsBytes({1, 2, 3}); },
                   [](const TField& f) { EXPECT_EQ(f.AsBytes(), (TBytes{1, 2, 3})); }, [] { return String(u"\x01\x02\x03"); }},
        AccessCase{"VarBytes", ftVarBytes, 8, [](TField& f) { f.SetAsBytes({9, 8}); },
                   [](const TField& f) { EXPECT_EQ(f.AsBytes(), (TBytes{9, 8})); }, [] { return String(u"\x09\x08"); }},
        AccessCase{"Memo", ftMemo, 0, [](TField& f) { f.SetAsString(u"memo text"); },
                   [](const TField& f) { EXPECT_EQ(f.AsAnsiString(), "memo text"); }, [] { return String(u"memo text"); }},
        AccessCase{"WideMemo", ftWideMemo, 0, [](TField& f) { f.SetAsString(u"Comment for 张三"); },
                   [](const TField& f) { EXPECT_EQ(f.AsBytes().size(), 28u) << "UTF-16LE bytes"; },
                   [] { return String(u"Comment for 张三"); }},
        AccessCase{"Blob", ftBlob, 0, [](TField& f) { f.SetAsBytes({65, 0, 66}); },
                   [](const TField& f) { EXPECT_EQ(f.AsBytes(), (TBytes{65, 0, 66})); },
                   [] { return String(u"A\0B", 3); }}),
    [](const ::testing::TestParamInfo<AccessCase>& info) { return std::string(info.param.name); });

// Texts that a type cannot take raise the type's own message.
TEST(Fields, BadTextRaisesWithTheFieldName) {
  struct Case {
    TFieldType type;
    const char16_t* text;
    const char* expect;
  };
  const Case cases[] = {
      {ftInteger, u"12x", "'12x' is not a valid integer value for field 'F'"},
      {ftFloat, u"1.2.3", "'1.2.3' is not a valid floating point value for field 'F'"},
      {ftBoolean, u"maybe", "'maybe' is not a valid boolean value for field 'F'"},
      {ftSmallint, u"40000", "40000 is not a valid value for field 'F'. The allowed range is -32768 to 32767"},
      {ftLargeint, u"9x", "'9x' is not a valid integer value for field 'F'"},
      {ftLongWord, u"-", "'-' is not a valid integer value for field 'F'"},
      {ftCurrency, u"abc", "'abc' is not a valid floating point value for field 'F'"},
      {ftBCD, u"1.2.3", "'1.2.3' is not a valid floating point value for field 'F'"},
      {ftFMTBcd, u"x1", "'x1' is not a valid floating point value for field 'F'"},
  };
  for (const Case& c : cases) {
    OneField f(c.type, 0);
    try {
      f.field->SetAsString(c.text);
      ADD_FAILURE() << c.expect;
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.expect);
    }
  }
}

TEST(Fields, AccessAsTheWrongTypeRaises) {
  OneField f(ftBoolean, 0);
  try {
    f.field->SetAsDateTime(1.0);
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot access field 'F' as type DateTime");
  }
}

TEST(Fields, EmptyTextClearsANumber) {
  OneField f(ftInteger, 0);
  f.field->SetAsInteger(5);
  f.field->SetAsString(u"");
  EXPECT_TRUE(f.field->IsNull());
  EXPECT_EQ(f.field->AsInteger(), 0);
  EXPECT_TRUE(VarIsNull(f.field->AsVariant()));
}

// Every number and time stamp type reads empty text as "no value", and surrounding blanks as nothing.
TEST(Fields, EmptyTextClearsAndBlanksAreTrimmed) {
  struct Case {
    TFieldType type;
    const char16_t* padded;
    const char16_t* read;  // AsString of the padded text
  };
  const Case cases[] = {
      {ftLargeint, u" 7 ", u"7"},
      {ftLongWord, u" 7", u"7"},
      {ftFloat, u"2.5 ", u"2.5"},
      {ftCurrency, u" 2.5", u"2.5"},
      {ftBCD, u" 2 ", u"2"},
      {ftFMTBcd, u" 2.5", u"2.5"},
      {ftSmallint, u" -3", u"-3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    OneField f(c.type, 0);
    f.field->SetAsString(c.padded);
    EXPECT_EQ(f.field->AsString(), String(c.read));
    f.field->SetAsString(u"");
    EXPECT_TRUE(f.field->IsNull());
    EXPECT_TRUE(VarIsNull(f.field->AsVariant()));
  }
  for (TFieldType type : {ftTimeStamp, ftTimeStampOffset}) {
    SCOPED_TRACE(static_cast<int>(type));
    OneField f(type, 0);
    f.field->SetAsDateTime(1.5);
    f.field->SetAsString(u"");
    EXPECT_TRUE(f.field->IsNull());
  }
}

// ---- native forms -------------------------------------------------------------------------------------------

TEST(NativeForms, StringIsCutAtSizeBytesInTheSystemCodePage) {
  struct Case {
    unsigned codePage;
    int size;
    const char16_t* text;
    const char16_t* stored;  // what reads back
    std::size_t bytes;       // bytes before the terminator
  };
  const Case cases[] = {
      {936, 10, u"张三李四王五", u"张三李四王", 10},
      {936, 5, u"张三李", u"张三", 4},  // the third character would be split: it goes whole
      {936, 10, u"ab张三", u"ab张三", 6},
      {936, 3, u"a张三", u"a张", 3},
      {1252, 4, u"Ünïcode", u"Ünïc", 4},
      {1252, 10, u"café", u"café", 4},
  };
  for (const Case& c : cases) {
    CodePageScope cp(c.codePage);
    OneField f(ftString, c.size);
    f.field->SetAsString(c.text);
    const std::vector<Byte> native = f.Native();
    ASSERT_EQ(native.size(), static_cast<std::size_t>(c.size) + 1);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(native.data())), c.bytes) << c.codePage;
    EXPECT_EQ(native[c.bytes], 0);
    f.ds.Post();
    EXPECT_EQ(f.field->AsString(), String(c.stored)) << c.codePage;
  }
}

TEST(NativeForms, WideStringIsCutAtSizeCharacters) {
  struct Case {
    int size;
    const char16_t* text;
    const char16_t* stored;
  };
  const Case cases[] = {
      {5, u"abcdefg", u"abcde"},
      {20, u"Address for 张三", u"Address for 张三"},
      {5, u"abcd\U0001F600", u"abcd"},  // a surrogate pair is never halved
      {0, u"x", u""},
  };
  for (const Case& c : cases) {
    OneField f(ftWideString, c.size);
    EXPECT_EQ(f.field->DataSize(), (c.size + 1) * 2);
    f.field->SetAsString(c.text);
    const std::vector<Byte> native = f.Native();
    const std::size_t n = std::char_traits<char16_t>::length(c.stored);
    EXPECT_EQ(native[2 * n], 0);
    EXPECT_EQ(native[2 * n + 1], 0);
    EXPECT_EQ(f.field->AsString(), String(c.stored));
  }
}

TEST(NativeForms, ReadsStopAtTheSlotEvenWithoutATerminator) {
  {
    OneField f(ftString, 4);
    const std::vector<Byte> full(5, 'A');  // Size + 1 bytes, none of them zero
    f.field->SetData(full);
    EXPECT_EQ(f.field->AsString(), u"AAAA");
  }
  {
    OneField f(ftWideString, 3);
    const std::vector<Byte> full(8, 'B');
    f.field->SetData(full);
    EXPECT_EQ(f.field->AsString().size(), 3u);
  }
}

TEST(NativeForms, FixedLayouts) {
  struct Case {
    const char* name;
    TFieldType type;
    std::function<void(TField&)> set;
    std::vector<Byte> bytes;
  };
  auto le64 = [](double d) {
    std::vector<Byte> b(8);
    std::memcpy(b.data(), &d, 8);
    return b;
  };
  const Case cases[] = {
      {"Integer", ftInteger, [](TField& f) { f.SetAsInteger(0x01020304); }, {4, 3, 2, 1}},
      {"Boolean true", ftBoolean, [](TField& f) { f.SetAsBoolean(true); }, {1, 0}},
      {"Boolean false", ftBoolean, [](TField& f) { f.SetAsBoolean(false); }, {0, 0}},
      {"Float", ftFloat, [](TField& f) { f.SetAsFloat(1.0); }, le64(1.0)},
      {"DateTime 1899-12-30", ftDateTime, [](TField& f) { f.SetAsDateTime(EncodeDate(1899, 12, 30)); },
       le64(693594.0 * 86400000.0)},
      {"DateTime 0001-01-01 06:00", ftDateTime,
       [](TField& f) { f.SetAsDateTime(EncodeDateTime(1, 1, 1, 6, 0, 0, 0)); }, le64(86400000.0 + 6 * 3600000.0)},
      {"Date 0001-01-01", ftDate, [](TField& f) { f.SetAsDateTime(EncodeDate(1, 1, 1)); }, {1, 0, 0, 0}},
      {"Time 00:00:01.5", ftTime, [](TField& f) { f.SetAsDateTime(EncodeTime(0, 0, 1, 500)); }, {0xDC, 0x05, 0, 0}},
  };
  for (const Case& c : cases) {
    OneField f(c.type, 0);
    c.set(*f.field);
    EXPECT_EQ(f.Native(), c.bytes) << c.name;
  }
}

TEST(FieldTypes, OrdinalsAndNames) {
  EXPECT_EQ(ftWideString, 24);
  EXPECT_EQ(ftWideMemo, 39);
  EXPECT_EQ(ftShortint, 43);
  EXPECT_EQ(ftExtended, 45);
  EXPECT_EQ(ftSingle, 51);
  EXPECT_EQ(FieldTypeName(ftWideMemo), u"WideMemo");
  EXPECT_EQ(FieldTypeName(ftTimeStampOffset), u"TimeStampOffset");
  EXPECT_EQ(FieldTypeFromName(u"largeint"), ftLargeint);
  for (int t = 0; t < kFieldTypeCount; ++t)
    EXPECT_EQ(FieldTypeFromName(FieldTypeName(static_cast<TFieldType>(t))), t) << "names are unique";
}

TEST(Fields, ValidateSeesTheNewValueAndCanRefuseIt) {
  OneField f(ftInteger, 0);
  int seen = 0;
  f.field->OnValidate = [&seen](TField& field) {
    seen = field.AsInteger();
    if (seen < 0) throw EDatabaseError(u"negative");
  };
  f.field->SetAsInteger(4);
  EXPECT_EQ(seen, 4);
  EXPECT_THROW(f.field->SetAsInteger(-1), EDatabaseError);
  EXPECT_EQ(f.field->AsInteger(), 4) << "a refused value is not stored";
}

TEST(Fields, OldValueIsTheStoredRowWhileEditing) {
  TVectorDataSet ds(nullptr);
  dbtest::OpenWithIds(ds, {5});
  ds.Edit();
  ds.FieldByName(u"ID")->SetAsInteger(6);
  EXPECT_EQ(ds.FieldByName(u"ID")->OldValue().AsInteger(), 5);
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 6);
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName(u"ID")->AsInteger(), 5);
}

}  // namespace

namespace {

TEST(NativeForms, FormatFlagConvertsDatesAndBcd) {
  struct Case {
    TFieldType type;
    double typed;           // the value in the typed form (TDateTime, or Currency units)
    std::size_t nativeSize;
  };
  const Case cases[] = {
      {ftDate, 45000.0, 4},
      {ftTime, 0.75, 4},
      {ftDateTime, 45000.25, 8},
      {ftBCD, 12.5, 34},
  };
  for (const Case& c : cases) {
    OneField f(c.type, c.type == ftBCD ? 2 : 0);
    TDataSet& ds = f.ds;
    Byte typed[8];
    if (c.type == ftBCD) {
      const Currency cur = Currency::FromDouble(c.typed);
      std::memcpy(typed, &cur, 8);
    } else {
      std::memcpy(typed, &c.typed, 8);
    }
    ds.WriteFieldData(f.field, typed, false);
    EXPECT_EQ(f.Native().size(), c.nativeSize);
    Byte back[8] = {};
    ASSERT_TRUE(ds.GetFieldData(f.field, back, false));
    EXPECT_EQ(std::memcmp(back, typed, 8), 0) << FieldTypeName(c.type).size();
    // The raw null forms.
    ds.WriteFieldData(f.field, static_cast<const Byte*>(nullptr), false);
    EXPECT_FALSE(ds.GetFieldData(f.field, static_cast<Byte*>(nullptr), false));
  }
}

}  // namespace

namespace {

// Stored values outside the calendar come from damaged files or foreign engines: reading them raises the
// conversion error instead of overflowing.
TEST(NativeForms, OutOfRangeDatesRaiseConvertError) {
  auto le32 = [](std::int32_t v) {
    std::vector<Byte> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  };
  auto le64 = [](double d) {
    std::vector<Byte> b(8);
    std::memcpy(b.data(), &d, 8);
    return b;
  };
  struct Case {
    const char* name;
    TFieldType type;
    std::vector<Byte> bytes;
  };
  const Case cases[] = {
      {"Date INT_MIN", ftDate, le32(INT32_MIN)},
      {"Date 0", ftDate, le32(0)},
      {"Date past 9999-12-31", ftDate, le32(3652060)},
      {"Date INT_MAX", ftDate, le32(INT32_MAX)},
      {"Time negative", ftTime, le32(-1)},
      {"Time a whole day", ftTime, le32(86400000)},
      {"DateTime 1.2e292", ftDateTime, le64(1.2e292)},
      {"DateTime -1.2e292", ftDateTime, le64(-1.2e292)},
      {"DateTime zero", ftDateTime, le64(0.0)},
      {"DateTime NaN", ftDateTime, le64(std::nan(""))},
      {"DateTime infinity", ftDateTime, le64(HUGE_VAL)},
  };
  for (const Case& c : cases) {
    OneField f(c.type, 0);
    f.field->SetData(c.bytes);
    EXPECT_THROW(f.field->AsDateTime(), EConvertError) << c.name;
  }
  // The edges of the calendar still read.
  OneField last(ftDate, 0);
  last.field->SetData(le32(3652059));
  EXPECT_EQ(last.field->AsDateTime(), EncodeDate(9999, 12, 31));
  OneField lastMs(ftDateTime, 0);
  lastMs.field->SetData(le64(3652060.0 * 86400000.0 - 1));
  EXPECT_EQ(lastMs.field->AsDateTime(), EncodeDateTime(9999, 12, 31, 23, 59, 59, 999));
}

}  // namespace

namespace {

// A field made for a definition reports the definition's type, also where one class serves several.
TEST(Fields, FieldsMadeForDefinitionsKeepTheirType) {
  for (TFieldType type : {ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftOraBlob, ftOraClob, ftMemo, ftBlob,
                          ftWideMemo, ftGraphic}) {
    OneField f(type, 0);
    EXPECT_EQ(f.field->DataType(), type) << FieldTypeName(type).size();
  }
  // Across the 8-bit / UTF-16 line the class decides: a memo field never claims to hold UTF-16.
  TMemoField memo(nullptr);
  memo.SetFieldType(ftWideMemo);
  EXPECT_EQ(memo.DataType(), ftMemo);
  TIntegerField integer(nullptr);
  integer.SetFieldType(ftFmtMemo);
  EXPECT_EQ(integer.DataType(), ftInteger);
}

}  // namespace
