#!/usr/bin/env bash
# Cross-builds everything that does not need Python (modifiers, scoring, MMR, kernels) and the
# native self-tests for 64-bit ARM Linux, and runs the tests under qemu-user.
# Needs Debian's g++-aarch64-linux-gnu and qemu-user-static; as root with apt-get it installs
# them. Extra arguments go to the test executable (names of tests to run). With --bench [rows [cols
# [reps]]] it times the kernels under emulation instead (indicative only: qemu is no ARM CPU).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${BUILD:-$ROOT/build-aarch64}"

# shellcheck source=need-tools.sh
source scripts/need-tools.sh
need_tools "g++-aarch64-linux-gnu qemu-user-static" aarch64-linux-gnu-g++ qemu-aarch64-static

# cmake and ninja: the ones on PATH, else those of the project's venv (set up if need be).
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  [[ -x .venv/bin/cmake && -x .venv/bin/ninja ]] || bash scripts/setup.sh
  PATH="$ROOT/.venv/bin:$PATH"
fi

program=tarnexa_native_tests
if [[ "${1:-}" == "--bench" ]]; then program=tarnexa_kernel_bench; shift; fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
  -DTARNEXA_BUILD_MODULE=OFF -DTARNEXA_NATIVE_TESTS=ON -DTARNEXA_KERNEL_BENCH=ON \
  -DTARNEXA_WERROR=ON >/dev/null
cmake --build "$BUILD" --target "$program"
# The test executable says which kernels it checks and ends with "N passed, M failed".
qemu-aarch64-static -L /usr/aarch64-linux-gnu "$BUILD/$program" "$@"
