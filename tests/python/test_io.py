"""Run directories read back through lodestra.io, and the ParaView files read back
with VTK's own XML readers."""

import json
import math
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import lodestra
import lodestra.io as lio

vtk_util = pytest.importorskip("vtkmodules.util.numpy_support")
from vtkmodules.vtkIOXML import (vtkXMLImageDataReader, vtkXMLMultiBlockDataReader,  # noqa: E402
                                 vtkXMLPolyDataReader)

from conftest import defect_field  # noqa: E402
from test_defects import rolled  # noqa: E402
from test_lines_3d import wedge_field  # noqa: E402

Q3 = lodestra.QField3D


def params(n=(8, 7, 6)):
    p = lodestra.RidiParams3D.default_test()
    p.nx, p.ny, p.nz = n
    return p


def start_fields(p):
    q0 = Q3.random_perturbation(p.nx, p.ny, p.nz, p.dx, 0.3, 5)
    phi0 = lodestra.ScalarField3D.from_numpy(np.linspace(0.3, 0.7, p.nx * p.ny * p.nz),
                                             p.nx, p.ny, p.nz, p.dx)
    return q0, phi0


@pytest.fixture(scope="module", params=["dry", "bech"])
def run(request, tmp_path_factory):
    """A 6-step run with snapshots after steps 2 and 5, tracked lines."""
    out = tmp_path_factory.mktemp(request.param)
    p = params()
    q0, phi0 = start_fields(p)
    if request.param == "dry":
        q, stats = lodestra.run_ridi_3d(q0, p, 6, 3, str(out), True)
        phi = None
    else:
        q, phi, stats = lodestra.run_ridi_3d_full(q0, phi0, p, 6, 3, str(out), True)
    return dict(kind=request.param, out=out, p=p, q0=q0, phi0=phi0, q=q, phi=phi, stats=stats)


def vti(path):
    r = vtkXMLImageDataReader()
    r.SetFileName(str(path))
    r.Update()
    return r.GetOutput()


def vtp(path):
    r = vtkXMLPolyDataReader()
    r.SetFileName(str(path))
    r.Update()
    return r.GetOutput()


def point_array(data, name):
    return vtk_util.vtk_to_numpy(data.GetPointData().GetArray(name))


def vtk_order(a):
    """(nx, ny, nz, c) field array in VTK's x-fastest point order."""
    return a.transpose(2, 1, 0, 3).reshape(-1, a.shape[-1])


def test_records_and_fields_read_back_exactly(run):
    records = lio.read_stats(run["out"])
    assert len(records) == len(run["stats"]) == 2
    for rec, s in zip(records, run["stats"]):
        assert rec == {k: getattr(s, k) for k in rec}
        assert math.copysign(1, rec["total_line_length"]) == math.copysign(1, s.total_line_length)
    assert ("mean_phi" in records[0]) == (run["kind"] == "bech")
    frame = lio.stats_frame(run["out"])
    assert list(frame.columns) == list(records[0]) and len(frame) == 2
    assert frame["n_events"].dtype.kind == "i" and frame["time"].tolist() == [r["time"] for r in records]
    assert lio.snapshot_steps(run["out"]) == [2, 5]
    snap = lio.load_snapshot(run["out"], 5, dx=run["p"].dx)
    assert (snap.q.q == run["q"].q).all() and snap.q.dx == run["p"].dx
    if run["kind"] == "bech":
        assert (snap.phi.phi == run["phi"].phi).all() and snap.velocity.shape == (8, 7, 6, 3)
    else:
        assert snap.phi is None and snap.velocity is None


def test_restart_from_a_snapshot_reproduces_the_continued_run(run):
    p, out = run["p"], run["out"]
    q, phi, _ = lio.load_snapshot(out, 2, p.dx)
    rest = out / "rest"
    rest.mkdir(exist_ok=True)
    if run["kind"] == "dry":
        q_end, _ = lodestra.run_ridi_3d(q, p, 3, 3, str(rest), False)
    else:
        q_end, phi_end, _ = lodestra.run_ridi_3d_full(q, phi, p, 3, 3, str(rest), False)
        assert (phi_end.phi == run["phi"].phi).all()
    assert (q_end.q == run["q"].q).all()


def test_field_image_holds_the_library_values(run, tmp_path):
    snap = lio.load_snapshot(run["out"], 5, 0.5)
    path = lio.write_vtk(tmp_path / "field", snap.q, phi=snap.phi, velocity=snap.velocity)
    assert path == tmp_path / "field.vti"
    image = vti(path)
    assert image.GetDimensions() == (8, 7, 6) and image.GetSpacing() == (0.5, 0.5, 0.5)
    q = snap.q
    grid = (8, 7, 6, 1)
    assert (point_array(image, "Q") == vtk_order(q.q)).all()
    assert np.allclose(point_array(image, "S"), vtk_order(q.scalar_order().reshape(grid))[:, 0],
                       rtol=0, atol=1e-14)
    assert np.allclose(point_array(image, "P"), vtk_order(q.biaxiality().reshape(grid))[:, 0],
                       rtol=0, atol=1e-14)
    a, b, c, d, e = vtk_order(q.q).T
    tensors = np.stack([[a, b, c], [b, d, e], [c, e, -(a + d)]]).transpose(2, 0, 1)
    largest = np.linalg.eigh(tensors)[1][:, :, 2]
    director = point_array(image, "director")
    assert np.allclose(np.abs(np.einsum("ij,ij->i", director, largest)), 1.0, atol=1e-12)
    if run["kind"] == "bech":
        assert (point_array(image, "phi") == vtk_order(snap.phi.phi.reshape(grid))[:, 0]).all()
        assert (point_array(image, "velocity") == vtk_order(snap.velocity)).all()


def test_director_of_uniaxial_and_isotropic_order():
    s, n = 0.6, np.array([1.0, 2.0, 2.0]) / 3
    qt = s * (np.outer(n, n) - np.eye(3) / 3)
    uni = Q3.uniform(2, 2, 2, 1.0, qt[0, 0], qt[0, 1], qt[0, 2], qt[1, 1], qt[1, 2])
    from lodestra._vtk import _order_and_director
    for field, want in [(uni, n), (Q3.zeros(2, 2, 2, 1.0), np.zeros(3))]:
        S, P, director = _order_and_director(field, field.q.reshape(-1, 5).T.copy())
        assert np.allclose(np.abs(director @ want), want @ want, atol=1e-12)
        assert np.allclose(S, field.scalar_order(), atol=1e-15) and np.allclose(P, 0, atol=1e-12)


def test_line_file_holds_vertices_geometry_and_closed_loops(tmp_path):
    lines = lodestra.DisclinationLine.scan(wedge_field(12, 8, 5, [(3, 4, 1), (9, 4, -1)]))
    poly = vtp(lio.write_vtk(tmp_path / "lines.vtp", lines))
    vertices = np.concatenate([l.vertices for l in lines])
    assert (vtk_util.vtk_to_numpy(poly.GetPoints().GetData()) == vertices).all()
    assert (point_array(poly, "curvature") == np.concatenate([l.curvatures for l in lines])).all()
    assert (point_array(poly, "tangent") == np.concatenate([l.tangents for l in lines])).all()
    assert poly.GetNumberOfLines() == len(lines) == 2
    cells = poly.GetLines()
    ids = vtk_util.vtk_to_numpy(cells.GetConnectivityArray())
    offsets = vtk_util.vtk_to_numpy(cells.GetOffsetsArray())
    for k, line in enumerate(lines):
        cell = ids[offsets[k]:offsets[k + 1]]
        assert len(cell) == len(line) + line.is_loop
        assert (cell[0] == cell[-1]) == line.is_loop
    assert vtp(lio.write_vtk(tmp_path / "none", [])).GetNumberOfPoints() == 0


def test_2d_field_and_its_defects_across_the_seam(tmp_path):
    # The + core rolled onto the seam plaquette (23, 8).
    pair = rolled(defect_field(24, 20, [(6.5, 8.5, 1), (16.5, 14.5, -1)]), -7, 0)
    phi = lodestra.ScalarField2D.from_numpy(np.arange(480.0), 24, 20, 1.0)
    r = vtkXMLMultiBlockDataReader()
    r.SetFileName(str(lio.write_vtk(tmp_path / "pair", pair, dx=2.0, phi=phi)))
    r.Update()
    image, points = r.GetOutput().GetBlock(0), r.GetOutput().GetBlock(1)
    assert image.GetDimensions() == (24, 20, 1) and image.GetSpacing()[0] == 2.0
    assert (point_array(image, "S") == pair.order_param().reshape(24, 20).T.ravel()).all()
    assert (point_array(image, "phi") == np.arange(480.0).reshape(24, 20).T.ravel()).all()
    theta = pair.director_angle().reshape(24, 20).T.ravel()
    assert np.allclose(point_array(image, "director")[:, :2], np.stack([np.cos(theta), np.sin(theta)], 1))
    xyz = vtk_util.vtk_to_numpy(points.GetPoints().GetData())
    assert (xyz == [[19.0, 29.0, 0.0], [47.0, 17.0, 0.0]]).all()
    assert point_array(points, "charge_sign").tolist() == [-1, 1]


def test_run_directory_as_a_paraview_time_series(run):
    pvd = lio.write_run_vtk(run["out"], dx=run["p"].dx)
    root = ET.parse(pvd).getroot()
    assert (root.tag, root.get("type")) == ("VTKFile", "Collection")
    sets = root.find("Collection").findall("DataSet")
    times = [s.time for s in run["stats"]]
    assert [(float(d.get("timestep")), d.get("part")) for d in sets] == [
        (times[0], "0"), (times[0], "1"), (times[1], "0"), (times[1], "1")]
    image = vti(run["out"] / sets[2].get("file"))
    assert (point_array(image, "Q") == vtk_order(run["q"].q)).all()
    lines = vtp(run["out"] / sets[3].get("file"))
    assert lines.GetNumberOfLines() == run["stats"][-1].n_disclination_lines
    # Given the parameters, snapshot s lies at dt*(s+1).
    p = params()
    p.dt = 0.5
    with_params = ET.parse(lio.write_run_vtk(run["out"], lines=False, params=p)).getroot()
    assert [d.get("timestep") for d in with_params.iter("DataSet")] == ["1.5", "3.0"]


def corrupt(out, name, how):
    path = out / name
    raw = path.read_bytes()
    path.write_bytes({"truncate": raw[:-8], "extend": raw + b"\0" * 8, "garbage": b"garbage",
                      "empty": b""}.get(how, how if isinstance(how, bytes) else b""))


STATS = dict(time=0.1, mean_s=0.2, biaxiality_p=0.1, n_disclination_lines=0,
             total_line_length=-0.0, mean_line_curvature=0.0, n_events=0)


@pytest.mark.parametrize("name, how, call", [
    ("q_000005.npy", "truncate", "load"), ("q_000005.npy", "extend", "load"),
    ("q_000005.npy", "garbage", "load"), ("q_000005.npy", "empty", "load"),
    ("phi_000005.npy", "truncate", "load"), ("q_000002.npy", "truncate", "run_vtk"),
    ("stats.json", "truncate", "stats"), ("stats.json", "garbage", "stats"),
    ("stats.json", b'{"time": 1.0}', "stats"), ("stats.json", b"[NaN]", "stats"),
    ("stats.json", json.dumps([dict(STATS, unknown=1)]).encode(), "stats"),
    ("stats.json", json.dumps([dict(STATS, n_events=-1)]).encode(), "stats"),
    ("stats.json", json.dumps([STATS, dict(STATS, mean_phi=0.5)]).encode(), "stats"),
    ("stats.json", b'[{"time": 1.0, "time": 2.0}]', "stats"),
])
def test_corrupt_files_raise_naming_the_file(tmp_path, name, how, call):
    p = params((4, 3, 5))
    q0, phi0 = start_fields(p)
    lodestra.run_ridi_3d_full(q0, phi0, p, 6, 3, str(tmp_path), False)
    corrupt(tmp_path, name, how)
    action = {"load": lambda: lio.load_snapshot(tmp_path, 5), "stats": lambda: lio.read_stats(tmp_path),
              "run_vtk": lambda: lio.write_run_vtk(tmp_path, lines=False)}[call]
    with pytest.raises(ValueError, match=name):
        action()
    assert not (tmp_path / "run.pvd").exists()


def test_missing_files_and_wrong_arguments(tmp_path):
    missing = tmp_path / "nowhere"
    for call in (lio.read_stats, lio.snapshot_steps, lio.write_run_vtk, lambda d: lio.load_snapshot(d, 0)):
        with pytest.raises(FileNotFoundError, match="nowhere"):
            call(missing)
    with pytest.raises(FileNotFoundError, match="stats.json"):
        lio.read_stats(tmp_path)
    with pytest.raises(FileNotFoundError, match="q_000007.npy"):
        lio.load_snapshot(tmp_path, 7)
    assert lio.snapshot_steps(tmp_path) == []
    q = Q3.zeros(2, 3, 4, 1.0)
    with pytest.raises(ValueError, match="phi has 5 values"):
        lio.write_vtk(tmp_path / "f", q, phi=np.zeros(5))
    with pytest.raises(ValueError, match="grid"):
        lio.write_vtk(tmp_path / "f", q, velocity=lodestra.VelocityField3D.zeros(2, 3, 5, 1.0))
    with pytest.raises(TypeError, match="not int"):
        lio.write_vtk(tmp_path / "f", 3)
    with pytest.raises(FileNotFoundError, match="nowhere"):
        lio.write_vtk(missing / "f", q)


def test_submodules_load_their_dependencies_only_when_used():
    code = ("import sys, lodestra, lodestra.io, lodestra.defects; "
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'pandas', 'vtkmodules', 'vtk'}))")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "[]"


def test_order_and_director_blocks_equal_one_pass():
    from lodestra import _vtk
    field = Q3.random_perturbation(33, 32, 17, 1.0, 0.3, 5)  # several blocks and a partial one
    comps = field.q.reshape(-1, 5).T.copy()
    for blocked, whole in zip(_vtk._order_and_director(field, comps),
                              _vtk._order_and_director_block(field, comps)):
        assert blocked.tobytes() == whole.tobytes()
