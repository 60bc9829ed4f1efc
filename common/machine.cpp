#include "machine.h"

#include "threadpool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

double kxPhysicalMemoryBytes() {
#if defined(_WIN32)
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? static_cast<double>(status.ullTotalPhys) : 0.0;
#else
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 0.0;
#endif
}

int kxCoreCount() {
  long cores = 0;
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    cores = CPU_COUNT(&set);
  }
#endif
  if (cores <= 0) {
    cores = static_cast<long>(std::thread::hardware_concurrency());
  }
  return cores < 1 ? 1 : (cores > kxMaxThreads ? kxMaxThreads : static_cast<int>(cores));
}

namespace {

// A whole number from 1 to kxMaxThreads, blanks around it allowed; 0 for
// anything else.
int parseThreadCount(const char *text) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || errno != 0) {
    return 0;
  }
  while (*end == ' ' || *end == '\t') {
    ++end;
  }
  return *end == '\0' && value >= 1 && value <= kxMaxThreads ? static_cast<int>(value) : 0;
}

} // namespace

int kxEnvironmentThreads(char *warning, std::size_t size) {
  if (warning != nullptr && size != 0) {
    warning[0] = '\0';
  }
  const char *text = std::getenv("KALMEX_THREADS");
  const int cores = kxCoreCount();
  if (text == nullptr || text[0] == '\0') {
    return cores;
  }
  const int value = parseThreadCount(text);
  if (value != 0) {
    return value;
  }
  if (warning != nullptr && size != 0) {
    std::snprintf(warning, size,
                  "KALMEX_THREADS is \"%.40s\", not a whole number from 1 to %d: it is "
                  "ignored, and %d threads (one per core) are used.",
                  text, kxMaxThreads, cores);
  }
  return cores;
}
