#!/usr/bin/env bash
# Sets up .venv (as scripts/bench.sh does), adds the bench extra (faiss-cpu, usearch, matplotlib,
# threadpoolctl, dask) and runs benchmarks/peers.py: _tarnexa against NumPy, FAISS and usearch.
# Extra arguments go to peers.py (--quick for a run of under a minute, --help for the rest).
# A full run writes docs/benchmarks/results.md and its plots.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-env.sh"
export TARNEXA_BENCH_COMMAND="bash scripts/bench-peers.sh${*:+ $*}"
exec "$VENV/bin/python" "$ROOT/benchmarks/peers.py" "$@"
