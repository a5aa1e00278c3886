#include "exact_sum.h"

#include <cmath>
#include <cstring>

namespace {

constexpr int64_t digit = int64_t{1} << 32;
// Terms of magnitude below 2^32 per limb that int64 holds with room to spare.
constexpr int64_t terms_before_carry = int64_t{1} << 30;

}  // namespace

void add_exact(exact_sum *sum, double value) {
  if (!std::isfinite(value) || value == 0.0) return;
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  // value = mantissa * 2^(position - 1074); subnormals have position 0.
  int position = 0;
  if (biased != 0) {
    mantissa |= uint64_t{1} << 52;
    position = biased - 1;
  }
  const unsigned __int128 shifted = static_cast<unsigned __int128>(mantissa) << (position % 32);
  const int i = position / 32;
  const int64_t sign = bits >> 63 ? -1 : 1;
  sum->limb[i] += sign * static_cast<int64_t>(shifted & 0xffffffffu);
  sum->limb[i + 1] += sign * static_cast<int64_t>((shifted >> 32) & 0xffffffffu);
  sum->limb[i + 2] += sign * static_cast<int64_t>(shifted >> 64);
  if (++sum->terms >= terms_before_carry) normalise_exact(sum);
}

void normalise_exact(exact_sum *sum) {
  for (int i = 0; i + 1 < exact_sum_limbs; ++i) {
    const int64_t low = sum->limb[i] & (digit - 1);
    sum->limb[i + 1] += (sum->limb[i] - low) / digit;
    sum->limb[i] = low;
  }
  sum->terms = 1;
}

void merge_exact(exact_sum *into, const exact_sum &from) {
  if (into->terms + from.terms >= terms_before_carry) normalise_exact(into);
  exact_sum other = from;
  if (into->terms + other.terms >= terms_before_carry) normalise_exact(&other);
  for (int i = 0; i < exact_sum_limbs; ++i) into->limb[i] += other.limb[i];
  into->terms += other.terms;
}

double exact_value(exact_sum sum) {
  normalise_exact(&sum);
  const bool negative = sum.limb[exact_sum_limbs - 1] < 0;
  if (negative) {
    for (int64_t &limb : sum.limb) limb = -limb;
    normalise_exact(&sum);
  }
  // Smallest limbs first, in long double: one rounding to nearly 64 bits,
  // then one to the double.
  long double total = 0.0L;
  for (int i = 0; i < exact_sum_limbs; ++i) {
    if (sum.limb[i] != 0) total += std::ldexp(static_cast<long double>(sum.limb[i]), 32 * i - 1074);
  }
  const double value = static_cast<double>(total);
  return negative ? -value : value;
}
