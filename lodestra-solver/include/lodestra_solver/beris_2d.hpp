#pragma once
// Right-hand side of the 2D Beris-Edwards equation
//   dQ/dt = Gamma_r H + S(Q, grad u) - (u.grad) Q.


#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"

namespace lodestra_solver {

using lodestra_core::RidiParams;
using lodestra_fields::QField2D;
using lodestra_fields::VelocityField2D;

QField2D molecular_field(const QField2D& q, const RidiParams& params);
QField2D corotation_strain(const QField2D& q, const VelocityField2D& v, const RidiParams& params);
QField2D beris_edwards_rhs(const QField2D& q, const VelocityField2D* v, const RidiParams& params);

}  // namespace lodestra_solver
