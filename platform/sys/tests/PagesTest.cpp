#include "platform/sys/Pages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

TEST(Pages, ResizingKeepsTheBytesAndTheReserveKeepsTheNewestRanges) {
  sys::ReleaseReservedPages();
  sys::TPages p = sys::TakePages(8192);
  static_cast<unsigned char*>(p.Memory)[8191] = 0x5C;
  p = sys::ResizePages(p, 64 << 20);
  ASSERT_NE(p.Memory, nullptr);
  EXPECT_EQ(p.Size, std::size_t{64} << 20);
  EXPECT_EQ(static_cast<unsigned char*>(p.Memory)[8191], 0x5C);
  sys::ReturnPages(p);
  // Past the limit the oldest ranges go: the newest one is still there.
  std::vector<sys::TPages> big;
  const std::size_t step = sys::kPageReserveLimit / 4;
  for (int i = 0; i < 5; ++i) big.push_back(sys::TakePages(step));
  for (const sys::TPages& b : big) sys::ReturnPages(b);
  EXPECT_EQ(sys::ReservedPages(), 4 * step) << "the 64 MB range and the first big one were given back";
  const sys::TPages newest = sys::TakePages(step);
  EXPECT_EQ(newest.Memory, big.back().Memory);
  sys::ReturnPages(newest);
  sys::ReleaseReservedPages();
}
