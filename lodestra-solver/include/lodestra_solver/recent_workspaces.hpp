#pragma once
// The workspaces (FFT plans, wavenumber tables, factors, buffers) of the few grids a
// single-operator function was called on most recently, so that a caller stepping one
// grid call after call pays the planning and the tables once. A workspace gives
// bit-identical results whether it is fresh or reused: its plans are FFTW_ESTIMATE plans,
// which depend only on the extents, and its tables are rebuilt when the spacing or the
// parameters they depend on change.
//
// Memory stays bounded: at most kSlots grids and kVerticesMax vertices in all (about 12 MB
// of workspace per operator); the least recently used grid goes first, and a grid larger
// than the whole budget gets a workspace of its own for the call. One cache per thread, so
// that a caller with threads never shares a workspace (FFTW's planner itself is not
// thread-safe; the engine runs on one thread).

#include <array>
#include <cstddef>
#include <memory>
#include <utility>

#include "lodestra_fields/grid.hpp"

namespace lodestra_solver {

template <class Workspace>
class RecentWorkspaces {
 public:
  static constexpr std::size_t kSlots = 4;
  static constexpr lodestra_fields::Count kVerticesMax = lodestra_fields::Count{1} << 18;

  // Runs use(workspace) with the workspace of the nx x ny grid (made with spacing dx if new).
  template <class Use>
  void with(lodestra_fields::Count nx, lodestra_fields::Count ny, double dx, Use&& use) {
    const lodestra_fields::Count vertices = lodestra_fields::vertex_count(nx, ny);
    if (vertices > kVerticesMax) {
      Workspace workspace(nx, ny, dx);
      use(workspace);
      return;
    }
    std::size_t found = used_;
    for (std::size_t s = 0; s < used_; ++s) {
      if (slots_[s].nx == nx && slots_[s].ny == ny) found = s;
    }
    if (found == used_) {
      // Made before anything is evicted, so a failure leaves the cache as it was.
      Slot fresh{nx, ny, vertices, std::make_unique<Workspace>(nx, ny, dx)};
      while (used_ > 0 && (used_ == kSlots || cached_vertices_ + vertices > kVerticesMax)) {
        --used_;
        cached_vertices_ -= slots_[used_].vertices;
        slots_[used_] = Slot{};
      }
      slots_[used_] = std::move(fresh);
      cached_vertices_ += vertices;
      found = used_++;
    }
    // Most recently used first.
    for (std::size_t s = found; s > 0; --s) std::swap(slots_[s], slots_[s - 1]);
    use(*slots_[0].workspace);
  }

 private:
  struct Slot {
    lodestra_fields::Count nx = 0;
    lodestra_fields::Count ny = 0;
    lodestra_fields::Count vertices = 0;
    std::unique_ptr<Workspace> workspace;
  };
  std::array<Slot, kSlots> slots_{};
  std::size_t used_ = 0;
  lodestra_fields::Count cached_vertices_ = 0;
};

// The workspace of the last 3D grid an operator ran on, so that a runner stepping one
// grid pays the planning once and allocates nothing per step. Only one is kept: a 3D
// workspace is as large as the fields it serves. Results equal those of a fresh one.
template <class Workspace>
class LastWorkspace3D {
 public:
  Workspace& for_grid(lodestra_fields::Count nx, lodestra_fields::Count ny,
                      lodestra_fields::Count nz, double dx) {
    if (!workspace_ || nx_ != nx || ny_ != ny || nz_ != nz) {
      workspace_.reset();
      workspace_ = std::make_unique<Workspace>(nx, ny, nz, dx);
      nx_ = nx;
      ny_ = ny;
      nz_ = nz;
    }
    return *workspace_;
  }

 private:
  lodestra_fields::Count nx_ = 0;
  lodestra_fields::Count ny_ = 0;
  lodestra_fields::Count nz_ = 0;
  std::unique_ptr<Workspace> workspace_;
};

}  // namespace lodestra_solver
