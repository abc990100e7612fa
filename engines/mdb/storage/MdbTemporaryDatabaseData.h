// The database data of the temporary database "TEMP": the home of temporary tables (query results and
// the like). It is made, registered and freed with the engine; its tables, which spill to temporary
// files, come with the temporary engine, and until then asking it for a table raises 12401.
#pragma once

#include "engines/mdb/storage/MdbDatabaseData.h"

class TMdbTemporaryDatabaseData : public TMdbDatabaseData {
  VELLUM_CLASS(TMdbTemporaryDatabaseData)
 public:
  TMdbTemporaryDatabaseData();
  TMdbTableData* CreateTableData(TMdbCursor* Cursor) override;
};
