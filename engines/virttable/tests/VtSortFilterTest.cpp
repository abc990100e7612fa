// Sorting by IndexFieldNames, filter expressions and LIKE, through the table and the record set.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>

#include "VtTestSupport.h"
#include "engines/virttable/VtFilter.h"
#include "engines/virttable/VtSort.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

using namespace vttest;

namespace {

// ID, Name (8-bit), Salary, Born, Flag, WName (UTF-16).
std::unique_ptr<TVirtTable> PeopleTable() {
  auto t = std::make_unique<TVirtTable>(nullptr);
  t->FieldDefs().Add(u"ID", ftInteger, 0, false);
  t->FieldDefs().Add(u"Name", ftString, 20, false);
  t->FieldDefs().Add(u"Salary", ftFloat, 0, false);
  t->FieldDefs().Add(u"Born", ftDateTime, 0, false);
  t->FieldDefs().Add(u"Flag", ftBoolean, 0, false);
  t->FieldDefs().Add(u"Last Name", ftWideString, 20, false);
  t->Open();
  return t;
}

void AddPerson(TDataSet& t, int Id, const char16_t* Name, double Salary, TDateTime Born = 0, bool Flag = false) {
  t.Append();
  t.FieldByName(u"ID")->SetAsInteger(Id);
  if (Name) t.FieldByName(u"Name")->SetAsString(Name);
  t.FieldByName(u"Salary")->SetAsFloat(Salary);
  if (Born != 0) t.FieldByName(u"Born")->SetAsDateTime(Born);
  t.FieldByName(u"Flag")->SetAsBoolean(Flag);
  if (Name) t.FieldByName(u"Last Name")->SetAsString(Name);
  t.Post();
}

std::vector<int> IdsOf(TDataSet& t) {
  std::vector<int> ids;
  t.First();
  while (!t.Eof()) {
    ids.push_back(t.FieldByName(u"ID")->AsInteger());
    t.Next();
  }
  return ids;
}

class VtSortFilter : public CodePage936 {
 protected:
  void SetUp() override {
    CodePage936::SetUp();
    t = PeopleTable();
  }
  void SixRows() {
    AddPerson(*t, 1, u"Jane", 10, EncodeDate(2000, 1, 1), true);
    AddPerson(*t, 2, u"Jon", 15, EncodeDate(2001, 1, 1), false);
    AddPerson(*t, 3, u"SMITH", 20, EncodeDate(2002, 1, 1), true);
    AddPerson(*t, 4, u"Smith", 9, EncodeDate(2003, 1, 1), false);
    AddPerson(*t, 5, u"A%", 21, EncodeDate(2004, 1, 1), false);
    AddPerson(*t, -3, nullptr, 0);
  }
  // For each of Texts, every row of the table gives the same answer (or raises alike) the planned way
  // as through dynamic values, under each set of options.
  void ExpectPlannedAgrees(std::span<const char16_t* const> Texts) {
    vt::TMemData& data = *t->Data();
    for (const char16_t* text : Texts) {
      SCOPED_TRACE(StringToUTF8(text));
      vt::TFilterExpression planned(data, text, data.ComputedFields);
      vt::TFilterExpression general(data, text, data.ComputedFields);
      general.SetPlannedComparisons(false);
      for (int options = 0; options < 4; ++options) {
        const bool ci = options & 1, npc = options & 2;
        auto eval = [&](const vt::TFilterExpression& e, const Byte* rec) {
          try {
            return e.Eval(rec, ci, npc) ? 1 : 0;
          } catch (const Exception&) {
            return 2;
          }
        };
        // The planned way first: the general way makes an object of each small memo it reads.
        for (const vt::TItemHeader* it = data.FirstItem(); it; it = it->Next) {
          const int p = eval(planned, it->Record());
          ASSERT_EQ(p, eval(general, it->Record()))
              << "options " << options << ", row " << data.OrderOf(const_cast<vt::TItemHeader*>(it));
        }
      }
    }
  }
  std::unique_ptr<TVirtTable> t;
};

TEST_F(VtSortFilter, IndexFieldNamesSyntax) {
  SixRows();
  struct Case {
    const char16_t* Text;
    bool Ok;
  } cases[] = {
      {u"Name DESC; ID", true},  {u"Name CIS DESC", true},  {u"Name DESC CIS", true}, {u"name desc bin", true},
      {u"[Last Name]", true},    {u"'Name'", true},         {u"\"Name\"", true},      {u"Name;;ID", true},
      {u"Name DESC,", true},     {u"  ", true},             {u"Name DESC ASC", false}, {u"Name CIS BIN", false},
      {u"Name.ID", false},       {u"Nope", false},          {u"Name FOO", false},     {u"[Last Name", false},
  };
  for (const Case& c : cases) {
    t->SetIndexFieldNames(u"");
    if (c.Ok) EXPECT_NO_THROW(t->SetIndexFieldNames(c.Text)) << String(c.Text).size();
    else EXPECT_THROW(t->SetIndexFieldNames(c.Text), Exception) << String(c.Text).size();
  }
  try {
    t->SetIndexFieldNames(u"Nope");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Field Nope not found");
  }
  t->SetIndexFieldNames(u"");
  try {
    t->SetIndexFieldNames(u"Name DESC ASC");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Invalid IndexFieldNames format!");
  }
  EXPECT_EQ(t->Data()->IndexFieldCount(), 0);
}

TEST_F(VtSortFilter, SortsByKeysNullsAndDirections) {
  SixRows();
  t->SetIndexFieldNames(u"Salary");
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{-3, 4, 1, 2, 3, 5}));
  t->SetIndexFieldNames(u"Name DESC; ID");  // ordinal-insensitive collation: case is a late difference
  std::vector<int> desc = IdsOf(*t);
  EXPECT_EQ(desc.back(), -3);  // descending: the null name last
  t->SetIndexFieldNames(u"Name");
  EXPECT_EQ(IdsOf(*t).front(), -3);  // ascending: first
  t->SetIndexFieldNames(u"Name CIS; ID DESC");
  std::vector<int> cis = IdsOf(*t);
  const auto p3 = std::find(cis.begin(), cis.end(), 3), p4 = std::find(cis.begin(), cis.end(), 4);
  EXPECT_EQ(p4 + 1, p3);  // SMITH and Smith tie: ID DESC decides
  t->SetIndexFieldNames(u"");
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{1, 2, 3, 4, 5, -3}));
}

TEST_F(VtSortFilter, RandomTablesSortByOneAndTwoKeys) {
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    const int k = static_cast<int>(rng() % 20);
    const char16_t name[2] = {static_cast<char16_t>(u'a' + rng() % 5), 0};
    AddPerson(*t, i, rng() % 10 == 0 ? nullptr : name, k);
  }
  for (const char16_t* index : {u"Salary", u"Name;Salary DESC", u"Salary DESC;ID"}) {
    t->SetIndexFieldNames(index);
    std::vector<std::pair<String, double>> keys;
    std::vector<bool> nulls;
    t->First();
    int n = 0;
    while (!t->Eof()) {
      keys.emplace_back(t->FieldByName(u"Name")->AsString(), t->FieldByName(u"Salary")->AsFloat());
      nulls.push_back(t->FieldByName(u"Name")->IsNull());
      EXPECT_EQ(t->RecNo(), ++n);
      t->Next();
    }
    ASSERT_EQ(keys.size(), 400u);
    for (std::size_t i = 1; i < keys.size(); ++i) {
      if (String(index) == u"Salary") EXPECT_LE(keys[i - 1].second, keys[i].second);
      else if (String(index) == u"Salary DESC;ID") EXPECT_GE(keys[i - 1].second, keys[i].second);
      else if (nulls[i - 1] == nulls[i] && keys[i - 1].first == keys[i].first)
        EXPECT_GE(keys[i - 1].second, keys[i].second);
      else EXPECT_TRUE(nulls[i - 1] || keys[i - 1].first < keys[i].first);
    }
  }
  // Inserts and edits keep the order.
  t->SetIndexFieldNames(u"Salary");
  for (int i = 0; i < 50; ++i) {
    t->SetRecNo(1 + static_cast<int>(rng() % 400));
    if (i % 2) {
      t->Insert();
      t->FieldByName(u"ID")->SetAsInteger(1000 + i);
    } else {
      t->Edit();
    }
    t->FieldByName(u"Salary")->SetAsFloat(static_cast<double>(rng() % 30));
    t->Post();
    EXPECT_EQ(t->RecNo(), t->RecNo());
  }
  double last = -1;
  int n = 0;
  for (t->First(); !t->Eof(); t->Next()) {
    EXPECT_LE(last, t->FieldByName(u"Salary")->AsFloat());
    last = t->FieldByName(u"Salary")->AsFloat();
    EXPECT_EQ(t->RecNo(), ++n);
  }
  EXPECT_EQ(n, 425);
}

TEST_F(VtSortFilter, UnsortingRestoresTheListPositionsFromBeforeTheSort) {
  AddPerson(*t, 1, u"A", 3);
  AddPerson(*t, 2, u"B", 2);
  AddPerson(*t, 3, u"C", 1);
  t->SetRecNo(2);
  t->Insert();  // N before B, while unsorted
  t->FieldByName(u"ID")->SetAsInteger(9);
  t->FieldByName(u"Salary")->SetAsFloat(0);
  t->Post();
  t->SetIndexFieldNames(u"Salary");
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{9, 3, 2, 1}));
  AddPerson(*t, 7, u"Z", 5);  // made while sorted: comes last
  t->SetIndexFieldNames(u"");
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{1, 9, 2, 3, 7}));
}

TEST_F(VtSortFilter, CompareValuesTable) {
  SixRows();
  vt::TMemData& d = *t->Data();
  const vt::TFieldDesc& salary = *d.FindField(u"Salary");
  const vt::TFieldDesc& name = *d.FindField(u"Name");
  const vt::TFieldDesc& born = *d.FindField(u"Born");
  const vt::TFieldDesc& flag = *d.FindField(u"Flag");
  const vt::TItemHeader* first = d.FirstItem();  // Jane, 10, 2000-01-01, true
  const Byte* rec = first->Record();
  EXPECT_LT(vt::CompareValues(d, Variant(u"10"), salary, rec, 0), 0 + 1);  // "10" vs "10": equal text
  const Byte* smith = first->Next->Next->Next->Record();  // Salary 9
  EXPECT_LT(vt::CompareValues(d, Variant(u"10"), salary, smith, 0), 0);  // text: "10" below "9"
  EXPECT_GT(vt::CompareValues(d, Variant(10), salary, smith, 0), 0);      // number: 10 above 9
  EXPECT_EQ(vt::CompareValues(d, VarFromDateTime(EncodeDate(2000, 1, 1) + 5e-9), born, rec, 0), 0);
  EXPECT_NE(vt::CompareValues(d, VarFromDateTime(EncodeDate(2000, 1, 1) + 1e-6), born, rec, 0), 0);
  EXPECT_EQ(vt::CompareValues(d, Variant(u"jane"), name, rec, vt::coCaseInsensitive), 0);
  EXPECT_NE(vt::CompareValues(d, Variant(u"jane"), name, rec, vt::coOrdinalCompare), 0);
  EXPECT_EQ(vt::CompareValues(d, Variant(u"Ja"), name, rec, vt::coPartialKey), 0);
  EXPECT_EQ(vt::CompareValues(d, Variant(u"an"), name, rec, vt::coPartialCompare), 0);
  EXPECT_EQ(vt::CompareValues(d, Variant(true), flag, rec, 0), 0);
  // Nulls sort first ascending in the record comparison.
  d.SetIndexFieldNames(u"Name");
  const vt::TItemHeader* nullRow = d.FirstItem();
  EXPECT_EQ(d.CompareItemRecords(nullRow->Record(), nullRow->Next->Record()), -1);
  EXPECT_EQ(d.CompareItemRecords(nullRow->Next->Record(), nullRow->Record()), 1);
}

TEST_F(VtSortFilter, FilterTable) {
  SixRows();
  struct Case {
    const char16_t* Text;
    std::vector<int> Ids;
    TFilterOptions Options = 0;
  } cases[] = {
      {u"   ", {1, 2, 3, 4, 5, -3}},
      {u"Salary BETWEEN 10 AND 20", {1, 2, 3}},
      {u"Salary NOT BETWEEN 10 AND 20", {4, 5, -3}},
      {u"Name IS NULL", {-3}},
      {u"Name IS NOT NULL", {1, 2, 3, 4, 5}},
      {u"Salary > NULL", {}},
      {u"ID IN (1, 2, -3)", {1, 2, -3}},
      {u"ID NOT IN (1)", {2, 3, 4, 5, -3}},
      {u"Name = 'smith'", {3, 4}, foCaseInsensitive},
      {u"Name = 'smith'", {}},
      {u"Name LIKE 'J_n%'", {1, 2}},
      {u"Name LIKE 'A\\%'", {5}},
      {u"Name = 'S*'", {3, 4}},
      {u"Name = 'S*'", {}, foNoPartialCompare},
      {u"Salary >= 10 AND (ID < 3 OR Name = 'Smith')", {1, 2}},
      {u"NOT (Salary > 10) AND ID > 0", {1, 4}},
      {u"Flag = TRUE", {1, 3}},
      {u"Flag <> TRUE", {2, 4, 5, -3}},
      {u"Born > '2002/6/1'", {4, 5}},
      {u"UPPER(Name) = 'JANE'", {1}},
      {u"LOWER([Last Name]) LIKE 'sm%'", {3, 4}},
      {u"Salary = -3 OR ID = -3", {-3}},
      {u"TRUE", {1, 2, 3, 4, 5, -3}},
      {u"FALSE OR ID = 2", {2}},
      {u"Salary < 9.5", {4, -3}},
  };
  for (const Case& c : cases) {
    t->SetFiltered(false);
    t->SetFilterOptions(c.Options);
    t->SetFilterText(c.Text);
    t->SetFiltered(true);
    EXPECT_EQ(IdsOf(*t), c.Ids) << String(c.Text).size() << " " << static_cast<int>(c.Options);
    EXPECT_EQ(t->RecordCount(), static_cast<int>(c.Ids.size()));
  }
  t->SetFiltered(false);
  t->SetFilterOptions(0);
  const std::pair<const char16_t*, const char16_t*> errors[] = {
      {u"Name = 'A' 'B'", u"Illegal filter expression"},
      {u"Nope = 1", u"Field Nope not found"},
      {u"Name =", u"Illegal filter expression"},
      {u"(ID = 1", u"Illegal filter expression"},
      {u"ID IN 1", u"Illegal filter expression"},
      {u"Name IS 'x'", u"Illegal filter expression"},
      {u"ID BETWEEN 1 OR 2", u"Illegal filter expression"},
      {u"ID NOT = 1", u"Illegal filter expression"},
      {u"ID IN (1,", u"Illegal filter expression"},
  };
  for (const auto& [text, message] : errors) {
    try {
      t->SetFilterText(text);
      t->SetFiltered(true);
      ADD_FAILURE() << String(text).size();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), String(message));
    }
    EXPECT_FALSE(t->Data()->HasFilterExpression());
    t->SetFiltered(false);
    t->SetFilterText(u"");
  }
}

// The planned comparisons (values read from the slots, constants converted once) give what the
// general way through dynamic values gives, for every row, expression and option.
TEST_F(VtSortFilter, PlannedAndGeneralComparisonsAgree) {
  std::mt19937 rng(5);
  const char16_t* names[] = {u"Jane", u"Jon", u"SMITH", u"Smith", u"A%", u"", u"\u4e2d\u6587", u"jon", u"K", nullptr};
  for (int i = 0; i < 120; ++i)
    AddPerson(*t, static_cast<int>(rng() % 11) - 3, names[rng() % 10], static_cast<double>(rng() % 9) * 2.5,
              rng() % 4 ? EncodeDate(2000 + static_cast<int>(rng() % 4), 1, 1) : 0, rng() % 2 == 0);
  const char16_t* texts[] = {
      u"ID > 5", u"ID >= 5.5", u"ID = 3", u"ID <> 3", u"ID IN (1, 2, -3)", u"ID NOT IN (1)", u"ID < -2",
      u"ID = '3'", u"ID > NULL", u"ID = NULL", u"Salary > 10", u"Salary = 15", u"Salary <= 7.5",
      u"Salary IN (10, 5)", u"Salary > '12'", u"Born > '2002/6/1'", u"Born = '2001/1/1'", u"Born < 36900",
      u"Born IS NULL", u"Flag = TRUE", u"Flag <> FALSE", u"Flag = 1", u"Flag IN (0)", u"Flag <> 'True'",
      u"Flag = 'True'", u"Name = 'smith'", u"Name = 'S*'", u"Name LIKE 'J_n%'", u"Name <> 'Jon'", u"Name > 'K'",
      u"Name <= 'Jon'", u"Name IN ('Jane', 'SMITH')", u"Name NOT IN ('Jane')", u"Name NOT LIKE '%h'",
      u"Name = 5", u"Name IS NULL", u"Name IS NOT NULL", u"Name = ''", u"UPPER(Name) = 'JANE'",
      u"LOWER([Last Name]) LIKE 'sm%'", u"[Last Name] >= 'Smith'", u"Name = UPPER('jane')",
      u"Name = '\u4e2d*'", u"[Last Name] IN ('\u4e2d\u6587', 'jon')", u"ID = Salary", u"Name > NULL",
  };
  ExpectPlannedAgrees(texts);
}

// A calculated field can be filtered on: it is computed for each row tested.
TEST_F(VtSortFilter, FiltersReadCalculatedFields) {
  t->Close();
  for (int i = 0; i < t->FieldDefs().Count(); ++i) t->FieldDefs()[i]->CreateField(t.get());
  auto* twice = new TFloatField(t.get());
  twice->SetFieldName(u"Twice");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(t.get());
  int calls = 0;
  t->OnCalcFields = [&](TDataSet& ds) {
    ++calls;
    ds.FieldByName(u"Twice")->SetAsFloat(ds.FieldByName(u"Salary")->AsFloat() * 2);
  };
  t->Open();
  SixRows();
  t->SetFilterText(u"Twice >= 30 AND ID > 0");
  t->SetFiltered(true);
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{2, 3, 5}));
  t->First();
  EXPECT_EQ(t->FieldByName(u"Twice")->AsFloat(), 30.0);
  t->SetFilterText(u"Twice IN (18, 0)");
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{4, -3}));
  // A name that is neither stored nor computed still fails.
  t->SetFiltered(false);
  EXPECT_THROW(
      {
        t->SetFilterText(u"Thrice > 1");
        t->SetFiltered(true);
      },
      Exception);
  EXPECT_GT(calls, 0);
}

TEST_F(VtSortFilter, KeyExclusiveOnlyWhileEditingAKey) {
  SixRows();
  t->First();
  EXPECT_THROW(t->KeyExclusive(), EDatabaseError);
  EXPECT_THROW(t->SetKeyExclusive(true), EDatabaseError);
  const TDataSetState s = t->SetTempState(dsSetKey);
  EXPECT_FALSE(t->KeyExclusive());
  t->SetModified(false);
  t->SetKeyExclusive(true);
  EXPECT_TRUE(t->KeyExclusive());
  EXPECT_TRUE(t->Modified());
  t->FieldByName(u"Name")->SetAsString(u"key");  // into the key, not the row
  EXPECT_EQ(t->FieldByName(u"Name")->AsString(), u"key");
  t->RestoreState(s);
  t->SetModified(false);
  EXPECT_EQ(t->FieldByName(u"Name")->AsString(), u"Jane");
  EXPECT_FALSE(t->Ranged());
  t->SetIndexFieldNames(u"Name");
  EXPECT_EQ(t->RecordCount(), 6);
  t->Close();  // the keys go with the cursor
  t->Open();
  t->SetTempState(dsSetKey);
  EXPECT_FALSE(t->KeyExclusive());
  EXPECT_TRUE(t->FieldByName(u"Name")->IsNull());
  t->RestoreState(dsBrowse);
}

// FindFirst/Next/Prior/Last walk the rows the filter keeps, with the filter on for the search only.
TEST_F(VtSortFilter, FindRecordUsesTheFilterWhileNotFiltered) {
  SixRows();
  t->SetFilterText(u"Salary > 12");
  t->SetOnFilterRecord([](TDataSet& ds, bool& Accept) { Accept = ds.FieldByName(u"ID")->AsInteger() != 3; });
  auto id = [&] { return t->FieldByName(u"ID")->AsInteger(); };
  EXPECT_TRUE(t->FindFirst());
  EXPECT_EQ(id(), 2);
  EXPECT_TRUE(t->FindNext());
  EXPECT_EQ(id(), 5);
  EXPECT_FALSE(t->FindNext());
  EXPECT_EQ(id(), 5);
  EXPECT_TRUE(t->FindPrior());
  EXPECT_EQ(id(), 2);
  EXPECT_TRUE(t->FindLast());
  EXPECT_EQ(id(), 5);
  EXPECT_EQ(t->RecordCount(), 6);  // the filter went with the search
  EXPECT_FALSE(t->Data()->HasFilterExpression());
  t->SetFiltered(true);
  t->First();
  EXPECT_TRUE(t->FindNext());
  EXPECT_EQ(id(), 5);
  EXPECT_EQ(t->RecordCount(), 2);
  t->SetFilterText(u"ID > 100");
  EXPECT_FALSE(t->FindFirst());
}

TEST_F(VtSortFilter, FilteredEditsRetestVisibility) {
  SixRows();
  t->SetFilterText(u"Salary > 12");
  t->SetFiltered(true);
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{2, 3, 5}));
  t->First();
  t->Edit();
  t->FieldByName(u"Salary")->SetAsFloat(1);  // row 2 leaves the view
  t->Post();
  EXPECT_EQ(t->RecordCount(), 2);
  EXPECT_EQ(IdsOf(*t), (std::vector<int>{3, 5}));
  t->SetFiltered(false);
  EXPECT_EQ(t->RecordCount(), 6);
}

TEST(VtLike, Table) {
  struct Case {
    const char16_t* Text;
    const char16_t* Pattern;
    bool NoPartial;
    bool Hit;
  } cases[] = {
      {u"Jane", u"J_n%", false, true},   {u"Jon", u"J_n%", false, true},    {u"Jn", u"J_n%", false, false},
      {u"A%", u"A\\%", false, true},     {u"AB", u"A\\%", false, false},    {u"abc", u"%", false, true},
      {u"", u"%", false, true},          {u"", u"", false, true},           {u"a", u"", false, false},
      {u"abc", u"a*c", false, true},     {u"abc", u"*", false, true},       {u"a*", u"a*", true, true},
      {u"ab", u"a*", true, false},       {u"ab", u"a*", false, true},       {u"a_", u"a\\_", false, true},
      {u"ab", u"a\\_", false, false},    {u"x\\", u"x\\", false, true},     {u"aXbXc", u"%X%X%", false, true},
      {u"mississippi", u"%iss%ppi", false, true}, {u"mississippi", u"%iss%ppx", false, false},
      {u"abc", u"a%b%c%d", false, false}, {u"abcabc", u"%bc", false, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(vt::MatchLikePattern(c.Text, c.Pattern, c.NoPartial), c.Hit)
        << String(c.Text).size() << "/" << String(c.Pattern).size();
  // A megabyte of text against %x%y: no backtracking blow-up.
  String big(1 << 20, u'x');
  EXPECT_FALSE(vt::MatchLikePattern(big, u"%x%y", false));
  big.back() = u'y';
  EXPECT_TRUE(vt::MatchLikePattern(big, u"%x%y", false));
}

}  // namespace

namespace {

// The ID of the first row (in order, visible) whose keys match, by a plain scan; -1 for none.
int BruteForce(TDataSet& t, const String& Field, const Variant& Key, TLocateOptions Options) {
  for (t.First(); !t.Eof(); t.Next()) {
    TField* f = t.FieldByName(Field);
    if (VarIsNull(Key) || f->IsNull()) {
      if (VarIsNull(Key) && f->IsNull()) return t.FieldByName(u"ID")->AsInteger();
      continue;
    }
    if (VarIsStr(Key)) {
      String have = f->AsString();
      const String want = VarToStr(Key);
      // An empty partial key is compared with the whole text.
      if ((Options & loPartialKey) && !want.empty() && have.size() > want.size()) have.resize(want.size());
      if ((Options & loCaseInsensitive) ? AnsiSameText(have, want) : have == want)
        return t.FieldByName(u"ID")->AsInteger();
    } else if (VarSameValue(f->AsVariant(), Key)) {
      return t.FieldByName(u"ID")->AsInteger();
    }
  }
  return -1;
}

}  // namespace

TEST_F(VtSortFilter, LocateBinaryAndLinearAgreeWithAScan) {
  std::mt19937 rng(11);
  const char16_t* names[] = {u"ab", u"Ab", u"abc", u"b", u"B", u"ba", nullptr};
  for (int i = 0; i < 300; ++i)
    AddPerson(*t, i, names[rng() % 7], static_cast<double>(rng() % 25), 0, rng() % 2 == 0);
  struct Query {
    const char16_t* Field;
    Variant Key;
    TLocateOptions Options;
  };
  std::vector<Query> queries;
  for (int s = -1; s < 27; ++s) queries.push_back({u"Salary", Variant(static_cast<double>(s)), 0});
  queries.push_back({u"Salary", Null(), 0});
  queries.push_back({u"Salary", Variant(u"7"), 0});
  for (const char16_t* n : {u"ab", u"AB", u"a", u"b", u"ba", u"zz", u""})
    for (TLocateOptions o : {TLocateOptions(0), TLocateOptions(loCaseInsensitive), TLocateOptions(loPartialKey),
                             TLocateOptions(loCaseInsensitive | loPartialKey)})
      queries.push_back({u"Name", Variant(n), o});
  queries.push_back({u"Name", Null(), 0});
  queries.push_back({u"Flag", Variant(true), 0});
  queries.push_back({u"Flag", Variant(false), 0});

  auto unsorted = PeopleTable();  // the same rows, list order
  for (t->First(); !t->Eof(); t->Next()) {
    unsorted->Append();
    for (int f = 0; f < t->FieldCount(); ++f) unsorted->Fields()[f]->SetAsVariant(t->Fields()[f]->AsVariant());
    unsorted->Post();
  }
  for (const char16_t* index : {u"Salary", u"Salary DESC", u"Name", u"Name CIS", u"Name BIN DESC", u"Flag;Salary"}) {
    t->SetIndexFieldNames(index);
    for (const Query& q : queries) {
      // Among equal rows the sorted table finds its first; compare by the found row's keys instead.
      const int expect = BruteForce(*unsorted, q.Field, q.Key, q.Options);
      const bool found = t->Locate(q.Field, q.Key, q.Options);
      EXPECT_EQ(found, expect != -1) << String(index).size() << " " << String(q.Field).size() << " " << VarToStr(q.Key).size() << " " << static_cast<int>(q.Options);
      if (found) {
        EXPECT_TRUE(unsorted->Locate(u"ID", t->FieldByName(u"ID")->AsVariant(), 0));
        const int id = t->FieldByName(u"ID")->AsInteger();
        // The found row is the first matching one in the sorted order.
        const int first = BruteForce(*t, q.Field, q.Key, q.Options);
        EXPECT_EQ(id, first) << String(index).size();
      }
    }
  }
  // Lookup leaves the position alone, found or not.
  t->SetIndexFieldNames(u"Salary");
  t->SetRecNo(17);
  const Variant id = t->FieldByName(u"ID")->AsVariant();
  EXPECT_FALSE(VarIsNull(t->Lookup(u"Salary", Variant(3.0), u"ID")));
  EXPECT_TRUE(VarIsNull(t->Lookup(u"Salary", Variant(99.0), u"ID")));
  EXPECT_EQ(t->RecNo(), 17);
  EXPECT_TRUE(VarSameValue(t->FieldByName(u"ID")->AsVariant(), id));
  // Two keys, the first leading the order.
  t->SetIndexFieldNames(u"Salary;ID");
  t->SetRecNo(150);
  const Variant pair = VarArrayOf({t->FieldByName(u"Salary")->AsVariant(), t->FieldByName(u"ID")->AsVariant()});
  const int wanted = t->FieldByName(u"ID")->AsInteger();
  t->First();
  EXPECT_TRUE(t->Locate(u"ID;Salary", VarArrayOf({pair.GetElement(1), pair.GetElement(0)}), 0));
  EXPECT_EQ(t->FieldByName(u"ID")->AsInteger(), wanted);
  EXPECT_FALSE(t->Locate(u"Salary;ID", VarArrayOf({pair.GetElement(0), Variant(-77)}), 0));
  // Under a filter only visible rows are found.
  t->SetFilterText(u"Salary < 5");
  t->SetFiltered(true);
  EXPECT_FALSE(t->Locate(u"Salary", Variant(7.0), 0));
  EXPECT_EQ(t->Locate(u"Salary", Variant(3.0), 0), BruteForce(*unsorted, u"Salary", Variant(3.0), 0) != -1);
}

// Memos, BCD and calculated fields are compared the planned way too (memos from their packed bytes,
// calculated fields from their native values): both ways agree on every row, expression and option.
TEST_F(VtSortFilter, PlannedAndGeneralAgreeOnMemosBcdAndCalculatedFields) {
  t->Close();
  t->FieldDefs().Clear();
  t->FieldDefs().Add(u"ID", ftInteger, 0, false);
  t->FieldDefs().Add(u"M", ftMemo, 0, false);
  t->FieldDefs().Add(u"WM", ftWideMemo, 0, false);
  t->FieldDefs().Add(u"B", ftBCD, 4, false)->SetPrecision(18);
  for (int i = 0; i < t->FieldDefs().Count(); ++i) t->FieldDefs()[i]->CreateField(t.get());
  auto calc = [&](TField* f, const char16_t* name, int size = 0) {
    if (size) f->SetSize(size);
    f->SetFieldName(name);
    f->SetFieldKind(fkCalculated);
    f->SetDataSet(t.get());
  };
  calc(new TIntegerField(t.get()), u"CI");
  calc(new TFloatField(t.get()), u"CF");
  calc(new TStringField(t.get()), u"CS", 8);
  calc(new TWideStringField(t.get()), u"CW", 8);
  calc(new TDateTimeField(t.get()), u"CD");
  calc(new TBooleanField(t.get()), u"CB");
  calc(new TCurrencyField(t.get()), u"CC");
  t->OnCalcFields = [](TDataSet& ds) {
    const int id = ds.FieldByName(u"ID")->AsInteger();
    if (id % 5 == 0) return;  // every calculated field null
    ds.FieldByName(u"CI")->SetAsInteger(id * 3 - 10);
    ds.FieldByName(u"CF")->SetAsFloat(id * 2.5);
    const char16_t* texts[] = {u"ab", u"Ab ", u"\u4e2d\u6587", u"", u"K", u"abc"};
    ds.FieldByName(u"CS")->SetAsString(texts[id % 6]);
    ds.FieldByName(u"CW")->SetAsString(texts[(id + 1) % 6]);
    ds.FieldByName(u"CD")->SetAsDateTime(EncodeDate(2000 + id % 4, 1 + id % 12, 1));
    ds.FieldByName(u"CB")->SetAsBoolean(id % 2 == 0);
    ds.FieldByName(u"CC")->SetAsFloat(id * 1.25);
  };
  t->Open();
  std::mt19937 rng(7);
  const std::u16string memos[] = {u"abc", u"", u"\u4e2d\u6587 text", u"x1y2", u"ABC", u"K",
                                  std::u16string(300, u'x') + u"y", std::u16string(2000, u'\u4e2d')};
  const double amounts[] = {0, 1.5, 12.5, 12.3456, -3, -3.0001, 922337203685477.0, 0.1, 10};
  for (int i = 0; i < 150; ++i) {
    t->Append();
    t->FieldByName(u"ID")->SetAsInteger(i);
    if (rng() % 6) t->FieldByName(u"M")->SetAsString(memos[rng() % 8]);
    if (rng() % 6) t->FieldByName(u"WM")->SetAsString(memos[rng() % 8]);
    if (rng() % 6) t->FieldByName(u"B")->SetAsFloat(amounts[rng() % 9]);
    t->Post();
  }
  const char16_t* texts[] = {
      u"M = 'abc'", u"M LIKE '%x%y'", u"M > 'K'", u"M IS NULL", u"M = ''", u"M IN ('abc', 'K')", u"UPPER(M) = 'ABC'",
      u"M <> 'abc'", u"WM = 'abc'", u"WM LIKE '\u4e2d%'", u"WM <= 'abc'", u"WM NOT LIKE '%y'", u"LOWER(WM) = 'abc'",
      u"B > 10", u"B = 12.5", u"B >= 12.34565", u"B < -3", u"B IN (0, 1.5)", u"B = 1000000000000000000000000000000", u"B < -100000000000000000000",
      u"B > 922337203685476.9999", u"B <> 0.1", u"B = '12.5'", u"B IS NULL", u"B = 12", u"B <= 12.3456",
      u"CI > 3", u"CI IN (-1, 2, 20)", u"CF <= 7.5", u"CF = 10", u"CS = 'ab*'", u"CS LIKE '%b'", u"CS = 'Ab '",
      u"CW > 'K'", u"CW IS NULL", u"CD > '2002/6/1'", u"CD IS NULL", u"CB = TRUE", u"CB <> FALSE", u"CC > 3",
      u"CC = 2.5", u"CS IS NULL AND CI IS NULL", u"UPPER(CS) = 'AB'",
  };
  ExpectPlannedAgrees(texts);
  // These compare typed, with no dynamic value per row.
  for (const char16_t* text : {u"M = 'abc'", u"WM LIKE '\u4e2d%'", u"LOWER(WM) = 'abc'", u"B >= 12.34565", u"B IN (0, 1.5)",
                               u"CI > 3", u"CF <= 7.5", u"CS LIKE '%b'", u"CW > 'K'", u"CD IS NULL", u"CB = TRUE"}) {
    vt::TFilterExpression e(*t->Data(), text, t->Data()->ComputedFields);
    e.Eval(t->Data()->FirstItem()->Record(), false, false);
    EXPECT_TRUE(e.AllPlanned()) << StringToUTF8(text);
  }
}
