#include "engines/vlx/vlxMemBinaryStreamFormat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <optional>
#include <typeinfo>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"
#include "engines/vlx/vlxText.h"

namespace {

const std::array<String, kFieldTypeCount> kTypeNames = {
    u"Unknown",     u"String",     u"SmallInt",     u"Integer",  u"Word",         u"Boolean",      u"Float",
    u"Currency",    u"BCD",        u"Date",         u"Time",     u"DateTime",     u"Bytes",        u"VarBytes",
    u"AutoInc",     u"Blob",       u"Memo",         u"Graphic",  u"FmtMemo",      u"ParadoxOle",   u"dBaseOle",
    u"TypedBinary", u"Cursor",     u"FixedChar",    u"WideString", u"LargeInt",   u"ADT",          u"Array",
    u"Reference",   u"DataSet",    u"HugeBlob",     u"HugeClob", u"Variant",      u"Interface",    u"Dispatch",
    u"Guid",        u"SQLTimeStamp", u"FMTBcdField", u"FixedWideChar", u"WideMemo", u"SQLTimeStamp", u"String",
    u"LongWord",    u"ShortInt",   u"Byte",         u"Extended", u"Connection",   u"Params",       u"Stream",
    u"SQLTimeStampOffset", u"Object", u"Single"};

const String kKindNames[] = {u"Data", u"Calculated", u"Lookup", u"InternalCalc", u"Aggregate"};

[[noreturn]] void ReadFault() { throw EReadError(String(u"Stream read error")); }

template <class T>
T Get(const Byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}
template <class T>
void Put(Byte* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

// NativeDateTimeToDateTime, inline for what a store holds (whole milliseconds within the calendar);
// anything else goes to it, and so raises as it does.
inline TDateTime NativeToDateTime(double MSecs) {
  if (MSecs >= kMSecsPerDay && MSecs < 3652060.0 * kMSecsPerDay) {
    const auto ms = static_cast<std::int64_t>(MSecs);
    if (static_cast<double>(ms) == MSecs) {
      const double d = static_cast<double>(ms / MSecsPerDay - DateDelta);
      const double t = static_cast<double>(ms % MSecsPerDay) / MSecsPerDay;
      return d < 0 ? d - t : d + t;
    }
  }
  return NativeDateTimeToDateTime(MSecs);
}

// A stored date-time the table can show and save again: whole days 1 to 9999-12-31.
inline double CheckedNative(double MSecs) {
  if (!(MSecs >= kMSecsPerDay && MSecs < 3652060.0 * kMSecsPerDay)) throw EReadError(String(u"Invalid property value"));
  return MSecs;
}

// A date or time value's day as a field of its type keeps it: within the calendar (day 1 to
// 9999-12-31), else the value could be loaded but never shown or saved again. NaN and infinities are
// refused with it.
inline std::int64_t CheckedNativeDay(TDateTime Value) {
  const double msAll = std::nearbyint(Value * MSecsPerDay);
  if (!(std::fabs(msAll) < 9.2e18)) throw EReadError(String(u"Invalid property value"));
  const std::int64_t day = DateDelta + static_cast<std::int64_t>(msAll) / MSecsPerDay;
  if (day < 1 || day > 3652059) throw EReadError(String(u"Invalid property value"));
  return day;
}

// DateTimeToNativeDateTime, inline.
inline double DateTimeToNative(TDateTime Value) {
  const double msAll = std::nearbyint(Value * MSecsPerDay);
  if (!(std::fabs(msAll) < 9.2e18)) return DateTimeToNativeDateTime(Value);
  const auto ms = static_cast<std::int64_t>(msAll);
  const auto date = static_cast<std::int32_t>(DateDelta + ms / MSecsPerDay);
  const auto time = static_cast<std::int32_t>((ms < 0 ? -ms : ms) % MSecsPerDay);
  return static_cast<double>(date) * kMSecsPerDay + static_cast<double>(time);
}

bool IsBinaryBlob(TFieldType T) {
  switch (T) {
    case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary: case ftOraBlob:
    case ftBytes: case ftVarBytes:
      return true;
    default:
      return false;
  }
}

// Bytes as one character each: byte values survive the text round trip exactly.
String BytesAsText(const Byte* P, std::size_t N) {
  String s(N, u'\0');
  for (std::size_t i = 0; i < N; ++i) s[i] = P[i];
  return s;
}

}  // namespace


// Raised by a cursor over a window that ends before its stream does, in place of "Stream read error":
// the reader reads more and parses the record again.
struct TvlxWindowShort {};

// The records are read from memory: the rest of a memory stream in place, of any other stream through a
// window of it (TvlxReadWindow). Each read answers as the component reader does (the same tags taken,
// the same errors: "Stream read error" for a value cut short or a length past the end, "Invalid property
// value" for a wrong tag), without its per-value calls and allocations.
class TvlxValueCursor {
 public:
  TvlxValueCursor(const Byte* Begin, const Byte* End, bool Partial = false) : P(Begin), E(End), FPartial(Partial) {}
  const Byte* Pos() const { return P; }
  void Rewind(const Byte* At) { P = At; }
  // Reads Begin..End, a window that ends before the stream does when Partial.
  void Reset(const Byte* Begin, const Byte* End, bool Partial) {
    P = Begin;
    E = End;
    FPartial = Partial;
  }
  bool Partial() const { return FPartial; }

  [[noreturn]] void Short() const {
    if (FPartial) throw TvlxWindowShort{};
    throw EReadError(String(msg::SReadError));
  }
  [[noreturn]] static void Bad() { throw EReadError(String(msg::SInvalidPropertyValue)); }
  std::size_t Left() const { return static_cast<std::size_t>(E - P); }
  void Need(std::size_t N) const {
    if (Left() < N) Short();
  }
  Byte Tag() {
    Need(1);
    return *P++;
  }
  Byte Next() const {
    Need(1);
    return *P;
  }
  bool EndOfList() const { return Next() == vaNull; }
  void Check(Byte T) {
    if (Tag() != T) Bad();
  }
  void ListBegin() { Check(vaList); }
  void ListEnd() { Check(vaNull); }
  template <class T>
  T Raw() {
    Need(sizeof(T));
    T v;
    std::memcpy(&v, P, sizeof(T));
    P += sizeof(T);
    return v;
  }
  Int64 IntOfTag(Byte T) {
    switch (T) {
      case vaInt8: return Raw<std::int8_t>();
      case vaInt16: return Raw<std::int16_t>();
      case vaInt32: return Raw<std::int32_t>();
      case vaInt64: return Raw<Int64>();
      default: Bad();
    }
  }
  int Integer() {
    const Byte t = Tag();
    if (t == vaInt64) Bad();
    return static_cast<int>(IntOfTag(t));
  }
  Int64 Int64Value() { return IntOfTag(Tag()); }
  double Float() {
    const Byte t = Tag();
    if (t == vaExtended) {
      Need(10);
      // A value a double holds exactly (what a double was saved as) is rebuilt bit for bit; anything
      // else is rounded by the platform's conversion.
      std::uint64_t sig;
      std::uint16_t se;
      std::memcpy(&sig, P, 8);
      std::memcpy(&se, P + 8, 2);
      const int e = se & 0x7FFF;
      double v;
      if ((sig >> 63) != 0 && (sig & 0x7FF) == 0 && e >= 16383 - 1022 && e <= 16383 + 1023) {
        const std::uint64_t bits = (static_cast<std::uint64_t>(se >> 15) << 63) |
                                   (static_cast<std::uint64_t>(e - 16383 + 1023) << 52) |
                                   ((sig >> 11) & ((std::uint64_t{1} << 52) - 1));
        std::memcpy(&v, &bits, 8);
      } else {
        v = ExtendedToDouble(P);
      }
      P += 10;
      return v;
    }
    if (t == vaDouble) return Raw<double>();
    return static_cast<double>(IntOfTag(t));
  }
  TExtended80Rec Extended() {
    const Byte t = Tag();
    if (t == vaExtended) {
      Need(10);
      TExtended80Rec v;
      std::memcpy(v.data(), P, 10);
      P += 10;
      return v;
    }
    if (t == vaDouble) return DoubleToExtended(Raw<double>());
    return Int64ToExtended(IntOfTag(t));
  }
  bool Boolean() {
    const Byte t = Tag();
    if (t == vaTrue) return true;
    if (t == vaFalse) return false;
    Bad();
  }
  // A text value as stored: its tag and bytes (UTF-16 units for vaWString).
  Byte TextBytes(const Byte*& Bytes, std::size_t& Count) {
    const Byte t = Tag();
    std::int64_t n;
    switch (t) {
      case vaString: n = Raw<Byte>(); break;
      case vaLString: case vaUTF8String: n = Raw<std::int32_t>(); break;
      case vaWString: n = Raw<std::int32_t>(); break;
      default: Bad();
    }
    const std::int64_t bytes = t == vaWString ? 2 * n : n;
    if (n < 0) throw EReadError(String(msg::SReadError));
    if (bytes > static_cast<std::int64_t>(Left())) Short();
    Bytes = P;
    Count = static_cast<std::size_t>(n);
    P += bytes;
    return t;
  }
  // The text as TReader::ReadString gives it.
  void Text16(std::u16string& Out) {
    const Byte* b;
    std::size_t n;
    const Byte t = TextBytes(b, n);
    const std::string_view v(reinterpret_cast<const char*>(b), n);
    if (t == vaWString) {
      Out.resize(n);
      if (n) std::memcpy(Out.data(), b, 2 * n);
    } else if (IsAscii(b, n)) {
      Out.assign(v.begin(), v.end());
    } else if (t == vaUTF8String) {
      vlxtext::DecodeUtf8(v, Out);
    } else {
      vlxtext::AnsiToUtf16(v, Out);
    }
  }
  // The text in the system code page, as ReadString and then the code page's encoder give it.
  void Text8(std::string& Out, std::u16string& Scratch) {
    const Byte* b;
    std::size_t n;
    const Byte t = TextBytes(b, n);
    if (t != vaWString && IsAscii(b, n)) {
      Out.assign(reinterpret_cast<const char*>(b), n);
      return;
    }
    const std::string_view v(reinterpret_cast<const char*>(b), n);
    if (t == vaWString) {
      Scratch.resize(n);
      if (n) std::memcpy(Scratch.data(), b, 2 * n);
    } else if (t == vaUTF8String) {
      vlxtext::DecodeUtf8(v, Scratch);
    } else {
      vlxtext::AnsiToUtf16(v, Scratch);
    }
    bool ascii = true;
    for (char16_t ch : Scratch)
      if (ch >= 0x80) {
        ascii = false;
        break;
      }
    if (ascii) Out.assign(Scratch.begin(), Scratch.end());
    else vlxtext::Utf16ToAnsi(Scratch, Out);
  }
  void Skip(TFieldType T, int FileVersion) {
    switch (T) {
      case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: Int64Value(); break;
      case ftBoolean: Boolean(); break;
      case ftFloat: case ftCurrency: case ftBCD: case ftDate: case ftTime: case ftDateTime: case ftLargeint:
        Extended();
        break;
      case ftFMTBcd:
        if (FileVersion < 400) SkipText();
        else Extended();
        break;
      default: SkipText(); break;
    }
  }

 private:
  static bool IsAscii(const Byte* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      if (b[i] >= 0x80) return false;
    return true;
  }
  void SkipText() {
    const Byte* b;
    std::size_t n;
    TextBytes(b, n);
  }

  const Byte* P;
  const Byte* E;
  bool FPartial;
};

// A stream that is not in memory is read a piece at a time into a buffer the format keeps: the bytes
// from the record being read on stay, the buffer grows only for a record longer than it.
class TvlxReadWindow {
 public:
  TvlxReadWindow(TStream& S, std::vector<Byte>& Buffer, std::size_t Piece) : FS(S), FBuf(Buffer) {
    // What an earlier long record grew it to is not kept.
    if (FBuf.size() != Piece) std::vector<Byte>(Piece).swap(FBuf);
    Fill();
  }
  const Byte* Begin() const { return FBuf.data(); }
  const Byte* End() const { return FBuf.data() + FLength; }
  // More of the stream may follow End.
  bool Partial() const { return !FAtEnd; }
  // Stream bytes before Begin, from where the window started.
  Int64 Offset() const { return FOffset; }
  // Drops the bytes before Keep and reads on; with nothing to drop the buffer doubles.
  void Advance(const Byte* Keep) {
    const auto drop = static_cast<std::size_t>(Keep - FBuf.data());
    if (drop == 0 && FLength == FBuf.size()) {
      FBuf.resize(2 * FBuf.size());
    } else if (drop > 0) {
      std::memmove(FBuf.data(), Keep, FLength - drop);
      FLength -= drop;
      FOffset += static_cast<Int64>(drop);
    }
    Fill();
  }

 private:
  void Fill() {
    while (!FAtEnd && FLength < FBuf.size()) {
      const Int64 got = FS.Read(FBuf.data() + FLength, static_cast<Int64>(FBuf.size() - FLength));
      if (got <= 0) FAtEnd = true;
      else FLength += static_cast<std::size_t>(got);
    }
  }
  TStream& FS;
  std::vector<Byte>& FBuf;
  std::size_t FLength = 0;
  Int64 FOffset = 0;
  bool FAtEnd = false;
};

const String& TvlxCustomBinaryStreamFormat::TypeName(int Ordinal) {
  return kTypeNames[static_cast<std::size_t>(std::clamp(Ordinal, 0, kFieldTypeCount - 1))];
}

TvlxCustomBinaryStreamFormat::TvlxCustomBinaryStreamFormat(TComponent* AOwner) : TvlxCustomStreamFormat(AOwner) {}

TvlxCustomBinaryStreamFormat::~TvlxCustomBinaryStreamFormat() {
  try {
    FreeStaged();
  } catch (...) {
  }
}

// ==== save ===============================================================================================

void TvlxCustomBinaryStreamFormat::PrepareSave(TvlxCustomMemTable* Table) {
  TvlxCustomStreamFormat::PrepareSave(Table);
  // A large buffer: a file gets few, large writes. The bytes do not depend on it.
  Writer = std::make_unique<TWriter>(FWorkStream, std::max(FBuffSize, 256 * 1024));
  Writer->WriteSignature();
  Writer->WriteInteger(kFormatVersion);
}

void TvlxCustomBinaryStreamFormat::WriteDefinitions(TvlxCustomMemTable* Table) {
  TWriter& w = *Writer;
  w.WriteListBegin();
  if (sfDef & sfSaveDef)
    for (std::size_t i = 0; i < SaveFields.size(); ++i) {
      if (SaveFields[i] < 0) continue;
      TField* f = Table->Fields()[static_cast<int>(i)];
      w.WriteString(f->FieldName());
      w.WriteString(TypeName(f->DataType()));
      w.WriteInteger(f->Size());
      w.WriteString(f->DisplayLabel());
      w.WriteString(u"");  // edit mask: the platform's fields keep none
      w.WriteInteger(f->DisplayWidth());
      w.WriteBoolean(f->Required());
      w.WriteBoolean(f->ReadOnly());
      w.WriteString((sfFieldKind & sfSaveFieldKind) ? kKindNames[f->FieldKind()] : kKindNames[0]);
      w.WriteString(f->DefaultExpression());
    }
  w.WriteListEnd();
  w.WriteListBegin();
  if (sfIndexDef & sfSaveIndexDef)
    for (int i = 0; i < Table->IndexDefs().Count(); ++i) {
      TIndexDef* d = Table->IndexDefs()[i];
      w.WriteString(d->Name());
      w.WriteString(d->Fields());
      w.WriteString(d->Name());
      w.WriteBoolean((d->Options() & ixDescending) != 0);
      w.WriteBoolean((d->Options() & ixCaseInsensitive) != 0);
      w.WriteBoolean((d->Options() & ixNonMaintained) != 0);
      w.WriteBoolean((d->Options() & ixUnique) != 0);
    }
  w.WriteListEnd();
}

// ---- the record area's output -------------------------------------------------------------------------
// Records are encoded straight into a plain memory stream's memory, else into the format's own buffer,
// which goes to the stream in large pieces: the bytes are the component writer's (TWriter) for each
// value, without a call per value.

void TvlxCustomBinaryStreamFormat::OpenOut(std::size_t Estimate) {
  // What the writer holds goes first: the records follow it in the stream.
  Writer->FlushBuffer();
  FOutPos = 0;
  FDirect = nullptr;
  TStream& s = *FWorkStream;
  if (typeid(s) == typeid(TMemoryStream) && s.Position() <= s.Size()) {
    // Made room for once: a save into an emptied stream of the same size gets its pages back from the
    // page reserve instead of faulting them in while growing.
    FDirect = static_cast<TMemoryStream*>(&s);
    FDirectStart = static_cast<std::size_t>(s.Position());
    const Int64 want = static_cast<Int64>(FDirectStart + std::max<std::size_t>(Estimate, 1));
    if (FDirect->Capacity() < want) FDirect->SetCapacity(want);
    AttachDirect();
    return;
  }
  if (FOut.size() < kOutBlock) FOut.resize(kOutBlock);
  FOutBase = FOut.data();
  FOutCap = FOut.size();
}

void TvlxCustomBinaryStreamFormat::AttachDirect() {
  FOutBase = static_cast<Byte*>(FDirect->Memory()) + FDirectStart;
  FOutCap = static_cast<std::size_t>(FDirect->Capacity()) - FDirectStart;
}

Byte* TvlxCustomBinaryStreamFormat::ReserveMore(std::size_t N) {
  if (FDirect != nullptr) {
    // The estimate fell short (older versions, calculated values): grow geometrically. The bytes past
    // the stream's size are part of its capacity and move with it.
    const std::size_t want = std::max(FOutPos + N, FOutCap + FOutCap / 2 + 4096);
    FDirect->SetCapacity(static_cast<Int64>(FDirectStart + want));
    AttachDirect();
    return FOutBase + FOutPos;
  }
  FlushOut();
  if (FOutCap < N) {
    FOut.resize(std::max(N, kOutBlock));
    FOutBase = FOut.data();
    FOutCap = FOut.size();
  }
  return FOutBase + FOutPos;
}

void TvlxCustomBinaryStreamFormat::FlushOut() {
  if (FDirect == nullptr && FOutPos) FWorkStream->WriteBuffer(FOutBase, static_cast<Int64>(FOutPos));
  FOutPos = 0;
}

void TvlxCustomBinaryStreamFormat::CloseOut() {
  if (FDirect != nullptr) {
    // The last byte goes in through the stream itself: that sets its size and position without the
    // resize SetSize would do (which hands the spare room back for the next save to fault in again).
    if (FOutPos) {
      const Byte last = FOutBase[FOutPos - 1];
      FDirect->SetPosition(static_cast<Int64>(FDirectStart + FOutPos - 1));
      FDirect->WriteBuffer(&last, 1);
    }
    FOutPos = 0;
  } else {
    FlushOut();
  }
  FDirect = nullptr;
  FOutBase = nullptr;
  FOutCap = 0;
}

void TvlxCustomBinaryStreamFormat::PutInteger(Int64 Value) {
  Byte* o = Reserve(9);
  if (Value >= INT8_MIN && Value <= INT8_MAX) {
    o[0] = vaInt8;
    o[1] = static_cast<Byte>(static_cast<std::int8_t>(Value));
    FOutPos += 2;
  } else if (Value >= INT16_MIN && Value <= INT16_MAX) {
    o[0] = vaInt16;
    Put(o + 1, static_cast<std::int16_t>(Value));
    FOutPos += 3;
  } else if (Value >= INT32_MIN && Value <= INT32_MAX) {
    o[0] = vaInt32;
    Put(o + 1, static_cast<std::int32_t>(Value));
    FOutPos += 5;
  } else {
    o[0] = vaInt64;
    Put(o + 1, Value);
    FOutPos += 9;
  }
}

void TvlxCustomBinaryStreamFormat::PutExtended(const Byte* Ten) {
  Byte* o = Reserve(11);
  o[0] = vaExtended;
  std::memcpy(o + 1, Ten, 10);
  FOutPos += 11;
}

void TvlxCustomBinaryStreamFormat::PutFloat(double Value) {
  Byte* o = Reserve(11);
  o[0] = vaExtended;
  const auto bits = std::bit_cast<std::uint64_t>(Value);
  const auto exponent = static_cast<int>((bits >> 52) & 0x7FF);
  if (exponent != 0 && exponent != 0x7FF) {
    // A normal double: its significand with the integer bit, its exponent rebiased.
    Put(o + 1, (std::uint64_t{1} << 63) | ((bits & ((std::uint64_t{1} << 52) - 1)) << 11));
    Put(o + 9, static_cast<std::uint16_t>(((bits >> 48) & 0x8000) | static_cast<std::uint64_t>(exponent - 1023 + 16383)));
  } else {
    std::uint8_t ten[10];
    DoubleToExtended(Value, ten);
    std::memcpy(o + 1, ten, 10);
  }
  FOutPos += 11;
}

void TvlxCustomBinaryStreamFormat::WriteText8(const Byte* P, std::size_t N) {
  bool ascii = true;
  for (std::size_t i = 0; i < N && ascii; ++i) ascii = P[i] < 0x80;
  if (!ascii || N == 0) {
    char16_t* buf = QuickBuffer(N);
    const std::size_t units = vlxtext::AnsiToUtf16Quick(P, N, buf);
    if (units != vlxtext::kNotQuick) {
      WriteText16(std::u16string_view(buf, units));
      return;
    }
    vlxtext::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(P), N), FScratch16);
    WriteText16(FScratch16);
    return;
  }
  // ASCII text is its own UTF-8: the bytes go out as they are.
  Byte* o = Reserve(N + 5);
  if (N <= 255) {
    o[0] = vaString;
    o[1] = static_cast<Byte>(N);
    o += 2;
    FOutPos += 2;
  } else {
    o[0] = vaLString;
    StoreI32(o + 1, static_cast<std::int32_t>(N));
    o += 5;
    FOutPos += 5;
  }
  std::memcpy(o, P, N);
  FOutPos += N;
}

// TWriter::WriteString's bytes: vaWString when UTF-8 would take twice the units or more, else
// vaString/vaLString for ASCII and vaUTF8String. The UTF-8 form is made in place, then the choice.
void TvlxCustomBinaryStreamFormat::WriteText16(std::u16string_view Text) {
  const std::size_t n = Text.size();
  if (n > static_cast<std::size_t>(INT32_MAX / 3)) throw EWriteError(String(msg::SWriteError));
  Byte* o = Reserve(5 + 3 * n);
  bool nonAscii = false;
  const std::size_t u8 = vlxtext::EncodeUtf8Counted(Text, reinterpret_cast<char*>(o + 5), nonAscii, 2 * n);
  if (u8 >= 2 * n) {
    o[0] = vaWString;
    StoreI32(o + 1, static_cast<std::int32_t>(n));
    if (n) std::memcpy(o + 5, Text.data(), 2 * n);
    FOutPos += 5 + 2 * n;
  } else if (!nonAscii && u8 <= 255) {
    o[0] = vaString;
    o[1] = static_cast<Byte>(u8);
    std::memmove(o + 2, o + 5, u8);
    FOutPos += 2 + u8;
  } else {
    o[0] = nonAscii ? vaUTF8String : vaLString;
    StoreI32(o + 1, static_cast<std::int32_t>(u8));
    FOutPos += 5 + u8;
  }
}

void TvlxCustomBinaryStreamFormat::WriteValue(TvlxCustomMemTable* Table, const TSaveSlot& S, const TvlxRecord* R) {
  TvlxCommon& c = *Table->Common();
  TField* Field = S.Field;
  const TFieldType type = S.Type;
  const Byte* p;
  std::size_t len;
  Byte calc[64];
  std::vector<Byte> calcBig;
  if (S.Calculated) {
    // Calculated and lookup values come in their native form from the calculated area.
    calcBig.resize(static_cast<std::size_t>(std::max(Field->DataSize(), 1)));
    Byte* dst = calcBig.size() <= sizeof calc ? calc : calcBig.data();
    if (!TDataSet::ReadCalculatedField(R->Data + c.StartCalculated(), Field, TValueBuffer(dst, calcBig.size()))) {
      PutTag(vaTrue);
      return;
    }
    p = dst;
    len = calcBig.size();
  } else {
    const Byte* slot = R->Data + S.Offset;
    if (slot[0] == 0) {
      PutTag(vaTrue);
      return;
    }
    if (S.VarLength) {
      const std::uint32_t h = c.ResolveBlock(R, S.Offset);
      if (h == 0) {
        PutTag(vaTrue);
        return;
      }
      p = c.Blocks().Bytes(h);
      len = c.Blocks().Length(h);
    } else {
      p = slot + 1;
      len = S.Bytes;
    }
  }
  PutTag(vaFalse);
  switch (type) {
    case ftSmallint: PutInteger(Get<std::int16_t>(p)); break;
    case ftWord: PutInteger(Get<std::uint16_t>(p)); break;
    case ftInteger: case ftAutoInc: PutInteger(Get<std::int32_t>(p)); break;
    case ftBoolean: PutTag(Get<std::uint16_t>(p) != 0 ? vaTrue : vaFalse); break;
    case ftFloat: PutFloat(Get<double>(p)); break;
    case ftDate: PutFloat(NativeDateToDateTime(Get<std::int32_t>(p))); break;
    case ftTime: PutFloat(NativeTimeToDateTime(Get<std::int32_t>(p))); break;
    case ftDateTime: PutFloat(NativeToDateTime(Get<double>(p))); break;
    case ftLargeint: PutExtended(Int64ToExtended(Get<std::int64_t>(p)).data()); break;
    case ftCurrency: {
      Currency cur{};
      if (!Currency::TryFromDouble(Get<double>(p), cur)) PutFloat(Get<double>(p));
      else PutExtended(CurrencyToExtended(cur).data());
      break;
    }
    case ftBCD: case ftFMTBcd: {
      TBcd b;
      std::memcpy(&b, p, sizeof b);
      Currency cur{};
      if (BCDToCurr(b, cur)) {
        PutExtended(CurrencyToExtended(cur).data());
      } else {
        double d = 0;
        TryStrToFloat(BcdToStr(b), d);
        PutFloat(d);
      }
      break;
    }
    case ftWideString: case ftFixedWideChar: case ftWideMemo: {
      std::size_t units = len / 2;
      if (type != ftWideMemo) {
        std::size_t n = 0;
        while (n < units && (p[2 * n] != 0 || p[2 * n + 1] != 0)) ++n;
        units = n;
      }
      // A block's bytes are aligned for UTF-16 units; a fixed slot's may not be, and are copied.
      if (reinterpret_cast<std::uintptr_t>(p) % alignof(char16_t) == 0) {
        WriteText16(std::u16string_view(reinterpret_cast<const char16_t*>(p), units));
      } else {
        char16_t* buf = QuickBuffer(units);
        if (units) std::memcpy(buf, p, 2 * units);
        WriteText16(std::u16string_view(buf, units));
      }
      break;
    }
    case ftString: case ftFixedChar: case ftGuid: case ftOraInterval: {
      std::size_t n = 0;
      while (n < len && p[n] != 0) ++n;
      WriteText8(p, n);
      break;
    }
    case ftMemo: case ftFmtMemo: case ftOraClob: WriteText8(p, len); break;
    case ftVarBytes: {
      const std::size_t n = std::min<std::size_t>(Get<std::uint16_t>(p), len >= 2 ? len - 2 : 0);
      WriteText16(BytesAsText(p + 2, n));
      break;
    }
    case ftShortint: WriteText16(IntToStr(static_cast<std::int8_t>(p[0]))); break;
    case ftByte: WriteText16(IntToStr(p[0])); break;
    case ftLongWord: WriteText16(IntToStr(Get<std::uint32_t>(p))); break;
    case ftSingle: WriteText16(FloatToStr(Get<float>(p))); break;
    case ftExtended: WriteText16(FloatToStr(ExtendedToDouble(p))); break;
    case ftTimeStamp: case ftOraTimeStamp: {
      TSQLTimeStamp ts;
      std::memcpy(&ts, p, sizeof ts);
      TDateTime dt = 0;
      TrySQLTimeStampToDateTime(ts, dt);
      WriteText16(FloatToStr(dt));
      break;
    }
    default:
      if (IsBinaryBlob(type)) WriteText16(BytesAsText(p, len));
      else WriteText8(p, len);
      break;
  }
}

std::size_t TvlxCustomBinaryStreamFormat::MaxSavedBytes(const TSaveSlot& S) {
  // Null flag, tag and length included; a var-length value's block is counted apart.
  if (S.Calculated) return 40 + 2 * static_cast<std::size_t>(std::max(S.Field->DataSize(), 0));
  if (S.VarLength) return 6;
  switch (S.Type) {
    case ftSmallint: case ftWord: case ftInteger: case ftAutoInc: return 10;
    case ftBoolean: return 2;
    case ftFloat: case ftDate: case ftTime: case ftDateTime: case ftLargeint: case ftCurrency: case ftBCD:
    case ftFMTBcd:
      return 12;
    case ftWideString: case ftFixedWideChar: return 6 + S.Bytes;
    case ftShortint: case ftByte: case ftLongWord: case ftSingle: case ftExtended: case ftTimeStamp:
    case ftOraTimeStamp:
      return 70;
    default: return 6 + 2 * S.Bytes;
  }
}

void TvlxCustomBinaryStreamFormat::WriteVersion(TvlxCustomMemTable* Table, const TvlxRecord* R, bool First) {
  PutInteger(R->UpdateStatus);
  const bool hook = First && Table->OnSaveField;
  const TvlxBlockTable& blocks = Table->Common()->Blocks();
  for (const TSaveSlot& S : FSavePlan) {
    if (hook) Table->OnSaveField(*Table, S.Position, S.Field);
    const Byte* slot = R->Data + S.Offset;
    if (S.Step == TSaveSlot::sGeneric) {
      WriteValue(Table, S, R);
      continue;
    }
    if (slot[0] == 0) {
      PutTag(vaTrue);
      continue;
    }
    // The same bytes WriteValue gives, without its general steps.
    switch (S.Step) {
      case TSaveSlot::sInteger:
        PutTag(vaFalse);
        PutInteger(Get<std::int32_t>(slot + 1));
        break;
      case TSaveSlot::sBoolean: {
        Byte* o = Reserve(2);
        o[0] = vaFalse;
        o[1] = Get<std::uint16_t>(slot + 1) != 0 ? vaTrue : vaFalse;
        FOutPos += 2;
        break;
      }
      case TSaveSlot::sFloat:
        PutTag(vaFalse);
        PutFloat(Get<double>(slot + 1));
        break;
      case TSaveSlot::sDateTime:
        PutTag(vaFalse);
        PutFloat(NativeToDateTime(Get<double>(slot + 1)));
        break;
      case TSaveSlot::sWideFixed: {
        const Byte* p = slot + 1;
        const std::size_t cap = S.Bytes / 2;
        char16_t* buf = QuickBuffer(cap);
        std::size_t n = 0;
        for (; n < cap; ++n) {
          std::memcpy(&buf[n], p + 2 * n, 2);
          if (buf[n] == 0) break;
        }
        PutTag(vaFalse);
        WriteText16(std::u16string_view(buf, n));
        break;
      }
      case TSaveSlot::sAnsiFixed: {
        const Byte* p = slot + 1;
        const auto* end = static_cast<const Byte*>(std::memchr(p, 0, S.Bytes));
        PutTag(vaFalse);
        WriteText8(p, end != nullptr ? static_cast<std::size_t>(end - p) : S.Bytes);
        break;
      }
      case TSaveSlot::sWideBlock: {
        const std::uint32_t h = LoadU32(slot + 1);
        if (h == 0) {
          // A buffer slot reading its stored record's block.
          WriteValue(Table, S, R);
          break;
        }
        const Byte* p = blocks.Bytes(h);
        PutTag(vaFalse);
        WriteText16(std::u16string_view(reinterpret_cast<const char16_t*>(p), blocks.Length(h) / 2));
        break;
      }
      default:
        WriteValue(Table, S, R);
        break;
    }
  }
}

void TvlxCustomBinaryStreamFormat::WriteRecords(TvlxCustomMemTable* Table) {
  TWriter& w = *Writer;
  if (sfDataTypeHeader & sfSaveDataTypeHeader) {
    w.WriteListBegin();
    w.WriteInteger(static_cast<Int64>(std::count_if(SaveFields.begin(), SaveFields.end(), [](int e) { return e >= 0; })));
    for (std::size_t i = 0; i < SaveFields.size(); ++i)
      if (SaveFields[i] >= 0) w.WriteInteger(Table->Fields()[static_cast<int>(i)]->DataType());
    w.WriteListEnd();
  }
  Table->FSaveCount = 0;
  Table->FSavedCompletely = true;
  w.WriteListBegin();
  TvlxCommon& c = *Table->Common();
  // Each saved field is looked up once; the per-row loop reads its slot straight from the plan.
  FSavePlan.clear();
  for (std::size_t i = 0; i < SaveFields.size(); ++i) {
    if (SaveFields[i] < 0) continue;
    TSaveSlot S;
    S.Position = static_cast<int>(i);
    S.Field = Table->Fields()[static_cast<int>(i)];
    S.Type = S.Field->DataType();
    S.Calculated = S.Field->FieldNo() < 1;
    if (!S.Calculated) {
      const int idx = S.Field->FieldNo() - 1;
      S.Offset = c.FieldOffset(idx);
      S.VarLength = c.IsVarLength(idx);
      S.Bytes = static_cast<std::size_t>(std::max(TvlxCommon::ValueBytes(S.Type, S.Field->Size()), 0));
      switch (S.Type) {
        case ftInteger: case ftAutoInc: S.Step = TSaveSlot::sInteger; break;
        case ftBoolean: S.Step = TSaveSlot::sBoolean; break;
        case ftFloat: S.Step = TSaveSlot::sFloat; break;
        case ftDateTime: S.Step = TSaveSlot::sDateTime; break;
        case ftWideString: case ftFixedWideChar: if (!S.VarLength) S.Step = TSaveSlot::sWideFixed; break;
        case ftString: case ftFixedChar: if (!S.VarLength) S.Step = TSaveSlot::sAnsiFixed; break;
        case ftWideMemo: if (S.VarLength) S.Step = TSaveSlot::sWideBlock; break;
        default: break;
      }
    }
    FSavePlan.push_back(S);
  }
  const bool byIndex = (sfUsingIndex & sfSaveUsingIndex) != 0;
  const int n = byIndex ? Table->CurIndex()->Count() : c.RecordCount();
  // What the records take at most, from the plan and the block table alone: a text value is never
  // more than its tag, length and two bytes a unit (longer UTF-8 goes out as UTF-16), and a unit never
  // more than a byte of its source. Older versions are left out; the output grows past it for them.
  std::size_t perRecord = 8;
  for (const TSaveSlot& S : FSavePlan) perRecord += MaxSavedBytes(S);
  OpenOut(static_cast<std::size_t>(n) * perRecord + 2 * c.Blocks().LiveBytes() + 16);
  const bool calc = Table->CalcFieldsSize() > 0;
  // The records are read in index order, scattered in memory: each is asked for a few records ahead,
  // and its blocks once its slots are in, so that the reads overlap.
  auto recordAt = [&](int pos) -> const TvlxRecord* {
    return byIndex ? Table->CurIndex()->References()[pos] : c.Records()[static_cast<std::size_t>(pos)];
  };
  const int recordLines = std::min((kvlxRecordHeaderSize + c.DataRecordSize() + 63) / 64, 4);
  std::vector<int> blockSlots;
  for (const TSaveSlot& S : FSavePlan)
    if (S.VarLength) blockSlots.push_back(S.Offset);
  const TvlxBlockTable& blocks = c.Blocks();
  for (int pos = 0; pos < n; ++pos) {
    if (Table->FSaveLimit > 0 && Table->FSaveCount >= Table->FSaveLimit) {
      Table->FSavedCompletely = false;
      break;
    }
    if (pos % 100 == 0) Table->Progress(static_cast<int>(static_cast<Int64>(pos) * 100 / n), mtpcSave);
    if (pos + 8 < n)
      if (const TvlxRecord* ahead = recordAt(pos + 8))
        for (int l = 0; l < recordLines; ++l) __builtin_prefetch(reinterpret_cast<const Byte*>(ahead) + 64 * l);
    if (pos + 4 < n)
      if (const TvlxRecord* ahead = recordAt(pos + 4))
        for (int offset : blockSlots)
          if (const std::uint32_t h = LoadU32(ahead->Data + offset + 1); blocks.Valid(h))
            __builtin_prefetch(blocks.Bytes(h) - 4);
    PvlxRecord r = byIndex ? Table->CurIndex()->References()[pos] : c.Records()[static_cast<std::size_t>(pos)];
    if (r == nullptr) continue;
    TvlxCustomMemTable::TOverrideBuffer over(*Table, r);
    if (calc) {
      Table->__ClearCalcFields(reinterpret_cast<TRecordBuffer>(r));
      Table->__GetCalcFields(reinterpret_cast<TRecordBuffer>(r));
    }
    if (!Table->FilterRecord(r, false)) continue;
    if (Table->OnSaveRecord) {
      bool accept = true;
      Table->OnSaveRecord(*Table, accept);
      if (!accept) continue;
    }
    if (!(sfData & sfSaveData) && r->UpdateStatus == usUnmodified) continue;
    if (!(sfDontFilterDeltas & sfSaveDontFilterDeltas) && r->UpdateStatus == usDeleted) {
      const TvlxRecord* oldest = r;
      while (oldest->PrevRecordVersion != nullptr) oldest = oldest->PrevRecordVersion;
      if (oldest->UpdateStatus == usInserted) continue;
    }
    PutTag(vaList);
    WriteVersion(Table, r, true);
    if (sfDeltas & sfSaveDeltas)
      for (const TvlxRecord* v = r->PrevRecordVersion; v != nullptr; v = v->PrevRecordVersion) {
        TvlxCustomMemTable::TOverrideBuffer overV(*Table, const_cast<PvlxRecord>(v));
        WriteVersion(Table, v, false);
      }
    PutTag(vaNull);
    ++Table->FSaveCount;
  }
  PutTag(vaNull);
  CloseOut();
  // Flushed here so that a failing stream is reported, not lost in a destructor.
  w.FlushBuffer();
}

void TvlxCustomBinaryStreamFormat::FinishSave(TvlxCustomMemTable* Table) {
  // A save that failed part way leaves the bytes it wrote into a memory stream's room uncounted.
  FDirect = nullptr;
  FOutBase = nullptr;
  FOutCap = FOutPos = 0;
  Writer.reset();
  Table->SetOverrideActiveRecordBuffer(nullptr);
  TvlxCustomStreamFormat::FinishSave(Table);
}

// ==== load ===============================================================================================

void TvlxCustomBinaryStreamFormat::FreeStaged() {
  if (!FStaged.empty()) {
    TvlxCommon* layout = FStagedLayout;
    for (PvlxRecord r : FStaged) {
      r->Flag |= 1;
      layout->_InternalFreeRecord(r, true, true);
    }
    FStaged.clear();
  }
  FStaging.reset();
  FStagingBlocks.reset();
  FStagedLayout = nullptr;
  FDefs.clear();
  FIndexDefs.clear();
  FHeaderTypes.clear();
  FHasDefs = FHeaderRead = false;
}

void TvlxCustomBinaryStreamFormat::PrepareLoad(TvlxCustomMemTable* Table) {
  FreeStaged();
  FStagedAutoIncMax = 0;
  FHasAutoInc = false;
  FStagedDeleted = 0;
  FStagedLoadCount = 0;
  FStagedComplete = true;
  InitIndexDef = false;
  TvlxCustomStreamFormat::PrepareLoad(Table);
  StreamSize = FWorkStream->Size();
  ProgressCnt = 0;
  Reader = std::make_unique<TReader>(FWorkStream, FBuffSize);
  if (StreamSize == 0) ReadFault();
  Reader->ReadSignature();
  if (Reader->NextValue() == vaList) {
    FileVersion = kOldestVersion;
  } else {
    FileVersion = Reader->ReadInteger();
    if (FileVersion > kFormatVersion)
      throw EReadError(u"Newer vlxMemTable binary stream version (" + IntToStr(FileVersion) +
                       u") cant be read by this version of the software (" + IntToStr(kFormatVersion) + u").");
    if (FileVersion < kOldestVersion)
      throw EReadError(u"Unsupported vlxMemTable binary stream version (" + IntToStr(FileVersion) + u").");
  }
}

void TvlxCustomBinaryStreamFormat::ReadDefinitions(TvlxCustomMemTable* Table) {
  TReader& r = *Reader;
  r.ReadListBegin();
  while (!r.EndOfList()) {
    TStagedDef d;
    d.Name = r.ReadString();
    const String typeName = r.ReadString();
    d.Size = r.ReadInteger();
    d.DisplayName = r.ReadString();
    r.ReadString();  // edit mask
    d.DisplayWidth = r.ReadInteger();
    d.Required = r.ReadBoolean();
    d.ReadOnly = r.ReadBoolean();
    String kind = kKindNames[0];
    if (FileVersion >= 250) kind = r.ReadString();
    if (FileVersion >= 251) d.DefaultExpression = r.ReadString();
    int type = -1;
    for (int t = 0; t < kFieldTypeCount; ++t)
      if (kTypeNames[static_cast<std::size_t>(t)] == typeName) {
        type = t;
        break;
      }
    // An object field (ftADT, ftArray) comes back as a field of its type without children: the
    // definitions carry none, and its value is the empty text it was saved as.
    if (type < 0 || !TvlxCommon::IsSupportedType(static_cast<TFieldType>(type)))
      throw EMemTableError(Format(u"Unknown field type (%s)", {typeName}));
    d.DataType = static_cast<TFieldType>(type);
    // Sizes are bounded per type: a hostile size never reaches the layout.
    const bool sized = d.DataType == ftString || d.DataType == ftFixedChar || d.DataType == ftWideString ||
                       d.DataType == ftFixedWideChar || d.DataType == ftBytes || d.DataType == ftVarBytes ||
                       d.DataType == ftGuid || d.DataType == ftBCD || d.DataType == ftFMTBcd;
    if (d.Size < 0 || d.Size > (sized ? 65535 : 1 << 20))
      throw EMemTableError(Format(u"Invalid size %d of field %s", {d.Size, d.Name}));
    for (int k = 0; k < 5; ++k)
      if (kKindNames[k] == kind) d.Kind = static_cast<TFieldKind>(k);
    FDefs.push_back(std::move(d));
  }
  r.ReadListEnd();
  // The table is closed and rebuilt from these only once the whole stream was good: names it could
  // not open with are refused here, while it still holds its own.
  for (std::size_t i = 0; i < FDefs.size(); ++i) {
    if (FDefs[i].Name.empty()) throw EMemTableError(String(u"A field definition has no name"));
    for (std::size_t k = 0; k < i; ++k)
      if (AnsiSameText(FDefs[k].Name, FDefs[i].Name))
        throw EMemTableError(Format(u"Duplicate field name '%s'", {FDefs[i].Name}));
  }
  // The platform may refuse a definition too (a size its field cannot take): a scratch table opened
  // on them finds out before the table is closed. A table open on the same definitions already did.
  if (!FDefs.empty() && (sfDef & sfLoadDef) && !TableHoldsDefinitions(Table)) {
    TvlxMemTable probe(nullptr);
    for (const TStagedDef& d : FDefs) probe.FieldDefs().Add(d.Name, d.DataType, d.Size, d.Required);
    probe.CreateTable();
    probe.Open();
  }
  FHasDefs = !FDefs.empty();
  if (FileVersion >= 200) {
    r.ReadListBegin();
    while (!r.EndOfList()) {
      TStagedIndexDef x;
      x.Name = r.ReadString();
      x.Fields = r.ReadString();
      x.DisplayName = r.ReadString();
      if (r.ReadBoolean()) x.Options |= ixDescending;
      if (r.ReadBoolean()) x.Options |= ixCaseInsensitive;
      if (r.ReadBoolean()) x.Options |= ixNonMaintained;
      if (r.ReadBoolean()) x.Options |= ixUnique;
      FIndexDefs.push_back(std::move(x));
    }
    r.ReadListEnd();
    InitIndexDef = (sfDef & sfLoadDef) && (sfIndexDef & sfLoadIndexDef) && FHasDefs;
  }
}

bool TvlxCustomBinaryStreamFormat::TableHoldsDefinitions(TvlxCustomMemTable* Table) const {
  if (!Table->Active() || !Table->DefaultFields() || Table->AttachedTo() != nullptr) return false;
  const TFieldDefs& defs = Table->FieldDefs();
  if (defs.Count() != static_cast<int>(FDefs.size()) || Table->FieldCount() != defs.Count()) return false;
  for (int i = 0; i < defs.Count(); ++i) {
    const TStagedDef& d = FDefs[static_cast<std::size_t>(i)];
    const TFieldDef* t = defs[i];
    const TField* f = Table->Fields()[i];
    if (t->Name() != d.Name || t->DataType() != d.DataType || t->Size() != d.Size || t->Required() != d.Required ||
        (t->Attributes() & ~TFieldAttributes{faRequired}) != 0 || t->Precision() != 0 || t->InternalCalcField() ||
        t->HasChildDefs())
      return false;
    if (f->FieldKind() != fkData || f->FieldNo() != i + 1 || f->FieldName() != d.Name || f->DataType() != d.DataType ||
        f->Size() != d.Size)
      return false;
  }
  return true;
}

bool TvlxCustomBinaryStreamFormat::KeepsStructure(TvlxCustomMemTable* Table) const {
  if (!TableHoldsDefinitions(Table) || Table->CalcFieldsSize() != 0 || Table->RangeActive() ||
      Table->DetailIndex() != nullptr)
    return false;
  TvlxCommon& c = *Table->Common();
  if (c.Owner() != Table || FStagedLayout == nullptr || !c.SameLayout(*FStagedLayout)) return false;
  // Emptying posts nothing and cancels nothing: every table on the store rests in browse mode.
  for (TvlxCustomMemTable* t : c.AttachedTables())
    if (t != nullptr && t->Active() && t->State() != dsBrowse) return false;
  if (InitIndexDef) {
    const TIndexDefs& have = Table->IndexDefs();
    if (have.Count() != static_cast<int>(FIndexDefs.size())) return false;
    for (int i = 0; i < have.Count(); ++i) {
      const TIndexDef* h = have[i];
      const TStagedIndexDef& x = FIndexDefs[static_cast<std::size_t>(i)];
      if (h->Name() != x.Name || h->Fields() != x.Fields || h->Options() != x.Options || !h->DescFields().empty() ||
          !h->CaseInsFields().empty() || !h->Expression().empty() || !h->Source().empty() || h->GroupingLevel() != 0)
        return false;
    }
  }
  return true;
}

void TvlxCustomBinaryStreamFormat::CollectFieldNames(TvlxCustomMemTable* Table, std::vector<String>& Names,
                                                     bool AfterDefinitions) {
  if (AfterDefinitions && Restructuring()) {
    Names.clear();
    for (const TStagedDef& d : FDefs) Names.push_back(d.DisplayName.empty() ? d.Name : d.DisplayName);
    return;
  }
  TvlxCustomStreamFormat::CollectFieldNames(Table, Names, AfterDefinitions);
}

void TvlxCustomBinaryStreamFormat::MapLoadField(TvlxCustomMemTable*, const String&, bool, int& TableFieldIndex,
                                                int Position, int) {
  TableFieldIndex = Position;
}

void TvlxCustomBinaryStreamFormat::ChooseLoadFields(TvlxCustomMemTable* Table, bool AfterDefinitions) {
  if (!(AfterDefinitions && Restructuring())) {
    TvlxCustomStreamFormat::ChooseLoadFields(Table, AfterDefinitions);
    return;
  }
  // The table's fields will be these definitions: choose by them.
  const int n = static_cast<int>(FDefs.size());
  LoadFields.assign(static_cast<std::size_t>(n), -1);
  LoadFieldWidths.assign(static_cast<std::size_t>(n), -1);
  for (int i = 0; i < n; ++i) {
    const TStagedDef& d = FDefs[static_cast<std::size_t>(i)];
    if (LoadAllowed(d.Kind == fkData ? fkData : fkData, d.DataType, true)) LoadFields[static_cast<std::size_t>(i)] = i;
  }
}

void TvlxCustomBinaryStreamFormat::ReadValue(TvlxValueCursor& r, const TReadPlan& P, PvlxRecord R, int Position) {
  TvlxCommon& c = *FStagedLayout;
  Byte* slot = R->Data + P.Offset;
  Byte fixed[40] = {};
  const Byte* src = fixed;
  std::size_t n = 0;
  String& text = FText16;
  std::string& bytes = FScratch8;
  auto needInt = [&](Int64 v, Int64 lo, Int64 hi) {
    if (v < lo || v > hi) throw EReadError(String(u"Invalid property value"));
    return v;
  };
  switch (P.Type) {
    case ftSmallint: Put(fixed, static_cast<std::int16_t>(needInt(r.Int64Value(), INT16_MIN, INT16_MAX))); n = 2; break;
    case ftWord: Put(fixed, static_cast<std::uint16_t>(needInt(r.Int64Value(), 0, UINT16_MAX))); n = 2; break;
    case ftInteger: case ftAutoInc: {
      const auto v = static_cast<std::int32_t>(needInt(r.Int64Value(), INT32_MIN, INT32_MAX));
      Put(fixed, v);
      n = 4;
      if (P.Type == ftAutoInc) {
        FStagedAutoIncMax = FHasAutoInc ? std::max(FStagedAutoIncMax, v) : v;
        FHasAutoInc = true;
      }
      break;
    }
    case ftBoolean: Put<std::uint16_t>(fixed, r.Boolean() ? 1 : 0); n = 2; break;
    case ftFloat: Put(fixed, r.Float()); n = 8; break;
    case ftDate: case ftTime: {
      const double v = r.Float();
      CheckedNativeDay(v);
      Put(fixed, P.Type == ftDate ? DateTimeToNativeDate(v) : DateTimeToNativeTime(v));
      n = 4;
      break;
    }
    case ftDateTime: Put(fixed, CheckedNative(DateTimeToNative(r.Float()))); n = 8; break;
    case ftLargeint: {
      Int64 v = 0;
      if (!TryExtendedToInt64(r.Extended(), v)) throw EReadError(String(u"Invalid property value"));
      Put(fixed, v);
      n = 8;
      break;
    }
    case ftCurrency: case ftBCD: case ftFMTBcd: {
      Currency cur{};
      if (P.Type == ftFMTBcd && FileVersion < 400) {
        TBcd b;
        if (!TryStrToBcd((r.Text16(text), text), b)) throw EReadError(String(u"Invalid property value"));
        std::memcpy(fixed, &b, sizeof b);
        n = sizeof b;
        break;
      }
      if (!TryExtendedToCurrency(r.Extended(), cur)) throw EReadError(String(u"Invalid property value"));
      if (P.Type == ftCurrency) {
        Put(fixed, cur.ToDouble());
        n = 8;
      } else {
        TBcd b;
        const int precision = std::clamp(P.Size + 1, 5, 32);
        if (!CurrToBCD(cur, b, precision < P.Size ? P.Size : precision, std::min(std::max(P.Size, 0), 4)))
          CurrToBCD(cur, b);
        std::memcpy(fixed, &b, sizeof b);
        n = sizeof b;
      }
      break;
    }
    case ftWideString: case ftFixedWideChar: case ftWideMemo: {
      r.Text16(text);
      if (P.Type != ftWideMemo && text.size() > static_cast<std::size_t>(P.Size)) text.resize(static_cast<std::size_t>(P.Size));
      if (P.Type != ftWideMemo) text.push_back(u'\0');
      src = reinterpret_cast<const Byte*>(text.data());
      n = 2 * text.size();
      if (Position >= 0 && Position < static_cast<int>(LoadFieldWidths.size()) && (sfDisplayWidth & sfLoadDetermineWidth))
        LoadFieldWidths[static_cast<std::size_t>(Position)] =
            std::max(LoadFieldWidths[static_cast<std::size_t>(Position)], static_cast<int>(text.size()));
      break;
    }
    case ftString: case ftFixedChar: case ftGuid: case ftOraInterval: case ftMemo: case ftFmtMemo: case ftOraClob: {
      std::string& out = FScratch8;
      r.Text8(out, text);
      const bool memo = P.Type == ftMemo || P.Type == ftFmtMemo || P.Type == ftOraClob;
      if (!memo) {
        out.resize(sys::CutLength(out, static_cast<std::size_t>(P.Size)));
        out.push_back('\0');
      }
      src = reinterpret_cast<const Byte*>(out.data());
      n = out.size();
      break;
    }
    case ftShortint: case ftByte: case ftLongWord: {
      Int64 v = 0;
      if (!TryStrToInt64((r.Text16(text), text), v)) throw EReadError(String(u"Invalid property value"));
      if (P.Type == ftShortint) fixed[0] = static_cast<Byte>(static_cast<std::int8_t>(needInt(v, INT8_MIN, INT8_MAX)));
      else if (P.Type == ftByte) fixed[0] = static_cast<Byte>(needInt(v, 0, UINT8_MAX));
      else Put(fixed, static_cast<std::uint32_t>(needInt(v, 0, UINT32_MAX)));
      n = 4;
      break;
    }
    case ftSingle: case ftExtended: case ftTimeStamp: case ftOraTimeStamp: {
      double d = 0;
      if (!TryStrToFloat((r.Text16(text), text), d)) throw EReadError(String(u"Invalid property value"));
      if (P.Type == ftSingle) {
        Put(fixed, static_cast<float>(d));
        n = 4;
      } else if (P.Type == ftExtended) {
        const TExtended80Rec e = DoubleToExtended(d);
        std::memcpy(fixed, e.data(), 10);
        n = 10;
      } else {
        const TSQLTimeStamp ts = DateTimeToSQLTimeStamp(d);
        std::memcpy(fixed, &ts, sizeof ts);
        n = sizeof ts;
      }
      break;
    }
    default: {
      r.Text16(text);
      bytes.resize(text.size());
      for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] > 0xFF) throw EReadError(String(u"Invalid property value"));
        bytes[i] = static_cast<char>(text[i]);
      }
      if (P.Type == ftVarBytes) {
        if (bytes.size() > static_cast<std::size_t>(P.Size)) bytes.resize(static_cast<std::size_t>(P.Size));
        const auto len = static_cast<std::uint16_t>(bytes.size());
        bytes.insert(0, reinterpret_cast<const char*>(&len), 2);
      }
      src = reinterpret_cast<const Byte*>(bytes.data());
      n = bytes.size();
      break;
    }
  }
  if (P.VarLength) {
    if (n > 0xFFFFFFF0u) ReadFault();
    const std::uint32_t h = c.Blocks().AllocCopy(src, static_cast<std::uint32_t>(n));
    const std::uint32_t old = LoadU32(slot + 1);
    StoreU32(slot + 1, h);
    if (old) c.Blocks().Free(old);
  } else {
    const std::size_t size = P.Bytes;
    std::memset(slot + 1, 0, size);
    std::memcpy(slot + 1, src, std::min(n, size));
  }
  slot[0] = 2;
}

// The benchmark's types straight into the slot, as ReadValue stores them; false (nothing read) for a
// value it leaves to ReadValue: another tag, text the quick decoders do not take.
[[gnu::always_inline]] inline bool TvlxCustomBinaryStreamFormat::ReadFast(TvlxValueCursor& r, const TReadPlan& P,
                                                                         PvlxRecord R) {
  Byte* slot = R->Data + P.Offset;
  const Byte* const at = r.Pos();
  switch (P.Fast) {
    case TReadPlan::fInteger: {
      const Byte t = r.Next();
      if (t != vaInt8 && t != vaInt16 && t != vaInt32) return false;
      Put(slot + 1, static_cast<std::int32_t>(r.IntOfTag(r.Tag())));
      break;
    }
    case TReadPlan::fBoolean: Put<std::uint16_t>(slot + 1, r.Boolean() ? 1 : 0); break;
    case TReadPlan::fFloat:
      if (r.Next() != vaExtended) return false;
      Put(slot + 1, r.Float());
      break;
    case TReadPlan::fDateTime:
      if (r.Next() != vaExtended) return false;
      Put(slot + 1, CheckedNative(DateTimeToNative(r.Float())));
      break;
    case TReadPlan::fWideFixed: {
      // At most Size units, the rest of the slot zero (the terminator included).
      const Byte* b;
      std::size_t n;
      const Byte t = r.TextBytes(b, n);
      Byte* out = slot + 1;
      const std::size_t cap = static_cast<std::size_t>(P.Size);
      std::size_t units;
      if (t == vaWString) {
        units = std::min(n, cap);
        CopyValueBytes(out, b, 2 * units);
      } else {
        char16_t* buf = QuickBuffer(n);
        const std::size_t got = t == vaUTF8String ? vlxtext::DecodeUtf8Quick(b, n, buf) : vlxtext::AsciiToUtf16(b, n, buf);
        if (got == vlxtext::kNotQuick) {
          r.Rewind(at);
          return false;
        }
        units = std::min(got, cap);
        CopyValueBytes(out, reinterpret_cast<const Byte*>(buf), 2 * units);
      }
      ZeroValueBytes(out + 2 * units, P.Bytes - 2 * units);
      break;
    }
    case TReadPlan::fAnsiFixed: {
      const Byte* b;
      std::size_t n;
      const Byte t = r.TextBytes(b, n);
      const char16_t* units;
      std::size_t count;
      char16_t* buf = QuickBuffer(n);
      if (t == vaWString) {
        CopyValueBytes(reinterpret_cast<Byte*>(buf), b, 2 * n);
        count = n;
      } else {
        count = t == vaUTF8String ? vlxtext::DecodeUtf8Quick(b, n, buf) : vlxtext::AsciiToUtf16(b, n, buf);
        if (count == vlxtext::kNotQuick) {
          r.Rewind(at);
          return false;
        }
      }
      units = buf;
      std::string& out = FScratch8;
      if (!vlxtext::Utf16ToAnsiQuick(std::u16string_view(units, count), out)) {
        r.Rewind(at);
        return false;
      }
      const std::size_t keep = out.size() <= static_cast<std::size_t>(P.Size)
                                   ? out.size()
                                   : sys::CutLength(out, static_cast<std::size_t>(P.Size));
      CopyValueBytes(slot + 1, reinterpret_cast<const Byte*>(out.data()), keep);
      ZeroValueBytes(slot + 1 + keep, P.Bytes - keep);
      break;
    }
    case TReadPlan::fWideBlock: {
      const Byte* b;
      std::size_t n;
      const Byte t = r.TextBytes(b, n);
      const Byte* src;
      std::size_t units;
      if (t == vaWString) {
        src = b;
        units = n;
      } else {
        char16_t* buf = QuickBuffer(n);
        units = t == vaUTF8String ? vlxtext::DecodeUtf8Quick(b, n, buf) : vlxtext::AsciiToUtf16(b, n, buf);
        if (units == vlxtext::kNotQuick) {
          r.Rewind(at);
          return false;
        }
        src = reinterpret_cast<const Byte*>(buf);
      }
      if (2 * units > 0xFFFFFFF0u) ReadFault();
      TvlxBlockTable& blocks = FStagedLayout->Blocks();
      const std::uint32_t h = blocks.AllocCopy(src, static_cast<std::uint32_t>(2 * units));
      const std::uint32_t old = LoadU32(slot + 1);
      StoreU32(slot + 1, h);
      if (old) blocks.Free(old);
      break;
    }
    default:
      return false;
  }
  slot[0] = 2;
  return true;
}

void TvlxCustomBinaryStreamFormat::ReadRecords(TvlxCustomMemTable* Table) {
  // The rest of the stream in memory: a memory stream's own bytes, any other stream's through a window
  // (a file is not copied whole into fresh memory).
  TReader& reader = *Reader;
  const Int64 start = reader.Position();
  reader.FlushBuffer();
  const Byte* begin;
  const Byte* end;
  std::optional<TvlxReadWindow> window;
  if (auto* m = dynamic_cast<TCustomMemoryStream*>(FWorkStream); m != nullptr && start <= m->Size()) {
    begin = static_cast<const Byte*>(m->Memory()) + start;
    end = static_cast<const Byte*>(m->Memory()) + m->Size();
  } else {
    window.emplace(*FWorkStream, FWindow, FReadPiece);
    begin = window->Begin();
    end = window->End();
  }
  if (begin == nullptr) begin = end = reinterpret_cast<const Byte*>("");
  TvlxValueCursor r(begin, end, window && window->Partial());
  // Where the cursor stands in the stream.
  auto streamPos = [&] { return start + (window ? window->Offset() + (r.Pos() - window->Begin()) : r.Pos() - begin); };
  // Reads on from Keep (after a short window): the cursor goes on from Keep in the new window.
  auto readOn = [&](const Byte* Keep) {
    window->Advance(Keep);
    r.Reset(window->Begin(), window->End(), window->Partial());
  };
  // Whatever happens, the reader goes on after the last value read.
  struct TRewind {
    TReader& R;
    std::function<Int64()> At;
    ~TRewind() {
      try {
        R.SetPosition(At());
      } catch (...) {
      }
    }
  } rewind{reader, streamPos};
  // The layout the records are staged in: the new definitions', or the table's own.
  if (Restructuring()) {
    TFieldDefs defs(nullptr);
    for (const TStagedDef& d : FDefs) defs.Add(d.Name, d.DataType, d.Size, d.Required);
    // Staged in a block table of their own: the table's old records stay apart, so that emptying it
    // drops its memory whole, and the staged one becomes the table's when the load commits.
    FStagingBlocks = std::make_unique<TvlxBlockTable>();
    FStagingBlocks->SetReserve(Table->Common()->PageReserve());
    FStaging = std::make_unique<TvlxCommon>(*FStagingBlocks, Table->Common()->Performance(),
                                            Table->Common()->AttachMaxCount());
    FStaging->LayoutFields(defs, 0, defs.Count());
    FStagedLayout = FStaging.get();
  } else {
    Table->RequireActive();
    FStagedLayout = Table->Common();
  }
  TvlxCommon& layout = *FStagedLayout;
  // The records are numbered as the store will number them (a restructured table's store starts over
  // from 0); the commit checks that it still would, and then takes them whole.
  FNumberBase = Restructuring() ? 0 : Table->Common()->NextRecordID();
  FUniqueBase = Restructuring() ? 0 : Table->Common()->NextUniqueRecordID();
  FStagedTransactionLevel = Table->Common()->TransactionLevel();
  const int count = static_cast<int>(LoadFields.size());
  if (sfDataTypeHeader & sfLoadDataTypeHeader) {
    for (const Byte* headerAt = r.Pos();;) {
      try {
        FHeaderTypes.clear();
        r.ListBegin();
        const int n = r.Integer();
        // The header describes the stream's fields: its count must match them.
        const int streamCount = FHasDefs ? static_cast<int>(FDefs.size()) : count;
        if (n != streamCount)
          throw EMemTableError(Format(u"Data-type header names %d fields, the stream holds %d", {n, streamCount}));
        for (int i = 0; i < n; ++i) {
          const int t = r.Integer();
          if (t < 0 || t >= kFieldTypeCount) throw EReadError(String(u"Invalid property value"));
          FHeaderTypes.push_back(static_cast<TFieldType>(t));
        }
        r.ListEnd();
        break;
      } catch (const TvlxWindowShort&) {
        readOn(headerAt);
        headerAt = r.Pos();
      }
    }
    FHeaderRead = true;
  }
  const int streamCount = FHasDefs ? static_cast<int>(FDefs.size()) : (FHeaderRead ? static_cast<int>(FHeaderTypes.size()) : count);
  if (streamCount != count)
    throw EMemTableError(Format(u"The stream holds %d fields, the table %d", {streamCount, count}));
  // One plan per position, made once: the per-row loop looks nothing up.
  std::vector<TReadPlan> plan(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    TReadPlan& p = plan[static_cast<std::size_t>(i)];
    if (FHeaderRead) p.SkipType = FHeaderTypes[static_cast<std::size_t>(i)];
    const int j = LoadFields[static_cast<std::size_t>(i)];
    if (j < 0) {
      if (!FHeaderRead)
        throw EMemTableError(Format(u"Field %d is left out of the load, but the stream has no data-type header to skip it",
                                    {i}));
      continue;
    }
    int layoutIndex;
    if (Restructuring()) {
      p.Type = FDefs[static_cast<std::size_t>(j)].DataType;
      p.Size = FDefs[static_cast<std::size_t>(j)].Size;
      layoutIndex = j;
    } else {
      TField* f = Table->Fields()[j];
      p.Type = f->DataType();
      p.Size = f->Size();
      layoutIndex = f->FieldNo() - 1;
      if (layoutIndex < 0) {
        // Calculated and lookup values are not stored: read and dropped.
        p.Target = -1;
        p.SkipType = p.Type;
        continue;
      }
    }
    if (FHeaderRead && FHasDefs && FHeaderTypes[static_cast<std::size_t>(i)] != FDefs[static_cast<std::size_t>(i)].DataType)
      throw EMemTableError(Format(u"Data-type header and definition of field %d disagree", {i}));
    p.Target = layoutIndex;
    p.Offset = layout.FieldOffset(layoutIndex);
    p.VarLength = layout.IsVarLength(layoutIndex);
    p.Bytes = static_cast<std::size_t>(std::max(TvlxCommon::ValueBytes(p.Type, p.Size), 0));
    const bool widths = (sfDisplayWidth & sfLoadDetermineWidth) != 0;
    switch (p.Type) {
      case ftInteger: p.Fast = TReadPlan::fInteger; break;
      case ftBoolean: p.Fast = TReadPlan::fBoolean; break;
      case ftFloat: p.Fast = TReadPlan::fFloat; break;
      case ftDateTime: p.Fast = TReadPlan::fDateTime; break;
      case ftWideString: case ftFixedWideChar:
        if (!p.VarLength && !widths) p.Fast = TReadPlan::fWideFixed;
        break;
      case ftString: case ftFixedChar:
        if (!p.VarLength) p.Fast = TReadPlan::fAnsiFixed;
        break;
      case ftWideMemo:
        if (p.VarLength && !widths) p.Fast = TReadPlan::fWideBlock;
        break;
      default: break;
    }
  }
  const bool records230 = FileVersion >= 230;
  const bool nullFlags = FileVersion >= 249;
  Table->FLoadCount = 0;
  Table->FLoadedCompletely = true;
  FStagedComplete = true;
  const std::size_t estimate = layout.DataRecordSize() > 0
                                   ? static_cast<std::size_t>(StreamSize / layout.DataRecordSize())
                                   : 0;
  FStaged.reserve(std::min<std::size_t>(estimate + estimate / 50, 1u << 22));
  const std::size_t slack = std::min(kReadSlack, FReadPiece / 2);
  for (;;) {
    const Byte* listAt = r.Pos();
    try {
      r.ListBegin();
      break;
    } catch (const TvlxWindowShort&) {
      readOn(listAt);
    }
  }
  for (;;) {
    // A window is read on before it runs low, so that a record is rarely cut by its end; a record that
    // is (or is longer than the window) is given up and read again once more of the stream is in.
    if (window && r.Partial() && r.Left() < slack) readOn(r.Pos());
    const Byte* const recordAt = r.Pos();
    const std::size_t stagedBefore = FStaged.size();
    try {
      if (r.EndOfList()) break;
      ReadRecord(Table, r, plan, count, records230, nullFlags);
    } catch (const TvlxWindowShort&) {
      if (FStaged.size() > stagedBefore) {
        PvlxRecord top = FStaged.back();
        FStaged.pop_back();
        top->Flag |= 1;
        layout._InternalFreeRecord(top, true, true);
      }
      readOn(recordAt);
      continue;
    }
    if (FStagedComplete == false) break;
    ProgressCnt = (ProgressCnt + 1) % 100;
    if (ProgressCnt == 0 && StreamSize > 0) Table->Progress(static_cast<int>(streamPos() * 100 / StreamSize), mtpcLoad);
  }
  if (FStagedComplete) r.ListEnd();
}

void TvlxCustomBinaryStreamFormat::ReadRecord(TvlxCustomMemTable* Table, TvlxValueCursor& r,
                                              const std::vector<TReadPlan>& plan, int count, bool records230,
                                              bool nullFlags) {
  TvlxCommon& layout = *FStagedLayout;
  {
    if (Table->FLoadLimit > 0 && FStagedLoadCount >= Table->FLoadLimit) {
      FStagedComplete = false;
      return;
    }
    PvlxRecord top = layout._InternalAllocRecord();
    top->Flag = 1;
    if (const Int64 k = static_cast<Int64>(FStaged.size()); FUniqueBase + k < 0x7FFFFFFF) {
      top->RecordID = static_cast<std::int32_t>(FNumberBase + k);
      top->UniqueRecordID = static_cast<std::int32_t>(FUniqueBase + k);
      top->TransactionLevel = FStagedTransactionLevel;
    }
    FStaged.push_back(top);
    if (records230) r.ListBegin();
    PvlxRecord cur = top;
    for (;;) {
      if (records230) {
        const Int64 status = r.Int64Value();
        if (status < usUnmodified || status > usDeleted) throw EReadError(String(u"Invalid property value"));
        cur->UpdateStatus = static_cast<Byte>(status);
      }
      for (int i = 0; i < count; ++i) {
        const TReadPlan& p = plan[static_cast<std::size_t>(i)];
        const bool isNull = nullFlags && r.Boolean();
        if (p.Target < 0) {
          if (!isNull) r.Skip(p.SkipType, FileVersion);
          continue;
        }
        if (!isNull && !ReadFast(r, p, cur)) ReadValue(r, p, cur, i);
      }
      if (!records230 || r.EndOfList()) break;
      PvlxRecord older = layout._InternalAllocRecord();
      cur->PrevRecordVersion = older;
      cur = older;
    }
    if (records230) r.ListEnd();
    if (top->UpdateStatus == usDeleted) ++FStagedDeleted;
    ++FStagedLoadCount;
  }
}

void TvlxCustomBinaryStreamFormat::CommitLoad(TvlxCustomMemTable* Table) {
  TvlxCommon* target = Table->Common();
  if (Restructuring() && KeepsStructure(Table)) {
    // The same structure: the table stays open and only its records go; each field takes what the
    // definitions say, as a rebuilt field would.
    target->EmptyTables();
    Table->ResetAutoInc();
    for (std::size_t i = 0; i < FDefs.size(); ++i) {
      const TStagedDef& d = FDefs[i];
      TField* f = Table->Fields()[static_cast<int>(i)];
      f->SetDisplayLabel(d.DisplayName != d.Name ? d.DisplayName : String());
      f->SetReadOnly(d.ReadOnly);
      f->SetDisplayWidth(std::max(d.DisplayWidth, 0));
      f->SetDefaultExpression(d.DefaultExpression);
    }
  } else if (Restructuring()) {
    // The new structure replaces the old: the store is emptied by the close.
    Table->Close();
    Table->FieldDefs().Clear();
    Table->DeleteTable();
    for (const TStagedDef& d : FDefs) Table->FieldDefs().Add(d.Name, d.DataType, d.Size, d.Required);
    if (InitIndexDef) {
      Table->IndexDefs().Clear();
      for (const TStagedIndexDef& x : FIndexDefs) Table->IndexDefs().Add(x.Name, x.Fields, x.Options);
    }
    Table->Open();
    // By name: an object definition has no field of its own in the table's flat view.
    for (const TStagedDef& d : FDefs) {
      TField* f = Table->FindField(d.Name);
      if (f == nullptr) continue;
      if (d.DisplayName != d.Name) f->SetDisplayLabel(d.DisplayName);
      f->SetReadOnly(d.ReadOnly);
      if (d.DisplayWidth > 0) f->SetDisplayWidth(d.DisplayWidth);
      f->SetDefaultExpression(d.DefaultExpression);
    }
  }
  // Staged blocks apart from the table's: an empty table takes the staged table whole, else values are
  // copied across.
  if (&FStagedLayout->Blocks() != &target->Blocks() && target->Blocks().Empty()) {
    target->Blocks().Swap(FStagedLayout->Blocks());
    FStagedLayout->RetargetBlocks(target->Blocks());
  }
  TvlxBlockTable& stagedBlocks = FStagedLayout->Blocks();
  const bool sameBlocks = &stagedBlocks == &target->Blocks();
  const bool adopt = sameBlocks && (FStagedLayout == target || target->SameLayout(*FStagedLayout));
  std::vector<PvlxRecord> staged = std::move(FStaged);
  FStaged.clear();
  // The store's lock is taken once for the whole hand-over (each append then only re-enters it), but
  // never held across a load callback.
  struct TMaybeLock {
    TvlxCommon* C;
    explicit TMaybeLock(TvlxCommon* c) : C(c) {
      if (C) C->Lock();
    }
    ~TMaybeLock() {
      if (C) C->Unlock();
    }
    TMaybeLock(const TMaybeLock&) = delete;
    TMaybeLock& operator=(const TMaybeLock&) = delete;
  } lock(Table->OnLoadRecord || Table->OnLoadField ? nullptr : target);
  // Numbered as the store numbers them, in the store's memory, heard by no callback: taken whole.
  const bool whole = adopt && !Table->OnLoadRecord && !Table->OnLoadField && !target->EnableVersioning() &&
                     target->DeletedRecordCount() == 0 && target->RecordCount() == FNumberBase &&
                     target->NextRecordID() == FNumberBase && target->NextUniqueRecordID() == FUniqueBase &&
                     FUniqueBase + static_cast<Int64>(staged.size()) < 0x7FFFFFFF &&
                     target->TransactionLevel() == FStagedTransactionLevel;
  if (whole) {
    target->SetDeletedCount(target->DeletedCount() + FStagedDeleted);
    Table->FLoadCount += static_cast<int>(staged.size());
    target->AdoptNumberedRecords(staged);
  } else {
    target->ReserveRecords(static_cast<std::size_t>(target->RecordCount()) + staged.size());
  }
  for (std::size_t k = 0; k < staged.size(); ++k) {
    PvlxRecord rec = staged[k];
    if (!adopt) {
      // The table laid its fields out differently (a setup callback, calculated fields): move each
      // value into a record of the table's layout.
      PvlxRecord moved = target->_InternalAllocRecord();
      for (int i = 0; i < std::min(target->FieldCount(), FStagedLayout->FieldCount()); ++i) {
        const Byte* s = rec->Data + FStagedLayout->FieldOffset(i);
        Byte* d = moved->Data + target->FieldOffset(i);
        const bool sv = FStagedLayout->IsVarLength(i), dv = target->IsVarLength(i);
        const TvlxLayoutField& lf = target->LayoutField(i);
        const std::size_t size = static_cast<std::size_t>(TvlxCommon::ValueBytes(lf.DataType, lf.Size));
        d[0] = s[0];
        if (sv && dv && sameBlocks) {
          std::memcpy(d + 1, s + 1, 4);
          StoreU32(const_cast<Byte*>(s) + 1, 0);
        } else if (sv && dv) {
          const std::uint32_t h = LoadU32(s + 1);
          if (h) StoreU32(d + 1, target->Blocks().AllocCopy(stagedBlocks.Bytes(h), stagedBlocks.Length(h)));
        } else if (!sv && !dv) {
          std::memcpy(d + 1, s + 1, size);
        } else if (sv) {
          const std::uint32_t h = LoadU32(s + 1);
          if (h) std::memcpy(d + 1, stagedBlocks.Bytes(h), std::min<std::size_t>(size, stagedBlocks.Length(h)));
        } else if (s[0]) {
          StoreU32(d + 1, target->Blocks().AllocCopy(s + 1, static_cast<std::uint32_t>(size)));
        }
      }
      moved->UpdateStatus = rec->UpdateStatus;
      moved->PrevRecordVersion = nullptr;
      rec->Flag |= 1;
      FStagedLayout->_InternalFreeRecord(rec, true, true);
      rec = moved;
    }
    rec->Flag = 0;
    rec->TransactionLevel = target->TransactionLevel();
    if (OnLoadRecordAccepted(Table, rec)) {
      bool lastNumber;
      try {
        lastNumber = target->AppendRecord(rec);
      } catch (...) {
        rec->Flag |= 1;
        target->_InternalFreeRecord(rec, true, true);
        for (std::size_t rest = k + 1; rest < staged.size(); ++rest) {
          staged[rest]->Flag |= 1;
          FStagedLayout->_InternalFreeRecord(staged[rest], true, true);
        }
        throw;
      }
      if (lastNumber) {
        for (std::size_t rest = k + 1; rest < staged.size(); ++rest) {
          staged[rest]->Flag |= 1;
          FStagedLayout->_InternalFreeRecord(staged[rest], true, true);
        }
        if (rec->UpdateStatus == usDeleted) target->SetDeletedCount(target->DeletedCount() + 1);
        ++Table->FLoadCount;
        TvlxCommon::RaiseBookmarkCounter();
      }
    } else {
      rec->Flag |= 1;
      target->_InternalFreeRecord(rec, true, true);
      continue;
    }
    if (rec->UpdateStatus == usDeleted) target->SetDeletedCount(target->DeletedCount() + 1);
    ++Table->FLoadCount;
  }
  if (FHasAutoInc && FStagedAutoIncMax > target->AutoIncMax()) target->SetAutoIncMax(FStagedAutoIncMax);
  Table->FLoadedCompletely = FStagedComplete;
  // The list's room serves the next load's staging.
  staged.clear();
  if (staged.capacity() > FStaged.capacity()) FStaged.swap(staged);
  FStaging.reset();
  FStagingBlocks.reset();
  FStagedLayout = nullptr;
}

bool TvlxCustomBinaryStreamFormat::OnLoadRecordAccepted(TvlxCustomMemTable* Table, PvlxRecord Record) {
  if (!Table->OnLoadRecord && !Table->OnLoadField) return true;
  TvlxCustomMemTable::TOverrideBuffer over(*Table, Record);
  // The record's fields are heard once it is staged whole: the table's fields read it through the
  // override buffer.
  if (Table->OnLoadField)
    for (std::size_t i = 0; i < LoadFields.size(); ++i) {
      const int j = LoadFields[i];
      if (j < 0) continue;
      TField* f = Restructuring() ? (static_cast<std::size_t>(j) < FDefs.size() ? Table->FindField(FDefs[static_cast<std::size_t>(j)].Name) : nullptr)
                                  : (j < Table->FieldCount() ? Table->Fields()[j] : nullptr);
      if (f != nullptr) Table->OnLoadField(*Table, f->Index(), f);
    }
  if (!Table->OnLoadRecord) return true;
  bool accept = true;
  Table->OnLoadRecord(*Table, accept);
  return accept;
}

void TvlxCustomBinaryStreamFormat::DiscardLoad(TvlxCustomMemTable*) { FreeStaged(); }

void TvlxCustomBinaryStreamFormat::FinishLoad(TvlxCustomMemTable* Table, bool Succeeded) {
  Reader.reset();
  Table->SetOverrideActiveRecordBuffer(nullptr);
  FreeStaged();
  TvlxCustomStreamFormat::FinishLoad(Table, Succeeded);
}
