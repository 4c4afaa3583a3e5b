"""Pictures of lodestra results with matplotlib.

Every function draws on the axes it is given (``ax=None`` makes a new figure) and
returns the figure, so the pictures compose into the caller's own layouts::

    import lodestra.plot
    fig = lodestra.plot.director(q)                 # S, director, +-1/2 defects
    lodestra.plot.records(stats, ("mean_s", "n_defects"))
    lodestra.plot.lines3d(lodestra.DisclinationLine.scan(q3), q=q3)
    lodestra.plot.bech(q, phi)                      # phi beside S

Lengths are physical: vertex (i, j, l) sits at (i dx, j dx, l dx) and the periodic box
of an n-vertex axis is [0, n dx). matplotlib is imported only inside the functions
(``pip install 'lodestra[plot]'``).
"""

from __future__ import annotations

import types
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np

from . import _core

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from numpy.typing import NDArray

__all__ = ["director", "records", "lines3d", "bech"]

_RECORD_TYPES: tuple[type, ...] = (_core.SnapStats, _core.BechStats, _core.SnapStats3D, _core.BechStats3D)

# Label, colour, line style and unit of each record field: a field keeps its look in every
# picture (n_plus and n_minus, equal for a neutral field, differ by their dashes). The unit
# is written in words because the library has none of its own: lengths and times are in
# the units of dx and dt.
_FIELD_STYLES = {
    "mean_s": ("⟨S⟩", "black", "-", ""),
    "biaxiality_p": ("⟨P⟩", "#7f7f7f", "-.", ""),
    "n_defects": ("defects", "#2ca02c", "-", "count"),
    "n_plus": ("n(+1/2)", "#ff5a36", "-", "count"),
    "n_minus": ("n(−1/2)", "#36c5ff", "--", "count"),
    "defect_density": ("defect density ρ_d", "#9467bd", "-", "1/length²"),
    "mean_phi": ("⟨φ⟩", "#8c564b", "--", ""),
    "phi_variance": ("Var[φ]", "#e377c2", "-", ""),
    "mean_grad_phi_sq": ("⟨|∇φ|²⟩", "#bcbd22", "-", "1/length²"),
    "n_disclination_lines": ("disclination lines", "#ff7f0e", "-", "count"),
    "total_line_length": ("total line length", "#d62728", "-", "vertices"),
    "mean_line_curvature": ("mean line curvature ⟨κ⟩", "#17becf", "-", "1/length"),
    "n_events": ("events", "#1f77b4", ":", "count"),
}
# Fields that share one axis in `records`: the same quantity on the same scale. Every
# other field gets an axis of its own.
_FIELD_SCALES = {"mean_s": "order", "biaxiality_p": "order", "n_defects": "defects",
                 "n_plus": "defects", "n_minus": "defects"}
# Marker, colour and label of the +1/2 and -1/2 defects.
_DEFECT_STYLES = ((1, "o", "#ff5a36", "+1/2"), (-1, "^", "#36c5ff", "−1/2"))


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "lodestra.plot needs matplotlib: pip install 'lodestra[plot]'"
        ) from exc
    return plt


def _need(obj: object, kinds: tuple[type, ...], what: str, where: str) -> None:
    if not isinstance(obj, kinds):
        names = " or ".join(k.__name__ for k in kinds)
        raise TypeError(f"{where}: {what} must be {names}, got '{type(obj).__name__}'")


def _figure_of(ax: Axes) -> Figure:
    # The top-level figure, also when the axes sit in a subfigure.
    fig: Any = ax.figure
    while getattr(fig, "figure", None) not in (None, fig):
        fig = fig.figure
    return fig  # type: ignore[no-any-return]


def _new_axes(ax: Optional[Axes], figsize: tuple[float, float], projection: Optional[str] = None) -> Axes:
    if ax is not None:
        return ax
    fig = _pyplot().figure(figsize=figsize, layout="constrained")
    return fig.add_subplot(projection=projection)


def _grid_image(ax: Axes, values: NDArray[np.float64], dx: float, cmap: str, label: str,
                **norm: Any) -> None:
    """values[i, j] as an image whose pixel (i, j) is centred on the vertex (i dx, j dx)."""
    nx, ny = values.shape
    extent = (-0.5 * dx, (nx - 0.5) * dx, -0.5 * dx, (ny - 0.5) * dx)
    image = ax.imshow(values.T, origin="lower", extent=extent, cmap=cmap, interpolation="nearest",
                      **norm)
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.figure.colorbar(image, ax=ax, label=label, shrink=0.9)


def _check_grid(nx: int, ny: int, where: str) -> None:
    if nx == 0 or ny == 0:
        raise ValueError(f"{where}: nothing to draw on an empty {nx} x {ny} grid")


def director(q: _core.QField2D, ax: Optional[Axes] = None, defects: bool = True) -> Figure:
    """Draw the 2D order S, the director and (with ``defects``) the +-1/2 defects.

    S is an image on the physical grid with its colour bar, the director a headless
    segment every few vertices, +1/2 defects red circles and -1/2 defects blue
    triangles at the centres of the plaquettes that `lodestra.defects.scan_periodic`
    marks (the seam included), counted in the legend.

    Parameters
    ----------
    q : QField2D
        The field to draw.
    ax : matplotlib Axes, optional
        Draw here; by default on a new figure.
    defects : bool
        Mark the ±1/2 defects.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    TypeError
        If ``q`` is not a `QField2D`.
    ValueError
        If its grid is empty.

    Examples
    --------
    >>> import lodestra, lodestra.plot as lplot
    >>> q = lodestra.QField2D.random_perturbation(32, 32, 1.0, 0.5, 1)
    >>> fig = lplot.director(q)
    """
    _need(q, (_core.QField2D,), "q", "director")
    nx, ny, dx = q.nx, q.ny, q.dx
    _check_grid(nx, ny, "director")
    ax = _new_axes(ax, (6.4, 5.2))
    s = np.asarray(q.order_param()).reshape(nx, ny)
    theta = np.asarray(q.director_angle()).reshape(nx, ny)
    _grid_image(ax, s, dx, "viridis", "S")

    # One segment every `stride` vertices, 0.8 of the spacing long, centred on its vertex.
    stride = max(1, round(max(nx, ny) / 32))
    i, j = np.meshgrid(np.arange(0, nx, stride), np.arange(0, ny, stride), indexing="ij")
    t = theta[::stride, ::stride]
    ax.quiver(i * dx, j * dx, np.cos(t), np.sin(t), angles="xy", scale_units="xy",
              scale=1.0 / (0.8 * stride * dx), pivot="middle", headwidth=0, headlength=0,
              headaxislength=0, width=0.0035, color="black", alpha=0.6)
    if defects:
        from .defects import scan_periodic

        found = scan_periodic(q)
        for sign, marker, colour, label in _DEFECT_STYLES:
            at = np.array([d.plaquette for d in found if d.charge_sign == sign], dtype=float)
            if len(at):
                # Plaquette (i, j) spans the vertices (i, j) to (i + 1, j + 1).
                ax.scatter((at[:, 0] + 0.5) * dx, (at[:, 1] + 0.5) * dx, s=42, marker=marker,
                           c=colour, edgecolors="black", linewidths=0.6, zorder=3,
                           label=f"{label} ({len(at)})")
        if found:
            ax.legend(loc="upper right", fontsize=8, framealpha=0.8)
    ax.set_xlim(-0.5 * dx, (nx - 0.5) * dx)
    ax.set_ylim(-0.5 * dx, (ny - 0.5) * dx)
    ax.set_title("S, director and ±1/2 defects" if defects else "S and director")
    return _figure_of(ax)


def _record_fields(kind: type) -> list[str]:
    return [name for name, member in vars(kind).items()
            if isinstance(member, types.GetSetDescriptorType) and not name.startswith("_")]


def _style(name: str) -> tuple[str, Optional[str], str, str]:
    return _FIELD_STYLES.get(name, (name, None, "-", ""))


def _axis_label(names: Sequence[str]) -> str:
    labels = ", ".join(_style(n)[0] for n in names)
    unit = _style(names[0])[3]
    return f"{labels} ({unit})" if unit else labels


def records(records: Sequence[Any], fields: Union[str, Sequence[str]] = ("mean_s",),
            ax: Optional[Axes] = None) -> Figure:
    """Draw the named fields of a list of statistics records over time.

    Fields of different scale get axes of their own: with ``ax=None`` one panel per
    scale, stacked over a shared time axis (⟨S⟩ and ⟨P⟩ share one, as do the defect
    counts); on given axes the first scale is drawn on ``ax`` and a second one on a twin
    axis at its right. Each axis is labelled with its fields' names and unit.

    Parameters
    ----------
    records : list of SnapStats, BechStats, SnapStats3D or BechStats3D
        As the runners return them.
    fields : str or sequence of str
        Record field names to draw against the records' ``time``.
    ax : matplotlib Axes, optional
        Draw here (at most two scales: the second on ``ax.twinx()``).

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    TypeError
        If ``records`` is not a list of statistics records.
    ValueError
        If it is empty, a field is unknown (the message lists the known ones), or more
        than two scales are asked for on given axes.

    Examples
    --------
    >>> import lodestra, lodestra.plot as lplot
    >>> p = lodestra.RidiParams.default_test()
    >>> q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.001, 42)
    >>> q, stats = lodestra.run_ridi_component1(q0, p, 500, 50)
    >>> fig = lplot.records(stats, ("mean_s", "n_defects"))   # two panels
    >>> len(fig.axes)
    2
    """
    where = "records"
    if isinstance(records, (str, bytes)) or not isinstance(records, Sequence):
        raise TypeError(f"{where}: records must be a list of statistics records, "
                        f"got '{type(records).__name__}'")
    if len(records) == 0:
        raise ValueError(f"{where}: no records to draw")
    for r in records:
        _need(r, _RECORD_TYPES, "each record", where)
    names = (fields,) if isinstance(fields, str) else tuple(fields)
    if not names:
        raise ValueError(f"{where}: no fields named")
    for name in names:
        for kind in {type(r) for r in records}:
            known = _record_fields(kind)
            if name not in known or name == "time":
                raise ValueError(f"{where}: {kind.__name__} has no field {name!r} to draw "
                                 f"over time; its fields are {', '.join(known[1:])}")
    # The scales in the order their first field was named, each with its fields.
    scales: dict[str, list[str]] = {}
    for name in names:
        scales.setdefault(_FIELD_SCALES.get(name, name), []).append(name)
    groups = list(scales.values())
    if ax is not None and len(groups) > 2:
        raise ValueError(f"{where}: {len(groups)} fields of different scale do not fit on "
                         "one axes and its twin; pass ax=None for one panel per scale")
    if ax is None:
        fig = _pyplot().figure(figsize=(6.4, 1.2 + 2.0 * len(groups)), layout="constrained")
        axes = list(fig.subplots(len(groups), 1, sharex=True, squeeze=False)[:, 0])
    else:
        axes = [ax] + ([ax.twinx()] if len(groups) == 2 else [])
    t = np.array([r.time for r in records], dtype=float)
    for panel, group in zip(axes, groups):
        for name in group:
            y = np.array([getattr(r, name) for r in records], dtype=float)
            label, colour, dashes, _ = _style(name)
            panel.plot(t, y, color=colour, ls=dashes, label=label,
                       marker="." if len(t) < 40 else None)
        # A one-field axis is labelled in its line's colour, which tells the two axes of
        # a twin plot apart; several fields on one axis get a legend.
        colour = _style(group[0])[1]
        if len(group) == 1 and colour is not None:
            panel.set_ylabel(_axis_label(group), color=colour)
        else:
            panel.set_ylabel(_axis_label(group))
        if len(group) > 1 and ax is None:
            panel.legend(fontsize=8)
    if ax is not None and len(names) > 1:
        # One legend for an axes and its twin, naming every line of both.
        handles = [h for a in axes for h in a.get_legend_handles_labels()[0]]
        axes[-1].legend(handles, [h.get_label() for h in handles], fontsize=8)
    axes[-1 if ax is None else 0].set_xlabel("time t (τ, the unit of dt)")
    return _figure_of(axes[0])


def _box_of(box: Any, q: Optional[_core.QField3D]) -> Optional[NDArray[np.float64]]:
    if box is None:
        return None if q is None else np.array([q.nx, q.ny, q.nz], dtype=float) * q.dx
    size = np.asarray(box, dtype=float)
    if size.shape != (3,) or not np.all(np.isfinite(size)) or np.any(size <= 0):
        raise ValueError(f"lines3d: box must be three positive lengths (Lx, Ly, Lz), got {box!r}")
    return size


def _clip_run(p: NDArray[np.float64], d: NDArray[np.float64], box: NDArray[np.float64],
              forward: bool) -> NDArray[np.float64]:
    """The part of the segment p -> p + d (forward) or p - d -> p (backward) inside the box."""
    # Largest fraction of d that stays within [0, L] on every axis, starting from p.
    limit = 1.0
    for axis in range(3):
        step = d[axis] if forward else -d[axis]
        if step > 0:
            limit = min(limit, (box[axis] - p[axis]) / step)
        elif step < 0:
            limit = min(limit, -p[axis] / step)
    limit = max(limit, 0.0)
    end = p + limit * d if forward else p - limit * d
    return np.array([p, end]) if forward else np.array([end, p])


def _line_segments(line: _core.DisclinationLine, box: Optional[NDArray[np.float64]]
                   ) -> tuple[list[NDArray[np.float64]], list[float]]:
    """Segments between consecutive vertices (the closing one of a loop included), each with
    the mean curvature of its two ends.

    With a box, the vertices are folded into it and each step is taken the short way
    round (minimum image); a step that leaves the box through a face is drawn as its two
    pieces, one ending at that face and one entering from the opposite face, instead of
    a chord across the box. This holds for lines given unwrapped or folded.
    """
    v = line.vertices
    k = line.curvatures
    n = len(v)
    pairs = [(a, a + 1) for a in range(n - 1)]
    if line.is_loop and n > 2:
        pairs.append((n - 1, 0))
    segments: list[NDArray[np.float64]] = []
    colours: list[float] = []
    folded = v if box is None else np.mod(v, box)
    for a, b in pairs:
        kappa = 0.5 * (k[a] + k[b])
        if box is None:
            segments.append(np.array([v[a], v[b]]))
            colours.append(kappa)
            continue
        d = v[b] - v[a]
        d = d - box * np.round(d / box)
        end = folded[a] + d
        if np.all((end >= 0.0) & (end <= box)):
            segments.append(np.array([folded[a], end]))
            colours.append(kappa)
        else:
            for piece in (_clip_run(folded[a], d, box, True), _clip_run(folded[b], d, box, False)):
                # A vertex on a face folds to the opposite one: its outward piece is empty.
                if np.any(piece[0] != piece[1]):
                    segments.append(piece)
                    colours.append(kappa)
    return segments, colours


def _draw_box(ax: Any, box: NDArray[np.float64]) -> None:
    lx, ly, lz = box
    corners = np.array([[x, y, z] for x in (0, lx) for y in (0, ly) for z in (0, lz)])
    for a in range(8):
        for b in range(a + 1, 8):
            # Edges join corners that differ in exactly one coordinate.
            if np.count_nonzero(corners[a] != corners[b]) == 1:
                ax.plot(*zip(corners[a], corners[b]), color="0.35", lw=0.8, ls="--")


def _pieces(segments: Sequence[NDArray[np.float64]], loop: bool) -> int:
    """How many connected polylines the segments of one line make (in drawing order)."""
    if not segments:
        return 0
    breaks = sum(1 for a, b in zip(segments, segments[1:]) if np.any(a[1] != b[0]))
    # A loop's last piece runs on into its first one, unless the loop is unbroken.
    joined = loop and breaks > 0 and not np.any(segments[-1][1] != segments[0][0])
    return breaks + 1 - (1 if joined else 0)


def _count(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def lines3d(lines: Sequence[_core.DisclinationLine], box: Optional[Sequence[float]] = None,
            ax: Optional[Axes] = None, q: Optional[_core.QField3D] = None, *,
            color_by: str = "line") -> Figure:
    """Draw 3D disclination lines, each in its own colour or coloured by curvature.

    Loops are closed; steps through the periodic boundary are drawn as their two pieces
    at the box faces, so a line that wraps around the box appears as several pieces.
    The title counts both ("2 lines (31 pieces across the periodic box)"). The box is
    drawn as a dashed frame; with ``q`` the scalar order S of its middle layer
    z = (nz // 2) dx is drawn under the lines.

    Parameters
    ----------
    lines : list of DisclinationLine
        As `DisclinationLine.scan` returns them.
    box : (Lx, Ly, Lz), optional
        The periodic box; by default that of ``q``, else no box (lines drawn unwrapped).
    ax : matplotlib 3D Axes, optional
        Must have ``projection='3d'``.
    q : QField3D, optional
        Field whose middle layer of S is drawn, and whose box is used.
    color_by : {"line", "curvature"}
        "line": every line in its own colour (the pieces of one line share it), with a
        legend naming the lines when there are at most ten; "curvature": the Frenet
        curvature κ along every line on one colour bar.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    TypeError
        If ``lines`` is not a list of `DisclinationLine`, ``q`` not a `QField3D` or
        ``ax`` not a 3D axes.
    ValueError
        If ``box`` is not three positive lengths or ``color_by`` is unknown.

    Examples
    --------
    >>> import lodestra, lodestra.plot as lplot
    >>> q = lodestra.QField3D.random_perturbation(12, 12, 12, 1.0, 0.05, 1)
    >>> fig = lplot.lines3d(lodestra.DisclinationLine.scan(q), q=q)
    """
    where = "lines3d"
    if isinstance(lines, (str, bytes)) or not isinstance(lines, Sequence):
        raise TypeError(f"{where}: lines must be a list of DisclinationLine, "
                        f"got '{type(lines).__name__}'")
    for line in lines:
        _need(line, (_core.DisclinationLine,), "each line", where)
    if q is not None:
        _need(q, (_core.QField3D,), "q", where)
    if color_by not in ("line", "curvature"):
        raise ValueError(f"{where}: color_by must be 'line' or 'curvature', got {color_by!r}")
    size = _box_of(box, q)
    if ax is not None and getattr(ax, "name", None) != "3d":
        raise TypeError(f"{where}: ax must be a 3D axes (projection='3d')")
    plt = _pyplot()
    from mpl_toolkits.mplot3d.art3d import Line3DCollection  # type: ignore[import-untyped]

    # The 3D axes methods (plot_surface, set_zlim, ...) are not in matplotlib's types.
    ax3: Any = _new_axes(ax, (7.0, 5.6), projection="3d")
    fig = ax3.figure
    if q is not None and q.nx and q.ny and q.nz:
        nx, ny, nz, dx = q.nx, q.ny, q.nz, q.dx
        layer = nz // 2
        s = np.asarray(q.scalar_order()).reshape(nx, ny, nz)[:, :, layer]
        norm = plt.Normalize(float(s.min()), float(s.max()))
        x, y = np.meshgrid(np.arange(nx) * dx, np.arange(ny) * dx, indexing="ij")
        ax3.plot_surface(x, y, np.full_like(x, layer * dx), facecolors=plt.cm.viridis(norm(s)),
                         shade=False, alpha=0.5, rstride=1, cstride=1, linewidth=0)
        mappable = plt.cm.ScalarMappable(norm=norm, cmap="viridis")
        fig.colorbar(mappable, ax=ax3, label=f"S at z = {layer * dx:g}", shrink=0.6, pad=0.02)
    segments: list[NDArray[np.float64]] = []
    colours: list[float] = []
    pieces = 0
    # Distinct colours, none of them close to the viridis slice under the lines.
    palette = plt.get_cmap("tab10" if len(lines) <= 10 else "tab20").colors
    for index, line in enumerate(lines):
        seg, col = _line_segments(line, size)
        pieces += _pieces(seg, line.is_loop and len(line) > 2)
        if color_by == "line" and seg:
            label = f"{index + 1}: {len(line)} vertices{', loop' if line.is_loop else ''}"
            ax3.add_collection3d(Line3DCollection(seg, colors=[palette[index % len(palette)]],
                                                  linewidths=2.2, label=label))
        segments += seg
        colours += col
    if segments and color_by == "curvature":
        # The colour scale ends at the 98th percentile: the few sharp kinks where lines
        # meet would otherwise leave the rest of the lines in one dark colour.
        kappa = np.array(colours)
        top = float(np.percentile(kappa, 98)) or float(kappa.max()) or 1.0
        collection = Line3DCollection(segments, cmap="plasma", linewidths=2.2)
        collection.set_array(kappa)
        collection.set_clim(0.0, top)
        ax3.add_collection3d(collection)
        fig.colorbar(collection, ax=ax3, label="curvature κ", shrink=0.6, pad=0.08,
                     extend="max" if kappa.max() > top else "neither")
    elif segments and len(lines) <= 10:
        ax3.legend(loc="upper left", fontsize=7, framealpha=0.8)
    if size is not None:
        _draw_box(ax3, size)
        ax3.set_xlim(0, size[0])
        ax3.set_ylim(0, size[1])
        ax3.set_zlim(0, size[2])
        ax3.set_box_aspect(tuple(size))
    elif segments:
        points = np.concatenate(segments)
        low, high = points.min(axis=0), points.max(axis=0)
        pad = np.maximum(0.05 * (high - low), 0.5)
        ax3.set_xlim(low[0] - pad[0], high[0] + pad[0])
        ax3.set_ylim(low[1] - pad[1], high[1] + pad[1])
        ax3.set_zlim(low[2] - pad[2], high[2] + pad[2])
    ax3.set_xlabel("x")
    ax3.set_ylabel("y")
    ax3.set_zlabel("z")
    title = _count(len(lines), "disclination line")
    if pieces > len(lines):
        title += f" ({pieces} pieces across the periodic box)"
    ax3.set_title(title)
    return _figure_of(ax3)


def bech(q: Union[_core.QField2D, _core.QField3D],
         phi: Union[_core.ScalarField2D, _core.ScalarField3D]) -> Figure:
    """Draw the lipid fraction phi beside the nematic order S of a BECH state.

    In 2D the right panel is `director` (S, director and defects); in 3D both panels
    show the middle layer z = (nz // 2) dx. phi is coloured about its mean, which the
    Cahn-Hilliard step conserves, so red is lipid-rich and blue lipid-poor.

    Parameters
    ----------
    q : QField2D or QField3D
        The nematic field.
    phi : ScalarField2D or ScalarField3D
        The lipid fraction on the same grid.

    Returns
    -------
    matplotlib.figure.Figure
        A new figure with two panels.

    Raises
    ------
    TypeError
        If the fields are of the wrong types or dimensions.
    ValueError
        If they are on different grids, or the grid is empty.

    Examples
    --------
    >>> import lodestra, lodestra.plot as lplot
    >>> q = lodestra.QField2D.random_perturbation(16, 16, 1.0, 0.5, 1)
    >>> fig = lplot.bech(q, lodestra.ScalarField2D.uniform(16, 16, 1.0, 0.0))
    """
    where = "bech"
    _need(q, (_core.QField2D, _core.QField3D), "q", where)
    layer: Optional[int] = None
    grids: tuple[tuple[int, ...], tuple[int, ...]]
    if isinstance(q, _core.QField2D):
        _need(phi, (_core.ScalarField2D,), "phi", where)
        assert isinstance(phi, _core.ScalarField2D)
        grids = ((q.nx, q.ny), (phi.nx, phi.ny))
        values = np.asarray(phi.to_numpy())
    else:
        _need(phi, (_core.ScalarField3D,), "phi", where)
        assert isinstance(phi, _core.ScalarField3D)
        grids = ((q.nx, q.ny, q.nz), (phi.nx, phi.ny, phi.nz))
        values = np.asarray(phi.phi)
        layer = q.nz // 2
    if grids[0] != grids[1]:
        raise ValueError(f"{where}: q and phi are on different grids, "
                         f"{' x '.join(map(str, grids[0]))} and {' x '.join(map(str, grids[1]))}")
    if 0 in grids[0]:
        raise ValueError(f"{where}: nothing to draw on an empty "
                         f"{' x '.join(map(str, grids[0]))} grid")
    plt = _pyplot()
    fig, (ax_phi, ax_s) = plt.subplots(1, 2, figsize=(12.0, 5.0), layout="constrained")
    dx = q.dx
    values = values.reshape(grids[0])
    if layer is not None:
        values = values[:, :, layer]
    at = "" if layer is None else f" at z = {layer * dx:g}"
    mean = float(np.mean(values))
    spread = float(np.max(np.abs(values - mean))) or 1.0
    _grid_image(ax_phi, values, dx, "RdBu_r", "φ", vmin=mean - spread, vmax=mean + spread)
    ax_phi.set_title(f"lipid fraction φ{at}")
    if isinstance(q, _core.QField2D):
        director(q, ax=ax_s)
    else:
        s = np.asarray(q.scalar_order()).reshape(grids[0])[:, :, layer]
        _grid_image(ax_s, s, dx, "viridis", "S")
        ax_s.set_title(f"scalar order S{at}")
    return fig  # type: ignore[no-any-return]
