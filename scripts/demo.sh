#!/usr/bin/env bash
# Sets everything up (only when needed) and runs the demo search. Arguments go to the demo;
# its output goes to stdout, the set-up's to stderr.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"  # quick when nothing changed since the last set-up
VENV="${VENV:-$ROOT/.venv}"
# The index is kept in .demo-index and reused while it holds the same documents and embedder, so
# that only the first run embeds them (an --index of your own wins).
exec "$VENV/bin/python" "$ROOT/examples/demo.py" --keep-index "$ROOT/.demo-index" "$@"
