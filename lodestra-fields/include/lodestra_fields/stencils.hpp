#pragma once
// Per-vertex finite-difference formulas, each evaluated in the order written.
// The loops around them live with the operators (and in the solver's fused
// steps), so every caller gets bit-identical values.

#include "lodestra_fields/grid.hpp"

namespace lodestra_fields {

// Periodic 5-point Laplacian: (f(i+1,j) + f(i-1,j) + f(i,j+1) + f(i,j-1) - 4 f) / dx^2,
// neighbours summed in that order; dx2 = dx * dx.
inline double laplacian5(double f, double xp, double xm, double yp, double ym, double dx2) {
  return ((((xp + xm) + yp) + ym) - 4.0 * f) / dx2;
}

// Periodic 7-point Laplacian: inv_dx2 * (f(i+1) + f(i-1) + f(j+1) + f(j-1) + f(l+1)
// + f(l-1) - 6 f), neighbours summed left to right; inv_dx2 = 1 / (dx * dx).
inline double laplacian7(double f, double xp, double xm, double yp, double ym, double zp, double zm,
                         double inv_dx2) {
  return inv_dx2 * ((((((xp + xm) + yp) + ym) + zp) + zm) - 6.0 * f);
}

// Laplacian of every component of a field of records of Width doubles, into l.
template <Count Width>
inline void laplacian_records(const double* f, double* l, Count nx, Count ny, double dx) {
  const double dx2 = dx * dx;
  for_each_stencil(nx, ny, [&](const Stencil& s) {
    for (Count c = 0; c < Width; ++c) {
      l[Width * s.k + c] = laplacian5(f[Width * s.k + c], f[Width * s.xp + c], f[Width * s.xm + c],
                                      f[Width * s.yp + c], f[Width * s.ym + c], dx2);
    }
  });
}

// First-order upwind advective derivative u.grad(f): backward difference where the
// velocity component is >= 0 (zero included), forward difference otherwise.
inline double upwind(double f, double xp, double xm, double yp, double ym, double ux, double uy,
                     double dx) {
  // The operands are chosen first and subtracted once, so the choice compiles to
  // selects rather than branches on the unpredictable signs of a flow.
  const bool back_x = ux >= 0.0;
  const bool back_y = uy >= 0.0;
  const double ddx = (back_x ? f : xp) - (back_x ? xm : f);
  const double ddy = (back_y ? f : yp) - (back_y ? ym : f);
  return (ddx / dx) * ux + (ddy / dx) * uy;
}

}  // namespace lodestra_fields
