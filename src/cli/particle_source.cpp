#include "particle_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "waiting_stream.h"

particle_source::~particle_source() {
  if (text != nullptr) end_text_read(text);
  if (hdf5 != nullptr) end_hdf5_read(hdf5);
  if (binary != nullptr) end_binary_read(binary);
  if (text_file != nullptr) std::fclose(text_file);
}

bool open_particles(const char *path, particle_source *source, read_error *error, const std::atomic<bool> *cancel) {
  std::FILE *in = cancel != nullptr && is_fifo(path) ? open_fifo_for_reading(path, cancel) : std::fopen(path, "rb");
  if (in == nullptr) {
    error->line = -1;
    error->what = std::strerror(errno);
    return false;
  }
  struct stat st;
  source->regular = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
  if (source->regular) {
    unsigned char head[264];
    const size_t got = std::fread(head, 1, sizeof head, in);
    binary_format format;
    if (has_hdf5_signature(head, got)) {
      std::fclose(in);
      source->hdf5 = begin_hdf5_read(path, error);
      return source->hdf5 != nullptr;
    }
    if (detect_binary_format(head, got, static_cast<uint64_t>(st.st_size), &format)) {
      std::fclose(in);
      source->format = binary_format_name(format);
      source->binary = begin_binary_read(path, format, error);
      return source->binary != nullptr;
    }
    std::rewind(in);
    source->file_bytes = static_cast<double>(st.st_size);
  }
  source->text_file = in;
  source->text = begin_text_read(in);
  return true;
}

namespace {

// Particles held in memory appended to chunk; without IDs of their own,
// those the galaxy's files number them by.
read_status read_memory_chunk(particle_source *source, particle_data *chunk, size_t capacity) {
  const gal_system *sys = source->memory->sys;
  const uint64_t n = sys->nb_element > 0 ? static_cast<uint64_t>(sys->nb_element) : 0;
  const uint64_t first = std::min(source->memory_next, n), last = std::min<uint64_t>(n, first + capacity);
  chunk->pos.insert(chunk->pos.end(), sys->pos + 3 * first, sys->pos + 3 * last);
  chunk->vel.insert(chunk->vel.end(), sys->vel + 3 * first, sys->vel + 3 * last);
  chunk->mass.insert(chunk->mass.end(), sys->mass + first, sys->mass + last);
  chunk->type.insert(chunk->type.end(), last - first, 1);
  if (source->memory->ids != nullptr) {
    chunk->ids.insert(chunk->ids.end(), source->memory->ids + first, source->memory->ids + last);
  } else {
    for (uint64_t i = first; i < last; ++i) chunk->ids.push_back(i + 1);
  }
  chunk->nb_element += static_cast<int64_t>(last - first);
  source->memory_next = last;
  return last == n ? read_done : read_more;
}

read_status read_some(particle_source *source, particle_data *chunk, size_t capacity, read_error *error) {
  if (source->memory != nullptr) return read_memory_chunk(source, chunk, capacity);
  if (source->hdf5 != nullptr) return read_hdf5_chunk(source->hdf5, chunk, capacity, error);
  if (source->binary != nullptr) return read_binary_chunk(source->binary, chunk, capacity, error);
  return read_text_chunk(source->text, chunk, capacity, error);
}

}  // namespace

namespace {

// The file's own rows, from wherever the source stands.
read_status read_rows(particle_source *source, particle_data *chunk, size_t want, read_error *error) {
  chunk->pos.clear();
  chunk->vel.clear();
  chunk->mass.clear();
  chunk->ids.clear();
  chunk->type.clear();
  chunk->nb_element = 0;
  read_status status = read_more;
  // A split file's reader stops at the end of each of its files.
  while (status == read_more && static_cast<size_t>(chunk->nb_element) < want) {
    status = read_some(source, chunk, want - static_cast<size_t>(chunk->nb_element), error);
  }
  source->file_next += static_cast<uint64_t>(chunk->nb_element);
  return status;
}

bool seek_rows(particle_source *source, uint64_t index) {
  bool ok = false;
  if (source->memory != nullptr) {
    source->memory_next = index;
    ok = index <= static_cast<uint64_t>(std::max(source->memory->sys->nb_element, 0));
  } else if (source->hdf5 != nullptr) {
    ok = hdf5_seek(source->hdf5, index);
  } else if (source->binary != nullptr) {
    ok = binary_seek(source->binary, index);
  } else {
    // A text file is read from its start only; a view never steps back.
    ok = index == 0 && (source->view == nullptr || source->file_next == 0);
  }
  if (ok) source->file_next = index;
  return ok;
}

// The file's row index next, by seeking or, in a file that cannot seek,
// by reading past the rows before it.
bool reach_row(particle_source *source, uint64_t index, read_error *error) {
  if (source->file_next == index || seek_rows(source, index)) return true;
  particle_data skipped;
  while (source->file_next < index) {
    const uint64_t before = source->file_next;
    const read_status status = read_rows(source, &skipped, static_cast<size_t>(std::min<uint64_t>(index - before, 65536)), error);
    if (status == read_failed || source->file_next == before) return false;
  }
  return source->file_next == index;
}

// x -> R^T (x - X), the view's frame from the file's.
void turn_back(const double turn[3][3], const double origin[3], double *x) {
  const double d[3] = {x[0] - origin[0], x[1] - origin[1], x[2] - origin[2]};
  for (int i = 0; i < 3; ++i) x[i] = turn[0][i] * d[0] + turn[1][i] * d[1] + turn[2][i] * d[2];
}

read_status read_view(particle_source *source, particle_data *chunk, size_t want, read_error *error) {
  const source_view &view = *source->view;
  particle_data part;
  for (auto &v : {&chunk->pos, &chunk->vel}) v->clear();
  chunk->mass.clear(), chunk->ids.clear(), chunk->type.clear(), chunk->nb_element = 0;
  uint64_t before = 0;  // the view's particles in the ranges before this one
  for (const auto &[begin, end] : view.rows) {
    const uint64_t count = end - begin;
    if (static_cast<size_t>(chunk->nb_element) >= want) break;
    before += count;
    if (source->view_next >= before) continue;
    const uint64_t row = end - (before - source->view_next);
    const size_t take = static_cast<size_t>(std::min<uint64_t>(end - row, want - static_cast<size_t>(chunk->nb_element)));
    if (!reach_row(source, row, error)) return error->what.empty() && error->line == 0 ? read_done : read_failed;
    const read_status status = read_rows(source, &part, take, error);
    if (status == read_failed) return read_failed;
    for (int64_t i = 0; i < part.nb_element; ++i) {
      turn_back(view.turn, view.position, &part.pos[3 * i]);
      turn_back(view.turn, view.velocity, &part.vel[3 * i]);
    }
    // An ID of the galaxies before this one's reads as 0, which no galaxy holds.
    for (uint64_t &id : part.ids) id = id > view.id_offset ? id - view.id_offset : 0;
    chunk->pos.insert(chunk->pos.end(), part.pos.begin(), part.pos.end());
    chunk->vel.insert(chunk->vel.end(), part.vel.begin(), part.vel.end());
    chunk->mass.insert(chunk->mass.end(), part.mass.begin(), part.mass.end());
    chunk->ids.insert(chunk->ids.end(), part.ids.begin(), part.ids.end());
    chunk->type.insert(chunk->type.end(), part.type.begin(), part.type.end());
    chunk->nb_element += part.nb_element;
    source->view_next += static_cast<uint64_t>(part.nb_element);
    // The file ended before the view's rows did.
    if (static_cast<size_t>(part.nb_element) < take) return read_done;
  }
  return source->view_next >= view_particles(view) ? read_done : read_more;
}

}  // namespace

uint64_t view_particles(const source_view &view) {
  uint64_t n = 0;
  for (const auto &[begin, end] : view.rows) n += end - begin;
  return n;
}

read_status read_block(particle_source *source, particle_data *chunk, size_t want, read_error *error) {
  if (source->view != nullptr) return read_view(source, chunk, want, error);
  return read_rows(source, chunk, want, error);
}

bool seek_particles(particle_source *source, uint64_t index) {
  if (source->view == nullptr) return seek_rows(source, index);
  // A view of a file read only from its start moves on only.
  if (source->text != nullptr && index != source->view_next) return false;
  if (index > view_particles(*source->view)) return false;
  source->view_next = index;
  return true;
}

uint64_t known_particles(const particle_source &source) {
  if (source.view != nullptr) return source.text != nullptr ? 0 : view_particles(*source.view);
  if (source.memory != nullptr) return static_cast<uint64_t>(std::max(source.memory->sys->nb_element, 0));
  if (source.hdf5 != nullptr) return hdf5_row_count(source.hdf5);
  if (source.binary != nullptr) return binary_row_count(source.binary);
  return 0;
}

uint64_t expected_particles(const particle_source &source, uint64_t read) {
  if (source.view != nullptr) return view_particles(*source.view);
  if (source.text == nullptr) return known_particles(source);
  const long at = source.file_bytes > 0.0 ? std::ftell(source.text_file) : -1;
  if (at <= 0) return 0;
  return static_cast<uint64_t>(static_cast<double>(read) * source.file_bytes / static_cast<double>(at));
}

void convert_to_si(particle_data *chunk, const unit_scale &units) {
  if (units.length == 1.0 && units.mass == 1.0 && units.velocity == 1.0) return;
  for (double &x : chunk->pos) x *= units.length;
  for (double &v : chunk->vel) v *= units.velocity;
  for (double &m : chunk->mass) m *= units.mass;
}
