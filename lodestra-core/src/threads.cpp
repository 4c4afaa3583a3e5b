#include "lodestra_core/threads.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "lodestra_core/panic.hpp"

namespace lodestra_core {

namespace {

std::atomic<bool> timing_on{false};
std::mutex timing_mutex;
LoopTimes timing_totals;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void add_loop_time(double caller, double longest) {
  std::lock_guard<std::mutex> lock(timing_mutex);
  timing_totals.caller += caller;
  timing_totals.longest += longest;
}

// True on a thread while it runs a part of a parallel loop (the caller's included).
thread_local bool in_parallel_loop = false;

struct RegionFlag {
  RegionFlag() { in_parallel_loop = true; }
  ~RegionFlag() { in_parallel_loop = false; }
  RegionFlag(const RegionFlag&) = delete;
  RegionFlag& operator=(const RegionFlag&) = delete;
};

// The workers and the one loop they run. Worker w runs part w of each loop (the caller runs
// part 0); a loop is published by bumping `generation` under `mutex`.
class Pool {
 public:
  explicit Pool(std::size_t threads) : threads_(threads) {}
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  std::size_t threads() const { return threads_.load(std::memory_order_relaxed); }

  void resize(std::size_t n) {
    std::lock_guard<std::mutex> one_loop(dispatch_);
    stop_workers();
    threads_.store(n, std::memory_order_relaxed);
  }

  void run(std::uint64_t begin, std::uint64_t end, std::size_t parts, detail::PartFn fn,
           void* context) {
    std::unique_lock<std::mutex> one_loop(dispatch_, std::try_to_lock);
    if (!one_loop.owns_lock()) {
      // Another thread's loop holds the workers: this one runs here, whole.
      RegionFlag flag;
      fn(context, begin, end);
      return;
    }
    start_workers(parts - 1);
    std::vector<std::exception_ptr> errors(parts);
    const bool timed = timing_on.load(std::memory_order_relaxed);
    std::vector<double> seconds(timed ? parts : 0);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = Job{begin, end, parts, fn, context, &errors, timed ? seconds.data() : nullptr};
      pending_ = parts - 1;
      ++generation_;
    }
    wake_.notify_all();
    const double start = timed ? cpu_seconds() : 0.0;
    {
      RegionFlag flag;
      try {
        fn(context, begin, part_begin(begin, end, parts, 1));
      } catch (...) {
        errors[0] = std::current_exception();
      }
    }
    if (timed) seconds[0] = cpu_seconds() - start;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [&] { return pending_ == 0; });
    }
    if (timed) {
      double longest = 0.0;
      for (const double t : seconds) longest = t > longest ? t : longest;
      add_loop_time(cpu_seconds() - start, longest);
    }
    for (const std::exception_ptr& e : errors) {
      if (e) std::rethrow_exception(e);
    }
  }

 private:
  struct Job {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::size_t parts = 0;
    detail::PartFn fn = nullptr;
    void* context = nullptr;
    std::vector<std::exception_ptr>* errors = nullptr;
    double* seconds = nullptr;  // CPU time per part, when loops are timed
  };

  // At least `count` workers (numbered 1 ..).
  void start_workers(std::size_t count) {
    while (workers_.size() < count) {
      const std::size_t index = workers_.size() + 1;
      std::uint64_t seen;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen = generation_;
      }
      workers_.emplace_back([this, index, seen] { work(index, seen); });
    }
  }

  void stop_workers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
  }

  void work(std::size_t index, std::uint64_t seen) {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        job = job_;
      }
      if (index >= job.parts) continue;
      {
        RegionFlag flag;
        const double start = job.seconds != nullptr ? cpu_seconds() : 0.0;
        try {
          job.fn(job.context, part_begin(job.begin, job.end, job.parts, index),
                 part_begin(job.begin, job.end, job.parts, index + 1));
        } catch (...) {
          (*job.errors)[index] = std::current_exception();
        }
        if (job.seconds != nullptr) job.seconds[index] = cpu_seconds() - start;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (--pending_ == 0) done_.notify_one();
    }
  }

  std::atomic<std::size_t> threads_;
  std::mutex dispatch_;  // held by the caller of a loop while the workers run its parts
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  std::uint64_t generation_ = 0;
  std::size_t pending_ = 0;
  bool stop_ = false;
  Job job_;
};

std::atomic<std::uint64_t> min_work{32768};

// Never destroyed: workers blocked at exit must not be joined by a static destructor.
Pool* the_pool = nullptr;
std::once_flag pool_once;

// A forked child has none of its parent's workers, and the parent's locks may be held
// there: the child starts a fresh pool (the old one is abandoned) with the same count.
void after_fork_in_child() {
  if (the_pool != nullptr) the_pool = new Pool(the_pool->threads());
}

Pool& pool() {
  std::call_once(pool_once, [] {
    the_pool = new Pool(1);
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
  });
  return *the_pool;
}

}  // namespace

std::size_t num_threads() { return pool().threads(); }

void set_num_threads(std::size_t n) {
  if (n == 0) panic("the number of threads must be at least 1");
  if (in_parallel_loop) panic("the number of threads cannot change inside a parallel loop");
  pool().resize(n);
}

std::uint64_t min_parallel_work() { return min_work.load(std::memory_order_relaxed); }
void set_min_parallel_work(std::uint64_t items) {
  min_work.store(items == 0 ? 1 : items, std::memory_order_relaxed);
}

void set_loop_timing(bool on) { timing_on.store(on, std::memory_order_relaxed); }

LoopTimes loop_times() {
  std::lock_guard<std::mutex> lock(timing_mutex);
  return timing_totals;
}

void reset_loop_times() {
  std::lock_guard<std::mutex> lock(timing_mutex);
  timing_totals = LoopTimes{};
}

namespace detail {

bool loop_timing() { return timing_on.load(std::memory_order_relaxed); }

void run_timed_inline(PartFn fn, void* context, std::uint64_t begin, std::uint64_t end) {
  if (in_parallel_loop) {  // counted by the loop around it
    fn(context, begin, end);
    return;
  }
  const double start = cpu_seconds();
  {
    RegionFlag flag;
    fn(context, begin, end);
  }
  const double t = cpu_seconds() - start;
  add_loop_time(t, t);
}

std::size_t part_count(std::uint64_t begin, std::uint64_t end, std::uint64_t grain) {
  if (in_parallel_loop) return 1;
  const std::size_t threads = num_threads();
  if (threads <= 1) return 1;
  const std::uint64_t n = end - begin;
  const std::uint64_t fit = n / (grain == 0 ? 1 : grain);
  if (fit < 2) return 1;
  return fit < threads ? static_cast<std::size_t>(fit) : threads;
}

void run_parts(std::uint64_t begin, std::uint64_t end, std::size_t parts, PartFn fn,
               void* context) {
  pool().run(begin, end, parts, fn, context);
}

}  // namespace detail

}  // namespace lodestra_core
