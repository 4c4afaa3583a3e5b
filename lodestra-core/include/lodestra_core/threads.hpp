#pragma once
// The engine's threads: one process-wide pool, opt-in, one thread by default.
//
// With one thread (the default) every loop runs on the calling thread exactly as a plain
// loop would. With n threads, parallel_for splits an index range into at most n consecutive
// parts by a static rule that depends only on the range, the grain and n: the caller runs the
// first part and the pool's workers the others, and parallel_for returns when all are done.
// Loops split this way write disjoint elements and compute each one with the same formula
// whatever the part it falls in, so results are bit-identical at any thread count; a sum
// whose order is fixed is never split (its terms may be computed in parallel, then added up
// in order on the calling thread).
//
// The pool is made of std::thread workers, started at the first parallel loop after
// set_num_threads and kept for the life of the process (a forked child starts its own).
// A parallel loop entered from inside another, or from a second thread while the pool is
// busy, runs on its calling thread. A worker's exception is rethrown on the calling thread
// (the one of the lowest part, when several fail).

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace lodestra_core {

// Threads the engine's loops use (1 at start-up).
std::size_t num_threads();
// Sets the thread count for the loops that follow; n = 0 is a Panic, and so is a call from
// inside a parallel loop. Idle workers beyond n stop; missing ones start at the next loop.
void set_num_threads(std::size_t n);

// Work below which a loop is not worth splitting, in elementary items (a vertex component,
// a stored mode); 32768 by default. Tests lower it to split tiny grids.
std::uint64_t min_parallel_work();
void set_min_parallel_work(std::uint64_t items);

// Grain (minimum indices per part) of a loop whose every index does `items_per_index` items.
inline std::uint64_t grain_for(std::uint64_t items_per_index) {
  const std::uint64_t per = items_per_index == 0 ? 1 : items_per_index;
  const std::uint64_t work = min_parallel_work();
  return work / per + (work % per != 0 ? 1 : 0);
}

// Benchmarks on a shared machine: with loop timing on, every parallel loop adds the
// calling thread's CPU time inside it to `caller` and the CPU time of its longest part to
// `longest`. A run's CPU time on the calling thread, minus `caller`, plus `longest`, is the
// time it would take with a core per thread; with one thread, `caller` is the part of the
// run that threads share. Off by default.
struct LoopTimes {
  double caller = 0.0;
  double longest = 0.0;
};
void set_loop_timing(bool on);
LoopTimes loop_times();
void reset_loop_times();

namespace detail {
bool loop_timing();
void run_timed_inline(void (*fn)(void*, std::uint64_t, std::uint64_t), void* context,
                      std::uint64_t begin, std::uint64_t end);
using PartFn = void (*)(void* context, std::uint64_t begin, std::uint64_t end);
// Parts [begin, end) is split into: min(threads, (end - begin) / grain), at least 1; 1 inside
// a parallel loop.
std::size_t part_count(std::uint64_t begin, std::uint64_t end, std::uint64_t grain);
void run_parts(std::uint64_t begin, std::uint64_t end, std::size_t parts, PartFn fn, void* context);
}  // namespace detail

// Part p of [begin, end) split into `parts`: q = n / parts indices each, the first n % parts
// parts one more.
inline std::uint64_t part_begin(std::uint64_t begin, std::uint64_t end, std::size_t parts,
                                std::size_t p) {
  const std::uint64_t n = end - begin;
  const std::uint64_t q = n / parts;
  const std::uint64_t r = n % parts;
  return begin + q * p + (p < r ? p : r);
}

// Calls fn(b, e) on consecutive disjoint ranges covering [begin, end), each at least `grain`
// indices long (but one), at most num_threads() of them, concurrently. With one part, fn
// runs once on the calling thread, inline.
template <class Fn>
void parallel_for(std::uint64_t begin, std::uint64_t end, std::uint64_t grain, Fn&& fn) {
  if (end <= begin) return;
  const std::size_t parts = detail::part_count(begin, end, grain);
  using F = std::remove_reference_t<Fn>;
  constexpr detail::PartFn call = [](void* context, std::uint64_t b, std::uint64_t e) {
    (*static_cast<F*>(context))(b, e);
  };
  void* const context = const_cast<void*>(static_cast<const void*>(&fn));
  if (parts <= 1) {
    if (detail::loop_timing()) {
      detail::run_timed_inline(call, context, begin, end);
    } else {
      fn(begin, end);
    }
    return;
  }
  detail::run_parts(begin, end, parts, call, context);
}

}  // namespace lodestra_core
