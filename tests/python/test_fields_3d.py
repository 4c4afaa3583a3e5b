"""The 3D field classes: constructors, observables, reprs and NumPy interchange."""

import math
import struct

import numpy as np
import pytest

import lodestra
from conftest import pypy_drops_member_docs

Q = lodestra.QField3D
PHI = lodestra.ScalarField3D
U = lodestra.VelocityField3D
MASK = 2**64 - 1


def xoshiro_samples(seed, amplitude, count):
    """xoshiro256++ seeded by SplitMix64; u from the top 52 bits as a double in [1, 2)."""
    s = []
    for m in range(4):
        z = (seed + (m + 1) * 0x9E3779B97F4A7C15) & MASK
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        s.append(z ^ (z >> 31))
    rotl = lambda x, k: ((x << k) | (x >> (64 - k))) & MASK
    out = []
    for _ in range(count):
        x = (rotl((s[0] + s[3]) & MASK, 23) + s[0]) & MASK
        t = (s[1] << 17) & MASK
        s[2] ^= s[0]; s[3] ^= s[1]; s[1] ^= s[2]; s[0] ^= s[3]; s[2] ^= t
        s[3] = rotl(s[3], 45)
        u = struct.unpack("<d", struct.pack("<Q", (x >> 12) | 0x3FF0000000000000))[0] - 1.0
        out.append(amplitude * 2.0 * u - amplitude)
    return out


@pypy_drops_member_docs
def test_docstrings():
    assert Q.__doc__.startswith("3D Q-tensor field with numpy interop.\n\n")
    assert "k = (i*ny + j)*nz + l" in Q.__doc__ and "(nx*ny*nz, 5)" in Q.__doc__
    assert PHI.__doc__.startswith("3D scalar field with numpy interop.\n\n")
    assert PHI.__doc__.endswith("The `.phi` property returns a flat 1D array of length "
                                "nx*ny*nz.\nReshape in Python to (nx, ny, nz) as needed.")
    assert U.__doc__.startswith("3D velocity field with numpy interop.\n\n")
    assert U.__doc__.endswith("\nThe `.u` property returns a (nx, ny, nz, 3) array.")
    assert Q.uniform.__doc__ == (
        "Uniform 3D Q-tensor field. Provide the five independent components\n"
        "q11, q12, q13, q22, q23 explicitly; q33 = -(q11+q22) is recovered on demand.")
    assert Q.random_perturbation.__doc__ == (
        "Small-amplitude random perturbation around zero.\n\n"
        "Each component is drawn uniformly from [-amplitude, amplitude].")
    assert Q.from_numpy.__doc__.startswith("Import from a numpy array of shape (nx*ny*nz, 5).\n")
    assert Q.q.__doc__.startswith("Q-tensor components as a numpy array of shape (nx, ny, nz, 5).")
    assert Q.biaxiality.__doc__.startswith("Biaxiality parameter P = lambda_mid - lambda_min")
    assert PHI.uniform.__doc__ == "Uniform 3D scalar field with every vertex set to `val`."
    assert PHI.phi.__doc__ == ("Scalar values as a flat 1D numpy array of length nx*ny*nz.\n"
                               "Reshape in Python to (nx, ny, nz) as needed.")
    assert U.u.__doc__.endswith("arr[..., 0] = ux, arr[..., 1] = uy, arr[..., 2] = uz.")
    assert Q.nx.__doc__ is None
    assert not hasattr(U, "from_numpy")


@pytest.mark.parametrize("func, text", [
    (Q.zeros, "(nx, ny, nz, dx)"),
    (Q.uniform, "(nx, ny, nz, dx, q11, q12, q13, q22, q23)"),
    (Q.random_perturbation, "(nx, ny, nz, dx, amplitude, seed)"),
    (Q.from_numpy, "(arr, nx, ny, nz, dx)"),
    pytest.param(Q.scalar_order, "($self)", marks=pypy_drops_member_docs),
    pytest.param(Q.mean_s, "($self)", marks=pypy_drops_member_docs),
    (PHI.uniform, "(nx, ny, nz, dx, val)"),
    pytest.param(PHI.max, "($self)", marks=pypy_drops_member_docs),
    (U.uniform, "(nx, ny, nz, dx, u)"),
])
def test_text_signatures(func, text):
    assert func.__text_signature__ == text


def test_constructors_properties_and_reprs():
    q = Q.uniform(2, 3, 4, 1.0, 0.1, 0.2, 0.3, 0.4, 0.5)
    arr = q.q
    assert arr.shape == (2, 3, 4, 5) and arr.dtype == np.float64 and arr.flags.c_contiguous
    assert (arr == [0.1, 0.2, 0.3, 0.4, 0.5]).all()
    assert (Q.from_numpy(arr.reshape(-1, 5), 2, 3, 4, 1.0).q == arr).all()
    assert (q.nx, q.ny, q.nz, q.dx, len(q)) == (2, 3, 4, 1.0, 24)
    assert isinstance(q.nz, int) and isinstance(q.dx, float)
    assert repr(Q.zeros(4, 2, 3, 0.5)) == "QField3D(nx=4, ny=2, nz=3, dx=0.500, <S>=0.0000)"
    phi = PHI.uniform(2, 2, 3, 0.25, -1.5)
    assert (phi.phi == -1.5).all() and phi.phi.shape == (12,) and len(phi) == 12
    assert repr(phi) == "ScalarField3D(nx=2, ny=2, nz=3, dx=0.250, mean=-1.5000)"
    assert (PHI.zeros(1, 1, 2, 1.0).phi == 0).all()
    u = U.uniform(3, 1, 2, 2.0, (1.0, -2.0, 0.5))
    assert u.u.shape == (3, 1, 2, 3) and (u.u == [1.0, -2.0, 0.5]).all() and len(u) == 6
    assert (U.uniform(1, 1, 1, 1.0, np.array([1, 2, 3])).u == [1, 2, 3]).all()
    assert (U.zeros(2, 2, 2, 1.0).u == 0).all()
    assert repr(u) == "VelocityField3D(nx=3, ny=1, nz=2, dx=2.000)"
    for obj, name in [(q, "q"), (phi, "phi"), (u, "u"), (q, "nx")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)


def test_uniaxial_and_biaxial_observables():
    s = 0.6
    q = Q.uniform(2, 2, 2, 1.0, 2 / 3 * s, 0.0, 0.0, -1 / 3 * s, 0.0)
    assert np.allclose(q.scalar_order(), s, atol=1e-15) and q.scalar_order().shape == (8,)
    assert np.allclose(q.biaxiality(), 0.0, atol=1e-15)
    assert q.mean_s() == pytest.approx(s, abs=1e-15)
    assert repr(q).endswith("<S>=0.6000)")
    # Uniaxial along z by rotation: same S; Frobenius norm counts off-diagonals once.
    z = Q.uniform(1, 1, 2, 1.0, -0.1, 0.0, 0.0, -0.1, 0.0)
    assert z.scalar_order() == pytest.approx([0.3, 0.3], abs=1e-15)
    assert z.max_norm() == math.sqrt(0.1 * 0.1 + 0.0 + 0.0 + 0.1 * 0.1 + 0.0 + 0.2 * 0.2)
    off = Q.uniform(1, 1, 1, 1.0, 0.0, 0.3, 0.0, 0.0, 0.0)
    assert off.max_norm() == 0.3
    assert off.scalar_order()[0] == pytest.approx(0.45) and off.biaxiality()[0] == pytest.approx(0.3)


def test_random_perturbation_known_values_and_repeats():
    for seed in (0, 2**64 - 1):
        got = Q.random_perturbation(2, 1, 3, 1.0, 0.5, seed).q.reshape(-1)
        assert list(got) == xoshiro_samples(seed, 0.5, 30)
    a = Q.random_perturbation(4, 4, 4, 1.0, 0.2, 9).q
    assert (a == Q.random_perturbation(4, 4, 4, 1.0, 0.2, 9).q).all()
    assert (np.abs(a) <= 0.2).all() and a.std() > 0.05
    assert not (a == Q.random_perturbation(4, 4, 4, 1.0, 0.2, 10).q).all()


@pytest.mark.parametrize("amplitude", [0.0, -0.1, math.nan])
def test_random_perturbation_empty_range(amplitude):
    with pytest.raises(lodestra.PanicException, match="^cannot sample empty range$"):
        Q.random_perturbation(2, 2, 2, 1.0, amplitude, 1)
    assert len(Q.random_perturbation(2, 0, 2, 1.0, amplitude, 1)) == 0


@pytest.mark.parametrize("amplitude", [1e308, math.inf])
def test_random_perturbation_overflowing_width(amplitude):
    with pytest.raises(lodestra.PanicException, match="2\\*amplitude overflows"):
        Q.random_perturbation(1, 1, 1, 1.0, amplitude, 1)


@pytest.mark.parametrize("shape", [(0, 3, 3), (3, 0, 3), (3, 3, 0)])
def test_empty_grids(shape):
    q = Q.zeros(*shape, 1.0)
    assert len(q) == 0 and q.q.shape == (*shape, 5) and q.scalar_order().shape == (0,)
    assert math.isnan(q.mean_s()) and q.max_norm() == 0.0
    assert repr(q).endswith("<S>=NaN)")
    phi = PHI.uniform(*shape, 1.0, 2.0)
    assert math.isnan(phi.mean()) and phi.max() == -math.inf
    assert U.zeros(*shape, 1.0).u.shape == (*shape, 3)
    assert len(Q.from_numpy(np.zeros((0, 5)), *shape, 1.0)) == 0


def test_scalar_observables_skip_nan_in_max():
    phi = PHI.from_numpy(np.array([1.0, math.nan, 4.0, -3.0]), 1, 2, 2, 1.0)
    assert phi.max() == 4.0 and math.isnan(phi.mean())
    assert PHI.from_numpy(np.array([1.0, 2.0, 4.0, -3.0]), 2, 1, 2, 1.0).mean() == 1.0


def test_non_finite_records_terminate():
    arr = np.zeros((4, 5))
    arr[1, 2] = math.nan
    arr[2, 0] = math.inf
    arr[3] = [0.1, 0.0, 0.0, 0.1, 0.0]
    q = Q.from_numpy(arr, 2, 2, 1, 1.0)
    s, p = q.scalar_order(), q.biaxiality()
    assert math.isnan(s[1]) and math.isnan(s[2]) and math.isnan(p[1])
    assert s[3] == pytest.approx(0.15) and math.isnan(q.mean_s())
    assert q.max_norm() == math.inf
    assert repr(q).endswith("<S>=NaN)")


def test_numpy_round_trips_of_any_strides_and_no_aliasing():
    base = np.random.default_rng(3).standard_normal((24, 5))
    expected = Q.from_numpy(base, 2, 3, 4, 1.0).q
    wide = np.zeros((24, 10))
    wide[:, ::2] = base
    variants = [np.asfortranarray(base), wide[:, ::2], base[::-1][::-1],
                np.ascontiguousarray(base[::-1])[::-1]]
    readonly = base.copy()
    readonly.setflags(write=False)
    variants.append(readonly)
    for v in variants:
        assert (Q.from_numpy(v, 2, 3, 4, 1.0).q == expected).all()
    assert (expected.reshape(-1, 5) == base).all()
    flat = np.arange(24.0)
    assert (PHI.from_numpy(flat[::-1], 2, 3, 4, 1.0).phi == flat[::-1]).all()
    assert (PHI.from_numpy(np.arange(48.0)[::2], 4, 3, 2, 1.0).phi == flat * 2).all()
    # Arrays in and out are copies.
    source = base.copy()
    q = Q.from_numpy(source, 2, 3, 4, 1.0)
    source[:] = 7.0
    out = q.q
    out[:] = 9.0
    assert (q.q == expected).all()
    phi = PHI.from_numpy(flat, 2, 3, 4, 1.0)
    phi.phi[:] = -1.0
    assert (phi.phi == flat).all()
    u = U.uniform(1, 1, 1, 1.0, [1.0, 2.0, 3.0])
    u.u[:] = 0.0
    assert (u.u == [1.0, 2.0, 3.0]).all()


def test_numpy_input_errors():
    with pytest.raises(ValueError, match=r"^expected shape \(24, 5\), got \(23, 5\)$"):
        Q.from_numpy(np.zeros((23, 5)), 2, 3, 4, 1.0)
    with pytest.raises(ValueError, match=r"^expected shape \(24, 5\), got \(24, 2\)$"):
        Q.from_numpy(np.zeros((24, 2)), 2, 3, 4, 1.0)
    with pytest.raises(ValueError, match="^expected array of length 24, got 25$"):
        PHI.from_numpy(np.zeros(25), 2, 3, 4, 1.0)
    for bad in [np.zeros((24, 5), dtype=np.float32), np.zeros((24, 5), dtype=np.int64),
                np.zeros(120), np.zeros((2, 3, 4, 5)), np.zeros((24, 5)).astype(">c16"),
                [[0.0] * 5] * 24]:
        with pytest.raises(TypeError, match="^argument 'arr': "):
            Q.from_numpy(bad, 2, 3, 4, 1.0)
    for bad in [np.zeros((24, 1)), np.zeros(24, dtype=np.int32)]:
        with pytest.raises(TypeError, match="^argument 'arr': "):
            PHI.from_numpy(bad, 2, 3, 4, 1.0)


@pytest.mark.parametrize("bad, error", [
    ([1.0, 2.0], TypeError), ((1.0, 2.0, 3.0, 4.0), TypeError), ("abc", TypeError),
    (1.0, TypeError), ([1.0, "x", 3.0], TypeError),
])
def test_velocity_uniform_needs_three_reals(bad, error):
    with pytest.raises(error, match="^argument 'u': "):
        U.uniform(2, 2, 2, 1.0, bad)


@pytest.mark.parametrize("sizes", [(2**22, 2**22, 2**22), (2**63, 2, 1), (2**64 - 1, 2, 2)])
def test_grid_sizes_that_overflow(sizes):
    for make in [lambda: Q.zeros(*sizes, 1.0), lambda: PHI.uniform(*sizes, 1.0, 0.0),
                 lambda: U.uniform(*sizes, 1.0, [0, 0, 0]),
                 lambda: Q.random_perturbation(*sizes, 1.0, 0.1, 1),
                 lambda: Q.from_numpy(np.zeros((4, 5)), *sizes, 1.0),
                 lambda: PHI.from_numpy(np.zeros(4), *sizes, 1.0)]:
        with pytest.raises(OverflowError):
            make()


def test_grid_sizes_that_cannot_be_allocated_and_bad_counts():
    # 5 * 2^60 doubles fit a count but no address space.
    with pytest.raises(MemoryError):
        Q.zeros(2**40, 2**20, 1, 1.0)
    with pytest.raises(MemoryError):
        U.zeros(2**40, 2**10, 2**10, 1.0)
    with pytest.raises(MemoryError):
        PHI.zeros(2**61, 1, 1, 1.0)
    with pytest.raises(OverflowError):
        Q.zeros(-1, 2, 2, 1.0)
    with pytest.raises(TypeError, match="^argument 'nz': "):
        Q.zeros(2, 2, 2.5, 1.0)
    with pytest.raises(TypeError, match=r"^QField3D.zeros\(\) missing 1 required positional "
                       r"argument: 'dx'$"):
        Q.zeros(2, 2, 2)
    assert len(Q.zeros(2, 2, 2, 1.0)) == 8  # still usable
