#pragma once
// Timing helpers shared by the engine benchmarks: the best of several repeats,
// in seconds, so that a figure and its limit are measured alike in one run.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

namespace bench {

template <class F>
double best_seconds(F&& f, int repeats = 20) {
  double best = std::numeric_limits<double>::infinity();
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto stop = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
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
