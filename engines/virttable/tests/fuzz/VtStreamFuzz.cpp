// libFuzzer harness of the virtual table's stream reader (versions 0 to 3): loads the input into a table
// that holds rows, and checks that a refused load left them exactly as they were and an accepted one
// reads and saves again.
#include <cstdlib>

#include "engines/virttable/VirtTable.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/sys/CodePage.h"

namespace {

// A table of every kind of value the format carries, one row with values and one all null.
std::unique_ptr<TVirtTable> HeldTable() {
  auto t = std::make_unique<TVirtTable>(nullptr);
  t->FieldDefs().Add(u"N", ftInteger);
  t->FieldDefs().Add(u"S", ftString, 8);
  t->FieldDefs().Add(u"W", ftWideString, 8);
  t->FieldDefs().Add(u"D", ftDateTime);
  t->FieldDefs().Add(u"M", ftWideMemo);
  t->FieldDefs().Add(u"V", ftVariant);
  t->Open();
  t->Append();
  t->FieldByName(u"N")->SetAsInteger(42);
  t->FieldByName(u"S")->SetAsString(u"kept");
  t->FieldByName(u"W")->SetAsString(u"wide");
  t->FieldByName(u"D")->SetAsDateTime(45000.25);
  t->FieldByName(u"M")->SetAsString(u"memo");
  t->FieldByName(u"V")->SetAsInteger(7);
  t->Post();
  t->Append();
  t->Post();
  return t;
}

TBytes Saved(TVirtTable& t) {
  TBytesStream s;
  t.SaveToStream(&s);
  return s.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  SetLoadMemoryLimit(64 << 20);  // the fuzzer's memory limit is the machine's for this harness
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const auto t = HeldTable();
  const TBytes before = Saved(*t);
  TBytesStream input(TBytes(Data, Data + Size));
  try {
    t->LoadFromStream(&input);
  } catch (const Exception&) {
    // Refused: nothing held may be lost.
    if (!t->Active() || t->RecordCount() != 2 || Saved(*t) != before) std::abort();
    return 0;
  }
  if (t->Active()) {
    // Accepted: every value reads (one a field cannot show raises, cleanly) and the table saves again.
    for (t->First(); !t->Eof(); t->Next())
      for (TField* f : t->Fields()) {
        try {
          (void)f->AsString();
        } catch (const Exception&) {
        }
      }
    (void)Saved(*t);
  }
  return 0;
}
