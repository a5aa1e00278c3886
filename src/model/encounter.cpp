#include "encounter.h"

#include <cmath>
#include <cstdio>

#include "galaxy_types.h"

namespace {

// The cosine of the true anomaly at separation d on an orbit of
// semi-latus rectum p: p / d = 1 + e cos f, held within [-1, 1] against
// the last bit.
double anomaly_cosine(const encounter_orbit &o) {
  if (o.eccentricity == 0.0) return 1.0;
  const double p = o.pericentre * (1.0 + o.eccentricity);
  const double c = (p / o.separation - 1.0) / o.eccentricity;
  return std::fmax(-1.0, std::fmin(1.0, c));
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
  const double c = anomaly_cosine(o), s = -std::sqrt(std::fmax(0.0, 1.0 - c * c));  // approaching: before pericentre
  relative_state r;
  r.anomaly = std::atan2(s, c);
  r.position[0] = o.separation * c, r.position[1] = o.separation * s, r.position[2] = 0.0;
  r.velocity[0] = -mu / h * s, r.velocity[1] = mu / h * (e + c), r.velocity[2] = 0.0;
  return r;
}

double time_to_pericentre(const encounter_orbit &o, double mu) {
  const double e = o.eccentricity, q = o.pericentre;
  if (e == 0.0) return 0.0;
  const double f = -relative_start(o, mu).anomaly;  // the anomaly still to go, >= 0
  if (e == 1.0) {
    // Barker's equation.
    const double D = std::tan(0.5 * f), p = 2.0 * q;
    return 0.5 * std::sqrt(p * p * p / mu) * (D + D * D * D / 3.0);
  }
  const double a = q / std::fabs(1.0 - e);
  if (e < 1.0) {
    const double E = 2.0 * std::atan(std::sqrt((1.0 - e) / (1.0 + e)) * std::tan(0.5 * f));
    return std::sqrt(a * a * a / mu) * (E - e * std::sin(E));
  }
  const double H = 2.0 * std::atanh(std::sqrt((e - 1.0) / (e + 1.0)) * std::tan(0.5 * f));
  return std::sqrt(a * a * a / mu) * (e * std::sinh(H) - H);
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
