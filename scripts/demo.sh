#!/usr/bin/env bash
# Sets everything up (only when needed) and runs the demo search. Arguments go to the demo;
# its output goes to stdout, the set-up's to stderr. With --serve first, the demo's corpus is
# indexed (once, into build-demo/) and served as the search page at http://127.0.0.1:8765/
# (further arguments: --port P, --workers N).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"  # quick when nothing changed since the last set-up
VENV="${VENV:-$ROOT/.venv}"
if [[ "${1:-}" == "--serve" ]]; then
  shift
  exec "$VENV/bin/python" "$ROOT/examples/serve_demo.py" "$@"
fi
exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
