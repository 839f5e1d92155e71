#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite under them, the sanitizer runtimes preloaded into the interpreter.
# Extra arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
PY="${VENV:-$ROOT/.venv}/bin/python"
BUILD="$ROOT/build-sanitize"
PATH="$(dirname "$PY"):$PATH" cmake -S "$ROOT" -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" \
  -DTARNEXA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
PATH="$(dirname "$PY"):$PATH" cmake --build "$BUILD" -j 2 >/dev/null
CXX="${CXX:-g++}"
export LD_PRELOAD="$("$CXX" -print-file-name=libasan.so) $("$CXX" -print-file-name=libubsan.so)"
# CPython keeps its own objects alive at exit; leak reports would be about the interpreter.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export TARNEXA_NATIVE_SANITIZE=1  # the native self-tests build with the sanitizers too
"$PY" -c "import _tarnexa, sys; assert _tarnexa.__file__.startswith('$BUILD'), _tarnexa.__file__"
exec "$PY" -m pytest -p no:cacheprovider "$@"
