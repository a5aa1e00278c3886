// Reading GADGET (formats 1 and 2) and tipsy particle files back, and
// holding their headers against the data they frame.
#ifndef BINARY_READER_H
#define BINARY_READER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "binary_output.h"
#include "particle_reader.h"

// The format a file's first bytes (at least 264 of them when the file has
// them) and size say it is in: GADGET's first record length 256, format 2's
// label record "HEAD", tipsy's header (ndim 1 to 3, and a size that holds
// whole dark-matter particles); or, for a file that does not start as a
// text file does, the format whose first record it is with one field
// damaged (so that it is reported as a broken file of that format).
bool detect_binary_format(const unsigned char *head, size_t length, uint64_t file_size,
                          binary_format *format);

struct binary_particle_reader;

// Opens path (and, for a GADGET file whose header counts several files and
// whose name ends in ".0", its siblings). Null with the reason in error for
// a file that cannot be read as its format.
binary_particle_reader *begin_binary_read(const std::string &path, binary_format format, read_error *error);
void end_binary_read(binary_particle_reader *reader);

// The particles the data holds (whatever the header says).
uint64_t binary_row_count(const binary_particle_reader *reader);

// Bytes of each stored position and velocity: 4 or 8; of each mass (8
// for GADGET's mass table).
int binary_value_bytes(const binary_particle_reader *reader);
int binary_mass_bytes(const binary_particle_reader *reader);

// GADGET: the header's BoxSize (file 0's); false for tipsy, which has none.
bool binary_box_size(const binary_particle_reader *reader, double *box);

// Whether the format stores IDs (GADGET does; tipsy knows particles by
// their order). read_binary_chunk then fills data->ids.
bool binary_stores_ids(const binary_particle_reader *reader);

// The particles of each type the files hold, as their headers count them
// (when those disagree with the data, as many as the data holds; the
// header's line says so): GADGET's npart of every file, tipsy's ndark as
// type 1 and nstar as type 4.
type_counts binary_type_counts(const binary_particle_reader *reader);

// Appends the next particles, at most capacity, to data (as
// read_text_chunk), with their types: GADGET's in type order, tipsy's dark
// ones, then its stars.
read_status read_binary_chunk(binary_particle_reader *reader, particle_data *data, size_t capacity,
                              read_error *error);

// Goes to particle index of the set (every file's rows in turn): the next
// chunk starts there. False beyond its particles.
bool binary_seek(binary_particle_reader *reader, uint64_t index);

// What the header says that the data does not bear out, one sentence each;
// and a description of the layout read ("gadget2, float32, 32-bit IDs").
std::vector<std::string> binary_header_disagreements(const binary_particle_reader *reader);
std::string binary_layout_description(const binary_particle_reader *reader);

// Records the codes skip: format 1's after the IDs (with the masses in the
// table), format 2's of other labels or repeated ones.
std::vector<std::string> binary_skipped_records(const binary_particle_reader *reader);

// tipsy, once every chunk was read: the softenings that are not finite or
// below 0, and the least and largest of the others; false for GADGET.
bool binary_softening(const binary_particle_reader *reader, uint64_t *bad, double *least, double *largest);
// Another reader's softenings of the same file (another share of it) added in.
void binary_add_softening(binary_particle_reader *reader, uint64_t bad, double least, double largest);

#endif
