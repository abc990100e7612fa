#include "platform/rtl/Stopwatch.h"

#include <cstdlib>
#include <utility>

void TStopwatch::Start() {
  if (FRunning) return;
  FStart = Clock::now();
  FRunning = true;
}

void TStopwatch::Stop() {
  if (!FRunning) return;
  FElapsed += Clock::now() - FStart;
  FRunning = false;
}

void TStopwatch::Reset() {
  FElapsed = {};
  FRunning = false;
}

void TStopwatch::Restart() {
  Reset();
  Start();
}

TStopwatch::Clock::duration TStopwatch::Elapsed() const {
  return FRunning ? FElapsed + (Clock::now() - FStart) : FElapsed;
}

std::int64_t TStopwatch::ElapsedMilliseconds() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Elapsed()).count();
}

std::int64_t TStopwatch::ElapsedTicks() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Elapsed()).count();
}

std::uint64_t GetTickCount64() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::uint32_t GetTickCount() { return static_cast<std::uint32_t>(GetTickCount64()); }

namespace {
TTerminateHook& Hook() {
  static TTerminateHook hook;
  return hook;
}
}  // namespace

void SetTerminateProcessHook(TTerminateHook NewHook) { Hook() = std::move(NewHook); }

void TerminateProcessNow() {
  if (const TTerminateHook& hook = Hook()) {
    hook(0);
    return;
  }
  std::_Exit(0);
}
