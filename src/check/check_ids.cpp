#include "check_ids.h"

namespace {

// Marks id (in 1 … N) in the bitmap; true when it was marked already.
bool mark(id_tally *t, uint64_t id) {
  uint64_t &word = t->bits[(id - 1) / 64];
  const uint64_t bit = uint64_t{1} << ((id - 1) % 64);
  const bool had = (word & bit) != 0;
  word |= bit;
  return had;
}

// The first ID out of order: every one before it was its index + 1.
void start_bitmap(id_tally *t) {
  t->bits.assign(static_cast<size_t>((t->expected + 63) / 64), 0);
  for (uint64_t id = 1; id <= t->seen && id <= t->expected; ++id) mark(t, id);
}

std::string count_of(uint64_t n, const char *what) { return std::to_string(n) + " " + what; }

}  // namespace

void tally_ids(id_tally *t, const uint64_t *ids, size_t n) {
  for (size_t i = 0; i < n; ++i, ++t->seen) {
    const uint64_t id = ids[i];
    if (t->in_order && id == t->seen + 1 && id <= t->expected) continue;
    if (t->in_order) {
      t->in_order = false;
      t->first_out_of_order = t->seen;
      t->id_there = id;
      start_bitmap(t);
    }
    if (id == 0) {
      ++t->below_one;
    } else if (id > t->expected) {
      ++t->above;
    } else if (mark(t, id)) {
      ++t->repeated;
    }
  }
}

id_verdict judge_ids(const id_tally &t, id_source source, const std::string &note) {
  id_verdict v;
  if (source == ids_by_order) {
    v.figure = note;
    v.informative = true;
    return v;
  }
  if (source == ids_missing) {
    v.figure = note;
    v.passed = false;
    return v;
  }
  if (t.in_order && t.seen == t.expected) {
    v.figure = t.seen == 0 ? "none: no particle" : "1 to " + std::to_string(t.seen) + ", in file order";
    return v;
  }
  v.passed = false;
  // Each in-range ID seen once is one of 1 … N found; the rest are lost.
  const uint64_t in_range = t.seen - t.below_one - t.above - t.repeated;
  const uint64_t missing = t.expected - in_range;
  std::string text;
  const auto add = [&text](const std::string &part) { text += (text.empty() ? "" : ", ") + part; };
  if (t.below_one > 0) add(count_of(t.below_one, "are 0 (reserved)"));
  if (t.repeated > 0) add(count_of(t.repeated, "repeat another"));
  if (t.above > 0) add(count_of(t.above, "above N"));
  if (missing > 0) add(count_of(missing, "of 1 to N missing"));
  if (!t.in_order) {
    add("first out of order at particle " + std::to_string(t.first_out_of_order) + " (ID " +
        std::to_string(t.id_there) + ")");
  }
  if (t.seen != t.expected) add(std::to_string(t.seen) + " IDs for " + std::to_string(t.expected) + " particles");
  v.figure = "not 1 to N in order: " + text;
  return v;
}
