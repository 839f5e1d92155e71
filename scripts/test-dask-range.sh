#!/usr/bin/env bash
# Runs tests/test_sharded.py at both ends of the Dask range that pyproject.toml pins for the
# sharded searcher: the newest in .venv (set up by scripts/setup.sh, which installs the newest
# release the pin allows) and the oldest in .venv-dask-oldest, a venv holding only that Dask,
# NumPy and pytest, which uses the module and package built into .venv. Extra arguments go to
# pytest.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh || { echo "test-dask-range: could not set up .venv" >&2; exit 1; }
VENV="$ROOT/.venv"
PIN="$("$VENV/bin/python" scripts/requirements.py distributed)"
OLDEST="$(sed -n 's/.*>=\([0-9.]*\).*/\1/p' <<<"$PIN")"
NEWEST="$(sed -n 's/.*<=\([0-9.]*\).*/\1/p' <<<"$PIN")"
[[ -n "$OLDEST" && -n "$NEWEST" ]] || { echo "test-dask-range: no >=X,<=Y range in '$PIN'" >&2; exit 1; }

status=0
run() {  # run PYTHON WANTED-VERSION [PYTHONPATH]
  local py="$1" wanted="$2" path="${3:-}"
  local have; have="$("$py" -c 'import distributed; print(distributed.__version__)')"
  if [[ "$have" != "$wanted" ]]; then
    echo "test-dask-range: $py has Dask $have, expected $wanted" >&2
    status=1
    return
  fi
  echo "== tests/test_sharded.py with Dask $have =="
  PYTHONPATH="$path" "$py" -m pytest -p no:cacheprovider -q tests/test_sharded.py "${@:4}" || status=$?
}

run "$VENV/bin/python" "$NEWEST" "" "$@"

OLD="$ROOT/.venv-dask-oldest"
if ! "$OLD/bin/python" -c "import distributed, sys; sys.exit(distributed.__version__ != '$OLDEST')" >/dev/null 2>&1; then
  rm -rf "$OLD"
  BASE="$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)')"
  "$BASE" -m venv "$OLD"
  "$OLD/bin/python" -m pip install -q "dask[distributed]==$OLDEST" numpy pytest 2>&1 \
    | { grep -v "^WARNING: Location" || true; } >&2
fi
# The module and the package as built into .venv, and nothing else of it.
LINKS="$(mktemp -d "${TMPDIR:-/tmp}/tarnexa-dask-oldest.XXXXXX")"
trap 'rm -rf "$LINKS"' EXIT
SITE="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
ln -s "$SITE"/_tarnexa*.so "$SITE/tarnexa" "$LINKS/"
run "$OLD/bin/python" "$OLDEST" "$LINKS" "$@"
exit $status
