// Running the programs' engine from Python: without the GIL, on a thread
// of its own, while the caller looks for signals; and the exceptions its
// failures become.
#ifndef PYTHON_RUN_H
#define PYTHON_RUN_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "error_report.h"

namespace py = pybind11;

// What a call run by run_interruptible met besides its result.
struct interruption {
  std::string messages;  // report_error's, each "erreur: ..."
  int error_number = 0;  // report_error_number's first
  // The exception a signal's handler raised (KeyboardInterrupt for Ctrl-C):
  // the work was cancelled, and may or may not have finished.
  std::unique_ptr<py::error_already_set> signal;
};

// Runs work(cancel) on a thread of its own while the calling thread, without
// the GIL, waits and runs the signal handlers every 50 ms (Python runs them
// on its main thread only). An exception from a handler sets cancel and is
// kept in met->signal; work's messages and errno go to met.
template <class Work>
auto run_interruptible(Work work, interruption *met) -> decltype(work(nullptr)) {
  using result_type = decltype(work(nullptr));
  constexpr auto signal_poll = std::chrono::milliseconds(50);
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  result_type result{};
  std::exception_ptr failure;  // bad_alloc from the worker, raised here
  auto body = [&]() {
    error_capture capture(&met->messages, &met->error_number);
    try {
      result = work(&cancel);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
  };
  {
    py::gil_scoped_release unlocked;
    std::thread worker;
    try {
      worker = std::thread(body);
    } catch (const std::system_error &) {
      body();  // no thread to be had: run here, uninterruptible
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
      if (finished.wait_for(lock, signal_poll, [&] { return done; })) break;
      lock.unlock();
      {
        py::gil_scoped_acquire locked;
        if (!met->signal && PyErr_CheckSignals() != 0) {
          met->signal.reset(new py::error_already_set());
          cancel.store(true);
        }
      }
      lock.lock();
    }
    lock.unlock();
    if (worker.joinable()) worker.join();
  }
  if (met->signal) return result;
  if (failure) std::rethrow_exception(failure);
  return result;
}

// Raises met's signal exception, telling (when what is not empty) what the
// interrupted call left: a KeyboardInterrupt gets it as its message, any
// other exception as a note.
[[noreturn]] void raise_interruption(interruption *met, const std::string &what);

// Raises the OSError subclass of error_number (FileNotFoundError,
// PermissionError ...) with text, and the system's words for it unless
// text already has them.
[[noreturn]] void raise_os_error(int error_number, const std::string &text);

// A refusal collected from report_error, without its "erreur: ".
std::string refusal_text(const std::string &messages);

// Serializes HDF5 use when the library cannot take two threads at once.
std::unique_lock<std::mutex> hdf5_lock(bool uses_hdf5);

#endif
