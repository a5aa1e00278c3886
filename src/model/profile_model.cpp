#include "profile_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "density_shape.h"
#include "disc_model.h"

using density_shape::hermite;
using density_shape::pi;
using density_shape::shape;
using density_shape::shape_at;

shape_at density_shape::component_shape(const profile_model &m, double r) {
  if (m.disc) {
    const disc_shape d = disc_spherical_shape(*m.disc, r);
    const double value = m.density_scale * d.value;
    return {value, d.g1, d.g2, value > 0.0 ? std::log(value) : -HUGE_VAL};
  }
  shape_at sh = shape(m.law, r / m.scale);
  sh.value *= m.density_scale;
  sh.log_value += std::log(m.density_scale);
  return sh;
}

bool parse_density_law(const std::string &name, density_law *law, std::string *why) {
  *law = density_law();
  double a = 0, b = 0, g = 0;
  char tail = 0;
  if (name == "hernquist") return true;
  if (name == "plummer") {
    law->alpha = 2, law->beta = 5, law->gamma = 0;
  } else if (name == "jaffe") {
    law->gamma = 2;
  } else if (name == "nfw") {
    law->beta = 3;
  } else if (name.rfind("dehnen:", 0) == 0 && std::sscanf(name.c_str() + 7, "%lf%c", &g, &tail) == 1 &&
             std::isfinite(g)) {
    if (!(g >= 0.0 && g < 3.0)) {
      *why = "dehnen:G needs 0 <= G < 3";
      return false;
    }
    law->gamma = g;
  } else if (name.rfind("zhao:", 0) == 0 &&
             std::sscanf(name.c_str() + 5, "%lf,%lf,%lf%c", &a, &b, &g, &tail) == 3 && std::isfinite(a + b + g)) {
    if (!(a > 0.0)) {
      *why = "zhao:A,B,G needs A > 0";
      return false;
    }
    law->alpha = a, law->beta = b, law->gamma = g;
  } else {
    *why = "profile " + name + " is not hernquist, plummer, jaffe, dehnen:G, nfw or zhao:A,B,G";
    return false;
  }
  return true;
}

bool mean_square_radius_diverges(const density_law &law) { return !(law.taper_radius > 0.0) && law.beta <= 5.0; }

bool density_law_is_proper(const density_law &law, std::string *why) {
  if (!(law.gamma < 3.0)) {
    *why = "its density is not integrable at the centre (gamma >= 3)";
    return false;
  }
  if (!(law.beta > 3.0) && !(law.taper_radius > 0.0)) {
    *why = "its mass diverges (beta <= 3): give it a taper with --cutoff";
    return false;
  }
  return true;
}

namespace {

double ln_r(const profile_model &m, int i) { return m.log_r0 + m.step * i; }

}  // namespace

double profile_density(const profile_model &m, double r) {
  return m.disc ? density_shape::component_shape(m, r).value : m.density_scale * shape(m.law, r / m.scale).value;
}

double profile_enclosed_mass(const profile_model &m, double r) {
  if (!(r > 0.0)) return 0.0;
  const int last = static_cast<int>(m.mass.size()) - 1;
  const double lnr = std::log(r), u = (lnr - m.log_r0) / m.step;
  if (u <= 0.0) {
    const shape_at sh = m.disc ? density_shape::component_shape(m, r) : shape(m.law, r / m.scale);
    return 4 * pi * (m.disc ? 1.0 : m.density_scale) * sh.value * r * r * r / (3.0 + sh.g1);
  }
  if (u >= last) return m.mass[last];
  const int j = static_cast<int>(u);
  const double rj = std::exp(ln_r(m, j)), rk = std::exp(ln_r(m, j + 1));
  const hermite h(u - j);
  return h.h00 * m.mass[j] + h.h10 * 4 * pi * profile_density(m, rj) * rj * rj * rj * m.step +
         h.h01 * m.mass[j + 1] + h.h11 * 4 * pi * profile_density(m, rk) * rk * rk * rk * m.step;
}

double profile_potential(const profile_model &m, double r) {
  const int last = static_cast<int>(m.psi.size()) - 1;
  const double r0 = std::exp(m.log_r0);
  // Inside the nodes the components' potential is flat to 1e-10 of their
  // mass; a black hole's is not.
  if (!(r > 0.0)) return m.black_hole > 0.0 ? HUGE_VAL : m.psi[0];
  const double u = (std::log(r) - m.log_r0) / m.step;
  if (u <= 0.0) return m.black_hole > 0.0 ? m.psi[0] + m.black_hole * (1.0 / r - 1.0 / r0) : m.psi[0];
  if (u >= last) return m.psi[last] * std::exp(ln_r(m, last)) / r;
  const int j = static_cast<int>(u);
  const double rj = std::exp(ln_r(m, j)), rk = std::exp(ln_r(m, j + 1));
  const hermite h(u - j);
  return h.h00 * m.psi[j] - h.h10 * m.total_mass[j] / rj * m.step + h.h01 * m.psi[j + 1] -
         h.h11 * m.total_mass[j + 1] / rk * m.step;
}

double profile_df(const profile_model &m, double energy) {
  const size_t last = m.psi.size() - 1;
  if (!(energy > 0.0)) return 0.0;
  if (!(energy < m.psi[0])) {
    // Around a black hole, energies beyond the nodes' are bound tighter
    // still: f carries on as the first nodes' power law (rho ~ Psi^gamma
    // gives f ~ E^(gamma - 3/2) there).
    if (!(m.black_hole > 0.0) || !(m.df[0] > 0.0)) return 0.0;
    return m.df[0] * std::pow(energy / m.psi[0], m.df_slope[0]);
  }
  if (energy <= m.psi[last]) {
    // Below the grid's energies (beyond its radii): the last nodes' power law,
    // never falling as E grows.
    if (!(m.df[last] > 0.0) || !(m.df[last - 1] > 0.0)) return 0.0;
    const double p = std::max(0.0, std::log(m.df[last - 1] / m.df[last]) / std::log(m.psi[last - 1] / m.psi[last]));
    return m.df[last] * std::pow(energy / m.psi[last], p);
  }
  // Nodes' energies fall with i: find the cell, interpolate ln f in ln E by
  // the cell's monotone cubic, which stays between its two end values.
  const auto at = std::lower_bound(m.psi.rbegin(), m.psi.rend(), energy);
  const size_t k = static_cast<size_t>(m.psi.rend() - at) - 1;  // psi[k] >= energy > psi[k + 1]
  if (!(m.df[k] > 0.0) || !(m.df[k + 1] > 0.0)) return m.df[k];
  const double x0 = std::log(m.psi[k]), h = std::log(m.psi[k + 1]) - x0;
  const hermite basis((std::log(energy) - x0) / h);
  return std::exp(basis.h00 * std::log(m.df[k]) + basis.h10 * h * m.df_slope[k] + basis.h01 * std::log(m.df[k + 1]) +
                  basis.h11 * h * m.df_slope[k + 1]);
}
