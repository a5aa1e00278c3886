#include "check_pass.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "checks.h"

namespace {

struct queued_block {
  particle_data chunk;
  uint64_t first = 0;
};

// Blocks between the reader and the workers: empty ones to read into,
// full ones to check.
struct block_queue {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::unique_ptr<queued_block>> empty;
  std::deque<std::unique_ptr<queued_block>> full;
  bool done = false;
  std::exception_ptr failure;
};

void work(block_queue *q, const pass_checks &checks) {
  void *lane = nullptr;
  try {
    for (;;) {
      std::unique_ptr<queued_block> block;
      {
        std::unique_lock<std::mutex> hold(q->lock);
        q->changed.wait(hold, [q] { return !q->full.empty() || q->done; });
        if (q->full.empty()) break;
        block = std::move(q->full.front());
        q->full.pop_front();
      }
      if (lane == nullptr) lane = checks.open();
      checks.add(lane, block->chunk, block->first);
      const std::lock_guard<std::mutex> hold(q->lock);
      q->empty.push_back(std::move(block));
      q->changed.notify_all();
    }
    if (lane != nullptr) checks.close(lane);
  } catch (...) {
    const std::lock_guard<std::mutex> hold(q->lock);
    if (q->failure == nullptr) q->failure = std::current_exception();
    q->done = true;
    q->changed.notify_all();
  }
}

// The masses the checks need first, of particles before the share.
bool probe_firsts(particle_source *source, const pass_checks &checks, const unit_scale &units,
                  const pass_share &share, read_error *error) {
  particle_data one;
  bool probed = false;
  for (const uint64_t index : share.firsts) {
    // One the share reads is noted then. An empty share (a rank with no
    // block) probes too, since its sums are in units of that mass; but not
    // in a text file, which only one rank reads.
    if (!share.claim && index >= share.first && (index < share.end || source->text != nullptr)) continue;
    probed = true;
    if (!seek_particles(source, index) || read_block(source, &one, 1, error) == read_failed || one.nb_element != 1) {
      if (error->what.empty()) error->what = "a particle " + std::to_string(index) + " that can be read";
      return false;
    }
    convert_to_si(&one, units);
    checks.note(one, index);
  }
  if (!share.claim && (share.first > 0 || probed) && share.first < share.end && !seek_particles(source, share.first)) {
    error->what = "a particle " + std::to_string(share.first) + " that can be read";
    return false;
  }
  return true;
}

// Where the next block starts: the share's next, or the next claimed (the
// source moved there). False when there is none, or on a failed seek
// (status then read_failed, its error in error).
bool next_block(particle_source *source, const pass_share &share, uint64_t *at, read_status *status,
                read_error *error) {
  if (!share.claim) return *at < share.end;
  uint64_t block = 0;
  if (!share.claim(&block) || block >= (share.end + check_block - 1) / check_block) return false;
  const uint64_t start = block * check_block;
  if (start != *at && !seek_particles(source, start)) {
    error->what = "a particle " + std::to_string(start) + " that can be read";
    *status = read_failed;
    return false;
  }
  *at = start;
  return true;
}

// This thread's part: every block of the share, in order.
read_status read_share(particle_source *source, const pass_checks &checks, const unit_scale &units,
                       const pass_share &share, block_queue *q, read_error *error, progress_meter *meter,
                       const std::atomic<bool> *cancel, uint64_t *read) {
  read_status status = read_more;
  // Claimed blocks start anywhere: the source is moved to the first.
  uint64_t at = share.claim ? UINT64_MAX : share.first;
  const uint64_t known = known_particles(*source), total = std::min(share.end, known > 0 ? known : share.end) - share.first;
  while (status == read_more && next_block(source, share, &at, &status, error)) {
    std::unique_ptr<queued_block> block;
    {
      std::unique_lock<std::mutex> hold(q->lock);
      q->changed.wait(hold, [q] { return !q->empty.empty() || q->failure != nullptr; });
      if (q->failure != nullptr) return read_failed;
      block = std::move(q->empty.back());
      q->empty.pop_back();
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(check_block, share.end - at));
    status = cancel != nullptr && cancel->load() ? read_failed : read_block(source, &block->chunk, want, error);
    const uint64_t n = static_cast<uint64_t>(block->chunk.nb_element);
    report_progress(meter, at + n - share.first,
                    status == read_done ? at + n - share.first : (known > 0 ? total : expected_particles(*source, at + n)));
    if (status == read_failed) break;
    convert_to_si(&block->chunk, units);
    checks.note(block->chunk, at);
    block->first = at;
    at += n;
    *read += n;
    if (n == 0 && status == read_more) status = read_done;  // nothing more comes
    const std::lock_guard<std::mutex> hold(q->lock);
    q->full.push_back(std::move(block));
    q->changed.notify_all();
  }
  return status;
}

}  // namespace

bool run_check_pass(particle_source *source, const pass_checks &checks, const unit_scale &units,
                    const pass_share &share, int threads, read_error *error, progress_meter *meter,
                    const std::atomic<bool> *cancel, uint64_t *read) {
  uint64_t count = 0;
  if (read == nullptr) read = &count;
  *read = 0;
  if (!probe_firsts(source, checks, units, share, error)) return false;
  const int workers = std::max(1, std::min(threads, check_threads_most));
  block_queue q;
  for (int k = 0; k < workers + 2; ++k) q.empty.push_back(std::make_unique<queued_block>());
  std::vector<std::thread> pool;
  read_status status = read_failed;
  try {
    for (int k = 0; k < workers; ++k) pool.emplace_back(work, &q, std::cref(checks));
    status = read_share(source, checks, units, share, &q, error, meter, cancel, read);
  } catch (...) {
    const std::lock_guard<std::mutex> hold(q.lock);
    if (q.failure == nullptr) q.failure = std::current_exception();
  }
  {
    const std::lock_guard<std::mutex> hold(q.lock);
    q.done = true;
    q.changed.notify_all();
  }
  for (std::thread &t : pool) t.join();
  if (q.failure != nullptr) std::rethrow_exception(q.failure);
  if (meter->terminal && meter->shown && status == read_failed) std::fputc('\n', stderr);
  return status != read_failed;
}
