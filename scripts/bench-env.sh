# Sourced by the benchmark scripts: sets up .venv (as scripts/setup.sh does), adds the
# requirements of the bench extra and sets VENV and ROOT.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
VENV="${VENV:-$ROOT/.venv}"
# The extra's requirements only: installing "$ROOT[bench]" would build the module a second time.
mapfile -t deps < <("$VENV/bin/python" "$ROOT/scripts/requirements.py" bench)
"$VENV/bin/python" -m pip install -q "${deps[@]}" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
cd "$ROOT"
