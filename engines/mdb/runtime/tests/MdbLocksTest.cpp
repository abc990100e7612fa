// The reader/writer lock with a shortened limit and the exclusive lock.
#include "engines/mdb/runtime/MdbCriticalSection.h"

#include <atomic>
#include <thread>

#include "engines/mdb/runtime/MdbUtils.h"
#include "MdbTestSupport.h"

namespace {

class RWLock : public TMdbReadWriteThreadSyncByCriticalSections {
 public:
  RWLock() : TMdbReadWriteThreadSyncByCriticalSections(nullptr, "Test") {}
  using TMdbReadWriteThreadSyncByCriticalSections::FMaxWaitReadLevel;
  using TMdbReadWriteThreadSyncByCriticalSections::TryAdmitRead;
};

template <class F>
bool Eventually(F&& Cond) {
  for (int i = 0; i < 5000; ++i) {
    if (Cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(MdbLocks, WriterIsReentrant) {
  RWLock L;
  L.WaitAndLockForWrite();
  L.WaitAndLockForRead();
  L.WaitAndLockForWrite();
  EXPECT_EQ(L.Active(), -3);
  EXPECT_EQ(L.ActiveThreadID(), CurrentThreadID());
  L.Unlock();
  L.Unlock();
  L.Unlock();
  EXPECT_EQ(L.Active(), 0);
  EXPECT_EQ(L.ActiveThreadID(), -1);
  L.Unlock();  // an unlock too many leaves a free lock free
  EXPECT_EQ(L.Active(), 0);
}

TEST(MdbLocks, ReadersHoldOffAWriterAndWriterHoldsOffReaders) {
  RWLock L;
  L.WaitAndLockForRead();
  std::atomic<bool> Done{false};
  std::thread Other([&] {
    L.WaitAndLockForRead();  // readers share
    L.Unlock();
    L.WaitAndLockForWrite();
    Done = true;
    L.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(Done);
  L.Unlock();
  Other.join();
  EXPECT_TRUE(Done);

  L.WaitAndLockForWrite();
  std::atomic<bool> Read{false};
  std::thread Reader([&] {
    L.WaitAndLockForRead();
    Read = true;
    L.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(Read);
  L.Unlock();
  Reader.join();
  EXPECT_TRUE(Read);
}

TEST(MdbLocks, UpgradeTimesOutAndLeavesTheLock) {
  RWLock L;
  L.SetMaxWait(60);
  L.WaitAndLockForRead();
  EXPECT_EQ(NativeCodeOf([&] { L.WaitAndLockForWrite(); }), 12363);
  EXPECT_EQ(L.Active(), 1);
  // The level the timed-out writer published is withdrawn: the next writer is not held off by it.
  EXPECT_EQ(L.MaxWaitWriteLevel(), 0);
  L.Unlock();
  EXPECT_EQ(L.Active(), 0);

  L.WaitAndLockForWrite();
  std::thread Other([&] { EXPECT_EQ(NativeCodeOf([&] { L.WaitAndLockForRead(); }), 12362); });
  Other.join();
  EXPECT_EQ(L.Active(), -1);
  L.Unlock();
}

std::atomic<std::uint32_t> Ticks{1000};
std::uint32_t ReadTicks() { return Ticks.load(); }

TEST(MdbLocks, LongerWaitingReaderGoesFirst) {
  SetMdbTickSource(&ReadTicks);
  RWLock L;
  L.WaitAndLockForWrite();
  std::atomic<bool> In{false};
  std::thread Waiter([&] {
    L.WaitAndLockForRead();
    In = true;
    L.Unlock();
  });
  // Let the waiter start, then let 161 ms pass on its clock: it publishes level 1.
  EXPECT_TRUE(Eventually([&] {
    Ticks += 161;
    return L.MaxWaitReadLevel() >= 1;
  }));
  // A newcomer at level 0 stays out even of a free lock while a longer waiter has published.
  L.Unlock();
  // Either the waiter is already in (and cleared the level), or the newcomer is refused.
  if (!In) {
    const bool Admitted = L.TryAdmitRead(0, -77);
    if (Admitted) {
      EXPECT_EQ(L.FMaxWaitReadLevel, 0);  // only possible after the waiter was let in
      L.Unlock();
    }
  }
  Waiter.join();
  EXPECT_TRUE(In);
  EXPECT_EQ(L.Active(), 0);
  // The rule itself, without threads: a published level keeps level-0 readers out.
  L.FMaxWaitReadLevel = 3;
  EXPECT_FALSE(L.TryAdmitRead(0, 1));
  EXPECT_TRUE(L.TryAdmitRead(3, 1));
  EXPECT_EQ(L.FMaxWaitReadLevel, 0);
  L.Unlock();
  SetMdbTickSource(nullptr);
}

TEST(MdbLocks, SingleCriticalSectionExcludesEveryone) {
  for (bool Exclusive : {true, false}) {
    TMdbReadWriteThreadSyncBySingleCriticalSection L;
    L.Lock(Exclusive);
    L.Lock(Exclusive);  // re-entrant
    std::atomic<bool> In{false};
    std::thread Other([&] {
      L.Lock(false);
      In = true;
      L.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(In);
    L.Unlock();
    L.Unlock();
    Other.join();
    EXPECT_TRUE(In);
  }
}

}  // namespace
