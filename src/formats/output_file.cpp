#include "output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "error_report.h"
#include "waiting_stream.h"

namespace {

// Every temporary file of the process that a cleanup signal must remove: a
// list that only grows, its slots reused once free, walked by the signal
// handler without a lock (atomics that are lock-free, and unlink). A slot's
// name is written only while it is claimed, never while armed, so the
// handler never reads a name being changed, whichever thread it runs on.
enum slot_state { slot_free, slot_claimed, slot_armed };

}  // namespace

struct temporary_slot {
  std::atomic<int> state{slot_claimed};
  char *path = nullptr;
  size_t capacity = 0;
  temporary_slot *next = nullptr;  // set before the slot is published, never after
};

namespace {

std::atomic<temporary_slot *> temporary_slots{nullptr};

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Opens of temporaries by path under way (temporary_opened_by_path), and
// whether a handler has begun removing: both lock-free, both read here.
std::atomic<int> opens_by_path{0};
std::atomic<bool> removing_temporaries{false};

void remove_temporaries_and_reraise(int signal_number) {
  const int saved = errno;
  removing_temporaries.store(true);
  // Never this thread's own open: it blocks these signals meanwhile. An
  // open that waits on a lock this thread holds (the allocator's, HDF5's)
  // would never end: after a second the name is removed all the same.
  timespec start{}, now{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (opens_by_path.load() != 0 && clock_gettime(CLOCK_MONOTONIC, &now) == 0 &&
         (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < 1000000000L) {
  }
  for (temporary_slot *s = temporary_slots.load(); s != nullptr; s = s->next) {
    if (s->state.load() == slot_armed) unlink(s->path);
  }
  errno = saved;
  signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered with the conventional status on return
}

// A slot that holds names of length characters, claimed for this thread.
temporary_slot *claim_slot(size_t length) {
  for (temporary_slot *s = temporary_slots.load(); s != nullptr; s = s->next) {
    int expected = slot_free;
    if (s->capacity > length && s->state.compare_exchange_strong(expected, slot_claimed)) return s;
  }
  temporary_slot *slot = new temporary_slot;
  slot->capacity = std::max<size_t>(length + 1, 256);
  slot->path = new char[slot->capacity];
  slot->next = temporary_slots.load();
  while (!temporary_slots.compare_exchange_weak(slot->next, slot)) {
  }
  return slot;
}

void release_slot(output_file *out) {
  if (out->slot != nullptr) out->slot->state.store(slot_free);
  out->slot = nullptr;
}

// Six characters of [A-Za-z0-9], from the kernel's random source (or, without
// it, the clock and a counter): a name no other writer is making now.
void random_suffix(char *out) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    static std::atomic<uint64_t> counter{0};
    uint64_t mix = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   (counter.fetch_add(1) * 0x9e3779b97f4a7c15ull) ^ static_cast<uint64_t>(getpid());
    for (unsigned char &b : bytes) {
      mix ^= mix >> 29;
      mix *= 0xbf58476d1ce4e5b9ull;
      b = static_cast<unsigned char>(mix >> 56);
    }
  }
  for (int k = 0; k < 6; ++k) out[k] = alphabet[bytes[k] % (sizeof alphabet - 1)];
}

bool starts_with(const std::string &text, const char *prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// ".NAME.XXXXXX" beside path; the name part is shortened so that the
// temporary's name stays within the file system's limit.
std::string temporary_template(const std::string &path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + base.substr(0, 200) + ".XXXXXX";
}

mode_t creation_mode() {
  // Read, not set and restored: between umask(0) and its undoing, a file
  // another thread of the process creates would be open to everyone.
  if (std::FILE *status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return 0666 & ~static_cast<mode_t>(mask);
  }
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

enum placement { replace_by_rename, write_in_place, cannot_open };

// A regular file a whole-files-only policy will not write in place.
placement refuse_in_place(output_file *out, int error_number, const std::string &why) {
  out->error_number = errno = error_number;
  out->refusal = out->name + " cannot be replaced whole: " + why;
  return cannot_open;
}

// Paths whose writes reach something else than a file of that name
// (/dev/stdout, /proc/self/fd/1): replacing the file behind them would leave
// the shell writing to a deleted file. A policy of whole files takes
// /dev/shm for the file system it is.
bool is_special_path(const std::string &name, const output_policy &policy) {
  if (starts_with(name, "/proc/")) return true;
  return starts_with(name, "/dev/") && !(policy.whole_files_only && starts_with(name, "/dev/shm/"));
}

// Decides how name is written and fills out's target, mode and owner.
placement choose_placement(output_file *out, const std::string &name, const output_policy &policy) {
  out->name = name;
  out->target = name;
  out->temporary.clear();
  out->set_owner = false;
  out->error_number = 0;
  out->refusal.clear();
  const bool whole = policy.whole_files_only;
  struct stat st;
  const bool exists = stat(name.c_str(), &st) == 0;
  const int stat_error = errno;
  if (is_special_path(name, policy)) {
    if (whole && exists && S_ISREG(st.st_mode)) {
      return refuse_in_place(out, EPERM, "it is reached through /dev/ or /proc/, where files are written in place");
    }
    return write_in_place;
  }
  if (!exists) {
    struct stat link;
    // A dangling symlink: fopen creates the file it points to.
    if (stat_error != ENOENT || lstat(name.c_str(), &link) == 0) {
      if (whole && stat_error == ENOENT) return refuse_in_place(out, ENOENT, "it is a symbolic link to no file");
      return write_in_place;
    }
    out->mode = creation_mode();
    return replace_by_rename;
  }
  if (!S_ISREG(st.st_mode)) return write_in_place;
  if (st.st_nlink > 1) {
    if (!whole) return write_in_place;
    return refuse_in_place(out, EMLINK, "it has " + std::to_string(st.st_nlink) +
                                            " hard links, whose other names would keep the old content");
  }
  // Another user's file would change owner if replaced by ours.
  const uid_t self = geteuid();
  if (self != 0 && st.st_uid != self) {
    return whole ? refuse_in_place(out, EPERM, "it belongs to another user, and its new file would be this user's")
                 : write_in_place;
  }
  // fopen would refuse a file it may not write: so do we.
  const int probe = open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) {
    out->error_number = errno;
    return cannot_open;
  }
  close(probe);
  out->mode = st.st_mode & 07777;
  out->set_owner = st.st_uid != self || st.st_gid != getegid();
  out->owner = st.st_uid;
  out->group = st.st_gid;
  struct stat link;
  if (lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char *real = realpath(name.c_str(), nullptr);
    if (real == nullptr) return whole ? refuse_in_place(out, errno, "its symbolic link cannot be resolved") : write_in_place;
    out->target = real;
    std::free(real);
  }
  return replace_by_rename;
}

// No temporary file could be made beside the target (errno failure): under
// a whole-files-only policy, the write is refused; false when it may go on
// in place.
bool temporary_refused(output_file *out, int failure, const output_policy &policy) {
  if (!policy.whole_files_only) return false;
  struct stat st;
  if (stat(out->name.c_str(), &st) == 0) {
    refuse_in_place(out, failure, std::string("no temporary file can be made beside it (") + std::strerror(failure) + ")");
  } else {
    out->error_number = errno = failure;  // a new name: what fopen would meet
  }
  return true;
}

// Creates the temporary file for out->target; -1, errno set, when the
// directory does not allow it. The name is armed before the file exists, so
// that no signal finds a file it does not know of.
int create_temporary(output_file *out) {
  const std::string pattern = temporary_template(out->target);
  temporary_slot *slot = claim_slot(pattern.size());
  out->slot = slot;
  std::memcpy(slot->path, pattern.c_str(), pattern.size() + 1);
  char *suffix = slot->path + pattern.size() - 6;
  for (int attempt = 0; attempt < 100; ++attempt) {
    random_suffix(suffix);
    slot->state.store(slot_armed);
    const int fd = open(slot->path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      out->temporary = slot->path;
      return fd;
    }
    const int failure = errno;
    slot->state.store(slot_claimed);
    if (failure != EEXIST) {
      release_slot(out);
      errno = failure;
      return -1;
    }
  }
  release_slot(out);
  errno = EEXIST;
  return -1;
}

void remove_temporary(output_file *out) {
  if (out->temporary.empty()) return;
  // Unlinked before the slot is freed: a signal in between only unlinks a
  // name again.
  unlink(out->temporary.c_str());
  release_slot(out);
  out->temporary.clear();
}

// Gives the finished temporary its owner and mode, then renames it over the
// target.
bool replace_target(output_file *out) {
  const char *temporary = out->temporary.c_str();
  // chown clears set-id bits, so it goes first. An owner that cannot be kept
  // (a root without that capability) is no reason to lose the output.
  if (out->set_owner) {
    const int ignored = chown(temporary, out->owner, out->group);
    (void)ignored;
  }
  if (chmod(temporary, out->mode) != 0 || rename(temporary, out->target.c_str()) != 0) {
    out->error_number = errno;
    return false;
  }
  release_slot(out);
  out->temporary.clear();
  return true;
}

// Opens the target's temporary (fd) or, for fd -1, the target itself.
bool open_stream(output_file *out, int fd, const output_policy &policy) {
  if (fd >= 0) {
    out->file = fdopen(fd, "w");
    if (out->file != nullptr) return true;
    out->error_number = errno;
    close(fd);
    remove_temporary(out);
    errno = out->error_number;
    return false;
  }
  if (policy.cancel != nullptr && is_fifo(out->name)) {
    out->file = open_fifo_for_writing(out->name, policy.cancel);
  } else {
    out->file = std::fopen(out->name.c_str(), "w");
  }
  if (out->file == nullptr) out->error_number = errno;
  return out->file != nullptr;
}

// Cleanup handlers installed while the library's writes go on.
std::mutex handlers_mutex;
int writes_guarded = 0;
bool handler_installed[3] = {false, false, false};

}  // namespace

void install_output_signal_handlers() {
  for (int s : cleanup_signals) {
    struct sigaction action {};
    // A signal the caller chose to ignore (nohup, a background job) stays
    // ignored.
    if (sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = remove_temporaries_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaction(s, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

temporaries_removed_on_signal::temporaries_removed_on_signal() {
  std::lock_guard<std::mutex> lock(handlers_mutex);
  if (writes_guarded++ > 0) return;
  for (int k = 0; k < 3; ++k) {
    struct sigaction action {};
    if (sigaction(cleanup_signals[k], nullptr, &action) != 0 || (action.sa_flags & SA_SIGINFO) != 0 ||
        action.sa_handler != SIG_DFL) {
      continue;
    }
    action = {};
    action.sa_handler = remove_temporaries_and_reraise;
    sigemptyset(&action.sa_mask);
    handler_installed[k] = sigaction(cleanup_signals[k], &action, nullptr) == 0;
  }
}

temporaries_removed_on_signal::~temporaries_removed_on_signal() {
  std::lock_guard<std::mutex> lock(handlers_mutex);
  if (--writes_guarded > 0) return;
  for (int k = 0; k < 3; ++k) {
    if (!handler_installed[k]) continue;
    handler_installed[k] = false;
    // A handler the program installed meanwhile stays.
    struct sigaction action {};
    if (sigaction(cleanup_signals[k], nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
        action.sa_handler == remove_temporaries_and_reraise) {
      signal(cleanup_signals[k], SIG_DFL);
    }
  }
}

temporary_opened_by_path::temporary_opened_by_path() {
  sigset_t cleanup;
  sigemptyset(&cleanup);
  for (int s : cleanup_signals) sigaddset(&cleanup, s);
  pthread_sigmask(SIG_BLOCK, &cleanup, &saved_mask_);
  opens_by_path.fetch_add(1);
  if (!removing_temporaries.load()) return;
  // A handler has begun (and may have passed its wait): what this thread
  // would open could outlive the process.
  opens_by_path.fetch_sub(1);
  for (;;) pause();
}

temporary_opened_by_path::~temporary_opened_by_path() {
  const int saved = errno;  // the open's, for the caller
  opens_by_path.fetch_sub(1);
  pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
  errno = saved;
}

bool open_output_file(output_file *out, const std::string &name, const output_policy &policy) {
  out->file = nullptr;
  switch (choose_placement(out, name, policy)) {
    case cannot_open:
      return false;
    case write_in_place:
      return open_stream(out, -1, policy);
    case replace_by_rename:
      break;
  }
  const int fd = create_temporary(out);
  if (fd < 0 && temporary_refused(out, errno, policy)) return false;
  return open_stream(out, fd, policy);
}

path_verdict prepare_output_path(output_file *out, const std::string &name, const output_policy &policy) {
  out->file = nullptr;
  const placement how = choose_placement(out, name, policy);
  if (how == cannot_open) return path_cannot_open;
  if (how == replace_by_rename) {
    const int fd = create_temporary(out);
    if (fd >= 0) {
      close(fd);
      return path_ready;
    }
    if (temporary_refused(out, errno, policy)) return path_cannot_open;
  }
  // In place: what fopen would meet, found out without creating anything.
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    // A new name is fine where its directory exists (a path under /dev/).
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    struct stat dir_st;
    const bool creatable = errno == ENOENT && stat(dir.c_str(), &dir_st) == 0 &&
                           S_ISDIR(dir_st.st_mode);
    if (!creatable) out->error_number = errno = ENOENT;
    return creatable ? path_ready : path_cannot_open;
  }
  if (S_ISDIR(st.st_mode)) {
    out->error_number = errno = EISDIR;
    return path_cannot_open;
  }
  if (!S_ISREG(st.st_mode)) {
    out->error_number = ESPIPE;
    return path_not_regular;
  }
  const int probe = open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) {
    out->error_number = errno;
    return path_cannot_open;
  }
  close(probe);
  return path_ready;
}

const std::string &output_write_path(const output_file *out) {
  return out->temporary.empty() ? out->name : out->temporary;
}

output_result commit_output_file(output_file *out, bool written) {
  output_result result = output_committed;
  if (out->file != nullptr) {
    if (written && std::fflush(out->file) != 0) {
      out->error_number = errno;
      written = false;
    }
    if (std::fclose(out->file) != 0 && written) {
      out->error_number = errno;
      result = output_close_failed;
    }
    out->file = nullptr;
  }
  if (!written) result = output_write_failed;
  if (result == output_committed && !out->temporary.empty() && !replace_target(out)) {
    result = output_rename_failed;
  }
  remove_temporary(out);
  return result;
}

void discard_output_file(output_file *out) {
  if (out->file != nullptr) std::fclose(out->file);
  out->file = nullptr;
  remove_temporary(out);
}

void print_output_error(output_result result, const output_file *out) {
  const char *name = out->name.c_str();
  if (result != output_committed) report_error_number(out->error_number);
  switch (result) {
    case output_committed:
      break;
    case output_write_failed:
      report_error("erreur: fwrite cannot write %s", name);
      break;
    case output_close_failed:
      report_error("erreur: fclose cannot close %s", name);
      break;
    case output_rename_failed:
      report_error("erreur: rename cannot replace %s", name);
      break;
  }
}

void print_open_error(const output_file *out, const std::string &name) {
  report_error_number(out->error_number);
  if (!out->refusal.empty()) {
    report_error("erreur: %s", out->refusal.c_str());
  } else {
    report_error("erreur: fopen cannot open %s", name.c_str());
  }
}
