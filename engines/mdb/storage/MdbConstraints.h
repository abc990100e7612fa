// The constraint manager of a table: its constraint definitions, the linking of their column and index
// names to object ids, generated names for unnamed constraints, the constraints that unique and
// primary indexes imply, the mirror entries of foreign keys pointing at the table, and the check of a
// record image against every constraint before the table data stores it. Its stream is the constraint
// list (MdbMetaDefs.h).
#pragma once

#include <cstdint>

#include "engines/mdb/storage/MdbMetaDefs.h"

class TStream;
class TMdbCursor;
class TMdbTableData;

class TMdbBaseConstraintManager : public TObject {
  VELLUM_CLASS(TMdbBaseConstraintManager)
 public:
  explicit TMdbBaseConstraintManager(TMdbTableData* aTableData) : FTableData(aTableData) {}

  void LoadFromStream(TStream* Stream);
  void SaveToStream(TStream* Stream) const { FConstraintDefs.SaveToStream(Stream); }
  // Raises on the first violated constraint, in list order.
  void CheckConstraints(TMdbCursor* Cursor, std::int32_t SessionID, const Byte* NewRecordBuffer,
                        const Byte* OldRecordBuffer, bool ToInsert, const TMdbRecordID& CurrentRecordID,
                        bool SkipFKCheck);
  void LinkObjectId(TMdbConstraintDef* ConstraintDef);
  void LinkObjectIds();
  void FillConstraintAutoNames();
  TMdbConstraintDefUnique* AddConstraintFromIndex(const TMdbIndexDef* IndexDef);
  void DeleteConstraintForIndexID(std::int32_t IndexObjectID);
  TMdbConstraintDefForeignKeyAction* AddForeignKeyAction(const TMdbConstraintDefForeignKey* ConstraintDef,
                                                         const String& ReferencedTableName,
                                                         std::int32_t ReferencedTableObjectID);

  TMdbConstraintDefs& ConstraintDefs() { return FConstraintDefs; }
  TMdbTableData* TableData() const { return FTableData; }
  bool FEmpty = true;

 private:
  TMdbConstraintDefs FConstraintDefs;
  TMdbTableData* FTableData;
};

// Compares a CHECK bound (Bound, of the bound's type) with a column value (ColumnSize bytes of
// ColumnType) in the common type of the two: cmprLower, cmprEqual or cmprGreater of the bound against
// the value. 30044 without a common type, 30140 for a side without data, 30045 / 30046 for a failed
// text comparison, 30047 for a type that has no order.
TMdbCompareResult CompareCheckBound(const TMdbVariant& Bound, const Byte* Column, std::int32_t ColumnSize,
                                    TMdbBaseFieldType ColumnType);
