#include "fixed_format.h"

#include <cstdio>
#include <cstring>

// A double is m * 2^e with an integer m < 2^53. Its six-decimal rounding is
// round(m * 10^6 / 2^-e), which for every exponent that can round to a
// non-zero value fits 128-bit integers: the remainder of the shift decides
// the rounding exactly, ties going to the even neighbour as printf does in
// the default rounding mode. Integers up to 2^127 are printed directly; the
// rest (beyond 1.7e38, and inf or nan) go to snprintf, which is exact.

namespace {

using u128 = unsigned __int128;

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr uint64_t ten_pow_19 = 10000000000000000000ull;

// Writes exactly `width` digits of value (< 10^width), zero padded, ending
// just before end.
void write_padded(uint64_t value, char *end, int width) {
  while (width >= 2) {
    end -= 2;
    std::memcpy(end, digit_pairs + 2 * (value % 100), 2);
    value /= 100;
    width -= 2;
  }
  if (width == 1) *--end = static_cast<char>('0' + value);
}

int count_digits(uint64_t value) {
  int n = 1;
  while (value >= 10000) {
    value /= 10000;
    n += 4;
  }
  if (value >= 1000) return n + 3;
  if (value >= 100) return n + 2;
  if (value >= 10) return n + 1;
  return n;
}

size_t write_u128(u128 value, char *out) {
  if (value <= UINT64_MAX) return format_unsigned(static_cast<uint64_t>(value), out);
  // Below 2^128 < 10^39: at most three groups of 19 digits.
  const uint64_t low = static_cast<uint64_t>(value % ten_pow_19);
  const size_t head = write_u128(value / ten_pow_19, out);
  write_padded(low, out + head + 19, 19);
  return head + 19;
}

// Integer part, point and the six decimals of value / 10^6.
size_t write_millionths(u128 millionths, char *out) {
  size_t n;
  uint32_t fraction;
  if (millionths <= UINT64_MAX) {
    const uint64_t small = static_cast<uint64_t>(millionths);
    n = format_unsigned(small / 1000000, out);
    fraction = static_cast<uint32_t>(small % 1000000);
  } else {
    n = write_u128(millionths / 1000000, out);
    fraction = static_cast<uint32_t>(millionths % 1000000);
  }
  out[n] = '.';
  write_padded(fraction, out + n + 7, 6);
  return n + 7;
}

}  // namespace

size_t format_unsigned(uint64_t value, char *out) {
  const int n = count_digits(value);
  write_padded(value, out + n, n);
  return static_cast<size_t>(n);
}

size_t format_fixed6(double value, char *out) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int exponent_field = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);

  // inf, nan, and integers of 2^127 and above.
  if (exponent_field == 0x7ff || exponent_field >= 1023 + 127) {
    char text[fixed6_max_length + 1];
    const int n = std::snprintf(text, sizeof text, "%lf", value);
    std::memcpy(out, text, static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }

  char *p = out;
  if (negative) *p++ = '-';
  int exponent;  // value = mantissa * 2^exponent
  if (exponent_field == 0) {
    exponent = 1 - 1075;
  } else {
    mantissa |= uint64_t{1} << 52;
    exponent = exponent_field - 1075;
  }

  if (exponent >= 0) {
    p += write_u128(static_cast<u128>(mantissa) << exponent, p);
    std::memcpy(p, ".000000", 7);
    return static_cast<size_t>(p + 7 - out);
  }

  const int shift = -exponent;
  // mantissa * 10^6 < 2^73: from a shift of 75 on the quotient is below
  // 1/4 and rounds to zero.
  u128 millionths = 0;
  if (shift < 75) {
    const u128 scaled = static_cast<u128>(mantissa) * 1000000u;
    millionths = scaled >> shift;
    const u128 remainder = scaled & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    if (remainder > half || (remainder == half && (millionths & 1) != 0)) ++millionths;
  }
  p += write_millionths(millionths, p);
  return static_cast<size_t>(p - out);
}
