// Tree mode of the Kv memory table (the rows are the visible, expanded nodes of the view's tree), the
// current row's tree properties and expansion, and instant read: a grid reads any row through the fields
// without moving the cursor.
//
// A buffer's node is always found again from its record (the tree's record map, O(1)): nodes are remade
// whenever the tree is rebuilt, so a node pointer kept in a buffer is never trusted.
#include <algorithm>
#include <cstring>

#include "engines/kv/MemTableKv.h"
#include "platform/rtl/SysUtils.h"

// ---- settings object ---------------------------------------------------------------------------------------

TMemTableTreeListKv::TMemTableTreeListKv(TCustomMemTableKv* AMemTable) : FMemTable(AMemTable) {
  FMemTable->RecordsView()->SetFullBuildCheck(true);
}

bool TMemTableTreeListKv::Active() const {
  if ((FMemTable->ComponentState() & csLoading) != 0) return FLoadingActive;
  return FMemTable->RecordsView()->ViewAsTreeList();
}

void TMemTableTreeListKv::SetActive(bool Value) {
  if ((FMemTable->ComponentState() & csLoading) != 0) {
    FLoadingActive = Value;
    return;
  }
  TRecordsViewKv* view = FMemTable->RecordsView();
  if (view->ViewAsTreeList() == Value) return;
  TCustomMemTableKv* t = FMemTable;
  if (t->Active()) t->CheckBrowseMode();
  TMemoryRecordKv* current = t->Active() ? t->Rec() : nullptr;
  t->DisableControls();
  try {
    t->WireTreeFilter(Value);
    view->SetViewAsTreeList(Value);
  } catch (...) {
    t->WireTreeFilter(view->ViewAsTreeList());
    t->EnableControls();
    throw;
  }
  if (t->Active()) {
    t->SetToMemRecordQuiet(current);
    t->Resync(0);
  }
  t->EnableControls();
}

void TCustomMemTableKv::WireTreeFilter(bool TreeMode) {
  if (TreeMode)
    FRecordsView->OnFilterRecord = [this](TMemoryRecordKv* Rec, int) { return RecordPassesFilters(Rec); };
  else
    FRecordsView->OnFilterRecord = nullptr;
}

const String& TMemTableTreeListKv::KeyFieldName() const { return FMemTable->RecordsView()->TreeViewKeyFieldName(); }
const String& TMemTableTreeListKv::RefParentFieldName() const {
  return FMemTable->RecordsView()->TreeViewRefParentFieldName();
}

void TMemTableTreeListKv::SetKeyFieldName(const String& Value) {
  if (FMemTable->Active() && Active()) FMemTable->CheckBrowseMode();
  FMemTable->RecordsView()->SetTreeViewKeyFieldName(Value);
  if (FMemTable->Active() && Active()) {
    FMemTable->SetToMemRecordQuiet(nullptr);
    FMemTable->Resync(0);
  }
}

void TMemTableTreeListKv::SetRefParentFieldName(const String& Value) {
  if (FMemTable->Active() && Active()) FMemTable->CheckBrowseMode();
  FMemTable->RecordsView()->SetTreeViewRefParentFieldName(Value);
  if (FMemTable->Active() && Active()) {
    FMemTable->SetToMemRecordQuiet(nullptr);
    FMemTable->Resync(0);
  }
}

bool TMemTableTreeListKv::DefaultNodeExpanded() const { return FMemTable->RecordsView()->DefaultNodeExpanded(); }
void TMemTableTreeListKv::SetDefaultNodeExpanded(bool Value) { FMemTable->RecordsView()->SetDefaultNodeExpanded(Value); }
bool TMemTableTreeListKv::DefaultNodeHasChildren() const { return FMemTable->RecordsView()->DefaultNodeHasChildren(); }
void TMemTableTreeListKv::SetDefaultNodeHasChildren(bool Value) {
  FMemTable->RecordsView()->SetDefaultNodeHasChildren(Value);
}
bool TMemTableTreeListKv::FullBuildCheck() const { return FMemTable->RecordsView()->FullBuildCheck(); }
void TMemTableTreeListKv::SetFullBuildCheck(bool Value) { FMemTable->RecordsView()->SetFullBuildCheck(Value); }
bool TMemTableTreeListKv::FilterNodeIfParentVisible() const {
  return FMemTable->RecordsView()->FilterNodeIfParentVisible();
}
void TMemTableTreeListKv::SetFilterNodeIfParentVisible(bool Value) {
  FMemTable->RecordsView()->SetFilterNodeIfParentVisible(Value);
}

bool TMemTableTreeListKv::Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  TCustomMemTableKv* t = FMemTable;
  t->CheckBrowseMode();
  if (t->IsEmpty()) return false;
  TRecordsViewKv* view = t->RecordsView();
  if (!view->ViewAsTreeList()) return t->Locate(KeyFields, KeyValues, Options);
  std::vector<TField*> fields;
  size_t pos = 0;
  for (String name = ExtractFieldName(KeyFields, pos); !name.empty(); name = ExtractFieldName(KeyFields, pos))
    fields.push_back(t->FieldByName(name));
  if (fields.empty()) return false;
  const bool asText = Options != 0 && fields.size() == 1;
  const String keyText = asText ? VarToStr(KeyValues) : String();
  auto valueOf = [](TMemoryRecordKv* r, TField* f) {
    return f->FieldNo() > 0 ? r->GetDataValue(f->FieldNo() - 1, dvvValueKv) : Variant(Null());
  };
  TMemoryTreeListKv* tree = view->MemoryTreeList();
  const int n = view->AccountableItemsCount();
  for (int i = 0; i < n; ++i) {
    TMemRecViewKv* node = tree->GetAccountableItem(i);
    TMemoryRecordKv* r = node->Rec();
    bool match;
    if (asText) {
      String have = VarToStr(valueOf(r, fields[0]));
      if ((Options & loPartialKey) != 0 && have.size() > keyText.size()) have.resize(keyText.size());
      match = (Options & loCaseInsensitive) != 0 ? AnsiSameText(have, keyText) : have == keyText;
    } else if (fields.size() == 1) {
      match = TCustomMemTableKv::VarValuesEqual(valueOf(r, fields[0]), KeyValues);
    } else {
      std::vector<Variant> values;
      for (TField* f : fields) values.push_back(valueOf(r, f));
      match = TCustomMemTableKv::VarValuesEqual(VarArrayOf(values), KeyValues);
    }
    if (!match) continue;
    t->DisableControls();
    try {
      for (TBaseTreeNodeKv* p = node; p && p != tree->Root(); p = p->Parent()) p->SetExpanded(true);
      tree->BuildVisibleItems();
      t->SetToMemRecordQuiet(nullptr);
      t->Resync(0);
    } catch (...) {
      t->EnableControls();
      throw;
    }
    t->EnableControls();
    return t->SetToMemRecord(r);
  }
  return false;
}

void TMemTableTreeListKv::FullCollapse() { RebuildWholeTree(false); }

void TMemTableTreeListKv::FullExpand() { RebuildWholeTree(true); }

void TMemTableTreeListKv::RebuildWholeTree(bool Expand) {
  TCustomMemTableKv* t = FMemTable;
  TMemoryTreeListKv* tree = t->RecordsView()->MemoryTreeList();
  if (!tree) return;
  TMemoryRecordKv* current = t->Active() ? t->Rec() : nullptr;
  // Collapsing can move the cursor to an ancestor of its row, so only a collapse tells of a scroll.
  const bool scrolls = !Expand;
  t->DisableControls();
  try {
    if (Expand) tree->Expand(nullptr, true);
    else tree->Collapse(nullptr, true);
    tree->BuildVisibleItems();
    if (t->Active()) {
      t->SetToMemRecordQuiet(current);
      t->Resync(0);
    }
  } catch (...) {
    t->EnableControls();
    if (scrolls && t->Active()) t->DoAfterScroll();
    throw;
  }
  t->EnableControls();
  if (scrolls && t->Active()) t->DoAfterScroll();
}

// ---- the table's side -------------------------------------------------------------------------------------

void TCustomMemTableKv::SetToMemRecordQuiet(TMemoryRecordKv* Current) {
  // The row of Current, or of its nearest ancestor still shown; before the first row when neither is.
  int row = Current ? FRecordsView->IndexOfRec(Current) : -1;
  if (row < 0 && Current && FRecordsView->ViewAsTreeList())
    if (TMemoryTreeListKv* tree = Tree())
      for (TBaseTreeNodeKv* n = tree->GetNode(nullptr, Current); n && n != tree->Root() && row < 0; n = n->Parent())
        row = FRecordsView->IndexOfRec(static_cast<TMemRecViewKv*>(n)->Rec());
  FRecordPos = row;
  CursorPosChanged();
}

TMemRecViewKv* TCustomMemTableKv::NodeOfBuf(const TMTRecBuf* RecBuf) const {
  if (!RecBuf || !RecBuf->MemRec || !FRecordsView->ViewAsTreeList()) return nullptr;
  TMemoryTreeListKv* tree = Tree();
  return tree ? tree->GetNode(nullptr, RecBuf->MemRec) : nullptr;
}

TMemRecViewKv* TCustomMemTableKv::TreeNode() const {
  RequireActive();
  return NodeOfBuf(GetActiveMTRecBuf());
}

int TCustomMemTableKv::TreeNodeLevel() const {
  const TMemRecViewKv* node = TreeNode();
  return node ? node->Level() : -1;
}

bool TCustomMemTableKv::TreeNodeHasChildren() const {
  const TMemRecViewKv* node = TreeNode();
  return node && node->Count() > 0;
}

int TCustomMemTableKv::TreeNodeChildCount() const {
  TMemRecViewKv* node = TreeNode();
  return node ? node->VisibleCount() : -1;
}

bool TCustomMemTableKv::CurTreeNodeExpanded() const {
  const TMemRecViewKv* node = TreeNode();
  return node && node->Expanded();
}

bool TCustomMemTableKv::CurTreeNodeHasVisibleChildren() const {
  TMemRecViewKv* node = TreeNode();
  return node && node->HasVisibleChildren();
}

void TCustomMemTableKv::SetTreeNodeExpanded(bool Value) {
  RequireActive();
  TMTRecBuf* rb = GetActiveMTRecBuf(true);
  if (!rb) return;
  TMemRecViewKv* node = NodeOfBuf(rb);
  if (!node) {
    rb->NewTreeNodeExpanded = Value;
    return;
  }
  bool allow = true;
  if (Value && !node->Expanded() && OnTreeNodeExpanding) OnTreeNodeExpanding(this, rb->RecordNumber + 1, allow);
  if (allow) {
    // Asked already: the tree's own question does not ask the callback again.
    FExpandingAsked = true;
    try {
      node->SetExpanded(Value);
    } catch (...) {
      FExpandingAsked = false;
      throw;
    }
    FExpandingAsked = false;
  }
  Resync(0);
}

void TCustomMemTableKv::SetTreeNodeHasVisibleChildren(bool Value) {
  RequireActive();
  TMTRecBuf* rb = GetActiveMTRecBuf(true);
  if (!rb) return;
  if (TMemRecViewKv* node = NodeOfBuf(rb)) {
    node->SetHasVisibleChildren(Value);
    Resync(0);
  } else {
    rb->NewTreeNodeHasChildren = Value;
  }
}

bool TCustomMemTableKv::TreeListExpandedChanging(TMemRecViewKv* Node) {
  bool allow = true;
  const bool expanding = !Node->Expanded();
  if (expanding && OnRecordsViewTreeNodeExpanding) OnRecordsViewTreeNodeExpanding(this, Node, allow);
  if (!FActive || !expanding || !OnTreeNodeExpanding || FExpandingAsked) return allow;
  if (Node == NodeOfBuf(GetActiveMTRecBuf(true))) {
    OnTreeNodeExpanding(this, GetActiveMTRecBuf(true)->RecordNumber + 1, allow);
    return allow;
  }
  const int row = Tree()->VisibleExpandedIndexOf(Node);
  InstantReadEnter(Node, row);
  try {
    OnTreeNodeExpanding(this, row + 1, allow);
  } catch (...) {
    InstantReadLeave();
    throw;
  }
  InstantReadLeave();
  return allow;
}

void TCustomMemTableKv::TreeListExpandedChanged(TMemRecViewKv* Node) {
  (void)Node;
  if (!FActive) return;
  TMemoryTreeListKv* tree = Tree();
  if (ControlsDisabled()) {
    tree->VisibleItemsBecomeObsolete();
  } else {
    tree->BuildVisibleItems();
    if (State() == dsBrowse) {
      SetToMemRecordQuiet(Rec());
      Resync(0);
      DoAfterScroll();
    }
  }
  NotifyEventReceivers(-1, mtViewDataChangedKv, -1);
}

int TCustomMemTableKv::SetRowTreeNodeExpanded(int RowNum, bool Expanded) {
  RequireActive();
  int result = -1;
  TMemRecViewKv* cur = NodeOfBuf(GetActiveMTRecBuf(true));
  InstantReadEnter(RowNum);
  TMemRecViewKv* node = NodeOfBuf(GetActiveMTRecBuf());
  InstantReadLeave();
  if (!node) return -1;
  node->SetExpanded(Expanded);
  TMemoryTreeListKv* tree = Tree();
  tree->BuildVisibleItems();
  if (cur && FRecordsView->IndexOfRec(cur->Rec()) < 0 && cur->Level() > 1) {
    TBaseTreeNodeKv* n = cur;
    bool climbed = false;
    while (n->Level() > 1 && FRecordsView->IndexOfRec(static_cast<TMemRecViewKv*>(n)->Rec()) < 0) {
      n = n->Parent();
      climbed = true;
    }
    const int row = FRecordsView->IndexOfRec(static_cast<TMemRecViewKv*>(n)->Rec());
    if (climbed && row >= 0) result = row + 1;
  }
  if (State() == dsBrowse) SetToMemRecordQuiet(Rec());
  Resync(0);
  if (Active()) DoAfterScroll();
  return result;
}

int TCustomMemTableKv::GetPrevRowTreeNodeLevel() {
  RequireActive();
  if (!FRecordsView->ViewAsTreeList()) return -1;
  const int recNo = RecNo();
  if (recNo <= 1) return -1;
  TMemRecViewKv* node = Tree()->GetVisibleExpandedItem(recNo - 2);
  return node ? node->Level() : -1;
}

int TCustomMemTableKv::GetNextRowTreeNodeLevel() {
  RequireActive();
  if (!FRecordsView->ViewAsTreeList()) return -1;
  const int recNo = RecNo();
  if (recNo < 1 || recNo >= RecordCount()) return -1;
  TMemRecViewKv* node = Tree()->GetVisibleExpandedItem(recNo);
  return node ? node->Level() : -1;
}

bool TCustomMemTableKv::ParentHasNextSibling(int Level) {
  RequireActive();
  if (Level <= 0) return false;
  TBaseTreeNodeKv* n = TreeNode();
  if (!n) return false;
  while (n->Level() > Level && n->Parent()) n = n->Parent();
  if (n->Level() != Level) return false;
  return Tree()->GetNextVisibleSibling(n) != nullptr;
}

// ---- instant read -----------------------------------------------------------------------------------------

TMTRecBuf* TCustomMemTableKv::PushInstantBuffer() {
  TRecordBuffer b = AllocateRecordBuffer();
  FInstantBuffers.push_back(b);
  return Buf(b);
}

int TCustomMemTableKv::InstantReadCurRow() {
  if (!Active()) return FInstantReadCurRowNum;
  if (BufferedRecordCount() > 0) UpdateCursorPos();
  const int n = FRecordsView->ViewItemsCount();
  const TDataSetState s = State();
  const int last = s == dsInsert || s == dsEdit || s == dsSetKey ? n : std::max(n - 1, 0);
  FInstantReadCurRowNum = std::clamp(FRecordPos, 0, last);
  return FInstantReadCurRowNum;
}

void TCustomMemTableKv::InstantReadEnter(int RowNum) {
  const TDataSetState s = State();
  const int cur = s == dsEdit || s == dsInsert ? InstantReadCurRow() : FInstantReadCurRowNum;
  TMTRecBuf* rb = PushInstantBuffer();
  try {
    if ((s == dsEdit || s == dsInsert) && RowNum == cur) {
      // The row being edited or inserted: the values typed so far.
      const TMTRecBuf* a = Buf(ActiveBuffer());
      rb->Values = a->Values;
      rb->MemRec = a->MemRec;
      rb->UseMemRec = a->UseMemRec;
      rb->RecordNumber = a->RecordNumber;
      rb->BookmarkData = a->BookmarkData;
      rb->BookmarkFlag = a->BookmarkFlag;
      rb->RecView = a->RecView;
      if (s == dsInsert) {
        rb->RecordNumber = -1;
        rb->RecView = nullptr;
        rb->MemRec = nullptr;
        rb->UseMemRec = false;
        rb->BookmarkData = {0, -1};
      }
    } else if (FRecordsView->ViewItemsCount() > 0) {
      if (s == dsInsert && RowNum > cur) --RowNum;
      LoadRecBuf(FRecordsView->GetRec(RowNum), RowNum, rb);
    } else {
      CursorInitRecord(reinterpret_cast<TRecordBuffer>(rb));
    }
  } catch (...) {
    InstantReadLeave();
    throw;
  }
}

void TCustomMemTableKv::InstantReadEnter(TMemRecViewKv* RecView, int RowNum) {
  TMTRecBuf* rb = PushInstantBuffer();
  try {
    LoadRecBuf(RecView->Rec(), RowNum, rb);
  } catch (...) {
    InstantReadLeave();
    throw;
  }
}

void TCustomMemTableKv::InstantReadEnter(TMemoryRecordKv* MemRec, int RowNum) {
  TMTRecBuf* rb = PushInstantBuffer();
  try {
    LoadRecBuf(MemRec, RowNum, rb);
    rb->RecView = nullptr;
  } catch (...) {
    InstantReadLeave();
    throw;
  }
}

void TCustomMemTableKv::InstantReadLeave() {
  if (FInstantBuffers.empty()) throw Exception(u"TCustomMemTableKv not in instant read mode.");
  TRecordBuffer b = FInstantBuffers.back();
  FInstantBuffers.pop_back();
  ReleaseRecordBuffer(b);
}

int TCustomMemTableKv::InstantReadRowCount() {
  if (Active() && BufferedRecordCount() > 0) UpdateCursorPos();
  return RecordCount() + (State() == dsInsert ? 1 : 0);
}

int TCustomMemTableKv::InstantReadViewRow() {
  if (FInstantBuffers.empty()) return InstantReadCurRow();
  const int n = Buf(FInstantBuffers.back())->RecordNumber;
  if (State() == dsInsert) {
    if (n == -1) return FInstantReadCurRowNum;
    if (n >= FInstantReadCurRowNum) return n + 1;
  }
  return n;
}

int TCustomMemTableKv::InstantReadIndexOfBookmark(const TBookmark& Bookmark) {
  if (Bookmark.empty()) return -1;
  return BookmarkToRecNo(Bookmark) - 1;
}

TBookmark TCustomMemTableKv::GetBookmark() const {
  if (FInstantBuffers.empty()) return TDataSet::GetBookmark();
  const TMTRecBuf* rb = Buf(FInstantBuffers.back());
  if (!rb->MemRec) return {};
  TBookmark b(sizeof(TBookmarkDataKv));
  std::memcpy(b.data(), &rb->BookmarkData, sizeof(TBookmarkDataKv));
  return b;
}
