#include "progress.h"

#include <unistd.h>

#include <cmath>

namespace {

constexpr std::chrono::milliseconds report_interval{200};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void print_line(progress_meter *meter, uint64_t done, uint64_t total, bool last) {
  char line[256];
  format_progress(line, sizeof line, meter->program, done, total, seconds_since(meter->start));
  // "\033[K" clears what a longer line before left behind.
  if (meter->terminal) {
    std::fprintf(stderr, "\r%s\033[K%s", line, last ? "\n" : "");
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
  meter->shown = true;
}

}  // namespace

int format_progress(char *out, size_t size, const char *program, uint64_t done, uint64_t total,
                    double seconds) {
  const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
  const unsigned long long d = done, t = total;
  if (total == 0 || done > total) {
    return std::snprintf(out, size, "%s: %llu particles, %.3g particles/s", program, d, rate);
  }
  const double fraction = static_cast<double>(done) / static_cast<double>(total);
  if (!(rate > 0.0) || done == total) {
    return std::snprintf(out, size, "%s: %llu of %llu particles, %.1f %%, %.3g particles/s", program,
                         d, t, 100.0 * fraction, rate);
  }
  const double left = static_cast<double>(total - done) / rate;
  return std::snprintf(out, size, "%s: %llu of %llu particles, %.1f %%, %.3g particles/s, %.0f s left",
                       program, d, t, 100.0 * fraction, rate, std::ceil(left));
}

void start_progress(progress_meter *meter, const char *program, bool enabled) {
  meter->enabled = enabled;
  meter->terminal = enabled && isatty(STDERR_FILENO) == 1;
  meter->program = program;
  meter->start = meter->last = std::chrono::steady_clock::now();
  meter->shown = false;
}

void report_progress(progress_meter *meter, uint64_t done, uint64_t total) {
  if (!meter->enabled) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - meter->last < report_interval) return;
  meter->last = now;
  print_line(meter, done, total, false);
}

void finish_progress(progress_meter *meter, uint64_t done, uint64_t total) {
  if (!meter->enabled) return;
  print_line(meter, done, total, true);
  meter->enabled = false;
}
