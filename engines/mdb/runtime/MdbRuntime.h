// Start-up and shut-down of the Mdb runtime, run in explicit order from main (or a test's fixture),
// never by static initialisers. MdbRuntimeStartup takes one reference to the shared memory manager,
// hashes the keyword table, sets the table-operation names and reads the temporary folder;
// MdbRuntimeShutdown returns the reference. Calls nest: each Startup needs its Shutdown.
#pragma once

class TUnitList;

void MdbRuntimeStartup();
void MdbRuntimeShutdown();
// Adds the unit "MdbRuntime" (Startup / Shutdown) to the start-up list.
void RegisterMdbRuntimeUnit(TUnitList& Units);

// Holds the runtime for a scope (tests, tools).
class TMdbRuntimeScope {
 public:
  TMdbRuntimeScope() { MdbRuntimeStartup(); }
  ~TMdbRuntimeScope() { MdbRuntimeShutdown(); }
  TMdbRuntimeScope(const TMdbRuntimeScope&) = delete;
  TMdbRuntimeScope& operator=(const TMdbRuntimeScope&) = delete;
};
