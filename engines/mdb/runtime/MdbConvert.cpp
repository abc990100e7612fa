// Result types of two base types, the conversion matrix between storage forms, and TMdbVariant::Cast.
#include <cmath>
#include <cstring>
#include <limits>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

bool IsText8(TMdbBaseFieldType T) { return T == bftChar || T == bftVarchar; }
bool IsTextW(TMdbBaseFieldType T) { return T == bftWideChar || T == bftWideVarchar; }
bool IsClob(TMdbBaseFieldType T) { return T == bftClob || T == bftWideClob; }
bool IsDateType(TMdbBaseFieldType T) { return IsDateTimeBaseType(T); }
bool IsIntOrFloat(TMdbBaseFieldType T) { return IsIntegerBaseType(T) || IsFloatBaseType(T); }

int CharRank(TMdbBaseFieldType T) {
  switch (T) {
    case bftChar: return 0;
    case bftVarchar: return 1;
    case bftWideChar: return 2;
    default: return 3;
  }
}

int IntIndex(TMdbBaseFieldType T) {
  switch (T) {
    case bftSignedInt8: return 0;
    case bftSignedInt16: return 1;
    case bftSignedInt32: return 2;
    case bftSignedInt64: return 3;
    case bftUnsignedInt8: return 4;
    case bftUnsignedInt16: return 5;
    default: return 6;
  }
}

constexpr TMdbBaseFieldType kIntCommon[7][7] = {
    {bftSignedInt8, bftSignedInt16, bftSignedInt32, bftSignedInt64, bftSignedInt16, bftUnsignedInt16, bftUnsignedInt32},
    {bftSignedInt16, bftSignedInt16, bftSignedInt32, bftSignedInt64, bftSignedInt16, bftUnsignedInt16, bftUnsignedInt32},
    {bftSignedInt32, bftSignedInt32, bftSignedInt32, bftSignedInt64, bftSignedInt32, bftSignedInt32, bftSignedInt64},
    {bftSignedInt64, bftSignedInt64, bftSignedInt64, bftSignedInt64, bftSignedInt64, bftSignedInt64, bftSignedInt64},
    {bftSignedInt16, bftSignedInt16, bftSignedInt32, bftSignedInt64, bftUnsignedInt8, bftUnsignedInt16, bftUnsignedInt32},
    {bftSignedInt32, bftSignedInt32, bftSignedInt32, bftSignedInt64, bftUnsignedInt16, bftUnsignedInt16, bftUnsignedInt32},
    {bftSignedInt64, bftSignedInt64, bftSignedInt64, bftSignedInt64, bftUnsignedInt32, bftUnsignedInt32, bftUnsignedInt32},
};

TMdbBaseFieldType ComputeCommon(TMdbBaseFieldType A, TMdbBaseFieldType B) {
  auto Dead = [](TMdbBaseFieldType T) {
    return T == bftUnknown || T == bftBlob || T == bftBytes || T == bftVarBytes || T == bftBFile || T > bftBFile;
  };
  if (Dead(A) || Dead(B)) return bftUnknown;
  if (A == B) return A;
  const bool CA = IsCharBaseType(A), CB = IsCharBaseType(B);
  if (CA && CB) return CharRank(A) >= CharRank(B) ? A : B;
  if (CA && B == bftClob) return bftChar;
  if (CA && B == bftWideClob) return bftWideChar;
  if (A == bftClob && CB) return B;
  if (A == bftWideClob && CB) return (B == bftChar || B == bftWideChar) ? bftWideChar : bftWideVarchar;
  if (IsClob(A) && IsClob(B)) return bftWideClob;
  if (IsClob(A) || IsClob(B)) return bftUnknown;
  if (CA) return IsDateType(B) ? B : A;
  if (CB) return IsDateType(A) ? A : B;
  if (IsDateType(A) && IsDateType(B)) {
    if ((A == bftDate && B == bftTime) || (A == bftTime && B == bftDate)) return bftDateTime;
    if (A == bftDate || B == bftDate) return bftDate;
    return bftTime;
  }
  if (IsDateType(A)) return IsIntOrFloat(B) ? A : bftUnknown;
  if (IsDateType(B)) return IsIntOrFloat(A) ? B : bftUnknown;
  if ((A == bftLogical && B == bftCurrency) || (A == bftCurrency && B == bftLogical)) return bftUnknown;
  if (A == bftLogical) return B;
  if (B == bftLogical) return A;
  if (A == bftCurrency) return B;
  if (B == bftCurrency) return bftCurrency;
  const bool FA = IsFloatBaseType(A), FB = IsFloatBaseType(B);
  if (FA && FB) return A > B ? A : B;
  if (FA) return A;
  if (FB) return B;
  return kIntCommon[IntIndex(A)][IntIndex(B)];
}

struct TCommonTable {
  TMdbBaseFieldType T[26][26];
  TCommonTable() {
    for (int a = 0; a < 26; ++a)
      for (int b = 0; b < 26; ++b)
        T[a][b] = ComputeCommon(static_cast<TMdbBaseFieldType>(a), static_cast<TMdbBaseFieldType>(b));
  }
};

// Raised inside a conversion that yields no bytes; reported as 30052.
struct TEmptyResult {};

void* NewBlock(const void* Data, std::int32_t Size, std::int32_t& DestSize) {
  void* P = MdbMemoryManager->GetMem(Size);
  std::memcpy(P, Data, static_cast<std::size_t>(Size));
  DestSize = Size;
  return P;
}

template <class T>
void* StoreFixed(const T& V, std::int32_t& DestSize) {
  return NewBlock(&V, sizeof(T), DestSize);
}

void* StoreText8(const AnsiString& S, std::int32_t& DestSize) {
  if (S.empty()) throw TEmptyResult{};
  return NewBlock(S.c_str(), static_cast<std::int32_t>(S.size()) + 1, DestSize);
}

void* StoreTextW(const String& S, std::int32_t& DestSize) {
  if (S.empty()) throw TEmptyResult{};
  return NewBlock(S.c_str(), (static_cast<std::int32_t>(S.size()) + 1) * 2, DestSize);
}

[[noreturn]] void RangeError() { throw ERangeError(String(msg::SRangeError)); }

void CheckRange(TMdbBaseFieldType Dest, Int64 V) {
  Int64 Lo = 0, Hi = 0;
  switch (Dest) {
    case bftSignedInt8: Lo = INT8_MIN; Hi = INT8_MAX; break;
    case bftSignedInt16: Lo = INT16_MIN; Hi = INT16_MAX; break;
    case bftSignedInt32: Lo = INT32_MIN; Hi = INT32_MAX; break;
    case bftSignedInt64: return;
    case bftUnsignedInt8: Hi = UINT8_MAX; break;
    case bftUnsignedInt16: Hi = UINT16_MAX; break;
    default: Hi = UINT32_MAX; break;
  }
  if (V < Lo || V > Hi) RangeError();
}

// Checked: the value must lie in the destination's range; else the low-order bytes are kept.
void* StoreInt(TMdbBaseFieldType Dest, Int64 V, bool Checked, std::int32_t& DestSize) {
  if (Checked) CheckRange(Dest, V);
  switch (Dest) {
    case bftSignedInt8: return StoreFixed(static_cast<std::int8_t>(V), DestSize);
    case bftSignedInt16: return StoreFixed(static_cast<std::int16_t>(V), DestSize);
    case bftSignedInt32: return StoreFixed(static_cast<std::int32_t>(V), DestSize);
    case bftSignedInt64: return StoreFixed(V, DestSize);
    case bftUnsignedInt8: return StoreFixed(static_cast<std::uint8_t>(V), DestSize);
    case bftUnsignedInt16: return StoreFixed(static_cast<std::uint16_t>(V), DestSize);
    default: return StoreFixed(static_cast<std::uint32_t>(V), DestSize);
  }
}

void* StoreFloat(TMdbBaseFieldType Dest, double X, std::int32_t& DestSize) {
  switch (Dest) {
    case bftSingle: return StoreFixed(static_cast<float>(X), DestSize);
    case bftExtended: {
      std::uint8_t B[10];
      DoubleToExtended(X, B);
      return NewBlock(B, 10, DestSize);
    }
    default: return StoreFixed(X, DestSize);  // bftDouble, bftCurrency
  }
}

void* StoreLogical(bool V, std::int32_t& DestSize) { return StoreFixed(static_cast<Word>(V ? 0xFFFF : 0), DestSize); }

std::int32_t ToInt32Checked(Int64 V) {
  if (V < INT32_MIN || V > INT32_MAX) RangeError();
  return static_cast<std::int32_t>(V);
}

std::int32_t TruncToInt32(double X) {
  const double T = std::trunc(X);
  if (!(T >= INT32_MIN && T <= INT32_MAX)) RangeError();
  return static_cast<std::int32_t>(T);
}

Int64 TruncToInt64(double X) {
  const double T = std::trunc(X);
  if (!(T >= -9223372036854775808.0 && T < 9223372036854775808.0)) RangeError();
  return static_cast<Int64>(T);
}

template <class T>
T Load(const void* P) {
  T V{};
  std::memcpy(&V, P, sizeof(T));
  return V;
}

double LoadFloat(TMdbBaseFieldType T, const void* P) {
  switch (T) {
    case bftSingle: return Load<float>(P);
    case bftExtended: return ExtendedToDouble(static_cast<const std::uint8_t*>(P));
    default: return Load<double>(P);
  }
}

Int64 LoadInt(TMdbBaseFieldType T, const void* P) {
  switch (T) {
    case bftSignedInt8: return Load<std::int8_t>(P);
    case bftSignedInt16: return Load<std::int16_t>(P);
    case bftSignedInt32: return Load<std::int32_t>(P);
    case bftSignedInt64: return Load<Int64>(P);
    case bftUnsignedInt8: return Load<std::uint8_t>(P);
    case bftUnsignedInt16: return Load<std::uint16_t>(P);
    default: return Load<std::uint32_t>(P);
  }
}

// The text of a character or BLOB source as UTF-16 (for parsing) or as its own bytes.
struct TSourceText {
  bool Wide = false;
  AnsiString A;
  String W;
  String AsWide() const { return Wide ? W : sys::AnsiToUtf16(A); }
  AnsiString AsAnsi() const { return Wide ? sys::Utf16ToAnsi(W) : A; }
};

TSourceText ReadText(const void* Source, std::int32_t Size, TMdbBaseFieldType T) {
  TSourceText R;
  const auto* B = static_cast<const Byte*>(Source);
  if (IsTextW(T)) {
    R.Wide = true;
    const std::int32_t Units = Size / 2;
    std::int32_t N = 0;
    while (N < Units && (B[2 * N] != 0 || B[2 * N + 1] != 0)) ++N;
    R.W.resize(static_cast<std::size_t>(N));
    std::memcpy(R.W.data(), B, static_cast<std::size_t>(N) * 2);
  } else {
    // The 8-bit character types and all three BLOB types read as zero-terminated 8-bit text.
    const void* Z = std::memchr(B, 0, static_cast<std::size_t>(Size));
    const std::size_t N = Z ? static_cast<std::size_t>(static_cast<const Byte*>(Z) - B) : static_cast<std::size_t>(Size);
    R.A.assign(reinterpret_cast<const char*>(B), N);
  }
  return R;
}

void* StoreTextIn(TMdbBaseFieldType Dest, const String& Text, std::int32_t& DestSize) {
  if (IsText8(Dest)) return StoreText8(sys::Utf16ToAnsi(Text), DestSize);
  return StoreTextW(Text, DestSize);
}

void* FromText(const void* Source, std::int32_t Size, TMdbBaseFieldType ST, TMdbBaseFieldType DT, std::int32_t& DestSize) {
  const TSourceText Text = ReadText(Source, Size, ST);
  if (IsText8(DT)) return StoreText8(Text.AsAnsi(), DestSize);
  if (IsTextW(DT)) return StoreTextW(Text.AsWide(), DestSize);
  if (IsBLOBBaseType(DT)) {
    if (Text.Wide) return StoreTextW(Text.W, DestSize);
    return StoreText8(Text.A, DestSize);
  }
  const String W = Text.AsWide();
  switch (DT) {
    case bftSignedInt8: case bftSignedInt16: case bftUnsignedInt8: case bftUnsignedInt16: case bftSignedInt32:
      return StoreInt(DT, StrToInt(W), true, DestSize);
    case bftUnsignedInt32: {
      const int V = StrToInt(W);
      if (V < 0) RangeError();
      return StoreInt(DT, V, true, DestSize);
    }
    case bftSignedInt64: return StoreInt(DT, StrToInt64(W), true, DestSize);
    case bftSingle: case bftDouble: case bftExtended: {
      TFormatSettings Point = FormatSettings();
      Point.DecimalSeparator = u'.';
      return StoreFloat(DT, StrToFloat(W, Point), DestSize);
    }
    case bftDate: return StoreFixed(DateTimeToMdbDate(StrToDate(W)), DestSize);
    case bftTime: return StoreFixed(DateTimeToMdbTime(StrToTime(W)), DestSize);
    case bftDateTime: return StoreFixed(DateTimeToMdbDateTime(StrToDateTime(W)), DestSize);
    case bftLogical: {
      const String U = UpperCase(W);
      return StoreLogical(U == u"1" || U == u"TRUE", DestSize);
    }
    default: return StoreFixed(StrToCurr(W).ToDouble(), DestSize);  // bftCurrency
  }
}

void* FromInt(const void* Source, TMdbBaseFieldType ST, TMdbBaseFieldType DT, std::int32_t& DestSize) {
  const Int64 V = LoadInt(ST, Source);
  const bool SignedSource = IsSignedIntegerBaseType(ST);
  if (IsCharBaseType(DT)) return StoreTextIn(DT, IntToStr(V), DestSize);
  if (IsIntegerBaseType(DT)) return StoreInt(DT, V, !SignedSource, DestSize);
  if (IsFloatBaseType(DT) || DT == bftCurrency) return StoreFloat(DT, static_cast<double>(V), DestSize);
  if (DT == bftLogical) return StoreLogical(V != 0, DestSize);
  std::int32_t N = 0;
  if (ST == bftSignedInt64)
    N = static_cast<std::int32_t>(static_cast<std::uint32_t>(V));
  else
    N = ToInt32Checked(V);
  if (DT == bftDate || DT == bftTime) return StoreFixed(N, DestSize);
  return StoreFixed(TMdbDateTime{N, kMdbNoTime}, DestSize);
}

void* FromFloat(const void* Source, TMdbBaseFieldType ST, TMdbBaseFieldType DT, std::int32_t& DestSize) {
  const double X = LoadFloat(ST, Source);
  if (IsCharBaseType(DT)) return StoreTextIn(DT, FloatToStr(X), DestSize);
  if (IsIntegerBaseType(DT)) {
    if (!std::isfinite(X)) RangeError();
    return StoreInt(DT, TruncToInt64(X), true, DestSize);
  }
  if (IsFloatBaseType(DT) || DT == bftCurrency) return StoreFloat(DT, X, DestSize);
  if (DT == bftLogical) return StoreLogical(X != 0, DestSize);
  if (DT == bftDate) return StoreFixed(TruncToInt32(X), DestSize);
  if (DT == bftTime) return StoreFixed(TruncToInt32(std::fmod(std::trunc(X), double(kMdbMSecsPerDay))), DestSize);
  const std::int32_t Day = TruncToInt32(X);
  const double Ms = (X - std::trunc(X)) * kMdbMSecsPerDay;
  const double Time = ST == bftDouble ? std::nearbyint(Ms) : std::trunc(Ms);
  return StoreFixed(TMdbDateTime{Day, static_cast<std::int32_t>(Time)}, DestSize);
}

void* FromDate(const void* Source, TMdbBaseFieldType ST, TMdbBaseFieldType DT, std::int32_t& DestSize) {
  TMdbDateTime V;
  if (ST == bftDate) V = {Load<std::int32_t>(Source), kMdbNoTime};
  else if (ST == bftTime) V = {kMdbNoDate, Load<std::int32_t>(Source)};
  else V = Load<TMdbDateTime>(Source);
  if (IsCharBaseType(DT)) {
    String Text;
    if (ST == bftDate) {
      if (V.Date != kMdbNoDate) Text = DateToStr(MdbDateToDateTime(V.Date));
    } else if (ST == bftTime) {
      if (V.Time != kMdbNoTime) Text = TimeToStr(MdbTimeToDateTime(V.Time));
    } else if (V.Date != kMdbNoDate || V.Time != kMdbNoTime) {
      Text = DateTimeToStr(MdbDateTimeToDateTime(V));
    }
    return StoreTextIn(DT, Text, DestSize);
  }
  const std::int32_t Number = ST == bftTime ? V.Time : V.Date;
  if (IsIntegerBaseType(DT)) return StoreInt(DT, Number, true, DestSize);
  if (IsFloatBaseType(DT) || DT == bftCurrency) {
    double X = Number;
    if (ST == bftDateTime) {
      X = (V.Date == kMdbNoDate ? 0.0 : double(V.Date)) + (V.Time != kMdbNoTime ? double(V.Time) / kMdbMSecsPerDay : 0.0);
      if (DT == bftCurrency) X = RoundToCurrencyPlaces(X);
    }
    return StoreFloat(DT, X, DestSize);
  }
  if (DT == bftLogical) {
    bool B = ST == bftDate ? V.Date != kMdbNoDate : ST == bftTime ? V.Time != kMdbNoTime
                                                                  : (V.Date != kMdbNoDate || V.Time != kMdbNoTime);
    return StoreLogical(B, DestSize);
  }
  switch (DT) {
    case bftDate:
      return StoreFixed(ST == bftTime ? V.Time : V.Date, DestSize);
    case bftTime:
      // A day number taken modulo a day's milliseconds: kept as the engine has always done it.
      return StoreFixed(ST == bftDate ? V.Date % kMdbMSecsPerDay : V.Time, DestSize);
    default:
      return StoreFixed(V, DestSize);
  }
}

void* FromLogical(const void* Source, TMdbBaseFieldType DT, std::int32_t& DestSize) {
  const bool B = Load<Word>(Source) != 0;
  if (IsCharBaseType(DT)) return StoreTextIn(DT, B ? u"True" : u"False", DestSize);
  if (IsIntegerBaseType(DT)) return StoreInt(DT, B ? 1 : 0, true, DestSize);
  if (IsFloatBaseType(DT)) return StoreFloat(DT, B ? 1.0 : 0.0, DestSize);
  return StoreLogical(B, DestSize);
}

void* FromCurrency(const void* Source, TMdbBaseFieldType DT, std::int32_t& DestSize) {
  const double C = Load<double>(Source);
  if (IsCharBaseType(DT)) return StoreTextIn(DT, CurrToStr(Currency::FromDouble(RoundToCurrencyPlaces(C))), DestSize);
  if (IsIntegerBaseType(DT)) {
    if (!std::isfinite(C)) RangeError();
    return StoreInt(DT, TruncToInt64(C), true, DestSize);
  }
  if (IsFloatBaseType(DT) || DT == bftCurrency) return StoreFloat(DT, C, DestSize);
  return StoreLogical(C != 0, DestSize);
}

void* SameType(const void* Source, std::int32_t Size, TMdbBaseFieldType T, std::int32_t& DestSize) {
  if (IsCharBaseType(T)) {
    const TSourceText Text = ReadText(Source, Size, T);
    return Text.Wide ? StoreTextW(Text.W, DestSize) : StoreText8(Text.A, DestSize);
  }
  if (Size <= 0) throw TEmptyResult{};
  return NewBlock(Source, Size, DestSize);
}

}  // namespace

TMdbBaseFieldType CommonBaseFieldType(TMdbBaseFieldType TypeA, TMdbBaseFieldType TypeB) {
  static const TCommonTable Table;
  if (TypeA > bftBFile || TypeB > bftBFile) return bftUnknown;
  return Table.T[TypeA][TypeB];
}

TMdbAdvancedFieldType CommonAdvancedFieldType(TMdbAdvancedFieldType TypeA, TMdbAdvancedFieldType TypeB) {
  const TMdbBaseFieldType A = AdvancedToBaseFieldType(TypeA);
  const TMdbBaseFieldType B = AdvancedToBaseFieldType(TypeB);
  const TMdbBaseFieldType C = CommonBaseFieldType(A, B);
  if (A == C) return TypeA;
  if (B == C) return TypeB;
  return C == bftUnknown ? aftUnknown : BaseToAdvancedFieldType(C);
}

bool IsSameStringWidth(TMdbBaseFieldType TypeA, TMdbBaseFieldType TypeB) {
  if (!IsStringBaseType(TypeA) || !IsStringBaseType(TypeB)) return false;
  return IsWideStringBaseType(TypeA) == IsWideStringBaseType(TypeB);
}

bool CanConvertData(TMdbBaseFieldType ST, TMdbBaseFieldType DT) {
  const bool CharDest = IsCharBaseType(DT);
  const bool NumDest = IsIntegerBaseType(DT) || IsFloatBaseType(DT);
  if (IsStringBaseType(ST) || ST == bftBlob) return DT >= bftChar && DT <= bftCurrency;
  if (IsIntegerBaseType(ST) || IsFloatBaseType(ST) || IsDateTimeBaseType(ST))
    return CharDest || NumDest || IsDateTimeBaseType(DT) || DT == bftLogical || DT == bftCurrency;
  if (ST == bftLogical) return CharDest || NumDest || DT == bftLogical;
  if (ST == bftCurrency) return CharDest || NumDest || DT == bftLogical || DT == bftCurrency;
  return false;
}

void* ConvertData(const void* Source, std::int32_t SourceSize, TMdbBaseFieldType ST, TMdbBaseFieldType DT,
                  std::int32_t& DestSize) {
  DestSize = 0;
  if (!CanConvertData(ST, DT) || !Source || SourceSize <= 0)
    throw EMdbException(30052, SMdbCannotCast, {BaseFieldTypeNameW(ST), BaseFieldTypeNameW(DT)});
  // A fixed-size source shorter than its storage form is not read past its end.
  Byte Fixed[10] = {};
  if (!IsStringBaseType(ST) && ST != bftBlob && SourceSize < 10) {
    std::memcpy(Fixed, Source, static_cast<std::size_t>(SourceSize));
    Source = Fixed;
  }
  try {
    if (ST == DT) return SameType(Source, SourceSize, ST, DestSize);
    if (IsStringBaseType(ST) || ST == bftBlob) return FromText(Source, SourceSize, ST, DT, DestSize);
    if (IsIntegerBaseType(ST)) return FromInt(Source, ST, DT, DestSize);
    if (IsFloatBaseType(ST)) return FromFloat(Source, ST, DT, DestSize);
    if (IsDateTimeBaseType(ST)) return FromDate(Source, ST, DT, DestSize);
    if (ST == bftLogical) return FromLogical(Source, DT, DestSize);
    return FromCurrency(Source, DT, DestSize);
  } catch (const TEmptyResult&) {
    throw EMdbException(30052, SMdbCannotCast, {BaseFieldTypeNameW(ST), BaseFieldTypeNameW(DT)});
  } catch (const Exception&) {
    throw EMdbException(30051, SMdbCannotCast, {BaseFieldTypeNameW(ST), BaseFieldTypeNameW(DT)});
  } catch (const std::bad_alloc&) {
    throw EMdbException(30051, SMdbCannotCast, {BaseFieldTypeNameW(ST), BaseFieldTypeNameW(DT)});
  }
}

void* ConvertDataBuffer(const void* Source, std::int32_t SourceSize, TMdbBaseFieldType SourceType,
                        TMdbBaseFieldType DestType) {
  std::int32_t Size = 0;
  return ConvertData(Source, SourceSize, SourceType, DestType, Size);
}

void TMdbVariant::Cast(TMdbBaseFieldType NewDataType) {
  if (NewDataType == FDataType) return;
  if (IsNull()) {
    Clear(NewDataType);
    return;
  }
  if ((IsText8(FDataType) && IsText8(NewDataType)) || (IsTextW(FDataType) && IsTextW(NewDataType))) {
    FDataType = NewDataType;
    FIsBLOB = false;
    return;
  }
  std::int32_t Size = 0;
  void* P = ConvertData(FPData, FDataSize, FDataType, NewDataType, Size);
  DropBuffer();
  FDataType = NewDataType;
  TakeBuffer(P, Size);
}
