// The aggregates of a records view: one item per aggregate expression (SUM, MIN, MAX, AVG, COUNT over
// the view's rows, through the table's expression evaluator, ExprEvalKv.h). An item is in use between a
// successful Reset (its dataset open, the item and its collection Active, an expression given) and the
// next Reset; Value is Null otherwise.
//
// Every row event of the view asks the collection to recalculate. The items only note that their value
// is stale and compute it when it is read, so a table that appends n rows with an active aggregate
// walks its rows once per read, not once per row added.
#pragma once

#include <memory>

#include "engines/kv/ExprEvalKv.h"
#include "platform/classes/Collections.h"
#include "platform/db/DB.h"

class TRecordsViewKv;
class TMTAggregatesKv;

class TMTAggregateKv : public TCollectionItem {
  VELLUM_CLASS(TMTAggregateKv)
 public:
  explicit TMTAggregateKv(TCollection* Collection);
  ~TMTAggregateKv() override;

  bool Active() const { return FActive; }
  // Stored; outside an update of the collection the value is recalculated, and a failing expression
  // puts Active back to False and raises.
  void SetActive(bool Value);
  const String& Expression() const { return FExpression; }
  void SetExpression(const String& Value);
  TFieldType DataType() const { return FDataType; }
  bool InUse() const { return FInUse; }
  String DisplayName() const override { return FExpression.empty() ? TCollectionItem::DisplayName() : FExpression; }
  void Assign(const TPersistent* Source) override;

  TMTAggregatesKv* Aggregates() const;
  // Parses the expression when it can be in use (see the file head), else leaves the value Null.
  void Reset();
  // Marks the value stale (computed again when read).
  void Recalc() { FStale = true; }
  Variant Value();

 private:
  bool FActive = false;
  std::unique_ptr<TDataSetExprParserKv> FAggrExpr;
  TFieldType FDataType = ftUnknown;
  String FExpression;
  bool FInUse = false;
  bool FStale = true;
  Variant FValue;
};

class TMTAggregatesKv : public TCollection {
  VELLUM_CLASS(TMTAggregatesKv)
 public:
  explicit TMTAggregatesKv(TRecordsViewKv* Owner);

  TMTAggregateKv* Add() { return static_cast<TMTAggregateKv*>(TCollection::Add()); }
  TMTAggregateKv* GetItem(int Index) const { return static_cast<TMTAggregateKv*>(Items(Index)); }
  TRecordsViewKv* View() const { return FOwner; }
  // The dataset the owning view belongs to (nullptr when none).
  TDataSet* DataSet() const;
  bool Active() const { return FActive; }
  void SetActive(bool Value);
  // One item per aggregate field of the dataset (its Active and Expression), each reset; then Recalc.
  void Reset();
  void Recalc();

 private:
  bool FActive = false;
  TRecordsViewKv* FOwner;
};
