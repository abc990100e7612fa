// A small generic tree: TTreeListKv owns a root node and makes nodes through a factory (the node class);
// TBaseTreeNodeKv keeps its children in order, a cached list of its visible children, its level, and its
// expanded and visible flags. The records view's tree mode builds on it.
//
// Ownership: a node attached to a tree belongs to its parent (a node frees its children); a node made by
// CreateNode and not yet attached, or taken out by ExtractNode, belongs to the caller until it is
// attached again or handed to DeleteNode. The root never moves. A nil node argument means the root,
// except for the moved node of MoveTo and AttachNode.
//
// Errors (the platform's Exception): "TBaseTreeNodeKv.Add: Tree nodes can not has different Owners"
// (nothing added), "Reference-loop found" (nothing moved), "TBaseTreeNodeKv.SetLevel: Max level exceed - "
// with the limit (checked over the whole subtree before anything is linked or changed: the tree stays as
// it was, and a node AddChild made for the refused place is freed).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/rtl/String.h"

class TTreeListKv;

enum TNodeAttachModeKv { naAddKv, naAddFirstKv, naAddChildKv, naAddChildFirstKv, naInsertKv, naAddAfterKv };

class TBaseTreeNodeKv {
 public:
  explicit TBaseTreeNodeKv(TTreeListKv* AOwner);
  virtual ~TBaseTreeNodeKv();
  TBaseTreeNodeKv(const TBaseTreeNodeKv&) = delete;
  TBaseTreeNodeKv& operator=(const TBaseTreeNodeKv&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  TBaseTreeNodeKv* Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  int VisibleCount();
  TBaseTreeNodeKv* VisibleItem(int Index);
  bool HasVisibleChildren();
  // The flag as a caller knows it ahead of the next rebuild of the visible list.
  void SetHasVisibleChildren(bool Value) { FHasVisibleChildren = Value; }
  int Add(TBaseTreeNodeKv* Node);
  void Insert(int Index, TBaseTreeNodeKv* Node);
  void Delete(int Index);  // unlinks the child (it is not freed)
  void Exchange(int Index1, int Index2);
  bool IsInSubtreeOf(const TBaseTreeNodeKv* Node) const;

  void* Data() const { return FData; }
  void SetData(void* Value) { FData = Value; }
  const String& Text() const { return FText; }
  bool Expanded() const { return FExpanded; }
  void SetExpanded(bool Value);
  bool Visible() const { return FVisible; }
  void SetVisible(bool Value);
  int Level() const { return FLevel; }
  void SetLevel(int Value);
  int Index() const { return FIndex; }
  int VisibleIndex() const { return FVisibleIndex; }
  bool HasChildren() const { return FHasChildren; }
  // The flag as a caller declares it (children not loaded yet); attaching and removing children set it.
  void SetHasChildren(bool Value) { FHasChildren = Value; }
  TBaseTreeNodeKv* Parent() const { return FParent; }
  TTreeListKv* Owner() const { return FOwner; }

  using TCompareNodesKv = std::function<int(void* Data, TBaseTreeNodeKv* Node1, TBaseTreeNodeKv* Node2, void* ParamSort)>;
  void QuickSort(int L, int R, void* ParamSort, const TCompareNodesKv& Compare, void* Data);

 protected:
  virtual bool ExpandedChanging();
  virtual bool AskVisibleChange() { return true; }
  virtual void InvalidateVisibleItems() { FVisibleItemsObsolete = true; }
  virtual void ChildVisibleChanged(TBaseTreeNodeKv* Child) {
    (void)Child;
    FVisibleItemsObsolete = true;
  }
  virtual void ClearItems() {
    FItems.clear();
    FVisibleItems.clear();
    FVisibleItemsObsolete = true;
  }
  virtual void ExpandedChanged();
  virtual void SortData(void* ParamSort, bool ARecurse, const TCompareNodesKv& Compare, void* Data);
  virtual void VisibleChanged();

 private:
  friend class TTreeListKv;
  void RebuildVisible();
  int SubtreeHeight() const;
  void CheckLevel(int Value) const;
  bool AllVisible() const { return !FVisibleItemsObsolete && FVisibleCount == Count(); }

  void* FData = nullptr;
  bool FExpanded = false;
  bool FHasChildren = false;
  bool FHasVisibleChildren = false;
  int FIndex = -1;
  std::vector<TBaseTreeNodeKv*> FItems;  // owned while attached
  int FLevel = 0;
  TTreeListKv* FOwner;
  TBaseTreeNodeKv* FParent = nullptr;
  String FText;
  bool FVisible = true;
  int FVisibleCount = 0;
  int FVisibleIndex = -1;
  std::vector<TBaseTreeNodeKv*> FVisibleItems;  // used only when not every child is visible
  bool FVisibleItemsObsolete = false;
};

class TTreeListKv {
 public:
  using TNodeFactoryKv = std::function<std::unique_ptr<TBaseTreeNodeKv>(TTreeListKv*)>;
  // The factory makes nodes of the tree's node class (plain TBaseTreeNodeKv when empty).
  explicit TTreeListKv(TNodeFactoryKv ItemClass = {});
  virtual ~TTreeListKv();
  TTreeListKv(const TTreeListKv&) = delete;
  TTreeListKv& operator=(const TTreeListKv&) = delete;

  TBaseTreeNodeKv* Root() const { return FRoot.get(); }
  int MaxLevel() const { return FMaxLevel; }
  void SetMaxLevel(int Value) { FMaxLevel = Value; }

  std::function<void(TBaseTreeNodeKv*)> OnExpandedChanged;
  std::function<bool(TBaseTreeNodeKv*)> OnExpandedChanging;

  // A detached node (the caller owns it until it is attached).
  TBaseTreeNodeKv* CreateNode(const String& Text, void* Data);
  TBaseTreeNodeKv* AddChild(const String& Text, TBaseTreeNodeKv* Parent, void* Data);
  void AttachNode(TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Destination, bool ReIndex, TNodeAttachModeKv Mode);
  virtual void MoveTo(TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Destination, TNodeAttachModeKv Mode, bool ReIndex);
  void ExtractNode(TBaseTreeNodeKv* Node, bool ReIndex);
  void DeleteNode(TBaseTreeNodeKv* Node, bool ReIndex);
  void DeleteChildren(TBaseTreeNodeKv* Node);
  void Clear() { DeleteChildren(nullptr); }
  void Expand(TBaseTreeNodeKv* Node, bool Recurse);
  void Collapse(TBaseTreeNodeKv* Node, bool Recurse);
  TBaseTreeNodeKv* FindNodeByData(TBaseTreeNodeKv* Parent, const void* Data) const;

  static TBaseTreeNodeKv* GetPrevSibling(const TBaseTreeNodeKv* Node);
  static TBaseTreeNodeKv* GetNextSibling(const TBaseTreeNodeKv* Node);
  TBaseTreeNodeKv* GetFirstChild(TBaseTreeNodeKv* Node) const;
  TBaseTreeNodeKv* GetLastChild(TBaseTreeNodeKv* Node) const;
  TBaseTreeNodeKv* GetLastDescendant(TBaseTreeNodeKv* Node) const;
  bool HasChildren(TBaseTreeNodeKv* Node) const;
  TBaseTreeNodeKv* GetFirst() const { return GetFirstChild(nullptr); }
  TBaseTreeNodeKv* GetNext(TBaseTreeNodeKv* Node) const;
  TBaseTreeNodeKv* GetPrevious(TBaseTreeNodeKv* Node) const;
  TBaseTreeNodeKv* GetFirstVisible();
  TBaseTreeNodeKv* GetNextVisible(TBaseTreeNodeKv* Node, bool ExpandedOnly);
  bool IsOnVisiblePath(const TBaseTreeNodeKv* Node, bool ExpandedOnly) const;
  TBaseTreeNodeKv* GetNextVisibleSibling(TBaseTreeNodeKv* Node);
  void ReIndex(TBaseTreeNodeKv* Node, bool Recurse, int ToIndex = -1, int FromIndex = -1);
  virtual void SortData(void* ParamSort, bool ARecurse, const TBaseTreeNodeKv::TCompareNodesKv& Compare, void* Data);

  virtual bool ExpandedChanging(TBaseTreeNodeKv* Node) { return OnExpandedChanging ? OnExpandedChanging(Node) : true; }
  virtual void ExpandedChanged(TBaseTreeNodeKv* Node) {
    if (OnExpandedChanged) OnExpandedChanged(Node);
  }
  virtual int CompareTreeNodes(TBaseTreeNodeKv* Node1, TBaseTreeNodeKv* Node2, void* ParamSort) {
    (void)Node1, (void)Node2, (void)ParamSort;
    return 0;
  }

 protected:
  virtual void NodeLinkChanged(TBaseTreeNodeKv* Node, bool Removed, TBaseTreeNodeKv* OldParent, int OldIndex) {
    (void)Node, (void)Removed, (void)OldParent, (void)OldIndex;
  }

 private:
  TBaseTreeNodeKv* Or(TBaseTreeNodeKv* Node) const { return Node ? Node : FRoot.get(); }
  void CheckAttach(const TBaseTreeNodeKv* Node, TBaseTreeNodeKv* Dest, TNodeAttachModeKv Mode) const;
  TNodeFactoryKv FItemClass;
  int FMaxLevel = 1000;
  std::unique_ptr<TBaseTreeNodeKv> FRoot;
};
