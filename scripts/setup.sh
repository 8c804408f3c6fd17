#!/usr/bin/env bash
# Prepares a machine for building and testing vorel_chess:
#   - installs the Debian packages the build, the tests and the benchmark need;
#   - finds a CPython 3.12 or newer built with the interpreter lock;
#   - creates .venv with it and installs the Python build, test and benchmark dependencies.
# With --build, only what the build and the examples need (make demo): the compiler, the
# interpreter, and requirements-build.txt.
# Safe to run again: every step is skipped when it is already done.
set -euo pipefail

cd "$(dirname "$0")/.."
VENV=.venv
REQUIREMENTS=requirements-dev.txt

log() { echo "setup: $*" >&2; }
die() { echo "setup: error: $*" >&2; exit 1; }

# --- Debian packages ---------------------------------------------------------

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else die "installing Debian packages needs root: run as root or install sudo ($*)"
  fi
}

# apt's own output goes to a log, shown only when it fails: one line per group of packages.
APT_LOG=$(mktemp)
trap 'rm -f "$APT_LOG"' EXIT
apt_quiet() {
  if ! as_root env DEBIAN_FRONTEND=noninteractive "$@" >"$APT_LOG" 2>&1; then
    tail -n 30 "$APT_LOG" >&2
    die "'$*' failed"
  fi
}

apt_updated=0
apt_update() {
  [ $apt_updated -eq 0 ] || return 0
  apt_quiet apt-get update -qq
  apt_updated=1
}

# Installs the Debian packages of one group that are missing; `what` names the group.
apt_install() {
  local what=$1
  shift
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null 2>&1 || die "missing packages ${missing[*]} and no apt-get to install them"
  log "installing $what: ${missing[*]}"
  apt_update
  apt_quiet apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

apt_has_candidate() {
  command -v apt-cache >/dev/null 2>&1 || return 1
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2}')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

# Every Debian package a make target, .ci/run or a script needs; `make check-setup` compares
# this list with the commands they call.
# Tools: g++ and make build everything; git lists the tracked files for the format check;
# binutils provides nm for the exported-symbol test; stockfish is the independent perft
# reference; clang-format checks the C++ layout; valgrind runs the memcheck pass; the fuzzing
# clang builds the libFuzzer targets.
source scripts/toolchain.env
BUILD_TOOLS=(g++ make)
TOOLS=("${BUILD_TOOLS[@]}" git binutils stockfish clang-format valgrind "clang-$FUZZ_CLANG")
# Libraries: GoogleTest for the C++ unit tests; libFuzzer and the sanitizer runtimes of the
# fuzzing clang.
LIBRARIES=(libgtest-dev "libclang-rt-$FUZZ_CLANG-dev")
# The interpreter set-up falls back to when the machine has no usable CPython 3.12 or newer.
DEBIAN_PYTHON=(python3.13 python3.13-dev python3.13-venv)

if [ "${1:-}" = "--print-packages" ]; then
  echo "tools: ${TOOLS[*]}"
  echo "libraries: ${LIBRARIES[*]}"
  echo "python: ${DEBIAN_PYTHON[*]}"
  exit 0
fi
BUILD_ONLY=0
if [ "${1:-}" = "--build" ]; then
  BUILD_ONLY=1
  REQUIREMENTS=requirements-build.txt
  shift
fi
[ $# -eq 0 ] || { echo "setup.sh: takes no arguments but --build or --print-packages" >&2; exit 2; }

if [ $BUILD_ONLY -eq 1 ]; then
  apt_install "the build tools" "${BUILD_TOOLS[@]}"
else
  apt_install "the build and test tools" "${TOOLS[@]}"
  apt_install "the test libraries" "${LIBRARIES[@]}"
fi

# --- CPython 3.12 or newer ---------------------------------------------------

source scripts/pythons.sh

find_python() {
  local candidate found
  for candidate in $(candidate_pythons); do
    found=$(usable_python "$candidate" || true)
    [ -n "$found" ] && { echo "$found"; return 0; }
  done
  # The package lists may be stale or cleaned: refresh them before asking.
  if command -v apt-get >/dev/null 2>&1; then apt_update; fi
  if apt_has_candidate python3.13; then
    apt_install "Debian's CPython" "${DEBIAN_PYTHON[@]}" >&2
    found=$(usable_python /usr/bin/python3.13 || true)
    [ -n "$found" ] && { echo "$found"; return 0; }
  fi
  return 1
}

venv_ok() {
  [ -x "$VENV/bin/python" ] && [ -n "$(usable_python "$VENV/bin/python" || true)" ]
}

if ! venv_ok; then
  PYTHON=$(find_python) || die "no CPython 3.12 or newer (with the interpreter lock, headers and venv) was found.
Looked for python3.13, python3.12 and python3.14 on PATH, in pyenv's versions, and for Debian's python3.13.
Install one of them and run this again."
  log "using $PYTHON ($("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
fi

# --- Python packages ---------------------------------------------------------

# requirements-dev.txt includes requirements-build.txt: the stamp covers both.
stamp="$VENV/.$(basename "$REQUIREMENTS" .txt).sha256"
want=$(cat "$REQUIREMENTS" requirements-build.txt | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  log "installing Python packages from $REQUIREMENTS"
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r "$REQUIREMENTS"
  echo "$want" >"$stamp"
fi
