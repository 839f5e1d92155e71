#!/usr/bin/env bash
# Sets up .venv (as scripts/bench.sh does), adds the bench extra (faiss-cpu, usearch, matplotlib,
# threadpoolctl) and runs benchmarks/peers.py: _tarnexa against NumPy, FAISS and usearch.
# Extra arguments go to peers.py (--quick for a run of under a minute, --help for the rest).
# A full run writes docs/benchmarks/results.md and its plots.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
VENV="${VENV:-$ROOT/.venv}"
# The extra's requirements only: installing "$ROOT[bench]" would build the module a second time.
mapfile -t deps < <("$VENV/bin/python" "$ROOT/scripts/requirements.py" bench)
"$VENV/bin/python" -m pip install -q "${deps[@]}" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
cd "$ROOT"
export TARNEXA_BENCH_COMMAND="bash scripts/bench-peers.sh${*:+ $*}"
exec "$VENV/bin/python" "$ROOT/benchmarks/peers.py" "$@"
