// Small helpers shared by the framework's tests: a dataset of integer rows and a data link that counts
// what it is told.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/db/testing/VectorDataSet.h"

namespace dbtest {

// A dataset with an ftInteger "ID" and an ftString(10) "Name", open, holding rows with the given IDs.
inline void OpenWithIds(TVectorDataSet& ds, const std::vector<int>& ids) {
  if (ds.FieldDefs().Count() == 0) {
    ds.FieldDefs().Add(u"ID", ftInteger);
    ds.FieldDefs().Add(u"Name", ftString, 10);
  }
  ds.Open();
  TField* id = ds.FieldByName(u"ID");
  for (int v : ids) {
    ds.Append();
    id->SetAsInteger(v);
    ds.Post();
  }
}

// The IDs in row order, walked with First/Next (the dataset's own navigation).
inline std::vector<int> Ids(TDataSet& ds) {
  std::vector<int> out;
  TBookmark keep = ds.GetBookmark();
  TField* id = ds.FieldByName(u"ID");
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(id->AsInteger());
  if (!keep.empty() && ds.BookmarkValid(keep)) ds.GotoBookmark(keep);
  return out;
}

// A persistent field as a designer makes it: owned by the dataset, named, sized (when Size > 0), of the
// given kind, and added to the dataset's fields last.
template <class FieldClass>
FieldClass* AddField(TDataSet& ds, const char16_t* name, TFieldKind kind = fkData, int size = 0) {
  auto* field = new FieldClass(&ds);
  field->SetFieldName(name);
  if (size > 0) field->SetSize(size);
  if (kind != fkData) field->SetFieldKind(kind);
  field->SetDataSet(&ds);
  return field;
}

class CountingLink : public TDataLink {
 public:
  int Changes = 0;
  int Scrolls = 0;
  int RecordChanges = 0;
  int ActiveChanges = 0;
  int Layouts = 0;

 protected:
  void ActiveChanged() override { ++ActiveChanges; }
  void DataSetChanged() override { ++Changes; }
  void DataSetScrolled(int) override { ++Scrolls; }
  void RecordChanged(TField*) override { ++RecordChanges; }
  void LayoutChanged() override { ++Layouts; }
};

// A dataset holding rows with the given IDs, a data source over it and a counting link on that source.
// The link lets go first, as a form's controls do before their data source and dataset.
struct Linked {
  TVectorDataSet ds{nullptr};
  TDataSource src{nullptr};
  CountingLink link;
  explicit Linked(const std::vector<int>& ids) {
    OpenWithIds(ds, ids);
    src.SetDataSet(&ds);
    link.SetDataSource(&src);
  }
  ~Linked() { link.SetDataSource(nullptr); }
};

}  // namespace dbtest
