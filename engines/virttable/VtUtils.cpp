#include "engines/virttable/VtUtils.h"

#include <zlib.h>

#include <cstdio>

namespace vt {

namespace {

// Constant-initialised: no work at static-init time, and the hooks are present for callers that never
// run the start-up list (tests, tools).
TCompressFunc gCompressHook = &ZCompressBuffer;
TCompressFunc gUncompressHook = &ZUncompressBuffer;

void InstallHooks() {
  gCompressHook = &ZCompressBuffer;
  gUncompressHook = &ZUncompressBuffer;
}

}  // namespace

void ZCompressBuffer(void* Dest, std::size_t& DestLen, const void* Source, std::size_t SourceLen) {
  z_stream z{};
  if (deflateInit(&z, Z_DEFAULT_COMPRESSION) < 0) throw EZCompressionError(String(u"Error"));
  z.next_in = static_cast<Bytef*>(const_cast<void*>(Source));
  z.avail_in = static_cast<uInt>(SourceLen);
  z.next_out = static_cast<Bytef*>(Dest);
  z.avail_out = static_cast<uInt>(DestLen);
  const int rc = deflate(&z, Z_FINISH);
  DestLen = z.total_out;
  deflateEnd(&z);
  if (rc < 0) throw EZCompressionError(String(u"Error"));
  if (rc != Z_STREAM_END) throw EZLibError(String(u"ZLib error: target buffer may be too small"));
}

void ZUncompressBuffer(void* Dest, std::size_t& DestLen, const void* Source, std::size_t SourceLen) {
  z_stream z{};
  if (inflateInit(&z) < 0) throw EZDecompressionError(String(u"Error"));
  z.next_in = static_cast<Bytef*>(const_cast<void*>(Source));
  z.avail_in = static_cast<uInt>(SourceLen);
  z.next_out = static_cast<Bytef*>(Dest);
  z.avail_out = static_cast<uInt>(DestLen);
  const int rc = inflate(&z, Z_FINISH);
  DestLen = z.total_out;
  inflateEnd(&z);
  if (rc < 0) throw EZDecompressionError(String(u"Error"));
  if (rc != Z_STREAM_END) throw EZLibError(String(u"ZLib error: target buffer may be too small"));
}

TCompressFunc& CompressHook() { return gCompressHook; }
TCompressFunc& UncompressHook() { return gUncompressHook; }

void CheckZLibLinked() {
  if (!gCompressHook) throw Exception(String(u"Compressor function is not linked"));
  if (!gUncompressHook) throw Exception(String(u"Uncompressor function is not linked"));
}

void RegisterVirtTableUnit(TUnitList& Units) { Units.Add({"VtUtils", &InstallHooks, nullptr}); }

void StrTrimAnsi(char* Str, int Len) {
  if (!Str) return;
  int i = Len < 0 ? static_cast<int>(std::char_traits<char>::length(Str)) - 1 : Len - 1;
  for (; i >= 0 && (Str[i] == ' ' || Str[i] == '\0'); --i) Str[i] = '\0';
}

void StrTrimWide(char16_t* Str, int Len) {
  if (!Str) return;
  int i = Len < 0 ? static_cast<int>(WideTextLength(Str)) - 1 : Len - 1;
  for (; i >= 0 && (Str[i] == u' ' || Str[i] == u'\0'); --i) Str[i] = u'\0';
}

std::size_t WideTextLength(const char16_t* Str) {
  std::size_t n = 0;
  if (Str)
    while (Str[n]) ++n;
  return n;
}

namespace {
bool IsLeap(int Year) { return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0); }
int DaysInMonth(int Year, int Month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return Month == 2 && IsLeap(Year) ? 29 : kDays[Month - 1];
}
}  // namespace

bool TryEncodeDateValue(int Year, int Month, int Day, double& Value) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  long days = Day;
  for (int m = 1; m < Month; ++m) days += DaysInMonth(Year, m);
  const long y = Year - 1;
  days += y * 365 + y / 4 - y / 100 + y / 400;
  Value = static_cast<double>(days - 693594);
  return true;
}

bool TryEncodeTimeValue(int Hour, int Min, int Sec, int MSec, double& Value) {
  if (Hour < 0 || Hour >= 24 || Min < 0 || Min >= 60 || Sec < 0 || Sec >= 60 || MSec < 0 || MSec >= 1000) return false;
  Value = (((Hour * 60.0 + Min) * 60.0 + Sec) * 1000.0 + MSec) / 86400000.0;
  return true;
}

bool TryEncodeDateTimeValue(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec, double& Value) {
  double date = 0;
  double time = 0;
  if (!TryEncodeDateValue(Year, Month, Day, date) || !TryEncodeTimeValue(Hour, Min, Sec, MSec, time)) return false;
  Value = date >= 0 ? date + time : date - time;
  return true;
}

double EncodeDateTimeValue(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec) {
  double v = 0;
  if (!TryEncodeDateTimeValue(Year, Month, Day, Hour, Min, Sec, MSec, v))
    throw EConvertError(String(u"Invalid argument to date encode"));
  return v;
}

double StampToDateTime(std::int32_t Day, std::int32_t MSecs) {
  if (MSecs < 0 || Day <= 0) {
    char text[64];
    std::snprintf(text, sizeof text, "'%d.%d' is not a valid timestamp", Day, MSecs);
    throw EConvertError(std::string_view(text));
  }
  const double d = static_cast<double>(Day) - 693594.0;
  return d >= 0 ? d + MSecs / 86400000.0 : d - MSecs / 86400000.0;
}

}  // namespace vt
