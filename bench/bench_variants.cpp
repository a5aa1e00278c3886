// The yardsticks the shipped program is measured against, each a whole run
// like galaxy-ic's own:
//   baseline N FILE     builds the galaxy, writes it with one fprintf a line
//   floor N BYTES FILE  builds the galaxy, then writes BYTES bytes from
//                       memory to FILE: the two costs no writer can avoid
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "baseline_writer.h"
#include "galaxy_types.h"

namespace {

gal_system *build(const char *count) {
  return alloc_gal_system(static_cast<int32_t>(std::atol(count)), 1e18, 8.0 * 1e18, 1.9891e39,
                          1000.0 / 1000, 1000.0);
}

int fail(const char *what) {
  std::fprintf(stderr, "bench_variants: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "baseline") == 0) {
    gal_system *sys = build(argv[2]);
    std::FILE *file = std::fopen(argv[3], "w");
    if (sys == nullptr || file == nullptr) return fail("cannot start");
    const bool ok = write_particle_file_baseline(file, sys);
    if (std::fclose(file) != 0 || !ok) return fail("write failed");
    free_gal_system(sys);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "floor") == 0) {
    gal_system *sys = build(argv[2]);
    long long remaining = std::atoll(argv[3]);
    std::FILE *file = std::fopen(argv[4], "w");
    if (sys == nullptr || file == nullptr) return fail("cannot start");
    // Same chunk size as the shipped writer hands to the file.
    const size_t chunk = size_t{1} << 18;
    std::unique_ptr<char[]> bytes(new char[chunk]);
    std::memset(bytes.get(), 'x', chunk);
    while (remaining > 0) {
      const size_t n = remaining < static_cast<long long>(chunk) ? static_cast<size_t>(remaining) : chunk;
      if (std::fwrite(bytes.get(), 1, n, file) != n) return fail("write failed");
      remaining -= static_cast<long long>(n);
    }
    if (std::fclose(file) != 0) return fail("close failed");
    free_gal_system(sys);
    return 0;
  }
  return fail("usage: bench_variants baseline N FILE | floor N BYTES FILE");
}
