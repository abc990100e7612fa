#include "platform/gui/QtTimerHost.h"

TQtTimerHost::~TQtTimerHost() = default;

std::uintptr_t TQtTimerHost::StartTimer(unsigned IntervalMs, std::function<void()> Tick) {
  auto timer = std::make_unique<QTimer>();
  timer->setInterval(static_cast<int>(IntervalMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : IntervalMs));
  const std::uintptr_t id = ++FNextId;
  // The tick may stop (and so destroy) its own timer: the QTimer goes later, on the loop.
  QObject::connect(timer.get(), &QTimer::timeout, [Tick = std::move(Tick)] { Tick(); });
  timer->start();
  if (!timer->isActive()) return 0;
  FTimers.emplace(id, std::move(timer));
  return id;
}

void TQtTimerHost::StopTimer(std::uintptr_t Id) {
  auto it = FTimers.find(Id);
  if (it == FTimers.end()) return;
  it->second->stop();
  it->second.release()->deleteLater();
  FTimers.erase(it);
}
