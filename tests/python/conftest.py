import math
import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import lodestra

PYPY = platform.python_implementation() == "PyPy"

# The module gives its instance methods and properties docstrings and text signatures;
# PyPy's C-API emulation drops them itself (they read None there), so the tests that read
# them are expected to fail under PyPy, and only there.
pypy_drops_member_docs = pytest.mark.xfail(
    PYPY, strict=True,
    reason="PyPy's C-API emulation drops __doc__ and __text_signature__ of C instance "
           "methods and properties")

# CPython before 3.10 keeps no __text_signature__ for a class made with PyType_FromSpec (the
# constructor's signature line is cut from its docstring all the same).
CPYTHON_39 = platform.python_implementation() == "CPython" and sys.version_info < (3, 10)
cpython39_drops_class_signature = pytest.mark.xfail(
    CPYTHON_39, strict=True,
    reason="CPython 3.9 gives classes made from a type spec no __text_signature__")


# The suite writes only into temporary directories: a file or folder that appears in the
# source tree while it runs (run output of a runner given a relative out_dir, say) fails the
# session. The tree's untracked entries (ignored ones included, folders collapsed) are listed
# by git before and after; caches of the tools themselves do not count. Outside a git
# checkout there is nothing to compare.
TREE = Path(__file__).resolve().parents[2]
TOOL_CACHES = {"__pycache__", ".pytest_cache", ".hypothesis", ".mypy_cache"}


def untracked_entries():
    try:
        listing = subprocess.run(["git", "-C", str(TREE), "ls-files", "-z", "--others",
                                  "--directory"], capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    names = {os.fsdecode(n) for n in listing.split(b"\0") if n}
    return {n for n in names if not TOOL_CACHES & set(Path(n).parts)}


def pytest_sessionstart(session):
    session.untracked_before = untracked_entries()


def pytest_sessionfinish(session, exitstatus):
    before = getattr(session, "untracked_before", None)
    after = untracked_entries()
    if before is None or after is None:
        return
    left = sorted(after - before)
    if left:
        sys.stderr.write("\nthe tests left files in the source tree (" + str(TREE) + "):\n  "
                         + "\n  ".join(left) + "\n")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.fixture
def params():
    return lodestra.RidiParams.default_test()


def ridi_args(**overrides):
    """Constructor arguments of a valid parameter set (the test set), by keyword."""
    args = dict(nx=64, ny=64, dx=1.0, dt=0.01, k_r=1.0, gamma_r=1.0, zeta_eff=2.0, eta=1.0,
                a_landau=-0.5, c_landau=4.5, lambda_=0.7, k_l=0.5, gamma_l=1.0, xi_l=5.0)
    args.update(overrides)
    return args


def defect_field(nx, ny, cores, phase=0.0):
    """Q field whose director winds by +-1/2 around each (x0, y0, sign) core.

    Cores sit at plaquette centres (half-integer coordinates), so the winding
    is carried by exactly one plaquette per core.
    """
    i, j = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
    theta = np.full((nx, ny), phase)
    for x0, y0, sign in cores:
        theta += sign * 0.5 * np.arctan2(j - y0, i - x0)
    q = np.stack([0.25 * np.cos(2 * theta), 0.25 * np.sin(2 * theta)], axis=-1)
    return lodestra.QField2D.from_numpy(q.reshape(-1, 2), nx, ny, 1.0)


HALF_PI = math.pi / 2
