// The checks' references' smooth interpolation of a table (and their loop
// on two threads).
#ifndef SMOOTH_TABLE_H
#define SMOOTH_TABLE_H

#include <algorithm>
#include <vector>

#include "two_threads.h"

// Catmull-Rom interpolation of a table on nodes x0 + k step, held at its ends.
inline double smooth_at(const std::vector<double> &y, double x0, double step, double x) {
  const int n = static_cast<int>(y.size());
  const double u = std::clamp((x - x0) / step, 0.0, static_cast<double>(n - 1));
  const int k = std::min(n - 2, static_cast<int>(u));
  const double t = u - k;
  const double ym = y[std::max(0, k - 1)], y0 = y[k], y1 = y[k + 1], y2 = y[std::min(n - 1, k + 2)];
  return y0 + 0.5 * t * (y1 - ym + t * (2.0 * ym - 5.0 * y0 + 4.0 * y1 - y2 + t * (3.0 * (y0 - y1) + y2 - ym)));
}

#endif
