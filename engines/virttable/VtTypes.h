// The field-type map of the virtual table: platform field types ↔ the record set's internal codes.
#pragma once

#include "engines/virttable/VtData.h"
#include "platform/db/FieldTypes.h"

namespace vt {

class TFieldTypeMap {
 public:
  // The code a field of FieldType is held in (SubType may refine integers and floats); dtUnknown
  // for a type the record set cannot hold.
  static Word GetDataType(TFieldType FieldType, Word SubType = 0);
  // The platform type of a code; ftUnknown for codes no field type maps to.
  static TFieldType GetFieldType(Word DataType);
};

}  // namespace vt
