#include "platform/classes/ComponentStreaming.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "platform/classes/ClassRegistry.h"
#include "platform/classes/Collections.h"
#include "platform/classes/Properties.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Variant.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Utf.h"

static_assert(std::endian::native == std::endian::little, "the stream layout is written with host byte order");

namespace {

bool IsIntegerTag(TValueType t) { return t == vaInt8 || t == vaInt16 || t == vaInt32 || t == vaInt64; }

// UTF-8 length of UTF-16 text (unpaired surrogates count as U+FFFD, as the converter writes them).
using sys::Utf8Length;

String DecodeAnsiText(std::string_view bytes) {
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<Byte>(c) < 0x80; }))
    return String(bytes.begin(), bytes.end());
  return sys::AnsiToUtf16(bytes, sys::CP_ACP);
}

const char16_t* const kTagWords[] = {u"False", u"True", u"nil", u"Null"};

}  // namespace

// ---- TFiler -------------------------------------------------------------------------------------------

TFiler::TFiler(TStream* Stream, int BufSize) : FStream(Stream) {
  if (Stream == nullptr) throw EArgumentException(u"A filer needs a stream");
  // Room for the largest fixed-size value (tag + 10 bytes) whatever the caller asked for.
  FBuffer.resize(static_cast<size_t>(std::max(BufSize, 64)));
}

// ---- TWriter ------------------------------------------------------------------------------------------

TWriter::TWriter(TStream* Stream, int BufSize) : TFiler(Stream, BufSize) {}

TWriter::~TWriter() {
  try {
    FlushBuffer();
  } catch (...) {
    // Nothing can be reported from here; callers that care flush first.
  }
}

void TWriter::FlushBuffer() {
  if (FBufPos == 0) return;
  const size_t n = FBufPos;
  FBufPos = 0;
  FStream->WriteBuffer(FBuffer.data(), static_cast<Int64>(n));
}

Int64 TWriter::Position() const { return FStream->Position() + static_cast<Int64>(FBufPos); }

void TWriter::Write(const void* Buf, Int64 Count) {
  if (Count <= 0) return;
  const auto* p = static_cast<const Byte*>(Buf);
  size_t n = static_cast<size_t>(Count);
  if (n > FBuffer.size() - FBufPos) {
    FlushBuffer();
    if (n >= FBuffer.size()) {
      FStream->WriteBuffer(p, Count);
      return;
    }
  }
  std::memcpy(FBuffer.data() + FBufPos, p, n);
  FBufPos += n;
}

void TWriter::WriteSignature() { Write(kSignature, sizeof(kSignature)); }

void TWriter::WriteInteger(Int64 Value) {
  if (FBuffer.size() - FBufPos < 9) FlushBuffer();
  Byte* p = FBuffer.data() + FBufPos;
  if (Value >= INT8_MIN && Value <= INT8_MAX) {
    p[0] = vaInt8;
    p[1] = static_cast<Byte>(static_cast<std::int8_t>(Value));
    FBufPos += 2;
  } else if (Value >= INT16_MIN && Value <= INT16_MAX) {
    const auto v = static_cast<std::int16_t>(Value);
    p[0] = vaInt16;
    std::memcpy(p + 1, &v, 2);
    FBufPos += 3;
  } else if (Value >= INT32_MIN && Value <= INT32_MAX) {
    const auto v = static_cast<std::int32_t>(Value);
    p[0] = vaInt32;
    std::memcpy(p + 1, &v, 4);
    FBufPos += 5;
  } else {
    p[0] = vaInt64;
    std::memcpy(p + 1, &Value, 8);
    FBufPos += 9;
  }
}

void TWriter::WriteFloat(double Value) {
  if (FBuffer.size() - FBufPos < 11) FlushBuffer();
  Byte* p = FBuffer.data() + FBufPos;
  p[0] = vaExtended;
  const TExtended80Rec extended = DoubleToExtended(Value);
  std::memcpy(p + 1, extended.data(), extended.size());
  FBufPos += 11;
}

void TWriter::WriteExtended(const TExtended80Rec& Value) {
  if (FBuffer.size() - FBufPos < 11) FlushBuffer();
  Byte* p = FBuffer.data() + FBufPos;
  p[0] = vaExtended;
  std::memcpy(p + 1, Value.data(), Value.size());
  FBufPos += 11;
}

void TWriter::WriteSingle(float Value) {
  WriteValue(vaSingle);
  WriteRaw(Value);
}

void TWriter::WriteDouble(double Value) {
  WriteValue(vaDouble);
  WriteRaw(Value);
}

void TWriter::WriteCurrency(Currency Value) {
  WriteValue(vaCurrency);
  WriteRaw(Value.Scaled);
}

void TWriter::WriteDate(TDateTime Value) {
  WriteValue(vaDate);
  WriteRaw(Value);
}

void TWriter::WriteString(std::u16string_view Value) {
  bool non_ascii = false;
  const size_t utf8_length = Utf8Length(Value, non_ascii);
  if (utf8_length > static_cast<size_t>(INT32_MAX) || Value.size() > static_cast<size_t>(INT32_MAX / 2))
    throw EWriteError(msg::SWriteError);
  if (utf8_length >= 2 * Value.size()) {
    WriteWideString(Value);
    return;
  }
  if (!non_ascii) {
    if (utf8_length <= 255) {
      WriteValue(vaString);
      WriteByte(static_cast<Byte>(utf8_length));
    } else {
      WriteValue(vaLString);
      WriteRaw(static_cast<std::int32_t>(utf8_length));
    }
    // ASCII: one byte per unit, straight into the buffer.
    for (char16_t c : Value) WriteByte(static_cast<Byte>(c));
    return;
  }
  // The length field is taken from the bytes written, not from the estimate the choice was made on.
  // Encoded into a scratch buffer kept between calls: a table writes one text per row and field.
  thread_local std::string utf8;
  sys::Utf16ToUtf8(Value, utf8);
  WriteValue(vaUTF8String);
  WriteRaw(static_cast<std::int32_t>(utf8.size()));
  Write(utf8.data(), static_cast<Int64>(utf8.size()));
}

void TWriter::WriteWideString(std::u16string_view Value) {
  if (Value.size() > static_cast<size_t>(INT32_MAX / 2)) throw EWriteError(msg::SWriteError);
  WriteValue(vaWString);
  WriteRaw(static_cast<std::int32_t>(Value.size()));
  Write(Value.data(), static_cast<Int64>(Value.size() * 2));
}

void TWriter::WriteIdent(std::u16string_view Ident) {
  if (SameText(Ident, u"False")) return WriteValue(vaFalse);
  if (SameText(Ident, u"True")) return WriteValue(vaTrue);
  if (SameText(Ident, u"Null")) return WriteValue(vaNull);
  if (SameText(Ident, u"nil")) return WriteValue(vaNil);
  WriteValue(vaIdent);
  WriteStr(Ident);
}

void TWriter::WriteBinary(const void* Data, Int64 Count) {
  if (Count < 0 || Count > INT32_MAX) throw EWriteError(msg::SWriteError);
  WriteValue(vaBinary);
  WriteRaw(static_cast<std::int32_t>(Count));
  Write(Data, Count);
}

void TWriter::WriteStr(std::u16string_view Value) {
  bool non_ascii = false;
  const size_t n = Utf8Length(Value, non_ascii);
  if (!non_ascii) {
    if (n > 255) throw EWriteError(msg::SWriteError);
    WriteByte(static_cast<Byte>(n));
    for (char16_t c : Value) WriteByte(static_cast<Byte>(c));
    return;
  }
  const UTF8String utf8 = StringToUTF8(Value);
  WriteUTF8Str(utf8);
}

void TWriter::WriteObjectName(std::u16string_view Name) {
  bool non_ascii = false;
  if (Utf8Length(Name, non_ascii) > kMaxObjectNameBytes)
    throw EWriteError(Format(u"Name too long to stream (%d bytes at most): %s",
                             {static_cast<int>(kMaxObjectNameBytes), String(Name.substr(0, 32)) + u"..."}));
  WriteStr(Name);
}

void TWriter::WriteUTF8Str(std::string_view Utf8) {
  if (Utf8.size() > 255) throw EWriteError(msg::SWriteError);
  WriteByte(static_cast<Byte>(Utf8.size()));
  Write(Utf8.data(), static_cast<Int64>(Utf8.size()));
}

void TWriter::WriteVariant(const Variant& Value) {
  const TVarType type = VarType(Value);
  if (type & (varArray | varByRef)) throw EWriteError(msg::SWriteError);
  switch (type & varTypeMask) {
    case varEmpty: return WriteValue(vaNil);
    case varNull: return WriteValue(vaNull);
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64: return WriteInteger(Value.AsInt64());
    case varUInt64: {
      const UInt64 v = Value.VUInt64();
      if (v > static_cast<UInt64>(INT64_MAX)) throw EWriteError(msg::SWriteError);
      return WriteInteger(static_cast<Int64>(v));
    }
    case varSingle: return WriteSingle(Value.VSingle());
    case varDouble: return WriteFloat(Value.VDouble());
    case varCurrency: return WriteCurrency(Value.VCurrency());
    case varDate: return WriteDate(Value.VDate());
    case varBoolean: return WriteBoolean(Value.VBoolean());
    case varOleStr:
    case varUString: return WriteString(Value.VUString());
    case varDispatch:
    case varUnknown:
    case varError:
    case varVariant: throw EWriteError(msg::SWriteError);
    default: return WriteString(VarToStr(Value));  // 8-bit text, SQL time stamps, FMT BCD
  }
}

void TWriter::WriteListVariant(const Variant& Value) {
  if (VarIsNull(Value)) return WriteValue(vaNil);
  WriteVariant(Value);
}

void TWriter::WritePrefix(TFilerFlags Flags, int ChildPos) {
  if (Flags == 0) return;
  WriteByte(static_cast<Byte>(kFilerPrefixMask | Flags));
  if (Flags & ffChildPos) WriteInteger(ChildPos);
}

void TWriter::Enter() {
  if (++FDepth > kMaxNestingDepth) {
    --FDepth;
    throw EWriteError(msg::SWriteError);
  }
}

template <class Body>
void TWriter::WriteNested(const String& Path, Body&& WriteBody) {
  Enter();
  const String saved = std::exchange(FPropPath, Path);
  try {
    WriteBody();
  } catch (...) {
    FPropPath = saved;
    Leave();
    throw;
  }
  FPropPath = saved;
  Leave();
}

void TWriter::WriteRootComponent(TComponent* Root) { WriteDescendent(Root, nullptr); }

void TWriter::WriteDescendent(TComponent* Root, TComponent* AAncestor) {
  FRoot = Root;
  FLookupRoot = Root;
  FAncestor = AAncestor;
  WriteSignature();
  WriteComponent(Root);
}

void TWriter::WriteComponent(TComponent* Component) {
  const bool was_writing = Component->HasState(csWriting);
  Component->SetState(csWriting, true);
  try {
    Component->WriteState(this);
  } catch (...) {
    Component->SetState(csWriting, was_writing);
    throw;
  }
  Component->SetState(csWriting, was_writing);
}

void TWriter::WriteData(TComponent* Instance) {
  Enter();
  WritePrefix(0, 0);
  WriteObjectName(Instance->ClassName());
  WriteObjectName(Instance->Name());
  WriteProperties(Instance);
  WriteListEnd();
  if (!FIgnoreChildren) Instance->GetChildren([this](TComponent* Child) { WriteComponent(Child); }, FRoot);
  WriteListEnd();
  Leave();
}

void TWriter::WriteProperties(const TPersistent* Instance) {
  for (const TPropInfo& prop : Instance->PropList()) WriteProperty(Instance, prop);
  const_cast<TPersistent*>(Instance)->DefineProperties(this);
}

void TWriter::WritePropName(const String& Name) { WriteStr(FPropPath.empty() ? Name : FPropPath + Name); }

void TWriter::WriteProperty(const TPersistent* Instance, const TPropInfo& Prop) {
  if (Prop.Stored && !Prop.Stored(*Instance)) return;
  switch (Prop.Kind) {
    case TPropKind::pkInteger:
    case TPropKind::pkBoolean:
    case TPropKind::pkEnumeration:
    case TPropKind::pkSet:
    case TPropKind::pkCurrency: {
      const Int64 v = Prop.GetOrd(*Instance);
      if (Prop.Default && *Prop.Default == v) return;
      if (Prop.Kind == TPropKind::pkEnumeration && (v < 0 || v >= static_cast<Int64>(Prop.Names.size())))
        throw EWriteError(msg::SInvalidPropertyValue);
      WritePropName(Prop.Name);
      switch (Prop.Kind) {
        case TPropKind::pkInteger: WriteInteger(v); break;
        case TPropKind::pkBoolean: WriteBoolean(v != 0); break;
        case TPropKind::pkEnumeration: WriteIdent(Prop.Names[static_cast<size_t>(v)]); break;
        case TPropKind::pkCurrency: WriteCurrency(Currency::FromScaled(v)); break;
        default:
          WriteValue(vaSet);
          for (size_t i = 0; i < Prop.Names.size() && i < 64; ++i)
            if ((static_cast<UInt64>(v) >> i) & 1) WriteStr(Prop.Names[i]);
          WriteByte(0);
          break;
      }
      return;
    }
    case TPropKind::pkFloat:
    case TPropKind::pkSingle:
    case TPropKind::pkDate: {
      const double v = Prop.GetFloat(*Instance);
      if (v == 0 && !std::signbit(v)) return;
      WritePropName(Prop.Name);
      if (Prop.Kind == TPropKind::pkFloat)
        WriteFloat(v);
      else if (Prop.Kind == TPropKind::pkSingle)
        WriteSingle(static_cast<float>(v));
      else
        WriteDate(v);
      return;
    }
    case TPropKind::pkString: {
      const String v = Prop.GetStr(*Instance);
      if (v.empty()) return;
      WritePropName(Prop.Name);
      WriteString(v);
      return;
    }
    case TPropKind::pkPersistent: {
      const TPersistent* sub = Prop.GetObject(*Instance);
      if (sub == nullptr) return;
      WriteNested(FPropPath + Prop.Name + u'.', [&] { WriteProperties(sub); });
      return;
    }
    case TPropKind::pkCollection: {
      const auto* collection = dynamic_cast<const TCollection*>(Prop.GetObject(*Instance));
      if (collection == nullptr || collection->Count() == 0) return;
      WritePropName(Prop.Name);
      WriteCollection(collection);
      return;
    }
    case TPropKind::pkComponent: {
      const auto* c = dynamic_cast<const TComponent*>(Prop.GetObject(*Instance));
      if (c == nullptr || c->Name().empty()) return;
      String name = c->Name();
      if (c->Owner() != nullptr && c->Owner() != FLookupRoot && c != FLookupRoot) {
        if (c->Owner()->Name().empty()) return;  // not reachable by name from the stream
        name = c->Owner()->Name() + u'.' + name;
      }
      WritePropName(Prop.Name);
      WriteValue(vaIdent);
      WriteStr(name);
      return;
    }
  }
}

// Item properties are named from the item, not from the property that holds the collection.
void TWriter::WriteCollection(const TCollection* Value) {
  WriteNested(String(), [&] {
    WriteValue(vaCollection);
    if (Value != nullptr) {
      for (int i = 0; i < Value->Count(); ++i) {
        WriteListBegin();
        WriteProperties(Value->Items(i));
        WriteListEnd();
      }
    }
    WriteListEnd();
  });
}

void TWriter::DefineProperty(const String& Name, const TReaderProc&, const TWriterProc& WriteData, bool HasData) {
  if (!HasData || !WriteData) return;
  WritePropName(Name);
  WriteData(this);
}

void TWriter::DefineBinaryProperty(const String& Name, const TStreamProc&, const TStreamProc& WriteData,
                                   bool HasData) {
  if (!HasData || !WriteData) return;
  WritePropName(Name);
  TMemoryStream data;
  WriteData(&data);
  WriteBinary(data.Memory(), data.Size());
}

// ---- TReader ------------------------------------------------------------------------------------------

TReader::TReader(TStream* Stream, int BufSize) : TFiler(Stream, BufSize) { FBufStart = Stream->Position(); }

TReader::~TReader() {
  try {
    FlushBuffer();
  } catch (...) {
  }
}

void TReader::FlushBuffer() {
  const Int64 pos = Position();
  if (FBufEnd != FBufPos) FStream->SetPosition(pos);
  FBufStart = pos;
  FBufPos = FBufEnd = 0;
}

Int64 TReader::Position() const { return FBufStart + static_cast<Int64>(FBufPos); }

void TReader::SetPosition(Int64 Value) {
  if (Value >= FBufStart && Value <= FBufStart + static_cast<Int64>(FBufEnd)) {
    FBufPos = static_cast<size_t>(Value - FBufStart);
    return;
  }
  FStream->SetPosition(Value);
  FBufStart = Value;
  FBufPos = FBufEnd = 0;
}

void TReader::Fill(size_t Count) {
  if (FBufPos > 0) {
    std::memmove(FBuffer.data(), FBuffer.data() + FBufPos, FBufEnd - FBufPos);
    FBufStart += static_cast<Int64>(FBufPos);
    FBufEnd -= FBufPos;
    FBufPos = 0;
  }
  while (FBufEnd < Count) {
    const Int64 n = FStream->Read(FBuffer.data() + FBufEnd, static_cast<Int64>(FBuffer.size() - FBufEnd));
    if (n <= 0) throw EReadError(msg::SReadError);
    FBufEnd += static_cast<size_t>(n);
  }
}

Int64 TReader::BytesLeft() {
  const Int64 buffered = static_cast<Int64>(FBufEnd - FBufPos);
  const Int64 stream_pos = FBufStart + static_cast<Int64>(FBufEnd);
  if (FStreamSize < stream_pos) FStreamSize = FStream->Size();
  return buffered + std::max<Int64>(0, FStreamSize - stream_pos);
}

void TReader::Read(void* Buf, Int64 Count) {
  if (Count < 0) throw EReadError(msg::SReadError);
  auto* out = static_cast<Byte*>(Buf);
  size_t n = static_cast<size_t>(Count);
  const size_t buffered = FBufEnd - FBufPos;
  if (n <= buffered) {
    if (n != 0) std::memcpy(out, FBuffer.data() + FBufPos, n);
    FBufPos += n;
    return;
  }
  if (n < FBuffer.size()) {
    Fill(n);
    std::memcpy(out, FBuffer.data() + FBufPos, n);
    FBufPos += n;
    return;
  }
  // Large blocks go straight from the stream.
  if (buffered != 0) std::memcpy(out, FBuffer.data() + FBufPos, buffered);
  FBufStart += static_cast<Int64>(FBufEnd);
  FBufPos = FBufEnd = 0;
  const Int64 rest = static_cast<Int64>(n - buffered);
  const Int64 got = FStream->Read(out + buffered, rest);
  if (got > 0) FBufStart += got;
  if (got != rest) throw EReadError(msg::SReadError);
}

void TReader::SkipBytes(Int64 Count) {
  if (Count < 0 || Count > BytesLeft()) throw EReadError(msg::SReadError);
  const size_t buffered = FBufEnd - FBufPos;
  if (static_cast<UInt64>(Count) <= buffered) {
    FBufPos += static_cast<size_t>(Count);
    return;
  }
  SetPosition(Position() + Count);
}

Int64 TReader::ReadLength() {
  const auto n = ReadRaw<std::int32_t>();
  // Checked before anything is allocated for it: a hostile length must not cost memory.
  if (n < 0 || n > BytesLeft()) throw EReadError(msg::SReadError);
  return n;
}

void TReader::PropValueError() { throw EReadError(msg::SInvalidPropertyValue); }

void TReader::Enter() {
  if (++FDepth > kMaxNestingDepth) {
    --FDepth;
    throw EReadError(msg::SInvalidImage);
  }
}

// Every public read puts the reader back at the start of its value when it fails, so the position
// after an error is defined: the value that could not be read is the next one.
#define VELLUM_READ_GUARDED(body)      \
  const Int64 start__ = Position();    \
  try {                                \
    body                               \
  } catch (...) {                      \
    try {                              \
      SetPosition(start__);            \
    } catch (...) {                    \
    }                                  \
    throw;                             \
  }

TValueType TReader::ReadValue() { return static_cast<TValueType>(ReadByte()); }

TValueType TReader::NextValue() {
  if (FBufPos == FBufEnd) Fill(1);
  return static_cast<TValueType>(FBuffer[FBufPos]);
}

void TReader::CheckValue(TValueType Value) {
  VELLUM_READ_GUARDED(if (ReadValue() != Value) PropValueError();)
}

void TReader::ReadSignature() {
  VELLUM_READ_GUARDED(Byte sig[4]; Read(sig, 4); if (std::memcmp(sig, kSignature, 4) != 0) throw EReadError(msg::SInvalidImage);)
}

void TReader::ReadPrefix(TFilerFlags& Flags, int& AChildPos) {
  Flags = 0;
  AChildPos = 0;
  if ((NextValue() & kFilerPrefixMask) != kFilerPrefixMask) return;
  VELLUM_READ_GUARDED(Flags = static_cast<TFilerFlags>(ReadByte() & 0x0F);
                      if (Flags & ffChildPos) AChildPos = ReadInteger();)
}

Int64 TReader::ReadIntegerOfTag(TValueType Tag) {
  switch (Tag) {
    case vaInt8: return ReadRaw<std::int8_t>();
    case vaInt16: return ReadRaw<std::int16_t>();
    case vaInt32: return ReadRaw<std::int32_t>();
    case vaInt64: return ReadRaw<Int64>();
    default: PropValueError();
  }
}

double TReader::ReadExtendedData() {
  if (FBufEnd - FBufPos < 10) Fill(10);
  const double v = ExtendedToDouble(FBuffer.data() + FBufPos);
  FBufPos += 10;
  return v;
}

int TReader::ReadInteger() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); if (tag == vaInt64) PropValueError();
                      return static_cast<int>(ReadIntegerOfTag(tag));)
}

Int64 TReader::ReadInt64() { VELLUM_READ_GUARDED(return ReadIntegerOfTag(ReadValue());) }

double TReader::ReadFloat() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); if (tag == vaExtended) return ReadExtendedData();
                      if (tag == vaDouble) return ReadRaw<double>();
                      return static_cast<double>(ReadIntegerOfTag(tag));)
}

TExtended80Rec TReader::ReadExtended() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); if (tag == vaExtended) {
    if (FBufEnd - FBufPos < 10) Fill(10);
    TExtended80Rec v;
    std::memcpy(v.data(), FBuffer.data() + FBufPos, v.size());
    FBufPos += 10;
    return v;
  } if (tag == vaDouble) return DoubleToExtended(ReadRaw<double>());
                      return Int64ToExtended(ReadIntegerOfTag(tag));)
}

float TReader::ReadSingle() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); if (tag == vaSingle) return ReadRaw<float>();
                      return static_cast<float>(ReadIntegerOfTag(tag));)
}

Currency TReader::ReadCurrency() {
  VELLUM_READ_GUARDED(
      const TValueType tag = ReadValue(); if (tag == vaCurrency) return Currency::FromScaled(ReadRaw<Int64>());
      if (tag == vaExtended || tag == vaDouble) {
        const double v = (tag == vaExtended ? ReadExtendedData() : ReadRaw<double>()) * Currency::kScale;
        if (!(std::fabs(v) < 9.2e18)) PropValueError();
        return Currency::FromScaled(static_cast<Int64>(std::llround(v)));
      } const Int64 v = ReadIntegerOfTag(tag);
      Int64 scaled; if (__builtin_mul_overflow(v, Currency::kScale, &scaled)) PropValueError();
      return Currency::FromScaled(scaled);)
}

TDateTime TReader::ReadDate() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); if (tag == vaDate) return ReadRaw<double>();
                      return static_cast<double>(ReadIntegerOfTag(tag));)
}

bool TReader::ReadBoolean() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); if (tag == vaTrue) return true;
                      if (tag == vaFalse) return false; PropValueError();)
}

String TReader::ReadStringOfTag(TValueType Tag) {
  switch (Tag) {
    case vaString:
    case vaLString:
    case vaUTF8String: {
      const Int64 n = Tag == vaString ? ReadByte() : ReadLength();
      if (Tag == vaString && n > BytesLeft()) throw EReadError(msg::SReadError);
      FScratch.resize(static_cast<size_t>(n));
      Read(FScratch.data(), n);
      return Tag == vaUTF8String ? UTF8ToString(FScratch) : DecodeAnsiText(FScratch);
    }
    case vaWString: {
      const auto count = ReadRaw<std::int32_t>();
      if (count < 0 || static_cast<Int64>(count) * 2 > BytesLeft()) throw EReadError(msg::SReadError);
      String s(static_cast<size_t>(count), u'\0');
      Read(s.data(), static_cast<Int64>(count) * 2);
      return s;
    }
    default: PropValueError();
  }
}

String TReader::ReadString() { VELLUM_READ_GUARDED(return ReadStringOfTag(ReadValue());) }

String TReader::ReadStr() {
  VELLUM_READ_GUARDED(const Byte n = ReadByte(); if (n > BytesLeft()) throw EReadError(msg::SReadError);
                      FScratch.resize(n); Read(FScratch.data(), n); return UTF8ToString(FScratch);)
}

String TReader::ReadIdent() {
  VELLUM_READ_GUARDED(const TValueType tag = ReadValue(); switch (tag) {
    case vaIdent: {
      const Byte n = ReadByte();
      if (n > BytesLeft()) throw EReadError(msg::SReadError);
      FScratch.resize(n);
      Read(FScratch.data(), n);
      return UTF8ToString(FScratch);
    }
    case vaFalse: return kTagWords[0];
    case vaTrue: return kTagWords[1];
    case vaNil: return kTagWords[2];
    case vaNull: return kTagWords[3];
    default: PropValueError();
  })
}

std::vector<Byte> TReader::ReadBinary() {
  VELLUM_READ_GUARDED(if (ReadValue() != vaBinary) PropValueError(); const Int64 n = ReadLength();
                      std::vector<Byte> bytes(static_cast<size_t>(n)); Read(bytes.data(), n); return bytes;)
}

Variant TReader::ReadVariant() {
  VELLUM_READ_GUARDED(
      const TValueType tag = NextValue(); switch (tag) {
        case vaNil: ReadValue(); return Variant();
        case vaNull: ReadValue(); return Null();
        case vaInt8:
        case vaInt16:
        case vaInt32: return Variant(ReadInteger());
        case vaInt64: return Variant(static_cast<long long>(ReadInt64()));
        case vaExtended:
        case vaDouble: return Variant(ReadFloat());
        case vaSingle: return Variant(ReadSingle());
        case vaCurrency: return Variant(ReadCurrency());
        case vaDate: return VarFromDateTime(ReadDate());
        case vaString:
        case vaLString:
        case vaWString:
        case vaUTF8String: return Variant(ReadString());
        case vaFalse:
        case vaTrue: return Variant(ReadBoolean());
        case vaBinary: return VarFromBytes(ReadBinary());
        default: PropValueError();
      })
}

void TReader::SkipValueOfTag(TValueType Tag) {
  switch (Tag) {
    case vaNull:
    case vaFalse:
    case vaTrue:
    case vaNil: return;
    case vaList:
      Enter();
      while (!EndOfList()) SkipValue();
      ReadValue();
      Leave();
      return;
    case vaInt8: return SkipBytes(1);
    case vaInt16: return SkipBytes(2);
    case vaInt32:
    case vaSingle: return SkipBytes(4);
    case vaExtended: return SkipBytes(10);
    case vaCurrency:
    case vaDate:
    case vaInt64:
    case vaDouble: return SkipBytes(8);
    case vaString:
    case vaIdent: return SkipBytes(ReadByte());
    case vaBinary:
    case vaLString:
    case vaUTF8String: return SkipBytes(ReadLength());
    case vaWString: {
      const auto count = ReadRaw<std::int32_t>();
      if (count < 0) throw EReadError(msg::SReadError);
      return SkipBytes(static_cast<Int64>(count) * 2);
    }
    case vaSet:
      for (Byte n = ReadByte(); n != 0; n = ReadByte()) SkipBytes(n);
      return;
    case vaCollection:
      Enter();
      while (!EndOfList()) {
        if (IsIntegerTag(NextValue())) SkipValue();
        CheckValue(vaList);
        while (!EndOfList()) {
          SkipBytes(ReadByte());  // property name
          SkipValue();
        }
        ReadValue();
      }
      ReadValue();
      Leave();
      return;
  }
  PropValueError();
}

void TReader::SkipValue() { VELLUM_READ_GUARDED(SkipValueOfTag(ReadValue());) }

// ---- TReader: objects ---------------------------------------------------------------------------------

void TReader::DefineProperty(const String& Name, const TReaderProc& ReadData, const TWriterProc&, bool) {
  if (FPropName.empty() || !SameText(Name, FPropName)) return;
  FPropName.clear();
  if (ReadData)
    ReadData(this);
  else
    SkipValue();
}

void TReader::DefineBinaryProperty(const String& Name, const TStreamProc& ReadData, const TStreamProc&, bool) {
  if (FPropName.empty() || !SameText(Name, FPropName)) return;
  FPropName.clear();
  std::vector<Byte> bytes = ReadBinary();
  if (!ReadData) return;
  TBytesStream data(bytes);
  ReadData(&data);
}

void TReader::ReadProperty(TPersistent* Instance) {
  const String path = ReadStr();
  TPersistent* target = Instance;
  size_t begin = 0;
  for (size_t dot = path.find(u'.'); dot != String::npos; dot = path.find(u'.', begin)) {
    const TPropInfo* sub = target->PropList().Find(std::u16string_view(path).substr(begin, dot - begin));
    if (sub == nullptr || sub->Kind != TPropKind::pkPersistent || sub->GetObject(*target) == nullptr)
      throw EReadError(Format(u"Property %s does not exist", {path}));
    target = sub->GetObject(*target);
    begin = dot + 1;
  }
  FPropName = path.substr(begin);
  target->DefineProperties(this);
  if (FPropName.empty()) return;  // a defined property took it
  const TPropInfo* prop = target->PropList().Find(FPropName);
  FPropName.clear();
  if (prop == nullptr) throw EReadError(Format(u"Property %s does not exist", {path}));
  ReadPropValue(target, *prop);
}

void TReader::ReadPropValue(TPersistent* Instance, const TPropInfo& Prop) {
  switch (Prop.Kind) {
    case TPropKind::pkInteger: return Prop.SetOrd(*Instance, ReadInt64());
    case TPropKind::pkBoolean: return Prop.SetOrd(*Instance, ReadBoolean() ? 1 : 0);
    case TPropKind::pkEnumeration: return Prop.SetOrd(*Instance, Prop.OrdinalOf(ReadIdent()));
    case TPropKind::pkCurrency: return Prop.SetOrd(*Instance, ReadCurrency().Scaled);
    case TPropKind::pkSet: {
      CheckValue(vaSet);
      UInt64 mask = 0;
      for (String name = ReadStr(); !name.empty(); name = ReadStr()) {
        const Int64 bit = Prop.OrdinalOf(name);
        if (bit >= 64) PropValueError();
        mask |= UInt64{1} << bit;
      }
      return Prop.SetOrd(*Instance, static_cast<Int64>(mask));
    }
    case TPropKind::pkFloat: return Prop.SetFloat(*Instance, ReadFloat());
    case TPropKind::pkSingle: return Prop.SetFloat(*Instance, ReadSingle());
    case TPropKind::pkDate: return Prop.SetFloat(*Instance, ReadDate());
    case TPropKind::pkString: return Prop.SetStr(*Instance, ReadString());
    case TPropKind::pkPersistent:
      if (NextValue() != vaNil) PropValueError();
      ReadValue();
      return;
    case TPropKind::pkCollection: {
      auto* collection = dynamic_cast<TCollection*>(Prop.GetObject(*Instance));
      if (collection == nullptr) PropValueError();
      return ReadCollection(collection);
    }
    case TPropKind::pkComponent:
      if (NextValue() == vaNil) {
        ReadValue();
        if (Prop.SetComponent) Prop.SetComponent(*Instance, nullptr);
        return;
      }
      FFixups.push_back({Instance, &Prop, ReadIdent()});
      return;
  }
}

void TReader::ReadProperties(TPersistent* Instance) {
  while (!EndOfList()) ReadProperty(Instance);
  ReadListEnd();
}

namespace {
// Every object that dies with Collection's items: the items and, through their streamed properties,
// their sub-objects and nested collections' items.
void CollectOwnedObjects(const TCollection& Collection, std::vector<const TPersistent*>& Objects) {
  for (int i = 0; i < Collection.Count(); ++i) {
    std::vector<const TPersistent*> pending{Collection.Items(i)};
    while (!pending.empty()) {
      const TPersistent* object = pending.back();
      pending.pop_back();
      if (std::find(Objects.begin(), Objects.end(), object) != Objects.end()) continue;
      Objects.push_back(object);
      for (const TPropInfo& prop : object->PropList()) {
        if (prop.Kind != TPropKind::pkPersistent && prop.Kind != TPropKind::pkCollection) continue;
        const TPersistent* sub = prop.GetObject ? prop.GetObject(*object) : nullptr;
        if (sub == nullptr) continue;
        if (const auto* nested = dynamic_cast<const TCollection*>(sub))
          for (int j = 0; j < nested->Count(); ++j) pending.push_back(nested->Items(j));
        else
          pending.push_back(sub);
      }
    }
  }
}
}  // namespace

void TReader::DropFixupsInto(const TCollection& Collection) {
  if (FFixups.empty() || Collection.Count() == 0) return;
  std::vector<const TPersistent*> dying;
  CollectOwnedObjects(Collection, dying);
  std::erase_if(FFixups, [&](const Fixup& f) {
    return std::find(dying.begin(), dying.end(), f.Instance) != dying.end();
  });
}

void TReader::ReadCollection(TCollection* Collection) {
  VELLUM_READ_GUARDED(
      Enter(); CheckValue(vaCollection); Collection->BeginUpdate(); try {
        // A collection met twice in one stream frees the items the first reading made; references
        // waiting to be resolved into them must go first.
        DropFixupsInto(*Collection);
        Collection->Clear();
        while (!EndOfList()) {
          if (IsIntegerTag(NextValue())) ReadInt64();  // the item's order, not needed to rebuild it
          ReadListBegin();
          ReadProperties(Collection->Add());
        }
        ReadListEnd();
      } catch (...) {
        Collection->EndUpdate();
        Leave();
        throw;
      } Collection->EndUpdate();
      Leave();)
}

void TReader::ReadData(TComponent* Instance) { ReadDataInner(Instance); }

void TReader::ReadDataInner(TComponent* Instance) {
  while (!EndOfList()) ReadProperty(Instance);
  ReadListEnd();
  TComponent* old_parent = FParent;
  TComponent* old_owner = FOwner;
  FParent = Instance->GetChildParent();
  FOwner = Instance->GetChildOwner();
  if (FOwner == nullptr) FOwner = FRoot != nullptr ? FRoot : Instance;
  try {
    while (!EndOfList()) ReadComponent(nullptr);
    ReadListEnd();
  } catch (...) {
    FParent = old_parent;
    FOwner = old_owner;
    throw;
  }
  FParent = old_parent;
  FOwner = old_owner;
}

namespace {
// A name for a component read from a stream that does not clash with its siblings.
String UniqueName(TComponent* Component, const String& Name) {
  TComponent* owner = Component->Owner();
  if (owner == nullptr || Name.empty()) return Name;
  TComponent* found = owner->FindComponent(Name);
  if (found == nullptr || found == Component) return Name;
  for (int i = 1;; ++i) {
    String candidate = Name + u'_' + IntToStr(i);
    found = owner->FindComponent(candidate);
    if (found == nullptr || found == Component) return candidate;
  }
}

void ForgetLoaded(std::vector<TComponent*>& loaded, TComponent* c) {
  loaded.erase(std::remove(loaded.begin(), loaded.end(), c), loaded.end());
  for (int i = 0; i < c->ComponentCount(); ++i) ForgetLoaded(loaded, c->Components(i));
}
}  // namespace

TComponent* TReader::ReadComponent(TComponent* Component) {
  const Int64 start = Position();
  TComponent* result = Component;
  bool created = false;
  Enter();
  try {
    TFilerFlags flags = 0;
    int child_pos = 0;
    ReadPrefix(flags, child_pos);
    const String class_name = ReadStr();
    const String name = ReadStr();
    if (result == nullptr) {
      if (flags & ffInherited) {
        result = FOwner != nullptr ? FOwner->FindComponent(name) : nullptr;
        if (result == nullptr && OnAncestorNotFound) OnAncestorNotFound(this, name, GetClass(class_name), result);
        if (result == nullptr) throw EReadError(Format(u"Ancestor for '%s' not found", {name}));
      } else {
        const TMetaClass& component_class = FindClass(class_name);
        if (OnCreateComponent) OnCreateComponent(this, component_class, result);
        if (result == nullptr) {
          result = component_class.CreateComponent(FOwner);
          created = true;
        }
      }
    }
    result->SetState(csLoading, true);
    result->SetState(csReading, true);
    if (!(flags & ffInherited) && result->Name() != name) result->SetName(UniqueName(result, name));
    if (std::find(FLoaded.begin(), FLoaded.end(), result) == FLoaded.end()) FLoaded.push_back(result);
    result->ReadState(this);
    result->SetState(csReading, false);
  } catch (...) {
    if (created) {
      ForgetLoaded(FLoaded, result);
      delete result;
    } else if (result != nullptr) {
      result->SetState(csReading, false);
    }
    Leave();
    try {
      SetPosition(start);
    } catch (...) {
    }
    throw;
  }
  Leave();
  return result;
}

TComponent* TReader::ReadRootComponent(TComponent* Root) {
  const Int64 start = Position();
  std::unique_ptr<TComponent> created;
  TComponent* result = Root;
  FLoaded.clear();
  FFixups.clear();
  try {
    ReadSignature();
    TFilerFlags flags = 0;
    int child_pos = 0;
    ReadPrefix(flags, child_pos);
    const String class_name = ReadStr();
    const String name = ReadStr();
    if (result == nullptr) {
      created.reset(FindClass(class_name).CreateComponent(nullptr));
      result = created.get();
    }
    result->SetState(csLoading, true);
    result->SetState(csReading, true);
    if (!name.empty() && result->Name() != name) result->SetName(UniqueName(result, name));
    FRoot = result;
    FLookupRoot = result;
    FOwner = result;
    FLoaded.push_back(result);
    result->ReadState(this);
    // References by name, now that every named component exists.
    for (const Fixup& f : FFixups) {
      TComponent* target = nullptr;
      const size_t dot = f.Name.find(u'.');
      if (dot == String::npos) {
        target = SameText(f.Name, result->Name()) ? result : result->FindComponent(f.Name);
      } else if (TComponent* owner = result->FindComponent(f.Name.substr(0, dot));
                 owner != nullptr || SameText(f.Name.substr(0, dot), result->Name())) {
        target = (owner != nullptr ? owner : result)->FindComponent(f.Name.substr(dot + 1));
      }
      if (target != nullptr && f.Prop->SetComponent) f.Prop->SetComponent(*f.Instance, target);
    }
    FFixups.clear();
    for (TComponent* c : FLoaded) c->SetState(csReading, false);
    // Loaded may free or create components; walk a copy.
    const std::vector<TComponent*> loaded = std::move(FLoaded);
    FLoaded.clear();
    for (TComponent* c : loaded) c->Loaded();
  } catch (...) {
    // What was read stays (a given root keeps its partial contents), but nothing stays "loading" --
    // the root included, which may fail (on its name) before it joins the loaded list.
    if (!created) {
      if (result != nullptr && std::find(FLoaded.begin(), FLoaded.end(), result) == FLoaded.end())
        FLoaded.push_back(result);
      for (TComponent* c : FLoaded) {
        c->SetState(csReading, false);
        c->SetState(csLoading, false);
      }
    }
    FLoaded.clear();
    FFixups.clear();
    try {
      SetPosition(start);
    } catch (...) {
    }
    throw;
  }
  return created ? created.release() : result;
}

// ---- TComponent and TStream entry points -------------------------------------------------------------

void TComponent::ReadState(TReader* Reader) { Reader->ReadData(this); }
void TComponent::WriteState(TWriter* Writer) { Writer->WriteData(this); }

void TStream::WriteComponent(TComponent* Instance) { WriteDescendent(Instance, nullptr); }

void TStream::WriteDescendent(TComponent* Instance, TComponent* Ancestor) {
  TWriter writer(this, kDefaultFilerBufferSize);
  writer.WriteDescendent(Instance, Ancestor);
  writer.FlushBuffer();
}

TComponent* TStream::ReadComponent(TComponent* Instance) {
  TReader reader(this, kDefaultFilerBufferSize);
  return reader.ReadRootComponent(Instance);
}

// ---- TPropInfo / TPropList ----------------------------------------------------------------------------

Int64 TPropInfo::OrdinalOf(const String& ValueName) const {
  for (size_t i = 0; i < Names.size(); ++i)
    if (SameText(Names[i], ValueName)) return static_cast<Int64>(i);
  throw EReadError(msg::SInvalidPropertyValue);
}

const TPropInfo* TPropList::Find(std::u16string_view Name) const {
  for (const TPropInfo& p : FItems)
    if (SameText(p.Name, Name)) return &p;
  return nullptr;
}
