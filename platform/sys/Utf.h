// platform/sys: the operating-system layer of the stand-in platform: text encodings (UTF-8, UTF-16 and the
// system code page), locale collation and casing over ICU. It owns the process-wide code page setting.
// It calls nothing of ours; platform/rtl and everything above it call it for every text conversion.
//
// Headers: Utf.h (UTF-8 ⇄ UTF-16), CodePage.h (the system code page, 8-bit ⇄ UTF-16), Collation.h
// (CompareStringA/W, locale casing).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sys {

// Unpaired surrogates and malformed UTF-8 become U+FFFD: a conversion never fails.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// The same, replacing the content of `out` (its capacity is reused: no allocation once it is large
// enough).
void Utf16ToUtf8(std::u16string_view text, std::string& out);
void Utf8ToUtf16(std::string_view text, std::u16string& out);
// The same encoding straight into memory the caller owns, in one pass: `out` has room for three bytes
// a unit; returns the bytes written. With a Limit it may stop early once the result is sure to reach
// Limit bytes, and then returns a count >= Limit (a saver that falls back to another form past a size
// need not encode the rest).
std::size_t Utf16ToUtf8Into(std::u16string_view text, char* out, bool& NonAscii,
                            std::size_t Limit = ~std::size_t{0});

// Bytes Utf16ToUtf8 makes of `text` (an unpaired surrogate counts as U+FFFD, three bytes); NonAscii
// tells whether any unit is outside ASCII. Inline: the savers size every text value with it.
inline std::size_t Utf8Length(std::u16string_view text, bool& NonAscii) {
  std::size_t n = 0;
  NonAscii = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      ++n;
      continue;
    }
    NonAscii = true;
    if (c < 0x800) {
      n += 2;
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      n += 4;
      ++i;
    } else {
      n += 3;
    }
  }
  return n;
}

// Length in bytes of the UTF-8 sequence that starts at text[pos] when it is well formed, else 1.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos);

}  // namespace sys
