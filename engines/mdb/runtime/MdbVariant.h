// TMdbVariant: the one typed, nullable value of the Mdb database. Field values read from records,
// constants and intermediate results of SQL expressions, parameters, defaults and the operands of
// every comparison, operator and SQL function are instances of it. Its bytes live in one buffer of the
// engine's memory manager, in the storage form of its TMdbBaseFieldType, which is also the form a
// record buffer holds the field in:
//
//   bftChar, bftVarchar            8-bit characters (system code page), then one zero byte
//   bftWideChar, bftWideVarchar    UTF-16 units, then one zero unit
//   integers                       1, 2, 4 or 8 bytes little-endian
//   bftSingle / bftDouble          IEEE 754, 4 / 8 bytes
//   bftExtended                    10 bytes, the x87 80-bit layout (platform/rtl Extended.h)
//   bftDate, bftTime               Int32 day number (0001-01-01 = 1) / milliseconds since midnight
//   bftDateTime                    TMdbDateTime {Date, Time}
//   bftBlob, bftClob, bftWideClob  the bytes (a value read from a table carries its terminator)
//   bftLogical                     16-bit Boolean, True written as 0xFFFF
//   bftCurrency                    the amount as a double
//   bftBytes, bftVarBytes          raw bytes
//
// Stream form (SaveToStream / LoadFromStream), part of the table stream through defaults and CHECK
// bounds:
//
//   offset  size      field
//   0       1         DataType ordinal
//   1       1         null flag: 0 present, 0xFF null (any non-zero byte reads as null)
//   2       4         DataSize, Int32 (present values only)
//   6       DataSize  the storage bytes (present values only)
//
// A value is null, present and owning its buffer, or present and linked to a buffer it does not own
// (another value's, a record buffer). A linked value must not outlive what it points at.
//
// The value's operations are split by concern: MdbVariant.cpp (model, stream form, accessors,
// assignment), MdbConvert.cpp (result types, conversion matrix, Cast), MdbCompare.cpp (comparison and
// hashing), MdbOperators.cpp (arithmetic, bitwise and Boolean operators).
#pragma once

#include <cstdint>

#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/classes/Classes.h"
#include "platform/rtl/Variant.h"

class TStream;

inline constexpr std::uint32_t kMdbNullHash = 0x73B58EAF;
inline constexpr std::uint32_t kMdbHashSeed = 0xDE3C6A08;
inline constexpr std::int32_t kMdbHashByteSumLimit = 10;
// Stream form: type byte, null byte, Int32 size.
inline constexpr std::int32_t kMdbValueHeaderSize = 6;
inline constexpr Byte kMdbNullByte = 0xFF;

// ---- result types and the conversion matrix --------------------------------------------------------
TMdbBaseFieldType CommonBaseFieldType(TMdbBaseFieldType TypeA, TMdbBaseFieldType TypeB);
TMdbAdvancedFieldType CommonAdvancedFieldType(TMdbAdvancedFieldType TypeA, TMdbAdvancedFieldType TypeB);
// True when the matrix has the pair.
bool CanConvertData(TMdbBaseFieldType SourceType, TMdbBaseFieldType DestType);
// Converts SourceSize storage bytes of SourceType into a new engine buffer in DestType's storage form;
// the caller owns the result. Text sources are read up to their terminator but never past
// SourceSize. 30052 for a pair outside the matrix or an empty result, 30051 for any failure inside.
void* ConvertData(const void* Source, std::int32_t SourceSize, TMdbBaseFieldType SourceType, TMdbBaseFieldType DestType,
                  std::int32_t& DestSize);
void* ConvertDataBuffer(const void* Source, std::int32_t SourceSize, TMdbBaseFieldType SourceType,
                        TMdbBaseFieldType DestType);
// True when both are 8-bit character types (CLOB included) or both wide ones.
bool IsSameStringWidth(TMdbBaseFieldType TypeA, TMdbBaseFieldType TypeB);

// Owns one block of the memory manager until Release; frees it on scope exit.
class TMdbBufferOwner {
 public:
  TMdbBufferOwner() = default;
  explicit TMdbBufferOwner(void* Buffer) : FPtr(Buffer) {}
  ~TMdbBufferOwner() { Reset(); }
  TMdbBufferOwner(const TMdbBufferOwner&) = delete;
  TMdbBufferOwner& operator=(const TMdbBufferOwner&) = delete;
  Byte* Get() const { return static_cast<Byte*>(FPtr); }
  void* Release() {
    void* P = FPtr;
    FPtr = nullptr;
    return P;
  }
  void Reset(void* Buffer = nullptr) noexcept;

 private:
  void* FPtr = nullptr;
};

class TMdbVariant : public TObject {
  VELLUM_CLASS(TMdbVariant)
 public:
  explicit TMdbVariant(TMdbBaseFieldType DataType = bftUnknown);
  ~TMdbVariant() override;

  // ---- state ---------------------------------------------------------------------------------------
  TMdbBaseFieldType DataType() const { return FDataType; }
  // A null value is retyped (cleared when it holds a buffer); a present one is cast, and cleared to
  // the new type when the cast fails.
  void SetDataType(TMdbBaseFieldType NewType);
  TMdbAdvancedFieldType AdvDataType() const { return BaseToAdvancedFieldType(FDataType); }
  std::int32_t DataSize() const { return FDataSize; }
  Byte* PData() const { return FPData; }
  bool IsDataLinked() const { return FIsDataLinked; }
  bool IsBlob() const { return FIsBLOB; }
  bool IsNull() const { return FIsNull || FPData == nullptr; }
  std::int32_t MaxStrLen() const { return FMaxStrLen; }
  void SetMaxStrLen(std::int32_t Value) { FMaxStrLen = Value; }

  void Clear(TMdbBaseFieldType DataType);
  void SetNull(TMdbBaseFieldType DataType = bftUnknown);
  void SetDataSize(std::int32_t NewSize);
  void InternalSetBuffer(void* Buffer, std::int32_t BufferSize);
  void SetData(const void* Buffer, std::int32_t Size, TMdbBaseFieldType DataType, bool CopyDataFlag, bool NotLinkedBuffer);
  bool CopyDataToAddress(void* Buffer, std::int32_t MaxSize) const;

  bool IsNumericDataType() const { return IsNumericBaseType(FDataType); }
  bool IsIntegerDataType() const { return IsIntegerBaseType(FDataType); }
  bool IsStringDataType() const { return IsStringBaseType(FDataType); }
  bool IsWideStringDataType() const { return IsWideStringBaseType(FDataType); }
  bool IsDateTimeDataType() const { return IsDateTimeBaseType(FDataType); }
  std::int32_t StrLen() const;
  void ConvertWideStringToAnsiStringIfNotUnicode();

  // ---- stream form and assignment ------------------------------------------------------------------
  virtual void LoadFromStream(TStream* Stream);
  virtual void SaveToStream(TStream* Stream) const;
  virtual void Assign(const TMdbVariant* Source, bool CopyDataFlag, bool AssignName);

  // ---- typed accessors -----------------------------------------------------------------------------
  std::int8_t AsShortint() const;
  void SetAsShortint(std::int8_t V);
  std::int16_t AsSmallint() const;
  void SetAsSmallint(std::int16_t V);
  std::int32_t AsInteger() const;
  void SetAsInteger(std::int32_t V);
  Int64 AsInt64() const;
  void SetAsInt64(Int64 V);
  Byte AsByte() const;
  void SetAsByte(Byte V);
  Word AsWord() const;
  void SetAsWord(Word V);
  Cardinal AsCardinal() const;
  void SetAsCardinal(Cardinal V);
  Cardinal AsLongWord() const { return AsCardinal(); }
  void SetAsLongWord(Cardinal V) { SetAsCardinal(V); }
  float AsSingle() const;
  void SetAsSingle(float V);
  double AsDouble() const;
  void SetAsDouble(double V);
  // The 10-byte value read through the platform's software extended (nearest double).
  double AsExtended() const;
  void SetAsExtended(double V);
  AnsiString AsString() const;
  void SetAsString(std::string_view V);
  String AsWideString() const;
  void SetAsWideString(std::u16string_view V);
  std::int32_t AsMdbDate() const;
  void SetAsMdbDate(std::int32_t V);
  std::int32_t AsMdbTime() const;
  void SetAsMdbTime(std::int32_t V);
  TMdbDateTime AsMdbDateTime() const;
  void SetAsMdbDateTime(const TMdbDateTime& V);
  TDateTime AsTDate() const { return MdbDateToDateTime(AsMdbDate()); }
  void SetAsTDate(TDateTime V) { SetAsMdbDate(DateTimeToMdbDate(V)); }
  TDateTime AsTTime() const { return MdbTimeToDateTime(AsMdbTime()); }
  void SetAsTTime(TDateTime V) { SetAsMdbTime(DateTimeToMdbTime(V)); }
  TDateTime AsTDateTime() const { return MdbDateTimeToDateTime(AsMdbDateTime()); }
  void SetAsTDateTime(TDateTime V) { SetAsMdbDateTime(DateTimeToMdbDateTime(V)); }
  bool AsBoolean() const;
  void SetAsBoolean(bool V);
  bool AsLogical() const { return AsBoolean(); }
  void SetAsLogical(bool V) { SetAsBoolean(V); }
  double AsCurrency() const;
  void SetAsCurrency(double V);
  Variant AsVariant() const;
  void SetAsVariant(const Variant& V);

  // ---- conversion ----------------------------------------------------------------------------------
  // Converts in place; on failure the value is unchanged.
  void Cast(TMdbBaseFieldType NewDataType);

  // ---- comparison and hashing ----------------------------------------------------------------------
  TMdbCompareResult Compare(const TMdbVariant* Value, bool TrueFalseNullLogic, bool CaseInsensitive, bool PartialKey) const;
  TMdbCompareResult CompareMemoAndAnsiString(bool ReverseResult, const TMdbVariant* Str, bool TrueFalseNullLogic,
                                             bool CaseInsensitive, bool PartialKey) const;
  std::uint32_t GetBinaryHash() const;

  // ---- operators (the left operand is overwritten) -------------------------------------------------
  void InvertValue();
  void Add(const TMdbVariant* Value);
  void Sub(const TMdbVariant* Value);
  void Mul(const TMdbVariant* Value);
  void Division(const TMdbVariant* Value);
  void ModData(TMdbVariant* Value);
  void AndData(const TMdbVariant* Value);
  void OrData(const TMdbVariant* Value);
  void NotData();
  void ShlData(const TMdbVariant* Value);
  void ShrData(const TMdbVariant* Value);
  void XorData(const TMdbVariant* Value);

  // ---- SQL functions (the result replaces the value) -----------------------------------------------
  void AbsData();
  void CeilingData();
  void FloorData();
  void SignData();
  void PowerData(TMdbVariant* Value);
  void RandomData(TMdbVariant* Value);
  void RoundData(TMdbVariant* Value);
  void TruncateData(TMdbVariant* Value);
  void HexData(TMdbHexStringFormat Format);
  // Neither raises: a failure leaves a null value of type bftUnknown.
  void DateAdd(TMdbDatePart DatePart, std::int32_t Number);
  void DateDiff(TMdbDatePart DatePart, TMdbVariant* StartDate, TMdbVariant* EndDate);
  void ExpData();
  void LogData(const TMdbVariant* Base);
  void Log10Data();
  void CosData();
  void SinData();
  void AcosData();
  void AsinData();
  void AtanData();
  void Atan2Data(const TMdbVariant* YCoord);
  void CotData();
  void TanData();
  void SqrtData();
  void DegreesData();
  void RadiansData();
  void SqrData();
  void PiData();

 protected:
  friend class TMdbOperatorFrame;
  friend class TMdbFunctionFrame;
  // The shared typed getter and setter: Bytes / Size hold the accessor's value in SourceType's form.
  void InternalSetValue(TMdbBaseFieldType SourceType, const void* Bytes, std::int32_t Size);
  void InternalGetValue(TMdbBaseFieldType RequestedType, void* Result, std::int32_t ResultSize) const;
  void DropBuffer();
  void TakeBuffer(void* Buffer, std::int32_t Size);
  // Storage bytes as text of the value's width: bounded by FDataSize, ended at the first terminator.
  std::int32_t TextUnits() const;

  TMdbBaseFieldType FDataType = bftUnknown;
  bool FIsNull = true;
  std::int32_t FDataSize = 0;
  Byte* FPData = nullptr;
  bool FIsDataLinked = false;
  std::int32_t FMaxStrLen = 0;
  bool FIsBLOB = false;
};
