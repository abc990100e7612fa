// The SQL data driver of the Kv table: five commands (select, update, insert, delete, get-record) and a
// service command, macro substitution into their texts, statements generated from a table name and
// field lists, and per-server operations that fetch generated key values around an insert.
//
// Nothing here talks to a database. A command runs only through a connection provider
// (IConnectionProviderKv, from GetConnectionProvider), the process-wide resolver's callback, or a
// command subclass; without any of them Execute returns -1 and no cursor, and a record whose command did
// not run is not applied (ApplyUpdates reports "Record not found or changed").
//
// Generated statements (one line each, table T, key K, update fields F1, F2):
//   insert into T /   (K, F1, F2) / values /   (:K, :F1, :F2)      column lists wrap past 70 characters
//   update T / set /  F1 = :F1, /  F2 = :F2 / where /  K = :OLD_K   (" and" between key lines)
//   delete from T / where /  K = :OLD_K
// An update or delete without key fields is refused (it would touch every row).
#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "engines/kv/ComponentPackKv.h"
#include "engines/kv/DataDriverKv.h"
#include "platform/classes/StringList.h"

class TCustomSQLDataDriverKv;
class TCustomSQLCommandKv;
class TServerSpecOperationsKv;

namespace kvmsg {
inline constexpr char16_t SSelectNoDataSet[] = u"SelectCommand.Execute does not get DataSet";
inline constexpr char16_t SNoFreshRecord[] = u"There are no fresh record on server";
inline constexpr char16_t SInvalidFieldName[] = u"Invalid field name \"%s\" in field list \"%s\"";
inline constexpr char16_t SServerTypeRegistered[] = u"Server type with name: \"%s\" is already registered";
inline constexpr char16_t SNoKeyFields[] = u"DynaSQLParams.KeyFields is required for %s statements";
}  // namespace kvmsg

enum TSQLCommandTypeKv { cthSelectQuery, cthUpdateQuery, cthTable, cthStoredProc };
enum TDynaSQLOptionKv : unsigned { dsoDynamicSQLInsertKv = 1, dsoDynamicSQLUpdateKv = 2, dsoDynamicSQLDeleteKv = 4 };
using TDynaSQLOptionsKv = unsigned;  // a set of TDynaSQLOptionKv bits
enum TSpecMacrosUsageKv : unsigned {
  smuUseFilterMacroKv = 1,
  smuFilterAsWhereClauseKv = 2,
  smuFilterWithANDPrecedingKv = 4,
  smuUseSortOrderMacroKv = 8,
  smuSortOrderAsOrderByClauseKv = 16,
  smuSortOrderWithCommaPrecedingKv = 32,
};
using TSpecMacrosUsagesKv = unsigned;  // a set of TSpecMacrosUsageKv bits

// What executes commands against a database (outside this system). Every operation but ExecuteCommand
// has a default that leaves the work to the driver (Processed stays false).
class IConnectionProviderKv {
 public:
  virtual ~IConnectionProviderKv() = default;
  virtual int ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof, bool& Processed) = 0;
  // The result of applying the record (-1: not applied).
  virtual int UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* Rec, bool& Processed) {
    (void)Driver, (void)Data, (void)Rec;
    Processed = false;
    return -1;
  }
  virtual void GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* Rec, TCustomSQLCommandKv* Command,
                                    TDataSet* ResDataSet, bool& Processed) {
    (void)Driver, (void)Rec, (void)Command, (void)ResDataSet;
    Processed = false;
  }
  // A connection that opens later keeps the tables that asked to open meanwhile.
  virtual bool ConnectionIsPostponed() { return false; }
  virtual void AddPostponedActivationDataSet(TDataSet* ADataSet) { (void)ADataSet; }
  virtual TComponent* GetDesignDataBase() { return nullptr; }
  // The column names of a table as the database's schema reports them; false when it cannot tell.
  virtual bool GetTableFieldNames(const String& TableName, std::vector<String>& FieldNames) {
    (void)TableName, (void)FieldNames;
    return false;
  }
};

// A command of the driver: its lines, its kind, and the text formed from them by macro substitution.
// The base class has no parameters (GetParams answers nullptr, the other parameter operations do
// nothing); TParamSQLCommandKv below parses ":Name" parameters from the formed text.
class TCustomSQLCommandKv : public TPersistent {
  VELLUM_CLASS(TCustomSQLCommandKv)
 public:
  TCustomSQLCommandKv(TCustomSQLDataDriverKv* ADataDriver, TSQLCommandTypeKv AType);
  ~TCustomSQLCommandKv() override;

  // The lines as written; any change of them makes the formed text obsolete.
  TStrings& CommandText() { return *FCommandText; }
  const TStrings& CommandText() const { return *FCommandText; }
  void SetCommandText(const TStrings& Value) { FCommandText->Assign(&Value); }
  void SetCommandText(std::initializer_list<String> Lines);
  void SetCommandText(const std::vector<String>& Lines);
  String Text() const;
  TSQLCommandTypeKv CommandType() const { return FCommandType; }
  void SetCommandType(TSQLCommandTypeKv Value) { FCommandType = Value; }
  // Streamed only when it differs from the driver's default for this command.
  bool CommandTypeStored() const { return FCommandType != GetDefaultCommandType(); }
  TCustomSQLDataDriverKv* DataDriver() const { return FDataDriver; }
  // The text after macro substitution, formed again after any change of text or macros.
  const TStrings& FinalCommandText();
  String FinalText();
  bool FinalCommandTextObsolete() const { return FFinalCommandTextObsolete; }
  void SetObsolete() { FFinalCommandTextObsolete = true; }
  // Copies the lines and the kind.
  void Assign(const TPersistent* Source) override;
  String NamePath() const { return u"SQLCommand"; }

  virtual TSQLCommandTypeKv GetDefaultCommandType() const;
  // The result of whatever executed it; -1 and no cursor when nothing did.
  virtual int Execute(TDataSet*& Cursor, bool& FreeOnEof);
  virtual TParams* GetParams() { return nullptr; }
  virtual void FormFinalCommandText();
  // The parameters take the record's values of the given version.
  virtual void RefreshParams(TMemoryRecordKv* MemRecord, TDataValueVersionKv DataValueVersion) {
    (void)MemRecord, (void)DataValueVersion;
  }
  virtual void RebuildParams() {}
  virtual void SetParams(TParams* AParams) { (void)AParams; }

 protected:
  virtual void TextChanged();

 private:
  std::unique_ptr<TStringList> FCommandText;
  TSQLCommandTypeKv FCommandType;
  TCustomSQLDataDriverKv* FDataDriver;
  std::unique_ptr<TStringList> FFinalCommandText;
  bool FFinalCommandTextObsolete = true;
};

// A command with parameters: every ":Name" outside quoted text of the formed text is one parameter
// (listed once, in order of first use; "::" is a literal colon). RefreshParams fills them from a record:
// a name "OLD_F" takes field F's old value, any other name the field of that name in the version asked
// for; a name that is no field is left as it is. Connection providers read them through GetParams.
class TParamSQLCommandKv : public TCustomSQLCommandKv {
  VELLUM_CLASS(TParamSQLCommandKv)
 public:
  using TCustomSQLCommandKv::TCustomSQLCommandKv;
  TParams* GetParams() override;
  void RefreshParams(TMemoryRecordKv* MemRecord, TDataValueVersionKv DataValueVersion) override;
  void RebuildParams() override;
  // Values (and types) of the parameters of the same names; the rest keep theirs.
  void SetParams(TParams* AParams) override;

 protected:
  void TextChanged() override;

 private:
  TParams FParams;
  bool FParamsObsolete = true;
};

// The parameter names of a command text: ":Name" outside '...' and "..." quotes, in order of first use.
std::vector<String> ParseSQLParamNames(const String& Text);

// Parameters of generated statements.
enum TTableFieldListSourceKv { tflsListPropertyKv, tflsDataBaseSchemaKv };
class TDynaSQLParamsKv : public TPersistent {
  VELLUM_CLASS(TDynaSQLParamsKv)
 public:
  explicit TDynaSQLParamsKv(TCustomSQLDataDriverKv* ADataDriver) : FDataDriver(ADataDriver) {}
  TCustomSQLDataDriverKv* DataDriver() const { return FDataDriver; }
  const String& UpdateTable() const { return FUpdateTable; }
  void SetUpdateTable(const String& Value) { FUpdateTable = Value; }
  const String& UpdateFields() const { return FUpdateFields; }  // comma-separated
  void SetUpdateFields(const String& Value) { FUpdateFields = Value; }
  const String& KeyFields() const { return FKeyFields; }  // comma-separated
  void SetKeyFields(const String& Value) { FKeyFields = Value; }
  bool SkipUnchangedFields() const { return FSkipUnchangedFields; }
  void SetSkipUnchangedFields(bool Value) { FSkipUnchangedFields = Value; }
  TDynaSQLOptionsKv Options() const { return FOptions; }
  void SetOptions(TDynaSQLOptionsKv Value) { FOptions = Value; }
  TTableFieldListSourceKv UpdateFieldListSource() const { return FUpdateFieldListSource; }
  void SetUpdateFieldListSource(TTableFieldListSourceKv Value) { FUpdateFieldListSource = Value; }
  void Assign(const TPersistent* Source) override;

 private:
  TCustomSQLDataDriverKv* FDataDriver;
  String FUpdateTable, FUpdateFields, FKeyFields;
  bool FSkipUnchangedFields = false;
  unsigned FOptions = 0;
  TTableFieldListSourceKv FUpdateFieldListSource = tflsListPropertyKv;
};

class TMacroVarsKv;

// The filter and sort-order macros: their names in command texts and the values pushed from the table.
class TSpecMacrosKv : public TPersistent {
  VELLUM_CLASS(TSpecMacrosKv)
 public:
  static constexpr const char16_t* kDefaultFilterMacroName = u"%Filter%";
  static constexpr const char16_t* kDefaultSortOrderMacroName = u"%SortOrder%";
  explicit TSpecMacrosKv(TMacroVarsKv* AMacroVars) : FMacroVars(AMacroVars) {}
  const String& FilterMacroName() const { return FFilterMacroName; }
  void SetFilterMacroName(const String& Value);
  const String& SortOrderMacroName() const { return FSortOrderMacroName; }
  void SetSortOrderMacroName(const String& Value);
  bool FilterMacroNameStored() const { return FFilterMacroName != kDefaultFilterMacroName; }
  bool SortOrderMacroNameStored() const { return FSortOrderMacroName != kDefaultSortOrderMacroName; }
  const String& FilterMacroValue() const { return FFilterMacroValue; }
  void SetFilterMacroValue(const String& Value);
  const String& SortOrderMacroValue() const { return FSortOrderMacroValue; }
  void SetSortOrderMacroValue(const String& Value);
  // Copies the two names.
  void Assign(const TPersistent* Source) override;

 private:
  void Changed();
  String FFilterMacroName = kDefaultFilterMacroName;
  String FSortOrderMacroName = kDefaultSortOrderMacroName;
  String FSortOrderMacroValue, FFilterMacroValue;
  TMacroVarsKv* FMacroVars;
};

// The macros of the driver's commands: user macros (name -> text) and the special macros with their
// usage bits. Any change makes every command's formed text obsolete.
class TMacroVarsKv : public TPersistent {
  VELLUM_CLASS(TMacroVarsKv)
 public:
  static constexpr unsigned kDefaultUsages = smuFilterAsWhereClauseKv | smuSortOrderAsOrderByClauseKv;
  explicit TMacroVarsKv(TCustomSQLDataDriverKv* ADataDriver);
  TCustomSQLDataDriverKv* DataDriver() const { return FDataDriver; }
  TStringVarsKv& Macros() { return FMacros; }
  const TStringVarsKv& Macros() const { return FMacros; }
  void SetMacros(const TStringVarsKv& Value) { FMacros.Assign(Value); }
  TSpecMacrosUsagesKv SpecMacrosUsages() const { return FSpecMacrosUsages; }
  void SetSpecMacrosUsages(TSpecMacrosUsagesKv Value);
  TSpecMacrosKv& SpecMacros() { return FSpecMacros; }
  const TSpecMacrosKv& SpecMacros() const { return FSpecMacros; }
  // Copies the special macros' names, the usages and the macro variables.
  void Assign(const TPersistent* Source) override;
  virtual void MacrosChanged();

 private:
  TCustomSQLDataDriverKv* FDataDriver;
  TStringVarsKv FMacros;
  unsigned FSpecMacrosUsages = kDefaultUsages;
  TSpecMacrosKv FSpecMacros;
};

// Replaces each occurrence of MacroName by MacroValue; an occurrence followed by one more "%" stays as
// it is and loses that "%".
String SubstituteMacro(const String& Text, const String& MacroName, const String& MacroValue);

class TServerSpecOperationsKv {
 public:
  virtual ~TServerSpecOperationsKv() = default;
  static String ServerTypeName() { return u"AnsiServer"; }
  virtual String GetServerTypeName() const { return ServerTypeName(); }
  virtual void AddWhereClause(const std::vector<String>& KeyFields, std::vector<String>& Lines);
  // The names of Fields whose current value differs from the old one.
  virtual void GetChangedFields(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, const std::vector<String>& Fields,
                                std::vector<String>& Changed);
  // The record's update; the result of the command run (-1: nothing ran).
  virtual int UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec);
  virtual void GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command,
                                    TDataSet* ResDataSet);
  virtual void GenerateDynaSQLCommand(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command);
  // Slots a server's operations may fill; none of the built-in servers needs them, so they do nothing.
  virtual void GenerateDeleteCommand(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command) {
    (void)Driver, (void)MemRec, (void)Command;
  }
  virtual void GenerateUpdateCommand(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command) {
    (void)Driver, (void)MemRec, (void)Command;
  }
  virtual void GenerateInsertCommand(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command) {
    (void)Driver, (void)MemRec, (void)Command;
  }

 protected:
  // Runs Query on the service command and stores the first column of its answer into FieldName.
  void QueryIntoField(TCustomSQLDataDriverKv* Driver, const String& Query, TMemoryRecordKv* MemRec, const String& FieldName);
};

class TOracleSpecOperationsKv : public TServerSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"Oracle"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
  int UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec) override;
};

class TMSSQLSpecOperationsKv : public TServerSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"MSSQL"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
  void GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command,
                            TDataSet* ResDataSet) override;
};

class TInterbaseSpecOperationsKv : public TServerSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"Interbase"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
  int UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec) override;
  void GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command,
                            TDataSet* ResDataSet) override;
};

class TInfromixSpecOperationsKv : public TServerSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"Infromix"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
  void GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command,
                            TDataSet* ResDataSet) override;
};

class TDB2SpecOperationsKv : public TServerSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"DB2"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
};

class TSybaseSpecOperationsKv : public TServerSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"Sybase"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
};

class TMSAccessSpecOperationsKv : public TMSSQLSpecOperationsKv {
 public:
  static String ServerTypeName() { return u"MSAccess"; }
  String GetServerTypeName() const override { return ServerTypeName(); }
};

// The process-wide resolver: callbacks that may execute commands, apply records, fetch back server
// values and choose server operations for every driver. Each callback may leave the work undone
// (Processed false); then the default step runs.
class TSQLDataDriverResolver {
 public:
  virtual ~TSQLDataDriverResolver() = default;
  TServerSpecOperationsKv* ServerSpecOperations = nullptr;
  std::function<int(TCustomSQLDataDriverKv*, TCustomSQLCommandKv*, TDataSet*& Cursor, bool& FreeOnEof, bool& Processed)>
      OnExecuteCommand;
  std::function<void(TCustomSQLDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, bool& Processed)> OnUpdateRecord;
  std::function<void(TCustomSQLDataDriverKv*, TMemoryRecordKv*, TCustomSQLCommandKv*, TDataSet*, bool& Processed)>
      OnGetBackUpdatedValues;
  std::function<void(bool& Processed, TServerSpecOperationsKv*& ServerSpecOperations)> OnGetServerSpecOperations;

  // The callback's result; without one Processed is false and the result -1.
  virtual int ExecuteCommand(TCustomSQLDataDriverKv* Driver, TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof,
                             bool& Processed);
  // The callback's answer when it processed the question, else ServerSpecOperations.
  virtual TServerSpecOperationsKv* GetServerSpecOperations();
  // The callback first; when it leaves the record, DefaultUpdateRecord. The result of the command run
  // (-1: nothing ran).
  virtual int UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec, bool& Processed);
  // The resolver's operations, else the driver's, else the driver's own statement; always processed.
  virtual int DefaultUpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec,
                                  bool& Processed);
  virtual void GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command,
                                    TDataSet* ResDataSet, bool& Processed);
  // The resolver's operations, else the driver's; processed when either exists.
  virtual void DefaultGetUpdatedServerValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                             TCustomSQLCommandKv* Command, TDataSet* ResDataSet, bool& Processed);
};

TSQLDataDriverResolver* GetSQLDataDriverResolver();
// Replaces the resolver (nullptr: none); returns the previous one, which the caller now owns.
std::unique_ptr<TSQLDataDriverResolver> SetSQLDataDriverResolver(std::unique_ptr<TSQLDataDriverResolver> Value);
TServerSpecOperationsKv* DefaultServerSpecOperations();
using TServerSpecOperationsFactoryKv = std::function<std::unique_ptr<TServerSpecOperationsKv>()>;
// Raises the already-registered message for a name present.
void RegisterServerSpecOperations(const String& ServerTypeName, TServerSpecOperationsFactoryKv Factory);
std::unique_ptr<TServerSpecOperationsKv> CreateServerSpecOperations(const String& ServerTypeName);
// Creates the default resolver and operations and registers the eight server types; Finalize frees them.
void InitializeDataDriverKv();
void FinalizeDataDriverKv();
class TUnitList;
// The data-driver unit (its init and finalization) for the program's start-up list.
void RegisterDataDriverKvUnit(TUnitList& Units);

class TCustomSQLDataDriverKv : public TDataDriverKv {
  VELLUM_CLASS(TCustomSQLDataDriverKv)
 public:
  explicit TCustomSQLDataDriverKv(TComponent* AOwner);
  ~TCustomSQLDataDriverKv() override;

  TCustomSQLCommandKv* SelectCommand() const { return FSelectCommand.get(); }
  TCustomSQLCommandKv* UpdateCommand() const { return FUpdateCommand.get(); }
  TCustomSQLCommandKv* InsertCommand() const { return FInsertCommand.get(); }
  TCustomSQLCommandKv* DeleteCommand() const { return FDeleteCommand.get(); }
  TCustomSQLCommandKv* GetrecCommand() const { return FGetrecCommand.get(); }
  // Generated statements and server queries run on this one.
  TCustomSQLCommandKv* ServiceCommand() const { return FServiceCommand.get(); }
  // Writing a command copies its text and kind.
  void SetSelectCommand(const TCustomSQLCommandKv* Value) { FSelectCommand->Assign(Value); }
  void SetUpdateCommand(const TCustomSQLCommandKv* Value) { FUpdateCommand->Assign(Value); }
  void SetInsertCommand(const TCustomSQLCommandKv* Value) { FInsertCommand->Assign(Value); }
  void SetDeleteCommand(const TCustomSQLCommandKv* Value) { FDeleteCommand->Assign(Value); }
  void SetGetrecCommand(const TCustomSQLCommandKv* Value) { FGetrecCommand->Assign(Value); }
  TStrings& SelectSQL() { return FSelectCommand->CommandText(); }
  TStrings& UpdateSQL() { return FUpdateCommand->CommandText(); }
  TStrings& InsertSQL() { return FInsertCommand->CommandText(); }
  TStrings& DeleteSQL() { return FDeleteCommand->CommandText(); }
  TStrings& GetrecSQL() { return FGetrecCommand->CommandText(); }
  const TStrings& FinalSelectSQL() { return FSelectCommand->FinalCommandText(); }
  const TStrings& FinalUpdateSQL() { return FUpdateCommand->FinalCommandText(); }
  const TStrings& FinalInsertSQL() { return FInsertCommand->FinalCommandText(); }
  const TStrings& FinalDeleteSQL() { return FDeleteCommand->FinalCommandText(); }
  const TStrings& FinalGetrecSQL() { return FGetrecCommand->FinalCommandText(); }
  // Special parameters as Name=Value lines (AUTO_INCREMENT_FIELD, SEQUENCE, GENERATOR, ...).
  TStrings& SpecParams() { return FSpecParams; }
  TDynaSQLParamsKv& DynaSQLParams() { return FDynaSQLParams; }
  void SetDynaSQLParams(const TDynaSQLParamsKv& Value) { FDynaSQLParams.Assign(&Value); }
  TMacroVarsKv& MacroVars() { return FMacroVars; }
  void SetMacroVars(const TMacroVarsKv& Value) { FMacroVars.Assign(&Value); }
  TStringVarsKv& Macros() { return FMacroVars.Macros(); }
  TSpecMacrosUsagesKv SpecMacrosUsages() const { return FMacroVars.SpecMacrosUsages(); }
  void SetSpecMacrosUsages(TSpecMacrosUsagesKv Value) { FMacroVars.SetSpecMacrosUsages(Value); }
  const String& FilterMacroValue() const { return FMacroVars.SpecMacros().FilterMacroValue(); }
  const String& SortOrderMacroValue() const { return FMacroVars.SpecMacros().SortOrderMacroValue(); }
  // Not owned.
  TServerSpecOperationsKv* ServerSpecOperations() const { return InternalGetServerSpecOperations(); }
  void SetServerSpecOperations(TServerSpecOperationsKv* Value) { FServerSpecOperations = Value; }
  // The connection provider (not owned; none by default).
  virtual IConnectionProviderKv* GetConnectionProvider() const { return FConnectionProvider; }
  void SetConnectionProvider(IConnectionProviderKv* Value) { FConnectionProvider = Value; }
  bool HaveDataConnection() const { return GetConnectionProvider() != nullptr; }
  TComponent* DesignDataBase() const { return GetDesignDataBase(); }
  virtual void SetDesignDataBase(TComponent* Value);
  std::function<int(TCustomSQLDataDriverKv*, TCustomSQLCommandKv*, TDataSet*& Cursor, bool& FreeOnEof)> OnExecuteCommand;
  std::function<void(TCustomSQLDataDriverKv*, TMemoryRecordKv*, TCustomSQLCommandKv*, TDataSet*)> OnGetBackUpdatedValues;

  virtual bool FilterTextSupported() const { return (SpecMacrosUsages() & smuUseFilterMacroKv) != 0; }
  virtual bool OrderByTextSupported() const { return (SpecMacrosUsages() & smuUseSortOrderMacroKv) != 0; }
  virtual void ApplyFilterText(const String& FilterText);
  virtual void ApplyOrderByText(const String& OrderByText);
  // Every command's formed text becomes obsolete (the service command's too).
  virtual void CommandTextsObsolete();
  // A command's lines changed; the select command's change the structure a consuming table sees.
  virtual void CommandTextChanged(TCustomSQLCommandKv* Command);
  virtual TSQLCommandTypeKv DefaultCommandType(const TCustomSQLCommandKv* Command) const;
  virtual int ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof);
  virtual int DefaultExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof);
  // The record's statement: dynamic SQL when its kind asks for it, else the update/insert/delete
  // command; the result of running it (-1: nothing ran, nothing to run gives 0).
  virtual int DoUpdateRecord(TMemTableDataKv* Data, TMemoryRecordKv* MemRec);
  virtual void GenerateDynamicSQLCommand(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command);
  virtual void GetBackUpdatedValues(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command, TDataSet* ResDataSet);
  virtual void DefaultGetUpdatedServerValues(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command, TDataSet* ResDataSet);
  // False for the field the generated insert leaves out (the special parameter AUTO_INCREMENT_FIELD).
  virtual bool FieldUsedInDynaSQL(const String& FieldName, TUpdateStatus Kind) const;
  bool ConnectionIsPostponed() const override;
  void AddPostponedActivationDataSet(TDataSet* ADataSet) override;
  void SetReaderParamsFromCursor(TDataSet* DataSet) override;
  bool RefreshReaderParamsFromCursor(TDataSet* DataSet) override;

  // Design time: a new driver with copies of the commands, special parameters, dynamic-SQL parameters
  // and macros; the same copied from another driver.
  virtual std::unique_ptr<TCustomSQLDataDriverKv> CreateDesignCopy();
  virtual void AssignFromDesignDriver(TCustomSQLDataDriverKv* DesignDriver);
  virtual TComponent* CreateDesignDataBase() { return nullptr; }
  virtual TComponent* GetDesignDataBase() const;
  virtual TComponent* ForceGetNewDesignDataBase() { return nullptr; }

 protected:
  // The command factories; a subclass whose commands are of its own class overrides NewDriverCommand and
  // calls RecreateCommands from its constructor (texts and kinds are kept).
  virtual std::unique_ptr<TCustomSQLCommandKv> NewDriverCommand();
  void RecreateCommands();
  virtual TServerSpecOperationsKv* InternalGetServerSpecOperations() const { return FServerSpecOperations; }
  void StructBuilt(TMTDataStructKv* DataStruct) override;
  bool DefaultUpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) override;
  void DefaultProduceDataReader(TDataSet*& DataReader, bool& FreeOnEof) override;
  void DefaultBuildDataStruct(TMTDataStructKv* DataStruct) override;
  void DefaultRefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  std::unique_ptr<TCustomSQLCommandKv> FSelectCommand, FUpdateCommand, FInsertCommand, FDeleteCommand, FGetrecCommand,
      FServiceCommand;
  TComponent* FDesignDataBase = nullptr;
  TStringList FSpecParams;
  TDynaSQLParamsKv FDynaSQLParams;
  TMacroVarsKv FMacroVars;
  TServerSpecOperationsKv* FServerSpecOperations = nullptr;
  IConnectionProviderKv* FConnectionProvider = nullptr;
};
