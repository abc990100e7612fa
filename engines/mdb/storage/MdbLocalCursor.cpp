#include "engines/mdb/storage/MdbLocalCursor.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalBLOBStream.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbStorageConst.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t STableDoesNotExist[] = u"Table '%s' does not exist";
constexpr char16_t SErrorAddingRecord[] = u"Error adding record, table name = %s, InMemory = %s, Temporary = %s";
constexpr char16_t SErrorUpdatingRecord[] = u"Error updating record: ";
constexpr char16_t SDifferentListsLength[] = u"Error - different lists length. L1 = %d, L2 = %d";
constexpr char16_t SNoProjectionFields[] = u"No fields were specified while setting projection";
constexpr char16_t SCannotFindField[] = u"Cannot find field %s";
constexpr char16_t SBLOBFieldAlreadyOpened[] = u"BLOB field already opened. FieldNo = %d, FieldName = %s";
constexpr char16_t SCannotLockTable[] = u"Error - cannot lock table '%s'";

// The platform's numeric form of a Boolean.
const char16_t* NumericBool(bool Value) { return Value ? u"-1" : u"0"; }

String MessageOf(const std::exception& E) {
  if (const auto* X = dynamic_cast<const Exception*>(&E)) return X->Message();
  if (dynamic_cast<const std::bad_alloc*>(&E)) return String(msg::SOutOfMemory);
  return AnsiToString(E.what());
}

bool IsWriteMode(TMdbBLOBOpenMode Mode) { return Mode == bomWrite || Mode == bomReadWrite; }

TMdbLocalBLOBStream* AsLocal(TMdbStream* S) { return dynamic_cast<TMdbLocalBLOBStream*>(S); }

}  // namespace

TMdbLocalCursor::~TMdbLocalCursor() {
  try {
    CloseTable();
  } catch (...) {
  }
  try {
    FreeSavedPosition();
  } catch (...) {
  }
  // A stream a failed close left behind is still ours.
  for (TMdbStream* S : FBLOBStreams) delete S;
  FBLOBStreams.clear();
  delete FFilterExpression;
  FFilterExpression = nullptr;
  delete FSQLFilterExpression;
  FSQLFilterExpression = nullptr;
}

TMdbDatabaseData* TMdbLocalCursor::SessionDatabaseData() const {
  const auto* S = dynamic_cast<const TMdbLocalSession*>(FSession);
  return S ? S->DatabaseData() : nullptr;
}

void TMdbLocalCursor::FreeSavedPosition() {
  if (FSavedPosition == nullptr) return;
  FreePosition(FSavedPosition);
  FreeRecordBuffer(FSavedRecordBuffer);
}

// ---- field definitions -----------------------------------------------------------------------------------

void TMdbLocalCursor::InternalInitFieldDefs() {
  FFieldDefs.Clear();
  if (!FSettingProjection) FVisibleFieldDefs.Clear();
  FFieldDefs.Assign(FTableData->FieldDefs());
  FFieldDefs.RecalcFieldOffsets();
  const std::int32_t E = FFieldDefs.RecordSize();
  if (E < 0 || E > INT32_MAX - kMdbBookmarkSize) throw EIntOverflow(msg::SIntOverflow);
  SetRecordLayout();
  if (!FSettingProjection) {
    FVisibleFieldDefs.Assign(FTableData->FieldDefs());
    for (std::int32_t i = 0; i < FVisibleFieldDefs.Count(); ++i) FVisibleFieldDefs.GetDef(i)->FFieldNoReference = i;
  }
  FConstraintDefs.Clear();
  if (FTableData->ConstraintManager()) FConstraintDefs.Assign(FTableData->ConstraintManager()->ConstraintDefs());
}

bool TMdbLocalCursor::IsDefinitionDifferent(const TMdbFieldDefs& Fields, const TMdbIndexDefs* Indexes,
                                            const TMdbConstraintDefs* Constraints) const {
  if (Fields.Count() != FFieldDefs.Count()) return true;
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    const TMdbFieldDef& A = *Fields.GetDef(i);
    const TMdbFieldDef& B = *FFieldDefs.GetDef(i);
    if (UpperNameCRC(A.Name()) != UpperNameCRC(B.Name()) || A.FAdvancedFieldType != B.FAdvancedFieldType ||
        A.FFieldSize != B.FFieldSize)
      return true;
  }
  const std::int32_t nIndexes = Indexes ? Indexes->Count() : 0;
  if (nIndexes != FIndexDefs.Count()) return true;
  for (std::int32_t i = 0; i < nIndexes; ++i) {
    const TMdbIndexDef& A = *Indexes->GetDef(i);
    const TMdbIndexDef& B = *FIndexDefs.GetDef(i);
    if (UpperNameCRC(A.Name()) != UpperNameCRC(B.Name()) || A.ColumnCount() != B.ColumnCount() ||
        A.FIndexType != B.FIndexType || A.FPrimary != B.FPrimary || A.FUnique != B.FUnique)
      return true;
  }
  const std::int32_t nConstraints = Constraints ? Constraints->Count() : 0;
  if (nConstraints != FConstraintDefs.Count()) return true;
  for (std::int32_t i = 0; i < nConstraints; ++i) {
    const TMdbConstraintDef& A = *Constraints->GetDef(i);
    const TMdbConstraintDef& B = *FConstraintDefs.GetDef(i);
    if (UpperNameCRC(A.Name()) != UpperNameCRC(B.Name()) || A.ConstraintType() != B.ConstraintType()) return true;
  }
  return false;
}

// ---- open and close --------------------------------------------------------------------------------------

void TMdbLocalCursor::OpenTableByFieldDefs(TMdbFieldDefs* FieldDefs, TMdbIndexDefs* IndexDefs,
                                           TMdbConstraintDefs* ConstraintDefs) {
  if (FIsView) return;
  FreeSavedPosition();
  if (FIsOpen) return;
  FDatabaseData = SessionDatabaseData();
  if (FDatabaseData == nullptr) throw EMdbException(12434, STableDoesNotExist, {FTableName});
  FTableData = RegisteredTables() ? FDatabaseData->FindTableData(this) : FDatabaseData->FindOrCreateTableData(this);
  const bool HasFields = FieldDefs != nullptr && FieldDefs->Count() > 0;
  TMdbIndexDefs NoIndexes;
  TMdbConstraintDefs NoConstraints;
  TMdbIndexDefs& Indexes = IndexDefs ? *IndexDefs : NoIndexes;
  TMdbConstraintDefs& Constraints = ConstraintDefs ? *ConstraintDefs : NoConstraints;
  bool Created = false;
  if (FTableData == nullptr) {
    const bool AutoCreate = FInMemory && HasFields;
    if (!AutoCreate && !FDatabaseData->TableExists(FSession, FTableName))
      throw EMdbException(12434, STableDoesNotExist, {FTableName});
    FTableData = FDatabaseData->CreateTableData(this);
    if (FTableData == nullptr) throw EMdbException(12434, STableDoesNotExist, {FTableName});
    if (AutoCreate) {
      try {
        FTableData->CreateTable(this, *FieldDefs, Indexes, Constraints);
      } catch (...) {
        delete FTableData;
        FTableData = nullptr;
        throw;
      }
      Created = true;
    }
  }
  FTableData->OpenTable(this);
  if (!Created && FInMemory && FIsDesignMode && HasFields && IsDefinitionDifferent(*FieldDefs, IndexDefs, ConstraintDefs) &&
      FTableData->GetRecordCount(this, false) <= 0) {
    FTableData->CloseTable(this);
    try {
      FTableData->CreateTable(this, *FieldDefs, Indexes, Constraints);
      FTableData->OpenTable(this);
    } catch (...) {
      delete FTableData;
      FTableData = nullptr;
      FIsOpen = false;
      throw;
    }
  }
  InternalFirst();
  ClearBLOBStreams(false);
  FRecordBitmap = std::make_unique<TMdbRecordBitmap>(FTableData);
  FIsOpen = true;
  FDoNotCloseTableData = false;
}

void TMdbLocalCursor::OpenTable(TMdbTableData* aTableData) {
  if (FIsView) return;
  FreeSavedPosition();
  FTableData = aTableData;
  InternalFirst();
  FIndexDefs.Clear();
  if (FTableData->IndexManager()) FIndexDefs.Assign(FTableData->IndexManager()->IndexDefs());
  FConstraintDefs.Clear();
  if (FTableData->ConstraintManager()) FConstraintDefs.Assign(FTableData->ConstraintManager()->ConstraintDefs());
  ClearBLOBStreams(false);
  InternalInitFieldDefs();
  FRecordBitmap = std::make_unique<TMdbRecordBitmap>(FTableData);
  FIsOpen = true;
  FDoNotCloseTableData = true;
}

void TMdbLocalCursor::CloseTable() {
  FreeSavedPosition();
  FreeRecordBuffer(FTempRecordBuffer);
  // The streams go while the definitions they are numbered by and the table they write to are still
  // here: a component wrapper closes its field through this cursor as it goes.
  ClearBLOBStreams(false);
  FSpareBLOBStreams.clear();
  if (FTableData) {
    TMdbTableData* T = FTableData;
    FTableData = nullptr;
    // A temporary table may delete itself as its last cursor closes it: it is not touched after.
    const bool Temporary = FTemporary || T->FTemporary;
    if (!FDoNotCloseTableData) T->CloseTable(this);
    if (!Temporary) T->FreeIfNoSessionsConnected();
  }
  FRecordBitmap.reset();
  delete FFilterExpression;
  FFilterExpression = nullptr;
  delete FSQLFilterExpression;
  FSQLFilterExpression = nullptr;
  FFieldDefs.Clear();
  if (!FSettingProjection) FVisibleFieldDefs.Clear();
  FIndexDefs.Clear();
  FConstraintDefs.Clear();
  FIsOpen = false;
}

// ---- records ---------------------------------------------------------------------------------------------

bool TMdbLocalCursor::IsTemporaryTable() { return FTableData && FTableData->FTemporary; }
bool TMdbLocalCursor::IsMemoryTable() { return FTableData && FTableData->FInMemory; }
bool TMdbLocalCursor::IsRecordExists() { return FTableData->IsRecordExists(this); }
Int64 TMdbLocalCursor::GetRecordCount() { return FTableData->GetRecordCount(this, false); }

TMdbGetRecordResult TMdbLocalCursor::GetRecordBuffer(TMdbGetRecordMode GetRecordMode) {
  const TMdbGetRecordResult R = FTableData->GetRecordBuffer(this, GetRecordMode);
  if (R == grrOK) GetCalcFieldsAndBookMarkData(false);
  return R;
}

void TMdbLocalCursor::SetRecNo(Int64 Value) { FTableData->SetRecNo(this, Value); }
Int64 TMdbLocalCursor::GetRecNo() { return FTableData->GetRecNo(this); }

void TMdbLocalCursor::InternalEdit() {
  FErrorCode = 0;
  if (FTableData->FTemporary) {
    FErrorCode = -9;
    return;
  }
  FTableData->EditRecord(this);
}

void TMdbLocalCursor::InternalCancel(bool ToInsert) {
  FErrorCode = 0;
  if (FTableData->FTemporary) {
    FErrorCode = -11;
    return;
  }
  ClearBLOBStreams(true);
  FTableData->CancelRecord(this, ToInsert);
}

void TMdbLocalCursor::InternalPost(bool ToInsert) {
  FErrorCode = 0;
  FErrorMessage.clear();
  ClearBLOBStreams(true);
  if (ToInsert) {
    // Composed only on failure: the per-row path allocates nothing here.
    auto Failed = [this] {
      return Format(SErrorAddingRecord, {FTableName, String(NumericBool(FInMemory)), String(NumericBool(FTemporary))});
    };
    try {
      TMdbCursor* Self = this;
      if (!FTableData->InsertRecord(Self)) {
        FErrorCode = -1;
        FErrorMessage = Failed();
      }
    } catch (const std::exception& E) {
      if (FErrorCode != -8) FErrorCode = -1;
      FErrorMessage = Failed() + u"\r\n" + MessageOf(E);
    }
    GetCalcFieldsAndBookMarkData(true);
    return;
  }
  const Byte* B = FCurrentRecordBuffer + FBookmarkOffset;
  std::memcpy(&CurrentRecordID.PageNo, B, 4);
  std::memcpy(&CurrentRecordID.PageItemNo, B + 4, 2);
  FErrorCode = 0;
  try {
    if (!FTableData->UpdateRecord(this)) {
      FErrorCode = -2;
      FErrorMessage = SErrorUpdatingRecord;
    }
  } catch (const std::exception& E) {
    if (FErrorCode != -8) FErrorCode = -2;
    FErrorMessage = String(SErrorUpdatingRecord) + MessageOf(E);
  }
}

void TMdbLocalCursor::InternalDelete() {
  FErrorMessage.clear();
  if (FTableData->FTemporary) {
    FErrorCode = -10;
    return;
  }
  const Byte* B = FCurrentRecordBuffer + FBookmarkOffset;
  std::memcpy(&CurrentRecordID.PageNo, B, 4);
  std::memcpy(&CurrentRecordID.PageItemNo, B + 4, 2);
  FErrorCode = 0;
  try {
    if (!FTableData->DeleteRecord(this)) FErrorCode = -3;
  } catch (const std::exception& E) {
    FErrorCode = -3;
    FErrorMessage = MessageOf(E);
  }
}

void TMdbLocalCursor::DeleteVisibleRecords() { FTableData->DeleteVisibleRecords(this); }

void TMdbLocalCursor::UpdateVisibleRecords(TMdbWideStringList* FieldNames, const std::vector<TMdbVariant*>& Values,
                                           bool SkipFKCheck) {
  FTableData->UpdateVisibleRecords(this, FieldNames, Values, SkipFKCheck);
}

void TMdbLocalCursor::DisableRecordBitmap() {
  if (FRecordBitmap) FRecordBitmap->SetActive(false);
}

void TMdbLocalCursor::ApplyProjection(TMdbWideStringList* FieldNamesList, TMdbWideStringList* AliasList) {
  const std::int32_t n1 = FieldNamesList ? FieldNamesList->Count() : 0;
  const std::int32_t n2 = AliasList ? AliasList->Count() : 0;
  if (n1 != n2) throw EMdbException(10321, SDifferentListsLength, {n1, n2});
  if (n1 == 0) throw EMdbException(10322, SNoProjectionFields);
  // Built aside: a name that is not found leaves the visible fields as they were.
  TMdbFieldDefs Visible;
  for (std::int32_t i = 0; i < n1; ++i) {
    const String Name = FieldNamesList->Strings(i);
    const std::int32_t n = FFieldDefs.GetDefNumberByName(Name);
    if (n < 0) throw EMdbException(10323, SCannotFindField, {Name});
    TMdbFieldDef* D = Visible.Add(std::make_unique<TMdbFieldDef>());
    D->Assign(FFieldDefs.GetDef(n));
    D->FFieldNoReference = n;
    const String Alias = AliasList->Strings(i);
    if (!Alias.empty()) D->SetName(Alias);
  }
  FVisibleFieldDefs.Clear();
  for (std::int32_t i = 0; i < Visible.Count(); ++i) {
    TMdbFieldDef* D = FVisibleFieldDefs.Add(std::make_unique<TMdbFieldDef>());
    D->Assign(Visible.GetDef(i));
    D->FFieldNoReference = Visible.GetDef(i)->FFieldNoReference;
  }
  FIsProjectionSet = true;
}

void TMdbLocalCursor::ActivateFilters(const String& FilterText, bool CaseInsensitive, bool PartialKey) {
  delete FFilterExpression;
  FFilterExpression = nullptr;
  std::unique_ptr<TMdbExpression> E = MdbCreateExpression(FSession, nullptr);
  E->ParseForFilter(this, FilterText, CaseInsensitive, PartialKey);
  FFilterExpression = E.release();
  DisableRecordBitmap();
}

void TMdbLocalCursor::DeactivateFilters() {
  if (FSQLFilterExpression) return;
  delete FFilterExpression;
  FFilterExpression = nullptr;
  DisableRecordBitmap();
}

bool TMdbLocalCursor::Locate(const String& KeyFields, const Variant& KeyValues, bool CaseInsensitive, bool PartialKey) {
  std::unique_ptr<TMdbExpression> E = MdbCreateExpression(FSession, nullptr);
  E->ParseForLocate(this, KeyFields, KeyValues, CaseInsensitive, PartialKey);
  return FTableData->Locate(this, E.get());
}

bool TMdbLocalCursor::FindKey(TMdbSearchCondition SearchCondition) { return FTableData->FindKey(this, SearchCondition); }

void TMdbLocalCursor::ResetRange() {
  FRangeStartBuffer = nullptr;
  FRangeEndBuffer = nullptr;
  DisableRecordBitmap();
}

void TMdbLocalCursor::ApplyRange(Byte* StartBuffer, Byte* EndBuffer, std::int32_t StartKeyFieldCount,
                                 std::int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive) {
  FRangeStartBuffer = StartBuffer;
  FRangeEndBuffer = EndBuffer;
  FRangeStartKeyFieldCount = StartKeyFieldCount;
  FRangeEndKeyFieldCount = EndKeyFieldCount;
  FRangeStartExclusive = StartExclusive;
  FRangeEndExclusive = EndExclusive;
  DisableRecordBitmap();
}

void TMdbLocalCursor::SetSQLFilter(TMdbBaseExpression* FilterExpr) {
  // The cursor owns the expression it is handed; one it replaces goes now.
  if (FSQLFilterExpression != FilterExpr) delete FSQLFilterExpression;
  FSQLFilterExpression = FilterExpr;
  if (auto* E = dynamic_cast<TMdbExpression*>(FilterExpr)) E->AssignCursor(this);
}

// ---- BLOB streams ----------------------------------------------------------------------------------------

TMdbStream* TMdbLocalCursor::InternalCreateBlobStream(bool ToInsert, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode) {
  if (FieldNo < 0 || FieldNo >= FVisibleFieldDefs.Count())
    throw EMdbException(10110, SMdbInvalidFieldNumber, {FieldNo, FVisibleFieldDefs.Count()});
  if (!FIsOpen || FTableData == nullptr) throw EMdbException(10113, SNilPointer);
  const std::int32_t n = FVisibleFieldDefs.GetDef(FieldNo)->FFieldNoReference;
  if (IsWriteMode(OpenMode)) {
    for (TMdbStream* S : FBLOBStreams) {
      TMdbLocalBLOBStream* L = AsLocal(S);
      if (L == nullptr) throw EMdbException(10114, SNilPointer);
      if (L->FFieldNo == n && IsWriteMode(L->FOpenMode))
        throw EMdbException(10115, SBLOBFieldAlreadyOpened, {n, FFieldDefs.GetDef(n)->Name()});
    }
  }
  FBLOBStreams.reserve(FBLOBStreams.size() + 1);
  if (!FSpareBLOBStreams.empty()) {
    // A stream released earlier serves again: a BLOB written per record costs no new objects.
    FTableData->OpenBlobStream(this, n, OpenMode, *FSpareBLOBStreams.back());
    FBLOBStreams.push_back(FSpareBLOBStreams.back().release());
    FSpareBLOBStreams.pop_back();
    return FBLOBStreams.back();
  }
  TMdbStream* S = FTableData->InternalCreateBlobStream(this, ToInsert, n, OpenMode);
  if (S) FBLOBStreams.push_back(S);
  return S;
}

void TMdbLocalCursor::RecycleBLOBStream(TMdbStream* S) noexcept {
  TMdbLocalBLOBStream* L = AsLocal(S);
  if (L && L->FCursor == this && !L->FDoNotFreeCompressedStream && FSpareBLOBStreams.size() < kSpareBLOBStreams) {
    try {
      FSpareBLOBStreams.reserve(kSpareBLOBStreams);
      L->Recycle();
      FSpareBLOBStreams.emplace_back(L);
      return;
    } catch (...) {
    }
  }
  delete S;
}

void TMdbLocalCursor::ReleaseBLOBStream(std::size_t Index, std::int32_t TableFieldNo, bool WriteBack) {
  TMdbStream* S = FBLOBStreams[Index];
  TMdbLocalBLOBStream* L = AsLocal(S);
  if (L && L->FUserBLOBStream) {
    // The wrapper's destruction closes the field again through its dataset, which writes the value
    // back, frees this stream and takes it out of the list.
    TMdbStream* Wrapper = L->FUserBLOBStream;
    delete Wrapper;
    auto It = std::find(FBLOBStreams.begin(), FBLOBStreams.end(), S);
    if (It == FBLOBStreams.end()) return;
    L->FUserBLOBStream = nullptr;
  }
  auto It = std::find(FBLOBStreams.begin(), FBLOBStreams.end(), S);
  if (WriteBack && L && IsWriteMode(L->FOpenMode) && FTableData)
    FTableData->WriteBLOBFieldToRecordBuffer(this, TableFieldNo, L);
  FBLOBStreams.erase(It);
  RecycleBLOBStream(S);
}

void TMdbLocalCursor::InternalCloseBLOB(std::int32_t FieldNo) {
  if (FieldNo < 0 || FieldNo >= FVisibleFieldDefs.Count())
    throw EMdbException(10118, SMdbInvalidFieldNumber, {FieldNo, FVisibleFieldDefs.Count()});
  const std::int32_t n = FVisibleFieldDefs.GetDef(FieldNo)->FFieldNoReference;
  // Each round looks from the start again: a wrapper's close may take out more than one entry.
  for (;;) {
    std::size_t i = 0;
    for (; i < FBLOBStreams.size(); ++i) {
      TMdbLocalBLOBStream* L = AsLocal(FBLOBStreams[i]);
      if (L == nullptr) throw EMdbException(10120, SNilPointer);
      if (L->FFieldNo == n) break;
    }
    if (i == FBLOBStreams.size()) return;
    ReleaseBLOBStream(i, n, true);
  }
}

void TMdbLocalCursor::ClearBLOBStreams(bool WriteOnly) {
  for (;;) {
    std::size_t i = 0;
    TMdbLocalBLOBStream* L = nullptr;
    for (; i < FBLOBStreams.size(); ++i) {
      L = AsLocal(FBLOBStreams[i]);
      if (L == nullptr) throw EMdbException(10121, SNilPointer);
      if (!WriteOnly || IsWriteMode(L->FOpenMode)) break;
    }
    if (i == FBLOBStreams.size()) return;
    // Without a wrapper nothing is written back; with one, its close through the dataset does.
    ReleaseBLOBStream(i, L->FFieldNo, false);
  }
}

// ---- sequences, state and locks --------------------------------------------------------------------------

Int64 TMdbLocalCursor::LastAutoincValue(std::int32_t FieldNo) { return FTableData->LastAutoincValue(FieldNo, FSession); }

void TMdbLocalCursor::SetLastAutoincValue(Int64 Value, std::int32_t FieldNo) {
  FTableData->SetLastAutoincValue(Value, FieldNo, this);
}

TMdbTableState TMdbLocalCursor::GetTableState() { return FTableData->GetTableState(); }

void TMdbLocalCursor::LockTable(bool bWriteMode) {
  std::int32_t Code = 11892;
  if (!FTableData->LockTable(bWriteMode, FSession, Code, true)) throw EMdbException(11892, SCannotLockTable, {FTableName});
}

void TMdbLocalCursor::UnlockTable(bool bWriteMode) { FTableData->UnlockTable(bWriteMode, FSession, true); }
