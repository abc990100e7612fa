#include "engines/mdb/storage/MdbTableData.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "engines/mdb/runtime/MdbBlobStream.h"
#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalBLOBStream.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbStorageConst.h"
#include "platform/rtl/DateTime.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SNotOverridden[] = u"The method '%s' not overrided in class '%s'";
constexpr char16_t SBlobBlockSizeZero[] = u"BLOB block size should be > 0 for field %s";
constexpr char16_t SNoFields[] = u"Error creating table - no fields were specified";
constexpr char16_t SCannotLoadTable[] = u"Cannot load table '%s'. Table is open by another dataset";
constexpr char16_t SCannotSaveTable[] = u"Cannot save table '%s'. Table is open by another dataset";
constexpr char16_t SStreamBlockSizeZero[] = u"Stream block size = 0 is not allowed";
constexpr char16_t SCannotReadStream[] =
    u"Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr char16_t SCannotLoadRecord[] = u"Error - cannot load record (PageNo = %d, PageItemNo = %d) in table '%s'";
constexpr char16_t SInvalidItemNumber[] = u"Invalid item number - ItemNo = %d, ItemCount = %d";
constexpr char16_t SCannotFindField[] = u"Cannot find field %s in table %s";
constexpr char16_t SCannotDeleteOpenTable[] = u"Cannot delete table '%s'. Table is open by another dataset";
constexpr char16_t SNoFieldsDefined[] = u"Cannot create table '%s'. No fields were defined";
constexpr char16_t SUnnamedField[] = u"Cannot create table '%s'. Unnamed fields are not allowed";
constexpr char16_t SDuplicateField[] = u"Cannot create table '%s'. Duplicate field name '%s'";
constexpr char16_t SUnnamedIndex[] = u"Cannot create table '%s'. Unnamed indexes are not allowed";
constexpr char16_t SIndexWithoutFields[] = u"Cannot create table '%s'. No fields defined in index '%s'";
constexpr char16_t SDuplicateIndex[] = u"Cannot create table '%s'. Duplicate index name '%s'";
constexpr char16_t SMultiplePrimary[] =
    u"Cannot create table '%s'. Error in indexes definition - multiple primary indexes are not allowed";
constexpr char16_t SDuplicateConstraint[] = u"Cannot create table '%s'. Duplicate constraint name '%s'";
constexpr char16_t SViewCheckOption[] =
    u"Error - cannot update record in table '%s' from view '%s' with CHECK OPTION. Record with such field values does "
    u"not belong to this view.";

constexpr std::int32_t kBlobBlockHeaderBytes = 12;

// The time a state change is stamped with. Reading the wall clock (with the local time zone) costs
// more than a whole post, so it is read at most every 50 ms per thread and advanced in between by the
// coarse monotonic clock.
TDateTime StateChangeTime() {
  thread_local TDateTime Base = 0;
  thread_local std::int64_t BaseNs = INT64_MIN;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  const std::int64_t Ns = std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  if (BaseNs == INT64_MIN || Ns < BaseNs || Ns - BaseNs > 50000000) {
    Base = Now();
    BaseNs = Ns;
    return Base;
  }
  return Base + double(Ns - BaseNs) / 86400e9;
}

}  // namespace

// ---- construction ----------------------------------------------------------------------------------------

TMdbTableData::TMdbTableData(TMdbDatabaseData* aDatabaseData)
    : FThreadSync(std::make_unique<TMdbReadWriteThreadSyncByCriticalSections>(this, "Main")),
      FDatabaseData(aDatabaseData),
      FCursorListThreadSync(std::make_unique<TMdbReadWriteThreadSyncByCriticalSections>(this, "CursorList")) {
  FTableState.LastModificationDate = Now();
  if (aDatabaseData) {
    FInMemory = aDatabaseData->FInMemory;
    FTemporary = aDatabaseData->FTemporary;
  }
}

TMdbTableData::~TMdbTableData() {
  FRecordBufferCache.reset();
  FFindRecordCache.reset();
  FIndexManager.reset();
  FFieldManager.reset();
  FConstraintManager.reset();
  FRecordManager.reset();
  FSequenceManager.reset();
  FCache.reset();
  FBlobs.Clear();
  if (FDatabaseData) FDatabaseData->RemoveTableData(this);
}

void TMdbTableData::NotOverridden(const char16_t* Method) const {
  throw EMdbException(30339, SNotOverridden, {String(Method), ClassName()});
}

std::int32_t TMdbTableData::SessionIDOf(const TMdbCursor* Cursor) const {
  return Cursor->FSession ? Cursor->FSession->SessionID : -1;
}

TMdbFieldDefs& TMdbTableData::FieldDefs() const {
  if (!FFieldManager) throw EMdbException(10015, SNilPointer);
  return FFieldManager->FieldDefs();
}

// ---- slots a descendant provides ---------------------------------------------------------------------------

TMdbPageManager* TMdbTableData::GetPageManager() { return nullptr; }
void TMdbTableData::CreateRecordManager() { NotOverridden(u"CreateRecordManager"); }
void TMdbTableData::CreateTable(TMdbCursor*, TMdbFieldDefs&, TMdbIndexDefs&, TMdbConstraintDefs&) {
  NotOverridden(u"CreateTable");
}
Int64 TMdbTableData::RecordIDToInt64(const TMdbRecordID&) { NotOverridden(u"RecordIDToInt64"); }
TMdbRecordID TMdbTableData::Int64ToRecordID(Int64) { NotOverridden(u"Int64ToRecordID"); }
std::int32_t TMdbTableData::CompareRecordID(const TMdbRecordID&, const TMdbRecordID&) { NotOverridden(u"CompareRecordID"); }
bool TMdbTableData::InsertRecord(TMdbCursor*&) { NotOverridden(u"InsertRecord"); }
bool TMdbTableData::DeleteRecord(TMdbCursor*) { NotOverridden(u"DeleteRecord"); }
bool TMdbTableData::UpdateRecord(TMdbCursor*) { NotOverridden(u"UpdateRecord"); }
void TMdbTableData::InternalSetRecNo(TMdbCursor*, Int64) { NotOverridden(u"InternalSetRecNo"); }
Int64 TMdbTableData::InternalGetRecNo(TMdbCursor*) { NotOverridden(u"InternalGetRecNo"); }

// ---- state -----------------------------------------------------------------------------------------------

void TMdbTableData::ChangeTableState(TMdbLastTableOperation Operation) {
  FTableState.TableState = FTableState.TableState == UINT32_MAX ? 0 : FTableState.TableState + 1;
  FTableState.LastModificationDate = StateChangeTime();
  FTableState.LastTableOperation = Operation;
}

void TMdbTableData::ChangeTableMetaDataState(TMdbLastTableOperation Operation) {
  FTableState.TableMetaDataState = FTableState.TableMetaDataState == 255 ? 0 : FTableState.TableMetaDataState + 1;
  FTableState.LastModificationDate = StateChangeTime();
  FTableState.LastTableOperation = Operation;
}

void TMdbTableData::SetTableFailureFlag(bool Value) {
  if (Value) FTableState.TableFailureFlags |= 1;
  else FTableState.TableFailureFlags &= static_cast<std::uint16_t>(~1u);
}

void TMdbTableData::LockTableData(bool Write) {
  if (Write) FThreadSync->WaitAndLockForWrite();
  else FThreadSync->WaitAndLockForRead();
}
void TMdbTableData::UnlockTableData() { FThreadSync->Unlock(); }
void TMdbTableData::LockCursorList(bool Write) {
  if (Write) FCursorListThreadSync->WaitAndLockForWrite();
  else FCursorListThreadSync->WaitAndLockForRead();
}
void TMdbTableData::UnlockCursorList() { FCursorListThreadSync->Unlock(); }

// ---- building blocks -------------------------------------------------------------------------------------

void TMdbTableData::SetTableName(const String& Name) {
  FTableName = Name;
  FTableNameCRC = UpperNameCRC(Name);
}

void TMdbTableData::AssignNewObjectIDs(TMdbFieldDefs& Defs) {
  for (std::int32_t i = 0; i < Defs.Count(); ++i) Defs.GetDef(i)->SetObjectID(FDatabaseData->GetNewObjectId());
}
void TMdbTableData::AssignNewObjectIDs(TMdbIndexDefs& Defs) {
  for (std::int32_t i = 0; i < Defs.Count(); ++i) Defs.GetDef(i)->SetObjectID(FDatabaseData->GetNewObjectId());
}
void TMdbTableData::AssignNewObjectIDs(TMdbConstraintDefs& Defs) {
  for (std::int32_t i = 0; i < Defs.Count(); ++i) Defs.GetDef(i)->SetObjectID(FDatabaseData->GetNewObjectId());
}

void TMdbTableData::CreateFieldManager(TMdbFieldDefs& FieldDefs) {
  FFieldManager.reset();
  auto M = std::make_unique<TMdbBaseFieldManager>(this, FSequenceManager.get());
  AssignNewObjectIDs(FieldDefs);
  M->FieldDefs().Assign(FieldDefs);
  M->FieldDefs().RecalcFieldOffsets();
  FFieldManager = std::move(M);
  FBLOBFieldsPresent = false;
  for (std::int32_t i = 0; i < FFieldManager->FieldDefs().Count(); ++i) {
    const TMdbFieldDef& F = *FFieldManager->FieldDefs().GetDef(i);
    if (!F.IsBlob()) continue;
    FBLOBFieldsPresent = true;
    if (F.FBLOBBlockSize == 0) throw EMdbException(10421, SBlobBlockSizeZero, {F.Name()});
  }
}

void TMdbTableData::CreateConstraintManager(TMdbConstraintDefs& ConstraintDefs) {
  FConstraintManager.reset();
  AssignNewObjectIDs(ConstraintDefs);
  FConstraintManager = std::make_unique<TMdbBaseConstraintManager>(this);
  FConstraintManager->ConstraintDefs().Assign(ConstraintDefs);
  FConstraintManager->LinkObjectIds();
  FConstraintManager->FillConstraintAutoNames();
}

void TMdbTableData::CreateIndexManager(TMdbIndexDefs& IndexDefs) {
  FIndexManager.reset();
  AssignNewObjectIDs(IndexDefs);
  FIndexManager = std::make_unique<TMdbBaseIndexManager>(this);
  FIndexManager->CreateIndexDefs(IndexDefs);
}

void TMdbTableData::CreateSequenceManager() {
  FSequenceManager.reset();
  FSequenceManager = std::make_unique<TMdbBaseSequenceManager>(FDatabaseData);
}

std::int32_t TMdbTableData::CalcRecordSize() const {
  if (!FFieldManager || FFieldManager->FieldDefs().Count() == 0) throw EMdbException(10131, SNoFields);
  return FFieldManager->FieldDefs().RecordSize();
}

void TMdbTableData::InitCursorRecordLayout(TMdbCursor* Cursor) {
  Cursor->FFieldValuesOffset = FieldDefs().Count() > 0 ? FieldDefs().GetDef(0)->FMemoryOffset : 0;
  Cursor->FRecordSize = CalcRecordSize();
}

void TMdbTableData::CreateAutoincSequences() {
  TMdbFieldDefs& Fields = FieldDefs();
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    TMdbFieldDef& F = *Fields.GetDef(i);
    if (!F.IsAutoInc()) continue;
    const String Name = FSequenceManager->GenerateSequenceName(true, F.Name(), FTableName);
    TMdbSequenceDef* S = FSequenceManager->SequenceDefs().AddCreated();
    S->SetName(Name);
    S->SetObjectID(FDatabaseData->GetNewObjectId());
    S->FDataType = F.FBaseFieldType;
    S->FMinValue = F.FAutoincMinValue;
    S->FMaxValue = F.FAutoincMaxValue;
    S->FLastValue = F.FAutoincInitialValue;
    S->FIncrement = F.FAutoincIncrement;
    S->FCycled = F.FAutoincCycled != 0;
    F.FSequenceDefObjectId = S->ObjectID();
  }
}

void TMdbTableData::SaveAutoincSequencesToStream(TStream* Stream) {
  // One definition per autoincrement field, each sequence once.
  std::vector<const TMdbSequenceDef*> Written;
  TMdbFieldDefs& Fields = FieldDefs();
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    const TMdbFieldDef& F = *Fields.GetDef(i);
    if (!F.IsAutoInc()) continue;
    const TMdbSequenceDef* S = FSequenceManager->SequenceDefs().GetDefByObjectId(F.FSequenceDefObjectId);
    if (S && std::find(Written.begin(), Written.end(), S) == Written.end()) Written.push_back(S);
  }
  const auto N = static_cast<std::int32_t>(Written.size());
  WriteBufferToStream(&N, 4, Stream, 10205);
  for (const auto* S : Written) S->SaveToStream(Stream);
}

void TMdbTableData::LoadAutoincSequencesFromStream(TStream* Stream) {
  std::int32_t N = 0;
  ReadBufferFromStream(&N, 4, Stream, 10218);
  // A sequence definition takes at least its head (8 bytes) and 34 bytes of fields.
  if (N < 0 || Int64(N) * 42 > Stream->Size() - Stream->Position())
    throw EMdbException(10218, SMdbInvalidRecordBlock, {Format(u"sequence count %d", {N})});
  TMdbSequenceDefs Loaded;
  for (std::int32_t i = 0; i < N; ++i) Loaded.AddCreated()->LoadFromStream(Stream);
  TMdbSequenceDefs& Defs = FSequenceManager->SequenceDefs();
  Defs.Clear();
  for (std::int32_t i = 0; i < Loaded.Count(); ++i) Defs.AddCreated()->Assign(Loaded.GetDef(i));
}

// ---- opening and closing ---------------------------------------------------------------------------------

void TMdbTableData::LoadTableFromStream(TMdbCursor*, TStream*) {
  if (!FCursorList.empty()) throw EMdbException(10152, SCannotLoadTable, {FTableName});
}

void TMdbTableData::SaveTableToStream(TStream*, TMdbCompressionAlgorithm, Byte, std::int32_t,
                                      bool SkipCheckIsTableOpened) {
  if (!SkipCheckIsTableOpened && !FCursorList.empty()) throw EMdbException(10153, SCannotSaveTable, {FTableName});
}

void TMdbTableData::OpenTable(TMdbCursor* Cursor) {
  FCursorList.push_back(Cursor);
  if (!FRecordBufferCache) FRecordBufferCache = std::make_unique<TMdbRecordBufferCache>(CalcRecordSize());
  if (!FFindRecordCache) FFindRecordCache = std::make_unique<TMdbFindRecordCache>(this);
  Cursor->FIsOpen = true;
  Cursor->UpdateTableDefinitions();
  Cursor->FComment = FComment;
}

void TMdbTableData::CloseTable(TMdbCursor* Cursor) {
  std::erase(FCursorList, Cursor);
  if (Cursor->FSession == nullptr) throw EMdbException(11631, SNilPointer);
  if (FIndexManager && FIndexManager->IndexDefs().Count() > 0) {
    bool SessionStillOpen = false;
    FExclusive = false;
    for (const TMdbCursor* C : FCursorList) {
      if (C->FSession == nullptr) continue;
      if (C->FSession == Cursor->FSession) SessionStillOpen = true;
      else FExclusive |= C->FExclusive;
    }
    if (!SessionStillOpen) FIndexManager->ClearIndexCache(Cursor->FSession->SessionID);
  }
  if (FCursorList.empty()) {
    FRecordBufferCache.reset();
    FFindRecordCache.reset();
  }
}

// ---- record access ---------------------------------------------------------------------------------------

Int64 TMdbTableData::InternalGetRecordCount() { return FRecordManager ? FRecordManager->GetRecordCount() : 0; }

void TMdbTableData::InternalGetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& NavigationInfo) {
  if (!FRecordManager) throw EMdbException(10015, SNilPointer);
  if (!FIndexManager) throw EMdbException(10380, SNilPointer);
  if (NavigationInfo.RecordBuffer == nullptr) throw EMdbException(10016, SNilPointer);
  NavigationInfo.SessionID = SessionID;
  if (NavigationInfo.IndexID != -1 && NavigationInfo.GetRecordMode != grmCurrent) {
    FIndexManager->GetRecordBuffer(SessionID, NavigationInfo);
  } else {
    FRecordManager->Repair = FRepair;
    FRecordManager->GetRecordBuffer(NavigationInfo);
  }
}

TMdbGetRecordResult TMdbTableData::GetRecordBuffer(TMdbCursor* Cursor, TMdbGetRecordMode GetRecordMode) {
  if (InternalGetRecordCount() == 0) return grrEOF;
  try {
    TMdbNavigationInfo N;
    N.RecordBuffer = Cursor->FCurrentRecordBuffer;
    N.RecordID = Cursor->CurrentRecordID;
    N.FirstPosition = Cursor->FirstPosition;
    N.LastPosition = Cursor->LastPosition;
    N.GetRecordMode = GetRecordMode;
    if (Cursor->IsViewRestricted()) {
      // A change of filter or range deactivates the bitmap; the first step after it builds it again.
      if (!Cursor->FRecordBitmap || !Cursor->FRecordBitmap->Active()) BuildRecordBitmap(Cursor);
      if (!Cursor->FRecordBitmap->Active()) return grrEOF;
      Cursor->FRecordBitmap->GetRecord(N);
      if (N.GetRecordResult == grrOK) {
        N.GetRecordMode = grmCurrent;
        N.FirstPosition = N.LastPosition = false;
        N.SessionID = SessionIDOf(Cursor);
        FRecordManager->GetRecordBuffer(N);
      }
    } else {
      N.IndexID = Cursor->FIndexID;
      InternalGetRecordBuffer(SessionIDOf(Cursor), N);
    }
    Cursor->CurrentRecordID = N.RecordID;
    Cursor->FirstPosition = N.FirstPosition;
    Cursor->LastPosition = N.LastPosition;
    return N.GetRecordResult;
  } catch (const Exception&) {
    return grrError;
  }
}

bool TMdbTableData::IsRecordExists(TMdbCursor* Cursor) {
  return FRecordManager && FRecordManager->IsRecordExists(Cursor->CurrentRecordID, SessionIDOf(Cursor));
}

bool TMdbTableData::Locate(TMdbCursor* Cursor, TMdbBaseExpression* SearchExpression) {
  if (SearchExpression == nullptr) throw EMdbException(11375, SNilPointer);
  void* Pos = Cursor->SavePosition();
  bool Found = false;
  try {
    TMdbRecordID Result;
    Found = FindRecord(Cursor, SearchExpression, nullptr, true, true, Result, nullptr, false, false);
    if (Found) {
      Cursor->FirstPosition = Cursor->LastPosition = false;
      Cursor->CurrentRecordID = Result;
      GetRecordBuffer(Cursor, grmCurrent);
    } else {
      Cursor->RestorePosition(Pos);
    }
  } catch (...) {
    Cursor->FreePosition(Pos);
    throw;
  }
  Cursor->FreePosition(Pos);
  return Found;
}

bool TMdbTableData::FindKey(TMdbCursor* Cursor, TMdbSearchCondition SearchCondition) {
  void* Pos = Cursor->SavePosition();
  bool Found = false;
  try {
    TMdbScanSearchCondition C;
    C.Condition = SearchCondition;
    C.KeyFieldCount = Cursor->FKeyFieldCount;
    C.KeyRecordBuffer = Cursor->FKeyBuffer;
    C.IndexID = Cursor->FIndexID;
    TMdbRecordID Result;
    Found = FindRecord(Cursor, nullptr, &C, true, true, Result, nullptr, false, false);
    if (Found) {
      Cursor->FirstPosition = Cursor->LastPosition = false;
      Cursor->CurrentRecordID = Result;
    } else {
      Cursor->RestorePosition(Pos);
    }
  } catch (...) {
    Cursor->FreePosition(Pos);
    throw;
  }
  Cursor->FreePosition(Pos);
  return Found;
}

Int64 TMdbTableData::GetRecordCount(TMdbCursor* Cursor, bool) {
  if (!Cursor->IsViewRestricted()) return InternalGetRecordCount();
  if (!Cursor->FRecordBitmap || !Cursor->FRecordBitmap->Active()) BuildRecordBitmap(Cursor);
  return Cursor->FRecordBitmap->Active() ? Cursor->FRecordBitmap->GetRecordCount() : 0;
}

void TMdbTableData::SetRecNo(TMdbCursor* Cursor, Int64 RecNo) {
  const Int64 Count = GetRecordCount(Cursor, true);
  if (Count <= 0) return;
  if (RecNo >= Count) RecNo = Count;
  // Below 1 nothing moves: no record has such a number.
  if (RecNo < 1) return;
  Cursor->FirstPosition = Cursor->LastPosition = false;
  if (Cursor->IsViewRestricted()) {
    Cursor->CurrentRecordID = Cursor->FRecordBitmap->GetRecordIDByRecNo(RecNo);
  } else if (Cursor->FIndexID != -1) {
    Cursor->CurrentRecordID =
        FIndexManager->OpenIndex(Cursor->FIndexID)->GetRecordIDByRecNo(SessionIDOf(Cursor), RecNo, Cursor->FRecordBitmap.get());
  } else {
    InternalSetRecNo(Cursor, RecNo);
  }
}

Int64 TMdbTableData::GetRecNo(TMdbCursor* Cursor) {
  if (Cursor->FirstPosition || Cursor->LastPosition || GetRecordCount(Cursor, true) == 0) return -1;
  if (Cursor->IsViewRestricted()) return Cursor->FRecordBitmap->GetRecNoByRecordID(Cursor->CurrentRecordID);
  if (Cursor->FIndexID != -1) {
    TMdbMemBlock Scratch(CalcRecordSize(), true);
    if (!ReadCurrentRecord(Cursor, Scratch.Get())) return -1;
    return FIndexManager->OpenIndex(Cursor->FIndexID)
        ->GetRecNoByRecordID(SessionIDOf(Cursor), Cursor->CurrentRecordID, Scratch.Get(), Cursor->FRecordBitmap.get());
  }
  return InternalGetRecNo(Cursor);
}

bool TMdbTableData::ReadCurrentRecord(TMdbCursor* Cursor, Byte* Buffer) {
  try {
    TMdbNavigationInfo N;
    N.GetRecordMode = grmCurrent;
    N.RecordID = Cursor->CurrentRecordID;
    N.RecordBuffer = Buffer;
    N.IndexID = -1;
    InternalGetRecordBuffer(SessionIDOf(Cursor), N);
    return N.GetRecordResult == grrOK;
  } catch (const Exception&) {
    return false;
  }
}

// ---- BLOB fields -----------------------------------------------------------------------------------------

bool TMdbTableData::IsBLOBModified(const Byte* RecordBuffer, const TMdbFieldDef& FieldDef) const {
  return GetBlobMarker(RecordBuffer, FieldDef.FMemoryOffset) == kBlobModified;
}

void TMdbTableData::SetBLOBModified(bool Modified, Byte* RecordBuffer, const TMdbFieldDef& FieldDef) {
  SetBlobMarker(RecordBuffer, FieldDef.FMemoryOffset, Modified ? kBlobModified : kBlobNotModified);
}

TMdbStream* TMdbTableData::InternalCreateBlobStream(TMdbCursor* Cursor, bool, std::int32_t FieldNo,
                                                    TMdbBLOBOpenMode OpenMode) {
  auto S = std::make_unique<TMdbLocalBLOBStream>(Cursor);
  OpenBlobStream(Cursor, FieldNo, OpenMode, *S);
  return S.release();
}

void TMdbTableData::OpenBlobStream(TMdbCursor* Cursor, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode,
                                   TMdbLocalBLOBStream& Stream) {
  const TMdbFieldDef& F = *FieldDefs().GetDef(FieldNo);
  if (F.FBLOBBlockSize == 0) throw EMdbException(10420, SStreamBlockSizeZero);
  TMdbBLOBDescriptor D;
  D.BlockSize = F.FBLOBBlockSize;
  D.StartPosition = 0;
  D.CompressionAlgorithm = F.FBLOBCompressionAlgorithm;
  D.CompressionMode = F.FBLOBCompressionMode;
  const Byte* Record = Cursor->FCurrentRecordBuffer;
  if (OpenMode == bomWrite || Record == nullptr || IsRecordFieldNull(Record, FieldNo)) {
    D.NumBlocks = 0;
    D.UncompressedSize = 0;
    Stream.Open(OpenMode, FieldNo, D, nullptr, 0);
    return;
  }
  const std::uint32_t Handle = GetBlobHandle(Record, F.FMemoryOffset);
  const auto* Block = static_cast<const Byte*>(FBlobs.Get(Handle));
  if (Block == nullptr) throw EMdbException(10112, SNilPointer);
  std::int32_t NumBlocks;
  std::memcpy(&NumBlocks, Block, 4);
  std::memcpy(&D.UncompressedSize, Block + 4, 8);
  D.NumBlocks = NumBlocks;
  const Int64 Length = FBlobs.Size(Handle);
  Stream.Open(OpenMode, FieldNo, D, Block + kBlobBlockHeaderBytes, std::max<Int64>(Length - kBlobBlockHeaderBytes, 0));
}

void TMdbTableData::WriteBLOBFieldToRecordBuffer(TMdbCursor* Cursor, std::int32_t FieldNo,
                                                 TMdbLocalBLOBStream* BLOBStream) {
  if (!BLOBStream->Modified()) return;
  const TMdbFieldDef& F = *FieldDefs().GetDef(FieldNo);
  Byte* Record = Cursor->FCurrentRecordBuffer;
  TMdbCompressedBLOBStream* C = BLOBStream->TemporaryStream();
  if (C->Size() == 0) {
    // The stored value's block stays with the stored record; only this edit's own block is freed.
    if (IsBLOBModified(Record, F)) ClearBLOBFieldInRecordBuffer(Record, FieldNo);
    SetBlobHandle(Record, F.FMemoryOffset, 0);
    SetRecordFieldNull(Record, FieldNo, true);
    return;
  }
  TStream* Data = C->CompressedStream();
  const Int64 n = Data->Size();
  // Carved from the table's slabs like a loaded value: a posted row costs no allocation of its own.
  std::uint32_t Handle = 0;
  auto* B = static_cast<Byte*>(FBlobs.Carve(n + kBlobBlockHeaderBytes, Handle));
  const auto NumBlocks = static_cast<std::int32_t>(C->BLOBDescriptor().NumBlocks);
  const Int64 Uncompressed = C->Size();
  std::memcpy(B, &NumBlocks, 4);
  std::memcpy(B + 4, &Uncompressed, 8);
  Data->SetPosition(0);
  const Int64 Read = Data->Read(B + kBlobBlockHeaderBytes, n);
  if (Read != n) {
    FBlobs.Free(Handle);
    throw EMdbException(10117, SCannotReadStream, {Int64(0), n, n, Read});
  }
  // Only now, with the new block complete, the earlier edit's block goes.
  if (IsBLOBModified(Record, F) && !IsRecordFieldNull(Record, FieldNo)) ClearBLOBFieldInRecordBuffer(Record, FieldNo);
  SetBlobHandle(Record, F.FMemoryOffset, Handle);
  SetBLOBModified(true, Record, F);
  SetRecordFieldNull(Record, FieldNo, false);
}

void TMdbTableData::ClearBLOBFieldInRecordBuffer(Byte* RecordBuffer, std::int32_t FieldNo) {
  if (!FBLOBFieldsPresent || IsRecordFieldNull(RecordBuffer, FieldNo)) return;
  const TMdbFieldDef& F = *FieldDefs().GetDef(FieldNo);
  const std::uint32_t Handle = GetBlobHandle(RecordBuffer, F.FMemoryOffset);
  if (FBlobs.Get(Handle) == nullptr) throw EMdbException(10118, SNilPointer);
  FBlobs.Free(Handle);
  SetRecordFieldNull(RecordBuffer, FieldNo, true);
}

void TMdbTableData::ClearBLOBFieldsInRecordBuffer(Byte* RecordBuffer) {
  if (!FBLOBFieldsPresent) return;
  TMdbFieldDefs& Fields = FieldDefs();
  for (std::int32_t i = 0; i < Fields.Count(); ++i)
    if (Fields.GetDef(i)->IsBlob()) ClearBLOBFieldInRecordBuffer(RecordBuffer, i);
}

void TMdbTableData::ClearTemporaryBLOBValues(TMdbCursor* Cursor) {
  if (!FBLOBFieldsPresent) return;
  TMdbFieldDefs& Fields = FieldDefs();
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    const TMdbFieldDef& F = *Fields.GetDef(i);
    if (F.IsBlob() && IsBLOBModified(Cursor->FCurrentRecordBuffer, F))
      ClearBLOBFieldInRecordBuffer(Cursor->FCurrentRecordBuffer, i);
  }
}

void TMdbTableData::SetBLOBValuesModified(bool Modified, TMdbCursor* Cursor) {
  if (!FBLOBFieldsPresent) return;
  TMdbFieldDefs& Fields = FieldDefs();
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    const TMdbFieldDef& F = *Fields.GetDef(i);
    if (F.IsBlob() && !IsRecordFieldNull(Cursor->FCurrentRecordBuffer, i))
      SetBLOBModified(Modified, Cursor->FCurrentRecordBuffer, F);
  }
}

void TMdbTableData::CancelRecord(TMdbCursor* Cursor, bool) { ClearTemporaryBLOBValues(Cursor); }

void TMdbTableData::CheckConstraints(TMdbCursor* Cursor, std::int32_t SessionID, const Byte* NewRecordBuffer,
                                     const Byte* OldRecordBuffer, bool ToInsert, const TMdbRecordID& CurrentRecordID,
                                     bool SkipFKCheck) {
  if (!FConstraintManager || FConstraintManager->FEmpty) return;
  FConstraintManager->CheckConstraints(Cursor, SessionID, NewRecordBuffer, OldRecordBuffer, ToInsert, CurrentRecordID,
                                       SkipFKCheck);
}

bool TMdbTableData::IsUniqueConstraintFailed(std::int32_t SessionID, std::int32_t IndexID, const Byte* NewRecordBuffer,
                                             const Byte* OldRecordBuffer, bool ToInsert, const TMdbRecordID&) {
  if (InternalGetRecordCount() == 0) return false;
  TMdbIndex* I = FIndexManager->OpenIndex(IndexID);
  return ToInsert ? !I->CanInsertRecord(SessionID, NewRecordBuffer)
                  : !I->CanUpdateRecord(SessionID, OldRecordBuffer, NewRecordBuffer);
}

// ---- set-oriented changes --------------------------------------------------------------------------------

void TMdbTableData::FillVisibleNavigation(TMdbCursor* Cursor, bool Visible, TMdbNavigationInfo& N) {
  N.IndexID = -1;
  N.RecordBuffer = Cursor->FCurrentRecordBuffer;
  N.LastPosition = false;
  N.GetRecordMode = Visible ? grmCurrent : grmNext;
  N.FirstPosition = !Visible;
}

void TMdbTableData::FetchVisibleRecord(TMdbCursor* Cursor, bool Visible, Int64 RecNo, TMdbNavigationInfo& N, int Code) {
  if (Visible) N.RecordID = Cursor->FRecordBitmap->GetRecordIDByRecNo(RecNo);
  InternalGetRecordBuffer(SessionIDOf(Cursor), N);
  Cursor->CurrentRecordID = N.RecordID;
  if (N.GetRecordResult != grrOK)
    throw EMdbException(Code, SCannotLoadRecord, {N.RecordID.PageNo, int(N.RecordID.PageItemNo), FTableName});
  // Physical order goes on from this record: the next step is relative to it.
  N.FirstPosition = false;
}

void TMdbTableData::DeleteVisibleRecords(TMdbCursor* Cursor) {
  Cursor->FirstPosition = Cursor->LastPosition = false;
  const bool Visible = Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active();
  const Int64 N = Visible ? Cursor->FRecordBitmap->GetRecordCount() : InternalGetRecordCount();
  TMdbNavigationInfo Nav;
  FillVisibleNavigation(Cursor, Visible, Nav);
  const bool Actions = FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsDeleteExists();
  for (Int64 RecNo = 1; RecNo <= N; ++RecNo) {
    FetchVisibleRecord(Cursor, Visible, RecNo, Nav, 11466);
    if (Actions) ExecuteForeignKeyActions(Cursor, false);
    if (FIndexManager && FIndexManager->IndexDefs().Count() > 0) FIndexManager->DeleteRecord(Cursor);
    // The record goes first; its BLOB blocks only once it is gone, so a refused delete loses nothing.
    TMdbRecordID Id = Cursor->CurrentRecordID;
    SetRecordChanging(Cursor, false, Cursor->FCurrentRecordBuffer);
    if (!FRecordManager->DeleteRecord(Id, SessionIDOf(Cursor)))
      throw EMdbException(11466, SCannotLoadRecord, {Id.PageNo, int(Id.PageItemNo), FTableName});
    ClearBLOBFieldsInRecordBuffer(Cursor->FCurrentRecordBuffer);
  }
}

void TMdbTableData::UpdateVisibleRecords(TMdbCursor* Cursor, TMdbWideStringList* FieldNames,
                                         const std::vector<TMdbVariant*>& Values, bool SkipFKCheck) {
  const auto nValues = static_cast<std::int32_t>(Values.size());
  const std::int32_t nNames = FieldNames ? FieldNames->Count() : 0;
  if (nValues < 1 || nValues != nNames) throw EMdbException(11448, SInvalidItemNumber, {nValues, nNames});
  // The columns are looked up once, before any record changes.
  std::vector<std::int32_t> Columns;
  for (std::int32_t i = 0; i < nNames; ++i) {
    const std::int32_t n = Cursor->FVisibleFieldDefs.GetDefNumberByName(FieldNames->Strings(i));
    if (n < 0) throw EMdbException(11447, SCannotFindField, {FieldNames->Strings(i), FTableName});
    Columns.push_back(n);
  }
  Cursor->FirstPosition = Cursor->LastPosition = false;
  const bool Visible = Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active();
  const Int64 N = Visible ? Cursor->FRecordBitmap->GetRecordCount() : InternalGetRecordCount();
  TMdbNavigationInfo Nav;
  FillVisibleNavigation(Cursor, Visible, Nav);
  Byte* Edit = static_cast<Byte*>(MdbMemoryManager->AllocMem(Cursor->FRecordBufferSize));
  Cursor->FEditRecordBuffer = Edit;
  auto Release = [&] {
    Cursor->FEditRecordBuffer = nullptr;
    Cursor->FreeRecordBuffer(Edit);
  };
  const bool Actions = FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsUpdateExists();
  try {
    for (Int64 RecNo = 1; RecNo <= N; ++RecNo) {
      FetchVisibleRecord(Cursor, Visible, RecNo, Nav, 11449);
      std::memcpy(Edit, Cursor->FCurrentRecordBuffer, static_cast<std::size_t>(Cursor->FRecordBufferSize));
      for (std::int32_t i = 0; i < nValues; ++i) Cursor->SetFieldValue(Values[i], Columns[i], false);
      CheckConstraints(Cursor, SessionIDOf(Cursor), Cursor->FCurrentRecordBuffer, Edit, false, Cursor->CurrentRecordID,
                       SkipFKCheck);
      if (Cursor->FIsViewWithCheckOption && !IsRecordVisible(Cursor))
        throw EMdbException(12608, SViewCheckOption, {FTableName, Cursor->FViewName});
      if (Actions) ExecuteForeignKeyActions(Cursor, true);
      if (FIndexManager && FIndexManager->IndexDefs().Count() > 0) FIndexManager->UpdateRecord(Cursor);
      SetRecordChanging(Cursor, true, Edit);
      if (!FRecordManager->UpdateRecord(Cursor->FCurrentRecordBuffer, Cursor->CurrentRecordID, SessionIDOf(Cursor)))
        throw EMdbException(11449, SCannotLoadRecord,
                            {Cursor->CurrentRecordID.PageNo, int(Cursor->CurrentRecordID.PageItemNo), FTableName});
    }
  } catch (...) {
    Release();
    throw;
  }
  Release();
}

// ---- record bitmap upkeep --------------------------------------------------------------------------------

void TMdbTableData::ShowRecord(TMdbCursor* Cursor) {
  const auto Size = static_cast<std::size_t>(CalcRecordSize());
  std::memcpy(Cursor->FTempRecordBuffer, Cursor->FCurrentRecordBuffer, Size);
  const TMdbRecordID Self = Cursor->CurrentRecordID;
  auto Restore = [&] {
    std::memcpy(Cursor->FCurrentRecordBuffer, Cursor->FTempRecordBuffer, Size);
    Cursor->CurrentRecordID = Self;
  };
  try {
    TMdbNavigationInfo N;
    N.IndexID = Cursor->FIndexID;
    N.RecordBuffer = Cursor->FCurrentRecordBuffer;
    N.RecordID = Self;
    N.GetRecordMode = grmPrior;
    bool Found = false;
    for (;;) {
      InternalGetRecordBuffer(SessionIDOf(Cursor), N);
      if (N.GetRecordResult != grrOK) break;
      Cursor->CurrentRecordID = N.RecordID;
      if (IsRecordVisible(Cursor)) {
        Found = true;
        break;
      }
    }
    if (Found) Cursor->FRecordBitmap->InsertVisibleRecord(Self, N.RecordID, false, false);
    else Cursor->FRecordBitmap->InsertVisibleRecord(Self, Self, true, false);
  } catch (...) {
    Restore();
    throw;
  }
  Restore();
}

void TMdbTableData::UpdateRecordBitmapAfterInsert(TMdbCursor* Cursor, const void* Pos) {
  if (!IsRecordVisible(Cursor)) {
    Cursor->RestorePosition(Pos);
    if (!Cursor->FirstPosition && !Cursor->LastPosition) GetRecordBuffer(Cursor, grmCurrent);
  } else if (Cursor->FIndexID != -1) {
    ShowRecord(Cursor);
  } else {
    Cursor->FRecordBitmap->InsertVisibleRecord(Cursor->CurrentRecordID, Cursor->CurrentRecordID, false, true);
  }
}

void TMdbTableData::UpdateRecordBitmapAfterUpdate(TMdbCursor* Cursor) {
  if (IsRecordVisible(Cursor)) {
    if (Cursor->FIndexID != -1 && FIndexManager->CompareRecordBuffersByIndex(Cursor->FIndexID, Cursor->FCurrentRecordBuffer,
                                                                             Cursor->FEditRecordBuffer, 0) != 0) {
      Cursor->FRecordBitmap->HideRecord(Cursor->CurrentRecordID);
      ShowRecord(Cursor);
    }
    return;
  }
  const TMdbRecordID Updated = Cursor->CurrentRecordID;
  if (GetRecordBuffer(Cursor, grmNext) != grrOK) GetRecordBuffer(Cursor, grmPrior);
  Cursor->FRecordBitmap->HideRecord(Updated);
}

// ---- page access -----------------------------------------------------------------------------------------

namespace {
TMdbTableCache* RequireCache(const std::unique_ptr<TMdbTableCache>& C) {
  if (!C) throw EMdbException(11868, SNilPointer);
  return C.get();
}
}  // namespace

TMdbPage* TMdbTableData::AddPage(std::int32_t SessionID, TMdbDBStateType StateType, std::uint32_t State, bool DoNotUse) {
  return RequireCache(FCache)->AddPage(SessionID, StateType, State, DoNotUse);
}
void TMdbTableData::RemovePage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType,
                               std::uint32_t State) {
  RequireCache(FCache)->RemovePage(SessionID, PageNo, StateType, State);
}
TMdbPage* TMdbTableData::GetPage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType,
                                 std::uint32_t State, bool ReadPage, bool UpdatePage, bool MakeCopy) {
  return RequireCache(FCache)->GetPage(SessionID, PageNo, StateType, State, ReadPage, UpdatePage, MakeCopy);
}
void TMdbTableData::PutPage(TMdbPage* Page) { RequireCache(FCache)->PutPage(Page); }
void TMdbTableData::UpdatePage(std::int32_t SessionID, TMdbPage* Page, TMdbDBStateType StateType, std::uint32_t State,
                               bool MakeCopy) {
  RequireCache(FCache)->UpdatePage(SessionID, Page, StateType, State, MakeCopy);
}
void TMdbTableData::ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2) {
  if (FCache) FCache->ApplyChanges(State1, StateType2, State2);
}
void TMdbTableData::CancelChanges() {
  if (FCache) FCache->CancelChanges();
}

// ---- structure operations shared by the table data kinds ---------------------------------------------

void TMdbTableData::EmptyTable(TMdbCursor* Cursor, bool) {
  if (!FCursorList.empty()) throw EMdbException(10072, SCannotDeleteOpenTable, {FTableName});
  if (Cursor == nullptr) throw EMdbException(11887, SNilPointer);
  EmptyAllIndexes(SessionIDOf(Cursor));
}

void TMdbTableData::EmptyIndex(std::int32_t IndexID, std::int32_t SessionID) {
  if (FIndexManager) FIndexManager->EmptyIndex(SessionID, IndexID);
  ChangeTableState(ltoEmptyIndex);
}

void TMdbTableData::EmptyAllIndexes(std::int32_t SessionID) {
  if (FIndexManager) FIndexManager->EmptyAllIndexes(SessionID);
}

// ---- create-table checks ---------------------------------------------------------------------------------

void TMdbTableData::CheckFieldDefs(const TMdbFieldDefs& FieldDefs) const {
  if (FieldDefs.Count() == 0) throw EMdbException(11429, SNoFieldsDefined, {FTableName});
  std::unordered_set<std::uint32_t> Seen;
  for (std::int32_t i = 0; i < FieldDefs.Count(); ++i) {
    const String& Name = FieldDefs.GetDef(i)->Name();
    if (Name.empty()) throw EMdbException(11432, SUnnamedField, {FTableName});
    if (!Seen.insert(UpperNameCRC(Name)).second)
      throw EMdbException(11430, SDuplicateField, {FTableName, UpperCaseWide(Name)});
  }
}

void TMdbTableData::CheckIndexDefs(const TMdbIndexDefs& IndexDefs) const {
  std::unordered_set<std::uint32_t> Seen;
  std::int32_t Primary = 0;
  for (std::int32_t i = 0; i < IndexDefs.Count(); ++i) {
    const TMdbIndexDef& D = *IndexDefs.GetDef(i);
    if (D.Name().empty()) throw EMdbException(11433, SUnnamedIndex, {FTableName});
    if (D.ColumnCount() == 0) throw EMdbException(11434, SIndexWithoutFields, {FTableName, D.Name()});
    if (!Seen.insert(UpperNameCRC(D.Name())).second)
      throw EMdbException(11428, SDuplicateIndex, {UpperCaseWide(FTableName), UpperCaseWide(D.Name())});
    if (D.FPrimary) ++Primary;
  }
  if (Primary > 1) throw EMdbException(11427, SMultiplePrimary, {FTableName});
}

void TMdbTableData::CheckConstraintDefs(const TMdbConstraintDefs& ConstraintDefs) const {
  std::unordered_set<std::uint32_t> Seen;
  for (std::int32_t i = 0; i < ConstraintDefs.Count(); ++i) {
    const String& Name = ConstraintDefs.GetDef(i)->Name();
    if (Name.empty()) continue;
    if (!Seen.insert(UpperNameCRC(Name)).second) throw EMdbException(11431, SDuplicateConstraint, {FTableName, Name});
  }
}
