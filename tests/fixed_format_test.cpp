#include "fixed_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "particle_reader.h"

namespace {

std::string fast(double value) {
  char text[fixed6_max_length + format_slack];
  return std::string(text, format_fixed6(value, text));
}

std::string reference(double value) {
  char text[fixed6_max_length + 1];
  const int n = std::snprintf(text, sizeof text, "%lf", value);
  return std::string(text, static_cast<size_t>(n));
}

double from_bits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Counts disagreements, reporting the first few.
int mismatches(const std::vector<double> &values) {
  int bad = 0;
  for (double value : values) {
    const std::string got = fast(value), want = reference(value);
    if (got != want && ++bad <= 5) {
      ADD_FAILURE() << std::hexfloat << value << ": got " << got << ", want " << want;
    }
  }
  return bad;
}

TEST(FixedFormat, SpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(fast(0.0), "0.000000");
  EXPECT_EQ(fast(-0.0), "-0.000000");
  EXPECT_EQ(fast(-1e-9), "-0.000000");
  EXPECT_EQ(fast(inf), reference(inf));
  EXPECT_EQ(fast(-inf), reference(-inf));
  EXPECT_EQ(fast(nan), reference(nan));
  EXPECT_EQ(fast(-nan), reference(-nan));
  EXPECT_EQ(fast(DBL_MAX), reference(DBL_MAX));
  EXPECT_EQ(fast(-DBL_MAX).size(), 1 + 309 + 7u);
  EXPECT_EQ(fast(DBL_TRUE_MIN), "0.000000");
  EXPECT_EQ(fast(1.9891e39 / 512), "3884960937499999768399282820463198208.000000");
}

TEST(FixedFormat, TiesGoToEven) {
  // k / 128 is exact, and odd k puts a 5 in the seventh decimal.
  EXPECT_EQ(fast(1.0 / 128), "0.007812");   // 0.0078125
  EXPECT_EQ(fast(3.0 / 128), "0.023438");   // 0.0234375
  EXPECT_EQ(fast(-5.0 / 128), "-0.039062"); // -0.0390625
  std::vector<double> ties;
  for (int k = -100000; k <= 100000; k += 2) ties.push_back((k + 1) / 128.0);
  EXPECT_EQ(mismatches(ties), 0);
}

TEST(FixedFormat, IntegerAndRangeBoundaries) {
  std::vector<double> values;
  for (int e = 0; e < 1024; ++e) {
    const double p = std::ldexp(1.0, e);
    for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL)}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  for (int e = -1074; e < 0; ++e) values.push_back(std::ldexp(1.0, e));
  for (double v : {999999.9999995, 0.0000005, 0.0000015, 0.0000025, 9.9999995, 1e-6, 5e-7,
                   4.999999e-7, 18446744073709551615.0, 18446744073709.551615,
                   // Powers of ten where the formatter's paths change.
                   1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e38, 1e39}) {
    values.push_back(v);
    values.push_back(std::nextafter(v, 0.0));
    values.push_back(std::nextafter(v, HUGE_VAL));
  }
  EXPECT_EQ(mismatches(values), 0);
}

TEST(FixedFormat, MatchesPrintfOnMillionsOfRandomDoubles) {
  std::mt19937_64 rng(20261207);
  std::vector<double> values;
  values.reserve(1 << 20);
  // Every bit pattern: all exponents from subnormals to the largest, both
  // signs, inf and nan.
  for (int i = 0; i < 400000; ++i) values.push_back(from_bits(rng()));
  // Magnitudes the particle file holds, and integers beyond 2^53.
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int i = 0; i < 150000; ++i) values.push_back(unit(rng) * 1e6);
  for (int i = 0; i < 150000; ++i) values.push_back(unit(rng) * 1e19);
  for (int i = 0; i < 100000; ++i) values.push_back(std::ldexp(unit(rng), 54 + rng() % 80));
  // Values at and beside a tie of the sixth decimal: (2k + 1) / 2e6 rounded
  // to double, and its neighbours.
  for (int i = 0; i < 100000; ++i) {
    const double tie = (2.0 * static_cast<double>(rng() % 20000000000ull) + 1.0) / 2e6;
    values.push_back(tie);
    values.push_back(-std::nextafter(tie, 0.0));
    values.push_back(std::nextafter(tie, HUGE_VAL));
  }
  // Exact dyadic ties n / 2^7 and near them n / 2^s.
  for (int i = 0; i < 100000; ++i) {
    values.push_back(std::ldexp(static_cast<double>(rng() >> 20), -(7 + static_cast<int>(rng() % 30))));
  }
  ASSERT_GE(values.size(), 1000000u);
  EXPECT_EQ(mismatches(values), 0);
}

TEST(UnsignedFormat, MatchesPrintf) {
  std::mt19937_64 rng(7);
  char got[20 + format_slack], want[24];
  for (int i = 0; i < 200000; ++i) {
    const uint64_t value = rng() >> (rng() % 64);
    const size_t n = format_unsigned(value, got);
    std::snprintf(want, sizeof want, "%llu", static_cast<unsigned long long>(value));
    ASSERT_EQ(std::string(got, n), want);
  }
  EXPECT_EQ(std::string(got, format_unsigned(0, got)), "0");
  EXPECT_EQ(std::string(got, format_unsigned(UINT64_MAX, got)), "18446744073709551615");
}

}  // namespace

namespace {

// What the reader makes of the shortest form: every double back, bit for bit.
TEST(ShortestFormat, ReadsBackExactlyAndIsNoLongerThanPrintfsShortest) {
  std::mt19937_64 random(2026);
  char text[shortest_max_length];
  size_t mismatched = 0, longer = 0;
  for (int i = 0; i < 1000000; ++i) {
    const double value = from_bits(random());
    const size_t length = format_shortest(value, text);
    double back = 0.0;
    if (!parse_particle_number(text, length, &back) ||
        (std::memcmp(&back, &value, sizeof value) != 0 && !(std::isnan(back) && std::isnan(value)))) {
      ++mismatched;
    }
    // %.17g always round-trips: the shortest form is never longer.
    char g17[32];
    longer += length > static_cast<size_t>(std::snprintf(g17, sizeof g17, "%.17g", value));
  }
  EXPECT_EQ(mismatched, 0u);
  EXPECT_EQ(longer, 0u);
  EXPECT_EQ(std::string(text, format_shortest(1.0 / 3.0, text)), "0.3333333333333333");
  EXPECT_EQ(std::string(text, format_shortest(1e18, text)), "1e+18");
  EXPECT_EQ(std::string(text, format_shortest(-0.0, text)), "-0");
  EXPECT_EQ(std::string(text, format_shortest(-DBL_MIN, text)), "-2.2250738585072014e-308");
}

}  // namespace
