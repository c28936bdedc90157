// Row-parallel loops with a fixed partition.
//
// Every kernel computes each row (date) independently, so splitting the rows into
// contiguous blocks gives the same bits whatever the number of threads.
#pragma once

#include <cstddef>
#include <functional>

namespace sigmora {

// Number of worker threads kernels may use (>= 1); by default the number of processors
// the process may run on (its CPU affinity).
int get_num_threads();
void set_num_threads(int n);

// Calls body(begin, end) on disjoint contiguous blocks covering [0, n): as many blocks as
// threads are configured (fewer when n is small), fixed before any thread starts.
// Runs inline when one thread is configured or n is small; an exception thrown by
// any block is rethrown on the calling thread after all blocks have finished.
// A thread the system refuses to start (a pids or address-space limit) is no error: the
// threads that did start, and the calling thread, run its blocks, with the same results.
// The environment variable SIGMORA_FAIL_THREAD_AFTER=k (read once) is a fault-injection
// switch for tests: every call then fails to start its (k+1)-th thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  std::size_t min_rows_per_thread = 1);

}  // namespace sigmora
