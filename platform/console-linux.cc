#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/console.h"

namespace platform {
namespace {

bool WriteAllTo(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

bool WriteToStandardOutput(std::string_view bytes) {
  return WriteAllTo(STDOUT_FILENO, bytes);
}

bool WriteToStandardError(std::string_view bytes) {
  return WriteAllTo(STDERR_FILENO, bytes);
}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

unsigned ProcessorCount() {
  // The affinity mask, as nproc reads it: a container or taskset limit counts.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : hardware;
}

}  // namespace platform
