// The SQL script of a table, a view or a whole database: statements the engine's own SQL runs again to
// rebuild the structure and the rows. Line breaks are CR LF, indentation one TAB, keywords upper case.
//
// Contract:
// - Texts stay UTF-16 from the record to the script: character values, defaults and comments are
//   written between single quotes with every inner quote doubled, so that any text reads back as it
//   was (comments included).
// - Numbers use "." as the decimal separator whatever the platform's; date and time values are written
//   as TODATE('M/D/YYYY H:N:S:Z','M/D/YYYY H24:N:S:Z'); BLOB values as TOBLOB('<Base64>',MIME64).
// - Exporting the data keeps the cursor where it stood: its position and current record buffer come
//   back, also when the export fails; the BLOB streams it reads are freed record by record.
#pragma once

#include "engines/mdb/runtime/MdbTypes.h"

class TMdbCursor;

struct TMdbSQLExportOptions {
  bool ExportStructure = true;
  bool AddDropTableCommand = false;
  bool ExportIndexes = false;
  bool AddDropIndexCommand = false;
  bool ExportData = false;
  bool ExportBLOBFields = false;
  bool UseBracketsForNames = false;
  bool ExportForeignKeys = false;
};

// The table script of Cursor's table (or view) into Script, its foreign-key statements (when asked)
// into ForeignKeys, each statement after the first preceded by CR LF.
void MdbExportTableToSQL(TMdbCursor* Cursor, const TMdbSQLExportOptions& Options, String& Script, String& ForeignKeys);
