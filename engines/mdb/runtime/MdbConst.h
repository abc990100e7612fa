// The engine's constants: message texts, the CRC-32 name hash, the SQL keyword table and the names of
// table operations.
//
// Message texts are the engine's own and are raised exactly as written here: a raise site names both
// its literal native code and one of these texts (several sites share one text with different codes,
// so a code tells which site failed). Texts with placeholders go through the formatting constructor of
// EMdbException, so every text passes through the platform's Format.
//
// Name hashing: names (tables, fields, parameters, keywords) are matched by a CRC-32 of their text,
// usually upper-cased: the reflected table of polynomial 0xEDB88320, started at the caller's value and
// never inverted, so the values differ from the usual CRC-32 check value. Two names with equal hashes
// are the same name. The 8-bit form upper-cases through the platform over the system code page, which
// keeps the byte length; the wide form hashes the UTF-16LE bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/rtl/String.h"

// ---- message texts ---------------------------------------------------------------------------------
inline constexpr char16_t SMdbNativeErrorSuffix[] = u" - Native error: ";
inline constexpr char16_t SMdbArgumentsInvalid[] = u" Arguments are invalid!";

// Memory manager.
inline constexpr char16_t SMdbCannotAllocateZero[] = u"Cannot alocate 0 bytes";
inline constexpr char16_t SMdbGetMemError[] = u"GetMem error: %s";
inline constexpr char16_t SMdbInvalidPointer[] = u"Invalid pointer";
inline constexpr char16_t SMdbMemoryOverrun[] = u"Memory overrun detected";
inline constexpr char16_t SMdbFreeAndNilMemError[] = u"FreeAndNillMem error: %s";
inline constexpr char16_t SMdbReallocMemError[] = u"ReallocMem error: %s";
inline constexpr char16_t SMdbSizeTooLarge[] = u"Requested size %d exceeds the largest block of %d bytes";

// Locks.
inline constexpr char16_t SMdbCriticalSectionTimeout[] =
    u"Error - critical section timeout exceeded. Elapsed time, ms = %d. Maximum wait time, ms = %d.";

// Containers.
inline constexpr char16_t SMdbInvalidIndex[] = u"Invalid index %d, count = %d";
inline constexpr char16_t SMdbInvalidCapacity[] = u"Invalid capacity = $d";  // raised unformatted, as written
inline constexpr char16_t SMdbSortErrorRecordIDArray[] =
    u"Sorting error in TMdbRecordIDArray: Hi = %d, Lo = %d, iHi = %d, iLo = %d, ItemCount = %d";
inline constexpr char16_t SMdbSortErrorWideStringList[] =
    u"Sorting error in TMdbWideStringList: i = %d, j = %d, min = %d, max = %d, ItemCount = %d";
inline constexpr char16_t SMdbSortErrorTableInfoArray[] =
    u"Sorting error in TMdbTableInfoArray: i = %d, j = %d, min = %d, max = %d, ItemCount = %d";
inline constexpr char16_t SMdbNilPointer[] = u"Nil pointer occured";
inline constexpr char16_t SMdbInvalidSourceObject[] = u"Error - invalid source object. Source = %s, Source.ClassName = %s";
inline constexpr char16_t SMdbInvalidBitNo[] = u"Invalid bit no = %d, number of bits = %d";
inline constexpr char16_t SMdbInvalidKeySize[] = u"Error setting Key, invalid KeySize = %d. KeySize should be >= 0 and < %d";
inline constexpr char16_t SMdbInvalidCount[] = u"Invalid count = %d, max count = %d";
inline constexpr char16_t SMdbInvalidDataSize[] = u"Invalid data size = %d";
inline constexpr char16_t SMdbInvalidScanCondition[] = u"Invalid scan condition - indexID = %d, count = %d";
inline constexpr char16_t SMdbInvalidItemNumber[] = u"Invalid item number - ItemNo = %d, ItemCount = %d";
inline constexpr char16_t SMdbPointerIsNil[] = u"Pointer is nil";
inline constexpr char16_t SMdbInvalidStreamData[] = u"Invalid stream data: %s";

// Streams.
inline constexpr char16_t SMdbZeroBlockSize[] = u"Stream block size = 0 is not allowed";
inline constexpr char16_t SMdbCannotReadStream[] =
    u"Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
inline constexpr char16_t SMdbCannotWriteStream[] =
    u"Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";
inline constexpr char16_t SMdbCannotCreateFile[] = u"Cannot create file. FileName = %s";
inline constexpr char16_t SMdbCannotOpenFile[] = u"Cannot open file. FileName = %s, Mode = %d";
inline constexpr char16_t SMdbCannotSetPosition[] = u"Cannot set stream position to %d. Position = %d, Size = %d";
inline constexpr char16_t SMdbNoTempFolder[] = u"Cannot make a temporary file name in %s";

// Compression.
inline constexpr char16_t SMdbZLibErrorPrefix[] = u"ZLib error ";
inline constexpr char16_t SMdbBZip2Error[] = u"error %d";
inline constexpr char16_t SMdbBZip2InternalError[] = u"Compression Error %d";

// Compressed BLOB streams.
inline constexpr char16_t SMdbStreamTooSmall[] = u"Stream size = %d too small. Should be at least = %d";
inline constexpr char16_t SMdbCompressFailed[] =
    u"Compress buffer failed. CompAlg = %d, CompMode = %d, InSize = %d, OutSize = %d";
inline constexpr char16_t SMdbDecompressFailed[] = u"Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d";
inline constexpr char16_t SMdbDecompressSizeMismatch[] = u"Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d";
inline constexpr char16_t SMdbDecompressCrcMismatch[] = u"Decompress buffer failed. CheckSum = %d, Header.Crc32 = %d";
inline constexpr char16_t SMdbCannotReadSize[] = u"Cannot read from stream. ReadSize = %d";
inline constexpr char16_t SMdbInvalidStreamSize[] = u"Invalid stream size = %d. Should be = %d";
inline constexpr char16_t SMdbErrorWritingStream[] = u"Error writing to stream";
inline constexpr char16_t SMdbInvalidExtensionSize[] =
    u"Invalid extension size. NewSize = %d, UncompressedSize = %d, ExtensionSize = %d";
inline constexpr char16_t SMdbInvalidBlockHeader[] =
    u"Invalid block header %d. CompressedSize = %d, UncompressedSize = %d, OffsetToNextHeader = %d";

// Table operations.
inline constexpr char16_t SMdbUnknownOperation[] = u"UNKNOWN OPERATION";

// ---- CRC-32 and name hashes ------------------------------------------------------------------------
namespace mdbcrc {
constexpr std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[i] = c;
  }
  return t;
}
inline constexpr std::array<std::uint32_t, 256> kTable = MakeTable();
}  // namespace mdbcrc

// Continues Crc over Size bytes; nil Data or Size <= 0 returns Crc.
std::uint32_t CalcCRC32(std::uint32_t Crc, const void* Data, std::int32_t Size);
std::uint32_t NameCRC32Ansi(const AnsiString& S, bool UpperCase);
std::uint32_t NameCRC32Wide(std::u16string_view S, bool UpperCase);

// ---- SQL keywords ----------------------------------------------------------------------------------
enum TReservedWord : std::uint16_t {
  rwABSOLUTE, rwACTION, rwADD, rwALL, rwALLOCATE, rwALTER, rwAND, rwANY, rwARE, rwAS, rwASC, rwASSERTION,
  rwAT, rwAUTHORIZATION, rwAVG, rwBEGIN, rwBETWEEN, rwBIT, rwBIT_LENGTH, rwBOTH, rwBY, rwCASCADE, rwCASCADED,
  rwCASE, rwCAST, rwCATALOG, rwCHAR, rwCHARACTER, rwCHAR_LENGTH, rwCHARACTER_LENGTH, rwCHECK, rwCLOSE,
  rwCOALESCE, rwCOLLATE, rwCOLLATION, rwCOLUMN, rwCOMMIT, rwCONNECT, rwCONNECTION, rwCONSTRAINT,
  rwCONSTRAINTS, rwCONTINUE, rwCONVERT, rwCORRESPONDING, rwCOUNT, rwCREATE, rwCROSS, rwCURRENT,
  rwCURRENT_DATE, rwCURRENT_TIME, rwCURRENT_TIMESTAMP, rwCURRENT_USER, rwCURSOR, rwDATE, rwDAY, rwDEALLOCATE,
  rwDEC, rwDECIMAL, rwDECLARE, rwDEFAULT, rwDEFERRABLE, rwDEFERRED, rwDELETE, rwDESC, rwDESCRIBE,
  rwDESCRIPTOR, rwDIAGNOSTICS, rwDISCONNECT, rwDISTINCT, rwDOMAIN, rwDOUBLE, rwDROP, rwELSE, rwEND,
  rwEND_EXEC, rwESCAPE, rwEXCEPT, rwEXCEPTION, rwEXEC, rwEXECUTE, rwEXISTS, rwEXTERNAL, rwEXTRACT, rwFALSE,
  rwFETCH, rwFIRST, rwFLOAT, rwFOR, rwFOREIGN, rwFOUND, rwFROM, rwFULL, rwGET, rwGLOBAL, rwGO, rwGOTO,
  rwGRANT, rwGROUP, rwHEX, rwHAVING, rwHOUR, rwIDENTITY, rwIF, rwIMMEDIATE, rwIN, rwINDICATOR, rwINITIALLY,
  rwINNER, rwINPUT, rwINSENSITIVE, rwINSERT, rwINT, rwINTEGER, rwINTERSECT, rwINTERVAL, rwINTO, rwIS,
  rwISNULL, rwISOLATION, rwJOIN, rwKEY, rwLANGUAGE, rwLAST, rwLEADING, rwLEFT, rwLEVEL, rwLIKE, rwLOCAL,
  rwLOWER, rwMATCH, rwMAX, rwMEMORY, rwMIME64, rwMIN, rwMINUS, rwMINUTE, rwMODULE, rwMONTH, rwNAMES,
  rwNATIONAL, rwNATURAL, rwNAnsiChar, rwNEXT, rwNO, rwNOFLUSH, rwNOT, rwNULL, rwNULLIF, rwNUMERIC,
  rwOCTET_LENGTH, rwOF, rwON, rwONLY, rwOPEN, rwOPTION, rwOR, rwORDER, rwOUTER, rwOUTPUT, rwOVERLAPS, rwPAD,
  rwPARTIAL, rwPOSITION, rwPRECISION, rwPREPARE, rwPRESERVE, rwPRIMARY, rwPRIOR, rwPRIVILEGES, rwPROCEDURE,
  rwPUBLIC, rwREAD, rwREAL, rwREFERENCES, rwRELATIVE, rwRESTRICT, rwREVOKE, rwRIGHT, rwROLLBACK, rwROWS,
  rwSCHEMA, rwSCROLL, rwSECOND, rwSECTION, rwSELECT, rwSESSION, rwSESSION_USER, rwSET, rwSIZE, rwSMALLINT,
  rwSOME, rwSPACE, rwSQL, rwSQLCODE, rwSQLERROR, rwSQLSTATE, rwSTART, rwSUBSTRING, rwSUM, rwSYSTEM_USER,
  rwTABLE, rwTEMPORARY, rwTHEN, rwTIME, rwTIMESTAMP, rwTIMEZONE_HOUR, rwTIMEZONE_MINUTE, rwTO, rwTOP,
  rwTRAILING, rwTRANSACTION, rwTRANSLATE, rwTRANSLATION, rwTRIM, rwTRUE, rwUNION, rwUNIQUE, rwUNKNOWN,
  rwUPDATE, rwUPPER, rwUSAGE, rwUSER, rwUSING, rwVALUE, rwVALUES, rwVARCHAR, rwVARYING, rwVIEW, rwWHEN,
  rwWHENEVER, rwWHERE, rwWITH, rwWORK, rwWRITE, rwYEAR, rwZONE, rwPASSWORD, rwBLOBBLOCKSIZE,
  rwBLOBCOMPRESSIONMODE, rwBLOBCOMPRESSIONALGORITHM, rwLAST_AUTOINC, rwMODIFY, rwNEW, rwINDEX, rwNOCASE,
  rwLTRIM, rwRTRIM, rwPOS, rwLENGTH, rwSYSDATE, rwNOW, rwTOBLOB, rwTODATE, rwTOSTRING, rwAUTOINDEXES,
  rwNOAUTOINDEXES, rwINCREMENT, rwLASTVALUE, rwMAXVALUE, rwMINVALUE, rwCYCLED, rwNOMAXVALUE, rwNOMINVALUE,
  rwNOCYCLED, rwINITIALVALUE, rwRENAME, rwQUARTER, rwWEEKDAY, rwDAYOFWEEK, rwDAYNAME, rwMONTHNAME, rwMSECOND,
  rwABS, rwCEILING, rwCEIL, rwFLOOR, rwMOD, rwPOWER, rwPOW, rwRANDOM, rwRAND, rwROUND, rwSIGN, rwTRUNCATE,
  rwTRUNC, rwSHL, rwSHR, rwXOR, rwDATABASE, rwFILE, rwPAGESIZE, rwMAXSESSIONSCOUNT, rwCUMSUM, rwCUMPROD,
  rwGROUP_CONCAT, rwCOMMENT, rwTABLES, rwFUNCTION, rwVAR, rwRESULT, rwFIXEDCHAR, rwVARCHAR2, rwSTRING,
  rwWIDECHAR, rwFIXEDWIDECHAR, rwWIDESTRING, rwWIDEVARCHAR, rwSIGNEDINT16, rwSIGNEDINT32, rwSIGNEDINT64,
  rwLARGEINT, rwINT64, rwUNSIGNEDINT16, rwWORD, rwSIGNEDINT8, rwSHORTINT, rwUNSIGNEDINT8, rwBYTE,
  rwUNSIGNEDINT32, rwCARDINAL, rwAUTOINC, rwAUTOINCSHORTINT, rwAUTOINCSMALLINT, rwAUTOINCINTEGER,
  rwAUTOINCLARGEINT, rwAUTOINCBYTE, rwAUTOINCWORD, rwAUTOINCCARDINAL, rwSINGLE, rwEXTENDED, rwLOGICAL,
  rwBOOLEAN, rwBOOL, rwCURRENCY, rwMONEY, rwDATETIME, rwBYTES, rwVARBYTES, rwGRAPHIC, rwMEMO, rwCLOB,
  rwFORMATTEDMEMO, rwWIDEMEMO, rwWIDECLOB, rwDATEADD, rwDATEDIFF, rwWEEK, rwMILLISECOND, rwFLUSH, rwEMPTY,
  rwIFNULL, rwDAYOFYEAR, rwISOWEEK, rwSTDDEV, rwSTDEV, rwCONCAT, rwASCII, rwCHR, rwREPEAT, rwREPLACE, rwEXP,
  rwLOG, rwLN, rwLOG10, rwCOS, rwSIN, rwACOS, rwASIN, rwATAN, rwATAN2, rwCOT, rwTAN, rwSQR, rwSQRT, rwSQUARE,
  rwDEGREES, rwRADIANS, rwPI, rwDIV, rwNone
};
inline constexpr int kReservedWordCount = 379;

extern const char16_t* const ReservedWords[kReservedWordCount];
// Filled by HashReservedWords at start-up (MdbRuntimeStartup).
extern std::uint32_t ReservedWordCRCs[kReservedWordCount];
void HashReservedWords();
// Word must be 0 .. 378; any other value gives an empty text.
String ReservedWordText(TReservedWord Word);
// The keyword of an (any-case) token text, rwNone when it is none: the lexer's lookup by hash.
TReservedWord FindReservedWord(std::u16string_view Text);

// ---- table operations ------------------------------------------------------------------------------
inline constexpr int kTableOperationCount = 16;
extern const char16_t* const TableOperationNames[kTableOperationCount];
// The length of the longest table-operation name (at least 1); set at start-up.
extern int MaxTableOperationNameLength;
void InitTableOperationNames();
