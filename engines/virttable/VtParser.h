// TParser: the lexer of the virtual table. It cuts a text into lexemes (identifiers, numbers, quoted
// strings, symbols, blanks, comments) and gives each a code: the lexeme classes below (0 and
// negative) or the code of a symbol or keyword found in the parser's lexeme lists (1 and above).
// Subclasses install their own lists after SetDefaults: TBoolParser (filter texts and index field
// names) and the XML reader's lexer.
//
// Positions are 1-based; the current lexeme is FLexemLength characters from FLexemPos.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engines/virttable/VtClasses.h"
#include "platform/classes/Streams.h"
#include "platform/rtl/String.h"

namespace vt {

inline constexpr int lxEnd = 0;
inline constexpr int lxSymbol = -102;
inline constexpr int lxIdent = -103;
inline constexpr int lxNumber = -105;
inline constexpr int lxString = -106;
inline constexpr int lxBlank = -107;
inline constexpr int lxComment = -108;

// Text -> code, sorted by ASCII-case-insensitive key once built; keys are upper case.
using TLexemList = TIntValueStringList;

// A set of 8-bit characters.
struct TCharSet {
  std::uint64_t Bits[4] = {};
  void Add(char16_t c) {
    if (c < 256) Bits[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
  bool Has(char16_t c) const { return c < 256 && ((Bits[c >> 6] >> (c & 63)) & 1u); }
};

// The generic lists (symbols ! .. ` with codes 1..28; AND 29, NOT 30, OR 31), built on first use.
const TLexemList& GenericSymbolLexems();
const TCharSet& GenericSymbolChars();
const TLexemList& GenericKeywordLexems();

class TParser {
 public:
  explicit TParser(std::u16string_view Text);
  // Reads the whole stream from its position as UTF-8 (a UTF-8 or UTF-16 byte-order mark is honoured).
  explicit TParser(TStream& Stream);
  virtual ~TParser() = default;

  virtual void SetDefaults();
  void ToBegin();
  // The next lexeme's code; FLexem holds its text (a symbol's or keyword's list key).
  int GetNextToken();
  int GetNext(String& Lexem);
  // Scans one lexeme without the keyword lookup.
  int ScanLexem();

  int FindLexemCode(int APos, int Length, const TLexemList& List) const;
  char16_t CharAt(int i) const { return i >= 1 && i <= TextLength ? FCurrentBlock[static_cast<std::size_t>(i - 1)] : 0; }
  String LexemText(int APos, int Length) const;

  const String& Lexem() const { return FLexem; }
  int LexemPos() const { return FLexemPos; }
  int Token() const { return FToken; }
  int CurrPos() const { return Pos; }
  Int64 CurrLine() const { return FCurrLine; }

  // Options (see the lexer's defaults in SetDefaults).
  bool FOmitBlank = true;
  bool FOmitComment = false;
  bool FOmitInlineComment = false;
  bool FUppered = true;
  bool FQuotedString = false;
  bool FAdvancedStringParsing = false;
  bool FOmitKeywords = false;
  char16_t FDecSeparator = u'.';
  String FCommentBegin = u"/*";
  String FCommentEnd = u"*/";

 protected:
  virtual bool IsSymbolChar(char16_t c) const;
  virtual bool IsAlphaChar(char16_t c) const;
  virtual bool IsDigitChar(char16_t c) const { return c >= u'0' && c <= u'9'; }
  virtual bool IsStringQuote(char16_t c) const { return c == u'"' || c == u'\''; }
  virtual void SkipToQuote(char16_t Quote);
  void SkipToQuoteCountingLines(char16_t Quote);
  virtual bool IsIdentQuote(char16_t) const { return false; }
  virtual bool IsLineCommentStart(char16_t c, int p) const { return c == u'/' && CharAt(p + 1) == u'/'; }

  Int64 OldPos = 1;
  Int64 OldOldPos = 1;
  Int64 FCurrLine = 0;
  Int64 FPrevLine = 0;
  Int64 FCurrBegLine = 1;
  Int64 FPrevBegLine = 1;
  int FLexemPos = -1;
  int FLexemLength = 0;
  int FToken = lxBlank;
  String FLexem;
  String FCurrentBlock;
  int TextLength = 0;
  int Pos = 1;
  const TLexemList* FSymbolLexems = nullptr;
  TCharSet FSymbolChars;
  const TLexemList* FKeywordLexems = nullptr;

 private:
  // Skips one line break at Pos (CR, LF or CR LF) and counts it; false when none is there.
  bool SkipLineBreak();
};

// The lexer of filter texts and index field names: its own symbols (= > < >= <= <> ( ) - + [ ]) and
// keywords (AND FALSE IS LIKE NOT NULL OR TRUE IN LOWER UPPER BETWEEN), and a doubled quote inside a
// quoted string does not end it.
class TBoolParser : public TParser {
 public:
  explicit TBoolParser(std::u16string_view Text);
  void SetDefaults() override;

 protected:
  void SkipToQuote(char16_t Quote) override;
};

// Codes of TBoolParser's lists.
enum : int {
  bpEqual = 1, bpMore, bpLess, bpMoreEqual, bpLessEqual, bpNoEqual, bpLeftBracket, bpRightBracket, bpMinus,
  bpPlus, bpLeftSqBracket, bpRightSqBracket,
  bpAnd = 13, bpFalse, bpIs, bpLike, bpNot, bpNull, bpOr, bpTrue, bpIn, bpLower, bpUpper, bpBetween
};

}  // namespace vt
