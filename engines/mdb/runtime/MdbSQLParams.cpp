#include "engines/mdb/runtime/MdbSQLParams.h"

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbUtils.h"

TMdbSQLParam::~TMdbSQLParam() { WipeWideString(FName, false); }

void TMdbSQLParam::SetName(std::u16string_view Value) {
  String NewName(Value);
  const std::uint32_t Crc = NameCRC32Wide(NewName, true);
  WipeWideString(FName, false);
  FName = std::move(NewName);
  FNameCRC = Crc;
}

void TMdbSQLParam::SaveToStream(TStream* Stream) const {
  WriteWideStringToStream(FName, Stream, 11193);
  TMdbVariant::SaveToStream(Stream);
}

void TMdbSQLParam::LoadFromStream(TStream* Stream) {
  WipeWideString(FName, false);
  FNameCRC = 0;
  String NewName;
  ReadWideStringFromStream(NewName, Stream, 11191);
  SetName(NewName);
  WipeWideString(NewName, false);
  TMdbVariant::LoadFromStream(Stream);
}

void TMdbSQLParam::Assign(const TMdbVariant* Source, bool CopyDataFlag, bool AssignName) {
  TMdbVariant::Assign(Source, CopyDataFlag, AssignName);
  if (!AssignName) return;
  if (const auto* P = dynamic_cast<const TMdbSQLParam*>(Source)) SetName(P->FName);
}

void TMdbSQLParams::Clear() {
  // Each parameter wipes its own name; freeing one cannot stop the others from being freed.
  FParamList.clear();
}

TMdbSQLParam* TMdbSQLParams::AddCreated() {
  FParamList.push_back(std::make_unique<TMdbSQLParam>(bftUnknown));
  return FParamList.back().get();
}

TMdbSQLParam* TMdbSQLParams::GetValue(std::int32_t Index) const {
  if (Index < 0 || Index >= Count()) throw EMdbException(11611, SMdbInvalidIndex, {Index, Count()});
  return FParamList[static_cast<std::size_t>(Index)].get();
}

std::int32_t TMdbSQLParams::FindByNameCRC(std::uint32_t NameCRC) const {
  for (std::int32_t i = 0; i < Count(); ++i)
    if (FParamList[static_cast<std::size_t>(i)]->NameCRC() == NameCRC) return i;
  return -1;
}

std::int32_t TMdbSQLParams::GetParamIndexByName(std::u16string_view Name) const {
  return FindByNameCRC(NameCRC32Wide(Name, true));
}

TMdbSQLParam* TMdbSQLParams::GetParamByName(std::u16string_view Name) const {
  const std::int32_t i = GetParamIndexByName(Name);
  return i < 0 ? nullptr : FParamList[static_cast<std::size_t>(i)].get();
}

std::uint32_t TMdbSQLParams::GetHashValue() const {
  std::uint32_t H = kMdbParamsHashSeed;
  for (std::int32_t i = 0; i < Count(); ++i) {
    if (i > 255) throw ERangeError(String(msg::SRangeError));
    H = MixHashBytes(H, FParamList[static_cast<std::size_t>(i)]->GetBinaryHash(), static_cast<Byte>(i));
  }
  return H;
}

Variant TMdbSQLParams::AsVariant() const {
  if (FParamList.empty()) return Null();
  if (FParamList.size() == 1) return FParamList[0]->AsVariant();
  std::vector<Variant> Values;
  Values.reserve(FParamList.size());
  for (const auto& P : FParamList) Values.push_back(P->AsVariant());
  return VarArrayOf(Values);
}

void TMdbSQLParams::SetAsVariant(const Variant& Value) {
  if (VarIsNull(Value)) {
    Clear();
    return;
  }
  if (VarIsArray(Value)) {
    const int Low = VarArrayLowBound(Value, 1), High = VarArrayHighBound(Value, 1);
    const int Length = High - Low + 1;
    while (Count() < Length) AddCreated();
    for (int j = Low; j <= High; ++j) GetValue(j - Low)->SetAsVariant(VarArrayGet(Value, j));
    return;
  }
  if (FParamList.empty()) AddCreated();
  FParamList[0]->SetAsVariant(Value);
}
