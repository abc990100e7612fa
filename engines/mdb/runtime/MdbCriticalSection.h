// The engine's locks behind one abstract class: a reader/writer lock (many readers or one writer,
// re-entrant for the writing thread, fair by waiting time, with a timeout) and a plain exclusive lock
// over one critical section.
//
// Reader/writer rules: a waiter polls (retries at once while the tick count stands still, sleeps 1 ms
// each time it moved). Its wait level grows with its waiting time (ProgressFromTicks against the
// longest wait); a waiter publishes its level and a newcomer of the same kind whose level is lower
// stays out, so the longest waiter of a kind goes first. Readers get in while readers hold the lock,
// also while a writer waits. The writing thread may take further read and write holds. A thread that
// holds a read lock and asks for the write lock waits for its own read hold and ends in the timeout.
// After the longest wait (40,960 ms unless set otherwise) a reader raises 12362, a writer 12363; a
// timed-out caller holds nothing and withdraws the wait level it published.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/classes/Classes.h"

inline constexpr std::uint32_t kMdbLockMaxWait = 40960;

class TMdbReadWriteThreadSync : public TObject {
  VELLUM_CLASS(TMdbReadWriteThreadSync)
 public:
  virtual void WaitAndLockForRead() = 0;
  virtual void WaitAndLockForWrite() = 0;
  virtual void Unlock() = 0;
  void Lock(bool Exclusive) { Exclusive ? WaitAndLockForWrite() : WaitAndLockForRead(); }

  TObject* FOwner = nullptr;
  AnsiString FOwnerName;
};

class TMdbReadWriteThreadSyncByCriticalSections : public TMdbReadWriteThreadSync {
  VELLUM_CLASS(TMdbReadWriteThreadSyncByCriticalSections)
 public:
  TMdbReadWriteThreadSyncByCriticalSections(TObject* pOwner, const AnsiString& OwnerDesc);
  void WaitAndLockForRead() override;
  void WaitAndLockForWrite() override;
  void Unlock() override;

  // The longest wait in ms before a waiter gives up; kMdbLockMaxWait unless set (tests shorten it).
  void SetMaxWait(std::uint32_t Ms) { FMaxWait = Ms; }
  std::uint32_t MaxWait() const { return FMaxWait; }
  // Snapshots for tests and diagnostics.
  std::int32_t Active() const;
  std::int32_t ActiveThreadID() const;
  Byte MaxWaitReadLevel() const;
  Byte MaxWaitWriteLevel() const;

 protected:
  // One admission attempt at wait level Level; true when the hold was taken.
  bool TryAdmitRead(Byte Level, std::int32_t ThreadID);
  bool TryAdmitWrite(Byte Level, std::int32_t ThreadID);

  // The holders and the writing (or first reading) thread in one word, changed by compare-and-swap:
  // low half FActive (< 0 the writer's nesting depth, > 0 the readers), high half FActiveThreadID. An
  // uncontended hold costs one atomic step to take and one to give back.
  static std::uint64_t Pack(std::int32_t Active, std::int32_t ThreadID) {
    return std::uint64_t(std::uint32_t(Active)) | (std::uint64_t(std::uint32_t(ThreadID)) << 32);
  }
  static std::int32_t ActiveOf(std::uint64_t State) { return std::int32_t(std::uint32_t(State)); }
  static std::int32_t ThreadOf(std::uint64_t State) { return std::int32_t(std::uint32_t(State >> 32)); }
  // Raises a published wait level to Level when it is higher.
  static void Publish(std::atomic<Byte>& Published, Byte Level);

  std::atomic<std::uint64_t> FState{Pack(0, -1)};
  std::atomic<Byte> FMaxWaitReadLevel{0};
  std::atomic<Byte> FMaxWaitWriteLevel{0};

 private:
  template <class Admit>
  void WaitFor(Admit&& TryAdmit, int TimeoutCode);
  std::uint32_t FMaxWait = kMdbLockMaxWait;
};

// Exclusive for every caller, re-entrant for the holding thread, waits without limit.
class TMdbReadWriteThreadSyncBySingleCriticalSection : public TMdbReadWriteThreadSync {
  VELLUM_CLASS(TMdbReadWriteThreadSyncBySingleCriticalSection)
 public:
  TMdbReadWriteThreadSyncBySingleCriticalSection() = default;
  void WaitAndLockForRead() override { FSect.lock(); }
  void WaitAndLockForWrite() override { FSect.lock(); }
  void Unlock() override { FSect.unlock(); }

 private:
  std::recursive_mutex FSect;
};

// Holds a lock for a scope: the write (exclusive) hold when Exclusive, else a read hold.
class TMdbLockGuard {
 public:
  TMdbLockGuard(TMdbReadWriteThreadSync& Sync, bool Exclusive) : FSync(Sync) { FSync.Lock(Exclusive); }
  ~TMdbLockGuard() { FSync.Unlock(); }
  TMdbLockGuard(const TMdbLockGuard&) = delete;
  TMdbLockGuard& operator=(const TMdbLockGuard&) = delete;

 private:
  TMdbReadWriteThreadSync& FSync;
};
