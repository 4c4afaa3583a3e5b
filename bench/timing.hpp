#pragma once
// Timing helpers shared by the engine benchmarks: the best of several repeats,
// in seconds, so that a figure and its limit are measured alike in one run.
// Times are the calling thread's CPU time, so that other processes sharing the
// machine slow neither a figure nor its limit (the engine runs on one thread).

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace bench {

inline double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <class F>
double best_seconds(F&& f, int repeats = 20) {
  double best = std::numeric_limits<double>::infinity();
  for (int r = 0; r < repeats; ++r) {
    const double start = thread_seconds();
    f();
    best = std::min(best, thread_seconds() - start);
  }
  return best;
}

// Prints "name: X us, limit Y us, ratio R (at most M)" and returns whether it holds.
inline bool report(const char* name, double seconds, double limit_seconds, double max_ratio) {
  const double ratio = seconds / limit_seconds;
  std::printf("%-44s %10.1f us  reference %10.1f us  ratio %6.3f (at most %.2f) %s\n", name,
              seconds * 1e6, limit_seconds * 1e6, ratio, max_ratio,
              ratio <= max_ratio ? "ok" : "OVER");
  return ratio <= max_ratio;
}

// Keeps the optimiser from discarding a computed value.
template <class T>
inline void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

}  // namespace bench
