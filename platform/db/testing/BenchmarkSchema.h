// The benchmark's table, written once for the window, the engines' tests and the benchmarks: the
// seven-field schema, the name table the row generator draws from, and the generator itself.
// Part of the db testing kit (library vellum_db_testing): it calls platform/db and platform/rtl only.
#pragma once

#include "platform/db/DB.h"
#include "platform/rtl/DateTime.h"

// The seven fields, in order: CustomerID ftInteger, ContactName ftString(10), Birthdate ftDateTime,
// MaritalStatus ftBoolean, Salary ftFloat, Address ftWideString(20), Comment ftWideMemo; none required.
void AddBenchmarkSchema(TFieldDefs& Defs);

// The 504 family names the generator draws from, in their fixed order.
inline constexpr int kSurnameCount = 504;
extern const char16_t* const SurnameTable[kSurnameCount];

// A new Chinese personal name: a family name, then one or two characters of U+4E00..U+9FA5.
String RandomContactName();

// The seven fields of an open dataset, looked up once per run (FieldByName raises for a missing one).
struct TBenchmarkFields {
  explicit TBenchmarkFields(const TDataSet& DataSet);
  TField* CustomerID;
  TField* ContactName;
  TField* Birthdate;
  TField* MaritalStatus;
  TField* Salary;
  TField* Address;
  TField* Comment;
};

// One row's drawn values, before any engine stores them: the draws of FillBenchmarkRow, in its order.
struct TBenchmarkRow {
  int CustomerID = 0;
  String ContactName;
  TDateTime Birthdate = 0;
  bool MaritalStatus = false;
  double Salary = 0;
};
TBenchmarkRow DrawBenchmarkRow(int CustomerID);

// Fills the record being appended or inserted as the benchmark does: CustomerID, a random name, a
// birth date 15 to 44 years before now, a random marital status and salary, and an address and a
// comment made from the name as the engine stored it. The random draws run in a fixed order.
void FillBenchmarkRow(const TBenchmarkFields& Fields, int CustomerID);
