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

// Length in bytes of the UTF-8 sequence that starts at text[pos] when it is well formed, else 1.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos);

}  // namespace sys
