#include "lodestra_solver/runner_3d.hpp"

#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_solver/run_3d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;

RunState3D drive_3d(Model3D model, const QField3D& q_init, const ScalarField3D* phi_init,
                    const RidiParams3D& params, std::uint64_t n_steps, std::uint64_t snap_every,
                    const std::string& out_dir, bool track_defects) {
  if (phi_init) {
    lodestra_core::assert_eq(q_init.nx, phi_init->nx);
    lodestra_core::assert_eq(q_init.ny, phi_init->ny);
    lodestra_core::assert_eq(q_init.nz, phi_init->nz);
  }
  std::optional<ScalarField3D> phi;
  if (phi_init) phi = *phi_init;
  Run3D run(
      start_run_3d(model, q_init, std::move(phi), params, out_dir, track_defects, std::nullopt));
  run.advance(n_steps, snap_every, RunControl{});
  return run.release();
}

std::pair<QField3D, std::vector<SnapStats3D>> run_ridi_3d(
    const QField3D& q_init, const RidiParams3D& params, std::uint64_t n_steps,
    std::uint64_t snap_every, const std::string& out_dir, bool track_defects) {
  RunState3D s =
      drive_3d(Model3D::dry, q_init, nullptr, params, n_steps, snap_every, out_dir, track_defects);
  return {std::move(s.q), std::move(s.records)};
}

std::tuple<QField3D, ScalarField3D, std::vector<BechStats3D>> run_ridi_3d_full(
    const QField3D& q_init, const ScalarField3D& phi_init, const RidiParams3D& params,
    std::uint64_t n_steps, std::uint64_t snap_every, const std::string& out_dir,
    bool track_defects) {
  RunState3D s = drive_3d(Model3D::bech, q_init, &phi_init, params, n_steps, snap_every, out_dir,
                          track_defects);
  return {std::move(s.q), std::move(s.phi), std::move(s.bech_records)};
}

}  // namespace lodestra_solver
