"""The single 2D operators seen from Python: Stokes solve, CH step, K0 map, defect scan."""

import math

import numpy as np
import pytest

import lodestra
from conftest import defect_field

Q = lodestra.QField2D
PHI = lodestra.ScalarField2D
TWO_PI = 6.283185307179586


def wavenumbers(n, dx):
    m = np.arange(n)
    m = np.where(m > n // 2, m - n, m)
    return m * TWO_PI / (dx * n)


def stokes_reference(q, zeta, eta, nx, ny, dx):
    """The stream-function solve evaluated literally with complex transforms."""
    qxx = np.fft.fft2(q[:, 0].reshape(nx, ny))
    qxy = np.fft.fft2(q[:, 1].reshape(nx, ny))
    kx = wavenumbers(nx, dx)[:, None]
    ky = wavenumbers(ny, dx)[None, :]
    k2 = kx * kx + ky * ky
    with np.errstate(divide="ignore", invalid="ignore"):
        psi = zeta * (qxy * (ky * ky - kx * kx) + qxx * ((kx + kx) * ky)) / (eta * k2 * k2)
    psi[k2 < 1e-14] = 0
    ux = np.fft.ifft2(1j * ky * psi).real
    uy = np.fft.ifft2(-1j * kx * psi).real
    return np.stack([ux.ravel(), uy.ravel()], axis=1)


@pytest.mark.parametrize("nx, ny", [(1, 1), (1, 6), (2, 2), (3, 5), (4, 4), (6, 7), (8, 5)])
def test_stokes_matches_the_literal_spectral_solution(params, nx, ny):
    q = Q.random_perturbation(nx, ny, 0.7, 0.3, 11)
    v = lodestra.stokes_solve(q, params)
    assert (v.nx, v.ny, v.dx) == (nx, ny, 0.7)
    expected = stokes_reference(q.to_numpy(), 2.0, 1.0, nx, ny, 0.7)
    assert np.allclose(v.to_numpy(), expected, rtol=1e-10, atol=1e-12)


def test_stokes_single_mode(params):
    nx, ny, dx, amp = 32, 8, 0.5, 0.01
    k = 2 * math.pi / (nx * dx)
    x = np.repeat(np.arange(nx) * dx, ny)
    q = np.stack([np.zeros(nx * ny), amp * np.cos(k * x)], axis=1)
    v = lodestra.stokes_solve(Q.from_numpy(q, nx, ny, dx), params).to_numpy()
    assert np.abs(v[:, 0]).max() < 1e-15
    assert np.allclose(v[:, 1], -(2.0 * amp / (1.0 * k)) * np.sin(k * x), atol=1e-15)


def test_stokes_scales_with_activity_and_viscosity(params):
    q = Q.random_perturbation(16, 12, 1.0, 0.2, 3)
    base = lodestra.stokes_solve(q, params).to_numpy()
    params.zeta_eff = 4.0
    assert np.allclose(lodestra.stokes_solve(q, params).to_numpy(), 2 * base, rtol=1e-12,
                       atol=1e-16)
    params.zeta_eff = 2.0
    params_eta = lodestra.RidiParams(64, 64, 1.0, 0.01, 1.0, 1.0, 2.0, 2.0, -0.5, 4.5, 0.7, 0.5,
                                     1.0, 5.0)
    assert np.allclose(lodestra.stokes_solve(q, params_eta).to_numpy(), base / 2, rtol=1e-12,
                       atol=1e-16)
    params.zeta_eff = 0.0
    assert (lodestra.stokes_solve(q, params).to_numpy() == 0).all()
    assert np.abs(lodestra.stokes_solve(Q.uniform(6, 6, 1.0, 0.2, 0.1), params)
                  .to_numpy()).max() == 0


def test_stokes_on_degenerate_input(params):
    assert len(lodestra.stokes_solve(Q.zeros(0, 4, 1.0), params).to_numpy()) == 0
    nan_field = Q.from_numpy(np.full((6, 2), math.nan), 2, 3, 1.0)
    assert np.isnan(lodestra.stokes_solve(nan_field, params).to_numpy()).all()


def ch_reference(phi, q_lip, v, p, nx, ny, dx):
    """One ETD1 step evaluated literally (finite-difference terms, complex FFT)."""
    f = phi.reshape(nx, ny)
    qsq = (q_lip[:, 0] ** 2 + q_lip[:, 1] ** 2).reshape(nx, ny)
    mu = f * (f * (p.b_ch * f)) - p.chi_ms * (2 * qsq)
    roll = lambda a, s, ax: np.roll(a, s, axis=ax)  # noqa: E731
    lap = ((((roll(mu, -1, 0) + roll(mu, 1, 0)) + roll(mu, -1, 1)) + roll(mu, 1, 1))
           - 4 * mu) / (dx * dx)
    ux = v[:, 0].reshape(nx, ny)
    uy = v[:, 1].reshape(nx, ny)
    ddx = np.where(ux >= 0, f - roll(f, 1, 0), roll(f, -1, 0) - f)
    ddy = np.where(uy >= 0, f - roll(f, 1, 1), roll(f, -1, 1) - f)
    adv = (ddx / dx) * ux + (ddy / dx) * uy
    n_term = p.m_l * lap - adv
    kx = wavenumbers(nx, dx)[:, None]
    ky = wavenumbers(ny, dx)[None, :]
    k2 = kx**2 + ky**2
    lin = (p.a_ch * k2 + p.kappa_ch * (k2 * k2)) * (-p.m_l)
    z = p.dt * lin
    with np.errstate(divide="ignore", invalid="ignore"):
        phi1 = np.where(np.abs(z) < 1e-10, p.dt * ((z * 0.5 + 1) + z * z / 6),
                        (np.exp(z) - 1) / lin)
    fh = np.fft.fft2(f)
    nh = np.fft.fft2(n_term)
    out = np.where(k2 < 1e-14, fh, fh * np.exp(z) + nh * phi1)
    return np.fft.ifft2(out).real.ravel()


@pytest.mark.parametrize("nx, ny", [(1, 1), (2, 3), (5, 4), (8, 8), (7, 9)])
def test_ch_step_matches_the_literal_step(params, nx, ny):
    params.dt = 0.05
    rng = np.random.default_rng(5)
    phi = rng.uniform(-0.5, 0.5, nx * ny)
    q_lip = rng.uniform(-0.2, 0.2, (nx * ny, 2))
    q_rot = Q.random_perturbation(nx, ny, 0.9, 0.3, 9)
    v = lodestra.stokes_solve(q_rot, params)
    got = lodestra.ch_step_etd(PHI.from_numpy(phi, nx, ny, 0.9), Q.from_numpy(q_lip, nx, ny, 0.9),
                               v, params)
    expected = ch_reference(phi, q_lip, v.to_numpy(), params, nx, ny, 0.9)
    assert np.allclose(got.to_numpy(), expected, rtol=1e-10, atol=1e-13)
    assert got.mean_value() == pytest.approx(phi.mean(), abs=1e-14)


def test_ch_step_keeps_uniform_fields_and_dt_zero(params):
    zeros_v = lodestra.stokes_solve(Q.zeros(6, 4, 1.0), params)
    phi = PHI.uniform(6, 4, 1.0, 0.3)
    out = lodestra.ch_step_etd(phi, Q.zeros(6, 4, 1.0), zeros_v, params)
    assert np.allclose(out.to_numpy(), 0.3, atol=1e-15)
    params.dt = 0.0
    field = PHI.from_numpy(np.linspace(-1, 1, 24), 6, 4, 1.0)
    out = lodestra.ch_step_etd(field, Q.random_perturbation(6, 4, 1.0, 0.2, 1), zeros_v, params)
    assert np.allclose(out.to_numpy(), field.to_numpy(), atol=1e-15)


def test_ch_step_refuses_fields_of_other_grids(params):
    phi = PHI.zeros(4, 4, 1.0)
    v = lodestra.stokes_solve(Q.zeros(4, 4, 1.0), params)
    v_small = lodestra.stokes_solve(Q.zeros(4, 3, 1.0), params)
    with pytest.raises(lodestra.PanicException) as err:
        lodestra.ch_step_etd(phi, Q.zeros(4, 4, 1.0), v_small, params)
    assert str(err.value) == "assertion `left == right` failed\n  left: 3\n right: 4"
    with pytest.raises(lodestra.PanicException):
        lodestra.ch_step_etd(phi, Q.zeros(3, 4, 1.0), v, params)
    assert lodestra.ch_step_etd(phi, Q.zeros(4, 4, 1.0), v, params).mean_value() == 0.0


def bessel_k0(x):
    """K0(x) = integral over t >= 0 of exp(-x cosh t), by the trapezoidal rule.

    The integrand is entire and decays doubly exponentially, so the rule converges
    geometrically: step 0.05 and cut-off 12 give K0 to a few 1e-15 relative for
    1e-3 <= x <= 150. K0(0) = inf.
    """
    x = np.asarray(x, dtype=float)
    h = 0.05
    t = np.arange(0.0, 12.0 + h / 2, h)
    weights = np.full(t.shape, h)
    weights[0] = h / 2
    values = np.exp(-np.multiply.outer(x, np.cosh(t))) @ weights
    return np.where(x > 0, values, np.inf)


def test_k0_reference_known_values():
    # K0 at 0.1, 1 and 10 (tabulated to 16 digits) and its large-x asymptotic series.
    known = [(0.1, 2.4270690247020164), (1.0, 0.42102443824070823),
             (10.0, 1.778006231616765e-05)]
    for x, k in known:
        assert abs(bessel_k0(x) / k - 1) < 1e-12
    x = 120.0
    series = np.sqrt(np.pi / (2 * x)) * np.exp(-x) * (
        1 - 1 / (8 * x) + 9 / (128 * x**2) - 225 / (3072 * x**3) + 11025 / (98304 * x**4))
    assert abs(bessel_k0(x) / series - 1) < 1e-10


def k0_window_sum(xi, dx, radius):
    a = np.arange(-radius, radius)
    r = np.sqrt((dx * a[:, None]) ** 2 + (dx * a[None, :]) ** 2)
    r = r[r >= dx * 0.5]
    return bessel_k0(r / xi).sum()


@pytest.mark.parametrize("xi, dx, n, radius", [(5.0, 1.0, 64, 30), (1.5, 0.5, 20, 10),
                                               (0.3, 1.0, 8, 2)])
def test_k0_map_of_a_uniform_field(xi, dx, n, radius):
    p = lodestra.RidiParams(n, n, dx, 0.01, 1.0, 1.0, 2.0, 1.0, -0.5, 4.5, 0.7, 0.5, 1.0, xi)
    out = lodestra.k0_convolution(Q.uniform(n, n, dx, 0.2, -0.1), p).to_numpy()
    factor = dx * dx / (xi * (xi * TWO_PI)) * k0_window_sum(xi, dx, radius)
    assert np.allclose(out[:, 0], 0.2 * factor, rtol=2e-7)
    assert np.allclose(out[:, 1], -0.1 * factor, rtol=2e-7)
    assert out[:, 0].std() <= 1e-15 * abs(out[0, 0]) * n


def test_k0_map_counts_every_other_vertex_once_when_the_grid_limits_the_window():
    n, xi = 8, 10.0
    p = lodestra.RidiParams(n, n, 1.0, 0.01, 1.0, 1.0, 2.0, 1.0, -0.5, 4.5, 0.7, 0.5, 1.0, xi)
    delta = np.zeros((n * n, 2))
    delta[0] = [1.0, 0.0]
    out = lodestra.k0_convolution(Q.from_numpy(delta, n, n, 1.0), p).to_numpy()[:, 0]
    i, j = np.divmod(np.arange(n * n), n)
    di = np.minimum(i, n - i)
    dj = np.minimum(j, n - j)
    with np.errstate(divide="ignore"):
        expected = bessel_k0(np.hypot(di, dj) / xi) / (xi * xi * TWO_PI)
    expected[0] = 0.0  # the vertex itself never contributes
    assert out[0] == 0.0
    assert np.allclose(out, expected, rtol=2e-7)


def test_k0_map_with_degenerate_lengths(params):
    def with_xi(xi, dx=1.0):
        return lodestra.RidiParams(6, 6, dx, 0.01, 1.0, 1.0, 2.0, 1.0, -0.5, 4.5, 0.7, 0.5, 1.0,
                                   xi)

    # NaN passes validation: the window is empty and every value is NaN.
    q = Q.uniform(6, 6, 1.0, 0.1, 0.1)
    assert np.isnan(lodestra.k0_convolution(q, with_xi(math.nan)).to_numpy()).all()
    # A window far larger than the grid saturates and is cut to the grid.
    out = lodestra.k0_convolution(Q.uniform(6, 6, 1e-300, 0.1, 0.1), with_xi(1e300, 1e-300))
    assert out.to_numpy().shape == (36, 2)
    assert len(lodestra.k0_convolution(Q.zeros(0, 3, 1.0), params)) == 0
    assert (lodestra.k0_convolution(Q.zeros(1, 1, 1.0), params).to_numpy() == 0).all()


def test_scan_defects_finds_hand_built_defects():
    for sign in (1, -1):
        for x0, y0 in [(5.5, 7.5), (10.5, 3.5), (2.5, 12.5)]:
            for phase in (0.0, 0.7, -1.3):
                found = lodestra.scan_defects(defect_field(16, 16, [(x0, y0, sign)], phase))
                assert [(d.plaquette, d.charge_sign) for d in found] == [
                    ((int(x0), int(y0)), sign)], (sign, x0, y0, phase)
                assert found[0].angle == pytest.approx(math.pi, abs=1e-6)


def test_scan_defects_pair_and_defaults(params):
    pair = defect_field(24, 24, [(6.5, 8.5, 1), (16.5, 14.5, -1)])
    found = lodestra.scan_defects(pair)
    assert sorted(d.charge_sign for d in found) == [-1, 1]
    assert [d.plaquette for d in found] == [(6, 8), (16, 14)]
    explicit = lodestra.scan_defects(pair, 1.5707963267948966)
    assert [repr(d) for d in found] == [repr(d) for d in explicit]
    assert lodestra.scan_defects(pair, threshold=math.pi) == []
    assert len(lodestra.scan_defects(Q.uniform(5, 4, 1.0, 0.1, 0.2), -1.0)) == 12
    assert lodestra.scan_defects(Q.uniform(5, 4, 1.0, 0.1, 0.2), 1e-6) == []
    for nx, ny in [(0, 4), (1, 5), (4, 1)]:
        assert lodestra.scan_defects(Q.random_perturbation(nx, ny, 1.0, 0.3, 1)) == []
    assert len(lodestra.scan_defects(Q.random_perturbation(2, 2, 1.0, 0.3, 1), -1.0)) == 1
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        lodestra.scan_defects(pair, "pi")


def test_defect_info_record():
    d = lodestra.scan_defects(defect_field(12, 12, [(3.5, 5.5, -1)]))[0]
    assert d.plaquette == (3, 5) and isinstance(d.plaquette, tuple)
    assert d.charge_sign == -1 and isinstance(d.charge_sign, int)
    assert repr(d) == "DefectInfo(plaquette=(3,5), angle=3.142, charge=-1)"
    with pytest.raises(AttributeError):
        d.angle = 0.0
