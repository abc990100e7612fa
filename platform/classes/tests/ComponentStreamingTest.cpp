#include "platform/classes/ComponentStreaming.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>

#include "platform/classes/ClassRegistry.h"
#include "platform/classes/Properties.h"
#include "platform/rtl/Variant.h"
#include "platform/sys/CodePage.h"

namespace {

using Bytes = std::vector<Byte>;

Bytes Written(const std::function<void(TWriter&)>& write) {
  TBytesStream stream;
  {
    TWriter writer(&stream, 64);
    write(writer);
  }  // flushed on free
  return stream.Bytes();
}

// ---- encoding table ------------------------------------------------------------------------------------

struct EncodingCase {
  const char* name;
  std::function<void(TWriter&)> write;
  Bytes expected;
};

TEST(ComponentStreaming, ValueEncodingIsByteExact) {
  const String ascii300(300, u'x');
  Bytes lstring = {0x0C, 0x2C, 0x01, 0x00, 0x00};
  lstring.insert(lstring.end(), 300, 'x');
  const EncodingCase cases[] = {
      {"0", [](TWriter& w) { w.WriteInteger(0); }, {0x02, 0x00}},
      {"127", [](TWriter& w) { w.WriteInteger(127); }, {0x02, 0x7F}},
      {"128", [](TWriter& w) { w.WriteInteger(128); }, {0x03, 0x80, 0x00}},
      {"-129", [](TWriter& w) { w.WriteInteger(-129); }, {0x03, 0x7F, 0xFF}},
      {"40000", [](TWriter& w) { w.WriteInteger(40000); }, {0x04, 0x40, 0x9C, 0x00, 0x00}},
      {"2^31", [](TWriter& w) { w.WriteInteger(Int64{1} << 31); }, {0x13, 0, 0, 0, 0x80, 0, 0, 0, 0}},
      {"-2^31", [](TWriter& w) { w.WriteInteger(-(Int64{1} << 31)); }, {0x04, 0, 0, 0, 0x80}},
      {"empty text", [](TWriter& w) { w.WriteString(u""); }, {0x12, 0, 0, 0, 0}},
      {"abc", [](TWriter& w) { w.WriteString(u"abc"); }, {0x06, 0x03, 'a', 'b', 'c'}},
      {"300 ASCII", [&](TWriter& w) { w.WriteString(ascii300); }, lstring},
      {"e acute", [](TWriter& w) { w.WriteString(u"\u00E9"); }, {0x12, 0x01, 0, 0, 0, 0xE9, 0x00}},
      {"Latin and Chinese", [](TWriter& w) { w.WriteString(u"abc\u4E2D"); },
       {0x14, 0x06, 0, 0, 0, 'a', 'b', 'c', 0xE4, 0xB8, 0xAD}},
      {"Chinese only", [](TWriter& w) { w.WriteString(u"\u4E2D\u6587"); }, {0x12, 0x02, 0, 0, 0, 0x2D, 0x4E, 0x87, 0x65}},
      {"unpaired surrogate", [](TWriter& w) { w.WriteString(std::u16string(u"ab") + char16_t(0xD800)); },
       {0x14, 0x05, 0, 0, 0, 'a', 'b', 0xEF, 0xBF, 0xBD}},
      {"true", [](TWriter& w) { w.WriteBoolean(true); }, {0x09}},
      {"false", [](TWriter& w) { w.WriteBoolean(false); }, {0x08}},
      {"4000.5", [](TWriter& w) { w.WriteFloat(4000.5); }, {0x05, 0, 0, 0, 0, 0, 0, 0x08, 0xFA, 0x0A, 0x40}},
      {"Null alone", [](TWriter& w) { w.WriteVariant(Null()); }, {0x00}},
      {"Null in a list", [](TWriter& w) { w.WriteListVariant(Null()); }, {0x0D}},
      {"empty variant", [](TWriter& w) { w.WriteVariant(Variant()); }, {0x0D}},
      {"currency 12.3456", [](TWriter& w) { w.WriteCurrency(Currency::FromScaled(123456)); },
       {0x10, 0x40, 0xE2, 0x01, 0, 0, 0, 0, 0}},
      {"date 42725.5", [](TWriter& w) { w.WriteDate(42725.5); }, {0x11, 0, 0, 0, 0, 0xB0, 0xDC, 0xE4, 0x40}},
      {"variant double", [](TWriter& w) { w.WriteVariant(Variant(4000.5)); },
       {0x05, 0, 0, 0, 0, 0, 0, 0x08, 0xFA, 0x0A, 0x40}},
      {"variant date", [](TWriter& w) { w.WriteVariant(VarFromDateTime(42725.5)); },
       {0x11, 0, 0, 0, 0, 0xB0, 0xDC, 0xE4, 0x40}},
      {"variant Int64 small", [](TWriter& w) { w.WriteVariant(Variant(5LL)); }, {0x02, 0x05}},
      {"variant single", [](TWriter& w) { w.WriteVariant(Variant(1.5f)); }, {0x0F, 0, 0, 0xC0, 0x3F}},
      {"variant text", [](TWriter& w) { w.WriteVariant(Variant(u"abc")); }, {0x06, 0x03, 'a', 'b', 'c'}},
      {"signature and list", [](TWriter& w) {
         w.WriteSignature();
         w.WriteListBegin();
         w.WriteListEnd();
       },
       {'T', 'P', 'F', '0', 0x01, 0x00}},
  };
  for (const EncodingCase& c : cases) EXPECT_EQ(Written(c.write), c.expected) << c.name;
}

TEST(ComponentStreaming, VariantArraysCannotBeWritten) {
  TBytesStream stream;
  TWriter writer(&stream);
  EXPECT_THROW(writer.WriteVariant(VarArrayOf({Variant(1), Variant(2)})), EWriteError);
}

TEST(ComponentStreaming, ReadVariantGivesTheKindOfEachTag) {
  TBytesStream stream;
  {
    TWriter w(&stream);
    w.WriteValue(vaNil);
    w.WriteValue(vaNull);
    w.WriteInteger(-5);
    w.WriteInteger(Int64{1} << 40);
    w.WriteFloat(2.5);
    w.WriteSingle(1.5f);
    w.WriteCurrency(Currency::FromScaled(15000));
    w.WriteDate(42725.5);
    w.WriteString(u"abc\u4E2D");
    w.WriteBoolean(true);
    w.WriteDouble(0.1);
  }
  stream.SetPosition(0);
  TReader r(&stream);
  struct Expect {
    TVarType type;
    Variant value;
  };
  const Expect expected[] = {
      {varEmpty, Variant()},
      {varNull, Null()},
      {varInteger, Variant(-5)},
      {varInt64, Variant(static_cast<long long>(Int64{1} << 40))},
      {varDouble, Variant(2.5)},
      {varSingle, Variant(1.5f)},
      {varCurrency, Variant(Currency::FromScaled(15000))},
      {varDate, VarFromDateTime(42725.5)},
      {varUString, Variant(u"abc\u4E2D")},
      {varBoolean, Variant(true)},
      {varDouble, Variant(0.1)},
  };
  for (const Expect& e : expected) {
    const Variant v = r.ReadVariant();
    EXPECT_EQ(VarType(v), e.type);
    if (!VarIsClear(e.value)) {
      EXPECT_TRUE(v == e.value) << StringToUTF8(VarToStr(v));
    }
  }
}

TEST(ComponentStreaming, ReaderTakesWhatTheWriterWrote) {
  TBytesStream stream;
  const double doubles[] = {0.0, -0.0, 1e-310, 4000.5, -1.7976931348623157e308, 0.1,
                            std::numeric_limits<double>::infinity()};
  {
    TWriter w(&stream);
    w.WriteSignature();
    for (Int64 v : {Int64{0}, Int64{-128}, Int64{32767}, Int64{-40000}, INT64_MIN, INT64_MAX}) w.WriteInteger(v);
    for (double d : doubles) w.WriteFloat(d);
    w.WriteString(String(300, u'y'));
    w.WriteString(u"\u00E9t\u00E9");
    w.WriteIdent(u"fdtIntegerKv");
    const Byte blob[] = {1, 2, 3};
    w.WriteBinary(blob, 3);
  }
  stream.SetPosition(0);
  TReader r(&stream);
  r.ReadSignature();
  for (Int64 v : {Int64{0}, Int64{-128}, Int64{32767}, Int64{-40000}, INT64_MIN, INT64_MAX}) EXPECT_EQ(r.ReadInt64(), v);
  for (double d : doubles) {
    const double back = r.ReadFloat();
    EXPECT_EQ(std::bit_cast<UInt64>(back), std::bit_cast<UInt64>(d)) << d;
  }
  EXPECT_EQ(r.ReadString(), String(300, u'y'));
  EXPECT_EQ(r.ReadString(), u"\u00E9t\u00E9");
  EXPECT_EQ(r.ReadIdent(), u"fdtIntegerKv");
  EXPECT_EQ(r.ReadBinary(), (Bytes{1, 2, 3}));
}

TEST(ComponentStreaming, RawExtendedValuesKeepAllTenBytes) {
  TBytesStream stream;
  const TExtended80Rec big = Int64ToExtended(9007199254740993LL);  // 2^53 + 1: no double holds it
  {
    TWriter w(&stream);
    w.WriteExtended(big);
    w.WriteFloat(0.5);
    w.WriteInteger(-7);
    w.WriteBoolean(true);
  }
  EXPECT_EQ(stream.Bytes()[0], vaExtended);
  stream.SetPosition(0);
  TReader r(&stream);
  EXPECT_EQ(r.ReadExtended(), big);
  EXPECT_EQ(r.ReadExtended(), DoubleToExtended(0.5));
  EXPECT_EQ(r.ReadExtended(), Int64ToExtended(-7));
  EXPECT_THROW(r.ReadExtended(), EReadError);
}

TEST(ComponentStreaming, TagMismatchRaisesInvalidPropertyValueAndKeepsThePosition) {
  TBytesStream stream(Bytes{0x06, 0x01, 'a', 0x02, 0x07});
  TReader r(&stream);
  try {
    r.ReadInteger();
    FAIL() << "no error";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), u"Invalid property value");
  }
  EXPECT_EQ(r.Position(), 0);
  EXPECT_EQ(r.ReadString(), u"a");
  EXPECT_EQ(r.ReadInteger(), 7);
  EXPECT_THROW(r.ReadBoolean(), EReadError);  // the stream has ended
  EXPECT_EQ(r.Position(), 5);
}

TEST(ComponentStreaming, SignatureErrors) {
  struct Case {
    Bytes bytes;
    const char16_t* message;
  };
  const Case cases[] = {
      {{}, u"Stream read error"},
      {{'T', 'P'}, u"Stream read error"},
      {{'T', 'P', 'F', '1'}, u"Invalid stream format"},
  };
  for (const Case& c : cases) {
    TBytesStream stream(c.bytes);
    TReader r(&stream);
    try {
      r.ReadSignature();
      ADD_FAILURE() << "no error";
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

// Hostile and short length-prefixed values: each must fail with the read error before anything of the
// claimed size is allocated, and leave the reader at the value's start.
TEST(ComponentStreaming, LengthPrefixedValuesNeverTrustTheirLength) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"vaLString huge", {vaLString, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}},
      {"vaLString negative", {vaLString, 0x00, 0x00, 0x00, 0x80}},
      {"vaLString short", {vaLString, 0x05, 0, 0, 0, 'a', 'b'}},
      {"vaLString cut length", {vaLString, 0x05, 0}},
      {"vaWString huge", {vaWString, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0}},
      {"vaWString negative", {vaWString, 0xFE, 0xFF, 0xFF, 0xFF}},
      {"vaWString odd", {vaWString, 0x02, 0, 0, 0, 'a', 0, 'b'}},
      {"vaUTF8String huge", {vaUTF8String, 0xFF, 0xFF, 0xFF, 0x7F}},
      {"vaUTF8String short", {vaUTF8String, 0x03, 0, 0, 0, 'a'}},
      {"vaString short", {vaString, 0x09, 'a'}},
      {"vaBinary huge", {vaBinary, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2}},
      {"vaBinary negative", {vaBinary, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"vaBinary short", {vaBinary, 0x04, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    TBytesStream stream(c.bytes);
    TReader r(&stream);
    if (c.bytes[0] == vaBinary)
      EXPECT_THROW(r.ReadBinary(), EReadError) << c.name;
    else
      EXPECT_THROW(r.ReadString(), EReadError) << c.name;
    EXPECT_EQ(r.Position(), 0) << c.name;
    EXPECT_THROW(r.SkipValue(), EReadError) << c.name;
    EXPECT_THROW(r.ReadVariant(), EReadError) << c.name;
    EXPECT_EQ(r.Position(), 0) << c.name;
  }
}

TEST(ComponentStreaming, NestingIsBounded) {
  Bytes deep(100000, vaList);
  TBytesStream stream(deep);
  TReader r(&stream);
  EXPECT_THROW(r.SkipValue(), EReadError);
  EXPECT_EQ(r.Position(), 0);
}

TEST(ComponentStreaming, SkipValueSkipsWholeValues) {
  TBytesStream stream;
  {
    TWriter w(&stream);
    w.WriteListBegin();
    w.WriteInteger(1);
    w.WriteString(u"\u4E2D");
    w.WriteListBegin();
    w.WriteFloat(1.5);
    w.WriteListEnd();
    w.WriteListEnd();
    w.WriteValue(vaSet);
    w.WriteStr(u"a");
    w.WriteStr(u"b");
    w.WriteByte(0);
    w.WriteValue(vaCollection);
    w.WriteListBegin();
    w.WriteStr(u"Name");
    w.WriteString(u"x");
    w.WriteListEnd();
    w.WriteListEnd();
    w.WriteInteger(77);
  }
  stream.SetPosition(0);
  TReader r(&stream);
  r.SkipValue();
  r.SkipValue();
  r.SkipValue();
  EXPECT_EQ(r.ReadInteger(), 77);
}

TEST(ComponentStreaming, FreeingAReaderLeavesTheStreamAfterTheLastValueRead) {
  TBytesStream stream;
  {
    TWriter w(&stream);
    for (int i = 0; i < 1000; ++i) w.WriteInteger(i);
  }
  stream.SetPosition(0);
  {
    TReader r(&stream, 16384);
    EXPECT_EQ(r.ReadInteger(), 0);
    EXPECT_EQ(r.ReadInteger(), 1);
  }
  EXPECT_EQ(stream.Position(), 4);
}

TEST(ComponentStreaming, LargeStreamsRoundTripThroughSmallBuffers) {
  TBytesStream stream;
  constexpr int kRows = 50000;
  {
    TWriter w(&stream, 16);
    w.WriteListBegin();
    for (int i = 0; i < kRows; ++i) {
      w.WriteListBegin();
      w.WriteInteger(i);
      w.WriteFloat(i * 0.5);
      w.WriteString(u"row");
      w.WriteListEnd();
    }
    w.WriteListEnd();
  }
  stream.SetPosition(0);
  TReader r(&stream, 16);
  r.ReadListBegin();
  int n = 0;
  while (!r.EndOfList()) {
    r.ReadListBegin();
    ASSERT_EQ(r.ReadInteger(), n);
    ASSERT_EQ(r.ReadFloat(), n * 0.5);
    ASSERT_EQ(r.ReadString(), u"row");
    r.ReadListEnd();
    ++n;
  }
  r.ReadListEnd();
  EXPECT_EQ(n, kRows);
}

}  // namespace

namespace {

// Extended values no double holds are rounded to nearest, ties to even; out of range goes to infinity
// or through the denormals to zero.
TEST(ComponentStreaming, ExtendedValuesRoundToTheNearestDouble) {
  struct Case {
    const char* name;
    Byte bytes[10];
    double expected;
  };
  const double min_denormal = std::numeric_limits<double>::denorm_min();
  const Case cases[] = {
      {"1 + 2^-63", {0x01, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, 1.0},
      {"1 + 2^-53 (tie, to even)", {0, 0x04, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, 1.0},
      {"1 + 3 * 2^-53 (tie, to even)", {0, 0x0C, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, 1.0 + 4 * std::ldexp(1.0, -53)},
      {"2^16383", {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x7F}, std::numeric_limits<double>::infinity()},
      {"-2^-16382", {0, 0, 0, 0, 0, 0, 0, 0x80, 0x01, 0x80}, -0.0},
      {"2^-1075 (tie, to even)", {0, 0, 0, 0, 0, 0, 0, 0x80, 0xCC, 0x3B}, 0.0},
      {"3 * 2^-1076", {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xCC, 0x3B}, min_denormal},
      {"unnormal 1.0", {0, 0, 0, 0, 0, 0, 0, 0x40, 0x00, 0x40}, 1.0},
  };
  for (const Case& c : cases) {
    Bytes bytes = {vaExtended};
    bytes.insert(bytes.end(), c.bytes, c.bytes + 10);
    TBytesStream stream(bytes);
    TReader r(&stream);
    const double v = r.ReadFloat();
    EXPECT_EQ(std::bit_cast<UInt64>(v), std::bit_cast<UInt64>(c.expected)) << c.name << " gave " << v;
  }
}

}  // namespace

namespace {

TEST(ComponentStreaming, EightBitTextsAreReadThroughTheSystemCodePage) {
  const unsigned old_page = sys::GetSystemCodePage();
  sys::SetSystemCodePage(936);
  TBytesStream stream(Bytes{vaString, 2, 0xD6, 0xD0, vaLString, 3, 0, 0, 0, 'a', 0xD6, 0xD0});
  TReader r(&stream);
  const String first = r.ReadString();
  const String second = r.ReadString();
  sys::SetSystemCodePage(old_page);
  EXPECT_EQ(first, u"\u4E2D");
  EXPECT_EQ(second, u"a\u4E2D");
}

}  // namespace
