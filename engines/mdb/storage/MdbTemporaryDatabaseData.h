// The database data of the temporary database "TEMP": the home of temporary tables (query results and
// the like), one for the process, made, registered and freed with the engine. Its tables are the
// temporary engine's (MdbTempEngine.h); each gets a generated name when it is made. Every session
// connected to it has session id 0.
#pragma once

#include "engines/mdb/storage/MdbDatabaseData.h"

class TMdbTemporaryDatabaseData : public TMdbDatabaseData {
  VELLUM_CLASS(TMdbTemporaryDatabaseData)
 public:
  TMdbTemporaryDatabaseData();
  void ConnectSession(TMdbBaseSession* Session) override;
  // A new temporary table under a generated name, registered; the cursor's FTableName becomes that
  // name (the name it asked for is not kept).
  TMdbTableData* CreateTableData(TMdbCursor* Cursor) override;
};
