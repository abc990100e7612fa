#include "engines/mdb/runtime/MdbContainers.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "platform/classes/StringList.h"
#include "platform/rtl/SysUtils.h"

// ---- growth policy ---------------------------------------------------------------------------------

Int64 TMdbGrowthPolicy::NewAllocation(Int64 NewSize, Int64 ItemCount, Int64 AllocItemCount) {
  if (NewSize <= 0) return 0;
  if (NewSize > AllocItemCount) {
    AllocBy = std::min(AllocBy * 2, MaxAllocBy);
    return AllocItemCount + AllocBy > NewSize ? AllocItemCount + AllocBy : NewSize;
  }
  if (NewSize < ItemCount && AllocItemCount - NewSize > deAllocBy) {
    deAllocBy = std::min(deAllocBy * 2, MaxAllocBy);
    return NewSize;
  }
  return AllocItemCount;
}

// ---- TMdbIntegerArray ------------------------------------------------------------------------------

TMdbIntegerArray::TMdbIntegerArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy)
    : FPolicy(DefaultAllocBy, MaximumAllocBy) {
  if (Size > 0) {
    Items.assign(static_cast<std::size_t>(Size), 0);
    ItemCount = AllocItemCount = Size;
  }
}

void TMdbIntegerArray::Assign(const TMdbIntegerArray* Source) {
  if (Source == nullptr || Source == this) return;
  SetSize(Source->ItemCount);
  std::copy_n(Source->Items.begin(), Source->ItemCount, Items.begin());
}

void TMdbIntegerArray::SetSize(std::int32_t NewSize) {
  NewSize = std::max(NewSize, 0);
  const auto Alloc = static_cast<std::int32_t>(FPolicy.NewAllocation(NewSize, ItemCount, AllocItemCount));
  if (Alloc != AllocItemCount) {
    Items.resize(static_cast<std::size_t>(Alloc), 0);
    AllocItemCount = Alloc;
  }
  for (std::int32_t i = ItemCount; i < NewSize; ++i) Items[i] = 0;
  ItemCount = NewSize;
}

void TMdbIntegerArray::Append(std::int32_t Value) {
  SetSize(ItemCount + 1);
  Items[ItemCount - 1] = Value;
}

void TMdbIntegerArray::Delete(std::int32_t ItemNo) {
  if (ItemNo < 0 || ItemNo >= ItemCount) return;
  std::copy(Items.begin() + ItemNo + 1, Items.begin() + ItemCount, Items.begin() + ItemNo);
  SetSize(ItemCount - 1);
}

std::int32_t TMdbIntegerArray::IndexOf(std::int32_t Value) const {
  for (std::int32_t i = 0; i < ItemCount; ++i)
    if (Items[i] == Value) return i;
  return -1;
}

bool TMdbIntegerArray::Add(std::int32_t Value) {
  if (IsValueExists(Value)) return false;
  Append(Value);
  return true;
}

// ---- TMdbList --------------------------------------------------------------------------------------

TMdbList::TMdbList(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy)
    : FDeAllocBy(DefaultAllocBy), FAllocBy(DefaultAllocBy), FMaxAllocBy(MaximumAllocBy) {
  if (Size > 0) {
    FCapacity = Size;
    FItems.assign(static_cast<std::size_t>(Size), nullptr);
  }
}

void* TMdbList::Items(std::int32_t Index) const {
  if (Index < 0 || Index >= FCount) throw EMdbException(11611, SMdbInvalidIndex, {Index, FCount});
  return FItems[Index];
}

void TMdbList::SetItems(std::int32_t Index, void* Item) {
  if (Index < 0 || Index >= FCount) throw EMdbException(11610, SMdbInvalidIndex, {Index, FCount});
  FItems[Index] = Item;
}

void TMdbList::SetCapacity(std::int32_t Value) {
  if (Value < 0) throw EMdbException(11613, SMdbInvalidCapacity);
  if (Value == 0) {
    FItems.clear();
    FItems.shrink_to_fit();
    FCount = FCapacity = 0;
    return;
  }
  if (Value > FCapacity) {
    FAllocBy = std::min(FAllocBy * 2, FMaxAllocBy);
    FCapacity = std::max(FCapacity + FAllocBy, Value);
  } else if (FCapacity - Value > FDeAllocBy) {
    FCapacity -= FDeAllocBy;
    FDeAllocBy = std::min(FDeAllocBy * 2, FMaxAllocBy);
  }
  FItems.resize(static_cast<std::size_t>(FCapacity), nullptr);
  FCount = std::min(FCount, FCapacity);
}

void TMdbList::SetCount(std::int32_t Value) {
  if (Value <= 0) {
    SetCapacity(0);
    return;
  }
  if (Value > FCapacity) SetCapacity(Value);
  for (std::int32_t i = FCount; i < Value; ++i) FItems[i] = nullptr;
  FCount = Value;
}

std::int32_t TMdbList::IndexOf(const void* Item) const {
  for (std::int32_t i = 0; i < FCount; ++i)
    if (FItems[i] == Item) return i;
  return -1;
}

void TMdbList::Add(void* Item) {
  SetCapacity(FCount + 1);
  FItems[FCount] = Item;
  ++FCount;
}

void TMdbList::Remove(void* Item) {
  const std::int32_t i = IndexOf(Item);
  if (i >= 0) Delete(i);
}

void TMdbList::Delete(std::int32_t Index) {
  if (Index < 0 || Index >= FCount) throw EMdbException(11612, SMdbInvalidIndex, {Index, FCount});
  if (FCount == 1) {
    SetCapacity(0);
    return;
  }
  std::copy(FItems.begin() + Index + 1, FItems.begin() + FCount, FItems.begin() + Index);
  --FCount;
  SetCapacity(FCount);
}

// ---- TMdbRecordIDArray -----------------------------------------------------------------------------

TMdbRecordIDArray::TMdbRecordIDArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy)
    : FPolicy(DefaultAllocBy, MaximumAllocBy) {
  if (Size > 0) {
    Items.resize(static_cast<std::size_t>(Size));
    ItemCount = AllocItemCount = Size;
  }
}

void TMdbRecordIDArray::SetSize(std::int32_t NewSize) {
  NewSize = std::max(NewSize, 0);
  const auto Alloc = static_cast<std::int32_t>(FPolicy.NewAllocation(NewSize, ItemCount, AllocItemCount));
  if (Alloc != AllocItemCount) {
    Items.resize(static_cast<std::size_t>(Alloc));
    AllocItemCount = Alloc;
  }
  ItemCount = NewSize;
}

void TMdbRecordIDArray::Append(const TMdbRecordID& Value) {
  SetSize(ItemCount + 1);
  Items[ItemCount - 1] = Value;
}

void TMdbRecordIDArray::Insert(std::int32_t ItemNo, const TMdbRecordID& Value) {
  if (ItemNo < 0) ItemNo = 0;
  if (ItemNo >= ItemCount - 1 || ItemCount == 0) {
    Append(Value);
    return;
  }
  SetSize(ItemCount + 1);
  std::copy_backward(Items.begin() + ItemNo, Items.begin() + ItemCount - 1, Items.begin() + ItemCount);
  Items[ItemNo] = Value;
}

void TMdbRecordIDArray::Delete(std::int32_t ItemNo) {
  if (ItemNo < 0 || ItemNo >= ItemCount) return;
  std::copy(Items.begin() + ItemNo + 1, Items.begin() + ItemCount, Items.begin() + ItemNo);
  SetSize(ItemCount - 1);
}

int TMdbRecordIDArray::CompareRecordID(const TMdbRecordID& A, const TMdbRecordID& B) const {
  auto Sign = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
  if (FInMemory) return Sign(A.PageNo, B.PageNo);
  if (FTemporary) {
    if (A.PageItemNo != B.PageItemNo) return Sign(A.PageItemNo, B.PageItemNo);
    return Sign(static_cast<std::uint32_t>(A.PageNo), static_cast<std::uint32_t>(B.PageNo));
  }
  if (A.PageNo != B.PageNo) return Sign(A.PageNo, B.PageNo);
  return Sign(A.PageItemNo, B.PageItemNo);
}

void TMdbRecordIDArray::QuickSort(std::int32_t Lo, std::int32_t Hi) {
  while (Lo < Hi) {
    std::int32_t i = Lo, j = Hi;
    const TMdbRecordID Pivot = Items[static_cast<std::size_t>(Lo + (Hi - Lo) / 2)];
    do {
      while (CompareRecordID(Items[i], Pivot) < 0) ++i;
      while (CompareRecordID(Items[j], Pivot) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(Items[i], Items[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j == Hi) throw EMdbException(11329, SMdbSortErrorRecordIDArray, {j, i, Hi, Lo, ItemCount});
    if (j - Lo < Hi - i) {
      QuickSort(Lo, j);
      Lo = i;
    } else {
      QuickSort(i, Hi);
      Hi = j;
    }
  }
}

void TMdbRecordIDArray::Sort() {
  if (ItemCount >= 2) QuickSort(0, ItemCount - 1);
  FSorted = true;
}

std::int32_t TMdbRecordIDArray::FindRecordByID(const TMdbRecordID& RecordID) const {
  if (FSorted && ItemCount > 10) {
    std::int32_t Lo = 0, Hi = ItemCount - 1;
    while (Lo <= Hi) {
      const std::int32_t Mid = Lo + (Hi - Lo) / 2;
      const int c = CompareRecordID(Items[Mid], RecordID);
      if (c == 0) return Mid;
      if (c < 0) Lo = Mid + 1;
      else Hi = Mid - 1;
    }
    return -1;
  }
  for (std::int32_t i = 0; i < ItemCount; ++i)
    if (Items[i].PageNo == RecordID.PageNo && Items[i].PageItemNo == RecordID.PageItemNo) return i;
  return -1;
}

// ---- TMdbWideStringList ----------------------------------------------------------------------------

TMdbWideStringList::TMdbWideStringList(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy)
    : FPolicy(DefaultAllocBy, MaximumAllocBy),
      FThreadSync(std::make_unique<TMdbReadWriteThreadSyncByCriticalSections>(this, AnsiString())) {
  if (Size > 0) InternalSetSize(Size);
}

TMdbWideStringList::~TMdbWideStringList() {
  for (auto& S : FItems) WipeWideString(S, true);
}

template <class F>
decltype(auto) TMdbWideStringList::Changing(F&& Body) {
  struct Notify {
    TMdbWideStringList* List;
    ~Notify() {
      if (List->FOnChange) List->FOnChange(List);
    }
  } N{this};
  TMdbLockGuard Guard(*FThreadSync, true);
  return Body();
}

void TMdbWideStringList::InternalSetSize(std::int32_t NewSize) {
  NewSize = std::max(NewSize, 0);
  const auto Alloc = static_cast<std::int32_t>(FPolicy.NewAllocation(NewSize, FItemCount, FAllocItemCount));
  for (std::int32_t i = NewSize; i < FItemCount; ++i) WipeWideString(FItems[i], true);
  if (Alloc != FAllocItemCount) {
    FItems.resize(static_cast<std::size_t>(Alloc));
    if (Alloc == 0) FItems.shrink_to_fit();
    FAllocItemCount = Alloc;
  }
  FItemCount = NewSize;
}

void TMdbWideStringList::SetSize(std::int32_t NewSize) {
  Changing([&] { InternalSetSize(NewSize); });
}

std::int32_t TMdbWideStringList::Count() const {
  TMdbLockGuard Guard(*FThreadSync, false);
  return FItemCount;
}

String TMdbWideStringList::Strings(std::int32_t Index) const {
  TMdbLockGuard Guard(*FThreadSync, false);
  if (Index < 0 || Index >= FItemCount) return String();
  return FItems[Index];
}

void TMdbWideStringList::SetStrings(std::int32_t Index, const String& Value) {
  Changing([&] {
    if (Index < 0 || Index >= FItemCount) return;
    WipeWideString(FItems[Index], true);
    FItems[Index] = Value;
    if (HasCharsAboveLatin1(Value)) FUnicode = true;
  });
}

std::int32_t TMdbWideStringList::InternalIndexOf(std::u16string_view Value) const {
  for (std::int32_t i = 0; i < FItemCount; ++i)
    if (FItems[i] == Value) return i;
  return -1;
}

std::int32_t TMdbWideStringList::InternalAdd(const String& Value) {
  InternalSetSize(FItemCount + 1);
  FItems[FItemCount - 1] = Value;
  if (HasCharsAboveLatin1(Value)) FUnicode = true;
  return FItemCount - 1;
}

std::int32_t TMdbWideStringList::Add(const String& Value, bool bAddIfNotExists) {
  return Changing([&] {
    if (bAddIfNotExists && InternalIndexOf(Value) >= 0) return -1;
    return InternalAdd(Value);
  });
}

std::int32_t TMdbWideStringList::IndexOf(std::u16string_view Value) const {
  TMdbLockGuard Guard(*FThreadSync, false);
  return InternalIndexOf(Value);
}

String TMdbWideStringList::Text() const {
  TMdbLockGuard Guard(*FThreadSync, false);
  String Result;
  for (std::int32_t i = 0; i < FItemCount; ++i) {
    Result += FItems[i];
    Result += u"\r\n";
  }
  return Result;
}

void TMdbWideStringList::SetText(std::u16string_view Value) {
  Changing([&] {
    InternalSetSize(0);
    std::size_t Start = 0, i = 0;
    while (i < Value.size()) {
      const char16_t c = Value[i];
      if (c == u'\r' || c == u'\n' || c == u'\0') {
        InternalAdd(String(Value.substr(Start, i - Start)));
        if (c == u'\r' && i + 1 < Value.size() && Value[i + 1] == u'\n') ++i;
        Start = i + 1;
      }
      ++i;
    }
    if (Start < Value.size()) InternalAdd(String(Value.substr(Start)));
    FUnicode = HasCharsAboveLatin1(Value);
  });
}

void TMdbWideStringList::QuickSort(std::int32_t Min, std::int32_t Max) {
  while (Min < Max) {
    std::int32_t i = Min, j = Max;
    const String Pivot = FItems[static_cast<std::size_t>(Min + (Max - Min) / 2)];
    do {
      while (CompareWideStrings(FItems[i], Pivot, false) < 0) ++i;
      while (CompareWideStrings(FItems[j], Pivot, false) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(FItems[i], FItems[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (i == Min && j == Max) throw EMdbException(12130, SMdbSortErrorWideStringList, {i, j, Min, Max, FItemCount});
    if (j - Min < Max - i) {
      QuickSort(Min, j);
      Min = i;
    } else {
      QuickSort(i, Max);
      Max = j;
    }
  }
}

void TMdbWideStringList::Sort() {
  Changing([&] {
    if (FItemCount > 1) QuickSort(0, FItemCount - 1);
  });
}

void TMdbWideStringList::Assign(const TPersistent* Source) {
  if (Source == nullptr) throw EMdbException(11947, SMdbNilPointer);
  if (Source == this) return;
  if (const auto* List = dynamic_cast<const TMdbWideStringList*>(Source)) {
    // Read the source under its own lock first, so that two lists assigned to each other from two
    // threads cannot hold one lock each and wait for the other.
    const std::int32_t N = List->Count();
    std::vector<String> Copy;
    Copy.reserve(static_cast<std::size_t>(N));
    for (std::int32_t i = 0; i < N; ++i) Copy.push_back(List->Strings(i));
    Changing([&] {
      InternalSetSize(0);
      for (auto& S : Copy) InternalAdd(S);
    });
    return;
  }
  if (const auto* Strings = dynamic_cast<const TStrings*>(Source)) {
    Changing([&] {
      InternalSetSize(0);
      for (int i = 0; i < Strings->Count(); ++i) InternalAdd(Strings->Get(i));
    });
    return;
  }
  throw EMdbException(11946, SMdbInvalidSourceObject,
                      {IntToHex(static_cast<Int64>(reinterpret_cast<std::uintptr_t>(Source)), 8), Source->ClassName()});
}

void TMdbWideStringList::ExportToTstrings(TStrings* Destination) const {
  if (Destination == nullptr) throw EMdbException(12110, SMdbNilPointer);
  for (std::int32_t i = 0; i < FItemCount; ++i) Destination->Add(FItems[i]);
}

// ---- TMdbBitsArray ---------------------------------------------------------------------------------

namespace {
std::int32_t ByteCount(std::int32_t Bits) { return Bits <= 0 ? 0 : static_cast<std::int32_t>((Int64(Bits) + 7) / 8); }

std::int32_t CountSetBits(const Byte* Bits, std::int32_t BitCount) {
  std::int32_t n = 0;
  const std::int32_t Full = BitCount / 8;
  for (std::int32_t i = 0; i < Full; ++i) n += std::popcount(static_cast<unsigned>(Bits[i]));
  for (std::int32_t b = Full * 8; b < BitCount; ++b) n += (Bits[b / 8] >> (b % 8)) & 1;
  return n;
}
}  // namespace

TMdbBitsArray::~TMdbBitsArray() { SetSize(0); }

void TMdbBitsArray::Swap(TMdbBitsArray& Other) noexcept {
  std::swap(FBits, Other.FBits);
  std::swap(FBitCount, Other.FBitCount);
  std::swap(FNonZeroBitCount, Other.FNonZeroBitCount);
}

void TMdbBitsArray::SetSize(std::int32_t Value) {
  if (Value <= 0) {
    if (FBits) {
      void* p = FBits;
      FBits = nullptr;
      try {
        MdbMemoryManager->FreeAndNilMem(p);
      } catch (...) {
      }
    }
    FBitCount = FNonZeroBitCount = 0;
    return;
  }
  const Int64 Bytes = ByteCount(Value);
  if (FBits == nullptr) {
    FBits = static_cast<Byte*>(MdbMemoryManager->AllocMem(Bytes));
  } else {
    void* p = FBits;
    MdbMemoryManager->ReallocMemAndClearTail(p, Bytes);
    FBits = static_cast<Byte*>(p);
  }
  if (Value < FBitCount) {
    // Bits of the last byte beyond the new count are cleared, so that growing again reads zeros.
    if (Value % 8 != 0) FBits[Value / 8] &= static_cast<Byte>((1u << (Value % 8)) - 1);
    FNonZeroBitCount = CountSetBits(FBits, Value);
  }
  FBitCount = Value;
}

bool TMdbBitsArray::GetBit(std::int32_t BitNo) const {
  if (BitNo < 0 || BitNo >= FBitCount) throw EMdbException(10394, SMdbInvalidBitNo, {BitNo, FBitCount});
  return (FBits[BitNo / 8] >> (BitNo % 8)) & 1;
}

void TMdbBitsArray::SetBit(std::int32_t BitNo, bool Value) {
  if (BitNo < 0 || BitNo >= FBitCount) throw EMdbException(10395, SMdbInvalidBitNo, {BitNo, FBitCount});
  Byte& b = FBits[BitNo / 8];
  const Byte Mask = static_cast<Byte>(1u << (BitNo % 8));
  const bool Old = (b & Mask) != 0;
  if (Old == Value) return;
  if (Value) {
    b |= Mask;
    ++FNonZeroBitCount;
  } else {
    b &= static_cast<Byte>(~Mask);
    --FNonZeroBitCount;
  }
}

bool TMdbBitsArray::Find(bool Value, std::int32_t& BitNo) const {
  for (std::int32_t i = 0; i < FBitCount; ++i) {
    if (((FBits[i / 8] >> (i % 8)) & 1) == static_cast<int>(Value)) {
      BitNo = i;
      return true;
    }
  }
  return false;
}

void TMdbBitsArray::SaveToStream(TStream* Stream) const {
  WriteValueToStream(FBitCount, Stream, 10398);
  WriteValueToStream(FNonZeroBitCount, Stream, 10427);
  if (FBitCount > 0) {
    if (FBits == nullptr) throw EMdbException(10399, SMdbNilPointer);
    WriteBufferToStream(FBits, ByteCount(FBitCount), Stream, 10400);
  }
}

void TMdbBitsArray::LoadFromStream(TStream* Stream) {
  const auto Bits = ReadValueFromStream<std::int32_t>(Stream, 10401);
  if (Bits < 0) throw EMdbException(10401, SMdbInvalidStreamData, {Format(u"bit count %d", {Bits})});
  const auto SetBits = ReadValueFromStream<std::int32_t>(Stream, 10426);
  if (SetBits < 0 || SetBits > Bits)
    throw EMdbException(10426, SMdbInvalidStreamData, {Format(u"set-bit count %d of %d bits", {SetBits, Bits})});
  const Int64 Bytes = ByteCount(Bits);
  const Int64 Pos = Stream->Position();
  const Int64 Left = Stream->Size() - Pos;
  if (Bytes > Left) throw EMdbException(10402, SMdbCannotReadStream, {Pos, Stream->Size(), Bytes, std::max<Int64>(Left, 0)});
  TMdbBitsArray Staged;
  if (Bits > 0) {
    Staged.SetSize(Bits);
    ReadBufferFromStream(Staged.FBits, Bytes, Stream, 10402);
    // Bits past the count in the last byte are not part of the set.
    if (Bits % 8 != 0) Staged.FBits[Bits / 8] &= static_cast<Byte>((1u << (Bits % 8)) - 1);
    const std::int32_t Counted = CountSetBits(Staged.FBits, Bits);
    if (Counted != SetBits)
      throw EMdbException(10426, SMdbInvalidStreamData, {Format(u"set-bit count %d, %d bits set", {SetBits, Counted})});
    Staged.FNonZeroBitCount = SetBits;
  }
  Swap(Staged);
}

// ---- TMdbCompressedStreamBlockHeadersArray ---------------------------------------------------------

void TMdbCompressedStreamBlockHeadersArray::SetSize(Int64 NewSize) {
  NewSize = std::max<Int64>(NewSize, 0);
  const Int64 Alloc = FPolicy.NewAllocation(NewSize, ItemCount, AllocItemCount);
  if (Alloc != AllocItemCount) {
    Items.resize(static_cast<std::size_t>(Alloc));
    Positions.resize(static_cast<std::size_t>(Alloc));
    AllocItemCount = Alloc;
  }
  ItemCount = NewSize;
}

void TMdbCompressedStreamBlockHeadersArray::AppendItem(const TMdbCompressedStreamBlockHeader& Value, Int64 Pos) {
  SetSize(ItemCount + 1);
  Items[static_cast<std::size_t>(ItemCount - 1)] = Value;
  Positions[static_cast<std::size_t>(ItemCount - 1)] = Pos;
}

Int64 TMdbCompressedStreamBlockHeadersArray::FindPosition(Int64 Pos) const {
  if (ItemCount == 0) return 0;
  const auto End = Positions.begin() + ItemCount;
  const auto It = std::upper_bound(Positions.begin(), End, Pos);
  if (It == Positions.begin()) return 0;
  return (It - Positions.begin()) - 1;
}
