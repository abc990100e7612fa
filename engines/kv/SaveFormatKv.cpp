// The value table and the "Data" property of the save format (layout: MemTableDataKv.h).
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>

#include "engines/kv/DataStructKv.h"
#include "engines/kv/IndexesKv.h"
#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/RecordsListKv.h"
#include "platform/classes/ObjectText.h"
#include "platform/classes/Streams.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/store/ByteStream.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Utf.h"

namespace {

bool IsBinaryStoredType(TFieldType Type) {
  switch (Type) {
    case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob:
      return true;
    default: return false;
  }
}

String AsciiToString(const char* s) {
  String r;
  for (; *s; ++s) r += static_cast<char16_t>(static_cast<unsigned char>(*s));
  return r;
}

template <class Stamp>
String StampText(const Stamp& t) {
  char text[48];
  const unsigned ms = static_cast<std::uint16_t>(t.Fractions);
  if (ms != 0)
    std::snprintf(text, sizeof text, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d.%.3u", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                  t.Second, ms);
  else
    std::snprintf(text, sizeof text, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                  t.Second);
  return AsciiToString(text);
}

String OffsetStampText(const TSQLTimeStampOffset& t) {
  String s = StampText(t);
  if (t.TimeZoneHour != 0 || t.TimeZoneMinute != 0) {
    const bool negative = t.TimeZoneHour * 60 + t.TimeZoneMinute < 0;
    char text[16];
    std::snprintf(text, sizeof text, "%s%.2d:%.2d", negative ? "-" : "+", std::abs(t.TimeZoneHour),
                  std::abs(t.TimeZoneMinute));
    s += AsciiToString(text);
  }
  return s;
}

int Digits(const String& s, size_t From, size_t Count, bool EmptyIsZero) {
  // Positions count from 1, as the text's layout is given.
  if (From == 0 || From - 1 >= s.size()) {
    if (EmptyIsZero) return 0;
    throw EConvertError(u"'" + s + u"' is not a valid timestamp");
  }
  int v = 0;
  size_t n = 0;
  for (size_t i = From - 1; i < s.size() && n < Count; ++i, ++n) {
    const char16_t c = s[i];
    if (c < u'0' || c > u'9') throw EConvertError(u"'" + s + u"' is not a valid timestamp");
    v = v * 10 + (c - u'0');
  }
  if (n == 0 && !EmptyIsZero) throw EConvertError(u"'" + s + u"' is not a valid timestamp");
  return v;
}

TSQLTimeStampOffset ParseStampText(const String& s) {
  TSQLTimeStampOffset t;
  t.Year = static_cast<std::int16_t>(Digits(s, 1, 4, false));
  t.Month = static_cast<std::uint16_t>(Digits(s, 6, 2, false));
  t.Day = static_cast<std::uint16_t>(Digits(s, 9, 2, false));
  t.Hour = static_cast<std::uint16_t>(Digits(s, 12, 2, true));
  t.Minute = static_cast<std::uint16_t>(Digits(s, 15, 2, true));
  t.Second = static_cast<std::uint16_t>(Digits(s, 18, 2, true));
  size_t sign_at = 20;
  if (s.size() >= 20 && s[19] == u'.') {
    t.Fractions = static_cast<std::uint32_t>(Digits(s, 21, 3, false));
    sign_at = 24;
  }
  if (s.size() >= sign_at && (s[sign_at - 1] == u'+' || s[sign_at - 1] == u'-')) {
    const int h = Digits(s, sign_at + 1, 2, false);
    // The offset's minutes stand after the colon that follows the hours.
    const int m = Digits(s, sign_at + 4, 2, false);
    const int sign = s[sign_at - 1] == u'-' ? -1 : 1;
    t.TimeZoneHour = static_cast<std::int16_t>(sign * h);
    t.TimeZoneMinute = static_cast<std::int16_t>(sign * m);
  }
  return t;
}

void WriteAnsiText(TWriter* Writer, const AnsiString& Bytes) {
  bool ascii = !Bytes.empty();
  for (char c : Bytes)
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  if (!ascii) {
    Writer->WriteString(sys::AnsiToUtf16(Bytes));
    return;
  }
  // Pure ASCII: the bytes WriteString would write for the same text, without a conversion.
  if (Bytes.size() <= 255) {
    Writer->WriteValue(vaString);
    Writer->WriteByte(static_cast<Byte>(Bytes.size()));
  } else {
    Writer->WriteValue(vaLString);
    const auto n = static_cast<std::int32_t>(Bytes.size());
    Writer->Write(&n, 4);
  }
  Writer->Write(Bytes.data(), static_cast<Int64>(Bytes.size()));
}

}  // namespace

void TMTDataFieldKv::WriteDataToWriter(const Variant& Value, TWriter* Writer) const {
  const TFieldType type = DataType();
  if (IsBinaryStoredType(type)) {
    if (Value.IsNull()) {
      Writer->WriteBinary(nullptr, 0);
    } else if (Value.VType() == varString) {
      const AnsiString& bytes = Value.VAnsiString();
      Writer->WriteBinary(bytes.data(), static_cast<Int64>(bytes.size()));
    } else if (VarIsByteArray(Value)) {
      Variant copy = Value;
      const int n = VarArrayHighBound(copy, 1) + 1;
      const void* p = VarArrayLock(copy);
      Writer->WriteBinary(p, n);
      VarArrayUnlock(copy);
    } else if (Value.IsEmpty()) {
      throw Exception(u"\"TMemoryRecordKv.WriteData\" - Invalid variant type - varEmpty");
    } else {
      throw EWriteError(u"Stream write error");
    }
    return;
  }
  switch (Value.VType()) {
    case varEmpty: throw Exception(u"\"TMemoryRecordKv.WriteData\" - Invalid variant type - varEmpty");
    case varNull: Writer->WriteValue(vaNil); return;
    case varString: WriteAnsiText(Writer, Value.VAnsiString()); return;
    case varSQLTimeStamp: Writer->WriteString(StampText(Value.VSQLTimeStamp())); return;
    case varSQLTimeStampOffset: Writer->WriteString(OffsetStampText(Value.VSQLTimeStampOffset())); return;
    default: break;
  }
  // Object references live only as long as the process: they are never written.
  if (type == ftUnknown) {
    Writer->WriteValue(vaNil);
    return;
  }
  Writer->WriteListVariant(Value);
}

void TMTDataFieldKv::ReadDataFromReader(Variant& Value, TReader* Reader) const {
  const TFieldType type = DataType();
  if (IsBinaryStoredType(type)) {
    if (Reader->NextValue() != vaBinary) {
      Reader->SkipValue();
      throw EReadError(u"Invalid property value");
    }
    std::vector<Byte> bytes = Reader->ReadBinary();
    if (FVarDataType == varString) {
      Value = VarFromAnsi(AnsiString(bytes.begin(), bytes.end()));
    } else {
      Variant arr = VarArrayCreate({0, static_cast<int>(bytes.size()) - 1}, varByte);
      if (!bytes.empty()) {
        std::memcpy(VarArrayLock(arr), bytes.data(), bytes.size());
        VarArrayUnlock(arr);
      }
      Value = std::move(arr);
    }
    return;
  }
  Variant v = Reader->ReadVariant();
  if (v.IsEmpty() || v.IsNull() || type == ftUnknown) {
    Value = Null();
    return;
  }
  if (VarIsStr(v) && (FVarDataType == varSQLTimeStamp || FVarDataType == varSQLTimeStampOffset)) {
    const TSQLTimeStampOffset t = ParseStampText(v.AsString());
    if (FVarDataType == varSQLTimeStampOffset) {
      Value = VarSQLTimeStampOffsetCreate(t);
    } else {
      TSQLTimeStamp plain;
      plain.Year = t.Year;
      plain.Month = t.Month;
      plain.Day = t.Day;
      plain.Hour = t.Hour;
      plain.Minute = t.Minute;
      plain.Second = t.Second;
      plain.Fractions = t.Fractions;
      Value = VarSQLTimeStampCreate(plain);
    }
    return;
  }
  if (FVarDataType == varVariant || FVarDataType == v.VType()) {
    Value = std::move(v);
    return;
  }
  try {
    Value = VarAsType(v, FVarDataType);
  } catch (const EVariantError&) {
    throw EReadError(u"Invalid property value");
  }
}

// ---- the "Data" property, straight between cells and bytes ------------------------------------------
//
// The values go out and come in as the writer and reader above would put them (same tags, same bytes),
// without a Variant per value: texts are copied or converted once between the text table and the
// stream, numbers are encoded in place. A kind without a fast form (a boxed cell, an unusual tag for the
// field) goes through the Variant routines above, so both routes always agree.

namespace {

struct TDataReadFail {
  [[noreturn]] static void Fail(const char*) { throw EReadError(msg::SReadError); }
};
using TDataReader = TByteReader<TDataReadFail>;

[[noreturn]] void InvalidPropertyValue() { throw EReadError(u"Invalid property value"); }

bool IsAsciiBytes(const Byte* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] >= 0x80) return false;
  return true;
}

// The system code page's double-byte characters one at a time, remembered per character: a table of
// 50,000 names converts a few thousand distinct characters, not a converter call per name. Only for
// ASCII-compatible pages of at most two bytes per character, where a character converts alone as it
// does in a text; anything the tables cannot answer (a surrogate, a byte pair that is no character, a
// lone lead byte) sends the whole text through the platform's converter.
class TCodePageCacheKv {
 public:
  static TCodePageCacheKv& Current() {
    thread_local TCodePageCacheKv cache;
    const unsigned page = sys::GetSystemCodePage();
    if (page != cache.FPage) cache.Reset(page);
    return cache;
  }

  void ToUtf16(const Byte* p, std::size_t n, std::u16string& Out) {
    if (FUsable) {
      Out.resize(n);
      std::size_t o = 0;
      std::size_t i = 0;
      for (; i < n; ++i) {
        const Byte b = p[i];
        if (b < 0x80) {
          Out[o++] = b;
          continue;
        }
        if (i + 1 >= n) break;
        const std::size_t key = std::size_t{b} << 8 | p[i + 1];
        char16_t c = FDecode[key];
        if (c == 0) c = FDecode[key] = DecodePair(p + i);
        if (c == kNoChar) break;
        Out[o++] = c;
        ++i;
      }
      if (i == n) {
        Out.resize(o);
        return;
      }
    }
    sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(p), n), Out);
  }

  void ToAnsi(std::u16string_view Text, std::string& Out) {
    if (FUsable) {
      Out.resize(Text.size() * 2);
      std::size_t o = 0;
      std::size_t i = 0;
      for (; i < Text.size(); ++i) {
        const char16_t c = Text[i];
        if (c < 0x80) {
          Out[o++] = static_cast<char>(c);
          continue;
        }
        if (c >= 0xD800 && c <= 0xDFFF) break;
        std::uint32_t e = FEncode[c];
        if (e == 0) e = FEncode[c] = EncodeChar(c);
        if (e == kNoCode) break;
        if (e >> 16 == 2) Out[o++] = static_cast<char>(e >> 8 & 0xFF);
        Out[o++] = static_cast<char>(e & 0xFF);
      }
      if (i == Text.size()) {
        Out.resize(o);
        return;
      }
    }
    sys::Utf16ToAnsi(Text, Out);
  }

 private:
  static constexpr char16_t kNoChar = 0xFFFF;
  static constexpr std::uint32_t kNoCode = 0xFFFFFFFF;

  void Reset(unsigned Page) {
    FPage = Page;
    FUsable = sys::IsAsciiCompatible() && sys::MaxCharSize() == 2;
    FDecode.assign(FUsable ? 0x10000 : 0, 0);
    FEncode.assign(FUsable ? 0x10000 : 0, 0);
  }
  static char16_t DecodePair(const Byte* p) {
    const std::u16string u = sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(p), 2));
    if (u.size() != 1 || u[0] == 0xFFFD || u[0] == kNoChar || u[0] == 0 || (u[0] >= 0xD800 && u[0] <= 0xDFFF))
      return kNoChar;
    return u[0];
  }
  static std::uint32_t EncodeChar(char16_t c) {
    const std::string a = sys::Utf16ToAnsi(std::u16string_view(&c, 1));
    if (a.size() == 1) return std::uint32_t{1} << 16 | static_cast<Byte>(a[0]);
    if (a.size() == 2) return std::uint32_t{2} << 16 | static_cast<std::uint32_t>(static_cast<Byte>(a[0])) << 8 | static_cast<Byte>(a[1]);
    return kNoCode;
  }

  unsigned FPage = ~0u;
  bool FUsable = false;
  std::vector<char16_t> FDecode;
  std::vector<std::uint32_t> FEncode;
};

class TDataWriterKv {
 public:
  TDataWriterKv(TStream& Stream, const TBlobTable& Texts) : FOut(Stream), FTexts(Texts) {}

  void Tag(TValueType Tag) {
    Byte* p = FOut.Room(1);
    *p = Tag;
    FOut.Commit(p + 1);
  }
  template <class T>
  void Tagged(TValueType Tag, T Value) {
    Byte* p = FOut.Room(1 + sizeof(T));
    *p = Tag;
    std::memcpy(p + 1, &Value, sizeof(T));
    FOut.Commit(p + 1 + sizeof(T));
  }
  void Integer(Int64 v) {
    if (v >= INT8_MIN && v <= INT8_MAX) Tagged(vaInt8, static_cast<std::int8_t>(v));
    else if (v >= INT16_MIN && v <= INT16_MAX) Tagged(vaInt16, static_cast<std::int16_t>(v));
    else if (v >= INT32_MIN && v <= INT32_MAX) Tagged(vaInt32, static_cast<std::int32_t>(v));
    else Tagged(vaInt64, v);
  }
  void Extended(double v) {
    Byte* p = FOut.Room(11);
    *p = vaExtended;
    std::uint8_t bytes[10];
    DoubleToExtended(v, bytes);
    std::memcpy(p + 1, bytes, 10);
    FOut.Commit(p + 11);
  }
  void Bytes(TValueType Tag, std::int32_t Length, const void* Data, std::size_t Count) {
    Tagged(Tag, Length);
    FOut.Put(Data, Count);
  }
  // The bytes TWriter::WriteString writes for the text.
  void Text(std::u16string_view Value) {
    bool nonAscii = false;
    const size_t utf8Length = sys::Utf8Length(Value, nonAscii);
    if (utf8Length > static_cast<size_t>(INT32_MAX) || Value.size() > static_cast<size_t>(INT32_MAX / 2))
      throw EWriteError(msg::SWriteError);
    if (utf8Length >= 2 * Value.size()) {
      Bytes(vaWString, static_cast<std::int32_t>(Value.size()), Value.data(), Value.size() * 2);
      return;
    }
    if (!nonAscii) {
      Byte* p;
      if (utf8Length <= 255) {
        p = FOut.Room(2 + utf8Length);
        p[0] = vaString;
        p[1] = static_cast<Byte>(utf8Length);
        p += 2;
      } else {
        p = FOut.Room(5 + utf8Length);
        p[0] = vaLString;
        const auto n = static_cast<std::int32_t>(utf8Length);
        std::memcpy(p + 1, &n, 4);
        p += 5;
      }
      for (char16_t c : Value) *p++ = static_cast<Byte>(c);
      FOut.Commit(p);
      return;
    }
    Byte* p = FOut.Room(5 + utf8Length);
    p[0] = vaUTF8String;
    const auto n = static_cast<std::int32_t>(utf8Length);
    std::memcpy(p + 1, &n, 4);
    FOut.Commit(EncodeUtf8(Value, p + 5));
  }
  static Byte* EncodeUtf8(std::u16string_view Text, Byte* p) {
    bool nonAscii;
    return p + sys::Utf16ToUtf8Into(Text, reinterpret_cast<char*>(p), nonAscii);
  }
  // UTF-16LE text held in the text table (its bytes may stand at any address).
  void StoredText(TBlobTable::Handle H) {
    const std::span<const Byte> b = FTexts.Bytes(H);
    FText.resize(b.size() / 2);
    if (!FText.empty()) std::memcpy(FText.data(), b.data(), FText.size() * 2);
    Text(FText);
  }
  // 8-bit text of the system code page: pure ASCII goes as it stands, anything else as its UTF-16 form.
  void AnsiText(TBlobTable::Handle H) {
    const std::span<const Byte> b = FTexts.Bytes(H);
    if (b.empty() || !IsAsciiBytes(b.data(), b.size())) {
      FCodePage.ToUtf16(b.data(), b.size(), FText);
      Text(FText);
      return;
    }
    if (b.size() <= 255) {
      Byte* p = FOut.Room(2 + b.size());
      p[0] = vaString;
      p[1] = static_cast<Byte>(b.size());
      std::memcpy(p + 2, b.data(), b.size());
      FOut.Commit(p + 2 + b.size());
    } else {
      Bytes(vaLString, static_cast<std::int32_t>(b.size()), b.data(), b.size());
    }
  }
  // Any value through the Variant writer.
  void ByVariant(const TMTDataFieldKv* Field, const Variant& Value) {
    FScratch.SetSize(0);
    {
      TWriter w(&FScratch);
      Field->WriteDataToWriter(Value, &w);
      w.FlushBuffer();
    }
    FOut.Put(FScratch.Memory(), static_cast<std::size_t>(FScratch.Size()));
  }

  void Cell(const TMTDataFieldKv* Field, const TKvCell& C) {
    const TFieldType type = Field->DataType();
    if (IsBinaryStoredType(type)) {
      if (C.Type == varNull) {
        Tagged(vaBinary, std::int32_t{0});
      } else if (C.Type == varString) {
        const std::span<const Byte> b = FTexts.Bytes(C.Text);
        Bytes(vaBinary, static_cast<std::int32_t>(b.size()), b.data(), b.size());
      } else {
        ByVariant(Field, TKvCellAccess::ToVariant(C, FTexts));
      }
      return;
    }
    switch (C.Type) {
      case varNull: Tag(vaNil); return;
      case varString: AnsiText(C.Text); return;
      case varEmpty: case TKvCell::kBoxed: ByVariant(Field, TKvCellAccess::ToVariant(C, FTexts)); return;
      default: break;
    }
    // Object references live only as long as the process: they are never written.
    if (type == ftUnknown) {
      Tag(vaNil);
      return;
    }
    switch (C.Type) {
      case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
      case varInt64: Integer(C.Int); return;
      case varUInt64:
        if (C.Int < 0) throw EWriteError(msg::SWriteError);
        Integer(C.Int);
        return;
      case varSingle: Tagged(vaSingle, C.Sgl); return;
      case varDouble: Extended(C.Dbl); return;
      case varCurrency: Tagged(vaCurrency, C.Int); return;
      case varDate: Tagged(vaDate, C.Dbl); return;
      case varBoolean: Tag(C.Bool ? vaTrue : vaFalse); return;
      case varUString: case varOleStr: StoredText(C.Text); return;
      default: ByVariant(Field, TKvCellAccess::ToVariant(C, FTexts)); return;
    }
  }
  void Flush() { FOut.Flush(); }

 private:
  TByteWriter FOut;
  const TBlobTable& FTexts;
  TCodePageCacheKv& FCodePage = TCodePageCacheKv::Current();
  std::u16string FText;
  TMemoryStream FScratch;
};

// The object text form of the values, straight from the cells: each value's text is the one the
// binary-to-text conversion gives for the bytes TDataWriterKv writes for it. Kinds without a form of
// their own, and texts whose binary form would not carry every UTF-16 unit as it stands (a lone
// surrogate through UTF-8), are written to bytes and converted, so the two never differ.
class TDataTextWriterKv {
 public:
  TDataTextWriterKv(std::string& Out, const TBlobTable& Texts) : FOut(Out), FTexts(Texts) {}

  void Cell(const TMTDataFieldKv* Field, const TKvCell& C, int Indent) {
    const TFieldType type = Field->DataType();
    if (IsBinaryStoredType(type)) {
      if (C.Type == varNull) {
        objtext::AppendBinary(FOut, nullptr, 0, Indent);
      } else if (C.Type == varString) {
        const std::span<const Byte> b = FTexts.Bytes(C.Text);
        objtext::AppendBinary(FOut, b.data(), b.size(), Indent);
      } else {
        ByVariant(Field, C, Indent);
      }
      return;
    }
    switch (C.Type) {
      case varNull: FOut += "nil"; return;
      case varString: AnsiText(C.Text, Indent); return;
      case varEmpty: case TKvCell::kBoxed: ByVariant(Field, C, Indent); return;
      default: break;
    }
    if (type == ftUnknown) {
      FOut += "nil";
      return;
    }
    switch (C.Type) {
      case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
      case varInt64: objtext::AppendInteger(FOut, C.Int); return;
      case varUInt64:
        if (C.Int < 0) throw EWriteError(msg::SWriteError);
        objtext::AppendInteger(FOut, C.Int);
        return;
      case varSingle: objtext::AppendSingle(FOut, C.Sgl); return;
      case varDouble: {
        Byte bytes[10];
        DoubleToExtended(C.Dbl, bytes);
        objtext::AppendExtended(FOut, bytes);
        return;
      }
      case varCurrency: objtext::AppendCurrency(FOut, C.Int); return;
      case varDate: objtext::AppendDate(FOut, C.Dbl); return;
      case varBoolean: FOut += C.Bool ? "True" : "False"; return;
      case varUString: case varOleStr: {
        const std::span<const Byte> b = FTexts.Bytes(C.Text);
        FText.resize(b.size() / 2);
        if (!FText.empty()) std::memcpy(FText.data(), b.data(), FText.size() * 2);
        Text(Indent);
        return;
      }
      default: ByVariant(Field, C, Indent); return;
    }
  }

 private:
  void AnsiText(TBlobTable::Handle H, int Indent) {
    const std::span<const Byte> b = FTexts.Bytes(H);
    if (IsAsciiBytes(b.data(), b.size())) {
      FText.assign(b.begin(), b.end());
      objtext::AppendText(FOut, FText, Indent);
      return;
    }
    FCodePage.ToUtf16(b.data(), b.size(), FText);
    Text(Indent);
  }
  // FText as the conversion shows it after the binary writer's choice of form.
  void Text(int Indent) {
    bool surrogate = false;
    for (char16_t c : FText)
      if (c >= 0xD800 && c <= 0xDFFF) {
        surrogate = true;
        break;
      }
    if (!surrogate) {
      objtext::AppendText(FOut, FText, Indent);
      return;
    }
    FScratch.SetSize(0);
    {
      TDataWriterKv w(FScratch, FTexts);
      w.Text(FText);
      w.Flush();
    }
    Convert(Indent);
  }
  void ByVariant(const TMTDataFieldKv* Field, const TKvCell& C, int Indent) {
    FScratch.SetSize(0);
    {
      TWriter w(&FScratch);
      Field->WriteDataToWriter(TKvCellAccess::ToVariant(C, FTexts), &w);
      w.FlushBuffer();
    }
    Convert(Indent);
  }
  void Convert(int Indent) {
    FScratch.SetPosition(0);
    objtext::AppendValue(FOut, &FScratch, Indent);
  }

  std::string& FOut;
  const TBlobTable& FTexts;
  TCodePageCacheKv& FCodePage = TCodePageCacheKv::Current();
  std::u16string FText;
  TMemoryStream FScratch;
};

class TDataReaderKv {
 public:
  TDataReaderKv(std::span<const Byte> Data, TRecordsListKv& List)
      : FData(Data), FIn(Data), FList(List), FTexts(List.Texts()) {}

  TDataReader& In() { return FIn; }
  // Reads Data from its start on (the text load hands over one record's bytes at a time).
  void Reset(std::span<const Byte> Data) {
    FData = Data;
    FIn = TDataReader(Data);
  }

  // A text value of tag Tag as UTF-16 (into FText), as the component reader decodes it.
  void TextOfTag(Byte Tag) {
    switch (Tag) {
      case vaString: case vaLString: {
        const std::size_t n = Tag == vaString ? FIn.Get<Byte>() : FIn.Length32();
        const Byte* p = FIn.Take(n);
        if (IsAsciiBytes(p, n)) {
          FText.assign(p, p + n);
        } else {
          sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(p), n), FText, sys::CP_ACP);
        }
        return;
      }
      case vaUTF8String: {
        const std::size_t n = FIn.Length32();
        const Byte* p = FIn.Take(n);
        sys::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n), FText);
        return;
      }
      case vaWString: {
        const auto count = FIn.Get<std::int32_t>();
        if (count < 0 || static_cast<std::size_t>(count) * 2 > FIn.Remaining()) TDataReadFail::Fail("a text");
        const Byte* p = FIn.Take(static_cast<std::size_t>(count) * 2);
        FText.resize(static_cast<std::size_t>(count));
        if (count) std::memcpy(FText.data(), p, FText.size() * 2);
        return;
      }
      default: InvalidPropertyValue();
    }
  }

  // The value of tag Tag as the component reader's ReadVariant gives it.
  Variant VariantOfTag(Byte Tag) {
    switch (Tag) {
      case vaNil: return Variant();
      case vaNull: return Null();
      case vaInt8: return Variant(static_cast<int>(FIn.Get<std::int8_t>()));
      case vaInt16: return Variant(static_cast<int>(FIn.Get<std::int16_t>()));
      case vaInt32: return Variant(static_cast<int>(FIn.Get<std::int32_t>()));
      case vaInt64: return Variant(static_cast<long long>(FIn.Get<std::int64_t>()));
      case vaExtended: return Variant(ExtendedToDouble(FIn.Take(10)));
      case vaDouble: return Variant(FIn.Get<double>());
      case vaSingle: return Variant(FIn.Get<float>());
      case vaCurrency: return Variant(Currency::FromScaled(FIn.Get<Int64>()));
      case vaDate: return VarFromDateTime(FIn.Get<double>());
      case vaString: case vaLString: case vaWString: case vaUTF8String:
        TextOfTag(Tag);
        return Variant(String(FText));
      case vaFalse: return Variant(false);
      case vaTrue: return Variant(true);
      case vaBinary: {
        const std::size_t n = FIn.Length32();
        return VarFromBytes(FIn.Take(n), n);
      }
      default: InvalidPropertyValue();
    }
  }

  void Cell(const TMTDataFieldKv* Field, TKvCell& C) {
    const TFieldType type = Field->DataType();
    const TVarType vt = Field->VarDataType();
    const Byte tag = FIn.Get<Byte>("a value");
    if (IsBinaryStoredType(type)) {
      if (tag != vaBinary) InvalidPropertyValue();
      const std::size_t n = FIn.Length32();
      const Byte* p = FIn.Take(n);
      if (vt == varString) {
        TKvCellAccess::SetText(C, varString, p, n, FTexts);
      } else {
        Variant arr = VarArrayCreate({0, static_cast<int>(n) - 1}, varByte);
        if (n) {
          std::memcpy(VarArrayLock(arr), p, n);
          VarArrayUnlock(arr);
        }
        TKvCellAccess::Assign(C, arr, FList);
      }
      return;
    }
    if (tag == vaNil || tag == vaNull) {
      SetNull(C);
      return;
    }
    if (type != ftUnknown) {
      switch (tag) {
        case vaInt8: case vaInt16: case vaInt32:
          if (vt == varInteger) {
            const std::int32_t v = tag == vaInt8 ? FIn.Get<std::int8_t>()
                                   : tag == vaInt16 ? FIn.Get<std::int16_t>() : FIn.Get<std::int32_t>();
            SetInline(C, varInteger).Int = v;
            return;
          }
          break;
        case vaExtended:
          if (vt == varDouble) {
            SetInline(C, varDouble).Dbl = ExtendedToDouble(FIn.Take(10));
            return;
          }
          break;
        case vaDate:
          if (vt == varDate) {
            SetInline(C, varDate).Dbl = FIn.Get<double>();
            return;
          }
          break;
        case vaFalse: case vaTrue:
          if (vt == varBoolean) {
            SetInline(C, varBoolean).Bool = tag == vaTrue;
            return;
          }
          break;
        case vaString: case vaLString: case vaWString: case vaUTF8String:
          if (vt == varUString || vt == varOleStr) {
            TextOfTag(tag);
            TKvCellAccess::SetText(C, vt, FText.data(), FText.size() * 2, FTexts);
            return;
          }
          if (vt == varString) {
            if ((tag == vaString || tag == vaLString) && sys::IsAsciiCompatible()) {
              // ASCII bytes are the same text in the code page: they are kept as they stand.
              const std::size_t at = FIn.Position();
              const std::size_t n = tag == vaString ? FIn.Get<Byte>() : FIn.Length32();
              const Byte* p = FIn.Take(n);
              if (IsAsciiBytes(p, n)) {
                TKvCellAccess::SetText(C, varString, p, n, FTexts);
                return;
              }
              FIn = TDataReader(FData, at);
            }
            TextOfTag(tag);
            FCodePage.ToAnsi(FText, FAnsi);
            TKvCellAccess::SetText(C, varString, FAnsi.data(), FAnsi.size(), FTexts);
            return;
          }
          break;
        default: break;
      }
    }
    TKvCellAccess::Assign(C, Converted(Field, VariantOfTag(tag)), FList);
  }

 private:
  void SetNull(TKvCell& C) { SetInline(C, varNull); }
  TKvCell& SetInline(TKvCell& C, TVarType Type) {
    if (C.Text != 0 || C.Type == TKvCell::kBoxed) TKvCellAccess::Release(C, FTexts);
    C.Type = Type;
    C.Int = 0;
    return C;
  }
  // The stored form of a value read for Field (the component reader's value, then the field's kind).
  static Variant Converted(const TMTDataFieldKv* Field, Variant v) {
    const TVarType vt = Field->VarDataType();
    if (v.IsEmpty() || v.IsNull() || Field->DataType() == ftUnknown) return Null();
    if (VarIsStr(v) && (vt == varSQLTimeStamp || vt == varSQLTimeStampOffset)) {
      const TSQLTimeStampOffset t = ParseStampText(v.AsString());
      if (vt == varSQLTimeStampOffset) return VarSQLTimeStampOffsetCreate(t);
      TSQLTimeStamp plain;
      plain.Year = t.Year;
      plain.Month = t.Month;
      plain.Day = t.Day;
      plain.Hour = t.Hour;
      plain.Minute = t.Minute;
      plain.Second = t.Second;
      plain.Fractions = t.Fractions;
      return VarSQLTimeStampCreate(plain);
    }
    if (vt == varVariant || vt == v.VType()) return v;
    try {
      return VarAsType(v, vt);
    } catch (const EVariantError&) {
      throw EReadError(u"Invalid property value");
    }
  }

  std::span<const Byte> FData;
  TDataReader FIn;
  TRecordsListKv& FList;
  TBlobTable& FTexts;
  TCodePageCacheKv& FCodePage = TCodePageCacheKv::Current();
  std::u16string FText;
  std::string FAnsi;
};

}  // namespace

void TRecordsListKv::DefineProperties(TFiler* Filer) {
  TComponent::DefineProperties(Filer);
  Filer->DefineProperty(
      u"Data", [this](TReader* r) { ReadData(r); }, [this](TWriter* w) { WriteData(w); }, FDataInStream && Count() > 0);
}

namespace {

// The values' text as WriteDataText makes it, back to a binary "Data" value that reads as the one the
// text-to-binary conversion would make of it: the same writer calls for the same tokens (texts beyond
// ASCII excepted: see Text). Only that form is taken (a list of records, each a list of numbers, texts of
// plain ASCII runs and #codes, False/True/nil and binary); anything else answers false, and the caller
// converts the whole text instead.
class TDataTextParserKv {
 public:
  TDataTextParserKv(std::string_view Text, size_t Pos, TWriter& Writer) : FText(Text), FPos(Pos), FOut(Writer) {}

  size_t Position() const { return FPos; }

  // The same text, held from another place on (the source dropped or read bytes).
  void Reset(std::string_view Text, size_t Pos) {
    FText = Text;
    FPos = Pos;
  }

  // One record, "(" values ")"; false when it is not in the form or runs past the text held.
  bool Record() {
    if (!Symbol('(')) return false;
    FOut.WriteListBegin();
    for (;;) {
      Blanks();
      if (Symbol(')')) break;
      if (!Value()) return false;
    }
    FOut.WriteListEnd();
    return true;
  }

  void Blanks() {
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f') break;
      ++FPos;
    }
  }
  bool Word(std::string_view W) {
    if (FText.substr(FPos, W.size()) != W) return false;
    FPos += W.size();
    return true;
  }
  bool AtEnd() const { return FPos >= FText.size(); }
  bool Symbol(char c) {
    if (At(FPos) != c) return false;
    ++FPos;
    return true;
  }

 private:
  static bool Digit(char c) { return c >= '0' && c <= '9'; }
  static bool IdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || static_cast<Byte>(c) >= 0x80;
  }
  static bool IdentPart(char c) { return IdentStart(c) || Digit(c) || c == '.'; }
  char At(size_t I) const { return I < FText.size() ? FText[I] : '\0'; }
  // A value ends where a blank or the record's ')' follows; anything glued on is not this form.
  bool Ended() const {
    const char c = At(FPos);
    return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == ')';
  }

  bool Value() {
    const char c = At(FPos);
    if (Digit(c) || ((c == '-' || c == '+') && (Digit(At(FPos + 1)) || At(FPos + 1) == '.'))) return Number();
    if (c == '\'' || c == '#') return Text();
    if (c == '{') return Binary();
    if (!IdentStart(c)) return false;
    const size_t start = FPos;
    while (FPos < FText.size() && IdentPart(FText[FPos])) ++FPos;
    const std::string_view w = FText.substr(start, FPos - start);
    if (SameWord(w, "False")) FOut.WriteValue(vaFalse);
    else if (SameWord(w, "True")) FOut.WriteValue(vaTrue);
    else if (SameWord(w, "nil")) FOut.WriteValue(vaNil);
    else return false;
    return Ended();
  }
  static bool SameWord(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i) {
      char a = A[i], b = B[i];
      if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
      if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
      if (a != b) return false;
    }
    return true;
  }

  bool Number() {
    const size_t start = FPos++;
    bool isFloat = false;
    while (FPos < FText.size()) {
      const char d = FText[FPos];
      if (Digit(d)) {
        ++FPos;
      } else if (d == '.' || d == 'e' || d == 'E') {
        isFloat = true;
        ++FPos;
        if ((d == 'e' || d == 'E') && (At(FPos) == '-' || At(FPos) == '+')) ++FPos;
      } else {
        break;
      }
    }
    const char s = At(FPos);
    if (s == 's' || s == 'c' || s == 'd' || s == 'r') {
      isFloat = true;
      ++FPos;
    }
    if (!Ended()) return false;
    const std::string_view token = FText.substr(start, FPos - start);
    if (isFloat) {
      objtext::WriteNumber(token, FOut);
      return true;
    }
    if (token[0] == '+') return false;
    Int64 v = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (ec != std::errc() || end != token.data() + token.size()) return false;
    FOut.WriteInteger(v);
    return true;
  }

  // Runs of 'quoted' ASCII and #codes, joined directly or by "+" across blanks.
  bool Text() {
    FString.clear();
    bool wide = false, surrogate = false;
    for (;;) {
      while (At(FPos) == '\'' || At(FPos) == '#') {
        if (FText[FPos] == '#') {
          ++FPos;
          unsigned code = 0;
          size_t n = 0;
          while (Digit(At(FPos))) {
            code = code * 10 + static_cast<unsigned>(FText[FPos++] - '0');
            if (code > 0xFFFF) return false;
            ++n;
          }
          if (n == 0) return false;
          wide = wide || code >= 0x80;
          surrogate = surrogate || (code >= 0xD800 && code <= 0xDFFF);
          FString += static_cast<char16_t>(code);
          continue;
        }
        ++FPos;
        for (;;) {
          // The plain run up to the next quote, in one go.
          const size_t run = FPos;
          while (FPos < FText.size()) {
            const char c = FText[FPos];
            if (c == '\'' || c == '\n' || c == '\r' || static_cast<Byte>(c) >= 0x80) break;
            ++FPos;
          }
          const size_t had = FString.size();
          FString.resize(had + (FPos - run));
          for (size_t i = run; i < FPos; ++i) FString[had + (i - run)] = static_cast<char16_t>(FText[i]);
          if (At(FPos) != '\'') return false;
          if (At(FPos + 1) != '\'') break;
          FPos += 2;
          FString += u'\'';
        }
        ++FPos;
      }
      const size_t after = FPos;
      Blanks();
      const char n = At(FPos + 1);
      if (At(FPos) == '+' && !Digit(n) && n != '.' && n != 'I' && n != 'N') {
        ++FPos;
        Blanks();
        if (At(FPos) != '\'' && At(FPos) != '#') return false;
        continue;
      }
      FPos = after;
      break;
    }
    if (!Ended()) return false;
    if (wide && !surrogate && FString.size() <= static_cast<size_t>(INT32_MAX / 2)) {
      // Other than ASCII, the text goes on as UTF-16: read back, it is the text WriteString's UTF-8 gives,
      // without the two conversions. Surrogates go through UTF-8 as the conversion takes them.
      FOut.WriteValue(vaWString);
      const auto n = static_cast<std::int32_t>(FString.size());
      FOut.Write(&n, 4);
      FOut.Write(FString.data(), static_cast<Int64>(FString.size() * 2));
    } else {
      FOut.WriteString(FString);
    }
    return true;
  }

  bool Binary() {
    ++FPos;
    FBytes.clear();
    int pending = -1;
    for (;; ++FPos) {
      if (FPos >= FText.size()) return false;
      const char c = FText[FPos];
      if (c == '}') break;
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
      int d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      if (d < 0) return false;
      if (pending < 0) {
        pending = d;
      } else {
        FBytes.push_back(static_cast<Byte>(pending * 16 + d));
        pending = -1;
      }
    }
    if (pending >= 0) return false;
    ++FPos;
    FOut.WriteBinary(FBytes.data(), static_cast<Int64>(FBytes.size()));
    return Ended();
  }

  std::string_view FText;
  size_t FPos;
  TWriter& FOut;
  String FString;
  std::vector<Byte> FBytes;
};

}  // namespace

bool TTextSourceKv::More(std::size_t Drop) {
  Drop = std::min(Drop, FSize);
  FSize -= Drop;
  if (FEnd) {
    if (Drop && FSize) std::memmove(FBuffer.get(), FBuffer.get() + Drop, FSize);
    return false;
  }
  const std::size_t want = std::max(kPieceBytes, FSize);
  if (FCapacity - FSize < want) {
    const std::size_t capacity = std::max(FSize + want, FCapacity * 2);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (FSize) std::memcpy(grown.get(), FBuffer.get() + Drop, FSize);
    FBuffer = std::move(grown);
    FCapacity = capacity;
  } else if (Drop && FSize) {
    std::memmove(FBuffer.get(), FBuffer.get() + Drop, FSize);
  }
  std::size_t got = 0;
  while (got < want) {
    const Int64 n = FStream->Read(FBuffer.get() + FSize + got, static_cast<Int64>(want - got));
    if (n <= 0) {
      FEnd = true;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  FSize += got;
  return got > 0;
}

// Records read one at a time into the list. When nobody hears of them as they come (a load into scratch
// data) they are attached in one go by Finish, else each as it is read. Finish runs on failure too: the
// records read so far then belong to the list, which the caller drops.
class TRecordLoaderKv {
 public:
  explicit TRecordLoaderKv(TRecordsListKv& List) : FList(List) {
    const TMTDataStructKv* s = List.DataStruct();
    const int count = List.RecValCount();
    for (int i = 0; i < count; ++i) FFields.push_back(s->DataFields(i));
    FQuiet = List.FIndexes->Count() == 0 && List.FUpdateCount == 0 &&
             (!List.FMemTableData ||
              (List.FMemTableData->NotificatorCount() == 0 && !List.FMemTableData->OnFieldCalculation()));
  }

  // The record's values from In (its vaList tag read) up to its closing vaNull.
  void Read(TDataReaderKv& In) {
    TMemoryRecordKv* rec = FList.NewRecord();
    try {
      TKvCell* cells = rec->MutableCells();
      for (std::size_t i = 0; i < FFields.size(); ++i) In.Cell(FFields[i], cells[i]);
      if (In.In().Get<Byte>() != vaNull) InvalidPropertyValue();
      if (FQuiet) {
        FLoaded.push_back(rec);
        rec->FAttached = true;
        rec->FUpdateStatus = usUnmodified;
        rec->FEditState = resBrowseKv;
      } else {
        FList.FetchRecord(rec);
      }
    } catch (...) {
      if (!rec->FAttached) FList.FreeRecord(rec);
      throw;
    }
  }

  void Finish() {
    if (!FQuiet || FLoaded.empty()) return;
    FList.FTree.Build(FLoaded);
    FLoaded.clear();
  }

 private:
  TRecordsListKv& FList;
  std::vector<const TMTDataFieldKv*> FFields;
  bool FQuiet = false;
  std::vector<TMemoryRecordKv*> FLoaded;
};

bool TRecordsListKv::ReadDataText(TTextSourceKv& Source, size_t& Pos) {
  Clear();
  // Each record's text becomes its binary form in a small scratch stream, read as ReadData reads it.
  TMemoryStream binary;
  TWriter writer(&binary);
  TDataTextParserKv parser(Source.Text(), Pos, writer);
  if (!parser.Symbol('(')) return false;
  TRecordLoaderKv loader(*this);
  TDataReaderKv in({}, *this);
  // Read on while less than this is left, so that a record seldom runs past what is held.
  constexpr std::size_t kAhead = std::size_t{64} << 10;
  auto readOn = [&](std::size_t Drop) {
    const std::size_t at = parser.Position();
    const bool more = Source.More(Drop);
    parser.Reset(Source.Text(), at - Drop);
    return more;
  };
  try {
    for (;;) {
      if (Source.Text().size() - parser.Position() < kAhead && !Source.AtEnd()) readOn(parser.Position());
      parser.Blanks();
      if (parser.Symbol(')')) break;
      const size_t start = parser.Position();
      writer.FlushBuffer();
      binary.SetPosition(0);
      if (!parser.Record()) {
        // Text cut off by the end of what is held reads the same once more is held; anything else is
        // not the form.
        parser.Reset(Source.Text(), start);
        if (!readOn(start)) {
          loader.Finish();
          return false;
        }
        continue;
      }
      writer.FlushBuffer();
      const auto n = static_cast<std::size_t>(binary.Position());
      in.Reset({static_cast<const Byte*>(binary.Memory()), n});
      if (in.In().Get<Byte>() != vaList) InvalidPropertyValue();
      loader.Read(in);
      if (in.In().Position() != n) InvalidPropertyValue();
    }
  } catch (...) {
    loader.Finish();
    throw;
  }
  loader.Finish();
  Pos = parser.Position();
  return true;
}

bool TRecordsListKv::IsDataTextEnd(std::string_view Text, size_t Pos) {
  // After the values: the records list's "end", the root's "end", nothing else.
  TMemoryStream none;
  TWriter writer(&none);
  TDataTextParserKv tail(Text, Pos, writer);
  tail.Blanks();
  if (!tail.Word("end")) return false;
  tail.Blanks();
  if (!tail.Word("end")) return false;
  tail.Blanks();
  return tail.AtEnd();
}

void TRecordsListKv::WriteDataText(TStream* Stream, int Indent) const {
  const TMTDataStructKv* s = DataStruct();
  std::vector<const TMTDataFieldKv*> fields;
  for (int i = 0; s && i < s->Count(); ++i) fields.push_back(s->DataFields(i));
  constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
  std::string out;
  out.reserve(kPieceBytes + 4096);
  TDataTextWriterKv text(out, *FTexts);
  // What opens a record and what precedes each value: a line break and the indentation.
  std::string recordStart(objtext::kLineBreak), valueStart(objtext::kLineBreak);
  objtext::AppendIndent(recordStart, Indent + 1);
  recordStart += '(';
  objtext::AppendIndent(valueStart, Indent + 2);
  out += '(';
  for (const TMemoryRecordKv* r = FTree.First(); r; r = TRecordTreeKv::Next(r)) {
    out += recordStart;
    const TKvCell* cells = r->Cells();
    if (static_cast<size_t>(r->FCount) > fields.size()) throw EWriteError(msg::SWriteError);
    for (int i = 0; i < r->FCount; ++i) {
      out += valueStart;
      text.Cell(fields[static_cast<size_t>(i)], cells[i], Indent + 2);
    }
    out += ')';
    if (out.size() >= kPieceBytes) {
      Stream->WriteBuffer(out.data(), static_cast<Int64>(out.size()));
      out.clear();
    }
  }
  out += ')';
  Stream->WriteBuffer(out.data(), static_cast<Int64>(out.size()));
}

namespace {

// About the most bytes one value of the field takes in the binary form (texts of every character
// beyond ASCII, blobs a guess): enough for the common row, without reading the values.
std::size_t ValueBound(const TMTDataFieldKv* Field) {
  const auto size = static_cast<std::size_t>(std::max(Field->Size(), 0));
  switch (Field->DataType()) {
    case ftBoolean: return 1;
    case ftSmallint: case ftWord: case ftShortint: case ftByte: return 3;
    case ftInteger: case ftAutoInc: case ftLongWord: return 5;
    case ftLargeint: case ftCurrency: case ftDate: case ftTime: case ftDateTime: return 9;
    case ftFloat: case ftExtended: case ftSingle: return 11;
    case ftString: case ftFixedChar: return 5 + size * 3 / 2;
    case ftWideString: case ftFixedWideChar: return 5 + size * 3;
    default: return 64;
  }
}

}  // namespace

void TRecordsListKv::ReserveForData(TStream& Stream, const std::vector<const TMTDataFieldKv*>& Fields) const {
  // A memory stream gets room for the whole save before its first byte: an emptied stream is then
  // sized once (from pages given back earlier, or large fresh ones) instead of growing a page at a time.
  auto* memory = dynamic_cast<TMemoryStream*>(&Stream);
  if (!memory) return;
  std::size_t row = 2;
  for (const TMTDataFieldKv* f : Fields) row += ValueBound(f);
  const auto rows = static_cast<std::size_t>(Count());
  if (row > (std::size_t{1} << 40) / (rows + 1)) return;
  const Int64 want = memory->Position() + 2 + static_cast<Int64>(rows * row);
  if (want > memory->Capacity()) memory->SetCapacity(want);
}

void TRecordsListKv::WriteData(TWriter* Writer) const {
  const TMTDataStructKv* s = DataStruct();
  std::vector<const TMTDataFieldKv*> fields;
  for (int i = 0; s && i < s->Count(); ++i) fields.push_back(s->DataFields(i));
  // The writer's buffer goes out first; the values follow straight into the stream.
  Writer->FlushBuffer();
  ReserveForData(*Writer->Stream(), fields);
  TDataWriterKv out(*Writer->Stream(), *FTexts);
  out.Tag(vaList);
  for (const TMemoryRecordKv* r = FTree.First(); r; r = TRecordTreeKv::Next(r)) {
    out.Tag(vaList);
    const TKvCell* cells = r->Cells();
    for (int i = 0; i < r->FCount; ++i) out.Cell(fields.at(static_cast<size_t>(i)), cells[i]);
    out.Tag(vaNull);
  }
  out.Tag(vaNull);
  out.Flush();
}

void TRecordsListKv::ReadData(TReader* Reader) {
  Clear();
  // Read from the stream's bytes in place; the reader goes on after the last byte taken.
  Reader->FlushBuffer();
  const Int64 start = Reader->Position();
  std::vector<Byte> holder;
  const std::span<const Byte> bytes = WholeStreamBytes(*Reader->Stream(), start, holder);
  TDataReaderKv in(bytes, *this);
  TDataReader& r = in.In();
  if (r.Get<Byte>() != vaList) InvalidPropertyValue();
  TRecordLoaderKv loader(*this);
  try {
    for (;;) {
      const Byte next = r.Get<Byte>();
      if (next == vaNull) break;
      if (next != vaList) InvalidPropertyValue();
      loader.Read(in);
    }
  } catch (...) {
    loader.Finish();
    throw;
  }
  loader.Finish();
  Reader->SetPosition(start + static_cast<Int64>(r.Position()));
}
