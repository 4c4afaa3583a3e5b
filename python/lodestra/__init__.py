# The public face of the compiled core: every name, docstring and __all__ of
# lodestra._core, re-exported unchanged. The pure-Python submodules (io, plot,
# defects, ensemble) load on first use, so `import lodestra` imports nothing
# beyond the core, NumPy and two small pure-Python modules (simulation, the parameter
# helpers).
import importlib as _importlib
import types as _types

from . import _core
from ._core import *  # noqa: F401,F403
from ._core import PanicException

# The core's own list, imported by name so that type checkers read it from its stub.
from ._core import __all__ as __all__

# Beside the core's names, outside __all__: a parameter set changed by name, and read
# as a table.
from ._params_tools import describe as describe, replace as replace

__doc__ = _core.__doc__

# Beside the published names (outside __all__): the stepping front door.
from .simulation import Simulation

_SUBMODULES = ("io", "plot", "defects", "ensemble")


# Threads: beside the published names (not in __all__).
def set_num_threads(n: int) -> None:
    """Use ``n`` threads (1 to 1024) in the engine's loops from now on.

    One thread is the default: every call then runs on the calling thread. With more,
    the work of each step (stencil passes, FFT batches, noise, observables, scans) is
    shared among a pool made once per process, and every result stays bit-identical to
    the one-thread result. Raises ValueError outside 1..1024."""
    _core._set_num_threads(n)


def get_num_threads() -> int:
    """The number of threads the engine's loops use (1 unless set_num_threads said
    otherwise)."""
    return _core._get_num_threads()


def __getattr__(name: str) -> _types.ModuleType:
    if name in _SUBMODULES:
        return _importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
