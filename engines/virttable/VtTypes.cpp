#include "engines/virttable/VtTypes.h"

namespace vt {

Word TFieldTypeMap::GetDataType(TFieldType FieldType, Word SubType) {
  switch (FieldType) {
    case ftString: case ftFixedChar: return dtString;
    case ftWideString: case ftFixedWideChar: return dtWideString;
    case ftShortint: return dtInt8;
    case ftSmallint: return SubType == dtInt8 || SubType == dtUInt8 ? SubType : static_cast<Word>(dtInt16);
    case ftInteger: case ftAutoInc: return dtInt32;
    case ftLargeint: return SubType == dtUInt32 ? dtUInt32 : dtInt64;
    case ftByte: return dtUInt8;
    case ftWord: return dtUInt16;
    case ftLongWord: return dtUInt32;
    case ftSingle: return dtSingle;
    case ftFloat: return SubType == dtSingle ? dtSingle : dtFloat;
    case ftExtended: return dtExtended;
    case ftCurrency: return dtCurrency;
    case ftBCD: return dtBCD;
    case ftFMTBcd: return dtFMTBCD;
    case ftDate: return dtDate;
    case ftTime: return dtTime;
    case ftDateTime: return dtDateTime;
    case ftTimeStamp: return dtSQLTimeStamp;
    case ftTimeStampOffset: return dtSQLTimeStampOffset;
    case ftBoolean: return dtBoolean;
    case ftBytes: return dtBytes;
    case ftVarBytes: return dtVarBytes;
    case ftBlob: case ftGraphic: return dtBlob;
    case ftMemo: case ftFmtMemo: return dtMemo;
    case ftWideMemo: return dtWideMemo;
    case ftVariant: return dtVariant;
    case ftADT: return dtObject;
    case ftReference: return dtReference;
    case ftArray: return dtArray;
    case ftDataSet: return dtTable;
    case ftGuid: return dtGuid;
    case ftCursor: return dtCursor;
    default: return dtUnknown;
  }
}

TFieldType TFieldTypeMap::GetFieldType(Word DataType) {
  switch (DataType) {
    case dtString: case dtExtString: return ftString;
    case dtWideString: case dtExtWideString: return ftWideString;
    case dtInt8: return ftShortint;
    case dtInt16: return ftSmallint;
    case dtInt32: return ftInteger;
    case dtInt64: return ftLargeint;
    case dtUInt8: return ftByte;
    case dtUInt16: return ftWord;
    case dtUInt32: return ftLongWord;
    case dtUInt64: return ftLargeint;
    case dtSingle: return ftSingle;
    case dtFloat: return ftFloat;
    case dtExtended: return ftExtended;
    case dtCurrency: return ftCurrency;
    case dtBCD: return ftBCD;
    case dtFMTBCD: return ftFMTBcd;
    case dtDate: return ftDate;
    case dtTime: return ftTime;
    case dtDateTime: return ftDateTime;
    case dtSQLTimeStamp: return ftTimeStamp;
    case dtSQLTimeStampOffset: return ftTimeStampOffset;
    case dtBoolean: return ftBoolean;
    case dtBytes: return ftBytes;
    case dtVarBytes: case dtExtVarBytes: return ftVarBytes;
    case dtBlob: return ftBlob;
    case dtMemo: return ftMemo;
    case dtWideMemo: return ftWideMemo;
    case dtVariant: return ftVariant;
    case dtObject: return ftADT;
    case dtReference: return ftReference;
    case dtArray: return ftArray;
    case dtTable: return ftDataSet;
    case dtGuid: return ftGuid;
    case dtCursor: return ftCursor;
    default: return ftUnknown;
  }
}

}  // namespace vt
