#!/usr/bin/env bash
# Sets up .venv (as scripts/bench.sh does), adds the bench extra and runs benchmarks/sharded.py:
# the sharded searcher against one in-process call, NumPy, FAISS and the all-core memory floor.
# Extra arguments go to sharded.py (--quick for a run of about a minute, --help for the rest).
# A full run builds its caches once under build-bench/sharded/ (1,000,000 and 4,000,000 rows of
# 384 float32: 7.7 GB of disk) and writes docs/benchmarks/sharded.md and sharded.png.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-env.sh"
export TARNEXA_BENCH_COMMAND="bash scripts/bench-sharded.sh${*:+ $*}"
exec "$VENV/bin/python" "$ROOT/benchmarks/sharded.py" "$@"
