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

TEST(Pages, ASmallerRequestIsCutFromTheSmallestLargerRange) {
  sys::ReleaseReservedPages();
  const std::size_t page = sys::WholePages(1);
  const sys::TPages big = sys::TakePages(64 * page);
  const sys::TPages mid = sys::TakePages(16 * page);
  static_cast<unsigned char*>(mid.Memory)[4 * page] = 0x3C;
  sys::ReturnPages(mid);
  sys::ReturnPages(big);
  const sys::TPages cut = sys::TakePages(4 * page);
  EXPECT_EQ(cut.Memory, mid.Memory) << "the smallest range that holds it";
  EXPECT_TRUE(cut.Dirty);
  EXPECT_EQ(cut.Size, 4 * page);
  const sys::TPages rest = sys::TakePages(12 * page);
  EXPECT_EQ(rest.Memory, static_cast<char*>(mid.Memory) + 4 * page) << "the rest stayed, a range of its own";
  EXPECT_EQ(static_cast<unsigned char*>(rest.Memory)[0], 0x3C);
  EXPECT_EQ(sys::ReservedPages(), 64 * page);
  for (const sys::TPages& p : {cut, rest}) sys::ReturnPages(p);
  sys::ReleaseReservedPages();
}

TEST(Pages, AnOwnersReserveKeepsItsPagesAndPassesOnTheRest) {
  sys::ReleaseReservedPages();
  const std::size_t page = sys::WholePages(1);
  std::vector<sys::TPages> taken;
  {
    sys::TPageReserve own(8 * page);
    const sys::TPages a = own.Take(4 * page);
    EXPECT_FALSE(a.Dirty) << "nothing kept yet: fresh from the process";
    const sys::TPages b = own.Take(4 * page);
    const sys::TPages c = own.Take(4 * page);
    for (const sys::TPages& p : {a, b, c}) own.Return(p);
    EXPECT_EQ(own.Bytes(), 8 * page);
    EXPECT_EQ(sys::ReservedPages(), 4 * page) << "the oldest range went on to the process reserve";
    const sys::TPages passed = sys::TakePages(4 * page);
    EXPECT_EQ(passed.Memory, a.Memory);
    const sys::TPages again = own.Take(4 * page);
    EXPECT_EQ(again.Memory, c.Memory) << "the owner gets its own pages back, the newest first";
    EXPECT_TRUE(again.Dirty);
    taken = {passed, again};
  }
  EXPECT_EQ(sys::ReservedPages(), 4 * page) << "what the owner kept went to the process reserve with it";
  for (const sys::TPages& p : taken) sys::ReturnPages(p);
  sys::ReleaseReservedPages();
}
