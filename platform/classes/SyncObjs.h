// A re-entrant critical section: the thread that holds it may enter again; it is free once every Enter
// has its Leave. TCriticalSectionGuard holds it for a scope.
#pragma once

#include <mutex>

#include "platform/classes/Classes.h"

class TCriticalSection : public TObject {
  VELLUM_CLASS(TCriticalSection)
 public:
  TCriticalSection() = default;
  void Enter() { FLock.lock(); }
  void Leave() { FLock.unlock(); }
  bool TryEnter() { return FLock.try_lock(); }
  void Acquire() { Enter(); }
  void Release() { Leave(); }
  // For std::lock_guard / std::unique_lock.
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex FLock;
};

class TCriticalSectionGuard {
 public:
  explicit TCriticalSectionGuard(TCriticalSection& Section) : FSection(Section) { FSection.Enter(); }
  ~TCriticalSectionGuard() { FSection.Leave(); }
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

 private:
  TCriticalSection& FSection;
};
