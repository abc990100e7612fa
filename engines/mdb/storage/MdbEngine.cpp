#include "engines/mdb/storage/MdbEngine.h"

#include <memory>
#include <mutex>

#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbMemoryDatabaseData.h"
#include "engines/mdb/storage/MdbTemporaryDatabaseData.h"

namespace {

std::mutex GEngineLock;
int GStarts = 0;

TMdbDatabaseData* FindRegistered(bool InMemory, const char* Name) {
  return FindDatabaseData(InMemory, !InMemory, AnsiString(Name), String());
}

}  // namespace

void MdbEngineStartup() {
  std::lock_guard G(GEngineLock);
  if (GStarts++ > 0) return;
  MdbRuntimeStartup();
  try {
    MdbStorageStartup();
    MdbCreateDatabaseDataRegistry();
    auto Memory = std::make_unique<TMdbMemoryDatabaseData>();
    Memory->FDatabaseName = AnsiString("MEMORY");
    DatabaseDataRegistry()->Add(Memory.release());
    auto Temp = std::make_unique<TMdbTemporaryDatabaseData>();
    Temp->FDatabaseName = AnsiString("TEMP");
    DatabaseDataRegistry()->Add(Temp.release());
  } catch (...) {
    MdbFreeDatabaseDataRegistry();
    MdbStorageShutdown();
    MdbRuntimeShutdown();
    GStarts = 0;
    throw;
  }
}

void MdbEngineShutdown() {
  std::lock_guard G(GEngineLock);
  if (GStarts == 0 || --GStarts > 0) return;
  // Each database frees its tables and leaves the registry as it goes.
  MdbFreeDatabaseDataRegistry();
  MdbStorageShutdown();
  MdbRuntimeShutdown();
}

bool MdbEngineStarted() {
  std::lock_guard G(GEngineLock);
  return GStarts > 0;
}

TMdbDatabaseData* MdbMemoryDatabase() { return FindRegistered(true, "MEMORY"); }
TMdbDatabaseData* MdbTemporaryDatabase() { return FindRegistered(false, "TEMP"); }
