// The field-list dataset as a benchmark engine: the reference column other engines' benchmarks run
// beside, set up the same way wherever it appears.
#pragma once

#include <memory>

#include "EngineBench.h"
#include "engines/fieldlist/IdDataSet.h"

namespace enginebench {

inline void SetUpFieldList(TEngine<TIdMemDataSet>& Engine, const char16_t* DataFile) {
  Engine.NewDataSet = [] {
    auto ds = std::make_unique<TIdMemDataSet>(nullptr);
    AddBenchmarkSchema(ds->VirtualFieldDefs());
    ds->CreateDataSet();
    return ds;
  };
  Engine.SaveToFile = [](TIdMemDataSet& ds, const String& file) { ds.SaveToFile(file); };
  Engine.SaveToStream = [](TIdMemDataSet& ds, TStream* stream) { ds.SaveToStream(stream); };
  // Loading a file needs a closed dataset, so closing is part of what a reload costs.
  Engine.LoadFromFile = [](TIdMemDataSet& ds, const String& file) {
    ds.Close();
    ds.LoadFromFile(file);
  };
  Engine.LoadFromStream = [](TIdMemDataSet& ds, TStream* stream) { ds.LoadFromStream(stream); };
  Engine.Empty = [](TIdMemDataSet& ds) { ds.EmptyDataSet(); };
  Engine.DataFile = DataFile;
}

}  // namespace enginebench
