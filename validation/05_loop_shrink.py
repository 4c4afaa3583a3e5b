"""A planar disclination loop shrinking under its line tension (3D, dry, zeta = 0).

Physics. The initial director n = (cos a, sin a, 0), a = (atan2(z, rho - R0) -
atan2(z, rho + R0))/2 in cylindrical coordinates about the loop's axis, winds by pi around
the circle rho = R0, z = 0 (a twist loop: the director turns about z, perpendicular to the
line) and tends to a uniform field far away; Q = S_eq (n n - I/3). Every Cartesian
component of Q then depends on (rho, z) only, and the 3D Laplacian splits exactly into the
Laplacian of the meridional (rho, z) plane plus the term (1/rho) d/drho. So the loop's
cross-section is a straight +-1/2 pair at separation d = 2R in that plane, and the extra
term advects it towards the axis with the speed Gamma_r K_r / rho. Hence, to first order
in xi/R,
    dR/dt = -Gamma_r K_r / R + (1/2) v_pair(2R),
where v_pair(d) = d(d)/dt of a straight pair of the same lines. That pair follows
d^2 = d0^2 - c_p t (case 2 in 2D), so R^2 = R0^2 - c t with
    c = 2 Gamma_r K_r + c_p / 4
(line tension against rotational friction: the drift term is the curvature force K/R
over the drag gamma1 = K/(Gamma_r K_r); the pair term is the tension's logarithmic part,
which the limit of infinite ln(R/xi) alone would drop, leaving 2 Gamma_r K_r).
c_p is measured here on a straight twist pair (lines along y, director turning about z,
the loop's cross-section) in the same 3D model, from d0 = 2 R0 in a box four times
longer, with the separation corrected for the periodic images as in case 2:
D^2 = -2 (L/pi)^2 ln cos(pi d/L).
Measured by the dry runner with line tracking (run_ridi_3d): line count, is_loop and
n_events at every snapshot; the snapshot files give the lines through
DisclinationLine.scan, whose length and mean curvature give R_length = length/(2 pi) and
R_curv = 1/mean_curvature, and whose vertices give R_mean, their mean distance from the
centroid.

Parameters: RidiParams3D test set with zeta_eff = 0 (a_eff = -0.5, S_eq = sqrt(1/12),
amplitude healing length xi = sqrt(K_r/(2|a_eff|)) = 1 = dx), dt = 0.05 (Euler stable below
2 dx^2/(12 Gamma K) = 0.17; dt = 0.0125 gives the same c within 0.3 %). Full: 48^3,
R0 = 12 (pair: 96 x 2 x 48, d0 = 24); quick: 24^3, R0 = 6 (pair: 48 x 2 x 24, d0 = 12). The
core is resolved by about one grid spacing.
Expected and tolerances:
- c from R_mean^2(t) (linear fit while R > 2 xi): 2 Gamma_r K_r + c_p/4 within xi/R_gm
  relative (R_gm the geometric mean radius of the fit window; the splitting into drift
  and pair motion neglects terms of first order in xi/R);
- R_length / R_mean within 0.1 of 1: the vertex positions are edge midpoints of a lattice
  staircase, whose polygon is exact along axes and diagonals and longer in between by at
  most a few per cent;
- R_curv is reported, not checked: the Frenet curvature of a staircase polygon zig-zags;
- the loop is one line with is_loop true at every snapshot until it vanishes; the
  runner's tracker then reports exactly one event, and DisclinationEvent.track between the
  last two scans calls it an annihilation.
Run time: quick about 5 s; full about 20 s (one core).
"""

import glob
import math
import os
import tempfile
import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common


def loop_field(n, dx, r0, s):
    x = (np.arange(n) - n / 2 + 0.25) * dx
    z = (np.arange(n) - n / 2 + 0.5) * dx
    xx, yy, zz = np.meshgrid(x, x, z, indexing="ij")
    rho = np.hypot(xx, yy)
    a = 0.5 * (np.arctan2(zz, rho - r0) - np.arctan2(zz, rho + r0))
    nvec = np.stack([np.cos(a), np.sin(a), np.zeros_like(a)], axis=-1)
    comps = [s * (nvec[..., 0] ** 2 - 1 / 3), s * nvec[..., 0] * nvec[..., 1],
             0 * a, s * (nvec[..., 1] ** 2 - 1 / 3), 0 * a]
    q = np.stack(comps, axis=-1)
    return lodestra.QField3D.from_numpy(q.reshape(-1, 5), n, n, n, dx)


def straight_pair(nx, nz, d0, p, s):
    """c_p of d^2 = d0^2 - c_p t for a straight twist pair along y, images corrected."""
    ny, dx = 2, p.dx
    x = (np.arange(nx) + 0.25) * dx
    z = (np.arange(nz) + 0.5) * dx
    xx = x[:, None, None] * np.ones((1, ny, 1))
    zz = z[None, None, :] * np.ones((nx, ny, 1))
    x1, x2, z0 = nx * dx / 2 - d0 / 2, nx * dx / 2 + d0 / 2, nz * dx / 2
    a = 0.5 * (np.arctan2(zz - z0, xx - x1) - np.arctan2(zz - z0, xx - x2))
    nv = np.stack([np.cos(a), np.sin(a), 0 * a], axis=-1)
    q = np.stack([s * (nv[..., 0] ** 2 - 1 / 3), s * nv[..., 0] * nv[..., 1], 0 * a,
                  s * (nv[..., 1] ** 2 - 1 / 3), 0 * a], axis=-1)
    field = lodestra.QField3D.from_numpy(q.reshape(-1, 5), nx, ny, nz, dx)
    pp = _common.params_3d(nx=nx, ny=ny, nz=nz, dx=dx, dt=p.dt, zeta_eff=0.0)
    every = 10
    steps = int(round(0.2 * d0 * d0 / (p.dt * p.gamma_r * p.k_r)))
    t, d = [], []
    with tempfile.TemporaryDirectory() as tmp:
        _, stats = lodestra.run_ridi_3d(field, pp, steps, every, tmp, False)
        for k, f in enumerate(sorted(glob.glob(os.path.join(tmp, "q_*.npy")))):
            lines = lodestra.DisclinationLine.scan(
                lodestra.QField3D.from_numpy(np.load(f).reshape(-1, 5), nx, ny, nz, dx))
            if len(lines) != 2:
                break
            xs = sorted(float(line.vertices[:, 0].mean()) for line in lines)
            t.append(stats[k].time)
            d.append(xs[1] - xs[0])
    t, d = np.array(t), np.array(d)
    box = nx * dx
    big_d2 = -2 * (box / np.pi) ** 2 * np.log(np.cos(np.pi * d / box))
    win = big_d2 > (2 * 2.0) ** 2
    return float(-np.polyfit(t[win], big_d2[win], 1)[0]), t, np.sqrt(big_d2)


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("05_loop_shrink", "Shrinking disclination loop: R^2 = R0^2 - c t", quick)
    plt = _common.pyplot()
    n, r0 = (24, 6.0) if quick else (48, 12.0)
    dx, dt = 1.0, 0.05
    p = _common.params_3d(nx=n, ny=n, nz=n, dx=dx, dt=dt, zeta_eff=0.0)
    s_eq = math.sqrt(1.5 * (-p.a_eff() / (2 * p.c_landau)))
    xi = math.sqrt(p.k_r / (2 * abs(p.a_eff())))
    c_drift = 2 * p.gamma_r * p.k_r
    c_p, tp, dp = straight_pair(int(8 * r0), int(4 * r0), 2 * r0, p, s_eq)
    c_exp = c_drift + c_p / 4
    t_end = 1.3 * r0 * r0 / c_exp
    every = max(1, int(round(t_end / dt / 40)))
    steps = every * 40
    q0 = loop_field(n, dx, r0, s_eq)
    with tempfile.TemporaryDirectory() as tmp:
        _, stats = lodestra.run_ridi_3d(q0, p, steps, every, tmp, True)
        files = sorted(glob.glob(os.path.join(tmp, "q_*.npy")))
        scans = [lodestra.DisclinationLine.scan(
            lodestra.QField3D.from_numpy(np.load(f).reshape(-1, 5), n, n, n, dx)) for f in files]
    times = np.array([s.time for s in stats])
    n_lines = np.array([s.n_disclination_lines for s in stats])
    alive = n_lines > 0
    last = int(np.nonzero(alive)[0][-1]) if alive.any() else -1
    one_loop = all(len(scans[k]) == 1 and scans[k][0].is_loop for k in range(last + 1))
    rep.truth("one closed line until it vanishes", one_loop and last >= 3,
              f"1 loop in snapshots 0..{last}, lines per snapshot {n_lines[:last + 2].tolist()}")
    gone = last + 1 < len(stats) and (n_lines[last + 1:] == 0).all()
    rep.truth("the loop vanishes", gone, f"no line from t = {times[min(last + 1, len(times) - 1)]:g}")
    events = [int(s.n_events) for s in stats]
    rep.truth("the runner's tracker reports exactly one event", sum(events) == 1
              and events[last + 1 if gone else -1] == 1, f"events per snapshot {events}")
    if gone:
        kinds = [e.kind for e in lodestra.DisclinationEvent.track(scans[last], scans[last + 1],
                                                                  last + 1, dx)]
        rep.truth("the event is an annihilation", kinds == ["annihilation"], f"kinds {kinds}")

    r_len, r_curv, r_mean = [], [], []
    for k in range(last + 1):
        line = scans[k][0]
        v = line.vertices
        r_len.append(line.length() / (2 * np.pi))
        r_curv.append(1 / line.mean_curvature() if line.mean_curvature() > 0 else np.nan)
        r_mean.append(float(np.mean(np.linalg.norm(v - v.mean(axis=0), axis=1))))
    tl = times[:last + 1]
    r_len, r_curv, r_mean = map(np.array, (r_len, r_curv, r_mean))
    win = r_mean > 2 * xi
    slope, icpt = np.polyfit(tl[win], r_mean[win] ** 2, 1)
    r_gm = math.sqrt(r_mean[win].min() * r_mean[win].max())
    rep.check("c from R_mean^2(t) against 2 Gamma K + c_p/4", -slope, c_exp, xi / r_gm,
              relative=True)
    ratio = float(np.median(r_len[win] / r_mean[win]))
    rep.check("R_length / R_mean (median)", ratio, 1.0, 0.1)
    s_len = np.polyfit(tl[win], r_len[win] ** 2, 1)[0]
    s_curv = np.polyfit(tl[win], r_curv[win] ** 2, 1)[0]
    rep.note(f"straight pair c_p = {c_p:.3f}; drift part 2 Gamma K = {c_drift:g}, pair part "
             f"c_p/4 = {c_p / 4:.3f}")
    rep.note(f"c from R_length^2: {-s_len:.3f}; from R_curv^2: {-s_curv:.3f}; "
             f"median R_curv/R_mean {np.nanmedian(r_curv[win] / r_mean[win]):.3f}; "
             f"R0 fitted {math.sqrt(max(icpt, 0)):.2f} (set {r0:g})")

    fig = plt.figure(figsize=(12, 4.4))
    ax3 = fig.add_subplot(1, 2, 1, projection="3d")
    cmap = plt.get_cmap("viridis")
    for k in range(0, last + 1, max(1, (last + 1) // 6)):
        v = scans[k][0].vertices
        v = np.vstack([v, v[:1]])
        ax3.plot(v[:, 0], v[:, 1], v[:, 2], color=cmap(k / max(last, 1)), lw=1,
                 label=f"t = {times[k]:.1f}")
    ax3.set_title(f"loop on {n}^3 (R0 = {r0:g})")
    ax3.legend(fontsize=7, loc="upper left")
    ax = fig.add_subplot(1, 2, 2)
    ax.plot(tl, r_mean ** 2, "o", ms=3, color="#ff5a36", label="R_mean^2 (vertices)")
    ax.plot(tl, r_len ** 2, "s", ms=3, mfc="none", color="#3672ff", label="R_length^2")
    ax.plot(tl, r_curv ** 2, "^", ms=3, mfc="none", color="#2a9d50", label="R_curv^2")
    tt = np.linspace(0, times[min(last + 1, len(times) - 1)], 50)
    ax.plot(tt, icpt + slope * tt, color="black", lw=1, label=f"fit, c = {-slope:.3f}")
    ax.plot(tt, icpt - c_exp * tt, "--", color="gray", lw=1,
            label=f"2 Gamma K + c_p/4 = {c_exp:.3f}")
    ax.plot(tt, icpt - c_drift * tt, ":", color="black", lw=1,
            label=f"drift alone, 2 Gamma K = {c_drift:g}")
    ax.set_ylim(bottom=0)
    ax.set_xlabel("t")
    ax.set_ylabel("R^2")
    ax.set_title("radius squared against time")
    ax.legend(fontsize=8)
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
