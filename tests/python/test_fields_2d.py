"""The 2D field classes: constructors, observables, reprs and NumPy interchange."""

import math

import numpy as np
import pytest

import lodestra

Q = lodestra.QField2D
PHI = lodestra.ScalarField2D


def test_constructors_and_grid_properties():
    q = Q.uniform(3, 5, 0.5, 0.3, -0.4)
    assert (q.nx, q.ny, q.dx, len(q)) == (3, 5, 0.5, 15)
    assert isinstance(q.nx, int) and isinstance(q.dx, float)
    assert (q.to_numpy() == [[0.3, -0.4]] * 15).all()
    assert (Q.zeros(2, 3, 1.0).to_numpy() == 0).all()
    phi = PHI.uniform(4, 2, 1.0, 0.25)
    assert (phi.to_numpy() == 0.25).all() and len(phi) == 8
    assert (PHI.zeros(4, 2, 1.0).to_numpy() == 0).all()
    with pytest.raises(AttributeError):
        q.nx = 4


def test_order_parameter_and_director():
    q = Q.uniform(4, 4, 1.0, 0.3, 0.4)
    assert (q.order_param() == 1.0).all()
    assert q.mean_order_param() == 1.0
    assert q.max_norm() == 0.5
    angles = Q.from_numpy(np.array([[0.0, 0.0], [-1.0, 0.0], [0.0, 1.0], [1.0, -1.0]]), 2, 2,
                          1.0).director_angle()
    assert list(angles) == [0.0, math.pi / 2, math.pi / 4, -math.pi / 8]


def test_random_perturbation_is_reproducible_and_bounded():
    a = Q.random_perturbation(8, 8, 1.0, 0.5, 7).to_numpy()
    b = Q.random_perturbation(8, 8, 1.0, 0.5, 7).to_numpy()
    assert (a == b).all()
    assert (np.abs(a) <= 0.5).all() and a.std() > 0.1
    assert not (a == Q.random_perturbation(8, 8, 1.0, 0.5, 8).to_numpy()).all()
    assert (Q.random_perturbation(8, 8, 1.0, 0.0, 7).to_numpy() == 0).all()
    assert len(Q.random_perturbation(2, 2, 1.0, 0.1, 2**64 - 1)) == 4


def test_random_perturbation_known_values():
    # LCG with Knuth's MMIX constants from state seed + 1, top 32 bits scaled.
    a, c, mask = 6364136223846793005, 1442695040888963407, 2**64 - 1
    state, values = 42 + 1, []
    for _ in range(6):
        state = (state * a + c) & mask
        values.append(0.5 * (2.0 * ((state >> 32) / 4294967295.0) - 1.0))
    got = Q.random_perturbation(1, 3, 1.0, 0.5, 42).to_numpy().ravel()
    assert list(got) == values


def test_scalar_observables():
    values = np.array([1.0, 2.0, 4.0, math.nan, -3.0, 0.5])
    phi = PHI.from_numpy(values, 2, 3, 1.0)
    assert phi.max_value() == 4.0 and phi.min_value() == -3.0
    assert math.isnan(phi.mean_value())
    phi = PHI.from_numpy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2, 1.0)
    assert phi.mean_value() == 2.5
    assert phi.variance() == 1.25
    assert PHI.uniform(3, 3, 1.0, 1e8 + 0.1).variance() >= 0.0
    assert PHI.uniform(5, 4, 0.5, 2.0).mean_gradient_sq() == 0.0
    # phi = i on a 4 x 1 grid: central differences (1, 1, -1, -1)/... give gx^2 = 1, 1, 1, 1
    # except the wrapped ends; checked against the direct formula.
    f = np.array([0.0, 1.0, 2.0, 3.0])
    gx = (np.roll(f, -1) - np.roll(f, 1)) / 2.0
    assert PHI.from_numpy(f, 4, 1, 1.0).mean_gradient_sq() == pytest.approx((gx**2).mean())


def test_empty_grid_observables():
    q = Q.zeros(0, 5, 1.0)
    assert len(q) == 0 and q.to_numpy().shape == (0, 2)
    assert math.isnan(q.mean_order_param()) and q.max_norm() == 0.0
    phi = PHI.zeros(3, 0, 1.0)
    assert math.isnan(phi.mean_value()) and phi.variance() == 0.0
    assert phi.max_value() == -math.inf and phi.min_value() == math.inf
    assert repr(q) == "QField2D(nx=0, ny=5, dx=1.000, <S>=NaN)"
    assert repr(phi) == "ScalarField2D(nx=3, ny=0, dx=1.000, <φ>=NaN, Var[φ]=0.0000e0)"


def test_reprs():
    assert repr(Q.uniform(4, 4, 1.0, 0.3, 0.4)) == "QField2D(nx=4, ny=4, dx=1.000, <S>=1.0000)"
    assert repr(Q.zeros(2, 3, 0.0625)) == "QField2D(nx=2, ny=3, dx=0.062, <S>=0.0000)"
    phi = PHI.from_numpy(np.array([0.0, 0.25, 0.5, 1.0]), 2, 2, 1.5)
    assert repr(phi) == "ScalarField2D(nx=2, ny=2, dx=1.500, <φ>=0.4375, Var[φ]=1.3672e-1)"
    v = lodestra.stokes_solve(Q.zeros(3, 2, 0.5), lodestra.RidiParams.default_test())
    assert repr(v) == "VelocityField2D(nx=3, ny=2, dx=0.500)"


def test_numpy_round_trip_and_copies():
    q = Q.random_perturbation(5, 3, 0.7, 0.2, 1)
    arr = q.to_numpy()
    assert arr.shape == (15, 2) and arr.dtype == np.float64 and arr.flags.c_contiguous
    assert arr.flags.owndata or arr.base is not None
    back = Q.from_numpy(arr, 5, 3, 0.7)
    assert (back.to_numpy() == arr).all() and back.dx == 0.7
    arr[:] = 9.0  # the field does not change
    assert (q.to_numpy() != 9.0).all()
    source = np.zeros((4, 2))
    field = Q.from_numpy(source, 2, 2, 1.0)
    source[:] = 1.0  # nor does a field change with the array it came from
    assert (field.to_numpy() == 0).all()
    phi = PHI.from_numpy(np.arange(6.0), 3, 2, 1.0)
    out = phi.to_numpy()
    out[0] = 100.0
    assert phi.to_numpy()[0] == 0.0


def test_numpy_input_of_any_strides():
    base = np.arange(24.0).reshape(12, 2)
    expected = Q.from_numpy(np.ascontiguousarray(base), 3, 4, 1.0).to_numpy()
    for variant in [np.asfortranarray(base), np.arange(48.0).reshape(12, 4)[:, ::2] / 2 * 1,
                    base[::-1][::-1]]:
        got = Q.from_numpy(variant, 3, 4, 1.0).to_numpy()
        assert (got == np.asarray(variant)).all()
    assert (Q.from_numpy(np.asfortranarray(base), 3, 4, 1.0).to_numpy() == expected).all()
    flat = np.arange(20.0)
    assert (PHI.from_numpy(flat[::2], 5, 2, 1.0).to_numpy() == flat[::2]).all()
    assert (PHI.from_numpy(flat[::-2], 5, 2, 1.0).to_numpy() == flat[::-2]).all()
    # Big-endian float64 is float64: swapped while copying, in any strides.
    swapped = base.astype(">f8")
    assert (Q.from_numpy(swapped, 3, 4, 1.0).to_numpy() == expected).all()
    assert (Q.from_numpy(swapped[::-1], 3, 4, 1.0).to_numpy() == base[::-1]).all()
    assert (PHI.from_numpy(flat.astype(">f8")[::2], 5, 2, 1.0).to_numpy() == flat[::2]).all()


def test_numpy_input_errors():
    with pytest.raises(TypeError, match="^argument 'arr': "):
        Q.from_numpy(np.zeros((16, 2), dtype=np.int64), 4, 4, 1.0)
    with pytest.raises(TypeError, match="^argument 'arr': "):
        Q.from_numpy(np.zeros((16, 2), dtype=np.float32), 4, 4, 1.0)
    with pytest.raises(TypeError, match="^argument 'arr': "):
        Q.from_numpy(np.zeros(32), 4, 4, 1.0)  # the flat form is refused
    with pytest.raises(TypeError, match="^argument 'arr': 'list' object"):
        Q.from_numpy([[0.0, 0.0]] * 16, 4, 4, 1.0)
    with pytest.raises(ValueError) as err:
        Q.from_numpy(np.zeros((15, 2)), 4, 4, 1.0)
    assert str(err.value) == "expected shape (16, 2), got (15, 2)"
    with pytest.raises(ValueError, match=r"^expected shape \(16, 2\), got \(16, 3\)$"):
        Q.from_numpy(np.zeros((16, 3)), 4, 4, 1.0)
    with pytest.raises(ValueError, match="^expected length 6, got 5$"):
        PHI.from_numpy(np.zeros(5), 2, 3, 1.0)
    with pytest.raises(TypeError, match="^argument 'arr': "):
        PHI.from_numpy(np.zeros((6, 1)), 2, 3, 1.0)


def test_non_finite_values_flow_through():
    arr = np.array([[math.nan, 0.0], [math.inf, 1.0], [0.0, -math.inf], [0.1, 0.2]])
    q = Q.from_numpy(arr, 2, 2, 1.0)
    assert np.array_equal(q.to_numpy(), arr, equal_nan=True)
    assert math.isnan(q.mean_order_param())
    assert q.max_norm() == math.inf
    assert repr(q) == "QField2D(nx=2, ny=2, dx=1.000, <S>=NaN)"


@pytest.mark.parametrize("nx, ny", [(2**32, 2**32), (2**63, 3), (2**64 - 1, 2)])
def test_grid_sizes_that_overflow(nx, ny):
    with pytest.raises(OverflowError):
        Q.zeros(nx, ny, 1.0)
    with pytest.raises(OverflowError):
        PHI.uniform(nx, ny, 1.0, 0.0)
    with pytest.raises(OverflowError):
        Q.from_numpy(np.zeros((4, 2)), nx, ny, 1.0)


def test_grid_sizes_that_cannot_be_allocated():
    with pytest.raises(MemoryError):
        Q.zeros(2**31, 2**30, 1.0)
    with pytest.raises(MemoryError):
        PHI.zeros(2**40, 2**20, 1.0)
    assert len(Q.zeros(2, 2, 1.0)) == 4  # still usable
