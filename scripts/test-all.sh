#!/usr/bin/env bash
# Runs the pytest suite on every CPython 3.12 or newer (with the interpreter lock) that this
# machine has: each gets its own environment under build/test-all/ with the module built for it.
set -euo pipefail

cd "$(dirname "$0")/.."
source scripts/pythons.sh

seen=()
failed=()
for candidate in $(candidate_pythons); do
  python=$(usable_python "$candidate" || true)
  [ -n "$python" ] || continue
  real=$(readlink -f "$python")
  [[ " ${seen[*]} " == *" $real "* ]] && continue
  seen+=("$real")

  version=$("$python" -c 'import sys; print(".".join(map(str, sys.version_info[:3])))')
  venv="build/test-all/python$version"
  echo "=== CPython $version ($python)"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --no-deps -Ccmake.define.VOREL_WERROR=ON .
  if ! PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider; then
    failed+=("$version")
  fi
done

[ ${#seen[@]} -gt 0 ] || { echo "test-all: no CPython 3.12 or newer found" >&2; exit 1; }
echo "=== tested on ${#seen[@]} interpreter(s): $(for p in "${seen[@]}"; do "$p" -c 'import sys; print(sys.version.split()[0], end=" ")'; done)"
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-all: failures on CPython ${failed[*]}" >&2
  exit 1
fi
