// The small process-wide services: random numbers, the stopwatch and tick counter, the terminate hook
// and the unit initialisation list.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/rtl/Init.h"
#include "platform/rtl/Random.h"
#include "platform/rtl/Stopwatch.h"

namespace {

TEST(Random, SeededSequenceIsThePlatforms) {
  SetRandSeed(0);
  // seed := seed × 134775813 + 1: 1, 134775814, ...; Random(k) = (seed × k) >> 32
  EXPECT_EQ(Random(100), 0);
  EXPECT_EQ(GetRandSeed(), 1u);
  EXPECT_EQ(Random(1 << 30), static_cast<std::int32_t>((std::uint64_t{134775814} << 30) >> 32));
  SetRandSeed(42);
  std::vector<int> first;
  for (int i = 0; i < 5; ++i) first.push_back(Random(1000));
  SetRandSeed(42);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Random(1000), first[i]);
}

TEST(Random, StaysInRange) {
  SetRandSeed(7);
  struct Case {
    int range;
  };
  const Case cases[] = {{1}, {2}, {504}, {20902}, {0x7FFFFFFF}};
  for (const auto& c : cases) {
    int low = c.range, high = -1;
    for (int i = 0; i < 20000; ++i) {
      const int v = Random(c.range);
      ASSERT_GE(v, 0);
      ASSERT_LT(v, c.range);
      low = std::min(low, v);
      high = std::max(high, v);
    }
    if (c.range <= 504) {
      EXPECT_EQ(low, 0);
      EXPECT_EQ(high, c.range - 1);
    }
  }
  EXPECT_EQ(Random(0), 0);
  for (int i = 0; i < 20000; ++i) {
    const double f = RandomFloat();
    ASSERT_GE(f, 0.0);
    ASSERT_LT(f, 1.0);
    const int r = RandomRange(10, 20);
    ASSERT_GE(r, 10);
    ASSERT_LT(r, 20);
  }
  Randomize();
}

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

std::vector<std::string>* g_log = nullptr;
void InitA() { g_log->push_back("init A"); }
void DoneA() { g_log->push_back("done A"); }
void InitB() { g_log->push_back("init B"); }
void DoneB() { g_log->push_back("done B"); }
void InitFails() { throw std::runtime_error("boom"); }

TEST(UnitList, RunsInOrderAndFinalisesInReverse) {
  std::vector<std::string> log;
  g_log = &log;
  {
    TUnitList units;
    units.Add({"a", &InitA, &DoneA});
    units.Add({"b", &InitB, &DoneB});
    units.Add({"c", nullptr, nullptr});
    EXPECT_THROW(units.Add({"a", nullptr, nullptr}), std::logic_error);
    units.Initialize();
    EXPECT_EQ(units.InitializedCount(), 3u);
    EXPECT_THROW(units.Add({"d", nullptr, nullptr}), std::logic_error);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"init A", "init B", "done B", "done A"}));
  g_log = nullptr;
}

TEST(UnitList, AFailingInitFinalisesTheOnesBefore) {
  std::vector<std::string> log;
  g_log = &log;
  TUnitList units;
  units.Add({"a", &InitA, &DoneA});
  units.Add({"bad", &InitFails, &DoneB});
  units.Add({"b", &InitB, &DoneB});
  EXPECT_THROW(units.Initialize(), std::runtime_error);
  EXPECT_EQ(units.InitializedCount(), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"init A", "done A"}));
  g_log = nullptr;
}

TEST(UnitList, RtlUnitSeedsRandom) {
  TUnitList units;
  RegisterRtlUnit(units);
  SetRandSeed(0);
  units.Initialize();
  EXPECT_EQ(units[0].Name, "platform/rtl");
  EXPECT_NE(GetRandSeed(), 0u);  // the clock is never exactly 0
}

}  // namespace
