// The structural part of the table operations that every kind of table data shares: delete and
// rename a table with the foreign keys that tie it to others, add a foreign key, delete a constraint,
// follow the rename of a referenced table, rename a field, add, delete and find indexes. The memory
// and temporary table data wrap these in their locks and in an apply or cancel of the page changes.
//
// Every structure change advances the metadata state and then names itself as the last operation.
// RenameField and AddForeignKey check everything before they change anything; DeleteConstraint
// checks its own table first and removes the partner in another table before its own constraint.
#include <memory>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SCannotDeleteOpenTable[] = u"Cannot delete table '%s'. Table is open by another dataset";
constexpr char16_t SCannotDeleteReferencedTable[] = u"Cannot delete table '%s' - foreign key constraint(s) violated";
constexpr char16_t SCannotRenameOpenTable[] = u"Cannot rename table '%s'. Table is open by another dataset";
constexpr char16_t SConstraintExists[] =
    u"Cannot create foreign key '%s' in table '%s' - constraint with such name already exists";
constexpr char16_t SColumnMissing[] = u"Cannot create foreign key '%s' - column '%s' does not exist in table '%s'";
constexpr char16_t SNoConstraint[] = u"Error - constraint '%s' does not exist in table '%s'";
constexpr char16_t SPrimaryReferenced[] =
    u"Cannot delete constraint primary key '%s' in table '%s' - foreign key(s) referencing this table exists";
constexpr char16_t SFieldNotFound[] = u"Field '%s' not found";
constexpr char16_t SFieldExists[] = u"Cannot rename field '%s'. Field '%s' already exists";
constexpr char16_t SFieldInIndex[] = u"Cannot rename field '%s' in table '%s' - index '%s' includes this field";
constexpr char16_t SFieldInForeignKey[] =
    u"Cannot rename field '%s' in table '%s' - foreign key '%s' includes this field";
constexpr char16_t SIndexByID[] = u"Cannot find index by ID = %d";

bool SameName(const String& A, const String& B) { return UpperNameCRC(A) == UpperNameCRC(B); }

bool IsForeignKeyType(const TMdbConstraintDef* D) {
  return D->ConstraintType() == ctFK || D->ConstraintType() == ctFKAction;
}

}  // namespace

// ---- tables --------------------------------------------------------------------------------------------

void TMdbTableData::DeleteTable(TMdbBaseSession* Session, bool Cascade, bool DesignMode) {
  if (!DesignMode && !FCursorList.empty()) throw EMdbException(20017, SCannotDeleteOpenTable, {FTableName});
  if (!FConstraintManager) return;
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  if (!Defs.ForeignKeysExists && !Defs.ForeignKeysActionsExists) return;
  if (!Cascade) throw EMdbException(11481, SCannotDeleteReferencedTable, {FTableName});
  if (Session) {
    for (std::int32_t i = 0; i < Defs.Count(); ++i) {
      if (!IsForeignKeyType(Defs.GetDef(i))) continue;
      auto* D = static_cast<TMdbConstraintDefForeignKeyAction*>(Defs.GetDef(i));
      if (SameName(D->ReferencedTableName, FTableName)) continue;
      std::unique_ptr<TMdbLocalCursor> Other = OpenReferencedTableCursorForSession(Session, D, FInMemory, true, false);
      try {
        Other->DeleteConstraint(D->ReferencedFKName, false, true);
      } catch (...) {
        TMdbTableData::CloseAndFreeReferencedTableCursor(Other);
        throw;
      }
      TMdbTableData::CloseAndFreeReferencedTableCursor(Other);
    }
  }
  Defs.ForeignKeysExists = false;
  Defs.ForeignKeysActionsExists = false;
}

void TMdbTableData::RenameTable(TMdbCursor* Cursor, const String& NewTableName) {
  if (!FCursorList.empty()) throw EMdbException(10150, SCannotRenameOpenTable, {FTableName});
  if (FConstraintManager && (FConstraintManager->ConstraintDefs().ForeignKeysExists ||
                             FConstraintManager->ConstraintDefs().ForeignKeysActionsExists))
    RenameTableInReferencingTables(Cursor, FTableName, NewTableName);
  SetTableName(NewTableName);
  ChangeTableMetaDataState(ltoCreateTable);
  FTableState.LastTableOperation = ltoRename;
}

// ---- constraints -----------------------------------------------------------------------------------------

void TMdbTableData::AddForeignKey(TMdbCursor* Cursor, TMdbConstraintDefForeignKey* ConstraintDef) {
  if (ConstraintDef == nullptr || !FConstraintManager) throw EMdbException(11875, SNilPointer);
  const bool SameTable = SameName(ConstraintDef->ReferencedTableName, FTableName);
  std::unique_ptr<TMdbLocalCursor> Opened;
  if (!SameTable) Opened = OpenReferencedTableCursor(Cursor, ConstraintDef, true, false);
  struct TClose {
    std::unique_ptr<TMdbLocalCursor>& C;
    ~TClose() {
      if (C) TMdbTableData::CloseAndFreeReferencedTableCursor(C);
    }
  } Close{Opened};
  TMdbCursor* Referenced = SameTable ? Cursor : Opened.get();
  TMdbTableData* ReferencedData = SameTable ? this : Opened->FTableData;
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  if (Defs.GetDefNumberByName(ConstraintDef->Name()) >= 0)
    throw EMdbException(11588, SConstraintExists, {ConstraintDef->Name(), FTableName});
  TMdbFieldDefs& Fields = FieldDefs();
  for (auto& C : ConstraintDef->Columns) {
    const TMdbFieldDef* F = Fields.GetFieldDefByName(C.ColumnName);
    if (F == nullptr) throw EMdbException(11587, SColumnMissing, {ConstraintDef->Name(), C.ColumnName, FTableName});
    C.ColumnObjectID = F->ObjectID();
  }
  CheckForeignKeyDefinition(ConstraintDef, Referenced, SameTable);
  CheckExistingRecordsForForeignKey(Cursor, Referenced, ConstraintDef);
  TMdbConstraintDefForeignKeyAction* A = ReferencedData->AddForeignKeyAction(Referenced, ConstraintDef, FTableName, -1);
  ConstraintDef->ReferencedFKName = A->Name();
  ConstraintDef->ReferencedFKObjectID = A->ObjectID();
  TMdbConstraintDefForeignKey* Mine = Defs.AddFK();
  Mine->Assign(ConstraintDef);
  FConstraintManager->FEmpty = false;
  ChangeTableMetaDataState(ltoCreateTable);
  FTableState.LastTableOperation = ltoAddForeignKey;
}

void TMdbTableData::DeleteConstraint(TMdbCursor* Cursor, const String& Name, bool Cascade, bool FKPartialDelete) {
  if (!FConstraintManager) throw EMdbException(11482, SNoConstraint, {Name, FTableName});
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  TMdbConstraintDef* D = Defs.GetDefByName(Name);
  if (D == nullptr) throw EMdbException(11482, SNoConstraint, {Name, FTableName});
  if (D->ConstraintType() == ctPK) {
    if (Defs.ForeignKeysActionsExists) {
      if (!Cascade) throw EMdbException(11483, SPrimaryReferenced, {Name, FTableName});
      // Each deletion removes the action from the list: the walk goes on at the same position.
      for (std::int32_t i = 0; i < Defs.Count();) {
        if (Defs.GetDef(i)->ConstraintType() != ctFKAction) {
          ++i;
          continue;
        }
        const String ActionName = Defs.GetDef(i)->Name();
        DeleteConstraint(Cursor, ActionName, true, false);
      }
    }
    const std::int32_t IndexID = static_cast<TMdbConstraintDefUnique*>(Defs.GetDefByName(Name))->IndexObjectID;
    DeleteIndex(IndexID, Cursor);
    return;
  }
  if (IsForeignKeyType(D) && !FKPartialDelete) {
    auto* F = static_cast<TMdbConstraintDefForeignKeyAction*>(D);
    const String Partner = F->ReferencedFKName;
    if (UpperNameCRC(F->ReferencedTableName) == FTableNameCRC) {
      const std::int32_t p = Defs.GetDefNumberByName(Partner);
      if (p < 0) throw EMdbException(12364, SNoConstraint, {Partner, FTableName});
      Defs.Delete(p);
    } else {
      std::unique_ptr<TMdbLocalCursor> Other = OpenReferencedTableCursor(Cursor, F, true, false);
      try {
        Other->FTableData->DeleteConstraint(Other.get(), Partner, false, true);
      } catch (...) {
        TMdbTableData::CloseAndFreeReferencedTableCursor(Other);
        throw;
      }
      TMdbTableData::CloseAndFreeReferencedTableCursor(Other);
    }
  }
  const std::int32_t n = Defs.GetDefNumberByName(Name);
  if (n < 0) throw EMdbException(12172, SNoConstraint, {Name, FTableName});
  Defs.Delete(n);
  FConstraintManager->FEmpty = Defs.Count() == 0;
  ChangeTableMetaDataState(ltoCreateTable);
  FTableState.LastTableOperation = ltoDeleteConstraint;
}

void TMdbTableData::RenameReferenceTableName(TMdbCursor*, const String& OldName, const String& NewName) {
  if (!FConstraintManager) return;
  TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  for (std::int32_t i = 0; i < Defs.Count(); ++i) {
    if (!IsForeignKeyType(Defs.GetDef(i))) continue;
    auto* D = static_cast<TMdbConstraintDefForeignKeyAction*>(Defs.GetDef(i));
    if (SameName(D->ReferencedTableName, OldName)) D->ReferencedTableName = NewName;
    RemoveFKTemporaryNamePrefixes(D);
  }
  ChangeTableMetaDataState(ltoCreateTable);
  FTableState.LastTableOperation = ltoRenameReferencedTableName;
}

// ---- fields ----------------------------------------------------------------------------------------------

void TMdbTableData::RenameField(TMdbCursor*, const String& FieldName, const String& NewFieldName) {
  TMdbFieldDefs& Fields = FieldDefs();
  TMdbFieldDef* F = Fields.GetFieldDefByName(FieldName);
  if (F == nullptr) throw EMdbException(30343, SFieldNotFound, {FieldName});
  if (Fields.GetFieldDefByName(NewFieldName) != nullptr)
    throw EMdbException(30344, SFieldExists, {FieldName, NewFieldName});
  if (FIndexManager) {
    const TMdbIndexDefs& Indexes = FIndexManager->IndexDefs();
    for (std::int32_t i = 0; i < Indexes.Count(); ++i)
      for (const auto& C : Indexes.GetDef(i)->FIndexColumns)
        if (SameName(C.FieldName, F->Name()))
          throw EMdbException(11489, SFieldInIndex, {FieldName, FTableName, Indexes.GetDef(i)->Name()});
  }
  if (FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysExists) {
    TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
    for (std::int32_t i = 0; i < Defs.Count(); ++i) {
      if (!IsForeignKeyType(Defs.GetDef(i))) continue;
      for (const auto& C : static_cast<TMdbConstraintDefForeignKeyAction*>(Defs.GetDef(i))->Columns)
        if (C.ColumnObjectID == F->ObjectID())
          throw EMdbException(11488, SFieldInForeignKey, {FieldName, FTableName, Defs.GetDef(i)->Name()});
    }
  }
  F->SetName(NewFieldName);
  ChangeTableMetaDataState(ltoCreateTable);
  FTableState.LastTableOperation = ltoRenameField;
}

// ---- indexes ---------------------------------------------------------------------------------------------

namespace {

// Every open cursor of the table takes the index definitions as they are now.
void RefreshCursorIndexes(const std::vector<TMdbCursor*>& Cursors, TMdbBaseIndexManager* Indexes) {
  for (TMdbCursor* C : Cursors) {
    if (TMdbIndexDefs* D = C->GetIndexDefs()) D->Assign(Indexes->IndexDefs());
    C->UpdateIndexDefinitions();
  }
}

}  // namespace

void TMdbTableData::AddIndex(TMdbIndexDef* IndexDef, TMdbCursor* Cursor) {
  if (Cursor == nullptr || IndexDef == nullptr || !FIndexManager) throw EMdbException(11888, SNilPointer);
  void* Position = Cursor->SavePosition();
  struct TRestore {
    TMdbCursor* C;
    void*& P;
    ~TRestore() {
      C->RestorePosition(P);
      C->FreePosition(P);
    }
  } Restore{Cursor, Position};
  FIndexManager->CreateIndex(Cursor, IndexDef);
  if (!IndexDef->FTemporary && !Cursor->FTemporary && FConstraintManager) FConstraintManager->AddConstraintFromIndex(IndexDef);
  RefreshCursorIndexes(FCursorList, FIndexManager.get());
  ChangeTableMetaDataState(ltoCreateTable);
  ChangeTableState(ltoAddIndex);
}

void TMdbTableData::DeleteIndex(std::int32_t IndexID, TMdbCursor* Cursor) {
  if (Cursor == nullptr) throw EMdbException(11888, SNilPointer);
  if (!FIndexManager) throw EMdbException(11888, SNilPointer);
  // An unknown id is refused by the drop (20018) before anything changes.
  const TMdbIndexDef* D = FIndexManager->IndexDefs().GetDefByObjectId(IndexID);
  if (D != nullptr && !D->FTemporary && !Cursor->FTemporary && FConstraintManager)
    FConstraintManager->DeleteConstraintForIndexID(IndexID);
  FIndexManager->DropIndex(SessionIDOf(Cursor), IndexID);
  RefreshCursorIndexes(FCursorList, FIndexManager.get());
  ChangeTableMetaDataState(ltoCreateTable);
  ChangeTableState(ltoDeleteIndex);
}

void TMdbTableData::DeleteAllIndexes(TMdbCursor* Cursor) {
  if (!FIndexManager) return;
  while (FIndexManager->IndexDefs().Count() > 0) DeleteIndex(FIndexManager->IndexDefs().GetDef(0)->ObjectID(), Cursor);
}

String TMdbTableData::FindIndex(TMdbCursor*, TMdbWideStringList* FieldNamesList, TMdbWideStringList* AscDescList,
                                TMdbWideStringList* CaseSensitivityList) {
  if (!FIndexManager) return String();
  const std::int32_t Id = FIndexManager->FindIndex(FieldNamesList, AscDescList, CaseSensitivityList);
  if (Id == -1) return String();
  const TMdbIndexDef* D = FIndexManager->IndexDefs().GetDefByObjectId(Id);
  if (D == nullptr) throw EMdbException(11384, SIndexByID, {Id});
  return D->Name();
}
