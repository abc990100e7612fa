// Shared set-up of the virtual table's tests: the benchmark's seven-field table, code page 936.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engines/virttable/VirtTable.h"
#include "platform/rtl/DateTime.h"
#include "platform/sys/CodePage.h"

namespace vttest {

inline std::vector<Byte> Hex(std::string_view hex) {
  std::vector<Byte> out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits.push_back(c);
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<Byte>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::vector<Byte> Bytes(TMemoryStream& s) {
  const auto* p = static_cast<const Byte*>(s.Memory());
  return std::vector<Byte>(p, p + s.Size());
}

inline void Fill(TMemoryStream& s, const std::vector<Byte>& bytes) {
  s.SetSize(0);
  if (!bytes.empty()) s.WriteBuffer(bytes.data(), static_cast<Int64>(bytes.size()));
  s.SetPosition(0);
}

inline void AddBenchmarkDefs(TFieldDefs& Defs) {
  Defs.Add(u"CustomerID", ftInteger, 0, false);
  Defs.Add(u"ContactName", ftString, 10, false);
  Defs.Add(u"Birthdate", ftDateTime, 0, false);
  Defs.Add(u"MaritalStatus", ftBoolean, 0, false);
  Defs.Add(u"Salary", ftFloat, 0, false);
  Defs.Add(u"Address", ftWideString, 20, false);
  Defs.Add(u"Comment", ftWideMemo, 0, false);
}

class CodePage936 : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = sys::GetSystemCodePage();
    sys::SetSystemCodePage(936);
  }
  void TearDown() override { sys::SetSystemCodePage(saved); }
  unsigned saved = 0;
};

// The benchmark's table, open and empty.
inline std::unique_ptr<TVirtTable> BenchmarkTable() {
  auto t = std::make_unique<TVirtTable>(nullptr);
  AddBenchmarkDefs(t->FieldDefs());
  t->Open();
  return t;
}

inline void AppendBenchmarkRow(TDataSet& t, int Id, const String& Name, TDateTime Birth, bool Married, double Salary) {
  t.Append();
  t.FieldByName(u"CustomerID")->SetAsInteger(Id);
  t.FieldByName(u"ContactName")->SetAsString(Name);
  t.FieldByName(u"Birthdate")->SetAsDateTime(Birth);
  t.FieldByName(u"MaritalStatus")->SetAsBoolean(Married);
  t.FieldByName(u"Salary")->SetAsFloat(Salary);
  t.FieldByName(u"Address")->SetAsString(u"Address for " + t.FieldByName(u"ContactName")->AsString());
  t.FieldByName(u"Comment")->SetAsString(u"Comment for " + t.FieldByName(u"ContactName")->AsString());
  t.Post();
}

// Every row's CustomerID, in order.
inline std::vector<int> Ids(TDataSet& t) {
  std::vector<int> ids;
  t.First();
  while (!t.Eof()) {
    ids.push_back(t.FieldByName(u"CustomerID")->AsInteger());
    t.Next();
  }
  return ids;
}

}  // namespace vttest
