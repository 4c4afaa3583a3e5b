#pragma once
// How a run talks to its caller while it steps. The specified drivers run to the
// end without a word; a steppable run polls its caller between steps (for
// signals, a progress display), stops on a failed file write, and stops when its
// field stops being finite. Every stop leaves the run at the end of a finished
// step, ready to continue.

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>

namespace lodestra_solver {

struct RunControl {
  // Called between steps at most every poll_interval seconds of work; returning
  // false stops the run after the step just finished.
  std::function<bool()> poll;
  double poll_interval = 0.1;
  // A failed snapshot or statistics write stops the run (else: the warning line).
  bool stop_on_output_failure = false;
  // A non-finite field at a snapshot stops the run and restores the state of the
  // last finite snapshot (else: the run goes on and remembers the first such step).
  bool stop_on_non_finite = false;
};

enum class RunStop : std::uint8_t { completed, polled, output_failed, non_finite };

struct RunOutcome {
  RunStop stop = RunStop::completed;
  std::string failed_path;   // output_failed: the file
  std::string failure_text;  // output_failed: the system's message
};

// No non-finite field seen yet.
inline constexpr std::uint64_t kNoStep = std::numeric_limits<std::uint64_t>::max();

// Whether every value is finite.
bool all_finite(std::span<const double> values);

// The time-gated poll of one segment.
class Poller {
 public:
  explicit Poller(const RunControl& control)
      : control_(control), last_(std::chrono::steady_clock::now()) {}

  bool keep_going() {
    if (!control_.poll) return true;
    const auto now = std::chrono::steady_clock::now();
    if (std::chrono::duration<double>(now - last_).count() < control_.poll_interval) return true;
    last_ = now;
    return control_.poll();
  }

 private:
  const RunControl& control_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace lodestra_solver
