// B+tree pages of the Mdb indexes: the key layout built from an index definition with its typed
// comparison, the key path that records a descent (and serves as an index position), the page view
// over one cached 4,096-byte page and the two controllers that carry the page algorithms (search,
// insert with splits, delete with merges, condition search, freeing, integrity check).
//
// Node header (first 18 bytes of every index page; little-endian, packed):
//   0   1  IsRoot          0/1
//   1   1  IsLeaf          0/1
//   2   4  LeftPageNo      Int32, -1 for none (neighbour on the same level, across parents)
//   6   4  RightPageNo     Int32, -1 for none
//  10   1  HasKeys         1 once initialised as a root; copied to pages made from it
//  11   1  HasSuffixes     0
//  12   2  KeyPrefixSize   UInt16 = the index's key size
//  14   2  EntryCount      UInt16
//  16   2  PagePrefixSize  UInt16, 0
// Entries follow at 18, packed, ascending by key:
//   leaf entry   key, then the record id (Int32 PageNo, UInt16 PageItemNo)
//   node entry   key, then the child page number (Int32); entry i >= 1 carries the separator of
//                child i (keys below it lie in earlier children, keys above in child i or later,
//                equal keys on either side); the key of entry 0 is never compared.
// Capacity: (4,096 - 18) div entry size.
//
// Key: the index columns in order, each one null byte (1 = NULL) followed by the field's stored bytes
// (the field's in-record data size). NULL sorts below every value; a descending column negates its
// result; equal keys compare equal whatever their record ids.
//
// Pages are read through the table data's page cache and changed only as the changing session's own
// copies (BeginChange): the stored bytes and the committed pages other sessions read stay as they
// were until the change set is applied, and a cancelled change set leaves the tree as before.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/storage/MdbPage.h"

class TMdbTableData;
class TMdbIndexDef;
class TMdbBTreeIndex;
class TMdbBTreePage;

inline constexpr std::int32_t kBTreeNodeHeaderSize = 18;
inline constexpr std::int32_t kBTreeNodeReferenceSize = 4;
inline constexpr std::int32_t kBTreeLeafReferenceSize = 6;
inline constexpr std::int32_t kMaxKeyPathLevels = 32;

struct TMdbKeyPart {
  std::int32_t OffsetInKeyBuffer = 0;
  std::int32_t OffsetInRecordBuffer = 0;
  std::int32_t FieldNo = 0;
  std::int32_t Size = 0;  // null byte + data
  TMdbBaseFieldType DataType = bftUnknown;
  bool Descending = false;
  bool CaseInsensitive = false;
};

class TMdbBTreeKeyRef : public TObject {
  VELLUM_CLASS(TMdbBTreeKeyRef)
 public:
  TMdbBTreeKeyRef() = default;
  // 20044 / 20045 without field manager / definitions, 20043 for a column naming no field, 30047 for
  // a column type keys cannot hold.
  void Assign(const TMdbIndexDef& IndexDef, TMdbTableData* aTableData);
  Byte* AllocKeyBuffer() const;
  static void FreeAndNilKeyBuffer(Byte*& Buffer);
  void MakeKeyFromRecordBuffer(const Byte* RecordBuffer, Byte* KeyBuffer) const;
  // -1, 0 or 1 over the first CompareFieldCount parts (30045 / 30046 / 30047).
  std::int32_t CompareKeys(const Byte* KeyBuffer1, const Byte* KeyBuffer2) const;
  static bool CompareReferences(const Byte* Reference1, const Byte* Reference2, std::int32_t Size);

  std::int32_t PartCount() const { return static_cast<std::int32_t>(Parts.size()); }
  void SetPartCount(std::int32_t Value) { Parts.resize(static_cast<std::size_t>(Value)); }
  std::int32_t KeySize() const { return FKeySize; }
  std::uint16_t ReferenceSize() const { return FReferenceSize; }
  void SetReferenceSize(std::uint16_t Value) { FReferenceSize = Value; }
  bool KeyIsReference() const { return FKeyIsReference; }
  std::int32_t CompareFieldCount() const { return FCompareFieldCount; }
  // Clamped to 1..PartCount; 0 or less means all parts.
  void SetCompareFieldCount(std::int32_t Value);

  std::vector<TMdbKeyPart> Parts;

 private:
  std::int32_t FKeySize = 0;
  std::uint16_t FReferenceSize = 0;
  bool FKeyIsReference = false;
  std::int32_t FCompareFieldCount = 0;
};

// Leaf references as record ids: -1, 0 or 1 by PageNo, then PageItemNo.
std::int32_t CompareRecordReferences(const Byte* A, const Byte* B);

enum TMdbKeyPathPosition : Byte { kppUnknown, kppOnKey, kppBeforeKey, kppAfterKey, kppBOF, kppEOF };

struct TMdbKeyPathItem {
  std::int32_t PageNo = -1;
  std::int32_t EntryNo = 0;
  std::int32_t EntryCount = 0;
};

// The route from the root (slot 0) to a page entry. A descent for a change records the inner pages
// (the last item is the leaf's parent); a position also records the leaf entry. No allocation.
class TMdbKeyPath : public TObject {
  VELLUM_CLASS(TMdbKeyPath)
 public:
  TMdbKeyPath() = default;
  void Clear() { Count = ItemNo = 0; }
  // 11660 when ItemNo is outside 0..31.
  void AddItem(std::int32_t aPageNo, std::int32_t aEntryNo, std::int32_t aEntryCount);
  void DeleteLastItem() {
    --ItemNo;
    --Count;
  }
  void IncLevel() { ++ItemNo; }
  void DecLevel() { --ItemNo; }
  std::int32_t CurrentPageNo() const { return Items[ItemNo].PageNo; }
  void SetCurrentPageNo(std::int32_t Value) { Items[ItemNo].PageNo = Value; }
  bool PageExists(std::int32_t aPageNo) const;
  // 20051 for different depths, 20052 for different pages on one level; else the first differing
  // entry decides.
  std::int32_t Compare(const TMdbKeyPath& aKeyPath) const;
  double GetApproxRecNoInPercents() const;
  void Assign(const TMdbKeyPath& Source);
  bool Empty() const { return Count == 0; }
  TMdbKeyPathItem& Last() { return Items[Count - 1]; }
  const TMdbKeyPathItem& Last() const { return Items[Count - 1]; }

  TMdbKeyPathItem Items[kMaxKeyPathLevels];
  std::int32_t Count = 0;
  std::int32_t ItemNo = 0;
  TMdbKeyPathPosition PositionType = kppUnknown;
  std::int32_t IndexState = 0;
};

// The page algorithms. A controller holds no state of its own beyond the page it serves; the page
// forwards to its leaf or node controller by IsLeaf.
class TMdbBTreePageController {
 public:
  explicit TMdbBTreePageController(TMdbBTreePage* aPage) : FPage(aPage) {}
  virtual ~TMdbBTreePageController() = default;
  TMdbBTreePageController(const TMdbBTreePageController&) = delete;
  TMdbBTreePageController& operator=(const TMdbBTreePageController&) = delete;

  virtual void InsertLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) = 0;
  virtual bool DeleteLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) = 0;
  virtual void FreeAllPages(std::int32_t SessionID, std::int32_t RootPageNo) = 0;
  virtual void CheckIntegrity(std::int32_t SessionID, TMdbKeyPath& KeyPath) = 0;
  virtual bool FindEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& Position) = 0;
  virtual bool GetFirstPosition(std::int32_t SessionID, TMdbKeyPath& Position) = 0;
  virtual bool GetLastPosition(std::int32_t SessionID, TMdbKeyPath& Position) = 0;
  virtual bool FindByCondition(std::int32_t SessionID, bool First, const Byte* Key, TMdbSearchCondition Operator,
                               TMdbKeyPath& Position) = 0;
  virtual void GetFirstKey(std::int32_t SessionID, Byte* Key) = 0;
  virtual void GetLastKey(std::int32_t SessionID, Byte* Key) = 0;

  // Binary search over entries Low..EntryCount-1; Mode 0 leftmost equal, 1 rightmost, 2 any.
  TMdbKeyPathPosition FindKeyPosition(const Byte* Key, std::int32_t Low, std::int32_t Mode, std::int32_t& Position) const;
  std::int32_t CompareKeyAt(const Byte* Key, std::int32_t Position) const;
  bool ReferenceEquals(const Byte* Reference, std::int32_t Position) const;
  bool HasRoomForEntry() const;
  bool IsOverflow() const;
  bool IsUnderflow() const;
  bool CanMergeWith(const TMdbBTreePage& Other) const;
  void InsertEntryAt(const Byte* Key, const Byte* Reference, std::int32_t Position);
  void DeleteEntryAt(std::int32_t Position);  // 20025 on an empty page
  bool FindReferencePosition(const Byte* Key, const Byte* Reference, std::int32_t& Position) const;
  // The children a key condition may reach; the whole page without a key or for scNone.
  void GetChildRange(const Byte* Key, TMdbSearchCondition Operator, std::int32_t& From, std::int32_t& To) const;
  void Split(std::int32_t SessionID, TMdbKeyPath& KeyPath);

 protected:
  void SplitRoot(std::int32_t SessionID);
  void SplitPage(std::int32_t SessionID, TMdbKeyPath& KeyPath);
  bool TryMerge(std::int32_t SessionID, TMdbKeyPath& KeyPath);
  bool MergeWithSibling(std::int32_t SessionID, std::int32_t SiblingNo, bool SiblingIsLeft, TMdbKeyPath& KeyPath);
  std::int32_t ChildPageNo(std::int32_t Position) const;
  TMdbBTreeIndex* Index() const;

  TMdbBTreePage* FPage;
};

class TMdbBTreeLeafController : public TMdbBTreePageController {
 public:
  using TMdbBTreePageController::TMdbBTreePageController;
  void InsertLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) override;
  bool DeleteLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) override;
  void FreeAllPages(std::int32_t SessionID, std::int32_t RootPageNo) override;
  void CheckIntegrity(std::int32_t SessionID, TMdbKeyPath& KeyPath) override;
  bool FindEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& Position) override;
  bool GetFirstPosition(std::int32_t SessionID, TMdbKeyPath& Position) override;
  bool GetLastPosition(std::int32_t SessionID, TMdbKeyPath& Position) override;
  bool FindByCondition(std::int32_t SessionID, bool First, const Byte* Key, TMdbSearchCondition Operator,
                       TMdbKeyPath& Position) override;
  void GetFirstKey(std::int32_t SessionID, Byte* Key) override;
  void GetLastKey(std::int32_t SessionID, Byte* Key) override;
};

class TMdbBTreeNodeController : public TMdbBTreePageController {
 public:
  using TMdbBTreePageController::TMdbBTreePageController;
  void InsertLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) override;
  bool DeleteLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) override;
  void FreeAllPages(std::int32_t SessionID, std::int32_t RootPageNo) override;
  void CheckIntegrity(std::int32_t SessionID, TMdbKeyPath& KeyPath) override;
  bool FindEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& Position) override;
  bool GetFirstPosition(std::int32_t SessionID, TMdbKeyPath& Position) override;
  bool GetLastPosition(std::int32_t SessionID, TMdbKeyPath& Position) override;
  bool FindByCondition(std::int32_t SessionID, bool First, const Byte* Key, TMdbSearchCondition Operator,
                       TMdbKeyPath& Position) override;
  void GetFirstKey(std::int32_t SessionID, Byte* Key) override;
  void GetLastKey(std::int32_t SessionID, Byte* Key) override;
  // Receives the separator of a page split off below; may split in turn.
  void InsertNodeEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath);
  // Drops the entry of a child merged away (entry = the path's EntryNo at the current level), repairs
  // the separator that routes to the merged keys, then merges or collapses the root as needed.
  // RepairKey: the first key of the keys that moved right (merge into the right neighbour).
  void DeleteNodeEntry(std::int32_t SessionID, TMdbKeyPath& KeyPath, bool MergeWithLeft, const Byte* RepairKey);

 private:
  void CollapseRoot(std::int32_t SessionID);

  // Equal keys lie in record-id order across the leaves: the child to descend into for (Key,
  // Reference) among the children From..To, found by the first entry of each (one descent per probe).
  std::int32_t ChildFor(std::int32_t SessionID, const Byte* Key, const Byte* Reference, std::int32_t From,
                        std::int32_t To) const;
  std::int32_t CompareFirstEntry(std::int32_t SessionID, std::int32_t ChildNo, const Byte* Key,
                                 const Byte* Reference) const;
};

// A view of one cached page as a B-tree node. It holds one use of the page from construction to
// destruction (the page goes back to the cache then); views are made on the stack, one per fetch.
class TMdbBTreePage : public TMdbPageController {
  VELLUM_CLASS(TMdbBTreePage)
 public:
  TMdbBTreePage(TMdbBTreeIndex* BTreeIndex, TMdbPage* Page);
  ~TMdbBTreePage() override;
  TMdbBTreePage(const TMdbBTreePage&) = delete;
  TMdbBTreePage& operator=(const TMdbBTreePage&) = delete;

  bool IsRoot() const { return PageBuffer()[0] != 0; }
  void SetIsRoot(bool Value) { PageBuffer()[0] = Value ? 1 : 0; }
  bool IsLeaf() const { return PageBuffer()[1] != 0; }
  void SetIsLeaf(bool Value) { PageBuffer()[1] = Value ? 1 : 0; }
  std::int32_t LeftPageNo() const { return ReadInt32(2); }
  void SetLeftPageNo(std::int32_t Value) { WriteInt32(2, Value); }
  std::int32_t RightPageNo() const { return ReadInt32(6); }
  void SetRightPageNo(std::int32_t Value) { WriteInt32(6, Value); }
  Byte HasKeys() const { return PageBuffer()[10]; }
  void SetHasKeys(Byte Value) { PageBuffer()[10] = Value; }
  Byte HasSuffixes() const { return PageBuffer()[11]; }
  void SetHasSuffixes(Byte Value) { PageBuffer()[11] = Value; }
  std::int32_t KeyPrefixSize() const { return ReadUInt16(12); }
  void SetKeyPrefixSize(std::int32_t Value);  // range error above 65,535
  std::int32_t EntryCount() const { return ReadUInt16(14); }
  void SetEntryCount(std::int32_t Value);  // range error above 65,535
  std::int32_t PagePrefixSize() const { return ReadUInt16(16); }
  void SetPagePrefixSize(std::int32_t Value) { WriteUInt16(16, static_cast<std::uint16_t>(Value)); }
  std::int32_t ReferenceSize() const;
  std::int32_t EntrySize() const { return KeyPrefixSize() + ReferenceSize(); }
  std::int32_t EntriesOffset() const { return kBTreeNodeHeaderSize + PagePrefixSize(); }
  static constexpr std::int32_t SuffixPtrSize() { return 6; }
  std::int32_t Capacity() const { return (PageSize() - kBTreeNodeHeaderSize) / EntrySize(); }

  void Init();
  void InitAsRoot();
  Byte* GetPKey(std::int32_t KeyPosition) const {
    return PageBuffer() + EntriesOffset() + KeyPosition * EntrySize();
  }
  Byte* GetPReference(std::int32_t RefPosition) const { return GetPKey(RefPosition) + KeyPrefixSize(); }
  void UpdateKey(std::int32_t Position, const Byte* Key);
  void CopyFrom(const TMdbBTreePage& Source, std::int32_t StartNo, std::int32_t Count);
  void AppendFrom(const TMdbBTreePage& Source, std::int32_t StartNo, std::int32_t Count);
  void InsertFrom(const TMdbBTreePage& Source, std::int32_t StartNo, std::int32_t Count);
  // Room in the buffer for Count entries (the buffer grows beyond the page size when a page is about
  // to be split).
  void EnsureRoom(std::int32_t Count);

  // Makes the page this session's own copy in the cache's change set (nothing when it already is).
  void BeginChange(std::int32_t SessionID);
  // Publishes the change to the cache (the page joins the session's change set).
  void Update(std::int32_t SessionID);
  // Whether the page is already this session's copy in the cache's change set.
  bool IsOwnChange(std::int32_t SessionID) const;

  void InsertLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) {
    Controller().InsertLeafEntry(SessionID, Key, Reference, KeyPath);
  }
  bool DeleteLeafEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath) {
    return Controller().DeleteLeafEntry(SessionID, Key, Reference, KeyPath);
  }
  bool FindEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& Position) {
    return Controller().FindEntry(SessionID, Key, Reference, Position);
  }
  bool GetFirstPosition(std::int32_t SessionID, TMdbKeyPath& Position) {
    return Controller().GetFirstPosition(SessionID, Position);
  }
  bool GetLastPosition(std::int32_t SessionID, TMdbKeyPath& Position) {
    return Controller().GetLastPosition(SessionID, Position);
  }
  bool FindByCondition(std::int32_t SessionID, bool First, const Byte* Key, TMdbSearchCondition Operator,
                       TMdbKeyPath& Position) {
    if (EntryCount() == 0) return false;
    return Controller().FindByCondition(SessionID, First, Key, Operator, Position);
  }
  void FreeAllPages(std::int32_t SessionID, std::int32_t RootPageNo) { Controller().FreeAllPages(SessionID, RootPageNo); }
  void CheckIntegrity(std::int32_t SessionID, TMdbKeyPath& KeyPath) { Controller().CheckIntegrity(SessionID, KeyPath); }
  void GetFirstKey(std::int32_t SessionID, Byte* Key) { Controller().GetFirstKey(SessionID, Key); }
  void GetLastKey(std::int32_t SessionID, Byte* Key) { Controller().GetLastKey(SessionID, Key); }
  // 20020 / 20024 on a leaf.
  void InsertNodeEntry(std::int32_t SessionID, const Byte* Key, const Byte* Reference, TMdbKeyPath& KeyPath);
  void DeleteNodeEntry(std::int32_t SessionID, TMdbKeyPath& KeyPath, bool MergeWithLeft, const Byte* RepairKey);

  TMdbBTreePageController& Controller() {
    return IsLeaf() ? static_cast<TMdbBTreePageController&>(FLeafController) : FNodeController;
  }
  const TMdbBTreeKeyRef& KeyRef() const { return *FKeyRef; }
  TMdbBTreeIndex* BTreeIndex() const { return LBTreeIndex; }

 private:
  std::int32_t ReadInt32(std::int32_t Offset) const;
  void WriteInt32(std::int32_t Offset, std::int32_t Value);
  std::int32_t ReadUInt16(std::int32_t Offset) const;
  void WriteUInt16(std::int32_t Offset, std::uint16_t Value);

  TMdbBTreeLeafController FLeafController;
  TMdbBTreeNodeController FNodeController;
  const TMdbBTreeKeyRef* FKeyRef;
  TMdbBTreeIndex* LBTreeIndex;
};
