#include "wide_sum.h"

#include <cmath>

namespace {

constexpr int64_t digit_mask = 0xffffffff;
constexpr int64_t terms_before_carry = int64_t{1} << 30;

// Makes digits [i, i + 3) part of the sum.
void reach(wide_sum *sum, int32_t i) {
  if (sum->limb.empty()) {
    sum->lo = i;
    sum->limb.assign(3, 0);
    return;
  }
  if (i < sum->lo) {
    sum->limb.insert(sum->limb.begin(), static_cast<size_t>(sum->lo - i), 0);
    sum->lo = i;
  }
  const size_t top = static_cast<size_t>(i - sum->lo) + 3;
  if (top > sum->limb.size()) sum->limb.resize(top, 0);
}

// Carries, so that every digit but the top one is in [0, 2^32) and the top
// one in [-2^31, 2^31).
void normalise(wide_sum *sum) {
  std::vector<int64_t> &limb = sum->limb;
  for (size_t k = 0; k + 1 < limb.size(); ++k) {
    const int64_t low = limb[k] & digit_mask;
    limb[k + 1] += (limb[k] - low) / (digit_mask + 1);
    limb[k] = low;
  }
  while (!limb.empty() && (limb.back() >= (int64_t{1} << 31) || limb.back() < -(int64_t{1} << 31))) {
    const int64_t low = limb.back() & digit_mask, carry = (limb.back() - low) / (digit_mask + 1);
    limb.back() = low;
    limb.push_back(carry);
  }
  sum->terms = 0;
}

}  // namespace

void add_wide(wide_sum *sum, long double value) {
  if (value == 0.0L) return;
  if (std::isnan(value)) {
    ++sum->nan;
    return;
  }
  if (std::isinf(value)) {
    ++(value > 0 ? sum->up : sum->down);
    return;
  }
  int exponent = 0;
  const long double fraction = std::frexp(std::fabs(value), &exponent);
  // value = mantissa 2^(exponent - 64), the mantissa all 64 bits of it.
  const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
  const int position = exponent - 64;
  const int32_t i = position >= 0 ? position / 32 : -((-position + 31) / 32);
  const unsigned __int128 shifted = static_cast<unsigned __int128>(mantissa) << (position - 32 * i);
  reach(sum, i);
  const int64_t sign = value < 0 ? -1 : 1;
  int64_t *d = &sum->limb[static_cast<size_t>(i - sum->lo)];
  d[0] += sign * static_cast<int64_t>(shifted & digit_mask);
  d[1] += sign * static_cast<int64_t>((shifted >> 32) & digit_mask);
  d[2] += sign * static_cast<int64_t>(shifted >> 64);
  if (++sum->terms >= terms_before_carry) normalise(sum);
}

void merge_wide(wide_sum *into, const wide_sum &from) {
  into->nan += from.nan, into->up += from.up, into->down += from.down;
  if (from.limb.empty()) return;
  if (into->terms + from.terms + 1 >= terms_before_carry) normalise(into);
  wide_sum other = from;
  if (into->terms + other.terms + 1 >= terms_before_carry) normalise(&other);
  reach(into, other.lo);
  reach(into, other.lo + static_cast<int32_t>(other.limb.size()) - 3);
  for (size_t k = 0; k < other.limb.size(); ++k) into->limb[static_cast<size_t>(other.lo - into->lo) + k] += other.limb[k];
  into->terms += other.terms + 1;
}

long double wide_value(const wide_sum &sum) {
  if (sum.nan > 0 || (sum.up > 0 && sum.down > 0)) return std::nanl("");
  if (sum.up > 0) return HUGE_VALL;
  if (sum.down > 0) return -HUGE_VALL;
  wide_sum s = sum;
  normalise(&s);
  size_t top = s.limb.size();
  while (top > 0 && s.limb[top - 1] == 0) --top;
  if (top == 0) return 0.0L;
  const bool negative = s.limb[top - 1] < 0;
  if (negative) {
    for (int64_t &d : s.limb) d = -d;
    normalise(&s);
  }
  // Lowest digits first: the same digits give the same bits.
  long double total = 0.0L;
  for (size_t k = 0; k < s.limb.size(); ++k) {
    if (s.limb[k] != 0) total += std::ldexp(static_cast<long double>(s.limb[k]), 32 * (s.lo + static_cast<int>(k)));
  }
  return negative ? -total : total;
}

void pack_wide(byte_writer *out, const wide_sum &sum) {
  out->put(sum.lo);
  out->put(sum.terms);
  out->put(sum.nan), out->put(sum.up), out->put(sum.down);
  out->put_array(sum.limb.data(), sum.limb.size());
}

bool unpack_wide(byte_reader *in, wide_sum *sum) {
  return in->get(&sum->lo) && in->get(&sum->terms) && in->get(&sum->nan) && in->get(&sum->up) &&
         in->get(&sum->down) && in->get_array(&sum->limb, 1 << 12) && sum->terms >= 0 &&
         sum->terms < terms_before_carry;
}

void fold_block(block_sums *sums) {
  for (size_t k = 0; k < sums->partial.size(); ++k) {
    if (sums->partial[k] != 0.0L) add_wide(&sums->total[k], sums->partial[k]);
    sums->partial[k] = 0.0L;
  }
}

void merge_block_sums(block_sums *into, const block_sums &from) {
  for (size_t k = 0; k < into->total.size() && k < from.total.size(); ++k) merge_wide(&into->total[k], from.total[k]);
}

void pack_block_sums(byte_writer *out, const block_sums &sums) {
  out->put<uint64_t>(sums.total.size());
  for (const wide_sum &s : sums.total) pack_wide(out, s);
}

bool unpack_block_sums(byte_reader *in, block_sums *sums) {
  uint64_t n = 0;
  if (!in->get(&n) || n != sums->total.size()) return in->ok = false;
  for (wide_sum &s : sums->total) {
    if (!unpack_wide(in, &s)) return false;
  }
  return true;
}
