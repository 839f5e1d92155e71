#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: first on CPython 3.13 with the newest
# NumPy, then on CPython 3.12 with NumPy 1.26 (the 1.x C layout), when a 3.12 is found.
# Extra arguments go to pytest. SKIP_NUMPY1=1 skips the second run.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

setup() {  # setup.sh without pip's notes about absent local indexes
  bash scripts/setup.sh 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
  return "${PIPESTATUS[0]}"
}

setup || { echo "test: setup failed" >&2; exit 1; }
status=0
"${VENV:-$ROOT/.venv}/bin/python" -m pytest "$@" || status=$?
if [[ -z "${SKIP_NUMPY1:-}" ]]; then
  if PYVER=3.12 VENV="$ROOT/.venv-np1" NUMPY="numpy==1.26.*" setup; then
    echo "== CPython 3.12 with NumPy $("$ROOT/.venv-np1/bin/python" -c 'import numpy; print(numpy.__version__)') =="
    "$ROOT/.venv-np1/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
  else
    echo "test: no CPython 3.12 with NumPy 1.26 could be set up; that run is skipped" >&2
  fi
fi
exit $status
