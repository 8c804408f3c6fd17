# make demo   set everything up, build, install into .venv and run the perft example
# make test   set everything up and run both test suites (C++ unit tests, then pytest)
# make bench  set everything up and print the benchmark table
# make wheel  build a manylinux wheel and run the test suite against it in a fresh environment

SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_WERROR=ON

.PHONY: all setup install demo test test-cpp test-py test-slow bench perft sanitize fuzz format clean wheel

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

# The deep perft counts through Python (deselected by default).
test-slow: install
	$(PYTHON) -m pytest -q -m slow

# The perft example on one position: make perft FEN="..." DEPTH=5
perft: install
	$(PYTHON) examples/perft.py $(if $(FEN),--fen "$(FEN)") $(if $(DEPTH),--depth $(DEPTH)) --divide

# Both suites with the address and undefined-behaviour sanitizers; pytest runs against a
# sanitized build of the module with the sanitizer runtime preloaded.
sanitize: setup
	cmake -S . -B build/sanitize $(CMAKE_FLAGS) -DVOREL_SANITIZE=ON -DVOREL_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) >/dev/null
	cmake --build build/sanitize
	ctest --test-dir build/sanitize --output-on-failure -E DeepPerft
	PYTHONPATH=build/sanitize ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PYTHON) -m pytest -q -p no:cacheprovider

# Fuzzes the FEN reader, the move parser, make/unmake and generation with random mutations of
# seed texts, under the address and undefined-behaviour sanitizers: make fuzz FUZZ_SECONDS=60
FUZZ_SECONDS ?= 30
fuzz: setup
	mkdir -p build
	g++ -std=c++23 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -Isrc \
	  tests/fuzz/fuzz_fen.cpp tests/fuzz/driver.cpp src/board/board.cpp src/board/fen.cpp \
	  src/chess_move/chess_move.cpp src/move_generator/move_generator.cpp -o build/fuzz_fen
	build/fuzz_fen $(FUZZ_SECONDS)

# Formats the C++ sources with the checked-in .clang-format.
format:
	@scripts/setup.sh
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build

# Builds the wheel, repairs it to a manylinux tag, installs it into build/wheel-venv and runs
# the test suite there; prints where the wheel is (build/wheel/dist).
wheel: setup
	@scripts/wheel.sh

# Benchmarks against the pure-Python peer, the floors and a strong engine's native perft.
bench: install
	cmake -S . -B build/bench-native $(CMAKE_FLAGS) -DVOREL_BUILD_PYTHON=OFF -DVOREL_BUILD_BENCH=ON >/dev/null
	cmake --build build/bench-native --target perft_native
	$(PYTHON) bench/bench.py --native build/bench-native/perft_native
