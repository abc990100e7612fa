#include "engines/mdb/storage/MdbTemporaryDatabaseData.h"

#include "engines/mdb/runtime/MdbExcept.h"

TMdbTemporaryDatabaseData::TMdbTemporaryDatabaseData() {
  FTemporary = true;
  FInMemory = false;
  FLockParams.RetryCount = 1000;
  FLockParams.Delay = 1;
}

TMdbTableData* TMdbTemporaryDatabaseData::CreateTableData(TMdbCursor*) {
  throw EMdbException(12401, u"Error - temporary tables are not available");
}
