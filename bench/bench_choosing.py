"""The numbers of the documentation's "Choosing parameters" page, measured.

1. The largest stable time step of each model with its test set: the run from a random
   start (amplitude 0.05, no noise) to t = 50 is stable when its field stays finite with
   max_norm below 2; the limit is bisected to 1 % between a stable and an unstable dt.
2. The flow speed of the 2D test set in active turbulence (max |u| at t = 50) and the
   advective number max|u| dt/dx it gives at dt = 0.01.
3. Time per step of each model on a few grids (wall time of a run of a few seconds, the
   machine's other load included), and the same per vertex.

Run: python bench/bench_choosing.py [--quick]
"""

import math
import sys
import tempfile
import time

import numpy as np

import lodestra

QUICK = "--quick" in sys.argv
T_END = 20.0 if QUICK else 50.0


def run_2d(model, p, dt, t_end=T_END):
    p = lodestra.replace(p, dt=dt)
    n = max(1, round(t_end / dt))
    q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.05, 3)
    with np.errstate(all="ignore"):
        if model == "dry":
            q, _ = lodestra.run_ridi_component1(q0, p, n, n)
        elif model == "hydro":
            q, _ = lodestra.run_ridi_component1_hydro(q0, p, n, n)
        else:
            phi0 = lodestra.ScalarField2D.uniform(p.nx, p.ny, p.dx, 0.0)
            q, _, _ = lodestra.run_ridi_bech(q0, phi0, p, n, n)
    return q


def run_3d(model, p, dt, out, t_end=T_END):
    p = lodestra.replace(p, dt=dt)
    n = max(1, round(t_end / dt))
    q0 = lodestra.QField3D.random_perturbation(p.nx, p.ny, p.nz, p.dx, 0.05, 3)
    if model == "dry3d":
        q, _ = lodestra.run_ridi_3d(q0, p, n, 0, out, False)
    else:
        phi0 = lodestra.ScalarField3D.uniform(p.nx, p.ny, p.nz, p.dx, 0.5)
        q, _, _ = lodestra.run_ridi_3d_full(q0, phi0, p, n, 0, out, False)
    return q


def stable(q):
    a = q.to_numpy() if hasattr(q, "to_numpy") else q.q
    return bool(np.all(np.isfinite(a))) and q.max_norm() < 2.0


def limit(step, low, high):
    """Bisect the largest stable dt between a stable `low` and an unstable `high`."""
    assert stable(step(low)), low
    assert not stable(step(high)), high
    while high / low > 1.01:
        mid = math.sqrt(low * high)
        low, high = (mid, high) if stable(step(mid)) else (low, mid)
    return low


def main():
    p2 = lodestra.RidiParams.default_test()
    p3 = lodestra.RidiParams3D.default_test()
    out = tempfile.mkdtemp()
    print(f"largest stable dt (t = {T_END:g}, random start 0.05, no noise)")
    for model in ("dry", "hydro", "bech"):
        print(f"  {model:7s} 64^2 : {limit(lambda dt: run_2d(model, p2, dt), 0.05, 1.0):.4f}")
    for zeta in (8.0,):
        pz = lodestra.replace(p2, zeta_eff=zeta)
        print(f"  hydro   64^2 zeta={zeta:g}: "
              f"{limit(lambda dt: run_2d('hydro', pz, dt), 0.01, 1.0):.4f}")
    for model in ("dry3d", "bech3d"):
        print(f"  {model:7s} 16^3 : {limit(lambda dt: run_3d(model, p3, dt, out), 0.02, 1.0):.4f}")

    print("flow of the 2D test set at t = 50 (dt = 0.01)")
    for n, zeta in ((64, 2.0), (128, 2.0), (64, 8.0)):
        p = lodestra.replace(p2, nx=n, ny=n, zeta_eff=zeta)
        q = run_2d("hydro", p, 0.01, 20.0 if QUICK else 50.0)
        u = lodestra.stokes_solve(q, p).to_numpy()
        speed = float(np.max(np.hypot(u[:, 0], u[:, 1])))
        print(f"  {n}^2 zeta={zeta:g}: max|u| = {speed:.3f}, max|u| dt/dx = {speed * 0.01:.4f}")

    print("time per step")
    grids_2d = {"dry": (64, 128, 256), "hydro": (64, 128, 256), "bech": (64, 128)}
    grids_3d = {"dry3d": (16, 32, 64), "bech3d": (16, 32, 64)}
    for model, sizes in grids_2d.items():
        for n in sizes:
            p = lodestra.replace(p2, nx=n, ny=n)
            steps = 5
            while True:
                start = time.perf_counter()
                run_2d(model, p, 0.01, steps * 0.01)
                took = time.perf_counter() - start
                if took > (0.3 if QUICK else 1.5):
                    break
                steps *= 4
            print(f"  {model:7s} {n:4d}^2: {1e3 * took / steps:9.3f} ms/step, "
                  f"{1e9 * took / steps / n ** 2:7.1f} ns per vertex-step")
    for model, sizes in grids_3d.items():
        for n in sizes:
            p = lodestra.replace(p3, nx=n, ny=n, nz=n)
            steps = 2
            while True:
                start = time.perf_counter()
                run_3d(model, p, 0.01, out, steps * 0.01)
                took = time.perf_counter() - start
                if took > (0.3 if QUICK else 1.5):
                    break
                steps *= 4
            print(f"  {model:7s} {n:4d}^3: {1e3 * took / steps:9.3f} ms/step, "
                  f"{1e9 * took / steps / n ** 3:7.1f} ns per vertex-step")


if __name__ == "__main__":
    main()
