// Reads a particle file in exactly the layout galaxy-ic writes.
#ifndef PARTICLE_READER_H
#define PARTICLE_READER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The particle types of a file, GADGET's numbering (HDF5 PartTypeN, GADGET
// npart[N]); tipsy's dark particles are type 1, its stars type 4; a text
// file's are all type 1.
constexpr uint8_t tipsy_dark_type = 1, tipsy_star_type = 4;

// The particles of each type a file holds.
struct type_counts {
  uint64_t of[6] = {0, 0, 0, 0, 0, 0};
};

// The particles of a file, in index order (types in order), in the file's
// units.
struct particle_data {
  std::vector<double> pos;   // 3 per particle
  std::vector<double> vel;   // 3 per particle
  std::vector<double> mass;  // 1 per particle
  std::vector<uint64_t> ids; // 1 per particle in formats that store IDs, else empty
  std::vector<uint8_t> type; // 1 per particle
  int64_t nb_element = 0;
};

// Why a file was refused: the 1-based line (0 when no line is involved)
// and what was expected there.
struct read_error {
  long line = 0;
  std::string what;
};

// A text particle file being read a chunk at a time.
struct text_particle_reader;

enum read_status { read_more, read_done, read_failed };

// Starts reading in (not owned); end_text_read releases the reader.
text_particle_reader *begin_text_read(std::FILE *in);
void end_text_read(text_particle_reader *reader);

// Appends the next particles, at most capacity, to data. read_more: more
// may follow; read_done: the file ended well (an empty file is one of zero
// particles); read_failed: error says where and why.
read_status read_text_chunk(text_particle_reader *reader, particle_data *data, size_t capacity,
                            read_error *error);

// Longest line a particle file can hold: a key and the 317 characters of
// the largest "%lf" number. Anything longer is refused before it is read.
constexpr size_t particle_line_max = 400;

// Reads the whole stream into data. Every text "%lf" or the shortest form
// writes is accepted,
// "nan", "-nan", "inf" and "-inf" included. An empty stream is a file of
// zero particles, as galaxy-ic writes for -p 0. Anything else, or a read
// failure, fills error and returns false.
bool read_particle_stream(std::FILE *in, particle_data *data, read_error *error);

// Parses text[0, length) as "%lf" writes numbers, or as format_shortest
// writes them (exactly its text for the value). Returns false for anything
// else or a number beyond the range of a double.
bool parse_particle_number(const char *text, size_t length, double *value);

// Parses text[0, length) as "%lf" writes numbers. Returns false if it is
// not such a number or lies beyond the range of a double.
bool parse_fixed6(const char *text, size_t length, double *value);

#endif
