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

void TMdbReadWriteThreadSyncByCriticalSections::Publish(std::atomic<Byte>& Published, Byte Level) {
  Byte Seen = Published.load(std::memory_order_relaxed);
  while (Seen < Level && !Published.compare_exchange_weak(Seen, Level, std::memory_order_relaxed)) {
  }
}

bool TMdbReadWriteThreadSyncByCriticalSections::TryAdmitRead(Byte Level, std::int32_t ThreadID) {
  if (Level >= FMaxWaitReadLevel.load(std::memory_order_relaxed)) {
    std::uint64_t S = FState.load(std::memory_order_relaxed);
    for (;;) {
      const std::int32_t Active = ActiveOf(S), Holder = ThreadOf(S);
      std::uint64_t Next;
      if (Active >= 0) Next = Pack(Active + 1, Holder == -1 ? ThreadID : Holder);
      else if (ThreadID == Holder) Next = Pack(Active - 1, Holder);
      else break;
      if (FState.compare_exchange_weak(S, Next, std::memory_order_acquire, std::memory_order_relaxed)) {
        FMaxWaitReadLevel.store(0, std::memory_order_relaxed);
        return true;
      }
    }
  }
  Publish(FMaxWaitReadLevel, Level);
  return false;
}

bool TMdbReadWriteThreadSyncByCriticalSections::TryAdmitWrite(Byte Level, std::int32_t ThreadID) {
  if (Level >= FMaxWaitWriteLevel.load(std::memory_order_relaxed)) {
    std::uint64_t S = FState.load(std::memory_order_relaxed);
    for (;;) {
      const std::int32_t Active = ActiveOf(S), Holder = ThreadOf(S);
      if (!(Active == 0 || (Active < 0 && ThreadID == Holder))) break;
      const std::uint64_t Next = Pack(Active - 1, Holder == -1 ? ThreadID : Holder);
      if (FState.compare_exchange_weak(S, Next, std::memory_order_acquire, std::memory_order_relaxed)) {
        FMaxWaitWriteLevel.store(0, std::memory_order_relaxed);
        return true;
      }
    }
  }
  Publish(FMaxWaitWriteLevel, Level);
  return false;
}

template <class Admit>
void TMdbReadWriteThreadSyncByCriticalSections::WaitFor(Admit&& TryAdmit, int TimeoutCode) {
  // An uncontended lock is taken without reading the clock: a first try has waited no time, so it
  // publishes the lowest level (the highest when waits are not allowed).
  if (TryAdmit(FMaxWait == 0 ? Byte(255) : Byte(0))) return;
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
      (Reader ? FMaxWaitReadLevel : FMaxWaitWriteLevel).store(0, std::memory_order_relaxed);
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
  std::uint64_t S = FState.load(std::memory_order_relaxed);
  for (;;) {
    std::int32_t Active = ActiveOf(S);
    if (Active < 0) ++Active;
    else if (Active > 0) --Active;
    const std::uint64_t Next = Pack(Active, Active == 0 ? -1 : ThreadOf(S));
    if (FState.compare_exchange_weak(S, Next, std::memory_order_release, std::memory_order_relaxed)) return;
  }
}

std::int32_t TMdbReadWriteThreadSyncByCriticalSections::Active() const { return ActiveOf(FState.load()); }
std::int32_t TMdbReadWriteThreadSyncByCriticalSections::ActiveThreadID() const { return ThreadOf(FState.load()); }
Byte TMdbReadWriteThreadSyncByCriticalSections::MaxWaitReadLevel() const { return FMaxWaitReadLevel.load(); }
Byte TMdbReadWriteThreadSyncByCriticalSections::MaxWaitWriteLevel() const { return FMaxWaitWriteLevel.load(); }
