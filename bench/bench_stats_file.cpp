// What keeping a run on disk costs per snapshot, against the run's length: the dry runner on
// a 2^3 grid with a snapshot after every step (a .npy file and a stats.json record each), run
// for 500 and for 16,000 snapshots into a fresh directory. The cost per snapshot of the long
// run is at most 1.2 x that of the short one: stats.json grows by one record per write
// instead of being written whole each time. Times are the thread's CPU time (system calls
// included), the best of three runs each. The run directory lies in the first argument
// (default: the system's temporary directory): on a disk, creating each snapshot's file
// dominates; on a memory file system (/dev/shm) the library's own work does.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "lodestra_core/params3d.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/runner_3d.hpp"
#include "timing.hpp"

namespace fs = std::filesystem;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField3D;

int main(int argc, char** argv) {
  RidiParams3D p = RidiParams3D::default_test();
  p.nx = p.ny = p.nz = 2;
  const QField3D q0 = QField3D::random_perturbation(2, 2, 2, 1.0, 0.05, 1);
  const fs::path dir = (argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path()) /
                       ("lodestra-bench-stats-" + std::to_string(::getpid()));
  double per_snapshot[2] = {};
  const std::uint64_t lengths[2] = {500, 16000};
  for (int k = 0; k < 2; ++k) {
    double best = 1e300;
    for (int r = 0; r < 3; ++r) {
      fs::remove_all(dir);
      fs::create_directories(dir);
      const double start = bench::thread_seconds();
      auto run = lodestra_solver::run_ridi_3d(q0, p, lengths[k], 1, dir.string(), false);
      best = std::min(best, bench::thread_seconds() - start);
      bench::keep(run);
    }
    per_snapshot[k] = best / static_cast<double>(lengths[k]);
    std::printf("%6llu snapshots: %8.3f s, %7.1f us per snapshot\n",
                static_cast<unsigned long long>(lengths[k]), best, per_snapshot[k] * 1e6);
  }
  fs::remove_all(dir);
  const bool ok =
      bench::report("per snapshot at 16,000 vs at 500", per_snapshot[1], per_snapshot[0], 1.2);
  return ok ? 0 : 1;
}
