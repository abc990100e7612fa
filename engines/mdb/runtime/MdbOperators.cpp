// Arithmetic, bitwise and Boolean operators of values. Both operands are brought to their common type
// and the result is written back into the left operand in that type. Integer faults never reach the
// processor: every case that would trap (a zero divisor, the most negative value divided by -1) is
// checked first. 8- and 16-bit results out of range raise the platform's range error; 32- and 64-bit
// results wrap, computed through unsigned arithmetic.
#include <cmath>
#include <cstring>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Variant.h"

enum class TOp { Add, Sub, Mul, Div, And, Or, Xor, Shl, Shr };

namespace {

[[noreturn]] void RangeError() { throw ERangeError(String(msg::SRangeError)); }
[[noreturn]] void DivByZero() { throw EDivByZero(String(msg::SDivByZero)); }

Int64 LoadIntOf(TMdbBaseFieldType T, const Byte* P) {
  switch (T) {
    case bftSignedInt8: { std::int8_t V; std::memcpy(&V, P, 1); return V; }
    case bftSignedInt16: { std::int16_t V; std::memcpy(&V, P, 2); return V; }
    case bftSignedInt32: case bftDate: case bftTime: { std::int32_t V; std::memcpy(&V, P, 4); return V; }
    case bftSignedInt64: { Int64 V; std::memcpy(&V, P, 8); return V; }
    case bftUnsignedInt8: return P[0];
    case bftUnsignedInt16: { std::uint16_t V; std::memcpy(&V, P, 2); return V; }
    default: { std::uint32_t V; std::memcpy(&V, P, 4); return V; }
  }
}

// The value as it must be stored in T: 8- and 16-bit types are range checked, wider ones wrap.
Int64 FitInt(TMdbBaseFieldType T, Int64 V) {
  switch (T) {
    case bftSignedInt8: if (V < INT8_MIN || V > INT8_MAX) RangeError(); return V;
    case bftSignedInt16: if (V < INT16_MIN || V > INT16_MAX) RangeError(); return V;
    case bftUnsignedInt8: if (V < 0 || V > UINT8_MAX) RangeError(); return V;
    case bftUnsignedInt16: if (V < 0 || V > UINT16_MAX) RangeError(); return V;
    case bftUnsignedInt32: return static_cast<std::uint32_t>(V);
    case bftSignedInt64: return V;
    default: return static_cast<std::int32_t>(static_cast<std::uint32_t>(V));
  }
}

Int64 WrapAdd(Int64 A, Int64 B) { return static_cast<Int64>(static_cast<UInt64>(A) + static_cast<UInt64>(B)); }
Int64 WrapSub(Int64 A, Int64 B) { return static_cast<Int64>(static_cast<UInt64>(A) - static_cast<UInt64>(B)); }
Int64 WrapMul(Int64 A, Int64 B) { return static_cast<Int64>(static_cast<UInt64>(A) * static_cast<UInt64>(B)); }

// Truncating division in T. Operands already lie in T's range, so only Int32 / Int64 minimum by -1
// can leave it; both are refused rather than wrapped.
Int64 IntDivide(TMdbBaseFieldType T, Int64 A, Int64 B) {
  if (B == 0) DivByZero();
  if (B == -1) {
    if ((T == bftSignedInt32 || T == bftDate || T == bftTime) && A == INT32_MIN) throw EIntOverflow(String(msg::SIntOverflow));
    if (T == bftSignedInt64 && A == INT64_MIN) throw EIntOverflow(String(msg::SIntOverflow));
    return -A;
  }
  return A / B;
}

Int64 IntOp(TOp Op, TMdbBaseFieldType T, Int64 A, Int64 B) {
  switch (Op) {
    case TOp::Add: return WrapAdd(A, B);
    case TOp::Sub: return WrapSub(A, B);
    case TOp::Mul: return WrapMul(A, B);
    case TOp::Div: return IntDivide(T, A, B);
    case TOp::And: return A & B;
    case TOp::Or: return A | B;
    case TOp::Xor: return A ^ B;
    case TOp::Shl: {
      if (T == bftSignedInt64) return static_cast<Int64>(static_cast<UInt64>(A) << (B & 63));
      const std::uint32_t R = static_cast<std::uint32_t>(A) << (B & 31);
      if (T == bftUnsignedInt8 || T == bftUnsignedInt16 || T == bftUnsignedInt32) return R;
      return static_cast<std::int32_t>(R);
    }
    case TOp::Shr: {
      if (T == bftSignedInt64) return static_cast<Int64>(static_cast<UInt64>(A) >> (B & 63));
      // A negative 8- or 16-bit value is sign-extended to 32 bits before the logical shift.
      const std::uint32_t R = static_cast<std::uint32_t>(A) >> (B & 31);
      if (T == bftSignedInt32) return static_cast<std::int32_t>(R);
      return R;
    }
  }
  return 0;
}

double FloatOp(TOp Op, double A, double B) {
  switch (Op) {
    case TOp::Add: return A + B;
    case TOp::Sub: return A - B;
    case TOp::Mul: return A * B;
    default:
      if (B == 0) {
        if (A == 0 || A != A) throw EInvalidOp(String(msg::SInvalidOp));
        throw EZeroDivide(String(msg::SZeroDivide));
      }
      return A / B;
  }
}

const char16_t* OpSign(TOp Op) {
  switch (Op) {
    case TOp::Add: return u"+";
    case TOp::Sub: return u"-";
    case TOp::Mul: return u"*";
    case TOp::Div: return u"/";
    default: return u"*";
  }
}

int OpCode(TOp Op) {
  switch (Op) {
    case TOp::Add: return 30124;
    case TOp::Sub: return 30125;
    case TOp::Mul: return 30126;
    case TOp::Div: return 30127;
    case TOp::And: return 11645;
    case TOp::Or: return 11646;
    case TOp::Shl: return 11648;
    case TOp::Shr: return 11649;
    default: return 11650;
  }
}

bool IsArithmetic(TOp Op) { return Op == TOp::Add || Op == TOp::Sub || Op == TOp::Mul || Op == TOp::Div; }

}  // namespace

// The shared frame of the binary operators (a friend of TMdbVariant).
class TMdbOperatorFrame {
 public:
  static void Run(TMdbVariant* Self, const TMdbVariant* Value, TOp Op) {
    if (Value->IsNull()) {
      if (IsArithmetic(Op))
        Self->SetNull();
      else
        Self->Clear(Self->FDataType);
      return;
    }
    if (Self->IsNull()) {
      if (Op == TOp::Add) Self->Assign(Value, true, false);
      return;
    }
    Self->Cast(CommonBaseFieldType(Self->FDataType, Value->FDataType));
    const TMdbBaseFieldType T = Self->FDataType;
    const bool Shift = Op == TOp::Shl || Op == TOp::Shr;
    if (IsIntegerBaseType(T)) {
      const Int64 A = Read(Self, T), B = Read(Value, T);
      Int64 R = IntOp(Op, T, A, B);
      if (Op == TOp::Shr && (T == bftSignedInt8 || T == bftSignedInt16)) R = static_cast<std::uint32_t>(R);
      Write(Self, T, FitInt(T, R));
      return;
    }
    if (Shift) throw EMdbException(OpCode(Op), SMdbNotNumericArgument, {OpSign(Op)});
    if (T == bftLogical) {
      const bool A = Self->AsBoolean(), B = ReadLogical(Value);
      bool R = A || B;  // every arithmetic operator ORs two Booleans
      if (Op == TOp::And) R = A && B;
      if (Op == TOp::Xor) R = A != B;
      Self->SetAsBoolean(R);
      return;
    }
    if (!IsArithmetic(Op)) throw EMdbException(OpCode(Op), SMdbNotNumericArgument, {OpSign(Op)});
    if (IsFloatBaseType(T) || T == bftCurrency) {
      const double R = FloatOp(Op, ReadFloat(Self, T), ReadFloat(Value, T));
      switch (T) {
        case bftSingle: Self->SetAsSingle(static_cast<float>(R)); break;
        case bftDouble: Self->SetAsDouble(R); break;
        case bftExtended: Self->SetAsExtended(R); break;
        default: Self->SetAsCurrency(R); break;
      }
      return;
    }
    if (T == bftDate || T == bftTime) {
      const Int64 R = IntOp(Op, bftSignedInt32, Read(Self, T), Read(Value, T));
      Write(Self, T, static_cast<std::int32_t>(static_cast<std::uint32_t>(R)));
      return;
    }
    if (T == bftDateTime) {
      const TMdbDateTime A = Self->AsMdbDateTime(), B = Value->AsMdbDateTime();
      auto Part = [&](std::int32_t X, std::int32_t Y) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(IntOp(Op, bftSignedInt32, X, Y)));
      };
      TMdbDateTime R{Part(A.Date, B.Date), Part(A.Time, B.Time)};
      if (R.Time >= kMdbMSecsPerDay) {
        R.Date = static_cast<std::int32_t>(static_cast<std::uint32_t>(R.Date) + static_cast<std::uint32_t>(R.Time / kMdbMSecsPerDay));
        R.Time %= kMdbMSecsPerDay;
      }
      Self->SetAsMdbDateTime(R);
      return;
    }
    throw EMdbException(OpCode(Op), SMdbNotNumericArgument, {OpSign(Op)});
  }

  static Int64 Read(const TMdbVariant* V, TMdbBaseFieldType T) {
    Byte B[8] = {};
    V->InternalGetValue(T, B, 8);
    return LoadIntOf(T, B);
  }
  static bool ReadLogical(const TMdbVariant* V) { return V->AsBoolean(); }
  static double ReadFloat(const TMdbVariant* V, TMdbBaseFieldType T) {
    switch (T) {
      case bftSingle: return V->AsSingle();
      case bftDouble: return V->AsDouble();
      case bftExtended: return V->AsExtended();
      default: return V->AsCurrency();
    }
  }
  static void Write(TMdbVariant* V, TMdbBaseFieldType T, Int64 X) {
    switch (T) {
      case bftSignedInt8: V->SetAsShortint(static_cast<std::int8_t>(X)); break;
      case bftSignedInt16: V->SetAsSmallint(static_cast<std::int16_t>(X)); break;
      case bftSignedInt32: V->SetAsInteger(static_cast<std::int32_t>(X)); break;
      case bftSignedInt64: V->SetAsInt64(X); break;
      case bftUnsignedInt8: V->SetAsByte(static_cast<Byte>(X)); break;
      case bftUnsignedInt16: V->SetAsWord(static_cast<Word>(X)); break;
      case bftUnsignedInt32: V->SetAsCardinal(static_cast<Cardinal>(X)); break;
      case bftDate: V->SetAsMdbDate(static_cast<std::int32_t>(X)); break;
      default: V->SetAsMdbTime(static_cast<std::int32_t>(X)); break;
    }
  }
};

void TMdbVariant::Add(const TMdbVariant* Value) {
  if (IsStringBaseType(FDataType) || IsStringBaseType(Value->FDataType)) {
    if (IsWideStringBaseType(FDataType) || IsWideStringBaseType(Value->FDataType))
      SetAsWideString(AsWideString() + Value->AsWideString());
    else
      SetAsString(AsString() + Value->AsString());
    return;
  }
  TMdbOperatorFrame::Run(this, Value, TOp::Add);
}

void TMdbVariant::Sub(const TMdbVariant* Value) { TMdbOperatorFrame::Run(this, Value, TOp::Sub); }
void TMdbVariant::Mul(const TMdbVariant* Value) { TMdbOperatorFrame::Run(this, Value, TOp::Mul); }

void TMdbVariant::Division(const TMdbVariant* Value) {
  try {
    TMdbOperatorFrame::Run(this, Value, TOp::Div);
  } catch (const EMdbException&) {
    throw;
  } catch (const Exception& E) {
    throw EMdbException(30128, SMdbDivisionError, {E.Message()});
  }
}

void TMdbVariant::AndData(const TMdbVariant* Value) { TMdbOperatorFrame::Run(this, Value, TOp::And); }
void TMdbVariant::OrData(const TMdbVariant* Value) { TMdbOperatorFrame::Run(this, Value, TOp::Or); }
void TMdbVariant::XorData(const TMdbVariant* Value) { TMdbOperatorFrame::Run(this, Value, TOp::Xor); }

void TMdbVariant::ShlData(const TMdbVariant* Value) {
  if (!Value->IsNull() && !IsNull() && !IsIntegerBaseType(CommonBaseFieldType(FDataType, Value->FDataType)))
    throw EMdbException(11648, SMdbNotNumericArgument, {u"*"});
  TMdbOperatorFrame::Run(this, Value, TOp::Shl);
}

void TMdbVariant::ShrData(const TMdbVariant* Value) {
  if (!Value->IsNull() && !IsNull() && !IsIntegerBaseType(CommonBaseFieldType(FDataType, Value->FDataType)))
    throw EMdbException(11649, SMdbNotNumericArgument, {u"*"});
  TMdbOperatorFrame::Run(this, Value, TOp::Shr);
}

void TMdbVariant::NotData() {
  if (IsNull()) return;
  if (IsIntegerBaseType(FDataType)) {
    const Int64 V = TMdbOperatorFrame::Read(this, FDataType);
    Int64 R = ~V;
    if (FDataType == bftUnsignedInt8) R &= 0xFF;
    if (FDataType == bftUnsignedInt16) R &= 0xFFFF;
    if (FDataType == bftUnsignedInt32) R &= 0xFFFFFFFF;
    TMdbOperatorFrame::Write(this, FDataType, R);
    return;
  }
  if (FDataType == bftLogical) {
    SetAsBoolean(!AsBoolean());
    return;
  }
  throw EMdbException(11647, SMdbNotNumericArgument, {u"*"});
}

void TMdbVariant::InvertValue() {
  if (IsNull()) return;
  switch (FDataType) {
    case bftSignedInt8: case bftSignedInt16: case bftSignedInt32: case bftSignedInt64: {
      const Int64 V = TMdbOperatorFrame::Read(this, FDataType);
      if ((FDataType == bftSignedInt64 && V == INT64_MIN) || (FDataType == bftSignedInt32 && V == INT32_MIN))
        throw EIntOverflow(String(msg::SIntOverflow));
      TMdbOperatorFrame::Write(this, FDataType, FitInt(FDataType, -V));
      return;
    }
    case bftUnsignedInt8: case bftUnsignedInt16: case bftUnsignedInt32: {
      // Negated as a signed number of the same width and stored as its two's-complement bits.
      const Int64 V = TMdbOperatorFrame::Read(this, FDataType);
      const Int64 Limit = FDataType == bftUnsignedInt8 ? 128 : FDataType == bftUnsignedInt16 ? 32768 : 2147483648LL;
      if (V > Limit) RangeError();
      const Int64 Mask = FDataType == bftUnsignedInt8 ? 0xFF : FDataType == bftUnsignedInt16 ? 0xFFFF : 0xFFFFFFFFLL;
      TMdbOperatorFrame::Write(this, FDataType, (-V) & Mask);
      return;
    }
    case bftSingle: SetAsSingle(-AsSingle()); return;
    case bftDouble: SetAsDouble(-AsDouble()); return;
    case bftExtended: SetAsExtended(-AsExtended()); return;
    case bftCurrency: SetAsCurrency(-AsCurrency()); return;
    case bftDate: SetAsMdbDate(static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(AsMdbDate()))); return;
    case bftTime: SetAsMdbTime(kMdbMSecsPerDay - AsMdbTime()); return;
    case bftDateTime: {
      const TMdbDateTime V = AsMdbDateTime();
      SetAsMdbDateTime({static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(V.Date)),
                        static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(V.Time))});
      return;
    }
    case bftLogical: SetAsBoolean(!AsBoolean()); return;
    default: throw EMdbException(30123, SMdbCannotInvert, {BaseFieldTypeNameW(FDataType)});
  }
}

void TMdbVariant::ModData(TMdbVariant* Value) {
  if (IsNull() || !IsNumericBaseType(FDataType) || !IsNumericBaseType(Value->FDataType)) {
    SetNull();
    return;
  }
  Cast(bftSignedInt64);
  Value->Cast(bftSignedInt64);
  const Int64 A = AsInt64();
  const Int64 B = Value->AsInt64();
  if (B == 0) DivByZero();
  SetAsInt64(B == -1 ? 0 : A % B);
}
