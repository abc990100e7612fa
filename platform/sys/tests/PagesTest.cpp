#include "platform/sys/Pages.h"

#include <gtest/gtest.h>

#include <cstdint>
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

TEST(Pages, ALargeRequestGathersTheKeptRangesAndKeepsTheirBytes) {
  sys::ReleaseReservedPages();
  const std::size_t slab = sys::kHugePageSize;
  std::vector<sys::TPages> slabs;
  for (int i = 0; i < 3; ++i) {
    slabs.push_back(sys::TakePages(slab));
    std::memset(slabs.back().Memory, i + 1, slab);
  }
  for (const sys::TPages& p : slabs) sys::ReturnPages(p);

  const sys::TPages plain = sys::TakePages(5 << 20);
  EXPECT_FALSE(plain.Dirty) << "not asked to gather: fresh";
  // No kept range holds 5 MB: the newest ranges are moved in front, the oldest is cut.
  const sys::TPages big = sys::TakePages(5 << 20, true);
  ASSERT_NE(big.Memory, nullptr);
  EXPECT_TRUE(big.Dirty);
  EXPECT_TRUE(big.Gathered);
  const auto* b = static_cast<const unsigned char*>(big.Memory);
  EXPECT_EQ(b[0], 3);
  EXPECT_EQ(b[slab - 1], 3);
  EXPECT_EQ(b[slab], 2);
  EXPECT_EQ(b[2 * slab + (1 << 20) - 1], 1);
  EXPECT_EQ(sys::ReservedPages(), slab - (1 << 20)) << "the rest of the oldest range stays kept";
  std::memset(big.Memory, 0x5A, big.Size);
  sys::ReturnPages(big);

  // Given back, it is handed out whole again, but never moved into another gathering.
  const sys::TPages larger = sys::TakePages(8 << 20, true);
  EXPECT_EQ(static_cast<unsigned char*>(larger.Memory)[0], 1) << "the rest of the oldest range came first";
  EXPECT_EQ(sys::ReservedPages(), big.Size);
  const sys::TPages again = sys::TakePages(5 << 20, true);
  EXPECT_EQ(again.Memory, big.Memory);
  EXPECT_TRUE(again.Gathered);
  EXPECT_EQ(static_cast<unsigned char*>(again.Memory)[big.Size - 1], 0x5A);
  // A gathered range may not grow in place; where it does not, it is left as it was.
  sys::TPages grown = sys::ResizePages(again, 16 << 20);
  if (grown.Memory == nullptr) grown = again;
  EXPECT_EQ(static_cast<unsigned char*>(grown.Memory)[big.Size - 1], 0x5A);
  sys::ReturnPages(grown);
  sys::ReturnPages(larger);
  sys::ReturnPages(plain);
  sys::ReleaseReservedPages();
  EXPECT_EQ(sys::ReservedPages(), 0u);
}

TEST(Pages, FreshLargeMappingsStartOnAHugePageAndPopulatedOnesKeepTheirBytes) {
  sys::ReleaseReservedPages();
  const std::size_t page = sys::WholePages(1);
  // Sizes around the huge page: below it the mapping is plain, from it on it is aligned whatever its size.
  for (const std::size_t size : {sys::kHugePageSize - page, sys::kHugePageSize, sys::kHugePageSize + page,
                                 3 * sys::kHugePageSize + 5 * page}) {
    const sys::TPages p = sys::TakePages(size);
    ASSERT_NE(p.Memory, nullptr) << size;
    EXPECT_EQ(p.Size, size);
    if (size >= sys::kHugePageSize) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p.Memory) % sys::kHugePageSize, 0u) << size;
    }
    auto* bytes = static_cast<unsigned char*>(p.Memory);
    bytes[0] = 1;
    sys::PopulatePages(bytes + page / 2, size - page);
    EXPECT_EQ(bytes[0], 1) << "populating keeps what is written";
    EXPECT_EQ(bytes[size / 2], 0);
    bytes[size - 1] = 2;  // the whole size is mapped, up to its last byte
    sys::ReturnPages(p);
  }
  sys::ReleaseReservedPages();
}
