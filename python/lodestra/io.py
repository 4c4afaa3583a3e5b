"""Run directories of the 3D runners, and ParaView files.

A run directory holds one ``q_NNNNNN.npy`` file per snapshot (and, for the
BECH runner, ``phi_NNNNNN.npy`` and ``vel_NNNNNN.npy``), NNNNNN being the
index s of the step after which the snapshot was taken, and ``stats.json``
with one record per snapshot. The readers here check every file completely
before they return: a missing, truncated or malformed file raises an
exception naming it, never a partial result. The one tear read is the end of
the ``stats.json`` of a run killed while it appended a record: it reads as the
records before that one.

Snapshot times: the snapshot after step s lies at time dt*(s+1), the time of
its record in ``stats.json``.
"""

from __future__ import annotations

import errno
import json
import math
import os
import re
from pathlib import Path
from typing import Any, NamedTuple, Optional, Sequence, Union

import numpy as np

from . import _core

__all__ = [
    "Snapshot",
    "read_stats",
    "stats_frame",
    "snapshot_steps",
    "load_snapshot",
    "write_vtk",
    "write_run_vtk",
]

PathLike = Union[str, "os.PathLike[str]"]

# Record keys in the order stats.json writes them; the key set identifies the
# record type.
SNAP_KEYS = ("time", "mean_s", "biaxiality_p", "n_disclination_lines", "total_line_length",
             "mean_line_curvature", "n_events")
BECH_KEYS = ("time", "mean_s", "biaxiality_p", "mean_phi", "n_disclination_lines",
             "total_line_length", "mean_line_curvature", "n_events")
COUNT_KEYS = frozenset(("n_disclination_lines", "n_events"))

_SNAPSHOT_NAME = re.compile(r"q_(\d{6,})\.npy")


class Snapshot(NamedTuple):
    """The fields of one snapshot: Q always, phi and the velocity (an array of
    shape (nx, ny, nz, 3)) where the run wrote them, else None."""

    q: _core.QField3D
    phi: Optional[_core.ScalarField3D]
    velocity: Optional[np.ndarray]


def _run_dir(out_dir: PathLike) -> Path:
    path = Path(out_dir)
    if not path.is_dir():
        raise FileNotFoundError(errno.ENOENT, "run directory not found", str(path))
    return path


def _missing(path: Path, what: str) -> FileNotFoundError:
    return FileNotFoundError(errno.ENOENT, what, str(path))


# -- stats.json -----------------------------------------------------------------

def _no_constants(name: str) -> float:
    raise ValueError(f"{name} is not a number stats.json writes (it writes null)")


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    record = dict(pairs)
    if len(record) != len(pairs):
        raise ValueError("a record repeats a key")
    return record


def _check_record(k: int, record: Any) -> dict[str, Union[float, int]]:
    if not isinstance(record, dict):
        raise ValueError(f"record {k} is not an object")
    keys = tuple(record)
    if keys not in (SNAP_KEYS, BECH_KEYS):
        raise ValueError(f"record {k} has unknown keys {list(keys)}")
    out: dict[str, Union[float, int]] = {}
    for key, value in record.items():
        if key in COUNT_KEYS:
            if type(value) is not int or value < 0:
                raise ValueError(f"record {k}: {key} = {value!r} is not a count")
            out[key] = value
        elif value is None:
            out[key] = math.nan
        elif type(value) in (float, int):
            out[key] = float(value)
        else:
            raise ValueError(f"record {k}: {key} = {value!r} is not a number")
    return out


def _parse_stats(text: str) -> Any:
    return json.loads(text, object_pairs_hook=_unique_keys, parse_constant=_no_constants)


def _before_torn_append(path: Path, raw: bytes) -> Optional[bytes]:
    """The text of a killed run's stats.json before the append the kill cut
    short, or None. The runners grow the file in place, replacing its closing
    "\n]" by the next record; ``.stats.json.length`` beside it holds the length
    of the last complete text until the run ends."""
    try:
        length = int((path.parent / ".stats.json.length").read_bytes())
    except (OSError, ValueError):
        return None
    if not 2 <= length <= len(raw):
        return None
    return raw[:length - 2] + b"\n]"


def read_stats(out_dir: PathLike) -> list[dict[str, Union[float, int]]]:
    """The records of a run's ``stats.json``, as a list of dicts.

    Keys are in file order (those of `SnapStats3D` or `BechStats3D`); counts
    are ints, the other values floats, with null read as NaN. The file of a run
    killed while it appended a record reads as the records before that one.

    Parameters
    ----------
    out_dir : str or path
        The run directory.

    Returns
    -------
    list of dict
        One dict per snapshot, in snapshot order.

    Raises
    ------
    FileNotFoundError
        If the directory or its ``stats.json`` is missing.
    ValueError
        If the file is not such a list, or mixes the two record types (naming it).

    Examples
    --------
    ``lodestra.io.read_stats("run")[-1]["mean_s"]``; see the 3D tutorial.
    """
    path = _run_dir(out_dir) / "stats.json"
    if not path.is_file():
        raise _missing(path, "no stats.json in run directory")
    try:
        raw = path.read_bytes()
        try:
            data = _parse_stats(raw.decode("utf-8"))
        except json.JSONDecodeError:
            before = _before_torn_append(path, raw)
            if before is None:
                raise
            data = _parse_stats(before.decode("utf-8"))
        if not isinstance(data, list):
            raise ValueError("the top level is not a list of records")
        records = [_check_record(k, r) for k, r in enumerate(data)]
        if len({tuple(r) for r in records}) > 1:
            raise ValueError("records of different types in one run")
    except ValueError as err:  # json.JSONDecodeError and UnicodeDecodeError included
        raise ValueError(f"{path}: not a valid statistics file: {err}") from None
    except RecursionError:
        raise ValueError(f"{path}: not a valid statistics file: nested too deeply") from None
    return records


def stats_frame(out_dir: PathLike) -> Any:
    """`read_stats` as a pandas DataFrame, one row per snapshot.

    Parameters
    ----------
    out_dir : str or path
        The run directory.

    Returns
    -------
    pandas.DataFrame
        Columns in file order.

    Raises
    ------
    ImportError
        If pandas is missing (naming the ``io`` extra); else as `read_stats`.
    """
    try:
        import pandas as pd  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError("lodestra.io.stats_frame needs pandas: pip install 'lodestra[io]'") from None
    records = read_stats(out_dir)
    columns = list(records[0]) if records else []
    return pd.DataFrame.from_records(records, columns=columns)


# -- snapshot files ---------------------------------------------------------------

def snapshot_steps(out_dir: PathLike) -> list[int]:
    """The step indices s of the snapshots in a run directory, ascending
    (those with a ``q_{s:06}.npy`` file).

    Parameters
    ----------
    out_dir : str or path
        The run directory.

    Returns
    -------
    list of int
        The snapshot after step s lies at time dt·(s + 1).

    Raises
    ------
    FileNotFoundError
        If the directory is missing.

    Examples
    --------
    A run of 200 steps with ``snap_every=50`` gives ``[49, 99, 149, 199]``.
    """
    steps = []
    for name in os.listdir(_run_dir(out_dir)):
        m = _SNAPSHOT_NAME.fullmatch(name)
        if m and f"{int(m.group(1)):06d}" == m.group(1):
            steps.append(int(m.group(1)))
    return sorted(steps)


def _read_npy(path: Path, ncomp: int) -> np.ndarray:
    """A snapshot array of shape (nx, ny, nz, ncomp), checked against its header:
    little-endian float64 in C order, and exactly as many data bytes as the
    header's shape needs."""
    fmt = np.lib.format
    with open(path, "rb") as f:
        try:
            version = fmt.read_magic(f)
            # The header's length before numpy reads (and allocates) it: a corrupt one may
            # claim gigabytes.
            start = f.tell()
            size = {(1, 0): 2, (2, 0): 4}.get(version, 0)
            claimed = int.from_bytes(f.read(size), "little") if size else 0
            have = os.fstat(f.fileno()).st_size - start - size
            if claimed > have:
                raise ValueError(f"the header claims {claimed} bytes, the file holds {have}")
            f.seek(start)
            if version == (1, 0):
                shape, fortran, dtype = fmt.read_array_header_1_0(f)
            elif version == (2, 0):
                shape, fortran, dtype = fmt.read_array_header_2_0(f)
            else:
                raise ValueError(f"NPY version {version} is not supported")
        except (ValueError, EOFError, SyntaxError) as err:
            raise ValueError(f"{path}: not a valid .npy file: {err}") from None
        if (dtype != np.dtype("<f8") or fortran or len(shape) != 4 or shape[3] != ncomp
                or min(shape) < 0):
            raise ValueError(f"{path}: expected a C-ordered '<f8' array of shape "
                             f"(nx, ny, nz, {ncomp}), the header says {dtype.str} {shape}"
                             f"{' in Fortran order' if fortran else ''}")
        count = math.prod(shape)
        have = os.fstat(f.fileno()).st_size - f.tell()
        if have != 8 * count:
            raise ValueError(f"{path}: {have} data bytes, but the header's shape {shape} "
                             f"needs {8 * count} (truncated or corrupt file)")
        data = np.fromfile(f, dtype="<f8", count=count)
    if data.size != count:
        raise ValueError(f"{path}: truncated while reading")
    return data.reshape(shape)


def load_snapshot(out_dir: PathLike, step: int, dx: float = 1.0) -> Snapshot:
    """The fields of the snapshot after step `step`, as library objects.

    Grid sizes come from the file headers; `dx` is the spacing the run used
    (the files do not record it). phi and the velocity are None where the run
    did not write them.

    Parameters
    ----------
    out_dir : str or path
        The run directory.
    step : int
        The step index s of the snapshot (see `snapshot_steps`).
    dx : float
        The grid spacing of the run.

    Returns
    -------
    Snapshot
        ``(q, phi, velocity)``: a `QField3D`, a `ScalarField3D` or None, an array of
        shape (nx, ny, nz, 3) or None.

    Raises
    ------
    FileNotFoundError
        If the directory or the snapshot's Q file is missing.
    ValueError
        If a file is truncated or malformed, or the files disagree in their grids
        (naming the file); if ``step`` is negative.

    Examples
    --------
    Together with the runners this restarts a run::

        q, phi, _ = lodestra.io.load_snapshot(out, lodestra.io.snapshot_steps(out)[-1], p.dx)
        lodestra.run_ridi_3d_full(q, phi, p, more_steps, snap_every, new_out, True)
    """
    run = _run_dir(out_dir)
    step = int(step)
    if step < 0:
        raise ValueError(f"step must be non-negative, got {step}")
    dx = float(dx)
    q_path = run / f"q_{step:06d}.npy"
    if not q_path.is_file():
        raise _missing(q_path, f"no snapshot after step {step}")
    arr = _read_npy(q_path, 5)
    nx, ny, nz = arr.shape[:3]
    q = _core.QField3D.from_numpy(arr.reshape(-1, 5), nx, ny, nz, dx)
    extra: dict[str, Optional[np.ndarray]] = {}
    for name, ncomp in (("phi", 1), ("vel", 3)):
        path = run / f"{name}_{step:06d}.npy"
        if not path.is_file():
            extra[name] = None
            continue
        a = _read_npy(path, ncomp)
        if a.shape[:3] != (nx, ny, nz):
            raise ValueError(f"{path}: grid {a.shape[:3]} differs from the Q snapshot's "
                             f"{(nx, ny, nz)}")
        extra[name] = a
    phi = None
    if extra["phi"] is not None:
        phi = _core.ScalarField3D.from_numpy(extra["phi"].reshape(-1), nx, ny, nz, dx)
    return Snapshot(q, phi, extra["vel"])


# -- ParaView files ---------------------------------------------------------------

def write_vtk(path: PathLike, obj: Any, *, dx: Optional[float] = None,
              phi: Any = None, velocity: Any = None) -> Path:
    """Write `obj` as a VTK XML file that ParaView reads; returns the path written.

    - `QField3D`: image data (``.vti``) on the physical grid (spacing `dx`,
      default the field's own) with the scalar order S, the biaxiality P, the
      director (eigenvector of the largest eigenvalue, sign arbitrary), the five
      components as the array Q (q11, q12, q13, q22, q23), and phi
      (`ScalarField3D` or array) and the velocity (`VelocityField3D` or array of
      shape (nx, ny, nz, 3)) when given.
    - a list of `DisclinationLine`: poly data (``.vtp``), one polyline per line
      (loops closed), with tangent, curvature and torsion per point and the
      charge and loop flag per line.
    - `QField2D`: a multiblock file (``.vtm``) of a one-layer image (S, director,
      Q = (q1, q2), phi from a `ScalarField2D`, the velocity from a
      `VelocityField2D`) and the +-1/2 defects of `lodestra.defects.scan_periodic`
      as points at their plaquette centres, with their charge sign.

    The extension is appended when `path` lacks it.

    Parameters
    ----------
    path : str or path
        Where to write (the extension is added when missing).
    obj : QField3D, QField2D or list of DisclinationLine
        What to write.
    dx : float, optional
        Grid spacing of a field (default the field's own).
    phi, velocity : optional
        Fields written beside Q (see above).

    Returns
    -------
    pathlib.Path
        The file written.

    Raises
    ------
    TypeError
        If ``obj`` is none of the above.
    ValueError
        If ``phi`` or ``velocity`` do not fit the field's grid, or are given with lines.
    FileNotFoundError
        If the directory of ``path`` does not exist.
    OSError
        If VTK cannot write the file.
    ImportError
        If VTK is missing (naming the ``io`` extra).

    Examples
    --------
    ``lodestra.io.write_vtk("final", q, phi=phi)`` writes ``final.vti``;
    ``lodestra.io.write_vtk("lines", lodestra.DisclinationLine.scan(q))`` writes
    ``lines.vtp``. See the 3D tutorial.
    """
    from . import _vtk

    if isinstance(obj, _core.QField3D):
        return _vtk.write_field_3d(path, obj, dx, phi, velocity)
    if isinstance(obj, _core.QField2D):
        return _vtk.write_field_2d(path, obj, dx, phi, velocity)
    if isinstance(obj, (list, tuple)) and all(isinstance(x, _core.DisclinationLine) for x in obj):
        if dx is not None or phi is not None or velocity is not None:
            raise ValueError("dx, phi and velocity apply to fields; line positions are physical")
        return _vtk.write_lines(path, list(obj))
    raise TypeError(f"write_vtk writes a QField3D, a QField2D or a list of DisclinationLine, "
                    f"not {type(obj).__name__}")


def _snapshot_times(run: Path, steps: Sequence[int], params: Any) -> list[float]:
    if params is not None:
        return [params.dt * float(s + 1) for s in steps]
    if (run / "stats.json").is_file():
        records = read_stats(run)
        if len(records) == len(steps):
            return [r["time"] for r in records]
    return [float(s + 1) for s in steps]


def write_run_vtk(out_dir: PathLike, dx: float = 1.0, lines: bool = True, *,
                  params: Any = None) -> Path:
    """Write a 3D run directory as a ParaView time series; returns the ``.pvd`` path.

    For each snapshot s: ``snapshot_{s:06}.vti`` (the fields, as `write_vtk`)
    and, with `lines`, ``lines_{s:06}.vtp`` (the disclination lines of
    `DisclinationLine.scan`), all in `out_dir`, and then ``run.pvd``, the
    collection that plays them in order. The time of snapshot s is
    params.dt*(s+1) when `params` is given, else the time of its record in
    ``stats.json`` when that file holds one record per snapshot, else s+1
    (steps completed). The collection is written last, only once every
    snapshot has been read and written.

    Parameters
    ----------
    out_dir : str or path
        The run directory.
    dx : float
        The grid spacing of the run (the files do not record it).
    lines : bool
        Also write the disclination lines of every snapshot.
    params : RidiParams3D, optional
        The run's parameters, for the snapshot times.

    Returns
    -------
    pathlib.Path
        The ``run.pvd`` file: open it in ParaView.

    Raises
    ------
    FileNotFoundError, ValueError
        As `load_snapshot`, for any snapshot of the run.
    ImportError
        If VTK is missing (naming the ``io`` extra).

    Examples
    --------
    ``lodestra.io.write_run_vtk("run", dx=p.dx, params=p)``; see the 3D tutorial.
    """
    from . import _vtk

    run = _run_dir(out_dir)
    steps = snapshot_steps(run)
    times = _snapshot_times(run, steps, params)
    entries = []
    for step, t in zip(steps, times):
        snap = load_snapshot(run, step, dx)
        image = write_vtk(run / f"snapshot_{step:06d}.vti", snap.q, phi=snap.phi,
                          velocity=snap.velocity)
        entries.append((t, 0, image.name))
        if lines:
            found = _core.DisclinationLine.scan(snap.q)
            entries.append((t, 1, write_vtk(run / f"lines_{step:06d}.vtp", found).name))
    return _vtk.write_collection(run / "run.pvd", entries)
