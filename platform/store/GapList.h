// TGapList<T>: a sequence of small trivially copyable items (row ids, row addresses) with a gap at the
// last place of change. Rows are inserted and deleted where the cursor stands, again and again at one
// place: each such change costs O(1); moving the gap elsewhere costs one memmove of the items between.
//
// Also here: FindNear, the search outward from a position hint that finds a row whose place shifted by
// the inserts and deletes around it (the cursor usually stands on or beside it).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

template <class T>
class TGapList {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  std::size_t Count() const { return FItems.size() - (FGapEnd - FGapStart); }
  T operator[](std::size_t I) const { return FItems[I < FGapStart ? I : I + (FGapEnd - FGapStart)]; }
  T& At(std::size_t I) { return FItems[I < FGapStart ? I : I + (FGapEnd - FGapStart)]; }

  void Insert(std::size_t I, T Item) {
    if (FGapStart == FGapEnd) Grow(1);
    MoveGap(I);
    FItems[FGapStart++] = Item;
  }
  T Remove(std::size_t I) {
    MoveGap(I);
    return FItems[FGapEnd++];
  }
  // Moves the item at From so that it ends at position To (positions after the removal).
  void Move(std::size_t From, std::size_t To) {
    if (From == To) return;
    const T item = Remove(From);
    Insert(To, item);
  }
  void Clear() {
    std::vector<T>().swap(FItems);
    FGapStart = FGapEnd = 0;
  }
  // Room for Wanted items in all without another growth.
  void Reserve(std::size_t Wanted) {
    if (Wanted > Count() && Wanted - Count() > FGapEnd - FGapStart) Grow(Wanted - Count());
  }
  // The items as one contiguous array (the gap is moved to the end).
  std::span<T> Contiguous() {
    MoveGap(Count());
    return {FItems.data(), Count()};
  }

 private:
  void MoveGap(std::size_t I) {
    if (I < FGapStart) {
      const std::size_t n = FGapStart - I;
      std::memmove(&FItems[FGapEnd - n], &FItems[I], n * sizeof(T));
      FGapStart -= n;
      FGapEnd -= n;
    } else if (I > FGapStart) {
      const std::size_t n = I - FGapStart;
      std::memmove(&FItems[FGapStart], &FItems[FGapEnd], n * sizeof(T));
      FGapStart += n;
      FGapEnd += n;
    }
  }
  void Grow(std::size_t Needed) {
    const std::size_t count = Count();
    const std::size_t capacity = std::max({FItems.size() * 2, std::size_t{64}, count + Needed});
    std::vector<T> items(capacity);
    const std::size_t gap = capacity - count;
    if (FGapStart != 0) std::memcpy(items.data(), FItems.data(), FGapStart * sizeof(T));
    if (FItems.size() > FGapEnd)
      std::memcpy(items.data() + FGapStart + gap, FItems.data() + FGapEnd, (FItems.size() - FGapEnd) * sizeof(T));
    FItems.swap(items);
    FGapEnd = FGapStart + gap;
  }

  std::vector<T> FItems;
  std::size_t FGapStart = 0;
  std::size_t FGapEnd = 0;
};

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// The first position, by distance from Hint (Hint itself, then Hint + 1, Hint - 1, ...), among
// 0 .. Count - 1 where Match(position) holds; kNotFound when none does. Hint past the end counts as the
// last position.
template <class TMatch>
std::size_t FindNear(std::size_t Count, std::size_t Hint, TMatch&& Match) {
  if (Count == 0) return kNotFound;
  Hint = std::min(Hint, Count - 1);
  for (std::size_t d = 0; d <= Hint || Hint + d < Count; ++d) {
    if (Hint + d < Count && Match(Hint + d)) return Hint + d;
    if (d != 0 && d <= Hint && Match(Hint - d)) return Hint - d;
  }
  return kNotFound;
}
