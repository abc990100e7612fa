// Column and sequence definitions with their stream forms, the column list that computes the record
// layout, and the record field routines that read and write one value of a record buffer.
//
// Every definition starts with the common head: Name (wide string, 10164 / 10166) and ObjectID (Int32,
// 10168 / 10169); NameCRC is the CRC-32 of the upper-cased name and is what names are matched by.
//
// Sequence definition after the head (write / read codes):
//   DataType UInt8 (10206 / 10212), MinValue Int64 (10207 / 10213), MaxValue Int64 (10208 / 10214),
//   LastValue Int64 (10209 / 10215), Increment Int64 (10210 / 10216), Cycled UInt8 raw (10211 / 10217)
//
// Field definition after the head:
//   BaseFieldType UInt8 (10170 / 10187), AdvancedFieldType UInt8 (10171 / 10188), FieldSize Int32
//   (10172 / 10189); for BLOB base types BLOBCompressionAlgorithm UInt8 (10175 / 10192),
//   BLOBCompressionMode UInt8 (10176 / 10193), BLOBBlockSize Int32 (10177 / 10194); for autoincrement
//   types SequenceDefObjectId Int32 (10178 / 10195), AutoincIncrement, AutoincInitialValue,
//   AutoincMinValue, AutoincMaxValue Int64 (10685..10688 / 10690..10693), AutoincCycled UInt8 raw
//   (10689 / 10694); otherwise the default value in the value's stream form.
// The reader checks the type bytes (each in range, the base type the one the advanced type gives),
// the field size (0..kMaxFieldSize) and the compression bytes before it builds anything, and raises
// the field's read code otherwise.
//
// Field list: Int32 count (10158 / 10159), then the definitions. A list is read into a fresh list and
// replaces the old one only when every definition was read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "platform/classes/Classes.h"

class TStream;

inline constexpr std::int32_t kMaxFieldSize = 1 << 20;
inline constexpr std::int32_t kDefaultBLOBBlockSize = 102400;

class TMdbMetaObjectDef : public TObject {
  VELLUM_CLASS(TMdbMetaObjectDef)
 public:
  TMdbMetaObjectDef() = default;
  virtual void Assign(const TMdbMetaObjectDef* Source);
  virtual void LoadFromStream(TStream* Stream);
  virtual void SaveToStream(TStream* Stream) const;

  const String& Name() const { return FName; }
  void SetName(const String& Value);
  std::int32_t ObjectID() const { return FObjectID; }
  void SetObjectID(std::int32_t Value) { FObjectID = Value; }
  std::uint32_t NameCRC() const { return FNameCRC; }

 protected:
  String FName;
  std::int32_t FObjectID = -1;
  std::uint32_t FNameCRC = 0;
};

class TMdbSequenceDef : public TMdbMetaObjectDef {
  VELLUM_CLASS(TMdbSequenceDef)
 public:
  // 30009 when a sequence that does not cycle passes MaxValue.
  virtual Int64 GetNextVal();
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;

  TMdbBaseFieldType FDataType = bftUnsignedInt32;
  Int64 FMinValue = 0;
  Int64 FMaxValue = 4294967295LL;
  Int64 FLastValue = 0;
  Int64 FIncrement = 1;
  bool FCycled = true;
};

class TMdbFieldDef : public TMdbMetaObjectDef {
  VELLUM_CLASS(TMdbFieldDef)
 public:
  TMdbFieldDef();
  // 30007 for a type without a base type.
  void SetFieldDefDataType(TMdbAdvancedFieldType AdvancedFieldType, std::int32_t FieldSize);
  void CalcDataSizes();
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;
  bool IsBlob() const;
  bool IsAutoInc() const;

  TMdbBaseFieldType FBaseFieldType = bftUnknown;
  TMdbAdvancedFieldType FAdvancedFieldType = aftUnknown;
  std::int32_t FFieldSize = 0;
  std::int32_t FDiskDataSize = 0;
  std::int32_t FMemoryDataSize = 0;
  std::int32_t FDiskOffset = 0;
  std::int32_t FMemoryOffset = 0;
  std::int32_t FFieldNoReference = 0;
  std::int32_t FSequenceDefObjectId = -1;
  std::unique_ptr<TMdbVariant> FDefaultValue;
  TMdbCompressionAlgorithm FBLOBCompressionAlgorithm = acaNone;
  Byte FBLOBCompressionMode = 0;
  std::int32_t FBLOBBlockSize = kDefaultBLOBBlockSize;
  Int64 FAutoincIncrement = 1;
  Int64 FAutoincInitialValue = 0;
  Int64 FAutoincMinValue = 0;
  Int64 FAutoincMaxValue = INT64_MAX;
  Byte FAutoincCycled = 0;
  double FEngineVersion = 9.0;
};

// An owning list of definitions in insertion order.
template <class TDef>
class TMdbDefList {
 public:
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TDef* GetDef(std::int32_t Index) const { return FItems.at(static_cast<std::size_t>(Index)).get(); }
  TDef* Add(std::unique_ptr<TDef> Def) {
    FItems.push_back(std::move(Def));
    return FItems.back().get();
  }
  TDef* AddCreated() { return Add(std::make_unique<TDef>()); }
  void Delete(std::int32_t Index) { FItems.erase(FItems.begin() + Index); }
  void Clear() { FItems.clear(); }
  // The first definition whose name CRC is that of the upper-cased Name; -1 when none.
  std::int32_t GetDefNumberByName(std::u16string_view Name) const;
  TDef* GetDefByName(std::u16string_view Name) const {
    const std::int32_t i = GetDefNumberByName(Name);
    return i < 0 ? nullptr : GetDef(i);
  }
  std::int32_t GetDefNumberByObjectId(std::int32_t Id) const {
    for (std::size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i]->ObjectID() == Id) return static_cast<std::int32_t>(i);
    return -1;
  }
  TDef* GetDefByObjectId(std::int32_t Id) const {
    const std::int32_t i = GetDefNumberByObjectId(Id);
    return i < 0 ? nullptr : GetDef(i);
  }
  // Clears and copies Source; 10424 for a second definition of one name (the copies made stay).
  void Assign(const TMdbDefList& Source);
  std::int32_t LoadedItemCount = 0;

 protected:
  std::vector<std::unique_ptr<TDef>> FItems;
};

std::uint32_t UpperNameCRC(std::u16string_view Name);

template <class TDef>
std::int32_t TMdbDefList<TDef>::GetDefNumberByName(std::u16string_view Name) const {
  const std::uint32_t Crc = UpperNameCRC(Name);
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->NameCRC() == Crc) return static_cast<std::int32_t>(i);
  return -1;
}

[[noreturn]] void RaiseDuplicateName(const String& Name);

template <class TDef>
void TMdbDefList<TDef>::Assign(const TMdbDefList& Source) {
  Clear();
  for (const auto& D : Source.FItems) {
    if (GetDefNumberByName(D->Name()) >= 0) RaiseDuplicateName(D->Name());
    AddCreated()->Assign(D.get());
  }
}

class TMdbSequenceDefs : public TMdbDefList<TMdbSequenceDef> {};

class TMdbFieldDefs : public TMdbDefList<TMdbFieldDef> {
 public:
  TMdbFieldDef* GetFieldDefByName(std::u16string_view Name) const { return GetDefByName(Name); }
  void RecalcFieldOffsets();
  // The record size the layout gives (0 without columns).
  std::int32_t RecordSize() const;
  void ApplyDefaultValuesToRecordBuffer(Byte* RecordBuffer) const;
  void LoadFromStream(TStream* Stream);
  void SaveToStream(TStream* Stream) const;

  bool VarcharOrBLOBFieldsExists = false;
  bool AutoIncFieldsExists = false;
  bool DefaultValuesExists = false;
  double EngineVersion = 9.0;
};

// Reads field FieldNo of Record into Dest: False (nothing copied) for NULL; True with Dest nil for a
// present value; BLOB values are not copied. 10000 for a field number outside the list.
bool ReadRecordField(std::int32_t FieldNo, const TMdbFieldDefs& FieldDefs, void* Dest, const Byte* Record);
// Writes Source (nil: NULL) into field FieldNo of Record. An empty string is stored as NULL, a longer
// one is cut to fit; the rest of the value's slot is cleared. 10004 for a field number outside the list.
void WriteRecordField(std::int32_t FieldNo, const TMdbFieldDefs& FieldDefs, const void* Source, Byte* Record);
