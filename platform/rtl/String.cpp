#include "platform/rtl/String.h"

#include "platform/sys/Utf.h"

String UTF8ToString(std::string_view utf8) { return sys::Utf8ToUtf16(utf8); }
UTF8String StringToUTF8(std::u16string_view text) { return sys::Utf16ToUtf8(text); }

String Str(std::string_view ascii) { return String(ascii.begin(), ascii.end()); }
