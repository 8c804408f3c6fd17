# Finding CPython interpreters: sourced by setup.sh and test-all.sh.

# Prints the interpreter's path if it is a usable CPython >= 3.12 with the interpreter lock,
# its development headers and the venv module. A pyenv shim for a version that is not selected
# fails when run, so every candidate is judged by running it.
usable_python() {
  "$1" - <<'EOF' 2>/dev/null
import os, sys, sysconfig
ok = (
    sys.implementation.name == "cpython"
    and sys.version_info >= (3, 12)
    and not sysconfig.get_config_var("Py_GIL_DISABLED")
    and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
)
import venv, ensurepip  # noqa: F401  (both are needed to create the environment)
print(sys.executable if ok else "")
EOF
}

# Prints the interpreters this machine has, in order of preference, one path a line: python3.13,
# python3.12 and python3.14 on PATH, then pyenv's versions (newest first), then Debian's.
candidate_pythons() {
  local candidate dir
  for candidate in python3.13 python3.12 python3.14; do
    command -v "$candidate" 2>/dev/null || true
  done
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  if [ -d "$pyenv_root/versions" ]; then
    for dir in $(ls -1 "$pyenv_root/versions" | sort -t. -k1,1nr -k2,2nr -k3,3nr); do
      for candidate in "$pyenv_root/versions/$dir"/bin/python3.1[2-9]; do
        [ -x "$candidate" ] && echo "$candidate"
      done
    done
  fi
  for candidate in /usr/bin/python3.1[2-9]; do
    [ -x "$candidate" ] && echo "$candidate"
  done
  return 0
}
