// TFDMemTable: the platform's FD memory table over the shared memory engine, with its option objects
// and batch mode. Its files and streams are the engine's data file format under kFDMemTableMagic.
#pragma once

#include "platform/engines/MemEngine.h"

enum TFDStorageFormat { sfAuto, sfXML, sfBinary, sfJSON };
enum TFDLockMode { lmNone, lmPessimistic, lmOptimistic };
enum TFDLockPoint { lpImmediate, lpDeferred };
enum TFDFetchGeneratorsPoint { gpNone, gpImmediate, gpDeferred };

class TFDFetchOptions : public TPersistent {
  VELLUM_CLASS(TFDFetchOptions)
 public:
  // The most rows a fetch brings; -1 for no limit. A memory table fetches from nowhere, so it is kept
  // for the callers that set it and limits nothing.
  int RecsMax() const { return FRecsMax; }
  void SetRecsMax(int Value) { FRecsMax = Value < 0 ? -1 : Value; }

 private:
  int FRecsMax = -1;
};

class TFDResourceOptions : public TPersistent {
  VELLUM_CLASS(TFDResourceOptions)
 public:
  // Suppresses the busy cursor during long operations; this engine shows none, so it is only kept.
  bool SilentMode() const { return FSilentMode; }
  void SetSilentMode(bool Value) { FSilentMode = Value; }

 private:
  bool FSilentMode = false;
};

class TFDUpdateOptions : public TPersistent {
  VELLUM_CLASS(TFDUpdateOptions)
 public:
  // Record locking and generator fetching concern a database behind the table; a memory table keeps
  // the settings and has nothing to lock or generate.
  TFDLockMode LockMode() const { return FLockMode; }
  void SetLockMode(TFDLockMode Value) { FLockMode = Value; }
  TFDLockPoint LockPoint() const { return FLockPoint; }
  void SetLockPoint(TFDLockPoint Value) { FLockPoint = Value; }
  TFDFetchGeneratorsPoint FetchGeneratorsPoint() const { return FFetchGeneratorsPoint; }
  void SetFetchGeneratorsPoint(TFDFetchGeneratorsPoint Value) { FFetchGeneratorsPoint = Value; }

 private:
  TFDLockMode FLockMode = lmNone;
  TFDLockPoint FLockPoint = lpDeferred;
  TFDFetchGeneratorsPoint FFetchGeneratorsPoint = gpDeferred;
};

class TFDMemTable : public TMemEngineDataSet {
  VELLUM_CLASS(TFDMemTable)
 public:
  explicit TFDMemTable(TComponent* AOwner);
  ~TFDMemTable() override;

  TFDFetchOptions& FetchOptions() { return FFetchOptions; }
  TFDResourceOptions& ResourceOptions() { return FResourceOptions; }
  TFDUpdateOptions& UpdateOptions() { return FUpdateOptions; }

  // Batch mode holds back control notifications until EndBatch (nesting). AWithDelete announces that
  // the batch deletes rows; the engine needs no preparation for that and keeps the flag.
  void BeginBatch(bool AWithDelete = false);
  void EndBatch();
  bool InBatch() const { return FBatchCount > 0; }
  bool BatchWithDelete() const { return FBatchWithDelete; }

  // sfAuto and sfBinary are the engine's binary format; sfXML and sfJSON raise EDatabaseError. A load
  // replaces the rows and definitions only when the whole input is good.
  void SaveToFile(const String& AFileName, TFDStorageFormat AFormat = sfAuto);
  void LoadFromFile(const String& AFileName, TFDStorageFormat AFormat = sfAuto);
  void SaveToStream(TStream* AStream, TFDStorageFormat AFormat = sfAuto);
  void LoadFromStream(TStream* AStream, TFDStorageFormat AFormat = sfAuto);

 private:
  void CheckFormat(TFDStorageFormat AFormat);

  TFDFetchOptions FFetchOptions;
  TFDResourceOptions FResourceOptions;
  TFDUpdateOptions FUpdateOptions;
  int FBatchCount = 0;
  bool FBatchWithDelete = false;
};
