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
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "engines/kv/DataDriverKv.h"

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
enum TSpecMacrosUsageKv : unsigned {
  smuUseFilterMacroKv = 1,
  smuFilterAsWhereClauseKv = 2,
  smuFilterWithANDPrecedingKv = 4,
  smuUseSortOrderMacroKv = 8,
  smuSortOrderAsOrderByClauseKv = 16,
  smuSortOrderWithCommaPrecedingKv = 32,
};

// Named text values in order (macro variables, special parameters).
class TStringVarsKv {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::pair<String, String>& Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  // Empty when absent (names compared without regard to case).
  String Value(const String& Name) const;
  void SetValue(const String& Name, const String& Value);
  void Clear() { FItems.clear(); }
  std::function<void()> OnChange;

 private:
  std::vector<std::pair<String, String>> FItems;
};

// What executes commands against a database (outside this system).
class IConnectionProviderKv {
 public:
  virtual ~IConnectionProviderKv() = default;
  virtual int ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof, bool& Processed) = 0;
  virtual bool UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* Rec) {
    (void)Driver, (void)Data, (void)Rec;
    return false;  // not processed
  }
};

class TCustomSQLCommandKv {
 public:
  TCustomSQLCommandKv(TCustomSQLDataDriverKv* ADataDriver, TSQLCommandTypeKv AType);
  virtual ~TCustomSQLCommandKv() = default;

  const std::vector<String>& CommandText() const { return FCommandText; }
  void SetCommandText(std::vector<String> Lines);
  String Text() const;
  TSQLCommandTypeKv CommandType() const { return FCommandType; }
  void SetCommandType(TSQLCommandTypeKv Value) { FCommandType = Value; }
  TCustomSQLDataDriverKv* DataDriver() const { return FDataDriver; }
  // The text after macro substitution, formed again after any change of text or macros.
  const std::vector<String>& FinalCommandText();
  String FinalText();
  void SetObsolete() { FFinalCommandTextObsolete = true; }
  // The result of whatever executed it; -1 and no cursor when nothing did.
  virtual int Execute(TDataSet*& Cursor, bool& FreeOnEof);

 private:
  std::vector<String> FCommandText;
  TSQLCommandTypeKv FCommandType;
  TCustomSQLDataDriverKv* FDataDriver;
  std::vector<String> FFinalCommandText;
  bool FFinalCommandTextObsolete = true;
};

struct TDynaSQLParamsKv {
  String UpdateTable;
  String UpdateFields;  // comma-separated
  String KeyFields;     // comma-separated
  bool SkipUnchangedFields = false;
  unsigned Options = 0;  // TDynaSQLOptionKv bits
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

// The process-wide resolver: callbacks that may execute commands and apply records for every driver.
class TSQLDataDriverResolver {
 public:
  virtual ~TSQLDataDriverResolver() = default;
  TServerSpecOperationsKv* ServerSpecOperations = nullptr;
  std::function<int(TCustomSQLDataDriverKv*, TCustomSQLCommandKv*, TDataSet*& Cursor, bool& FreeOnEof, bool& Processed)>
      OnExecuteCommand;
  std::function<void(TCustomSQLDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, bool& Processed)> OnUpdateRecord;
  std::function<void(TCustomSQLDataDriverKv*, TMemoryRecordKv*, TCustomSQLCommandKv*, TDataSet*, bool& Processed)>
      OnGetBackUpdatedValues;

  virtual int ExecuteCommand(TCustomSQLDataDriverKv* Driver, TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof,
                             bool& Processed);
  // The result of the command run (-1: nothing ran).
  virtual int UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec, bool& Processed);
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
  TCustomSQLCommandKv* ServiceCommand() const { return FServiceCommand.get(); }
  TStringVarsKv& SpecParams() { return FSpecParams; }
  TDynaSQLParamsKv& DynaSQLParams() { return FDynaSQLParams; }
  TStringVarsKv& Macros() { return FMacros; }
  unsigned SpecMacrosUsages() const { return FSpecMacrosUsages; }
  void SetSpecMacrosUsages(unsigned Value);
  String FilterMacroName = u"%Filter%";
  String SortOrderMacroName = u"%SortOrder%";
  const String& FilterMacroValue() const { return FFilterMacroValue; }
  const String& SortOrderMacroValue() const { return FSortOrderMacroValue; }
  TServerSpecOperationsKv* ServerSpecOperations() const { return FServerSpecOperations; }
  void SetServerSpecOperations(TServerSpecOperationsKv* Value) { FServerSpecOperations = Value; }
  std::function<int(TCustomSQLDataDriverKv*, TCustomSQLCommandKv*, TDataSet*& Cursor, bool& FreeOnEof)> OnExecuteCommand;
  std::function<void(TCustomSQLDataDriverKv*, TMemoryRecordKv*, TCustomSQLCommandKv*, TDataSet*)> OnGetBackUpdatedValues;

  bool FilterTextSupported() const { return (FSpecMacrosUsages & smuUseFilterMacroKv) != 0; }
  bool OrderByTextSupported() const { return (FSpecMacrosUsages & smuUseSortOrderMacroKv) != 0; }
  void ApplyFilterText(const String& FilterText);
  void ApplyOrderByText(const String& OrderByText);
  void CommandTextsObsolete();
  virtual IConnectionProviderKv* GetConnectionProvider() const { return nullptr; }
  bool HaveDataConnection() const { return GetConnectionProvider() != nullptr; }
  virtual int ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof);
  // The record's statement: dynamic SQL when its kind asks for it, else the update/insert/delete
  // command; the result of running it (-1: nothing ran, nothing to run gives 0).
  virtual int DoUpdateRecord(TMemTableDataKv* Data, TMemoryRecordKv* MemRec);
  virtual void GenerateDynamicSQLCommand(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command);
  virtual void GetBackUpdatedValues(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command, TDataSet* ResDataSet);
  // A field the generated statements leave out (the insert's auto-increment field).
  bool FieldUsedInDynaSQL(const String& FieldName, TUpdateStatus Kind) const;

 protected:
  bool DefaultUpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) override;
  void DefaultProduceDataReader(TDataSet*& DataReader, bool& FreeOnEof) override;
  void DefaultBuildDataStruct(TMTDataStructKv* DataStruct) override;
  void DefaultRefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) override;

 private:
  std::unique_ptr<TCustomSQLCommandKv> FSelectCommand, FUpdateCommand, FInsertCommand, FDeleteCommand, FGetrecCommand,
      FServiceCommand;
  TStringVarsKv FSpecParams;
  TDynaSQLParamsKv FDynaSQLParams;
  TStringVarsKv FMacros;
  unsigned FSpecMacrosUsages = smuFilterAsWhereClauseKv | smuSortOrderAsOrderByClauseKv;
  String FFilterMacroValue, FSortOrderMacroValue;
  TServerSpecOperationsKv* FServerSpecOperations = nullptr;
};
