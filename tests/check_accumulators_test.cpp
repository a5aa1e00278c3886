// The streaming accumulators galaxy-check is built from, against the exact
// computations they replace: the same bits whatever the order and split of
// the terms, and within their stated bounds of the exact figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "check_bytes.h"
#include "ks_histogram.h"
#include "radial_bins.h"
#include "sample_sketch.h"
#include "wide_sum.h"

namespace {

// The two-sided KS distance of a sample from the uniform law, sorted here.
double exact_distance(std::vector<double> u) {
  std::sort(u.begin(), u.end());
  const double n = static_cast<double>(u.size());
  double d = 0.0;
  for (size_t i = 0; i < u.size(); ++i) {
    const double x = std::clamp(u[i], 0.0, 1.0);
    d = std::max({d, (i + 1) / n - x, x - i / n});
  }
  return d;
}

uint64_t bits_of(long double x) {
  // The 80 bits of an x87 long double: its significand and its exponent.
  unsigned char bytes[sizeof x] = {};
  std::memcpy(bytes, &x, 10);
  uint64_t low, high = 0;
  std::memcpy(&low, bytes, 8);
  std::memcpy(&high, bytes + 8, 2);
  return low ^ (high << 48) ^ (high >> 16);
}

}  // namespace

TEST(KsHistogram, WithinHalfABinOfTheExactDistanceAndMergesExactly) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  // A slightly distorted law, a sample crowded into a few bins (where a
  // histogram could hide most), and a small sample (kept exactly).
  const std::vector<std::pair<size_t, int>> cases = {{300000, 0}, {200000, 1}, {40000, 0}, {70000, 2}};
  for (const auto &[n, kind] : cases) {
    std::vector<double> u(n);
    for (double &x : u) {
      const double y = uniform(rng);
      x = kind == 0 ? std::pow(y, 1.01) : kind == 1 ? 0.3 + 1e-8 * std::floor(4.0 * y) : y * y * 0.5 + 0.5 * y;
    }
    ks_histogram whole, left, right;
    whole.add(u.data(), u.size());
    // The halves in pieces of any size, one of them through its bytes.
    for (size_t at = 0; at < n;) {
      const size_t count = std::min<size_t>(n - at, 1 + rng() % 9000);
      ((at / 4096) % 2 ? left : right).add(u.data() + at, count);
      at += count;
    }
    byte_writer out;
    right.pack(&out);
    byte_reader in{out.bytes.data(), out.bytes.data() + out.bytes.size()};
    ASSERT_TRUE(left.unpack_merge(&in));
    const double exact = exact_distance(u), binned = whole.distance();
    EXPECT_EQ(left.count(), n);
    EXPECT_EQ(left.distance(), binned) << n;
    // Every count doubled (merged in memory, past each bin's low byte where
    // the sample is crowded) leaves the empirical law, and the distance, as
    // they were.
    ks_histogram twice;
    twice.merge(whole), twice.merge(left);
    EXPECT_EQ(twice.count(), 2 * n);
    if (n <= ks_exact_most) {
      EXPECT_EQ(binned, exact) << n;
    } else {
      EXPECT_EQ(twice.distance(), binned) << n;
      EXPECT_LE(std::fabs(binned - exact), 0.5 * ks_bin_width + 1e-15) << n << " kind " << kind;
      // The bins counted here, one value at a time, give the same distance.
      std::vector<uint64_t> counts(ks_bins);
      for (const double x : u) {
        ++counts[std::min(ks_bins - 1, static_cast<size_t>(std::clamp(x, 0.0, 1.0) * static_cast<double>(ks_bins)))];
      }
      EXPECT_EQ(ks_distance_of_bins(counts), binned) << n;
    }
  }
}

// The distance from bins as first written: every bin's terms, one by one.
double plain_distance_of_bins(const std::vector<uint64_t> &counts) {
  uint64_t n = 0;
  for (const uint64_t c : counts) n += c;
  if (n == 0) return 0.0;
  const double total = static_cast<double>(n), width = 1.0 / static_cast<double>(counts.size());
  double least = 0.0, most = 0.0, before = 0.0;
  uint64_t below = 0;
  for (size_t b = 0; b < counts.size(); ++b) {
    const double edge = static_cast<double>(b) * width, next = static_cast<double>(b + 1) * width;
    below += counts[b];
    const double after = static_cast<double>(below) / total;
    least = std::max({least, std::fabs(before - edge), std::fabs(after - next)});
    most = std::max(most, counts[b] > 0 ? std::max(after - edge, next - before) : std::fabs(before - edge));
    before = after;
  }
  return 0.5 * (least + std::max(least, most));
}

TEST(KsHistogram, DistanceOfBinsIsThePlainScanBitForBit) {
  std::mt19937_64 rng(5);
  // Sizes odd and even, within a page and across pages; counts sparse,
  // crowded, with runs of empty bins, and a sample near the uniform law
  // where the least and the most are close.
  const size_t sizes[] = {1, 2, 3, 7, 4095, 4096, 4097, 12289, 65536};
  for (const size_t size : sizes) {
    for (int kind = 0; kind < 4; ++kind) {
      std::vector<uint64_t> counts(size);
      for (size_t b = 0; b < size; ++b) {
        const uint64_t r = rng();
        counts[b] = kind == 0 ? r % 3 : kind == 1 ? (r % 50 == 0 ? r % 100000 : 0) : kind == 2 ? (b % 7 < 3 ? 0 : r % 9) : 1000 + r % 3;
      }
      const double fast = ks_distance_of_bins(counts), plain = plain_distance_of_bins(counts);
      uint64_t a = 0, b = 0;
      std::memcpy(&a, &fast, sizeof a), std::memcpy(&b, &plain, sizeof b);
      EXPECT_EQ(a, b) << "size " << size << " kind " << kind << ": " << fast << " against " << plain;
    }
  }
}

TEST(KsHistogram, SettledOnOneProcessAndTakenByAnother) {
  // Two processes' halves: the owner takes the other's counts, settles
  // the distance, and the first takes that in place of its own half's.
  std::mt19937_64 rng(8);
  std::vector<double> u(200000);
  for (double &x : u) x = std::pow(static_cast<double>(rng() >> 11) * 0x1.0p-53, 1.02);
  ks_histogram whole, mine, owner;
  whole.add(u.data(), u.size());
  mine.add(u.data(), u.size() / 2);
  owner.add(u.data() + u.size() / 2, u.size() - u.size() / 2);
  byte_writer given;
  mine.pack(&given);
  mine.give_away();
  byte_reader in = byte_reader::of(given.bytes);
  ASSERT_TRUE(owner.unpack_merge(&in));
  owner.settle();
  byte_writer settled, nothing;
  owner.pack(&settled);
  mine.pack(&nothing);
  EXPECT_LT(settled.bytes.size(), 32u);  // a count and a distance, not the bins
  EXPECT_EQ(nothing.bytes.size(), 1u);   // given away: nothing again
  in = byte_reader::of(settled.bytes);
  ASSERT_TRUE(mine.unpack_merge(&in));
  in = byte_reader::of(nothing.bytes);
  ASSERT_TRUE(owner.unpack_merge(&in));
  EXPECT_EQ(mine.count(), u.size());
  EXPECT_EQ(mine.distance(), whole.distance());
  EXPECT_EQ(owner.distance(), whole.distance());
  // A state that is none of the three is refused.
  std::vector<unsigned char> bad = {7};
  in = byte_reader::of(bad);
  EXPECT_FALSE(owner.unpack_merge(&in));
}

TEST(KsHistogram, MergedCountsCarryPastTheirLowByte) {
  // 40136 values in one bin (200 past a multiple of 256) and 30000 in
  // another: merged with itself, the first bin's low bytes overflow.
  std::vector<double> u(40136, 0.25);
  u.insert(u.end(), 30000, 0.75);
  ks_histogram one, merged, through_bytes;
  one.add(u.data(), u.size());
  merged.merge(one), merged.merge(one);
  byte_writer out;
  one.pack(&out);
  for (int k = 0; k < 2; ++k) {
    byte_reader in{out.bytes.data(), out.bytes.data() + out.bytes.size()};
    ASSERT_TRUE(through_bytes.unpack_merge(&in));
  }
  std::vector<uint64_t> counts(ks_bins);
  counts[ks_bins / 4] = 2 * 40136, counts[3 * ks_bins / 4] = 2 * 30000;
  EXPECT_EQ(merged.distance(), ks_distance_of_bins(counts));
  EXPECT_EQ(through_bytes.distance(), ks_distance_of_bins(counts));
  EXPECT_NEAR(merged.distance(), 40136.0 / 70136.0 - 0.25, 1e-6);  // the jump at 1/4
  // Bins side by side, some of whose low bytes overflow when merged and
  // some not: each count exact.
  std::vector<double> side;
  std::vector<uint64_t> near(ks_bins);
  for (size_t b = 1000; b < 1200; ++b) {
    const size_t n = (b * 37) % 300;
    side.insert(side.end(), n, (static_cast<double>(b) + 0.5) * ks_bin_width);
    near[b] = 3 * n;
  }
  side.insert(side.end(), 70000, 0.9);
  near[static_cast<size_t>(0.9 * ks_bins)] = 3 * 70000;
  ks_histogram base, thrice;
  base.add(side.data(), side.size());
  byte_writer side_bytes;
  base.pack(&side_bytes);
  thrice.merge(base);
  for (int k = 0; k < 2; ++k) {
    byte_reader in = byte_reader::of(side_bytes.bytes);
    ASSERT_TRUE(thrice.unpack_merge(&in));
  }
  EXPECT_EQ(thrice.count(), 3 * side.size());
  EXPECT_EQ(thrice.distance(), ks_distance_of_bins(near));
}

TEST(WideSum, SameBitsInAnyOrderAndExactWhereLongDoubleIsNot) {
  std::mt19937_64 rng(3);
  std::vector<long double> terms;
  for (int i = 0; i < 20000; ++i) {
    const double magnitude = std::ldexp(1.0, static_cast<int>(rng() % 1200) - 600);
    terms.push_back((rng() % 2 ? -1.0L : 1.0L) * magnitude * (1.0L + (rng() % 1000) / 1000.0L));
  }
  wide_sum forward;
  for (const long double t : terms) add_wide(&forward, t);
  for (int trial = 0; trial < 5; ++trial) {
    std::shuffle(terms.begin(), terms.end(), rng);
    wide_sum a, b;
    for (size_t i = 0; i < terms.size(); ++i) add_wide(i % 3 ? &a : &b, terms[i]);
    byte_writer out;
    pack_wide(&out, b);
    byte_reader in{out.bytes.data(), out.bytes.data() + out.bytes.size()};
    wide_sum c;
    ASSERT_TRUE(unpack_wide(&in, &c));
    merge_wide(&a, c);
    EXPECT_EQ(bits_of(wide_value(a)), bits_of(wide_value(forward)));
  }
  // 1e30 + 1 - 1e30 is 1; in long double it is 0.
  wide_sum s;
  for (const long double t : {1e30L, 1.0L, -1e30L}) add_wide(&s, t);
  EXPECT_EQ(wide_value(s), 1.0L);
  // Non-finite terms give what a long double sum gives.
  wide_sum up, both;
  add_wide(&up, INFINITY), add_wide(&up, 5.0L);
  add_wide(&both, INFINITY), add_wide(&both, -INFINITY);
  EXPECT_EQ(wide_value(up), INFINITY);
  EXPECT_TRUE(std::isnan(wide_value(both)));
}

TEST(BlockSums, LanesOfAnyShareGiveTheSameTotals) {
  // Blocks of terms, each summed in order; the blocks shared out between
  // lanes in any way, the lanes merged in any order.
  std::mt19937_64 rng(8);
  std::normal_distribution<double> normal;
  const int blocks = 40, per_block = 500;
  std::vector<double> terms(blocks * per_block);
  for (double &t : terms) t = normal(rng) * std::exp(3.0 * normal(rng));
  std::vector<uint64_t> reference;
  for (int trial = 0; trial < 6; ++trial) {
    const int lanes = 1 + trial % 4;
    std::vector<block_sums> lane(lanes, block_sums(2));
    for (int b = 0; b < blocks; ++b) {
      block_sums &s = lane[trial == 0 ? 0 : rng() % lanes];
      for (int i = 0; i < per_block; ++i) {
        const double t = terms[b * per_block + i];
        s.partial[0] += t, s.partial[1] += static_cast<long double>(t) * t;
      }
      fold_block(&s);
    }
    std::shuffle(lane.begin(), lane.end(), rng);
    for (int k = 1; k < lanes; ++k) merge_block_sums(&lane[0], lane[k]);
    const std::vector<uint64_t> bits = {bits_of(wide_value(lane[0].total[0])), bits_of(wide_value(lane[0].total[1]))};
    if (trial == 0) reference = bits;
    EXPECT_EQ(bits, reference) << trial;
  }
}

TEST(SampleSketch, TheSameSubsampleHoweverTheFileIsShared) {
  std::vector<sketch_entry> all;
  sample_sketch whole;
  whole.most = 1000;
  for (uint64_t i = 0; i < 50000; ++i) {
    const sketch_entry e{sketch_key(i), {static_cast<double>(i), 0, 0, 0}};
    add_to_sketch(&whole, e);
    all.push_back(e);
  }
  std::mt19937_64 rng(2);
  std::shuffle(all.begin(), all.end(), rng);
  sample_sketch parts[3];
  for (sample_sketch &p : parts) p.most = 1000;
  for (size_t i = 0; i < all.size(); ++i) add_to_sketch(&parts[rng() % 3], all[i]);
  // Packed and merged into a fresh sketch, as a rank's travels.
  byte_writer out;
  pack_sketch(&out, parts[0]);
  byte_reader in{out.bytes.data(), out.bytes.data() + out.bytes.size()};
  sample_sketch again;
  again.most = 1000;
  ASSERT_TRUE(unpack_merge_sketch(&in, &again));
  merge_sketch(&again, parts[1]);
  merge_sketch(&again, parts[2]);
  merge_sketch(&parts[2], parts[0]);
  merge_sketch(&parts[2], parts[1]);
  const std::vector<sketch_entry> a = sketch_entries(whole), b = sketch_entries(parts[2]);
  // The smallest keys of all, found by sorting them all.
  std::vector<sketch_entry> sorted = all;
  std::sort(sorted.begin(), sorted.end(), [](const sketch_entry &x, const sketch_entry &y) { return x.key < y.key; });
  ASSERT_EQ(a.size(), 1000u);
  ASSERT_EQ(b.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].value[0], b[i].value[0]);
    EXPECT_EQ(a[i].key, sorted[i].key);
  }
  const std::vector<sketch_entry> c = sketch_entries(again);
  ASSERT_EQ(c.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(c[i].key, a[i].key);
  // Fewer particles than it keeps: all of them, in order of key.
  sample_sketch few;
  few.most = 1000;
  for (size_t i = 0; i < 10; ++i) add_to_sketch(&few, all[i]);
  const std::vector<sketch_entry> d = sketch_entries(few);
  ASSERT_EQ(d.size(), 10u);
  EXPECT_TRUE(std::is_sorted(d.begin(), d.end(), [](const sketch_entry &x, const sketch_entry &y) { return x.key < y.key; }));
  // An even spread over the file: the mean index near the middle.
  double mean = 0.0;
  for (const sketch_entry &e : a) mean += e.value[0] / a.size();
  EXPECT_NEAR(mean, 25000.0, 4.0 * 50000.0 / std::sqrt(12.0 * 1000.0));
}

TEST(RadialBins, VirialRatioAgreesWithTheSortedSumWithinItsBound) {
  // W = -G sum m M(< r) / r over the sample sorted by radius, against the
  // bins' estimate; the pairs within one bin are what they approximate.
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const double a = 3e19, G = 6.674e-11;
  const int n = 200000;
  std::vector<std::pair<double, double>> particles;  // r, v^2
  radial_bins bins, other;
  init_radial_bins(&bins, 2, a, 1e35, 1e10);
  init_radial_bins(&other, 2, a, 1e35, 1e10);
  for (int i = 0; i < n; ++i) {
    const double s = std::sqrt(uniform(rng)), r = a * s / (1.0 - s);  // Hernquist
    const double v2 = 1e10 * uniform(rng);
    particles.push_back({r, v2});
    add_radial(i % 2 ? &bins : &other, i % 3 == 0 ? 1 : 0, r, 1e35, v2);
  }
  merge_radial(&bins, other);
  std::sort(particles.begin(), particles.end());
  long double W = 0.0L, K = 0.0L;
  for (int i = 0; i < n; ++i) {
    W -= G * 1e35L * 1e35L * i / particles[i].first;
    K += 1e35L * particles[i].second;
  }
  const virial_estimate v = radial_virial(bins, -1, G);
  ASSERT_TRUE(v.defined);
  const double exact = static_cast<double>(K / -W);
  // Within a bin pairs are taken at the mean of their 1/r (within 5.5e-4
  // of each), and they are some 1e-3 of all pairs.
  EXPECT_NEAR(v.ratio, exact, 1e-5 * exact);
  EXPECT_GT(v.error, 0.0);
}
