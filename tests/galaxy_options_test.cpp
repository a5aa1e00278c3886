#include "galaxy_options.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check_cli.h"
#include "checks.h"
#include "particle_reader.h"
#include "particle_text.h"
#include "random_stream.h"
#include "test_support.h"

namespace {

using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;
using test_support::write_file;

const std::string program = GALAXY_IC_PATH;
const std::string check_program = GALAXY_CHECK_PATH;

std::string render(const gal_system *sys) { return test_support::render_particle_file(sys); }

TEST(GalaxyOptions, SiValuesGiveTheDefinedFileOfThoseParameters) {
  // Mass, scale length and cut-off as the record's fixed parameters, with
  // the cut-off given and defaulting to 8 A.
  struct {
    std::vector<std::string> args;
    double a, r_max, mass;
  } cases[] = {
      {{"--mass", "3.5e41", "--scale-length", "9.257e20", "--cutoff", "2e21"}, 9.257e20, 2e21, 3.5e41},
      {{"--scale-length", "0.5"}, 0.5, 8.0 * 0.5, 1.9891e39},
      {{"--mass", "1", "--units", "si"}, 1e18, 8e18, 1.0},
  };
  scratch_dir dir;
  for (const auto &c : cases) {
    std::vector<std::string> args = c.args;
    for (const char *more : {"-p", "5000", "-o", "g.ini"}) args.push_back(more);
    const run_result r = run_program(program, args, dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    std::srand(1);
    gal_system *sys = alloc_gal_system(5000, c.a, c.r_max, c.mass, 1000.0 / 1000, 1000.0);
    EXPECT_TRUE(read_file(dir.file("g.ini")) == render(sys)) << args[1];
    free_gal_system(sys);
  }
}

TEST(GalaxyOptions, RefusalsBuildNothingAndTouchNoFile) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"--mass", "0"}, "erreur: mass 0 is not a finite number above 0"},
      {{"--mass", "-1e30"}, "erreur: mass -1e30 is not a finite number above 0"},
      {{"--scale-length", "inf"}, "erreur: scale length inf is not a finite number above 0"},
      {{"--cutoff", "nan"}, "erreur: cut-off nan is not a finite number above 0"},
      {{"--cutoff", "3kpc"}, "erreur: cut-off 3kpc is not a finite number above 0"},
      {{"--units", "gadget", "--mass", "1e300"}, "erreur: mass 1e300 lies beyond the range of a double in SI units"},
      {{"--units", "parsec"}, "erreur: unit system parsec is not si, cgs, astro, gadget or model"},
      {{"--units", "model", "--mass", "2"},
       "erreur: --mass has no meaning with --units model, whose units are the galaxy's own mass and scale length"},
      {{"--units", "model", "--scale-length", "2"},
       "erreur: --scale-length has no meaning with --units model, whose units are the galaxy's own mass and "
       "scale length"},
      {{"--centre", "1,2"}, "erreur: centre 1,2 is not three finite numbers X,Y,Z"},
      {{"--bulk-velocity", "1,2,inf"}, "erreur: bulk velocity 1,2,inf is not three finite numbers VX,VY,VZ"},
      {{"--units"}, "erreur: option --units needs a value"},
  };
  for (const auto &[args, message] : refusals) {
    scratch_dir dir;
    write_file(dir.file("galaxy.ini"), "keep me\n");
    const run_result r = run_program(program, args, dir.path());
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(read_file(dir.file("galaxy.ini")), "keep me\n") << message;
  }
}

run_result check(const std::string &dir, std::vector<std::string> args) {
  return run_program(check_program, args, dir);
}

TEST(GalaxyOptions, CheckerPassesEverySystemAndFailsAWrongScale) {
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  const std::vector<std::string> model = {"--mass", "2e12", "--scale-length", "40", "--cutoff", "200"};
  for (const std::string units : {"si", "cgs", "astro", "gadget", "model"}) {
    std::vector<std::string> args = {"-p", "4000", "--seed", "5", "--units", units, "-o", "g.ini"};
    std::vector<std::string> checking = {"g.ini", "--units", units};
    if (units == "astro") {
      args.insert(args.end(), model.begin(), model.end());
      checking.insert(checking.end(), model.begin(), model.end());
    }
    ASSERT_EQ(run_program(program, args, dir.path()).status, 0) << units;
    const run_result r = check(dir.path(), checking);
    EXPECT_EQ(r.status, 0) << units << "\n" << r.out;
  }
  // The astro file read as SI, or against the default model.
  const run_result as_si = check(dir.path(), {"g.ini", "--units", "si"});
  EXPECT_EQ(as_si.status, 1);
  EXPECT_NE(as_si.out.find("total mass"), std::string::npos);
  ASSERT_EQ(run_program(program, {"-p", "4000", "--seed", "5", "--mass", "2e39", "-o", "m.ini"}, dir.path()).status, 0);
  EXPECT_EQ(check(dir.path(), {"m.ini"}).status, 1);
  EXPECT_EQ(check(dir.path(), {"m.ini", "--total-mass", "2e39"}).status, 0);
  const run_result refused = check(dir.path(), {"m.ini", "--units", "model", "--mass", "1"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("--mass has no meaning with --units model"), std::string::npos) << refused.err;
}

check_line line_named(const check_result &result, const std::string &name) {
  for (const check_line &line : result.lines) {
    if (line.name == name) return line;
  }
  return {name, "missing", verdict_fail};
}

TEST(GalaxyOptions, ZeroComFilesAreCheckedAsSuch) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  ASSERT_EQ(run_program(program, {"-p", "20000", "--seed", "9", "--zero-com", "--centre", "1e19,0,0",
                                  "--bulk-velocity", "0,3e4,0", "-o", "z.ini"},
                        dir.path())
                .status,
            0);
  particle_data data;
  read_error error;
  std::FILE *in = std::fopen(dir.file("z.ini").c_str(), "r");
  ASSERT_TRUE(read_particle_stream(in, &data, &error));
  std::fclose(in);
  check_options options;
  options.model.zero_com = true;
  options.model.centre[0] = 1e19;
  options.model.bulk_velocity[1] = 3e4;
  const check_result passed = run_checks(data, options);
  for (const check_line &line : passed.lines) EXPECT_NE(line.verdict, verdict_fail) << line.name << " " << line.figure;
  // Moved by 1e-6 a, far below the statistical test's reach: caught.
  for (int64_t i = 0; i < data.nb_element; ++i) data.pos[3 * i + 2] += 1e12;
  EXPECT_EQ(line_named(run_checks(data, options), "centre of mass").verdict, verdict_fail);
  options.model.zero_com = false;
  EXPECT_EQ(line_named(run_checks(data, options), "centre of mass").verdict, verdict_pass);
  // Moving by 1 mm/s is caught too.
  options.model.zero_com = true;
  for (int64_t i = 0; i < data.nb_element; ++i) {
    data.pos[3 * i + 2] -= 1e12;
    data.vel[3 * i] += 1e-3;
  }
  const check_result moving = run_checks(data, options);
  EXPECT_EQ(line_named(moving, "centre of mass").verdict, verdict_pass);
  EXPECT_EQ(line_named(moving, "net momentum").verdict, verdict_fail);
}

}  // namespace

namespace {

TEST(GalaxyOptions, ProfileRefusalsSayWhy) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"--profile", "nfw"}, "erreur: profile nfw cannot be made: its mass diverges (beta <= 3): give it a taper with --cutoff"},
      {{"--profile", "zhao:1,4,3"},
       "erreur: profile zhao:1,4,3 cannot be made: its density is not integrable at the centre (gamma >= 3)"},
      {{"--profile", "king"}, "erreur: profile king is not hernquist, plummer, jaffe, dehnen:G, nfw or zhao:A,B,G"},
      {{"--profile", "plummer", "--equilibrium"},
       "erreur: --profile and --equilibrium contradict: a profile is made in equilibrium, --equilibrium is the "
       "Hernquist law of the defined radii"},
      {{"--anisotropy-radius", "1e18"}, "erreur: --anisotropy-radius needs --profile"},
      {{"--profile", "hernquist", "--cutoff-strength", "0"}, "erreur: cut-off strength 0 is not a finite number above 0"},
      // Values a double holds whose speeds or times it does not.
      {{"--scale-length", "1e-300"},
       "erreur: the galaxy's G M / a is inf, beyond what a double holds: choose another mass, scale length or cut-off"},
      {{"--scale-length", "1e300", "--profile", "hernquist"},
       "erreur: the galaxy's time unit sqrt(a^3 / (G M)) is inf, beyond what a double holds: choose another mass, "
       "scale length or cut-off"},
      {{"--mass", "1e-300"},
       "erreur: the galaxy's G M / a is 0, beyond what a double holds: choose another mass, scale length or cut-off"},
      // Densities the tables cannot hold, refused in bounded time.
      {{"--profile", "zhao:0.001,4,1"}, "erreur: profile zhao:0.001,4,1 cannot be made: more than 1e-10 of its mass "
                                        "lies beyond 1e30 a, where the tables end"},
      {{"--profile", "dehnen:2.9"}, "erreur: profile dehnen:2.9 cannot be made: more than 1e-10 of its mass lies "
                                    "inside 1e-30 a, where the tables end"},
  };
  for (const auto &[args, message] : refusals) {
    scratch_dir dir;
    const run_result r = run_program(program, args, dir.path());
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, message);
    EXPECT_FALSE(test_support::file_exists(dir.file("galaxy.ini"))) << message;
  }
  // Too radial for a Plummer core: the energy and the smallest r_a that works.
  scratch_dir dir;
  const run_result r = run_program(program, {"--profile", "plummer", "--units", "model", "--anisotropy-radius", "0.5"},
                                   dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("erreur: profile plummer cannot be made: the distribution function is negative at energy ", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("the smallest anisotropy radius that works is 0.75"), std::string::npos) << r.out;
  EXPECT_FALSE(test_support::file_exists(dir.file("galaxy.ini")));
}

TEST(GalaxyOptions, ProfileFilesAreTheSameOnAnyNumberOfThreads) {
  scratch_dir dir;
  std::string first;
  for (const std::string threads : {"1", "2", "3"}) {
    // The default sequence: draws in order on one thread, finished on the others.
    const run_result r = run_program(
        program, {"-p", "20001", "--profile", "dehnen:1.5", "--anisotropy-radius", "2e18", "--threads", threads, "-o", "p.ini"},
        dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string text = read_file(dir.file("p.ini"));
    if (first.empty()) first = text;
    EXPECT_TRUE(text == first) << "threads " << threads;
  }
}

TEST(GalaxyOptions, ProfileFilesPassTheirModelAndFailAnother) {
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  const std::vector<std::string> model = {"--profile", "plummer", "--anisotropy-radius", "1.5", "--units", "model"};
  std::vector<std::string> args = {"-p", "20000", "--seed", "8", "-o", "p.ini"};
  args.insert(args.end(), model.begin(), model.end());
  ASSERT_EQ(run_program(program, args, dir.path()).status, 0);
  std::vector<std::string> checking = {"p.ini"};
  checking.insert(checking.end(), model.begin(), model.end());
  const run_result right = check(dir.path(), checking);
  EXPECT_EQ(right.status, 0) << right.out << right.err;
  EXPECT_NE(right.out.find("velocity radial cosine"), std::string::npos);
  // The same file held against an isotropic Plummer: its orbits are too radial.
  const run_result isotropic = check(dir.path(), {"p.ini", "--profile", "plummer", "--units", "model"});
  EXPECT_EQ(isotropic.status, 1);
  const size_t at = isotropic.out.find("  speed distribution");
  ASSERT_NE(at, std::string::npos);
  const std::string line = isotropic.out.substr(at, isotropic.out.find('\n', at) - at);
  EXPECT_EQ(line.substr(line.size() - 4), "FAIL") << line;
}

}  // namespace

namespace {

// A sphere whose mean square radius diverges: --zero-com centres the
// particles within its r90 and stops the whole from drifting, in every
// format, and galaxy-check finds the same centre.
TEST(GalaxyOptions, ZeroComCentresTheBulkOfAModelWithoutAFiniteSpread) {
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  const std::vector<std::string> model = {"--profile", "hernquist", "--units", "model", "--zero-com"};
  for (const std::string format : {"ini", "gadget2", "tipsy"}) {
    std::vector<std::string> args = {"-p", "30000", "--seed", "4", "--format", format, "-o", "z." + format};
    args.insert(args.end(), model.begin(), model.end());
    const run_result made = run_program(program, args, dir.path());
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_NE(made.err.find("within 18.4868 a (90 % of the mass)"), std::string::npos) << made.err;
    std::vector<std::string> checking = {"z." + format};
    checking.insert(checking.end(), model.begin(), model.end());
    const run_result checked = check(dir.path(), checking);
    EXPECT_EQ(checked.status, 0) << format << "\n" << checked.out;
  }
  particle_data data;
  read_error error;
  std::FILE *in = std::fopen(dir.file("z.ini").c_str(), "r");
  ASSERT_TRUE(read_particle_stream(in, &data, &error));
  std::fclose(in);
  double inner[3] = {0, 0, 0}, all[3] = {0, 0, 0}, velocity[3] = {0, 0, 0};
  size_t count = 0;
  for (int64_t i = 0; i < data.nb_element; ++i) {
    const double *x = &data.pos[3 * i];
    const bool in_r90 = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]) < 18.4868;
    count += in_r90;
    for (int k = 0; k < 3; ++k) {
      inner[k] += in_r90 ? x[k] : 0.0;
      all[k] += x[k] / data.nb_element;
      velocity[k] += data.vel[3 * i + k] / data.nb_element;
    }
  }
  for (int k = 0; k < 3; ++k) {
    // The cusp at the origin, to a particle crossing r90 as the file rounds;
    // the mean velocity 0; the far few off-centre, as they are.
    EXPECT_LT(std::fabs(inner[k] / count), 2 * 18.4868 / count) << k;
    EXPECT_LT(std::fabs(velocity[k]), 1e-12) << k;
  }
  EXPECT_GT(std::sqrt(all[0] * all[0] + all[1] * all[1] + all[2] * all[2]), 0.05);
}

// Every model of a grid of extreme shapes is refused with a reason or made,
// within a bound on its time, and then passes galaxy-check.
TEST(GalaxyOptions, ExtremeModelsAreRefusedOrMadeAndPass) {
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  const std::vector<std::vector<std::string>> grid = {
      {"--profile", "zhao:0.001,4,1"}, {"--profile", "zhao:100,5,0"},     {"--profile", "zhao:0.1,4,1"},
      {"--profile", "zhao:10,5,1"},    {"--profile", "zhao:0.5,12,0"},    {"--profile", "zhao:1,3.01,2.9"},
      {"--profile", "dehnen:2.99"},    {"--profile", "zhao:4,30,0.5"},    {"--profile", "nfw", "--cutoff", "1e-3"},
      {"--profile", "nfw", "--cutoff", "1e6"},
      {"--profile", "plummer", "--cutoff", "3", "--cutoff-strength", "0.5"},
      {"--profile", "jaffe", "--cutoff", "0.1", "--cutoff-strength", "4"},
      {"--profile", "hernquist", "--cutoff", "30", "--cutoff-strength", "20"},
      {"--profile", "nfw", "--cutoff", "10", "--anisotropy-radius", "0.3"},
      {"--profile", "hernquist", "--anisotropy-radius", "1e-3"}};
  scratch_dir dir;
  const auto limited = [] { alarm(60); };  // a hang ends as a signal, a failure
  for (const std::vector<std::string> &shape : grid) {
    std::vector<std::string> args = {"-p", "3000", "--seed", "2", "--units", "model", "-o", "x.ini"};
    args.insert(args.end(), shape.begin(), shape.end());
    std::string label;
    for (const std::string &word : shape) label += word + " ";
    std::remove(dir.file("x.ini").c_str());
    const run_result made = run_program(program, args, dir.path(), limited);
    ASSERT_TRUE(made.exited) << label << "signal " << made.signal;
    if (made.status != 0) {
      EXPECT_EQ(made.status, 1) << label;
      EXPECT_EQ(made.out.rfind("erreur: ", 0), 0u) << label << made.out;
      EXPECT_FALSE(test_support::file_exists(dir.file("x.ini"))) << label;
      continue;
    }
    std::vector<std::string> checking = {"x.ini", "--units", "model"};
    checking.insert(checking.end(), shape.begin(), shape.end());
    const run_result checked = check(dir.path(), checking);
    EXPECT_EQ(checked.status, 0) << label << "\n" << checked.out;
  }
}

}  // namespace
