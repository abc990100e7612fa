// platform/rtl: the runtime of the stand-in platform: strings, formatting, numbers and dates, currency and
// BCD, exceptions, variants, random numbers, the stopwatch and the ordered unit initialisation. It calls
// only platform/sys (for every text conversion); everything above it calls it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The platform's text is UTF-16. AnsiString carries bytes of the system code page, never UTF-8;
// UTF8String is kept apart so a reader sees which of the two 8-bit forms a value holds.
using String = std::u16string;
using AnsiString = std::string;
using UTF8String = std::string;
using RawByteString = std::string;

using Int64 = std::int64_t;
using UInt64 = std::uint64_t;
using Cardinal = std::uint32_t;
using Word = std::uint16_t;
using Byte = std::uint8_t;

String UTF8ToString(std::string_view utf8);
UTF8String StringToUTF8(std::u16string_view text);
// An ASCII literal as a String, for messages and names written in code.
String Str(std::string_view ascii);
