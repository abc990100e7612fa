#include "engines/virttable/VtTimeStampFields.h"

#include "engines/virttable/VtTimeStamp.h"
#include "platform/rtl/FormatSettings.h"

String TVtSQLTimeStampField::GetAsString() const {
  String s;
  GetText(s, false);
  return s;
}

void TVtSQLTimeStampField::GetText(String& Text, bool DisplayText) const {
  if (IsNull()) {
    Text.clear();
    return;
  }
  const String format = DisplayText ? DisplayFormat() : String();
  Text = vt::FormatSQLTimeStamp(format, AsSQLTimeStamp(), FormatSettings());
}

String TVtSQLTimeStampOffsetField::GetAsString() const {
  String s;
  GetText(s, false);
  return s;
}

void TVtSQLTimeStampOffsetField::GetText(String& Text, bool DisplayText) const {
  if (IsNull()) {
    Text.clear();
    return;
  }
  Text = vt::SQLTimeStampOffsetToText(AsSQLTimeStampOffset(), DisplayText ? FDisplayFormat : String(),
                                      FormatSettings());
}

void TVtSQLTimeStampOffsetField::SetAsString(const String& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  TSQLTimeStampOffset t;
  vt::ParseSQLTimeStampOffset(Value, 3, t);
  SetAsSQLTimeStampOffset(t);
}
