// The particles' IDs held against what readers need of them (unique, and
// 0 is reserved) and against what galaxy-ic writes: 1 … N in file order.
#ifndef CHECK_IDS_H
#define CHECK_IDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check_bytes.h"

// Where a file's IDs come from.
enum id_source {
  ids_stored,    // each chunk carries them
  ids_by_order,  // the format stores none: a particle is known by its place
  ids_missing,   // the format has them and this file lacks them
};

// The most particles whose repeated and missing IDs are counted: a bit
// each (128 MiB), taken only once an ID is out of order.
constexpr uint64_t id_bitmap_most = uint64_t{1} << 30;

// IDs seen so far, in any order of the file's pieces. A run of IDs each its
// particle's index + 1 costs a bit for each 65536 of them; an ID out of
// order is marked in a bitmap of 1 … N (N / 8 bytes), which finds the
// repeated ones.
struct id_run {
  uint64_t from, to;  // particles [from, to)
};

struct id_tally {
  uint64_t expected = 0;  // N, known before reading
  uint64_t seen = 0;
  uint64_t below_one = 0, above = 0, repeated = 0;  // repeated: by finish_ids
  uint64_t marked = 0;  // in-range IDs, each a mark
  bool in_order = true;
  uint64_t first_out_of_order = UINT64_MAX, id_there = 0;  // particle index and its ID
  std::vector<uint64_t> ordered_blocks;  // a bit for each whole block of IDs in order
  std::vector<id_run> ordered_runs;  // [from, to) in order, within no whole block
  std::vector<uint64_t> bits;  // the out-of-order IDs marked
  bool counted = true;         // false: beyond id_bitmap_most, repeats not counted
};

// Tallies the IDs of particles first … first + n - 1 of the file.
void tally_ids(id_tally *tally, const uint64_t *ids, size_t n, uint64_t first);
void merge_ids(id_tally *into, const id_tally &from);
// Once every piece is tallied: the repeated and missing IDs.
void finish_ids(id_tally *tally);
void pack_ids(byte_writer *out, const id_tally &tally);
bool unpack_merge_ids(byte_reader *in, id_tally *tally);

// The ids line: its figure and whether it passes. source says whether
// the tally holds anything; note is the reason when it does not.
struct id_verdict {
  std::string figure;
  bool passed = true;
  bool informative = false;  // nothing to judge: an INFO line
};
id_verdict judge_ids(const id_tally &tally, id_source source, const std::string &note);

#endif
