# The README's commands: `make demo` (quick start), `make test` and `make test-pypy`;
# `make docs` builds the documentation site into docs/_build/html.
# Each sets up what it needs on a fresh Debian machine: system packages,
# a virtual environment (.venv, or .venv-pypy for PyPy), and the package with its extras.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SYSTEM_PACKAGES := g++ libfftw3-dev libeigen3-dev libgtest-dev clang-format
PYPY_PACKAGES := g++ libfftw3-dev libeigen3-dev pypy3 pypy3-dev pypy3-venv
PYPY_VENV := .venv-pypy
PYPY := $(PYPY_VENV)/bin/python
CPP_BUILD := build/cpp-tests
CPP_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' 2>/dev/null)

.PHONY: demo test test-pypy docs system venv format-check cpp-test py-test bench validation

demo: system venv
	$(PY) -m pip install -q ".[demo]"
	$(PY) examples/quickstart.py

test: system venv format-check cpp-test
	$(PY) -m pip install -q ".[test]"
	$(MAKE) py-test

# The Python tests under Debian's PyPy 3.9, against the module built for it. Installs the
# test-pypy extra: what the tests need that has PyPy wheels (the tests of optional
# dependencies without them skip).
test-pypy:
	@tools/system-packages.sh $(PYPY_PACKAGES)
	@test -x $(PYPY) || pypy3 -m venv $(PYPY_VENV)
	$(PYPY) -m pip install -q ".[test-pypy]"
	cd tests/python && ../../$(PYPY) -m pytest -q

# The documentation site, warnings as errors. -E rereads every page, so a warning is
# reported on every build, not only on the first; the tutorials rerun only when changed.
docs: system venv
	$(PY) -m pip install -q ".[docs]"
	$(PY) -m sphinx -E -W --keep-going -b html docs docs/_build/html

system:
	@tools/system-packages.sh $(SYSTEM_PACKAGES)

venv:
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip cmake ninja

format-check:
	@echo "clang-format --dry-run --Werror <every tracked .cpp and .hpp>"
	@clang-format --dry-run --Werror $(CPP_SOURCES)

cpp-test: venv
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DLODESTRA_BUILD_MODULE=OFF -DLODESTRA_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	@# The summary and the output of failing tests, without a line per passing test.
	@$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure > $(CPP_BUILD)/ctest.log 2>&1; \
	  status=$$?; grep -vE '^ +Start +[0-9]+: |Test +#[0-9]+: .* +Passed +[0-9.]+ sec$$' \
	  $(CPP_BUILD)/ctest.log; exit $$status

# Runs against the installed module, never the source tree. stubtest then compares
# the installed type stubs and annotations with the module they describe.
py-test:
	cd tests/python && ../../$(PY) -m pytest -q
	cd tests/python && ../../$(PY) -m mypy.stubtest lodestra

bench: system venv
	$(PY) -m pip install -q ".[test]"
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DLODESTRA_BUILD_MODULE=OFF -DLODESTRA_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench
	for b in build/bench/bench/bench_*; do $$b; done
	$(PY) bench/bench_python.py build/bench/bench/reference_times
	$(PY) bench/bench_io.py
	$(PY) bench/bench_ensemble.py
	$(PY) bench/bench_simulation.py

# Every full validation case (one after another, one core), then the gallery's table.
validation: system venv
	$(PY) -m pip install -q ".[test]"
	cd validation && status=0; for f in [0-9][0-9]_*.py; do ../$(PY) $$f || status=1; done; \
	  ../$(PY) make_readme.py; exit $$status
