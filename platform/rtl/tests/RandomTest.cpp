#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/rtl/Random.h"

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

}  // namespace
