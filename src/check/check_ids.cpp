#include "check_ids.h"

#include <algorithm>

namespace {

constexpr uint64_t block_ids = uint64_t{1} << 16;

void mark_bit(std::vector<uint64_t> *bits, uint64_t index) { (*bits)[index / 64] |= uint64_t{1} << (index % 64); }

void mark_range(std::vector<uint64_t> *bits, uint64_t from, uint64_t to) {
  for (; from < to && from % 64 != 0; ++from) mark_bit(bits, from);
  for (; from + 64 <= to; from += 64) (*bits)[from / 64] = ~uint64_t{0};
  for (; from < to; ++from) mark_bit(bits, from);
}

bool take_bitmap(id_tally *t) {
  if (!t->counted) return false;
  if (t->expected > id_bitmap_most) {
    t->counted = false;
    return false;
  }
  if (t->bits.empty()) t->bits.assign(static_cast<size_t>((t->expected + 63) / 64), 0);
  return true;
}

// Particles [from, to), each ID its index + 1: whole blocks as a bit each,
// the rest as a run.
void note_in_order(id_tally *t, uint64_t from, uint64_t to) {
  // Once a bitmap is kept (or none can be), runs go into it at once: the
  // runs between IDs out of order are never listed.
  if (!t->bits.empty()) {
    mark_range(&t->bits, from, to);
    return;
  }
  if (!t->counted) return;
  if (t->ordered_blocks.empty()) t->ordered_blocks.assign(static_cast<size_t>(t->expected / block_ids / 64 + 1), 0);
  const uint64_t first_block = (from + block_ids - 1) / block_ids, end_block = to / block_ids;
  if (first_block >= end_block) {
    t->ordered_runs.push_back({from, to});
    return;
  }
  if (from < first_block * block_ids) t->ordered_runs.push_back({from, first_block * block_ids});
  for (uint64_t b = first_block; b < end_block; ++b) mark_bit(&t->ordered_blocks, b);
  if (end_block * block_ids < to) t->ordered_runs.push_back({end_block * block_ids, to});
}

void note_out_of_order(id_tally *t, uint64_t index, uint64_t id) {
  if (t->in_order || index < t->first_out_of_order) t->first_out_of_order = index, t->id_there = id;
  t->in_order = false;
  const bool kept = take_bitmap(t);
  if (id == 0) {
    ++t->below_one;
  } else if (id > t->expected) {
    ++t->above;
  } else {
    ++t->marked;
    if (kept) mark_bit(&t->bits, id - 1);
  }
}

std::string count_of(uint64_t n, const char *what) { return std::to_string(n) + " " + what; }

uint64_t popcount(const std::vector<uint64_t> &bits) {
  uint64_t n = 0;
  for (uint64_t w : bits) n += static_cast<uint64_t>(__builtin_popcountll(w));
  return n;
}

}  // namespace

void tally_ids(id_tally *t, const uint64_t *ids, size_t n, uint64_t first) {
  t->seen += n;
  size_t run = 0;  // IDs in order from here
  for (size_t i = 0; i <= n; ++i) {
    const uint64_t index = first + i;
    if (i < n && ids[i] == index + 1 && ids[i] <= t->expected) continue;
    if (i > run) {
      note_in_order(t, first + run, index);
      t->marked += index - (first + run);
    }
    if (i < n) note_out_of_order(t, index, ids[i]);
    run = i + 1;
  }
}

void merge_ids(id_tally *into, const id_tally &from) {
  into->seen += from.seen, into->below_one += from.below_one, into->above += from.above, into->marked += from.marked;
  if (!from.in_order && (into->in_order || from.first_out_of_order < into->first_out_of_order)) {
    into->first_out_of_order = from.first_out_of_order, into->id_there = from.id_there;
  }
  into->in_order = into->in_order && from.in_order;
  into->counted = into->counted && from.counted;
  if (!from.ordered_blocks.empty()) {
    if (into->ordered_blocks.empty()) into->ordered_blocks.assign(from.ordered_blocks.size(), 0);
    for (size_t k = 0; k < into->ordered_blocks.size() && k < from.ordered_blocks.size(); ++k) {
      into->ordered_blocks[k] |= from.ordered_blocks[k];
    }
  }
  into->ordered_runs.insert(into->ordered_runs.end(), from.ordered_runs.begin(), from.ordered_runs.end());
  if (!from.bits.empty() && take_bitmap(into)) {
    for (size_t k = 0; k < into->bits.size() && k < from.bits.size(); ++k) into->bits[k] |= from.bits[k];
  }
}

void finish_ids(id_tally *t) {
  if (t->in_order || !take_bitmap(t)) return;
  for (uint64_t b = 0; b < t->ordered_blocks.size() * 64; ++b) {
    if (t->ordered_blocks[b / 64] >> (b % 64) & 1) mark_range(&t->bits, b * block_ids, (b + 1) * block_ids);
  }
  for (const auto &run : t->ordered_runs) mark_range(&t->bits, run.from, run.to);
  t->repeated = t->marked - popcount(t->bits);
}

void pack_ids(byte_writer *out, const id_tally &t) {
  out->put(t.seen), out->put(t.below_one), out->put(t.above), out->put(t.marked), out->put(t.in_order);
  out->put(t.first_out_of_order), out->put(t.id_there), out->put(t.counted);
  out->put_array(t.ordered_blocks.data(), t.ordered_blocks.size());
  out->put_array(t.ordered_runs.data(), t.ordered_runs.size());
  out->put_array(t.bits.data(), t.bits.size());
}

bool unpack_merge_ids(byte_reader *in, id_tally *tally) {
  id_tally t;
  t.expected = tally->expected;
  t.bits.clear();
  const uint64_t words = (tally->expected + 63) / 64;
  if (!in->get(&t.seen) || !in->get(&t.below_one) || !in->get(&t.above) || !in->get(&t.marked) ||
      !in->get(&t.in_order) || !in->get(&t.first_out_of_order) || !in->get(&t.id_there) || !in->get(&t.counted) ||
      !in->get_array(&t.ordered_blocks, tally->expected / block_ids / 64 + 1) || !in->get_array(&t.ordered_runs) ||
      !in->get_array(&t.bits, words)) {
    return false;
  }
  for (const auto &run : t.ordered_runs) {
    if (run.from > run.to || run.to > tally->expected) return in->ok = false;
  }
  merge_ids(tally, t);
  return true;
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
  std::string text;
  const auto add = [&text](const std::string &part) { text += (text.empty() ? "" : ", ") + part; };
  if (t.below_one > 0) add(count_of(t.below_one, "are 0 (reserved)"));
  if (t.counted) {
    // Each in-range ID seen once is one of 1 … N found; the rest are lost.
    const uint64_t missing = t.expected - (t.marked - t.repeated);
    if (t.repeated > 0) add(count_of(t.repeated, "repeat another"));
    if (t.above > 0) add(count_of(t.above, "above N"));
    if (missing > 0) add(count_of(missing, "of 1 to N missing"));
  } else if (t.above > 0) {
    add(count_of(t.above, "above N"));
  }
  if (!t.in_order) {
    add("first out of order at particle " + std::to_string(t.first_out_of_order) + " (ID " +
        std::to_string(t.id_there) + ")");
  }
  if (!t.counted) add("repeats not counted beyond " + std::to_string(id_bitmap_most) + " particles");
  if (t.seen != t.expected) add(std::to_string(t.seen) + " IDs for " + std::to_string(t.expected) + " particles");
  v.figure = "not 1 to N in order: " + text;
  return v;
}
