// The database data of in-memory databases: "MEMORY", made at engine start, and any in-memory database
// a session opens by another name. It makes memory table data for its tables, gives every connecting
// session its id and keeps the tables' comments.
//
// Contract:
// - A session's id is the id of the thread that connected it: the sessions of one thread share one id
//   and count as one owner in the table and record locks.
// - A table lock is waited for at most 1,000 ms (RetryCount 1000 x Delay 1).
// - Views and the database stream of a memory database come with a later stage; until then no view
//   exists. Its stored-function manager is empty until the query processing brings functions.
#pragma once

#include <cstdint>

#include "engines/mdb/storage/MdbDatabaseData.h"

class TMdbMemoryDatabaseData : public TMdbDatabaseData {
  VELLUM_CLASS(TMdbMemoryDatabaseData)
 public:
  TMdbMemoryDatabaseData();

  // The base (the session joins the list), then the session's id := the calling thread's id.
  void ConnectSession(TMdbBaseSession* Session) override;
  // A new memory table data named after the cursor's table, owned by the database from here on.
  TMdbTableData* CreateTableData(TMdbCursor* Cursor) override;
  // The comment of the table of that name (compared upper-cased); empty when there is none.
  String GetTableComment(const String& TableName) override;
  // Nothing when there is no table of that name.
  void SetTableComment(const String& TableName, const String& Comment) override;

  std::int32_t FLastSessionID = -1;

 private:
  TMdbTableData* FindTableByName(const String& TableName) const;
};
