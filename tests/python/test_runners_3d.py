"""The 3D runners: step order, snapshot files, stats.json, records and bad output paths."""

import hashlib
import json
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import lodestra

Q3 = lodestra.QField3D
PHI3 = lodestra.ScalarField3D


def small_params(nx=6, ny=5, nz=4, noise=0.0):
    p = lodestra.RidiParams3D.default_test()
    p.nx, p.ny, p.nz, p.noise_amp = nx, ny, nz, noise
    return p


def dry(tmp_path, n_steps, snap_every, track=False, noise=0.0, q=None):
    p = small_params(noise=noise)
    q0 = q or Q3.random_perturbation(p.nx, p.ny, p.nz, p.dx, 0.05, 3)
    return p, q0, lodestra.run_ridi_3d(q0, p, n_steps, snap_every, str(tmp_path), track)


def bech(tmp_path, n_steps, snap_every, track=False, noise=0.0):
    p = small_params(noise=noise)
    q0 = Q3.random_perturbation(p.nx, p.ny, p.nz, p.dx, 0.05, 3)
    phi0 = PHI3.from_numpy(np.linspace(0.3, 0.7, p.nx * p.ny * p.nz), p.nx, p.ny, p.nz, p.dx)
    return p, q0, phi0, lodestra.run_ridi_3d_full(q0, phi0, p, n_steps, snap_every,
                                                   str(tmp_path), track)


def npy_files(path):
    return sorted(f.name for f in pathlib.Path(path).iterdir() if f.suffix == ".npy")


def test_no_steps_returns_a_copy_and_empty_stats(tmp_path):
    p, q0, (q, stats) = dry(tmp_path, 0, 1)
    assert stats == [] and (q.q == q0.q).all() and q is not q0
    assert (tmp_path / "stats.json").read_text() == "[]"
    assert npy_files(tmp_path) == []


def test_dry_schedule_files_and_records_match_stats_json(tmp_path):
    p, _, (q, stats) = dry(tmp_path, 10, 5)
    assert npy_files(tmp_path) == ["q_000004.npy", "q_000009.npy"]
    assert [s.time for s in stats] == [p.dt * 5, p.dt * 10]
    assert (np.load(tmp_path / "q_000009.npy") == q.q).all()
    entries = json.loads((tmp_path / "stats.json").read_text())
    keys = ["time", "mean_s", "biaxiality_p", "n_disclination_lines", "total_line_length",
            "mean_line_curvature", "n_events"]
    assert [list(e) for e in entries] == [keys, keys]
    for s, e in zip(stats, entries):
        assert [getattr(s, k) for k in keys] == [e[k] for k in keys]
    last = stats[-1]
    assert last.mean_s == q.mean_s() and last.biaxiality_p == pytest.approx(q.biaxiality().mean())
    # Without tracking: no lines, a length that keeps its negative zero, no events.
    assert (last.n_disclination_lines, last.mean_line_curvature, last.n_events) == (0, 0.0, 0)
    assert math.copysign(1.0, last.total_line_length) == -1.0
    assert '"total_line_length": -0.0' in (tmp_path / "stats.json").read_text()
    assert repr(last) == (f"SnapStats3D(time=0.1000, mean_s={last.mean_s:.4f}, "
                          "n_disclination_lines=0, total_line_length=-0.0000)")


def test_snapshot_header_follows_the_parameters(tmp_path):
    p = small_params(16, 16, 16)
    q0 = Q3.zeros(16, 16, 16, 1.0)
    lodestra.run_ridi_3d(q0, p, 1, 1, str(tmp_path), False)
    raw = (tmp_path / "q_000000.npy").read_bytes()
    assert len(raw) == 163968 and raw[:8] == b"\x93NUMPY\x01\x00"
    assert raw[8] | raw[9] << 8 == 118 and raw[127:128] == b"\n"


def test_tracking_finds_a_straight_line_and_no_events_while_it_stays(tmp_path):
    nx = ny = 8
    nz = 4
    i, j = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
    theta = 0.5 * np.arctan2(j - 3, i - 2) - 0.5 * np.arctan2(j - 3, i - 6)
    n = np.stack([np.cos(theta), np.sin(theta), np.zeros_like(theta)], axis=-1)
    s = 0.5
    rec = np.stack([s * (n[..., 0] ** 2 - 1 / 3), s * n[..., 0] * n[..., 1], s * 0 * n[..., 0],
                    s * (n[..., 1] ** 2 - 1 / 3), 0 * n[..., 0]], axis=-1)
    q0 = Q3.from_numpy(np.repeat(rec[:, :, None, :], nz, axis=2).reshape(-1, 5), nx, ny, nz, 1.0)
    p = small_params(nx, ny, nz)
    p.dt = 0.001
    _, stats = lodestra.run_ridi_3d(q0, p, 2, 1, str(tmp_path), True)
    assert [r.n_disclination_lines for r in stats] == [2, 2]
    assert [r.n_events for r in stats] == [0, 0]
    assert stats[0].total_line_length == 2 * nz and stats[0].mean_line_curvature == 0.0


def test_noise_is_bit_identical_across_runs_and_processes(tmp_path):
    code = ("import lodestra, hashlib, sys\n"
            "p = lodestra.RidiParams3D.default_test(); p.nx, p.ny, p.nz = 6, 5, 4\n"
            "p.noise_amp = 0.1\n"
            "q0 = lodestra.QField3D.random_perturbation(6, 5, 4, 1.0, 0.05, 3)\n"
            "q, _ = lodestra.run_ridi_3d(q0, p, 3, 0, sys.argv[1], False)\n"
            "print(hashlib.sha256(q.q.tobytes()).hexdigest())\n")
    runs = [subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True,
                           text=True, check=True).stdout for _ in range(2)]
    _, _, (q, _) = dry(tmp_path, 3, 0, noise=0.1)
    assert runs[0] == runs[1] == hashlib.sha256(q.q.tobytes()).hexdigest() + "\n"
    _, _, (quiet, _) = dry(tmp_path, 3, 0)
    assert not (quiet.q == q.q).all()


def test_missing_directory_warns_per_file_and_the_run_completes(tmp_path, capfd):
    missing = tmp_path / "absent"
    p, q0, phi0, (q, phi, stats) = bech(missing, 4, 2)
    err = capfd.readouterr().err.splitlines()
    assert len(stats) == 2 and len(err) == 7  # stats.json once, at its first failure
    assert err[0] == (f"[runner_3d] warn: failed to write {missing}/q_000001.npy: "
                      "No such file or directory (os error 2)")
    assert err[3] == (f"[runner_3d] warn: failed to write {missing}/stats.json: "
                      "No such file or directory (os error 2)")
    assert not missing.exists()


def test_bech_schedule_velocity_before_the_step_and_conserved_phi(tmp_path):
    p, q0, phi0, (q, phi, stats) = bech(tmp_path, 4, 2)
    assert npy_files(tmp_path) == ["phi_000001.npy", "phi_000003.npy", "q_000001.npy",
                                   "q_000003.npy", "vel_000001.npy", "vel_000003.npy"]
    assert np.load(tmp_path / "phi_000003.npy").shape == (p.nx, p.ny, p.nz, 1)
    assert (np.load(tmp_path / "phi_000003.npy").ravel() == phi.phi).all()
    assert [r.mean_phi for r in stats] == pytest.approx([phi0.mean()] * 2, rel=1e-13)
    assert stats[-1].mean_phi == phi.mean()
    vel = np.load(tmp_path / "vel_000003.npy")
    assert vel.shape == (p.nx, p.ny, p.nz, 3) and np.abs(vel).max() > 0
    entries = json.loads((tmp_path / "stats.json").read_text())
    assert list(entries[0])[3] == "mean_phi"
    assert repr(stats[0]).startswith("BechStats3D(time=0.0200, mean_s=")
    assert [f for f in os.listdir(tmp_path) if not f.endswith((".npy", ".json"))] == []


def test_bech_zero_q_gives_no_flow(tmp_path):
    p = small_params()
    q0 = Q3.zeros(p.nx, p.ny, p.nz, 1.0)
    phi0 = PHI3.uniform(p.nx, p.ny, p.nz, 1.0, 0.5)
    lodestra.run_ridi_3d_full(q0, phi0, p, 1, 1, str(tmp_path), False)
    assert (np.load(tmp_path / "vel_000000.npy") == 0).all()


@pytest.mark.parametrize("call", [
    lambda q, phi, p, d: lodestra.run_ridi_3d(q, p, 1, 1, pathlib.Path(d), False),
    lambda q, phi, p, d: lodestra.run_ridi_3d(q, p, 1, 1, d, 1),
    lambda q, phi, p, d: lodestra.run_ridi_3d_full(q, q, p, 1, 1, d, False),
])
def test_argument_types_are_refused_with_their_name(call, tmp_path):
    p = small_params()
    q = Q3.zeros(p.nx, p.ny, p.nz, 1.0)
    with pytest.raises(TypeError, match=r"^argument '(out_dir|track_defects|phi_init)': '"):
        call(q, PHI3.zeros(p.nx, p.ny, p.nz, 1.0), p, str(tmp_path))


def test_mismatched_grids_panic_before_any_step(tmp_path):
    p = small_params()
    with pytest.raises(lodestra.PanicException):
        lodestra.run_ridi_3d_full(Q3.zeros(6, 5, 4, 1.0), PHI3.zeros(6, 5, 3, 1.0), p, 2, 1,
                                  str(tmp_path), False)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", ["with space", "ünïcode"])
def test_unusual_paths_and_empty_grids(tmp_path, name):
    target = tmp_path / name
    target.mkdir()
    _, _, (q, stats) = dry(target, 2, 1)
    assert npy_files(target) == ["q_000000.npy", "q_000001.npy"]
    empty = Q3.zeros(0, 5, 4, 1.0)
    q, stats = lodestra.run_ridi_3d(empty, small_params(noise=0.1), 2, 1, str(target), True)
    assert len(q) == 0 and math.isnan(stats[0].mean_s)
