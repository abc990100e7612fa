// Everyday text and number helpers of the platform: case (ASCII only, as the platform's plain forms, and
// the locale-aware Ansi* forms over platform/sys), trimming, integer, float, currency, Boolean and date
// text. Text forms take a TFormatSettings or use the process-wide FormatSettings() (locale 2048).
//
// Naming follows the platform: StrToX raises EConvertError with the platform's text, TryStrToX returns
// false, StrToXDef returns the default; the Try and Def forms never raise.
#pragma once

#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/String.h"

// ---- case and comparison ---------------------------------------------------------------------------
String UpperCase(std::u16string_view S);
String LowerCase(std::u16string_view S);
int CompareText(std::u16string_view S1, std::u16string_view S2);
int CompareStr(std::u16string_view S1, std::u16string_view S2);  // ordinal, by UTF-16 code units
bool SameText(std::u16string_view S1, std::u16string_view S2);
bool SameStr(std::u16string_view S1, std::u16string_view S2);
String Trim(std::u16string_view S);
String TrimLeft(std::u16string_view S);
String TrimRight(std::u16string_view S);

// Locale-aware forms (the user default locale, the fixed zh collation): case maps character by
// character; the compare results are negative, zero or positive. The 8-bit forms take bytes of the
// system code page.
String AnsiUpperCase(std::u16string_view S);
String AnsiLowerCase(std::u16string_view S);
AnsiString AnsiUpperCase(std::string_view S);
AnsiString AnsiLowerCase(std::string_view S);
int AnsiCompareText(std::u16string_view S1, std::u16string_view S2);
int AnsiCompareStr(std::u16string_view S1, std::u16string_view S2);
bool AnsiSameText(std::u16string_view S1, std::u16string_view S2);
bool AnsiSameStr(std::u16string_view S1, std::u16string_view S2);

// 8-bit (system code page) ⇄ String, through platform/sys.
String AnsiToString(std::string_view S);
AnsiString StringToAnsi(std::u16string_view S);

// ---- integers --------------------------------------------------------------------------------------
String IntToStr(Int64 Value);
String UIntToStr(UInt64 Value);
// Upper-case hex with at least Digits digits; a negative value shows its two's complement in 64 bits.
String IntToHex(Int64 Value, int Digits);
String IntToHex(UInt64 Value, int Digits);
String IntToHex(int Value, int Digits);  // 32-bit two's complement for negative values
// Raises EConvertError "'%s' is not a valid integer value".
int StrToInt(std::u16string_view S);
Int64 StrToInt64(std::u16string_view S);
int StrToIntDef(std::u16string_view S, int Default);
Int64 StrToInt64Def(std::u16string_view S, Int64 Default);
bool TryStrToInt(std::u16string_view S, int& Value);
bool TryStrToInt64(std::u16string_view S, Int64& Value);

// ---- Booleans ----------------------------------------------------------------------------------
// BoolToStr(true) is "-1" and false "0" unless UseBoolStrs, which gives "True" / "False".
String BoolToStr(bool B, bool UseBoolStrs = false);
// Accepts "True"/"False" (any case) and any number (0 false, else true). Raises EConvertError
// "'%s' is not a valid boolean value".
bool StrToBool(std::u16string_view S);
bool StrToBoolDef(std::u16string_view S, bool Default);
bool TryStrToBool(std::u16string_view S, bool& Value);

// ---- floating point ----------------------------------------------------------------------------
enum class TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };

// The general form with 15 significant digits: "1.5", "0.1", "1E20", "1E-6"; NAN, INF and -INF.
String FloatToStr(double Value);
String FloatToStr(double Value, const TFormatSettings& Settings);
String FloatToStrF(double Value, TFloatFormat Format, int Precision, int Digits);
String FloatToStrF(double Value, TFloatFormat Format, int Precision, int Digits, const TFormatSettings& Settings);
// The platform's format pictures: '0' and '#' digit places, '.', ',' (thousands), "E+0"/"E-0"/"e+0"/
// "e-0" exponents, quoted literals, and up to three ';'-separated sections (positive;negative;zero).
String FormatFloat(std::u16string_view Format, double Value);
String FormatFloat(std::u16string_view Format, double Value, const TFormatSettings& Settings);
// Accepts blanks around, a sign, digits with the settings' decimal separator, an exponent, and "INF",
// "-INF", "NAN" (any case). Raises EConvertError "'%s' is not a valid floating point value".
double StrToFloat(std::u16string_view S);
double StrToFloat(std::u16string_view S, const TFormatSettings& Settings);
bool TryStrToFloat(std::u16string_view S, double& Value);
bool TryStrToFloat(std::u16string_view S, double& Value, const TFormatSettings& Settings);
double StrToFloatDef(std::u16string_view S, double Default);
double StrToFloatDef(std::u16string_view S, double Default, const TFormatSettings& Settings);

// ---- currency ----------------------------------------------------------------------------------
// Up to four decimals, trailing zeros dropped: "12.5", "-0.0001", "3".
String CurrToStr(Currency Value);
String CurrToStr(Currency Value, const TFormatSettings& Settings);
String CurrToStrF(Currency Value, TFloatFormat Format, int Digits);
String CurrToStrF(Currency Value, TFloatFormat Format, int Digits, const TFormatSettings& Settings);
// More than four decimals round half to even (the Currency rule). Raises EConvertError
// "'%s' is not a valid floating point value".
Currency StrToCurr(std::u16string_view S);
Currency StrToCurr(std::u16string_view S, const TFormatSettings& Settings);
bool TryStrToCurr(std::u16string_view S, Currency& Value);
bool TryStrToCurr(std::u16string_view S, Currency& Value, const TFormatSettings& Settings);
Currency StrToCurrDef(std::u16string_view S, Currency Default);
Currency StrToCurrDef(std::u16string_view S, Currency Default, const TFormatSettings& Settings);

// ---- dates and times ---------------------------------------------------------------------------
// The platform's date-time pictures: c d dd ddd dddd ddddd dddddd m mm mmm mmmm yy yyyy h hh n nn s ss
// z zzz t tt am/pm a/p ampm / : and quoted text; 'm' right after an h or hh is minutes.
String FormatDateTime(std::u16string_view Format, TDateTime DateTime);
String FormatDateTime(std::u16string_view Format, TDateTime DateTime, const TFormatSettings& Settings);
// "c": short date, then the long time unless the time is exactly midnight.
String DateTimeToStr(TDateTime DateTime);
String DateTimeToStr(TDateTime DateTime, const TFormatSettings& Settings);
String DateToStr(TDateTime Date);
String DateToStr(TDateTime Date, const TFormatSettings& Settings);
String TimeToStr(TDateTime Time);
String TimeToStr(TDateTime Time, const TFormatSettings& Settings);
// Dates are read in the order of ShortDateFormat (Y M D for locale 2048) with the date separator; a
// missing year is the current year; two-digit years use TwoDigitYearCenturyWindow. Times are
// h:n[:s[.z]] with an optional AM/PM marker. Raise EConvertError "'%s' is not a valid date",
// "... time", "... date and time".
TDateTime StrToDate(std::u16string_view S);
TDateTime StrToDate(std::u16string_view S, const TFormatSettings& Settings);
bool TryStrToDate(std::u16string_view S, TDateTime& Value);
bool TryStrToDate(std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings);
TDateTime StrToDateDef(std::u16string_view S, TDateTime Default);
TDateTime StrToDateDef(std::u16string_view S, TDateTime Default, const TFormatSettings& Settings);
TDateTime StrToTime(std::u16string_view S);
TDateTime StrToTime(std::u16string_view S, const TFormatSettings& Settings);
bool TryStrToTime(std::u16string_view S, TDateTime& Value);
bool TryStrToTime(std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings);
TDateTime StrToTimeDef(std::u16string_view S, TDateTime Default);
TDateTime StrToTimeDef(std::u16string_view S, TDateTime Default, const TFormatSettings& Settings);
TDateTime StrToDateTime(std::u16string_view S);
TDateTime StrToDateTime(std::u16string_view S, const TFormatSettings& Settings);
bool TryStrToDateTime(std::u16string_view S, TDateTime& Value);
bool TryStrToDateTime(std::u16string_view S, TDateTime& Value, const TFormatSettings& Settings);
TDateTime StrToDateTimeDef(std::u16string_view S, TDateTime Default);
TDateTime StrToDateTimeDef(std::u16string_view S, TDateTime Default, const TFormatSettings& Settings);
