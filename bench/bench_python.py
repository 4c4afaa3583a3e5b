"""Python-level benchmarks: NumPy interchange, per-vertex observables, the single
operators, the quick start and the memory of a large hydrodynamic run. Each figure is a
ratio against a limit measured in the same run: a numpy.copy of an array of the same
size, or an engine reference (FFTW transforms, Eigen 3x3 solves) timed by the
reference_times executable of the benchmark build, run as its own process.

    python bench/bench_python.py [path/to/reference_times]
"""

import os
import subprocess
import sys
import time

import numpy as np

import lodestra


def best(fn, repeats=30):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def report(name, seconds, reference, limit):
    ratio = seconds / reference
    verdict = "ok" if ratio <= limit else "OVER"
    print(f"{name:<40} {seconds * 1e6:9.1f} us  reference {reference * 1e6:9.1f} us  "
          f"ratio {ratio:5.2f} (at most {limit}) {verdict}")


def interchange(n=512):
    q = lodestra.QField2D.random_perturbation(n, n, 1.0, 0.5, 1)
    pairs = q.to_numpy()
    flat = np.ascontiguousarray(pairs[:, 0])
    phi = lodestra.ScalarField2D.from_numpy(flat, n, n, 1.0)
    copy_pairs = best(lambda: np.copy(pairs))
    copy_flat = best(lambda: np.copy(flat))
    print(f"{n} x {n} field; numpy.copy of (n*n, 2): {copy_pairs * 1e6:.1f} us, "
          f"of (n*n,): {copy_flat * 1e6:.1f} us")
    report("QField2D.to_numpy", best(q.to_numpy), copy_pairs, 3)
    report("QField2D.from_numpy", best(lambda: lodestra.QField2D.from_numpy(pairs, n, n, 1.0)),
           copy_pairs, 3)
    report("ScalarField2D.to_numpy", best(phi.to_numpy), copy_flat, 3)
    report("ScalarField2D.from_numpy",
           best(lambda: lodestra.ScalarField2D.from_numpy(flat, n, n, 1.0)), copy_flat, 3)
    report("QField2D.order_param", best(q.order_param), copy_flat, 3)
    report("QField2D.mean_order_param", best(q.mean_order_param), copy_flat, 3)
    report("QField2D.max_norm", best(q.max_norm), copy_flat, 3)
    report("QField2D.director_angle (libm atan2)", best(q.director_angle), copy_flat, 3)
    report("ScalarField2D.mean_value", best(phi.mean_value), copy_flat, 3)
    report("ScalarField2D.variance", best(phi.variance), copy_flat, 3)


def interchange_3d(n=64):
    q = lodestra.QField3D.random_perturbation(n, n, n, 1.0, 0.5, 1)
    records = q.q.reshape(-1, 5)
    copy_records = best(lambda: np.copy(records))
    print(f"{n}^3 field; numpy.copy of (n^3, 5): {copy_records * 1e6:.1f} us")
    report("QField3D.q", best(lambda: q.q), copy_records, 3)
    report("QField3D.from_numpy",
           best(lambda: lodestra.QField3D.from_numpy(records, n, n, n, 1.0)), copy_records, 3)
    flat = np.ascontiguousarray(records[:, 0])
    phi = lodestra.ScalarField3D.from_numpy(flat, n, n, n, 1.0)
    copy_flat = best(lambda: np.copy(flat))
    report("ScalarField3D.phi", best(lambda: phi.phi), copy_flat, 3)
    report("ScalarField3D.from_numpy",
           best(lambda: lodestra.ScalarField3D.from_numpy(flat, n, n, n, 1.0)), copy_flat, 3)


def reference_times(path):
    out = subprocess.run([path], check=True, capture_output=True, text=True).stdout
    return {name: float(value) for name, value in (line.split() for line in out.splitlines())}


def single_operators(reference_path):
    if not os.path.exists(reference_path):
        print(f"single operators: {reference_path} is not built (make bench builds it); skipped")
        return
    ref = reference_times(reference_path)
    n = 256
    p = lodestra.RidiParams.default_test()
    q = lodestra.QField2D.random_perturbation(n, n, 1.0, 0.5, 42)
    v = lodestra.stokes_solve(q, p)
    phi = lodestra.ScalarField2D.uniform(n, n, 1.0, 0.1)
    report("stokes_solve 256x256 (vs 2+2 complex FFTs)",
           best(lambda: lodestra.stokes_solve(q, p), 50), ref["complex_2f2i_256"], 1.25)
    report("ch_step_etd 256x256 (vs 2+1 complex FFTs)",
           best(lambda: lodestra.ch_step_etd(phi, q, v, p), 50), ref["complex_2f1i_256"], 1.3)
    random_q = lodestra.QField2D.random_perturbation(n, n, 1.0, 0.3, 42)
    report("scan_defects random 256x256 (vs eigen)",
           best(lambda: lodestra.scan_defects(random_q), 20), ref["eigen_random_256"], 1.5)

    # Per-step cost of the 64 x 64 hydrodynamic driver, from the difference of two run
    # lengths (so the copies, the two snapshots and the call cancel), against the step's
    # own four transforms: what it spends outside them is at most their time.
    m = 64
    q64 = lodestra.QField2D.random_perturbation(m, m, 1.0, 0.01, 1)
    short = best(lambda: lodestra.run_ridi_component1_hydro(q64, p, 200, 200), 5)
    long = best(lambda: lodestra.run_ridi_component1_hydro(q64, p, 600, 600), 5)
    report("hydro step 64x64 (vs its 4 FFTs, at most 2x)", (long - short) / 400,
           ref["real_2f2i_64"], 2.0)


def quick_start():
    p = lodestra.RidiParams.default_test()
    q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.001, 42)
    seconds = best(lambda: lodestra.run_ridi_component1(q0, p, 5000, 100), repeats=3)
    print(f"quick start (5000 RK4 steps, 64 x 64, 51 snapshots): {seconds:.3f} s "
          f"(at most 1 s) {'ok' if seconds < 1 else 'OVER'}")


PEAK_SCRIPT = """
import resource, sys, lodestra
n, steps = 512, int(sys.argv[1])
p = lodestra.RidiParams.default_test()
p.nx = p.ny = n
q0 = lodestra.QField2D.random_perturbation(n, n, 1.0, 0.01, 1)
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM:'):
            return int(line.split()[1]) * 1024
before = hwm()
lodestra.run_ridi_component1_hydro(q0, p, steps, steps)
print(hwm() - before)
"""


def peak_memory():
    field_bytes = 512 * 512 * 2 * 8
    for steps in (2, 20):
        out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(steps)], check=True,
                             capture_output=True, text=True).stdout
        growth = int(out)
        print(f"512 x 512 hydrodynamic run, {steps:3d} steps: peak memory growth "
              f"{growth / field_bytes:5.2f}x the Q field (at most 20x)")


if __name__ == "__main__":
    single_operators(sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench/reference_times")
    interchange()
    interchange_3d()
    quick_start()
    peak_memory()
