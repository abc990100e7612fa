// The hex and Base64 ("MIME64") text forms of binary values: BLOB values written into SQL scripts and
// TOBLOB literals read back. The formats are used through their classes, never through an instance.
//
//   TFormat_HEX     encodes two upper-case digits a byte, no prefix. Decoding accepts the digits in
//                   either case and the prefix signs "X" and "$": the first prefix sign restarts the
//                   output, later ones are skipped; a final lone digit is dropped. Any other
//                   character raises ECodecException "Input is not an valid HEX format.".
//   TFormat_MIME64  RFC 4648 Base64 with "=" padding and no line breaks. Decoding skips every
//                   character outside the alphabet and stops after the group holding the first "=".
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/String.h"

VELLUM_DECLARE_EXCEPTION(ECodecException, Exception)

inline constexpr char16_t SCodecInvalidInput[] = u"Input is not an valid %s format.";

class TFormat_HEX {
 public:
  static constexpr std::string_view kCharTable = "0123456789ABCDEFX$";
  static String Identity() { return u"HEX"; }
  static AnsiString Encode(const void* Value, std::int32_t Size);
  // An empty Value raises the platform's range error.
  static AnsiString Decode(std::string_view Value);
};

class TFormat_MIME64 : public TFormat_HEX {
 public:
  static constexpr std::string_view kCharTable = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  static String Identity() { return u"MIME64"; }
  static AnsiString Encode(const void* Value, std::int32_t Size);
  static AnsiString Decode(std::string_view Value);
};

String BufferToMIME64(const void* Buffer, std::int32_t Size);
// The decoded bytes in a new memory-manager block of exactly their size (GetMemoryBufferSize gives
// it), owned by the caller; nil when nothing was decoded.
void* HexToBuffer(std::u16string_view Text);
void* MIME64ToBuffer(std::u16string_view Text);
