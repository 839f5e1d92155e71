#!/usr/bin/env bash
# Cross-builds everything that does not need Python (modifiers, scoring, MMR, kernels) and the
# native self-tests for 64-bit ARM Linux, and runs the tests under qemu-user.
# Needs Debian's g++-aarch64-linux-gnu and qemu-user-static; run as root with apt-get at hand it
# installs them itself. Extra arguments go to the test executable (names of tests to run).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${BUILD:-$ROOT/build-aarch64}"

qemu() { command -v qemu-aarch64 || command -v qemu-aarch64-static; }
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! qemu >/dev/null; then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    echo "test-aarch64: installing g++-aarch64-linux-gnu and qemu-user-static" >&2
    apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
      g++-aarch64-linux-gnu qemu-user-static >/dev/null
  else
    echo "test-aarch64: needs aarch64-linux-gnu-g++ and qemu-aarch64" \
      "(Debian: apt-get install g++-aarch64-linux-gnu qemu-user-static)" >&2
    exit 1
  fi
fi

# cmake and ninja: the ones on PATH, else those of the project's venv (set up if need be).
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  [[ -x .venv/bin/cmake && -x .venv/bin/ninja ]] || bash scripts/setup.sh
  PATH="$ROOT/.venv/bin:$PATH"
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
  -DTARNEXA_BUILD_MODULE=OFF -DTARNEXA_NATIVE_TESTS=ON >/dev/null
cmake --build "$BUILD" --target tarnexa_native_tests
# The test executable says which kernels it checks and ends with "N passed, M failed".
"$(qemu)" -L /usr/aarch64-linux-gnu "$BUILD/tarnexa_native_tests" "$@"
