// The local session: the engine's connection of one client to one database data object, found in the
// process-wide registry or (for a memory database) created and registered there. Almost every
// operation forwards to the bound database data, adding the session; the session's own logic is the
// registry lookup, the connection, the view definitions and the cursor factory.
//
// Contract:
// - Three states: unbound; bound (a database data object is attached for a query such as TableExists,
//   but the session is not registered with it and has no id); connected (registered, id given by the
//   database: the thread's id for a memory database). GetConnected is True only when connected, and
//   SetConnected(True) on a bound session connects it.
// - An operation that needs a bound database raises its own native code with "Nil pointer occured"
//   when unbound.
// - Only memory databases are created on demand. A session of a database that is neither in memory
//   nor temporary finds none: connecting it raises 30901, and the page, format and encryption queries
//   answer with the engine's fixed values without binding.
// - The registry lock serialises lookup-or-create, connect and disconnect, CreateDatabase,
//   StartTransaction and the temporarily bound queries.
// - Destruction disconnects a connected session, so that its database never lists a freed session.
#pragma once

#include <functional>
#include <memory>

#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTransaction.h"

class TMdbDatabaseData;
class TMdbLocalSQLProcessor;

class TMdbLocalSession : public TMdbBaseSession {
  VELLUM_CLASS(TMdbLocalSession)
 public:
  TMdbLocalSession();
  ~TMdbLocalSession() override;

  bool GetConnected() override;
  void SetConnected(bool Value) override;
  void CreateDatabase() override;
  void FlushFileBuffers() override;
  double GetFormatVersion() override;
  std::int32_t GetTotalPageCount() override;
  std::int32_t GetFreePageCount() override;
  bool IsDatabaseEncrypted() override;
  bool IsDatabaseEncryptedByPassword() override;
  bool IsCryptoParamsValid() override;
  bool GetDatabaseExists() override;
  void GetTablesList(TMdbWideStringList* List) override;
  TMdbTableInfoArray GetTablesInfo(bool SortByTableName) override;
  TMdbTableState GetTableState(const String& TableName) override;
  bool TableExists(const String& TableName) override;
  // Every table (and view, when asked) as an SQL script, then the foreign keys and stored functions.
  String ExportDatabaseToSQL(bool ExportStructure, bool AddDropTableCommand, bool ExportIndexes, bool AddDropIndexCommand,
                             bool ExportData, bool ExportBLOBFields, bool UseBracketsForNames, bool ExportForeignKeys,
                             bool ExportStoredFunctions, bool ExportViews) override;
  void LoadDatabaseFromStream(TStream* Stream) override;
  void SaveDatabaseToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                            std::int32_t BlockSize) override;
  void MakeExeDatabase(const String& ExeFileName, const String& ExeDatabaseFileName) override;
  void RemoveDatabaseFromExe() override;
  bool IsMdbTableDatabaseFile() override;
  bool GetInTransaction() override { return FTransaction != nullptr; }
  void StartTransaction() override;
  void Commit(bool FlushFileBuffers) override;
  void Rollback() override;
  void RemoveAllLocks() override;
  void ClearCache() override;
  String GetTableComment(const String& TableName) override;
  void SetTableComment(const String& TableName, const String& Comment) override;
  void CreateStoredFunction(const String& SQLScript) override;
  void CreateStoredFunction(TObject* StoredFunction, const String& SQLScript) override;
  void ParseStoredFunction(TObject* Lexer, void* Token, TObject*& StoredFunction, String& SQLScript) override;
  void DropStoredFunction(const String& FunctionName) override;
  void AlterStoredFunction(const String& FunctionName, const String& NewSQLScript) override;
  void AlterStoredFunctionRename(const String& FunctionName, const String& NewFunctionName) override;
  bool ExecuteStoredFunction(const String& FunctionName, TMdbVariant* ResultValue, TMdbSQLParams* Params) override;
  String FindStoredFunction(const String& FunctionName) override;
  TObject* GetStoredFunctionByName(const String& FunctionName) override;
  TObject* ParseStoredFunctionParams(TObject* Lexer, TObject* ParentFunction, void* Token,
                                     TMdbSQLParams*& Params) override;
  void GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts, bool SortNamesByAlphabet) override;
  void GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts,
                          bool SortNamesByAlphabet) override;
  void ExportStoredFunctionsToSQL(String& SQL) override;
  void CreateView(const String& ViewName, const String& SelectStatement, TMdbWideStringList* Columns,
                  bool bWithCheckOption, const String& Comment) override;
  void DropView(const String& ViewName, bool bCascade) override;
  TMdbViewDef* FindView(const String& ViewName) override;
  // Frees the session without detaching it from its database data.
  void CloseLocalSessionWithoutDatabase() override;
  TMdbCursor* CreateCursor(const String& TableName, bool bOpenView) override;

  // A processor for SQLStatement with the session's database parameters; the caller owns it. An
  // empty statement raises the platform's range error.
  std::unique_ptr<TMdbLocalSQLProcessor> InternalCreateSQLProcessor(const String& SQLStatement);

  // The bound database data, or nil.
  TMdbDatabaseData* DatabaseData() const { return FDatabaseData; }

  TMdbDatabaseData* FDatabaseData = nullptr;
  std::unique_ptr<TMdbTransaction> FTransaction;  // the open transaction, nil when none
  TMdbTransaction* Transaction() const { return FTransaction.get(); }

 private:
  TMdbDatabaseData* InternalFindDatabaseData();
  TMdbDatabaseData* InternalCreateDatabaseData();
  TMdbDatabaseData* InternalFindOrCreateDatabaseData();
  // Binds without connecting when unbound; the result may be nil for a database the engine cannot hold.
  TMdbDatabaseData* BindForQuery();
  // Runs Ask on the bound database data, or on one found or created for the call and freed again when
  // the session is not connected; Default answers when there is none.
  template <class R>
  R AskTemporarilyBound(const std::function<R(TMdbDatabaseData*)>& Ask, R Default);
  [[noreturn]] void RaiseNotBound(int Code) const;

  bool FRegistered = false;  // listed by the database data, with an id
};
