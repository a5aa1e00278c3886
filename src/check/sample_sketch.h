// The picture's particles: those whose hashed file index is among the
// smallest, a deterministic subsample of bounded size that merges across
// threads and ranks to the same one.
#ifndef SAMPLE_SKETCH_H
#define SAMPLE_SKETCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "check_bytes.h"

// What the picture keeps of a particle, as its caller lays it out.
struct sketch_entry {
  uint64_t key;
  double value[4];
};

// Candidates, of which the sketch is the most with the smallest keys: a
// key at or above bound cannot be among them. Pruned to most when they
// reach half as many again, so that each particle costs a comparison.
struct sample_sketch {
  size_t most = 1 << 16;
  std::vector<sketch_entry> kept;
  uint64_t bound = UINT64_MAX;
};

inline bool sketch_takes(const sample_sketch &sketch, uint64_t key) { return key < sketch.bound; }

// The key of the particle at index in the file.
uint64_t sketch_key(uint64_t index);
void add_to_sketch(sample_sketch *sketch, const sketch_entry &entry);
void merge_sketch(sample_sketch *into, const sample_sketch &from);
// The entries in ascending order of key.
std::vector<sketch_entry> sketch_entries(const sample_sketch &sketch);
void pack_sketch(byte_writer *out, const sample_sketch &sketch);
bool unpack_merge_sketch(byte_reader *in, sample_sketch *sketch);

#endif
