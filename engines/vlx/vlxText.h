// Text conversions on the stream formats' per-value paths. They give exactly what the platform's
// converters give (platform/sys Utf.h and CodePage.h) and only make them cheaper: UTF-8 is encoded in
// one pass into the caller's buffer, and the system code page's characters are memoised per code page
// in tables filled from the platform's own converter, so a value costs table look-ups instead of a
// converter run. Text the tables cannot answer for (a byte sequence that does not decode, a character
// the page has no round trip for, a page with more than two bytes a character) goes to the platform's
// converter as a whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sys/Utf.h"

namespace vlxtext {

// The UTF-8 length TWriter::WriteString chooses its encoding by.
using sys::Utf8Length;
// Writes exactly Utf8Length(Text) bytes to Out.
void EncodeUtf8(std::u16string_view Text, char* Out);
// The same in one pass: Out has room for 3 bytes a unit; returns the bytes written. With a Limit, it
// may stop early once the result is sure to reach Limit bytes, and then returns a count >= Limit.
std::size_t EncodeUtf8Counted(std::u16string_view Text, char* Out, bool& NonAscii,
                              std::size_t Limit = ~std::size_t{0});
// sys::Utf8ToUtf16 into Out (its capacity is reused).
void DecodeUtf8(std::string_view Bytes, std::u16string& Out);

// Quick forms over raw buffers. They return kNotQuick (or false) where they do not answer; the caller
// then takes the general form above.
inline constexpr std::size_t kNotQuick = ~std::size_t{0};
// UTF-8 of one- to three-byte well-formed sequences into Out (room for N + 16 units: it may write up
// to 16 units past the end of what it returns); the units written.
std::size_t DecodeUtf8Quick(const unsigned char* Bytes, std::size_t N, char16_t* Out);
// 8-bit text that is all ASCII, widened.
std::size_t AsciiToUtf16(const unsigned char* Bytes, std::size_t N, char16_t* Out);
// System code page bytes the tables answer for entirely, into Out (room for N units).
std::size_t AnsiToUtf16Quick(const unsigned char* Bytes, std::size_t N, char16_t* Out);
// Text the code page tables answer for entirely.
bool Utf16ToAnsiQuick(std::u16string_view Text, std::string& Out);

// The system code page's conversions, as sys::AnsiToUtf16 and sys::Utf16ToAnsi give them.
void AnsiToUtf16(std::string_view Bytes, std::u16string& Out);
void Utf16ToAnsi(std::u16string_view Text, std::string& Out);

}  // namespace vlxtext
