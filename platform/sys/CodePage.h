// The system code page and 8-bit ⇄ UTF-16 conversion over ICU converters.
//
// The system ("ANSI") code page is one process-wide setting, default 936 (GBK): the benchmark's edge
// cases assume every generated Chinese character takes two bytes. The OEM page equals the system page.
// Tests switch it with SetSystemCodePage (1252, 65001, 936, ...); switching is not meant to race with
// conversions on other threads.
//
// Conversions sit on per-row paths: a converter is opened once per code page and cached (per thread,
// since an ICU converter holds state), and the buffer forms below write into the caller's memory without
// allocating. A character the page cannot hold becomes '?'; bytes that do not decode (a lone lead byte,
// an illegal sequence) become U+FFFD. A conversion never fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sys {

// Pseudo code pages understood wherever a code page is taken.
inline constexpr unsigned CP_ACP = 0;     // the system code page
inline constexpr unsigned CP_OEMCP = 1;   // the OEM code page (= the system code page here)
inline constexpr unsigned CP_UTF8 = 65001;
inline constexpr unsigned kDefaultSystemCodePage = 936;

unsigned GetSystemCodePage();
// Raises std::invalid_argument when ICU knows no converter for the page.
void SetSystemCodePage(unsigned codePage);
unsigned GetOEMCodePage();
// CP_ACP / CP_OEMCP resolve to the system page; anything else is returned as is.
unsigned ResolveCodePage(unsigned codePage);
// True when ICU can open a converter for the page (936, 1252, 65001, 932, 949, 950, 125x, 437, 850, ...).
bool IsValidCodePage(unsigned codePage);
// True when bytes 0x00-0x7F are ASCII both ways (936, 125x, 65001, ...; not EBCDIC or UTF-7).
bool IsAsciiCompatible(unsigned codePage = CP_ACP);
// Longest character of the page in bytes: 1 for single-byte pages, 2 for 936/932/949/950, 4 for 65001.
int MaxCharSize(unsigned codePage = CP_ACP);

// ---- 8-bit → UTF-16 --------------------------------------------------------------------------------
std::u16string AnsiToUtf16(std::string_view bytes, unsigned codePage = CP_ACP);
// Replaces the content of `out` (its capacity is reused).
void AnsiToUtf16(std::string_view bytes, std::u16string& out, unsigned codePage = CP_ACP);
// Writes at most `capacity` code units to `out`; returns the number of code units the full conversion
// takes (when larger than capacity, the output holds the first `capacity` units).
std::size_t AnsiToUtf16(std::string_view bytes, char16_t* out, std::size_t capacity, unsigned codePage = CP_ACP);

// ---- UTF-16 → 8-bit --------------------------------------------------------------------------------
std::string Utf16ToAnsi(std::u16string_view text, unsigned codePage = CP_ACP);
void Utf16ToAnsi(std::u16string_view text, std::string& out, unsigned codePage = CP_ACP);
// Writes at most `capacity` bytes, never a part of a character; returns the number of bytes written.
// Use it to store a value into a fixed field of N bytes: the result is cut at N without splitting a
// double-byte character.
std::size_t Utf16ToAnsi(std::u16string_view text, char* out, std::size_t capacity, unsigned codePage = CP_ACP);
// The number of bytes the text takes in the page.
std::size_t AnsiLength(std::u16string_view text, unsigned codePage = CP_ACP);

// ---- lead bytes and cutting ------------------------------------------------------------------------
// True when `b` starts a multi-byte character of the page (the platform's IsDBCSLeadByteEx). For 65001
// every byte >= 0xC2 that starts a sequence counts.
bool IsLeadByte(unsigned char b, unsigned codePage = CP_ACP);
// Length in bytes of the character starting at bytes[pos] (1 for a lone/truncated lead byte at the end).
std::size_t CharLengthAt(std::string_view bytes, std::size_t pos, unsigned codePage = CP_ACP);
// The largest length <= maxBytes at which `bytes` can be cut without splitting a character.
std::size_t CutLength(std::string_view bytes, std::size_t maxBytes, unsigned codePage = CP_ACP);
inline std::string_view CutAnsi(std::string_view bytes, std::size_t maxBytes, unsigned codePage = CP_ACP) {
  return bytes.substr(0, CutLength(bytes, maxBytes, codePage));
}

}  // namespace sys
