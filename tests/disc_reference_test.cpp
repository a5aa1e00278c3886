#include "disc_checks.h"
#include "disc_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "disc_model.h"
#include "disc_sampler.h"

namespace {

constexpr double pi = 3.14159265358979323846;

disc_law law_of(double height, disc_vertical vertical, double truncation = 30.0, double width = 5.0) {
  disc_law law;
  law.scale_height = height;
  law.vertical = vertical;
  law.truncation = truncation;
  law.truncation_width = width;
  return law;
}

// Freeman (1970): the razor-thin exponential disc's midplane circular speed,
// v_c^2 = 4 pi G Sigma0 R_d y^2 [I0 K0 - I1 K1](y), y = R / 2 R_d. At
// z_d = 1e-4 R_d the thickness lowers it by 1.5e-4 at 0.5 R_d, less beyond.
TEST(DiscReference, ItsQuadratureHasFreemansRotationCurve) {
  const disc_formula d = disc_formula_of(law_of(1e-4, vertical_sech2));
  EXPECT_NEAR(d.surface0 * 2 * pi, 1.0, 1e-9);  // the truncation's mass beyond 25 R_d is below 1e-9
  for (double R = 0.5; R <= 5.0; R += 0.5) {
    const double y = 0.5 * R;
    const double freeman = 4 * pi * d.surface0 * y * y *
                           (std::cyl_bessel_i(0, y) * std::cyl_bessel_k(0, y) - std::cyl_bessel_i(1, y) * std::cyl_bessel_k(1, y));
    EXPECT_NEAR(-R * formula_disc_force(d, R, 0.0).R / freeman, 1.0, 2e-4) << "R " << R;
  }
}

// Two routes that share nothing, the ring quadrature and the generator's
// split potential, agree on thick discs' forces in and above the plane.
TEST(DiscReference, ItsForcesAgreeWithTheModelsExpansion) {
  for (const disc_vertical vertical : {vertical_sech2, vertical_exponential}) {
    disc_model m;
    std::string why;
    ASSERT_TRUE(build_disc_model(law_of(0.1, vertical, 8.0, 2.0), &m, &why)) << why;
    const disc_formula d = disc_formula_of(m.law);
    for (const double R : {0.3, 1.0, 2.4, 5.0, 7.0}) {
      for (const double z : {0.0, 0.05, 0.2, 1.0}) {
        const disc_pull f = formula_disc_force(d, R, z);
        const disc_field g = disc_potential(m, R, z);
        const double scale = std::hypot(g.force_R, g.force_z);
        EXPECT_NEAR(f.R, g.force_R, 2e-3 * scale) << "R " << R << " z " << z;
        EXPECT_NEAR(f.z, g.force_z, 2e-3 * scale) << "R " << R << " z " << z;
      }
    }
  }
}

// An isothermal sheet, rho ~ sech^2(z / z_d): sigma_z^2 = pi G Sigma z_d at
// every height (Spitzer). A disc 100 times thinner than long is one locally.
TEST(DiscReference, AThinDiscIsAnIsothermalSheet) {
  disc_law law = law_of(0.01, vertical_sech2);
  auto model = std::make_shared<disc_model>();
  model->law = law;  // the reference reads the law alone
  std::vector<component_law> laws(1);
  laws[0].disc = model;
  disc_reference ref;
  std::string why;
  ASSERT_TRUE(build_disc_reference(laws, 0.0, 0, &ref, &why)) << why;
  for (const double R : {1.0, 2.0, 3.0}) {
    const disc_expectation e = disc_reference_at(ref, R);
    const double sheet = pi * e.surface * law.scale_height;
    EXPECT_NEAR(e.sigma_z2_inner / sheet, 1.0, 0.02) << "R " << R;
    EXPECT_NEAR(e.sigma_z2_outer / sheet, 1.0, 0.02) << "R " << R;
  }
  // The cumulative mass against the exponential's, 1 - (1 + x) e^-x.
  for (const double R : {0.5, 1.0, 3.0, 10.0}) {
    EXPECT_NEAR(disc_reference_mass_fraction(ref, R), 1.0 - (1.0 + R) * std::exp(-R), 1e-8) << "R " << R;
  }
}

// In spheres the disc's mass is all of it.
TEST(DiscReference, ItsMassInSpheresIsItsMass) {
  for (const disc_vertical vertical : {vertical_sech2, vertical_exponential}) {
    const disc_formula d = disc_formula_of(law_of(0.1, vertical, 8.0, 2.0));
    double sum = 0.0;
    for (double x = std::log(1e-4); x < std::log(20.0); x += 0.01) {
      sum += 0.01 * formula_spherical_mass_slope(d, std::exp(x + 0.005));
    }
    EXPECT_NEAR(sum, 1.0, 1e-4);
  }
}

// The reference and the generator's tables, reached by different routes,
// agree within the accuracy the checks allow the reference (the moments'
// speeds within disc_reference_accuracy) over the disc's inner five scale
// lengths, in a galaxy with a halo and a black hole.
TEST(DiscReference, ItsMomentsAreTheSamplersWithinItsStatedAccuracy) {
  for (const disc_vertical vertical : {vertical_sech2, vertical_exponential}) {
    auto disc = std::make_shared<disc_model>();
    std::string why;
    disc_law law = law_of(0.1, vertical, 10.0, 2.0);
    law.mass = 0.1;
    ASSERT_TRUE(build_disc_model(law, disc.get(), &why)) << why;
    std::vector<component_law> laws(2);
    laws[0].mass = 0.1, laws[0].disc = disc;
    laws[1].mass = 0.9, laws[1].scale = 5.0;
    std::vector<profile_model> models;
    int failed = -1;
    ASSERT_TRUE(build_galaxy_model(laws, 1e-4, &models, &failed, &why)) << why;
    disc_sampler sampler;
    ASSERT_TRUE(build_disc_sampler(models[0], &sampler, &why)) << why;
    disc_reference ref;
    ASSERT_TRUE(build_disc_reference(laws, 1e-4, 0, &ref, &why)) << why;
    const double z_h = disc_reference_half_height(ref), accuracy = 2e-3;
    for (const double R : {0.3, 0.7, 1.0, 1.6, 2.4, 3.5, 5.0}) {
      const disc_expectation e = disc_reference_at(ref, R);
      const disc_moments m = disc_moments_at(sampler, R, 0.0);
      // The planar moments, each route's distribution function met to
      // about 5e-4 in its laws, within the checks' stated accuracy.
      EXPECT_NEAR(e.mean_phi / m.mean_phi, 1.0, disc_reference_accuracy) << "R " << R;
      EXPECT_NEAR(std::sqrt(e.sigma_R2) / m.sigma_R, 1.0, disc_reference_accuracy) << "R " << R;
      EXPECT_NEAR(std::sqrt(e.sigma_phi2) / m.sigma_phi, 1.0, disc_reference_accuracy) << "R " << R;
      // The sampler's sigma_z^2 averaged over each half of the column's
      // mass: uniform in the mass coordinate.
      double inner = 0.0, outer = 0.0;
      const int n = 4000;
      for (int k = 0; k < n; ++k) {
        const double u = (k + 0.5) / n;
        const double z = vertical == vertical_sech2 ? 0.1 * std::atanh(u) : -0.1 * std::log1p(-u);
        const double s = disc_moments_at(sampler, R, z).sigma_z;
        (z < z_h ? inner : outer) += s * s;
      }
      EXPECT_NEAR(std::sqrt(e.sigma_z2_inner / (inner / (n / 2))), 1.0, accuracy) << "R " << R;
      EXPECT_NEAR(std::sqrt(e.sigma_z2_outer / (outer / (n / 2))), 1.0, accuracy) << "R " << R;
    }
  }
}

}  // namespace

namespace {

// The checks' own route to the planar moments, in a flat rotation curve
// (v_c = 1, R_d = 1): its Sigma and sigma_R are the laws, and the moments
// hold the radial Jeans equation, 1 = vbar^2 + sigma_phi^2 - sigma_R^2 (1 - 2 R);
// a cold disc has the epicycle's sigma_phi^2 / sigma_R^2 = 1/2.
TEST(PlanarReference, ItsMomentsHoldTheJeansEquation) {
  for (const double sigma0 : {0.3, 0.02}) {
    planar_reference_law law;
    law.pull = [](double R) { return 1.0 / R; };
    law.surface = [](double R) { return std::exp(-R); };
    law.sigma = [sigma0](double R) { return sigma0 * std::exp(-0.5 * R); };
    law.inner = 0.01, law.edge = 10.0, law.fit_inner = 0.1, law.fit_outer = 5.0;
    planar_reference ref;
    std::string why;
    ASSERT_TRUE(build_planar_reference(law, &ref, &why)) << why;
    EXPECT_LT(ref.misfit, 1e-3);
    for (const double R : {0.2, 0.5, 1.0, 2.0, 3.0, 4.5}) {
      const planar_reference_moments m = planar_reference_at(ref, R);
      const double s2 = sigma0 * sigma0 * std::exp(-R);
      EXPECT_NEAR(m.sigma_R2 / s2, 1.0, 2e-3) << sigma0 << " R " << R;
      EXPECT_NEAR(m.mean_phi * m.mean_phi + m.sigma_phi2 - s2 * (1.0 - 2.0 * R), 1.0, 2e-3) << sigma0 << " R " << R;
      if (sigma0 < 0.1) {
        EXPECT_NEAR(m.sigma_phi2 / m.sigma_R2, 0.5, 5e-3) << "R " << R;
      }
    }
  }
}

}  // namespace
