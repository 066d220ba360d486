#include "check/check_driver.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "check/file_digest.h"
#include "check/trust_stage.h"
#include "platform/file.h"
#include "platform/process.h"
#include "report/report_log.h"
#include "trust/trust_platform.h"

namespace {

constexpr size_t kExecutablePathCapacity = 4096;
constexpr WideChar kReportName[] = WIDE("result.txt");

// Formats a console line with the report's formatter and prints it.
void PrintLine(const WideChar* format, const WideChar* value) {
  const size_t capacity = WideLength(format) + WideLength(value) + 1;
  const std::unique_ptr<WideChar[]> text(new WideChar[capacity]);
  FormatText(text.get(), capacity, format, {value});
  platform::PrintToConsole(text.get());
}

void PrintUsage(const WideChar* executablePath) {
  platform::PrintToConsole(WIDE("Example:\r\n"));
  PrintLine(WIDE("%s \"C:\\Program Files (x86)\\Talvin\\Mirelo2.0\\MireloCore.dll\"\r\n"), executablePath);
}

// The executable's directory with its separator, then "result.txt"; empty
// when the path holds no separator.
WideString MakeReportPath(const WideChar* executablePath) {
  const WideChar* lastSeparator = nullptr;
  for (const WideChar* at = executablePath; *at != 0; ++at) {
    if (*at == platform::kPathSeparator) lastSeparator = at;
  }
  if (lastSeparator == nullptr) return {};
  return WideString(executablePath, static_cast<size_t>(lastSeparator - executablePath) + 1) + kReportName;
}

void WriteTimestamp() {
  const std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);
  if (utc == nullptr) return;
  LogPrintf(true, WIDE("%d/%02d/%02d %02d:%02d:%02d GMT"),
            {utc->tm_year + 1900, utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec});
}

// Appends `name` after a separator to the zero-terminated `path` held in
// `capacity` units, cutting what does not fit; returns whether all of it
// fitted.
bool AppendPathComponent(WideChar* path, size_t capacity, const WideChar* name) {
  size_t length = WideLength(path);
  bool fits = true;
  auto put = [&](WideChar unit) {
    if (length + 1 < capacity) {
      path[length++] = unit;
    } else {
      fits = false;
    }
  };
  put(platform::kPathSeparator);
  for (; *name != 0; ++name) put(*name);
  path[length] = 0;
  return fits;
}

// The trust library's full path in `path`, of `capacity` units, and whether
// it is whole. A directory that cannot be found leaves just the file name;
// one that does not fit, or a name that does not fit after it, leaves the
// path cut where the buffer ends. Only a whole path names the library's place.
bool MakeTrustLibraryPath(WideChar* path, size_t capacity) {
  if (platform::GetTrustLibraryDirectory(path, capacity)) {
    return AppendPathComponent(path, capacity, platform::kTrustLibraryFileName);
  }
  if (path[0] == 0) {
    const size_t length = std::min(WideLength(platform::kTrustLibraryFileName), capacity - 1);
    std::memcpy(path, platform::kTrustLibraryFileName, length * sizeof(WideChar));
    path[length] = 0;
  }
  return false;
}

// The checks that write into the open report; each early end returns.
void CheckIntoReport(const WideChar* target) {
  FileDigest digest;
  {
    const platform::File file = platform::OpenForReading(target);
    if (!file.IsOpen()) {
      LogPrintf(true, WIDE("Fail open target file. %s\r\n"), {target});
      return;
    }
    if (!DigestWholeFile(file, &digest)) {
      LogPrintf(true, WIDE("Fail read target file. %s\r\n"), {target});
      return;
    }
    LogPrintf(true, WIDE("File: %s"), {target});
    LogPrintf(true, WIDE("Size: %d"), {digest.size});
    LogPrintf(true, WIDE("SHA1: %s"), {digest.text});
  }

  const platform::OsVersion version = platform::GetOsVersion();
  LogPrintf(true, WIDE("OSVer: %d.%d"), {version.major, version.minor});

  const std::unique_ptr<WideChar[]> libraryPath(new WideChar[platform::kTrustLibraryPathCapacity]);
  const bool libraryPathWhole = MakeTrustLibraryPath(libraryPath.get(), platform::kTrustLibraryPathCapacity);
  {
    // A path that is not whole could name an unrelated file: never opened.
    const platform::File file = libraryPathWhole ? platform::OpenForReading(libraryPath.get()) : platform::File();
    if (!file.IsOpen()) {
      LogPrintf(true, WIDE("Fail open Wintrust.dll. %s\r\n"), {libraryPath.get()});
      return;
    }
    if (!DigestWholeFile(file, &digest)) {
      LogPrintf(true, WIDE("Fail read Wintrust.dll. %s\r\n"), {libraryPath.get()});
      return;
    }
    LogWrite(WIDE("Wintrust.dll "));
    LogPrintf(true, WIDE("Size: %d SHA1: %s"), {digest.size, digest.text});
  }

  RealTrustPlatform trustPlatform;
  RunTrustStage(trustPlatform, target);
}

}  // namespace

int RunCheck(int argumentCount, const WideChar* const* arguments) {
  WideChar executablePath[kExecutablePathCapacity] = {};
  platform::GetExecutablePath(executablePath, kExecutablePathCapacity);
  if (argumentCount <= 1) {
    PrintUsage(executablePath);
    return 0;
  }

  // The report is written under a name of its own and moved over
  // "result.txt" when complete: an earlier report, or a link standing there,
  // is replaced whole, and two runs at once never mix their lines.
  WideString reportPath = MakeReportPath(executablePath);
  WideString stagedPath;
  bool directoryRefused = false;
  if (!reportPath.empty()) {
    ReportLog = platform::CreateTemporaryBeside(reportPath.c_str(), &stagedPath, &directoryRefused);
  }
  // An installed program's directory is not the user's to write: then the
  // report goes where the platform keeps the user's own files, if anywhere.
  WideString fallbackDirectory;
  if (!ReportLog.IsOpen() && directoryRefused && platform::GetReportFallbackDirectory(&fallbackDirectory)) {
    reportPath = fallbackDirectory + platform::kPathSeparator + kReportName;
    ReportLog = platform::CreateTemporaryBeside(reportPath.c_str(), &stagedPath);
  }
  if (!ReportLog.IsOpen()) {
    platform::PrintToConsole(WIDE("Fail create log file\r\n"));
    return 0;
  }

  const WideChar byteOrderMark[] = {0xFEFF, 0};
  LogWrite(byteOrderMark);
  WriteTimestamp();
  CheckIntoReport(arguments[1]);

  ReportLog.Close();
  if (!platform::MoveIntoPlace(stagedPath, reportPath.c_str())) {
    platform::PrintToConsole(WIDE("Fail create log file\r\n"));
    return 0;
  }
  PrintLine(WIDE("Outputted %s\r\n"), reportPath.c_str());
  return 0;
}
