#include "engines/mdb/storage/MdbMetaDefs.h"

#include <algorithm>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SDifferentListsLength[] = u"Error - different lists length. L1 = %d, L2 = %d";
constexpr char16_t SNotImplementedYet[] = u"Not implemented yet";
constexpr char16_t SUnknownConstraintType[] = u"Unknown Constraint Type: '%d'";
constexpr char16_t SInvalidDefinition[] = u"Invalid definition in stream: %s";

[[noreturn]] void BadDefinition(int Code, const String& What) { throw EMdbException(Code, SInvalidDefinition, {What}); }

Int64 BytesLeft(TStream* Stream) { return std::max<Int64>(Stream->Size() - Stream->Position(), 0); }

// A count read from a stream is believed only when that many items of at least MinItemSize bytes fit
// into what is left.
std::int32_t ReadCount(TStream* Stream, int Code, Int64 MinItemSize) {
  const auto N = ReadValueFromStream<std::int32_t>(Stream, Code);
  if (N < 0 || Int64(N) * MinItemSize > BytesLeft(Stream)) BadDefinition(Code, Format(u"count %d", {N}));
  return N;
}

Byte ReadEnum(TStream* Stream, int Code, Byte Max, const char16_t* What) {
  const auto B = ReadValueFromStream<Byte>(Stream, Code);
  if (B > Max) BadDefinition(Code, Format(u"%s %d", {String(What), int(B)}));
  return B;
}

// Head: empty name (4) and id (4).
constexpr Int64 kMinHeadSize = 8;
// Per constraint column: id (4) and empty name (4).
constexpr Int64 kMinColumnSize = 8;

void WriteColumns(const std::vector<TMdbConstraintColumn>& Columns, TStream* Stream, int CountCode, int IdCode,
                  int NameCode) {
  WriteValueToStream(static_cast<std::int32_t>(Columns.size()), Stream, CountCode);
  for (const auto& C : Columns) {
    WriteValueToStream(C.ColumnObjectID, Stream, IdCode);
    WriteWideStringToStream(C.ColumnName, Stream, NameCode);
  }
}

std::vector<TMdbConstraintColumn> ReadColumns(TStream* Stream, int CountCode, int IdCode, int NameCode) {
  const std::int32_t N = ReadCount(Stream, CountCode, kMinColumnSize);
  std::vector<TMdbConstraintColumn> Out(static_cast<std::size_t>(N));
  for (auto& C : Out) {
    C.ColumnObjectID = ReadValueFromStream<std::int32_t>(Stream, IdCode);
    ReadWideStringFromStream(C.ColumnName, Stream, NameCode);
  }
  return Out;
}

}  // namespace

// ---- TMdbIndexDef ----------------------------------------------------------------------------------------

void TMdbIndexDef::SetColumnCount(std::int32_t Value) { FIndexColumns.resize(static_cast<std::size_t>(std::max(Value, 0))); }

void TMdbIndexDef::Assign(const TMdbMetaObjectDef* Source) {
  TMdbMetaObjectDef::Assign(Source);
  const auto* S = dynamic_cast<const TMdbIndexDef*>(Source);
  if (S == nullptr) return;
  FIndexType = S->FIndexType;
  FUnique = S->FUnique;
  FPrimary = S->FPrimary;
  FRootPageNo = S->FRootPageNo;
  FTemporary = S->FTemporary;
  SetColumnCount(S->ColumnCount());
  for (std::size_t i = 0; i < FIndexColumns.size(); ++i) {
    FIndexColumns[i].FieldName = S->FIndexColumns[i].FieldName;
    FIndexColumns[i].Descending = S->FIndexColumns[i].Descending;
    FIndexColumns[i].CaseInsensitive = S->FIndexColumns[i].CaseInsensitive;
  }
}

void TMdbIndexDef::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteValueToStream(static_cast<Byte>(FIndexType), Stream, 10344);
  WriteValueToStream(FUnique, Stream, 10345);
  WriteValueToStream(FPrimary, Stream, 10346);
  WriteValueToStream(ColumnCount(), Stream, 10347);
  WriteValueToStream(FRootPageNo, Stream, 10348);
  for (const auto& C : FIndexColumns) {
    WriteWideStringToStream(C.FieldName, Stream, 10354);
    WriteValueToStream(C.Descending, Stream, 10356);
    WriteValueToStream(C.CaseInsensitive, Stream, 10357);
  }
}

void TMdbIndexDef::LoadFromStream(TStream* Stream) {
  TMdbIndexDef D;
  D.TMdbMetaObjectDef::LoadFromStream(Stream);
  D.FIndexType = static_cast<TMdbIndexType>(ReadEnum(Stream, 10349, itAnotherOne, u"index type"));
  D.FUnique = ReadValueFromStream<Byte>(Stream, 10350);
  D.FPrimary = ReadValueFromStream<Byte>(Stream, 10351);
  // A column: empty name (4) and two flag bytes.
  const std::int32_t N = ReadCount(Stream, 10352, 6);
  D.FRootPageNo = ReadValueFromStream<std::int32_t>(Stream, 10353);
  if (D.FRootPageNo < -1) BadDefinition(10353, Format(u"root page %d", {D.FRootPageNo}));
  D.SetColumnCount(N);
  for (auto& C : D.FIndexColumns) {
    ReadWideStringFromStream(C.FieldName, Stream, 10358);
    C.Descending = ReadValueFromStream<Byte>(Stream, 10360);
    C.CaseInsensitive = ReadValueFromStream<Byte>(Stream, 10361);
  }
  D.FTemporary = 0;
  Assign(&D);
  for (auto& C : FIndexColumns) C.NameCRC = UpperNameCRC(C.FieldName);
}

// ---- TMdbIndexDefs ---------------------------------------------------------------------------------------

std::int32_t TMdbIndexDefs::FindIndex(const TMdbWideStringList* FieldNames, const TMdbWideStringList* AscDescList,
                                      const TMdbWideStringList* CaseSensitivityList) const {
  if (FieldNames == nullptr) throw EMdbException(10389, SNilPointer);
  if (AscDescList == nullptr) throw EMdbException(10390, SNilPointer);
  if (CaseSensitivityList == nullptr) throw EMdbException(10391, SNilPointer);
  const std::int32_t n = FieldNames->Count();
  if (AscDescList->Count() != n) throw EMdbException(10276, SDifferentListsLength, {n, AscDescList->Count()});
  if (CaseSensitivityList->Count() != n)
    throw EMdbException(10277, SDifferentListsLength, {n, CaseSensitivityList->Count()});
  std::vector<String> Names(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) Names[static_cast<std::size_t>(i)] = AnsiUpperCase(FieldNames->Strings(i));
  for (const auto& D : FItems) {
    if (D->ColumnCount() < n) continue;
    bool Match = true;
    for (std::int32_t i = 0; i < n && Match; ++i) {
      const TMdbIndexColumn& C = D->GetIndexColumn(i);
      const String Order = AscDescList->Strings(i), Case = CaseSensitivityList->Strings(i);
      Match = AnsiUpperCase(C.FieldName) == Names[static_cast<std::size_t>(i)] &&
              !(Order == u"ASC" && C.Descending) && !(Order == u"DESC" && !C.Descending) &&
              !(Case == u"CASE" && C.CaseInsensitive) && !(Case == u"NO_CASE" && !C.CaseInsensitive);
    }
    if (Match) return D->ObjectID();
  }
  return -1;
}

TMdbIndexDef* TMdbIndexDefs::FindPrimaryIndex() const {
  for (const auto& D : FItems)
    if (D->FPrimary) return D.get();
  return nullptr;
}

void TMdbIndexDefs::SaveToStream(TStream* Stream) const {
  const auto Stored = std::count_if(FItems.begin(), FItems.end(), [](const auto& D) { return !D->FTemporary; });
  WriteValueToStream(static_cast<std::int32_t>(Stored), Stream, 10343);
  for (const auto& D : FItems)
    if (!D->FTemporary) D->SaveToStream(Stream);
}

void TMdbIndexDefs::LoadFromStream(TStream* Stream) {
  // Head, type, two flags, column count and root page.
  const std::int32_t N = ReadCount(Stream, 10159, kMinHeadSize + 3 + 8);
  std::vector<std::unique_ptr<TMdbIndexDef>> Loaded;
  Loaded.reserve(static_cast<std::size_t>(N));
  for (std::int32_t i = 0; i < N; ++i) {
    auto D = std::make_unique<TMdbIndexDef>();
    D->LoadFromStream(Stream);
    Loaded.push_back(std::move(D));
  }
  FItems.swap(Loaded);
  LoadedItemCount = N;
}

// ---- constraint definitions ------------------------------------------------------------------------------

void TMdbConstraintDef::Assign(const TMdbMetaObjectDef* Source) {
  TMdbMetaObjectDef::Assign(Source);
  if (const auto* S = dynamic_cast<const TMdbConstraintDef*>(Source)) FConstraintType = S->FConstraintType;
}

void TMdbConstraintDefNotNull::Assign(const TMdbMetaObjectDef* Source) {
  TMdbConstraintDef::Assign(Source);
  if (const auto* S = dynamic_cast<const TMdbConstraintDefNotNull*>(Source)) {
    ColumnName = S->ColumnName;
    ColumnObjectID = S->ColumnObjectID;
  }
}

void TMdbConstraintDefNotNull::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteValueToStream(ColumnObjectID, Stream, 10242);
  WriteWideStringToStream(ColumnName, Stream, 10247);
}

void TMdbConstraintDefNotNull::LoadFromStream(TStream* Stream) {
  TMdbMetaObjectDef::LoadFromStream(Stream);
  ColumnObjectID = ReadValueFromStream<std::int32_t>(Stream, 10251);
  ReadWideStringFromStream(ColumnName, Stream, 10256);
}

TMdbConstraintDefCheck::TMdbConstraintDefCheck()
    : TMdbConstraintDef(ctCheck),
      MinValue(std::make_unique<TMdbVariant>(bftUnknown)),
      MaxValue(std::make_unique<TMdbVariant>(bftUnknown)) {}

void TMdbConstraintDefCheck::Assign(const TMdbMetaObjectDef* Source) {
  TMdbConstraintDef::Assign(Source);
  if (const auto* S = dynamic_cast<const TMdbConstraintDefCheck*>(Source)) {
    ColumnName = S->ColumnName;
    ColumnObjectID = S->ColumnObjectID;
    MinValue->Assign(S->MinValue.get(), true, false);
    MaxValue->Assign(S->MaxValue.get(), true, false);
  }
}

void TMdbConstraintDefCheck::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteValueToStream(ColumnObjectID, Stream, 10229);
  WriteWideStringToStream(ColumnName, Stream, 10225);
  MinValue->SaveToStream(Stream);
  MaxValue->SaveToStream(Stream);
}

void TMdbConstraintDefCheck::LoadFromStream(TStream* Stream) {
  TMdbMetaObjectDef::LoadFromStream(Stream);
  ColumnObjectID = ReadValueFromStream<std::int32_t>(Stream, 10232);
  ReadWideStringFromStream(ColumnName, Stream, 10237);
  MinValue->LoadFromStream(Stream);
  MaxValue->LoadFromStream(Stream);
}

void TMdbConstraintDefUnique::Assign(const TMdbMetaObjectDef* Source) {
  TMdbConstraintDef::Assign(Source);
  if (const auto* S = dynamic_cast<const TMdbConstraintDefUnique*>(Source)) {
    IndexName = S->IndexName;
    IndexObjectID = S->IndexObjectID;
    Columns = S->Columns;
  }
}

void TMdbConstraintDefUnique::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteValueToStream(IndexObjectID, Stream, 30318);
  WriteWideStringToStream(IndexName, Stream, 30400);
  WriteColumns(Columns, Stream, 30394, 30395, 30397);
}

void TMdbConstraintDefUnique::LoadFromStream(TStream* Stream) {
  TMdbMetaObjectDef::LoadFromStream(Stream);
  IndexObjectID = ReadValueFromStream<std::int32_t>(Stream, 30317);
  ReadWideStringFromStream(IndexName, Stream, 30396);
  Columns = ReadColumns(Stream, 30309, 30310, 30311);
}

void TMdbConstraintDefForeignKeyAction::Assign(const TMdbMetaObjectDef* Source) {
  TMdbConstraintDef::Assign(Source);
  if (const auto* S = dynamic_cast<const TMdbConstraintDefForeignKeyAction*>(Source)) {
    ReferencedTableName = S->ReferencedTableName;
    ReferencedTableObjectID = S->ReferencedTableObjectID;
    ReferencedFKName = S->ReferencedFKName;
    ReferencedFKObjectID = S->ReferencedFKObjectID;
    DeleteAction = S->DeleteAction;
    UpdateAction = S->UpdateAction;
    MatchType = S->MatchType;
    Columns = S->Columns;
  }
}

void TMdbConstraintDefForeignKeyAction::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteWideStringToStream(ReferencedTableName, Stream, 11408);
  WriteValueToStream(ReferencedTableObjectID, Stream, 11410);
  WriteWideStringToStream(ReferencedFKName, Stream, 11436);
  WriteValueToStream(ReferencedFKObjectID, Stream, 11438);
  WriteValueToStream(static_cast<Byte>(DeleteAction), Stream, 11412);
  WriteValueToStream(static_cast<Byte>(UpdateAction), Stream, 11413);
  WriteValueToStream(static_cast<Byte>(MatchType), Stream, 11411);
  WriteColumns(Columns, Stream, 11414, 11415, 11416);
}

void TMdbConstraintDefForeignKeyAction::LoadFromStream(TStream* Stream) {
  TMdbMetaObjectDef::LoadFromStream(Stream);
  ReadWideStringFromStream(ReferencedTableName, Stream, 11398);
  ReferencedTableObjectID = ReadValueFromStream<std::int32_t>(Stream, 11400);
  ReadWideStringFromStream(ReferencedFKName, Stream, 11439);
  ReferencedFKObjectID = ReadValueFromStream<std::int32_t>(Stream, 11441);
  DeleteAction = static_cast<TMdbConstraintForeignKeyAction>(ReadEnum(Stream, 11402, cfkaNoAction, u"delete action"));
  UpdateAction = static_cast<TMdbConstraintForeignKeyAction>(ReadEnum(Stream, 11403, cfkaNoAction, u"update action"));
  MatchType = static_cast<TMdbConstraintForeignKeyMatchType>(ReadEnum(Stream, 11401, cfkmtPartial, u"match type"));
  Columns = ReadColumns(Stream, 11404, 11405, 11406);
}

// ---- TMdbConstraintDefs ----------------------------------------------------------------------------------

TMdbConstraintDefNotNull* TMdbConstraintDefs::AddNotNull() {
  return static_cast<TMdbConstraintDefNotNull*>(Add(std::make_unique<TMdbConstraintDefNotNull>()));
}
TMdbConstraintDefCheck* TMdbConstraintDefs::AddCheck() {
  return static_cast<TMdbConstraintDefCheck*>(Add(std::make_unique<TMdbConstraintDefCheck>()));
}
TMdbConstraintDefPrimary* TMdbConstraintDefs::AddPK() {
  return static_cast<TMdbConstraintDefPrimary*>(Add(std::make_unique<TMdbConstraintDefPrimary>()));
}
TMdbConstraintDefUnique* TMdbConstraintDefs::AddUnique() {
  return static_cast<TMdbConstraintDefUnique*>(Add(std::make_unique<TMdbConstraintDefUnique>()));
}
TMdbConstraintDefForeignKey* TMdbConstraintDefs::AddFK() {
  ForeignKeysExists = true;
  return static_cast<TMdbConstraintDefForeignKey*>(Add(std::make_unique<TMdbConstraintDefForeignKey>()));
}
TMdbConstraintDefForeignKeyAction* TMdbConstraintDefs::AddFKAction() {
  ForeignKeysActionsExists = true;
  return static_cast<TMdbConstraintDefForeignKeyAction*>(Add(std::make_unique<TMdbConstraintDefForeignKeyAction>()));
}

TMdbConstraintDef* TMdbConstraintDefs::AddOfType(Byte Type, int UnknownTypeCode) {
  switch (Type) {
    case ctPK: return AddPK();
    case ctFK: return AddFK();
    case ctUnique: return AddUnique();
    case ctNotNull: return AddNotNull();
    case ctCheck: return AddCheck();
    case ctFKAction: return AddFKAction();
    default: break;
  }
  if (UnknownTypeCode == 30316) throw EMdbException(30316, SUnknownConstraintType, {int(Type)});
  throw EMdbException(UnknownTypeCode, SNotImplementedYet);
}

void TMdbConstraintDefs::Assign(const TMdbConstraintDefs& Source) {
  Clear();
  for (const auto& D : Source.FItems) AddOfType(D->ConstraintType(), 30035)->Assign(D.get());
}

void TMdbConstraintDefs::Delete(std::int32_t Index) {
  TMdbDefList::Delete(Index);
  RecalcFlags();
}

void TMdbConstraintDefs::Clear() {
  TMdbDefList::Clear();
  ForeignKeysExists = ForeignKeysActionsExists = false;
}

void TMdbConstraintDefs::RecalcFlags() {
  ForeignKeysExists = ForeignKeysActionsExists = false;
  for (const auto& D : FItems) {
    ForeignKeysExists |= D->ConstraintType() == ctFK;
    ForeignKeysActionsExists |= D->ConstraintType() == ctFKAction;
  }
}

bool TMdbConstraintDefs::ForeignKeysActionsUpdateExists() const {
  if (!ForeignKeysActionsExists) return false;
  for (const auto& D : FItems)
    if (D->ConstraintType() == ctFKAction &&
        static_cast<const TMdbConstraintDefForeignKeyAction&>(*D).UpdateAction != cfkaNoAction)
      return true;
  return false;
}

bool TMdbConstraintDefs::ForeignKeysActionsDeleteExists() const {
  if (!ForeignKeysActionsExists) return false;
  for (const auto& D : FItems)
    if (D->ConstraintType() == ctFKAction &&
        static_cast<const TMdbConstraintDefForeignKeyAction&>(*D).DeleteAction != cfkaNoAction)
      return true;
  return false;
}

void TMdbConstraintDefs::ExtractForeignKeys(TMdbConstraintDefs* Dest) {
  std::vector<std::unique_ptr<TMdbConstraintDef>> Kept;
  for (auto& D : FItems) {
    if (D->ConstraintType() == ctFK) {
      if (Dest) Dest->AddFK()->Assign(D.get());
    } else if (D->ConstraintType() != ctFKAction) {
      Kept.push_back(std::move(D));
    }
  }
  FItems.swap(Kept);
  RecalcFlags();
}

void TMdbConstraintDefs::SaveToStream(TStream* Stream) const {
  WriteValueToStream(Count(), Stream, 10158);
  for (const auto& D : FItems) {
    WriteValueToStream(static_cast<Byte>(D->ConstraintType()), Stream, 10219);
    D->SaveToStream(Stream);
  }
}

void TMdbConstraintDefs::LoadFromStream(TStream* Stream) {
  // Type byte, head and the smallest body (a NOT NULL: id and empty name).
  const std::int32_t N = ReadCount(Stream, 10159, 1 + kMinHeadSize + 8);
  TMdbConstraintDefs Loaded;
  for (std::int32_t i = 0; i < N; ++i) {
    const auto Type = ReadValueFromStream<Byte>(Stream, 10220);
    Loaded.AddOfType(Type, 30316)->LoadFromStream(Stream);
  }
  FItems.swap(Loaded.FItems);
  ForeignKeysExists = Loaded.ForeignKeysExists;
  ForeignKeysActionsExists = Loaded.ForeignKeysActionsExists;
  LoadedItemCount = N;
}

// ---- views -----------------------------------------------------------------------------------------------

TMdbViewDef::TMdbViewDef()
    : ChildrenNames(std::make_unique<TMdbObjectNameArray>()), ColumnNames(std::make_unique<TMdbObjectNameArray>()) {}

TMdbViewDef::TMdbViewDef(const String& aName, const String& aSelectStatement,
                         const TMdbObjectNameArray* aChildrenNames, const TMdbObjectNameArray* aColumnNames,
                         bool aCheckOption, const String& aComment)
    : TMdbViewDef() {
  SetName(aName);
  SelectStatement = aSelectStatement;
  Comment = aComment;
  WithCheckOption = aCheckOption;
  if (aChildrenNames) ChildrenNames->Assign(aChildrenNames);
  RebuildChildrenCRC();
  if (aColumnNames) ColumnNames->Assign(aColumnNames);
  CreationDate = Now();
}

void TMdbViewDef::RebuildChildrenCRC() {
  ChildrenCRC.clear();
  for (std::int32_t i = 0; i < ChildrenNames->Count(); ++i) ChildrenCRC.push_back(UpperNameCRC(ChildrenNames->GetString(i)));
}

bool TMdbViewDef::FindChild(std::uint32_t Crc) const {
  return std::find(ChildrenCRC.begin(), ChildrenCRC.end(), Crc) != ChildrenCRC.end();
}

void TMdbViewDef::Assign(const TMdbMetaObjectDef* Source) {
  TMdbMetaObjectDef::Assign(Source);
  const auto* S = dynamic_cast<const TMdbViewDef*>(Source);
  if (S == nullptr) return;
  SelectStatement = S->SelectStatement;
  Comment = S->Comment;
  WithCheckOption = S->WithCheckOption;
  ChildrenNames->Assign(S->ChildrenNames.get());
  ColumnNames->Assign(S->ColumnNames.get());
  ChildrenCRC = S->ChildrenCRC;
  CreationDate = S->CreationDate;
}

void TMdbViewDef::SaveToStream(TStream* Stream) const {
  TMdbMetaObjectDef::SaveToStream(Stream);
  WriteWideStringToStream(SelectStatement, Stream, 12558);
  WriteWideStringToStream(Comment, Stream, 12559);
  WriteBooleanToStream(WithCheckOption, Stream, 12575);
  ChildrenNames->SaveToStream(Stream, false);
  ColumnNames->SaveToStream(Stream, false);
}

void TMdbViewDef::LoadFromStream(TStream* Stream) {
  TMdbViewDef V;
  V.TMdbMetaObjectDef::LoadFromStream(Stream);
  ReadWideStringFromStream(V.SelectStatement, Stream, 12555);
  ReadWideStringFromStream(V.Comment, Stream, 12576);
  ReadBooleanFromStream(V.WithCheckOption, Stream, 12556);
  V.ChildrenNames->LoadFromStream(Stream);
  V.ColumnNames->LoadFromStream(Stream);
  V.RebuildChildrenCRC();
  const double Kept = CreationDate;
  Assign(&V);
  CreationDate = Kept;
}

bool TMdbViewDefs::FindChildren(std::u16string_view Name) const {
  const std::uint32_t Crc = UpperNameCRC(Name);
  return std::any_of(FItems.begin(), FItems.end(), [&](const auto& V) { return V->FindChild(Crc); });
}

void TMdbViewDefs::DeleteChildren(std::u16string_view Name) {
  const std::uint32_t Crc = UpperNameCRC(Name);
  std::erase_if(FItems, [&](const auto& V) { return V->FindChild(Crc); });
}

void TMdbViewDefs::SaveToStream(TStream* Stream) const {
  WriteValueToStream(Count(), Stream, 10158);
  for (const auto& V : FItems) V->SaveToStream(Stream);
}

void TMdbViewDefs::LoadFromStream(TStream* Stream) {
  // Head, two empty texts, the flag and two empty name arrays.
  const std::int32_t N = ReadCount(Stream, 10159, kMinHeadSize + 8 + 1 + 16);
  std::vector<std::unique_ptr<TMdbViewDef>> Loaded;
  Loaded.reserve(static_cast<std::size_t>(N));
  for (std::int32_t i = 0; i < N; ++i) {
    auto V = std::make_unique<TMdbViewDef>();
    V->LoadFromStream(Stream);
    Loaded.push_back(std::move(V));
  }
  FItems.swap(Loaded);
  LoadedItemCount = N;
}

// ---- constraints from indexes ----------------------------------------------------------------------------

TMdbConstraintDefUnique* ConstraintFromIndexDef(const TMdbIndexDef* IndexDef, TMdbConstraintDefs* ConstraintDefs) {
  TMdbConstraintDefUnique* C = nullptr;
  if (IndexDef->FPrimary) C = ConstraintDefs->AddPK();
  else if (IndexDef->FUnique) C = ConstraintDefs->AddUnique();
  else return nullptr;
  C->SetName(IndexDef->Name());
  C->IndexName = IndexDef->Name();
  C->IndexObjectID = IndexDef->ObjectID();
  for (const auto& Col : IndexDef->FIndexColumns) C->Columns.push_back({Col.FieldName, 0});
  return C;
}
