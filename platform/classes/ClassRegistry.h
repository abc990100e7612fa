// Class references and the class registry. A TMetaClass stands for a class the way the platform's class
// references do: it has the class's name, can make an instance (a factory, in place of reflection) and
// answers "does this class inherit from that one" without an instance. The registry maps names to them
// so that a component reader can create the classes named in a stream.
//
// Registration is explicit: a module's init function (run from the ordered unit list) calls
// RegisterClass<T>() for each class it streams; nothing registers itself at static-initialisation time.
#pragma once

#include <type_traits>

#include "platform/classes/Classes.h"

class TMetaClass {
 public:
  using TCreator = TPersistent* (*)(TComponent* AOwner);

  TMetaClass(String Name, TCreator Creator, void (*Thrower)(), bool (*Catcher)(void (*)()))
      : FName(std::move(Name)), FCreator(Creator), FThrower(Thrower), FCatcher(Catcher) {}
  TMetaClass(const TMetaClass&) = delete;
  TMetaClass& operator=(const TMetaClass&) = delete;

  const String& ClassName() const { return FName; }
  // A new instance: components are made with AOwner as their owner, other persistent classes ignore it.
  // Raises EClassNotFound for a class that cannot be made (abstract, or no suitable constructor).
  TPersistent* Create(TComponent* AOwner = nullptr) const;
  // Create for component classes; raises EInvalidCast when the class is not a component.
  TComponent* CreateComponent(TComponent* AOwner) const;
  bool IsComponent() const { return InheritsFrom<TComponent>(); }

  // True when this class is B or derives from it.
  template <class B>
  bool InheritsFrom() const {
    try {
      FThrower();
    } catch (B*) {
      return true;
    } catch (...) {
    }
    return false;
  }
  bool InheritsFrom(const TMetaClass& Other) const { return Other.FCatcher(FThrower); }
  bool operator==(const TMetaClass& Other) const { return this == &Other; }

 private:
  String FName;
  TCreator FCreator;
  // The inheritance test without an instance: throwing a T* is caught by a handler for any public base
  // of T, which is exactly "T inherits from B".
  void (*FThrower)();
  bool (*FCatcher)(void (*)());
};

namespace class_registry_detail {
template <class T>
TPersistent* Create(TComponent* AOwner) {
  if constexpr (std::is_abstract_v<T>) {
    return nullptr;
  } else if constexpr (std::is_constructible_v<T, TComponent*>) {
    return new T(AOwner);
  } else if constexpr (std::is_default_constructible_v<T>) {
    (void)AOwner;
    return new T();
  } else {
    return nullptr;
  }
}
template <class T>
void Throw() {
  throw static_cast<T*>(nullptr);
}
template <class T>
bool Catch(void (*thrower)()) {
  try {
    thrower();
  } catch (T*) {
    return true;
  } catch (...) {
  }
  return false;
}
}  // namespace class_registry_detail

// The one TMetaClass of T (made on first use).
template <class T>
const TMetaClass& ClassOf() {
  static_assert(std::is_base_of_v<TPersistent, T>, "class references are for persistent classes");
  static const TMetaClass kClass(T::StaticClassName(), &class_registry_detail::Create<T>,
                                 &class_registry_detail::Throw<T>, &class_registry_detail::Catch<T>);
  return kClass;
}

// Registering a name twice with the same class does nothing; with another class raises EFilerError
// "A class named %s already exists".
void RegisterClass(const TMetaClass& AClass);
template <class T>
void RegisterClass() {
  RegisterClass(ClassOf<T>());
}
void UnRegisterClass(const TMetaClass& AClass);
template <class T>
void UnRegisterClass() {
  UnRegisterClass(ClassOf<T>());
}
// Case-insensitive, as the platform's class names are. GetClass answers nullptr for an unknown name;
// FindClass raises EClassNotFound "Class %s not found".
const TMetaClass* GetClass(std::u16string_view ClassName);
const TMetaClass& FindClass(std::u16string_view ClassName);
