# One entry point for building and testing on a fresh machine.
#   make test   set up everything (venv, PyPI packages, GoogleTest) and run every test
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
BUILD  := build/cpp
JOBS   ?= 2

.PHONY: all test test-cpp test-python install venv gtest clean

all: install

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

test-python: install
	cd tests/python && ../../$(BIN)/python -m pytest -q -p no:cacheprovider .

test: test-cpp test-python

clean:
	rm -rf build
