#include "fixed_format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

// A double is m * 2^e with an integer m < 2^53. Its six-decimal rounding is
// round(m * 10^6 / 2^-e), which for every exponent that can round to a
// non-zero value fits 128-bit integers: the remainder of the shift decides
// the rounding exactly, ties going to the even neighbour as printf does in
// the default rounding mode. Integers up to 2^127 are printed directly; the
// rest (beyond 1.7e38, and inf or nan) go to snprintf, which is exact.
//
// Speed comes from producing eight digits at a time in a register and
// storing them as whole words, leading zeros shifted out, without reading
// back what was just stored. Tried and dropped: a table of digit pairs with
// a loop per digit (twice as slow, branchy on the random digit counts), and
// expanding every number to 24 digits in a scratch buffer then copying the
// significant ones out (the unaligned reload stalls store forwarding and
// cost more than the digits).

namespace {

using u128 = unsigned __int128;

constexpr uint64_t ten_pow_8 = 100000000;
constexpr uint64_t ten_pow_16 = ten_pow_8 * ten_pow_8;
constexpr uint64_t ten_pow_19 = 10000000000000000000ull;

constexpr uint64_t powers_of_ten[20] = {
    1ull,           10ull,           100ull,           1000ull,           10000ull,
    100000ull,      1000000ull,      10000000ull,      100000000ull,      1000000000ull,
    10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull, 100000000000000ull,
    1000000000000000ull, 10000000000000000ull, 100000000000000000ull, 1000000000000000000ull,
    ten_pow_19};

// Number of decimal digits of value (1 for 0), without branches: the bit
// length times log10(2) estimates it, one comparison corrects it.
inline size_t digit_count(uint64_t value) {
  const int bits = 64 - __builtin_clzll(value | 1);
  const int estimate = (bits * 1233) >> 12;
  return static_cast<size_t>(estimate + 1 - (value < powers_of_ten[estimate]) + (value == 0));
}

// The eight digits of value < 10^8 as ASCII bytes, first digit in the
// lowest byte. The halves of four digits go into 16-bit lanes of hundreds,
// then into bytes of single digits, by multiply-shift reciprocals
// (x * 10486 >> 20 is x / 100 for x < 10^4, x * 103 >> 10 is x / 10 for
// x < 100).
inline uint64_t eight_digits(uint32_t value) {
  const uint64_t merged = (value / 10000) | (static_cast<uint64_t>(value % 10000) << 32);
  const uint64_t hundreds_high = ((merged * 10486) >> 20) & ((0x7Full << 32) | 0x7Full);
  const uint64_t hundreds_low = merged - 100 * hundreds_high;
  const uint64_t hundreds = (hundreds_low << 16) + hundreds_high;
  uint64_t tens =
      ((hundreds * 103) >> 10) & ((0xFull << 48) | (0xFull << 32) | (0xFull << 16) | 0xFull);
  tens += (hundreds - 10 * tens) << 8;
  return tens + 0x3030303030303030ull;
}

inline void store_word(uint64_t word, char *out) { std::memcpy(out, &word, 8); }

// The three digits of each value below 1000 as ASCII bytes, first digit in
// the lowest byte: the head of a 17- to 19-digit integer in one load.
struct three_digit_table {
  uint32_t words[1000];
  constexpr three_digit_table() : words() {
    for (uint32_t v = 0; v < 1000; ++v) {
      words[v] = (0x30u + v / 100) | (0x30u + v / 10 % 10) << 8 | (0x30u + v % 10) << 16;
    }
  }
};
constexpr three_digit_table three_digits;

// The last `count` (1..8) digits of value < 10^8; stores 8 bytes.
inline void store_last_digits(uint32_t value, size_t count, char *out) {
  store_word(eight_digits(value) >> (8 * (8 - count)), out);
}

// value < 10^19 without leading zeros. Returns the length.
inline size_t store_below_ten_pow_19(uint64_t value, char *out) {
  const size_t n = digit_count(value);
  if (n <= 8) {
    store_last_digits(static_cast<uint32_t>(value), n, out);
  } else if (n <= 16) {
    store_last_digits(static_cast<uint32_t>(value / ten_pow_8), n - 8, out);
    store_word(eight_digits(static_cast<uint32_t>(value % ten_pow_8)), out + n - 8);
  } else {
    const uint64_t rest = value % ten_pow_16;
    const uint32_t head = three_digits.words[value / ten_pow_16] >> (8 * (19 - n));
    std::memcpy(out, &head, 4);
    store_word(eight_digits(static_cast<uint32_t>(rest / ten_pow_8)), out + n - 16);
    store_word(eight_digits(static_cast<uint32_t>(rest % ten_pow_8)), out + n - 8);
  }
  return n;
}

// Exactly 19 digits, leading zeros kept, of value < 10^19.
inline void store_19_digits(uint64_t value, char *out) {
  const uint64_t rest = value % ten_pow_16;
  store_last_digits(static_cast<uint32_t>(value / ten_pow_16), 3, out);
  store_word(eight_digits(static_cast<uint32_t>(rest / ten_pow_8)), out + 3);
  store_word(eight_digits(static_cast<uint32_t>(rest % ten_pow_8)), out + 11);
}

size_t store_u64(uint64_t value, char *out) {
  if (value < ten_pow_19) return store_below_ten_pow_19(value, out);
  out[0] = '1';  // 2^64 < 2 * 10^19
  store_19_digits(value - ten_pow_19, out + 1);
  return 20;
}

size_t store_u128(u128 value, char *out) {
  if (value <= UINT64_MAX) return store_u64(static_cast<uint64_t>(value), out);
  // Below 2^128 < 10^39: the head, then 19 digits with leading zeros.
  const size_t head = store_u128(value / ten_pow_19, out);
  store_19_digits(static_cast<uint64_t>(value % ten_pow_19), out + head);
  return head + 19;
}

// The point and six decimals of fraction < 10^6. Returns 7.
inline size_t store_point_and_fraction(uint32_t fraction, char *out) {
  store_word(((eight_digits(fraction) >> 16) << 8) | '.', out);
  return 7;
}

}  // namespace

size_t format_unsigned(uint64_t value, char *out) { return store_u64(value, out); }

size_t format_fixed6(double value, char *out) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const unsigned negative = static_cast<unsigned>(bits >> 63);
  const int exponent_field = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);

  // inf, nan, and integers of 2^127 and above.
  if (exponent_field == 0x7ff || exponent_field >= 1023 + 127) {
    char text[fixed6_max_length + 1];
    const int n = std::snprintf(text, sizeof text, "%lf", value);
    std::memcpy(out, text, static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }

  // Branch-free sign: signs in the particle file are random.
  char *p = out;
  *p = '-';
  p += negative;
  int exponent;  // value = mantissa * 2^exponent
  if (exponent_field == 0) {
    exponent = 1 - 1075;
  } else {
    mantissa |= uint64_t{1} << 52;
    exponent = exponent_field - 1075;
  }

  if (exponent >= 0) {
    if (exponent <= 10) {  // below 2^63 < 10^19
      p += store_below_ten_pow_19(mantissa << exponent, p);
    } else if (exponent == 11) {
      p += store_u64(mantissa << exponent, p);
    } else {
      p += store_u128(static_cast<u128>(mantissa) << exponent, p);
    }
    store_word(0x303030303030302eull, p);  // ".000000" and a spare byte
    return static_cast<size_t>(p + 7 - out);
  }

  const int shift = -exponent;
  if (shift > 6 && shift <= 49) {
    // The common case (velocities, everything from 2^-49 up to 2^46) in
    // 64 bits: the fractional bits f < 2^49 give f * 10^6 / 2^shift =
    // f * 15625 / 2^(shift - 6), and f * 15625 < 2^63.
    uint64_t integer = mantissa >> shift;
    const uint64_t scaled = (mantissa & ((uint64_t{1} << shift) - 1)) * 15625;
    const int k = shift - 6;
    uint64_t fraction = scaled >> k;
    const uint64_t remainder = scaled & ((uint64_t{1} << k) - 1);
    const uint64_t half = uint64_t{1} << (k - 1);
    fraction += (remainder > half) | ((remainder == half) & fraction);
    const uint64_t carry = fraction == 1000000;  // rounded up to the next integer
    integer += carry;
    fraction -= carry * 1000000;
    p += store_below_ten_pow_19(integer, p);
    p += store_point_and_fraction(static_cast<uint32_t>(fraction), p);
    return static_cast<size_t>(p - out);
  }
  // mantissa * 10^6 < 2^73: from a shift of 75 on the quotient is below
  // 1/4 and rounds to zero.
  u128 millionths = 0;
  if (shift < 75) {
    const u128 scaled = static_cast<u128>(mantissa) * 1000000u;
    millionths = scaled >> shift;
    const u128 remainder = scaled & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    millionths += (remainder > half) | ((remainder == half) & static_cast<unsigned>(millionths));
  }
  uint32_t fraction;
  if (millionths <= UINT64_MAX) {
    const uint64_t small = static_cast<uint64_t>(millionths);
    p += store_u64(small / 1000000, p);
    fraction = static_cast<uint32_t>(small % 1000000);
  } else {
    p += store_u128(millionths / 1000000, p);
    fraction = static_cast<uint32_t>(millionths % 1000000);
  }
  p += store_point_and_fraction(fraction, p);
  return static_cast<size_t>(p - out);
}

size_t format_shortest(double value, char *out) {
  const std::to_chars_result result = std::to_chars(out, out + shortest_max_length, value);
  return static_cast<size_t>(result.ptr - out);
}
