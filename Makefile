# One entry point for building and testing on a fresh machine.
#   make demo   install the library with its plotting extra into .venv and run the demo
#   make test   set up everything (venv, PyPI packages, GoogleTest) and run every test: the C++
#               unit tests, the Python suite, the extension's tests against NumPy 1.x, and all of
#               it again under the address and undefined-behaviour sanitizers
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
BUILD  := build/cpp
JOBS   ?= 2

.PHONY: all test test-cpp test-python install venv gtest clean demo

all: install

test: test-cpp test-python test-numpy1 sanitize

$(BIN)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(BIN)/.ready

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing GoogleTest (libgtest-dev)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	fi

test-cpp: venv gtest
	$(BIN)/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja -DCMAKE_BUILD_TYPE=Release
	$(BIN)/cmake --build $(BUILD) -j $(JOBS)
	$(BIN)/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install: venv
	$(BIN)/python -m pip install -q --no-build-isolation -C build-dir=build/python .

demo: install
	$(BIN)/vorn demo --plot demo.png

test-python: install
	cd tests/python && ../../$(BIN)/python -m pytest -q -p no:cacheprovider .

# The extension against NumPy 1.x too: the same abi3 wheel, installed beside NumPy 1.26; the
# tests marked `extension` run there.
NP1_VENV := .venv-np1
NP1_BIN  := $(NP1_VENV)/bin
.PHONY: test-numpy1

$(NP1_BIN)/.ready: tests/python/requirements-numpy1.txt
	$(PYTHON) -m venv $(NP1_VENV)
	$(NP1_BIN)/python -m pip install -q -r tests/python/requirements-numpy1.txt
	touch $@

test-numpy1: install $(NP1_BIN)/.ready
	rm -rf build/wheel-np1
	$(BIN)/python -m pip wheel -q --no-build-isolation --no-deps -C build-dir=build/python -w build/wheel-np1 .
	$(NP1_BIN)/python -m pip install -q --no-deps --force-reinstall build/wheel-np1/vorn-*.whl
	$(NP1_BIN)/python -c "import numpy; assert numpy.__version__.startswith('1.26'), numpy.__version__"
	cd tests/python && ../../$(NP1_BIN)/python -m pytest -q -p no:cacheprovider -m extension .

clean:
	rm -rf build

# Benchmarks against SciPy, csaps and ruptures, in their own environment (.venv-bench); writes
# bench/RESULTS.md and bench/scaling.png. `make bench QUICK=1` is a short run with smaller sizes
# (into bench/RESULTS-quick.md and bench/scaling-quick.png);
# BENCH_ARGS passes options to bench/run_bench.py, e.g. BENCH_ARGS="--fpvi-max 100000".
BENCH_VENV := .venv-bench
BENCH_BIN  := $(BENCH_VENV)/bin
.PHONY: bench

$(BENCH_BIN)/.ready: bench/requirements.txt
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_BIN)/python -m pip install -q --upgrade pip
	$(BENCH_BIN)/python -m pip install -q -r bench/requirements.txt
	touch $@

bench: $(BENCH_BIN)/.ready
	$(BENCH_BIN)/python -m pip install -q --no-build-isolation --no-deps --force-reinstall -C build-dir=build/bench-python .
	$(BENCH_BIN)/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BENCH_BIN))/ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=ON
	$(BENCH_BIN)/cmake --build build/bench --target bench_dp -j $(JOBS)
	cd bench && env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE ../$(BENCH_BIN)/python run_bench.py --bench-dp ../build/bench/bench_dp $(if $(QUICK),--quick) $(BENCH_ARGS)

# Reliability. `make sanitize` builds core, unit tests and extension with ASan + UBSan into
# build/asan and runs the C++ tests (leaks on) and the Python suite against that extension.
# `make fuzz-long` runs the property-based fuzzing of both functions for much longer, on fresh
# random examples (any pytest run takes VORN_FUZZ_PROFILE=random for fresh examples; the
# default profile, which CI runs, draws the same examples every time).
FUZZ_EXAMPLES ?= 100000
.PHONY: sanitize fuzz-long

sanitize: venv gtest install
	JOBS=$(JOBS) tools/sanitize.sh

fuzz-long: install
	cd tests/python && VORN_FUZZ_PROFILE=long VORN_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) ../../$(BIN)/python -m pytest -q -p no:cacheprovider -o timeout=0 test_fuzz_vorn.py test_fuzz_cvscore.py
