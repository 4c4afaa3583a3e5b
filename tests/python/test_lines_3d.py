"""DisclinationLine and DisclinationEvent as Python sees them: the scan, the tracker,
properties, reprs and refusals."""

import numpy as np
import pytest

import lodestra
from conftest import pypy_drops_member_docs

LINE = lodestra.DisclinationLine
EVENT = lodestra.DisclinationEvent


def wedge_field(nx, ny, nz, cores, s=0.5):
    """A z-extruded field whose director winds by +-1/2 around each (i0, j0, sign) column."""
    i, j = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
    theta = np.zeros((nx, ny))
    for i0, j0, sign in cores:
        theta += sign * 0.5 * np.arctan2(j - j0, i - i0)
    c, sn = np.cos(theta), np.sin(theta)
    rec = np.stack([s * (c * c - 1 / 3), s * c * sn, 0 * c, s * (sn * sn - 1 / 3), 0 * c], axis=-1)
    full = np.repeat(rec[:, :, None, :], nz, axis=2)
    return lodestra.QField3D.from_numpy(full.reshape(-1, 5), nx, ny, nz, 1.0)


def test_scan_of_a_straight_wedge_line():
    lines = LINE.scan(wedge_field(12, 8, 5, [(3, 4, 1), (9, 4, -1)]))
    assert len(lines) == 2
    line = lines[0]
    assert (len(line), line.charge, line.is_loop) == (5, "half_plus", True)
    assert line.vertices.shape == line.tangents.shape == (5, 3)
    assert line.curvatures.shape == line.torsions.shape == (5,)
    assert np.allclose(line.vertices[:, :2], [3, 4]) and line.mean_curvature() == 0.0
    assert line.length() == pytest.approx(4.0)
    assert repr(line) == "DisclinationLine(n_vertices=5, charge=half_plus, is_loop=true, length=4.0000)"
    arr = line.vertices
    arr[:] = 0
    assert (line.vertices != 0).any()


def test_scan_of_a_pair_and_of_defect_free_fields():
    lines = LINE.scan(wedge_field(12, 8, 4, [(2, 3, 1), (8, 3, -1)]))
    assert sorted(round(l.vertices[0, 0]) for l in lines) == [2, 8]
    assert LINE.scan(lodestra.QField3D.uniform(4, 4, 4, 1.0, 0.3, 0.1, 0.0, -0.1, 0.0)) == []
    assert LINE.scan(lodestra.QField3D.zeros(0, 4, 4, 1.0)) == []


def test_tracking_between_frames():
    a = LINE.scan(wedge_field(12, 12, 4, [(2, 2, 1), (8, 2, -1), (2, 8, -1), (8, 8, 1)]))
    b = LINE.scan(wedge_field(12, 12, 4, [(2, 2, 1), (8, 2, -1)]))
    assert (len(a), len(b)) == (4, 2)
    assert EVENT.track(a, a, 1, 1.0) == []
    events = EVENT.track(a, b, 7, 1.0)
    assert [(e.kind, e.frame) for e in events] == [("annihilation", 7)] * 2
    gone = sorted(tuple(e.position[:2].round(6)) for e in events)
    assert gone == [(2.0, 8.0), (8.0, 8.0)]
    assert [a[e.line_indices[0]].vertices[0, 1] for e in events] == [8.0, 8.0]
    created = EVENT.track([], tuple(b), 2, 1.0)
    assert [e.kind for e in created] == ["creation", "creation"]
    assert repr(created[0]).startswith("DisclinationEvent(frame=2, kind=creation, position=[2.000")
    assert [e.kind for e in EVENT.track(b, b, 0, 0.0)] == ["creation"] * 2 + ["annihilation"] * 2


@pytest.mark.parametrize("args, message", [
    (([1], [], 0, 1.0), "argument 'previous': 'int' object cannot be converted to 'DisclinationLine'"),
    (([], 3, 0, 1.0), "argument 'current': 'int' object cannot be converted to 'list'"),
])
def test_track_refuses_other_types(args, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        EVENT.track(*args)
    with pytest.raises(OverflowError):
        EVENT.track([], [], -1, 1.0)


@pypy_drops_member_docs
def test_classes_and_their_documentation():
    for cls in (LINE, EVENT):
        with pytest.raises(TypeError, match=f"No constructor defined for {cls.__name__}"):
            cls()
        assert cls.__module__ == "builtins"
    assert LINE.charge.__doc__ == 'Topological charge as a string: "half_plus", "half_minus", or "anti".'
    assert EVENT.kind.__doc__ == 'Event type as a string: "creation", "annihilation", or "reconnection".'
    assert LINE.length.__doc__.startswith("Total arc length")
    assert LINE.__doc__.endswith("(Task 17) and are read-only from Python.")
    with pytest.raises(TypeError, match="^argument 'q': "):
        LINE.scan(lodestra.QField2D.zeros(2, 2, 1.0))
