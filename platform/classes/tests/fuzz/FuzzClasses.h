// Component classes for the streaming harnesses: every kind of streamed property, a collection whose
// items hold references and sub-objects, children, and binary data through a defined property.
#pragma once

#include "platform/classes/ClassRegistry.h"
#include "platform/classes/Collections.h"
#include "platform/classes/ComponentStreaming.h"
#include "platform/classes/Properties.h"

namespace fuzzclasses {

class TFont : public TPersistent {
  VELLUM_CLASS(TFont)
 public:
  Int64 Size = 8;
  const TPropList& PropList() const override {
    static const TPropList kList =
        TPropListBuilder<TFont>().Integer(u"Size", [](const TFont& f) { return f.Size; }, [](TFont& f, Int64 v) { f.Size = v; }, 8).Build();
    return kList;
  }
};

class TItem : public TCollectionItem {
  VELLUM_CLASS(TItem)
 public:
  using TCollectionItem::TCollectionItem;
  String Value;
  TComponent* Target = nullptr;
  TFont Font;
  const TPropList& PropList() const override {
    static const TPropList kList =
        TPropListBuilder<TItem>()
            .StringProp(u"Value", [](const TItem& i) { return i.Value; }, [](TItem& i, const String& v) { i.Value = v; })
            .Component(u"Target", [](const TItem& i) { return i.Target; }, [](TItem& i, TComponent* c) { i.Target = c; })
            .Persistent(u"Font", [](const TItem& i) { return &i.Font; })
            .Build();
    return kList;
  }
};

class TThing : public TComponent {
  VELLUM_CLASS(TThing)
 public:
  explicit TThing(TComponent* AOwner) : TComponent(AOwner) {}
  Int64 Count = 0;
  bool Active = false;
  String Caption;
  Int64 Kind = 0;
  Int64 Options = 0;
  double Ratio = 0;
  double When = 0;
  float Single = 0;
  Int64 Money = 0;
  TFont Font;
  TCollection Items{&CollectionItemOf<TItem>, this};
  TComponent* Buddy = nullptr;
  std::vector<Byte> Blob;

  const TPropList& PropList() const override {
    static const TPropList kList =
        TPropListBuilder<TThing>(TComponent::PropList())
            .Integer(u"Count", [](const TThing& s) { return s.Count; }, [](TThing& s, Int64 v) { s.Count = v; }, 0)
            .Boolean(u"Active", [](const TThing& s) { return s.Active; }, [](TThing& s, Int64 v) { s.Active = v != 0; }, false)
            .StringProp(u"Caption", [](const TThing& s) { return s.Caption; }, [](TThing& s, const String& v) { s.Caption = v; })
            .Enumeration(u"Kind", {u"kA", u"kB", u"kC"}, [](const TThing& s) { return s.Kind; },
                         [](TThing& s, Int64 v) { s.Kind = v; }, 0)
            .Set(u"Options", {u"oA", u"oB", u"oC"}, [](const TThing& s) { return s.Options; },
                 [](TThing& s, Int64 v) { s.Options = v; }, 0)
            .Float(u"Ratio", [](const TThing& s) { return s.Ratio; }, [](TThing& s, double v) { s.Ratio = v; })
            .Persistent(u"Font", [](const TThing& s) { return &s.Font; })
            .Collection(u"Items", [](const TThing& s) { return &s.Items; })
            .Component(u"Buddy", [](const TThing& s) { return s.Buddy; }, [](TThing& s, TComponent* c) { s.Buddy = c; })
            .Build();
    return kList;
  }
  void DefineProperties(TFiler* Filer) override {
    TComponent::DefineProperties(Filer);
    Filer->DefineBinaryProperty(
        u"Blob",
        [this](TStream* s) {
          Blob.resize(static_cast<size_t>(s->Size()));
          if (!Blob.empty()) s->ReadBuffer(Blob.data(), static_cast<Int64>(Blob.size()));
        },
        [this](TStream* s) {
          if (!Blob.empty()) s->WriteBuffer(Blob.data(), static_cast<Int64>(Blob.size()));
        },
        !Blob.empty());
  }
  void GetChildren(const TGetChildProc& Proc, TComponent*) override {
    for (int i = 0; i < ComponentCount(); ++i) Proc(Components(i));
  }
};

inline void Register() { RegisterClass<TThing>(); }

}  // namespace fuzzclasses
