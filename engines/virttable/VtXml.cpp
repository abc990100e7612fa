#include "engines/virttable/VtXml.h"

#include <cmath>

#include "engines/virttable/VtClasses.h"
#include "engines/virttable/VtParser.h"
#include "engines/virttable/VtTypes.h"
#include "platform/db/Fields.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/Utf.h"

namespace vt {

namespace {

[[noreturn]] void InvalidDocument() { throw Exception(u"Invalid XML document"); }

String Upper(const String& S) { return UpperCase(S); }

// The lexer of one start tag's attributes: ":" "<" "=" ">" and no keywords.
class TXmlParser : public TParser {
 public:
  explicit TXmlParser(std::u16string_view Text) : TParser(Text) { TXmlParser::SetDefaults(); }
  void SetDefaults() override {
    TParser::SetDefaults();
    static const TLexemList symbols = [] {
      TLexemList l;
      l.Add(u":", 16);
      l.Add(u"<", 18);
      l.Add(u"=", 19);
      l.Add(u">", 20);
      l.Sort();
      return l;
    }();
    FSymbolLexems = &symbols;
    FSymbolChars = TCharSet{};
    for (char16_t c : {u':', u'<', u'=', u'>'}) FSymbolChars.Add(c);
    FKeywordLexems = nullptr;
    FOmitKeywords = true;
    FCommentBegin.clear();
    FOmitInlineComment = true;
  }
};

}  // namespace

String DecodeXmlEntities(const String& Text, bool DecodeHTMLEntities) {
  if (Text.find(u'&') == String::npos) return Text;
  WideStringBuilder s(Text, static_cast<int>(Text.size()));
  static const std::pair<const char16_t*, const char16_t*> kNumeric[] = {
      {u"&#x27;", u"'"},  {u"&#x39;", u"'"}, {u"&#x92;", u"'"}, {u"&#x96;", u"'"},   {u"&#x22;", u"\""},
      {u"&#x3c;", u"<"},  {u"&#x3e;", u">"}, {u"&#x26;", u"&"}, {u"&#13;", u"\r"},   {u"&#10;", u"\n"}};
  static const std::pair<const char16_t*, const char16_t*> kNamed[] = {
      {u"&amp;", u"&"}, {u"&quot;", u"\""}, {u"&gt;", u">"}, {u"&lt;", u"<"}};
  for (const auto& [from, to] : kNumeric) s.Replace(from, to);
  if (DecodeHTMLEntities)
    for (const auto& [from, to] : kNamed) s.Replace(from, to);
  return s.ToString();
}

// ---- XmlTextReader ----

XmlTextReader::XmlTextReader(TStream& Stream, bool DecodeHTMLEntities) : FStream(Stream), FDecode(DecodeHTMLEntities) {
  Stream.SetPosition(0);
  FLeft = std::max<Int64>(Stream.Size(), 0);
}

bool XmlTextReader::More() {
  if (FLeft <= 0) return false;
  // What was consumed goes first, so the window holds the node being read and no more.
  if (FPos > 0) {
    FText.erase(0, FPos);
    FPos = 0;
  }
  const std::size_t old = FText.size();
  const std::size_t want = static_cast<std::size_t>(std::min<Int64>(FLeft, static_cast<Int64>(kWindow)));
  FText.resize(old + want);
  const Int64 got = FStream.Read(FText.data() + old, static_cast<Int64>(want));
  FText.resize(old + static_cast<std::size_t>(std::max<Int64>(got, 0)));
  FLeft = got > 0 ? FLeft - got : 0;
  return got > 0;
}

bool XmlTextReader::Ensure(std::size_t N) {
  while (FText.size() - FPos < N)
    if (!More()) return false;
  return true;
}

std::size_t XmlTextReader::Find(std::string_view What) {
  std::size_t from = 0;  // bytes after FPos already searched
  for (;;) {
    const std::size_t p = FText.find(What, FPos + from);
    if (p != std::string::npos) return p;
    const std::size_t held = FText.size() - FPos;
    from = held >= What.size() ? held - What.size() + 1 : 0;
    if (!More()) return std::string::npos;
  }
}

void XmlTextReader::Fail(const char16_t* Message) {
  FState = XmlReadState::Error;
  throw XmlException(Message);
}

bool XmlTextReader::Match(std::string_view What) {
  if (!Ensure(What.size()) || FText.compare(FPos, What.size(), What) != 0) return false;
  FPos += What.size();
  return true;
}

bool XmlTextReader::SkipTo(std::string_view What) {
  const std::size_t p = Find(What);
  if (p == std::string::npos) {
    FPos = FText.size();
    return false;
  }
  FPos = p + What.size();
  return true;
}

bool XmlTextReader::ReadTo(std::string_view What, String& Out, bool IncludeFirst) {
  Out.clear();
  const std::size_t p = Find(What);
  if (p == std::string::npos) return false;
  Out = sys::Utf8ToUtf16(std::string_view(FText).substr(FPos, p - FPos + (IncludeFirst ? 1 : 0)));
  FPos = p;
  return true;
}

void XmlTextReader::MoveToAttribute(int i) {
  if (i < 0 || i >= AttributeCount()) throw XmlException(u"Attribute not found (" + IntToStr(i) + u")");
  FName = FAttrNames[static_cast<std::size_t>(i)];
  FValue = FAttrValues[static_cast<std::size_t>(i)];
  FPrefix = FAttrPrefix[static_cast<std::size_t>(i)];
}

const String& XmlTextReader::Items(int i) const {
  if (i < 0 || i >= AttributeCount()) throw XmlException(u"Attribute not found (" + IntToStr(i) + u")");
  return FAttrValues[static_cast<std::size_t>(i)];
}

void XmlTextReader::ParseAttributes(const String& Text) {
  TXmlParser p(Text);
  int code = p.GetNextToken();
  for (;;) {
    if (code == lxEnd || code == 18 || code == 20) break;
    if (code != lxIdent) {
      code = p.GetNextToken();
      continue;
    }
    String name = p.Lexem();
    while ((code = p.GetNextToken()) == lxIdent) name = p.Lexem();
    String prefix;
    if (code == 16) {
      if (p.GetNextToken() != lxIdent) Fail(u"Invalid XML");
      prefix = name;
      name = prefix + u":" + p.Lexem();
      code = p.GetNextToken();
    }
    if (code != 19) continue;
    code = p.GetNextToken();
    if (code != lxIdent && code != lxString) Fail(u"Invalid XML");
    FAttrNames.push_back(std::move(name));
    FAttrValues.push_back(DecodeXmlEntities(p.Lexem(), FDecode));
    FAttrPrefix.push_back(std::move(prefix));
    code = p.GetNextToken();
  }
}

bool XmlTextReader::Read() {
  FAttrNames.clear();
  FAttrPrefix.clear();
  FAttrValues.clear();
  if (FState != XmlReadState::Initial && FState != XmlReadState::Interactive) return false;
  XmlNodeType type = ntNone;
  if (FNodeType == ntElement) {
    // Text follows a start tag when a name, number or punctuation character of a value comes before
    // the next "<".
    for (std::size_t i = 0; Ensure(i + 1) && FText[FPos + i] != '<'; ++i) {
      const char c = FText[FPos + i];
      if (c == '.' || c == ':' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
        type = ntText;
        break;
      }
    }
  }
  if (type == ntNone) {
    if (!SkipTo("<")) {
      FState = XmlReadState::EndOfFile;
      return false;
    }
    if (Match("?")) type = ntDeclaration;
    else if (Match("!--")) type = ntComment;
    else if (Match("!DOCTYPE")) type = ntDocumentType;
    else if (Match("/")) type = ntEndElement;
    else type = ntElement;
  }
  FState = XmlReadState::Interactive;
  FNodeType = type;
  FName.clear();
  FValue.clear();
  FPrefix.clear();
  String text;
  switch (type) {
    case ntElement: {
      if (!ReadTo(">", text, true)) return false;
      std::size_t space = text.find(u' ');
      String name = Trim(space == String::npos ? String() : text.substr(0, space));
      if (name.empty()) {
        const std::size_t gt = text.find(u'>');
        name = Trim(text.substr(0, gt));
        text.clear();
      } else {
        text.erase(0, space);
      }
      ParseAttributes(text);
      FCurrElementName = name;
      if (!name.empty() && name.back() == u'/') name.pop_back();
      FName = name;
      return true;
    }
    case ntEndElement: {
      const bool found = ReadTo(">", text);
      FName = Trim(text);
      return found;
    }
    case ntComment:
      if (!ReadTo("-->", text)) Fail(u"Invalid comment tag");
      FValue = Trim(text);
      return true;
    case ntDeclaration:
      ReadTo(" ", text);
      FName = Trim(text);
      if (!ReadTo("?>", text)) Fail(u"Invalid declaration tag");
      FValue = Trim(text);
      return true;
    case ntDocumentType:
      if (!ReadTo("[<", text)) Fail(u"Invalid Document type tag");
      FName = Trim(text);
      ReadTo(">]", text);
      FValue = Trim(text);
      return true;
    case ntText: {
      std::string end = "</";
      for (char16_t c : FCurrElementName)
        if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'.' || c == u':') end += static_cast<char>(c);
      end += ">";
      if (FCurrElementName.empty() || FCurrElementName.back() != u'/')
        if (Ensure(1)) ++FPos;
      ReadTo(end, text);
      FValue = DecodeXmlEntities(text, FDecode);
      return true;
    }
    default: return true;
  }
}

// ---- schema and rows ----

TFieldType XmlTypeToFieldType(const String& XmlType, const String& DbType, bool Long, bool Fixed, const TComponent* Owner) {
  (void)Fixed;
  struct Row {
    const char16_t* Xml;
    const char16_t* Db;  // nullptr: absent
    Word Code;
    Word LongCode;
  };
  static const Row kRows[] = {
      {u"i8", nullptr, dtInt64, dtInt64},           {u"bin.hex", nullptr, dtBytes, dtBlob},
      {u"boolean", nullptr, dtBoolean, dtBoolean},  {u"string", u"variant", dtVariant, dtVariant},
      {u"string", nullptr, dtWideString, dtWideMemo}, {u"string", u"str", dtString, dtMemo},
      {u"string", u"string", dtString, dtMemo},     {u"i8", u"currency", dtCurrency, dtCurrency},
      {u"number", u"currency", dtCurrency, dtCurrency}, {u"datetime", u"variantdate", dtDateTime, dtDateTime},
      {u"date", nullptr, dtDate, dtDate},           {u"time", nullptr, dtTime, dtTime},
      {u"datetime", u"timestamp", dtDateTime, dtDateTime}, {u"number", u"decimal", dtCurrency, dtCurrency},
      {u"float", nullptr, dtFloat, dtFloat},        {u"extended", nullptr, dtExtended, dtExtended},
      {u"uuid", nullptr, dtGuid, dtGuid},           {u"number", u"numeric", dtFMTBCD, dtFMTBCD},
      {u"r4", nullptr, dtSingle, dtSingle},         {u"i2", nullptr, dtInt16, dtInt16},
      {u"ui2", nullptr, dtUInt16, dtUInt16},        {u"i1", nullptr, dtInt8, dtInt8},
      {u"ui1", nullptr, dtUInt8, dtUInt8},          {u"int", nullptr, dtInt32, dtInt32},
      {u"ui4", nullptr, dtUInt32, dtUInt32},        {u"ui8", nullptr, dtInt64, dtInt64},
  };
  for (const Row& r : kRows)
    if (XmlType == r.Xml && (r.Db ? DbType == r.Db : DbType.empty()))
      return TFieldTypeMap::GetFieldType(Long ? r.LongCode : r.Code);
  DatabaseError(u"Data type is not supported", Owner);
}

void ReadXmlSchema(XmlTextReader& Reader, TFieldDefs& Defs, std::vector<String>& NameMap, const TComponent* Owner) {
  while (Reader.Read()) {
    if (Reader.NodeType() == ntEndElement && Upper(Reader.Name()) == u"S:SCHEMA") break;
    if (Reader.NodeType() != ntElement || Upper(Reader.Name()) != u"S:ATTRIBUTETYPE") continue;
    String name;
    for (int i = 0; i < Reader.AttributeCount(); ++i)
      if (LowerCase(Reader.AttributeName(i)) == u"name") name = Reader.Items(i);
    for (int i = 0; i < Reader.AttributeCount(); ++i)
      if (LowerCase(Reader.AttributeName(i)) == u"rs:name") {
        NameMap.push_back(Reader.Items(i) + u"=" + name);
        name = Reader.Items(i);
      }
    for (;;) {
      if (!Reader.Read()) InvalidDocument();
      if (Reader.NodeType() == ntElement && Upper(Reader.Name()) == u"S:DATATYPE") break;
    }
    bool fixed = false, required = false, isLong = false, hasMax = false;
    double maxLength = 0;
    int precision = 0, scale = 0;
    String xmlType, dbType;
    bool hasXml = false, hasDb = false;
    for (int i = 0; i < Reader.AttributeCount(); ++i) {
      const String a = LowerCase(Reader.AttributeName(i));
      const String& v = Reader.Items(i);
      if (a == u"rs:fixedlength") fixed = StrToBool(v);
      else if (a == u"rs:maybenull") required = !StrToBool(v);
      else if (a == u"dt:maxlength") {
        if (!TryStrToFloat(v, maxLength, TFormatSettings::Invariant()) || !std::isfinite(maxLength)) InvalidDocument();
        hasMax = true;
      } else if (a == u"rs:precision") precision = StrToInt(v);
      else if (a == u"rs:scale") scale = StrToInt(v);
      else if (a == u"dt:type") xmlType = LowerCase(v), hasXml = true;
      else if (a == u"rs:dbtype") dbType = LowerCase(v), hasDb = true;
      else if (a == u"rs:long") isLong = StrToBool(v);
    }
    if (!hasXml && !hasDb) InvalidDocument();
    if (!hasMax && !hasDb) dbType = u"variant";
    TFieldType type = XmlTypeToFieldType(xmlType, dbType, isLong, fixed, Owner);
    // A length is a 16-bit size: out of range (or negative) is a bad document, not a huge field.
    const double rounded = std::nearbyint(maxLength);
    if (rounded < 0 || rounded > (type == ftWideString ? 32766 : 65535)) InvalidDocument();
    int size = static_cast<int>(rounded);
    switch (type) {
      case ftString: case ftBCD: case ftBytes: case ftVarBytes: case ftBlob: case ftMemo: case ftFixedChar:
      case ftWideString: case ftVariant: case ftGuid: case ftTimeStamp: case ftFMTBcd: case ftWideMemo: break;
      default: size = 0; break;
    }
    if (isLong) size = 0;
    if (type == ftBytes && !fixed) type = ftVarBytes;
    TFieldDef* def = Defs.Add(name, type, size, required);
    switch (type) {
      case ftSmallint: case ftInteger: case ftWord: case ftFloat: case ftCurrency: case ftDate: case ftTime:
      case ftDateTime: case ftLargeint: case ftTimeStamp: case ftLongWord: case ftShortint: case ftByte:
      case ftExtended: case ftSingle:
        def->SetPrecision(precision);
        break;
      case ftBCD: case ftFMTBcd:
        def->SetPrecision(precision);
        def->SetSize(scale);
        break;
      default: break;
    }
    if (fixed) def->SetAttributes(def->Attributes() | faFixed);
  }
}

namespace {

int Digit(char16_t c) {
  if (c < u'0' || c > u'9') InvalidDocument();
  return c - u'0';
}

int Number(const String& S, std::size_t At, std::size_t Count) {
  int v = 0;
  for (std::size_t i = 0; i < Count; ++i) v = v * 10 + Digit(S[At + i]);
  return v;
}

double IsoTime(const String& S, std::size_t At) {
  if (S.size() < At + 8) InvalidDocument();
  return EncodeTime(Number(S, At, 2), Number(S, At + 3, 2), Number(S, At + 6, 2), 0);
}

double IsoDateTime(const String& Text) {
  String s = Text;
  if (!s.empty() && s[0] == u'-') s.erase(0, 1);
  const std::size_t t = s.find(u'T');
  // A date needs all ten characters, a date and time nineteen.
  if (s.size() < 10 || (t != String::npos && s.size() < 19)) InvalidDocument();
  const double date = EncodeDate(Number(s, 0, 4), Number(s, 5, 2), Number(s, 8, 2));
  if (t == String::npos) return date;
  return date + IsoTime(s, t + 1);
}

String WithDecimalSeparator(const String& Text) {
  String s = Text;
  for (char16_t& c : s)
    if (c == u'.') c = FormatSettings().DecimalSeparator;
  return s;
}

}  // namespace

void SetFieldFromXmlText(TField* Field, const String& Text) {
  const Word code = TFieldTypeMap::GetDataType(Field->DataType());
  switch (code) {
    case dtSingle: Field->SetAsSingle(static_cast<float>(StrToFloat(WithDecimalSeparator(Text)))); break;
    case dtFloat: Field->SetAsFloat(StrToFloat(WithDecimalSeparator(Text))); break;
    case dtExtended: Field->SetAsExtended(StrToFloat(WithDecimalSeparator(Text))); break;
    case dtCurrency: case dtBCD: Field->SetAsCurrency(StrToCurr(WithDecimalSeparator(Text))); break;
    case dtFMTBCD: Field->SetAsString(WithDecimalSeparator(Text)); break;
    case dtDate: case dtDateTime: Field->SetAsDateTime(IsoDateTime(Text)); break;
    case dtTime: {
      const std::size_t t = Text.find(u'T');
      Field->SetAsDateTime(EncodeDate(1000, 1, 1) + IsoTime(Text, t == String::npos ? 0 : t + 1));
      break;
    }
    case dtBoolean: Field->SetAsBoolean(StrToBool(Text)); break;
    case dtBytes: case dtVarBytes: case dtExtVarBytes: case dtBlob: {
      TBytes bytes;
      String digits;
      auto flush = [&] {
        if (digits.size() % 2 != 0) InvalidDocument();  // half a byte is no byte
        for (std::size_t i = 0; i < digits.size(); i += 2) {
          auto hex = [](char16_t c) -> int {
            if (c >= u'0' && c <= u'9') return c - u'0';
            if (c >= u'a' && c <= u'f') return c - u'a' + 10;
            if (c >= u'A' && c <= u'F') return c - u'A' + 10;
            throw EConvertError(u"'" + String(1, c) + u"' is not a valid hexadecimal digit");
          };
          bytes.push_back(static_cast<Byte>(hex(digits[i]) * 16 + hex(digits[i + 1])));
        }
        digits.clear();
      };
      for (char16_t c : Text) {
        if (c == u'\t' || c == u'\n' || c == u'\r') flush();
        else digits += c;
      }
      flush();
      Field->SetAsBytes(bytes);
      break;
    }
    default:
      if (Field->DataType() == ftWideString || Field->DataType() == ftWideMemo) Field->SetAsWideString(Text);
      else Field->SetAsString(Text);
      break;
  }
}

void ReadXmlRows(XmlTextReader& Reader, TDataSet& Table, const std::vector<String>& NameMap) {
  std::map<String, TField*> cache;
  while (Reader.Read()) {
    if (Reader.NodeType() != ntElement || Upper(Reader.Name()) != u"Z:ROW") continue;
    Table.Append();
    try {
      for (int i = 0; i < Reader.AttributeCount(); ++i) {
        const String& attr = Reader.AttributeName(i);
        TField* field = nullptr;
        if (auto it = cache.find(attr); it != cache.end()) field = it->second;
        if (!field) field = Table.FindField(attr);
        if (!field)
          for (const String& entry : NameMap) {
            const std::size_t eq = entry.find(u'=');
            if (eq != String::npos && entry.substr(eq + 1) == attr) {
              field = Table.FindField(LowerCase(entry.substr(0, eq)));
              if (field) break;
            }
          }
        if (!field) InvalidDocument();
        cache[attr] = field;
        SetFieldFromXmlText(field, Reader.Items(i));
      }
      Table.Post();
    } catch (...) {
      Table.Cancel();
      throw;
    }
  }
}

}  // namespace vt
