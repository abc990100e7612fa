#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace {

using namespace sys;

TEST(Collation, OrderingTable) {
  struct Case {
    std::u16string a;
    std::u16string b;
    std::uint32_t flags;
    int result;
  };
  const Case cases[] = {
      {u"A", u"b", 0, CSTR_LESS_THAN},
      {u"b", u"B", 0, CSTR_LESS_THAN},  // lower case first at the third level
      {u"a", u"A", 0, CSTR_LESS_THAN},
      {u"A", u"B", 0, CSTR_LESS_THAN},
      {u"abc", u"ABC", NORM_IGNORECASE, CSTR_EQUAL},
      {u"abc", u"ABD", NORM_IGNORECASE, CSTR_LESS_THAN},
      {u"b", u"A", NORM_IGNORECASE, CSTR_GREATER_THAN},
      {u"résumé", u"resume", NORM_IGNORENONSPACE, CSTR_EQUAL},
      {u"Résumé", u"resume", NORM_IGNORENONSPACE, CSTR_GREATER_THAN},  // case still counts
      {u"Résumé", u"resume", NORM_IGNORENONSPACE | NORM_IGNORECASE, CSTR_EQUAL},
      {u"a-b", u"ab", NORM_IGNORESYMBOLS, CSTR_EQUAL},
      {u"ＡＢＣ", u"ABC", NORM_IGNOREWIDTH, CSTR_EQUAL},
      {u"ＡＢＣ", u"ABC", 0, CSTR_GREATER_THAN},
      {u"カタカナ", u"かたかな", NORM_IGNOREKANATYPE, CSTR_EQUAL},
      {u"ｶﾞ", u"ガ", NORM_IGNOREWIDTH, CSTR_EQUAL},
      {u"", u"", SORT_STRINGSORT, CSTR_EQUAL},
      {u"", u"a", SORT_STRINGSORT, CSTR_LESS_THAN},
      {u"ab", u"a", SORT_STRINGSORT | NORM_IGNORECASE, CSTR_GREATER_THAN},
      {u"阿", u"爸", 0, CSTR_LESS_THAN},  // pinyin a < ba
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, c.flags, c.a, c.b), c.result)
        << std::string(c.a.begin(), c.a.end()) << " flags " << c.flags;
  }
}

TEST(Collation, AccentsCountUnlessIgnored) {
  EXPECT_NE(CompareStringW(LOCALE_USER_DEFAULT, 0, u"résumé", u"resume"), CSTR_EQUAL);
  EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, 0, u"résumé", u"resume"), CSTR_GREATER_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORENONSPACE, u"résumé", u"resume"), CSTR_EQUAL);
}

TEST(Collation, SortsAbB) {
  std::vector<std::u16string> items = {u"B", u"b", u"A"};
  std::sort(items.begin(), items.end(), [](const auto& x, const auto& y) {
    return CompareStringW(LOCALE_USER_DEFAULT, SORT_STRINGSORT, x, y) == CSTR_LESS_THAN;
  });
  EXPECT_EQ(items, (std::vector<std::u16string>{u"A", u"b", u"B"}));
}

TEST(Collation, DefaultLocalesShareOneCollation) {
  for (LCID id : {LOCALE_NEUTRAL, LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT, LOCALE_ZH_CN}) {
    EXPECT_EQ(CollationLocaleName(id), "zh") << id;
    EXPECT_EQ(CompareStringW(id, 0, u"阿", u"爸"), CSTR_LESS_THAN) << id;
  }
  EXPECT_EQ(CollationLocaleName(LOCALE_INVARIANT), "root");
  EXPECT_EQ(CollationLocaleName(1033), "en_US");
}

TEST(Collation, InvalidLocaleOrFlagsGiveZero) {
  struct Case {
    LCID locale;
    std::uint32_t flags;
  };
  const Case cases[] = {{0x7777, 0}, {0x1000, 0}, {LOCALE_USER_DEFAULT, 0x40000000}, {LOCALE_USER_DEFAULT, 0x100}};
  for (const auto& c : cases) {
    EXPECT_EQ(CompareStringW(c.locale, c.flags, u"a", u"b"), 0) << c.locale << " " << c.flags;
    EXPECT_EQ(CompareStringA(c.locale, c.flags, "a", "b"), 0) << c.locale << " " << c.flags;
  }
  EXPECT_FALSE(IsValidLocale(0x7777));
  EXPECT_TRUE(IsValidLocale(2048));
  EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0, u"a", -2, u"b", 1), 0);
}

TEST(Collation, PointerAndLengthForms) {
  EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0, u"abc", -1, u"abd", 2), CSTR_GREATER_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0, u"abc", 2, u"abd", 2), CSTR_EQUAL);
  EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "ABC", -1, "abc", 3), CSTR_EQUAL);
}

TEST(Collation, AnsiFormDecodesTheSystemCodePage) {
  // 阿 and 爸 in GBK.
  EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "\xB0\xA2", "\xB0\xD6"), CSTR_LESS_THAN);
  EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, "Zhang", "zhang"), CSTR_EQUAL);
}

TEST(Casing, WideCharacterByCharacter) {
  struct Case {
    std::u16string in;
    std::u16string upper;
    std::u16string lower;
  };
  const Case cases[] = {
      {u"abc XYZ 1", u"ABC XYZ 1", u"abc xyz 1"},
      {u"éàü", u"ÉÀÜ", u"éàü"},
      {u"ß", u"ß", u"ß"},  // no length change
      {u"ａｂ", u"ＡＢ", u"ａｂ"},
      {u"中文", u"中文", u"中文"},
      {u"\U00010428", u"\U00010400", u"\U00010428"},  // Deseret, a surrogate pair
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UpperCaseW(c.in), c.upper);
    EXPECT_EQ(LowerCaseW(c.upper), c.lower);
  }
  EXPECT_EQ(UpperCaseW(u"i", 0x041F), u"İ");  // Turkish
  EXPECT_EQ(UpperCaseW(u"i"), u"I");
}

TEST(Casing, AnsiInTheSystemCodePage) {
  EXPECT_EQ(UpperCaseA("deflate"), "DEFLATE");
  EXPECT_EQ(UpperCaseA("a\xA3\xE1"), "A\xA3\xC1");  // ａ → Ａ in GBK
  EXPECT_EQ(LowerCaseA("\xD6\xD0X"), "\xD6\xD0x");   // 中 unchanged, its trail byte untouched
  SetSystemCodePage(1252);
  EXPECT_EQ(UpperCaseA("caf\xE9"), "CAF\xC9");
  SetSystemCodePage(kDefaultSystemCodePage);
}

}  // namespace
