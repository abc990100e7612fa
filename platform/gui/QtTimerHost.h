// The timer host of the GUI layer: each timer is a QTimer on the Qt event loop. TApplication installs
// one for its lifetime.
#pragma once

#include <QTimer>
#include <map>
#include <memory>

#include "platform/classes/TimerHost.h"

class TQtTimerHost : public TTimerHost {
 public:
  ~TQtTimerHost() override;
  std::uintptr_t StartTimer(unsigned IntervalMs, std::function<void()> Tick) override;
  void StopTimer(std::uintptr_t Id) override;
  std::size_t Count() const { return FTimers.size(); }

 private:
  std::map<std::uintptr_t, std::unique_ptr<QTimer>> FTimers;
  std::uintptr_t FNextId = 0;
};
