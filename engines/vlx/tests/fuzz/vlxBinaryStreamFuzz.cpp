// libFuzzer harness of the vlx binary stream reader: loads the input into a table of the benchmark's
// fields that holds rows, once keeping the table's fields and once taking the stream's definitions, and
// checks that a refused load left the table exactly as it was and an accepted one reads and saves again.
#include <cstdlib>

#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/sys/CodePage.h"

namespace {

std::unique_ptr<TvlxMemTable> HeldTable() {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  AddBenchmarkSchema(t->FieldDefs());
  t->CreateTable();
  t->Open();
  for (int i = 1; i <= 2; ++i) {
    t->Append();
    t->Fields()[0]->SetAsInteger(i);
    t->Fields()[1]->SetAsString(u"\u8D75\u94B1");
    t->Fields()[6]->SetAsString(u"kept");
    t->Post();
  }
  return t;
}

TBytes Saved(TvlxMemTable& t, TvlxBinaryStreamFormat& format) {
  TBytesStream s;
  t.SaveToStreamViaFormat(&s, &format);
  return s.Bytes();
}

void Check(const std::uint8_t* Data, std::size_t Size, bool TakeDefinitions) {
  const auto t = HeldTable();
  TvlxBinaryStreamFormat format;
  if (!TakeDefinitions) format.sfDef &= ~sfLoadDef;
  const TBytes before = Saved(*t, format);
  const int recNo = t->RecNo();
  TBytesStream input(TBytes(Data, Data + Size));
  try {
    t->LoadFromStreamViaFormat(&input, &format);
  } catch (const Exception&) {
    // Refused: nothing held may be lost, the position neither.
    if (!t->Active() || Saved(*t, format) != before || t->RecNo() != recNo) std::abort();
    return;
  }
  if (!t->Active()) return;
  // Accepted: every row reads (a stored value a field cannot show raises, cleanly) and the table saves
  // again.
  for (t->First(); !t->Eof(); t->Next())
    for (int i = 0; i < t->FieldCount(); ++i) {
      try {
        (void)t->Fields()[i]->AsString();
      } catch (const Exception&) {
      }
    }
  (void)Saved(*t, format);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  SetLoadMemoryLimit(64 << 20);  // the fuzzer's memory limit is the machine's for this harness
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  Check(Data, Size, false);
  Check(Data, Size, true);
  return 0;
}
