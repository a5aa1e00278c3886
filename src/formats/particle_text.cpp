#include "particle_text.h"

#include <cstring>
#include <vector>

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

template <size_t (*format_number)(double, char *)>
char *put_number_line(char *p, const char *key, double value) {
  std::memcpy(p, key, key_length);
  p += key_length;
  p += format_number(value, p);
  *p++ = '\n';
  return p;
}

// The sections of particles [first, last), whose values (already in the
// file's frame) are pos[3i + k], vel[3i + k] and mass, or masses[i] when
// they differ, i counted from first.
template <size_t (*format_number)(double, char *)>
void format_sections(int32_t first, int32_t last, const double *pos, const double *vel, double mass,
                     const double *masses, text_buffer *out) {
  static const char *const pos_keys[3] = {"x_0 = ", "x_1 = ", "x_2 = "};
  static const char *const vel_keys[3] = {"v_0 = ", "v_1 = ", "v_2 = "};
  // Particles of one mass share one mass line.
  char mass_line[7 + fixed6_max_length + format_slack + 1];
  std::memcpy(mass_line, "mass = ", 7);
  size_t mass_line_length = 7 + format_number(mass, mass_line + 7);
  mass_line[mass_line_length++] = '\n';

  // Room for typical sections up front; a section of extreme values (up to
  // section_max bytes) grows the buffer when it comes.
  reserve(out, static_cast<size_t>(last - first) * typical_section + section_max);
  for (int32_t j = first; j < last; ++j) {
    reserve(out, section_max);
    char *p = out->bytes.get() + out->length;
    const size_t i = static_cast<size_t>(j - first);
    std::memcpy(p, "[element", 8);
    p += 8;
    p += format_unsigned(static_cast<uint64_t>(j), p);
    *p++ = ']';
    *p++ = '\n';
    if (masses != nullptr) {
      std::memcpy(p, "mass = ", 7);
      p += 7;
      p += format_number(masses[i], p);
      *p++ = '\n';
    } else {
      std::memcpy(p, mass_line, mass_line_length);
      p += mass_line_length;
    }
    for (int k = X; k <= Z; ++k) p = put_number_line<format_number>(p, pos_keys[k], pos[3 * i + k]);
    for (int k = X; k <= Z; ++k) p = put_number_line<format_number>(p, vel_keys[k], vel[3 * i + k]);
    *p++ = '\n';
    out->length = static_cast<size_t>(p - out->bytes.get());
  }
}

}  // namespace

void format_particle_sections(const gal_system *sys, int32_t first, int32_t last,
                              const output_frame &frame, text_buffer *out, const written_columns &columns) {
  if (last <= first) return;
  const size_t at = static_cast<size_t>(first) * static_cast<size_t>(sys->dimension);
  const size_t n = static_cast<size_t>(last - first);
  std::vector<double> pos, vel, masses;
  const double *p = sys->pos + at, *v = sys->vel + at;
  const double *m = columns.row_masses ? sys->mass + first : nullptr;
  if (!is_identity_frame(frame) && !frame.values_converted) {
    pos.resize(3 * n);
    vel.resize(3 * n);
    written_positions(frame, p, n, pos.data());
    written_velocities(frame, v, n, vel.data());
    p = pos.data();
    v = vel.data();
    if (m != nullptr) {
      masses.resize(n);
      for (size_t i = 0; i < n; ++i) masses[i] = m[i] / frame.scale.mass;
      m = masses.data();
    }
  }
  const double mass = one_mass(columns, sys->mass_element / frame.scale.mass);
  if (frame.system == units_si) {
    format_sections<format_fixed6>(first, last, p, v, mass, m, out);
  } else {
    format_sections<format_shortest>(first, last, p, v, mass, m, out);
  }
}

bool write_particle_file(std::FILE *file, const gal_system *sys, const output_frame &frame) {
  // Blocks of sections go to the file in large chunks: the file is never
  // held whole in memory.
  constexpr int32_t block = 1024;
  text_buffer buffer;
  for (int32_t first = 0; first < sys->nb_element; first += block) {
    const int32_t last = sys->nb_element - first < block ? sys->nb_element : first + block;
    buffer.length = 0;
    format_particle_sections(sys, first, last, frame, &buffer);
    if (std::fwrite(buffer.bytes.get(), 1, buffer.length, file) != buffer.length) return false;
  }
  return true;
}

bool write_particle_file(std::FILE *file, const gal_system *sys) {
  return write_particle_file(file, sys, output_frame());
}
