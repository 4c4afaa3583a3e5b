"""Self-propulsion of a +1/2 defect on a frictional substrate (2D with flow).

Physics. The active force f = zeta div Q of a +1/2 defect does not vanish at its core: for
the director angle theta = phi/2 (Q = q0 (x/r, y/r)) div Q = q0 (1/r, 0) points along the
defect's axis, to the side where the director is radial (the comet's tail in Q). The flow it
drives carries the defect along that axis, so a +1/2 defect swims; the three-fold symmetric
-1/2 defect has no net force and does not (Giomi, Bowick, Mishra, Sknepnek, Marchetti 2014).
With substrate friction Gamma_f the flow is screened beyond l_f = sqrt(eta/Gamma_f), so the
speed is finite and, at small activity, linear in zeta: v = c zeta + O(zeta^2). With
zeta > 0 the stress +zeta Q is contractile for Q's director, and the defect moves towards
the tail of the comet drawn from Q (an extensile +1/2 defect of the rods, -Q, moves towards
its head: the same motion, see the model-extensions page).
Setup: on a periodic L^2 box (dx = 1, dt = 0.05, a_eff = -0.5 at every zeta by a_landau =
-0.5 + zeta/2, Gamma_f = 0.05, no flow alignment, no noise) a +1/2 defect at (L/4, L/2) with
its tail pointing away from a -1/2 defect at (3L/4, L/2) (director angle from the
periodic image sum of both defects). The uniform state is stable up to zeta_c =
Gamma_r K Gamma_f / q0 = 0.21, so every zeta used (<= 0.16) leaves the far field ordered.
The passive motion (the pair's elastic attraction) is removed by subtracting the run at
zeta = 0: the active velocity of a defect is its velocity at zeta minus that at zeta = 0.
Positions: the holonomy scan's plaquette, refined to the centroid of the order-parameter
deficit in a 7 x 7 window; velocities from a straight-line fit over the second half.
Expected and tolerances: the +1/2 defect moves along its tail direction (positive
projection, and its transverse velocity below 5 % of it); linear at small zeta: v/zeta of
the two smallest activities agree within 10 % (the defects move by a few grid spacings at
the smallest activity, so the lattice's pinning of the core and the refined positions leave
a few per cent; the O(zeta) correction is smaller still there). The -1/2 defect has no
self-propulsion, but it is not at rest either: the +1/2 defect's texture carries an active
force density ~ zeta q0 / r far from its core, whose screened flow advects the -1/2 defect;
its active speed is checked below 35 % of the +1/2 defect's (measured 10 - 30 %), where
self-propulsion of its own would be of the same order as the +1/2 defect's.
Run time: quick (48^2, T = 60, 3 activities) about 2 s; full (96^2, T = 150, 5) about 11 s.
"""

import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common

FRICTION, DT = 0.05, 0.05


def pair_field(n, q0):
    """Q of a +1/2 defect at (n/4, n/2), tail along -x, and a -1/2 defect at (3n/4, n/2)."""
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    theta = np.zeros((n, n))
    for a in range(-3, 4):
        for b in range(-3, 4):
            for (x0, y0), s in (((n / 4, n / 2), 0.5), ((3 * n / 4, n / 2), -0.5)):
                theta += s * np.arctan2(j - y0 - b * n, i - x0 - a * n)
    q = q0 * np.stack([np.cos(2 * theta), np.sin(2 * theta)], axis=-1)
    return lodestra.QField2D.from_numpy(q.reshape(-1, 2), n, n, 1.0)


def refine(s, i, j, n):
    """Centroid of the order-parameter deficit around plaquette (i, j), in grid units."""
    offs = np.arange(-3, 4)
    w = np.array([[max(s.max() - s[(i + a) % n, (j + b) % n], 0.0) ** 4 for b in offs]
                  for a in offs])
    return i + (w.sum(axis=1) @ offs) / w.sum(), j + (w.sum(axis=0) @ offs) / w.sum()


def unwrap(points, n):
    """A track of positions on the periodic box made continuous."""
    pts = np.array(points, dtype=float).reshape(-1, 2)
    steps = np.diff(pts, axis=0)
    steps -= n * np.round(steps / n)
    return np.vstack([pts[:1], pts[:1] + np.cumsum(steps, axis=0)])


def track(n, zeta, t_end, chunks=30):
    """Times and unwrapped positions of the +1/2 and -1/2 defects."""
    a_eff = -0.5
    p = _common.params_2d(nx=n, ny=n, dx=1.0, dt=DT, zeta_eff=zeta, a_landau=a_eff + zeta / 2)
    q0 = np.sqrt(-a_eff / (2 * p.c_landau))
    sim = lodestra.Simulation("hydro", pair_field(n, q0), p, friction=FRICTION)
    steps = int(round(t_end / (chunks * DT)))
    times, plus, minus = [], [], []
    for _ in range(chunks):
        sim.run(steps, steps)
        q = sim.q
        s = q.order_param().reshape(n, n)
        found = {1: [], -1: []}
        for d in lodestra.scan_defects(q):
            found[d.charge_sign].append(refine(s, d.plaquette[0], d.plaquette[1], n))
        if len(found[1]) != 1 or len(found[-1]) != 1:
            break
        times.append(sim.time)
        plus.append(found[1][0])
        minus.append(found[-1][0])
    return np.array(times), unwrap(plus, n), unwrap(minus, n)


def velocity(t, x):
    """Straight-line fit over t in [T/10, T/2]: the cores have formed (~1 time unit) and the
    separation of the pair still differs little from that of the passive run."""
    window = (t >= t[-1] / 10) & (t <= t[-1] / 2)
    return np.array([np.polyfit(t[window], x[window, c], 1)[0] for c in range(2)])


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("09_defect_propulsion",
                         "Self-propulsion of a +1/2 defect with substrate friction", quick)
    plt = _common.pyplot()
    n, t_end, zetas = (48, 60.0, [0.02, 0.04, 0.08]) if quick else \
        (96, 150.0, [0.01, 0.02, 0.04, 0.08, 0.16])
    base = track(n, 0.0, t_end)
    rows = []
    for z in zetas:
        t, xp, xm = track(n, z, t_end)
        m = min(len(t), len(base[0]))
        if m < 6:
            rep.truth(f"zeta={z:g}: both defects tracked", False, f"{m} readings")
            continue
        vp = velocity(t[:m], xp[:m]) - velocity(base[0][:m], base[1][:m])
        vm = velocity(t[:m], xm[:m]) - velocity(base[0][:m], base[2][:m])
        rows.append((z, vp, vm, t[:m], xp[:m], xm[:m]))
    for z, vp, vm, *_ in rows:
        rep.truth(f"zeta={z:g}: +1/2 moves towards its tail (-x in Q's comet)",
                  vp[0] < 0 and abs(vp[1]) < 0.05 * abs(vp[0]),
                  f"active velocity ({vp[0]:.3e}, {vp[1]:.3e})")
        rep.bound(f"zeta={z:g}: |v(-1/2)| / |v(+1/2)|",
                  float(np.hypot(*vm) / np.hypot(*vp)), 0.35)
    speeds = np.array([np.hypot(*r[1]) for r in rows])
    zs = np.array([r[0] for r in rows])
    if len(rows) >= 2:
        rep.check("v/zeta of the two smallest activities, ratio", float(
            (speeds[1] / zs[1]) / (speeds[0] / zs[0])), 1.0, 0.1)
    rep.note("active speed of +1/2: " + ", ".join(f"zeta {z:g}: {v:.4e} (v/zeta {v / z:.4f})"
                                                  for z, v in zip(zs, speeds)))

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    cmap = plt.get_cmap("viridis")
    for k, (z, vp, vm, t, xp, xm) in enumerate(rows):
        c = cmap(k / max(1, len(rows) - 1))
        axes[0].plot(t, xp[:, 0] - xp[0, 0], color=c, lw=1, label=f"+1/2, zeta = {z:g}")
        axes[0].plot(t, xm[:, 0] - xm[0, 0], "--", color=c, lw=1)
    axes[0].plot(base[0], base[1][:, 0] - base[1][0, 0], color="gray", lw=1, label="zeta = 0")
    axes[0].set_xlabel("t")
    axes[0].set_ylabel("x - x(0) (dashed: -1/2)")
    axes[0].set_title(f"defect positions along the axis ({n}^2, Gamma_f = {FRICTION:g})",
                      fontsize=9)
    axes[0].legend(fontsize=7)
    if len(rows):
        zz = np.linspace(0, zs.max() * 1.05, 20)
        axes[1].plot(zs, speeds, "o", color="#ff5a36", label="+1/2 (active part)")
        axes[1].plot(zs, [np.hypot(*r[2]) for r in rows], "^", color="#36c5ff",
                     label="-1/2 (active part)")
        axes[1].plot(zz, zz * speeds[0] / zs[0], ":", color="black", label="linear")
    axes[1].set_xlabel("zeta_eff")
    axes[1].set_ylabel("speed")
    axes[1].set_title("self-propulsion speed against activity", fontsize=9)
    axes[1].legend(fontsize=7)
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
