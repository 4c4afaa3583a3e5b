#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <string>
#include <tuple>

#include "lodestra_core/params.hpp"
#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/beris_2d.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "lodestra_solver/noise_2d.hpp"
#include "lodestra_solver/run_2d.hpp"
#include "lodestra_solver/run_3d.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "lodestra_solver/steps_2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "same_bits.hpp"

using lodestra_core::RidiParams;
using lodestra_core::RidiParams3D;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::ScalarField3D;
using namespace lodestra_solver;

namespace {

using M2 = std::array<std::array<double, 2>, 2>;
using M3 = std::array<std::array<double, 3>, 3>;

template <class M>
M mul(const M& a, const M& b) {
  M c{};
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < a.size(); ++j)
      for (std::size_t k = 0; k < a.size(); ++k) c[i][j] += a[i][k] * b[k][j];
  return c;
}

template <class M>
double contract(const M& a, const M& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < a.size(); ++j) s += a[i][j] * b[i][j];
  return s;
}

RidiParams active_params(Count n) {
  RidiParams p = RidiParams::default_test();
  p.nx = p.ny = n;
  p.zeta_eff = 1.5;
  p.noise_amp = 0.02;
  return p;
}

Run2D run_2d(Model2D model, const QField2D& q, const RidiParams& p, const ModelOptions& o,
             std::uint64_t n_steps) {
  const ScalarField2D phi = ScalarField2D::uniform(q.nx, q.ny, q.dx, 0.3);
  RunState2D s = start_run_2d(model, q, model == Model2D::bech ? std::optional(phi) : std::nullopt,
                              p, driver_noise_seed_2d(p, n_steps));
  s.options = o;
  return Run2D(std::move(s));
}

}  // namespace

// ---- Runs: defaults are the runners, options survive a split run and change the run.

class OptionRuns2D : public ::testing::TestWithParam<Model2D> {};

TEST_P(OptionRuns2D, DefaultsAreTheRunnerAndOptionsSurviveASplitRun) {
  const RidiParams p = active_params(12);
  const QField2D q0 = QField2D::random_perturbation(12, 12, 1.0, 0.3, 7);
  const ScalarField2D phi = ScalarField2D::uniform(12, 12, 1.0, 0.3);
  const RunState2D runner =
      drive_2d(GetParam(), q0, GetParam() == Model2D::bech ? &phi : nullptr, p, 6, 2);
  Run2D plain = run_2d(GetParam(), q0, p, ModelOptions{}, 6);
  plain.advance(6, 2, RunControl{});
  EXPECT_TRUE(same_bits(plain.state().q.data, runner.q.data));
  EXPECT_TRUE(same_bits(plain.state().phi.data, runner.phi.data));

  for (Backflow b : {Backflow::off, Backflow::antisymmetric, Backflow::full}) {
    const ModelOptions o{0.05, -0.7, b};
    Run2D whole = run_2d(GetParam(), q0, p, o, 6);
    Run2D split = run_2d(GetParam(), q0, p, o, 6);
    whole.advance(6, 2, RunControl{});
    split.advance(2, 2, RunControl{});
    split.advance(4, 2, RunControl{});
    EXPECT_TRUE(same_bits(whole.state().q.data, split.state().q.data));
    EXPECT_FALSE(same_bits(whole.state().q.data, runner.q.data));
  }
}

INSTANTIATE_TEST_SUITE_P(Models, OptionRuns2D, ::testing::Values(Model2D::hydro, Model2D::bech));

TEST(OptionRuns3D, DefaultsAreTheRunnerAndOptionsChangeTheRun) {
  RidiParams3D p = RidiParams3D::default_test();
  p.nx = p.ny = p.nz = 6;
  p.zeta_eff = 1.0;
  const QField3D q0 = QField3D::random_perturbation(6, 6, 6, 1.0, 0.3, 5);
  const ScalarField3D phi = ScalarField3D::uniform(6, 6, 6, 1.0, 0.4);
  const auto dir =
      std::filesystem::temp_directory_path() / ("lodestra-options-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const RunState3D runner = drive_3d(Model3D::bech, q0, &phi, p, 4, 2, dir.string(), false);
  std::filesystem::remove_all(dir);
  for (const ModelOptions& o : {ModelOptions{}, ModelOptions{0.2, 0.0}, ModelOptions{0.0, 0.5},
                                ModelOptions{0.0, 0.0, Backflow::antisymmetric}}) {
    RunState3D s = start_run_3d(Model3D::bech, q0, phi, p, std::nullopt, false, std::nullopt);
    s.options = o;
    Run3D run(std::move(s));
    run.advance(4, 2, RunControl{});
    const bool plain = o.friction == 0.0 && o.flow_alignment == 0.0 && o.backflow == Backflow::off;
    EXPECT_EQ(same_bits(run.state().q.data, runner.q.data), plain);
  }
}

// ---- Stokes flow with friction: single modes against the analytic amplitude.

// Qxy = A cos(k x) drives uy = -(zeta A / (eta k + Gamma_f / k)) sin(k x), ux = 0.
TEST(Friction, SingleMode2D) {
  for (const auto& [friction, dx] :
       {std::tuple{0.0, 1.0}, std::tuple{0.008, 1.0}, std::tuple{0.5, 0.7}, std::tuple{3.0, 1.3}}) {
    const Count nx = 16, ny = 6;
    RidiParams p = RidiParams::default_test();
    p.zeta_eff = 1.7;
    p.eta = 0.8;
    QField2D q = QField2D::zeros(nx, ny, dx);
    const double k = 2.0 * M_PI * 2.0 / (nx * dx), amp = 0.3;
    for (Count i = 0; i < nx; ++i)
      for (Count j = 0; j < ny; ++j) q.data[2 * (i * ny + j) + 1] = amp * std::cos(k * i * dx);
    StokesWorkspace2D w(nx, ny, dx);
    lodestra_fields::VelocityField2D v;
    w.solve(q, p, friction, v);
    const double u0 = p.zeta_eff * amp / (p.eta * k + friction / k);
    for (Count i = 0; i < nx; ++i) {
      for (Count j = 0; j < ny; ++j) {
        EXPECT_NEAR(v.data[2 * (i * ny + j)], 0.0, 1e-12);
        EXPECT_NEAR(v.data[2 * (i * ny + j) + 1], -u0 * std::sin(k * i * dx), 1e-12);
      }
    }
  }
}

// Qxz = A cos(k z) gives fx = zeta A kappa sin(k z), kappa = sin(k dx)/dx the central-difference
// wavenumber, so ux = zeta A sin(k z) / (eta kappa + Gamma_f / kappa).
TEST(Friction, SingleMode3D) {
  for (const auto& [friction, dx] :
       {std::tuple{0.0, 1.0}, std::tuple{0.008, 1.0}, std::tuple{0.5, 0.7}}) {
    const Count n = 4, nz = 12;
    RidiParams3D p = RidiParams3D::default_test();
    p.zeta_eff = 1.3;
    QField3D q = QField3D::zeros(n, n, nz, dx);
    const double k = 2.0 * M_PI / (nz * dx), kappa = std::sin(k * dx) / dx, amp = 0.2;
    for (Count v = 0; v < q.len(); ++v) q.data[5 * v + 2] = amp * std::cos(k * (v % nz) * dx);
    lodestra_fields::VelocityField3D u;
    stokes_solve_3d_into(q, p, u, friction);
    const double u0 = p.zeta_eff * amp / (p.eta * kappa + friction / kappa);
    for (Count v = 0; v < q.len(); ++v) {
      EXPECT_NEAR(u.data[3 * v], u0 * std::sin(k * (v % nz) * dx), 1e-12);
      EXPECT_NEAR(std::hypot(u.data[3 * v + 1], u.data[3 * v + 2]), 0.0, 1e-12);
    }
  }
}

// ---- Per-vertex evaluators against a slow matrix evaluation.

TEST(FlowAlignment, EvaluatorsMatchTheMatrixForms) {
  lodestra_fields::Xoshiro256pp gen = lodestra_fields::Xoshiro256pp::seeded(11);
  auto r = [&] { return 2.0 * gen.uniform01() - 1.0; };
  for (int trial = 0; trial < 20; ++trial) {
    // 2D: xi E - 2 xi Q (Q:E), E the traceless symmetric part of G = [[a, j], [k, d]].
    const VelocityGradient g{r(), r(), r(), r()};
    const double q1 = r(), q2 = r(), xi = r();
    const M2 qm{{{q1, q2}, {q2, -q1}}};
    const double tr = (g.a + g.d) / 2;
    const M2 e{{{g.a - tr, (g.j + g.k) / 2}, {(g.j + g.k) / 2, g.d - tr}}};
    const CorotationPair s = flow_alignment_at(g, q1, q2, xi);
    EXPECT_NEAR(s.s1, xi * e[0][0] - 2 * xi * q1 * contract(qm, e), 1e-14);
    EXPECT_NEAR(s.s2, xi * e[0][1] - 2 * xi * q2 * contract(qm, e), 1e-14);

    // 2D passive stress Q H - H Q - xi H + 2 xi Q (Q:H), split into (sxx, sxy, A).
    const double h1 = r(), h2 = r();
    const M2 hm{{{h1, h2}, {h2, -h1}}};
    const M2 qh = mul(qm, hm), hq = mul(hm, qm);
    M2 sig{};
    for (int a = 0; a < 2; ++a)
      for (int b = 0; b < 2; ++b)
        sig[a][b] = qh[a][b] - hq[a][b] - xi * hm[a][b] + 2 * xi * qm[a][b] * contract(qm, hm);
    const PassiveStress ps = passive_stress_at(q1, q2, h1, h2, xi, true);
    EXPECT_NEAR(ps.sxx, sig[0][0], 1e-14);
    EXPECT_NEAR(ps.sxy, (sig[0][1] + sig[1][0]) / 2, 1e-14);
    EXPECT_NEAR(ps.anti, (sig[0][1] - sig[1][0]) / 2, 1e-14);
    EXPECT_EQ(passive_stress_at(q1, q2, h1, h2, xi, false).sxx, 0.0);

    // 3D: co-rotation with lambda = xi plus the completion is the standard form
    // (xi D + Om)(Q + I/3) + (Q + I/3)(xi D - Om) - 2 xi (Q + I/3) tr(Q D), Om = -W,
    // for a traceless D; that form is traceless, so the implied 33 component holds.
    double gr[3][3];
    for (auto& row : gr)
      for (double& x : row) x = r();
    const double t3 = (gr[0][0] + gr[1][1] + gr[2][2]) / 3;
    for (int a = 0; a < 3; ++a) gr[a][a] -= t3;
    const lodestra_fields::VelocityGradient dw = lodestra_fields::strain_and_vorticity(gr);
    const double q5[5] = {r(), r(), r(), r(), r()};
    M3 qi{}, dm{}, om{};
    const std::array<double, 9> q9 = q_matrix(q5);
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        qi[a][b] = q9[3 * a + b] + (a == b ? 1.0 / 3 : 0.0);
        dm[a][b] = dw.d[3 * a + b];
        om[a][b] = -dw.w[3 * a + b];
      }
    }
    M3 x{}, y{};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) {
        x[a][b] = xi * dm[a][b] + om[a][b];
        y[a][b] = xi * dm[a][b] - om[a][b];
      }
    const M3 xq = mul(x, qi), qy = mul(qi, y), qd = mul(qi, dm);
    const double tqd = qd[0][0] + qd[1][1] + qd[2][2] - (dm[0][0] + dm[1][1] + dm[2][2]) / 3;
    M3 std3{};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) std3[a][b] = xq[a][b] + qy[a][b] - 2 * xi * qi[a][b] * tqd;
    EXPECT_NEAR(std3[0][0] + std3[1][1] + std3[2][2], 0.0, 1e-13);
    const auto spec = co_rotation_at(dw, q5, xi);
    const auto comp = alignment_completion_at(dw, q5, xi);
    for (int c = 0; c < 5; ++c) {
      EXPECT_NEAR(spec[c] + comp[c], std3[kRow[c]][kCol[c]], 1e-13) << c;
    }
  }
}

// ---- Backflow: the stress source and the step.

// A = A0 cos(k x) gives fy = -d_x A = A0 k sin(k x): uy = A0 k sin(k x) / (eta k^2 + Gamma_f).
TEST(Backflow, AntisymmetricStressMode) {
  const Count nx = 12, ny = 4;
  const double dx = 0.9, eta = 1.3, friction = 0.2, a0 = 0.4;
  const double k = 2.0 * M_PI / (nx * dx);
  StokesWorkspace2D w(nx, ny, dx);
  const StokesWorkspace2D::StressPlanes planes = w.stress_planes();
  for (Count v = 0; v < nx * ny; ++v) {
    planes.sxx[v] = planes.sxy[v] = 0.0;
    planes.anti[v] = a0 * std::cos(k * (v / ny) * dx);
  }
  lodestra_fields::VelocityField2D u;
  w.solve_stress(dx, eta, friction, u);
  for (Count v = 0; v < nx * ny; ++v) {
    EXPECT_NEAR(u.data[2 * v], 0.0, 1e-13);
    EXPECT_NEAR(u.data[2 * v + 1], a0 * k * std::sin(k * (v / ny) * dx) / (eta * k * k + friction),
                1e-13);
  }
}

// With antisymmetric backflow and xi = 0 the step is the composition: the flow of
// (zeta Q, A(Q, H(Q))) and then Q + dt R(Q, v) with the base terms; a uniform Q
// has a uniform stress, so no flow.
TEST(Backflow, StepIsTheCompositionAndUniformQStaysAtRest) {
  const RidiParams p = active_params(10);
  for (const bool uniform : {false, true}) {
    QField2D q = QField2D::random_perturbation(10, 10, 1.0, 0.3, 3);
    if (uniform) q = QField2D::uniform(10, 10, {0.2, -0.1}, 1.0);
    const QField2D h = molecular_field(q, p);
    StokesWorkspace2D w(10, 10, 1.0);
    const StokesWorkspace2D::StressPlanes planes = w.stress_planes();
    for (Count v = 0; v < q.len(); ++v) {
      const double q1 = q.data[2 * v], q2 = q.data[2 * v + 1];
      planes.sxx[v] = p.zeta_eff * q1;
      planes.sxy[v] = p.zeta_eff * q2;
      planes.anti[v] = passive_stress_at(q1, q2, h.data[2 * v], h.data[2 * v + 1], 0.0, false).anti;
    }
    lodestra_fields::VelocityField2D v;
    w.solve_stress(1.0, p.eta, 0.0, v);
    const QField2D expected = q.add(beris_edwards_rhs(q, &v, p).scale(p.dt));
    FlowStepper stepper(q);
    lodestra_fields::VelocityField2D u;
    stepper.step(q, p, ModelOptions{0.0, 0.0, Backflow::antisymmetric}, u);
    EXPECT_TRUE(same_bits(q.data, expected.data));
    EXPECT_TRUE(same_bits(u.data, v.data));
    if (uniform) {
      for (const double x : u.data) EXPECT_NEAR(x, 0.0, 1e-15);
    }
  }
}

// ---- The fused steps with flow alignment against the operators plus the alignment term,
// evaluated vertex by vertex (the order of the sums differs, so to rounding).

TEST(FlowAlignment, FusedStepsAddTheAlignmentTerm) {
  const double xi = -0.7;
  for (const double dx : {1.0, 0.8}) {
    RidiParams p = active_params(9);
    QField2D q = QField2D::random_perturbation(9, 7, dx, 0.3, 13);
    const lodestra_fields::VelocityField2D v = stokes_solve(q, p);
    QField2D expected = q.add(beris_edwards_rhs(q, &v, p).scale(p.dt));
    for (Count i = 0; i < 9; ++i) {
      for (Count j = 0; j < 7; ++j) {
        auto u = [&](Count a, Count b, int c) {
          return v.data[2 * (((a + 9) % 9) * 7 + (b + 7) % 7) + c];
        };
        const VelocityGradient g = central_gradient(u(i + 1, j, 0), u(i - 1, j, 0), u(i, j + 1, 0),
                                                    u(i, j - 1, 0), u(i + 1, j, 1), u(i - 1, j, 1),
                                                    u(i, j + 1, 1), u(i, j - 1, 1), 2.0 * dx);
        const Count k = i * 7 + j;
        const CorotationPair a = flow_alignment_at(g, q.data[2 * k], q.data[2 * k + 1], xi);
        expected.data[2 * k] += p.dt * a.s1;
        expected.data[2 * k + 1] += p.dt * a.s2;
      }
    }
    FlowStepper stepper(q);
    lodestra_fields::VelocityField2D u;
    stepper.step(q, p, ModelOptions{0.0, xi}, u);
    for (Count k = 0; k < q.data.size(); ++k) EXPECT_NEAR(q.data[k], expected.data[k], 1e-14);

    RidiParams3D p3 = RidiParams3D::default_test();
    const QField3D q3 = QField3D::random_perturbation(5, 4, 6, dx, 0.3, 17);
    const lodestra_fields::VelocityField3D u3 = stokes_solve_3d(q3, p3).first;
    QField3D rhs = beris_edwards_rhs_3d(q3, &u3, p3, 0.0);
    for (Count k = 0; k < q3.len(); ++k) {
      const auto c = alignment_completion_at(u3.velocity_gradient_at(k), &q3.data[5 * k], xi);
      for (int m = 0; m < 5; ++m) rhs.data[5 * k + m] += c[m];
    }
    const QField3D expected3 = EulerIntegrator3D{}.step(q3, rhs, p3.dt);
    QField3D out = q3;
    flow_euler_step_3d(q3, u3, p3, 0.0, p3.dt, out, xi);
    for (Count k = 0; k < out.data.size(); ++k) EXPECT_NEAR(out.data[k], expected3.data[k], 1e-14);
  }
}

// ---- The flow coupling makes no free energy: for an incompressible gradient G[a][b] =
// d_a u_b the power of the passive stress, sigma_ij d_j u_i, cancels H:S of the reversible
// terms (2D: co-rotation plus alignment; 3D: co-rotation plus completion with xi = lambda).

TEST(Backflow, PassiveStressPowerCancelsTheReversibleTerms) {
  lodestra_fields::Xoshiro256pp gen = lodestra_fields::Xoshiro256pp::seeded(5);
  auto r = [&] { return 2.0 * gen.uniform01() - 1.0; };
  for (int trial = 0; trial < 20; ++trial) {
    const double a = r(), j = r(), k = r(), q1 = r(), q2 = r(), h1 = r(), h2 = r(), xi = r();
    const VelocityGradient g{a, j, k, -a};
    const CorotationPair s = corotation_at(g, q1, q2, 0.4);
    const CorotationPair al = flow_alignment_at(g, q1, q2, xi);
    const PassiveStress p = passive_stress_at(q1, q2, h1, h2, xi, true);
    const double power = p.sxx * a + (p.sxy + p.anti) * j + (p.sxy - p.anti) * k + p.sxx * a;
    EXPECT_NEAR(power + 2.0 * (h1 * (s.s1 + al.s1) + h2 * (s.s2 + al.s2)), 0.0, 1e-14);

    double gr[3][3];
    for (auto& row : gr)
      for (double& x : row) x = r();
    gr[2][2] = -(gr[0][0] + gr[1][1]);
    const double q5[5] = {r(), r(), r(), r(), r()}, h5[5] = {r(), r(), r(), r(), r()};
    const lodestra_fields::VelocityGradient dw = lodestra_fields::strain_and_vorticity(gr);
    const auto spec = co_rotation_at(dw, q5, xi);
    const auto comp = alignment_completion_at(dw, q5, xi);
    double s5[5];
    for (int c = 0; c < 5; ++c) s5[c] = spec[c] + comp[c];
    const std::array<double, 9> sm = q_matrix(s5), hm = q_matrix(h5);
    const std::array<double, 9> sig = passive_stress_3d_at(q5, h5, xi, xi, true);
    double balance = 0.0;
    for (int x = 0; x < 3; ++x)
      for (int y = 0; y < 3; ++y)
        balance += sig[3 * x + y] * gr[y][x] + hm[3 * x + y] * sm[3 * x + y];
    EXPECT_NEAR(balance, 0.0, 1e-13);
  }
}

// An antisymmetric sigma_xz = -sigma_zx = A cos(k z) gives fx = -A k~ sin(k z), so
// ux = -A k~ sin(k z) / (eta k~^2 + Gamma_f), k~ = sin(k dx)/dx.
TEST(Backflow, StressDivergence3D) {
  const Count n = 3, nz = 10;
  const double dx = 0.9, friction = 0.3, amp = 0.25;
  RidiParams3D p = RidiParams3D::default_test();
  const QField3D q = QField3D::zeros(n, n, nz, dx);
  const double k = 2.0 * M_PI / (nz * dx), kt = std::sin(k * dx) / dx;
  std::vector<double> sigma(9 * q.len());
  for (Count v = 0; v < q.len(); ++v) {
    sigma[2 * q.len() + v] = amp * std::cos(k * (v % nz) * dx);  // planes sigma_xz, sigma_zx
    sigma[6 * q.len() + v] = -sigma[2 * q.len() + v];
  }
  lodestra_fields::VelocityField3D u;
  stokes_solve_3d_into(q, p, u, friction, &sigma);
  for (Count v = 0; v < q.len(); ++v) {
    EXPECT_NEAR(u.data[3 * v],
                -amp * kt * std::sin(k * (v % nz) * dx) / (p.eta * kt * kt + friction), 1e-13);
    EXPECT_NEAR(std::hypot(u.data[3 * v + 1], u.data[3 * v + 2]), 0.0, 1e-13);
  }
}

// The 3D step with backflow forms H once: the Euler pass reading it equals the pass that
// evaluates it, bit for bit, and the stress planes are the evaluator's; the passive stress
// of a uniform Q drives no flow.
TEST(Backflow, StoredMolecularField3D) {
  RidiParams3D p = RidiParams3D::default_test();
  p.chi_a = 0.3;
  p.b0 = 1.2;
  for (const bool uniform : {false, true}) {
    QField3D q = QField3D::random_perturbation(5, 4, 6, 0.8, 0.3, 23);
    if (uniform) q = QField3D::uniform(5, 4, 6, {0.2, -0.1, 0.05, 0.1, 0.03}, 0.8);
    QField3D h;
    std::vector<double> sigma;
    passive_stress_3d(q, p, 0.7, 0.5, true, h, sigma);
    EXPECT_TRUE(same_bits(h.data, molecular_field_3d(q, p, 0.7).data));
    for (Count k = 0; k < q.len(); ++k) {
      const auto s = passive_stress_3d_at(&q.data[5 * k], &h.data[5 * k], p.lambda_, 0.5, true);
      for (Count e = 0; e < 9; ++e) EXPECT_EQ(sigma[e * q.len() + k], s[e]);
    }
    lodestra_fields::VelocityField3D u;
    stokes_solve_3d_into(q, p, u, 0.1, &sigma);
    QField3D a = q, b = q;
    flow_euler_step_3d(q, u, p, 0.7, p.dt, a, 0.5);
    flow_euler_step_3d(q, u, p, 0.7, p.dt, b, 0.5, &h);
    EXPECT_TRUE(same_bits(a.data, b.data));
    if (uniform) {
      for (const double x : u.data) EXPECT_NEAR(x, 0.0, 1e-15);
    }
  }
}
