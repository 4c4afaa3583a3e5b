"""Sphinx directives of the lodestra documentation.

- ``.. lodestra-params:: RidiParams``: the parameter table of a set, from the package's
  own parameter reference (``lodestra._params_doc``) and the values of ``default_test()``.
  Each row is a ``param`` target (``{param}`RidiParams.k_r```) that the Models page
  links its symbols to.
- ``.. lodestra-stub:: NAME ...``: the reference of names of the compiled core, from the
  signatures and docstrings of its stub ``_core.pyi`` (the runtime docstrings of the core
  are short by design; the stub holds the reference text, which editors show too). When
  the build ends, a name of the core that no page rendered is reported as a warning, so
  a new name cannot go undocumented.
- ``.. lodestra-validation::``: the validation gallery, one section per case from
  ``validation/results/*.json``, its picture and the script's docstring.
"""

from __future__ import annotations

import ast
import glob
import json
import math
import os
from typing import Any

from docutils import nodes
from docutils.parsers.rst import Directive, directives
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.nodes import nested_parse_with_titles

import lodestra
import lodestra._core as core
from lodestra import _params_doc

logger = logging.getLogger(__name__)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STUB = os.path.join(os.path.dirname(core.__file__), "_core.pyi")

RULES = {"> 0": "> 0", ">= 0": "≥ 0", ">= 2": "≥ 2", "any": "not checked"}
MODEL_NAMES = {"dry": "dry", "hydro": "hydro", "bech": "BECH", "dry3d": "dry 3D",
               "bech3d": "BECH 3D"}


def _parse(directive: Directive, text: str) -> list[nodes.Node]:
    node = nodes.container()
    nested_parse_with_titles(directive.state,
                             StringList(text.splitlines(), source="lodestra-docs"), node)
    return list(node.children)


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def _value(value: Any) -> str:
    return f"``{value!r}``"


class ParamsTable(Directive):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        cls = getattr(lodestra, self.arguments[0])
        test = cls.default_test()
        out = [".. list-table::", "   :header-rows: 1", "   :widths: 11 8 34 9 8 8 7 15",
               "   :class: lodestra-params", "",
               "   * - name", "     - symbol", "     - meaning", "     - unit",
               "     - test set", "     - validation", "     - settable", "     - read by"]
        for e in _params_doc.entries_of(cls):
            models = ", ".join(MODEL_NAMES[m] for m in e.models) or "none (carried only)"
            out += [f"   * - .. param:: {cls.__name__}.{e.name}", "",
                    f"       ``{e.name}``",
                    f"     - :math:`{e.symbol}`",
                    f"     - {_cell(e.meaning)}",
                    f"     - {_cell(e.unit)}",
                    f"     - {_value(getattr(test, e.name))}",
                    f"     - {RULES[e.rule]}",
                    f"     - {'yes' if e.settable else 'no'}",
                    f"     - {models}"]
        return _parse(self, "\n".join(out))


# --- the compiled core's reference, from its stub -------------------------------------

_DISPLAY = {"_Count": "int", "_Array": "numpy.ndarray"}


def _ann(node: ast.expr | None) -> str:
    if node is None:
        return ""
    text = ast.unparse(node)
    for alias, shown in _DISPLAY.items():
        text = text.replace(alias, shown)
    return text


def _signature(fn: ast.FunctionDef, drop_first: bool) -> str:
    a = fn.args
    params = list(a.posonlyargs) + list(a.args)
    if drop_first and params:
        params = params[1:]
    defaults = [None] * (len(list(a.posonlyargs) + list(a.args)) - len(a.defaults)) + list(a.defaults)
    if drop_first and defaults:
        defaults = defaults[1:]
    parts = []
    for p, d in zip(params, defaults):
        text = p.arg + (f": {_ann(p.annotation)}" if p.annotation is not None else "")
        if d is not None:
            text += f" = {ast.unparse(d)}" if p.annotation is not None else f"={ast.unparse(d)}"
        parts.append(text)
    sig = f"({', '.join(parts)})"
    if fn.returns is not None:
        sig += f" -> {_ann(fn.returns)}"
    return sig


def _doc_rst(app: Any, doc: str | None, what: str) -> list[str]:
    if not doc:
        return []
    from sphinx.ext.napoleon.docstring import NumpyDocstring

    lines = str(NumpyDocstring(doc, app.config, what=what)).splitlines()
    # |q| and |grad phi|^2 read well in an editor; in reST a bar starts a substitution.
    # Doctest blocks (from >>> to the next blank line) stay as written.
    out, in_doctest = [], False
    for line in lines:
        in_doctest = line.lstrip().startswith(">>>") or (in_doctest and bool(line.strip()))
        out.append(line if in_doctest else line.replace("|", "\\|"))
    return out


def _indent(lines: list[str], n: int) -> list[str]:
    return [(" " * n + line) if line.strip() else "" for line in lines]


def _stub_tree() -> dict[str, ast.stmt]:
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {node.name: node for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}


def _class_body(app: Any, cls: ast.ClassDef) -> list[str]:
    out: list[str] = []
    body = cls.body
    params_entries = {}
    if cls.name in ("RidiParams", "RidiParams3D"):
        params_entries = {e.name: e for e in _params_doc.entries_of(getattr(lodestra, cls.name))}
    for i, node in enumerate(body):
        if isinstance(node, ast.FunctionDef):
            if node.name == "__new__":
                continue
            decorators = {ast.unparse(d) for d in node.decorator_list}
            doc = ast.get_docstring(node)
            if "property" in decorators:
                entry = params_entries.get(node.name)
                out += [f".. py:property:: {node.name}", f"   :type: {_ann(node.returns)}"]
                text = _doc_rst(app, doc, "attribute") or (
                    [f"{_cell(entry.meaning)} (:param:`{cls.name}.{node.name}`), read-only."] if entry else [])
            elif node.name.startswith("__") and node.name != "__len__":
                continue
            else:
                static = "staticmethod" in decorators
                out += [f".. py:method:: {node.name}{_signature(node, not static)}"]
                if static:
                    out.append("   :staticmethod:")
                text = _doc_rst(app, doc, "method")
            out += [""] + _indent(text, 3) + [""]
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
            if name.startswith("_"):
                continue
            doc = None
            nxt = body[i + 1] if i + 1 < len(body) else None
            if isinstance(nxt, ast.Expr) and isinstance(getattr(nxt, "value", None), ast.Constant):
                doc = str(nxt.value.value)
            entry = params_entries.get(name)
            out += [f".. py:attribute:: {name}", f"   :type: {_ann(node.annotation)}", ""]
            text = _doc_rst(app, doc, "attribute") or (
                [f"{_cell(entry.meaning)} (:param:`{cls.name}.{name}`); settable, not validated "
                 "when set."] if entry else [])
            out += _indent(text, 3) + [""]
    return out


class StubReference(Directive):
    required_arguments = 1
    optional_arguments = 100
    has_content = False

    def run(self) -> list[nodes.Node]:
        env = self.state.document.settings.env
        app = env.app
        tree = _stub_tree()
        out = [".. py:currentmodule:: lodestra", ""]
        for name in self.arguments:
            node = tree.get(name)
            if node is None:
                raise self.error(f"lodestra-stub: {name!r} is not in the stub of the core")
            _stub_names(env).setdefault(env.docname, set()).add(name)
            if isinstance(node, ast.ClassDef):
                new = next((n for n in node.body if isinstance(n, ast.FunctionDef)
                            and n.name == "__new__"), None)
                sig = _signature(new, True).split(" -> ")[0] if new is not None else ""
                kind = "exception" if name == "PanicException" else "class"
                out += [f".. py:{kind}:: {name}{sig}", ""]
                out += _indent(_doc_rst(app, ast.get_docstring(node), "class"), 3) + [""]
                out += _indent(_class_body(app, node), 3)
            else:
                out += [f".. py:function:: {name}{_signature(node, False)}", ""]
                out += _indent(_doc_rst(app, ast.get_docstring(node), "function"), 3) + [""]
        return _parse(self, "\n".join(out))


def _stub_names(env: Any) -> dict[str, set[str]]:
    """The core names each page rendered, by page name."""
    if not hasattr(env, "lodestra_stub_names"):
        env.lodestra_stub_names = {}
    return env.lodestra_stub_names  # type: ignore[no-any-return]


def _merge_stub_names(app: Any, env: Any, docnames: Any, other: Any) -> None:
    for docname in docnames:
        if docname in _stub_names(other):
            _stub_names(env)[docname] = _stub_names(other)[docname]


def _check_all_documented(app: Any, env: Any) -> None:
    shown = set().union(*_stub_names(env).values())
    missing = [n for n in [*core.__all__, "PanicException"] if n not in shown]
    if missing:
        logger.warning("lodestra-stub: core names without a reference entry: %s",
                       ", ".join(missing))


def _purge(app: Any, env: Any, docname: str) -> None:
    _stub_names(env).pop(docname, None)


# --- the validation gallery -----------------------------------------------------------

def _number(x: Any) -> str:
    if x is None:
        return ""
    if isinstance(x, str):
        return x
    if isinstance(x, float) and not math.isfinite(x):
        return str(x)
    if x == 0:
        return "0"
    return f"{x:.4g}" if 1e-3 <= abs(x) < 1e4 else f"{x:.3e}"


class ValidationGallery(Directive):
    has_content = False

    def run(self) -> list[nodes.Node]:
        env = self.state.document.settings.env
        here = os.path.dirname(env.doc2path(env.docname))
        out: list[str] = []
        for path in sorted(glob.glob(os.path.join(ROOT, "validation", "results", "*.json"))):
            env.note_dependency(path)
            with open(path, encoding="utf-8") as f:
                result = json.load(f)
            case = result["case"]
            script = os.path.join(ROOT, "validation", f"{case}.py")
            with open(script, encoding="utf-8") as f:
                doc = ast.get_docstring(ast.parse(f.read())) or ""
            title = f"{case[:2]} · {result['title']}"
            out += [title, "-" * len(title) * 2, ""]
            png = os.path.join(ROOT, "validation", "results", f"{case}.png")
            if os.path.exists(png):
                out += [f".. image:: {os.path.relpath(png, here)}", "   :width: 100%",
                        f"   :alt: {result['title']}", ""]
            out += [".. list-table::", "   :header-rows: 1", "   :widths: 40 15 20 12 13", "",
                    "   * - check", "     - expected", "     - measured", "     - tolerance",
                    "     - status"]
            for c in result["checks"]:
                tol = _number(c.get("tolerance"))
                if tol and c.get("relative"):
                    tol += " (relative)"
                status = "reported" if c.get("reported") else ("pass" if c["passed"] else "FAIL")
                out += [f"   * - {_cell(c['name'])}", f"     - {_cell(_number(c['expected']))}",
                        f"     - {_cell(_number(c['measured']))}", f"     - {_cell(tol)}",
                        f"     - {status}"]
            out += ["", f"Script ``validation/{case}.py`` ({result.get('mode', 'full')} mode):", "",
                    ".. code-block:: text", ""]
            out += _indent(doc.splitlines(), 4) + [""]
        return _parse(self, "\n".join(out))


def setup(app: Any) -> dict[str, Any]:
    app.add_crossref_type("param", "param", "pair: %s; parameter")
    app.add_directive("lodestra-params", ParamsTable)
    app.add_directive("lodestra-stub", StubReference)
    app.add_directive("lodestra-validation", ValidationGallery)
    app.connect("env-merge-info", _merge_stub_names)
    app.connect("env-purge-doc", _purge)
    app.connect("env-check-consistency", _check_all_documented)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
