#include "lodestra_solver/run_3d.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>

#include "lodestra_core/panic.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "lodestra_solver/noise_3d.hpp"
#include "lodestra_solver/snapshot.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "tarnel_geo/events.hpp"
#include "tarnel_geo/segments.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;
using lodestra_fields::VelocityField3D;
using tarnel_geo::DisclinationLine;

namespace {

// What a snapshot records of its disclination lines.
struct LineSummary {
  std::uint64_t n_lines = 0;
  double total_length = -0.0;
  double mean_curvature = 0.0;
  std::uint64_t n_events = 0;
};

// The disclination pipeline of one snapshot: scan, assembly on the field's own grid,
// and events against the lines of the previous tracked snapshot (none at the first),
// which this snapshot's lines then replace.
LineSummary track_lines(const QField3D& q, std::uint64_t frame, double threshold,
                        std::optional<std::vector<DisclinationLine>>& previous) {
  LineSummary summary;
  const auto segments = tarnel_geo::disclination::segments::scan_disclination_lines_3d(q);
  auto lines =
      tarnel_geo::disclination::lines::connect_disclination_lines(segments, q.nx, q.ny, q.nz, q.dx);
  if (previous) {
    summary.n_events = tarnel_geo::disclination::events::track_disclination_events(*previous, lines,
                                                                                   frame, threshold)
                           .size();
  }
  summary.n_lines = lines.size();
  // Line length in vertex units, and the curvature summed line by line, vertex by
  // vertex, both from -0.0.
  for (const DisclinationLine& line : lines) {
    summary.total_length += static_cast<double>(line.vertices.size());
  }
  if (summary.total_length > 0.0) {
    double curvature = -0.0;
    for (const DisclinationLine& line : lines) {
      for (const double c : line.curvatures) curvature += c;
    }
    summary.mean_curvature = curvature / summary.total_length;
  }
  previous = std::move(lines);
  return summary;
}

// Mean of the biaxiality P over all vertices, summed in flat order from -0.0.
double mean_biaxiality(const QField3D& q) {
  double sum = -0.0;
  for (const double p : q.biaxiality_p()) sum += p;
  return sum / static_cast<double>(q.len());
}

// Largest |u| dt / dx over the grid.
double courant_3d(const VelocityField3D& u, double dt) {
  double top = 0.0;
  for (Count k = 0; k < u.len(); ++k) {
    const double* v = &u.data[3 * k];
    top = std::max(top, std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
  }
  return top * dt / u.dx;
}

std::uint64_t stream_of(Model3D model) {
  return model == Model3D::dry ? kDryNoiseStream : kBechNoiseStream;
}

}  // namespace

std::uint64_t seeded_noise_seed_3d(std::uint64_t seed, std::uint64_t stream, std::uint64_t step) {
  return lodestra_fields::splitmix64_mix(lodestra_fields::splitmix64_mix(seed ^ stream) + step);
}

RunState3D start_run_3d(Model3D model, QField3D q, std::optional<ScalarField3D> phi,
                        const RidiParams3D& params, std::optional<std::string> out_dir,
                        bool track_defects, std::optional<std::uint64_t> seed) {
  RunState3D s;
  s.model = model;
  s.params = params;
  s.q = std::move(q);
  if (phi) s.phi = std::move(*phi);
  if (model == Model3D::bech) s.velocity = VelocityField3D::zeros(s.q.nx, s.q.ny, s.q.nz, s.q.dx);
  s.seed = seed;
  s.track_defects = track_defects;
  s.out_dir = std::move(out_dir);
  return s;
}

// The buffers of the next Q and phi, built once per run.
struct Run3D::Workspaces {
  QField3D q_next;
  ScalarField3D phi_next;
  QField3D h;                  // the molecular field and
  std::vector<double> stress;  // the passive stress of a step with backflow
  explicit Workspaces(const RunState3D& s) : q_next(s.q), phi_next(s.phi) {}
};

// The state of the last finite snapshot (or of the start of the segment).
struct Run3D::Resume {
  QField3D q;
  ScalarField3D phi;
  VelocityField3D velocity;
  std::uint64_t step;
  std::size_t n_records;
  std::optional<std::vector<DisclinationLine>> previous_lines;
  double max_courant;
};

Run3D::Run3D(RunState3D state) : state_(std::move(state)) {}
Run3D::~Run3D() = default;
Run3D::Run3D(Run3D&&) noexcept = default;
Run3D& Run3D::operator=(Run3D&&) noexcept = default;

void Run3D::save_resume() {
  const RunState3D& s = state_;
  const std::size_t n = s.model == Model3D::bech ? s.bech_records.size() : s.records.size();
  resume_ = std::make_unique<Resume>(
      Resume{s.q, s.phi, s.velocity, s.step, n, s.previous_lines, s.max_courant});
}

void Run3D::restore_resume() {
  RunState3D& s = state_;
  Resume& r = *resume_;
  s.q = std::move(r.q);
  s.phi = std::move(r.phi);
  s.velocity = std::move(r.velocity);
  s.step = r.step;
  s.records.resize(std::min(s.records.size(), r.n_records));
  s.bech_records.resize(std::min(s.bech_records.size(), r.n_records));
  s.previous_lines = std::move(r.previous_lines);
  s.max_courant = r.max_courant;
  resume_.reset();
  // stats.json loses the records taken after the resume point.
  if (s.out_dir) {
    open_stats();
    stats_->finish();
    stats_.reset();
  }
}

// Step s (0-based global index): Euler with the rotating field at t = dt s, noise
// seeded for s, and for the BECH model the flow of the old Q before and phi after.
void Run3D::step_once() {
  RunState3D& s = state_;
  Workspaces& w = *work_;
  const RidiParams3D& p = s.params;
  const double dt = p.dt;
  const double t = dt * static_cast<double>(s.step);
  if (s.model == Model3D::dry) {
    dry_euler_step_3d(s.q, p, t, dt, w.q_next);
  } else {
    // With backflow H is formed once, for the passive stress and for the update.
    const ModelOptions& o = s.options;
    const bool backflow = o.backflow != Backflow::off;
    if (backflow) {
      passive_stress_3d(s.q, p, t, o.flow_alignment, o.backflow == Backflow::full, w.h, w.stress);
    }
    stokes_solve_3d_into(s.q, p, s.velocity, o.friction, backflow ? &w.stress : nullptr);
    flow_euler_step_3d(s.q, s.velocity, p, t, dt, w.q_next, o.flow_alignment,
                       backflow ? &w.h : nullptr);
  }
  std::swap(s.q, w.q_next);
  // Noise only for a positive amplitude (NaN adds none) on a non-empty field.
  if (p.noise_amp > 0.0 && s.q.len() > 0) {
    const std::uint64_t stream = stream_of(s.model);
    const std::uint64_t seed =
        s.seed ? seeded_noise_seed_3d(*s.seed, stream, s.step) : s.step ^ stream;
    add_noise_3d(s.q, seed, std::sqrt(dt) * p.noise_amp);
  }
  if (s.model == Model3D::bech) {
    ch_step_etd_3d_into(s.phi, s.q, p, dt, w.phi_next);
    std::swap(s.phi, w.phi_next);
  }
}

bool Run3D::write_files(const RunControl& control, RunOutcome& outcome) {
  const RunState3D& s = state_;
  if (!s.out_dir) return true;
  // Files are named by the index of the step just taken; the velocity written is the
  // flow that drove it, before the Euler update.
  const std::uint64_t index = s.step - 1;
  auto one = [&](const char* prefix, std::span<const double> records, std::uint64_t ncomp) {
    const std::string path = join_path(*s.out_dir, snapshot_file_name(prefix, index));
    // The header takes the field's own grid, which is what the data hold.
    auto written = write_npy(path, records, ncomp, s.q.nx, s.q.ny, s.q.nz);
    if (written) return true;
    if (!control.stop_on_output_failure) {
      warn_write_failure(path, written.error());
      return true;
    }
    outcome.stop = RunStop::output_failed;
    outcome.failed_path = path;
    outcome.failure_text = written.error().text;
    return false;
  };
  if (!one("q", s.q.data, 5)) return false;
  if (s.model == Model3D::bech) {
    if (!one("phi", s.phi.data, 1)) return false;
    if (!one("vel", s.velocity.data, 3)) return false;
  }
  return true;
}

// stats.json as it stands for the records so far (rewritten whole at its first write).
void Run3D::open_stats() {
  const RunState3D& s = state_;
  stats_ = std::make_unique<StatsFile>(
      *s.out_dir, s.model == Model3D::bech
                      ? stats_json(std::span<const BechStats3D>(s.bech_records))
                      : stats_json(std::span<const SnapStats3D>(s.records)));
}

// Appends the newest record to stats.json.
bool Run3D::write_stats(const RunControl& control, RunOutcome& outcome) {
  const RunState3D& s = state_;
  if (!s.out_dir) return true;
  stats_->append(s.model == Model3D::bech ? stats_record_json(s.bech_records.back())
                                          : stats_record_json(s.records.back()));
  auto error = stats_->take_error();
  if (!error || !control.stop_on_output_failure) return true;
  outcome.stop = RunStop::output_failed;
  outcome.failed_path = error->first;
  outcome.failure_text = error->second.text;
  return false;
}

// The snapshot after the step just taken; false when the run must stop.
bool Run3D::snapshot(std::uint64_t snap_every, const RunControl& control, RunOutcome& outcome) {
  RunState3D& s = state_;
  const bool finite = all_finite(s.q.data) && all_finite(s.phi.data);
  if (!finite) {
    if (s.first_non_finite == kNoStep) s.first_non_finite = s.step;
    if (control.stop_on_non_finite) {
      const std::uint64_t bad = s.step;
      if (resume_) restore_resume();
      s.first_non_finite = bad;
      outcome.stop = RunStop::non_finite;
      return false;
    }
  }
  LineSummary lines;
  if (s.track_defects) lines = track_lines(s.q, s.step / snap_every, s.params.dx, s.previous_lines);
  const double time = s.params.dt * static_cast<double>(s.step);
  const double mean_s = s.q.mean_s();
  const double biaxiality = mean_biaxiality(s.q);
  if (s.model == Model3D::dry) {
    s.records.push_back(SnapStats3D{
        .time = time,
        .mean_s = mean_s,
        .biaxiality_p = biaxiality,
        .n_disclination_lines = lines.n_lines,
        .total_line_length = lines.total_length,
        .mean_line_curvature = lines.mean_curvature,
        .n_events = lines.n_events,
    });
  } else {
    const double mean_phi = s.phi.mean();
    s.bech_records.push_back(BechStats3D{
        .time = time,
        .mean_s = mean_s,
        .biaxiality_p = biaxiality,
        .mean_phi = mean_phi,
        .n_disclination_lines = lines.n_lines,
        .total_line_length = lines.total_length,
        .mean_line_curvature = lines.mean_curvature,
        .n_events = lines.n_events,
    });
  }
  if (!write_files(control, outcome) || !write_stats(control, outcome)) return false;
  if (finite && control.stop_on_non_finite) {
    if (s.model == Model3D::bech) {
      s.max_courant = std::max(s.max_courant, courant_3d(s.velocity, s.params.dt));
    }
    save_resume();
  }
  return true;
}

RunOutcome Run3D::advance(std::uint64_t n_steps, std::uint64_t snap_every,
                          const RunControl& control) {
  RunState3D& s = state_;
  if (n_steps > kNoStep - 1 - s.step) throw std::overflow_error("the step count overflows");
  const std::uint64_t end = s.step + n_steps;
  if (n_steps > 0 && !work_) work_ = std::make_unique<Workspaces>(s);
  // The resume point: this state, unless the last snapshot saved it already.
  const bool saved = resume_ && resume_->step == s.step;
  if (control.stop_on_non_finite && !saved && all_finite(s.q.data) && all_finite(s.phi.data)) {
    save_resume();
  }
  if (s.out_dir && !stats_) open_stats();
  Poller poller(control);
  RunOutcome outcome;
  while (s.step < end) {
    step_once();
    ++s.step;
    if (snap_every > 0 && s.step % snap_every == 0 && !snapshot(snap_every, control, outcome)) {
      return outcome;
    }
    if (s.step < end && !poller.keep_going()) {
      outcome.stop = RunStop::polled;
      break;
    }
  }
  // stats.json is complete at the end of every segment ("[]" for a run without records);
  // the next segment rewrites it once and appends again.
  if (stats_) {
    stats_->finish();
    stats_.reset();
  }
  if (s.first_non_finite == kNoStep && !(all_finite(s.q.data) && all_finite(s.phi.data))) {
    s.first_non_finite = s.step;
  }
  return outcome;
}

}  // namespace lodestra_solver
