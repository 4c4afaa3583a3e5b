#pragma once
// A 2D run as a value that steps: the one run loop of the three 2D models. The
// drivers set a run up as specified and advance it once; a steppable run
// advances it in segments, and the state between segments (fields, step,
// generator, records) is everything its future depends on, so segments of any
// length give the same run as one call.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/model_options.hpp"
#include "lodestra_solver/noise_2d.hpp"
#include "lodestra_solver/run_control.hpp"

namespace lodestra_solver {

enum class Model2D : std::uint8_t { dry, hydro, bech };

struct RunState2D {
  Model2D model = Model2D::dry;
  RidiParams params;
  ModelOptions options;  // the models with flow; defaults elsewhere
  QField2D q;
  ScalarField2D phi;                          // bech; empty otherwise
  lodestra_fields::VelocityField2D velocity;  // hydro, bech: the flow of the last step
  std::uint64_t step = 0;                     // steps taken since the start of the run
  bool recorded = false;                      // the record of `step` has been taken
  lodestra_fields::Xoshiro256pp noise{};      // the run's one noise stream
  std::vector<SnapStats> records;             // dry, hydro
  std::vector<BechStats> bech_records;        // bech
  std::uint64_t first_non_finite = kNoStep;   // first record step with a non-finite field
  double max_courant = 0.0;                   // largest |u| dt / dx at a record
};

// A new run at step 0: copies of the fields, zero flow on Q's grid for the models
// with flow, the noise stream seeded with `noise_seed`.
RunState2D start_run_2d(Model2D model, QField2D q, std::optional<ScalarField2D> phi,
                        const RidiParams& params, std::uint64_t noise_seed);

// A driver's run: started at step 0 with the noise stream of (grid, n_steps) and
// advanced once to the end without polling. Its first_non_finite is the first
// record step whose field was not finite, or the last step when only the final
// field is not. snap_every = 0 is a Panic before anything.
RunState2D drive_2d(Model2D model, const QField2D& q_init, const ScalarField2D* phi_init,
                    const RidiParams& params, std::uint64_t n_steps, std::uint64_t snap_every);

class Run2D {
 public:
  explicit Run2D(RunState2D state);
  ~Run2D();
  Run2D(Run2D&&) noexcept;
  Run2D& operator=(Run2D&&) noexcept;

  // Takes n_steps more steps. Records are taken at every global step that is a
  // multiple of snap_every, step 0 included, each once: the record of step t
  // comes before step t + 1 is taken. snap_every = 0 is a Panic before anything.
  RunOutcome advance(std::uint64_t n_steps, std::uint64_t snap_every, const RunControl& control);

  const RunState2D& state() const { return state_; }
  RunState2D release() { return std::move(state_); }

 private:
  struct Workspaces;
  struct Resume;

  bool take_record(const RunControl& control);
  void step_once(const Noise2D& noise);
  void save_resume();
  void restore_resume();

  RunState2D state_;
  std::unique_ptr<Workspaces> work_;
  std::unique_ptr<Resume> resume_;
};

}  // namespace lodestra_solver
