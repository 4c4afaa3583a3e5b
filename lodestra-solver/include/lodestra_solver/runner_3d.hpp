#pragma once
// The two 3D runners: dry (Euler, optional noise, rotating field) and the full BECH
// model (Stokes flow, Euler, noise, Cahn-Hilliard). Both step first and take a
// snapshot after every snap_every-th step: statistics, the optional disclination
// pipeline, and .npy files in out_dir; stats.json holds the records so far.

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/stats_3d.hpp"

namespace lodestra_solver {

std::pair<lodestra_fields::QField3D, std::vector<SnapStats3D>> run_ridi_3d(
    const lodestra_fields::QField3D& q_init, const lodestra_core::RidiParams3D& params,
    std::uint64_t n_steps, std::uint64_t snap_every, const std::string& out_dir,
    bool track_defects);

// q_init and phi_init must share one grid (Panic otherwise, before any step).
std::tuple<lodestra_fields::QField3D, lodestra_fields::ScalarField3D, std::vector<BechStats3D>>
run_ridi_3d_full(const lodestra_fields::QField3D& q_init,
                 const lodestra_fields::ScalarField3D& phi_init,
                 const lodestra_core::RidiParams3D& params, std::uint64_t n_steps,
                 std::uint64_t snap_every, const std::string& out_dir, bool track_defects);

}  // namespace lodestra_solver
