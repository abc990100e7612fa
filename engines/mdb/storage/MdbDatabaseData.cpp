#include "engines/mdb/storage/MdbDatabaseData.h"

#include <algorithm>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbAdvancedTableData.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SNotOverridden[] = u"The method '%s' not overrided in class '%s'";
constexpr char16_t SNotSupported[] = u"Error - operation is not supported";
constexpr char16_t SNoStoredFunctionsManager[] =
    u"Error - Stored Function Manager is not created. Probably you are using old database format (before v.5.10). "
    u"Try to repair the database file. ClassName = %s, DatabaseName = '%s', DatabaseNameUnicode = '%s', InMemory = %s";

std::unique_ptr<TMdbDatabaseDataRegistry> GRegistry;

std::uint32_t NameKey(const String& Name) { return NameCRC32Wide(Name, true); }

}  // namespace

TMdbDatabaseData::TMdbDatabaseData() : FThreadSync(this, AnsiString()) {}

TMdbDatabaseData::~TMdbDatabaseData() {
  FreeAllTableData();
  if (GRegistry) GRegistry->Remove(this);
}

[[noreturn]] void TMdbDatabaseData::NotOverridden(const char16_t* Method) const {
  throw EMdbException(30339, SNotOverridden, {String(Method), ClassName()});
}

[[noreturn]] void TMdbDatabaseData::NoStoredFunctionsManager(int Code) const {
  throw EMdbException(Code, SNoStoredFunctionsManager,
                      {ClassName(), AnsiToString(FDatabaseName), FDatabaseNameUnicode, String(FInMemory ? u"True" : u"False")});
}

// ---- tables ------------------------------------------------------------------------------------------

void TMdbDatabaseData::InternalGetTablesList(TMdbBaseSession*, TMdbWideStringList* List) {
  if (List == nullptr) return;
  for (const auto& T : FTableDataList)
    if (T) List->Add(T->TableName(), false);
}

void TMdbDatabaseData::GetTablesList(TMdbBaseSession* Session, TMdbWideStringList* List) {
  TMdbLockGuard G(FThreadSync, false);
  InternalGetTablesList(Session, List);
}

TMdbTableInfoArray TMdbDatabaseData::GetTablesInfo(bool SortByTableName) {
  TMdbTableInfoArray Infos;
  {
    TMdbLockGuard G(FThreadSync, false);
    Infos.reserve(FTableDataList.size());
    for (const auto& T : FTableDataList) {
      if (!T) continue;
      TMdbTableInfo I;
      I.TableName = T->TableName();
      I.Comment = T->FComment;
      I.CreationDate = T->FCreationDate;
      I.TableState = T->GetTableState();
      Infos.push_back(std::move(I));
    }
  }
  if (!Infos.empty() && SortByTableName) SortTableInfoArray(Infos);
  return Infos;
}

TMdbTableData* TMdbDatabaseData::FindTableDataByCRC(std::uint32_t NameCRC) const {
  for (const auto& T : FTableDataList)
    if (T && T->TableNameCRC() == NameCRC) return T.get();
  return nullptr;
}

TMdbTableState TMdbDatabaseData::GetTableState(const String& TableName) {
  if (TableName.empty()) return TMdbTableState{};
  const std::uint32_t Key = NameKey(TableName);
  TMdbLockGuard G(FThreadSync, false);
  TMdbTableData* T = FindTableDataByCRC(Key);
  return T ? T->GetTableState() : TMdbTableState{};
}

bool TMdbDatabaseData::TableExists(TMdbBaseSession*, const String& TableName) {
  if (TableName.empty()) return false;
  const std::uint32_t Key = NameKey(TableName);
  TMdbLockGuard G(FThreadSync, false);
  return FindTableDataByCRC(Key) != nullptr;
}

void TMdbDatabaseData::LoadDatabaseFromStream(TMdbBaseSession*, TStream*) { NotOverridden(u"LoadDatabaseFromStream"); }

void TMdbDatabaseData::SaveDatabaseToStream(TMdbBaseSession*, TStream*, TMdbCompressionAlgorithm, Byte, std::int32_t) {
  NotOverridden(u"SaveDatabaseToStream");
}

TMdbTableData* TMdbDatabaseData::CreateTableData(TMdbCursor*) { NotOverridden(u"CreateTableData"); }

TMdbTableData* TMdbDatabaseData::FindTableData(TMdbCursor* Cursor) {
  if (Cursor == nullptr) return nullptr;
  const std::uint32_t Key = NameKey(Cursor->FTableName);
  TMdbLockGuard G(FThreadSync, false);
  return FindTableDataByCRC(Key);
}

TMdbTableData* TMdbDatabaseData::FindOrCreateTableData(TMdbCursor* Cursor) {
  if (TMdbTableData* T = FindTableData(Cursor)) return T;
  return CreateTableData(Cursor);
}

void TMdbDatabaseData::CreateView(TMdbBaseSession*, const String&, std::unique_ptr<TMdbViewDef>) {
  throw EMdbException(12562, SNotSupported);
}

void TMdbDatabaseData::DropView(TMdbBaseSession*, const String&, bool) { throw EMdbException(12563, SNotSupported); }

// ---- lists -------------------------------------------------------------------------------------------

void TMdbDatabaseData::AddTableData(TMdbTableData* TableData) {
  if (TableData == nullptr) return;
  std::unique_ptr<TMdbTableData> Owned(TableData);
  TMdbLockGuard G(FThreadSync, true);
  FTableDataList.push_back(std::move(Owned));
}

void TMdbDatabaseData::RemoveTableData(TMdbTableData* TableData) noexcept {
  auto Remove = [&] {
    auto It = std::find_if(FTableDataList.begin(), FTableDataList.end(), [&](const auto& P) { return P.get() == TableData; });
    if (It == FTableDataList.end()) return;
    // The object is being destroyed by someone else: the list lets go without freeing it again.
    (void)It->release();
    FTableDataList.erase(It);
  };
  // Freed from FreeAllTableData, which already holds the lock exclusively.
  if (TableData != nullptr && TableData->FDoNotLockDatabaseData) {
    Remove();
    return;
  }
  try {
    TMdbLockGuard G(FThreadSync, true);
    Remove();
  } catch (...) {
    // The lock timed out: an entry left behind would be freed a second time, so it goes regardless.
    Remove();
  }
}

void TMdbDatabaseData::AddSession(TMdbBaseSession* Session) {
  TMdbLockGuard G(FThreadSync, true);
  FSessionList.push_back(Session);
}

void TMdbDatabaseData::RemoveSession(TMdbBaseSession* Session) {
  TMdbLockGuard G(FThreadSync, true);
  auto It = std::find(FSessionList.begin(), FSessionList.end(), Session);
  if (It != FSessionList.end()) FSessionList.erase(It);
}

void TMdbDatabaseData::FreeAllTableData() {
  TMdbLockGuard G(FThreadSync, true);
  while (!FTableDataList.empty()) {
    // Out of the list before it is freed: its destructor finds nothing to remove, and a failure
    // while freeing cannot keep the loop on the same entry.
    std::unique_ptr<TMdbTableData> T = std::move(FTableDataList.front());
    FTableDataList.erase(FTableDataList.begin());
    if (!T) continue;
    T->FDoNotLockDatabaseData = true;
    try {
      T.reset();
    } catch (...) {
    }
  }
}

std::int32_t TMdbDatabaseData::GetSessionsCount() {
  TMdbLockGuard G(FThreadSync, false);
  return static_cast<std::int32_t>(FSessionList.size());
}

std::int32_t TMdbDatabaseData::TableDataCount() {
  TMdbLockGuard G(FThreadSync, false);
  return static_cast<std::int32_t>(FTableDataList.size());
}

std::int32_t TMdbDatabaseData::GetNewObjectId() {
  const Int64 Id = FObjectIdSequence.GetNextVal();
  if (Id > INT32_MAX || Id < INT32_MIN) throw ERangeError(msg::SRangeError);
  return static_cast<std::int32_t>(Id);
}

void TMdbDatabaseData::ClearCache() {
  if (FPageManager) FPageManager->ClearCache();
}

void TMdbDatabaseData::RemoveAllLocks(std::int32_t SessionID) {
  TMdbLockGuard G(FThreadSync, false);
  for (const auto& T : FTableDataList)
    if (auto* A = dynamic_cast<TMdbAdvancedTableData*>(T.get())) A->RemoveAllSessionLocks(SessionID);
}

// ---- stored functions --------------------------------------------------------------------------------

void TMdbDatabaseData::CreateStoredFunction(TMdbBaseSession* Session, const String& SQLScript) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12006);
  FStoredFunctionsManager->CreateStoredFunction(Session, SQLScript);
}

void TMdbDatabaseData::CreateStoredFunction(TObject* StoredFunction, const String& SQLScript) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12105);
  FStoredFunctionsManager->CreateStoredFunction(StoredFunction, SQLScript);
}

void TMdbDatabaseData::ParseStoredFunction(TMdbBaseSession* Session, TObject* Lexer, void* Token,
                                           TObject*& StoredFunction, String& SQLScript) {
  SQLScript.clear();
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12107);
  FStoredFunctionsManager->ParseStoredFunction(Session, Lexer, Token, StoredFunction, SQLScript);
}

void TMdbDatabaseData::DropStoredFunction(TMdbBaseSession* Session, const String& FunctionName) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12007);
  FStoredFunctionsManager->DropStoredFunction(Session, FunctionName);
}

void TMdbDatabaseData::AlterStoredFunction(TMdbBaseSession* Session, const String& FunctionName, const String& NewSQLScript) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12208);
  FStoredFunctionsManager->AlterStoredFunction(Session, FunctionName, NewSQLScript);
}

void TMdbDatabaseData::AlterStoredFunctionRename(TMdbBaseSession* Session, const String& FunctionName,
                                                 const String& NewFunctionName) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12224);
  FStoredFunctionsManager->AlterStoredFunctionRename(Session, FunctionName, NewFunctionName);
}

bool TMdbDatabaseData::ExecuteStoredFunction(TMdbBaseSession* Session, const String& FunctionName,
                                             TMdbVariant* ResultValue, TMdbSQLParams* Params) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12008);
  return FStoredFunctionsManager->ExecuteStoredFunction(Session, FunctionName, ResultValue, Params);
}

String TMdbDatabaseData::FindStoredFunction(const String& FunctionName) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12009);
  return FStoredFunctionsManager->FindStoredFunction(FunctionName);
}

TObject* TMdbDatabaseData::GetStoredFunctionByName(const String& FunctionName, TMdbBaseSession* Session) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12476);
  return FStoredFunctionsManager->GetStoredFunctionByName(FunctionName, Session);
}

TObject* TMdbDatabaseData::ParseStoredFunctionParams(TMdbBaseSession* Session, TObject* Lexer,
                                                     TObject* ParentFunction, void* Token, TMdbSQLParams*& Params) {
  if (!FStoredFunctionsManager) return nullptr;
  return FStoredFunctionsManager->ParseStoredFunctionParams(Session, Lexer, ParentFunction, Token, Params);
}

void TMdbDatabaseData::GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts,
                                          bool SortNamesByAlphabet) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12010);
  FStoredFunctionsManager->GetStoredFunctions(FunctionNames, FunctionSQLScripts, SortNamesByAlphabet);
}

void TMdbDatabaseData::GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts,
                                          bool SortNamesByAlphabet) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12011);
  FStoredFunctionsManager->GetStoredFunctions(FunctionNames, FunctionSQLScripts, SortNamesByAlphabet);
}

void TMdbDatabaseData::ExportStoredFunctionsToSQL(String& SQL) {
  if (!FStoredFunctionsManager) NoStoredFunctionsManager(12138);
  FStoredFunctionsManager->ExportStoredFunctionsToSQL(SQL);
}

// ---- registry ----------------------------------------------------------------------------------------

void TMdbDatabaseDataRegistry::Add(TMdbDatabaseData* Data) {
  std::lock_guard G(FLock);
  FItems.push_back(Data);
}

void TMdbDatabaseDataRegistry::Remove(TMdbDatabaseData* Data) noexcept {
  std::lock_guard G(FLock);
  std::erase(FItems, Data);
}

std::int32_t TMdbDatabaseDataRegistry::Count() {
  std::lock_guard G(FLock);
  return static_cast<std::int32_t>(FItems.size());
}

TMdbDatabaseData* TMdbDatabaseDataRegistry::Get(std::int32_t Index) {
  std::lock_guard G(FLock);
  return Index >= 0 && Index < static_cast<std::int32_t>(FItems.size()) ? FItems[static_cast<std::size_t>(Index)] : nullptr;
}

TMdbDatabaseDataRegistry* DatabaseDataRegistry() { return GRegistry.get(); }

void MdbCreateDatabaseDataRegistry() {
  if (!GRegistry) GRegistry = std::make_unique<TMdbDatabaseDataRegistry>();
}

void MdbFreeDatabaseDataRegistry() {
  if (!GRegistry) return;
  {
    std::lock_guard G(GRegistry->Mutex());
    // Each database leaves the list from its destructor.
    while (TMdbDatabaseData* D = GRegistry->Get(0)) {
      delete D;
      GRegistry->Remove(D);  // in case a descendant's destructor bypassed the base's
    }
  }
  GRegistry.reset();
}

TMdbDatabaseData* FindDatabaseData(bool InMemory, bool Temporary, const AnsiString& DatabaseName,
                                   const String& DatabaseNameUnicode) {
  TMdbDatabaseDataRegistry* R = GRegistry.get();
  if (R == nullptr || (InMemory && Temporary)) return nullptr;
  const bool ByUnicode = !InMemory && !Temporary && !DatabaseNameUnicode.empty();
  const std::uint32_t Key = NameKey(ByUnicode ? DatabaseNameUnicode : AnsiToString(DatabaseName));
  std::lock_guard G(R->FLock);
  for (TMdbDatabaseData* D : R->FItems) {
    if (D == nullptr) continue;
    bool Match = false;
    if (InMemory)
      Match = D->FInMemory && NameKey(AnsiToString(D->FDatabaseName)) == Key;
    else if (Temporary)
      Match = D->FTemporary && NameKey(AnsiToString(D->FDatabaseName)) == Key;
    else
      Match = (!D->FDatabaseNameUnicode.empty() && NameKey(D->FDatabaseNameUnicode) == Key) ||
              NameKey(AnsiToString(D->FDatabaseName)) == Key;
    if (Match) return D;
  }
  return nullptr;
}
