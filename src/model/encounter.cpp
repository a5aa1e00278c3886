#include "encounter.h"

#include <cmath>
#include <cstdio>

#include "galaxy_types.h"

namespace {

// The start's true anomaly f at separation d, through the factors of
// 1 + cos f and 1 - cos f written so that none cancels (d far out, a tiny
// eccentricity anywhere, e far above 1):
//   1 - cos f = (d - q)(1 + e) / (d e),
//   1 + cos f = (q (1 + e) - d (1 - e)) / (d e) = ((q - d) + e (q + d)) / (d e),
//   e + cos f = (1 + e)/e (q - d (1 - e)) / d = (1 + e)/e ((q - d) + e d) / d,
// the second forms for e < 1, where q - d is exact near a circle.
struct anomaly {
  double cosine, sine, e_plus_cosine;  // sine < 0: before the pericentre
  double below, above;                 // 1 - cos f, 1 + cos f
};

anomaly start_anomaly(const encounter_orbit &o) {
  const double q = o.pericentre, e = o.eccentricity, d = o.separation;
  if (e == 0.0 || d == q) return {1.0, 0.0, 1.0 + e, 0.0, 2.0};
  const double below = (d - q) * (1.0 + e) / (d * e);
  const bool bound = e < 1.0;
  const double sum = bound ? (q - d) + e * (q + d) : q * (1.0 + e) + d * (e - 1.0);
  const double above = std::fmax(0.0, sum / (d * e));
  const double cosine = std::fmax(-1.0, std::fmin(1.0, 1.0 - below));
  const double shift = bound ? (q - d) + e * d : q + d * (e - 1.0);
  return {cosine, -std::sqrt(below * above), (1.0 + e) / e * (shift / d), below, above};
}

// x - sin x and sinh x - x by their series for small x, where the
// difference would cancel.
double minus_sine(double x) {
  if (std::fabs(x) > 0.5) return x - std::sin(x);
  double term = x * x * x / 6.0, sum = 0.0;
  for (int k = 1; std::fabs(term) > 1e-18 * std::fabs(sum) || k == 1; ++k) {
    sum += term;
    term *= -x * x / ((2.0 * k + 2.0) * (2.0 * k + 3.0));
  }
  return sum;
}

double sinh_minus(double x) {
  if (std::fabs(x) > 0.5) return std::sinh(x) - x;
  double term = x * x * x / 6.0, sum = 0.0;
  for (int k = 1; std::fabs(term) > 1e-18 * std::fabs(sum) || k == 1; ++k) {
    sum += term;
    term *= x * x / ((2.0 * k + 2.0) * (2.0 * k + 3.0));
  }
  return sum;
}

void turn_vector(const galaxy_turn &t, const double in[3], double out[3]) {
  for (int i = 0; i < 3; ++i) out[i] = t.m[i][0] * in[0] + t.m[i][1] * in[1] + t.m[i][2] * in[2];
}

void turn_back(const galaxy_turn &t, const double in[3], double out[3]) {
  for (int i = 0; i < 3; ++i) out[i] = t.m[0][i] * in[0] + t.m[1][i] * in[1] + t.m[2][i] * in[2];
}

}  // namespace

bool judge_orbit(const encounter_orbit &o, std::string *why) {
  char text[300];
  const double q = o.pericentre, e = o.eccentricity, d = o.separation;
  if (!(q > 0.0) || !std::isfinite(q) || !(e >= 0.0) || !std::isfinite(e) || !(d > 0.0) || !std::isfinite(d)) {
    *why = "the orbit needs a pericentre and a separation above 0 and an eccentricity of 0 or more";
    return false;
  }
  if (d < q) {
    std::snprintf(text, sizeof text, "the separation %.6g is below the pericentre %.6g: the galaxies never come "
                  "that close", d, q);
    *why = text;
    return false;
  }
  if (e == 0.0 && d != q) {
    *why = "a circular orbit (eccentricity 0) keeps its separation: the separation must be the pericentre";
    return false;
  }
  if (e < 1.0) {
    const double apocentre = q * (1.0 + e) / (1.0 - e);
    if (d > apocentre) {
      std::snprintf(text, sizeof text, "the separation %.6g is beyond the bound orbit's apocentre %.6g (pericentre "
                    "%.6g, eccentricity %.6g)", d, apocentre, q, e);
      *why = text;
      return false;
    }
  }
  return true;
}

relative_state relative_start(const encounter_orbit &o, double mu) {
  const double e = o.eccentricity, p = o.pericentre * (1.0 + e), h = std::sqrt(mu * p);
  const anomaly f = start_anomaly(o);
  relative_state r;
  r.anomaly = std::atan2(f.sine, f.cosine);
  r.position[0] = o.separation * f.cosine, r.position[1] = o.separation * f.sine, r.position[2] = 0.0;
  r.velocity[0] = -mu / h * f.sine, r.velocity[1] = mu / h * f.e_plus_cosine, r.velocity[2] = 0.0;
  return r;
}

double time_to_pericentre(const encounter_orbit &o, double mu) {
  const double e = o.eccentricity, q = o.pericentre, d = o.separation;
  if (e == 0.0 || d == q) return 0.0;
  // tan^2(f / 2) = (1 - cos f) / (1 + cos f), f the anomaly still to go.
  const anomaly f = start_anomaly(o);
  const double half = f.below, whole = f.above;
  if (e == 1.0) {
    // Barker's equation, with tan(f / 2) = sqrt(d / q - 1).
    const double D = std::sqrt((d - q) / q), p = 2.0 * q;
    return 0.5 * std::sqrt(p * p * p / mu) * (D + D * D * D / 3.0);
  }
  const double a = q / std::fabs(1.0 - e);
  if (e < 1.0) {
    const double E = whole > 0.0 ? 2.0 * std::atan(std::sqrt((1.0 - e) / (1.0 + e) * half / whole)) : 3.14159265358979323846;
    return std::sqrt(a / mu) * a * ((1.0 - e) * E + e * minus_sine(E));
  }
  // Far out tanh(H / 2) nears 1: H from the radius, d = a (e cosh H - 1).
  const double ratio = (d / a + 1.0) / e;
  const double H = ratio > 2.0 ? std::acosh(ratio) : 2.0 * std::atanh(std::sqrt((e - 1.0) / (e + 1.0) * half / whole));
  return std::sqrt(a / mu) * a * ((e - 1.0) * H + e * sinh_minus(H));
}

galaxy_turn spin_turn(double theta, double phi) {
  const double ct = std::cos(theta), st = std::sin(theta), cp = std::cos(phi), sp = std::sin(phi);
  galaxy_turn t;
  const double m[3][3] = {{cp * ct, -sp, cp * st}, {sp * ct, cp, sp * st}, {-st, 0.0, ct}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) t.m[i][j] = m[i][j];
  }
  return t;
}

void place_pair(const encounter_orbit &o, double m1, double m2, const double spin1[2], const double spin2[2],
                galaxy_motion out[2]) {
  const double M = m1 + m2;
  const relative_state r = relative_start(o, gravitational_constant * M);
  for (int k = 0; k < 3; ++k) {
    out[0].position[k] = -m2 / M * r.position[k], out[0].velocity[k] = -m2 / M * r.velocity[k];
    out[1].position[k] = m1 / M * r.position[k], out[1].velocity[k] = m1 / M * r.velocity[k];
  }
  out[0].turn = spin_turn(spin1[0], spin1[1]);
  out[1].turn = spin_turn(spin2[0], spin2[1]);
}

void move_into_pair(const galaxy_motion &g, double position[3], double velocity[3]) {
  double x[3], v[3];
  turn_vector(g.turn, position, x);
  turn_vector(g.turn, velocity, v);
  for (int k = 0; k < 3; ++k) position[k] = x[k] + g.position[k], velocity[k] = v[k] + g.velocity[k];
}

void move_back(const galaxy_motion &g, double position[3], double velocity[3]) {
  double x[3], v[3];
  for (int k = 0; k < 3; ++k) x[k] = position[k] - g.position[k], v[k] = velocity[k] - g.velocity[k];
  turn_back(g.turn, x, position);
  turn_back(g.turn, v, velocity);
}
