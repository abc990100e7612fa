// Interval timers that tick on the user-interface thread's event loop, for the layers that may not see
// the GUI layer (engines). The GUI layer installs its host while its application object lives; a test
// may install its own. Without a host no timer can start.
#pragma once

#include <cstdint>
#include <functional>

class TTimerHost {
 public:
  virtual ~TTimerHost() = default;
  // Starts a repeating timer of IntervalMs milliseconds whose first tick comes a full interval from
  // now; Tick runs on the loop's thread. Returns its id, 0 when the host has no timer left.
  virtual std::uintptr_t StartTimer(unsigned IntervalMs, std::function<void()> Tick) = 0;
  // Stops a timer; an id of 0 or one already stopped is ignored.
  virtual void StopTimer(std::uintptr_t Id) = 0;
};

// Installs Host (nullptr: none); returns the previous one. Not owned.
TTimerHost* SetTimerHost(TTimerHost* Host);
TTimerHost* TimerHost();
