#include "galaxy_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::string milky_way = R"(units = "astro"
seed = 7
particles = 1000000
zero_com = true

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
mass = 1e10
scale_length = 0.7
anisotropy_radius = 1.5
type = 3

[black_hole]
mass = 4e6
)";

TEST(GalaxyFile, ReadsEveryFieldInSI) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  std::string why;
  galaxy_description g;
  ASSERT_TRUE(parse_galaxy_text(milky_way, "mw.toml", &g, &why)) << why;
  EXPECT_EQ(g.units, units_astro);
  EXPECT_TRUE(g.seeded && g.seed == 7 && g.particles == 1000000 && g.zero_com);
  ASSERT_EQ(g.components.size(), 2u);
  const component_description &halo = g.components[0], &bulge = g.components[1];
  EXPECT_EQ(halo.name, "halo");
  EXPECT_EQ(halo.role, role_halo);
  EXPECT_DOUBLE_EQ(halo.mass, 1e12 * solar_mass);
  EXPECT_DOUBLE_EQ(halo.scale_length, 20 * kiloparsec);
  EXPECT_DOUBLE_EQ(halo.law.taper_radius, 15.0);  // in scale lengths
  EXPECT_EQ(halo.law.beta, 3.0);
  EXPECT_EQ(halo.line, 6);
  EXPECT_EQ(bulge.type, 3);
  EXPECT_DOUBLE_EQ(bulge.anisotropy_radius, 1.5 * kiloparsec);
  EXPECT_DOUBLE_EQ(g.black_hole_mass, 4e6 * solar_mass);
  EXPECT_EQ(g.text, milky_way);
  // A seed beyond 2^63 as a string; model units' lone component of mass 1.
  ASSERT_TRUE(parse_galaxy_text("units = \"model\"\nseed = \"18446744073709551615\"\n[[component]]\nrole = \"stars\"\n"
                                "profile = \"plummer\"\n",
                                "m.toml", &g, &why))
      << why;
  EXPECT_EQ(g.seed, 18446744073709551615ull);
  EXPECT_EQ(g.components[0].name, "component 1");
}

const std::string with_disc = R"(units = "astro"
particles = 1000
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
[[component]]
name = "disc"
role = "disc"
mass = 5e10
scale_length = 3
scale_height = 0.3
)";

// A disc's own keys: defaults in its scale length, and each refused with
// its line (its geometry here; its kinematics need the potential).
TEST(GalaxyFile, ReadsADiscsKeysAndRefusesItsBadOnes) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  std::string why;
  galaxy_description g;
  ASSERT_TRUE(parse_galaxy_text(with_disc, "d.toml", &g, &why)) << why;
  const component_description &d = g.components[1];
  EXPECT_EQ(d.role, role_disc);
  EXPECT_EQ(d.profile, "disc");
  EXPECT_DOUBLE_EQ(d.scale_height, 0.3 * kiloparsec);
  EXPECT_EQ(d.vertical, vertical_sech2);
  EXPECT_DOUBLE_EQ(d.truncation, 30 * kiloparsec);
  EXPECT_DOUBLE_EQ(d.truncation_width, 6 * kiloparsec);
  EXPECT_DOUBLE_EQ(d.q_radius, 3 * 2.4 * kiloparsec);
  EXPECT_EQ(d.toomre_q, 1.5);
  struct edit {
    std::string from, to, message;
  };
  const std::vector<edit> edits = {
      {"scale_height = 0.3", "", "d.toml:10: key component[1].scale_height: is missing"},
      {"scale_height = 0.3", "scale_height = 3", "d.toml:15: key component[1].scale_height: needs to be below scale_length"},
      {"scale_height = 0.3", "scale_height = 0.3\nvertical = \"gauss\"", "d.toml:16: key component[1].vertical: needs sech2 or"},
      {"scale_height = 0.3", "scale_height = 0.3\ntoomre_q = 0", "d.toml:16: key component[1].toomre_q: needs a finite number above 0"},
      {"scale_height = 0.3", "scale_height = 0.3\ntruncation = 5\ntruncation_width = 5",
       "d.toml:17: key component[1].truncation_width: needs to be below the truncation radius"},
      {"scale_height = 0.3", "scale_height = 0.3\nq_radius = 25", "d.toml:16: key component[1].q_radius: needs to lie inside"},
      {"scale_height = 0.3", "scale_height = 0.3\ncutoff = 30", "d.toml:16: key component[1].cutoff: is not a key"},
      {"scale_height = 0.3", "scale_height = 0.3\nprofile = \"nfw\"", "d.toml:16: key component[1].profile: is not a key"},
      {"cutoff = 300", "cutoff = 300\ntoomre_q = 1", "d.toml:10: key component[0].toomre_q: is not a key"},
  };
  for (const edit &e : edits) {
    std::string text = with_disc;
    text.replace(text.find(e.from), e.from.size(), e.to);
    EXPECT_FALSE(parse_galaxy_text(text, "d.toml", &g, &why)) << e.to;
    EXPECT_EQ(why.rfind(e.message, 0), 0u) << e.to << "\n  gives: " << why;
  }
}

// Every key refused with its line, for a wrong type, an unknown key, a
// value out of range or a missing field: each made by changing one line
// of a good file.
TEST(GalaxyFile, RefusesEachBadLineWithItsLineAndKey) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  struct edit {
    std::string from, to, message;
  };
  const std::vector<edit> edits = {
      {"seed = 7", "seed = -1", "g.toml:2: key seed: needs a whole number of at least 0"},
      {"seed = 7", "seed = \"12x\"", "g.toml:2: key seed: needs a whole number from 0 to 18446744073709551615"},
      {"particles = 1000000", "particles = 0", "g.toml:3: key particles: needs a whole number of at least 1"},
      {"particles = 1000000", "particles = 2.5", "g.toml:3: key particles: needs a whole number"},
      {"zero_com = true", "zero_com = 1", "g.toml:4: key zero_com: needs true or false"},
      {"zero_com = true", "zero_kom = true", "g.toml:4: key zero_kom: is not a key of a galaxy file here"},
      {"units = \"astro\"", "units = \"imperial\"", "g.toml:1: key units: needs si, cgs, astro, gadget or model"},
      {"mass = 1e12", "mass = -1e12", "g.toml:10: key component[0].mass: needs a finite number above 0"},
      {"mass = 1e12", "mass = \"1e12\"", "g.toml:10: key component[0].mass: needs a number"},
      {"mass = 1e12", "mass = inf", "g.toml:10: key component[0].mass: needs a finite number above 0"},
      {"mass = 1e12", "masse = 1e12", "g.toml:10: key component[0].masse: is not a key of a galaxy file here"},
      {"profile = \"nfw\"", "profile = \"nfv\"", "g.toml:9: key component[0].profile: profile nfv is not"},
      {"role = \"halo\"", "role = \"disk\"", "g.toml:8: key component[0].role: needs halo, bulge, stars or disc"},
      {"role = \"halo\"", "role = \"disc\"", "g.toml:12: key component[0].cutoff: is not a key of a galaxy file here"},
      {"type = 3", "type = 0", "g.toml:21: key component[1].type: needs a whole number of at least 1"},
      {"type = 3", "type = 6", "g.toml:21: key component[1].type: needs a particle type from 1 to 5"},
      {"name = \"bulge\"", "name = \"halo\"", "g.toml:15: key component[1].name: \"halo\" names another"},
      {"name = \"bulge\"", "name = \"\"", "g.toml:15: key component[1].name: needs a name that is not empty"},
      {"scale_length = 0.7", "", "g.toml:14: key component[1].scale_length: is missing"},
      {"mass = 4e6", "mass = 4e6\nspin = 0.3", "g.toml:25: key black_hole.spin: is not a key of a galaxy file here"},
      {"zero_com = true", "zero_com = true\ncentre = [1, 2]", "g.toml:5: key centre: needs three numbers"},
      {"zero_com = true", "zero_com = true\ncentre = [1, 2, \"x\"]", "g.toml:5: key centre: needs three finite numbers"},
      {"zero_com = true", "zero_com = true\ncentre = [1, 2, 3", "g.toml:7: Error while parsing array"},
  };
  for (const edit &e : edits) {
    std::string text = milky_way;
    const size_t at = text.find(e.from);
    ASSERT_NE(at, std::string::npos) << e.from;
    text.replace(at, e.from.size(), e.to);
    std::string why;
    galaxy_description g;
    EXPECT_FALSE(parse_galaxy_text(text, "g.toml", &g, &why)) << e.to;
    EXPECT_EQ(why.rfind(e.message, 0), 0u) << e.to << "\n  gives: " << why;
  }
  std::string why;
  galaxy_description g;
  EXPECT_FALSE(parse_galaxy_text("seed = 1\n", "g.toml", &g, &why));
  EXPECT_EQ(why, "g.toml:1: key component: is missing: a galaxy needs a [[component]]");
}

// Text that is not TOML at all, binary bytes, or far too much of it: a
// refusal, never a crash.
TEST(GalaxyFile, HostileTextIsRefused) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  std::string noise;
  uint32_t state = 12345;
  for (int i = 0; i < 4096; ++i) {
    state = state * 1664525u + 1013904223u;
    noise.push_back(static_cast<char>(state >> 24));
  }
  for (const std::string &text : {noise, std::string("[[component]]\n") + noise, std::string(100000, '['),
                                  std::string("a = ") + std::string(50000, '['), std::string("\0\0\0", 3)}) {
    std::string why;
    galaxy_description g;
    EXPECT_FALSE(parse_galaxy_text(text, "h.toml", &g, &why));
    EXPECT_EQ(why.rfind("h.toml:", 0), 0u) << why;
  }
  std::string why;
  galaxy_description g;
  EXPECT_FALSE(read_galaxy_file("/nonexistent/g.toml", &g, &why));
  EXPECT_EQ(why, "/nonexistent/g.toml: cannot be opened");
  EXPECT_FALSE(read_galaxy_file("/dev/zero", &g, &why));
  EXPECT_EQ(why, "/dev/zero: is larger than a galaxy file can be (1 MiB)");
}

}  // namespace

namespace {

constexpr double degree = 3.14159265358979323846 / 180.0;

std::string encounter_text(const std::string &first, const std::string &orbit) {
  return "units = \"astro\"\nseed = 11\n\n[[galaxy]]\nname = \"mw\"\n" + first +
         "\n[[galaxy]]\nname = \"m31\"\nspin_theta = 180\nseed = 99\n[[galaxy.component]]\nrole = \"halo\"\n"
         "profile = \"hernquist\"\nmass = 5e11\nscale_length = 30\n\n[orbit]\n" + orbit;
}

TEST(GalaxyFile, ReadsAnEncounterOfTwoGalaxies) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  test_support::scratch_dir dir;
  std::filesystem::create_directory(dir.file("galaxies"));
  std::ofstream(dir.file("galaxies/mw.toml")) << milky_way;
  const std::string text = encounter_text("file = \"galaxies/mw.toml\"\nspin_theta = 30\nspin_phi = -45\n",
                                          "pericentre = 25\neccentricity = 1\nseparation = 200\n");
  std::ofstream(dir.file("pair.toml")) << text;
  EXPECT_TRUE(names_an_encounter(text));
  EXPECT_FALSE(names_an_encounter(milky_way));
  encounter_description e;
  std::string why;
  ASSERT_TRUE(read_encounter_file(dir.file("pair.toml"), &e, &why)) << why;
  ASSERT_EQ(e.members.size(), 2u);
  const encounter_member &mw = e.members[0], &m31 = e.members[1];
  EXPECT_EQ(mw.name, "mw");
  EXPECT_EQ(mw.file, "galaxies/mw.toml");
  EXPECT_EQ(mw.galaxy.components.size(), 2u);
  EXPECT_EQ(mw.galaxy.units, units_astro);
  EXPECT_NEAR(mw.spin_theta, 30 * degree, 1e-15);
  EXPECT_NEAR(mw.spin_phi, -45 * degree, 1e-15);
  // Its own file's seed gives way to the encounter's, the second galaxy's own to none.
  EXPECT_EQ(mw.seed, 11u);
  EXPECT_EQ(mw.galaxy.seed, 11u);
  EXPECT_EQ(m31.seed, 99u);
  EXPECT_TRUE(m31.file.empty());
  ASSERT_EQ(m31.galaxy.components.size(), 1u);
  EXPECT_NEAR(m31.galaxy.components[0].mass / (5e11 * 1.98892e30), 1.0, 1e-3);
  EXPECT_NEAR(m31.spin_theta, 180 * degree, 1e-15);
  const double kpc = 3.0856775814913673e19;
  EXPECT_NEAR(e.orbit.pericentre / (25 * kpc), 1.0, 1e-3);
  EXPECT_NEAR(e.orbit.separation / (200 * kpc), 1.0, 1e-3);
  EXPECT_EQ(e.orbit.eccentricity, 1.0);
}

TEST(GalaxyFile, RefusesAnEncounterItCannotPlace) {
  NEEDS_FEATURE(galaxy_files_available(), lib_toml);
  test_support::scratch_dir dir;
  std::ofstream(dir.file("mw.toml")) << milky_way;
  std::ofstream(dir.file("placed.toml")) << "centre = [1, 2, 3]\n" << milky_way;
  std::ofstream(dir.file("nested.toml")) << encounter_text("file = \"mw.toml\"\n", "pericentre = 1\nseparation = 2\n");
  const std::string good_orbit = "pericentre = 25\nseparation = 200\n";
  const struct {
    std::string first, orbit, said;
  } cases[] = {
      {"file = \"mw.toml\"\n", "pericentre = 25\nseparation = 20\n", "orbit.separation: the separation 20 is below the pericentre"},
      {"file = \"mw.toml\"\n", "pericentre = 25\neccentricity = 0.5\nseparation = 80\n", "apocentre 75"},
      {"file = \"mw.toml\"\n", "pericentre = 25\neccentricity = -1\nseparation = 80\n", "orbit.eccentricity"},
      {"file = \"mw.toml\"\n", "pericentre = 25\n", "orbit.separation: is missing"},
      {"file = \"mw.toml\"\n", good_orbit + "period = 3\n", "orbit.period"},
      {"file = \"mw.toml\"\nspin_theta = 190\n", good_orbit, "galaxy[0].spin_theta: needs degrees from 0 to 180"},
      {"file = \"absent.toml\"\n", good_orbit, "absent.toml: cannot be opened"},
      {"file = \"placed.toml\"\n", good_orbit, "sets a centre"},
      {"file = \"nested.toml\"\n", good_orbit, "holds [[galaxy]] tables itself"},
      {"file = \"mw.toml\"\nparticles = 10\n", good_orbit, "galaxy[0].particles: has no place beside file"},
      {"[[galaxy.component]]\nrole = \"halo\"\nprofile = \"nfw\"\nmass = -1\nscale_length = 1\n", good_orbit,
       "galaxy[0].component[0].mass: needs a finite number above 0"},
      {"file = \"mw.toml\"\n[[galaxy.component]]\nrole = \"halo\"\nprofile = \"nfw\"\nmass = 1\nscale_length = 1\n",
       good_orbit, "galaxy[0].component: has no place beside file"},
      {"file = \"mw.toml\"\n", "pericentre = 1e300\nseparation = 1e300\n",
       "orbit.separation: a value leaves the range of a double in SI units"},
  };
  for (const auto &c : cases) {
    const std::string text = encounter_text(c.first, c.orbit);
    std::ofstream(dir.file("pair.toml")) << text;
    encounter_description e;
    std::string why;
    EXPECT_FALSE(read_encounter_file(dir.file("pair.toml"), &e, &why)) << c.said;
    EXPECT_NE(why.find(c.said), std::string::npos) << why;
  }
  encounter_description e;
  std::string why;
  const std::string unseeded = "[[galaxy]]\nfile = \"mw.toml\"\n[[galaxy]]\nfile = \"mw.toml\"\nseed = 3\n[orbit]\n" + good_orbit;
  // Without a seed the first galaxy waits for --seed; the second has its own.
  ASSERT_TRUE(parse_encounter_text("units = \"astro\"\n" + unseeded, dir.file("u.toml"), &e, &why)) << why;
  EXPECT_FALSE(e.seeded);
  EXPECT_FALSE(e.members[0].own_seed);
  EXPECT_TRUE(e.members[1].own_seed);
  EXPECT_EQ(e.members[1].seed, 3u);
  const std::string three = "seed = 1\n[[galaxy]]\nfile = \"mw.toml\"\n[[galaxy]]\nfile = \"mw.toml\"\n[[galaxy]]\n"
                            "file = \"mw.toml\"\n[orbit]\n" + good_orbit;
  EXPECT_FALSE(parse_encounter_text(three, dir.file("t.toml"), &e, &why));
  EXPECT_NE(why.find("two galaxies on one orbit, not 3"), std::string::npos) << why;
  const std::string twins = "seed = 1\n[[galaxy]]\nname = \"a\"\nfile = \"mw.toml\"\n[[galaxy]]\nname = \"a\"\n"
                            "file = \"mw.toml\"\n[orbit]\n" + good_orbit;
  EXPECT_FALSE(parse_encounter_text(twins, dir.file("t.toml"), &e, &why));
  EXPECT_NE(why.find("galaxy[1].name: \"a\" names another galaxy too"), std::string::npos) << why;
  EXPECT_FALSE(parse_encounter_text("units = \"model\"\n" + three, dir.file("t.toml"), &e, &why));
  EXPECT_NE(why.find("model has no place"), std::string::npos) << why;
}

}  // namespace
