#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engines/mdb/runtime/MdbBlobStream.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalBLOBStream.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTempEngine.h"
#include "platform/rtl/DateTime.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SNoFields[] = u"Error creating table - no fields were specified";
constexpr char16_t SNoForeignKeys[] = u"Foreign keys are not supported in temporary tables";
constexpr char16_t SNotSupported[] = u"Error - operation is not supported";
constexpr char16_t SBlobBlockSizeZero[] = u"BLOB block size should be > 0 for field %s";
constexpr char16_t SCannotSetPosition[] = u"Cannot set stream position to %d. Position = %d, Size = %d";
constexpr char16_t SCannotReadStream[] =
    u"Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr char16_t SCannotWriteStream[] =
    u"Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";
constexpr char16_t SStreamBlockSizeZero[] = u"Stream block size = 0 is not allowed";
constexpr char16_t SInvalidBLOBFile[] = u"Invalid BLOB file: %s";

// Copies Count bytes from Source's position to Target's; a short transfer raises Code.
void CopyBytes(TStream* Source, TStream* Target, Int64 Count, int ReadCode, int WriteCode) {
  if (Count <= 0) return;
  const Int64 ChunkSize = std::min<Int64>(Count, 1 << 20);
  TMdbMemBlock Chunk(ChunkSize);
  for (Int64 Done = 0; Done < Count;) {
    const Int64 n = std::min(ChunkSize, Count - Done);
    const Int64 From = Source->Position();
    const Int64 Got = Source->Read(Chunk.Get(), n);
    if (Got != n) throw EMdbException(ReadCode, SCannotReadStream, {From, Source->Size(), n, Got});
    const Int64 To = Target->Position();
    const Int64 Put = Target->Write(Chunk.Get(), n);
    if (Put != n) throw EMdbException(WriteCode, SCannotWriteStream, {To, Target->Size(), n, Put});
    Done += n;
  }
}

}  // namespace

String MdbGenerateTemporaryTableName() {
  thread_local std::mt19937 Random{std::random_device{}()};
  std::uniform_int_distribution<std::int32_t> D(0, INT32_MAX - 1);
  const auto Tick = static_cast<std::int32_t>(CurrentTickCount());
  const std::int32_t n = (D(Random) ^ Tick ^ D(Random) ^ Tick) & INT32_MAX;
  return Format(u"TEMPORARY_TABLE_%d_%d", {n, CurrentThreadID()});
}

// ---- construction ----------------------------------------------------------------------------------------

TMdbTemporaryTableData::TMdbTemporaryTableData(TMdbDatabaseData* aDatabaseData, std::int32_t RecordsPerPage,
                                               std::int32_t AllocRecordsBy)
    : TMdbTableData(aDatabaseData), FRecordsPerPage(RecordsPerPage), FAllocRecordsBy(AllocRecordsBy) {
  NewPageStore();
  FInMemory = false;
  FTemporary = true;
}

TMdbTemporaryTableData::~TMdbTemporaryTableData() {
  FDestroying = true;
  // Cursors still open let go of the table; none of them may delete it now.
  const std::vector<TMdbCursor*> Open = FCursorList;
  for (TMdbCursor* C : Open) {
    try {
      C->CloseTable();
    } catch (...) {
    }
    std::erase(FCursorList, C);
  }
  // Index pages go back to the page manager before it goes (a table freed with its database).
  ReleaseIndexPages();
  FRecordBufferCache.reset();
  FFindRecordCache.reset();
  // Open indexes and the cache hold pages of the page manager: they go first.
  FIndexManager.reset();
  FCache.reset();
  FPageManager.reset();
  FRecordManager.reset();
  FBLOBFile.reset();
}

void TMdbTemporaryTableData::ReleaseIndexPages() noexcept {
  try {
    if (FIndexManager && FIndexManager->IndexDefs().Count() > 0) {
      FIndexManager->DropAllIndexes(0);
      ApplyChanges(FTableState.TableState, dbstNone, 0);
    }
  } catch (...) {
  }
}

void TMdbTemporaryTableData::NewPageStore() {
  FIndexManager.reset();
  FCache.reset();
  FPageManager = std::make_unique<TMdbTemporaryPageManager>();
  FCache = std::make_unique<TMdbTableCache>(FPageManager.get(), nullptr, -1);
}

void TMdbTemporaryTableData::NewBLOBFile() {
  FBLOBFile.reset();
  FBLOBFile = std::make_unique<TMdbTemporaryStream>();
}

TMdbPageManager* TMdbTemporaryTableData::GetPageManager() { return FPageManager.get(); }

TMdbTemporaryRecordManager* TMdbTemporaryTableData::TemporaryRecordManager() const {
  return static_cast<TMdbTemporaryRecordManager*>(FRecordManager.get());
}

void TMdbTemporaryTableData::CreateRecordManager() {
  FRecordManager.reset();
  FRecordManager = std::make_unique<TMdbTemporaryRecordManager>(CalcRecordSize(), FRecordsPerPage, FAllocRecordsBy);
}

std::int32_t TMdbTemporaryTableData::CompareRecordID(const TMdbRecordID& RecordID1, const TMdbRecordID& RecordID2) {
  const Int64 a = TMdbTemporaryRecordManager::RecordNo(RecordID1);
  const Int64 b = TMdbTemporaryRecordManager::RecordNo(RecordID2);
  return a == b ? 0 : (a > b ? 1 : -1);
}

// ---- table operations ------------------------------------------------------------------------------------

void TMdbTemporaryTableData::CreateTable(TMdbCursor* Cursor, TMdbFieldDefs& FieldDefs, TMdbIndexDefs& IndexDefs,
                                         TMdbConstraintDefs& ConstraintDefs) {
  if (FieldDefs.Count() == 0) throw EMdbException(10132, SNoFields);
  if (Cursor) SetTableName(Cursor->FTableName);
  CheckFieldDefs(FieldDefs);
  CheckIndexDefs(IndexDefs);
  CheckConstraintDefs(ConstraintDefs);
  // Refused before anything is built: the table stays as it was.
  for (std::int32_t i = 0; i < ConstraintDefs.Count(); ++i)
    if (ConstraintDefs.GetDef(i)->ConstraintType() == ctFK) throw EMdbException(11426, SNoForeignKeys);
  CreateSequenceManager();
  CreateFieldManager(FieldDefs);
  NewPageStore();
  CreateIndexManager(IndexDefs);
  CreateConstraintManager(ConstraintDefs);
  CreateRecordManager();
  if (Cursor) InitCursorRecordLayout(Cursor);
  if (FBLOBFieldsPresent) NewBLOBFile();
  else FBLOBFile.reset();
  FCreationDate = Now();
}

void TMdbTemporaryTableData::DeleteTable(TMdbBaseSession* Session, bool Cascade, bool DesignMode) {
  try {
    TMdbTableData::DeleteTable(Session, Cascade, DesignMode);
    const bool Indexes = FIndexManager && FIndexManager->IndexDefs().Count() > 0;
    std::int32_t Sid = 0;
    if (Indexes) {
      if (Session == nullptr) throw EMdbException(11886, SNilPointer);
      Sid = Session->SessionID;
      FIndexManager->DropAllIndexes(Sid);
    }
    if (FRecordManager) FRecordManager->Empty(Sid);
    FBLOBFile.reset();
    ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    throw;
  }
  if (DesignMode && !FCursorList.empty()) return;
  if (FDestroying) return;
  // The destruction takes the table out of its database's list.
  delete this;
}

void TMdbTemporaryTableData::EmptyTable(TMdbCursor* Cursor, bool SkipFKCheck) {
  try {
    // The base refuses while cursors have the table open: the BLOB file goes only once it agreed,
    // so a refused empty keeps every value.
    TMdbTableData::EmptyTable(Cursor, SkipFKCheck);
    FBLOBFile.reset();
    if (FRecordManager) FRecordManager->Empty(-1);
    if (FBLOBFieldsPresent) NewBLOBFile();
    ChangeTableState(ltoEmpty);
    ApplyChanges(FTableState.TableState, dbstNone, 0);
  } catch (...) {
    try {
      CancelChanges();
    } catch (...) {
    }
    throw;
  }
}

void TMdbTemporaryTableData::OpenTable(TMdbCursor* Cursor) {
  if (Cursor->FTableName != FTableName) SetTableName(Cursor->FTableName);
  TMdbTableData::OpenTable(Cursor);
}

void TMdbTemporaryTableData::CloseTable(TMdbCursor* Cursor) {
  TMdbTableData::CloseTable(Cursor);
  if (!FCursorList.empty() || Cursor->FCreateTableStarted || FDestroying) return;
  DeleteTable(Cursor->FSession, true, false);
  // This object is gone now.
}

void TMdbTemporaryTableData::AddIndex(TMdbIndexDef* IndexDef, TMdbCursor* Cursor) {
  TMdbTableData::AddIndex(IndexDef, Cursor);
  ApplyChanges(FTableState.TableState, dbstNone, 0);
}

void TMdbTemporaryTableData::DeleteVisibleRecords(TMdbCursor*) { throw EMdbException(11301, SNotSupported); }

void TMdbTemporaryTableData::InternalSetRecNo(TMdbCursor* Cursor, Int64 RecNo) {
  if (!FRecordManager) throw EMdbException(10136, SNilPointer);
  Cursor->CurrentRecordID = TMdbTemporaryRecordManager::RecordIDOf(RecNo <= 1 ? 0 : RecNo - 1);
}

Int64 TMdbTemporaryTableData::InternalGetRecNo(TMdbCursor* Cursor) {
  if (!FRecordManager) throw EMdbException(10137, SNilPointer);
  return TMdbTemporaryRecordManager::RecordNo(Cursor->CurrentRecordID) + 1;
}

// ---- records ---------------------------------------------------------------------------------------------

bool TMdbTemporaryTableData::InsertRecord(TMdbCursor*& Cursor) {
  if (!FRecordManager) throw EMdbException(10134, SNilPointer);
  if (Cursor->FCurrentRecordBuffer == nullptr) throw EMdbException(10135, SNilPointer);
  void* Pos = Cursor->SavePosition();
  struct TFree {
    TMdbCursor* C;
    void*& P;
    ~TFree() { C->FreePosition(P); }
  } Free{Cursor, Pos};
  TMdbRecordID NewId;
  bool Added = false;
  try {
    Added = FRecordManager->AddRecord(Cursor->FCurrentRecordBuffer, NewId, -1);
  } catch (...) {
    Added = false;
  }
  if (!Added) return false;
  Cursor->CurrentRecordID = NewId;
  if (FIndexManager && FIndexManager->IndexDefs().Count() > 0) {
    try {
      FIndexManager->InsertRecord(Cursor);
    } catch (...) {
      // A record the indexes do not know would show in physical order only: it goes again.
      try {
        CancelChanges();
      } catch (...) {
      }
      TemporaryRecordManager()->DropLastRecord();
      Cursor->RestorePosition(Pos);
      throw;
    }
  }
  ChangeTableState(ltoInsert);
  ApplyChanges(FTableState.TableState, dbstNone, 0);
  Cursor->FirstPosition = Cursor->LastPosition = false;
  if (Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active()) UpdateRecordBitmapAfterInsert(Cursor, Pos);
  return true;
}

// ---- BLOB values -----------------------------------------------------------------------------------------

TMdbStream* TMdbTemporaryTableData::InternalCreateBlobStream(TMdbCursor* Cursor, bool ToInsert, std::int32_t FieldNo,
                                                             TMdbBLOBOpenMode OpenMode) {
  if (!FBLOBFile) throw EMdbException(10140, SNilPointer);
  return TMdbTableData::InternalCreateBlobStream(Cursor, ToInsert, FieldNo, OpenMode);
}

void TMdbTemporaryTableData::OpenBlobStream(TMdbCursor* Cursor, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode,
                                            TMdbLocalBLOBStream& Stream) {
  if (!FBLOBFile) throw EMdbException(10140, SNilPointer);
  const TMdbFieldDef& F = *FieldDefs().GetDef(FieldNo);
  if (F.FBLOBBlockSize == 0) throw EMdbException(10420, SStreamBlockSizeZero);
  TMdbBLOBDescriptor D;
  D.BlockSize = F.FBLOBBlockSize;
  D.StartPosition = 0;
  D.CompressionAlgorithm = F.FBLOBCompressionAlgorithm;
  D.CompressionMode = F.FBLOBCompressionMode;
  const Byte* Record = Cursor->FCurrentRecordBuffer;
  if (OpenMode == bomWrite || Record == nullptr || IsRecordFieldNull(Record, FieldNo)) {
    Stream.Open(OpenMode, FieldNo, D, nullptr, 0);
    return;
  }
  Int64 P;
  std::memcpy(&P, Record + F.FMemoryOffset, 8);
  const Int64 FileSize = FBLOBFile->Size();
  const Int64 Before = FBLOBFile->Position();
  FBLOBFile->SetPosition(P);
  if (P < 0 || FBLOBFile->Position() != P) throw EMdbException(10141, SCannotSetPosition, {P, Before, FileSize});
  Byte Header[kMdbTemporaryBLOBHeaderSize];
  const Int64 Got = FBLOBFile->Read(Header, kMdbTemporaryBLOBHeaderSize);
  if (Got != kMdbTemporaryBLOBHeaderSize)
    throw EMdbException(10142, SCannotReadStream, {P, FileSize, Int64(kMdbTemporaryBLOBHeaderSize), Got});
  std::int32_t NumBlocks;
  Int64 Uncompressed, L;
  std::memcpy(&NumBlocks, Header, 4);
  std::memcpy(&Uncompressed, Header + 4, 8);
  std::memcpy(&L, Header + 12, 8);
  const Int64 Left = FileSize - P - kMdbTemporaryBLOBHeaderSize;
  if (NumBlocks < 0 || Uncompressed < 0 || L < 0 || L > Left)
    throw EMdbException(10142, SInvalidBLOBFile, {Format(u"value of %d bytes at %d, %d bytes left", {L, P, Left})});
  D.NumBlocks = NumBlocks;
  D.UncompressedSize = Uncompressed;
  if (L == 0) {
    Stream.Open(OpenMode, FieldNo, D, Header, 0);
    return;
  }
  TMdbMemBlock Bytes(L);
  const Int64 Read = FBLOBFile->Read(Bytes.Get(), L);
  if (Read != L) throw EMdbException(10142, SCannotReadStream, {P + kMdbTemporaryBLOBHeaderSize, FileSize, L, Read});
  Stream.Open(OpenMode, FieldNo, D, Bytes.Get(), L);
}

void TMdbTemporaryTableData::WriteBLOBFieldToRecordBuffer(TMdbCursor* Cursor, std::int32_t FieldNo,
                                                          TMdbLocalBLOBStream* BLOBStream) {
  if (!FBLOBFile) throw EMdbException(10144, SNilPointer);
  if (!BLOBStream->Modified()) return;
  const TMdbFieldDef& F = *FieldDefs().GetDef(FieldNo);
  Byte* Record = Cursor->FCurrentRecordBuffer;
  TMdbCompressedBLOBStream* C = BLOBStream->TemporaryStream();
  if (C->Size() == 0) {
    SetRecordFieldNull(Record, FieldNo, true);
    return;
  }
  const Int64 End = FBLOBFile->Size();
  const Int64 Before = FBLOBFile->Position();
  FBLOBFile->SetPosition(End);
  if (FBLOBFile->Position() != End) throw EMdbException(10422, SCannotSetPosition, {End, Before, End});
  const Int64 P = End;
  TStream* Data = C->CompressedStream();
  const Int64 L = Data->Size();
  const Int64 Blocks = C->BLOBDescriptor().NumBlocks;
  if (Blocks < 0 || Blocks > INT32_MAX)
    throw EMdbException(10145, SInvalidBLOBFile, {Format(u"%d compressed blocks", {Blocks})});
  Byte Header[kMdbTemporaryBLOBHeaderSize];
  const auto NumBlocks = static_cast<std::int32_t>(Blocks);
  const Int64 Uncompressed = C->Size();
  std::memcpy(Header, &NumBlocks, 4);
  std::memcpy(Header + 4, &Uncompressed, 8);
  std::memcpy(Header + 12, &L, 8);
  try {
    const Int64 Put = FBLOBFile->Write(Header, kMdbTemporaryBLOBHeaderSize);
    if (Put != kMdbTemporaryBLOBHeaderSize)
      throw EMdbException(10145, SCannotWriteStream, {P, FBLOBFile->Size(), Int64(kMdbTemporaryBLOBHeaderSize), Put});
    const Int64 Keep = Data->Position();
    Data->SetPosition(0);
    CopyBytes(Data, FBLOBFile.get(), L, 10145, 10145);
    Data->SetPosition(Keep);
  } catch (...) {
    // A value written in part is cut off again: the file ends with whole values only.
    try {
      FBLOBFile->SetSize(P);
    } catch (...) {
    }
    throw;
  }
  std::memcpy(Record + F.FMemoryOffset, &P, 8);
  SetRecordFieldNull(Record, FieldNo, false);
}

// ---- the temporary table stream --------------------------------------------------------------------------

void TMdbTemporaryTableData::SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm, Byte, std::int32_t, bool) {
  if (Stream == nullptr) throw EMdbException(11194, SNilPointer);
  if (!FFieldManager) throw EMdbException(10131, SNoFields);
  FFieldManager->SaveToStream(Stream);
  if (FIndexManager) {
    FIndexManager->SaveToStream(Stream);
  } else {
    TMdbIndexDefs().SaveToStream(Stream);
    FPageManager->SaveToStream(Stream);
  }
  if (!FRecordManager) CreateRecordManager();
  FRecordManager->SaveToStream(Stream);
  const Int64 S = FBLOBFile ? FBLOBFile->Size() : 0;
  WriteValueToStream(S, Stream, 11194);
  if (S > 0) {
    FBLOBFile->SetPosition(0);
    CopyBytes(FBLOBFile.get(), Stream, S, 11194, 11194);
  }
  Stream->Seek(0, TSeekOrigin::soEnd);
}

void TMdbTemporaryTableData::LoadFromStream(TStream* Stream) {
  FFieldManager = std::make_unique<TMdbBaseFieldManager>(this, FSequenceManager.get());
  FFieldManager->LoadFromStream(Stream);
  TMdbFieldDefs& Fields = FFieldManager->FieldDefs();
  Fields.RecalcFieldOffsets();
  FBLOBFieldsPresent = false;
  for (std::int32_t i = 0; i < Fields.Count(); ++i) {
    const TMdbFieldDef& F = *Fields.GetDef(i);
    if (!F.IsBlob()) continue;
    FBLOBFieldsPresent = true;
    if (F.FBLOBBlockSize <= 0) throw EMdbException(11333, SBlobBlockSizeZero, {F.Name()});
  }
  FConstraintManager = std::make_unique<TMdbBaseConstraintManager>(this);
  NewPageStore();
  FIndexManager = std::make_unique<TMdbBaseIndexManager>(this);
  FIndexManager->LoadFromStream(Stream);
  CreateRecordManager();
  FRecordManager->LoadFromStream(Stream);
  const Int64 S = ReadValueFromStream<Int64>(Stream, 11195);
  const Int64 Left = std::max<Int64>(Stream->Size() - Stream->Position(), 0);
  if (S < 0 || S > Left)
    throw EMdbException(11195, SInvalidBLOBFile, {Format(u"%d bytes announced, %d left", {S, Left})});
  FBLOBFile.reset();
  if (FBLOBFieldsPresent) {
    NewBLOBFile();
    CopyBytes(Stream, FBLOBFile.get(), S, 11195, 11195);
  } else if (S > 0) {
    // Values without a BLOB field to name them: nothing can read them.
    SetStreamPosition(Stream, 11195, Stream->Position() + S);
  }
}

void TMdbTemporaryTableData::LoadTableFromStream(TMdbCursor* Cursor, TStream* Stream) {
  TMdbTableData::LoadTableFromStream(Cursor, Stream);
  if (Stream == nullptr) throw EMdbException(11195, SNilPointer);
  String Name;
  do {
    Name = MdbGenerateTemporaryTableName();
  } while (FDatabaseData && FDatabaseData->TableExists(Cursor ? Cursor->FSession : nullptr, Name));
  // What the table holds is set aside and comes back when the stream is bad.
  struct TSaved {
    std::unique_ptr<TMdbBaseSequenceManager> Sequences;
    std::unique_ptr<TMdbBaseFieldManager> Fields;
    std::unique_ptr<TMdbBaseConstraintManager> Constraints;
    std::unique_ptr<TMdbBaseIndexManager> Indexes;
    std::unique_ptr<TMdbBaseRecordManager> Records;
    std::unique_ptr<TMdbTableCache> Cache;
    std::unique_ptr<TMdbPageManager> Pages;
    std::unique_ptr<TMdbTemporaryStream> BLOBFile;
    String Name;
    bool BLOBFieldsPresent = false;
    void Free() noexcept {
      Indexes.reset();
      Cache.reset();
      Pages.reset();
      Records.reset();
      Constraints.reset();
      Fields.reset();
      Sequences.reset();
      BLOBFile.reset();
    }
    ~TSaved() { Free(); }
  } Saved;
  Saved.Sequences = std::move(FSequenceManager);
  Saved.Fields = std::move(FFieldManager);
  Saved.Constraints = std::move(FConstraintManager);
  Saved.Indexes = std::move(FIndexManager);
  Saved.Records = std::move(FRecordManager);
  Saved.Cache = std::move(FCache);
  Saved.Pages = std::move(FPageManager);
  Saved.BLOBFile = std::move(FBLOBFile);
  Saved.Name = FTableName;
  Saved.BLOBFieldsPresent = FBLOBFieldsPresent;
  try {
    SetTableName(Name);
    CreateSequenceManager();
    LoadFromStream(Stream);
  } catch (...) {
    // The pages the stream brought go back before their page manager goes.
    ReleaseIndexPages();
    FIndexManager.reset();
    FCache.reset();
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
    FBLOBFile = std::move(Saved.BLOBFile);
    SetTableName(Saved.Name);
    FBLOBFieldsPresent = Saved.BLOBFieldsPresent;
    throw;
  }
  FCreationDate = Now();
}
