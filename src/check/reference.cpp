#include "reference.h"

#include <algorithm>
#include <cmath>

// rho_c(r) = rho0_c (r/a_c)^-gamma (1 + (r/a_c)^alpha)^((gamma - beta) / alpha) exp(-(r / r_c)^xi),
// written out here again so that the reference shares no code with the
// generator's model. On nodes equally spaced in ln r, 4-point
// Gauss-Legendre on each interval gives each component's
//   M_c(r) = int_0^r 4 pi rho_c r^3 dln r,
// their sum and the black hole's the total M, and the Jeans equation of
// the own component with beta(r) = r^2 / (r^2 + r_a^2) (0 when isotropic),
// d(rho sigma_r^2)/dr + 2 beta rho sigma_r^2 / r = -rho M / r^2, whose
// solution is
//   sigma_r^2(r) = 1 / (g rho)(r) int_r^inf (g rho M / r') dln r',
//   g = 1 + r^2 / r_a^2,
// summed from outside in as ratios of g rho, so that it stays finite where
// a taper makes rho underflow. Between nodes both are cubic Hermite
// interpolants with their exact slopes.

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double gl_x[2] = {0.3399810435848563, 0.8611363115940526};
constexpr double gl_w[2] = {0.6521451548625461, 0.3478548451374538};
constexpr double fine_step = 0.0025;  // in ln r

double softplus(double z) { return std::max(z, 0.0) + std::log1p(std::exp(-std::fabs(z))); }
double sigmoid(double z) { return z >= 0.0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z) / (1.0 + std::exp(z)); }

// ln rho_c at ln r = x (in L), and dln rho_c / dln r.
double log_density(const reference_component &c, double x) {
  const double y = x - std::log(c.scale);
  double value = c.log_rho0 - c.gamma * y + (c.gamma - c.beta) / c.alpha * softplus(c.alpha * y);
  if (c.taper_radius > 0.0) value -= std::exp(c.taper_strength * (y - std::log(c.taper_radius)));
  return value;
}

double log_slope(const reference_component &c, double x) {
  if (c.is_disc) return 0.0;  // its density in spheres is flat at the centre
  const double y = x - std::log(c.scale);
  double slope = -c.gamma + (c.gamma - c.beta) * sigmoid(c.alpha * y);
  if (c.taper_radius > 0.0) slope -= c.taper_strength * std::exp(c.taper_strength * (y - std::log(c.taper_radius)));
  return slope;
}

// ln g and dln g / dln r.
double log_g(const reference_component &c, double x) {
  return c.anisotropy_radius > 0.0 ? std::log1p(std::exp(2.0 * (x - std::log(c.anisotropy_radius)))) : 0.0;
}

double g_slope(const reference_component &c, double x) {
  return c.anisotropy_radius > 0.0 ? 2.0 * sigmoid(2.0 * (x - std::log(c.anisotropy_radius))) : 0.0;
}

double hermite(double y0, double d0, double y1, double d1, double h, double u) {
  return (1 + 2 * u) * (1 - u) * (1 - u) * y0 + u * (1 - u) * (1 - u) * h * d0 + u * u * (3 - 2 * u) * y1 +
         u * u * (u - 1) * h * d1;
}

double mass_slope(const reference_component &c, double x) {
  if (c.is_disc) return std::exp(c.log_rho0) * formula_spherical_mass_slope(c.disc, std::exp(x));
  return 4 * pi * std::exp(log_density(c, x) + 3.0 * x);
}

// A component holds no mass beyond its last node: tapered, or a disc.
bool bounded(const reference_component &c) { return c.taper_radius > 0.0 || c.is_disc; }

// The interval of ln r that holds a component's mass: where dM/dln r is
// within 1e-20 of its peak, padded, from a coarse scan over [1e-30, 1e30].
bool mass_interval(const reference_component &c, double *x_lo, double *x_hi, std::string *why) {
  if (c.is_disc) {
    *x_lo = std::log(1e-3 * std::min(c.disc.height, c.disc.length));
    *x_hi = std::log(std::hypot(c.disc.truncation, 40.0 * c.disc.height)) + 0.1;
    return true;
  }
  const double lo = std::log(1e-30), hi = std::log(1e30), dx = 0.05;
  double peak = -HUGE_VAL;
  for (double x = lo; x <= hi; x += dx) peak = std::max(peak, log_density(c, x) + 3.0 * x);
  if (!std::isfinite(peak)) {
    *why = "its density has no finite peak of mass";
    return false;
  }
  *x_lo = hi, *x_hi = lo;
  for (double x = lo; x <= hi; x += dx) {
    if (log_density(c, x) + 3.0 * x > peak - 46.0) *x_lo = std::min(*x_lo, x), *x_hi = std::max(*x_hi, x);
  }
  *x_lo = std::max(lo, *x_lo - 1.0);
  *x_hi = std::min(hi, *x_hi + 1.0);
  if (!(3.0 + log_slope(c, *x_lo) > 0.0)) {
    *why = "its mass is not finite at the centre";
    return false;
  }
  if (c.taper_radius <= 0.0 && !(3.0 + log_slope(c, *x_hi) < 0.0)) {
    *why = "its mass is not finite";
    return false;
  }
  return true;
}

double node_x(const jeans_reference &ref, size_t k) { return ref.log_r0 + ref.step * static_cast<double>(k); }

// A component's M by Gauss-Legendre on each interval, with rho0 set so
// that the whole is its share; returned as fractions of it.
std::vector<double> integrate_mass(const jeans_reference &ref, reference_component *c, size_t n) {
  std::vector<double> mass(n, 0.0);
  const double x0 = ref.log_r0;
  mass[0] = mass_slope(*c, x0) / (3.0 + log_slope(*c, x0));
  for (size_t k = 1; k < n; ++k) {
    const double mid = node_x(ref, k) - 0.5 * ref.step, half = 0.5 * ref.step;
    double sum = 0.0;
    for (int q = 0; q < 2; ++q) sum += gl_w[q] * (mass_slope(*c, mid - half * gl_x[q]) + mass_slope(*c, mid + half * gl_x[q]));
    mass[k] = mass[k - 1] + half * sum;
  }
  const double x1 = node_x(ref, n - 1), s_out = 3.0 + log_slope(*c, x1);
  const double beyond = bounded(*c) ? 0.0 : mass_slope(*c, x1) / -s_out;
  const double whole = mass[n - 1] + beyond;
  c->log_rho0 += std::log(c->share / whole);
  for (double &m : mass) m /= whole;
  return mass;
}

// Component c's M(r) as a fraction of its whole.
double fraction_at(const jeans_reference &ref, size_t c, double x) {
  const reference_component &comp = ref.components[c];
  const std::vector<double> &mass = ref.masses[c];
  const size_t n = mass.size();
  const double u = (x - ref.log_r0) / ref.step;
  if (u <= 0.0) return mass[0] * std::exp((3.0 + log_slope(comp, ref.log_r0)) * (x - ref.log_r0));
  if (u >= static_cast<double>(n - 1)) {
    const double x1 = node_x(ref, n - 1), s_out = 3.0 + log_slope(comp, x1);
    if (bounded(comp) || !(s_out < 0.0)) return mass[n - 1];
    return 1.0 - (1.0 - mass[n - 1]) * std::exp(s_out * (x - x1));
  }
  const size_t k = static_cast<size_t>(u);
  const double x0 = node_x(ref, k), scale = 1.0 / comp.share;
  const double s0 = comp.is_disc ? comp.node_slope[k] : mass_slope(comp, x0);
  const double s1 = comp.is_disc ? comp.node_slope[k + 1] : mass_slope(comp, x0 + ref.step);
  return hermite(mass[k], s0 * scale, mass[k + 1], s1 * scale, ref.step, u - static_cast<double>(k));
}

double total_at(const jeans_reference &ref, double x) {
  double total = ref.black_hole;
  for (size_t c = 0; c < ref.components.size(); ++c) total += ref.components[c].share * fraction_at(ref, c, x);
  return total;
}

// The own component's sigma_r^2 from outside in: over each interval, the
// integral of g rho M / r scaled by (g rho) at its inner node, plus the
// outer node's value carried in by the ratio of g rho.
void integrate_sigma(jeans_reference *ref, size_t n) {
  const reference_component &c = ref->components[static_cast<size_t>(ref->own)];
  ref->sigma.assign(n, 0.0);
  const auto lambda = [&](double x) { return log_g(c, x) + log_density(c, x); };
  const double x1 = node_x(*ref, n - 1);
  // Beyond the last node rho g ~ r^s, M ~ its value: the tail's integral.
  ref->sigma[n - 1] = total_at(*ref, x1) / std::exp(x1) / (1.0 - log_slope(c, x1) - g_slope(c, x1));
  for (size_t k = n - 1; k-- > 0;) {
    const double x0 = node_x(*ref, k), l0 = lambda(x0), mid = x0 + 0.5 * ref->step, half = 0.5 * ref->step;
    double sum = 0.0;
    for (int q = 0; q < 2; ++q) {
      for (const double x : {mid - half * gl_x[q], mid + half * gl_x[q]}) {
        sum += gl_w[q] * std::exp(lambda(x) - l0) * total_at(*ref, x) / std::exp(x);
      }
    }
    ref->sigma[k] = half * sum + ref->sigma[k + 1] * std::exp(lambda(x0 + ref->step) - l0);
  }
}

// dsigma_r^2 / dln r from the Jeans equation.
double sigma_slope(const jeans_reference &ref, double x, double sigma) {
  const reference_component &c = ref.components[static_cast<size_t>(ref.own)];
  return -total_at(ref, x) / std::exp(x) - sigma * (log_slope(c, x) + g_slope(c, x));
}

}  // namespace

bool build_component_reference(const std::vector<component_law> &components, double black_hole, int own,
                               jeans_reference *ref, std::string *why) {
  *ref = jeans_reference();
  ref->black_hole = black_hole;
  ref->own = own;
  double x_lo = HUGE_VAL, x_hi = -HUGE_VAL;
  for (const component_law &law : components) {
    reference_component c;
    if (law.disc) {
      c.is_disc = true;
      c.disc = disc_formula_of(law.disc->law);
      c.share = law.mass;
    }
    c.alpha = law.law.alpha, c.beta = law.law.beta, c.gamma = law.law.gamma;
    c.taper_radius = law.law.taper_radius, c.taper_strength = law.law.taper_strength;
    c.scale = law.scale, c.share = law.mass, c.anisotropy_radius = law.anisotropy_radius;
    double lo, hi;
    if (!mass_interval(c, &lo, &hi, why)) return false;
    x_lo = std::min(x_lo, lo), x_hi = std::max(x_hi, hi);
    ref->components.push_back(c);
  }
  const size_t n = static_cast<size_t>(std::ceil((x_hi - x_lo) / fine_step)) + 1;
  ref->log_r0 = x_lo;
  ref->step = (x_hi - x_lo) / static_cast<double>(n - 1);
  for (reference_component &c : ref->components) {
    ref->masses.push_back(integrate_mass(*ref, &c, n));
    if (!c.is_disc) continue;
    c.node_slope.resize(n);
    for (size_t k = 0; k < n; ++k) c.node_slope[k] = mass_slope(c, node_x(*ref, k));
  }
  if (!ref->components[static_cast<size_t>(own)].is_disc) integrate_sigma(ref, n);
  return true;
}

bool build_jeans_reference(const density_law &law, double anisotropy_radius, jeans_reference *ref,
                           std::string *why) {
  component_law one;
  one.law = law;
  one.anisotropy_radius = anisotropy_radius;
  return build_component_reference({one}, 0.0, 0, ref, why);
}

double reference_density(const jeans_reference &ref, double r) {
  return r > 0.0 ? std::exp(log_density(ref.components[static_cast<size_t>(ref.own)], std::log(r))) : HUGE_VAL;
}

double reference_mass_fraction(const jeans_reference &ref, double r) {
  if (!(r > 0.0)) return 0.0;
  return std::clamp(fraction_at(ref, static_cast<size_t>(ref.own), std::log(r)), 0.0, 1.0);
}

double reference_component_mass(const jeans_reference &ref, int c, double r) {
  const reference_component &own = ref.components[static_cast<size_t>(c)];
  return r > 0.0 ? own.share * std::clamp(fraction_at(ref, static_cast<size_t>(c), std::log(r)), 0.0, 1.0) : 0.0;
}

double reference_total_mass(const jeans_reference &ref, double r) {
  return r > 0.0 ? total_at(ref, std::log(r)) : ref.black_hole;
}

double reference_radius_of_fraction(const jeans_reference &ref, double q) {
  double lo = std::log(1e-30), hi = std::log(1e30);
  for (int k = 0; k < 200; ++k) {
    const double mid = 0.5 * (lo + hi);
    (fraction_at(ref, static_cast<size_t>(ref.own), mid) < q ? lo : hi) = mid;
  }
  return std::exp(0.5 * (lo + hi));
}

double reference_sigma_r2(const jeans_reference &ref, double r) {
  const reference_component &c = ref.components[static_cast<size_t>(ref.own)];
  const size_t n = ref.sigma.size();
  const double x = r > 0.0 ? std::log(r) : ref.log_r0 - 700.0, u = (x - ref.log_r0) / ref.step;
  if (u <= 0.0) {
    // The innermost node's power law.
    const double s0 = ref.sigma[0], p = sigma_slope(ref, ref.log_r0, s0) / s0;
    return s0 * std::exp(std::max(-700.0, p * (x - ref.log_r0)));
  }
  if (u >= static_cast<double>(n - 1)) return total_at(ref, x) / r / (1.0 - log_slope(c, x) - g_slope(c, x));
  const size_t k = static_cast<size_t>(u);
  const double x0 = node_x(ref, k), s0 = ref.sigma[k], s1 = ref.sigma[k + 1];
  return hermite(s0, sigma_slope(ref, x0, s0), s1, sigma_slope(ref, x0 + ref.step, s1), ref.step,
                 u - static_cast<double>(k));
}

double reference_sigma_t2(const jeans_reference &ref, double r) {
  const double ra = ref.components[static_cast<size_t>(ref.own)].anisotropy_radius;
  const double isotropy = ra > 0.0 ? ra * ra / (r * r + ra * ra) : 1.0;  // 1 - beta
  return 2.0 * isotropy * reference_sigma_r2(ref, r);
}
