#include "engines/mdb/storage/MdbTransaction.h"

#include <algorithm>
#include <chrono>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/storage/MdbAdvancedTableData.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbSession.h"

namespace {
constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SCommitFailed[] =
    u"Commit operation failed - rollback called. Some of modified tables are locked by other sessions";
}  // namespace

TMdbTransaction::TMdbTransaction(TMdbBaseSession* aSession, TMdbDatabaseData* aDatabaseData)
    : FSession(aSession), FSessionID(aSession ? aSession->SessionID : 0), FDatabaseData(aDatabaseData) {}

TMdbTransaction::~TMdbTransaction() {
  if (FIsFinished) return;
  try {
    Rollback();
  } catch (...) {
  }
}

bool TMdbTransaction::AddTableData(TMdbTableData* TableData) {
  if (TableData == nullptr) throw EMdbException(11908, SNilPointer);
  auto* T = dynamic_cast<TMdbAdvancedTableData*>(TableData);
  if (T == nullptr || std::find(FTableDataList.begin(), FTableDataList.end(), T) != FTableDataList.end()) return false;
  FTableDataList.push_back(T);
  return true;
}

bool TMdbTransaction::TryToLockAllForCommit() {
  try {
    std::vector<TMdbAdvancedTableData*> Left;
    for (TMdbAdvancedTableData* T : FTableDataList)
      if (T->TransactionSessionID() != -1) Left.push_back(T);
    if (Left.empty()) return true;
    const auto Limit = std::chrono::milliseconds(Left.front()->GetMaxWaitLockTime());
    const auto Start = std::chrono::steady_clock::now();
    for (;;) {
      std::erase_if(Left, [&](TMdbAdvancedTableData* T) { return T->TryToLockRWForCommit(FSessionID); });
      if (Left.empty()) return true;
      if (std::chrono::steady_clock::now() - Start > Limit) return false;
    }
  } catch (...) {
    return false;
  }
}

void TMdbTransaction::Commit(bool FlushFileBuffers) {
  if (!TryToLockAllForCommit()) {
    Rollback();
    throw EMdbException(10826, SCommitFailed);
  }
  std::size_t Done = 0;
  try {
    for (; Done < FTableDataList.size(); ++Done) FTableDataList[Done]->Commit(FSessionID);
  } catch (...) {
    // The tables committed so far keep their changes; the others go back.
    for (std::size_t i = Done; i < FTableDataList.size(); ++i) {
      try {
        FTableDataList[i]->Rollback(FSessionID);
      } catch (...) {
      }
    }
    FIsFinished = true;
    throw;
  }
  if (FlushFileBuffers && FDatabaseData) {
    try {
      FDatabaseData->FlushFileBuffers();
    } catch (...) {
    }
  }
  FIsFinished = true;
}

void TMdbTransaction::Rollback() {
  FIsFinished = true;
  for (TMdbAdvancedTableData* T : FTableDataList) {
    try {
      T->Rollback(FSessionID);
    } catch (...) {
    }
  }
}
