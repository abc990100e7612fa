// The engines the window drives, in one place. Placeholder declarations until the dataset framework
// and the platform engines land in the tree.
#pragma once

#include "platform/classes/Classes.h"

class TDataSet : public TComponent {
  VELLUM_CLASS(TDataSet)
 public:
  using TComponent::TComponent;
};
class TFDMemTable : public TDataSet {
  VELLUM_CLASS(TFDMemTable)
 public:
  using TDataSet::TDataSet;
};
class TClientDataSet : public TDataSet {
  VELLUM_CLASS(TClientDataSet)
 public:
  using TDataSet::TDataSet;
};
class TADODataSet : public TDataSet {
  VELLUM_CLASS(TADODataSet)
 public:
  using TDataSet::TDataSet;
};
class TIdMemDataSet : public TDataSet {
  VELLUM_CLASS(TIdMemDataSet)
 public:
  using TDataSet::TDataSet;
};
