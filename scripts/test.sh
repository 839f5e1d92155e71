#!/usr/bin/env bash
# Sets everything up and runs the whole test suite. Extra arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
VENV="${VENV:-$ROOT/.venv}"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
