// Locale collation and casing over ICU: an emulation of the platform's CompareStringA / CompareStringW
// and its locale-aware upper/lower case mapping.
//
// Locales are the platform's numeric locale ids (LCID). LOCALE_USER_DEFAULT (1024), LOCALE_SYSTEM_DEFAULT
// (2048), LOCALE_NEUTRAL (0) and zh-CN (2052) all map to one fixed collation, ICU "zh" (pinyin order): the
// machine's locale is never looked up, so an ordering is the same on every machine. LOCALE_INVARIANT (127)
// is ICU's root collation; other ids go through ICU's LCID table, and an id it does not know is invalid.
//
// Flags map onto collator attributes: NORM_IGNORECASE lowers the strength to secondary (case is a
// tertiary difference), NORM_IGNORENONSPACE ignores accents (primary strength, case kept through the case
// level unless NORM_IGNORECASE too), NORM_IGNORESYMBOLS shifts punctuation and symbols out of the
// comparison, NORM_IGNOREKANATYPE folds katakana to hiragana and NORM_IGNOREWIDTH folds full/half width
// forms before comparing. SORT_STRINGSORT is accepted; without it the platform's "word sort" would ignore
// hyphens and apostrophes at the first level — here both sorts are the string sort, so an index and a
// filter always agree whatever flag a caller passes.
//
// Collators are opened once per (locale, flags) and thread and cached: comparing is on per-row paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sys {

using LCID = std::uint32_t;

inline constexpr LCID LOCALE_NEUTRAL = 0x0000;
inline constexpr LCID LOCALE_INVARIANT = 0x007F;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;    // 1024
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;  // 2048
inline constexpr LCID LOCALE_ZH_CN = 0x0804;           // 2052

inline constexpr std::uint32_t NORM_IGNORECASE = 0x00000001;
inline constexpr std::uint32_t NORM_IGNORENONSPACE = 0x00000002;
inline constexpr std::uint32_t NORM_IGNORESYMBOLS = 0x00000004;
inline constexpr std::uint32_t SORT_DIGITSASNUMBERS = 0x00000008;
inline constexpr std::uint32_t LINGUISTIC_IGNORECASE = 0x00000010;
inline constexpr std::uint32_t LINGUISTIC_IGNOREDIACRITIC = 0x00000020;
inline constexpr std::uint32_t SORT_STRINGSORT = 0x00001000;
inline constexpr std::uint32_t NORM_IGNOREKANATYPE = 0x00010000;
inline constexpr std::uint32_t NORM_IGNOREWIDTH = 0x00020000;
inline constexpr std::uint32_t NORM_LINGUISTIC_CASING = 0x08000000;

// Results of CompareString; 0 means an invalid locale or flag set (the platform's "failed").
inline constexpr int CSTR_LESS_THAN = 1;
inline constexpr int CSTR_EQUAL = 2;
inline constexpr int CSTR_GREATER_THAN = 3;

bool IsValidLocale(LCID locale);
// The ICU locale name a locale id collates with ("zh", "root", "en_US", ...); empty when invalid.
std::string CollationLocaleName(LCID locale);

// A length of -1 means "up to the terminating NUL"; any other negative length is invalid (result 0).
int CompareStringW(LCID locale, std::uint32_t flags, const char16_t* s1, int len1, const char16_t* s2, int len2);
int CompareStringW(LCID locale, std::uint32_t flags, std::u16string_view s1, std::u16string_view s2);
// 8-bit text holds bytes of the system code page; it is decoded (into per-thread buffers) and compared
// as UTF-16.
int CompareStringA(LCID locale, std::uint32_t flags, const char* s1, int len1, const char* s2, int len2);
int CompareStringA(LCID locale, std::uint32_t flags, std::string_view s1, std::string_view s2);

// Case mapping character by character (the platform's CharUpperBuff / CharLowerBuff): the length never
// changes (ß stays ß), surrogate pairs map as one character. The locale only matters for Turkish and
// Azeri dotted/dotless i; every other valid id maps as the fixed zh locale does.
std::u16string UpperCaseW(std::u16string_view text, LCID locale = LOCALE_USER_DEFAULT);
std::u16string LowerCaseW(std::u16string_view text, LCID locale = LOCALE_USER_DEFAULT);
void UpperCaseInPlace(char16_t* text, std::size_t length, LCID locale = LOCALE_USER_DEFAULT);
void LowerCaseInPlace(char16_t* text, std::size_t length, LCID locale = LOCALE_USER_DEFAULT);
// 8-bit forms: decoded with the system code page, mapped, encoded back. A character whose mapping the
// page cannot hold is left as it was, so the byte length of a double-byte page never changes.
std::string UpperCaseA(std::string_view bytes, LCID locale = LOCALE_USER_DEFAULT);
std::string LowerCaseA(std::string_view bytes, LCID locale = LOCALE_USER_DEFAULT);

}  // namespace sys
