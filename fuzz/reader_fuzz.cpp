// libFuzzer target: the particle-file readers (text, and GADGET or tipsy
// when the bytes start as one), then the checks on whatever they accept.
// None may crash, hang or read out of bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "binary_reader.h"
#include "checks.h"
#include "particle_reader.h"

namespace {

// The binary readers open files by path: the bytes go to a memory file.
void read_binary(const uint8_t *data, size_t size, binary_format format) {
  const int fd = memfd_create("particles", 0);
  if (fd < 0) return;
  if (write(fd, data, size) == static_cast<ssize_t>(size)) {
    read_error error;
    binary_particle_reader *reader = begin_binary_read("/proc/self/fd/" + std::to_string(fd), format, &error);
    if (reader != nullptr) {
      particle_data particles;
      read_status status = read_more;
      while (status == read_more && particles.nb_element <= 1000) {
        status = read_binary_chunk(reader, &particles, 256, &error);
      }
      binary_header_disagreements(reader);
      end_binary_read(reader);
      if (status == read_done) run_checks(particles, check_options{});
    }
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  binary_format format;
  if (detect_binary_format(data, size, size, &format)) {
    read_binary(data, size, format);
    return 0;
  }
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
