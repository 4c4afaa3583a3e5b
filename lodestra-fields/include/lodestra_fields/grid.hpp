#pragma once
// Grid indexing, written once.
//
// Vertex (i, j) of an nx x ny grid is element i*ny + j of a field's flat sequence
// (row-major, j fastest). Both axes are periodic: the +x neighbour of i = nx - 1
// is i = 0 and the -x neighbour of i = 0 is i = nx - 1; likewise along y.

#include <cstdint>

#include "lodestra_core/sizes.hpp"

namespace lodestra_fields {

using Count = std::uint64_t;

// Number of vertices, checked against overflow of the 64-bit count.
inline Count vertex_count(Count nx, Count ny) { return lodestra_core::checked_mul(nx, ny); }

inline Count next_index(Count i, Count n) { return i + 1 == n ? 0 : i + 1; }
inline Count prev_index(Count i, Count n) { return i == 0 ? n - 1 : i - 1; }

// Flat indices of a vertex and of its four periodic neighbours.
struct Stencil {
  Count k;   // (i, j)
  Count xp;  // (i+1, j)
  Count xm;  // (i-1, j)
  Count yp;  // (i, j+1)
  Count ym;  // (i, j-1)
};

// Visits every vertex i-major, j-minor with its periodic neighbours. The wrap is
// resolved per row and at the two ends of a row, so the interior of each row is
// a branch-free run of affine indices that the compiler can vectorise.
template <class Visit>
inline void for_each_stencil(Count nx, Count ny, Visit&& visit) {
  if (ny == 0) return;
  for (Count i = 0; i < nx; ++i) {
    const Count row = i * ny;
    const Count row_p = next_index(i, nx) * ny;
    const Count row_m = prev_index(i, nx) * ny;
    visit(Stencil{row, row_p, row_m, row + next_index(0, ny), row + prev_index(0, ny)});
    for (Count j = 1; j + 1 < ny; ++j) {
      visit(Stencil{row + j, row_p + j, row_m + j, row + j + 1, row + j - 1});
    }
    if (ny > 1) {
      const Count j = ny - 1;
      visit(Stencil{row + j, row_p + j, row_m + j, row, row + j - 1});
    }
  }
}

}  // namespace lodestra_fields
