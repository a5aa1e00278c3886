// The particle file in the HDF5 layout N-body codes read as initial
// conditions: a Header group, a Units group, and the particles of each type
// N present (PartTypeN: Coordinates, Velocities, Masses, ParticleIDs; type
// 1 alone for a galaxy of one group), in the unit system the Units group
// states.
#ifndef PARTICLE_HDF5_H
#define PARTICLE_HDF5_H

#include <cstdint>
#include <string>
#include <vector>

#include "galaxy_types.h"
#include "galaxy_parameters.h"
#include "particle_groups.h"
#include "particle_reader.h"
#include "provenance.h"
#include "units.h"
#include "written_columns.h"

// Whether this build has the HDF5 library.
bool hdf5_available();

// Whether the library may be called from two threads at once (true
// without it).
bool hdf5_thread_safe();

// The header's per-type counts: for n particles, all of type 1; or for the
// types of groups.
struct hdf5_counts {
  uint64_t this_file[6];
  uint32_t total[6];      // n mod 2^32
  uint32_t high_word[6];  // n >> 32
};
hdf5_counts compute_hdf5_counts(uint64_t n);
hdf5_counts compute_hdf5_counts(const type_shares &types);

enum hdf5_result { hdf5_written, hdf5_create_failed, hdf5_write_failed, hdf5_close_failed };

// An HDF5 particle file being written, its datasets created at full size.
struct hdf5_writer;

// Creates path (truncating it) with the header, the units and empty
// datasets for total particles as groups (none: one group of type 1), every
// value to be written in frame, the masses and IDs as columns say, and with
// provenance (if any) as the Parameters and Code groups (and its galaxy
// file's text as Parameters/GalaxyFile). Given groups, each PartTypeN says
// in ComponentNames which groups it holds. Null when the file cannot be
// created, or (with the reason in why, when given, and no file touched)
// when groups are not in a file's order (groups_are_ordered). No object
// records a time: the same run gives the same bytes.
hdf5_writer *open_hdf5_writer(const std::string &path, const gal_system *sys, uint64_t total,
                              const output_frame &frame = output_frame(),
                              const run_provenance *provenance = nullptr,
                              const written_columns &columns = written_columns(),
                              const particle_groups &groups = particle_groups(), std::string *why = nullptr);

// Writes particles [first, last) of sys, of global indices offset + first
// …, into the rows of their types' datasets: from the record's arrays with
// no copy in SI, else converted a block at a time.
bool write_hdf5_rows(hdf5_writer *writer, const gal_system *sys, int32_t first, int32_t last,
                     uint64_t offset);

// Flushes and closes; releases the writer whatever happens. written false
// means a write already failed.
hdf5_result close_hdf5_writer(hdf5_writer *writer, bool written);

// The whole of sys to path in one call.
hdf5_result write_hdf5_file(const std::string &path, const gal_system *sys);

// The 8-byte signature every HDF5 file starts with.
bool has_hdf5_signature(const unsigned char *bytes, size_t length);

// An HDF5 particle file being read a chunk at a time.
struct hdf5_particle_reader;

// Opens path; null, with a reason in error (line 0), for a file that is not
// one in this layout. end_hdf5_read releases the reader.
hdf5_particle_reader *begin_hdf5_read(const std::string &path, read_error *error);
void end_hdf5_read(hdf5_particle_reader *reader);

// The particles the file holds.
uint64_t hdf5_row_count(const hdf5_particle_reader *reader);

// The units the file's Units group states (SI without one), and whether
// it states them.
unit_scale hdf5_file_units(const hdf5_particle_reader *reader, bool *stated);

// The model the file's Parameters group says it was made from (SI; centre
// and bulk velocity converted from the file's units); false without one of
// galaxy-ic's. A group of galaxy-ic's that states nonsense (a profile that
// does not exist, a mass of -1) has made begin_hdf5_read refuse the file,
// naming the field.
bool hdf5_stored_model(const hdf5_particle_reader *reader, galaxy_parameters *galaxy, bool *equilibrium);

// Whether the file's Parameters say it holds a galaxy of several
// components (Law "galaxy"), described by its galaxy file.
bool hdf5_stored_galaxy(const hdf5_particle_reader *reader);

// The particles of each type the file holds (its PartTypeN datasets).
type_counts hdf5_type_counts(const hdf5_particle_reader *reader);

// The galaxy file the file was made from (Parameters/GalaxyFile), or empty.
std::string hdf5_galaxy_file_text(const hdf5_particle_reader *reader);

// A text field of the file's Parameters (an encounter's Galaxy1GalaxyFile),
// or empty.
std::string hdf5_parameter_text(const hdf5_particle_reader *reader, const std::string &name);

// The header's BoxSize; false when the header states none.
bool hdf5_box_size(const hdf5_particle_reader *reader, double *box);

// Whether the file has ParticleIDs for every type, read into each chunk's
// ids; why not when it has none.
bool hdf5_stores_ids(const hdf5_particle_reader *reader, std::string *why);

// Bytes of the stored positions and velocities (the wider), and masses.
void hdf5_value_bytes(const hdf5_particle_reader *reader, int *position_bytes, int *mass_bytes);

// What the header says that the datasets do not bear out, one sentence
// each (known whole once every chunk was read); and the layout read.
std::vector<std::string> hdf5_header_disagreements(const hdf5_particle_reader *reader);
std::string hdf5_layout_description(const hdf5_particle_reader *reader);

// Appends the next particles, at most capacity, to data (as
// read_text_chunk): every type's in turn, type 1 first.
read_status read_hdf5_chunk(hdf5_particle_reader *reader, particle_data *data, size_t capacity,
                            read_error *error);

// Goes to particle index of the file (every type's rows in turn): the next
// chunk starts there. False beyond its particles.
bool hdf5_seek(hdf5_particle_reader *reader, uint64_t index);

// The masses of each type found to differ from its MassTable entry in the
// chunks read, and those of another reader of the same file added in (so
// that readers of several shares of it say what one would).
void hdf5_off_table(const hdf5_particle_reader *reader, uint64_t counts[6]);
void hdf5_add_off_table(hdf5_particle_reader *reader, const uint64_t counts[6]);

// Reads the particles of an HDF5 file in that layout. Returns false with a
// reason in error (line 0) for a file that is not one.
bool read_hdf5_particles(const std::string &path, particle_data *data, read_error *error);

#endif
