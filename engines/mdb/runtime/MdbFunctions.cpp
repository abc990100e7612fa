// The numeric, rounding, hexadecimal and date-arithmetic SQL functions on values. Transcendental
// functions compute in the processor's extended precision and store the result in the value's own
// type. Date addition and difference work on calendar arithmetic rather than stepping one unit at a
// time, so a count of a billion milliseconds costs the same as one; the answers are those of stepping
// with carries (months clamp the day to the month's last day, weeks count Sundays crossed).
#include <cmath>
#include <cstring>
#include <numbers>

#include "engines/mdb/runtime/MdbCodecs.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Random.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Variant.h"

namespace {

[[noreturn]] void RangeError() { throw ERangeError(String(msg::SRangeError)); }

void IntRange(TMdbBaseFieldType T, Int64& Lo, Int64& Hi) {
  switch (T) {
    case bftSignedInt8: Lo = INT8_MIN; Hi = INT8_MAX; break;
    case bftSignedInt16: Lo = INT16_MIN; Hi = INT16_MAX; break;
    case bftSignedInt32: Lo = INT32_MIN; Hi = INT32_MAX; break;
    case bftUnsignedInt8: Lo = 0; Hi = UINT8_MAX; break;
    case bftUnsignedInt16: Lo = 0; Hi = UINT16_MAX; break;
    case bftUnsignedInt32: Lo = 0; Hi = UINT32_MAX; break;
    default: Lo = INT64_MIN; Hi = INT64_MAX; break;
  }
}

// A floating-point result as an integer of T: NaN and values outside T raise the range error.
Int64 ToIntIn(TMdbBaseFieldType T, long double X) {
  Int64 Lo, Hi;
  IntRange(T, Lo, Hi);
  if (!(X >= static_cast<long double>(Lo) && X <= static_cast<long double>(Hi))) RangeError();
  return static_cast<Int64>(X);
}

long double CheckedResult(long double R) {
  if (std::isnan(R)) throw EInvalidOp(String(msg::SInvalidOp));
  if (std::isinf(R)) throw EOverflow(String(msg::SOverflow));
  return R;
}

void SplitCivil(Int64 Day, int& Y, int& M, int& D) {
  std::uint16_t YY, MM, DD;
  DecodeDate(static_cast<double>(Day - kMdbDateDelta), YY, MM, DD);
  Y = YY;
  M = MM;
  D = DD;
}

}  // namespace

class TMdbFunctionFrame {
 public:
  using TFn = long double (*)(long double);

  static void Transcendental(TMdbVariant* Self, int Code, const char16_t* Name, TFn Fn) {
    if (Self->IsNull()) return;
    if (!IsNumericBaseType(Self->FDataType) && !IsStringBaseType(Self->FDataType))
      throw EMdbException(Code, SMdbNotNumericArgument, {Name});
    Store(Self, CheckedResult(Fn(Self->AsExtended())));
  }

  static void Store(TMdbVariant* Self, long double R) {
    const TMdbBaseFieldType T = Self->FDataType;
    if (IsIntegerBaseType(T)) {
      Self->SetAsInt64(ToIntIn(T, std::nearbyint(R)));
      return;
    }
    Self->SetAsExtended(static_cast<double>(R));
  }
};

void TMdbVariant::ExpData() {
  TMdbFunctionFrame::Transcendental(this, 12488, u"EXP", [](long double X) { return std::exp(X); });
}
void TMdbVariant::Log10Data() {
  TMdbFunctionFrame::Transcendental(this, 12490, u"LOG10", [](long double X) {
    if (X == 0) throw EZeroDivide(String(msg::SZeroDivide));
    return std::log10(X);
  });
}
void TMdbVariant::CosData() { TMdbFunctionFrame::Transcendental(this, 12491, u"COS", [](long double X) { return std::cos(X); }); }
void TMdbVariant::SinData() { TMdbFunctionFrame::Transcendental(this, 12492, u"SIN", [](long double X) { return std::sin(X); }); }
void TMdbVariant::AcosData() { TMdbFunctionFrame::Transcendental(this, 12495, u"ACOS", [](long double X) { return std::acos(X); }); }
void TMdbVariant::AsinData() { TMdbFunctionFrame::Transcendental(this, 12496, u"ASIN", [](long double X) { return std::asin(X); }); }
void TMdbVariant::AtanData() { TMdbFunctionFrame::Transcendental(this, 12502, u"ATAN", [](long double X) { return std::atan(X); }); }
void TMdbVariant::CotData() {
  TMdbFunctionFrame::Transcendental(this, 12506, u"COT", [](long double X) {
    const long double T = std::tan(X);
    if (T == 0) throw EZeroDivide(String(msg::SZeroDivide));
    return 1 / T;
  });
}
void TMdbVariant::TanData() { TMdbFunctionFrame::Transcendental(this, 12507, u"TAN", [](long double X) { return std::tan(X); }); }
void TMdbVariant::SqrtData() { TMdbFunctionFrame::Transcendental(this, 12512, u"SQRT", [](long double X) { return std::sqrt(X); }); }
void TMdbVariant::DegreesData() {
  TMdbFunctionFrame::Transcendental(this, 12513, u"DEGREES", [](long double X) { return X / std::numbers::pi_v<long double> * 180; });
}
void TMdbVariant::RadiansData() {
  TMdbFunctionFrame::Transcendental(this, 12514, u"RADIANS", [](long double X) { return X / 180 * std::numbers::pi_v<long double>; });
}

void TMdbVariant::LogData(const TMdbVariant* Base) {
  if (IsNull()) return;
  if (!IsNumericBaseType(FDataType) && !IsStringBaseType(FDataType))
    throw EMdbException(12489, SMdbNotNumericArgument, {u"LOG"});
  const long double X = AsExtended();
  if (X == 0) throw EZeroDivide(String(msg::SZeroDivide));
  long double R = std::log(X);
  if (Base && !Base->IsNull()) {
    const long double B = std::log(static_cast<long double>(Base->AsExtended()));
    if (B == 0) throw EZeroDivide(String(msg::SZeroDivide));
    R /= B;
  }
  TMdbFunctionFrame::Store(this, CheckedResult(R));
}

void TMdbVariant::Atan2Data(const TMdbVariant* YCoord) {
  if (IsNull() || !YCoord || YCoord->IsNull()) return;
  if (!IsNumericBaseType(FDataType) && !IsStringBaseType(FDataType))
    throw EMdbException(12503, SMdbNotNumericArgument, {u"ATAN2"});
  TMdbFunctionFrame::Store(this, CheckedResult(std::atan2(static_cast<long double>(AsExtended()),
                                                          static_cast<long double>(YCoord->AsExtended()))));
}

void TMdbVariant::AbsData() {
  if (IsNull()) return;
  switch (FDataType) {
    case bftSignedInt8: case bftSignedInt16: case bftSignedInt32: case bftSignedInt64: {
      const Int64 V = AsInt64();
      if (V == INT64_MIN) throw EIntOverflow(String(msg::SIntOverflow));
      Int64 Lo, Hi;
      IntRange(FDataType, Lo, Hi);
      if (-V > Hi && V < 0) RangeError();
      SetAsInt64(V < 0 ? -V : V);
      return;
    }
    case bftUnsignedInt8: case bftUnsignedInt16: case bftUnsignedInt32: return;
    case bftSingle: case bftDouble: case bftExtended: case bftCurrency: SetAsExtended(std::fabs(AsExtended())); return;
    default: throw EMdbException(11651, SMdbNotNumericArgument, {u"*"});
  }
}

void TMdbVariant::SignData() {
  if (IsNull()) return;
  if (IsIntegerBaseType(FDataType)) {
    const Int64 V = AsInt64();
    SetAsInt64(V > 0 ? 1 : V < 0 ? -1 : 0);
    return;
  }
  if (IsFloatBaseType(FDataType) || FDataType == bftCurrency) {
    const double V = AsExtended();
    SetAsExtended(V > 0 ? 1 : V < 0 ? -1 : 0);
    return;
  }
  throw EMdbException(11652, SMdbNotNumericArgument, {u"*"});
}

namespace {
void CeilOrFloor(TMdbVariant* Self, bool Ceiling) {
  if (Self->IsNull() || !IsNumericBaseType(Self->DataType())) {
    Self->SetNull();
    return;
  }
  if (IsIntegerBaseType(Self->DataType())) {
    Self->Cast(bftSignedInt32);
    return;
  }
  const double X = Self->AsExtended();
  const Int64 R = ToIntIn(bftSignedInt32, Ceiling ? std::ceil(X) : std::floor(X));
  Self->Clear(bftSignedInt32);
  Self->SetAsInteger(static_cast<std::int32_t>(R));
}
}  // namespace

void TMdbVariant::CeilingData() { CeilOrFloor(this, true); }
void TMdbVariant::FloorData() { CeilOrFloor(this, false); }

void TMdbVariant::PowerData(TMdbVariant* Value) {
  if (IsNull() || !IsNumericBaseType(FDataType) || !IsNumericBaseType(Value->FDataType)) {
    SetNull();
    return;
  }
  if (IsIntegerBaseType(FDataType) && IsIntegerBaseType(Value->FDataType)) {
    Cast(bftSignedInt64);
    Value->Cast(bftSignedInt64);
    const long double R = CheckedResult(std::pow(static_cast<long double>(AsInt64()), static_cast<long double>(Value->AsInt64())));
    SetAsInt64(ToIntIn(bftSignedInt64, std::trunc(R)));
    return;
  }
  Cast(bftExtended);
  Value->Cast(bftExtended);
  SetAsExtended(static_cast<double>(CheckedResult(std::pow(static_cast<long double>(AsExtended()),
                                                           static_cast<long double>(Value->AsExtended())))));
}

void TMdbVariant::RandomData(TMdbVariant* Value) {
  if (IsNull() || !Value) {
    Clear(bftExtended);
    SetAsExtended(RandomFloat());
    return;
  }
  Value->Cast(bftSignedInt32);
  const std::int32_t Range = Value->AsInteger();
  Clear(bftSignedInt32);
  SetAsInteger(Random(Range));
}

namespace {
void RoundOrTruncate(TMdbVariant* Self, TMdbVariant* Value, bool Round) {
  if (!Value) {
    if (Self->IsNull()) {
      Self->Clear(bftSignedInt64);
      return;
    }
    Self->Cast(bftExtended);
    const double X = Self->AsExtended();
    const Int64 R = ToIntIn(bftSignedInt64, Round ? std::nearbyint(X) : std::trunc(X));
    Self->Clear(bftSignedInt64);
    Self->SetAsInt64(R);
    return;
  }
  if (Self->IsNull()) {
    Self->Clear(bftVarchar);
    return;
  }
  Self->Cast(bftExtended);
  const Int64 N64 = Value->AsInt64();
  if (N64 < INT32_MIN || N64 > INT32_MAX) RangeError();
  const auto N = static_cast<std::int32_t>(N64);
  // A negative count of places has no decimal text form.
  if (N < 0) RangeError();
  double X = Self->AsExtended();
  if (X - std::trunc(X) > 0) {
    if (N > 9) throw EIntOverflow(String(msg::SIntOverflow));  // 10^n as a 32-bit integer
    std::int32_t S = 1;
    for (std::int32_t i = 0; i < N; ++i) S *= 10;
    X = Round ? std::trunc((X + 0.5 / S) * S) / S : std::trunc(X * S) / S;
  }
  const String Fmt = u"%." + IntToStr(N) + u"f";
  Self->Clear(bftVarchar);
  Self->SetAsWideString(Format(Fmt, {X}));
}
}  // namespace

void TMdbVariant::RoundData(TMdbVariant* Value) { RoundOrTruncate(this, Value, true); }
void TMdbVariant::TruncateData(TMdbVariant* Value) { RoundOrTruncate(this, Value, false); }

void TMdbVariant::HexData(TMdbHexStringFormat Format) {
  if (FIsNull) return;
  String Text;
  if (IsCharBaseType(FDataType)) {
    const std::int32_t Units = TextUnits();
    const std::int32_t Bytes = IsWideStringBaseType(FDataType) ? Units * 2 : Units;
    Text = Str(TFormat_HEX::Encode(FPData, Bytes));
  } else if (IsIntegerBaseType(FDataType)) {
    const Int64 V = AsInt64();
    switch (FDataType) {
      case bftSignedInt8: Text = V < 0 ? IntToHex(static_cast<int>(V), 8) : IntToHex(V, 2); break;
      case bftSignedInt16: Text = V < 0 ? IntToHex(static_cast<int>(V), 8) : IntToHex(V, 4); break;
      case bftUnsignedInt8: Text = IntToHex(V, 2); break;
      case bftUnsignedInt16: Text = IntToHex(V, 4); break;
      case bftSignedInt32: Text = IntToHex(static_cast<int>(V), 8); break;
      case bftUnsignedInt32: Text = IntToHex(V, 8); break;
      default: Text = IntToHex(V, 16); break;
    }
  } else {
    Clear(bftChar);
    return;
  }
  if (Format == ahexfVellum) Text = u"$" + Text;
  if (Format == ahexfCPP) Text = LowerCase(u"0x" + Text);
  Clear(bftWideChar);
  SetAsWideString(Text);
}

void TMdbVariant::DateAdd(TMdbDatePart DatePart, std::int32_t Number) {
  if (DatePart == dpUNDEFINED) return;
  try {
    if (!IsDateTimeBaseType(FDataType)) Cast(bftDateTime);
    const TMdbDateTime V = DateTimeToMdbDateTime(AsTDateTime());
    Int64 Day = V.Date;
    Int64 MSec = V.Time;
    if (DatePart == dpYEAR || DatePart == dpQUARTER || DatePart == dpMONTH) {
      int Y, M, D;
      SplitCivil(Day, Y, M, D);
      const Int64 Months = DatePart == dpYEAR ? Int64(Number) * 12 : DatePart == dpQUARTER ? Int64(Number) * 3 : Number;
      const Int64 Total = Int64(Y) * 12 + (M - 1) + Months;
      const Int64 NewY = Total >= 0 ? Total / 12 : -((-Total + 11) / 12);
      const int NewM = static_cast<int>(Total - NewY * 12) + 1;
      if (NewY < 1 || NewY > 9999) throw ERangeError(String(msg::SRangeError));
      D = std::min(D, DaysInAMonth(static_cast<int>(NewY), NewM));
      Day = DateTimeToMdbDate(EncodeDate(static_cast<int>(NewY), NewM, D));
    } else {
      Int64 Unit = 1;
      switch (DatePart) {
        case dpDAY: Unit = kMdbMSecsPerDay; break;
        case dpWEEK: Unit = Int64(kMdbMSecsPerDay) * 7; break;
        case dpHOUR: Unit = 3600000; break;
        case dpMINUTE: Unit = 60000; break;
        case dpSECOND: Unit = 1000; break;
        default: Unit = 1; break;
      }
      const Int64 Total = Day * kMdbMSecsPerDay + MSec + Int64(Number) * Unit;
      Day = Total >= 0 ? Total / kMdbMSecsPerDay : -((-Total + kMdbMSecsPerDay - 1) / kMdbMSecsPerDay);
      MSec = Total - Day * kMdbMSecsPerDay;
      if (Day < 1 || Day > 3652059) throw ERangeError(String(msg::SRangeError));  // 0001-01-01 .. 9999-12-31
    }
    SetAsTDateTime(MdbDateTimeToDateTime({static_cast<std::int32_t>(Day), static_cast<std::int32_t>(MSec)}));
  } catch (...) {
    Clear(bftUnknown);
  }
}

void TMdbVariant::DateDiff(TMdbDatePart DatePart, TMdbVariant* StartDate, TMdbVariant* EndDate) {
  if (DatePart == dpUNDEFINED) return;
  try {
    if (!IsDateTimeBaseType(StartDate->FDataType)) StartDate->Cast(bftDateTime);
    if (!IsDateTimeBaseType(EndDate->FDataType)) EndDate->Cast(bftDateTime);
    const bool Reversed = StartDate->Compare(EndDate, false, false, false) == cmprGreater;
    const TMdbDateTime A = DateTimeToMdbDateTime((Reversed ? EndDate : StartDate)->AsTDateTime());
    const TMdbDateTime B = DateTimeToMdbDateTime((Reversed ? StartDate : EndDate)->AsTDateTime());
    int Y1, M1, D1, Y2, M2, D2;
    SplitCivil(A.Date, Y1, M1, D1);
    SplitCivil(B.Date, Y2, M2, D2);
    Int64 Count = 0;
    const Int64 Ms1 = Int64(A.Date) * kMdbMSecsPerDay + A.Time, Ms2 = Int64(B.Date) * kMdbMSecsPerDay + B.Time;
    switch (DatePart) {
      case dpYEAR: Count = Y2 - Y1; break;
      case dpMONTH: Count = (Int64(Y2) * 12 + M2) - (Int64(Y1) * 12 + M1); break;
      case dpQUARTER: Count = (Int64(Y2) * 4 + (M2 - 1) / 3) - (Int64(Y1) * 4 + (M1 - 1) / 3); break;
      case dpDAY: Count = Int64(B.Date) - A.Date; break;
      // Day 1 (0001-01-01) is a Monday, so a new week starts at every day number divisible by 7.
      case dpWEEK: Count = Int64(B.Date) / 7 - Int64(A.Date) / 7; break;
      case dpHOUR: Count = Ms2 / 3600000 - Ms1 / 3600000; break;
      case dpMINUTE: Count = Ms2 / 60000 - Ms1 / 60000; break;
      case dpSECOND: Count = Ms2 / 1000 - Ms1 / 1000; break;
      default: Count = Ms2 - Ms1; break;
    }
    if (Count > INT32_MAX) throw ERangeError(String(msg::SRangeError));
    Clear(bftSignedInt32);
    SetAsInteger(static_cast<std::int32_t>(Reversed ? -Count : Count));
  } catch (...) {
    Clear(bftUnknown);
  }
}

void TMdbVariant::SqrData() {
  if (IsNull()) return;
  switch (FDataType) {
    case bftSignedInt8: { const Int64 V = AsInt64(); SetAsSmallint(static_cast<std::int16_t>(V * V)); return; }
    case bftUnsignedInt8: { const Int64 V = AsInt64(); SetAsWord(static_cast<Word>(V * V)); return; }
    case bftSignedInt16: { const Int64 V = AsInt64(); SetAsInteger(static_cast<std::int32_t>(V * V)); return; }
    case bftUnsignedInt16: { const Int64 V = AsInt64(); SetAsCardinal(static_cast<Cardinal>(V * V)); return; }
    case bftSignedInt32: case bftUnsignedInt32: {
      const Int64 V = AsInt64();
      SetAsInt64(static_cast<Int64>(static_cast<UInt64>(V) * static_cast<UInt64>(V)));
      return;
    }
    case bftSignedInt64: {
      const Int64 V = AsInt64();
      Int64 R;
      if (__builtin_mul_overflow(V, V, &R)) throw EIntOverflow(String(msg::SIntOverflow));
      SetAsInt64(R);
      return;
    }
    case bftSingle: case bftDouble: case bftExtended: case bftCurrency: {
      const long double X = AsExtended();
      SetAsExtended(static_cast<double>(X * X));
      return;
    }
    default: throw EMdbException(12511, SMdbNotNumericArgument, {u"SQR"});
  }
}

void TMdbVariant::PiData() { SetAsExtended(std::numbers::pi); }
