// A long run's progress on standard error: particles done of N, percentage,
// rate and time left, at most five times a second. On a terminal one line
// is rewritten in place; elsewhere each update is a line of its own.
#ifndef PROGRESS_H
#define PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>

struct progress_meter {
  bool enabled = false;
  bool terminal = false;  // standard error is a terminal: rewrite in place
  const char *program = "";
  std::chrono::steady_clock::time_point start, last;
  bool shown = false;  // a line has been printed since the start
};

// Starts the clock; a meter that is not enabled prints nothing, ever.
void start_progress(progress_meter *meter, const char *program, bool enabled);

// Reports done of total particles, unless the last report was less than
// 0.2 s ago. Not thread-safe: one caller at a time.
void report_progress(progress_meter *meter, uint64_t done, uint64_t total);

// The final count, always, ending the line with a line feed.
void finish_progress(progress_meter *meter, uint64_t done, uint64_t total);

// The text of one report (no line feed), for the tests.
int format_progress(char *out, size_t size, const char *program, uint64_t done, uint64_t total,
                    double seconds);

#endif
