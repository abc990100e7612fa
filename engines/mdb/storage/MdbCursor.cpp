#include "engines/mdb/storage/MdbCursor.h"

#include <cstring>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbStorageConst.h"

namespace {

constexpr char16_t SNotOverridden[] = u"The method '%s' not overrided in class '%s'";
constexpr char16_t SFieldNotFound[] = u"Field '%s' not found";
constexpr char16_t SCannotRenameField[] = u"Cannot rename field '%s'. Field '%s' already exists";
constexpr char16_t SSettingBlobNotAllowed[] =
    u"Setting blob field value is not allowed in this method, FieldNo = %d, TableName = %s";

#pragma pack(push, 1)
struct TSavedPosition {
  Byte First;
  Byte Last;
  std::int32_t PageNo;
  std::uint16_t PageItemNo;
};
#pragma pack(pop)
static_assert(sizeof(TSavedPosition) == 8);

}  // namespace

TMdbCursor::TMdbCursor() = default;

TMdbCursor::~TMdbCursor() {
  FreeRecordBuffer(FTempRecordBuffer);
}

void TMdbCursor::NotOverridden(const char16_t* Method) const {
  throw EMdbException(30339, SNotOverridden, {String(Method), ClassName()});
}

// ---- slots without a base body ---------------------------------------------------------------------------

void TMdbCursor::CreateTable(TMdbFieldDefs*, TMdbIndexDefs*, TMdbConstraintDefs*) { NotOverridden(u"CreateTable"); }
void TMdbCursor::DeleteTable(bool) { NotOverridden(u"DeleteTable"); }
void TMdbCursor::EmptyTable() { NotOverridden(u"EmptyTable"); }
void TMdbCursor::RenameTable(const String&) { NotOverridden(u"RenameTable"); }
bool TMdbCursor::RepairTable(AnsiString&, TMdbBaseSession*, TMdbConstraintDefs*) { NotOverridden(u"RepairTable"); }
void TMdbCursor::AddForeignKey(TMdbConstraintDefForeignKey*) { NotOverridden(u"AddForeignKey"); }
void TMdbCursor::DeleteConstraint(const String&, bool, bool) { NotOverridden(u"DeleteConstraint"); }
void TMdbCursor::LoadTableFromStream(TStream*) { NotOverridden(u"LoadTableFromStream"); }
void TMdbCursor::SaveTableToStream(TStream*, TMdbCompressionAlgorithm, Byte, std::int32_t, bool, bool) {
  NotOverridden(u"SaveTableToStream");
}
void TMdbCursor::InternalInitFieldDefs() { NotOverridden(u"InternalInitFieldDefs"); }
void TMdbCursor::OpenTableByFieldDefs(TMdbFieldDefs*, TMdbIndexDefs*, TMdbConstraintDefs*) {
  NotOverridden(u"OpenTableByFieldDefs");
}
void TMdbCursor::CloseTable() { NotOverridden(u"CloseTable"); }
void TMdbCursor::AddIndex(TMdbIndexDef*) { NotOverridden(u"AddIndex"); }
void TMdbCursor::DeleteIndex(const String&) { NotOverridden(u"DeleteIndex"); }
void TMdbCursor::DeleteAllIndexes() { NotOverridden(u"DeleteAllIndexes"); }
String TMdbCursor::FindIndex(TMdbWideStringList*, TMdbWideStringList*, TMdbWideStringList*) { NotOverridden(u"FindIndex"); }
bool TMdbCursor::IsTemporaryTable() { NotOverridden(u"IsTemporaryTable"); }
bool TMdbCursor::IsMemoryTable() { NotOverridden(u"IsMemoryTable"); }
bool TMdbCursor::IsRecordExists() { NotOverridden(u"IsRecordExists"); }
Int64 TMdbCursor::GetRecordCount() { NotOverridden(u"GetRecordCount"); }
TMdbGetRecordResult TMdbCursor::GetRecordBuffer(TMdbGetRecordMode) { NotOverridden(u"GetRecordBuffer"); }
void TMdbCursor::SetRecNo(Int64) { NotOverridden(u"SetRecNo"); }
Int64 TMdbCursor::GetRecNo() { NotOverridden(u"GetRecNo"); }
void TMdbCursor::InternalEdit() { NotOverridden(u"InternalEdit"); }
void TMdbCursor::InternalCancel(bool) { NotOverridden(u"InternalCancel"); }
void TMdbCursor::InternalPost(bool) { NotOverridden(u"InternalPost"); }
void TMdbCursor::InternalDelete() { NotOverridden(u"InternalDelete"); }
void TMdbCursor::DeleteVisibleRecords() { NotOverridden(u"DeleteVisibleRecords"); }
void TMdbCursor::UpdateVisibleRecords(TMdbWideStringList*, const std::vector<TMdbVariant*>&, bool) {
  NotOverridden(u"UpdateVisibleRecords");
}
void TMdbCursor::DisableRecordBitmap() { NotOverridden(u"DisableRecordBitmap"); }
void TMdbCursor::ApplyProjection(TMdbWideStringList*, TMdbWideStringList*) { NotOverridden(u"ApplyProjection"); }
void TMdbCursor::ActivateFilters(const String&, bool, bool) { NotOverridden(u"ActivateFilters"); }
void TMdbCursor::DeactivateFilters() { NotOverridden(u"DeactivateFilters"); }
bool TMdbCursor::Locate(const String&, const Variant&, bool, bool) { NotOverridden(u"Locate"); }
bool TMdbCursor::FindKey(TMdbSearchCondition) { NotOverridden(u"FindKey"); }
void TMdbCursor::ResetRange() { NotOverridden(u"ResetRange"); }
void TMdbCursor::ApplyRange(Byte*, Byte*, std::int32_t, std::int32_t, bool, bool) { NotOverridden(u"ApplyRange"); }
void TMdbCursor::SetSQLFilter(TMdbBaseExpression*) { NotOverridden(u"SetSQLFilter"); }
TMdbStream* TMdbCursor::InternalCreateBlobStream(bool, std::int32_t, TMdbBLOBOpenMode) {
  NotOverridden(u"InternalCreateBlobStream");
}
void TMdbCursor::InternalCloseBLOB(std::int32_t) { NotOverridden(u"InternalCloseBLOB"); }
void TMdbCursor::ClearBLOBStreams(bool) { NotOverridden(u"ClearBLOBStreams"); }
Int64 TMdbCursor::LastAutoincValue(std::int32_t) { NotOverridden(u"LastAutoincValue"); }
void TMdbCursor::SetLastAutoincValue(Int64, std::int32_t) { NotOverridden(u"SetLastAutoincValue"); }
TMdbTableState TMdbCursor::GetTableState() { NotOverridden(u"GetTableState"); }
void TMdbCursor::LockTable(bool) { NotOverridden(u"LockTable"); }
void TMdbCursor::UnlockTable(bool) { NotOverridden(u"UnlockTable"); }

// ---- base bodies -----------------------------------------------------------------------------------------

void TMdbCursor::RenameField(const String& FieldName, const String& NewFieldName) {
  TMdbFieldDef* F = FFieldDefs.GetFieldDefByName(FieldName);
  if (F == nullptr) throw EMdbException(30345, SFieldNotFound, {FieldName});
  if (FFieldDefs.GetFieldDefByName(NewFieldName) != nullptr)
    throw EMdbException(30346, SCannotRenameField, {FieldName, NewFieldName});
  F->SetName(NewFieldName);
}

void TMdbCursor::InternalInitRecord(Byte* RecordBuffer, bool InsertMode) {
  const std::int32_t n = FFieldDefs.Count();
  for (std::int32_t i = 0; i < n; ++i) SetRecordFieldNull(RecordBuffer, i, true);
  if (InsertMode && !FTemporary) FFieldDefs.ApplyDefaultValuesToRecordBuffer(RecordBuffer);
}

void TMdbCursor::InternalRefresh() {
  if (IsFilterApplied()) {
    DeactivateFilters();
    if (Dataset) Dataset->ActivateFilters();
  }
  if (FCurrentRecordBuffer == nullptr || (GetRecordBuffer(grmCurrent) != grrOK && GetRecordBuffer(grmNext) != grrOK &&
                                          GetRecordBuffer(grmPrior) != grrOK))
    InternalFirst();
}

// ---- fields and values -----------------------------------------------------------------------------------

void TMdbCursor::SetIndexName(const String& Value) {
  FIndexName = Value;
  const TMdbIndexDef* D = FIndexDefs.GetIndexDefByName(Value);
  FIndexID = D ? D->ObjectID() : -1;
}

const TMdbFieldDef& TMdbCursor::VisibleToTableField(std::int32_t FieldNo, int Code, std::int32_t& TableFieldNo) const {
  // Negative numbers are refused with the same code: they would index before the lists.
  if (FieldNo < 0 || FieldNo >= FVisibleFieldDefs.Count())
    throw EMdbException(Code, SMdbInvalidFieldNumber, {FieldNo, FVisibleFieldDefs.Count()});
  TableFieldNo = FVisibleFieldDefs.GetDef(FieldNo)->FFieldNoReference;
  if (TableFieldNo < 0 || TableFieldNo >= FFieldDefs.Count())
    throw EMdbException(Code, SMdbInvalidFieldNumber, {TableFieldNo, FFieldDefs.Count()});
  return *FFieldDefs.GetDef(TableFieldNo);
}

bool TMdbCursor::GetFieldData(std::int32_t FieldNo, void* Buffer, const Byte* RecordBuffer) const {
  std::int32_t n;
  VisibleToTableField(FieldNo, 10005, n);
  return ReadRecordField(n, FFieldDefs, Buffer, RecordBuffer);
}

void TMdbCursor::SetFieldData(std::int32_t FieldNo, const void* Buffer, Byte* RecordBuffer) const {
  std::int32_t n;
  VisibleToTableField(FieldNo, 10006, n);
  WriteRecordField(n, FFieldDefs, Buffer, RecordBuffer);
}

void TMdbCursor::GetFieldValue(TMdbVariant* Value, std::int32_t FieldNo, bool DirectAccess, bool CopyFlag) {
  std::int32_t n = FieldNo;
  if (DirectAccess) {
    if (FieldNo < 0 || FieldNo >= FFieldDefs.Count())
      throw EMdbException(10317, SMdbInvalidFieldNumber, {FieldNo, FFieldDefs.Count()});
  } else {
    VisibleToTableField(FieldNo, 10737, n);
  }
  const TMdbFieldDef& F = *FFieldDefs.GetDef(n);
  if (IsRecordFieldNull(FCurrentRecordBuffer, n)) {
    Value->SetNull(F.FBaseFieldType);
    return;
  }
  if (F.IsBlob()) {
    // The stream routines count in the visible fields: a direct number is taken to the visible entry
    // that shows the column.
    std::int32_t Visible = FieldNo;
    if (DirectAccess) {
      Visible = -1;
      for (std::int32_t i = 0; i < FVisibleFieldDefs.Count() && Visible < 0; ++i)
        if (FVisibleFieldDefs.GetDef(i)->FFieldNoReference == n) Visible = i;
      if (Visible < 0) throw EMdbException(10317, SMdbInvalidFieldNumber, {FieldNo, FFieldDefs.Count()});
    }
    GetBLOBValue(Value, Visible);
    return;
  }
  Value->SetData(FCurrentRecordBuffer + F.FMemoryOffset, F.FMemoryDataSize, F.FBaseFieldType, CopyFlag, false);
}

void TMdbCursor::GetBLOBValue(TMdbVariant* V, std::int32_t aFieldNo) {
  std::int32_t n;
  const TMdbFieldDef& F = VisibleToTableField(aFieldNo, 10737, n);
  V->SetNull(F.FBaseFieldType);
  TMdbStream* S = InternalCreateBlobStream(false, aFieldNo, bomRead);
  try {
    const Int64 Size = S->Size();
    if (Size > 0) {
      const std::int32_t Terminator = F.FBaseFieldType == bftWideClob ? 2 : 1;
      if (Size > INT32_MAX - Terminator) throw EMdbException(10117, SMdbInvalidRecordBlock, {String(u"BLOB too large")});
      TMdbMemBlock Block(Size + Terminator, true);
      S->SetPosition(0);
      ReadBufferFromStream(Block.Get(), Size, S, 10117);
      V->SetData(Block.Get(), static_cast<std::int32_t>(Size + Terminator), F.FBaseFieldType, true, false);
    }
  } catch (...) {
    InternalCloseBLOB(aFieldNo);
    throw;
  }
  InternalCloseBLOB(aFieldNo);
}

void TMdbCursor::SetFieldValue(TMdbVariant* Value, std::int32_t FieldNo, bool DirectAccess, Byte* RecordBuffer) {
  if (RecordBuffer == nullptr) RecordBuffer = FCurrentRecordBuffer;
  std::int32_t n = FieldNo;
  if (DirectAccess) {
    if (FieldNo < 0 || FieldNo >= FFieldDefs.Count())
      throw EMdbException(10318, SMdbInvalidFieldNumber, {FieldNo, FFieldDefs.Count()});
  } else {
    VisibleToTableField(FieldNo, 10738, n);
  }
  const TMdbFieldDef& F = *FFieldDefs.GetDef(n);
  if (Value->IsNull()) {
    SetRecordFieldNull(RecordBuffer, n, true);
    return;
  }
  if (F.IsBlob()) throw EMdbException(DirectAccess ? 11589 : 11591, SSettingBlobNotAllowed, {FieldNo, FTableName});
  SetRecordFieldNull(RecordBuffer, n, false);
  Value->Cast(F.FBaseFieldType);
  // The slot is cleared first: a shorter value leaves no bytes of the one before.
  Byte* Slot = RecordBuffer + F.FMemoryOffset;
  std::memset(Slot, 0, static_cast<std::size_t>(F.FMemoryDataSize));
  std::memcpy(Slot, Value->PData(), static_cast<std::size_t>(std::min(Value->DataSize(), F.FMemoryDataSize)));
}

// ---- buffers and positions -------------------------------------------------------------------------------

void TMdbCursor::SetRecordLayout(std::int32_t CalcFieldsSize) {
  const std::int32_t E = FFieldDefs.RecordSize();
  FFieldValuesOffset = FFieldDefs.Count() > 0 ? FFieldDefs.GetDef(0)->FMemoryOffset : 0;
  FBookmarkOffset = FKeyOffset = E;
  FCalculatedFieldsOffset = E + kMdbBookmarkSize;
  FRecordSize = E + kMdbBookmarkSize;
  FKeyBufferSize = E + kMdbKeyStateSize;
  FRecordBufferSize = FRecordSize + CalcFieldsSize;
}

Byte* TMdbCursor::AllocateRecordBuffer() {
  auto* B = static_cast<Byte*>(MdbMemoryManager->AllocMem(FRecordBufferSize));
  if (FTempRecordBuffer == nullptr) {
    try {
      FTempRecordBuffer = static_cast<Byte*>(MdbMemoryManager->AllocMem(FRecordBufferSize));
    } catch (...) {
      FreeRecordBuffer(B);
      throw;
    }
  }
  return B;
}

void TMdbCursor::FreeRecordBuffer(Byte*& Buffer) {
  if (Buffer == nullptr) return;
  void* p = Buffer;
  Buffer = nullptr;
  MdbMemoryManager->FreeAndNilMem(p);
}

Byte* TMdbCursor::AllocateKeyRecordBuffer() { return static_cast<Byte*>(MdbMemoryManager->AllocMem(FKeyBufferSize)); }

void TMdbCursor::InternalInitKeyBuffer(Byte* RecordBuffer) {
  std::memset(RecordBuffer, 0, static_cast<std::size_t>(FKeyBufferSize));
  InternalInitRecord(RecordBuffer, false);
}

void* TMdbCursor::SavePosition() const {
  auto* P = static_cast<TSavedPosition*>(MdbMemoryManager->AllocMem(sizeof(TSavedPosition)));
  P->First = FirstPosition;
  P->Last = LastPosition;
  P->PageNo = CurrentRecordID.PageNo;
  P->PageItemNo = CurrentRecordID.PageItemNo;
  return P;
}

void TMdbCursor::RestorePosition(const void* Pos) {
  const auto* P = static_cast<const TSavedPosition*>(Pos);
  FirstPosition = P->First != 0;
  LastPosition = P->Last != 0;
  CurrentRecordID.PageNo = P->PageNo;
  CurrentRecordID.PageItemNo = P->PageItemNo;
}

void TMdbCursor::FreePosition(void*& Pos) const {
  if (Pos) MdbMemoryManager->FreeAndNilMem(Pos);
}

void TMdbCursor::GetCalcFieldsAndBookMarkData(bool bInsert) {
  Byte* B = FCurrentRecordBuffer + FBookmarkOffset;
  std::memcpy(B, &CurrentRecordID.PageNo, 4);
  std::memcpy(B + 4, &CurrentRecordID.PageItemNo, 2);
  B[6] = bInsert ? kMdbBookmarkInsertFlag : 0;
  if (Dataset) Dataset->ClearAndGetCalcFields(FCurrentRecordBuffer);
}

void TMdbCursor::UpdateIndexDefinitions() {
  if (Dataset) Dataset->UpdateIndexDefinitions(this);
}
