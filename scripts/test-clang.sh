#!/usr/bin/env bash
# Builds the module and the native self-tests with clang (warnings are errors) and runs the whole
# test suite against that build on CPython 3.13 with the newest NumPy. CXX=clang++-NN picks the
# compiler, otherwise the newest clang 15 or later found (as root with apt-get, clang-16 is
# installed if there is none). Extra arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# shellcheck source=need-tools.sh
source scripts/need-tools.sh

major() { "$1" -dumpversion 2>/dev/null | cut -d. -f1; }
if [[ -z "${CXX:-}" ]]; then
  for c in clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++; do
    if command -v "$c" >/dev/null && (( $(major "$c") >= 15 )); then CXX="$c"; break; fi
  done
  if [[ -z "${CXX:-}" ]]; then need_tools clang-16 clang++-16; CXX=clang++-16; fi
fi
export CXX
echo "== clang build: $("$CXX" --version | head -1) ==" >&2

PY="${VENV:-$ROOT/.venv}/bin/python"
# The environment the suite needs (set up unless the test command already did).
if ! "$PY" -c "import numpy, pytest, hypothesis, mypy, cmake, ninja" >/dev/null 2>&1; then
  bash scripts/setup.sh 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
fi
BUILD="$ROOT/build-clang"
PATH="$(dirname "$PY"):$PATH" cmake -S "$ROOT" -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" \
  -DCMAKE_CXX_COMPILER="$CXX" -DTARNEXA_WERROR=ON -DTARNEXA_NATIVE_TESTS=ON >/dev/null
PATH="$(dirname "$PY"):$PATH" cmake --build "$BUILD" -j 2
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
# The suite must import this build, and it must be clang's (the compiler signs .comment).
"$PY" - <<PYEOF
import _tarnexa
assert _tarnexa.__file__.startswith("$BUILD"), _tarnexa.__file__
assert b"clang version" in open(_tarnexa.__file__, "rb").read(), "not built by clang"
PYEOF
# test_native.py builds its own copy of the self-tests with \$CXX, clang here.
exec "$PY" -m pytest -p no:cacheprovider "$@"
