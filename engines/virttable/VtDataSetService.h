// The dataset service of the virtual table's dataset layer: the field classes the dataset makes, the
// preparation of its descriptors, the value limits of numeric fields, and the updater that carries the
// hooks of cached updates. A dataset asks for it through CreateDataSetService, so that a descendant
// can bring its own.
//
// Cached updates themselves are not built yet: the updater's hooks answer as a plain table needs
// (True, no batch) and nothing calls them.
#pragma once

#include <memory>

#include "platform/db/DB.h"
#include "platform/rtl/Variant.h"

class TMemDataSet;
class TDataSetService;

// The hooks of applying cached updates; every default succeeds without doing anything.
class TDataSetUpdater {
 public:
  // Raises "Assertion failure" without a service.
  TDataSetUpdater(TMemDataSet* DataSet, TDataSetService* Service);
  virtual ~TDataSetUpdater() = default;
  TMemDataSet* DataSet() const { return FDataSet; }
  TDataSetService* Service() const { return FDataSetService; }

  virtual bool ApplyAppend() { return true; }
  virtual bool ApplyDelete() { return true; }
  virtual bool ApplyUpdate() { return true; }
  virtual bool NotifyCacheChanged() { return true; }
  virtual bool NotifyCacheApplied() { return true; }
  virtual bool NotifyCacheCanceled() { return true; }
  virtual bool UsesBatch() const { return false; }
  virtual bool BatchIsFull() const { return false; }
  virtual void FlushBatch() {}

 private:
  TMemDataSet* FDataSet;
  TDataSetService* FDataSetService;
};

class TDataSetService {
 public:
  // Stores the dataset and makes the updater.
  explicit TDataSetService(TMemDataSet* DataSet);
  virtual ~TDataSetService() = default;
  TDataSetService(const TDataSetService&) = delete;
  TDataSetService& operator=(const TDataSetService&) = delete;

  TMemDataSet* DataSet() const { return FDataSet; }
  TDataSetUpdater* Updater() const { return FUpdater.get(); }

  virtual void CreateUpdater();
  // The current updater goes; Value takes its place.
  virtual void SetUpdater(std::unique_ptr<TDataSetUpdater> Value) { FUpdater = std::move(Value); }
  // Value limits from the descriptor of the definition's name, for a definition of ftSmallint,
  // ftInteger or ftFloat with a field of that name: integers -(10^Length - 1) .. 10^Length - 1; floats of
  // 0 < Length <= 15 get Precision Length and +-(10^(Length - Scale) - 10^-Scale).
  virtual void SetNumberRange(TFieldDef* FieldDef);
  // The platform's class for the type, the table's own for an offset time stamp (the internal code is
  // not consulted).
  virtual TFieldClass FieldClassForType(TFieldType FieldType, Word DataType);
  // With persistent fields: a descriptor is updateable exactly when the dataset has a field of its name.
  virtual void PrepareFields();
  // No properties exist: both fail an assertion ("Assertion failure").
  virtual bool SetProp(int Prop, const Variant& Value);
  virtual bool GetProp(int Prop, Variant& Value);

 private:
  TMemDataSet* FDataSet;
  std::unique_ptr<TDataSetUpdater> FUpdater;
};
