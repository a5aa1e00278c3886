#include "sample_sketch.h"

#include <algorithm>

namespace {

bool less_key(const sketch_entry &x, const sketch_entry &y) { return x.key < y.key; }

// Keeps the most smallest keys of the candidates, which then bound the rest.
void prune(std::vector<sketch_entry> *kept, size_t most, uint64_t *bound) {
  if (kept->size() <= most) return;
  std::nth_element(kept->begin(), kept->begin() + static_cast<std::ptrdiff_t>(most - 1), kept->end(), less_key);
  kept->resize(most);
  if (bound != nullptr) *bound = (*kept)[most - 1].key;
}

}  // namespace

uint64_t sketch_key(uint64_t index) {
  // splitmix64's finaliser: every index its own key, spread evenly.
  uint64_t z = index + 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void add_to_sketch(sample_sketch *sketch, const sketch_entry &entry) {
  if (!sketch_takes(*sketch, entry.key) || sketch->most == 0) return;
  sketch->kept.push_back(entry);
  if (sketch->kept.size() >= sketch->most + sketch->most / 2 + 1) prune(&sketch->kept, sketch->most, &sketch->bound);
}

void merge_sketch(sample_sketch *into, const sample_sketch &from) {
  for (const sketch_entry &e : from.kept) add_to_sketch(into, e);
}

std::vector<sketch_entry> sketch_entries(const sample_sketch &sketch) {
  std::vector<sketch_entry> sorted(sketch.kept);
  prune(&sorted, sketch.most, nullptr);
  std::sort(sorted.begin(), sorted.end(), less_key);
  return sorted;
}

void pack_sketch(byte_writer *out, const sample_sketch &sketch) {
  std::vector<sketch_entry> smallest(sketch.kept);
  prune(&smallest, sketch.most, nullptr);
  out->put_array(smallest.data(), smallest.size());
}

bool unpack_merge_sketch(byte_reader *in, sample_sketch *sketch) {
  sample_sketch other;
  if (!in->get_array(&other.kept, sketch->most)) return false;
  merge_sketch(sketch, other);
  return true;
}
