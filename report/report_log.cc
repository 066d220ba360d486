#include "report/report_log.h"

#include <bit>
#include <memory>
#include <new>

static_assert(std::endian::native == std::endian::little,
              "the report's units are written as they lie in memory, which must be little-endian");

platform::File ReportLog;

namespace {

// Room that a format gets beyond its own length for the values it takes.
constexpr size_t kValueRoom = 4096;

void WriteUnits(const WideChar* units, size_t count) {
  platform::WriteAll(ReportLog, units, count * sizeof(WideChar));
}

}  // namespace

void LogWrite(const WideChar* text) {
  WriteUnits(text, WideLength(text));
}

void LogPrintf(bool lineEnd, const WideChar* format, std::initializer_list<FormatArgument> arguments) {
  const size_t capacity = WideLength(format) + kValueRoom;
  std::unique_ptr<WideChar[]> buffer(new (std::nothrow) WideChar[capacity]);
  // Without memory for the text it is lost, like a failed write; the line
  // end still keeps the following text on a line of its own.
  if (buffer) {
    WriteUnits(buffer.get(), FormatText(buffer.get(), capacity, format, arguments));
  }
  if (lineEnd) WriteUnits(WIDE("\r\n"), 2);
}
