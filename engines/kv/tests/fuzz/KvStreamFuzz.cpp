// libFuzzer harness of the Kv save-format reader: loads the input (binary or object text, as
// LoadFromFile tells them apart) into a table that holds rows, and checks that a refused load left the
// table exactly as it was and an accepted one reads and saves again.
#include <cstdlib>

#include "engines/kv/MemTableKv.h"
#include "platform/classes/ObjectText.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/sys/CodePage.h"

namespace {

std::unique_ptr<TMemTableKv> HeldTable() {
  auto t = std::make_unique<TMemTableKv>(nullptr);
  t->FieldDefs().Add(u"N", ftInteger);
  t->FieldDefs().Add(u"S", ftString, 8);
  t->FieldDefs().Add(u"M", ftWideMemo);
  t->CreateDataSet();
  t->Append();
  t->FieldByName(u"N")->SetAsInteger(42);
  t->FieldByName(u"S")->SetAsString(u"kept");
  t->FieldByName(u"M")->SetAsString(u"memo");
  t->Post();
  return t;
}

std::vector<Byte> Saved(TMemTableKv& t) {
  TBytesStream s;
  t.SaveToStream(&s);
  return s.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  InitializeMemTableDataKv();
  SetLoadMemoryLimit(64 << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const auto t = HeldTable();
  const std::vector<Byte> before = Saved(*t);
  TBytesStream input(std::vector<Byte>(Data, Data + Size));
  try {
    switch (TestStreamFormat(&input)) {
      case TStreamOriginalFormat::sofText:
      case TStreamOriginalFormat::sofUTF8Text: {
        TMemoryStream binary;
        ObjectTextToBinary(&input, &binary);
        binary.SetPosition(0);
        t->LoadFromStream(&binary);
        break;
      }
      default: t->LoadFromStream(&input); break;
    }
  } catch (const Exception&) {
    // Refused: the table is open and holds what it held.
    if (!t->Active() || Saved(*t) != before) std::abort();
    return 0;
  }
  if (t->Active()) {
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
