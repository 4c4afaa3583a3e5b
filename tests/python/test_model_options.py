"""The model extensions of the runs with flow: they survive a checkpoint and a split run,
and they change the run."""

import numpy as np
import pytest

import lodestra as L

OPTIONS = [dict(friction=0.05, flow_alignment=-0.7, backflow=b)
           for b in ("off", "antisymmetric", "full")]


def start(model, **options):
    three_d = model.endswith("3d")
    n = 6
    if three_d:
        p = L.RidiParams3D.default_test()
        p.nx = p.ny = p.nz = n
        q = L.QField3D.random_perturbation(n, n, n, p.dx, 0.3, 1)
        phi = L.ScalarField3D.uniform(n, n, n, p.dx, 0.5)
    else:
        p = L.RidiParams.default_test()
        p.nx, p.ny = n, n + 1
        q = L.QField2D.random_perturbation(n, n + 1, p.dx, 0.3, 1)
        phi = L.ScalarField2D.uniform(n, n + 1, p.dx, 0.1) if model == "bech" else None
    p.noise_amp = 0.02
    return L.Simulation(model, q, p, phi=phi, seed=3, **options)


def q_of(sim):
    q = sim.q
    return np.asarray(q.to_numpy() if hasattr(q, "to_numpy") else q.q).copy()


@pytest.mark.parametrize("model", ["hydro", "bech", "bech3d"])
@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: o["backflow"])
def test_options_survive_a_checkpoint_and_change_the_run(model, options, tmp_path):
    whole = start(model, **options)
    whole.run(6, 2)
    split = start(model, **options)
    split.run(2, 2)
    resumed = L.Simulation.load(split.save(tmp_path / "run.npz"))
    assert resumed.options == options
    resumed.run(4, 2)
    assert np.array_equal(q_of(resumed), q_of(whole))
    plain = start(model)
    plain.run(6, 2)
    assert not np.array_equal(q_of(plain), q_of(whole))
