#!/usr/bin/env bash
# Sets everything up (only when needed) and runs the whole test suite once, on CPython 3.13
# with the newest NumPy. Extra arguments go to pytest. The other Python and NumPy combinations
# that CI runs are in scripts/test-matrix.sh. ONLY_NEWEST, which once limited this script to
# this run, changes nothing.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="${VENV:-$ROOT/.venv}"
if ! VENV="$VENV" PYVER=3.13 NUMPY="" bash scripts/setup.sh; then
  echo "test: could not set up CPython 3.13 with the newest NumPy" >&2
  exit 1
fi
echo "== CPython 3.13 with NumPy $("$VENV/bin/python" -c 'import numpy; print(numpy.__version__)') =="
exec "$VENV/bin/python" -m pytest -p no:cacheprovider "$@"
