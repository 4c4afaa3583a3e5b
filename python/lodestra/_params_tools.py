"""`replace` and `describe`: a parameter set changed by name, and read as a table.

Only the six or ten most-varied parameters have setters; every other one is fixed at
construction. `replace` builds a new set through the class's own constructor, so the
result is validated exactly like one written out by hand.
"""

from __future__ import annotations

from typing import Any, TypeVar, Union

from . import _core
from ._params_doc import entries_of

__all__ = ["replace", "describe"]

_P = TypeVar("_P", _core.RidiParams, _core.RidiParams3D)


def _check_set(params: object, where: str) -> type:
    kind = type(params)
    if kind not in (_core.RidiParams, _core.RidiParams3D):
        raise TypeError(f"{where}: params must be RidiParams or RidiParams3D, "
                        f"got '{kind.__name__}'")
    return kind


def replace(params: _P, /, **changes: Any) -> _P:
    """A new parameter set of the same class with some values changed.

    Every parameter can be changed, also those without a setter. The new set is built
    by the class's constructor from all current values with ``changes`` applied, so it
    is validated like any constructed set; ``params`` itself is not changed.

    Parameters
    ----------
    params : RidiParams or RidiParams3D
        The set to start from.
    **changes
        New values by parameter name (``k_r=2.0``, ``nx=128``, ...).

    Returns
    -------
    RidiParams or RidiParams3D
        A new set of the class of ``params``.

    Raises
    ------
    TypeError
        If ``params`` is not a parameter set, or a name in ``changes`` is not one of its
        parameters (all unknown names are listed).
    ValueError
        If the new set fails validation ("invalid parameter: ...").

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> p2 = lodestra.replace(p, k_r=2.0, nx=128)
    >>> (p2.k_r, p2.nx, p.k_r)
    (2.0, 128, 1.0)
    """
    kind = _check_set(params, "replace")
    names = [entry.name for entry in entries_of(kind)]
    unknown = sorted(set(changes) - set(names))
    if unknown:
        raise TypeError(f"replace: {kind.__name__} has no parameter"
                        f"{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))}")
    values = {name: changes[name] if name in changes else getattr(params, name) for name in names}
    return kind(**values)  # type: ignore[no-any-return]


def _value_text(value: Union[int, float]) -> str:
    text = repr(value)
    return text if len(text) <= 10 else f"{value:.6g}"


def describe(params: Union[_core.RidiParams, _core.RidiParams3D]) -> str:
    """A readable table of a parameter set: every parameter with its value, unit and meaning,
    then the derived numbers.

    Parameters
    ----------
    params : RidiParams or RidiParams3D

    Returns
    -------
    str
        Several lines, one per parameter (settable ones marked ``*``), ready to print.

    Raises
    ------
    TypeError
        If ``params`` is not a parameter set.

    Examples
    --------
    >>> import lodestra
    >>> print(lodestra.describe(lodestra.RidiParams.default_test()))  # doctest: +ELLIPSIS
    RidiParams(nx=64, ny=64, zeta_eff=2.0000, a_eff=-1.5000, Pi=2.0000)
    nx         64         vertices  * vertices along x
    ...
    k_r        1.0        ε ℓ²        elastic constant of the nematic
    ...
    """
    kind = _check_set(params, "describe")
    lines = [repr(params)]
    for entry in entries_of(kind):
        mark = "*" if entry.settable else " "
        value = _value_text(getattr(params, entry.name))
        # The meaning up to its first clause: the table's reference text goes on.
        meaning = entry.meaning.split(";")[0].split(" (")[0]
        lines.append(f"{entry.name:<10} {value:<10} {entry.unit:<9} {mark} {meaning}")
    derived = ("a_eff", "defect_length", "pi_number", "ch_coherence_length", "phi_eq")
    lines.append("derived: " + ", ".join(
        f"{name}() = {getattr(params, name)():.6g}" for name in derived))
    lines.append("(* can be assigned after construction; lodestra.replace changes any)")
    return "\n".join(lines)
