#include "exact_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

namespace {

double sum_of(const std::vector<double> &values) {
  exact_sum sum;
  for (double v : values) add_exact(&sum, v);
  return exact_value(sum);
}

TEST(ExactSum, CancellationLosesNothing) {
  EXPECT_EQ(sum_of({1e300, 1.0, -1e300}), 1.0);
  EXPECT_EQ(sum_of({DBL_MAX, -DBL_MAX, 0x1p-1074, 0x1p-1074}), 0x1p-1073);
  EXPECT_EQ(sum_of({0x1p53, 1.0, -0x1p53}), 1.0);  // a double sum gives 0 here
  EXPECT_EQ(sum_of({-3.5, -0.25}), -3.75);
  EXPECT_EQ(sum_of({}), 0.0);
  EXPECT_EQ(sum_of({2.0, HUGE_VAL, std::nan("")}), 2.0);  // non-finite terms are the caller's
}

TEST(ExactSum, SameBitsInAnyOrderAndAnySplit) {
  // Positions of a galaxy: mixed signs, magnitudes from 1e12 to 1e19.
  std::mt19937_64 random(12);
  std::vector<double> values(200001);
  for (double &v : values) {
    v = std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(random),
                   std::uniform_int_distribution<int>(40, 63)(random));
  }
  const double forward = sum_of(values);
  std::shuffle(values.begin(), values.end(), random);
  EXPECT_EQ(sum_of(values), forward);
  // Three unequal parts, merged after normalising, as ranks reduce them.
  exact_sum parts[3];
  for (size_t i = 0; i < values.size(); ++i) add_exact(&parts[i * 7 % 3], values[i]);
  for (exact_sum &part : parts) normalise_exact(&part);
  exact_sum merged;
  for (const exact_sum &part : parts) merge_exact(&merged, part);
  EXPECT_EQ(exact_value(merged), forward);
  // Within an ulp of a sum in higher precision.
  long double reference = 0.0L;
  std::sort(values.begin(), values.end(), [](double x, double y) { return std::fabs(x) < std::fabs(y); });
  for (double v : values) reference += v;
  EXPECT_NEAR(forward, static_cast<double>(reference), 4 * std::fabs(forward) * DBL_EPSILON);
}

TEST(ExactSum, CarriesSurviveManyLargeTerms) {
  // 2^30 terms whose 53 bits fill every digit they touch, as 2^14 merges of
  // one block: past the point where carries must be propagated.
  const double term = std::nextafter(0x1p32, 0.0) * 0x1p-20;
  exact_sum block;
  for (int j = 0; j < (1 << 16); ++j) add_exact(&block, term);
  exact_sum sum;
  add_exact(&sum, 0x1p-40);
  for (int i = 0; i < (1 << 14); ++i) merge_exact(&sum, block);
  for (int i = 0; i < (1 << 14); ++i) merge_exact(&sum, block);
  exact_sum negated;
  add_exact(&negated, -term * 0x1p31);
  merge_exact(&sum, negated);
  EXPECT_EQ(exact_value(sum), 0x1p-40);
}

}  // namespace
