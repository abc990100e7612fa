// The local cursor's operations on a whole table: create, delete, empty and rename a table, rename a
// field, repair, foreign keys and constraints, the table stream, and the index definitions. Each
// finds the table data through the session's database data and calls the table data's operation of
// the same name, which does the work.
//
// Registered versus private table data: the table data of a database held in memory (or of the
// temporary database) is registered there; an operation finds it and leaves it registered, whatever
// flags the cursor carries. Only for a database of another kind would an operation make a private
// table data object and free it at the end.
#include <algorithm>
#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalBLOBStream.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t STableNotFound[] = u"Table not found, table name = %s";
constexpr char16_t SInsideTransaction[] = u"Cannot perform this operation inside a transaction";
// Deleting, re-creating or emptying a table an open transaction still lists would leave its rollback
// without the records it must put back (or with a freed table): refused until the transaction ends.
void RefuseWhileHeldByTransaction(const TMdbTableData* T, std::int32_t Code) {
  const auto* A = dynamic_cast<const TMdbAdvancedTableData*>(T);
  if (A != nullptr && A->HeldByTransaction()) throw EMdbException(Code, SInsideTransaction);
}
constexpr char16_t SNotExclusive[] = u"Error - table '%s' is not opened in exclusive mode";
constexpr char16_t SDatabaseDataNotFound[] =
    u"DatabaseData not found. DatabaseName = %s, DatabaseFileName = %s, DatabaseFileNameUnicode = %s, InMemory = %s, "
    u"Temporary = %s";
constexpr char16_t STableInUse[] = u"Cannot load table '%s'. Table is open by another dataset";
constexpr char16_t SIndexExists[] = u"Cannot create index '%s'. Index already exists";
constexpr char16_t SIndexNotFound[] = u"Cannot delete index '%s'. Index not found";
constexpr char16_t SCannotGetRecord[] =
    u"Error during table repairing. Cannot get record, PageNo = %d, PageItemNo = %d, talbeName = ";

const char16_t* BoolWord(bool Value) { return Value ? u"True" : u"False"; }

bool SessionInTransaction(TMdbBaseSession* Session) { return Session && Session->GetInTransaction(); }

}  // namespace

bool TMdbLocalCursor::RegisteredTables() const {
  return FInMemory || FTemporary || (FDatabaseData && (FDatabaseData->FInMemory || FDatabaseData->FTemporary));
}

TMdbDatabaseData* TMdbLocalCursor::RequireDatabaseData(int Code) {
  FDatabaseData = SessionDatabaseData();
  if (FDatabaseData == nullptr) throw EMdbException(Code, SNilPointer);
  return FDatabaseData;
}

void TMdbLocalCursor::ReleaseTableData() {
  TMdbTableData* T = FTableData;
  FTableData = nullptr;
  if (T && !RegisteredTables()) delete T;
}

// ---- create, delete, empty, rename ----------------------------------------------------------------------

void TMdbLocalCursor::CreateTable(TMdbFieldDefs* FieldDefs, TMdbIndexDefs* IndexDefs, TMdbConstraintDefs* ConstraintDefs) {
  CloseTable();
  RequireDatabaseData(10523);
  TMdbFieldDefs NoFields;
  TMdbIndexDefs NoIndexes;
  TMdbConstraintDefs NoConstraints;
  TMdbIndexDefs& Indexes = IndexDefs ? *IndexDefs : NoIndexes;
  for (std::int32_t i = 0; i < Indexes.Count(); ++i) Indexes.GetDef(i)->FRootPageNo = -1;
  if (!RegisteredTables()) {
    FTableData = FDatabaseData->FindOrCreateTableData(this);
    if (FTableData == nullptr) throw EMdbException(10523, SNilPointer);
    FTableData->CreateTable(this, FieldDefs ? *FieldDefs : NoFields, Indexes, ConstraintDefs ? *ConstraintDefs : NoConstraints);
    return;
  }
  // The new table is built beside the old one, which goes only once the new one stands: definitions
  // the checks refuse leave the old table and its records as they were.
  TMdbTableData* Old = FDatabaseData->FindTableData(this);
  TMdbTableData* New = FDatabaseData->CreateTableData(this);
  if (New == nullptr) throw EMdbException(10523, SNilPointer);
  try {
    New->CreateTable(this, FieldDefs ? *FieldDefs : NoFields, Indexes, ConstraintDefs ? *ConstraintDefs : NoConstraints);
  } catch (...) {
    delete New;
    throw;
  }
  if (Old) {
    try {
      RefuseWhileHeldByTransaction(Old, 10838);
    } catch (...) {
      delete New;
      throw;
    }
    ReplaceTableData(Old, New, false);
  }
  FTableData = New;
}

void TMdbLocalCursor::ReplaceTableData(TMdbTableData* Old, TMdbTableData* New, bool Cascade) {
  const bool FreesItself = Old->FTemporary;
  try {
    Old->DeleteTable(FSession, Cascade, false);
  } catch (...) {
    delete New;
    throw;
  }
  if (!FreesItself) delete Old;
}

void TMdbLocalCursor::DeleteTable(bool Cascade) {
  CloseTable();
  RequireDatabaseData(10027);
  bool OwnsTemporary = false;
  if (RegisteredTables()) {
    FTableData = FDatabaseData->FindTableData(this);
    OwnsTemporary = FTableData && FTableData->FTemporary;
  } else {
    if (SessionInTransaction(FSession)) throw EMdbException(10838, SInsideTransaction);
    FTableData = FDatabaseData->CreateTableData(this);
  }
  if (FTableData) {
    TMdbTableData* T = FTableData;
    FTableData = nullptr;
    RefuseWhileHeldByTransaction(T, 10838);
    T->DeleteTable(FSession, Cascade, false);
    // A temporary table data object has freed itself.
    if (!OwnsTemporary) delete T;
    return;
  }
  if (FDatabaseData->FInMemory) {
    FDatabaseData->DropView(FSession, FTableName, Cascade);
    return;
  }
  throw EMdbException(10027, STableNotFound, {FTableName});
}

void TMdbLocalCursor::EmptyTable() {
  CloseTable();
  RequireDatabaseData(10073);
  FTableData = RegisteredTables() ? FDatabaseData->FindTableData(this) : FDatabaseData->FindOrCreateTableData(this);
  if (FTableData == nullptr) throw EMdbException(10073, STableNotFound, {FTableName});
  try {
    RefuseWhileHeldByTransaction(FTableData, 10072);
    FTableData->EmptyTable(this, false);
  } catch (...) {
    ReleaseTableData();
    throw;
  }
  ReleaseTableData();
}

void TMdbLocalCursor::RenameTable(const String& NewTableName) {
  CloseTable();
  RequireDatabaseData(10151);
  if (RegisteredTables()) {
    FTableData = FDatabaseData->FindTableData(this);
  } else {
    if (SessionInTransaction(FSession)) throw EMdbException(10839, SInsideTransaction);
    FTableData = FDatabaseData->FindOrCreateTableData(this);
  }
  if (FTableData == nullptr) throw EMdbException(10151, STableNotFound, {FTableName});
  try {
    FTableData->RenameTable(this, NewTableName);
  } catch (...) {
    ReleaseTableData();
    throw;
  }
  FTableName = NewTableName;
  ReleaseTableData();
}

void TMdbLocalCursor::RenameField(const String& FieldName, const String& NewFieldName) {
  CloseTable();
  RequireDatabaseData(11166);
  if (RegisteredTables()) {
    FTableData = FDatabaseData->FindTableData(this);
  } else {
    if (SessionInTransaction(FSession)) throw EMdbException(11165, SInsideTransaction);
    FTableData = FDatabaseData->CreateTableData(this);
  }
  if (FTableData == nullptr) throw EMdbException(11166, STableNotFound, {FTableName});
  try {
    FTableData->OpenTable(this);
    try {
      FTableData->RenameField(this, FieldName, NewFieldName);
    } catch (...) {
      FTableData->CloseTable(this);
      throw;
    }
    FTableData->CloseTable(this);
  } catch (...) {
    FIsOpen = false;
    ReleaseTableData();
    throw;
  }
  FIsOpen = false;
  ReleaseTableData();
}

// ---- constraints -----------------------------------------------------------------------------------------

void TMdbLocalCursor::AddForeignKey(TMdbConstraintDefForeignKey* ConstraintDef) {
  if (FTableData == nullptr) throw EMdbException(11582, STableNotFound, {FTableName});
  if (!FExclusive) throw EMdbException(11583, SNotExclusive, {FTableName});
  FTableData->AddForeignKey(this, ConstraintDef);
}

void TMdbLocalCursor::DeleteConstraint(const String& Name, bool Cascade, bool FKPartialDelete) {
  if (FTableData == nullptr) throw EMdbException(11484, STableNotFound, {FTableName});
  if (!FExclusive) throw EMdbException(11486, SNotExclusive, {FTableName});
  FTableData->DeleteConstraint(this, Name, Cascade, FKPartialDelete);
}

// ---- table stream ----------------------------------------------------------------------------------------

void TMdbLocalCursor::LoadTableFromStream(TStream* Stream) {
  struct TStarted {
    bool& Flag;
    explicit TStarted(bool& F) : Flag(F) { Flag = true; }
    ~TStarted() { Flag = false; }
  } Started(FCreateTableStarted);
  CloseTable();
  RequireDatabaseData(10154);
  if (!FTemporary) {
    const String Name = PeekTableNameFromStream(Stream);
    // A stream that names no table cannot replace one: the table's own load reports what is wrong.
    if (!Name.empty()) FTableName = Name;
  }
  // The stream is loaded into a new table data object; the table of that name is replaced only once
  // the whole stream was read, so a bad stream loses nothing.
  TMdbTableData* Old = FDatabaseData->FindTableData(this);
  if (Old && !Old->CursorList().empty()) throw EMdbException(10152, STableInUse, {FTableName});
  TMdbTableData* New = FDatabaseData->CreateTableData(this);
  if (New == nullptr) throw EMdbException(10154, STableNotFound, {FTableName});
  try {
    New->LoadTableFromStream(this, Stream);
  } catch (...) {
    delete New;
    throw;
  }
  if (Old) ReplaceTableData(Old, New, true);
  FTableName = New->TableName();
  FTableData = nullptr;
}

void TMdbLocalCursor::SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm,
                                        Byte CompressionMode, std::int32_t BlockSize, bool SkipCheckIsTableOpened,
                                        bool DoNotCloseTable) {
  if (FSession == nullptr) throw EMdbException(11762, SNilPointer);
  FDatabaseData = SessionDatabaseData();
  if (FDatabaseData == nullptr) {
    throw EMdbException(11761, SDatabaseDataNotFound,
                        {AnsiToString(FSession->FDatabaseName), AnsiToString(FSession->FDatabaseFileName),
                         FSession->FDatabaseFileNameUnicode, String(BoolWord(FSession->InMemory)),
                         String(BoolWord(FSession->Temporary))});
  }
  TMdbTableData* T = FDatabaseData->FindTableData(this);
  if (T == nullptr) throw EMdbException(10154, STableNotFound, {FTableName});
  // An open cursor keeps the table data it opened; the save does not take it away.
  const bool WasOpen = FIsOpen && FTableData == T;
  FTableData = T;
  T->SaveTableToStream(Stream, CompressionAlgorithm, CompressionMode, BlockSize, SkipCheckIsTableOpened);
  if (!DoNotCloseTable && !WasOpen) {
    // Only a table this cursor opened is closed for it: closing for another would release locks
    // that a cursor of the same session still holds.
    const auto& Open = T->CursorList();
    if (std::find(Open.begin(), Open.end(), this) != Open.end()) T->CloseTable(this);
    FTableData = nullptr;
  }
}

// ---- definitions -----------------------------------------------------------------------------------------

void TMdbLocalCursor::UpdateTableDefinitions() {
  if (!FIsOpen || FTableData == nullptr) return;
  FIndexDefs.Clear();
  if (FTableData->IndexManager()) FIndexDefs.Assign(FTableData->IndexManager()->IndexDefs());
  FConstraintDefs.Clear();
  if (FTableData->ConstraintManager()) FConstraintDefs.Assign(FTableData->ConstraintManager()->ConstraintDefs());
  InternalInitFieldDefs();
}

TMdbIndexDefs* TMdbLocalCursor::GetIndexDefs() {
  if (FTableData && FTableData->IndexManager()) FIndexDefs.Assign(FTableData->IndexManager()->IndexDefs());
  return &FIndexDefs;
}

void TMdbLocalCursor::ReloadDefinitionCopies() {
  FIndexDefs.Clear();
  if (FTableData->IndexManager()) FIndexDefs.Assign(FTableData->IndexManager()->IndexDefs());
  FConstraintDefs.Clear();
  if (FTableData->ConstraintManager()) FConstraintDefs.Assign(FTableData->ConstraintManager()->ConstraintDefs());
}

void TMdbLocalCursor::AddIndex(TMdbIndexDef* IndexDef) {
  if (FIndexDefs.GetIndexDefByName(IndexDef->Name()) != nullptr) throw EMdbException(20022, SIndexExists, {IndexDef->Name()});
  FTableData->AddIndex(IndexDef, this);
  ReloadDefinitionCopies();
}

void TMdbLocalCursor::DeleteIndex(const String& Name) {
  const TMdbIndexDef* D = FIndexDefs.GetIndexDefByName(Name);
  if (D == nullptr) throw EMdbException(20021, SIndexNotFound, {Name});
  FTableData->DeleteIndex(D->ObjectID(), this);
  ReloadDefinitionCopies();
}

void TMdbLocalCursor::DeleteAllIndexes() {
  FTableData->DeleteAllIndexes(this);
  ReloadDefinitionCopies();
}

String TMdbLocalCursor::FindIndex(TMdbWideStringList* FieldNamesList, TMdbWideStringList* AscDescList,
                                  TMdbWideStringList* CaseSensitivityList) {
  if (FTableData == nullptr) return String();
  return FTableData->FindIndex(this, FieldNamesList, AscDescList, CaseSensitivityList);
}

// ---- repair ----------------------------------------------------------------------------------------------

bool TMdbLocalCursor::RepairTable(AnsiString& Log, TMdbBaseSession* NewSession, TMdbConstraintDefs* ConstraintDefs) {
  FDatabaseData = SessionDatabaseData();
  if (RegisteredTables()) return true;
  if (!FExclusive) throw EMdbException(11165, SNotExclusive, {FTableName});
  try {
    OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    InternalInitFieldDefs();
  } catch (const Exception&) {
    return false;
  }
  auto Target = std::make_unique<TMdbLocalCursor>();
  Target->FDirectSetAutoInc = true;
  Target->FExclusive = true;
  Target->FSession = NewSession ? NewSession : FSession;
  std::mt19937 Random(std::random_device{}());
  do {
    const auto R = static_cast<std::uint32_t>(Random() & 0x7FFFFFFF) ^ static_cast<std::uint32_t>(CurrentTickCount()) ^
                   static_cast<std::uint32_t>(Random() & 0x7FFFFFFF);
    Target->FTableName = FTableName + u"_REPAIRED_" + AnsiToString(std::to_string(R)) + u"_" +
                         AnsiToString(std::to_string(CurrentThreadID()));
  } while (Target->FSession->TableExists(Target->FTableName));
  try {
    TMdbFieldDefs Fields;
    Fields.Assign(FFieldDefs);
    TMdbIndexDefs Indexes;
    Indexes.Assign(*GetIndexDefs());
    TMdbConstraintDefs Constraints;
    Constraints.Assign(FConstraintDefs);
    if (ConstraintDefs) Constraints.ExtractForeignKeys(ConstraintDefs);
    Target->CreateTable(&Fields, &Indexes, &Constraints);
    Target->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    Target->InternalInitFieldDefs();
  } catch (const Exception&) {
    Log += "Error - repair table failed. Cannot create new table: " + StringToAnsi(Target->FTableName) + "\r\n";
    return false;
  }
  try {
    CopyRecordsForRepair(Target.get(), Log);
  } catch (...) {
  }
  const String Name = FTableName;
  Target->CloseTable();
  CloseTable();
  if (NewSession == nullptr) DeleteTable(false);
  Target->RenameTable(Name);
  return true;
}

void TMdbLocalCursor::CopyRecordsForRepair(TMdbLocalCursor* Target, AnsiString& Log) {
  const AnsiString Table = StringToAnsi(FTableName);
  FRepair = true;
  FCurrentRecordBuffer = AllocateRecordBuffer();
  Target->FCurrentRecordBuffer = Target->AllocateRecordBuffer();
  std::vector<std::int32_t> AutoFields;
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i)
    if (FFieldDefs.GetDef(i)->IsAutoInc() && !FFieldDefs.GetDef(i)->FAutoincCycled) AutoFields.push_back(i);
  std::vector<Int64> Kept(AutoFields.size(), 0);
  bool First = true;
  bool Copied = false;
  auto CopyOne = [&] {
    String Field;
    try {
      std::memcpy(Target->FCurrentRecordBuffer, FCurrentRecordBuffer, static_cast<std::size_t>(FRecordBufferSize));
      Target->InternalInsert();
      for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
        const TMdbFieldDef& F = *FFieldDefs.GetDef(i);
        if (!F.IsBlob()) continue;
        Field = F.Name();
        TMdbStream* W = Target->InternalCreateBlobStream(true, i, bomWrite);
        try {
          std::unique_ptr<TMdbStream> R(FTableData->InternalCreateBlobStream(this, false, i, bomRead));
          R->SetPosition(0);
          W->CopyFrom(R.get(), R->Size());
        } catch (const Exception& E) {
          W->SetSize(0);
          Log += "Error during table repairing. Cannot read BLOB values, field: " + StringToAnsi(F.Name()) + "." + Table +
                 "\r\n" + StringToAnsi(E.Message()) + "\r\n";
        }
        W->SetModified(true);
        Target->InternalCloseBLOB(i);
      }
      Target->InternalPost(true);
      if (Target->FErrorCode != 0) return;
      Copied = true;
      for (std::size_t k = 0; k < AutoFields.size(); ++k) {
        TMdbVariant V;
        Target->GetFieldValue(&V, AutoFields[k], true, true);
        const Int64 Value = V.IsNull() ? 0 : V.AsInt64();
        const bool Up = FFieldDefs.GetDef(AutoFields[k])->FAutoincIncrement >= 0;
        if (First || (Up ? Value > Kept[k] : Value < Kept[k])) Kept[k] = Value;
      }
      First = false;
    } catch (const Exception& E) {
      Log += "Error during table repairing. Cannot insert recird, field :" + StringToAnsi(Field) + "." + Table + "\r\n" +
             StringToAnsi(E.Message()) + "\r\n";
    }
  };
  auto Release = [&] {
    FRepair = false;
    FreeRecordBuffer(FCurrentRecordBuffer);
    Target->FreeRecordBuffer(Target->FCurrentRecordBuffer);
  };
  TMdbRecordID FailedAt;
  bool FailedAtStart = true;
  try {
    FirstPosition = true;
    LastPosition = false;
    for (;;) {
      const TMdbGetRecordResult R = GetRecordBuffer(grmNext);
      if (R == grrEOF) break;
      if (R == grrError) {
        throw EMdbException(11167, String(SCannotGetRecord) + FTableName,
                            {CurrentRecordID.PageNo, int(CurrentRecordID.PageItemNo)});
      }
      FailedAt = CurrentRecordID;
      FailedAtStart = false;
      CopyOne();
    }
  } catch (const Exception& E) {
    Log += "Error during table repairing. Cannot get records from first, table: " + Table + "\r\n" +
           StringToAnsi(E.Message()) + "\r\n";
    try {
      FirstPosition = false;
      LastPosition = true;
      for (;;) {
        const TMdbGetRecordResult R = GetRecordBuffer(grmPrior);
        if (R == grrBOF) break;
        if (R == grrError) {
          throw EMdbException(11168, String(SCannotGetRecord) + FTableName,
                              {CurrentRecordID.PageNo, int(CurrentRecordID.PageItemNo)});
        }
        if (!FailedAtStart && CurrentRecordID.PageNo == FailedAt.PageNo && CurrentRecordID.PageItemNo == FailedAt.PageItemNo)
          break;
        CopyOne();
      }
    } catch (const Exception& E2) {
      Log += "Error during table repairing. Cannot get records from last, table: " + Table + "\r\n" +
             StringToAnsi(E2.Message()) + "\r\n";
    }
  }
  try {
    if (Copied)
      for (std::size_t k = 0; k < AutoFields.size(); ++k) Target->SetLastAutoincValue(Kept[k], AutoFields[k]);
  } catch (...) {
    Release();
    throw;
  }
  Release();
}
