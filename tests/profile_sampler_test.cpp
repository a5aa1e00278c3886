#include "profile_sampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr double pi = 3.14159265358979323846;

struct sample {
  std::vector<double> r, vr2, vt2;  // radius, v_r^2, v_t^2 (model units)
};

// n particles: radius, then w from the sampler and its direction, as the
// generator draws them.
sample draw(const profile_model &m, int n, uint64_t seed) {
  profile_sampler s;
  build_profile_sampler(m, &s);
  random_stream stream;
  init_counter_based_stream(&stream, seed);
  sample out;
  for (int i = 0; i < n; ++i) {
    start_particle_stream(&stream, static_cast<uint64_t>(i));
    const double r = sample_profile_radius(s, next_uniform(&stream));
    const double w = std::sqrt(2.0 * sample_profile_kinetic(s, r, &stream));
    const double c = 2.0 * next_uniform(&stream) - 1.0;
    const double stretch = m.anisotropy_radius > 0.0 ? 1.0 + r * r / (m.anisotropy_radius * m.anisotropy_radius) : 1.0;
    out.r.push_back(r);
    out.vr2.push_back(w * w * c * c);
    out.vt2.push_back(w * w * (1 - c * c) / stretch);
  }
  return out;
}

// 2K / |W| with W = -sum M(r_i) / r_i: 1 in equilibrium, for any anisotropy.
double virial_ratio(const profile_model &m, const sample &s) {
  double kinetic = 0.0, potential = 0.0;
  for (size_t i = 0; i < s.r.size(); ++i) {
    kinetic += 0.5 * (s.vr2[i] + s.vt2[i]);
    potential += profile_enclosed_mass(m, s.r[i]) / s.r[i];
  }
  return 2.0 * kinetic / potential;
}

TEST(ProfileSampler, HernquistRadiiFollowTheMassAndTheSampleIsVirialised) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  profile_model m;
  std::string why;
  ASSERT_TRUE(build_profile_model(density_law(), 0.0, &m, &why)) << why;
  const sample s = draw(m, 20000, 3);
  const double d = test_support::ks_statistic(s.r, [](double r) { return r * r / ((1 + r) * (1 + r)); });
  EXPECT_LT(d * std::sqrt(20000.0), test_support::ks_critical_sqrt_n);
  // The ratio's scatter at this size is about 0.01 (the outskirts' speeds).
  EXPECT_NEAR(virial_ratio(m, s), 1.0, 0.03);
}

TEST(ProfileSampler, OsipkovMerrittAnisotropyFollowsItsLaw) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  density_law plummer;
  std::string why;
  ASSERT_TRUE(parse_density_law("plummer", &plummer, &why));
  profile_model m;
  ASSERT_TRUE(build_profile_model(plummer, 1.0, &m, &why)) << why;
  const sample s = draw(m, 40000, 5);
  EXPECT_NEAR(virial_ratio(m, s), 1.0, 0.02);
  // beta = 1 - <v_t^2> / 2 <v_r^2> in shells, against r^2 / (r^2 + r_a^2).
  const double edges[4] = {0.0, 0.5, 1.0, 2.0};
  for (int k = 0; k < 3; ++k) {
    double vr2 = 0.0, vt2 = 0.0, r2 = 0.0;
    int count = 0;
    for (size_t i = 0; i < s.r.size(); ++i) {
      if (s.r[i] < edges[k] || s.r[i] >= edges[k + 1]) continue;
      vr2 += s.vr2[i];
      vt2 += s.vt2[i];
      r2 += s.r[i] * s.r[i];
      ++count;
    }
    ASSERT_GT(count, 1000);
    // The shell's beta against the law at its mean square radius: within
    // the sampling scatter of a few hundredths.
    const double beta = 1.0 - vt2 / (2.0 * vr2), mean_r2 = r2 / count;
    EXPECT_NEAR(beta, mean_r2 / (mean_r2 + 1.0), 0.05) << "shell " << k;
  }
}

}  // namespace

namespace {

// A uniform draw of exactly 0 or 1 (the C library's sequence gives both)
// still gives a finite radius and a speed below the escape speed.
TEST(ProfileSampler, EndsOfTheUniformRangeStayFinite) {
  for (const char *name : {"hernquist", "plummer", "jaffe"}) {
    density_law law;
    std::string why;
    ASSERT_TRUE(parse_density_law(name, &law, &why));
    profile_model m;
    ASSERT_TRUE(build_profile_model(law, 0.0, &m, &why)) << why;
    profile_sampler s;
    build_profile_sampler(m, &s);
    random_stream stream;
    init_private_copy_stream(&stream);
    for (double u : {0.0, 1e-300, 0.5, 1.0}) {
      const double r = sample_profile_radius(s, u);
      EXPECT_TRUE(std::isfinite(r) && r >= 0.0) << name << " u " << u;
      const double kinetic = sample_profile_kinetic(s, r, &stream);
      EXPECT_TRUE(kinetic >= 0.0 && kinetic < profile_potential(m, r)) << name << " u " << u;
    }
  }
}

}  // namespace

namespace {

// Around a black hole, Psi(r) rises without bound inside the first node:
// speeds drawn there (and at an ordinary radius) follow f(E) sqrt(Psi - E),
// by KS against that law integrated here, and draws of 0 stay finite.
TEST(ProfileSampler, SpeedsAroundABlackHoleFollowTheirLawInsideTheNodesToo) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  std::vector<component_law> parts(1);
  parts[0].mass = 0.99;
  std::vector<profile_model> models;
  int failed = -1;
  std::string why;
  ASSERT_TRUE(build_galaxy_model(parts, 0.01, &models, &failed, &why)) << why;
  const profile_model &m = models[0];
  profile_sampler s;
  build_profile_sampler(m, &s);
  random_stream stream;
  init_counter_based_stream(&stream, 9);
  for (const double r : {std::exp(m.log_r0) * 1e-3, 0.05, 2.0}) {
    const double psi = profile_potential(m, r);
    // The law of k = Psi - E: density f(Psi - k) sqrt(k), on a fine grid in
    // sqrt(k) (k = t^2: f(Psi - t^2) 2 t^2 dt).
    const int steps = 200000;
    std::vector<double> cumulative(steps + 1, 0.0);
    const double top = std::sqrt(psi);
    for (int i = 1; i <= steps; ++i) {
      const double t = top * (i - 0.5) / steps;
      cumulative[i] = cumulative[i - 1] + profile_df(m, psi - t * t) * 2 * t * t * top / steps;
    }
    std::vector<double> draws;
    for (int i = 0; i < 20000; ++i) {
      start_particle_stream(&stream, static_cast<uint64_t>(i));
      draws.push_back(sample_profile_kinetic(s, r, &stream));
    }
    const double d = test_support::ks_statistic(draws, [&](double k) {
      const double at = std::min(1.0, std::sqrt(std::max(k, 0.0)) / top) * steps;
      return cumulative[static_cast<size_t>(at)] / cumulative[steps];
    });
    EXPECT_LT(d * std::sqrt(20000.0), test_support::ks_critical_sqrt_n) << "radius " << r;
    EXPECT_FALSE(s.exhausted.load());
  }
  const double kinetic = sample_profile_kinetic(s, 0.0, &stream);
  EXPECT_TRUE(std::isfinite(kinetic) && kinetic >= 0.0);
}

}  // namespace
