"""NumPy input of every field class and real arguments: shapes checked before copying,
either byte order, complex numbers refused, allocation failures that say what failed."""

import numpy as np
import pytest

import lodestra

# (class, grid arguments, record width or None for a flat array)
FIELDS = [
    (lodestra.QField2D, (3, 4), 2),
    (lodestra.ScalarField2D, (3, 4), None),
    (lodestra.QField3D, (2, 3, 2), 5),
    (lodestra.ScalarField3D, (2, 3, 2), None),
]


def records(n, width, rows=None):
    return np.zeros(rows or n) if width is None else np.zeros((rows or n, width))


def values_of(field):
    for name in ("q", "phi"):
        if isinstance(getattr(type(field), name, None), property) or hasattr(field, name):
            return np.asarray(getattr(field, name)).reshape(-1)
    return field.to_numpy().reshape(-1)


@pytest.mark.parametrize("cls, grid, width", FIELDS)
def test_wrong_shape_is_refused_before_copying(cls, grid, width):
    # A broadcast view of 2^40 rows would need 8 TiB per column if it were copied.
    row = np.zeros(1) if width is None else np.zeros(width)
    huge = np.broadcast_to(row[0] if width is None else row,
                           (2**40,) if width is None else (2**40, width))
    with pytest.raises(ValueError, match="^expected "):
        cls.from_numpy(huge, *grid, 1.0)


@pytest.mark.parametrize("cls, grid, width", FIELDS)
def test_any_byte_order_and_strides(cls, grid, width):
    n = int(np.prod(grid))
    values = np.arange(float(n * (width or 1))).reshape(records(n, width).shape) - 3.5
    native = cls.from_numpy(values, *grid, 1.0)
    for variant in (values.astype(">f8"), values.astype("<f8"),
                    np.asfortranarray(values.astype(">f8")), values.astype(">f8")[::-1][::-1]):
        field = cls.from_numpy(variant, *grid, 1.0)
        assert values_of(field).tobytes() == values_of(native).tobytes()
    # A zero-strided (broadcast) and a read-only array are read as their values.
    row = values[0]
    broadcast = np.broadcast_to(row, values.shape)
    frozen = values.copy()
    frozen.setflags(write=False)
    for variant in (broadcast, frozen):
        got = values_of(cls.from_numpy(variant, *grid, 1.0))
        assert (got == np.ascontiguousarray(variant).reshape(-1)).all()


def test_big_endian_values_round_trip_exactly():
    values = np.random.default_rng(3).normal(size=(12, 2))
    back = lodestra.QField2D.from_numpy(values.astype(">f8"), 3, 4, 1.0).to_numpy()
    assert back.dtype == np.float64 and back.dtype.isnative
    assert back.tobytes() == values.tobytes()


@pytest.mark.parametrize("value", [1j, complex(2.0, 0.0), np.complex128(1.0), np.complex64(1.0),
                                   np.array(1.0 + 0.5j)])
def test_complex_reals_are_refused(value):
    with pytest.raises(TypeError, match="^argument 'dx': must be real number, not "):
        lodestra.QField2D.zeros(4, 4, value)
    p = lodestra.RidiParams.default_test()
    with pytest.raises(TypeError):
        p.dt = value
    assert p.dt == lodestra.RidiParams.default_test().dt
    assert lodestra.QField2D.zeros(4, 4, np.float64(0.5)).dx == 0.5  # real NumPy scalars pass


@pytest.mark.parametrize("make, message", [
    (lambda: lodestra.QField2D.zeros(2**31, 2**30, 1.0),
     "cannot allocate QField2D of 2147483648 x 1073741824 vertices (4611686018427387904 values)"),
    (lambda: lodestra.ScalarField2D.uniform(2**40, 2**20, 1.0, 0.5),
     "cannot allocate ScalarField2D of 1099511627776 x 1048576 vertices "
     "(1152921504606846976 values)"),
    (lambda: lodestra.QField2D.random_perturbation(2**25, 2**20, 1.0, 0.1, 1),
     "cannot allocate QField2D of 33554432 x 1048576 vertices (70368744177664 values)"),
    (lambda: lodestra.QField3D.zeros(2**40, 2**20, 1, 1.0),
     "cannot allocate QField3D of 1099511627776 x 1048576 x 1 vertices "
     "(5764607523034234880 values)"),
    (lambda: lodestra.VelocityField3D.zeros(2**40, 2**10, 2**10, 1.0),
     "cannot allocate VelocityField3D of 1099511627776 x 1024 x 1024 vertices "
     "(3458764513820540928 values)"),
    (lambda: lodestra.ScalarField3D.zeros(2**61, 1, 1, 1.0),
     "cannot allocate ScalarField3D of 2305843009213693952 x 1 x 1 vertices "
     "(2305843009213693952 values)"),
    (lambda: lodestra.QField2D.from_numpy(np.broadcast_to(np.zeros(2), (2**45, 2)), 2**25,
                                          2**20, 1.0),
     "cannot allocate a copy of argument 'arr' of shape (35184372088832, 2) "
     "(70368744177664 values)"),
    (lambda: lodestra.ScalarField3D.from_numpy(np.broadcast_to(0.0, (2**47,)), 2**27, 2**20, 1,
                                               1.0),
     "cannot allocate a copy of argument 'arr' of shape (140737488355328,) "
     "(140737488355328 values)"),
])
def test_memory_errors_say_what_could_not_be_allocated(make, message):
    with pytest.raises(MemoryError) as err:
        make()
    assert str(err.value) == message
