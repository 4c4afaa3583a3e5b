"""The periodic defect scan: every plaquette of the torus, the seam included."""

import math

import numpy as np
import pytest

import lodestra
from lodestra.defects import scan_periodic

from conftest import defect_field

Q = lodestra.QField2D


def records(found):
    return [(d.plaquette, d.angle, d.charge_sign) for d in found]


def rolled(q, di, dj):
    a = np.roll(q.to_numpy().reshape(q.nx, q.ny, 2), (di, dj), axis=(0, 1))
    return Q.from_numpy(a.reshape(-1, 2), q.nx, q.ny, q.dx)


@pytest.mark.parametrize("nx, ny", [(1, 5), (2, 2), (7, 4), (16, 13)])
@pytest.mark.parametrize("threshold", [-1.0, 0.3, math.pi / 2])
def test_agrees_with_the_open_scan_inside_the_array(nx, ny, threshold):
    q = Q.random_perturbation(nx, ny, 1.0, 0.3, nx * ny)
    found = scan_periodic(q, threshold)
    inside = [r for r in records(found) if r[0][0] < nx - 1 and r[0][1] < ny - 1]
    assert inside == records(lodestra.scan_defects(q, threshold))
    assert [r[0] for r in records(found)] == sorted(r[0] for r in records(found))
    if threshold < 0:  # every plaquette of the torus, each once
        assert len(found) == nx * ny


def test_translations_of_the_torus_move_the_defects_with_them():
    pair = defect_field(24, 20, [(6.5, 8.5, 1), (16.5, 14.5, -1)])
    base = records(scan_periodic(pair))
    assert [(p, s) for p, _, s in base] == [((6, 8), 1), ((16, 14), -1)]
    for di, dj in [(-7, 0), (0, -9), (-7, -9), (5, 11)]:
        moved = scan_periodic(rolled(pair, di, dj))
        want = sorted((((i + di) % 24, (j + dj) % 20), a, s) for (i, j), a, s in base)
        assert records(moved) == want
    # The + defect rolled onto the seam: the open scan loses it.
    on_seam = rolled(pair, -7, 0)
    assert [d.plaquette for d in lodestra.scan_defects(on_seam)] == [(9, 14)]
    assert [d.plaquette for d in scan_periodic(on_seam)] == [(9, 14), (23, 8)]


def test_refusals_and_empty_grids():
    assert scan_periodic(Q.zeros(0, 4, 1.0)) == []
    assert scan_periodic(Q.uniform(3, 3, 1.0, 0.1, 0.2), math.pi) == []
    with pytest.raises(TypeError, match="argument 'q'"):
        scan_periodic(lodestra.QField3D.zeros(2, 2, 2, 1.0))
    for q in (Q.zeros(0, 4, 1.0), Q.zeros(3, 3, 1.0)):
        with pytest.raises(TypeError, match="^argument 'threshold': "):
            scan_periodic(q, "pi")


def test_charge_balances_on_every_snapshot_of_active_turbulence():
    p = lodestra.RidiParams.default_test()
    p.nx = p.ny = 48
    q = Q.random_perturbation(p.nx, p.ny, p.dx, 0.05, 11)
    seam_defects = open_unbalanced = 0
    for _ in range(12):
        q, _stats = lodestra.run_ridi_component1_hydro(q, p, 100, 100)
        found = scan_periodic(q)
        signs = [d.charge_sign for d in found]
        assert signs.count(1) == signs.count(-1)
        seam_defects += sum(i == p.nx - 1 or j == p.ny - 1 for i, j in (d.plaquette for d in found))
        open_signs = [d.charge_sign for d in lodestra.scan_defects(q)]
        open_unbalanced += open_signs.count(1) != open_signs.count(-1)
    assert seam_defects > 0 and open_unbalanced > 0
