"""Whole 2D runs: records, reproducibility, noise, the caller's fields, resource use."""

import gc
import math
import resource

import numpy as np
import pytest

import lodestra
from conftest import defect_field

Q = lodestra.QField2D
PHI = lodestra.ScalarField2D
DRIVERS = [lodestra.run_ridi_component1, lodestra.run_ridi_component1_hydro]


def small_params(nx=12, ny=10, **setters):
    p = lodestra.RidiParams.default_test()
    p.nx, p.ny = nx, ny
    for name, value in setters.items():
        setattr(p, name, value)
    return p


@pytest.mark.parametrize("driver", DRIVERS)
def test_record_steps_and_times(driver):
    p = small_params()
    q0 = Q.random_perturbation(12, 10, 1.0, 0.1, 3)
    q, stats = driver(q0, p, 10, 3)
    assert [s.time for s in stats] == [0.0, 0.03, 0.06, 0.09]
    assert all(type(s) is lodestra.SnapStats for s in stats)
    q_one, _ = driver(q0, p, 11, 100)
    q_ten, stats_ten = driver(q0, p, 10, 1)
    assert (q.to_numpy() == q_ten.to_numpy()).all()  # the field after step 10
    assert len(stats_ten) == 11 and stats_ten[-1].mean_s == q.mean_order_param()
    assert len(driver(q0, p, 5, 100)[1]) == 1
    q_zero, stats_zero = driver(q0, p, 0, 7)
    assert (q_zero.to_numpy() == q0.to_numpy()).all()
    assert [s.time for s in stats_zero] == [0.0]
    assert q_one.nx == 12


@pytest.mark.parametrize("driver", DRIVERS)
def test_snap_every_zero_is_an_internal_error(driver):
    with pytest.raises(lodestra.PanicException) as err:
        driver(Q.zeros(4, 4, 1.0), small_params(), 10, 0)
    assert str(err.value) == "attempt to calculate the remainder with a divisor of zero"


@pytest.mark.parametrize("driver", DRIVERS)
def test_zero_field_stays_zero(driver):
    q, stats = driver(Q.zeros(8, 8, 1.0), small_params(8, 8), 20, 5)
    assert (q.to_numpy() == 0).all()
    assert all(s.mean_s == 0 and s.n_defects == 0 for s in stats)


@pytest.mark.parametrize("driver", DRIVERS)
def test_runs_are_reproducible_and_leave_the_caller_alone(driver):
    p = small_params(noise_amp=0.05)
    q0 = Q.random_perturbation(12, 10, 1.0, 0.2, 9)
    before = q0.to_numpy()
    a, sa = driver(q0, p, 30, 10)
    b, sb = driver(q0, p, 30, 10)
    assert (a.to_numpy() == b.to_numpy()).all()
    assert [repr(s) for s in sa] == [repr(s) for s in sb]
    assert (q0.to_numpy() == before).all()
    assert repr(p) == repr(small_params(noise_amp=0.05))
    # n_steps is part of the noise seed: a longer run takes another stream.
    c, _ = driver(q0, p, 31, 10)
    p.noise_amp = 0.0
    d, _ = driver(q0, p, 30, 10)
    assert not (a.to_numpy() == d.to_numpy()).all()
    assert c.nx == 12


def test_noise_variance_per_component():
    # A zero field is a fixed point of the dynamics, so after one step it holds
    # exactly the noise: normal deviates of variance noise_amp^2 * dt per component.
    p = small_params(128, 128, noise_amp=0.5)
    expected = 0.5**2 * 0.01
    for driver in DRIVERS:
        q, _ = driver(Q.zeros(128, 128, 1.0), p, 1, 1)
        for component in q.to_numpy().T:
            assert abs(component.mean()) < 5 * math.sqrt(expected / component.size)
            assert component.var() == pytest.approx(expected, rel=0.05)


def test_defect_counts_in_records():
    field = defect_field(64, 64, [(10.5, 10.5, 1), (30.5, 12.5, -1), (40.5, 50.5, 1),
                                  (20.5, 40.5, -1)])
    _, stats = lodestra.run_ridi_component1(field, lodestra.RidiParams.default_test(), 0, 1)
    s = stats[0]
    assert (s.n_defects, s.n_plus, s.n_minus) == (4, 2, 2)
    assert s.defect_density == 4 / 4096
    assert repr(s) == "SnapStats(t=0.000, <S>=0.5000, n_def=4, rho_d=9.7656e-4)"
    assert [type(getattr(s, name)) for name in ("time", "mean_s", "n_defects", "n_plus",
                                                 "n_minus", "defect_density")] == [
        float, float, int, int, int, float]


def test_bech_run_records():
    p = small_params(8, 8)
    q, phi, stats = lodestra.run_ridi_bech(Q.zeros(8, 8, 1.0), PHI.uniform(8, 8, 1.0, 0.5), p,
                                           10, 5)
    assert [s.time for s in stats] == [0.0, 0.05, 0.1]
    assert repr(stats[0]) == "BechStats(t=0.000, <S>=0.0000, n_def=0, <φ>=0.5000, Var[φ]=0.0000e0)"
    for s in stats:
        assert s.mean_phi == pytest.approx(0.5, abs=1e-15)
        assert s.phi_variance < 1e-28 and s.mean_grad_phi_sq < 1e-28
    assert (q.to_numpy() == 0).all() and np.allclose(phi.to_numpy(), 0.5, atol=1e-15)


def test_bech_conserves_mean_phi_and_returns_copies():
    p = small_params(12, 10, noise_amp=0.02)
    q0 = Q.random_perturbation(12, 10, 1.0, 0.2, 4)
    phi0 = PHI.from_numpy(np.random.default_rng(1).uniform(-0.3, 0.3, 120), 12, 10, 1.0)
    q, phi, stats = lodestra.run_ridi_bech(q0, phi0, p, 12, 4)
    means = [s.mean_phi for s in stats]
    assert max(means) - min(means) < 1e-14
    assert stats[-1].phi_variance == phi.variance()
    q_again, phi_again, _ = lodestra.run_ridi_bech(q0, phi0, p, 12, 4)
    assert (q.to_numpy() == q_again.to_numpy()).all()
    assert (phi.to_numpy() == phi_again.to_numpy()).all()
    q_none, phi_none, only = lodestra.run_ridi_bech(q0, phi0, p, 0, 1)
    assert (phi_none.to_numpy() == phi0.to_numpy()).all() and len(only) == 1
    assert only[0].phi_variance == phi0.variance()


def test_bech_refuses_phi_on_another_grid():
    with pytest.raises(lodestra.PanicException):
        lodestra.run_ridi_bech(Q.zeros(8, 8, 1.0), PHI.zeros(8, 6, 1.0), small_params(8, 8), 3, 1)
    with pytest.raises(lodestra.PanicException):
        lodestra.run_ridi_bech(Q.zeros(8, 8, 1.0), PHI.zeros(4, 4, 1.0), small_params(8, 8), 3, 1)


def test_invalid_parameters_propagate_without_crashing():
    p = small_params(6, 6)
    p.dt = math.nan
    q, stats = lodestra.run_ridi_component1_hydro(Q.random_perturbation(6, 6, 1.0, 0.1, 1), p, 3,
                                                  1)
    assert np.isnan(q.to_numpy()).all() and stats[-1].n_defects == 0
    for nx, ny in [(0, 3), (1, 1), (1, 4), (2, 2)]:
        for driver in DRIVERS:
            driver(Q.random_perturbation(nx, ny, 1.0, 0.1, 1), p, 2, 1)
        lodestra.run_ridi_bech(Q.zeros(nx, ny, 1.0), PHI.zeros(nx, ny, 1.0), p, 2, 1)


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_repeated_calls_do_not_leak():
    p = small_params(6, 6)
    q = Q.random_perturbation(6, 6, 1.0, 0.1, 1)
    phi = PHI.uniform(6, 6, 1.0, 0.1)

    def calls():
        v = lodestra.stokes_solve(q, p)
        lodestra.ch_step_etd(phi, q, v, p)
        lodestra.k0_convolution(q, p)
        lodestra.scan_defects(q, -1.0)
        lodestra.run_ridi_bech(q, phi, p, 1, 1)
        q.to_numpy()
        Q.from_numpy(q.to_numpy(), 6, 6, 1.0)
        repr(p)
        try:
            lodestra.run_ridi_component1(q, p, 1, 0)
        except lodestra.PanicException:
            pass
        try:
            Q.from_numpy(np.zeros(3), 6, 6, 1.0)
        except TypeError:
            pass

    # A collector that does not count the engine's memory (PyPy's) may leave many dead
    # results unreclaimed between its own runs: collect explicitly, so that only memory
    # that nothing can reclaim counts as growth.
    def rounds(count):
        for i in range(count):
            calls()
            if i % 100 == 99:
                gc.collect()
        gc.collect()

    rounds(1000)
    before = rss_kib()
    rounds(10000)
    assert rss_kib() - before < 2048
