"""lodestra.Simulation against the runners it shares its loop with, each ratio taken
in one run on this machine:

- run with the progress bar on vs the runner, same steps (2D 256^2 hydro, 3D 64^3
  BECH): at most 1.02;
- 100 calls of run(100) vs one call of run(10000), 128^2 hydro: at most 1.05;
- save + load of a 128^3 BECH state vs numpy.save (to new files) + numpy.load of its
  arrays: at most 2.

Times are the process's CPU time (time.process_time), the best of a few repeats, so
other work on the machine moves them little.
"""

import contextlib
import io
import os
import sys
import tempfile
import time

import numpy as np

import lodestra as L


def best(fn, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return min(times)


def quiet_progress(sim, n, snap):
    with contextlib.redirect_stderr(io.StringIO()):
        sim.run(n, snap, progress=True)


def report(name, ratio, limit):
    print(f"{name:58s} {ratio:6.3f}x  (limit {limit}x)")


def main():
    p = L.RidiParams.default_test()
    p.nx = p.ny = 256
    q = L.QField2D.random_perturbation(256, 256, p.dx, 0.05, 1)
    runner = best(lambda: L.run_ridi_component1_hydro(q, p, 300, 100))
    sim = best(lambda: quiet_progress(L.Simulation("hydro", q, p), 300, 100))
    report("2D 256^2 hydro, 300 steps: Simulation(progress) / runner", sim / runner, 1.02)

    p3 = L.RidiParams3D.default_test()
    p3.nx = p3.ny = p3.nz = 64
    q3 = L.QField3D.random_perturbation(64, 64, 64, p3.dx, 0.3, 1)
    phi3 = L.ScalarField3D.uniform(64, 64, 64, p3.dx, 0.5)
    with tempfile.TemporaryDirectory() as tmp:
        runner = best(lambda: L.run_ridi_3d_full(q3, phi3, p3, 20, 10, tmp, False), 2)
        sim = best(lambda: quiet_progress(
            L.Simulation("bech3d", q3, p3, phi=phi3, out_dir=tmp), 20, 10), 2)
    report("3D 64^3 BECH, 20 steps: Simulation(progress) / runner", sim / runner, 1.02)

    p.nx = p.ny = 128
    q = L.QField2D.random_perturbation(128, 128, p.dx, 0.05, 1)

    def segments():
        s = L.Simulation("hydro", q, p)
        for _ in range(100):
            s.run(100, 1000)

    one = best(lambda: L.Simulation("hydro", q, p).run(10000, 1000), 1)
    many = best(segments, 1)
    report("128^2 hydro: 100 x run(100) / run(10000)", many / one, 1.05)

    p3.nx = p3.ny = p3.nz = 128
    q3 = L.QField3D.random_perturbation(128, 128, 128, p3.dx, 0.3, 1)
    phi3 = L.ScalarField3D.uniform(128, 128, 128, p3.dx, 0.5)
    s = L.Simulation("bech3d", q3, p3, phi=phi3)
    s.run(1, 1)
    arrays = {"q": s.q.q, "phi": s.phi.phi, "velocity": s.velocity.u}
    with tempfile.TemporaryDirectory() as tmp:
        ckpt = os.path.join(tmp, "state.lodestra")

        # A checkpoint is always a new file (renamed over the old one), so the reference
        # writes new files too: saving over an existing file reuses its cached pages.
        def numpy_pair():
            for name, a in arrays.items():
                path = os.path.join(tmp, name + ".npy")
                if os.path.exists(path):
                    os.unlink(path)
                np.save(path, a)
            for name in arrays:
                np.load(os.path.join(tmp, name + ".npy"))

        def ours():
            s.save(ckpt)
            L.Simulation.load(ckpt)

        reference = best(numpy_pair)
        checkpoint = best(ours)
    report("128^3 BECH: save + load / numpy.save + numpy.load", checkpoint / reference, 2)


if __name__ == "__main__":
    sys.exit(main())
