// The platform's exception hierarchy. Every error of the system derives from Exception and carries a
// UTF-16 message; what() gives the same text as UTF-8 for the C++ world (test output, stderr).
#pragma once

#include <exception>
#include <string>

#include "platform/rtl/String.h"

class Exception : public std::exception {
 public:
  explicit Exception(String message);
  explicit Exception(std::string_view ascii_message) : Exception(Str(ascii_message)) {}
  ~Exception() override;

  const String& Message() const { return FMessage; }
  void SetMessage(String message);
  const char* what() const noexcept override { return FUtf8.c_str(); }

 private:
  String FMessage;
  std::string FUtf8;
};

#define VELLUM_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {                 \
   public:                                   \
    using Base::Base;                        \
  };

VELLUM_DECLARE_EXCEPTION(EAbort, Exception)
VELLUM_DECLARE_EXCEPTION(EOutOfMemory, Exception)
VELLUM_DECLARE_EXCEPTION(EConvertError, Exception)
VELLUM_DECLARE_EXCEPTION(ERangeError, Exception)
VELLUM_DECLARE_EXCEPTION(EIntOverflow, Exception)
VELLUM_DECLARE_EXCEPTION(EDivByZero, Exception)
VELLUM_DECLARE_EXCEPTION(EZeroDivide, Exception)
VELLUM_DECLARE_EXCEPTION(EOverflow, Exception)
VELLUM_DECLARE_EXCEPTION(EInvalidOp, Exception)
VELLUM_DECLARE_EXCEPTION(EInvalidOperation, Exception)
VELLUM_DECLARE_EXCEPTION(EInvalidCast, Exception)
VELLUM_DECLARE_EXCEPTION(EInvalidPointer, Exception)
VELLUM_DECLARE_EXCEPTION(EArgumentException, Exception)
VELLUM_DECLARE_EXCEPTION(EArgumentOutOfRangeException, EArgumentException)
VELLUM_DECLARE_EXCEPTION(ENotSupportedException, Exception)
VELLUM_DECLARE_EXCEPTION(EVariantError, Exception)
VELLUM_DECLARE_EXCEPTION(EListError, Exception)
VELLUM_DECLARE_EXCEPTION(EStringListError, Exception)
VELLUM_DECLARE_EXCEPTION(EClassNotFound, Exception)
VELLUM_DECLARE_EXCEPTION(EComponentError, Exception)
VELLUM_DECLARE_EXCEPTION(EStreamError, Exception)
VELLUM_DECLARE_EXCEPTION(EFilerError, EStreamError)
VELLUM_DECLARE_EXCEPTION(EReadError, EFilerError)
VELLUM_DECLARE_EXCEPTION(EWriteError, EFilerError)
VELLUM_DECLARE_EXCEPTION(EInOutError, Exception)
VELLUM_DECLARE_EXCEPTION(EFileStreamError, EStreamError)
VELLUM_DECLARE_EXCEPTION(EFCreateError, EFileStreamError)
VELLUM_DECLARE_EXCEPTION(EFOpenError, EFileStreamError)
VELLUM_DECLARE_EXCEPTION(EDatabaseError, Exception)
VELLUM_DECLARE_EXCEPTION(EZipException, Exception)
VELLUM_DECLARE_EXCEPTION(EBcdException, Exception)
VELLUM_DECLARE_EXCEPTION(EBcdOverflowException, EBcdException)

// The platform's fixed message texts that more than one module raises.
namespace msg {
inline constexpr char16_t SReadError[] = u"Stream read error";
inline constexpr char16_t SWriteError[] = u"Stream write error";
inline constexpr char16_t SInvalidImage[] = u"Invalid stream format";
inline constexpr char16_t SInvalidPropertyValue[] = u"Invalid property value";
inline constexpr char16_t SListIndexError[] = u"List index out of bounds (%d)";
inline constexpr char16_t SFCreateError[] = u"Cannot create file \"%s\"";
inline constexpr char16_t SFOpenError[] = u"Cannot open file \"%s\"";
inline constexpr char16_t SOutOfMemory[] = u"Out of memory";
// Conversions (the '%s' of SInvalidFormat / SArgumentMissing is the whole format string).
inline constexpr char16_t SInvalidFormat[] = u"Format '%s' invalid or incompatible with argument";
inline constexpr char16_t SArgumentMissing[] = u"No argument for format '%s'";
inline constexpr char16_t SInvalidInteger[] = u"'%s' is not a valid integer value";
inline constexpr char16_t SInvalidFloat[] = u"'%s' is not a valid floating point value";
inline constexpr char16_t SInvalidBoolean[] = u"'%s' is not a valid boolean value";
inline constexpr char16_t SInvalidDate[] = u"'%s' is not a valid date";
inline constexpr char16_t SInvalidTime[] = u"'%s' is not a valid time";
inline constexpr char16_t SInvalidDateTime[] = u"'%s' is not a valid date and time";
inline constexpr char16_t SDateEncodeError[] = u"Invalid argument to date encode";
inline constexpr char16_t STimeEncodeError[] = u"Invalid argument to time encode";
inline constexpr char16_t SInvalidTimeStamp[] = u"'%d.%d' is not a valid timestamp";
inline constexpr char16_t SInvalidSQLTimeStamp[] = u"Invalid SQL date/time values";
inline constexpr char16_t SBcdOverflow[] = u"BCD overflow";
inline constexpr char16_t SInvalidBcdValue[] = u"%s is not a valid BCD value";
// Arithmetic (SDivByZero, SZeroDivide and SInvalidOp are in Variant.h for now).
inline constexpr char16_t SOverflow[] = u"Floating point overflow";
inline constexpr char16_t SIntOverflow[] = u"Integer overflow";
inline constexpr char16_t SRangeError[] = u"Range check error";
}  // namespace msg
