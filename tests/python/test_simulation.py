"""lodestra.Simulation: exact continuation, seeds, checkpoints, Ctrl-C and loud failures."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import lodestra as L

N = 6  # grid edge: small, even


def setup(model, noise=0.05):
    three_d = model.endswith("3d")
    if three_d:
        p = L.RidiParams3D.default_test()
        p.nx = p.ny = p.nz = N
        q = L.QField3D.random_perturbation(N, N, N, p.dx, 0.3, 1)
        phi = L.ScalarField3D.uniform(N, N, N, p.dx, 0.5) if model == "bech3d" else None
    else:
        p = L.RidiParams.default_test()
        p.nx, p.ny = N, N + 1
        q = L.QField2D.random_perturbation(N, N + 1, p.dx, 0.05, 1)
        phi = L.ScalarField2D.uniform(N, N + 1, p.dx, 0.1) if model == "bech" else None
    p.noise_amp = noise
    return q, phi, p


def state(sim):
    """Fields bit for bit (their pickled states), records and step."""
    fields = [f.__reduce__() for f in (sim.q, sim.phi, sim.velocity) if f is not None]
    return fields, [r.__reduce__() for r in sim.records], sim.step


def make(model, tmp_path=None, **kw):
    q, phi, p = setup(model, kw.pop("noise", 0.05))
    if tmp_path is not None and model.endswith("3d"):
        kw.setdefault("out_dir", str(tmp_path))
        kw.setdefault("track_defects", True)
    return L.Simulation(model, q, p, phi=phi, **kw)


@pytest.mark.parametrize("model", L.simulation.MODELS)
def test_split_runs_and_checkpoints_continue_exactly(model, tmp_path):
    os.makedirs(tmp_path / "a")
    os.makedirs(tmp_path / "b")
    whole = make(model, tmp_path / "a", seed=9)
    whole.run(11, snap_every=3)
    split = make(model, tmp_path / "b", seed=9)
    split.run(2, snap_every=3)
    split.run(0, snap_every=3)
    split.run(3, snap_every=3)
    ckpt = split.save(str(tmp_path / "run.lodestra"))
    # The rest in another process, from the checkpoint alone.
    code = textwrap.dedent(f"""
        import lodestra as L
        sim = L.Simulation.load({ckpt!r})
        sim.run(6, snap_every=3)
        sim.save({ckpt!r})
    """)
    subprocess.run([sys.executable, "-c", code], check=True, cwd=tmp_path)
    resumed = L.Simulation.load(ckpt)
    assert state(resumed) == state(whole)
    if model.endswith("3d"):  # the same files, byte for byte
        names = sorted(os.listdir(tmp_path / "a"))
        assert names == sorted(os.listdir(tmp_path / "b"))
        for name in names:
            assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes()


@pytest.mark.parametrize("model", L.simulation.MODELS)
def test_without_noise_equals_the_runner(model, tmp_path):
    q, phi, p = setup(model, noise=0.0)
    runner = {"dry": L.run_ridi_component1, "hydro": L.run_ridi_component1_hydro,
              "bech": L.run_ridi_bech, "dry3d": L.run_ridi_3d, "bech3d": L.run_ridi_3d_full}[model]
    fields = (q,) if phi is None else (q, phi)
    extra = (str(tmp_path), False) if model.endswith("3d") else ()
    *final, records = runner(*fields, p, 9, 4, *extra)
    sim = L.Simulation(model, q, p, phi=phi, seed=123)
    sim.run(5, snap_every=4)
    sim.run(4, snap_every=4)
    assert [repr(r) for r in sim.records] == [repr(r) for r in records]
    assert [f.__reduce__() for f in final] == [f.__reduce__() for f in (sim.q, sim.phi)[:len(final)]]


def test_seeds_reproduce_and_differ():
    runs = {}
    for seed in (1, 1, 2):
        sim = make("hydro", seed=seed)
        sim.run(5, snap_every=5)
        runs.setdefault(seed, []).append(sim.q.to_numpy())
    assert np.array_equal(*runs[1])
    assert np.abs(runs[1][0] - runs[2][0]).max() > 1e-3


def test_refusals(tmp_path):
    q, phi, p = setup("bech")
    q3, phi3, p3 = setup("bech3d")
    bad = L.RidiParams.default_test()
    bad.nx = 3
    cases = [
        (lambda: L.Simulation("wet", q, p), ValueError, "unknown model"),
        (lambda: L.Simulation("dry", q, bad), ValueError, "grid"),
        (lambda: L.Simulation("bech", q, p), ValueError, "needs phi"),
        (lambda: L.Simulation("dry", q, p, phi=phi), ValueError, "no phi"),
        (lambda: L.Simulation("dry3d", q, p), TypeError, "QField3D"),
        (lambda: L.Simulation("hydro", q, p, seed=-1), ValueError, "seed"),
        (lambda: L.Simulation("dry", q, p, friction=0.1), ValueError, "models with flow"),
        (lambda: L.Simulation("hydro", q, p, backflow="some"), ValueError, "backflow"),
        (lambda: L.Simulation("dry3d", q3, p3, out_dir=str(tmp_path / "none")),
         FileNotFoundError, "none"),
        (lambda: L.Simulation("dry3d", q3, p3, out_dir=__file__), NotADirectoryError, "test_"),
        (lambda: make("hydro").run(3, snap_every=0), ValueError, "snap_every"),
        (lambda: L.Simulation.load(__file__), ValueError, "test_simulation.py"),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=text):
            call()
    p.dt = -1.0  # the parameter set's own validation message
    with pytest.raises(ValueError) as caught:
        L.Simulation("hydro", q, p)
    with pytest.raises(ValueError) as direct:
        p.validate()
    assert str(caught.value) == str(direct.value)


def test_truncated_checkpoint_is_refused(tmp_path):
    path = make("hydro").save(str(tmp_path / "c.npz"))
    data = open(path, "rb").read()
    for broken in (data[: len(data) // 2], data + b"\0", data[:100]):
        open(path, "wb").write(broken)
        with pytest.raises(ValueError, match="c.npz"):
            L.Simulation.load(path)


def test_blow_up_stops_at_the_last_finite_state():
    q, _, p = setup("hydro", noise=0.0)
    p.dt = 10.0
    sim = L.Simulation("hydro", q, p)
    with pytest.raises(FloatingPointError, match=r"non-finite at step \d+ .*\|u\|·dt/dx"):
        sim.run(60, snap_every=5)
    assert np.isfinite(sim.q.to_numpy()).all() and sim.step % 5 == 0
    with pytest.warns(RuntimeWarning, match=r"non-finite at step \d+ \(t = .*defect counts"):
        L.run_ridi_component1_hydro(q, p, 60, 5)


def test_failed_snapshot_write_raises_naming_the_file(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    sim = make("dry3d", out)
    shutil.rmtree(out)
    with pytest.raises(OSError, match="q_000001.npy"):
        sim.run(4, snap_every=2)
    assert sim.step == 2


def test_callback_progress_and_early_stop(capsys):
    pytest.importorskip("tqdm")
    seen = []
    sim = make("dry")
    sim.run(12, snap_every=4, progress=True, callback=lambda s: seen.append(s.step) or s.step < 8)
    assert seen == [0, 4, 8] and sim.step == 8
    assert "step" in capsys.readouterr().err


def test_ctrl_c_stops_a_long_run_quickly(tmp_path):
    code = textwrap.dedent("""
        import sys, lodestra as L
        p = L.RidiParams.default_test(); p.nx = p.ny = 256
        sim = L.Simulation("hydro", L.QField2D.random_perturbation(256, 256, p.dx, 0.05, 1), p)
        sim.run(1, snap_every=1000)
        print("running", flush=True)
        try:
            sim.run(20000, snap_every=1000)
        except KeyboardInterrupt:
            sim.run(1, snap_every=1000)   # and it continues
            print("stopped", sim.step, flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                            cwd=tmp_path)
    assert proc.stdout.readline().strip() == "running"
    time.sleep(0.5)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out = proc.stdout.readline().split()
    latency = time.monotonic() - sent
    proc.wait(timeout=60)
    assert out[0] == "stopped" and 2 < int(out[1]) < 20000
    assert latency < 1.0


def test_other_threads_run_while_it_steps_and_a_second_run_is_refused():
    import threading
    p = L.RidiParams.default_test()
    p.nx = p.ny = 128
    big = L.Simulation("hydro", L.QField2D.random_perturbation(128, 128, p.dx, 0.05, 1), p)
    stepping = threading.Thread(target=lambda: big.run(400, 1000))
    start = time.monotonic()
    stepping.start()
    time.sleep(0.02)
    with pytest.raises(RuntimeError, match="already running"):
        big.run(1)
    ticks = 0
    while stepping.is_alive():
        ticks += 1
        time.sleep(0.001)
    elapsed = time.monotonic() - start
    assert big.step == 400
    # The lock is held only at the polls (every 0.1 s): this thread ticks throughout.
    assert elapsed < 0.2 or ticks > 100 * elapsed


@pytest.mark.parametrize("model", ["hydro", "bech3d"])
def test_a_thread_count_change_between_calls_continues_exactly(model, tmp_path):
    previous = L._core._set_min_parallel_work(1)  # split even these small grids
    try:
        one = make(model, seed=4, threads=1)
        one.run(8, snap_every=4)
        mixed = make(model, seed=4, threads=3)
        mixed.run(3, snap_every=4)
        mixed.threads = 2
        mixed.run(5, snap_every=4)
    finally:
        L._core._set_min_parallel_work(previous)
    assert state(mixed) == state(one)
    assert L.get_num_threads() == 1
    with pytest.raises(ValueError, match="threads"):
        make("hydro", threads=0)
