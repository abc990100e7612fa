// The value table and the "Data" property of the save format (layout: MemTableDataKv.h).
#include <cstdio>

#include "engines/kv/DataStructKv.h"
#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/RecordsListKv.h"
#include "platform/classes/Streams.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

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

void TMemoryRecordKv::WriteRecord(TWriter* Writer) const {
  const TMTDataStructKv* s = FRecordsList->DataStruct();
  Writer->WriteListBegin();
  for (int i = 0; i < FCount; ++i) s->DataFields(i)->WriteDataToWriter(FData[i], Writer);
  Writer->WriteListEnd();
}

void TMemoryRecordKv::ReadRecord(TReader* Reader) {
  const TMTDataStructKv* s = FRecordsList->DataStruct();
  Reader->ReadListBegin();
  for (int i = 0; i < FCount; ++i) s->DataFields(i)->ReadDataFromReader(FData[i], Reader);
  Reader->ReadListEnd();
}

void TRecordsListKv::DefineProperties(TFiler* Filer) {
  TComponent::DefineProperties(Filer);
  Filer->DefineProperty(
      u"Data", [this](TReader* r) { ReadData(r); }, [this](TWriter* w) { WriteData(w); }, Count() > 0);
}

void TRecordsListKv::WriteData(TWriter* Writer) const {
  Writer->WriteListBegin();
  for (const TMemoryRecordKv* r = FTree.First(); r; r = TRecordTreeKv::Next(r)) r->WriteRecord(Writer);
  Writer->WriteListEnd();
}

void TRecordsListKv::ReadData(TReader* Reader) {
  Clear();
  Reader->ReadListBegin();
  while (!Reader->EndOfList()) {
    TMemoryRecordKv* rec = NewRecord();
    try {
      rec->ReadRecord(Reader);
      FetchRecord(rec);
    } catch (...) {
      FreeRecord(rec);
      throw;
    }
  }
  Reader->ReadListEnd();
}
