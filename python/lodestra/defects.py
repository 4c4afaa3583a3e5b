"""Point defects of a periodic 2D Q field.

`lodestra.scan_defects` tests the (nx-1)*(ny-1) plaquettes that lie inside the
array; on a periodic grid the nx + ny - 1 plaquettes that join the last row or
column to the first are plaquettes too, and a defect sitting on one of them is
missed. `scan_periodic` tests all nx*ny of them.
"""

from __future__ import annotations

import math

import numpy as np

from . import _core

__all__ = ["scan_periodic"]


def scan_periodic(q: _core.QField2D, threshold: float = math.pi / 2) -> list[_core.DefectInfo]:
    """Holonomy defect scan over all nx*ny plaquettes of the periodic grid.

    Plaquette (i, j) has the corners (i, j), (i+1, j), (i+1, j+1), (i, j+1)
    with indices taken modulo (nx, ny), so plaquettes with i = nx-1 or
    j = ny-1 cross the periodic seam. The result is ordered by i, then j, like
    `scan_defects`, and every plaquette inside the array gives exactly the
    record `scan_defects` gives for it.

    Parameters
    ----------
    q : QField2D
        The field to scan.
    threshold : float
        Rotation angle of the frame around a plaquette above which it holds a defect
        (default π/2, as the runners use).

    Returns
    -------
    list of DefectInfo
        One record per defect, ordered by plaquette; the charges of a periodic field
        balance.

    Raises
    ------
    TypeError
        If ``q`` is not a `QField2D`.

    Examples
    --------
    >>> import lodestra
    >>> from lodestra.defects import scan_periodic
    >>> q = lodestra.QField2D.random_perturbation(32, 32, 1.0, 0.5, 1)
    >>> found = scan_periodic(q)
    >>> sum(d.charge_sign for d in found)
    0
    """
    if not isinstance(q, _core.QField2D):
        raise TypeError(f"argument 'q': '{type(q).__name__}' object cannot be converted to 'QField2D'")
    nx, ny = q.nx, q.ny
    if nx == 0 or ny == 0:
        return _core.scan_defects(q, threshold)
    # One wrapped row and column: the (nx+1) x (ny+1) array holds vertex
    # (i mod nx, j mod ny) at (i, j), so its nx*ny interior plaquettes are the
    # periodic plaquettes, each once, with their corner (i, j) already inside
    # the box. The compiled scan then carries the frames exactly as it does
    # for the unpadded field.
    grid = q.to_numpy().reshape(nx, ny, 2)
    padded = np.concatenate([grid, grid[:1]], axis=0)
    padded = np.concatenate([padded, padded[:, :1]], axis=1)
    wrapped = _core.QField2D.from_numpy(padded.reshape(-1, 2), nx + 1, ny + 1, q.dx)
    return _core.scan_defects(wrapped, threshold)
