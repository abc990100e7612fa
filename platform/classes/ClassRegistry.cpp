#include "platform/classes/ClassRegistry.h"

#include <map>
#include <mutex>

#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

TPersistent* TMetaClass::Create(TComponent* AOwner) const {
  TPersistent* p = FCreator(AOwner);
  if (p == nullptr) throw EClassNotFound(Format(u"Cannot create an instance of %s", {FName}));
  return p;
}

TComponent* TMetaClass::CreateComponent(TComponent* AOwner) const {
  if (!IsComponent()) throw EInvalidCast(Format(u"%s is not a component class", {FName}));
  return static_cast<TComponent*>(Create(AOwner));
}

namespace {
struct Registry {
  std::mutex Lock;
  std::map<String, const TMetaClass*> ByUpperName;
};

Registry& TheRegistry() {
  static Registry r;
  return r;
}
}  // namespace

void RegisterClass(const TMetaClass& AClass) {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.Lock);
  auto [it, inserted] = r.ByUpperName.emplace(UpperCase(AClass.ClassName()), &AClass);
  if (!inserted && it->second != &AClass)
    throw EFilerError(Format(u"A class named %s already exists", {AClass.ClassName()}));
}

void UnRegisterClass(const TMetaClass& AClass) {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.Lock);
  auto it = r.ByUpperName.find(UpperCase(AClass.ClassName()));
  if (it != r.ByUpperName.end() && it->second == &AClass) r.ByUpperName.erase(it);
}

const TMetaClass* GetClass(std::u16string_view ClassName) {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.Lock);
  auto it = r.ByUpperName.find(UpperCase(ClassName));
  return it == r.ByUpperName.end() ? nullptr : it->second;
}

const TMetaClass& FindClass(std::u16string_view ClassName) {
  const TMetaClass* c = GetClass(ClassName);
  if (c == nullptr) throw EClassNotFound(Format(u"Class %s not found", {String(ClassName)}));
  return *c;
}
