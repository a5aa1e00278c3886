#include "random_coord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "test_support.h"

namespace {

using test_support::ks_critical_sqrt_n;
using test_support::default_record;
using test_support::ks_statistic;

constexpr double a = 1e18;
constexpr double pi_approx = 3.14159265;

// The distribution function written independently, in long double.
long double reference_f(long double q) {
  const long double s = 1.0L - q * q;
  return (3.0L * asinl(q) + (8.0L * q * q * q * q - 8.0L * q * q - 3.0L) * sqrtl(s) * q *
                                (1.0L - 2.0L * q * q)) /
         (s * s);
}

// CDF of e on [0, e_max] with density proportional to f, by Simpson's rule.
// Near 0, where f's two terms cancel, the series f ~ (128/5) q^5 stands in.
class energy_cdf {
 public:
  explicit energy_cdf(double e_max) : e_max_(e_max), table_(steps + 1, 0.0L) {
    auto f = [](long double q) { return q < 1e-3L ? 25.6L * powl(q, 5.0L) : reference_f(q); };
    const long double h = e_max / steps;
    for (int i = 1; i <= steps; ++i) {
      const long double lo = (i - 1) * h;
      table_[i] = table_[i - 1] + h / 6.0L * (f(lo) + 4.0L * f(lo + h / 2) + f(lo + h));
    }
  }
  double operator()(double e) const {
    const double pos = e / e_max_ * steps;
    const int i = std::min(steps - 1, static_cast<int>(pos));
    const long double frac = pos - i;
    return static_cast<double>((table_[i] + frac * (table_[i + 1] - table_[i])) / table_[steps]);
  }

 private:
  static constexpr int steps = 20000;
  double e_max_;
  std::vector<long double> table_;
};

TEST(DistributionFunction, KnownValues) {
  EXPECT_EQ(compute_hernquist_probability_density_function(0.0), 0.0);
  for (double q : {0.1, 0.25, 0.5, 0.75, 0.9, 0.99}) {
    const double expected = static_cast<double>(reference_f(q));
    EXPECT_NEAR(compute_hernquist_probability_density_function(q), expected,
                1e-9 * std::fabs(expected))
        << "q = " << q;
  }
  EXPECT_NEAR(compute_hernquist_probability_density_function(0.1), 2.58e-4, 0.01e-4);
  EXPECT_NEAR(compute_hernquist_probability_density_function(0.5), 1.06, 0.01);
  EXPECT_NEAR(compute_hernquist_probability_density_function(0.9), 122.0, 1.0);
  // (1 - 2 q^2) vanishes there, leaving 3 asin(q) / (1/4) / ... = 3 pi.
  EXPECT_NEAR(compute_hernquist_probability_density_function(std::sqrt(0.5)), 3.0 * M_PI,
              1e-12);
}

TEST(DistributionFunction, GrowsFasterThanItsEnvelope) {
  // f(q)/q increasing is what keeps f under the linear envelope.
  double previous = 0.0;
  for (double q = 0.001; q < 0.999; q += 0.001) {
    const double ratio = compute_hernquist_probability_density_function(q) / q;
    EXPECT_GT(ratio, previous) << "q = " << q;
    previous = ratio;
  }
}

TEST(Radius, InverseOfTheEnclosedMassFraction) {
  const gal_system sys = default_record();
  EXPECT_EQ(compute_inverse_mass_fraction_function(&sys, 0.0), 0.0);
  // The top draw overshoots the cut-off by rounding only (a few km).
  EXPECT_NEAR(compute_inverse_mass_fraction_function(&sys, 1.0), 8e18, 1e4);
  // u = 0.5: sqrt(32/81) a / (1 - sqrt(32/81)).
  const double s = std::sqrt(32.0 / 81.0);
  EXPECT_NEAR(compute_inverse_mass_fraction_function(&sys, 0.5), s * a / (1.0 - s), 1e-14 * 1.7e18);
  EXPECT_NEAR(compute_inverse_mass_fraction_function(&sys, 0.5), 1.692e18, 0.001e18);
  for (double u : {0.01, 0.3, 0.5, 0.9, 0.999}) {
    const double r = compute_inverse_mass_fraction_function(&sys, u);
    EXPECT_NEAR(compute_enclosed_mass_fraction_function(&sys, r), u, 1e-12);
  }
}

TEST(Radius, FollowsTheTruncatedEnclosedMassFraction) {
  const gal_system sys = default_record();
  std::srand(2024);
  std::vector<double> radii(100000);
  for (double &r : radii) {
    r = compute_random_radius(&sys);
    ASSERT_GE(r, 0.0);
    ASSERT_LE(r, 8e18 * (1.0 + 1e-12));
  }
  const auto cdf = [](double r) { return (r / (r + a)) * (r / (r + a)) / (64.0 / 81.0); };
  EXPECT_LT(std::sqrt(radii.size()) * ks_statistic(radii, cdf), ks_critical_sqrt_n);
}

TEST(Angles, UniformWithinTheirBounds) {
  std::srand(99);
  const int n = 50000;
  std::vector<double> phis(n), thetas(n);
  for (int i = 0; i < n; ++i) {
    phis[i] = compute_random_phi();
    thetas[i] = compute_random_theta();
    ASSERT_GE(phis[i], 0.0);
    ASSERT_LE(phis[i], 2.0 * pi_approx);
    ASSERT_GE(thetas[i], 0.0);
    ASSERT_LE(thetas[i], pi_approx);
  }
  // Uniform in theta itself, not in cos(theta).
  EXPECT_LT(std::sqrt(n) * ks_statistic(phis, [](double x) { return x / (2 * pi_approx); }),
            ks_critical_sqrt_n);
  EXPECT_LT(std::sqrt(n) * ks_statistic(thetas, [](double x) { return x / pi_approx; }),
            ks_critical_sqrt_n);
}

TEST(EscapeSpeed, KnownValues) {
  const gal_system sys = default_record();
  EXPECT_NEAR(compute_escape_velocity_function(&sys, 0.0), 5.152e5, 0.001e5);
  EXPECT_NEAR(compute_escape_velocity_function(&sys, a), 3.643e5, 0.001e5);
  EXPECT_NEAR(compute_escape_velocity_function(&sys, 8.0 * a), 1.717e5, 0.001e5);
}

// The speed's normalised energy e = e_max sqrt(1 - (v / v_esc)^2) must have
// density proportional to f on [0, e_max].
class SpeedAtRadius : public ::testing::TestWithParam<double> {};

TEST_P(SpeedAtRadius, EnergyFollowsTheDistributionFunction) {
  const gal_system sys = default_record();
  const double radius = GetParam() * a;
  const double e_max = std::sqrt(radius / (radius + a));
  const double v_esc = compute_escape_velocity_function(&sys, radius);
  std::srand(31);
  const int n = 20000;
  std::vector<double> energies(n);
  for (double &e : energies) {
    const double v = compute_random_velocity_norm(&sys, radius);
    ASSERT_GE(v, 0.0);
    ASSERT_LE(v, v_esc);
    e = e_max * std::sqrt(std::max(0.0, 1.0 - (v / v_esc) * (v / v_esc)));
  }
  const energy_cdf cdf(e_max);
  EXPECT_LT(std::sqrt(n) * ks_statistic(energies, cdf), ks_critical_sqrt_n);
}

INSTANTIATE_TEST_SUITE_P(Radii, SpeedAtRadius, ::testing::Values(1e-4, 0.1, 1.0, 8.0));

TEST(Speed, KnownValuesAtTheScaleLength) {
  // There e_max = sqrt(1/2), f(e_max) = 3 pi, and e = e_max / 2 maps to
  // sqrt(3/4) v_esc.
  const gal_system sys = default_record();
  const double e_max = std::sqrt(a / (a + a));
  EXPECT_NEAR(e_max, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(compute_hernquist_probability_density_function(e_max), 3.0 * M_PI, 1e-12);
  const double v_esc = compute_escape_velocity_function(&sys, a);
  EXPECT_NEAR(std::sqrt(1.0 - 0.25) * v_esc, 3.155e5, 0.001e5);
}

TEST(Speed, RadiusZeroEndsAndFollowsTheInnerLimit) {
  // At the centre the plain rejection loop never accepts; the sampler uses
  // the r -> 0 limit, where x = e / e_max has CDF x^6.
  const gal_system sys = default_record();
  const double v_esc = compute_escape_velocity_function(&sys, 0.0);
  std::srand(17);
  const int n = 20000;
  std::vector<double> xs(n);
  for (double &x : xs) {
    const double v = compute_random_velocity_norm(&sys, 0.0);
    ASSERT_GE(v, 0.0);
    ASSERT_LE(v, v_esc);
    x = std::sqrt(std::max(0.0, 1.0 - (v / v_esc) * (v / v_esc)));
  }
  EXPECT_LT(std::sqrt(n) * ks_statistic(xs, [](double x) { return std::pow(x, 6.0); }),
            ks_critical_sqrt_n);
}

TEST(Speed, NeverAboveTheEscapeSpeedAcrossRadii) {
  const gal_system sys = default_record();
  std::srand(3);
  for (int i = 0; i < 20000; ++i) {
    const double radius = compute_random_radius(&sys);
    const double v = compute_random_velocity_norm(&sys, radius);
    ASSERT_GE(v, 0.0);
    ASSERT_LE(v, compute_escape_velocity_function(&sys, radius)) << "radius " << radius;
  }
}

}  // namespace
