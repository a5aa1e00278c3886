#include "profile_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;

// Hernquist (1990, eq. 17), G = M = a = 1, q = sqrt(E).
double hernquist_df(double e) {
  const double q = std::sqrt(e);
  return (3 * std::asin(q) + q * std::sqrt(1 - q * q) * (1 - 2 * q * q) * (8 * std::pow(q, 4) - 8 * q * q - 3)) /
         (8 * std::sqrt(2.0) * std::pow(pi, 3) * std::pow(1 - q * q, 2.5));
}

// Eddington's f of rho = Psi^n: n (n - 1/2) B(n, 1/2) E^(n - 3/2) / (sqrt 8 pi^2).
double power_df(double n, double e) {
  const double beta = std::tgamma(n) * std::tgamma(0.5) / std::tgamma(n + 0.5);
  return n * (n - 0.5) * beta * std::pow(e, n - 1.5) / (std::sqrt(8.0) * pi * pi);
}

// Under Osipkov-Merritt, r^2 rho as a function of Psi: Hernquist
// (Psi^2 - Psi^3) / 2 pi, Plummer 3 (Psi^3 - Psi^5) / 4 pi.
double hernquist_weighted_df(double e) { return (power_df(2, e) - power_df(3, e)) / (2 * pi); }
double plummer_df(double e) { return 3 * power_df(5, e) / (4 * pi); }
double plummer_weighted_df(double e) { return 3 * (power_df(3, e) - power_df(5, e)) / (4 * pi); }

// Largest relative error of the tabulated f against exact over the nodes
// whose radii hold the middle 99.99 % of the mass.
double worst_error(const profile_model &m, const std::vector<double> &table, const std::function<double(double)> &exact) {
  double worst = 0.0;
  for (size_t i = 0; i < table.size(); ++i) {
    if (m.mass[i] < 5e-5 || m.mass[i] > 1 - 5e-5) continue;
    const double err = std::fabs(table[i] / exact(m.psi[i]) - 1.0);
    worst = std::max(worst, err);
  }
  return worst;
}

TEST(ProfileModel, HernquistAgainstItsClosedForms) {
  density_law law;
  profile_model m;
  std::string why;
  ASSERT_TRUE(build_profile_model(law, 1.0, &m, &why)) << why;
  EXPECT_NEAR(profile_enclosed_mass(m, 1.0), 0.25, 1e-9);
  EXPECT_NEAR(profile_potential(m, 3.0), 0.25, 1e-9);
  EXPECT_LT(worst_error(m, m.df_density, hernquist_df), 1e-6);
  EXPECT_LT(worst_error(m, m.df, [](double e) { return hernquist_df(e) + hernquist_weighted_df(e); }), 1e-6);
}

TEST(ProfileModel, PlummerAgainstItsClosedForms) {
  density_law law;
  std::string why;
  ASSERT_TRUE(parse_density_law("plummer", &law, &why));
  profile_model m;
  ASSERT_TRUE(build_profile_model(law, 2.0, &m, &why)) << why;
  EXPECT_NEAR(profile_enclosed_mass(m, 1.0), std::pow(2.0, -1.5), 1e-9);
  EXPECT_NEAR(profile_potential(m, 1.0), 1 / std::sqrt(2.0), 1e-9);
  EXPECT_LT(worst_error(m, m.df_density, plummer_df), 1e-6);
  EXPECT_LT(worst_error(m, m.df, [](double e) { return plummer_df(e) + plummer_weighted_df(e) / 4.0; }), 1e-6);
}

}  // namespace

namespace {

// Dehnen's gamma-models have Psi = (1 - y^(2 - g)) / (2 - g), y = r / (1 + r),
// and rho = (3 - g) / 4 pi y^-g (1 - y)^4: so drho/dPsi = c H(y) with
// H = y^-2 (1 - y)^3 (g + (4 - g) y), and d2rho/dPsi2 = -c H'(y) / y^(1 - g),
// closed forms of the potential's variable. Eddington's integral of them,
// done directly in Psi = E (1 - s^2) on panels crowded towards s = 0, is an
// independent reference.
double dehnen_second(double g, double psi) {
  const double y = std::pow(1.0 - (2.0 - g) * psi, 1.0 / (2.0 - g)), c = (3.0 - g) / (4 * pi);
  const double A = std::pow(1.0 - y, 3.0), B = g + (4.0 - g) * y;
  const double dH = -2.0 * A * B / (y * y * y) + (-3.0 * (1.0 - y) * (1.0 - y) * B + A * (4.0 - g)) / (y * y);
  return -c * dH / std::pow(y, 1.0 - g);
}

double dehnen_df(double g, double e) {
  static const double x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
  static const double w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
  double sum = 0.0;
  for (int k = 40; k >= 0; --k) {
    const double lo = k == 40 ? 0.0 : std::ldexp(1.0, -k - 1), hi = std::ldexp(1.0, -k);
    for (int piece = 0; piece < 8; ++piece) {
      const double a = lo + (hi - lo) * piece / 8, b = lo + (hi - lo) * (piece + 1) / 8;
      for (int q = 0; q < 4; ++q) {
        for (double sign : {-1.0, 1.0}) {
          const double s = 0.5 * (a + b) + sign * 0.5 * (b - a) * x[q];
          sum += 0.5 * (b - a) * w[q] * dehnen_second(g, e * (1.0 - s * s));
        }
      }
    }
  }
  return 2 * std::sqrt(e) * sum / (std::sqrt(8.0) * pi * pi);
}

TEST(ProfileModel, DehnenAgainstItsClosedDensityOfPotential) {
  for (double g : {0.0, 0.5, 1.5}) {
    density_law law;
    std::string why;
    ASSERT_TRUE(parse_density_law("dehnen:" + std::to_string(g), &law, &why));
    profile_model m;
    ASSERT_TRUE(build_profile_model(law, 0.0, &m, &why)) << why;
    double worst = 0.0;
    for (size_t i = 0; i < m.df.size(); i += 7) {
      if (m.mass[i] < 5e-5 || m.mass[i] > 1 - 5e-5) continue;
      worst = std::max(worst, std::fabs(m.df[i] / dehnen_df(g, m.psi[i]) - 1.0));
    }
    EXPECT_LT(worst, 1e-6) << "gamma " << g;
  }
}

TEST(ProfileModel, ImproperAndImpossibleModelsAreRefused) {
  density_law law;
  profile_model m;
  std::string why;
  ASSERT_TRUE(parse_density_law("nfw", &law, &why));
  EXPECT_FALSE(build_profile_model(law, 0.0, &m, &why));
  EXPECT_EQ(why, "its mass diverges (beta <= 3): give it a taper with --cutoff");
  law.taper_radius = 10.0;
  EXPECT_TRUE(build_profile_model(law, 0.0, &m, &why)) << why;
  ASSERT_TRUE(parse_density_law("zhao:1,4,3", &law, &why));
  EXPECT_FALSE(build_profile_model(law, 0.0, &m, &why));
  for (const char *bad : {"king", "dehnen:3", "dehnen:-1", "dehnen:x", "zhao:0,4,1", "zhao:1,4", "hernquist2"}) {
    EXPECT_FALSE(parse_density_law(bad, &law, &why)) << bad;
  }
  // A Plummer core cannot hold orbits this radial (f < 0 below r_a ~ 0.75 a).
  ASSERT_TRUE(parse_density_law("plummer", &law, &why));
  EXPECT_FALSE(build_profile_model(law, 0.5, &m, &why));
  EXPECT_NE(why.find("the smallest anisotropy radius that works is"), std::string::npos) << why;
  const double smallest = std::stod(why.substr(why.rfind("is ") + 3));
  EXPECT_TRUE(build_profile_model(law, smallest, &m, &why)) << why;
  EXPECT_FALSE(build_profile_model(law, smallest * 0.99, &m, &why));
}

}  // namespace
