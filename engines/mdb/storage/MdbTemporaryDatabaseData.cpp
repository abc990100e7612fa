#include "engines/mdb/storage/MdbTemporaryDatabaseData.h"

#include <memory>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTempEngine.h"

TMdbTemporaryDatabaseData::TMdbTemporaryDatabaseData() {
  FTemporary = true;
  FInMemory = false;
  FDatabaseName = AnsiString("TEMP");
  FLockParams.RetryCount = 1000;
  FLockParams.Delay = 1;
}

void TMdbTemporaryDatabaseData::ConnectSession(TMdbBaseSession* Session) {
  if (Session == nullptr) throw EMdbException(10269, u"Nil pointer occured");
  TMdbDatabaseData::ConnectSession(Session);
  Session->SessionID = 0;
}

TMdbTableData* TMdbTemporaryDatabaseData::CreateTableData(TMdbCursor* Cursor) {
  if (Cursor == nullptr) throw EMdbException(10269, u"Nil pointer occured");
  auto T = std::make_unique<TMdbTemporaryTableData>(this, kMdbTemporaryRecordsPerPage, kMdbTemporaryAllocRecordsBy);
  TMdbLockGuard G(FThreadSync, true);
  // Room first: the registration below cannot fail once the name is drawn.
  FTableDataList.reserve(FTableDataList.size() + 1);
  // Names are told apart by their CRC: a generated name whose CRC a table already has is drawn again.
  String Name;
  do {
    Name = MdbGenerateTemporaryTableName();
  } while (FindTableDataByCRC(UpperNameCRC(Name)) != nullptr);
  T->SetTableName(Name);
  Cursor->FTableName = Name;
  TMdbTableData* Result = T.get();
  FTableDataList.push_back(std::move(T));
  return Result;
}
