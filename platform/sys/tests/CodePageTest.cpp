#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/sys/CodePage.h"

namespace {

// Every test leaves the process-wide page as it found it.
class CodePageTest : public ::testing::Test {
 protected:
  void TearDown() override { sys::SetSystemCodePage(sys::kDefaultSystemCodePage); }
};

TEST_F(CodePageTest, DefaultIs936AndOemEqualsSystem) {
  EXPECT_EQ(sys::GetSystemCodePage(), 936u);
  EXPECT_EQ(sys::GetOEMCodePage(), 936u);
  sys::SetSystemCodePage(1252);
  EXPECT_EQ(sys::GetOEMCodePage(), 1252u);
  EXPECT_EQ(sys::ResolveCodePage(sys::CP_ACP), 1252u);
  EXPECT_THROW(sys::SetSystemCodePage(4242), std::invalid_argument);
  EXPECT_EQ(sys::GetSystemCodePage(), 1252u);
}

TEST_F(CodePageTest, RoundTrips) {
  struct Case {
    unsigned cp;
    std::u16string text;
    std::string bytes;
  };
  const Case cases[] = {
      {936, u"中文 abc", "\xD6\xD0\xCE\xC4 abc"},
      {936, u"张三", "\xD5\xC5\xC8\xFD"},
      {936, u"€", "\x80"},
      {1252, u"café €", "caf\xE9 \x80"},
      {1252, u"", ""},
      {65001, u"é中\U0001F600", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {932, u"日本", "\x93\xFA\x96\x7B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cp);
    EXPECT_EQ(sys::Utf16ToAnsi(c.text, c.cp), c.bytes);
    EXPECT_EQ(sys::AnsiToUtf16(c.bytes, c.cp), c.text);
    EXPECT_EQ(sys::AnsiLength(c.text, c.cp), c.bytes.size());
  }
}

TEST_F(CodePageTest, SystemPageIsTheDefaultArgument) {
  EXPECT_EQ(sys::Utf16ToAnsi(u"中"), "\xD6\xD0");
  sys::SetSystemCodePage(65001);
  EXPECT_EQ(sys::Utf16ToAnsi(u"中"), "\xE4\xB8\xAD");
  sys::SetSystemCodePage(1252);
  EXPECT_EQ(sys::Utf16ToAnsi(u"中"), "?");
  EXPECT_EQ(sys::AnsiToUtf16("\xE9"), u"é");
}

TEST_F(CodePageTest, UnmappableBecomesQuestionMark) {
  struct Case {
    unsigned cp;
    std::u16string text;
    std::string bytes;
  };
  const Case cases[] = {
      {1252, u"a中b", "a?b"},
      {1252, u"\U0001F600", "?"},
      {936, u"\u0E01x", "?x"},         // Thai is not in GBK
      {936, u"a\xD800" u"b", "a?b"},   // a lone surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(sys::Utf16ToAnsi(c.text, c.cp), c.bytes) << c.cp;
}

TEST_F(CodePageTest, UndecodableBytesBecomeReplacement) {
  EXPECT_EQ(sys::AnsiToUtf16("a\xD6", 936), u"a\uFFFD");  // a lead byte at the end
  EXPECT_EQ(sys::AnsiToUtf16("\xC3", 65001), u"\uFFFD");
}

TEST_F(CodePageTest, LeadBytes) {
  struct Case {
    unsigned cp;
    unsigned char b;
    bool lead;
  };
  const Case cases[] = {{936, 0xD6, true},  {936, 0x81, true},  {936, 0xFE, true},   {936, 0x41, false},
                        {936, 0x80, false}, {936, 0xFF, false}, {1252, 0xD6, false}, {65001, 0xE4, true},
                        {65001, 0x80, false}};
  for (const auto& c : cases) EXPECT_EQ(sys::IsLeadByte(c.b, c.cp), c.lead) << c.cp << " " << int(c.b);
  EXPECT_EQ(sys::MaxCharSize(936), 2);
  EXPECT_EQ(sys::MaxCharSize(1252), 1);
}

// The 10-byte field: an 11-byte value must be cut to whole characters.
TEST_F(CodePageTest, CutNeverSplitsADoubleByteCharacter) {
  struct Case {
    std::u16string text;
    size_t max;
    size_t cut;
  };
  const Case cases[] = {
      {u"a张三李四王", 10, 9},   // 1 + 5×2 = 11 bytes: the fifth character does not fit
      {u"张三李四王a", 10, 10},  // 11 bytes: cut right after the fifth character
      {u"张三李四王", 10, 10},   // exactly 10
      {u"张张", 3, 2},          // 张 = D5 C5: its trail byte C5 is also a lead byte
      {u"ab", 10, 2},
      {u"张", 1, 0},
      {u"", 0, 0},
  };
  for (const auto& c : cases) {
    const std::string bytes = sys::Utf16ToAnsi(c.text, 936);
    EXPECT_EQ(sys::CutLength(bytes, c.max, 936), c.cut) << bytes.size();
    char buffer[16] = {};
    const size_t written = sys::Utf16ToAnsi(c.text, buffer, c.max, 936);
    EXPECT_EQ(written, c.cut);
    EXPECT_EQ(std::string(buffer, written), bytes.substr(0, c.cut));
  }
  // 11 bytes built byte by byte: "a" then five GBK characters.
  const std::string eleven = "a\xD5\xC5\xC8\xFD\xC0\xEE\xCB\xC4\xCD\xF5";
  ASSERT_EQ(eleven.size(), 11u);
  EXPECT_EQ(sys::CutAnsi(eleven, 10, 936), eleven.substr(0, 9));
  EXPECT_EQ(sys::AnsiToUtf16(sys::CutAnsi(eleven, 10, 936), 936), u"a张三李四");
}

TEST_F(CodePageTest, CutInUtf8AndSingleBytePages) {
  const std::string utf8 = "a\xE4\xB8\xAD\xE4\xB8\xAD";  // a中中
  EXPECT_EQ(sys::CutLength(utf8, 5, 65001), 4u);
  EXPECT_EQ(sys::CutLength(utf8, 4, 65001), 4u);
  EXPECT_EQ(sys::CutLength(utf8, 3, 65001), 1u);
  EXPECT_EQ(sys::CutLength("abcdef", 4, 1252), 4u);
}

TEST_F(CodePageTest, BufferForms) {
  char16_t wide[4];
  EXPECT_EQ(sys::AnsiToUtf16("\xD6\xD0\xCE\xC4xyz", wide, 4, 936), 5u);  // needs 5, holds the first 4
  EXPECT_EQ(std::u16string(wide, 4), u"中文xy");
  std::u16string reused;
  sys::AnsiToUtf16("abc", reused, 936);
  EXPECT_EQ(reused, u"abc");
  std::string narrow = "old content";
  sys::Utf16ToAnsi(u"中", narrow, 936);
  EXPECT_EQ(narrow, "\xD6\xD0");
}

}  // namespace
