// A loop over independent items on two threads: the tables' nodes, whose
// values do not depend on which thread computed them.
#ifndef TWO_THREADS_H
#define TWO_THREADS_H

#include <thread>

// Runs f(i) for i in [0, n), the odd i on a second thread.
template <class F>
void in_parallel(int n, F f) {
  std::thread other([&] {
    for (int i = 1; i < n; i += 2) f(i);
  });
  for (int i = 0; i < n; i += 2) f(i);
  other.join();
}

#endif
