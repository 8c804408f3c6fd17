# make demo   set everything up, build, install into .venv and run the perft example
# make test   set everything up and run both test suites (C++ unit tests, then pytest)
# make bench  set everything up and print the benchmark table

SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_WERROR=ON

.PHONY: all setup install demo test test-cpp test-py test-slow bench perft sanitize format clean

all: install

setup:
	@scripts/setup.sh

# Builds the extension with warnings as errors and installs it into .venv.
install: setup
	@$(PYTHON) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -Ccmake.define.VOREL_WERROR=ON .

demo: install
	$(PYTHON) examples/fen_roundtrip.py
	$(PYTHON) examples/perft.py

test: install test-cpp test-py

test-cpp: setup
	cmake -S . -B build/cpp $(CMAKE_FLAGS) -DVOREL_BUILD_PYTHON=OFF -DVOREL_BUILD_TESTS=ON >/dev/null
	cmake --build build/cpp
	ctest --test-dir build/cpp --output-on-failure --timeout 900

test-py: install
	$(PYTHON) -m pytest -q

clean:
	rm -rf build

# Benchmarks against the pure-Python peer, the floors and a strong engine's native perft.
bench: install
	@scripts/setup.sh --bench
	cmake -S . -B build/bench-native $(CMAKE_FLAGS) -DVOREL_BUILD_PYTHON=OFF -DVOREL_BUILD_BENCH=ON >/dev/null
	cmake --build build/bench-native --target perft_native
	$(PYTHON) bench/bench.py --native build/bench-native/perft_native
