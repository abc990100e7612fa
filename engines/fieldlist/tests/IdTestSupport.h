// A field-list dataset with the benchmark's seven fields, and helpers to fill and read it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engines/fieldlist/IdDataSet.h"
#include "platform/sys/CodePage.h"

namespace idtest {

struct Row {
  int Id;
  String Name;
  double Salary;
  bool NullName = false;
};

// Exposes the engine slots a test drives directly.
class TTestDataSet : public TIdMemDataSet {
 public:
  using TIdMemDataSet::TIdMemDataSet;
  using TIdCustomDataSet::CursorAddRecord;
  using TIdCustomDataSet::CursorFirst;
  using TIdCustomDataSet::FetchRecord;
  using TIdCustomDataSet::ReadFromStream;
};

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    DS = std::make_unique<TTestDataSet>(nullptr);
    DS->SetName(u"IdMemDataSet1");
    TFieldDefs& defs = DS->VirtualFieldDefs();
    defs.Add(u"CustomerID", ftInteger);
    defs.Add(u"ContactName", ftString, 10);
    defs.Add(u"Birthdate", ftDateTime);
    defs.Add(u"MaritalStatus", ftBoolean);
    defs.Add(u"Salary", ftFloat);
    defs.Add(u"Address", ftWideString, 20);
    defs.Add(u"Comment", ftWideMemo);
    DS->CreateDataSet();
  }
  void TearDown() override { DS.reset(); }

  TField* F(const char16_t* name) const { return DS->FieldByName(name); }

  void Add(const Row& r, bool append = true) {
    if (append) DS->Append();
    else DS->Insert();
    F(u"CustomerID")->SetAsInteger(r.Id);
    if (!r.NullName) F(u"ContactName")->SetAsString(r.Name);
    F(u"Birthdate")->SetAsDateTime(30000 + r.Id);
    F(u"MaritalStatus")->SetAsBoolean(r.Id % 2 == 0);
    F(u"Salary")->SetAsFloat(r.Salary);
    F(u"Address")->SetAsString(u"Address for " + r.Name);
    F(u"Comment")->SetAsString(u"Comment for " + r.Name);
    DS->Post();
  }
  void AddAll(const std::vector<Row>& rows) {
    for (const Row& r : rows) Add(r);
  }
  // CustomerID of every record of the view, in order.
  std::vector<int> Ids() {
    std::vector<int> ids;
    DS->First();
    while (!DS->Eof()) {
      ids.push_back(F(u"CustomerID")->AsInteger());
      DS->Next();
    }
    return ids;
  }
  TBytes Saved() {
    TBytesStream s;
    DS->SaveToStream(&s);
    return s.Bytes();
  }

  std::unique_ptr<TTestDataSet> DS;
};

}  // namespace idtest
