// The virtual table's time-stamp fields: the platform's SQL time-stamp fields with the text forms of
// VtTimeStamp.h. TVtSQLTimeStampField shows its value by DisplayFormat (when displayed and set) or the
// default form; TVtSQLTimeStampOffsetField adds " +hh:nn" / " -hh:nn" and reads such a text back.
// Fractions are milliseconds, as the record set stores them.
#pragma once

#include "platform/db/Fields.h"

class TVtSQLTimeStampField : public TSQLTimeStampField {
  VELLUM_CLASS(TVtSQLTimeStampField)
 public:
  static constexpr const char16_t* kClassName = u"TVtSQLTimeStampField";
  explicit TVtSQLTimeStampField(TComponent* AOwner) : TSQLTimeStampField(AOwner) {}

 protected:
  String GetAsString() const override;
  void GetText(String& Text, bool DisplayText) const override;
};

class TVtSQLTimeStampOffsetField : public TSQLTimeStampOffsetField {
  VELLUM_CLASS(TVtSQLTimeStampOffsetField)
 public:
  static constexpr const char16_t* kClassName = u"TVtSQLTimeStampOffsetField";
  explicit TVtSQLTimeStampOffsetField(TComponent* AOwner) : TSQLTimeStampOffsetField(AOwner) {}
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { FDisplayFormat = Value; }
  // An empty text clears the field; otherwise raises EConvertError "Could not parse SQL TimeStamp
  // string" for a text that is not a time stamp with an optional offset.
  void SetAsString(const String& Value) override;

 protected:
  String GetAsString() const override;
  void GetText(String& Text, bool DisplayText) const override;

 private:
  String FDisplayFormat;
};
