"""Landau equilibrium and the relaxation curve of a uniform nematic, 2D and 3D.

Physics. A uniform field has no gradients, so only the Landau terms act.
2D (dry driver, RK4): dq/dt = Gamma_r (-2 a_eff q - 4 c |q|^2 q), hence x = |q|^2 obeys the
logistic equation dx/dt = r x (1 - x/x*) with r = -4 Gamma_r a_eff and x* = -a_eff/(2c):
    x(t) = x* x0 / (x0 + (x* - x0) exp(-r t)).
3D (dry runner, explicit Euler): dQ/dt = Gamma_r (-a_eff Q - 2 c tr(Q^2) Q), hence
y = tr(Q^2) obeys dy/dt = r3 y (1 - y/y*) with r3 = -2 Gamma_r a_eff, y* = -a_eff/(2c); the
Euler map is exactly y_{n+1} = y_n (1 + dt Gamma_r (-a_eff - 2 c y_n))^2.
For the test sets (a_eff = -1.5, c = 4.5): x* = y* = 1/6, so |q| = sqrt(1/6) in 2D and
S = 0.5 in 3D (tr Q^2 = 2 S^2 / 3 for a uniaxial Q).

Expected (analytic, above) and tolerances:
- equilibrium |q|^2 and tr(Q^2) after t = 20 (exp(-r t) < 1e-26): 1/6 within 1e-12
  (rounding of a few hundred operations on numbers of order 1);
- 2D trajectory against the exact logistic curve at dt = 0.01: largest error below 1e-7,
  the size of the leading RK4 global error term (r dt)^4 x*/24 = 9e-8 (r dt = 0.06);
- RK4 order: observed order log2(e(dt)/e(dt/2)) at t = 1 for dt = 0.04, 0.02, 0.01 is 4
  within 0.25 (the next term of the error expansion changes the ratio by O(r dt) <= 0.24);
- 3D: the runner reproduces the exact Euler map within 1e-12 relative (rounding), and its
  error against the continuum curve falls at order 1 within 0.1 (correction O(r3 dt) = 0.03
  at dt = 0.01).
Run time: quick about 1 s, full about 3 s (a uniform field needs only a tiny grid; full
mode samples the curves more densely).
"""

import math
import tempfile
import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common


def logistic(t, x0, rate, x_eq):
    return x_eq * x0 / (x0 + (x_eq - x0) * np.exp(-rate * t))


def run_2d(p, q0, t_end, snap_every):
    """|q|^2 at every snapshot of a uniform 4x4 field relaxing from (q0, 0)."""
    n = int(round(t_end / p.dt))
    field = lodestra.QField2D.uniform(4, 4, p.dx, q0, 0.0)
    final, stats = lodestra.run_ridi_component1(field, p, n, snap_every)
    times = np.array([s.time for s in stats])
    x = np.array([(s.mean_s / 2.0) ** 2 for s in stats])
    q = final.to_numpy()
    return times, x, float(q[0, 0] ** 2 + q[0, 1] ** 2)


def uniaxial(s, n):
    """The five stored components of s (n n - I/3) for a unit vector n."""
    full = s * (np.outer(n, n) - np.eye(3) / 3.0)
    return [full[0, 0], full[0, 1], full[0, 2], full[1, 1], full[1, 2]]


def tr_q2(c):
    q11, q12, q13, q22, q23 = c
    return (q11 * q11 + q22 * q22 + (q11 + q22) ** 2) + 2 * ((q12 * q12 + q13 * q13) + q23 * q23)


def run_3d(p, s0, n_steps, snap_every):
    """tr(Q^2) after every snap_every steps of a uniform 2x2x2 uniaxial field."""
    director = np.array([1.0, 2.0, 2.0]) / 3.0
    field = lodestra.QField3D.uniform(2, 2, 2, p.dx, *uniaxial(s0, director))
    with tempfile.TemporaryDirectory() as tmp:
        final, stats = lodestra.run_ridi_3d(field, p, n_steps, snap_every, tmp, False)
    times = np.array([s.time for s in stats])
    y = np.array([(2.0 / 3.0) * s.mean_s ** 2 for s in stats])
    return times, y, tr_q2(final.q.reshape(-1, 5)[0]), stats[-1].mean_s


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("01_landau", "Landau equilibrium and logistic relaxation, 2D and 3D",
                         quick)
    plt = _common.pyplot()

    # 2D: trajectory, equilibrium, RK4 order.
    p2 = lodestra.RidiParams.default_test()
    a_eff, c, gamma = p2.a_eff(), p2.c_landau, p2.gamma_r
    x_eq, rate = -a_eff / (2 * c), -4 * gamma * a_eff
    q0 = 0.01
    t2, x2, x_final = run_2d(p2, q0, 20.0, 10 if quick else 2)
    exact = logistic(t2, q0 * q0, rate, x_eq)
    rep.check("2D |q|^2 at t = 20", x_final, x_eq, 1e-12)
    rep.bound("2D max |x - logistic| (dt = 0.01)", float(np.max(np.abs(x2 - exact))), 1e-7)
    dts = [0.04, 0.02, 0.01]
    errors = []
    for dt in dts:
        p2.dt = dt
        _, _, xe = run_2d(p2, q0, 1.0, 10 ** 6)
        errors.append(abs(xe - logistic(1.0, q0 * q0, rate, x_eq)))
    orders = [math.log2(errors[k] / errors[k + 1]) for k in range(len(dts) - 1)]
    for k, order in enumerate(orders):
        rep.check(f"RK4 order, dt {dts[k]} -> {dts[k + 1]}", order, 4.0, 0.25)

    # 3D: equilibrium S = 0.5, exact Euler map, order 1 against the continuum curve.
    p3 = lodestra.RidiParams3D.default_test()
    a3, c3, g3, dt3 = p3.a_eff(), p3.c_landau, p3.gamma_r, p3.dt
    y_eq, rate3 = -a3 / (2 * c3), -2 * g3 * a3
    s0 = 0.02
    n3 = int(round(20.0 / dt3))
    t3, y3, y_final, s_final = run_3d(p3, s0, n3, 10 if quick else 5)
    rep.check("3D tr(Q^2) at t = 20", y_final, y_eq, 1e-12)
    rep.check("3D mean S at t = 20", s_final, 0.5, 1e-12)
    y = tr_q2(uniaxial(s0, np.array([1.0, 2.0, 2.0]) / 3.0))
    y0 = y
    euler = []
    for _ in range(n3):
        y = y * (1 + dt3 * g3 * (-a3 - 2 * c3 * y)) ** 2
        euler.append(y)
    euler = np.array(euler)[np.round(t3 / dt3).astype(int) - 1]
    rep.bound("3D max relative |y - Euler map|", float(np.max(np.abs(y3 - euler) / euler)), 1e-12)
    errors3 = []
    for dt in (0.02, 0.01):
        p3.dt = dt
        n = int(round(2.0 / dt))
        _, _, ye, _ = run_3d(p3, s0, n, n)
        errors3.append(abs(ye - logistic(2.0, y0, rate3, y_eq)))
    order3 = math.log2(errors3[0] / errors3[1])
    rep.check("3D Euler order, dt 0.02 -> 0.01", order3, 1.0, 0.1)

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.2))
    tt = np.linspace(0, 6, 400)
    ax1.plot(tt, logistic(tt, q0 * q0, rate, x_eq), color="black", lw=1, label="2D exact logistic")
    keep = t2 <= 6
    ax1.plot(t2[keep], x2[keep], "o", ms=3, color="#ff5a36", label="2D |q|^2 (RK4)")
    ax1.plot(tt, logistic(tt, y0, rate3, y_eq), "--", color="gray", lw=1,
             label="3D continuum logistic")
    keep = t3 <= 6
    ax1.plot(t3[keep], y3[keep], "s", ms=3, mfc="none", color="#3672ff", label="3D tr Q^2 (Euler)")
    ax1.axhline(x_eq, color="black", ls=":", lw=0.8)
    ax1.set_xlabel("t")
    ax1.set_ylabel("|q|^2, tr Q^2")
    ax1.set_title("relaxation to -a_eff/(2c) = 1/6")
    ax1.legend(fontsize=8)
    ax2.loglog(dts, errors, "o-", color="#ff5a36", label=f"RK4 2D, order {orders[-1]:.2f}")
    ax2.loglog(dts, errors[-1] * (np.array(dts) / dts[-1]) ** 4, ":", color="black",
               label="slope 4")
    ax2.loglog([0.02, 0.01], errors3, "s-", color="#3672ff", label=f"Euler 3D, order {order3:.2f}")
    ax2.set_xlabel("dt")
    ax2.set_ylabel("error at fixed t")
    ax2.set_title("time-step convergence")
    ax2.legend(fontsize=8)
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
