"""Defect density against activity: a sweep of hydrodynamic runs over activities and seeds.

Physics: beyond the active instability the 2D active nematic with Stokes flow settles
into active turbulence, a steady state of moving +1/2 / -1/2 defects whose density grows
with the activity (rho_d ~ zeta_eff / K_r). Each run starts from its own seeded random
Q; the steady-state density of a run is the mean over its second half, and the error bar
is the standard error over the seeds.

Parameters: 64 x 64 test set with noise_amp = 0.02, zeta_eff in {0.5, 1, 2, 4, 8} times
4 seeds = 20 runs of 4000 steps, snapshots every 200, on a local Dask cluster with one
worker process per core. Run time: about 15 s on two free cores (the cluster's start
included); 50 s on a busy two-core machine.
Output: the table of densities and sweep.png.
"""

import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import lodestra  # noqa: E402
from lodestra import ensemble  # noqa: E402


def main(path):
    p = lodestra.RidiParams.default_test()
    p.noise_amp = 0.02
    sweep = ensemble.Sweep(lodestra.run_ridi_component1_hydro, p,
                           vary={"zeta_eff": [0.5, 1.0, 2.0, 4.0, 8.0]}, seeds=range(4),
                           init=ensemble.random_fields(amplitude=0.05),
                           n_steps=4000, snap_every=200)
    start = time.perf_counter()
    result = sweep.run()
    print(f"{len(sweep)} runs in {time.perf_counter() - start:.1f} s")

    records = result.records
    steady = records[records["time"] >= 0.5 * records["time"].max()]
    per_run = steady.groupby(["zeta_eff", "seed"])["defect_density"].mean()
    curve = per_run.groupby("zeta_eff").agg(["mean", "sem"])
    print(curve.to_string(float_format="{:.3e}".format))

    fig, ax = plt.subplots(figsize=(5.5, 4))
    ax.errorbar(curve.index, curve["mean"], yerr=curve["sem"], marker="o", capsize=3)
    ax.set_xlabel("activity zeta_eff")
    ax.set_ylabel("defect density rho_d")
    ax.set_title(f"{p.nx} x {p.ny}, mean and standard error over 4 seeds")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")


if __name__ == "__main__":  # the worker processes import this file again
    main(sys.argv[1] if len(sys.argv) > 1 else "sweep.png")
