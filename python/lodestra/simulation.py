"""Long runs a researcher can steer: `Simulation`, one stepping front door for the
five models.

A `Simulation` holds a run between calls: its fields, its global step, its noise
generator, its records and (3D) the disclination lines of its last tracked
snapshot. ``run(n)`` may be called again and again, and any split of a run into
calls gives the same run, bit for bit, as one call: with or without noise, across
`save` and `load`, in another process too.

Models, their fields and their parameter sets:

========== =============================== ======================= ===============
model      physics                         fields                  parameters
========== =============================== ======================= ===============
"dry"      2D, no flow, RK4                q (QField2D)            RidiParams
"hydro"    2D, Stokes flow, Euler          q                       RidiParams
"bech"     2D, flow + lipid field, Euler   q, phi (ScalarField2D)  RidiParams
"dry3d"    3D, no flow, rotating field     q (QField3D)            RidiParams3D
"bech3d"   3D, flow + lipid field          q, phi (ScalarField3D)  RidiParams3D
========== =============================== ======================= ===============

Schedules. Records are taken at every global step that is a multiple of
``snap_every``: in 2D at step 0 and every multiple (as `run_ridi_component1` and
its siblings do), in 3D after every ``snap_every``-th step (as `run_ridi_3d` does;
snapshot files are named by the index of the step just taken, ``step - 1``). A
record's time is ``dt * step``. Without noise, a `Simulation` run for n steps
gives exactly the fields and records of the corresponding runner with the same
n_steps and snap_every.

Noise. The noise comes from ``seed`` alone: equal seeds reproduce a run, different
seeds draw unrelated streams. (The runners seed their noise from the grid and
n_steps in 2D, and from the step index of the call in 3D, so they cannot be
continued; with ``noise_amp = 0`` both agree exactly.)
"""

from __future__ import annotations

import importlib
import json
import math
import operator
import os
from collections.abc import Callable
from typing import Any

import numpy as np

import types

from . import _core, _files

__all__ = ["Simulation", "MODELS"]

#: The model names, in the order of the table above.
MODELS = ("dry", "hydro", "bech", "dry3d", "bech3d")
_THREE_D = ("dry3d", "bech3d")
_WITH_PHI = ("bech", "bech3d")
_WITH_FLOW = ("hydro", "bech", "bech3d")
_BACKFLOW = ("off", "antisymmetric", "full")
_RECORDS = {"dry": "SnapStats", "hydro": "SnapStats", "bech": "BechStats",
            "dry3d": "SnapStats3D", "bech3d": "BechStats3D"}

_FORMAT = "lodestra.Simulation checkpoint"
_VERSION = 1
# run_advance's stop codes.
_COMPLETED, _POLLED, _OUTPUT_FAILED, _NON_FINITE = range(4)


def _grid(obj: Any) -> tuple[Any, ...]:
    three_d = hasattr(obj, "nz")
    return (obj.nx, obj.ny, obj.nz, obj.dx) if three_d else (obj.nx, obj.ny, obj.dx)


def _grid_text(grid: tuple[Any, ...]) -> str:
    *sizes, dx = grid
    return "x".join(str(n) for n in sizes) + f" (dx = {dx!r})"


def _check_out_dir(out_dir: Any) -> str:
    path = os.fspath(out_dir)
    if not isinstance(path, str):
        raise TypeError(f"out_dir must be a str or os.PathLike of str, got {out_dir!r}")
    if not os.path.exists(path):
        raise FileNotFoundError(f"out_dir does not exist: {path!r}")
    if not os.path.isdir(path):
        raise NotADirectoryError(f"out_dir is not a directory: {path!r}")
    if not os.access(path, os.W_OK | os.X_OK):
        raise PermissionError(f"out_dir is not writable: {path!r}")
    return path


def _check_seed(seed: Any) -> int:
    try:
        value = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an int, got {type(seed).__name__}") from None
    if not 0 <= value < 2**64:
        raise ValueError(f"seed must be in [0, 2**64), got {value}")
    return value


def _check_count(value: Any, name: str, minimum: int) -> int:
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None
    if count < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {count}")
    return count


def _progress_bar(total: int, start: int) -> Any:
    try:
        auto = importlib.import_module("tqdm.auto")
    except ImportError as err:
        raise ImportError("Simulation.run(progress=True) needs tqdm: "
                          "pip install 'lodestra[progress]'") from err
    return auto.tqdm(total=total, unit="step", desc=f"steps from {start}", dynamic_ncols=True)


class Simulation:
    """A steerable run of one of the five models.

    Parameters
    ----------
    model : {"dry", "hydro", "bech", "dry3d", "bech3d"}
        The model (see the module's table).
    q : QField2D or QField3D
        The initial Q field, on the parameter set's grid (copied).
    params : RidiParams or RidiParams3D
        The parameter set, validated here (copied).
    phi : ScalarField2D or ScalarField3D, optional
        The initial lipid field of "bech" and "bech3d", on Q's grid (copied).
    seed : int, default 0
        The noise seed, in [0, 2**64).
    out_dir : str or os.PathLike, optional
        3D models: an existing writable directory for the ``q_/phi_/vel_NNNNNN.npy``
        snapshots and ``stats.json``; without it no file is written.
    track_defects : bool, default False
        3D models: run the disclination pipeline at every snapshot.
    friction, flow_alignment, backflow
        Model extensions of the models with flow (see the documentation's model
        page); their defaults give the specified model.
    threads : int, optional
        Engine threads while this simulation steps (see `lodestra.set_num_threads`);
        None uses the process's setting. Results do not depend on it, so a run may
        change it between calls and continue exactly.

    Raises
    ------
    ValueError
        Invalid parameters (the parameter set's own message), a field whose grid
        differs from the parameters', a missing or superfluous phi, an unknown
        model, an option the model does not have.
    FileNotFoundError, NotADirectoryError, PermissionError
        ``out_dir`` missing, not a directory, or not writable.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test(); p.nx = p.ny = 16
    >>> q0 = lodestra.QField2D.random_perturbation(16, 16, p.dx, 0.05, 1)
    >>> sim = lodestra.Simulation("hydro", q0, p, seed=7)
    >>> new = sim.run(20, snap_every=10)
    >>> sim.step, len(sim.records)
    (20, 3)
    """

    def __init__(self, model: str, q: Any, params: Any, *, phi: Any = None, seed: int = 0,
                 out_dir: str | os.PathLike[str] | None = None, track_defects: bool = False,
                 friction: float = 0.0, flow_alignment: float = 0.0,
                 backflow: str = "off", threads: int | None = None) -> None:
        if model not in MODELS:
            raise ValueError(f"unknown model {model!r}: choose one of {', '.join(MODELS)}")
        three_d = model in _THREE_D
        import lodestra
        q_type = lodestra.QField3D if three_d else lodestra.QField2D
        phi_type = lodestra.ScalarField3D if three_d else lodestra.ScalarField2D
        p_type = lodestra.RidiParams3D if three_d else lodestra.RidiParams
        if not isinstance(q, q_type):
            raise TypeError(f"model {model!r} takes a {q_type.__name__}, got {type(q).__name__}")
        if not isinstance(params, p_type):
            raise TypeError(f"model {model!r} takes {p_type.__name__}, "
                            f"got {type(params).__name__}")
        params.validate()
        p_grid = (_grid(params)[:-1] if three_d else (params.nx, params.ny)) + (params.dx,)
        if _grid(q) != p_grid:
            raise ValueError(f"the field's grid {_grid_text(_grid(q))} differs from the "
                             f"parameters' grid {_grid_text(p_grid)}")
        if model in _WITH_PHI:
            if not isinstance(phi, phi_type):
                raise ValueError(f"model {model!r} needs phi, a {phi_type.__name__} "
                                 f"(got {type(phi).__name__})")
            if _grid(phi) != _grid(q):
                raise ValueError(f"phi's grid {_grid_text(_grid(phi))} differs from the "
                                 f"field's grid {_grid_text(_grid(q))}")
        elif phi is not None:
            raise ValueError(f"model {model!r} has no phi field")
        if not three_d and (out_dir is not None or track_defects):
            raise ValueError(f"out_dir and track_defects are for the 3D models, not {model!r}")
        if not isinstance(track_defects, bool):
            raise TypeError("track_defects must be True or False")
        options = _check_options(model, friction, flow_alignment, backflow)
        self.threads = threads
        self._model = model
        self._params = _copy(params)
        self._seed = _check_seed(seed)
        self._out_dir = None if out_dir is None else _check_out_dir(out_dir)
        self._track_defects = track_defects
        self._options = options
        self._run = _core._make_run(model, q, phi, self._params, self._seed, self._out_dir,
                                    track_defects, options["friction"],
                                    options["flow_alignment"],
                                    _BACKFLOW.index(options["backflow"]))

    # -- state now ------------------------------------------------------------------

    @property
    def model(self) -> str:
        """The model's name."""
        return self._model

    @property
    def params(self) -> Any:
        """A copy of the parameter set."""
        return _copy(self._params)

    @property
    def seed(self) -> int:
        """The noise seed."""
        return self._seed

    @property
    def out_dir(self) -> str | None:
        """Where the 3D snapshots go (None: no files)."""
        return self._out_dir

    @property
    def options(self) -> dict[str, Any]:
        """The model extensions: friction, flow_alignment, backflow."""
        return dict(self._options)

    @property
    def threads(self) -> int | None:
        """Engine threads while this simulation steps (None: the process's setting)."""
        return self._threads

    @threads.setter
    def threads(self, n: int | None) -> None:
        if n is not None:
            n = _check_count(n, "threads", 1)
            if n > 1024:
                raise ValueError(f"threads must be at most 1024, got {n}")
        self._threads = n

    @property
    def q(self) -> Any:
        """The Q field now (a copy)."""
        return self._run.fields()[0]

    @property
    def phi(self) -> Any:
        """The lipid field now (a copy; None for the models without it)."""
        return self._run.fields()[1]

    @property
    def velocity(self) -> Any:
        """The flow of the last step (a copy; zeros before the first step; None for the
        dry models)."""
        return self._run.fields()[2]

    @property
    def step(self) -> int:
        """Steps taken since the start of the run."""
        return int(self._run.counts()[0])

    @property
    def time(self) -> float:
        """Simulation time now: dt times the global step."""
        return float(self._params.dt * self.step)

    @property
    def records(self) -> list[Any]:
        """Every record of the run so far, in time order (new objects)."""
        return list(self._run.records())

    def __repr__(self) -> str:
        return (f"Simulation({self._model!r}, grid={_grid_text(_grid(self._params))}, "
                f"step={self.step}, records={self._run.counts()[1]}, seed={self._seed})")

    # -- stepping -------------------------------------------------------------------

    def run(self, n_steps: int, snap_every: int = 100, *, progress: bool = False,
            callback: Callable[[Simulation], Any] | None = None) -> list[Any]:
        """Take ``n_steps`` more steps; returns the records taken by this call.

        Records are taken at the multiples of ``snap_every`` of the global step (see
        the module's Schedules). ``progress=True`` shows a tqdm bar (steps, steps/s,
        remaining time; needs the ``progress`` extra). ``callback(sim)`` is called
        after every snapshot; returning False stops the run there.

        Ctrl-C stops the run after the step in progress (within a fraction of a
        second), leaves the simulation in the consistent state of the last finished
        step (records, files, tracker) and raises KeyboardInterrupt; calling `run`
        again continues exactly.

        Raises
        ------
        OSError
            A snapshot or statistics file could not be written (the run stops after
            that step).
        FloatingPointError
            The field stopped being finite at a snapshot: the simulation goes back to
            the state of its last finite snapshot (or of the start of this call).
        """
        n_steps = _check_count(n_steps, "n_steps", 0)
        snap_every = _check_count(snap_every, "snap_every", 1)
        start = self.step
        n_before = self._run.counts()[1]
        bar = _progress_bar(n_steps, start) if progress else None
        before = _core._get_num_threads()
        if self._threads is not None:
            _core._set_num_threads(self._threads)

        def poll(step: int) -> None:
            if bar is not None:
                bar.update(step - start - bar.n)

        try:
            if callback is None:
                self._advance(n_steps, snap_every, poll)
            else:
                self._run_with_callback(n_steps, snap_every, poll, callback)
            if bar is not None:
                bar.update(self.step - start - bar.n)
        finally:
            if self._threads is not None:
                _core._set_num_threads(before)
            if bar is not None:
                bar.close()
        return list(self._run.records(n_before))

    def _run_with_callback(self, n_steps: int, snap_every: int, poll: Callable[[int], None],
                           callback: Callable[[Simulation], Any]) -> None:
        end = self.step + n_steps
        n_records = self._run.counts()[1]
        if self._model not in _THREE_D:
            self._advance(0, snap_every, poll)  # the record of the current step, if due
        while True:
            now = self._run.counts()[1]
            if now > n_records and callback(self) is False:
                return
            n_records = now
            left = end - self.step
            if left == 0:
                return
            self._advance(min(left, snap_every - self.step % snap_every), snap_every, poll)

    def _advance(self, n_steps: int, snap_every: int, poll: Callable[[int], None]) -> None:
        stop, bad, path, text, courant = self._run.advance(n_steps, snap_every, poll)
        if stop == _OUTPUT_FAILED:
            raise OSError(f"failed to write {path}: {text}")
        if stop == _NON_FINITE:
            flow = (f"the largest |u|·dt/dx seen was {courant:.3g}"
                    if self._model in _WITH_FLOW else "no flow in this model")
            raise FloatingPointError(
                f"the field became non-finite at step {bad} (t = {self._params.dt * bad!r}); "
                f"{flow}; the simulation is back at step {self.step}, its last finite state")

    # -- checkpoints ----------------------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> str:
        """Write everything needed to continue bit for bit into one file; returns its path.

        The file is a sequence of NumPy ``.npy`` arrays, written to a temporary file in
        the same directory and renamed over ``path``. ``numpy.load`` reads them one after
        another from the open file: the first is the JSON header as bytes (model, step,
        time, seed, grid, every parameter, and the names of the arrays that follow), the
        last are the fields ``q``, ``phi``, ``velocity`` (where the model has them) in the
        layout of ``to_numpy`` (2D) or of the ``q``, ``phi`` and ``u`` arrays (3D)::

            with open(path, "rb") as f:
                meta = json.loads(numpy.load(f).tobytes())
                arrays = {name: numpy.load(f) for name in meta["arrays"] + meta["fields"]}

        The fields are written straight from the engine's memory, so a checkpoint costs
        little more than ``numpy.save`` of the arrays.
        """
        path = os.fspath(path)
        step, recorded, generator, records, lines, bad, courant = self._run.state()
        small: dict[str, np.ndarray] = {
            "params_state": _state_bytes(self._params),
            "records_state": np.frombuffer(records, dtype=np.uint8),
            "recorded": np.array(recorded),
            "first_non_finite": np.array(-1 if bad is None else bad, dtype=np.int64),
            "max_courant": np.array(courant),
        }
        if generator is not None:
            small["generator"] = np.array(generator, dtype=np.uint64)
        if lines is not None:
            states = [_state_bytes(line) for line in lines]
            small["lines_state"] = (np.concatenate(states) if states
                                    else np.zeros(0, dtype=np.uint8))
            small["lines_offsets"] = np.cumsum([0] + [len(s) for s in states], dtype=np.int64)
        fields = _field_names(self._model)
        meta = {
            "format": _FORMAT, "version": _VERSION, "model": self._model, "step": step,
            "time": self._params.dt * step, "seed": self._seed,
            "grid": list(_grid(self._params)), "out_dir": self._out_dir,
            "track_defects": self._track_defects, "options": self._options,
            "record": _RECORDS[self._model], "params": _param_values(self._params),
            "arrays": list(small), "fields": fields,
        }
        header = np.frombuffer(json.dumps(meta, allow_nan=True).encode(), dtype=np.uint8)
        with _files.replacing(path) as f:
            np.save(f, header, allow_pickle=False)
            for array in small.values():
                np.save(f, array, allow_pickle=False)
            f.flush()
            self._run.write_fields(f.fileno())
        return path

    @classmethod
    def load(cls, path: str | os.PathLike[str], *,
             out_dir: str | os.PathLike[str] | None = ...) -> Simulation:  # type: ignore[assignment]
        """A simulation continued from a file of `save`.

        ``out_dir`` replaces the saved output directory of a 3D run (None: no files).

        Raises
        ------
        FileNotFoundError
            No such file.
        ValueError
            The file is truncated, not a checkpoint, of another format version, or its
            parts do not agree (sizes, model); the message names the file.
        """
        path = os.fspath(path)
        if not os.path.exists(path):
            raise FileNotFoundError(f"no such checkpoint: {path!r}")
        try:
            return cls._from_file(path, out_dir)
        except (FileNotFoundError, NotADirectoryError, PermissionError):
            raise
        except Exception as err:
            raise ValueError(f"{path}: not a readable lodestra checkpoint ({err})") from None

    @classmethod
    def _from_file(cls, path: str, out_dir: Any) -> Simulation:
        with open(path, "rb") as f:
            meta = json.loads(np.load(f, allow_pickle=False).tobytes())
            if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
                raise ValueError("no checkpoint header")
            if meta.get("version") != _VERSION:
                raise ValueError(f"format version {meta.get('version')}, "
                                 f"this lodestra reads {_VERSION}")
            data = {name: np.load(f, allow_pickle=False) for name in meta["arrays"]}
            # The fields are read by the engine itself, straight into its storage.
            return cls._resume(meta, data, out_dir, (f.fileno(), f.tell()))

    @classmethod
    def _resume(cls, meta: dict[str, Any], data: dict[str, np.ndarray], out_dir: Any,
                fields_at: tuple[int, int]) -> Simulation:
        model = meta["model"]
        if model not in MODELS:
            raise ValueError(f"unknown model {model!r}")
        three_d = model in _THREE_D
        params = _core._restore("RidiParams3D" if three_d else "RidiParams",
                                data["params_state"].tobytes())
        lines = None
        if "lines_state" in data:
            blob = data["lines_state"].tobytes()
            offsets = [int(o) for o in data["lines_offsets"]]
            lines = [_core._restore("DisclinationLine", blob[a:b])
                     for a, b in zip(offsets[:-1], offsets[1:])]
        chosen = meta["out_dir"] if out_dir is ... else out_dir
        sim = cls.__new__(cls)
        sim._model = model
        sim._params = params
        sim._seed = _check_seed(meta["seed"])
        sim._out_dir = None if chosen is None else _check_out_dir(chosen)
        sim._track_defects = bool(meta["track_defects"])
        sim._options = _check_options(model, **meta["options"])
        sim._threads = None
        bad = int(data["first_non_finite"])
        generator = tuple(int(w) for w in data["generator"]) if "generator" in data else None
        if meta["fields"] != _field_names(model):
            raise ValueError(f"fields {meta['fields']} for model {model!r}")
        sim._run = _core._make_run(
            model, None, None, params, sim._seed, sim._out_dir,
            sim._track_defects, sim._options["friction"], sim._options["flow_alignment"],
            _BACKFLOW.index(sim._options["backflow"]), None,
            int(meta["step"]), bool(data["recorded"]),
            generator if generator is not None else (0, 0, 0, 0),
            data["records_state"].tobytes(), lines, None if bad < 0 else bad,
            float(data["max_courant"]), fields_at)
        return sim


def _field_names(model: str) -> list[str]:
    """The fields a checkpoint of the model holds, in the order write_fields writes them."""
    return ["q"] + (["phi"] if model in _WITH_PHI else []) + (
        ["velocity"] if model in _WITH_FLOW else [])


def _check_options(model: str, friction: Any = 0.0, flow_alignment: Any = 0.0,
                   backflow: Any = "off") -> dict[str, Any]:
    friction = float(friction)
    flow_alignment = float(flow_alignment)
    if not (math.isfinite(friction) and friction >= 0.0):
        raise ValueError(f"friction must be finite and >= 0, got {friction!r}")
    if not math.isfinite(flow_alignment):
        raise ValueError(f"flow_alignment must be finite, got {flow_alignment!r}")
    if backflow not in _BACKFLOW:
        raise ValueError(f"backflow must be one of {', '.join(map(repr, _BACKFLOW))}, "
                         f"got {backflow!r}")
    options = {"friction": friction, "flow_alignment": flow_alignment, "backflow": backflow}
    if model not in _WITH_FLOW and options != {"friction": 0.0, "flow_alignment": 0.0,
                                               "backflow": "off"}:
        raise ValueError(f"friction, flow_alignment and backflow are options of the models "
                         f"with flow ({', '.join(_WITH_FLOW)}), not of {model!r}")
    return options


def _copy(obj: Any) -> Any:
    restore, args = obj.__reduce__()
    return restore(*args)


def _state_bytes(obj: Any) -> np.ndarray:
    """An engine value's checked byte state (the one pickling uses), as uint8."""
    return np.frombuffer(obj.__reduce__()[1][1], dtype=np.uint8)


def _param_values(params: Any) -> dict[str, Any]:
    return {name: getattr(params, name) for name, v in vars(type(params)).items()
            if isinstance(v, types.GetSetDescriptorType)}
