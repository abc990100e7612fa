// Named values: SQL parameters (":name"), stored-function arguments and session variables. A
// TMdbSQLParam is a TMdbVariant with a name; a TMdbSQLParams list owns its parameters and finds them by
// the CRC-32 of the upper-cased UTF-16 name, so lookups ignore case and the earliest of several
// parameters with one hash wins. Names are overwritten with 0xFFFF before they are released.
//
// Parameter stream form (the list itself has none):
//   Int32 byte length of the name (2 x characters), the UTF-16LE name, then the value's stream form
//   (MdbVariant.h).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbVariant.h"

inline constexpr std::uint32_t kMdbParamsHashSeed = 0xF37ADE3B;

class TMdbSQLParam : public TMdbVariant {
  VELLUM_CLASS(TMdbSQLParam)
 public:
  explicit TMdbSQLParam(TMdbBaseFieldType DataType = bftUnknown) : TMdbVariant(DataType) {}
  ~TMdbSQLParam() override;

  const String& Name() const { return FName; }
  void SetName(std::u16string_view Value);
  std::uint32_t NameCRC() const { return FNameCRC; }

  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;
  // With AssignName, a parameter source also gives its name; a plain value never changes it.
  void Assign(const TMdbVariant* Source, bool CopyDataFlag, bool AssignName) override;

 private:
  String FName;
  std::uint32_t FNameCRC = 0;
};

class TMdbSQLParams : public TObject {
  VELLUM_CLASS(TMdbSQLParams)
 public:
  TMdbSQLParams() = default;
  ~TMdbSQLParams() override { Clear(); }

  void Clear();
  TMdbSQLParam* AddCreated();
  std::int32_t Count() const { return static_cast<std::int32_t>(FParamList.size()); }
  // 11611 "Invalid index %d, count = %d" outside 0 .. Count - 1.
  TMdbSQLParam* GetValue(std::int32_t Index) const;
  TMdbSQLParam* GetParamByName(std::u16string_view Name) const;
  std::int32_t GetParamIndexByName(std::u16string_view Name) const;
  std::int32_t FindByNameCRC(std::uint32_t NameCRC) const;
  // The fingerprint of all values in order (names do not take part); at most 256 parameters, else
  // the platform's range error.
  std::uint32_t GetHashValue() const;
  Variant AsVariant() const;
  void SetAsVariant(const Variant& Value);

 private:
  std::vector<std::unique_ptr<TMdbSQLParam>> FParamList;
};
