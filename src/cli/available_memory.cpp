#include "available_memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A "Name: N kB" line of a /proc file, in bytes; -1 when absent.
double proc_field(const char *path, const char *name) {
  std::FILE *file = std::fopen(path, "r");
  if (file == nullptr) return -1.0;
  char line[256];
  double bytes = -1.0;
  const size_t length = std::strlen(name);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    unsigned long long kib = 0;
    if (std::strncmp(line, name, length) == 0 && std::sscanf(line + length, ": %llu kB", &kib) == 1) {
      bytes = static_cast<double>(kib) * 1024.0;
      break;
    }
  }
  std::fclose(file);
  return bytes;
}

// A number alone in a file (a control group's limit or use); -1 for "max"
// or anything unreadable.
double number_in(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return -1.0;
  unsigned long long value = 0;
  const bool read = std::fscanf(file, "%llu", &value) == 1;
  std::fclose(file);
  return read ? static_cast<double>(value) : -1.0;
}

// The headroom of the control group (version 2) this process runs in.
double cgroup_headroom() {
  std::FILE *file = std::fopen("/proc/self/cgroup", "r");
  if (file == nullptr) return HUGE_VAL;
  char line[4096];
  std::string group;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "0::", 3) == 0) {
      group = line + 3;
      group.erase(group.find_last_not_of('\n') + 1);
    }
  }
  std::fclose(file);
  if (group.empty()) return HUGE_VAL;
  const std::string dir = "/sys/fs/cgroup" + group;
  const double limit = number_in(dir + "/memory.max"), used = number_in(dir + "/memory.current");
  return limit >= 0.0 && used >= 0.0 ? std::max(0.0, limit - used) : HUGE_VAL;
}

// What a limit leaves once what the process holds is counted; reserve is
// address space taken beyond the bytes used (thread stacks), counted by
// the address-space limit only.
double limit_headroom(int resource, const char *field, double reserve) {
  struct rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return HUGE_VAL;
  const double held = std::max(0.0, proc_field("/proc/self/status", field));
  return std::max(0.0, static_cast<double>(limit.rlim_cur) - held - reserve);
}

}  // namespace

double available_memory_bytes() {
  double available = HUGE_VAL;
  const double free_memory = proc_field("/proc/meminfo", "MemAvailable");
  if (free_memory >= 0.0) available = free_memory + std::max(0.0, proc_field("/proc/meminfo", "SwapFree"));
  // The checks' threads' stacks, 8 MiB each. The allocator's arenas of
  // those threads are not counted: when it cannot map one it shares another.
  available = std::min(available, limit_headroom(RLIMIT_AS, "VmSize", 4 * 8.0 * 1048576.0));
  available = std::min(available, limit_headroom(RLIMIT_DATA, "VmData", 0.0));
  return std::min(available, cgroup_headroom());
}
