#include "lodestra_solver/mol_field_3d.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::QField3D;

QField3D molecular_field_3d(const QField3D& q, const lodestra_core::RidiParams3D& p, double t) {
  const MolecularConstants3D mc = MolecularConstants3D::from(p, t);
  const QField3D lap = q.laplacian();
  QField3D h{q.nx, q.ny, q.nz, q.dx,
             lodestra_fields::field_storage("QField3D", q.nx, q.ny, q.nz, 5)};
  const double* l = lap.data.data();
  const double* f = q.data.data();
  double* out = h.data.data();
  const Count n = q.len();
  for (Count k = 0; k < n; ++k) {
    const double* r = f + 5 * k;
    const double g = mc.two_c * q_trace_sq(r);
    for (Count c = 0; c < 5; ++c) {
      out[5 * k + c] = molecular_component_3d(mc, mc.field[c], l[5 * k + c], r[c], g);
    }
  }
  return h;
}

}  // namespace lodestra_solver
