#include "platform/rtl/Exceptions.h"

#include <utility>

Exception::Exception(String message) : FMessage(std::move(message)), FUtf8(StringToUTF8(FMessage)) {}

Exception::~Exception() = default;

void Exception::SetMessage(String message) {
  FMessage = std::move(message);
  FUtf8 = StringToUTF8(FMessage);
}
