#include "trust/function_origin.h"

#include "report/report_log.h"

namespace {

constexpr uint32_t kPathCapacity = 1024;

}  // namespace

void ReportFunctionOrigin(TrustPlatform& platform, const WideChar* label, const void* address) {
  if (address == nullptr) {
    LogPrintf(true, WIDE("%s NULL"), {label});
    return;
  }
  WideChar path[kPathCapacity];
  const uint32_t count = platform.GetMappedFilePath(address, path, kPathCapacity);
  if (count < 1 || count > kPathCapacity) {
    LogPrintf(true, WIDE("%s Unexcept"), {label});
    return;
  }
  // A name that filled the whole buffer may carry no terminator: cut it so
  // the text ends inside the buffer.
  if (count == kPathCapacity) path[kPathCapacity - 1] = 0;
  LogPrintf(true, WIDE("%s Path: %s"), {label, path});
}
