#pragma once
// Grid indexing, written once.
//
// 2D: vertex (i, j) of an nx x ny grid is element i*ny + j of a field's flat sequence
// (row-major, j fastest).
// 3D: vertex (i, j, l) of an nx x ny x nz grid is element (i*ny + j)*nz + l (l fastest).
// Every axis is periodic: the forward neighbour of m = n - 1 is 0 and the backward
// neighbour of 0 is n - 1; on an axis of size 1 the vertex is its own neighbour.

#include <cstdint>

#include "lodestra_core/sizes.hpp"
#include "lodestra_core/threads.hpp"

namespace lodestra_fields {

using Count = std::uint64_t;

// Number of vertices, checked against overflow of the 64-bit count.
inline Count vertex_count(Count nx, Count ny) { return lodestra_core::checked_mul(nx, ny); }
inline Count vertex_count(Count nx, Count ny, Count nz) {
  return lodestra_core::checked_mul(lodestra_core::checked_mul(nx, ny), nz);
}

inline Count next_index(Count i, Count n) { return i + 1 == n ? 0 : i + 1; }
inline Count prev_index(Count i, Count n) { return i == 0 ? n - 1 : i - 1; }

// The indices (i, j, l) of a 3D vertex and its flat index, both ways.
struct Vertex3 {
  Count i;
  Count j;
  Count l;
};
inline Count flat_index(Count i, Count j, Count l, Count ny, Count nz) {
  return (i * ny + j) * nz + l;
}
inline Vertex3 split_index(Count k, Count ny, Count nz) {
  const Count column = k / nz;
  return Vertex3{column / ny, column % ny, k % nz};
}

// Flat indices of a vertex and of its four periodic neighbours.
struct Stencil {
  Count k;   // (i, j)
  Count xp;  // (i+1, j)
  Count xm;  // (i-1, j)
  Count yp;  // (i, j+1)
  Count ym;  // (i, j-1)
};

// Visits the vertices of rows i0 <= i < i1 i-major, j-minor with their periodic
// neighbours. The wrap is resolved per row and at the two ends of a row, so the
// interior of each row is a branch-free run of affine indices that the compiler can
// vectorise.
template <class Visit>
inline void for_each_stencil_rows(Count nx, Count ny, Count i0, Count i1, Visit&& visit) {
  if (ny == 0) return;
  for (Count i = i0; i < i1; ++i) {
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

// Visits every vertex, as for_each_stencil_rows over all rows.
template <class Visit>
inline void for_each_stencil(Count nx, Count ny, Visit&& visit) {
  for_each_stencil_rows(nx, ny, 0, nx, visit);
}

// Splits the rows of an nx x ny grid across the engine's threads (threads.hpp) and calls
// rows(i0, i1) once per part; a pass that writes only its own rows' vertices gives the
// same values at any thread count.
template <class Rows>
inline void parallel_rows(Count nx, Count ny, Count items_per_vertex, Rows&& rows) {
  lodestra_core::parallel_for(
      0, nx, lodestra_core::grain_for(lodestra_core::checked_mul(ny, items_per_vertex)), rows);
}

// for_each_stencil with the rows split across the engine's threads: `visit` must write
// only the vertex it is given.
template <class Visit>
inline void parallel_stencil(Count nx, Count ny, Count items_per_vertex, Visit&& visit) {
  parallel_rows(nx, ny, items_per_vertex,
                [&](Count i0, Count i1) { for_each_stencil_rows(nx, ny, i0, i1, visit); });
}

// Flat indices of a 3D vertex and of its six periodic neighbours.
struct Stencil3 {
  Count k;   // (i, j, l)
  Count xp;  // (i+1, j, l)
  Count xm;  // (i-1, j, l)
  Count yp;  // (i, j+1, l)
  Count ym;  // (i, j-1, l)
  Count zp;  // (i, j, l+1)
  Count zm;  // (i, j, l-1)
};

// Flat indices of vertex (i, j, 0) of a 3D column and of the same vertex of its four
// x and y neighbour columns; vertex (i, j, l) of each is that index plus l.
struct Column3 {
  Count k;   // (i, j, 0)
  Count xp;  // (i+1, j, 0)
  Count xm;  // (i-1, j, 0)
  Count yp;  // (i, j+1, 0)
  Count ym;  // (i, j-1, 0)
};

// The column (i, j) = (c / ny, c % ny) of a 3D grid with its periodic neighbour columns.
inline Column3 column_3d(Count c, Count nx, Count ny, Count nz) {
  const Count i = c / ny;
  const Count j = c % ny;
  const Count ip = next_index(i, nx);
  const Count im = prev_index(i, nx);
  return Column3{(i * ny + j) * nz, (ip * ny + j) * nz, (im * ny + j) * nz,
                 (i * ny + next_index(j, ny)) * nz, (i * ny + prev_index(j, ny)) * nz};
}

// Visits the (i, j) columns c0 <= i*ny + j < c1 of a 3D grid in flat order with their
// periodic neighbour columns. Along l, only l = 0 and l = nz - 1 wrap; in between, the
// neighbours of element l are l + 1 and l - 1 of the same column (see
// for_each_stencil_3d). Always inlined, so that the loop is compiled for the caller's
// instruction set.
template <class Visit>
[[gnu::always_inline]] inline void for_each_column_3d_range(Count nx, Count ny, Count nz, Count c0,
                                                            Count c1, Visit&& visit) {
  if (ny == 0 || nz == 0) return;
  for (Count c = c0; c < c1; ++c) visit(column_3d(c, nx, ny, nz));
}

// Visits every (i, j) column of a 3D grid in flat order (see for_each_column_3d_range).
template <class Visit>
[[gnu::always_inline]] inline void for_each_column_3d(Count nx, Count ny, Count nz, Visit&& visit) {
  if (ny == 0 || nz == 0) return;
  for_each_column_3d_range(nx, ny, nz, 0, nx * ny, visit);
}

// Splits the nx*ny columns of a 3D grid across the engine's threads (threads.hpp) and
// calls columns(c0, c1) once per part, each column holding nz vertices of
// `items_per_vertex` items. A pass that writes only its own columns' vertices gives the
// same values at any thread count.
template <class Columns>
inline void parallel_columns_3d(Count nx, Count ny, Count nz, Count items_per_vertex,
                                Columns&& columns) {
  if (ny == 0 || nz == 0) return;
  lodestra_core::parallel_for(
      0, nx * ny, lodestra_core::grain_for(lodestra_core::checked_mul(nz, items_per_vertex)),
      columns);
}

// Visits every 3D vertex in flat order (i outermost, l innermost) with its periodic
// neighbours. As in 2D, the wrap is resolved per (i, j) column and at its two ends, so
// the interior of each column is a branch-free run of affine indices.
template <class Visit>
[[gnu::always_inline]] inline void for_each_stencil_3d_range(Count nx, Count ny, Count nz, Count c0,
                                                             Count c1, Visit&& visit) {
  for_each_column_3d_range(
      nx, ny, nz, c0, c1, [&](const Column3& c) __attribute__((always_inline)) {
        auto at = [&](Count l, Count lp, Count lm) {
          visit(Stencil3{c.k + l, c.xp + l, c.xm + l, c.yp + l, c.ym + l, c.k + lp, c.k + lm});
        };
        at(0, next_index(0, nz), prev_index(0, nz));
        for (Count l = 1; l + 1 < nz; ++l) at(l, l + 1, l - 1);
        if (nz > 1) at(nz - 1, 0, nz - 2);
      });
}

template <class Visit>
[[gnu::always_inline]] inline void for_each_stencil_3d(Count nx, Count ny, Count nz,
                                                       Visit&& visit) {
  if (ny == 0 || nz == 0) return;
  for_each_stencil_3d_range(nx, ny, nz, 0, nx * ny, visit);
}

// for_each_stencil_3d with the columns split across the engine's threads: `visit` must
// write only the vertex it is given.
template <class Visit>
inline void parallel_stencil_3d(Count nx, Count ny, Count nz, Count items_per_vertex,
                                Visit&& visit) {
  parallel_columns_3d(nx, ny, nz, items_per_vertex, [&](Count c0, Count c1) {
    for_each_stencil_3d_range(nx, ny, nz, c0, c1, visit);
  });
}

}  // namespace lodestra_fields
