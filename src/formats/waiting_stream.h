// FIFOs opened and used without blocking on the other end for good: a wait
// for a reader, a writer, room or data goes on a slice at a time until it
// ends or another thread sets cancel. For a program that must stay
// interruptible while it writes or reads one.
#ifndef WAITING_STREAM_H
#define WAITING_STREAM_H

#include <atomic>
#include <cstdio>
#include <string>

// Opens the FIFO name for writing once a reader has it open; writes wait
// for room. Null, errno set (EINTR when cancelled), when it cannot be.
std::FILE *open_fifo_for_writing(const std::string &name, const std::atomic<bool> *cancel);

// Opens the FIFO name for reading without waiting for a writer; reads wait
// for one and its data, and end (0 bytes) once every writer has gone.
std::FILE *open_fifo_for_reading(const std::string &name, const std::atomic<bool> *cancel);

// Whether name is a FIFO.
bool is_fifo(const std::string &name);

#endif
