// The object text form of component streams, both ways, and the test that tells the forms apart.
//
// Text form (bytes; ASCII except identifiers, which are UTF-8; the file starts with the UTF-8 preamble
// EF BB BF when any identifier needs more than ASCII):
//
//   object Name: TClass [childpos]      "inherited" / "inline" for those prefix flags; no "Name:" when empty
//     Prop = value
//     object Child: TOther ... end
//   end
//
// | binary value                | text                                                            |
// |-----------------------------|-----------------------------------------------------------------|
// | vaInt8/16/32/64             | decimal                                                         |
// | vaExtended                  | decimal, shortest that gives the same 10 bytes back             |
// | vaSingle / vaDouble         | decimal with suffix s / r                                       |
// | vaCurrency                  | exact decimal (up to 4 places) with suffix c                    |
// | vaDate                      | decimal with suffix d, shortest that gives the same 8 bytes back|
// | texts (all four tags)       | 'runs' and #nnn (control characters, the apostrophe and every   |
// |                             | character beyond ASCII by its UTF-16 code), joined; long texts  |
// |                             | continue on the next line after " +"                            |
// | vaIdent                     | the identifier                                                  |
// | vaFalse/vaTrue/vaNil/vaNull | False / True / nil / Null                                       |
// | vaList                      | ( values )                                                      |
// | vaSet                       | [a, b]                                                          |
// | vaBinary                    | { hex }                                                         |
// | vaCollection                | < item props end ... >                                          |
//
// Text back to binary writes texts with TWriter::WriteString, integers with the smallest tag, so a
// stream made by TWriter comes back byte for byte; floats and dates come back bit for bit.
#pragma once

#include <string>
#include <string_view>

#include "platform/classes/Streams.h"

VELLUM_DECLARE_EXCEPTION(EParserError, Exception)

class TWriter;

enum class TStreamOriginalFormat { sofUnknown, sofBinary, sofText, sofUTF8Text };

// Reads the signature and one object from Input (binary) and writes its text to Output. Raises the
// reader's EReadError on a bad stream; then Output gets nothing and Input keeps its position.
void ObjectBinaryToText(TStream* Input, TStream* Output);
// Reads object text (with or without the UTF-8 preamble) from Input's position to its end and writes
// the binary stream to Output. Raises EParserError "Line %d: ..." on bad text; then Output gets nothing
// and Input keeps its position.
void ObjectTextToBinary(TStream* Input, TStream* Output);

// Looks at up to four bytes at the stream's position and puts the position back: 0xFF first, "TPF0"
// or nothing but zero bytes (an empty stream too) mean binary; tab, vertical tab, CR, space, "i", "I",
// "o", "O" first mean text; EF BB BF means UTF-8 text; anything else is unknown.
TStreamOriginalFormat TestStreamFormat(TStream* Stream);

// The text of single values exactly as ObjectBinaryToText writes them, appended to Out, for code that
// writes the text of a large property straight from its own data instead of converting its binary.
// Indent is the value's nesting level (two spaces each), which long texts and binary continue at.
namespace objtext {
inline constexpr std::string_view kLineBreak = "\r\n";
void AppendIndent(std::string& Out, int Indent);
void AppendInteger(std::string& Out, Int64 Value);
void AppendExtended(std::string& Out, const Byte (&Bytes)[10]);  // vaExtended's ten bytes
void AppendDate(std::string& Out, double Value);                 // vaDate, with its suffix
void AppendSingle(std::string& Out, float Value);                // vaSingle, with its suffix
void AppendCurrency(std::string& Out, Int64 Scaled);             // vaCurrency, with its suffix
void AppendText(std::string& Out, std::u16string_view Text, int Indent);
void AppendBinary(std::string& Out, const Byte* Data, size_t Count, int Indent);
// One binary value (tag and data) read from Input's position, for kinds without a form of their own.
void AppendValue(std::string& Out, TStream* Input, int Indent);
// The other way: one number token of the text form, with its suffix ("2.5", "30660d", "1.5s", "7c"),
// written as the conversion to binary writes it. Raises EParserError on a token it would refuse.
void WriteNumber(std::string_view Token, TWriter& Writer);
}  // namespace objtext

// The same three under the names the memory-table code knows them by.
inline void ComponentBinaryToText(TStream* Input, TStream* Output) { ObjectBinaryToText(Input, Output); }
inline void ComponentTextToBinary(TStream* Input, TStream* Output) { ObjectTextToBinary(Input, Output); }
inline TStreamOriginalFormat DetectComponentStreamFormat(TStream* Stream) { return TestStreamFormat(Stream); }
