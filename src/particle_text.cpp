#include "particle_text.h"

#include <cstring>

#include "fixed_format.h"

namespace {

constexpr size_t key_length = 6;  // "x_0 = "
constexpr size_t number_line_max = key_length + fixed6_max_length + format_slack + 1;
constexpr size_t section_max = sizeof "[element2147483647]\n" + 7 * number_line_max + 1;
constexpr size_t typical_section = 256;

void reserve(text_buffer *out, size_t wanted) {
  if (out->capacity - out->length >= wanted) return;
  size_t capacity = out->capacity == 0 ? wanted : out->capacity;
  while (capacity - out->length < wanted) capacity *= 2;
  std::unique_ptr<char[]> bytes(new char[capacity]);
  if (out->length > 0) std::memcpy(bytes.get(), out->bytes.get(), out->length);
  out->bytes = std::move(bytes);
  out->capacity = capacity;
}

char *put_number_line(char *p, const char *key, double value) {
  std::memcpy(p, key, key_length);
  p += key_length;
  p += format_fixed6(value, p);
  *p++ = '\n';
  return p;
}

}  // namespace

void format_particle_sections(const gal_system *sys, int32_t first, int32_t last,
                              text_buffer *out) {
  static const char *const pos_keys[3] = {"x_0 = ", "x_1 = ", "x_2 = "};
  static const char *const vel_keys[3] = {"v_0 = ", "v_1 = ", "v_2 = "};
  if (last <= first) return;

  // Every particle has the same mass line.
  char mass_line[7 + fixed6_max_length + format_slack + 1];
  std::memcpy(mass_line, "mass = ", 7);
  size_t mass_line_length = 7 + format_fixed6(sys->mass_element, mass_line + 7);
  mass_line[mass_line_length++] = '\n';

  // Room for typical sections up front; a section of extreme values (up to
  // section_max bytes) grows the buffer when it comes.
  reserve(out, static_cast<size_t>(last - first) * typical_section + section_max);
  for (int32_t j = first; j < last; ++j) {
    reserve(out, section_max);
    char *p = out->bytes.get() + out->length;
    const double *pos = sys->pos + j * sys->dimension;
    const double *vel = sys->vel + j * sys->dimension;
    std::memcpy(p, "[element", 8);
    p += 8;
    p += format_unsigned(static_cast<uint64_t>(j), p);
    *p++ = ']';
    *p++ = '\n';
    std::memcpy(p, mass_line, mass_line_length);
    p += mass_line_length;
    for (int k = X; k <= Z; ++k) p = put_number_line(p, pos_keys[k], pos[k]);
    for (int k = X; k <= Z; ++k) p = put_number_line(p, vel_keys[k], vel[k]);
    *p++ = '\n';
    out->length = static_cast<size_t>(p - out->bytes.get());
  }
}

bool write_particle_file(std::FILE *file, const gal_system *sys) {
  // Blocks of sections go to the file in large chunks: the file is never
  // held whole in memory.
  constexpr int32_t block = 1024;
  text_buffer buffer;
  for (int32_t first = 0; first < sys->nb_element; first += block) {
    const int32_t last = sys->nb_element - first < block ? sys->nb_element : first + block;
    buffer.length = 0;
    format_particle_sections(sys, first, last, &buffer);
    if (std::fwrite(buffer.bytes.get(), 1, buffer.length, file) != buffer.length) return false;
  }
  return true;
}
