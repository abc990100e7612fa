// Shared set-up of the vlx tests: the benchmark's seven-field table and a few readers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/Random.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace vlxtest {

inline void AddBenchmarkSchema(TFieldDefs& Defs) {
  Defs.Add(u"CustomerID", ftInteger, 0, false);
  Defs.Add(u"ContactName", ftString, 10, false);
  Defs.Add(u"Birthdate", ftDateTime, 0, false);
  Defs.Add(u"MaritalStatus", ftBoolean, 0, false);
  Defs.Add(u"Salary", ftFloat, 0, false);
  Defs.Add(u"Address", ftWideString, 20, false);
  Defs.Add(u"Comment", ftWideMemo, 0, false);
}

inline std::unique_ptr<TvlxMemTable> MakeBenchmarkTable(bool Open = true) {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  AddBenchmarkSchema(t->FieldDefs());
  t->CreateTable();
  if (Open) t->Open();
  return t;
}

// One benchmark row with values derived from I.
inline void FillRow(TDataSet& T, int I) {
  T.FieldByName(u"CustomerID")->SetAsInteger(I);
  T.FieldByName(u"ContactName")->SetAsString(u"Name" + IntToStr(I));
  T.FieldByName(u"Birthdate")->SetAsDateTime(30000.5 + I);
  T.FieldByName(u"MaritalStatus")->SetAsBoolean(I % 2 == 0);
  T.FieldByName(u"Salary")->SetAsFloat(4000.25 + I);
  T.FieldByName(u"Address")->SetAsString(u"Address " + IntToStr(I));
  T.FieldByName(u"Comment")->SetAsString(u"Comment for " + IntToStr(I));
}

inline void AppendRows(TDataSet& T, int From, int To) {
  for (int i = From; i <= To; ++i) {
    T.Append();
    FillRow(T, i);
    T.Post();
  }
}

// CustomerID of every row in view order.
inline std::vector<int> Ids(TDataSet& T) {
  std::vector<int> ids;
  T.First();
  while (!T.Eof()) {
    ids.push_back(T.FieldByName(u"CustomerID")->AsInteger());
    T.Next();
  }
  return ids;
}

class VlxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    SetRandSeed(12345);
  }
};

}  // namespace vlxtest
