#include "binary_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "byte_order.h"

namespace {

constexpr uint64_t gadget_header_bytes = 256;
constexpr uint64_t tipsy_header_bytes = 32, tipsy_row_bytes = 36;

// One file of a set: where its rows' values lie.
struct file_part {
  std::FILE *file = nullptr;
  uint64_t rows = 0;
  uint64_t pos_at = 0, vel_at = 0, mass_at = 0;  // mass_at 0: the mass table's
};

// A GADGET file's records as found: the data offset and size of each block.
struct gadget_blocks {
  uint64_t at[5] = {0, 0, 0, 0, 0}, size[5] = {0, 0, 0, 0, 0};
  bool found[5] = {false, false, false, false, false};
};
enum { head_block, pos_block, vel_block, id_block, mass_block };
const char *const gadget_labels[5] = {"HEAD", "POS ", "VEL ", "ID  ", "MASS"};

bool read_at(std::FILE *file, uint64_t offset, void *bytes, size_t length) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(bytes, 1, length, file) == length;
}

uint64_t file_size(std::FILE *file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint32_t le32(const unsigned char *p) { return static_cast<uint32_t>(load_uint(p, 4, little_endian)); }

int block_index(const char *label) {
  for (int b = 0; b < 5; ++b) {
    if (std::memcmp(label, gadget_labels[b], 4) == 0) return b;
  }
  return -1;
}

// Walks the records of a GADGET file, checking that each is framed by equal
// lengths; format 1's blocks are known by their order, format 2's by label.
bool scan_gadget(std::FILE *file, bool labelled, gadget_blocks *blocks, std::string *why) {
  const uint64_t size = file_size(file);
  uint64_t at = 0;
  for (int order = 0; at < size; ++order) {
    int b = order < 5 ? order : -1;
    if (labelled) {
      unsigned char label[16];
      if (!read_at(file, at, label, 16) || le32(label) != 8 || le32(label + 12) != 8) {
        *why = "a format 2 label record at byte " + std::to_string(at);
        return false;
      }
      b = block_index(reinterpret_cast<const char *>(label + 4));
      at += 16;
    }
    unsigned char lead[4], trail[4];
    if (!read_at(file, at, lead, 4) || at + 8 + le32(lead) > size || !read_at(file, at + 4 + le32(lead), trail, 4) ||
        le32(trail) != le32(lead)) {
      *why = "a record at byte " + std::to_string(at) + " framed by two equal lengths";
      return false;
    }
    if (b >= 0 && !blocks->found[b]) {
      blocks->found[b] = true;
      blocks->at[b] = at + 4;
      blocks->size[b] = le32(lead);
    }
    at += 8 + le32(lead);
  }
  if (!blocks->found[head_block] || blocks->size[head_block] != gadget_header_bytes || !blocks->found[pos_block] ||
      !blocks->found[vel_block] || !blocks->found[id_block]) {
    *why = "a 256-byte header and blocks of positions, velocities and IDs";
    return false;
  }
  return true;
}

struct gadget_header {
  int32_t npart[6];
  double massarr[6];
  uint32_t total[6], high[6];
  int32_t num_files;
};

gadget_header parse_header(const unsigned char *h) {
  gadget_header g{};
  for (int t = 0; t < 6; ++t) {
    g.npart[t] = static_cast<int32_t>(le32(h + 4 * t));
    g.massarr[t] = load_real(h + 24 + 8 * t, 8, little_endian);
    g.total[t] = le32(h + 96 + 4 * t);
    g.high[t] = le32(h + 168 + 4 * t);
  }
  g.num_files = static_cast<int32_t>(le32(h + 124));
  return g;
}

}  // namespace

struct binary_particle_reader {
  binary_format format = format_gadget2;
  std::vector<file_part> parts;
  int value_bytes = 4, id_bytes = 4;
  double table_mass = 0.0;
  uint64_t rows = 0;
  size_t part = 0;
  uint64_t row_in_part = 0;
  std::vector<std::string> disagreements;
  std::vector<unsigned char> buffer;
  ~binary_particle_reader() {
    for (file_part &p : parts) {
      if (p.file != nullptr) std::fclose(p.file);
    }
  }
};

bool detect_binary_format(const unsigned char *head, size_t length, uint64_t size, binary_format *format) {
  if (length >= 8 && le32(head) == 8 && std::memcmp(head + 4, "HEAD", 4) == 0) {
    *format = format_gadget2;
    return true;
  }
  if (length >= 4 && le32(head) == gadget_header_bytes) {
    *format = format_gadget1;
    return true;
  }
  const uint64_t ndim = length >= 16 ? load_uint(head + 12, 4, big_endian) : 0;
  if (ndim >= 1 && ndim <= 3 && size >= tipsy_header_bytes && (size - tipsy_header_bytes) % tipsy_row_bytes == 0) {
    *format = format_tipsy;
    return true;
  }
  return false;
}

namespace {

// The particle count and widths that GADGET blocks of these sizes hold:
// the header's count when it fits them, else the first that does.
bool solve_widths(const gadget_blocks &b, uint64_t npart, uint64_t *rows, int *value_bytes, int *id_bytes) {
  bool found = false;
  for (int vb : {4, 8}) {
    for (int ib : {4, 8}) {
      if (b.size[pos_block] % (3 * vb) != 0 || b.size[vel_block] != b.size[pos_block]) continue;
      const uint64_t n = b.size[pos_block] / (3 * vb);
      if (b.size[id_block] != n * ib) continue;
      if (!found || n == npart) {
        *rows = n;
        *value_bytes = vb;
        *id_bytes = ib;
        if (n == npart) return true;
        found = true;
      }
    }
  }
  return found;
}

std::string say(const char *what, uint64_t says, uint64_t holds) {
  return std::string(what) + " says " + std::to_string(says) + ", the data holds " + std::to_string(holds);
}

// Opens one file of a GADGET set and appends it to the reader's parts.
bool add_gadget_file(binary_particle_reader *r, const std::string &path, gadget_header *header,
                     read_error *error) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error->what = "a readable file " + path + " (" + std::strerror(errno) + ")";
    return false;
  }
  r->parts.push_back({file, 0, 0, 0, 0});
  gadget_blocks b;
  std::string why;
  if (!scan_gadget(file, r->format == format_gadget2, &b, &why)) {
    error->what = "a " + std::string(binary_format_name(r->format)) + " file: " + path + " lacks " + why;
    return false;
  }
  unsigned char h[gadget_header_bytes];
  if (!read_at(file, b.at[head_block], h, sizeof h)) return false;
  *header = parse_header(h);
  for (int t = 0; t < 6; ++t) {
    if (t != 1 && (header->npart[t] != 0 || header->total[t] != 0 || header->high[t] != 0)) {
      error->what = "particles of type 1 only, not of type " + std::to_string(t) + " (" + path + ")";
      return false;
    }
  }
  file_part &part = r->parts.back();
  const uint64_t npart = static_cast<uint32_t>(header->npart[1]);
  int vb = 4, ib = 4;
  if (!solve_widths(b, npart, &part.rows, &vb, &ib) || (r->parts.size() > 1 && (vb != r->value_bytes || ib != r->id_bytes))) {
    error->what = "blocks of positions, velocities and IDs that hold one count of particles (" + path + ")";
    return false;
  }
  r->value_bytes = vb;
  r->id_bytes = ib;
  if (part.rows != npart) r->disagreements.push_back(say(("npart[1] of " + path).c_str(), npart, part.rows));
  part.pos_at = b.at[pos_block];
  part.vel_at = b.at[vel_block];
  if (header->massarr[1] == 0.0 && part.rows > 0) {
    if (!b.found[mass_block] || b.size[mass_block] != part.rows * static_cast<uint64_t>(vb)) {
      error->what = "a mass block of " + std::to_string(part.rows) + " values, as the mass table holds 0 (" + path + ")";
      return false;
    }
    part.mass_at = b.at[mass_block];
  } else if (b.found[mass_block]) {
    r->disagreements.push_back("the mass table holds the mass of type 1, yet a mass block follows too");
  }
  return true;
}

bool begin_gadget(binary_particle_reader *r, const std::string &path, read_error *error) {
  gadget_header first;
  if (!add_gadget_file(r, path, &first, error)) return false;
  r->table_mass = first.massarr[1];
  const int32_t files = first.num_files;
  const bool numbered = path.size() > 2 && path.compare(path.size() - 2, 2, ".0") == 0;
  if (files > 1 && !numbered) {
    error->what = "the first of the " + std::to_string(files) + " files its header counts, named FILE.0";
    return false;
  }
  if (files < 1) r->disagreements.push_back("num_files says " + std::to_string(files) + ", not 1");
  for (int32_t k = 1; k < files; ++k) {
    gadget_header other;
    if (!add_gadget_file(r, path.substr(0, path.size() - 1) + std::to_string(k), &other, error)) return false;
    if (other.num_files != files) {
      r->disagreements.push_back("num_files of file " + std::to_string(k) + " says " +
                                 std::to_string(other.num_files) + ", file 0's " + std::to_string(files));
    }
    if (other.total[1] != first.total[1] || other.high[1] != first.high[1] || other.massarr[1] != first.massarr[1]) {
      r->disagreements.push_back("file " + std::to_string(k) + "'s header differs from file 0's in its totals or mass table");
    }
  }
  for (const file_part &part : r->parts) r->rows += part.rows;
  const uint64_t total = (static_cast<uint64_t>(first.high[1]) << 32) | first.total[1];
  if (total != r->rows) r->disagreements.push_back(say("npartTotal[1] (with its high word)", total, r->rows));
  return true;
}

bool begin_tipsy(binary_particle_reader *r, const std::string &path, read_error *error) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error->what = "a readable file (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  r->parts.push_back({file, 0, 0, 0, 0});
  unsigned char h[tipsy_header_bytes];
  const uint64_t size = file_size(file);
  if (size < tipsy_header_bytes || !read_at(file, 0, h, sizeof h) || (size - tipsy_header_bytes) % tipsy_row_bytes != 0) {
    error->what = "a tipsy file: a 32-byte header and 36-byte dark-matter particles";
    return false;
  }
  const uint64_t nbodies = load_uint(h + 8, 4, big_endian), ndim = load_uint(h + 12, 4, big_endian);
  const uint64_t nsph = load_uint(h + 16, 4, big_endian), ndark = load_uint(h + 20, 4, big_endian);
  const uint64_t nstar = load_uint(h + 24, 4, big_endian);
  if (nsph != 0 || nstar != 0) {
    error->what = "a tipsy file of dark-matter particles only";
    return false;
  }
  file_part &part = r->parts.back();
  part.rows = r->rows = (size - tipsy_header_bytes) / tipsy_row_bytes;
  if (ndark != part.rows) r->disagreements.push_back(say("ndark", ndark, part.rows));
  if (nbodies != part.rows) r->disagreements.push_back(say("nbodies", nbodies, part.rows));
  if (ndim != 3) r->disagreements.push_back("ndim says " + std::to_string(ndim) + ", not 3");
  return true;
}

}  // namespace

binary_particle_reader *begin_binary_read(const std::string &path, binary_format format, read_error *error) {
  error->line = 0;
  std::unique_ptr<binary_particle_reader> r(new binary_particle_reader);
  r->format = format;
  const bool ok = format == format_tipsy ? begin_tipsy(r.get(), path, error) : begin_gadget(r.get(), path, error);
  return ok ? r.release() : nullptr;
}

void end_binary_read(binary_particle_reader *reader) { delete reader; }

uint64_t binary_row_count(const binary_particle_reader *reader) { return reader->rows; }

int binary_value_bytes(const binary_particle_reader *reader) { return reader->value_bytes; }

namespace {

// count rows of triples (or singles) at offset, appended to values.
bool read_values(binary_particle_reader *r, std::FILE *file, uint64_t offset, size_t count, int per_row,
                 std::vector<double> *values) {
  const int vb = r->value_bytes;
  r->buffer.resize(count * static_cast<size_t>(per_row * vb));
  if (count > 0 && !read_at(file, offset, r->buffer.data(), r->buffer.size())) return false;
  for (size_t i = 0; i < count * static_cast<size_t>(per_row); ++i) {
    values->push_back(load_real(&r->buffer[i * static_cast<size_t>(vb)], vb, little_endian));
  }
  return true;
}

bool read_tipsy_rows(binary_particle_reader *r, const file_part &part, uint64_t first, size_t count,
                     particle_data *data) {
  r->buffer.resize(count * tipsy_row_bytes);
  if (count > 0 && !read_at(part.file, tipsy_header_bytes + first * tipsy_row_bytes, r->buffer.data(), r->buffer.size())) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const unsigned char *p = &r->buffer[i * tipsy_row_bytes];
    data->mass.push_back(load_real(p, 4, big_endian));
    for (int c = 0; c < 3; ++c) data->pos.push_back(load_real(p + 4 + 4 * c, 4, big_endian));
    for (int c = 0; c < 3; ++c) data->vel.push_back(load_real(p + 16 + 4 * c, 4, big_endian));
  }
  return true;
}

}  // namespace

read_status read_binary_chunk(binary_particle_reader *r, particle_data *data, size_t capacity, read_error *error) {
  while (r->part < r->parts.size() && r->row_in_part == r->parts[r->part].rows) {
    ++r->part;
    r->row_in_part = 0;
  }
  if (r->part == r->parts.size()) return read_done;
  const file_part &part = r->parts[r->part];
  const uint64_t first = r->row_in_part;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(capacity, part.rows - first));
  bool ok = true;
  if (r->format == format_tipsy) {
    ok = read_tipsy_rows(r, part, first, count, data);
  } else {
    const uint64_t triple = 3 * static_cast<uint64_t>(r->value_bytes);
    ok = read_values(r, part.file, part.pos_at + first * triple, count, 3, &data->pos) &&
         read_values(r, part.file, part.vel_at + first * triple, count, 3, &data->vel);
    if (ok && part.mass_at != 0) {
      ok = read_values(r, part.file, part.mass_at + first * static_cast<uint64_t>(r->value_bytes), count, 1, &data->mass);
    } else if (ok) {
      data->mass.insert(data->mass.end(), count, r->table_mass);
    }
  }
  if (!ok) {
    error->line = 0;
    error->what = "blocks the file holds whole (a truncated or damaged file?)";
    return read_failed;
  }
  data->nb_element += static_cast<int64_t>(count);
  r->row_in_part += count;
  const bool last = r->part + 1 == r->parts.size() && r->row_in_part == part.rows;
  return last ? read_done : read_more;
}

std::vector<std::string> binary_header_disagreements(const binary_particle_reader *reader) {
  return reader->disagreements;
}

std::string binary_layout_description(const binary_particle_reader *reader) {
  std::string text = binary_format_name(reader->format);
  text += reader->value_bytes == 4 ? ", float32" : ", float64";
  if (reader->format != format_tipsy) {
    text += reader->id_bytes == 4 ? ", 32-bit IDs" : ", 64-bit IDs";
    if (reader->parts.size() > 1) text += ", " + std::to_string(reader->parts.size()) + " files";
  }
  return text;
}
