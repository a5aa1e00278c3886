#include "galaxy_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <utility>

#include "galaxy_types.h"
#include "particle_hdf5.h"
#include "random_coord.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double gravitational_constant = 6.673e-11;  // as galaxy-ic's escape speed uses

// f evaluated where its two terms do not cancel: long double, and the
// leading term of its series below 1e-3 (relative error under 1e-6).
long double accurate_density(long double q) {
  if (q < 1e-3L) return 25.6L * q * q * q * q * q;
  const long double s = 1.0L - q * q;
  return (3.0L * asinl(q) +
          (8.0L * q * q * q * q - 8.0L * q * q - 3.0L) * sqrtl(s) * q * (1.0L - 2.0L * q * q)) /
         (s * s);
}

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

gal_system model_record(const check_model &model) {
  gal_system sys{};
  sys.typical_length = model.typical_length;
  sys.radius_max = model.radius_max;
  sys.total_mass = model.total_mass;
  return sys;
}

// Upper tail of the chi-square law with 3 degrees of freedom.
double chi_square_3_upper_tail(double x) {
  if (!(x > 0.0)) return 1.0;
  return 1.0 - (std::erf(std::sqrt(x / 2.0)) - std::sqrt(2.0 * x / pi) * std::exp(-x / 2.0));
}

// Kolmogorov-Smirnov statistic against the uniform law of items already in
// ascending order of key_of(item).
template <class T, class KeyOf>
double ks_statistic_of_sorted(const std::vector<T> &sorted, KeyOf key_of) {
  const double scale = static_cast<double>(sorted.size());
  double d = 0.0;
  for (size_t i = 0; i < sorted.size(); ++i) {
    const double f = std::clamp(key_of(sorted[i]), 0.0, 1.0);
    d = std::max({d, f - static_cast<double>(i) / scale, static_cast<double>(i + 1) / scale - f});
  }
  return d;
}

check_line ks_line_for(const std::string &name, double d, size_t count, double threshold) {
  const double n = static_cast<double>(count);
  const double p = ks_p_value(d, n);
  return {name, format("KS D = %.5f, p = %.3g (n = %.0f)", d, p, n),
          p < threshold ? verdict_fail : verdict_pass};
}

check_line ks_line_of_order(const std::string &name, const std::vector<keyed_index> &order,
                            double threshold) {
  if (order.empty()) return {name, "no particle to test", verdict_fail};
  const double d = ks_statistic_of_sorted(order, [](const keyed_index &item) { return item.key; });
  return ks_line_for(name, d, order.size(), threshold);
}

check_line ks_line(const std::string &name, const std::vector<double> &u, double threshold) {
  if (u.empty()) return {name, "no particle to test", verdict_fail};
  return ks_line_for(name, ks_uniform_statistic(u), u.size(), threshold);
}

// Azimuth and polar angle of a vector as uniform variates of the model's
// direction law, skipped for the zero vector.
void push_angles(double x, double y, double z, std::vector<double> *azimuths,
                 std::vector<double> *polars) {
  const double length = std::sqrt(x * x + y * y + z * z);
  if (!(length > 0.0)) return;
  azimuths->push_back((std::atan2(y, x) + pi) / (2.0 * pi));
  polars->push_back(std::acos(std::clamp(z / length, -1.0, 1.0)) / pi);
}

}  // namespace

namespace {

// Bucket of key in [0, 1] among count equal buckets over [lo, lo + count /
// scale).
inline size_t bucket_of(double key, double lo, double scale, size_t count) {
  const double b = (std::clamp(key, 0.0, 1.0) - lo) * scale;
  if (!(b > 0.0)) return 0;  // NaN included
  return b >= static_cast<double>(count) ? count - 1 : static_cast<size_t>(b);
}

// Counting sort of length items from `from` into `to` by bucket.
template <class T, class Bucket>
void distribute(const T *from, T *to, size_t length, size_t count, std::vector<uint32_t> *starts,
                Bucket bucket) {
  std::vector<uint32_t> &start = *starts;
  start.assign(count + 1, 0);
  for (size_t i = 0; i < length; ++i) ++start[bucket(from[i]) + 1];
  for (size_t b = 0; b < count; ++b) start[b + 1] += start[b];
  std::vector<uint32_t> fill(start.begin(), start.end() - 1);
  for (size_t i = 0; i < length; ++i) to[fill[bucket(from[i])]++] = from[i];
}

// Sorts items by key_of(item), a key in [0, 1] (others sort as the nearest
// end). Two rounds of counting sort: first into about a thousand coarse
// buckets (a few streams of writes, kind to the cache), then each coarse
// bucket, small enough for the cache, into as many fine buckets as it has
// items, each sorted on its own (nearly always a handful). O(n) for keys
// spread over [0, 1]; a plain sort of a million keys, or one round of
// scattered writes, took most of the statistics' time.
template <class T, class KeyOf>
void bucket_sort(std::vector<T> *items, KeyOf key_of) {
  std::vector<T> &out = *items;
  const size_t n = out.size();
  std::vector<T> scratch(out);
  const size_t coarse = std::max<size_t>(1, std::min<size_t>(1024, n / 64));
  std::vector<uint32_t> coarse_start, fine_start;
  const double coarse_scale = static_cast<double>(coarse);
  distribute(scratch.data(), out.data(), n, coarse, &coarse_start,
             [&](const T &item) { return bucket_of(key_of(item), 0.0, coarse_scale, coarse); });
  const auto less = [&](const T &x, const T &y) { return key_of(x) < key_of(y); };
  const double width = 1.0 / coarse_scale;
  for (size_t c = 0; c < coarse; ++c) {
    const size_t begin = coarse_start[c], length = coarse_start[c + 1] - begin;
    if (length < 2) continue;
    const double lo = static_cast<double>(c) * width;
    const double scale = static_cast<double>(length) / width;
    T *const part = scratch.data() + begin;
    distribute(out.data() + begin, part, length, length, &fine_start,
               [&](const T &item) { return bucket_of(key_of(item), lo, scale, length); });
    for (size_t f = 0; f < length; ++f) {
      const size_t from = fine_start[f], to = fine_start[f + 1];
      if (to - from > 16) {
        std::sort(part + from, part + to, less);
      } else {
        for (size_t i = from + 1; i < to; ++i) {  // insertion sort of a handful
          const T item = part[i];
          size_t j = i;
          for (; j > from && key_of(item) < key_of(part[j - 1]); --j) part[j] = part[j - 1];
          part[j] = item;
        }
      }
    }
    std::copy(part, part + length, out.data() + begin);
  }
}

}  // namespace

std::vector<keyed_index> ascending_order(const std::vector<double> &keys) {
  std::vector<keyed_index> items(keys.size());
  for (uint32_t i = 0; i < keys.size(); ++i) items[i] = {keys[i], i};
  bucket_sort(&items, [](const keyed_index &item) { return item.key; });
  return items;
}

double ks_uniform_statistic(const std::vector<double> &values) {
  std::vector<double> sorted(values);
  const auto identity = [](double x) { return x; };
  bucket_sort(&sorted, identity);
  return ks_statistic_of_sorted(sorted, identity);
}

double ks_p_value(double d, double n) {
  const double root = std::sqrt(n);
  const double lambda = (root + 0.12 + 0.11 / root) * d;
  if (lambda < 0.2) return 1.0;
  double sum = 0.0, sign = 1.0;
  for (int k = 1; k <= 100; ++k) {
    const double term = sign * std::exp(-2.0 * k * k * lambda * lambda);
    sum += term;
    if (std::fabs(term) < 1e-16) break;
    sign = -sign;
  }
  return std::clamp(2.0 * sum, 0.0, 1.0);
}

speed_cdf::speed_cdf(double q_max) {
  constexpr int nodes = 1 << 16;
  step_ = std::max(q_max, 1e-9) / (nodes - 1);
  integral_.resize(nodes);
  density_.resize(nodes);
  long double total = 0.0L;
  density_[0] = 0.0;
  integral_[0] = 0.0;
  for (int i = 1; i < nodes; ++i) {
    // Simpson's rule on each interval.
    const long double lo = (i - 1) * static_cast<long double>(step_);
    const long double hi = i * static_cast<long double>(step_);
    total += (hi - lo) / 6.0L *
             (accurate_density(lo) + 4.0L * accurate_density((lo + hi) / 2.0L) + accurate_density(hi));
    integral_[i] = static_cast<double>(total);
    density_[i] = static_cast<double>(accurate_density(hi));
  }
}

double speed_cdf::integral(double q) const {
  // Cubic Hermite interpolation: the integral's slope at the nodes is f.
  const double position = q / step_;
  const size_t last = integral_.size() - 1;
  const size_t i = std::min(last - 1, static_cast<size_t>(std::max(0.0, position)));
  const double t = std::clamp(position - static_cast<double>(i), 0.0, 1.0);
  const double t2 = t * t, t3 = t2 * t;
  return (2 * t3 - 3 * t2 + 1) * integral_[i] + (t3 - 2 * t2 + t) * step_ * density_[i] +
         (-2 * t3 + 3 * t2) * integral_[i + 1] + (t3 - t2) * step_ * density_[i + 1];
}

double speed_cdf::operator()(double v, double e_max, double v_esc) const {
  const double x = std::min(1.0, v / v_esc);
  const double e = e_max * std::sqrt(std::max(0.0, 1.0 - x * x));
  // Low energies are high speeds: P(speed <= v) = P(energy >= e).
  return 1.0 - integral(e) / integral(e_max);
}

check_result run_checks(const particle_data &data, const check_options &options) {
  const check_model &model = options.model;
  const gal_system sys = model_record(model);
  const double a = model.typical_length;
  const size_t n = static_cast<size_t>(data.nb_element);
  check_result result;
  std::vector<check_line> &lines = result.lines;

  lines.push_back({"particle count", format("%zu", n),
                   options.expected_count < 0 || options.expected_count == data.nb_element
                       ? verdict_pass
                       : verdict_fail});
  if (options.expected_count >= 0 && options.expected_count != data.nb_element) {
    lines.back().figure += format(", expected %lld", static_cast<long long>(options.expected_count));
  }

  long double mass_sum = 0.0L;
  size_t unequal = 0;
  for (double m : data.mass) {
    mass_sum += m;
    unequal += !(m == data.mass[0]);
  }
  const double total = static_cast<double>(mass_sum);
  lines.push_back({"total mass", format("%.6g kg, model %.6g kg", total, model.total_mass),
                   std::fabs(total - model.total_mass) <= 1e-9 * std::fabs(model.total_mass)
                       ? verdict_pass
                       : verdict_fail});
  lines.push_back({"equal masses", format("%zu differ from the first", unequal),
                   unequal == 0 ? verdict_pass : verdict_fail});

  // Statistics below use the finite particles only, so that one bad value
  // fails its own check and no other.
  std::vector<size_t> finite;
  finite.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    bool ok = std::isfinite(data.mass[i]);
    for (int k = 0; k < 3; ++k) ok = ok && std::isfinite(data.pos[3 * i + k]) && std::isfinite(data.vel[3 * i + k]);
    if (ok) finite.push_back(i);
  }
  lines.push_back({"finite values", format("%zu particles with a non-finite value", n - finite.size()),
                   finite.size() == n ? verdict_pass : verdict_fail});
  if (finite.empty()) {
    lines.push_back({"statistics", "no finite particle", verdict_fail});
    return result;
  }

  // Everything is measured from the model's centre (the origin unless
  // set). Measuring from the particles' own centre of mass would hide a
  // moved galaxy, but at a price: the sampling noise of that centre skews
  // the azimuths of the dense core at first order, and correct files fail.
  const double *c0 = model.centre;

  // Centre of mass, against the scatter expected of a sample of this size:
  // the sum of squared z-scores is chi-square with 3 degrees of freedom
  // (the axes are uncorrelated under the model).
  long double weight = 0.0L, centre_sum[3] = {0, 0, 0}, momentum_sum[3] = {0, 0, 0}, speed2_sum = 0.0L;
  for (size_t i : finite) {
    const double m = data.mass[i];
    weight += m;
    for (int k = 0; k < 3; ++k) {
      centre_sum[k] += static_cast<long double>(m) * (data.pos[3 * i + k] - c0[k]);
      momentum_sum[k] += static_cast<long double>(m) * data.vel[3 * i + k];
      speed2_sum += static_cast<long double>(m) * data.vel[3 * i + k] * data.vel[3 * i + k];
    }
  }
  double centre[3];
  for (int k = 0; k < 3; ++k) centre[k] = static_cast<double>(centre_sum[k] / weight);
  long double spread[3] = {0, 0, 0};
  for (size_t i : finite) {
    for (int k = 0; k < 3; ++k) {
      const long double dx = data.pos[3 * i + k] - c0[k] - centre[k];
      spread[k] += data.mass[i] * dx * dx;
    }
  }
  const double nf = static_cast<double>(finite.size());
  double chi_square = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double variance = static_cast<double>(spread[k] / weight);
    if (variance > 0.0) chi_square += centre[k] * centre[k] / (variance / nf);
  }
  const double offset = std::sqrt(centre[0] * centre[0] + centre[1] * centre[1] + centre[2] * centre[2]);
  const double centre_p = chi_square_3_upper_tail(chi_square);
  lines.push_back({"centre of mass", format("offset %.4g a, p = %.3g", offset / a, centre_p),
                   centre_p < options.threshold ? verdict_fail : verdict_pass});

  // The four direction tests run on a second thread while this one checks
  // radii and speeds: the angles and the sorts behind the tests are most of
  // the statistics' time.
  auto directions = std::async(std::launch::async, [&] {
    std::vector<double> pos_azimuth, pos_polar, vel_azimuth, vel_polar;
    for (const size_t i : finite) {
      const double *x = &data.pos[3 * i];
      const double *v = &data.vel[3 * i];
      push_angles(x[0] - c0[0], x[1] - c0[1], x[2] - c0[2], &pos_azimuth, &pos_polar);
      push_angles(v[0], v[1], v[2], &vel_azimuth, &vel_polar);
    }
    return std::vector<check_line>{ks_line("position azimuth", pos_azimuth, options.threshold),
                                   ks_line("position polar angle", pos_polar, options.threshold),
                                   ks_line("velocity azimuth", vel_azimuth, options.threshold),
                                   ks_line("velocity polar angle", vel_polar, options.threshold)};
  });

  const double rounding = 1e-12;
  const double allowed_radius = model.radius_max * (1.0 + rounding) + 1e-5;
  size_t beyond = 0, too_fast = 0;
  double widest = 0.0, fastest = 0.0, q_max = 0.0;
  std::vector<double> radii(finite.size()), speeds(finite.size()), escapes(finite.size());
  for (size_t j = 0; j < finite.size(); ++j) {
    const size_t i = finite[j];
    const double *x = &data.pos[3 * i];
    const double *v = &data.vel[3 * i];
    const double dx = x[0] - c0[0], dy = x[1] - c0[1], dz = x[2] - c0[2];
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double speed = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    radii[j] = r;
    speeds[j] = speed;
    widest = std::max(widest, r / model.radius_max);
    beyond += r > allowed_radius;
    const double escape = compute_escape_velocity_function(&sys, r);
    escapes[j] = escape;
    fastest = std::max(fastest, speed / escape);
    too_fast += speed > escape * (1.0 + rounding) + 1e-5;
    q_max = std::max(q_max, std::sqrt(r / (r + a)));
  }
  lines.push_back({"within cut-off", format("largest radius %.6f r_max, %zu beyond", widest, beyond),
                   beyond == 0 ? verdict_pass : verdict_fail});
  lines.push_back({"below escape speed", format("largest speed %.6f v_esc, %zu above", fastest, too_fast),
                   too_fast == 0 ? verdict_pass : verdict_fail});

  // Radii: the truncated enclosed-mass fraction maps them to uniform
  // variates, and orders them.
  std::vector<double> radius_u(finite.size());
  for (size_t j = 0; j < finite.size(); ++j) {
    radius_u[j] = compute_enclosed_mass_fraction_function(&sys, std::min(radii[j], model.radius_max));
  }
  const std::vector<keyed_index> by_radius = ascending_order(radius_u);
  lines.push_back(ks_line_of_order("radius distribution", by_radius, options.threshold));

  // Speeds: each mapped through the speed law at its own radius.
  const speed_cdf cdf(std::min(q_max, 1.0 - 1e-9));
  std::vector<double> speed_u;
  speed_u.reserve(finite.size());
  for (size_t j = 0; j < finite.size(); ++j) {
    const double r = radii[j];
    const double e_max = std::sqrt(r / (r + a));
    if (e_max > 0.0 && escapes[j] > 0.0) speed_u.push_back(cdf(speeds[j], e_max, escapes[j]));
  }
  lines.push_back(ks_line("speed distribution", speed_u, options.threshold));
  for (check_line &line : directions.get()) lines.push_back(std::move(line));

  const double rms_speed = std::sqrt(static_cast<double>(speed2_sum / weight));
  const double momentum = std::sqrt(static_cast<double>(
      momentum_sum[0] * momentum_sum[0] + momentum_sum[1] * momentum_sum[1] + momentum_sum[2] * momentum_sum[2]));
  lines.push_back({"net momentum", format("%.4g M v_rms (v_rms %.4g m/s)", momentum / (static_cast<double>(weight) * rms_speed), rms_speed),
                   verdict_info});

  // W of the spherically averaged particles: each feels the mass inside
  // its radius as a point at the centre.
  long double potential = 0.0L, inside = 0.0L;
  for (const keyed_index &entry : by_radius) {
    const double r = radii[entry.index], m = data.mass[finite[entry.index]];
    if (r > 0.0 && inside > 0.0L) potential -= gravitational_constant * m * inside / r;
    inside += m;
  }
  const double kinetic = 0.5 * static_cast<double>(speed2_sum);
  lines.push_back({"virial ratio 2K/|W|",
                   potential < 0.0L ? format("%.4f", 2.0 * kinetic / std::fabs(static_cast<double>(potential)))
                                    : std::string("undefined (no potential energy)"),
                   verdict_info});

  result.sample.sorted_radii.reserve(by_radius.size());
  for (const keyed_index &entry : by_radius) result.sample.sorted_radii.push_back(radii[entry.index]);
  const size_t stride = (finite.size() + 19999) / 20000;
  for (size_t j = 0; j < finite.size(); j += stride) {
    result.sample.speed_radii.push_back(radii[j]);
    result.sample.speeds.push_back(speeds[j]);
  }
  return result;
}

namespace {

const char usage[] =
    "usage: galaxy-check FILE [options]\n"
    "Checks a particle file written by galaxy-ic against the galaxy model.\n"
    "  --scale-length A   Hernquist scale length in m (default 1e18)\n"
    "  --cutoff R         cut-off radius in m (default 8e18)\n"
    "  --total-mass M     total mass in kg (default 1.9891e39)\n"
    "  --centre X,Y,Z     the model's centre in m (default 0,0,0)\n"
    "  --threshold P      p-values below P fail (default 0.001)\n"
    "  --particles N      the count the file must hold (default: any)\n"
    "  --plot FILE.png    also draw the radius, density and speed panels\n"
    "  -h, --help         print this text\n"
    "Exit status: 0 every check passes, 1 a check fails, 2 unreadable input or usage error.\n";

int usage_error(const std::string &what) {
  std::fprintf(stderr, "galaxy-check: %s\n%s", what.c_str(), usage);
  return 2;
}

// A whole-argument number, finite and positive unless zero_ok.
bool parse_positive(const char *text, double *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && std::isfinite(*value) && *value > 0.0;
}

bool parse_centre(const char *text, double centre[3]) {
  const char *p = text;
  for (int k = 0; k < 3; ++k) {
    char *end = nullptr;
    errno = 0;
    centre[k] = std::strtod(p, &end);
    if (end == p || errno != 0 || !std::isfinite(centre[k])) return false;
    if (*end != (k < 2 ? ',' : '\0')) return false;
    p = end + 1;
  }
  return true;
}

const char *verdict_name(check_verdict verdict) {
  switch (verdict) {
    case verdict_pass: return "PASS";
    case verdict_fail: return "FAIL";
    case verdict_info: return "INFO";
  }
  return "";
}

}  // namespace

namespace {

// Reads a text or HDF5 particle file, told apart by content: a regular file
// that starts with the HDF5 signature is read as HDF5. An unopenable file
// gets error.line -1 and the system's reason.
bool read_particles(const char *path, particle_data *data, read_error *error) {
  std::FILE *in = std::fopen(path, "rb");
  if (in == nullptr) {
    error->line = -1;
    error->what = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode)) {
    unsigned char head[8];
    const size_t got = std::fread(head, 1, sizeof head, in);
    if (has_hdf5_signature(head, got)) {
      std::fclose(in);
      return read_hdf5_particles(path, data, error);
    }
    std::rewind(in);
  }
  const bool read = read_particle_stream(in, data, error);
  std::fclose(in);
  return read;
}

}  // namespace

int galaxy_check_main(int argc, char **argv) {
  check_options options;
  const char *path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage, stdout);
      return 0;
    }
    const bool takes_value = arg == "--scale-length" || arg == "--cutoff" || arg == "--total-mass" ||
                             arg == "--threshold" || arg == "--particles" || arg == "--plot" ||
                             arg == "--centre";
    if (takes_value) {
      if (i + 1 >= argc) return usage_error("option " + arg + " needs a value");
      const char *value = argv[++i];
      double number = 0.0;
      if (arg == "--plot") {
        options.plot_file = value;
      } else if (arg == "--centre") {
        if (!parse_centre(value, options.model.centre)) {
          return usage_error("option --centre needs three finite numbers X,Y,Z, not \"" + std::string(value) + "\"");
        }
      } else if (!parse_positive(value, &number) && !(arg == "--particles" && std::strcmp(value, "0") == 0)) {
        return usage_error("option " + arg + " needs a positive number, not \"" + value + "\"");
      } else if (arg == "--scale-length") {
        options.model.typical_length = number;
      } else if (arg == "--cutoff") {
        options.model.radius_max = number;
      } else if (arg == "--total-mass") {
        options.model.total_mass = number;
      } else if (arg == "--threshold") {
        if (number >= 1.0) return usage_error("option --threshold needs a value below 1");
        options.threshold = number;
      } else {
        if (number != std::floor(number) || number > 9e18) return usage_error("option --particles needs a whole number");
        options.expected_count = static_cast<int64_t>(number);
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option " + arg);
    } else if (path == nullptr) {
      path = argv[i];
    } else {
      return usage_error("one file at a time");
    }
  }
  if (path == nullptr) return usage_error("no file named");

  particle_data data;
  read_error error;
  if (!read_particles(path, &data, &error)) {
    if (error.line < 0) {
      std::fprintf(stderr, "galaxy-check: %s: cannot open: %s\n", path, error.what.c_str());
    } else if (error.line > 0) {
      std::fprintf(stderr, "galaxy-check: %s:%ld: expected %s\n", path, error.line, error.what.c_str());
    } else {
      std::fprintf(stderr, "galaxy-check: %s: expected %s\n", path, error.what.c_str());
    }
    return 2;
  }

  const check_result result = run_checks(data, options);
  bool failed = false;
  std::printf("galaxy-check %s\n", path);
  for (const check_line &line : result.lines) {
    std::printf("  %-22s %-58s %s\n", line.name.c_str(), line.figure.c_str(), verdict_name(line.verdict));
    failed = failed || line.verdict == verdict_fail;
  }
  if (!options.plot_file.empty()) {
    std::string why;
    if (!write_check_plot(result.sample, options.model, options.plot_file, &why)) {
      std::fprintf(stderr, "galaxy-check: %s: cannot draw: %s\n", options.plot_file.c_str(), why.c_str());
      return 2;
    }
  }
  std::printf("%s\n", failed ? "FAIL" : "PASS");
  return failed ? 1 : 0;
}
