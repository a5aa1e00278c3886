#include "sample_sketch.h"

#include <algorithm>

namespace {

bool less_key(const sketch_entry &x, const sketch_entry &y) { return x.key < y.key; }

}  // namespace

uint64_t sketch_key(uint64_t index) {
  // splitmix64's finaliser: every index its own key, spread evenly.
  uint64_t z = index + 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void add_to_sketch(sample_sketch *sketch, const sketch_entry &entry) {
  std::vector<sketch_entry> &heap = sketch->heap;
  if (heap.size() < sketch->most) {
    heap.push_back(entry);
    std::push_heap(heap.begin(), heap.end(), less_key);
  } else if (entry.key < heap.front().key) {
    std::pop_heap(heap.begin(), heap.end(), less_key);
    heap.back() = entry;
    std::push_heap(heap.begin(), heap.end(), less_key);
  }
}

void merge_sketch(sample_sketch *into, const sample_sketch &from) {
  for (const sketch_entry &e : from.heap) add_to_sketch(into, e);
}

std::vector<sketch_entry> sketch_entries(const sample_sketch &sketch) {
  std::vector<sketch_entry> sorted(sketch.heap);
  std::sort(sorted.begin(), sorted.end(), less_key);
  return sorted;
}

void pack_sketch(byte_writer *out, const sample_sketch &sketch) { out->put_array(sketch.heap.data(), sketch.heap.size()); }

bool unpack_merge_sketch(byte_reader *in, sample_sketch *sketch) {
  sample_sketch other;
  if (!in->get_array(&other.heap, sketch->most)) return false;
  merge_sketch(sketch, other);
  return true;
}
