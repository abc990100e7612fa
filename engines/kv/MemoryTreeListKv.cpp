#include "engines/kv/MemoryTreeListKv.h"

#include <algorithm>

#include "engines/kv/DataStructKv.h"
#include "platform/db/DataSet.h"
#include "platform/rtl/Format.h"

TMemRecViewKv::~TMemRecViewKv() {
  if (auto* owner = dynamic_cast<TMemoryTreeListKv*>(Owner())) owner->NodeDestroyed(this);
}

TMemoryTreeListKv::TMemoryTreeListKv(TRecordsListKv* List)
    : TTreeListKv([](TTreeListKv* Owner) { return std::make_unique<TMemRecViewKv>(Owner); }), FList(List) {}

TMemoryTreeListKv::~TMemoryTreeListKv() {
  FDestroying = true;
  Clear();
}

std::vector<int> TMemoryTreeListKv::ResolveFields(const String& Names) const {
  std::vector<int> fields;
  size_t pos = 0;
  for (String name = ExtractFieldName(Names, pos); !name.empty(); name = ExtractFieldName(Names, pos)) {
    const int i = FList->DataStruct()->FieldIndex(name);
    if (i < 0) DatabaseErrorFmt(u"Field '%s' not found", {name});
    fields.push_back(i);
  }
  return fields;
}

void TMemoryTreeListKv::SetKeyFieldNames(const String& Names) {
  FKeyFields = ResolveFields(Names);
  FKeyFieldNames = Names;
}

void TMemoryTreeListKv::SetParentFieldNames(const String& Names) {
  FParentFields = ResolveFields(Names);
  FParentFieldNames = Names;
}

TMemoryTreeListKv* TMemRecViewKv::NodeOwner() const { return static_cast<TMemoryTreeListKv*>(Owner()); }

TMemRecViewKv* TMemRecViewKv::NodeParent() const {
  TBaseTreeNodeKv* p = Parent();
  return p && p != Owner()->Root() ? static_cast<TMemRecViewKv*>(p) : nullptr;
}

void TMemRecViewKv::SetNodeParent(TMemRecViewKv* Value) {
  TBaseTreeNodeKv* dest = Value ? static_cast<TBaseTreeNodeKv*>(Value) : Owner()->Root();
  if (dest == Parent()) return;
  NodeOwner()->MoveTo(this, dest, naAddChildKv, true);
}

Variant TMemoryTreeListKv::ValuesOf(const TMemoryRecordKv* Rec, const std::vector<int>& Fields) const {
  if (Fields.empty()) return Variant();
  if (Fields.size() == 1) return Rec->GetDataValue(Fields[0], dvvValueKv);
  std::vector<Variant> values;
  values.reserve(Fields.size());
  for (int f : Fields) values.push_back(Rec->GetDataValue(f, dvvValueKv));
  return VarArrayOf(values);
}

namespace {
bool Blank(const Variant& v) {
  if (v.IsNull() || v.IsEmpty()) return true;
  if (!v.IsArray()) return false;
  // A composite reference is missing when every part is.
  for (int i = VarArrayLowBound(v, 1); i <= VarArrayHighBound(v, 1); ++i) {
    const Variant e = VarArrayGet(v, i);
    if (!e.IsNull() && !e.IsEmpty()) return false;
  }
  return true;
}
}  // namespace

void TMemoryTreeListKv::Index(TMemRecViewKv* Node) {
  Node->FKey = KeyOf(Node->Rec());
  Node->FRef = RefOf(Node->Rec());
  if (!Blank(Node->FKey)) FByKey.emplace(Node->FKey, Node);
  if (!Blank(Node->FRef)) FByRef.emplace(Node->FRef, Node);
  Node->FIndexed = true;
}

void TMemoryTreeListKv::Unindex(TMemRecViewKv* Node) {
  if (!Node->FIndexed) return;
  auto erase = [Node](TKeyMap& map, const Variant& key) {
    if (Blank(key)) return;
    auto [b, e] = map.equal_range(key);
    for (auto it = b; it != e; ++it)
      if (it->second == Node) {
        map.erase(it);
        return;
      }
    // The key no longer orders as it did (a value of another kind): find the node the long way.
    for (auto it = map.begin(); it != map.end(); ++it)
      if (it->second == Node) {
        map.erase(it);
        return;
      }
  };
  erase(FByKey, Node->FKey);
  erase(FByRef, Node->FRef);
  Node->FIndexed = false;
}

void TMemoryTreeListKv::NodeDestroyed(TMemRecViewKv* Node) {
  FVisibleItemsObsolete = true;
  if (std::find(FInsertedNodeStack.begin(), FInsertedNodeStack.end(), Node) != FInsertedNodeStack.end())
    FInsertedNodeStack.clear();
  if (Node->Rec()) {
    auto it = FByRec.find(Node->Rec());
    if (it != FByRec.end() && it->second == Node) FByRec.erase(it);
  }
  Unindex(Node);
}

TMemRecViewKv* TMemoryTreeListKv::GetNode(TBaseTreeNodeKv* StartNode, const TMemoryRecordKv* Rec) const {
  auto it = FByRec.find(Rec);
  if (it == FByRec.end()) return nullptr;
  if (StartNode && StartNode != Root() && !it->second->IsInSubtreeOf(StartNode)) return nullptr;
  return it->second;
}

// ---- flat lists ------------------------------------------------------------------------------------------

void TMemoryTreeListKv::BuildVisibleItems() {
  FVisibleExpandedItems.clear();
  FVisibleItems.clear();
  if (++FVisibleGen == 0) ++FVisibleGen;
  // Depth-first pre-order over visible nodes; a node's subtree counts as expanded while every node on
  // the path is expanded.
  struct Frame {
    TBaseTreeNodeKv* Node;
    int Next;
    bool Expanded;
  };
  std::vector<Frame> stack{{Root(), 0, true}};
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.Next >= f.Node->Count()) {
      stack.pop_back();
      continue;
    }
    auto* child = static_cast<TMemRecViewKv*>(f.Node->Items(f.Next++));
    if (!child->Visible()) continue;
    FVisibleItems.push_back(child);
    if (f.Expanded) {
      child->FVisibleRow = static_cast<int>(FVisibleExpandedItems.size());
      child->FVisibleGen = FVisibleGen;
      FVisibleExpandedItems.push_back(child);
    }
    const bool expanded = f.Expanded && child->Expanded();
    if (child->Count() > 0) stack.push_back({child, 0, expanded});
  }
  FVisibleItemsObsolete = false;
}

int TMemoryTreeListKv::VisibleExpandedCount() {
  if (FVisibleItemsObsolete) BuildVisibleItems();
  return static_cast<int>(FVisibleExpandedItems.size());
}

TMemRecViewKv* TMemoryTreeListKv::GetVisibleExpandedItem(int Index) {
  if (FVisibleItemsObsolete) BuildVisibleItems();
  return Index >= 0 && Index < static_cast<int>(FVisibleExpandedItems.size()) ? FVisibleExpandedItems[static_cast<size_t>(Index)]
                                                                               : nullptr;
}

int TMemoryTreeListKv::VisibleExpandedIndexOf(const TMemRecViewKv* Node) {
  if (!Node) return -1;
  if (FVisibleItemsObsolete) BuildVisibleItems();
  return Node->FVisibleGen == FVisibleGen ? Node->FVisibleRow : -1;
}

int TMemoryTreeListKv::AccountableCount() {
  if (FVisibleItemsObsolete) BuildVisibleItems();
  return static_cast<int>(FVisibleItems.size());
}

TMemRecViewKv* TMemoryTreeListKv::GetAccountableItem(int Index) {
  if (FVisibleItemsObsolete) BuildVisibleItems();
  return Index >= 0 && Index < static_cast<int>(FVisibleItems.size()) ? FVisibleItems[static_cast<size_t>(Index)] : nullptr;
}

void TMemoryTreeListKv::GetRecordsList(std::vector<TMemoryRecordKv*>& List, TBaseTreeNodeKv* Node, bool ARecurse) {
  TBaseTreeNodeKv* n = Node ? Node : Root();
  for (int i = 0; i < n->Count(); ++i) {
    auto* child = static_cast<TMemRecViewKv*>(n->Items(i));
    List.push_back(child->Rec());
    if (ARecurse) GetRecordsList(List, child, true);
  }
}

// ---- building --------------------------------------------------------------------------------------------

void TMemoryTreeListKv::Build() {
  Clear();
  FInsertedNodeStack.clear();
  for (TMemoryRecordKv* r = FList->First(); r; r = TRecordsListKv::Next(r)) AddChildAtKey(r);
  FVisibleItemsObsolete = true;
}

int TMemoryTreeListKv::SortedPosition(TMemoryRecordKv* Rec, TBaseTreeNodeKv* Parent, const TBaseTreeNodeKv* Skip) {
  std::vector<TMemRecViewKv*> kids;
  kids.reserve(static_cast<size_t>(Parent->Count()));
  for (int i = 0; i < Parent->Count(); ++i)
    if (Parent->Items(i) != Skip) kids.push_back(static_cast<TMemRecViewKv*>(Parent->Items(i)));
  if (kids.empty()) return -1;
  // The first position whose record compares greater (equal keys keep arrival order).
  size_t lo = 0, hi = kids.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (CompareRecs(kids[mid]->Rec(), Rec) <= 0) lo = mid + 1;
    else hi = mid;
  }
  return static_cast<int>(lo);
}

TMemRecViewKv* TMemoryTreeListKv::AddChild(TBaseTreeNodeKv* Parent, TMemoryRecordKv* Rec) {
  TBaseTreeNodeKv* parent = Parent ? Parent : Root();
  auto* node = static_cast<TMemRecViewKv*>(CreateNode(String(), Rec));
  FByRec[Rec] = node;
  Index(node);
  const int count = parent->Count();
  if (Sorted()) {
    const int at = SortedPosition(Rec, parent, nullptr);
    if (at < 0 || at >= count) AttachNode(node, parent, false, naAddChildKv);
    else AttachNode(node, parent->Items(at), true, naInsertKv);
  } else if (count == 0 || static_cast<TMemRecViewKv*>(parent->Items(count - 1))->Rec()->Index() < Rec->Index()) {
    AttachNode(node, parent, false, naAddChildKv);
  } else {
    // Record order: after the last child that stands before the record in the list.
    const int index = Rec->Index();
    int i = count - 1;
    while (i >= 0 && static_cast<TMemRecViewKv*>(parent->Items(i))->Rec()->Index() > index) --i;
    if (i + 1 >= count) AttachNode(node, parent, false, naAddChildKv);
    else AttachNode(node, parent->Items(i + 1), true, naInsertKv);
  }
  node->SetExpanded(DefaultNodeExpanded);
  node->SetHasVisibleChildren(DefaultNodeHasChildren);
  FVisibleItemsObsolete = true;
  return node;
}

TMemRecViewKv* TMemoryTreeListKv::GetParentNodeForRefValue(const Variant& RefValue) const {
  if (Blank(RefValue)) return nullptr;
  auto it = FByKey.find(RefValue);
  if (it != FByKey.end() && KvVarEquals(it->first, RefValue)) return it->second;
  return nullptr;
}

TBaseTreeNodeKv* TMemoryTreeListKv::GetParentNodeAtKeyValue(const Variant& RefKeyValue) const {
  TMemRecViewKv* p = GetParentNodeForRefValue(RefKeyValue);
  return p ? static_cast<TBaseTreeNodeKv*>(p) : Root();
}

TBaseTreeNodeKv* TMemoryTreeListKv::GetParentNodeAtKey(const TMemoryRecordKv* Rec) {
  TMemRecViewKv* p = GetParentNodeForRefValue(RefOf(Rec));
  return p ? static_cast<TBaseTreeNodeKv*>(p) : Root();
}

void TMemoryTreeListKv::GetChildNodesForKey(const TMemoryRecordKv* Rec, std::vector<TMemRecViewKv*>& ChildList) {
  const Variant key = KeyOf(Rec);
  if (Blank(key)) return;
  auto [b, e] = FByRef.equal_range(key);
  for (auto it = b; it != e; ++it)
    if (KvVarEquals(it->first, key)) ChildList.push_back(it->second);
}

TMemRecViewKv* TMemoryTreeListKv::AddChildAtKey(TMemoryRecordKv* Rec) {
  const Variant ref = RefOf(Rec);
  TBaseTreeNodeKv* parent = nullptr;
  bool replaceTop = false;
  auto& st = FInsertedNodeStack;
  if (st.size() >= 2 && !Blank(ref)) {
    if (KvVarEquals(ref, st[st.size() - 2]->FKey)) {
      parent = st[st.size() - 2];
      replaceTop = true;
    } else if (KvVarEquals(ref, st.back()->FKey)) {
      parent = st.back();
    } else {
      st.pop_back();
      st.pop_back();
      while (!st.empty() && !KvVarEquals(ref, st.back()->FKey)) st.pop_back();
      if (!st.empty()) parent = st.back();
    }
  }
  if (!parent) parent = GetParentNodeAtKey(Rec);
  TMemRecViewKv* node = AddChild(parent, Rec);
  if (FullBuildCheck) {
    std::vector<TMemRecViewKv*> kids;
    GetChildNodesForKey(Rec, kids);
    std::erase_if(kids, [node](TMemRecViewKv* k) { return k == node || node->IsInSubtreeOf(k) || k->Parent() == node; });
    std::sort(kids.begin(), kids.end(), [](TMemRecViewKv* a, TMemRecViewKv* b) { return a->Rec()->Index() < b->Rec()->Index(); });
    for (TMemRecViewKv* k : kids) TTreeListKv::MoveTo(k, node, naAddChildKv, true);
    if (!kids.empty() && Sorted()) node->SortData(nullptr, false, [this](void*, TBaseTreeNodeKv* a, TBaseTreeNodeKv* b, void*) {
      return CompareTreeNodes(a, b, nullptr);
    }, nullptr);
  }
  if (replaceTop) st.back() = node;
  else st.push_back(node);
  FVisibleItemsObsolete = true;
  return node;
}

int TMemoryTreeListKv::GetIndexForNode(TMemoryRecordKv* Rec, TBaseTreeNodeKv* ParentNode) {
  if (!ParentNode || ParentNode->Count() == 0) return -1;
  if (Sorted()) return SortedPosition(Rec, ParentNode, nullptr);
  const int count = ParentNode->Count();
  if (static_cast<TMemRecViewKv*>(ParentNode->Items(count - 1))->Rec()->Index() < Rec->Index()) return -1;
  int i = count - 1;
  while (i >= 0 && static_cast<TMemRecViewKv*>(ParentNode->Items(i))->Rec()->Index() >= Rec->Index()) --i;
  return i + 1;
}

TBaseTreeNodeKv* TMemoryTreeListKv::UpdateParent(TMemRecViewKv* Node, bool ReIndex) {
  Unindex(Node);
  Index(Node);
  FInsertedNodeStack.clear();
  TBaseTreeNodeKv* parent = GetParentNodeAtKey(Node->Rec());
  if (parent != Node->Parent()) {
    int at = GetIndexForNode(Node->Rec(), parent);
    if (at >= 0 && at < parent->Count() && parent->Items(at) == Node) at = -1;
    if (at < 0 || at >= parent->Count()) MoveTo(Node, parent, naAddChildKv, ReIndex);
    else MoveTo(Node, parent->Items(at), naInsertKv, ReIndex);
    FVisibleItemsObsolete = true;
  } else if (Sorted()) {
    // Positions among the other children are the final positions.
    const int old = Node->Index();
    const int at = SortedPosition(Node->Rec(), parent, Node);
    const int target = at < 0 ? 0 : at;
    if (target != old) {
      ExtractNode(Node, true);
      if (target >= parent->Count()) AttachNode(Node, parent, true, naAddChildKv);
      else AttachNode(Node, parent->Items(target), true, naInsertKv);
      FVisibleItemsObsolete = true;
    }
  }
  return parent;
}

void TMemoryTreeListKv::RemoveRecord(TMemoryRecordKv* Rec) {
  TMemRecViewKv* node = GetNode(nullptr, Rec);
  if (!node) return;
  TBaseTreeNodeKv* parent = node->Parent();
  std::vector<TMemoryRecordKv*> below;
  GetRecordsList(below, node, true);
  // Out of the key maps first, so the descendants cannot find their old parent again.
  Unindex(node);
  DeleteNode(node, true);
  FInsertedNodeStack.clear();
  for (TMemoryRecordKv* r : below) AddChildAtKey(r);
  if (parent && parent != Root()) UpdateNodeState(static_cast<TMemRecViewKv*>(parent), true);
  FVisibleItemsObsolete = true;
}

bool TMemoryTreeListKv::CheckReferenceLoop(TMemoryRecordKv* Rec, const Variant& NewRefValue) {
  const Variant ref = NewRefValue.IsEmpty() ? RefOf(Rec) : NewRefValue;
  if (Blank(ref)) return false;
  if (KvVarEquals(ref, KeyOf(Rec))) return true;
  // The parent may not exist (yet): then there is no chain to loop through.
  TMemRecViewKv* self = GetNode(nullptr, Rec);
  if (!self) return false;
  for (TBaseTreeNodeKv* n = GetParentNodeForRefValue(ref); n && n != Root(); n = n->Parent())
    if (n == self) return true;
  return false;
}

// ---- node state ------------------------------------------------------------------------------------------

void TMemoryTreeListKv::UpdateNodeState(TMemRecViewKv* Node, bool IsUpdateParent) {
  FVisibleItemsObsolete = true;
  if (!Node || Node == Root()) return;
  bool visible = false;
  for (int i = 0; i < Node->Count() && !visible; ++i) visible = Node->Items(i)->Visible();
  if (!visible) visible = !OnFilterRecord || OnFilterRecord(Node->Rec());
  Node->SetVisible(visible);
  if (OnCalcLookupBuffer) OnCalcLookupBuffer(Node);
  TBaseTreeNodeKv* parent = Node->Parent();
  if (IsUpdateParent && parent && parent != Root() && parent->Visible() != Node->Visible())
    UpdateNodeState(static_cast<TMemRecViewKv*>(parent), true);
}

void TMemoryTreeListKv::UpdateNodesState(TBaseTreeNodeKv* Parent) {
  TBaseTreeNodeKv* p = Parent ? Parent : Root();
  for (int i = 0; i < p->Count(); ++i) {
    auto* child = static_cast<TMemRecViewKv*>(p->Items(i));
    UpdateNodesState(child);
    UpdateNodeState(child, false);
  }
  FVisibleItemsObsolete = true;
}

void TMemoryTreeListKv::ShowDescendantsOfVisibleNodes(TBaseTreeNodeKv* Node) {
  TBaseTreeNodeKv* n = Node ? Node : Root();
  for (int i = 0; i < n->Count(); ++i) {
    TBaseTreeNodeKv* child = n->Items(i);
    if (!child->Visible()) continue;
    if (!child->HasVisibleChildren()) SetChildrenVisible(child, true, true);
    else ShowDescendantsOfVisibleNodes(child);
  }
  FVisibleItemsObsolete = true;
}

void TMemoryTreeListKv::SetChildrenVisible(TBaseTreeNodeKv* Node, bool Visible, bool Recurse) {
  TBaseTreeNodeKv* n = Node ? Node : Root();
  for (int i = 0; i < n->Count(); ++i) {
    n->Items(i)->SetVisible(Visible);
    if (Recurse) SetChildrenVisible(n->Items(i), Visible, true);
  }
  FVisibleItemsObsolete = true;
}

// ---- order -----------------------------------------------------------------------------------------------

int TMemoryTreeListKv::CompareTreeNodes(TBaseTreeNodeKv* Node1, TBaseTreeNodeKv* Node2, void* ParamSort) {
  (void)ParamSort;
  return CompareRecs(static_cast<TMemRecViewKv*>(Node1)->Rec(), static_cast<TMemRecViewKv*>(Node2)->Rec());
}

void TMemoryTreeListKv::Resort() {
  // Stable within equal keys: ties fall back to record order.
  SortData(nullptr, true,
           [this](void*, TBaseTreeNodeKv* a, TBaseTreeNodeKv* b, void*) {
             const int r = CompareTreeNodes(a, b, nullptr);
             return r != 0 ? r : static_cast<TMemRecViewKv*>(a)->Rec()->Index() - static_cast<TMemRecViewKv*>(b)->Rec()->Index();
           },
           nullptr);
  BuildVisibleItems();
  if (OnListChanged) OnListChanged();
}

void TMemoryTreeListKv::MoveTo(TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Destination, TNodeAttachModeKv Mode, bool ReIndex) {
  TTreeListKv::MoveTo(Node, Destination, Mode, ReIndex);
  FVisibleItemsObsolete = true;
}

String TMemoryTreeListKv::Dump(TBaseTreeNodeKv* Node) {
  TBaseTreeNodeKv* n = Node ? Node : Root();
  String s;
  for (int i = 0; i < n->Count(); ++i) {
    auto* child = static_cast<TMemRecViewKv*>(n->Items(i));
    if (!s.empty()) s += u" ";
    s += KvVarToText(child->FKey);
    if (child->Count()) {
      s += u"(";
      s += Dump(child);
      s += u")";
    }
  }
  return s;
}
