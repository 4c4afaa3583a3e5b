"""Linear active instability of a uniform nematic with flow (2D, Stokes + Beris-Edwards).

Physics. Linearise the hydrodynamic driver about the uniform ordered state Q0 = (q0, 0)
(director along x, q0^2 = -a_eff/(2c)). For a perturbation (dq1, dq2) ~ exp(i k.r):
- molecular field (5-point Laplacian, eigenvalue -kappa^2 = -(4/dx^2)(sin^2(kx dx/2) +
  sin^2(ky dx/2))): dH1 = -(K kappa^2 + 4|a_eff|) dq1 (amplitude), dH2 = -K kappa^2 dq2;
- Stokes (exact wavenumbers): psi = zeta (dq2 (ky^2 - kx^2) + 2 kx ky dq1) / (eta k^4),
  u = (d_y psi, -d_x psi); the force is +zeta div Q;
- co-rotation with central-difference velocity gradients (sigma = sin(k dx)/dx):
  S2 = 2 omega q0 = q0 (sigma_x kx + sigma_y ky) psi, S1 = lambda q0 (a + d), the discrete
  divergence (zero for modes along an axis); advection is second order.
So d(dq)/dt = M dq with a 2x2 real matrix M(k), and the Euler driver multiplies each mode by
G = I + dt M per step: the predicted rate is ln(rho(G))/dt. In the continuum limit the
splay mode (k perpendicular to the director) grows at zeta q0/eta - Gamma_r K k^2 and the
bend mode (k along the director) decays at -zeta q0/eta - Gamma_r K k^2: positive zeta_eff
(force +zeta div Q, a contractile stress) destabilises splay. In 2D the flow-alignment
terms of E.Q + Q.E cancel for a traceless Q, so only the vorticity rotates the director.

With substrate friction Gamma_f and flow alignment xi (lodestra.Simulation options): the
Stokes divisor eta k^4 becomes k^2 (eta k^2 + Gamma_f), and S gains xi E - 2 xi Q (Q:E), whose
linear part about Q0 is dS1 = xi (1 - 4 q0^2) E11, dS2 = xi E12 (central-difference E). In the
continuum the splay rate becomes k^2 (zeta (q0 - xi/2) / (eta k^2 + Gamma_f) - Gamma_r K): the
ordered state is stable below zeta_c = Gamma_r K Gamma_f / (q0 - xi/2) (Gamma_r K Gamma_f / q0
without alignment), on a box of side L below Gamma_r K (eta (2 pi/L)^2 + Gamma_f) / (q0 - xi/2)
for its longest splay mode. Third panel: Gamma_f = 0.1, xi = -0.7, zeta = 2, every mode
against the discrete linear rate; the threshold: at fixed a_eff = -0.5 (a_landau = -0.5 +
zeta/2) the longest splay mode decays at 0.8 zeta_c(L) and grows at 1.25 zeta_c(L), and the
zero of its measured rate (linear in zeta at fixed a_eff, interpolated between the two) lies
within 1 % of the discrete threshold (rates there are ~1e-3, measured over the whole run).
Expected: every mode's measured rate equals the linearised discrete rate within 1 % (a wide
bound on purpose: the true deviations are nonlinear terms O(eps^2) with eps = 1e-8 and the
decay of the subdominant eigenvector, both far smaller). Modes with |rate| < 0.05 are shown
but not checked (a relative error of a rate near zero is meaningless). The signs are
checked: splay unstable and bend stable for zeta = 2; every mode stable for zeta = 0.
Measurement: each mode runs alone (superposed modes would feed each other through the
nonlinear terms, which outgrows a decaying mode next to growing ones); its Fourier
coefficient is read every T/10 and the rate taken from T/5 (the subdominant eigenvector
of an oblique mode has decayed by then) to the last reading at which the mode is still
1e7 times above rounding. Test set of RidiParams.default_test() (K = 1, Gamma = 1, eta = 1,
lambda = 0.7, dt = 0.01).
Run time: quick (32^2, T = 8) about 3 s; full (64^2, T = 15) about 15 s.
"""

import time

import numpy as np

import lodestra

try:
    from . import _common
except ImportError:
    import _common


def linear_matrix(p, q0, kx, ky, dx, discrete=True, friction=0.0, flow_alignment=0.0):
    """M(k) of d(dq1, dq2)/dt = M (dq1, dq2) about Q0 = (q0, 0)."""
    a_eff = p.a_eff()
    if discrete:
        kap2 = (4 / dx ** 2) * (np.sin(kx * dx / 2) ** 2 + np.sin(ky * dx / 2) ** 2)
        sx, sy = np.sin(kx * dx) / dx, np.sin(ky * dx) / dx
    else:
        kap2, sx, sy = kx * kx + ky * ky, kx, ky
    k2 = kx * kx + ky * ky
    c1 = p.zeta_eff * 2 * kx * ky / (k2 * (p.eta * k2 + friction))
    c2 = p.zeta_eff * (ky * ky - kx * kx) / (k2 * (p.eta * k2 + friction))
    # psi -> the central-difference strain of u = (d_y psi, -d_x psi): E11 = (a - d)/2 and
    # E12 = (j + k)/2 per unit psi; flow alignment adds xi (1 - 4 q0^2) E11 and xi E12.
    xi = flow_alignment
    div = p.lambda_ * q0 * (sy * kx - sx * ky) + xi * (1 - 4 * q0 * q0) * -(sx * ky + sy * kx) / 2
    rot = q0 * (sx * kx + sy * ky) + xi * (sx * kx - sy * ky) / 2
    return np.array([[-p.gamma_r * (p.k_r * kap2 - 4 * a_eff) + div * c1, div * c2],
                     [rot * c1, -p.gamma_r * p.k_r * kap2 + rot * c2]])


def predicted_rate(p, q0, kx, ky, dx, **options):
    g = np.eye(2) + p.dt * linear_matrix(p, q0, kx, ky, dx, **options)
    return float(np.log(np.max(np.abs(np.linalg.eigvals(g)))) / p.dt)


def continuum_rate(p, q0, kx, ky, **options):
    return float(np.max(np.linalg.eigvals(linear_matrix(p, q0, kx, ky, 1.0, False,
                                                        **options)).real))


def mode_list(n, quick):
    top = 4 if quick else 8
    modes = [("splay", 0, m) for m in range(1, top + 1)]
    modes += [("bend", m, 0) for m in range(1, top + 1)]
    modes += [("oblique", m, m) for m in range(1, top // 2 + 1)]
    return modes


def measure(p, n, modes, t_end, eps=1e-8, chunks=10, **options):
    """Rate of each mode, run alone: from t_end/5 (the subdominant eigenvector has decayed)
    to the last tenth of the run at which the mode is still 1e7 above rounding."""
    dx = p.dx
    q0 = np.sqrt(-p.a_eff() / (2 * p.c_landau))
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    steps = int(round(t_end / (chunks * p.dt)))
    out = []
    for kind, mx, my in modes:
        q = np.zeros((n, n, 2))
        q[..., 0] = q0
        q[..., 1] = eps * np.cos(2 * np.pi * (mx * i + my * j) / n)
        field = lodestra.QField2D.from_numpy(q.reshape(-1, 2), n, n, dx)
        amp = []
        sim = lodestra.Simulation("hydro", field, p, **options) if options else None
        for _ in range(chunks):
            if sim is None:
                field, _ = lodestra.run_ridi_component1_hydro(field, p, steps, steps)
            else:
                sim.run(steps, steps)
                field = sim.q
            a = field.to_numpy().reshape(n, n, 2).copy()
            a[..., 0] -= q0
            f1, f2 = np.fft.fft2(a[..., 0]), np.fft.fft2(a[..., 1])
            amp.append(np.hypot(abs(f1[mx % n, my % n]), abs(f2[mx % n, my % n])))
        amp = np.array(amp) / (eps * n * n / 2)
        last = max(k for k in range(chunks) if amp[k] > 1e-7)
        first = 1 if last > 1 else 0
        rate = float(np.log(amp[last] / amp[first]) / ((last - first) * steps * p.dt))
        kx, ky = 2 * np.pi * mx / (n * dx), 2 * np.pi * my / (n * dx)
        out.append((kind, mx, my, float(np.hypot(kx, ky)), rate,
                    predicted_rate(p, q0, kx, ky, dx, **options),
                    continuum_rate(p, q0, kx, ky, **options)))
    return out, q0


def threshold(rep, ax, n, t_end, options, a_eff=-0.5):
    """The longest splay mode on both sides of the friction threshold, at fixed a_eff."""
    gf, xi = options["friction"], options["flow_alignment"]
    base = _common.params_2d(nx=n, ny=n)
    q0 = np.sqrt(-a_eff / (2 * base.c_landau))
    k = 2 * np.pi / (n * base.dx)
    zc_box = base.gamma_r * base.k_r * (base.eta * k * k + gf) / (q0 - xi / 2)
    zc_inf = base.gamma_r * base.k_r * gf / (q0 - xi / 2)

    def params(z):
        return _common.params_2d(nx=n, ny=n, zeta_eff=z, a_landau=a_eff + z / 2)

    # The discrete threshold: the predicted rate is linear in zeta at fixed a_eff.
    r_lo, r_hi = (predicted_rate(params(z), q0, 0.0, k, base.dx, **options)
                  for z in (0.5 * zc_box, 1.5 * zc_box))
    zc_disc = 0.5 * zc_box - r_lo * zc_box / (r_hi - r_lo)
    zetas = (0.8 * zc_disc, 1.25 * zc_disc)
    rates = [measure(params(z), n, [("splay", 0, 1)], 3 * t_end, **options)[0][0][4]
             for z in zetas]
    rep.truth("below zeta_c the longest splay mode decays", rates[0] < 0,
              f"rate {rates[0]:.3e} at zeta = {zetas[0]:.4f}")
    rep.truth("above zeta_c the longest splay mode grows", rates[1] > 0,
              f"rate {rates[1]:.3e} at zeta = {zetas[1]:.4f}")
    measured = zetas[0] - rates[0] * (zetas[1] - zetas[0]) / (rates[1] - rates[0])
    rep.check("zeta_c of the longest splay mode (Gamma_f=0.1 xi=-0.7)", measured, zc_disc, 0.01,
              relative=True)
    rep.note(f"zeta_c: discrete {zc_disc:.4f}, continuum on the box Gamma_r K (eta k_min^2 + "
             f"Gamma_f)/(q0 - xi/2) = {zc_box:.4f}, infinite box Gamma_r K Gamma_f/(q0 - xi/2)"
             f" = {zc_inf:.4f}")
    zz = np.linspace(0, 2 * zc_disc, 50)
    ax.plot(zz, [predicted_rate(params(z), q0, 0.0, k, base.dx, **options) for z in zz],
            color="#ff5a36", lw=1, label="discrete linear")
    ax.plot(zetas, rates, "o", mfc="none", color="#ff5a36", label="measured")
    ax.axvline(zc_box, color="gray", ls=":", lw=0.8, label="Gamma_r K (eta k^2 + Gamma_f)/(q0 - xi/2)")
    ax.axhline(0, color="black", lw=0.6)
    ax.set_xlabel("zeta_eff (a_eff = -0.5)")
    ax.set_ylabel("rate of the longest splay mode")
    ax.set_title(f"threshold with Gamma_f = {gf:g}, xi = {xi:g} ({n}^2)", fontsize=9)
    ax.legend(fontsize=7)


def main(quick=False, out_dir=None):
    start = time.perf_counter()
    rep = _common.Report("03_active_instability",
                         "Linear active instability: growth rates of single modes", quick)
    plt = _common.pyplot()
    n, t_end = (32, 8.0) if quick else (64, 15.0)
    fig, axes = plt.subplots(1, 4, figsize=(21, 4.2))
    colours = {"splay": "#ff5a36", "bend": "#3672ff", "oblique": "#2a9d50"}
    with_options = {"friction": 0.1, "flow_alignment": -0.7}
    for ax, zeta, options in zip(axes, (2.0, 0.0, 2.0), ({}, {}, with_options)):
        p = _common.params_2d(nx=n, ny=n, zeta_eff=zeta)
        rows, q0 = measure(p, n, mode_list(n, quick), t_end, **options)
        label = "" if not options else " Gamma_f=0.1 xi=-0.7"
        for kind, mx, my, k, rate, pred, _ in rows:
            if abs(pred) >= 0.05:
                rep.check(f"zeta={zeta:g}{label} {kind} ({mx},{my}) rate", rate, pred, 0.01,
                          relative=True)
        splay = [r for r in rows if r[0] == "splay"]
        bend = [r for r in rows if r[0] == "bend"]
        if zeta > 0:
            rep.truth(f"zeta={zeta:g}{label}: longest splay mode grows", splay[0][4] > 0,
                      f"rate {splay[0][4]:.4f}")
            if not options:
                rep.truth(f"zeta={zeta:g}: every bend mode decays",
                          all(r[4] < 0 for r in bend),
                          f"largest bend rate {max(r[4] for r in bend):.4f}")
        else:
            rep.truth("zeta=0: every mode decays", all(r[4] < 0 for r in rows),
                      f"largest rate {max(r[4] for r in rows):.4f}")
        kk = np.linspace(2 * np.pi / (n * p.dx), max(r[3] for r in rows) * 1.05, 200)
        for kind, colour in colours.items():
            pts = [r for r in rows if r[0] == kind]
            if not pts:
                continue
            unit = {"splay": (0, 1), "bend": (1, 0), "oblique": (2 ** -0.5, 2 ** -0.5)}[kind]
            ax.plot(kk, [predicted_rate(p, q0, k * unit[0], k * unit[1], p.dx, **options)
                         for k in kk], color=colour, lw=1, label=f"{kind}: discrete linear")
            ax.plot(kk, [continuum_rate(p, q0, k * unit[0], k * unit[1], **options)
                         for k in kk], ":", color=colour, lw=1)
            ax.plot([r[3] for r in pts], [r[4] for r in pts], "o", ms=4, mfc="none",
                    color=colour, label=f"{kind}: measured")
        ax.axhline(0, color="black", lw=0.6)
        ax.set_xlabel("|k|")
        ax.set_ylabel("growth rate")
        ax.set_title(f"zeta_eff = {zeta:g}{label} ({n}^2; dotted: continuum)", fontsize=9)
        ax.legend(fontsize=7)
    threshold(rep, axes[3], n, t_end, with_options)
    fig.tight_layout()
    return rep.finish(_common.output_dir(quick, out_dir), fig, time.perf_counter() - start)


if __name__ == "__main__":
    _common.cli(main)
