#include "engines/kv/TreeListKv.h"

#include <algorithm>
#include <utility>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

// ---- node ------------------------------------------------------------------------------------------------

TBaseTreeNodeKv::TBaseTreeNodeKv(TTreeListKv* AOwner) : FOwner(AOwner) {}

TBaseTreeNodeKv::~TBaseTreeNodeKv() {
  for (TBaseTreeNodeKv* child : FItems) delete child;
}

void TBaseTreeNodeKv::RebuildVisible() {
  if (!FVisibleItemsObsolete) return;
  FVisibleItems.clear();
  int n = 0;
  for (TBaseTreeNodeKv* child : FItems)
    if (child->FVisible) child->FVisibleIndex = n++;
  if (n != Count())
    for (TBaseTreeNodeKv* child : FItems)
      if (child->FVisible) FVisibleItems.push_back(child);
  FVisibleCount = n;
  FHasVisibleChildren = n > 0;
  FVisibleItemsObsolete = false;
}

int TBaseTreeNodeKv::VisibleCount() {
  RebuildVisible();
  return FVisibleCount;
}

TBaseTreeNodeKv* TBaseTreeNodeKv::VisibleItem(int Index) {
  RebuildVisible();
  // Every child visible: the children list serves as the visible list.
  return FVisibleCount == Count() ? FItems.at(static_cast<size_t>(Index)) : FVisibleItems.at(static_cast<size_t>(Index));
}

bool TBaseTreeNodeKv::HasVisibleChildren() {
  RebuildVisible();
  return FHasVisibleChildren;
}

int TBaseTreeNodeKv::Add(TBaseTreeNodeKv* Node) {
  if (Node->FOwner != FOwner) throw Exception(u"TBaseTreeNodeKv.Add: Tree nodes can not has different Owners");
  const bool allVisible = AllVisible();
  FItems.push_back(Node);
  if (allVisible && Node->FVisible) {
    Node->FVisibleIndex = FVisibleCount++;
    FHasVisibleChildren = true;
  } else {
    FVisibleItemsObsolete = true;
  }
  return Count() - 1;
}

void TBaseTreeNodeKv::Insert(int Index, TBaseTreeNodeKv* Node) {
  if (Node->FOwner != FOwner) throw Exception(u"TBaseTreeNodeKv.Add: Tree nodes can not has different Owners");
  FItems.insert(FItems.begin() + Index, Node);
  // Visible indexes behind the new node shift: the list is rebuilt on its next use.
  FVisibleItemsObsolete = true;
}

void TBaseTreeNodeKv::Delete(int Index) {
  FItems.erase(FItems.begin() + Index);
  FVisibleItemsObsolete = true;
}

void TBaseTreeNodeKv::Exchange(int Index1, int Index2) {
  std::swap(FItems.at(static_cast<size_t>(Index1)), FItems.at(static_cast<size_t>(Index2)));
  FItems[static_cast<size_t>(Index1)]->FIndex = Index1;
  FItems[static_cast<size_t>(Index2)]->FIndex = Index2;
  FVisibleItemsObsolete = true;
}

bool TBaseTreeNodeKv::IsInSubtreeOf(const TBaseTreeNodeKv* Node) const {
  for (const TBaseTreeNodeKv* n = this; n && n->FParent; n = n->FParent)
    if (n == Node) return true;
  return false;
}

bool TBaseTreeNodeKv::ExpandedChanging() { return FOwner ? FOwner->ExpandedChanging(this) : true; }

void TBaseTreeNodeKv::ExpandedChanged() {
  if (FOwner) FOwner->ExpandedChanged(this);
}

void TBaseTreeNodeKv::VisibleChanged() {
  if (FParent) FParent->ChildVisibleChanged(this);
}

void TBaseTreeNodeKv::SetExpanded(bool Value) {
  if (Value == FExpanded || !ExpandedChanging()) return;
  FExpanded = Value;
  ExpandedChanged();
}

void TBaseTreeNodeKv::SetVisible(bool Value) {
  if (Value == FVisible || !AskVisibleChange()) return;
  FVisible = Value;
  VisibleChanged();
}

int TBaseTreeNodeKv::SubtreeHeight() const {
  // Iteratively, so a deep chain cannot exhaust the stack.
  int height = 0;
  std::vector<std::pair<const TBaseTreeNodeKv*, int>> work{{this, 0}};
  while (!work.empty()) {
    auto [n, depth] = work.back();
    work.pop_back();
    height = std::max(height, depth);
    for (const TBaseTreeNodeKv* child : n->FItems) work.emplace_back(child, depth + 1);
  }
  return height;
}

void TBaseTreeNodeKv::CheckLevel(int Value) const {
  // The whole subtree is checked first, so a refused level leaves every level as it was.
  const int max = FOwner ? FOwner->MaxLevel() : 1000;
  if (Value > max || (!FItems.empty() && Value + SubtreeHeight() > max))
    throw Exception(u"TBaseTreeNodeKv.SetLevel: Max level exceed - " + IntToStr(max));
}

void TBaseTreeNodeKv::SetLevel(int Value) {
  if (Value == FLevel) return;
  CheckLevel(Value);
  FLevel = Value;
  std::vector<TBaseTreeNodeKv*> work(FItems.begin(), FItems.end());
  while (!work.empty()) {
    TBaseTreeNodeKv* n = work.back();
    work.pop_back();
    n->FLevel = n->FParent->FLevel + 1;
    work.insert(work.end(), n->FItems.begin(), n->FItems.end());
  }
}

void TBaseTreeNodeKv::QuickSort(int L, int R, void* ParamSort, const TCompareNodesKv& Compare, void* Data) {
  int I;
  do {
    I = L;
    int J = R;
    TBaseTreeNodeKv* pivot = FItems[static_cast<size_t>((L + R) / 2)];
    do {
      while (Compare(Data, FItems[static_cast<size_t>(I)], pivot, ParamSort) < 0) ++I;
      while (Compare(Data, FItems[static_cast<size_t>(J)], pivot, ParamSort) > 0) --J;
      if (I <= J) {
        if (I != J) Exchange(I, J);
        ++I;
        --J;
      }
    } while (I <= J);
    if (L < J) QuickSort(L, J, ParamSort, Compare, Data);
    L = I;
  } while (I < R);
}

void TBaseTreeNodeKv::SortData(void* ParamSort, bool ARecurse, const TCompareNodesKv& Compare, void* Data) {
  if (Count() == 0) return;
  QuickSort(0, Count() - 1, ParamSort, Compare, Data);
  for (int i = 0; i < Count(); ++i) FItems[static_cast<size_t>(i)]->FIndex = i;
  FVisibleItemsObsolete = true;  // visible indexes follow the new order
  if (ARecurse)
    for (TBaseTreeNodeKv* child : FItems) child->SortData(ParamSort, true, Compare, Data);
}

// ---- tree ------------------------------------------------------------------------------------------------

TTreeListKv::TTreeListKv(TNodeFactoryKv ItemClass) : FItemClass(std::move(ItemClass)) {
  FRoot = FItemClass ? FItemClass(this) : std::make_unique<TBaseTreeNodeKv>(this);
}

TTreeListKv::~TTreeListKv() = default;

TBaseTreeNodeKv* TTreeListKv::CreateNode(const String& Text, void* Data) {
  std::unique_ptr<TBaseTreeNodeKv> node = FItemClass ? FItemClass(this) : std::make_unique<TBaseTreeNodeKv>(this);
  node->FText = Text;
  node->FData = Data;
  return node.release();
}

TBaseTreeNodeKv* TTreeListKv::AddChild(const String& Text, TBaseTreeNodeKv* Parent, void* Data) {
  std::unique_ptr<TBaseTreeNodeKv> n(CreateNode(Text, Data));
  AttachNode(n.get(), Parent, false, naAddChildKv);
  return n.release();  // linked: its parent owns it now
}

void TTreeListKv::AttachNode(TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Destination, bool ReIndex, TNodeAttachModeKv Mode) {
  if (!Node || Node == Root()) return;
  TBaseTreeNodeKv* dest = Or(Destination);
  if (dest == Root() && Mode != naAddChildKv && Mode != naAddChildFirstKv) return;
  CheckAttach(Node, dest, Mode);
  switch (Mode) {
    case naAddKv: AttachNode(Node, dest->FParent, false, naAddChildKv); return;
    case naAddFirstKv: AttachNode(Node, dest->FParent, ReIndex, naAddChildFirstKv); return;
    case naAddAfterKv: {
      TBaseTreeNodeKv* next = GetNextSibling(dest);
      if (!next) AttachNode(Node, dest, ReIndex, naAddKv);
      else AttachNode(Node, next, ReIndex, naInsertKv);
      return;
    }
    case naAddChildKv:
      Node->FIndex = dest->Add(Node);
      Node->FParent = dest;
      dest->FHasChildren = true;
      break;
    case naAddChildFirstKv:
      dest->Insert(0, Node);
      Node->FParent = dest;
      dest->FHasChildren = true;
      Node->FIndex = 0;
      if (ReIndex) this->ReIndex(dest, false);
      break;
    case naInsertKv: {
      TBaseTreeNodeKv* parent = dest->FParent;
      const int at = dest->FIndex;
      parent->Insert(at, Node);
      Node->FParent = parent;
      parent->FHasChildren = true;
      Node->FIndex = at;
      if (ReIndex) this->ReIndex(parent, false, -1, at);
      break;
    }
  }
  NodeLinkChanged(Node, false, nullptr, -1);
  Node->SetLevel(Node->FParent->FLevel + 1);
}

void TTreeListKv::CheckAttach(const TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Dest, TNodeAttachModeKv Mode) const {
  // The parent the node will get (a destination without parent stands for the root, as AttachNode treats
  // it); owner and level are checked before anything is unlinked or linked.
  const bool child = Mode == naAddChildKv || Mode == naAddChildFirstKv;
  const TBaseTreeNodeKv* parent = child ? Dest : Or(Dest->FParent);
  if (Node->FOwner != parent->FOwner) throw Exception(u"TBaseTreeNodeKv.Add: Tree nodes can not has different Owners");
  Node->CheckLevel(parent->FLevel + 1);
}

void TTreeListKv::MoveTo(TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Destination, TNodeAttachModeKv Mode, bool ReIndex) {
  if (!Node || Node == Root()) return;
  TBaseTreeNodeKv* dest = Or(Destination);
  if (dest == Root() && Mode != naAddChildKv && Mode != naAddChildFirstKv) return;
  if (dest->IsInSubtreeOf(Node)) throw Exception(u"Reference-loop found");
  CheckAttach(Node, dest, Mode);
  if (TBaseTreeNodeKv* parent = Node->FParent) {
    const int at = Node->FIndex;
    parent->Delete(at);
    parent->FHasChildren = parent->Count() > 0;
    if (ReIndex) this->ReIndex(parent, false, -1, at);
    Node->FParent = nullptr;
  }
  AttachNode(Node, dest, ReIndex, Mode);
}

void TTreeListKv::ExtractNode(TBaseTreeNodeKv* Node, bool ReIndex) {
  if (!Node || !Node->FParent) return;
  TBaseTreeNodeKv* parent = Node->FParent;
  const int at = Node->FIndex;
  const bool last = at == parent->Count() - 1;
  parent->Delete(at);
  parent->FHasChildren = parent->Count() > 0;
  Node->FParent = nullptr;
  Node->FIndex = -1;
  if (ReIndex && !last) this->ReIndex(parent, false, -1, at);
  NodeLinkChanged(Node, true, parent, at);
}

void TTreeListKv::DeleteChildren(TBaseTreeNodeKv* Node) {
  TBaseTreeNodeKv* n = Or(Node);
  std::vector<TBaseTreeNodeKv*> items;
  items.swap(n->FItems);
  n->ClearItems();
  n->FHasChildren = false;
  n->FVisibleCount = 0;
  n->FHasVisibleChildren = false;
  n->FVisibleItemsObsolete = false;
  for (TBaseTreeNodeKv* child : items) delete child;
}

void TTreeListKv::DeleteNode(TBaseTreeNodeKv* Node, bool ReIndex) {
  if (!Node || Node == Root()) return;
  DeleteChildren(Node);
  ExtractNode(Node, ReIndex);
  delete Node;
}

void TTreeListKv::Expand(TBaseTreeNodeKv* Node, bool Recurse) {
  TBaseTreeNodeKv* n = Or(Node);
  if (n->Count() == 0) return;
  if (n != Root()) n->SetExpanded(true);
  if (Recurse)
    for (TBaseTreeNodeKv* child : n->FItems) Expand(child, true);
}

void TTreeListKv::Collapse(TBaseTreeNodeKv* Node, bool Recurse) {
  TBaseTreeNodeKv* n = Or(Node);
  n->SetExpanded(false);
  if (Recurse)
    for (TBaseTreeNodeKv* child : n->FItems) Collapse(child, true);
}

TBaseTreeNodeKv* TTreeListKv::FindNodeByData(TBaseTreeNodeKv* Parent, const void* Data) const {
  TBaseTreeNodeKv* top = Or(Parent);
  for (TBaseTreeNodeKv* n = top; n; ) {
    if (n->FData == Data) return n;
    // Depth first: children before the next sibling, never leaving Parent's subtree.
    if (!n->FItems.empty()) {
      n = n->FItems.front();
      continue;
    }
    while (n != top && !GetNextSibling(n)) n = n->FParent;
    if (n == top) return nullptr;
    n = GetNextSibling(n);
  }
  return nullptr;
}

TBaseTreeNodeKv* TTreeListKv::GetPrevSibling(const TBaseTreeNodeKv* Node) {
  if (!Node || !Node->FParent || Node->FIndex <= 0) return nullptr;
  return Node->FParent->FItems[static_cast<size_t>(Node->FIndex - 1)];
}

TBaseTreeNodeKv* TTreeListKv::GetNextSibling(const TBaseTreeNodeKv* Node) {
  if (!Node || !Node->FParent || Node->FIndex < 0 || Node->FIndex + 1 >= Node->FParent->Count()) return nullptr;
  return Node->FParent->FItems[static_cast<size_t>(Node->FIndex + 1)];
}

TBaseTreeNodeKv* TTreeListKv::GetFirstChild(TBaseTreeNodeKv* Node) const {
  TBaseTreeNodeKv* n = Or(Node);
  return n->FItems.empty() ? nullptr : n->FItems.front();
}

TBaseTreeNodeKv* TTreeListKv::GetLastChild(TBaseTreeNodeKv* Node) const {
  TBaseTreeNodeKv* n = Or(Node);
  return n->FItems.empty() ? nullptr : n->FItems.back();
}

TBaseTreeNodeKv* TTreeListKv::GetLastDescendant(TBaseTreeNodeKv* Node) const {
  TBaseTreeNodeKv* n = Or(Node);
  if (n->FItems.empty()) return nullptr;
  while (!n->FItems.empty()) n = n->FItems.back();
  return n;
}

bool TTreeListKv::HasChildren(TBaseTreeNodeKv* Node) const { return Or(Node)->Count() > 0; }

TBaseTreeNodeKv* TTreeListKv::GetNext(TBaseTreeNodeKv* Node) const {
  TBaseTreeNodeKv* n = Or(Node);
  if (!n->FItems.empty()) return n->FItems.front();
  for (; n && n != Root(); n = n->FParent)
    if (TBaseTreeNodeKv* s = GetNextSibling(n)) return s;
  return nullptr;
}

TBaseTreeNodeKv* TTreeListKv::GetPrevious(TBaseTreeNodeKv* Node) const {
  if (!Node || Node == Root()) return Root();
  if (TBaseTreeNodeKv* prev = GetPrevSibling(Node)) {
    TBaseTreeNodeKv* last = GetLastDescendant(prev);
    return last ? last : prev;
  }
  return Node->FParent == Root() ? nullptr : Node->FParent;
}

TBaseTreeNodeKv* TTreeListKv::GetFirstVisible() {
  TBaseTreeNodeKv* r = Root();
  return r->VisibleCount() > 0 ? r->VisibleItem(0) : nullptr;
}

bool TTreeListKv::IsOnVisiblePath(const TBaseTreeNodeKv* Node, bool ExpandedOnly) const {
  for (const TBaseTreeNodeKv* p = Node ? Node->FParent : nullptr; p && p != Root(); p = p->FParent)
    if (!p->FVisible || (ExpandedOnly && !p->FExpanded)) return false;
  return true;
}

TBaseTreeNodeKv* TTreeListKv::GetNextVisibleSibling(TBaseTreeNodeKv* Node) {
  if (!Node || !Node->FParent) return nullptr;
  TBaseTreeNodeKv* parent = Node->FParent;
  parent->RebuildVisible();
  if (parent->FVisibleCount == parent->Count()) return GetNextSibling(Node);
  if (!Node->FVisible) {
    for (int i = Node->FIndex + 1; i < parent->Count(); ++i)
      if (parent->FItems[static_cast<size_t>(i)]->FVisible) return parent->FItems[static_cast<size_t>(i)];
    return nullptr;
  }
  const int next = Node->FVisibleIndex + 1;
  return next < parent->FVisibleCount ? parent->FVisibleItems[static_cast<size_t>(next)] : nullptr;
}

TBaseTreeNodeKv* TTreeListKv::GetNextVisible(TBaseTreeNodeKv* Node, bool ExpandedOnly) {
  if (!Node || Node == Root()) return nullptr;
  // A node not shown stands for its nearest shown ancestor.
  TBaseTreeNodeKv* n = Node;
  while (n->FParent && n->FParent != Root() && (!n->FVisible || !IsOnVisiblePath(n, ExpandedOnly))) n = n->FParent;
  if (n->Count() > 0 && (n->FExpanded || !ExpandedOnly) && n->VisibleCount() > 0) return n->VisibleItem(0);
  for (; n && n != Root(); n = n->FParent)
    if (TBaseTreeNodeKv* s = GetNextVisibleSibling(n)) return s;
  return nullptr;
}

void TTreeListKv::ReIndex(TBaseTreeNodeKv* Node, bool Recurse, int ToIndex, int FromIndex) {
  TBaseTreeNodeKv* n = Or(Node);
  n->FVisibleItems.clear();
  const int from = FromIndex < 0 ? 0 : FromIndex;
  const int to = ToIndex < 0 ? n->Count() - 1 : std::min(ToIndex, n->Count() - 1);
  for (int i = from; i <= to; ++i) {
    TBaseTreeNodeKv* c = n->FItems[static_cast<size_t>(i)];
    c->FIndex = i;
    if (Recurse) ReIndex(c, true);
  }
  n->FVisibleItemsObsolete = true;
}

void TTreeListKv::SortData(void* ParamSort, bool ARecurse, const TBaseTreeNodeKv::TCompareNodesKv& Compare, void* Data) {
  Root()->SortData(ParamSort, ARecurse, Compare, Data);
}
