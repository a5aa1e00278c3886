#include "galaxy_plan.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "check_cli.h"
#include "galaxy_file.h"
#include "particle_reader.h"
#include "random_stream.h"
#include "test_support.h"

namespace {

using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;
using test_support::write_file;

const std::string generator = GALAXY_IC_PATH;
const std::string checker = GALAXY_CHECK_PATH;

component_description part(const std::string &name, double mass, int64_t particles = -1) {
  component_description c;
  c.name = name;
  c.mass = mass;
  c.particles = particles;
  return c;
}

TEST(GalaxyPlan, CountsShareTheGalaxysByMassOrFollowTheParticleMass) {
  galaxy_description g;
  g.components = {part("a", 1.0), part("b", 2.0), part("c", 4.0)};
  g.particles = 100;
  std::vector<int64_t> counts;
  std::string why;
  ASSERT_TRUE(count_components(g, &counts, &why)) << why;
  // 14.29, 28.57, 57.14: the largest remainders take the one left over.
  EXPECT_EQ(counts, (std::vector<int64_t>{14, 29, 57}));
  g.components[2].particles = 7;  // its own: the others share the rest
  ASSERT_TRUE(count_components(g, &counts, &why)) << why;
  EXPECT_EQ(counts, (std::vector<int64_t>{31, 62, 7}));
  g.components[2].particles = -1;
  g.particle_mass = 0.5;
  ASSERT_TRUE(count_components(g, &counts, &why)) << why;
  EXPECT_EQ(counts, (std::vector<int64_t>{2, 4, 8}));
  g.particle_mass = 3.0;  // a of mass 1 would hold no particle
  EXPECT_FALSE(count_components(g, &counts, &why));
  EXPECT_EQ(why, "component a would have no particle of the galaxy's particle mass");
  g.particle_mass = 0.0;
  g.particles = 3;
  g.components[0].mass = 1e-6;
  EXPECT_FALSE(count_components(g, &counts, &why));
  EXPECT_EQ(why.rfind("component a has no particles", 0), 0u) << why;
  g.particles = -1;
  EXPECT_FALSE(count_components(g, &counts, &why));
  EXPECT_EQ(why.rfind("component a has no particle count", 0), 0u) << why;
}

const char *milky_way = R"(units = "astro"
seed = 3
particles = 60000
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
[[component]]
name = "bulge"
role = "bulge"
profile = "hernquist"
mass = 2e10
scale_length = 0.7
[black_hole]
mass = 4e6
)";

// The galaxy made, then held against its galaxy file: every line passes;
// its bulge made 10 % too fast fails its own lines, and nothing of the halo's.
TEST(GalaxyPlan, AGalaxyOfComponentsPassesAndATooFastBulgeFails) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  write_file(dir.file("mw.toml"), milky_way);
  run_result r = run_program(generator, {"--galaxy", "mw.toml", "-o", "mw.ini"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  r = run_program(checker, {"mw.ini", "--galaxy", "mw.toml"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("bulge: Jeans equation"), std::string::npos);
  EXPECT_NE(r.out.find("black hole"), std::string::npos);
  particle_data data;
  read_error error;
  std::FILE *in = std::fopen(dir.file("mw.ini").c_str(), "r");
  ASSERT_TRUE(read_particle_stream(in, &data, &error));
  std::fclose(in);
  ASSERT_EQ(data.nb_element, 60001);
  // The halo's 58824 particles (1e12 of 1.02e12 by mass), the bulge's 1176, the hole last.
  EXPECT_EQ(data.mass[0], data.mass[58823]);
  EXPECT_NE(data.mass[58823], data.mass[58824]);
  EXPECT_EQ(data.mass[58824], data.mass[59999]);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(data.pos[3 * 60000 + k], 0.0);
  // The bulge's velocity lines, each value 1.1 times, in the shortest form.
  std::string text = read_file(dir.file("mw.ini")), fast;
  long element = -1;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    if (line.rfind("[element", 0) == 0) element = std::stol(line.substr(8));
    if (line.rfind("v_", 0) == 0 && element >= 58824 && element < 60000) {
      char value[32];
      const double v = std::stod(line.substr(6)) * 1.1;
      line = line.substr(0, 6) + std::string(value, std::to_chars(value, value + sizeof value, v).ptr);
    }
    fast += line + "\n";
    at = end + 1;
  }
  write_file(dir.file("fast.ini"), fast);
  r = run_program(checker, {"fast.ini", "--galaxy", "mw.toml"}, dir.path());
  EXPECT_EQ(r.status, 1);
  const size_t at = r.out.find("bulge: verdict");
  EXPECT_EQ(r.out.substr(r.out.find('\n', at) - 4, 4), "FAIL") << r.out;
  const size_t halo = r.out.find("halo: verdict");
  EXPECT_EQ(r.out.substr(r.out.find('\n', halo) - 4, 4), "PASS") << r.out;
}

// Under zero_com a few heavy halo particles move the mean well off the
// centre a compact bulge was made about: its virial ratio is taken about
// that centre (about the mean it came out 2.4, 11 sigma).
TEST(GalaxyPlan, AZeroComBulgeIsJudgedAboutItsOwnCentre) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  std::string galaxy = milky_way;
  galaxy.replace(galaxy.find("particles = 60000\n"), 18, "zero_com = true\n");
  galaxy.replace(galaxy.find("cutoff = 300\n"), 13, "cutoff = 300\nparticles = 3000\n");
  galaxy.replace(galaxy.find("scale_length = 0.7\n"), 19, "scale_length = 0.2\nparticles = 20000\n");
  write_file(dir.file("zc.toml"), galaxy);
  run_result r = run_program(generator, {"--galaxy", "zc.toml", "-o", "zc.ini"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  r = run_program(checker, {"zc.ini", "--galaxy", "zc.toml"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  const size_t at = r.out.find("bulge: virial ratio 2K/|W|");
  ASSERT_NE(at, std::string::npos) << r.out;
  const double ratio = std::stod(r.out.substr(r.out.find_first_of("0123456789", at + 26)));
  EXPECT_NEAR(ratio, 1.0, 0.1) << r.out.substr(at, 120);
}

// The same bytes on any number of threads, for the default sequence too;
// a galaxy file of one component is the --profile run it describes.
TEST(GalaxyPlan, SameBytesOnAnyThreadsAndALoneComponentIsItsProfile) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  std::string unseeded = milky_way;
  unseeded.replace(unseeded.find("seed = 3\n"), 9, "");
  write_file(dir.file("mw.toml"), milky_way);
  write_file(dir.file("rand.toml"), unseeded);
  for (const std::string file : {"mw.toml", "rand.toml"}) {
    std::string first;
    for (const std::string threads : {"1", "2", "3"}) {
      const run_result r = run_program(generator, {"--galaxy", file, "-p", "20000", "--threads", threads, "-o", "t.ini"}, dir.path());
      ASSERT_EQ(r.status, 0) << r.out;
      const std::string text = read_file(dir.file("t.ini"));
      if (first.empty()) first = text;
      EXPECT_TRUE(text == first) << file << " threads " << threads;
    }
  }
  write_file(dir.file("one.toml"),
             "units = \"astro\"\nseed = 9\nparticles = 5000\n[[component]]\nrole = \"halo\"\nprofile = \"nfw\"\n"
             "mass = 1e12\nscale_length = 20\ncutoff = 300\ncutoff_strength = 1.5\nanisotropy_radius = 40\n");
  ASSERT_EQ(run_program(generator, {"--galaxy", "one.toml", "-o", "file.ini"}, dir.path()).status, 0);
  ASSERT_EQ(run_program(generator, {"--profile", "nfw", "--units", "astro", "--seed", "9", "-p", "5000", "--mass", "1e12",
                                    "--scale-length", "20", "--cutoff", "300", "--cutoff-strength", "1.5",
                                    "--anisotropy-radius", "40", "-o", "options.ini"},
                        dir.path())
                .status,
            0);
  EXPECT_TRUE(read_file(dir.file("file.ini")) == read_file(dir.file("options.ini")));
}

// Combinations that have no equilibrium are refused before anything is
// made, naming the component and what would work.
TEST(GalaxyPlan, CompositesWithoutAnEquilibriumAreRefused) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  const std::string head = "units = \"astro\"\nparticles = 1000\n[[component]]\nname = \"halo\"\nrole = \"halo\"\n"
                           "profile = \"nfw\"\nmass = 1e12\nscale_length = 20\ncutoff = 300\n[[component]]\n";
  struct refusal {
    std::string body, message;
  };
  const std::vector<refusal> refusals = {
      {"name = \"stars\"\nrole = \"stars\"\nprofile = \"plummer\"\nmass = 1e9\nscale_length = 1\n[black_hole]\nmass = 1e6\n",
       "; a core (gamma 0.00 < 1/2) has no equilibrium around a black hole of any mass"},
      {"name = \"bulge\"\nrole = \"bulge\"\nprofile = \"dehnen:0\"\nmass = 1e10\nscale_length = 1\n[black_hole]\nmass = 1e3\n",
       "component bulge (profile dehnen:0) cannot be made in the joint potential: the distribution function is negative"},
      {"name = \"bulge\"\nrole = \"bulge\"\nprofile = \"hernquist\"\nmass = 1e10\nscale_length = 1\n"
       "anisotropy_radius = 0.05\n",
       "the smallest anisotropy radius that works is"},
      {"name = \"bulge\"\nrole = \"bulge\"\nprofile = \"hernquist\"\nmass = 1e4\nscale_length = 1\n",
       "erreur: galaxy file g.toml: component bulge has no particles"},
      {"name = \"bulge\"\nrole = \"bulge\"\nprofile = \"hernquist\"\nmass = 0\nscale_length = 1\n",
       "erreur: galaxy file g.toml:14: key component[1].mass: needs a finite number above 0"},
  };
  for (const refusal &e : refusals) {
    scratch_dir dir;
    write_file(dir.file("g.toml"), head + e.body);
    const run_result r = run_program(generator, {"--galaxy", "g.toml"}, dir.path());
    EXPECT_EQ(r.status, 1) << e.body;
    EXPECT_NE(r.out.find(e.message), std::string::npos) << r.out;
    EXPECT_EQ(r.out.rfind("erreur: ", 0), 0u) << r.out;
    EXPECT_FALSE(test_support::file_exists(dir.file("galaxy.ini")));
  }
  scratch_dir dir;
  write_file(dir.file("g.toml"), head + "name = \"b\"\nrole = \"bulge\"\nprofile = \"hernquist\"\nmass = 1e10\nscale_length = 1\n");
  const run_result r = run_program(generator, {"--galaxy", "g.toml", "--mass", "1e12"}, dir.path());
  EXPECT_EQ(r.out, "erreur: --mass has no place beside --galaxy, whose file describes the galaxy");
}

}  // namespace

// Beside a disc, the isotropic spheroids' velocities are stretched to the
// flattened potential; an Osipkov-Merritt one and the disc itself are not,
// and a galaxy without a disc has no stretch at all.
TEST(GalaxyPlan, IsotropicSpheroidsBesideADiscAreStretched) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  const std::string spheroids =
      "units = \"astro\"\nseed = 2\n[[component]]\nname = \"halo\"\nrole = \"halo\"\nprofile = \"nfw\"\nmass = 1e12\n"
      "scale_length = 20\ncutoff = 300\nparticles = 100\n";
  const std::string bulge = "[[component]]\nname = \"bulge\"\nrole = \"bulge\"\nprofile = \"hernquist\"\n"
                            "mass = 1e10\nscale_length = 0.7\nanisotropy_radius = 2\nparticles = 100\n";
  const std::string disc = "[[component]]\nname = \"disc\"\nrole = \"disc\"\nmass = 5e10\nscale_length = 3\n"
                           "scale_height = 0.3\nparticles = 100\n";
  for (const bool with_disc : {true, false}) {
    std::string why;
    galaxy_description d;
    ASSERT_TRUE(parse_galaxy_text(spheroids + (with_disc ? disc : "") + bulge, "g.toml", &d, &why)) << why;
    std::vector<int64_t> counts;
    ASSERT_TRUE(count_components(d, &counts, &why)) << why;
    generation_plan plan;
    galaxy_tables tables;
    double radius_max = 0.0;
    ASSERT_TRUE(prepare_galaxy(d, parameters_of(d), counts, &plan, &tables, &radius_max, nullptr));
    ASSERT_EQ(plan.components.size(), with_disc ? 3u : 2u);
    EXPECT_EQ(plan.components[0].flattening != nullptr, with_disc);
    for (size_t c = 1; c < plan.components.size(); ++c) EXPECT_EQ(plan.components[c].flattening, nullptr);
  }
}
