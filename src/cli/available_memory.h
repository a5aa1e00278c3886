// How much more memory this process can take before an allocation fails or
// the machine starts to kill: what the kernel says is available (RAM that
// can be freed, and free swap), within this process's limits (address
// space, data) and its control group's.
#ifndef AVAILABLE_MEMORY_H
#define AVAILABLE_MEMORY_H

// Bytes; infinity when nothing can be read.
double available_memory_bytes();

#endif
