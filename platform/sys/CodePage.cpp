#include "platform/sys/CodePage.h"

#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>

#include "platform/sys/Utf.h"

namespace sys {

namespace {

std::atomic<unsigned> g_systemCodePage{kDefaultSystemCodePage};

// What is known of a code page, computed once when it is first used and immutable afterwards, so any
// thread may read it without a lock. UTF-8 is converted by Utf.h, every other page by ICU.
struct PageInfo {
  unsigned codePage = 0;
  std::string icuName;
  bool utf8 = false;
  bool gb18030 = false;
  bool asciiCompatible = false;  // bytes 0x00-0x7F are ASCII both ways: lets pure ASCII text be copied
  int maxCharSize = 1;
  std::array<bool, 256> lead{};
};

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// Pages whose ICU name is not "windows-<n>" / "cp<n>" / "ibm-<n>".
const char* AliasFor(unsigned cp) {
  switch (cp) {
    case 20127: return "US-ASCII";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 50220: return "ISO-2022-JP";
    case 52936: return "HZ-GB-2312";
    case 54936: return "GB18030";
    case 65000: return "UTF-7";
    case 10000: return "macintosh";
    default: return nullptr;
  }
}

ConverterPtr OpenIcu(unsigned cp, std::string* name) {
  std::string candidates[4];
  int n = 0;
  if (const char* alias = AliasFor(cp)) candidates[n++] = alias;
  candidates[n++] = "windows-" + std::to_string(cp);
  candidates[n++] = "cp" + std::to_string(cp);
  candidates[n++] = "ibm-" + std::to_string(cp);
  for (int i = 0; i < n; ++i) {
    UErrorCode err = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open(candidates[i].c_str(), &err));
    if (U_FAILURE(err) || !conv) continue;
    // Text pages only: the UTF-16/32 converters are not 8-bit code pages.
    const UConverterType type = ucnv_getType(conv.get());
    if (type == UCNV_UTF16_BigEndian || type == UCNV_UTF16_LittleEndian || type == UCNV_UTF16 ||
        type == UCNV_UTF32_BigEndian || type == UCNV_UTF32_LittleEndian || type == UCNV_UTF32)
      return nullptr;
    err = U_ZERO_ERROR;
    ucnv_setSubstChars(conv.get(), "?", 1, &err);
    if (name) *name = candidates[i];
    return conv;
  }
  return nullptr;
}

std::unique_ptr<PageInfo> MakePageInfo(unsigned cp) {
  auto info = std::make_unique<PageInfo>();
  info->codePage = cp;
  if (cp == CP_UTF8) {
    info->utf8 = true;
    info->asciiCompatible = true;
    info->maxCharSize = 4;
    for (int b = 0xC2; b <= 0xF4; ++b) info->lead[b] = true;
    return info;
  }
  ConverterPtr conv = OpenIcu(cp, &info->icuName);
  if (!conv) return nullptr;
  info->gb18030 = cp == 54936;
  info->maxCharSize = ucnv_getMaxCharSize(conv.get());
  if (ucnv_getType(conv.get()) == UCNV_MBCS || ucnv_getType(conv.get()) == UCNV_DBCS) {
    UBool starters[256] = {};
    UErrorCode err = U_ZERO_ERROR;
    ucnv_getStarters(conv.get(), starters, &err);
    if (U_SUCCESS(err))
      for (int b = 0; b < 256; ++b) info->lead[b] = starters[b];
  }
  // ASCII compatible when every byte below 0x80 decodes to itself and is not a lead byte.
  char bytes[128];
  for (int b = 0; b < 128; ++b) bytes[b] = static_cast<char>(b);
  UChar units[256];
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = ucnv_toUChars(conv.get(), units, 256, bytes, 128, &err);
  bool compatible = U_SUCCESS(err) && n == 128;
  for (int b = 0; compatible && b < 128; ++b) compatible = units[b] == b && !info->lead[b];
  info->asciiCompatible = compatible && ucnv_getMinCharSize(conv.get()) == 1 && cp != 65000 && cp != 52936 &&
                          cp != 50220;
  return info;
}

// The registry of page infos: filled under a lock, entries never move or die before exit.
std::mutex g_pagesMutex;
std::map<unsigned, std::unique_ptr<PageInfo>>& Pages() {
  static std::map<unsigned, std::unique_ptr<PageInfo>> pages;
  return pages;
}

const PageInfo* FindPage(unsigned cp) {
  std::lock_guard lock(g_pagesMutex);
  auto& pages = Pages();
  auto it = pages.find(cp);
  if (it == pages.end()) it = pages.emplace(cp, MakePageInfo(cp)).first;
  return it->second.get();
}

// The calling thread's view: the last page used, then a map; ICU converters hold state, so each
// thread has its own, opened once per page.
struct ThreadPages {
  unsigned lastCp = ~0u;
  const PageInfo* lastInfo = nullptr;
  UConverter* lastConv = nullptr;
  std::map<unsigned, std::pair<const PageInfo*, ConverterPtr>> converters;
  std::string scratch8;
  std::u16string scratch16;
};

ThreadPages& Local() {
  thread_local ThreadPages local;
  return local;
}

// The page of `cp` (CP_ACP/CP_OEMCP resolved) and this thread's converter for it (null for UTF-8).
// An unknown page falls back to the system page, as a conversion never fails.
const PageInfo& Page(unsigned cp, UConverter** conv) {
  cp = ResolveCodePage(cp);
  ThreadPages& local = Local();
  if (cp == local.lastCp) {
    if (conv) *conv = local.lastConv;
    return *local.lastInfo;
  }
  auto it = local.converters.find(cp);
  if (it == local.converters.end()) {
    const PageInfo* info = FindPage(cp);
    if (!info) info = FindPage(GetSystemCodePage());
    if (!info) info = FindPage(CP_UTF8);
    ConverterPtr c = info->utf8 ? nullptr : OpenIcu(info->codePage, nullptr);
    it = local.converters.emplace(cp, std::make_pair(info, std::move(c))).first;
  }
  local.lastCp = cp;
  local.lastInfo = it->second.first;
  local.lastConv = it->second.second.get();
  if (conv) *conv = local.lastConv;
  return *local.lastInfo;
}

template <class Char>
bool IsAscii(std::basic_string_view<Char> text) {
  for (Char c : text)
    if (static_cast<std::make_unsigned_t<Char>>(c) >= 0x80) return false;
  return true;
}

// Runs an ICU conversion into `out` (content replaced) from a first guess of its size; ICU reports
// the exact size when the guess was short, and the second run then fits.
template <class Out, class Convert>
void ConvertWithRetry(Out& out, size_t guess, Convert convert) {
  out.resize(guess);
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = convert(out.data(), static_cast<int32_t>(out.size()), &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<size_t>(n) + 1);
    err = U_ZERO_ERROR;
    n = convert(out.data(), static_cast<int32_t>(out.size()), &err);
  }
  out.resize(U_SUCCESS(err) ? static_cast<size_t>(n) : 0);
}

// Decodes into `out` (content replaced).
void Decode(const PageInfo& page, UConverter* conv, std::string_view bytes, std::u16string& out) {
  if (page.asciiCompatible && IsAscii(bytes)) {
    out.assign(bytes.begin(), bytes.end());
    return;
  }
  if (page.utf8) {
    Utf8ToUtf16(bytes, out);
    return;
  }
  // Every page ICU offers here decodes a byte sequence into at most as many UTF-16 units as bytes.
  ConvertWithRetry(out, bytes.size() + 1, [&](char16_t* dest, int32_t capacity, UErrorCode* err) {
    return ucnv_toUChars(conv, dest, capacity, bytes.data(), static_cast<int32_t>(bytes.size()), err);
  });
}

// Encodes into `out` (content replaced).
void Encode(const PageInfo& page, UConverter* conv, std::u16string_view text, std::string& out) {
  if (page.asciiCompatible && IsAscii(text)) {
    out.assign(text.begin(), text.end());
    return;
  }
  if (page.utf8) {
    Utf16ToUtf8(text, out);
    return;
  }
  ConvertWithRetry(out, text.size() * static_cast<size_t>(page.maxCharSize) + 1,
                   [&](char* dest, int32_t capacity, UErrorCode* err) {
                     return ucnv_fromUChars(conv, dest, capacity, text.data(), static_cast<int32_t>(text.size()), err);
                   });
}

size_t CharLength(const PageInfo& page, std::string_view bytes, size_t pos) {
  const auto b = static_cast<unsigned char>(bytes[pos]);
  if (!page.lead[b]) return 1;
  if (page.utf8) return Utf8SequenceLength(bytes, pos);
  if (pos + 1 >= bytes.size()) return 1;
  if (page.gb18030) {
    // Four-byte sequences: lead, digit, lead, digit.
    const auto t = static_cast<unsigned char>(bytes[pos + 1]);
    if (t >= 0x30 && t <= 0x39) return pos + 3 < bytes.size() ? 4 : bytes.size() - pos;
  }
  return 2;
}

size_t Cut(const PageInfo& page, std::string_view bytes, size_t maxBytes) {
  if (bytes.size() <= maxBytes) return bytes.size();
  if (page.maxCharSize == 1) return maxBytes;
  if (page.utf8) {
    // UTF-8 is self-synchronising: step back over continuation bytes.
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;
    return end + CharLength(page, bytes, end) <= maxBytes ? maxBytes : end;
  }
  // A trail byte of a double-byte page can look like a lead byte, so walk from the start.
  size_t i = 0;
  while (i < maxBytes) {
    const size_t len = CharLength(page, bytes, i);
    if (i + len > maxBytes) break;
    i += len;
  }
  return i;
}

}  // namespace

unsigned GetSystemCodePage() { return g_systemCodePage.load(std::memory_order_relaxed); }

void SetSystemCodePage(unsigned codePage) {
  if (codePage == CP_ACP || codePage == CP_OEMCP || !IsValidCodePage(codePage))
    throw std::invalid_argument("SetSystemCodePage: unknown code page " + std::to_string(codePage));
  g_systemCodePage.store(codePage, std::memory_order_relaxed);
  // Each thread re-resolves CP_ACP on its next call: the one-entry cache is keyed by the resolved page.
}

unsigned GetOEMCodePage() { return GetSystemCodePage(); }

unsigned ResolveCodePage(unsigned codePage) {
  return (codePage == CP_ACP || codePage == CP_OEMCP) ? GetSystemCodePage() : codePage;
}

bool IsValidCodePage(unsigned codePage) {
  if (codePage == CP_ACP || codePage == CP_OEMCP) return true;
  return FindPage(codePage) != nullptr;
}

bool IsAsciiCompatible(unsigned codePage) { return Page(codePage, nullptr).asciiCompatible; }

int MaxCharSize(unsigned codePage) { return Page(codePage, nullptr).maxCharSize; }

std::u16string AnsiToUtf16(std::string_view bytes, unsigned codePage) {
  std::u16string out;
  AnsiToUtf16(bytes, out, codePage);
  return out;
}

void AnsiToUtf16(std::string_view bytes, std::u16string& out, unsigned codePage) {
  UConverter* conv;
  const PageInfo& page = Page(codePage, &conv);
  Decode(page, conv, bytes, out);
}

std::size_t AnsiToUtf16(std::string_view bytes, char16_t* out, std::size_t capacity, unsigned codePage) {
  UConverter* conv;
  const PageInfo& page = Page(codePage, &conv);
  if (page.asciiCompatible && IsAscii(bytes)) {
    std::copy_n(bytes.begin(), std::min(capacity, bytes.size()), out);
    return bytes.size();
  }
  std::u16string& scratch = Local().scratch16;
  Decode(page, conv, bytes, scratch);
  std::copy_n(scratch.begin(), std::min(capacity, scratch.size()), out);
  return scratch.size();
}

std::string Utf16ToAnsi(std::u16string_view text, unsigned codePage) {
  std::string out;
  Utf16ToAnsi(text, out, codePage);
  return out;
}

void Utf16ToAnsi(std::u16string_view text, std::string& out, unsigned codePage) {
  UConverter* conv;
  const PageInfo& page = Page(codePage, &conv);
  Encode(page, conv, text, out);
}

std::size_t Utf16ToAnsi(std::u16string_view text, char* out, std::size_t capacity, unsigned codePage) {
  UConverter* conv;
  const PageInfo& page = Page(codePage, &conv);
  if (page.asciiCompatible && IsAscii(text)) {
    const size_t n = std::min(capacity, text.size());
    std::copy_n(text.begin(), n, out);
    return n;
  }
  std::string& scratch = Local().scratch8;
  Encode(page, conv, text, scratch);
  const size_t n = Cut(page, scratch, capacity);
  if (n) std::memcpy(out, scratch.data(), n);
  return n;
}

std::size_t AnsiLength(std::u16string_view text, unsigned codePage) {
  UConverter* conv;
  const PageInfo& page = Page(codePage, &conv);
  if (page.asciiCompatible && IsAscii(text)) return text.size();
  std::string& scratch = Local().scratch8;
  Encode(page, conv, text, scratch);
  return scratch.size();
}

bool IsLeadByte(unsigned char b, unsigned codePage) { return Page(codePage, nullptr).lead[b]; }

std::size_t CharLengthAt(std::string_view bytes, std::size_t pos, unsigned codePage) {
  if (pos >= bytes.size()) return 0;
  return CharLength(Page(codePage, nullptr), bytes, pos);
}

std::size_t CutLength(std::string_view bytes, std::size_t maxBytes, unsigned codePage) {
  return Cut(Page(codePage, nullptr), bytes, maxBytes);
}

}  // namespace sys
