// Comparison and hashing of values. Character values go through the platform's one locale comparison
// (CompareStringA / CompareStringW, user default locale, string sort), so that filters, index keys and
// CHECK bounds order texts alike. Values of equal type are compared in place: no buffer is taken.
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "platform/rtl/Extended.h"
#include "platform/sys/Collation.h"

namespace {

struct TSide {
  const Byte* P = nullptr;
  std::int32_t Size = 0;
};

template <class T>
T Load(const Byte* P, std::int32_t Size) {
  T V{};
  std::memcpy(&V, P, std::min<std::size_t>(sizeof(T), static_cast<std::size_t>(Size)));
  return V;
}

template <class T>
TMdbCompareResult Order(T A, T B) {
  if (A == B) return cmprEqual;
  return A < B ? cmprLower : cmprGreater;
}

// NaN sorts before every number and equals another NaN, so an ordering stays total.
template <class T>
TMdbCompareResult OrderFloat(T A, T B) {
  const bool NA = A != A, NB = B != B;
  if (NA || NB) return NA && NB ? cmprEqual : (NA ? cmprLower : cmprGreater);
  return Order(A, B);
}

// Units before the terminator, never past the buffer.
std::int32_t Text8Length(const TSide& S) {
  const void* Z = std::memchr(S.P, 0, static_cast<std::size_t>(S.Size));
  return Z ? static_cast<std::int32_t>(static_cast<const Byte*>(Z) - S.P) : S.Size;
}

std::int32_t TextWLength(const TSide& S) {
  const std::int32_t Units = S.Size / 2;
  std::int32_t N = 0;
  while (N < Units && (S.P[2 * N] != 0 || S.P[2 * N + 1] != 0)) ++N;
  return N;
}

TMdbCompareResult FromCollation(int R, int Code) {
  switch (R) {
    case sys::CSTR_LESS_THAN: return cmprLower;
    case sys::CSTR_EQUAL: return cmprEqual;
    case sys::CSTR_GREATER_THAN: return cmprGreater;
    default: throw EMdbException(Code, SMdbUnknownReturnCode, {R});
  }
}

TMdbCompareResult CompareIn(TMdbBaseFieldType T, const TSide& L, const TSide& R, bool CaseInsensitive, std::int32_t N) {
  const std::uint32_t Flags = sys::SORT_STRINGSORT | (CaseInsensitive ? sys::NORM_IGNORECASE : 0);
  switch (T) {
    case bftChar:
    case bftVarchar:
    case bftClob: {
      std::int32_t LL = Text8Length(L), RL = Text8Length(R);
      if (N >= 0) {
        LL = std::min(LL, N);
        RL = std::min(RL, N);
      }
      return FromCollation(sys::CompareStringA(sys::LOCALE_USER_DEFAULT, Flags, reinterpret_cast<const char*>(L.P), LL,
                                               reinterpret_cast<const char*>(R.P), RL),
                           30045);
    }
    case bftWideChar:
    case bftWideVarchar:
    case bftWideClob: {
      std::int32_t LL = TextWLength(L), RL = TextWLength(R);
      if (N >= 0) {
        LL = std::min(LL, N);
        RL = std::min(RL, N);
      }
      // The units are copied out only when the buffer is not 2-byte aligned (a record buffer).
      String LB, RB;
      const char16_t* LP = reinterpret_cast<const char16_t*>(L.P);
      const char16_t* RP = reinterpret_cast<const char16_t*>(R.P);
      if (reinterpret_cast<std::uintptr_t>(L.P) % 2) {
        LB.resize(static_cast<std::size_t>(LL));
        std::memcpy(LB.data(), L.P, static_cast<std::size_t>(LL) * 2);
        LP = LB.data();
      }
      if (reinterpret_cast<std::uintptr_t>(R.P) % 2) {
        RB.resize(static_cast<std::size_t>(RL));
        std::memcpy(RB.data(), R.P, static_cast<std::size_t>(RL) * 2);
        RP = RB.data();
      }
      return FromCollation(sys::CompareStringW(sys::LOCALE_USER_DEFAULT, Flags, LP, LL, RP, RL), 30046);
    }
    case bftSignedInt8: return Order(Load<std::int8_t>(L.P, L.Size), Load<std::int8_t>(R.P, R.Size));
    case bftSignedInt16: return Order(Load<std::int16_t>(L.P, L.Size), Load<std::int16_t>(R.P, R.Size));
    case bftSignedInt32:
    case bftDate:
    case bftTime: return Order(Load<std::int32_t>(L.P, L.Size), Load<std::int32_t>(R.P, R.Size));
    case bftSignedInt64: return Order(Load<Int64>(L.P, L.Size), Load<Int64>(R.P, R.Size));
    case bftUnsignedInt8: return Order(Load<std::uint8_t>(L.P, L.Size), Load<std::uint8_t>(R.P, R.Size));
    case bftUnsignedInt16: return Order(Load<std::uint16_t>(L.P, L.Size), Load<std::uint16_t>(R.P, R.Size));
    case bftUnsignedInt32: return Order(Load<std::uint32_t>(L.P, L.Size), Load<std::uint32_t>(R.P, R.Size));
    case bftSingle: return OrderFloat(Load<float>(L.P, L.Size), Load<float>(R.P, R.Size));
    case bftDouble:
    case bftCurrency: return OrderFloat(Load<double>(L.P, L.Size), Load<double>(R.P, R.Size));
    case bftExtended: {
      const auto A = Load<TExtended80Rec>(L.P, L.Size);
      const auto B = Load<TExtended80Rec>(R.P, R.Size);
      return OrderFloat(ExtendedToDouble(A), ExtendedToDouble(B));
    }
    case bftDateTime: {
      const auto A = Load<TMdbDateTime>(L.P, L.Size);
      const auto B = Load<TMdbDateTime>(R.P, R.Size);
      if (A.Date != B.Date) return Order(A.Date, B.Date);
      return Order(A.Time, B.Time);
    }
    case bftLogical:
      return Order(Load<Word>(L.P, L.Size) != 0 ? 1 : 0, Load<Word>(R.P, R.Size) != 0 ? 1 : 0);
    default:
      throw EMdbException(30047, SMdbUnknownDataTypeQuoted, {BaseFieldTypeNameW(T)});
  }
}

TMdbCompareResult FoldNulls(TMdbCompareResult R, bool TrueFalseNullLogic) {
  if (TrueFalseNullLogic) return R;
  switch (R) {
    case cmprLeftNull: return cmprLower;
    case cmprRightNull: return cmprGreater;
    case cmprBothNull: return cmprEqual;
    default: return R;
  }
}

}  // namespace

TMdbCompareResult TMdbVariant::Compare(const TMdbVariant* Value, bool TrueFalseNullLogic, bool CaseInsensitive,
                                       bool PartialKey) const {
  if (!Value->IsNull() && !FIsNull) {
    if (IsBLOBBaseType(Value->FDataType) && IsCharBaseType(FDataType))
      return FoldNulls(Value->CompareMemoAndAnsiString(true, this, TrueFalseNullLogic, CaseInsensitive, PartialKey),
                       TrueFalseNullLogic);
    if (IsBLOBBaseType(FDataType) && IsCharBaseType(Value->FDataType))
      return FoldNulls(CompareMemoAndAnsiString(false, Value, TrueFalseNullLogic, CaseInsensitive, PartialKey),
                       TrueFalseNullLogic);
  }
  const std::int32_t N = PartialKey ? Value->StrLen() : -1;
  const bool LN = IsNull(), RN = Value->IsNull();
  if (LN || RN) return FoldNulls(LN && RN ? cmprBothNull : (LN ? cmprLeftNull : cmprRightNull), TrueFalseNullLogic);

  const TMdbBaseFieldType T =
      FDataType == Value->FDataType ? FDataType : CommonBaseFieldType(FDataType, Value->FDataType);
  if (T == bftUnknown)
    throw EMdbException(30044, SMdbIncompatibleCompare, {BaseFieldTypeNameW(FDataType), BaseFieldTypeNameW(Value->FDataType)});
  TMdbBufferOwner LeftTemp, RightTemp;
  TSide L{FPData, FDataSize}, R{Value->FPData, Value->FDataSize};
  std::int32_t Size = 0;
  if (FDataType != T && !IsSameStringWidth(T, FDataType)) {
    LeftTemp.Reset(ConvertData(FPData, FDataSize, FDataType, T, Size));
    L = {LeftTemp.Get(), Size};
  }
  if (Value->FDataType != T && !IsSameStringWidth(T, Value->FDataType)) {
    RightTemp.Reset(ConvertData(Value->FPData, Value->FDataSize, Value->FDataType, T, Size));
    R = {RightTemp.Get(), Size};
  }
  if (!L.P || !R.P) throw EMdbException(30140, SMdbValueIsNull);
  return CompareIn(T, L, R, CaseInsensitive, N);
}

TMdbCompareResult TMdbVariant::CompareMemoAndAnsiString(bool ReverseResult, const TMdbVariant* Str, bool,
                                                        bool CaseInsensitive, bool PartialKey) const {
  const std::int32_t N = PartialKey ? Str->StrLen() : -1;
  const bool BlobNull = IsNull(), StrNull = Str->IsNull();
  const bool LN = ReverseResult ? StrNull : BlobNull;
  const bool RN = ReverseResult ? BlobNull : StrNull;
  if (LN || RN) return LN && RN ? cmprBothNull : (LN ? cmprLeftNull : cmprRightNull);
  const std::int32_t W = IsWideStringBaseType(Str->FDataType) ? 2 : 1;
  TMdbBufferOwner Copy(MdbMemoryManager->AllocMem(Int64(FDataSize) + W));
  std::memcpy(Copy.Get(), FPData, static_cast<std::size_t>(FDataSize));
  const TSide Blob{Copy.Get(), FDataSize + W};
  const TSide Text{Str->FPData, Str->FDataSize};
  return ReverseResult ? CompareIn(Str->FDataType, Text, Blob, CaseInsensitive, N)
                       : CompareIn(Str->FDataType, Blob, Text, CaseInsensitive, N);
}

std::uint32_t TMdbVariant::GetBinaryHash() const {
  if (FIsNull || !FPData) return kMdbNullHash;
  std::int32_t L = FDataSize;
  if (!FIsBLOB && IsStringBaseType(FDataType)) L = IsWideStringBaseType(FDataType) ? 2 * TextUnits() : TextUnits();
  std::uint32_t H = CalcCRC32(kMdbHashSeed, FPData, L);
  if (L <= kMdbHashByteSumLimit)
    for (std::int32_t i = 0; i < L; ++i) H += FPData[i];
  return H;
}
