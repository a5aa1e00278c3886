#include "generation.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "binary_output.h"
#include "disc_sampler.h"
#include "error_report.h"
#include "profile_sampler.h"
#include "particle_hdf5.h"
#include "particle_text.h"
#include "progress.h"
#include "random_stream.h"
#include "spheroid_flattening.h"

namespace {

// Particles a worker creates and formats at a time (about 1.8 MB of text).
constexpr int32_t block_particles = 8192;
// How often the thread that follows the unseeded sequence publishes progress.
constexpr int32_t publish_every = 1024;

struct block_slot {
  text_buffer text;
  bool ready = false;
};

// Blocks are claimed in index order by any worker, formatted into one of a
// bounded ring of slots, and written in index order by whichever worker finds
// the next one ready: at most slots.size() blocks of text exist at once.
struct pipeline {
  gal_system *sys = nullptr;
  const generation_plan *plan = nullptr;
  particle_sink sink;
  int64_t nb_blocks = 0;

  std::mutex mutex;
  std::condition_variable changed;
  int64_t next_claim = 0;
  int64_t next_write = 0;
  bool writing = false;
  bool failed = false;
  std::vector<block_slot> slots;

  // The unseeded sequence: its draws stay in order on one thread (the
  // drawer), or are taken by the only worker when there is one thread.
  bool drawer_thread = false;
  random_stream sequence;
  std::mutex drawn_mutex;
  std::condition_variable drawn_changed;
  int32_t drawn = 0;
  std::atomic<bool> stop{false};
};

int32_t block_end(const pipeline *p, int64_t k) {
  return static_cast<int32_t>(
      std::min<int64_t>((k + 1) * block_particles, p->sys->nb_element));
}

// The component global index i belongs to (components non-empty).
const component_run &component_of(const generation_plan &plan, uint64_t i) {
  const auto after = std::upper_bound(plan.components.begin(), plan.components.end(), i,
                                      [](uint64_t index, const component_run &c) { return index < c.first; });
  return *(after - 1);
}

// Particle j of the record: its draws (the black hole takes none), then
// its components and its component's mass. draw_one and finish_one split
// the same between the thread that takes the draws in order and the others.
void draw_one(gal_system *sys, int32_t j, random_stream *stream, const generation_plan &plan) {
  if (plan.components.empty()) {
    draw_particle(sys, j, stream, plan.law, plan.sampler);
    return;
  }
  const component_run &c = component_of(plan, plan.first_index + static_cast<uint64_t>(j));
  if (c.disc != nullptr) {
    draw_disc_particle(sys, j, stream, *c.disc);
  } else if (c.sampler != nullptr) {
    draw_particle(sys, j, stream, plan.law, c.sampler);
  }
}

void finish_one(gal_system *sys, int32_t j, const generation_plan &plan) {
  if (plan.components.empty()) {
    finish_particle(sys, j, plan.law);
    return;
  }
  const component_run &c = component_of(plan, plan.first_index + static_cast<uint64_t>(j));
  if (c.disc != nullptr) {
    finish_disc_particle(sys, j);
  } else if (c.sampler != nullptr) {
    finish_particle(sys, j, plan.law);
    if (c.flattening != nullptr) stretch_spheroid_particle(sys, j, *c.flattening);
  } else {
    for (int k = 0; k < 3; ++k) sys->pos[3 * j + k] = sys->vel[3 * j + k] = 0.0;
  }
  sys->mass[j] = c.mass;
}

void place_one(gal_system *sys, int32_t j, random_stream *stream, const generation_plan &plan) {
  draw_one(sys, j, stream, plan);
  finish_one(sys, j, plan);
}

// Takes every draw of the unseeded sequence in order, publishing progress.
void run_drawer(pipeline *p) {
  const int32_t n = p->sys->nb_element;
  for (int32_t j = 0; j < n && !p->stop.load(std::memory_order_relaxed); ++j) {
    draw_one(p->sys, j, &p->sequence, *p->plan);
    if ((j + 1) % publish_every == 0 || j + 1 == n) {
      std::lock_guard<std::mutex> lock(p->drawn_mutex);
      p->drawn = j + 1;
      p->drawn_changed.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(p->drawn_mutex);
  p->drawn = n;  // also on stop: nobody may wait for draws that never come
  p->drawn_changed.notify_all();
}

// Creates the particles of block k and formats them into its slot.
void produce_block(pipeline *p, int64_t k) {
  gal_system *sys = p->sys;
  const int32_t first = static_cast<int32_t>(k * block_particles);
  const int32_t last = block_end(p, k);
  if (p->plan->already_placed) {
    // nothing to draw
  } else if (p->plan->seeded) {
    random_stream stream;
    init_counter_based_stream(&stream, p->plan->seed);
    for (int32_t j = first; j < last; ++j) {
      start_particle_stream(&stream, p->plan->first_index + static_cast<uint64_t>(j));
      place_one(sys, j, &stream, *p->plan);
    }
  } else if (!p->drawer_thread) {
    for (int32_t j = first; j < last; ++j) place_one(sys, j, &p->sequence, *p->plan);
  } else {
    {
      std::unique_lock<std::mutex> lock(p->drawn_mutex);
      p->drawn_changed.wait(lock, [&]() { return p->drawn >= last; });
    }
    if (p->stop.load(std::memory_order_relaxed)) return;
    for (int32_t j = first; j < last; ++j) finish_one(sys, j, *p->plan);
  }
  if (p->sink.text != nullptr) {
    block_slot &slot = p->slots[static_cast<size_t>(k % static_cast<int64_t>(p->slots.size()))];
    slot.text.length = 0;
    format_particle_sections(sys, first, last, p->sink.frame, &slot.text, p->sink.columns);
  }
}

// The sink's progress after block k, scaled from the record's share.
void report_block(pipeline *p, int64_t k) {
  const particle_sink &sink = p->sink;
  const double share = static_cast<double>(block_end(p, k)) / p->sys->nb_element;
  report_progress(sink.progress, static_cast<uint64_t>(share * sink.progress_total),
                  sink.progress_total);
}

// Hands block k, produced into slot, to the sink.
bool write_block(pipeline *p, int64_t k, const block_slot &slot) {
  if (p->sink.text != nullptr) {
    const size_t length = slot.text.length;
    return std::fwrite(slot.text.bytes.get(), 1, length, p->sink.text) == length;
  }
  const int32_t first = static_cast<int32_t>(k * block_particles);
  if (p->sink.hdf5 != nullptr) {
    return write_hdf5_rows(p->sink.hdf5, p->sys, first, block_end(p, k), p->plan->first_index);
  }
  if (p->sink.binary != nullptr) {
    return write_binary_rows(p->sink.binary, p->sys, first, block_end(p, k), p->plan->first_index);
  }
  return true;
}

// Writes the next block when it is ready, else claims and produces a new
// one while the ring has room, else waits.
void run_worker(pipeline *p) {
  const int64_t nb_slots = static_cast<int64_t>(p->slots.size());
  std::unique_lock<std::mutex> lock(p->mutex);
  while (!p->failed && p->next_write < p->nb_blocks) {
    if ((p->sink.cancel != nullptr && p->sink.cancel->load(std::memory_order_relaxed)) ||
        draws_exhausted(*p->plan)) {
      p->failed = true;
      p->stop.store(true, std::memory_order_relaxed);
      p->changed.notify_all();
      break;
    }
    block_slot &head = p->slots[static_cast<size_t>(p->next_write % nb_slots)];
    if (!p->writing && head.ready) {
      p->writing = true;
      lock.unlock();
      const bool ok = write_block(p, p->next_write, head);
      if (!ok && p->sink.write_error != nullptr) *p->sink.write_error = errno;
      if (ok && p->sink.progress != nullptr) report_block(p, p->next_write);
      lock.lock();
      head.ready = false;
      p->writing = false;
      ++p->next_write;
      if (!ok) {
        p->failed = true;
        p->stop.store(true, std::memory_order_relaxed);
      }
      p->changed.notify_all();
    } else if (p->next_claim < p->nb_blocks && p->next_claim < p->next_write + nb_slots) {
      const int64_t k = p->next_claim++;
      lock.unlock();
      produce_block(p, k);
      lock.lock();
      p->slots[static_cast<size_t>(k % nb_slots)].ready = true;
      p->changed.notify_all();
    } else {
      p->changed.wait(lock);
    }
  }
}

}  // namespace

bool draws_exhausted(const generation_plan &plan) {
  if (plan.sampler != nullptr && plan.sampler->exhausted.load(std::memory_order_relaxed)) return true;
  for (const component_run &c : plan.components) {
    if (c.sampler != nullptr && c.sampler->exhausted.load(std::memory_order_relaxed)) return true;
    if (c.disc != nullptr && c.disc->exhausted.load(std::memory_order_relaxed)) return true;
  }
  return false;
}

void report_exhausted_draws() {
  report_error("erreur: a particle's speed was not found in a million trials of the sampler: the run is "
               "abandoned, no file written");
}

bool generate_particle_file(gal_system *sys, const generation_plan &plan,
                            const particle_sink &sink) {
  pipeline p;
  p.sys = sys;
  p.plan = &plan;
  p.sink = sink;
  p.nb_blocks = sys->nb_element <= 0
                    ? 0
                    : (static_cast<int64_t>(sys->nb_element) + block_particles - 1) / block_particles;
  const int threads = std::max(1, plan.threads);
  const bool in_order = !plan.seeded && !plan.already_placed;
  if (in_order) init_private_copy_stream(&p.sequence);
  p.drawer_thread = in_order && threads > 1;
  const int workers = p.drawer_thread ? threads - 1 : threads;
  p.slots.resize(static_cast<size_t>(2 * workers));

  std::vector<std::thread> started;
  if (p.drawer_thread) {
    try {
      started.emplace_back(run_drawer, &p);
    } catch (const std::system_error &) {
      run_drawer(&p);  // no thread to be had: draw everything first
    }
  }
  for (int i = 1; i < workers; ++i) {
    try {
      started.emplace_back(run_worker, &p);
    } catch (const std::system_error &) {
      break;  // fewer workers, same bytes
    }
  }
  run_worker(&p);
  p.stop.store(true, std::memory_order_relaxed);
  for (std::thread &t : started) t.join();
  return !p.failed && !draws_exhausted(plan);
}
