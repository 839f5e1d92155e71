#!/usr/bin/env bash
# Sets everything up and runs the demo search. Arguments go to the demo.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2; [[ ${PIPESTATUS[0]} == 0 ]] || exit 1
VENV="${VENV:-$ROOT/.venv}"
exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
