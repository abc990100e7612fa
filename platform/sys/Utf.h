// platform/sys: the operating-system layer of the stand-in platform: text encodings (UTF-8, UTF-16 and the
// system code page), locale collation and casing over ICU. It owns the process-wide code page setting.
// It calls nothing of ours; platform/rtl and everything above it call it for every text conversion.
#pragma once

#include <string>
#include <string_view>

namespace sys {

// Unpaired surrogates and malformed UTF-8 become U+FFFD: a conversion never fails.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace sys
