#include "disc_planar.h"
#include "fixed_point_mixing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

// A disc of R_d = 1 with sigma_R = sigma0 exp(-R / 2) in a potential of
// radial pull g(R).
planar_law law_of(double (*pull)(double), double sigma0) {
  planar_law law;
  law.pull = pull;
  law.surface = [](double R) { return std::exp(-R); };
  law.sigma = [sigma0](double R) { return sigma0 * std::exp(-0.5 * R); };
  law.inner = 1e-3, law.outer = 20.0, law.edge = 10.0, law.fit_inner = 0.1, law.fit_outer = 5.0;
  return law;
}

double flat(double R) { return 1.0 / R; }
double kepler(double R) { return 1.0 / (R * R); }

// In Kepler's potential J_R = 1 / sqrt(-2 E) - L.
TEST(PlanarDf, ActionsInAKeplerPotentialAreTheClosedForm) {
  planar_df df;
  std::string why;
  ASSERT_TRUE(build_planar_df(law_of(kepler, 0.1), &df, &why)) << why;
  for (const double R : {0.3, 1.0, 2.5, 6.0}) {
    const double vc = 1.0 / std::sqrt(R), s = 0.1 * std::exp(-0.5 * R);
    for (const double a : {0.0, 0.5, 1.5, 3.0}) {
      for (const double b : {-2.0, -0.7, 0.0, 1.2}) {
        const double v_R = a * s, v_phi = vc + b * s, L = R * v_phi;
        const double J = 1.0 / std::sqrt(2.0 / R - v_R * v_R - v_phi * v_phi) - L;
        EXPECT_NEAR(planar_df_action(df, R, v_R, v_phi), J, 1e-3 * J + 1e-7 * L) << R << " " << a << " " << b;
      }
    }
  }
}

// Any steady disc holds the radial Jeans equation, v_c^2 = vbar^2 +
// sigma_phi^2 - sigma_R^2 (1 + dln Sigma / dln R + dln sigma_R^2 / dln R),
// here 1 = vbar^2 + sigma_phi^2 - sigma_R^2 (1 - 2 R); a cold one the
// epicycle's sigma_phi / sigma_R = kappa / 2 Omega = 1 / sqrt(2).
TEST(PlanarDf, ItsMomentsAreTheLawsAndHoldTheJeansEquation) {
  for (const double sigma0 : {0.3, 0.02}) {
    planar_df df;
    std::string why;
    ASSERT_TRUE(build_planar_df(law_of(flat, sigma0), &df, &why)) << why;
    for (const double R : {0.2, 0.5, 1.0, 2.0, 3.0, 4.5}) {
      const planar_moments m = planar_df_moments(df, R);
      const double s = sigma0 * std::exp(-0.5 * R);
      EXPECT_NEAR(m.surface / std::exp(-R), 1.0, 2e-3) << sigma0 << " R " << R;
      EXPECT_NEAR(m.sigma_R / s, 1.0, 1e-3) << sigma0 << " R " << R;
      const double jeans = m.mean_phi * m.mean_phi + m.sigma_phi * m.sigma_phi - s * s * (1.0 - 2.0 * R);
      EXPECT_NEAR(jeans, 1.0, 2e-3) << sigma0 << " R " << R;
      if (sigma0 < 0.1) {
        EXPECT_NEAR(m.sigma_phi / m.sigma_R, std::sqrt(0.5), 5e-3) << "R " << R;
      }
    }
  }
}

// Trials drawn from the proposal, kept by the rejection: f never above
// the envelope, and the kept ones' moments f's within their noise.
TEST(PlanarDf, DrawsFollowTheFunctionBelowItsEnvelope) {
  planar_df df;
  std::string why;
  ASSERT_TRUE(build_planar_df(law_of(flat, 0.3), &df, &why)) << why;
  std::mt19937_64 bits(5);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (const double R : {0.05, 0.4, 1.1, 2.3, 4.0, 7.0}) {
    const planar_proposal p = planar_df_proposal(df, R);
    const planar_moments m = planar_df_moments(df, R);
    long above = 0, trials = 0;
    double n = 0, vR2 = 0, vp = 0, vp2 = 0;
    while (n < 20000) {
      const double a = std::sqrt(-2.0 * std::log(1.0 - uniform(bits))), b = 2.0 * M_PI * uniform(bits);
      double v_R, v_phi;
      planar_df_trial(p, a * std::cos(b), a * std::sin(b), uniform(bits), &v_R, &v_phi);
      ++trials;
      if (v_phi > 0.0 && planar_df_value(df, R, v_R, v_phi) > planar_df_bound(p, v_R, v_phi)) ++above;
      if (!planar_df_accepts(df, p, R, v_R, v_phi, uniform(bits))) continue;
      n += 1, vR2 += v_R * v_R, vp += v_phi, vp2 += v_phi * v_phi;
    }
    EXPECT_EQ(above, 0) << "R " << R;
    EXPECT_GT(n / trials, 0.25) << "R " << R;
    const double mean = vp / n, var = vp2 / n - mean * mean;
    EXPECT_NEAR(mean, m.mean_phi, 4.0 * m.sigma_phi / std::sqrt(n)) << "R " << R;
    EXPECT_NEAR(vR2 / n / (m.sigma_R * m.sigma_R), 1.0, 4.0 * std::sqrt(2.0 / n) + 2e-3) << "R " << R;
    EXPECT_NEAR(var / (m.sigma_phi * m.sigma_phi), 1.0, 4.0 * std::sqrt(3.0 / n) + 2e-3) << "R " << R;
  }
}

// Dispersions far above the rotation cannot be met by orbits of L_z > 0.
TEST(PlanarDf, AHotDiscIsRefusedWithTheReason) {
  planar_df df;
  std::string why;
  EXPECT_FALSE(build_planar_df(law_of(flat, 3.0), &df, &why));
  EXPECT_NE(why.find("toomre_q"), std::string::npos) << why;
}

// A linear contraction x <- A x + b whose slowest mode shrinks by 0.999 a
// round, in a random basis: the plain iteration still far off after 12
// rounds, the mixing (remembering more rounds than the dimension) at the
// fixed point; components whose residual is set to 0 do not steer it.
TEST(FixedPointMixing, FindsTheSlowModeOfALinearMap) {
  const int n = 6;
  const double rates[n] = {0.999, 0.99, 0.9, 0.5, -0.3, 0.1};
  std::mt19937_64 bits(11);
  std::normal_distribution<double> normal;
  std::vector<std::vector<double>> Q(n, std::vector<double>(n));
  for (int i = 0; i < n; ++i) {  // Gram-Schmidt: an orthonormal basis
    for (double &q : Q[i]) q = normal(bits);
    for (int j = 0; j < i; ++j) {
      double d = 0.0;
      for (int k = 0; k < n; ++k) d += Q[i][k] * Q[j][k];
      for (int k = 0; k < n; ++k) Q[i][k] -= d * Q[j][k];
    }
    double norm = 0.0;
    for (const double q : Q[i]) norm += q * q;
    for (double &q : Q[i]) q /= std::sqrt(norm);
  }
  std::vector<double> fixed(n);
  for (double &f : fixed) f = normal(bits);
  // g(x) = x* + A (x - x*), A = sum rate_i q_i q_i^T.
  const auto g_of = [&](const std::vector<double> &x) {
    std::vector<double> g = fixed;
    for (int i = 0; i < n; ++i) {
      double d = 0.0;
      for (int k = 0; k < n; ++k) d += Q[i][k] * (x[k] - fixed[k]);
      for (int k = 0; k < n; ++k) g[k] += rates[i] * d * Q[i][k];
    }
    return g;
  };
  const auto distance = [&](const std::vector<double> &x) {
    double d = 0.0;
    for (int k = 0; k < n; ++k) d += (x[k] - fixed[k]) * (x[k] - fixed[k]);
    return std::sqrt(d);
  };
  std::vector<double> plain(n, 0.0), mixed(n, 0.0), g, r(n), padded_x(n + 2, 0.0);
  fixed_point_mixing mix, padded;
  for (int round = 0; round < 12; ++round) {
    plain = g_of(plain);
    g = g_of(mixed);
    for (int k = 0; k < n; ++k) r[k] = g[k] - mixed[k];
    mixed = mixing_next(&mix, g, r, 8);
    // Two more components, pulled towards 1 but kept out of the steering.
    std::vector<double> x(padded_x.begin(), padded_x.begin() + n), G = g_of(x), R(n + 2, 0.0);
    for (int k = 0; k < n; ++k) R[k] = G[k] - x[k];
    G.push_back(0.5 * padded_x[n] + 0.5), G.push_back(0.5 * padded_x[n + 1] + 0.5);
    padded_x = mixing_next(&padded, G, R, 8);
  }
  EXPECT_GT(distance(plain), 0.3 * distance(std::vector<double>(n, 0.0)));
  EXPECT_LT(distance(mixed), 1e-9 * distance(std::vector<double>(n, 0.0)));
  EXPECT_LT(distance(std::vector<double>(padded_x.begin(), padded_x.begin() + n)), 1e-9 * distance(std::vector<double>(n, 0.0)));
}

}  // namespace
