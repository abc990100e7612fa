#include "engines/mdb/runtime/MdbCriticalSection.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"

TMdbReadWriteThreadSyncByCriticalSections::TMdbReadWriteThreadSyncByCriticalSections(TObject* pOwner,
                                                                                     const AnsiString& OwnerDesc) {
  FOwner = pOwner;
  FOwnerName = OwnerDesc;
}

bool TMdbReadWriteThreadSyncByCriticalSections::TryAdmitRead(Byte Level, std::int32_t ThreadID) {
  std::lock_guard<std::mutex> Guard(FSect);
  if (Level >= FMaxWaitReadLevel && (FActive >= 0 || ThreadID == FActiveThreadID)) {
    if (FActive < 0) {
      --FActive;
    } else {
      ++FActive;
      if (FActiveThreadID == -1) FActiveThreadID = ThreadID;
    }
    FMaxWaitReadLevel = 0;
    return true;
  }
  FMaxWaitReadLevel = std::max(FMaxWaitReadLevel, Level);
  return false;
}

bool TMdbReadWriteThreadSyncByCriticalSections::TryAdmitWrite(Byte Level, std::int32_t ThreadID) {
  std::lock_guard<std::mutex> Guard(FSect);
  if (Level >= FMaxWaitWriteLevel && (FActive == 0 || (FActive < 0 && ThreadID == FActiveThreadID))) {
    --FActive;
    if (FActiveThreadID == -1) FActiveThreadID = ThreadID;
    FMaxWaitWriteLevel = 0;
    return true;
  }
  FMaxWaitWriteLevel = std::max(FMaxWaitWriteLevel, Level);
  return false;
}

template <class Admit>
void TMdbReadWriteThreadSyncByCriticalSections::WaitFor(Admit&& TryAdmit, int TimeoutCode) {
  const bool Reader = TimeoutCode == 12362;
  const std::uint32_t Start = CurrentTickCount();
  std::uint32_t LastTick = Start;
  const std::uint32_t Limit = FMaxWait;
  while (!TryAdmit(ProgressFromTicks(Start, Limit))) {
    const std::uint32_t Now = CurrentTickCount();
    if (Now == LastTick) continue;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    LastTick = CurrentTickCount();
    const std::uint32_t Elapsed = TickDifference(LastTick, Start);
    if (Elapsed > Limit) {
      // A waiter that gives up withdraws the level it published: left standing, it would keep every
      // later waiter of its kind out until that one had waited as long, that is, until it timed out
      // too. Waiters still waiting publish theirs again on their next try.
      {
        std::lock_guard<std::mutex> Guard(FSect);
        (Reader ? FMaxWaitReadLevel : FMaxWaitWriteLevel) = 0;
      }
      throw EMdbException(TimeoutCode, SMdbCriticalSectionTimeout, {Int64(Elapsed), Int64(Limit)});
    }
  }
}

void TMdbReadWriteThreadSyncByCriticalSections::WaitAndLockForRead() {
  const std::int32_t Me = CurrentThreadID();
  WaitFor([&](Byte Level) { return TryAdmitRead(Level, Me); }, 12362);
}

void TMdbReadWriteThreadSyncByCriticalSections::WaitAndLockForWrite() {
  const std::int32_t Me = CurrentThreadID();
  WaitFor([&](Byte Level) { return TryAdmitWrite(Level, Me); }, 12363);
}

void TMdbReadWriteThreadSyncByCriticalSections::Unlock() {
  std::lock_guard<std::mutex> Guard(FSect);
  if (FActive < 0) ++FActive;
  else if (FActive > 0) --FActive;
  if (FActive == 0) FActiveThreadID = -1;
}

std::int32_t TMdbReadWriteThreadSyncByCriticalSections::Active() const {
  std::lock_guard<std::mutex> Guard(FSect);
  return FActive;
}
std::int32_t TMdbReadWriteThreadSyncByCriticalSections::ActiveThreadID() const {
  std::lock_guard<std::mutex> Guard(FSect);
  return FActiveThreadID;
}
Byte TMdbReadWriteThreadSyncByCriticalSections::MaxWaitReadLevel() const {
  std::lock_guard<std::mutex> Guard(FSect);
  return FMaxWaitReadLevel;
}
Byte TMdbReadWriteThreadSyncByCriticalSections::MaxWaitWriteLevel() const {
  std::lock_guard<std::mutex> Guard(FSect);
  return FMaxWaitWriteLevel;
}
