#include "platform/rtl/Format.h"

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

// A first cut: %s and %d with their plain forms. The full directive set replaces it.
String Format(std::u16string_view Fmt, std::initializer_list<TVarRec> Args) {
  String out;
  auto arg = Args.begin();
  for (size_t i = 0; i < Fmt.size(); ++i) {
    if (Fmt[i] != u'%') {
      out += Fmt[i];
      continue;
    }
    if (++i >= Fmt.size()) break;
    const char16_t c = Fmt[i];
    if (c == u'%') {
      out += u'%';
      continue;
    }
    if (arg == Args.end()) throw EConvertError(u"Format '" + String(Fmt) + u"' invalid or incompatible with argument");
    const TVarRec& a = *arg++;
    if (c == u's' || c == u'S') {
      if (a.kind == TVarRec::Kind::WideString) out += a.ws;
      else if (a.kind == TVarRec::Kind::AnsiString) out += Str(a.as);
      else throw EConvertError(u"Format '" + String(Fmt) + u"' invalid or incompatible with argument");
    } else if (c == u'd' || c == u'D') {
      if (a.kind == TVarRec::Kind::Integer) out += IntToStr(a.i32);
      else if (a.kind == TVarRec::Kind::Int64) out += IntToStr(a.i64);
      else throw EConvertError(u"Format '" + String(Fmt) + u"' invalid or incompatible with argument");
    }
  }
  return out;
}
