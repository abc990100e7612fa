#include "engines/mdb/storage/MdbBTree.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/storage/MdbBTreeIndex.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbFieldDefs.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/Exceptions.h"
#include "platform/sys/Collation.h"

namespace {

constexpr char16_t SCannotFindIndexField[] = u"Cannot find index field '%s'";
constexpr char16_t SInvalidKeyPathItem[] =
    u"Error in index system: adding item to key path with invalid ItemNo = %d. PageNo = %d, EntryNo = %d, EntryCount = %d";
constexpr char16_t SInvalidKeyPath[] = u"Invalid index key path";
constexpr char16_t SInternalIndexError[] = u"Internal index error";
constexpr char16_t SPageIsEmpty[] = u"Index error: page is empty";
constexpr char16_t SIntegrity[] = u"Index integrity violated. PageNo=%d EntryNo=%d";
constexpr char16_t SIntegrityCircular[] = u"Index integrity violated. Circular links. PageNo=%d EntryNo=%d";
constexpr char16_t SIntegrityLink[] = u"Index integrity violated. Invlaid leaf link. PageNo=%d EntryNo=%d";
constexpr char16_t SKeyTooLong[] = u"Index key of %d bytes is too long: an index page entry holds at most %d bytes";

template <class T>
T Load(const Byte* P) {
  T V;
  std::memcpy(&V, P, sizeof(T));
  return V;
}

template <class T>
std::int32_t Order(T A, T B) {
  return A < B ? -1 : (B < A ? 1 : 0);
}

// NaN sorts below every number and equals another NaN: the order stays total, as a tree needs.
template <class T>
std::int32_t OrderFloat(T A, T B) {
  const bool NA = A != A, NB = B != B;
  if (NA || NB) return NA && NB ? 0 : (NA ? -1 : 1);
  return Order(A, B);
}

std::int32_t FromCollation(int R, int Code) {
  switch (R) {
    case sys::CSTR_LESS_THAN: return -1;
    case sys::CSTR_EQUAL: return 0;
    case sys::CSTR_GREATER_THAN: return 1;
    default: throw EMdbException(Code, SMdbUnknownReturnCode, {R});
  }
}

// Wide text of a key part, copied out only when the key bytes are not 2-byte aligned.
class TWideText {
 public:
  TWideText(const Byte* P, std::int32_t Bytes) {
    const std::int32_t Units = Bytes / 2;
    std::int32_t N = 0;
    while (N < Units && (P[2 * N] != 0 || P[2 * N + 1] != 0)) ++N;
    FLength = N;
    if (reinterpret_cast<std::uintptr_t>(P) % 2 == 0) {
      FText = reinterpret_cast<const char16_t*>(P);
    } else if (N <= static_cast<std::int32_t>(std::size(FLocal))) {
      std::memcpy(FLocal, P, static_cast<std::size_t>(N) * 2);
      FText = FLocal;
    } else {
      FHeap.resize(static_cast<std::size_t>(N));
      std::memcpy(FHeap.data(), P, static_cast<std::size_t>(N) * 2);
      FText = FHeap.data();
    }
  }
  const char16_t* Text() const { return FText; }
  int Length() const { return FLength; }

 private:
  const char16_t* FText = nullptr;
  int FLength = 0;
  char16_t FLocal[128];
  std::u16string FHeap;
};

std::int32_t ComparePart(const TMdbKeyPart& Part, const Byte* A, const Byte* B) {
  const std::int32_t Size = Part.Size - 1;
  const std::uint32_t Flags = sys::SORT_STRINGSORT | (Part.CaseInsensitive ? sys::NORM_IGNORECASE : 0);
  switch (Part.DataType) {
    case bftChar:
    case bftVarchar:
    case bftClob: {
      const void* ZA = std::memchr(A, 0, static_cast<std::size_t>(Size));
      const void* ZB = std::memchr(B, 0, static_cast<std::size_t>(Size));
      const int LA = ZA ? static_cast<int>(static_cast<const Byte*>(ZA) - A) : Size;
      const int LB = ZB ? static_cast<int>(static_cast<const Byte*>(ZB) - B) : Size;
      return FromCollation(sys::CompareStringA(sys::LOCALE_USER_DEFAULT, Flags, reinterpret_cast<const char*>(A), LA,
                                               reinterpret_cast<const char*>(B), LB),
                           30045);
    }
    case bftWideChar:
    case bftWideVarchar:
    case bftWideClob: {
      const TWideText TA(A, Size), TB(B, Size);
      return FromCollation(
          sys::CompareStringW(sys::LOCALE_USER_DEFAULT, Flags, TA.Text(), TA.Length(), TB.Text(), TB.Length()), 30046);
    }
    case bftSignedInt8: return Order(Load<std::int8_t>(A), Load<std::int8_t>(B));
    case bftSignedInt16: return Order(Load<std::int16_t>(A), Load<std::int16_t>(B));
    case bftSignedInt32:
    case bftDate:
    case bftTime: return Order(Load<std::int32_t>(A), Load<std::int32_t>(B));
    case bftSignedInt64: return Order(Load<std::int64_t>(A), Load<std::int64_t>(B));
    case bftUnsignedInt8: return Order(Load<std::uint8_t>(A), Load<std::uint8_t>(B));
    case bftUnsignedInt16: return Order(Load<std::uint16_t>(A), Load<std::uint16_t>(B));
    case bftUnsignedInt32: return Order(Load<std::uint32_t>(A), Load<std::uint32_t>(B));
    case bftSingle: return OrderFloat(Load<float>(A), Load<float>(B));
    case bftDouble:
    case bftCurrency: return OrderFloat(Load<double>(A), Load<double>(B));
    case bftExtended: return OrderFloat(ExtendedToDouble(A), ExtendedToDouble(B));
    case bftDateTime: {
      const std::int32_t R = Order(Load<std::int32_t>(A), Load<std::int32_t>(B));
      return R != 0 ? R : Order(Load<std::int32_t>(A + 4), Load<std::int32_t>(B + 4));
    }
    case bftLogical: return Order(Load<std::uint16_t>(A) != 0 ? 1 : 0, Load<std::uint16_t>(B) != 0 ? 1 : 0);
    default: throw EMdbException(30047, SMdbUnknownDataTypeQuoted, {BaseFieldTypeNameW(Part.DataType)});
  }
}

bool KeyableType(TMdbBaseFieldType T) {
  switch (T) {
    case bftUnknown:
    case bftBlob:
    case bftBytes:
    case bftVarBytes:
    case bftBFile: return false;
    default: return true;
  }
}

}  // namespace

// ---- key layout ------------------------------------------------------------------------------------------

void TMdbBTreeKeyRef::Assign(const TMdbIndexDef& IndexDef, TMdbTableData* aTableData) {
  if (aTableData == nullptr || aTableData->FieldManager() == nullptr) throw EMdbException(20044, SMdbPointerIsNil);
  const TMdbFieldDefs& Fields = aTableData->FieldManager()->FieldDefs();
  std::vector<TMdbKeyPart> NewParts;
  std::int32_t Offset = 0;
  for (std::int32_t i = 0; i < IndexDef.ColumnCount(); ++i) {
    const TMdbIndexColumn& C = IndexDef.GetIndexColumn(i);
    const std::int32_t n = Fields.GetDefNumberByName(C.FieldName);
    if (n < 0) throw EMdbException(20043, SCannotFindIndexField, {C.FieldName});
    const TMdbFieldDef& F = *Fields.GetDef(n);
    // A key part of a type keys cannot hold would fail on the first comparison; it is refused here,
    // before any page is written.
    if (!KeyableType(F.FBaseFieldType))
      throw EMdbException(30047, SMdbUnknownDataTypeQuoted, {BaseFieldTypeNameW(F.FBaseFieldType)});
    TMdbKeyPart P;
    P.OffsetInKeyBuffer = Offset;
    P.OffsetInRecordBuffer = F.FMemoryOffset;
    P.FieldNo = n;
    P.Size = F.FMemoryDataSize + 1;
    P.DataType = F.FBaseFieldType;
    P.Descending = C.Descending != 0;
    P.CaseInsensitive = C.CaseInsensitive != 0;
    Offset += P.Size;
    NewParts.push_back(P);
  }
  // A page must hold at least two leaf entries, or a split could not make room.
  const std::int32_t MaxEntry = (4096 - kBTreeNodeHeaderSize) / 2;
  if (Offset + kBTreeLeafReferenceSize > MaxEntry)
    throw EMdbException(20020, SKeyTooLong, {Offset, MaxEntry - kBTreeLeafReferenceSize});
  Parts = std::move(NewParts);
  FKeySize = Offset;
  FCompareFieldCount = PartCount();
}

Byte* TMdbBTreeKeyRef::AllocKeyBuffer() const {
  return static_cast<Byte*>(MdbMemoryManager->AllocMem(std::max(FKeySize, 1)));
}

void TMdbBTreeKeyRef::FreeAndNilKeyBuffer(Byte*& Buffer) {
  if (Buffer) MdbMemoryManager->FreeAndNilMem(Buffer);
}

void TMdbBTreeKeyRef::SetCompareFieldCount(std::int32_t Value) {
  FCompareFieldCount = (Value <= 0 || Value > PartCount()) ? PartCount() : Value;
}

void TMdbBTreeKeyRef::MakeKeyFromRecordBuffer(const Byte* RecordBuffer, Byte* KeyBuffer) const {
  for (const TMdbKeyPart& P : Parts) {
    Byte* K = KeyBuffer + P.OffsetInKeyBuffer;
    if (IsRecordFieldNull(RecordBuffer, P.FieldNo)) {
      // The data bytes of a NULL part are cleared, so equal keys are equal bytes too.
      K[0] = 1;
      std::memset(K + 1, 0, static_cast<std::size_t>(P.Size - 1));
    } else {
      K[0] = 0;
      std::memcpy(K + 1, RecordBuffer + P.OffsetInRecordBuffer, static_cast<std::size_t>(P.Size - 1));
    }
  }
}

std::int32_t TMdbBTreeKeyRef::CompareKeys(const Byte* KeyBuffer1, const Byte* KeyBuffer2) const {
  const std::int32_t n = std::min(FCompareFieldCount, PartCount());
  for (std::int32_t i = 0; i < n; ++i) {
    const TMdbKeyPart& P = Parts[static_cast<std::size_t>(i)];
    const Byte* A = KeyBuffer1 + P.OffsetInKeyBuffer;
    const Byte* B = KeyBuffer2 + P.OffsetInKeyBuffer;
    std::int32_t R;
    if (A[0] != 0 || B[0] != 0) R = (A[0] != 0 && B[0] != 0) ? 0 : (A[0] != 0 ? -1 : 1);
    else R = ComparePart(P, A + 1, B + 1);
    if (R != 0) return P.Descending ? -R : R;
  }
  return 0;
}

bool TMdbBTreeKeyRef::CompareReferences(const Byte* Reference1, const Byte* Reference2, std::int32_t Size) {
  return std::memcmp(Reference1, Reference2, static_cast<std::size_t>(Size)) == 0;
}

// ---- key path --------------------------------------------------------------------------------------------

void TMdbKeyPath::AddItem(std::int32_t aPageNo, std::int32_t aEntryNo, std::int32_t aEntryCount) {
  if (ItemNo < 0 || ItemNo >= kMaxKeyPathLevels)
    throw EMdbException(11660, SInvalidKeyPathItem, {ItemNo, aPageNo, aEntryNo, aEntryCount});
  Items[ItemNo] = {aPageNo, aEntryNo, aEntryCount};
  ++ItemNo;
  ++Count;
}

bool TMdbKeyPath::PageExists(std::int32_t aPageNo) const {
  for (std::int32_t i = 0; i < Count; ++i)
    if (Items[i].PageNo == aPageNo) return true;
  return false;
}

std::int32_t TMdbKeyPath::Compare(const TMdbKeyPath& aKeyPath) const {
  if (Count != aKeyPath.Count) throw EMdbException(20051, SInvalidKeyPath);
  for (std::int32_t i = 0; i < Count; ++i) {
    if (Items[i].PageNo != aKeyPath.Items[i].PageNo) throw EMdbException(20052, SInvalidKeyPath);
    if (Items[i].EntryNo != aKeyPath.Items[i].EntryNo) return Items[i].EntryNo < aKeyPath.Items[i].EntryNo ? -1 : 1;
  }
  return 0;
}

double TMdbKeyPath::GetApproxRecNoInPercents() const {
  Int64 a = 1, b = 0;
  for (std::int32_t i = Count - 1; i >= 0; --i) {
    b += Int64(Items[i].EntryNo) * a;
    a *= std::max(Items[i].EntryCount, 1);
  }
  return double(b) / double(a);
}

void TMdbKeyPath::Assign(const TMdbKeyPath& Source) {
  Count = Source.Count;
  ItemNo = Source.ItemNo;
  std::copy(Source.Items, Source.Items + std::clamp(Count, 0, kMaxKeyPathLevels), Items);
}

// ---- page view -------------------------------------------------------------------------------------------

TMdbBTreePage::TMdbBTreePage(TMdbBTreeIndex* BTreeIndex, TMdbPage* Page)
    : TMdbPageController(Page),
      FLeafController(this),
      FNodeController(this),
      FKeyRef(&BTreeIndex->KeyRef()),
      LBTreeIndex(BTreeIndex) {}

TMdbBTreePage::~TMdbBTreePage() {
  if (LPage) LBTreeIndex->PutBTreePage(LPage);
}

std::int32_t TMdbBTreePage::ReadInt32(std::int32_t Offset) const { return Load<std::int32_t>(PageBuffer() + Offset); }
void TMdbBTreePage::WriteInt32(std::int32_t Offset, std::int32_t Value) {
  std::memcpy(PageBuffer() + Offset, &Value, 4);
}
std::int32_t TMdbBTreePage::ReadUInt16(std::int32_t Offset) const { return Load<std::uint16_t>(PageBuffer() + Offset); }
void TMdbBTreePage::WriteUInt16(std::int32_t Offset, std::uint16_t Value) {
  std::memcpy(PageBuffer() + Offset, &Value, 2);
}

void TMdbBTreePage::SetKeyPrefixSize(std::int32_t Value) {
  if (Value < 0 || Value > 65535) throw ERangeError(Str("Range check error"));
  WriteUInt16(12, static_cast<std::uint16_t>(Value));
}

void TMdbBTreePage::SetEntryCount(std::int32_t Value) {
  if (Value < 0 || Value > 65535) throw ERangeError(Str("Range check error"));
  WriteUInt16(14, static_cast<std::uint16_t>(Value));
}

std::int32_t TMdbBTreePage::ReferenceSize() const {
  return IsLeaf() ? FKeyRef->ReferenceSize() : kBTreeNodeReferenceSize;
}

void TMdbBTreePage::Init() {
  SetIsRoot(false);
  SetIsLeaf(false);
  SetLeftPageNo(-1);
  SetRightPageNo(-1);
  SetHasKeys(0);
  SetHasSuffixes(0);
  SetKeyPrefixSize(0);
  SetEntryCount(0);
  SetPagePrefixSize(0);
}

void TMdbBTreePage::InitAsRoot() {
  Init();
  SetIsRoot(true);
  SetIsLeaf(true);
  SetHasKeys(1);
  SetHasSuffixes(0);
  SetPagePrefixSize(0);
  SetKeyPrefixSize(FKeyRef->KeySize());
}

void TMdbBTreePage::UpdateKey(std::int32_t Position, const Byte* Key) {
  std::memmove(GetPKey(Position), Key, static_cast<std::size_t>(KeyPrefixSize()));
}

void TMdbBTreePage::EnsureRoom(std::int32_t Count) {
  const std::int32_t Needed = EntriesOffset() + Count * EntrySize();
  if (Needed > PageSize()) EnlargePageBuffer(Needed);
}

void TMdbBTreePage::CopyFrom(const TMdbBTreePage& Source, std::int32_t StartNo, std::int32_t Count) {
  std::memmove(PageBuffer(), Source.PageBuffer(), kBTreeNodeHeaderSize);
  EnsureRoom(Count);
  std::memmove(GetPKey(0), Source.GetPKey(StartNo), static_cast<std::size_t>(Count) * Source.EntrySize());
  SetEntryCount(Count);
}

void TMdbBTreePage::AppendFrom(const TMdbBTreePage& Source, std::int32_t StartNo, std::int32_t Count) {
  const std::int32_t Own = EntryCount();
  EnsureRoom(Own + Count);
  std::memmove(GetPKey(Own), Source.GetPKey(StartNo), static_cast<std::size_t>(Count) * EntrySize());
  SetEntryCount(Own + Count);
}

void TMdbBTreePage::InsertFrom(const TMdbBTreePage& Source, std::int32_t StartNo, std::int32_t Count) {
  const std::int32_t Own = EntryCount();
  EnsureRoom(Own + Count);
  std::memmove(GetPKey(Count), GetPKey(0), static_cast<std::size_t>(Own) * EntrySize());
  std::memmove(GetPKey(0), Source.GetPKey(StartNo), static_cast<std::size_t>(Count) * EntrySize());
  SetEntryCount(Own + Count);
}

bool TMdbBTreePage::IsOwnChange(std::int32_t SessionID) const {
  const TMdbPage* P = LPage;
  const TMdbCache* C = P->Cache();
  return C && C->UpdatedPages() && P->Parent() == C->UpdatedPages() && P->FSessionID == SessionID && !P->FDeleted;
}

void TMdbBTreePage::BeginChange(std::int32_t SessionID) {
  TMdbPage* P = LPage;
  if (IsOwnChange(SessionID)) return;
  // The page is fetched again for update: the cache hands out this session's own copy, and the
  // bytes other sessions read (and the stored ones) stay as they were.
  const std::int32_t No = P->PageNo();
  LPage = nullptr;
  LBTreeIndex->PutBTreePage(P);
  LPage = LBTreeIndex->GetBTreePageForUpdate(SessionID, No);
}

void TMdbBTreePage::Update(std::int32_t SessionID) {
  // A page this session already changes is in its change set: the cache would do nothing.
  if (!IsOwnChange(SessionID)) LBTreeIndex->UpdateBTreePage(SessionID, LPage);
}

void TMdbBTreePage::InsertNodeEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) {
  if (IsLeaf()) throw EMdbException(20020, SInternalIndexError);
  FNodeController.InsertNodeEntry(SessionID, Key, Reference, KeyPath);
}

void TMdbBTreePage::DeleteNodeEntry(std::int32_t SessionID, TMdbKeyPath& KeyPath, bool MergeWithLeft, const Byte* RepairKey) {
  if (IsLeaf()) throw EMdbException(20024, SInternalIndexError);
  FNodeController.DeleteNodeEntry(SessionID, KeyPath, MergeWithLeft, RepairKey);
}

// ---- controller helpers ----------------------------------------------------------------------------------

TMdbBTreeIndex* TMdbBTreePageController::Index() const { return FPage->BTreeIndex(); }

std::int32_t TMdbBTreePageController::ChildPageNo(std::int32_t Position) const {
  if (Position < 0 || Position >= FPage->EntryCount()) throw EMdbException(20020, SInternalIndexError);
  return Load<std::int32_t>(FPage->GetPReference(Position));
}

std::int32_t TMdbBTreePageController::CompareKeyAt(const Byte* Key, std::int32_t Position) const {
  return FPage->KeyRef().CompareKeys(Key, FPage->GetPKey(Position));
}

bool TMdbBTreePageController::ReferenceEquals(const Byte* Reference, std::int32_t Position) const {
  return TMdbBTreeKeyRef::CompareReferences(Reference, FPage->GetPReference(Position), FPage->ReferenceSize());
}

TMdbKeyPathPosition TMdbBTreePageController::FindKeyPosition(const Byte* Key, std::int32_t Low, std::int32_t Mode,
                                                             std::int32_t& Position) const {
  const std::int32_t Count = FPage->EntryCount();
  if (Count == 0) {
    Position = 0;
    return kppEOF;
  }
  const TMdbBTreeKeyRef& K = FPage->KeyRef();
  const Byte* Base = FPage->GetPKey(0);
  const std::int32_t Size = FPage->EntrySize();
  std::int32_t lo = Low, hi = Count - 1, Found = -1;
  while (lo <= hi) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    const std::int32_t c = K.CompareKeys(Key, Base + std::ptrdiff_t(mid) * Size);
    if (c == 0) {
      Found = mid;
      if (Mode == 2) break;
      if (Mode == 0) hi = mid - 1;
      else lo = mid + 1;
    } else if (c < 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  if (Found >= 0) {
    Position = Found;
    return kppOnKey;
  }
  Position = lo;
  return kppBeforeKey;
}

bool TMdbBTreePageController::HasRoomForEntry() const {
  return (FPage->EntryCount() + 1) * FPage->EntrySize() + kBTreeNodeHeaderSize <= FPage->PageSize();
}

bool TMdbBTreePageController::IsOverflow() const {
  return FPage->EntryCount() * FPage->EntrySize() + kBTreeNodeHeaderSize > FPage->PageSize();
}

bool TMdbBTreePageController::IsUnderflow() const {
  return !FPage->IsRoot() && FPage->EntryCount() * FPage->EntrySize() < (FPage->PageSize() - kBTreeNodeHeaderSize) / 2;
}

bool TMdbBTreePageController::CanMergeWith(const TMdbBTreePage& Other) const {
  return (FPage->EntryCount() + Other.EntryCount()) * FPage->EntrySize() + kBTreeNodeHeaderSize < Other.PageSize();
}

void TMdbBTreePageController::InsertEntryAt(const Byte* Key, const Byte* Reference, std::int32_t Position) {
  const std::int32_t Count = FPage->EntryCount();
  const std::int32_t Size = FPage->EntrySize();
  if (!HasRoomForEntry()) FPage->EnsureRoom(Count + 1);
  Byte* At = FPage->GetPKey(Position);
  if (Position < Count) std::memmove(At + Size, At, static_cast<std::size_t>(Count - Position) * Size);
  const auto KeySize = static_cast<std::size_t>(FPage->KeyPrefixSize());
  if (Key) std::memmove(At, Key, KeySize);
  else std::memset(At, 0, KeySize);
  std::memmove(At + KeySize, Reference, static_cast<std::size_t>(FPage->ReferenceSize()));
  FPage->SetEntryCount(Count + 1);
}

void TMdbBTreePageController::DeleteEntryAt(std::int32_t Position) {
  const std::int32_t Count = FPage->EntryCount();
  if (Count == 0) throw EMdbException(20025, SPageIsEmpty);
  if (Position < 0 || Position >= Count) throw EMdbException(20020, SInternalIndexError);
  const std::int32_t Size = FPage->EntrySize();
  Byte* At = FPage->GetPKey(Position);
  if (Position < Count - 1) std::memmove(At, At + Size, static_cast<std::size_t>(Count - 1 - Position) * Size);
  FPage->SetEntryCount(Count - 1);
}

bool TMdbBTreePageController::FindReferencePosition(const Byte* Key, const Byte* Reference, std::int32_t& Position) const {
  const std::int32_t Count = FPage->EntryCount();
  if (Key) {
    std::int32_t First = 0, Last = 0;
    if (FindKeyPosition(Key, 0, 0, First) != kppOnKey) return false;
    FindKeyPosition(Key, 0, 1, Last);
    // Equal keys lie in record-id order: a binary search finds the entry.
    std::int32_t lo = First, hi = Last;
    while (lo <= hi) {
      const std::int32_t mid = lo + (hi - lo) / 2;
      const std::int32_t c = CompareRecordReferences(FPage->GetPReference(mid), Reference);
      if (c == 0) {
        Position = mid;
        return true;
      }
      if (c < 0) lo = mid + 1;
      else hi = mid - 1;
    }
    // A tree built before that order held keeps equal keys as they came.
    for (std::int32_t p = First; p <= Last; ++p)
      if (ReferenceEquals(Reference, p)) {
        Position = p;
        return true;
      }
    return false;
  }
  for (std::int32_t p = 0; p < Count; ++p)
    if (ReferenceEquals(Reference, p)) {
      Position = p;
      return true;
    }
  return false;
}

void TMdbBTreePageController::GetChildRange(const Byte* Key, TMdbSearchCondition Operator, std::int32_t& From,
                                            std::int32_t& To) const {
  const std::int32_t Count = FPage->EntryCount();
  From = 0;
  To = Count - 1;
  if (Key == nullptr || Operator == scNone || Count == 0) return;
  std::int32_t p = 0;
  TMdbKeyPathPosition r;
  switch (Operator) {
    case scEqual:
      r = FindKeyPosition(Key, 1, 0, p);
      if (r == kppOnKey) {
        From = std::max(p - 1, 0);
        FindKeyPosition(Key, 1, 1, p);
        To = p;
      } else {
        From = r == kppBeforeKey ? p - 1 : p;
        To = From;
      }
      break;
    case scLower:
      r = FindKeyPosition(Key, 1, 0, p);
      To = (r == kppOnKey || r == kppBeforeKey) ? p - 1 : p;
      break;
    case scGreater:
      r = FindKeyPosition(Key, 1, 1, p);
      From = r == kppBeforeKey ? p - 1 : p;
      break;
    case scLowerEqual:
      r = FindKeyPosition(Key, 1, 1, p);
      To = r == kppBeforeKey ? p - 1 : p;
      break;
    case scGreaterEqual:
      r = FindKeyPosition(Key, 1, 0, p);
      From = (r == kppOnKey || r == kppBeforeKey) ? p - 1 : p;
      break;
    default: break;
  }
  From = std::clamp(From, 0, Count - 1);
  To = std::clamp(To, 0, Count - 1);
}

std::int32_t CompareRecordReferences(const Byte* A, const Byte* B) {
  std::int32_t pa, pb;
  std::uint16_t ia, ib;
  std::memcpy(&pa, A, 4);
  std::memcpy(&pb, B, 4);
  if (pa != pb) return pa < pb ? -1 : 1;
  std::memcpy(&ia, A + 4, 2);
  std::memcpy(&ib, B + 4, 2);
  return ia == ib ? 0 : (ia < ib ? -1 : 1);
}

std::int32_t TMdbBTreeNodeController::CompareFirstEntry(std::int32_t SessionID, std::int32_t ChildNo, const Byte* Key,
                                                        const Byte* Reference) const {
  std::int32_t No = ChildNo;
  for (std::int32_t Level = 0; Level < kMaxKeyPathLevels; ++Level) {
    TMdbBTreePage P(Index(), Index()->GetBTreePage(SessionID, No));
    if (P.EntryCount() == 0) return 1;
    if (!P.IsLeaf()) {
      std::int32_t Next;
      std::memcpy(&Next, P.GetPReference(0), 4);
      No = Next;
      continue;
    }
    const std::int32_t c = P.KeyRef().CompareKeys(P.GetPKey(0), Key);
    return c != 0 ? c : CompareRecordReferences(P.GetPReference(0), Reference);
  }
  throw EMdbException(20020, SInternalIndexError);
}

std::int32_t TMdbBTreeNodeController::ChildFor(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                               std::int32_t From, std::int32_t To) const {
  // The last child whose first entry is not above (Key, Reference); From when there is none.
  std::int32_t lo = From + 1, hi = To, Found = From;
  while (lo <= hi) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    if (CompareFirstEntry(SessionID, ChildPageNo(mid), Key, Reference) <= 0) {
      Found = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return Found;
}

// ---- splits ----------------------------------------------------------------------------------------------

void TMdbBTreePageController::Split(std::int32_t SessionID, TMdbKeyPath& KeyPath) {
  if (FPage->IsRoot()) SplitRoot(SessionID);
  else SplitPage(SessionID, KeyPath);
}

void TMdbBTreePageController::SplitRoot(std::int32_t SessionID) {
  TMdbBTreeIndex* I = Index();
  const std::int32_t Count = FPage->EntryCount();
  const std::int32_t Half = Count / 2;
  TMdbBTreePage A(I, I->AddBTreePage(SessionID));
  TMdbBTreePage B(I, I->AddBTreePage(SessionID));
  A.CopyFrom(*FPage, 0, Half);
  A.SetIsRoot(false);
  B.CopyFrom(*FPage, Half, Count - Half);
  B.SetIsRoot(false);
  A.SetRightPageNo(B.PageNo());
  B.SetLeftPageNo(A.PageNo());
  A.Update(SessionID);
  B.Update(SessionID);
  const std::int32_t ANo = A.PageNo(), BNo = B.PageNo();
  FPage->SetIsLeaf(false);
  FPage->SetEntryCount(0);
  InsertEntryAt(nullptr, reinterpret_cast<const Byte*>(&ANo), 0);
  InsertEntryAt(B.GetPKey(0), reinterpret_cast<const Byte*>(&BNo), 1);
  FPage->Update(SessionID);
}

void TMdbBTreePageController::SplitPage(std::int32_t SessionID, TMdbKeyPath& KeyPath) {
  TMdbBTreeIndex* I = Index();
  const std::int32_t Count = FPage->EntryCount();
  const std::int32_t Half = Count / 2;
  const std::int32_t OldRight = FPage->RightPageNo();
  TMdbBTreePage N(I, I->AddBTreePage(SessionID));
  N.CopyFrom(*FPage, Half, Count - Half);
  N.SetRightPageNo(OldRight);
  N.SetLeftPageNo(FPage->PageNo());
  N.Update(SessionID);
  const std::int32_t NNo = N.PageNo();
  if (OldRight != -1) {
    TMdbBTreePage R(I, I->GetBTreePage(SessionID, OldRight));
    R.BeginChange(SessionID);
    R.SetLeftPageNo(NNo);
    R.Update(SessionID);
  }
  FPage->SetRightPageNo(NNo);
  FPage->SetEntryCount(Half);
  FPage->Update(SessionID);
  KeyPath.DecLevel();
  if (KeyPath.ItemNo < 0 || KeyPath.ItemNo >= KeyPath.Count) throw EMdbException(20020, SInternalIndexError);
  TMdbBTreePage Parent(I, I->GetBTreePage(SessionID, KeyPath.CurrentPageNo()));
  Parent.InsertNodeEntry(SessionID, N.GetPKey(0), reinterpret_cast<const Byte*>(&NNo), KeyPath);
  Parent.Update(SessionID);
  KeyPath.IncLevel();
}

// ---- merges ----------------------------------------------------------------------------------------------

bool TMdbBTreePageController::TryMerge(std::int32_t SessionID, TMdbKeyPath& KeyPath) {
  if (FPage->IsRoot()) return false;
  const std::int32_t Left = FPage->LeftPageNo();
  const std::int32_t Right = FPage->RightPageNo();
  if (Left != -1 && MergeWithSibling(SessionID, Left, true, KeyPath)) return true;
  if (Right != -1 && MergeWithSibling(SessionID, Right, false, KeyPath)) return true;
  return false;
}

bool TMdbBTreePageController::MergeWithSibling(std::int32_t SessionID, std::int32_t SiblingNo, bool SiblingIsLeft,
                                               TMdbKeyPath& KeyPath) {
  TMdbBTreeIndex* I = Index();
  TMdbBTreePage Sib(I, I->GetBTreePage(SessionID, SiblingNo));
  const std::int32_t Count = FPage->EntryCount();
  // An empty page always goes, even beside a page that is exactly full: an inner page without
  // entries could route nothing.
  if (Count > 0 && !CanMergeWith(Sib)) return false;
  const std::int32_t SelfNo = FPage->PageNo();
  Sib.BeginChange(SessionID);
  if (SiblingIsLeft) {
    const std::int32_t Right = FPage->RightPageNo();
    if (Right != -1) {
      TMdbBTreePage R(I, I->GetBTreePage(SessionID, Right));
      R.BeginChange(SessionID);
      R.SetLeftPageNo(SiblingNo);
      R.Update(SessionID);
    }
    KeyPath.DecLevel();
    const std::int32_t At = Sib.EntryCount();
    Sib.AppendFrom(*FPage, 0, Count);
    if (!FPage->IsLeaf() && Count > 0) {
      // The page's first entry is compared from now on: it gets the first key of its subtree.
      Byte* K = I->ScratchKey(2);
      FPage->GetFirstKey(SessionID, K);
      Sib.UpdateKey(At, K);
    }
    Sib.SetRightPageNo(Right);
    Sib.Update(SessionID);
    if (KeyPath.ItemNo < 0 || KeyPath.ItemNo >= KeyPath.Count) throw EMdbException(20020, SInternalIndexError);
    TMdbBTreePage Parent(I, I->GetBTreePage(SessionID, KeyPath.CurrentPageNo()));
    Parent.DeleteNodeEntry(SessionID, KeyPath, true, nullptr);
  } else {
    const std::int32_t Left = FPage->LeftPageNo();
    if (Left != -1) {
      TMdbBTreePage L(I, I->GetBTreePage(SessionID, Left));
      L.BeginChange(SessionID);
      L.SetRightPageNo(SiblingNo);
      L.Update(SessionID);
    }
    KeyPath.DecLevel();
    // The first key of the keys moving right: the separator routing to them is lowered to it.
    Byte* Repair = nullptr;
    if (Count > 0) {
      Repair = I->ScratchKey(3);
      FPage->GetFirstKey(SessionID, Repair);
    }
    if (!Sib.IsLeaf() && Sib.EntryCount() > 0) {
      Byte* K = I->ScratchKey(2);
      Sib.GetFirstKey(SessionID, K);
      Sib.UpdateKey(0, K);
    }
    Sib.InsertFrom(*FPage, 0, Count);
    Sib.SetLeftPageNo(Left);
    Sib.Update(SessionID);
    if (KeyPath.ItemNo < 0 || KeyPath.ItemNo >= KeyPath.Count) throw EMdbException(20020, SInternalIndexError);
    TMdbBTreePage Parent(I, I->GetBTreePage(SessionID, KeyPath.CurrentPageNo()));
    Parent.DeleteNodeEntry(SessionID, KeyPath, false, Repair);
  }
  I->RemoveBTreePage(SessionID, SelfNo);
  return true;
}

// ---- leaf controller -------------------------------------------------------------------------------------

void TMdbBTreeLeafController::InsertLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                              TMdbKeyPath& KeyPath) {
  FPage->BeginChange(SessionID);
  std::int32_t p = 0;
  if (FindKeyPosition(Key, 0, 0, p) == kppOnKey) {
    // After the equal keys of lower record ids.
    std::int32_t Last = p;
    FindKeyPosition(Key, 0, 1, Last);
    std::int32_t lo = p, hi = Last;
    while (lo <= hi) {
      const std::int32_t mid = lo + (hi - lo) / 2;
      if (CompareRecordReferences(FPage->GetPReference(mid), Reference) <= 0) lo = mid + 1;
      else hi = mid - 1;
    }
    p = lo;
  }
  InsertEntryAt(Key, Reference, p);
  if (IsOverflow()) Split(SessionID, KeyPath);
  else FPage->Update(SessionID);
}

bool TMdbBTreeLeafController::DeleteLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                              TMdbKeyPath& KeyPath) {
  std::int32_t p = 0;
  if (!FindReferencePosition(Key, Reference, p)) return false;
  FPage->BeginChange(SessionID);
  DeleteEntryAt(p);
  if (IsUnderflow() && TryMerge(SessionID, KeyPath)) return true;
  FPage->Update(SessionID);
  return true;
}

void TMdbBTreeLeafController::FreeAllPages(std::int32_t SessionID, std::int32_t RootPageNo) {
  if (FPage->PageNo() != RootPageNo) Index()->RemoveBTreePage(SessionID, FPage->PageNo());
}

void TMdbBTreeLeafController::CheckIntegrity(std::int32_t, TMdbKeyPath&) {
  const std::int32_t Count = FPage->EntryCount();
  const TMdbBTreeKeyRef& K = FPage->KeyRef();
  for (std::int32_t i = 0; i + 1 < Count; ++i)
    if (K.CompareKeys(FPage->GetPKey(i), FPage->GetPKey(i + 1)) > 0)
      throw EMdbException(20028, SIntegrity, {FPage->PageNo(), i});
}

bool TMdbBTreeLeafController::FindEntry(std::int32_t, const Byte* Key, const Byte* Reference, TMdbKeyPath& Position) {
  std::int32_t p = 0;
  if (!FindReferencePosition(Key, Reference, p)) return false;
  Position.AddItem(FPage->PageNo(), p, FPage->EntryCount());
  return true;
}

bool TMdbBTreeLeafController::GetFirstPosition(std::int32_t, TMdbKeyPath& Position) {
  if (FPage->EntryCount() == 0) return false;
  Position.AddItem(FPage->PageNo(), 0, FPage->EntryCount());
  return true;
}

bool TMdbBTreeLeafController::GetLastPosition(std::int32_t, TMdbKeyPath& Position) {
  const std::int32_t Count = FPage->EntryCount();
  if (Count == 0) return false;
  Position.AddItem(FPage->PageNo(), Count - 1, Count);
  return true;
}

bool TMdbBTreeLeafController::FindByCondition(std::int32_t, bool First, const Byte* Key, TMdbSearchCondition Operator,
                                              TMdbKeyPath& Position) {
  const std::int32_t Count = FPage->EntryCount();
  if (Key == nullptr) Operator = scNone;
  std::int32_t p = 0, Pos = 0;
  TMdbKeyPathPosition r;
  bool Found = false;
  if (First) {
    switch (Operator) {
      case scNone:
        Pos = 0;
        Found = true;
        break;
      case scEqual:
        r = FindKeyPosition(Key, 0, 0, p);
        Pos = p;
        Found = r == kppOnKey;
        break;
      case scLower:
        r = FindKeyPosition(Key, 0, 0, p);
        Pos = 0;
        Found = ((r == kppOnKey || r == kppBeforeKey) ? p - 1 : p) >= 0;
        break;
      case scGreater:
        r = FindKeyPosition(Key, 0, 1, p);
        Pos = r == kppOnKey ? p + 1 : p;
        Found = Pos < Count;
        break;
      case scLowerEqual:
        r = FindKeyPosition(Key, 0, 0, p);
        Pos = 0;
        Found = (r == kppBeforeKey ? p - 1 : p) >= 0;
        break;
      case scGreaterEqual:
        FindKeyPosition(Key, 0, 0, p);
        Pos = p;
        Found = Pos < Count;
        break;
    }
  } else {
    switch (Operator) {
      case scNone:
        Pos = Count - 1;
        Found = true;
        break;
      case scEqual:
        r = FindKeyPosition(Key, 0, 1, p);
        Pos = p;
        Found = r == kppOnKey;
        break;
      case scLower:
        r = FindKeyPosition(Key, 0, 0, p);
        Pos = (r == kppOnKey || r == kppBeforeKey) ? p - 1 : p;
        Found = Pos >= 0;
        break;
      case scGreater:
        r = FindKeyPosition(Key, 0, 1, p);
        Pos = Count - 1;
        Found = (r == kppOnKey ? p + 1 : p) < Count;
        break;
      case scLowerEqual:
        r = FindKeyPosition(Key, 0, 1, p);
        Pos = r == kppBeforeKey ? p - 1 : p;
        Found = Pos >= 0;
        break;
      case scGreaterEqual:
        FindKeyPosition(Key, 0, 2, p);
        Pos = Count - 1;
        Found = p < Count;
        break;
    }
  }
  if (!Found) return false;
  Position.AddItem(FPage->PageNo(), Pos, Count);
  return true;
}

void TMdbBTreeLeafController::GetFirstKey(std::int32_t, Byte* Key) {
  if (FPage->EntryCount() == 0) throw EMdbException(20025, SPageIsEmpty);
  std::memmove(Key, FPage->GetPKey(0), static_cast<std::size_t>(FPage->KeyPrefixSize()));
}

void TMdbBTreeLeafController::GetLastKey(std::int32_t, Byte* Key) {
  if (FPage->EntryCount() == 0) throw EMdbException(20025, SPageIsEmpty);
  std::memmove(Key, FPage->GetPKey(FPage->EntryCount() - 1), static_cast<std::size_t>(FPage->KeyPrefixSize()));
}

// ---- node controller -------------------------------------------------------------------------------------

void TMdbBTreeNodeController::InsertLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                              TMdbKeyPath& KeyPath) {
  if (FPage->EntryCount() == 0) throw EMdbException(20020, SInternalIndexError);
  std::int32_t From = 0, To = 0;
  GetChildRange(Key, scEqual, From, To);
  const std::int32_t Child = ChildFor(SessionID, Key, Reference, From, To);
  const std::int32_t ChildNo = ChildPageNo(Child);
  KeyPath.AddItem(FPage->PageNo(), Child, FPage->EntryCount());
  TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildNo));
  C.InsertLeafEntry(SessionID, Key, Reference, KeyPath);
}

bool TMdbBTreeNodeController::DeleteLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                              TMdbKeyPath& KeyPath) {
  std::int32_t From = 0, To = -1;
  GetChildRange(Key, Key ? scEqual : scNone, From, To);
  auto Try = [&](std::int32_t c) {
    KeyPath.AddItem(FPage->PageNo(), c, FPage->EntryCount());
    {
      TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(c)));
      if (C.DeleteLeafEntry(SessionID, Key, Reference, KeyPath)) return true;
    }
    KeyPath.DeleteLastItem();
    return false;
  };
  // The child that (key, record id) order names; the others only for a tree whose equal keys came in
  // another order.
  const std::int32_t Named = Key && From < To ? ChildFor(SessionID, Key, Reference, From, To) : -1;
  if (Named >= 0 && Try(Named)) return true;
  for (std::int32_t c = From; c <= To; ++c)
    if (c != Named && Try(c)) return true;
  return false;
}

void TMdbBTreeNodeController::FreeAllPages(std::int32_t SessionID, std::int32_t RootPageNo) {
  for (std::int32_t c = 0; c < FPage->EntryCount(); ++c) {
    TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(c)));
    C.FreeAllPages(SessionID, -1);
  }
  if (FPage->PageNo() != RootPageNo) Index()->RemoveBTreePage(SessionID, FPage->PageNo());
}

void TMdbBTreeNodeController::CheckIntegrity(std::int32_t SessionID, TMdbKeyPath& KeyPath) {
  const std::int32_t Count = FPage->EntryCount();
  const std::int32_t Self = FPage->PageNo();
  TMdbBTreeIndex* I = Index();
  for (std::int32_t i = 0; i < Count; ++i) {
    const std::int32_t ChildNo = ChildPageNo(i);
    if (ChildNo == Self || KeyPath.PageExists(ChildNo)) throw EMdbException(20032, SIntegrityCircular, {Self, i});
    TMdbBTreePage C(I, I->GetBTreePage(SessionID, ChildNo));
    if (i > 0 && C.LeftPageNo() != ChildPageNo(i - 1)) throw EMdbException(20033, SIntegrityLink, {Self, i});
    if (i < Count - 1 && C.RightPageNo() != ChildPageNo(i + 1)) throw EMdbException(20034, SIntegrityLink, {Self, i});
    KeyPath.AddItem(Self, i, Count);
    C.CheckIntegrity(SessionID, KeyPath);
    KeyPath.DeleteLastItem();
  }
  if (Count < 3) return;
  const TMdbBTreeKeyRef& K = FPage->KeyRef();
  Byte* Edge = I->ScratchKey(2);
  for (std::int32_t i = 1; i <= Count - 2; ++i) {
    if (K.CompareKeys(FPage->GetPKey(i), FPage->GetPKey(i + 1)) > 0) throw EMdbException(20029, SIntegrity, {Self, i});
    {
      TMdbBTreePage C(I, I->GetBTreePage(SessionID, ChildPageNo(i - 1)));
      if (C.EntryCount() > 0) {
        C.GetLastKey(SessionID, Edge);
        if (K.CompareKeys(Edge, FPage->GetPKey(i)) > 0) throw EMdbException(20030, SIntegrity, {Self, i});
      }
    }
    TMdbBTreePage C(I, I->GetBTreePage(SessionID, ChildPageNo(i + 1)));
    if (C.EntryCount() > 0) {
      C.GetFirstKey(SessionID, Edge);
      if (K.CompareKeys(Edge, FPage->GetPKey(i + 1)) < 0) throw EMdbException(20031, SIntegrity, {Self, i});
    }
  }
}

bool TMdbBTreeNodeController::FindEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                        TMdbKeyPath& Position) {
  std::int32_t From = 0, To = -1;
  GetChildRange(Key, Key ? scEqual : scNone, From, To);
  auto Try = [&](std::int32_t c) {
    Position.AddItem(FPage->PageNo(), c, FPage->EntryCount());
    {
      TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(c)));
      if (C.FindEntry(SessionID, Key, Reference, Position)) return true;
    }
    Position.DeleteLastItem();
    return false;
  };
  // The child that (key, record id) order names; the others only for a tree whose equal keys came in
  // another order.
  const std::int32_t Named = Key && From < To ? ChildFor(SessionID, Key, Reference, From, To) : -1;
  if (Named >= 0 && Try(Named)) return true;
  for (std::int32_t c = From; c <= To; ++c)
    if (c != Named && Try(c)) return true;
  return false;
}

bool TMdbBTreeNodeController::GetFirstPosition(std::int32_t SessionID, TMdbKeyPath& Position) {
  const std::int32_t Count = FPage->EntryCount();
  for (std::int32_t c = 0; c < Count; ++c) {
    Position.AddItem(FPage->PageNo(), c, Count);
    {
      TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(c)));
      if (C.GetFirstPosition(SessionID, Position)) return true;
    }
    Position.DeleteLastItem();
  }
  return false;
}

bool TMdbBTreeNodeController::GetLastPosition(std::int32_t SessionID, TMdbKeyPath& Position) {
  const std::int32_t Count = FPage->EntryCount();
  for (std::int32_t c = Count - 1; c >= 0; --c) {
    Position.AddItem(FPage->PageNo(), c, Count);
    {
      TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(c)));
      if (C.GetLastPosition(SessionID, Position)) return true;
    }
    Position.DeleteLastItem();
  }
  return false;
}

bool TMdbBTreeNodeController::FindByCondition(std::int32_t SessionID, bool First, const Byte* Key,
                                              TMdbSearchCondition Operator, TMdbKeyPath& Position) {
  std::int32_t From = 0, To = -1;
  GetChildRange(Key, Operator, From, To);
  const std::int32_t Count = FPage->EntryCount();
  for (std::int32_t n = 0; n <= To - From; ++n) {
    const std::int32_t c = First ? From + n : To - n;
    const std::int32_t ChildNo = ChildPageNo(c);
    Position.AddItem(FPage->PageNo(), c, Count);
    {
      TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildNo));
      if (C.FindByCondition(SessionID, First, Key, Operator, Position)) return true;
    }
    Position.DeleteLastItem();
  }
  return false;
}

void TMdbBTreeNodeController::GetFirstKey(std::int32_t SessionID, Byte* Key) {
  TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(0)));
  C.GetFirstKey(SessionID, Key);
}

void TMdbBTreeNodeController::GetLastKey(std::int32_t SessionID, Byte* Key) {
  TMdbBTreePage C(Index(), Index()->GetBTreePage(SessionID, ChildPageNo(FPage->EntryCount() - 1)));
  C.GetLastKey(SessionID, Key);
}

void TMdbBTreeNodeController::InsertNodeEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference,
                                              TMdbKeyPath& KeyPath) {
  FPage->BeginChange(SessionID);
  const std::int32_t Count = FPage->EntryCount();
  const std::int32_t Position = Count > 1 ? KeyPath.Items[KeyPath.ItemNo].EntryNo + 1 : Count;
  if (Position < 0 || Position > Count) throw EMdbException(20020, SInternalIndexError);
  InsertEntryAt(Key, Reference, Position);
  if (IsOverflow()) Split(SessionID, KeyPath);
  else FPage->Update(SessionID);
}

void TMdbBTreeNodeController::DeleteNodeEntry(std::int32_t SessionID, TMdbKeyPath& KeyPath, bool MergeWithLeft,
                                              const Byte* RepairKey) {
  TMdbBTreeIndex* I = Index();
  FPage->BeginChange(SessionID);
  const std::int32_t Count = FPage->EntryCount();
  const std::int32_t k = KeyPath.Items[KeyPath.ItemNo].EntryNo;
  if (k < 0 || k >= Count) throw EMdbException(20020, SInternalIndexError);
  if (MergeWithLeft) {
    // The merged keys now lie left of this page's subtree: the ancestor separator that routed them
    // here becomes this page's next separator.
    if (k == 0 && Count >= 2) {
      for (std::int32_t l = KeyPath.ItemNo - 1; l >= 0; --l) {
        const std::int32_t e = KeyPath.Items[l].EntryNo;
        if (e == 0) continue;
        TMdbBTreePage A(I, I->GetBTreePage(SessionID, KeyPath.Items[l].PageNo));
        A.BeginChange(SessionID);
        A.UpdateKey(e, FPage->GetPKey(1));
        A.Update(SessionID);
        break;
      }
    }
  } else if (RepairKey) {
    // The merged keys now lie in the right neighbour's subtree: the separator routing to it is
    // lowered to their first key.
    if (k < Count - 1) {
      FPage->UpdateKey(k + 1, RepairKey);
    } else {
      for (std::int32_t l = KeyPath.ItemNo - 1; l >= 0; --l) {
        TMdbBTreePage A(I, I->GetBTreePage(SessionID, KeyPath.Items[l].PageNo));
        const std::int32_t e = KeyPath.Items[l].EntryNo;
        if (e >= A.EntryCount() - 1) continue;
        A.BeginChange(SessionID);
        A.UpdateKey(e + 1, RepairKey);
        A.Update(SessionID);
        break;
      }
    }
  }
  DeleteEntryAt(k);
  if (!FPage->IsRoot()) {
    if (IsUnderflow() && TryMerge(SessionID, KeyPath)) return;
    FPage->Update(SessionID);
    return;
  }
  if (FPage->EntryCount() == 1) CollapseRoot(SessionID);
  else FPage->Update(SessionID);
}

void TMdbBTreeNodeController::CollapseRoot(std::int32_t SessionID) {
  TMdbBTreeIndex* I = Index();
  const std::int32_t ChildNo = ChildPageNo(0);
  {
    TMdbBTreePage C(I, I->GetBTreePage(SessionID, ChildNo));
    FPage->CopyFrom(C, 0, C.EntryCount());
    FPage->SetIsRoot(true);
    FPage->Update(SessionID);
  }
  I->RemoveBTreePage(SessionID, ChildNo);
}
