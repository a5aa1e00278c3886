// Sums of doubles that are exact, so the same whatever the order of the
// terms: a centre of mass is then the same bits on any number of threads
// or ranks.
#ifndef EXACT_SUM_H
#define EXACT_SUM_H

#include <cstdint>

// Every finite double is an integer m < 2^53 times 2^(e - 1074), e in
// [0, 2045]: the sum is kept as signed 32-bit digits of that integer, in
// int64 limbs, so that 2^31 terms can be added before any carry.
constexpr int exact_sum_limbs = 68;

struct exact_sum {
  int64_t limb[exact_sum_limbs] = {};
  int64_t terms = 0;  // added since the last normalisation
};

// Adds a finite value; non-finite ones are ignored (and counted by the caller).
void add_exact(exact_sum *sum, double value);

// Propagates carries so that every limb but the last is in [0, 2^32): a
// normalised sum can be merged with up to 2^31 others.
void normalise_exact(exact_sum *sum);

// into += from.
void merge_exact(exact_sum *into, const exact_sum &from);

// The sum, rounded to a double (within an ulp; the same bits for the same
// exact sum).
double exact_value(exact_sum sum);

#endif
