#include "engines/vlx/tests/vlxTestSupport.h"
#include "engines/vlx/vlxFieldList.h"

using namespace vlxtest;

namespace {

class VlxFieldList : public VlxTest {};

TEST_F(VlxFieldList, BuildReadsOptionLetters) {
  auto t = MakeBenchmarkTable();
  struct Case {
    const char16_t* text;
    TvlxifoOptions first;
    int count;
  };
  const Case cases[] = {
      {u"ContactName:DC", Bit(mtifoDescending) | Bit(mtifoCaseInsensitive), 1},
      {u"ContactName:dc", Bit(mtifoDescending) | Bit(mtifoCaseInsensitive), 1},
      {u"ContactName", 0, 1},
      {u"ContactName:", 0, 1},
      {u"ContactName:NPLSKIW", Bit(mtifoIgnoreNull) | Bit(mtifoPartial) | Bit(mtifoIgnoreLocale) |
                                   Bit(mtifoIgnoreNonSpace) | Bit(mtifoIgnoreKanatype) | Bit(mtifoIgnoreSymbols) |
                                   Bit(mtifoIgnoreWidth),
       1},
      {u"CustomerID;Salary:D;Address", 0, 3},
  };
  for (const Case& c : cases) {
    TvlxFieldList l;
    l.Build(t.get(), c.text);
    EXPECT_EQ(l.Count(), c.count) << StringToUTF8(c.text);
    EXPECT_EQ(l.PrimaryCount(), c.count);
    EXPECT_EQ(l.Options[0], c.first) << StringToUTF8(c.text);
  }
  TvlxFieldList l;
  EXPECT_THROW(l.Build(t.get(), u"Comment;Nope"), EDatabaseError);
  EXPECT_EQ(l.Count(), 1);  // the fields before the missing one stay
  TvlxFieldList three, two, swapped;
  three.Build(t.get(), u"CustomerID;ContactName;Salary");
  two.Build(t.get(), u"CustomerID;ContactName");
  swapped.Build(t.get(), u"ContactName;CustomerID");
  EXPECT_TRUE(three.StartsWith(two, true, true));
  EXPECT_FALSE(three.StartsWith(swapped, true, true));
  EXPECT_EQ(three.GetAsString(), u"CustomerID;ContactName;Salary");
}

template <class T>
std::vector<Byte> Raw(T v) {
  std::vector<Byte> b(sizeof(T));
  std::memcpy(b.data(), &v, sizeof(T));
  return b;
}
std::vector<Byte> Text8(const char* s, int size) {
  std::vector<Byte> b(static_cast<std::size_t>(size) + 1, 0);
  std::memcpy(b.data(), s, std::strlen(s));
  return b;
}
std::vector<Byte> Text16(const char16_t* s, int size) {
  std::vector<Byte> b(2 * static_cast<std::size_t>(size) + 4, 0);
  std::memcpy(b.data(), s, 2 * std::char_traits<char16_t>::length(s));
  return b;
}

TEST_F(VlxFieldList, CompareFieldValuesTable) {
  struct Case {
    const char* name;
    TFieldType type;
    std::vector<Byte> key, value;
    TvlxifoOptions options;
    int expected;
    bool full;
  };
  const Case cases[] = {
      {"smallint", ftSmallint, Raw<std::int16_t>(-5), Raw<std::int16_t>(3), 0, -1, true},
      {"word", ftWord, Raw<std::uint16_t>(65535), Raw<std::uint16_t>(3), 0, 1, true},
      {"boolean true > false", ftBoolean, Raw<std::uint16_t>(7), Raw<std::uint16_t>(0), 0, 1, true},
      {"boolean any non-zero is true", ftBoolean, Raw<std::uint16_t>(7), Raw<std::uint16_t>(1), 0, 0, true},
      {"integer", ftInteger, Raw<std::int32_t>(2), Raw<std::int32_t>(2), 0, 0, true},
      {"integer descending", ftInteger, Raw<std::int32_t>(1), Raw<std::int32_t>(2), Bit(mtifoDescending), 1, true},
      {"longword", ftLongWord, Raw<std::uint32_t>(0xFFFFFFFF), Raw<std::uint32_t>(1), 0, 1, true},
      {"largeint", ftLargeint, Raw<std::int64_t>(INT64_MIN), Raw<std::int64_t>(0), 0, -1, true},
      {"float", ftFloat, Raw<double>(1.5), Raw<double>(1.25), 0, 1, true},
      {"single always equal", ftSingle, Raw<float>(1.5f), Raw<float>(2.5f), 0, 0, true},
      {"text", ftString, Text8("abc", 10), Text8("abd", 10), 0, -1, true},
      {"text case", ftString, Text8("ABC", 10), Text8("abc", 10), Bit(mtifoCaseInsensitive), 0, true},
      {"partial equal prefix", ftString, Text8("AB", 10), Text8("ABC", 10), Bit(mtifoPartial), 0, false},
      {"partial longer key", ftString, Text8("AB", 10), Text8("A", 10), Bit(mtifoPartial), 1, false},
      {"wide text", ftWideString, Text16(u"中文", 10), Text16(u"中文", 10), 0, 0, true},
      {"wide text order", ftWideString, Text16(u"a", 10), Text16(u"b", 10), Bit(mtifoIgnoreLocale), -1, true},
  };
  for (const Case& c : cases) {
    bool full = false;
    EXPECT_EQ(CompareFieldValues(c.key.data(), -1, c.value.data(), -1, c.type, 10, 1024, c.options, full), c.expected)
        << c.name;
    EXPECT_EQ(full, c.full) << c.name;
  }
}

// Memo values compare by their blocks' lengths, not up to a terminator.
TEST_F(VlxFieldList, MemoValuesCompareByLength) {
  const char16_t a[] = {u'a', 0, u'b'};
  const char16_t b[] = {u'a', 0, u'c'};
  bool full = false;
  EXPECT_EQ(CompareFieldValues(reinterpret_cast<const Byte*>(a), 6, reinterpret_cast<const Byte*>(b), 6, ftWideMemo,
                               0, 1024, Bit(mtifoIgnoreLocale), full),
            -1);
}

TEST_F(VlxFieldList, AnInvalidLocaleIsReported) {
  const auto k = Text8("a", 4), v = Text8("b", 4);
  bool full = false;
  try {
    CompareFieldValues(k.data(), -1, v.data(), -1, ftString, 4, 0x7FFF, 0, full);
    FAIL();
  } catch (const EMemTableInvalidLocale& e) {
    EXPECT_EQ(e.Message(), u"Invalid locale.");
  }
}

// The null order: nulls after values by default, first with NullFirst; descending mirrors both.
TEST_F(VlxFieldList, NullOrderTable) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 1);
  t->Append();
  t->Post();  // every field null
  const PvlxRecord value = t->CurIndex()->References()[0];
  const PvlxRecord null = t->CurIndex()->References()[1];
  struct Case {
    const char16_t* fields;
    int presentVsNull, nullVsPresent, nullsUnequal;
  };
  const Case cases[] = {{u"CustomerID", -1, 1, -1},
                        {u"CustomerID:D", 1, -1, 1},
                        {u"CustomerID", 1, -1, 1},  // with NullFirst (set below)
                        {u"CustomerID:D", -1, 1, -1}};
  for (int i = 0; i < 4; ++i) {
    TvlxFieldList l;
    l.Build(t.get(), cases[i].fields);
    if (i >= 2) l.Options[0] |= Bit(mtifoNullFirst);
    const TvlxCommon& s = *t->Common();
    EXPECT_EQ(CompareRecords(s, t.get(), l, 0, value, null, false, false), cases[i].presentVsNull) << i;
    EXPECT_EQ(CompareRecords(s, t.get(), l, 0, null, value, false, false), cases[i].nullVsPresent) << i;
    EXPECT_EQ(CompareRecords(s, t.get(), l, 0, null, null, false, true), cases[i].nullsUnequal) << i;
    EXPECT_EQ(CompareRecords(s, t.get(), l, 0, null, null, false, false), 0) << i;
  }
}

}  // namespace
