#!/usr/bin/env bash
# Sets up .venv with CPython 3.13 and installs the project with its test dependencies.
# PYTHON=/path/to/python overrides the search; VENV=dir overrides the environment's folder;
# PYVER=3.12 looks for another CPython; NUMPY="numpy==1.26.*" pins NumPy.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
PYVER="${PYVER:-3.13}"

find_python() {
  if [[ -n "${PYTHON:-}" ]]; then echo "$PYTHON"; return; fi
  local candidates=(python$PYVER /usr/bin/python$PYVER /usr/local/bin/python$PYVER)
  if command -v pyenv >/dev/null 2>&1; then
    local root; root="$(pyenv root)"
    for d in $(ls -d "$root"/versions/$PYVER.* 2>/dev/null | sort -V -r); do
      candidates+=("$d/bin/python$PYVER")
    done
  elif [[ -d "$HOME/.pyenv/versions" ]]; then
    for d in $(ls -d "$HOME"/.pyenv/versions/$PYVER.* 2>/dev/null | sort -V -r); do
      candidates+=("$d/bin/python$PYVER")
    done
  fi
  local c
  for c in "${candidates[@]}"; do
    # A pyenv shim can exist on PATH and still fail, so ask each one to run.
    if "$c" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$PYVER'" >/dev/null 2>&1; then
      echo "$c"; return
    fi
  done
  echo "setup: no CPython $PYVER found; set PYTHON=/path/to/python$PYVER" >&2
  exit 1
}

PY="$(find_python)"
if [[ ! -x "$VENV/bin/python" ]] || ! "$VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
  echo "setup: creating $VENV with $PY" >&2
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q "scikit-build-core>=1.0" "cmake>=3.21" ninja
if [[ -n "${NUMPY:-}" ]]; then "$VENV/bin/python" -m pip install -q "$NUMPY"; fi
"$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT[test]" ${NUMPY:+"$NUMPY"}
