#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error_report.h"

namespace {

// The temporary file's name, prepared before the file exists, so that a
// signal handler can remove it with nothing but unlink.
char signal_unlink_path[4096];
volatile sig_atomic_t signal_unlink_armed = 0;

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_temporary_and_reraise(int signal_number) {
  if (signal_unlink_armed) unlink(signal_unlink_path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered with the conventional status on return
}

// Holds off the cleanup signals while the temporary file is created or
// renamed, so that the handler never sees a half-updated name or flag.
class cleanup_signals_blocked {
 public:
  cleanup_signals_blocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : cleanup_signals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~cleanup_signals_blocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  cleanup_signals_blocked(const cleanup_signals_blocked &) = delete;
  cleanup_signals_blocked &operator=(const cleanup_signals_blocked &) = delete;

 private:
  sigset_t saved_;
};

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

// Decides how name is written and fills out's target, mode and owner.
placement choose_placement(output_file *out, const std::string &name) {
  out->name = name;
  out->target = name;
  out->temporary.clear();
  out->set_owner = false;
  // Replacing the file behind /dev/stdout or /proc/self/fd/1 would leave the
  // shell writing to a deleted file.
  if (starts_with(name, "/dev/") || starts_with(name, "/proc/")) return write_in_place;
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    struct stat link;
    // A dangling symlink: fopen creates the file it points to.
    if (errno != ENOENT || lstat(name.c_str(), &link) == 0) return write_in_place;
    out->mode = creation_mode();
    return replace_by_rename;
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return write_in_place;
  // Another user's file would change owner if replaced by ours.
  const uid_t self = geteuid();
  if (self != 0 && st.st_uid != self) return write_in_place;
  // fopen would refuse a file it may not write: so do we.
  const int probe = open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) return cannot_open;
  close(probe);
  out->mode = st.st_mode & 07777;
  out->set_owner = st.st_uid != self || st.st_gid != getegid();
  out->owner = st.st_uid;
  out->group = st.st_gid;
  struct stat link;
  if (lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char *real = realpath(name.c_str(), nullptr);
    if (real == nullptr) return write_in_place;
    out->target = real;
    std::free(real);
  }
  return replace_by_rename;
}

// Creates the temporary file for out->target; -1 when the directory does not
// allow it (the caller then writes in place).
int create_temporary(output_file *out) {
  const std::string pattern = temporary_template(out->target);
  if (pattern.size() >= sizeof signal_unlink_path) return -1;
  cleanup_signals_blocked blocked;
  std::memcpy(signal_unlink_path, pattern.c_str(), pattern.size() + 1);
  const int fd = mkostemp(signal_unlink_path, O_CLOEXEC);
  if (fd < 0) return -1;
  signal_unlink_armed = 1;
  out->temporary = signal_unlink_path;
  return fd;
}

void remove_temporary(output_file *out) {
  if (out->temporary.empty()) return;
  cleanup_signals_blocked blocked;
  unlink(out->temporary.c_str());
  signal_unlink_armed = 0;
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
  if (chmod(temporary, out->mode) != 0) return false;
  cleanup_signals_blocked blocked;
  if (rename(temporary, out->target.c_str()) != 0) return false;
  signal_unlink_armed = 0;
  out->temporary.clear();
  return true;
}

// Opens the target's temporary or the target itself; fd is the temporary's
// descriptor or -1.
bool open_stream(output_file *out, int fd) {
  if (fd >= 0) {
    out->file = fdopen(fd, "w");
    if (out->file != nullptr) return true;
    const int saved = errno;
    close(fd);
    remove_temporary(out);
    errno = saved;
    return false;
  }
  out->file = std::fopen(out->name.c_str(), "w");
  return out->file != nullptr;
}

}  // namespace

void install_output_signal_handlers() {
  for (int s : cleanup_signals) {
    struct sigaction action {};
    // A signal the caller chose to ignore (nohup, a background job) stays
    // ignored.
    if (sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = remove_temporary_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaction(s, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool open_output_file(output_file *out, const std::string &name) {
  out->file = nullptr;
  switch (choose_placement(out, name)) {
    case cannot_open:
      return false;
    case write_in_place:
      return open_stream(out, -1);
    case replace_by_rename:
      break;
  }
  return open_stream(out, create_temporary(out));
}

path_verdict prepare_output_path(output_file *out, const std::string &name) {
  out->file = nullptr;
  const placement how = choose_placement(out, name);
  if (how == cannot_open) return path_cannot_open;
  if (how == replace_by_rename) {
    const int fd = create_temporary(out);
    if (fd >= 0) {
      close(fd);
      return path_ready;
    }
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
    if (!creatable) errno = ENOENT;
    return creatable ? path_ready : path_cannot_open;
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return path_cannot_open;
  }
  if (!S_ISREG(st.st_mode)) return path_not_regular;
  const int probe = open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) return path_cannot_open;
  close(probe);
  return path_ready;
}

const std::string &output_write_path(const output_file *out) {
  return out->temporary.empty() ? out->name : out->temporary;
}

output_result commit_output_file(output_file *out, bool written) {
  output_result result = output_committed;
  if (out->file != nullptr) {
    if (written && std::fflush(out->file) != 0) written = false;
    if (std::fclose(out->file) != 0 && written) result = output_close_failed;
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
