#include "engines/virttable/VtTimeStamp.h"

#include <unicode/calendar.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>

#include <cstdlib>
#include <memory>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"
#include "engines/virttable/VtUtils.h"

namespace vt {

namespace {


TSQLTimeStamp Plain(const TSQLTimeStampOffset& T) {
  TSQLTimeStamp s;
  s.Year = T.Year;
  s.Month = T.Month;
  s.Day = T.Day;
  s.Hour = T.Hour;
  s.Minute = T.Minute;
  s.Second = T.Second;
  s.Fractions = T.Fractions;
  return s;
}

// Moves T's wall clock by Delta minutes, across day boundaries.
void MoveMinutes(const TSQLTimeStampOffset& T, int Delta, TSQLTimeStampOffset& Out) {
  Out = T;
  int m = T.Hour * 60 + T.Minute + Delta;
  int dayShift = 0;
  while (m < 0) m += 1440, --dayShift;
  while (m >= 1440) m -= 1440, ++dayShift;
  if (dayShift != 0) {
    TDateTime d;
    if (TryEncodeDate(T.Year, T.Month, T.Day, d)) {
      std::uint16_t y, mo, da;
      DecodeDate(d + dayShift, y, mo, da);
      Out.Year = static_cast<std::int16_t>(y);
      Out.Month = mo;
      Out.Day = da;
    }
  }
  Out.Hour = static_cast<std::uint16_t>(m / 60);
  Out.Minute = static_cast<std::uint16_t>(m % 60);
}

}  // namespace

int CompareSQLTimeStamps(const TSQLTimeStamp& A, const TSQLTimeStamp& B) {
  const std::uint16_t a[6] = {static_cast<std::uint16_t>(A.Year), A.Month, A.Day, A.Hour, A.Minute, A.Second};
  const std::uint16_t b[6] = {static_cast<std::uint16_t>(B.Year), B.Month, B.Day, B.Hour, B.Minute, B.Second};
  for (int i = 0; i < 6; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  if (A.Fractions != B.Fractions) return A.Fractions < B.Fractions ? -1 : 1;
  return 0;
}

int CompareSQLTimeStampOffsets(const TSQLTimeStampOffset& A, const TSQLTimeStampOffset& B) {
  TSQLTimeStampOffset a, b;
  ShiftToUTC(A, a);
  ShiftToUTC(B, b);
  const long long d[7] = {a.Year - b.Year,     a.Month - b.Month,   a.Day - b.Day,
                          a.Hour - b.Hour,     a.Minute - b.Minute, a.Second - b.Second,
                          static_cast<long long>(a.Fractions) - static_cast<long long>(b.Fractions)};
  for (long long v : d)
    if (v != 0) return v > 0 ? (v > 2147483647LL ? 2147483647 : static_cast<int>(v))
                             : (v < -2147483647LL ? -2147483647 : static_cast<int>(v));
  return 0;
}

bool IsNullSQLTimeStampOffset(const TSQLTimeStampOffset& T) {
  return T.Year == 0 && T.Month == 0 && T.Day == 0 && T.Hour == 0 && T.Minute == 0 && T.Second == 0 &&
         T.Fractions == 0 && T.TimeZoneHour == 0 && T.TimeZoneMinute == 0;
}

bool IsValidSQLTimeStampOffset(const TSQLTimeStampOffset& T) {
  if (T.Month < 1 || T.Month > 12) return false;
  if (T.Day < 1 || T.Day > DaysInAMonth(T.Year, T.Month)) return false;
  if (T.Hour > 23 || T.Minute > 59 || T.Second > 59) return false;
  if (T.TimeZoneHour < -12 || T.TimeZoneHour > 14) return false;
  // A negative minute only stands for "-00:mm".
  if (T.TimeZoneMinute < 0 ? (T.TimeZoneHour != 0 || T.TimeZoneMinute < -59) : T.TimeZoneMinute > 59) return false;
  if (T.TimeZoneHour == 14 && T.TimeZoneMinute != 0) return false;
  return true;
}

int OffsetMinutes(const TSQLTimeStampOffset& T) {
  if (T.TimeZoneHour == 0) return T.TimeZoneMinute;
  const int m = std::abs(T.TimeZoneMinute);
  return T.TimeZoneHour < 0 ? T.TimeZoneHour * 60 - m : T.TimeZoneHour * 60 + m;
}

double SQLTimeStampOffsetToDateTimeValue(const TSQLTimeStampOffset& T) {
  if (IsNullSQLTimeStampOffset(T)) return 0;
  return EncodeDateTimeValue(T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second, T.Fractions & 0xFFFF);
}

void ShiftToUTC(const TSQLTimeStampOffset& T, TSQLTimeStampOffset& U) {
  if (T.TimeZoneHour == 0 && T.TimeZoneMinute == 0) {
    U = T;
    return;
  }
  MoveMinutes(T, -OffsetMinutes(T), U);
}

void ShiftToOffsetTime(const TSQLTimeStampOffset& T, TSQLTimeStampOffset& L) {
  if (T.TimeZoneHour == 0 && T.TimeZoneMinute == 0) {
    L = T;
    return;
  }
  MoveMinutes(T, OffsetMinutes(T), L);
}

std::uint32_t ReadFractionDigits(std::u16string_view Text, const TFormatSettings& Settings, int Precision) {
  TDateTime v;
  if (!TryStrToDateTime(Text, v, Settings)) return 0;
  std::uint16_t h, n, s, ms;
  DecodeTime(v, h, n, s, ms);
  const char16_t sep = Settings.TimeSeparator;
  auto two = [](int x) { return IntToStr(x); };
  auto find = [&](std::u16string_view what, std::size_t from) {
    return from > Text.size() ? std::u16string_view::npos : Text.find(what, from);
  };
  String hs = two(h) + sep;
  std::size_t p = find(hs, 0);
  if (p == std::u16string_view::npos && h > 12) {
    hs = two(h - 12) + sep;
    p = find(hs, 0);
  }
  if (p == std::u16string_view::npos) return 0;
  p += hs.size();
  const String ns = two(n) + sep;
  p = find(ns, p);
  if (p == std::u16string_view::npos) return 0;
  p += ns.size() - 1;
  String ss = String(1, sep) + two(s);
  std::size_t q = find(ss, p);
  if (q == std::u16string_view::npos && s < 10) {
    ss = String(1, sep) + u"0" + two(s);
    q = find(ss, p);
  }
  if (q == std::u16string_view::npos) return 0;
  q += ss.size() + 1;  // the decimal separator after the seconds
  String digits;
  while (q < Text.size() && Text[q] >= u'0' && Text[q] <= u'9' && static_cast<int>(digits.size()) < Precision)
    digits += Text[q++];
  if (digits.empty()) return 0;
  while (static_cast<int>(digits.size()) < Precision) digits += u'0';
  Int64 r = 0;
  return TryStrToInt64(digits, r) ? static_cast<std::uint32_t>(r) : 0;
}

bool TryParseSQLTimeStampOffset(std::u16string_view Text, TSQLTimeStampOffset& T, int Precision) {
  T = TSQLTimeStampOffset{};
  if (Text.empty()) return false;
  // A trailing " +hh:nn" / " -hh:nn" is the offset; the rest must read as a date-time.
  std::u16string_view stamp = Text;
  int offH = 0, offM = 0;
  bool negative = false;
  auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  const std::size_t n = Text.size();
  if (n >= 7 && digit(Text[n - 5]) && digit(Text[n - 4]) && Text[n - 3] == u':' && digit(Text[n - 2]) &&
      digit(Text[n - 1]) && (Text[n - 6] == u'+' || Text[n - 6] == u'-') && Text[n - 7] == u' ') {
    offH = (Text[n - 5] - u'0') * 10 + (Text[n - 4] - u'0');
    offM = (Text[n - 2] - u'0') * 10 + (Text[n - 1] - u'0');
    negative = Text[n - 6] == u'-';
    stamp = Text.substr(0, n - 7);
  }
  TDateTime v;
  if (!TryStrToDateTime(stamp, v, FormatSettings())) return false;
  TSQLTimeStampOffset r = DateTimeToSQLTimeStampOffset(v);
  if (r.Fractions == 0 || Precision != 3) r.Fractions = ReadFractionDigits(stamp, FormatSettings(), Precision);
  if (offM > 59) return false;
  r.TimeZoneHour = static_cast<std::int16_t>(negative ? -offH : offH);
  r.TimeZoneMinute = static_cast<std::int16_t>(negative && offH == 0 ? -offM : offM);
  if (!IsValidSQLTimeStampOffset(r)) return false;
  T = r;
  return true;
}

void ParseSQLTimeStampOffset(std::u16string_view Text, int Precision, TSQLTimeStampOffset& T) {
  if (!TryParseSQLTimeStampOffset(Text, T, Precision)) throw EConvertError(u"Could not parse SQL TimeStamp string");
}

// ---- formatting ----

namespace {

// Era name and era year of a date by the locale's calendar.
struct TEraParts {
  String Name;
  int Year = 0;
};

TEraParts EraOf(const TSQLTimeStamp& T) {
  TEraParts r;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale locale("zh_CN");
  std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(locale, status));
  if (U_FAILURE(status) || !cal) {
    r.Year = T.Year;
    return r;
  }
  cal->clear();
  cal->set(T.Year, T.Month - 1, T.Day ? T.Day : 1);
  icu::SimpleDateFormat fmt(icu::UnicodeString(u"G"), locale, status);
  if (U_SUCCESS(status)) {
    fmt.setCalendar(*cal);
    icu::UnicodeString out;
    fmt.format(cal->getTime(status), out);
    r.Name.assign(reinterpret_cast<const char16_t*>(out.getBuffer()), static_cast<std::size_t>(out.length()));
  }
  r.Year = cal->get(UCAL_YEAR, status);
  if (U_FAILURE(status)) r.Year = T.Year;
  return r;
}

String Digits(long long v, int MinDigits) {
  String s = IntToStr(v < 0 ? -v : v);
  while (static_cast<int>(s.size()) < MinDigits) s.insert(s.begin(), u'0');
  if (v < 0) s.insert(s.begin(), u'-');
  return s;
}

char16_t Up(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool StartsWithCI(std::u16string_view s, std::size_t at, std::u16string_view what) {
  if (at + what.size() > s.size()) return false;
  for (std::size_t i = 0; i < what.size(); ++i)
    if (Up(s[at + i]) != Up(what[i])) return false;
  return true;
}

// Whether an AM/PM, A/P or AMPM specifier comes later, outside quotes.
bool AmPmFollows(std::u16string_view f, std::size_t from) {
  char16_t quote = 0;
  for (std::size_t i = from; i < f.size(); ++i) {
    const char16_t c = f[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == u'"' || c == u'\'') {
      quote = c;
      continue;
    }
    if (StartsWithCI(f, i, u"AM/PM") || StartsWithCI(f, i, u"A/P") || StartsWithCI(f, i, u"AMPM")) return true;
  }
  return false;
}

void FormatInto(String& Out, std::u16string_view f, const TSQLTimeStamp& T, const TFormatSettings& S, int Depth) {
  if (Depth > 2) return;
  if (f.empty()) f = u"C";
  bool lastWasHour = false;
  int dow = 0;
  {
    TDateTime d;
    if (TryEncodeDate(T.Year, T.Month, T.Day, d)) dow = DayOfWeek(d);  // 1 = Sunday
  }
  auto dayName = [&](bool Long) -> String {
    if (dow < 1) return String();
    return Long ? S.LongDayNames[dow - 1] : S.ShortDayNames[dow - 1];
  };
  auto monthName = [&](bool Long) -> String {
    if (T.Month < 1 || T.Month > 12) return String();
    return Long ? S.LongMonthNames[T.Month - 1] : S.ShortMonthNames[T.Month - 1];
  };
  std::size_t i = 0;
  while (i < f.size()) {
    const char16_t c = f[i];
    const char16_t u = Up(c);
    std::size_t run = 1;
    while (i + run < f.size() && Up(f[i + run]) == u) ++run;
    bool hourNow = false;
    if (c == u'"' || c == u'\'') {
      std::size_t j = i + 1;
      while (j < f.size() && f[j] != c) ++j;
      Out.append(f.substr(i + 1, j - i - 1));
      i = j < f.size() ? j + 1 : j;
      continue;
    }
    if (c == u'/') {
      Out += S.DateSeparator;
      ++i;
      continue;
    }
    if (c == u':') {
      Out += S.TimeSeparator;
      ++i;
      continue;
    }
    if (u == u'A') {
      const bool pm = T.Hour >= 12;
      if (StartsWithCI(f, i, u"AM/PM")) {
        Out.append(pm ? f.substr(i + 3, 2) : f.substr(i, 2));
        i += 5;
      } else if (StartsWithCI(f, i, u"A/P")) {
        Out += pm ? f[i + 2] : f[i];
        i += 3;
      } else if (StartsWithCI(f, i, u"AMPM")) {
        Out += pm ? S.TimePMString : S.TimeAMString;
        i += 4;
      } else if (StartsWithCI(f, i, u"AAAA")) {
        Out += dayName(true);
        i += 4;
      } else if (StartsWithCI(f, i, u"AAA")) {
        Out += dayName(false);
        i += 3;
      } else {
        Out += c;
        ++i;
      }
      lastWasHour = false;
      continue;
    }
    switch (u) {
      case u'C':
        FormatInto(Out, S.ShortDateFormat, T, S, Depth + 1);
        if (T.Hour || T.Minute || T.Second || T.Fractions) {
          Out += u' ';
          FormatInto(Out, S.LongTimeFormat, T, S, Depth + 1);
        }
        run = 1;
        break;
      case u'D':
        if (run <= 2) Out += Digits(T.Day, static_cast<int>(run));
        else if (run == 3) Out += dayName(false);
        else if (run == 4) Out += dayName(true);
        else if (run == 5) FormatInto(Out, S.ShortDateFormat, T, S, Depth + 1);
        else FormatInto(Out, S.LongDateFormat, T, S, Depth + 1);
        break;
      case u'E': {
        const TEraParts e = EraOf(T);
        if (run <= 2) {
          String y = Digits(e.Year % 100, 2);
          if (run == 1 && y.size() == 2 && y[0] == u'0') y.erase(0, 1);
          Out += y;
        } else {
          Out += Digits(e.Year, 4);
        }
        break;
      }
      case u'G':
        if (run > 2) run = 2;
        Out += EraOf(T).Name;
        break;
      case u'H': {
        if (run > 2) run = 2;
        int h = T.Hour;
        if (AmPmFollows(f, i + run)) {
          h %= 12;
          if (h == 0) h = 12;
        }
        Out += Digits(h, static_cast<int>(run));
        hourNow = true;
        break;
      }
      case u'M':
        if (lastWasHour && run <= 2) Out += Digits(T.Minute, static_cast<int>(run));
        else if (run <= 2) Out += Digits(T.Month, static_cast<int>(run));
        else Out += monthName(run >= 4);
        break;
      case u'N':
        if (run > 2) run = 2;
        Out += Digits(T.Minute, static_cast<int>(run));
        break;
      case u'S':
        if (run > 2) run = 2;
        Out += Digits(T.Second, static_cast<int>(run));
        break;
      case u'T':
        if (run > 2) run = 2;
        FormatInto(Out, run == 1 ? S.ShortTimeFormat : S.LongTimeFormat, T, S, Depth + 1);
        break;
      case u'Y':
        if (run <= 2) Out += Digits(static_cast<std::uint16_t>(T.Year) % 100, 2);
        else Out += Digits(T.Year, 4);
        break;
      case u'Z': {
        if (run > 7) run = 7;
        String z = Digits(T.Fractions, static_cast<int>(run));
        if (z.size() > run) z.resize(run);
        Out += z;
        break;
      }
      default:
        Out += c;
        run = 1;
        break;
    }
    // An m run right after an hour (blanks and separators between do not break the tie) is minutes.
    if (hourNow) lastWasHour = true;
    else if (u != u' ' && u != u':' && u != S.TimeSeparator) lastWasHour = false;
    i += run;
  }
}

}  // namespace

String FormatSQLTimeStamp(std::u16string_view Format, const TSQLTimeStamp& T, const TFormatSettings& Settings) {
  String r;
  FormatInto(r, Format, T, Settings, 0);
  return r;
}

String FormatSQLTimeStamp(std::u16string_view Format, const TSQLTimeStampOffset& T, const TFormatSettings& Settings) {
  return FormatSQLTimeStamp(Format, Plain(T), Settings);
}

String SQLTimeStampOffsetToText(const TSQLTimeStampOffset& T, std::u16string_view Format,
                                const TFormatSettings& Settings) {
  String r = FormatSQLTimeStamp(Format, T, Settings);
  const int off = OffsetMinutes(T);
  r += off < 0 ? u" -" : u" +";
  r += Digits(std::abs(off) / 60, 2);
  r += Settings.TimeSeparator;
  r += Digits(std::abs(off) % 60, 2);
  return r;
}

}  // namespace vt
