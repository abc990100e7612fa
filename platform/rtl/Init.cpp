#include "platform/rtl/Init.h"

#include <stdexcept>

#include "platform/rtl/Random.h"

TUnitList::~TUnitList() { Finalize(); }

void TUnitList::Add(TUnit Unit) {
  if (FStarted) throw std::logic_error("TUnitList::Add after Initialize: " + Unit.Name);
  for (const TUnit& u : FUnits)
    if (u.Name == Unit.Name) throw std::logic_error("TUnitList::Add: duplicate unit " + Unit.Name);
  FUnits.push_back(std::move(Unit));
}

void TUnitList::Initialize() {
  if (FStarted) return;
  FStarted = true;
  for (; FInitialized < FUnits.size(); ++FInitialized) {
    const TUnit& u = FUnits[FInitialized];
    try {
      if (u.Init) u.Init();
    } catch (...) {
      Finalize();
      throw;
    }
  }
}

void TUnitList::Finalize() {
  while (FInitialized > 0) {
    const TUnit& u = FUnits[--FInitialized];
    if (u.Finalize) u.Finalize();
  }
}

namespace {
void RtlInit() { Randomize(); }
}  // namespace

void RegisterRtlUnit(TUnitList& Units) { Units.Add({"platform/rtl", &RtlInit, nullptr}); }
