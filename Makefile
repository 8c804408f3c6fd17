# make demo   set up what the build needs, build, install into .venv, build a dataset from a sample
# make test   set everything up and run the static checks and both test suites (ctest, pytest)
# make bench  set everything up and print the benchmark table
# make wheel  build a manylinux wheel and run the test suite against it in a fresh environment

SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_WERROR=ON
# FUZZ_CLANG: the clang version of the fuzz targets, installed by set-up.
include scripts/toolchain.env

.PHONY: all setup setup-build docs check-setup install lint demo test test-all test-cpp test-py test-slow bench bench-setup perft test-sanitize valgrind fuzz fuzz-build format clean wheel

all: install

# Everything: the build, the tests, the benchmark.
setup:
	@scripts/setup.sh

# Only what building and the examples need.
setup-build:
	@scripts/setup.sh --build

# Fails, naming the command, if a make target, .ci/run or a script calls a command that set-up
# does not install and the base system does not provide (or, for the package's own commands in
# .venv, that installing it does not make).
check-setup: setup install
	$(PYTHON) scripts/check_setup.py

# Builds the extension with warnings as errors and installs it into .venv.
install: setup-build
	@$(PYTHON) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -Ccmake.define.VOREL_WERROR=ON .

# The examples, then a dataset built from the sample games with the command, opened in Python.
demo: install
	$(PYTHON) examples/fen_roundtrip.py
	$(PYTHON) examples/perft.py
	$(VENV)/bin/vorel-dataset examples/data/sample.pgn.zst --out build/demo-dataset --overwrite --no-progress
	$(PYTHON) examples/planes_dataset.py build/demo-dataset

# The documentation site, built into build/site with warnings as errors.
docs: setup
	$(PYTHON) -m mkdocs build --strict --site-dir build/site

test: setup install lint docs test-cpp test-py

test-cpp: setup
	cmake -S . -B build/cpp $(CMAKE_FLAGS) -DVOREL_BUILD_PYTHON=OFF -DVOREL_BUILD_TESTS=ON >/dev/null
	cmake --build build/cpp
	ctest --test-dir build/cpp --output-on-failure --timeout 900

test-py: setup install
	$(PYTHON) -m pytest -q

# The pytest suite on every CPython 3.12 or newer the machine has, each in its own environment.
test-all: setup
	scripts/test-all.sh

# The deep perft counts through Python (deselected by default).
test-slow: setup install
	$(PYTHON) -m pytest -q -m slow

# The perft example on one position: make perft FEN="..." DEPTH=5
perft: install
	$(PYTHON) examples/perft.py $(if $(FEN),--fen "$(FEN)") $(if $(DEPTH),--depth $(DEPTH)) --divide

# Both suites with the address, undefined-behaviour and leak sanitizers, then valgrind. pytest
# runs against a sanitized build of the module inside the uninstrumented interpreter: the runtimes
# are preloaded, Python objects use the system allocator, and a plugin runs the leak check once
# the tests are done, failing on any leaked block allocated through the module. The leak test
# runs again with full stack unwinding, so that leaks allocated inside interpreter calls made by
# the module are traced back to it too. Before valgrind, a seeded fuzz loop
# (tests/sanitize/hostile_tools.py) calls every vorel_tools function with hostile objects for
# every argument and reads games from file objects that chunk their reads and fail between them.
# $(call sanitized_python,EXTRA): the interpreter against the sanitized module, EXTRA appended to
# ASAN_OPTIONS; $(call sanitized_pytest,EXTRA): pytest so, with the leak check.
sanitized_python = PYTHONPATH=build/sanitize:tests/sanitize PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0$(1) \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  $(PYTHON)
sanitized_pytest = $(call sanitized_python,$(1)) -m pytest -q -p no:cacheprovider -p leak_check
test-sanitize: setup install
	cmake -S . -B build/sanitize $(CMAKE_FLAGS) -DVOREL_SANITIZE=ON -DVOREL_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) >/dev/null
	cmake --build build/sanitize
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize --output-on-failure -E DeepPerft
	$(call sanitized_pytest)
	$(call sanitized_pytest,:fast_unwind_on_malloc=0) tests/python/test_leaks.py
	$(call sanitized_python) tests/sanitize/hostile_tools.py
	$(MAKE) --no-print-directory valgrind

# Every method on its success and failure paths under valgrind's memcheck, against the
# release build of the module.
valgrind: setup install
	PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=1 --errors-for-leak-kinds=none \
	  $(PYTHON) tests/sanitize/exercise.py

# libFuzzer targets, built with clang and the address and undefined-behaviour sanitizers: FEN
# reading, move texts, push/pop/generate sequences, PGN files with SAN words, and game files
# replayed into the arrays of read_games() with their clock and evaluation comments. Each runs for
# FUZZ_SECONDS, starting from the checked-in seeds; what it learns goes to build/fuzz/, and a
# crash leaves its input there.
# The build keeps assertions on (no NDEBUG).
FUZZ_SECONDS ?= 60
FUZZ_CXX := clang++-$(FUZZ_CLANG)
FUZZ_TARGETS := fen move_text sequence pgn games
FUZZ_MAX_LEN_fen := 512
FUZZ_MAX_LEN_move_text := 16
FUZZ_MAX_LEN_sequence := 400
FUZZ_MAX_LEN_pgn := 2048
FUZZ_MAX_LEN_games := 4096
fuzz: $(addprefix fuzz-,$(FUZZ_TARGETS))

fuzz-build: setup
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DVOREL_WERROR=ON -DVOREL_BUILD_PYTHON=OFF \
	  -DVOREL_BUILD_FUZZ=ON >/dev/null
	cmake --build build/fuzz

fuzz-%: fuzz-build
	mkdir -p build/fuzz/corpus-$*
	@echo "fuzzing $* for $(FUZZ_SECONDS) s"
	build/fuzz/fuzz_$* -max_total_time=$(FUZZ_SECONDS) -max_len=$(FUZZ_MAX_LEN_$*) -print_final_stats=1 \
	  -artifact_prefix=build/fuzz/crash-$*- build/fuzz/corpus-$* tests/fuzz/corpus/$* 2>&1 \
	  | grep -E "^(stat::number_of_executed_units|stat::new_units_added|==|SUMMARY|invariant)"; \
	  test $${PIPESTATUS[0]} -eq 0

# Static checks: the type stub against the built module, then the Python and C++ layout.
lint: setup install
	$(PYTHON) -m mypy.stubtest --mypy-config-file pyproject.toml vorel_chess vorel_chess_runtime vorel_tools
	$(PYTHON) -m ruff format --check --quiet .
	$(PYTHON) -m ruff check --quiet .
	git ls-files '*.cpp' '*.hpp' '*.c' | xargs clang-format --dry-run -Werror

# Formats the Python sources with ruff and the C++ sources with clang-format, as lint expects.
format: setup
	$(PYTHON) -m ruff format --quiet .
	$(PYTHON) -m ruff check --quiet --fix .
	git ls-files '*.cpp' '*.hpp' '*.c' | xargs clang-format -i

clean:
	rm -rf build

# Builds the wheel, repairs it to a manylinux tag, installs it into build/wheel-venv and runs
# the test suite there; prints where the wheel is (build/wheel/dist).
wheel: setup
	@scripts/wheel.sh

# The benchmark's compiled peers, pinned in their own file and installed into .venv only here, so
# that the tests never depend on them; skipped while the file is unchanged.
BENCH_REQUIREMENTS := requirements-bench.txt
BENCH_STAMP := $(VENV)/.bench-requirements.sha256
bench-setup: setup
	@want=$$(sha256sum $(BENCH_REQUIREMENTS) | cut -d' ' -f1); \
	if [ "$$(cat $(BENCH_STAMP) 2>/dev/null)" != "$$want" ]; then \
	  echo "bench: installing the peers from $(BENCH_REQUIREMENTS)" >&2; \
	  $(PYTHON) -m pip install --quiet --disable-pip-version-check -r $(BENCH_REQUIREMENTS) && \
	  echo "$$want" >$(BENCH_STAMP); \
	fi

# Benchmarks against the compiled peers, the pure-Python peer, the floors, and nchess's and a
# strong engine's native perft (every native perft, vorel_tools.perft's included, measured once,
# in bench.py); vorel_tools' batches against the compiled peers; its SAN and PGN reading against
# the pure-Python peer; read_games against a compiled PGN-to-arrays reader and the pure-Python
# peer (its game files cached in build/bench-data/). The four files share bench/harness.py.
bench: setup install bench-setup
	cmake -S . -B build/bench-native $(CMAKE_FLAGS) -DVOREL_BUILD_PYTHON=OFF -DVOREL_BUILD_BENCH=ON >/dev/null
	cmake --build build/bench-native --target perft_native
	$(PYTHON) bench/bench.py --native build/bench-native/perft_native
	$(PYTHON) bench/bench_tools.py
	$(PYTHON) bench/bench_notation.py
	$(PYTHON) bench/bench_games.py
	$(PYTHON) bench/bench_dataset.py
