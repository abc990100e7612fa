#include "app/EngineTable.h"

// One line per engine, in the order a dataset's class is tested (it matters only for a class that
// descends from two engines; it is fixed all the same): the stand-ins, then vlx, Mdb, Kv, the virtual
// table and the field-list engine as each is built. (The Kv row carries the test-all rule "Insert is
// left out above 50,000 appended rows": TestAllSkipsInsertAbove = 50000.)
extern const TEngineRow kADORow;
extern const TEngineRow kClientDataSetRow;
extern const TEngineRow kFDMemTableRow;
extern const TEngineRow kvlxRow;
extern const TEngineRow kKvRow;
extern const TEngineRow kVirtTableRow;
extern const TEngineRow kIdMemRow;

namespace {
const TEngineRow* const kEngineRows[] = {
    &kADORow,
    &kClientDataSetRow,
    &kFDMemTableRow,
    &kvlxRow,
    &kKvRow,
    &kVirtTableRow,
    &kIdMemRow,
};
}  // namespace

std::span<const TEngineRow* const> EngineRows() { return kEngineRows; }

const TEngineRow* EngineRowOf(const TDataSet* DataSet) {
  if (DataSet == nullptr) return nullptr;
  for (const TEngineRow* row : kEngineRows)
    if (row->IsEngine(DataSet)) return row;
  return nullptr;
}

const TEngineRow* EngineRowFor(TEngineKind Kind) {
  for (const TEngineRow* row : kEngineRows)
    if (row->Kind == Kind) return row;
  return nullptr;
}

TEngineKind EngineKindOf(const TDataSet* DataSet) {
  const TEngineRow* row = EngineRowOf(DataSet);
  return row != nullptr ? row->Kind : TEngineKind::ekNone;
}
