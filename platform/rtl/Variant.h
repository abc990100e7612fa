// Variant: the platform's dynamic value. One value of any of the platform's variant kinds, tagged with
// the platform's 16-bit type code (VarType). The memory tables store every field value as one; the
// filter evaluators compute with them; component streaming writes and reads them.
//
// Layout and cost: a Variant is 16 bytes, the type code and an 8-byte payload. Numbers, dates,
// Booleans and currency live inline and never allocate. Texts (UTF-16 and 8-bit) and the custom kinds
// (SQL time stamps, FMT BCD) sit in an immutable, reference-counted box, so copying them is a counter
// increment. Arrays are owned by their variant and copied deeply: a locked array hands out a pointer
// into its payload, and sharing would let a write through that pointer show up in a copy.
//
// One fixed promotion rule for arithmetic (BinaryOp in Variant.cpp); VarCompareValue reads mixed kinds
// the same way but has its own Null rules:
//   Null in either operand gives Null; Empty reads as 0 (or as empty text next to a text);
//   text + text concatenates; any other text operand is read as a double (format settings), or in
//   date arithmetic as a date-time and failing that as a number of days;
//   Boolean reads as an integer (True = -1);
//   all integers: computed in Int64; the result is Integer when it fits 32 bits, else Int64;
//                 an Int64 overflow continues in double, as does a UInt64 above Int64's range;
//   currency with integers or currency: currency; with a float: double;
//   single or double: double;  date ± number: date;  date - date: double;
//   FMT BCD with any number: FMT BCD;  SQL time stamps read as dates.
// `/` is real division (double; currency stays currency); `div`, `mod` and the bit operations work on
// Int64 and give an integer kind; `and`/`or`/`xor` are logical when either side is a Boolean.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/String.h"

using TVarType = Word;

inline constexpr TVarType varEmpty = 0x0000;
inline constexpr TVarType varNull = 0x0001;
inline constexpr TVarType varSmallint = 0x0002;
inline constexpr TVarType varInteger = 0x0003;
inline constexpr TVarType varSingle = 0x0004;
inline constexpr TVarType varDouble = 0x0005;
inline constexpr TVarType varCurrency = 0x0006;
inline constexpr TVarType varDate = 0x0007;
inline constexpr TVarType varOleStr = 0x0008;
inline constexpr TVarType varDispatch = 0x0009;
inline constexpr TVarType varError = 0x000A;
inline constexpr TVarType varBoolean = 0x000B;
inline constexpr TVarType varVariant = 0x000C;
inline constexpr TVarType varUnknown = 0x000D;
inline constexpr TVarType varShortInt = 0x0010;
inline constexpr TVarType varByte = 0x0011;
inline constexpr TVarType varWord = 0x0012;
inline constexpr TVarType varLongWord = 0x0013;
inline constexpr TVarType varInt64 = 0x0014;
inline constexpr TVarType varUInt64 = 0x0015;
inline constexpr TVarType varString = 0x0100;
inline constexpr TVarType varUString = 0x0102;
// The registered custom kinds. The platform hands custom codes out from 0x010F upwards in the order the
// kinds register; these three register first, in this order, so their codes are fixed.
inline constexpr TVarType varSQLTimeStamp = 0x010F;
inline constexpr TVarType varSQLTimeStampOffset = 0x0110;
inline constexpr TVarType varFMTBcd = 0x0111;

inline constexpr TVarType varTypeMask = 0x0FFF;
inline constexpr TVarType varArray = 0x2000;
inline constexpr TVarType varByRef = 0x4000;

// The platform names the custom codes through functions.
inline constexpr TVarType VarSQLTimeStamp() { return varSQLTimeStamp; }
inline constexpr TVarType VarSQLTimeStampOffset() { return varSQLTimeStampOffset; }
inline constexpr TVarType VarFMTBcd() { return varFMTBcd; }

enum TVariantRelationship { vrEqual = 0, vrLessThan = 1, vrGreaterThan = 2, vrNotEqual = 3 };

// The variant error family.
VELLUM_DECLARE_EXCEPTION(EVariantTypeCastError, EVariantError)     // "Invalid variant type conversion"
VELLUM_DECLARE_EXCEPTION(EVariantOverflowError, EVariantError)     // "Overflow while converting ..."
VELLUM_DECLARE_EXCEPTION(EVariantInvalidOpError, EVariantError)    // "Invalid variant operation"
VELLUM_DECLARE_EXCEPTION(EVariantBadIndexError, EVariantError)     // "Variant or safe array index out of bounds"
VELLUM_DECLARE_EXCEPTION(EVariantArrayCreateError, EVariantError)  // "Error creating variant or safe array"
VELLUM_DECLARE_EXCEPTION(EVariantArrayLockedError, EVariantError)  // "Variant or safe array is locked"
VELLUM_DECLARE_EXCEPTION(EVariantNotAnArrayError, EVariantError)   // "Variant is not an array"
VELLUM_DECLARE_EXCEPTION(EVariantBadVarTypeError, EVariantError)   // "Invalid variant type"
VELLUM_DECLARE_EXCEPTION(EVariantInvalidArgError, EVariantError)   // "Invalid argument"

namespace msg {
inline constexpr char16_t SVarTypeCouldNotConvert[] = u"Could not convert variant of type (%s) into type (%s)";
inline constexpr char16_t SInvalidVarCast[] = u"Invalid variant type conversion";
inline constexpr char16_t SVarTypeConvertOverflow[] = u"Overflow while converting variant of type (%s) into type (%s)";
inline constexpr char16_t SInvalidVarOp[] = u"Invalid variant operation";
inline constexpr char16_t SVarArrayBounds[] = u"Variant or safe array index out of bounds";
inline constexpr char16_t SVarArrayCreate[] = u"Error creating variant or safe array";
inline constexpr char16_t SVarArrayLocked[] = u"Variant or safe array is locked";
inline constexpr char16_t SVarNotArray[] = u"Variant is not an array";
inline constexpr char16_t SVarBadType[] = u"Invalid variant type";
inline constexpr char16_t SVarInvalid[] = u"Invalid argument";
inline constexpr char16_t SDivByZero[] = u"Division by zero";
inline constexpr char16_t SZeroDivide[] = u"Floating point division by zero";
inline constexpr char16_t SInvalidOp[] = u"Invalid floating point operation";
}  // namespace msg

class Variant;

namespace variant_detail {
// An immutable value shared by reference count (texts and custom kinds).
struct BoxBase {
  mutable std::atomic<std::uint32_t> Refs{1};
};
template <typename T>
struct Box : BoxBase {
  explicit Box(T v) : Value(std::move(v)) {}
  const T Value;
};
struct ArrayData;  // Variant.cpp
}  // namespace variant_detail

class Variant {
 public:
  // Empty (unassigned).
  Variant() noexcept : FType(varEmpty), FInt64(0) {}
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept : FType(other.FType), FInt64(other.FInt64) {
    other.FType = varEmpty;
    other.FInt64 = 0;
  }
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant() {
    if (HasPayload()) Release();
  }

  // The kind follows the C++ type: short → Smallint, signed char → ShortInt, unsigned char → Byte,
  // unsigned short → Word, int → Integer, unsigned → LongWord, long / long long → Int64, unsigned long /
  // unsigned long long → UInt64, float → Single, double → Double. A date is made with VarFromDateTime,
  // since TDateTime is a double.
  Variant(bool v) noexcept : FType(varBoolean), FInt64(0) { FBoolean = v; }
  Variant(signed char v) noexcept : FType(varShortInt), FInt64(v) {}
  Variant(unsigned char v) noexcept : FType(varByte), FInt64(v) {}
  Variant(short v) noexcept : FType(varSmallint), FInt64(v) {}
  Variant(unsigned short v) noexcept : FType(varWord), FInt64(v) {}
  Variant(int v) noexcept : FType(varInteger), FInt64(v) {}
  Variant(unsigned v) noexcept : FType(varLongWord), FInt64(v) {}
  Variant(long v) noexcept : FType(varInt64), FInt64(v) {}
  Variant(long long v) noexcept : FType(varInt64), FInt64(v) {}
  Variant(unsigned long v) noexcept : FType(varUInt64), FUInt64(v) {}
  Variant(unsigned long long v) noexcept : FType(varUInt64), FUInt64(v) {}
  Variant(float v) noexcept : FType(varSingle), FInt64(0) { FSingle = v; }
  Variant(double v) noexcept : FType(varDouble), FDouble(v) {}
  Variant(Currency v) noexcept : FType(varCurrency), FInt64(v.Scaled) {}
  // UTF-16 text (varUString).
  Variant(String v);
  Variant(std::u16string_view v) : Variant(String(v)) {}
  Variant(const char16_t* v) : Variant(String(v)) {}
  // A char literal would silently become a Boolean; say which text is meant: Variant(u"...") for UTF-16
  // text, VarFromAnsi for bytes of the system code page.
  Variant(const char*) = delete;
  Variant(char) = delete;
  Variant(char16_t) = delete;
  Variant(const TSQLTimeStamp& v);
  Variant(const TSQLTimeStampOffset& v);
  Variant(const TBcd& v);

  TVarType VType() const noexcept { return FType; }
  bool IsEmpty() const noexcept { return FType == varEmpty; }
  bool IsNull() const noexcept { return FType == varNull; }
  bool IsArray() const noexcept { return (FType & varArray) != 0; }

  // Converting reads (raise the variant conversion errors; Null raises, as the platform's casts do).
  int AsInteger() const;
  Int64 AsInt64() const;
  UInt64 AsUInt64() const;
  double AsDouble() const;
  bool AsBoolean() const;
  Currency AsCurrency() const;
  TDateTime AsDateTime() const;
  // Texts: Null and Empty give an empty text.
  String AsString() const;
  AnsiString AsAnsiString() const;
  TSQLTimeStamp AsSQLTimeStamp() const;
  TSQLTimeStampOffset AsSQLTimeStampOffset() const;
  TBcd AsBcd() const;

  // Raw reads of the held value: the kind must match exactly (else EVariantTypeCastError). For the
  // per-row paths that already switched on VType.
  std::int16_t VSmallint() const { Expect(varSmallint); return static_cast<std::int16_t>(FInt64); }
  std::int32_t VInteger() const { Expect(varInteger); return static_cast<std::int32_t>(FInt64); }
  float VSingle() const { Expect(varSingle); return FSingle; }
  double VDouble() const { Expect(varDouble); return FDouble; }
  Currency VCurrency() const { Expect(varCurrency); return Currency::FromScaled(FInt64); }
  TDateTime VDate() const { Expect(varDate); return FDouble; }
  bool VBoolean() const { Expect(varBoolean); return FBoolean; }
  std::int8_t VShortInt() const { Expect(varShortInt); return static_cast<std::int8_t>(FInt64); }
  Byte VByte() const { Expect(varByte); return static_cast<Byte>(FInt64); }
  Word VWord() const { Expect(varWord); return static_cast<Word>(FInt64); }
  Cardinal VLongWord() const { Expect(varLongWord); return static_cast<Cardinal>(FInt64); }
  Int64 VInt64() const { Expect(varInt64); return FInt64; }
  UInt64 VUInt64() const { Expect(varUInt64); return FUInt64; }
  std::int32_t VError() const { Expect(varError); return static_cast<std::int32_t>(FInt64); }
  // varOleStr or varUString.
  const String& VUString() const;
  // varString (bytes of the system code page).
  const AnsiString& VAnsiString() const;
  const TSQLTimeStamp& VSQLTimeStamp() const;
  const TSQLTimeStampOffset& VSQLTimeStampOffset() const;
  const TBcd& VBcd() const;

  // Placeholders: the platform's interface kinds carry an opaque pointer here, never owned or called;
  // varError carries an error code.
  static Variant MakeError(std::int32_t code) noexcept;
  static Variant MakeDispatch(void* ptr) noexcept;
  static Variant MakeUnknown(void* ptr) noexcept;
  void* VPointer() const noexcept { return (FType == varDispatch || FType == varUnknown) ? FPointer : nullptr; }

  // Array elements (one dimension, index within bounds, else EVariantBadIndexError). Set casts the value
  // to the element type unless the elements are varVariant.
  Variant GetElement(int index) const;
  void SetElement(int index, const Variant& value);
  // Exchanges two variants without touching their payloads.
  void Swap(Variant& other) noexcept {
    std::swap(FType, other.FType);
    std::swap(FInt64, other.FInt64);
  }

  void Clear() noexcept;  // back to Empty

  friend bool operator==(const Variant& a, const Variant& b);
  // Ordering: Empty, then Null, before every value; other pairs as VarCompareValue (values that cannot
  // be ordered raise EVariantInvalidOpError).
  friend bool operator<(const Variant& a, const Variant& b);
  friend bool operator>(const Variant& a, const Variant& b) { return b < a; }
  friend bool operator<=(const Variant& a, const Variant& b) { return !(b < a); }
  friend bool operator>=(const Variant& a, const Variant& b) { return !(a < b); }

 private:
  friend class VariantAccess;  // Variant.cpp

  void Expect(TVarType t) const {
    if (FType != t) ThrowCast(t);
  }
  [[noreturn]] void ThrowCast(TVarType to) const;
  // Texts, arrays and the custom kinds own (or share) a heap payload; every code from varString up is
  // one of them.
  bool HasPayload() const noexcept { return FType == varOleStr || FType >= varString; }
  void Release() noexcept;

  TVarType FType;
  union {
    Int64 FInt64;
    UInt64 FUInt64;
    double FDouble;
    float FSingle;
    bool FBoolean;
    void* FPointer;
    const variant_detail::BoxBase* FBox;
    variant_detail::ArrayData* FArray;
  };
};
static_assert(sizeof(Variant) == 16);

// ---- makers and tests ---------------------------------------------------------------------------------
inline Variant Unassigned() noexcept { return Variant(); }
Variant Null() noexcept;
Variant VarFromDateTime(TDateTime value) noexcept;
Variant VarFromAnsi(AnsiString bytes);  // varString
Variant VarFromOleStr(String text);     // varOleStr (the other UTF-16 kind)
Variant VarSQLTimeStampCreate(const TSQLTimeStamp& value);
Variant VarSQLTimeStampOffsetCreate(const TSQLTimeStampOffset& value);
Variant VarFMTBcdCreate(const TBcd& value);

inline TVarType VarType(const Variant& v) noexcept { return v.VType(); }
inline bool VarIsEmpty(const Variant& v) noexcept { return v.VType() == varEmpty; }
inline bool VarIsNull(const Variant& v) noexcept { return v.VType() == varNull; }
// Empty, or a placeholder with no value behind it (Null is a value: not clear).
bool VarIsClear(const Variant& v) noexcept;
bool VarIsStr(const Variant& v) noexcept;       // varOleStr, varUString, varString
bool VarIsOrdinal(const Variant& v) noexcept;   // Boolean and the integer kinds
bool VarIsFloat(const Variant& v) noexcept;     // single, double, currency
bool VarIsNumeric(const Variant& v) noexcept;   // ordinal or float
bool VarIsArray(const Variant& v) noexcept;
bool VarIsByteArray(const Variant& v) noexcept;  // one dimension of varByte, low bound 0
bool VarIsSQLTimeStamp(const Variant& v) noexcept;
bool VarIsSQLTimeStampOffset(const Variant& v) noexcept;
bool VarIsFMTBcd(const Variant& v) noexcept;
// "Integer", "String", "Array Byte", "SQLTimeStamp", ...
String VarTypeAsText(TVarType type);

// ---- conversions --------------------------------------------------------------------------------------
// The text form: Null and Empty give an empty text; Booleans "True"/"False"; floats, currency and dates
// by the platform's text conversions with the process-wide format settings.
String VarToStr(const Variant& v);
// Null gives Default; Empty gives an empty text, as VarToStr.
String VarToStrDef(const Variant& v, const String& Default);
// Casts to another kind (raises EVariantTypeCastError / EVariantOverflowError). Casting Null or Empty
// to a non-text kind raises, except Null → Null and anything → varVariant (unchanged).
Variant VarAsType(const Variant& v, TVarType type);

// ---- comparison and operations ------------------------------------------------------------------------
// Empty equals only Empty and Null only Null (vrNotEqual against anything else). Texts compare with
// the user's locale collation, case-sensitive; a text against another kind is read as that kind
// (number, date, Boolean). Two Booleans order False before True; a Boolean against a number reads as
// -1 / 0. NaN is vrNotEqual to everything. Arrays and placeholders raise EVariantInvalidOpError.
TVariantRelationship VarCompareValue(const Variant& a, const Variant& b);
bool VarSameValue(const Variant& a, const Variant& b);

Variant operator+(const Variant& a, const Variant& b);
Variant operator-(const Variant& a, const Variant& b);
Variant operator*(const Variant& a, const Variant& b);
Variant operator/(const Variant& a, const Variant& b);
Variant operator-(const Variant& a);
Variant operator!(const Variant& a);  // the platform's not: logical on Booleans, bitwise on integers
Variant operator&(const Variant& a, const Variant& b);  // and
Variant operator|(const Variant& a, const Variant& b);  // or
Variant operator^(const Variant& a, const Variant& b);  // xor
Variant operator%(const Variant& a, const Variant& b);  // mod
Variant VarNot(const Variant& a);
Variant VarAnd(const Variant& a, const Variant& b);
Variant VarOr(const Variant& a, const Variant& b);
Variant VarXor(const Variant& a, const Variant& b);
Variant VarIntDiv(const Variant& a, const Variant& b);  // div
Variant VarMod(const Variant& a, const Variant& b);
Variant& operator+=(Variant& a, const Variant& b);

// ---- arrays -------------------------------------------------------------------------------------------
// Bounds are pairs {low, high}; only one dimension is supported (more raise EVariantArrayCreateError).
// Elements start Empty for varVariant, zero for numbers, empty for texts.
Variant VarArrayCreate(std::initializer_list<int> bounds, TVarType elementType);
// varVariant elements with bounds 0 .. n-1.
Variant VarArrayOf(std::initializer_list<Variant> values);
Variant VarArrayOf(const std::vector<Variant>& values);
int VarArrayDimCount(const Variant& v) noexcept;  // 0 for a non-array
int VarArrayLowBound(const Variant& v, int dim);   // dim counts from 1
int VarArrayHighBound(const Variant& v, int dim);
// The element count of dimension 1 (0 for a non-array).
int VarArrayLength(const Variant& v) noexcept;
Variant VarArrayGet(const Variant& v, int index);
void VarArrayPut(Variant& v, const Variant& value, int index);
// Changes the high bound of dimension 1; raises EVariantArrayLockedError while locked.
void VarArrayRedim(Variant& v, int highBound);
// The payload of an array: for varByte arrays the bytes, for all others the Variant elements. The array
// cannot be resized while locked; every lock needs its unlock.
void* VarArrayLock(Variant& v);
void VarArrayUnlock(Variant& v);

// Byte arrays ⇄ bytes.
Variant VarFromBytes(const void* data, std::size_t count);
Variant VarFromBytes(const std::vector<Byte>& bytes);
// A byte array's elements; a text gives its bytes (UTF-16 text: the 8-bit form in the system code
// page); anything else raises EVariantTypeCastError.
std::vector<Byte> VarToBytes(const Variant& v);
