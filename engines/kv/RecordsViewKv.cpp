#include "engines/kv/RecordsViewKv.h"

#include <algorithm>

#include "engines/kv/AggregatesKv.h"

#include "platform/rtl/Format.h"

TRecordsViewKv::TRecordsViewKv(TComponent* AOwner)
    : TRecordsListNotificatorKv(AOwner), FAggregates(std::make_unique<TMTAggregatesKv>(this)) {}

TRecordsViewKv::~TRecordsViewKv() {
  // Listeners of this view lose it; then the view leaves its table data.
  while (!FNotificators.empty()) FNotificators.front()->SetDataObject(nullptr);
  SetDataObject(nullptr);
  FMemoryTreeList.reset();
  ClearRows();
  FAggregates.reset();
}

// ---- rows: a counted tree of row items ----------------------------------------------------------------

void TRecordsViewKv::RotateUp(TRow* x) {
  TRow* p = x->Parent;
  TRow* g = p->Parent;
  if (x == p->Left) {
    p->Left = x->Right;
    if (x->Right) x->Right->Parent = p;
    x->Right = p;
  } else {
    p->Right = x->Left;
    if (x->Left) x->Left->Parent = p;
    x->Left = p;
  }
  p->Parent = x;
  x->Parent = g;
  if (!g) FRoot = x;
  else if (g->Left == p) g->Left = x;
  else g->Right = x;
  Update(p);
  Update(x);
}

TRecordsViewKv::TRow* TRecordsViewKv::RowAt(int Pos) const {
  TRow* n = FRoot;
  while (n) {
    const int left = Size(n->Left);
    if (Pos < left) {
      n = n->Left;
    } else if (Pos == left) {
      return n;
    } else {
      Pos -= left + 1;
      n = n->Right;
    }
  }
  return nullptr;
}

int TRecordsViewKv::RankOf(const TRow* Row) const {
  int r = Size(Row->Left);
  for (const TRow* n = Row; n->Parent; n = n->Parent)
    if (n == n->Parent->Right) r += Size(n->Parent->Left) + 1;
  return r;
}

void TRecordsViewKv::InsertRowAt(int Pos, TRow* Row) {
  FSeed ^= FSeed << 13;
  FSeed ^= FSeed >> 17;
  FSeed ^= FSeed << 5;
  Row->Left = Row->Right = Row->Parent = nullptr;
  Row->Size = 1;
  Row->Priority = FSeed;
  if (!FRoot) {
    FRoot = Row;
    return;
  }
  TRow* n = FRoot;
  for (;;) {
    ++n->Size;
    const int left = Size(n->Left);
    if (Pos <= left) {
      if (!n->Left) {
        n->Left = Row;
        break;
      }
      n = n->Left;
    } else {
      Pos -= left + 1;
      if (!n->Right) {
        n->Right = Row;
        break;
      }
      n = n->Right;
    }
  }
  Row->Parent = n;
  while (Row->Parent && Row->Priority > Row->Parent->Priority) RotateUp(Row);
}

void TRecordsViewKv::RemoveRow(TRow* Row) {
  while (Row->Left || Row->Right) {
    TRow* c = !Row->Left ? Row->Right
              : !Row->Right ? Row->Left
              : (Row->Left->Priority > Row->Right->Priority ? Row->Left : Row->Right);
    RotateUp(c);
  }
  TRow* p = Row->Parent;
  if (!p) {
    FRoot = nullptr;
  } else {
    if (p->Left == Row) p->Left = nullptr;
    else p->Right = nullptr;
    for (; p; p = p->Parent) --p->Size;
  }
  FRowOf.erase(Row->Rec);
  delete Row;
}

void TRecordsViewKv::ClearRows() {
  TRow* cur = FRoot;
  FRoot = nullptr;
  while (cur) {
    if (TRow* l = cur->Left) {
      cur->Left = nullptr;
      cur = l;
    } else if (TRow* r = cur->Right) {
      cur->Right = nullptr;
      cur = r;
    } else {
      TRow* parent = cur->Parent;
      delete cur;
      cur = parent;
    }
  }
  FRowOf.clear();
}

int TRecordsViewKv::Compare(TMemoryRecordKv* A, TMemoryRecordKv* B) const {
  if (Sorted()) return OnCompareRecords(A, B, FOrderByList.get());
  return A->Index() - B->Index();
}

int TRecordsViewKv::PositionOf(TMemoryRecordKv* Rec) const {
  int pos = 0;
  for (TRow* n = FRoot; n;) {
    if (Compare(n->Rec, Rec) < 0) {
      pos += Size(n->Left) + 1;
      n = n->Right;
    } else {
      n = n->Left;
    }
  }
  return pos;
}

int TRecordsViewKv::PlaceRow(TMemoryRecordKv* Rec) {
  const int pos = PositionOf(Rec);
  auto row = std::make_unique<TRow>();
  row->Rec = Rec;
  FRowOf[Rec] = row.get();
  InsertRowAt(pos, row.release());
  return pos;
}

// ---- access --------------------------------------------------------------------------------------------

int TRecordsViewKv::Count() const {
  if (TreeMode()) return MemoryTreeList()->VisibleExpandedCount();
  if (FWholeList) return List() ? List()->Count() : 0;
  return Size(FRoot);
}

TMemoryRecordKv* TRecordsViewKv::GetRec(int Index) const {
  if (TreeMode()) {
    TMemRecViewKv* node = MemoryTreeList()->GetVisibleExpandedItem(Index);
    if (!node) throw EListError(Format(u"List index out of bounds (%d)", {Index}));
    return node->Rec();
  }
  if (FWholeList) {
    if (!List()) throw EListError(Format(u"List index out of bounds (%d)", {Index}));
    return List()->GetRec(Index);
  }
  if (Index < 0 || Index >= Size(FRoot)) throw EListError(Format(u"List index out of bounds (%d)", {Index}));
  return RowAt(Index)->Rec;
}

int TRecordsViewKv::AccountableItemsCount() const {
  return TreeMode() ? MemoryTreeList()->AccountableCount() : Count();
}

TMemoryRecordKv* TRecordsViewKv::GetAccountableRecord(int Index) const {
  if (!TreeMode()) return GetRec(Index);
  TMemRecViewKv* node = MemoryTreeList()->GetAccountableItem(Index);
  if (!node) throw EListError(Format(u"List index out of bounds (%d)", {Index}));
  return node->Rec();
}

TMemRecViewKv* TRecordsViewKv::GetRecordView(int Index) const {
  return TreeMode() ? MemoryTreeList()->GetVisibleExpandedItem(Index) : nullptr;
}

int TRecordsViewKv::IndexOfRec(const TMemoryRecordKv* Rec) const {
  if (!Rec) return -1;
  if (TreeMode()) {
    TMemoryTreeListKv* tree = MemoryTreeList();
    return tree->VisibleExpandedIndexOf(tree->GetNode(nullptr, Rec));
  }
  if (FWholeList) return List() ? List()->IndexOf(Rec) : -1;
  const auto it = FRowOf.find(Rec);
  return it == FRowOf.end() ? -1 : RankOf(it->second);
}

int TRecordsViewKv::InsertRecord(int Index, TMemoryRecordKv* Rec) {
  const int n = Count();
  int at = 0;
  if (TreeMode()) at = Index > 0 && n > 0 ? GetRec(std::min(Index, n) - 1)->Index() + 1 : 0;
  else if (FWholeList) at = n == 0 ? 0 : std::clamp(Index, 0, n);
  else if (n > 0) at = Index >= n ? GetRec(n - 1)->Index() + 1 : GetRec(std::max(Index, 0))->Index();
  return List()->InsertRecord(at, Rec);
}

void TRecordsViewKv::DeleteRecord(int Index) {
  TMemoryRecordKv* rec = GetRec(Index);
  List()->DeleteRecord(FWholeList && !TreeMode() ? Index : rec->Index());
}

// ---- order and filters ---------------------------------------------------------------------------------

bool TRecordsViewKv::RecordPassesFilter(TMemoryRecordKv* MemRec, int Index) {
  if ((FStatusFilter & UpdateStatusBit(MemRec->UpdateStatus())) == 0) return false;
  return !OnFilterRecord || OnFilterRecord(MemRec, Index);
}

bool TRecordsViewKv::WholeListFits() const {
  if (Sorted() || OnFilterRecord) return false;
  const TRecordsListKv* list = List();
  if (!list || list->Count() == 0) return true;
  // Records outside the change log are unmodified; those in it carry their own status.
  int logged = 0;
  for (const TMemoryRecordKv* r : list->DeltaList()) {
    if (!r || !r->Attached()) continue;
    ++logged;
    if ((FStatusFilter & UpdateStatusBit(r->UpdateStatus())) == 0) return false;
  }
  return logged == list->Count() || (FStatusFilter & UpdateStatusBit(usUnmodified)) != 0;
}

void TRecordsViewKv::Materialize() {
  ClearRows();
  FWholeList = false;
  TRecordsListKv* list = List();
  if (!list) return;
  std::vector<TMemoryRecordKv*> shown;
  int index = 0;
  for (TMemoryRecordKv* r = list->First(); r; r = TRecordsListKv::Next(r), ++index)
    if (RecordPassesFilter(r, index)) shown.push_back(r);
  if (Sorted())
    std::stable_sort(shown.begin(), shown.end(), [this](TMemoryRecordKv* a, TMemoryRecordKv* b) {
      return OnCompareRecords(a, b, FOrderByList.get()) < 0;
    });
  for (TMemoryRecordKv* r : shown) {
    auto row = std::make_unique<TRow>();
    row->Rec = r;
    FRowOf[r] = row.get();
    InsertRowAt(Size(FRoot), row.release());
  }
}

void TRecordsViewKv::RefreshFilteredRecsList() {
  if (TreeMode()) {
    TMemoryTreeListKv* tree = MemoryTreeList();
    tree->UpdateNodesState(nullptr);
    if (!tree->FilterNodeIfParentVisible) tree->ShowDescendantsOfVisibleNodes(nullptr);
    tree->BuildVisibleItems();
    return DoViewDataEvent(nullptr, -1, rlnListChangedKv);
  }
  ClearRows();
  if (WholeListFits()) FWholeList = true;
  else Materialize();
  DoViewDataEvent(nullptr, -1, rlnListChangedKv);
}

void TRecordsViewKv::ResortView() {
  if (TreeMode()) {
    TMemoryTreeListKv* tree = MemoryTreeList();
    ApplyTreeSettings(tree);
    tree->Resort();
    return DoViewDataEvent(nullptr, -1, rlnListChangedKv);
  }
  RefreshFilteredRecsList();
}

void TRecordsViewKv::UpdateAllLookupBuffer() {
  if (!TreeMode() || !OnCalcLookupBuffer) return;
  TMemoryTreeListKv* tree = MemoryTreeList();
  for (TMemoryRecordKv* r = List()->First(); r; r = TRecordsListKv::Next(r))
    if (TMemRecViewKv* node = tree->GetNode(nullptr, r)) {
      // Values rows keep (fields of the lookup-value kind) stay; the callback computes the others again.
      OnCalcLookupBuffer(r, node);
    }
}

// ---- tree mode -----------------------------------------------------------------------------------------

void TRecordsViewKv::ApplyTreeSettings(TMemoryTreeListKv* Tree) const {
  Tree->DefaultNodeExpanded = FDefaultNodeExpanded;
  Tree->DefaultNodeHasChildren = FDefaultNodeHasChildren;
  Tree->FullBuildCheck = FFullBuildCheck;
  Tree->FilterNodeIfParentVisible = FFilterNodeIfParentVisible;
  auto* self = const_cast<TRecordsViewKv*>(this);
  if (Sorted())
    Tree->OnCompareRecords = [self](TMemoryRecordKv* a, TMemoryRecordKv* b) {
      return self->OnCompareRecords(a, b, self->FOrderByList.get());
    };
  else
    Tree->OnCompareRecords = nullptr;
  Tree->OnFilterRecord = [self](TMemoryRecordKv* r) { return self->RecordPassesFilter(r, r->Index()); };
  if (OnCalcLookupBuffer)
    Tree->OnCalcLookupBuffer = [self](TMemRecViewKv* n) {
      if (self->OnCalcLookupBuffer) self->OnCalcLookupBuffer(n->Rec(), n);
    };
  else
    Tree->OnCalcLookupBuffer = nullptr;
  // A node's state set while the tree is being built or updated is no user's expansion.
  Tree->OnExpandedChanging = [self](TBaseTreeNodeKv* n) {
    return self->FTreeUpdating || !self->OnTreeNodeExpanding || self->OnTreeNodeExpanding(static_cast<TMemRecViewKv*>(n));
  };
  Tree->OnExpandedChanged = [self](TBaseTreeNodeKv* n) {
    if (!self->FTreeUpdating && self->OnTreeNodeExpanded) self->OnTreeNodeExpanded(static_cast<TMemRecViewKv*>(n));
  };
}

TMemoryTreeListKv* TRecordsViewKv::MemoryTreeList() const {
  TRecordsListKv* list = List();
  if (!list) return nullptr;
  if (!FMemoryTreeList || FTreeListOf != list) {
    FMemoryTreeList.reset();
    FMemoryTreeList = std::make_unique<TMemoryTreeListKv>(list);
    FTreeListOf = list;
    ApplyTreeSettings(FMemoryTreeList.get());
  }
  return FMemoryTreeList.get();
}

void TRecordsViewKv::RebuildMemoryTreeList() {
  TMemoryTreeListKv* tree = MemoryTreeList();
  if (!tree) return;
  FTreeUpdating = true;
  try {
    tree->Clear();
    if (FViewAsTreeList) {
      ApplyTreeSettings(tree);
      tree->SetKeyFieldNames(FTreeViewKeyFieldName);
      tree->SetParentFieldNames(FTreeViewRefParentFieldName);
      tree->Build();
    }
  } catch (...) {
    FTreeUpdating = false;
    throw;
  }
  FTreeUpdating = false;
}

void TRecordsViewKv::SetViewAsTreeList(bool Value) {
  if (Value == FViewAsTreeList) return;
  FViewAsTreeList = Value;
  if (Value) {
    try {
      RebuildMemoryTreeList();
    } catch (...) {
      FViewAsTreeList = false;
      if (FMemoryTreeList) FMemoryTreeList->Clear();
      throw;
    }
    // The list-mode rows are not kept in step while the tree serves; they are rebuilt on the way back.
    ClearRows();
    FWholeList = true;
  } else if (FMemoryTreeList) {
    FMemoryTreeList->Clear();
  }
  RefreshFilteredRecsList();
}

void TRecordsViewKv::SetTreeViewKeyFieldName(const String& Value) {
  if (Value == FTreeViewKeyFieldName) return;
  const String old = FTreeViewKeyFieldName;
  FTreeViewKeyFieldName = Value;
  if (!TreeMode()) return;
  try {
    RebuildMemoryTreeList();
  } catch (...) {
    FTreeViewKeyFieldName = old;
    RebuildMemoryTreeList();
    throw;
  }
  RefreshFilteredRecsList();
}

void TRecordsViewKv::SetTreeViewRefParentFieldName(const String& Value) {
  if (Value == FTreeViewRefParentFieldName) return;
  const String old = FTreeViewRefParentFieldName;
  FTreeViewRefParentFieldName = Value;
  if (!TreeMode()) return;
  try {
    RebuildMemoryTreeList();
  } catch (...) {
    FTreeViewRefParentFieldName = old;
    RebuildMemoryTreeList();
    throw;
  }
  RefreshFilteredRecsList();
}

void TRecordsViewKv::SetDefaultNodeExpanded(bool Value) {
  FDefaultNodeExpanded = Value;
  if (FMemoryTreeList) FMemoryTreeList->DefaultNodeExpanded = Value;
}

void TRecordsViewKv::SetDefaultNodeHasChildren(bool Value) {
  FDefaultNodeHasChildren = Value;
  if (FMemoryTreeList) FMemoryTreeList->DefaultNodeHasChildren = Value;
}

void TRecordsViewKv::SetFullBuildCheck(bool Value) {
  FFullBuildCheck = Value;
  if (FMemoryTreeList) FMemoryTreeList->FullBuildCheck = Value;
}

void TRecordsViewKv::SetFilterNodeIfParentVisible(bool Value) {
  FFilterNodeIfParentVisible = Value;
  if (FMemoryTreeList) FMemoryTreeList->FilterNodeIfParentVisible = Value;
}

void TRecordsViewKv::TreeDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) {
  (void)Index;
  TMemoryTreeListKv* tree = MemoryTreeList();
  switch (Action) {
    case rlnRecAddingKv:
    case rlnRecChangingKv:
      // Refused before the record changes: the store keeps what it had.
      if (tree->CheckReferenceLoop(MemRec)) throw Exception(u"Reference-loop found");
      return;
    case rlnListChangingKv: return;
    case rlnListChangedKv:
      RebuildMemoryTreeList();
      return RefreshFilteredRecsList();
    case rlnRecAddedKv:
    case rlnRecChangedKv:
    case rlnRecDeletedKv:
    case rlnRecMarkedForDelKv: break;
    default: return;
  }
  FTreeUpdating = true;
  try {
    switch (Action) {
      case rlnRecAddedKv: {
        TMemRecViewKv* node = tree->AddChildAtKey(MemRec);
        tree->UpdateNodeState(node, true);
        break;
      }
      case rlnRecChangedKv:
        if (TMemRecViewKv* node = tree->GetNode(nullptr, MemRec)) {
          TBaseTreeNodeKv* oldParent = node->Parent();
          tree->UpdateParent(node, true);
          tree->UpdateNodeState(node, true);
          if (oldParent && oldParent != tree->Root() && oldParent != node->Parent())
            tree->UpdateNodeState(static_cast<TMemRecViewKv*>(oldParent), true);
        } else {
          tree->UpdateNodeState(tree->AddChildAtKey(MemRec), true);
        }
        break;
      case rlnRecDeletedKv:
      case rlnRecMarkedForDelKv: tree->RemoveRecord(MemRec); break;
      default: break;
    }
  } catch (...) {
    FTreeUpdating = false;
    throw;
  }
  FTreeUpdating = false;
  if (tree->VisibleItemsObsolete()) DoViewDataEvent(nullptr, -1, rlnListChangedKv);
}

void TRecordsViewKv::SetSortOrder(const String& Value) {
  if (Value == FSortOrder) return;
  std::unique_ptr<TOrderByList> parsed;
  if (!Value.empty() && OnParseOrderByStr) {
    parsed = OnParseOrderByStr(Value);  // a parse error leaves everything as it was
  }
  FOrderByList = std::move(parsed);
  FSortOrder = Value;
  ResortView();
}

void TRecordsViewKv::SetSortOrderCaseInsensitive(bool Value) {
  if (Value == FSortOrderCaseInsensitive) return;
  FSortOrderCaseInsensitive = Value;
  if (FOrderByList)
    for (int i = 0; i < FOrderByList->Count(); ++i) FOrderByList->Items(i).CaseIns = Value;
  if (Sorted()) ResortView();
}

void TRecordsViewKv::SetStatusFilter(TUpdateStatusSetKv Value) {
  if (Value == FStatusFilter) return;
  FStatusFilter = Value;
  RefreshFilteredRecsList();
}

// ---- events --------------------------------------------------------------------------------------------

void TRecordsViewKv::AddNotificator(TRecordsListNotificatorKv* Item) {
  if (std::find(FNotificators.begin(), FNotificators.end(), Item) == FNotificators.end()) FNotificators.push_back(Item);
}

void TRecordsViewKv::RemoveNotificator(TRecordsListNotificatorKv* Item) {
  FNotificators.erase(std::remove(FNotificators.begin(), FNotificators.end(), Item), FNotificators.end());
}

void TRecordsViewKv::DoViewDataEvent(TMemoryRecordKv* MemRec, int Pos, TRecordsListNotification Action) {
  CatchChanged = true;
  if (FAggregates && FAggregates->Count() > 0) FAggregates->Recalc();
  if (OnViewDataEvent) OnViewDataEvent(MemRec, Pos, Action);
  for (size_t i = 0; i < FNotificators.size(); ++i) FNotificators[i]->DoDataEvent(MemRec, Pos, Action);
}

void TRecordsViewKv::DoViewRecordMoved(TMemoryRecordKv* MemRec, int OldPos, int NewPos) {
  if (OnViewRecordMovedEvent) OnViewRecordMovedEvent(MemRec, OldPos, NewPos);
  for (size_t i = 0; i < FNotificators.size(); ++i) FNotificators[i]->DoRecordMoved(MemRec, OldPos, NewPos);
}

void TRecordsViewKv::ChangedOrMarked(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) {
  const bool passes = RecordPassesFilter(MemRec, Index);
  if (FWholeList) {
    if (passes) return DoViewDataEvent(MemRec, Index, Action);
    // The record leaves the rows: from now on the view keeps rows of its own.
    Materialize();
    return DoViewDataEvent(MemRec, Index, rlnRecDeletedKv);
  }
  const auto it = FRowOf.find(MemRec);
  const int old = it == FRowOf.end() ? -1 : RankOf(it->second);
  if (old >= 0) RemoveRow(it->second);
  const int pos = passes ? PlaceRow(MemRec) : -1;
  if (old >= 0 && pos >= 0) {
    if (old != pos) DoViewRecordMoved(MemRec, old, pos);
    DoViewDataEvent(MemRec, pos, Action);
  } else if (pos >= 0) {
    DoViewDataEvent(MemRec, pos, rlnRecAddedKv);
  } else if (old >= 0) {
    DoViewDataEvent(MemRec, old, rlnRecDeletedKv);
  }
}

void TRecordsViewKv::DoDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) {
  const TRecordsChange change(FRecordsChangeDepth);
  TRecordsListNotificatorKv::DoDataEvent(MemRec, Index, Action);
  if (TreeMode()) return TreeDataEvent(MemRec, Index, Action);
  switch (Action) {
    case rlnRecAddedKv:
      if (!RecordPassesFilter(MemRec, Index)) {
        if (FWholeList) Materialize();
        return;
      }
      return DoViewDataEvent(MemRec, FWholeList ? Index : PlaceRow(MemRec), rlnRecAddedKv);
    case rlnRecChangedKv:
    case rlnRecMarkedForDelKv: return ChangedOrMarked(MemRec, Index, Action);
    case rlnRecDeletedKv: {
      if (FWholeList) return DoViewDataEvent(MemRec, Index, rlnRecDeletedKv);
      const auto it = FRowOf.find(MemRec);
      if (it == FRowOf.end()) return;
      const int old = RankOf(it->second);
      RemoveRow(it->second);
      return DoViewDataEvent(MemRec, old, rlnRecDeletedKv);
    }
    case rlnListChangedKv: return RefreshFilteredRecsList();
    default: return;
  }
}

void TRecordsViewKv::DoRecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex) {
  const TRecordsChange change(FRecordsChangeDepth);
  TRecordsListNotificatorKv::DoRecordMoved(MemRec, OldIndex, NewIndex);
  if (TreeMode()) {
    TMemoryTreeListKv* tree = MemoryTreeList();
    TMemRecViewKv* node = tree->GetNode(nullptr, MemRec);
    if (!node || tree->OnCompareRecords) return;
    // Among its siblings the node goes before the first one that now stands after it in the list.
    TBaseTreeNodeKv* parent = node->Parent();
    TBaseTreeNodeKv* before = nullptr;
    for (int i = 0; i < parent->Count(); ++i) {
      auto* sib = static_cast<TMemRecViewKv*>(parent->Items(i));
      if (sib != node && sib->Rec()->Index() > MemRec->Index()) {
        before = sib;
        break;
      }
    }
    FTreeUpdating = true;
    if (before) tree->MoveTo(node, before, naInsertKv, true);
    else tree->MoveTo(node, parent, naAddChildKv, true);
    FTreeUpdating = false;
    return DoViewDataEvent(nullptr, -1, rlnListChangedKv);
  }
  if (FWholeList) return DoViewRecordMoved(MemRec, OldIndex, NewIndex);
  const auto it = FRowOf.find(MemRec);
  if (it == FRowOf.end()) return;
  const int old = RankOf(it->second);
  RemoveRow(it->second);
  const int pos = PlaceRow(MemRec);
  if (old != pos) DoViewRecordMoved(MemRec, old, pos);
}
