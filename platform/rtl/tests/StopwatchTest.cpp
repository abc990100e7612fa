#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/rtl/Stopwatch.h"

namespace {

TEST(Stopwatch, MeasuresAndAccumulates) {
  TStopwatch w = TStopwatch::StartNew();
  EXPECT_TRUE(w.IsRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  w.Stop();
  const std::int64_t first = w.ElapsedMilliseconds();
  EXPECT_GE(first, 20);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(w.ElapsedMilliseconds(), first);  // stopped: no time passes
  w.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(w.ElapsedMilliseconds(), first + 5);
  w.Reset();
  EXPECT_FALSE(w.IsRunning());
  EXPECT_EQ(w.ElapsedMilliseconds(), 0);
  EXPECT_EQ(TStopwatch::Create().ElapsedTicks(), 0);
}

TEST(Stopwatch, TickDifferencesWrap) {
  const std::uint32_t a = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(TickDiff(a, GetTickCount()), 10u);
  EXPECT_EQ(TickDiff(0xFFFFFFF0u, 0x10u), 0x20u);
}

TEST(Terminate, HookReplacesTheExit) {
  int code = -1;
  SetTerminateProcessHook([&](int exitCode) { code = exitCode; });
  TerminateProcessNow();
  EXPECT_EQ(code, 0);
  SetTerminateProcessHook(nullptr);
}

TEST(TerminateDeathTest, ExitsAtOnceWithZero) {
  EXPECT_EXIT(TerminateProcessNow(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
