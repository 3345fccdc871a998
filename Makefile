# Each target does its own set-up: a fresh clone needs nothing but python3.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
SOURCES := $(shell find cpp src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' \) 2>/dev/null)
BUILT  := $(VENV)/.package-built
TOOLS  := $(VENV)/.tools-installed
# WERROR=ON turns compiler warnings into errors. `make test` (and so CI) builds that way; the
# other targets do not, so a newer compiler with new warnings still builds the package.
WERROR ?= OFF
# The engine's C++ tests, built without Python.
CPP_BUILD := build/cpp
# Pinned lint tools: ruff for Python, clang-format (the PyPI wheel) for C++.
LINT_TOOLS := "ruff==0.17.5" "clang-format==23.1.3"
CXX_SOURCES := $(shell find cpp src -type f \( -name '*.cpp' -o -name '*.hpp' \) 2>/dev/null | sort)

.PHONY: all build demo test test-cpp check-stubs lint bench clean fuzz

all: build

$(STAMP): pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" ninja \
		"numpy>=2" "pandas>=2.2" "matplotlib>=3.8" "rich>=13" "pyarrow>=15" "ray>=2.9" "pytest>=8" "hypothesis>=6.100"
	touch $@

# Build and lint tools, pinned here: cmake and ninja for the engine's own build, ruff and clang-format.
$(TOOLS): $(STAMP) Makefile
	$(PY) -m pip install --quiet "cmake>=3.21" ninja $(LINT_TOOLS)
	touch $@

# Non-editable install with a persistent build directory: rebuilds are incremental.
$(BUILT): $(STAMP) CMakeLists.txt cpp/CMakeLists.txt $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps -Ccmake.define.VANTOREL_WERROR=$(WERROR) .
	touch $@

build: $(BUILT)

demo: build
	$(PY) -m vantorel.backtest

# The engine's C++ tests alone: no Python extension, no wheel; seconds after the first build.
test-cpp: $(TOOLS)
	$(VENV)/bin/cmake -S cpp -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DVANTOREL_WERROR=$(WERROR)
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# The hand-written stubs against the built modules' signatures.
check-stubs: build
	$(PY) -m pytest -q -p no:cacheprovider tests/test_stubs.py

# ruff over the Python tree, clang-format (the repository's .clang-format) over the C++ sources;
# both run, and either finding fails the target.
lint: $(TOOLS)
	@status=0; \
	$(VENV)/bin/ruff check . || status=1; \
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES) || status=1; \
	exit $$status

# The engine's tests, the stub check, the lint checks, then the whole Python suite.
test: WERROR = ON
test: build
	$(MAKE) --no-print-directory test-cpp WERROR=$(WERROR)
	$(MAKE) --no-print-directory check-stubs WERROR=$(WERROR)
	$(MAKE) --no-print-directory lint
	$(PY) -m pytest -q

bench: build
	$(PY) bench/bench_strategy.py
	$(PY) bench/bench_store.py
	$(PY) bench/bench_charts.py
	$(PY) bench/bench_chart_pages.py
	$(PY) bench/bench_prepare.py
	$(PY) bench/bench_groups.py
	$(PY) bench/bench_tables.py
	$(PY) bench/bench_cli.py
	$(PY) bench/bench_batch.py

clean:
	rm -rf build $(VENV)

# The large fuzz run of the public entry points (about three minutes on two cores); see README.
FUZZ_CASES ?= 10000
fuzz: build
	$(PY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py --fuzz-cases=$(FUZZ_CASES)
