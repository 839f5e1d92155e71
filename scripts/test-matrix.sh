#!/usr/bin/env bash
# The whole test suite on the Python and NumPy combinations besides the newest (which
# scripts/test.sh runs): CPython 3.13 with the oldest NumPy 2.x that has wheels for it (2.1.0),
# in .venv-np2-oldest, and CPython 3.12 with NumPy 1.26 (the 1.x C layout and numpy.core), in
# .venv-np1. Each environment is set up by scripts/setup.sh (only when needed). Extra arguments
# go to pytest. Exits non-zero if any run fails or cannot be set up.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

status=0
run() {  # run VENV PYVER NUMPY-requirement [pytest arguments]
  local venv="$1" pyver="$2" numpy="$3"
  shift 3
  if ! VENV="$venv" PYVER="$pyver" NUMPY="$numpy" bash scripts/setup.sh; then
    echo "test-matrix: could not set up CPython $pyver with $numpy" >&2
    status=1
    return
  fi
  echo "== CPython $pyver with NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)') =="
  "$venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
}

run "$ROOT/.venv-np2-oldest" 3.13 "numpy==2.1.0" "$@"
run "$ROOT/.venv-np1" 3.12 "numpy==1.26.*" "$@"
exit $status
