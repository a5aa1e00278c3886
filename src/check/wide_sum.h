// Exact sums of long doubles: the same bits whatever the order of the
// terms, so that sums made on any number of threads or ranks and merged
// agree, byte for byte. The checks sum each block of particles in long
// double in file order, as before, and fold the block's sum in here.
#ifndef WIDE_SUM_H
#define WIDE_SUM_H

#include <cstdint>
#include <vector>

#include "check_bytes.h"

// The sum as signed 32-bit digits (in int64 limbs, so that 2^30 terms add
// before a carry) from digit lo up, as many as its terms reached; and the
// non-finite terms, counted, so that they give what a long double sum would.
struct wide_sum {
  int32_t lo = 0;
  std::vector<int64_t> limb;
  int64_t terms = 0;
  uint64_t nan = 0, up = 0, down = 0;  // NaN, +inf and -inf terms
};

void add_wide(wide_sum *sum, long double value);
void merge_wide(wide_sum *into, const wide_sum &from);
// The sum rounded to a long double: the same bits for the same terms.
long double wide_value(const wide_sum &sum);

void pack_wide(byte_writer *out, const wide_sum &sum);
bool unpack_wide(byte_reader *in, wide_sum *sum);

// A block's partial sums, kept in long double in file order, and the exact
// totals they are folded into at the end of each block.
struct block_sums {
  std::vector<long double> partial;
  std::vector<wide_sum> total;
  explicit block_sums(size_t n = 0) : partial(n, 0.0L), total(n) {}
};
void fold_block(block_sums *sums);
void merge_block_sums(block_sums *into, const block_sums &from);
void pack_block_sums(byte_writer *out, const block_sums &sums);
bool unpack_block_sums(byte_reader *in, block_sums *sums);

#endif
