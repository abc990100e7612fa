// The table data object: the one object per table that every cursor of every session shares. This
// header holds the part of it the storage helpers below the table data already rely on; the table
// data core builds on it.
#pragma once

#include <cstdint>

#include "platform/classes/Classes.h"

class TMdbTableData : public TObject {
  VELLUM_CLASS(TMdbTableData)
 public:
  // The number of live records of the table.
  virtual Int64 InternalGetRecordCount() = 0;

  // Record ids compare by slot alone in memory tables, as one 48-bit number in temporary tables.
  bool FInMemory = true;
  bool FTemporary = false;
};
