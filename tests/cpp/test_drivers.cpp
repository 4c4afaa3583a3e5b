#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/params.hpp"
#include "lodestra_fields/fields2d.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/beris_2d.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/stokes_2d.hpp"
#include "same_bits.hpp"

using lodestra_core::Panic;
using lodestra_core::RidiParams;
using lodestra_fields::Count;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::Xoshiro256pp;
using namespace lodestra_solver;

namespace {

// ---- The time steps written as the plain composition of the field operators.

QField2D reference_rk4(const QField2D& q, const RidiParams& p) {
  auto f = [&](const QField2D& x) { return molecular_field(x, p).scale(p.gamma_r); };
  const QField2D k1 = f(q);
  const QField2D k2 = f(q.add(k1.scale(p.dt / 2.0)));
  const QField2D k3 = f(q.add(k2.scale(p.dt / 2.0)));
  const QField2D k4 = f(q.add(k3.scale(p.dt)));
  const QField2D sum = k1.add(k2.scale(2.0)).add(k3.scale(2.0)).add(k4);
  return q.add(sum.scale(p.dt / 6.0));
}

QField2D reference_euler(const QField2D& q, const RidiParams& p) {
  const auto v = stokes_solve(q, p);
  return q.add(beris_edwards_rhs(q, &v, p).scale(p.dt));
}

Xoshiro256pp reference_generator(const RidiParams& p, std::uint64_t n_steps) {
  return Xoshiro256pp::seeded((p.nx * 0x5851F42D4C957F2DULL) ^ (p.ny * 0x14057B7EF767814FULL) ^
                              n_steps);
}

void reference_noise(QField2D& q, Xoshiro256pp& gen, const RidiParams& p) {
  if (!(p.noise_amp > 0.0)) return;
  const double sigma = p.noise_amp * std::sqrt(p.dt);
  for (Count k = 0; k < q.len(); ++k) {
    const double u1 = gen.uniform01();
    const double u2 = gen.uniform01();
    const double r =
        sigma * std::sqrt(std::log(std::max(u1, std::numeric_limits<double>::min())) * -2.0);
    q.data[2 * k] += r * std::cos(u2 * 6.283185307179586);
    q.data[2 * k + 1] += r * std::sin(u2 * 6.283185307179586);
  }
}

RidiParams noisy_params() {
  RidiParams p = RidiParams::default_test();
  p.noise_amp = 0.05;
  p.zeta_eff = 3.0;
  p.lambda_ = 0.4;
  return p;
}

using Driver = std::function<std::pair<QField2D, std::vector<SnapStats>>(
    const QField2D&, const RidiParams&, std::uint64_t, std::uint64_t)>;

struct NamedDriver {
  const char* name;
  Driver run;
};

const NamedDriver kDrivers[] = {
    {"dry", run_ridi_component1},
    {"hydro", run_ridi_component1_hydro},
    {"bech",
     [](const QField2D& q, const RidiParams& p, std::uint64_t n, std::uint64_t every) {
       auto [qf, phi, recs] =
           run_ridi_bech(q, ScalarField2D::uniform(q.nx, q.ny, q.dx, 0.2), p, n, every);
       std::vector<SnapStats> out;
       for (const BechStats& b : recs) {
         out.push_back(
             SnapStats{b.time, b.mean_s, b.n_defects, b.n_plus, b.n_minus, b.defect_density});
       }
       return std::pair{std::move(qf), std::move(out)};
     }},
};

}  // namespace

// ---- Fused steps against the plain composition, on odd, even, size-1 and size-2 grids.

class StepGrids : public ::testing::TestWithParam<std::tuple<Count, Count>> {};

TEST_P(StepGrids, DryStepsEqualTheComposition) {
  const auto [nx, ny] = GetParam();
  const RidiParams p = noisy_params();
  const QField2D q0 = QField2D::random_perturbation(nx, ny, 0.9, 0.4, 17);
  QField2D expected = q0;
  Xoshiro256pp gen = reference_generator(p, 3);
  for (int s = 0; s < 3; ++s) {
    expected = reference_rk4(expected, p);
    reference_noise(expected, gen, p);
  }
  const auto [q, recs] = run_ridi_component1(q0, p, 3, 1);
  EXPECT_TRUE(same_bits(q.data, expected.data));
  EXPECT_EQ(q.dx, 0.9);
}

TEST_P(StepGrids, HydroStepsEqualTheComposition) {
  const auto [nx, ny] = GetParam();
  const RidiParams p = noisy_params();
  const QField2D q0 = QField2D::random_perturbation(nx, ny, 0.9, 0.4, 23);
  QField2D expected = q0;
  Xoshiro256pp gen = reference_generator(p, 3);
  for (int s = 0; s < 3; ++s) {
    expected = reference_euler(expected, p);
    reference_noise(expected, gen, p);
  }
  const auto [q, recs] = run_ridi_component1_hydro(q0, p, 3, 1);
  EXPECT_TRUE(same_bits(q.data, expected.data));
}

// BECH step order: v = stokes(Q); Q += dt R(Q, v); noise; Q_lip = K0(Q); phi = CH(phi, Q_lip, v).
TEST_P(StepGrids, BechStepsEqualTheComposition) {
  const auto [nx, ny] = GetParam();
  RidiParams p = noisy_params();
  p.xi_l = 0.6;
  const QField2D q0 = QField2D::random_perturbation(nx, ny, 0.9, 0.4, 29);
  const QField2D r = QField2D::random_perturbation(nx, ny, 0.9, 0.3, 31);
  ScalarField2D phi0 = ScalarField2D::zeros(nx, ny, 0.9);
  for (Count k = 0; k < phi0.len(); ++k) phi0.data[k] = 0.1 + r.data[2 * k];
  QField2D q = q0;
  ScalarField2D phi = phi0;
  Xoshiro256pp gen = reference_generator(p, 3);
  for (int s = 0; s < 3; ++s) {
    const auto v = stokes_solve(q, p);
    q = q.add(beris_edwards_rhs(q, &v, p).scale(p.dt));
    reference_noise(q, gen, p);
    phi = ch_step_etd(phi, k0_convolution(q, p), v, p);
  }
  const auto [qf, phif, recs] = run_ridi_bech(q0, phi0, p, 3, 1);
  EXPECT_TRUE(same_bits(qf.data, q.data));
  EXPECT_TRUE(same_bits(phif.data, phi.data));
  EXPECT_EQ(phif.dx, 0.9);
}

INSTANTIATE_TEST_SUITE_P(Drivers, StepGrids,
                         ::testing::Values(std::tuple{1, 1}, std::tuple{2, 2}, std::tuple{1, 4},
                                           std::tuple{2, 5}, std::tuple{5, 7}, std::tuple{8, 6},
                                           std::tuple{9, 9}));

// ---- The run loop, shared by the three drivers.

TEST(RunLoop, RecordScheduleAndFinalField) {
  const RidiParams p = RidiParams::default_test();
  const QField2D q0 = QField2D::random_perturbation(6, 5, 1.0, 0.3, 4);
  for (const NamedDriver& d : kDrivers) {
    SCOPED_TRACE(d.name);
    const auto [q10, recs] = d.run(q0, p, 10, 3);
    ASSERT_EQ(recs.size(), 4u);
    for (std::size_t r = 0; r < recs.size(); ++r) {
      EXPECT_EQ(recs[r].time, p.dt * static_cast<double>(3 * r));
    }
    // The field returned is the state after step 10, not the last record's.
    const auto [q_every, recs_every] = d.run(q0, p, 10, 1);
    ASSERT_EQ(recs_every.size(), 11u);
    EXPECT_TRUE(same_bits(q10.data, q_every.data));
    EXPECT_EQ(recs_every.back().mean_s, q10.mean_order_param());
    EXPECT_EQ(recs_every[3].mean_s, recs[1].mean_s);

    const auto [q_zero, recs_zero] = d.run(q0, p, 0, 1);
    ASSERT_EQ(recs_zero.size(), 1u);
    EXPECT_EQ(recs_zero[0].time, 0.0);
    EXPECT_EQ(recs_zero[0].mean_s, q0.mean_order_param());
    EXPECT_TRUE(same_bits(q_zero.data, q0.data));

    const auto [q_sparse, recs_sparse] = d.run(q0, p, 4, 5);
    ASSERT_EQ(recs_sparse.size(), 1u);
    EXPECT_EQ(recs_sparse[0].time, 0.0);
  }
}

TEST(RunLoop, SnapEveryZeroPanicsBeforeAnything) {
  const RidiParams p = RidiParams::default_test();
  const QField2D q0 = QField2D::zeros(4, 4, 1.0);
  for (const NamedDriver& d : kDrivers) {
    for (std::uint64_t n : {0u, 3u}) {
      try {
        d.run(q0, p, n, 0);
        ADD_FAILURE() << d.name << ": no panic";
      } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "attempt to calculate the remainder with a divisor of zero");
      }
    }
  }
}

// Defects are counted by charge; the density divides by the parameter set's
// domain, not the field's.
TEST(RunLoop, DefectCountsAndDensity) {
  RidiParams p = RidiParams::default_test();
  p.nx = 50;
  p.ny = 40;
  p.dx = 0.5;
  const QField2D q0 = QField2D::random_perturbation(24, 24, 1.0, 0.2, 8);
  const auto expected = scan_defects(q0, kDefectThreshold);
  ASSERT_FALSE(expected.empty());
  for (const NamedDriver& d : kDrivers) {
    SCOPED_TRACE(d.name);
    const auto [q, recs] = d.run(q0, p, 0, 1);
    const SnapStats& s = recs[0];
    EXPECT_EQ(s.n_defects, expected.size());
    EXPECT_EQ(s.n_plus + s.n_minus, s.n_defects);
    EXPECT_EQ(s.n_plus, static_cast<std::uint64_t>(
                            std::count_if(expected.begin(), expected.end(),
                                          [](const DefectInfo& x) { return x.charge_sign > 0; })));
    EXPECT_EQ(s.defect_density, static_cast<double>(expected.size()) / (25.0 * 20.0));
  }
}

TEST(RunLoop, ZeroFieldStaysZeroWithoutDefects) {
  const RidiParams p = RidiParams::default_test();
  for (const NamedDriver& d : kDrivers) {
    SCOPED_TRACE(d.name);
    const auto [q, recs] = d.run(QField2D::zeros(12, 10, 1.0), p, 20, 5);
    for (double x : q.data) EXPECT_EQ(x, 0.0);
    ASSERT_EQ(recs.size(), 5u);
    for (const SnapStats& s : recs) {
      EXPECT_EQ(s.mean_s, 0.0);
      EXPECT_EQ(s.n_defects, 0u);
      EXPECT_EQ(s.defect_density, 0.0);
    }
  }
}

// A grid without vertices runs through: nothing to step, a record per snapshot.
TEST(RunLoop, EmptyGridRuns) {
  const RidiParams p = noisy_params();
  for (const NamedDriver& d : kDrivers) {
    SCOPED_TRACE(d.name);
    const auto [q, recs] = d.run(QField2D::zeros(0, 3, 1.0), p, 4, 2);
    EXPECT_TRUE(q.data.empty());
    EXPECT_EQ(q.ny, 3u);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[2].n_defects, 0u);
  }
}

// The dry model relaxes a uniform Q to the Landau equilibrium |q| = sqrt(1/6),
// S = 2 sqrt(1/6), along the director it started with.
TEST(RunLoop, DryRunReachesLandauEquilibrium) {
  const RidiParams p = RidiParams::default_test();
  const auto [q, recs] =
      run_ridi_component1(QField2D::uniform(3, 2, {0.03, 0.04}, 1.0), p, 2000, 500);
  ASSERT_EQ(recs.size(), 5u);
  EXPECT_NEAR(recs.back().mean_s, 2.0 * std::sqrt(1.0 / 6.0), 1e-12);
  for (Count k = 0; k < q.len(); ++k) EXPECT_NEAR(q.q2(k) / q.q1(k), 0.04 / 0.03, 1e-12);
  for (std::size_t r = 1; r < recs.size(); ++r)
    EXPECT_GT(recs[r].mean_s, recs[r - 1].mean_s - 1e-15);
}

// ---- Noise.

TEST(Noise, RepeatableAndSeededByGridAndSteps) {
  const RidiParams p = noisy_params();
  const QField2D q0 = QField2D::random_perturbation(8, 7, 1.0, 0.2, 5);
  for (const NamedDriver& d : kDrivers) {
    SCOPED_TRACE(d.name);
    const auto [a, ra] = d.run(q0, p, 4, 2);
    const auto [b, rb] = d.run(q0, p, 4, 2);
    EXPECT_TRUE(same_bits(a.data, b.data));
    ASSERT_EQ(ra.size(), rb.size());
    for (std::size_t r = 0; r < ra.size(); ++r) EXPECT_EQ(ra[r].mean_s, rb[r].mean_s);
    RidiParams other = p;
    other.nx += 1;  // another seed
    EXPECT_FALSE(same_bits(d.run(q0, other, 4, 2).first.data, a.data));
    // Without noise the parameter set's grid enters nothing but the density.
    RidiParams quiet = p;
    quiet.noise_amp = 0.0;
    RidiParams quiet_other = quiet;
    quiet_other.ny = 3;
    EXPECT_TRUE(
        same_bits(d.run(q0, quiet, 4, 2).first.data, d.run(q0, quiet_other, 4, 2).first.data));
  }
}

TEST(Noise, NonPositiveOrNanAmplitudeAddsNothing) {
  const QField2D q0 = QField2D::random_perturbation(6, 6, 1.0, 0.2, 2);
  RidiParams quiet = RidiParams::default_test();
  for (double amp : {-0.3, std::numeric_limits<double>::quiet_NaN()}) {
    RidiParams p = quiet;
    p.noise_amp = amp;
    for (const NamedDriver& d : kDrivers) {
      EXPECT_TRUE(same_bits(d.run(q0, p, 2, 1).first.data, d.run(q0, quiet, 2, 1).first.data))
          << d.name << " " << amp;
    }
  }
}

// One step from Q = 0 leaves pure noise: independent normal components of
// variance noise_amp^2 dt. 2 x 65536 samples: the variance is good to about
// 0.6% (one standard error), the mean to 0.004 sigma.
TEST(Noise, GaussianWithVarianceAmpSquaredDt) {
  RidiParams p = RidiParams::default_test();
  p.noise_amp = 0.5;
  p.dt = 0.04;
  const double var = p.noise_amp * p.noise_amp * p.dt;
  const auto [q, recs] = run_ridi_component1(QField2D::zeros(256, 256, 1.0), p, 1, 1);
  const double n = static_cast<double>(q.len());
  for (int c = 0; c < 2; ++c) {
    double s1 = 0.0;
    double s2 = 0.0;
    double tail = 0.0;
    for (Count k = 0; k < q.len(); ++k) {
      const double x = q.data[2 * k + c];
      s1 += x;
      s2 += x * x;
      if (std::abs(x) > 2.0 * std::sqrt(var)) tail += 1.0;
    }
    EXPECT_NEAR(s1 / n, 0.0, 5.0 * std::sqrt(var / n)) << c;
    EXPECT_NEAR((s2 / n) / var, 1.0, 0.03) << c;
    EXPECT_NEAR(tail / n, 0.0455, 0.004) << c;  // two-sided 2-sigma tail of a normal
  }
  double s12 = 0.0;
  for (Count k = 0; k < q.len(); ++k) s12 += q.data[2 * k] * q.data[2 * k + 1];
  EXPECT_NEAR(s12 / n / var, 0.0, 0.03);
}

// ---- BECH.

TEST(Bech, UniformLipidAtRestStaysUniform) {
  const RidiParams p = RidiParams::default_test();
  const auto [q, phi, recs] = run_ridi_bech(QField2D::zeros(16, 12, 1.0),
                                            ScalarField2D::uniform(16, 12, 1.0, 0.3), p, 10, 5);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[2].time, 10 * p.dt);
  for (double x : q.data) EXPECT_EQ(x, 0.0);
  for (double x : phi.data) EXPECT_NEAR(x, 0.3, 1e-14);
  for (const BechStats& s : recs) {
    EXPECT_EQ(s.n_defects, 0u);
    EXPECT_EQ(s.mean_s, 0.0);
    EXPECT_NEAR(s.mean_phi, 0.3, 1e-14);
    EXPECT_NEAR(s.phi_variance, 0.0, 1e-14);
    EXPECT_NEAR(s.mean_grad_phi_sq, 0.0, 1e-14);
  }
}

// The Cahn-Hilliard step conserves the lipid, so every record has the same mean.
// The last record describes the returned fields.
TEST(Bech, LipidMeanConservedAndLastRecordDescribesResult) {
  RidiParams p = noisy_params();
  p.xi_l = 1.0;
  const QField2D q0 = QField2D::random_perturbation(16, 16, 1.0, 0.3, 3);
  const QField2D r = QField2D::random_perturbation(16, 16, 1.0, 0.2, 6);
  ScalarField2D phi0 = ScalarField2D::zeros(16, 16, 1.0);
  for (Count k = 0; k < phi0.len(); ++k) phi0.data[k] = 0.4 + r.data[2 * k];
  const auto [q, phi, recs] = run_ridi_bech(q0, phi0, p, 10, 5);
  ASSERT_EQ(recs.size(), 3u);
  for (const BechStats& s : recs) EXPECT_NEAR(s.mean_phi, recs[0].mean_phi, 1e-13);
  EXPECT_EQ(recs[0].mean_phi, phi0.mean_value());
  EXPECT_EQ(recs[2].mean_s, q.mean_order_param());
  EXPECT_EQ(recs[2].mean_phi, phi.mean_value());
  EXPECT_EQ(recs[2].phi_variance, phi.variance());
  EXPECT_EQ(recs[2].mean_grad_phi_sq, phi.mean_gradient_sq());
  EXPECT_GT(recs[0].phi_variance, 0.0);
}

TEST(Bech, NoStepsReturnsCopiesAndOneRecord) {
  const RidiParams p = RidiParams::default_test();
  const QField2D q0 = QField2D::random_perturbation(5, 6, 0.8, 0.3, 1);
  const ScalarField2D phi0 = ScalarField2D::uniform(5, 6, 0.8, 0.25);
  const auto [q, phi, recs] = run_ridi_bech(q0, phi0, p, 0, 7);
  EXPECT_TRUE(same_bits(q.data, q0.data));
  EXPECT_TRUE(same_bits(phi.data, phi0.data));
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].time, 0.0);
  EXPECT_EQ(recs[0].mean_phi, phi0.mean_value());
  EXPECT_EQ(recs[0].phi_variance, phi0.variance());
}

// phi on another grid than Q is refused by the first Cahn-Hilliard step; a run
// without steps never gets there.
TEST(Bech, LipidOnAnotherGridPanicsAtTheFirstStep) {
  const RidiParams p = RidiParams::default_test();
  const QField2D q0 = QField2D::random_perturbation(8, 8, 1.0, 0.3, 1);
  for (const ScalarField2D& phi0 :
       {ScalarField2D::uniform(8, 6, 1.0, 0.2), ScalarField2D::uniform(6, 8, 1.0, 0.2),
        ScalarField2D::uniform(16, 16, 1.0, 0.2)}) {
    EXPECT_THROW(run_ridi_bech(q0, phi0, p, 1, 1), Panic);
    EXPECT_EQ(std::get<2>(run_ridi_bech(q0, phi0, p, 0, 1)).size(), 1u);
  }
}

// ---- Ownership.

TEST(Ownership, CallerFieldsAreNeverModified) {
  const RidiParams p = noisy_params();
  QField2D q0 = QField2D::random_perturbation(7, 6, 1.0, 0.3, 12);
  ScalarField2D phi0 = ScalarField2D::uniform(7, 6, 1.0, 0.4);
  const QField2D q_copy = q0;
  const ScalarField2D phi_copy = phi0;
  run_ridi_component1(q0, p, 3, 1);
  run_ridi_component1_hydro(q0, p, 3, 1);
  run_ridi_bech(q0, phi0, p, 3, 1);
  EXPECT_TRUE(same_bits(q0.data, q_copy.data));
  EXPECT_TRUE(same_bits(phi0.data, phi_copy.data));
}
