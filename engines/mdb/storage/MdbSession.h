// The engine session: one client's connection to one database. It carries the database's name and
// kind, the session id that locks and page copies are keyed by, the per-session values (the last value
// drawn from or stored into each sequence, the SQL session variables), and it is the factory of
// cursors. TMdbBaseSession is abstract: a slot without a base body raises 30339 naming the operation;
// the local session gives them over the database data.
//
// Contract:
// - Named values are matched by exact, case-sensitive text and live as long as the session: the last
//   value of a sequence is private to the session that drew it.
// - SessionID is -1 until the database gives the session an id on connect.
// - Destruction disconnects (GetConnected/SetConnected of the descendant, reached through Disconnect),
//   wipes the crypto password and frees the named values and session variables.
//
// TMdbSQLProcessor is the abstract holder of one SQL statement with its parameters; the query
// processing derives the real processor from it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbSQLParams.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/classes/Classes.h"

class TStream;
class TStrings;
class TMdbCursor;
class TMdbViewDef;
class TMdbVariant;
class TMdbWideStringList;

// The handle of a component session; the engine never looks inside.
class TMdbSessionComponentManager : public TObject {
  VELLUM_CLASS(TMdbSessionComponentManager)
};

class TMdbSessionNamedObject : public TObject {
  VELLUM_CLASS(TMdbSessionNamedObject)
 public:
  explicit TMdbSessionNamedObject(const String& aName) : Name(aName) {}
  String Name;
};

class TMdbSessionNamedObjectSequenceValue : public TMdbSessionNamedObject {
  VELLUM_CLASS(TMdbSessionNamedObjectSequenceValue)
 public:
  TMdbSessionNamedObjectSequenceValue(const String& ValueName, Int64 aValue)
      : TMdbSessionNamedObject(ValueName), Value(aValue) {}
  Int64 Value;
};

struct TMdbOptions {
  std::uint32_t MaxSessionCount = 0;
  std::uint32_t PageSize = 0;
  std::uint16_t ExtentPageCount = 0;
  std::uint32_t RandomSearchRetryCount = 0;
};

// Parameters of an encrypted database; the memory engine keeps none and never fills them.
struct TMdbCryptoInfo {
  Byte CryptoAlgorithm = 0;
  String Password;
};

class TMdbBaseSession;

// What SetDatabaseParams hands to the statements of the query processing.
struct TMdbSQLDatabaseParams {
  TMdbBaseSession* Session = nullptr;
  bool ParamsSet = false;
  AnsiString DatabaseName;
  AnsiString SessionName;
  bool InMemory = false;
  bool RequestLive = false;
  TObject* Params = nullptr;  // a platform parameter list, or nil
  bool CaseInsensitive = false;
};

class TMdbBaseSession : public TObject {
  VELLUM_CLASS(TMdbBaseSession)
 public:
  TMdbBaseSession() = default;
  ~TMdbBaseSession() override;
  TMdbBaseSession(const TMdbBaseSession&) = delete;
  TMdbBaseSession& operator=(const TMdbBaseSession&) = delete;

  // ---- virtual operations, in slot order ----------------------------------------------------------
  virtual bool GetConnected();
  virtual void SetConnected(bool Value);
  virtual void SetCaseInsensitive(bool Value) { CaseInsensitive = Value; }
  // Base: 10888 "Error - operation is not supported".
  virtual void CreateDatabase();
  virtual void FlushFileBuffers();
  virtual double GetFormatVersion();
  virtual std::int32_t GetTotalPageCount();
  virtual std::int32_t GetFreePageCount();
  virtual bool IsDatabaseEncrypted();
  virtual bool IsDatabaseEncryptedByPassword();
  virtual bool IsCryptoParamsValid();
  virtual bool GetDatabaseExists();
  virtual void GetTablesList(TMdbWideStringList* List);
  virtual TMdbTableInfoArray GetTablesInfo(bool SortByTableName);
  virtual TMdbTableState GetTableState(const String& TableName);
  virtual bool TableExists(const String& TableName);
  virtual String ExportDatabaseToSQL(bool ExportStructure, bool AddDropTableCommand, bool ExportIndexes,
                                     bool AddDropIndexCommand, bool ExportData, bool ExportBLOBFields,
                                     bool UseBracketsForNames, bool ExportForeignKeys, bool ExportStoredFunctions,
                                     bool ExportViews);
  virtual void LoadDatabaseFromStream(TStream* Stream);
  virtual void SaveDatabaseToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm,
                                    Byte CompressionMode, std::int32_t BlockSize);
  virtual void MakeExeDatabase(const String& ExeFileName, const String& ExeDatabaseFileName);
  virtual void RemoveDatabaseFromExe();
  virtual bool IsMdbTableDatabaseFile();
  virtual bool GetInTransaction();
  virtual void StartTransaction();
  virtual void Commit(bool FlushFileBuffers);
  virtual void Rollback();
  virtual void ReceiveData(void*, std::int32_t) {}
  virtual void OnDisconnect() {}
  virtual void RemoveAllLocks() {}
  virtual void ClearCache() {}
  virtual String GetTableComment(const String&) { return String(); }
  virtual void SetTableComment(const String&, const String&) {}
  virtual void DoOnError(std::int32_t, std::int32_t, const AnsiString&) {}
  virtual void CreateStoredFunction(const String& SQLScript);
  virtual void CreateStoredFunction(TObject* StoredFunction, const String& SQLScript);
  virtual void ParseStoredFunction(TObject* Lexer, void* Token, TObject*& StoredFunction, String& SQLScript);
  virtual void DropStoredFunction(const String& FunctionName);
  virtual void AlterStoredFunction(const String& FunctionName, const String& NewSQLScript);
  virtual void AlterStoredFunctionRename(const String& FunctionName, const String& NewFunctionName);
  virtual bool ExecuteStoredFunction(const String& FunctionName, TMdbVariant* ResultValue, TMdbSQLParams* Params);
  virtual String FindStoredFunction(const String& FunctionName);
  virtual TObject* GetStoredFunctionByName(const String& FunctionName);
  virtual TObject* ParseStoredFunctionParams(TObject* Lexer, TObject* ParentFunction, void* Token,
                                             TMdbSQLParams*& Params);
  virtual void GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts, bool SortNamesByAlphabet);
  virtual void GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts,
                                  bool SortNamesByAlphabet);
  virtual void ExportStoredFunctionsToSQL(String& SQL);
  virtual void CreateView(const String& ViewName, const String& SelectStatement, TMdbWideStringList* Columns,
                          bool bWithCheckOption, const String& Comment);
  virtual void DropView(const String& ViewName, bool bCascade);
  // A copy the caller frees, or nil.
  virtual TMdbViewDef* FindView(const String& ViewName);
  virtual void CloseLocalSessionWithoutDatabase();
  // A new, closed cursor the caller owns.
  virtual TMdbCursor* CreateCursor(const String& TableName, bool bOpenView);

  // ---- named values --------------------------------------------------------------------------------
  // The first named object whose name equals ObjectName exactly; nil when none.
  TMdbSessionNamedObject* GetNamedObject(std::u16string_view ObjectName) const;
  // Sets the named value, appending it when the session has none of that name.
  void SetSequenceValue(const String& Name, Int64 Value);
  std::int32_t NamedObjectCount() const { return static_cast<std::int32_t>(FSessionNamedObjectList.size()); }
  void SetDatabaseParams(TMdbSQLDatabaseParams& DBParams);

  // ---- properties ----------------------------------------------------------------------------------
  bool Connected() { return GetConnected(); }
  // The component session's handle; the engine stores it for the components and never reads it.
  TMdbSessionComponentManager* SessionComponentManager() const { return FSessionHandle; }
  void SetSessionComponentManager(TMdbSessionComponentManager* Value) { FSessionHandle = Value; }
  const std::vector<std::unique_ptr<TMdbSessionNamedObject>>& SessionNamedObjectList() const {
    return FSessionNamedObjectList;
  }
  TMdbOptions& Options() { return FOptions; }
  TMdbLockParams& LockParams() { return FLockParams; }
  TMdbCryptoInfo& CryptoParams() { return FCryptoParams; }
  // nil on the base session; the local session creates an empty list.
  TMdbSQLParams* SessionVariables() const { return FSessionVariables.get(); }

  // ---- state ---------------------------------------------------------------------------------------
  TMdbSessionComponentManager* FSessionHandle = nullptr;
  AnsiString FDatabaseName;
  AnsiString FSessionName;
  AnsiString FDatabaseFileName;
  String FDatabaseFileNameUnicode;
  std::int32_t SessionID = -1;
  bool ReadOnly = false;
  bool Exclusive = false;
  bool Temporary = false;
  bool InMemory = false;
  TMdbOptions FOptions;
  TMdbLockParams FLockParams;
  TMdbCryptoInfo FCryptoParams;
  std::unique_ptr<TMdbSQLParams> FSessionVariables;
  bool CaseInsensitive = false;

 protected:
  [[noreturn]] void NotOverridden(const char16_t* Method) const;
  // What the destructor of a descendant calls before its own state goes: SetConnected(False), with
  // anything it raises swallowed.
  void DisconnectQuietly() noexcept;

  std::vector<std::unique_ptr<TMdbSessionNamedObject>> FSessionNamedObjectList;
};

// One SQL statement with its parameters and, after OpenQuery, its result cursor.
class TMdbSQLProcessor : public TObject {
  VELLUM_CLASS(TMdbSQLProcessor)
 public:
  TMdbSQLProcessor() : FSQLParams(std::make_unique<TMdbSQLParams>()) {}
  explicit TMdbSQLProcessor(TObject* Query) : TMdbSQLProcessor() { FMdbQuery = Query; }
  TMdbSQLProcessor(const TMdbSQLProcessor&) = delete;
  TMdbSQLProcessor& operator=(const TMdbSQLProcessor&) = delete;

  // The base part, which every descendant calls first: notices changed parameter values (calling
  // UpdateParams once per change after the first run) and zeroes RowsAffected. The base returns nil.
  virtual TMdbCursor* OpenQuery(TMdbWideStringList* TableNames);
  virtual void UpdateParams() { FParamsChanged = true; }

  void PrepareStatement(const String& SQLText) { FSQLText = SQLText; }
  void ExecuteQuery() { OpenQuery(nullptr); }

  // ---- properties ----------------------------------------------------------------------------------
  TObject* MdbQuery() const { return FMdbQuery; }
  const String& SQLText() const { return FSQLText; }
  TMdbSQLParams* SQLParams() const { return FSQLParams.get(); }
  TMdbCursor* Cursor() const { return FCursor; }
  Int64 RowsAffected() const { return FRowsAffected; }
  bool NeverOpened() const { return FNeverOpened; }
  // The fingerprint of the parameter values at the last OpenQuery.
  std::uint32_t ParamsHash() const { return FParamsHash; }
  // True after an OpenQuery that found the parameter values changed since the run before.
  bool ParamsChanged() const { return FParamsChanged; }

  TObject* FMdbQuery = nullptr;
  bool FReadOnly = false;
  bool FRequestLive = false;
  bool FInMemory = false;
  Int64 FRowsAffected = 0;
  String FSQLText;
  std::unique_ptr<TMdbSQLParams> FSQLParams;
  TMdbCursor* FCursor = nullptr;
  bool FNeverOpened = true;
  std::uint32_t FParamsHash = 0;
  bool FParamsChanged = false;
  bool FCaseInsensitive = false;
};
