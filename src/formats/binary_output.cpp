#include "binary_output.h"

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>

#include "byte_order.h"

// GADGET (formats 1 and 2), as its user guide lays them out: a 256-byte
// header, then blocks of positions, velocities and IDs, each framed by
// 4-byte record lengths; format 2 puts an 8-byte record (a 4-character label
// and the size of what follows it) before each. Little-endian, the
// particles in type order; a type whose particles share one mass has it in
// the header's mass table, the others hold 0 there and their particles'
// masses (only theirs, in file order) are in a MASS block after the IDs, in
// the precision of the positions.
// tipsy: a 32-byte header (time, nbodies, ndim, nsph, ndark, nstar, pad),
// 36-byte dark-matter particles (mass, pos, vel, eps, phi), then 44-byte
// star particles (mass, pos, vel, metals, tform, eps, phi), big-endian.

namespace {

constexpr uint64_t gadget_header_bytes = 256;
constexpr uint64_t tipsy_header_bytes = 32;
constexpr uint64_t tipsy_dark_bytes = 36, tipsy_star_bytes = 44;
const char *const block_labels[4] = {"POS ", "VEL ", "ID  ", "MASS"};
enum { id_block = 2, mass_block = 3 };

bool is_gadget(const binary_layout &layout) { return layout.options.format != format_tipsy; }

int gadget_blocks(const binary_file_part &part) { return part.mass_block ? 4 : 3; }

uint64_t label_bytes(const binary_layout &layout) {
  return layout.options.format == format_gadget2 ? 16 : 0;
}

// Bytes of one row in GADGET block k.
uint64_t row_bytes(const binary_layout &layout, int k) {
  if (k == id_block) return static_cast<uint64_t>(layout.id_bytes);
  return static_cast<uint64_t>(layout.value_bytes) * (k == mass_block ? 1 : 3);
}

uint64_t block_rows(const binary_file_part &part, int k) { return k == mass_block ? part.mass_rows : part.rows; }

// Where block k of a GADGET file starts (its label or length).
uint64_t block_start(const binary_layout &layout, const binary_file_part &part, int k) {
  uint64_t at = label_bytes(layout) + 8 + gadget_header_bytes;
  for (int j = 0; j < k; ++j) at += label_bytes(layout) + 8 + block_rows(part, j) * row_bytes(layout, j);
  return at;
}

uint64_t data_offset(const binary_layout &layout, const binary_file_part &part, int k) {
  return block_start(layout, part, k) + label_bytes(layout) + 4;
}

// The row in its file's MASS block of the particle of global index g:
// the particles of the file before it whose masses are in the block.
uint64_t mass_row(const binary_layout &layout, const binary_file_part &part, uint64_t g) {
  uint64_t row = 0;
  for (int t = 0; t < 6; ++t) {
    if (layout.in_mass_block[t]) row += type_rows_in(layout.types.type[t], part.first_row, g);
  }
  return row;
}

// The groups' types, which of them need a MASS block, and each file's
// share of every type.
bool plan_types(uint64_t total, const written_columns &columns, const particle_groups &groups,
                binary_layout *layout, std::string *why) {
  layout->groups_given = !groups.groups.empty();
  if (layout->groups_given && !groups_are_ordered(groups, total, why)) {
    *why = "its particle groups are not in a file's order: " + *why;
    return false;
  }
  layout->groups = file_groups(groups, total, 0.0);
  layout->types = shares_of(layout->groups);
  layout->dark = dark_count(layout->groups);
  for (int t = 0; t < 6; ++t) {
    const type_share &s = layout->types.type[t];
    const double mass = columns.own_shared_mass ? columns.shared_mass : s.mass;
    layout->in_mass_block[t] = s.present && (columns.row_masses || (layout->groups_given && (!s.one_mass || mass == 0.0)));
  }
  return true;
}

void plan_file_types(binary_layout *layout, const written_columns &columns) {
  layout->mass_block = false;
  for (binary_file_part &part : layout->files) {
    for (int t = 0; t < 6; ++t) {
      part.type_rows[t] = type_rows_in(layout->types.type[t], part.first_row, part.first_row + part.rows);
    }
    part.mass_rows = mass_row(*layout, part, part.first_row + part.rows);
    // Edited masses always had their block, of no row in a file of none.
    part.mass_block = columns.row_masses || part.mass_rows > 0;
    layout->mass_block = layout->mass_block || part.mass_block;
  }
}

}  // namespace

bool plan_binary_layout(uint64_t total, const binary_options &options, binary_layout *layout,
                        std::string *why, const written_columns &columns, const particle_groups &groups) {
  layout->options = options;
  layout->total = total;
  layout->files.clear();
  if (!plan_types(total, columns, groups, layout, why)) return false;
  if (options.format == format_tipsy) {
    layout->value_bytes = 4;
    layout->mass_block = false;
    if (total > static_cast<uint64_t>(INT32_MAX)) {
      *why = "tipsy counts particles in 32-bit integers: at most 2147483647";
      return false;
    }
    layout->files.push_back({0, total});
    return true;
  }
  layout->value_bytes = options.double_precision ? 8 : 4;
  layout->id_bytes = options.long_ids || total >= (uint64_t{1} << 32) || columns.largest_id > UINT32_MAX ? 8 : 4;
  const uint64_t rows_per_file = options.max_record_bytes / row_bytes(*layout, 0);
  if (rows_per_file == 0) {
    *why = "a record of at most " + std::to_string(options.max_record_bytes) + " bytes holds no particle";
    return false;
  }
  const uint64_t files = std::max<uint64_t>(1, (total + rows_per_file - 1) / rows_per_file);
  if (files > static_cast<uint64_t>(INT32_MAX)) {
    *why = "more files than the header can count";
    return false;
  }
  // Equal shares, the first ones a particle larger.
  for (uint64_t k = 0; k < files; ++k) {
    const uint64_t first = k * (total / files) + std::min(k, total % files);
    layout->files.push_back({first, total / files + (k < total % files ? 1 : 0)});
  }
  plan_file_types(layout, columns);
  return true;
}

std::vector<std::string> binary_file_names(const binary_layout &layout, const std::string &name) {
  if (layout.files.size() <= 1) return {name};
  std::vector<std::string> names;
  for (size_t k = 0; k < layout.files.size(); ++k) names.push_back(name + "." + std::to_string(k));
  return names;
}

struct binary_writer {
  binary_layout layout;
  output_frame frame;
  std::vector<positioned_output> outputs;
  written_columns columns;
  double type_mass[6] = {0, 0, 0, 0, 0, 0};  // the mass table, in the frame
  std::vector<double> group_mass;            // each group's particle mass, in the frame
  std::vector<double> pos, vel, masses;
  std::vector<unsigned char> bytes;
  bool overflowed = false;
};

namespace {

bool put(const positioned_output &out, uint64_t offset, const unsigned char *bytes, size_t length) {
  return length == 0 || out.write_at(out.context, offset, bytes, length);
}

// The GADGET header of file k.
std::vector<unsigned char> gadget_header(const binary_writer &w, size_t k, const gal_system *sys,
                                         const std::string &provenance) {
  std::vector<unsigned char> h(gadget_header_bytes, 0);
  const binary_layout &layout = w.layout;
  const byte_order le = little_endian;
  for (int t = 0; t < 6; ++t) {
    const uint64_t total = layout.types.type[t].count;
    store_uint(layout.files[k].type_rows[t], 4, le, &h[4 * t]);  // npart
    store_real(w.type_mass[t], 8, le, &h[24 + 8 * t]);           // massarr
    store_uint(total & 0xffffffffu, 4, le, &h[96 + 4 * t]);      // npartTotal
    store_uint(total >> 32, 4, le, &h[168 + 4 * t]);             // npartTotalHighWord
  }
  store_uint(layout.files.size(), 4, le, &h[124]);                        // num_files
  store_real(box_size(sys->radius_max, w.frame), 8, le, &h[128]);                     // BoxSize
  // Omega0 and OmegaLambda stay 0 (no cosmology); HubbleParam is 1, which
  // changes nothing for a reader that divides by it.
  store_real(1.0, 8, le, &h[152]);                                                    // HubbleParam
  std::memcpy(&h[196], provenance.data(), std::min<size_t>(provenance.size(), 60));  // fill
  return h;
}

// A format 2 label record: 8, the label, the size of the record after it, 8.
void put_label(unsigned char *at, const char *label, uint64_t next) {
  store_uint(8, 4, little_endian, at);
  std::memcpy(at + 4, label, 4);
  store_uint(next, 4, little_endian, at + 8);
  store_uint(8, 4, little_endian, at + 12);
}

bool write_gadget_frames(const binary_writer &w, size_t k, const gal_system *sys, const std::string &provenance) {
  const binary_layout &layout = w.layout;
  const binary_file_part &part = layout.files[k];
  const uint64_t label = label_bytes(layout);
  const positioned_output &out = w.outputs[k];
  std::vector<unsigned char> head(label + 8 + gadget_header_bytes);
  if (label > 0) put_label(head.data(), "HEAD", gadget_header_bytes + 8);
  store_uint(gadget_header_bytes, 4, little_endian, &head[label]);
  const std::vector<unsigned char> header = gadget_header(w, k, sys, provenance);
  std::memcpy(&head[label + 4], header.data(), header.size());
  store_uint(gadget_header_bytes, 4, little_endian, &head[label + 4 + gadget_header_bytes]);
  if (!put(out, 0, head.data(), head.size())) return false;
  for (int b = 0; b < gadget_blocks(part); ++b) {
    const uint64_t size = block_rows(part, b) * row_bytes(layout, b), start = block_start(layout, part, b);
    unsigned char lead[20], trail[4];
    if (label > 0) put_label(lead, block_labels[b], size + 8);
    store_uint(size, 4, little_endian, lead + label);
    store_uint(size, 4, little_endian, trail);
    if (!put(out, start, lead, label + 4) || !put(out, start + label + 4 + size, trail, 4)) return false;
  }
  return true;
}

bool write_tipsy_header(const binary_writer &w) {
  unsigned char h[tipsy_header_bytes] = {};
  const byte_order be = big_endian;
  store_real(0.0, 8, be, h);                // time
  store_uint(w.layout.total, 4, be, h + 8);  // nbodies
  store_uint(3, 4, be, h + 12);              // ndim
  store_uint(w.layout.dark, 4, be, h + 20);  // ndark
  store_uint(w.layout.total - w.layout.dark, 4, be, h + 24);  // nstar
  return put(w.outputs[0], 0, h, sizeof h);
}

// Stores value in the file's precision; false when float32 cannot hold it.
bool store_value(binary_writer *w, double value, byte_order order, unsigned char *out) {
  if (w->layout.value_bytes == 4 && std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    w->overflowed = true;
    return false;
  }
  store_real(value, w->layout.value_bytes, order, out);
  return true;
}

// The masses of global rows [g, g + n) of GADGET file k that its MASS block
// holds (mass[i] the mass of row g + i), at their rows of the block.
bool write_mass_rows(binary_writer *w, size_t k, uint64_t g, size_t n, const double *mass) {
  const binary_layout &layout = w->layout;
  const binary_file_part &part = layout.files[k];
  const uint64_t vb = static_cast<uint64_t>(layout.value_bytes);
  for (int t = 0; t < 6; ++t) {
    const type_share &share = layout.types.type[t];
    const uint64_t begin = std::max(g, share.first), end = std::min(g + n, share.first + share.count);
    if (!layout.in_mass_block[t] || begin >= end) continue;
    w->bytes.resize(static_cast<size_t>((end - begin) * vb));
    for (uint64_t i = begin; i < end; ++i) {
      if (!store_value(w, mass[i - g], little_endian, &w->bytes[static_cast<size_t>((i - begin) * vb)])) return false;
    }
    const uint64_t at = data_offset(layout, part, mass_block) + mass_row(layout, part, begin) * vb;
    if (!put(w->outputs[k], at, w->bytes.data(), w->bytes.size())) return false;
  }
  return true;
}

// Global rows [g, g + n) of GADGET file k, converted values at pos, vel and
// mass, IDs at ids (null: g + 1, ...).
bool write_gadget_slice(binary_writer *w, size_t k, uint64_t g, size_t n, const double *pos,
                        const double *vel, const double *mass, const uint64_t *ids) {
  const binary_layout &layout = w->layout;
  const binary_file_part &part = layout.files[k];
  const int vb = layout.value_bytes;
  for (int b = 0; b < 3; ++b) {
    const uint64_t per_row = row_bytes(layout, b);
    w->bytes.resize(n * per_row);
    unsigned char *p = w->bytes.data();
    for (size_t i = 0; i < n; ++i, p += per_row) {
      if (b == id_block) {
        store_uint(ids != nullptr ? ids[i] : g + i + 1, layout.id_bytes, little_endian, p);  // from 1: codes reserve 0
        continue;
      }
      const double *values = (b == 0 ? pos : vel) + 3 * i;
      for (int c = 0; c < 3; ++c) {
        if (!store_value(w, values[c], little_endian, p + c * vb)) return false;
      }
    }
    const uint64_t at = data_offset(layout, part, b) + (g - part.first_row) * per_row;
    if (!put(w->outputs[k], at, w->bytes.data(), w->bytes.size())) return false;
  }
  return !part.mass_block || write_mass_rows(w, k, g, n, mass);
}

// Where tipsy's row of global index g starts: the dark rows, then the stars.
uint64_t tipsy_offset(const binary_layout &layout, uint64_t g) {
  const uint64_t dark = std::min(g, layout.dark);
  return tipsy_header_bytes + dark * tipsy_dark_bytes + (g - dark) * tipsy_star_bytes;
}

// One tipsy row: mass, pos, vel, then a dark particle's eps, phi or a
// star's metals, tform, eps, phi (all 0 but eps).
bool store_tipsy_row(binary_writer *w, bool star, double mass, const double *pos, const double *vel,
                     unsigned char *p) {
  bool ok = store_value(w, mass, big_endian, p);
  for (int c = 0; c < 3; ++c) {
    ok = ok && store_value(w, pos[c], big_endian, p + 4 + 4 * c) && store_value(w, vel[c], big_endian, p + 16 + 4 * c);
  }
  return ok && store_value(w, w->layout.options.softening, big_endian, p + (star ? 36 : 28));
}

bool write_tipsy_slice(binary_writer *w, uint64_t g, size_t n) {
  const binary_layout &layout = w->layout;
  const uint64_t end = g + n;
  w->bytes.assign(static_cast<size_t>(tipsy_offset(layout, end) - tipsy_offset(layout, g)), 0);
  const bool row_masses = w->columns.row_masses;
  size_t group = static_cast<size_t>(&group_of(layout.groups, g) - layout.groups.groups.data());
  unsigned char *p = w->bytes.data();
  for (uint64_t i = g; i < end; ++i) {
    const particle_group *owner = &layout.groups.groups[group];
    while (i >= owner->first + owner->count) owner = &layout.groups.groups[++group];
    const size_t r = static_cast<size_t>(i - g);
    const bool star = i >= layout.dark;
    const double mass = row_masses ? w->masses[r] : w->group_mass[group];
    if (!store_tipsy_row(w, star, mass, &w->pos[3 * r], &w->vel[3 * r], p)) return false;
    p += star ? tipsy_star_bytes : tipsy_dark_bytes;
  }
  return put(w->outputs[0], tipsy_offset(layout, g), w->bytes.data(), w->bytes.size());
}

}  // namespace

binary_writer *open_binary_writer(const binary_layout &layout, const gal_system *sys,
                                  const output_frame &frame, const std::vector<positioned_output> &outputs,
                                  bool with_headers, const std::string &provenance,
                                  const written_columns &columns) {
  std::unique_ptr<binary_writer> w(new binary_writer);
  w->layout = layout;
  w->frame = frame;
  w->outputs = outputs;
  w->columns = columns;
  binary_layout &own = w->layout;
  if (!own.groups_given && !own.groups.groups.empty()) {
    own.groups.groups[0].mass = own.types.type[1].mass = sys->mass_element;
  }
  for (const particle_group &g : own.groups.groups) {
    w->group_mass.push_back(one_mass(columns, g.mass / frame.scale.mass));
  }
  // With no particle the record's mass is M / 0: no mass is the honest
  // entry.
  for (int t = 0; t < 6; ++t) {
    const type_share &s = own.types.type[t];
    if (s.count > 0 && !own.in_mass_block[t]) w->type_mass[t] = one_mass(columns, s.mass / frame.scale.mass);
  }
  if (!with_headers) return w.release();
  if (!is_gadget(layout)) return write_tipsy_header(*w) ? w.release() : nullptr;
  for (size_t k = 0; k < layout.files.size(); ++k) {
    if (!write_gadget_frames(*w, k, sys, provenance)) return nullptr;
  }
  return w.release();
}

bool write_binary_rows(binary_writer *w, const gal_system *sys, int32_t first, int32_t last,
                       uint64_t offset) {
  if (last <= first) return true;
  const size_t n = static_cast<size_t>(last - first), at = 3 * static_cast<size_t>(first);
  w->pos.resize(3 * n);
  w->vel.resize(3 * n);
  const output_frame &f = w->frame;
  written_positions(f, sys->pos + at, n, w->pos.data());
  written_velocities(f, sys->vel + at, n, w->vel.data());
  if (w->columns.row_masses || w->layout.mass_block) {
    const double *mass = sys->mass + first;
    const double unit = f.values_converted ? 1.0 : f.scale.mass;
    w->masses.resize(n);
    for (size_t i = 0; i < n; ++i) w->masses[i] = mass[i] / unit;
  }
  const uint64_t g0 = offset + static_cast<uint64_t>(first);
  if (!is_gadget(w->layout)) return write_tipsy_slice(w, g0, n);
  // The slice may straddle files of a split.
  for (size_t k = 0; k < w->layout.files.size(); ++k) {
    const binary_file_part &part = w->layout.files[k];
    const uint64_t begin = std::max(g0, part.first_row), end = std::min(g0 + n, part.first_row + part.rows);
    if (begin >= end) continue;
    const size_t row = static_cast<size_t>(begin - g0), skip = 3 * row;
    const uint64_t *ids = w->columns.ids != nullptr ? w->columns.ids + first + row : nullptr;
    if (!write_gadget_slice(w, k, begin, static_cast<size_t>(end - begin), w->pos.data() + skip,
                            w->vel.data() + skip, w->masses.data() + (w->masses.empty() ? 0 : row), ids)) {
      return false;
    }
  }
  return true;
}

bool binary_value_overflowed(const binary_writer *writer) { return writer->overflowed; }

void close_binary_writer(binary_writer *writer) { delete writer; }

namespace {

bool pwrite_all(void *context, uint64_t offset, const void *bytes, size_t length) {
  const int fd = fileno(static_cast<std::FILE *>(context));
  const char *p = static_cast<const char *>(bytes);
  while (length > 0) {
    const ssize_t done = pwrite(fd, p, length, static_cast<off_t>(offset));
    if (done <= 0) return false;
    p += done;
    offset += static_cast<uint64_t>(done);
    length -= static_cast<size_t>(done);
  }
  return true;
}

}  // namespace

positioned_output file_output(std::FILE *file) { return {file, pwrite_all}; }

bool parse_binary_format(const char *text, binary_format *format) {
  for (binary_format f : {format_gadget1, format_gadget2, format_tipsy}) {
    if (std::strcmp(text, binary_format_name(f)) == 0) {
      *format = f;
      return true;
    }
  }
  return false;
}

const char *binary_format_name(binary_format format) {
  switch (format) {
    case format_gadget1: return "gadget1";
    case format_gadget2: return "gadget2";
    case format_tipsy: return "tipsy";
  }
  return "";
}
