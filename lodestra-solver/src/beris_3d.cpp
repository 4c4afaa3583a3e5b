#include "lodestra_solver/beris_3d.hpp"

#include <algorithm>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/simd.hpp"
#include "lodestra_core/threads.hpp"
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
// Compiled per instruction set (simd.hpp); flatten inlines the formulas. kFieldOnly
// writes H itself instead of the update (the molecular field of the passive stress). A
// call does the columns c0 <= i*ny + j < c1 with its own chunk scratch on its own stack,
// so threads share a pass by columns.
constexpr Count kChunk = 64;  // vertices per chunk of the update loop

template <bool kFieldOnly>
LODESTRA_SIMD_CLONES [[gnu::flatten]] void dry_pass(const QField3D& q,
                                                    const MolecularConstants3D& mc, double gamma_r,
                                                    double dt, double* __restrict o, Count c0,
                                                    Count c1) {
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
  for (Count col = c0; col < c1; ++col) {
    {
      const Count i = col / ny;
      const Count j = col % ny;
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
          out[v0 + e] = kFieldOnly ? h : euler_component(qe, gamma_r * h, dt);
        }
      }
    }
  }
}

// The Euler pass with flow, column by column like the dry pass and, inside a
// column, in chunks of vertices. A chunk's Q records, velocities and the nine
// entries of the velocity gradient are first laid out one array per component,
// so that the loop of the co-rotation S and of g = two_c tr(Q^2) runs over
// unit-stride arrays and vectorises. Then S, g and the velocity are spread over
// each vertex's five elements; one flat loop over the elements gives the
// Laplacian (into `o`) and the advection term, and a second one H and the
// update. Each value is the same per-vertex formula as the field operators use,
// so the pass equals their composition bit for bit. kAlign adds the flow-alignment
// completion (xi) to S. Columns c0 <= i*ny + j < c1, as the dry pass.
template <bool kAlign, bool kStoredH>
LODESTRA_SIMD_CLONES [[gnu::flatten]] void flow_pass(const QField3D& q, const VelocityField3D& u,
                                                     const MolecularConstants3D& mc, double gamma_r,
                                                     double lambda, double xi, double dt,
                                                     const double* __restrict hs,
                                                     double* __restrict o, Count c0, Count c1) {
  using lodestra_fields::flat_index;
  using lodestra_fields::gradient_entry;
  using lodestra_fields::next_index;
  using lodestra_fields::prev_index;
  const Count nx = q.nx;
  const Count ny = q.ny;
  const Count nz = q.nz;
  if (ny == 0 || nz == 0) return;
  const double inv_dx2 = 1.0 / (q.dx * q.dx);
  const double e = 1.0 / (q.dx + q.dx);
  const double hu = 1.0 / (2.0 * u.dx);
  // Per vertex of a chunk.
  double q_c[5][kChunk];
  double u_c[3][kChunk];
  double grad[3][3][kChunk];
  double s_c[5][kChunk];
  double g_v[kChunk];
  // Per element of a chunk.
  double s_of[5 * kChunk];
  double ux_of[5 * kChunk];
  double uy_of[5 * kChunk];
  double uz_of[5 * kChunk];
  double adv_of[5 * kChunk];
  double g_of[5 * kChunk];
  double field_of[5 * kChunk];
  for (Count k = 0; k < 5 * kChunk; ++k) field_of[k] = mc.field[k % 5];
  const double* qd = q.data.data();
  const double* ud = u.data.data();
  for (Count col = c0; col < c1; ++col) {
    {
      const Count i = col / ny;
      const Count j = col % ny;
      const Count here = flat_index(i, j, 0, ny, nz);
      const Count xp = flat_index(next_index(i, nx), j, 0, ny, nz);
      const Count xm = flat_index(prev_index(i, nx), j, 0, ny, nz);
      const Count yp = flat_index(i, next_index(j, ny), 0, ny, nz);
      const Count ym = flat_index(i, prev_index(j, ny), 0, ny, nz);
      const double* __restrict f = qd + 5 * here;
      const double* __restrict fxp = qd + 5 * xp;
      const double* __restrict fxm = qd + 5 * xm;
      const double* __restrict fyp = qd + 5 * yp;
      const double* __restrict fym = qd + 5 * ym;
      const double* __restrict v = ud + 3 * here;
      const double* __restrict vxp = ud + 3 * xp;
      const double* __restrict vxm = ud + 3 * xm;
      const double* __restrict vyp = ud + 3 * yp;
      const double* __restrict vym = ud + 3 * ym;
      double* __restrict out = o + 5 * here;

      for (Count l0 = 0; l0 < nz; l0 += kChunk) {
        const Count m = std::min(nz - l0, kChunk);
        for (Count t = 0; t < m; ++t) {
          const Count l = l0 + t;
          for (Count c = 0; c < 5; ++c) q_c[c][t] = f[5 * l + c];
          for (Count b = 0; b < 3; ++b) {
            u_c[b][t] = v[3 * l + b];
            grad[0][b][t] = gradient_entry(vxp[3 * l + b], vxm[3 * l + b], hu);
            grad[1][b][t] = gradient_entry(vyp[3 * l + b], vym[3 * l + b], hu);
          }
          const Count lp = next_index(l, nz);
          const Count lm = prev_index(l, nz);
          for (Count b = 0; b < 3; ++b) {
            grad[2][b][t] = gradient_entry(v[3 * lp + b], v[3 * lm + b], hu);
          }
        }
        for (Count t = 0; t < m; ++t) {
          const double r[5] = {q_c[0][t], q_c[1][t], q_c[2][t], q_c[3][t], q_c[4][t]};
          double gt[3][3];
          for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) gt[a][b] = grad[a][b][t];
          }
          const VelocityGradient dw = lodestra_fields::strain_and_vorticity(gt);
          const std::array<double, 5> st = co_rotation_at(dw, r, lambda);
          for (Count c = 0; c < 5; ++c) s_c[c][t] = st[c];
          if constexpr (kAlign) {
            const std::array<double, 5> sa = alignment_completion_at(dw, r, xi);
            for (Count c = 0; c < 5; ++c) s_c[c][t] = s_c[c][t] + sa[c];
          }
          if constexpr (!kStoredH) g_v[t] = mc.two_c * q_trace_sq(r);
        }
        for (Count t = 0; t < m; ++t) {
          for (Count c = 0; c < 5; ++c) {
            s_of[5 * t + c] = s_c[c][t];
            ux_of[5 * t + c] = u_c[0][t];
            uy_of[5 * t + c] = u_c[1][t];
            uz_of[5 * t + c] = u_c[2][t];
            if constexpr (!kStoredH) g_of[5 * t + c] = g_v[t];
          }
        }
        const double* __restrict fc = f + 5 * l0;
        double* __restrict oc = out + 5 * l0;
        // Element k of the chunk with its l neighbours kp and km, as offsets from fc.
        auto differences = [&](Count k, Count kp, Count km) {
          const double zp = fc[kp];
          const double zm = fc[km];
          if constexpr (!kStoredH) {
            oc[k] = laplacian7(fc[k], fxp[5 * l0 + k], fxm[5 * l0 + k], fyp[5 * l0 + k],
                               fym[5 * l0 + k], zp, zm, inv_dx2);
          }
          adv_of[k] = advection_term(central_difference(fxp[5 * l0 + k], fxm[5 * l0 + k], e),
                                     central_difference(fyp[5 * l0 + k], fym[5 * l0 + k], e),
                                     central_difference(zp, zm, e), ux_of[k], uy_of[k], uz_of[k]);
        };
        // The two end vertices of the column take their l neighbours across the wrap.
        auto wrapped = [&](Count l) {
          const Count zp = 5 * next_index(l, nz) - 5 * l0;
          const Count zm = 5 * prev_index(l, nz) - 5 * l0;
          for (Count c = 0; c < 5; ++c) differences(5 * (l - l0) + c, zp + c, zm + c);
        };
        const bool first = l0 == 0;
        const bool last = l0 + m == nz;
        if (first) wrapped(0);
        const Count k_end = last ? 5 * m - 5 : 5 * m;
        for (Count k = first ? 5 : 0; k < k_end; ++k) differences(k, k + 5, k - 5);
        if (last && nz > 1) wrapped(nz - 1);
        for (Count k = 0; k < 5 * m; ++k) {
          const double h = kStoredH
                               ? hs[5 * (here + l0) + k]
                               : molecular_component_3d(mc, field_of[k], oc[k], fc[k], g_of[k]);
          oc[k] = euler_component(fc[k], flow_rhs_component(gamma_r * h, s_of[k], adv_of[k]), dt);
        }
      }
    }
  }
}

// The passive stress of n vertices into nine planes of n values (sigma_ab in plane 3a + b):
// passive_stress_3d_at written out on scalars, operation for operation, so that the loop
// over vertices vectorises. Vertices k0 <= k < k1 of the n. Compiled per instruction set.
template <bool kFull>
LODESTRA_SIMD_CLONES void stress_pass(const double* __restrict q, const double* __restrict h,
                                      Count n, Count k0, Count k1, double lambda, double xi,
                                      double* __restrict out) {
  const double two_lambda = lambda + lambda;
  const double c = (xi + xi) / 3.0;
  for (Count k = k0; k < k1; ++k) {
    const double* r = q + 5 * k;
    const double* g = h + 5 * k;
    // Q = [[a, b, e], [b, d, f], [e, f, -(a + d)]], H likewise with capitals.
    const double a = r[0], b = r[1], e = r[2], d = r[3], f = r[4], z = -(a + d);
    const double ha = g[0], hb = g[1], he = g[2], hd = g[3], hf = g[4], hz = -(ha + hd);
    // P = Q H, entry (i, j) = (Q_i0 H_0j + Q_i1 H_1j) + Q_i2 H_2j.
    const double p00 = (a * ha + b * hb) + e * he;
    const double p01 = (a * hb + b * hd) + e * hf;
    const double p02 = (a * he + b * hf) + e * hz;
    const double p10 = (b * ha + d * hb) + f * he;
    const double p11 = (b * hb + d * hd) + f * hf;
    const double p12 = (b * he + d * hf) + f * hz;
    const double p20 = (e * ha + f * hb) + z * he;
    const double p21 = (e * hb + f * hd) + z * hf;
    const double p22 = (e * he + f * hf) + z * hz;
    const double a01 = p01 - p10;
    const double a02 = p02 - p20;
    const double a12 = p12 - p21;
    double s[9] = {0.0, a01, a02, -a01, 0.0, a12, -a02, -a12, 0.0};
    if constexpr (kFull) {
      const double tlq = two_lambda * ((p00 + p11) + p22);
      const double s00 = (a * tlq - lambda * (p00 + p00)) - c * ha;
      const double s01 = (b * tlq - lambda * (p01 + p10)) - c * hb;
      const double s02 = (e * tlq - lambda * (p02 + p20)) - c * he;
      const double s11 = (d * tlq - lambda * (p11 + p11)) - c * hd;
      const double s12 = (f * tlq - lambda * (p12 + p21)) - c * hf;
      const double s22 = (z * tlq - lambda * (p22 + p22)) - c * hz;
      s[0] = s00;
      s[1] = s01 + a01;
      s[2] = s02 + a02;
      s[3] = s01 - a01;
      s[4] = s11;
      s[5] = s12 + a12;
      s[6] = s02 - a02;
      s[7] = s12 - a12;
      s[8] = s22;
    }
    for (Count m = 0; m < 9; ++m) out[m * n + k] = s[m];
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

void passive_stress_3d(const QField3D& q, const RidiParams3D& p, double t, double xi, bool full,
                       QField3D& h, std::vector<double>& sigma) {
  if (&h == &q) lodestra_core::panic("the molecular field must not be written over Q");
  h.nx = q.nx;
  h.ny = q.ny;
  h.nz = q.nz;
  h.dx = q.dx;
  h.data.resize(q.data.size());
  const MolecularConstants3D mc = MolecularConstants3D::from(p, t);
  lodestra_fields::parallel_columns_3d(q.nx, q.ny, q.nz, 5, [&](Count c0, Count c1) {
    dry_pass<true>(q, mc, 0.0, 0.0, h.data.data(), c0, c1);
  });
  const Count n = q.len();
  sigma.resize(9 * n);
  lodestra_core::parallel_for(0, n, lodestra_core::grain_for(9), [&](Count k0, Count k1) {
    if (full) {
      stress_pass<true>(q.data.data(), h.data.data(), n, k0, k1, p.lambda_, xi, sigma.data());
    } else {
      stress_pass<false>(q.data.data(), h.data.data(), n, k0, k1, p.lambda_, xi, sigma.data());
    }
  });
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
  const MolecularConstants3D mc = MolecularConstants3D::from(p, t);
  lodestra_fields::parallel_columns_3d(q.nx, q.ny, q.nz, 5, [&](Count c0, Count c1) {
    dry_pass<false>(q, mc, p.gamma_r, dt, out.data.data(), c0, c1);
  });
}

void flow_euler_step_3d(const QField3D& q, const VelocityField3D& u, const RidiParams3D& p,
                        double t, double dt, QField3D& out, double flow_alignment,
                        const QField3D* h) {
  require_same_grid(q, u);
  require_output(q, out);
  if (h != nullptr) {
    require_same_grid(q, *h);
    lodestra_core::assert_eq(q.data.size(), h->data.size());
  }
  const MolecularConstants3D mc = MolecularConstants3D::from(p, t);
  const double* hs = h != nullptr ? h->data.data() : nullptr;
  double* o = out.data.data();
  const double xi = flow_alignment;
  lodestra_fields::parallel_columns_3d(q.nx, q.ny, q.nz, 5, [&](Count c0, Count c1) {
    if (hs != nullptr) {
      if (xi == 0.0) {
        flow_pass<false, true>(q, u, mc, p.gamma_r, p.lambda_, xi, dt, hs, o, c0, c1);
      } else {
        flow_pass<true, true>(q, u, mc, p.gamma_r, p.lambda_, xi, dt, hs, o, c0, c1);
      }
    } else if (xi == 0.0) {
      flow_pass<false, false>(q, u, mc, p.gamma_r, p.lambda_, xi, dt, hs, o, c0, c1);
    } else {
      flow_pass<true, false>(q, u, mc, p.gamma_r, p.lambda_, xi, dt, hs, o, c0, c1);
    }
  });
}

}  // namespace lodestra_solver
