#include <climits>

#include <gtest/gtest.h>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/FormatSettings.h"

namespace {

struct Case {
  std::u16string_view format;
  std::initializer_list<TVarRec> args;
  std::u16string_view expected;
};

TEST(Format, Directives) {
  const Int64 big = 1234567890123LL;
  const Case cases[] = {
      {u"plain", {}, u"plain"},
      {u"100%%", {}, u"100%"},
      {u"%s", {u"abc"}, u"abc"},
      {u"%s", {"ansi"}, u"ansi"},
      {u"%s", {char16_t(u'x')}, u"x"},
      {u"%s|%s", {u"a", u"b"}, u"a|b"},
      {u"%d", {42}, u"42"},
      {u"%d", {-42}, u"-42"},
      {u"%d", {big}, u"1234567890123"},
      {u"%.5d", {42}, u"00042"},
      {u"%.3d", {-5}, u"-005"},
      {u"%5d|", {42}, u"   42|"},
      {u"%-5d|", {42}, u"42   |"},
      {u"%*d", {6, 42}, u"    42"},
      {u"%-*.*d|", {6, 3, 7}, u"007   |"},
      {u"%u", {-1}, u"4294967295"},
      {u"%u", {7}, u"7"},
      {u"%x", {255}, u"FF"},
      {u"%.4x", {255}, u"00FF"},
      {u"%x", {-1}, u"FFFFFFFF"},
      {u"%x", {Int64{-1}}, u"FFFFFFFFFFFFFFFF"},
      {u"%f", {1.5}, u"1.50"},
      {u"%.3f", {3.14159}, u"3.142"},
      {u"%.2f", {0.125}, u"0.13"},  // half away from zero on the decimal digits
      {u"%.2f", {2.675}, u"2.67"},  // 2.675 is really 2.67499999...
      {u"%.0f", {2.5}, u"3"},
      {u"%.2f", {-0.001}, u"0.00"},
      {u"%8.2f|", {-1.5}, u"   -1.50|"},
      {u"%g", {1.5}, u"1.5"},
      {u"%g", {0.1}, u"0.1"},
      {u"%g", {1e20}, u"1E020"},
      {u"%g", {100.0}, u"100"},
      {u"%e", {1.0}, u"1.00000000000000E+000"},
      {u"%.3e", {12345.678}, u"1.23E+004"},
      {u"%e", {-0.00123}, u"-1.23000000000000E-003"},
      {u"%n", {1234567.891}, u"1,234,567.89"},
      {u"%.0n", {999.5}, u"1,000"},
      {u"%m", {12.5}, u"¥12.50"},
      {u"%m", {-12.5}, u"¥-12.50"},
      {u"%m", {Currency::FromScaled(123456)}, u"¥12.35"},
      {u"%f", {Currency::FromScaled(-5)}, u"0.00"},
      {u"%.4f", {Currency::FromScaled(-5)}, u"-0.0005"},
      {u"%1:s %0:s", {u"a", u"b"}, u"b a"},
      {u"%1:s %s", {u"a", u"b", u"c"}, u"b c"},
      {u"%.2s", {u"abcdef"}, u"ab"},
      {u"%5s|%-5s|", {u"ab", u"cd"}, u"   ab|cd   |"},
      {u"测试 - %d ms", {Int64{15}}, u"测试 - 15 ms"},
      {u"%D %S", {3, u"x"}, u"3 x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Format(c.format, c.args), c.expected) << std::string(c.format.begin(), c.format.end());
  }
}

TEST(Format, PointerIsSixteenHexDigits) {
  const void* p = reinterpret_cast<const void*>(std::uintptr_t{0xABCDEF});
  EXPECT_EQ(Format(u"%p", {p}), u"0000000000ABCDEF");
}

TEST(Format, GivenSettings) {
  TFormatSettings s = TFormatSettings::Create(1033);
  s.DecimalSeparator = u',';
  s.ThousandSeparator = u'.';
  EXPECT_EQ(Format(u"%n", {1234.5}, s), u"1.234,50");
  EXPECT_EQ(Format(u"%m", {-3.0}, s), u"($3,00)");
}

TEST(Format, BadArgumentsRaiseConvertError) {
  struct Bad {
    std::u16string_view format;
    std::initializer_list<TVarRec> args;
    std::u16string_view message;
  };
  const Bad cases[] = {
      {u"%d", {1.5}, u"Format '%d' invalid or incompatible with argument"},
      {u"%d", {u"x"}, u"Format '%d' invalid or incompatible with argument"},
      {u"%f", {1}, u"Format '%f' invalid or incompatible with argument"},
      {u"%s", {1}, u"Format '%s' invalid or incompatible with argument"},
      {u"%s", {true}, u"Format '%s' invalid or incompatible with argument"},
      {u"%x", {1.0}, u"Format '%x' invalid or incompatible with argument"},
      {u"%q", {1}, u"Format '%q' invalid or incompatible with argument"},
      {u"abc %", {1}, u"Format 'abc %' invalid or incompatible with argument"},
      {u"%*d", {u"w", 1}, u"Format '%*d' invalid or incompatible with argument"},
      // Widths and precisions from arguments are bounded like literal ones.
      {u"%*d", {INT_MIN, 1}, u"Format '%*d' invalid or incompatible with argument"},
      {u"%*d", {-1'000'001, 1}, u"Format '%*d' invalid or incompatible with argument"},
      {u"%.*d", {INT_MAX, 1}, u"Format '%.*d' invalid or incompatible with argument"},
      {u"%*s", {INT_MAX, u"x"}, u"Format '%*s' invalid or incompatible with argument"},
      {u"%1000001d", {1}, u"Format '%1000001d' invalid or incompatible with argument"},
      {u"%d %d", {1}, u"No argument for format '%d %d'"},
      {u"%3:d", {1}, u"No argument for format '%3:d'"},
  };
  for (const auto& c : cases) {
    try {
      Format(c.format, c.args);
      ADD_FAILURE() << "no error for " << std::string(c.format.begin(), c.format.end());
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

}  // namespace
