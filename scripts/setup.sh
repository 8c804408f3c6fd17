#!/usr/bin/env bash
# Prepares a machine for building and testing vorel_chess:
#   - installs the Debian packages the build, the tests and the benchmark need;
#   - finds a CPython 3.12 or newer built with the interpreter lock;
#   - creates .venv with it and installs the Python build, test and benchmark dependencies.
# Safe to run again: every step is skipped when it is already done.
set -euo pipefail

cd "$(dirname "$0")/.."
VENV=.venv
REQUIREMENTS=requirements-dev.txt
[ $# -eq 0 ] || { echo "setup.sh: takes no arguments" >&2; exit 2; }

log() { echo "setup: $*" >&2; }
die() { echo "setup: error: $*" >&2; exit 1; }

# --- Debian packages ---------------------------------------------------------

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else die "installing Debian packages needs root: run as root or install sudo ($*)"
  fi
}

apt_updated=0
apt_install() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null 2>&1 || die "missing packages ${missing[*]} and no apt-get to install them"
  log "installing Debian packages: ${missing[*]}"
  if [ $apt_updated -eq 0 ]; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    apt_updated=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

apt_has_candidate() {
  command -v apt-cache >/dev/null 2>&1 || return 1
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2}')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

# g++ and make build everything, binutils provides nm for the exported-symbol test,
# libgtest-dev is the C++ unit-test framework, stockfish is the independent perft reference,
# clang with its runtimes builds the fuzz targets, clang-format checks the C++ layout and
# valgrind runs the memcheck pass.
apt_install g++ make binutils libgtest-dev stockfish clang clang-format valgrind
# libFuzzer and the sanitizer runtimes come in a package named after clang's major version.
clang_rt="libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
if apt_has_candidate "$clang_rt"; then apt_install "$clang_rt"; fi

# --- CPython 3.12 or newer ---------------------------------------------------

source scripts/pythons.sh

find_python() {
  local candidate found
  for candidate in $(candidate_pythons); do
    found=$(usable_python "$candidate" || true)
    [ -n "$found" ] && { echo "$found"; return 0; }
  done
  # The package lists may be stale or cleaned: refresh them before asking.
  if [ $apt_updated -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || true
    apt_updated=1
  fi
  if apt_has_candidate python3.13; then
    apt_install python3.13 python3.13-dev python3.13-venv >&2
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

stamp="$VENV/.requirements.sha256"
want=$(sha256sum "$REQUIREMENTS" | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  log "installing Python packages from $REQUIREMENTS"
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r "$REQUIREMENTS"
  echo "$want" >"$stamp"
fi
