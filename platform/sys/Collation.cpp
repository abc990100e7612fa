#include "platform/sys/Collation.h"

#include <unicode/locid.h>
#include <unicode/ucol.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf16.h>

#include <cstring>
#include <map>
#include <memory>

#include "platform/sys/CodePage.h"

namespace sys {

namespace {

constexpr std::uint32_t kKnownFlags = NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS |
                                      SORT_DIGITSASNUMBERS | LINGUISTIC_IGNORECASE | LINGUISTIC_IGNOREDIACRITIC |
                                      SORT_STRINGSORT | NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH |
                                      NORM_LINGUISTIC_CASING;

// The fixed collation the default locales share: the machine's locale is never consulted.
constexpr const char* kDefaultLocale = "zh";

bool IsDefaultLocale(LCID locale) {
  switch (locale) {
    case LOCALE_NEUTRAL:
    case LOCALE_USER_DEFAULT:
    case LOCALE_SYSTEM_DEFAULT:
    case LOCALE_ZH_CN:
    case 0x0C00:  // LOCALE_CUSTOM_DEFAULT
    case 0x1400:  // LOCALE_CUSTOM_UI_DEFAULT
      return true;
    default:
      return false;
  }
}

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};
using CollatorPtr = std::unique_ptr<UCollator, CollatorCloser>;

UCollator* OpenCollator(const std::string& name, std::uint32_t flags) {
  UErrorCode err = U_ZERO_ERROR;
  CollatorPtr coll(ucol_open(name == "root" ? "" : name.c_str(), &err));
  if (U_FAILURE(err) || !coll) return nullptr;
  const bool ignoreCase = flags & (NORM_IGNORECASE | LINGUISTIC_IGNORECASE);
  const bool ignoreAccents = flags & (NORM_IGNORENONSPACE | LINGUISTIC_IGNOREDIACRITIC);
  UColAttributeValue strength = UCOL_TERTIARY;
  if (ignoreAccents) strength = UCOL_PRIMARY;
  else if (ignoreCase) strength = UCOL_SECONDARY;
  err = U_ZERO_ERROR;
  ucol_setAttribute(coll.get(), UCOL_STRENGTH, strength, &err);
  if (ignoreAccents && !ignoreCase) ucol_setAttribute(coll.get(), UCOL_CASE_LEVEL, UCOL_ON, &err);
  if (flags & NORM_IGNORESYMBOLS) {
    ucol_setAttribute(coll.get(), UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &err);
    ucol_setMaxVariable(coll.get(), UCOL_REORDER_CODE_CURRENCY, &err);
  }
  if (flags & SORT_DIGITSASNUMBERS) ucol_setAttribute(coll.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &err);
  // Folded halfwidth katakana carry combining voiced marks; normalisation makes them equal to the
  // precomposed forms.
  if (flags & (NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE))
    ucol_setAttribute(coll.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
  if (U_FAILURE(err)) return nullptr;
  return coll.release();
}

// This thread's collators by (locale, flags), and the buffers for folded and decoded text.
struct ThreadCollation {
  std::uint64_t lastKey = ~std::uint64_t{0};
  UCollator* last = nullptr;
  std::map<std::uint64_t, CollatorPtr> collators;
  std::u16string fold1, fold2;
  std::u16string decoded1, decoded2;
};

ThreadCollation& Local() {
  thread_local ThreadCollation local;
  return local;
}

// Null for an invalid locale or flag set.
UCollator* CollatorFor(LCID locale, std::uint32_t flags) {
  if (flags & ~kKnownFlags) return nullptr;
  // Flags that do not change the collator are dropped from the key.
  const std::uint32_t keyFlags = flags & ~(SORT_STRINGSORT | NORM_LINGUISTIC_CASING);
  const std::uint64_t key = (std::uint64_t{locale} << 32) | keyFlags;
  ThreadCollation& local = Local();
  if (key == local.lastKey) return local.last;
  auto it = local.collators.find(key);
  if (it == local.collators.end()) {
    const std::string name = CollationLocaleName(locale);
    if (name.empty()) return nullptr;
    it = local.collators.emplace(key, CollatorPtr(OpenCollator(name, keyFlags))).first;
  }
  if (!it->second) return nullptr;
  local.lastKey = key;
  local.last = it->second.get();
  return local.last;
}

// Width folding: characters whose decomposition type is wide or narrow become their decomposition
// (fullwidth A → A, halfwidth katakana → katakana with a combining mark).
void FoldWidth(std::u16string_view in, std::u16string& out) {
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* nfkc = unorm2_getNFKCInstance(&err);
  out.clear();
  for (size_t i = 0; i < in.size();) {
    UChar32 c;
    U16_NEXT(in.data(), i, in.size(), c);
    const int type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
    if (U_SUCCESS(err) && (type == U_DT_WIDE || type == U_DT_NARROW)) {
      UChar buf[8];
      UErrorCode e = U_ZERO_ERROR;
      const int32_t n = unorm2_getRawDecomposition(nfkc, c, buf, 8, &e);
      if (U_SUCCESS(e) && n > 0) {
        out.append(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n));
        continue;
      }
    }
    if (c > 0xFFFF) {
      out += static_cast<char16_t>(U16_LEAD(c));
      out += static_cast<char16_t>(U16_TRAIL(c));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
}

// Katakana → hiragana (the kana type is then no difference).
void FoldKana(std::u16string& text) {
  for (auto& c : text) {
    if (c >= 0x30A1 && c <= 0x30F6) c = static_cast<char16_t>(c - 0x60);
    else if (c == 0x30FD || c == 0x30FE) c = static_cast<char16_t>(c - 0x60);
  }
}

std::u16string_view Fold(std::u16string_view in, std::uint32_t flags, std::u16string& buffer) {
  if (!(flags & (NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE))) return in;
  if (flags & NORM_IGNOREWIDTH) FoldWidth(in, buffer);
  else buffer.assign(in);
  if (flags & NORM_IGNOREKANATYPE) FoldKana(buffer);
  return buffer;
}

int Compare(UCollator* coll, std::uint32_t flags, std::u16string_view a, std::u16string_view b) {
  ThreadCollation& local = Local();
  a = Fold(a, flags, local.fold1);
  b = Fold(b, flags, local.fold2);
  const UCollationResult r = ucol_strcoll(coll, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                          reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
  return r == UCOL_LESS ? CSTR_LESS_THAN : r == UCOL_EQUAL ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

bool TurkishCasing(LCID locale) {
  if (IsDefaultLocale(locale)) return false;
  const std::string name = CollationLocaleName(locale);
  return name.rfind("tr", 0) == 0 || name.rfind("az", 0) == 0;
}

UChar32 MapUpper(UChar32 c, bool turkish) {
  if (turkish) {
    if (c == u'i') return 0x0130;
    if (c == 0x0131) return u'I';
  }
  return u_toupper(c);
}

UChar32 MapLower(UChar32 c, bool turkish) {
  if (turkish) {
    if (c == u'I') return 0x0131;
    if (c == 0x0130) return u'i';
  }
  return u_tolower(c);
}

// Maps in place; a mapping that would change the number of code units (none in the simple mappings
// of the BMP/supplementary split, but guarded) leaves the character as it is.
template <typename Map>
void MapInPlace(char16_t* text, size_t length, Map map) {
  for (size_t i = 0; i < length;) {
    const size_t start = i;
    UChar32 c;
    U16_NEXT(text, i, length, c);
    const UChar32 m = map(c);
    if (m == c || static_cast<size_t>(U16_LENGTH(m)) != i - start) continue;
    if (U16_LENGTH(m) == 1) {
      text[start] = static_cast<char16_t>(m);
    } else {
      text[start] = static_cast<char16_t>(U16_LEAD(m));
      text[start + 1] = static_cast<char16_t>(U16_TRAIL(m));
    }
  }
}

template <typename Map>
std::string MapAnsi(std::string_view bytes, Map map) {
  std::string out(bytes);
  std::u16string unit, mapped;
  std::string encoded;
  const bool ascii = IsAsciiCompatible();
  for (size_t i = 0; i < out.size();) {
    const size_t len = CharLengthAt(out, i);
    const auto b = static_cast<unsigned char>(out[i]);
    if (ascii && b < 0x80) {
      const UChar32 m = map(static_cast<UChar32>(b));
      if (m < 0x80) {
        out[i] = static_cast<char>(m);
        i += 1;
        continue;
      }
    }
    AnsiToUtf16(std::string_view(out).substr(i, len), unit);
    mapped = unit;
    MapInPlace(mapped.data(), mapped.size(), map);
    if (mapped != unit && mapped.find(u'\uFFFD') == std::u16string::npos) {
      Utf16ToAnsi(mapped, encoded);
      if (encoded.size() == len && AnsiToUtf16(encoded) == mapped) out.replace(i, len, encoded);
    }
    i += len;
  }
  return out;
}

}  // namespace

std::string CollationLocaleName(LCID locale) {
  if (IsDefaultLocale(locale)) return kDefaultLocale;
  if (locale == LOCALE_INVARIANT) return "root";
  if (locale == 0x1000) return "";  // LOCALE_CUSTOM_UNSPECIFIED
  char name[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = uloc_getLocaleForLCID(locale, name, sizeof name, &err);
  if (U_FAILURE(err) || n <= 0) return "";
  return std::string(name, static_cast<size_t>(n));
}

bool IsValidLocale(LCID locale) { return !CollationLocaleName(locale).empty(); }

int CompareStringW(LCID locale, std::uint32_t flags, std::u16string_view s1, std::u16string_view s2) {
  UCollator* coll = CollatorFor(locale, flags);
  if (!coll) return 0;
  return Compare(coll, flags, s1, s2);
}

int CompareStringW(LCID locale, std::uint32_t flags, const char16_t* s1, int len1, const char16_t* s2, int len2) {
  if (!s1 || !s2 || len1 < -1 || len2 < -1) return 0;
  const std::u16string_view a = len1 == -1 ? std::u16string_view(s1) : std::u16string_view(s1, static_cast<size_t>(len1));
  const std::u16string_view b = len2 == -1 ? std::u16string_view(s2) : std::u16string_view(s2, static_cast<size_t>(len2));
  return CompareStringW(locale, flags, a, b);
}

int CompareStringA(LCID locale, std::uint32_t flags, std::string_view s1, std::string_view s2) {
  UCollator* coll = CollatorFor(locale, flags);
  if (!coll) return 0;
  ThreadCollation& local = Local();
  AnsiToUtf16(s1, local.decoded1);
  AnsiToUtf16(s2, local.decoded2);
  return Compare(coll, flags, local.decoded1, local.decoded2);
}

int CompareStringA(LCID locale, std::uint32_t flags, const char* s1, int len1, const char* s2, int len2) {
  if (!s1 || !s2 || len1 < -1 || len2 < -1) return 0;
  const std::string_view a = len1 == -1 ? std::string_view(s1) : std::string_view(s1, static_cast<size_t>(len1));
  const std::string_view b = len2 == -1 ? std::string_view(s2) : std::string_view(s2, static_cast<size_t>(len2));
  return CompareStringA(locale, flags, a, b);
}

void UpperCaseInPlace(char16_t* text, std::size_t length, LCID locale) {
  const bool turkish = TurkishCasing(locale);
  MapInPlace(text, length, [turkish](UChar32 c) { return MapUpper(c, turkish); });
}

void LowerCaseInPlace(char16_t* text, std::size_t length, LCID locale) {
  const bool turkish = TurkishCasing(locale);
  MapInPlace(text, length, [turkish](UChar32 c) { return MapLower(c, turkish); });
}

std::u16string UpperCaseW(std::u16string_view text, LCID locale) {
  std::u16string r(text);
  UpperCaseInPlace(r.data(), r.size(), locale);
  return r;
}

std::u16string LowerCaseW(std::u16string_view text, LCID locale) {
  std::u16string r(text);
  LowerCaseInPlace(r.data(), r.size(), locale);
  return r;
}

std::string UpperCaseA(std::string_view bytes, LCID locale) {
  const bool turkish = TurkishCasing(locale);
  return MapAnsi(bytes, [turkish](UChar32 c) { return MapUpper(c, turkish); });
}

std::string LowerCaseA(std::string_view bytes, LCID locale) {
  const bool turkish = TurkishCasing(locale);
  return MapAnsi(bytes, [turkish](UChar32 c) { return MapLower(c, turkish); });
}

}  // namespace sys
