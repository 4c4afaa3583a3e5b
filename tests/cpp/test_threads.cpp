// The engine's threads: the pool's partition and failure modes, and every threaded operator
// and runner giving the same bits at 1, 2 and 3 threads on odd, even and size-1 grids.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/random.hpp"
#include "lodestra_solver/beris_3d.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/ch_3d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/drivers_2d.hpp"
#include "lodestra_solver/noise_3d.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "lodestra_solver/stokes_2d.hpp"
#include "lodestra_solver/stokes_3d.hpp"
#include "same_bits.hpp"
#include "tarnel_geo/segments.hpp"

using namespace lodestra_solver;
using lodestra_core::RidiParams;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField2D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::ScalarField3D;
using lodestra_fields::VelocityField3D;

namespace {

// Splits even the smallest loops, and puts the pool back to one thread afterwards.
class Threads : public ::testing::Test {
 protected:
  void SetUp() override { lodestra_core::set_min_parallel_work(1); }
  void TearDown() override {
    lodestra_core::set_num_threads(1);
    lodestra_core::set_min_parallel_work(32768);
  }
};

template <class T>
std::vector<unsigned char> bytes_of(const std::vector<T>& v) {
  std::vector<unsigned char> out(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(out.data(), v.data(), out.size());
  return out;
}

// Runs `make` (returning a byte image of what it computed) at 1, 2 and 3 threads.
template <class Make>
void expect_same_at_every_count(Make&& make, const std::string& what) {
  lodestra_core::set_num_threads(1);
  const std::vector<unsigned char> one = make();
  for (const std::size_t n : {2u, 3u}) {
    lodestra_core::set_num_threads(n);
    EXPECT_TRUE(make() == one) << what << " at " << n << " threads";
  }
}

void append(std::vector<unsigned char>& out, const std::vector<double>& v) {
  const auto b = bytes_of(v);
  out.insert(out.end(), b.begin(), b.end());
}

// Member by member: records with padding bytes are not compared whole.
template <class T>
void append_value(std::vector<unsigned char>& out, const T& v) {
  const auto* p = reinterpret_cast<const unsigned char*>(&v);
  out.insert(out.end(), p, p + sizeof(T));
}
void append(std::vector<unsigned char>& out, const std::vector<DefectInfo>& v) {
  for (const DefectInfo& d : v) {
    append_value(out, d.plaquette.first);
    append_value(out, d.plaquette.second);
    append_value(out, d.angle);
    append_value(out, d.charge_sign);
  }
}
void append(std::vector<unsigned char>& out,
            const std::vector<tarnel_geo::DisclinationSegment>& v) {
  for (const auto& s : v) {
    append_value(out, s.from);
    append_value(out, s.to);
    append_value(out, s.position);
    append_value(out, s.charge);
  }
}

struct Grid3 {
  lodestra_fields::Count nx, ny, nz;
};
const Grid3 kGrids3[] = {{5, 3, 7}, {4, 6, 8}, {1, 5, 9}, {6, 1, 1}, {3, 4, 1}};

std::string temp_dir(const std::string& tag) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("lodestra-threads-" + std::to_string(::getpid()) + "-" + tag);
  std::filesystem::create_directories(path);
  return path.string();
}

}  // namespace

TEST_F(Threads, PartitionCoversTheRangeOnceInOrderedParts) {
  for (const std::size_t n : {2u, 3u, 5u}) {
    lodestra_core::set_num_threads(n);
    for (const std::uint64_t len : {0u, 1u, 2u, 7u, 100u}) {
      std::vector<std::atomic<int>> seen(len);
      std::atomic<int> calls{0};
      lodestra_core::parallel_for(0, len, 1, [&](std::uint64_t b, std::uint64_t e) {
        ++calls;
        for (std::uint64_t i = b; i < e; ++i) ++seen[i];
      });
      for (std::uint64_t i = 0; i < len; ++i) EXPECT_EQ(seen[i].load(), 1);
      EXPECT_EQ(static_cast<std::uint64_t>(calls.load()), std::min<std::uint64_t>(n, len));
    }
  }
}

TEST_F(Threads, FailuresReachTheCallerAndThePoolStaysUsable) {
  lodestra_core::set_num_threads(3);
  EXPECT_THROW(lodestra_core::parallel_for(0, 9, 1,
                                           [](std::uint64_t b, std::uint64_t) {
                                             if (b > 0) throw std::runtime_error("worker");
                                           }),
               std::runtime_error);
  // A loop inside a loop runs on its caller; the count cannot change inside a loop.
  std::atomic<int> inner{0};
  lodestra_core::parallel_for(0, 3, 1, [&](std::uint64_t, std::uint64_t) {
    lodestra_core::parallel_for(0, 4, 1, [&](std::uint64_t b, std::uint64_t e) {
      inner += static_cast<int>(e - b) * (b == 0 ? 1 : 100);
    });
    EXPECT_THROW(lodestra_core::set_num_threads(2), lodestra_core::Panic);
  });
  EXPECT_EQ(inner.load(), 12);
  EXPECT_THROW(lodestra_core::set_num_threads(0), lodestra_core::Panic);
  EXPECT_EQ(lodestra_core::num_threads(), 3u);
}

TEST_F(Threads, SingleOperators3DAreBitIdentical) {
  RidiParams3D p = RidiParams3D::default_test();
  p.zeta_eff = 0.8;
  for (const Grid3& g : kGrids3) {
    const QField3D q = QField3D::random_perturbation(g.nx, g.ny, g.nz, 0.9, 0.4, 11);
    const ScalarField3D phi = ScalarField3D::uniform(g.nx, g.ny, g.nz, 0.9, 0.3);
    expect_same_at_every_count(
        [&] {
          std::vector<unsigned char> out;
          QField3D next = QField3D::zeros(g.nx, g.ny, g.nz, 0.9);
          dry_euler_step_3d(q, p, 0.2, 0.01, next);
          append(out, next.data);
          VelocityField3D u;
          stokes_solve_3d_into(q, p, u);
          append(out, u.data);
          flow_euler_step_3d(q, u, p, 0.2, 0.01, next);
          append(out, next.data);
          append(out, ch_step_etd_3d(phi, next, p, 0.01).data);
          QField3D noisy = q;
          add_noise_3d(noisy, 77, 0.05);
          append(out, noisy.data);
          append(out, q.scalar_order_s());
          append(out, q.biaxiality_p());
          const double mean = q.mean_s();
          append(out, std::vector<double>{mean});
          append(out, tarnel_geo::disclination::segments::scan_disclination_lines_3d(q));
          return out;
        },
        "3D operators " + std::to_string(g.nx) + "x" + std::to_string(g.ny) + "x" +
            std::to_string(g.nz));
  }
}

TEST_F(Threads, Runners3DAreBitIdenticalWithNoiseAndTracking) {
  RidiParams3D p = RidiParams3D::default_test();
  p.noise_amp = 0.02;
  p.zeta_eff = 0.8;
  const std::string dir = temp_dir("3d");
  for (const Grid3& g : {Grid3{5, 4, 3}, Grid3{1, 6, 7}}) {
    p.nx = g.nx;
    p.ny = g.ny;
    p.nz = g.nz;
    const QField3D q = QField3D::random_perturbation(g.nx, g.ny, g.nz, p.dx, 0.4, 5);
    const ScalarField3D phi = ScalarField3D::uniform(g.nx, g.ny, g.nz, p.dx, 0.2);
    expect_same_at_every_count(
        [&] {
          std::vector<unsigned char> out;
          const auto [q1, dry] = run_ridi_3d(q, p, 4, 2, dir, true);
          append(out, q1.data);
          const auto d = bytes_of(dry);
          out.insert(out.end(), d.begin(), d.end());
          const auto [q2, phi2, bech] = run_ridi_3d_full(q, phi, p, 4, 2, dir, true);
          append(out, q2.data);
          append(out, phi2.data);
          const auto b = bytes_of(bech);
          out.insert(out.end(), b.begin(), b.end());
          return out;
        },
        "3D runners");
  }
  std::filesystem::remove_all(dir);
}

TEST_F(Threads, Runners2DAndOperatorsAreBitIdentical) {
  for (const auto& [nx, ny] : {std::pair<lodestra_fields::Count, lodestra_fields::Count>{9, 7},
                               {16, 1},
                               {1, 5},
                               {18, 20}}) {
    RidiParams p = RidiParams::default_test();
    p.nx = nx;
    p.ny = ny;
    p.noise_amp = 0.01;
    const QField2D q = QField2D::random_perturbation(nx, ny, p.dx, 0.3, 3);
    const ScalarField2D phi = ScalarField2D::uniform(nx, ny, p.dx, 0.2);
    expect_same_at_every_count(
        [&] {
          std::vector<unsigned char> out;
          append(out, stokes_solve(q, p).data);
          append(out, k0_convolution(q, p).data);
          append(out, scan_defects(q, kDefectThreshold));
          const auto [q1, r1] = run_ridi_component1(q, p, 6, 3);
          append(out, q1.data);
          const auto [q2, r2] = run_ridi_component1_hydro(q, p, 6, 3);
          append(out, q2.data);
          const auto [q3, phi3, r3] = run_ridi_bech(q, phi, p, 6, 3);
          append(out, q3.data);
          append(out, phi3.data);
          for (const auto& r : {bytes_of(r1), bytes_of(r2), bytes_of(r3)}) {
            out.insert(out.end(), r.begin(), r.end());
          }
          return out;
        },
        "2D " + std::to_string(nx) + "x" + std::to_string(ny));
  }
}

TEST(GeneratorJump, AdvanceEqualsThatManyDraws) {
  for (const std::uint64_t steps : {0u, 1u, 6u, 63u, 64u, 1000u, 123457u}) {
    auto stepped = lodestra_fields::Xoshiro256pp::seeded(99);
    for (std::uint64_t s = 0; s < steps; ++s) stepped.next();
    auto jumped = lodestra_fields::Xoshiro256pp::seeded(99);
    jumped.advance(steps);
    EXPECT_EQ(jumped.next(), stepped.next()) << steps;
  }
}
