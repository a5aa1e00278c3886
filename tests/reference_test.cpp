#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;

density_law law_named(const char *name, double taper = 0.0, double strength = 2.0) {
  density_law law;
  std::string why;
  EXPECT_TRUE(parse_density_law(name, &law, &why)) << why;
  law.taper_radius = taper;
  law.taper_strength = strength;
  return law;
}

// Hernquist (1990, eq. 10): the isotropic sigma_r^2 of G = M = a = 1, in
// long double, since its two terms cancel by r^4 at large r.
double hernquist_sigma2(double radius) {
  const long double r = radius;
  return static_cast<double>(r * powl(1 + r, 3) * logl((1 + r) / r) -
                             r / (12 * (1 + r)) * (25 + 52 * r + 42 * r * r + 12 * r * r * r));
}

// The Jeans integral done the plain way, in r itself, for any anisotropy
// radius: composite Simpson's rule on a log-spaced grid out to 1e7.
double brute_sigma2(const jeans_reference &ref, double r, double ra) {
  const auto g = [&](double x) { return ra > 0 ? 1 + x * x / (ra * ra) : 1.0; };
  const int steps = 20000;
  const double lo = std::log(r), hi = std::log(1e7), h = (hi - lo) / steps;
  double sum = 0.0;
  for (int i = 0; i <= steps; ++i) {
    const double x = std::exp(lo + h * i);
    const double f = g(x) * reference_density(ref, x) * reference_mass_fraction(ref, x) / x;
    sum += (i == 0 || i == steps ? 1 : i % 2 ? 4 : 2) * f;
  }
  return sum * h / 3 / (g(r) * reference_density(ref, r));
}

TEST(JeansReference, HernquistAndPlummerAgainstTheirClosedForms) {
  jeans_reference ref;
  std::string why;
  ASSERT_TRUE(build_jeans_reference(law_named("hernquist"), 0.0, &ref, &why)) << why;
  for (double r : {1e-3, 0.1, 0.5, 1.0, 3.0, 10.0, 100.0}) {
    EXPECT_NEAR(reference_mass_fraction(ref, r), r * r / ((1 + r) * (1 + r)), 1e-10) << r;
    EXPECT_NEAR(reference_density(ref, r), 1 / (2 * pi * r * std::pow(1 + r, 3)), 1e-10 / (r * std::pow(1 + r, 3)));
    EXPECT_NEAR(reference_sigma_r2(ref, r) / hernquist_sigma2(r), 1.0, 1e-7) << r;
    EXPECT_NEAR(reference_sigma_t2(ref, r) / reference_sigma_r2(ref, r), 2.0, 1e-12);
  }
  ASSERT_TRUE(build_jeans_reference(law_named("plummer"), 0.0, &ref, &why)) << why;
  for (double r : {1e-3, 0.3, 1.0, 4.0, 30.0}) {
    EXPECT_NEAR(reference_mass_fraction(ref, r), std::pow(r * r / (1 + r * r), 1.5), 1e-10) << r;
    EXPECT_NEAR(reference_sigma_r2(ref, r) * 6 * std::sqrt(1 + r * r), 1.0, 1e-7) << r;
  }
}

// Tapered and Osipkov-Merritt models have no closed form: the plain
// quadrature stands in, and the anisotropy's <v_t^2> = 2 (1 - beta) sigma_r^2.
TEST(JeansReference, TaperedAndAnisotropicAgainstAPlainQuadrature) {
  struct example {
    const char *name;
    double taper, strength, ra;
  };
  for (const example &e : {example{"nfw", 10, 2, 0}, example{"nfw", 10, 4, 3}, example{"hernquist", 3, 1, 1},
                           example{"plummer", 3, 0.5, 0}, example{"dehnen:0.5", 0, 2, 2}}) {
    jeans_reference ref;
    std::string why;
    ASSERT_TRUE(build_jeans_reference(law_named(e.name, e.taper, e.strength), e.ra, &ref, &why)) << why;
    for (double r : {0.05, 0.5, 2.0, 8.0}) {
      EXPECT_NEAR(reference_sigma_r2(ref, r) / brute_sigma2(ref, r, e.ra), 1.0, 1e-6) << e.name << " at " << r;
      if (e.ra > 0) {
        EXPECT_NEAR(reference_sigma_t2(ref, r) / reference_sigma_r2(ref, r), 2 * e.ra * e.ra / (r * r + e.ra * e.ra), 1e-12);
      }
    }
    // Dehnen's M = (r / (1 + r))^(3 - gamma); a taper's reach ends well within 1e6.
    const double far = e.taper > 0 ? 1.0 : std::pow(1e6 / (1 + 1e6), 2.5);
    EXPECT_NEAR(reference_mass_fraction(ref, 1e6), far, 1e-9) << e.name;
  }
}

}  // namespace

namespace {

// A bulge in a halo around a black hole: its dispersions in the total mass
// M = M_bh + sum m_i r^2 / (r + a_i)^2 (two Hernquist spheres), against a
// plain quadrature of that closed mass.
TEST(JeansReference, AComponentInTheJointMassOfAGalaxy) {
  const double m[2] = {0.8, 0.196}, a[2] = {1.0, 0.1}, hole = 0.004, ra = 0.3;
  std::vector<component_law> parts(2);
  for (int i = 0; i < 2; ++i) parts[i].mass = m[i], parts[i].scale = a[i];
  parts[1].anisotropy_radius = ra;
  jeans_reference ref;
  std::string why;
  ASSERT_TRUE(build_component_reference(parts, hole, 1, &ref, &why)) << why;
  const auto total = [&](double r) { return hole + m[0] * r * r / std::pow(r + a[0], 2) + m[1] * r * r / std::pow(r + a[1], 2); };
  const auto rho = [&](double r) { return m[1] * a[1] / (2 * pi * r * std::pow(r + a[1], 3)); };
  for (double r : {1e-4, 0.01, 0.1, 1.0, 10.0}) {
    EXPECT_NEAR(reference_total_mass(ref, r) / total(r), 1.0, 1e-9) << r;
    EXPECT_NEAR(reference_mass_fraction(ref, r), r * r / std::pow(r + a[1], 2), 1e-9) << r;
    EXPECT_NEAR(reference_density(ref, r) / rho(r), 1.0, 1e-9) << r;
    const int steps = 40000;
    const double lo = std::log(r), hi = std::log(1e7), h = (hi - lo) / steps;
    double sum = 0.0;
    for (int i = 0; i <= steps; ++i) {
      const double x = std::exp(lo + h * i);
      sum += (i == 0 || i == steps ? 1 : i % 2 ? 4 : 2) * (1 + x * x / (ra * ra)) * rho(x) * total(x) / x;
    }
    const double expected = sum * h / 3 / ((1 + r * r / (ra * ra)) * rho(r));
    EXPECT_NEAR(reference_sigma_r2(ref, r) / expected, 1.0, 1e-6) << r;
  }
}

}  // namespace
