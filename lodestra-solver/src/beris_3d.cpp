#include "lodestra_solver/beris_3d.hpp"

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
// H_m from the 7-point Laplacian and tr(Q^2) of the vertex. Compiled per
// instruction set (simd.hpp); flatten inlines the stencil loop and the formulas.
LODESTRA_SIMD_CLONES [[gnu::flatten]] void dry_pass(const QField3D& q,
                                                    const MolecularConstants3D& mc, double gamma_r,
                                                    double dt, double* __restrict o) {
  const double inv_dx2 = 1.0 / (q.dx * q.dx);
  const double* __restrict f = q.data.data();
  for_each_stencil_3d(q.nx, q.ny, q.nz, [&](const Stencil3& s) {
    const double* r = f + 5 * s.k;
    const double g = mc.two_c * q_trace_sq(r);
    for (Count c = 0; c < 5; ++c) {
      const double lap = laplacian7(r[c], f[5 * s.xp + c], f[5 * s.xm + c], f[5 * s.yp + c],
                                    f[5 * s.ym + c], f[5 * s.zp + c], f[5 * s.zm + c], inv_dx2);
      const double h = molecular_component_3d(mc, mc.field[c], lap, r[c], g);
      o[5 * s.k + c] = euler_component(r[c], gamma_r * h, dt);
    }
  });
}

}  // namespace

QField3D co_rotation_3d(const VelocityField3D& u, const QField3D& q, double lambda) {
  require_same_grid(q, u);
  QField3D s{q.nx, q.ny, q.nz, q.dx, lodestra_fields::grid_storage(q.nx, q.ny, q.nz, 5)};
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
