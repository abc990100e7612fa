// The database data of in-memory databases: "MEMORY", made at engine start, and any in-memory database
// a session opens by another name. It makes memory table data for its tables, gives every connecting
// session its id and keeps the tables' comments.
//
// Contract:
// - A session's id is the id of the thread that connected it: the sessions of one thread share one id
//   and count as one owner in the table and record locks.
// - A table lock is waited for at most 1,000 ms (RetryCount 1000 x Delay 1).
// - Views live in memory only: they are listed with the tables (names, infos, TableExists) and a
//   table or view name is taken once for both; the database stream holds no view.
// - Database stream (little-endian), written and read under the exclusive database lock:
//     Int32 N (11759 / 11760), the number of tables (views are not written)
//     N table streams (MdbMemoryTableData.h)
//     the stored-function block (MdbQueryServices.h), read only when bytes remain after the tables
//   A reader checks 0 <= N and N x 42 (a table stream's header) <= the bytes left. A load is staged:
//   every table and the stored functions are read first; the database changes only once the whole
//   stream was read, so a bad stream leaves every table and function as it was. A loaded table replaces
//   the table of its name (refused with 10152 while that one is open, 10838 while a transaction holds
//   it); tables the stream does not name stay.
#pragma once

#include <cstdint>

#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbMetaDefs.h"

class TMdbStoredFunctionManager;

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

  // The table names, then every view's name.
  void InternalGetTablesList(TMdbBaseSession* Session, TMdbWideStringList* List) override;
  // The tables' infos, then one per view (LastTableOperation ltoCreateView).
  TMdbTableInfoArray GetTablesInfo(bool SortByTableName) override;
  bool TableExists(TMdbBaseSession* Session, const String& TableName) override;
  void LoadDatabaseFromStream(TMdbBaseSession* Session, TStream* Stream) override;
  void SaveDatabaseToStream(TMdbBaseSession* Session, TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm,
                            Byte CompressionMode, std::int32_t BlockSize) override;

  // ---- views -------------------------------------------------------------------------------------
  // 12623 when a table or view of that name exists.
  void CreateView(TMdbBaseSession* Session, const String& ViewName, std::unique_ptr<TMdbViewDef> ViewDef) override;
  // 12624 when no table or view has that name; 12625 when another view reads it and bCascade is
  // False (with it, those views go too). A table of that name is left alone.
  void DropView(TMdbBaseSession* Session, const String& ViewName, bool bCascade) override;
  // A copy the caller owns; nil when there is no such view.
  TMdbViewDef* FindView(TMdbBaseSession* Session, const String& ViewName) override;
  // Before a table is deleted: the views reading Name go with Cascade, else 12626. True when Name was
  // itself a view, now dropped (nothing else is to be deleted).
  bool CheckDeleteTableOrView(const String& Name, bool Cascade);
  std::int32_t ViewCount();

  TMdbStoredFunctionManager* StoredFunctionManager() const;

  std::int32_t FLastSessionID = -1;

 private:
  TMdbTableData* FindTableByName(const String& TableName) const;
  bool ViewExists(const String& Name) const { return FViewDefs.GetDefNumberByName(Name) >= 0; }

  TMdbViewDefs FViewDefs;
};
