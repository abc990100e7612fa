// The compiled filter buffer (TExprData): what the filter parser (ExprParser.h) writes and what the
// memory-table engines' evaluators read, one record at a time. This header is the format's contract:
// the layout tables below are exact, and the checked reader (TExprDataReader), the validator
// (CheckFilterExprData) and the readable dump (DumpFilterExpr) live beside them so that an evaluator
// never has to read the writer to know what it gets.
//
// ==== Layout ===========================================================================================
// All integers little-endian. Every offset and size is 16-bit, so a buffer never exceeds 65,535 bytes
// (the writer refuses a larger one).
//
// Header, kExprHeaderSize = 10 bytes:
//
// | offset | size | value                                                                       |
// |--------|------|-----------------------------------------------------------------------------|
// | 0      | 2    | version, kExprVersion = 2                                                   |
// | 2      | 2    | total buffer size in bytes, header included                                 |
// | 4      | 2    | 0xFFFF (kExprMarker)                                                        |
// | 6      | 2    | start of the node area, always 10                                           |
// | 8      | 2    | start of the literal area = 10 + size of the node area                      |
//
// Node area: nodes of 8 + 2 × N bytes. The root node is the first one (node offset 0).
//
// | offset in node | size  | value                                                              |
// |----------------|-------|--------------------------------------------------------------------|
// | 0              | 4     | node class, TFilterNodeClass (readers use the low byte)             |
// | 4              | 4     | operator, TCANOperator (readers use the low byte)                   |
// | 8              | 2 × N | N operands, 16-bit each, N fixed by the class (table below)         |
//
// An operand naming a node holds that node's offset from the start of the node area (address =
// buffer + 10 + operand); one naming a literal holds the offset from the start of the literal area
// (address = buffer + literal start + operand). The writer lays nodes out in pre-order: a node's
// children (and the next element of a list) always lie at larger offsets than the node itself, so a
// reader that insists on this can never loop. Operands that name no node (an absent next list element,
// a function without arguments) are 0 — never a valid child offset, as offset 0 is the root.
//
// Node classes and their operands (the writer produces exactly these combinations):
//
// | class           | operators                                  | N | operands                           |
// |-----------------|--------------------------------------------|---|------------------------------------|
// | ncUnary 1       | coISBLANK, coNOTBLANK, coNOT               | 1 | operand node                       |
// | ncBinary 2      | coEQ coNE coGT coLT coGE coLE coAND coOR   | 2 | left node, right node              |
// |                 | coADD coSUB coMUL coDIV coLIKE             |   |                                    |
// | ncBinary 2      | coIN                                       | 2 | left node, first ncListElem node   |
// | ncCompare 3     | coEQ, coNE, coLIKE                         | 4 | case-insensitive flag (0 or 1),    |
// |                 |                                            |   | partial length (0 = whole text),   |
// |                 |                                            |   | field node, constant node          |
// | ncField 4       | coFIELD2                                   | 2 | field number, literal: name slot   |
// | ncConst 5       | coCONST2                                   | 3 | type code, size in bytes, literal  |
// | ncFunction 10   | coFUNC2                                    | 2 | literal: name, first ncListElem    |
// |                 |                                            |   | node of the arguments or 0         |
// | ncListElem 11   | coLISTELEM2                                | 2 | element node, next ncListElem or 0 |
//
// Readers of buffers from other writers also meet ncUnary with coMINUS, coUPPER, coLOWER and ncBinary
// with coMOD, coREM, coASSIGN; this writer never emits them (unary minus is written as 0 - x, UPPER and
// LOWER as functions).
//
// ncField: the field number is the field's FieldNo (1-based for data fields; 0 for a calculated or
// lookup field, which a reader must look up by name). The name slot is kFieldNameSlot = 257 bytes: the
// name as zero-terminated 8-bit text (system code page), the rest of the slot zero. With Unicode names
// (TExprParser's UnicodeEnabled) the slot is kWideFieldNameSlot = 514 bytes of zero-terminated UTF-16LE.
// ncFunction: the name is upper-case ASCII, zero-terminated (UTF-16LE, two zero bytes, with Unicode
// names), exactly as long as it needs to be. Functions and their argument counts:
//   UPPER, LOWER 1; SUBSTRING 2-3 (text, start, length); TRIM, TRIMLEFT, TRIMRIGHT 1-2 (text, trim
//   character); GETDATE 0; YEAR, MONTH, DAY, HOUR, MINUTE, SECOND 1; DATE, TIME 1-2 (value, or text and
//   format); aggregates (only with poAggregate): SUM, MIN, MAX, AVG 1, COUNT 1, or 0 for COUNT(*).
//
// ncConst: the type code is the caller's field map (TFieldMap) entry for the constant's field type,
// except wide text (code kWideTextTypeCode = 4103) and ftFMTBcd (written under ftBCD's code). Literal
// encodings by the constant's field type:
//
// | field type                           | literal                                              | size       |
// |--------------------------------------|------------------------------------------------------|------------|
// | ftString, ftFixedChar, ftGuid, and   | 8-bit text (system code page), at most 255 bytes,     | length + 1 |
// | ftMemo, ftFmtMemo (text vs. a memo)  | zero-terminated                                      |            |
// | ftWideString, ftFixedWideChar,       | code 4103: uint16 byte count L, then L bytes of       | 2 + L      |
// | ftWideMemo                           | UTF-16LE (no terminator)                             |            |
// | ftSmallint, ftWord, ftShortint,      | the value's low 16 bits (range checked against the   | 2          |
// | ftByte                               | type first)                                          |            |
// | ftInteger, ftAutoInc                 | int32                                                | 4          |
// | ftLargeint, ftLongWord               | int64                                                | 8          |
// | ftBoolean                            | uint16, 1 = true, 0 = false                          | 2          |
// | ftFloat, ftCurrency, ftExtended      | IEEE double                                          | 8          |
// | ftSingle                             | IEEE float                                           | 4          |
// | ftBCD                                | the value as Currency, packed as TBcd with precision  | 18         |
// |                                      | 32 and the field's Size as places (more, up to 4,     |            |
// |                                      | when the value has them); first 18 bytes             |            |
// | ftFMTBcd                             | the value as TBcd (at most 32 digits), first 18      | 18         |
// |                                      | bytes, under ftBCD's type code                       |            |
// | ftDate                               | int32 day number, 0001-01-01 = day 1                 | 4          |
// | ftTime                               | int32 milliseconds since midnight                    | 4          |
// | ftDateTime                           | double: day × 86,400,000 + milliseconds of the day,   | 8          |
// |                                      | days counted as for ftDate                           |            |
// | ftTimeStamp, ftOraTimeStamp          | TSQLTimeStamp: Year, Month, Day, Hour, Minute, Second | 16         |
// |                                      | (uint16 each), Fractions (uint32, milliseconds)      |            |
// | ftTimeStampOffset                    | the first 16 bytes of a TSQLTimeStampOffset          | 16         |
//
// BCD literal (18 bytes): precision byte, sign-and-places byte (bit 7 negative, bits 0-5 decimal
// places), then 16 bytes of packed digits, two per byte, high nibble first.
//
// Which type a constant gets: beside a field (compared with it, or listed in an IN list against it)
// the field's type; beside a text-valued function of a field (UPPER, LOWER, TRIM..., SUBSTRING, MIN,
// MAX) that field's text kind; otherwise the type of the literal itself: text → ftString (ftWideString
// when the system code page cannot hold it), an integer → ftInteger (ftLargeint beyond 32 bits), a
// decimal or exponent number → ftFloat, TRUE / FALSE → ftBoolean. A number with a fraction compared
// with an integer field stays ftFloat (converting it would change the comparison's result).
//
// Rewrites a reader therefore sees (the parser does them; see ExprParser.h for the syntax):
// - A Boolean field used as a whole condition (the root, or the operand of NOT, AND, OR) is written as
//   ncBinary coNE (field, Boolean constant false).
// - A comparison (=, <>, >, <, >=, <=) with a constant on the left and a field on the right is swapped
//   with the operator mirrored (coGT ⇄ coLT, coGE ⇄ coLE; coEQ and coNE stay).
// - x = NULL / x <> NULL (NULL on either side) become ncUnary coISBLANK / coNOTBLANK of x, as do
//   x IS NULL / x IS NOT NULL. NOT LIKE and NOT IN are ncUnary coNOT over the LIKE or IN node.
// - A field compared by =, <> or LIKE with a non-empty text constant: unless foNoPartialCompare, a text
//   of at least 2 characters ending in "*" loses the "*" and gives a partial length (its remaining
//   length in UTF-16 characters); with foCaseInsensitive or a partial length the comparison is
//   ncCompare (flag, partial length, field, constant), otherwise ncBinary.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/db/FieldTypes.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/String.h"

// The compiled buffer: header, node area, literal area.
using TExprData = std::vector<Byte>;

inline constexpr int kExprVersion = 2;
inline constexpr int kExprHeaderSize = 10;
inline constexpr int kExprNodeStart = 10;
inline constexpr std::uint16_t kExprMarker = 0xFFFF;
inline constexpr int kExprMaxSize = 65535;
inline constexpr int kExprNodeHeaderSize = 8;
inline constexpr int kFieldNameSlot = 257;
inline constexpr int kWideFieldNameSlot = 2 * kFieldNameSlot;
inline constexpr int kMaxTextConstantBytes = 255;
inline constexpr int kWideTextTypeCode = 4103;  // 0x1007

// Field type → constant type code, 52 entries indexed by TFieldType. Each engine passes its own.
static_assert(kFieldTypeCount == 52);
using TFieldMap = std::array<Byte, kFieldTypeCount>;

enum TFilterNodeClass : std::uint32_t {
  ncNone = 0,
  ncUnary = 1,
  ncBinary = 2,
  ncCompare = 3,
  ncField = 4,
  ncConst = 5,
  ncTuple = 6,
  ncContinue = 7,
  ncUDF = 8,
  ncList = 9,
  ncFunction = 10,
  ncListElem = 11,
};

enum TCANOperator : std::uint32_t {
  coNOTDEFINED = 0,
  coISBLANK = 1,
  coNOTBLANK = 2,
  coEQ = 3,
  coNE = 4,
  coGT = 5,
  coLT = 6,
  coGE = 7,
  coLE = 8,
  coNOT = 9,
  coAND = 10,
  coOR = 11,
  coTUPLE2 = 12,
  coFIELD2 = 13,
  coCONST2 = 14,
  coMINUS = 15,
  coADD = 16,
  coSUB = 17,
  coMUL = 18,
  coDIV = 19,
  coMOD = 20,
  coREM = 21,
  coSUM = 22,
  coCOUNT = 23,
  coMIN = 24,
  coMAX = 25,
  coAVG = 26,
  coCONT = 27,
  coUDF2 = 28,
  coCONTINUE2 = 29,
  coLIKE = 30,
  coIN = 31,
  coLIST2 = 32,
  coUPPER = 33,
  coLOWER = 34,
  coFUNC2 = 35,
  coLISTELEM2 = 36,
  coASSIGN = 37,
};

// The number of operands a node of Class carries (the table above); -1 for a class no writer uses.
int FilterNodeOperandCount(TFilterNodeClass Class);
// "EQ", "AND", "FIELD2", ...; "op<n>" for an unknown value.
String CANOperatorName(std::uint32_t Operator);

// A compiled buffer that is not what the layout above says (bad header, an offset outside its area, a
// child that does not follow its parent, a literal that runs past the end).
VELLUM_DECLARE_EXCEPTION(EExprDataError, EDatabaseError)

// Checked access to a compiled buffer. The constructor checks the header; every read checks that what
// it returns lies inside the buffer, so a reader built on it never reads past the end of a malformed
// buffer. Raises EExprDataError.
class TExprDataReader {
 public:
  struct Node {
    int Offset = 0;  // in the node area
    std::uint32_t Class = 0;
    std::uint32_t Operator = 0;
    int OperandCount = 0;
    std::uint16_t Operands[4] = {};
  };

  explicit TExprDataReader(std::span<const Byte> Data);

  std::span<const Byte> Data() const { return FData; }
  int LiteralStart() const { return FLiteralStart; }
  int NodeAreaSize() const { return FLiteralStart - kExprNodeStart; }
  // The node at Offset in the node area; its operands are read by the class's operand count (none
  // for an unknown class).
  Node ReadNode(int Offset) const;
  // The node an operand names, checked to lie after Parent (the pre-order rule).
  Node ReadChild(const Node& Parent, int OperandIndex) const;
  // Size bytes of the literal area at Offset.
  std::span<const Byte> Literal(int Offset, int Size) const;
  // The zero-terminated 8-bit text at Offset, the terminator inside the literal area (and inside
  // MaxBytes when given).
  std::string_view LiteralText(int Offset, int MaxBytes = 0) const;
  // The zero-terminated UTF-16LE text at Offset.
  String LiteralWideText(int Offset, int MaxBytes = 0) const;

 private:
  std::span<const Byte> FData;
  int FLiteralStart = 0;
};

// Walks every node reachable from the root and checks each node, operand and literal against the
// layout (node classes and operand counts, child after parent, literal bounds, constant sizes by
// type code where the code is wide text). Raises EExprDataError naming what is wrong and where.
void CheckFilterExprData(std::span<const Byte> Data, bool UnicodeNames = false);

// The node tree of a buffer as one line of text, for tests and for debugging an engine's filter:
//   ncBinary    (EQ left right)           ncUnary     (ISBLANK x), (NOT x)
//   ncCompare   (EQ/ci/p2 field const)    (ci: case-insensitive flag set, p2: partial length 2)
//   ncField     [Name:3]                  (field number 3)
//   ncConst     #code:value               e.g. #3:42  #1:'Jo'  #4103:u'Jo'  #9:2024-01-31
//               #11:2024-01-31 10:30:00.000  #10:10:30:00.000  #8:bcd(12.50)  #5:true  #6:1.5
//   ncFunction  UPPER(arg, arg)           ncListElem  {a, b, c}  (as the right side of IN)
// Constants are decoded by the field type whose map entry is their code and whose encoding fits their
// size (so the dump needs the map the buffer was written with); one that cannot be decoded shows its
// bytes in hex. Raises EExprDataError on a malformed buffer.
String DumpFilterExpr(std::span<const Byte> Data, const TFieldMap& FieldMap, bool UnicodeNames = false);
