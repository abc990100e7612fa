// The database data object as far as the storage core uses it: the owner of a database's tables and
// of its object-id counter. Every index, sequence, field and constraint definition of a table takes
// its object id from here. The registry, sessions, table list and streams of a database are built on
// this class by the memory and temporary databases.
#pragma once

#include <cstdint>

#include "engines/mdb/storage/MdbFieldDefs.h"

class TMdbTableData;

class TMdbDatabaseData : public TObject {
  VELLUM_CLASS(TMdbDatabaseData)
 public:
  TMdbDatabaseData();
  TMdbDatabaseData(const TMdbDatabaseData&) = delete;
  TMdbDatabaseData& operator=(const TMdbDatabaseData&) = delete;

  // The next value of the object-id counter; past the Int32 range a range error (ERangeError).
  std::int32_t GetNewObjectId();
  // What a table data object calls from its destructor; the base keeps no table list.
  virtual void RemoveTableData(TMdbTableData*) noexcept {}

  TMdbSequenceDef& ObjectIdSequence() { return FObjectIdSequence; }
  bool FInMemory = true;
  bool FTemporary = false;

 protected:
  TMdbSequenceDef FObjectIdSequence;
};
