#include "engines/virttable/VtParser.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/Utf.h"

namespace vt {

namespace {

struct TGenericTables {
  TLexemList Symbols;
  TCharSet SymbolChars;
  TLexemList Keywords;
  TGenericTables() {
    static const char16_t kSymbols[] = u"!\"#$%&'()*+,-./:;<=>?@[\\]^_`";
    for (int i = 0; kSymbols[i]; ++i) Symbols.Add(std::u16string_view(&kSymbols[i], 1), i + 1);
    Symbols.Sort();
    for (int i = 0; i < Symbols.GetCount(); ++i) SymbolChars.Add(Symbols.GetKey(i)[0]);
    Keywords.Add(u"AND", 29);
    Keywords.Add(u"NOT", 30);
    Keywords.Add(u"OR", 31);
    Keywords.Sort();
  }
};

const TGenericTables& Generic() {
  static const TGenericTables tables;
  return tables;
}

struct TBoolTables {
  TLexemList Symbols;
  TCharSet SymbolChars;
  TLexemList Keywords;
  TBoolTables() {
    const std::pair<const char16_t*, int> symbols[] = {{u"=", bpEqual},     {u">", bpMore},          {u"<", bpLess},
                                                        {u">=", bpMoreEqual}, {u"<=", bpLessEqual},     {u"<>", bpNoEqual},
                                                        {u"(", bpLeftBracket}, {u")", bpRightBracket}, {u"-", bpMinus},
                                                        {u"+", bpPlus},        {u"[", bpLeftSqBracket}, {u"]", bpRightSqBracket}};
    for (const auto& [k, c] : symbols) {
      Symbols.Add(k, c);
      SymbolChars.Add(k[0]);
    }
    Symbols.Sort();
    const std::pair<const char16_t*, int> keywords[] = {{u"AND", bpAnd},   {u"FALSE", bpFalse}, {u"IS", bpIs},
                                                         {u"LIKE", bpLike}, {u"NOT", bpNot},     {u"NULL", bpNull},
                                                         {u"OR", bpOr},     {u"TRUE", bpTrue},   {u"IN", bpIn},
                                                         {u"LOWER", bpLower}, {u"UPPER", bpUpper}, {u"BETWEEN", bpBetween}};
    for (const auto& [k, c] : keywords) Keywords.Add(k, c);
    Keywords.Sort();
  }
};

const TBoolTables& BoolTables() {
  static const TBoolTables tables;
  return tables;
}

}  // namespace

const TLexemList& GenericSymbolLexems() { return Generic().Symbols; }
const TCharSet& GenericSymbolChars() { return Generic().SymbolChars; }
const TLexemList& GenericKeywordLexems() { return Generic().Keywords; }

// ---- TParser ----

TParser::TParser(std::u16string_view Text) : FCurrentBlock(Text), TextLength(static_cast<int>(Text.size())) {
  TParser::SetDefaults();
}

TParser::TParser(TStream& Stream) {
  std::string bytes;
  const Int64 left = Stream.Size() - Stream.Position();
  if (left > 0) {
    bytes.resize(static_cast<std::size_t>(left));
    bytes.resize(static_cast<std::size_t>(Stream.Read(bytes.data(), left)));
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    FCurrentBlock.resize((bytes.size() - 2) / 2);
    for (std::size_t i = 0; i < FCurrentBlock.size(); ++i)
      FCurrentBlock[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                               static_cast<unsigned char>(bytes[3 + 2 * i]) << 8);
  } else {
    std::string_view v = bytes;
    if (v.size() >= 3 && v.substr(0, 3) == "\xEF\xBB\xBF") v.remove_prefix(3);
    FCurrentBlock = sys::Utf8ToUtf16(v);
  }
  TextLength = static_cast<int>(FCurrentBlock.size());
  TParser::SetDefaults();
}

void TParser::SetDefaults() {
  FSymbolLexems = &GenericSymbolLexems();
  FSymbolChars = GenericSymbolChars();
  FKeywordLexems = &GenericKeywordLexems();
  FCommentBegin = u"/*";
  FCommentEnd = u"*/";
  FDecSeparator = FormatSettings().DecimalSeparator;
  FOmitBlank = true;
  FUppered = true;
  FQuotedString = false;
  ToBegin();
}

void TParser::ToBegin() {
  Pos = 1;
  OldPos = OldOldPos = 1;
  FCurrLine = FPrevLine = 0;
  FCurrBegLine = FPrevBegLine = 1;
  FToken = lxBlank;
  FLexem.clear();
  FLexemPos = -1;
  FLexemLength = 0;
}

bool TParser::IsSymbolChar(char16_t c) const {
  return (c >= u'!' && c <= u'/') || (c >= u':' && c <= u'@') || (c >= u'[' && c <= u'^') || c == u'`' ||
         (c >= u'{' && c <= u'~');
}

bool TParser::IsAlphaChar(char16_t c) const {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c > 127;
}

void TParser::SkipToQuote(char16_t Quote) {
  if (FAdvancedStringParsing) {
    SkipToQuoteCountingLines(Quote);
    return;
  }
  while (Pos <= TextLength && CharAt(Pos) != Quote) ++Pos;
}

bool TParser::SkipLineBreak() {
  const char16_t c = CharAt(Pos);
  if (c == u'\r') {
    ++Pos;
    if (CharAt(Pos) == u'\n') ++Pos;
  } else if (c == u'\n') {
    ++Pos;
  } else {
    return false;
  }
  ++FCurrLine;
  FCurrBegLine = Pos;
  return true;
}

void TParser::SkipToQuoteCountingLines(char16_t Quote) {
  while (Pos <= TextLength && CharAt(Pos) != Quote)
    if (!SkipLineBreak()) ++Pos;
}

String TParser::LexemText(int APos, int Length) const {
  if (APos < 1 || Length <= 0 || APos > TextLength) return String();
  return FCurrentBlock.substr(static_cast<std::size_t>(APos - 1),
                              static_cast<std::size_t>(std::min(Length, TextLength - APos + 1)));
}

int TParser::FindLexemCode(int APos, int Length, const TLexemList& List) const {
  if (APos < 1 || Length <= 0 || APos + Length - 1 > TextLength) return -1;
  int index = -1;
  return List.FindKeyIndex(std::u16string_view(FCurrentBlock).substr(static_cast<std::size_t>(APos - 1),
                                                                     static_cast<std::size_t>(Length)),
                           index)
             ? index
             : -1;
}

int TParser::ScanLexem() {
  for (;;) {
    OldOldPos = OldPos;
    OldPos = Pos;
    FPrevLine = FCurrLine;
    FPrevBegLine = FCurrBegLine;
    FLexemPos = -1;
    FLexemLength = 0;
    if (Pos > TextLength) return lxEnd;

    // Blanks.
    const int blankStart = Pos;
    for (;;) {
      const char16_t c = CharAt(Pos);
      if (c == u' ' || c == u'\t') ++Pos;
      else if (!SkipLineBreak()) break;
    }
    if (Pos > blankStart && !FOmitBlank) {
      FLexemPos = blankStart;
      FLexemLength = Pos - blankStart;
      return lxBlank;
    }
    if (Pos > TextLength) return lxEnd;

    // Comments.
    const int start = Pos;
    bool comment = false;
    if (!FOmitInlineComment && IsLineCommentStart(CharAt(Pos), Pos)) {
      while (Pos <= TextLength && CharAt(Pos) != u'\r' && CharAt(Pos) != u'\n') ++Pos;
      comment = true;
    } else if (!FCommentBegin.empty() && LexemText(Pos, static_cast<int>(FCommentBegin.size())) == FCommentBegin) {
      Pos += static_cast<int>(FCommentBegin.size());
      for (;;) {
        if (Pos > TextLength) break;
        if (!FCommentEnd.empty() && LexemText(Pos, static_cast<int>(FCommentEnd.size())) == FCommentEnd) {
          Pos += static_cast<int>(FCommentEnd.size());
          break;
        }
        if (!SkipLineBreak()) ++Pos;
      }
      comment = true;
    }
    if (comment) {
      if (FOmitComment) continue;
      FLexemPos = start;
      FLexemLength = Pos - start;
      return lxComment;
    }

    const char16_t c = CharAt(Pos);
    if (IsAlphaChar(c)) {
      ++Pos;
      while (Pos <= TextLength && (IsAlphaChar(CharAt(Pos)) || IsDigitChar(CharAt(Pos)) || CharAt(Pos) == u'$')) ++Pos;
      FLexemPos = start;
      FLexemLength = Pos - start;
      return lxIdent;
    }
    if (IsDigitChar(c)) {
      while (Pos <= TextLength && IsDigitChar(CharAt(Pos))) ++Pos;
      if (CharAt(Pos) == FDecSeparator && IsDigitChar(CharAt(Pos + 1))) {
        ++Pos;
        while (Pos <= TextLength && IsDigitChar(CharAt(Pos))) ++Pos;
      }
      FLexemPos = start;
      FLexemLength = Pos - start;
      return lxNumber;
    }
    if (!IsSymbolChar(c)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
      String msg = u"Parser: The unknown symbol $";
      for (const char* p = hex; *p; ++p) msg += static_cast<char16_t>(*p);
      msg += u"  '";
      msg += c;
      msg += u"'";
      throw Exception(msg);
    }
    if (IsStringQuote(c)) {
      ++Pos;
      SkipToQuote(c);
      if (FQuotedString) {
        FLexemPos = start;
        FLexemLength = std::min(Pos, TextLength) - start + 1;
      } else {
        FLexemPos = start + 1;
        FLexemLength = std::min(Pos, TextLength + 1) - start - 1;
      }
      if (Pos <= TextLength) ++Pos;  // past the closing quote
      return lxString;
    }
    // A symbol: the longest run found in the symbol list.
    int len = 1;
    int hitCode = 0;
    int hitEnd = 0;
    int hitIndex = -1;
    if (FSymbolLexems && FSymbolChars.Has(c)) {
      for (;;) {
        const int idx = FindLexemCode(start, len, *FSymbolLexems);
        if (idx >= 0) {
          hitIndex = idx;
          hitCode = FSymbolLexems->GetValue(idx);
          hitEnd = start + len;
        }
        if (start + len > TextLength || !IsSymbolChar(CharAt(start + len))) break;
        ++len;
      }
    }
    if (hitIndex >= 0) {
      Pos = hitEnd;
      FLexemPos = start;
      FLexemLength = hitEnd - start;
      FLexem = FSymbolLexems->GetKey(hitIndex);
      return hitCode;
    }
    Pos = start + 1;
    FLexemPos = start;
    FLexemLength = 1;
    return lxSymbol;
  }
}

int TParser::GetNextToken() {
  FToken = ScanLexem();
  if (FToken <= 0) {
    FLexem = FLexemPos > 0 ? LexemText(FLexemPos, FLexemLength) : String();
  }
  if (!FOmitKeywords && FToken == lxIdent && FKeywordLexems) {
    const int idx = FindLexemCode(FLexemPos, FLexemLength, *FKeywordLexems);
    if (idx >= 0) {
      FToken = FKeywordLexems->GetValue(idx);
      if (FUppered) FLexem = AnsiUpperCase(FLexem);
    }
  }
  return FToken;
}

int TParser::GetNext(String& Lexem) {
  Lexem.clear();
  const int code = GetNextToken();
  Lexem = FLexem;
  return code;
}

// ---- TBoolParser ----

TBoolParser::TBoolParser(std::u16string_view Text) : TParser(Text) { TBoolParser::SetDefaults(); }

void TBoolParser::SetDefaults() {
  TParser::SetDefaults();
  FSymbolLexems = &BoolTables().Symbols;
  FSymbolChars = BoolTables().SymbolChars;
  FKeywordLexems = &BoolTables().Keywords;
}

void TBoolParser::SkipToQuote(char16_t Quote) {
  for (;;) {
    TParser::SkipToQuote(Quote);
    if (Pos <= TextLength && CharAt(Pos + 1) == Quote) {
      Pos += 2;  // a doubled quote stays inside the string
      continue;
    }
    return;
  }
}

}  // namespace vt
