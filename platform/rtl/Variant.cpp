#include "platform/rtl/Variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "platform/rtl/Format.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/VariantText.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace variant_detail {
// One dimension. Byte arrays keep their bytes contiguous so VarArrayLock can hand them out as a buffer;
// every other element type is held as Variants already cast to the element type.
struct ArrayData {
  int Low = 0;
  TVarType ElemType = varVariant;
  int LockCount = 0;
  std::vector<Byte> Bytes;
  std::vector<Variant> Items;

  int Count() const { return static_cast<int>(ElemType == varByte ? Bytes.size() : Items.size()); }
};
}  // namespace variant_detail

using variant_detail::ArrayData;
using variant_detail::Box;
using variant_detail::BoxBase;

// The private door to a Variant's representation for the free functions of this file.
class VariantAccess {
 public:
  template <typename T>
  static Variant MakeBox(TVarType type, T value) {
    Variant v;
    v.FBox = new Box<T>(std::move(value));
    v.FType = type;
    return v;
  }
  template <typename T>
  static const T& Boxed(const Variant& v) {
    return static_cast<const Box<T>*>(v.FBox)->Value;
  }
  static Variant MakeArray(std::unique_ptr<ArrayData> data) {
    Variant v;
    v.FArray = data.release();
    v.FType = static_cast<TVarType>(varArray | v.FArray->ElemType);
    return v;
  }
  static const ArrayData& Array(const Variant& v) { return *v.FArray; }
  static ArrayData& MutableArray(Variant& v) { return *v.FArray; }
  static Int64 RawInt(const Variant& v) { return v.FInt64; }
  static UInt64 RawUInt(const Variant& v) { return v.FUInt64; }
  static double RawDouble(const Variant& v) { return v.FDouble; }
  static float RawSingle(const Variant& v) { return v.FSingle; }
  static bool RawBool(const Variant& v) { return v.FBoolean; }
  static Variant MakeRaw(TVarType type, Int64 bits) {
    Variant v;
    v.FType = type;
    v.FInt64 = bits;
    return v;
  }
  static Variant MakeDouble(TVarType type, double d) {
    Variant v;
    v.FType = type;
    v.FDouble = d;
    return v;
  }
  static Variant MakePointer(TVarType type, void* p) {
    Variant v;
    v.FType = type;
    v.FPointer = p;
    return v;
  }
};

using VA = VariantAccess;

namespace {

// ---- kinds ------------------------------------------------------------------------------------------

bool IsText(TVarType t) { return t == varOleStr || t == varUString || t == varString; }
bool IsWideText(TVarType t) { return t == varOleStr || t == varUString; }
bool IsIntegerKind(TVarType t) {
  switch (t) {
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64: case varUInt64:
      return true;
    default:
      return false;
  }
}
// The element types an array may hold.
bool IsArrayElementType(TVarType t) {
  return IsIntegerKind(t) || t == varSingle || t == varDouble || t == varCurrency || t == varDate ||
         t == varBoolean || t == varVariant || t == varError || IsWideText(t) || t == varString;
}

const char* BaseTypeName(TVarType t) {
  switch (t) {
    case varEmpty: return "Empty";
    case varNull: return "Null";
    case varSmallint: return "Smallint";
    case varInteger: return "Integer";
    case varSingle: return "Single";
    case varDouble: return "Double";
    case varCurrency: return "Currency";
    case varDate: return "Date";
    case varOleStr: return "OleStr";
    case varDispatch: return "Dispatch";
    case varError: return "Error";
    case varBoolean: return "Boolean";
    case varVariant: return "Variant";
    case varUnknown: return "Unknown";
    case varShortInt: return "ShortInt";
    case varByte: return "Byte";
    case varWord: return "Word";
    case varLongWord: return "LongWord";
    case varInt64: return "Int64";
    case varUInt64: return "UInt64";
    case varString: return "String";
    case varUString: return "UnicodeString";
    case varSQLTimeStamp: return "SQLTimeStamp";
    case varSQLTimeStampOffset: return "SQLTimeStampOffset";
    case varFMTBcd: return "FMTBcd";
    default: return nullptr;
  }
}

[[noreturn]] void CastError(TVarType from, TVarType to) {
  if (BaseTypeName(from & varTypeMask) == nullptr || BaseTypeName(to & varTypeMask) == nullptr ||
      (from & varByRef) != 0)
    throw EVariantTypeCastError(String(msg::SInvalidVarCast));
  throw EVariantTypeCastError(Format(msg::SVarTypeCouldNotConvert, {VarTypeAsText(from), VarTypeAsText(to)}));
}

[[noreturn]] void OverflowError(TVarType from, TVarType to) {
  throw EVariantOverflowError(Format(msg::SVarTypeConvertOverflow, {VarTypeAsText(from), VarTypeAsText(to)}));
}

[[noreturn]] void InvalidOp() { throw EVariantInvalidOpError(String(msg::SInvalidVarOp)); }
[[noreturn]] void BadIndex() { throw EVariantBadIndexError(String(msg::SVarArrayBounds)); }
[[noreturn]] void NotAnArray() { throw EVariantNotAnArrayError(String(msg::SVarNotArray)); }

const String& WideOf(const Variant& v) { return VA::Boxed<String>(v); }
const AnsiString& AnsiOf(const Variant& v) { return VA::Boxed<AnsiString>(v); }

// The UTF-16 form of a text variant (8-bit text decoded from the system code page).
String TextOf(const Variant& v) {
  if (v.VType() == varString) return sys::AnsiToUtf16(AnsiOf(v));
  return WideOf(v);
}

// A text variant's characters: UTF-16 texts by reference, 8-bit texts decoded into `buffer`.
std::u16string_view TextView(const Variant& v, String& buffer) {
  if (v.VType() == varString) {
    sys::AnsiToUtf16(AnsiOf(v), buffer);
    return buffer;
  }
  return WideOf(v);
}

// Texts order as the platform's variant comparison orders them: the user's locale, case-sensitive.
int CompareTexts(std::u16string_view a, std::u16string_view b) {
  const int r = sys::CompareStringW(sys::LOCALE_USER_DEFAULT, 0, a, b);
  if (r == 0) return a.compare(b);
  return r - sys::CSTR_EQUAL;
}

// ---- integer and float helpers ----------------------------------------------------------------------

// Float → integer as the platform's casts round: to nearest, ties to even.
bool RoundToInt64(double d, Int64& out) {
  if (!std::isfinite(d)) return false;
  const double r = std::nearbyint(d);
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  out = static_cast<Int64>(r);
  return true;
}

// Rounds n / d to nearest, ties to even (d > 0 or < 0, not 0).
__int128 DivRoundEven(__int128 n, __int128 d) {
  __int128 q = n / d;
  __int128 r = n % d;
  if (r == 0) return q;
  const __int128 twiceR = (r < 0 ? -r : r) * 2;
  const __int128 absD = d < 0 ? -d : d;
  const bool negative = (n < 0) != (d < 0);
  if (twiceR > absD || (twiceR == absD && (q & 1) != 0)) q += negative ? -1 : 1;
  return q;
}

}  // namespace

// ---- Variant members --------------------------------------------------------------------------------

Variant::Variant(const Variant& other) : FType(other.FType), FInt64(other.FInt64) {
  if (!HasPayload()) return;
  if (FType & varArray) {
    FArray = new ArrayData(*other.FArray);
    FArray->LockCount = 0;
  } else {
    FBox->Refs.fetch_add(1, std::memory_order_relaxed);
  }
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    Swap(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Variant taken(std::move(other));
    Swap(taken);
  }
  return *this;
}

void Variant::Release() noexcept {
  if (FType & varArray) {
    delete FArray;
  } else if (FBox->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    switch (FType) {
      case varOleStr: case varUString: delete static_cast<const Box<String>*>(FBox); break;
      case varString: delete static_cast<const Box<AnsiString>*>(FBox); break;
      case varSQLTimeStamp: delete static_cast<const Box<TSQLTimeStamp>*>(FBox); break;
      case varSQLTimeStampOffset: delete static_cast<const Box<TSQLTimeStampOffset>*>(FBox); break;
      case varFMTBcd: delete static_cast<const Box<TBcd>*>(FBox); break;
      default: break;
    }
  }
  FType = varEmpty;
  FInt64 = 0;
}

void Variant::Clear() noexcept {
  if (HasPayload()) Release();
  FType = varEmpty;
  FInt64 = 0;
}

Variant::Variant(String v) : Variant(VA::MakeBox<String>(varUString, std::move(v))) {}
Variant::Variant(const TSQLTimeStamp& v) : Variant(VA::MakeBox<TSQLTimeStamp>(varSQLTimeStamp, v)) {}
Variant::Variant(const TSQLTimeStampOffset& v)
    : Variant(VA::MakeBox<TSQLTimeStampOffset>(varSQLTimeStampOffset, v)) {}
Variant::Variant(const TBcd& v) : Variant(VA::MakeBox<TBcd>(varFMTBcd, v)) {}

void Variant::ThrowCast(TVarType to) const { CastError(FType, to); }

const String& Variant::VUString() const {
  if (!IsWideText(FType)) ThrowCast(varUString);
  return WideOf(*this);
}
const AnsiString& Variant::VAnsiString() const {
  Expect(varString);
  return AnsiOf(*this);
}
const TSQLTimeStamp& Variant::VSQLTimeStamp() const {
  Expect(varSQLTimeStamp);
  return VA::Boxed<TSQLTimeStamp>(*this);
}
const TSQLTimeStampOffset& Variant::VSQLTimeStampOffset() const {
  Expect(varSQLTimeStampOffset);
  return VA::Boxed<TSQLTimeStampOffset>(*this);
}
const TBcd& Variant::VBcd() const {
  Expect(varFMTBcd);
  return VA::Boxed<TBcd>(*this);
}

Variant Variant::MakeError(std::int32_t code) noexcept { return VA::MakeRaw(varError, code); }
Variant Variant::MakeDispatch(void* ptr) noexcept { return VA::MakePointer(varDispatch, ptr); }
Variant Variant::MakeUnknown(void* ptr) noexcept { return VA::MakePointer(varUnknown, ptr); }

// ---- makers and tests -------------------------------------------------------------------------------

Variant Null() noexcept { return VA::MakeRaw(varNull, 0); }
Variant VarFromDateTime(TDateTime value) noexcept { return VA::MakeDouble(varDate, value); }
Variant VarFromAnsi(AnsiString bytes) { return VA::MakeBox<AnsiString>(varString, std::move(bytes)); }
Variant VarFromOleStr(String text) { return VA::MakeBox<String>(varOleStr, std::move(text)); }
Variant VarSQLTimeStampCreate(const TSQLTimeStamp& value) { return Variant(value); }
Variant VarSQLTimeStampOffsetCreate(const TSQLTimeStampOffset& value) { return Variant(value); }
Variant VarFMTBcdCreate(const TBcd& value) { return Variant(value); }

bool VarIsClear(const Variant& v) noexcept {
  const TVarType t = v.VType();
  return t == varEmpty || ((t == varDispatch || t == varUnknown) && v.VPointer() == nullptr);
}
bool VarIsStr(const Variant& v) noexcept { return IsText(v.VType()); }
bool VarIsOrdinal(const Variant& v) noexcept { return v.VType() == varBoolean || IsIntegerKind(v.VType()); }
bool VarIsFloat(const Variant& v) noexcept {
  const TVarType t = v.VType();
  return t == varSingle || t == varDouble || t == varCurrency;
}
bool VarIsNumeric(const Variant& v) noexcept { return VarIsOrdinal(v) || VarIsFloat(v); }
bool VarIsArray(const Variant& v) noexcept { return v.IsArray(); }
bool VarIsByteArray(const Variant& v) noexcept {
  return v.VType() == (varArray | varByte) && VA::Array(v).Low == 0;
}
bool VarIsSQLTimeStamp(const Variant& v) noexcept { return v.VType() == varSQLTimeStamp; }
bool VarIsSQLTimeStampOffset(const Variant& v) noexcept { return v.VType() == varSQLTimeStampOffset; }
bool VarIsFMTBcd(const Variant& v) noexcept { return v.VType() == varFMTBcd; }

String VarTypeAsText(TVarType type) {
  String result;
  if (type & varArray) result += u"Array ";
  if (type & varByRef) result += u"ByRef ";
  const char* name = BaseTypeName(type & varTypeMask);
  if (name != nullptr) return result + Str(name);
  static const char kHex[] = "0123456789ABCDEF";
  String hex = u"$";
  for (int shift = 12; shift >= 0; shift -= 4) hex += static_cast<char16_t>(kHex[(type >> shift) & 0xF]);
  return result + hex;
}

// ---- conversions ------------------------------------------------------------------------------------

namespace {

// A text read as a number, with the format settings; raises the cast error for the target kind.
double TextToDouble(const Variant& v, TVarType to) {
  double d = 0;
  if (!TryStrToFloat(TextOf(v), d)) CastError(v.VType(), to);
  return d;
}

// The value as a double for arithmetic and the float casts; Empty reads 0.
double NumberOf(const Variant& v, TVarType to) {
  switch (v.VType()) {
    case varEmpty: return 0;
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64:
    case varError:
      return static_cast<double>(VA::RawInt(v));
    case varUInt64: return static_cast<double>(VA::RawUInt(v));
    case varSingle: return VA::RawSingle(v);
    case varDouble: case varDate: return VA::RawDouble(v);
    case varCurrency: return static_cast<double>(VA::RawInt(v)) / Currency::kScale;
    case varBoolean: return VA::RawBool(v) ? -1.0 : 0.0;
    case varOleStr: case varUString: case varString: return TextToDouble(v, to);
    case varSQLTimeStamp: {
      TDateTime d = 0;
      if (!variant_text::TryTimeStampToDateTime(v.VSQLTimeStamp(), d)) CastError(v.VType(), to);
      return d;
    }
    case varSQLTimeStampOffset: {
      TDateTime d = 0;
      if (!variant_text::TryTimeStampOffsetToDateTime(v.VSQLTimeStampOffset(), d)) CastError(v.VType(), to);
      return d;
    }
    case varFMTBcd: {
      variant_text::Decimal dec;
      if (!variant_text::DecimalFromBcd(v.VBcd(), dec)) CastError(v.VType(), to);
      return variant_text::DecimalToDouble(dec);
    }
    default: CastError(v.VType(), to);
  }
}

// The value as an Int64 for the integer casts; floats round to nearest even.
Int64 IntegerOf(const Variant& v, TVarType to) {
  switch (v.VType()) {
    case varEmpty: return 0;
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64:
      return VA::RawInt(v);
    case varUInt64:
      if (VA::RawUInt(v) > static_cast<UInt64>(std::numeric_limits<Int64>::max())) OverflowError(v.VType(), to);
      return static_cast<Int64>(VA::RawUInt(v));
    case varBoolean: return VA::RawBool(v) ? -1 : 0;
    case varCurrency: return static_cast<Int64>(DivRoundEven(VA::RawInt(v), Currency::kScale));
    case varOleStr: case varUString: case varString: {
      Int64 i = 0;
      const String text = TextOf(v);
      if (TryStrToInt64(Trim(text), i)) return i;
      double d = 0;
      if (!TryStrToFloat(text, d)) CastError(v.VType(), to);
      if (!RoundToInt64(d, i)) OverflowError(v.VType(), to);
      return i;
    }
    default: {
      Int64 i = 0;
      if (!RoundToInt64(NumberOf(v, to), i)) OverflowError(v.VType(), to);
      return i;
    }
  }
}

Currency CurrencyOf(const Variant& v, TVarType to) {
  switch (v.VType()) {
    case varCurrency: return Currency::FromScaled(VA::RawInt(v));
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64: case varUInt64: case varBoolean: case varEmpty: {
      const Int64 i = IntegerOf(v, to);
      Int64 scaled = 0;
      if (__builtin_mul_overflow(i, Currency::kScale, &scaled)) OverflowError(v.VType(), to);
      return Currency::FromScaled(scaled);
    }
    case varOleStr: case varUString: case varString: case varFMTBcd: {
      // Exact decimal reading: a text or BCD of four decimals must not pass through a double.
      variant_text::Decimal dec;
      bool ok = v.VType() == varFMTBcd ? variant_text::DecimalFromBcd(v.VBcd(), dec)
                                       : variant_text::ParseDecimal(TextOf(v), dec, true);
      if (!ok) CastError(v.VType(), to);
      Int64 scaled = 0;
      if (!variant_text::DecimalToScaled(dec, 4, scaled)) OverflowError(v.VType(), to);
      return Currency::FromScaled(scaled);
    }
    default: {
      const double d = NumberOf(v, to) * Currency::kScale;
      Int64 scaled = 0;
      if (!RoundToInt64(d, scaled)) OverflowError(v.VType(), to);
      return Currency::FromScaled(scaled);
    }
  }
}

bool BooleanOf(const Variant& v, TVarType to) {
  switch (v.VType()) {
    case varEmpty: return false;
    case varBoolean: return VA::RawBool(v);
    case varOleStr: case varUString: case varString: {
      const String text = Trim(TextOf(v));
      if (SameText(text, u"True")) return true;
      if (SameText(text, u"False")) return false;
      double d = 0;
      if (!TryStrToFloat(text, d)) CastError(v.VType(), to);
      return d != 0;
    }
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64: case varCurrency:
      return VA::RawInt(v) != 0;
    case varUInt64: return VA::RawUInt(v) != 0;
    default: return NumberOf(v, to) != 0;
  }
}

TDateTime DateValueOf(const Variant& v, TVarType to) {
  if (IsText(v.VType())) {
    TDateTime d = 0;
    if (!variant_text::TryTextToDateTime(TextOf(v), d)) CastError(v.VType(), to);
    return d;
  }
  if (v.VType() == varCurrency) return static_cast<double>(VA::RawInt(v)) / Currency::kScale;
  return NumberOf(v, to);
}

TSQLTimeStamp TimeStampOf(const Variant& v, TVarType to) {
  switch (v.VType()) {
    case varSQLTimeStamp: return v.VSQLTimeStamp();
    case varSQLTimeStampOffset: {
      const TSQLTimeStampOffset& o = v.VSQLTimeStampOffset();
      return TSQLTimeStamp{o.Year, o.Month, o.Day, o.Hour, o.Minute, o.Second, o.Fractions};
    }
    default: {
      TSQLTimeStamp ts;
      if (!variant_text::TryDateTimeToTimeStamp(DateValueOf(v, to), ts)) OverflowError(v.VType(), to);
      return ts;
    }
  }
}

TSQLTimeStampOffset TimeStampOffsetOf(const Variant& v, TVarType to) {
  if (v.VType() == varSQLTimeStampOffset) return v.VSQLTimeStampOffset();
  if (IsText(v.VType())) {
    TSQLTimeStampOffset o;
    if (!variant_text::TryTextToTimeStampOffset(TextOf(v), o)) CastError(v.VType(), to);
    return o;
  }
  const TSQLTimeStamp ts = TimeStampOf(v, to);
  return TSQLTimeStampOffset{ts.Year, ts.Month, ts.Day, ts.Hour, ts.Minute, ts.Second, ts.Fractions, 0, 0};
}

variant_text::Decimal DecimalOf(const Variant& v, TVarType to) {
  variant_text::Decimal dec;
  switch (v.VType()) {
    case varFMTBcd:
      if (!variant_text::DecimalFromBcd(v.VBcd(), dec)) CastError(v.VType(), to);
      return dec;
    case varOleStr: case varUString: case varString:
      if (!variant_text::ParseDecimal(TextOf(v), dec, true)) CastError(v.VType(), to);
      return dec;
    case varCurrency: return variant_text::DecimalFromScaled(VA::RawInt(v), 4);
    case varUInt64: return variant_text::DecimalFromUInt64(VA::RawUInt(v));
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64: case varBoolean: case varEmpty:
      return variant_text::DecimalFromScaled(IntegerOf(v, to), 0);
    default: {
      const double d = NumberOf(v, to);
      if (!std::isfinite(d)) OverflowError(v.VType(), to);
      return variant_text::DecimalFromDouble(d);
    }
  }
}

TBcd BcdOf(const Variant& v, TVarType to) {
  if (v.VType() == varFMTBcd) return v.VBcd();
  TBcd b;
  if (!variant_text::DecimalToBcd(DecimalOf(v, to), b)) OverflowError(v.VType(), to);
  return b;
}

// Null raises, as the platform's casts do; arrays and placeholders never convert to a scalar.
void CheckScalarSource(const Variant& v, TVarType to) {
  const TVarType t = v.VType();
  if (t == varNull || (t & varArray) || t == varDispatch || t == varUnknown || (t & varByRef)) CastError(t, to);
}

template <typename T>
T CheckedRange(Int64 i, const Variant& v, TVarType to) {
  if (i < static_cast<Int64>(std::numeric_limits<T>::min()) || i > static_cast<Int64>(std::numeric_limits<T>::max()))
    OverflowError(v.VType(), to);
  return static_cast<T>(i);
}

}  // namespace

int Variant::AsInteger() const {
  CheckScalarSource(*this, varInteger);
  if (FType == varInteger) return static_cast<int>(FInt64);
  return CheckedRange<std::int32_t>(IntegerOf(*this, varInteger), *this, varInteger);
}

Int64 Variant::AsInt64() const {
  CheckScalarSource(*this, varInt64);
  return IntegerOf(*this, varInt64);
}

UInt64 Variant::AsUInt64() const {
  CheckScalarSource(*this, varUInt64);
  if (FType == varUInt64) return FUInt64;
  const Int64 i = IntegerOf(*this, varUInt64);
  if (i < 0) OverflowError(FType, varUInt64);
  return static_cast<UInt64>(i);
}

double Variant::AsDouble() const {
  CheckScalarSource(*this, varDouble);
  if (FType == varDouble) return FDouble;
  return NumberOf(*this, varDouble);
}

bool Variant::AsBoolean() const {
  CheckScalarSource(*this, varBoolean);
  return BooleanOf(*this, varBoolean);
}

Currency Variant::AsCurrency() const {
  CheckScalarSource(*this, varCurrency);
  return CurrencyOf(*this, varCurrency);
}

TDateTime Variant::AsDateTime() const {
  CheckScalarSource(*this, varDate);
  return DateValueOf(*this, varDate);
}

String Variant::AsString() const { return VarToStr(*this); }

AnsiString Variant::AsAnsiString() const {
  if (FType == varString) return AnsiOf(*this);
  return sys::Utf16ToAnsi(VarToStr(*this));
}

TSQLTimeStamp Variant::AsSQLTimeStamp() const {
  CheckScalarSource(*this, varSQLTimeStamp);
  return TimeStampOf(*this, varSQLTimeStamp);
}

TSQLTimeStampOffset Variant::AsSQLTimeStampOffset() const {
  CheckScalarSource(*this, varSQLTimeStampOffset);
  return TimeStampOffsetOf(*this, varSQLTimeStampOffset);
}

TBcd Variant::AsBcd() const {
  CheckScalarSource(*this, varFMTBcd);
  return BcdOf(*this, varFMTBcd);
}

String VarToStr(const Variant& v) {
  const TVarType t = v.VType();
  switch (t) {
    case varEmpty: case varNull: return String();
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
    case varInt64:
      return IntToStr(VA::RawInt(v));
    case varUInt64: {
      char buf[24];
      const auto r = std::to_chars(buf, buf + sizeof buf, VA::RawUInt(v));
      return Str(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    }
    case varSingle: return FloatToStrF(VA::RawSingle(v), TFloatFormat::ffGeneral, 7, 0);
    case varDouble: return FloatToStr(VA::RawDouble(v));
    case varCurrency: return CurrToStr(Currency::FromScaled(VA::RawInt(v)));
    case varDate: return variant_text::DateTimeToText(VA::RawDouble(v));
    case varBoolean: return VA::RawBool(v) ? String(u"True") : String(u"False");
    case varOleStr: case varUString: return WideOf(v);
    case varString: return sys::AnsiToUtf16(AnsiOf(v));
    case varSQLTimeStamp: {
      String s;
      if (!variant_text::TryTimeStampToText(v.VSQLTimeStamp(), s)) CastError(t, varUString);
      return s;
    }
    case varSQLTimeStampOffset: {
      String s;
      if (!variant_text::TryTimeStampOffsetToText(v.VSQLTimeStampOffset(), s)) CastError(t, varUString);
      return s;
    }
    case varFMTBcd: {
      variant_text::Decimal dec;
      if (!variant_text::DecimalFromBcd(v.VBcd(), dec)) CastError(t, varUString);
      return variant_text::DecimalToText(dec);
    }
    default: CastError(t, varUString);
  }
}

String VarToStrDef(const Variant& v, const String& Default) {
  if (v.VType() == varNull) return Default;
  return VarToStr(v);
}

Variant VarAsType(const Variant& v, TVarType type) {
  const TVarType from = v.VType();
  if (type == from || type == varVariant) return v;
  if (type & varArray) {
    if (!(from & varArray)) CastError(from, type);
    const ArrayData& src = VA::Array(v);
    auto data = std::make_unique<ArrayData>();
    data->Low = src.Low;
    data->ElemType = static_cast<TVarType>(type & varTypeMask);
    if (!IsArrayElementType(data->ElemType)) CastError(from, type);
    const int n = src.Count();
    for (int i = 0; i < n; ++i) {
      Variant e = src.ElemType == varByte ? Variant(src.Bytes[static_cast<std::size_t>(i)]) : src.Items[static_cast<std::size_t>(i)];
      if (data->ElemType == varByte) data->Bytes.push_back(static_cast<Byte>(VarAsType(e, varByte).VByte()));
      else if (data->ElemType == varVariant) data->Items.push_back(std::move(e));
      else data->Items.push_back(VarAsType(e, data->ElemType));
    }
    return VA::MakeArray(std::move(data));
  }
  switch (type) {
    case varEmpty: return Variant();
    case varNull:
      if (from == varEmpty) return Null();
      CastError(from, type);
    default: break;
  }
  if (BaseTypeName(type) == nullptr || type == varDispatch || type == varUnknown)
    throw EVariantBadVarTypeError(String(msg::SVarBadType));
  if (IsText(type)) {
    if (from == varNull || (from & varArray) || from == varDispatch || from == varUnknown || from == varError)
      CastError(from, type);
    if (type == varString) return VarFromAnsi(v.AsAnsiString());
    String s = VarToStr(v);
    return type == varOleStr ? VarFromOleStr(std::move(s)) : Variant(std::move(s));
  }
  CheckScalarSource(v, type);
  switch (type) {
    case varSmallint: return Variant(CheckedRange<std::int16_t>(IntegerOf(v, type), v, type));
    case varInteger: return Variant(CheckedRange<std::int32_t>(IntegerOf(v, type), v, type));
    case varShortInt: return Variant(CheckedRange<std::int8_t>(IntegerOf(v, type), v, type));
    case varByte: return Variant(CheckedRange<std::uint8_t>(IntegerOf(v, type), v, type));
    case varWord: return Variant(CheckedRange<std::uint16_t>(IntegerOf(v, type), v, type));
    case varLongWord: return Variant(CheckedRange<std::uint32_t>(IntegerOf(v, type), v, type));
    case varInt64: return Variant(static_cast<long long>(IntegerOf(v, type)));
    case varUInt64: return Variant(static_cast<unsigned long long>(v.AsUInt64()));
    case varError: return Variant::MakeError(CheckedRange<std::int32_t>(IntegerOf(v, type), v, type));
    case varSingle: {
      const double d = NumberOf(v, type);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) OverflowError(from, type);
      return Variant(static_cast<float>(d));
    }
    case varDouble: return Variant(NumberOf(v, type));
    case varDate: return VarFromDateTime(DateValueOf(v, type));
    case varCurrency: return Variant(CurrencyOf(v, type));
    case varBoolean: return Variant(BooleanOf(v, type));
    case varSQLTimeStamp: return Variant(TimeStampOf(v, type));
    case varSQLTimeStampOffset: return Variant(TimeStampOffsetOf(v, type));
    case varFMTBcd: return Variant(BcdOf(v, type));
    default: CastError(from, type);
  }
}

// ---- comparison -------------------------------------------------------------------------------------

namespace {

// The computing class of an operand under the one promotion rule (ordered by rank).
enum class NumClass { Int32, Int64, Currency, Double, Bcd, Date };

NumClass ClassOf(const Variant& v) {
  switch (v.VType()) {
    case varEmpty: case varBoolean: case varSmallint: case varInteger: case varShortInt: case varByte:
    case varWord:
      return NumClass::Int32;
    case varLongWord: case varInt64: return NumClass::Int64;
    case varUInt64:
      return VA::RawUInt(v) <= static_cast<UInt64>(std::numeric_limits<Int64>::max()) ? NumClass::Int64
                                                                                      : NumClass::Double;
    case varCurrency: return NumClass::Currency;
    case varDate: case varSQLTimeStamp: case varSQLTimeStampOffset: return NumClass::Date;
    case varFMTBcd: return NumClass::Bcd;
    default: return NumClass::Double;  // floats and texts
  }
}

bool IsPlaceholderOrArray(TVarType t) {
  return (t & varArray) || (t & varByRef) || t == varDispatch || t == varUnknown || t == varError ||
         BaseTypeName(t) == nullptr;
}

TVariantRelationship FromOrder(int c) { return c < 0 ? vrLessThan : (c > 0 ? vrGreaterThan : vrEqual); }

TVariantRelationship CompareDoubles(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return vrNotEqual;
  return a < b ? vrLessThan : (a > b ? vrGreaterThan : vrEqual);
}

template <typename T>
int Order(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareTimeStamps(const TSQLTimeStamp& a, const TSQLTimeStamp& b) {
  for (int c : {Order<int>(a.Year, b.Year), Order<int>(a.Month, b.Month), Order<int>(a.Day, b.Day),
                Order<int>(a.Hour, b.Hour), Order<int>(a.Minute, b.Minute), Order<int>(a.Second, b.Second),
                Order<UInt64>(a.Fractions, b.Fractions)})
    if (c != 0) return c;
  return 0;
}

}  // namespace

TVariantRelationship VarCompareValue(const Variant& a, const Variant& b) {
  const TVarType ta = a.VType();
  const TVarType tb = b.VType();
  // Sorting and index lookups compare two values of one column: the common kinds go straight through.
  if (ta == tb) {
    switch (ta) {
      case varInteger: case varInt64: case varCurrency: return FromOrder(Order(VA::RawInt(a), VA::RawInt(b)));
      case varDouble: case varDate: return CompareDoubles(VA::RawDouble(a), VA::RawDouble(b));
      case varOleStr: case varUString: return FromOrder(CompareTexts(WideOf(a), WideOf(b)));
      default: break;
    }
  }
  if (ta == varEmpty) return tb == varEmpty ? vrEqual : vrNotEqual;
  if (ta == varNull) return tb == varNull ? vrEqual : vrNotEqual;
  if (tb == varEmpty || tb == varNull) return vrNotEqual;
  if (IsPlaceholderOrArray(ta) || IsPlaceholderOrArray(tb)) InvalidOp();

  if (IsText(ta) && IsText(tb)) {
    String bufferA, bufferB;
    return FromOrder(CompareTexts(TextView(a, bufferA), TextView(b, bufferB)));
  }
  if (ta == varBoolean && tb == varBoolean) return FromOrder(Order<int>(VA::RawBool(a), VA::RawBool(b)));
  if (ta == varSQLTimeStamp && tb == varSQLTimeStamp) return FromOrder(CompareTimeStamps(a.VSQLTimeStamp(), b.VSQLTimeStamp()));
  if (ta == varSQLTimeStampOffset && tb == varSQLTimeStampOffset) {
    Int64 ma = 0, mb = 0;
    if (!variant_text::TimeStampOffsetToUtcMs(a.VSQLTimeStampOffset(), ma)) CastError(ta, varDate);
    if (!variant_text::TimeStampOffsetToUtcMs(b.VSQLTimeStampOffset(), mb)) CastError(tb, varDate);
    return FromOrder(Order(ma, mb));
  }

  // A text against another kind is read as that kind.
  if (IsText(ta) || IsText(tb)) {
    const Variant& other = IsText(ta) ? b : a;
    const TVarType ot = other.VType();
    if (ot == varBoolean) return VarCompareValue(IsText(ta) ? Variant(a.AsBoolean()) : a, IsText(tb) ? Variant(b.AsBoolean()) : b);
    if (ClassOf(other) == NumClass::Date) {
      const double da = DateValueOf(a, varDate), db = DateValueOf(b, varDate);
      return CompareDoubles(da, db);
    }
    if (ClassOf(other) == NumClass::Bcd || ClassOf(other) == NumClass::Currency) {
      return FromOrder(variant_text::CompareDecimals(DecimalOf(a, varFMTBcd), DecimalOf(b, varFMTBcd)));
    }
    return CompareDoubles(NumberOf(a, varDouble), NumberOf(b, varDouble));
  }

  const NumClass ca = ClassOf(a);
  const NumClass cb = ClassOf(b);
  if (ca <= NumClass::Int64 && cb <= NumClass::Int64) {
    const __int128 ia = ta == varUInt64 ? static_cast<__int128>(VA::RawUInt(a)) : static_cast<__int128>(IntegerOf(a, varInt64));
    const __int128 ib = tb == varUInt64 ? static_cast<__int128>(VA::RawUInt(b)) : static_cast<__int128>(IntegerOf(b, varInt64));
    return FromOrder(Order(ia, ib));
  }
  const NumClass top = std::max(ca, cb);
  if (top == NumClass::Currency || (top == NumClass::Bcd && ca != NumClass::Double && cb != NumClass::Double)) {
    return FromOrder(variant_text::CompareDecimals(DecimalOf(a, varFMTBcd), DecimalOf(b, varFMTBcd)));
  }
  return CompareDoubles(NumberOf(a, varDouble), NumberOf(b, varDouble));
}

bool VarSameValue(const Variant& a, const Variant& b) {
  if (a.VType() == varEmpty || a.VType() == varNull || b.VType() == varEmpty || b.VType() == varNull)
    return a.VType() == b.VType();
  return VarCompareValue(a, b) == vrEqual;
}

bool operator==(const Variant& a, const Variant& b) { return VarSameValue(a, b); }

bool operator<(const Variant& a, const Variant& b) {
  // Empty, then Null, before every value: one total order for sorting and MIN/MAX.
  const auto rank = [](TVarType t) { return t == varEmpty ? 0 : (t == varNull ? 1 : 2); };
  const int ra = rank(a.VType());
  const int rb = rank(b.VType());
  if (ra != 2 || rb != 2) return ra < rb;
  return VarCompareValue(a, b) == vrLessThan;
}

// ---- arithmetic and logic ---------------------------------------------------------------------------

namespace {

enum class Op { Add, Sub, Mul, Div, IntDiv, Mod, And, Or, Xor };

// An integer result: Integer when both operands compute in 32 bits and the result fits, else Int64.
Variant IntegerResult(Int64 r, bool narrow) {
  if (narrow && r >= std::numeric_limits<std::int32_t>::min() && r <= std::numeric_limits<std::int32_t>::max())
    return Variant(static_cast<int>(r));
  return Variant(static_cast<long long>(r));
}

Variant DoubleResult(double r, double a, double b) {
  if (std::isinf(r) && std::isfinite(a) && std::isfinite(b)) throw EOverflow(String(msg::SOverflow));
  return Variant(r);
}

double DivideDoubles(double a, double b) {
  if (b == 0) {
    if (a == 0 || std::isnan(a)) throw EInvalidOp(String(msg::SInvalidOp));
    throw EZeroDivide(String(msg::SZeroDivide));
  }
  return a / b;
}

Variant CurrencyResult(__int128 scaled) {
  if (scaled < std::numeric_limits<Int64>::min() || scaled > std::numeric_limits<Int64>::max())
    throw EOverflow(String(msg::SOverflow));
  return Variant(Currency::FromScaled(static_cast<Int64>(scaled)));
}

Variant ConcatTexts(const Variant& a, const Variant& b) {
  if ((a.VType() == varString || a.VType() == varEmpty) && (b.VType() == varString || b.VType() == varEmpty))
    return VarFromAnsi(a.AsAnsiString() + b.AsAnsiString());
  return Variant(VarToStr(a) + VarToStr(b));
}

// An operand of date arithmetic: a text reads as a date, or failing that as a number of days.
double DateOperand(const Variant& v) {
  if (!IsText(v.VType())) return DateValueOf(v, varDate);
  const String text = TextOf(v);
  double d = 0;
  if (!variant_text::TryTextToDateTime(text, d) && !TryStrToFloat(text, d)) CastError(v.VType(), varDate);
  return d;
}

Variant BinaryOp(const Variant& a, const Variant& b, Op op) {
  const TVarType ta = a.VType();
  const TVarType tb = b.VType();
  if (IsPlaceholderOrArray(ta) || IsPlaceholderOrArray(tb)) InvalidOp();
  if (ta == varNull || tb == varNull) return Null();

  if (op == Op::And || op == Op::Or || op == Op::Xor) {
    if (ta == varBoolean || tb == varBoolean) {
      const bool x = BooleanOf(a, varBoolean);
      const bool y = BooleanOf(b, varBoolean);
      return Variant(op == Op::And ? (x && y) : op == Op::Or ? (x || y) : (x != y));
    }
    const Int64 x = IntegerOf(a, varInt64);
    const Int64 y = IntegerOf(b, varInt64);
    const Int64 r = op == Op::And ? (x & y) : op == Op::Or ? (x | y) : (x ^ y);
    return IntegerResult(r, ClassOf(a) == NumClass::Int32 && ClassOf(b) == NumClass::Int32 && !IsText(ta) && !IsText(tb));
  }

  if (op == Op::IntDiv || op == Op::Mod) {
    const Int64 x = IntegerOf(a, varInt64);
    const Int64 y = IntegerOf(b, varInt64);
    if (y == 0) throw EDivByZero(String(msg::SDivByZero));
    const bool narrow = ClassOf(a) == NumClass::Int32 && ClassOf(b) == NumClass::Int32 && !IsText(ta) && !IsText(tb);
    if (y == -1) return IntegerResult(op == Op::Mod ? 0 : (x == std::numeric_limits<Int64>::min() ? x : -x), narrow);
    return IntegerResult(op == Op::Mod ? x % y : x / y, narrow);
  }

  if (op == Op::Add && (IsText(ta) || IsText(tb)) && (IsText(ta) || ta == varEmpty) && (IsText(tb) || tb == varEmpty))
    return ConcatTexts(a, b);

  const NumClass ca = IsText(ta) ? NumClass::Double : ClassOf(a);
  const NumClass cb = IsText(tb) ? NumClass::Double : ClassOf(b);
  const NumClass top = std::max(ca, cb);

  if (top == NumClass::Date) {
    const double x = DateOperand(a);
    const double y = DateOperand(b);
    switch (op) {
      case Op::Add: return VarFromDateTime(DoubleResult(x + y, x, y).VDouble());
      case Op::Sub:
        if (ca == NumClass::Date && cb == NumClass::Date) return DoubleResult(x - y, x, y);
        return VarFromDateTime(DoubleResult(x - y, x, y).VDouble());
      case Op::Mul: return DoubleResult(x * y, x, y);
      default: return Variant(DivideDoubles(x, y));
    }
  }

  if (top == NumClass::Bcd) {
    if (ca == NumClass::Double || cb == NumClass::Double || op == Op::Div) {
      const double x = NumberOf(a, varDouble);
      const double y = NumberOf(b, varDouble);
      double r = 0;
      switch (op) {
        case Op::Add: r = x + y; break;
        case Op::Sub: r = x - y; break;
        case Op::Mul: r = x * y; break;
        default: r = DivideDoubles(x, y); break;
      }
      if (!std::isfinite(r)) throw EOverflow(String(msg::SOverflow));
      TBcd bcd;
      if (!variant_text::DecimalToBcd(variant_text::DecimalFromDouble(r), bcd)) throw EOverflow(String(msg::SOverflow));
      return Variant(bcd);
    }
    const variant_text::Decimal x = DecimalOf(a, varFMTBcd);
    const variant_text::Decimal y = DecimalOf(b, varFMTBcd);
    const variant_text::Decimal r = op == Op::Add   ? variant_text::AddDecimals(x, y)
                                    : op == Op::Sub ? variant_text::SubDecimals(x, y)
                                                    : variant_text::MulDecimals(x, y);
    TBcd bcd;
    if (!variant_text::DecimalToBcd(r, bcd)) throw EOverflow(String(msg::SOverflow));
    return Variant(bcd);
  }

  if (top == NumClass::Double) {
    const double x = NumberOf(a, varDouble);
    const double y = NumberOf(b, varDouble);
    switch (op) {
      case Op::Add: return DoubleResult(x + y, x, y);
      case Op::Sub: return DoubleResult(x - y, x, y);
      case Op::Mul: return DoubleResult(x * y, x, y);
      default: return DoubleResult(DivideDoubles(x, y), x, y);
    }
  }

  if (top == NumClass::Currency) {
    const __int128 x = CurrencyOf(a, varCurrency).Scaled;
    const __int128 y = CurrencyOf(b, varCurrency).Scaled;
    switch (op) {
      case Op::Add: return CurrencyResult(x + y);
      case Op::Sub: return CurrencyResult(x - y);
      case Op::Mul: return CurrencyResult(DivRoundEven(x * y, Currency::kScale));
      default:
        if (y == 0) {
          if (x == 0) throw EInvalidOp(String(msg::SInvalidOp));
          throw EZeroDivide(String(msg::SZeroDivide));
        }
        return CurrencyResult(DivRoundEven(x * Currency::kScale, y));
    }
  }

  // Integers.
  const Int64 x = IntegerOf(a, varInt64);
  const Int64 y = IntegerOf(b, varInt64);
  const bool narrow = top == NumClass::Int32;
  Int64 r = 0;
  switch (op) {
    case Op::Add:
      if (__builtin_add_overflow(x, y, &r)) return Variant(static_cast<double>(x) + static_cast<double>(y));
      return IntegerResult(r, narrow);
    case Op::Sub:
      if (__builtin_sub_overflow(x, y, &r)) return Variant(static_cast<double>(x) - static_cast<double>(y));
      return IntegerResult(r, narrow);
    case Op::Mul:
      if (__builtin_mul_overflow(x, y, &r)) return Variant(static_cast<double>(x) * static_cast<double>(y));
      return IntegerResult(r, narrow);
    default:
      return Variant(DivideDoubles(static_cast<double>(x), static_cast<double>(y)));
  }
}

}  // namespace

Variant operator+(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Add); }
Variant operator-(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Sub); }
Variant operator*(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Mul); }
Variant operator/(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Div); }
Variant operator&(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::And); }
Variant operator|(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Or); }
Variant operator^(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Xor); }
Variant operator%(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Mod); }
Variant VarAnd(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::And); }
Variant VarOr(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Or); }
Variant VarXor(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Xor); }
Variant VarIntDiv(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::IntDiv); }
Variant VarMod(const Variant& a, const Variant& b) { return BinaryOp(a, b, Op::Mod); }

Variant& operator+=(Variant& a, const Variant& b) {
  a = a + b;
  return a;
}

Variant operator-(const Variant& a) {
  const TVarType t = a.VType();
  if (IsPlaceholderOrArray(t)) InvalidOp();
  switch (t) {
    case varNull: return Null();
    case varEmpty: return Variant(0);
    case varSingle: return Variant(-VA::RawSingle(a));
    case varDouble: return Variant(-VA::RawDouble(a));
    case varDate: return VarFromDateTime(-VA::RawDouble(a));
    case varCurrency:
      if (VA::RawInt(a) == std::numeric_limits<Int64>::min()) throw EOverflow(String(msg::SOverflow));
      return Variant(Currency::FromScaled(-VA::RawInt(a)));
    case varOleStr: case varUString: case varString: return Variant(-TextToDouble(a, varDouble));
    case varFMTBcd: return BinaryOp(Variant(0), a, Op::Sub);
    case varSQLTimeStamp: case varSQLTimeStampOffset: return VarFromDateTime(-NumberOf(a, varDate));
    case varUInt64:
      if (ClassOf(a) == NumClass::Double) return Variant(-static_cast<double>(VA::RawUInt(a)));
      return Variant(static_cast<long long>(-static_cast<Int64>(VA::RawUInt(a))));
    default: {
      const Int64 x = IntegerOf(a, varInt64);
      if (x == std::numeric_limits<Int64>::min()) return Variant(-static_cast<double>(x));
      return IntegerResult(-x, ClassOf(a) == NumClass::Int32);
    }
  }
}

Variant VarNot(const Variant& a) {
  const TVarType t = a.VType();
  if (IsPlaceholderOrArray(t)) InvalidOp();
  if (t == varNull) return Null();
  if (t == varBoolean) return Variant(!VA::RawBool(a));
  if (IsText(t)) {
    // A text that reads as True/False negates logically; a number text bitwise.
    const String s = Trim(TextOf(a));
    if (SameText(s, u"True") || SameText(s, u"False")) return Variant(!BooleanOf(a, varBoolean));
    return Variant(static_cast<long long>(~IntegerOf(a, varInt64)));
  }
  return IntegerResult(~IntegerOf(a, varInt64), ClassOf(a) == NumClass::Int32);
}

Variant operator!(const Variant& a) { return VarNot(a); }

// ---- arrays -----------------------------------------------------------------------------------------

namespace {

const ArrayData& ArrayOf(const Variant& v) {
  if (!v.IsArray()) NotAnArray();
  return VA::Array(v);
}

ArrayData& MutableArrayOf(Variant& v) {
  if (!v.IsArray()) NotAnArray();
  return VA::MutableArray(v);
}

std::size_t SlotOf(const ArrayData& a, int index) {
  const Int64 slot = static_cast<Int64>(index) - a.Low;
  if (slot < 0 || slot >= a.Count()) BadIndex();
  return static_cast<std::size_t>(slot);
}

Variant DefaultElement(TVarType t) {
  if (t == varVariant) return Variant();
  if (IsText(t)) return t == varString ? VarFromAnsi(AnsiString()) : (t == varOleStr ? VarFromOleStr(String()) : Variant(String()));
  return VarAsType(Variant(0), t);
}

void CheckDim(const Variant& v, int dim) {
  ArrayOf(v);
  if (dim != 1) throw EVariantInvalidArgError(String(msg::SVarInvalid));
}

}  // namespace

Variant Variant::GetElement(int index) const {
  const ArrayData& a = ArrayOf(*this);
  const std::size_t slot = SlotOf(a, index);
  if (a.ElemType == varByte) return Variant(a.Bytes[slot]);
  return a.Items[slot];
}

void Variant::SetElement(int index, const Variant& value) {
  ArrayData& a = MutableArrayOf(*this);
  const std::size_t slot = SlotOf(a, index);
  if (a.ElemType == varByte) {
    a.Bytes[slot] = VarAsType(value, varByte).VByte();
  } else if (a.ElemType == varVariant) {
    a.Items[slot] = value;
  } else {
    a.Items[slot] = VarAsType(value, a.ElemType);
  }
}

Variant VarArrayCreate(std::initializer_list<int> bounds, TVarType elementType) {
  if (bounds.size() != 2 || !IsArrayElementType(elementType))
    throw EVariantArrayCreateError(String(msg::SVarArrayCreate));
  const Int64 low = bounds.begin()[0];
  const Int64 high = bounds.begin()[1];
  const Int64 count = high - low + 1;
  if (count < 0) throw EVariantArrayCreateError(String(msg::SVarArrayCreate));
  auto data = std::make_unique<ArrayData>();
  data->Low = static_cast<int>(low);
  data->ElemType = elementType;
  if (elementType == varByte) {
    data->Bytes.assign(static_cast<std::size_t>(count), 0);
  } else {
    data->Items.assign(static_cast<std::size_t>(count), DefaultElement(elementType));
  }
  return VA::MakeArray(std::move(data));
}

Variant VarArrayOf(const std::vector<Variant>& values) {
  auto data = std::make_unique<ArrayData>();
  data->ElemType = varVariant;
  data->Items = values;
  return VA::MakeArray(std::move(data));
}

Variant VarArrayOf(std::initializer_list<Variant> values) {
  auto data = std::make_unique<ArrayData>();
  data->ElemType = varVariant;
  data->Items.assign(values.begin(), values.end());
  return VA::MakeArray(std::move(data));
}

int VarArrayDimCount(const Variant& v) noexcept { return v.IsArray() ? 1 : 0; }

int VarArrayLowBound(const Variant& v, int dim) {
  CheckDim(v, dim);
  return VA::Array(v).Low;
}

int VarArrayHighBound(const Variant& v, int dim) {
  CheckDim(v, dim);
  const ArrayData& a = VA::Array(v);
  return a.Low + a.Count() - 1;
}

int VarArrayLength(const Variant& v) noexcept { return v.IsArray() ? VA::Array(v).Count() : 0; }

Variant VarArrayGet(const Variant& v, int index) { return v.GetElement(index); }
void VarArrayPut(Variant& v, const Variant& value, int index) { v.SetElement(index, value); }

void VarArrayRedim(Variant& v, int highBound) {
  ArrayData& a = MutableArrayOf(v);
  if (a.LockCount > 0) throw EVariantArrayLockedError(String(msg::SVarArrayLocked));
  const Int64 count = static_cast<Int64>(highBound) - a.Low + 1;
  if (count < 0) throw EVariantArrayCreateError(String(msg::SVarArrayCreate));
  if (a.ElemType == varByte) a.Bytes.resize(static_cast<std::size_t>(count), 0);
  else a.Items.resize(static_cast<std::size_t>(count), DefaultElement(a.ElemType));
}

void* VarArrayLock(Variant& v) {
  ArrayData& a = MutableArrayOf(v);
  ++a.LockCount;
  if (a.ElemType == varByte) return a.Bytes.data();
  return a.Items.data();
}

void VarArrayUnlock(Variant& v) {
  ArrayData& a = MutableArrayOf(v);
  if (a.LockCount == 0) InvalidOp();
  --a.LockCount;
}

Variant VarFromBytes(const void* data, std::size_t count) {
  if (count > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw EVariantArrayCreateError(String(msg::SVarArrayCreate));
  auto a = std::make_unique<ArrayData>();
  a->ElemType = varByte;
  const auto* p = static_cast<const Byte*>(data);
  if (count > 0) a->Bytes.assign(p, p + count);
  return VA::MakeArray(std::move(a));
}

Variant VarFromBytes(const std::vector<Byte>& bytes) { return VarFromBytes(bytes.data(), bytes.size()); }

std::vector<Byte> VarToBytes(const Variant& v) {
  const TVarType t = v.VType();
  if (t == (varArray | varByte)) return VA::Array(v).Bytes;
  if (t == varString) {
    const AnsiString& s = AnsiOf(v);
    return std::vector<Byte>(s.begin(), s.end());
  }
  if (IsWideText(t)) {
    const AnsiString s = sys::Utf16ToAnsi(WideOf(v));
    return std::vector<Byte>(s.begin(), s.end());
  }
  CastError(t, varArray | varByte);
}
