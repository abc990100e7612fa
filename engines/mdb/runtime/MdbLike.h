// LIKE matching of the SQL layer, in an 8-bit (system code page bytes) and a UTF-16 form. "%" matches
// any run of characters and "_" exactly one; there is no escape character. A "%" that is not the
// pattern's last character must leave at least one value character for the rest of the pattern, so
// "abc" does not match "abc%%". Case-insensitive matching compares one character at a time through the
// platform's locale comparison.
//
// Matching runs over a table of (value position, pattern position) answers, computed one pattern
// position at a time, so any number of "%" costs at most pattern length x value length steps and
// memory for two rows of the value's length.
#pragma once

#include <string_view>

bool MatchLikePatternAnsi(const char* Value, const char* Pattern, bool CaseInsensitive);
bool MatchLikePatternWide(const char16_t* Value, const char16_t* Pattern, bool CaseInsensitive);
bool MatchLikeAnsi(std::string_view Value, std::string_view Pattern, bool CaseInsensitive);
bool MatchLikeWide(std::u16string_view Value, std::u16string_view Pattern, bool CaseInsensitive);
