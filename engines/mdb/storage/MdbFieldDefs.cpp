#include "engines/mdb/storage/MdbFieldDefs.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbStorageConst.h"

namespace {

constexpr char16_t SSequenceOverflow[] = u"Sequence '%s' overflow";
constexpr char16_t SDuplicateFieldName[] = u"Duplicate field name %s";
constexpr char16_t SUnsupportedDataType[] = u"Unsuported data type '%s'";
constexpr char16_t SInvalidDefinition[] = u"Invalid definition in stream: %s";

[[noreturn]] void BadDefinition(int Code, const String& What) { throw EMdbException(Code, SInvalidDefinition, {What}); }

Int64 BytesLeft(TStream* Stream) { return std::max<Int64>(Stream->Size() - Stream->Position(), 0); }

bool IsStringColumn(TMdbAdvancedFieldType T) { return T == aftChar || T == aftString || T == aftWideChar || T == aftWideString; }
bool IsWideColumn(TMdbAdvancedFieldType T) { return T == aftWideChar || T == aftWideString; }

}  // namespace

std::uint32_t UpperNameCRC(std::u16string_view Name) { return NameCRC32Wide(Name, true); }

void RaiseDuplicateName(const String& Name) { throw EMdbException(10424, SDuplicateFieldName, {Name}); }

// ---- TMdbMetaObjectDef ---------------------------------------------------------------------------------

void TMdbMetaObjectDef::SetName(const String& Value) {
  FName = Value;
  FNameCRC = UpperNameCRC(Value);
}

void TMdbMetaObjectDef::Assign(const TMdbMetaObjectDef* Source) {
  SetName(Source->FName);
  FObjectID = Source->FObjectID;
}

void TMdbMetaObjectDef::SaveToStream(TStream* Stream) const {
  WriteWideStringToStream(FName, Stream, 10164);
  WriteValueToStream(FObjectID, Stream, 10168);
}

void TMdbMetaObjectDef::LoadFromStream(TStream* Stream) {
  String Name;
  ReadWideStringFromStream(Name, Stream, 10166);
  const auto Id = ReadValueFromStream<std::int32_t>(Stream, 10169);
  SetName(Name);
  FObjectID = Id;
}

// ---- TMdbSequenceDef -------------------------------------------------------------------------------------

Int64 TMdbSequenceDef::GetNextVal() {
  Int64 Next;
  if (__builtin_add_overflow(FLastValue, FIncrement, &Next)) throw EIntOverflow(msg::SIntOverflow);
  FLastValue = Next;
  if (FLastValue > FMaxValue) {
    if (!FCycled) throw EMdbException(30009, SSequenceOverflow, {FName});
    FLastValue = FMinValue;
  }
  return FLastValue;
}

void TMdbSequenceDef::Assign(const TMdbMetaObjectDef* Source) {
  TMdbMetaObjectDef::Assign(Source);
  if (const auto* S = dynamic_cast<const TMdbSequenceDef*>(Source)) {
    FDataType = S->FDataType;
    FMinValue = S->FMinValue;
    FMaxValue = S->FMaxValue;
    FLastValue = S->FLastValue;
    FIncrement = S->FIncrement;
    FCycled = S->FCycled;
  }
}

void TMdbSequenceDef::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteValueToStream(static_cast<Byte>(FDataType), Stream, 10206);
  WriteValueToStream(FMinValue, Stream, 10207);
  WriteValueToStream(FMaxValue, Stream, 10208);
  WriteValueToStream(FLastValue, Stream, 10209);
  WriteValueToStream(FIncrement, Stream, 10210);
  WriteValueToStream(static_cast<Byte>(FCycled ? 1 : 0), Stream, 10211);
}

void TMdbSequenceDef::LoadFromStream(TStream* Stream) {
  TMdbSequenceDef S;
  S.TMdbMetaObjectDef::LoadFromStream(Stream);
  const auto Type = ReadValueFromStream<Byte>(Stream, 10212);
  if (Type > bftBFile) BadDefinition(10212, Format(u"sequence type %d", {int(Type)}));
  S.FDataType = static_cast<TMdbBaseFieldType>(Type);
  S.FMinValue = ReadValueFromStream<Int64>(Stream, 10213);
  S.FMaxValue = ReadValueFromStream<Int64>(Stream, 10214);
  S.FLastValue = ReadValueFromStream<Int64>(Stream, 10215);
  S.FIncrement = ReadValueFromStream<Int64>(Stream, 10216);
  S.FCycled = ReadValueFromStream<Byte>(Stream, 10217) != 0;
  Assign(&S);
}

// ---- TMdbFieldDef ----------------------------------------------------------------------------------------

TMdbFieldDef::TMdbFieldDef() : FDefaultValue(std::make_unique<TMdbVariant>(bftUnknown)) {}

bool TMdbFieldDef::IsBlob() const { return IsBLOBBaseType(FBaseFieldType); }
bool TMdbFieldDef::IsAutoInc() const { return IsAutoIncAdvancedType(FAdvancedFieldType); }

void TMdbFieldDef::SetFieldDefDataType(TMdbAdvancedFieldType AdvancedFieldType, std::int32_t FieldSize) {
  const TMdbBaseFieldType Base = AdvancedToBaseFieldType(AdvancedFieldType);
  if (Base == bftUnknown) {
    const AnsiString N = AdvancedFieldTypeName(AdvancedFieldType);
    throw EMdbException(30007, SUnsupportedDataType, {String(N.begin(), N.end())});
  }
  FAdvancedFieldType = AdvancedFieldType;
  FBaseFieldType = Base;
  FFieldSize = FieldSize;
  CalcDataSizes();
}

void TMdbFieldDef::CalcDataSizes() {
  FMemoryDataSize = FDiskDataSize = GetBaseTypeDataSize(FBaseFieldType, FFieldSize);
  if (IsBLOBBaseType(FBaseFieldType) || IsVarcharBaseType(FBaseFieldType)) FDiskDataSize = 6;
}

void TMdbFieldDef::Assign(const TMdbMetaObjectDef* Source) {
  TMdbMetaObjectDef::Assign(Source);
  const auto* S = dynamic_cast<const TMdbFieldDef*>(Source);
  if (S == nullptr) return;
  FBaseFieldType = S->FBaseFieldType;
  FAdvancedFieldType = S->FAdvancedFieldType;
  FFieldSize = S->FFieldSize;
  FDiskDataSize = S->FDiskDataSize;
  FMemoryDataSize = S->FMemoryDataSize;
  FDiskOffset = S->FDiskOffset;
  FMemoryOffset = S->FMemoryOffset;
  FSequenceDefObjectId = S->FSequenceDefObjectId;
  FDefaultValue->Assign(S->FDefaultValue.get(), true, false);
  FBLOBCompressionAlgorithm = S->FBLOBCompressionAlgorithm;
  FBLOBCompressionMode = S->FBLOBCompressionMode;
  FBLOBBlockSize = S->FBLOBBlockSize;
  FAutoincIncrement = S->FAutoincIncrement;
  FAutoincInitialValue = S->FAutoincInitialValue;
  FAutoincMinValue = S->FAutoincMinValue;
  FAutoincMaxValue = S->FAutoincMaxValue;
  FAutoincCycled = S->FAutoincCycled;
}

void TMdbFieldDef::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteValueToStream(static_cast<Byte>(FBaseFieldType), Stream, 10170);
  WriteValueToStream(static_cast<Byte>(FAdvancedFieldType), Stream, 10171);
  WriteValueToStream(FFieldSize, Stream, 10172);
  if (IsBLOBBaseType(FBaseFieldType)) {
    WriteValueToStream(static_cast<Byte>(FBLOBCompressionAlgorithm), Stream, 10175);
    WriteValueToStream(FBLOBCompressionMode, Stream, 10176);
    WriteValueToStream(FBLOBBlockSize, Stream, 10177);
  }
  if (IsAutoIncAdvancedType(FAdvancedFieldType)) {
    WriteValueToStream(FSequenceDefObjectId, Stream, 10178);
    WriteValueToStream(FAutoincIncrement, Stream, 10685);
    WriteValueToStream(FAutoincInitialValue, Stream, 10686);
    WriteValueToStream(FAutoincMinValue, Stream, 10687);
    WriteValueToStream(FAutoincMaxValue, Stream, 10688);
    WriteValueToStream(FAutoincCycled, Stream, 10689);
  } else {
    FDefaultValue->SaveToStream(Stream);
  }
}

void TMdbFieldDef::LoadFromStream(TStream* Stream) {
  // Read into a fresh definition: a bad stream leaves this one as it was.
  TMdbFieldDef F;
  F.TMdbMetaObjectDef::LoadFromStream(Stream);
  const auto Base = ReadValueFromStream<Byte>(Stream, 10187);
  if (Base > bftBFile || Base == bftUnknown) BadDefinition(10187, Format(u"base type %d", {int(Base)}));
  const auto Adv = ReadValueFromStream<Byte>(Stream, 10188);
  if (Adv > aftWideMemo || AdvancedToBaseFieldType(static_cast<TMdbAdvancedFieldType>(Adv)) != Base)
    BadDefinition(10188, Format(u"column type %d over base type %d", {int(Adv), int(Base)}));
  F.FBaseFieldType = static_cast<TMdbBaseFieldType>(Base);
  F.FAdvancedFieldType = static_cast<TMdbAdvancedFieldType>(Adv);
  F.FFieldSize = ReadValueFromStream<std::int32_t>(Stream, 10189);
  if (F.FFieldSize < 0 || F.FFieldSize > kMaxFieldSize) BadDefinition(10189, Format(u"field size %d", {F.FFieldSize}));
  if (IsBLOBBaseType(F.FBaseFieldType)) {
    const auto Algorithm = ReadValueFromStream<Byte>(Stream, 10192);
    if (Algorithm > acaPPM) BadDefinition(10192, Format(u"compression %d", {int(Algorithm)}));
    F.FBLOBCompressionAlgorithm = static_cast<TMdbCompressionAlgorithm>(Algorithm);
    F.FBLOBCompressionMode = ReadValueFromStream<Byte>(Stream, 10193);
    F.FBLOBBlockSize = ReadValueFromStream<std::int32_t>(Stream, 10194);
    if (F.FBLOBBlockSize <= 0) BadDefinition(10194, Format(u"BLOB block size %d", {F.FBLOBBlockSize}));
  }
  if (IsAutoIncAdvancedType(F.FAdvancedFieldType)) {
    F.FSequenceDefObjectId = ReadValueFromStream<std::int32_t>(Stream, 10195);
    F.FAutoincIncrement = ReadValueFromStream<Int64>(Stream, 10690);
    F.FAutoincInitialValue = ReadValueFromStream<Int64>(Stream, 10691);
    F.FAutoincMinValue = ReadValueFromStream<Int64>(Stream, 10692);
    F.FAutoincMaxValue = ReadValueFromStream<Int64>(Stream, 10693);
    F.FAutoincCycled = ReadValueFromStream<Byte>(Stream, 10694);
  } else {
    F.FDefaultValue->LoadFromStream(Stream);
  }
  F.CalcDataSizes();
  // A default is copied into records unconverted: it must be of the column's type and fit its slot.
  if (!F.FDefaultValue->IsNull() &&
      (F.FDefaultValue->DataType() != F.FBaseFieldType || F.FDefaultValue->DataSize() > F.FMemoryDataSize))
    BadDefinition(10187, Format(u"default of type %d and %d bytes", {int(F.FDefaultValue->DataType()), F.FDefaultValue->DataSize()}));
  Assign(&F);
}

// ---- TMdbFieldDefs ---------------------------------------------------------------------------------------

void TMdbFieldDefs::RecalcFieldOffsets() {
  const std::int32_t Bitmap = (Count() + 7) / 8;
  std::int32_t Memory = Bitmap, Disk = Bitmap;
  VarcharOrBLOBFieldsExists = AutoIncFieldsExists = DefaultValuesExists = false;
  for (const auto& F : FItems) {
    F->FMemoryOffset = Memory;
    F->FDiskOffset = Disk;
    Memory += F->FMemoryDataSize;
    Disk += F->FDiskDataSize;
    VarcharOrBLOBFieldsExists |= IsBLOBBaseType(F->FBaseFieldType) || IsVarcharBaseType(F->FBaseFieldType);
    AutoIncFieldsExists |= F->IsAutoInc();
    DefaultValuesExists |= !F->FDefaultValue->IsNull();
  }
}

std::int32_t TMdbFieldDefs::RecordSize() const {
  if (FItems.empty()) return 0;
  return FItems.back()->FMemoryOffset + FItems.back()->FMemoryDataSize;
}

void TMdbFieldDefs::ApplyDefaultValuesToRecordBuffer(Byte* RecordBuffer) const {
  if (!DefaultValuesExists) return;
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    const auto& F = *FItems[i];
    if (F.FDefaultValue->IsNull()) continue;
    // Never beyond the column's slot, whatever the default holds.
    if (F.FDefaultValue->CopyDataToAddress(RecordBuffer + F.FMemoryOffset, F.FMemoryDataSize))
      SetRecordFieldNull(RecordBuffer, static_cast<std::int32_t>(i), false);
  }
}

void TMdbFieldDefs::SaveToStream(TStream* Stream) const {
  WriteValueToStream(Count(), Stream, 10158);
  for (const auto& F : FItems) {
    F->FEngineVersion = EngineVersion;
    F->SaveToStream(Stream);
  }
}

void TMdbFieldDefs::LoadFromStream(TStream* Stream) {
  const auto N = ReadValueFromStream<std::int32_t>(Stream, 10159);
  // The smallest definition: empty name, id, two type bytes, size and a NULL default (two bytes).
  constexpr Int64 kMinDefinitionSize = 4 + 4 + 2 + 4 + 2;
  if (N < 0 || Int64(N) * kMinDefinitionSize > BytesLeft(Stream)) BadDefinition(10159, Format(u"column count %d", {N}));
  std::vector<std::unique_ptr<TMdbFieldDef>> Loaded;
  Loaded.reserve(static_cast<std::size_t>(N));
  for (std::int32_t i = 0; i < N; ++i) {
    auto F = std::make_unique<TMdbFieldDef>();
    F->FEngineVersion = EngineVersion;
    F->LoadFromStream(Stream);
    Loaded.push_back(std::move(F));
  }
  FItems.swap(Loaded);
  LoadedItemCount = N;
}

// ---- record field routines -------------------------------------------------------------------------------

bool ReadRecordField(std::int32_t FieldNo, const TMdbFieldDefs& FieldDefs, void* Dest, const Byte* Record) {
  // A field number is checked before its null bit is looked at: a bad one must not read outside.
  if (FieldNo < 0 || FieldNo >= FieldDefs.Count())
    throw EMdbException(10000, SMdbInvalidFieldNumber, {FieldNo, FieldDefs.Count()});
  if (IsRecordFieldNull(Record, FieldNo)) return false;
  if (Dest == nullptr) return true;
  const TMdbFieldDef& F = *FieldDefs.GetDef(FieldNo);
  if (IsBLOBAdvancedType(F.FAdvancedFieldType)) return true;
  std::int32_t Len = F.FMemoryDataSize;
  if (IsStringColumn(F.FAdvancedFieldType)) {
    const std::int32_t Terminator = IsWideColumn(F.FAdvancedFieldType) ? 2 : 1;
    Len = std::min(StrDataByteLength(Record + F.FMemoryOffset, F.FAdvancedFieldType, F.FMemoryDataSize) + Terminator,
                   F.FMemoryDataSize);
  }
  std::memcpy(Dest, Record + F.FMemoryOffset, static_cast<std::size_t>(Len));
  return true;
}

void WriteRecordField(std::int32_t FieldNo, const TMdbFieldDefs& FieldDefs, const void* Source, Byte* Record) {
  if (FieldNo < 0 || FieldNo >= FieldDefs.Count())
    throw EMdbException(10004, SMdbInvalidFieldNumber, {FieldNo, FieldDefs.Count()});
  if (Source == nullptr) {
    SetRecordFieldNull(Record, FieldNo, true);
    return;
  }
  const TMdbFieldDef& F = *FieldDefs.GetDef(FieldNo);
  Byte* Slot = Record + F.FMemoryOffset;
  SetRecordFieldNull(Record, FieldNo, false);
  if (IsStringColumn(F.FAdvancedFieldType)) {
    const std::int32_t Terminator = IsWideColumn(F.FAdvancedFieldType) ? 2 : 1;
    std::int32_t n = StrDataByteLength(Source, F.FAdvancedFieldType);
    if (n == 0) {
      SetRecordFieldNull(Record, FieldNo, true);
      std::memset(Slot, 0, static_cast<std::size_t>(F.FMemoryDataSize));
      return;
    }
    if (n + Terminator > F.FMemoryDataSize) n = F.FMemoryDataSize - Terminator;
    if (IsWideColumn(F.FAdvancedFieldType)) n &= ~1;  // never half a code unit
    std::memcpy(Slot, Source, static_cast<std::size_t>(n));
    std::memset(Slot + n, 0, static_cast<std::size_t>(F.FMemoryDataSize - n));
    return;
  }
  std::memcpy(Slot, Source, static_cast<std::size_t>(F.FMemoryDataSize));
}
