// Replacing the user's file safely: the output is written to a temporary
// file beside the target and renamed over it only once complete, so a failed
// or interrupted run leaves the old file as it was. Targets that cannot be
// replaced that way (devices, FIFOs, /dev/ and /proc/ paths, files with
// several hard links, directories without room for a temporary file) are
// written in place, as fopen(name, "w") would, unless the policy asks for
// whole files only. Any number of threads may write files at once.
#ifndef OUTPUT_FILE_H
#define OUTPUT_FILE_H

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <string>

struct temporary_slot;

// How a caller wants its file written.
struct output_policy {
  // Set by another thread to give up a wait: a FIFO without a reader, a
  // pipe that is full. The open or write then fails with EINTR.
  const std::atomic<bool> *cancel = nullptr;
  // A regular file is only ever replaced whole: where that cannot be done
  // (no temporary beside it, hard links, another user's file, a path
  // through /dev/ or /proc/), the write is refused rather than made in place.
  bool whole_files_only = false;
};

struct output_file {
  std::FILE *file = nullptr;  // where the writer writes
  std::string name;           // as the user gave it: messages use it
  std::string target;         // what the temporary replaces (symlinks resolved)
  std::string temporary;      // empty when writing in place
  mode_t mode = 0;            // permission bits the finished file gets
  bool set_owner = false;     // give the finished file owner and group below
  uid_t owner = 0;
  gid_t group = 0;
  temporary_slot *slot = nullptr;  // where a cleanup signal finds the temporary
  int error_number = 0;            // errno of the step that failed, 0 if unknown
  std::string refusal;             // why whole_files_only refused, for the message
};

enum output_result {
  output_committed,
  output_write_failed,   // a write or the final flush failed
  output_close_failed,   // fclose failed
  output_rename_failed,  // the finished temporary could not replace the target
};

// Installs the signal handling of a writing run: SIGINT, SIGTERM and SIGHUP
// remove every temporary file and end the process with that signal; SIGPIPE
// and SIGXFSZ are ignored so that they surface as write errors.
void install_output_signal_handlers();

// For a library inside a program that keeps its own handlers: while at
// least one is alive (on any thread), SIGINT, SIGTERM and SIGHUP whose
// disposition is the default remove every temporary file before they end
// the process. Handlers the program installed are left alone.
class temporaries_removed_on_signal {
 public:
  temporaries_removed_on_signal();
  ~temporaries_removed_on_signal();
  temporaries_removed_on_signal(const temporaries_removed_on_signal &) = delete;
  temporaries_removed_on_signal &operator=(const temporaries_removed_on_signal &) = delete;
};

// Alive around a call that opens an armed temporary by its path (HDF5 can
// open no other way, and creates what it opens): a cleanup signal handled on
// another thread meanwhile would unlink the name, the open make it again,
// and the process leave it behind. So this thread takes none of those
// signals meanwhile, a handler on another waits for it to end (a second at
// most), and once a handler has begun the thread waits to be ended with
// the process.
class temporary_opened_by_path {
 public:
  temporary_opened_by_path();
  ~temporary_opened_by_path();
  temporary_opened_by_path(const temporary_opened_by_path &) = delete;
  temporary_opened_by_path &operator=(const temporary_opened_by_path &) = delete;

 private:
  sigset_t saved_mask_;
};

// Opens name for writing. Returns false, with errno (and out->error_number)
// set and nothing created or changed, when fopen(name, "w") would fail or
// the policy refuses (out->refusal then says why).
bool open_output_file(output_file *out, const std::string &name, const output_policy &policy = output_policy());

enum path_verdict {
  path_ready,        // output_write_path names what to write
  path_cannot_open,  // fopen(name, "w") would fail (errno set)
  path_not_regular,  // an existing FIFO, device or socket: no seekable file
};

// Same as open_output_file, for writers that must create the file by path
// and seek in it: out->file stays null. Nothing is created or changed
// unless path_ready.
path_verdict prepare_output_path(output_file *out, const std::string &name,
                                 const output_policy &policy = output_policy());

// The path a writer prepared by prepare_output_path must create.
const std::string &output_write_path(const output_file *out);

// Ends a successful write: flushes and closes the stream (if any), then
// gives a temporary file its mode and renames it over the target. written
// false means the writer already failed (out->error_number may say how). On
// any failure the temporary file is removed and the target left as it was.
output_result commit_output_file(output_file *out, bool written);

// Abandons a write: closes the stream and removes any temporary file.
void discard_output_file(output_file *out);

// Prints the "erreur: ..." message for a failed result, naming out->name,
// and notes out->error_number (report_error_number).
void print_output_error(output_result result, const output_file *out);

// Prints the message for an output that could not be opened: the policy's
// refusal, or "fopen cannot open NAME"; notes out->error_number.
void print_open_error(const output_file *out, const std::string &name);

#endif
