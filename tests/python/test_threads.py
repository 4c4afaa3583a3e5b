"""Opt-in threads: the count's interface, and every runner and threaded operator giving
the same bits at 1, 2 and 3 threads (tiny loops are split too, so odd and size-1 grids
really run in parts)."""

import os

import numpy as np
import pytest

import lodestra
from lodestra import _core


@pytest.fixture
def split_everything():
    before = _core._set_min_parallel_work(1)
    yield
    _core._set_min_parallel_work(before)
    lodestra.set_num_threads(1)


def test_count_interface():
    assert lodestra.get_num_threads() == 1  # the default: nothing changes unless asked
    assert "set_num_threads" not in lodestra.__all__ and len(lodestra.__all__) == 24
    for bad, error in ((0, ValueError), (1025, ValueError), (-1, OverflowError),
                       (1.5, TypeError)):
        with pytest.raises(error):
            lodestra.set_num_threads(bad)
    lodestra.set_num_threads(3)
    try:
        assert lodestra.get_num_threads() == 3
    finally:
        lodestra.set_num_threads(1)


def _bytes(*arrays):
    return b"".join(np.ascontiguousarray(a).tobytes() for a in arrays)


def _records(stats):
    return [tuple(getattr(r, n) for n in dir(r) if not n.startswith("_")) for r in stats]


def _run_2d(grid):
    nx, ny = grid
    p = lodestra.RidiParams.default_test()
    p.nx, p.ny, p.noise_amp = nx, ny, 0.01
    q = lodestra.QField2D.random_perturbation(nx, ny, p.dx, 0.3, 4)
    phi = lodestra.ScalarField2D.uniform(nx, ny, p.dx, 0.2)
    q1, s1 = lodestra.run_ridi_component1(q, p, 5, 2)
    q2, s2 = lodestra.run_ridi_component1_hydro(q, p, 5, 2)
    q3, phi3, s3 = lodestra.run_ridi_bech(q, phi, p, 5, 2)
    defects = [(d.plaquette, d.angle, d.charge_sign) for d in lodestra.scan_defects(q)]
    return (_bytes(q1.to_numpy(), q2.to_numpy(), q3.to_numpy(), phi3.to_numpy(),
                   lodestra.k0_convolution(q, p).to_numpy()),
            _records(s1) + _records(s2) + _records(s3), defects)


def _run_3d(grid, out_dir):
    nx, ny, nz = grid
    p = lodestra.RidiParams3D.default_test()
    p.nx, p.ny, p.nz, p.noise_amp = nx, ny, nz, 0.02
    q = lodestra.QField3D.random_perturbation(nx, ny, nz, p.dx, 0.4, 8)
    phi = lodestra.ScalarField3D.uniform(nx, ny, nz, p.dx, 0.3)
    q1, s1 = lodestra.run_ridi_3d(q, p, 4, 2, str(out_dir), True)
    q2, phi2, s2 = lodestra.run_ridi_3d_full(q, phi, p, 4, 2, str(out_dir), True)
    lines = [(line.vertices.tobytes(), line.curvatures.tobytes(), line.charge)
             for line in lodestra.DisclinationLine.scan(q1)]
    files = {name: (out_dir / name).read_bytes() for name in sorted(os.listdir(out_dir))}
    return (_bytes(q1.q, q2.q, phi2.phi, q2.scalar_order(), q2.biaxiality(),
                   *_core._vtk_point_arrays(q2)),
            _records(s1) + _records(s2), lines, files)


@pytest.mark.parametrize("grid", [(9, 7), (1, 6), (16, 1)])
def test_2d_runs_are_bit_identical_at_any_thread_count(grid, split_everything):
    results = []
    for n in (1, 2, 3):
        lodestra.set_num_threads(n)
        results.append(_run_2d(grid))
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("grid", [(5, 4, 3), (1, 6, 7), (4, 1, 1)])
def test_3d_runs_and_files_are_bit_identical_at_any_thread_count(grid, split_everything,
                                                                 tmp_path):
    results = []
    for n in (1, 3, 2):  # changing the count between calls, both ways
        lodestra.set_num_threads(n)
        out = tmp_path / str(n)
        out.mkdir()
        results.append(_run_3d(grid, out))
    assert results[0] == results[1] == results[2]


def test_vtk_point_arrays_match_the_fields_own_observables():
    q = lodestra.QField3D.random_perturbation(5, 4, 3, 1.0, 0.4, 2)
    comps, s, p, director = _core._vtk_point_arrays(q)
    vtk = lambda a, c: a.reshape(5, 4, 3, c).transpose(2, 1, 0, 3).reshape(-1, c)  # noqa: E731
    assert (comps == vtk(q.q.reshape(-1, 5), 5)).all()
    assert np.allclose(s, vtk(q.scalar_order(), 1)[:, 0], atol=1e-12)
    assert np.allclose(p, vtk(q.biaxiality(), 1)[:, 0], atol=1e-9)
    assert np.allclose(np.linalg.norm(director, axis=1), 1.0)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_starts_its_own_pool(split_everything):
    q = lodestra.QField3D.random_perturbation(6, 5, 4, 1.0, 0.4, 3)
    p = lodestra.RidiParams.default_test()
    q2 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.1, 3)
    lodestra.set_num_threads(2)

    def work():
        return (q.scalar_order().tobytes(),
                lodestra.run_ridi_component1_hydro(q2, p, 3, 3)[0].to_numpy().tobytes())

    expected = work()  # the parent's workers are running now
    pid = os.fork()
    if pid == 0:  # the child has none of them: its own pool must serve it
        os._exit(0 if lodestra.get_num_threads() == 2 and work() == expected else 1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
