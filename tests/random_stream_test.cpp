#include "random_stream.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

TEST(PrivateCopy, SameNumbersAsUnseededRand) {
  // srand(1) puts rand() back where an unseeded process starts.
  std::srand(1);
  random_stream stream;
  init_private_copy_stream(&stream);
  constexpr int64_t draws = 100000000;
  int64_t first_difference = -1;
  for (int64_t i = 0; i < draws; ++i) {
    const double expected = static_cast<double>(std::rand()) / 2147483647.0;
    if (next_uniform(&stream) != expected) {
      first_difference = i;
      break;
    }
  }
  EXPECT_EQ(first_difference, -1);
}

// u01fixedpt of a 64-bit word, written out: the top 53 bits with the lowest
// forced to 1, over 2^53.
double open_unit(uint32_t low, uint32_t high) {
  const uint64_t word = (static_cast<uint64_t>(high) << 32) | low;
  return std::ldexp(static_cast<double>((word >> 11) | 1u), -53);
}

TEST(CounterBased, KnownAnswerAndWordOrder) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  // Random123's published Philox4x32-10 vector for a zero counter and key:
  // 6627e8d5 e169c58d bc57ac4c 9b00dbd8. Seed 0, particle 0, draws 0 and 1.
  random_stream stream;
  init_counter_based_stream(&stream, 0);
  start_particle_stream(&stream, 0);
  EXPECT_EQ(next_uniform(&stream), open_unit(0x6627e8d5, 0xe169c58d));
  EXPECT_EQ(next_uniform(&stream), open_unit(0xbc57ac4c, 0x9b00dbd8));
}

TEST(CounterBased, ParticlesArePureFunctionsOfSeedAndIndex) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  constexpr int draws = 40;  // past the eight made ahead, both halves of pairs
  auto sequence = [](uint64_t seed, uint64_t particle) {
    random_stream stream;
    init_counter_based_stream(&stream, seed);
    start_particle_stream(&stream, particle);
    std::vector<double> values(draws);
    for (double &v : values) v = next_uniform(&stream);
    return values;
  };
  const uint64_t seed = 18446744073709551615u;
  const std::vector<double> reference = sequence(seed, 4294967301u);  // both index words
  // The same particle after others were drawn from the same stream.
  random_stream stream;
  init_counter_based_stream(&stream, seed);
  for (uint64_t other : {0u, 1u, 99u}) {
    start_particle_stream(&stream, other);
    for (int i = 0; i < 13; ++i) next_uniform(&stream);
  }
  start_particle_stream(&stream, 4294967301u);
  for (int i = 0; i < draws; ++i) {
    const double v = next_uniform(&stream);
    EXPECT_EQ(v, reference[i]) << i;
    EXPECT_GT(v, 0.0);
    EXPECT_LT(v, 1.0);
  }
  // Neighbouring seeds and particles, and the high index word, all differ.
  for (const auto &other : {sequence(seed - 1, 4294967301u), sequence(seed, 4294967300u),
                            sequence(seed, 5u)}) {
    int same = 0;
    for (int i = 0; i < draws; ++i) same += other[i] == reference[i];
    EXPECT_EQ(same, 0);
  }
}

}  // namespace
