// TvlxCustomDeltaHandler: walks the changes kept in a vlx table's store (the version chains made while
// versioning is on) and hands each stored record to the hook of its resolved state, repeating a hook
// on request. Resolving changes no status or version; clearing them is the table's business.
#pragma once

#include "engines/vlx/vlxMemTable.h"

class TvlxCustomDeltaHandler : public TComponent {
  VELLUM_CLASS(TvlxCustomDeltaHandler)
 public:
  explicit TvlxCustomDeltaHandler(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  ~TvlxCustomDeltaHandler() override;

  // Raises "Delta handler is not assigned to any memorytables." without a table.
  virtual void Resolve();
  TvlxCustomMemTable* DataSet() const { return FDataSet; }
  void SetDataSet(TvlxCustomMemTable* Value) { FDataSet = Value; }
  int FieldCount() const;
  int GetRecNo() const { return FPRecord ? FPRecord->RecordNo + 1 : 0; }
  std::int32_t UniqueRecID() const { return FPRecord ? FPRecord->UniqueRecordID : -1; }
  PvlxRecord CurrentRecord() const { return FPRecord; }
  PvlxRecord OriginalRecord() const { return FPOrigRecord; }

 protected:
  virtual void StartRecordResolve() {}
  virtual void ResolveInserted(bool& Retry, TUpdateStatus& State) { (void)Retry; (void)State; }
  virtual void ResolveDeleted(bool& Retry, TUpdateStatus& State) { (void)Retry; (void)State; }
  virtual void ResolveModified(bool& Retry, TUpdateStatus& State) { (void)Retry; (void)State; }
  virtual void ResolveUnmodified(bool& Retry, TUpdateStatus& State) { (void)Retry; (void)State; }
  virtual void EndRecordResolve() {}

 private:
  void RequireTable() const;
  TvlxCustomMemTable* FDataSet = nullptr;
  PvlxRecord FPRecord = nullptr;
  PvlxRecord FPOrigRecord = nullptr;
};
