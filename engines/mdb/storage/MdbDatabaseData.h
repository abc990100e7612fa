// The database data object: the state one database shares with every session connected to it. It
// owns the database's table data objects and its object-id counter (every index, sequence, field and
// constraint definition of a table takes its object id from here), lists the connected sessions, and
// answers the questions about tables that need no table open. The memory and temporary databases
// build on it; the file-only questions (page counts, encryption, executables) answer with fixed values.
//
// Contract:
// - Tables and databases are matched by the CRC-32 of the upper-cased name, never by text: two names
//   with equal CRCs are the same name.
// - The database lock (FThreadSync) guards the session and table lists: readers take it shared,
//   writers exclusive. The registry has its own lock, always taken before a database's.
// - A table data object added through AddTableData (or FindOrCreateTableData) is owned by the database
//   and freed with it; one that is destroyed elsewhere leaves the list from its destructor.
// - A database data object removes itself from the registry when it is destroyed.
// - The base has no views and no stored-function manager: view definitions raise "not supported",
//   stored-function operations raise their own code naming the database.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/storage/MdbFieldDefs.h"

class TMdbTableData;
class TMdbBaseSession;
class TMdbCursor;
class TMdbPageManager;
class TMdbViewDef;
class TMdbWideStringList;
class TMdbStoredFunctionsManager;
class TMdbSQLParams;
class TMdbVariant;
class TStream;
class TStrings;

class TMdbDatabaseData : public TObject {
  VELLUM_CLASS(TMdbDatabaseData)
 public:
  TMdbDatabaseData();
  ~TMdbDatabaseData() override;
  TMdbDatabaseData(const TMdbDatabaseData&) = delete;
  TMdbDatabaseData& operator=(const TMdbDatabaseData&) = delete;

  // ---- virtual operations --------------------------------------------------------------------------
  virtual void InternalGetTablesList(TMdbBaseSession* Session, TMdbWideStringList* List);
  virtual void ConnectSession(TMdbBaseSession* Session) { AddSession(Session); }
  virtual void DisconnectSession(TMdbBaseSession* Session) { RemoveSession(Session); }
  virtual void FreeIfNoSessionsConnected() {}
  virtual void GetTablesList(TMdbBaseSession* Session, TMdbWideStringList* List);
  virtual TMdbTableInfoArray GetTablesInfo(bool SortByTableName);
  // Zero-filled when no table has that name.
  virtual TMdbTableState GetTableState(const String& TableName);
  virtual bool TableExists(TMdbBaseSession* Session, const String& TableName);
  // Database streams belong to the descendants; the base raises 30339.
  virtual void LoadDatabaseFromStream(TMdbBaseSession* Session, TStream* Stream);
  virtual void SaveDatabaseToStream(TMdbBaseSession* Session, TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm,
                                    Byte CompressionMode, std::int32_t BlockSize);
  virtual void CreateDatabase(TMdbBaseSession*) {}
  // The descendants make the table data of their kind; the base raises 30339.
  virtual TMdbTableData* CreateTableData(TMdbCursor* Cursor);
  virtual TMdbTableData* FindTableData(TMdbCursor* Cursor);
  virtual TMdbTableData* FindOrCreateTableData(TMdbCursor* Cursor);
  virtual void FlushFileBuffers() {}
  virtual double GetFormatVersion(TMdbBaseSession*) { return 0.0; }
  virtual std::int32_t GetTotalPageCount(TMdbBaseSession*) { return 0; }
  virtual std::int32_t GetFreePageCount(TMdbBaseSession*) { return 0; }
  virtual bool IsDatabaseEncrypted(TMdbBaseSession*) { return false; }
  virtual bool IsDatabaseEncryptedByPassword(TMdbBaseSession*) { return true; }
  virtual bool IsCryptoParamsValid(TMdbBaseSession*) { return true; }
  virtual void MakeExeDatabase(TMdbBaseSession*, const String& /*ExeFileName*/, const String& /*ExeDatabaseFileName*/) {}
  virtual void RemoveDatabaseFromExe(TMdbBaseSession*) {}
  virtual bool IsMdbTableDatabaseFile(TMdbBaseSession*) { return false; }
  virtual String GetTableComment(const String& /*TableName*/) { return String(); }
  virtual void SetTableComment(const String& /*TableName*/, const String& /*Comment*/) {}
  // 12562 and 12563 "Error - operation is not supported". CreateView takes the definition over (a
  // refused one is freed).
  virtual void CreateView(TMdbBaseSession* Session, const String& ViewName, std::unique_ptr<TMdbViewDef> ViewDef);
  virtual void DropView(TMdbBaseSession* Session, const String& ViewName, bool bCascade);
  virtual TMdbViewDef* FindView(TMdbBaseSession*, const String& /*ViewName*/) { return nullptr; }

  // ---- locks and lists -----------------------------------------------------------------------------
  void Lock(bool Exclusive) { FThreadSync.Lock(Exclusive); }
  void Unlock() { FThreadSync.Unlock(); }
  // The database takes ownership.
  void AddTableData(TMdbTableData* TableData);
  // What a table data object calls from its destructor: the entry leaves the list without being freed.
  void RemoveTableData(TMdbTableData* TableData) noexcept;
  void AddSession(TMdbBaseSession* Session);
  void RemoveSession(TMdbBaseSession* Session);
  // Frees every table data object; a failure while freeing one is ignored and the loop goes on.
  void FreeAllTableData();
  std::int32_t GetSessionsCount();
  std::int32_t TableDataCount();

  // The next value of the object-id counter; past the Int32 range a range error (ERangeError).
  std::int32_t GetNewObjectId();
  void ClearCache();
  // Releases every table and record lock SessionID holds in this database's tables.
  void RemoveAllLocks(std::int32_t SessionID);

  // ---- stored functions ----------------------------------------------------------------------------
  // Forwarded to the stored-function manager; without one each raises its own code.
  void CreateStoredFunction(TMdbBaseSession* Session, const String& SQLScript);
  void CreateStoredFunction(TObject* StoredFunction, const String& SQLScript);
  // SQLScript is cleared first, also when it raises.
  void ParseStoredFunction(TMdbBaseSession* Session, TObject* Lexer, void* Token, TObject*& StoredFunction,
                           String& SQLScript);
  void DropStoredFunction(TMdbBaseSession* Session, const String& FunctionName);
  void AlterStoredFunction(TMdbBaseSession* Session, const String& FunctionName, const String& NewSQLScript);
  void AlterStoredFunctionRename(TMdbBaseSession* Session, const String& FunctionName, const String& NewFunctionName);
  bool ExecuteStoredFunction(TMdbBaseSession* Session, const String& FunctionName, TMdbVariant* ResultValue,
                             TMdbSQLParams* Params);
  String FindStoredFunction(const String& FunctionName);
  TObject* GetStoredFunctionByName(const String& FunctionName, TMdbBaseSession* Session);
  // nil, not an error, without a manager.
  TObject* ParseStoredFunctionParams(TMdbBaseSession* Session, TObject* Lexer, TObject* ParentFunction, void* Token,
                                     TMdbSQLParams*& Params);
  void GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts, bool SortNamesByAlphabet);
  void GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts, bool SortNamesByAlphabet);
  void ExportStoredFunctionsToSQL(String& SQL);

  TMdbSequenceDef& ObjectIdSequence() { return FObjectIdSequence; }
  TMdbStoredFunctionsManager* StoredFunctionsManager() const { return FStoredFunctionsManager.get(); }

  AnsiString FDatabaseName;
  String FDatabaseNameUnicode;
  TMdbPageManager* FPageManager = nullptr;
  bool FInMemory = true;
  bool FTemporary = false;
  TMdbLockParams FLockParams;

 protected:
  [[noreturn]] void NotOverridden(const char16_t* Method) const;
  [[noreturn]] void NoStoredFunctionsManager(int Code) const;
  TMdbTableData* FindTableDataByCRC(std::uint32_t NameCRC) const;

  TMdbReadWriteThreadSyncByCriticalSections FThreadSync;
  std::vector<TMdbBaseSession*> FSessionList;
  std::vector<std::unique_ptr<TMdbTableData>> FTableDataList;
  TMdbSequenceDef FObjectIdSequence;
  std::unique_ptr<TMdbStoredFunctionsManager> FStoredFunctionsManager;
};

// The operations of a database's stored functions (created by the memory database).
class TMdbStoredFunctionsManager : public TObject {
  VELLUM_CLASS(TMdbStoredFunctionsManager)
 public:
  virtual void CreateStoredFunction(TMdbBaseSession* Session, const String& SQLScript) = 0;
  virtual void CreateStoredFunction(TObject* StoredFunction, const String& SQLScript) = 0;
  virtual void ParseStoredFunction(TMdbBaseSession* Session, TObject* Lexer, void* Token, TObject*& StoredFunction,
                                   String& SQLScript) = 0;
  virtual void DropStoredFunction(TMdbBaseSession* Session, const String& FunctionName) = 0;
  virtual void AlterStoredFunction(TMdbBaseSession* Session, const String& FunctionName, const String& NewSQLScript) = 0;
  virtual void AlterStoredFunctionRename(TMdbBaseSession* Session, const String& FunctionName, const String& NewFunctionName) = 0;
  virtual bool ExecuteStoredFunction(TMdbBaseSession* Session, const String& FunctionName, TMdbVariant* ResultValue,
                                     TMdbSQLParams* Params) = 0;
  virtual String FindStoredFunction(const String& FunctionName) = 0;
  virtual TObject* GetStoredFunctionByName(const String& FunctionName, TMdbBaseSession* Session) = 0;
  virtual TObject* ParseStoredFunctionParams(TMdbBaseSession* Session, TObject* Lexer, TObject* ParentFunction,
                                             void* Token, TMdbSQLParams*& Params) = 0;
  virtual void GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts, bool SortNamesByAlphabet) = 0;
  virtual void GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts,
                                  bool SortNamesByAlphabet) = 0;
  virtual void ExportStoredFunctionsToSQL(String& SQL) = 0;
};

// The process-wide list of database data objects. Every access takes its lock; the lock is re-entrant
// so that shutdown can free databases (which leave the list themselves) while holding it.
class TMdbDatabaseDataRegistry {
 public:
  void Add(TMdbDatabaseData* Data);
  void Remove(TMdbDatabaseData* Data) noexcept;
  std::int32_t Count();
  TMdbDatabaseData* Get(std::int32_t Index);
  std::recursive_mutex& Mutex() { return FLock; }

 private:
  friend TMdbDatabaseData* FindDatabaseData(bool, bool, const AnsiString&, const String&);
  std::recursive_mutex FLock;
  std::vector<TMdbDatabaseData*> FItems;
};

// nullptr before MdbCreateDatabaseDataRegistry and after MdbFreeDatabaseDataRegistry.
TMdbDatabaseDataRegistry* DatabaseDataRegistry();
void MdbCreateDatabaseDataRegistry();
// Frees the database data objects still registered, then the registry.
void MdbFreeDatabaseDataRegistry();

// The registered database of that kind and name; nullptr when none (or when both flags are set).
TMdbDatabaseData* FindDatabaseData(bool InMemory, bool Temporary, const AnsiString& DatabaseName,
                                   const String& DatabaseNameUnicode);
