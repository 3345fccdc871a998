# Each target does its own set-up: a fresh clone needs nothing but python3.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
SOURCES := $(shell find cpp src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' \) 2>/dev/null)
BUILT  := $(VENV)/.package-built

.PHONY: all build demo test bench clean fuzz

all: build

$(STAMP): pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" ninja \
		"numpy>=2" "pandas>=2.2" "matplotlib>=3.8" "pytest>=8" "hypothesis>=6.100"
	touch $@

# Non-editable install with a persistent build directory: rebuilds are incremental.
$(BUILT): $(STAMP) CMakeLists.txt $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

build: $(BUILT)

demo: build
	$(PY) -m vantorel.backtest

test: build
	$(PY) -m pytest -q

bench: build
	$(PY) bench/bench_strategy.py
	$(PY) bench/bench_store.py
	$(PY) bench/bench_charts.py
	$(PY) bench/bench_prepare.py
	$(PY) bench/bench_groups.py

clean:
	rm -rf build $(VENV)

# The large fuzz run of the public entry points (about three minutes on two cores); see README.
FUZZ_CASES ?= 10000
fuzz: build
	$(PY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py --fuzz-cases=$(FUZZ_CASES)
