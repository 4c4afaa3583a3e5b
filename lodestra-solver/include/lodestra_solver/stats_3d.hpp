#pragma once
// The per-snapshot records of the two 3D runners, fields in their written order
// (the order of their stats.json keys).

#include <cstdint>

namespace lodestra_solver {

// Dry runner (run_ridi_3d).
struct SnapStats3D {
  double time;
  double mean_s;
  double biaxiality_p;
  std::uint64_t n_disclination_lines;
  double total_line_length;
  double mean_line_curvature;
  std::uint64_t n_events;
};

// BECH runner (run_ridi_3d_full).
struct BechStats3D {
  double time;
  double mean_s;
  double biaxiality_p;
  double mean_phi;
  std::uint64_t n_disclination_lines;
  double total_line_length;
  double mean_line_curvature;
  std::uint64_t n_events;
};

}  // namespace lodestra_solver
