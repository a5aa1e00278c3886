// Six-point Gauss-Legendre: the nodes' offsets (of the half-width) and
// weights of one half, mirrored, and the rule over an interval.
#ifndef GAUSS_LEGENDRE_H
#define GAUSS_LEGENDRE_H

constexpr double gauss6_x[3] = {0.2386191860831969, 0.6612093864662645, 0.9324695142031521};
constexpr double gauss6_w[3] = {0.4679139345726910, 0.3607615730481386, 0.1713244923791704};

template <class F>
double gauss6(double lo, double hi, F f) {
  const double mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
  double sum = 0.0;
  for (int q = 0; q < 3; ++q) sum += gauss6_w[q] * (f(mid - half * gauss6_x[q]) + f(mid + half * gauss6_x[q]));
  return half * sum;
}

#endif
