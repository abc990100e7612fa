#include "engines/mdb/runtime/MdbConst.h"

#include <algorithm>

#include "platform/rtl/SysUtils.h"

std::uint32_t CalcCRC32(std::uint32_t Crc, const void* Data, std::int32_t Size) {
  if (Data == nullptr || Size <= 0) return Crc;
  const auto* p = static_cast<const std::uint8_t*>(Data);
  for (std::int32_t i = 0; i < Size; ++i) Crc = (Crc >> 8) ^ mdbcrc::kTable[(Crc ^ p[i]) & 0xFF];
  return Crc;
}

std::uint32_t NameCRC32Ansi(const AnsiString& S, bool UpperCase) {
  if (S.empty()) return 0;
  const auto Size = static_cast<std::int32_t>(S.size());
  if (!UpperCase) return CalcCRC32(0, S.data(), Size);
  // The platform's 8-bit upper-casing keeps the byte length; hash no more than the original length.
  AnsiString U = AnsiUpperCase(std::string_view(S));
  return CalcCRC32(0, U.data(), std::min(Size, static_cast<std::int32_t>(U.size())));
}

std::uint32_t NameCRC32Wide(std::u16string_view S, bool UpperCase) {
  if (S.empty()) return 0;
  const auto Size = static_cast<std::int32_t>(S.size() * 2);
  if (!UpperCase) return CalcCRC32(0, S.data(), Size);
  String U = AnsiUpperCase(S);
  return CalcCRC32(0, U.data(), std::min(Size, static_cast<std::int32_t>(U.size() * 2)));
}

const char16_t* const ReservedWords[kReservedWordCount] = {
    u"ABSOLUTE", u"ACTION", u"ADD", u"ALL", u"ALLOCATE", u"ALTER", u"AND", u"ANY", u"ARE", u"AS", u"ASC",
    u"ASSERTION", u"AT", u"AUTHORIZATION", u"AVG", u"BEGIN", u"BETWEEN", u"BIT", u"BIT_LENGTH", u"BOTH",
    u"BY", u"CASCADE", u"CASCADED", u"CASE", u"CAST", u"CATALOG", u"CHAR", u"CHARACTER", u"CHAR_LENGTH",
    u"CHARACTER_LENGTH", u"CHECK", u"CLOSE", u"COALESCE", u"COLLATE", u"COLLATION", u"COLUMN", u"COMMIT",
    u"CONNECT", u"CONNECTION", u"CONSTRAINT", u"CONSTRAINTS", u"CONTINUE", u"CONVERT", u"CORRESPONDING",
    u"COUNT", u"CREATE", u"CROSS", u"CURRENT", u"CURRENT_DATE", u"CURRENT_TIME", u"CURRENT_TIMESTAMP",
    u"CURRENT_USER", u"CURSOR", u"DATE", u"DAY", u"DEALLOCATE", u"DEC", u"DECIMAL", u"DECLARE", u"DEFAULT",
    u"DEFERRABLE", u"DEFERRED", u"DELETE", u"DESC", u"DESCRIBE", u"DESCRIPTOR", u"DIAGNOSTICS",
    u"DISCONNECT", u"DISTINCT", u"DOMAIN", u"DOUBLE", u"DROP", u"ELSE", u"END", u"END-EXEC", u"ESCAPE",
    u"EXCEPT", u"EXCEPTION", u"EXEC", u"EXECUTE", u"EXISTS", u"EXTERNAL", u"EXTRACT", u"FALSE", u"FETCH",
    u"FIRST", u"FLOAT", u"FOR", u"FOREIGN", u"FOUND", u"FROM", u"FULL", u"GET", u"GLOBAL", u"GO", u"GOTO",
    u"GRANT", u"GROUP", u"HEX", u"HAVING", u"HOUR", u"IDENTITY", u"IF", u"IMMEDIATE", u"IN", u"INDICATOR",
    u"INITIALLY", u"INNER", u"INPUT", u"INSENSITIVE", u"INSERT", u"INT", u"INTEGER", u"INTERSECT",
    u"INTERVAL", u"INTO", u"IS", u"ISNULL", u"ISOLATION", u"JOIN", u"KEY", u"LANGUAGE", u"LAST", u"LEADING",
    u"LEFT", u"LEVEL", u"LIKE", u"LOCAL", u"LOWER", u"MATCH", u"MAX", u"MEMORY", u"MIME64", u"MIN", u"MINUS",
    u"MINUTE", u"MODULE", u"MONTH", u"NAMES", u"NATIONAL", u"NATURAL", u"NCHAR", u"NEXT", u"NO", u"NOFLUSH",
    u"NOT", u"NULL", u"NULLIF", u"NUMERIC", u"OCTET_LENGTH", u"OF", u"ON", u"ONLY", u"OPEN", u"OPTION",
    u"OR", u"ORDER", u"OUTER", u"OUTPUT", u"OVERLAPS", u"PAD", u"PARTIAL", u"POSITION", u"PRECISION",
    u"PREPARE", u"PRESERVE", u"PRIMARY", u"PRIOR", u"PRIVILEGES", u"PROCEDURE", u"PUBLIC", u"READ", u"REAL",
    u"REFERENCES", u"RELATIVE", u"RESTRICT", u"REVOKE", u"RIGHT", u"ROLLBACK", u"ROWS", u"SCHEMA", u"SCROLL",
    u"SECOND", u"SECTION", u"SELECT", u"SESSION", u"SESSION_USER", u"SET", u"SIZE", u"SMALLINT", u"SOME",
    u"SPACE", u"SQL", u"SQLCODE", u"SQLERROR", u"SQLSTATE", u"START", u"SUBSTRING", u"SUM", u"SYSTEM_USER",
    u"TABLE", u"TEMPORARY", u"THEN", u"TIME", u"TIMESTAMP", u"TIMEZONE_HOUR", u"TIMEZONE_MINUTE", u"TO",
    u"TOP", u"TRAILING", u"TRANSACTION", u"TRANSLATE", u"TRANSLATION", u"TRIM", u"TRUE", u"UNION", u"UNIQUE",
    u"UNKNOWN", u"UPDATE", u"UPPER", u"USAGE", u"USER", u"USING", u"VALUE", u"VALUES", u"VARCHAR",
    u"VARYING", u"VIEW", u"WHEN", u"WHENEVER", u"WHERE", u"WITH", u"WORK", u"WRITE", u"YEAR", u"ZONE",
    u"PASSWORD", u"BLOBBLOCKSIZE", u"BLOBCOMPRESSIONMODE", u"BLOBCOMPRESSIONALGORITHM", u"LASTAUTOINC",
    u"MODIFY", u"NEW", u"INDEX", u"NOCASE", u"LTRIM", u"RTRIM", u"POS", u"LENGTH", u"SYSDATE", u"NOW",
    u"TOBLOB", u"TODATE", u"TOSTRING", u"AUTOINDEXES", u"NOAUTOINDEXES", u"INCREMENT", u"LASTVALUE",
    u"MAXVALUE", u"MINVALUE", u"CYCLED", u"NOMAXVALUE", u"NOMINVALUE", u"NOCYCLED", u"INITIALVALUE",
    u"RENAME", u"QUARTER", u"WEEKDAY", u"DAYOFWEEK", u"DAYNAME", u"MONTHNAME", u"MSECOND", u"ABS",
    u"CEILING", u"CEIL", u"FLOOR", u"MOD", u"POWER", u"POW", u"RANDOM", u"RAND", u"ROUND", u"SIGN",
    u"TRUNCATE", u"TRUNC", u"SHL", u"SHR", u"XOR", u"DATABASE", u"FILE", u"PAGESIZE", u"MAXSESSIONSCOUNT",
    u"CUMSUM", u"CUMPROD", u"GROUP_CONCAT", u"COMMENT", u"TABLES", u"FUNCTION", u"VAR", u"RESULT",
    u"FIXEDCHAR", u"VARCHAR2", u"STRING", u"WIDECHAR", u"FIXEDWIDECHAR", u"WIDESTRING", u"WIDEVARCHAR",
    u"SIGNEDINT16", u"SIGNEDINT32", u"SIGNEDINT64", u"LARGEINT", u"INT64", u"UNSIGNEDINT16", u"WORD",
    u"SIGNEDINT8", u"SHORTINT", u"UNSIGNEDINT8", u"BYTE", u"UNSIGNEDINT32", u"CARDINAL", u"AUTOINC",
    u"AUTOINCSHORTINT", u"AUTOINCSMALLINT", u"AUTOINCINTEGER", u"AUTOINCLARGEINT", u"AUTOINCBYTE",
    u"AUTOINCWORD", u"AUTOINCCARDINAL", u"SINGLE", u"EXTENDED", u"LOGICAL", u"BOOLEAN", u"BOOL", u"CURRENCY",
    u"MONEY", u"DATETIME", u"BYTES", u"VARBYTES", u"GRAPHIC", u"MEMO", u"CLOB", u"FORMATTEDMEMO",
    u"WIDEMEMO", u"WIDECLOB", u"DATEADD", u"DATEDIFF", u"WEEK", u"MILLISECOND", u"FLUSH", u"EMPTY",
    u"IFNULL", u"DAYOFYEAR", u"ISOWEEK", u"STDDEV", u"STDEV", u"CONCAT", u"ASCII", u"CHR", u"REPEAT",
    u"REPLACE", u"EXP", u"LOG", u"LN", u"LOG10", u"COS", u"SIN", u"ACOS", u"ASIN", u"ATAN", u"ATAN2", u"COT",
    u"TAN", u"SQR", u"SQRT", u"SQUARE", u"DEGREES", u"RADIANS", u"PI", u"DIV",
};

std::uint32_t ReservedWordCRCs[kReservedWordCount] = {};

void HashReservedWords() {
  for (int i = 0; i < kReservedWordCount; ++i) ReservedWordCRCs[i] = NameCRC32Wide(ReservedWords[i], false);
}

String ReservedWordText(TReservedWord Word) {
  if (Word >= kReservedWordCount) return String();
  return ReservedWords[Word];
}

TReservedWord FindReservedWord(std::u16string_view Text) {
  const std::uint32_t Crc = NameCRC32Wide(Text, true);
  if (Crc == 0) return rwNone;
  for (int i = 0; i < kReservedWordCount; ++i)
    if (ReservedWordCRCs[i] == Crc) return static_cast<TReservedWord>(i);
  return rwNone;
}

const char16_t* const TableOperationNames[kTableOperationCount] = {
    u"CREATE TABLE", u"INSERT",          u"UPDATE",          u"DELETE",
    u"COMMIT",       u"EMPTY TABLE",     u"ADD INDEX",       u"DELETE INDEX",
    u"EMPTY INDEX",  u"ADD FOREIGN KEY", u"DROP CONSTRAINT", u"RENAME REFERENCED TABLE",
    u"RENAME TABLE", u"RENAME FIELD",    u"SET AUTO-INC VALUE", u"CREATE VIEW"};

int MaxTableOperationNameLength = 1;

void InitTableOperationNames() {
  int Longest = 1;
  for (const char16_t* Name : TableOperationNames) Longest = std::max(Longest, static_cast<int>(std::u16string_view(Name).size()));
  MaxTableOperationNameLength = Longest;
}
