#include "engines/mdb/storage/MdbLocalSession.h"

#include <filesystem>
#include <mutex>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbMemoryDatabaseData.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SDatabaseAlreadyOpen[] = u"Cannot create database. Database is already open";
constexpr char16_t STransactionAlreadyStarted[] = u"Transaction already started in database '%s'";
constexpr char16_t STransactionNotStarted[] = u"Transaction is not started in database '%s'";
constexpr char16_t STempTransaction[] = u"Cannot start transaction. Only disk databases are allowed for this";
constexpr char16_t SCannotConnect[] =
    u"Cannot connect to database '%s'. Only memory and temporary databases are available";
constexpr char16_t SNotStarted[] = u"Error - the database engine is not started";
constexpr char16_t SNoTablesReturned[] =
    u"Error - cannot create view '%s'. Invalid SQL statement - no tables returned: \r\n%s";
constexpr char16_t SInvalidColumnsCount[] =
    u"Error - cannot create view '%s'. Invalid columns count specified ( %d ), query returns %d columns, SQL "
    u"statement: \r\n%s";
constexpr char16_t SNoCursorReturned[] =
    u"Error - cannot create view '%s'. Invalid SQL statement - no cursor returned: \r\n%s";

TMdbDatabaseDataRegistry& Registry() {
  TMdbDatabaseDataRegistry* R = DatabaseDataRegistry();
  if (R == nullptr) throw EMdbException(30902, SNotStarted);
  return *R;
}

using TRegistryLock = std::unique_lock<std::recursive_mutex>;
TRegistryLock LockRegistry() { return TRegistryLock(Registry().Mutex()); }

String DatabaseNameOf(const TMdbDatabaseData* D) { return AnsiToString(D->FDatabaseName); }

}  // namespace

TMdbLocalSession::TMdbLocalSession() {
  FLockParams.RetryCount = 1;
  FSessionVariables = std::make_unique<TMdbSQLParams>();
}

TMdbLocalSession::~TMdbLocalSession() {
  FTransaction.reset();
  // A database never keeps a freed session in its list.
  DisconnectQuietly();
}

void TMdbLocalSession::RaiseNotBound(int Code) const { throw EMdbException(Code, SNilPointer); }

// ---- registry ----------------------------------------------------------------------------------------

TMdbDatabaseData* TMdbLocalSession::InternalFindDatabaseData() {
  TRegistryLock G = LockRegistry();
  if (Temporary) return FindDatabaseData(false, true, "TEMP", String());
  if (InMemory) return FindDatabaseData(true, false, FDatabaseName, String());
  return FindDatabaseData(false, false, FDatabaseFileName, FDatabaseFileNameUnicode);
}

TMdbDatabaseData* TMdbLocalSession::InternalCreateDatabaseData() {
  TRegistryLock G = LockRegistry();
  if (!InMemory || Temporary) return nullptr;
  auto D = std::make_unique<TMdbMemoryDatabaseData>();
  D->FDatabaseName = FDatabaseFileName;
  Registry().Add(D.get());
  return D.release();
}

TMdbDatabaseData* TMdbLocalSession::InternalFindOrCreateDatabaseData() {
  TRegistryLock G = LockRegistry();
  if (TMdbDatabaseData* D = InternalFindDatabaseData()) return D;
  return InternalCreateDatabaseData();
}

TMdbDatabaseData* TMdbLocalSession::BindForQuery() {
  if (FDatabaseData == nullptr) FDatabaseData = InternalFindOrCreateDatabaseData();
  return FDatabaseData;
}

template <class R>
R TMdbLocalSession::AskTemporarilyBound(const std::function<R(TMdbDatabaseData*)>& Ask, R Default) {
  TRegistryLock G = LockRegistry();
  if (FDatabaseData) return Ask(FDatabaseData);
  bool Created = false;
  TMdbDatabaseData* D = InternalFindDatabaseData();
  if (D == nullptr) {
    D = InternalCreateDatabaseData();
    Created = D != nullptr;
  }
  if (D == nullptr) return Default;
  std::unique_ptr<TMdbDatabaseData> Owned(Created ? D : nullptr);
  return Ask(D);
}

// ---- connection --------------------------------------------------------------------------------------

bool TMdbLocalSession::GetConnected() { return FDatabaseData != nullptr && FRegistered; }

void TMdbLocalSession::SetConnected(bool Value) {
  if (Value == GetConnected()) {
    // A bound-only session lets go of its database on a disconnect; there is nothing to detach.
    if (!Value) FDatabaseData = nullptr;
    return;
  }
  TRegistryLock G = LockRegistry();
  if (Value) {
    FTransaction.reset();
    FDatabaseData = InternalFindOrCreateDatabaseData();
    if (FDatabaseData == nullptr) {
      throw EMdbException(30901, SCannotConnect,
                          {AnsiToString(InMemory || Temporary ? FDatabaseName : FDatabaseFileName)});
    }
    try {
      FDatabaseData->ConnectSession(this);
    } catch (...) {
      FDatabaseData->FreeIfNoSessionsConnected();
      FDatabaseData = nullptr;
      throw;
    }
    FRegistered = true;
    return;
  }
  // An open transaction ends with the connection (rolled back when freed).
  FTransaction.reset();
  TMdbDatabaseData* D = FDatabaseData;
  FDatabaseData = nullptr;
  FRegistered = false;
  D->DisconnectSession(this);
  D->FreeIfNoSessionsConnected();
}

void TMdbLocalSession::CreateDatabase() {
  TRegistryLock G = LockRegistry();
  if (InternalFindDatabaseData() != nullptr) throw EMdbException(20092, SDatabaseAlreadyOpen);
  TMdbDatabaseData* D = InternalCreateDatabaseData();
  if (D == nullptr) throw EMdbException(30901, SCannotConnect, {AnsiToString(FDatabaseFileName)});
  TMdbDatabaseData* Saved = FDatabaseData;
  FDatabaseData = D;
  auto Finish = [&] {
    D->FreeIfNoSessionsConnected();
    FDatabaseData = Saved;
  };
  try {
    D->CreateDatabase(this);
  } catch (...) {
    Finish();
    throw;
  }
  Finish();
}

// ---- database queries --------------------------------------------------------------------------------

void TMdbLocalSession::FlushFileBuffers() {
  if (!FDatabaseData) RaiseNotBound(11235);
  FDatabaseData->FlushFileBuffers();
}

double TMdbLocalSession::GetFormatVersion() {
  TRegistryLock G = LockRegistry();
  TMdbDatabaseData* D = BindForQuery();
  return D ? D->GetFormatVersion(this) : 0.0;
}

std::int32_t TMdbLocalSession::GetTotalPageCount() {
  TRegistryLock G = LockRegistry();
  TMdbDatabaseData* D = BindForQuery();
  return D ? D->GetTotalPageCount(this) : 0;
}

std::int32_t TMdbLocalSession::GetFreePageCount() {
  TRegistryLock G = LockRegistry();
  TMdbDatabaseData* D = BindForQuery();
  return D ? D->GetFreePageCount(this) : 0;
}

bool TMdbLocalSession::IsDatabaseEncrypted() {
  return AskTemporarilyBound<bool>([this](TMdbDatabaseData* D) { return D->IsDatabaseEncrypted(this); }, false);
}

bool TMdbLocalSession::IsDatabaseEncryptedByPassword() {
  return AskTemporarilyBound<bool>([this](TMdbDatabaseData* D) { return D->IsDatabaseEncryptedByPassword(this); },
                                   false);
}

bool TMdbLocalSession::IsCryptoParamsValid() {
  return AskTemporarilyBound<bool>([this](TMdbDatabaseData* D) { return D->IsCryptoParamsValid(this); }, true);
}

void TMdbLocalSession::MakeExeDatabase(const String& ExeFileName, const String& ExeDatabaseFileName) {
  AskTemporarilyBound<bool>(
      [&](TMdbDatabaseData* D) {
        D->MakeExeDatabase(this, ExeFileName, ExeDatabaseFileName);
        return true;
      },
      false);
}

void TMdbLocalSession::RemoveDatabaseFromExe() {
  AskTemporarilyBound<bool>(
      [this](TMdbDatabaseData* D) {
        D->RemoveDatabaseFromExe(this);
        return true;
      },
      false);
}

bool TMdbLocalSession::IsMdbTableDatabaseFile() {
  return AskTemporarilyBound<bool>([this](TMdbDatabaseData* D) { return D->IsMdbTableDatabaseFile(this); }, false);
}

bool TMdbLocalSession::GetDatabaseExists() {
  if (InMemory) return InternalFindDatabaseData() != nullptr;
  std::error_code E;
  if (!FDatabaseFileNameUnicode.empty()) return std::filesystem::exists(StringToUTF8(FDatabaseFileNameUnicode), E);
  return std::filesystem::exists(StringToUTF8(AnsiToString(FDatabaseFileName)), E);
}

void TMdbLocalSession::GetTablesList(TMdbWideStringList* List) {
  if (FDatabaseData) FDatabaseData->GetTablesList(this, List);
}

TMdbTableInfoArray TMdbLocalSession::GetTablesInfo(bool SortByTableName) {
  return FDatabaseData ? FDatabaseData->GetTablesInfo(SortByTableName) : TMdbTableInfoArray();
}

TMdbTableState TMdbLocalSession::GetTableState(const String& TableName) {
  return FDatabaseData ? FDatabaseData->GetTableState(TableName) : TMdbTableState{};
}

bool TMdbLocalSession::TableExists(const String& TableName) {
  TMdbDatabaseData* D = InternalFindOrCreateDatabaseData();
  if (D == nullptr) return false;
  if (!GetConnected()) FDatabaseData = D;
  return FDatabaseData->TableExists(this, TableName);
}

void TMdbLocalSession::LoadDatabaseFromStream(TStream* Stream) {
  if (!BindForQuery()) throw EMdbException(30901, SCannotConnect, {AnsiToString(FDatabaseFileName)});
  FDatabaseData->LoadDatabaseFromStream(this, Stream);
}

void TMdbLocalSession::SaveDatabaseToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm,
                                            Byte CompressionMode, std::int32_t BlockSize) {
  if (!BindForQuery()) throw EMdbException(30901, SCannotConnect, {AnsiToString(FDatabaseFileName)});
  FDatabaseData->SaveDatabaseToStream(this, Stream, CompressionAlgorithm, CompressionMode, BlockSize);
}

// ---- transactions ------------------------------------------------------------------------------------

void TMdbLocalSession::StartTransaction() {
  if (!FDatabaseData) RaiseNotBound(10813);
  if (FTransaction) throw EMdbException(10814, STransactionAlreadyStarted, {DatabaseNameOf(FDatabaseData)});
  TRegistryLock G = LockRegistry();
  if (FDatabaseData->FDatabaseName == "TEMP") throw EMdbException(10831, STempTransaction);
  FTransaction = std::make_unique<TMdbTransaction>(this, FDatabaseData);
}

void TMdbLocalSession::Commit(bool FlushFileBuffers) {
  if (!FDatabaseData) RaiseNotBound(10815);
  if (!FTransaction) throw EMdbException(10816, STransactionNotStarted, {DatabaseNameOf(FDatabaseData)});
  // A failed commit has rolled back: the transaction is over either way.
  std::unique_ptr<TMdbTransaction> T = std::move(FTransaction);
  T->Commit(FlushFileBuffers);
}

void TMdbLocalSession::Rollback() {
  if (!FDatabaseData) RaiseNotBound(10817);
  if (!FTransaction) throw EMdbException(10818, STransactionNotStarted, {DatabaseNameOf(FDatabaseData)});
  std::unique_ptr<TMdbTransaction> T = std::move(FTransaction);
  T->Rollback();
}

// ---- forwarding --------------------------------------------------------------------------------------

void TMdbLocalSession::RemoveAllLocks() {
  if (FDatabaseData && GetConnected()) FDatabaseData->RemoveAllLocks(SessionID);
}

void TMdbLocalSession::ClearCache() {
  if (FDatabaseData) FDatabaseData->ClearCache();
}

String TMdbLocalSession::GetTableComment(const String& TableName) {
  return FDatabaseData ? FDatabaseData->GetTableComment(TableName) : String();
}

void TMdbLocalSession::SetTableComment(const String& TableName, const String& Comment) {
  if (!FDatabaseData) RaiseNotBound(11969);
  FDatabaseData->SetTableComment(TableName, Comment);
}

void TMdbLocalSession::CreateStoredFunction(const String& SQLScript) {
  if (!FDatabaseData) RaiseNotBound(12000);
  FDatabaseData->CreateStoredFunction(this, SQLScript);
}

void TMdbLocalSession::CreateStoredFunction(TObject* StoredFunction, const String& SQLScript) {
  if (!FDatabaseData) RaiseNotBound(12104);
  FDatabaseData->CreateStoredFunction(StoredFunction, SQLScript);
}

void TMdbLocalSession::ParseStoredFunction(TObject* Lexer, void* Token, TObject*& StoredFunction, String& SQLScript) {
  SQLScript.clear();
  StoredFunction = nullptr;
  if (!FDatabaseData) RaiseNotBound(12108);
  FDatabaseData->ParseStoredFunction(this, Lexer, Token, StoredFunction, SQLScript);
}

void TMdbLocalSession::DropStoredFunction(const String& FunctionName) {
  if (!FDatabaseData) RaiseNotBound(12001);
  FDatabaseData->DropStoredFunction(this, FunctionName);
}

void TMdbLocalSession::AlterStoredFunction(const String& FunctionName, const String& NewSQLScript) {
  if (!FDatabaseData) RaiseNotBound(12209);
  FDatabaseData->AlterStoredFunction(this, FunctionName, NewSQLScript);
}

void TMdbLocalSession::AlterStoredFunctionRename(const String& FunctionName, const String& NewFunctionName) {
  if (!FDatabaseData) RaiseNotBound(12223);
  FDatabaseData->AlterStoredFunctionRename(this, FunctionName, NewFunctionName);
}

bool TMdbLocalSession::ExecuteStoredFunction(const String& FunctionName, TMdbVariant* ResultValue,
                                             TMdbSQLParams* Params) {
  if (!FDatabaseData) RaiseNotBound(12002);
  return FDatabaseData->ExecuteStoredFunction(this, FunctionName, ResultValue, Params);
}

String TMdbLocalSession::FindStoredFunction(const String& FunctionName) {
  if (!FDatabaseData) RaiseNotBound(12003);
  return FDatabaseData->FindStoredFunction(FunctionName);
}

TObject* TMdbLocalSession::GetStoredFunctionByName(const String& FunctionName) {
  if (!FDatabaseData) RaiseNotBound(12475);
  return FDatabaseData->GetStoredFunctionByName(FunctionName, this);
}

TObject* TMdbLocalSession::ParseStoredFunctionParams(TObject* Lexer, TObject* ParentFunction, void* Token,
                                                     TMdbSQLParams*& Params) {
  Params = nullptr;
  if (!FDatabaseData) RaiseNotBound(12090);
  return FDatabaseData->ParseStoredFunctionParams(this, Lexer, ParentFunction, Token, Params);
}

void TMdbLocalSession::GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts,
                                          bool SortNamesByAlphabet) {
  if (!FDatabaseData) RaiseNotBound(12004);
  FDatabaseData->GetStoredFunctions(FunctionNames, FunctionSQLScripts, SortNamesByAlphabet);
}

void TMdbLocalSession::GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts,
                                          bool SortNamesByAlphabet) {
  if (!FDatabaseData) RaiseNotBound(12005);
  FDatabaseData->GetStoredFunctions(FunctionNames, FunctionSQLScripts, SortNamesByAlphabet);
}

void TMdbLocalSession::ExportStoredFunctionsToSQL(String& SQL) {
  if (!FDatabaseData) RaiseNotBound(12139);
  FDatabaseData->ExportStoredFunctionsToSQL(SQL);
}

// ---- views -------------------------------------------------------------------------------------------

void TMdbLocalSession::CreateView(const String& ViewName, const String& SelectStatement, TMdbWideStringList* Columns,
                                  bool bWithCheckOption, const String& Comment) {
  if (!FDatabaseData) RaiseNotBound(12565);
  // The query is run once to learn the tables it reads and the columns it gives; its result cursor
  // goes with the processor.
  TMdbObjectNameArray Tables, ColumnNames;
  {
    TMdbWideStringList TableNames;
    std::unique_ptr<TMdbLocalSQLProcessor> P = InternalCreateSQLProcessor(SelectStatement);
    TMdbCursor* Result = P->OpenQuery(&TableNames);
    if (TableNames.Count() == 0) throw EMdbException(12570, SNoTablesReturned, {ViewName, SelectStatement});
    const std::int32_t Wanted = Columns ? Columns->Count() : 0;
    const std::int32_t Visible = Result ? Result->FVisibleFieldDefs.Count() : 0;
    if (Columns && Visible < Wanted)
      throw EMdbException(12577, SInvalidColumnsCount, {ViewName, Wanted, Visible, SelectStatement});
    for (std::int32_t i = 0; i < TableNames.Count(); ++i) Tables.Add(TableNames.Strings(i));
    for (std::int32_t i = 0; i < Wanted; ++i) ColumnNames.Add(Columns->Strings(i));
  }
  FDatabaseData->CreateView(
      this, ViewName,
      std::make_unique<TMdbViewDef>(ViewName, SelectStatement, &Tables, &ColumnNames, bWithCheckOption, Comment));
}

void TMdbLocalSession::DropView(const String& ViewName, bool bCascade) {
  if (!FDatabaseData) RaiseNotBound(12566);
  FDatabaseData->DropView(this, ViewName, bCascade);
}

TMdbViewDef* TMdbLocalSession::FindView(const String& ViewName) {
  return FDatabaseData ? FDatabaseData->FindView(this, ViewName) : nullptr;
}

void TMdbLocalSession::CloseLocalSessionWithoutDatabase() {
  FDatabaseData = nullptr;
  FRegistered = false;
  delete this;
}

std::unique_ptr<TMdbLocalSQLProcessor> TMdbLocalSession::InternalCreateSQLProcessor(const String& SQLStatement) {
  if (SQLStatement.empty()) throw ERangeError(msg::SRangeError);
  std::unique_ptr<TMdbLocalSQLProcessor> P = MdbCreateLocalSQLProcessor(nullptr, CaseInsensitive);
  SetDatabaseParams(P->FDefaultDatabaseParams);
  P->FRequestLive = true;
  P->FInMemory = InMemory;
  P->PrepareStatement(SQLStatement);
  return P;
}

TMdbCursor* TMdbLocalSession::CreateCursor(const String& TableName, bool bOpenView) {
  std::unique_ptr<TMdbViewDef> View(bOpenView ? FindView(TableName) : nullptr);
  std::unique_ptr<TMdbCursor> C;
  if (View) {
    std::unique_ptr<TMdbLocalSQLProcessor> P = InternalCreateSQLProcessor(View->SelectStatement);
    TMdbCursor* Result = P->OpenQuery(nullptr);
    if (Result == nullptr) throw EMdbException(12574, SNoCursorReturned, {View->Name(), View->SelectStatement});
    // The processor lets go of its result cursor, which is ours from here on.
    P->ResetRootAOCursorInResultDataset();
    C.reset(Result);
    C->FIsView = true;
    C->FIsViewWithCheckOption = View->WithCheckOption;
    C->FViewName = View->Name();
    C->FComment = View->Comment;
    C->FViewSelect = View->SelectStatement;
    C->FViewColumns.clear();
    const std::int32_t n = View->ColumnNames ? View->ColumnNames->Count() : 0;
    for (std::int32_t i = 0; i < n; ++i) {
      const String Column = View->ColumnNames->GetString(i);
      if (i > 0) C->FViewColumns += u',';
      C->FViewColumns += Column;
      if (i < C->FVisibleFieldDefs.Count()) C->FVisibleFieldDefs.GetDef(i)->SetName(Column);
    }
  } else {
    C = std::make_unique<TMdbLocalCursor>();
  }
  C->FTableName = TableName;
  C->FSession = this;
  return C.release();
}
