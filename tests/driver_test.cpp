#include "driver.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "baseline_writer.h"
#include "particle_text.h"
#include "check_cli.h"
#include "random_stream.h"
#include "test_support.h"

namespace {

using test_support::file_exists;
using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;
using test_support::write_file;

const std::string program = GALAXY_IC_PATH;

const std::string usage_text =
    "Usage:\t-p --nbparticles\tSet the number of particles in the .ini file (default: 512)"
    "\t-o --output\t\tSet the name of the .ini file\t-h --help\t\tPrint this screen";

// Sections of the default run, from an independent implementation.
const std::string first_default_section =
    "[element0]\n"
    "mass = 3884960937499999768399282820463198208.000000\n"
    "x_0 = -2182699241370299136.000000\n"
    "x_1 = 1706670619245026304.000000\n"
    "x_2 = -3416416016616317952.000000\n"
    "v_0 = -4722.561843\n"
    "v_1 = -3757.679072\n"
    "v_2 = 117748.055784\n"
    "\n";
const std::string last_default_section =
    "[element511]\n"
    "mass = 3884960937499999768399282820463198208.000000\n"
    "x_0 = 500844977670651136.000000\n"
    "x_1 = 2640984434835429888.000000\n"
    "x_2 = -4601699127438700032.000000\n"
    "v_0 = -16205.206609\n"
    "v_1 = 5821.018304\n"
    "v_2 = -9404.086161\n"
    "\n";

const std::string existing_content = "keep me\n";

// What writer puts in a file for sys, captured in memory.
std::string render(bool (*writer)(std::FILE *, const gal_system *), const gal_system *sys) {
  char *data = nullptr;
  size_t size = 0;
  std::FILE *file = open_memstream(&data, &size);
  const bool ok = writer(file, sys);
  std::fclose(file);
  std::string text(data, size);
  std::free(data);
  EXPECT_TRUE(ok);
  return text;
}

// The file the program must write for count particles, built in this
// process from the unseeded sequence (srand(1) restores it) and the
// one-fprintf-per-line writer.
std::string expected_file(int32_t count) {
  std::srand(1);
  gal_system *sys = test_support::alloc_default_galaxy(count);
  const std::string text = render(write_particle_file_baseline, sys);
  free_gal_system(sys);
  return text;
}

size_t count_sections(const std::string &text) {
  size_t n = 0;
  for (size_t at = text.find("[element"); at != std::string::npos; at = text.find("[element", at + 1)) ++n;
  return n;
}

TEST(ProgramRun, DefaultsWriteTheKnownFile) {
  scratch_dir dir;
  const run_result r = run_program(program, {}, dir.path());
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  const std::string text = read_file(dir.file("galaxy.ini"));
  ASSERT_GE(text.size(), first_default_section.size() + last_default_section.size());
  EXPECT_EQ(text.substr(0, first_default_section.size()), first_default_section);
  EXPECT_EQ(text.substr(text.size() - last_default_section.size()), last_default_section);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4608);
  EXPECT_EQ(text, expected_file(512));
}

TEST(ProgramRun, SameOptionsSameBytes) {
  scratch_dir dir;
  ASSERT_EQ(run_program(program, {"-p", "3000", "-o", "one.ini"}, dir.path()).status, 0);
  ASSERT_EQ(run_program(program, {"-o", "two.ini", "-p", "3000"}, dir.path()).status, 0);
  const std::string one = read_file(dir.file("one.ini"));
  EXPECT_EQ(count_sections(one), 3000u);
  EXPECT_EQ(one, read_file(dir.file("two.ini")));
  EXPECT_EQ(one, expected_file(3000));
}

TEST(ProgramRun, HelpPrintsUsageAndTouchesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"-h"}, {"--help"}, {"-p", "5", "-h"}, {"stray", "--help", "-p", "7"},
      {"-o", "other.ini", "-h", "-o"}, {"-p", "nan", "-h"}};
  for (const auto &args : cases) {
    scratch_dir dir;
    write_file(dir.file("galaxy.ini"), existing_content);
    const run_result r = run_program(program, args, dir.path());
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(read_file(dir.file("galaxy.ini")), existing_content);
    EXPECT_FALSE(file_exists(dir.file("other.ini")));
  }
}

TEST(ProgramRun, ValueOptionsConsumeTheNextArgument) {
  scratch_dir dir;
  // -o -h names the file "-h"; -o - names it "-", not standard output.
  run_result r = run_program(program, {"-o", "-h", "-p", "2"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir.file("-h")), expected_file(2));
  r = run_program(program, {"-p", "2", "--output", "-"}, dir.path());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir.file("-")), expected_file(2));
  EXPECT_FALSE(file_exists(dir.file("galaxy.ini")));
}

TEST(ProgramRun, CountConversions) {
  const std::vector<std::pair<std::string, size_t>> cases = {
      {"1e3", 1000}, {"12.9", 12}, {"0x10", 16}, {"abc", 0}, {" 7", 7},
      {"5particles", 5}, {"-0.9", 0}, {"-4", 0}, {"", 0}, {"--nbparticles", 0}};
  for (const auto &[value, sections] : cases) {
    scratch_dir dir;
    write_file(dir.file("galaxy.ini"), existing_content);
    const run_result r = run_program(program, {"--nbparticles", value}, dir.path());
    EXPECT_EQ(r.status, 0) << value;
    EXPECT_EQ(r.out, "") << value;
    const std::string text = read_file(dir.file("galaxy.ini"));
    EXPECT_EQ(count_sections(text), sections) << value;
    if (sections == 0) {
      EXPECT_EQ(text, "") << value;  // truncated, left empty
    }
  }
}

TEST(ProgramRun, LastOptionWinsAndStrayArgumentsAreSkipped) {
  scratch_dir dir;
  ASSERT_EQ(run_program(program, {"-p", "9", "out.ini", "-p", "3", "-o", "a", "-o", "b"},
                        dir.path()).status, 0);
  EXPECT_EQ(read_file(dir.file("b")), expected_file(3));
  EXPECT_FALSE(file_exists(dir.file("a")));
  EXPECT_FALSE(file_exists(dir.file("out.ini")));

  // Arguments that only begin like an option are no option.
  const run_result r = run_program(program, {"-p5", "-p=5", "--output=x", "-H"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(count_sections(read_file(dir.file("galaxy.ini"))), 512u);
  EXPECT_FALSE(file_exists(dir.file("x")));
}

TEST(ProgramRun, OutputFailures) {
  scratch_dir dir;
  run_result r = run_program(program, {"-p", "2", "-o", "missing/dir.ini"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "erreur: fopen cannot open missing/dir.ini");

  r = run_program(program, {"-p", "2", "-o", dir.path()}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "erreur: fopen cannot open " + dir.path());

  if (file_exists("/dev/full")) {
    r = run_program(program, {"-p", "2", "-o", "/dev/full"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "erreur: fwrite cannot write /dev/full");
  }
}

// Refusals must leave an existing output file exactly as it was.
void expect_refusal(const std::vector<std::string> &args, const std::string &message,
                    const std::function<void()> &in_child = {}) {
  scratch_dir dir;
  write_file(dir.file("galaxy.ini"), existing_content);
  write_file(dir.file("named.ini"), existing_content);
  const run_result r = run_program(program, args, dir.path(), in_child);
  EXPECT_TRUE(r.exited) << message;
  EXPECT_EQ(r.status, 1) << message;
  EXPECT_EQ(r.out, message);
  EXPECT_EQ(read_file(dir.file("galaxy.ini")), existing_content) << message;
  EXPECT_EQ(read_file(dir.file("named.ini")), existing_content) << message;
}

TEST(ProgramRun, CountsTheRecordCannotHoldAreRefused) {
  for (const std::string value : {"nan", "-nan", "NAN(123)"}) {
    expect_refusal({"-p", value}, "erreur: particle count " + value + " is not a number");
  }
  for (const std::string value : {"inf", "-infinity", "1e300", "2147483648", "-2147483649",
                                  "715827883", "-715827883", "3e9", "0x1p40"}) {
    expect_refusal({"-o", "named.ini", "-p", value},
                   "erreur: particle count " + value + " is out of range");
  }
}

TEST(ProgramRun, CountsBeyondPhysicalMemoryAreRefused) {
  // 700 million particles need 39.2 GB of arrays.
  if (test_support::physical_memory_is_at_least(39.2e9)) GTEST_SKIP() << "machine too large";
  expect_refusal({"-p", "700000000"},
                 "erreur: particle count 700000000 needs more memory than this machine has");
}

TEST(ProgramRun, FailedAllocationIsRefused) {
  if (test_support::under_address_sanitizer) GTEST_SKIP() << "sanitizer reserves the address space";
  // 20 million particles need 1.12 GB: more than the 256 MiB allowed here.
  expect_refusal({"-p", "2e7", "-o", "named.ini"},
                 "erreur: cannot allocate memory for 20000000 particles",
                 test_support::limit_resource(RLIMIT_AS, 256u << 20));
}

TEST(ProgramRun, ValueOptionGivenLastIsAUsageError) {
  expect_refusal({"-p"}, "erreur: option -p needs a value");
  expect_refusal({"-o", "named.ini", "--nbparticles"}, "erreur: option --nbparticles needs a value");
  expect_refusal({"-p", "3", "-o"}, "erreur: option -o needs a value");
  expect_refusal({"--output"}, "erreur: option --output needs a value");
}

TEST(Threads, DefaultSequenceGivesTheSameBytesOnAnyNumberOfThreads) {
  // The draws stay on one thread; the rest runs beside them. Many blocks,
  // and a last one that is short.
  std::srand(1);
  gal_system *sys = test_support::alloc_default_galaxy(100003);
  const std::string expected = render(write_particle_file, sys);
  free_gal_system(sys);
  scratch_dir dir;
  for (const std::string threads : {"1", "2", "3", "8"}) {
    const run_result r =
        run_program(program, {"-p", "100003", "--threads", threads, "-o", "t.ini"}, dir.path());
    EXPECT_EQ(r.status, 0) << threads;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_file(dir.file("t.ini")) == expected) << threads << " threads differ";
  }
}

TEST(Seeded, SameSeedSameBytesOnAnyNumberOfThreads) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  std::string first;
  for (const std::string threads : {"1", "2", "3", "7"}) {
    ASSERT_EQ(run_program(program, {"--seed", "12345", "--threads", threads, "-p", "30001", "-o",
                                    "s" + threads},
                          dir.path()).status, 0);
    const std::string text = read_file(dir.file("s" + threads));
    if (first.empty()) first = text;
    EXPECT_TRUE(text == first) << threads << " threads differ";
  }
  EXPECT_EQ(count_sections(first), 30001u);
  EXPECT_NE(first, expected_file(30001));
}

// The x_0 values of a particle file, in section order.
std::vector<double> first_coordinates(const std::string &text) {
  std::vector<double> values;
  for (size_t at = text.find("x_0 = "); at != std::string::npos; at = text.find("x_0 = ", at + 1)) {
    values.push_back(std::strtod(text.c_str() + at + 6, nullptr));
  }
  return values;
}

TEST(Seeded, SeedsOneBitApartGiveUnrelatedFiles) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  const int n = 20000;
  std::vector<std::vector<double>> files;
  for (const std::string seed : {"0", "1", "9223372036854775808", "18446744073709551615"}) {
    ASSERT_EQ(run_program(program, {"--seed", seed, "-p", std::to_string(n), "-o", "f"},
                          dir.path()).status, 0);
    files.push_back(first_coordinates(read_file(dir.file("f"))));
    ASSERT_EQ(files.back().size(), static_cast<size_t>(n));
  }
  // Seeds 0/1 and 0/2^63 differ by one bit; the last by all of them.
  for (size_t k = 1; k < files.size(); ++k) {
    double sxy = 0, sxx = 0, syy = 0;
    int same = 0;
    for (int i = 0; i < n; ++i) {
      sxy += files[0][i] * files[k][i];
      sxx += files[0][i] * files[0][i];
      syy += files[k][i] * files[k][i];
      same += files[0][i] == files[k][i];
    }
    EXPECT_LT(std::fabs(sxy / std::sqrt(sxx * syy)), 5.0 / std::sqrt(n)) << k;  // 5 sigma
    EXPECT_EQ(same, 0) << k;
  }
}

TEST(Seeded, FilesPassTheChecker) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  // Radius, speed and direction laws against their CDFs, and the bounds.
  scratch_dir dir;
  for (const std::string seed : {"1", "2"}) {
    ASSERT_EQ(run_program(program, {"--seed", seed, "-p", "50000", "-o", "g.ini"}, dir.path())
                  .status, 0);
    const run_result r =
        run_program(GALAXY_CHECK_PATH, {"g.ini", "--particles", "50000"}, dir.path());
    EXPECT_EQ(r.status, 0) << "seed " << seed << "\n" << r.out;
  }
}

TEST(Seeded, BadSeedsAndThreadCountsAreRefused) {
  const std::string seed_range = " is not a decimal integer from 0 to 18446744073709551615";
  for (const std::string seed : {"abc", "-1", "1.5", "18446744073709551616", "", " 1", "+1",
                                 "0x10", "1e3", "99999999999999999999999"}) {
    expect_refusal({"--seed", seed, "-o", "named.ini"}, "erreur: seed " + seed + seed_range);
  }
  for (const std::string threads : {"0", "-1", "1.5", "abc", "", "1025", "99999999999999999999"}) {
    expect_refusal({"--threads", threads},
                   "erreur: thread count " + threads + " is not an integer from 1 to 1024");
  }
  expect_refusal({"-p", "3", "--seed"}, "erreur: option --seed needs a value");
  expect_refusal({"--threads"}, "erreur: option --threads needs a value");
  // -h still wins, and a value option still takes the next argument.
  scratch_dir dir;
  EXPECT_EQ(run_program(program, {"--seed", "abc", "-h"}, dir.path()).out, usage_text);
  EXPECT_EQ(run_program(program, {"-o", "--seed", "-p", "1"}, dir.path()).status, 0);
  EXPECT_EQ(read_file(dir.file("--seed")), expected_file(1));
}

TEST(ParticleFile, FastWriterMatchesFprintfWriter) {
  for (int32_t count : {0, 1, 7, 1000, 40000}) {
    std::srand(static_cast<unsigned>(count) + 3);
    gal_system *sys = test_support::alloc_default_galaxy(count);
    ASSERT_NE(sys, nullptr);
    const std::string fast = render(write_particle_file, sys);
    EXPECT_EQ(fast, render(write_particle_file_baseline, sys)) << count;
    EXPECT_EQ(count_sections(fast), static_cast<size_t>(count));
    free_gal_system(sys);
  }
}

TEST(ParticleFile, ExtremeValuesMatchFprintfWriter) {
  // Hand-made record: values far outside what sampling gives still come out
  // as printf writes them.
  double pos[6] = {-0.0, 1e300, -DBL_MAX, 0.0000005, 123456.0000005, -1e-300};
  double vel[6] = {HUGE_VAL, -HUGE_VAL, std::nan(""), -std::nan(""), DBL_TRUE_MIN, 2.5e-7};
  double mass[2] = {1.0, 1.0};
  gal_system sys{};
  sys.nb_element = 2;
  sys.dimension = 3;
  sys.mass_element = 1.9891e39 / 0.0;
  sys.pos = pos;
  sys.vel = vel;
  sys.mass = mass;
  EXPECT_EQ(render(write_particle_file, &sys), render(write_particle_file_baseline, &sys));
}

TEST(CountCheck, Verdicts) {
  const double plenty = 1e15;
  EXPECT_EQ(check_particle_count(std::nan(""), plenty), count_not_a_number);
  EXPECT_EQ(check_particle_count(HUGE_VAL, plenty), count_out_of_range);
  EXPECT_EQ(check_particle_count(-HUGE_VAL, plenty), count_out_of_range);
  EXPECT_EQ(check_particle_count(715827882.9, plenty), count_ok);
  EXPECT_EQ(check_particle_count(715827883.0, plenty), count_out_of_range);
  EXPECT_EQ(check_particle_count(-715827882.9, plenty), count_ok);
  EXPECT_EQ(check_particle_count(-715827883.0, plenty), count_out_of_range);
  EXPECT_EQ(check_particle_count(0.0, 0.0), count_ok);
  EXPECT_EQ(check_particle_count(-5.0, 0.0), count_ok);
  // 56 bytes a particle.
  EXPECT_EQ(check_particle_count(1000.0, 56000.0), count_ok);
  EXPECT_EQ(check_particle_count(1001.0, 56000.0), count_exceeds_memory);
  EXPECT_GT(physical_memory_bytes(), 0.0);
}

TEST(ProgramRun, RandomArgumentListsExitCleanly) {
  // Argument lists assembled from options, numbers of every kind and odd
  // strings: the program must always end by itself with status 0 or 1.
  const std::vector<std::string> tokens = {
      "-p", "-o", "-h", "--nbparticles", "--output", "--help", "-p5", "-", "--", "",
      "0", "1", "3", "-1", "2.5", "1e2", "0x7", "nan", "inf", "-inf", "1e10", "-3e9",
      "715827883", "abc", " 4", "\t", "out.ini", "sub/x.ini", "-o=y", "%s%n", "é"};
  std::mt19937 rng(424242);
  for (int run = 0; run < 150; ++run) {
    std::vector<std::string> args(rng() % 7);
    for (std::string &arg : args) arg = tokens[rng() % tokens.size()];
    scratch_dir dir;
    const run_result r = run_program(program, args, dir.path());
    std::string shown;
    for (const std::string &arg : args) shown += "[" + arg + "] ";
    EXPECT_TRUE(r.exited) << shown;
    EXPECT_TRUE(r.status == 0 || r.status == 1) << shown << " -> " << r.status;
    if (r.status == 0) {
      EXPECT_TRUE(r.out.empty() || r.out == usage_text) << shown;
    } else {
      EXPECT_EQ(r.out.rfind("erreur: ", 0), 0u) << shown;
    }
  }
}

}  // namespace
