"""Parameter sweeps and seed ensembles of lodestra runs on Dask.

A `Sweep` names one simulation function, a base parameter set, the parameters to
vary (their Cartesian product), the seeds and how each run's initial fields are
made. `Sweep.run()` sends one task per run to a Dask scheduler -- a local cluster
of worker processes by default, or any client, cluster or scheduler address given
-- and gathers the statistics of every run into one pandas table.

Every task travels as plain data: the simulation function's name, the complete
parameter values, the seed and the initial-field callable go out; the records
come back as lists of plain values and, when asked for, the final fields as NumPy
arrays with their grid. Each worker rebuilds the parameter set with its
constructor (so each run's set is validated) and every result is rebuilt on the
client, so the table is bit-identical whatever the transport, the number of
workers or the order in which runs finish.

Runs are numbered parameter combination first, seed second: run
``k * len(seeds) + m`` is combination ``k`` of the product (the last varied name
changing fastest) with the ``m``-th seed.

The 3D runners write into `out_dir`: run 3 writes its snapshots and
``stats.json`` into ``out_dir/run_0003`` (four digits, more for sweeps of 10000
runs or more), beside a ``params.json`` in the same directory holding the run's
index, simulation function, seed, step counts, varied values and every parameter
value. The directory must exist and must not hold run directories already.

`run` may also name a model of `lodestra.Simulation` ("dry", "hydro", "bech",
"dry3d", "bech3d"): then every run is a `Simulation` whose noise seed is the run's
seed, so a seed ensemble varies its noise as well as its initial fields, and the
models with flow may vary their extensions (``friction``, ``flow_alignment``,
``backflow``) like parameters.

Needs the ``ensemble`` extra: ``pip install 'lodestra[ensemble]'``.
"""

from __future__ import annotations

import inspect
import itertools
import json
import math
import numbers
import operator
import os
import types
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Mapping

import lodestra
from lodestra import _files

if TYPE_CHECKING:
    from distributed import Client
    from distributed.deploy import Cluster

__all__ = ["Sweep", "SweepResult", "RandomFields", "random_fields"]

_EXTRA = "pip install 'lodestra[ensemble]'"

InitCallable = Callable[[Any, int], Any]


def _require(module: str, what: str) -> Any:
    """Import an optional dependency, naming the extra that provides it."""
    try:
        return __import__(module, fromlist=["_"])
    except ImportError as err:
        raise ImportError(f"lodestra.ensemble.{what} needs {module}: {_EXTRA}") from err


@dataclass(frozen=True)
class _Runner:
    """What the ensemble needs to know of one simulation function."""

    name: str
    three_d: bool
    with_phi: bool
    record: str  # the statistics record class
    simulation: bool = False  # a model of lodestra.Simulation, not a runner function


_RUNNERS = {
    r.name: r
    for r in (
        _Runner("run_ridi_component1", False, False, "SnapStats"),
        _Runner("run_ridi_component1_hydro", False, False, "SnapStats"),
        _Runner("run_ridi_bech", False, True, "BechStats"),
        _Runner("run_ridi_3d", True, False, "SnapStats3D"),
        _Runner("run_ridi_3d_full", True, True, "BechStats3D"),
        _Runner("dry", False, False, "SnapStats", True),
        _Runner("hydro", False, False, "SnapStats", True),
        _Runner("bech", False, True, "BechStats", True),
        _Runner("dry3d", True, False, "SnapStats3D", True),
        _Runner("bech3d", True, True, "BechStats3D", True),
    )
}
# The model extensions a Sweep of a Simulation model with flow may vary, with their
# defaults.
_OPTIONS = {"friction": 0.0, "flow_alignment": 0.0, "backflow": "off"}


def _params_class(runner: _Runner) -> type:
    return lodestra.RidiParams3D if runner.three_d else lodestra.RidiParams


def _param_names(cls: type) -> tuple[str, ...]:
    """Constructor parameter names of a parameter-set class, in constructor order.

    Every settable property is also a constructor parameter, so these are all the
    names a sweep may vary, and reading them through the properties gives a
    complete description of a set.
    """
    return tuple(inspect.signature(cls).parameters)


def _param_values(params: Any) -> dict[str, Any]:
    return {name: getattr(params, name) for name in _param_names(type(params))}


def _record_fields(runner: _Runner) -> list[str]:
    """Property names of the runner's statistics record, in their declared order."""
    cls = getattr(lodestra, runner.record)
    return [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]


@dataclass(frozen=True)
class RandomFields:
    """Initial fields of a run: Q from its field type's seeded ``random_perturbation``
    on the parameters' grid with the run's seed, and, for the runners that also
    evolve the lipid fraction, phi uniform at ``phi``.

    Call it with ``(parameters, seed)``. `Sweep` sets ``with_phi`` from its runner; left
    at None the call returns Q alone.

    Parameters
    ----------
    amplitude : float
        Each component of Q is drawn uniformly from [-amplitude, amplitude].
    phi : float
        The uniform lipid fraction (BECH runners only).
    with_phi : bool or None
        Return the pair (Q, phi) instead of Q alone.

    Examples
    --------
    >>> import lodestra
    >>> from lodestra.ensemble import RandomFields
    >>> q = RandomFields(0.05)(lodestra.RidiParams.default_test(), seed=3)
    >>> (q.nx, q.ny)
    (64, 64)
    """

    amplitude: float
    phi: float = 0.5
    with_phi: bool | None = None

    def __call__(self, params: Any, seed: int) -> Any:
        grid: tuple[Any, ...]
        q: Any
        phi_field: Any
        if isinstance(params, lodestra.RidiParams3D):
            grid = (params.nx, params.ny, params.nz, params.dx)
            q = lodestra.QField3D.random_perturbation(*grid, self.amplitude, seed)
            phi_field = lodestra.ScalarField3D
        else:
            grid = (params.nx, params.ny, params.dx)
            q = lodestra.QField2D.random_perturbation(*grid, self.amplitude, seed)
            phi_field = lodestra.ScalarField2D
        if not self.with_phi:
            return q
        return q, phi_field.uniform(*grid, self.phi)


def random_fields(amplitude: float, phi: float = 0.5) -> RandomFields:
    """Seeded random Q of the given amplitude (and phi uniform at ``phi`` for the BECH runners).

    Parameters
    ----------
    amplitude : float
        Amplitude of the uniform random components of Q.
    phi : float
        The uniform lipid fraction of the BECH runners (default 0.5).

    Returns
    -------
    RandomFields
        A picklable callable ``(params, seed)`` for `Sweep`'s ``init``.

    Examples
    --------
    >>> from lodestra import ensemble
    >>> ensemble.random_fields(0.05)
    RandomFields(amplitude=0.05, phi=0.5, with_phi=None)
    """
    return RandomFields(float(amplitude), float(phi))


@dataclass
class SweepResult:
    """Outcome of `Sweep.run`.

    Attributes
    ----------
    records : pandas.DataFrame
        One row per (run, snapshot): the run index ``run``, the varied parameters,
        ``seed``, ``snapshot`` (index within the run) and every field of the run's
        statistics record in its declared order; sorted by run and snapshot.
    failures : pandas.DataFrame
        One row per failed run: ``run``, the varied parameters, ``seed``, ``error``
        (the exception's type name) and ``message``.
    fields : dict
        Run index -> final fields as the simulation function returns them (a Q field,
        or a (Q, phi) pair), filled when the sweep keeps fields.
    """

    records: Any  # a pandas DataFrame (pandas is an optional dependency)
    failures: Any  # a pandas DataFrame
    fields: dict[int, Any] = field(default_factory=dict)

    def __repr__(self) -> str:
        return (f"SweepResult(records={len(self.records)}, failures={len(self.failures)}, "
                f"fields={len(self.fields)})")


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}")
    value = operator.index(value)
    if value < 0:
        raise ValueError(f"{what} must be non-negative, got {value}")
    return value


def _vary_value(value: Any, base: Any, what: str) -> Any:
    """A varied value in the type of the parameter it replaces (int counts, float reals)."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be a number, got bool")
    if isinstance(base, int):
        if not isinstance(value, numbers.Integral):
            raise TypeError(f"{what} must be an integer, got {type(value).__name__}")
        return operator.index(value)
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__}")
    return float(value)


class Sweep:
    """Many runs of one simulation function: the Cartesian product of the varied
    parameters times the seeds.

    The base set's values are read when the sweep is made; changing the set later
    does not change the sweep. Arguments are checked here, so a bad sweep fails
    before anything is submitted.

    Parameters
    ----------
    run : callable or str
        One of lodestra's five simulation functions, or the name of a
        `lodestra.Simulation` model ("dry", "hydro", "bech", "dry3d", "bech3d"): each run
        is then a Simulation whose noise seed is the run's seed, and the models with flow
        may also vary ``friction``, ``flow_alignment`` and ``backflow``.
    params : RidiParams or RidiParams3D
        The base set (2D runners: `RidiParams`; 3D runners: `RidiParams3D`).
    vary : dict of str to list, optional
        Parameter name -> values; any constructor parameter of the set.
    seeds : iterable of int
        The seeds of every parameter combination.
    init : callable
        ``(parameters, seed)`` -> the run's initial field(s): a Q field, or a (Q, phi)
        pair for `run_ridi_bech` and `run_ridi_3d_full`; for example
        ``random_fields(amplitude)``. It must pickle (it is sent to the workers).
    n_steps, snap_every : int
        Passed to every run.
    out_dir : str or path, optional
        3D runners only: an existing directory; each run writes into its own
        subdirectory ``run_NNNN`` of it, with a ``params.json`` inside.
    track_defects : bool
        3D runners only, passed to every run.
    keep_fields : bool
        Bring every run's final fields back in `SweepResult.fields`.

    Raises
    ------
    TypeError
        If ``run`` is not a simulation function of lodestra, ``params`` not its
        parameter class, or a value or count has the wrong type.
    ValueError
        If a varied name is not a parameter, a list of values or the seeds is empty, a
        count is negative, ``snap_every`` is 0, or ``out_dir`` / ``track_defects`` do
        not fit the runner.
    FileNotFoundError
        If ``out_dir`` is not an existing directory.

    Examples
    --------
    >>> import lodestra
    >>> from lodestra import ensemble
    >>> sweep = ensemble.Sweep(lodestra.run_ridi_component1_hydro,
    ...                        lodestra.RidiParams.default_test(),
    ...                        vary={"zeta_eff": [1.0, 2.0]}, seeds=[0, 1],
    ...                        init=ensemble.random_fields(0.05), n_steps=100, snap_every=50)
    >>> len(sweep), sweep.runs()[1]
    (4, (1, {'zeta_eff': 1.0}, 1))
    """

    def __init__(self, run: Callable[..., Any], params: Any, *,
                 vary: Mapping[str, Iterable[Any]] | None = None,
                 seeds: Iterable[int] = (0,), init: InitCallable, n_steps: int,
                 snap_every: int, out_dir: str | os.PathLike[str] | None = None,
                 track_defects: bool = False, keep_fields: bool = False,
                 threads: int = 1) -> None:
        name = run if isinstance(run, str) else str(getattr(run, "__name__", ""))
        known = name in _RUNNERS and (isinstance(run, str) == _RUNNERS[name].simulation)
        if not known or (not isinstance(run, str) and getattr(lodestra, name) is not run):
            raise TypeError("run must be one of lodestra's simulation functions or "
                            "Simulation models (" + ", ".join(_RUNNERS) + f"), got {run!r}")
        self._runner = runner = _RUNNERS[name]
        cls = _params_class(runner)
        if not isinstance(params, cls):
            raise TypeError(f"{name} takes {cls.__name__} parameters, "
                            f"got {type(params).__name__}")
        self._base = _param_values(params)
        with_options = runner.simulation and name in ("hydro", "bech", "bech3d")
        self._base_options = dict(_OPTIONS) if with_options else {}

        self._vary: dict[str, list[Any]] = {}
        for key, values in dict(vary or {}).items():
            if key in self._base_options:
                if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                    raise TypeError(f"vary[{key!r}] must be a list of values")
                values = [v if key == "backflow" else
                          _vary_value(v, 0.0, f"vary[{key!r}] value") for v in values]
                if not values:
                    raise ValueError(f"vary[{key!r}] has no values")
                self._vary[key] = values
                continue
            if key not in self._base:
                raise ValueError(f"cannot vary {key!r}: not a parameter of {cls.__name__} "
                                 f"(parameters: {', '.join(self._base)})")
            if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                raise TypeError(f"vary[{key!r}] must be a list of values")
            values = [_vary_value(v, self._base[key], f"vary[{key!r}] value") for v in values]
            if not values:
                raise ValueError(f"vary[{key!r}] has no values")
            self._vary[key] = values

        self._seeds = [_count(s, "seed") for s in seeds]
        if not self._seeds:
            raise ValueError("seeds is empty: give at least one seed")
        if any(s >= 2**64 for s in self._seeds):
            raise ValueError("seeds must be below 2**64")
        self._n_steps = _count(n_steps, "n_steps")
        self._snap_every = _count(snap_every, "snap_every")
        if (not runner.three_d or runner.simulation) and self._snap_every == 0:
            raise ValueError(f"snap_every must be positive for {name}")

        if runner.three_d:
            if out_dir is None:
                raise ValueError(f"{name} writes its snapshots to disk: give out_dir, "
                                 "an existing directory")
            out_dir = os.path.abspath(os.fspath(out_dir))  # workers may run elsewhere
            if not os.path.isdir(out_dir):
                raise FileNotFoundError(f"out_dir {out_dir!r} is not an existing directory")
        elif out_dir is not None or track_defects:
            raise ValueError(f"out_dir and track_defects apply to the 3D runners, not {name}")
        self._out_dir = out_dir
        self._track_defects = bool(track_defects)
        self._keep_fields = bool(keep_fields)
        self._threads = _count(threads, "threads")
        if not 1 <= self._threads <= 1024:
            raise ValueError(f"threads must be from 1 to 1024, got {self._threads}")

        if isinstance(init, RandomFields):
            init = RandomFields(init.amplitude, init.phi, runner.with_phi)
        if not callable(init):
            raise TypeError(f"init must be a callable (parameters, seed), got {init!r}")
        cloudpickle = _require("cloudpickle", "Sweep")
        try:
            # Both ways: a callable may pickle and still fail to unpickle on a worker
            # (a lodestra class held under another name is pickled by value).
            cloudpickle.loads(cloudpickle.dumps(init))
        except Exception as err:
            raise TypeError(
                f"init cannot be sent to the workers: it does not pickle "
                f"({type(err).__name__}: {err}); inside it, reach lodestra's classes "
                "through the module (lodestra.QField2D)") from err
        self._init = init

    @property
    def varied(self) -> list[str]:
        """The varied parameter names, in the order given (list of str)."""
        return list(self._vary)

    def __len__(self) -> int:
        return math.prod(len(v) for v in self._vary.values()) * len(self._seeds)

    def runs(self) -> list[tuple[int, dict[str, Any], int]]:
        """Every run as (run index, varied values, seed), in run order.

        Returns
        -------
        list of tuple
            ``(index, {name: value}, seed)``; the last varied name changes fastest,
            the seed slowest of all: run ``k * len(seeds) + m`` is combination ``k``
            with the ``m``-th seed.
        """
        combos = itertools.product(*self._vary.values())
        pairs = itertools.product(combos, self._seeds)
        return [(i, dict(zip(self._vary, combo)), seed)
                for i, (combo, seed) in enumerate(pairs)]

    def _run_dir_name(self, index: int) -> str:
        width = max(4, len(str(len(self) - 1)))
        return f"run_{index:0{width}d}"

    def _tasks(self) -> list[dict[str, Any]]:
        tasks = []
        for index, values, seed in self.runs():
            run_dir = None
            if self._out_dir is not None:
                run_dir = os.path.join(self._out_dir, self._run_dir_name(index))
            options = {k: values.get(k, v) for k, v in self._base_options.items()}
            params = {k: v for k, v in values.items() if k not in options}
            tasks.append({
                "index": index, "run": self._runner.name,
                "params": {**self._base, **params}, "options": options,
                "varied": values, "seed": seed,
                "init": self._init, "n_steps": self._n_steps,
                "snap_every": self._snap_every, "out_dir": run_dir,
                "track_defects": self._track_defects, "keep_fields": self._keep_fields,
                "threads": self._threads,
            })
        return tasks

    def run(self, client: Client | Cluster | str | None = None, *, progress: bool = True,
            retries: int = 2, n_workers: int | None = None) -> SweepResult:
        """Run every task and gather the results.

        A run that raises is absent from the records and listed in the failures; a
        warning says how many failed.

        Parameters
        ----------
        client : distributed.Client, cluster, str or None
            A client, a Dask cluster object (a dask-jobqueue cluster, say), a scheduler
            address such as "tcp://host:8786", or None for a local cluster of
            ``n_workers`` processes (default: one per core) of one thread each, closed
            afterwards.
        progress : bool
            Show a bar of finished runs (terminal or notebook).
        retries : int
            How often Dask reruns a task that fails outside the run itself (one that
            cannot be unpacked on its worker, say). A task whose worker dies is rerun
            elsewhere by the scheduler, up to its
            ``distributed.scheduler.allowed-failures`` setting (3 by default).
        n_workers : int, optional
            Size of the local cluster when no client is given.

        Returns
        -------
        SweepResult
            The records of every run in one table, the failures, the kept fields.

        Raises
        ------
        ImportError
            If Dask distributed or pandas is missing (naming the ``ensemble`` extra).
        FileExistsError
            If ``out_dir`` already holds run directories.

        Examples
        --------
        ``result = sweep.run(n_workers=2)`` on this machine, or
        ``sweep.run(client="tcp://scheduler-host:8786")`` on a cluster; see the sweep
        tutorial.
        """
        distributed = _require("distributed", "Sweep.run")
        pandas = _require("pandas", "Sweep.run")
        tasks = self._tasks()
        if self._out_dir is not None:
            taken = [t["out_dir"] for t in tasks if os.path.lexists(t["out_dir"])]
            if taken:
                raise FileExistsError(
                    f"out_dir {self._out_dir!r} already holds run directories "
                    f"({', '.join(os.path.basename(p) for p in taken[:3])}"
                    f"{', ...' if len(taken) > 3 else ''}); give an empty directory so "
                    "that no earlier snapshots mix with this sweep's")

        with _client_for(distributed, client, n_workers) as dask_client:
            outcomes = _gather(distributed, dask_client, tasks, progress, retries)
        return self._result(pandas, tasks, outcomes)

    def _result(self, pandas: Any, tasks: list[dict[str, Any]],
                outcomes: dict[int, dict[str, Any]]) -> SweepResult:
        rows, failures, fields = [], [], {}
        record_names = _record_fields(self._runner)
        for task in tasks:
            index = task["index"]
            head = {"run": index, **task["varied"], "seed": task["seed"]}
            outcome = outcomes[index]
            if not outcome["ok"]:
                failures.append({**head, "error": outcome["error"],
                                 "message": outcome["message"]})
                continue
            for snapshot, values in enumerate(outcome["records"]):
                rows.append({**head, "snapshot": snapshot, **dict(zip(record_names, values))})
            if outcome["fields"] is not None:
                fields[index] = _rebuild_fields(outcome["fields"])
        head_cols = ["run", *self._vary, "seed"]
        records = pandas.DataFrame(rows, columns=[*head_cols, "snapshot", *record_names])
        failures_frame = pandas.DataFrame(failures, columns=[*head_cols, "error", "message"])
        if failures:
            warnings.warn(f"{len(failures)} of {len(tasks)} runs failed; "
                          "see the failures of the result", RuntimeWarning, stacklevel=3)
        return SweepResult(records, failures_frame, fields)


class _client_for:
    """The client to submit to, and whatever must be closed afterwards."""

    def __init__(self, distributed: Any, client: Any, n_workers: int | None) -> None:
        self._distributed, self._given, self._n_workers = distributed, client, n_workers
        self._owned: list[Any] = []

    def __enter__(self) -> Any:
        d, given = self._distributed, self._given
        if isinstance(given, d.Client):
            return given
        if given is None:
            n = self._n_workers or os.cpu_count() or 1
            cluster = d.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                     dashboard_address=":0")
            self._owned.append(cluster)
            given = cluster
        client = d.Client(given)  # an address or a cluster object
        self._owned.insert(0, client)
        return client

    def __exit__(self, *exc: Any) -> None:
        for thing in self._owned:
            thing.close()


def _gather(distributed: Any, client: Any, tasks: list[dict[str, Any]], progress: bool,
            retries: int) -> dict[int, dict[str, Any]]:
    """Submit one task per run and collect each outcome as it arrives."""
    futures = {
        client.submit(_run_one, task, key=f"lodestra-run-{task['index']}-{os.urandom(6).hex()}",
                      pure=False, retries=retries): task["index"]
        for task in tasks
    }
    bar = _progress_bar(len(tasks), progress)
    outcomes: dict[int, dict[str, Any]] = {}
    try:
        for future in distributed.as_completed(futures):
            index = futures[future]
            if future.status == "finished":
                outcomes[index] = future.result()
            else:
                # The task itself catches every failure of the run; what arrives here
                # is the cluster's (a worker killed too often, a task that did not
                # unpickle there, a task cancelled from outside).
                err = future.exception() if future.status == "error" else None
                outcomes[index] = {"ok": False,
                                   "error": type(err).__name__ if err else "CancelledError",
                                   "message": str(err) if err else "the task was cancelled"}
            future.release()
            bar.update(1)
    finally:
        bar.close()
        for future in futures:
            if not future.done():
                future.cancel()
    return outcomes


def _progress_bar(total: int, show: bool) -> Any:
    if show:
        tqdm = _require("tqdm.auto", "Sweep.run")
        return tqdm.tqdm(total=total, desc="runs", unit="run")
    return _NoBar()


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


def _field_arrays(field_obj: Any) -> dict[str, Any]:
    """A final field as plain data: its kind, values and grid."""
    if isinstance(field_obj, lodestra.QField3D):
        return {"kind": "QField3D", "data": field_obj.q.reshape(-1, 5),
                "grid": (field_obj.nx, field_obj.ny, field_obj.nz, field_obj.dx)}
    if isinstance(field_obj, lodestra.ScalarField3D):
        return {"kind": "ScalarField3D", "data": field_obj.phi,
                "grid": (field_obj.nx, field_obj.ny, field_obj.nz, field_obj.dx)}
    return {"kind": type(field_obj).__name__, "data": field_obj.to_numpy(),
            "grid": (field_obj.nx, field_obj.ny, field_obj.dx)}


def _rebuild_fields(data: list[dict[str, Any]]) -> Any:
    built = [getattr(lodestra, d["kind"]).from_numpy(d["data"], *d["grid"]) for d in data]
    return built[0] if len(built) == 1 else tuple(built)


def _initial_fields(runner: _Runner, made: Any) -> tuple[Any, ...]:
    dim = "3D" if runner.three_d else "2D"
    q_type = lodestra.QField3D if runner.three_d else lodestra.QField2D
    phi_type = lodestra.ScalarField3D if runner.three_d else lodestra.ScalarField2D
    expected = (q_type, phi_type) if runner.with_phi else (q_type,)
    fields = made if isinstance(made, tuple) else (made,)
    if len(fields) != len(expected) or not all(map(isinstance, fields, expected)):
        names = " and ".join(t.__name__ for t in expected)
        raise TypeError(f"init must return {names} for {runner.name} ({dim}), got "
                        + ", ".join(type(f).__name__ for f in fields))
    return fields


def _write_params_json(task: dict[str, Any]) -> None:
    info = {key: task[key] for key in ("index", "run", "seed", "n_steps", "snap_every",
                                       "track_defects", "varied", "params", "options")
            if key in task}
    _files.write_text(os.path.join(task["out_dir"], "params.json"),
                      json.dumps(info, indent=2) + "\n")


def _simulate(runner: _Runner, fields: tuple[Any, ...], params: Any,
              task: dict[str, Any]) -> tuple[Any, ...]:
    """One run as a Simulation seeded with the run's seed: (final fields..., records)."""
    where: dict[str, Any] = {}
    if runner.three_d:
        os.makedirs(task["out_dir"], exist_ok=True)
        _write_params_json(task)
        where = {"out_dir": task["out_dir"], "track_defects": task["track_defects"]}
    sim = lodestra.Simulation(runner.name, fields[0], params,
                              phi=fields[1] if runner.with_phi else None, seed=task["seed"],
                              **where, **task["options"])
    sim.run(task["n_steps"], task["snap_every"])
    return (sim.q, sim.phi, sim.records) if runner.with_phi else (sim.q, sim.records)


def _run_one(task: dict[str, Any]) -> dict[str, Any]:
    """One run on a worker, from plain data to plain data.

    Every failure of the run itself is caught here and returned as data, the
    engine's PanicException (a BaseException) included, so that one bad run
    never costs the others.
    """
    runner = _RUNNERS[task["run"]]
    # A worker may have run other work before: the sweep says how many threads.
    lodestra.set_num_threads(task.get("threads", 1))
    try:
        params = _params_class(runner)(**task["params"])
        fields = _initial_fields(runner, task["init"](params, task["seed"]))
        steps = (task["n_steps"], task["snap_every"])
        if runner.simulation:
            result = _simulate(runner, fields, params, task)
        elif runner.three_d:
            os.makedirs(task["out_dir"], exist_ok=True)
            _write_params_json(task)
            result = getattr(lodestra, runner.name)(*fields, params, *steps, task["out_dir"],
                                                    task["track_defects"])
        else:
            result = getattr(lodestra, runner.name)(*fields, params, *steps)
    except (Exception, lodestra.PanicException) as err:
        return {"ok": False, "error": type(err).__name__, "message": str(err)}
    *final, stats = result
    names = _record_fields(runner)
    records = [[getattr(r, n) for n in names] for r in stats]
    kept = [_field_arrays(f) for f in final] if task["keep_fields"] else None
    return {"ok": True, "records": records, "fields": kept}
