"""The module frame: registration, docstrings, calling conventions, conversions."""

import hashlib
import inspect

import numpy as np
import pytest

import lodestra
from conftest import cpython39_drops_class_signature, pypy_drops_member_docs

REGISTERED_2D = [
    "RidiParams", "QField2D", "ScalarField2D", "VelocityField2D", "SnapStats", "BechStats",
    "DefectInfo", "run_ridi_component1", "run_ridi_component1_hydro", "run_ridi_bech",
    "stokes_solve", "k0_convolution", "scan_defects", "ch_step_etd",
]
REGISTERED_3D = [
    "RidiParams3D", "QField3D", "VelocityField3D", "ScalarField3D", "SnapStats3D", "BechStats3D",
    "DisclinationLine", "DisclinationEvent", "run_ridi_3d", "run_ridi_3d_full",
]
CLASSES = REGISTERED_2D[:7] + REGISTERED_3D[:8]


def test_all_lists_the_registered_names_in_order():
    assert lodestra.__all__ == REGISTERED_2D + REGISTERED_3D
    for name in lodestra.__all__:
        assert getattr(lodestra, name) is not None


def test_module_docstring_blocks():
    doc = lodestra.__doc__
    blocks = doc.split("\n\n")
    assert blocks[0].startswith("lodestra -- active nematics simulation library (")
    assert blocks[0].endswith(").")
    assert blocks[1].startswith("Build\n-----\n  ")
    assert "  # workspace root" in blocks[1]
    assert len(blocks[1].splitlines()) == 5
    assert blocks[2].splitlines() == [
        "Quick start",
        "-----------",
        "  import lodestra, numpy as np",
        "  p  = lodestra.RidiParams.default_test()",
        "  q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.001, 42)",
        "  q_fin, stats = lodestra.run_ridi_component1(q0, p, 5000, 100)",
        "  S = np.array(q_fin.order_param()).reshape(p.nx, p.ny)",
    ]


def test_quick_start_runs_as_written():
    quick = lodestra.__doc__.split("Quick start\n-----------\n")[1]
    namespace = {}
    exec("\n".join(line[2:] for line in quick.splitlines()), namespace)
    assert namespace["S"].shape == (64, 64)
    assert len(namespace["stats"]) == 51


# SHA-256 of the quick start's final Q field (its to_numpy() bytes, little-endian float64
# records), computed once under CPython. The run has no reductions in its field update, so
# every interpreter and every instruction set must give these bytes exactly.
QUICK_START_SHA256 = "0d8ac4ea7ce2c454d3dfe4065d32e1ae944c70c6a46e9fc97938e613e13db577"


def test_quick_start_final_field_is_bit_identical_under_every_interpreter():
    p = lodestra.RidiParams.default_test()
    q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.001, 42)
    q_fin, _ = lodestra.run_ridi_component1(q0, p, 5000, 100)
    values = q_fin.to_numpy()
    assert values.dtype.str == "<f8" and values.flags.c_contiguous
    assert hashlib.sha256(values.tobytes()).hexdigest() == QUICK_START_SHA256


@pytest.mark.parametrize("name", CLASSES)
def test_classes_live_in_builtins(name):
    cls = getattr(lodestra, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name


@pytest.mark.parametrize("name", [n for n in CLASSES if not n.startswith("RidiParams")])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        getattr(lodestra, name)()


def test_panic_exception_is_a_base_exception():
    exc = lodestra.PanicException
    assert issubclass(exc, BaseException) and not issubclass(exc, Exception)
    assert "BaseException" in exc.__doc__ and "SystemExit" in exc.__doc__
    q = lodestra.QField2D.zeros(4, 4, 1.0)
    p = lodestra.RidiParams.default_test()
    caught = None
    try:
        try:
            lodestra.run_ridi_component1(q, p, 10, 0)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as err:  # noqa: BLE001
        caught = err
    assert type(caught) is lodestra.PanicException
    # The module keeps working afterwards.
    assert len(lodestra.run_ridi_component1(q, p, 1, 1)[1]) == 2


@pytest.mark.parametrize("func, text", [
    (lodestra.run_ridi_component1, "(q_init, params, n_steps, snap_every)"),
    (lodestra.run_ridi_component1_hydro, "(q_init, params, n_steps, snap_every)"),
    (lodestra.run_ridi_bech, "(q_init, phi_init, params, n_steps, snap_every)"),
    (lodestra.stokes_solve, "(q, params)"),
    (lodestra.k0_convolution, "(q_rot, params)"),
    (lodestra.scan_defects, "(q, threshold=...)"),
    (lodestra.ch_step_etd, "(phi, q_lip, v, params)"),
    (lodestra.QField2D.zeros, "(nx, ny, dx)"),
    (lodestra.QField2D.uniform, "(nx, ny, dx, q1, q2)"),
    (lodestra.QField2D.random_perturbation, "(nx, ny, dx, amplitude, seed)"),
    (lodestra.QField2D.from_numpy, "(arr, nx, ny, dx)"),
    pytest.param(lodestra.QField2D.to_numpy, "($self)", marks=pypy_drops_member_docs),
    (lodestra.ScalarField2D.uniform, "(nx, ny, dx, val)"),
    (lodestra.RidiParams.default_test, "()"),
    pytest.param(lodestra.RidiParams.validate, "($self)", marks=pypy_drops_member_docs),
])
def test_text_signatures(func, text):
    assert func.__text_signature__ == text
    inspect.signature(func)  # introspection can read it


@cpython39_drops_class_signature
def test_constructor_signature_is_introspectable():
    sig = inspect.signature(lodestra.RidiParams)
    assert list(sig.parameters)[:3] == ["nx", "ny", "dx"]
    assert sig.parameters["m_l"].default == 0.1
    assert lodestra.RidiParams.__doc__ == (
        "All physical and numerical parameters for the RIDI + lipid simulation.")


def test_function_docstrings():
    assert lodestra.run_ridi_component1.__doc__ == (
        "Run Component 1: single-phase RIDI dry active nematic.\n\n"
        "Returns (QField2D, list[SnapStats]).")
    assert lodestra.run_ridi_component1_hydro.__doc__.splitlines() == [
        "Run Component 1 with full hydrodynamic flow coupling (spectral Stokes).", "",
        "At each time step the Stokes velocity field is re-computed from the active",
        "stress `σ^a = ζ_eff Q` via the stream-function biharmonic equation solved",
        "spectrally. This enables the active flow instability that drives turbulence",
        "with the scaling `ρ_d ~ ζ_eff / K_r`.", "",
        "Returns `(QField2D, list[SnapStats])`."]
    assert lodestra.run_ridi_bech.__doc__ == (
        "Run the full Beris-Edwards-Cahn-Hilliard (BECH) simulation.\n\n"
        "Couples the active rotor Q-field (BE + Stokes) to the lyotropic lipid\n"
        "volume fraction φ_l (CH-ETD1 + Maier-Saupe).  See `run_ridi_bech` in\n"
        "lodestra-solver for the full algorithm description.\n\n"
        "Returns `(QField2D, ScalarField2D, list[BechStats])`.")
    assert lodestra.stokes_solve.__doc__ == (
        "Solve the 2D incompressible Stokes equation for the active velocity field.\n\n"
        "Returns the velocity field driven by `σ^a = ζ_eff Q` via spectral inversion\n"
        "of the stream-function biharmonic equation.")
    assert lodestra.k0_convolution.__doc__ == "Apply the K₀ transfer map Q_lip = M_SM(Q_rot)."
    assert lodestra.scan_defects.__doc__ == (
        "Holonomy-based disclination detection.\n\n"
        "threshold: rotation angle cutoff in radians (default: pi/2).")
    assert lodestra.ch_step_etd.__doc__ == (
        "Advance the CH field by one ETD1 step.\n\n"
        "Useful for custom time-loop control from Python (e.g., alternating\n"
        "parameter sweeps or checkpointing at non-uniform intervals).")
    assert lodestra.QField2D.zeros.__doc__ is None
    assert lodestra.RidiParams.a_eff.__doc__ is None
    assert lodestra.SnapStats.__doc__ == "Per-snapshot statistics from a simulation run."
    assert lodestra.BechStats.__doc__ == (
        "Per-snapshot statistics from a BECH (full two-field) simulation run.")
    assert lodestra.DefectInfo.__doc__ == (
        "Detected topological disclination with plaquette location and charge.")


def test_positional_and_keyword_arguments_agree():
    a = lodestra.QField2D.zeros(nx=4, ny=4, dx=1.0)
    b = lodestra.QField2D.zeros(4, 4, 1.0)
    c = lodestra.QField2D.zeros(4, dx=1.0, ny=4)
    assert repr(a) == repr(b) == repr(c)
    assert (a.to_numpy() == c.to_numpy()).all()


@pytest.mark.parametrize("call, message", [
    (lambda: lodestra.QField2D.zeros(4, 4),
     "QField2D.zeros() missing 1 required positional argument: 'dx'"),
    (lambda: lodestra.QField2D.zeros(4),
     "QField2D.zeros() missing 2 required positional arguments: 'ny' and 'dx'"),
    (lambda: lodestra.QField2D.zeros(),
     "QField2D.zeros() missing 3 required positional arguments: 'nx', 'ny', and 'dx'"),
    (lambda: lodestra.QField2D.zeros(4, 4, 1.0, 5),
     "QField2D.zeros() takes 3 positional arguments but 4 were given"),
    (lambda: lodestra.QField2D.zeros(4, 4, 1.0, nz=3),
     "QField2D.zeros() got an unexpected keyword argument 'nz'"),
    (lambda: lodestra.QField2D.zeros(4, 4, 1.0, nx=3),
     "QField2D.zeros() got multiple values for argument 'nx'"),
    (lambda: lodestra.scan_defects(None, 1.0, 2.0),
     "scan_defects() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: lodestra.RidiParams.default_test().a_eff(1),
     "RidiParams.a_eff() takes 0 positional arguments but 1 was given"),
    (lambda: lodestra.stokes_solve(),
     "stokes_solve() missing 2 required positional arguments: 'q' and 'params'"),
])
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_count_conversion():
    with pytest.raises(OverflowError) as err:
        lodestra.QField2D.zeros(-1, 4, 1.0)
    assert not str(err.value).startswith("argument")
    with pytest.raises(OverflowError):
        lodestra.QField2D.zeros(2**64, 4, 1.0)
    with pytest.raises(TypeError, match="^argument 'nx': "):
        lodestra.QField2D.zeros(4.5, 4, 1.0)
    with pytest.raises(TypeError, match="^argument 'ny': "):
        lodestra.QField2D.zeros(4, "4", 1.0)
    assert len(lodestra.QField2D.zeros(np.int64(3), True, 1.0)) == 3


def test_real_conversion():
    with pytest.raises(TypeError, match="^argument 'dx': "):
        lodestra.QField2D.zeros(4, 4, "1.0")
    field = lodestra.QField2D.zeros(4, 4, np.float32(0.5))
    assert field.dx == 0.5
    assert lodestra.QField2D.zeros(4, 4, 2).dx == 2.0


def test_class_conversion_names_argument_and_types():
    p = lodestra.RidiParams.default_test()
    with pytest.raises(TypeError) as err:
        lodestra.run_ridi_component1([], p, 10, 1)
    assert str(err.value) == "argument 'q_init': 'list' object cannot be converted to 'QField2D'"
    q = lodestra.QField2D.zeros(4, 4, 1.0)
    with pytest.raises(TypeError, match="^argument 'params': 'QField2D' object cannot be "
                                        "converted to 'RidiParams'$"):
        lodestra.run_ridi_component1(q, q, 10, 1)
    # Only the first failure, in signature order, is reported.
    with pytest.raises(TypeError, match="^argument 'q_init'"):
        lodestra.run_ridi_component1(None, None, -1, 1)


def test_import_loads_only_the_core():
    import subprocess
    import sys

    code = ("import sys, lodestra; heavy = ('matplotlib', 'pandas', 'vtk', 'dask', 'lodestra.io',"
            " 'lodestra.plot', 'lodestra.defects', 'lodestra.ensemble');"
            " print(sorted(m for m in sys.modules if m.split('.')[0] in heavy or m in heavy))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
    assert lodestra.__doc__ is lodestra._core.__doc__
    with pytest.raises(AttributeError, match="has no attribute 'nonexistent'"):
        lodestra.nonexistent  # noqa: B018
