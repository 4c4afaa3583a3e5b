"""Cahn-Hilliard single modes about a uniform phi: linear growth and decay, 2D and 3D.

Physics. d phi/dt = m_l lap(a_ch phi + b_ch phi^3 - kappa_ch lap phi) (no flow, no nematic
order). About a uniform phi0 a mode exp(i k.r) has the continuum rate
    s(k) = -m_l k^2 (a_ch + 3 b_ch phi0^2 + kappa_ch k^2),
negative for every k when a_ch + 3 b_ch phi0^2 > 0 and positive (spinodal growth) for
k^2 < -(a_ch + 3 b_ch phi0^2)/kappa_ch otherwise. The integrators multiply a mode per step by
- 2D (ch_step_etd, ETD1; a_ch and kappa_ch implicit with exact wavenumbers, the cubic
  explicit with the 5-point Laplacian, -kappa^2): G = E + phi1 (-m_l kappa^2 3 b phi0^2),
  E = exp(dt L), L = -m_l (a_ch k^2 + kappa_ch k^4), phi1 = (E - 1)/L;
- 3D (the step inside run_ridi_3d_full with Q = 0, hence no flow; a_ch and the cubic
  explicit, modified wavenumbers k~ = sin(k dx)/dx): G = E + phi1 (-k~^2 m_l (a_ch +
  3 b phi0^2)), E = exp(-dt m_l kappa_ch k~^4), phi1 = (E - 1)/(-m_l kappa_ch k~^4).
The mean of phi (the k = 0 mode) is conserved.

The parameter validation requires a_ch > 0, for which every mode decays: the spinodal
regime is reached in 2D only by setting a_ch = -1 after construction (the a_ch setter does
not validate). In 3D a_ch can be neither set nor made negative, so only decay is shown.
(phi_eq = sqrt(a_ch/b_ch) is the minimum of a double well -a/2 phi^2 + b/4 phi^4, which the
equation above has only for a_ch < 0.)

Expected: measured rate ln(A_n/A_0)/(n dt) equals ln(G)/dt within 1e-4 relative
(nonlinear corrections are O(eps^2) with eps = 1e-6: the phi0 delta^2 term feeds back into
k only at third order); modes with |rate| < 1e-4 are not checked. Each mode is measured
from t = 0 to the last sample (every 10 steps) at which it is still 1e7 times its
initial size, so that fast-decaying modes are not read below FFT rounding; each mode runs
alone (superposed modes would feed each other through the cubic term at O(eps^2), which
outgrows a fast-decaying mode). The mean of phi stays at
phi0 within 1e-12 (FFT rounding accumulated over the steps).
Parameters: m_l = 0.1, kappa_ch = 1, b_ch = 1, phi0 = 0.2 (2D) / 0.3 (3D), dx = 1.
2D: dt = 0.5, 400 steps (T = 200); 3D: dt = 0.1, 300 steps (T = 30).
Run time: quick (2D 32^2, 3D 8^3) about 2 s; full (2D 64^2, 3D 16^3) about 13 s.
"""

import tempfile
import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common

EPS = 1e-6


def factor_2d(p, phi0, kx, ky):
    k2 = kx * kx + ky * ky
    kap2 = 4 * (np.sin(kx / 2) ** 2 + np.sin(ky / 2) ** 2)
    lin = -p.m_l * (p.a_ch * k2 + p.kappa_ch * k2 * k2)
    e = np.exp(p.dt * lin)
    return e + (e - 1) / lin * (-p.m_l * kap2 * 3 * p.b_ch * phi0 ** 2)


def factor_3d(p, phi0, k):
    kt = np.sin(np.asarray(k))
    k2 = float(kt @ kt)
    lin = -p.m_l * p.kappa_ch * k2 * k2
    e = np.exp(p.dt * lin)
    return e + (e - 1) / lin * (-k2 * p.m_l * (p.a_ch + 3 * p.b_ch * phi0 ** 2))


def continuum(p, phi0, k2):
    return -p.m_l * k2 * (p.a_ch + 3 * p.b_ch * phi0 ** 2 + p.kappa_ch * k2)


def window_rates(samples, times, modes, n):
    """Rate of each mode from its first sample to the last one still 1e7 above rounding."""
    f0 = samples[0]
    rates = []
    for m in modes:
        key = tuple(np.mod(m, n))
        amp = np.array([abs(f[key]) for f in samples]) / abs(f0[key])
        last = max(k for k in range(len(amp)) if amp[k] > 1e-7)
        rates.append(float(np.log(amp[last]) / (times[last] - times[0])))
    return rates


def run_2d(p, n, phi0, modes, steps, every=10):
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    phi = np.full((n, n), phi0)
    for mx, my in modes:
        phi += EPS * np.cos(2 * np.pi * (mx * i + my * j) / n)
    field = lodestra.ScalarField2D.from_numpy(phi.ravel(), n, n, 1.0)
    q = lodestra.QField2D.zeros(n, n, 1.0)
    v = lodestra.stokes_solve(q, p)
    samples, times = [np.fft.fft2(phi)], [0.0]
    for step in range(1, steps + 1):
        field = lodestra.ch_step_etd(field, q, v, p)
        if step % every == 0:
            samples.append(np.fft.fft2(field.to_numpy().reshape(n, n)))
            times.append(step * p.dt)
    return window_rates(samples, times, modes, n)[0], float(field.to_numpy().mean())


def run_3d(p, n, phi0, modes, steps, every=10):
    idx = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    phi = np.full((n, n, n), phi0)
    for m in modes:
        phi += EPS * np.cos(2 * np.pi * (m[0] * idx[0] + m[1] * idx[1] + m[2] * idx[2]) / n)
    field = lodestra.ScalarField3D.from_numpy(phi.ravel(), n, n, n, 1.0)
    q = lodestra.QField3D.zeros(n, n, n, 1.0)
    samples, times = [np.fft.fftn(phi)], [0.0]
    with tempfile.TemporaryDirectory() as tmp:
        _, end, stats = lodestra.run_ridi_3d_full(q, field, p, steps, every, tmp, False)
        for s in range(every - 1, steps, every):
            samples.append(np.fft.fftn(np.load(f"{tmp}/phi_{s:06}.npy").reshape(n, n, n)))
            times.append((s + 1) * p.dt)
    return window_rates(samples, times, modes, n)[0], float(end.phi.mean()), stats[-1].mean_phi


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("06_cahn_hilliard", "Cahn-Hilliard single modes, 2D and 3D", quick)
    plt = _common.pyplot()
    n2, n3 = (32, 8) if quick else (64, 16)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))

    phi0 = 0.2
    modes = [(m, 0) for m in range(1, n2 // 4 + 1)] + [(m, m) for m in range(1, n2 // 8 + 1)]
    for a_ch, colour in ((1.0, "#3672ff"), (-1.0, "#ff5a36")):
        p = _common.params_2d(nx=n2, ny=n2, dt=0.5, m_l=0.1, kappa_ch=1.0, b_ch=1.0)
        p.a_ch = a_ch
        runs = [run_2d(p, n2, phi0, [m], 400) for m in modes]
        rates, mean = [r[0] for r in runs], runs[0][1]
        ks, preds = [], []
        for (mx, my), rate in zip(modes, rates):
            kx, ky = 2 * np.pi * mx / n2, 2 * np.pi * my / n2
            pred = float(np.log(factor_2d(p, phi0, kx, ky)) / p.dt)
            ks.append(np.hypot(kx, ky))
            preds.append(pred)
            if abs(pred) >= 1e-4:
                rep.check(f"2D a_ch={a_ch:g} mode ({mx},{my}) rate", rate, pred, 1e-4,
                          relative=True)
        rep.check(f"2D a_ch={a_ch:g} mean of phi", mean, phi0, 1e-12)
        if a_ch < 0:
            rep.truth("2D a_ch=-1: the longest mode grows", rates[0] > 0, f"rate {rates[0]:.5f}")
        else:
            rep.truth("2D a_ch=1: every mode decays", max(rates) < 0, f"max {max(rates):.5f}")
        kk = np.linspace(0.01, max(ks) * 1.05, 200)
        axes[0].plot(kk, [np.log(factor_2d(p, phi0, k, 0.0)) / p.dt for k in kk], color=colour,
                     lw=1, label=f"a_ch = {a_ch:g}: discrete, k along x")
        axes[0].plot(kk, continuum(p, phi0, kk * kk), ":", color=colour, lw=1)
        axes[0].plot(ks, rates, "o", ms=4, mfc="none", color=colour, label="measured")
    axes[0].axhline(0, color="black", lw=0.6)
    axes[0].set_xlabel("|k|")
    axes[0].set_ylabel("rate")
    axes[0].set_title(f"2D ETD1, phi0 = {phi0}, {n2}^2 (dotted: continuum)")
    axes[0].legend(fontsize=8)

    phi0 = 0.3
    p = _common.params_3d(nx=n3, ny=n3, nz=n3, m_l=0.1, kappa_ch=1.0, b_ch=1.0, a_ch=1.0)
    p.dt = 0.1
    modes = [(0, 0, m) for m in range(1, n3 // 2)] + [(1, 1, 1), (2, 1, 0)]
    runs = [run_3d(p, n3, phi0, [m], 300) for m in modes]
    rates, mean, mean_stat = [r[0] for r in runs], runs[0][1], runs[0][2]
    ks, preds = [], []
    for m, rate in zip(modes, rates):
        k = 2 * np.pi * np.array(m) / n3
        pred = float(np.log(factor_3d(p, phi0, k)) / p.dt)
        ks.append(float(np.linalg.norm(k)))
        preds.append(pred)
        if abs(pred) >= 1e-4:
            rep.check(f"3D mode {m} rate", rate, pred, 1e-4, relative=True)
    rep.check("3D mean of phi", mean, phi0, 1e-12)
    rep.check("3D mean_phi of the last record", mean_stat, phi0, 1e-12)
    kk = np.linspace(0.01, np.pi * 0.98, 200)
    axes[1].plot(kk, [np.log(factor_3d(p, phi0, (0, 0, k))) / p.dt for k in kk], color="#3672ff",
                 lw=1, label="discrete (modified k), k along z")
    axes[1].plot(kk, continuum(p, phi0, kk * kk), ":", color="#3672ff", lw=1, label="continuum")
    axes[1].plot(ks, rates, "o", ms=4, mfc="none", color="#3672ff", label="measured")
    axes[1].set_xlabel("|k|")
    axes[1].set_ylabel("rate")
    axes[1].set_title(f"3D ETD1, a_ch = 1, phi0 = {phi0}, {n3}^3")
    axes[1].legend(fontsize=8)
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
