// The record store: row layout, blob sharing by reference count, the typed getters and the comparison
// of stored values.
#include "engines/fieldlist/IdRecordStore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engines/fieldlist/IdConvert.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

class CodePage936 : public ::testing::Test {
 protected:
  void SetUp() override { sys::SetSystemCodePage(936); }
};

struct BenchmarkStore {
  TBlobTable Blobs;
  TIdRecordStore Store{Blobs};
  BenchmarkStore() {
    Store.AddField(idft::Integer, 0);      // CustomerID
    Store.AddField(idft::String, 10);      // ContactName
    Store.AddField(idft::DateTime, 0);     // Birthdate
    Store.AddField(idft::Boolean, 0);      // MaritalStatus
    Store.AddField(idft::Float, 0);        // Salary
    Store.AddField(idft::WideString, 20);  // Address
    Store.AddField(idft::WideMemo, 0);     // Comment
  }
};

TBytes Wide(std::u16string_view s) { return TextToBytes(idft::WideString, s); }

using StoreLayout = CodePage936;

TEST_F(StoreLayout, BenchmarkRowIs90BytesWithTheseOffsets) {
  BenchmarkStore b;
  struct Case {
    int field;
    int offset;
    int dataSize;
  };
  const Case cases[] = {{0, 5, 4}, {1, 10, 11}, {2, 22, 8}, {3, 31, 2}, {4, 34, 8}, {5, 43, 42}, {6, 86, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(b.Store.Fields(c.field)->OffSet(), c.offset);
    EXPECT_EQ(b.Store.Fields(c.field)->DataSize(), c.dataSize);
  }
  EXPECT_EQ(b.Store.RecordSize(), 85);
  EXPECT_EQ(b.Store.BlockSize(), 90);
}

TEST_F(StoreLayout, RecordSizeOver65535Raises) {
  TBlobTable blobs;
  TIdRecordStore store(blobs);
  store.AddField(idft::Bytes, 60000);
  EXPECT_THROW(store.AddField(idft::Bytes, 5535), EDatabaseError);  // 60001 + 5536 > 65535
  EXPECT_EQ(store.RecordSize(), 60001);
  EXPECT_NO_THROW(store.AddField(idft::Bytes, 5533));
  EXPECT_EQ(store.RecordSize(), 65535);
}

TEST_F(StoreLayout, UnsupportedTypeRaises) {
  TBlobTable blobs;
  TIdRecordStore store(blobs);
  for (int t : {idft::Unknown, 22 /* cursor */, 23 /* fixed char */, 42 /* long word */, 51 /* single */})
    EXPECT_THROW(store.AddField(t, 0), EDatabaseError) << t;
}

TEST_F(StoreLayout, NewStoredRecordNumbersRowsAndPlacesThem) {
  BenchmarkStore b;
  b.Store.NewStoredRecord(-1);  // 1
  b.Store.NewStoredRecord(0);   // 2 before 1
  b.Store.NewStoredRecord(99);  // 3 appended
  b.Store.NewStoredRecord(1);   // 4 between 2 and 1
  std::vector<std::int32_t> order;
  for (int i = 0; i < b.Store.Count(); ++i) order.push_back(TIdRecordStore::BookmarkOf(b.Store.Row(i)));
  EXPECT_EQ(order, (std::vector<std::int32_t>{2, 4, 1, 3}));
  EXPECT_EQ(b.Store.FindBookmark(3, 0), 3);
  EXPECT_EQ(b.Store.FindBookmark(2, 3), 0);
  EXPECT_EQ(b.Store.FindBookmark(7, 1), -1);
  b.Store.ClearRecords();
  EXPECT_EQ(TIdRecordStore::BookmarkOf(b.Store.NewStoredRecord(-1)), 1);
}

using BlobSharing = CodePage936;

TEST_F(BlobSharing, ABufferShowingARowSharesItsBlob) {
  BenchmarkStore b;
  const TIdField* comment = b.Store.Fields(6);
  Byte* row = b.Store.NewStoredRecord(-1);
  comment->SetRecordData(row, Wide(u"Comment for 赵一"));
  const auto handle = [&](const Byte* block) {
    std::uint32_t h;
    std::memcpy(&h, block + comment->OffSet(), 4);
    return h;
  };
  const auto h = handle(row);
  EXPECT_EQ(b.Blobs.RefCount(h), 1u);

  Byte* buffer = b.Store.AllocRecordBlock();
  b.Store.CopyRecordData(row, buffer);
  EXPECT_EQ(handle(buffer), h);
  EXPECT_EQ(b.Blobs.RefCount(h), 2u);

  // Editing the buffer's blob replaces its reference only; the row keeps its value.
  comment->SetRecordData(buffer, Wide(u"edited"));
  EXPECT_EQ(b.Blobs.RefCount(h), 1u);
  EXPECT_EQ(comment->GetAsString(0), u"Comment for 赵一");

  // Writing the buffer back shares the new block and frees the old one.
  b.Store.CopyRecordData(buffer, row);
  EXPECT_EQ(b.Blobs.RefCount(h), 0u);
  EXPECT_EQ(comment->GetAsString(0), u"edited");
  EXPECT_EQ(b.Blobs.RefCount(handle(row)), 2u);

  b.Store.FreeRecordBlock(buffer);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(b.Blobs.RefCount(handle(row)), 1u);
  b.Store.ClearRecords();
  EXPECT_EQ(b.Blobs.LiveCount(), 0u);
}

TEST_F(BlobSharing, EmptyBlobIsNullAndClearedFixedFieldKeepsItsBytes) {
  BenchmarkStore b;
  Byte* row = b.Store.NewStoredRecord(-1);
  const TIdField* comment = b.Store.Fields(6);
  comment->SetRecordData(row, TBytes{});
  EXPECT_TRUE(comment->GetIsNull(0));
  EXPECT_EQ(b.Blobs.LiveCount(), 0u);

  const TIdField* id = b.Store.Fields(0);
  const std::int32_t v = 1234;
  id->SetRecordData(row, reinterpret_cast<const Byte*>(&v), 4);
  id->SetRecordData(row, TBytes{});
  EXPECT_TRUE(id->GetIsNull(0));
  std::int32_t kept;
  std::memcpy(&kept, row + id->OffSet() + 1, 4);
  EXPECT_EQ(kept, 1234);
  EXPECT_TRUE(id->GetIsNull(5));  // a missing row reads as null
}

TEST_F(BlobSharing, GetRecordDataNeedsRoomForTheValue) {
  BenchmarkStore b;
  Byte* row = b.Store.NewStoredRecord(-1);
  const TIdField* salary = b.Store.Fields(4);
  const double v = 4000.5;
  salary->SetRecordData(row, reinterpret_cast<const Byte*>(&v), 8);
  TBytes shortBuffer(4, 0xEE), fullBuffer(8);
  EXPECT_FALSE(salary->GetRecordData(row, shortBuffer));
  EXPECT_EQ(shortBuffer, TBytes(4, 0xEE));
  EXPECT_TRUE(salary->GetRecordData(row, fullBuffer));
  double back;
  std::memcpy(&back, fullBuffer.data(), 8);
  EXPECT_EQ(back, 4000.5);
  EXPECT_FALSE(salary->GetRecordData(nullptr, fullBuffer));
}

// ---- getters ----

struct GetterCase {
  const char* name;
  int type;
  int size;
  TBytes value;
  const char16_t* asString;
  int asInteger;
  bool asBoolean;
  double asFloat;
};

template <class T>
TBytes Raw(T v) {
  TBytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

double MSecs(int y, int m, int d, int h, int n, int s, int ms) {
  std::int32_t day;
  idconv::TryEncodeDayNumber(y, m, d, day);
  return double(day) * 86400000 + ((h * 60 + n) * 60 + s) * 1000 + ms;
}

TBytes Ext(double v) {
  TBytes b(10);
  idconv::DoubleToExtended(v, b.data());
  return b;
}

using Getters = CodePage936;

TEST_F(Getters, ConvertFromEveryStoredType) {
  std::int32_t day;
  idconv::TryEncodeDayNumber(2000, 1, 2, day);
  const TBcd bcd = idconv::CurrencyToBcd(Currency::FromScaled(123400));
  const double dt2000 = 36527 + (3 * 3600 + 4 * 60 + 5.006) / 86400.0;  // 2000-01-02 03:04:05.006
  const GetterCase cases[] = {
      {"string number", idft::String, 10, TextToBytes(idft::String, u"123"), u"123", 123, true, 123},
      {"string f", idft::String, 10, TextToBytes(idft::String, u"f"), u"f", 0, false, 0},
      {"string FALSE", idft::String, 10, TextToBytes(idft::String, u"FALSE"), u"FALSE", 0, false, 0},
      {"string 0", idft::String, 10, TextToBytes(idft::String, u"0"), u"0", 0, false, 0},
      {"string blank", idft::String, 10, TextToBytes(idft::String, u" "), u" ", 0, false, 0},
      {"string x", idft::String, 10, TextToBytes(idft::String, u"x"), u"x", 0, true, 0},
      {"string blank 0", idft::String, 10, TextToBytes(idft::String, u" 0"), u" 0", 0, true, 0},
      {"string 12.5", idft::String, 10, TextToBytes(idft::String, u"12.5"), u"12.5", 0, true, 12.5},
      {"chinese", idft::String, 10, TextToBytes(idft::String, u"赵一"), u"赵一", 0, true, 0},
      {"wide", idft::WideString, 5, Wide(u"你好"), u"你好", 0, true, 0},
      {"smallint -1", idft::Smallint, 0, Raw<std::int16_t>(-1), u"-1", -1, true, -1},
      {"shortint -1", idft::Shortint, 0, Raw<std::int8_t>(-1), u"-1", -1, true, -1},
      {"word 65535", idft::Word, 0, Raw<std::uint16_t>(65535), u"65535", 65535, true, 65535},
      {"byte 200", idft::Byte, 0, Raw<std::uint8_t>(200), u"200", 200, true, 200},
      {"boolean", idft::Boolean, 0, Raw<std::uint16_t>(1), u"1", 1, true, 1},
      {"float", idft::Float, 0, Raw<double>(4000.5), u"4000.5", 4000, true, 4000.5},
      {"float negative", idft::Float, 0, Raw<double>(-2.7), u"-2.7", -2, true, -2.7},
      {"currency", idft::Currency, 0, Raw<double>(0.25), u"0.25", 0, true, 0.25},
      {"extended", idft::Extended, 0, Ext(1.5), u"1.5", 1, true, 1.5},
      {"bcd", idft::BCD, 0, Raw(bcd), u"12.34", 12, true, 12.34},
      {"largeint", idft::Largeint, 0, Raw<Int64>(Int64(1) << 40), u"1099511627776", 0, true, 1099511627776.0},
      {"date", idft::Date, 0, Raw<std::int32_t>(day), u"2000-01-02", 36527, true, 36527},
      {"time", idft::Time, 0, Raw<std::int32_t>(11045006), u"03:04:05.006", 11045006, true, (11045.006) / 86400.0},
      {"datetime", idft::DateTime, 0, Raw<double>(MSecs(2000, 1, 2, 3, 4, 5, 6)), u"2000-01-02 03:04:05.006", 36527,
       true, dt2000},
      {"bytes", idft::Bytes, 2, TBytes{1, 171}, u"0x01AB", 0xAB01, true, 0},
      {"autoinc", idft::AutoInc, 0, Raw<std::int32_t>(7), u"7", 7, true, 7},
  };
  for (const GetterCase& c : cases) {
    SCOPED_TRACE(c.name);
    TBlobTable blobs;
    TIdRecordStore store(blobs);
    const TIdField* f = store.AddField(c.type, c.size);
    f->SetRecordData(store.NewStoredRecord(-1), c.value);
    EXPECT_EQ(f->GetAsString(0), c.asString);
    EXPECT_EQ(f->GetAsInteger(0), c.asInteger);
    EXPECT_EQ(f->GetAsBoolean(0), c.asBoolean);
    if (c.type != idft::Bytes) {
      EXPECT_NEAR(f->GetAsFloat(0), c.asFloat, 1e-9);
    }
    // Null reads as the empty value of every getter.
    EXPECT_EQ(f->GetAsString(1), u"");
    EXPECT_EQ(f->GetAsInteger(1), 0);
    EXPECT_FALSE(f->GetAsBoolean(1));
  }
}

TEST_F(Getters, ShortByteValuesArePaddedNotOverread) {
  TBlobTable blobs;
  TIdRecordStore store(blobs);
  const TIdField* bytes = store.AddField(idft::Bytes, 3);
  const TIdField* varBytes = store.AddField(idft::VarBytes, 1);
  Byte* row = store.NewStoredRecord(-1);
  bytes->SetRecordData(row, TBytes{1, 2, 3});
  varBytes->SetRecordData(row, TBytes{1, 0, 9});
  EXPECT_EQ(bytes->GetAsLargeInt(0), 0x030201);
  EXPECT_EQ(varBytes->GetAsLargeInt(0), 0x090001);
  const Byte padded[8] = {1, 2, 3};
  double expected;
  std::memcpy(&expected, padded, 8);
  EXPECT_EQ(bytes->GetAsFloat(0), expected);
  const TSQLTimeStamp stamp = bytes->GetAsSQLTimeStamp(0);
  EXPECT_EQ(stamp.Year, 0x0201);
  EXPECT_EQ(stamp.Month, 3);
  EXPECT_EQ(stamp.Fractions, 0u);
}

TEST_F(Getters, DatesAndTimeStamps) {
  TBlobTable blobs;
  TIdRecordStore store(blobs);
  const TIdField* text = store.AddField(idft::String, 30);
  const TIdField* stamp = store.AddField(idft::TimeStamp, 0);
  Byte* row = store.NewStoredRecord(-1);
  text->SetRecordData(row, TextToBytes(idft::String, u"1990-05-06 07:08:09.010"));
  TSQLTimeStamp s{1990, 5, 6, 7, 8, 9, 10};
  stamp->SetRecordData(row, Raw(s));
  TDateTime expected;
  ASSERT_TRUE(idconv::TrySQLTimeStampToDateTime(s, expected));
  EXPECT_DOUBLE_EQ(text->GetAsDateTime(0), expected);
  EXPECT_DOUBLE_EQ(stamp->GetAsDateTime(0), expected);
  EXPECT_EQ(stamp->GetAsString(0), u"1990-05-06 07:08:09.010");
  EXPECT_EQ(text->GetAsSQLTimeStamp(0).Day, 6);
  // 1899-12-29 06:00 sits before day 0: negative days with the time still counted away from zero.
  TDateTime before;
  ASSERT_TRUE(idconv::TrySQLTimeStampToDateTime(TSQLTimeStamp{1899, 12, 29, 6, 0, 0, 0}, before));
  EXPECT_DOUBLE_EQ(before, -1.25);
  String t;
  ASSERT_TRUE(idconv::TryFormatDateTime(-1.25, t));
  EXPECT_EQ(t, u"1899-12-29 06:00:00.000");
}

// Text read as a date and time goes through the runtime's parser with the system's settings.
TEST_F(Getters, TextDatesFollowTheRuntimesParser) {
  std::uint16_t thisYear, m, d;
  DecodeDate(Now(), thisYear, m, d);
  struct Case {
    const char16_t* text;
    TDateTime expected;
  };
  const Case cases[] = {
      {u"20-1-2", EncodeDate(2020, 1, 2)},
      {u"1-2", EncodeDate(thisYear, 1, 2)},
      {u"2020/1/2 1:02 PM", EncodeDateTime(2020, 1, 2, 13, 2, 0, 0)},
      {u"2020-01-02 03:04:05.006", EncodeDateTime(2020, 1, 2, 3, 4, 5, 6)},
      {u"not a date", 0},
      {u"2020-13-01", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
    TBlobTable blobs;
    TIdRecordStore store(blobs);
    const TIdField* text = store.AddField(idft::String, 30);
    const TIdField* wide = store.AddField(idft::WideString, 30);
    Byte* row = store.NewStoredRecord(-1);
    text->SetRecordData(row, TextToBytes(idft::String, c.text));
    wide->SetRecordData(row, Wide(c.text));
    EXPECT_DOUBLE_EQ(text->GetAsDateTime(0), c.expected);
    EXPECT_DOUBLE_EQ(wide->GetAsDateTime(0), c.expected);
  }
  EXPECT_EQ(FormatSettings().DateSeparator, u'/') << "the global separator is never changed";
}

TEST_F(Getters, FloatTextAndCurrencyFollowTheRuntime) {
  TBlobTable blobs;
  TIdRecordStore store(blobs);
  const TIdField* f = store.AddField(idft::Float, 0);
  Byte* row = store.NewStoredRecord(-1);
  f->SetRecordData(row, Raw<double>(0.00005));
  EXPECT_EQ(f->GetAsString(0), u"5E-5");
  f->SetRecordData(row, Raw<double>(0.00015));
  EXPECT_EQ(f->GetAsCurrency(0).Scaled, 2);
  f->SetRecordData(row, Raw<double>(123456789.123456789));
  EXPECT_EQ(f->GetAsString(0), u"123456789.123457");
}

TEST_F(Getters, VariantKindsFollowTheType) {
  struct Case {
    int type;
    int size;
    TBytes value;
    TVarType kind;
  };
  const Case cases[] = {
      {idft::String, 5, TextToBytes(idft::String, u"ab"), varUString},
      {idft::Smallint, 0, Raw<std::int16_t>(-2), varSmallint},
      {idft::Integer, 0, Raw<std::int32_t>(-2), varInteger},
      {idft::Word, 0, Raw<std::uint16_t>(2), varWord},
      {idft::Boolean, 0, Raw<std::uint16_t>(1), varBoolean},
      {idft::Float, 0, Raw<double>(1.5), varDouble},
      {idft::BCD, 0, Raw(idconv::CurrencyToBcd(Currency::FromScaled(15000))), varCurrency},
      {idft::DateTime, 0, Raw<double>(MSecs(2000, 1, 2, 0, 0, 0, 0)), varDate},
      {idft::Bytes, 2, TBytes{1, 2}, static_cast<TVarType>(varArray | varByte)},
      {idft::Largeint, 0, Raw<Int64>(5), varInt64},
      {idft::Shortint, 0, Raw<std::int8_t>(-1), varShortInt},
      {idft::Byte, 0, Raw<std::uint8_t>(1), varByte},
      {idft::Memo, 0, TBytes{'a'}, static_cast<TVarType>(varArray | varByte)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    TBlobTable blobs;
    TIdRecordStore store(blobs);
    const TIdField* f = store.AddField(c.type, c.size);
    f->SetRecordData(store.NewStoredRecord(-1), c.value);
    store.NewStoredRecord(-1);
    EXPECT_EQ(f->GetAsVariant(0).VType(), c.kind);
    EXPECT_TRUE(f->GetAsVariant(1).IsNull());
    EXPECT_TRUE(f->GetAsVariant(7).IsNull());
  }
}

// ---- comparison ----

TEST_F(Getters, CompareDataOrdersEachType) {
  struct Case {
    const char* name;
    int type;
    int size;
    TBytes a, b;
    bool caseInsensitive;
    int expected;
  };
  const Case cases[] = {
      {"nulls first", idft::Integer, 0, {}, Raw<std::int32_t>(-5), false, -1},
      {"both null", idft::Integer, 0, {}, {}, false, 0},
      {"value after null", idft::Integer, 0, Raw<std::int32_t>(1), {}, false, 1},
      {"integer", idft::Integer, 0, Raw<std::int32_t>(-3), Raw<std::int32_t>(2), false, -1},
      {"smallint signed", idft::Smallint, 0, Raw<std::int16_t>(-1), Raw<std::int16_t>(1), false, -1},
      {"shortint signed", idft::Shortint, 0, Raw<std::int8_t>(1), Raw<std::int8_t>(-1), false, 1},
      {"word unsigned", idft::Word, 0, Raw<std::uint16_t>(65535), Raw<std::uint16_t>(1), false, 1},
      {"boolean", idft::Boolean, 0, Raw<std::uint16_t>(0), Raw<std::uint16_t>(1), false, -1},
      {"float", idft::Float, 0, Raw<double>(2.5), Raw<double>(2.25), false, 1},
      {"largeint", idft::Largeint, 0, Raw<Int64>(-1), Raw<Int64>(Int64(1) << 40), false, -1},
      {"extended", idft::Extended, 0, Ext(-1), Ext(1), false, -1},
      {"bytes unsigned", idft::Bytes, 2, TBytes{0x80, 0}, TBytes{0x7F, 0xFF}, false, 1},
      {"bytes padded", idft::Bytes, 3, TBytes{1}, TBytes{1, 0, 0}, false, 0},
      {"text case sensitive", idft::String, 10, TextToBytes(idft::String, u"abc"), TextToBytes(idft::String, u"ABC"),
       false, -1},
      {"text case insensitive", idft::String, 10, TextToBytes(idft::String, u"abc"),
       TextToBytes(idft::String, u"ABC"), true, 0},
      {"text shorter first", idft::WideString, 10, Wide(u"ab"), Wide(u"abc"), false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBlobTable blobs;
    TIdRecordStore store(blobs);
    const TIdField* f = store.AddField(c.type, c.size);
    EXPECT_EQ(f->CompareData(c.a, c.b, c.caseInsensitive), c.expected);
    EXPECT_EQ(f->CompareData(c.b, c.a, c.caseInsensitive), -c.expected);
  }
}

TEST(Convert, ExtendedRoundTripsEveryKindOfDouble) {
  for (double d : {0.0, -0.0, 1.0, -1.5, 1e300, 4.9406564584124654e-324, 2.2250738585072014e-308, 4000.123456789,
                   std::numeric_limits<double>::infinity()}) {
    Byte b[10];
    idconv::DoubleToExtended(d, b);
    EXPECT_EQ(idconv::ExtendedToDouble(b), d) << d;
  }
  Byte one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  EXPECT_EQ(idconv::ExtendedToDouble(one), 1.0);
}

TEST(Convert, FloatAndCurrencyText) {
  struct Case {
    double value;
    const char16_t* text;
  };
  for (const Case& c : {Case{4000.5, u"4000.5"}, Case{0.1, u"0.1"}, Case{1e20, u"1E20"}, Case{-1e-7, u"-1E-7"},
                        Case{123456789012345.0, u"123456789012345"}, Case{0.00005, u"5E-5"}, Case{0.000001, u"1E-6"},
                        Case{0.0001, u"0.0001"}, Case{1.0 / 3.0, u"0.333333333333333"}})
    EXPECT_EQ(idconv::FloatToText(c.value), c.text) << c.value;
  EXPECT_EQ(idconv::CurrencyToText(Currency::FromScaled(-123400)), u"-12.34");
  EXPECT_EQ(idconv::CurrencyToText(Currency::FromScaled(50000)), u"5");
  Currency c;
  ASSERT_TRUE(idconv::TryBcdToCurrency(idconv::CurrencyToBcd(Currency::FromScaled(-98765432)), c));
  EXPECT_EQ(c.Scaled, -98765432);
}

// Doubles become currency by the system's one rule: the double's shortest decimal, rounded.
TEST(Convert, CurrencyRoundsAsTheRuntimeDoes) {
  struct Case {
    double value;
    Int64 scaled;
  };
  for (const Case& c : {Case{0.00015, 2}, Case{-0.00015, -2}, Case{0.00005, 0}, Case{0.00025, 2}, Case{1.23456, 12346}, Case{2.5, 25000}}) {
    Currency cur;
    ASSERT_TRUE(idconv::TryDoubleToCurrency(c.value, cur)) << c.value;
    EXPECT_EQ(cur.Scaled, c.scaled) << c.value;
    Currency expected;
    ASSERT_TRUE(Currency::TryFromDouble(c.value, expected));
    EXPECT_EQ(cur.Scaled, expected.Scaled) << c.value;
  }
  Currency c;
  ASSERT_TRUE(idconv::TryTextToCurrency(u"0.00015", c));
  EXPECT_EQ(c.Scaled, 2);
  EXPECT_FALSE(idconv::TryDoubleToCurrency(1e300, c));
}

// Where the store reads and rounds unlike the runtime's conversions, it keeps its own way.
TEST(Convert, KeepsTheStoresOwnReadingsAndRoundings) {
  double v = 0;
  ASSERT_TRUE(idconv::TryTextToFloat(u" +-2 ", v));
  EXPECT_EQ(v, -2);
  EXPECT_FALSE(idconv::TryTextToFloat(u"INF", v));
  EXPECT_FALSE(idconv::TryTextToFloat(u"NAN", v));
  Currency c;
  ASSERT_TRUE(idconv::TryBcdToCurrency(StrToBcd(u"0.00005"), c));  // half away from zero
  EXPECT_EQ(c.Scaled, 1);
  const Byte pseudoInfinity[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x7F};
  EXPECT_EQ(idconv::ExtendedToDouble(pseudoInfinity), std::numeric_limits<double>::infinity());
  String t;
  EXPECT_FALSE(idconv::TryFormatDateTime(4294967296.0 + 36526, t));  // no wrap-around into the calendar
}

}  // namespace
