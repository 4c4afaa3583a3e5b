#include "lodestra_solver/beris_2d.hpp"

#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_fields/grid.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::for_each_stencil;
using lodestra_fields::Stencil;

QField2D molecular_field(const QField2D& q, const RidiParams& params) {
  const MolecularCoeffs coeffs = MolecularCoeffs::from(params);
  const QField2D lap = q.laplacian();
  const std::vector<double> q_sq = q.order_param_sq();
  QField2D h{q.nx, q.ny, q.dx, lodestra_fields::field_storage("QField2D", q.nx, q.ny, 2)};
  const double* l = lap.data.data();
  const double* f = q.data.data();
  double* out = h.data.data();
  const Count n = q.len();
  for (Count k = 0; k < n; ++k) {
    out[2 * k] = molecular_component(l[2 * k], f[2 * k], q_sq[k], coeffs);
    out[2 * k + 1] = molecular_component(l[2 * k + 1], f[2 * k + 1], q_sq[k], coeffs);
  }
  return h;
}

QField2D corotation_strain(const QField2D& q, const VelocityField2D& v, const RidiParams& params) {
  // The gradient stencil walks Q's vertices and reads the velocity at the same
  // flat indices, so a velocity of any other shape would be read out of bounds.
  lodestra_core::assert_eq(q.nx, v.nx);
  lodestra_core::assert_eq(q.ny, v.ny);
  QField2D s{q.nx, q.ny, q.dx, lodestra_fields::field_storage("QField2D", q.nx, q.ny, 2)};
  const double two_dx = 2.0 * q.dx;
  const double lambda = params.lambda_;
  const double* f = q.data.data();
  const double* u = v.data.data();
  double* out = s.data.data();
  for_each_stencil(q.nx, q.ny, [&](const Stencil& st) {
    const VelocityGradient g =
        central_gradient(u[2 * st.xp], u[2 * st.xm], u[2 * st.yp], u[2 * st.ym], u[2 * st.xp + 1],
                         u[2 * st.xm + 1], u[2 * st.yp + 1], u[2 * st.ym + 1], two_dx);
    const CorotationPair p = corotation_at(g, f[2 * st.k], f[2 * st.k + 1], lambda);
    out[2 * st.k] = p.s1;
    out[2 * st.k + 1] = p.s2;
  });
  return s;
}

QField2D beris_edwards_rhs(const QField2D& q, const VelocityField2D* v, const RidiParams& params) {
  QField2D r = molecular_field(q, params).scale(params.gamma_r);
  if (v == nullptr) return r;
  const QField2D advection = v->advect(q);
  const QField2D strain = corotation_strain(q, *v, params);
  return r.add(strain).add(advection.scale(-1.0));
}

}  // namespace lodestra_solver
