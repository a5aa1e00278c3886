#include "disc_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double gx[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gw[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};

disc_model made(double height, disc_vertical vertical, double truncation = 30.0, double width = 5.0) {
  disc_law law;
  law.scale_height = height;
  law.vertical = vertical;
  law.truncation = truncation;
  law.truncation_width = width;
  disc_model m;
  std::string why;
  EXPECT_TRUE(build_disc_model(law, &m, &why)) << why;
  return m;
}

// Freeman (1970): the razor-thin exponential disc's midplane circular speed,
// v_c^2 = 4 pi G Sigma0 R_d y^2 [I0 K0 - I1 K1](y), y = R / 2 R_d.
TEST(DiscModel, AThinDiscHasFreemansRotationCurve) {
  const disc_model m = made(0.001, vertical_sech2);
  const double sigma0 = 1.0 / (2 * pi);
  for (double R = 0.5; R <= 5.0; R += 0.25) {
    const double y = 0.5 * R;
    const double freeman = 4 * pi * sigma0 * y * y *
                           (std::cyl_bessel_i(0, y) * std::cyl_bessel_k(0, y) - std::cyl_bessel_i(1, y) * std::cyl_bessel_k(1, y));
    const double v2 = -R * disc_potential(m, R, 0.0).force_R;
    EXPECT_NEAR(v2 / freeman, 1.0, 5e-3) << "R " << R;
  }
}

// The field of a ring of unit mass and radius a in the plane, at (R, z):
// Phi = -(2 / pi) K(k) / s, s^2 = (a + R)^2 + z^2, k^2 = 4 a R / s^2, and
// its forces by differentiating that closed form.
void ring_force(double a, double R, double z, double *f_R, double *f_z) {
  const double q = (a + R) * (a + R) + z * z, s = std::sqrt(q), k = std::sqrt(std::min(4 * a * R / q, 1.0 - 1e-15));
  const double K = std::comp_ellint_1(k), E = std::comp_ellint_2(k);
  const double dK = E / (k * (1 - k * k)) - K / k;
  const double dk_dR = 2 * a / (k * q) * (1 - 2 * R * (a + R) / q), dk_dz = -4 * a * R * z / (k * q * q);
  *f_R = (2 / pi) * (dK * dk_dR / s - K * (a + R) / (s * s * s));
  *f_z = (2 / pi) * (dK * dk_dz / s - K * z / (s * s * s));
}

// Panel edges on [lo, hi], graded geometrically towards at (when inside).
std::vector<double> edges_towards(double lo, double hi, double at, double finest) {
  std::vector<double> e = {lo, hi};
  if (at > lo && at < hi) e.push_back(at);
  for (double d = finest; d < hi - lo; d *= 3) {
    for (double x : {at - d, at + d}) {
      if (x > lo && x < hi) e.push_back(x);
    }
  }
  for (int k = 1; k < 24; ++k) e.push_back(lo + (hi - lo) * k / 24);
  std::sort(e.begin(), e.end());
  e.erase(std::unique(e.begin(), e.end()), e.end());
  return e;
}

// The forces of the disc's density at (R, z), summed ring by ring: a 2D
// Gauss-Legendre quadrature over (R', z'), graded towards the point.
void direct_force(const disc_model &m, double R, double z, double *f_R, double *f_z) {
  const std::vector<double> Rs = edges_towards(0.0, m.law.truncation, R, 1e-5);
  const std::vector<double> zs = edges_towards(-20 * m.law.scale_height, 20 * m.law.scale_height, z, 1e-5);
  *f_R = *f_z = 0.0;
  for (size_t i = 0; i + 1 < Rs.size(); ++i) {
    for (size_t j = 0; j + 1 < zs.size(); ++j) {
      const double rm = 0.5 * (Rs[i] + Rs[i + 1]), rh = 0.5 * (Rs[i + 1] - Rs[i]);
      const double zm = 0.5 * (zs[j] + zs[j + 1]), zh = 0.5 * (zs[j + 1] - zs[j]);
      for (int p = 0; p < 8; ++p) {
        const double a = rm + (p % 2 ? 1 : -1) * rh * gx[p / 2];
        for (int q = 0; q < 8; ++q) {
          const double zz = zm + (q % 2 ? 1 : -1) * zh * gx[q / 2];
          const double mass = rh * gw[p / 2] * zh * gw[q / 2] * 2 * pi * a * disc_density(m, a, zz);
          double fr, fz;
          ring_force(a, R, z - zz, &fr, &fz);
          *f_R += mass * fr, *f_z += mass * fz;
        }
      }
    }
  }
}

TEST(DiscModel, ForcesOfThickDiscsAgainstADirectQuadratureOfTheirDensity) {
  for (const disc_vertical vertical : {vertical_sech2, vertical_exponential}) {
    const disc_model m = made(0.1, vertical, 6.0, 1.5);
    for (double R : {0.5, 2.0, 5.0}) {
      for (double z : {0.0, 0.1, 0.3}) {
        double f_R, f_z;
        direct_force(m, R, z, &f_R, &f_z);
        const disc_field f = disc_potential(m, R, z);
        EXPECT_NEAR(f.force_R / f_R, 1.0, 5e-3) << "R " << R << " z " << z << " vertical " << vertical;
        if (z > 0) {
          EXPECT_NEAR(f.force_z / f_z, 1.0, 5e-3) << "R " << R << " z " << z << " vertical " << vertical;
        } else {
          EXPECT_LT(std::fabs(f.force_z), 1e-9);
        }
      }
    }
  }
}

}  // namespace
