"""Every public callable of the module, called with generated arguments: wrong types,
grid sizes 0/1/2 and sizes whose products overflow, NaN and infinities, strided,
read-only, byte-swapped and zero-strided arrays, fields of different grids, parameter
sets made invalid by setters. Each call returns or raises one of the documented
exception classes, and leaves every argument as it was."""

import inspect
import math
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import lodestra

DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, lodestra.PanicException)
SETTINGS = settings(max_examples=25, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))

# Sizes whose storage either fits easily or can never be had (2^40 doubles is 8 TiB):
# nothing in between, so no call tries to fill the machine's memory.
# Values of the declared kind (edge values included) and values of the wrong type.
COUNTS = [0, 1, 2, 3, 2**40, 2**64 - 1, True, np.int64(2)]
STEPS = [0, 1, 2]
REALS = [0.0, -0.0, 1.0, 0.5, -2.0, math.nan, math.inf, -math.inf, 1e308, 5e-324,
         np.float32(0.25), np.float64(2.0), 7]
WRONG = [2**64, -1, 2.0, "2", None, 1j, np.complex128(1.0), [1.0], object()]


def arrays():
    base = np.arange(8.0).reshape(4, 2) - 2.5
    frozen = base.copy()
    frozen.setflags(write=False)
    return [base, base.astype(">f8"), base[::-1], np.asfortranarray(base), frozen,
            np.broadcast_to(np.array([0.5, -0.5]), (4, 2)), np.zeros((8, 5)),
            np.zeros((8, 5))[::2], np.zeros(4), np.arange(8.0)[::2], np.zeros(0),
            np.zeros((0, 2)), np.full((4, 2), math.nan), np.zeros((4, 2), dtype=np.float32),
            np.zeros((4, 2), dtype=np.int64), np.zeros((4, 2), dtype=np.complex128),
            np.zeros((2, 2, 2)), np.broadcast_to(0.0, (2**40,)), [[0.0, 0.0]] * 4, 3.0]


def params_pool():
    p2, p3 = lodestra.RidiParams.default_test(), lodestra.RidiParams3D.default_test()
    bad2, bad3 = lodestra.RidiParams.default_test(), lodestra.RidiParams3D.default_test()
    bad2.dt, bad2.nx, bad2.zeta_eff, bad2.m_l, bad2.kappa_ch = math.nan, 0, math.inf, -1.0, 0.0
    bad3.dt, bad3.nz, bad3.zeta_eff, bad3.noise_amp = -1.0, 0, -math.inf, math.nan
    return [p2, p3, bad2, bad3]


def field_pool():
    Q, PHI, Q3, PHI3 = (lodestra.QField2D, lodestra.ScalarField2D, lodestra.QField3D,
                        lodestra.ScalarField3D)
    p = lodestra.RidiParams.default_test()
    q44 = Q.random_perturbation(4, 4, 1.0, 0.3, 1)
    return [q44, Q.zeros(0, 3, 1.0), Q.uniform(1, 1, 0.5, 0.1, -0.1),
            Q.random_perturbation(2, 3, 1.0, 0.5, 2),
            Q.from_numpy(np.full((4, 2), math.nan), 2, 2, 1.0),
            PHI.uniform(4, 4, 1.0, 0.2), PHI.zeros(2, 3, 1.0), PHI.uniform(1, 1, math.inf, 0.0),
            lodestra.stokes_solve(q44, p), lodestra.stokes_solve(Q.zeros(2, 3, 1.0), p),
            Q3.random_perturbation(2, 3, 2, 1.0, 0.3, 1), Q3.zeros(1, 1, 1, 1.0),
            PHI3.uniform(2, 3, 2, 1.0, 0.1), PHI3.zeros(2, 2, 2, 1.0),
            lodestra.VelocityField3D.uniform(2, 3, 2, 1.0, [0.1, 0.0, -0.1]),
            lodestra.VelocityField3D.zeros(1, 1, 1, 1.0)]


def pool(tmp_dir):
    fields = field_pool()
    q3 = lodestra.QField3D.random_perturbation(4, 4, 4, 1.0, 0.5, 3)
    lines = lodestra.DisclinationLine.scan(q3)
    records = (lodestra.run_ridi_bech(fields[0], fields[5], params_pool()[0], 1, 1)[2]
               + lodestra.scan_defects(fields[0], 0.1))
    by_role = {
        "count": COUNTS, "steps": STEPS, "real": REALS, "arr": arrays(),
        "field": fields, "params": params_pool(),
        "path": [str(tmp_dir), str(tmp_dir / "missing" / "dir"), "", "a\0b", b"bytes", None],
        "flag": [True, False],
        "vector": [[0.1, 0.0, -0.1], (0.0, 0.0, 0.0), [0.0, 0.0], [math.nan] * 3, "abc", 1.0],
        "lines": [[], lines, lines[:1], [None], fields[:1], "lines"],
        "record": records,
    }
    # Not the large counts: given as a number of steps they would run for ever.
    by_role["any"] = [v for role, values in by_role.items() if role != "count"
                      for v in values] + WRONG
    by_role["instance"] = fields + by_role["params"] + records + list(lines) + [None, 1.0]
    return by_role


ROLES = {
    "nx": "count", "ny": "count", "nz": "count", "seed": "count", "frame": "count",
    "n_steps": "steps", "snap_every": "steps", "arr": "arr", "out_dir": "path",
    "track_defects": "flag", "u": "vector", "previous": "lines", "current": "lines",
    "params": "params", "self": "instance",
    **{name: "field" for name in ("q", "q_init", "q_rot", "q_lip", "phi", "phi_init", "v")},
}


def parameter_names(obj):
    try:
        return list(inspect.signature(obj).parameters)
    except ValueError:  # CPython 3.9 keeps no signature of a class made from a spec
        return None


def public_callables():
    """(name, callable, parameter names) of every function, constructor, static
    constructor and method, methods taking their instance as the first argument."""
    found = []
    for name in lodestra.__all__:
        obj = getattr(lodestra, name)
        if not isinstance(obj, type):
            found.append((name, obj, parameter_names(obj)))
            continue
        if name.startswith("RidiParams") and parameter_names(obj) is not None:
            found.append((name, obj, parameter_names(obj)))
        for attr, raw in vars(obj).items():
            if attr.startswith("__") or type(raw).__name__ == "getset_descriptor":
                continue
            member = getattr(obj, attr)
            params = parameter_names(member) if isinstance(
                raw, staticmethod) or type(raw).__name__ == "staticmethod" else ["self"]
            found.append((f"{name}.{attr}", member, params))
    return found


CALLABLES = public_callables()


def snapshot(value):
    """A comparable picture of everything a call could change in its argument."""
    if isinstance(value, np.ndarray):
        root = value  # a huge broadcast view is pictured by the memory it views
        while isinstance(root.base, np.ndarray):
            root = root.base
        data = value if value.size <= 10**6 else root
        return ("array", value.dtype.str, value.shape, value.strides, value.flags.writeable,
                data.tobytes())
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(snapshot(v) for v in value))
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if type(value).__module__ == "builtins" and type(value).__name__ in lodestra.__all__:
        state = []
        for attr, raw in sorted(vars(type(value)).items()):
            if type(raw).__name__ == "getset_descriptor":
                state.append((attr, snapshot(getattr(value, attr))))
        if hasattr(value, "to_numpy"):
            state.append(("values", snapshot(value.to_numpy())))
        return (type(value).__name__, tuple(state))
    return ("other", repr(value))


def call_checked(fn, args, kwargs):
    before = [snapshot(v) for v in list(args) + list(kwargs.values())]
    try:
        fn(*args, **kwargs)
    except DOCUMENTED:
        pass
    after = [snapshot(v) for v in list(args) + list(kwargs.values())]
    assert after == before, "an argument changed"


@pytest.mark.parametrize("name, fn, params", CALLABLES, ids=[c[0] for c in CALLABLES])
@SETTINGS
@given(data=st.data())
def test_every_callable_returns_or_raises_a_documented_error(tmp_path, monkeypatch, name, fn,
                                                            params, data):
    # An empty out_dir means the working directory: keep it the temporary one.
    monkeypatch.chdir(tmp_path)
    values = pool(tmp_path)
    # Mostly every parameter, sometimes fewer or one too many; the first `positional` of
    # them by position, the rest by keyword.
    full = len(params)
    count = data.draw(st.sampled_from([full] * 6 + [max(full - 1, 0), full + 1]))
    positional = data.draw(st.integers(0, count))
    # Every argument drawn from the values of its declared kind (edge values among them),
    # except at most one drawn from everything, wrong types included.
    anything = data.draw(st.integers(-2 * count, count - 1)) if count else -1
    args, kwargs = [], {}
    for i in range(count):
        pname = params[i] if i < len(params) else "extra"
        role = ROLES.get(pname, "real" if pname != "extra" else "any")
        role = "any" if i == anything else role
        candidates = values[role]
        if pname == "self":  # mostly an instance of the method's own class
            own = [v for v in candidates if type(v).__name__ == name.split(".")[0]]
            candidates = own * 3 + candidates if own else candidates
        value = data.draw(st.sampled_from(candidates))
        if i < positional or pname == "self":
            args.append(value)
        else:
            kwargs[pname] = value
    call_checked(fn, args, kwargs)


def settable(cls):
    p = cls.default_test()
    names = []
    for attr, raw in vars(cls).items():
        if type(raw).__name__ == "getset_descriptor":
            try:
                setattr(p, attr, getattr(p, attr))
                names.append(attr)
            except AttributeError:  # read-only
                pass
    return names


SETTABLE = [(cls, attr) for cls in (lodestra.RidiParams, lodestra.RidiParams3D)
            for attr in settable(cls)]


@SETTINGS
@given(data=st.data())
def test_parameter_setters_and_operators_on_the_result(tmp_path, data):
    values = pool(tmp_path)
    cls, attr = data.draw(st.sampled_from(SETTABLE))
    p = cls.default_test()
    value = data.draw(st.sampled_from(values["count"] + values["real"]))
    before = snapshot(value)
    try:
        setattr(p, attr, value)
    except DOCUMENTED:
        assert snapshot(p) == snapshot(cls.default_test()), "a refused value was stored"
    assert snapshot(value) == before
    # Whatever was stored, every reader and operator of the set stays well behaved.
    for method in ("a_eff", "defect_length", "pi_number", "ch_coherence_length", "phi_eq",
                   "validate"):
        call_checked(getattr(p, method), [], {})
    repr(p)
    field = data.draw(st.sampled_from(values["field"]))
    for fn in (lodestra.stokes_solve, lodestra.k0_convolution):
        call_checked(fn, [field, p], {})
    call_checked(lodestra.run_ridi_component1, [field, p, 2, 1], {})
