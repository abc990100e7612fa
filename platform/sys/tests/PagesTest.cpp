#include "platform/sys/Pages.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Pages, GivenBackPagesAreHandedOutAgainForTheSameSize) {
  sys::ReleaseReservedPages();
  const sys::TPages a = sys::TakePages(10000);
  ASSERT_NE(a.Memory, nullptr);
  EXPECT_GE(a.Size, 10000u);
  EXPECT_FALSE(a.Dirty);
  EXPECT_EQ(static_cast<unsigned char*>(a.Memory)[9999], 0);
  std::memset(a.Memory, 0xAB, a.Size);
  sys::ReturnPages(a);
  EXPECT_EQ(sys::ReservedPages(), a.Size);

  const sys::TPages other = sys::TakePages(a.Size * 2);  // another size: fresh
  EXPECT_FALSE(other.Dirty);
  const sys::TPages again = sys::TakePages(10000);
  EXPECT_EQ(again.Memory, a.Memory);
  EXPECT_TRUE(again.Dirty);
  EXPECT_EQ(static_cast<unsigned char*>(again.Memory)[0], 0xAB) << "reserve pages are not zeroed";
  EXPECT_EQ(sys::ReservedPages(), 0u);
  sys::ReturnPages(again);
  sys::ReturnPages(other);
  sys::ReleaseReservedPages();
  EXPECT_EQ(sys::ReservedPages(), 0u);
  EXPECT_EQ(sys::TakePages(0).Memory, nullptr);
}
