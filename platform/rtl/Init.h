// The ordered unit initialisation list. C++ static initialisation order is not a contract, so no unit
// does work at static-init time; instead `main` builds one TUnitList — platform units first, in the
// module order of CMakeLists.txt, then engines and the application — and runs it. Initialise runs the
// units' init in order; Finalize (also run by the destructor) runs the finalizers of the units that
// initialised, in reverse. A unit whose init throws stops the run: the ones before it are finalised
// and the exception passes on.
//
//   TUnitList units;
//   RegisterRtlUnit(units);           // seeds Random, ...
//   units.Add({"app", &AppInit, &AppDone});
//   units.Initialize();
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct TUnit {
  std::string Name;
  void (*Init)() = nullptr;      // may be null
  void (*Finalize)() = nullptr;  // may be null
};

class TUnitList {
 public:
  TUnitList() = default;
  TUnitList(const TUnitList&) = delete;
  TUnitList& operator=(const TUnitList&) = delete;
  ~TUnitList();

  void Add(TUnit Unit);  // raises std::logic_error after Initialize or for a duplicate name
  void Initialize();
  void Finalize();
  std::size_t Count() const { return FUnits.size(); }
  std::size_t InitializedCount() const { return FInitialized; }
  const TUnit& operator[](std::size_t Index) const { return FUnits[Index]; }

 private:
  std::vector<TUnit> FUnits;
  std::size_t FInitialized = 0;
  bool FStarted = false;
};

// The rtl unit: its init calls Randomize.
void RegisterRtlUnit(TUnitList& Units);
