#include <gtest/gtest.h>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/String.h"

TEST(Utf, RoundTripsMixedText) {
  const String text = u"Vellum 内存表 é \U0001F600";
  EXPECT_EQ(UTF8ToString(StringToUTF8(text)), text);
  EXPECT_EQ(StringToUTF8(u"é"), "\xC3\xA9");
}

TEST(Utf, MalformedInputBecomesReplacement) {
  struct Case { std::string in; String out; };
  const Case cases[] = {{"\xC3", u"\uFFFD"}, {"a\xFF" "b", u"a\uFFFDb"}, {"\xC0\x80", u"\uFFFD\uFFFD"}};
  for (const auto& c : cases) EXPECT_EQ(UTF8ToString(c.in), c.out) << c.in;
}

TEST(Exception, WhatIsUtf8OfMessage) {
  Exception e(u"Field 'é' not found");
  EXPECT_STREQ(e.what(), "Field '\xC3\xA9' not found");
}
