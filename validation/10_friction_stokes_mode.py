"""Stokes flow of a single Fourier mode of Q with substrate friction, 2D and 3D.

Physics. With substrate friction Gamma_f the film solves eta lap u - Gamma_f u - grad p
+ f = 0, div u = 0. For one Fourier mode of Q the Stokes operator is diagonal, so the flow is
the frictionless flow of case 7 with eta k^2 replaced by eta k^2 + Gamma_f:
- 2D (exact wavenumbers, f = +zeta div Q): Qxy = A cos(k x) drives
      uy = -zeta A / (eta k + Gamma_f / k) sin(k x),  ux = 0;
- 3D (central-difference force f = -zeta div Q, wavenumber k~ = sin(k dx)/dx): Qxz = A cos(k z)
  drives  ux = zeta A / (eta k~ + Gamma_f / k~) sin(k z),  uy = uz = 0.
Friction screens the flow beyond l_f = sqrt(eta/Gamma_f): long modes (k l_f << 1) move as
zeta A k / Gamma_f instead of zeta A / (eta k). The flow is read from lodestra.Simulation
(models "hydro" and "bech3d") after one step: the velocity of a step is the flow of the Q it
started from.
Expected: max |u - u_exact| <= 1e-12 for amplitudes of order 1 (the solve is exact for one
mode; what remains is FFT rounding ~ 1e-15), for every mode and friction, including
Gamma_f = 0 (the frictionless solver).
Run time: quick (2D 32^2, 3D 4x4x16) and full (2D 128^2, 3D 8x8x32) about 2 s.
"""

import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common

ZETA, ETA, AMP = 1.5, 0.8, 0.3


def flow_2d(n, m, friction):
    p = _common.params_2d(nx=n, ny=n, zeta_eff=ZETA, eta=ETA, a_landau=0.0)
    k = 2 * np.pi * m / n
    x = np.arange(n)[:, None] * np.ones(n)[None, :]
    q = np.zeros((n, n, 2))
    q[..., 1] = AMP * np.cos(k * x)
    sim = lodestra.Simulation("hydro", lodestra.QField2D.from_numpy(q.reshape(-1, 2), n, n, 1.0),
                              p, friction=friction)
    sim.run(1, 1)
    u = sim.velocity.to_numpy().reshape(n, n, 2)
    exact = np.zeros_like(u)
    exact[..., 1] = -ZETA * AMP / (ETA * k + friction / k) * np.sin(k * x)
    return k, float(np.abs(u - exact).max()), float(np.abs(exact).max())


def flow_3d(n, nz, m, friction):
    p = _common.params_3d(nx=n, ny=n, nz=nz, zeta_eff=ZETA, eta=ETA)
    k = 2 * np.pi * m / nz
    kt = np.sin(k)
    z = np.arange(nz)
    q = np.zeros((n, n, nz, 5))
    q[..., 2] = AMP * np.cos(k * z)
    field = lodestra.QField3D.from_numpy(q.reshape(-1, 5), n, n, nz, 1.0)
    phi = lodestra.ScalarField3D.uniform(n, n, nz, 1.0, 0.0)
    sim = lodestra.Simulation("bech3d", field, p, phi=phi, friction=friction)
    sim.run(1, 1)
    u = np.asarray(sim.velocity.u).reshape(n, n, nz, 3)
    exact = np.zeros_like(u)
    exact[..., 0] = ZETA * AMP / (ETA * kt + friction / kt) * np.sin(k * z)
    return kt, float(np.abs(u - exact).max()), float(np.abs(exact).max())


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("10_friction_stokes_mode",
                         "Single-mode Stokes flow with substrate friction, 2D and 3D", quick)
    plt = _common.pyplot()
    n2, n3, nz = (32, 4, 16) if quick else (128, 8, 32)
    frictions = (0.0, 0.008, 0.1, 1.0)
    modes2 = (1, 2, 5) if quick else (1, 2, 4, 8, 16)
    modes3 = (1, 3) if quick else (1, 2, 4, 8)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    colours = plt.get_cmap("viridis")(np.linspace(0, 0.9, len(frictions)))
    for c, gf in zip(colours, frictions):
        rows2 = [flow_2d(n2, m, gf) for m in modes2]
        rows3 = [flow_3d(n3, nz, m, gf) for m in modes3]
        rep.bound(f"2D Gamma_f={gf:g}: max |u - exact| over {len(modes2)} modes",
                  max(r[1] for r in rows2), 1e-12)
        rep.bound(f"3D Gamma_f={gf:g}: max |u - exact| over {len(modes3)} modes",
                  max(r[1] for r in rows3), 1e-12)
        for ax, rows, n in ((axes[0], rows2, n2), (axes[1], rows3, nz)):
            kk = np.geomspace(2 * np.pi / n, np.pi / 2, 100)
            ax.loglog(kk, ZETA * AMP / (ETA * kk + gf / kk), color=c, lw=1,
                      label=f"Gamma_f = {gf:g}")
            ax.loglog([r[0] for r in rows], [r[2] for r in rows], "o", mfc="none", color=c)
    for ax, title in zip(axes, ("2D: Qxy = A cos(kx), amplitude of uy",
                                "3D: Qxz = A cos(kz), amplitude of ux (k = sin(k dz)/dz)")):
        ax.set_xlabel("k")
        ax.set_ylabel("flow amplitude")
        ax.set_title(title, fontsize=9)
        ax.legend(fontsize=7)
    rep.note("circles: measured amplitude; lines: zeta A / (eta k + Gamma_f / k)")
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
