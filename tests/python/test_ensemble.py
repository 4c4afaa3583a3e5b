"""Sweeps on a real local Dask cluster: the table equals sequential runs bit for bit,
3D runs write their own directories, failed runs are reported and do not cost the
others, and bad sweeps are refused before anything is submitted."""

import itertools
import json
import os
import sys
import threading

import numpy as np
import pytest

cloudpickle = pytest.importorskip("cloudpickle")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import lodestra
from lodestra import ensemble

Q2, PHI2 = lodestra.QField2D, lodestra.ScalarField2D
RUNNERS_2D = [lodestra.run_ridi_component1, lodestra.run_ridi_component1_hydro,
              lodestra.run_ridi_bech]
SNAP = ["time", "mean_s", "n_defects", "n_plus", "n_minus", "defect_density"]
COLUMNS = {"SnapStats": SNAP, "BechStats": SNAP + ["mean_phi", "phi_variance",
                                                    "mean_grad_phi_sq"]}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def params_2d(n=32, noise=0.01):
    p = lodestra.RidiParams.default_test()
    p.nx = p.ny = n
    p.noise_amp = noise
    return p


def bits(field):
    return field.to_numpy().tobytes()


@pytest.mark.parametrize("run", RUNNERS_2D, ids=lambda f: f.__name__)
def test_2d_sweep_equals_sequential_runs_bit_for_bit(client, run):
    p, zetas, seeds = params_2d(), [0.5, 3.0], [3, 11]
    sweep = ensemble.Sweep(run, p, vary={"zeta_eff": zetas}, seeds=seeds,
                           init=ensemble.random_fields(0.05, phi=0.4), n_steps=200,
                           snap_every=50, keep_fields=True)
    result = sweep.run(client, progress=False)

    bech = run is lodestra.run_ridi_bech
    cols = COLUMNS["BechStats" if bech else "SnapStats"]
    rows = []
    for index, (zeta, seed) in enumerate(itertools.product(zetas, seeds)):
        p.zeta_eff = zeta
        q0 = Q2.random_perturbation(p.nx, p.ny, p.dx, 0.05, seed)
        start = (q0, PHI2.uniform(p.nx, p.ny, p.dx, 0.4)) if bech else (q0,)
        *final, stats = run(*start, p, 200, 50)
        rows += [[index, zeta, seed, k] + [getattr(s, c) for c in cols]
                 for k, s in enumerate(stats)]
        kept = result.fields[index] if bech else (result.fields[index],)
        assert [bits(f) for f in kept] == [bits(f) for f in final]
    expected = pd.DataFrame(rows, columns=["run", "zeta_eff", "seed", "snapshot"] + cols)
    pd.testing.assert_frame_equal(result.records, expected, check_exact=True)
    assert result.failures.empty and len(result.records) == 4 * 5


def test_3d_sweep_writes_one_directory_per_run(tmp_path):
    p = lodestra.RidiParams3D.default_test()
    p.nx, p.ny, p.nz = 6, 5, 4
    sweep = ensemble.Sweep(lodestra.run_ridi_3d_full, p, vary={"zeta_eff": [1.0, 2.5]},
                           seeds=[5], init=ensemble.random_fields(0.05, phi=0.3), n_steps=4,
                           snap_every=2, out_dir=tmp_path, track_defects=True,
                           keep_fields=True)
    # The default path: a local cluster started and closed by the sweep itself.
    result = sweep.run(progress=False, n_workers=1)
    assert sorted(os.listdir(tmp_path)) == ["run_0000", "run_0001"]
    for index, zeta in enumerate([1.0, 2.5]):
        run_dir = tmp_path / f"run_{index:04d}"
        assert sorted(os.listdir(run_dir)) == sorted(
            ["params.json", "stats.json"]
            + [f"{k}_{s:06d}.npy" for k in ("q", "phi", "vel") for s in (1, 3)])
        info = json.loads((run_dir / "params.json").read_text())
        assert (info["index"], info["seed"], info["varied"]) == (index, 5, {"zeta_eff": zeta})
        assert info["params"]["zeta_eff"] == zeta and info["params"]["nz"] == 4
        entries = json.loads((run_dir / "stats.json").read_text())
        table = result.records[result.records["run"] == index]
        assert list(table.columns[4:]) == list(entries[0])
        assert table[list(entries[0])].to_dict("records") == entries
        q, phi = result.fields[index]
        assert (np.load(run_dir / "q_000003.npy") == q.q).all()
        assert (np.load(run_dir / "phi_000003.npy").ravel() == phi.phi).all()
    with pytest.raises(FileExistsError, match="run_0000"):
        sweep.run(progress=False, n_workers=1)


def wrong_grid_phi_for_seed_1(params, seed):
    q = Q2.random_perturbation(params.nx, params.ny, params.dx, 0.05, seed)
    n = params.nx + (seed == 1)
    return q, PHI2.uniform(n, params.ny, params.dx, 0.5)


@pytest.mark.parametrize("run, vary, seeds, init, error, message", [
    (lodestra.run_ridi_component1_hydro, {"zeta_eff": [1.0, -1.0, 2.0]}, [0],
     ensemble.random_fields(0.05), "ValueError",
     "invalid parameter: zeta_eff must be non-negative"),
    (lodestra.run_ridi_bech, {}, [0, 1, 2], wrong_grid_phi_for_seed_1, "PanicException",
     "phi's grid"),
], ids=["invalid-parameters", "panic"])
def test_a_failing_run_is_reported_and_the_others_return(client, run, vary, seeds, init,
                                                         error, message):
    sweep = ensemble.Sweep(run, params_2d(16), vary=vary, seeds=seeds, init=init,
                           n_steps=20, snap_every=10)
    with pytest.warns(RuntimeWarning, match="1 of 3 runs failed"):
        result = sweep.run(client, progress=False)
    assert sorted(set(result.records["run"])) == [0, 2] and len(result.records) == 6
    assert list(result.failures["run"]) == [1]
    failure = result.failures.iloc[0]
    assert failure["error"] == error and message in failure["message"]
    assert list(result.failures.columns) == ["run", *vary, "seed", "error", "message"]


def test_a_run_whose_worker_dies_is_rerun(client, tmp_path):
    marker = str(tmp_path / "died")

    def die_once(params, seed):
        if seed == 1 and not os.path.exists(marker):
            open(marker, "w").close()
            os._exit(1)
        return lodestra.QField2D.random_perturbation(params.nx, params.ny, params.dx, 0.05, seed)

    sweep = ensemble.Sweep(lodestra.run_ridi_component1, params_2d(16), seeds=[0, 1],
                           init=die_once, n_steps=10, snap_every=10)
    result = sweep.run(client, progress=False)
    assert os.path.exists(marker) and result.failures.empty
    assert list(result.records["run"]) == [0, 0, 1, 1]


def test_bad_sweeps_are_refused_before_anything_is_submitted(tmp_path):
    lock = threading.Lock()
    p2, p3 = params_2d(16), lodestra.RidiParams3D.default_test()
    good = dict(run=lodestra.run_ridi_component1, params=p2, init=ensemble.random_fields(0.1),
                n_steps=10, snap_every=5)
    cases = [
        (dict(vary={"zeta": [1.0]}), ValueError, "cannot vary 'zeta'"),
        (dict(vary={"nx": [32.0]}), TypeError, "integer"),
        (dict(init=lambda p, s: lock), TypeError, "init cannot be sent to the workers"),
        # A class under another name travels by value and fails on the worker.
        (dict(init=lambda p, s: Q2.zeros(p.nx, p.ny, p.dx)), TypeError, "does not pickle"),
        (dict(seeds=[]), ValueError, "seeds"),
        (dict(run=print), TypeError, "simulation functions"),
        (dict(params=p3), TypeError, "RidiParams parameters"),
        (dict(snap_every=0), ValueError, "snap_every"),
        (dict(run=lodestra.run_ridi_3d, params=p3), ValueError, "out_dir"),
        (dict(run=lodestra.run_ridi_3d, params=p3, out_dir=tmp_path / "missing"),
         FileNotFoundError, "missing"),
    ]
    for change, error, match in cases:
        with pytest.raises(error, match=match):
            ensemble.Sweep(**{**good, **change})


@pytest.mark.parametrize("missing", ["cloudpickle", "pandas"])
def test_a_missing_dependency_names_the_extra(monkeypatch, missing):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=rf"needs {missing}: pip install 'lodestra\[ensemble\]'"):
        sweep = ensemble.Sweep(lodestra.run_ridi_component1, params_2d(16),
                               init=ensemble.random_fields(0.1), n_steps=1, snap_every=1)
        sweep.run(progress=False)  # refused before any cluster starts


def test_task_and_run_functions_travel_by_pickle():
    for fn in [ensemble._run_one, lodestra.run_ridi_3d, lodestra.run_ridi_3d_full,
               *RUNNERS_2D]:
        assert cloudpickle.loads(cloudpickle.dumps(fn)) is fn


class ConstantQ:
    """Initial fields that ignore the seed: only the noise can tell runs apart."""

    def __call__(self, params, seed):
        return lodestra.QField2D.random_perturbation(params.nx, params.ny, params.dx, 0.05, 1)


def test_a_simulation_sweep_ties_the_noise_to_the_run_seed(client):
    p = params_2d(16, noise=0.05)
    sweep = ensemble.Sweep("hydro", p, vary={"friction": [0.0]}, seeds=[4, 5], init=ConstantQ(),
                           n_steps=40, snap_every=20, keep_fields=True)
    result = sweep.run(client, progress=False)
    for index, seed in enumerate([4, 5]):
        sim = lodestra.Simulation("hydro", ConstantQ()(p, 0), p, seed=seed)
        sim.run(40, 20)
        assert bits(result.fields[index]) == bits(sim.q)
    assert bits(result.fields[0]) != bits(result.fields[1])
    assert list(result.records["friction"]) == [0.0] * 6
