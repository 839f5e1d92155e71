#!/usr/bin/env bash
# Sets up .venv with CPython 3.13 and installs the project with its test dependencies.
# PYTHON=/path/to/python overrides the search; VENV=dir overrides the environment's folder.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"

find_python() {
  if [[ -n "${PYTHON:-}" ]]; then echo "$PYTHON"; return; fi
  local candidates=(python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13)
  if command -v pyenv >/dev/null 2>&1; then
    local root; root="$(pyenv root)"
    for d in $(ls -d "$root"/versions/3.13.* 2>/dev/null | sort -V -r); do
      candidates+=("$d/bin/python3.13")
    done
  elif [[ -d "$HOME/.pyenv/versions" ]]; then
    for d in $(ls -d "$HOME"/.pyenv/versions/3.13.* 2>/dev/null | sort -V -r); do
      candidates+=("$d/bin/python3.13")
    done
  fi
  local c
  for c in "${candidates[@]}"; do
    # A pyenv shim can exist on PATH and still fail, so ask each one to run.
    if "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      echo "$c"; return
    fi
  done
  echo "setup: no CPython 3.13 found; set PYTHON=/path/to/python3.13" >&2
  exit 1
}

PY="$(find_python)"
if [[ ! -x "$VENV/bin/python" ]] || ! "$VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
  echo "setup: creating $VENV with $PY" >&2
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.21" ninja
"$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT[test]"
