#include "binary_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "byte_order.h"

namespace {

constexpr uint64_t gadget_header_bytes = 256;
constexpr uint64_t tipsy_header_bytes = 32, tipsy_row_bytes = 36, tipsy_star_bytes = 44, tipsy_gas_bytes = 48;

// One file of a set: where its rows' values lie, and of which type each is
// (its rows in type order: type_rows[1] of type 1, then type 2's ...).
struct file_part {
  std::FILE *file = nullptr;
  uint64_t rows = 0;
  uint64_t pos_at = 0, vel_at = 0, id_at = 0, mass_at = 0;  // mass_at 0: no mass block
  uint64_t type_rows[6] = {0, 0, 0, 0, 0, 0};
  double massarr[6] = {0, 0, 0, 0, 0, 0};  // GADGET: a type's masses are in the block when 0
};

// A GADGET file's records as found: the data offset and size of each block,
// and the records readers skip.
struct gadget_blocks {
  uint64_t at[5] = {0, 0, 0, 0, 0}, size[5] = {0, 0, 0, 0, 0};
  bool found[5] = {false, false, false, false, false};
  std::vector<std::string> skipped;
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
uint32_t be32(const unsigned char *p) { return static_cast<uint32_t>(load_uint(p, 4, big_endian)); }

int block_index(const unsigned char *label) {
  for (int b = 0; b < 5; ++b) {
    if (std::memcmp(label, gadget_labels[b], 4) == 0) return b;
  }
  return -1;
}

// A label as text, whatever its bytes.
std::string label_text(const unsigned char *label) {
  std::string text(reinterpret_cast<const char *>(label), 4);
  for (char &c : text) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return "\"" + text + "\"";
}

// Format 2's label record: 8, the label, the bytes of the record after it
// (its data and two lengths), 8. The codes skip blocks by that size.
bool read_label(std::FILE *file, uint64_t at, unsigned char label[4], uint64_t *next, std::string *why) {
  unsigned char record[16];
  if (!read_at(file, at, record, 16) || le32(record) != 8 || le32(record + 12) != 8) {
    *why = "a format 2 label record at byte " + std::to_string(at);
    return false;
  }
  std::memcpy(label, record + 4, 4);
  *next = le32(record + 8);
  return true;
}

// Walks the records of a GADGET file, checking that each is framed by equal
// lengths and that format 2's labels size them; format 1's blocks are known
// by their order, format 2's by label. Format 1's fifth record is left to
// the caller (a mass block, or one the codes skip).
bool scan_gadget(std::FILE *file, bool labelled, gadget_blocks *blocks, std::string *why) {
  const uint64_t size = file_size(file);
  uint64_t at = 0;
  for (int order = 0; at < size; ++order) {
    int b = order < 5 ? order : -1;
    unsigned char label[4] = {0, 0, 0, 0};
    uint64_t labelled_size = 0;
    const uint64_t record_at = at;
    if (labelled) {
      if (!read_label(file, at, label, &labelled_size, why)) return false;
      b = block_index(label);
      at += 16;
    }
    unsigned char lead[4], trail[4];
    if (!read_at(file, at, lead, 4) || at + 8 + le32(lead) > size || !read_at(file, at + 4 + le32(lead), trail, 4) ||
        le32(trail) != le32(lead)) {
      *why = "a record at byte " + std::to_string(at) + " framed by two equal lengths";
      return false;
    }
    if (labelled && labelled_size != le32(lead) + uint64_t{8}) {
      *why = "a label at byte " + std::to_string(record_at) + " that sizes the record after it (it says " +
             std::to_string(labelled_size) + ", the record takes " + std::to_string(le32(lead) + uint64_t{8}) +
             " bytes)";
      return false;
    }
    if (b >= 0 && !blocks->found[b]) {
      blocks->found[b] = true;
      blocks->at[b] = at + 4;
      blocks->size[b] = le32(lead);
    } else {
      blocks->skipped.push_back((labelled ? "a block labelled " + label_text(label) : "a record") + " of " +
                                std::to_string(le32(lead)) + " bytes at byte " + std::to_string(record_at));
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
  double time, redshift, box, omega0, omega_lambda, hubble;
};

gadget_header parse_header(const unsigned char *h) {
  gadget_header g{};
  for (int t = 0; t < 6; ++t) {
    g.npart[t] = static_cast<int32_t>(le32(h + 4 * t));
    g.massarr[t] = load_real(h + 24 + 8 * t, 8, little_endian);
    g.total[t] = le32(h + 96 + 4 * t);
    g.high[t] = le32(h + 168 + 4 * t);
  }
  g.time = load_real(h + 72, 8, little_endian);
  g.redshift = load_real(h + 80, 8, little_endian);
  g.num_files = static_cast<int32_t>(le32(h + 124));
  g.box = load_real(h + 128, 8, little_endian);
  g.omega0 = load_real(h + 136, 8, little_endian);
  g.omega_lambda = load_real(h + 144, 8, little_endian);
  g.hubble = load_real(h + 152, 8, little_endian);
  return g;
}

}  // namespace

struct binary_particle_reader {
  binary_format format = format_gadget2;
  std::vector<file_part> parts;
  int value_bytes = 4, id_bytes = 4;
  double box = 0.0;
  uint64_t rows = 0;
  size_t part = 0;
  uint64_t row_in_part = 0;
  std::vector<std::string> disagreements, skipped;
  // tipsy: the softenings read so far.
  uint64_t bad_softening = 0;
  double least_softening = HUGE_VAL, largest_softening = -HUGE_VAL;
  std::vector<unsigned char> buffer;
  ~binary_particle_reader() {
    for (file_part &p : parts) {
      if (p.file != nullptr) std::fclose(p.file);
    }
  }
};

namespace {

// Whether a tipsy header's counts of gas, dark and star particles take
// the file's size; damaged: or do with ndark or nstar taken from nbodies
// (the one field damaged).
bool tipsy_sized(const unsigned char *head, size_t length, uint64_t size, bool damaged) {
  if (length < 28) return false;
  const uint64_t nbodies = be32(head + 8), nsph = be32(head + 16), ndark = be32(head + 20), nstar = be32(head + 24);
  const auto takes = [&](uint64_t dark, uint64_t stars) {
    return size == tipsy_header_bytes + tipsy_gas_bytes * nsph + tipsy_row_bytes * dark + tipsy_star_bytes * stars;
  };
  if (takes(ndark, nstar)) return true;
  return damaged && nbodies >= nsph && (takes(nbodies - nsph - std::min(nbodies - nsph, nstar), nstar) ||
                                        takes(ndark, nbodies - nsph - std::min(nbodies - nsph, ndark)));
}

}  // namespace

bool detect_binary_format(const unsigned char *head, size_t length, uint64_t size, binary_format *format) {
  if (length >= 8 && le32(head) == 8 && std::memcmp(head + 4, "HEAD", 4) == 0) {
    *format = format_gadget2;
    return true;
  }
  if (length >= 4 && le32(head) == gadget_header_bytes) {
    *format = format_gadget1;
    return true;
  }
  // tipsy: 36-byte dark particles only, or the size its counts of gas,
  // dark and star particles take.
  const bool dark_size = size >= tipsy_header_bytes && (size - tipsy_header_bytes) % tipsy_row_bytes == 0;
  const bool tipsy_size = dark_size || tipsy_sized(head, length, size, false);
  const uint64_t ndim = length >= 16 ? be32(head + 12) : 0;
  if (ndim >= 1 && ndim <= 3 && tipsy_size) {
    *format = format_tipsy;
    return true;
  }
  // A file damaged in one field of its first record is still that format's:
  // the fields around it say so. A text file starts with "[".
  if (length < 16 || head[0] == '[') return false;
  const int label_fields = (le32(head) == 8) + (std::memcmp(head + 4, "HEAD", 4) == 0) +
                           (le32(head + 8) == gadget_header_bytes + 8) + (le32(head + 12) == 8);
  if (label_fields >= 2) {
    *format = format_gadget2;
    return true;
  }
  if (length >= gadget_header_bytes + 8 && le32(head + 4 + gadget_header_bytes) == gadget_header_bytes) {
    *format = format_gadget1;
    return true;
  }
  const uint64_t rows = dark_size ? (size - tipsy_header_bytes) / tipsy_row_bytes : 0;
  if ((dark_size && length >= 24 && (be32(head + 8) == rows || be32(head + 20) == rows)) ||
      tipsy_sized(head, length, size, true)) {
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

std::string say(const std::string &what, uint64_t says, uint64_t holds) {
  return what + " says " + std::to_string(says) + ", the data holds " + std::to_string(holds);
}

// A header value in words when it is no number, else its shortest digits.
std::string value_text(double value) {
  if (std::isnan(value)) return "not a number";
  if (std::isinf(value)) return value > 0 ? "infinity" : "minus infinity";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// What readers do with the header's scalars: initial conditions of an
// isolated galaxy start at time 0, redshift 0, no cosmology; h = 1 is the
// value that changes nothing for a reader that applies it (it divides by
// it). BoxSize is held against the particles once they are read.
void judge_header_fields(const gadget_header &g, const std::string &which, std::vector<std::string> *out) {
  const struct {
    const char *name;
    double value, expected;
    const char *why;
  } fields[] = {{"time", g.time, 0.0, "initial conditions start at 0"},
                {"redshift", g.redshift, 0.0, "an isolated galaxy has none"},
                {"Omega0", g.omega0, 0.0, "a reader would turn cosmology on"},
                {"OmegaLambda", g.omega_lambda, 0.0, "a reader would turn cosmology on"},
                {"HubbleParam", g.hubble, 1.0, "readers that apply h divide lengths and masses by it"}};
  for (const auto &f : fields) {
    if (!(f.value == f.expected)) {
      out->push_back(which + f.name + " says " + value_text(f.value) + ", not " + value_text(f.expected) + ": " +
                     f.why);
    }
  }
}

// The types of a file's rows as its header counts them (npart[1] … [5],
// in that order); rows the counts do not cover are the last counted
// type's (type 1 when none is), counts beyond the rows are cut from the
// end. The header line says when the counts and the data disagree.
void attribute_types(const gadget_header &header, uint64_t rows, uint64_t type_rows[6]) {
  uint64_t counted = 0;
  int last = 1;
  for (int t = 1; t < 6; ++t) {
    type_rows[t] = header.npart[t] > 0 ? static_cast<uint64_t>(header.npart[t]) : 0;
    counted += type_rows[t];
    if (type_rows[t] > 0) last = t;
  }
  if (counted < rows) type_rows[last] += rows - counted;
  for (int t = 5; t >= 1 && counted > rows; --t) {
    const uint64_t cut = std::min(type_rows[t], counted - rows);
    type_rows[t] -= cut;
    counted -= cut;
  }
}

// What the header's npart say of a file of rows particles, when it
// disagrees: "npart[1] of FILE says ..." (several types: their sum).
void judge_counts(const gadget_header &header, uint64_t rows, const std::string &path, std::vector<std::string> *out) {
  std::string names;
  int64_t sum = 0;
  for (int t = 1; t < 6; ++t) {
    if (header.npart[t] == 0) continue;
    names += (names.empty() ? "npart[" : " + npart[") + std::to_string(t) + "]";
    sum += header.npart[t];
  }
  if (sum == static_cast<int64_t>(rows)) return;
  if (names.empty()) names = "npart[1]";
  out->push_back(names + " of " + path + " says " + std::to_string(sum) + ", the data holds " + std::to_string(rows));
}

// Where the mass of each particle is: its type's in the table, or a mass
// block of the particles of every type whose table entry is 0, in file
// order (format 2's labelled MASS, format 1's record after the IDs).
bool locate_masses(binary_particle_reader *r, const gadget_blocks &b, const std::string &path,
                   std::vector<std::string> *skipped, read_error *error) {
  file_part &part = r->parts.back();
  const bool labelled = r->format == format_gadget2;
  uint64_t in_block = 0;
  for (int t = 1; t < 6; ++t) in_block += part.massarr[t] == 0.0 ? part.type_rows[t] : 0;
  if (in_block > 0) {
    if (!b.found[mass_block] || b.size[mass_block] != in_block * static_cast<uint64_t>(r->value_bytes)) {
      error->what = "a mass block of " + std::to_string(in_block) + " values, for the particles whose type's mass "
                    "table entry is 0 (" + path + ")";
      return false;
    }
    part.mass_at = b.at[mass_block];
  } else if (b.found[mass_block] && labelled) {
    r->disagreements.push_back("the mass table holds the mass of every type counted, yet a mass block follows too");
  } else if (b.found[mass_block]) {
    // Format 1 knows blocks by order: with the masses in the table, the
    // codes read nothing after the IDs.
    skipped->insert(skipped->begin(), "a record of " + std::to_string(b.size[mass_block]) + " bytes after the IDs");
  }
  return true;
}

// Opens one file of a GADGET set and appends it to the reader's parts.
bool add_gadget_file(binary_particle_reader *r, const std::string &path, gadget_header *header,
                     read_error *error) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error->what = "a readable file " + path + " (" + std::strerror(errno) + ")";
    return false;
  }
  r->parts.push_back(file_part());
  r->parts.back().file = file;
  gadget_blocks b;
  std::string why;
  if (!scan_gadget(file, r->format == format_gadget2, &b, &why)) {
    error->what = "a " + std::string(binary_format_name(r->format)) + " file: " + path + " lacks " + why;
    return false;
  }
  unsigned char h[gadget_header_bytes];
  if (!read_at(file, b.at[head_block], h, sizeof h)) return false;
  *header = parse_header(h);
  if (header->npart[0] != 0 || header->total[0] != 0 || header->high[0] != 0) {
    error->what = "particles of types 1 to 5, not of type 0 (gas) (" + path + ")";
    return false;
  }
  file_part &part = r->parts.back();
  uint64_t npart = 0;
  for (int t = 1; t < 6; ++t) npart += static_cast<uint32_t>(header->npart[t]);
  int vb = 4, ib = 4;
  if (!solve_widths(b, npart, &part.rows, &vb, &ib) || (r->parts.size() > 1 && (vb != r->value_bytes || ib != r->id_bytes))) {
    error->what = "blocks of positions, velocities and IDs that hold one count of particles (" + path + ")";
    return false;
  }
  r->value_bytes = vb;
  r->id_bytes = ib;
  attribute_types(*header, part.rows, part.type_rows);
  for (int t = 0; t < 6; ++t) part.massarr[t] = header->massarr[t];
  const std::string which = r->parts.size() > 1 ? "file " + std::to_string(r->parts.size() - 1) + "'s " : "";
  judge_counts(*header, part.rows, path, &r->disagreements);
  judge_header_fields(*header, which, &r->disagreements);
  part.pos_at = b.at[pos_block];
  part.vel_at = b.at[vel_block];
  part.id_at = b.at[id_block];
  if (!locate_masses(r, b, path, &b.skipped, error)) return false;
  for (const std::string &one : b.skipped) r->skipped.push_back(one + (which.empty() ? "" : " of " + path));
  return true;
}

// Whether two headers of a set agree in their totals and mass tables.
bool same_totals(const gadget_header &a, const gadget_header &b) {
  for (int t = 0; t < 6; ++t) {
    if (a.total[t] != b.total[t] || a.high[t] != b.high[t] || !(a.massarr[t] == b.massarr[t])) return false;
  }
  return true;
}

// Each type's npartTotal (with its high word) against the particles of
// that type in every file.
void judge_totals(binary_particle_reader *r, const gadget_header &first) {
  for (int t = 1; t < 6; ++t) {
    uint64_t rows = 0;
    for (const file_part &part : r->parts) rows += part.type_rows[t];
    const uint64_t total = (static_cast<uint64_t>(first.high[t]) << 32) | first.total[t];
    if (total != rows) {
      r->disagreements.push_back(say("npartTotal[" + std::to_string(t) + "] (with its high word)", total, rows));
    }
  }
}

bool begin_gadget(binary_particle_reader *r, const std::string &path, read_error *error) {
  gadget_header first;
  if (!add_gadget_file(r, path, &first, error)) return false;
  r->box = first.box;
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
    if (!same_totals(other, first)) {
      r->disagreements.push_back("file " + std::to_string(k) + "'s header differs from file 0's in its totals or mass table");
    }
    if (!(other.box == first.box)) {
      r->disagreements.push_back("file " + std::to_string(k) + "'s BoxSize says " + value_text(other.box) +
                                 ", file 0's " + value_text(first.box));
    }
  }
  for (const file_part &part : r->parts) r->rows += part.rows;
  judge_totals(r, first);
  return true;
}

// tipsy's particles as its header counts them: ndark 36-byte dark ones then
// nstar 44-byte stars when the size is theirs; else (a header that lies)
// dark ones only, as many as the size holds. False for a size neither is.
bool tipsy_rows(uint64_t size, uint64_t ndark, uint64_t nstar, file_part *part) {
  if (size == tipsy_header_bytes + tipsy_row_bytes * ndark + tipsy_star_bytes * nstar) {
    part->type_rows[tipsy_dark_type] = ndark;
    part->type_rows[tipsy_star_type] = nstar;
  } else if (nstar == 0 && (size - tipsy_header_bytes) % tipsy_row_bytes == 0) {
    part->type_rows[tipsy_dark_type] = (size - tipsy_header_bytes) / tipsy_row_bytes;
  } else {
    return false;
  }
  part->rows = part->type_rows[tipsy_dark_type] + part->type_rows[tipsy_star_type];
  return true;
}

bool begin_tipsy(binary_particle_reader *r, const std::string &path, read_error *error) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error->what = "a readable file (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  r->parts.push_back(file_part());
  r->parts.back().file = file;
  unsigned char h[tipsy_header_bytes];
  const uint64_t size = file_size(file);
  if (size < tipsy_header_bytes || !read_at(file, 0, h, sizeof h)) {
    error->what = "a tipsy file: a 32-byte header, 36-byte dark-matter and 44-byte star particles";
    return false;
  }
  const double time = load_real(h, 8, big_endian);
  const uint64_t nbodies = be32(h + 8), ndim = be32(h + 12), nsph = be32(h + 16), ndark = be32(h + 20);
  const uint64_t nstar = be32(h + 24);
  if (nsph != 0) {
    error->what = "a tipsy file of dark-matter and star particles, no gas";
    return false;
  }
  file_part &part = r->parts.back();
  if (!tipsy_rows(size, ndark, nstar, &part)) {
    error->what = "a tipsy file whose size holds its header's " + std::to_string(ndark) + " dark-matter (36 bytes) and " +
                  std::to_string(nstar) + " star particles (44 bytes)";
    return false;
  }
  r->rows = part.rows;
  if (ndark != part.type_rows[tipsy_dark_type]) r->disagreements.push_back(say("ndark", ndark, part.type_rows[tipsy_dark_type]));
  if (nbodies != part.rows) r->disagreements.push_back(say("nbodies", nbodies, part.rows));
  if (ndim != 3) r->disagreements.push_back("ndim says " + std::to_string(ndim) + ", not 3");
  if (!(time == 0.0)) r->disagreements.push_back("time says " + value_text(time) + ", not 0: initial conditions start at 0");
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

int binary_mass_bytes(const binary_particle_reader *reader) {
  if (reader->format == format_tipsy) return 4;
  const bool block = std::any_of(reader->parts.begin(), reader->parts.end(),
                                 [](const file_part &p) { return p.mass_at != 0; });
  return block ? reader->value_bytes : 8;
}

bool binary_box_size(const binary_particle_reader *reader, double *box) {
  *box = reader->box;
  return reader->format != format_tipsy;
}

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

bool read_ids(binary_particle_reader *r, const file_part &part, uint64_t first, size_t count, std::vector<uint64_t> *ids) {
  const size_t ib = static_cast<size_t>(r->id_bytes);
  r->buffer.resize(count * ib);
  if (count > 0 && !read_at(part.file, part.id_at + first * ib, r->buffer.data(), r->buffer.size())) return false;
  for (size_t i = 0; i < count; ++i) ids->push_back(load_uint(&r->buffer[i * ib], r->id_bytes, little_endian));
  return true;
}

// tipsy's rows [first, first + count): the dark ones, then the stars
// (mass, pos, vel, metals, tform, eps, phi).
bool read_tipsy_rows(binary_particle_reader *r, const file_part &part, uint64_t first, size_t count,
                     particle_data *data) {
  const uint64_t dark = part.type_rows[tipsy_dark_type], end = first + count;
  const uint64_t dark_end = std::min(end, std::max(first, dark));
  const uint64_t at = tipsy_header_bytes + std::min(first, dark) * tipsy_row_bytes +
                      (first - std::min(first, dark)) * tipsy_star_bytes;
  r->buffer.resize(static_cast<size_t>((dark_end - first) * tipsy_row_bytes + (end - dark_end) * tipsy_star_bytes));
  if (count > 0 && !read_at(part.file, at, r->buffer.data(), r->buffer.size())) return false;
  const unsigned char *p = r->buffer.data();
  for (uint64_t i = first; i < end; ++i) {
    const bool star = i >= dark;
    data->mass.push_back(load_real(p, 4, big_endian));
    for (int c = 0; c < 3; ++c) data->pos.push_back(load_real(p + 4 + 4 * c, 4, big_endian));
    for (int c = 0; c < 3; ++c) data->vel.push_back(load_real(p + 16 + 4 * c, 4, big_endian));
    data->type.push_back(star ? tipsy_star_type : tipsy_dark_type);
    // A code takes eps as the particle's softening length.
    const double eps = load_real(p + (star ? 36 : 28), 4, big_endian);
    if (std::isfinite(eps) && eps >= 0.0) {
      r->least_softening = std::min(r->least_softening, eps);
      r->largest_softening = std::max(r->largest_softening, eps);
    } else {
      ++r->bad_softening;
    }
    p += star ? tipsy_star_bytes : tipsy_row_bytes;
  }
  return true;
}

// The masses and types of rows [first, first + count) of a GADGET file:
// type by type, from the table or from the mass block (whose rows are the
// particles of the types the table holds 0 for).
bool read_gadget_masses(binary_particle_reader *r, const file_part &part, uint64_t first, size_t count,
                        particle_data *data) {
  const uint64_t end = first + count, vb = static_cast<uint64_t>(r->value_bytes);
  uint64_t type_first = 0, block_row = 0;
  for (int t = 1; t < 6; ++t) {
    const uint64_t rows = part.type_rows[t], begin = std::max(first, type_first);
    const uint64_t stop = std::min(end, type_first + rows);
    const bool in_block = part.massarr[t] == 0.0;
    if (begin < stop) {
      const size_t n = static_cast<size_t>(stop - begin);
      if (!in_block) {
        data->mass.insert(data->mass.end(), n, part.massarr[t]);
      } else if (!read_values(r, part.file, part.mass_at + (block_row + begin - type_first) * vb, n, 1, &data->mass)) {
        return false;
      }
      data->type.insert(data->type.end(), n, static_cast<uint8_t>(t));
    }
    type_first += rows;
    block_row += in_block ? rows : 0;
  }
  return true;
}

bool read_gadget_rows(binary_particle_reader *r, const file_part &part, uint64_t first, size_t count,
                      particle_data *data) {
  const uint64_t triple = 3 * static_cast<uint64_t>(r->value_bytes);
  return read_values(r, part.file, part.pos_at + first * triple, count, 3, &data->pos) &&
         read_values(r, part.file, part.vel_at + first * triple, count, 3, &data->vel) &&
         read_ids(r, part, first, count, &data->ids) && read_gadget_masses(r, part, first, count, data);
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
  const bool ok = r->format == format_tipsy ? read_tipsy_rows(r, part, first, count, data)
                                            : read_gadget_rows(r, part, first, count, data);
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

std::vector<std::string> binary_skipped_records(const binary_particle_reader *reader) { return reader->skipped; }

bool binary_softening(const binary_particle_reader *reader, uint64_t *bad, double *least, double *largest) {
  *bad = reader->bad_softening;
  *least = reader->least_softening;
  *largest = reader->largest_softening;
  return reader->format == format_tipsy;
}

void binary_add_softening(binary_particle_reader *reader, uint64_t bad, double least, double largest) {
  reader->bad_softening += bad;
  reader->least_softening = std::min(reader->least_softening, least);
  reader->largest_softening = std::max(reader->largest_softening, largest);
}

bool binary_seek(binary_particle_reader *reader, uint64_t index) {
  if (index > reader->rows) return false;
  reader->part = 0;
  while (reader->part + 1 < reader->parts.size() && index >= reader->parts[reader->part].rows) {
    index -= reader->parts[reader->part++].rows;
  }
  reader->row_in_part = index;
  return true;
}

bool binary_stores_ids(const binary_particle_reader *reader) { return reader->format != format_tipsy; }

type_counts binary_type_counts(const binary_particle_reader *reader) {
  type_counts counts;
  for (const file_part &part : reader->parts) {
    for (int t = 0; t < 6; ++t) counts.of[t] += part.type_rows[t];
  }
  return counts;
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
