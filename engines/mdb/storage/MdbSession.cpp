#include "engines/mdb/storage/MdbSession.h"

TMdbSessionNamedObject* TMdbBaseSession::GetNamedObject(std::u16string_view ObjectName) const {
  for (const auto& O : FSessionNamedObjectList)
    if (O->Name == ObjectName) return O.get();
  return nullptr;
}

void TMdbBaseSession::SetSequenceValue(const String& Name, Int64 Value) {
  if (auto* O = dynamic_cast<TMdbSessionNamedObjectSequenceValue*>(GetNamedObject(Name))) {
    O->Value = Value;
    return;
  }
  FSessionNamedObjectList.push_back(std::make_unique<TMdbSessionNamedObjectSequenceValue>(Name, Value));
}
