// The window's engine table: one row per engine, the only place in app/ that knows an engine.
//
// A row says how to recognise the engine's datasets (class test, descendants included), how to make
// one holding the benchmark schema, how to run the five timed operations, and the engine's quirks.
// The window (Unit1.cpp) owns one dataset per column and drives every column through its row; the
// columns themselves (labels, buttons, streams) are the window's fixed layout and do not change.
//
// Adding an engine:
//  1. write its row in a file of its own, app/EngineRow<Name>.cpp, defining `const TEngineRow
//     k<Name>Row` (see EngineRowFieldList.cpp for a short one);
//  2. declare it and list it in kEngineRows in app/EngineTable.cpp, in class-test order;
//  3. link its library in app/CMakeLists.txt.
// Nothing else in app/ changes: creation, dispatch, the enabled columns and the test-all walk follow
// the table.
#pragma once

#include <span>

#include "platform/classes/Streams.h"

class TComponent;
class TDataSet;

// The window's engine columns, in the order the dispatch tests a dataset's class.
enum class TEngineKind { ekADO, ekClientDataSet, ekFDMemTable, ekvlx, ekMdb, ekKv, ekVirtTable, ekIdMem, ekNone };

struct TEngineRow {
  // The column the engine fills.
  TEngineKind Kind;
  // True for the engine's datasets and their descendants.
  bool (*IsEngine)(const TDataSet* DataSet);
  // A new dataset owned by Owner, holding the benchmark schema (AddBenchmarkSchema), open and empty.
  TDataSet* (*Create)(TComponent* Owner);
  // The five timed operations. FileName is the column's data file; the window deletes an old one before
  // SaveToFile and calls LoadFromFile only when the file exists. The stream is emptied before
  // SaveToStream and rewound before LoadFromStream.
  void (*SaveToFile)(TDataSet* DataSet, const String& FileName);
  void (*SaveToStream)(TDataSet* DataSet, TStream* Stream);
  void (*EmptyDataSet)(TDataSet* DataSet);
  void (*LoadFromFile)(TDataSet* DataSet, const String& FileName);
  void (*LoadFromStream)(TDataSet* DataSet, TStream* Stream);
  // Quirks; nullptr / 0 means none.
  // Around an Append or Insert run: BeginRows is untimed preparation, EndRows is timed. Without them the
  // run is bracketed by DisableControls / EnableControls. (The FD table runs one batch; the Mdb table
  // opens a closed table before disabling controls.)
  void (*BeginRows)(TDataSet* DataSet) = nullptr;
  void (*EndRows)(TDataSet* DataSet) = nullptr;
  // The test-all walk leaves the Insert button out when the Append count is above this.
  int TestAllSkipsInsertAbove = 0;
};

// Every engine built into this program, in class-test order.
std::span<const TEngineRow* const> EngineRows();
// The row whose class test DataSet passes first; nullptr for none (and for nullptr).
const TEngineRow* EngineRowOf(const TDataSet* DataSet);
// The row that fills a column; nullptr while that engine is not built.
const TEngineRow* EngineRowFor(TEngineKind Kind);
TEngineKind EngineKindOf(const TDataSet* DataSet);
