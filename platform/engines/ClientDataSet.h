// TClientDataSet: the platform's client dataset over the shared memory engine. Its data packets (files
// and streams) are the engine's data file format under kClientDataSetMagic.
#pragma once

#include "platform/engines/MemEngine.h"

enum TDataPacketFormat { dfBinary, dfXML, dfXMLUTF8 };

class TClientDataSet : public TMemEngineDataSet {
  VELLUM_CLASS(TClientDataSet)
 public:
  explicit TClientDataSet(TComponent* AOwner);
  ~TClientDataSet() override;

  // The packet's own file name when FileName is empty.
  const String& FileName() const { return FFileName; }
  void SetFileName(const String& Value) { FFileName = Value; }

  // dfBinary is the engine's binary format; the XML forms raise EDatabaseError. A load replaces the
  // rows and definitions only when the whole packet is good.
  void SaveToFile(const String& AFileName = String(), TDataPacketFormat Format = dfBinary);
  void LoadFromFile(const String& AFileName = String());
  void SaveToStream(TStream* Stream, TDataPacketFormat Format = dfBinary);
  void LoadFromStream(TStream* Stream);

 private:
  const String& ResolveFileName(const String& AFileName) const;
  void CheckFormat(TDataPacketFormat Format);

  String FFileName;
};
