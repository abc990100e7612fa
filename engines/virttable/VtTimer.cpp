#include "engines/virttable/VtTimer.h"

#include "platform/classes/ExceptionRoute.h"
#include "platform/classes/TimerHost.h"

namespace vt {

TVtTimer::TVtTimer(TComponent* AOwner) : TComponent(AOwner) {}

TVtTimer::~TVtTimer() {
  FEnabled = false;
  if (FTimerId)
    if (TTimerHost* host = TimerHost()) host->StopTimer(FTimerId);
  FTimerId = 0;
}

void TVtTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateTimer();
}

void TVtTimer::SetInterval(unsigned Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  UpdateTimer();
}

void TVtTimer::SetOnTimer(TNotifyEvent Value) {
  FOnTimer = std::move(Value);
  UpdateTimer();
}

void TVtTimer::UpdateTimer() {
  TTimerHost* host = TimerHost();
  if (FTimerId && host) host->StopTimer(FTimerId);
  FTimerId = 0;
  if (FInterval == 0 || !FEnabled || !FOnTimer) return;
  if (host) FTimerId = host->StartTimer(FInterval, [this] {
    try {
      Timer();
    } catch (...) {
      HandleCurrentException(this);
    }
  });
  if (!FTimerId) throw EOutOfResources(u"Not enough timers available");
}

void TVtTimer::Timer() {
  if (FOnTimer) FOnTimer(this);
}

}  // namespace vt
