#pragma once
// The three 2D drivers: dry (RK4), hydrodynamic (Euler with Stokes flow) and the
// two-field BECH model, each recording statistics every snap_every steps. The
// run_2d.hpp's drive_2d gives the whole final state of a driver's run.

#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;

struct SnapStats {
  double time;
  double mean_s;
  std::uint64_t n_defects;
  std::uint64_t n_plus;
  std::uint64_t n_minus;
  double defect_density;
};

struct BechStats {
  double time;
  double mean_s;
  std::uint64_t n_defects;
  std::uint64_t n_plus;
  std::uint64_t n_minus;
  double defect_density;
  double mean_phi;
  double phi_variance;
  double mean_grad_phi_sq;
};

std::pair<QField2D, std::vector<SnapStats>> run_ridi_component1(const QField2D& q_init,
                                                                const RidiParams& params,
                                                                std::uint64_t n_steps,
                                                                std::uint64_t snap_every);

std::pair<QField2D, std::vector<SnapStats>> run_ridi_component1_hydro(const QField2D& q_init,
                                                                      const RidiParams& params,
                                                                      std::uint64_t n_steps,
                                                                      std::uint64_t snap_every);

std::tuple<QField2D, ScalarField2D, std::vector<BechStats>> run_ridi_bech(
    const QField2D& q_init, const ScalarField2D& phi_init, const RidiParams& params,
    std::uint64_t n_steps, std::uint64_t snap_every);

}  // namespace lodestra_solver
