#include "engines/mdb/storage/MdbManagers.h"

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/storage/MdbBTreeIndex.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SNotOverridden[] = u"The method '%s' not overrided in class '%s'";
constexpr char16_t SSequenceNotFound[] = u"Sequence #%d not found";
constexpr char16_t SNoSequenceLastValue[] = u"No SequenceLastValue in session for sequence '%s'. Call GetNextVal first";
constexpr char16_t SIndexNotFound[] = u"Index not found";
constexpr char16_t SCannotFindIndexByID[] = u"Cannot find index by ID = %d";
constexpr char16_t SNoIndexClass[] = u"No index class is registered";

TMdbIndexFactory& IndexFactory() {
  static TMdbIndexFactory F;
  return F;
}

// A random number 0..65534 for generated names.
std::int32_t RandomSuffix() {
  thread_local std::minstd_rand Rng(std::random_device{}());
  return static_cast<std::int32_t>(Rng() % 65535);
}

}  // namespace

void SetMdbIndexFactory(TMdbIndexFactory Factory) { IndexFactory() = std::move(Factory); }

// ---- sequence manager ------------------------------------------------------------------------------------

TMdbSequenceDef* TMdbBaseSequenceManager::GetSequenceDef(std::int32_t SequenceID) const {
  TMdbSequenceDef* D = FSequenceDefs.GetDefByObjectId(SequenceID);
  if (D == nullptr) throw EMdbException(30013, SSequenceNotFound, {SequenceID});
  return D;
}

Int64 TMdbBaseSequenceManager::GetNextVal(TMdbBaseSession* Session, std::int32_t SequenceID) {
  TMdbSequenceDef* D = FSequenceDefs.GetDefByObjectId(SequenceID);
  if (D == nullptr) throw EMdbException(30010, SSequenceNotFound, {SequenceID});
  const Int64 Value = D->GetNextVal();
  Session->SetSequenceValue(D->Name(), Value);
  return Value;
}

void TMdbBaseSequenceManager::GetNextVal(TMdbBaseSession* Session, std::int32_t SequenceID, Int64 Value) {
  TMdbSequenceDef* D = FSequenceDefs.GetDefByObjectId(SequenceID);
  if (D == nullptr) throw EMdbException(12296, SSequenceNotFound, {SequenceID});
  if (D->FIncrement > 0 ? Value > D->FLastValue : Value < D->FLastValue) D->FLastValue = Value;
  Session->SetSequenceValue(D->Name(), Value);
}

Int64 TMdbBaseSequenceManager::GetLastVal(TMdbBaseSession* Session, std::int32_t SequenceID) const {
  TMdbSequenceDef* D = FSequenceDefs.GetDefByObjectId(SequenceID);
  if (D == nullptr) throw EMdbException(30011, SSequenceNotFound, {SequenceID});
  const auto* V = dynamic_cast<const TMdbSessionNamedObjectSequenceValue*>(Session->GetNamedObject(D->Name()));
  if (V == nullptr) throw EMdbException(30012, SNoSequenceLastValue, {D->Name()});
  return V->Value;
}

String TMdbBaseSequenceManager::GenerateSequenceName(bool isAutoinc, const String& ColumnName,
                                                     const String& TableName) const {
  const String Base = String(u"$") + (isAutoinc ? u"S_Autoinc" : u"S_Linked") + u"$" + TableName + u"$" + ColumnName;
  String Name = Base;
  while (FSequenceDefs.GetDefNumberByName(Name) >= 0) Name = Base + Format(u"%d", {RandomSuffix()});
  return Name;
}

// ---- field manager ---------------------------------------------------------------------------------------

void TMdbBaseFieldManager::LoadFromStream(TStream* Stream) {
  FFieldDefs.EngineVersion = EngineVersion;
  FFieldDefs.LoadFromStream(Stream);
}

void TMdbBaseFieldManager::SaveToStream(TStream* Stream) {
  FFieldDefs.EngineVersion = EngineVersion;
  FFieldDefs.SaveToStream(Stream);
}

void TMdbBaseFieldManager::ApplyAutoIncValuesToRecordBuffer(TMdbBaseSession* Session, Byte* RecordBuffer) {
  if (!FFieldDefs.AutoIncFieldsExists) return;
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TMdbFieldDef& F = *FFieldDefs.GetDef(i);
    if (!F.IsAutoInc()) continue;
    const auto Size = static_cast<std::size_t>(std::clamp(F.FMemoryDataSize, 0, 8));
    Byte* Slot = RecordBuffer + F.FMemoryOffset;
    Int64 Value = 0;
    if (IsRecordFieldNull(RecordBuffer, i)) {
      Value = FSequenceManager->GetNextVal(Session, F.FSequenceDefObjectId);
    } else {
      // Narrow values are taken without sign extension: a Shortint -1 tells the sequence 255.
      std::memcpy(&Value, Slot, Size);
      FSequenceManager->GetNextVal(Session, F.FSequenceDefObjectId, Value);
    }
    std::memcpy(Slot, &Value, Size);
    SetRecordFieldNull(RecordBuffer, i, false);
  }
}

// ---- abstract index --------------------------------------------------------------------------------------

TMdbIndex::TMdbIndex(TMdbBaseIndexManager* aIndexManager)
    : LIndexManager(aIndexManager), LTableData(aIndexManager ? aIndexManager->TableData() : nullptr) {
  if (aIndexManager == nullptr) throw EMdbException(11881, SNilPointer);
  if (LTableData == nullptr) throw EMdbException(11882, SNilPointer);
}

void TMdbIndex::NotOverridden(const char16_t* Method) const {
  throw EMdbException(30339, SNotOverridden, {String(Method), ClassName()});
}

void TMdbIndex::ClearIndexCache(std::int32_t) {}
void TMdbIndex::CreateIndex(TMdbCursor*, TMdbIndexDef* aIndexDef) { FIndexDef.Assign(aIndexDef); }
void TMdbIndex::CreateIndex(std::int32_t, std::int32_t, TMdbIndexDef* aIndexDef) { FIndexDef.Assign(aIndexDef); }
void TMdbIndex::DropIndex(std::int32_t, bool) { NotOverridden(u"DropIndex"); }
void TMdbIndex::OpenIndex(const TMdbIndexDef* aIndexDef) { FIndexDef.Assign(aIndexDef); }
void TMdbIndex::GetRecordBuffer(std::int32_t, TMdbNavigationInfo&) { NotOverridden(u"GetRecordBuffer"); }
void* TMdbIndex::CreateIndexPosition() { NotOverridden(u"CreateIndexPosition"); }
void TMdbIndex::FreeIndexPosition(void*&) { NotOverridden(u"FreeIndexPosition"); }
bool TMdbIndex::GetIndexPosition(std::int32_t, const TMdbRecordID&, const Byte*, void*) {
  NotOverridden(u"GetIndexPosition");
}
std::int32_t TMdbIndex::CompareRecordPositionsInIndex(const void*, const void*) {
  NotOverridden(u"CompareRecordPositionsInIndex");
}
Int64 TMdbIndex::GetRecNoByRecordID(std::int32_t, const TMdbRecordID&, const Byte*, TMdbRecordBitmap*) {
  NotOverridden(u"GetRecNoByRecordID");
}
TMdbRecordID TMdbIndex::GetRecordIDByRecNo(std::int32_t, Int64, TMdbRecordBitmap*) {
  NotOverridden(u"GetRecordIDByRecNo");
}
void* TMdbIndex::CreateSearchInfo() { NotOverridden(u"CreateSearchInfo"); }
void TMdbIndex::FreeSearchInfo(void*) { NotOverridden(u"FreeSearchInfo"); }
bool TMdbIndex::FindRecord(std::int32_t, bool, bool, TMdbScanSearchCondition*, TMdbScanSearchCondition*, Byte*,
                           TMdbRecordID&, void*) {
  NotOverridden(u"FindRecord");
}
std::int32_t TMdbIndex::CompareRecordBuffersByIndex(const Byte*, const Byte*, std::int32_t) {
  NotOverridden(u"CompareRecordBuffersByIndex");
}
std::int32_t TMdbIndex::CompareConditions(const TMdbScanSearchCondition*, const TMdbScanSearchCondition*) {
  NotOverridden(u"CompareConditions");
}
Int64 TMdbIndex::GetApproxRangeRecordCount(std::int32_t, Int64, const TMdbScanSearchCondition*,
                                           const TMdbScanSearchCondition*) {
  NotOverridden(u"GetApproxRangeRecordCount");
}
bool TMdbIndex::CanInsertRecord(std::int32_t, const Byte*) { NotOverridden(u"CanInsertRecord"); }
bool TMdbIndex::CanUpdateRecord(std::int32_t, const Byte*, const Byte*) { NotOverridden(u"CanUpdateRecord"); }
void TMdbIndex::InsertRecord(TMdbCursor*) { NotOverridden(u"InsertRecord"); }
void TMdbIndex::DeleteRecord(TMdbCursor*) { NotOverridden(u"DeleteRecord"); }
void TMdbIndex::UpdateRecord(TMdbCursor*) { NotOverridden(u"UpdateRecord"); }

// ---- index manager ---------------------------------------------------------------------------------------

TMdbBaseIndexManager::~TMdbBaseIndexManager() {
  // Always the first until none is left, as the open indexes were opened.
  while (!FOpenIndexList.empty()) FOpenIndexList.erase(FOpenIndexList.begin());
}

std::unique_ptr<TMdbIndex> TMdbBaseIndexManager::NewIndex() {
  if (!IndexFactory()) throw EMdbException(20018, SNoIndexClass);
  return IndexFactory()(this);
}

void TMdbBaseIndexManager::LoadFromStream(TStream* Stream) {
  FIndexDefs.LoadFromStream(Stream);
  if (TMdbPageManager* P = LTableData->GetPageManager()) {
    P->LoadFromStream(Stream);
    // Pages from a stream are checked once here, so that no index walks a broken tree.
    CheckLoadedIndexPages(LTableData, P, FIndexDefs);
  }
}

void TMdbBaseIndexManager::SaveToStream(TStream* Stream) {
  FIndexDefs.SaveToStream(Stream);
  if (TMdbPageManager* P = LTableData->GetPageManager()) P->SaveToStream(Stream);
}

TMdbIndex* TMdbBaseIndexManager::FindOpenIndex(std::int32_t IndexID) const {
  for (const auto& I : FOpenIndexList)
    if (I->IndexDef().ObjectID() == IndexID) return I.get();
  return nullptr;
}

TMdbIndex* TMdbBaseIndexManager::OpenIndex(std::int32_t IndexID) {
  if (TMdbIndex* I = FindOpenIndex(IndexID)) return I;
  const TMdbIndexDef* D = FIndexDefs.GetDefByObjectId(IndexID);
  if (D == nullptr) throw EMdbException(20018, SIndexNotFound);
  auto I = NewIndex();
  I->OpenIndex(D);
  FOpenIndexList.push_back(std::move(I));
  return FOpenIndexList.back().get();
}

void TMdbBaseIndexManager::CloseIndex(std::int32_t IndexID) {
  for (auto it = FOpenIndexList.begin(); it != FOpenIndexList.end(); ++it)
    if ((*it)->IndexDef().ObjectID() == IndexID) {
      FOpenIndexList.erase(it);
      return;
    }
}

std::int32_t TMdbBaseIndexManager::CreateIndex(TMdbCursor* Cursor, TMdbIndexDef* IndexDef) {
  IndexDef->SetObjectID(LTableData->DatabaseData()->GetNewObjectId());
  TMdbIndexDef* Mine = FIndexDefs.AddCreated();
  Mine->Assign(IndexDef);
  try {
    auto Builder = NewIndex();
    Builder->CreateIndex(Cursor, IndexDef);
    Mine->Assign(IndexDef);
  } catch (...) {
    FIndexDefs.Delete(FIndexDefs.Count() - 1);
    throw;
  }
  return IndexDef->ObjectID();
}

void TMdbBaseIndexManager::DropIndex(std::int32_t SessionID, std::int32_t IndexID) {
  try {
    OpenIndex(IndexID)->DropIndex(SessionID, false);
  } catch (...) {
    CloseIndex(IndexID);
    throw;
  }
  CloseIndex(IndexID);
  const std::int32_t i = FIndexDefs.GetDefNumberByObjectId(IndexID);
  if (i >= 0) FIndexDefs.Delete(i);
}

void TMdbBaseIndexManager::DropAllIndexes(std::int32_t SessionID) {
  while (FIndexDefs.Count() > 0) DropIndex(SessionID, FIndexDefs.GetDef(0)->ObjectID());
}

void TMdbBaseIndexManager::EmptyIndex(std::int32_t SessionID, std::int32_t IndexID) {
  try {
    OpenIndex(IndexID)->DropIndex(SessionID, true);
  } catch (...) {
    CloseIndex(IndexID);
    throw;
  }
  CloseIndex(IndexID);
}

void TMdbBaseIndexManager::EmptyAllIndexes(std::int32_t SessionID) {
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) EmptyIndex(SessionID, FIndexDefs.GetDef(i)->ObjectID());
}

void TMdbBaseIndexManager::ClearIndexCache(std::int32_t SessionID) {
  for (const auto& I : FOpenIndexList) I->ClearIndexCache(SessionID);
}

void TMdbBaseIndexManager::GetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& NavigationInfo) {
  if (!NavigationInfo.FirstPosition && !NavigationInfo.LastPosition) {
    TMdbNavigationInfo Current = NavigationInfo;
    Current.GetRecordMode = grmCurrent;
    LTableData->RecordManager()->GetRecordBuffer(Current);
    if (Current.GetRecordResult == grrError) return;
  }
  OpenIndex(NavigationInfo.IndexID)->GetRecordBuffer(SessionID, NavigationInfo);
}

void TMdbBaseIndexManager::InsertRecord(TMdbCursor* Cursor) {
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TMdbIndexDef* D = FIndexDefs.GetDef(i);
    TMdbIndex* I = OpenIndex(D->ObjectID());
    I->InsertRecord(Cursor);
    I->ClearIndexCache(-1);
    // The first key of an empty index allocates its root.
    if (I->IndexDef().FRootPageNo != D->FRootPageNo) D->FRootPageNo = I->IndexDef().FRootPageNo;
  }
}

void TMdbBaseIndexManager::UpdateRecord(TMdbCursor* Cursor) {
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TMdbIndex* I = OpenIndex(FIndexDefs.GetDef(i)->ObjectID());
    I->UpdateRecord(Cursor);
    I->ClearIndexCache(-1);
  }
}

void TMdbBaseIndexManager::DeleteRecord(TMdbCursor* Cursor) {
  // The keys come out of the stored record, read into a scratch buffer that the cursor shows while
  // they do: the cursor's own buffer (an edit in progress, say) is left as it is.
  TMdbMemBlock Stored(LTableData->CalcRecordSize(), true);
  TMdbNavigationInfo N;
  N.SessionID = Cursor->FSession ? Cursor->FSession->SessionID : -1;
  N.GetRecordMode = grmCurrent;
  N.RecordID = Cursor->CurrentRecordID;
  N.RecordBuffer = Stored.Get();
  LTableData->RecordManager()->GetRecordBuffer(N);
  if (N.GetRecordResult == grrError) return;
  Byte* const Own = Cursor->FCurrentRecordBuffer;
  Cursor->FCurrentRecordBuffer = Stored.Get();
  try {
    for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
      TMdbIndex* I = OpenIndex(FIndexDefs.GetDef(i)->ObjectID());
      I->DeleteRecord(Cursor);
      I->ClearIndexCache(-1);
    }
  } catch (...) {
    Cursor->FCurrentRecordBuffer = Own;
    throw;
  }
  Cursor->FCurrentRecordBuffer = Own;
}

std::int32_t TMdbBaseIndexManager::CompareRecordBuffersByIndex(std::int32_t IndexID, const Byte* Buffer1,
                                                               const Byte* Buffer2, std::int32_t IndexFieldCount) {
  const TMdbIndexDef* D = FIndexDefs.GetDefByObjectId(IndexID);
  if (D == nullptr) throw EMdbException(11497, SCannotFindIndexByID, {IndexID});
  if (IndexFieldCount == 0) IndexFieldCount = D->ColumnCount();
  // An index someone already holds open (a scan driven by it, a cursor's navigation) stays open:
  // closing it would free it under its user. Only an index opened for this comparison is closed.
  if (TMdbIndex* Open = FindOpenIndex(IndexID))
    return Open->CompareRecordBuffersByIndex(Buffer1, Buffer2, IndexFieldCount);
  std::int32_t Result;
  try {
    Result = OpenIndex(IndexID)->CompareRecordBuffersByIndex(Buffer1, Buffer2, IndexFieldCount);
  } catch (...) {
    CloseIndex(IndexID);
    throw;
  }
  CloseIndex(IndexID);
  return Result;
}
