#include "spheroid_flattening.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "galaxy_types.h"
#include "spheroid_stretch.h"

namespace {

// A disc (R_d = 1, z_d = 0.1) with a bulge and a halo: the generator's
// stretches (the disc's multipoles) and the check's (its rings' quadrature).
struct flattened_galaxy {
  std::vector<component_law> laws;
  std::vector<profile_model> models;
  disc_sampler sampler;
  flattening_forces forces;
  spheroid_flattening bulge, halo;
  stretch_forces check_forces;
  spheroid_stretch check_bulge, check_halo;
};

std::unique_ptr<flattened_galaxy> made(double disc_mass, std::string *why) {
  auto g = std::make_unique<flattened_galaxy>();
  disc_law law;
  law.mass = disc_mass, law.scale_height = 0.1, law.truncation = 10.0, law.truncation_width = 2.0, law.q_radius = 2.4;
  auto disc = std::make_shared<disc_model>();
  if (!build_disc_model(law, disc.get(), why)) return nullptr;
  g->laws.resize(3);
  g->laws[0].mass = disc_mass, g->laws[0].disc = disc;
  g->laws[1].mass = 0.1, g->laws[1].scale = 0.25;  // Hernquist
  g->laws[2].mass = 1.0 - 0.1 - disc_mass, g->laws[2].scale = 8.0, g->laws[2].law.taper_radius = 10.0;
  int failed = -1;
  if (!build_galaxy_model(g->laws, 0.0, &g->models, &failed, why) ||
      !build_disc_sampler(g->models[0], &g->sampler, why)) {
    return nullptr;
  }
  build_flattening_forces(g->models, {&g->sampler}, 0.0, &g->forces);
  build_spheroid_flattening(g->forces, g->models[1], &g->bulge);
  build_spheroid_flattening(g->forces, g->models[2], &g->halo);
  if (!build_stretch_forces(g->laws, 0.0, &g->check_forces, why) ||
      !build_spheroid_stretch(g->laws, 0.0, 1, g->check_forces, &g->check_bulge, why) ||
      !build_spheroid_stretch(g->laws, 0.0, 2, g->check_forces, &g->check_halo, why)) {
    return nullptr;
  }
  return g;
}

// The largest difference of the two routes' squared stretches, and the
// largest squared stretch of v_z, over points from the centre to 4 R_d.
void compare(const spheroid_flattening &made, const spheroid_stretch &check, double *worst, double *most_z) {
  *worst = 0.0, *most_z = 0.0;
  for (const double r : {0.05, 0.1, 0.2, 0.4, 0.7, 1.0, 1.5, 2.0, 3.0, 4.0}) {
    for (const double mu : {0.0, 0.05, 0.15, 0.3, 0.5, 0.7, 0.9, 1.0}) {
      const double R = r * std::sqrt(1.0 - mu * mu), z = r * mu;
      double gR, gz, cR, cz;
      flattening_at(made, R, z, &gR, &gz);
      stretch_at(check, R, z, &cR, &cz);
      *worst = std::max({*worst, std::fabs(gR - cR), std::fabs(gz - cz)});
      *most_z = std::max(*most_z, gz);
    }
  }
}

}  // namespace

// The disc holds the bulge's vertical pressure up: sigma_z^2 near the
// plane well above the spherical average's, and both routes agree on it.
TEST(SpheroidFlattening, TheGeneratorsAndTheChecksStretchesAgree) {
  std::string why;
  const auto g = made(0.05, &why);
  ASSERT_TRUE(g) << why;
  double worst, most_z;
  compare(g->bulge, g->check_bulge, &worst, &most_z);
  EXPECT_LT(worst, 3e-3);
  EXPECT_GT(most_z, 1.2);
  compare(g->halo, g->check_halo, &worst, &most_z);
  EXPECT_LT(worst, 3e-3);
  // Far beyond the disc the potential is round again.
  double R2, z2;
  flattening_at(g->bulge, 300.0, 10.0, &R2, &z2);
  EXPECT_EQ(R2, 1.0);
  stretch_at(g->check_halo, 25.0, 25.0, &R2, &z2);
  EXPECT_NEAR(R2, 1.0, 2e-3);
  EXPECT_NEAR(z2, 1.0, 2e-3);
}

// A disc of a thousandth of the mass hardly flattens the potential.
TEST(SpheroidFlattening, ALightDiscHardlyStretches) {
  std::string why;
  const auto g = made(1e-4, &why);
  ASSERT_TRUE(g) << why;
  double worst, most_z;
  compare(g->bulge, g->check_bulge, &worst, &most_z);
  EXPECT_LT(most_z, 1.005);
  EXPECT_LT(worst, 2e-3);
}

// A particle's v_x, v_y take the stretch of sigma_R, v_z that of sigma_z;
// one that the stretch would carry beyond the escape speed is left as drawn.
TEST(SpheroidFlattening, ParticlesAreStretchedBelowTheEscapeSpeed) {
  std::string why;
  const auto g = made(0.05, &why);
  ASSERT_TRUE(g) << why;
  gal_system *sys = alloc_unplaced_gal_system(2, 3e19, 1e22, 2e41, 1.0, 1.0);
  ASSERT_NE(sys, nullptr);
  const double L = sys->typical_length, V = std::sqrt(gravitational_constant * sys->total_mass / L);
  const double R = 0.6, z = 0.05, psi = flattened_psi(g->forces, R, z);
  const double slow[3] = {0.1, -0.2, 0.15}, fast = std::sqrt(2.0 * psi) * 0.995;
  for (int p = 0; p < 2; ++p) {
    sys->pos[3 * p] = R * L, sys->pos[3 * p + 1] = 0.0, sys->pos[3 * p + 2] = z * L;
    for (int k = 0; k < 3; ++k) sys->vel[3 * p + k] = (p == 0 ? slow[k] : (k == 2 ? fast : 0.0)) * V;
    stretch_spheroid_particle(sys, p, g->bulge);
  }
  double R2, z2;
  flattening_at(g->bulge, R, z, &R2, &z2);
  ASSERT_GT(z2, 1.05);
  EXPECT_NEAR(sys->vel[0] / V, slow[0] * std::sqrt(R2), 1e-12);
  EXPECT_NEAR(sys->vel[1] / V, slow[1] * std::sqrt(R2), 1e-12);
  EXPECT_NEAR(sys->vel[2] / V, slow[2] * std::sqrt(z2), 1e-12);
  EXPECT_EQ(sys->vel[5] / V, fast);
  // Above the plane the flattened Psi is shallower than the spherical one.
  EXPECT_GT(g->forces.psi_floor, 0.8);
  EXPECT_LT(g->forces.psi_floor, 0.99);
  EXPECT_LT(g->forces.psi_floor * profile_potential(g->models[1], 2.0), flattened_psi(g->forces, 0.0, 2.0));
  free_gal_system(sys);
}
