#include "progress.h"

#include <gtest/gtest.h>

#include <string>

#include "check_cli.h"
#include "test_support.h"

namespace {

using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;

std::string text(uint64_t done, uint64_t total, double seconds) {
  char line[256];
  format_progress(line, sizeof line, "galaxy-ic", done, total, seconds);
  return line;
}

TEST(Progress, LineGivesCountShareRateAndTimeLeft) {
  EXPECT_EQ(text(250000, 1000000, 2.0),
            "galaxy-ic: 250000 of 1000000 particles, 25.0 %, 1.25e+05 particles/s, 6 s left");
  EXPECT_EQ(text(1000000, 1000000, 4.0), "galaxy-ic: 1000000 of 1000000 particles, 100.0 %, 2.5e+05 particles/s");
  // No time yet, or no known total: nothing divided by zero.
  EXPECT_EQ(text(0, 10, 0.0), "galaxy-ic: 0 of 10 particles, 0.0 %, 0 particles/s");
  EXPECT_EQ(text(7, 0, 1.0), "galaxy-ic: 7 particles, 7 particles/s");
}

// The last line standard error holds.
std::string last_line(const std::string &err) {
  std::string trimmed = err.substr(0, err.find_last_not_of('\n') + 1);
  return trimmed.substr(trimmed.find_last_of('\n') + 1);
}

TEST(Progress, ReportedOnStandardErrorWithoutChangingTheRun) {
  scratch_dir dir;
  const run_result plain = run_program(GALAXY_IC_PATH, {"-p", "30000", "-o", "a.ini"}, dir.path());
  const run_result shown = run_program(GALAXY_IC_PATH, {"-p", "30000", "-o", "b.ini", "--progress"}, dir.path());
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(shown.status, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(shown.out, plain.out);
  EXPECT_EQ(read_file(dir.file("b.ini")), read_file(dir.file("a.ini")));
  // Not a terminal: whole lines, the last one the final count.
  ASSERT_FALSE(shown.err.empty());
  EXPECT_EQ(shown.err.back(), '\n');
  EXPECT_EQ(last_line(shown.err).rfind("galaxy-ic: 30000 of 30000 particles, 100.0 %", 0), 0u) << shown.err;

  NEEDS_FEATURE(check_options_available(), lib_cli11);
  const run_result check = run_program(GALAXY_CHECK_PATH, {"a.ini"}, dir.path());
  const run_result check_shown = run_program(GALAXY_CHECK_PATH, {"a.ini", "--progress"}, dir.path());
  EXPECT_EQ(check_shown.status, check.status);
  EXPECT_EQ(check_shown.out, check.out);
  EXPECT_EQ(last_line(check_shown.err).rfind("galaxy-check: 30000 of 30000 particles, 100.0 %", 0), 0u)
      << check_shown.err;
}

}  // namespace
