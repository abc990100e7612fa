// libFuzzer harness of the field-list "TD"/"TR" reader: loads the input into a dataset that holds rows,
// and checks that a refused load left them exactly as they were and an accepted one saves again.
#include <cstdlib>

#include "engines/fieldlist/IdDataSet.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/sys/CodePage.h"

namespace {

// Fields N (integer) and S (text of 8) that came from a stream, so that "TR" rows can land too.
const TBytes& HeldStream() {
  static const TBytes bytes = [] {
    TIdMemDataSet source(nullptr);
    source.VirtualFieldDefs().Add(u"N", ftInteger);
    source.VirtualFieldDefs().Add(u"S", ftString, 8);
    source.CreateDataSet();
    source.Append();
    source.FieldByName(u"N")->SetAsInteger(42);
    source.FieldByName(u"S")->SetAsString(u"kept");
    source.Post();
    TBytesStream s;
    source.SaveToStream(&s);
    return s.Bytes();
  }();
  return bytes;
}

std::unique_ptr<TIdMemDataSet> HeldDataSet() {
  auto ds = std::make_unique<TIdMemDataSet>(nullptr);
  TBytesStream s(HeldStream());
  ds->LoadFromStream(&s);
  return ds;
}

TBytes Saved(TIdMemDataSet& ds) {
  TBytesStream s;
  ds.SaveToStream(&s);
  return s.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  SetLoadMemoryLimit(64 << 20);  // the fuzzer's memory limit is the machine's for this harness
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const auto ds = HeldDataSet();
  const TBytes before = Saved(*ds);
  TBytesStream input(TBytes(Data, Data + Size));
  try {
    ds->LoadFromStream(&input);
  } catch (const Exception&) {
    // Refused: nothing held may be lost.
    if (!ds->Active() || Saved(*ds) != before) std::abort();
    return 0;
  }
  if (ds->Active()) {
    // Accepted: every row reads (a stored value a field cannot show raises, cleanly) and the dataset
    // saves again.
    for (ds->First(); !ds->Eof(); ds->Next())
      for (TField* f : ds->Fields()) {
        try {
          (void)f->AsString();
        } catch (const Exception&) {
        }
      }
    (void)Saved(*ds);
  }
  return 0;
}
