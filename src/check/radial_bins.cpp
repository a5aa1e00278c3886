#include "radial_bins.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr double bin_width = (radial_log_hi - radial_log_lo) / radial_bin_count;
constexpr int last_bin = radial_bin_count - 1;
// How each moment scales with 1/r: interior bins keep r_b / r, r_b the
// bin's lower edge, so that every term is near its mass's power.
constexpr int inverse_r_power[radial_moments] = {0, 1, 2, 1, 0, 1, 0};

// The lower edges of the bins, in units of the length.
const std::vector<double> &edges() {
  static const std::vector<double> table = [] {
    std::vector<double> e(radial_bin_count);
    for (int b = 0; b < radial_bin_count; ++b) e[b] = std::exp(radial_log_lo + b * bin_width);
    return e;
  }();
  return table;
}

// t 2^64 as a whole number, truncated towards zero; false beyond 2^62 or
// for a value that is no number.
bool to_fixed(double t, __int128 *out) {
  if (!(std::fabs(t) < 0x1p62)) return false;
  uint64_t bits;
  std::memcpy(&bits, &t, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased == 0) {  // zero, or far below the last digit
    *out = 0;
    return true;
  }
  const __int128 mantissa = static_cast<__int128>((bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52));
  // t = mantissa 2^(biased - 1075): scaled by 2^64, a shift of biased - 1011.
  const int shift = biased - 1011;
  __int128 magnitude = shift >= 0 ? mantissa << shift : (shift > -64 ? mantissa >> -shift : 0);
  *out = bits >> 63 ? -magnitude : magnitude;
  return true;
}

bool add_fixed(__int128 *sum, double t) {
  __int128 term;
  return to_fixed(t, &term) && !__builtin_add_overflow(*sum, term, sum);
}

long double from_fixed(__int128 value) { return std::ldexp(static_cast<long double>(value), -64); }

int bin_of(double x) {
  if (!(x > 0.0)) return 0;
  const double position = (std::log(x) - radial_log_lo) / bin_width;
  if (!(position >= 1.0)) return 0;
  return position >= last_bin ? last_bin : static_cast<int>(position);
}

constexpr size_t fixed_count = static_cast<size_t>(radial_bin_count) * radial_moments;

}  // namespace

fixed_sums &fixed_sums::operator=(fixed_sums &&other) noexcept {
  std::swap(at, other.at);
  return *this;
}

fixed_sums::~fixed_sums() { std::free(at); }

__int128 *fixed_sums::get() {
  if (at == nullptr) {
    at = static_cast<__int128 *>(std::calloc(fixed_count, sizeof(__int128)));
    if (at == nullptr) throw std::bad_alloc();
  }
  return at;
}

void init_radial_bins(radial_bins *bins, int slots, double length, double mass, double speed2) {
  bins->length = length, bins->mass = mass, bins->speed2 = speed2;
  bins->slots.clear();
  bins->slots.resize(static_cast<size_t>(slots));
}

namespace {

// One particle's terms into its bin (b, from bin_of).
void add_in_bin(radial_bins *bins, const radial_entry &e, int b) {
  radial_slot &s = bins->slots[static_cast<size_t>(e.slot)];
  const double x = e.r / bins->length, mu = e.m / bins->mass, nu2 = e.v2 / bins->speed2;
  ++s.count;
  const double kinetic = mu * nu2;
  bool ok = add_fixed(&s.kinetic, kinetic) && add_fixed(&s.kinetic2, kinetic * kinetic);
  const bool end = b == 0 || b == last_bin;
  // 1/r in units of the bin's 1/r_b inside, of 1/length at the ends (0 at
  // the centre, where the particle is no outer radius of any pair).
  const double rho = end ? (x > 0.0 ? 1.0 / x : 0.0) : edges()[static_cast<size_t>(b)] / x;
  const double mu2 = mu * mu;
  const double terms[radial_moments] = {mu, mu * rho, mu2 * rho * rho, mu2 * rho, mu2, mu2 * nu2 * rho, mu2 * nu2};
  if (end) {
    for (int k = 0; k < radial_moments; ++k) add_wide(&s.ends[b == 0 ? 0 : 1][k], terms[k]);
  } else {
    __int128 *sums = s.fixed.get() + static_cast<size_t>(b) * radial_moments;
    for (int k = 0; k < radial_moments; ++k) ok = add_fixed(&sums[k], terms[k]) && ok;
  }
  if (!ok) s.out_of_range = true;
}

// Entries in order of their bins' region first: the sums are exact, so
// the order is free, and 14 KiB of bins at a time stay in the cache where
// all 3.5 MiB would not.
void add_entries(radial_bins *bins, const std::vector<radial_entry> &entries) {
  constexpr int region_shift = radial_bins_log2 - 8;
  const size_t n = entries.size();
  std::vector<uint32_t> bin(n), ordered_bin(n);
  std::vector<radial_entry> ordered(n);
  size_t start[257] = {};
  for (size_t i = 0; i < n; ++i) {
    bin[i] = static_cast<uint32_t>(bin_of(entries[i].r / bins->length));
    ++start[(bin[i] >> region_shift) + 1];
  }
  for (int r = 0; r < 256; ++r) start[r + 1] += start[r];
  // The entries themselves moved, so that they are then read in order.
  for (size_t i = 0; i < n; ++i) {
    const size_t at = start[bin[i] >> region_shift]++;
    ordered[at] = entries[i], ordered_bin[at] = bin[i];
  }
  for (size_t i = 0; i < n; ++i) add_in_bin(bins, ordered[i], static_cast<int>(ordered_bin[i]));
}

constexpr size_t pending_most = size_t{1} << 16;

}  // namespace

void add_radial(radial_bins *bins, int slot, double r, double m, double v2) {
  bins->pending.push_back({slot, r, m, v2});
  if (bins->pending.size() >= pending_most) flush_radial(bins);
}

void flush_radial(radial_bins *bins) {
  add_entries(bins, bins->pending);
  bins->pending.clear();
}

void merge_radial(radial_bins *into, const radial_bins &from) {
  flush_radial(into);
  add_entries(into, from.pending);
  for (size_t c = 0; c < into->slots.size() && c < from.slots.size(); ++c) {
    radial_slot &s = into->slots[c];
    const radial_slot &o = from.slots[c];
    bool ok = !__builtin_add_overflow(s.kinetic, o.kinetic, &s.kinetic);
    ok = !__builtin_add_overflow(s.kinetic2, o.kinetic2, &s.kinetic2) && ok;
    if (o.fixed.at != nullptr) {
      __int128 *into_sums = s.fixed.get();
      for (size_t k = 0; k < fixed_count; ++k) ok = !__builtin_add_overflow(into_sums[k], o.fixed.at[k], &into_sums[k]) && ok;
    }
    for (int e = 0; e < 2; ++e) {
      for (int k = 0; k < radial_moments; ++k) merge_wide(&s.ends[e][k], o.ends[e][k]);
    }
    s.count += o.count;
    s.out_of_range = s.out_of_range || o.out_of_range || !ok;
  }
}

void pack_radial(byte_writer *out, const radial_bins &bins) {
  out->put<uint64_t>(bins.slots.size());
  for (const radial_slot &s : bins.slots) {
    out->put(s.kinetic), out->put(s.kinetic2), out->put(s.count), out->put(s.out_of_range);
    out->put_array(s.fixed.at, s.fixed.at != nullptr ? fixed_count : 0);
    for (int e = 0; e < 2; ++e) {
      for (int k = 0; k < radial_moments; ++k) pack_wide(out, s.ends[e][k]);
    }
  }
  out->put_array(bins.pending.data(), bins.pending.size());
}

bool unpack_merge_radial(byte_reader *in, radial_bins *bins) {
  uint64_t n = 0;
  if (!in->get(&n) || n != bins->slots.size()) return in->ok = false;
  radial_bins other;
  other.slots.resize(static_cast<size_t>(n));
  for (radial_slot &s : other.slots) {
    std::vector<__int128> fixed;
    if (!in->get(&s.kinetic) || !in->get(&s.kinetic2) || !in->get(&s.count) || !in->get(&s.out_of_range) ||
        !in->get_array(&fixed, fixed_count) || (!fixed.empty() && fixed.size() != fixed_count)) {
      return in->ok = false;
    }
    if (!fixed.empty()) std::memcpy(s.fixed.get(), fixed.data(), fixed_count * sizeof(__int128));
    for (int e = 0; e < 2; ++e) {
      for (int k = 0; k < radial_moments; ++k) {
        if (!unpack_wide(in, &s.ends[e][k])) return false;
      }
    }
  }
  if (!in->get_array(&other.pending)) return false;
  for (const radial_entry &e : other.pending) {
    if (e.slot < 0 || static_cast<uint64_t>(e.slot) >= n) return in->ok = false;
  }
  merge_radial(bins, other);
  return true;
}

namespace {

// Bin b's moments of slot (all slots when slot < 0), in units of the
// length's 1/r.
void moments_of(const radial_bins &bins, int slot, int b, long double q[radial_moments]) {
  for (int k = 0; k < radial_moments; ++k) q[k] = 0.0L;
  for (size_t c = 0; c < bins.slots.size(); ++c) {
    if (slot >= 0 && static_cast<size_t>(slot) != c) continue;
    const radial_slot &s = bins.slots[c];
    for (int k = 0; k < radial_moments; ++k) {
      if (b == 0 || b == last_bin) {
        q[k] += wide_value(s.ends[b == 0 ? 0 : 1][k]);
      } else {
        const long double inverse = 1.0L / edges()[static_cast<size_t>(b)];
        long double scale = 1.0L;
        for (int p = 0; p < inverse_r_power[k]; ++p) scale *= inverse;
        if (s.fixed.at != nullptr) q[k] += from_fixed(s.fixed.at[static_cast<size_t>(b) * radial_moments + k]) * scale;
      }
    }
  }
}

}  // namespace

virial_estimate radial_virial(const radial_bins &bins, int slot, double gravitational_constant) {
  virial_estimate v;
  if (!bins.pending.empty()) {  // not totals: said, not guessed
    v.in_range = false;
    return v;
  }
  std::vector<long double> own(static_cast<size_t>(radial_bin_count) * radial_moments),
      all(static_cast<size_t>(radial_bin_count) * radial_moments);
  long double kinetic = 0.0L, kinetic2 = 0.0L;
  uint64_t n = 0;
  for (size_t c = 0; c < bins.slots.size(); ++c) {
    const radial_slot &s = bins.slots[c];
    n += s.count;
    v.in_range = v.in_range && !s.out_of_range;
    if (slot >= 0 && static_cast<size_t>(slot) != c) continue;
    kinetic += from_fixed(s.kinetic), kinetic2 += from_fixed(s.kinetic2);
  }
  for (int b = 0; b < radial_bin_count; ++b) {
    moments_of(bins, slot, b, &own[static_cast<size_t>(b) * radial_moments]);
    moments_of(bins, -1, b, &all[static_cast<size_t>(b) * radial_moments]);
  }
  const auto q = [&](const std::vector<long double> &m, int b, int k) { return m[static_cast<size_t>(b) * radial_moments + k]; };
  // |W| in units of G mass^2 / length: pairs across bins exactly, pairs
  // within one at the mean of their 1/r.
  long double w = 0.0L, below = 0.0L;
  std::vector<long double> inside(radial_bin_count), outside(radial_bin_count);
  for (int b = 0; b < radial_bin_count; ++b) {
    w += below * q(own, b, 1) + 0.5L * (q(all, b, 0) * q(own, b, 1) - q(own, b, 3));
    inside[b] = below + 0.5L * q(all, b, 0);
    below += q(all, b, 0);
  }
  long double beyond = 0.0L;
  for (int b = radial_bin_count; b-- > 0;) {
    outside[b] = beyond + 0.5L * q(own, b, 1);
    beyond += q(own, b, 1);
  }
  // A particle's share of |W|: its mass times G M(< r) / r when it is the
  // slot's, plus its mass times the slot's potential from beyond it.
  long double sum_d = 0.0L, sum_dd = 0.0L, sum_ad = 0.0L;
  for (int b = 0; b < radial_bin_count; ++b) {
    const long double p = inside[b], o = outside[b];
    sum_d += p * q(own, b, 1) + o * q(all, b, 0);
    sum_dd += p * p * q(own, b, 2) + 2.0L * p * o * q(own, b, 3) + o * o * q(all, b, 4);
    sum_ad += p * q(own, b, 5) + o * q(own, b, 6);
  }
  const long double g = gravitational_constant;
  // m v^2 in units of G mass^2 / length.
  const long double f = static_cast<long double>(bins.speed2) * bins.length / (g * bins.mass);
  v.kinetic2 = static_cast<double>(kinetic * bins.mass * bins.speed2);
  v.potential = static_cast<double>(-g * bins.mass * bins.mass / bins.length * w);
  v.defined = v.in_range && w > 0.0L && n > 1;
  if (!v.defined) return v;
  const long double ratio = f * kinetic / w;
  const long double a = f * kinetic, spread = f * f * kinetic2 - 2.0L * ratio * f * sum_ad + ratio * ratio * sum_dd -
                                              (a - ratio * sum_d) * (a - ratio * sum_d) / static_cast<long double>(n);
  v.ratio = static_cast<double>(ratio);
  v.error = static_cast<double>(std::sqrt(std::max(spread, 0.0L)) / w);
  return v;
}
