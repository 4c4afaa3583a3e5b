"""Pickling and copies: every class comes back bit for bit through every protocol,
copy, deepcopy and a spawned worker; bad or truncated states are refused."""

import copy
import multiprocessing
import operator
import pickle
import struct

import numpy as np
import pytest

import lodestra
from conftest import defect_field

RESTORE = lodestra._core._restore
CLASSES = ["RidiParams", "QField2D", "ScalarField2D", "VelocityField2D", "SnapStats",
           "BechStats", "DefectInfo", "RidiParams3D", "QField3D", "VelocityField3D",
           "ScalarField3D", "SnapStats3D", "BechStats3D", "DisclinationLine",
           "DisclinationEvent"]
# A quiet NaN with a payload and its sign bit set: text forms of a float lose both.
ODD_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_DEAD_BEEF))[0]
SPECIALS = [ODD_NAN, -0.0, np.inf, -np.inf, 5e-324]


def with_specials(n, seed):
    values = np.random.default_rng(seed).normal(size=n)
    values[: len(SPECIALS)] = SPECIALS
    return values


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    out = {}
    p2 = lodestra.RidiParams.default_test()
    p2.nx, p2.ny, p2.zeta_eff, p2.noise_amp = 8, 6, -0.0, ODD_NAN
    out["RidiParams"] = p2
    q2 = lodestra.QField2D.from_numpy(with_specials(96, 1).reshape(48, 2), 8, 6, 0.75)
    out["QField2D"] = q2
    out["ScalarField2D"] = lodestra.ScalarField2D.from_numpy(with_specials(48, 2), 8, 6, 0.75)
    smooth = lodestra.QField2D.random_perturbation(8, 6, 1.0, 0.1, 4)
    run_p = lodestra.RidiParams.default_test()
    run_p.nx, run_p.ny = 8, 6
    out["VelocityField2D"] = lodestra.stokes_solve(smooth, run_p)
    out["SnapStats"] = lodestra.run_ridi_component1(smooth, run_p, 2, 1)[1][-1]
    phi2 = lodestra.ScalarField2D.uniform(8, 6, 1.0, 0.4)
    out["BechStats"] = lodestra.run_ridi_bech(smooth, phi2, run_p, 2, 1)[2][-1]
    out["DefectInfo"] = lodestra.scan_defects(defect_field(8, 8, [(2.5, 3.5, 1), (5.5, 3.5, -1)]),
                                              np.pi / 2)[1]

    p3 = lodestra.RidiParams3D.default_test()
    p3.nx, p3.ny, p3.nz, p3.dt, p3.noise_amp = 6, 6, 6, 0.01, -0.0
    out["RidiParams3D"] = p3
    out["QField3D"] = lodestra.QField3D.from_numpy(with_specials(5 * 60, 3).reshape(60, 5),
                                                   3, 4, 5, 0.5)
    out["VelocityField3D"] = lodestra.VelocityField3D.uniform(2, 3, 4, 0.5, [1.0, -0.0, ODD_NAN])
    out["ScalarField3D"] = lodestra.ScalarField3D.from_numpy(with_specials(60, 4), 3, 4, 5, 0.5)
    q3 = lodestra.QField3D.random_perturbation(6, 6, 6, 1.0, 0.2, 7)
    _, stats = lodestra.run_ridi_3d(q3, p3, 2, 1, str(tmp_path_factory.mktemp("dry")), True)
    out["SnapStats3D"] = stats[-1]
    phi3 = lodestra.ScalarField3D.uniform(6, 6, 6, 1.0, 0.5)
    out["BechStats3D"] = lodestra.run_ridi_3d_full(q3, phi3, p3, 1, 1,
                                                   str(tmp_path_factory.mktemp("bech")), True)[2][0]
    before = lodestra.DisclinationLine.scan(q3)
    after = lodestra.DisclinationLine.scan(lodestra.QField3D.random_perturbation(6, 6, 6, 1.0,
                                                                                 0.2, 8))
    out["DisclinationLine"] = max(before, key=len)
    events = lodestra.DisclinationEvent.track(before, after, 3, 2.0)
    out["DisclinationEvent"] = max(events, key=lambda e: len(e.line_indices))
    return out


def exact(value):
    """A value in a form that compares bit for bit (NaN payloads and -0.0 included)."""
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return [exact(v) for v in value]
    return value


def fingerprint(obj):
    """Everything Python can read of an object: its class and every property."""
    cls = type(obj)
    props = sorted(n for n, a in vars(cls).items() if type(a).__name__ == "getset_descriptor")
    out = [cls, len(obj) if hasattr(cls, "__len__") else None]
    out += [(n, exact(getattr(obj, n))) for n in props]
    if hasattr(obj, "to_numpy"):
        out.append(exact(obj.to_numpy()))
    return out


WAYS = {f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
        for p in range(pickle.HIGHEST_PROTOCOL + 1)}
WAYS.update(copy=copy.copy, deepcopy=copy.deepcopy)


def test_instances_are_not_trivial(objects):
    line, event = objects["DisclinationLine"], objects["DisclinationEvent"]
    assert len(line) > 3 and np.any(line.curvatures != 0) and np.any(line.torsions != 0)
    assert len(event.line_indices) >= 1
    assert objects["SnapStats3D"].n_disclination_lines > 0


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("name", CLASSES)
def test_round_trip_is_bit_identical(objects, name, way):
    obj = objects[name]
    back = WAYS[way](obj)
    assert back is not obj and type(back) is getattr(lodestra, name)
    assert fingerprint(back) == fingerprint(obj)
    assert back.__reduce__() == obj.__reduce__()


def test_engine_only_parameters_travel():
    p = lodestra.RidiParams3D.default_test()
    state = p.__reduce__()[1][1]
    assert struct.unpack("<3d", state[-24:]) == (0.0, 0.0, 1.0)
    tuned = state[:-24] + struct.pack("<3d", 0.25, -1.5, ODD_NAN)
    q = RESTORE("RidiParams3D", tuned)
    for way in WAYS.values():
        assert way(q).__reduce__()[1][1] == tuned


def test_fields_pickle_as_their_raw_data(objects):
    q = objects["QField3D"]
    assert len(pickle.dumps(q, protocol=5)) < 8 * q.q.size + 200


def test_objects_cross_to_a_spawned_worker(objects):
    items = [objects[n] for n in CLASSES]
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        back = pool.map(copy.deepcopy, items)
        mean_s = pool.apply(operator.methodcaller("mean_s"), (objects["QField3D"],))
    assert [fingerprint(b) for b in back] == [fingerprint(o) for o in items]
    assert exact(mean_s) == exact(objects["QField3D"].mean_s())


def test_surface_is_unchanged():
    assert len(lodestra.__all__) == 24 and "_restore" not in lodestra.__all__
    assert RESTORE.__module__ == "lodestra._core"
    for name in CLASSES:
        cls = getattr(lodestra, name)
        assert cls.__module__ == "builtins"
        if name not in ("RidiParams", "RidiParams3D"):
            with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
                cls()


def state_of(objects, name):
    return objects[name].__reduce__()[1][1]


def u64(value):
    return struct.pack("<Q", value)


@pytest.mark.parametrize("name", CLASSES)
def test_truncated_extended_and_foreign_states_are_refused(objects, name):
    state = state_of(objects, name)
    for cut in {0, 1, 7, len(state) // 2, len(state) - 1}:
        with pytest.raises(ValueError, match=f"^invalid {name} state: truncated$"):
            RESTORE(name, state[:cut])
    with pytest.raises(ValueError, match="1 bytes too many"):
        RESTORE(name, state + b"\0")
    for other in CLASSES:
        if other != name:
            with pytest.raises(ValueError, match=f"^invalid {other} state: a state of another"):
                RESTORE(other, state)


def replace(name, state, offset, raw):
    """`raw` over the state at `offset` from the start of the members (after the class
    name and its NUL) or, when negative, from the end."""
    at = len(name) + 1 + offset if offset >= 0 else len(state) + offset
    return state[:at] + raw + state[at + len(raw):]


NAN_BITS = struct.pack("<d", float("nan"))


@pytest.mark.parametrize("name, state, error", [
    (1, b"", TypeError),
    ("QField2D", "state", TypeError),
    ("QField2D", bytearray(24), TypeError),
    ("QField2D", None, TypeError),
    ("Nope", b"", ValueError),
    ("PanicException", b"", ValueError),
    ("QField2D\0", b"QField2D\0" + u64(0) * 2 + NAN_BITS, ValueError),
])
def test_bad_arguments_are_refused(name, state, error):
    with pytest.raises(error):
        RESTORE(name, state)


@pytest.mark.parametrize("name, offset, raw, message", [
    ("QField2D", 0, NAN_BITS, "truncated|sizes overflow"),
    ("QField2D", 0, u64(2**32) + u64(2**32), "sizes overflow"),
    ("QField3D", 16, u64(2**62), "sizes overflow"),
    ("ScalarField3D", 0, u64(2**40), "truncated"),
    ("DisclinationLine", 0, u64(2**61), "sizes overflow"),
    ("DisclinationLine", 0, u64(2**40), "truncated"),
    ("DisclinationLine", 0, u64(0), "a line without vertices"),
    ("DisclinationEvent", 0, NAN_BITS, "truncated|sizes overflow"),
    ("DisclinationLine", -1, b"\3", "charge 3"),
    ("DisclinationLine", -2, b"\2", "loop flag 2"),
    ("DisclinationEvent", -1, b"\7", "event kind 7"),
    ("DefectInfo", -1, b"\0", "charge sign"),
])
def test_bad_sizes_and_values_are_refused(objects, name, offset, raw, message):
    state = state_of(objects, name)
    with pytest.raises(ValueError, match=message):
        RESTORE(name, replace(name, state, offset, raw))
