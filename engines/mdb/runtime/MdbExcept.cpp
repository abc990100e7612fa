#include "engines/mdb/runtime/MdbExcept.h"

#include "engines/mdb/runtime/MdbConst.h"

namespace {

String Compose(int Code, String Text) {
  Text += SMdbNativeErrorSuffix;
  Text += Format(u"%.5d", {Code});
  return Text;
}

String FormatOrKeep(std::u16string_view Fmt, std::initializer_list<TVarRec> Args) {
  try {
    return Format(Fmt, Args);
  } catch (const Exception&) {
    String Text(Fmt);
    Text += SMdbArgumentsInvalid;
    return Text;
  }
}

}  // namespace

EMdbException::EMdbException(int NativeErrorCode, std::u16string_view ErrorMsg)
    : Exception(Compose(NativeErrorCode, String(ErrorMsg))), NativeError(NativeErrorCode) {}

EMdbException::EMdbException(int NativeErrorCode, std::u16string_view ErrorMsg, std::initializer_list<TVarRec> Args)
    : Exception(Compose(NativeErrorCode, FormatOrKeep(ErrorMsg, Args))), NativeError(NativeErrorCode) {}
