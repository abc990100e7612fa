// TADODataSet and its recordset: the platform's ADO dataset over the shared memory engine. The rows
// live in the dataset; its TADORecordset is the COM-style object through which they are saved to and
// opened from an IStream (ComStream.h) in the engine's data file format under kADODataSetMagic.
//
// A recordset is either attached to one dataset (its rows are the dataset's) or standalone (it holds
// the rows it opened). Handing a standalone recordset to SetRecordset moves its rows into the dataset;
// the dataset's previous recordset is detached and left closed.
#pragma once

#include <memory>

#include "platform/engines/ComStream.h"
#include "platform/engines/MemEngine.h"

enum TPersistFormat { pfADTG, pfXML };
inline constexpr int adPersistADTG = 0;
inline constexpr int adPersistXML = 1;
inline constexpr int adOpenUnspecified = -1;
inline constexpr int adLockUnspecified = -1;
inline constexpr int adCmdUnspecified = -1;

class TADODataSet;

class TADORecordset : public IUnknown {
 public:
  TADORecordset() = default;
  ~TADORecordset() override;
  TADORecordset(const TADORecordset&) = delete;
  TADORecordset& operator=(const TADORecordset&) = delete;

  // Writes the rows to Destination, which must offer IStream, in PersistFormat (only adPersistADTG).
  // Raises EOleException on a closed recordset, another format or a failing stream, as an automation
  // call does.
  void Save(IUnknown* Destination, int PersistFormat = adPersistADTG);
  // Reads rows from Source, an IStream, from its position on. ActiveConnection must be missing
  // (EmptyParam) or empty, the three options unspecified (-1) or any value (they do not apply to rows
  // in memory). Fails with E_INVALIDARG for a source that is not a stream, E_FAIL for an open recordset
  // or bad data (the error text goes to OleCheck); the recordset is unchanged on failure.
  HRESULT Open(IUnknown* Source, const Variant& ActiveConnection, int CursorType, int LockType, int Options);
  // Closes a standalone recordset, dropping its rows; an attached one stays with its dataset.
  void Close();

  bool IsOpen() const { return Rows() != nullptr; }
  int RecordCount() const;
  TADODataSet* DataSet() const { return FDataSet; }

 private:
  friend class TADODataSet;
  TRowStore* Rows() const;

  TADODataSet* FDataSet = nullptr;    // borrowed: the dataset whose rows these are
  std::unique_ptr<TRowStore> FStore;  // standalone rows
};

class TADODataSet : public TMemEngineDataSet {
  VELLUM_CLASS(TADODataSet)
 public:
  explicit TADODataSet(TComponent* AOwner);
  ~TADODataSet() override;

  const std::shared_ptr<TADORecordset>& Recordset() const { return FRecordset; }
  // Makes Value the dataset's recordset: its rows become the dataset's and the dataset ends open.
  // Raises EDatabaseError for a missing or closed recordset or one attached to another dataset.
  void SetRecordset(std::shared_ptr<TADORecordset> Value);

  // pfADTG is the engine's binary format; pfXML raises EDatabaseError. A load replaces the rows and
  // definitions only when the whole file is good.
  void SaveToFile(const String& FileName, TPersistFormat Format = pfADTG);
  void LoadFromFile(const String& FileName);

 private:
  std::shared_ptr<TADORecordset> FRecordset;
};
