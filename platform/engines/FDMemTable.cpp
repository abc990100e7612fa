#include "platform/engines/FDMemTable.h"

TFDMemTable::TFDMemTable(TComponent* AOwner) : TMemEngineDataSet(AOwner, kFDMemTableMagic) {}

TFDMemTable::~TFDMemTable() {
  // Controls held back by an unfinished batch are not waited for by anyone any more.
  while (FBatchCount > 0) EndBatch();
}

void TFDMemTable::BeginBatch(bool AWithDelete) {
  DisableControls();
  if (FBatchCount++ == 0) FBatchWithDelete = AWithDelete;
}

void TFDMemTable::EndBatch() {
  if (FBatchCount == 0) return;
  --FBatchCount;
  if (FBatchCount == 0) FBatchWithDelete = false;
  EnableControls();
}

void TFDMemTable::CheckFormat(TFDStorageFormat AFormat) {
  if (AFormat != sfAuto && AFormat != sfBinary) DatabaseError(u"Only the binary storage format is supported", this);
}

void TFDMemTable::SaveToFile(const String& AFileName, TFDStorageFormat AFormat) {
  CheckFormat(AFormat);
  SaveRowsToFile(AFileName);
}

void TFDMemTable::LoadFromFile(const String& AFileName, TFDStorageFormat AFormat) {
  CheckFormat(AFormat);
  LoadRowsFromFile(AFileName);
}

void TFDMemTable::SaveToStream(TStream* AStream, TFDStorageFormat AFormat) {
  CheckFormat(AFormat);
  if (AStream == nullptr) DatabaseError(u"No stream to save to", this);
  SaveRowsToStream(*AStream);
}

void TFDMemTable::LoadFromStream(TStream* AStream, TFDStorageFormat AFormat) {
  CheckFormat(AFormat);
  if (AStream == nullptr) DatabaseError(u"No stream to load from", this);
  LoadRowsFromStream(*AStream);
}
