// Sources of the uniform draws the samplers consume.
#ifndef RANDOM_STREAM_H
#define RANDOM_STREAM_H

#include <cstdint>
#include <cstdlib>

enum random_source {
  source_c_library,      // rand(): the process-wide sequence, with its lock
  source_private_copy,   // the same numbers as an unseeded rand(), lock-free
  source_counter_based,  // Philox4x32-10 keyed by a seed, one stream a particle
};

// Not copyable once initialised: the private copy's state points into itself.
struct random_stream {
  random_source source = source_c_library;
  random_data data{};       // source_private_copy
  char state[128]{};        // glibc's default state size for rand()
  uint64_t seed = 0;        // source_counter_based: the key
  uint64_t particle = 0;    // source_counter_based: counter words 2 and 3
  uint32_t next_draw = 0;   // draw number within the particle
  double ahead[8]{};        // draws 0-7 of the particle, made together
};

// Whether this build has the counter-based generator (Random123).
bool counter_based_stream_available();

// Draws from rand() itself.
void init_c_library_stream(random_stream *stream);

// Draws the numbers an unseeded rand() would give, from a private state:
// no lock, and the process-wide sequence is left alone.
void init_private_copy_stream(random_stream *stream);

// Draws from Philox4x32-10 keyed by seed. Call start_particle_stream before
// each particle's first draw. Only when counter_based_stream_available().
void init_counter_based_stream(random_stream *stream, uint64_t seed);

// Restarts a counter-based stream at draw 0 of particle index; the others
// ignore it. Particle i's draws are then a pure function of (seed, i).
void start_particle_stream(random_stream *stream, uint64_t index);

// One uniform draw: rand() / 2147483647.0 in [0, 1] for the first two
// sources; for the counter-based one, a double in (0, 1) carrying 52 random
// bits, never 0 or 1.
double next_uniform(random_stream *stream);

#endif
