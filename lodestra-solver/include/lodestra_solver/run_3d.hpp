#pragma once
// A 3D run as a value that steps: the one run loop of the dry and BECH models.
// The runners set a run up as specified and advance it once; a steppable run
// advances it in segments. The state between segments (fields, global step, noise
// seeding, records, the lines of the last tracked snapshot) is everything the
// future depends on: the rotating field's phase, the snapshot schedule, the file
// names and the event tracker all use the global step.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/model_options.hpp"
#include "lodestra_solver/run_control.hpp"
#include "lodestra_solver/stats_3d.hpp"
#include "tarnel_geo/lines.hpp"

namespace lodestra_solver {

class StatsFile;

enum class Model3D : std::uint8_t { dry, bech };

struct RunState3D {
  Model3D model = Model3D::dry;
  lodestra_core::RidiParams3D params;
  ModelOptions options;  // the models with flow; defaults elsewhere
  lodestra_fields::QField3D q;
  lodestra_fields::ScalarField3D phi;         // bech; empty otherwise
  lodestra_fields::VelocityField3D velocity;  // bech: the flow that drove the last step
  std::uint64_t step = 0;                     // steps taken since the start of the run
  // The noise of step s: without a seed the runners' per-step seed s XOR the model's
  // stream constant; with one, seeded_noise_seed_3d(seed, stream, s).
  std::optional<std::uint64_t> seed;
  bool track_defects = false;
  std::optional<std::string> out_dir;     // where snapshots go; none writes no file
  std::vector<SnapStats3D> records;       // dry
  std::vector<BechStats3D> bech_records;  // bech
  std::optional<std::vector<tarnel_geo::DisclinationLine>> previous_lines;
  std::uint64_t first_non_finite = kNoStep;  // first snapshot step with a non-finite field
  double max_courant = 0.0;                  // largest |u|_max dt / dx at a snapshot
};

// The per-step noise seed of a seeded run: SplitMix64's output function applied to
// the mix of the seed and the model's stream, then to that plus the step, so that
// runs of different seeds draw from unrelated streams at every step.
std::uint64_t seeded_noise_seed_3d(std::uint64_t seed, std::uint64_t stream, std::uint64_t step);

// A new run at step 0 with copies of the fields (phi for bech only) and zero flow.
RunState3D start_run_3d(Model3D model, lodestra_fields::QField3D q,
                        std::optional<lodestra_fields::ScalarField3D> phi,
                        const lodestra_core::RidiParams3D& params,
                        std::optional<std::string> out_dir, bool track_defects,
                        std::optional<std::uint64_t> seed);

// A runner's run: the runners' per-step noise seeds, files always written (a failure
// is the warning line), advanced once to the end without polling. first_non_finite
// is the first snapshot step whose field was not finite, or the last step when only
// the final field is not. With phi (bech), both fields must share one grid (Panic
// before any step).
RunState3D drive_3d(Model3D model, const lodestra_fields::QField3D& q_init,
                    const lodestra_fields::ScalarField3D* phi_init,
                    const lodestra_core::RidiParams3D& params, std::uint64_t n_steps,
                    std::uint64_t snap_every, const std::string& out_dir, bool track_defects);

class Run3D {
 public:
  explicit Run3D(RunState3D state);
  ~Run3D();
  Run3D(Run3D&&) noexcept;
  Run3D& operator=(Run3D&&) noexcept;

  // Takes n_steps more steps; after every step whose global count is a multiple of
  // snap_every (none when it is 0) takes a snapshot: the record, the disclination
  // pipeline when tracked, the .npy files and stats.json with every record so far.
  // stats.json is written once more at the end of the segment.
  RunOutcome advance(std::uint64_t n_steps, std::uint64_t snap_every, const RunControl& control);

  const RunState3D& state() const { return state_; }
  RunState3D release() { return std::move(state_); }

 private:
  struct Workspaces;
  struct Resume;

  void open_stats();
  void step_once();
  bool snapshot(std::uint64_t snap_every, const RunControl& control, RunOutcome& outcome);
  bool write_files(const RunControl& control, RunOutcome& outcome);
  bool write_stats(const RunControl& control, RunOutcome& outcome);
  void save_resume();
  void restore_resume();

  RunState3D state_;
  std::unique_ptr<Workspaces> work_;
  std::unique_ptr<Resume> resume_;
  std::unique_ptr<StatsFile> stats_;  // out_dir/stats.json while the run writes it
};

}  // namespace lodestra_solver
