#include "platform/engines/ClientDataSet.h"

TClientDataSet::TClientDataSet(TComponent* AOwner) : TMemEngineDataSet(AOwner, kClientDataSetMagic) {}

TClientDataSet::~TClientDataSet() = default;

const String& TClientDataSet::ResolveFileName(const String& AFileName) const {
  if (!AFileName.empty()) return AFileName;
  if (FFileName.empty()) DatabaseError(u"Missing file name", this);
  return FFileName;
}

void TClientDataSet::CheckFormat(TDataPacketFormat Format) {
  if (Format != dfBinary) DatabaseError(u"Only the binary data packet format is supported", this);
}

void TClientDataSet::SaveToFile(const String& AFileName, TDataPacketFormat Format) {
  CheckFormat(Format);
  SaveRowsToFile(ResolveFileName(AFileName));
}

void TClientDataSet::LoadFromFile(const String& AFileName) { LoadRowsFromFile(ResolveFileName(AFileName)); }

void TClientDataSet::SaveToStream(TStream* Stream, TDataPacketFormat Format) {
  CheckFormat(Format);
  if (Stream == nullptr) DatabaseError(u"No stream to save to", this);
  SaveRowsToStream(*Stream);
}

void TClientDataSet::LoadFromStream(TStream* Stream) {
  if (Stream == nullptr) DatabaseError(u"No stream to load from", this);
  LoadRowsFromStream(*Stream);
}
