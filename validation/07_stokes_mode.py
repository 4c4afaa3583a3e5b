"""Active Stokes flow of a single Fourier mode of Q, 2D and 3D, against the analytic solution.

Physics. Incompressible Stokes flow driven by the active force, eta lap u - grad p + f = 0,
div u = 0, on the periodic box.
2D (stokes_solve, exact wavenumbers, force f = +zeta div Q): with the stream function
u = (d_y psi, -d_x psi), eta lap^2 psi = zeta((d_x^2 - d_y^2) Qxy - 2 d_x d_y Qxx). For
Q = (A1, A2) cos(k.r) the solution is exactly
    u = -zeta B / (eta k^4) sin(k.r) (ky, -kx),   B = A2 (ky^2 - kx^2) + 2 kx ky A1.
3D (the Stokes solve inside run_ridi_3d_full, read back from vel_000000.npy, the flow of the
initial Q; force f = -zeta div Q by central differences): for Q = A cos(k.r) (A a traceless
symmetric 3x3 amplitude), f = zeta (A k~) sin(k.r) and
    u = (I - k~ k~^T / k~^2) f / (eta k~^2),   k~_a = sin(k_a dx)/dx,
the discrete (modified-wavenumber) form of the same solution; the continuum solution has k
in place of k~. The 2D and 3D solvers use opposite signs of the active force for the same
zeta_eff (3D: -zeta div Q), each compared here with its own analytic form.

Expected and tolerances:
- 2D: max |u - u_exact| / max |u_exact| <= 1e-11 (the solve is exact for a single mode;
  what remains is FFT rounding, ~ log2(N) eps ~ 1e-15, with a wide margin); a Qxx mode
  along an axis (B = 0) gives no flow: max |u| <= 1e-14 (rounding of amplitudes 0.1);
- 3D against the modified-wavenumber solution: <= 1e-11 (same reasoning);
- 3D against the continuum solution for modes along an axis: the relative deviation equals
  k dx / sin(k dx) - 1 (the central-difference factor, 2.6 % for the longest mode of 16
  points), within 1e-9.
Modes: several (kx, ky) in 2D including an oblique and a short-wave one; in 3D modes along
x and z and two oblique modes with general amplitudes.
Run time: quick (2D 32^2, 3D 8^3) and full (2D 128^2, 3D 16^3) both about 3 s.
"""

import os
import tempfile
import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common


def flow_2d(n, mx, my, a1, a2, zeta=2.0, eta=1.0):
    p = _common.params_2d(nx=n, ny=n, zeta_eff=zeta, eta=eta)
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    kx, ky = 2 * np.pi * mx / n, 2 * np.pi * my / n
    phase = kx * i + ky * j
    q = np.stack([a1 * np.cos(phase), a2 * np.cos(phase)], axis=-1)
    u = lodestra.stokes_solve(lodestra.QField2D.from_numpy(q.reshape(-1, 2), n, n, 1.0), p)
    u = u.to_numpy().reshape(n, n, 2)
    b = a2 * (ky * ky - kx * kx) + 2 * kx * ky * a1
    k4 = (kx * kx + ky * ky) ** 2
    exact = np.stack([-zeta * b / (eta * k4) * np.sin(phase) * ky,
                      zeta * b / (eta * k4) * np.sin(phase) * kx], axis=-1)
    return u, exact


def flow_3d(n, m, amp, zeta=2.0, eta=1.0):
    """Measured, modified-wavenumber and continuum flows of Q = amp cos(k.r) on n^3."""
    p = _common.params_3d(nx=n, ny=n, nz=n, zeta_eff=zeta, eta=eta)
    idx = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    k = 2 * np.pi * np.array(m, dtype=float) / n
    phase = k[0] * idx[0] + k[1] * idx[1] + k[2] * idx[2]
    comps = [amp[0, 0], amp[0, 1], amp[0, 2], amp[1, 1], amp[1, 2]]
    q = np.stack([c * np.cos(phase) for c in comps], axis=-1)
    q_field = lodestra.QField3D.from_numpy(q.reshape(-1, 5), n, n, n, 1.0)
    phi = lodestra.ScalarField3D.zeros(n, n, n, 1.0)
    with tempfile.TemporaryDirectory() as tmp:
        lodestra.run_ridi_3d_full(q_field, phi, p, 1, 1, tmp, False)
        u = np.load(os.path.join(tmp, "vel_000000.npy")).reshape(n, n, n, 3)

    def solution(kv):
        k2 = kv @ kv
        f = zeta * (amp @ kv)
        proj = f - kv * (kv @ f) / k2
        return np.sin(phase)[..., None] * (proj / (eta * k2))

    return u, solution(np.sin(k)), solution(k), k


def rel_err(u, ref):
    return float(np.max(np.abs(u - ref)) / np.max(np.abs(ref)))


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("07_stokes_mode", "Active Stokes flow of single modes, 2D and 3D", quick)
    plt = _common.pyplot()
    n2, n3 = (32, 8) if quick else (128, 16)
    modes_2d = [(1, 0, 0.0, 0.1), (0, 2, 0.1, 0.05), (1, 1, 0.05, 0.1), (3, -2, 0.1, -0.07),
                (n2 // 4, 1, 0.02, 0.03)]
    shown = None
    for mx, my, a1, a2 in modes_2d:
        u, exact = flow_2d(n2, mx, my, a1, a2)
        rep.bound(f"2D mode ({mx},{my}) relative error", rel_err(u, exact), 1e-11)
        if shown is None and mx and my:
            shown = (mx, my, u, exact)
    # A Qxx mode along an axis has a pure-gradient force, balanced by the pressure: no flow.
    u, _ = flow_2d(n2, 0, 3, 0.1, 0.0)
    rep.bound("2D Qxx mode along y: max |u| (no flow)", float(np.max(np.abs(u))), 1e-14)
    a_gen = np.array([[0.1, 0.03, -0.02], [0.03, -0.04, 0.05], [-0.02, 0.05, -0.06]])
    a_xz = np.zeros((3, 3))
    a_xz[0, 2] = a_xz[2, 0] = 0.1
    a_xy = np.zeros((3, 3))
    a_xy[0, 1] = a_xy[1, 0] = 0.1
    modes_3d = [((0, 0, 1), a_xz, True), ((1, 0, 0), a_xy, True), ((1, 1, 0), a_gen, False),
                ((1, 2, 1), a_gen, False)]
    profile = None
    for m, amp, axis in modes_3d:
        u, disc, cont, k = flow_3d(n3, m, amp)
        rep.bound(f"3D mode {m} vs modified-wavenumber solution", rel_err(u, disc), 1e-11)
        if axis:
            kdx = float(np.max(k))
            dev = float(np.max(np.abs(u)) / np.max(np.abs(cont)) - 1)
            rep.check(f"3D mode {m} deviation from continuum", dev,
                      kdx / np.sin(kdx) - 1, 1e-9)
        if profile is None:
            profile = (m, u, disc, cont)

    fig, axes = plt.subplots(1, 3, figsize=(14, 4.2))
    mx, my, u, exact = shown
    speed = np.hypot(u[..., 0], u[..., 1])
    axes[0].imshow(speed.T, origin="lower", cmap="viridis")
    s = max(1, n2 // 16)
    ii, jj = np.meshgrid(np.arange(0, n2, s), np.arange(0, n2, s), indexing="ij")
    axes[0].quiver(ii, jj, u[::s, ::s, 0], u[::s, ::s, 1], color="white")
    axes[0].set_title(f"2D flow of mode ({mx},{my}), |u| and arrows")
    axes[1].plot(np.arange(n2), u[:, 0, 1], "o", ms=3, mfc="none", color="#ff5a36",
                 label="uy measured")
    axes[1].plot(np.arange(n2), exact[:, 0, 1], color="black", lw=1, label="uy analytic")
    axes[1].plot(np.arange(n2), u[:, 0, 0], "s", ms=3, mfc="none", color="#3672ff",
                 label="ux measured")
    axes[1].plot(np.arange(n2), exact[:, 0, 0], color="gray", lw=1, label="ux analytic")
    axes[1].set_xlabel("i (j = 0)")
    axes[1].set_title("2D: measured against analytic")
    axes[1].legend(fontsize=8)
    m, u, disc, cont = profile
    z = np.arange(n3)
    zz = np.linspace(0, n3, 200)
    kz = 2 * np.pi * m[2] / n3
    axes[2].plot(z, u[0, 0, :, 0], "o", color="#ff5a36", label="ux measured (3D)")
    axes[2].plot(z, disc[0, 0, :, 0], "x", color="black", label="modified wavenumbers")
    amp = np.max(np.abs(cont[..., 0]))
    axes[2].plot(zz, amp * np.sin(kz * zz), ":", color="gray", label="continuum")
    axes[2].set_xlabel("l (i = j = 0)")
    axes[2].set_title(f"3D: Qxz = A cos(2 pi l/{n3}), flow along x")
    axes[2].legend(fontsize=8)
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
