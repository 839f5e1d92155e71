#!/usr/bin/env bash
# Sets everything up and runs the benchmarks. Extra arguments go to benchmarks/run.py
# (--quick for a short run, --help for the rest).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
VENV="${VENV:-$ROOT/.venv}"
cd "$ROOT"
exec "$VENV/bin/python" "$ROOT/benchmarks/run.py" "$@"
