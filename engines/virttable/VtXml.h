// Reading rowset XML: a document with an inline schema (S:SCHEMA, S:ATTRIBUTETYPE, S:DATATYPE) and one
// Z:ROW element per record whose attributes carry the values.
//
// XmlTextReader is a small pull reader: declarations, comments, document types, start and end
// elements with attributes, and text; no nesting or namespace checks. It holds the document's bytes
// (UTF-8) and never reads past them: every search is bounded by the end of the text.
//
// Entity decoding replaces, in this order and each on the result of the one before: &#x27; &#x39;
// &#x92; &#x96; (all an apostrophe), &#x22; &#x3c; &#x3e; &#x26; &#13; &#10;, then, when
// DecodeHTMLEntities, &amp; &quot; &gt; &lt;. So "&amp;#13;" ends as a carriage return.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/classes/Streams.h"
#include "platform/db/DataSet.h"
#include "platform/rtl/Exceptions.h"

namespace vt {

VELLUM_DECLARE_EXCEPTION(XmlException, Exception)

enum XmlNodeType { ntNone = 0, ntElement, ntAttribute, ntEndElement, ntComment, ntDeclaration, ntDocumentType, ntText };
enum class XmlReadState { Initial = 0, Interactive, Error, EndOfFile, Closed };

String DecodeXmlEntities(const String& Text, bool DecodeHTMLEntities);

class XmlTextReader {
 public:
  // Reads the stream from its start to its end, kWindow bytes at a time: only the node being read and
  // what follows it up to the next read stay in memory. The stream must outlive the reader.
  XmlTextReader(TStream& Stream, bool DecodeHTMLEntities);
  // True when a node was read; False at the end.
  bool Read();
  bool Eof() { return !Ensure(1); }
  static constexpr std::size_t kWindow = 8 * 1024;
  XmlNodeType NodeType() const { return FNodeType; }
  const String& Name() const { return FName; }
  const String& Value() const { return FValue; }
  const String& Prefix() const { return FPrefix; }
  int AttributeCount() const { return static_cast<int>(FAttrNames.size()); }
  bool HasAttributes() const { return !FAttrNames.empty(); }
  // Raises XmlException "Attribute not found (%d)".
  void MoveToAttribute(int i);
  const String& Items(int i) const;
  const String& AttributeName(int i) const { return FAttrNames[static_cast<std::size_t>(i)]; }
  XmlReadState ReadState() const { return FState; }

 private:
  // The text from FPos up to the next What (FPos moves to What); nullopt-like false when absent.
  bool ReadTo(std::string_view What, String& Out, bool IncludeFirst = false);
  bool Match(std::string_view What);
  bool SkipTo(std::string_view What);
  void ParseAttributes(const String& Text);
  [[noreturn]] void Fail(const char16_t* Message);
  // Another window of the stream appended to FText; false at the stream's end.
  bool More();
  // Whether N bytes from FPos are at hand (reading more as needed).
  bool Ensure(std::size_t N);
  // The offset of the next What at or after FPos, reading more as needed; npos when there is none.
  std::size_t Find(std::string_view What);

  TStream& FStream;
  Int64 FLeft = 0;      // bytes of the stream not read yet
  std::string FText;    // the window: bytes read and not yet consumed (FPos and on)
  std::size_t FPos = 0;
  bool FDecode;
  XmlNodeType FNodeType = ntNone;
  XmlReadState FState = XmlReadState::Initial;
  String FName, FValue, FPrefix, FCurrElementName;
  std::vector<String> FAttrNames, FAttrPrefix, FAttrValues;
};

// The platform type of a schema's dt:type / rs:dbtype pair ("" for an absent attribute); raises the
// dataset error "Data type is not supported".
TFieldType XmlTypeToFieldType(const String& XmlType, const String& DbType, bool Long, bool Fixed, const TComponent* Owner);

// Field definitions from the schema into Defs (NameMap gets rs:name=name entries). Raises "Invalid
// XML document" for a type element without types or a length out of range.
void ReadXmlSchema(XmlTextReader& Reader, TFieldDefs& Defs, std::vector<String>& NameMap, const TComponent* Owner);
// Appends one row per Z:ROW element. A row that fails is cancelled and the error propagates.
void ReadXmlRows(XmlTextReader& Reader, TDataSet& Table, const std::vector<String>& NameMap);
// Sets Field from the XML text by the field's type (ISO dates, hexadecimal bytes, "." decimals).
void SetFieldFromXmlText(TField* Field, const String& Text);

}  // namespace vt
