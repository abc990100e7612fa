// The engine's growable containers: integer arrays, pointer lists, record-identifier arrays with sort
// and search, a locked list of wide strings, a bit set with a stream form, and the index of compressed
// BLOB block headers.
//
// Growth policy (TMdbIntegerArray, TMdbRecordIDArray, TMdbWideStringList, the block-header array):
// growing past the allocation first doubles the growth step (up to MaxAllocBy) and then allocates
// that many more items, or exactly the wanted count when that is more; shrinking cuts the storage to
// exactly the wanted count only when the surplus exceeds the shrink step, which then doubles (up to
// MaxAllocBy). So appends reallocate a logarithmic number of times and alternating appends and deletes
// do not reallocate every time.
//
// TMdbBitsArray stream form (little-endian):
//   0  Int32  bit count B
//   4  Int32  set-bit count (the number of 1 bits among the B bits)
//   8  ceil(B / 8) bytes, bit n = bit (n mod 8) of byte n div 8 (absent when B <= 0)
// The reader checks that the bytes are there and that the set-bit count agrees before it replaces
// anything: 10401 (bit count), 10426 (set-bit count), 10402 (bytes).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/classes/Classes.h"

class TStream;
class TStrings;

// The shared growth policy over Int64 counts; Resize(n) changes the storage to n items.
struct TMdbGrowthPolicy {
  Int64 AllocBy;
  Int64 deAllocBy;
  Int64 MaxAllocBy;
  explicit TMdbGrowthPolicy(Int64 DefaultAllocBy, Int64 MaximumAllocBy)
      : AllocBy(DefaultAllocBy), deAllocBy(DefaultAllocBy), MaxAllocBy(MaximumAllocBy) {}
  // Returns the new allocation for NewSize given the current counts.
  Int64 NewAllocation(Int64 NewSize, Int64 ItemCount, Int64 AllocItemCount);
};

class TMdbIntegerArray : public TObject {
  VELLUM_CLASS(TMdbIntegerArray)
 public:
  TMdbIntegerArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy);
  void Assign(const TMdbIntegerArray* Source);
  void SetSize(std::int32_t NewSize);
  void Append(std::int32_t Value);
  void Delete(std::int32_t ItemNo);
  std::int32_t IndexOf(std::int32_t Value) const;
  bool IsValueExists(std::int32_t Value) const { return IndexOf(Value) >= 0; }
  bool Add(std::int32_t Value);

  std::vector<std::int32_t> Items;  // AllocItemCount entries; the first ItemCount are in use
  std::int32_t ItemCount = 0;
  std::int32_t AllocItemCount = 0;
  std::int32_t AllocBy() const { return static_cast<std::int32_t>(FPolicy.AllocBy); }
  std::int32_t deAllocBy() const { return static_cast<std::int32_t>(FPolicy.deAllocBy); }
  std::int32_t MaxAllocBy() const { return static_cast<std::int32_t>(FPolicy.MaxAllocBy); }

 private:
  TMdbGrowthPolicy FPolicy;
};

// A list of pointers it does not own.
class TMdbList : public TObject {
  VELLUM_CLASS(TMdbList)
 public:
  TMdbList(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy);
  void* Items(std::int32_t Index) const;                // 11611
  void SetItems(std::int32_t Index, void* Item);        // 11610
  virtual void SetCount(std::int32_t Value);
  virtual void SetCapacity(std::int32_t Value);         // 11613 for a negative value
  virtual void Clear() { SetCapacity(0); }
  virtual std::int32_t IndexOf(const void* Item) const;
  virtual void Add(void* Item);
  virtual void Remove(void* Item);
  virtual void Delete(std::int32_t Index);              // 11612
  std::int32_t Count() const { return FCount; }
  std::int32_t Capacity() const { return FCapacity; }

 protected:
  std::vector<void*> FItems;
  std::int32_t FCount = 0;
  std::int32_t FCapacity = 0;
  std::int32_t FDeAllocBy;
  std::int32_t FAllocBy;
  std::int32_t FMaxAllocBy;
};

class TMdbRecordIDArray : public TObject {
  VELLUM_CLASS(TMdbRecordIDArray)
 public:
  TMdbRecordIDArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy);
  void SetSize(std::int32_t NewSize);
  void Append(const TMdbRecordID& Value);
  void Insert(std::int32_t ItemNo, const TMdbRecordID& Value);
  void Delete(std::int32_t ItemNo);
  // -1, 0, 1. FInMemory: by PageNo alone; FTemporary: the six bytes as one unsigned 48-bit number
  // (PageItemNo first); otherwise PageNo (signed) then PageItemNo.
  int CompareRecordID(const TMdbRecordID& A, const TMdbRecordID& B) const;
  void Sort();  // 11329 when a partition makes no progress
  std::int32_t FindRecordByID(const TMdbRecordID& RecordID) const;

  bool FSorted = true;
  bool FInMemory = false;
  bool FTemporary = false;
  TMdbRecordID FMaxRecordID;
  std::vector<TMdbRecordID> Items;
  std::int32_t ItemCount = 0;
  std::int32_t AllocItemCount = 0;

 private:
  void QuickSort(std::int32_t Lo, std::int32_t Hi);
  TMdbGrowthPolicy FPolicy;
};

// A list of wide strings safe for several threads: reads take the list's read lock, changes its write
// lock; OnChange runs after a change released the lock, also when the change failed.
class TMdbWideStringList : public TPersistent {
  VELLUM_CLASS(TMdbWideStringList)
 public:
  TMdbWideStringList(std::int32_t Size = 0, std::int32_t DefaultAllocBy = 10, std::int32_t MaximumAllocBy = 1000);
  ~TMdbWideStringList() override;

  String Strings(std::int32_t Index) const;  // empty outside the range
  void SetStrings(std::int32_t Index, const String& Value);
  std::int32_t Add(const String& Value, bool bAddIfNotExists);
  std::int32_t IndexOf(std::u16string_view Value) const;
  void Clear() { SetSize(0); }
  String Text() const;
  void SetText(std::u16string_view Value);
  void Sort();  // case-insensitive; 12130 when a partition makes no progress
  void Assign(const TPersistent* Source) override;  // 11947 nil, 11946 another class
  void ExportToTstrings(TStrings* Destination) const;  // 12110 nil
  void SetSize(std::int32_t NewSize);
  std::int32_t Count() const;
  bool Unicode() const { return FUnicode; }

  std::function<void(TMdbWideStringList*)> FOnChange;

 private:
  template <class F>
  decltype(auto) Changing(F&& Body);
  void InternalSetSize(std::int32_t NewSize);
  std::int32_t InternalIndexOf(std::u16string_view Value) const;
  std::int32_t InternalAdd(const String& Value);
  void QuickSort(std::int32_t Min, std::int32_t Max);

  std::vector<String> FItems;
  std::int32_t FItemCount = 0;
  std::int32_t FAllocItemCount = 0;
  TMdbGrowthPolicy FPolicy;
  bool FUnicode = false;
  std::unique_ptr<TMdbReadWriteThreadSyncByCriticalSections> FThreadSync;
};

class TMdbBitsArray : public TObject {
  VELLUM_CLASS(TMdbBitsArray)
 public:
  TMdbBitsArray() = default;
  ~TMdbBitsArray() override;
  void SetSize(std::int32_t Value);
  std::int32_t Size() const { return FBitCount; }
  bool GetBit(std::int32_t BitNo) const;                // 10394
  void SetBit(std::int32_t BitNo, bool Value);          // 10395
  bool Find(bool Value, std::int32_t& BitNo) const;
  void SaveToStream(TStream* Stream) const;
  void LoadFromStream(TStream* Stream);
  std::int32_t NonZeroBitCount() const { return FNonZeroBitCount; }
  const Byte* Bits() const { return FBits; }

 private:
  void Swap(TMdbBitsArray& Other) noexcept;
  Byte* FBits = nullptr;
  std::int32_t FBitCount = 0;
  std::int32_t FNonZeroBitCount = 0;
};

class TMdbCompressedStreamBlockHeadersArray : public TObject {
  VELLUM_CLASS(TMdbCompressedStreamBlockHeadersArray)
 public:
  TMdbCompressedStreamBlockHeadersArray() : FPolicy(10, 10000) {}
  void SetSize(Int64 NewSize);
  void AppendItem(const TMdbCompressedStreamBlockHeader& Value, Int64 Pos);
  // The index of the last block whose position is not above Pos (0 when none or empty).
  Int64 FindPosition(Int64 Pos) const;

  Int64 AllocItemCount = 0;
  Int64 ItemCount = 0;
  std::vector<TMdbCompressedStreamBlockHeader> Items;
  std::vector<Int64> Positions;

 private:
  TMdbGrowthPolicy FPolicy;
};
