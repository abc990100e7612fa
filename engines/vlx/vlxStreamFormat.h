// TvlxCustomStreamFormat: the pluggable strategy through which a vlx table saves itself to a stream and
// loads itself from one. The table's SaveViaFormat / LoadViaFormat run Save / Load here, which run the
// prepare, run and finish steps. The base decides which fields take part, switches the table's filter
// off around a save, holds the store lock for the whole operation and restores on every exit exactly
// what its own prepare step changed. The steps that write and read bytes are empty here; the binary
// format (vlxMemBinaryStreamFormat.h) fills them. One format object serves any number of tables, one
// operation at a time.
#pragma once

#include <memory>
#include <vector>

#include "engines/vlx/vlxMemTable.h"

// Flag sets: each attribute is a bit set over its own members.
enum : unsigned { sfSaveData = 1, sfLoadData = 2 };
enum : unsigned { sfSaveCalculated = 1, sfLoadCalculated = 2 };
enum : unsigned { sfSaveLookup = 1, sfLoadLookup = 2 };
enum : unsigned { sfSaveNonVisible = 1, sfLoadNonVisible = 2 };
enum : unsigned { sfSaveBlobs = 1, sfLoadBlobs = 2 };
enum : unsigned { sfSaveDef = 1, sfLoadDef = 2, sfAutoLayoutDef = 4, sfLoadByFieldNo = 8 };
enum : unsigned { sfSaveIndexDef = 1, sfLoadIndexDef = 2 };
enum : unsigned { sfSaveFiltered = 1 };
enum : unsigned { sfSaveIgnoreRange = 1 };
enum : unsigned { sfSaveIgnoreMasterDetail = 1 };
enum : unsigned { sfSaveDeltas = 1, sfLoadDeltas = 2 };
enum : unsigned { sfSaveDontFilterDeltas = 1 };
enum : unsigned { sfSaveAppend = 1, sfSaveInsert = 2 };
enum : unsigned { sfSaveFieldKind = 1, sfLoadFieldKind = 2 };
enum : unsigned { sfLoadFromStart = 1 };
enum : unsigned { sfLoadDetermineWidth = 1 };

using TvlxFormatNotifyEvent = std::function<void(TObject* Sender)>;

class TvlxCustomStreamFormat : public TComponent {
  VELLUM_CLASS(TvlxCustomStreamFormat)
 public:
  explicit TvlxCustomStreamFormat(TComponent* AOwner);
  ~TvlxCustomStreamFormat() override;

  virtual String GetVersion() const { return u"1.00"; }
  String Version() const { return GetVersion(); }
  void Assign(const TPersistent* Source) override;

  // Driven by the table: prepare, run, finish. A failing save or load passes its error on after the
  // finish step restored the table.
  void Save(TvlxCustomMemTable* Table, TStream* Stream);
  void Load(TvlxCustomMemTable* Table, TStream* Stream);

  unsigned sfData = sfSaveData | sfLoadData;
  unsigned sfCalculated = 0;
  unsigned sfLookup = 0;
  unsigned sfNonVisible = sfSaveNonVisible | sfLoadNonVisible;
  unsigned sfBlobs = sfSaveBlobs | sfLoadBlobs;
  unsigned sfDef = sfSaveDef | sfLoadDef;
  unsigned sfIndexDef = sfSaveIndexDef | sfLoadIndexDef;
  unsigned sfFiltered = sfSaveFiltered;
  unsigned sfIgnoreRange = sfSaveIgnoreRange;
  unsigned sfIgnoreMasterDetail = sfSaveIgnoreMasterDetail;
  unsigned sfDeltas = 0;
  unsigned sfDontFilterDeltas = 0;
  unsigned sfAppend = 0;
  unsigned sfFieldKind = sfSaveFieldKind;
  unsigned sfFromStart = sfLoadFromStart;
  unsigned sfDisplayWidth = 0;

  TvlxOnCompress OnCompress;
  TvlxOnDeCompress OnDeCompress;
  TvlxFormatNotifyEvent OnBeforeSave, OnAfterSave, OnBeforeLoad, OnAfterLoad;

  // Per table field: its index when saved, else -1.
  std::vector<int> SaveFields;
  // Per stream field position: the table field it loads into, else -1; the widest text read there.
  std::vector<int> LoadFields;
  std::vector<int> LoadFieldWidths;

 protected:
  virtual void ChooseSaveFields(TvlxCustomMemTable* Table);
  virtual void PrepareSave(TvlxCustomMemTable* Table);
  virtual void WriteDefinitions(TvlxCustomMemTable* Table) { (void)Table; }
  virtual void WriteRecords(TvlxCustomMemTable* Table) { (void)Table; }
  virtual void RunSave(TvlxCustomMemTable* Table);
  virtual void FinishSave(TvlxCustomMemTable* Table);
  virtual void CollectFieldNames(TvlxCustomMemTable* Table, std::vector<String>& Names, bool AfterDefinitions);
  virtual void ChooseLoadFields(TvlxCustomMemTable* Table, bool AfterDefinitions);
  virtual void MapLoadField(TvlxCustomMemTable* Table, const String& Name, bool AfterDefinitions,
                            int& TableFieldIndex, int Position, int Count);
  virtual void PrepareLoad(TvlxCustomMemTable* Table);
  virtual void ReadDefinitions(TvlxCustomMemTable* Table) { (void)Table; }
  virtual void ReadRecords(TvlxCustomMemTable* Table) { (void)Table; }
  // Applies what the read steps staged; the table is unchanged until here.
  virtual void CommitLoad(TvlxCustomMemTable* Table) { (void)Table; }
  // Frees what the read steps staged when the load does not commit.
  virtual void DiscardLoad(TvlxCustomMemTable* Table) { (void)Table; }
  virtual void RunLoad(TvlxCustomMemTable* Table);
  virtual void FinishLoad(TvlxCustomMemTable* Table, bool Succeeded);
  virtual void RestorePositionAfterLoad(TvlxCustomMemTable* Table);
  virtual void RefreshAfterLoad(TvlxCustomMemTable* Table);

  // Whether a field of this kind, type and visibility takes part in a load.
  bool LoadAllowed(TFieldKind Kind, TFieldType Type, bool Visible) const;

  TStream* FOrigStream = nullptr;
  TStream* FWorkStream = nullptr;
  std::unique_ptr<TMemoryStream> FOwnedWorkStream;
  TBookmark FBookmark;

  // What a prepare step changed, so that its finish step restores exactly that.
  struct TRemembered {
    bool Locked = false;
    bool ControlsDisabled = false;
    TvlxState State = mtstBrowse;
    bool StateSet = false;
    bool Filtered = false;
    bool FilterSwitched = false;
    TvlxIndex* DetailIndex = nullptr;
    bool MasterLinkUsed = true;
    TvlxIndex* RangeIndex = nullptr;
    bool Persistent = false;
    bool EnableIndexes = true;
    bool IgnoreReadOnly = false;
    bool IgnoreAutoIncPopulation = false;
    bool FlagsSet = false;
  } FWas;
};
