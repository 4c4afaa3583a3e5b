# The README's two commands: `make demo` (quick start) and `make test`.
# Each sets up what it needs on a fresh Debian machine: system packages,
# a virtual environment in .venv, and the package with its extras.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SYSTEM_PACKAGES := g++ libfftw3-dev libeigen3-dev libgtest-dev clang-format
CPP_BUILD := build/cpp-tests
CPP_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' 2>/dev/null)

.PHONY: demo test system venv format-check cpp-test py-test bench

demo: system venv
	$(PY) -m pip install -q ".[demo]"
	$(PY) examples/quickstart.py

test: system venv format-check cpp-test
	$(PY) -m pip install -q ".[test]"
	$(MAKE) py-test

system:
	@tools/system-packages.sh $(SYSTEM_PACKAGES)

venv:
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip cmake ninja

format-check:
	clang-format --dry-run --Werror $(CPP_SOURCES)

cpp-test: venv
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DLODESTRA_BUILD_MODULE=OFF -DLODESTRA_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# Runs against the installed module, never the source tree.
py-test:
	cd tests/python && ../../$(PY) -m pytest -q

bench: system venv
	$(PY) -m pip install -q ".[test]"
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DLODESTRA_BUILD_MODULE=OFF -DLODESTRA_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench
	for b in build/bench/bench/bench_*; do $$b; done
	$(PY) bench/bench_python.py
	$(PY) bench/bench_ensemble.py
