// Index, constraint and view definitions with their owning lists and stream forms. Column and
// sequence definitions, the common head and the list template are in MdbFieldDefs.h.
//
// Index column: FieldName ws (10354 / 10358), Descending UInt8 raw (10356 / 10360), CaseInsensitive
//   UInt8 raw (10357 / 10361).
// Index definition after the head: IndexType UInt8 (10344 / 10349), Unique UInt8 raw (10345 / 10350),
//   Primary UInt8 raw (10346 / 10351), column count Int32 (10347 / 10352), RootPageNo Int32
//   (10348 / 10353), then the columns.
// Index list: Int32 count of the definitions not Temporary (10343 / 10159), then those definitions.
//
// Constraint definitions after the head, by class:
//   not null   ColumnObjectID Int32 (10242 / 10251), ColumnName ws (10247 / 10256)
//   check      ColumnObjectID Int32 (10229 / 10232), ColumnName ws (10225 / 10237), MinValue, MaxValue
//              (value forms)
//   unique, PK IndexObjectID Int32 (30318 / 30317), IndexName ws (30400 / 30396), column count Int32
//              (30394 / 30309), per column ColumnObjectID Int32 (30395 / 30310), ColumnName ws
//              (30397 / 30311)
//   FK, FK action  ReferencedTableName ws (11408 / 11398), ReferencedTableObjectID Int32 (11410 / 11400),
//              ReferencedFKName ws (11436 / 11439), ReferencedFKObjectID Int32 (11438 / 11441),
//              DeleteAction UInt8 (11412 / 11402), UpdateAction UInt8 (11413 / 11403), MatchType UInt8
//              (11411 / 11401), column count Int32 (11414 / 11404), per column ColumnObjectID Int32
//              (11415 / 11405), ColumnName ws (11416 / 11406)
// Constraint list: Int32 count (10158 / 10159), then per definition a UInt8 ConstraintType (10219 /
//   10220; 30316 for a type outside 0..5) and the definition.
//
// View definition after the head: SelectStatement ws (12558 / 12555), Comment ws (12559 / 12576),
//   WithCheckOption bool (12575 / 12556), ChildrenNames and ColumnNames as name arrays (11954 /
//   11955, 11956). View list: Int32 count (10158 / 10159), then the definitions.
//
// Readers check enum bytes and counts against the bytes left before they build anything, and every
// list is read into a fresh list that replaces the old one only when the whole list was read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbNameArray.h"
#include "engines/mdb/storage/MdbFieldDefs.h"

class TMdbWideStringList;

enum TMdbIndexType : Byte { itBTree, itAnotherOne };
enum TMdbConstraintType : Byte { ctPK, ctFK, ctUnique, ctNotNull, ctCheck, ctFKAction };
enum TMdbConstraintForeignKeyAction : Byte { cfkaDefault, cfkaCascade, cfkaSetNull, cfkaSetDefault, cfkaNoAction };
enum TMdbConstraintForeignKeyMatchType : Byte { cfkmtDefault, cfkmtFull, cfkmtPartial };

// ---- indexes ---------------------------------------------------------------------------------------------

struct TMdbIndexColumn {
  String FieldName;
  std::uint32_t NameCRC = 0;
  Byte Descending = 0;       // raw one-byte Boolean
  Byte CaseInsensitive = 0;  // raw one-byte Boolean
};

class TMdbIndexDef : public TMdbMetaObjectDef {
  VELLUM_CLASS(TMdbIndexDef)
 public:
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;

  std::int32_t ColumnCount() const { return static_cast<std::int32_t>(FIndexColumns.size()); }
  // New positions get empty columns; surplus ones go from the end.
  void SetColumnCount(std::int32_t Value);
  // A position outside the columns is a range error (std::out_of_range).
  TMdbIndexColumn& GetIndexColumn(std::int32_t Index) { return FIndexColumns.at(static_cast<std::size_t>(Index)); }
  const TMdbIndexColumn& GetIndexColumn(std::int32_t Index) const {
    return FIndexColumns.at(static_cast<std::size_t>(Index));
  }

  TMdbIndexType FIndexType = itBTree;
  std::vector<TMdbIndexColumn> FIndexColumns;
  Byte FUnique = 0;
  Byte FPrimary = 0;
  std::int32_t FRootPageNo = -1;
  Byte FTemporary = 0;  // never written to a stream
};

class TMdbIndexDefs : public TMdbDefList<TMdbIndexDef> {
 public:
  TMdbIndexDef* GetIndexDef(std::int32_t Index) const { return GetDef(Index); }
  void SetIndexDef(std::int32_t Index, std::unique_ptr<TMdbIndexDef> Value) {
    FItems.at(static_cast<std::size_t>(Index)) = std::move(Value);
  }
  TMdbIndexDef* GetIndexDefByName(std::u16string_view Name) const { return GetDefByName(Name); }
  // The object id of the first index whose leading columns match the names ("ASC"/"DESC" and
  // "CASE"/"NO_CASE" restrict a column, any other text accepts both); -1 when none. 10389..10391 for
  // a nil list, 10276 / 10277 for a list whose length differs from FieldNames'.
  std::int32_t FindIndex(const TMdbWideStringList* FieldNames, const TMdbWideStringList* AscDescList,
                         const TMdbWideStringList* CaseSensitivityList) const;
  TMdbIndexDef* FindPrimaryIndex() const;
  void LoadFromStream(TStream* Stream);
  void SaveToStream(TStream* Stream) const;
};

// ---- constraints -----------------------------------------------------------------------------------------

struct TMdbConstraintColumn {
  String ColumnName;
  std::int32_t ColumnObjectID = 0;
  bool operator==(const TMdbConstraintColumn&) const = default;
};

class TMdbConstraintDef : public TMdbMetaObjectDef {
  VELLUM_CLASS(TMdbConstraintDef)
 public:
  explicit TMdbConstraintDef(TMdbConstraintType aType) : FConstraintType(aType) {}
  void Assign(const TMdbMetaObjectDef* Source) override;
  TMdbConstraintType ConstraintType() const { return FConstraintType; }

 protected:
  TMdbConstraintType FConstraintType;
};

class TMdbConstraintDefNotNull : public TMdbConstraintDef {
  VELLUM_CLASS(TMdbConstraintDefNotNull)
 public:
  TMdbConstraintDefNotNull() : TMdbConstraintDef(ctNotNull) {}
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;

  String ColumnName;
  std::int32_t ColumnObjectID = 0;
};

class TMdbConstraintDefCheck : public TMdbConstraintDef {
  VELLUM_CLASS(TMdbConstraintDefCheck)
 public:
  TMdbConstraintDefCheck();
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;

  String ColumnName;
  std::int32_t ColumnObjectID = 0;
  std::unique_ptr<TMdbVariant> MinValue;  // NULL: no lower bound
  std::unique_ptr<TMdbVariant> MaxValue;  // NULL: no upper bound
};

class TMdbConstraintDefUnique : public TMdbConstraintDef {
  VELLUM_CLASS(TMdbConstraintDefUnique)
 public:
  TMdbConstraintDefUnique() : TMdbConstraintDef(ctUnique) {}
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;

  String IndexName;
  std::int32_t IndexObjectID = 0;
  std::vector<TMdbConstraintColumn> Columns;

 protected:
  explicit TMdbConstraintDefUnique(TMdbConstraintType aType) : TMdbConstraintDef(aType) {}
};

class TMdbConstraintDefPrimary : public TMdbConstraintDefUnique {
  VELLUM_CLASS(TMdbConstraintDefPrimary)
 public:
  TMdbConstraintDefPrimary() : TMdbConstraintDefUnique(ctPK) {}
};

class TMdbConstraintDefForeignKeyAction : public TMdbConstraintDef {
  VELLUM_CLASS(TMdbConstraintDefForeignKeyAction)
 public:
  TMdbConstraintDefForeignKeyAction() : TMdbConstraintDef(ctFKAction) {}
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;

  String ReferencedTableName;
  std::int32_t ReferencedTableObjectID = 0;
  String ReferencedFKName;
  std::int32_t ReferencedFKObjectID = 0;
  TMdbConstraintForeignKeyAction DeleteAction = cfkaDefault;
  TMdbConstraintForeignKeyAction UpdateAction = cfkaDefault;
  TMdbConstraintForeignKeyMatchType MatchType = cfkmtDefault;
  std::vector<TMdbConstraintColumn> Columns;

 protected:
  explicit TMdbConstraintDefForeignKeyAction(TMdbConstraintType aType) : TMdbConstraintDef(aType) {}
};

class TMdbConstraintDefForeignKey : public TMdbConstraintDefForeignKeyAction {
  VELLUM_CLASS(TMdbConstraintDefForeignKey)
 public:
  TMdbConstraintDefForeignKey() : TMdbConstraintDefForeignKeyAction(ctFK) {}
};

class TMdbConstraintDefs : public TMdbDefList<TMdbConstraintDef> {
 public:
  TMdbConstraintDefNotNull* AddNotNull();
  TMdbConstraintDefCheck* AddCheck();
  TMdbConstraintDefPrimary* AddPK();
  TMdbConstraintDefUnique* AddUnique();
  TMdbConstraintDefForeignKey* AddFK();                      // sets ForeignKeysExists
  TMdbConstraintDefForeignKeyAction* AddFKAction();          // sets ForeignKeysActionsExists
  // The adder of Type; 30035 for a type outside 0..5.
  TMdbConstraintDef* AddOfType(Byte Type, int UnknownTypeCode);
  // Clears the list and both flags and copies Source definition by definition.
  void Assign(const TMdbConstraintDefs& Source);
  void Delete(std::int32_t Index);  // then recomputes both flags
  void Clear();
  bool ForeignKeysActionsUpdateExists() const;
  bool ForeignKeysActionsDeleteExists() const;
  // Removes every FK and FK action definition; copies of the FK definitions go to Dest when given.
  void ExtractForeignKeys(TMdbConstraintDefs* Dest);
  void LoadFromStream(TStream* Stream);
  void SaveToStream(TStream* Stream) const;

  bool ForeignKeysExists = false;
  bool ForeignKeysActionsExists = false;

 private:
  void RecalcFlags();
};

// ---- views -----------------------------------------------------------------------------------------------

class TMdbViewDef : public TMdbMetaObjectDef {
  VELLUM_CLASS(TMdbViewDef)
 public:
  TMdbViewDef();
  TMdbViewDef(const String& aName, const String& aSelectStatement, const TMdbObjectNameArray* aChildrenNames,
              const TMdbObjectNameArray* aColumnNames, bool aCheckOption, const String& aComment);
  // From another view all fields (the comment too); from any other definition only the head.
  void Assign(const TMdbMetaObjectDef* Source) override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) const override;
  bool FindChild(std::uint32_t Crc) const;

  String SelectStatement;
  String Comment;
  bool WithCheckOption = false;
  std::vector<std::uint32_t> ChildrenCRC;  // parallel to ChildrenNames
  std::unique_ptr<TMdbObjectNameArray> ChildrenNames;
  std::unique_ptr<TMdbObjectNameArray> ColumnNames;
  double CreationDate = 0;  // not written to streams

 private:
  void RebuildChildrenCRC();
};

class TMdbViewDefs : public TMdbDefList<TMdbViewDef> {
 public:
  // Some view lists Name among its children (by name CRC).
  bool FindChildren(std::u16string_view Name) const;
  // Removes every view that lists Name among its children (one level).
  void DeleteChildren(std::u16string_view Name);
  void LoadFromStream(TStream* Stream);
  void SaveToStream(TStream* Stream) const;
};

// The PRIMARY KEY or UNIQUE constraint an index implies, appended to ConstraintDefs; nil for an index
// that is neither primary nor unique.
TMdbConstraintDefUnique* ConstraintFromIndexDef(const TMdbIndexDef* IndexDef, TMdbConstraintDefs* ConstraintDefs);
