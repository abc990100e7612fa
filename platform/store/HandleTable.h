// THandleTable<T>: entries named by 32-bit handles, for the values a record buffer or a row refers to
// without holding an address (no address may reach a stream, and a buffer's layout has 4 bytes for it).
// Handle 0 is never handed out, so a zeroed slot means "none". Entries live in fixed pages: adding one
// never moves another, and a reference to an entry stays good until that entry is freed. A freed
// handle is handed out again by a later Add.
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
    Handle h;
    if (!FFree.empty()) {
      h = FFree.back();
      FFree.pop_back();
      (*this)[h] = T{};
      return h;
    }
    if (FCount >= std::numeric_limits<Handle>::max() - 1) throw std::length_error("too many handles");
    if ((FCount >> kPageBits) >= FPages.size()) AddPage();
    return static_cast<Handle>(++FCount);
  }
  // The entry stays readable until the handle is handed out again.
  void Free(Handle H) { FFree.push_back(H); }
  // Whether H was ever handed out (it may since have been freed).
  bool Contains(Handle H) const { return H != 0 && H <= FCount; }
  T& operator[](Handle H) { return FPages[(H - 1) >> kPageBits].get()[(H - 1) & (kPageSize - 1)]; }
  const T& operator[](Handle H) const { return FPages[(H - 1) >> kPageBits].get()[(H - 1) & (kPageSize - 1)]; }
  std::size_t Count() const { return FCount; }  // handles handed out so far, live or freed
  std::size_t LiveCount() const { return FCount - FFree.size(); }
  void Clear() {
    FPages.clear();
    FFree.clear();
    FCount = 0;
  }

 private:
  static constexpr unsigned kPageBits = 12;
  static constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;
  struct TPageReturn {
    bool Gathered;  // as the reserve handed the pages out (sys::TPages::Gathered)
    void operator()(T* Entries) const noexcept {
      std::destroy_n(Entries, kPageSize);
      sys::ReturnPages({Entries, sizeof(T) * kPageSize, true, Gathered});
    }
  };
  void AddPage() {
    FPages.reserve(FPages.size() + 1);
    const sys::TPages pages = sys::TakePages(sizeof(T) * kPageSize);
    if (pages.Memory == nullptr) throw std::bad_alloc();
    std::unique_ptr<T, TPageReturn> page(static_cast<T*>(pages.Memory), TPageReturn{pages.Gathered});
    std::uninitialized_value_construct_n(page.get(), kPageSize);
    FPages.push_back(std::move(page));
  }

  std::vector<std::unique_ptr<T, TPageReturn>> FPages;
  std::vector<Handle> FFree;
  std::size_t FCount = 0;
};
