#include "platform/sys/Utf.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace sys {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  Utf16ToUtf8(text, out);
  return out;
}

void Utf16ToUtf8(std::u16string_view text, std::string& out) {
  // Sized once, then filled.
  bool non_ascii = false;
  out.resize(Utf8Length(text, non_ascii));
  Utf16ToUtf8Into(text, out.data(), non_ascii);
}

std::size_t Utf16ToUtf8Into(std::u16string_view s, char* Out, bool& NonAscii, std::size_t Limit) {
  auto* o = reinterpret_cast<unsigned char*>(Out);
  NonAscii = false;
  std::size_t i = 0;
#ifdef __SSE2__
  // ASCII eight units at a time.
  for (; i + 8 <= s.size(); i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))),
                                          _mm_setzero_si128())) != 0xFFFF)
      break;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
    o += 8;
  }
#endif
  for (; i < s.size() && s[i] < 0x80; ++i) *o++ = static_cast<unsigned char>(s[i]);
  if (i < s.size()) NonAscii = true;
  for (; i < s.size(); ++i) {
    // Each unit left adds at least one byte: stop once the limit is certain.
    if (static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(Out)) + (s.size() - i) >= Limit)
      return Limit;
    char32_t c = s[i];
    if (c < 0x80) {
      *o++ = static_cast<unsigned char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(Out));
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  Utf8ToUtf16(text, out);
  return out;
}

void Utf8ToUtf16(std::string_view text, std::u16string& out) {
  // Never more units than bytes: sized once, filled through a pointer, cut to what was written.
  out.resize(text.size());
  char16_t* o = out.data();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      *o++ = b;
      ++i;
      continue;
    }
    char32_t c;
    size_t extra;
    if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
    else { *o++ = static_cast<char16_t>(kReplacement); ++i; continue; }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) { ok = false; break; }
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    const bool overlong = (extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000);
    if (!ok || overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      *o++ = static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (c >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      *o++ = static_cast<char16_t>(c);
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
  const auto b = static_cast<unsigned char>(text[pos]);
  std::size_t extra;
  char32_t c;
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
  else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
  else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
  else return 1;
  if (pos + extra >= text.size()) return 1;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto t = static_cast<unsigned char>(text[pos + k]);
    if ((t & 0xC0) != 0x80) return 1;
    c = (c << 6) | (t & 0x3F);
  }
  const bool overlong = (extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000);
  if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 1;
  return extra + 1;
}

}  // namespace sys
