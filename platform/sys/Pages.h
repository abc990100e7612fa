// Whole pages for stores that hold many fixed-size rows. A fresh mapping is zeroed and committed page by
// page as it is first touched; that first touch (a fault, and the kernel zeroing the page) is what
// dominates filling a large store. So pages a store gives back are kept in a reserve and handed out
// again: emptying and refilling a table, a load beside the rows it replaces or a save into an emptied
// stream reuses memory the process already holds.
//
// The process reserve keeps up to kPageReserveLimit bytes in all. A request takes the newest range of
// its size; failing that, the front of the smallest larger range (the rest stays in the reserve), so
// memory one store gave back serves another of a different size. A TPageReserve of one owner (a table
// whose rows are replaced load after load) keeps what that owner gives back for that owner alone, in
// front of the process reserve: other stores cannot take it in between, and what it cannot keep goes on
// to the process reserve.
// A large request (kGatherMinimum or more) asking to gather, that no kept range holds whole, is a fresh
// mapping into which the process reserve moves what it keeps, newest first, in place of the fresh pages
// (the kernel moves the pages, nothing is copied): a 200 MB save stream sized at once after a run that
// gave back many smaller ranges is not faulted in afresh. Only its remainder, past what is kept, is
// fresh. Such a block can grow only by copying, so a block that grows step by step does not gather.
// Memory from a reserve is not zeroed (TPages::Dirty).
// A fresh mapping of kHugePageSize or more starts on a huge-page boundary. Memory about to be written
// whole (populated, or the fresh part of a gathered block) is backed by huge pages where the kernel
// allows: a fresh page costs a fault per 4 KB otherwise, which dominates filling a large block.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace sys {

inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
inline constexpr std::size_t kPageReserveLimit = std::size_t{1} << 30;
inline constexpr std::size_t kGatherMinimum = std::size_t{4} << 20;

struct TPages {
  void* Memory = nullptr;
  std::size_t Size = 0;
  bool Dirty = false;  // came from a reserve: holds what its last user left
  // Made of ranges of several mappings: ResizePages may refuse it (kernels move such a range only
  // whole and unresized), and the reserve hands it out only as it stands or cut, never moves it.
  bool Gathered = false;
};

// Size rounded up to whole pages.
std::size_t WholePages(std::size_t Size);

class TPageReserve;
// The process reserve (made on first use, never destroyed).
TPageReserve& ProcessPageReserve();

class TPageReserve {
 public:
  // Keeps up to Limit bytes; what does not fit goes to Next, oldest first (back to the kernel when Next
  // is null, as for the process reserve itself).
  explicit TPageReserve(std::size_t Limit, TPageReserve* Next = &ProcessPageReserve());
  // Everything kept goes to Next.
  ~TPageReserve();
  TPageReserve(const TPageReserve&) = delete;
  TPageReserve& operator=(const TPageReserve&) = delete;

  // Size bytes (rounded up to whole pages): kept memory when there is enough in one range, else Next's
  // (else freshly mapped and zero; with Gather, from kGatherMinimum bytes on, with the kept ranges
  // moved into it). A null Memory when the kernel refuses.
  TPages Take(std::size_t Size, bool Gather = false);
  // Keeps Pages (memory any reserve handed out, or a whole mapping of its own).
  void Return(const TPages& Pages);
  std::size_t Bytes() const;
  // Everything kept goes to Next (or back to the kernel).
  void Release();

 private:
  struct TRange {
    void* Memory;
    std::size_t Size;
    bool Gathered;
  };
  // A range of exactly Size bytes cut from what is kept; null Memory when none is big enough.
  TPages TakeKept(std::size_t Size);
  // Moves kept ranges into the front of Pages (a fresh mapping), newest first, until it is full or
  // nothing movable is left. False when the kernel left a hole it could not fill again: Pages is then
  // unmapped and must not be used.
  bool GatherInto(TPages& Pages);
  // To Next, or back to the kernel.
  void PassOn(void* Memory, std::size_t Size, bool Gathered);

  std::size_t FLimit;
  TPageReserve* FNext;
  mutable std::mutex FLock;
  std::vector<TRange> FRanges;  // oldest first
  std::size_t FBytes = 0;
};

// The process reserve's Take, Return, Bytes and Release.
TPages TakePages(std::size_t Size, bool Gather = false);
void ReturnPages(const TPages& Pages);
std::size_t ReservedPages();
void ReleaseReservedPages();

// Pages grown or shrunk to Size bytes (rounded up to whole pages), keeping the bytes they hold up to the
// smaller size; the range may move (its pages are moved, not copied). A null Memory, with Pages still
// good, when the kernel refuses (also for gathered Pages: the caller then moves the bytes itself).
TPages ResizePages(const TPages& Pages, std::size_t Size);

// Commits the pages of [Memory, Memory + Size) for writing now, in one call instead of one fault per
// page, huge pages over the whole aligned 2 MB it spans; a hint only (nothing happens where the kernel
// cannot).
void PopulatePages(void* Memory, std::size_t Size);

}  // namespace sys
