#!/usr/bin/env bash
# Sets everything up and runs the demo search. Arguments go to the demo.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
VENV="${VENV:-$ROOT/.venv}"
exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
