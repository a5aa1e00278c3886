#include "particle_hdf5.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#ifdef GALAXY_HAVE_HDF5
#include <hdf5.h>
#endif
#include "output_file.h"
#ifdef GALAXY_HDF5_MPI
#include "particle_hdf5_mpi.h"
#endif

hdf5_counts compute_hdf5_counts(uint64_t n) {
  type_shares types;
  types.type[1].present = true;
  types.type[1].count = n;
  return compute_hdf5_counts(types);
}

hdf5_counts compute_hdf5_counts(const type_shares &types) {
  hdf5_counts counts{};
  for (int t = 0; t < 6; ++t) {
    const uint64_t n = types.type[t].count;
    counts.this_file[t] = n;
    counts.total[t] = static_cast<uint32_t>(n & 0xffffffffu);
    counts.high_word[t] = static_cast<uint32_t>(n >> 32);
  }
  return counts;
}

bool has_hdf5_signature(const unsigned char *bytes, size_t length) {
  static const unsigned char signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
  return length >= sizeof signature && std::memcmp(bytes, signature, sizeof signature) == 0;
}

#ifndef GALAXY_HAVE_HDF5

bool hdf5_available() { return false; }

struct hdf5_writer {};

hdf5_writer *open_hdf5_writer(const std::string &, const gal_system *, uint64_t, const output_frame &,
                              const run_provenance *, const written_columns &, const particle_groups &,
                              std::string *) {
  return nullptr;
}

bool hdf5_thread_safe() { return true; }

bool write_hdf5_rows(hdf5_writer *, const gal_system *, int32_t, int32_t, uint64_t) {
  return false;
}

hdf5_result close_hdf5_writer(hdf5_writer *, bool) { return hdf5_close_failed; }

hdf5_result write_hdf5_file(const std::string &, const gal_system *) { return hdf5_create_failed; }

struct hdf5_particle_reader {};

hdf5_particle_reader *begin_hdf5_read(const std::string &, read_error *error) {
  error->line = 0;
  error->what = "a text particle file: this build reads no HDF5 (install libhdf5-dev and "
                "configure the build again)";
  return nullptr;
}

read_status read_hdf5_chunk(hdf5_particle_reader *, particle_data *, size_t, read_error *) {
  return read_failed;
}

uint64_t hdf5_row_count(const hdf5_particle_reader *) { return 0; }

unit_scale hdf5_file_units(const hdf5_particle_reader *, bool *stated) {
  *stated = false;
  return unit_scale();
}

void hdf5_value_bytes(const hdf5_particle_reader *, int *position_bytes, int *mass_bytes) {
  *position_bytes = *mass_bytes = 8;
}

std::vector<std::string> hdf5_header_disagreements(const hdf5_particle_reader *) { return {}; }

bool hdf5_stored_model(const hdf5_particle_reader *, galaxy_parameters *, bool *) { return false; }
bool hdf5_stored_galaxy(const hdf5_particle_reader *) { return false; }

bool hdf5_box_size(const hdf5_particle_reader *, double *) { return false; }

type_counts hdf5_type_counts(const hdf5_particle_reader *) { return type_counts(); }

std::string hdf5_galaxy_file_text(const hdf5_particle_reader *) { return std::string(); }

std::string hdf5_parameter_text(const hdf5_particle_reader *, const std::string &) { return std::string(); }

bool hdf5_stores_ids(const hdf5_particle_reader *, std::string *) { return false; }

std::string hdf5_layout_description(const hdf5_particle_reader *) { return "hdf5"; }

void end_hdf5_read(hdf5_particle_reader *reader) { delete reader; }

bool hdf5_seek(hdf5_particle_reader *, uint64_t) { return false; }
void hdf5_off_table(const hdf5_particle_reader *, uint64_t counts[6]) { std::fill(counts, counts + 6, 0); }
void hdf5_add_off_table(hdf5_particle_reader *, const uint64_t[6]) {}

bool read_hdf5_particles(const std::string &path, particle_data *, read_error *error) {
  return begin_hdf5_read(path, error) != nullptr;
}

#else

// Owns one HDF5 handle; closes it with the function it was made for.
class hdf5_handle {
 public:
  hdf5_handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~hdf5_handle() { release(); }
  hdf5_handle(const hdf5_handle &) = delete;
  hdf5_handle &operator=(const hdf5_handle &) = delete;
  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }
  // Gives the handle up without closing it.
  hid_t take() {
    const hid_t id = id_;
    id_ = -1;
    return id;
  }
  // Closes the handle held, then holds id.
  void reset(hid_t id) {
    release();
    id_ = id;
  }
  // Closes now; false when the library reports a failure.
  bool release() {
    const hid_t id = id_;
    id_ = -1;
    return id < 0 || close_(id) >= 0;
  }

 private:
  hid_t id_;
  herr_t (*close_)(hid_t);
};

namespace {

// The layout's names, spelled once.
constexpr const char *header_group = "/Header";
constexpr const char *units_group = "/Units";
constexpr const char *galaxy_file_name = "GalaxyFile";
constexpr const char *component_names_name = "ComponentNames";
constexpr const char *coordinates_name = "Coordinates";
constexpr const char *velocities_name = "Velocities";
constexpr const char *masses_name = "Masses";
constexpr const char *ids_name = "ParticleIDs";
constexpr const char *unit_length_name = "Unit length in cgs (U_L)";
constexpr const char *unit_mass_name = "Unit mass in cgs (U_M)";
constexpr const char *unit_time_name = "Unit time in cgs (U_t)";

// The group of particle type t: "/PartType1" ...
std::string type_group_name(int t) { return "/PartType" + std::to_string(t); }

// The library prints its error stack by default; ours are reported as
// messages of our own.
void silence_library() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

bool write_attribute(hid_t group, const char *name, hid_t type, const void *value, hsize_t count) {
  hdf5_handle space(count == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &count, nullptr),
               H5Sclose);
  if (!space.valid()) return false;
  hdf5_handle attribute(H5Acreate2(group, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  return attribute.valid() && H5Awrite(attribute.get(), type, value) >= 0 && attribute.release();
}

// A group that records no time, so that the same run gives the same bytes.
hid_t create_group(hid_t file, const char *name) {
  hdf5_handle gcpl(H5Pcreate(H5P_GROUP_CREATE), H5Pclose);
  if (!gcpl.valid() || H5Pset_obj_track_times(gcpl.get(), false) < 0) return -1;
  return H5Gcreate2(file, name, H5P_DEFAULT, gcpl.get(), H5P_DEFAULT);
}

bool write_header(hid_t file, const gal_system *sys, const type_shares &types, const output_frame &frame,
                  const written_columns &columns) {
  hdf5_handle group(create_group(file, header_group), H5Gclose);
  if (!group.valid()) return false;
  const hdf5_counts counts = compute_hdf5_counts(types);
  // With no particle the record's mass is M / 0: no mass is the honest
  // entry. Masses that differ are each in Masses, and the codes read them
  // there only when the table holds 0.
  double mass_table[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (int t = 0; t < 6; ++t) {
    const type_share &s = types.type[t];
    if (s.count > 0 && s.one_mass && !columns.row_masses) mass_table[t] = one_mass(columns, s.mass / frame.scale.mass);
  }
  const double zero = 0.0;
  const double box = box_size(sys->radius_max, frame);
  const int32_t one = 1, none = 0, three = 3;
  const hid_t g = group.get();
  return write_attribute(g, "NumPart_ThisFile", H5T_NATIVE_UINT64, counts.this_file, 6) &&
         write_attribute(g, "NumPart_Total", H5T_NATIVE_UINT32, counts.total, 6) &&
         write_attribute(g, "NumPart_Total_HighWord", H5T_NATIVE_UINT32, counts.high_word, 6) &&
         write_attribute(g, "MassTable", H5T_NATIVE_DOUBLE, mass_table, 6) &&
         write_attribute(g, "Time", H5T_NATIVE_DOUBLE, &zero, 0) &&
         write_attribute(g, "Redshift", H5T_NATIVE_DOUBLE, &zero, 0) &&
         write_attribute(g, "BoxSize", H5T_NATIVE_DOUBLE, &box, 0) &&
         write_attribute(g, "NumFilesPerSnapshot", H5T_NATIVE_INT32, &one, 0) &&
         write_attribute(g, "Flag_Entropy_ICs", H5T_NATIVE_INT32, &none, 0) &&
         write_attribute(g, "Dimension", H5T_NATIVE_INT32, &three, 0) && group.release();
}

// The frame's units, stated in the cgs terms these codes read.
bool write_units(hid_t file, const unit_scale &scale) {
  hdf5_handle group(create_group(file, units_group), H5Gclose);
  if (!group.valid()) return false;
  const double length = scale.length * 100.0, mass = scale.mass * 1000.0, one = 1.0;
  const hid_t g = group.get();
  return write_attribute(g, unit_length_name, H5T_NATIVE_DOUBLE, &length, 0) &&
         write_attribute(g, unit_mass_name, H5T_NATIVE_DOUBLE, &mass, 0) &&
         write_attribute(g, unit_time_name, H5T_NATIVE_DOUBLE, &scale.time, 0) &&
         write_attribute(g, "Unit current in cgs (U_I)", H5T_NATIVE_DOUBLE, &one, 0) &&
         write_attribute(g, "Unit temperature in cgs (U_T)", H5T_NATIVE_DOUBLE, &one, 0) &&
         group.release();
}

bool write_string(hid_t group, const char *name, const std::string &text) {
  hdf5_handle type(H5Tcopy(H5T_C_S1), H5Tclose);
  if (!type.valid() || H5Tset_size(type.get(), std::max<size_t>(1, text.size())) < 0) return false;
  const std::string value = text.empty() ? std::string(1, '\0') : text;
  return write_attribute(group, name, type.get(), value.data(), 0);
}

// How the file was made: one attribute a generation parameter (SI, but the
// centre and motion in the file's units), then the program and its command
// line.
bool write_provenance(hid_t file, const run_provenance &p) {
  hdf5_handle params(create_group(file, "/Parameters"), H5Gclose);
  hdf5_handle code(create_group(file, "/Code"), H5Gclose);
  if (!params.valid() || !code.valid()) return false;
  const hid_t g = params.get();
  for (const provenance_field &f : parameter_fields(p)) {
    const int32_t set = f.set ? 1 : 0;
    bool ok = false;
    switch (f.kind) {
      case provenance_field::text: ok = write_string(g, f.name.c_str(), f.words); break;
      case provenance_field::number: ok = write_attribute(g, f.name.c_str(), H5T_NATIVE_UINT64, &f.count, 0); break;
      case provenance_field::real: ok = write_attribute(g, f.name.c_str(), H5T_NATIVE_DOUBLE, f.values, 0); break;
      case provenance_field::triple: ok = write_attribute(g, f.name.c_str(), H5T_NATIVE_DOUBLE, f.values, 3); break;
      case provenance_field::flag: ok = write_attribute(g, f.name.c_str(), H5T_NATIVE_INT32, &set, 0); break;
    }
    if (!ok) return false;
  }
  if (!p.galaxy_file_text.empty() && !write_string(g, galaxy_file_name, p.galaxy_file_text)) return false;
  return params.release() && write_string(code.get(), "Name", p.program) &&
         write_string(code.get(), "Version", p.version) &&
         write_string(code.get(), "CommandLine", p.command_line) && code.release();
}

// The file and memory spaces of rows [first, first + count) of a
// (rows x columns) dataset, or of (rows) for one column.
struct row_selection {
  hdf5_handle file{-1, H5Sclose};
  hdf5_handle memory{-1, H5Sclose};
  row_selection(hid_t dataset, int columns, hsize_t first, hsize_t count) {
    const hsize_t start[2] = {first, 0};
    const hsize_t size[2] = {count, static_cast<hsize_t>(columns)};
    file.reset(H5Dget_space(dataset));
    memory.reset(H5Screate_simple(columns == 1 ? 1 : 2, size, nullptr));
    if (file.valid() && H5Sselect_hyperslab(file.get(), H5S_SELECT_SET, start, nullptr, size, nullptr) < 0) {
      file.reset(-1);
    }
  }
  bool valid() const { return file.valid() && memory.valid(); }
};

// Writes rows [first, first + count) of a dataset from values, which hold
// count rows.
bool write_rows(hid_t dataset, hid_t memory_type, int columns, hsize_t first, hsize_t count,
                const void *values) {
  if (count == 0) return true;
  const row_selection rows(dataset, columns, first, count);
  return rows.valid() &&
         H5Dwrite(dataset, memory_type, rows.memory.get(), rows.file.get(), H5P_DEFAULT, values) >= 0;
}

// A (total x columns) dataset of the given file type, left to be written.
// Its space is allocated now, so that the metadata is complete (and can be
// flushed) before the first row: a disk that fills up then fails only the
// rows, and the library can still close the file.
hid_t create_dataset(hid_t group, const char *name, hid_t file_type, int columns, uint64_t total) {
  const hsize_t dims[2] = {total, static_cast<hsize_t>(columns)};
  hdf5_handle space(H5Screate_simple(columns == 1 ? 1 : 2, dims, nullptr), H5Sclose);
  hdf5_handle dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  if (!space.valid() || !dcpl.valid() || H5Pset_alloc_time(dcpl.get(), H5D_ALLOC_TIME_EARLY) < 0 ||
      H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER) < 0 || H5Pset_obj_track_times(dcpl.get(), false) < 0) {
    return -1;
  }
  return H5Dcreate2(group, name, file_type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT);
}

}  // namespace

// The datasets of one particle type, of its particles [first, first + count).
struct hdf5_type_datasets {
  bool present = false;
  uint64_t first = 0, count = 0;
  hdf5_handle coordinates{-1, H5Dclose};
  hdf5_handle velocities{-1, H5Dclose};
  hdf5_handle masses{-1, H5Dclose};
  hdf5_handle ids{-1, H5Dclose};
  bool release() { return coordinates.release() & velocities.release() & masses.release() & ids.release(); }
};

struct hdf5_writer {
  hdf5_handle file{-1, H5Fclose};
  hdf5_type_datasets types[6];
  std::vector<uint64_t> id_rows;  // one block's IDs at a time
  output_frame frame;
  const uint64_t *given_ids = nullptr;  // the record's own IDs, when given
  std::vector<double> converted;  // one block's values in frame, when not SI
};

bool hdf5_available() { return true; }

bool hdf5_thread_safe() {
  hbool_t safe = 0;
  return H5is_library_threadsafe(&safe) >= 0 && safe;
}

namespace {

// The group of one type and its full-size datasets; named: which groups
// it holds, when the run gave them.
bool create_type_group(hid_t file, int t, const type_share &share, bool named, hdf5_type_datasets *sets) {
  hdf5_handle group(create_group(file, type_group_name(t).c_str()), H5Gclose);
  if (!group.valid()) return false;
  const hid_t g = group.get();
  sets->present = true;
  sets->first = share.first;
  sets->count = share.count;
  sets->coordinates.reset(create_dataset(g, coordinates_name, H5T_IEEE_F64LE, 3, share.count));
  sets->velocities.reset(create_dataset(g, velocities_name, H5T_IEEE_F64LE, 3, share.count));
  sets->masses.reset(create_dataset(g, masses_name, H5T_IEEE_F64LE, 1, share.count));
  sets->ids.reset(create_dataset(g, ids_name, H5T_STD_U64LE, 1, share.count));
  return sets->coordinates.valid() && sets->velocities.valid() && sets->masses.valid() && sets->ids.valid() &&
         (!named || write_string(g, component_names_name, share.names)) && group.release();
}

// Creates the file through the access properties fapl: the header, the
// units and the full-size datasets of every type.
hdf5_writer *create_writer(const std::string &path, const gal_system *sys, uint64_t total,
                           const output_frame &frame, const run_provenance *provenance, hid_t fapl,
                           const written_columns &columns, const particle_groups &groups, std::string *why) {
  silence_library();
  std::string reason;
  if (!groups_are_ordered(groups, total, &reason)) {
    if (why != nullptr) *why = "its particle groups are not in a file's order: " + reason;
    return nullptr;
  }
  const type_shares types = shares_of(file_groups(groups, total, sys->mass_element));
  // The earliest file format holds attributes of up to 64 KiB: a longer
  // galaxy file needs the format of HDF5 1.8 on (read by every library
  // since 2008), which stores it apart. Other files keep the earliest.
  hdf5_handle access(H5Pcopy(fapl == H5P_DEFAULT ? H5P_FILE_ACCESS_DEFAULT : fapl), H5Pclose);
  if (!access.valid()) return nullptr;
  if (provenance != nullptr && provenance->galaxy_file_text.size() > 60000 &&
      H5Pset_libver_bounds(access.get(), H5F_LIBVER_V18, H5F_LIBVER_V18) < 0) {
    return nullptr;
  }
  std::unique_ptr<hdf5_writer> writer(new hdf5_writer);
  writer->frame = frame;
  writer->given_ids = columns.ids;
  {
    const temporary_opened_by_path opening;
    writer->file.reset(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()));
  }
  if (!writer->file.valid()) return nullptr;
  const hid_t file = writer->file.get();
  if (!write_header(file, sys, types, frame, columns) || !write_units(file, frame.scale)) return nullptr;
  if (provenance != nullptr && !write_provenance(file, *provenance)) return nullptr;
  for (int t = 0; t < 6; ++t) {
    if (types.type[t].present &&
        !create_type_group(file, t, types.type[t], !groups.groups.empty(), &writer->types[t])) {
      return nullptr;
    }
  }
  if (H5Fflush(file, H5F_SCOPE_GLOBAL) < 0) return nullptr;
  return writer.release();
}

}  // namespace

hdf5_writer *open_hdf5_writer(const std::string &path, const gal_system *sys, uint64_t total,
                              const output_frame &frame, const run_provenance *provenance,
                              const written_columns &columns, const particle_groups &groups, std::string *why) {
  return create_writer(path, sys, total, frame, provenance, H5P_DEFAULT, columns, groups, why);
}

#ifdef GALAXY_HDF5_MPI
hdf5_writer *open_parallel_hdf5_writer(const std::string &path, const gal_system *sys,
                                       uint64_t total, const output_frame &frame,
                                       const run_provenance *provenance, MPI_Comm communicator,
                                       const particle_groups &groups, std::string *why,
                                       const written_columns &columns) {
  silence_library();
  hdf5_handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
  if (!fapl.valid() || H5Pset_fapl_mpio(fapl.get(), communicator, MPI_INFO_NULL) < 0) return nullptr;
  return create_writer(path, sys, total, frame, provenance, fapl.get(), columns, groups, why);
}
#endif

bool write_hdf5_rows(hdf5_writer *writer, const gal_system *sys, int32_t first, int32_t last,
                     uint64_t offset) {
  if (last <= first) return true;
  const hsize_t count = static_cast<hsize_t>(last - first);
  const uint64_t row = offset + static_cast<uint64_t>(first);
  // IDs j + 1 unless given: the codes reserve 0.
  const size_t at = static_cast<size_t>(first);
  writer->id_rows.resize(static_cast<size_t>(count));
  for (hsize_t k = 0; k < count; ++k) {
    writer->id_rows[k] = writer->given_ids != nullptr ? writer->given_ids[at + k] : row + k + 1;
  }
  const double *pos = sys->pos + 3 * at, *vel = sys->vel + 3 * at, *mass = sys->mass + at;
  const output_frame &frame = writer->frame;
  if (!is_identity_frame(frame) && !frame.values_converted) {
    const size_t n = static_cast<size_t>(count);
    std::vector<double> &values = writer->converted;
    values.resize(7 * n);
    convert_triples(pos, n, frame.scale.length, frame.shifted, frame.position_offset, values.data());
    convert_triples(vel, n, frame.scale.velocity, frame.shifted, frame.velocity_offset, values.data() + 3 * n);
    for (size_t i = 0; i < n; ++i) values[6 * n + i] = mass[i] / frame.scale.mass;
    pos = values.data();
    vel = values.data() + 3 * n;
    mass = values.data() + 6 * n;
  }
  // The block may span types: each type's rows go to its own datasets.
  for (const hdf5_type_datasets &sets : writer->types) {
    const uint64_t begin = std::max(row, sets.first);
    const uint64_t end = std::min<uint64_t>(row + count, sets.first + sets.count);
    if (!sets.present || begin >= end) continue;
    const size_t i = static_cast<size_t>(begin - row);
    const hsize_t at_row = begin - sets.first, rows = end - begin;
    if (!write_rows(sets.coordinates.get(), H5T_NATIVE_DOUBLE, 3, at_row, rows, pos + 3 * i) ||
        !write_rows(sets.velocities.get(), H5T_NATIVE_DOUBLE, 3, at_row, rows, vel + 3 * i) ||
        !write_rows(sets.masses.get(), H5T_NATIVE_DOUBLE, 1, at_row, rows, mass + i) ||
        !write_rows(sets.ids.get(), H5T_NATIVE_UINT64, 1, at_row, rows, writer->id_rows.data() + i)) {
      return false;
    }
  }
  return true;
}

hdf5_result close_hdf5_writer(hdf5_writer *writer, bool written) {
  std::unique_ptr<hdf5_writer> owned(writer);
  if (!written) return hdf5_write_failed;
  bool datasets_closed = true;
  for (hdf5_type_datasets &sets : writer->types) datasets_closed = sets.release() && datasets_closed;
  // Data may still sit in the library's cache: a full disk can show here.
  if (!datasets_closed || H5Fflush(writer->file.get(), H5F_SCOPE_GLOBAL) < 0) {
    return hdf5_write_failed;
  }
  return writer->file.release() ? hdf5_written : hdf5_close_failed;
}

hdf5_result write_hdf5_file(const std::string &path, const gal_system *sys) {
  const int32_t n = sys->nb_element > 0 ? sys->nb_element : 0;
  hdf5_writer *writer = open_hdf5_writer(path, sys, static_cast<uint64_t>(n));
  if (writer == nullptr) return hdf5_create_failed;
  return close_hdf5_writer(writer, write_hdf5_rows(writer, sys, 0, n, 0));
}

// The datasets of one particle type as read.
struct hdf5_type_part {
  bool present = false;
  hdf5_handle coordinates{-1, H5Dclose};
  hdf5_handle velocities{-1, H5Dclose};
  hdf5_handle masses{-1, H5Dclose};
  hdf5_handle ids{-1, H5Dclose};
  hsize_t rows = 0;
  int mass_bytes = 8;
  double table_mass = 0.0;  // MassTable[t]: 0 when the masses say
  uint64_t off_table = 0;   // masses that differ from it
};

struct hdf5_particle_reader {
  hdf5_handle file{-1, H5Fclose};
  hdf5_type_part types[6];  // 1 to 5 read
  bool all_ids = true;      // every type present has its ParticleIDs
  std::string ids_problem;  // why ParticleIDs cannot be read, when it cannot
  double box = 0.0;
  bool has_box = false;
  hsize_t rows = 0;         // of every type
  hsize_t next = 0;
  int type = 1;             // the one being read, from row next_in_type
  hsize_t next_in_type = 0;
  unit_scale units;
  bool units_stated = false;
  int position_bytes = 8, mass_bytes = 8;
  std::vector<std::string> disagreements;  // of the header, found at opening
  bool has_model = false;                  // a Parameters group galaxy-ic wrote
  bool stored_galaxy = false;              // ... for a galaxy of several components
  galaxy_parameters model;
  bool equilibrium = false;
  std::string galaxy_file_text;
};

uint64_t hdf5_row_count(const hdf5_particle_reader *reader) { return reader->rows; }

unit_scale hdf5_file_units(const hdf5_particle_reader *reader, bool *stated) {
  *stated = reader->units_stated;
  return reader->units;
}

void hdf5_value_bytes(const hdf5_particle_reader *reader, int *position_bytes, int *mass_bytes) {
  *position_bytes = reader->position_bytes;
  *mass_bytes = reader->mass_bytes;
}

std::vector<std::string> hdf5_header_disagreements(const hdf5_particle_reader *reader) {
  std::vector<std::string> all = reader->disagreements;
  for (int t = 0; t < 6; ++t) {
    const hdf5_type_part &part = reader->types[t];
    if (part.off_table > 0) {
      all.push_back("MassTable[" + std::to_string(t) + "] holds " + std::to_string(part.table_mass) + ", and " +
                    std::to_string(part.off_table) + " masses of PartType" + std::to_string(t) + " differ from it");
    }
  }
  return all;
}

bool hdf5_stored_galaxy(const hdf5_particle_reader *reader) { return reader->stored_galaxy; }

type_counts hdf5_type_counts(const hdf5_particle_reader *reader) {
  type_counts counts;
  for (int t = 0; t < 6; ++t) counts.of[t] = reader->types[t].rows;
  return counts;
}

std::string hdf5_galaxy_file_text(const hdf5_particle_reader *reader) { return reader->galaxy_file_text; }

bool hdf5_stored_model(const hdf5_particle_reader *reader, galaxy_parameters *galaxy, bool *equilibrium) {
  if (!reader->has_model) return false;
  *galaxy = reader->model;
  *equilibrium = reader->equilibrium;
  return true;
}

bool hdf5_box_size(const hdf5_particle_reader *reader, double *box) {
  *box = reader->box;
  return reader->has_box;
}

bool hdf5_stores_ids(const hdf5_particle_reader *reader, std::string *why) {
  *why = reader->ids_problem;
  return reader->all_ids;
}

std::string hdf5_layout_description(const hdf5_particle_reader *reader) {
  std::string text = reader->position_bytes == 4 ? "hdf5, float32" : "hdf5, float64";
  if (reader->mass_bytes != reader->position_bytes) text += reader->mass_bytes == 4 ? ", float32 masses" : ", float64 masses";
  return text;
}

namespace {

// Opens a float64 dataset of group shaped (rows x columns), or (rows) for
// one column; -1 when it is not one.
hid_t open_float_dataset(hid_t group, const char *name, int columns, hsize_t *rows, int *bytes) {
  if (H5Lexists(group, name, H5P_DEFAULT) <= 0) return -1;
  hdf5_handle dataset(H5Dopen2(group, name, H5P_DEFAULT), H5Dclose);
  if (!dataset.valid()) return -1;
  hdf5_handle space(H5Dget_space(dataset.get()), H5Sclose);
  hdf5_handle type(H5Dget_type(dataset.get()), H5Tclose);
  hsize_t dims[2] = {0, 0};
  const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  if (rank != (columns == 1 ? 1 : 2) || !type.valid() || H5Tget_class(type.get()) != H5T_FLOAT) {
    return -1;
  }
  H5Sget_simple_extent_dims(space.get(), dims, nullptr);
  if (columns != 1 && dims[1] != static_cast<hsize_t>(columns)) return -1;
  *rows = dims[0];
  *bytes = H5Tget_size(type.get()) <= 4 ? 4 : 8;
  return dataset.take();
}

// ParticleIDs of type t: N integers, what the codes number the particles by.
hid_t open_id_dataset(hid_t group, int t, hsize_t rows, std::string *why) {
  *why = "no " + type_group_name(t) + "/ParticleIDs dataset of " + std::to_string(rows) + " integers, which codes read";
  if (H5Lexists(group, ids_name, H5P_DEFAULT) <= 0) return -1;
  hdf5_handle dataset(H5Dopen2(group, ids_name, H5P_DEFAULT), H5Dclose);
  if (!dataset.valid()) return -1;
  hdf5_handle space(H5Dget_space(dataset.get()), H5Sclose);
  hdf5_handle type(H5Dget_type(dataset.get()), H5Tclose);
  hsize_t dims[1] = {0};
  if (!space.valid() || !type.valid() || H5Sget_simple_extent_ndims(space.get()) != 1 ||
      H5Tget_class(type.get()) != H5T_INTEGER || H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0 ||
      dims[0] != rows) {
    return -1;
  }
  why->clear();
  return dataset.take();
}

// Rows [first, first + count) of a dataset, converted to doubles, appended
// to values.
bool read_rows(hid_t dataset, int columns, hsize_t first, hsize_t count, std::vector<double> *values) {
  const size_t at = values->size();
  values->resize(at + static_cast<size_t>(count) * static_cast<size_t>(columns));
  if (count == 0) return true;
  const row_selection rows(dataset, columns, first, count);
  return rows.valid() && H5Dread(dataset, H5T_NATIVE_DOUBLE, rows.memory.get(), rows.file.get(),
                                 H5P_DEFAULT, values->data() + at) >= 0;
}

// Rows [first, first + count) of the IDs, appended to ids.
bool read_id_rows(hid_t dataset, hsize_t first, hsize_t count, std::vector<uint64_t> *ids) {
  const size_t at = ids->size();
  ids->resize(at + static_cast<size_t>(count));
  if (count == 0) return true;
  const row_selection rows(dataset, 1, first, count);
  return rows.valid() &&
         H5Dread(dataset, H5T_NATIVE_UINT64, rows.memory.get(), rows.file.get(), H5P_DEFAULT, ids->data() + at) >= 0;
}

// An attribute of group as count values of native type; false when it is
// missing or of another size.
bool read_attribute(hid_t group, const char *name, hid_t type, void *values, hssize_t count) {
  if (H5Aexists(group, name) <= 0) return false;
  hdf5_handle attribute(H5Aopen(group, name, H5P_DEFAULT), H5Aclose);
  if (!attribute.valid()) return false;
  hdf5_handle space(H5Aget_space(attribute.get()), H5Sclose);
  if (!space.valid() || H5Sget_simple_extent_npoints(space.get()) != count) return false;
  return H5Aread(attribute.get(), type, values) >= 0;
}

// A header value in words when it is no number, else its shortest digits.
std::string value_text(double value) {
  if (std::isnan(value)) return "not a number";
  if (std::isinf(value)) return value > 0 ? "infinity" : "minus infinity";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The scalars readers act on: an isolated galaxy's initial conditions start
// at time 0 and redshift 0, with no cosmology (Omega0, OmegaLambda 0, and h
// 1, which changes nothing for a reader that divides by it; galaxy-ic
// writes none of these three). BoxSize is held against the particles once
// they are read.
void hold_header_scalars(hdf5_particle_reader *r, hid_t g) {
  const struct {
    const char *name;
    double expected;
    bool required;
    const char *why;
  } fields[] = {{"Time", 0.0, true, "initial conditions start at 0"},
                {"Redshift", 0.0, true, "an isolated galaxy has none"},
                {"Omega0", 0.0, false, "a reader would turn cosmology on"},
                {"OmegaLambda", 0.0, false, "a reader would turn cosmology on"},
                {"HubbleParam", 1.0, false, "readers that apply h divide lengths and masses by it"}};
  for (const auto &f : fields) {
    double value = 0.0;
    if (H5Aexists(g, f.name) <= 0 && !f.required) continue;
    if (!read_attribute(g, f.name, H5T_NATIVE_DOUBLE, &value, 1)) {
      r->disagreements.push_back(std::string(f.name) + " is missing or not one number");
    } else if (!(value == f.expected)) {
      r->disagreements.push_back(std::string(f.name) + " says " + value_text(value) + ", not " +
                                 value_text(f.expected) + ": " + f.why);
    }
  }
  r->has_box = true;
  if (!read_attribute(g, "BoxSize", H5T_NATIVE_DOUBLE, &r->box, 1)) {
    r->disagreements.push_back("BoxSize is missing or not one number");
    r->has_box = false;
  }
}

std::string says(const std::string &what, uint64_t value, uint64_t rows) {
  return what + " says " + std::to_string(value) + ", the datasets hold " + std::to_string(rows);
}

// The header's counts, files, dimension and mass table against the rows:
// a code reads the header first, and reads what it says.
void hold_header_against_rows(hdf5_particle_reader *r) {
  std::vector<std::string> &out = r->disagreements;
  if (H5Lexists(r->file.get(), header_group, H5P_DEFAULT) <= 0) {
    out.push_back("no /Header group");
    return;
  }
  hdf5_handle group(H5Gopen2(r->file.get(), header_group, H5P_DEFAULT), H5Gclose);
  const hid_t g = group.get();
  uint64_t this_file[6] = {}, total[6] = {}, high[6] = {};
  double mass_table[6] = {};
  int64_t files = 0, dimension = 0;
  // Each type's counts against its own datasets (type 0, gas, has none read).
  const bool counts = read_attribute(g, "NumPart_ThisFile", H5T_NATIVE_UINT64, this_file, 6);
  const bool totals = read_attribute(g, "NumPart_Total", H5T_NATIVE_UINT64, total, 6);
  const bool highs = read_attribute(g, "NumPart_Total_HighWord", H5T_NATIVE_UINT64, high, 6);
  if (!counts) out.push_back("NumPart_ThisFile is missing or not 6 counts");
  if (!totals || !highs) out.push_back("NumPart_Total or NumPart_Total_HighWord is missing or not 6 counts");
  for (int t = 0; t < 6; ++t) {
    const hsize_t rows = r->types[t].rows;
    const std::string index = "[" + std::to_string(t) + "]";
    if (counts && this_file[t] != rows) out.push_back(says("NumPart_ThisFile" + index, this_file[t], rows));
    if (totals && highs && (((high[t] << 32) | (total[t] & 0xffffffffu)) != rows || total[t] >> 32 != 0)) {
      out.push_back(says("NumPart_Total" + index + " with its high word", (high[t] << 32) + total[t], rows));
    }
  }
  if (H5Lexists(r->file.get(), type_group_name(0).c_str(), H5P_DEFAULT) > 0) {
    out.push_back("the file has a /PartType0 group (gas), which is not read");
  }
  if (!read_attribute(g, "NumFilesPerSnapshot", H5T_NATIVE_INT64, &files, 1) || files != 1) {
    out.push_back("NumFilesPerSnapshot is not 1, the one file read");
  }
  if (H5Aexists(g, "Dimension") > 0 && (!read_attribute(g, "Dimension", H5T_NATIVE_INT64, &dimension, 1) || dimension != 3)) {
    out.push_back("Dimension is not 3");
  }
  if (!read_attribute(g, "MassTable", H5T_NATIVE_DOUBLE, mass_table, 6)) {
    out.push_back("MassTable is missing or not 6 masses");
  } else {
    for (int t = 0; t < 6; ++t) r->types[t].table_mass = mass_table[t];
  }
  hold_header_scalars(r, g);
}

// A string attribute of group, or empty (and for one longer than any a
// galaxy-ic file holds).
std::string read_string(hid_t group, const char *name) {
  if (H5Aexists(group, name) <= 0) return std::string();
  hdf5_handle attribute(H5Aopen(group, name, H5P_DEFAULT), H5Aclose);
  hdf5_handle type(attribute.valid() ? H5Aget_type(attribute.get()) : -1, H5Tclose);
  hdf5_handle space(attribute.valid() ? H5Aget_space(attribute.get()) : -1, H5Sclose);
  if (!type.valid() || H5Tget_class(type.get()) != H5T_STRING || H5Tis_variable_str(type.get()) > 0 ||
      !space.valid() || H5Sget_simple_extent_npoints(space.get()) != 1 || H5Tget_size(type.get()) > (size_t{64} << 20)) {
    return std::string();
  }
  std::string text(H5Tget_size(type.get()), '\0');
  if (H5Aread(attribute.get(), type.get(), text.data()) < 0) return std::string();
  return text.substr(0, text.find('\0'));
}

// A whole-string number; false for anything else.
bool parse_whole_number(const std::string &text, double *value) {
  char *end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

// A Parameters attribute of count doubles: present, and finite (above 0
// when positive, at least 0 when not negative). The refusal, or empty.
std::string stored_reals(hid_t g, const char *name, double *values, hssize_t count, int sign) {
  if (!read_attribute(g, name, H5T_NATIVE_DOUBLE, values, count)) {
    return std::string(name) + " is missing or not " + (count == 1 ? "one number" : "three numbers");
  }
  for (hssize_t k = 0; k < count; ++k) {
    const double v = values[k];
    if (!std::isfinite(v) || (sign > 0 && !(v > 0.0)) || (sign == 0 && v < 0.0)) {
      return std::string(name) + " is " + value_text(v) + ", not a finite number" +
             (sign > 0 ? " above 0" : sign == 0 ? " of 0 or more" : "");
    }
  }
  return std::string();
}

// The law and profile of a Parameters group into m; the refusal, or empty.
// Files from before profiles name neither profile nor anisotropy: Hernquist's.
std::string stored_law(hid_t g, const std::string &law, galaxy_parameters *m) {
  if (law != "defined" && law != "equilibrium" && law != "profile") {
    return "Law is \"" + law + "\", not defined, equilibrium or profile";
  }
  const std::string profile = H5Aexists(g, "Profile") > 0 ? read_string(g, "Profile") : "hernquist";
  const std::string anisotropy = H5Aexists(g, "Anisotropy") > 0 ? read_string(g, "Anisotropy") : "isotropic";
  std::string why;
  if (law != "profile" && profile != "hernquist") return "Profile is \"" + profile + "\" under Law " + law;
  if (law == "profile" && !parse_density_law(profile, &m->law, &why)) return "Profile is \"" + profile + "\": " + why;
  double radius = 0.0;
  if (anisotropy != "isotropic" && (law != "profile" || !parse_whole_number(anisotropy, &radius) ||
                                    !std::isfinite(radius) || !(radius > 0.0))) {
    return "Anisotropy is \"" + anisotropy + "\", not isotropic or (under a profile) a radius above 0";
  }
  double strength = m->law.taper_strength;
  if (H5Aexists(g, "CutoffStrength") > 0) {
    why = stored_reals(g, "CutoffStrength", &strength, 1, 1);
    if (!why.empty()) return why;
  }
  if (law == "profile") {
    m->profile = true;
    m->profile_name = profile;
    m->law.taper_strength = strength;
    m->anisotropy_radius = radius;  // in the file's units until converted
  }
  return std::string();
}

// The model a Parameters group of galaxy-ic's states, for the checks to use
// where no option names one; the refusal of a group that states nonsense,
// or empty. A Parameters group of another program's is not read.
std::string read_stored_model(hdf5_particle_reader *r) {
  if (H5Lexists(r->file.get(), "/Parameters", H5P_DEFAULT) <= 0) return std::string();
  hdf5_handle group(H5Gopen2(r->file.get(), "/Parameters", H5P_DEFAULT), H5Gclose);
  const hid_t g = group.get();
  std::string code_name;
  if (H5Lexists(r->file.get(), "/Code", H5P_DEFAULT) > 0) {
    hdf5_handle code(H5Gopen2(r->file.get(), "/Code", H5P_DEFAULT), H5Gclose);
    if (code.valid()) code_name = read_string(code.get(), "Name");
  }
  if (H5Aexists(g, "Law") <= 0 && code_name.rfind("galaxy-ic", 0) != 0) return std::string();
  galaxy_parameters &m = r->model;
  const std::string law = read_string(g, "Law");
  // A galaxy of several components is described by its galaxy file, not by
  // these fields: the checks take it from there.
  if (law == "galaxy") {
    r->stored_galaxy = true;
    return std::string();
  }
  std::string why = stored_law(g, law, &m);
  if (why.empty()) why = stored_reals(g, "TotalMass", &m.total_mass, 1, 1);
  if (why.empty()) why = stored_reals(g, "ScaleLength", &m.typical_length, 1, 1);
  if (why.empty()) why = stored_reals(g, "CutoffRadius", &m.radius_max, 1, m.profile ? 0 : 1);
  if (why.empty()) why = stored_reals(g, "Centre", m.centre, 3, -1);
  if (why.empty()) why = stored_reals(g, "BulkVelocity", m.bulk_velocity, 3, -1);
  int32_t zero_com = 0;
  if (why.empty() && (!read_attribute(g, "ZeroCentreOfMass", H5T_NATIVE_INT32, &zero_com, 1) || zero_com < 0 || zero_com > 1)) {
    why = "ZeroCentreOfMass is missing or not 0 or 1";
  }
  if (why.empty() && H5Aexists(g, "Units") > 0) {
    const std::string units = read_string(g, "Units");
    const auto near = [](double x, double y) { return std::fabs(x - y) <= 1e-12 * std::fabs(y); };
    if (!parse_unit_system(units.c_str(), &m.units)) {
      why = "Units is \"" + units + "\", not si, cgs, astro, gadget or model";
    } else {
      const unit_scale named = scale_of(m.units, m.total_mass, m.typical_length);
      if (!near(named.length, r->units.length) || !near(named.mass, r->units.mass) ||
          !near(named.velocity, r->units.velocity)) {
        why = "Units is " + units + ", and the /Units group states other units";
      }
    }
  }
  if (!why.empty()) return why;
  uint64_t count = 0;
  if (H5Aexists(g, "NumberOfParticles") > 0 &&
      (!read_attribute(g, "NumberOfParticles", H5T_NATIVE_UINT64, &count, 1) || count != r->rows)) {
    r->disagreements.push_back(says("Parameters' NumberOfParticles", count, r->rows));
  }
  if (m.profile) {
    if (m.radius_max > 0.0) m.law.taper_radius = m.radius_max / m.typical_length;
    m.anisotropy_radius = m.anisotropy_radius * r->units.length / m.typical_length;
    if (!density_law_is_proper(m.law, &why)) return "Profile " + m.profile_name + " cannot be made: " + why;
  }
  for (int k = 0; k < 3; ++k) {
    m.centre[k] *= r->units.length;
    m.bulk_velocity[k] *= r->units.velocity;
  }
  m.zero_com = zero_com != 0;
  r->equilibrium = law == "equilibrium";
  r->has_model = true;
  return std::string();
}

// A scalar double attribute of group; false when it is missing or not one.
bool read_scalar(hid_t group, const char *name, double *value) {
  if (H5Aexists(group, name) <= 0) return false;
  hdf5_handle attribute(H5Aopen(group, name, H5P_DEFAULT), H5Aclose);
  if (!attribute.valid()) return false;
  hdf5_handle space(H5Aget_space(attribute.get()), H5Sclose);
  if (!space.valid() || H5Sget_simple_extent_npoints(space.get()) != 1) return false;
  return H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, value) >= 0;
}

// The Units group's length, mass and time in cgs, as SI units; false
// when it states none, or nonsense.
bool read_units(hid_t file, unit_scale *scale) {
  if (H5Lexists(file, units_group, H5P_DEFAULT) <= 0) return false;
  hdf5_handle group(H5Gopen2(file, units_group, H5P_DEFAULT), H5Gclose);
  double length = 0.0, mass = 0.0, time = 0.0;
  if (!group.valid() || !read_scalar(group.get(), unit_length_name, &length) ||
      !read_scalar(group.get(), unit_mass_name, &mass) || !read_scalar(group.get(), unit_time_name, &time)) {
    return false;
  }
  scale->length = length / 100.0;
  scale->mass = mass / 1000.0;
  scale->time = time;
  scale->velocity = length / time / 100.0;
  for (double v : {scale->length, scale->mass, scale->time, scale->velocity}) {
    if (!std::isfinite(v) || !(v > 0.0)) return false;
  }
  return true;
}

}  // namespace

namespace {

// Opens the datasets of /PartTypeN when the file has that group; the
// refusal, or empty.
std::string open_type_part(hdf5_particle_reader *r, int t) {
  const std::string name = type_group_name(t);
  if (H5Lexists(r->file.get(), name.c_str(), H5P_DEFAULT) <= 0) return std::string();
  hdf5_type_part &part = r->types[t];
  hdf5_handle group(H5Gopen2(r->file.get(), name.c_str(), H5P_DEFAULT), H5Gclose);
  hsize_t n_pos = 0, n_vel = 0, n_mass = 0;
  int pos_bytes = 8, vel_bytes = 8;
  if (group.valid()) {
    part.coordinates.reset(open_float_dataset(group.get(), coordinates_name, 3, &n_pos, &pos_bytes));
    part.velocities.reset(open_float_dataset(group.get(), velocities_name, 3, &n_vel, &vel_bytes));
    part.masses.reset(open_float_dataset(group.get(), masses_name, 1, &n_mass, &part.mass_bytes));
  }
  if (!part.coordinates.valid() || !part.velocities.valid() || !part.masses.valid()) {
    return name + " datasets Coordinates (N x 3), Velocities (N x 3) and Masses (N), readable as float64";
  }
  if (n_vel != n_pos || n_mass != n_pos) return "as many velocities and masses as coordinates in " + name;
  // Rows declared but never written read as the fill value: not particles.
  for (const hid_t set : {part.coordinates.get(), part.velocities.get(), part.masses.get()}) {
    if (n_pos > 0 && H5Dget_storage_size(set) == 0) {
      return name + " datasets that hold their " + std::to_string(n_pos) + " rows (none was ever written)";
    }
  }
  part.present = true;
  part.rows = n_pos;
  r->rows += n_pos;
  r->position_bytes = std::min({r->position_bytes, pos_bytes, vel_bytes});
  r->mass_bytes = std::min(r->mass_bytes, part.mass_bytes);
  std::string why;
  part.ids.reset(open_id_dataset(group.get(), t, n_pos, &why));
  if (!part.ids.valid() && r->all_ids) r->ids_problem = why;
  r->all_ids = r->all_ids && part.ids.valid();
  return std::string();
}

// A text a Parameters group holds (the galaxy file, whoever wrote it).
std::string read_parameter_text(hid_t file, const char *name) {
  if (H5Lexists(file, "/Parameters", H5P_DEFAULT) <= 0) return std::string();
  hdf5_handle group(H5Gopen2(file, "/Parameters", H5P_DEFAULT), H5Gclose);
  return group.valid() ? read_string(group.get(), name) : std::string();
}

}  // namespace

hdf5_particle_reader *begin_hdf5_read(const std::string &path, read_error *error) {
  silence_library();
  error->line = 0;
  std::unique_ptr<hdf5_particle_reader> reader(new hdf5_particle_reader);
  reader->file.reset(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!reader->file.valid()) {
    error->what = "a complete HDF5 file (the library cannot open this one: truncated?)";
    return nullptr;
  }
  bool any = false;
  for (int t = 1; t < 6; ++t) {
    const std::string refused = open_type_part(reader.get(), t);
    if (!refused.empty()) {
      error->what = refused;
      return nullptr;
    }
    any = any || reader->types[t].present;
  }
  if (!any) {
    error->what = "an HDF5 particle file with a /PartType1 group (or /PartType2 to /PartType5)";
    return nullptr;
  }
  hold_header_against_rows(reader.get());
  reader->units_stated = read_units(reader->file.get(), &reader->units);
  if (H5Lexists(reader->file.get(), units_group, H5P_DEFAULT) > 0 && !reader->units_stated) {
    error->what = "a /Units group with positive U_L, U_M and U_t (scalar float64 attributes)";
    return nullptr;
  }
  const std::string refused = read_stored_model(reader.get());
  if (!refused.empty()) {
    error->what = "Parameters that galaxy-check can hold the file against: " + refused;
    return nullptr;
  }
  reader->galaxy_file_text = read_parameter_text(reader->file.get(), galaxy_file_name);
  return reader.release();
}

std::string hdf5_parameter_text(const hdf5_particle_reader *reader, const std::string &name) {
  return read_parameter_text(reader->file.get(), name.c_str());
}

namespace {

// Rows [first, first + count) of one type's datasets, appended to data.
bool read_type_rows(hdf5_particle_reader *r, int t, hsize_t first, hsize_t count, particle_data *data) {
  hdf5_type_part &part = r->types[t];
  if (!read_rows(part.coordinates.get(), 3, first, count, &data->pos) ||
      !read_rows(part.velocities.get(), 3, first, count, &data->vel) ||
      !read_rows(part.masses.get(), 1, first, count, &data->mass) ||
      (r->all_ids && !read_id_rows(part.ids.get(), first, count, &data->ids))) {
    return false;
  }
  // A mass in the table is what a code gives every particle of the type.
  if (part.table_mass != 0.0) {
    const double allowed = part.mass_bytes == 4 ? 0x1p-24 * std::fabs(part.table_mass) : 0.0;
    for (size_t i = data->mass.size() - static_cast<size_t>(count); i < data->mass.size(); ++i) {
      part.off_table += !(std::fabs(data->mass[i] - part.table_mass) <= allowed);
    }
  }
  data->type.insert(data->type.end(), static_cast<size_t>(count), static_cast<uint8_t>(t));
  return true;
}

}  // namespace

read_status read_hdf5_chunk(hdf5_particle_reader *reader, particle_data *data, size_t capacity,
                            read_error *error) {
  const hsize_t left = reader->rows - reader->next;
  hsize_t wanted = left < capacity ? left : static_cast<hsize_t>(capacity);
  while (wanted > 0) {
    while (reader->next_in_type == reader->types[reader->type].rows) {
      ++reader->type;
      reader->next_in_type = 0;
    }
    const hsize_t count = std::min(wanted, reader->types[reader->type].rows - reader->next_in_type);
    if (!read_type_rows(reader, reader->type, reader->next_in_type, count, data)) {
      error->line = 0;
      error->what = "datasets the library can read whole (a damaged file?)";
      return read_failed;
    }
    reader->next_in_type += count;
    reader->next += count;
    wanted -= count;
    data->nb_element += static_cast<int64_t>(count);
  }
  return reader->next == reader->rows ? read_done : read_more;
}

void end_hdf5_read(hdf5_particle_reader *reader) { delete reader; }

bool hdf5_seek(hdf5_particle_reader *reader, uint64_t index) {
  if (index > reader->rows) return false;
  reader->next = index;
  reader->type = 1;
  while (reader->type < 5 && index >= reader->types[reader->type].rows) index -= reader->types[reader->type++].rows;
  reader->next_in_type = index;
  return true;
}

void hdf5_off_table(const hdf5_particle_reader *reader, uint64_t counts[6]) {
  for (int t = 0; t < 6; ++t) counts[t] = reader->types[t].off_table;
}

void hdf5_add_off_table(hdf5_particle_reader *reader, const uint64_t counts[6]) {
  for (int t = 0; t < 6; ++t) reader->types[t].off_table += counts[t];
}

bool read_hdf5_particles(const std::string &path, particle_data *data, read_error *error) {
  hdf5_particle_reader *reader = begin_hdf5_read(path, error);
  if (reader == nullptr) return false;
  const read_status status = read_hdf5_chunk(reader, data, SIZE_MAX, error);
  end_hdf5_read(reader);
  return status == read_done;
}

#endif
