#include <gtest/gtest.h>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace {

// The clock is pinned so that a missing or two-digit year is deterministic.
class DateText : public ::testing::Test {
 protected:
  void SetUp() override { SetNowClock([] { return EncodeDateTime(2024, 6, 15, 10, 0, 0, 0); }); }
  void TearDown() override { SetNowClock(nullptr); }
};

TEST_F(DateText, FormatDateTime) {
  const TDateTime v = EncodeDateTime(2024, 2, 9, 13, 5, 7, 89);
  const TDateTime morning = EncodeDateTime(2024, 2, 9, 0, 5, 0, 7);
  struct Case {
    std::u16string_view format;
    TDateTime value;
    std::u16string_view text;
  };
  const Case cases[] = {
      {u"yyyy-mm-dd hh:nn:ss.zzz", v, u"2024-02-09 13:05:07.089"},
      {u"yy/m/d", v, u"24/2/9"},
      {u"c", v, u"2024/2/9 13:05:07"},
      {u"c", EncodeDate(2024, 2, 9), u"2024/2/9"},
      {u"ddd dddd", v, u"周五 星期五"},
      {u"mmm mmmm", v, u"2月 二月"},
      {u"ddddd", v, u"2024/2/9"},
      {u"dddddd", v, u"2024年2月9日"},
      {u"hh:mm", v, u"13:05"},  // m right after h is minutes
      {u"h:mm AM/PM", v, u"1:05 PM"},
      {u"hh:mm am/pm", v, u"01:05 pm"},
      {u"hh:mm AM/PM", morning, u"12:05 AM"},
      {u"h:mm ampm", v, u"1:05 下午"},
      {u"h a/p", v, u"1 p"},
      {u"t|tt", v, u"13:05|13:05:07"},
      {u"s.z", morning, u"0.7"},
      {u"'yyyy' \"mm\" yyyy", v, u"yyyy mm 2024"},
      {u"", v, u"2024/2/9 13:05:07"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatDateTime(c.format, c.value), c.text) << std::string(c.format.begin(), c.format.end());
  const TFormatSettings us = TFormatSettings::Create(1033);
  EXPECT_EQ(FormatDateTime(u"c", v, us), u"2/9/2024 1:05:07 PM");
  EXPECT_EQ(FormatDateTime(u"dddddd", v, us), u"Friday, February 9, 2024");
}

TEST_F(DateText, ToStrForms) {
  const TDateTime v = EncodeDateTime(2024, 2, 29, 8, 30, 0, 0);
  EXPECT_EQ(DateTimeToStr(v), u"2024/2/29 8:30:00");
  EXPECT_EQ(DateToStr(v), u"2024/2/29");
  EXPECT_EQ(TimeToStr(v), u"8:30:00");
}

TEST_F(DateText, StrToDate) {
  struct Case {
    std::u16string_view text;
    int y, m, d;
  };
  const Case cases[] = {
      {u"2024/2/29", 2024, 2, 29}, {u" 2024/02/09 ", 2024, 2, 9}, {u"2/9", 2024, 2, 9},  // no year: this year
      {u"24/2/9", 2024, 2, 9},     {u"99/1/1", 1999, 1, 1},       {u"73/1/1", 2073, 1, 1},
      {u"74/1/1", 1974, 1, 1},     {u"0001/1/1", 1, 1, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StrToDate(c.text), EncodeDate(c.y, c.m, c.d)) << std::string(c.text.begin(), c.text.end());
  EXPECT_EQ(StrToDate(u"2/9/2024", TFormatSettings::Create(1033)), EncodeDate(2024, 2, 9));
}

TEST_F(DateText, StrToTimeAndDateTime) {
  struct Case {
    std::u16string_view text;
    int h, n, s, ms;
  };
  const Case cases[] = {
      {u"13:05", 13, 5, 0, 0},     {u"13:05:07", 13, 5, 7, 0},  {u"13:05:07.089", 13, 5, 7, 89},
      {u"1:05:07 PM", 13, 5, 7, 0}, {u"12:00 AM", 0, 0, 0, 0},   {u"12:30 pm", 12, 30, 0, 0},
      {u"下午 1:05", 13, 5, 0, 0},  {u"9 AM", 9, 0, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StrToTime(c.text), EncodeTime(c.h, c.n, c.s, c.ms)) << std::string(c.text.begin(), c.text.end());
  EXPECT_EQ(StrToDateTime(u"2024/2/9 13:05:07"), EncodeDateTime(2024, 2, 9, 13, 5, 7, 0));
  EXPECT_EQ(StrToDateTime(u"2024/2/9"), EncodeDate(2024, 2, 9));
  EXPECT_EQ(StrToDateTime(u"13:05"), EncodeTime(13, 5, 0, 0));
  // Round trip through the default text.
  const TDateTime v = EncodeDateTime(1987, 11, 3, 23, 59, 58, 0);
  EXPECT_EQ(StrToDateTime(DateTimeToStr(v)), v);
}

TEST_F(DateText, BadTextRaisesOrGivesTheDefault) {
  struct Case {
    std::u16string_view text;
    bool date, time, dateTime;
  };
  // Each flag: whether that parser accepts the text.
  const Case cases[] = {
      {u"", false, false, false},          {u"2024/2/30", false, false, false}, {u"2024-02-09", false, false, false},
      {u"2024/2/9 25:00", false, false, false}, {u"13", false, false, false},  {u"13:61", false, false, false},
      {u"abc", false, false, false},       {u"2024/2/9x", false, false, false}, {u"13:00 PM", false, false, false},
  };
  for (const auto& c : cases) {
    TDateTime v = 42;
    EXPECT_EQ(TryStrToDate(c.text, v), c.date);
    EXPECT_EQ(TryStrToTime(c.text, v), c.time);
    EXPECT_EQ(TryStrToDateTime(c.text, v), c.dateTime);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(StrToDateDef(c.text, -7), -7);
    EXPECT_EQ(StrToTimeDef(c.text, -7), -7);
    EXPECT_EQ(StrToDateTimeDef(c.text, -7), -7);
  }
  auto message = [](auto f) {
    try {
      f();
    } catch (const EConvertError& e) {
      return e.Message();
    }
    return String(u"no error");
  };
  EXPECT_EQ(message([] { StrToDate(u"2024/2/30"); }), u"'2024/2/30' is not a valid date");
  EXPECT_EQ(message([] { StrToTime(u"25:00"); }), u"'25:00' is not a valid time");
  EXPECT_EQ(message([] { StrToDateTime(u"x"); }), u"'x' is not a valid date and time");
}

}  // namespace
