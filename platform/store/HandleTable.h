// THandleTable<T>: entries named by 32-bit handles, for the values a record buffer or a row refers to
// without holding an address (no address may reach a stream, and a buffer's layout has 4 bytes for it).
// Handle 0 is never handed out, so a zeroed slot means "none". Entries live in fixed pages: adding one
// never moves another, and a reference to an entry stays good until that entry is freed. A freed
// handle is handed out again by a later Add (the latest freed first). Freeing needs no memory: the free
// handles are chained through a word beside each entry, so releasing millions of values at once never
// grows a list on fresh pages.
//
// The pages are whole memory pages from the process page reserve and go back to it when the table is
// cleared or destroyed, so a table filled again after another was dropped reuses memory the process
// already holds rather than faulting in fresh pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "platform/sys/Pages.h"

template <class T>
class THandleTable {
 public:
  using Handle = std::uint32_t;

  // A handle whose entry is T{} (reset when it was used before); raises std::length_error when 2^32 - 1
  // handles are live.
  Handle Add() {
    if (FFreeHead != 0) {
      const Handle h = FFreeHead;
      TSlot& slot = SlotOf(h);
      FFreeHead = slot.NextFree;
      slot.NextFree = 0;
      slot.Value = T{};
      --FFreeCount;
      return h;
    }
    if (FCount >= std::numeric_limits<Handle>::max() - 1) throw std::length_error("too many handles");
    if ((FCount >> kPageBits) >= FPages.size()) AddPage();
    return static_cast<Handle>(++FCount);
  }
  // The entry stays readable until the handle is handed out again.
  void Free(Handle H) {
    SlotOf(H).NextFree = FFreeHead;
    FFreeHead = H;
    ++FFreeCount;
  }
  // Whether H was ever handed out (it may since have been freed).
  bool Contains(Handle H) const { return H != 0 && H <= FCount; }
  T& operator[](Handle H) { return SlotOf(H).Value; }
  const T& operator[](Handle H) const { return FPages[(H - 1) >> kPageBits].get()[(H - 1) & (kPageSize - 1)].Value; }
  std::size_t Count() const { return FCount; }  // handles handed out so far, live or freed
  std::size_t LiveCount() const { return FCount - FFreeCount; }
  // Every handle goes at once and the pages go back to the reserve: no work per entry beyond T's
  // destructor (none for the trivially destructible entries of the stores).
  void Clear() {
    FPages.clear();
    FFreeHead = 0;
    FFreeCount = 0;
    FCount = 0;
  }

 private:
  static constexpr unsigned kPageBits = 12;
  static constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;
  // The link sits in the entry's padding when it has some (a blob entry stays 24 bytes).
  struct TSlot {
    T Value{};
    Handle NextFree = 0;  // the next free handle after this one, while this one is free
  };
  struct TPageReturn {
    bool Gathered;  // as the reserve handed the pages out (sys::TPages::Gathered)
    void operator()(TSlot* Slots) const noexcept {
      std::destroy_n(Slots, kPageSize);
      sys::ReturnPages({Slots, sizeof(TSlot) * kPageSize, true, Gathered});
    }
  };
  TSlot& SlotOf(Handle H) { return FPages[(H - 1) >> kPageBits].get()[(H - 1) & (kPageSize - 1)]; }
  void AddPage() {
    FPages.reserve(FPages.size() + 1);
    const sys::TPages pages = sys::TakePages(sizeof(TSlot) * kPageSize);
    if (pages.Memory == nullptr) throw std::bad_alloc();
    std::unique_ptr<TSlot, TPageReturn> page(static_cast<TSlot*>(pages.Memory), TPageReturn{pages.Gathered});
    std::uninitialized_value_construct_n(page.get(), kPageSize);
    FPages.push_back(std::move(page));
  }

  std::vector<std::unique_ptr<TSlot, TPageReturn>> FPages;
  Handle FFreeHead = 0;  // 0: none free
  std::size_t FFreeCount = 0;
  std::size_t FCount = 0;
};
