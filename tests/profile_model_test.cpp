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

namespace {

// A tapered model computed here by a route of its own: the density and its
// log-slopes written out again, M and Psi by 3-point Gauss-Legendre on a
// fine grid in ln r (Psi a cubic Hermite between nodes), Eddington's
// integral in the potential itself, f(E) = 1/(sqrt 8 pi^2) int_0^sqrt E
// 2 rho''(E - u^2) du with rho'' = d2rho/dPsi2 at r(Psi) by bisection, and
// the Jeans equation's sigma_r^2 from the density alone.
struct plain_model {
  double alpha, beta, gamma, rc, xi, ra;
  double x0 = std::log(1e-7), dx = 1e-3, scale = 1.0;
  std::vector<double> mass, psi;

  plain_model(const char *name, double taper, double strength, double anisotropy) {
    density_law law;
    std::string why;
    EXPECT_TRUE(parse_density_law(name, &law, &why));
    alpha = law.alpha, beta = law.beta, gamma = law.gamma, rc = taper, xi = strength, ra = anisotropy;
    const int n = static_cast<int>((std::log(60.0 * rc) - x0) / dx) + 1;
    mass.assign(n, 0.0);
    mass[0] = 4 * pi * rho(std::exp(x0)) * std::exp(3 * x0) / (3 + g1(std::exp(x0)));
    const double gx[3] = {-0.7745966692414834, 0.0, 0.7745966692414834}, gw[3] = {5.0 / 9, 8.0 / 9, 5.0 / 9};
    std::vector<double> outer(n, 0.0);
    for (int i = 1; i < n; ++i) {
      double dm = 0.0, dout = 0.0;
      for (int q = 0; q < 3; ++q) {
        const double x = x0 + dx * (i - 0.5 + 0.5 * gx[q]), r = std::exp(x);
        dm += 0.5 * dx * gw[q] * 4 * pi * rho(r) * r * r * r;
        dout += 0.5 * dx * gw[q] * 4 * pi * rho(r) * r * r;
      }
      mass[i] = mass[i - 1] + dm;
      outer[i] = dout;  // over cell i - 1 .. i
    }
    scale = 1.0 / mass.back();
    for (double &m : mass) m *= scale;
    psi.assign(n, 0.0);
    double beyond = 0.0;
    for (int i = n - 1; i >= 0; --i) {
      psi[i] = mass[i] / std::exp(x0 + dx * i) + beyond;
      beyond += outer[i] * scale;
    }
  }
  double rho(double r) const {
    return scale * std::pow(r, -gamma) * std::pow(1 + std::pow(r, alpha), (gamma - beta) / alpha) * std::exp(-std::pow(r / rc, xi));
  }
  double g1(double r) const {
    const double ra_ = std::pow(r, alpha);
    return -gamma + (gamma - beta) * ra_ / (1 + ra_) - xi * std::pow(r / rc, xi);
  }
  double g2(double r) const {
    const double ra_ = std::pow(r, alpha);
    return (gamma - beta) * alpha * ra_ / ((1 + ra_) * (1 + ra_)) - xi * xi * std::pow(r / rc, xi);
  }
  double m_at(double r) const {
    const double u = (std::log(r) - x0) / dx;
    const int i = std::min(static_cast<int>(mass.size()) - 2, static_cast<int>(u));
    const double t = u - i, d0 = 4 * pi * rho(std::exp(x0 + dx * i)) * std::exp(3 * (x0 + dx * i)) * dx;
    const double d1 = 4 * pi * rho(std::exp(x0 + dx * (i + 1))) * std::exp(3 * (x0 + dx * (i + 1))) * dx;
    return (1 + 2 * t) * (1 - t) * (1 - t) * mass[i] + t * (1 - t) * (1 - t) * d0 + t * t * (3 - 2 * t) * mass[i + 1] +
           t * t * (t - 1) * d1;
  }
  double psi_at(double r) const {
    const double u = (std::log(r) - x0) / dx;
    if (u >= psi.size() - 1) return psi.back() * std::exp(x0 + dx * (psi.size() - 1)) / r;
    const int i = static_cast<int>(u);
    const double t = u - i, d0 = -mass[i] / std::exp(x0 + dx * i) * dx, d1 = -mass[i + 1] / std::exp(x0 + dx * (i + 1)) * dx;
    return (1 + 2 * t) * (1 - t) * (1 - t) * psi[i] + t * (1 - t) * (1 - t) * d0 + t * t * (3 - 2 * t) * psi[i + 1] +
           t * t * (t - 1) * d1;
  }
  double r_of_psi(double target) const {
    double lo = x0, hi = x0 + dx * (psi.size() - 1) + 30.0;
    for (int k = 0; k < 64; ++k) ((psi_at(std::exp(0.5 * (lo + hi))) > target) ? lo : hi) = 0.5 * (lo + hi);
    return std::exp(0.5 * (lo + hi));
  }
  // d2rho/dPsi2 = (rho'' Psi' - rho' Psi'') / Psi'^3, derivatives in r.
  double second(double p) const {
    const double r = r_of_psi(p), m = m_at(r), d = rho(r), s1 = g1(r);
    const double rho1 = d * s1 / r, rho2 = d * (s1 * s1 - s1 + g2(r)) / (r * r);
    const double psi1 = -m / (r * r), psi2 = 2 * m / (r * r * r) - 4 * pi * d;
    return (rho2 * psi1 - rho1 * psi2) / (psi1 * psi1 * psi1);
  }
  double df(double e) const {
    const double x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
    const double w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
    const double top = std::sqrt(e);
    double sum = 0.0;
    for (int panel = 0; panel < 48; ++panel) {
      const double lo = top * panel / 48, hi = top * (panel + 1) / 48, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
      for (int q = 0; q < 4; ++q) sum += half * w[q] * (second(e - std::pow(mid - half * x[q], 2)) + second(e - std::pow(mid + half * x[q], 2)));
    }
    return 2 * sum / (std::sqrt(8.0) * pi * pi);
  }
  // sigma_r^2 = 1 / (g rho) int_r^inf g rho M / r'^2 dr', by Simpson in ln r
  // from far out in to each of the radii (ascending).
  std::vector<double> jeans(const std::vector<double> &radii) const {
    const auto g = [&](double x) { return ra > 0 ? 1 + x * x / (ra * ra) : 1.0; };
    const auto integrand = [&](double lnr) {
      const double x = std::exp(lnr);
      return g(x) * rho(x) * m_at(x) / x;
    };
    std::vector<double> out(radii.size());
    double sum = 0.0, upper = std::log(60.0 * rc);
    for (size_t k = radii.size(); k-- > 0;) {
      const double lower = std::log(radii[k]), h = (upper - lower) / 400;
      for (int i = 0; i < 400; i += 2) {
        sum += h / 3 * (integrand(lower + h * i) + 4 * integrand(lower + h * (i + 1)) + integrand(lower + h * (i + 2)));
      }
      out[k] = sum / (g(radii[k]) * rho(radii[k]));
      upper = lower;
    }
    return out;
  }
};

// sigma_r^2 at r from the tabulated f: (1/3) int f w^4 dw / int f w^2 dw,
// f at Psi(r) - w^2 / 2 (w of Osipkov-Merritt's stretched velocity).
double tabulated_sigma2(const profile_model &m, double r) {
  const double psi = profile_potential(m, r), top = std::sqrt(2 * psi);
  const double x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
  const double w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
  double second = 0.0, fourth = 0.0;
  for (int panel = 0; panel < 64; ++panel) {
    const double lo = top * panel / 64, hi = top * (panel + 1) / 64, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    for (int q = 0; q < 4; ++q) {
      for (double v : {mid - half * x[q], mid + half * x[q]}) {
        const double f = profile_df(m, psi - 0.5 * v * v);
        second += half * w[q] * f * v * v;
        fourth += half * w[q] * f * v * v * v * v;
      }
    }
  }
  return fourth / (3 * second);
}

struct tapered_case {
  const char *name;
  double taper, strength;
};

std::vector<tapered_case> tapered_grid() {
  std::vector<tapered_case> grid;
  for (const char *name : {"hernquist", "nfw"}) {
    for (double taper : {3.0, 10.0, 30.0}) {
      for (double strength : {1.0, 2.0, 4.0}) grid.push_back({name, taper, strength});
    }
  }
  return grid;
}

// The radii holding fraction q of the model's mass.
double quantile_radius(const profile_model &m, double q) {
  double lo = std::log(1e-6), hi = std::log(1e6);
  for (int k = 0; k < 100; ++k) ((profile_enclosed_mass(m, std::exp(0.5 * (lo + hi))) < q) ? lo : hi) = 0.5 * (lo + hi);
  return std::exp(0.5 * (lo + hi));
}

TEST(ProfileModel, TaperedFunctionsAgainstEddingtonsIntegralInThePotential) {
  for (const tapered_case &c : tapered_grid()) {
    density_law law;
    std::string why;
    ASSERT_TRUE(parse_density_law(c.name, &law, &why));
    law.taper_radius = c.taper, law.taper_strength = c.strength;
    profile_model m;
    ASSERT_TRUE(build_profile_model(law, 0.0, &m, &why)) << why;
    const plain_model plain(c.name, c.taper, c.strength, 0.0);
    double worst = 0.0, worst_at = 0.0;
    for (double q : {0.0005, 0.01, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99, 0.9995}) {
      const double r = quantile_radius(m, q), e = plain.psi_at(r);
      const double error = std::fabs(profile_df(m, e) / plain.df(e) - 1.0);
      if (error > worst) worst = error, worst_at = q;
    }
    EXPECT_LT(worst, 3e-5) << c.name << " r_c " << c.taper << " xi " << c.strength << " at mass " << worst_at;
  }
}

TEST(ProfileModel, TaperedMomentsFollowTheJeansEquationOfTheDensity) {
  std::vector<tapered_case> grid = tapered_grid();
  for (const tapered_case &c : grid) {
    for (double ra : {0.0, 2.0 * c.taper}) {
      density_law law;
      std::string why;
      ASSERT_TRUE(parse_density_law(c.name, &law, &why));
      law.taper_radius = c.taper, law.taper_strength = c.strength;
      profile_model m;
      ASSERT_TRUE(build_profile_model(law, ra, &m, &why)) << why;
      const plain_model plain(c.name, c.taper, c.strength, ra);
      std::vector<double> radii;
      for (double q = 0.0005; q < 0.9996; q += 0.0333) radii.push_back(quantile_radius(m, q));
      const std::vector<double> expected = plain.jeans(radii);
      double worst = 0.0, worst_at = 0.0;
      for (size_t k = 0; k < radii.size(); ++k) {
        const double error = std::fabs(tabulated_sigma2(m, radii[k]) / expected[k] - 1.0);
        if (error > worst) worst = error, worst_at = radii[k];
      }
      EXPECT_LT(worst, 1e-5) << c.name << " r_c " << c.taper << " xi " << c.strength << " r_a " << ra
                             << " at radius " << worst_at;
    }
  }
}

}  // namespace

namespace {

// Two Hernquist spheres around a black hole, G = 1: Psi = M_bh / r +
// sum M_i / (r + a_i) and each density in closed form, so d2rho_i/dPsi2 =
// (rho'' Psi' - rho' Psi'') / Psi'^3 is exact at any r, r(Psi) by
// bisection; Eddington's integral in Psi itself then gives each f in the
// joint potential (Ciotti's two-component models, with a hole).
struct two_hernquist {
  double m[2], a[2], hole, ra[2];
  double psi(double r) const { return hole / r + m[0] / (r + a[0]) + m[1] / (r + a[1]); }
  double psi1(double r) const { return -hole / (r * r) - m[0] / std::pow(r + a[0], 2) - m[1] / std::pow(r + a[1], 2); }
  double psi2(double r) const {
    return 2 * hole / (r * r * r) + 2 * m[0] / std::pow(r + a[0], 3) + 2 * m[1] / std::pow(r + a[1], 3);
  }
  // rho_Q = (1 + r^2 / r_a^2) rho and its r-derivatives.
  void rho(int i, double r, double *d0, double *d1, double *d2) const {
    const double c = m[i] * a[i] / (2 * pi), s = r + a[i];
    const double base = c / (r * s * s * s), b1 = base * (-1 / r - 3 / s), b2 = base * (std::pow(1 / r + 3 / s, 2) + 1 / (r * r) + 3 / (s * s));
    const double g = ra[i] > 0 ? 1 + r * r / (ra[i] * ra[i]) : 1, g1 = ra[i] > 0 ? 2 * r / (ra[i] * ra[i]) : 0,
                 g2 = ra[i] > 0 ? 2 / (ra[i] * ra[i]) : 0;
    *d0 = g * base, *d1 = g1 * base + g * b1, *d2 = g2 * base + 2 * g1 * b1 + g * b2;
  }
  double r_of(double p) const {
    double lo = std::log(1e-12), hi = std::log(1e12);
    for (int k = 0; k < 120; ++k) ((psi(std::exp(0.5 * (lo + hi))) > p) ? lo : hi) = 0.5 * (lo + hi);
    return std::exp(0.5 * (lo + hi));
  }
  double second(int i, double p) const {
    const double r = r_of(p), p1 = psi1(r), p2 = psi2(r);
    double d0, d1, d2;
    rho(i, r, &d0, &d1, &d2);
    return (d2 * p1 - d1 * p2) / (p1 * p1 * p1);
  }
  double df(int i, double e) const {
    double sum = 0.0;
    const double top = std::sqrt(e);
    for (int panel = 0; panel < 64; ++panel) {
      const double lo = top * panel / 64, hi = top * (panel + 1) / 64, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
      for (int q = 0; q < 4; ++q) {
        for (double u : {mid - half * gl_x_test[q], mid + half * gl_x_test[q]}) sum += half * gl_w_test[q] * second(i, e - u * u);
      }
    }
    return 2 * sum / (std::sqrt(8.0) * pi * pi);
  }
  static constexpr double gl_x_test[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
  static constexpr double gl_w_test[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
};

TEST(GalaxyModel, TwoHernquistSpheresAroundABlackHoleAgainstTheirJointPotential) {
  // A halo and a bulge a fifth its size, the bulge radially biased beyond
  // r_a; then the same without the hole.
  for (const double hole : {0.004, 0.0}) {
    const two_hernquist exact{{0.8 * (1 - hole), 0.2 * (1 - hole)}, {1.0, 0.2}, hole, {0.0, 0.5}};
    std::vector<component_law> parts(2);
    for (int i = 0; i < 2; ++i) {
      parts[i].mass = exact.m[i], parts[i].scale = exact.a[i], parts[i].anisotropy_radius = exact.ra[i];
    }
    std::vector<profile_model> models;
    int failed = -1;
    std::string why;
    ASSERT_TRUE(build_galaxy_model(parts, hole, &models, &failed, &why)) << why << " (component " << failed << ")";
    for (int i = 0; i < 2; ++i) {
      const profile_model &m = models[i];
      EXPECT_NEAR(profile_enclosed_mass(m, 0.3), exact.m[i] * std::pow(0.3 / (0.3 + exact.a[i]), 2), 1e-9);
      EXPECT_NEAR(profile_potential(m, 0.3) / exact.psi(0.3), 1.0, 1e-9);
      // Down to the radius holding 1e-6 of the component's mass: r / (r + a) = 1e-3.
      for (double q : {1e-6, 1e-3, 0.1, 0.5, 0.9, 0.999}) {
        const double y = std::sqrt(q), r = exact.a[i] * y / (1 - y), e = exact.psi(r);
        EXPECT_NEAR(profile_df(m, e) / exact.df(i, e), 1.0, 2e-5) << "component " << i << " hole " << hole << " mass " << q;
      }
    }
  }
}

// Around a black hole a core has no isotropic equilibrium (rho ~ Psi^gamma
// with gamma < 1/2 gives f < 0), nor does any component with an r_a too small.
TEST(GalaxyModel, ImpossibleCompositesAreRefusedNamingTheComponent) {
  std::vector<component_law> parts(2);
  std::string why;
  ASSERT_TRUE(parse_density_law("nfw", &parts[0].law, &why));
  parts[0].law.taper_radius = 10, parts[0].mass = 0.9;
  ASSERT_TRUE(parse_density_law("plummer", &parts[1].law, &why));
  parts[1].mass = 0.099, parts[1].scale = 0.1;
  std::vector<profile_model> models;
  int failed = -1;
  EXPECT_FALSE(build_galaxy_model(parts, 0.001, &models, &failed, &why));
  EXPECT_EQ(failed, 1) << why;
  EXPECT_NE(why.find("negative"), std::string::npos) << why;
  // Nor in the cusp of the halo alone (Psi_0 - Psi ~ r there, so rho of
  // the core falls as (Psi_0 - Psi)^2: d2rho/dPsi2 < 0). In a cored halo of
  // about its size the same stars are fine; five times more compact, they
  // make the halo's own core impossible.
  parts[1].mass = 0.1;
  EXPECT_FALSE(build_galaxy_model(parts, 0.0, &models, &failed, &why));
  EXPECT_EQ(failed, 1) << why;
  ASSERT_TRUE(parse_density_law("plummer", &parts[0].law, &why));
  parts[1].scale = 0.6;
  EXPECT_TRUE(build_galaxy_model(parts, 0.0, &models, &failed, &why)) << why;
  parts[1].scale = 0.2;
  EXPECT_FALSE(build_galaxy_model(parts, 0.0, &models, &failed, &why));
  EXPECT_EQ(failed, 0) << why;
}

}  // namespace
