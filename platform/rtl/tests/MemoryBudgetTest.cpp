#include "platform/rtl/MemoryBudget.h"

#include <gtest/gtest.h>

#include "platform/rtl/Exceptions.h"

namespace {

TEST(MemoryBudget, ChargesUpToTheLimitAndNoFurther) {
  SetLoadMemoryLimit(1000);
  TMemoryBudget budget;
  budget.Charge(600);
  budget.Charge(400);
  EXPECT_THROW(budget.Charge(1), EOutOfMemory);
  EXPECT_EQ(budget.Charged(), 1000u) << "a refused charge is not counted";
  EXPECT_THROW(TMemoryBudget().Charge(static_cast<std::size_t>(-1)), EOutOfMemory) << "no wrap-around";
  SetLoadMemoryLimit(0);
  // The default follows what the system reports, and leaves a quarter of it alone.
  const std::size_t available = AvailableMemory();
  ASSERT_GT(available, 0u);
  EXPECT_LE(TMemoryBudget().Limit(), available);
}

}  // namespace
