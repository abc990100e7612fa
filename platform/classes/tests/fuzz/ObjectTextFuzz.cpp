// libFuzzer harness of ObjectTextToBinary: text the parser takes gives a binary that converts to text
// and back to the same binary.
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
  TBytesStream input(std::vector<Byte>(Data, Data + Size));
  TBytesStream binary;
  try {
    ObjectTextToBinary(&input, &binary);
  } catch (const Exception&) {
    if (binary.Size() != 0 || input.Position() != 0) std::abort();
    return 0;
  }
  binary.SetPosition(0);
  TBytesStream text;
  try {
    ObjectBinaryToText(&binary, &text);
  } catch (const Exception&) {
    // A value the text form cannot carry back (a name it cannot write bare) is refused clearly; what
    // the parser itself wrote must not be among them.
    std::abort();
  }
  text.SetPosition(0);
  TBytesStream back;
  ObjectTextToBinary(&text, &back);
  if (back.Bytes() != binary.Bytes()) std::abort();
  // The binary reads as a component too (or is refused cleanly).
  binary.SetPosition(0);
  try {
    std::unique_ptr<TComponent> read(binary.ReadComponent(nullptr));
  } catch (const Exception&) {
  }
  return 0;
}
