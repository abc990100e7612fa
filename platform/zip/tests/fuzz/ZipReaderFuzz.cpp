// libFuzzer harness of the zip reader: opens the input as an archive held in memory and reads every
// entry through the registered handlers (checked like an extraction), without touching the disk.
#include "platform/sys/CodePage.h"
#include "platform/zip/Zip.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  InitializeZipUnit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TBytesStream input(std::vector<Byte>(Data, Data + Size));
  TZipFile zip;
  try {
    zip.Open(&input, TZipMode::zmRead);
  } catch (const Exception&) {
    return 0;
  }
  for (int i = 0; i < zip.FileCount(); ++i) {
    (void)zip.FileName(i);
    try {
      (void)zip.ReadEntry(i);
    } catch (const Exception&) {
    }
  }
  zip.Close();
  return 0;
}
