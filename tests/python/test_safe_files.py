"""Files a run writes: links at their names, kills, full disks, shapes of the headers, and
corrupt files read back."""

import json
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import lodestra
import lodestra.io as lio

Q3 = lodestra.QField3D
PHI3 = lodestra.ScalarField3D


def small_run(out, n=4, steps=1, full=False, grid=None):
    p = lodestra.RidiParams3D.default_test()
    p.nx = p.ny = p.nz = n
    nx, ny, nz = grid or (n, n, n)
    q = Q3.random_perturbation(nx, ny, nz, 1.0, 0.05, 1)
    if full:
        return lodestra.run_ridi_3d_full(q, PHI3.uniform(nx, ny, nz, 1.0, 0.5), p, steps, 1,
                                         str(out), False)
    return lodestra.run_ridi_3d(q, p, steps, 1, str(out), False)


def vtk_writes():
    pytest.importorskip("vtkmodules")
    from lodestra import _vtk
    q2 = lodestra.QField2D.random_perturbation(4, 4, 1.0, 0.1, 1)
    return {
        "snapshot.vti": lambda run: lio.write_vtk(run / "snapshot.vti", Q3.zeros(2, 2, 2, 1.0)),
        "pair": lambda run: lio.write_vtk(run / "pair", q2),  # the folder of the .vtm's blocks
        "run.pvd": lambda run: _vtk.write_collection(run / "run.pvd", [(1.0, 0, "a.vti")]),
    }


def read_back(run, name):
    if name.endswith(".npy"):
        return lio.load_snapshot(run, 0)
    if name == "stats.json":
        return lio.read_stats(run)
    if name == "params.json":
        return json.loads((run / name).read_text())
    if name == "pair":
        return os.listdir(run / "pair")
    assert b"<VTKFile" in (run / name).read_bytes()[:100]


@pytest.mark.parametrize("name", ["q_000000.npy", "vel_000000.npy", "stats.json", "params.json",
                                  "snapshot.vti", "pair", "run.pvd"])
def test_a_link_at_the_target_is_replaced_never_followed(tmp_path, name):
    run = tmp_path / "run"
    run.mkdir()
    victim = tmp_path / "victim"
    if name == "pair":
        victim.mkdir()
    else:
        victim.write_text("precious")
    os.symlink(victim, run / name)
    if name.endswith(".npy") or name == "stats.json":
        small_run(run, full=True)
    elif name == "params.json":
        from lodestra import ensemble
        ensemble._write_params_json(dict(index=0, run="run_ridi_3d", seed=1, n_steps=1,
                                         snap_every=1, track_defects=False, varied={},
                                         params={}, out_dir=str(run)))
    else:
        vtk_writes()[name](run)
    assert not (run / name).is_symlink()
    assert (os.listdir(victim) == []) if name == "pair" else victim.read_text() == "precious"
    read_back(run, name)
    assert not [f for f in os.listdir(run) if f.endswith(".tmp")]


FROM_NUMPY = textwrap.dedent("""
    import numpy as np, lodestra as L
    cases = [(L.QField3D, (8**3, 5), 3), (L.ScalarField3D, (8**3,), 3),
             (L.QField2D, (64, 2), 2), (L.ScalarField2D, (64,), 2)]
    for cls, shape, dims in cases:
        for change in ("resize", "retype"):
            a = np.zeros(shape)
            class N:
                def __index__(self):
                    if change == "resize":
                        a.resize((1,) + shape[1:], refcheck=False)
                    else:
                        a.dtype = np.int64
                    return 8
            try:
                cls.from_numpy(a, N(), *[8] * (dims - 1), 1.0)
                print("accepted")
            except (ValueError, TypeError) as e:
                print(type(e).__name__)
""")


def test_from_numpy_with_an_array_changed_while_converting_raises():
    done = subprocess.run([sys.executable, "-c", FROM_NUMPY], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ValueError", "TypeError"] * 4


def test_snapshot_headers_take_the_fields_own_grid(tmp_path):
    grid = (3, 2, 5)
    q, phi, stats = small_run(tmp_path, n=4, steps=2, full=True, grid=grid)
    assert np.load(tmp_path / "q_000001.npy").shape == grid + (5,)
    snap = lio.load_snapshot(tmp_path, 1)
    assert (snap.q.q == q.q).all() and (snap.phi.phi == phi.phi).all()
    assert snap.velocity.shape == grid + (3,)


KILLED_RUN = textwrap.dedent("""
    import sys, lodestra as L
    p = L.RidiParams3D.default_test()
    p.nx = p.ny = p.nz = 4
    q = L.QField3D.random_perturbation(4, 4, 4, 1.0, 0.05, 1)
    phi = L.ScalarField3D.uniform(4, 4, 4, 1.0, 0.5)
    L.run_ridi_3d_full(q, phi, p, 10**7, 1, sys.argv[1], False)
""")
SNAPSHOT = re.compile(r"(q|phi|vel)_(\d{6,})\.npy")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_a_killed_run_leaves_whole_snapshots_and_readable_records(tmp_path, seed):
    proc = subprocess.Popen([sys.executable, "-c", KILLED_RUN, str(tmp_path)])
    try:
        deadline = time.monotonic() + 60
        while not (tmp_path / "stats.json").exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(random.Random(seed).uniform(0.0, 0.5))
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait()
    steps = lio.snapshot_steps(tmp_path)
    for name in os.listdir(tmp_path):
        m = SNAPSHOT.fullmatch(name)
        if m:
            assert np.load(tmp_path / name).shape == (4, 4, 4, {"q": 5, "phi": 1, "vel": 3}[m[1]])
    records = lio.read_stats(tmp_path)
    assert len(steps) - 1 <= len(records) <= len(steps)
    dt = lodestra.RidiParams3D.default_test().dt
    assert [r["time"] for r in records] == [dt * (s + 1) for s in steps[:len(records)]]


FULL_DISK = textwrap.dedent("""
    import resource, signal, sys, lodestra as L
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (3000, resource.RLIM_INFINITY))
    p = L.RidiParams3D.default_test()
    p.nx = p.ny = p.nz = 2
    _, stats = L.run_ridi_3d(L.QField3D.random_perturbation(2, 2, 2, 1.0, 0.05, 1), p, 30, 1,
                             sys.argv[1], False)
    print(len(stats))
""")


def test_a_full_disk_is_reported_for_stats_json_and_keeps_the_records_before(tmp_path):
    done = subprocess.run([sys.executable, "-c", FULL_DISK, str(tmp_path)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.split() == ["30"], done.stderr
    warned = [line for line in done.stderr.splitlines() if "stats.json" in line]
    assert warned == [f"[runner_3d] warn: failed to write {tmp_path}/stats.json: File too large "
                      "(os error 27)"]
    kept = json.loads((tmp_path / "stats.json").read_text())
    assert 5 < len(kept) < 30 and lio.read_stats(tmp_path)[-1]["time"] == kept[-1]["time"]


def huge_npy_header(path):
    raw = path.read_bytes()
    return b"\x93NUMPY\x02\x00" + (0xFFFFFFF0).to_bytes(4, "little") + raw[10:]


@pytest.mark.parametrize("name, content", [
    ("stats.json", lambda path: b"[" * 100000 + b"]" * 100000),
    ("q_000000.npy", huge_npy_header),
])
def test_hostile_files_raise_value_error_naming_them(tmp_path, name, content):
    small_run(tmp_path)
    path = tmp_path / name
    path.write_bytes(content(path))
    resource = pytest.importorskip("resource")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:  # room for 1 GiB more than the process maps now
        mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, hard))
    try:
        with pytest.raises(ValueError, match=name):
            lio.read_stats(tmp_path) if name == "stats.json" else lio.load_snapshot(tmp_path, 0)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def test_a_torn_append_reads_as_the_records_before_it(tmp_path):
    small_run(tmp_path, steps=3)
    whole = (tmp_path / "stats.json").read_bytes()
    records = lio.read_stats(tmp_path)
    second = whole.index(b"\n  },", whole.index(b"\n  },") + 1)
    before = whole[:second + 4] + b"\n]"  # the text before the third record
    (tmp_path / ".stats.json.length").write_text(f"{len(before):020d}\n")
    at = len(before) - 2  # the third record's bytes replace the closing "\n]" from here
    for k in (1, 9, len(whole) - at - 1):  # a write torn after k bytes
        (tmp_path / "stats.json").write_bytes(whole[:at + k] + before[at + k:])
        assert lio.read_stats(tmp_path) == records[:2]
