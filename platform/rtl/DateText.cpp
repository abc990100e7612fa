// Date and time text: FormatDateTime and the StrToDate/Time family of SysUtils.h.
#include <cmath>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace {

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool StartsWithNoCase(std::u16string_view s, size_t pos, std::u16string_view what) {
  if (pos + what.size() > s.size()) return false;
  for (size_t i = 0; i < what.size(); ++i)
    if (Upper(s[pos + i]) != Upper(what[i])) return false;
  return true;
}

void AppendNumber(String& out, int value, int minDigits) {
  String digits = IntToStr(value);
  if (static_cast<int>(digits.size()) < minDigits) digits.insert(0, minDigits - digits.size(), u'0');
  out += digits;
}

// Whether an AM/PM specifier follows (outside quotes): the hour is then shown in 12-hour form.
bool TwelveHourFollows(std::u16string_view f, size_t pos) {
  char16_t quote = 0;
  for (size_t i = pos; i < f.size(); ++i) {
    const char16_t c = f[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (StartsWithNoCase(f, i, u"AM/PM") || StartsWithNoCase(f, i, u"A/P") || StartsWithNoCase(f, i, u"AMPM")) {
      return true;
    }
  }
  return false;
}

struct Parts {
  std::uint16_t year, month, day, hour, minute, second, msec, dow;
};

void Append(String& out, std::u16string_view f, const Parts& p, const TFormatSettings& s, int level) {
  if (level >= 2) return;  // short/long formats expand at most two levels deep
  char16_t lastLetter = 0;
  size_t i = 0;
  auto count = [&](char16_t letter) {
    size_t n = 1;
    while (i < f.size() && Upper(f[i]) == letter) ++i, ++n;
    return static_cast<int>(n);
  };
  while (i < f.size()) {
    const char16_t raw = f[i];
    const char16_t c = Upper(raw);
    const size_t start = i++;
    switch (c) {
      case u'Y': {
        const int n = count(u'Y');
        if (n <= 2) AppendNumber(out, p.year % 100, 2);
        else AppendNumber(out, p.year, 4);
        break;
      }
      case u'E': {  // era year: the Gregorian year here
        const int n = count(u'E');
        AppendNumber(out, n <= 2 ? p.year % 100 : p.year, n == 1 ? 1 : (n == 2 ? 2 : 4));
        break;
      }
      case u'G':  // era name: none
        count(u'G');
        break;
      case u'M': {
        const int n = count(u'M');
        if (lastLetter == u'H' && n <= 2) {
          AppendNumber(out, p.minute, n);
        } else if (n <= 2) {
          AppendNumber(out, p.month, n);
        } else if (p.month >= 1 && p.month <= 12) {
          out += n == 3 ? s.ShortMonthNames[p.month - 1] : s.LongMonthNames[p.month - 1];
        }
        break;
      }
      case u'D': {
        const int n = count(u'D');
        if (n <= 2) AppendNumber(out, p.day, n);
        else if (n == 3) out += p.dow ? s.ShortDayNames[p.dow - 1] : String();
        else if (n == 4) out += p.dow ? s.LongDayNames[p.dow - 1] : String();
        else if (n == 5) Append(out, s.ShortDateFormat, p, s, level + 1);
        else Append(out, s.LongDateFormat, p, s, level + 1);
        break;
      }
      case u'H': {
        const int n = count(u'H');
        int hour = p.hour;
        if (TwelveHourFollows(f, i)) {
          hour %= 12;
          if (hour == 0) hour = 12;
        }
        AppendNumber(out, hour, n >= 2 ? 2 : 1);
        break;
      }
      case u'N': {
        const int n = count(u'N');
        AppendNumber(out, p.minute, n >= 2 ? 2 : 1);
        break;
      }
      case u'S': {
        const int n = count(u'S');
        AppendNumber(out, p.second, n >= 2 ? 2 : 1);
        break;
      }
      case u'Z': {
        const int n = count(u'Z');
        AppendNumber(out, p.msec, n >= 2 ? 3 : 1);
        break;
      }
      case u'T': {
        const int n = count(u'T');
        Append(out, n == 1 ? s.ShortTimeFormat : s.LongTimeFormat, p, s, level + 1);
        break;
      }
      case u'C':
        count(u'C');
        Append(out, s.ShortDateFormat, p, s, level + 1);
        if (p.hour || p.minute || p.second || p.msec) {
          out += u' ';
          Append(out, s.LongTimeFormat, p, s, level + 1);
        }
        break;
      case u'A':
        if (StartsWithNoCase(f, start, u"AM/PM")) {
          out += p.hour < 12 ? f.substr(start, 2) : f.substr(start + 3, 2);
          i = start + 5;
        } else if (StartsWithNoCase(f, start, u"A/P")) {
          out += p.hour < 12 ? f[start] : f[start + 2];
          i = start + 3;
        } else if (StartsWithNoCase(f, start, u"AMPM")) {
          out += p.hour < 12 ? s.TimeAMString : s.TimePMString;
          i = start + 4;
        } else {
          out += raw;
        }
        break;
      case u'/':
        if (s.DateSeparator) out += s.DateSeparator;
        break;
      case u':':
        if (s.TimeSeparator) out += s.TimeSeparator;
        break;
      case u'"':
      case u'\'': {
        const size_t close = f.find(raw, i);
        const size_t end = close == std::u16string_view::npos ? f.size() : close;
        out.append(f.substr(i, end - i));
        i = close == std::u16string_view::npos ? f.size() : close + 1;
        break;
      }
      default:
        out += raw;
        break;
    }
    if (c >= u'A' && c <= u'Z') lastLetter = c;
  }
}

// ---- parsing ------------------------------------------------------------------------------------

struct Scanner {
  std::u16string_view s;
  size_t pos = 0;

  void Blanks() {
    while (pos < s.size() && s[pos] == u' ') ++pos;
  }
  bool AtEnd() {
    Blanks();
    return pos >= s.size();
  }
  // Up to 4 digits... any digits; `digits` receives their count.
  bool Number(int& value, int& digits) {
    Blanks();
    const size_t start = pos;
    long long v = 0;
    while (pos < s.size() && s[pos] >= u'0' && s[pos] <= u'9' && pos - start < 9) v = v * 10 + (s[pos++] - u'0');
    digits = static_cast<int>(pos - start);
    if (!digits) return false;
    value = static_cast<int>(v);
    return true;
  }
  bool Char(char16_t c) {
    Blanks();
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  bool Text(std::u16string_view t) {
    Blanks();
    if (t.empty() || !StartsWithNoCase(s, pos, t)) return false;
    pos += t.size();
    return true;
  }
};

enum class DateOrder { DMY, MDY, YMD };

DateOrder OrderOf(std::u16string_view f) {
  for (char16_t c : f) {
    switch (Upper(c)) {
      case u'D': return DateOrder::DMY;
      case u'M': return DateOrder::MDY;
      case u'Y': return DateOrder::YMD;
      default: break;
    }
  }
  return DateOrder::MDY;
}

bool ScanDate(Scanner& sc, const TFormatSettings& s, TDateTime& date) {
  int n1, n2, n3 = 0, l1, l2, l3 = 0;
  if (!sc.Number(n1, l1) || !sc.Char(s.DateSeparator) || !sc.Number(n2, l2)) return false;
  bool three = false;
  const size_t save = sc.pos;
  if (sc.Char(s.DateSeparator)) {
    if (!sc.Number(n3, l3)) return false;
    three = true;
  } else {
    sc.pos = save;
  }
  std::uint16_t cy, cm, cd;
  DecodeDate(Now(), cy, cm, cd);
  int y, m, d, yearDigits;
  const DateOrder order = OrderOf(s.ShortDateFormat);
  if (!three) {
    y = cy;
    yearDigits = 4;
    if (order == DateOrder::DMY) d = n1, m = n2;
    else m = n1, d = n2;
  } else {
    switch (order) {
      case DateOrder::DMY: d = n1, m = n2, y = n3, yearDigits = l3; break;
      case DateOrder::MDY: m = n1, d = n2, y = n3, yearDigits = l3; break;
      default: y = n1, m = n2, d = n3, yearDigits = l1; break;
    }
  }
  if (yearDigits <= 2) {  // the platform's century window: years from CurrentYear - Window on
    const int base = cy - s.TwoDigitYearCenturyWindow;
    y += base / 100 * 100;
    if (s.TwoDigitYearCenturyWindow > 0 && y < base) y += 100;
  }
  // A trailing separator (as in "2024/1/2/") is allowed by the platform; take it.
  sc.Char(s.DateSeparator);
  return TryEncodeDate(y, m, d, date);
}

bool ScanTime(Scanner& sc, const TFormatSettings& s, TDateTime& time) {
  auto ampm = [&]() -> int {  // 0 none, 1 AM, 2 PM
    if (sc.Text(s.TimeAMString) || sc.Text(u"AM") || sc.Text(u"A")) return 1;
    if (sc.Text(s.TimePMString) || sc.Text(u"PM") || sc.Text(u"P")) return 2;
    return 0;
  };
  int half = ampm();
  int h, m = 0, sec = 0, ms = 0, digits;
  if (!sc.Number(h, digits)) return false;
  bool minutes = false;
  if (sc.Char(s.TimeSeparator)) {
    if (!sc.Number(m, digits)) return false;
    minutes = true;
    if (sc.Char(s.TimeSeparator)) {
      if (!sc.Number(sec, digits)) return false;
      if (sc.Char(s.DecimalSeparator)) {
        if (!sc.Number(ms, digits)) return false;
        // The platform reads the digits as milliseconds only when there are three or fewer.
        while (digits > 3) ms /= 10, --digits;
      }
    }
  }
  if (half == 0) half = ampm();
  if (!minutes && half == 0) return false;
  if (half) {
    if (h > 12 || h == 0) return false;
    if (half == 1 && h == 12) h = 0;
    else if (half == 2 && h < 12) h += 12;
  }
  return TryEncodeTime(h, m, sec, ms, time);
}

[[noreturn]] void Raise(const char16_t* message, std::u16string_view s) {
  throw EConvertError(Format(message, {s}));
}

using ScanFn = bool (*)(Scanner&, const TFormatSettings&, TDateTime&);
using TryParseFn = bool (*)(std::u16string_view, TDateTime&, const TFormatSettings&);

// A date or a time alone: the scan must use up the whole text, and Value changes only on success.
bool ScanWhole(ScanFn scan, std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  Scanner sc{S};
  TDateTime v;
  if (!scan(sc, Settings, v) || !sc.AtEnd()) return false;
  Value = v;
  return true;
}

TDateTime ParseOrRaise(TryParseFn tryParse, const char16_t* message, std::u16string_view S,
                       const TFormatSettings& Settings) {
  TDateTime v;
  if (!tryParse(S, v, Settings)) Raise(message, S);
  return v;
}

TDateTime ParseOrDefault(TryParseFn tryParse, std::u16string_view S, TDateTime Default,
                         const TFormatSettings& Settings) {
  TDateTime v;
  return tryParse(S, v, Settings) ? v : Default;
}

}  // namespace

String FormatDateTime(std::u16string_view Format, TDateTime DateTime) {
  return FormatDateTime(Format, DateTime, FormatSettings());
}

String FormatDateTime(std::u16string_view Format, TDateTime DateTime, const TFormatSettings& Settings) {
  Parts p{};
  DecodeDateFully(DateTime, p.year, p.month, p.day, p.dow);
  DecodeTime(DateTime, p.hour, p.minute, p.second, p.msec);
  String out;
  Append(out, Format.empty() ? std::u16string_view(u"C") : Format, p, Settings, 0);
  return out;
}

String DateTimeToStr(TDateTime DateTime) { return FormatDateTime(u"c", DateTime); }
String DateTimeToStr(TDateTime DateTime, const TFormatSettings& Settings) {
  return FormatDateTime(u"c", DateTime, Settings);
}
String DateToStr(TDateTime Date) { return FormatDateTime(u"ddddd", Date); }
String DateToStr(TDateTime Date, const TFormatSettings& Settings) { return FormatDateTime(u"ddddd", Date, Settings); }
String TimeToStr(TDateTime Time) { return FormatDateTime(u"tt", Time); }
String TimeToStr(TDateTime Time, const TFormatSettings& Settings) { return FormatDateTime(u"tt", Time, Settings); }

bool TryStrToDate(std::u16string_view S, TDateTime& Value) { return TryStrToDate(S, Value, FormatSettings()); }
bool TryStrToDate(std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  return ScanWhole(ScanDate, S, Value, Settings);
}

TDateTime StrToDate(std::u16string_view S) { return StrToDate(S, FormatSettings()); }
TDateTime StrToDate(std::u16string_view S, const TFormatSettings& Settings) {
  return ParseOrRaise(TryStrToDate, msg::SInvalidDate, S, Settings);
}

TDateTime StrToDateDef(std::u16string_view S, TDateTime Default) {
  return StrToDateDef(S, Default, FormatSettings());
}
TDateTime StrToDateDef(std::u16string_view S, TDateTime Default, const TFormatSettings& Settings) {
  return ParseOrDefault(TryStrToDate, S, Default, Settings);
}

bool TryStrToTime(std::u16string_view S, TDateTime& Value) { return TryStrToTime(S, Value, FormatSettings()); }
bool TryStrToTime(std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  return ScanWhole(ScanTime, S, Value, Settings);
}

TDateTime StrToTime(std::u16string_view S) { return StrToTime(S, FormatSettings()); }
TDateTime StrToTime(std::u16string_view S, const TFormatSettings& Settings) {
  return ParseOrRaise(TryStrToTime, msg::SInvalidTime, S, Settings);
}

TDateTime StrToTimeDef(std::u16string_view S, TDateTime Default) {
  return StrToTimeDef(S, Default, FormatSettings());
}
TDateTime StrToTimeDef(std::u16string_view S, TDateTime Default, const TFormatSettings& Settings) {
  return ParseOrDefault(TryStrToTime, S, Default, Settings);
}

bool TryStrToDateTime(std::u16string_view S, TDateTime& Value) {
  return TryStrToDateTime(S, Value, FormatSettings());
}
bool TryStrToDateTime(std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  Scanner sc{S};
  TDateTime d, t = 0;
  if (ScanDate(sc, Settings, d) && (sc.AtEnd() || (ScanTime(sc, Settings, t) && sc.AtEnd()))) {
    Value = d < 0 ? d - t : d + t;
    return true;
  }
  return TryStrToTime(S, Value, Settings);  // a time alone
}

TDateTime StrToDateTime(std::u16string_view S) { return StrToDateTime(S, FormatSettings()); }
TDateTime StrToDateTime(std::u16string_view S, const TFormatSettings& Settings) {
  return ParseOrRaise(TryStrToDateTime, msg::SInvalidDateTime, S, Settings);
}

TDateTime StrToDateTimeDef(std::u16string_view S, TDateTime Default) {
  return StrToDateTimeDef(S, Default, FormatSettings());
}
TDateTime StrToDateTimeDef(std::u16string_view S, TDateTime Default, const TFormatSettings& Settings) {
  return ParseOrDefault(TryStrToDateTime, S, Default, Settings);
}
