"""Passive coarsening of a quenched 2D nematic (dry, zeta = 0): defect density ~ ln(t)/t.

Physics. After a quench from a disordered state, +-1/2 defects annihilate in pairs and the
texture coarsens with a length L(t) ~ sqrt(t / ln(t/t0)): the drag of a point defect grows
with ln(L/xi), so the density of defects decays as rho ~ ln(t/t0)/t (the logarithmic
correction of dissipative 2D XY/nematic coarsening, Yurke et al. 1993; Bray's review).
Fit: rho = B t^(-nu) ln(t/t0) with the microscopic time t0 = xi^2/(Gamma K) =
1/(4 |a_eff| Gamma) = 0.5; the law predicts nu = 1. A pure power law fit is shown for
comparison (its exponent is below 1 because of the logarithm).

Parameters: RidiParams test set with zeta_eff = 0, a_landau = -0.5 (a_eff = -0.5), dx = 0.5,
dt = 0.05, random start of amplitude 0.01, no noise; density from the driver's records
(holonomy scan, area (nx dx)(ny dx)). Full: 768^2 (box 384), t = 100, seed 11; quick:
256^2 (box 128), t = 20, seeds 11 and 12 averaged; both fit from t = 5 = 10 t0 (the
ordering from amplitude 0.01 to |q|eq takes ln(|q|eq^2/1e-4)/(4|a_eff| Gamma) = 3.2) to
the end. The densities of this model fall fast (rho t ~ 0.03): a 256^2 box keeps only a
handful of defects past t = 50, so the affordable full run is 768^2 up to t = 100 (tens
of defects at the end), a time range of a factor 20, over which ln(t/t0) goes from 2.3 to
5.3: a short lever arm for a logarithm, which the t0 part of the tolerance reflects.

Expected and tolerance: nu = 1. Tolerance = the change of nu when t0 is taken 4 times
smaller or larger (the microscopic time is defined only up to such a factor) + 3 standard
errors of the fitted slope (defect-number noise, sqrt(N) per record). The window starts
once the network has formed (rho xi^2 << 1) and ends before fewer than ~20 defects remain.
Run time: quick about 5 s; full about 75 s (one core).
"""

import math
import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common


def fit_nu(t, rho, t0):
    """nu and its standard error of log(rho / ln(t/t0)) = log B - nu log t."""
    x, y = np.log(t), np.log(rho / np.log(t / t0))
    coef, cov = np.polyfit(x, y, 1, cov=True)
    return float(-coef[0]), float(math.sqrt(cov[0, 0])), coef


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("04_coarsening", "Passive coarsening: defect density ~ ln(t)/t", quick)
    plt = _common.pyplot()
    n, t_end, t_fit, seeds = (256, 20.0, 5.0, (11, 12)) if quick else (768, 100.0, 5.0, (11,))
    dx, dt = 0.5, 0.05
    p = _common.params_2d(nx=n, ny=n, dx=dx, dt=dt, zeta_eff=0.0, a_landau=-0.5)
    t0 = 1 / (4 * abs(p.a_eff()) * p.gamma_r)
    every = 10 if quick else 20
    rho, counts = 0.0, 0
    for seed in seeds:
        q0 = lodestra.QField2D.random_perturbation(n, n, dx, 0.01, seed)
        _, stats = lodestra.run_ridi_component1(q0, p, int(round(t_end / dt)), every)
        t = np.array([s.time for s in stats])
        rho = rho + np.array([s.defect_density for s in stats]) / len(seeds)
        counts = counts + np.array([s.n_defects for s in stats])
    win = (t >= t_fit) & (counts >= 1)
    nu, err, coef = fit_nu(t[win], rho[win], t0)
    spread = max(abs(fit_nu(t[win], rho[win], t0 * f)[0] - nu) for f in (0.25, 4.0))
    rep.check("exponent nu of rho = B ln(t/t0) / t^nu", nu, 1.0, spread + 3 * err)
    pure = np.polyfit(np.log(t[win]), np.log(rho[win]), 1)
    rep.note(f"pure power-law fit rho ~ t^{pure[0]:.3f} over the same window; "
             f"defects in the window: {counts[win].max()} down to {counts[win].min()}; "
             f"t0 sensitivity {spread:.3f}, slope standard error {err:.3f}")
    rep.truth("defects present through the fit window", counts[win].min() >= 4,
              f"fewest defects in the window {counts[win].min()}")

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.2))
    ok = counts > 0
    ax1.loglog(t[ok], rho[ok], ".", ms=3, color="gray", label="measured")
    ax1.loglog(t[win], rho[win], ".", ms=3, color="#ff5a36", label="fit window")
    tt = t[win]
    ax1.loglog(tt, np.exp(coef[1]) * tt ** (-nu) * np.log(tt / t0), color="black", lw=1,
               label=f"B ln(t/t0) / t^nu, nu = {nu:.3f}")
    ax1.loglog(tt, np.exp(pure[1]) * tt ** pure[0], ":", color="#3672ff", lw=1,
               label=f"pure power law, t^{pure[0]:.3f}")
    ax1.set_xlabel("t")
    ax1.set_ylabel("defect density")
    ax1.set_title(f"{n}^2, dx = {dx}, zeta = 0")
    ax1.legend(fontsize=8)
    ax2.plot(np.log(t[win] / t0), rho[win] * t[win], ".", ms=3, color="#ff5a36")
    ax2.set_xlabel("ln(t / t0)")
    ax2.set_ylabel("rho t")
    ax2.set_title("rho t against ln(t/t0): a straight line for rho ~ ln(t)/t")
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
