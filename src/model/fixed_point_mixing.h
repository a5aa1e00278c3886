// Anderson's mixing for a fixed point x = g(x): each round's next x is g's
// value less the combination of the last rounds' changes that best cancels
// the newest residual r = g(x) - x (least squares over the residuals'
// changes). Where the plain iteration x <- g(x) creeps along a slow mode,
// a few remembered rounds find it; on a linear map of dimension m, m + 1
// rounds remembered reach the fixed point.
#ifndef FIXED_POINT_MIXING_H
#define FIXED_POINT_MIXING_H

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

struct fixed_point_mixing {
  std::vector<std::vector<double>> dg, dr;  // changes of g and of r between rounds
  std::vector<double> last_g, last_r;
};

namespace mixing_detail {

inline double dot(const std::vector<double> &a, const std::vector<double> &b) {
  double s = 0.0;
  for (size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
  return s;
}

// Solves the m x m system a x = y by elimination with partial pivoting;
// false when it is singular.
inline bool solve_small(size_t m, std::vector<double> a, std::vector<double> y, std::vector<double> *x) {
  for (size_t c = 0; c < m; ++c) {
    size_t p = c;
    for (size_t i = c + 1; i < m; ++i)
      if (std::fabs(a[i * m + c]) > std::fabs(a[p * m + c])) p = i;
    if (!(std::fabs(a[p * m + c]) > 0.0)) return false;
    for (size_t j = 0; j < m; ++j) std::swap(a[c * m + j], a[p * m + j]);
    std::swap(y[c], y[p]);
    for (size_t i = c + 1; i < m; ++i) {
      const double q = a[i * m + c] / a[c * m + c];
      for (size_t j = c; j < m; ++j) a[i * m + j] -= q * a[c * m + j];
      y[i] -= q * y[c];
    }
  }
  x->assign(m, 0.0);
  for (size_t c = m; c-- > 0;) {
    double s = y[c];
    for (size_t j = c + 1; j < m; ++j) s -= a[c * m + j] * (*x)[j];
    (*x)[c] = s / a[c * m + c];
  }
  return true;
}

}  // namespace mixing_detail

// The next x from this round's g and its residual r (which may weigh the
// components: those it sets to 0 do not steer the mixing); the last
// `remembered` rounds' changes are kept.
inline std::vector<double> mixing_next(fixed_point_mixing *m, const std::vector<double> &g, const std::vector<double> &r,
                                       int remembered) {
  if (!m->last_g.empty()) {
    if (m->dg.size() >= static_cast<size_t>(remembered)) m->dg.erase(m->dg.begin()), m->dr.erase(m->dr.begin());
    m->dg.emplace_back(g.size()), m->dr.emplace_back(g.size());
    for (size_t k = 0; k < g.size(); ++k) m->dg.back()[k] = g[k] - m->last_g[k], m->dr.back()[k] = r[k] - m->last_r[k];
  }
  m->last_g = g, m->last_r = r;
  const size_t n = m->dr.size();
  std::vector<double> out = g;
  if (n == 0) return out;
  // The normal equations, held a little above singular by a ridge.
  std::vector<double> A(n * n), b(n), gamma;
  double trace = 0.0;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) A[i * n + j] = mixing_detail::dot(m->dr[i], m->dr[j]);
    b[i] = mixing_detail::dot(m->dr[i], r), trace += A[i * n + i];
  }
  for (size_t i = 0; i < n; ++i) A[i * n + i] += 1e-10 * trace + 1e-300;
  if (!mixing_detail::solve_small(n, A, b, &gamma)) return out;
  for (size_t j = 0; j < n; ++j)
    for (size_t k = 0; k < g.size(); ++k) out[k] -= gamma[j] * m->dg[j][k];
  return out;
}

#endif
