#include "lodestra_solver/beris_3d.hpp"

#include <algorithm>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_fields/grid.hpp"
#include "lodestra_fields/stencils.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::for_each_stencil_3d;
using lodestra_fields::laplacian7;
using lodestra_fields::Stencil3;
using lodestra_fields::VelocityGradient;

namespace {

// The flow terms walk Q's vertices and read the velocity at the same flat
// indices (and its neighbours), so a velocity on any other grid is refused
// before anything is read.
void require_same_grid(const QField3D& q, const VelocityField3D& u) {
  lodestra_core::assert_eq(q.nx, u.nx);
  lodestra_core::assert_eq(q.ny, u.ny);
  lodestra_core::assert_eq(q.nz, u.nz);
}

void require_same_grid(const QField3D& q, const QField3D& other) {
  lodestra_core::assert_eq(q.nx, other.nx);
  lodestra_core::assert_eq(q.ny, other.ny);
  lodestra_core::assert_eq(q.nz, other.nz);
}

// A fused step reads Q's neighbours while it writes `out`, so the two must be
// distinct fields of one grid.
void require_output(const QField3D& q, QField3D& out) {
  if (&out == &q) lodestra_core::panic("the output field of a step must not be its input field");
  require_same_grid(q, out);
  lodestra_core::assert_eq(q.data.size(), out.data.size());
  out.dx = q.dx;
}

// The dry Euler pass: out_m = dt (gamma_r H_m) + q_m per vertex and component,
// H_m from the 7-point Laplacian and tr(Q^2) of the vertex. It runs over the
// (i, j) columns of the grid: the records of a column and of its four x and y
// neighbour columns are contiguous runs of 5 nz doubles, and inside the column
// the l neighbours of an element lie 5 elements away. So the Laplacian of the
// whole column is first written into `out` by one flat loop that vectorises;
// then, chunk by chunk, g = two_c tr(Q^2) of each vertex is spread over its five
// elements and a second flat loop turns each Laplacian into H and the updated
// component. Both evaluate the same per-vertex formulas as the field operators.
// Compiled per instruction set (simd.hpp); flatten inlines the formulas.
constexpr Count kChunk = 64;  // vertices per chunk of the update loop

LODESTRA_SIMD_CLONES [[gnu::flatten]] void dry_pass(const QField3D& q,
                                                    const MolecularConstants3D& mc, double gamma_r,
                                                    double dt, double* __restrict o) {
  using lodestra_fields::flat_index;
  using lodestra_fields::next_index;
  using lodestra_fields::prev_index;
  const Count nx = q.nx;
  const Count ny = q.ny;
  const Count nz = q.nz;
  if (ny == 0 || nz == 0) return;
  const double inv_dx2 = 1.0 / (q.dx * q.dx);
  const Count run = 5 * nz;
  // The field term of every element of a chunk, h11, h12, h13, h22, h23 repeated.
  double field_of[5 * kChunk];
  double g_of[5 * kChunk];
  for (Count e = 0; e < 5 * kChunk; ++e) field_of[e] = mc.field[e % 5];
  for (Count i = 0; i < nx; ++i) {
    for (Count j = 0; j < ny; ++j) {
      const double* __restrict f = q.data.data() + 5 * flat_index(i, j, 0, ny, nz);
      const double* __restrict fxp =
          q.data.data() + 5 * flat_index(next_index(i, nx), j, 0, ny, nz);
      const double* __restrict fxm =
          q.data.data() + 5 * flat_index(prev_index(i, nx), j, 0, ny, nz);
      const double* __restrict fyp =
          q.data.data() + 5 * flat_index(i, next_index(j, ny), 0, ny, nz);
      const double* __restrict fym =
          q.data.data() + 5 * flat_index(i, prev_index(j, ny), 0, ny, nz);
      double* __restrict out = o + 5 * flat_index(i, j, 0, ny, nz);
      // The two end vertices of the column take their l neighbours across the wrap.
      auto wrapped = [&](Count l) {
        const Count zp = 5 * next_index(l, nz);
        const Count zm = 5 * prev_index(l, nz);
        for (Count c = 5 * l; c < 5 * l + 5; ++c) {
          out[c] = laplacian7(f[c], fxp[c], fxm[c], fyp[c], fym[c], f[zp + c - 5 * l],
                              f[zm + c - 5 * l], inv_dx2);
        }
      };
      wrapped(0);
      for (Count e = 5; e + 5 < run; ++e) {
        out[e] = laplacian7(f[e], fxp[e], fxm[e], fyp[e], fym[e], f[e + 5], f[e - 5], inv_dx2);
      }
      if (nz > 1) wrapped(nz - 1);
      // H and the update in chunks of vertices: g = two_c tr(Q^2) of each vertex is
      // spread over its five elements first, so the update is a flat loop as well.
      for (Count v0 = 0; v0 < run; v0 += 5 * kChunk) {
        const Count m = std::min(run - v0, 5 * kChunk);
        for (Count v = 0; v < m; v += 5) {
          const double g = mc.two_c * q_trace_sq(f + v0 + v);
          for (Count c = 0; c < 5; ++c) g_of[v + c] = g;
        }
        for (Count e = 0; e < m; ++e) {
          const double qe = f[v0 + e];
          const double h = molecular_component_3d(mc, field_of[e], out[v0 + e], qe, g_of[e]);
          out[v0 + e] = euler_component(qe, gamma_r * h, dt);
        }
      }
    }
  }
}

}  // namespace

QField3D co_rotation_3d(const VelocityField3D& u, const QField3D& q, double lambda) {
  require_same_grid(q, u);
  QField3D s{q.nx, q.ny, q.nz, q.dx,
             lodestra_fields::field_storage("QField3D", q.nx, q.ny, q.nz, 5)};
  const double* f = q.data.data();
  double* out = s.data.data();
  const Count n = q.len();
  for (Count k = 0; k < n; ++k) {
    const std::array<double, 5> sk = co_rotation_at(u.velocity_gradient_at(k), f + 5 * k, lambda);
    for (Count c = 0; c < 5; ++c) out[5 * k + c] = sk[c];
  }
  return s;
}

QField3D beris_edwards_rhs_3d(const QField3D& q, const VelocityField3D* u, const RidiParams3D& p,
                              double t) {
  if (u != nullptr) require_same_grid(q, *u);
  const QField3D h = molecular_field_3d(q, p, t);
  QField3D r = QField3D::zeros(q.nx, q.ny, q.nz, q.dx);
  for (std::size_t i = 0; i < r.data.size(); ++i) r.data[i] = p.gamma_r * h.data[i];
  if (u == nullptr) return r;

  const QField3D s = co_rotation_3d(*u, q, p.lambda_);
  const double e = 1.0 / (q.dx + q.dx);
  const double* f = q.data.data();
  const double* v = u->data.data();
  double* out = r.data.data();
  for_each_stencil_3d(q.nx, q.ny, q.nz, [&](const Stencil3& st) {
    const double ux = v[3 * st.k];
    const double uy = v[3 * st.k + 1];
    const double uz = v[3 * st.k + 2];
    for (Count c = 0; c < 5; ++c) {
      const double gx = central_difference(f[5 * st.xp + c], f[5 * st.xm + c], e);
      const double gy = central_difference(f[5 * st.yp + c], f[5 * st.ym + c], e);
      const double gz = central_difference(f[5 * st.zp + c], f[5 * st.zm + c], e);
      const Count i = 5 * st.k + c;
      out[i] = flow_rhs_component(out[i], s.data[i], advection_term(gx, gy, gz, ux, uy, uz));
    }
  });
  return r;
}

QField3D EulerIntegrator3D::step(const QField3D& q, const QField3D& rhs, double dt) const {
  require_same_grid(q, rhs);
  QField3D next = q;
  const double* r = rhs.data.data();
  for (std::size_t i = 0; i < next.data.size(); ++i) {
    next.data[i] = euler_component(next.data[i], r[i], dt);
  }
  return next;
}

void dry_euler_step_3d(const QField3D& q, const RidiParams3D& p, double t, double dt,
                       QField3D& out) {
  require_output(q, out);
  dry_pass(q, MolecularConstants3D::from(p, t), p.gamma_r, dt, out.data.data());
}

void flow_euler_step_3d(const QField3D& q, const VelocityField3D& u, const RidiParams3D& p,
                        double t, double dt, QField3D& out) {
  require_same_grid(q, u);
  require_output(q, out);
  const MolecularConstants3D mc = MolecularConstants3D::from(p, t);
  const double gamma_r = p.gamma_r;
  const double lambda = p.lambda_;
  const double inv_dx2 = 1.0 / (q.dx * q.dx);
  const double e = 1.0 / (q.dx + q.dx);
  const double* f = q.data.data();
  const double* v = u.data.data();
  double* o = out.data.data();
  for_each_stencil_3d(q.nx, q.ny, q.nz, [&](const Stencil3& st) {
    const double* r = f + 5 * st.k;
    const double g = mc.two_c * q_trace_sq(r);
    const std::array<double, 5> s = co_rotation_at(u.velocity_gradient_at(st.k), r, lambda);
    const double ux = v[3 * st.k];
    const double uy = v[3 * st.k + 1];
    const double uz = v[3 * st.k + 2];
    for (Count c = 0; c < 5; ++c) {
      const double xp = f[5 * st.xp + c];
      const double xm = f[5 * st.xm + c];
      const double yp = f[5 * st.yp + c];
      const double ym = f[5 * st.ym + c];
      const double zp = f[5 * st.zp + c];
      const double zm = f[5 * st.zm + c];
      const double lap = laplacian7(r[c], xp, xm, yp, ym, zp, zm, inv_dx2);
      const double h = molecular_component_3d(mc, mc.field[c], lap, r[c], g);
      const double adv =
          advection_term(central_difference(xp, xm, e), central_difference(yp, ym, e),
                         central_difference(zp, zm, e), ux, uy, uz);
      o[5 * st.k + c] = euler_component(r[c], flow_rhs_component(gamma_r * h, s[c], adv), dt);
    }
  });
}

}  // namespace lodestra_solver
