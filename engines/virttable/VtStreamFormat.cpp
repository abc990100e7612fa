#include "engines/virttable/VtStreamFormat.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <cstring>
#include <string>
#include <typeinfo>

#include "engines/virttable/VtTypes.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"
#include "platform/db/DataSet.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace vt {

const char16_t kUnsupportedFieldType[] =
    u"Field type is not supported by TVirtTable. \rValid types is String, WideString, Smallint, Integer, Word, "
    u"Boolean, Largeint, Float, ftSingle, ftExtended, Currency, Date, Time, DateTime, SQLTimeStamp, Blob, Memo, "
    u"Guid, Bcd, FmtBcd, Bytes, VarBytes, Variant";

namespace {

template <class T>
void Store(Byte* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

[[noreturn]] void Bad(const String& Reason) { throw EReadError(u"Invalid virtual table stream: " + Reason); }

String Num(Int64 v) { return Str(std::to_string(v)); }

// The framework's native date-time (milliseconds from 0001-01-01 as day 1) and the slot's date-time,
// the same arithmetic as the framework's conversions, inline: the stream carries one per row.
constexpr double kMSecsPerNativeDay = kMSecsPerDay;
constexpr double kMaxNativeDay = 3652059;  // 9999-12-31

// Ms, rounded to whole milliseconds, must lie within [day 1, day kMaxNativeDay + 1).
inline TDateTime NativeMSecsToDateTime(double Ms) {
  auto ms = static_cast<std::int64_t>(Ms);
  if (static_cast<double>(ms) != Ms) ms = static_cast<std::int64_t>(std::round(Ms));  // stored values are whole
  const std::int64_t days = ms / 86400000;
  const auto time = static_cast<std::int32_t>(ms - days * 86400000);
  const double d = static_cast<double>(days - kDateDelta);
  const double t = static_cast<double>(time) / kMSecsPerDay;
  return d < 0 ? d - t : d + t;
}

inline double DateTimeToNativeMSecs(TDateTime Value) {
  const double all = std::nearbyint(Value * kMSecsPerDay);
  if (!(std::fabs(all) < 9.2e18)) return 0;  // the zero stamp
  const auto ms = static_cast<std::int64_t>(all);
  const std::int64_t days = ms / 86400000;
  const std::int64_t time = (ms < 0 ? -ms : ms) % 86400000;
  return static_cast<double>(static_cast<std::int32_t>(kDateDelta + days)) * kMSecsPerDay + static_cast<double>(time);
}

// ---- writer ----

// The writer's output. A plain memory stream is written in place: the bytes go straight into its
// memory (grown as needed) and its size is set once at the end, so nothing is copied twice. Any other
// stream gets the bytes through a buffer of kChunk bytes.
class TOut {
 public:
  explicit TOut(TStream& Stream) : FStream(Stream) {
    if (typeid(Stream) == typeid(TMemoryStream) && Stream.Position() <= Stream.Size()) {
      FDirect = static_cast<TMemoryStream*>(&Stream);
      FStart = static_cast<std::size_t>(Stream.Position());
      Attach();
    } else {
      FOwn = std::make_unique_for_overwrite<Byte[]>(kChunk);
      FBuf = FOwn.get();
      FCap = kChunk;
    }
  }
  // Room for n more bytes at once (a memory stream grows to it in one step).
  void Reserve(std::size_t n) {
    if (FDirect && FCap - FUsed < n) Grow(n);
  }
  // n contiguous writable bytes at the end of what is written; Commit(end) then keeps those up to end.
  Byte* Room(std::size_t n) {
    if (FCap - FUsed < n) [[unlikely]] {
      if (FDirect) {
        Grow(n);
      } else {
        Flush();
        if (n > FCap) {
          FOwn = std::make_unique_for_overwrite<Byte[]>(n);
          FBuf = FOwn.get();
          FCap = n;
        }
      }
    }
    return FBuf + FUsed;
  }
  void Commit(const Byte* End) { FUsed = static_cast<std::size_t>(End - FBuf); }
  void Bytes(const void* p, std::size_t n) {
    if (FCap - FUsed < n) [[unlikely]] {
      if (!FDirect) {
        Flush();
        if (n > FCap) {
          FStream.WriteBuffer(p, static_cast<Int64>(n));
          return;
        }
      } else {
        Grow(n);
      }
    }
    std::memcpy(FBuf + FUsed, p, n);
    FUsed += n;
  }
  template <class T>
  void Value(T v) {
    if (FCap - FUsed < sizeof(T)) [[unlikely]] {
      if (FDirect) Grow(sizeof(T));
      else Flush();
    }
    std::memcpy(FBuf + FUsed, &v, sizeof(T));
    FUsed += sizeof(T);
  }
  void Name(const String& s) {
    const AnsiString a = sys::Utf16ToAnsi(s);
    if (a.size() > 0xFFFF) throw EWriteError(u"Field name too long: " + s);
    Value<Word>(static_cast<Word>(a.size()));
    Bytes(a.data(), a.size());
  }
  // Everything written reaches the stream; the stream's position is after it.
  void Finish() {
    if (!FDirect) {
      Flush();
      return;
    }
    if (!FUsed) return;
    // The last byte goes in through the stream itself: that sets its size and position without the
    // resize SetSize would do (which hands the spare capacity back, only for the next save to fault it
    // in again).
    const Int64 end = static_cast<Int64>(FStart + FUsed);
    const Byte last = FBuf[FUsed - 1];
    FDirect->SetPosition(end - 1);
    FDirect->WriteBuffer(&last, 1);
  }

 private:
  // Small enough to stay in the cache between flushes.
  static constexpr std::size_t kChunk = 256 << 10;
  void Flush() {
    if (FUsed) FStream.WriteBuffer(FBuf, static_cast<Int64>(FUsed));
    FUsed = 0;
  }
  void Attach() {
    FBuf = static_cast<Byte*>(FDirect->Memory()) + FStart;
    FCap = static_cast<std::size_t>(FDirect->Capacity()) - FStart;
  }
  __attribute__((noinline)) void Grow(std::size_t n) {
    // The bytes past the stream's size are kept by the resize: they are part of its capacity.
    const std::size_t want = std::max(FUsed + n, FCap + FCap / 2 + 4096);
    FDirect->SetCapacity(static_cast<Int64>(FStart + want));
    Attach();
  }

  TStream& FStream;
  TMemoryStream* FDirect = nullptr;
  std::size_t FStart = 0;
  std::unique_ptr<Byte[]> FOwn;
  Byte* FBuf = nullptr;
  std::size_t FCap = 0;
  std::size_t FUsed = 0;
};

void WriteValue(TOut& Out, TMemData& Data, const TFieldDesc& Desc, const Byte* Rec, std::vector<Byte>& Scratch) {
  // A blob is written by its content alone (null and empty both as L = 0), without the null test.
  if (!Desc.IsBlob() && Data.GetNull(Desc, Rec)) {
    Out.Value<std::int32_t>(0);
    return;
  }
  const Byte* slot = Rec + Desc.Offset;
  auto put = [&](const void* p, std::size_t n) {
    Out.Value<std::int32_t>(static_cast<std::int32_t>(n));
    Out.Bytes(p, n);
  };
  switch (Desc.DataType()) {
    case dtString: {
      const std::size_t n = ::strnlen(reinterpret_cast<const char*>(slot), Desc.Length);
      if (n == 0) put("", 1);
      else put(slot, n);
      return;
    }
    case dtWideString: {
      const std::size_t n = WideLength(slot, Desc.Length);
      if (n == 0) put("\0", 2);
      else put(slot, 2 * n);
      return;
    }
    case dtDate: case dtTime: {
      Byte b[8] = {};
      const double dt = LoadSlot<double>(slot);
      Store<std::int32_t>(b, Desc.DataType() == dtDate ? DateTimeToNativeDate(dt) : DateTimeToNativeTime(dt));
      put(b, 8);
      return;
    }
    case dtDateTime: {
      const double ms = DateTimeToNativeMSecs(LoadSlot<double>(slot));
      put(&ms, 8);
      return;
    }
    case dtVarBytes: put(slot + 2, LoadSlot<Word>(slot)); return;
    case dtBlob: case dtMemo: case dtWideMemo: {
      const std::uint32_t handle = LoadSlot<std::uint32_t>(slot);
      if (Data.Objects().IsPacked(handle)) {
        // Small content kept as bytes goes out as it is.
        const std::size_t n = Data.Objects().PackedSize(handle);
        Out.Value<std::int32_t>(static_cast<std::int32_t>(n));
        if (n) Out.Bytes(Data.Objects().PackedData(handle), n);
        return;
      }
      TBlob* blob = Data.GetObject(Desc, Rec);
      const Int64 size = blob ? blob->Size() : 0;
      if (size <= 0) {
        Out.Value<std::int32_t>(0);
        return;
      }
      if (!static_cast<const TCompressedBlob*>(blob)->Compressed()) {
        // Plain content goes out piece by piece, without a copy.
        Out.Value<std::int32_t>(static_cast<std::int32_t>(size));
        for (const auto& piece : blob->Data().Pieces()) Out.Bytes(piece.data(), piece.size());
        return;
      }
      Scratch.resize(static_cast<std::size_t>(size));
      const Int64 n = blob->Read(0, 0, Scratch.data());
      put(Scratch.data(), static_cast<std::size_t>(n));
      return;
    }
    case dtVariant: {
      const Variant v = Data.GetFieldAsVariant(Desc, Rec);
      Byte b[8];
      Word sub = static_cast<Word>(v.VType());
      switch (sub) {
        case kVarSmallint: Store<std::int16_t>(b, static_cast<std::int16_t>(v.AsInteger())); put(b, 2); break;
        case kVarInteger: Store<std::int32_t>(b, v.AsInteger()); put(b, 4); break;
        case kVarDouble: Store<double>(b, v.AsDouble()); put(b, 8); break;
        case kVarCurrency: Store<Int64>(b, v.AsCurrency().Scaled); put(b, 8); break;
        case kVarBoolean: Store<std::int16_t>(b, v.AsBoolean() ? -1 : 0); put(b, 2); break;
        case kVarShortInt: b[0] = static_cast<Byte>(v.AsInteger()); put(b, 1); break;
        case kVarByte: b[0] = static_cast<Byte>(v.AsInteger()); put(b, 1); break;
        case kVarWord: Store<Word>(b, static_cast<Word>(v.AsInteger())); put(b, 2); break;
        case kVarLongWord: Store<std::uint32_t>(b, static_cast<std::uint32_t>(v.AsInt64())); put(b, 4); break;
        case kVarInt64: Store<Int64>(b, v.AsInt64()); put(b, 8); break;
        case kVarOleStr: case kVarUString: {
          const String s = v.AsString();
          std::vector<Byte> w((s.size() + 1) * 2, 0);
          std::memcpy(w.data(), s.data(), s.size() * 2);
          put(w.data(), w.size());
          break;
        }
        case kVarString: {
          const AnsiString a = v.AsAnsiString();
          put(a.c_str(), a.size() + 1);
          break;
        }
        default: {
          char text[64];
          std::snprintf(text, sizeof text, "Variant subtype is not supported: %d", sub);
          throw Exception(std::string_view(text));
        }
      }
      Out.Value<Word>(sub);
      return;
    }
    case dtString + 1: case dtExtWideString: case dtExtVarBytes: case dtObject: case dtReference: case dtArray:
    case dtTable: case dtCursor: case dtUnknown:
      throw Exception(u"Unknown data type FieldDesc.DataType=" + Num(Desc.DataType()));
    default: put(slot, static_cast<std::size_t>(Desc.Size)); return;
  }
}

// ---- reader ----

// The bytes of a stream: a memory stream's own memory, any other stream read in chunks into a buffer
// that is refilled as the parse moves on (a whole file is never held twice).
class TIn {
 public:
  explicit TIn(std::span<const Byte> Bytes) : FData(Bytes.data()), FEnd(Bytes.size()), FTotal(Bytes.size()) {}
  TIn(TStream& Stream, std::size_t Total) : FStream(&Stream), FTotal(Total) {}
  // Bytes left in the whole stream.
  std::size_t Left() const { return FTotal - FBase - FPos; }
  // Makes n bytes readable at the position (a pointer from Take stays valid until the next Need).
  void Need(std::size_t n, const char16_t* What) {
    if (n > FEnd - FPos) [[unlikely]] {
      if (n > Left()) CutShort(What);
      Refill(n);
    }
  }
  [[noreturn]] __attribute__((noinline)) void CutShort(const char16_t* What) const {
    Bad(String(What) + u" is cut short at offset " + Num(static_cast<Int64>(FBase + FPos)));
  }
  template <class T>
  T Value(const char16_t* What) {
    Need(sizeof(T), What);
    const T v = LoadSlot<T>(FData + FPos);
    FPos += sizeof(T);
    return v;
  }
  const Byte* Take(std::size_t n, const char16_t* What) {
    Need(n, What);
    const Byte* p = FData + FPos;
    FPos += n;
    return p;
  }
  String Name(const char16_t* What) {
    const Word n = Value<Word>(What);
    const Byte* p = Take(n, What);
    return sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(p), n));
  }

 private:
  static constexpr std::size_t kChunk = 1 << 20;
  __attribute__((noinline)) void Refill(std::size_t n) {
    const std::size_t kept = FEnd - FPos;
    if (FBuffer.size() < std::max(n, kChunk)) {
      std::vector<Byte> bigger(std::max(n, kChunk));
      if (kept) std::memcpy(bigger.data(), FData + FPos, kept);
      FBuffer.swap(bigger);
    } else if (kept) {
      std::memmove(FBuffer.data(), FData + FPos, kept);
    }
    FBase += FPos;
    FPos = 0;
    const std::size_t more = std::min(FBuffer.size() - kept, FTotal - FBase - kept);
    FStream->ReadBuffer(FBuffer.data() + kept, static_cast<Int64>(more));
    FData = FBuffer.data();
    FEnd = kept + more;
  }

  TStream* FStream = nullptr;
  std::vector<Byte> FBuffer;
  const Byte* FData = nullptr;
  std::size_t FPos = 0;    // in FData
  std::size_t FEnd = 0;    // bytes readable in FData
  std::size_t FBase = 0;   // stream offset of FData[0]
  std::size_t FTotal = 0;  // stream size
};

bool IsSupportedType(TFieldType t) {
  switch (t) {
    case ftString: case ftWideString: case ftSmallint: case ftShortint: case ftByte: case ftInteger: case ftAutoInc:
    case ftWord: case ftBoolean: case ftLargeint: case ftLongWord: case ftFloat: case ftSingle: case ftExtended:
    case ftCurrency: case ftDate: case ftTime: case ftDateTime: case ftTimeStamp: case ftTimeStampOffset:
    case ftBlob: case ftMemo: case ftWideMemo: case ftGuid: case ftBCD: case ftFMTBcd: case ftBytes: case ftVarBytes: case ftVariant:
      return true;
    default:
      return false;
  }
}

// The byte count a fixed-size type always writes; 0 for types of variable length.
std::size_t FixedValueSize(const TStreamFieldDef& Def) {
  switch (Def.DataType) {
    case ftSmallint: case ftShortint: case ftByte: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftAutoInc: case ftLongWord: case ftSingle: return 4;
    case ftLargeint: case ftFloat: case ftCurrency: case ftBCD: case ftDate: case ftTime: case ftDateTime: return 8;
    case ftExtended: return 10;
    case ftTimeStamp: return 16;
    case ftTimeStampOffset: return 20;
    case ftFMTBcd: return Def.Precision >= 34 ? static_cast<std::size_t>(Def.Precision) + 2 : 34;
    case ftBytes: return static_cast<std::size_t>(Def.Size);
    case ftGuid: return static_cast<std::size_t>(Def.Size) + 1;
    default: return 0;
  }
}

std::size_t VariantValueSize(Word Sub) {
  switch (Sub) {
    case kVarShortInt: case kVarByte: return 1;
    case kVarSmallint: case kVarBoolean: case kVarWord: return 2;
    case kVarInteger: case kVarLongWord: return 4;
    case kVarDouble: case kVarCurrency: case kVarInt64: return 8;
    default: return 0;
  }
}

Variant DecodeVariant(Word Sub, const Byte* p, std::size_t L) {
  switch (Sub) {
    case kVarSmallint: return Variant(static_cast<int>(LoadSlot<std::int16_t>(p)));
    case kVarInteger: return Variant(LoadSlot<std::int32_t>(p));
    case kVarDouble: return Variant(LoadSlot<double>(p));
    case kVarCurrency: return Variant(Currency::FromScaled(LoadSlot<Int64>(p)));
    case kVarBoolean: return Variant(LoadSlot<std::int16_t>(p) != 0);
    case kVarShortInt: return Variant(static_cast<int>(static_cast<std::int8_t>(p[0])));
    case kVarByte: return Variant(static_cast<int>(p[0]));
    case kVarWord: return Variant(static_cast<int>(LoadSlot<Word>(p)));
    case kVarLongWord: return Variant(static_cast<long long>(LoadSlot<std::uint32_t>(p)));
    case kVarInt64: return Variant(static_cast<long long>(LoadSlot<Int64>(p)));
    case kVarOleStr: case kVarUString: {
      String s((L - 2) / 2, u'\0');
      std::memcpy(s.data(), p, s.size() * 2);
      return Variant(s);
    }
    case kVarString: return VarFromAnsi(AnsiString(reinterpret_cast<const char*>(p), L - 1));
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "Variant subtype is not supported: %d", Sub);
      throw Exception(std::string_view(text));
    }
  }
}

// A stored value as a dynamic value, by its stored type (for a field whose type differs).
Variant StoredAsVariant(const TStreamFieldDef& Def, const Byte* p, std::size_t L, Word Sub) {
  switch (Def.DataType) {
    case ftString: case ftGuid: case ftMemo: case ftBlob:
      return VarFromAnsi(AnsiString(reinterpret_cast<const char*>(p), ::strnlen(reinterpret_cast<const char*>(p), L)));
    case ftWideString: case ftWideMemo: {
      String s(L / 2, u'\0');
      std::memcpy(s.data(), p, s.size() * 2);
      if (const auto z = s.find(u'\0'); z != String::npos && Def.DataType == ftWideString) s.resize(z);
      return Variant(s);
    }
    case ftSmallint: return Variant(static_cast<int>(LoadSlot<std::int16_t>(p)));
    case ftShortint: return Variant(static_cast<int>(static_cast<std::int8_t>(p[0])));
    case ftByte: return Variant(static_cast<int>(p[0]));
    case ftWord: return Variant(static_cast<int>(LoadSlot<Word>(p)));
    case ftInteger: case ftAutoInc: return Variant(LoadSlot<std::int32_t>(p));
    case ftLongWord: return Variant(static_cast<long long>(LoadSlot<std::uint32_t>(p)));
    case ftLargeint: return Variant(static_cast<long long>(LoadSlot<Int64>(p)));
    case ftBoolean: return Variant(LoadSlot<Word>(p) != 0);
    case ftFloat: case ftCurrency: return Variant(LoadSlot<double>(p));
    case ftSingle: return Variant(static_cast<double>(LoadSlot<float>(p)));
    case ftBCD: return Variant(Currency::FromScaled(LoadSlot<Int64>(p)));
    case ftDate: return VarFromDateTime(NativeDateToDateTime(LoadSlot<std::int32_t>(p)));
    case ftTime: return VarFromDateTime(NativeTimeToDateTime(LoadSlot<std::int32_t>(p)));
    case ftDateTime: return VarFromDateTime(NativeDateTimeToDateTime(LoadSlot<double>(p)));
    case ftTimeStamp: {
      TSQLTimeStamp ts;
      std::memcpy(&ts, p, sizeof ts);
      return VarSQLTimeStampCreate(ts);
    }
    case ftTimeStampOffset: {
      TSQLTimeStampOffset ts;
      std::memcpy(&ts, p, sizeof ts);
      return VarSQLTimeStampOffsetCreate(ts);
    }
    case ftVariant: return DecodeVariant(Sub, p, L);
    case ftBytes: case ftVarBytes: return VarFromBytes(p, L);
    default: return Null();
  }
}

[[noreturn]] __attribute__((noinline)) void BadValue(const TStreamFieldDef& Def, Int64 Record, const char16_t* Why) {
  Bad(u"value of field '" + Def.Name + u"' in record " + Num(Record + 1) + u": " + Why);
}

// Checks a value's length against its stored type, before anything is copied.
void CheckLength(const TStreamFieldDef& Def, std::size_t L, Word Sub, Int64 Record) {
  auto fail = [&](const char16_t* Why) {
    Bad(u"value of field '" + Def.Name + u"' in record " + Num(Record + 1) + u": " + Why);
  };
  if (const std::size_t fixed = FixedValueSize(Def); fixed && L != fixed) fail(u"wrong length");
  switch (Def.DataType) {
    case ftWideString: case ftWideMemo: if (L % 2) fail(u"odd length for UTF-16 text"); break;
    case ftVarBytes: if (L > static_cast<std::size_t>(Def.Size)) fail(u"longer than the field"); break;
    case ftVariant: {
      const std::size_t want = VariantValueSize(Sub);
      if (want && L != want) fail(u"wrong length for its variant subtype");
      if ((Sub == kVarOleStr || Sub == kVarUString) && (L < 2 || L % 2)) fail(u"bad UTF-16 variant text");
      if (!want && Sub != kVarOleStr && Sub != kVarUString && Sub != kVarString) DecodeVariant(Sub, nullptr, 0);
      break;
    }
    default: break;
  }
}

// Puts a stored value of the same kind straight into its slot.
void PutSameType(TMemData& Data, const TFieldDesc& Desc, Byte* Rec, const TStreamFieldDef& Def, const Byte* p,
                 std::size_t L, Word Sub, Int64 Record) {
  Byte* slot = Rec + Desc.Offset;
  auto fail = [&](const char16_t* Why) {
    Bad(u"value of field '" + Def.Name + u"' in record " + Num(Record + 1) + u": " + Why);
  };
  switch (Desc.DataType()) {
    case dtString: case dtGuid: {
      std::size_t n = ::strnlen(reinterpret_cast<const char*>(p), L);
      n = sys::CutLength(std::string_view(reinterpret_cast<const char*>(p), n), static_cast<std::size_t>(Desc.Size) - 1);
      std::memcpy(slot, p, n);
      slot[n] = 0;
      break;
    }
    case dtWideString: {
      std::size_t n = 0;
      while (n < L / 2 && n < Desc.Length && (p[2 * n] || p[2 * n + 1])) ++n;
      std::memcpy(slot, p, 2 * n);
      slot[2 * n] = slot[2 * n + 1] = 0;
      break;
    }
    case dtDate: case dtTime: {
      const std::int32_t v = LoadSlot<std::int32_t>(p);
      if (Desc.DataType() == dtDate ? v <= 0 : (v < 0 || v >= 86400000)) fail(u"not a valid date or time");
      Store<double>(slot, Desc.DataType() == dtDate ? NativeDateToDateTime(v) : NativeTimeToDateTime(v));
      break;
    }
    case dtDateTime: {
      const double ms = LoadSlot<double>(p);
      if (!std::isfinite(ms) || ms < 0 || ms > 1e15) fail(u"not a valid date and time");
      Store<double>(slot, NativeDateTimeToDateTime(ms));
      break;
    }
    case dtVarBytes:
      Store<Word>(slot, static_cast<Word>(L));
      std::memcpy(slot + 2, p, L);
      break;
    case dtBlob: case dtMemo: case dtWideMemo: {
      // An empty value was written for an empty memo; it comes back null.
      TBlob* blob = Data.GetObject(Desc, Rec);
      blob->Write(0, static_cast<Int64>(L), p);
      blob->Commit();
      break;
    }
    case dtVariant: Data.PutFieldAsVariant(Desc, Rec, DecodeVariant(Sub, p, L), true); return;
    default:
      std::memcpy(slot, p, std::min<std::size_t>(L, static_cast<std::size_t>(Desc.Size)));
      break;
  }
  Data.SetNull(Desc, Rec, false);
}

}  // namespace

void AddFieldDescForFieldDef(TMemData& Data, const String& Name, TFieldType FieldType, int Size, bool Fixed,
                             bool Required, int Precision) {
  auto d = Data.CreateFieldDesc();
  d->FieldNo = static_cast<Word>(Data.Fields().Count() + 1);
  d->Name = Name;
  d->SetDataType(TFieldTypeMap::GetDataType(FieldType, 0));
  d->Required = Required;
  d->Fixed = Fixed;
  const bool refinedPrecision = Precision > 0 && Precision <= 10;
  switch (FieldType) {
    case ftString: d->Size = Size + 1; d->Length = static_cast<Word>(Size); break;
    case ftWideString: d->Size = (Size + 1) * 2; d->Length = static_cast<Word>(Size); break;
    // Precision only sets the number range: a 16-bit or 64-bit field keeps its width.
    case ftSmallint: case ftShortint: d->Size = 2; if (refinedPrecision && Precision <= 4) d->Length = static_cast<Word>(Precision); break;
    case ftByte: case ftWord: case ftBoolean: d->Size = 2; break;
    case ftInteger: case ftAutoInc: d->Size = 4; break;
    case ftLargeint: d->Size = 8; if (refinedPrecision) d->Length = static_cast<Word>(Precision); break;
    case ftLongWord: d->Size = 4; if (refinedPrecision) d->Length = static_cast<Word>(Precision); break;
    case ftFloat: case ftDate: case ftTime: case ftDateTime: d->Size = 8; d->Length = static_cast<Word>(Precision); break;
    case ftSingle: d->Size = 4; d->Length = static_cast<Word>(Precision); break;
    case ftExtended: d->Size = 10; d->Length = static_cast<Word>(Precision); break;
    case ftCurrency: d->Size = 8; break;
    case ftTimeStamp: d->Size = 16; d->Length = static_cast<Word>(Precision); break;
    case ftTimeStampOffset: d->Size = 20; d->Length = static_cast<Word>(Precision); break;
    case ftBlob: case ftMemo: case ftWideMemo: case ftVariant: d->Size = 4; break;
    case ftGuid: d->Size = Size + 1; d->Length = static_cast<Word>(Size); break;
    case ftBCD: d->Size = 8; d->Length = static_cast<Word>(Precision); d->Scale = static_cast<Word>(Size); break;
    case ftFMTBcd:
      d->Size = Precision >= 34 ? Precision + 2 : 34;
      d->Length = static_cast<Word>(Precision);
      d->Scale = static_cast<Word>(Size);
      break;
    case ftBytes: d->Size = Size; d->Length = static_cast<Word>(Size); break;
    case ftVarBytes: d->Size = Size + 2; d->Length = static_cast<Word>(Size); break;
    default: throw EDatabaseError(String(kUnsupportedFieldType));
  }
  if (Size < 0 || Size > 0xFFFF) throw EDatabaseError(String(msg::SInvalidFieldSize));
  Data.Fields().Add(std::move(d));
}

void WriteVirtTableStream(TStream& Stream, const std::vector<TStreamFieldDef>& Defs, TMemData& Data,
                          const TProgressFunc& Progress, const std::vector<TStreamPersistentField>& Persistent,
                          const TItemFilter& Include) {
  // What each definition writes, decided once. The common kinds of stored fields are written here
  // straight into room asked for once per row (their longest form is known); anything else (a blob
  // held as an object, a variant, a calculated field) goes through WriteValue and the checked output.
  enum class TOutKind : Byte { None, Plain, String, WideString, DateTime, Blob, General };
  struct TOutPlan {
    const TFieldDesc* Desc;
    TOutKind Kind;
    std::size_t NullAt;
    std::size_t Offset;
    std::size_t Size;  // Plain: the slot; String, WideString: the most characters
  };
  std::vector<TOutPlan> plans;
  std::size_t rowBound = 0;
  for (const auto& d : Defs) {
    const TFieldDesc* desc = Data.Active() ? Data.FindField(d.Name) : nullptr;
    TOutPlan plan{desc, desc ? TOutKind::General : TOutKind::None, 0, 0, 0};
    if (desc && desc->FieldDescKind != fdkCalculated) {
      plan.NullAt = static_cast<std::size_t>(Data.DataSize() + desc->FieldNo - 1);
      plan.Offset = static_cast<std::size_t>(desc->Offset);
      switch (desc->DataType()) {
        case dtInt16: case dtInt32: case dtInt64: case dtUInt16: case dtUInt32: case dtBoolean: case dtFloat:
        case dtCurrency: case dtSingle:
          plan.Kind = TOutKind::Plain;
          plan.Size = static_cast<std::size_t>(desc->Size);
          break;
        case dtString: plan.Kind = TOutKind::String; plan.Size = desc->Length; break;
        case dtWideString: plan.Kind = TOutKind::WideString; plan.Size = desc->Length; break;
        case dtDateTime: plan.Kind = TOutKind::DateTime; break;
        case dtBlob: case dtMemo: case dtWideMemo: plan.Kind = TOutKind::Blob; break;
        default: break;
      }
    }
    switch (plan.Kind) {
      case TOutKind::Plain: rowBound += 4 + plan.Size; break;
      case TOutKind::String: rowBound += 4 + std::max<std::size_t>(plan.Size, 1); break;
      case TOutKind::WideString: rowBound += 4 + 2 * std::max<std::size_t>(plan.Size, 1); break;
      case TOutKind::DateTime: rowBound += 12; break;
      case TOutKind::Blob: rowBound += 4 + kMaxPackedBlobSize; break;
      default: rowBound += 4; break;
    }
    plans.push_back(plan);
  }
  Int64 count = Data.Active() ? Data.RecordCount() : 0;
  if (Include && count) {
    count = 0;
    for (const TItemHeader* item = Data.FirstItem(); item; item = item->Next) count += Include(item) ? 1 : 0;
  }
  // Room for the whole stream before its first byte: an empty memory stream is then sized in one step
  // (from pages given back earlier, the rest fresh and filled by large pages) rather than first as a
  // small block that later grows by page faults one at a time.
  TOut out(Stream);
  Int64 bound = 16;
  for (const auto& d : Defs) bound += 12 + 3 * static_cast<Int64>(d.Name.size());
  for (const auto& f : Persistent) bound += 8 + 3 * static_cast<Int64>(f.Name.size());
  if (!Defs.empty()) bound += count * (Data.RecordSize() + 4 * static_cast<Int64>(Defs.size()) + 16);
  if (bound < (Int64{1} << 31)) out.Reserve(static_cast<std::size_t>(bound));
  out.Value<Word>(kStreamVersion);
  out.Value<Word>(static_cast<Word>(Defs.size()));
  for (const auto& d : Defs) {
    out.Name(d.Name);
    out.Value<Word>(static_cast<Word>(d.DataType));
    out.Value<Word>(static_cast<Word>(d.Size));
    out.Value<std::int32_t>(d.Precision);
  }
  out.Value<Word>(static_cast<Word>(Persistent.size()));
  for (const auto& f : Persistent) {
    out.Name(f.Name);
    out.Value<Word>(f.Kind);
    out.Value<Word>(f.DataType);
    out.Value<Word>(f.Size);
  }
  if (Defs.empty()) {
    out.Value<std::int32_t>(0);
    out.Finish();
    return;
  }
  if (Progress) Progress(0);
  out.Value<std::int32_t>(static_cast<std::int32_t>(count));
  const TSharedObjectTable& objects = Data.Objects();
  std::vector<Byte> scratch;
  Int64 n = 0;
  for (const TItemHeader* item = count ? Data.FirstItem() : nullptr; item; item = item->Next) {
    // The next item is somewhere else in memory: ask for it while this one is written.
    if (const TItemHeader* next = item->Next) {
      __builtin_prefetch(next);
      __builtin_prefetch(reinterpret_cast<const Byte*>(next) + 64);
    }
    if (Include && !Include(item)) continue;
    const Byte* rec = item->Record();
    Byte* p = out.Room(rowBound);
    auto length = [&p](std::size_t L) {
      Store<std::int32_t>(p, static_cast<std::int32_t>(L));
      p += 4;
    };
    for (const TOutPlan& plan : plans) {
      const Byte* slot = rec + plan.Offset;
      switch (plan.Kind) {
        case TOutKind::None: length(0); continue;
        case TOutKind::Plain:
          if (rec[plan.NullAt] == 1) {
            length(0);
          } else {
            length(plan.Size);
            std::memcpy(p, slot, plan.Size);
            p += plan.Size;
          }
          continue;
        case TOutKind::String:
          if (rec[plan.NullAt] == 1) {
            length(0);
          } else if (const std::size_t k = ::strnlen(reinterpret_cast<const char*>(slot), plan.Size); k == 0) {
            length(1);  // an empty text is its terminating zero
            *p++ = 0;
          } else {
            length(k);
            std::memcpy(p, slot, k);
            p += k;
          }
          continue;
        case TOutKind::WideString:
          if (rec[plan.NullAt] == 1) {
            length(0);
          } else if (const std::size_t k = WideLength(slot, plan.Size); k == 0) {
            length(2);
            *p++ = 0;
            *p++ = 0;
          } else {
            length(2 * k);
            std::memcpy(p, slot, 2 * k);
            p += 2 * k;
          }
          continue;
        case TOutKind::DateTime:
          if (rec[plan.NullAt] == 1) {
            length(0);
          } else {
            length(8);
            Store<double>(p, DateTimeToNativeMSecs(LoadSlot<double>(slot)));
            p += 8;
          }
          continue;
        case TOutKind::Blob: {
          // Null and empty both go out as L = 0, whatever the null flag says.
          const std::uint32_t handle = LoadSlot<std::uint32_t>(slot);
          if (!handle) {
            length(0);
            continue;
          }
          if (objects.IsPacked(handle)) {
            const std::size_t k = objects.PackedSize(handle);
            length(k);
            if (k) std::memcpy(p, objects.PackedData(handle), k);
            p += k;
            continue;
          }
          break;
        }
        case TOutKind::General: break;
      }
      // Through the checked output; the rest of the row then gets its room again.
      out.Commit(p);
      WriteValue(out, Data, *plan.Desc, rec, scratch);
      p = out.Room(rowBound);
    }
    out.Commit(p);
    ++n;
    if (Progress) Progress(static_cast<int>(std::nearbyint(static_cast<double>(n) * 100.0 / static_cast<double>(count))));
  }
  out.Finish();
}

bool IsXmlStream(const std::vector<Byte>& Head) {
  std::size_t i = Head.size() >= 3 && Head[0] == 0xEF && Head[1] == 0xBB && Head[2] == 0xBF ? 3 : 0;
  if (i >= Head.size() || Head[i] != '<') return false;
  ++i;
  if (i < Head.size() && Head[i] == '?') ++i;
  if (i + 3 > Head.size()) return false;
  auto lower = [](Byte c) { return static_cast<Byte>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
  return lower(Head[i]) == 'x' && lower(Head[i + 1]) == 'm' && lower(Head[i + 2]) == 'l';
}

TStreamContents ReadVirtTableStream(TStream& Stream, const std::function<TMemData&(const TStreamContents&)>& BuildStaging,
                                    const TProgressFunc& Progress) {
  Stream.SetPosition(0);
  const Int64 size = Stream.Size();
  if (size < static_cast<Int64>(kMinStreamSize)) {
    Byte head[kMinStreamSize];
    Stream.ReadBuffer(head, kMinStreamSize);  // raises the stream read error
  }
  // A memory stream is parsed in place; any other stream is read in chunks as the parse goes.
  auto* memory = dynamic_cast<TCustomMemoryStream*>(&Stream);
  std::optional<TIn> source;
  if (memory) source.emplace(std::span<const Byte>(static_cast<const Byte*>(memory->Memory()), static_cast<std::size_t>(size)));
  else source.emplace(Stream, static_cast<std::size_t>(size));
  TIn& in = *source;
  TStreamContents c;
  c.Version = in.Value<Word>(u"version");
  const Word defCount = in.Value<Word>(u"definition count");
  for (Word i = 0; i < defCount; ++i) {
    TStreamFieldDef d;
    d.Name = in.Name(u"definition name");
    if (d.Name.empty()) Bad(u"definition " + Num(i + 1) + u" has no name");
    for (const auto& other : c.Defs)
      if (AnsiSameText(other.Name, d.Name)) Bad(u"duplicate definition '" + d.Name + u"'");
    d.DataType = static_cast<TFieldType>(in.Value<Word>(u"definition type") & 0xFF);
    d.Size = in.Value<Word>(u"definition size");
    if (c.Version >= 3) d.Precision = in.Value<std::int32_t>(u"definition precision");
    if (!IsSupportedType(d.DataType)) Bad(u"definition '" + d.Name + u"' has an unsupported type " + Num(d.DataType));
    c.Defs.push_back(std::move(d));
  }
  if (c.Version != 0) {
    const Word persistent = in.Value<Word>(u"persistent field count");
    for (Word i = 0; i < persistent; ++i) {
      TStreamPersistentField f;
      f.Name = in.Name(u"persistent field name");
      f.Kind = in.Value<Word>(u"persistent field kind");
      if (f.Kind > 4) Bad(u"persistent field " + Num(i + 1) + u" has an unknown kind");
      f.DataType = in.Value<Word>(u"persistent field type");
      f.Size = in.Value<Word>(u"persistent field size");
      c.Persistent.push_back(std::move(f));
    }
  }
  c.RecordCount = in.Value<std::int32_t>(u"record count");
  const bool wideLengths = c.Version >= 2;
  const std::size_t lengthSize = wideLengths ? 4 : 2;
  if (c.RecordCount < 0) Bad(u"negative record count");
  if (c.RecordCount > 0 && c.Defs.empty()) Bad(u"records without definitions");
  if (static_cast<Int64>(c.RecordCount) * static_cast<Int64>(c.Defs.size() * lengthSize) > static_cast<Int64>(in.Left()))
    Bad(u"record count " + Num(c.RecordCount) + u" exceeds the bytes left");

  // What each definition's values need, decided once: the fixed length a value must have, and whether
  // it goes straight into a slot of the same kind or through a dynamic value (a changed type).
  // How a value of the same kind goes into its slot, decided once: the common kinds straight, the rest
  // through PutSameType.
  enum class TPut : Byte { Fixed2, Fixed4, Fixed8, DateTime, String, WideString, Blob, Other };
  struct TDefPlan {
    const TStreamFieldDef* Def;
    const TFieldDesc* Desc = nullptr;
    std::size_t Fixed = 0;
    bool Same = false;
    TPut Put = TPut::Other;
    std::size_t Offset = 0;
    std::size_t NullAt = 0;  // the null flag's place in the record
  };
  std::vector<TDefPlan> plans;
  for (const auto& d : c.Defs) plans.push_back({&d, nullptr, FixedValueSize(d), false});
  auto readLength = [&](const TStreamFieldDef& Def, std::int32_t Record) -> std::size_t {
    if (!wideLengths) return in.Value<Word>(u"value length");
    const std::int32_t v = in.Value<std::int32_t>(u"value length");
    if (v < 0) Bad(u"negative length of field '" + Def.Name + u"' in record " + Num(Record + 1));
    return static_cast<std::size_t>(v);
  };

  TMemData& staging = BuildStaging(c);
  for (TDefPlan& plan : plans) {
    plan.Desc = staging.FindField(plan.Def->Name);
    if (!plan.Desc) continue;
    const Word code = plan.Desc->DataType();
    plan.Same = TFieldTypeMap::GetDataType(plan.Def->DataType) == code &&
                (plan.Fixed == 0 || plan.Def->DataType == ftGuid || static_cast<int>(plan.Fixed) == plan.Desc->Size ||
                 code == dtDate || code == dtTime || code == dtDateTime);
    plan.Offset = static_cast<std::size_t>(plan.Desc->Offset);
    plan.NullAt = static_cast<std::size_t>(staging.DataSize() + plan.Desc->FieldNo - 1);
    switch (code) {
      // A fixed value's length equals the slot's size here (a same-kind value of another length is
      // refused before it is put).
      case dtInt16: case dtUInt16: case dtBoolean: case dtInt32: case dtUInt32: case dtSingle: case dtInt64:
      case dtFloat: case dtCurrency:
        plan.Put = plan.Fixed == 2 ? TPut::Fixed2 : plan.Fixed == 4 ? TPut::Fixed4 : plan.Fixed == 8 ? TPut::Fixed8 : TPut::Other;
        break;
      case dtDateTime: plan.Put = TPut::DateTime; break;
      case dtString: plan.Put = TPut::String; break;
      case dtWideString: plan.Put = TPut::WideString; break;
      case dtBlob: case dtMemo: case dtWideMemo: plan.Put = TPut::Blob; break;
      default: plan.Put = TPut::Other; break;
    }
  }
  // Every length is checked against the bytes left and against its type before anything is copied; a
  // bad value ends the read with the staging set thrown away, so nothing needs a pass of its own.
  staging.Reserve(c.RecordCount);
  TSharedObjectTable& objects = staging.Objects();
  // Blobs get their handle from their value (a small one packed at once); other complex values are
  // made before the row's values are read.
  std::vector<const TFieldDesc*> blobs, complexOthers;
  for (const auto& d : staging.Fields())
    if (d->IsComplex() && d->FieldDescKind != fdkCalculated) (d->IsBlob() ? blobs : complexOthers).push_back(d.get());
  if (Progress) Progress(0);
  for (std::int32_t r = 0; r < c.RecordCount; ++r) {
    Byte* const r0 = staging.NewRecord();
    for (const TFieldDesc* d : complexOthers) staging.CreateComplexField(r0, *d);
    try {
      for (const TDefPlan& plan : plans) {
        const TStreamFieldDef& def = *plan.Def;
        const std::size_t L = readLength(def, r);
        if (L == 0) continue;
        // A variant's subtype follows its bytes: both must be readable before the value is taken.
        if (def.DataType == ftVariant) in.Need(L + 2, u"value");
        const Byte* p = in.Take(L, u"value");
        Word sub = 0;
        if (plan.Fixed) {
          if (L != plan.Fixed) [[unlikely]]
            CheckLength(def, L, 0, r);
        } else {
          switch (def.DataType) {
            case ftString: case ftMemo: case ftBlob: break;
            case ftWideString: case ftWideMemo:
              if (L % 2) [[unlikely]]
                BadValue(def, r, u"odd length for UTF-16 text");
              break;
            case ftVariant: sub = in.Value<Word>(u"variant subtype"); [[fallthrough]];
            default: CheckLength(def, L, sub, r); break;
          }
        }
        const TFieldDesc* desc = plan.Desc;
        if (!desc) continue;
        if (!plan.Same) {
          // The field changed type since the value was stored: convert through a dynamic value, or
          // leave it null when that cannot be done.
          try {
            staging.PutFieldAsVariant(*desc, r0, StoredAsVariant(def, p, L, sub), true);
          } catch (const Exception&) {
            staging.SetNull(*desc, r0, true);
          }
          continue;
        }
        Byte* const slot = r0 + plan.Offset;
        switch (plan.Put) {
          // The common fixed kinds go straight into their slots.
          case TPut::Fixed2: std::memcpy(slot, p, 2); break;
          case TPut::Fixed4: std::memcpy(slot, p, 4); break;
          case TPut::Fixed8: std::memcpy(slot, p, 8); break;
          case TPut::DateTime: {
            const double ms = LoadSlot<double>(p);
            // Milliseconds from 0001-01-01 (day 1) to 9999-12-31.
            if (!(ms >= kMSecsPerNativeDay - 0.5 && ms < (kMaxNativeDay + 1) * kMSecsPerNativeDay - 0.5)) [[unlikely]]
              BadValue(def, r, u"not a valid date and time");
            Store<double>(slot, NativeMSecsToDateTime(ms));
            break;
          }
          case TPut::String: {
            std::size_t n = ::strnlen(reinterpret_cast<const char*>(p), L);
            if (n > static_cast<std::size_t>(desc->Size) - 1)
              n = sys::CutLength(std::string_view(reinterpret_cast<const char*>(p), n),
                                 static_cast<std::size_t>(desc->Size) - 1);
            std::memcpy(slot, p, n);
            slot[n] = 0;
            break;
          }
          case TPut::WideString: {
            const std::size_t n = WideLength(p, std::min<std::size_t>(L / 2, desc->Length));
            std::memcpy(slot, p, 2 * n);
            slot[2 * n] = slot[2 * n + 1] = 0;
            break;
          }
          case TPut::Blob:
            if (L <= kMaxPackedBlobSize && !LoadSlot<std::uint32_t>(slot)) {
              Store<std::uint32_t>(slot, objects.AddPacked(p, L, desc->DataType() == dtWideMemo));
              break;
            }
            if (!LoadSlot<std::uint32_t>(slot)) staging.CreateComplexField(r0, *desc);
            PutSameType(staging, *desc, r0, def, p, L, sub, r);
            continue;
          case TPut::Other: PutSameType(staging, *desc, r0, def, p, L, sub, r); continue;
        }
        r0[plan.NullAt] = 0;
      }
      for (const TFieldDesc* d : blobs)
        if (!LoadSlot<std::uint32_t>(r0 + d->Offset)) staging.CreateComplexField(r0, *d);
    } catch (...) {
      staging.DropNewRecord();
      throw;
    }
    staging.AppendNewRecord();
    if (Progress)
      Progress(static_cast<int>(std::nearbyint(static_cast<double>(r) * 100.0 / static_cast<double>(c.RecordCount))));
  }
  Stream.SetPosition(size);
  return c;
}

}  // namespace vt
