#!/usr/bin/env bash
# Sets everything up and runs the whole test suite on CPython 3.13 with the newest NumPy,
# then again on CPython 3.13 with the oldest NumPy 2.x that has wheels for it (2.1.0) and on
# CPython 3.12 with NumPy 1.26 (the 1.x C layout and numpy.core).
# Extra arguments go to pytest. ONLY_NEWEST=1 runs the first of the three only.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

status=0
run() {  # run VENV PYVER NUMPY-requirement
  local venv="$1" pyver="$2" numpy="$3"
  shift 3
  if ! VENV="$venv" PYVER="$pyver" NUMPY="$numpy" bash scripts/setup.sh; then
    echo "test: could not set up CPython $pyver with ${numpy:-the newest NumPy}" >&2
    status=1
    return
  fi
  echo "== CPython $pyver with NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)') =="
  "$venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
}

run "${VENV:-$ROOT/.venv}" 3.13 "" "$@"
if [[ -z "${ONLY_NEWEST:-}" ]]; then
  run "$ROOT/.venv-np2-oldest" 3.13 "numpy==2.1.0" "$@"
  run "$ROOT/.venv-np1" 3.12 "numpy==1.26.*" "$@"
fi
exit $status
