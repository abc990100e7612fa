#include "engines/mdb/storage/MdbMemoryDatabaseData.h"

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbSession.h"

TMdbMemoryDatabaseData::TMdbMemoryDatabaseData() {
  FTemporary = false;
  FInMemory = true;
  FPageManager = nullptr;
  FLockParams.RetryCount = 1000;
  FLockParams.Delay = 1;
  FStoredFunctionsManager = std::make_unique<TMdbStoredFunctionManager>(this);
}

void TMdbMemoryDatabaseData::ConnectSession(TMdbBaseSession* Session) {
  if (Session == nullptr) throw EMdbException(10269, u"Nil pointer occured");
  TMdbDatabaseData::ConnectSession(Session);
  // Thread ids are positive; the sign bit is kept clear all the same, -1 means "no session".
  Session->SessionID = CurrentThreadID() & 0x7FFFFFFF;
}

TMdbTableData* TMdbMemoryDatabaseData::CreateTableData(TMdbCursor* Cursor) {
  if (Cursor == nullptr) throw EMdbException(10269, u"Nil pointer occured");
  auto T = std::make_unique<TMdbMemoryTableData>(this, Cursor->FMemoryTableAllocBy);
  T->SetTableName(Cursor->FTableName);
  TMdbTableData* Result = T.get();
  AddTableData(T.release());
  return Result;
}

TMdbTableData* TMdbMemoryDatabaseData::FindTableByName(const String& TableName) const {
  const std::uint32_t Crc = NameCRC32Wide(TableName, true);
  const String Upper = UpperCaseWide(TableName);
  for (const auto& T : FTableDataList)
    if (T && T->TableNameCRC() == Crc && UpperCaseWide(T->TableName()) == Upper) return T.get();
  return nullptr;
}

String TMdbMemoryDatabaseData::GetTableComment(const String& TableName) {
  TMdbLockGuard G(FThreadSync, false);
  const TMdbTableData* T = FindTableByName(TableName);
  return T ? T->FComment : String();
}

void TMdbMemoryDatabaseData::SetTableComment(const String& TableName, const String& Comment) {
  TMdbLockGuard G(FThreadSync, true);
  if (TMdbTableData* T = FindTableByName(TableName)) T->FComment = Comment;
}
