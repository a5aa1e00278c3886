// libFuzzer target: the particle-file reader, then the checks on whatever
// it accepts. Neither may crash, hang or read out of bounds.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "checks.h"
#include "particle_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // fmemopen refuses a zero size; an empty stream is a temporary file.
  std::vector<char> copy(data, data + size);
  std::FILE *in = size > 0 ? fmemopen(copy.data(), size, "r") : std::tmpfile();
  if (in == nullptr) return 0;
  particle_data particles;
  read_error error;
  const bool ok = read_particle_stream(in, &particles, &error);
  std::fclose(in);
  if (ok && particles.nb_element <= 1000) run_checks(particles, check_options{});
  return 0;
}
