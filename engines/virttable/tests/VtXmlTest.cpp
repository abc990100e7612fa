// Rowset XML: entities, the reader, the schema's types, rows, and bad documents that leave the table
// as it was (every truncation of a good one included).
#include <gtest/gtest.h>

#include <cstring>

#include "VtTestSupport.h"
#include "engines/virttable/VtXml.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

using namespace vttest;

namespace {

const char kGood[] =
    "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n"
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\n"
    "     xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n"
    "<!-- a comment -->\n"
    "<s:Schema id='RowsetSchema'>\n"
    " <s:ElementType name='row' content='eltOnly'>\n"
    "  <s:AttributeType name='ID' rs:number='1'><s:datatype dt:type='int' dt:maxlength='4' rs:maybenull='false'/>"
    "</s:AttributeType>\n"
    "  <s:AttributeType name='c2' rs:name='Name' rs:number='2'><s:datatype dt:type='string' dt:maxlength='20'/>"
    "</s:AttributeType>\n"
    "  <s:AttributeType name='Born' rs:number='3'><s:datatype dt:type='dateTime' rs:dbtype='variantdate' "
    "dt:maxlength='16'/></s:AttributeType>\n"
    "  <s:AttributeType name='Pay' rs:number='4'><s:datatype dt:type='float' dt:maxlength='8'/></s:AttributeType>\n"
    "  <s:AttributeType name='Bin' rs:number='5'><s:datatype dt:type='bin.hex' dt:maxlength='10'/></s:AttributeType>\n"
    "  <s:AttributeType name='Ok' rs:number='6'><s:datatype dt:type='boolean' dt:maxlength='2'/></s:AttributeType>\n"
    " </s:ElementType>\n"
    "</s:Schema>\n"
    "<rs:data>\n"
    "<z:row ID='1' c2='A&#x26;#13;B' Born='2001-02-03T04:05:06' Pay='1.5' Bin='0aFF' Ok='True'/>\n"
    "<z:row ID='2' c2='it&#x39;s &lt;x&gt;' Born='1999-12-31' Bin='01&#10;02'/>\n"
    "<z:row ID='3'/>\n"
    "</rs:data>\n"
    "</xml>\n";

void FillText(TMemoryStream& s, const std::string& Text) { Fill(s, std::vector<Byte>(Text.begin(), Text.end())); }

class VtXml : public CodePage936 {};

TEST_F(VtXml, EntitiesDecodeInChainedOrder) {
  struct Case {
    const char16_t* Text;
    bool Html;
    const char16_t* Out;
  } cases[] = {
      {u"a&#x27;b", false, u"a'b"},   {u"&#x39;", false, u"'"},     {u"&#x26;#13;", false, u"\r"},
      {u"&amp;#13;", true, u"&#13;"},  {u"&amp;#13;", false, u"&amp;#13;"}, {u"&amp;lt;", true, u"<"}, {u"&amp;lt;", false, u"&amp;lt;"},
      {u"&#x26;lt;", true, u"<"},     {u"&#x26;lt;", false, u"&lt;"}, {u"&quot;&gt;", true, u"\">"},
      {u"&unknown;", true, u"&unknown;"}, {u"plain", true, u"plain"},
  };
  for (const Case& c : cases) EXPECT_EQ(vt::DecodeXmlEntities(c.Text, c.Html), String(c.Out)) << String(c.Text).size();
}

TEST_F(VtXml, ReaderNodesAndAttributes) {
  TMemoryStream s;
  FillText(s, "\xEF\xBB\xBF<?xml version='1.0'?><!DOCTYPE x [<!ENTITY a 'b'>]><!-- note --><a x='1' rs:y=\"two\"/>"
              "<b> text.1 </b><c>  </c></a>");
  vt::XmlTextReader r(s, true);
  std::vector<std::pair<int, String>> nodes;
  while (r.Read()) nodes.emplace_back(r.NodeType(), r.NodeType() == vt::ntText || r.NodeType() == vt::ntComment ? r.Value() : r.Name());
  using V = std::vector<std::pair<int, String>>;
  EXPECT_EQ(nodes, (V{{vt::ntDeclaration, u"xml"}, {vt::ntDocumentType, u"x"}, {vt::ntComment, u"note"},
                      {vt::ntElement, u"a"}, {vt::ntElement, u"b"}, {vt::ntText, u" text.1 "}, {vt::ntEndElement, u"b"},
                      {vt::ntElement, u"c"}, {vt::ntEndElement, u"c"}, {vt::ntEndElement, u"a"}}));
  TMemoryStream t;
  FillText(t, "<a x='1' rs:y=\"two\"/>");
  vt::XmlTextReader q(t, true);
  ASSERT_TRUE(q.Read());
  ASSERT_EQ(q.AttributeCount(), 2);
  q.MoveToAttribute(1);
  EXPECT_EQ(q.Name(), u"rs:y");
  EXPECT_EQ(q.Prefix(), u"rs");
  EXPECT_EQ(q.Value(), u"two");
  EXPECT_THROW(q.MoveToAttribute(2), vt::XmlException);
  for (const char* bad : {"<!-- open", "<?xml open", "<!DOCTYPE x", "<a b:='1'>"}) {
    TMemoryStream u;
    FillText(u, bad);
    vt::XmlTextReader b(u, true);
    EXPECT_THROW(b.Read(), vt::XmlException) << bad;
  }
}

TEST_F(VtXml, LoadsTheSchemaAndRows) {
  TMemoryStream s;
  FillText(s, kGood);
  TVirtTable t(nullptr);
  t.LoadFromStream(&s);
  t.Open();
  ASSERT_EQ(t.FieldCount(), 6);
  EXPECT_EQ(t.FieldByName(u"ID")->DataType(), ftInteger);
  EXPECT_EQ(t.FieldByName(u"Name")->DataType(), ftWideString);
  EXPECT_EQ(t.FieldByName(u"Name")->Size(), 20);
  EXPECT_EQ(t.FieldByName(u"Born")->DataType(), ftDateTime);
  EXPECT_EQ(t.FieldByName(u"Bin")->DataType(), ftVarBytes);
  EXPECT_TRUE(t.FieldDefs().Find(u"ID")->Required());
  ASSERT_EQ(t.RecordCount(), 3);
  t.First();
  EXPECT_EQ(t.FieldByName(u"Name")->AsString(), u"A\rB");  // an escaped ampersand, decoded again
  EXPECT_EQ(t.FieldByName(u"Born")->AsDateTime(), EncodeDateTime(2001, 2, 3, 4, 5, 6, 0));
  EXPECT_EQ(t.FieldByName(u"Pay")->AsFloat(), 1.5);
  EXPECT_EQ(t.FieldByName(u"Bin")->AsBytes(), (TBytes{0x0A, 0xFF}));
  EXPECT_TRUE(t.FieldByName(u"Ok")->AsBoolean());
  t.Next();
  EXPECT_EQ(t.FieldByName(u"Name")->AsString(), u"it's <x>");
  EXPECT_EQ(t.FieldByName(u"Born")->AsDateTime(), EncodeDate(1999, 12, 31));
  EXPECT_EQ(t.FieldByName(u"Bin")->AsBytes(), (TBytes{1, 2}));
  t.Next();
  EXPECT_TRUE(t.FieldByName(u"Name")->IsNull());
}

TEST_F(VtXml, TypeTable) {
  struct Case {
    const char16_t* Xml;
    const char16_t* Db;
    bool Long;
    TFieldType Type;
  } cases[] = {
      {u"i8", u"", false, ftLargeint},      {u"bin.hex", u"", true, ftBlob},   {u"bin.hex", u"", false, ftBytes},
      {u"string", u"", false, ftWideString}, {u"string", u"", true, ftWideMemo}, {u"string", u"str", false, ftString},
      {u"string", u"string", true, ftMemo},  {u"number", u"currency", false, ftCurrency},
      {u"date", u"", false, ftDate},         {u"r4", u"", false, ftSingle},    {u"ui2", u"", false, ftWord},
      {u"i1", u"", false, ftShortint},       {u"uuid", u"", false, ftGuid},    {u"number", u"numeric", false, ftFMTBcd},
  };
  for (const Case& c : cases) EXPECT_EQ(vt::XmlTypeToFieldType(c.Xml, c.Db, c.Long, false, nullptr), c.Type);
  EXPECT_THROW(vt::XmlTypeToFieldType(u"blob", u"", false, false, nullptr), EDatabaseError);
}

std::string Replace(std::string Text, const std::string& From, const std::string& To) {
  const std::size_t p = Text.find(From);
  EXPECT_NE(p, std::string::npos) << From;
  return Text.replace(p, From.size(), To);
}

TEST_F(VtXml, BadDocumentsLeaveTheTableAsItWas) {
  const std::string good = kGood;
  const std::string bad[] = {
      Replace(good, "dt:type='int' ", ""),                            // no data type
      Replace(good, "dt:maxlength='20'", "dt:maxlength='-1'"),        // length out of range
      Replace(good, "dt:maxlength='20'", "dt:maxlength='1e12'"),
      Replace(good, "Born='1999-12-31'", "Born='1999-12-3'"),         // short date
      Replace(good, "Born='2001-02-03T04:05:06'", "Born='2001-02-03T04:05'"),
      Replace(good, "Bin='0aFF'", "Bin='0aF'"),                       // odd hex digits
      Replace(good, "<z:row ID='3'/>", "<z:row ID='3' Nope='1'/>"),  // unknown attribute
      Replace(good, "dt:type='float'", "dt:type='money'"),            // unknown type
  };
  auto t = BenchmarkTable();
  AppendBenchmarkRow(*t, 42, u"keep", 0, false, 1);
  for (const std::string& doc : bad) {
    TMemoryStream s;
    FillText(s, doc);
    EXPECT_THROW(t->LoadFromStream(&s), Exception);
    EXPECT_EQ(t->FieldCount(), 7);
    EXPECT_EQ(Ids(*t), (std::vector<int>{42}));
  }
  // Every truncation of the good document fails cleanly or loads a shorter table.
  for (std::size_t n = 0; n < good.size(); n += 7) {
    TMemoryStream s;
    FillText(s, good.substr(0, n));
    try {
      TVirtTable u(nullptr);
      u.LoadFromStream(&s);
    } catch (const Exception&) {
    }
  }
}

TEST_F(VtXml, LoadWithoutFieldsMatchesByName) {
  TMemoryStream s;
  FillText(s, kGood);
  TVirtTable t(nullptr);
  t.FieldDefs().Add(u"ID", ftInteger, 0, false);
  t.FieldDefs().Add(u"Name", ftWideString, 20, false);
  t.FieldDefs().Add(u"Born", ftDateTime, 0, false);
  t.FieldDefs().Add(u"Pay", ftFloat, 0, false);
  t.FieldDefs().Add(u"Bin", ftVarBytes, 10, false);
  t.FieldDefs().Add(u"Ok", ftBoolean, 0, false);
  t.FieldDefs().Add(u"Extra", ftInteger, 0, false);
  t.Open();
  t.LoadFromStream(&s, false);
  EXPECT_EQ(t.FieldCount(), 7);
  EXPECT_EQ(t.RecordCount(), 3);
}

TEST_F(VtXml, ARowSpanningSeveralBlocksIsReadWhole) {
  std::string doc = kGood;
  const std::string longText(20000, 'x');
  doc = Replace(doc, "<z:row ID='3'/>", "<z:row ID='3' c2='" + longText + "'/>");
  doc = Replace(doc, "dt:maxlength='20'", "dt:maxlength='30000'");
  TMemoryStream s;
  FillText(s, doc);
  TVirtTable t(nullptr);
  t.LoadFromStream(&s);
  t.Open();
  t.Last();
  EXPECT_EQ(t.FieldByName(u"Name")->AsString().size(), 20000u);
}

// Many rows of multi-byte text: windows of the reader end anywhere, inside a character too.
TEST_F(VtXml, RowsAcrossReadWindowsKeepEveryCharacter) {
  std::string rows;
  const int count = 2000;
  for (int i = 1; i <= count; ++i) rows += "<z:row ID='" + std::to_string(i) + "' c2='\xE5\x90\x8D" + std::to_string(i) + "'/>\n";
  std::string doc = Replace(kGood, "<z:row ID='1'", rows + "<z:row ID='1'");
  ASSERT_GT(doc.size(), 4 * vt::XmlTextReader::kWindow);
  TMemoryStream s;
  FillText(s, doc);
  TVirtTable t(nullptr);
  t.LoadFromStream(&s);
  t.Open();
  ASSERT_EQ(t.RecordCount(), count + 3);
  t.First();
  for (int i = 1; i <= count; ++i, t.Next()) ASSERT_EQ(t.FieldByName(u"Name")->AsString(), u"\u540D" + IntToStr(i));
}

}  // namespace
