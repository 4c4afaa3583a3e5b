"""VTK XML output for lodestra.io: the fields as image data, disclination lines
and point defects as poly data, run collections as .pvd files.

VTK image data stores point (i, j, l) at i + nx*(j + ny*l), x fastest, while the
library's fields store it at (i*ny + j)*nz + l; every point array is therefore
written from the field's (nx, ny, nz, ...) array with its grid axes reversed.
"""

from __future__ import annotations

import math
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any, Optional, Sequence

import numpy as np

from . import _core, _files

try:
    from vtkmodules.util.numpy_support import numpy_to_vtk, numpy_to_vtkIdTypeArray
    from vtkmodules.vtkCommonCore import vtkPoints
    from vtkmodules.vtkCommonDataModel import (vtkCellArray, vtkCompositeDataSet, vtkImageData,
                                               vtkMultiBlockDataSet, vtkPolyData)
    from vtkmodules.vtkIOXML import (vtkXMLImageDataWriter, vtkXMLMultiBlockDataWriter,
                                     vtkXMLPolyDataWriter)
except ImportError:
    raise ImportError("lodestra.io.write_vtk needs vtk: pip install 'lodestra[io]'") from None

Q3_NAMES = ("q11", "q12", "q13", "q22", "q23")
CHARGE_CODES = {"half_plus": 0, "half_minus": 1, "anti": 2}


def _with_ext(path: Any, ext: str) -> Path:
    p = Path(path)
    if p.suffix != ext:
        p = p.with_name(p.name + ext)
    if not p.parent.is_dir():
        raise FileNotFoundError(2, "directory not found", str(p.parent))
    return p


def _vtk_array(name: str, values: np.ndarray, components: Sequence[str] = ()) -> Any:
    arr = numpy_to_vtk(np.ascontiguousarray(values), deep=False)
    arr.SetName(name)
    for k, c in enumerate(components):
        arr.SetComponentName(k, c)
    return arr


def _write(writer: Any, data: Any, path: Path) -> Path:
    """Raw appended binary, uncompressed, 64-bit block headers (arrays over 4 GiB
    stay readable); written through lodestra._files, so that a failed write
    leaves no file that looks complete, and a link at the name is replaced."""
    writer.SetInputData(data)
    writer.SetDataModeToAppended()
    writer.EncodeAppendedDataOff()
    writer.SetCompressorTypeToNone()
    writer.SetHeaderTypeToUInt64()
    with _files.replacing_by_name(path) as name:
        writer.SetFileName(str(name))
        if writer.Write() != 1 or writer.GetErrorCode() != 0:
            raise OSError(f"VTK could not write {path}")
    return path


def _order_and_director_block(q, comps: np.ndarray):
    """S, P and the director (unit eigenvector of the largest eigenvalue, sign
    arbitrary) of the traceless symmetric tensors whose components are the
    rows of `comps` (q11, q12, q13, q22, q23).

    The eigenvalues solve the characteristic cubic in closed form: with
    p = sqrt(tr(Q^2)/6), r = det(Q)/(2p^3) and phi = acos(r)/3, they are
    2p*cos(phi) >= 2p*cos(phi - 2pi/3) >= 2p*cos(phi + 2pi/3), so S = 1.5*2p*cos(phi)
    and P = lambda_mid - lambda_min = 2*sqrt(3)*p*sin(phi). Near uniaxial order
    (phi -> 0) the rounding of r costs P about 1.3*p^2*eps/P absolutely; where
    P < 1e-3*p the field's own eigen-decomposition supplies P instead. The
    director spans the null space of Q - lambda_max*I: the longest cross product
    of two of its rows. Where lambda_max is degenerate (Q = 0, or oblate order)
    no single direction exists and the director is the zero vector.
    """
    a, d, e, b, f = comps
    c = -(a + b)
    p = np.sqrt((a * a + b * b + c * c + 2.0 * (d * d + e * e + f * f)) / 6.0)
    det = a * (b * c - f * f) - d * (d * c - f * e) + e * (d * f - b * e)
    with np.errstate(invalid="ignore", divide="ignore"):
        r = det / (2.0 * p * p * p)
    r = np.clip(np.nan_to_num(r, nan=1.0), -1.0, 1.0)
    phi = np.arccos(r) / 3.0
    lam = 2.0 * p * np.cos(phi)
    s = 1.5 * lam
    big_p = (2.0 * math.sqrt(3.0)) * p * np.sin(phi)
    weak = np.flatnonzero(big_p < 1e-3 * p)
    if weak.size:
        few = _core.QField3D.from_numpy(np.ascontiguousarray(comps[:, weak].T), weak.size, 1, 1, q.dx)
        big_p[weak] = few.biaxiality()
    am, bm, cm = a - lam, b - lam, c - lam
    # Rows of Q - lambda*I: (am, d, e), (d, bm, f), (e, f, cm); their three cross products.
    cross = np.empty((3, 3) + a.shape)
    np.subtract(d * f, e * bm, out=cross[0, 0])
    np.subtract(e * d, am * f, out=cross[0, 1])
    np.subtract(am * bm, d * d, out=cross[0, 2])
    np.subtract(d * cm, e * f, out=cross[1, 0])
    np.subtract(e * e, am * cm, out=cross[1, 1])
    np.subtract(am * f, d * e, out=cross[1, 2])
    np.subtract(bm * cm, f * f, out=cross[2, 0])
    np.subtract(f * e, d * cm, out=cross[2, 1])
    np.subtract(d * f, bm * e, out=cross[2, 2])
    norms = np.einsum("kcn,kcn->kn", cross, cross)
    pick = np.argmax(norms, axis=0)
    points = np.arange(a.size)
    best = cross[pick, :, points]  # (N, 3)
    norm = np.sqrt(norms[pick, points])
    # A null space that is only rounding (cross products of order eps*p^2) has no direction.
    ok = norm > 1e-12 * p * p
    best *= np.where(ok, 1.0 / np.where(ok, norm, 1.0), 0.0)[:, None]
    return s, big_p, best


# Points per block of the closed-form solution: its two dozen temporaries of one block
# stay in cache, where whole-grid temporaries would stream through memory each time.
_BLOCK = 1 << 14


def _order_and_director(q, comps: np.ndarray):
    """S, P and the director of every column of `comps`, block by block (the same
    values as one call on the whole array)."""
    n = comps.shape[1]
    s, big_p, director = np.empty(n), np.empty(n), np.empty((n, 3))
    for start in range(0, n, _BLOCK):
        stop = min(n, start + _BLOCK)
        s[start:stop], big_p[start:stop], director[start:stop] = _order_and_director_block(
            q, comps[:, start:stop])
    return s, big_p, director


def _image(dims, dx: float, arrays, active_scalars: str, active_vectors: Optional[str]) -> Any:
    image = vtkImageData()
    image.SetDimensions(*dims)
    image.SetSpacing(dx, dx, dx)
    image.SetOrigin(0.0, 0.0, 0.0)
    pd = image.GetPointData()
    for arr in arrays:
        pd.AddArray(arr)
    pd.SetActiveScalars(active_scalars)
    if active_vectors:
        pd.SetActiveVectors(active_vectors)
    return image


def _grid_values(value: Any, cls: type, export, shape: tuple, name: str) -> np.ndarray:
    """phi or the velocity as an array of `shape` (the field's grid, then components)."""
    if isinstance(value, cls):
        sizes = tuple(getattr(value, a) for a in ("nx", "ny", "nz")[:len(shape) - 1])
        if sizes != shape[:-1]:
            raise ValueError(f"{name} is on a {sizes} grid, the Q field on {shape[:-1]}")
        value = export(value)
    arr = np.asarray(value, dtype=np.float64)
    if arr.size != np.prod(shape):
        raise ValueError(f"{name} has {arr.size} values, the Q field's grid needs {np.prod(shape)}")
    return arr.reshape(shape)


def _reversed_axes(a: np.ndarray, ncomp: int) -> np.ndarray:
    """(nx, ny[, nz], c) grid array as VTK's (N, c) point array, x fastest.

    A 3D grid is transposed one j-plane at a time: each plane is an (nx, nz)
    block that stays in cache, where a single strided copy would touch a new
    page for every record."""
    if a.ndim == 3:
        return np.ascontiguousarray(a.transpose(1, 0, 2)).reshape(-1, ncomp)
    nx, ny, nz = a.shape[:3]
    out = np.empty((nz, ny, nx, ncomp))
    for j in range(ny):
        out[:, j] = a[:, j].transpose(1, 0, 2)
    return out.reshape(-1, ncomp)


def write_field_3d(path, q, dx: Optional[float], phi, velocity) -> Path:
    path = _with_ext(path, ".vti")
    nx, ny, nz = q.nx, q.ny, q.nz
    spacing = q.dx if dx is None else float(dx)
    grid = (nx, ny, nz)
    # Q, S, P and the director in VTK's point order, in one compiled pass.
    comps, s, p, director = _core._vtk_point_arrays(q)
    arrays = [_vtk_array("S", s), _vtk_array("P", p),
              _vtk_array("director", director, ("x", "y", "z")), _vtk_array("Q", comps, Q3_NAMES)]
    if phi is not None:
        vals = _grid_values(phi, _core.ScalarField3D, lambda f: f.phi, grid + (1,), "phi")
        arrays.append(_vtk_array("phi", _reversed_axes(vals, 1)[:, 0]))
    if velocity is not None:
        vals = _grid_values(velocity, _core.VelocityField3D, lambda f: f.u, grid + (3,), "velocity")
        arrays.append(_vtk_array("velocity", _reversed_axes(vals, 3), ("x", "y", "z")))
    image = _image((nx, ny, nz), spacing, arrays, "S", "director")
    return _write(vtkXMLImageDataWriter(), image, path)


def _points(xyz: np.ndarray) -> Any:
    pts = vtkPoints()
    pts.SetData(numpy_to_vtk(np.ascontiguousarray(xyz, dtype=np.float64), deep=True))
    return pts


def _cells(offsets: np.ndarray, connectivity: np.ndarray) -> Any:
    cells = vtkCellArray()
    cells.SetData(numpy_to_vtkIdTypeArray(np.ascontiguousarray(offsets, dtype=np.int64), deep=True),
                  numpy_to_vtkIdTypeArray(np.ascontiguousarray(connectivity, dtype=np.int64), deep=True))
    return cells


def write_lines(path, lines: list) -> Path:
    path = _with_ext(path, ".vtp")

    def stacked(attr: str, width: int) -> np.ndarray:
        parts = [getattr(line, attr) for line in lines]
        return np.concatenate(parts) if parts else np.zeros((0, width) if width else 0)

    counts = [len(line) for line in lines]
    starts = np.cumsum([0] + counts[:-1], dtype=np.int64)
    # A loop's polyline returns to its first point, so ParaView draws it closed.
    conn = [np.append(np.arange(s, s + n), [s] if line.is_loop else [])
            for s, n, line in zip(starts, counts, lines)]
    offsets = np.cumsum([0] + [len(c) for c in conn], dtype=np.int64)
    poly = vtkPolyData()
    poly.SetPoints(_points(stacked("vertices", 3)))
    poly.SetLines(_cells(offsets, np.concatenate(conn) if conn else np.zeros(0)))
    pd = poly.GetPointData()
    pd.AddArray(_vtk_array("tangent", stacked("tangents", 3), ("x", "y", "z")))
    pd.AddArray(_vtk_array("curvature", stacked("curvatures", 0)))
    pd.AddArray(_vtk_array("torsion", stacked("torsions", 0)))
    pd.SetActiveScalars("curvature")
    cd = poly.GetCellData()
    cd.AddArray(_vtk_array("charge", np.array([CHARGE_CODES[line.charge] for line in lines], np.int32)))
    cd.AddArray(_vtk_array("is_loop", np.array([line.is_loop for line in lines], np.int32)))
    return _write(vtkXMLPolyDataWriter(), poly, path)


def write_field_2d(path, q, dx: Optional[float], phi, velocity) -> Path:
    from .defects import scan_periodic

    path = _with_ext(path, ".vtm")
    nx, ny = q.nx, q.ny
    spacing = q.dx if dx is None else float(dx)
    comps = _reversed_axes(q.to_numpy().reshape(nx, ny, 2), 2)
    s = _reversed_axes(q.order_param().reshape(nx, ny, 1), 1)[:, 0]
    theta = _reversed_axes(q.director_angle().reshape(nx, ny, 1), 1)[:, 0]
    director = np.stack([np.cos(theta), np.sin(theta), np.zeros_like(theta)], -1)
    arrays = [_vtk_array("S", s), _vtk_array("director", director, ("x", "y", "z")),
              _vtk_array("Q", comps, ("q1", "q2"))]
    if phi is not None:
        vals = _grid_values(phi, _core.ScalarField2D, lambda f: f.to_numpy(), (nx, ny, 1), "phi")
        arrays.append(_vtk_array("phi", _reversed_axes(vals, 1)[:, 0]))
    if velocity is not None:
        vals = _grid_values(velocity, _core.VelocityField2D, lambda f: f.to_numpy(), (nx, ny, 2),
                            "velocity")
        uv = _reversed_axes(vals, 2)
        arrays.append(_vtk_array("velocity", np.concatenate([uv, np.zeros((len(uv), 1))], 1),
                                 ("x", "y", "z")))
    image = _image((nx, ny, 1), spacing, arrays, "S", "director")

    # Defects at the centres of their plaquettes; those on the periodic seam
    # lie half a cell outside the image, where the plaquette is.
    found = scan_periodic(q) if nx * ny else []
    ij = np.array([d.plaquette for d in found], dtype=np.int64).reshape(-1, 2)
    xyz = np.concatenate([(ij + 0.5) * spacing, np.zeros((len(found), 1))], 1)
    points = vtkPolyData()
    points.SetPoints(_points(xyz))
    points.SetVerts(_cells(np.arange(len(found) + 1), np.arange(len(found))))
    pd = points.GetPointData()
    pd.AddArray(_vtk_array("charge_sign", np.array([d.charge_sign for d in found], np.int32)))
    pd.AddArray(_vtk_array("angle", np.array([d.angle for d in found], np.float64)))
    pd.AddArray(_vtk_array("plaquette", ij, ("i", "j")))
    pd.SetActiveScalars("charge_sign")

    blocks = vtkMultiBlockDataSet()
    blocks.SetNumberOfBlocks(2)
    for k, (name, data) in enumerate((("field", image), ("defects", points))):
        blocks.SetBlock(k, data)
        blocks.GetMetaData(k).Set(vtkCompositeDataSet.NAME(), name)
    # The blocks go to files in a folder beside the .vtm, moved into place with it.
    return _write(vtkXMLMultiBlockDataWriter(), blocks, path)


def write_collection(path: Path, entries: Sequence[tuple]) -> Path:
    """ParaView's time-series index: one DataSet per (time, part, file name),
    file names relative to the collection."""
    root = ET.Element("VTKFile", type="Collection", version="0.1", byte_order="LittleEndian")
    coll = ET.SubElement(root, "Collection")
    for time, part, name in entries:
        ET.SubElement(coll, "DataSet", timestep=repr(float(time)), group="", part=str(part),
                      file=name)
    ET.indent(root)
    with _files.replacing(path) as f:
        ET.ElementTree(root).write(f, encoding="utf-8", xml_declaration=True)
    return path
