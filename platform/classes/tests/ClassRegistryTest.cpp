#include "platform/classes/ClassRegistry.h"

#include <gtest/gtest.h>

namespace {

class TBase : public TComponent {
  VELLUM_CLASS(TBase)
 public:
  using TComponent::TComponent;
};

class TDerived : public TBase {
  VELLUM_CLASS(TDerived)
 public:
  using TBase::TBase;
};

class TPlain : public TPersistent {
  VELLUM_CLASS(TPlain)
};

TEST(ClassRegistry, FindsRegisteredClassesByNameAndMakesThem) {
  RegisterClass<TBase>();
  RegisterClass<TDerived>();
  RegisterClass<TDerived>();  // twice with the same class is fine
  EXPECT_EQ(&FindClass(u"tderived"), &ClassOf<TDerived>());
  EXPECT_EQ(GetClass(u"TNothing"), nullptr);
  try {
    FindClass(u"TNothing");
    ADD_FAILURE();
  } catch (const EClassNotFound& e) {
    EXPECT_EQ(e.Message(), u"Class TNothing not found");
  }
  TComponent owner(nullptr);
  TComponent* made = FindClass(u"TDerived").CreateComponent(&owner);
  EXPECT_NE(dynamic_cast<TDerived*>(made), nullptr);
  EXPECT_EQ(made->Owner(), &owner);
  UnRegisterClass<TDerived>();
  EXPECT_EQ(GetClass(u"TDerived"), nullptr);
}

TEST(ClassRegistry, InheritanceWithoutAnInstance) {
  EXPECT_TRUE(ClassOf<TDerived>().InheritsFrom<TBase>());
  EXPECT_TRUE(ClassOf<TDerived>().InheritsFrom<TComponent>());
  EXPECT_FALSE(ClassOf<TBase>().InheritsFrom<TDerived>());
  EXPECT_TRUE(ClassOf<TDerived>().InheritsFrom(ClassOf<TBase>()));
  EXPECT_FALSE(ClassOf<TBase>().InheritsFrom(ClassOf<TDerived>()));
  EXPECT_FALSE(ClassOf<TPlain>().IsComponent());
  EXPECT_THROW(ClassOf<TPlain>().CreateComponent(nullptr), EInvalidCast);
  std::unique_ptr<TPersistent> plain(ClassOf<TPlain>().Create());
  EXPECT_EQ(plain->ClassName(), u"TPlain");
}

}  // namespace
