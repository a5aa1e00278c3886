#include "units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "particle_reader.h"
#include "test_support.h"

namespace {

using test_support::scratch_dir;

const std::string program = GALAXY_IC_PATH;

TEST(Units, ScalesOfEverySystem) {
  const double M = 1.9891e39, a = 1e18;
  const unit_scale si = scale_of(units_si, M, a), astro = scale_of(units_astro, M, a);
  EXPECT_EQ(si.length * si.mass * si.velocity * si.time, 1.0);
  EXPECT_EQ(astro.length, 3.0856775814913673e19);
  EXPECT_EQ(astro.mass, 1.98841e30);
  EXPECT_EQ(astro.velocity, 1000.0);
  EXPECT_EQ(scale_of(units_gadget, M, a).mass, 1.98841e40);
  EXPECT_EQ(scale_of(units_cgs, M, a).length, 0.01);
  // G = 1 in model units: v^2 = G M / a, t = a / v.
  const unit_scale model = scale_of(units_model, M, a);
  EXPECT_EQ(model.length, a);
  EXPECT_EQ(model.mass, M);
  EXPECT_DOUBLE_EQ(model.velocity * model.velocity * model.length / model.mass, 6.673e-11);
  EXPECT_DOUBLE_EQ(model.time * model.velocity, a);
  for (unit_system system : {units_si, units_cgs, units_astro, units_gadget, units_model}) {
    unit_system parsed = units_si;
    EXPECT_TRUE(parse_unit_system(unit_system_name(system), &parsed));
    EXPECT_EQ(parsed, system);
  }
  unit_system untouched = units_cgs;
  for (const char *bad : {"SI", "", "kpc", "si "}) EXPECT_FALSE(parse_unit_system(bad, &untouched)) << bad;
}

TEST(Units, VectorsAreThreeFiniteNumbers) {
  double v[3];
  ASSERT_TRUE(parse_vector3("1,-2.5,3e20", v));
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], -2.5);
  EXPECT_EQ(v[2], 3e20);
  for (const char *bad : {"1,2", "1,2,3,4", "1,,3", "1,2,inf", "1,2,nan", "1 2 3", "1,2,3x", ",1,2", ""}) {
    EXPECT_FALSE(parse_vector3(bad, v)) << bad;
  }
}

// The record's SI values of the default sequence, as galaxy-ic makes them.
struct default_galaxy {
  explicit default_galaxy(int32_t n) {
    std::srand(1);
    sys = test_support::alloc_default_galaxy(n);
  }
  ~default_galaxy() { free_gal_system(sys); }
  gal_system *sys;
};

particle_data read_text(const std::string &path) {
  particle_data data;
  read_error error;
  std::FILE *in = std::fopen(path.c_str(), "r");
  EXPECT_NE(in, nullptr) << path;
  if (in == nullptr) return data;
  EXPECT_TRUE(read_particle_stream(in, &data, &error)) << path << ":" << error.line << ": " << error.what;
  std::fclose(in);
  return data;
}

TEST(UnitsRun, EveryTextValueIsTheSiValueDividedByTheUnitToTheLastBit) {
  constexpr int32_t n = 3000;
  const default_galaxy galaxy(n);
  scratch_dir dir;
  for (unit_system system : {units_cgs, units_astro, units_gadget, units_model}) {
    const char *name = unit_system_name(system);
    const test_support::run_result r =
        test_support::run_program(program, {"-p", "3000", "--units", name, "-o", "u.ini"}, dir.path());
    ASSERT_EQ(r.status, 0) << name << r.out;
    const particle_data data = read_text(dir.file("u.ini"));
    ASSERT_EQ(data.nb_element, n) << name;
    const unit_scale unit = scale_of(system, 1.9891e39, 1e18);
    size_t differing = 0;
    for (size_t i = 0; i < 3 * static_cast<size_t>(n); ++i) {
      differing += data.pos[i] != galaxy.sys->pos[i] / unit.length;
      differing += data.vel[i] != galaxy.sys->vel[i] / unit.velocity;
    }
    for (double m : data.mass) differing += m != galaxy.sys->mass_element / unit.mass;
    EXPECT_EQ(differing, 0u) << name;
  }
}

TEST(UnitsRun, ZeroComLeavesTheCentreAndBulkVelocityToRounding) {
  scratch_dir dir;
  std::string first;
  for (const std::string threads : {"1", "2"}) {
    const test_support::run_result r = test_support::run_program(
        program, {"-p", "20001", "--units", "model", "--zero-com", "--centre", "1,-2,0.5", "--bulk-velocity",
                  "0,0,0.25", "--threads", threads, "-o", "z.ini"},
        dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string text = test_support::read_file(dir.file("z.ini"));
    if (first.empty()) first = text;
    EXPECT_EQ(text, first) << "threads " << threads;
  }
  const particle_data data = read_text(dir.file("z.ini"));
  const double centre[3] = {1, -2, 0.5}, bulk[3] = {0, 0, 0.25};
  for (int k = 0; k < 3; ++k) {
    long double pos = 0.0L, vel = 0.0L;
    for (int64_t i = 0; i < data.nb_element; ++i) {
      pos += data.pos[3 * i + k];
      vel += data.vel[3 * i + k];
    }
    // Positions reach 8 + 2 a, velocities about 1.4: a few ulps of those.
    EXPECT_NEAR(static_cast<double>(pos / data.nb_element), centre[k], 1e-14) << k;
    EXPECT_NEAR(static_cast<double>(vel / data.nb_element), bulk[k], 1e-15) << k;
  }
}

}  // namespace
