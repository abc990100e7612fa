#include "engines/vlx/vlxText.h"

#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <map>
#include <memory>
#include <mutex>

#include "platform/sys/CodePage.h"
#include "platform/sys/Utf.h"

namespace vlxtext {

void EncodeUtf8(std::u16string_view s, char* Out) {
  bool nonAscii;
  EncodeUtf8Counted(s, Out, nonAscii);
}

std::size_t EncodeUtf8Counted(std::u16string_view s, char* Out, bool& NonAscii, std::size_t Limit) {
  return sys::Utf16ToUtf8Into(s, Out, NonAscii, Limit);
}

void DecodeUtf8(std::string_view Bytes, std::u16string& Out) {
  Out.resize(Bytes.size());
  const auto* b = reinterpret_cast<const unsigned char*>(Bytes.data());
  const std::size_t n = Bytes.size();
  std::size_t i = 0, k = 0;
  // Well-formed one- to three-byte sequences here; at anything else the platform's decoder takes the
  // rest (every sequence is decoded on its own, so the split changes nothing).
  while (i < n) {
    const unsigned c0 = b[i];
    if (c0 < 0x80) {
      // ASCII eight bytes at a time.
      while (i + 8 <= n) {
        std::uint64_t eight;
        std::memcpy(&eight, b + i, 8);
        if (eight & 0x8080808080808080ull) break;
        for (int j = 0; j < 8; ++j) Out[k + j] = static_cast<char16_t>((eight >> (8 * j)) & 0xFF);
        i += 8;
        k += 8;
      }
      if (i >= n || b[i] >= 0x80) continue;
      Out[k++] = static_cast<char16_t>(b[i]);
      ++i;
    } else if ((c0 & 0xE0) == 0xC0 && i + 1 < n && (b[i + 1] & 0xC0) == 0x80 && c0 >= 0xC2) {
      Out[k++] = static_cast<char16_t>(((c0 & 0x1F) << 6) | (b[i + 1] & 0x3F));
      i += 2;
    } else if ((c0 & 0xF0) == 0xE0 && i + 2 < n && (b[i + 1] & 0xC0) == 0x80 && (b[i + 2] & 0xC0) == 0x80) {
      const unsigned c = ((c0 & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F);
      if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) break;
      Out[k++] = static_cast<char16_t>(c);
      i += 3;
    } else {
      break;
    }
  }
  Out.resize(k);
  if (i < n) {
    thread_local std::u16string tail;
    sys::Utf8ToUtf16(Bytes.substr(i), tail);
    Out.append(tail);
  }
}

std::size_t DecodeUtf8Quick(const unsigned char* b, std::size_t n, char16_t* Out) {
  char16_t* o = Out;
  std::size_t i = 0;
  while (i < n) {
#ifdef __SSE2__
    // ASCII sixteen bytes at a time: the run up to the first byte of 0x80 or more is widened at once.
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      const __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(v, zero));
      const unsigned run = high ? static_cast<unsigned>(__builtin_ctz(high)) : 16u;
      o += run;
      i += run;
      if (run < 16) break;
    }
#endif
    if (i >= n) break;
    const unsigned c0 = b[i];
    if (c0 < 0x80) {
      *o++ = static_cast<char16_t>(c0);
      ++i;
    } else if ((c0 & 0xF0) == 0xE0 && i + 2 < n && (b[i + 1] & 0xC0) == 0x80 && (b[i + 2] & 0xC0) == 0x80) {
      const unsigned c = ((c0 & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F);
      if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return kNotQuick;
      *o++ = static_cast<char16_t>(c);
      i += 3;
    } else if ((c0 & 0xE0) == 0xC0 && c0 >= 0xC2 && i + 1 < n && (b[i + 1] & 0xC0) == 0x80) {
      *o++ = static_cast<char16_t>(((c0 & 0x1F) << 6) | (b[i + 1] & 0x3F));
      i += 2;
    } else {
      return kNotQuick;
    }
  }
  return static_cast<std::size_t>(o - Out);
}

std::size_t AsciiToUtf16(const unsigned char* b, std::size_t n, char16_t* Out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (b[i] >= 0x80) return kNotQuick;
    Out[i] = b[i];
  }
  return n;
}

namespace {

// One code page's characters as the platform's converter gives them. Decode: per byte (single-byte
// characters) 0x10000 | unit, per lead/trail pair the unit; 0 where the table cannot answer. Encode: per
// UTF-16 unit the byte, or lead << 8 | trail (a lead byte is 0x80 or more, so a pair is 0x8000 or
// more); 0 where it cannot. Sixteen-bit entries: the tables are read at random (one character of a
// name each) and half the size stays twice as well in the cache.
struct TPageTables {
  bool Lead[256] = {};
  std::uint32_t Single[256] = {};
  std::vector<std::uint16_t> Pair;
  std::vector<std::uint16_t> Unit;
};

std::unique_ptr<TPageTables> BuildTables(unsigned cp) {
  if (sys::MaxCharSize(cp) > 2 || !sys::IsAsciiCompatible(cp) || cp == sys::CP_UTF8) return nullptr;
  auto t = std::make_unique<TPageTables>();
  t->Pair.assign(65536, 0);
  t->Unit.assign(65536, 0);
  std::u16string out;
  for (unsigned b = 0; b < 256; ++b) {
    t->Lead[b] = sys::IsLeadByte(static_cast<unsigned char>(b), cp);
    if (t->Lead[b]) continue;
    const char c = static_cast<char>(b);
    sys::AnsiToUtf16(std::string_view(&c, 1), out, cp);
    if (out.size() == 1 && (out[0] != 0xFFFD || b == 0)) t->Single[b] = 0x10000u | out[0];
  }
  // Pairs of one lead byte: in one run when each pair gives one unit, else pair by pair.
  std::string run;
  for (unsigned lead = 0; lead < 256; ++lead) {
    if (!t->Lead[lead]) continue;
    run.clear();
    for (unsigned trail = 0x40; trail < 0xFF; ++trail) {
      run.push_back(static_cast<char>(lead));
      run.push_back(static_cast<char>(trail));
    }
    sys::AnsiToUtf16(run, out, cp);
    const bool whole = out.size() * 2 == run.size();
    for (unsigned trail = 0x40; trail < 0xFF; ++trail) {
      char16_t u;
      if (whole) {
        u = out[trail - 0x40];
      } else {
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        std::u16string one;
        sys::AnsiToUtf16(std::string_view(pair, 2), one, cp);
        if (one.size() != 1) continue;
        u = one[0];
      }
      if (u == 0 || u == 0xFFFD || (u >= 0xD800 && u <= 0xDFFF)) continue;
      t->Pair[(lead << 8) | trail] = u;
    }
  }
  // Encoding: the inverse of decoding, confirmed with the platform's converter in runs (a character
  // reached from two byte sequences, or encoded by a fallback, is settled one by one).
  std::vector<char16_t> units;
  std::vector<std::uint32_t> guess(65536, 0);
  auto note = [&](char16_t u, std::uint32_t code) {
    if (guess[u] == 0) {
      guess[u] = code;
      units.push_back(u);
    }
  };
  for (unsigned b = 0; b < 256; ++b)
    if (t->Single[b]) note(static_cast<char16_t>(t->Single[b] & 0xFFFF), 0x10000u | b);
  for (unsigned p = 0; p < 65536; ++p)
    if (t->Pair[p]) note(static_cast<char16_t>(t->Pair[p]), 0x20000u | p);
  std::string bytes, expect;
  for (std::size_t at = 0; at < units.size(); at += 256) {
    const std::size_t end = std::min(units.size(), at + 256);
    const std::u16string_view chunk(units.data() + at, end - at);
    expect.clear();
    for (char16_t u : chunk) {
      const std::uint32_t g = guess[u];
      if (g & 0x20000u) expect.push_back(static_cast<char>((g >> 8) & 0xFF));
      expect.push_back(static_cast<char>(g & 0xFF));
    }
    sys::Utf16ToAnsi(chunk, bytes, cp);
    if (bytes == expect) {
      for (char16_t u : chunk) t->Unit[u] = static_cast<std::uint16_t>(guess[u] & 0xFFFF);
      continue;
    }
    for (char16_t u : chunk) {
      sys::Utf16ToAnsi(std::u16string_view(&u, 1), bytes, cp);
      std::uint32_t code = 0;
      if (bytes.size() == 1) code = static_cast<unsigned char>(bytes[0]);
      else if (bytes.size() == 2 && static_cast<unsigned char>(bytes[0]) >= 0x80)
        code = (static_cast<unsigned char>(bytes[0]) << 8) | static_cast<unsigned char>(bytes[1]);
      // '?' stands for a character the page lacks: left to the converter (as is U+0000, whose byte 0
      // would read as no entry).
      if (code != 0 && !(bytes == "?" && u != u'?')) t->Unit[u] = static_cast<std::uint16_t>(code);
    }
  }
  return t;
}

const TPageTables* Tables() {
  static std::mutex lock;
  static std::map<unsigned, std::unique_ptr<TPageTables>> pages;
  thread_local unsigned lastPage = ~0u;
  thread_local const TPageTables* last = nullptr;
  const unsigned cp = sys::GetSystemCodePage();
  if (cp == lastPage) return last;
  std::lock_guard<std::mutex> guard(lock);
  auto it = pages.find(cp);
  if (it == pages.end()) it = pages.emplace(cp, BuildTables(cp)).first;
  lastPage = cp;
  last = it->second.get();
  return last;
}

}  // namespace

std::size_t AnsiToUtf16Quick(const unsigned char* b, std::size_t n, char16_t* Out) {
  const TPageTables* t = Tables();
  if (t == nullptr) return kNotQuick;
  std::size_t i = 0, k = 0;
  while (i < n) {
    std::uint32_t u;
    if (!t->Lead[b[i]]) {
      u = t->Single[b[i]];
      ++i;
    } else if (i + 1 < n) {
      u = t->Pair[(b[i] << 8) | b[i + 1]];
      u |= u != 0 ? 0x10000u : 0u;
      i += 2;
    } else {
      return kNotQuick;
    }
    if (u == 0) return kNotQuick;
    Out[k++] = static_cast<char16_t>(u);
  }
  return k;
}

void AnsiToUtf16(std::string_view Bytes, std::u16string& Out) {
  Out.resize(Bytes.size());
  const std::size_t n =
      AnsiToUtf16Quick(reinterpret_cast<const unsigned char*>(Bytes.data()), Bytes.size(), Out.data());
  if (n != kNotQuick) {
    Out.resize(n);
    return;
  }
  sys::AnsiToUtf16(Bytes, Out);
}

bool Utf16ToAnsiQuick(std::u16string_view Text, std::string& Out) {
  const TPageTables* t = Tables();
  if (t == nullptr) return false;
  Out.resize(Text.size() * 2);
  char* o = Out.data();
  for (char16_t u : Text) {
    const std::uint32_t code = t->Unit[u];
    if (code >= 0x8000u) {
      *o++ = static_cast<char>((code >> 8) & 0xFF);
      *o++ = static_cast<char>(code & 0xFF);
    } else if (code) {
      *o++ = static_cast<char>(code & 0xFF);
    } else {
      return false;
    }
  }
  Out.resize(static_cast<std::size_t>(o - Out.data()));
  return true;
}

void Utf16ToAnsi(std::u16string_view Text, std::string& Out) {
  if (!Utf16ToAnsiQuick(Text, Out)) sys::Utf16ToAnsi(Text, Out);
}

}  // namespace vlxtext
