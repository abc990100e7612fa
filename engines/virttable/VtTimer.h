// TVtTimer: a component that calls OnTimer every Interval milliseconds on the user-interface thread,
// through the timer host of platform/classes (the GUI layer's event loop). It runs only while
// Enabled, Interval is not 0 and OnTimer is assigned; any change of those restarts it, so disabling
// and enabling again waits a full new interval. An exception from OnTimer goes to the application's
// exception route with the timer as sender.
#pragma once

#include <cstdint>

#include "platform/classes/Classes.h"
#include "platform/db/DataSet.h"
#include "platform/rtl/Exceptions.h"

namespace vt {

VELLUM_DECLARE_EXCEPTION(EOutOfResources, Exception)

class TVtTimer : public TComponent {
 public:
  explicit TVtTimer(TComponent* AOwner);
  ~TVtTimer() override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  unsigned Interval() const { return FInterval; }
  void SetInterval(unsigned Value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  void SetOnTimer(TNotifyEvent Value);
  // Whether a timer is running now.
  bool Running() const { return FTimerId != 0; }

 protected:
  virtual void Timer();

 private:
  // Stops the running timer and, when it should run, starts a new one. Raises EOutOfResources "Not
  // enough timers available" when the host refuses (or there is none).
  void UpdateTimer();
  unsigned FInterval = 1000;
  TNotifyEvent FOnTimer;
  bool FEnabled = true;
  std::uintptr_t FTimerId = 0;
};

}  // namespace vt
