#include "engines/mdb/runtime/MdbNameArray.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "platform/classes/Lists.h"
#include "platform/rtl/Format.h"

namespace {

std::int32_t LoadI32(const Byte* p) {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void StoreI32(Byte* p, std::int32_t v) { std::memcpy(p, &v, 4); }

std::int32_t GrowthStep(std::int32_t Used) {
  if (Used < 128) return 128;
  if (Used < 512) return 256;
  if (Used < 1024) return 512;
  if (Used < 5120) return 1024;
  if (Used < 51200) return 5120;
  if (Used <= 102400) return 10240;
  return 102400;
}

}  // namespace

// ---- TMdbObjectNameArray ---------------------------------------------------------------------------

TMdbObjectNameArray::TMdbObjectNameArray() : FItemOffsets(std::make_unique<TMdbIntegerArray>(0, 10, 100)) {
  FBuffer = static_cast<Byte*>(MdbMemoryManager->AllocMem(kHeadSize));
  FAllocatedSize = kHeadSize;
  StoreI32(FBuffer, kHeadSize);
}

TMdbObjectNameArray::~TMdbObjectNameArray() {
  if (FBuffer) {
    try {
      MdbMemoryManager->FreeAndNilMem(FBuffer);
    } catch (...) {
    }
  }
}

std::int32_t TMdbObjectNameArray::Count() const { return LoadI32(FBuffer + 4); }
std::int32_t TMdbObjectNameArray::UsedSize() const { return LoadI32(FBuffer); }

void TMdbObjectNameArray::Resize(std::int32_t NewUsed) {
  const std::int32_t OldUsed = UsedSize();
  std::int32_t NewAllocation = FAllocatedSize;
  if (NewUsed > FAllocatedSize) {
    NewAllocation = FAllocatedSize + std::max(GrowthStep(NewUsed), NewUsed - FAllocatedSize);
  } else if (NewUsed < OldUsed && FAllocatedSize - NewUsed > FAllocatedSize / 10) {
    NewAllocation = NewUsed;
  }
  if (NewAllocation != FAllocatedSize) {
    void* p = FBuffer;
    MdbMemoryManager->ReallocMem(p, NewAllocation, false);
    FBuffer = static_cast<Byte*>(p);
    FAllocatedSize = NewAllocation;
  }
}

void TMdbObjectNameArray::SetUsed(std::int32_t Used) { StoreI32(FBuffer, Used); }

std::int32_t TMdbObjectNameArray::EntrySize(std::int32_t ItemIndex) const {
  return 4 + LoadI32(FBuffer + FItemOffsets->Items[ItemIndex]);
}

void TMdbObjectNameArray::Add(std::u16string_view Name) {
  const std::int32_t Used = UsedSize();
  const auto L = static_cast<std::int32_t>(Name.size() * 2);
  Resize(Used + 4 + L);
  StoreI32(FBuffer + Used, L);
  if (L > 0) std::memcpy(FBuffer + Used + 4, Name.data(), static_cast<std::size_t>(L));
  FItemOffsets->Append(Used);
  StoreI32(FBuffer + 4, Count() + 1);
  SetUsed(Used + 4 + L);
}

String TMdbObjectNameArray::GetString(std::int32_t ItemIndex) const {
  if (ItemIndex < 0 || ItemIndex >= Count()) return String();
  const std::int32_t Offset = FItemOffsets->Items[ItemIndex];
  const std::int32_t L = LoadI32(FBuffer + Offset);
  if (L <= 0) return String();
  String S(static_cast<std::size_t>(L / 2), u'\0');
  std::memcpy(S.data(), FBuffer + Offset + 4, static_cast<std::size_t>(L / 2) * 2);
  return S;
}

void TMdbObjectNameArray::SetString(std::int32_t ItemIndex, std::u16string_view Name) {
  if (ItemIndex < 0 || ItemIndex >= Count()) return;
  const std::int32_t Offset = FItemOffsets->Items[ItemIndex];
  const std::int32_t OldL = LoadI32(FBuffer + Offset);
  const auto NewL = static_cast<std::int32_t>(Name.size() * 2);
  const std::int32_t Used = UsedSize();
  const std::int32_t Delta = NewL - OldL;
  const std::int32_t TailStart = Offset + 4 + OldL;
  if (Delta > 0) Resize(Used + Delta);
  if (Delta != 0) {
    std::memmove(FBuffer + TailStart + Delta, FBuffer + TailStart, static_cast<std::size_t>(Used - TailStart));
    for (std::int32_t i = ItemIndex + 1; i < FItemOffsets->ItemCount; ++i) FItemOffsets->Items[i] += Delta;
  }
  StoreI32(FBuffer + Offset, NewL);
  if (NewL > 0) std::memcpy(FBuffer + Offset + 4, Name.data(), static_cast<std::size_t>(NewL));
  if (Delta < 0) Resize(Used + Delta);
  SetUsed(Used + Delta);
}

void TMdbObjectNameArray::Delete(std::int32_t ItemIndex) {
  const std::int32_t N = Count();
  if (N == 0 || ItemIndex < 0 || ItemIndex >= N) return;
  const std::int32_t Offset = FItemOffsets->Items[ItemIndex];
  const std::int32_t Size = EntrySize(ItemIndex);
  const std::int32_t Used = UsedSize();
  std::memmove(FBuffer + Offset, FBuffer + Offset + Size, static_cast<std::size_t>(Used - Offset - Size));
  FItemOffsets->Delete(ItemIndex);
  for (std::int32_t i = ItemIndex; i < FItemOffsets->ItemCount; ++i) FItemOffsets->Items[i] -= Size;
  StoreI32(FBuffer + 4, N - 1);
  Resize(Used - Size);
  SetUsed(Used - Size);
}

void TMdbObjectNameArray::Clear() {
  Resize(kHeadSize);
  SetUsed(kHeadSize);
  StoreI32(FBuffer + 4, 0);
  FItemOffsets->SetSize(0);
}

void TMdbObjectNameArray::Swap(TMdbObjectNameArray& Other) noexcept {
  std::swap(FItemOffsets, Other.FItemOffsets);
  std::swap(FBuffer, Other.FBuffer);
  std::swap(FAllocatedSize, Other.FAllocatedSize);
}

void TMdbObjectNameArray::Assign(const TMdbObjectNameArray* Source) {
  if (Source == nullptr || Source == this) return;
  if (Source->Count() == 0) {
    Clear();
    return;
  }
  TMdbObjectNameArray Copy;
  void* p = Copy.FBuffer;
  MdbMemoryManager->ReallocMem(p, Source->FAllocatedSize, false);
  Copy.FBuffer = static_cast<Byte*>(p);
  Copy.FAllocatedSize = Source->FAllocatedSize;
  std::memcpy(Copy.FBuffer, Source->FBuffer, static_cast<std::size_t>(Source->UsedSize()));
  Copy.FItemOffsets->Assign(Source->FItemOffsets.get());
  Swap(Copy);
}

std::int32_t TMdbObjectNameArray::SaveToStream(TStream* Stream, bool CountSize) const {
  if (CountSize) return UsedSize();
  WriteBufferToStream(FBuffer, UsedSize(), Stream, 11954);
  return 0;
}

void TMdbObjectNameArray::LoadFromStream(TStream* Stream) {
  const auto S = ReadValueFromStream<std::int32_t>(Stream, 11955);
  if (S <= 0) {
    Clear();
    return;
  }
  if (S < kHeadSize) throw EMdbException(11955, SMdbInvalidStreamData, {Format(u"name array size %d", {S})});
  const Int64 Pos = Stream->Position();
  const Int64 Left = Stream->Size() - Pos;
  if (S - 4 > Left)
    throw EMdbException(11956, SMdbCannotReadStream, {Pos, Stream->Size(), Int64(S - 4), std::max<Int64>(Left, 0)});
  TMdbObjectNameArray Staged;
  Staged.Resize(S);
  Staged.SetUsed(S);
  ReadBufferFromStream(Staged.FBuffer + 4, S - 4, Stream, 11956);
  const std::int32_t N = LoadI32(Staged.FBuffer + 4);
  // Every entry must lie inside S, and the entries must fill it exactly.
  if (N < 0 || N > (S - kHeadSize) / 4)
    throw EMdbException(11956, SMdbInvalidStreamData, {Format(u"name count %d in %d bytes", {N, S})});
  std::int32_t Offset = kHeadSize;
  for (std::int32_t i = 0; i < N; ++i) {
    const std::int32_t L = S - Offset >= 4 ? LoadI32(Staged.FBuffer + Offset) : -1;
    if (L < 0 || L % 2 != 0 || L > S - Offset - 4)
      throw EMdbException(11956, SMdbInvalidStreamData, {Format(u"name %d at offset %d", {i, Offset})});
    Staged.FItemOffsets->Append(Offset);
    Offset += 4 + L;
  }
  if (Offset != S) throw EMdbException(11956, SMdbInvalidStreamData, {Format(u"names end at %d of %d bytes", {Offset, S})});
  Swap(Staged);
}

// ---- TMdbHashArray ---------------------------------------------------------------------------------

TMdbHashArray::TMdbHashArray(std::int32_t DataSize, std::int32_t AllocBy, std::int32_t KeyStartBitNo, std::int32_t KeySize)
    : FDataSize(std::max(DataSize, 0)),
      FAllocBy(std::max(AllocBy, 1)),  // a step of 0 would never grow a bucket
      FKeyStartBitNo(KeyStartBitNo),
      FKeySize(KeySize) {
  if (KeySize < 1 || KeySize >= 32 || KeyStartBitNo < 0 || KeyStartBitNo + KeySize > 32)
    throw EMdbException(11662, SMdbInvalidKeySize, {KeySize, 32});
  FValueElementSize = 4 + FDataSize;
  FMaxElementCount = std::int64_t(1) << (32 - KeySize);
  FKeyMask = (std::uint32_t(1) << KeySize) - 1;
  FKeyData.resize(std::size_t(1) << KeySize);
}

TMdbHashArray::~TMdbHashArray() {
  for (auto& B : FKeyData) {
    if (B.Values) {
      try {
        MdbMemoryManager->FreeAndNilMem(B.Values);
      } catch (...) {
      }
    }
  }
}

bool TMdbHashArray::Append(std::uint32_t HashValue, const void* Data) {
  TBucket& B = FKeyData[(HashValue >> FKeyStartBitNo) & FKeyMask];
  const auto Element = static_cast<std::size_t>(FValueElementSize);
  if (B.Values == nullptr) {
    B.Values = static_cast<Byte*>(MdbMemoryManager->GetMem(Int64(FAllocBy) * FValueElementSize));
    B.Capacity = static_cast<std::uint32_t>(FAllocBy);
    std::memcpy(B.Values, &HashValue, 4);
    if (Data && FDataSize > 0) std::memcpy(B.Values + 4, Data, static_cast<std::size_t>(FDataSize));
    B.Count = 1;
    ++FKeyElementCount;
    ++FValueElementCount;
    return true;
  }
  for (std::uint32_t i = 0; i < B.Count; ++i) {
    std::uint32_t h;
    std::memcpy(&h, B.Values + i * Element, 4);
    if (h == HashValue) return false;
  }
  if (B.Count >= FMaxElementCount) throw EMdbException(11664, SMdbInvalidCount, {Int64(B.Count), FMaxElementCount});
  if (Data && FDataSize < 1) throw EMdbException(11665, SMdbInvalidDataSize, {FDataSize});
  if (B.Count + 1 > B.Capacity) {
    void* p = B.Values;
    MdbMemoryManager->ReallocMem(p, (Int64(B.Capacity) + FAllocBy) * FValueElementSize, false);
    B.Values = static_cast<Byte*>(p);
    B.Capacity += static_cast<std::uint32_t>(FAllocBy);
  }
  Byte* At = B.Values + B.Count * Element;
  std::memcpy(At, &HashValue, 4);
  if (Data) std::memcpy(At + 4, Data, static_cast<std::size_t>(FDataSize));
  ++B.Count;
  ++FValueElementCount;
  return true;
}

// ---- scan conditions -------------------------------------------------------------------------------

void TMdbScanSearchCondition::Assign(const TMdbScanSearchCondition* Source) {
  if (Source == nullptr) return;
  Condition = Source->Condition;
  KeyRecordBuffer = Source->KeyRecordBuffer;
  KeyFieldCount = Source->KeyFieldCount;
  IndexID = Source->IndexID;
  Expression = Source->Expression;
}

void TMdbScanSearchConditionArray::AddExpression(TMdbBaseExpression* Expression) {
  auto C = std::make_unique<TMdbScanSearchCondition>();
  C->Expression = Expression;
  Items.push_back(std::move(C));
}

void TMdbScanSearchConditionArray::AddCondition(const TMdbScanSearchCondition& Condition) {
  if (Condition.Expression == nullptr && Condition.IndexID == -1)
    throw EMdbException(10388, SMdbInvalidScanCondition, {Condition.IndexID, Count()});
  auto C = std::make_unique<TMdbScanSearchCondition>();
  C->Assign(&Condition);
  Items.push_back(std::move(C));
}

void TMdbScanSearchConditionArray::Delete(std::int32_t ItemNo) {
  if (ItemNo < 0 || ItemNo >= Count()) throw EMdbException(10413, SMdbInvalidItemNumber, {ItemNo, Count()});
  if (Items[static_cast<std::size_t>(ItemNo)] == nullptr) throw EMdbException(10414, SMdbNilPointer);
  Items.erase(Items.begin() + ItemNo);
}

void TMdbScanSearchConditionArray::ExtractConditionsFromExpressions(TMdbIndexDefs* IndexDefs, TList* ExtractedConditionsInfo) {
  // Only the conditions present at the start: the expressions append index conditions meanwhile.
  const std::int32_t N = Count();
  for (std::int32_t i = 0; i < N; ++i) {
    TMdbBaseExpression* E = Items[static_cast<std::size_t>(i)]->Expression;
    if (E) E->ExtractIndexScanConditions(IndexDefs, this, ExtractedConditionsInfo);
  }
}

void TMdbScanSearchConditionArray::ReturnConditionsToExpressions(TList* ExtractedConditionsInfo) {
  for (int i = 0; i < ExtractedConditionsInfo->Count(); ++i) {
    auto* Info = static_cast<TMdbExtractedConditionInfo*>(ExtractedConditionsInfo->Get(i));
    if (Info == nullptr) continue;
    if (Info->Expression == nullptr) throw EMdbException(20060, SMdbPointerIsNil);
    if (Info->Node == nullptr) throw EMdbException(20061, SMdbPointerIsNil);
    if (Info->KeyBuffer == nullptr) throw EMdbException(20062, SMdbPointerIsNil);
    Info->Expression->AddNode(Info->Node);
    MdbMemoryManager->FreeAndNilMem(Info->KeyBuffer);
    delete Info;
    ExtractedConditionsInfo->Put(i, nullptr);
  }
}
