#include "engines/mdb/storage/MdbConstraints.h"

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "platform/rtl/Extended.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace {

constexpr char16_t SFieldNoNotFound[] = u"Field #%d not found";
constexpr char16_t SFieldNotFound[] = u"Field '%s' not found";
constexpr char16_t SIndexNotFound[] = u"Index '%s' not found";
constexpr char16_t SCannotBeNull[] = u"Constraint '%s' violated. Value in field '%s' cannot be null";
constexpr char16_t SPKDuplicate[] = u"Primary Key constraint '%s' violated. Duplicate found.";
constexpr char16_t SUniqueDuplicate[] = u"Constraint unique '%s' violated. Duplicate found.";
constexpr char16_t SFKViolated[] = u"Constraint foreign key '%s' violated in table '%s'";
constexpr char16_t SLowerThan[] = u"Constraint '%s' violated. Value in field '%s' cannot be lower then '%s'";
constexpr char16_t SGreaterThan[] = u"Constraint '%s' violated. Value in field '%s' cannot be greater then '%s'";
constexpr char16_t SNotImplementedYet[] = u"Not implemented yet";
constexpr char16_t SIncompatibleTypes[] = u"Cannot compare Incompatible DataTypes: '%s' and '%s'";
constexpr char16_t SValueIsNull[] = u"Value is Null";
constexpr char16_t SUnknownReturnCode[] = u"Unknown return code: %d";
constexpr char16_t SUnknownDataType[] = u"Unknown DataType: '%s'";

constexpr std::uint32_t kStringSortCaseSensitive = 0x1000;

std::int32_t RandomSuffix() {
  thread_local std::minstd_rand Rng(std::random_device{}());
  return static_cast<std::int32_t>(Rng() % 65535);
}

template <class T>
TMdbCompareResult Order(const Byte* A, const Byte* B) {
  T a, b;
  std::memcpy(&a, A, sizeof(T));
  std::memcpy(&b, B, sizeof(T));
  return a < b ? cmprLower : (b < a ? cmprGreater : cmprEqual);
}

TMdbCompareResult FromSystemAnswer(int Answer, int Code) {
  switch (Answer) {
    case 1: return cmprLower;
    case 2: return cmprEqual;
    case 3: return cmprGreater;
    default: throw EMdbException(Code, SUnknownReturnCode, {Answer});
  }
}

// The length of a zero-terminated text within Size bytes (code units of Width bytes).
std::size_t TextLength(const Byte* P, std::int32_t Size, int Width) {
  std::size_t n = 0;
  const std::size_t Max = static_cast<std::size_t>(std::max(Size, 0)) / static_cast<std::size_t>(Width);
  while (n < Max && (Width == 1 ? P[n] != 0 : (P[2 * n] | P[2 * n + 1]) != 0)) ++n;
  return n;
}

String AsText(const TMdbVariant& V) {
  const AnsiString A = V.AsString();
  return sys::AnsiToUtf16(A);
}

}  // namespace

TMdbCompareResult CompareCheckBound(const TMdbVariant& Bound, const Byte* Column, std::int32_t ColumnSize,
                                    TMdbBaseFieldType ColumnType) {
  const TMdbBaseFieldType BoundType = Bound.DataType();
  TMdbBaseFieldType Type = BoundType;
  const Byte* Left = Bound.IsNull() ? nullptr : Bound.PData();
  std::int32_t LeftSize = Bound.DataSize();
  const Byte* Right = Column;
  std::int32_t RightSize = ColumnSize;
  TMdbBufferOwner LeftCopy, RightCopy;
  if (BoundType != ColumnType) {
    Type = CommonBaseFieldType(BoundType, ColumnType);
    if (Type == bftUnknown)
      throw EMdbException(30044, SIncompatibleTypes, {BaseFieldTypeNameW(BoundType), BaseFieldTypeNameW(ColumnType)});
    if (Left && BoundType != Type && !IsSameStringWidth(BoundType, Type)) {
      std::int32_t n = 0;
      LeftCopy.Reset(ConvertData(Left, LeftSize, BoundType, Type, n));
      Left = LeftCopy.Get();
      LeftSize = n;
    }
    if (Right && ColumnType != Type && !IsSameStringWidth(ColumnType, Type)) {
      std::int32_t n = 0;
      RightCopy.Reset(ConvertData(Right, RightSize, ColumnType, Type, n));
      Right = RightCopy.Get();
      RightSize = n;
    }
  }
  if (Left == nullptr || Right == nullptr) throw EMdbException(30140, SValueIsNull);
  switch (Type) {
    case bftChar:
    case bftVarchar:
    case bftClob: {
      const auto* a = reinterpret_cast<const char*>(Left);
      const auto* b = reinterpret_cast<const char*>(Right);
      return FromSystemAnswer(sys::CompareStringA(sys::LOCALE_USER_DEFAULT, kStringSortCaseSensitive,
                                                  std::string_view(a, TextLength(Left, LeftSize, 1)),
                                                  std::string_view(b, TextLength(Right, RightSize, 1))),
                              30045);
    }
    case bftWideChar:
    case bftWideVarchar:
    case bftWideClob: {
      String a(TextLength(Left, LeftSize, 2), u'\0'), b(TextLength(Right, RightSize, 2), u'\0');
      std::memcpy(a.data(), Left, a.size() * 2);
      std::memcpy(b.data(), Right, b.size() * 2);
      return FromSystemAnswer(sys::CompareStringW(sys::LOCALE_USER_DEFAULT, kStringSortCaseSensitive, a, b), 30046);
    }
    case bftSignedInt8: return Order<std::int8_t>(Left, Right);
    case bftSignedInt16: return Order<std::int16_t>(Left, Right);
    case bftSignedInt32:
    case bftDate:
    case bftTime: return Order<std::int32_t>(Left, Right);
    case bftSignedInt64: return Order<std::int64_t>(Left, Right);
    case bftUnsignedInt8: return Order<std::uint8_t>(Left, Right);
    case bftUnsignedInt16: return Order<std::uint16_t>(Left, Right);
    case bftUnsignedInt32: return Order<std::uint32_t>(Left, Right);
    case bftSingle: return Order<float>(Left, Right);
    case bftDouble:
    case bftCurrency: return Order<double>(Left, Right);
    case bftExtended: {
      const double a = ExtendedToDouble(Left), b = ExtendedToDouble(Right);
      return a < b ? cmprLower : (b < a ? cmprGreater : cmprEqual);
    }
    case bftDateTime: {
      const TMdbCompareResult D = Order<std::int32_t>(Left, Right);
      return D != cmprEqual ? D : Order<std::int32_t>(Left + 4, Right + 4);
    }
    case bftLogical: {
      std::uint16_t a, b;
      std::memcpy(&a, Left, 2);
      std::memcpy(&b, Right, 2);
      const Byte x = a != 0, y = b != 0;
      return Order<Byte>(&x, &y);
    }
    default: break;
  }
  throw EMdbException(30047, SUnknownDataType, {BaseFieldTypeNameW(Type)});
}

void TMdbBaseConstraintManager::LoadFromStream(TStream* Stream) {
  FConstraintDefs.LoadFromStream(Stream);
  if (FConstraintDefs.Count() > 0) FEmpty = false;
}

void TMdbBaseConstraintManager::CheckConstraints(TMdbCursor* Cursor, std::int32_t SessionID,
                                                 const Byte* NewRecordBuffer, const Byte* OldRecordBuffer,
                                                 bool ToInsert, const TMdbRecordID& CurrentRecordID,
                                                 bool SkipFKCheck) {
  TMdbFieldDefs& Fields = FTableData->FieldDefs();
  // The column of an object id and its position, or the site's code.
  auto Column = [&](std::int32_t ObjectID, int Code) -> std::int32_t {
    const std::int32_t n = Fields.GetDefNumberByObjectId(ObjectID);
    if (n < 0) throw EMdbException(Code, SFieldNoNotFound, {ObjectID});
    return n;
  };
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) {
    TMdbConstraintDef* D = FConstraintDefs.GetDef(i);
    switch (D->ConstraintType()) {
      case ctPK: {
        const auto& P = static_cast<const TMdbConstraintDefUnique&>(*D);
        for (const auto& C : P.Columns) {
          const std::int32_t n = Column(C.ColumnObjectID, 30329);
          if (IsRecordFieldNull(NewRecordBuffer, n))
            throw EMdbException(30330, SCannotBeNull, {D->Name(), Fields.GetDef(n)->Name()});
        }
        if (FTableData->IsUniqueConstraintFailed(SessionID, P.IndexObjectID, NewRecordBuffer, OldRecordBuffer, ToInsert,
                                                 CurrentRecordID))
          throw EMdbException(30319, SPKDuplicate, {D->Name()});
        break;
      }
      case ctFK:
        if (!SkipFKCheck &&
            FTableData->IsForeignKeyConstraintFailed(Cursor, static_cast<TMdbConstraintDefForeignKey*>(D)))
          throw EMdbException(11420, SFKViolated, {D->Name(), FTableData->TableName()});
        break;
      case ctUnique: {
        const auto& U = static_cast<const TMdbConstraintDefUnique&>(*D);
        if (FTableData->IsUniqueConstraintFailed(SessionID, U.IndexObjectID, NewRecordBuffer, OldRecordBuffer, ToInsert,
                                                 CurrentRecordID))
          throw EMdbException(30320, SUniqueDuplicate, {D->Name()});
        break;
      }
      case ctNotNull: {
        const auto& N = static_cast<const TMdbConstraintDefNotNull&>(*D);
        const std::int32_t n = Column(N.ColumnObjectID, 30024);
        if (IsRecordFieldNull(NewRecordBuffer, n))
          throw EMdbException(30026, SCannotBeNull, {D->Name(), Fields.GetDef(n)->Name()});
        break;
      }
      case ctCheck: {
        const auto& K = static_cast<const TMdbConstraintDefCheck&>(*D);
        const std::int32_t n = Column(K.ColumnObjectID, 30028);
        if (IsRecordFieldNull(NewRecordBuffer, n)) break;
        const TMdbFieldDef& F = *Fields.GetDef(n);
        const Byte* Value = NewRecordBuffer + F.FMemoryOffset;
        if (!K.MinValue->IsNull() &&
            CompareCheckBound(*K.MinValue, Value, F.FMemoryDataSize, F.FBaseFieldType) == cmprGreater)
          throw EMdbException(30029, SLowerThan, {D->Name(), F.Name(), AsText(*K.MinValue)});
        if (!K.MaxValue->IsNull() &&
            CompareCheckBound(*K.MaxValue, Value, F.FMemoryDataSize, F.FBaseFieldType) == cmprLower)
          throw EMdbException(30030, SGreaterThan, {D->Name(), F.Name(), AsText(*K.MaxValue)});
        break;
      }
      case ctFKAction: break;
      default: throw EMdbException(30036, SNotImplementedYet);
    }
  }
}

void TMdbBaseConstraintManager::LinkObjectId(TMdbConstraintDef* ConstraintDef) {
  TMdbFieldDefs& Fields = FTableData->FieldDefs();
  auto FieldId = [&](const String& Name, int Code) {
    const TMdbFieldDef* F = Fields.GetFieldDefByName(Name);
    if (F == nullptr) throw EMdbException(Code, SFieldNotFound, {Name});
    return F->ObjectID();
  };
  switch (ConstraintDef->ConstraintType()) {
    case ctPK:
    case ctUnique: {
      auto& U = static_cast<TMdbConstraintDefUnique&>(*ConstraintDef);
      const bool PK = U.ConstraintType() == ctPK;
      const TMdbIndexDef* I = FTableData->IndexManager() ? FTableData->IndexManager()->IndexDefs().GetIndexDefByName(U.IndexName)
                                                         : nullptr;
      if (I == nullptr) throw EMdbException(PK ? 30325 : 30326, SIndexNotFound, {U.IndexName});
      U.IndexObjectID = I->ObjectID();
      for (auto& C : U.Columns) C.ColumnObjectID = FieldId(C.ColumnName, PK ? 30331 : 30332);
      break;
    }
    case ctFK:
      for (auto& C : static_cast<TMdbConstraintDefForeignKey&>(*ConstraintDef).Columns)
        C.ColumnObjectID = FieldId(C.ColumnName, 11419);
      break;
    case ctNotNull: {
      auto& N = static_cast<TMdbConstraintDefNotNull&>(*ConstraintDef);
      N.ColumnObjectID = FieldId(N.ColumnName, 30027);
      break;
    }
    case ctCheck: {
      auto& K = static_cast<TMdbConstraintDefCheck&>(*ConstraintDef);
      K.ColumnObjectID = FieldId(K.ColumnName, 30027);
      break;
    }
    case ctFKAction: break;
    default: throw EMdbException(30037, SNotImplementedYet);
  }
}

void TMdbBaseConstraintManager::LinkObjectIds() {
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) LinkObjectId(FConstraintDefs.GetDef(i));
  FEmpty = FConstraintDefs.Count() == 0;
}

void TMdbBaseConstraintManager::FillConstraintAutoNames() {
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) {
    TMdbConstraintDef* D = FConstraintDefs.GetDef(i);
    if (!D->Name().empty()) continue;
    String Base;
    switch (D->ConstraintType()) {
      case ctFK:
      case ctFKAction: Base = sys::AnsiToUtf16(MakeUniqueName("FOREIGN_KEY_")); break;
      case ctNotNull: Base = u"$C_NotNull$" + static_cast<TMdbConstraintDefNotNull*>(D)->ColumnName; break;
      case ctCheck: Base = u"$C_Check$" + static_cast<TMdbConstraintDefCheck*>(D)->ColumnName; break;
      default: throw EMdbException(30038, SNotImplementedYet);
    }
    String Name = Base;
    while (FConstraintDefs.GetDefNumberByName(Name) >= 0) Name = Base + Format(u"%d", {RandomSuffix()});
    D->SetName(Name);
  }
}

TMdbConstraintDefUnique* TMdbBaseConstraintManager::AddConstraintFromIndex(const TMdbIndexDef* IndexDef) {
  TMdbConstraintDefUnique* C = ConstraintFromIndexDef(IndexDef, &FConstraintDefs);
  if (C == nullptr) return nullptr;
  FEmpty = false;
  C->SetObjectID(FTableData->DatabaseData()->GetNewObjectId());
  LinkObjectId(C);
  return C;
}

void TMdbBaseConstraintManager::DeleteConstraintForIndexID(std::int32_t IndexObjectID) {
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) {
    const TMdbConstraintDef* D = FConstraintDefs.GetDef(i);
    if ((D->ConstraintType() == ctPK || D->ConstraintType() == ctUnique) &&
        static_cast<const TMdbConstraintDefUnique*>(D)->IndexObjectID == IndexObjectID) {
      FConstraintDefs.Delete(i);
      break;
    }
  }
  FEmpty = FConstraintDefs.Count() == 0;
}

TMdbConstraintDefForeignKeyAction* TMdbBaseConstraintManager::AddForeignKeyAction(
    const TMdbConstraintDefForeignKey* ConstraintDef, const String& ReferencedTableName,
    std::int32_t ReferencedTableObjectID) {
  // Built as 8-bit text: the name keeps only what the system code page holds.
  const AnsiString FKName = sys::Utf16ToAnsi(ConstraintDef->Name());
  AnsiString Name = FKName + "_Action";
  while (FConstraintDefs.GetDefNumberByName(sys::AnsiToUtf16(Name)) >= 0) Name = MakeUniqueName(FKName + "_Action_");
  TMdbConstraintDefForeignKeyAction* A = FConstraintDefs.AddFKAction();
  A->SetName(sys::AnsiToUtf16(Name));
  A->SetObjectID(FTableData->DatabaseData()->GetNewObjectId());
  A->ReferencedTableName = ReferencedTableName;
  A->ReferencedTableObjectID = ReferencedTableObjectID;
  A->ReferencedFKName = ConstraintDef->Name();
  A->ReferencedFKObjectID = ConstraintDef->ObjectID();
  A->Columns = ConstraintDef->Columns;
  A->DeleteAction = ConstraintDef->DeleteAction;
  A->UpdateAction = ConstraintDef->UpdateAction;
  A->MatchType = ConstraintDef->MatchType;
  FEmpty = false;
  return A;
}
