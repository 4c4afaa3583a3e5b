"""Every validation case in its quick mode: the measured values must stay inside the
tolerances that the physics sets (each case's docstring derives them)."""

import importlib.util
import json
import pathlib
import sys

import pytest

pytest.importorskip("matplotlib")  # every case draws its picture

GALLERY = pathlib.Path(__file__).resolve().parents[2] / "validation"
CASES = sorted(p.stem for p in GALLERY.glob("[0-9][0-9]_*.py"))

# Checks whose measured value is known to lie outside its physical tolerance. They are
# expected to fail until the cause is found; one that starts passing fails the test, so
# the entry is removed when the code or the physics is settled.
KNOWN_DISAGREEMENTS = {}


def load(name):
    if str(GALLERY) not in sys.path:
        sys.path.insert(0, str(GALLERY))
    found = importlib.util.spec_from_file_location(f"validation_{name}", GALLERY / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_every_case_is_collected():
    assert len(CASES) == 10 and CASES[0] == "01_landau"


@pytest.mark.parametrize("name", CASES)
def test_quick_mode_within_tolerance(name, tmp_path):
    result = load(name).main(quick=True, out_dir=str(tmp_path))
    assert (tmp_path / f"{name}.png").stat().st_size > 0
    assert json.loads((tmp_path / f"{name}.json").read_text())["checks"] == result["checks"]
    assert result["checks"], "a case without checks"
    failed = [c for c in result["checks"] if not c["passed"]]
    unexpected = [c for c in failed if (name, c["name"]) not in KNOWN_DISAGREEMENTS]
    assert not unexpected, "\n".join(
        f"{c['name']}: measured {c['measured']}, expected {c['expected']} "
        f"(tolerance {c['tolerance']})" for c in unexpected)
    settled = [k for k in KNOWN_DISAGREEMENTS if k[0] == name
               and k[1] not in {c["name"] for c in failed}]
    assert not settled, f"now within tolerance, remove from KNOWN_DISAGREEMENTS: {settled}"
    if failed:
        pytest.xfail("; ".join(KNOWN_DISAGREEMENTS[(name, c["name"])] for c in failed))
