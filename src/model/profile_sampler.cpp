#include "profile_sampler.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int envelope_bins = 256;
constexpr int max_trials = 1000000;

// Cubic Hermite value on a cell at u in [0, 1].
double hermite(double y0, double d0, double y1, double d1, double u) {
  return (1 + 2 * u) * (1 - u) * (1 - u) * y0 + u * (1 - u) * (1 - u) * d0 + u * u * (3 - 2 * u) * y1 +
         u * u * (u - 1) * d1;
}

double hermite_slope(double y0, double d0, double y1, double d1, double u) {
  return 6 * u * (u - 1) * y0 + (1 - u) * (1 - 3 * u) * d0 + 6 * u * (1 - u) * y1 + u * (3 * u - 2) * d1;
}

// Energy cell k spans [cell_low(k), psi[k]].
double cell_low(const profile_model &m, int k) {
  return k + 1 < static_cast<int>(m.psi.size()) ? m.psi[k + 1] : 0.0;
}

}  // namespace

void build_profile_sampler(const profile_model &m, profile_sampler *s) {
  s->model = &m;
  const int n = static_cast<int>(m.mass.size());
  s->node_r.resize(n);
  s->node_dm.resize(n);
  for (int i = 0; i < n; ++i) {
    const double r = std::exp(m.log_r0 + m.step * i);
    s->node_r[i] = r;
    s->node_dm[i] = 4 * pi * profile_density(m, r) * r * r * r * m.step;
  }
  // Bin b holds radii from edge b; Psi falls with r, so the edge's Psi_a
  // bounds Psi(r) in it, and on energy cell k = [psi[k+1], psi[k]] the
  // interpolated f (ln f linear in ln E) is at most the larger node value.
  // The bins cover the radii that hold all but 1e-12 of the mass: the grid
  // runs a decade beyond, for the integrals' room, where no particle is.
  int top = n - 1;
  while (top > 1 && m.mass[top - 1] >= (1.0 - 1e-12) * m.mass[n - 1]) --top;
  s->bins = envelope_bins;
  s->cells = n;  // n - 1 between nodes, and [0, psi[n - 1]] below them
  s->bin_log_r0 = m.log_r0;
  s->bin_step = m.step * top / envelope_bins;
  s->height.assign(static_cast<size_t>(s->bins) * s->cells, 0.0);
  s->cumulative.assign(static_cast<size_t>(s->bins) * s->cells, 0.0);
  s->bin_psi.assign(s->bins, 0.0);
  for (int b = 0; b < s->bins; ++b) {
    const double psi_a = profile_potential(m, std::exp(s->bin_log_r0 + s->bin_step * b));
    s->bin_psi[b] = psi_a;
    double total = 0.0;
    for (int k = n - 1; k >= 0; --k) {  // energies rising
      const size_t at = static_cast<size_t>(b) * s->cells + k;
      const double lo = cell_low(m, k), hi = std::min(m.psi[k], psi_a);
      if (hi > lo) {
        // Below the grid f rises as a power law to the last node's value.
        const double f_max = k == n - 1 ? m.df[k] : std::max(m.df[k], m.df[k + 1]);
        s->height[at] = f_max * std::sqrt(psi_a - lo);
        total += s->height[at] * (hi - lo);
      }
      s->cumulative[at] = total;
    }
  }
}

double sample_profile_radius(const profile_sampler &s, double u) {
  const profile_model &m = *s.model;
  const int n = static_cast<int>(m.mass.size());
  const double target = u * m.mass[n - 1];
  if (target <= m.mass[0]) {
    // Inside the grid the density is a power law of the first node's slope.
    const double slope = 4 * pi * profile_density(m, s.node_r[0]) * s.node_r[0] * s.node_r[0] * s.node_r[0] / m.mass[0];
    return s.node_r[0] * std::pow(std::max(target, 0.0) / m.mass[0], 1.0 / slope);
  }
  const int j = static_cast<int>(std::upper_bound(m.mass.begin(), m.mass.end(), target) - m.mass.begin()) - 1;
  if (j >= n - 1) return s.node_r[n - 1];
  // Newton on the cell's Hermite M(u), kept inside the bracket.
  double lo = 0.0, hi = 1.0, x = (target - m.mass[j]) / (m.mass[j + 1] - m.mass[j]);
  for (int iteration = 0; iteration < 60; ++iteration) {
    const double value = hermite(m.mass[j], s.node_dm[j], m.mass[j + 1], s.node_dm[j + 1], x) - target;
    (value < 0.0 ? lo : hi) = x;
    const double slope = hermite_slope(m.mass[j], s.node_dm[j], m.mass[j + 1], s.node_dm[j + 1], x);
    double next = slope > 0.0 ? x - value / slope : 0.5 * (lo + hi);
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    if (std::fabs(next - x) < 1e-15) break;
    x = next;
  }
  return std::exp(m.log_r0 + m.step * (j + x));
}

// Inside the first node around a black hole Psi(r) rises above the first
// bin's bound (at most 1e-10 of the mass is there): the envelope is made
// for this radius alone, the cells of the nodes and one above them, up to
// Psi(r), where f is the first nodes' power law (monotone, so its larger
// end bounds it).
double sample_inner_kinetic(const profile_sampler &s, double psi_r, random_stream *stream) {
  const profile_model &m = *s.model;
  const int cells = s.cells + 1;  // cell -1 of the nodes: [psi[0], psi_r], kept as the last
  std::vector<double> heights(cells), cumulative(cells);
  double total = 0.0;
  for (int c = 0; c < cells; ++c) {
    const int k = c == s.cells ? -1 : c;
    const double lo = k < 0 ? m.psi[0] : cell_low(m, k), hi = k < 0 ? psi_r : m.psi[k];
    const double f_max = k < 0 ? std::max(profile_df(m, lo), profile_df(m, hi))
                               : k == s.cells - 1 ? m.df[k] : std::max(m.df[k], m.df[k + 1]);
    heights[c] = f_max * std::sqrt(psi_r - lo);
    total += heights[c] * (hi - lo);
    cumulative[c] = total;
  }
  for (int trial = 0; trial < max_trials; ++trial) {
    const int c = static_cast<int>(std::upper_bound(cumulative.begin(), cumulative.end(), next_uniform(stream) * total) -
                                   cumulative.begin());
    const int k = std::min(c, cells - 1) == s.cells ? -1 : std::min(c, cells - 1);
    const double lo = k < 0 ? m.psi[0] : cell_low(m, k), hi = k < 0 ? psi_r : m.psi[k];
    const double e = lo + next_uniform(stream) * (hi - lo);
    const double test = next_uniform(stream) * heights[std::min(c, cells - 1)];
    if (!(e > 0.0 && e < psi_r)) continue;
    if (test <= profile_df(m, e) * std::sqrt(psi_r - e)) return psi_r - e;
  }
  s.exhausted.store(true, std::memory_order_relaxed);
  return 0.0;
}

// Rejection: a cell by its envelope weight, E uniform in it, accepted when
// u3 height <= f(E) sqrt(Psi(r) - E). The envelope is above that at every
// radius of the bin, so the accepted E follows it exactly.
double sample_profile_kinetic(const profile_sampler &s, double r, random_stream *stream) {
  const profile_model &m = *s.model;
  // A draw of exactly 0 has no potential around a black hole: it takes that
  // of a radius far inside the first node.
  if (m.black_hole > 0.0 && !(r > 0.0)) r = 1e-6 * s.node_r[0];
  const double psi_r = profile_potential(m, r);
  if (psi_r > s.bin_psi[0]) return sample_inner_kinetic(s, psi_r, stream);
  // Radii below the grid (0 included, for a uniform draw of exactly 0) are bin 0's.
  const double place = r > 0.0 ? (std::log(r) - s.bin_log_r0) / s.bin_step : 0.0;
  const int b = place <= 0.0 ? 0 : place >= s.bins - 1 ? s.bins - 1 : static_cast<int>(place);
  const double *cumulative = &s.cumulative[static_cast<size_t>(b) * s.cells];
  const double *height = &s.height[static_cast<size_t>(b) * s.cells];
  const double total = cumulative[0];
  // The envelope holds the accepted share of trials well above 1e-3 for any
  // model the tables accept; the cap only keeps a fault from hanging a run.
  for (int trial = 0; trial < max_trials; ++trial) {
    const double pick = next_uniform(stream) * total;
    // cumulative[k] sums cells k and above in k (lower energies): the cell is
    // the largest k whose sum exceeds pick.
    int lo = 0, hi = s.cells - 1;
    while (lo < hi) {
      const int mid = (lo + hi + 1) / 2;
      if (cumulative[mid] > pick) {
        lo = mid;
      } else {
        hi = mid - 1;
      }
    }
    const int k = lo;
    const double e_lo = cell_low(m, k), e_hi = std::min(m.psi[k], s.bin_psi[b]);
    const double e = e_lo + next_uniform(stream) * (e_hi - e_lo);
    const double test = next_uniform(stream) * height[k];
    if (!(e > 0.0 && e < psi_r)) continue;
    if (test <= profile_df(m, e) * std::sqrt(psi_r - e)) return psi_r - e;
  }
  s.exhausted.store(true, std::memory_order_relaxed);
  return 0.0;
}
