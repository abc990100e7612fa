#include <gtest/gtest.h>

#include <vector>

#include "engines/mdb/runtime/MdbDateFormat.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"
#include "platform/rtl/DateTime.h"

namespace {

using MdbDateFormatTest = MdbRuntimeTest;

struct Tok {
  TDateFormatType Type;
  const char16_t* Text;
};

void ExpectTokens(const char16_t* Mask, std::vector<Tok> Expected) {
  TDateFormater F(Mask);
  ASSERT_EQ(F.Tokens().size(), Expected.size()) << StringToUTF8(Mask);
  for (std::size_t i = 0; i < Expected.size(); ++i) {
    EXPECT_EQ(F.Tokens()[i].TokenType, Expected[i].Type) << StringToUTF8(Mask) << " #" << i;
    EXPECT_EQ(F.Tokens()[i].Text, Expected[i].Text) << StringToUTF8(Mask) << " #" << i;
  }
}

TEST_F(MdbDateFormatTest, TokenSplits) {
  ExpectTokens(u"YYYY-MM-DD", {{dfYYYY, u"YYYY"}, {dfText, u"-"}, {dfMM, u"MM"}, {dfText, u"-"}, {dfDD, u"DD"}});
  ExpectTokens(u"yyyymmdd", {{dfYYYY, u"yyyy"}, {dfMM, u"mm"}, {dfDD, u"dd"}});
  ExpectTokens(u"MONTH", {{dfMONTH, u"MONTH"}});
  ExpectTokens(u"MON", {{dfMON, u"MON"}});
  ExpectTokens(u"MI", {{dfM, u"M"}, {dfText, u"I"}});
  ExpectTokens(u"HH24MISS", {{dfHH24, u"HH24"}, {dfM, u"M"}, {dfText, u"I"}, {dfSS, u"SS"}});
  ExpectTokens(u"DAY", {{dfDAY, u"DAY"}});
  ExpectTokens(u"DDDD", {{dfDDD, u"DDD"}, {dfD, u"D"}});
  ExpectTokens(u"'Year: 'YYYY", {{dfText, u"Year: "}, {dfYYYY, u"YYYY"}});
  ExpectTokens(u"\"YYYY\"", {{dfText, u"YYYY"}});
  ExpectTokens(u"'It''s'", {{dfText, u"It"}, {dfText, u"s"}});
  ExpectTokens(u"'a\"b'", {{dfText, u"a\"b"}});
  ExpectTokens(u"DD 'open", {{dfDD, u"DD"}, {dfText, u" "}, {dfText, u"open"}});
}

TEST_F(MdbDateFormatTest, ToDate) {
  struct Case {
    const char16_t* Mask;
    const char16_t* Text;
    TDateTime Expected;
  };
  const Case Cases[] = {
      {u"DD.MM.YY", u"05.11.29", EncodeDate(2029, 11, 5)},
      {u"DD.MM.YY", u"05.11.30", EncodeDate(1930, 11, 5)},
      {u"HH:NN", u"13:45", EncodeTime(13, 45, 0, 0)},
      {u"HH12 AMPM", u"07 PM", EncodeTime(19, 0, 0, 0)},
      {u"HH12 AMPM", u"00 pm", EncodeTime(12, 0, 0, 0)},
      {u"YYYY-RM-DD", u"2016-IV-03", EncodeDate(2016, 4, 3)},
      {u"YYYY-RM-DD", u"2016-IX-03", EncodeDate(2016, 9, 3)},
      {u"YYYY-Q-DD", u"2016-2-01", EncodeDate(2016, 4, 1)},
      {u"YYYY-Q-DD", u"2016-1-01", EncodeDate(2016, 1, 1)},
      {u"YYYY-Q", u"2016-2", 0},
      {u"D/M/YYYY H:N:S.Z", u"3/4/2016 5:6:7.8", EncodeDateTime(2016, 4, 3, 5, 6, 7, 8)},
      {u"MONTH DD YYYY", u"XXXXX 02 2020", 0},  // the month name is skipped: no month read
  };
  for (const auto& C : Cases) EXPECT_DOUBLE_EQ(TDateFormater(C.Mask).ToDate(C.Text), C.Expected) << StringToUTF8(C.Text);
  try {
    TDateFormater(u"HH12 AMPM").ToDate(u"07 XX");
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 30129);
    EXPECT_EQ(E.Message().rfind(u"AM/PM word expected, but 'XX' found", 0), 0u);
  }
  EXPECT_THROW(TDateFormater(u"YYYY-MM-DD").ToDate(u"2016-13-01"), Exception);
  EXPECT_THROW(TDateFormater(u"YYYY-MM-DD").ToDate(u"2016-a1-01"), Exception);
  EXPECT_THROW(TDateFormater(u"YYYY-MM-DD").ToDate(u"20"), Exception);
}

TEST_F(MdbDateFormatTest, ToStringAndBack) {
  const TDateFormater F(u"HH12 AMPM");
  EXPECT_EQ(F.TOString(EncodeTime(12, 30, 0, 0)), u"00 PM");
  EXPECT_EQ(F.TOString(EncodeTime(0, 30, 0, 0)), u"00 AM");
  EXPECT_DOUBLE_EQ(F.ToDate(u"00 PM"), EncodeTime(12, 0, 0, 0));
  EXPECT_DOUBLE_EQ(F.ToDate(u"00 AM"), 0.0);
  const TDateTime Dt = EncodeDateTime(2016, 9, 3, 14, 5, 9, 7);
  EXPECT_EQ(TDateFormater(u"YYYY-MM-DD HH24:NN:SS.ZZZ").TOString(Dt), u"2016-09-03 14:05:09.007");
  EXPECT_EQ(TDateFormater(u"RM Q DDD DW D/M H").TOString(Dt), u"IX 3 247 6 3/9 2");
  EXPECT_EQ(TDateFormater(u"'Q'Q").TOString(Dt), u"Q3");
  const TDateFormater Round(u"YYYY-RM-DD HH24:NN");
  EXPECT_DOUBLE_EQ(Round.ToDate(Round.TOString(EncodeDateTime(2001, 12, 24, 8, 15, 0, 0))), EncodeDateTime(2001, 12, 24, 8, 15, 0, 0));
}

TEST_F(MdbDateFormatTest, MaxSizesAndAssign) {
  EXPECT_EQ(TDateFormater(u"YYYY-MM-DD").GetStringMaxSize(), 10);
  EXPECT_EQ(TDateFormater(u"DAY, DD MONTH YYYY").GetStringMaxSize(), 31);
  TDateFormater A(u"YYYY");
  const TDateFormater B(u"DD.MM");
  A.Assign(&B);
  EXPECT_EQ(A.Tokens().size(), 3u);
  EXPECT_EQ(NativeCodeOf([&] { A.Assign(nullptr); }), 12200);
  TObject Other;
  EXPECT_EQ(NativeCodeOf([&] { A.Assign(&Other); }), 12201);
}

TEST_F(MdbDateFormatTest, WeeksAndDays) {
  struct Case {
    TDateTime Date;
    Word Year, Week, Dow;
  };
  const Case Cases[] = {
      {EncodeDate(2016, 1, 1), 2015, 53, 5},
      {EncodeDate(2018, 12, 31), 2019, 1, 1},
      {EncodeDate(2016, 1, 4), 2016, 1, 1},
      {EncodeDate(2020, 12, 31), 2020, 53, 4},
      {EncodeDate(2021, 1, 3), 2020, 53, 7},
      {EncodeDate(2008, 12, 29), 2009, 1, 1},
  };
  for (const auto& C : Cases) {
    Word Y = 0, W = 0, D = 0;
    IsoWeekAndYear(Y, W, D, C.Date);
    EXPECT_EQ(Y, C.Year) << C.Date;
    EXPECT_EQ(W, C.Week) << C.Date;
    EXPECT_EQ(D, C.Dow) << C.Date;
  }
  EXPECT_EQ(WeekOfYearFromJanuaryFirst(EncodeDate(2016, 1, 4)), 2);
  EXPECT_EQ(WeekOfYearFromJanuaryFirst(EncodeDate(2016, 1, 3)), 1);
  EXPECT_EQ(IsoDayOfWeek(EncodeDate(1, 1, 1)), 1);
  EXPECT_EQ(SundayFirstDayOfWeek(EncodeDate(2021, 1, 3)), 1);
  EXPECT_EQ(DayNumberInYear(EncodeDate(2016, 12, 31)), 366);
  EXPECT_EQ(IsoWeekNumber(EncodeDate(2016, 1, 1)), 53);
}

}  // namespace
