// The records of a records list as a tree: every record is one node (TMemRecViewKv), the child of the
// record whose key fields equal its parent-reference fields; a record without such a parent is a child
// of the invisible root. Children stay in record order, or in the order OnCompareRecords gives. Two flat
// lists are served: the visible nodes whose ancestors are all expanded (a grid's rows) and every visible
// node (the accountable rows that aggregates count).
//
// Parents are found without searching the tree: records arriving parent-before-child find theirs on the
// stack of the last inserted path, others through a map from key values to nodes, so a build in any order
// costs O(n log n). A second map from parent references to nodes lets FullBuildCheck adopt, under a new
// node, the nodes that were waiting for it.
#pragma once

#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

#include "engines/kv/KvValues.h"
#include "engines/kv/RecordsListKv.h"
#include "engines/kv/TreeListKv.h"

class TMemoryTreeListKv;

class TMemRecViewKv : public TBaseTreeNodeKv {
 public:
  explicit TMemRecViewKv(TTreeListKv* AOwner) : TBaseTreeNodeKv(AOwner) {}
  ~TMemRecViewKv() override;
  TMemoryRecordKv* Rec() const { return static_cast<TMemoryRecordKv*>(Data()); }
  std::vector<Variant> LookupBuffer;
  void SetLookupBufferLength(int NewLength) { LookupBuffer.resize(static_cast<size_t>(NewLength)); }

  // A grid's view of the node. The parent of a top-level node is the tree's invisible root.
  TMemoryTreeListKv* NodeOwner() const;
  TMemRecViewKv* NodeParent() const;
  // Moves the node under Value (the root for nullptr) as its last child.
  void SetNodeParent(TMemRecViewKv* Value);
  int NodeLevel() const { return Level(); }
  int NodeIndex() const { return Index(); }
  int VisibleNodeIndex() const { return VisibleIndex(); }
  bool NodeHasChildren() const { return HasChildren(); }
  void SetNodeHasChildren(bool Value) { SetHasChildren(Value); }
  bool NodeExpanded() const { return Expanded(); }
  bool NodeVisible() const { return Visible(); }
  int NodesCount() const { return Count(); }
  int VisibleNodesCount() { return VisibleCount(); }
  bool NodeHasVisibleChildren() { return HasVisibleChildren(); }
  void SetNodeHasVisibleChildren(bool Value) { SetHasVisibleChildren(Value); }
  TMemRecViewKv* GetItem(int Index) const { return static_cast<TMemRecViewKv*>(Items(Index)); }

 private:
  friend class TMemoryTreeListKv;
  Variant FKey;  // the key and parent reference under which the node is indexed
  Variant FRef;
  bool FIndexed = false;
  // Row among the visible expanded items, valid while FVisibleGen is the tree's current build.
  int FVisibleRow = -1;
  unsigned FVisibleGen = 0;
};

class TMemoryTreeListKv : public TTreeListKv {
 public:
  explicit TMemoryTreeListKv(TRecordsListKv* List);
  ~TMemoryTreeListKv() override;

  // ";"-separated names of the list's structure fields; unknown names raise "Field '%s' not found".
  void SetKeyFieldNames(const String& Names);
  void SetParentFieldNames(const String& Names);
  const String& KeyFieldNames() const { return FKeyFieldNames; }
  const String& ParentFieldNames() const { return FParentFieldNames; }
  // Kept for callers; the tree's own operations do not use it.
  TMemRecViewKv* DefaultParentNode = nullptr;
  bool DefaultNodeExpanded = false;
  bool DefaultNodeHasChildren = false;
  bool FullBuildCheck = false;
  bool FilterNodeIfParentVisible = true;
  // The children's order (record order when unset) and the filter of UpdateNodeState (all pass when unset).
  std::function<int(TMemoryRecordKv*, TMemoryRecordKv*)> OnCompareRecords;
  std::function<bool(TMemoryRecordKv*)> OnFilterRecord;
  std::function<void(TMemRecViewKv*)> OnCalcLookupBuffer;
  std::function<void()> OnListChanged;

  Variant KeyOf(const TMemoryRecordKv* Rec) const { return ValuesOf(Rec, FKeyFields); }
  Variant RefOf(const TMemoryRecordKv* Rec) const { return ValuesOf(Rec, FParentFields); }

  // The node of Rec within StartNode's subtree (the whole tree for nullptr), or nullptr.
  TMemRecViewKv* GetNode(TBaseTreeNodeKv* StartNode, const TMemoryRecordKv* Rec) const;
  int VisibleExpandedCount();
  TMemRecViewKv* GetVisibleExpandedItem(int Index);
  // The node's row among the visible expanded items; -1 when it has none. O(1) after the rebuild.
  int VisibleExpandedIndexOf(const TMemRecViewKv* Node);
  int AccountableCount();
  TMemRecViewKv* GetAccountableItem(int Index);
  void BuildVisibleItems();
  void VisibleItemsBecomeObsolete() { FVisibleItemsObsolete = true; }
  bool VisibleItemsObsolete() const { return FVisibleItemsObsolete; }
  void GetRecordsList(std::vector<TMemoryRecordKv*>& List, TBaseTreeNodeKv* Node, bool ARecurse);

  // Every record of the list, in list order.
  void Build();
  TMemRecViewKv* AddChild(TBaseTreeNodeKv* Parent, TMemoryRecordKv* Rec);
  TMemRecViewKv* AddChildAtKey(TMemoryRecordKv* Rec);
  // After Rec's key or reference changed: the node re-indexed and moved under its new parent.
  TBaseTreeNodeKv* UpdateParent(TMemRecViewKv* Node, bool ReIndex);
  // After Rec left the list: its node goes, its descendants are placed again by their references.
  void RemoveRecord(TMemoryRecordKv* Rec);
  int GetIndexForNode(TMemoryRecordKv* Rec, TBaseTreeNodeKv* ParentNode);
  // The node whose record's key is Rec's reference; the root when none.
  TBaseTreeNodeKv* GetParentNodeAtKey(const TMemoryRecordKv* Rec);
  // The node whose record's key is RefValue; nullptr when none.
  TMemRecViewKv* GetParentNodeForRefValue(const Variant& RefValue) const;
  // As GetParentNodeForRefValue, but the root when none.
  TBaseTreeNodeKv* GetParentNodeAtKeyValue(const Variant& RefKeyValue) const;
  void GetChildNodesForKey(const TMemoryRecordKv* Rec, std::vector<TMemRecViewKv*>& ChildList);
  // True when giving Rec the reference NewRefValue (its own when unassigned) would make it its own ancestor.
  bool CheckReferenceLoop(TMemoryRecordKv* Rec, const Variant& NewRefValue = Variant());

  void UpdateNodeState(TMemRecViewKv* Node, bool IsUpdateParent);
  void UpdateNodesState(TBaseTreeNodeKv* Parent);
  virtual void ShowDescendantsOfVisibleNodes(TBaseTreeNodeKv* Node);
  void SetChildrenVisible(TBaseTreeNodeKv* Node, bool Visible, bool Recurse);
  virtual void Resort();
  void MoveTo(TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Destination, TNodeAttachModeKv Mode, bool ReIndex) override;
  int CompareTreeNodes(TBaseTreeNodeKv* Node1, TBaseTreeNodeKv* Node2, void* ParamSort) override;
  void ExpandedChanged(TBaseTreeNodeKv* Node) override {
    FVisibleItemsObsolete = true;
    TTreeListKv::ExpandedChanged(Node);
  }

  // The tree as text for tests: "1(2 3(4)) 5", each node as its record's key.
  String Dump(TBaseTreeNodeKv* Node = nullptr);

 private:
  friend class TMemRecViewKv;
  struct KeyLess {
    bool operator()(const Variant& A, const Variant& B) const { return KvVarCompare(A, B) == vrLessThan; }
  };
  using TKeyMap = std::multimap<Variant, TMemRecViewKv*, KeyLess>;
  Variant ValuesOf(const TMemoryRecordKv* Rec, const std::vector<int>& Fields) const;
  std::vector<int> ResolveFields(const String& Names) const;
  void Index(TMemRecViewKv* Node);
  void Unindex(TMemRecViewKv* Node);
  void NodeDestroyed(TMemRecViewKv* Node);
  bool Sorted() const { return static_cast<bool>(OnCompareRecords); }
  int CompareRecs(TMemoryRecordKv* A, TMemoryRecordKv* B) const {
    return OnCompareRecords ? OnCompareRecords(A, B) : A->Index() - B->Index();
  }
  int SortedPosition(TMemoryRecordKv* Rec, TBaseTreeNodeKv* Parent, const TBaseTreeNodeKv* Skip);

  TRecordsListKv* FList;
  std::vector<int> FKeyFields, FParentFields;
  String FKeyFieldNames, FParentFieldNames;
  std::vector<TMemRecViewKv*> FInsertedNodeStack;
  std::vector<TMemRecViewKv*> FVisibleExpandedItems;
  std::vector<TMemRecViewKv*> FVisibleItems;
  bool FVisibleItemsObsolete = true;
  unsigned FVisibleGen = 0;
  std::unordered_map<const TMemoryRecordKv*, TMemRecViewKv*> FByRec;
  TKeyMap FByKey, FByRef;
  bool FDestroying = false;
};
