#include "random_stream.h"

#include <cstring>

#ifdef GALAXY_HAVE_RANDOM123
#include <Random123/philox.h>
#include <Random123/uniform.hpp>
#endif

bool counter_based_stream_available() {
#ifdef GALAXY_HAVE_RANDOM123
  return true;
#else
  return false;
#endif
}

void init_c_library_stream(random_stream *stream) { stream->source = source_c_library; }

void init_private_copy_stream(random_stream *stream) {
  stream->source = source_private_copy;
  // glibc's rand() starts as if from initstate(1, state, 128); random_data
  // must be zeroed first or initstate_r reads garbage.
  std::memset(&stream->data, 0, sizeof stream->data);
  initstate_r(1, stream->state, sizeof stream->state, &stream->data);
}

void init_counter_based_stream(random_stream *stream, uint64_t seed) {
  stream->source = source_counter_based;
  stream->seed = seed;
  start_particle_stream(stream, 0);
}

namespace {

#ifdef GALAXY_HAVE_RANDOM123
// Counter: draw pair, a word kept 0 for other uses of the same key, and the
// particle index; key: the seed. Each block gives two draws of 64 bits.
void counter_based_pair(const random_stream *stream, uint32_t pair, double *out) {
  const r123::Philox4x32::ctr_type counter = {
      {pair, 0, static_cast<uint32_t>(stream->particle),
       static_cast<uint32_t>(stream->particle >> 32)}};
  const r123::Philox4x32::key_type key = {
      {static_cast<uint32_t>(stream->seed), static_cast<uint32_t>(stream->seed >> 32)}};
  const r123::Philox4x32::ctr_type bits = r123::Philox4x32()(counter, key);
  out[0] = r123::u01fixedpt<double>((static_cast<uint64_t>(bits[1]) << 32) | bits[0]);
  out[1] = r123::u01fixedpt<double>((static_cast<uint64_t>(bits[3]) << 32) | bits[2]);
}
#else
void counter_based_pair(const random_stream *, uint32_t, double *) { std::abort(); }
#endif

// Draws past the first eight (a speed that needs more than one trial) are
// made a pair at a time; the second half waits in ahead[1].
double next_counter_based_uniform(random_stream *stream) {
  const uint32_t draw = stream->next_draw++;
  if (draw < 8) return stream->ahead[draw];
  if ((draw & 1u) != 0) return stream->ahead[1];
  counter_based_pair(stream, draw >> 1, stream->ahead);
  return stream->ahead[0];
}

}  // namespace

void start_particle_stream(random_stream *stream, uint64_t index) {
  stream->particle = index;
  stream->next_draw = 0;
  // Every particle takes at least eight draws (six, and two per speed
  // trial): making them together lets the four blocks overlap in the CPU.
  if (stream->source != source_counter_based) return;
  for (uint32_t pair = 0; pair < 4; ++pair) counter_based_pair(stream, pair, stream->ahead + 2 * pair);
}

double next_uniform(random_stream *stream) {
  switch (stream->source) {
    case source_private_copy: {
      int32_t value;
      random_r(&stream->data, &value);
      return static_cast<double>(value) / 2147483647.0;
    }
    case source_counter_based:
      return next_counter_based_uniform(stream);
    case source_c_library:
      break;
  }
  return static_cast<double>(std::rand()) / 2147483647.0;
}
