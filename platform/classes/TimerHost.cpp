#include "platform/classes/TimerHost.h"

namespace {
TTimerHost* gTimerHost = nullptr;
}  // namespace

TTimerHost* SetTimerHost(TTimerHost* Host) {
  TTimerHost* previous = gTimerHost;
  gTimerHost = Host;
  return previous;
}

TTimerHost* TimerHost() { return gTimerHost; }
