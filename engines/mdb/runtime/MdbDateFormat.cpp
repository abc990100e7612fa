#include "engines/mdb/runtime/MdbDateFormat.h"

#include <algorithm>
#include <cmath>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

const char16_t* const DateFormatTokenTexts[dfText] = {
    u"YYYY", u"YY", u"YEAR", u"Q", u"MONTH", u"MON", u"MM", u"M", u"RM", u"DDD", u"DD", u"DAY", u"DY", u"DW",
    u"D", u"HH12", u"HH24", u"HH", u"H12", u"H24", u"H", u"NN", u"N", u"SS", u"S", u"ZZZ", u"Z", u"AMPM"};
const char16_t* const EnglishDayNames[7] = {u"Sunday", u"Monday", u"Tuesday", u"Wednesday", u"Thursday", u"Friday", u"Saturday"};
const char16_t* const EnglishMonthNames[12] = {u"January", u"February", u"March",     u"April",   u"May",      u"June",
                                               u"July",    u"August",   u"September", u"October", u"November", u"December"};

namespace {

constexpr std::int32_t kMaxSizes[dfText] = {4, 2, 4, 1, 9, 3, 2, 2, 2, 3, 2, 12, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 2};
constexpr const char16_t* kRoman[12] = {u"I", u"II", u"III", u"IV", u"V", u"VI", u"VII", u"VIII", u"IX", u"X", u"XI", u"XII"};

// Copy semantics: a range past the end gives what is there.
std::u16string_view Part(std::u16string_view S, std::int32_t Start1, std::int32_t Count) {
  if (Start1 < 1 || Count <= 0 || static_cast<std::size_t>(Start1) > S.size()) return {};
  return S.substr(static_cast<std::size_t>(Start1 - 1), static_cast<std::size_t>(Count));
}

Int64 DayNumber(TDateTime Date) { return static_cast<Int64>(std::trunc(Date)) + kMdbDateDelta; }

}  // namespace

TDateFormatType TDateFormater::FindDateFormatToken(std::u16string_view Text) {
  for (int i = 0; i < dfText; ++i)
    if (Text == DateFormatTokenTexts[i]) return static_cast<TDateFormatType>(i);
  return dfText;
}

void TDateFormater::ParseDateFormat(std::u16string_view Mask) {
  FDateFormat.clear();
  const std::size_t L = Mask.size();
  std::size_t S = 0;
  bool InSingle = false, InDouble = false;
  auto Literal = [&](std::size_t From, std::size_t To) {  // [From, To)
    FDateFormat.push_back({dfText, String(Mask.substr(From, To - From))});
  };
  for (std::size_t i = 0; i < L; ++i) {
    const char16_t C = Mask[i];
    if (C == u'\'' || C == u'"') {
      if (!InSingle && !InDouble) {
        if (S != i) Literal(S, i);
        S = i + 1;
        (C == u'\'' ? InSingle : InDouble) = true;
      } else if ((InSingle && C == u'\'') || (InDouble && C == u'"')) {
        Literal(S, i);
        InSingle = InDouble = false;
        S = i + 1;
      }
      continue;
    }
    if (InSingle || InDouble) continue;
    for (std::size_t k = std::min<std::size_t>(L - i, kMaxDateFormatTokenLength); k >= 1; --k) {
      const TDateFormatType T = FindDateFormatToken(UpperCase(Mask.substr(i, k)));
      if (T == dfText) continue;
      if (S != i) Literal(S, i);
      FDateFormat.push_back({T, String(Mask.substr(i, k))});
      i += k - 1;
      S = i + 1;
      break;
    }
  }
  if (S < L) Literal(S, L);
}

void TDateFormater::ConvertStrToWord(std::int32_t MaxSigns, std::u16string_view Str, std::int32_t& Start, Word& W) {
  std::int32_t N = 1;
  while (N < MaxSigns && static_cast<std::size_t>(Start + N) <= Str.size() && Str[static_cast<std::size_t>(Start + N - 1)] >= u'0' &&
         Str[static_cast<std::size_t>(Start + N - 1)] <= u'9')
    ++N;
  const std::u16string_view Taken = Part(Str, Start, N);
  W = static_cast<Word>(StrToInt(Taken));
  Start += static_cast<std::int32_t>(Taken.size());
}

void TDateFormater::ConvertRMToWord(std::u16string_view Str, std::int32_t& Start, Word& W) {
  auto Roman = [](char16_t C) { return C == u'I' ? 1 : C == u'V' ? 5 : C == u'X' ? 10 : 0; };
  std::int32_t N = 1;
  while (N < 4 && static_cast<std::size_t>(Start + N) <= Str.size() && Roman(Str[static_cast<std::size_t>(Start + N - 1)]) != 0) ++N;
  const std::u16string_view Taken = Part(Str, Start, N);
  int Value = 0;
  for (std::size_t i = 0; i < Taken.size(); ++i) {
    const int V = Roman(Taken[i]);
    const int Next = i + 1 < Taken.size() ? Roman(Taken[i + 1]) : 0;
    Value += V < Next ? -V : V;
  }
  W = static_cast<Word>(std::max(0, Value));
  Start += static_cast<std::int32_t>(Taken.size());
}

TDateTime TDateFormater::ToDate(std::u16string_view Str) const {
  std::int32_t P = 1;
  Word Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, MSec = 0;
  for (const auto& T : FDateFormat) {
    switch (T.TokenType) {
      case dfYYYY: case dfYEAR: Year = static_cast<Word>(StrToInt(Part(Str, P, 4))); P += 4; break;
      case dfYY: {
        const int N = StrToInt(Part(Str, P, 2));
        Year = static_cast<Word>(N < 30 ? 2000 + N : 1900 + N);
        P += 2;
        break;
      }
      case dfQ: Month = static_cast<Word>((StrToInt(Part(Str, P, 1)) - 1) * 3 + 1); P += 1; break;
      case dfMM: case dfM: ConvertStrToWord(2, Str, P, Month); break;
      case dfRM: ConvertRMToWord(Str, P, Month); break;
      case dfDD: case dfD: ConvertStrToWord(2, Str, P, Day); break;
      case dfHH12: case dfHH24: case dfHH: case dfH12: case dfH24: case dfH: ConvertStrToWord(2, Str, P, Hour); break;
      case dfNN: case dfN: ConvertStrToWord(2, Str, P, Minute); break;
      case dfSS: case dfS: ConvertStrToWord(2, Str, P, Second); break;
      case dfZZZ: case dfZ: ConvertStrToWord(3, Str, P, MSec); break;
      case dfAMPM: {
        const String Word2 = UpperCase(Part(Str, P, 2));
        if (Word2 == u"PM")
          Hour = static_cast<Word>(Hour + 12);
        else if (Word2 != u"AM")
          throw EMdbException(30129, SMdbAmPmExpected, {String(Part(Str, P, 2))});
        P += 2;
        break;
      }
      default: P += static_cast<std::int32_t>(T.Text.size()); break;
    }
  }
  const TDateTime DatePart = (Year == 0 || Month == 0 || Day == 0) ? 0.0 : EncodeDate(Year, Month, Day);
  return DatePart + EncodeTime(Hour, Minute, Second, MSec);
}

String TDateFormater::TOString(TDateTime Dt) const {
  std::uint16_t Y, Mo, D, H, Mi, S, Ms;
  DecodeDateTime(Dt, Y, Mo, D, H, Mi, S, Ms);
  String Out;
  for (const auto& T : FDateFormat) {
    switch (T.TokenType) {
      case dfYYYY: case dfYEAR: Out += FormatDateTime(u"yyyy", Dt); break;
      case dfYY: Out += FormatDateTime(u"yy", Dt); break;
      case dfQ: Out += Format(u"%d", {(Mo - 1) / 3 + 1}); break;
      case dfMONTH: Out += FormatDateTime(u"mmmm", Dt); break;
      case dfMON: Out += FormatDateTime(u"mmm", Dt); break;
      case dfMM: Out += FormatDateTime(u"mm", Dt); break;
      case dfM: Out += FormatDateTime(u"m", Dt); break;
      case dfRM: Out += kRoman[(Mo + 11) % 12]; break;
      case dfDDD: Out += Format(u"%d", {int(DayNumberInYear(Dt))}); break;
      case dfDD: Out += FormatDateTime(u"dd", Dt); break;
      case dfDAY: Out += FormatDateTime(u"dddd", Dt); break;
      case dfDY: Out += FormatDateTime(u"ddd", Dt); break;
      case dfDW: Out += Format(u"%d", {int(IsoDayOfWeek(Dt))}); break;
      case dfD: Out += FormatDateTime(u"d", Dt); break;
      case dfHH12: case dfHH: Out += Format(u"%.2d", {H % 12}); break;
      case dfHH24: Out += FormatDateTime(u"hh", Dt); break;
      case dfH12: case dfH: Out += Format(u"%d", {H % 12}); break;
      case dfH24: Out += FormatDateTime(u"h", Dt); break;
      case dfNN: Out += FormatDateTime(u"nn", Dt); break;
      case dfN: Out += FormatDateTime(u"n", Dt); break;
      case dfSS: Out += FormatDateTime(u"ss", Dt); break;
      case dfS: Out += FormatDateTime(u"s", Dt); break;
      case dfZZZ: Out += FormatDateTime(u"zzz", Dt); break;
      case dfZ: Out += FormatDateTime(u"z", Dt); break;
      case dfAMPM: Out += H >= 12 ? u"PM" : u"AM"; break;
      default: Out += T.Text; break;
    }
  }
  return Out;
}

std::int32_t TDateFormater::GetStringMaxSize() const {
  std::int32_t N = 0;
  for (const auto& T : FDateFormat) N += T.TokenType == dfText ? static_cast<std::int32_t>(T.Text.size()) : kMaxSizes[T.TokenType];
  return N;
}

void TDateFormater::Assign(const TObject* Source) {
  if (!Source) throw EMdbException(12200, SMdbNilPointer);
  const auto* F = dynamic_cast<const TDateFormater*>(Source);
  if (!F || Source->ClassName() != ClassName())
    throw EMdbException(12201, SMdbAssignInvalidSource, {ClassName(), Source->ClassName()});
  FDateFormat = F->FDateFormat;
}

TDateTime StartOfYearDate(TDateTime Date) {
  std::uint16_t Y, M, D;
  DecodeDate(Date, Y, M, D);
  return EncodeDate(Y, 1, 1);
}

Word DayNumberInYear(TDateTime Date) { return static_cast<Word>(std::trunc(Date - StartOfYearDate(Date)) + 1); }

Word IsoDayOfWeek(TDateTime Date) {
  const Int64 N = DayNumber(Date);
  return static_cast<Word>(((N - 1) % 7 + 7) % 7 + 1);
}

Word SundayFirstDayOfWeek(TDateTime Date) {
  const Int64 N = DayNumber(Date);
  return static_cast<Word>((N % 7 + 7) % 7 + 1);
}

void IsoWeekAndYear(Word& Year, Word& Week, Word& DayOfWeek, TDateTime Date) {
  std::uint16_t Y, M, D;
  DecodeDate(Date, Y, M, D);
  Year = Y;
  DayOfWeek = IsoDayOfWeek(Date);
  const bool Leap = IsLeapYear(Y);
  const TDateTime Jan1 = EncodeDate(Y, 1, 1);
  Int64 N = static_cast<Int64>(std::trunc(Date - Jan1 + 1));
  const Word W1 = IsoDayOfWeek(Jan1);
  N += W1 >= 5 ? W1 - 8 : W1 - 1;
  if (N < 1) {
    Word Dummy;
    IsoWeekAndYear(Year, Week, Dummy, EncodeDate(Y - 1, 12, 31));
    return;
  }
  Week = static_cast<Word>(N / 7 + (N % 7 != 0 ? 1 : 0));
  if (Week >= 53) {
    Word Dw = W1;
    if (Leap) Dw = Dw == 7 ? 1 : Dw + 1;
    if (Dw >= 1 && Dw <= 3) {
      Year = static_cast<Word>(Year + 1);
      Week = 1;
    }
  }
}

Word IsoWeekNumber(TDateTime Date) {
  Word Y, W, D;
  IsoWeekAndYear(Y, W, D, Date);
  return W;
}

Word WeekOfYearFromJanuaryFirst(TDateTime Date) {
  // Every Monday after 1 January starts a week; day numbers of Mondays are 1 modulo 7.
  const Int64 Jan1 = DayNumber(StartOfYearDate(Date)), Day = DayNumber(Date);
  auto Mondays = [](Int64 N) { return (N - 1) >= 0 ? (N - 1) / 7 : -((-(N - 1) + 6) / 7); };
  return static_cast<Word>(1 + Mondays(Day) - Mondays(Jan1));
}
