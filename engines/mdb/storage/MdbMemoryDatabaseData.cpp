#include "engines/mdb/storage/MdbMemoryDatabaseData.h"

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbSession.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t STableExists[] = u"Table '%s' already exists";
constexpr char16_t STableNotExists[] = u"Table '%s' does not exist";
constexpr char16_t SViewReferenced[] =
    u"Error - cannot delete view '%s' as it is referenced by some views. Use CASCADE option to delete all of them.";

}  // namespace

TMdbMemoryDatabaseData::TMdbMemoryDatabaseData() {
  FTemporary = false;
  FInMemory = true;
  FPageManager = nullptr;
  FLockParams.RetryCount = 1000;
  FLockParams.Delay = 1;
  FStoredFunctionsManager = std::make_unique<TMdbStoredFunctionManager>(this);
}

void TMdbMemoryDatabaseData::ConnectSession(TMdbBaseSession* Session) {
  if (Session == nullptr) throw EMdbException(10269, u"Nil pointer occured");
  TMdbDatabaseData::ConnectSession(Session);
  // Thread ids are positive; the sign bit is kept clear all the same, -1 means "no session".
  Session->SessionID = CurrentThreadID() & 0x7FFFFFFF;
}

TMdbTableData* TMdbMemoryDatabaseData::CreateTableData(TMdbCursor* Cursor) {
  if (Cursor == nullptr) throw EMdbException(10269, u"Nil pointer occured");
  auto T = std::make_unique<TMdbMemoryTableData>(this, Cursor->FMemoryTableAllocBy);
  T->SetTableName(Cursor->FTableName);
  TMdbTableData* Result = T.get();
  AddTableData(T.release());
  return Result;
}

TMdbTableData* TMdbMemoryDatabaseData::FindTableByName(const String& TableName) const {
  const std::uint32_t Crc = NameCRC32Wide(TableName, true);
  const String Upper = UpperCaseWide(TableName);
  for (const auto& T : FTableDataList)
    if (T && T->TableNameCRC() == Crc && UpperCaseWide(T->TableName()) == Upper) return T.get();
  return nullptr;
}

String TMdbMemoryDatabaseData::GetTableComment(const String& TableName) {
  TMdbLockGuard G(FThreadSync, false);
  const TMdbTableData* T = FindTableByName(TableName);
  return T ? T->FComment : String();
}

void TMdbMemoryDatabaseData::SetTableComment(const String& TableName, const String& Comment) {
  TMdbLockGuard G(FThreadSync, true);
  if (TMdbTableData* T = FindTableByName(TableName)) T->FComment = Comment;
}

TMdbStoredFunctionManager* TMdbMemoryDatabaseData::StoredFunctionManager() const {
  return static_cast<TMdbStoredFunctionManager*>(FStoredFunctionsManager.get());
}

// ---- tables and views ------------------------------------------------------------------------------------

void TMdbMemoryDatabaseData::InternalGetTablesList(TMdbBaseSession* Session, TMdbWideStringList* List) {
  TMdbDatabaseData::InternalGetTablesList(Session, List);
  if (List == nullptr) return;
  for (std::int32_t i = 0; i < FViewDefs.Count(); ++i) List->Add(FViewDefs.GetDef(i)->Name(), false);
}

TMdbTableInfoArray TMdbMemoryDatabaseData::GetTablesInfo(bool SortByTableName) {
  TMdbTableInfoArray Infos = TMdbDatabaseData::GetTablesInfo(false);
  {
    TMdbLockGuard G(FThreadSync, false);
    for (std::int32_t i = 0; i < FViewDefs.Count(); ++i) {
      const TMdbViewDef* V = FViewDefs.GetDef(i);
      TMdbTableInfo I;
      I.TableName = V->Name();
      I.Comment = V->Comment;
      I.CreationDate = V->CreationDate;
      I.TableState.LastTableOperation = ltoCreateView;
      I.TableState.LastModificationDate = V->CreationDate;
      Infos.push_back(std::move(I));
    }
  }
  if (!Infos.empty() && SortByTableName) SortTableInfoArray(Infos);
  return Infos;
}

bool TMdbMemoryDatabaseData::TableExists(TMdbBaseSession* Session, const String& TableName) {
  if (TMdbDatabaseData::TableExists(Session, TableName)) return true;
  if (TableName.empty()) return false;
  TMdbLockGuard G(FThreadSync, false);
  return ViewExists(TableName);
}

std::int32_t TMdbMemoryDatabaseData::ViewCount() {
  TMdbLockGuard G(FThreadSync, false);
  return FViewDefs.Count();
}

void TMdbMemoryDatabaseData::CreateView(TMdbBaseSession* Session, const String& ViewName,
                                        std::unique_ptr<TMdbViewDef> ViewDef) {
  if (!ViewDef) throw EMdbException(12623, SNilPointer);
  TMdbLockGuard G(FThreadSync, true);
  // Checked under the same hold as the append: two sessions cannot both take one name.
  if (TableExists(Session, ViewName)) throw EMdbException(12623, STableExists, {ViewName});
  FViewDefs.Add(std::move(ViewDef));
}

void TMdbMemoryDatabaseData::DropView(TMdbBaseSession* Session, const String& ViewName, bool bCascade) {
  TMdbLockGuard G(FThreadSync, true);
  if (!TableExists(Session, ViewName)) throw EMdbException(12624, STableNotExists, {ViewName});
  if (bCascade)
    FViewDefs.DeleteChildren(ViewName);
  else if (FViewDefs.FindChildren(ViewName))
    throw EMdbException(12625, SViewReferenced, {ViewName});
  const std::int32_t i = FViewDefs.GetDefNumberByName(ViewName);
  if (i >= 0) FViewDefs.Delete(i);
}

TMdbViewDef* TMdbMemoryDatabaseData::FindView(TMdbBaseSession*, const String& ViewName) {
  TMdbLockGuard G(FThreadSync, false);
  const TMdbViewDef* V = FViewDefs.GetDefByName(ViewName);
  if (V == nullptr) return nullptr;
  auto Copy = std::make_unique<TMdbViewDef>();
  Copy->Assign(V);
  Copy->CreationDate = V->CreationDate;
  return Copy.release();
}

bool TMdbMemoryDatabaseData::CheckDeleteTableOrView(const String& Name, bool Cascade) {
  TMdbLockGuard G(FThreadSync, true);
  if (Cascade)
    FViewDefs.DeleteChildren(Name);
  else if (FViewDefs.FindChildren(Name))
    throw EMdbException(12626, SViewReferenced, {Name});
  const std::int32_t i = FViewDefs.GetDefNumberByName(Name);
  if (i < 0) return false;
  FViewDefs.Delete(i);
  return true;
}
