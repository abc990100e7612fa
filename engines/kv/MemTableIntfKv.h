// The interfaces through which a grid follows a Kv table without knowing its class: IMemTableKv (tree
// levels, instant reads of any row, extra filters, value lists, moves and range aggregates),
// IMTEventReceiverKv (row events sent to a registered receiver) and IMemTableDataFieldValueListKv (the
// distinct values of a field). A receiver is a component that also derives from IMTEventReceiverKv; it
// registers with AddEventReceiver and is dropped automatically when it is destroyed.
//
// Lifetimes are the components' own: nothing here counts references.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "platform/db/DataSet.h"

class TMemoryRecordKv;
class TMemTableFilterItemKv;

enum TMTViewEventTypeKv { mtRowInsertedKv, mtRowChangedKv, mtRowDeletedKv, mtRowMovedKv, mtViewDataChangedKv };

class IMTEventReceiverKv {
 public:
  virtual ~IMTEventReceiverKv() = default;
  // RowNum and OldRowNum are 0-based rows as the grid counts them (-1: the whole view changed).
  virtual void MTViewDataEvent(int RowNum, TMTViewEventTypeKv EventType, int OldRowNum) = 0;
};

class IMemTableDataFieldValueListKv {
 public:
  virtual ~IMemTableDataFieldValueListKv() = default;
  virtual const std::vector<String>& Values() = 0;
  virtual void SetFilter(const String& Filter) = 0;
};

// A field class whose value a tree row keeps in its node's lookup buffer once posted (so it is not
// computed again); StoresLookupValue answers whether it does so now. The table leaves such a field's
// value alone when it clears calculated values.
class IFieldLookupValueKv {
 public:
  virtual ~IFieldLookupValueKv() = default;
  virtual bool StoresLookupValue() const = 0;
};

class IMemTableKv {
 public:
  virtual ~IMemTableKv() = default;
  virtual int FetchRecords(int Count) = 0;
  virtual int GetInstantReadCurRow() = 0;
  virtual int GetReservedValue() = 0;
  virtual bool GetTreeNodeExpanded() = 0;
  virtual bool GetTreeNodeHasVisibleChildren() = 0;
  virtual int GetTreeNodeLevel() = 0;
  virtual int GetPrevRowTreeNodeLevel() = 0;
  virtual int GetNextRowTreeNodeLevel() = 0;
  virtual TMemoryRecordKv* GetRec() = 0;
  virtual int InstantReadIndexOfBookmark(const TBookmark& Bookmark) = 0;
  virtual int InstantReadRowCount() = 0;
  virtual int InstantReadViewRow() = 0;
  virtual bool GetTreeViewMode() = 0;
  virtual TMemTableFilterItemKv* AddExtraFilter(const String& Filter, const TFilterRecordEvent& OnFilterRecord) = 0;
  virtual bool UpdateExtraFilter(TMemTableFilterItemKv* Item, const String& Filter,
                                 const TFilterRecordEvent& OnFilterRecord) = 0;
  virtual bool RemoveExtraFilter(TMemTableFilterItemKv* Item) = 0;
  virtual bool ParentHasNextSibling(int Level) = 0;
  virtual bool SetToMemRecord(TMemoryRecordKv* Rec) = 0;
  virtual int SetRowTreeNodeExpanded(int RowNum, bool Expanded) = 0;
  virtual std::shared_ptr<IMemTableDataFieldValueListKv> GetFieldValueListIntf(const String& FieldName) = 0;
  virtual bool MoveRecords(std::vector<TBookmark>& BookmarkList, int ToRecNo, int TreeLevel, bool CheckOnly) = 0;
  virtual String GetSingleCharWildcard() = 0;
  virtual String GetMultiCharWildcard() = 0;
  virtual void GetAggregatedValuesForRange(const TBookmark& FromBM, const TBookmark& ToBM, const String& FieldName,
                                           std::array<Variant, 5>& ResultArr, int AggrFuncs) = 0;
  virtual void MTDisableControls() = 0;
  virtual void MTEnableControls(bool ForceUpdateState) = 0;
  virtual void InstantReadEnter(int RowNum) = 0;
  virtual void InstantReadLeave() = 0;
  virtual void AddEventReceiver(TComponent* Receiver) = 0;
  virtual int RemoveEventReceiver(TComponent* Receiver) = 0;
};
