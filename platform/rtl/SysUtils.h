// Everyday text and number helpers of the platform: case (ASCII only, as the platform's plain forms),
// trimming, integer and float text, and file names. Locale-aware forms live in platform/sys.
#pragma once

#include "platform/rtl/String.h"

String UpperCase(std::u16string_view S);
String LowerCase(std::u16string_view S);
int CompareText(std::u16string_view S1, std::u16string_view S2);
bool SameText(std::u16string_view S1, std::u16string_view S2);
String Trim(std::u16string_view S);

String IntToStr(Int64 Value);
// Raises EConvertError "'%s' is not a valid integer value".
int StrToInt(std::u16string_view S);
Int64 StrToInt64(std::u16string_view S);
int StrToIntDef(std::u16string_view S, int Default);
bool TryStrToInt(std::u16string_view S, int& Value);
bool TryStrToInt64(std::u16string_view S, Int64& Value);
