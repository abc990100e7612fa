// platform/classes: the object model of the stand-in platform: objects with class names, persistent
// objects, components with owners and names, lists and collections, the class registry, streams and
// files, and component streaming. It calls platform/rtl (and through it platform/sys); every engine, the
// dataset framework, the GUI layer and the application stand on it.
//
// Headers: Classes.h (objects, persistent objects, components), ClassRegistry.h (class references and
// the registry), Lists.h (TList, TObjectList), StringList.h (TStrings, TStringList), Collections.h,
// SyncObjs.h (TCriticalSection), Streams.h (TStream, memory streams), Files.h (file stream, file names),
// Properties.h (the streamed-property tables), ComponentStreaming.h (TWriter, TReader, object layout),
// ObjectText.h (binary ⇄ text object form, stream format test).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/String.h"

class TPersistent;
class TComponent;
class TFiler;
class TReader;
class TWriter;
class TPropList;

// The root of the platform's classes. ClassName is what the platform's class references are named by
// (data file names, dispatch by class, the class registry); VELLUM_CLASS supplies it.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  virtual String ClassName() const { return u"TObject"; }
  static String StaticClassName() { return u"TObject"; }
  // "Is this object a T or one of its descendants", the test the platform spells `is`.
  template <class T>
  bool InheritsFrom() const {
    return dynamic_cast<const T*>(this) != nullptr;
  }
};

#define VELLUM_CLASS(Name)                                       \
 public:                                                         \
  String ClassName() const override { return u## #Name; }        \
  static String StaticClassName() { return u## #Name; }          \
                                                                 \
 private:

class TPersistent : public TObject {
  VELLUM_CLASS(TPersistent)
 public:
  // Copies Source into this object; the default asks Source to AssignTo this, and raises
  // "Cannot assign a %s to a %s" when neither side knows the other.
  virtual void Assign(const TPersistent* Source);
  virtual TPersistent* GetOwner() const { return nullptr; }

  // Component streaming. PropList is the class's table of streamed ("published") properties, standing
  // in for language reflection: a class that streams properties returns a function-local static list
  // built from its base's list (Properties.h). DefineProperties adds properties whose data the class
  // writes and reads itself (TFiler::DefineProperty / DefineBinaryProperty).
  virtual const TPropList& PropList() const;
  virtual void DefineProperties(TFiler* Filer);

 protected:
  virtual void AssignTo(TPersistent* Dest) const;
};

enum class TOperation { opInsert, opRemove };

enum TComponentStateFlag : std::uint32_t {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,
  csDesigning = 1u << 4,
  csAncestor = 1u << 5,
  csUpdating = 1u << 6,
  csFixups = 1u << 7,
  csFreeNotification = 1u << 8,
  csInline = 1u << 9,
  csDesignInstance = 1u << 10,
};
using TComponentState = std::uint32_t;

// A component is owned by the component that creates it: the owner frees what it owns when it is freed,
// and a component freed first detaches itself from its owner, so neither frees the other twice.
// Components are made with `new T(owner)`; one made without an owner belongs to whoever holds it
// (a std::unique_ptr).
//
// Destruction order trap: ~TComponent frees the owned components only after the derived destructors
// have run, so a child that calls back into its owner while it goes would meet a half-destroyed
// object. A class whose children talk to it on the way out calls Destroying() and DestroyComponents()
// at the start of its own destructor.
class TComponent : public TPersistent {
  VELLUM_CLASS(TComponent)
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  TPersistent* GetOwner() const override { return FOwner; }

  const String& Name() const { return FName; }
  // Raises EComponentError for a name that is not an identifier ("A component named %s already exists",
  // "Component name \"%s\" is not a valid identifier").
  virtual void SetName(const String& NewName);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const;
  TComponent* FindComponent(const String& AName) const;
  int ComponentIndex() const;

  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void DestroyComponents();

  // Marks this component and everything it owns csDestroying, so that code reached during the teardown
  // can tell (and skip work that would touch what is going away). ~TComponent calls it; derived
  // destructors may call it earlier.
  void Destroying();

  // The component will hear of AComponent's destruction through Notification(opRemove).
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  TComponentState ComponentState() const { return FComponentState; }
  bool HasState(TComponentStateFlag flag) const { return (FComponentState & flag) != 0; }
  void SetState(TComponentStateFlag flag, bool on);

  std::intptr_t Tag = 0;

  // Called on every component a reader created or filled, after the whole stream was read: clears
  // csLoading. Overrides finish their set-up here (they call the base).
  virtual void Loaded();

  // ---- component streaming hooks (ComponentStreaming.h) ----
  const TPropList& PropList() const override;  // Tag (default 0)
  using TGetChildProc = std::function<void(TComponent*)>;
  // The components written as this one's children, in order; the default has none.
  virtual void GetChildren(const TGetChildProc& Proc, TComponent* Root);
  // Owner of the children a reader creates for this component (nullptr: the reader's root).
  virtual TComponent* GetChildOwner() { return nullptr; }
  // What a reader offers the children as their parent while they are read.
  virtual TComponent* GetChildParent() { return this; }
  virtual TComponent* GetParentComponent() const { return nullptr; }
  virtual bool HasParent() const { return false; }
  virtual void SetParentComponent(TComponent*) {}
  // Reads the properties and children of this component; overrides install reader hooks around the base.
  virtual void ReadState(TReader* Reader);
  virtual void WriteState(TWriter* Writer);

 protected:
  // The default tells every owned component too (siblings hear of each other's arrival and removal).
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  virtual void ValidateRename(TComponent* AComponent, const String& CurName, const String& NewName);

 private:
  void Insert(TComponent* AComponent);
  void Remove(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  String FName;
  std::vector<TComponent*> FComponents;       // owned
  std::vector<TComponent*> FFreeNotifies;     // borrowed, told when this one goes
  TComponentState FComponentState = 0;
};

bool IsValidIdent(const String& Ident);
