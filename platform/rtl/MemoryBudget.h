// The memory a load may take. A reader that turns a few bytes of input into much memory (a fixed-width
// row for every one-byte null row, a slab of rows at once) charges what it allocates to a budget taken
// when the load starts; past it the load raises EOutOfMemory before allocating, and the caller, which
// loads into staging, keeps what it held. Without this an overcommitting system hands out the memory
// and the process is killed when it is touched, with no error to show.
//
// The budget is three quarters of the memory the system reports available when the load starts, or the
// limit set with SetLoadMemoryLimit (tests set a small one to show the error without using gigabytes).
#pragma once

#include <cstddef>

// Memory the system can hand out without swapping, in bytes (MemAvailable); 0 when unknown.
std::size_t AvailableMemory();

// Caps every budget made after the call at Bytes; 0 restores the default (from AvailableMemory).
void SetLoadMemoryLimit(std::size_t Bytes);
std::size_t LoadMemoryLimit();

class TMemoryBudget {
 public:
  TMemoryBudget();
  // Counts Bytes about to be allocated; raises EOutOfMemory "Out of memory" when the total would pass
  // the budget. Charging is a compare and an add: fine for every row.
  void Charge(std::size_t Bytes);
  std::size_t Charged() const { return FCharged; }
  std::size_t Limit() const { return FLimit; }

 private:
  std::size_t FLimit;
  std::size_t FCharged = 0;
};
