#include "lodestra_solver/drivers_2d.hpp"

#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_solver/noise_2d.hpp"
#include "lodestra_solver/run_2d.hpp"

namespace lodestra_solver {

namespace {

void require_snap_every(std::uint64_t snap_every) {
  if (snap_every == 0)
    lodestra_core::panic("attempt to calculate the remainder with a divisor of zero");
}

}  // namespace

RunState2D drive_2d(Model2D model, const QField2D& q_init, const ScalarField2D* phi_init,
                    const RidiParams& params, std::uint64_t n_steps, std::uint64_t snap_every) {
  require_snap_every(snap_every);
  std::optional<ScalarField2D> phi;
  if (phi_init) phi = *phi_init;
  Run2D run(
      start_run_2d(model, q_init, std::move(phi), params, driver_noise_seed_2d(params, n_steps)));
  run.advance(n_steps, snap_every, RunControl{});
  return run.release();
}

std::pair<QField2D, std::vector<SnapStats>> run_ridi_component1(const QField2D& q_init,
                                                                const RidiParams& params,
                                                                std::uint64_t n_steps,
                                                                std::uint64_t snap_every) {
  RunState2D s = drive_2d(Model2D::dry, q_init, nullptr, params, n_steps, snap_every);
  return {std::move(s.q), std::move(s.records)};
}

std::pair<QField2D, std::vector<SnapStats>> run_ridi_component1_hydro(const QField2D& q_init,
                                                                      const RidiParams& params,
                                                                      std::uint64_t n_steps,
                                                                      std::uint64_t snap_every) {
  RunState2D s = drive_2d(Model2D::hydro, q_init, nullptr, params, n_steps, snap_every);
  return {std::move(s.q), std::move(s.records)};
}

std::tuple<QField2D, ScalarField2D, std::vector<BechStats>> run_ridi_bech(
    const QField2D& q_init, const ScalarField2D& phi_init, const RidiParams& params,
    std::uint64_t n_steps, std::uint64_t snap_every) {
  RunState2D s = drive_2d(Model2D::bech, q_init, &phi_init, params, n_steps, snap_every);
  return {std::move(s.q), std::move(s.phi), std::move(s.bech_records)};
}

}  // namespace lodestra_solver
