#include "engines/mdb/runtime/MdbVariant.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

// The storage size of a fixed-size type; 0 for the sized ones (text, BLOB, bytes) and the types
// without a storage form.
std::int32_t FixedStorageSize(TMdbBaseFieldType T) {
  switch (T) {
    case bftSignedInt8: case bftUnsignedInt8: return 1;
    case bftSignedInt16: case bftUnsignedInt16: case bftLogical: return 2;
    case bftSignedInt32: case bftUnsignedInt32: case bftSingle: case bftDate: case bftTime: return 4;
    case bftSignedInt64: case bftDouble: case bftDateTime: case bftCurrency: return 8;
    case bftExtended: return 10;
    default: return 0;
  }
}

void* CopyToNewBlock(const void* Data, std::int32_t Size) {
  void* P = MdbMemoryManager->GetMem(Size);
  std::memcpy(P, Data, static_cast<std::size_t>(Size));
  return P;
}

}  // namespace

void TMdbBufferOwner::Reset(void* Buffer) noexcept {
  if (FPtr) {
    try {
      MdbMemoryManager->FreeAndNilMem(FPtr);
    } catch (...) {
    }
  }
  FPtr = Buffer;
}

TMdbVariant::TMdbVariant(TMdbBaseFieldType DataType) : FDataType(DataType), FIsBLOB(IsBLOBBaseType(DataType)) {}

TMdbVariant::~TMdbVariant() {
  try {
    DropBuffer();
  } catch (...) {
    // A destructor must not throw; the memory manager reports a damaged block on its own path.
  }
}

void TMdbVariant::DropBuffer() {
  if (FPData && !FIsDataLinked) {
    void* P = FPData;
    FPData = nullptr;
    MdbMemoryManager->FreeAndNilMem(P);
  }
  FPData = nullptr;
  FIsDataLinked = false;
}

void TMdbVariant::TakeBuffer(void* Buffer, std::int32_t Size) {
  FPData = static_cast<Byte*>(Buffer);
  FDataSize = FPData ? Size : 0;
  FIsDataLinked = false;
  FIsNull = FPData == nullptr;
  FIsBLOB = IsBLOBBaseType(FDataType);
}

void TMdbVariant::Clear(TMdbBaseFieldType DataType) {
  DropBuffer();
  FDataType = DataType;
  FIsBLOB = IsBLOBBaseType(DataType);
  FDataSize = 0;
  FIsNull = true;
}

void TMdbVariant::SetNull(TMdbBaseFieldType) { FIsNull = true; }

void TMdbVariant::SetDataSize(std::int32_t NewSize) {
  if (NewSize == 0) {
    SetNull();
    return;
  }
  if (!FPData) {
    FPData = static_cast<Byte*>(MdbMemoryManager->GetMem(NewSize));
    FIsDataLinked = false;
  } else if (FIsDataLinked) {
    // A linked value never resizes memory it does not own: it takes an owned copy of the new size.
    void* P = MdbMemoryManager->GetMem(NewSize);
    std::memcpy(P, FPData, static_cast<std::size_t>(std::min(NewSize, FDataSize)));
    FPData = static_cast<Byte*>(P);
    FIsDataLinked = false;
  } else {
    void* P = FPData;
    MdbMemoryManager->ReallocMem(P, NewSize, false);
    FPData = static_cast<Byte*>(P);
  }
  FDataSize = NewSize;
  FIsNull = false;
}

void TMdbVariant::InternalSetBuffer(void* Buffer, std::int32_t BufferSize) {
  if (!Buffer || BufferSize <= 0) {
    Clear(FDataType);
    return;
  }
  FPData = static_cast<Byte*>(Buffer);
  FDataSize = BufferSize;
  FIsNull = false;
}

void TMdbVariant::SetData(const void* Buffer, std::int32_t Size, TMdbBaseFieldType DataType, bool CopyDataFlag,
                          bool NotLinkedBuffer) {
  if (CopyDataFlag) {
    if (!(FPData && !FIsDataLinked && FDataSize == Size)) {
      Clear(DataType);
      FPData = static_cast<Byte*>(MdbMemoryManager->GetMem(Size));
    }
    if (Size > 0) std::memmove(FPData, Buffer, static_cast<std::size_t>(Size));
    FIsDataLinked = false;
  } else {
    Clear(DataType);
    FPData = static_cast<Byte*>(const_cast<void*>(Buffer));
    FIsDataLinked = true;
  }
  if (NotLinkedBuffer) FIsDataLinked = false;
  FDataSize = Size;
  FDataType = DataType;
  FIsBLOB = IsBLOBBaseType(DataType);
  FIsNull = false;
}

bool TMdbVariant::CopyDataToAddress(void* Buffer, std::int32_t MaxSize) const {
  if (IsNull()) return false;
  const std::int32_t N = (MaxSize != -1 && MaxSize < FDataSize) ? MaxSize : FDataSize;
  if (N > 0) std::memcpy(Buffer, FPData, static_cast<std::size_t>(N));
  return true;
}

void TMdbVariant::SetDataType(TMdbBaseFieldType NewType) {
  if (IsNull()) {
    if (FPData)
      Clear(NewType);
    else {
      FDataType = NewType;
      FIsBLOB = IsBLOBBaseType(NewType);
    }
    return;
  }
  try {
    Cast(NewType);
  } catch (const Exception&) {
    Clear(NewType);
  }
  FIsBLOB = IsBLOBBaseType(FDataType);
}

std::int32_t TMdbVariant::TextUnits() const {
  if (!FPData) return 0;
  if (IsWideStringBaseType(FDataType)) {
    const std::int32_t Units = FDataSize / 2;
    std::int32_t N = 0;
    while (N < Units && (FPData[2 * N] != 0 || FPData[2 * N + 1] != 0)) ++N;
    return N;
  }
  const void* Z = std::memchr(FPData, 0, static_cast<std::size_t>(FDataSize));
  return Z ? static_cast<std::int32_t>(static_cast<const Byte*>(Z) - FPData) : FDataSize;
}

std::int32_t TMdbVariant::StrLen() const {
  if (FIsBLOB) return FDataSize;
  if (IsNull() || !IsStringBaseType(FDataType)) return -1;
  return TextUnits();
}

void TMdbVariant::ConvertWideStringToAnsiStringIfNotUnicode() {
  if (IsNull() || !IsWideStringBaseType(FDataType)) return;
  const std::int32_t Units = FDataSize / 2;
  for (std::int32_t i = 0; i < Units; ++i)
    if (FPData[2 * i + 1] != 0) return;
  String W(static_cast<std::size_t>(Units), u'\0');
  std::memcpy(W.data(), FPData, static_cast<std::size_t>(Units) * 2);
  const auto Z = W.find(u'\0');
  if (Z != String::npos) W.resize(Z);
  const AnsiString A = sys::Utf16ToAnsi(W);
  // Some Latin-1 letters have no form in the system code page (936 lacks several): keep the wide text
  // rather than turn them into "?".
  if (sys::AnsiToUtf16(A) != W) return;
  const TMdbBaseFieldType NewType = FDataType == bftWideClob ? bftClob : bftChar;
  void* P = MdbMemoryManager->AllocMem(static_cast<Int64>(A.size()) + 1);
  std::memcpy(P, A.data(), A.size());
  DropBuffer();
  FDataType = NewType;
  TakeBuffer(P, static_cast<std::int32_t>(A.size()) + 1);
}

// ---- stream form ---------------------------------------------------------------------------------------

void TMdbVariant::SaveToStream(TStream* Stream) const {
  const Byte Type = FDataType;
  const bool Null = IsNull();
  const Byte NullByte = Null ? kMdbNullByte : 0;
  WriteBufferToStream(&Type, 1, Stream, 10179);
  WriteBufferToStream(&NullByte, 1, Stream, 10180);
  if (Null) return;
  WriteValueToStream<std::int32_t>(FDataSize, Stream, 10181);
  WriteBufferToStream(FPData, FDataSize, Stream, 10182);
}

void TMdbVariant::LoadFromStream(TStream* Stream) {
  Clear(bftUnknown);
  Byte Type = 0;
  Byte NullByte = 0;
  ReadBufferFromStream(&Type, 1, Stream, 10183);
  if (Type > bftBFile)
    throw EMdbException(10183, SMdbInvalidStreamData, {Format(u"unknown value type %d", {int(Type)})});
  const auto DataType = static_cast<TMdbBaseFieldType>(Type);
  ReadBufferFromStream(&NullByte, 1, Stream, 10184);
  if (NullByte != 0) {
    Clear(DataType);
    return;
  }
  const auto Size = ReadValueFromStream<std::int32_t>(Stream, 10185);
  if (Size <= 0) {
    Clear(DataType);
    return;
  }
  const Int64 Left = Stream->Size() - Stream->Position();
  if (Size > Left)
    throw EMdbException(10185, SMdbInvalidStreamData, {Format(u"value size %d exceeds the %d bytes left", {Size, Left})});
  const std::int32_t Fixed = FixedStorageSize(DataType);
  if (Fixed != 0 && Size != Fixed)
    throw EMdbException(10185, SMdbInvalidStreamData,
                        {Format(u"value size %d for type %s, which holds %d bytes", {Size, BaseFieldTypeNameW(DataType), Fixed})});
  if (DataType == bftUnknown || DataType == bftBFile)
    throw EMdbException(10185, SMdbInvalidStreamData, {Format(u"a present value of type %s", {BaseFieldTypeNameW(DataType)})});
  TMdbBufferOwner Block(MdbMemoryManager->GetMem(Size));
  ReadBufferFromStream(Block.Get(), Size, Stream, 10186);
  const auto* B = static_cast<const Byte*>(Block.Get());
  bool Terminated = true;
  if (DataType == bftChar || DataType == bftVarchar) {
    Terminated = std::memchr(B, 0, static_cast<std::size_t>(Size)) != nullptr;
  } else if (DataType == bftWideChar || DataType == bftWideVarchar) {
    Terminated = false;
    for (std::int32_t i = 0; i + 1 < Size && !Terminated; i += 2) Terminated = B[i] == 0 && B[i + 1] == 0;
  }
  if (!Terminated)
    throw EMdbException(10186, SMdbInvalidStreamData, {Format(u"text of type %s is not terminated", {BaseFieldTypeNameW(DataType)})});
  FDataType = DataType;
  TakeBuffer(Block.Release(), Size);
}

// ---- assignment ----------------------------------------------------------------------------------------

void TMdbVariant::Assign(const TMdbVariant* Source, bool CopyDataFlag, bool) {
  Clear(bftUnknown);
  if (!Source) throw EMdbException(12442, SMdbNilPointer);
  FDataType = Source->FDataType;
  FIsBLOB = Source->FIsBLOB;
  if (FMaxStrLen == 0) FMaxStrLen = Source->FMaxStrLen;
  if (Source->IsNull()) {
    FIsNull = true;
    FDataSize = 0;
    return;
  }
  if (FMaxStrLen > 0 && Source->FDataSize > 0 && IsStringBaseType(FDataType)) {
    const std::int32_t W = IsWideStringBaseType(FDataType) ? 2 : 1;
    const Int64 Limit = Int64(W) * (Int64(FMaxStrLen) + 1);
    std::int32_t NewSize = static_cast<std::int32_t>(std::min<Int64>(Source->FDataSize, Limit));
    std::int32_t Keep = std::max(0, NewSize - W);
    if (W == 1 && Keep > 0) {
      // Never keep the lead byte of a double-byte character without its trail byte.
      const auto Text = std::string_view(reinterpret_cast<const char*>(Source->FPData),
                                         static_cast<std::size_t>(Source->FDataSize));
      Keep = static_cast<std::int32_t>(sys::CutLength(Text.substr(0, std::min<std::size_t>(Text.size(), Keep + 1u)),
                                                      static_cast<std::size_t>(Keep)));
      NewSize = Keep + 1;
    }
    auto* P = static_cast<Byte*>(MdbMemoryManager->AllocMem(NewSize));
    std::memcpy(P, Source->FPData, static_cast<std::size_t>(Keep));
    TakeBuffer(P, NewSize);
    return;
  }
  if (CopyDataFlag) {
    // A BLOB copies what the value holds, not the size of the block behind it: a linked source's
    // buffer need not be a memory-manager block at all.
    TakeBuffer(CopyToNewBlock(Source->FPData, Source->FDataSize), Source->FDataSize);
  } else {
    FPData = Source->FPData;
    FDataSize = Source->FDataSize;
    FIsDataLinked = true;
    FIsNull = false;
  }
}

// ---- the shared typed setter and getter --------------------------------------------------------------------

void TMdbVariant::InternalSetValue(TMdbBaseFieldType SourceType, const void* Bytes, std::int32_t Size) {
  if (FDataType == SourceType && FPData && !IsStringBaseType(FDataType) && !FIsDataLinked && FDataSize == Size) {
    std::memcpy(FPData, Bytes, static_cast<std::size_t>(Size));
    FIsNull = false;
    return;
  }
  if (FIsBLOB) {
    DropBuffer();
    FDataType = SourceType;
    FIsBLOB = false;
  }
  if (IsCharBaseType(SourceType) && Size == 0) {
    Clear(SourceType);
    return;
  }
  const TMdbBaseFieldType Target = FDataType == bftUnknown ? SourceType : FDataType;
  void* P = nullptr;
  std::int32_t NewSize = 0;
  if (Target == SourceType) {
    P = MdbMemoryManager->AllocMem(Size);
    std::memcpy(P, Bytes, static_cast<std::size_t>(Size));
    NewSize = Size;
  } else {
    // A typed value keeps its type whatever accessor writes it.
    P = ConvertData(Bytes, Size, SourceType, Target, NewSize);
  }
  DropBuffer();
  FDataType = Target;
  TakeBuffer(P, NewSize);
}

void TMdbVariant::InternalGetValue(TMdbBaseFieldType RequestedType, void* Result, std::int32_t ResultSize) const {
  if (IsNull()) throw EMdbException(30016, SMdbValueIsNull);
  std::memset(Result, 0, static_cast<std::size_t>(ResultSize));
  if (FDataType == RequestedType) {
    std::memcpy(Result, FPData, static_cast<std::size_t>(std::min(FDataSize, ResultSize)));
    return;
  }
  std::int32_t Size = 0;
  TMdbBufferOwner Block;
  Block.Reset(ConvertData(FPData, FDataSize, FDataType, RequestedType, Size));
  std::memcpy(Result, Block.Get(), static_cast<std::size_t>(std::min(Size, ResultSize)));
}

#define MDB_FIXED_ACCESSOR(Type, Name, BaseType)                                    \
  Type TMdbVariant::As##Name() const {                                              \
    Type V{};                                                                       \
    InternalGetValue(BaseType, &V, sizeof(V));                                      \
    return V;                                                                       \
  }                                                                                 \
  void TMdbVariant::SetAs##Name(Type V) { InternalSetValue(BaseType, &V, sizeof(V)); }

MDB_FIXED_ACCESSOR(std::int8_t, Shortint, bftSignedInt8)
MDB_FIXED_ACCESSOR(std::int16_t, Smallint, bftSignedInt16)
MDB_FIXED_ACCESSOR(std::int32_t, Integer, bftSignedInt32)
MDB_FIXED_ACCESSOR(Int64, Int64, bftSignedInt64)
MDB_FIXED_ACCESSOR(Byte, Byte, bftUnsignedInt8)
MDB_FIXED_ACCESSOR(Word, Word, bftUnsignedInt16)
MDB_FIXED_ACCESSOR(Cardinal, Cardinal, bftUnsignedInt32)
MDB_FIXED_ACCESSOR(float, Single, bftSingle)
MDB_FIXED_ACCESSOR(double, Double, bftDouble)
MDB_FIXED_ACCESSOR(double, Currency, bftCurrency)
MDB_FIXED_ACCESSOR(std::int32_t, MdbDate, bftDate)
MDB_FIXED_ACCESSOR(std::int32_t, MdbTime, bftTime)
#undef MDB_FIXED_ACCESSOR

TMdbDateTime TMdbVariant::AsMdbDateTime() const {
  TMdbDateTime V;
  InternalGetValue(bftDateTime, &V, sizeof(V));
  return V;
}
void TMdbVariant::SetAsMdbDateTime(const TMdbDateTime& V) { InternalSetValue(bftDateTime, &V, sizeof(V)); }

double TMdbVariant::AsExtended() const {
  Byte B[10];
  InternalGetValue(bftExtended, B, 10);
  return ExtendedToDouble(B);
}
void TMdbVariant::SetAsExtended(double V) {
  Byte B[10];
  DoubleToExtended(V, B);
  InternalSetValue(bftExtended, B, 10);
}

bool TMdbVariant::AsBoolean() const {
  Word V = 0;
  InternalGetValue(bftLogical, &V, sizeof(V));
  return V != 0;
}
void TMdbVariant::SetAsBoolean(bool V) {
  const Word W = V ? 0xFFFF : 0;
  InternalSetValue(bftLogical, &W, sizeof(W));
}

AnsiString TMdbVariant::AsString() const {
  if (IsNull()) return AnsiString();
  if (FDataType == bftVarchar || FDataType == bftChar || FDataType == bftClob) {
    const auto* C = reinterpret_cast<const char*>(FPData);
    if (FIsBLOB) return AnsiString(C, static_cast<std::size_t>(FDataSize));
    const auto Limit = static_cast<std::size_t>(std::max(0, FDataSize - 1));
    const void* Z = std::memchr(C, 0, Limit);
    return AnsiString(C, Z ? static_cast<std::size_t>(static_cast<const char*>(Z) - C) : Limit);
  }
  std::int32_t Size = 0;
  TMdbBufferOwner Block;
  Block.Reset(ConvertData(FPData, FDataSize, FDataType, bftVarchar, Size));
  const auto* C = reinterpret_cast<const char*>(Block.Get());
  const auto Limit = static_cast<std::size_t>(std::max(0, Size - 1));
  const void* Z = std::memchr(C, 0, Limit);
  return AnsiString(C, Z ? static_cast<std::size_t>(static_cast<const char*>(Z) - C) : Limit);
}

void TMdbVariant::SetAsString(std::string_view V) {
  const auto Z = V.find('\0');
  if (Z != std::string_view::npos) V = V.substr(0, Z);
  if (V.empty()) {
    InternalSetValue(bftVarchar, nullptr, 0);
    return;
  }
  AnsiString T(V);  // carries the terminator
  InternalSetValue(bftVarchar, T.c_str(), static_cast<std::int32_t>(T.size()) + 1);
}

String TMdbVariant::AsWideString() const {
  if (IsNull()) return String();
  auto Units = [](const Byte* P, std::int32_t N, bool StopAtZero) {
    String S(static_cast<std::size_t>(N), u'\0');
    std::memcpy(S.data(), P, static_cast<std::size_t>(N) * 2);
    if (StopAtZero) {
      const auto Z = S.find(u'\0');
      if (Z != String::npos) S.resize(Z);
    }
    return S;
  };
  if (IsWideStringBaseType(FDataType)) return Units(FPData, FDataSize / 2, !FIsBLOB);
  std::int32_t Size = 0;
  TMdbBufferOwner Block;
  Block.Reset(ConvertData(FPData, FDataSize, FDataType, bftWideVarchar, Size));
  return Units(static_cast<const Byte*>(Block.Get()), std::max(0, Size / 2 - 1), true);
}

void TMdbVariant::SetAsWideString(std::u16string_view V) {
  const auto Z = V.find(u'\0');
  if (Z != std::u16string_view::npos) V = V.substr(0, Z);
  if (V.empty()) {
    InternalSetValue(bftWideVarchar, nullptr, 0);
    return;
  }
  String T(V);
  InternalSetValue(bftWideVarchar, T.c_str(), (static_cast<std::int32_t>(T.size()) + 1) * 2);
}

// ---- platform variants -------------------------------------------------------------------------------------

Variant TMdbVariant::AsVariant() const {
  switch (FDataType) {
    case bftChar: case bftVarchar: case bftBlob: return VarFromAnsi(AsString());
    case bftWideChar: case bftWideVarchar: return Variant(AsWideString());
    case bftSignedInt8: return Variant(static_cast<signed char>(AsShortint()));
    case bftSignedInt16: return Variant(static_cast<short>(AsSmallint()));
    case bftSignedInt32: return Variant(static_cast<int>(AsInteger()));
    case bftSignedInt64: return Variant(static_cast<long long>(AsInt64()));
    case bftUnsignedInt8: return Variant(static_cast<unsigned char>(AsByte()));
    case bftUnsignedInt16: return Variant(static_cast<unsigned short>(AsWord()));
    case bftUnsignedInt32: return Variant(static_cast<unsigned>(AsCardinal()));
    case bftSingle: return Variant(static_cast<double>(AsSingle()));
    case bftDouble: return Variant(AsDouble());
    case bftExtended: return Variant(AsExtended());
    case bftCurrency: return Variant(AsCurrency());
    case bftDate: return Variant(AsTDate());
    case bftTime: return Variant(AsTTime());
    case bftDateTime: return VarFromDateTime(AsTDateTime());
    case bftLogical: return Variant(AsBoolean());
    case bftBytes: {
      if (IsNull()) return Unassigned();
      Variant A = VarArrayCreate({0, FDataSize - 1}, varByte);
      void* P = VarArrayLock(A);
      std::memcpy(P, FPData, static_cast<std::size_t>(FDataSize));
      VarArrayUnlock(A);
      return A;
    }
    default:
      if (IsNull()) return Null();
      throw EMdbException(30114, SMdbUnsupportedVariantType, {BaseFieldTypeNameW(FDataType)});
  }
}

void TMdbVariant::SetAsVariant(const Variant& V) {
  const TVarType T = V.VType();
  switch (T) {
    case varNull: SetNull(); return;
    case varSmallint: SetAsSmallint(static_cast<std::int16_t>(V.AsInteger())); return;
    case varInteger: SetAsInteger(V.AsInteger()); return;
    case varShortInt: SetAsShortint(static_cast<std::int8_t>(V.AsInteger())); return;
    case varByte: SetAsByte(static_cast<Byte>(V.AsInteger())); return;
    case varWord: SetAsWord(static_cast<Word>(V.AsInteger())); return;
    case varLongWord: SetAsCardinal(static_cast<Cardinal>(V.AsInt64())); return;
    case varInt64: SetAsInt64(V.AsInt64()); return;
    case varSingle: SetAsSingle(V.VSingle()); return;
    case varDouble: SetAsDouble(V.AsDouble()); return;
    case varCurrency: SetAsCurrency(V.AsDouble()); return;
    case varDate: SetAsTDateTime(V.AsDateTime()); return;
    case varOleStr: case varUString: SetAsWideString(V.AsString()); return;
    case varBoolean: SetAsBoolean(V.AsBoolean()); return;
    default: break;
  }
  if (T == varString || T == varVariant || (T >= 272 && T <= 2047)) {
    SetAsString(V.AsAnsiString());
    return;
  }
  if (T == (varArray | varByte)) {
    const int Count = VarArrayLength(V);
    Clear(bftBytes);
    if (Count <= 0) return;
    void* P = MdbMemoryManager->GetMem(Count);
    const void* Src = VarArrayLock(const_cast<Variant&>(V));
    std::memcpy(P, Src, static_cast<std::size_t>(Count));
    VarArrayUnlock(const_cast<Variant&>(V));
    TakeBuffer(P, Count);
    return;
  }
  throw EMdbException(30113, SMdbUnsupportedVariantType, {IntToStr(static_cast<int>(T))});
}
