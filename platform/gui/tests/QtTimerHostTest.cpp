// The GUI layer's timer host on the Qt loop (offscreen): installed with the application, ticks come
// from the loop, a stopped timer ticks no more, and a timer may stop itself from its tick.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include "platform/classes/TimerHost.h"
#include "platform/gui/Forms.h"

namespace {

// Runs the loop until Done or a generous bound of rounds; waiting, not timing.
template <class F>
void LoopUntil(F Done) {
  for (int i = 0; i < 4000 && !Done(); ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
}

TEST(QtTimerHost, TicksOnTheLoopWhileTheApplicationLives) {
  static int argc = 1;
  static char name[] = "vellum_gui_tests";
  static char* argv[] = {name, nullptr};
  EXPECT_EQ(TimerHost(), nullptr);
  {
    TApplication app(argc, argv);
    TTimerHost* host = TimerHost();
    ASSERT_NE(host, nullptr);
    int a = 0, b = 0;
    std::uintptr_t idB = 0;
    const std::uintptr_t idA = host->StartTimer(1, [&] { ++a; });
    idB = host->StartTimer(1, [&] {
      ++b;
      host->StopTimer(idB);  // stops itself
    });
    ASSERT_NE(idA, 0u);
    ASSERT_NE(idB, idA);
    LoopUntil([&] { return a >= 3; });
    EXPECT_GE(a, 3);
    EXPECT_EQ(b, 1);
    host->StopTimer(idA);
    const int seen = a;
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5), QThread::msleep(1);
    EXPECT_EQ(a, seen);
    host->StopTimer(idA);  // twice: ignored
  }
  EXPECT_EQ(TimerHost(), nullptr);
}

}  // namespace
