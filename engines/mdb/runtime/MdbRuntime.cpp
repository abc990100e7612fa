#include "engines/mdb/runtime/MdbRuntime.h"

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "platform/rtl/Init.h"

void MdbRuntimeStartup() {
  AcquireMemoryManager();
  HashReservedWords();
  InitTableOperationNames();
  if (TempDirectory.empty()) InitTempDirectory();
}

void MdbRuntimeShutdown() { ReleaseMemoryManager(); }

void RegisterMdbRuntimeUnit(TUnitList& Units) { Units.Add({"MdbRuntime", &MdbRuntimeStartup, &MdbRuntimeShutdown}); }
