// Start-up and shut-down of the Mdb engine, called explicitly and in this order from main (or a test's
// fixture), never by static initialisers:
//   MdbEngineStartup   the runtime (memory manager reference, keyword table, temporary folder), the
//                      storage layer, the database registry, then the database data "MEMORY" (in
//                      memory) and "TEMP" (temporary), each registered under its name, and the
//                      factory through which sessions make further in-memory databases.
//   MdbEngineShutdown  the reverse: every registered database data is freed (with its tables), then
//                      the registry, the storage layer (the cache-cleaning thread is stopped and
//                      joined) and the runtime.
// Calls nest: only the first start-up and the last shut-down do the work.
#pragma once

class TMdbDatabaseData;

void MdbEngineStartup();
void MdbEngineShutdown();
bool MdbEngineStarted();

// The two databases of a started engine; nullptr otherwise.
TMdbDatabaseData* MdbMemoryDatabase();
TMdbDatabaseData* MdbTemporaryDatabase();

// Holds the engine for a scope (tests, tools).
class TMdbEngineScope {
 public:
  TMdbEngineScope() { MdbEngineStartup(); }
  ~TMdbEngineScope() { MdbEngineShutdown(); }
  TMdbEngineScope(const TMdbEngineScope&) = delete;
  TMdbEngineScope& operator=(const TMdbEngineScope&) = delete;
};
