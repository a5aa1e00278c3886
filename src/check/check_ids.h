// The particles' IDs held against what readers need of them (unique, and
// 0 is reserved) and against what galaxy-ic writes: 1 … N in file order.
#ifndef CHECK_IDS_H
#define CHECK_IDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where a file's IDs come from.
enum id_source {
  ids_stored,    // each chunk carries them
  ids_by_order,  // the format stores none: a particle is known by its place
  ids_missing,   // the format has them and this file lacks them
};

// IDs seen so far. In order costs nothing; the first ID out of order
// starts a bitmap of 1 … N (N / 8 bytes), which finds the repeated ones.
struct id_tally {
  uint64_t expected = 0;  // N, known before reading
  uint64_t seen = 0;
  uint64_t below_one = 0, above = 0, repeated = 0;
  bool in_order = true;
  uint64_t first_out_of_order = 0, id_there = 0;  // particle index and its ID
  std::vector<uint64_t> bits;                     // once out of order
};

// Tallies the next n IDs of the file.
void tally_ids(id_tally *tally, const uint64_t *ids, size_t n);

// The ids line: its figure and whether it passes. source says whether
// the tally holds anything; note is the reason when it does not.
struct id_verdict {
  std::string figure;
  bool passed = true;
  bool informative = false;  // nothing to judge: an INFO line
};
id_verdict judge_ids(const id_tally &tally, id_source source, const std::string &note);

#endif
