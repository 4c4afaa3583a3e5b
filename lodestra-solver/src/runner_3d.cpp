#include "lodestra_solver/runner_3d.hpp"

#include <cmath>
#include <optional>
#include <span>
#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "lodestra_solver/noise_3d.hpp"
#include "lodestra_solver/snapshot.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "tarnel_geo/events.hpp"
#include "tarnel_geo/lines.hpp"
#include "tarnel_geo/segments.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams3D;
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

// The disclination pipeline of a run: scan, assembly on the field's own grid, and
// events against the lines of the previous tracked snapshot (none at the first).
class LineTracker {
 public:
  explicit LineTracker(bool enabled) : enabled_(enabled) {}

  LineSummary snapshot(const QField3D& q, std::uint64_t frame, double threshold) {
    LineSummary summary;
    if (!enabled_) return summary;
    const auto segments = tarnel_geo::disclination::segments::scan_disclination_lines_3d(q);
    auto lines = tarnel_geo::disclination::lines::connect_disclination_lines(segments, q.nx, q.ny,
                                                                             q.nz, q.dx);
    if (previous_) {
      summary.n_events = tarnel_geo::disclination::events::track_disclination_events(
                             *previous_, lines, frame, threshold)
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
    previous_ = std::move(lines);
    return summary;
  }

 private:
  bool enabled_;
  std::optional<std::vector<DisclinationLine>> previous_;
};

// Mean of the biaxiality P over all vertices, summed in flat order from -0.0.
double mean_biaxiality(const QField3D& q) {
  double sum = -0.0;
  for (const double p : q.biaxiality_p()) sum += p;
  return sum / static_cast<double>(q.len());
}

bool is_snapshot(std::uint64_t s, std::uint64_t snap_every) {
  return snap_every > 0 && (s + 1) % snap_every == 0;
}

// Noise only for a positive amplitude (NaN adds none) on a non-empty field.
void maybe_add_noise(QField3D& q, const RidiParams3D& params, std::uint64_t seed, double k) {
  if (params.noise_amp > 0.0 && q.len() > 0) add_noise_3d(q, seed, k);
}

}  // namespace

std::pair<QField3D, std::vector<SnapStats3D>> run_ridi_3d(
    const QField3D& q_init, const RidiParams3D& params, std::uint64_t n_steps,
    std::uint64_t snap_every, const std::string& out_dir, bool track_defects) {
  const double dt = params.dt;
  const double k = std::sqrt(dt) * params.noise_amp;
  QField3D q = q_init;
  QField3D next = q_init;
  std::vector<SnapStats3D> records;
  LineTracker tracker(track_defects);
  StatsFile stats(out_dir);

  for (std::uint64_t s = 0; s < n_steps; ++s) {
    dry_euler_step_3d(q, params, dt * static_cast<double>(s), dt, next);
    std::swap(q, next);
    maybe_add_noise(q, params, s ^ kDryNoiseStream, k);
    if (!is_snapshot(s, snap_every)) continue;

    const LineSummary lines = tracker.snapshot(q, (s + 1) / snap_every, params.dx);
    const double mean_s = q.mean_s();
    const double biaxiality = mean_biaxiality(q);
    records.push_back(SnapStats3D{
        .time = dt * static_cast<double>(s + 1),
        .mean_s = mean_s,
        .biaxiality_p = biaxiality,
        .n_disclination_lines = lines.n_lines,
        .total_line_length = lines.total_length,
        .mean_line_curvature = lines.mean_curvature,
        .n_events = lines.n_events,
    });
    write_snapshot(out_dir, "q", s, q);
    stats.append(stats_record_json(records.back()));
  }
  stats.finish();
  return {std::move(q), std::move(records)};
}

std::tuple<QField3D, ScalarField3D, std::vector<BechStats3D>> run_ridi_3d_full(
    const QField3D& q_init, const ScalarField3D& phi_init, const RidiParams3D& params,
    std::uint64_t n_steps, std::uint64_t snap_every, const std::string& out_dir,
    bool track_defects) {
  lodestra_core::assert_eq(q_init.nx, phi_init.nx);
  lodestra_core::assert_eq(q_init.ny, phi_init.ny);
  lodestra_core::assert_eq(q_init.nz, phi_init.nz);
  const double dt = params.dt;
  const double k = std::sqrt(dt) * params.noise_amp;
  QField3D q = q_init;
  QField3D q_next = q_init;
  ScalarField3D phi = phi_init;
  ScalarField3D phi_next = phi_init;
  VelocityField3D u = VelocityField3D::zeros(q.nx, q.ny, q.nz, q.dx);
  std::vector<BechStats3D> records;
  LineTracker tracker(track_defects);
  StatsFile stats(out_dir);

  for (std::uint64_t s = 0; s < n_steps; ++s) {
    stokes_solve_3d_into(q, params, u);
    flow_euler_step_3d(q, u, params, dt * static_cast<double>(s), dt, q_next);
    std::swap(q, q_next);
    maybe_add_noise(q, params, s ^ kBechNoiseStream, k);
    ch_step_etd_3d_into(phi, q, params, dt, phi_next);
    std::swap(phi, phi_next);
    if (!is_snapshot(s, snap_every)) continue;

    const LineSummary lines = tracker.snapshot(q, (s + 1) / snap_every, params.dx);
    const double mean_s = q.mean_s();
    const double biaxiality = mean_biaxiality(q);
    const double mean_phi = phi.mean();
    records.push_back(BechStats3D{
        .time = dt * static_cast<double>(s + 1),
        .mean_s = mean_s,
        .biaxiality_p = biaxiality,
        .mean_phi = mean_phi,
        .n_disclination_lines = lines.n_lines,
        .total_line_length = lines.total_length,
        .mean_line_curvature = lines.mean_curvature,
        .n_events = lines.n_events,
    });
    // The velocity written is the flow that drove this step, before the Euler update.
    write_snapshot(out_dir, "q", s, q);
    write_snapshot(out_dir, "phi", s, phi);
    write_snapshot(out_dir, "vel", s, u);
    stats.append(stats_record_json(records.back()));
  }
  stats.finish();
  return {std::move(q), std::move(phi), std::move(records)};
}

}  // namespace lodestra_solver
