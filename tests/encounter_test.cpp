#include "encounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;

// The relative orbit followed by fourth-order Runge-Kutta from its start:
// the smallest separation and when it comes (to within a step).
void follow(const relative_state &s, double mu, double duration, int steps, double *closest, double *when,
            double at[2]) {
  double y[4] = {s.position[0], s.position[1], s.velocity[0], s.velocity[1]};
  const auto rate = [mu](const double in[4], double out[4]) {
    const double r = std::hypot(in[0], in[1]), a = -mu / (r * r * r);
    out[0] = in[2], out[1] = in[3], out[2] = a * in[0], out[3] = a * in[1];
  };
  const double dt = duration / steps;
  *closest = std::hypot(y[0], y[1]), *when = 0.0;
  for (int i = 1; i <= steps; ++i) {
    double k[4][4], t[4];
    rate(y, k[0]);
    for (int j = 0; j < 4; ++j) t[j] = y[j] + 0.5 * dt * k[0][j];
    rate(t, k[1]);
    for (int j = 0; j < 4; ++j) t[j] = y[j] + 0.5 * dt * k[1][j];
    rate(t, k[2]);
    for (int j = 0; j < 4; ++j) t[j] = y[j] + dt * k[2][j];
    rate(t, k[3]);
    for (int j = 0; j < 4; ++j) y[j] += dt / 6.0 * (k[0][j] + 2.0 * k[1][j] + 2.0 * k[2][j] + k[3][j]);
    const double r = std::hypot(y[0], y[1]);
    if (r < *closest) *closest = r, *when = i * dt, at[0] = y[0], at[1] = y[1];
  }
}

TEST(Encounter, StartsOnItsOrbitAndReachesPericentreWhenSaid) {
  const double mu = 1.0;  // the orbit's shape does not depend on the units
  for (const double e : {0.3, 0.9, 1.0, 1.5, 4.0}) {
    for (const double d : {1.5, 6.0, 20.0}) {
      const encounter_orbit o{1.0, e, d};
      std::string why;
      if (e < 1.0 && d > (1.0 + e) / (1.0 - e)) {
        EXPECT_FALSE(judge_orbit(o, &why)) << e << " " << d;
        continue;
      }
      ASSERT_TRUE(judge_orbit(o, &why)) << why;
      const relative_state s = relative_start(o, mu);
      EXPECT_NEAR(std::hypot(s.position[0], s.position[1]), d, 1e-14 * d);
      EXPECT_LT(s.position[0] * s.velocity[0] + s.position[1] * s.velocity[1], 0.0) << "approaching";
      EXPECT_GT(s.position[0] * s.velocity[1] - s.position[1] * s.velocity[0], 0.0) << "angular momentum along +z";
      const double t = time_to_pericentre(o, mu);
      double closest, when, at[2];
      follow(s, mu, 1.25 * t, 200000, &closest, &when, at);
      EXPECT_NEAR(at[1], 0.0, 1e-3) << "the pericentre on +x";
      EXPECT_GT(at[0], 0.0);
      EXPECT_NEAR(closest, 1.0, 1e-6) << "e " << e << " d " << d;
      EXPECT_NEAR(when, t, 2e-5 * t) << "e " << e << " d " << d;
    }
  }
}

TEST(Encounter, RefusesWhatNoOrbitStartsFrom) {
  std::string why;
  EXPECT_FALSE(judge_orbit({2.0, 1.0, 1.0}, &why));
  EXPECT_NE(why.find("below the pericentre"), std::string::npos) << why;
  EXPECT_FALSE(judge_orbit({1.0, 0.5, 3.5}, &why));
  EXPECT_NE(why.find("apocentre 3"), std::string::npos) << why;
  EXPECT_TRUE(judge_orbit({1.0, 0.5, 3.0}, &why)) << "at the apocentre itself";
  EXPECT_FALSE(judge_orbit({1.0, 0.0, 1.5}, &why));
  EXPECT_TRUE(judge_orbit({1.0, 0.0, 1.0}, &why));
  for (const encounter_orbit o : {encounter_orbit{0.0, 1.0, 1.0}, encounter_orbit{1.0, -0.1, 2.0},
                                  encounter_orbit{1.0, NAN, 2.0}, encounter_orbit{1.0, 1.0, INFINITY}}) {
    EXPECT_FALSE(judge_orbit(o, &why));
  }
  // A circular orbit starts where it stays; at the apocentre the motion is all across.
  const relative_state c = relative_start({1.0, 0.0, 1.0}, 1.0);
  EXPECT_NEAR(c.velocity[1], 1.0, 1e-15);
  EXPECT_EQ(time_to_pericentre({1.0, 0.0, 1.0}, 1.0), 0.0);
  const relative_state a = relative_start({1.0, 0.5, 3.0}, 1.0);
  EXPECT_NEAR(a.position[0], -3.0, 1e-12);
  EXPECT_NEAR(time_to_pericentre({1.0, 0.5, 3.0}, 1.0), pi * std::pow(2.0, 1.5), 1e-12) << "half a period";
}

TEST(Encounter, StaysExactAtTheOrbitsEdges) {
  // A tiny eccentricity at the pericentre starts there, not a quarter-turn on.
  for (const double e : {1e-300, 1e-17, 1e-12}) {
    const relative_state s = relative_start({25.0, e, 25.0}, 1.0);
    EXPECT_EQ(s.position[0], 25.0) << e;
    EXPECT_EQ(s.position[1], 0.0) << e;
    EXPECT_EQ(time_to_pericentre({25.0, e, 25.0}, 1.0), 0.0);
  }
  // Far out on a parabola the speed is the escape speed, however far.
  for (const double d : {1e3, 1e10, 1e30}) {
    const relative_state s = relative_start({1.0, 1.0, d}, 1.0);
    EXPECT_NEAR(std::hypot(s.velocity[0], s.velocity[1]) / std::sqrt(2.0 / d), 1.0, 1e-12) << d;
    // Barker's time against the parabola's own far limit, t -> sqrt(2 d^3 / mu) / 3.
    if (d >= 1e10) {
      EXPECT_NEAR(time_to_pericentre({1.0, 1.0, d}, 1.0) / (std::sqrt(2.0 * d * d * d) / 3.0), 1.0, 1e-4);
    }
  }
  // The time is continuous across e = 1, and finite on far hyperbolae.
  const double parabolic = time_to_pericentre({25.0, 1.0, 200.0}, 1.0);
  for (const double de : {1e-16, 1e-12, 1e-8}) {
    for (const double e : {1.0 - de, 1.0 + de}) {
      EXPECT_NEAR(time_to_pericentre({25.0, e, 200.0}, 1.0) / parabolic, 1.0, 20.0 * de + 1e-13) << e;
    }
  }
  for (const double e : {1.1, 2.0, 1e12}) {
    for (const double d : {1e10, 1e18}) {
      // Far out, with d = a (e cosh H - 1): e sinh H - H -> d / a + 1 - ln(2 (d / a + 1) / e), to (a / d)^2.
      const double a = 1.0 / (e - 1.0), far = a * std::sqrt(a) * (d / a + 1.0 - std::log(2.0 * (d / a + 1.0) / e));
      EXPECT_NEAR(time_to_pericentre({1.0, e, d}, 1.0) / far, 1.0, 1e-9) << e << " " << d;
    }
  }
}

TEST(Encounter, TurnsAndMovesAndBack) {
  const double spin[2][2] = {{0.0, 0.0}, {pi, 0.0}};
  galaxy_motion pair[2];
  const double m1 = 3.0e41, m2 = 1.0e41;
  place_pair({3e20, 1.0, 3e21}, m1, m2, spin[0], spin[1], pair);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(m1 * pair[0].position[k] + m2 * pair[1].position[k], 0.0, 1e-15 * m1 * 3e21);
    EXPECT_NEAR(m1 * pair[0].velocity[k] + m2 * pair[1].velocity[k], 0.0, 1e-15 * m1 * 1e6);
  }
  // Prograde keeps the galaxy's spin along the orbit's, retrograde reverses it.
  double x[3] = {1.0, 0.0, 0.0}, v[3] = {0.0, 1.0, 0.0};
  galaxy_motion still = pair[1];
  for (double &p : still.position) p = 0.0;
  for (double &u : still.velocity) u = 0.0;
  move_into_pair(still, x, v);
  EXPECT_LT(x[0] * v[1] - x[1] * v[0], -0.999) << "theta = 180 degrees";
  for (const double theta : {0.3, 1.2, 2.9}) {
    for (const double phi : {-2.0, 0.0, 0.7, 3.1}) {
      const galaxy_turn t = spin_turn(theta, phi);
      EXPECT_NEAR(t.m[0][2], std::sin(theta) * std::cos(phi), 1e-15);
      EXPECT_NEAR(t.m[1][2], std::sin(theta) * std::sin(phi), 1e-15);
      EXPECT_NEAR(t.m[2][2], std::cos(theta), 1e-15);
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
          double dot = 0.0;
          for (int k = 0; k < 3; ++k) dot += t.m[k][i] * t.m[k][j];
          EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-15);
        }
      }
      galaxy_motion g = pair[0];
      g.turn = t;
      double p[3] = {1.2e20, -3.4e19, 5.6e18}, u[3] = {2.0e5, -1.0e5, 3.0e4};
      const double p0[3] = {p[0], p[1], p[2]}, u0[3] = {u[0], u[1], u[2]};
      move_into_pair(g, p, u);
      move_back(g, p, u);
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(p[k], p0[k], 1e-12 * 1.3e20);
        EXPECT_NEAR(u[k], u0[k], 1e-12 * 2.3e5);
      }
    }
  }
}

}  // namespace
