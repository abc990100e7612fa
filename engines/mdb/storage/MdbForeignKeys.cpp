// Foreign keys of the table data: linking a new table's keys to their parents, the definition check,
// the check of one record and of every existing record against a key, and the delete and update
// actions a parent's change sets off in its children (restrict, cascade, set null, set default).
//
// Every lookup in another table goes through a read-only local cursor of the caller's session, opened
// for the one step and closed in every case. An action recurses: a cascaded delete deletes the child
// records through the child's table data, which runs the child's own actions.
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SNoPrimaryKey[] =
    u"Invalid foreign key '%s' definition in table '%s' - referenced table '%s' has no primary key";
constexpr char16_t SColumnCount[] =
    u"Invalid foreign key '%s' definition in table '%s' - referenced table '%s' has primary key that does not "
    u"correspond foreign key by number of fields";
constexpr char16_t SFieldMissing[] = u"Invalid foreign key '%s' definition in table '%s' - field '%s' does not exist";
constexpr char16_t SPrimaryFieldMissing[] =
    u"Invalid foreign key '%s' definition in table '%s' - primary key field '%s' does not exist in referenced table "
    u"'%s'";
constexpr char16_t STypesMismatch[] =
    u"Invalid foreign key '%s' definition in table '%s' - types of foreign key field '%s' and primary key field '%s' "
    u"of the referenced table '%s' mismatches";
constexpr char16_t SInvalidColumn[] =
    u"Error checking constraint foreign key '%s' in table '%s' - invalid column specification, column index = %d, "
    u"column object id = %d";
constexpr char16_t SInvalidMatchType[] = u"Error checking constraint foreign key '%s' in table '%s' - invalid match type = %d";
constexpr char16_t SCannotOpenReferenced[] =
    u"Error checking constraint foreign key '%s' in table '%s' - cannot open referenced table due to error: %s";
constexpr char16_t SPrimaryNotFound[] =
    u"Error checking constraint foreign key '%s' in table '%s' - primary key not found in referenced table '%s'";
constexpr char16_t SPrimaryColumns[] =
    u"Error checking constraint foreign key '%s' in table '%s' - primary key '%s' has invalid number of columns in "
    u"referenced table '%s'";
constexpr char16_t SViolated[] = u"Constraint foreign key '%s' violated in table '%s'";
constexpr char16_t SCannotUpdate[] =
    u"Cannot update record(s) in table '%s' - constraint foreign key '%s' in table '%s' violated";
constexpr char16_t SCannotDelete[] =
    u"Cannot delete record(s) in table '%s' - constraint foreign key '%s' in table '%s' violated";
constexpr char16_t SInvalidAction[] =
    u"Error - invalid foreign key action (%d) in table '%s' referencing foreign key '%s' in table '%s'";
constexpr char16_t STemporaryName[] = u"Invalid foreign key tempoaray name = %s";

constexpr char16_t kTemporaryPrefix[] = u"MDBFKTNP_";
constexpr std::size_t kTemporaryPrefixLength = 9;

bool SameName(const String& A, const String& B) { return UpperNameCRC(A) == UpperNameCRC(B); }

// Closes (and so frees) a referenced-table cursor on every way out.
struct TReferencedCursor {
  std::unique_ptr<TMdbLocalCursor> C;
  ~TReferencedCursor() { TMdbTableData::CloseAndFreeReferencedTableCursor(C); }
  TMdbLocalCursor* operator->() const { return C.get(); }
  TMdbLocalCursor* get() const { return C.get(); }
};

// Cursors on other tables opened for one run, each once per table name; all closed at the end.
struct TCursorSet {
  std::vector<std::unique_ptr<TMdbLocalCursor>> Items;
  TMdbLocalCursor* Find(const String& TableName) const {
    for (const auto& C : Items)
      if (SameName(C->FTableName, TableName)) return C.get();
    return nullptr;
  }
  ~TCursorSet() {
    for (auto& C : Items) TMdbTableData::CloseAndFreeReferencedTableCursor(C);
  }
};

TMdbTableData* TableDataOf(TMdbCursor* Cursor) {
  auto* L = dynamic_cast<TMdbLocalCursor*>(Cursor);
  if (L == nullptr || L->FTableData == nullptr) throw EMdbException(11875, SNilPointer);
  return L->FTableData;
}

}  // namespace

// ---- cursors on other tables -------------------------------------------------------------------------------

std::unique_ptr<TMdbLocalCursor> TMdbTableData::OpenReferencedTableCursorForSession(
    TMdbBaseSession* Session, TMdbConstraintDefForeignKeyAction* ConstraintDef, bool InMemory, bool Exclusive,
    bool SkipTableExistsCheck) {
  auto C = std::make_unique<TMdbLocalCursor>();
  C->FSession = Session;
  C->FInMemory = InMemory;
  C->FExclusive = Exclusive;
  C->FReadOnly = true;
  C->FSkipTableExistsCheck = SkipTableExistsCheck;
  C->FTableName = ConstraintDef->ReferencedTableName;
  C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  C->InternalInitFieldDefs();
  C->InternalFirst();
  C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
  return C;
}

std::unique_ptr<TMdbLocalCursor> TMdbTableData::OpenReferencedTableCursor(TMdbCursor* SourceCursor,
                                                                          TMdbConstraintDefForeignKeyAction* ConstraintDef,
                                                                          bool Exclusive, bool SkipTableExistsCheck) {
  auto C = std::make_unique<TMdbLocalCursor>();
  C->FSession = SourceCursor->FSession;
  C->FInMemory = SourceCursor->FInMemory;
  C->FIsDesignMode = SourceCursor->FIsDesignMode;
  C->FExclusive = Exclusive;
  C->FReadOnly = true;
  C->FSkipTableExistsCheck = SkipTableExistsCheck;
  C->FTableName = ConstraintDef->ReferencedTableName;
  C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  C->InternalInitFieldDefs();
  C->InternalFirst();
  C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
  return C;
}

void TMdbTableData::CloseReferencedTableCursor(TMdbLocalCursor* Cursor) {
  if (Cursor == nullptr) return;
  Cursor->FreeRecordBuffer(Cursor->FCurrentRecordBuffer);
  Cursor->FCurrentRecordBuffer = nullptr;
  Cursor->CloseTable();
}

void TMdbTableData::CloseAndFreeReferencedTableCursor(std::unique_ptr<TMdbLocalCursor>& Cursor) noexcept {
  try {
    CloseReferencedTableCursor(Cursor.get());
  } catch (...) {
  }
  try {
    Cursor.reset();
  } catch (...) {
  }
}

// ---- definitions -------------------------------------------------------------------------------------------

TMdbConstraintDefForeignKeyAction* TMdbTableData::AddForeignKeyAction(TMdbCursor*, TMdbConstraintDefForeignKey* ConstraintDef,
                                                                      const String& ReferencedTableName,
                                                                      std::int32_t ReferencedTableObjectID) {
  TMdbConstraintDefForeignKeyAction* A =
      FConstraintManager ? FConstraintManager->AddForeignKeyAction(ConstraintDef, ReferencedTableName, ReferencedTableObjectID)
                         : nullptr;
  if (A == nullptr) throw EMdbException(11875, SNilPointer);
  ChangeTableMetaDataState(ltoAddForeignKey);
  return A;
}

void TMdbTableData::CheckForeignKeyDefinition(TMdbConstraintDefForeignKeyAction* ConstraintDef, TMdbCursor* ReferencedCursor,
                                              bool SameTable) {
  const String& Key = ConstraintDef->Name();
  const String& Referenced = ConstraintDef->ReferencedTableName;
  TMdbIndexDefs* Indexes = SameTable ? &FIndexManager->IndexDefs() : ReferencedCursor->GetIndexDefs();
  const TMdbIndexDef* Primary = Indexes ? Indexes->FindPrimaryIndex() : nullptr;
  if (Primary == nullptr) throw EMdbException(11442, SNoPrimaryKey, {Key, FTableName, Referenced});
  if (Primary->ColumnCount() != static_cast<std::int32_t>(ConstraintDef->Columns.size()))
    throw EMdbException(11443, SColumnCount, {Key, FTableName, Referenced});
  TMdbFieldDefs& Own = FieldDefs();
  TMdbFieldDefs& Theirs = SameTable ? Own : ReferencedCursor->FFieldDefs;
  for (std::size_t i = 0; i < ConstraintDef->Columns.size(); ++i) {
    const TMdbFieldDef* F = Own.GetFieldDefByName(ConstraintDef->Columns[i].ColumnName);
    if (F == nullptr) throw EMdbException(11444, SFieldMissing, {Key, FTableName, ConstraintDef->Columns[i].ColumnName});
    const String& PrimaryName = Primary->GetIndexColumn(static_cast<std::int32_t>(i)).FieldName;
    const TMdbFieldDef* P = Theirs.GetFieldDefByName(PrimaryName);
    if (P == nullptr) throw EMdbException(11445, SPrimaryFieldMissing, {Key, FTableName, PrimaryName, Referenced});
    if (CommonBaseFieldType(F->FBaseFieldType, P->FBaseFieldType) == bftUnknown ||
        !IsScalarAdvancedType(F->FAdvancedFieldType) || !IsScalarAdvancedType(P->FAdvancedFieldType))
      throw EMdbException(11446, STypesMismatch, {Key, FTableName, F->Name(), P->Name(), Referenced});
  }
}

void TMdbTableData::LinkForeignKeys(TMdbCursor* Cursor) {
  TCursorSet Opened;
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  for (std::int32_t i = 0; i < Defs.Count(); ++i) {
    if (Defs.GetDef(i)->ConstraintType() != ctFK) continue;
    auto* FK = static_cast<TMdbConstraintDefForeignKey*>(Defs.GetDef(i));
    const bool SameTable = SameName(FK->ReferencedTableName, FTableName);
    TMdbCursor* Referenced = Cursor;
    TMdbTableData* ReferencedData = this;
    if (!SameTable) {
      TMdbLocalCursor* C = Opened.Find(FK->ReferencedTableName);
      if (C == nullptr) {
        Opened.Items.push_back(OpenReferencedTableCursor(Cursor, FK, true, false));
        C = Opened.Items.back().get();
      }
      Referenced = C;
      ReferencedData = C->FTableData;
    }
    CheckForeignKeyDefinition(FK, Referenced, SameTable);
    TMdbConstraintDefForeignKeyAction* A = ReferencedData->AddForeignKeyAction(Referenced, FK, FTableName, -1);
    FK->ReferencedFKName = A->Name();
    FK->ReferencedFKObjectID = A->ObjectID();
  }
  for (const auto& C : Opened.Items) {
    TMdbTableData* T = C->FTableData;
    const std::int32_t Sid = C->FSession ? C->FSession->SessionID : -1;
    T->BeforeApplyChanges(Sid);
    T->ChangeTableMetaDataState(ltoAddForeignKey);
    const TMdbTableState S = T->GetTableState();
    T->ApplyChanges(S.TableState, dbstTableMetaData, S.TableMetaDataState);
  }
}

// ---- one record against a key ----------------------------------------------------------------------------

bool TMdbTableData::IsForeignKeyNull(TMdbCursor* Cursor, TMdbConstraintDefForeignKeyAction* ConstraintDef, bool& Mixed) {
  Mixed = false;
  TMdbFieldDefs& Fields = FieldDefs();
  auto IsNull = [&](std::size_t i) {
    const TMdbConstraintColumn& C = ConstraintDef->Columns[i];
    const std::int32_t n = Fields.GetDefNumberByObjectId(C.ColumnObjectID);
    if (n < 0)
      throw EMdbException(11422, SInvalidColumn, {ConstraintDef->Name(), FTableName, int(i), C.ColumnObjectID});
    return IsRecordFieldNull(Cursor->FCurrentRecordBuffer, n);
  };
  const std::size_t N = ConstraintDef->Columns.size();
  switch (ConstraintDef->MatchType) {
    case cfkmtDefault:
      for (std::size_t i = 0; i < N; ++i)
        if (IsNull(i)) return true;
      return false;
    case cfkmtFull: {
      std::size_t Nulls = 0;
      for (std::size_t i = 0; i < N; ++i) Nulls += IsNull(i) ? 1 : 0;
      Mixed = Nulls != 0 && Nulls != N;
      return Nulls == N;
    }
    case cfkmtPartial:
      for (std::size_t i = 0; i < N; ++i)
        if (!IsNull(i)) return false;
      return true;
  }
  throw EMdbException(11421, SInvalidMatchType, {ConstraintDef->Name(), FTableName, int(ConstraintDef->MatchType)});
}

namespace {

// The expression matching the referenced records whose primary key equals the key of Cursor's record.
std::unique_ptr<TMdbExpression> ForeignKeyCheckExpression(TMdbCursor* ReferencedCursor, TMdbCursor* Cursor,
                                                          TMdbConstraintDefForeignKeyAction* Def, const String& TableName) {
  TMdbIndexDefs* Indexes = ReferencedCursor->GetIndexDefs();
  TMdbIndexDef* Primary = Indexes ? Indexes->FindPrimaryIndex() : nullptr;
  if (Primary == nullptr) throw EMdbException(11424, SPrimaryNotFound, {Def->Name(), TableName, Def->ReferencedTableName});
  if (Primary->ColumnCount() < static_cast<std::int32_t>(Def->Columns.size()))
    throw EMdbException(11425, SPrimaryColumns, {Def->Name(), TableName, Primary->Name(), Def->ReferencedTableName});
  auto E = MdbCreateExpression(Cursor->FSession, nullptr);
  E->PrepareForeignKeyCheck(ReferencedCursor, Cursor, Primary, Def);
  return E;
}

bool ReferencedRecordExists(TMdbCursor* ReferencedCursor, TMdbExpression* Expression) {
  TMdbRecordID Found;
  return TableDataOf(ReferencedCursor)->FindRecord(ReferencedCursor, Expression, nullptr, true, true, Found, nullptr,
                                                   false, true);
}

}  // namespace

bool TMdbTableData::IsForeignKeyConstraintFailed(TMdbCursor* Cursor, TMdbConstraintDefForeignKey* ConstraintDef) {
  bool Mixed = false;
  const bool Null = IsForeignKeyNull(Cursor, ConstraintDef, Mixed);
  if (Mixed) return true;
  if (Null) return false;
  TReferencedCursor Referenced;
  try {
    Referenced.C = OpenReferencedTableCursor(Cursor, ConstraintDef, false, true);
  } catch (const Exception& E) {
    throw EMdbException(11423, SCannotOpenReferenced, {ConstraintDef->Name(), FTableName, E.Message()});
  }
  auto Expression = ForeignKeyCheckExpression(Referenced.get(), Cursor, ConstraintDef, FTableName);
  return !ReferencedRecordExists(Referenced.get(), Expression.get());
}

void TMdbTableData::CheckExistingRecordsForForeignKey(TMdbCursor* Cursor, TMdbCursor* ReferencedCursor,
                                                      TMdbConstraintDefForeignKey* ConstraintDef) {
  Byte* const SavedBuffer = Cursor->FCurrentRecordBuffer;
  void* SavedPosition = Cursor->SavePosition();
  TMdbMemBlock Fresh(Cursor->FRecordBufferSize > 0 ? Cursor->FRecordBufferSize : CalcRecordSize(), true);
  struct TRestore {
    TMdbCursor* C;
    Byte* Buffer;
    void*& Position;
    ~TRestore() {
      C->FCurrentRecordBuffer = Buffer;
      C->RestorePosition(Position);
      C->FreePosition(Position);
    }
  } Restore{Cursor, SavedBuffer, SavedPosition};
  Cursor->FCurrentRecordBuffer = Fresh.Get();
  Cursor->FirstPosition = true;
  Cursor->LastPosition = false;
  std::unique_ptr<TMdbExpression> Expression;
  while (Cursor->GetRecordBuffer(grmNext) == grrOK) {
    bool Mixed = false;
    const bool Null = IsForeignKeyNull(Cursor, ConstraintDef, Mixed);
    bool Failed = Mixed;
    if (!Mixed && !Null) {
      // The expression takes the key of the record at hand when it is prepared.
      Expression = ForeignKeyCheckExpression(ReferencedCursor, Cursor, ConstraintDef, FTableName);
      Failed = !ReferencedRecordExists(ReferencedCursor, Expression.get());
    }
    if (Failed) throw EMdbException(11586, SViolated, {ConstraintDef->Name(), FTableName});
  }
}

bool TMdbTableData::IsPrimaryKeyUpdated(TMdbCursor* Cursor) {
  if (!FIndexManager) return false;
  const TMdbIndexDef* Primary = FIndexManager->IndexDefs().FindPrimaryIndex();
  if (Primary == nullptr) return false;
  return FIndexManager->CompareRecordBuffersByIndex(Primary->ObjectID(), Cursor->FCurrentRecordBuffer,
                                                    Cursor->FEditRecordBuffer, 0) != 0;
}

// ---- actions on the children ---------------------------------------------------------------------------------

void TMdbTableData::ExecuteForeignKeyActions(TMdbCursor* Cursor, bool ToUpdate) {
  RunForeignKeyActions(Cursor, ToUpdate, TForeignKeyActions::All);
}

void TMdbTableData::RunForeignKeyActions(TMdbCursor* Cursor, bool ToUpdate, TForeignKeyActions Which) {
  if (!FConstraintManager) return;
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  for (std::int32_t i = 0; i < Defs.Count(); ++i) {
    if (Defs.GetDef(i)->ConstraintType() != ctFKAction) continue;
    auto* A = static_cast<TMdbConstraintDefForeignKeyAction*>(Defs.GetDef(i));
    const TMdbConstraintForeignKeyAction Action = ToUpdate ? A->UpdateAction : A->DeleteAction;
    if (Action == cfkaNoAction) continue;
    const bool Restrict = Action == cfkaDefault;
    if ((Which == TForeignKeyActions::RestrictOnly && !Restrict) || (Which == TForeignKeyActions::AllButRestrict && Restrict))
      continue;
    if (ToUpdate && !IsPrimaryKeyUpdated(Cursor)) continue;
    TReferencedCursor Child;
    Child.C = OpenReferencedTableCursor(Cursor, A, false, false);
    if (PrepareForeignKeyActionCursor(Child.get(), Cursor, A, ToUpdate)) continue;
    if (Restrict) {
      throw EMdbException(ToUpdate ? 11454 : 11455, ToUpdate ? SCannotUpdate : SCannotDelete,
                          {FTableName, A->ReferencedFKName, A->ReferencedTableName});
    }
    if (Action > cfkaSetDefault)
      throw EMdbException(11456, SInvalidAction, {int(Action), FTableName, A->ReferencedFKName, A->ReferencedTableName});
    if (!ToUpdate && Action == cfkaCascade) Child->DeleteVisibleRecords();
    else ExecuteForeignKeyUpdateAction(Child.get(), Cursor, A, Action);
  }
}

bool TMdbTableData::PrepareForeignKeyActionCursor(TMdbCursor* ChildCursor, TMdbCursor* ParentCursor,
                                                  TMdbConstraintDefForeignKeyAction* ActionDef, bool ToUpdate) {
  TMdbIndexDef* Primary = FIndexManager ? FIndexManager->IndexDefs().FindPrimaryIndex() : nullptr;
  if (Primary == nullptr)
    throw EMdbException(11457, SPrimaryNotFound, {ActionDef->ReferencedFKName, ActionDef->ReferencedTableName, FTableName});
  if (Primary->ColumnCount() < static_cast<std::int32_t>(ActionDef->Columns.size()))
    throw EMdbException(11458, SPrimaryColumns,
                        {ActionDef->ReferencedFKName, ActionDef->ReferencedTableName, Primary->Name(), FTableName});
  Byte* const Current = ParentCursor->FCurrentRecordBuffer;
  // On update the children still hold the key the record had before the change.
  if (ToUpdate) ParentCursor->FCurrentRecordBuffer = ParentCursor->FEditRecordBuffer;
  struct TRestore {
    TMdbCursor* C;
    Byte* B;
    ~TRestore() { C->FCurrentRecordBuffer = B; }
  } Restore{ParentCursor, Current};
  auto E = MdbCreateExpression(ChildCursor->FSession, nullptr);
  E->PrepareForeignKeyActionFilter(ChildCursor, ParentCursor, Primary, ActionDef);
  ChildCursor->SetSQLFilter(E.release());
  TMdbTableData* Child = TableDataOf(ChildCursor);
  Child->BuildRecordBitmap(ChildCursor);
  return ChildCursor->FRecordBitmap->GetRecordCount() == 0;
}

void TMdbTableData::ExecuteForeignKeyUpdateAction(TMdbCursor* ChildCursor, TMdbCursor* ParentCursor,
                                                  TMdbConstraintDefForeignKeyAction* ActionDef,
                                                  TMdbConstraintForeignKeyAction Action) {
  const TMdbIndexDef* Primary = nullptr;
  if (Action == cfkaCascade) {
    Primary = FIndexManager ? FIndexManager->IndexDefs().FindPrimaryIndex() : nullptr;
    if (Primary == nullptr)
      throw EMdbException(11460, SPrimaryNotFound, {ActionDef->ReferencedFKName, ActionDef->ReferencedTableName, FTableName});
  }
  TMdbWideStringList Names;
  std::vector<std::unique_ptr<TMdbVariant>> Owned;
  std::vector<TMdbVariant*> Values;
  for (std::size_t i = 0; i < ActionDef->Columns.size(); ++i) {
    const String& Column = ActionDef->Columns[i].ColumnName;
    const TMdbFieldDef* F = ChildCursor->FFieldDefs.GetFieldDefByName(Column);
    if (F == nullptr) throw EMdbException(11458, SFieldMissing, {ActionDef->Name(), FTableName, Column});
    Names.Add(F->Name(), false);
    auto V = std::make_unique<TMdbVariant>(F->FBaseFieldType);
    switch (Action) {
      case cfkaSetNull: V->SetNull(F->FBaseFieldType); break;
      case cfkaSetDefault:
        if (F->FDefaultValue) V->Assign(F->FDefaultValue.get(), true, false);
        else V->SetNull(F->FBaseFieldType);
        break;
      case cfkaCascade: {
        const String& PrimaryName = Primary->GetIndexColumn(static_cast<std::int32_t>(i)).FieldName;
        const std::int32_t n = ParentCursor->FFieldDefs.GetDefNumberByName(PrimaryName);
        if (n < 0) throw EMdbException(11461, SFieldMissing, {ActionDef->Name(), FTableName, PrimaryName});
        ParentCursor->GetFieldValue(V.get(), n, true, true);
        break;
      }
      default:
        throw EMdbException(11462, SInvalidAction,
                            {int(Action), FTableName, ActionDef->ReferencedFKName, ActionDef->ReferencedTableName});
    }
    Values.push_back(V.get());
    Owned.push_back(std::move(V));
  }
  ChildCursor->UpdateVisibleRecords(&Names, Values, Action == cfkaCascade);
}

// ---- renames -------------------------------------------------------------------------------------------------

String TMdbTableData::RemoveFKTemporaryNamePrefix(const String& Name) {
  if (Name.size() < kTemporaryPrefixLength) return Name;
  if (UpperCaseWide(std::u16string_view(Name).substr(0, kTemporaryPrefixLength)) != kTemporaryPrefix) return Name;
  if (Name.size() == kTemporaryPrefixLength) throw EMdbException(11585, STemporaryName, {Name});
  return Name.substr(kTemporaryPrefixLength);
}

void TMdbTableData::RemoveFKTemporaryNamePrefixes(TMdbConstraintDefForeignKeyAction* ConstraintDef) {
  ConstraintDef->SetName(RemoveFKTemporaryNamePrefix(ConstraintDef->Name()));
  ConstraintDef->ReferencedFKName = RemoveFKTemporaryNamePrefix(ConstraintDef->ReferencedFKName);
}

void TMdbTableData::RenameTableInReferencingTables(TMdbCursor* Cursor, const String& OldName, const String& NewName) {
  TCursorSet Opened;
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  for (std::int32_t i = 0; i < Defs.Count(); ++i) {
    const TMdbConstraintType Type = Defs.GetDef(i)->ConstraintType();
    if (Type != ctFK && Type != ctFKAction) continue;
    auto* D = static_cast<TMdbConstraintDefForeignKeyAction*>(Defs.GetDef(i));
    if (SameName(D->ReferencedTableName, OldName) || Opened.Find(D->ReferencedTableName)) continue;
    Opened.Items.push_back(OpenReferencedTableCursor(Cursor, D, true, false));
  }
  for (const auto& C : Opened.Items) C->FTableData->RenameReferenceTableName(C.get(), OldName, NewName);
  RenameReferenceTableName(Cursor, OldName, NewName);
}
