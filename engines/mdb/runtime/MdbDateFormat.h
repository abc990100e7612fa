// Date format masks (the SQL layer's TO_DATE / TOSTRING style conversions) and the date-part routines
// of the SQL date functions. A TDateFormater parses its mask once into tokens; the longest token text
// wins at each position (tried from five characters down, case-insensitive), quoted text ('...' or
// "...") is literal, and anything that is not a token is literal too, so parsing never fails.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/String.h"

enum TDateFormatType : Byte {
  dfYYYY, dfYY, dfYEAR, dfQ, dfMONTH, dfMON, dfMM, dfM, dfRM, dfDDD, dfDD, dfDAY, dfDY, dfDW, dfD, dfHH12, dfHH24,
  dfHH, dfH12, dfH24, dfH, dfNN, dfN, dfSS, dfS, dfZZZ, dfZ, dfAMPM, dfText
};

inline constexpr char16_t SMdbAmPmExpected[] = u"AM/PM word expected, but '%s' found";
inline constexpr char16_t SMdbAssignInvalidSource[] =
    u"Error in Assign method - invalid source class. Self.ClassName = %s, Source.ClassName = %s";

extern const char16_t* const DateFormatTokenTexts[dfText];
inline constexpr int kMaxDateFormatTokenLength = 5;
extern const char16_t* const EnglishDayNames[7];     // Sunday first
extern const char16_t* const EnglishMonthNames[12];

struct TDateFormatToken {
  TDateFormatType TokenType = dfText;
  String Text;  // as written in the mask; a literal without its quotes
};

class TDateFormater : public TObject {
  VELLUM_CLASS(TDateFormater)
 public:
  explicit TDateFormater(std::u16string_view DateFormat) { ParseDateFormat(DateFormat); }

  // Platform conversion errors pass through; a bad AM/PM word raises 30129.
  TDateTime ToDate(std::u16string_view Str) const;
  String TOString(TDateTime Dt) const;
  std::int32_t GetStringMaxSize() const;
  // 12200 for nil, 12201 for a source of another class.
  void Assign(const TObject* Source);
  const std::vector<TDateFormatToken>& Tokens() const { return FDateFormat; }

  // Number readers of ToDate; Start is 1-based and moves past what was read.
  static void ConvertStrToWord(std::int32_t MaxSigns, std::u16string_view Str, std::int32_t& Start, Word& W);
  static void ConvertRMToWord(std::u16string_view Str, std::int32_t& Start, Word& W);

 private:
  void ParseDateFormat(std::u16string_view Mask);
  static TDateFormatType FindDateFormatToken(std::u16string_view Text);
  std::vector<TDateFormatToken> FDateFormat;
};

TDateTime StartOfYearDate(TDateTime Date);
Word DayNumberInYear(TDateTime Date);
inline Word DayOfYearNumber(TDateTime Date) { return DayNumberInYear(Date); }
Word IsoDayOfWeek(TDateTime Date);        // 1 = Monday .. 7 = Sunday
Word SundayFirstDayOfWeek(TDateTime Date);  // 1 = Sunday .. 7 = Saturday
void IsoWeekAndYear(Word& Year, Word& Week, Word& DayOfWeek, TDateTime Date);
Word IsoWeekNumber(TDateTime Date);
Word WeekOfYearFromJanuaryFirst(TDateTime Date);
