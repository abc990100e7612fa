// The transaction a session holds while one is open: the tables it touched, committed or rolled back
// together.
//
// Contract:
// - A table joins on its first access inside the transaction (AddTableData). The first write makes
//   the session the table's writer: from then on its changes stay pending (index pages) or are noted
//   for undoing (records and their BLOB blocks) until the transaction ends.
// - Commit first takes RW for commit on every table the transaction wrote, retrying without pause
//   up to the first table's lock wait limit; when that fails everything is rolled back and 10826
//   raised. Then each table commits in the order it joined; a failure there rolls back the rest.
// - Rollback leaves every written table's records, BLOBs and keys as they were when it joined.
// - A transaction destroyed while open rolls back.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/classes/Classes.h"

class TMdbBaseSession;
class TMdbDatabaseData;
class TMdbTableData;
class TMdbAdvancedTableData;

class TMdbTransaction : public TObject {
  VELLUM_CLASS(TMdbTransaction)
 public:
  TMdbTransaction(TMdbBaseSession* aSession, TMdbDatabaseData* aDatabaseData);
  ~TMdbTransaction() override;
  TMdbTransaction(const TMdbTransaction&) = delete;
  TMdbTransaction& operator=(const TMdbTransaction&) = delete;

  // True when TableData (an advanced table data) joined now; False when it was listed already or is
  // of another kind; nil raises 11908.
  bool AddTableData(TMdbTableData* TableData);
  // Takes back a join whose lock was refused: the table is not the transaction's to commit or roll back.
  void RemoveTableData(TMdbAdvancedTableData* TableData) noexcept { std::erase(FTableDataList, TableData); }
  void Commit(bool FlushFileBuffers);
  void Rollback();

  bool IsFinished() const { return FIsFinished; }
  const std::vector<TMdbAdvancedTableData*>& Tables() const { return FTableDataList; }

 private:
  bool TryToLockAllForCommit();

  TMdbBaseSession* FSession;
  std::int32_t FSessionID;
  TMdbDatabaseData* FDatabaseData;
  bool FIsFinished = false;
  std::vector<TMdbAdvancedTableData*> FTableDataList;
};
