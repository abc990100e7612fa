// Time stamps with offset and the lexer.
#include <gtest/gtest.h>

#include "engines/virttable/VtParser.h"
#include "engines/virttable/VtTimeStamp.h"
#include "platform/rtl/Exceptions.h"

using namespace vt;

namespace {

TSQLTimeStampOffset Ts(int y, int mo, int d, int h, int mi, int s = 0, int f = 0, int zh = 0, int zm = 0) {
  TSQLTimeStampOffset t;
  t.Year = static_cast<std::int16_t>(y);
  t.Month = static_cast<std::uint16_t>(mo);
  t.Day = static_cast<std::uint16_t>(d);
  t.Hour = static_cast<std::uint16_t>(h);
  t.Minute = static_cast<std::uint16_t>(mi);
  t.Second = static_cast<std::uint16_t>(s);
  t.Fractions = static_cast<std::uint32_t>(f);
  t.TimeZoneHour = static_cast<std::int16_t>(zh);
  t.TimeZoneMinute = static_cast<std::int16_t>(zm);
  return t;
}

}  // namespace

TEST(VtTimeStamp, ParseTable) {
  struct Case {
    const char16_t* Text;
    bool Ok;
    int ZH, ZM;
  } cases[] = {
      {u"2020/3/4 10:20:30 -05:30", true, -5, 30},
      {u"2020/3/4 10:20:30 +05:30", true, 5, 30},
      {u"2020/3/4 10:20:30 -00:30", true, 0, -30},  // below an hour behind keeps its sign
      {u"2020/3/4 10:20:30 +14:30", false, 0, 0},
      {u"2020/3/4 10:20:30 -13:00", false, 0, 0},
      {u"2020/3/4 10:20:30 +14:00", true, 14, 0},
      {u"2020/3/4 10:20:30", true, 0, 0},
      {u"", false, 0, 0},
      {u"not a date", false, 0, 0},
  };
  for (const Case& c : cases) {
    TSQLTimeStampOffset t = Ts(1, 1, 1, 1, 1);
    EXPECT_EQ(TryParseSQLTimeStampOffset(c.Text, t), c.Ok) << String(c.Text).size();
    if (c.Ok) {
      EXPECT_EQ(t.Year, 2020);
      EXPECT_EQ(t.Hour, 10);
      EXPECT_EQ(t.TimeZoneHour, c.ZH);
      EXPECT_EQ(t.TimeZoneMinute, c.ZM);
    } else {
      EXPECT_TRUE(IsNullSQLTimeStampOffset(t));
    }
  }
  TSQLTimeStampOffset t;
  EXPECT_THROW(ParseSQLTimeStampOffset(u"x", 3, t), EConvertError);
  EXPECT_TRUE(TryParseSQLTimeStampOffset(u"2020/3/4 10:20:30.125 +01:00", t));
  EXPECT_EQ(t.Fractions, 125u);
}

TEST(VtTimeStamp, ValidityShiftAndCompare) {
  EXPECT_FALSE(IsValidSQLTimeStampOffset(Ts(2020, 0, 1, 0, 0)));   // month 0
  EXPECT_FALSE(IsValidSQLTimeStampOffset(Ts(2020, 1, 0, 0, 0)));   // day 0
  EXPECT_FALSE(IsValidSQLTimeStampOffset(Ts(2021, 2, 29, 0, 0)));
  EXPECT_TRUE(IsValidSQLTimeStampOffset(Ts(2020, 2, 29, 23, 59, 59)));
  EXPECT_FALSE(IsValidSQLTimeStampOffset(Ts(2020, 1, 1, 0, 0, 0, 0, -1, -30)));

  TSQLTimeStampOffset u;
  ShiftToUTC(Ts(2020, 3, 1, 0, 10, 0, 0, 1, 0), u);  // 00:10 +01:00 is 23:10 the day before
  EXPECT_EQ(u.Month, 2);
  EXPECT_EQ(u.Day, 29);
  EXPECT_EQ(u.Hour, 23);
  EXPECT_EQ(u.Minute, 10);
  ShiftToUTC(Ts(2020, 3, 1, 10, 0, 0, 0, 0, -30), u);  // -00:30: UTC is later
  EXPECT_EQ(u.Hour, 10);
  EXPECT_EQ(u.Minute, 30);
  ShiftToUTC(Ts(2020, 3, 1, 10, 0, 0, 0, 0, 30), u);
  EXPECT_EQ(u.Hour, 9);
  EXPECT_EQ(u.Minute, 30);
  TSQLTimeStampOffset l;
  ShiftToOffsetTime(Ts(2020, 12, 31, 23, 0, 0, 0, 5, 45), l);
  EXPECT_EQ(l.Year, 2021);
  EXPECT_EQ(l.Hour, 4);
  EXPECT_EQ(l.Minute, 45);

  // The same instant in two zones compares equal.
  EXPECT_EQ(CompareSQLTimeStampOffsets(Ts(2020, 1, 1, 12, 0, 0, 0, 2, 0), Ts(2020, 1, 1, 9, 30)), 1);  // hours differ first
  EXPECT_EQ(CompareSQLTimeStampOffsets(Ts(2020, 1, 1, 12, 0, 0, 0, 2, 0), Ts(2020, 1, 1, 10, 0)), 0);
  EXPECT_GT(CompareSQLTimeStampOffsets(Ts(2020, 1, 1, 10, 0, 0, 0, 0, -30), Ts(2020, 1, 1, 10, 0, 0, 0, 0, 30)), 0);
  TSQLTimeStamp a{}, b{};
  a.Year = -1;  // compared unsigned: above every positive year
  b.Year = 2000;
  EXPECT_EQ(CompareSQLTimeStamps(a, b), 1);
  b.Year = -1;
  b.Fractions = 1;
  EXPECT_EQ(CompareSQLTimeStamps(a, b), -1);
}

TEST(VtTimeStamp, FormatTable) {
  TFormatSettings s = TFormatSettings::Create(1033);
  s.DateSeparator = u'/';
  s.TimeSeparator = u':';
  s.ShortDateFormat = u"yyyy/mm/dd";
  s.LongTimeFormat = u"hh:nn:ss";
  s.ShortTimeFormat = u"hh:nn";
  const TSQLTimeStampOffset t = Ts(2021, 7, 5, 13, 5, 9, 7);
  struct Case {
    const char16_t* Format;
    const char16_t* Text;
  } cases[] = {
      {u"hh:mm AM/PM", u"01:05 PM"},
      {u"hh:mm", u"13:05"},
      {u"h:nn a/p", u"1:05 p"},
      {u"zzz", u"007"},
      {u"z", u"7"},
      {u"yy-m-d", u"21-7-5"},
      {u"yyyy'y'dd", u"2021y05"},
      {u"\"h\" s ss", u"h 9 09"},
      {u"c", u"2021/07/05 13:05:09"},
      {u"", u"2021/07/05 13:05:09"},
      {u"t", u"13:05"},
      {u"ddddd", u"2021/07/05"},
      {u"mmm", s.ShortMonthNames[6].c_str()},
      {u"dddd", s.LongDayNames[1].c_str()},
      {u"eee", u"2021"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatSQLTimeStamp(c.Format, t, s), String(c.Text)) << String(c.Format).size();
  EXPECT_FALSE(FormatSQLTimeStamp(u"gg", t, s).empty());
  EXPECT_EQ(SQLTimeStampOffsetToText(Ts(2021, 7, 5, 13, 5, 0, 0, -3, 30), u"hh:nn", s), u"13:05 -03:30");
  EXPECT_EQ(SQLTimeStampOffsetToText(Ts(2021, 7, 5, 13, 5, 0, 0, 5, 45), u"hh:nn", s), u"13:05 +05:45");
  EXPECT_EQ(SQLTimeStampOffsetToText(Ts(2021, 7, 5, 13, 5, 0, 0, 0, -30), u"hh:nn", s), u"13:05 -00:30");
}

TEST(VtParser, LexemeTable) {
  struct Lx {
    int Code;
    const char16_t* Text;
  };
  auto scan = [](std::u16string_view text, bool omitBlank = true, bool omitKeywords = false) {
    TParser p(text);
    p.FOmitBlank = omitBlank;
    p.FOmitKeywords = omitKeywords;
    std::vector<std::pair<int, String>> out;
    for (int code; (code = p.GetNextToken()) != lxEnd;) out.emplace_back(code, p.Lexem());
    return out;
  };
  using V = std::vector<std::pair<int, String>>;
  EXPECT_EQ(scan(u"a<=b"), (V{{lxIdent, u"a"}, {18, u"<"}, {19, u"="}, {lxIdent, u"b"}}));
  EXPECT_EQ(scan(u"1.5"), (V{{lxNumber, u"1.5"}}));
  EXPECT_EQ(scan(u"1."), (V{{lxNumber, u"1"}, {14, u"."}}));
  EXPECT_EQ(scan(u"and"), (V{{29, u"AND"}}));
  EXPECT_EQ(scan(u"and", true, true), (V{{lxIdent, u"and"}}));
  EXPECT_EQ(scan(u"x // note\r\ny"), (V{{lxIdent, u"x"}, {lxComment, u"// note"}, {lxIdent, u"y"}}));
  EXPECT_EQ(scan(u"x /* a\nb */y"), (V{{lxIdent, u"x"}, {lxComment, u"/* a\nb */"}, {lxIdent, u"y"}}));
  EXPECT_EQ(scan(u"a b", false), (V{{lxIdent, u"a"}, {lxBlank, u" "}, {lxIdent, u"b"}}));
  EXPECT_EQ(scan(u"'a''b'"), (V{{lxString, u"a"}, {lxString, u"b"}}));
  EXPECT_EQ(scan(u"'open"), (V{{lxString, u"open"}}));
  EXPECT_EQ(scan(u"{"), (V{{lxSymbol, u"{"}}));
  EXPECT_EQ(scan(u"a$1 _x"), (V{{lxIdent, u"a$1"}, {lxIdent, u"_x"}}));
  try {
    scan(u"a\x01");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Parser: The unknown symbol $0001  '\x01'");
  }
  TParser lines(u"a\r\nb\nc");
  while (lines.GetNextToken() != lxEnd) {
  }
  EXPECT_EQ(lines.CurrLine(), 2);
}

TEST(VtParser, BoolParserTable) {
  TBoolParser p(u"a >= 'x''y' AND b<>1 between [c d]");
  std::vector<int> codes;
  std::vector<String> texts;
  for (int code; (code = p.GetNextToken()) != lxEnd;) codes.push_back(code), texts.push_back(p.Lexem());
  EXPECT_EQ(codes, (std::vector<int>{lxIdent, bpMoreEqual, lxString, bpAnd, lxIdent, bpNoEqual, lxNumber, bpBetween,
                                     bpLeftSqBracket, lxIdent, lxIdent, bpRightSqBracket}));
  EXPECT_EQ(texts[2], u"x''y");
  EXPECT_EQ(texts[7], u"BETWEEN");
}

TEST(VtParser, StreamText) {
  TMemoryStream s;
  const char bytes[] = "\xEF\xBB\xBFx = 1";
  s.WriteBuffer(bytes, sizeof bytes - 1);
  s.SetPosition(0);
  TParser p(s);
  EXPECT_EQ(p.GetNextToken(), lxIdent);
  EXPECT_EQ(p.GetNextToken(), 19);
  EXPECT_EQ(p.GetNextToken(), lxNumber);
  EXPECT_EQ(p.GetNextToken(), lxEnd);
}

#include "engines/virttable/VirtTable.h"
#include "engines/virttable/VtTimeStampFields.h"
#include "platform/rtl/Variant.h"

#include <algorithm>
#include <vector>

TEST(VtTimeStampFields, TextByTheTimeStampFormatter) {
  TVirtTable t(nullptr);
  t.FieldDefs().Add(u"TS", ftTimeStamp, 0, false);
  auto* f = new TVtSQLTimeStampField(nullptr);  // the table frees it
  f->SetFieldName(u"TS");
  f->SetDataSet(&t);
  t.Open();
  t.Append();
  EXPECT_EQ(f->AsString(), u"");
  TSQLTimeStamp ts;
  ts.Year = 2021;
  ts.Month = 7;
  ts.Day = 5;
  ts.Hour = 13;
  ts.Minute = 5;
  ts.Second = 9;
  ts.Fractions = 7;
  f->SetAsSQLTimeStamp(ts);
  t.Post();
  EXPECT_EQ(f->AsString(), u"2021/7/5 13:05:09");
  f->SetDisplayFormat(u"hh:nn:ss.zzz AM/PM");
  EXPECT_EQ(f->DisplayText(), u"01:05:09.007 PM");
}

// The offset time stamp as a table field: its text forms, its dynamic value, sorting by the instant it
// names, search, and a save and load that keep the offset.
TEST(VtTimeStampFields, OffsetFieldInATable) {
  TVirtTable t(nullptr);
  t.FieldDefs().Add(u"ID", ftInteger, 0, false);
  t.FieldDefs().Add(u"TS", ftTimeStampOffset, 0, false);
  t.Open();
  TField* f = t.FieldByName(u"TS");
  ASSERT_NE(dynamic_cast<TVtSQLTimeStampOffsetField*>(f), nullptr);
  EXPECT_EQ(f->DataSize(), 20);
  // (ID, text) in the order of the rows; 2 and 4 are the same instant written in two zones.
  const struct {
    int Id;
    const char16_t* Text;
  } rows[] = {
      {1, u"2021/7/5 13:05:09 +05:45"}, {2, u"2021/7/5 10:00:00 -00:30"}, {3, u""}, {4, u"2021/7/5 11:30:00 +01:00"},
      {5, u"2020/2/29 23:59:59"},
  };
  for (const auto& r : rows) {
    t.Append();
    t.FieldByName(u"ID")->SetAsInteger(r.Id);
    f->SetAsString(r.Text);
    t.Post();
  }
  auto texts = [&](TVirtTable& Table) {
    std::vector<String> out;
    for (Table.First(); !Table.Eof(); Table.Next()) out.push_back(Table.FieldByName(u"TS")->AsString());
    return out;
  };
  const std::vector<String> written = {u"2021/7/5 13:05:09 +05:45", u"2021/7/5 10:00:00 -00:30", u"",
                                       u"2021/7/5 11:30:00 +01:00", u"2020/2/29 23:59:59 +00:00"};
  EXPECT_EQ(texts(t), written);
  t.First();
  EXPECT_TRUE(VarIsSQLTimeStampOffset(f->AsVariant()));
  t.Next();
  EXPECT_EQ(f->AsSQLTimeStampOffset().TimeZoneMinute, -30) << "a zero-hour offset keeps its sign";
  t.Next();
  EXPECT_TRUE(f->IsNull());
  EXPECT_TRUE(f->AsVariant().IsNull());
  EXPECT_THROW(f->SetAsString(u"not a time"), EConvertError);

  t.SetIndexFieldNames(u"TS");
  std::vector<int> ids;
  for (t.First(); !t.Eof(); t.Next()) ids.push_back(t.FieldByName(u"ID")->AsInteger());
  ASSERT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids[0], 3) << "null first";
  EXPECT_EQ(ids[1], 5);
  EXPECT_EQ(ids[2], 1) << "07:20 UTC";
  EXPECT_EQ(std::min(ids[3], ids[4]), 2) << "2 and 4 are both 10:30 UTC";
  EXPECT_EQ(std::max(ids[3], ids[4]), 4);
  t.SetIndexFieldNames(u"");

  EXPECT_TRUE(t.Locate(u"TS", VarSQLTimeStampOffsetCreate(Ts(2021, 7, 5, 10, 30, 0, 0, 0, 0)), {}));
  EXPECT_EQ(t.FieldByName(u"ID")->AsInteger(), 2);

  TMemoryStream s;
  t.SaveToStream(&s);
  TVirtTable u(nullptr);
  s.SetPosition(0);
  u.LoadFromStream(&s);
  u.Open();
  EXPECT_EQ(u.FieldDefs().Find(u"TS")->DataType(), ftTimeStampOffset);
  EXPECT_EQ(texts(u), written);
}
