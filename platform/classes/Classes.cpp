#include "platform/classes/Classes.h"

#include <algorithm>

#include "platform/classes/Properties.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

const TPropList& TPersistent::PropList() const {
  static const TPropList kNone;
  return kNone;
}

void TPersistent::DefineProperties(TFiler*) {}

const TPropList& TComponent::PropList() const {
  static const TPropList kList = TPropListBuilder<TComponent>()
                                     .Integer(u"Tag", [](const TComponent& c) { return static_cast<Int64>(c.Tag); },
                                              [](TComponent& c, Int64 v) { c.Tag = static_cast<std::intptr_t>(v); }, 0)
                                     .Build();
  return kList;
}

void TComponent::GetChildren(const TGetChildProc&, TComponent*) {}

void TPersistent::Assign(const TPersistent* Source) {
  if (Source != nullptr) {
    // Ask the source to do it: it may know how to copy itself into this class.
    Source->AssignTo(this);
    return;
  }
  throw EConvertError(Format(u"Cannot assign a %s to a %s", {String(u"nil"), ClassName()}));
}

void TPersistent::AssignTo(TPersistent* Dest) const {
  const String source_name = ClassName();
  const String dest_name = Dest != nullptr ? Dest->ClassName() : String(u"nil");
  throw EConvertError(Format(u"Cannot assign a %s to a %s", {source_name, dest_name}));
}

bool IsValidIdent(const String& Ident) {
  if (Ident.empty()) return false;
  auto alpha = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 0x80; };
  auto alnum = [&](char16_t c) { return alpha(c) || (c >= u'0' && c <= u'9'); };
  if (!alpha(Ident[0])) return false;
  return std::all_of(Ident.begin() + 1, Ident.end(), alnum);
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everyone who asked, then let go of our own components before leaving the owner.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    auto& back = other->FFreeNotifies;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
    other->Notification(this, TOperation::opRemove);
  }
  DestroyComponents();
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount()) throw EListError(Format(msg::SListIndexError, {Index}));
  return FComponents[static_cast<size_t>(Index)];
}

TComponent* TComponent::FindComponent(const String& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* c : FComponents) {
    if (SameText(c->FName, AName)) return c;
  }
  return nullptr;
}

int TComponent::ComponentIndex() const {
  if (FOwner == nullptr) return -1;
  auto& list = FOwner->FComponents;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void TComponent::SetName(const String& NewName) {
  if (FName == NewName) return;
  if (!NewName.empty() && !IsValidIdent(NewName))
    throw EComponentError(Format(u"Component name \"%s\" is not a valid identifier", {NewName}));
  if (FOwner != nullptr)
    FOwner->ValidateRename(this, FName, NewName);
  else
    ValidateRename(nullptr, FName, NewName);
  FName = NewName;
}

void TComponent::ValidateRename(TComponent* AComponent, const String& CurName, const String& NewName) {
  if (AComponent != nullptr && !SameText(CurName, NewName) && !NewName.empty()) {
    TComponent* found = FindComponent(NewName);
    if (found != nullptr && found != AComponent)
      throw EComponentError(Format(u"A component named %s already exists", {NewName}));
  }
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (AComponent->FOwner == this) return;
  if (!AComponent->FName.empty()) ValidateRename(AComponent, String(), AComponent->FName);
  if (AComponent->FOwner != nullptr) AComponent->FOwner->RemoveComponent(AComponent);
  Insert(AComponent);
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (AComponent->FOwner != this) return;
  Notification(AComponent, TOperation::opRemove);
  Remove(AComponent);
}

void TComponent::Insert(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
}

void TComponent::Remove(TComponent* AComponent) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
  AComponent->FOwner = nullptr;
}

void TComponent::DestroyComponents() {
  // Last first: later components may refer to earlier ones while they go.
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    Remove(c);
    delete c;
  }
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  auto add = [](std::vector<TComponent*>& list, TComponent* c) {
    if (std::find(list.begin(), list.end(), c) == list.end()) list.push_back(c);
  };
  add(FFreeNotifies, AComponent);
  add(AComponent->FFreeNotifies, this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  auto drop = [](std::vector<TComponent*>& list, TComponent* c) {
    list.erase(std::remove(list.begin(), list.end(), c), list.end());
  };
  drop(FFreeNotifies, AComponent);
  drop(AComponent->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent != nullptr) {
    auto& list = FFreeNotifies;
    list.erase(std::remove(list.begin(), list.end(), AComponent), list.end());
  }
  // By index: a notified component may free siblings (or itself) while it hears the news.
  for (size_t i = FComponents.size(); i-- > 0;) {
    if (i >= FComponents.size()) continue;
    TComponent* c = FComponents[i];
    if (c != AComponent) c->Notification(AComponent, Operation);
  }
}

void TComponent::Destroying() {
  if (HasState(csDestroying)) return;
  FComponentState |= csDestroying;
  for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::SetState(TComponentStateFlag flag, bool on) {
  if (on)
    FComponentState |= flag;
  else
    FComponentState &= ~static_cast<TComponentState>(flag);
}

void TComponent::Loaded() { FComponentState &= ~static_cast<TComponentState>(csLoading); }
