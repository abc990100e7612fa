// The streamed-property table: what a class publishes to component streaming, in place of language
// reflection. A class lists its properties once, in writing order, starting from its base's list:
//
//   const TPropList& TMyComponent::PropList() const {
//     static const TPropList kList = TPropListBuilder<TMyComponent>(TComponent::PropList())
//         .Integer(u"Count", &TMyComponent::Count, &TMyComponent::SetCount, 0)
//         .Enumeration(u"Kind", {u"kdOne", u"kdTwo"}, &TMyComponent::Kind, &TMyComponent::SetKind)
//         .Build();
//     return kList;
//   }
//
// Writing rules (the "stored"/default rules): an ordinal property (integer, Boolean, enumeration, set,
// currency) given a default is written only when its value differs from it, one given none always; a
// text is written only when not empty, a float or date only when not 0; a Stored callback, when given,
// must also say yes. Sub-objects are written as their own properties under a dotted path ("Font.Size"),
// collections as vaCollection, component references as the referenced component's name.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <type_traits>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/rtl/Currency.h"

enum class TPropKind {
  pkInteger,      // WriteInteger (any width up to Int64)
  pkBoolean,      // vaFalse / vaTrue
  pkEnumeration,  // vaIdent of the value's name
  pkSet,          // vaSet of the names of the members (bit i = element i)
  pkFloat,        // vaExtended
  pkSingle,       // vaSingle
  pkCurrency,     // vaCurrency (ordinal accessors carry the scaled Int64)
  pkDate,         // vaDate
  pkString,       // WriteString
  pkPersistent,   // a sub-object: its properties under "Name."
  pkCollection,   // vaCollection of the items' properties
  pkComponent,    // a reference: vaIdent of the component's name, resolved after the root is read
};

struct TPropInfo {
  String Name;
  TPropKind Kind = TPropKind::pkInteger;
  std::vector<String> Names;         // enumeration values / set elements, by ordinal
  std::optional<Int64> Default;      // ordinal kinds
  std::function<bool(const TPersistent&)> Stored;

  std::function<Int64(const TPersistent&)> GetOrd;  // integer, Boolean, enumeration, set, currency
  std::function<void(TPersistent&, Int64)> SetOrd;
  std::function<double(const TPersistent&)> GetFloat;  // float, single, date
  std::function<void(TPersistent&, double)> SetFloat;
  std::function<String(const TPersistent&)> GetStr;
  std::function<void(TPersistent&, const String&)> SetStr;
  std::function<TPersistent*(const TPersistent&)> GetObject;  // sub-object, collection, component
  std::function<void(TPersistent&, TComponent*)> SetComponent;

  // The value's name for enumerations; raises EReadError "Invalid property value" for an unknown one.
  Int64 OrdinalOf(const String& ValueName) const;
};

class TPropList {
 public:
  TPropList() = default;
  explicit TPropList(std::vector<TPropInfo> Items) : FItems(std::move(Items)) {}
  // Case-insensitive, as the platform's property names are.
  const TPropInfo* Find(std::u16string_view Name) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  const TPropInfo& operator[](int Index) const { return FItems[static_cast<size_t>(Index)]; }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  std::vector<TPropInfo> FItems;
};

// Accessors are anything std::invoke takes: member function pointers or lambdas over T. Ordinal setters
// take Int64 (or anything an Int64 converts to); a member-function setter may take the enumeration type.
template <class T>
class TPropListBuilder {
 public:
  TPropListBuilder() = default;
  explicit TPropListBuilder(const TPropList& Base) {
    for (const TPropInfo& p : Base) FItems.push_back(p);
  }

  template <class G, class S>
  TPropListBuilder& Integer(String Name, G Get, S Set, std::optional<Int64> Default = std::nullopt) {
    return Ordinal(std::move(Name), TPropKind::pkInteger, {}, Get, Set, Default);
  }
  template <class G, class S>
  TPropListBuilder& Boolean(String Name, G Get, S Set, std::optional<bool> Default = std::nullopt) {
    std::optional<Int64> d;
    if (Default) d = *Default ? 1 : 0;
    return Ordinal(std::move(Name), TPropKind::pkBoolean, {}, Get, Set, d);
  }
  template <class G, class S>
  TPropListBuilder& Enumeration(String Name, std::vector<String> Names, G Get, S Set,
                                std::optional<Int64> Default = std::nullopt) {
    return Ordinal(std::move(Name), TPropKind::pkEnumeration, std::move(Names), Get, Set, Default);
  }
  // Get/Set carry the members as a bit mask (bit i = element i).
  template <class G, class S>
  TPropListBuilder& Set(String Name, std::vector<String> Elements, G Get, S Set,
                        std::optional<Int64> Default = std::nullopt) {
    return Ordinal(std::move(Name), TPropKind::pkSet, std::move(Elements), Get, Set, Default);
  }
  template <class G, class S>
  TPropListBuilder& CurrencyProp(String Name, G Get, S Set, std::optional<Int64> DefaultScaled = std::nullopt) {
    TPropInfo p;
    p.Name = std::move(Name);
    p.Kind = TPropKind::pkCurrency;
    p.Default = DefaultScaled;
    p.GetOrd = [Get](const TPersistent& o) -> Int64 { return Currency(std::invoke(Get, Self(o))).Scaled; };
    p.SetOrd = [Set](TPersistent& o, Int64 v) { std::invoke(Set, Self(o), Currency::FromScaled(v)); };
    return Add(std::move(p));
  }
  template <class G, class S>
  TPropListBuilder& Float(String Name, G Get, S Set, TPropKind Kind = TPropKind::pkFloat) {
    TPropInfo p;
    p.Name = std::move(Name);
    p.Kind = Kind;
    p.GetFloat = [Get](const TPersistent& o) { return static_cast<double>(std::invoke(Get, Self(o))); };
    p.SetFloat = [Set](TPersistent& o, double v) { std::invoke(Set, Self(o), v); };
    return Add(std::move(p));
  }
  template <class G, class S>
  TPropListBuilder& StringProp(String Name, G Get, S Set) {
    TPropInfo p;
    p.Name = std::move(Name);
    p.Kind = TPropKind::pkString;
    p.GetStr = [Get](const TPersistent& o) { return String(std::invoke(Get, Self(o))); };
    p.SetStr = [Set](TPersistent& o, const String& v) { std::invoke(Set, Self(o), v); };
    return Add(std::move(p));
  }
  // A sub-object the class owns (Get returns it; never null while the object lives).
  template <class G>
  TPropListBuilder& Persistent(String Name, G Get) {
    return Object(std::move(Name), TPropKind::pkPersistent, Get);
  }
  template <class G>
  TPropListBuilder& Collection(String Name, G Get) {
    return Object(std::move(Name), TPropKind::pkCollection, Get);
  }
  template <class G, class S>
  TPropListBuilder& Component(String Name, G Get, S Set) {
    Object(std::move(Name), TPropKind::pkComponent, Get);
    FItems.back().SetComponent = [Set](TPersistent& o, TComponent* c) { std::invoke(Set, Self(o), c); };
    return *this;
  }
  // Adds a stored callback to the property added last.
  template <class F>
  TPropListBuilder& StoredIf(F Stored) {
    FItems.back().Stored = [Stored](const TPersistent& o) { return static_cast<bool>(std::invoke(Stored, Self(o))); };
    return *this;
  }

  TPropList Build() { return TPropList(std::move(FItems)); }

 private:
  static const T& Self(const TPersistent& o) { return static_cast<const T&>(o); }
  static T& Self(TPersistent& o) { return static_cast<T&>(o); }

  TPropListBuilder& Add(TPropInfo p) {
    FItems.push_back(std::move(p));
    return *this;
  }
  template <class G, class S>
  TPropListBuilder& Ordinal(String Name, TPropKind Kind, std::vector<String> Names, G Get, S Set,
                            std::optional<Int64> Default) {
    TPropInfo p;
    p.Name = std::move(Name);
    p.Kind = Kind;
    p.Names = std::move(Names);
    p.Default = Default;
    p.GetOrd = [Get](const TPersistent& o) { return static_cast<Int64>(std::invoke(Get, Self(o))); };
    p.SetOrd = [Set](TPersistent& o, Int64 v) { InvokeSet(Set, Self(o), v); };
    return Add(std::move(p));
  }
  template <class G>
  TPropListBuilder& Object(String Name, TPropKind Kind, G Get) {
    TPropInfo p;
    p.Name = std::move(Name);
    p.Kind = Kind;
    p.GetObject = [Get](const TPersistent& o) -> TPersistent* {
      return const_cast<TPersistent*>(static_cast<const TPersistent*>(std::invoke(Get, Self(o))));
    };
    return Add(std::move(p));
  }
  // Setters take bool, enums or integers of any width: convert the stored Int64 to what they take.
  template <class S>
  static void InvokeSet(S& Set, T& o, Int64 v) {
    if constexpr (std::is_invocable_v<S&, T&, bool> && !std::is_invocable_v<S&, T&, int>) {
      std::invoke(Set, o, v != 0);
    } else if constexpr (std::is_invocable_v<S&, T&, Int64>) {
      std::invoke(Set, o, v);
    } else {
      InvokeEnumSet(Set, o, v);
    }
  }
  template <class S>
  static void InvokeEnumSet(S& Set, T& o, Int64 v) {
    using Arg = typename SetterArg<std::remove_cv_t<S>>::type;
    std::invoke(Set, o, static_cast<Arg>(v));
  }
  template <class S>
  struct SetterArg;
  template <class C, class A>
  struct SetterArg<void (C::*)(A)> {
    using type = std::decay_t<A>;
  };
  template <class C, class A>
  struct SetterArg<void (C::*)(A) noexcept> {
    using type = std::decay_t<A>;
  };

  std::vector<TPropInfo> FItems;
};
