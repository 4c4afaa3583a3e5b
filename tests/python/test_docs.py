"""The parameter reference matches the classes it documents; replace and describe; the
documentation's code examples (pages, docstrings, the core's stub) run."""

import ast
import doctest
import importlib
import inspect
import math
import re
from pathlib import Path

import pytest

import lodestra
from lodestra import _params_doc

ROOT = Path(__file__).resolve().parents[2]
CLASSES = [lodestra.RidiParams, lodestra.RidiParams3D]


def parameter_names(cls):
    """The parameters a set exposes: its public non-callable attributes."""
    p = cls.default_test()
    return {n for n in dir(p) if not n.startswith("_") and not callable(getattr(p, n))}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_parameter_has_one_entry_in_constructor_order(cls):
    names = [e.name for e in _params_doc.entries_of(cls)]
    assert len(names) == len(set(names))
    assert set(names) == parameter_names(cls)
    try:
        signature = inspect.signature(cls)
    except ValueError:  # no text signature of heap types before CPython 3.10
        pytest.skip("constructor signature not introspectable here")
    assert names == list(signature.parameters)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_settable_column_and_models_match_the_classes(cls):
    p = cls.default_test()
    models = _params_doc.MODELS_2D if cls is lodestra.RidiParams else _params_doc.MODELS_3D
    for e in _params_doc.entries_of(cls):
        assert set(e.models) <= set(models), e.name
        try:
            setattr(p, e.name, getattr(p, e.name))
            settable = True
        except AttributeError:
            settable = False
        assert settable == e.settable, e.name


def rule_cases():
    # The documented rule as a known answer: the boundary value fails (or, for
    # unchecked parameters, an out-of-range looking value passes) through replace.
    for cls in CLASSES:
        for e in _params_doc.entries_of(cls):
            bad = {"> 0": 0.0, ">= 0": -1.0, ">= 2": 1, "any": -1.0}[e.rule]
            yield pytest.param(cls, e, bad, id=f"{cls.__name__}.{e.name}")


@pytest.mark.parametrize("cls, entry, bad", list(rule_cases()))
def test_validation_rule_of_each_parameter(cls, entry, bad):
    p = cls.default_test()
    if entry.rule == "any":
        assert getattr(lodestra.replace(p, **{entry.name: bad}), entry.name) == bad
        return
    with pytest.raises(ValueError, match=rf"invalid parameter: {entry.name} must be"):
        lodestra.replace(p, **{entry.name: bad})
    if entry.rule == ">= 0":
        assert getattr(lodestra.replace(p, **{entry.name: 0.0}), entry.name) == 0.0


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_replace_keeps_every_other_value_and_leaves_the_original(cls):
    p = cls.default_test()
    p.dt = 0.005                     # a value changed through a setter travels too
    entries = _params_doc.entries_of(cls)
    q = lodestra.replace(p, k_r=2.5)
    assert type(q) is cls and q is not p and p.k_r == 1.0 and q.k_r == 2.5
    for e in entries:
        if e.name != "k_r":
            assert getattr(q, e.name) == getattr(p, e.name), e.name
    assert repr(lodestra.replace(p)) == repr(p)


@pytest.mark.parametrize("call, error, text", [
    (lambda: lodestra.replace(lodestra.RidiParams.default_test(), kr=1.0, foo=2),
     TypeError, r"RidiParams has no parameters 'foo', 'kr'"),
    (lambda: lodestra.replace(lodestra.RidiParams3D.default_test(), lambda_=0.1, nz3=2),
     TypeError, r"RidiParams3D has no parameter 'nz3'"),
    (lambda: lodestra.replace(lodestra.QField2D.zeros(2, 2, 1.0), dx=1.0), TypeError,
     "params must be RidiParams or RidiParams3D"),
    (lambda: lodestra.describe({"nx": 4}), TypeError, "got 'dict'"),
    (lambda: lodestra.replace(lodestra.RidiParams.default_test(), nx=-1), OverflowError, None),
])
def test_replace_and_describe_refuse_by_name(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_describe_lists_every_parameter_with_its_value():
    p = lodestra.replace(lodestra.RidiParams3D.default_test(), chi_a=0.25)
    text = lodestra.describe(p)
    rows = {line.split()[0]: line.split()[1] for line in text.splitlines()[1:-2]}
    assert rows == {e.name: repr(getattr(p, e.name)) for e in _params_doc.PARAMS_3D}
    assert "replace" not in lodestra.__all__ and len(lodestra.__all__) == 24


# -- the documentation's examples ------------------------------------------------------

def page_blocks():
    for page in sorted((ROOT / "docs").glob("*.md")):
        text = page.read_text(encoding="utf-8")
        for k, block in enumerate(re.findall(r"```python\n(.*?)```", text, re.S)):
            yield pytest.param(block, id=f"{page.stem}-{k}")


@pytest.mark.parametrize("code", list(page_blocks()))
def test_code_blocks_of_the_pages_run(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "<docs>", "exec"), {"__name__": "docs_example"})


def stub_docstrings():
    tree = ast.parse((ROOT / "python" / "lodestra" / "_core.pyi").read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            doc = ast.get_docstring(node)
            if doc and ">>>" in doc:
                yield node.name, doc


@pytest.mark.parametrize("module", ["_params_tools", "defects", "ensemble", "plot", "stub"])
def test_docstring_examples_run(module, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if module == "plot":
        pytest.importorskip("matplotlib").use("Agg")
    if module == "ensemble":
        pytest.importorskip("cloudpickle")
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    parser = doctest.DocTestParser()
    if module == "stub":
        tests = [parser.get_doctest(doc, {}, name, "_core.pyi", 0) for name, doc in stub_docstrings()]
    else:
        tests = doctest.DocTestFinder().find(importlib.import_module(f"lodestra.{module}"))
    for test in tests:
        runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0


def test_choosing_page_states_the_test_sets_resolution():
    # The numbers the page quotes, from the sets themselves.
    for cls in CLASSES:
        p = cls.default_test()
        assert round(p.defect_length() / p.dx, 2) == 0.71
        assert round(math.sqrt(p.k_r / -p.a_eff()) / p.dx, 2) == 0.82
    text = (ROOT / "docs" / "choosing.md").read_text(encoding="utf-8")
    assert "0.71 Δx" in text and "0.82 Δx" in text
