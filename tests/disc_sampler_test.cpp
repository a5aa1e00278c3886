#include "disc_sampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "galaxy_types.h"
#include "test_support.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// A galaxy of a disc (of mass disc_mass, R_d = 1) and whatever spheroids,
// its tables in the joint potential; the disc's are models[0].
struct disc_galaxy {
  std::vector<profile_model> models;
  disc_sampler sampler;
};

std::unique_ptr<disc_galaxy> made(const disc_law &law, const std::vector<component_law> &spheroids, double black_hole,
                                  std::string *why) {
  auto g = std::make_unique<disc_galaxy>();
  auto disc = std::make_shared<disc_model>();
  if (!build_disc_model(law, disc.get(), why)) return nullptr;
  std::vector<component_law> laws(1);
  laws[0].mass = law.mass;
  laws[0].disc = disc;
  laws.insert(laws.end(), spheroids.begin(), spheroids.end());
  int failed = -1;
  if (!build_galaxy_model(laws, black_hole, &g->models, &failed, why)) return nullptr;
  if (!build_disc_sampler(g->models[0], &g->sampler, why)) return nullptr;
  return g;
}

disc_law thin_disc(disc_vertical vertical, double mass) {
  disc_law law;
  law.mass = mass;
  law.scale_height = 0.01;
  law.vertical = vertical;
  law.truncation = 10.0, law.truncation_width = 2.0;
  law.q_radius = 2.4;
  return law;
}

// A disc of negligible mass about a point mass is a closed form: Kepler's
// v_c^2 = M / R, kappa = Omega, and, in the harmonic vertical potential
// nu^2 z (nu^2 = M / R^3, good to (z / R)^2), sigma_z^2 = nu^2 z_d (z + z_d)
// (exponential) or nu^2 z_d [z_d ln 2 + z_d ln cosh x - z tanh x] / sech^2 x.
TEST(DiscSampler, MomentsAboutAPointMassAreKeplersAndTheHarmonicSlabs) {
  for (const disc_vertical vertical : {vertical_exponential, vertical_sech2}) {
    std::string why;
    const auto g = made(thin_disc(vertical, 1e-7), {}, 1.0 - 1e-7, &why);
    ASSERT_TRUE(g) << why;
    const disc_sampler &s = g->sampler;
    const double zd = 0.01;
    for (const double R : {1.0, 2.0, 4.0, 6.0}) {
      const double nu2 = 1.0 / (R * R * R);
      for (const double z : {0.0, 0.5 * zd, zd, 3.0 * zd}) {
        const double x = z / zd;
        const double expected = vertical == vertical_exponential
                                    ? nu2 * zd * (z + zd)
                                    : nu2 * zd * (zd * std::log(2.0) + zd * std::log(std::cosh(x)) - z * std::tanh(x)) *
                                          std::cosh(x) * std::cosh(x);
        const double sz = disc_moments_at(s, R, z).sigma_z;
        EXPECT_NEAR(sz * sz / expected, 1.0, 5e-3) << "R " << R << " z " << z << " vertical " << vertical;
      }
      // Q = sigma_R kappa / (3.36 Sigma) at q_radius sets sigma_R; the rest
      // follows from Kepler's kappa^2 / 4 Omega^2 = 1/4.
      const double kappa_q = std::sqrt(1.0 / std::pow(2.4, 3.0));
      const double sigma_R = 3.36 * 1.5 * disc_surface_density(*s.disc, 2.4) / kappa_q * std::exp(-(R - 2.4) / 2.0);
      const disc_moments m = disc_moments_at(s, R, 0.0);
      EXPECT_NEAR(m.sigma_R / sigma_R, 1.0, 1e-3) << "R " << R;
      EXPECT_NEAR(m.sigma_phi / (0.5 * sigma_R), 1.0, 2e-3) << "R " << R;
      const double rotation2 = 1.0 / R + sigma_R * sigma_R * (0.75 - 2.0 * R);
      EXPECT_NEAR(m.mean_phi * m.mean_phi / rotation2, 1.0, 2e-3) << "R " << R;
    }
  }
}

// The joint potential's monopole holds the disc: what the spheroids' tables
// take as its part (from its spherically averaged density) is the angular
// average of its own axisymmetric potential.
TEST(DiscSampler, TheSpheroidsFeelTheDiscsMonopole) {
  std::string why;
  component_law halo;
  halo.mass = 0.9, halo.scale = 5.0;
  disc_law law = thin_disc(vertical_sech2, 0.1);
  law.scale_height = 0.2;
  const auto g = made(law, {halo}, 0.0, &why);
  ASSERT_TRUE(g) << why;
  const profile_model &disc = g->models[0];
  for (const double r : {0.1, 0.5, 1.0, 2.0, 5.0, 12.0, 40.0}) {
    double mean = 0.0;
    const int n = 2000;
    for (int k = 0; k < n; ++k) {
      const double mu = (k + 0.5) / n;
      mean += disc_potential(*disc.disc, r * std::sqrt(1 - mu * mu), r * mu).potential / n;
    }
    const double u = (std::log(r) - disc.log_r0) / disc.step;
    const int j = static_cast<int>(u);
    const double own = disc.own_psi[j] + (u - j) * (disc.own_psi[j + 1] - disc.own_psi[j]);
    EXPECT_NEAR(own / -mean, 1.0, 2e-4) << "r " << r;
  }
  EXPECT_NEAR(g->models[1].total_mass.back(), 1.0, 1e-9);
  EXPECT_NEAR(disc.mass.back(), 0.1, 1e-9);
}

// Drawn particles: R against the disc's mass within R, z against h's
// cumulative, the moments in bins against the sampler's in sigmas, none
// beyond the truncation or above the escape speed.
TEST(DiscSampler, DrawsFollowTheDensityTheMomentsAndStayBound) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  std::string why;
  component_law halo;
  halo.mass = 0.8, halo.scale = 3.0;
  disc_law law = thin_disc(vertical_sech2, 0.2);
  law.scale_height = 0.1;
  const auto g = made(law, {halo}, 0.0, &why);
  ASSERT_TRUE(g) << why;
  const int n = 40000;
  gal_system *sys = alloc_unplaced_gal_system(n, 1.0, 100.0, 1.0 / gravitational_constant, 0.01, 1.0);
  ASSERT_NE(sys, nullptr);
  random_stream stream;
  init_counter_based_stream(&stream, 11);
  std::vector<double> radii, shares;
  struct bin {
    double n = 0, dphi = 0, dphi2 = 0, vr2 = 0, vz2 = 0, sr2 = 0, sp2 = 0, sz2 = 0;
  } bins[4];
  for (int i = 0; i < n; ++i) {
    start_particle_stream(&stream, static_cast<uint64_t>(i));
    draw_disc_particle(sys, i, &stream, g->sampler);
    const double R = sys->pos[3 * i], z = sys->pos[3 * i + 2], *v = sys->vel + 3 * i;
    EXPECT_LE(R, law.truncation);
    const double v2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    EXPECT_LT(v2, -2.0 * joint_field(g->sampler, R, z).potential);
    radii.push_back(R);
    shares.push_back(0.5 * (1.0 + std::tanh(z / law.scale_height)));
    const int b = static_cast<int>(R);
    if (b >= 4) continue;
    const disc_moments m = disc_moments_at(g->sampler, R, z);
    bin &k = bins[b];
    // About the mean rotation at the particle's own radius.
    const double dphi = v[1] - m.mean_phi;
    k.n += 1, k.dphi += dphi, k.dphi2 += dphi * dphi, k.vr2 += v[0] * v[0], k.vz2 += v[2] * v[2];
    k.sr2 += m.sigma_R * m.sigma_R, k.sp2 += m.sigma_phi * m.sigma_phi, k.sz2 += m.sigma_z * m.sigma_z;
  }
  EXPECT_FALSE(g->sampler.exhausted.load());
  const double d = test_support::ks_statistic(radii, [&](double R) { return disc_mass_within(*g->sampler.disc, R); });
  EXPECT_LT(d * std::sqrt(static_cast<double>(n)), test_support::ks_critical_sqrt_n);
  const double dz = test_support::ks_statistic(shares, [](double u) { return u; });
  EXPECT_LT(dz * std::sqrt(static_cast<double>(n)), test_support::ks_critical_sqrt_n);
  for (int b = 1; b < 4; ++b) {
    const bin &k = bins[b];
    // A sample variance's own standard error is sqrt(2 / n) of it.
    const double tolerance = 4.0 * std::sqrt(2.0 / k.n);
    EXPECT_NEAR(k.vr2 / k.sr2, 1.0, tolerance) << "bin " << b;
    EXPECT_NEAR(k.vz2 / k.sz2, 1.0, tolerance) << "bin " << b;
    EXPECT_NEAR(k.dphi2 / k.sp2, 1.0, tolerance) << "bin " << b;
    EXPECT_NEAR(k.dphi / k.n, 0.0, 4.0 * std::sqrt(k.sp2 / k.n / k.n)) << "bin " << b;
  }
  free_gal_system(sys);
}

// A disc too hot for its potential is refused, with the Q that was asked.
TEST(DiscSampler, ADiscWhoseQCannotBeMetIsRefused) {
  std::string why;
  disc_law law = thin_disc(vertical_sech2, 0.9);
  law.toomre_q = 40.0;
  component_law halo;
  halo.mass = 0.1, halo.scale = 20.0;
  EXPECT_FALSE(made(law, {halo}, 0.0, &why));
  EXPECT_NE(why.find("toomre_q 40"), std::string::npos) << why;
}

// A disc truncated at 3 R_d: no orbit from beyond fills its edge in, and
// its laws are met where they are judged, short of it.
TEST(DiscSampler, ADiscTruncatedNearItsScaleLengthIsMade) {
  std::string why;
  component_law halo;
  halo.mass = 0.9, halo.scale = 5.0;
  disc_law law = thin_disc(vertical_sech2, 0.1);
  law.scale_height = 0.1, law.truncation = 3.0, law.truncation_width = 0.6;
  const auto g = made(law, {halo}, 0.0, &why);
  ASSERT_TRUE(g) << why;
  EXPECT_LT(std::max(g->sampler.planar->misfit_surface, g->sampler.planar->misfit_sigma), 1e-3);
}

}  // namespace
