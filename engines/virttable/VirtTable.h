// TVirtTable: the stand-alone memory table of the virtual table engine. Its structure comes from its
// field definitions; its records live in a TVirtTableData record set that survives closing (with
// voPersistentData). It empties with Clear, and saves and loads the binary stream format of
// VtStreamFormat.h; a load replaces definitions and rows only when the whole stream was good.
#pragma once

#include <functional>
#include <memory>

#include "engines/virttable/VtDataSet.h"
#include "engines/virttable/VtStreamFormat.h"

enum TVirtTableOption { voPersistentData = 0, voStored = 1, voSetEmptyStrToNull = 2, voSkipUnSupportedFieldTypes = 3 };
using TVirtTableOptions = unsigned;  // bit n holds option n
inline constexpr TVirtTableOptions kDefaultVirtTableOptions = 11;

using TVirtTableProgressEvent = std::function<void(TObject* Sender, int Percent)>;

// The record set of a table: its descriptors come from the definitions it is pointed at.
class TVirtTableData : public vt::TMemData {
 public:
  explicit TVirtTableData(const TFieldDefs* Defs) : FDefs(Defs) {}
  void SetDefs(const TFieldDefs* Defs) { FDefs = Defs; }

 protected:
  void InternalOpen() override { InitFields(); }
  void InternalInitFields() override;

 private:
  const TFieldDefs* FDefs;
};

class TVirtTable : public TMemDataSet {
  VELLUM_CLASS(TVirtTable)
 public:
  explicit TVirtTable(TComponent* AOwner);
  ~TVirtTable() override;

  TVirtTableOptions Options() const { return FOptions; }
  void SetOptions(TVirtTableOptions Value);
  bool HasOption(TVirtTableOption Option) const { return (FOptions >> Option) & 1u; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  TVirtTableProgressEvent OnProgress;

  // Removes every record; structure, fields and definitions stay.
  void Clear();
  // Clear, then no definitions and no fields.
  void DeleteFields();

  void SaveToStream(TStream* Stream, bool StoreFields = true, bool StoreAllData = false);
  void SaveToFile(const String& FileName, bool StoreFields = true, bool StoreAllData = false);
  // Replaces the records (and, with LoadFields, the definitions and fields) by the stream's. On any
  // error the table keeps its definitions, fields, records, position and state.
  void LoadFromStream(TStream* Stream, bool LoadFields = true, bool DecodeHTMLEntities = true);
  void LoadFromFile(const String& FileName, bool LoadFields = true, bool DecodeHTMLEntities = true);

  void DefinitionsChanged(TObject* Sender) override;

  // A TVirtTable: its structure, persistent fields and visible rows, through the stream format; any
  // other dataset: AssignFromDataSet.
  void Assign(const TPersistent* Source) override;
  // Definitions from Source's fields, then every row of Source (64-bit integers kept exact). An
  // unsupported field type raises unless voSkipUnSupportedFieldTypes.
  void AssignFromDataSet(TDataSet* Source);
  void FieldDefsFromFields(const TFields& SourceFields, TFieldDefs& Defs);
  // With voStored the rows travel in the owner's component stream as the binary property "Data".
  void DefineProperties(TFiler* Filer) override;
  void Loaded() override;

 protected:
  bool GetCanModify() const override { return Active() && !FReadOnly; }
  void CursorClose() override;

 private:
  void FireProgress(int Percent);
  vt::TProgressFunc ProgressFunc();
  void WriteData(TStream* Stream);
  void ReadData(TStream* Stream);
  TMemoryStream FRecordDataStream;  // "Data" between reading the component and Loaded
  // After a definition change: rows keep their values in the fields that keep their names.
  void RestructureKeepingData();
  std::vector<vt::TStreamFieldDef> StreamDefsOfDefinitions() const;
  std::vector<vt::TStreamFieldDef> StreamDefsOfDescriptors() const;
  void SaveDefs(TStream& Stream, const std::vector<vt::TStreamFieldDef>& Defs,
                const std::vector<vt::TStreamPersistentField>& Persistent = {}, bool AllRows = true);
  void LoadInto(TStream& Stream, bool LoadFields);
  void LoadXml(TStream& Stream, bool LoadFields, bool DecodeHTMLEntities);

  TVirtTableOptions FOptions = kDefaultVirtTableOptions;
  int FAvoidReload = 0;
  bool FAvoidRefreshData = false;
  bool FReadOnly = false;
};
