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

read_status read_block(particle_source *source, particle_data *chunk, size_t want, read_error *error) {
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
  return status;
}

bool seek_particles(particle_source *source, uint64_t index) {
  if (source->memory != nullptr) {
    source->memory_next = index;
    return index <= known_particles(*source);
  }
  if (source->hdf5 != nullptr) return hdf5_seek(source->hdf5, index);
  if (source->binary != nullptr) return binary_seek(source->binary, index);
  return index == 0;
}

uint64_t known_particles(const particle_source &source) {
  if (source.memory != nullptr) return static_cast<uint64_t>(std::max(source.memory->sys->nb_element, 0));
  if (source.hdf5 != nullptr) return hdf5_row_count(source.hdf5);
  if (source.binary != nullptr) return binary_row_count(source.binary);
  return 0;
}

uint64_t expected_particles(const particle_source &source, uint64_t read) {
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
