#include "engines/virttable/VtClasses.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/classes/Classes.h"
#include "platform/rtl/Exceptions.h"
#include "platform/sys/CodePage.h"

namespace vt {

namespace {

[[noreturn]] void InvalidBufferLength() { throw Exception(u"Invalid buffer length"); }

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

int CompareKeysNoCase(std::u16string_view A, std::u16string_view B) {
  const std::size_t n = std::min(A.size(), B.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t a = AsciiUpper(A[i]), b = AsciiUpper(B[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

// UTF-8 of one code point.
void PutUtf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string ToUtf8(std::u16string_view S) {
  std::string out;
  out.reserve(S.size());
  for (std::size_t i = 0; i < S.size(); ++i) {
    std::uint32_t cp = S[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < S.size() && S[i + 1] >= 0xDC00 && S[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (S[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    PutUtf8(cp, out);
  }
  return out;
}

std::u16string FromUtf8(std::string_view S) {
  std::u16string out;
  out.reserve(S.size());
  std::size_t i = 0;
  while (i < S.size()) {
    const auto b0 = static_cast<unsigned char>(S[i]);
    int more = 0;
    std::uint32_t cp = 0, least = 0;
    if (b0 < 0x80) cp = b0;
    else if (b0 >= 0xC2 && b0 <= 0xDF) more = 1, cp = b0 & 0x1F, least = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF) more = 2, cp = b0 & 0x0F, least = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4) more = 3, cp = b0 & 0x07, least = 0x10000;
    else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < more; ++k, ++j) {
      if (j >= S.size() || (static_cast<unsigned char>(S[j]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(S[j]) & 0x3F);
    }
    if (!ok || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // The bad sequence stands as one replacement character; reading resumes after its valid part.
      out.push_back(0xFFFD);
      i = ok ? j : std::max(j, i + 1);
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i = j;
  }
  return out;
}

std::string_view AsView(const TEncodingBytes& Bytes) {
  return std::string_view(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
}

TEncodingBytes AsBytes(std::string_view S) { return TEncodingBytes(S.begin(), S.end()); }

// Copies N bytes to Bytes at ByteIndex, checked.
void PutAt(TEncodingBytes& Bytes, int ByteIndex, const void* Data, std::size_t N) {
  if (ByteIndex < 0 || static_cast<std::size_t>(ByteIndex) > Bytes.size() || N > Bytes.size() - static_cast<std::size_t>(ByteIndex))
    InvalidBufferLength();
  if (N) std::memcpy(Bytes.data() + ByteIndex, Data, N);
}

template <class Text>
Text Sub(const Text& S, int Index, int Count) {
  if (Count <= 0) return Text();
  if (Index < 0 || static_cast<std::size_t>(Index) > S.size() || static_cast<std::size_t>(Count) > S.size() - static_cast<std::size_t>(Index))
    InvalidBufferLength();
  return S.substr(static_cast<std::size_t>(Index), static_cast<std::size_t>(Count));
}

}  // namespace

// ---- lists ----

int TIntValueStringList::Add(std::u16string_view S, int Code) {
  if (!FSorted) {
    FCodeStrings.push_back({String(S), Code});
    return GetCount() - 1;
  }
  int index = 0;
  if (FindKeyIndex(S, index)) throw Exception(u"String \"" + String(S) + u"\" is already in the list");
  FCodeStrings.insert(FCodeStrings.begin() + index, {String(S), Code});
  return index;
}

void TIntValueStringList::Insert(int Index, std::u16string_view Key, int Value) {
  FCodeStrings.insert(FCodeStrings.begin() + Index, {String(Key), Value});
}

void TIntValueStringList::Sort() {
  std::stable_sort(FCodeStrings.begin(), FCodeStrings.end(),
                   [](const TIntValueItem& a, const TIntValueItem& b) { return CompareKeysNoCase(a.Key, b.Key) < 0; });
  FSorted = true;
}

bool TIntValueStringList::FindKeyIndex(std::u16string_view S, int& Index) const {
  if (!FSorted) {
    for (int i = 0; i < GetCount(); ++i)
      if (FCodeStrings[static_cast<std::size_t>(i)].Key == S) {
        Index = i;
        return true;
      }
    Index = -1;
    return false;
  }
  int lo = 0, hi = GetCount() - 1;
  while (lo <= hi) {
    const int mid = (lo + hi) / 2;
    const int c = CompareKeysNoCase(FCodeStrings[static_cast<std::size_t>(mid)].Key, S);
    if (c == 0) {
      Index = mid;
      return true;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid - 1;
  }
  Index = lo;
  return false;
}

int ComparePointers(const void* A, const void* B) {
  const std::less<const void*> less;
  return less(A, B) ? -1 : (less(B, A) ? 1 : 0);
}

// ---- class test ----

std::string UnqualifiedClassName(const std::type_info& Type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(Type.name(), nullptr, nullptr, &status),
                                                   std::free);
  std::string name = status == 0 && demangled ? demangled.get() : Type.name();
  // Template arguments may hold "::" of their own: the scope ends at the last "::" before any "<".
  const std::size_t end = std::min(name.find('<'), name.size());
  const std::size_t scope = name.rfind("::", end);
  return scope == std::string::npos ? name : name.substr(scope + 2);
}

namespace {

// Whether Type or one of its bases has the name Name; the bases come from the language's own type
// descriptions.
bool ChainHasName(const std::type_info& Type, const std::string& Name) {
  if (UnqualifiedClassName(Type) == Name) return true;
  if (const auto* single = dynamic_cast<const abi::__si_class_type_info*>(&Type))
    return ChainHasName(*single->__base_type, Name);
  if (const auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(&Type))
    for (unsigned i = 0; i < multiple->__base_count; ++i)
      if (ChainHasName(*multiple->__base_info[i].__base_type, Name)) return true;
  return false;
}

}  // namespace

bool InheritsFromTest(const TObject* Object, const TVtClass& Class) { return Object && Class.IsInstance(Object); }

bool ClassNameChainTest(const TObject* Object, const TVtClass& Class) {
  return Object && ChainHasName(typeid(*Object), Class.Name);
}

TClassTest ClassTestFor(bool RunningModuleIsLibrary) {
  return RunningModuleIsLibrary ? &ClassNameChainTest : &InheritsFromTest;
}

const TClassTest ClassTestHook = ClassTestFor(false);

// ---- UTF-8 ----

int WideToUtf8Buffer(char* Dest, int MaxDestBytes, const char16_t* Source, int SourceChars) {
  if (!Source || SourceChars < 0) return 0;
  const std::string bytes = ToUtf8(std::u16string_view(Source, static_cast<std::size_t>(SourceChars)));
  const int n = static_cast<int>(bytes.size());
  if (!Dest) return n;
  if (n == 0 || n > MaxDestBytes) return 0;
  std::memcpy(Dest, bytes.data(), bytes.size());
  if (Dest[n - 1] == 0) return n;
  if (n < MaxDestBytes) {
    Dest[n] = 0;
    return n + 1;
  }
  // No room for the zero: the last character gives way (its continuation bytes are stepped over).
  int lead = n - 1;
  while (lead > 0 && (static_cast<unsigned char>(Dest[lead]) & 0xC0) == 0x80) --lead;
  Dest[lead] = 0;
  return lead + 1;
}

int Utf8ToWideBuffer(char16_t* Dest, int MaxDestChars, const char* Source, int SourceBytes) {
  if (!Source || SourceBytes < 0) return 0;
  const std::u16string units = FromUtf8(std::string_view(Source, static_cast<std::size_t>(SourceBytes)));
  const int n = static_cast<int>(units.size());
  if (!Dest || MaxDestChars <= 0) return n;
  if (n == 0 || n > MaxDestChars) return 0;
  std::memcpy(Dest, units.data(), units.size() * 2);
  if (Dest[n - 1] == 0) return n;
  if (n < MaxDestChars) {
    Dest[n] = 0;
    return n + 1;
  }
  int last = n - 1;
  if (last > 0 && Dest[last] >= 0xDC00 && Dest[last] <= 0xDFFF && Dest[last - 1] >= 0xD800 && Dest[last - 1] <= 0xDBFF) --last;
  Dest[last] = 0;
  return last + 1;
}

AnsiString EncodeUtf8(std::u16string_view S) { return ToUtf8(S); }
String DecodeUtf8(std::string_view S) { return FromUtf8(S); }
AnsiString AnsiToUtf8Text(std::string_view S) { return ToUtf8(sys::AnsiToUtf16(S)); }
AnsiString Utf8ToAnsiText(std::string_view S) { return sys::Utf16ToAnsi(FromUtf8(S)); }

// ---- encodings ----

Encoding* Encoding::Default() {
  static Encoding instance;
  return &instance;
}

Encoding* Encoding::Unicode() {
  static UnicodeEncoding instance;
  return &instance;
}

Encoding* Encoding::UTF8() {
  static UTF8Encoding instance;
  return &instance;
}

std::string_view Encoding::Range(const TEncodingBytes& Bytes, int Index, int Count) {
  if (Count <= 0) return {};
  if (Index < 0 || static_cast<std::size_t>(Index) > Bytes.size() ||
      static_cast<std::size_t>(Count) > Bytes.size() - static_cast<std::size_t>(Index))
    InvalidBufferLength();
  return AsView(Bytes).substr(static_cast<std::size_t>(Index), static_cast<std::size_t>(Count));
}

TEncodingBytes Encoding::GetBytes(const AnsiString& Chars) { return AsBytes(Chars); }

int Encoding::GetBytes(const AnsiString& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) {
  if (CharCount <= 0) return 0;
  const AnsiString part = Sub(Chars, CharIndex, CharCount);
  PutAt(Bytes, ByteIndex, part.data(), part.size());
  return CharCount;
}

TEncodingBytes Encoding::GetBytes(const String& Chars) { return GetBytes(sys::Utf16ToAnsi(Chars)); }

int Encoding::GetBytes(const String& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) {
  return GetBytes(sys::Utf16ToAnsi(Chars), CharIndex, CharCount, Bytes, ByteIndex);
}

AnsiString Encoding::GetAnsiString(const TEncodingBytes& Bytes, int Index, int Count) {
  return AnsiString(Range(Bytes, Index, Count));
}

String Encoding::GetWideString(const TEncodingBytes& Bytes, int Index, int Count) {
  return sys::AnsiToUtf16(GetAnsiString(Bytes, Index, Count));
}

TEncodingBytes UnicodeEncoding::GetBytes(const AnsiString& Chars) { return GetBytes(sys::AnsiToUtf16(Chars)); }

int UnicodeEncoding::GetBytes(const AnsiString& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) {
  return GetBytes(sys::AnsiToUtf16(Chars), CharIndex, CharCount, Bytes, ByteIndex);
}

TEncodingBytes UnicodeEncoding::GetBytes(const String& Chars) {
  TEncodingBytes out(Chars.size() * 2);
  for (std::size_t i = 0; i < Chars.size(); ++i) {
    out[2 * i] = static_cast<Byte>(Chars[i] & 0xFF);
    out[2 * i + 1] = static_cast<Byte>(Chars[i] >> 8);
  }
  return out;
}

int UnicodeEncoding::GetBytes(const String& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) {
  if (CharCount <= 0) return 0;
  const TEncodingBytes part = GetBytes(Sub(Chars, CharIndex, CharCount));
  PutAt(Bytes, ByteIndex, part.data(), part.size());
  return 2 * CharCount;
}

AnsiString UnicodeEncoding::GetAnsiString(const TEncodingBytes& Bytes, int Index, int Count) {
  return sys::Utf16ToAnsi(GetWideString(Bytes, Index, Count));
}

String UnicodeEncoding::GetWideString(const TEncodingBytes& Bytes, int Index, int Count) {
  const std::string_view part = Range(Bytes, Index, Count);
  String out(part.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(part[2 * i]) | (static_cast<unsigned char>(part[2 * i + 1]) << 8));
  return out;
}

TEncodingBytes UTF8Encoding::GetBytes(const AnsiString& Chars) { return AsBytes(AnsiToUtf8Text(Chars)); }

int UTF8Encoding::GetBytes(const AnsiString&, int, int, TEncodingBytes&, int) { throw Exception(u"not implemented"); }

TEncodingBytes UTF8Encoding::GetBytes(const String& Chars) { return AsBytes(EncodeUtf8(Chars)); }

int UTF8Encoding::GetBytes(const String& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) {
  // Characters are counted from 1 here; 0 or less starts at the first.
  const std::size_t from = static_cast<std::size_t>(std::max(CharIndex, 1) - 1);
  const std::u16string_view all(Chars);
  const std::u16string_view part =
      CharCount <= 0 || from >= all.size() ? std::u16string_view() : all.substr(from, static_cast<std::size_t>(CharCount));
  const AnsiString bytes = EncodeUtf8(part);
  PutAt(Bytes, ByteIndex, bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

AnsiString UTF8Encoding::GetAnsiString(const TEncodingBytes& Bytes, int Index, int Count) {
  if (Count <= 0) return {};
  return Utf8ToAnsiText(Range(Bytes, Index, Count));
}

String UTF8Encoding::GetWideString(const TEncodingBytes& Bytes, int Index, int Count) {
  if (Count <= 0) return {};
  return DecodeUtf8(Range(Bytes, Index, Count));
}

void Marshal::Copy(const TEncodingBytes& Source, int StartIndex, int Length, void* Destination) {
  if (Length <= 0) return;
  if (StartIndex < 0 || static_cast<std::size_t>(StartIndex) > Source.size() ||
      static_cast<std::size_t>(Length) > Source.size() - static_cast<std::size_t>(StartIndex))
    InvalidBufferLength();
  std::memcpy(Destination, Source.data() + StartIndex, static_cast<std::size_t>(Length));
}

void Marshal::Copy(const void* Source, TEncodingBytes& Destination, int StartIndex, int Length) {
  if (Length <= 0) return;
  PutAt(Destination, StartIndex, Source, static_cast<std::size_t>(Length));
}

// ---- string builder ----

WideStringBuilder::WideStringBuilder(int Capacity) : FString(static_cast<std::size_t>(std::max(Capacity, 0)), u'\0') {}

WideStringBuilder::WideStringBuilder(std::u16string_view Value, int Capacity) : WideStringBuilder(Capacity) { Append(Value); }

void WideStringBuilder::Reserve(int Extra) {
  const int capacity = Capacity();
  if (capacity - FActualLength < Extra) FString.resize(static_cast<std::size_t>(Extra + FActualLength + capacity / 2));
}

void WideStringBuilder::Append(std::u16string_view Value) {
  const int n = static_cast<int>(Value.size());
  Reserve(n);
  std::copy(Value.begin(), Value.end(), FString.begin() + FActualLength);
  FActualLength += n;
}

void WideStringBuilder::Insert(int Index, std::u16string_view Value) {
  if (Index < 0 || Index > FActualLength) throw Exception(u"Index out of range");
  const int n = static_cast<int>(Value.size());
  Reserve(n);
  std::copy_backward(FString.begin() + Index, FString.begin() + FActualLength, FString.begin() + FActualLength + n);
  std::copy(Value.begin(), Value.end(), FString.begin() + Index);
  FActualLength += n;
}

void WideStringBuilder::SetLength(int Value) {
  const int capacity = Capacity();
  if (capacity - FActualLength < Value) FString.resize(static_cast<std::size_t>(Value + FActualLength + capacity / 2));
  if (Value > FActualLength) std::fill(FString.begin() + FActualLength, FString.begin() + Value, u'\0');
  FActualLength = std::max(Value, 0);
}

void WideStringBuilder::Replace(std::u16string_view OldValue, std::u16string_view NewValue) {
  if (OldValue.empty()) return;
  const std::u16string_view used(FString.data(), static_cast<std::size_t>(FActualLength));
  std::size_t at = used.find(OldValue);
  if (at == std::u16string_view::npos) return;
  // One pass into a new text: a text full of occurrences costs its length, not its length squared.
  std::u16string out;
  out.reserve(used.size());
  std::size_t from = 0;
  for (; at != std::u16string_view::npos; at = used.find(OldValue, from)) {
    out.append(used.substr(from, at - from));
    out.append(NewValue);
    from = at + OldValue.size();
  }
  out.append(used.substr(from));
  const int length = static_cast<int>(out.size());
  if (length > Capacity()) FString.resize(static_cast<std::size_t>(length + Capacity() / 2));
  std::copy(out.begin(), out.end(), FString.begin());
  FActualLength = length;
}

}  // namespace vt
