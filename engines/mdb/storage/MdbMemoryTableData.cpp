#include "engines/mdb/storage/MdbMemoryTableData.h"

#include "engines/mdb/storage/MdbMemoryDatabaseData.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engines/mdb/runtime/MdbCompression.h"
#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbMemoryDatabaseData.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbSession.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SNoFieldsSpecified[] = u"Error creating table - no fields were specified";
constexpr char16_t SNotExclusive[] = u"Error - table '%s' is not opened in exclusive mode";
constexpr char16_t SCannotLockTable[] = u"Error - cannot lock table in '%s' mode, table name = '%s', SessionID = %d";
constexpr char16_t SEmptyWithDeleteActions[] =
    u"Cannot empty table '%s' - foreign key(s) with delete action referencing this table exists";
constexpr char16_t SRenameExists[] = u"Cannot rename table '%s' to '%s' - table with such name already exists";
constexpr char16_t SCannotSetPosition[] = u"Cannot set stream position to %d. Position = %d, Size = %d";
constexpr char16_t SInvalidSignature[] = u"Invalid signature = %s. Should be %s";
constexpr char16_t SInvalidVersion[] = u"Invalid version number = %f. Should be %f";
constexpr char16_t SInvalidHeader[] = u"Invalid table stream header: %s";
constexpr char16_t SInvalidBody[] = u"Invalid table stream body: %s";
constexpr char16_t SCompressFailed[] = u"Error compressing table '%s' (algorithm %d, mode %d, %d bytes)";
constexpr char16_t SDecompressFailed[] = u"Error decompressing table '%s' (algorithm %d): %s";

#pragma pack(push, 1)
struct THeader {
  char Signature[4];
  double Version;
  Int64 RecordCount;
  Int64 UncompressedSize;
  Int64 Reserved;
  std::int32_t BlockSize;
  Byte Algorithm;
  Byte Mode;
};
#pragma pack(pop)
static_assert(sizeof(THeader) == kMdbTableStreamHeaderSize);

constexpr std::int32_t kBlobItemSize = 20;  // the block's 12-byte header and Int64 data length

std::vector<TMdbBlobFieldSlot> BlobSlotsOf(TMdbFieldDefs& Fields) {
  std::vector<TMdbBlobFieldSlot> Slots;
  for (std::int32_t i = 0; i < Fields.Count(); ++i)
    if (Fields.GetDef(i)->IsBlob()) Slots.push_back({i, Fields.GetDef(i)->FMemoryOffset});
  return Slots;
}

// Gathers small writes into large ones; Position() is the target's position of the next byte.
class TChunkWriter {
 public:
  explicit TChunkWriter(TStream* S) : FStream(S), FBase(S->Position()) { FBuf.reserve(kChunk); }
  Int64 Position() const { return FBase + static_cast<Int64>(FBuf.size()); }
  void Put(const void* P, std::size_t n, int Code) {
    if (FBuf.size() + n > kChunk) Flush(Code);
    if (n >= kChunk) {
      WriteBufferToStream(P, static_cast<Int64>(n), FStream, Code);
      FBase += static_cast<Int64>(n);
      return;
    }
    const auto* b = static_cast<const Byte*>(P);
    FBuf.insert(FBuf.end(), b, b + n);
  }
  void Flush(int Code) {
    if (FBuf.empty()) return;
    WriteBufferToStream(FBuf.data(), static_cast<Int64>(FBuf.size()), FStream, Code);
    FBase += static_cast<Int64>(FBuf.size());
    FBuf.clear();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 16;
  TStream* FStream;
  Int64 FBase;
  std::vector<Byte> FBuf;
};

// A read-only stream over a decompressed body (a runtime-heap buffer it frees).
class TBodyStream : public TStream {
 public:
  TBodyStream(void* Buffer, Int64 Size) : FBuffer(Buffer), FSize(Size) {}
  ~TBodyStream() override { FreeRuntimeBuffer(FBuffer); }
  Int64 Read(void* Buffer, Int64 Count) override {
    const Int64 n = std::clamp<Int64>(FSize - FPos, 0, std::max<Int64>(Count, 0));
    if (n > 0 && FPos >= 0) std::memcpy(Buffer, static_cast<const Byte*>(FBuffer) + FPos, static_cast<std::size_t>(n));
    else if (FPos < 0) return 0;
    FPos += n;
    return n;
  }
  Int64 Write(const void*, Int64) override { return 0; }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    if (Origin == TSeekOrigin::soBeginning) FPos = Offset;
    else if (Origin == TSeekOrigin::soCurrent) FPos += Offset;
    else FPos = FSize + Offset;
    return FPos;
  }
  Int64 Size() override { return FSize; }
  const Byte* Data() const { return static_cast<const Byte*>(FBuffer); }

 private:
  void* FBuffer;
  Int64 FSize;
  Int64 FPos = 0;
};

// A body compressed with zlib as it is written, straight into the target stream: no copy of the whole
// body is made. Positions count in the uncompressed body.
class TZLibBodyWriter : public TStream {
 public:
  TZLibBodyWriter(TStream* Target, int Level, const String& TableName)
      : FWriter(Level, [Target](const void* P, std::int32_t n) { WriteBufferToStream(P, n, Target, 10156); }),
        FLevel(Level),
        FTableName(TableName) {}
  Int64 Read(void*, Int64) override { return 0; }
  Int64 Write(const void* Buffer, Int64 Count) override {
    if (Count <= 0) return 0;
    if (FWriter.TotalIn() + Count > kMdbMaxTableStreamBody)
      throw EMdbException(11725, SCompressFailed, {FTableName, int(acaZLIB), FLevel, FWriter.TotalIn() + Count});
    FWriter.Write(Buffer, Count);
    return Count;
  }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    // Only asked for the position: the body is written front to back.
    if (Offset == 0 && Origin != TSeekOrigin::soBeginning) return FWriter.TotalIn();
    throw EMdbException(10155, SCannotSetPosition, {Offset, FWriter.TotalIn(), FWriter.TotalIn()});
  }
  Int64 Size() override { return FWriter.TotalIn(); }
  void Finish() { FWriter.Finish(); }
  Int64 TotalOut() const { return FWriter.TotalOut(); }

 private:
  TMdbZLibStreamWriter FWriter;
  int FLevel;
  const String& FTableName;
};

// The runtime buffer of a compressor, released on every way out.
struct TRuntimeBuffer {
  void* P = nullptr;
  ~TRuntimeBuffer() { FreeRuntimeBuffer(P); }
};

// A body written in memory before it is compressed: sized once from the table's estimate and grown
// geometrically past it, so that a save copies its bytes no more than once or twice.
class TBodyBuffer : public TStream {
 public:
  explicit TBodyBuffer(Int64 Capacity) { Reserve(Capacity); }
  const Byte* Data() const { return FData.get(); }
  Int64 Read(void*, Int64) override { return 0; }
  Int64 Write(const void* Buffer, Int64 Count) override {
    if (Count <= 0) return 0;
    if (FSize + Count > FCapacity) Reserve(std::max(FCapacity * 2, FSize + Count));
    std::memcpy(FData.get() + FSize, Buffer, static_cast<std::size_t>(Count));
    FSize += Count;
    return Count;
  }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    // Only asked for the position: the body is written front to back.
    if (Origin == TSeekOrigin::soCurrent && Offset == 0) return FSize;
    if (Origin == TSeekOrigin::soEnd && Offset == 0) return FSize;
    throw EMdbException(10155, SCannotSetPosition, {Offset, FSize, FSize});
  }
  Int64 Size() override { return FSize; }

 private:
  void Reserve(Int64 Capacity) {
    Capacity = std::max<Int64>(Capacity, 4096);
    auto Bigger = std::make_unique_for_overwrite<Byte[]>(static_cast<std::size_t>(Capacity));
    if (FSize > 0) std::memcpy(Bigger.get(), FData.get(), static_cast<std::size_t>(FSize));
    FData = std::move(Bigger);
    FCapacity = Capacity;
  }
  std::unique_ptr<Byte[]> FData;
  Int64 FCapacity = 0;
  Int64 FSize = 0;
};

// The bytes of a stream that keeps them in one block, nil for other streams.
const Byte* ContiguousBytes(TStream* Stream) {
  if (auto* B = dynamic_cast<TBodyStream*>(Stream)) return B->Data();
  if (auto* M = dynamic_cast<TMdbMemoryStream*>(Stream)) return static_cast<const Byte*>(M->Buffer());
  if (auto* P = dynamic_cast<TCustomMemoryStream*>(Stream)) return static_cast<const Byte*>(P->Memory());
  return nullptr;
}

[[noreturn]] void BadHeader(const String& What) { throw EMdbException(10160, SInvalidHeader, {What}); }

// The header and the table name at the stream's position, for the load and the name peek alike: the
// signature (10161) and the version window (10162, 10443, 10454, 10455) are checked before the name
// is read (10163); a short header is 10160.
void ReadHeaderAndName(TStream* Stream, THeader& H, String& Name) {
  ReadBufferFromStream(&H, kMdbTableStreamHeaderSize, Stream, 10160);
  if (std::memcmp(H.Signature, kMdbTableStreamSignature, 4) != 0) {
    String Sig;
    for (char c : H.Signature) Sig.push_back(static_cast<char16_t>(static_cast<Byte>(c)));
    throw EMdbException(10161, SInvalidSignature, {Sig, String(u"ACS5")});
  }
  const double V = H.Version;
  auto BadVersion = [&](int Code) { throw EMdbException(Code, SInvalidVersion, {V, kMdbTableStreamVersion}); };
  if (!(V <= 9.0001)) BadVersion(10162);  // NaN included
  if (V < 1.0001) BadVersion(10443);
  if (V < 1.010001) BadVersion(10454);
  if (V < 1.020001) BadVersion(10455);
  ReadWideStringFromStream(Name, Stream, 10163);
}

}  // namespace

// ---- construction ----------------------------------------------------------------------------------------

TMdbMemoryTableData::TMdbMemoryTableData(TMdbDatabaseData* aDatabaseData, std::int32_t AllocRecordsBy)
    : TMdbAdvancedTableData(aDatabaseData), FAllocRecordsBy(AllocRecordsBy) {
  NewPageStore();
  FInMemory = true;
  FTemporary = false;
  FLockManager = std::make_unique<TMdbTableLockManager>(this, false);
  FLockManager->SetTransactionSessionIDSource(&FTransactionSessionID);
}

TMdbMemoryTableData::~TMdbMemoryTableData() {
  if (FIsTableOpened) {
    const std::vector<TMdbCursor*> Open = FCursorList;
    for (TMdbCursor* C : Open) {
      try {
        C->CloseTable();
      } catch (...) {
      }
      if (std::find(FCursorList.begin(), FCursorList.end(), C) != FCursorList.end()) {
        try {
          TMdbMemoryTableData::CloseTable(C);
        } catch (...) {
        }
        std::erase(FCursorList, C);
      }
    }
  }
  // The object goes with its database or after its table was deleted: the partner halves of its
  // foreign keys are no longer this object's to remove (their tables may be gone already).
  if (FConstraintManager) {
    FConstraintManager->ConstraintDefs().ForeignKeysExists = false;
    FConstraintManager->ConstraintDefs().ForeignKeysActionsExists = false;
  }
  // A private session of this thread drops what the table holds; the database's views stay (a table
  // freed here is replaced by a load or goes with its database).
  FDestroying = true;
  TMdbBaseSession Private;
  Private.SessionID = CurrentThreadID();
  Private.InMemory = true;
  try {
    TMdbMemoryTableData::DeleteTable(&Private, true, false);
  } catch (...) {
  }
  // Open indexes and the cache hold pages of the page manager: they go first.
  FRecordBufferCache.reset();
  FFindRecordCache.reset();
  FIndexManager.reset();
  FCache.reset();
  FPageManager.reset();
}

void TMdbMemoryTableData::NewPageStore() {
  FIndexManager.reset();
  FCache.reset();
  FPageManager = std::make_unique<TMdbMemoryPageManager>();
  FCache = std::make_unique<TMdbTableCache>(FPageManager.get(), nullptr, -1);
}

TMdbPageManager* TMdbMemoryTableData::GetPageManager() { return FPageManager.get(); }

TMdbMemoryRecordManager* TMdbMemoryTableData::MemoryRecordManager() const {
  return static_cast<TMdbMemoryRecordManager*>(FRecordManager.get());
}

void TMdbMemoryTableData::CreateRecordManager() {
  FRecordManager.reset();
  auto M = std::make_unique<TMdbMemoryRecordManager>(this, CalcRecordSize(), FAllocRecordsBy);
  M->SetBlobFields(BlobSlotsOf(FieldDefs()), &FBlobs);
  FRecordManager = std::move(M);
}

// ---- records ---------------------------------------------------------------------------------------------

TMdbRecordID TMdbMemoryTableData::Int64ToRecordID(Int64 Value) {
  if (Value < INT32_MIN || Value > INT32_MAX) throw ERangeError(msg::SRangeError);
  TMdbRecordID Id;
  Id.PageNo = static_cast<std::int32_t>(Value);
  Id.PageItemNo = 0;
  return Id;
}

std::int32_t TMdbMemoryTableData::CompareRecordID(const TMdbRecordID& RecordID1, const TMdbRecordID& RecordID2) {
  return RecordID1.PageNo == RecordID2.PageNo ? 0 : (RecordID1.PageNo > RecordID2.PageNo ? 1 : -1);
}

void TMdbMemoryTableData::InternalSetRecNo(TMdbCursor* Cursor, Int64 RecNo) {
  if (!FRecordManager) throw EMdbException(10074, SNilPointer);
  const Int64 Slot = MemoryRecordManager()->GetRecordIDByRecNo(RecNo - 1);
  if (Slot == -1) return;
  Cursor->CurrentRecordID.PageNo = static_cast<std::int32_t>(Slot);
  Cursor->CurrentRecordID.PageItemNo = 0;
}

Int64 TMdbMemoryTableData::InternalGetRecNo(TMdbCursor* Cursor) {
  if (!FRecordManager) throw EMdbException(10033, SNilPointer);
  return MemoryRecordManager()->GetRecNoByRecordID(Cursor->CurrentRecordID.PageNo);
}

void TMdbMemoryTableData::FreeRecordBLOBs(TMdbMemoryRecordManager* Records, TMdbFieldDefs& Fields) {
  if (Records == nullptr || Records->GetRecordCount() == 0) return;
  const auto Slots = BlobSlotsOf(Fields);
  if (Slots.empty()) return;
  for (std::int32_t s = Records->FirstRecordID(); s <= Records->LastRecordID(); ++s) {
    if (Records->IsSlotDeleted(s)) continue;
    Byte* R = Records->SlotBuffer(s);
    for (const auto& F : Slots)
      if (!IsRecordFieldNull(R, F.FieldNo)) {
        FBlobs.Free(GetBlobHandle(R, F.MemoryOffset));
        SetRecordFieldNull(R, F.FieldNo, true);
      }
  }
}

void TMdbMemoryTableData::ClearAllRecords(std::int32_t SessionID) {
  if (!FRecordManager) return;
  if (FBLOBFieldsPresent) FreeRecordBLOBs(MemoryRecordManager(), FieldDefs());
  FRecordManager->Empty(SessionID);
}

void TMdbMemoryTableData::ResetStoredBLOBMarkers(TMdbCursor* Cursor, const TMdbRecordID& RecordID) {
  TMdbMemoryRecordManager* M = MemoryRecordManager();
  Byte* Stored = M->SlotBuffer(RecordID.PageNo);
  Byte* Own = Cursor->FCurrentRecordBuffer;
  for (const auto& F : M->BlobFields()) {
    if (!IsRecordFieldNull(Stored, F.FieldNo)) SetBlobMarker(Stored, F.MemoryOffset, kBlobNotModified);
    if (!IsRecordFieldNull(Own, F.FieldNo)) SetBlobMarker(Own, F.MemoryOffset, kBlobNotModified);
  }
}

// ---- a transaction's record changes ----------------------------------------------------------------------

void TMdbMemoryTableData::NoteRecordChange(TRecordChange Change, const TMdbRecordID& RecordID, const Byte* Old) {
  TUndo U{Change, RecordID.PageNo, {}};
  if (Old) U.Old.assign(Old, Old + CalcRecordSize());
  FUndo.push_back(std::move(U));
}

void TMdbMemoryTableData::ForgetRecordChanges() {
  FUndo.clear();
  FBlobs.SetDeferFrees(false);
  for (std::uint32_t h : FBlobs.TakeDeferred()) FBlobs.Free(h);
}

void TMdbMemoryTableData::UndoRecordChanges() {
  FBlobs.SetDeferFrees(false);
  const std::vector<std::uint32_t> Deferred = FBlobs.TakeDeferred();
  TMdbMemoryRecordManager* M = MemoryRecordManager();
  std::vector<std::uint32_t> Kept;
  if (M) {
    const auto& Slots = M->BlobFields();
    for (auto U = FUndo.rbegin(); U != FUndo.rend(); ++U) {
      TMdbRecordID Id{U->Slot, 0};
      const bool Live = M->IsRecordExists(Id, -1);
      if (U->Change == TRecordChange::Delete) {
        if (!Live) M->RestoreRecord(U->Slot, U->Old.data());
        continue;
      }
      if (!Live) continue;
      Byte* R = M->SlotBuffer(U->Slot);
      // The blocks the transaction gave the record go; those of the record it had stay.
      for (const auto& F : Slots) {
        if (IsRecordFieldNull(R, F.FieldNo)) continue;
        const std::uint32_t h = GetBlobHandle(R, F.MemoryOffset);
        const bool OldHasIt = U->Change == TRecordChange::Update && !IsRecordFieldNull(U->Old.data(), F.FieldNo) &&
                              GetBlobHandle(U->Old.data(), F.MemoryOffset) == h;
        if (!OldHasIt) FBlobs.Free(h);
      }
      if (U->Change == TRecordChange::Insert) M->DeleteRecord(Id, -1);
      else std::memcpy(R, U->Old.data(), U->Old.size());
    }
    // What the restored records name again stays; the rest the transaction let go of goes now.
    for (const TUndo& U : FUndo) {
      if (U.Old.empty() || !M->IsRecordExists({U.Slot, 0}, -1)) continue;
      const Byte* R = M->SlotBuffer(U.Slot);
      for (const auto& F : Slots)
        if (!IsRecordFieldNull(R, F.FieldNo)) Kept.push_back(GetBlobHandle(R, F.MemoryOffset));
    }
  }
  std::sort(Kept.begin(), Kept.end());
  for (std::uint32_t h : Deferred)
    if (!std::binary_search(Kept.begin(), Kept.end(), h)) FBlobs.Free(h);
  FUndo.clear();
}

// ---- table operations ------------------------------------------------------------------------------------

void TMdbMemoryTableData::CreateTable(TMdbCursor* Cursor, TMdbFieldDefs& FieldDefs, TMdbIndexDefs& IndexDefs,
                                      TMdbConstraintDefs& ConstraintDefs) {
  if (Cursor == nullptr) throw EMdbException(12401, SNilPointer);
  if (FieldDefs.Count() == 0) throw EMdbException(11989, SNoFieldsSpecified);
  SetTableName(Cursor->FTableName);
  CheckFieldDefs(FieldDefs);
  CheckIndexDefs(IndexDefs);
  CheckConstraintDefs(ConstraintDefs);
  CreateSequenceManager();
  CreateFieldManager(FieldDefs);
  CreateIndexManager(IndexDefs);
  CreateConstraintManager(ConstraintDefs);
  CreateAutoincSequences();
  if (FConstraintManager->ConstraintDefs().ForeignKeysExists) LinkForeignKeys(Cursor);
  CreateRecordManager();
  InitCursorRecordLayout(Cursor);
  FComment = Cursor->FComment;
  FCreationDate = Now();
}

void TMdbMemoryTableData::DeleteTable(TMdbBaseSession* Session, bool Cascade, bool DesignMode) {
  // Views reading the table refuse the delete without Cascade (12626); with it they go, but only once
  // the table is gone, so that a refused delete keeps them.
  auto* Db = FDestroying ? nullptr : dynamic_cast<TMdbMemoryDatabaseData*>(FDatabaseData);
  if (Db != nullptr && !Cascade && Db->CheckDeleteTableOrView(FTableName, false)) return;
  if (Session == nullptr) throw EMdbException(11885, SNilPointer);
  const std::int32_t Sid = Session->SessionID;
  if (!TryToLockTableX(Sid)) throw EMdbException(11893, SNotExclusive, {FTableName});
  try {
    TMdbTableData::DeleteTable(Session, Cascade, DesignMode);
    if (FIndexManager && FIndexManager->IndexDefs().Count() > 0) FIndexManager->DropAllIndexes(Sid);
    ClearAllRecords(Sid);
    TMdbAdvancedTableData::ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    TryToUnlockTableX(Sid);
    throw;
  }
  TryToUnlockTableX(Sid);
  if (Db != nullptr && Cascade) Db->CheckDeleteTableOrView(FTableName, true);
}

void TMdbMemoryTableData::EmptyTable(TMdbCursor* Cursor, bool SkipFKCheck) {
  if (!SkipFKCheck && FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsDeleteExists())
    throw EMdbException(11494, SEmptyWithDeleteActions, {FTableName});
  try {
    TMdbTableData::EmptyTable(Cursor, SkipFKCheck);
    ClearAllRecords(SessionIDOf(Cursor));
    ChangeTableState(ltoEmpty);
    TMdbAdvancedTableData::ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    throw;
  }
}

void TMdbMemoryTableData::RenameTable(TMdbCursor* Cursor, const String& NewTableName) {
  if (FDatabaseData && FDatabaseData->TableExists(Cursor ? Cursor->FSession : nullptr, NewTableName))
    throw EMdbException(11491, SRenameExists, {FTableName, NewTableName});
  TMdbTableData::RenameTable(Cursor, NewTableName);
}

void TMdbMemoryTableData::OpenTable(TMdbCursor* Cursor) {
  if (Cursor->FTableName != FTableName) SetTableName(Cursor->FTableName);
  const std::int32_t Sid = SessionIDOf(Cursor);
  const bool X = Cursor->FExclusive;
  if (X ? !TryToLockTableX(Sid) : !TryToLockTableIS(Sid))
    throw EMdbException(X ? 11912 : 11913, SCannotLockTable, {String(X ? u"X" : u"IS"), FTableName, Sid});
  LockCursorList(true);
  try {
    TMdbTableData::OpenTable(Cursor);
    FIsTableOpened = true;
  } catch (...) {
    std::erase(FCursorList, Cursor);
    UnlockCursorList();
    if (X) TryToUnlockTableX(Sid);
    else TryToUnlockTableIS(Sid);
    throw;
  }
  UnlockCursorList();
}

void TMdbMemoryTableData::CloseTable(TMdbCursor* Cursor) {
  const std::int32_t Sid = SessionIDOf(Cursor);
  if (Cursor->FExclusive) TryToUnlockTableX(Sid);
  else TryToUnlockTableIS(Sid);
  LockCursorList(true);
  try {
    TMdbTableData::CloseTable(Cursor);
  } catch (...) {
    if (FCursorList.empty()) FIsTableOpened = false;
    UnlockCursorList();
    throw;
  }
  if (FCursorList.empty()) FIsTableOpened = false;
  UnlockCursorList();
  if (FCache) FCache->ClearSharedCache();
}

void TMdbMemoryTableData::EmptyIndex(std::int32_t IndexID, std::int32_t SessionID) {
  LockTableData(true);
  try {
    TMdbTableData::EmptyIndex(IndexID, SessionID);
    TMdbAdvancedTableData::ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    UnlockTableData();
    throw;
  }
  UnlockTableData();
}

void TMdbMemoryTableData::EmptyAllIndexes(std::int32_t SessionID) {
  LockTableData(true);
  try {
    TMdbTableData::EmptyAllIndexes(SessionID);
    TMdbAdvancedTableData::ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    UnlockTableData();
    throw;
  }
  UnlockTableData();
}

// ---- the table stream: save ------------------------------------------------------------------------------

namespace {

void WriteHeaderAndItems(TStream* Stream, const THeader& H, const String& Name, double Created,
                         const TMdbTableState& State, const String& Comment, Int64 ObjectId) {
  WriteBufferToStream(&H, kMdbTableStreamHeaderSize, Stream, 10156);
  WriteWideStringToStream(Name, Stream, 10157);
  WriteValueToStream(Created, Stream, 11982);
  WriteBufferToStream(&State, sizeof(TMdbTableState), Stream, 11983);
  WriteWideStringToStream(Comment, Stream, 11962);
  WriteValueToStream(ObjectId, Stream, 10416);
}

}  // namespace

Int64 TMdbMemoryTableData::BodySizeEstimate() {
  // The definitions and index pages are small beside the records; a guess covers them.
  Int64 n = 64 * 1024 + (FPageManager ? FPageManager->GetPageCount() * Int64(FPageManager->PageSize()) : 0);
  TMdbMemoryRecordManager* M = MemoryRecordManager();
  if (M == nullptr || M->GetRecordCount() == 0) return n;
  n += M->GetRecordCount() * CalcRecordSize() + (Int64(M->LastRecordID()) + 1) / 8 + 64;
  const auto& Slots = M->BlobFields();
  if (Slots.empty()) return n;
  for (std::int32_t s = M->FirstRecordID(); s <= M->LastRecordID(); ++s) {
    if (M->IsSlotDeleted(s)) continue;
    const Byte* R = M->SlotBuffer(s);
    for (const auto& F : Slots)
      if (!IsRecordFieldNull(R, F.FieldNo)) n += kBlobItemSize + FBlobs.Size(GetBlobHandle(R, F.MemoryOffset));
  }
  return n;
}

void TMdbMemoryTableData::WriteBody(TStream* Body) {
  SaveAutoincSequencesToStream(Body);
  FFieldManager->SaveToStream(Body);
  if (FConstraintManager) FConstraintManager->SaveToStream(Body);
  else TMdbConstraintDefs().SaveToStream(Body);
  if (FIndexManager) {
    FIndexManager->SaveToStream(Body);
  } else {
    TMdbIndexDefs().SaveToStream(Body);
    FPageManager->SaveToStream(Body);
  }
  TMdbMemoryRecordManager* M = MemoryRecordManager();
  if (M == nullptr || M->GetRecordCount() == 0) return;
  M->SaveToStream(Body);
  const std::int32_t RecSize = CalcRecordSize();
  const auto Slots = M->BlobFields();
  if (Slots.empty() && M->NoRecordsDeleted()) {
    // The live records are the slots 0 .. last, one block.
    WriteBufferToStream(M->SlotBuffer(0), Int64(M->LastRecordID() + 1) * RecSize, Body, 10200);
    return;
  }
  TChunkWriter W(Body);
  TMdbMemBlock Scratch(RecSize, true);
  for (std::int32_t s = M->FirstRecordID(); s <= M->LastRecordID(); ++s) {
    if (M->IsSlotDeleted(s)) continue;
    const Byte* R = M->SlotBuffer(s);
    if (Slots.empty()) {
      W.Put(R, static_cast<std::size_t>(RecSize), 10200);
      continue;
    }
    Byte* Out = Scratch.Get();
    std::memcpy(Out, R, static_cast<std::size_t>(RecSize));
    // Each item follows its record (and the items before it).
    Int64 ItemPos = W.Position() + RecSize;
    for (const auto& F : Slots) {
      if (IsRecordFieldNull(R, F.FieldNo)) continue;
      const std::uint32_t Handle = GetBlobHandle(R, F.MemoryOffset);
      if (FBlobs.Get(Handle) == nullptr) throw EMdbException(10197, SNilPointer);
      std::memcpy(Out + F.MemoryOffset, &ItemPos, 8);
      ItemPos += kBlobItemSize + FBlobs.Size(Handle) - kBlobBlockHeaderSize;
    }
    W.Put(Out, static_cast<std::size_t>(RecSize), 10197);
    for (const auto& F : Slots) {
      if (IsRecordFieldNull(R, F.FieldNo)) continue;
      const std::uint32_t Handle = GetBlobHandle(R, F.MemoryOffset);
      const auto* Block = static_cast<const Byte*>(FBlobs.Get(Handle));
      const Int64 L = FBlobs.Size(Handle) - kBlobBlockHeaderSize;
      Byte Item[kBlobItemSize];
      std::memcpy(Item, Block, kBlobBlockHeaderSize);
      std::memcpy(Item + kBlobBlockHeaderSize, &L, 8);
      W.Put(Item, kBlobItemSize, 10198);
      if (L > 0) W.Put(Block + kBlobBlockHeaderSize, static_cast<std::size_t>(L), 10199);
    }
  }
  W.Flush(10197);
}

void TMdbMemoryTableData::SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm,
                                            Byte CompressionMode, std::int32_t BlockSize, bool SkipCheckIsTableOpened) {
  LockTableData(true);
  struct TUnlock {
    TMdbMemoryTableData* T;
    ~TUnlock() { T->UnlockTableData(); }
  } Unlock{this};
  TMdbTableData::SaveTableToStream(Stream, CompressionAlgorithm, CompressionMode, BlockSize, SkipCheckIsTableOpened);
  if (Stream == nullptr) throw EMdbException(10156, SNilPointer);
  if (!FFieldManager) throw EMdbException(10131, SNoFieldsSpecified);
  const Int64 HeaderPos = Stream->Position();
  THeader H{};
  std::memcpy(H.Signature, kMdbTableStreamSignature, 4);
  H.Version = kMdbTableStreamVersion;
  H.RecordCount = InternalGetRecordCount();
  H.BlockSize = BlockSize;
  H.Algorithm = static_cast<Byte>(CompressionAlgorithm);
  H.Mode = CompressionMode == 0 ? 1 : CompressionMode;
  const Int64 ObjectId = FDatabaseData ? FDatabaseData->ObjectIdSequence().FLastValue : 0;
  const TMdbTableState State = FTableState;
  WriteHeaderAndItems(Stream, H, FTableName, FCreationDate, State, FComment, ObjectId);
  std::exception_ptr Failure;
  try {
    if (CompressionAlgorithm == acaNone) {
      WriteBody(Stream);
    } else if (CompressionAlgorithm == acaZLIB && H.Mode <= 9) {
      TZLibBodyWriter Body(Stream, H.Mode, FTableName);
      WriteBody(&Body);
      Body.Finish();
      if (Body.TotalOut() > INT32_MAX) throw EMdbException(11725, SCompressFailed, {FTableName, int(H.Algorithm), int(H.Mode), Body.Size()});
      H.BlockSize = static_cast<std::int32_t>(Body.TotalOut());
      H.UncompressedSize = Body.Size();
    } else {
      auto Body = std::make_unique<TBodyBuffer>(BodySizeEstimate());
      WriteBody(Body.get());
      const Int64 n = Body->Size();
      if (n > kMdbMaxTableStreamBody) throw EMdbException(11725, SCompressFailed, {FTableName, int(H.Algorithm), int(H.Mode), n});
      TRuntimeBuffer Out;
      std::int32_t OutSize = 0;
      if (!CompressBuffer(CompressionAlgorithm, H.Mode, Body->Data(), static_cast<std::int32_t>(n), Out.P, OutSize))
        throw EMdbException(11725, SCompressFailed, {FTableName, int(H.Algorithm), int(H.Mode), n});
      Body.reset();
      WriteBufferToStream(Out.P, OutSize, Stream, 10156);
      H.BlockSize = OutSize;
      H.UncompressedSize = n;
    }
  } catch (...) {
    Failure = std::current_exception();
  }
  // The header goes again at its place, with the final sizes, also after a failure.
  const Int64 EndPos = Stream->Position();
  Stream->SetPosition(HeaderPos);
  const Int64 Back = Stream->Position();
  if (Back != HeaderPos) throw EMdbException(10155, SCannotSetPosition, {HeaderPos, EndPos, Back});
  WriteHeaderAndItems(Stream, H, FTableName, FCreationDate, State, FComment, ObjectId);
  Stream->SetPosition(EndPos);
  if (Failure) std::rethrow_exception(Failure);
}

// ---- the table stream: load ------------------------------------------------------------------------------

struct TMdbMemoryTableData::TSavedContent {
  std::unique_ptr<TMdbBaseSequenceManager> Sequences;
  std::unique_ptr<TMdbBaseFieldManager> Fields;
  std::unique_ptr<TMdbBaseConstraintManager> Constraints;
  std::unique_ptr<TMdbBaseIndexManager> Indexes;
  std::unique_ptr<TMdbBaseRecordManager> Records;
  std::unique_ptr<TMdbTableCache> Cache;
  std::unique_ptr<TMdbPageManager> Pages;
  String Name;
  String Comment;
  double CreationDate = 0;
  TMdbTableState State;
  bool BLOBFieldsPresent = false;
  std::int32_t LoadedRecordCount = 0;

  // Open indexes and the cache hold pages: they go before the page manager.
  void Free() noexcept {
    Indexes.reset();
    Cache.reset();
    Pages.reset();
    Records.reset();
    Constraints.reset();
    Fields.reset();
    Sequences.reset();
  }
  ~TSavedContent() { Free(); }
};

void TMdbMemoryTableData::ReadBody(TStream* Body, double Version, std::vector<std::uint32_t>& NewHandles) {
  CreateSequenceManager();
  LoadAutoincSequencesFromStream(Body);
  FFieldManager = std::make_unique<TMdbBaseFieldManager>(this, FSequenceManager.get());
  FFieldManager->EngineVersion = Version;
  FFieldManager->LoadFromStream(Body);
  TMdbFieldDefs& Fields = FFieldManager->FieldDefs();
  Fields.RecalcFieldOffsets();
  const std::int32_t RecSize = CalcRecordSize();
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    const TMdbFieldDef& F = *Fields.GetDef(i);
    if (F.IsAutoInc() && !FSequenceManager->SequenceDefs().GetDefByObjectId(F.FSequenceDefObjectId))
      throw EMdbException(10218, SInvalidBody, {Format(u"no sequence for field %s", {F.Name()})});
    if (F.IsBlob() && F.FBLOBBlockSize <= 0)
      throw EMdbException(10218, SInvalidBody, {Format(u"BLOB block size of field %s", {F.Name()})});
  }
  FConstraintManager = std::make_unique<TMdbBaseConstraintManager>(this);
  FConstraintManager->LoadFromStream(Body);
  NewPageStore();
  FIndexManager = std::make_unique<TMdbBaseIndexManager>(this);
  FIndexManager->LoadFromStream(Body);
  const auto Slots = BlobSlotsOf(Fields);
  FBLOBFieldsPresent = !Slots.empty();
  CreateRecordManager();
  if (FLoadedRecordCount == 0) return;

  TMdbMemoryRecordManager* M = MemoryRecordManager();
  M->LoadFromStream(Body);
  // The record block must hold exactly the records the header announces, none of them below the
  // first live slot.
  if (M->AllocatedRecordCount() == 0)
    throw EMdbException(10201, SInvalidBody, {Format(u"%d records, no record slots", {FLoadedRecordCount})});
  Int64 Live = 0;
  for (std::int32_t s = 0; s <= M->LastRecordID(); ++s) {
    if (M->IsSlotDeleted(s)) continue;
    if (s < M->FirstRecordID()) throw EMdbException(10201, SInvalidBody, {Format(u"live slot %d before the first", {s})});
    ++Live;
  }
  if (Live != FLoadedRecordCount)
    throw EMdbException(10201, SInvalidBody, {Format(u"%d records announced, %d in the record block", {FLoadedRecordCount, Live})});

  Int64 Pos = Body->Position();
  const Int64 End = Body->Size();
  // Bytes held in one block are taken where they stand; other streams are read piece by piece.
  const Byte* Bytes = ContiguousBytes(Body);
  auto Take = [&](Int64 n, int Code, Byte* Into) -> const Byte* {
    if (Bytes == nullptr) {
      ReadBufferFromStream(Into, n, Body, Code);
      Pos += n;
      return Into;
    }
    if (n > End - Pos) throw EMdbException(Code, SMdbCannotReadStream, {Pos, End, n, std::max<Int64>(End - Pos, 0)});
    const Byte* At = Bytes + Pos;
    Pos += n;
    return At;
  };
  if (!Slots.empty()) {
    FBlobs.Reserve(static_cast<std::size_t>(FLoadedRecordCount) * Slots.size());
    NewHandles.reserve(static_cast<std::size_t>(FLoadedRecordCount) * Slots.size());
  }
  TMdbMemBlock Scratch(RecSize, true);
  Byte* R = Scratch.Get();
  std::int32_t RecordPos = -1;
  for (std::int32_t k = 0; k < FLoadedRecordCount; ++k) {
    const Byte* Read = Take(RecSize, 10201, R);
    if (Slots.empty()) {
      M->AddLoadedRecord(Read, RecordPos);
      continue;
    }
    if (Read != R) std::memcpy(R, Read, static_cast<std::size_t>(RecSize));
    for (const auto& F : Slots) {
      if (IsRecordFieldNull(R, F.FieldNo)) continue;
      Int64 Stored;
      std::memcpy(&Stored, R + F.MemoryOffset, 8);
      // Items are read where they stand; the stored position must say the same.
      if (Stored != Pos)
        throw EMdbException(10202, SInvalidBody, {Format(u"BLOB position %d, item at %d", {Stored, Pos})});
      Byte ItemBuffer[kBlobItemSize];
      const Byte* Item = Take(kBlobItemSize, 10203, ItemBuffer);
      Int64 L;
      std::memcpy(&L, Item + kBlobBlockHeaderSize, 8);
      std::int32_t NumBlocks;
      Int64 Uncompressed;
      std::memcpy(&NumBlocks, Item, 4);
      std::memcpy(&Uncompressed, Item + 4, 8);
      if (L < 0 || L > End - Pos || NumBlocks < 0 || Uncompressed < 0 ||
          L + kBlobBlockHeaderSize > TMdbMemoryManager::kMaxBlockSize)
        throw EMdbException(10203, SInvalidBody, {Format(u"BLOB item of %d bytes, %d left", {L, End - Pos})});
      // Room first, growing geometrically, so that the push after the handle is taken cannot fail.
      if (NewHandles.size() == NewHandles.capacity()) NewHandles.reserve(std::max<std::size_t>(64, NewHandles.size() * 2));
      // The handle table owns the block from the start; a failed load frees the new handles.
      std::uint32_t Handle = 0;
      auto* Block = static_cast<Byte*>(FBlobs.Carve(L + kBlobBlockHeaderSize, Handle));
      NewHandles.push_back(Handle);
      std::memcpy(Block, Item, kBlobBlockHeaderSize);
      if (L > 0) {
        const Byte* Data = Take(L, 10204, Block + kBlobBlockHeaderSize);
        if (Data != Block + kBlobBlockHeaderSize) std::memcpy(Block + kBlobBlockHeaderSize, Data, static_cast<std::size_t>(L));
      }
      SetBlobHandle(R, F.MemoryOffset, Handle);
      SetBlobMarker(R, F.MemoryOffset, kBlobNotModified);
    }
    M->AddLoadedRecord(R, RecordPos);
  }
  // The stream stands after what was taken from its block.
  if (Bytes != nullptr) SetStreamPosition(Body, 10201, Pos);
}

void TMdbMemoryTableData::LoadTableFromStream(TMdbCursor* Cursor, TStream* Stream) {
  LockTableData(true);
  struct TUnlock {
    TMdbMemoryTableData* T;
    ~TUnlock() { T->UnlockTableData(); }
  } Unlock{this};
  if (Cursor == nullptr) throw EMdbException(11607, SNilPointer);
  TMdbTableData::LoadTableFromStream(Cursor, Stream);
  if (Stream == nullptr) throw EMdbException(10160, SNilPointer);

  THeader H;
  String Name, Comment;
  ReadHeaderAndName(Stream, H, Name);
  const double V = H.Version;
  double Created = 0;
  TMdbTableState State;
  State.LastModificationDate = Now();
  if (V >= 5.0) {
    Created = ReadValueFromStream<double>(Stream, 11980);
    ReadBufferFromStream(&State, sizeof(TMdbTableState), Stream, 11981);
    ReadWideStringFromStream(Comment, Stream, 11963);
  }
  const Int64 ObjectId = ReadValueFromStream<Int64>(Stream, 10417);
  if (H.RecordCount < 0 || H.RecordCount > INT32_MAX) BadHeader(Format(u"record count %d", {H.RecordCount}));
  if (H.Algorithm > acaPPM) BadHeader(Format(u"compression algorithm %d", {int(H.Algorithm)}));
  // Object ids are Int32: a larger last id would leave the database unable to give out another.
  if (ObjectId < 0 || ObjectId > INT32_MAX) BadHeader(Format(u"object id %d", {ObjectId}));

  std::unique_ptr<TStream> Decompressed;
  TStream* Body = Stream;
  if (H.Algorithm != acaNone) {
    const Int64 Left = std::max<Int64>(Stream->Size() - Stream->Position(), 0);
    if (H.BlockSize <= 0 || H.BlockSize > Left)
      BadHeader(Format(u"compressed size %d with %d bytes left", {H.BlockSize, Left}));
    // Deflate never expands more than about 1,032 to 1: a larger claim is a damaged header.
    const Int64 Limit = H.Algorithm == acaZLIB ? std::min<Int64>(kMdbMaxTableStreamBody, Int64(H.BlockSize) * 1040 + 1024)
                                               : kMdbMaxTableStreamBody;
    if (H.UncompressedSize <= 0 || H.UncompressedSize > Limit)
      BadHeader(Format(u"body size %d for %d compressed bytes", {H.UncompressedSize, H.BlockSize}));
    // A memory stream's bytes are decompressed where they stand; others are read into a block first.
    const Byte* Packed = nullptr;
    std::optional<TMdbMemBlock> In;
    const Int64 At = Stream->Position();
    if (auto* M = dynamic_cast<TMdbMemoryStream*>(Stream)) {
      Packed = static_cast<const Byte*>(M->Buffer()) + At;
    } else if (auto* P = dynamic_cast<TCustomMemoryStream*>(Stream)) {
      Packed = static_cast<const Byte*>(P->Memory()) + At;
    }
    if (Packed != nullptr) {
      SetStreamPosition(Stream, 10160, At + H.BlockSize);
    } else {
      In.emplace(H.BlockSize);
      ReadBufferFromStream(In->Get(), H.BlockSize, Stream, 10160);
      Packed = In->Get();
    }
    void* Out = nullptr;
    std::int32_t OutSize = static_cast<std::int32_t>(H.UncompressedSize);
    if (!DecompressBuffer(static_cast<TMdbCompressionAlgorithm>(H.Algorithm), Packed, H.BlockSize, Out, OutSize))
      throw EMdbException(11726, SDecompressFailed, {Name, int(H.Algorithm), String(u"damaged data")});
    auto S = std::make_unique<TBodyStream>(Out, OutSize);
    if (OutSize != H.UncompressedSize)
      throw EMdbException(11726, SDecompressFailed,
                          {Name, int(H.Algorithm), Format(u"%d bytes, header says %d", {OutSize, H.UncompressedSize})});
    Decompressed = std::move(S);
    Body = Decompressed.get();
  }

  // What the table holds is set aside and comes back untouched unless the whole body reads.
  TSavedContent Saved;
  Saved.Sequences = std::move(FSequenceManager);
  Saved.Fields = std::move(FFieldManager);
  Saved.Constraints = std::move(FConstraintManager);
  Saved.Indexes = std::move(FIndexManager);
  Saved.Records = std::move(FRecordManager);
  Saved.Cache = std::move(FCache);
  Saved.Pages = std::move(FPageManager);
  Saved.Name = FTableName;
  Saved.Comment = FComment;
  Saved.CreationDate = FCreationDate;
  Saved.State = FTableState;
  Saved.BLOBFieldsPresent = FBLOBFieldsPresent;
  Saved.LoadedRecordCount = FLoadedRecordCount;
  std::vector<std::uint32_t> NewHandles;
  try {
    SetTableName(Name);
    FComment = Comment;
    FCreationDate = Created;
    FTableState = State;
    FLoadedRecordCount = static_cast<std::int32_t>(H.RecordCount);
    ReadBody(Body, V, NewHandles);
  } catch (...) {
    for (std::uint32_t h : NewHandles) FBlobs.Free(h);
    FIndexManager.reset();
    FCache.reset();
    // The half-read pages go with their store, which was never in use.
    if (auto* M = dynamic_cast<TMdbMemoryPageManager*>(FPageManager.get())) M->Discard();
    FPageManager.reset();
    FRecordManager.reset();
    FConstraintManager.reset();
    FFieldManager.reset();
    FSequenceManager.reset();
    FSequenceManager = std::move(Saved.Sequences);
    FFieldManager = std::move(Saved.Fields);
    FConstraintManager = std::move(Saved.Constraints);
    FIndexManager = std::move(Saved.Indexes);
    FRecordManager = std::move(Saved.Records);
    FCache = std::move(Saved.Cache);
    FPageManager = std::move(Saved.Pages);
    SetTableName(Saved.Name);
    FComment = Saved.Comment;
    FCreationDate = Saved.CreationDate;
    FTableState = Saved.State;
    FBLOBFieldsPresent = Saved.BLOBFieldsPresent;
    FLoadedRecordCount = Saved.LoadedRecordCount;
    throw;
  }
  // The old records' BLOB blocks go with them.
  if (Saved.Records && Saved.Fields)
    FreeRecordBLOBs(static_cast<TMdbMemoryRecordManager*>(Saved.Records.get()), Saved.Fields->FieldDefs());
  Saved.Free();
  if (FDatabaseData && ObjectId > FDatabaseData->ObjectIdSequence().FLastValue)
    FDatabaseData->ObjectIdSequence().FLastValue = ObjectId;
  FMUDLoaded = false;
  Cursor->FComment = FComment;
}

// ---- name peek -------------------------------------------------------------------------------------------

String PeekTableNameFromStream(TStream* Stream) {
  if (Stream == nullptr) return String();
  Int64 Start = 0;
  try {
    Start = Stream->Position();
  } catch (...) {
    return String();
  }
  String Name;
  try {
    THeader H;
    ReadHeaderAndName(Stream, H, Name);
  } catch (...) {
    Name.clear();
  }
  try {
    Stream->SetPosition(Start);
  } catch (...) {
  }
  return Name;
}

// ---- structure changes under the table's own lock ------------------------------------------------------

template <class F>
void TMdbMemoryTableData::Guarded(bool CursorList, F&& Body) {
  LockTableData(true);
  if (CursorList) LockCursorList(true);
  auto Unlock = [&] {
    if (CursorList) UnlockCursorList();
    UnlockTableData();
  };
  try {
    Body();
    TMdbAdvancedTableData::ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    Unlock();
    throw;
  }
  Unlock();
}

void TMdbMemoryTableData::AddForeignKey(TMdbCursor* Cursor, TMdbConstraintDefForeignKey* ConstraintDef) {
  Guarded(false, [&] { TMdbTableData::AddForeignKey(Cursor, ConstraintDef); });
}

void TMdbMemoryTableData::DeleteConstraint(TMdbCursor* Cursor, const String& Name, bool Cascade, bool FKPartialDelete) {
  Guarded(false, [&] { TMdbTableData::DeleteConstraint(Cursor, Name, Cascade, FKPartialDelete); });
}

void TMdbMemoryTableData::AddIndex(TMdbIndexDef* IndexDef, TMdbCursor* Cursor) {
  Guarded(true, [&] { TMdbTableData::AddIndex(IndexDef, Cursor); });
}

void TMdbMemoryTableData::DeleteIndex(std::int32_t IndexID, TMdbCursor* Cursor) {
  Guarded(true, [&] { TMdbTableData::DeleteIndex(IndexID, Cursor); });
}

void TMdbMemoryTableData::DeleteAllIndexes(TMdbCursor* Cursor) {
  Guarded(false, [&] { TMdbTableData::DeleteAllIndexes(Cursor); });
}
