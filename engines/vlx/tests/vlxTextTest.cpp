#include <gtest/gtest.h>

#include <random>

#include "engines/vlx/vlxText.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Utf.h"

namespace {

// Random text that reaches every branch: ASCII runs, two- and three-byte characters, CJK, astral pairs,
// lone surrogates and, as bytes, invalid sequences.
std::u16string RandomText(std::mt19937& rng) {
  std::u16string s;
  const int n = static_cast<int>(rng() % 40);
  for (int i = 0; i < n; ++i) {
    switch (rng() % 8) {
      case 0: case 1: case 2: s.push_back(static_cast<char16_t>(0x20 + rng() % 95)); break;
      case 3: s.push_back(static_cast<char16_t>(0x80 + rng() % 0x780)); break;
      case 4: s.push_back(static_cast<char16_t>(0x4E00 + rng() % 20902)); break;
      case 5: s.push_back(static_cast<char16_t>(0x800 + rng() % 0xD000)); break;
      case 6: s += u"\U0001F600"; break;
      default: s.push_back(static_cast<char16_t>(0xD800 + rng() % 0x800)); break;
    }
  }
  return s;
}

std::string RandomBytes(std::mt19937& rng) {
  std::string s;
  const int n = static_cast<int>(rng() % 40);
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(rng() % 3 == 0 ? rng() % 256 : 0x20 + rng() % 95));
  return s;
}

// The quick conversions give exactly what the platform's give, in every code page the tests use.
TEST(VlxText, ConversionsMatchThePlatform) {
  std::mt19937 rng(7);
  for (unsigned cp : {936u, 1252u, 65001u, 932u}) {
    sys::SetSystemCodePage(cp);
    for (int round = 0; round < 3000; ++round) {
      const std::u16string text = RandomText(rng);
      bool nonAscii = false;
      const std::string utf8 = sys::Utf16ToUtf8(text);
      std::string mine(3 * text.size() + 1, '\0');
      ASSERT_EQ(vlxtext::EncodeUtf8Counted(text, mine.data(), nonAscii), utf8.size());
      mine.resize(utf8.size());
      ASSERT_EQ(mine, utf8);
      ASSERT_EQ(vlxtext::Utf8Length(text, nonAscii), utf8.size());
      std::string ansi;
      vlxtext::Utf16ToAnsi(text, ansi);
      ASSERT_EQ(ansi, sys::Utf16ToAnsi(text)) << cp;

      const std::string bytes = round % 2 ? RandomBytes(rng) : utf8;
      std::u16string decoded;
      vlxtext::DecodeUtf8(bytes, decoded);
      ASSERT_EQ(decoded, sys::Utf8ToUtf16(bytes));
      std::u16string quick(bytes.size() + 16, u'\0');
      const std::size_t n = vlxtext::DecodeUtf8Quick(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                                     quick.data());
      if (n != vlxtext::kNotQuick) {
        ASSERT_EQ(quick.substr(0, n), decoded);
      }
      const std::string page = round % 2 ? RandomBytes(rng) : ansi;
      std::u16string wide;
      vlxtext::AnsiToUtf16(page, wide);
      ASSERT_EQ(wide, sys::AnsiToUtf16(page)) << cp;
    }
  }
  sys::SetSystemCodePage(936);
}

}  // namespace
