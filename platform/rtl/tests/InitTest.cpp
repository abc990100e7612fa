#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/rtl/Init.h"
#include "platform/rtl/Random.h"

namespace {

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
