#include "waiting_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int wait_slice_ms = 20;

struct waiting_stream {
  int fd;
  const std::atomic<bool> *cancel;
};

bool cancelled(const std::atomic<bool> *cancel) { return cancel != nullptr && cancel->load(); }

// Waits a slice for events on fd; false, errno EINTR, once cancelled.
bool wait_for(const waiting_stream *s, short events) {
  if (cancelled(s->cancel)) {
    errno = EINTR;
    return false;
  }
  struct pollfd ready = {s->fd, events, 0};
  poll(&ready, 1, wait_slice_ms);
  return true;
}

// A stream's write function reports a failure as 0 bytes (never below 0).
ssize_t waiting_write(void *cookie, const char *bytes, size_t length) {
  const waiting_stream *s = static_cast<const waiting_stream *>(cookie);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(s->fd, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !wait_for(s, POLLOUT)) {
      return 0;
    }
  }
  return static_cast<ssize_t>(done);
}

// Before any writer has come, poll reports nothing (Linux) and read would
// return 0: data, or the end, is read only once poll says so.
ssize_t waiting_read(void *cookie, char *bytes, size_t length) {
  const waiting_stream *s = static_cast<const waiting_stream *>(cookie);
  for (;;) {
    struct pollfd ready = {s->fd, POLLIN, 0};
    if (poll(&ready, 1, 0) > 0) {
      const ssize_t n = read(s->fd, bytes, length);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EINTR) return -1;
    }
    if (!wait_for(s, POLLIN)) return -1;
  }
}

int waiting_close(void *cookie) {
  waiting_stream *s = static_cast<waiting_stream *>(cookie);
  const int status = close(s->fd);
  delete s;
  return status;
}

std::FILE *wrap(int fd, const std::atomic<bool> *cancel, bool writing) {
  cookie_io_functions_t functions = {};
  if (writing) {
    functions.write = waiting_write;
  } else {
    functions.read = waiting_read;
  }
  functions.close = waiting_close;
  waiting_stream *cookie = new waiting_stream{fd, cancel};
  std::FILE *file = fopencookie(cookie, writing ? "w" : "r", functions);
  if (file == nullptr) {
    const int failure = errno;
    waiting_close(cookie);
    errno = failure;
  }
  return file;
}

}  // namespace

std::FILE *open_fifo_for_writing(const std::string &name, const std::atomic<bool> *cancel) {
  int fd = -1;
  // Without a reader a FIFO refuses a writer that will not wait (ENXIO).
  while ((fd = open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0 && errno == ENXIO) {
    if (cancelled(cancel)) {
      errno = EINTR;
      return nullptr;
    }
    const struct timespec pause = {0, wait_slice_ms * 1000000L};
    nanosleep(&pause, nullptr);
  }
  return fd < 0 ? nullptr : wrap(fd, cancel, true);
}

std::FILE *open_fifo_for_reading(const std::string &name, const std::atomic<bool> *cancel) {
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  return fd < 0 ? nullptr : wrap(fd, cancel, false);
}

bool is_fifo(const std::string &name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}
