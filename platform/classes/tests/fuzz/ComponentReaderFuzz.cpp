// libFuzzer harness of component streaming's binary reader: reads the input as a component (made by
// the reader, and into a root that exists), and converts it to the text form, which must convert back
// to a binary that gives the same text again.
#include <cstdlib>

#include "platform/classes/ObjectText.h"
#include "platform/classes/tests/fuzz/FuzzClasses.h"
#include "platform/sys/CodePage.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  fuzzclasses::Register();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::vector<Byte> bytes(Data, Data + Size);
  {
    TBytesStream input(bytes);
    try {
      std::unique_ptr<TComponent> read(input.ReadComponent(nullptr));
    } catch (const Exception&) {
      if (input.Position() != 0) std::abort();  // a failed read leaves the stream where it was
    }
  }
  {
    fuzzclasses::TThing root(nullptr);
    TBytesStream input(bytes);
    try {
      input.ReadComponent(&root);
    } catch (const Exception&) {
      if (root.HasState(csLoading) || root.HasState(csReading)) std::abort();
    }
  }
  TBytesStream input(bytes);
  TBytesStream text;
  try {
    ObjectBinaryToText(&input, &text);
  } catch (const Exception&) {
    if (text.Size() != 0 || input.Position() != 0) std::abort();
    return 0;
  }
  // What converted to text converts back, and that binary gives the same text.
  text.SetPosition(0);
  TBytesStream binary;
  ObjectTextToBinary(&text, &binary);
  binary.SetPosition(0);
  TBytesStream again;
  ObjectBinaryToText(&binary, &again);
  if (again.Bytes() != text.Bytes()) std::abort();
  return 0;
}
